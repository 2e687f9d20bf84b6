// What the decoder reads of a PNG file itself, before the image library sees it.
#pragma once

#include <cstddef>
#include <cstdint>

namespace engine {

struct PngLayout {
    bool valid = false; // a signature and an IHDR chunk
    std::uint64_t width = 0, height = 0;
    unsigned depth = 0, colorType = 0;
    bool transparency = false;        // a tRNS chunk before the image data
    bool imageData = false;           // at least one IDAT chunk
    std::uint64_t imageDataBytes = 0; // what the IDAT chunks hold, as far as the file goes
    // Bytes of the image's pixels once inflated, without filter bytes: a lower bound.
    std::uint64_t PixelBytes() const;
};

// Walks the chunks of size bytes at data; stops at a chunk that claims more than the file has.
PngLayout ReadPngLayout(const unsigned char* data, std::size_t size);

// Takes out, in place, the chunks never shown here that can claim or inflate to gigabytes: text
// (tEXt, zTXt, iTXt), an iCCP over 64 KB compressed and any other ancillary chunk over limit
// bytes. A chunk that claims more bytes than the file has ends the file there. Returns the new
// size; data that is no PNG is left as it is.
std::size_t DropPngMetadata(unsigned char* data, std::size_t size, std::size_t limit);

} // namespace engine
