// The region-level entry to the scaler over the engine's image record.
#pragma once

#include "EngineImage.h"
#include "ImageRegion.h"

// A new image of dest_width x dest_height made from the window region of image (in image
// pixels, fractions allowed), owned by the caller. A zero destination size or an empty window
// gives an empty image (0 x 0), not null. The window is clipped to the image; the scaler reads
// only the whole pixels under it. Null after a reported failure.
engine::Image* ScaleImage_Bresenham_Fractional(const engine::Image& image, ImageRegionFP region,
                                               int dest_width, int dest_height);
