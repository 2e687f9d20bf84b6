#include "MonitorProfile.h"

#include <QCoreApplication>
#include <QGuiApplication>

#include <xcb/xcb.h>

#include <cstdlib>
#include <memory>

namespace platform {

namespace {

// Profiles are a few kilobytes to a few megabytes; a larger property is not read at all.
constexpr std::uint32_t kMaximumProfileWords = (16u << 20) / 4;

struct ReplyFree {
    void operator()(void* reply) const { std::free(reply); }
};
template <typename T> using Reply = std::unique_ptr<T, ReplyFree>;

} // namespace

MonitorProfileWatch::MonitorProfileWatch(std::function<void(const std::string&)> changed)
    : changed_(std::move(changed)) {
    auto* x11 = qGuiApp != nullptr ? qGuiApp->nativeInterface<QNativeInterface::QX11Application>()
                                   : nullptr;
    if (x11 == nullptr || x11->connection() == nullptr) {
        return;
    }
    auto* connection = x11->connection();
    const xcb_setup_t* setup = xcb_get_setup(connection);
    const xcb_screen_iterator_t screens = xcb_setup_roots_iterator(setup);
    if (screens.rem == 0) {
        return;
    }
    const char name[] = "_ICC_PROFILE";
    const Reply<xcb_intern_atom_reply_t> atom(xcb_intern_atom_reply(
        connection, xcb_intern_atom(connection, 0, sizeof name - 1, name), nullptr));
    if (!atom) {
        return;
    }
    connection_ = connection;
    root_ = screens.data->root;
    atom_ = atom->atom;
    // Property changes of the root window are asked for in addition to whatever the toolkit
    // already asked for on it: the mask is per client, and replacing it would lose the
    // toolkit's own.
    const Reply<xcb_get_window_attributes_reply_t> attributes(xcb_get_window_attributes_reply(
        connection, xcb_get_window_attributes(connection, root_), nullptr));
    const std::uint32_t mask =
        (attributes ? attributes->your_event_mask : 0) | XCB_EVENT_MASK_PROPERTY_CHANGE;
    xcb_change_window_attributes(connection, root_, XCB_CW_EVENT_MASK, &mask);
    xcb_flush(connection);
    profile_ = read();
    QCoreApplication::instance()->installNativeEventFilter(this);
}

MonitorProfileWatch::~MonitorProfileWatch() {
    if (connection_ != nullptr && QCoreApplication::instance() != nullptr) {
        QCoreApplication::instance()->removeNativeEventFilter(this);
    }
}

std::string MonitorProfileWatch::read() const {
    auto* connection = static_cast<xcb_connection_t*>(connection_);
    const Reply<xcb_get_property_reply_t> reply(
        xcb_get_property_reply(connection,
                               xcb_get_property(connection, 0, root_, atom_,
                                                XCB_GET_PROPERTY_TYPE_ANY, 0, kMaximumProfileWords),
                               nullptr));
    // Colour managers store the profile as 8-bit items (of type CARDINAL, some of type STRING).
    if (!reply || reply->format != 8 || reply->bytes_after != 0) {
        return {};
    }
    const auto* bytes = static_cast<const char*>(xcb_get_property_value(reply.get()));
    return std::string(bytes, static_cast<std::size_t>(xcb_get_property_value_length(reply.get())));
}

bool MonitorProfileWatch::nativeEventFilter(const QByteArray& eventType, void* message, qintptr*) {
    if (connection_ == nullptr || eventType != "xcb_generic_event_t") {
        return false;
    }
    const auto* event = static_cast<const xcb_generic_event_t*>(message);
    if ((event->response_type & 0x7f) != XCB_PROPERTY_NOTIFY) {
        return false;
    }
    const auto* notify = static_cast<const xcb_property_notify_event_t*>(message);
    if (notify->window != root_ || notify->atom != atom_) {
        return false;
    }
    std::string now = read();
    if (now != profile_) {
        profile_ = std::move(now);
        if (changed_) {
            changed_(profile_);
        }
    }
    return false; // the toolkit may want it too
}

} // namespace platform
