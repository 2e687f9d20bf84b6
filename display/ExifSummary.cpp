#include "ExifSummary.h"

#include "ImageDecoder.h"

#include <array>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>

namespace engine {

namespace {

constexpr std::uint32_t kAscii = 2, kShort = 3, kLong = 4, kRational = 5;

class TiffReader {
public:
    TiffReader(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}

    bool Open() {
        if (size_ < 8) {
            return false;
        }
        if (data_[0] == 'I' && data_[1] == 'I') {
            little_ = true;
        } else if (!(data_[0] == 'M' && data_[1] == 'M')) {
            return false;
        }
        return read16(2) == 42;
    }
    std::uint32_t FirstDirectory() const { return read32(4); }

    // Each entry of the directory at offset: tag -> (type, count, offset of its value).
    std::map<std::uint32_t, std::array<std::uint32_t, 3>> Directory(std::size_t offset) const {
        std::map<std::uint32_t, std::array<std::uint32_t, 3>> entries;
        if (offset > size_ - 2 || size_ < 2) {
            return entries;
        }
        const std::size_t count = read16(offset);
        for (std::size_t i = 0; i < count; ++i) {
            const std::size_t entry = offset + 2 + i * 12;
            if (entry + 12 > size_) {
                break;
            }
            const std::uint32_t type = read16(entry + 2);
            const std::uint32_t values = read32(entry + 4);
            const std::size_t unit = type == kShort      ? 2
                                     : type == kLong     ? 4
                                     : type == kRational ? 8
                                                         : 1;
            // Values of four bytes or fewer sit in the entry itself.
            const std::uint64_t bytes = std::uint64_t{values} * unit;
            const std::uint32_t at =
                bytes <= 4 ? static_cast<std::uint32_t>(entry + 8) : read32(entry + 8);
            if (at > size_ || bytes > size_ - at) {
                continue;
            }
            entries[read16(entry)] = {type, values, at};
        }
        return entries;
    }

    std::string Text(const std::array<std::uint32_t, 3>& entry) const {
        if (entry[0] != kAscii) {
            return {};
        }
        std::string text(reinterpret_cast<const char*>(data_ + entry[2]), entry[1]);
        text = text.substr(0, text.find('\0'));
        while (!text.empty() && text.back() == ' ') {
            text.pop_back();
        }
        return text;
    }
    // Unsigned number (short or long) or a rational's numerator and denominator.
    bool Number(const std::array<std::uint32_t, 3>& entry, std::uint32_t& numerator,
                std::uint32_t& denominator) const {
        denominator = 1;
        if (entry[1] < 1) {
            return false; // no value: not even the entry's own four bytes hold one
        }
        if (entry[0] == kShort) {
            numerator = read16(entry[2]);
        } else if (entry[0] == kLong) {
            numerator = read32(entry[2]);
        } else if (entry[0] == kRational) {
            numerator = read32(entry[2]);
            denominator = read32(entry[2] + 4);
        } else {
            return false;
        }
        return denominator != 0;
    }

private:
    std::uint32_t read16(std::size_t at) const {
        return little_ ? data_[at] | data_[at + 1] << 8 : data_[at] << 8 | data_[at + 1];
    }
    std::uint32_t read32(std::size_t at) const {
        return little_ ? read16(at) | read16(at + 2) << 16 : read16(at) << 16 | read16(at + 2);
    }

