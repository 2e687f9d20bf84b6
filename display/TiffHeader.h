// What a TIFF's first directory says about the picture's size and orientation, read here: the
// image library reads a whole TIFF to ping it when that directory lies beyond the first
// megabyte, as it does where writers put it after the pixels (200 ms for a 24 MP photo).
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>

namespace engine {

struct TiffHeader {
    bool valid = false; // a classic TIFF whose first directory gives a width and a height
    std::size_t columns = 0, rows = 0;
    int orientation = 1; // the orientation tag, 1 to 8 (1 when there is none)
};

// Reads length bytes at offset of the file into out; false when the file does not have them.
using ReadAt = std::function<bool(std::uint64_t offset, std::size_t length, unsigned char* out)>;

// Reads the header of the file through read (never more than the first directory): not valid
// for anything but a classic TIFF (not BigTIFF), nor for a directory that is cut or damaged,
// nor for one with sub-directories or a DNG version, as camera files have.
TiffHeader ReadTiffHeader(const ReadAt& read);

} // namespace engine
