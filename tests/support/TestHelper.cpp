// A second process for the tests of what crosses processes. Each command prints one line when
// it has done its part, then (where it says so) stays until it is killed.
//
//   hold-mutex NAME          take the named mutex, print "held" (or "held abandoned" when its
//                            last owner died holding it), stay
//   post WINDOW MESSAGE [W]  PostMessageA(WINDOW, MESSAGE, W, 0) as one of our programs would
//                            (numbers in C notation), print "posted" or "failed", exit
//   set-event NAME           create and set the named event, print "set", stay
//   window                   register a window, print its handle, print each message posted
//                            to it as "message <number>", stay
//   trace TEXT               DebugTrace(TEXT), print "traced", exit
//   foreign-connect SERVER   connect to SERVER's pipe as another process would, send a connect
//                            request, print "reply" or "no reply", exit
//   registry-stress TAG N    write and read back N values "TAG<i>" in section "mainform",
//                            print "ok" or the first value that read back wrong, exit
//   registry-writer          write "w<i>" = i in section "mainform" for i = 0, 1, ... and
//                            print "wrote <i>" after each write returns, until killed
#include "common/ErrorReporting.h"
#include "common/Settings.h"
#include "messaging/Message.h"
#include "platform/Platform.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>

namespace {

void say(const std::string& line) {
    std::printf("%s\n", line.c_str());
    std::fflush(stdout);
}

[[noreturn]] void stay() {
    for (;;) {
        ::pause();
    }
}

class PrintingSink final : public platform::WindowMessageSink {
public:
    void Deliver(UINT message, WPARAM, LPARAM) override {
        say("message " + std::to_string(message));
    }
};

} // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        return 2;
    }
    const std::string command = argv[1];
    if (command == "hold-mutex" && argc == 3) {
        HANDLE mutex = CreateMutexA(nullptr, FALSE, argv[2]);
        const DWORD waited = mutex != nullptr ? WaitForSingleObject(mutex, 10000) : WAIT_FAILED;
        if (waited != WAIT_OBJECT_0 && waited != WAIT_ABANDONED) {
            say("failed");
            return 1;
        }
        say(waited == WAIT_OBJECT_0 ? "held" : "held abandoned");
        stay();
    }
    if (command == "set-event" && argc == 3) {
        HANDLE event = CreateEventA(nullptr, TRUE, FALSE, argv[2]);
        if (event == nullptr || !SetEvent(event)) {
            say("failed");
            return 1;
        }
        say("set");
        stay();
    }
    if (command == "window") {
        static PrintingSink sink;
        const HWND window = platform::RegisterWindow(&sink);
        say(std::to_string(window));
        stay();
    }
    if (command == "post" && (argc == 4 || argc == 5)) {
        const auto window = static_cast<HWND>(std::strtoul(argv[2], nullptr, 0));
        const auto message = static_cast<UINT>(std::strtoul(argv[3], nullptr, 0));
        const WPARAM wParam = argc == 5 ? std::strtoull(argv[4], nullptr, 0) : 0;
        say(PostMessageA(window, message, wParam, 0) ? "posted" : "failed");
        return 0;
    }
    if (command == "trace" && argc == 3) {
        DebugTrace(argv[2]);
        say("traced");
        return 0;
    }
    if (command == "foreign-connect" && argc == 3) {
        const std::string pipe_name = std::string("\\\\.\\pipe\\") + argv[2];
        // The server makes its pipe shortly after it starts: retry as a client does.
        HANDLE pipe = INVALID_HANDLE_VALUE;
        for (int attempt = 0; attempt < 500 && pipe == INVALID_HANDLE_VALUE; ++attempt) {
            pipe = CreateFileA(pipe_name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                               OPEN_EXISTING, 0, nullptr);
            if (pipe == INVALID_HANDLE_VALUE) {
                Sleep(10);
            }
        }
        if (pipe == INVALID_HANDLE_VALUE) {
            say("cannot open");
            return 1;
        }
        static char foreignName[] = "Intruder";
        Message request;
        request.kind = IV_CONNECT;
        request.sender_id = -1;
        request.data1 = 1;
        request.data2 = 1;
        request.payload = foreignName; // an address of this process, meaningless over there
        DWORD written = 0;
        WriteFile(pipe, &request, sizeof request, &written, nullptr);
        char reply[512];
        DWORD read = 0;
        say(ReadFile(pipe, reply, sizeof reply, &read, nullptr) && read > 0 ? "reply" : "no reply");
        CloseHandle(pipe);
        return 0;
    }
    if (command == "registry-stress" && argc == 4) {
        TRegistryIniFileSpecial settings(settings_base_key, KEY_ALL_ACCESS);
        settings.Section = "mainform";
        const int count = std::atoi(argv[3]);
        for (int i = 0; i < count; ++i) {
            const std::string name = std::string(argv[2]) + std::to_string(i);
            settings.WriteInteger(name, i * 7 + 1);
            const int read = settings.ReadInteger(name, -1);
            if (read != i * 7 + 1) {
                say("mismatch " + name + " " + std::to_string(read));
                return 1;
            }
        }
        say("ok");
        return 0;
    }
    if (command == "registry-writer") {
        TRegistryIniFileSpecial settings(settings_base_key, KEY_ALL_ACCESS);
        settings.Section = "mainform";
        for (int i = 0;; ++i) {
            settings.WriteInteger("w" + std::to_string(i), i);
            say("wrote " + std::to_string(i));
        }
    }
    return 2;
}
