#include "QtWindows.h"

#include "../MessageBox.h"
#include "Activation.h"

#include <QApplication>
#include <QKeyEvent>
#include <QMessageBox>
#include <QThread>
#include <QWidget>

#include <cstdio>

namespace platform {

QEvent::Type WindowMessageEvent::EventType() {
    static const auto type = static_cast<QEvent::Type>(QEvent::registerEventType());
    return type;
}

namespace {

struct KeyPair {
    int virtualKey;
    int qtKey;
};

constexpr KeyPair kKeys[] = {
    {VK_RETURN, Qt::Key_Return}, {VK_RETURN, Qt::Key_Enter},   {VK_ESCAPE, Qt::Key_Escape},
    {VK_SPACE, Qt::Key_Space},   {VK_PRIOR, Qt::Key_PageUp},   {VK_NEXT, Qt::Key_PageDown},
    {VK_END, Qt::Key_End},       {VK_HOME, Qt::Key_Home},      {VK_LEFT, Qt::Key_Left},
    {VK_UP, Qt::Key_Up},         {VK_RIGHT, Qt::Key_Right},    {VK_DOWN, Qt::Key_Down},
    {VK_DELETE, Qt::Key_Delete}, {VK_BACK, Qt::Key_Backspace}, {VK_F2, Qt::Key_F2},
    {VK_F5, Qt::Key_F5},
};

} // namespace

int VirtualKeyOfQtKey(int qtKey) {
    for (const KeyPair& pair : kKeys) {
        if (pair.qtKey == qtKey) {
            return pair.virtualKey;
        }
    }
    return 0;
}

int QtKeyOfVirtualKey(int virtualKey) {
    for (const KeyPair& pair : kKeys) {
        if (pair.virtualKey == virtualKey) {
            return pair.qtKey;
        }
    }
    return 0;
}

QtWindowHandle::QtWindowHandle(QObject* receiver)
    : receiver_(receiver), handle_(RegisterWindow(this)) {}

QtWindowHandle::~QtWindowHandle() {
    UnregisterWindow(handle_);
}

void QtWindowHandle::Deliver(UINT message, WPARAM wParam, LPARAM lParam) {
    if (!receiver_) {
        return;
    }
    if (message == WM_ORVALEN_FOREGROUND) {
        QMetaObject::invokeMethod(
            receiver_, [this] { RaiseToFront(); }, Qt::QueuedConnection);
        return;
    }
    if (message == WM_KEYDOWN || message == WM_KEYUP) {
        const int key = (wParam >= '0' && wParam <= '9') || (wParam >= 'A' && wParam <= 'Z')
                            ? static_cast<int>(wParam)
                            : QtKeyOfVirtualKey(static_cast<int>(wParam));
        if (key != 0) {
            QCoreApplication::postEvent(
                receiver_,
                new QKeyEvent(message == WM_KEYDOWN ? QEvent::KeyPress : QEvent::KeyRelease, key,
                              Qt::NoModifier));
        }
        return;
    }
    QCoreApplication::postEvent(receiver_, new WindowMessageEvent(message, wParam, lParam));
}

bool QtWindowHandle::IsMinimized() {
    auto* widget = qobject_cast<QWidget*>(receiver_.data());
    return widget != nullptr && widget->isMinimized();
}

void QtWindowHandle::Show(int command) {
    auto* widget = qobject_cast<QWidget*>(receiver_.data());
    if (widget == nullptr) {
        return;
    }
    switch (command) {
    case SW_HIDE:
        widget->hide();
        break;
    case SW_MINIMIZE:
        widget->showMinimized();
        break;
    case SW_RESTORE:
        widget->setWindowState(widget->windowState() & ~Qt::WindowMinimized);
        widget->show();
        break;
    default:
        widget->show();
        break;
    }
}

bool QtWindowHandle::IsForeground() {
    auto* widget = qobject_cast<QWidget*>(receiver_.data());
    return widget != nullptr && widget->isVisible() && widget->isActiveWindow();
}

void QtWindowHandle::RaiseToFront() {
    auto* widget = qobject_cast<QWidget*>(receiver_.data());
    if (widget == nullptr) {
        return;
    }
    if (widget->isMinimized()) {
        Show(SW_RESTORE);
    }
    widget->show();
    if (!widget->isVisible()) {
        return; // a window that never shows (the hidden main form) has nothing to raise
    }
    // A token handed over with the request lets a Wayland compositor raise the window.
    ActivateWindow(widget, TakeOfferedActivationToken());
}

namespace {

int showBox(const QString& text, const QString& caption, UINT style) {
    if (style & MB_YESNO) {
        return QMessageBox::question(nullptr, caption, text) == QMessageBox::Yes ? IDYES : IDNO;
    }
    QMessageBox box(style & MB_ICONERROR ? QMessageBox::Critical : QMessageBox::Information,
                    caption, text, QMessageBox::Ok);
    box.exec();
    return IDOK;
}

} // namespace

void InstallQtMessageBoxPresenter() {
    SetMessageBoxPresenter([](HWND, const char* text, const char* caption, UINT style) {
        auto* application = qobject_cast<QApplication*>(QCoreApplication::instance());
        if (application == nullptr) {
            std::fprintf(stderr, "%s: %s\n", caption ? caption : "", text ? text : "");
            return IDOK;
        }
        const QString qtext = QString::fromUtf8(text ? text : "");
        const QString qcaption = QString::fromUtf8(caption ? caption : "");
        if (QThread::currentThread() == application->thread()) {
            return showBox(qtext, qcaption, style);
        } else {
            QMetaObject::invokeMethod(
                application, [qtext, qcaption, style] { showBox(qtext, qcaption, style); },
                Qt::QueuedConnection);
        }
        return IDOK;
    });
}

} // namespace platform
