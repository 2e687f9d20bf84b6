// Waits until a colour shows on the X screen and prints when it did, for the benchmark that
// measures from starting a viewer (or pressing its key) until its image is on the screen.
//
//   screen-watch RED GREEN BLUE TOLERANCE PIXELS TIMEOUT_MS
//
// Reads every 25th row of the root window again and again; when one row holds at least PIXELS
// pixels within TOLERANCE of the colour, prints the CLOCK_MONOTONIC time in seconds and exits 0.
// Exits 1 after TIMEOUT_MS without it. The row reads are a few milliseconds in all.
#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include <cstdio>
#include <cstdlib>
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

} // namespace

int main(int argc, char** argv) {
    if (argc != 7) {
        std::fprintf(stderr, "usage: screen-watch RED GREEN BLUE TOLERANCE PIXELS TIMEOUT_MS\n");
        return 2;
    }
    const int red = std::atoi(argv[1]), green = std::atoi(argv[2]), blue = std::atoi(argv[3]);
    const int tolerance = std::atoi(argv[4]), wanted = std::atoi(argv[5]);
    const double deadline = now() + std::atof(argv[6]) / 1000.0;
    Display* display = XOpenDisplay(nullptr);
    if (display == nullptr) {
        std::fprintf(stderr, "screen-watch: no X display\n");
        return 2;
    }
    const Window root = DefaultRootWindow(display);
    const int width = DisplayWidth(display, DefaultScreen(display));
    const int height = DisplayHeight(display, DefaultScreen(display));
    while (now() < deadline) {
        for (int y = 12; y < height; y += 25) {
            XImage* row = XGetImage(display, root, 0, y, width, 1, AllPlanes, ZPixmap);
            if (row == nullptr) {
                continue;
            }
            int matching = 0;
            for (int x = 0; x < width; ++x) {
                matching += near(XGetPixel(row, x, 0), red, green, blue, tolerance) ? 1 : 0;
            }
            XDestroyImage(row);
            if (matching >= wanted) {
                std::printf("%.6f\n", now());
                XCloseDisplay(display);
                return 0;
            }
        }
    }
    XCloseDisplay(display);
    return 1;
}
