// The hidden main form: the process's message server and settings, and the order in which the
// windows are made.
#pragma once

#include "messaging/MessageClient.h"
#include "messaging/MessageServer.h"
#include "platform/Kernel.h"
#include "platform/RegistryClasses.h"
#include "platform/qt/QtWindows.h"

#include <QWidget>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

class ReadAhead;
class TViewer;
class TBrowser;
class TMainForm;

// The process-wide form variables.
extern TMainForm* MainForm;
extern TViewer* Viewer;
extern TBrowser* Browser;
extern QWidget* RenameFile_Dialog;
extern QWidget* AboutBox;
extern QWidget* OptionsForm;

// The server name: "Orvalen_main_itm_server" followed by a non-negative decimal number whose high
// 32 bits are processId and low 32 bits come from random, so two processes that run at the same
// time never share a name and a reused process id rarely meets an old name. Never 0.
std::string MakeServerName(std::uint32_t processId, std::uint64_t random);
// 64 bits from the system's random source; throws std::exception when it has none.
std::uint64_t ServerNameRandom();
// True when a live server answers on the pipe of server_name: its name is taken, and starting
// a server there would unlink the other one's socket.
bool ServerNameInUse(const std::string& server_name);

// The end of the program's forms: the main form closes, then they go in the reverse order of
// their making, the main form last.
void CloseForms();

// Before anything else of a start on a file: unless a solitary viewer has claimed its event,
// starts decoding the file for the view the viewer noted at the last start (see TMainForm),
// for the main form to take. Null when there is nothing to start. Needs no application object.
std::unique_ptr<ReadAhead> StartOpeningDecode(const std::vector<std::string>& arguments,
                                              const std::string& programPath);

class TMainForm : public QWidget {
public:
    // arguments: the command line after the program name. programPath: the program's file.
    // opening: the decode StartOpeningDecode started, if any.
    TMainForm(const std::vector<std::string>& arguments, const std::string& programPath,
              std::unique_ptr<ReadAhead> opening = nullptr);
    ~TMainForm() override;

    bool HandleArguments();
    bool DisplayImage(const std::string& file_name);
    // Window message 0x800C: the file in "solitary_viewer_arguments" goes to the viewer.
    void MessageDispatcher();
    void FormClose();
    HWND Handle() const { return window_handle.Handle(); }

    HANDLE solitary_event = INVALID_HANDLE_VALUE;
    std::unique_ptr<TRegistryIniFile> settings;
    std::string settings_section;
    MessageServer itm_server;
    MessageClient itm_client;
    // True from the moment this process becomes the solitary viewer until the user brings up
    // the browser.
    static bool& is_solitary_viewer;

protected:
    bool event(QEvent* event) override;
    // The main form is only a message target and is never mapped. Its handle is the one the
    // registry publishes, so another process that brings "the viewer" forward asks this form
    // to show itself: the viewer comes forward instead.
    void setVisible(bool visible) override;
    HWND PublishedViewerWindow(DWORD patienceMs);
    void BecomeViewer(const std::string& file);
    // Starts decoding file for the view the viewer showed its first image in at the last start,
    // while this start still waits and makes its windows; the viewer takes it when it serves.
    void StartOpeningDecode(const std::string& file);
    // Makes the viewer's window, unless it is made already; does not show it.
    void makeViewer();
    static void setApplicationIcon();

private:
    platform::QtWindowHandle window_handle{this};
    std::vector<std::string> arguments_;
    std::string program_path_;
    std::string activation_token_;
    std::unique_ptr<ReadAhead> opening_;
    bool became_viewer_ = false;
};
