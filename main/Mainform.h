// The hidden main form: the process's message server and settings, and the order in which the
// windows are made.
#pragma once

#include "messaging/MessageClient.h"
#include "messaging/MessageServer.h"
#include "platform/Kernel.h"
#include "platform/RegistryClasses.h"
#include "platform/qt/QtWindows.h"

#include <QWidget>

#include <memory>
#include <string>
#include <vector>

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

// The server name from two pseudo-random numbers: "Orvalen_main_itm_server" followed by r1
// shifted left by (r2 mod 32) bits, as a signed 32-bit decimal.
std::string MakeServerName(long r1, long r2);

class TMainForm : public QWidget {
public:
    // arguments: the command line after the program name. programPath: the program's file.
    TMainForm(const std::vector<std::string>& arguments, const std::string& programPath);
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
    HWND PublishedViewerWindow(DWORD patienceMs);
    void BecomeViewer(const std::string& file);

private:
    platform::QtWindowHandle window_handle{this};
    std::vector<std::string> arguments_;
    std::string program_path_;
};
