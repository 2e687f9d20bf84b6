#include "WebpHeader.h"

#include "Orientation.h"

#include <cstdint>
#include <cstring>

namespace engine {
namespace {

std::uint32_t little(const unsigned char* bytes, int count) {
    std::uint32_t value = 0;
    for (int i = count - 1; i >= 0; --i) {
        value = value << 8 | bytes[i];
    }
    return value;
}

constexpr std::uint8_t kExifFlag = 0x08;
constexpr std::uint8_t kIccFlag = 0x20;

} // namespace

WebpHeader ReadWebpHeader(const unsigned char* data, std::size_t size) {
    WebpHeader header;
    if (data == nullptr || size < 20 || std::memcmp(data, "RIFF", 4) != 0 ||
        std::memcmp(data + 8, "WEBP", 4) != 0) {
        return header;
    }
    const unsigned char* chunk = data + 12;
    const std::size_t length = little(chunk + 4, 4);
    const unsigned char* payload = chunk + 8;
    const std::size_t available = size - 20;
    bool exif = false, icc = false;
    std::size_t needed = 10; // bytes of the first chunk that hold the size
    if (std::memcmp(chunk, "VP8 ", 4) == 0 && available >= 10 && payload[3] == 0x9d &&
        payload[4] == 0x01 && payload[5] == 0x2a) {
        header.columns = little(payload + 6, 2) & 0x3fff;
        header.rows = little(payload + 8, 2) & 0x3fff;
    } else if (std::memcmp(chunk, "VP8L", 4) == 0 && available >= 5 && payload[0] == 0x2f) {
        const std::uint32_t bits = little(payload + 1, 4);
        needed = 5;
        header.columns = (bits & 0x3fff) + 1;
        header.rows = ((bits >> 14) & 0x3fff) + 1;
    } else if (std::memcmp(chunk, "VP8X", 4) == 0 && available >= 10) {
        exif = (payload[0] & kExifFlag) != 0;
        icc = (payload[0] & kIccFlag) != 0;
        header.columns = little(payload + 4, 3) + 1;
        header.rows = little(payload + 7, 3) + 1;
    } else {
        return header;
    }
    header.valid = header.columns > 0 && header.rows > 0 && length >= needed;
    if (!header.valid || (!exif && !icc)) {
        return header;
    }
    // The ICCP chunk comes before the image data; the EXIF chunk after it, usually at the very
    // end.
    header.orientation_known = !exif;
    for (std::size_t at = 12; at + 8 <= size && (icc || exif);) {
        const std::size_t bytes = little(data + at + 4, 4);
        if (bytes > size - at - 8) {
            break;
        }
        if (icc && std::memcmp(data + at, "ICCP", 4) == 0) {
            header.icc_at = at + 8;
            header.icc_bytes = bytes;
            icc = false;
        } else if (exif && std::memcmp(data + at, "EXIF", 4) == 0) {
            const int tagged = ExifOrientation(data + at + 8, bytes);
            header.orientation = tagged >= 1 && tagged <= 8 ? tagged : 1;
            header.orientation_known = true;
            exif = false;
        }
        at += 8 + bytes + (bytes & 1);
    }
    return header;
}

} // namespace engine
