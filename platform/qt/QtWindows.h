// Window handles for Qt objects, and message boxes shown as Qt dialogs.
#pragma once

#include "../Windows.h"

#include <QEvent>
#include <QPointer>

namespace platform {

// The event that carries a posted window message to a Qt object.
class WindowMessageEvent final : public QEvent {
public:
    static QEvent::Type EventType();
    WindowMessageEvent(UINT message, WPARAM wParam, LPARAM lParam)
        : QEvent(EventType()), message(message), wParam(wParam), lParam(lParam) {}

    const UINT message;
    const WPARAM wParam;
    const LPARAM lParam;
};

// Gives a QObject a window handle for as long as this object lives. A message posted to the
// handle, from any thread (or, for the few messages the port lets through, from another of our
// processes) arrives in the object's thread as a WindowMessageEvent (handle it in event()).
// WM_ORVALEN_FOREGROUND (another process asking to raise this window) is handled here, and
// WM_KEYDOWN / WM_KEYUP posted within this process arrive as key press and release events. The
// object must outlive this handle.
class QtWindowHandle final : private WindowMessageSink {
public:
    explicit QtWindowHandle(QObject* receiver);
    ~QtWindowHandle() override;
    QtWindowHandle(const QtWindowHandle&) = delete;
    QtWindowHandle& operator=(const QtWindowHandle&) = delete;

    HWND Handle() const { return handle_; }

private:
    void Deliver(UINT message, WPARAM wParam, LPARAM lParam) override;
    // Window state, when the receiver is a widget.
    bool IsMinimized() override;
    void Show(int command) override;
    bool IsForeground() override;
    void RaiseToFront() override;

    QPointer<QObject> receiver_;
    HWND handle_;
};

// The virtual key code of a Qt key and back, for the keys that are not characters (Return,
// Escape, Space, the page and arrow keys, Delete, Backspace, F2, F5); 0 for any other key.
// Capital letters and digits have the same codes in both.
int VirtualKeyOfQtKey(int qtKey);
int QtKeyOfVirtualKey(int virtualKey);

// Shows MessageBoxA texts as modal Qt message boxes while a QApplication exists (standard error
// otherwise). A box asked for on another thread is queued to the GUI thread and the call
// returns IDOK at once, so a worker thread never waits for a user.
void InstallQtMessageBoxPresenter();

} // namespace platform
