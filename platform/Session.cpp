#include "Session.h"

#include <cstdlib>
#include <cstring>

namespace platform {

namespace {

bool given(const char* value) {
    return value != nullptr && value[0] != '\0';
}

} // namespace

SessionKind SessionOfPlatformName(const std::string& name) {
    if (name == "xcb") {
        return SessionKind::X11;
    }
    if (name.rfind("wayland", 0) == 0) {
        return SessionKind::Wayland;
    }
    return SessionKind::Other;
}

SessionKind SessionOfEnvironment(const char* qpaPlatform, const char* waylandDisplay,
                                 const char* display, const char* sessionType) {
    if (given(qpaPlatform)) {
        // "wayland;xcb" tries Wayland first; a plugin argument follows a colon ("xcb:...").
        const std::string first(qpaPlatform, std::strcspn(qpaPlatform, ";:"));
        return SessionOfPlatformName(first);
    }
    if (given(waylandDisplay)) {
        return SessionKind::Wayland;
    }
    if (given(display)) {
        return SessionKind::X11;
    }
    if (given(sessionType)) {
        const std::string type(sessionType);
        if (type == "wayland") {
            return SessionKind::Wayland;
        }
        if (type == "x11") {
            return SessionKind::X11;
        }
    }
    return SessionKind::Other;
}

SessionKind SessionOfEnvironment() {
    return SessionOfEnvironment(std::getenv("QT_QPA_PLATFORM"), std::getenv("WAYLAND_DISPLAY"),
                                std::getenv("DISPLAY"), std::getenv("XDG_SESSION_TYPE"));
}

SessionAbilities AbilitiesOf(SessionKind kind) {
    switch (kind) {
    case SessionKind::X11:
        return SessionAbilities{true, false, true};
    case SessionKind::Wayland:
        return SessionAbilities{false, true, false};
    case SessionKind::Other:
        break;
    }
    // An off-screen or minimal platform keeps the geometry it is given, as X does, and has
    // nothing to raise against.
    return SessionAbilities{true, false, false};
}

std::string ActivationTokenOfEnvironment() {
    const char* token = std::getenv(kActivationTokenVariable);
    return token != nullptr ? std::string(token) : std::string();
}

std::string TakeActivationToken() {
    std::string token = ActivationTokenOfEnvironment();
    ::unsetenv(kActivationTokenVariable);
    return token;
}

} // namespace platform
