#include "TiffHeader.h"

#include <vector>

namespace engine {

TiffHeader ReadTiffHeader(const ReadAt& read) {
    TiffHeader header;
    unsigned char start[8];
    if (!read(0, sizeof start, start)) {
        return header;
    }
    const bool little = start[0] == 'I' && start[1] == 'I' && start[2] == 42 && start[3] == 0;
    const bool big = start[0] == 'M' && start[1] == 'M' && start[2] == 0 && start[3] == 42;
    if (!little && !big) {
        return header;
    }
    auto value = [little](const unsigned char* bytes, int count) {
        std::uint32_t result = 0;
        for (int i = 0; i < count; ++i) {
            const int at = little ? count - 1 - i : i;
            result = result << 8 | bytes[at];
        }
        return result;
    };
    const std::uint32_t directory = value(start + 4, 4);
    unsigned char countBytes[2];
    if (directory < 8 || !read(directory, 2, countBytes)) {
        return header;
    }
    const std::size_t count = value(countBytes, 2);
    constexpr std::size_t kMostEntries = 4096;
    if (count == 0 || count > kMostEntries) {
        return header;
    }
    std::vector<unsigned char> entries(count * 12);
    if (!read(std::uint64_t{directory} + 2, entries.size(), entries.data())) {
        return header;
    }
    constexpr std::uint32_t kShort = 3, kLong = 4;
    for (std::size_t i = 0; i < count; ++i) {
        const unsigned char* entry = entries.data() + i * 12;
        const std::uint32_t tag = value(entry, 2);
        const std::uint32_t type = value(entry + 2, 2);
        if (tag == 0x014a || tag == 0xc612) {
            return {}; // sub-directories or a DNG version: a camera file's, read by its decoder
        }
        if (value(entry + 4, 4) != 1 || (type != kShort && type != kLong)) {
            continue;
        }
        const std::uint32_t number = type == kShort ? value(entry + 8, 2) : value(entry + 8, 4);
        if (tag == 0x100) {
            header.columns = number;
        } else if (tag == 0x101) {
            header.rows = number;
        } else if (tag == 0x112 && number >= 1 && number <= 8) {
            header.orientation = static_cast<int>(number);
        }
    }
    header.valid = header.columns > 0 && header.rows > 0;
    return header;
}

} // namespace engine
