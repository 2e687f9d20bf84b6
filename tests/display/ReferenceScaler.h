// A plain, slow transcription of the scaler's passes, pixel by pixel, kept apart from the
// engine's planned and vectorised one so that the two can be compared byte for byte.
#pragma once

#include "display/EngineImage.h"

#include <cstdint>
#include <vector>

namespace reference {

struct Result {
    bool ok = false;
    std::size_t columns = 0, rows = 0;
    std::vector<std::uint8_t> pixels;
};

// The window (x_offset, y_offset, source_width, source_height) of image scaled to
// dest_width x dest_height, with the validation of the scaler's initialize.
Result Scale(const engine::Image& image, double x_offset, double y_offset, double source_width,
             double source_height, int dest_width, int dest_height);

} // namespace reference
