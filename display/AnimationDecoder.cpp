#include "AnimationDecoder.h"

#include "ColourManagement.h"
#include "JxlDecoder.h"
#include "MagickLibrary.h"
#include "PixelExport.h"

#include <magick/MagickCore.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <new>

namespace engine {
namespace {

constexpr unsigned char kPngSignature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n'};
constexpr unsigned char kMngSignature[8] = {0x8a, 'M', 'N', 'G', '\r', '\n', 0x1a, '\n'};

std::size_t le16(const unsigned char* p) {
    return static_cast<std::size_t>(p[0]) | static_cast<std::size_t>(p[1]) << 8;
}
std::size_t le24(const unsigned char* p) {
    return le16(p) | static_cast<std::size_t>(p[2]) << 16;
}
std::size_t le32(const unsigned char* p) {
    return le24(p) | static_cast<std::size_t>(p[3]) << 24;
}
std::size_t be16(const unsigned char* p) {
    return static_cast<std::size_t>(p[0]) << 8 | static_cast<std::size_t>(p[1]);
}
std::size_t be32(const unsigned char* p) {
    return be16(p) << 16 | be16(p + 2);
}

void putLe16(std::string& out, std::size_t v) {
    out += static_cast<char>(v & 0xff);
    out += static_cast<char>((v >> 8) & 0xff);
}
void putLe24(std::string& out, std::size_t v) {
    putLe16(out, v);
    out += static_cast<char>((v >> 16) & 0xff);
}
void putLe32(std::string& out, std::size_t v) {
    putLe24(out, v);
    out += static_cast<char>((v >> 24) & 0xff);
}
void putBe32(std::string& out, std::size_t v) {
    for (int shift = 24; shift >= 0; shift -= 8) {
        out += static_cast<char>((v >> shift) & 0xff);
    }
}

std::uint32_t crc32(const char* data, std::size_t size, std::uint32_t crc = 0xffffffffu) {
    static const std::array<std::uint32_t, 256> table = [] {
        std::array<std::uint32_t, 256> made{};
        for (std::uint32_t n = 0; n < 256; ++n) {
            std::uint32_t c = n;
            for (int k = 0; k < 8; ++k) {
                c = (c & 1) ? 0xedb88320u ^ (c >> 1) : c >> 1;
            }
            made[n] = c;
        }
        return made;
    }();
    for (std::size_t i = 0; i < size; ++i) {
        crc = table[(crc ^ static_cast<unsigned char>(data[i])) & 0xff] ^ (crc >> 8);
    }
    return crc;
}

// A PNG chunk: length, type, data, CRC over type and data. The frames' data chunks (fdAT) lose
// their sequence numbers on the way to IDAT, so their CRCs are made anew.
void putPngChunk(std::string& out, const char* type, const unsigned char* data, std::size_t size) {
    putBe32(out, size);
    const std::size_t start = out.size();
    out.append(type, 4);
    out.append(reinterpret_cast<const char*>(data), size);
    putBe32(out, ~crc32(out.data() + start, size + 4));
}

bool overLimits(std::size_t columns, std::size_t rows) {
    return columns == 0 || rows == 0 || columns > static_cast<std::size_t>(kMaximumSide) ||
           rows > static_cast<std::size_t>(kMaximumSide) ||
           static_cast<long double>(columns) * rows >
               static_cast<long double>(kMaximumPixelsReadWhole);
}

std::unique_ptr<Image> newRecord(std::size_t columns, std::size_t rows) {
    auto record = std::unique_ptr<Image>(new (std::nothrow) Image);
    if (!record) {
        return nullptr;
    }
    record->columns = columns;
    record->rows = rows;
    record->pixels = AllocatePixels(columns * rows * 4);
    return record->pixels ? std::move(record) : nullptr;
}

// The library's image exported to a new record; null when memory runs out.
std::unique_ptr<Image> exported(::Image* image, ::ExceptionInfo* exception) {
    std::unique_ptr<Image> record = newRecord(image->columns, image->rows);
    if (!record) {
        return nullptr;
    }
    const bool matte = image->matte != MagickFalse;
    for (std::size_t y = 0; y < image->rows; ++y) {
        const PixelPacket* row =
            GetVirtualPixels(image, 0, static_cast<ssize_t>(y), image->columns, 1, exception);
        if (row == nullptr) {
            return nullptr;
        }
        ExportBgra(reinterpret_cast<const std::uint16_t*>(row), record->Row(y), image->columns,
                   matte);
    }
    return record;
}

// The library's request for a blob of a known format; the blob stays the caller's.
class BlobRequest {
public:
    explicit BlobRequest(const std::string& format)
        : info_(AcquireImageInfo()), exception_(AcquireExceptionInfo()) {
        std::string lower = format;
        std::transform(lower.begin(), lower.end(), lower.begin(),
                       [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
        std::snprintf(info_->filename, sizeof info_->filename, "image.%s", lower.c_str());
        std::snprintf(info_->magick, sizeof info_->magick, "%s", format.c_str());
    }
    ~BlobRequest() {
        DestroyImageInfo(info_);
        DestroyExceptionInfo(exception_);
    }
    BlobRequest(const BlobRequest&) = delete;
    BlobRequest& operator=(const BlobRequest&) = delete;

    // The library's images of the blob (a list), or null.
    ::Image* Read(const void* blob, std::size_t size) {
        return BlobToImage(info_, blob, size, exception_);
    }
    ::Image* Ping(const void* blob, std::size_t size) {
        return PingBlob(info_, blob, size, exception_);
    }
    ::ExceptionInfo* exception() const { return exception_; }
    bool Failed() const { return exception_->severity >= ErrorException; }

private:
    ImageInfo* info_;
    ::ExceptionInfo* exception_;
};

// The start of a file read to see whether it is animated at all.
constexpr std::size_t kProbeBytes = std::size_t{64} << 10;

// Whether the first size bytes may be those of an animation: a GIF or an MNG, a PNG with an
// animation control before its image data, a WebP with the animation flag.
bool mayBeAnimated(const unsigned char* data, std::size_t size) {
    if (size >= 8 && std::memcmp(data, kPngSignature, 8) == 0) {
        for (std::size_t pos = 8; pos + 8 <= size;) {
            const std::size_t length = be32(data + pos);
            if (std::memcmp(data + pos + 4, "acTL", 4) == 0) {
                return true;
            }
            if (std::memcmp(data + pos + 4, "IDAT", 4) == 0 || length > size - pos - 8) {
                return std::memcmp(data + pos + 4, "IDAT", 4) != 0;
            }
            pos += 12 + length;
        }
        return true;
    }
    if (size >= 21 && std::memcmp(data, "RIFF", 4) == 0 && std::memcmp(data + 8, "WEBP", 4) == 0) {
        return std::memcmp(data + 12, "VP8X", 4) == 0 && (data[20] & 0x02) != 0;
    }
    if (IsJpegXl(data, size)) {
        return JxlMayBeAnimated(data, size);
    }
    return (size >= 4 && std::memcmp(data, "GIF8", 4) == 0) ||
           (size >= 8 && std::memcmp(data, kMngSignature, 8) == 0);
}

DecodeResult damagedFile(const std::string& why) {
    DecodeResult result;
    result.failure = DecodeFailure::Damaged;
    result.message = "damaged: " + why;
    return result;
}

} // namespace

AnimationDecoder::~AnimationDecoder() = default;

std::unique_ptr<AnimationDecoder> AnimationDecoder::Open(const std::string& path,
                                                         const std::atomic<bool>* cancel,
                                                         DecodeResult& failure) {
    InitializeMagick(nullptr);
    std::unique_ptr<AnimationDecoder> decoder(new (std::nothrow) AnimationDecoder);
    if (!decoder) {
        failure.failure = DecodeFailure::OutOfMemory;
        failure.message = "not enough memory to read it";
        return nullptr;
    }
    decoder->path_ = path;
    // A look at the start first: a still PNG or WebP says so there, and is not read again.
    std::size_t whole = 0;
    if (!ReadImageFileBytes(path, kProbeBytes, cancel, decoder->bytes_, decoder->size_, whole,
                            failure)) {
        return nullptr;
    }
    if (decoder->size_ < whole && mayBeAnimated(decoder->bytes_.get(), decoder->size_) &&
        !ReadImageFileBytes(path, static_cast<std::size_t>(kMaximumFileBytes), cancel,
                            decoder->bytes_, decoder->size_, whole, failure)) {
        return nullptr;
    }
    const unsigned char* data = decoder->bytes_.get();
    const std::size_t size = decoder->size_;
    bool parsed = true;
    if (size >= 6 && std::memcmp(data, "GIF8", 4) == 0) {
        decoder->format_ = "GIF";
        parsed = decoder->parseGif();
    } else if (size >= 8 && std::memcmp(data, kPngSignature, 8) == 0) {
        decoder->format_ = "PNG";
        parsed = decoder->parsePng();
    } else if (size >= 12 && std::memcmp(data, "RIFF", 4) == 0 &&
               std::memcmp(data + 8, "WEBP", 4) == 0) {
        decoder->format_ = "WEBP";
        parsed = decoder->parseWebp();
    } else if (size >= 8 && std::memcmp(data, kMngSignature, 8) == 0) {
        decoder->format_ = "MNG";
        if (!decoder->readMng(cancel, failure)) {
            return nullptr;
        }
    } else if (IsJpegXl(data, size)) {
        decoder->format_ = "JXL";
        decoder->jxl_ = JxlFrames::Open(data, size, cancel, failure);
        if (!decoder->jxl_) {
            return nullptr;
        }
        decoder->columns_ = decoder->jxl_->Columns();
        decoder->rows_ = decoder->jxl_->Rows();
        decoder->loop_count_ = decoder->jxl_->LoopCount();
        for (const int delay : decoder->jxl_->DelaysMs()) {
            FrameInfo info;
            info.delay_ms = delay;
            decoder->frames_.push_back(info);
        }
    }
    if (!parsed) {
        failure = damagedFile("its frames cannot be read");
        return nullptr;
    }
    if (decoder->frames_.size() > 1 && overLimits(decoder->columns_, decoder->rows_)) {
        failure.failure = DecodeFailure::TooLarge;
        failure.message = "too large (" + std::to_string(decoder->columns_) + " \u00d7 " +
                          std::to_string(decoder->rows_) + " frames; the limit is " +
                          std::to_string(kMaximumPixelsReadWhole) + " pixels in all)";
        return nullptr;
    }
    if (decoder->frames_.size() <= 1 && decoder->whole_.size() <= 1) {
        // A still image: its one frame is what the still decoder gives.
        decoder->frames_.assign(1, FrameInfo{});
        decoder->whole_.clear();
        decoder->jxl_.reset();
        decoder->bytes_.reset();
        decoder->size_ = 0;
    }
    return decoder;
}

std::size_t AnimationDecoder::FrameCount() const {
    return whole_.empty() ? frames_.size() : whole_.size();
}

int AnimationDecoder::DelayMs(std::size_t k) const {
    return k < frames_.size() ? ShownDelayMs(frames_[k].delay_ms) : kShortDelayShownMs;
}

bool AnimationDecoder::parseGif() {
    const unsigned char* d = bytes_.get();
    const std::size_t n = size_;
    if (n < 13) {
        return false;
    }
    columns_ = le16(d + 6);
    rows_ = le16(d + 8);
    std::size_t pos = 13;
    std::size_t globalOffset = 0, globalEntries = 0;
    if (d[10] & 0x80) {
        globalEntries = std::size_t{1} << ((d[10] & 7) + 1);
        if (pos + 3 * globalEntries > n) {
            return false;
        }
        globalOffset = pos;
        pos += 3 * globalEntries;
    }
    // A file without a loop extension plays once; the extension counts the plays after the
    // first (0: for ever).
    loop_count_ = 1;
    // What the last graphic control extension said; it applies to the next image only.
    int delay = 0, transparent = -1;
    FrameInfo::Disposal disposal = FrameInfo::Disposal::None;
    auto skipSubBlocks = [&] {
        while (pos < n) {
            const std::size_t length = d[pos++];
            if (length == 0) {
                return true;
            }
            pos += length;
        }
        pos = n;
        return false;
    };
    std::size_t maxRight = 0, maxBottom = 0;
    while (pos < n) {
        const unsigned char introducer = d[pos++];
        if (introducer == 0x21 && pos < n) {
            const unsigned char label = d[pos++];
            if (label == 0xf9 && pos + 5 <= n && d[pos] >= 4) {
                const unsigned char packed = d[pos + 1];
                delay = static_cast<int>(le16(d + pos + 2)) * 10;
                transparent = (packed & 1) ? d[pos + 4] : -1;
                const int method = (packed >> 2) & 7;
                disposal = method == 2   ? FrameInfo::Disposal::Background
                           : method == 3 ? FrameInfo::Disposal::Previous
                                         : FrameInfo::Disposal::None;
            } else if (label == 0xff && pos + 16 <= n && d[pos] == 11 &&
                       (std::memcmp(d + pos + 1, "NETSCAPE2.0", 11) == 0 ||
                        std::memcmp(d + pos + 1, "ANIMEXTS1.0", 11) == 0) &&
                       d[pos + 12] >= 3 && d[pos + 13] == 1) {
                const int repeats = static_cast<int>(le16(d + pos + 14));
                loop_count_ = repeats == 0 ? 0 : repeats + 1;
            }
            if (!skipSubBlocks()) {
                break;
            }
        } else if (introducer == 0x2c) {
            if (pos + 9 > n) {
                break;
            }
            FrameInfo frame;
            frame.x = le16(d + pos);
            frame.y = le16(d + pos + 2);
            frame.width = le16(d + pos + 4);
            frame.height = le16(d + pos + 6);
            const unsigned char packed = d[pos + 8];
            pos += 9;
            frame.interlaced = (packed & 0x40) != 0;
            if (packed & 0x80) {
                frame.table_entries = std::size_t{1} << ((packed & 7) + 1);
                frame.table_offset = pos;
                pos += 3 * frame.table_entries;
                if (pos >= n) {
                    break;
                }
            } else {
                frame.table_offset = globalOffset;
                frame.table_entries = globalEntries;
            }
            const std::size_t start = pos;
            ++pos; // the LZW minimum code size
            const bool complete = skipSubBlocks();
            frame.parts.emplace_back(start, pos - start);
            frame.delay_ms = delay;
            frame.transparent = transparent;
            frame.disposal = disposal;
            delay = 0;
            transparent = -1;
            disposal = FrameInfo::Disposal::None;
            maxRight = std::max(maxRight, frame.x + frame.width);
            maxBottom = std::max(maxBottom, frame.y + frame.height);
            frames_.push_back(std::move(frame));
            if (!complete) {
                break; // the file ends inside the frame: what came is shown
            }
        } else {
            break; // the trailer, or bytes that are no block: the file ends here
        }
    }
    // A screen of no size (some writers leave it 0) is as large as its frames.
    if (columns_ == 0 || rows_ == 0) {
        columns_ = maxRight;
        rows_ = maxBottom;
    }
    return true;
}

bool AnimationDecoder::parsePng() {
    const unsigned char* d = bytes_.get();
    const std::size_t n = size_;
    std::size_t pos = 8;
    bool animated = false, dataSeen = false, ihdr = false;
    std::string ihdrRest;
    while (pos + 12 <= n) {
        const std::size_t length = be32(d + pos);
        if (length > n - pos - 12) {
            break; // a chunk longer than the file: the file ends here
        }
        const unsigned char* type = d + pos + 4;
        const unsigned char* body = d + pos + 8;
        const auto is = [type](const char* name) { return std::memcmp(type, name, 4) == 0; };
        if (is("IHDR") && length >= 13) {
            columns_ = be32(body);
            rows_ = be32(body + 4);
            ihdrRest.assign(reinterpret_cast<const char*>(body + 8), 5);
            ihdr = true;
        } else if (is("acTL") && length >= 8) {
            animated = true;
            loop_count_ = static_cast<int>(std::min<std::size_t>(be32(body + 4), 0x7fffffff));
        } else if (is("fcTL") && length >= 26) {
            FrameInfo frame;
            frame.width = be32(body + 4);
            frame.height = be32(body + 8);
            frame.x = be32(body + 12);
            frame.y = be32(body + 16);
            const std::size_t numerator = be16(body + 20);
            const std::size_t denominator = be16(body + 22);
            frame.delay_ms =
                static_cast<int>(numerator * 1000 / (denominator == 0 ? 100 : denominator));
            frame.disposal = body[24] == 1   ? FrameInfo::Disposal::Background
                             : body[24] == 2 ? FrameInfo::Disposal::Previous
                                             : FrameInfo::Disposal::None;
            frame.blend = body[25] == 1;
            frames_.push_back(std::move(frame));
        } else if (is("IDAT")) {
            // The default image is the first frame only when a frame control came before it.
            if (!frames_.empty()) {
                frames_.back().parts.emplace_back(pos + 8, length);
            }
            dataSeen = true;
        } else if (is("fdAT") && length >= 4) {
            if (!frames_.empty()) {
                frames_.back().parts.emplace_back(pos + 12, length - 4);
            }
        } else if (is("IEND")) {
            break;
        } else if (!dataSeen && (is("PLTE") || is("tRNS") || is("gAMA") || is("cHRM") ||
                                 is("sRGB") || is("sBIT"))) {
            // What every frame's pixels need to mean the same as the default image's.
            png_header_.append(reinterpret_cast<const char*>(d + pos), length + 12);
        }
        pos += length + 12;
    }
    if (!ihdr) {
        return false;
    }
    if (!animated) {
        frames_.clear();
        return true;
    }
    // Frames without data (a file cut short) are left out.
    frames_.erase(std::remove_if(frames_.begin(), frames_.end(),
                                 [](const FrameInfo& frame) { return frame.parts.empty(); }),
                  frames_.end());
    png_header_.insert(0, ihdrRest);
    return true;
}

bool AnimationDecoder::parseWebp() {
    const unsigned char* d = bytes_.get();
    const std::size_t end = std::min(size_, 8 + le32(d + 4));
    std::size_t pos = 12;
    bool animated = false;
    loop_count_ = 0;
    while (pos + 8 <= end) {
        const std::size_t length = le32(d + pos + 4);
        const std::size_t body = pos + 8;
        if (length > end - body) {
            break;
        }
        const auto is = [&](const unsigned char* at, const char* name) {
            return std::memcmp(at, name, 4) == 0;
        };
        if (is(d + pos, "VP8X") && length >= 10) {
            animated = (d[body] & 0x02) != 0;
            columns_ = le24(d + body + 4) + 1;
            rows_ = le24(d + body + 7) + 1;
        } else if (is(d + pos, "ANIM") && length >= 6) {
            loop_count_ = static_cast<int>(le16(d + body + 4));
        } else if (is(d + pos, "ANMF") && length >= 16) {
            FrameInfo frame;
            frame.x = le24(d + body) * 2;
            frame.y = le24(d + body + 3) * 2;
            frame.width = le24(d + body + 6) + 1;
            frame.height = le24(d + body + 9) + 1;
            frame.delay_ms = static_cast<int>(le24(d + body + 12));
            const unsigned char flags = d[body + 15];
            frame.blend = (flags & 0x02) == 0;
            frame.disposal =
                (flags & 0x01) ? FrameInfo::Disposal::Background : FrameInfo::Disposal::None;
            const std::size_t frameEnd = body + length;
            for (std::size_t sub = body + 16; sub + 8 <= frameEnd;) {
                const std::size_t subLength = le32(d + sub + 4);
                if (subLength > frameEnd - sub - 8) {
                    break;
                }
                if (is(d + sub, "ALPH")) {
                    frame.alpha_offset = sub;
                    frame.alpha_size = 8 + subLength;
                } else if (is(d + sub, "VP8 ") || is(d + sub, "VP8L")) {
                    frame.parts.emplace_back(sub, 8 + subLength);
                    break;
                }
                sub += 8 + subLength + (subLength & 1);
            }
            if (!frame.parts.empty()) {
                frames_.push_back(std::move(frame));
            }
        }
        pos = body + length + (length & 1);
    }
    if (!animated) {
        frames_.clear();
    }
    return true;
}

bool AnimationDecoder::readMng(const std::atomic<bool>* cancel, DecodeResult& failure) {
    BlobRequest request("MNG");
    // The library keeps every frame at 8 bytes a pixel: how many and how large they are is
    // asked first.
    std::size_t pixels = 0;
    if (::Image* pinged = request.Ping(bytes_.get(), size_)) {
        for (const ::Image* frame = pinged; frame != nullptr; frame = GetNextImageInList(frame)) {
            pixels += std::max<std::size_t>(frame->page.width, frame->columns) *
                      std::max<std::size_t>(frame->page.height, frame->rows);
        }
        DestroyImageList(pinged);
    }
    if (pixels * 4 > kMngFrameBudgetBytes) {
        return true; // shown as a still image
    }
    ClearMagickException(request.exception());
    ::Image* list = request.Read(bytes_.get(), size_);
    if (list == nullptr || Cancelled(cancel)) {
        if (list != nullptr) {
            DestroyImageList(list);
        }
        failure = damagedFile("its frames cannot be read");
        return false;
    }
    loop_count_ = static_cast<int>(list->iterations);
    ::Image* coalesced = CoalesceImages(list, request.exception());
    DestroyImageList(list);
    if (coalesced == nullptr) {
        failure = damagedFile("its frames cannot be read");
        return false;
    }
    columns_ = coalesced->columns;
    rows_ = coalesced->rows;
    for (::Image* frame = coalesced; frame != nullptr; frame = GetNextImageInList(frame)) {
        std::unique_ptr<Image> record = exported(frame, request.exception());
        if (!record || record->columns != columns_ || record->rows != rows_) {
            break;
        }
        FrameInfo info;
        const std::size_t ticks = frame->ticks_per_second > 0 ? frame->ticks_per_second : 100;
        info.delay_ms = static_cast<int>(frame->delay * 1000 / ticks);
        frames_.push_back(info);
        whole_.push_back(std::move(record));
    }
    DestroyImageList(coalesced);
    bytes_.reset();
    size_ = 0;
    return true;
}

std::string AnimationDecoder::frameBlob(std::size_t k) const {
    const FrameInfo& frame = frames_[k];
    const unsigned char* d = bytes_.get();
    std::string blob;
    if (format_ == "PNG") {
        blob.assign(reinterpret_cast<const char*>(kPngSignature), 8);
        std::string ihdr;
        putBe32(ihdr, frame.width);
        putBe32(ihdr, frame.height);
        ihdr += png_header_.substr(0, 5);
        putPngChunk(blob, "IHDR", reinterpret_cast<const unsigned char*>(ihdr.data()), 13);
        blob += png_header_.substr(5);
        for (const auto& [offset, size] : frame.parts) {
            putPngChunk(blob, "IDAT", d + offset, size);
        }
        putPngChunk(blob, "IEND", nullptr, 0);
    } else if (format_ == "WEBP") {
        std::string chunks;
        const auto addChunk = [&](std::size_t offset, std::size_t size) {
            chunks.append(reinterpret_cast<const char*>(d + offset), size);
            if (size & 1) {
                chunks += '\0';
            }
        };
        if (frame.alpha_size != 0) {
            // Lossy data with a separate alpha plane needs the extended header.
            chunks += "VP8X";
            putLe32(chunks, 10);
            chunks += '\x10';
            chunks.append(3, '\0');
            putLe24(chunks, frame.width - 1);
            putLe24(chunks, frame.height - 1);
            addChunk(frame.alpha_offset, frame.alpha_size);
        }
        addChunk(frame.parts.front().first, frame.parts.front().second);
        blob = "RIFF";
        putLe32(blob, chunks.size() + 4);
        blob += "WEBP";
        blob += chunks;
    }
    return blob;
}

std::unique_ptr<Image> AnimationDecoder::decodePart(std::size_t k,
                                                    const std::atomic<bool>* cancel) const {
    const FrameInfo& frame = frames_[k];
    if (frame.width == 0 || frame.height == 0 || overLimits(frame.width, frame.height) ||
        Cancelled(cancel)) {
        return nullptr;
    }
    const std::string blob = frameBlob(k);
    BlobRequest request(format_);
    ::Image* image = request.Read(blob.data(), blob.size());
    if (image == nullptr) {
        return nullptr;
    }
    // A damaged frame that still gave its size shows what could be read.
    std::unique_ptr<Image> part;
    if (image->columns != 0 && image->rows != 0) {
        part = exported(image, request.exception());
    }
    DestroyImageList(image);
    return part;
}

bool AnimationDecoder::prepare(std::size_t k, std::size_t& x0, std::size_t& y0, std::size_t& x1,
                               std::size_t& y1) {
    const auto clip = [this](const FrameInfo& f, std::size_t& left, std::size_t& top,
                             std::size_t& right, std::size_t& bottom) {
        left = std::min(f.x, columns_);
        top = std::min(f.y, rows_);
        right = std::min(f.x + f.width, columns_);
        bottom = std::min(f.y + f.height, rows_);
    };
    if (k == 0) {
        std::memset(canvas_->pixels.get(), 0, columns_ * rows_ * 4);
    } else {
        // What the frame before asked to be done with its part once it had been shown.
        const FrameInfo& before = frames_[k - 1];
        clip(before, x0, y0, x1, y1);
        if (before.disposal == FrameInfo::Disposal::Background && x1 > x0) {
            for (std::size_t y = y0; y < y1; ++y) {
                std::memset(canvas_->Row(y) + x0 * 4, 0, (x1 - x0) * 4);
            }
        } else if (before.disposal == FrameInfo::Disposal::Previous && saved_) {
            for (std::size_t y = y0; y < y1; ++y) {
                std::memcpy(canvas_->Row(y) + x0 * 4, saved_->Row(y - y0), (x1 - x0) * 4);
            }
        }
    }
    saved_.reset();
    const FrameInfo& frame = frames_[k];
    clip(frame, x0, y0, x1, y1);
    if (x1 <= x0 || y1 <= y0) {
        return false;
    }
    if (frame.disposal == FrameInfo::Disposal::Previous) {
        saved_ = newRecord(x1 - x0, y1 - y0);
        if (saved_) {
            for (std::size_t y = y0; y < y1; ++y) {
                std::memcpy(saved_->Row(y - y0), canvas_->Row(y) + x0 * 4, (x1 - x0) * 4);
            }
        }
    }
    return true;
}

void AnimationDecoder::compose(std::size_t k, const Image* part) {
    std::size_t x0, y0, x1, y1;
    if (!prepare(k, x0, y0, x1, y1) || part == nullptr) {
        return;
    }
    const bool blend = frames_[k].blend;
    x1 = std::min(x1, x0 + part->columns);
    y1 = std::min(y1, y0 + part->rows);
    for (std::size_t y = y0; y < y1; ++y) {
        const std::uint8_t* source = part->Row(y - y0);
        std::uint8_t* target = canvas_->Row(y) + x0 * 4;
        if (!blend) {
            std::memcpy(target, source, (x1 - x0) * 4);
            continue;
        }
        for (std::size_t x = 0; x < x1 - x0; ++x, source += 4, target += 4) {
            const unsigned alpha = source[3];
            if (alpha == 255) {
                std::memcpy(target, source, 4);
            } else if (alpha != 0) {
                // Straight alpha over straight alpha: the colours weighed by how much of each
                // shows.
                const float a = alpha / 255.0f;
                const float b = target[3] / 255.0f * (1 - a);
                const float out = a + b;
                for (int c = 0; c < 3; ++c) {
                    target[c] =
                        static_cast<std::uint8_t>((source[c] * a + target[c] * b) / out + 0.5f);
                }
                target[3] = static_cast<std::uint8_t>(out * 255 + 0.5f);
            }
        }
    }
}

namespace {

// Expands the LZW codes of a GIF image (its minimum code size byte, then sub-blocks of size
// bytes in all) into at most count colour indices at out. Returns how many came: a stream
// that ends early or holds an impossible code stops there, as browsers stop.
std::size_t expandLzw(const unsigned char* data, std::size_t size, std::uint8_t* out,
                      std::size_t count) {
    if (size < 2) {
        return 0;
    }
    const int minimum = std::clamp<int>(data[0], 2, 8);
    const int clear = 1 << minimum;
    const int end = clear + 1;
    std::array<std::uint16_t, 4096> prefix{};
    std::array<std::uint8_t, 4096> suffix{};
    std::array<std::uint8_t, 4097> stack{};
    for (int c = 0; c < clear; ++c) {
        suffix[static_cast<std::size_t>(c)] = static_cast<std::uint8_t>(c);
    }
    int codeSize = minimum + 1;
    int next = clear + 2;
    int old = -1;
    std::uint8_t first = 0;
    std::uint32_t bits = 0;
    int held = 0;
    std::size_t pos = 1, blockLeft = 0, written = 0;
    while (written < count) {
        while (held < codeSize) {
            if (blockLeft == 0) {
                if (pos >= size || data[pos] == 0) {
                    return written;
                }
                blockLeft = data[pos++];
            }
            if (pos >= size) {
                return written;
            }
            bits |= static_cast<std::uint32_t>(data[pos++]) << held;
            held += 8;
            --blockLeft;
        }
        int code = static_cast<int>(bits & ((1u << codeSize) - 1));
        bits >>= codeSize;
        held -= codeSize;
        if (code == clear) {
            codeSize = minimum + 1;
            next = clear + 2;
            old = -1;
            continue;
        }
        if (code == end) {
            return written;
        }
        if (old < 0) {
            if (code > clear) {
                return written;
            }
            out[written++] = static_cast<std::uint8_t>(code);
            old = code;
            first = static_cast<std::uint8_t>(code);
            continue;
        }
        const int in = code;
        std::size_t depth = 0;
        if (code >= next) {
            if (code > next) {
                return written; // a code the table does not have yet
            }
            stack[depth++] = first;
            code = old;
        }
        while (code > end) {
            stack[depth++] = suffix[static_cast<std::size_t>(code)];
            code = prefix[static_cast<std::size_t>(code)];
        }
        first = static_cast<std::uint8_t>(code);
        stack[depth++] = first;
        while (depth > 0 && written < count) {
            out[written++] = stack[--depth];
        }
        if (next < 4096) {
            prefix[static_cast<std::size_t>(next)] = static_cast<std::uint16_t>(old);
            suffix[static_cast<std::size_t>(next)] = first;
            ++next;
            if (next == (1 << codeSize) && codeSize < 12) {
                ++codeSize;
            }
        }
        old = in;
    }
    return written;
}

} // namespace

void AnimationDecoder::composeGif(std::size_t k) {
    std::size_t x0, y0, x1, y1;
    if (!prepare(k, x0, y0, x1, y1)) {
        return;
    }
    const FrameInfo& frame = frames_[k];
    const std::size_t count = frame.width * frame.height;
    indices_.resize(count);
    const auto& [offset, size] = frame.parts.front();
    const std::size_t rows =
        expandLzw(bytes_.get() + offset, size, indices_.data(), count) / frame.width;
    // The colours as BGRA, the transparent one clear; indices past the table are black.
    std::array<std::uint32_t, 256> colours{};
    const unsigned char* table = bytes_.get() + frame.table_offset;
    for (std::size_t i = 0; i < 256; ++i) {
        std::uint32_t bgra = 0xff000000u;
        if (i < frame.table_entries) {
            bgra |= static_cast<std::uint32_t>(table[i * 3]) << 16 |
                    static_cast<std::uint32_t>(table[i * 3 + 1]) << 8 | table[i * 3 + 2];
        } else if (frame.table_entries == 0) {
            bgra |= static_cast<std::uint32_t>(i * 0x010101u); // no table: grey levels
        }
        colours[i] = bgra;
    }
    const int transparent = frame.transparent;
    const std::size_t width = x1 - x0;
    for (std::size_t stored = 0; stored < rows; ++stored) {
        // Interlaced rows come every 8th from 0, every 8th from 4, every 4th from 2, then every
        // 2nd from 1.
        std::size_t y = stored;
        if (frame.interlaced) {
            const std::size_t h = frame.height;
            const std::size_t pass1 = (h + 7) / 8, pass2 = (h + 3) / 8, pass3 = (h + 1) / 4;
            y = stored < pass1                   ? stored * 8
                : stored < pass1 + pass2         ? (stored - pass1) * 8 + 4
                : stored < pass1 + pass2 + pass3 ? (stored - pass1 - pass2) * 4 + 2
                                                 : (stored - pass1 - pass2 - pass3) * 2 + 1;
        }
        if (frame.y + y >= y1) {
            continue;
        }
        const std::uint8_t* index = indices_.data() + stored * frame.width;
        auto* target = reinterpret_cast<std::uint32_t*>(canvas_->Row(frame.y + y) + x0 * 4);
        if (transparent < 0) {
            for (std::size_t x = 0; x < width; ++x) {
                target[x] = colours[index[x]];
            }
        } else {
            for (std::size_t x = 0; x < width; ++x) {
                if (index[x] != transparent) {
                    target[x] = colours[index[x]];
                }
            }
        }
    }
}

std::unique_ptr<Image> AnimationDecoder::DecodeFrame(std::size_t k,
                                                     const std::atomic<bool>* cancel) {
    if (k >= FrameCount() || Cancelled(cancel)) {
        return nullptr;
    }
    std::unique_ptr<Image> result;
    ExceptionInfo ignored; // a copy that fails is null, and that is all the caller needs
    if (!whole_.empty()) {
        result.reset(CloneImage(whole_[k].get(), 0, 0, true, &ignored));
    } else if (!bytes_) {
        result = DecodeImageFile(path_, cancel).image;
    } else if (jxl_) {
        result = jxl_->Frame(k, cancel);
        if (result) {
            canvas_.reset(CloneImage(result.get(), 0, 0, true, &ignored));
        } else if (canvas_ && !Cancelled(cancel)) {
            // A frame whose data is damaged: the one before it stays.
            result.reset(CloneImage(canvas_.get(), 0, 0, true, &ignored));
        }
    } else {
        if (!canvas_) {
            canvas_ = newRecord(columns_, rows_);
            if (!canvas_) {
                return nullptr;
            }
        }
        if (k < next_) {
            next_ = 0; // the frames build on each other: going back starts again
        }
        while (next_ <= k) {
            if (Cancelled(cancel)) {
                return nullptr;
            }
            if (format_ == "GIF") {
                composeGif(next_);
            } else {
                const std::unique_ptr<Image> part = decodePart(next_, cancel);
                if (Cancelled(cancel)) {
                    next_ = 0; // the canvas was left between two frames
                    return nullptr;
                }
                compose(next_, part.get());
            }
            ++next_;
        }
        result.reset(CloneImage(canvas_.get(), 0, 0, true, &ignored));
    }
    if (result) {
        result->filename = path_;
        if (!format_.empty()) {
            result->magick = format_;
        }
        if (bytes_ || !whole_.empty()) {
            // Frames are sRGB's (a JPEG XL's may be in its own profile); the first one, decoded
            // as a still, was converted to the monitor's profile, and the others must not look
            // different from it.
            ConvertImageForDisplay(*result, jxl_ ? jxl_->Profile() : std::string());
        }
    }
    return result;
}

} // namespace engine
