#include "QtWindows.h"

#include "../MessageBox.h"

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

// The Qt key of a virtual key code; 0 for codes without one here.
int qtKey(WPARAM code) {
    switch (code) {
    case VK_RETURN:
        return Qt::Key_Return;
    case VK_SPACE:
        return Qt::Key_Space;
    case VK_PRIOR:
        return Qt::Key_PageUp;
    case VK_NEXT:
        return Qt::Key_PageDown;
    case VK_END:
        return Qt::Key_End;
    case VK_HOME:
        return Qt::Key_Home;
    case VK_LEFT:
        return Qt::Key_Left;
    case VK_UP:
        return Qt::Key_Up;
    case VK_RIGHT:
        return Qt::Key_Right;
    case VK_DOWN:
        return Qt::Key_Down;
    case VK_DELETE:
        return Qt::Key_Delete;
    default:
        // Digits and capital letters share their codes with Qt's keys.
        return (code >= '0' && code <= '9') || (code >= 'A' && code <= 'Z') ? static_cast<int>(code)
                                                                            : 0;
    }
}

} // namespace

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
        const int key = qtKey(wParam);
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
    widget->raise();
    widget->activateWindow();
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
