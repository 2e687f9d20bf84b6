// Kernel objects: handles, named events, the named mutex, threads and waiting.
#pragma once

#include "WinTypes.h"

// Every kernel object of the layer (event, mutex, thread, pipe) derives from this.
class KernelObject {
public:
    virtual ~KernelObject() = default;
    // Waits at most ms milliseconds (INFINITE: forever) and returns a WAIT_* code.
    virtual DWORD Wait(DWORD ms);
};

using HANDLE = KernelObject*;
// Returned by CreateFileA on failure; never a live handle. Closing it fails harmlessly.
inline const HANDLE INVALID_HANDLE_VALUE = reinterpret_cast<HANDLE>(~std::uintptr_t{0});

struct SECURITY_ATTRIBUTES;

constexpr DWORD WAIT_OBJECT_0 = 0x00000000;
constexpr DWORD WAIT_ABANDONED = 0x00000080;
constexpr DWORD WAIT_IO_COMPLETION = 0x000000C0;
constexpr DWORD WAIT_TIMEOUT = 0x00000102;
constexpr DWORD WAIT_FAILED = 0xFFFFFFFF;

constexpr DWORD SYNCHRONIZE = 0x00100000;
constexpr DWORD EVENT_ALL_ACCESS = 0x001F0003;

// Closes a handle of any kind. FALSE with ERROR_INVALID_HANDLE for null, INVALID_HANDLE_VALUE
// or a handle that is not open.
BOOL CloseHandle(HANDLE handle);

// Waits for an object: an event is signalled while some handle holds it set; a mutex is
// acquired (WAIT_ABANDONED when its owner died holding it: the caller then owns it and the
// mutex is consistent again); a thread is signalled once it has ended. An invalid or null
// handle gives WAIT_FAILED with ERROR_INVALID_HANDLE.
DWORD WaitForSingleObject(HANDLE handle, DWORD ms);
// As WaitForSingleObject; nothing here queues completion routines, so alertable waits never
// return WAIT_IO_COMPLETION.
DWORD WaitForSingleObjectEx(HANDLE handle, DWORD ms, BOOL alertable);

// Named events of this user, always manual-reset. The signalled state is held by the handle
// that set it (an exclusive flock on "<runtime>/event/<name>"): ResetEvent, CloseHandle or the
// end of the process, however it ends, clears it. A wait polls every millisecond.
// CreateEventA creates or opens (last error ERROR_ALREADY_EXISTS when the name was known);
// initialState TRUE sets it at once. Returns null on failure; a null name is refused.
HANDLE CreateEventA(SECURITY_ATTRIBUTES* security, BOOL manualReset, BOOL initialState,
                    const char* name);
// Opens an existing named event; null with ERROR_FILE_NOT_FOUND when there is none.
HANDLE OpenEventA(DWORD access, BOOL inherit, const char* name);
BOOL SetEvent(HANDLE event);
BOOL ResetEvent(HANDLE event);

// The named mutex of this user: a robust, recursive, process-shared pthread mutex in a shared
// mapping of "<runtime>/mutex/<name>". The file starts with a magic and version header; a file
// that is missing, not a regular file of this user, of the wrong size or with a damaged header
// or mutex is replaced by a fresh one (written aside and renamed over it under an flock on
// "<runtime>/mutex.lock"), never used. A wait on a handle whose file was damaged since goes
// over to the replacement. The mapping stays for the life of the process (a robust mutex must
// stay mapped while the kernel may walk its owner list). null on failure.
HANDLE CreateMutexA(SECURITY_ATTRIBUTES* security, BOOL initialOwner, const char* name);
// FALSE with ERROR_NOT_OWNER when the calling thread does not hold it.
BOOL ReleaseMutex(HANDLE mutex);

// Threads. The handle is signalled when the function has returned; closing the handle does
// not stop the thread. threadId receives the thread's id (gettid), as GetCurrentThreadId gives
// it inside the thread.
using LPTHREAD_START_ROUTINE = DWORD (*)(void* parameter);
HANDLE CreateThread(SECURITY_ATTRIBUTES* security, std::size_t stackSize,
                    LPTHREAD_START_ROUTINE start, void* parameter, DWORD flags, DWORD* threadId);

// Atomic increment of a 32-bit value; returns the incremented value.
LONG InterlockedIncrement(volatile LONG* value);

namespace platform {
// Registers object as an open handle and returns it (used by the layer's own object kinds).
HANDLE RegisterHandle(KernelObject* object);
// The open object of handle, or null (last error ERROR_INVALID_HANDLE).
KernelObject* LookUpHandle(HANDLE handle);
} // namespace platform
