// Basic types, error codes and the thread's last error code of the platform layer.
//
// The program was designed against a desktop API whose names it keeps; this header gives those
// names their meaning on POSIX. Error codes are errno values where the failure came from the C
// library, plus a few codes of the layer's own above the errno range (pipe busy, invalid
// window, ...) that the program tests by number.
#pragma once

#include <cstdarg>
#include <cstdint>

using DWORD = std::uint32_t;
using LONG = std::int32_t;
using UINT = unsigned int;
using BOOL = int;
using BYTE = std::uint8_t;
using WORD = std::uint16_t;
using WPARAM = std::uintptr_t;
using LPARAM = std::intptr_t;
using LRESULT = std::intptr_t;
using LONGLONG = std::int64_t;
using LPSTR = char*;
using LPCSTR = const char*;

// A window handle: 32 bits that name a window of the process table and, in their upper bits,
// the process that owns it (see Windows.h).
using HWND = std::uint32_t;

// A rectangle in whole pixels; right and bottom lie just outside it.
struct RECT {
    LONG left;
    LONG top;
    LONG right;
    LONG bottom;
};

#ifndef TRUE
#define TRUE 1
#define FALSE 0
#endif

constexpr DWORD INFINITE = 0xFFFFFFFFu;

// Error codes. Codes below 200 are errno values; the layer's own codes lie above that range.
constexpr DWORD ERROR_SUCCESS = 0;
constexpr DWORD ERROR_FILE_NOT_FOUND = 2;     // == ENOENT
constexpr DWORD ERROR_ACCESS_DENIED = 13;     // == EACCES
constexpr DWORD ERROR_INVALID_HANDLE = 9;     // == EBADF
constexpr DWORD ERROR_INVALID_PARAMETER = 22; // == EINVAL
constexpr DWORD ERROR_BROKEN_PIPE = 1109;
constexpr DWORD ERROR_SEM_TIMEOUT = 1121;
constexpr DWORD ERROR_INVALID_NAME = 1123;
constexpr DWORD ERROR_ALREADY_EXISTS = 1183;
constexpr DWORD ERROR_FILENAME_EXCED_RANGE = 1206;
constexpr DWORD ERROR_PIPE_BUSY = 231;
constexpr DWORD ERROR_MORE_DATA = 1234;
constexpr DWORD ERROR_NOT_OWNER = 1288;
constexpr DWORD ERROR_PIPE_CONNECTED = 535;
constexpr DWORD ERROR_INVALID_WINDOW_HANDLE = 1400;
constexpr DWORD ERROR_INVALID_THREAD_ID = 1444;
constexpr DWORD ERROR_NO_MORE_ITEMS = 1259;
constexpr DWORD ERROR_BADDB = 1009;
constexpr DWORD ERROR_KEY_DELETED = 1018;
constexpr DWORD ERROR_REGISTRY_IO_FAILED = 1016;
constexpr DWORD ERROR_CANTWRITE = 1013;

// The calling thread's last error code. Every layer call that fails sets it.
DWORD GetLastError();
void SetLastError(DWORD code);
// Sets the last error from errno and returns it.
DWORD SetLastErrorFromErrno();

// FormatMessageA: only FORMAT_MESSAGE_FROM_SYSTEM is supported, with or without
// FORMAT_MESSAGE_ALLOCATE_BUFFER (then lpBuffer is really a char** that receives a block to free
// with LocalFree). Every code has a text, code 0 included. Returns the text length, 0 on failure.
constexpr DWORD FORMAT_MESSAGE_ALLOCATE_BUFFER = 0x0100;
constexpr DWORD FORMAT_MESSAGE_IGNORE_INSERTS = 0x0200;
constexpr DWORD FORMAT_MESSAGE_FROM_SYSTEM = 0x1000;
DWORD FormatMessageA(DWORD flags, const void* source, DWORD messageId, DWORD languageId,
                     LPSTR buffer, DWORD size, va_list* arguments);
void* LocalFree(void* block);

DWORD GetCurrentThreadId();
DWORD GetCurrentProcessId();
