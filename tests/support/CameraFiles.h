// A camera's raw file made from a picture, for the tests and benchmarks of RAW decoding: a DNG
// (a TIFF with the DNG tags) whose raw image is a Bayer mosaic of the picture's colours and whose
// first directory holds a JPEG preview. Header only: plain bytes, no library.
#pragma once

#include "OrientedPictures.h"

#include <cstdint>
#include <string>
#include <vector>

namespace testsupport {

// A little-endian TIFF directory written entry by entry; values longer than four bytes go to a
// data area after it.
class TiffDirectory {
public:
    void Short(std::uint16_t tag, std::vector<std::uint16_t> values) {
        std::string bytes;
        for (std::uint16_t v : values) {
            put(bytes, v, 2);
        }
        add(tag, 3, values.size(), bytes);
    }
    void Long(std::uint16_t tag, std::uint32_t value) {
        std::string bytes;
        put(bytes, value, 4);
        add(tag, 4, 1, bytes);
    }
    void Bytes(std::uint16_t tag, std::vector<std::uint8_t> values) {
        add(tag, 1, values.size(), std::string(values.begin(), values.end()));
    }
    void Ascii(std::uint16_t tag, const std::string& text) {
        add(tag, 2, text.size() + 1, text + '\0');
    }
    // Rationals as numerator / 10000; signed when type is 10 (SRATIONAL), unsigned with 5.
    void Rationals(std::uint16_t tag, std::uint16_t type, std::vector<double> values) {
        std::string bytes;
        for (double v : values) {
            put(bytes, static_cast<std::uint32_t>(static_cast<std::int32_t>(v * 10000)), 4);
            put(bytes, 10000, 4);
        }
        add(tag, type, values.size(), bytes);
    }

