#include "Mainform.h"

#include "browser/Browserform.h"
#include "common/ErrorReporting.h"
#include "common/FileNames.h"
#include "common/ProcessValues.h"
#include "common/Settings.h"
#include "display/ImageDecoder.h"
#include "display/MagickLibrary.h"
#include "messaging/Message.h"
#include "platform/MessageBox.h"
#include "platform/Pipes.h"
#include "platform/Runtime.h"
#include "platform/Session.h"
#include "platform/Timing.h"
#include "platform/qt/Activation.h"
#include "platform/qt/Application.h"
#include "viewer/Viewerform.h"

#include <QApplication>
#include <QIcon>

#include <algorithm>
#include <cstdio>
#include <random>

TMainForm* MainForm = nullptr;
TViewer* Viewer = nullptr;
TBrowser* Browser = nullptr;
QWidget* RenameFile_Dialog = nullptr;
QWidget* AboutBox = nullptr;
QWidget* OptionsForm = nullptr;

bool& TMainForm::is_solitary_viewer = solitary_viewer_flag;

std::string MakeServerName(std::uint32_t processId, std::uint64_t random) {
    std::uint64_t number = (static_cast<std::uint64_t>(processId) << 32) | (random & 0xFFFFFFFFu);
    if (number == 0) {
        number = 1;
    }
    return "Orvalen_main_itm_server" + std::to_string(number);
}

std::uint64_t ServerNameRandom() {
    // The system's random source (getrandom with libstdc++), not a generator seeded by the clock:
    // programs started in the same second must not draw the same numbers.
    std::random_device source;
    return (static_cast<std::uint64_t>(source()) << 32) ^ source();
}

void CloseForms() {
    if (MainForm != nullptr) {
        MainForm->FormClose();
    }
    delete Viewer;
    Viewer = nullptr;
    delete Browser;
    Browser = nullptr;
    delete MainForm;
    MainForm = nullptr;
}

bool ServerNameInUse(const std::string& server_name) {
    const std::string pipe = "\\\\.\\pipe\\" + server_name;
    HANDLE connection = CreateFileA(pipe.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                    OPEN_EXISTING, 0, nullptr);
    if (connection == INVALID_HANDLE_VALUE) {
        // No socket, or one nobody listens on any more: free to take.
        return false;
    }
    CloseHandle(connection);
    return true;
}

TMainForm::TMainForm(const std::vector<std::string>& arguments, const std::string& programPath,
                     std::unique_ptr<ReadAhead> opening)
    : arguments_(arguments), program_path_(programPath), opening_(std::move(opening)) {
    setWindowTitle("MainForm");
    resize(123, 35);
    is_solitary_viewer = false;
    // The desktop's token for this start: passed on with a hand-over, or used by this process's
    // own first window; never left for a program started from here.
    activation_token_ = platform::TakeActivationToken();
    DebugTrace("TMainForm() start");
    // The message server, the event and the ports all live in the runtime folder; one that
    // others can enter is refused, and the user learns which folder and why.
    const std::string unsafe = platform::RuntimeFolderProblem();
    if (!unsafe.empty()) {
        MessageBoxA(0, unsafe.c_str(), kReportErrorCaption, MB_ICONERROR);
        platform::TerminateApplication();
        return;
    }
    GetShellAllocator();
    // A taken name is never reused: starting a server on it would unlink the live one's socket.
    do {
        itm_server_name = MakeServerName(GetCurrentProcessId(), ServerNameRandom());
    } while (ServerNameInUse(itm_server_name));
    DebugTrace(("message server " + itm_server_name + " in process " +
                std::to_string(GetCurrentProcessId()))
                   .c_str());
    itm_server.Start(itm_server_name.c_str());
    itm_client.Connect("MainForm", Handle(), GetCurrentThreadId(), itm_server_name.c_str());
    settings = std::make_unique<TRegistryIniFile>(settings_base_key, 0x2001F);
    settings_section = "mainform";
    if (arguments_.empty()) {
        setApplicationIcon();
        engine::InitializeMagick(program_path_.c_str());
        Browser = new TBrowser();
        Viewer = new TViewer();
        Browser->show();
    } else if (!HandleArguments() && !platform::ApplicationTerminated() && !became_viewer_) {
        // HandleArguments reported a failure before any window existed: show the file anyway
        // rather than end with nothing on the screen.
        BecomeViewer(arguments_.back());
    }
}

