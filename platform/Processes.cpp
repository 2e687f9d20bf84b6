#include "Processes.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <spawn.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char** environ;

namespace platform {

std::vector<std::string> SplitCommandLine(const std::string& commandLine) {
    std::vector<std::string> parts;
    std::string current;
    bool quoted = false;
    bool any = false;
    for (char c : commandLine) {
        if (c == '"') {
            quoted = !quoted;
            any = true;
        } else if ((c == ' ' || c == '\t') && !quoted) {
            if (any) {
                parts.push_back(current);
            }
            current.clear();
            any = false;
        } else {
            current += c;
            any = true;
        }
    }
    if (any) {
        parts.push_back(current);
    }
    return parts;
}

} // namespace platform

BOOL CreateProcessA(const char* applicationName, const char* commandLine, void*, void*, BOOL, DWORD,
                    void*, const char*, STARTUPINFOA*, PROCESS_INFORMATION* processInformation) {
    if (applicationName == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    std::vector<std::string> arguments{applicationName};
    if (commandLine != nullptr) {
        std::vector<std::string> parts = platform::SplitCommandLine(commandLine);
        if (!parts.empty()) {
            arguments.insert(arguments.end(), parts.begin() + 1, parts.end());
        }
    }
    std::vector<char*> argv;
    for (std::string& argument : arguments) {
        argv.push_back(argument.data());
    }
    argv.push_back(nullptr);
    pid_t child = 0;
    const int result =
        ::posix_spawn(&child, applicationName, nullptr, nullptr, argv.data(), environ);
    if (result != 0) {
        SetLastError(static_cast<DWORD>(result));
        return FALSE;
    }
    std::thread([child] { ::waitpid(child, nullptr, 0); }).detach();
    if (processInformation != nullptr) {
        *processInformation = PROCESS_INFORMATION{nullptr, nullptr, static_cast<DWORD>(child), 0};
    }
    return TRUE;
}

DWORD GetModuleFileNameA(void*, char* fileName, DWORD size) {
    char path[PATH_MAX];
    const ssize_t length = ::readlink("/proc/self/exe", path, sizeof path - 1);
    if (length <= 0 || size == 0) {
        SetLastErrorFromErrno();
        return 0;
    }
    const auto copied =
        static_cast<DWORD>(std::min<std::size_t>(static_cast<std::size_t>(length), size - 1));
    std::memcpy(fileName, path, copied);
    fileName[copied] = '\0';
    return copied;
}
