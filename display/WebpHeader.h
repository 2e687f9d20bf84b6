// What a WebP file's header says, read here: the image library decodes the whole picture just
// to tell its size (half a second for a 24 MP photo, with the window waiting for it at start).
#pragma once

#include <cstddef>

namespace engine {

struct WebpHeader {
    bool valid = false; // RIFF, WEBP, and a first chunk that gives the size
    std::size_t columns = 0, rows = 0;
    // The EXIF chunk's orientation, 1 to 8 (1 when there is none). Known is false when the
    // header says there is an EXIF chunk and the bytes given end before it: read them all.
    int orientation = 1;
    bool orientation_known = true;
    // Where the ICCP chunk's profile lies within the bytes given (icc_bytes 0: none found).
    std::size_t icc_at = 0, icc_bytes = 0;
};

// Reads the header of the WebP file whose first size bytes are at data; never reads outside
// them. Not valid for anything else.
WebpHeader ReadWebpHeader(const unsigned char* data, std::size_t size);

} // namespace engine