TMainForm::~TMainForm() {
    if (solitary_event != INVALID_HANDLE_VALUE) {
        CloseHandle(solitary_event);
    }
    engine::DestroyMagick();
}

namespace {

constexpr const char kSolitaryEvent[] = "Orvalen_solitary_viewer_event";
// The desktop's activation token that came with the file in "solitary_viewer_arguments" (empty
// when none did): with it, a Wayland compositor lets the solitary viewer come forward.
constexpr const char kActivationTokenValue[] = "solitary_viewer_activation_token";
// How long a hand-over waits for a new solitary viewer to publish its window.
constexpr DWORD kPublishPatienceMs = 3000;
// The view the first image was shown in ("<columns>x<rows>", device pixels; "0x0" when it was
// not shown fitted): the next start decodes its file for it before the viewer asks.
constexpr const char kFirstViewValue[] = "solitary_viewer_first_view";
constexpr unsigned long kLargestNotedView = 1UL << 16;

} // namespace

// The window in "solitary_viewer_hwnd" when it is a live window of the process in
// "solitary_viewer_process_id"; 0 otherwise. A viewer that has just signalled the event writes
// its window last, so a hand-over waits briefly for it instead of posting to a stale value.
HWND TMainForm::PublishedViewerWindow(DWORD patienceMs) {
    const LONGLONG start = GetTickCount();
    for (;;) {
        const auto hwnd =
            static_cast<HWND>(settings->ReadInteger(settings_section, "solitary_viewer_hwnd", 0));
        const auto process = static_cast<DWORD>(
            settings->ReadInteger(settings_section, "solitary_viewer_process_id", 0));
        DWORD owner = 0;
        GetWindowThreadProcessId(hwnd, &owner);
        if (hwnd != 0 && owner == process && IsWindow(hwnd)) {
            return hwnd;
        }
        if (static_cast<LONGLONG>(GetTickCount()) - start >= patienceMs) {
            return 0;
        }
        Sleep(20);
    }
}

void TMainForm::makeViewer() {
    if (Viewer == nullptr) {
        engine::InitializeMagick(program_path_.c_str());
        DebugTrace("about to create Forms.");
        Viewer = new TViewer();
    }
}

void TMainForm::BecomeViewer(const std::string& file) {
    became_viewer_ = true;
    const FullyQualifiedFilename name(file);
    settings->WriteString("browser_0", "solitary viewer start in folder", name.Folder());
    makeViewer();
    // Shown at once at the size the image will give it: growing it once the image is in took
    // a new window buffer and drawing area, and showed a jump.
    if (const engine::DecodeResult header = engine::PingImageFile(Unquoted(file)); header.image) {
        Viewer->SizeForImage(header.image->columns, header.image->rows, header.orientation);
    }
    DebugTrace("about to show Viewer");
    Viewer->show();
    if (!activation_token_.empty()) {
        platform::ActivateWindow(Viewer, activation_token_);
        activation_token_.clear();
    }
    if (opening_) {
        Viewer->AdoptOpeningDecode(std::move(opening_));
    }
    // The browser stays hidden while this process is the solitary viewer, and nothing it does
    // (reading the folder tree) is needed for the first picture: it is made once that picture
    // has been painted, and so is the note of the view for the next start.
    Viewer->AfterFirstImage([this] {
        setApplicationIcon();
        const engine::ViewSize view = Viewer->ShownView();
        const std::string size = std::to_string(view.columns) + "x" + std::to_string(view.rows);
        if (Viewer->image_loaded &&
            settings->ReadString(settings_section, kFirstViewValue, "") != size) {
            settings->WriteString(settings_section, kFirstViewValue, size);
        }
        if (Browser == nullptr) {
            Browser = new TBrowser();
        }
    });
    DisplayImage(file);
}