    // The directory's bytes when it starts at offset; next is the following directory's offset.
    std::string Bytes(std::uint32_t offset, std::uint32_t next = 0) const {
        std::string out, data;
        const std::uint32_t dataStart =
            offset + 2 + 12 * static_cast<std::uint32_t>(entries_.size()) + 4;
        put(out, entries_.size(), 2);
        for (const Entry& e : entries_) {
            put(out, e.tag, 2);
            put(out, e.type, 2);
            put(out, e.count, 4);
            if (e.value.size() <= 4) {
                out += e.value + std::string(4 - e.value.size(), '\0');
            } else {
                put(out, dataStart + data.size(), 4);
                data += e.value;
                if (data.size() % 2 != 0) {
                    data += '\0';
                }
            }
        }
        put(out, next, 4);
        return out + data;
    }

private:
    struct Entry {
        std::uint16_t tag, type;
        std::uint32_t count;
        std::string value;
    };
    static void put(std::string& out, std::uint64_t value, int bytes) {
        for (int i = 0; i < bytes; ++i) {
            out += static_cast<char>((value >> (8 * i)) & 0xff);
        }
    }
    void add(std::uint16_t tag, std::uint16_t type, std::size_t count, const std::string& value) {
        // TIFF wants its entries in the order of their tags.
        auto at = entries_.begin();
        while (at != entries_.end() && at->tag < tag) {
            ++at;
        }
        if (at != entries_.end() && at->tag == tag) {
            *at = Entry{tag, type, static_cast<std::uint32_t>(count), value};
            return;
        }
        entries_.insert(at, Entry{tag, type, static_cast<std::uint32_t>(count), value});
    }
    std::vector<Entry> entries_;
};

// A DNG of stored (as the sensor saw it: the picture before orientation turns it upright) as
// a 16-bit RGGB mosaic in linear light, with orientation (1 to 8) and preview (a JPEG of
// previewWidth x previewHeight pixels, stored the same way round; may be empty). The camera's
// colours are sRGB's primaries and its white balance neutral, so a developed pixel has about
// the picture's hue.
inline std::string DngFile(const Picture& stored, int orientation, const std::string& preview,
                           std::size_t previewWidth, std::size_t previewHeight) {
    constexpr std::uint16_t kWhite = 4095;
    std::string raw;
    raw.reserve(stored.width * stored.height * 2);
    for (std::size_t y = 0; y < stored.height; ++y) {
        for (std::size_t x = 0; x < stored.width; ++x) {
            // Red at even rows and columns, blue at odd ones, green between.
            const int channel = (y % 2 == 0) ? (x % 2 == 0 ? 2 : 1) : (x % 2 == 0 ? 1 : 0);
            const double level = stored.At(x, y)[channel] / 255.0;
            const auto sample = static_cast<std::uint16_t>(level * level * 3800); // about linear
            raw += static_cast<char>(sample & 0xff);
            raw += static_cast<char>(sample >> 8);
        }
    }
    TiffDirectory first, mosaic;
    const bool hasPreview = !preview.empty();
    first.Long(0x00fe, 1); // a reduced image: the raw one is in the sub-directory
    first.Long(0x0100, static_cast<std::uint32_t>(hasPreview ? previewWidth : 1));
    first.Long(0x0101, static_cast<std::uint32_t>(hasPreview ? previewHeight : 1));
    first.Short(0x0102, {8, 8, 8});
    first.Short(0x0103, {static_cast<std::uint16_t>(hasPreview ? 7 : 1)});
    first.Short(0x0106, {static_cast<std::uint16_t>(hasPreview ? 6 : 2)});
    first.Ascii(0x010f, "Orvalen");
    first.Ascii(0x0110, "Test Camera");
    first.Short(0x0112, {static_cast<std::uint16_t>(orientation)});
    first.Short(0x0115, {3});
    first.Long(0x0116, static_cast<std::uint32_t>(hasPreview ? previewHeight : 1));
    first.Bytes(0xc612, {1, 4, 0, 0});
    first.Bytes(0xc613, {1, 1, 0, 0});
    first.Ascii(0xc614, "Orvalen Test Camera");
    // XYZ to linear sRGB: the camera's sensor responds as sRGB's primaries do.
    first.Rationals(0xc621, 10,
                    {3.2406, -1.5372, -0.4986, -0.9689, 1.8758, 0.0415, 0.0557, -0.2040, 1.0570});
    first.Rationals(0xc628, 5, {1.0, 1.0, 1.0});
    first.Short(0xc65a, {21}); // D65

    mosaic.Long(0x00fe, 0);
    mosaic.Long(0x0100, static_cast<std::uint32_t>(stored.width));
    mosaic.Long(0x0101, static_cast<std::uint32_t>(stored.height));
    mosaic.Short(0x0102, {16});
    mosaic.Short(0x0103, {1});
    mosaic.Short(0x0106, {32803}); // colour filter array
    mosaic.Short(0x0115, {1});
    mosaic.Long(0x0116, static_cast<std::uint32_t>(stored.height));
    mosaic.Short(0x828d, {2, 2});
    mosaic.Bytes(0x828e, {0, 1, 1, 2});
    mosaic.Short(0xc61d, {kWhite});

    // Laid out: header, first directory, preview, mosaic directory, mosaic. The directories'
    // sizes do not depend on the offsets written into them, so each is measured first.
    const std::string placeholderPreview = hasPreview ? preview : std::string(3, '\0');
    first.Long(0x0111, 0);
    first.Long(0x0117, static_cast<std::uint32_t>(placeholderPreview.size()));
    first.Long(0x014a, 0);
    mosaic.Long(0x0111, 0);
    mosaic.Long(0x0117, static_cast<std::uint32_t>(raw.size()));
    const std::uint32_t firstAt = 8;
    const std::uint32_t previewAt =
        firstAt + static_cast<std::uint32_t>(first.Bytes(firstAt).size());
    const std::uint32_t mosaicDirAt =
        (previewAt + static_cast<std::uint32_t>(placeholderPreview.size()) + 1) & ~1u;
    const std::uint32_t mosaicAt =
        mosaicDirAt + static_cast<std::uint32_t>(mosaic.Bytes(mosaicDirAt).size());
    first.Long(0x0111, previewAt);
    first.Long(0x014a, mosaicDirAt);
    mosaic.Long(0x0111, mosaicAt);

    std::string file("II*\0\x08\0\0\0", 8);
    file += first.Bytes(firstAt);
    file += placeholderPreview;
    file.resize(mosaicDirAt, '\0');
    file += mosaic.Bytes(mosaicDirAt);
    file += raw;
    return file;
}

} // namespace testsupport
