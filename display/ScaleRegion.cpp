#include "ScaleRegion.h"

#include "BresenhamScaler.h"
#include "common/ErrorReporting.h"

#include <cmath>

engine::Image* ScaleImage_Bresenham_Fractional(const engine::Image& image, ImageRegionFP region,
                                               int dest_width, int dest_height) {
    if (dest_width <= 0 || dest_height <= 0 || region.width == 0 || region.height == 0) {
        return engine::AllocateImage();
    }
    const ImageRegionFP whole{0, 0, static_cast<double>(image.columns),
                              static_cast<double>(image.rows)};
    // Clipped first: a window reaching past the image is scaled for its part inside it.
    const ImageRegionFP clipped = ImageRegionFP::ClipRegion(region, whole);
    if (clipped.width == 0 || clipped.height == 0) {
        return engine::AllocateImage();
    }
    // The scaler reads the window straight out of the image (whole-pixel origin plus the
    // fraction): copying the block first cost a fresh allocation the size of the window, which
    // on a big photo zoomed out was most of the time of a zoom step.
    engine::ExceptionInfo exception;
    const double x_offset = std::min(clipped.x, whole.width - clipped.width);
    const double y_offset = std::min(clipped.y, whole.height - clipped.height);
    engine::Image* result =
        _ScaleImage_Bresenham_Fractional(&image, x_offset, y_offset, clipped.width, clipped.height,
                                         dest_width, dest_height, &exception);
    if (result == nullptr) {
        ReportError("ScaleImage_Bresenham_Fractional() failed");
    }
    return result;
}
