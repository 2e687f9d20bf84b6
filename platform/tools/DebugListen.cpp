// Prints the debugger lines of every running process of this user, one per line, until killed.
#include "../DebugOutput.h"
#include "../Runtime.h"
#include "../WinTypes.h"

#include <cstdio>

int main() {
    platform::DebugListener listener;
    if (!listener.IsOpen()) {
        char* text = nullptr;
        FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_ALLOCATE_BUFFER, nullptr,
                       GetLastError(), 0, reinterpret_cast<char*>(&text), 0, nullptr);
        std::fprintf(stderr, "cannot listen on %s/debug: %s\n", platform::RuntimeFolder().c_str(),
                     text ? text : "");
        LocalFree(text);
        return 1;
    }
    std::string line;
    for (;;) {
        if (listener.Receive(line, -1)) {
            // Trace lines may end in their own newline; print each as exactly one line.
            while (!line.empty() && line.back() == '\n') {
                line.pop_back();
            }
            std::printf("%s\n", line.c_str());
            std::fflush(stdout);
        }
    }
}
