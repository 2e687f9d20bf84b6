// The desktop session the program runs in (X11 or Wayland) and what a program may do in it.
// Wayland takes away what X gave every client: placing its own windows, reading back where they
// are, raising itself without the desktop's leave, and the window-system properties that carry
// frame extents and the monitor's colour profile.
#pragma once

#include <string>

namespace platform {

enum class SessionKind { X11, Wayland, Other };

struct SessionAbilities {
    // A program places its top-level windows and reads their place back, so a stored position
    // means something at the next start. Under Wayland the compositor places every window and
    // never says where.
    bool placesWindows = false;
    // Bringing a window of a program that does not have the focus to the front takes an
    // activation token from the desktop (xdg-activation-v1); without one, the program may only
    // ask for the user's attention.
    bool raiseNeedsToken = false;
    // Frame extents and the monitor's colour profile can be read as window-system properties
    // (_NET_FRAME_EXTENTS, _ICC_PROFILE). Without them the frame is what the toolkit draws and
    // the monitor is taken as sRGB.
    bool readsWindowProperties = false;
};

// The session of a toolkit platform plugin name: "xcb" is X11; "wayland", "wayland-egl" and
// other "wayland-..." names are Wayland; anything else ("offscreen", "minimal", "") is Other.
SessionKind SessionOfPlatformName(const std::string& name);

// The session the environment names, for a program without a toolkit (the launcher), given
// the values of QT_QPA_PLATFORM, WAYLAND_DISPLAY, DISPLAY and XDG_SESSION_TYPE (null or empty
// when unset). QT_QPA_PLATFORM decides first, since it is where the main program's windows go
// (its first entry when it lists fallbacks); then a Wayland display, then an X display, then
// the session type. Other when none says.
SessionKind SessionOfEnvironment(const char* qpaPlatform, const char* waylandDisplay,
                                 const char* display, const char* sessionType);
// The same for this process's environment.
SessionKind SessionOfEnvironment();

SessionAbilities AbilitiesOf(SessionKind kind);

// The environment variable in which the desktop hands a started program its activation token.
constexpr char kActivationTokenVariable[] = "XDG_ACTIVATION_TOKEN";
// The activation token in this process's environment; empty when there is none. The variable
// stays, so a program started from here gets it too.
std::string ActivationTokenOfEnvironment();
// The same, and the variable removed: a token is good for one activation, and a program this
// process starts later must not present it again. Not thread-safe (changes the environment):
// call it at start, before other threads run.
std::string TakeActivationToken();

} // namespace platform
