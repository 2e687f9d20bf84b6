// Window handles and window and thread messages.
//
// A window handle is 32 bits: the owning process id shifted left by 10, and a slot (1..1023)
// of that process's window table. PostMessageA to a window of this process hands the message to
// the window's sink at once (the Qt sink posts an event, see QtWindows.h); a window of another
// process is reached through that process's message port, a datagram socket at
// "<runtime>/port/<pid>" served by a thread of its own. The port delivers only 0x800C (the
// solitary viewer's wake-up) and WM_ORVALEN_FOREGROUND, and only from a process of this user
// that runs this program or Orvalen_main or OrvalenViewer of its folder (checked through the
// datagram's kernel-supplied credentials and /proc/<pid>/exe); the rest is dropped without a
// word to the sender, whose PostMessageA still returns TRUE.
#pragma once

#include "WinTypes.h"

constexpr UINT WM_KEYDOWN = 0x0100;
constexpr UINT WM_KEYUP = 0x0101;
constexpr UINT WM_USER = 0x0400;
// Virtual key codes carried by WM_KEYDOWN and WM_KEYUP (letters and digits are their capitals'
// and digits' character codes).
constexpr int VK_BACK = 8, VK_RETURN = 13, VK_ESCAPE = 27, VK_SPACE = 32, VK_PRIOR = 33,
              VK_NEXT = 34, VK_END = 35, VK_HOME = 36, VK_LEFT = 37, VK_UP = 38, VK_RIGHT = 39,
              VK_DOWN = 40, VK_DELETE = 46, VK_NUMPAD0 = 96, VK_F2 = 113, VK_F5 = 116;
constexpr UINT WM_APP = 0x8000;
// Internal: asks the owner of a window to bring it to the foreground (SetForegroundWindow of a
// window of another process is carried out by that process).
constexpr UINT WM_ORVALEN_FOREGROUND = 0x7FF0;

struct MSG {
    HWND hwnd;
    UINT message;
    WPARAM wParam;
    LPARAM lParam;
};

constexpr UINT PM_NOREMOVE = 0;
constexpr UINT PM_REMOVE = 1;

namespace platform {

// Receives the messages posted to one window. Deliver is called from any thread, with the
// window table locked: it must only queue the message and return.
class WindowMessageSink {
public:
    virtual ~WindowMessageSink() = default;
    virtual void Deliver(UINT message, WPARAM wParam, LPARAM lParam) = 0;
    // Window state, asked for on the window's own thread (the default: a window without any).
    virtual bool IsMinimized() { return false; }
    virtual void Show(int) {}
    virtual bool IsForeground() { return false; }
    virtual void RaiseToFront() {}
};

// Gives sink a window handle of this process (0 when the table is full or this process's id
// cannot be encoded). Starts the process's message port on first use. The sink stays owned by
// the caller and must outlive its registration.
HWND RegisterWindow(WindowMessageSink* sink);
// Takes the handle out of the table; later posts to it fail.
void UnregisterWindow(HWND window);

} // namespace platform

// Posts a message to a window of this process or of another process of this user. FALSE with
// ERROR_INVALID_WINDOW_HANDLE when the window does not exist or its process has ended.
BOOL PostMessageA(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
// TRUE when the window exists: in this process, in the window table; in another process, when
// its process runs and its message port answers.
BOOL IsWindow(HWND window);
// The id of the process that owns window; returns 0 (the thread id is not encoded).
DWORD GetWindowThreadProcessId(HWND window, DWORD* processId);
// Brings a window forward: in this process at once through its sink, in another process
// through its message port (WM_ORVALEN_FOREGROUND), where the owner raises it.
BOOL SetForegroundWindow(HWND window);
// The same for a window of this process (another process's window: SetForegroundWindow).
BOOL BringWindowToTop(HWND window);

constexpr int SW_HIDE = 0;
constexpr int SW_SHOW = 5;
constexpr int SW_MINIMIZE = 6;
constexpr int SW_RESTORE = 9;
// State of a window of this process, from its own thread. Windows of other processes are
// neither minimised nor in the foreground as far as these tell.
BOOL IsIconic(HWND window);
BOOL ShowWindow(HWND window, int command);
// The window of this process that has the focus, or 0.
HWND GetForegroundWindow();

// Thread messages (within this process). A thread gets its queue with the first PeekMessageA or
// GetMessageA; posting to a thread without one fails with ERROR_INVALID_THREAD_ID.
BOOL PostThreadMessageA(DWORD threadId, UINT message, WPARAM wParam, LPARAM lParam);
// Only the calling thread's queue is looked at (window must be 0); filters are ignored.
BOOL PeekMessageA(MSG* message, HWND window, UINT filterMin, UINT filterMax, UINT removeFlag);
// Blocks until the calling thread's queue holds a message.
BOOL GetMessageA(MSG* message, HWND window, UINT filterMin, UINT filterMax);
// Waits at most ms for a message in the calling thread's queue and takes it. Not a call of the
// original API: tests and benchmarks use it instead of a message loop.
BOOL WaitThreadMessage(MSG* message, DWORD ms);
