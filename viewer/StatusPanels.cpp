#include "StatusPanels.h"

#include <cmath>
#include <cstdio>

std::string PositionText(int position, int count) {
    if (position <= 0 || count <= 0 || position > count) {
        return {};
    }
    return std::to_string(position) + "/" + std::to_string(count);
}

std::string ZoomText(double zoom) {
    if (!(zoom > 0) || !std::isfinite(zoom)) {
        return {};
    }
    const double percent = zoom * 100;
    char text[32];
    if (percent < 9.95) {
        std::snprintf(text, sizeof text, "%.1f %%", percent);
    } else {
        std::snprintf(text, sizeof text, "%.0f %%", percent);
    }
    return text;
}

std::string PositionAndZoomText(int position, int count, double zoom) {
    const std::string where = PositionText(position, count);
    const std::string how = ZoomText(zoom);
    if (where.empty() || how.empty()) {
        return where + how;
    }
    return where + "   " + how;
}
