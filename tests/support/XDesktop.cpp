#include "XDesktop.h"

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <ostream>
#include <thread>

namespace testsupport {

std::ostream& operator<<(std::ostream& out, const XRect& rect) {
    return out << rect.width << "x" << rect.height << "+" << rect.x << "+" << rect.y;
}

struct XDesktop::Connection {
    Display* display = nullptr;
    ~Connection() {
        if (display != nullptr) {
            XCloseDisplay(display);
        }
    }
    Window root() const { return DefaultRootWindow(display); }
    Atom atom(const char* name) const { return XInternAtom(display, name, False); }

    // The values of a 32-bit property (CARDINAL, WINDOW or ATOM lists).
    std::vector<unsigned long> longs(Window window, const char* name) {
        std::vector<unsigned long> values;
        Atom type = None;
        int format = 0;
        unsigned long count = 0, after = 0;
        unsigned char* data = nullptr;
        if (XGetWindowProperty(display, window, atom(name), 0, 4096, False, AnyPropertyType, &type,
                               &format, &count, &after, &data) == Success &&
            data != nullptr) {
            if (format == 32) {
                const auto* items = reinterpret_cast<unsigned long*>(data);
                values.assign(items, items + count);
            }
            XFree(data);
        }
        return values;
    }
    bool viewable(Window window) {
        XWindowAttributes attributes{};
        return XGetWindowAttributes(display, window, &attributes) != 0 &&
               attributes.map_state == IsViewable;
    }
};

namespace {
// Errors for windows that went away between two requests are expected here.
int ignoreErrors(Display*, XErrorEvent*) {
    return 0;
}
} // namespace

XDesktop::XDesktop(Manager manager, int width, int height)
    : x_(std::make_unique<Connection>()), width_(width), height_(height) {
    const std::string screen = std::to_string(width) + "x" + std::to_string(height) + "x24";
    server_ = std::make_unique<ChildProcess>(
        "/usr/bin/Xvfb",
        std::vector<std::string>{"-displayfd", "1", "-screen", "0", screen, "-nolisten", "tcp"});
    const std::string number = server_->ReadLine(10000);
    if (number.empty()) {
        return;
    }
    const std::string name = ":" + number;
    for (const char* variable : {"DISPLAY", "QT_QPA_PLATFORM"}) {
        const char* value = std::getenv(variable);
        saved_.emplace_back(variable, value != nullptr ? value : "");
    }
    ::setenv("DISPLAY", name.c_str(), 1);
    ::setenv("QT_QPA_PLATFORM", "xcb", 1);
    x_->display = XOpenDisplay(name.c_str());
    if (x_->display == nullptr) {
        return;
    }
    XSetErrorHandler(ignoreErrors);
    if (manager == Manager::Openbox) {
        manager_ = std::make_unique<ChildProcess>("/usr/bin/openbox",
                                                  std::vector<std::string>{"--sm-disable"});
        // Up once it names itself on the root window.
        if (!WaitUntil(
                [this] { return !x_->longs(x_->root(), "_NET_SUPPORTING_WM_CHECK").empty(); },
                10000)) {
            return;
        }
    }
    running_ = true;
}

XDesktop::~XDesktop() {
    x_.reset();
    if (manager_) {
        manager_->Kill(SIGTERM);
        manager_->Wait(5000);
    }
    if (server_) {
        server_->Kill(SIGTERM); // lets it take its lock file and socket away
        server_->Wait(5000);
    }
    for (const auto& [variable, value] : saved_) {
        if (value.empty()) {
            ::unsetenv(variable.c_str());
        } else {
            ::setenv(variable.c_str(), value.c_str(), 1);
        }
    }
}

bool XDesktop::WaitUntil(const std::function<bool()>& done, int ms) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (!done()) {
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

std::set<unsigned long> XDesktop::VisibleWindows() {
    std::set<unsigned long> windows;
    if (x_->display == nullptr) {
        return windows;
    }
    if (manager_) {
        for (unsigned long window : x_->longs(x_->root(), "_NET_CLIENT_LIST")) {
            if (x_->viewable(window)) {
                windows.insert(window);
            }
        }
        return windows;
    }
    Window root = 0, parent = 0, *children = nullptr;
    unsigned int count = 0;
    if (XQueryTree(x_->display, x_->root(), &root, &parent, &children, &count) != 0) {
        for (unsigned int i = 0; i < count; ++i) {
            if (x_->viewable(children[i])) {
                windows.insert(children[i]);
            }
        }
        XFree(children);
    }
    return windows;
}

std::string XDesktop::Title(unsigned long window) {
    std::string title;
    Atom type = None;
    int format = 0;
    unsigned long count = 0, after = 0;
    unsigned char* data = nullptr;
    if (XGetWindowProperty(x_->display, window, x_->atom("_NET_WM_NAME"), 0, 1024, False,
                           AnyPropertyType, &type, &format, &count, &after, &data) == Success &&
        data != nullptr) {
        title.assign(reinterpret_cast<char*>(data), count);
        XFree(data);
    }
    return title;
}

unsigned long XDesktop::WindowOf(int pid, const std::string& title, int ms) {
    unsigned long found = 0;
    WaitUntil(
        [&] {
            // Qt's top-level windows carry their process id.
            std::vector<unsigned long> candidates;
            if (manager_) {
                candidates = x_->longs(x_->root(), "_NET_CLIENT_LIST");
            } else {
                const std::set<unsigned long> visible = VisibleWindows();
                candidates.assign(visible.begin(), visible.end());
            }
            for (unsigned long window : candidates) {
                const auto owner = x_->longs(window, "_NET_WM_PID");
                if (!owner.empty() && static_cast<int>(owner[0]) == pid && x_->viewable(window) &&
                    (title.empty() || Title(window) == title)) {
                    found = window;
                    return true;
                }
            }
            return false;
        },
        ms);
    return found;
}

XRect XDesktop::ClientGeometry(unsigned long window) {
    XWindowAttributes attributes{};
    if (XGetWindowAttributes(x_->display, window, &attributes) == 0) {
        return {};
    }
    int x = 0, y = 0;
    Window child = 0;
    XTranslateCoordinates(x_->display, window, x_->root(), 0, 0, &x, &y, &child);
    return XRect{x, y, attributes.width, attributes.height};
}

XRect XDesktop::OuterGeometry(unsigned long window) {
    XRect rect = ClientGeometry(window);
    const auto extents = x_->longs(window, "_NET_FRAME_EXTENTS"); // left, right, top, bottom
    if (extents.size() == 4) {
        const int left = static_cast<int>(extents[0]), right = static_cast<int>(extents[1]);
        const int top = static_cast<int>(extents[2]), bottom = static_cast<int>(extents[3]);
        rect = XRect{rect.x - left, rect.y - top, rect.width + left + right,
                     rect.height + top + bottom};
    }
    return rect;
}

bool XDesktop::IsFullScreen(unsigned long window) {
    const Atom fullScreen = x_->atom("_NET_WM_STATE_FULLSCREEN");
    for (unsigned long state : x_->longs(window, "_NET_WM_STATE")) {
        if (state == fullScreen) {
            return true;
        }
    }
    return false;
}

XColor8 XDesktop::PixelAt(int x, int y) {
    XImage* image = XGetImage(x_->display, x_->root(), x, y, 1, 1, AllPlanes, ZPixmap);
    if (image == nullptr) {
        return {-1, -1, -1};
    }
    const unsigned long pixel = XGetPixel(image, 0, 0);
    XDestroyImage(image);
    return XColor8{static_cast<int>((pixel >> 16) & 0xFF), static_cast<int>((pixel >> 8) & 0xFF),
                   static_cast<int>(pixel & 0xFF)};
}

void XDesktop::SetRootProperty(const std::string& name, const std::string& bytes) {
    const Atom property = x_->atom(name.c_str());
    if (bytes.empty()) {
        XDeleteProperty(x_->display, x_->root(), property);
    } else {
        XChangeProperty(x_->display, x_->root(), property, XA_CARDINAL, 8, PropModeReplace,
                        reinterpret_cast<const unsigned char*>(bytes.data()),
                        static_cast<int>(bytes.size()));
    }
    XFlush(x_->display);
}

bool XDesktop::Press(unsigned long window, const std::string& key) {
    const std::string id = std::to_string(window);
    const std::string command = manager_ ? "xdotool windowactivate --sync " + id + " key " + key
                                         : "xdotool windowfocus --sync " + id + " key " + key;
    return std::system((command + " >/dev/null 2>&1").c_str()) == 0;
}

} // namespace testsupport
