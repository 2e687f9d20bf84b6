// Turning a decoded record the way its file says it is meant to be seen, and the view's own
// quarter turns and flips.
//
// Orientations are numbered as EXIF and TIFF number them: the value says where the stored first
// row and first column belong on the upright picture, so it also names the turn that shows the
// stored pixels upright.
#pragma once

#include "EngineImage.h"

#include <cstddef>
#include <cstdint>

namespace engine {

enum Orientation : int {
    kOrientationUpright = 1,      // shown as stored
    kOrientationMirrored = 2,     // mirrored left to right
    kOrientationHalfTurn = 3,     // turned half way round
    kOrientationFlipped = 4,      // mirrored top to bottom
    kOrientationTransposed = 5,   // mirrored along the diagonal from the top-left corner
    kOrientationQuarterRight = 6, // shown turned a quarter clockwise
    kOrientationTransverse = 7,   // mirrored along the diagonal from the top-right corner
    kOrientationQuarterLeft = 8,  // shown turned a quarter anticlockwise
};

// Whether orientation (5 to 8) stores the upright picture's columns as rows.
constexpr bool TurnsAQuarter(int orientation) {
    return orientation >= kOrientationTransposed && orientation <= kOrientationQuarterLeft;
}

// Turns image (and its reduced copy, when it has one) by orientation, 1 to 8; any other value
// leaves it as it is. Mirrors and the half turn work in place; the other four swap columns and
// rows and write a new pixel block, allocated as the old one was (in memory, or in a cache file
// for a record that lives in one), which replaces it. False when that block cannot be had: the
// image is then unchanged. Any thread; the image must not be in use elsewhere meanwhile.
bool OrientImage(Image& image, int orientation);

// The orientation tag (0x0112) of an EXIF block: the TIFF structure, with or without the
// "Exif\0\0" that precedes it in a JPEG. 1 to 8, or 0 when the block holds none or is damaged;
// never reads outside [data, data + size).
int ExifOrientation(const std::uint8_t* data, std::size_t size);

// The orientation in the eXIf chunk of a PNG file's bytes (before its image data), 1 to 8, or 0
// when there is none or the bytes are no PNG. Never reads outside [data, data + size).
int PngExifOrientation(const std::uint8_t* data, std::size_t size);

} // namespace engine
