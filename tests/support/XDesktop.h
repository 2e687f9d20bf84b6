// A real X server (Xvfb), with a decorating window manager (openbox) when asked, for the
// programs a test starts: they get real input through the X test extension and are seen as a
// user sees them, frames, visible windows and screen pixels, read back from the server.
#pragma once

#include "TestSupport.h"

#include <functional>
#include <memory>
#include <set>
#include <string>
#include <vector>

namespace testsupport {

struct XRect {
    int x = 0, y = 0, width = 0, height = 0;
    bool operator==(const XRect&) const = default;
};
std::ostream& operator<<(std::ostream& out, const XRect& rect);

struct XColor8 {
    int red = 0, green = 0, blue = 0;
};

class XDesktop {
public:
    enum class Manager { None, Openbox };
    explicit XDesktop(Manager manager = Manager::Openbox, int width = 1600, int height = 1000);
    ~XDesktop();
    XDesktop(const XDesktop&) = delete;
    XDesktop& operator=(const XDesktop&) = delete;

    // False when the server or the window manager did not come up.
    bool Running() const { return running_; }
    int Width() const { return width_; }
    int Height() const { return height_; }

    // The visible client window of process pid titled title (any title when empty); 0 when
    // none shows within ms.
    unsigned long WindowOf(int pid, const std::string& title = "", int ms = 5000);
    // Every visible window the user would see: with a window manager its clients, else the
    // root's mapped children.
    std::set<unsigned long> VisibleWindows();
    std::string Title(unsigned long window);
    // The client area on the screen, and the same with the frame the window manager drew.
    XRect ClientGeometry(unsigned long window);
    XRect OuterGeometry(unsigned long window);
    // Whether the window manager holds window in its full-screen state.
    bool IsFullScreen(unsigned long window);
    XColor8 PixelAt(int x, int y);
    // Sets a property of the root window to bytes (8-bit CARDINAL items), as a colour manager
    // publishes the monitor's profile; empty bytes delete it.
    void SetRootProperty(const std::string& name, const std::string& bytes);

    // Gives window the focus and presses key (an X key name such as "Next" or "ctrl+p").
    bool Press(unsigned long window, const std::string& key);
    // Runs the event-free wait until done() holds or ms pass; true when it held.
    static bool WaitUntil(const std::function<bool()>& done, int ms = 5000);

private:
    struct Connection;
    std::unique_ptr<ChildProcess> server_;
    std::unique_ptr<ChildProcess> manager_;
    std::unique_ptr<Connection> x_;
    bool running_ = false;
    int width_, height_;
    std::vector<std::pair<std::string, std::string>> saved_;
};

} // namespace testsupport
