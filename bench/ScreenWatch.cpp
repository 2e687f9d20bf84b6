// Waits until a colour shows on the X screen and prints when it did, for the benchmark that
// measures from starting a viewer (or pressing its key) until its image is on the screen.
//
//   screen-watch [--poll] RED GREEN BLUE TOLERANCE PIXELS TIMEOUT_MS
//
// Reads every 25th row of the root window; when one row holds at least PIXELS pixels within
// TOLERANCE of the colour, prints the CLOCK_MONOTONIC time in seconds and exits 0. Exits 1
// after TIMEOUT_MS without it.
//
// The rows are read again each time the screen changes, as the X server's damage reports say,
// and at least every 20 ms. Reading them again and again instead (--poll, or a server without
// the damage extension) keeps a core busy between this program and the server: on a machine of
// two cores that leaves the viewer measured one, and penalises a viewer that decodes on a second
// thread while its first makes the window.
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/Xdamage.h>

#include <sys/select.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

namespace {

double now() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

bool near(unsigned long pixel, int red, int green, int blue, int tolerance) {
    const int r = static_cast<int>((pixel >> 16) & 0xFF);
    const int g = static_cast<int>((pixel >> 8) & 0xFF);
    const int b = static_cast<int>(pixel & 0xFF);
    return std::abs(r - red) <= tolerance && std::abs(g - green) <= tolerance &&
           std::abs(b - blue) <= tolerance;
}

struct Target {
    int red, green, blue, tolerance, wanted;
};

bool shows(Display* display, Window root, int width, int height, const Target& target) {
    for (int y = 12; y < height; y += 25) {
        XImage* row = XGetImage(display, root, 0, y, width, 1, AllPlanes, ZPixmap);
        if (row == nullptr) {
            continue;
        }
        int matching = 0;
        for (int x = 0; x < width; ++x) {
            matching +=
                near(XGetPixel(row, x, 0), target.red, target.green, target.blue, target.tolerance)
                    ? 1
                    : 0;
        }
        XDestroyImage(row);
        if (matching >= target.wanted) {
            return true;
        }
    }
    return false;
}

// Until the next damage report or timeout seconds; true on a report.
bool awaitDamage(Display* display, int damage_event, double timeout) {
    while (true) {
        while (XPending(display) > 0) {
            XEvent event;
            XNextEvent(display, &event);
            if (event.type == damage_event + XDamageNotify) {
                return true;
            }
        }
        if (timeout <= 0) {
            return false;
        }
        const int fd = ConnectionNumber(display);
        fd_set readable;
        FD_ZERO(&readable);
        FD_SET(fd, &readable);
        timeval wait{0, static_cast<long>(timeout * 1e6)};
        const double before = now();
        if (select(fd + 1, &readable, nullptr, nullptr, &wait) <= 0) {
            return false;
        }
        timeout -= now() - before;
    }
}

} // namespace

int main(int argc, char** argv) {
    const bool poll = argc > 1 && std::strcmp(argv[1], "--poll") == 0;
    if (poll) {
        --argc;
        ++argv;
    }
    if (argc != 7) {
        std::fprintf(stderr,
                     "usage: screen-watch [--poll] RED GREEN BLUE TOLERANCE PIXELS TIMEOUT_MS\n");
        return 2;
    }
    const Target target{std::atoi(argv[1]), std::atoi(argv[2]), std::atoi(argv[3]),
                        std::atoi(argv[4]), std::atoi(argv[5])};
    const double deadline = now() + std::atof(argv[6]) / 1000.0;
    Display* display = XOpenDisplay(nullptr);
    if (display == nullptr) {
        std::fprintf(stderr, "screen-watch: no X display\n");
        return 2;
    }
    const Window root = DefaultRootWindow(display);
    const int width = DisplayWidth(display, DefaultScreen(display));
    const int height = DisplayHeight(display, DefaultScreen(display));
    int damage_event = 0, damage_error = 0;
    Damage damage = None;
    if (!poll && XDamageQueryExtension(display, &damage_event, &damage_error)) {
        // Drawing into any window on the screen is damage to the root window's area.
        damage = XDamageCreate(display, root, XDamageReportNonEmpty);
        XSync(display, False);
    }
    while (now() < deadline) {
        if (damage != None) {
            // Cleared before the rows are read: whatever is drawn after the read reports again.
            XDamageSubtract(display, damage, None, None);
        }
        if (shows(display, root, width, height, target)) {
            std::printf("%.6f\n", now());
            XCloseDisplay(display);
            return 0;
        }
        if (damage != None) {
            awaitDamage(display, damage_event, 0.020);
        }
    }
    XCloseDisplay(display);
    return 1;
}
