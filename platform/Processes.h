// Starting programs, and this program's own file name.
#pragma once

#include "WinTypes.h"

#include <string>
#include <vector>

struct STARTUPINFOA {
    DWORD cb;
    BYTE reserved[64];
};
static_assert(sizeof(STARTUPINFOA) == 68);

struct PROCESS_INFORMATION {
    void* hProcess;
    void* hThread;
    DWORD dwProcessId;
    DWORD dwThreadId;
};

// Starts applicationName with the arguments of commandLine (null: none). The command line is
// split as the original system splits one: blanks separate, double quotes group and are
// removed; its first part names the program and is not passed on. The child inherits the
// environment and the current folder; it is reaped when it ends. FALSE with the error of the
// start (ERROR_FILE_NOT_FOUND for a missing program) on failure.
BOOL CreateProcessA(const char* applicationName, const char* commandLine, void* processSecurity,
                    void* threadSecurity, BOOL inheritHandles, DWORD creationFlags,
                    void* environment, const char* currentDirectory, STARTUPINFOA* startupInfo,
                    PROCESS_INFORMATION* processInformation);

// The full file name of this program (from /proc/self/exe), at most size - 1 bytes and a zero.
// Returns its length; 0 on failure.
DWORD GetModuleFileNameA(void* module, char* fileName, DWORD size);

namespace platform {
// The parts of a command line, split as CreateProcessA splits it.
std::vector<std::string> SplitCommandLine(const std::string& commandLine);
} // namespace platform
