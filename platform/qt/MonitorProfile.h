// The monitor's colour profile as the desktop's colour manager publishes it on X: the root
// window's _ICC_PROFILE property (the screen's first monitor), followed as it changes.
#pragma once

#include <QAbstractNativeEventFilter>

#include <cstdint>
#include <functional>
#include <string>

namespace platform {

class MonitorProfileWatch : public QAbstractNativeEventFilter {
public:
    // Reads the profile now and calls changed (on the window thread, from the event loop) with
    // the new bytes whenever the property is set, replaced or deleted (empty bytes). Needs the
    // application object. Under other window systems (Wayland, offscreen) there is no such
    // property: Profile() stays empty and changed is never called.
    explicit MonitorProfileWatch(std::function<void(const std::string& profile)> changed);
    ~MonitorProfileWatch() override;
    MonitorProfileWatch(const MonitorProfileWatch&) = delete;
    MonitorProfileWatch& operator=(const MonitorProfileWatch&) = delete;

    // The bytes of the profile, empty when none is published.
    const std::string& Profile() const { return profile_; }

    bool nativeEventFilter(const QByteArray& eventType, void* message, qintptr* result) override;

private:
    std::string read() const;

    std::function<void(const std::string&)> changed_;
    void* connection_ = nullptr; // the toolkit's xcb connection; null off X
    std::uint32_t root_ = 0;
    std::uint32_t atom_ = 0;
    std::string profile_;
};

} // namespace platform
