#include "ScaleRegion.h"

#include "BresenhamScaler.h"
#include "common/ErrorReporting.h"

#include <cmath>
#include <memory>

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
    ImageRegionFP aligned = clipped;
    aligned.AlignToPixels();

    engine::ExceptionInfo exception;
    std::unique_ptr<engine::Image, void (*)(engine::Image*)> block(nullptr, engine::DestroyImage);
    const engine::Image* source = &image;
    if (aligned.x != 0 || aligned.y != 0 || aligned.width != whole.width ||
        aligned.height != whole.height) {
        block.reset(engine::ConstituteImageBlock(
            image, static_cast<std::size_t>(aligned.x), static_cast<std::size_t>(aligned.y),
            static_cast<std::size_t>(aligned.width), static_cast<std::size_t>(aligned.height),
            &exception));
        if (!block) {
            ReportError("ScaleImage_Bresenham_Fractional() failed");
            return nullptr;
        }
        source = block.get();
    }
    double whole_part;
    double x_offset = std::modf(clipped.x, &whole_part);
    double y_offset = std::modf(clipped.y, &whole_part);
    x_offset = std::min(x_offset, static_cast<double>(source->columns) - clipped.width);
    y_offset = std::min(y_offset, static_cast<double>(source->rows) - clipped.height);
    engine::Image* result =
        _ScaleImage_Bresenham_Fractional(source, x_offset, y_offset, clipped.width, clipped.height,
                                         dest_width, dest_height, &exception);
    if (result == nullptr) {
        ReportError("ScaleImage_Bresenham_Fractional() failed");
    }
    return result;
}