void TMainForm::setApplicationIcon() {
    // Every window's icon, where the desktop's icon theme holds it. Looking it up takes some
    // milliseconds, which a start on a file spends after its picture is painted.
    QApplication::setWindowIcon(QIcon::fromTheme("org.orvalen.Orvalen"));
}

namespace {

// A decode of file for the view noted in the settings, on its way; null when none is noted or
// the note is damaged (the viewer then decodes as it always did).
std::unique_ptr<ReadAhead> openingDecode(const std::string& file, const std::string& noted,
                                         const std::string& programPath) {
    unsigned long columns = 0, rows = 0;
    char end = 0;
    if (std::sscanf(noted.c_str(), "%lux%lu%c", &columns, &rows, &end) != 2 ||
        columns > kLargestNotedView || rows > kLargestNotedView) {
        return nullptr;
    }
    // Started here, before the decode's thread: the library sets and clears a variable of the
    // environment while it starts, which must not happen while another thread reads it (the
    // application object is made meanwhile, and reads dozens).
    engine::InitializeMagick(programPath.c_str());
    auto opening = std::make_unique<ReadAhead>();
    opening->Fetch(Unquoted(file), engine::ViewSize{columns, rows});
    return opening;
}

} // namespace

std::unique_ptr<ReadAhead> StartOpeningDecode(const std::vector<std::string>& arguments,
                                              const std::string& programPath) {
    if (arguments.empty() || !platform::RuntimeFolderProblem().empty()) {
        return nullptr;
    }
    // Only looked at, never made here: the main form makes the event and decides.
    HANDLE event = OpenEventA(SYNCHRONIZE, FALSE, kSolitaryEvent);
    const bool claimed = event != nullptr && WaitForSingleObject(event, 0) == WAIT_OBJECT_0;
    if (event != nullptr) {
        CloseHandle(event);
    }
    if (claimed) {
        return nullptr; // a viewer runs: it decodes the file
    }
    TRegistryIniFile settings(settings_base_key, KEY_READ);
    return openingDecode(arguments.back(), settings.ReadString("mainform", kFirstViewValue, ""),
                         programPath);
}

void TMainForm::StartOpeningDecode(const std::string& file) {
    if (!opening_) {
        opening_ = openingDecode(file, settings->ReadString(settings_section, kFirstViewValue, ""),
                                 program_path_);
    }
}

namespace {

// How long a start waits for a viewer that did not take its file to end.
constexpr LONGLONG kEndingViewerPatienceMs = 5000;

// True once the event is no longer signalled, within patience ms.
bool awaitEventCleared(HANDLE event, LONGLONG patience) {
    const LONGLONG start = GetTickCount();
    while (WaitForSingleObject(event, 0) == WAIT_OBJECT_0) {
        if (static_cast<LONGLONG>(GetTickCount()) - start >= patience) {
            return false;
        }
        Sleep(20);
    }
    return true;
}

} // namespace

