#include "Mainform.h"

#include "common/ErrorReporting.h"
#include "common/FileNames.h"
#include "common/ProcessValues.h"
#include "common/Settings.h"
#include "display/MagickLibrary.h"
#include "messaging/Message.h"
#include "platform/Timing.h"
#include "viewer/Viewerform.h"

#include <cstdlib>
#include <ctime>
#include <unistd.h>

TMainForm* MainForm = nullptr;
TViewer* Viewer = nullptr;
QWidget* Browser = nullptr;
QWidget* RenameFile_Dialog = nullptr;
QWidget* AboutBox = nullptr;
QWidget* OptionsForm = nullptr;

bool& TMainForm::is_solitary_viewer = solitary_viewer_flag;

std::string MakeServerName(long r1, long r2) {
    const auto shifted = static_cast<std::uint32_t>(r1) << (r2 % 32);
    return "Orvalen_main_itm_server" + std::to_string(static_cast<std::int32_t>(shifted));
}

TMainForm::TMainForm(const std::vector<std::string>& arguments, const std::string& programPath)
    : arguments_(arguments), program_path_(programPath) {
    setWindowTitle("MainForm");
    resize(123, 35);
    is_solitary_viewer = false;
    DebugTrace("TMainForm() start");
    // Seconds alone would give two programs started in the same second the same name: the
    // process id is mixed in.
    std::srand(static_cast<unsigned>(std::time(nullptr)) ^
               (static_cast<unsigned>(::getpid()) * 2654435761u));
    GetShellAllocator();
    const long r1 = std::rand();
    const long r2 = std::rand();
    itm_server_name = MakeServerName(r1, r2);
    DebugTrace(("message server " + itm_server_name).c_str());
    itm_server.Start(itm_server_name.c_str());
    itm_client.Connect("MainForm", Handle(), GetCurrentThreadId(), itm_server_name.c_str());
    settings = std::make_unique<TRegistryIniFile>(settings_base_key, 0x2001F);
    settings_section = "mainform";
    if (arguments_.empty()) {
        engine::InitializeMagick(program_path_.c_str());
        // The browser comes with its own window later; until then the empty viewer is shown.
        Viewer = new TViewer();
        Viewer->show();
    } else {
        HandleArguments();
    }
}

TMainForm::~TMainForm() {
    if (solitary_event != INVALID_HANDLE_VALUE) {
        CloseHandle(solitary_event);
    }
    engine::DestroyMagick();
}

bool TMainForm::HandleArguments() {
    if (arguments_.empty()) {
        return false;
    }
    // The solitary viewer comes with its hand-over later; until then the file is shown here.
    engine::InitializeMagick(program_path_.c_str());
    Viewer = new TViewer();
    Viewer->show();
    DisplayImage(arguments_.back());
    return false;
}

bool TMainForm::DisplayImage(const std::string& file_name) {
    Message message;
    LONGLONG now = 0;
    QueryPerformanceCounter(&now);
    load_start_counter = now;
    DebugTrace("TMainForm::DisplayImage() start");
    message.kind = IV_DISPLAY_IMAGE;
    message.payload = MessagePayloadCopy(file_name.c_str());
    if (!itm_client.Send("Viewer", message, true)) {
        FreeMessagePayload(message);
    }
    DebugTrace("TMainForm::DisplayImage() end");
    return true;
}

void TMainForm::MessageDispatcher() {
    DebugTrace("TMainForm::MessageDispatcher() received IV_DISPLAY_IMAGE");
    LONGLONG now = 0;
    QueryPerformanceCounter(&now);
    load_start_counter = now;
    const std::string text =
        settings->ReadString(settings_section, "solitary_viewer_arguments", "");
    if (text.empty()) {
        ReportError("Registry entry \"solitary_viewer_arguments\" was empty.");
        return;
    }
    DisplayImage(text);
}

void TMainForm::FormClose() {
    settings.reset();
    if (is_solitary_viewer && solitary_event != INVALID_HANDLE_VALUE) {
        ResetEvent(solitary_event);
    }
}

bool TMainForm::event(QEvent* event) {
    if (event->type() == platform::WindowMessageEvent::EventType()) {
        if (static_cast<platform::WindowMessageEvent*>(event)->message ==
            static_cast<UINT>(IV_DISPLAY_IMAGE)) {
            MessageDispatcher();
        }
        return true;
    }
    return QWidget::event(event);
}
