#include "WindowFitting.h"

#include <algorithm>

WindowBounds FitRectToWorkArea(int left, int top, int width, int height, const WorkArea& area) {
    int x = std::max(left, area.left);
    int y = std::max(top, area.top);
    if (area.right - area.left <= width) {
        width = area.right - area.left;
    }
    if (area.bottom - area.top <= height) {
        height = area.bottom - area.top;
    }
    if (x < 0) {
        x = 0;
    }
    if (y < 0) {
        y = 0;
    }
    if (x + width > area.right) {
        x = area.right - width;
    }
    if (y + height > area.bottom) {
        y = area.bottom - height;
    }
    return WindowBounds{x, y, width, height};
}

double ShrinkToFitScreenZoom(double columns, double rows, int chrome_width, int chrome_height,
                             const WorkArea& area) {
    const double available_width = (area.right - area.left) + 1 - chrome_width;
    const double available_height = (area.bottom - area.top) + 1 - chrome_height;
    if (columns <= 0 || rows <= 0 || (columns <= available_width && rows <= available_height)) {
        return 1.0;
    }
    return std::min(available_width / columns, available_height / rows);
}
