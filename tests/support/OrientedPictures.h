// Pictures stored turned, as cameras store them, with the EXIF block that says how: for the
// tests of the decoder and of the viewer. Header only: plain bytes, no library.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace testsupport {

// BGRA pixels, rows top to bottom.
struct Picture {
    std::size_t width = 0, height = 0;
    std::vector<std::uint8_t> bgra;

    std::uint8_t* At(std::size_t x, std::size_t y) { return &bgra[(y * width + x) * 4]; }
    const std::uint8_t* At(std::size_t x, std::size_t y) const {
        return &bgra[(y * width + x) * 4];
    }
};

struct Rgb {
    int red, green, blue;
};

// Colours far apart, so that JPEG's loss never makes one look like another.
constexpr Rgb kTopLeft{255, 0, 0}, kTopRight{0, 255, 0}, kBottomLeft{0, 0, 255},
    kBottomRight{255, 255, 0};

inline Picture QuadrantPicture(std::size_t width, std::size_t height) {
    Picture picture{width, height, std::vector<std::uint8_t>(width * height * 4)};
    for (std::size_t y = 0; y < height; ++y) {
        for (std::size_t x = 0; x < width; ++x) {
            const bool right = x >= width / 2, bottom = y >= height / 2;
            const Rgb c =
                bottom ? (right ? kBottomRight : kBottomLeft) : (right ? kTopRight : kTopLeft);
            std::uint8_t* p = picture.At(x, y);
            p[0] = static_cast<std::uint8_t>(c.blue);
            p[1] = static_cast<std::uint8_t>(c.green);
            p[2] = static_cast<std::uint8_t>(c.red);
            p[3] = 255;
        }
    }
    return picture;
}

// A quarter turn clockwise, by where each pixel goes.
inline Picture TurnedRight(const Picture& in) {
    Picture out{in.height, in.width, std::vector<std::uint8_t>(in.bgra.size())};
    for (std::size_t y = 0; y < in.height; ++y) {
        for (std::size_t x = 0; x < in.width; ++x) {
            const std::uint8_t* from = in.At(x, y);
            std::copy(from, from + 4, out.At(in.height - 1 - y, x));
        }
    }
    return out;
}

inline Picture Mirrored(const Picture& in) {
    Picture out = in;
    for (std::size_t y = 0; y < in.height; ++y) {
        for (std::size_t x = 0; x < in.width; ++x) {
            const std::uint8_t* from = in.At(x, y);
            std::copy(from, from + 4, out.At(in.width - 1 - x, y));
        }
    }
    return out;
}

inline Picture Flipped(const Picture& in) {
    Picture out = in;
    for (std::size_t y = 0; y < in.height; ++y) {
        for (std::size_t x = 0; x < in.width; ++x) {
            const std::uint8_t* from = in.At(x, y);
            std::copy(from, from + 4, out.At(x, in.height - 1 - y));
        }
    }
    return out;
}

// What a viewer shows of stored pixels tagged with orientation (1 to 8), built from quarter
// turns and mirrors as the EXIF standard describes each value.
inline Picture Shown(const Picture& stored, int orientation) {
    switch (orientation) {
    case 2:
        return Mirrored(stored);
    case 3:
        return TurnedRight(TurnedRight(stored));
    case 4:
        return Flipped(stored);
    case 5: // first row on the left, first column on top
        return Mirrored(TurnedRight(stored));
    case 6: // first row on the right, first column on top
        return TurnedRight(stored);
    case 7: // first row on the right, first column at the bottom
        return Flipped(TurnedRight(stored));
    case 8: // first row on the left, first column at the bottom
        return TurnedRight(TurnedRight(TurnedRight(stored)));
    default:
        return stored;
    }
}

// The pixels a camera stores, tagged with orientation, for a picture seen upright.
inline Picture StoredFor(const Picture& upright, int orientation) {
    const int inverse = orientation == 6 ? 8 : orientation == 8 ? 6 : orientation;
    return Shown(upright, inverse);
}

// An EXIF block as a JPEG carries it ("Exif\0\0" and a TIFF structure) whose first directory
// holds a resolution tag and the orientation tag.
inline std::string ExifBlock(int orientation, bool bigEndian = false) {
    std::string block("Exif\0\0", 6);
    auto put16 = [&](unsigned v) {
        const char hi = static_cast<char>(v >> 8), lo = static_cast<char>(v & 0xff);
        block += bigEndian ? std::string{hi, lo} : std::string{lo, hi};
    };
    auto put32 = [&](unsigned v) {
        if (bigEndian) {
            put16(v >> 16), put16(v & 0xffff);
        } else {
            put16(v & 0xffff), put16(v >> 16);
        }
    };
    block += bigEndian ? "MM" : "II";
    put16(42);
    put32(8); // the first directory follows the header
    put16(2);
    put16(0x0112), put16(3), put32(1), put16(static_cast<unsigned>(orientation)), put16(0);
    put16(0x0128), put16(3), put32(1), put16(2), put16(0); // resolution unit: inches
    put32(0);                                              // no next directory
    return block;
}

// jpeg with an APP1 segment holding ExifBlock(orientation), after its JFIF segment.
inline std::string WithJpegExif(const std::string& jpeg, int orientation) {
    const std::string exif = ExifBlock(orientation, orientation % 2 == 0);
    std::size_t at = 2; // after the start of image
    if (jpeg.size() > 4 && static_cast<unsigned char>(jpeg[3]) == 0xE0) {
        at += 2 + (static_cast<unsigned char>(jpeg[4]) << 8 | static_cast<unsigned char>(jpeg[5]));
    }
    const std::size_t length = exif.size() + 2;
    std::string segment{'\xFF', '\xE1', static_cast<char>(length >> 8),
                        static_cast<char>(length & 0xff)};
    return jpeg.substr(0, at) + segment + exif + jpeg.substr(at);
}

} // namespace testsupport
