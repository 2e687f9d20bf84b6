#include "ZoomSteps.h"

#include <algorithm>
#include <cmath>
#include <iterator>

namespace {
const double kSteps[] = {0.1, 1.0 / 6, 0.25, 1.0 / 3, 0.5, 0.75, 1, 1.25, 1.5, 2, 3};
}

double NextZoomIn(double desired) {
    for (double step : kSteps) {
        if (step * 0.95 > desired) {
            return step;
        }
    }
    return std::floor(desired + 1);
}

double NextZoomOut(double desired, double columns, double rows) {
    double result = desired * 0.8;
    if (desired > 4 * 1.05) {
        result = std::floor(desired - 1);
    } else {
        for (auto step = std::rbegin(kSteps); step != std::rend(kSteps); ++step) {
            if (*step * 1.05 < desired) {
                result = *step;
                break;
            }
        }
    }
    const double shorter = std::min(columns, rows);
    if (shorter > 0 && shorter * result < 8) {
        return 8 / shorter;
    }
    return result;
}
