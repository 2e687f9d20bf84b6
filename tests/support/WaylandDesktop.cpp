#include "WaylandDesktop.h"

#include <QImage>
#include <QString>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>
#include <unistd.h>

namespace testsupport {

namespace {

// Where weston's desktop shell keeps full-screen surfaces, above every other layer of windows.
constexpr unsigned long kFullScreenLayer = 0xb0000000;

std::atomic<int> compositorCount{0};
// The X server for real input is this much larger than the compositor's window at its top left.
constexpr int kMargin = 100;

std::string uniqueSocketName() {
    return "orvalen-weston-" + std::to_string(::getpid()) + "-" +
           std::to_string(compositorCount.fetch_add(1));
}

// A plain desktop: one colour behind the windows, no panel, no animations that would leave a
// window half drawn when the pixels are read, no screen lock, and no on-screen keyboard.
void writeConfiguration(const std::string& path) {
    std::ofstream out(path);
    out << "[core]\nidle-time=0\n"
           "[shell]\nbackground-color=0xff303030\npanel-position=none\nlocking=false\n"
           "animation=none\nclose-animation=none\nstartup-animation=none\n"
           "focus-animation=none\n"
           "[input-method]\npath=/bin/true\n";
}

// "(183, 486) -> (383, 686)" as a rectangle.
bool parsePosition(const std::string& line, XRect& rect) {
    const std::size_t at = line.find("position: (");
    if (at == std::string::npos) {
        return false;
    }
    int x1 = 0, y1 = 0, x2 = 0, y2 = 0;
    if (std::sscanf(line.c_str() + at, "position: (%d, %d) -> (%d, %d)", &x1, &y1, &x2, &y2) != 4) {
        return false;
    }
    rect = XRect{x1, y1, x2 - x1, y2 - y1};
    return true;
}

} // namespace

XColor8 Screenshot::At(int x, int y) const {
    if (x < 0 || y < 0 || x >= width || y >= height) {
        return {-1, -1, -1};
    }
    const std::size_t at = (static_cast<std::size_t>(y) * width + x) * 3;
    return XColor8{rgb[at], rgb[at + 1], rgb[at + 2]};
}

WaylandDesktop::WaylandDesktop(Input input, int scale, int width, int height)
    : scale_(scale), width_(width), height_(height) {
    if (::access("/usr/bin/weston", X_OK) != 0) {
        problem_ = "weston is not installed (Debian package weston)";
        return;
    }
    char folder[] = "/tmp/orvalen-weston-XXXXXX";
    if (::mkdtemp(folder) == nullptr) {
        problem_ = "no temporary folder for the compositor";
        return;
    }
    folder_ = folder;
    std::string backend = "--backend=headless-backend.so";
    if (input == Input::RealKeys) {
        // A margin beside the compositor's window, for the pointer to enter it from.
        x_ = std::make_unique<XDesktop>(XDesktop::Manager::None, width + kMargin, height + kMargin);
        if (!x_->Running()) {
            problem_ = "the X server for the compositor's input did not start";
            return;
        }
        backend = "--backend=x11-backend.so";
    }
    writeConfiguration(folder_ + "/weston.ini");
    socket_ = uniqueSocketName();
    compositor_ = std::make_unique<ChildProcess>(
        "/usr/bin/weston",
        std::vector<std::string>{
            backend, "--use-pixman", "--socket=" + socket_,
            // weston multiplies the size it is given by the scale
            "--width=" + std::to_string(width / scale),
            "--height=" + std::to_string(height / scale), "--scale=" + std::to_string(scale),
            "--debug", "--config=" + folder_ + "/weston.ini", "--log=" + folder_ + "/weston.log"});
    for (const char* variable : {"WAYLAND_DISPLAY", "QT_QPA_PLATFORM"}) {
        const char* value = std::getenv(variable);
        saved_.emplace_back(variable, value != nullptr ? value : "");
    }
    ::setenv("WAYLAND_DISPLAY", socket_.c_str(), 1);
    // Only Wayland: a program that could not reach the compositor must fail, not show its
    // windows on some X server instead.
    ::setenv("QT_QPA_PLATFORM", "wayland", 1);
    // Up once its desktop shell has put the background on the output.
    if (!XDesktop::WaitUntil(
            [this] {
                return weston("weston-debug scene-graph").find("background for output") !=
                       std::string::npos;
            },
            15000)) {
        std::ifstream log(folder_ + "/weston.log");
        std::stringstream text;
        text << log.rdbuf();
        problem_ = "weston did not come up; its log:\n" + text.str();
        return;
    }
    running_ = true;
}

WaylandDesktop::~WaylandDesktop() {
    for (const auto& [variable, value] : saved_) {
        if (value.empty()) {
            ::unsetenv(variable.c_str());
        } else {
            ::setenv(variable.c_str(), value.c_str(), 1);
        }
    }
    if (compositor_) {
        compositor_->Kill(SIGTERM); // takes its socket and lock file away
        compositor_->Wait(5000);
    }
    compositor_.reset();
    x_.reset();
    if (!folder_.empty()) {
        std::error_code ignored;
        std::filesystem::remove_all(folder_, ignored);
    }
}

std::string WaylandDesktop::weston(const std::string& tool) {
    std::string output;
    FILE* pipe = ::popen((tool + " 2>/dev/null").c_str(), "r");
    if (pipe == nullptr) {
        return output;
    }
    char buffer[4096];
    std::size_t got = 0;
    while ((got = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) {
        output.append(buffer, got);
    }
    ::pclose(pipe);
    return output;
}

std::vector<WaylandToplevel> WaylandDesktop::Toplevels() {
    std::vector<WaylandToplevel> found;
    std::istringstream graph(weston("weston-debug scene-graph"));
    std::string line;
    unsigned long layer = 0;
    WaylandToplevel* open = nullptr;
    while (std::getline(graph, line)) {
        if (line.rfind("Layer ", 0) == 0) {
            const std::size_t at = line.find("(pos 0x");
            layer = at != std::string::npos ? std::strtoul(line.c_str() + at + 5, nullptr, 16) : 0;
            open = nullptr;
            continue;
        }
        const std::size_t role = line.find("(role xdg_toplevel, PID ");
        if (role != std::string::npos) {
            WaylandToplevel window;
            window.pid = std::atoi(line.c_str() + role + 24);
            const std::size_t title = line.find("top-level window '");
            if (title != std::string::npos) {
                const std::size_t start = title + 18;
                const std::size_t end = line.find("' of ", start);
                window.title =
                    line.substr(start, end == std::string::npos ? std::string::npos : end - start);
            }
            window.fullScreen = layer == kFullScreenLayer;
            found.push_back(window);
            open = &found.back();
            continue;
        }
        if (line.find("View ") != std::string::npos) {
            open = nullptr; // a view of another role: its position is not a window's
            continue;
        }
        if (open != nullptr && parsePosition(line, open->rect)) {
            open = nullptr;
        }
    }
    // The desktop shell leaves a window in its full-screen layer for a while after it left the
    // full-screen state, placed back at its windowed bounds.
    for (WaylandToplevel& window : found) {
        window.fullScreen = window.fullScreen && window.rect == Output();
    }
    return found;
}

WaylandToplevel WaylandDesktop::ToplevelOf(int pid, int ms) {
    WaylandToplevel result;
    XDesktop::WaitUntil(
        [&] {
            for (const WaylandToplevel& window : Toplevels()) {
                if (window.pid == pid && window.rect.width > 0) {
                    result = window;
                    return true;
                }
            }
            return false;
        },
        ms);
    return result;
}

Screenshot WaylandDesktop::Shoot() {
    Screenshot shot;
    char folder[] = "/tmp/orvalen-shot-XXXXXX";
    if (::mkdtemp(folder) == nullptr) {
        return shot;
    }
    // The screenshooter names its file after the time, in the folder it runs in.
    weston(std::string("cd '") + folder + "' && weston-screenshooter");
    for (const auto& entry : std::filesystem::directory_iterator(folder)) {
        QImage image;
        if (entry.path().extension() == ".png" &&
            image.load(QString::fromStdString(entry.path().string()))) {
            image = image.convertToFormat(QImage::Format_RGB888);
            shot.width = image.width();
            shot.height = image.height();
            shot.rgb.resize(static_cast<std::size_t>(shot.width) * shot.height * 3);
            for (int y = 0; y < shot.height; ++y) {
                const auto* row = image.constScanLine(y);
                std::copy(row, row + shot.width * 3,
                          shot.rgb.begin() + static_cast<std::ptrdiff_t>(y) * shot.width * 3);
            }
        }
    }
    std::error_code ignored;
    std::filesystem::remove_all(folder, ignored);
    return shot;
}

bool WaylandDesktop::Press(const std::string& key) {
    if (!x_ || !running_) {
        return false;
    }
    // The compositor's own window is the only one on its X server.
    const std::set<unsigned long> windows = x_->VisibleWindows();
    if (windows.size() != 1) {
        return false;
    }
    return x_->Press(*windows.begin(), key);
}

bool WaylandDesktop::pointTo(int x, int y) {
    if (!x_ || !running_ || scale_ != 1) {
        return false;
    }
    // weston's X11 back end takes the pointer's place from the moment it enters the window;
    // moves inside before that count from the wrong place. So the pointer leaves and enters.
    const std::string away = "xdotool mousemove --sync " + std::to_string(width_ + kMargin / 2) +
                             " " + std::to_string(height_ + kMargin / 2) + " >/dev/null 2>&1";
    const std::string move = "xdotool mousemove --sync " + std::to_string(x) + " " +
                             std::to_string(y) + " >/dev/null 2>&1";
    return std::system(away.c_str()) == 0 && std::system(move.c_str()) == 0;
}

bool WaylandDesktop::ClickCloseButton(const XRect& surface) {
    // Qt's decoration: a title bar of 30 pixels over a border of 3, and an 18-pixel close
    // button 8 pixels in from the right border, in the middle of the bar.
    if (!pointTo(surface.x + surface.width - 3 - 8 - 9, surface.y + 15)) {
        return false;
    }
    // The client learns that the pointer entered its button only from the compositor's next
    // events; a click at once would land on the title bar it left.
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    return std::system("xdotool click 1 >/dev/null 2>&1") == 0;
}

bool WaylandDesktop::Focus(int x, int y) {
    // The compositor's own window has the X server's focus first: a change of that focus
    // reaching the compositor after the click would move its keyboard focus again.
    const std::set<unsigned long> windows = x_ ? x_->VisibleWindows() : std::set<unsigned long>();
    if (windows.size() != 1) {
        return false;
    }
    const std::string focus =
        "xdotool windowfocus --sync " + std::to_string(*windows.begin()) + " >/dev/null 2>&1";
    if (std::system(focus.c_str()) != 0 || !pointTo(x, y)) {
        return false;
    }
    // The compositor activates the window under its own pointer: the client need not know
    // where the pointer is, so the click may follow at once.
    return std::system("xdotool click 1 >/dev/null 2>&1") == 0;
}

} // namespace testsupport
