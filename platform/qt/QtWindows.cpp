#include "QtWindows.h"

#include "../MessageBox.h"

#include <QApplication>
#include <QMessageBox>
#include <QThread>
#include <QWidget>

#include <cstdio>

namespace platform {

QEvent::Type WindowMessageEvent::EventType() {
    static const auto type = static_cast<QEvent::Type>(QEvent::registerEventType());
    return type;
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
