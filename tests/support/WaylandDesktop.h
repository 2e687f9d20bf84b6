// A Wayland compositor of the test's own (weston, its desktop shell and the pixman renderer)
// for the programs a test starts. What the user would see is read back from the compositor:
// the top-level windows it maps, with their places, sizes and full-screen state, from its scene
// graph (weston's debug protocol), and the output's pixels from its screenshooter.
//
// Headless, weston has no input devices at all, and no Wayland protocol lets one program type
// into another. A test that needs real keys asks for a compositor nested in an X server of its
// own (weston's X11 back end on Xvfb): the keys go through the X test extension to weston, which
// hands them to the focused Wayland client as a keyboard would.
#pragma once

#include "XDesktop.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace testsupport {

// A top-level window as the compositor maps it. rect is in the compositor's logical
// coordinates (the output's pixels divided by its scale) and covers the whole surface, the
// decorations the client draws included.
struct WaylandToplevel {
    int pid = 0;
    std::string title;
    XRect rect;
    // In the compositor's full-screen state: in its full-screen layer, covering the output.
    bool fullScreen = false;
};

// An output's pixels, top row first, in device pixels.
struct Screenshot {
    int width = 0, height = 0;
    std::vector<std::uint8_t> rgb; // three bytes a pixel
    XColor8 At(int x, int y) const;
};

class WaylandDesktop {
public:
    enum class Input { None, RealKeys };
    // scale: the output's integer scale (weston 10 knows no fractional one). width, height: the
    // output's size in device pixels.
    explicit WaylandDesktop(Input input = Input::None, int scale = 1, int width = 1600,
                            int height = 1000);
    ~WaylandDesktop();
    WaylandDesktop(const WaylandDesktop&) = delete;
    WaylandDesktop& operator=(const WaylandDesktop&) = delete;

    // False, with the reason, when the compositor did not come up.
    bool Running() const { return running_; }
    const std::string& Problem() const { return problem_; }
    int Scale() const { return scale_; }
    // The output in logical coordinates.
    XRect Output() const { return XRect{0, 0, width_ / scale_, height_ / scale_}; }

    // Every top-level window mapped now, bottom to top.
    std::vector<WaylandToplevel> Toplevels();
    // The top-level window of process pid once it is mapped (within ms); pid 0 when none.
    WaylandToplevel ToplevelOf(int pid, int ms = 5000);
    // The output as it is now; empty (0 x 0) when the screenshooter failed.
    Screenshot Shoot();
    // Presses key (an X key name such as "f" or "alt+F4") on the focused client. Only with
    // Input::RealKeys; false otherwise.
    bool Press(const std::string& key);
    // Clicks the close button that Qt's own window decoration draws at the right end of the
    // title bar of the window whose surface is at surface (weston draws no frames of its own).
    // Only with Input::RealKeys and an output of scale 1; false otherwise.
    bool ClickCloseButton(const XRect& surface);
    // Gives the keyboard focus to the window at x, y (logical coordinates) as a user would, by
    // a click there, where a click should do nothing else. Only with Input::RealKeys and an
    // output of scale 1; false otherwise.
    bool Focus(int x, int y);

private:
    // Moves the pointer to x, y on the output, entering the compositor's window from outside.
    bool pointTo(int x, int y);
    std::string weston(const std::string& tool);

    std::unique_ptr<XDesktop> x_;
    std::unique_ptr<ChildProcess> compositor_;
    std::string socket_, folder_;
    bool running_ = false;
    std::string problem_;
    int scale_, width_, height_;
    std::vector<std::pair<std::string, std::string>> saved_;
};

} // namespace testsupport
