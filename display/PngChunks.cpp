#include "PngChunks.h"

#include <algorithm>
#include <cstring>

namespace engine {
namespace {

const unsigned char kSignature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n'};

std::uint32_t bigEndian(const unsigned char* bytes) {
    return (std::uint32_t{bytes[0]} << 24) | (std::uint32_t{bytes[1]} << 16) |
           (std::uint32_t{bytes[2]} << 8) | bytes[3];
}

bool isType(const unsigned char* type, const char* name) {
    return std::memcmp(type, name, 4) == 0;
}

} // namespace

std::uint64_t PngLayout::PixelBytes() const {
    const unsigned channels = colorType == 2 ? 3 : colorType == 4 ? 2 : colorType == 6 ? 4 : 1;
    return height * ((width * channels * depth + 7) / 8);
}

PngLayout ReadPngLayout(const unsigned char* data, std::size_t size) {
    PngLayout layout;
    if (size < 33 || std::memcmp(data, kSignature, 8) != 0 || !isType(data + 12, "IHDR")) {
        return layout;
    }
    layout.valid = true;
    layout.width = bigEndian(data + 16);
    layout.height = bigEndian(data + 20);
    layout.depth = data[24];
    layout.colorType = data[25];
    for (std::size_t at = 8; at + 8 <= size;) {
        const std::uint32_t length = bigEndian(data + at);
        const unsigned char* type = data + at + 4;
        if (isType(type, "IDAT")) {
            layout.imageData = true;
            layout.imageDataBytes += std::min<std::uint64_t>(length, size - at - 8);
        } else if (isType(type, "tRNS") && !layout.imageData) {
            layout.transparency = true;
        }
        if (length > size - at - 8) {
            break;
        }
        at += std::size_t{length} + 12;
    }
    return layout;
}

std::size_t DropPngMetadata(unsigned char* data, std::size_t size, std::size_t limit) {
    if (size < 8 || std::memcmp(data, kSignature, 8) != 0) {
        return size;
    }
    std::size_t read = 8, write = 8;
    while (read + 12 <= size) {
        const std::size_t length = bigEndian(data + read);
        const unsigned char* type = data + read + 4;
        if (length > size - read - 12) {
            break;
        }
        const std::size_t whole = length + 12;
        const bool ancillary = (type[0] & 0x20) != 0;
        const bool text = isType(type, "tEXt") || isType(type, "zTXt") || isType(type, "iTXt");
        const bool compressedProfile = isType(type, "iCCP") && length > 65536;
        if (!(ancillary && (text || compressedProfile || length > limit))) {
            std::memmove(data + write, data + read, whole);
            write += whole;
        }
        read += whole;
    }
    return write;
}

} // namespace engine
