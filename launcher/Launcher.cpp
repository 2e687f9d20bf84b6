// OrvalenViewer: hands a file the desktop opens to the running solitary viewer, or starts the
// main program with it. Links only the platform and common units, so it starts in a moment.
//
// Exit code 1 when the file was handed over or the main program was started; 0 after a
// reported failure.
#include "common/ErrorReporting.h"
#include "common/FileNames.h"
#include "platform/Kernel.h"
#include "platform/MessageBox.h"
#include "platform/Processes.h"
#include "platform/Registry.h"
#include "platform/Runtime.h"
#include "platform/Session.h"
#include "platform/Timing.h"
#include "platform/Windows.h"

#include <cstdio>
#include <cstring>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <vector>

extern char** environ;

namespace {

// A failure that carries a system error code.
struct zException {
    DWORD code;
    const char* text;
};

constexpr UINT kDisplayImageMessage = 0x800C;
constexpr const char kMainProgram[] = "Orvalen_main";

std::string ownFolder() {
    char path[1024];
    if (GetModuleFileNameA(nullptr, path, sizeof path) == 0) {
        throw "problem in GetModuleFileName";
    }
    // The folder keeps its trailing separator here.
    std::string folder(path);
    return folder.substr(0, folder.rfind('/') + 1);
}

// Boxes must reach a desktop user: the main program shows them (it has the toolkit loaded only
// when there is something to show), else a dialog program of the desktop, else standard error.
int showBox(HWND, const char* text, const char* caption, UINT) {
    std::vector<std::vector<std::string>> tries;
    try {
        tries.push_back({ownFolder() + kMainProgram, "--message-box", caption, text});
    } catch (const char*) {
    }
    tries.push_back({"zenity", "--error", std::string("--title=") + caption,
                     std::string("--text=") + text, "--no-markup"});
    tries.push_back({"kdialog", "--title", caption, "--error", text});
    for (auto& arguments : tries) {
        std::vector<char*> argv;
        for (std::string& argument : arguments) {
            argv.push_back(argument.data());
        }
        argv.push_back(nullptr);
        pid_t child = 0;
        if (::posix_spawnp(&child, argv[0], nullptr, nullptr, argv.data(), environ) == 0) {
            int status = 0;
            ::waitpid(child, &status, 0);
            if (WIFEXITED(status) && WEXITSTATUS(status) == 0) {
                return IDOK;
            }
        }
    }
    std::fprintf(stderr, "%s: %s\n", caption, text);
    return IDOK;
}

// The main program gets each argument as the launcher has it (made whole, AbsoluteName), as one
// argument of its own: joining them into one text and splitting it again would lose the double
// quotes a file name may hold.
bool StartMainProgram(const std::vector<std::string>& arguments) {
    std::vector<std::string> parts{ownFolder() + kMainProgram};
    parts.insert(parts.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    for (std::string& part : parts) {
        argv.push_back(part.data());
    }
    argv.push_back(nullptr);
    SetLastError(0);
    pid_t child = 0;
    const int result = ::posix_spawn(&child, argv[0], nullptr, nullptr, argv.data(), environ);
    if (result != 0) {
        throw zException{static_cast<DWORD>(result), "error calling CreateProcess()"};
    }
    // The launcher ends at once; the main program is handed to init, which reaps it.
    return true;
}

// The command line as one text: the arguments joined by blanks, each one that holds a blank
// and is not quoted already put in double quotes, as the desktop of the original would pass it.
std::string commandLineOf(const std::vector<std::string>& arguments) {
    std::string line;
    for (std::size_t i = 0; i < arguments.size(); ++i) {
        std::string argument = arguments[i];
        const bool quoted =
            argument.size() >= 2 && argument.front() == '"' && argument.back() == '"';
        if (!quoted && argument.find_first_of(" \t") != std::string::npos) {
            argument = "\"" + argument + "\"";
        }
        line += (i > 0 ? " " : "") + argument;
    }
    return line;
}

// The event and the key live until the launcher ends, whichever way it ends.
struct HeldHandles {
    HANDLE event = nullptr;
    HKEY key = nullptr;
    HeldHandles() = default;
    HeldHandles(const HeldHandles&) = delete;
    HeldHandles& operator=(const HeldHandles&) = delete;
    ~HeldHandles() {
        if (key != nullptr) {
            RegCloseKey(key);
        }
        if (event != nullptr) {
            CloseHandle(event);
        }
    }
};

int run(const std::vector<std::string>& arguments) {
    HeldHandles held;
    // The event and the message ports live in the runtime folder: one that others can enter is
    // refused, and the user learns which folder and why instead of a bare system text.
    const std::string unsafe = platform::RuntimeFolderProblem();
    if (!unsafe.empty()) {
        MessageBoxA(0, unsafe.c_str(), kReportErrorCaption, MB_ICONERROR);
        return 0;
    }
    const std::string commandLine = commandLineOf(arguments);
    if (commandLine.empty()) {
        StartMainProgram({});
        return 1;
    }
    HANDLE event = CreateEventA(nullptr, TRUE, FALSE, "Orvalen_solitary_viewer_event");
    if (event == nullptr) {
        throw "Problem in HandleArguments()";
    }
    held.event = event;
    switch (WaitForSingleObject(event, 0)) {
    case WAIT_OBJECT_0:
        break;
    case WAIT_ABANDONED:
        throw "WaitForSingleObject returned WAIT_ABANDONED";
    case WAIT_FAILED:
        throw "WaitForSingleObject returned WAIT_FAILED";
    case WAIT_TIMEOUT:
        StartMainProgram(arguments);
        return 1;
    default:
        throw "Unknown problem with WaitForSingleObject()";
    }
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_CURRENT_USER, "Software\\Quendar\\Orvalen 1.5\\mainform\\", 0, 0x2001F,
                      &key) != ERROR_SUCCESS) {
        StartMainProgram(arguments);
        return 1;
    }
    held.key = key;
    // The desktop's activation token goes with the file, before it and always (empty when the
    // desktop gave none), so the viewer never presents a token spent by an earlier hand-over.
    // A main program started below finds the token in its environment instead.
    const std::string token = platform::ActivationTokenOfEnvironment();
    const LONG tokenWritten = RegSetValueExA(key, "solitary_viewer_activation_token", 0, REG_SZ,
                                             reinterpret_cast<const BYTE*>(token.c_str()),
                                             static_cast<DWORD>(token.size() + 1));
    if (tokenWritten != ERROR_SUCCESS) {
        throw zException{static_cast<DWORD>(tokenWritten), "error calling RegSetValueEx()"};
    }
    const LONG written = RegSetValueExA(key, "solitary_viewer_arguments", 0, REG_SZ,
                                        reinterpret_cast<const BYTE*>(commandLine.c_str()),
                                        static_cast<DWORD>(commandLine.size() + 1));
    if (written != ERROR_SUCCESS) {
        throw zException{static_cast<DWORD>(written), "error calling RegSetValueEx()"};
    }
    // A viewer that has just started publishes its window last: give it a moment, and start
    // the main program (which waits the same way) only when no live window turns up.
    for (int attempt = 0;; ++attempt) {
        BYTE data[16];
        DWORD type = 0, size = sizeof data;
        if (RegQueryValueExA(key, "solitary_viewer_hwnd", nullptr, &type, data, &size) !=
            ERROR_SUCCESS) {
            if (attempt < 100) {
                Sleep(20);
                continue;
            }
            StartMainProgram(arguments);
            return 1;
        }
        if (type != REG_DWORD) {
            throw "wrong type returned";
        }
        if (size != 4) {
            throw "wrong size of data read from registry";
        }
        HWND window = 0;
        std::memcpy(&window, data, 4);
        if (!IsWindow(window) && attempt < 100) {
            Sleep(20);
            continue;
        }
        if (!IsWindow(window)) {
            StartMainProgram(arguments);
            return 1;
        }
        if (!PostMessageA(window, kDisplayImageMessage, 0, 0)) {
            // The viewer ended, or is ending, without taking the file: the main program
            // waits for it to be gone and shows the file itself.
            StartMainProgram(arguments);
            return 1;
        }
        SetForegroundWindow(window);
        return 1;
    }
}

} // namespace

int main(int argc, char** argv) {
    platform::SetMessageBoxPresenter(showBox);
    try {
        // The running viewer has a working folder of its own: it is given whole names.
        std::vector<std::string> arguments;
        for (int i = 1; i < argc; ++i) {
            arguments.push_back(AbsoluteName(argv[i]));
        }
        return run(arguments);
    } catch (const char* text) {
        LastErrorCode = GetLastError();
        ReportException("%s", text);
        return 0;
    } catch (const zException& failure) {
        LastErrorCode = failure.code;
        char* system = GetSystemErrorText();
        if (system == nullptr) {
            MessageBoxA(0, "an error occurred with FormatMessage()", "A program error occurred",
                        MB_ICONERROR);
            return 0;
        }
        const std::string text = std::string(failure.text) + kSystemErrorSeparator + system;
        LocalFree(system);
        MessageBoxA(0, text.c_str(), "A program exception occurred", MB_ICONERROR);
        return 0;
    }
}
