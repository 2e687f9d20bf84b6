#include "WinTypes.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sys/syscall.h>
#include <unistd.h>

namespace {
thread_local DWORD lastError = ERROR_SUCCESS;

const char* layerErrorText(DWORD code) {
    switch (code) {
    case ERROR_BROKEN_PIPE:
        return "The pipe has been ended.";
    case ERROR_SEM_TIMEOUT:
        return "The wait timed out.";
    case ERROR_INVALID_NAME:
        return "The object name is not valid.";
    case ERROR_ALREADY_EXISTS:
        return "The object already exists.";
    case ERROR_FILENAME_EXCED_RANGE:
        return "The name is too long.";
    case ERROR_PIPE_BUSY:
        return "All pipe instances are busy.";
    case ERROR_MORE_DATA:
        return "More data is available.";
    case ERROR_NOT_OWNER:
        return "Attempt to release a mutex not owned by the caller.";
    case ERROR_PIPE_CONNECTED:
        return "A process is connected to the other end of the pipe.";
    case ERROR_INVALID_WINDOW_HANDLE:
        return "Invalid window handle.";
    case ERROR_INVALID_THREAD_ID:
        return "Invalid thread identifier.";
    case ERROR_NO_MORE_ITEMS:
        return "No more data is available.";
    case ERROR_BADDB:
        return "The settings database is damaged.";
    case ERROR_KEY_DELETED:
        return "The settings key has been deleted.";
    case ERROR_REGISTRY_IO_FAILED:
        return "The settings store could not be read or written.";
    case ERROR_CANTWRITE:
        return "The settings store cannot be written.";
    default:
        return nullptr;
    }
}
} // namespace

DWORD GetLastError() {
    return lastError;
}
void SetLastError(DWORD code) {
    lastError = code;
}

DWORD SetLastErrorFromErrno() {
    lastError = static_cast<DWORD>(errno);
    return lastError;
}

DWORD FormatMessageA(DWORD flags, const void*, DWORD messageId, DWORD, LPSTR buffer, DWORD size,
                     va_list*) {
    if (!(flags & FORMAT_MESSAGE_FROM_SYSTEM) || buffer == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    char local[256];
    const char* text = layerErrorText(messageId);
    if (text == nullptr) {
        // The GNU strerror_r returns its text, which may or may not live in our buffer.
        text = strerror_r(static_cast<int>(messageId), local, sizeof local);
    }
    const std::size_t length = std::strlen(text);
    if (flags & FORMAT_MESSAGE_ALLOCATE_BUFFER) {
        char* block = static_cast<char*>(std::malloc(length + 1));
        if (block == nullptr) {
            SetLastErrorFromErrno();
            return 0;
        }
        std::memcpy(block, text, length + 1);
        *reinterpret_cast<char**>(buffer) = block;
        return static_cast<DWORD>(length);
    }
    if (size <= length) {
        SetLastError(ERROR_MORE_DATA);
        return 0;
    }
    std::memcpy(buffer, text, length + 1);
    return static_cast<DWORD>(length);
}

void* LocalFree(void* block) {
    std::free(block);
    return nullptr;
}

DWORD GetCurrentThreadId() {
    return static_cast<DWORD>(::syscall(SYS_gettid));
}
DWORD GetCurrentProcessId() {
    return static_cast<DWORD>(::getpid());
}
