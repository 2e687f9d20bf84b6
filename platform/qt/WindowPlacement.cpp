#include "WindowPlacement.h"

#include "Activation.h"

#include <QElapsedTimer>
#include <QEvent>
#include <QGuiApplication>
#include <QPointer>
#include <QScreen>
#include <QTimer>
#include <QWidget>
#include <QWindow>

#include <algorithm>

namespace platform {

namespace {

QMargins lastSeenAnywhere;
constexpr char kSeenProperty[] = "orvalenFrameMargins";
// How long after a placement the real frame is waited for.
constexpr int kFramePatienceMs = 2000;

QMargins currentFrame(const QWidget* window) {
    const QRect outer = window->frameGeometry();
    const QRect inner = window->geometry();
    return QMargins(inner.left() - outer.left(), inner.top() - outer.top(),
                    outer.right() - inner.right(), outer.bottom() - inner.bottom());
}

bool framedNow(const QWidget* window) {
    return window->isVisible() && !currentFrame(window).isNull();
}

// The frame as the window system has it now. The widget's own frame geometry is updated only
// when the window moves or changes size, and Qt's Wayland decorations come back after full
// screen without either.
QMargins liveFrame(const QWidget* window) {
    const QWindow* handle = window->windowHandle();
    return handle != nullptr && window->isVisible() ? handle->frameMargins() : QMargins();
}

bool unframedByDesign(const QWidget* window) {
    return window->windowFlags().testFlag(Qt::FramelessWindowHint) || window->isFullScreen();
}

QRect innerOf(const QRect& outer, const QMargins& frame) {
    return QRect(outer.left() + frame.left(), outer.top() + frame.top(),
                 std::max(outer.width() - frame.left() - frame.right(), 1),
                 std::max(outer.height() - frame.top() - frame.bottom(), 1));
}

// Watches a window placed with an assumed frame: from the time it shows, for a short while,
// until the window manager's frame is known; places it again when that frame is different.
class Keeper : public QObject {
public:
    Keeper(QWidget* window, const QRect& outer, QMargins assumed,
           std::function<void(const QRect&)> apply, std::function<void()> frameChanged)
        : QObject(window), window_(window), outer_(outer), assumed_(assumed),
          apply_(std::move(apply)), frameChanged_(std::move(frameChanged)) {
        setObjectName("orvalenOuterBoundsKeeper");
        timer_.setInterval(20);
        connect(&timer_, &QTimer::timeout, this, [this] { check(); });
        window->installEventFilter(this);
        if (window->isVisible()) {
            watch();
        }
    }

protected:
    bool eventFilter(QObject*, QEvent* event) override {
        if (event->type() == QEvent::Show && !timer_.isActive()) {
            watch();
        }
        return false;
    }

private:
    void watch() {
        shown_.start();
        timer_.start();
    }

    void check() {
        if (window_ == nullptr || unframedByDesign(window_)) {
            return;
        }
        const QMargins real = liveFrame(window_);
        if (real.isNull()) {
            if (shown_.elapsed() > kFramePatienceMs) {
                deleteLater(); // no window manager frames it
            }
            return;
        }
        window_->setProperty(kSeenProperty, QVariant::fromValue(real));
        lastSeenAnywhere = real;
        timer_.stop();
        deleteLater();
        // Qt's Wayland decorations are drawn in the window's own buffer, which grows with
        // them; only what is painted after that is in it, and the rest shows black. An update
        // of a window leaves out its opaque children: each is updated.
        window_->update();
        for (QWidget* child : window_->findChildren<QWidget*>()) {
            child->update();
        }
        // Placed again also when the frame was guessed right but the window lost its size
        // to it: Qt's Wayland decorations, added after a size was set (on leaving full screen),
        // take their room from the inside.
        const QRect inner = innerOf(outer_, real);
        if (real != assumed_ || window_->geometry().size() != inner.size()) {
            apply_(inner);
            if (frameChanged_) {
                frameChanged_();
            }
        }
    }

    QPointer<QWidget> window_;
    QRect outer_;
    QMargins assumed_;
    std::function<void(const QRect&)> apply_;
    std::function<void()> frameChanged_;
    QTimer timer_;
    QElapsedTimer shown_;
};

} // namespace

QMargins FrameMargins(const QWidget* window) {
    if (framedNow(window)) {
        return currentFrame(window);
    }
    const QVariant seen = window->property(kSeenProperty);
    if (seen.isValid()) {
        return seen.value<QMargins>();
    }
    return lastSeenAnywhere;
}

void SetOuterBounds(QWidget* window, const QRect& outer,
                    const std::function<void(const QRect& inner)>& apply,
                    const std::function<void()>& frameChanged) {
    std::function<void(const QRect&)> place = apply;
    if (!place) {
        place = [window](const QRect& inner) { window->setGeometry(inner); };
    }
    for (QObject* old :
         window->findChildren<QObject*>("orvalenOuterBoundsKeeper", Qt::FindDirectChildrenOnly)) {
        delete old; // the newest placement is the one to keep
    }
    if (unframedByDesign(window)) {
        place(outer);
        return;
    }
    const bool known = framedNow(window);
    const QMargins frame = FrameMargins(window);
    if (known) {
        window->setProperty(kSeenProperty, QVariant::fromValue(frame));
        lastSeenAnywhere = frame;
    }
    place(innerOf(outer, frame));
    if (!known) {
        new Keeper(window, outer, frame, place, frameChanged);
    }
}

bool StoresWindowPlaces() {
    return AbilitiesOf(ApplicationSession()).placesWindows;
}

QRect StoredBounds(const StoredInteger& read, QPoint place, QSize defaultSize) {
    QRect bounds(place, QSize(read("Width", 20, defaultSize.width(), 0x7FFFFFFF, 0),
                              read("Height", 20, defaultSize.height(), 0x7FFFFFFF, 0)));
    // Under Wayland the compositor places the window: a stored place is not asked for.
    if (StoresWindowPlaces()) {
        const QScreen* primary = QGuiApplication::primaryScreen();
        const QSize screen = primary != nullptr ? primary->geometry().size() : QSize(1024, 768);
        bounds.moveTop(read("Top", 0, 0, screen.height() - 15, screen.height() - 15));
        bounds.moveLeft(read("Left", 0, 0, screen.width() - 15, screen.width() - 15));
    }
    return bounds;
}

} // namespace platform
