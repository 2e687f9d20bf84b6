// The browser window: folder tree, folder combo box and file list; it opens images in the
// viewer and answers the viewer's requests for the next, previous, first or last image.
#pragma once

#include "Stshelltreeviewb.h"
#include "common/Settings.h"
#include "messaging/MessageClient.h"
#include "platform/qt/QtWindows.h"

#include <QMainWindow>

#include <functional>
#include <memory>
#include <string>

class QAction;
class QLabel;
class QSplitter;

class TBrowser : public QMainWindow {
public:
    explicit TBrowser(QWidget* owner = nullptr);
    ~TBrowser() override;

    // Asks the viewer to show file when it is an image; false when it is not one.
    bool DisplayImage(const std::string& file_name);
    void InterThreadMessengerDispatcher();
    bool DisplayNextImage(const std::string& file_name, char direction);
    bool DisplayNextImageFromIndex(int index, char direction);
    // The image a step from file_name in direction would show, shown nowhere; empty when
    // DisplayNextImage would show none.
    std::string NextImageFile(const std::string& file_name, char direction);
    int FindItemIndex(const std::string& name);
    // The list's index of file_name when a step from it can be taken here (the list is ready,
    // holds two items or more, and file_name is of its folder); -1 otherwise.
    int SteppingIndex(const std::string& file_name);
    // The step's search: from index in direction, wrapping, the first file item that accept
    // takes; the list's index of the start when the search found none.
    // -2 when the direction is not one.
    int StepFromIndex(int index, char direction,
                      const std::function<bool(const TStShellItem&)>& accept);
    // Shows the folder of file_name in the list and selects the file there (the focus row too);
    // false when the folder cannot be shown or the file is not in it.
    bool SelectFile(const std::string& file_name);
    bool RecycleFile(const std::string& file_name);
    void FormClose();

    void StShellListView1ItemDblClick(TStShellItem& item, bool& defaultAction);
    void StShellListView1KeyUp(int key, Qt::KeyboardModifiers modifiers);
    void StShellTreeView1KeyUp(int key, Qt::KeyboardModifiers modifiers);
    void FileOpen1Accept(const std::string& file_name);
    void EditDelete1Execute();
    void RanameExecute();
    void AboutExecute();
    void OptionsExecute();
    void PrintExecute();
    // The enable rules of the actions, run when the application goes idle.
    void UpdateActions();
    // View > Details or Thumbnails at edge pixels (128, 256, 512); remembered when the window
    // closes.
    void ViewStyleExecute(bool thumbnails, int edge);
    // The status bar's count of items and size of the selection, from the list as it is now.
    void UpdateStatusBar();

    HWND Handle() const { return window_handle.Handle(); }

    // Components.
    QAction* EditDelete1;
    QAction* HelpContents1;
    QAction* About;
    QAction* Raname;
    QAction* Options;
    QAction* FileExit2;
    QAction* FileOpen1;
    QAction* Print;
    QAction* FilePrintSetup1;
    QAction* ViewDetails;
    QAction* ViewThumbnails;
    QAction* ThumbnailSize128;
    QAction* ThumbnailSize256;
    QAction* ThumbnailSize512;
    QLabel* StatusText;
    QSplitter* Splitter1;
    TStShellTreeViewB* StShellTreeView1;
    TStShellListView* StShellListView1;
    TStShellComboBox* StShellComboBox1;

    // Fields.
    bool Initialised = false;
    bool Editing = false;
    int InstanceNumber = 0;
    std::unique_ptr<TRegistryIniFileSpecial> Settings;
    MessageClient Messenger;
    unsigned ThreadId = 0;

    // Where the options dialog comes from (the associations' dialog installs itself here).
    static std::function<void(QWidget* owner)> ShowOptionsDialog;

protected:
    bool event(QEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void createActions();

    // The list saw the press of the Enter whose release comes next: a press that ended an
    // in-place edit or closed a dialog went elsewhere, and its release must not open the item.
    bool enterPressedInList_ = false;
    int thumbnailEdge_ = 256;
    bool statusPending_ = false; // a status update is queued for the next turn of the loop

    platform::QtWindowHandle window_handle{this};
};
