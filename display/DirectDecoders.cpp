#include "DirectDecoders.h"
#include "JxlDecoder.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <string>

namespace engine {
namespace {

bool startsWith(const unsigned char* data, std::size_t size, std::size_t at, const char* text) {
    const std::size_t length = std::strlen(text);
    return size >= at + length && std::memcmp(data + at, text, length) == 0;
}

// A TIFF structure's first directory, read only as far as a camera file needs telling apart
// from an ordinary TIFF: DNG says so in a tag of its own; the makers' raw files carry their make
// and a sub-directory (the raw data or the full preview) in the first directory, which scanners
// and editors writing plain TIFFs do not.
class TiffProbe {
public:
    TiffProbe(const unsigned char* data, std::size_t size) : data_(data), size_(size) {
        little_ = size >= 8 && data[0] == 'I' && data[1] == 'I';
    }

    bool IsCameraFile() const {
        if (size_ < 8) {
            return false;
        }
        const std::uint32_t directory = read32(4);
        if (directory < 8 || directory >= size_ - 2) {
            return false;
        }
        const std::uint32_t count = read16(directory);
        bool subDirectories = false, cameraMake = false;
        for (std::uint32_t i = 0; i < count && i < 512; ++i) {
            const std::size_t entry = directory + 2 + std::size_t{i} * 12;
            if (entry + 12 > size_) {
                break;
            }
            const std::uint32_t tag = read16(entry);
            if (tag == 0xc612) { // DNGVersion
                return true;
            }
            if (tag == 0x014a) { // SubIFDs
                subDirectories = true;
            }
            if (tag == 0x010f) { // Make
                cameraMake = knownMake(entry);
            }
        }
        return subDirectories && cameraMake;
    }

private:
    std::uint32_t read16(std::size_t at) const {
        if (at + 2 > size_) {
            return 0;
        }
        return little_ ? data_[at] | data_[at + 1] << 8 : data_[at] << 8 | data_[at + 1];
    }
    std::uint32_t read32(std::size_t at) const {
        if (at + 4 > size_) {
            return 0;
        }
        return little_ ? read16(at) | read16(at + 2) << 16 : read16(at) << 16 | read16(at + 2);
    }
    bool knownMake(std::size_t entry) const {
        const std::uint32_t length = read32(entry + 4);
        const std::size_t at = length <= 4 ? entry + 8 : read32(entry + 8);
        if (length == 0 || length > 64 || at + length > size_) {
            return false;
        }
        const std::string make(reinterpret_cast<const char*>(data_ + at), length);
        for (const char* maker :
             {"NIKON", "SONY", "PENTAX", "Canon", "Hasselblad", "Phase One", "Leaf", "Kodak",
              "KODAK", "SAMSUNG", "Mamiya", "Leica", "LEICA", "RICOH", "SIGMA"}) {
            if (make.rfind(maker, 0) == 0) {
                return true;
            }
        }
        return false;
    }

    const unsigned char* data_;
    std::size_t size_;
    bool little_ = true;
};

// An ISO base media file's brands (HEIF, AVIF, and Canon's CR3) from its "ftyp" box.
DirectFormat isoBrands(const unsigned char* data, std::size_t size) {
    if (!startsWith(data, size, 4, "ftyp") || size < 16) {
        return DirectFormat::None;
    }
    std::size_t boxSize = std::size_t{data[0]} << 24 | data[1] << 16 | data[2] << 8 | data[3];
    if (boxSize < 16 || boxSize > size) {
        boxSize = std::min<std::size_t>(size, 64);
    }
    if (startsWith(data, size, 8, "crx ")) {
        return DirectFormat::CameraRaw;
    }
    // The major brand, then the compatible ones (a file may name a generic major brand).
    for (std::size_t at = 8; at + 4 <= boxSize; at += at == 8 ? 8 : 4) {
        for (const char* brand : {"heic", "heix", "heim", "heis", "hevc", "hevx", "mif1", "msf1",
                                  "avif", "avis", "mif2"}) {
            if (std::memcmp(data + at, brand, 4) == 0) {
                return DirectFormat::Heif;
            }
        }
    }
    return DirectFormat::None;
}

} // namespace

DirectFormat SniffDirectFormat(const unsigned char* data, std::size_t size) {
    if (data == nullptr || size < 12) {
        return DirectFormat::None;
    }
    if (IsJpegXl(data, size)) {
        return DirectFormat::JpegXl;
    }
    if (startsWith(data, size, 0, "FUJIFILMCCD-RAW")) {
        return DirectFormat::CameraRaw;
    }
    const bool tiff = startsWith(data, size, 0, "II*") || startsWith(data, size, 0, "MM");
    // Olympus and Panasonic raw files use TIFF structures under magic numbers of their own.
    if (startsWith(data, size, 0, "IIRO") || startsWith(data, size, 0, "IIRS") ||
        startsWith(data, size, 0, "MMOR") || (data[0] == 'I' && data[1] == 'I' && data[2] == 'U')) {
        return DirectFormat::CameraRaw;
    }
    if (tiff && (startsWith(data, size, 8, "CR\x02") || TiffProbe(data, size).IsCameraFile())) {
        return DirectFormat::CameraRaw;
    }
    return isoBrands(data, size);
}

bool IsJpegXl(const unsigned char* data, std::size_t size) {
    return data != nullptr &&
           ((size >= 2 && data[0] == 0xff && data[1] == 0x0a) ||
            (size >= 12 && std::memcmp(data, "\0\0\0\x0cJXL \x0d\x0a\x87\x0a", 12) == 0));
}

JxlFrames::~JxlFrames() = default;

DecodeResult DirectFailure(DecodeFailure why, std::string message, std::string reason) {
    DecodeResult result;
    result.failure = why;
    result.message = std::move(message);
    result.reason = std::move(reason);
    return result;
}

DecodeResult MakeDirectRecord(const DirectRequest& request, std::size_t columns, std::size_t rows,
                              std::unique_ptr<Image>& record) {
    record.reset();
    if (DecodeResult refusal = request.refuse(columns, rows);
        refusal.failure != DecodeFailure::None) {
        return refusal;
    }
    record = request.make_record(columns, rows);
    if (!record) {
        return DirectFailure(DecodeFailure::OutOfMemory, "not enough memory to decode it",
                             "the pixels could not be allocated");
    }
    return {};
}

} // namespace engine