    const std::uint8_t* data_;
    std::size_t size_;
    bool little_ = false;
};

// The TIFF structure of an EXIF block, past the "Exif\0\0" a JPEG puts before it.
TiffReader exifStructure(const std::uint8_t* block, std::size_t size) {
    if (block == nullptr) {
        return TiffReader(nullptr, 0);
    }
    if (size >= 6 && std::memcmp(block, "Exif\0\0", 6) == 0) {
        return TiffReader(block + 6, size - 6);
    }
    return TiffReader(block, size);
}

std::string decimal(double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f", value);
    std::string result = text;
    if (result.size() > 2 && result.compare(result.size() - 2, 2, ".0") == 0) {
        result.resize(result.size() - 2);
    }
    return result;
}

} // namespace

std::uint32_t ExifColorSpace(const std::uint8_t* block, std::size_t size) {
    TiffReader tiff = exifStructure(block, size);
    if (!tiff.Open()) {
        return 0;
    }
    auto first = tiff.Directory(tiff.FirstDirectory());
    std::uint32_t at = 0, space = 0, unit = 1;
    if (!first.count(0x8769) || !tiff.Number(first[0x8769], at, unit)) {
        return 0;
    }
    auto exif = tiff.Directory(at);
    return exif.count(0xA001) && tiff.Number(exif[0xA001], space, unit) ? space : 0;
}

std::vector<std::pair<std::string, std::string>> ExifSummary(const std::uint8_t* block,
                                                             std::size_t size) {
    std::vector<std::pair<std::string, std::string>> lines;
    TiffReader tiff = exifStructure(block, size);
    if (!tiff.Open()) {
        return lines;
    }
    auto first = tiff.Directory(tiff.FirstDirectory());
    std::map<std::uint32_t, std::array<std::uint32_t, 3>> exif;
    std::uint32_t n = 0, d = 1;
    if (first.count(0x8769) && tiff.Number(first[0x8769], n, d)) {
        exif = tiff.Directory(n);
    }
    std::string camera = first.count(0x010F) ? tiff.Text(first[0x010F]) : "";
    const std::string model = first.count(0x0110) ? tiff.Text(first[0x0110]) : "";
    // Many makers repeat the make in the model ("Canon" / "Canon EOS 5D").
    if (!model.empty()) {
        camera =
            model.rfind(camera, 0) == 0 ? model : (camera.empty() ? model : camera + " " + model);
    }
    if (!camera.empty()) {
        lines.emplace_back("Camera", camera);
    }
    if (exif.count(0x9003)) {
        const std::string taken = tiff.Text(exif[0x9003]);
        if (!taken.empty()) {
            lines.emplace_back("Taken", taken);
        }
    }
    if (exif.count(0x829A) && tiff.Number(exif[0x829A], n, d) && n != 0) {
        const double seconds = static_cast<double>(n) / d;
        lines.emplace_back("Exposure", seconds < 1 ? "1/" + decimal(1 / seconds) + " s"
                                                   : decimal(seconds) + " s");
    }
    if (exif.count(0x829D) && tiff.Number(exif[0x829D], n, d)) {
        lines.emplace_back("Aperture", "f/" + decimal(static_cast<double>(n) / d));
    }
    if (exif.count(0x8827) && tiff.Number(exif[0x8827], n, d)) {
        lines.emplace_back("ISO", std::to_string(n));
    }
    if (exif.count(0x920A) && tiff.Number(exif[0x920A], n, d)) {
        lines.emplace_back("Focal length", decimal(static_cast<double>(n) / d) + " mm");
    }
    return lines;
}

std::vector<std::pair<std::string, std::string>> ExifSummaryOfFile(const std::string& path) {
    std::unique_ptr<unsigned char[]> data;
    std::size_t size = 0, whole = 0;
    DecodeResult result;
    if (!ReadImageFileBytes(path, 256 * 1024, nullptr, data, size, whole, result) || size < 4) {
        return {};
    }
    const std::uint8_t* bytes = data.get();
    if ((bytes[0] == 'I' && bytes[1] == 'I') || (bytes[0] == 'M' && bytes[1] == 'M')) {
        return ExifSummary(bytes, size);
    }
    if (bytes[0] != 0xFF || bytes[1] != 0xD8) {
        return {};
    }
    // Walk the JPEG's segments up to the image data for APP1 "Exif".
    for (std::size_t at = 2; at + 4 <= size && bytes[at] == 0xFF;) {
        const std::uint8_t marker = bytes[at + 1];
        const std::size_t length = std::size_t{bytes[at + 2]} << 8 | bytes[at + 3];
        if (marker == 0xDA || length < 2 || at + 2 + length > size) {
            break;
        }
        if (marker == 0xE1 && length >= 8 && std::memcmp(bytes + at + 4, "Exif\0\0", 6) == 0) {
            return ExifSummary(bytes + at + 4, length - 2);
        }
        at += 2 + length;
    }
    return {};
}

} // namespace engine
