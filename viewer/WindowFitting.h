// The arithmetic of fitting the viewer's window into the desktop, apart from any window.
#pragma once

// The desktop's work area: right and bottom lie just outside it.
struct WorkArea {
    int left = 0, top = 0, right = 0, bottom = 0;
};

struct WindowBounds {
    int left = 0, top = 0, width = 0, height = 0;
    bool operator==(const WindowBounds&) const = default;
};

// The window (left, top, width, height) pushed inside the work area: no larger than it, no
// further left or up than its corner and never below 0, and moved back in where it would
// stick out at the right or the bottom.
WindowBounds FitRectToWorkArea(int left, int top, int width, int height, const WorkArea& area);

// The zoom at which the whole window fits the work area (1.0 for an image that fits already:
// a small image is never enlarged). chrome is what the window adds around the display.
// An image without pixels gives 1.0.
double ShrinkToFitScreenZoom(double columns, double rows, int chrome_width, int chrome_height,
                             const WorkArea& area);