bool TMainForm::HandleArguments() {
    if (arguments_.empty()) {
        return false;
    }
    const std::string file = arguments_.back();
    try {
        solitary_event = CreateEventA(nullptr, TRUE, FALSE, kSolitaryEvent);
        if (solitary_event == nullptr) {
            solitary_event = INVALID_HANDLE_VALUE;
            throw "Problem in TMainForm::HandleArguments()";
        }
        Sleep(0);
        // A second round follows a viewer that took no file: it was ending.
        for (int round = 0;; ++round) {
            const LONGLONG wait_start = GetTickCount();
            DWORD waited = WaitForSingleObject(solitary_event, 0);
            if (waited == WAIT_TIMEOUT) {
                // No viewer yet: this process will most likely be it. Its file starts decoding and
                // its window is made (not shown) while the wait for a viewer started meanwhile goes
                // on; should one claim the event after all, they are dropped.
                StartOpeningDecode(file);
                makeViewer();
                DebugTrace("TMainForm::HandleArguments about to wait for event");
                const LONGLONG spent = static_cast<LONGLONG>(GetTickCount()) - wait_start;
                waited = WaitForSingleObject(solitary_event,
                                             static_cast<DWORD>(std::max<LONGLONG>(0, 20 - spent)));
            }
            switch (waited) {
            case WAIT_ABANDONED:
                throw "WaitForSingleObject returned WAIT_ABANDONED";
            case WAIT_FAILED:
                throw "WaitForSingleObject returned WAIT_FAILED";
            case WAIT_TIMEOUT:
            case WAIT_OBJECT_0:
                break;
            default:
                throw "Unknown problem with WaitForSingleObject()";
            }
            if (waited == WAIT_OBJECT_0) {
                DebugTrace("solitary viewer exists");
                opening_.reset(); // the other viewer decodes the file
                settings->RegIniFile().LazyWrite = false;
                // Written before the file, and always: a token left by an earlier hand-over is
                // spent.
                settings->WriteString(settings_section, kActivationTokenValue, activation_token_);
                settings->WriteString(settings_section, "solitary_viewer_arguments", file);
                settings->RegIniFile().LazyWrite = true;
                const HWND hwnd = PublishedViewerWindow(kPublishPatienceMs);
                if (hwnd != 0) {
                    if (PostMessageA(hwnd, static_cast<UINT>(IV_DISPLAY_IMAGE), 0, 0)) {
                        delete Viewer; // made in vain while this process waited
                        Viewer = nullptr;
                        DebugTrace("solitary viewer notified");
                        SetForegroundWindow(hwnd);
                        DebugTrace("SetForegroundWindow() returned");
                        platform::TerminateApplication();
                        return true;
                    }
                    // The viewer is ending (or hangs): its file would be lost with it. Once it has
                    // ended, the next start may have become the viewer meanwhile; else this one
                    // does.
                    DebugTrace("solitary viewer did not take the file");
                    if (round == 0 && awaitEventCleared(solitary_event, kEndingViewerPatienceMs)) {
                        continue;
                    }
                } else {
                    if (settings->ReadInteger(settings_section, "solitary_viewer_hwnd", 0) == 0) {
                        throw "Attempt to read the value of the \"solitary_viewer_hwnd\" from "
                              "the registry returned an invalid value.";
                    }
                    // The registry names no live viewer: this process shows the file itself.
                    DebugTrace("solitary viewer did not publish its window");
                }
            }
            break;
        }
        is_solitary_viewer = true;
        SetEvent(solitary_event);
        settings->RegIniFile().LazyWrite = false;
        settings->WriteInteger(settings_section, "solitary_viewer_process_id",
                               static_cast<std::int32_t>(GetCurrentProcessId()));
        settings->RegIniFile().LazyWrite = true;
        BecomeViewer(file);
        settings->WriteInteger(settings_section, "solitary_viewer_hwnd",
                               static_cast<std::int32_t>(Handle()));
        return false;
    } catch (const char* text) {
        LastErrorCode = GetLastError();
        ReportException("%s", text);
        return false;
    }
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
    // The raise that follows the wake-up presents the token the starter passed on, if any.
    const std::string token = settings->ReadString(settings_section, kActivationTokenValue, "");
    platform::OfferActivationToken(token);
    DebugTrace(token.empty() ? "hand-over without an activation token"
                             : "hand-over with an activation token");
    DisplayImage(text);
}

void TMainForm::FormClose() {
    settings.reset();
    if (is_solitary_viewer && solitary_event != INVALID_HANDLE_VALUE) {
        ResetEvent(solitary_event);
    }
}

void TMainForm::setVisible(bool visible) {
    if (!visible) {
        QWidget::setVisible(false);
        return;
    }
    if (Viewer == nullptr) {
        return;
    }
    if (platform::AbilitiesOf(platform::ApplicationSession()).raiseNeedsToken) {
        // Under Wayland the compositor gives the focus: the hand-over's token asks for it
        // even while this program believes its window active, which says nothing about
        // whether the user sees it.
        if (Viewer->isMinimized()) {
            ShowWindow(Viewer->Handle(), SW_RESTORE);
        }
        platform::ActivateWindow(Viewer, platform::TakeOfferedActivationToken());
        return;
    }
    BringWindowToForeground(Viewer->Handle());
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
