#include "ImageDecoder.h"

#include "ColourManagement.h"
#include "DirectDecoders.h"
#include "HeifDecoder.h"
#include "JpegDecoder.h"
#include "JxlDecoder.h"
#include "MagickLibrary.h"
#include "Orientation.h"
#include "PagePopulator.h"
#include "PixelExport.h"
#include "PngChunks.h"
#include "PngDecoder.h"
#include "RawDecoder.h"
#include "TiffDecoder.h"
#include "TiffHeader.h"
#include "TwoParts.h"
#include "WebpDecoder.h"
#include "WebpHeader.h"
#include "platform/Memory.h"
#include "platform/Timing.h"

#include <magick/MagickCore.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <new>
#include <sys/mman.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

static_assert(sizeof(PixelPacket) == 8, "rows are read as 16-bit blue, green, red, opacity");

namespace engine {
namespace {

// A metadata chunk (text, EXIF, XMP, ICC) larger than this is skipped, never inflated.
constexpr std::size_t kMaximumMetadataBytes = std::size_t{4} << 20;
// Records larger than this live in a file of the per-user cache folder, not in memory.
constexpr std::size_t kMaximumMemoryBytes = std::size_t{1} << 30;
// The reduced copy of such a record has at most this many pixels.
constexpr std::size_t kReducedPixels = std::size_t{64} << 20;
// A ping reads this much of a file first; only when that does not tell the size, all of it.
constexpr std::size_t kPingBytes = std::size_t{1} << 20;

const char* const kNotAnImage = "not an image this program can read";
const char* const kNotRegular = "not a regular file";

double millisecondsSince(LONGLONG start) {
    LONGLONG now = 0;
    QueryPerformanceCounter(&now);
    return static_cast<double>(now - start) / 1e6;
}

DecodeResult failure(DecodeFailure why, std::string message, std::string reason = {}) {
    DecodeResult result;
    result.failure = why;
    result.message = std::move(message);
    result.reason = std::move(reason);
    return result;
}

std::string limitText() {
    return "the limit is " + std::to_string(kMaximumSide) + " pixels a side and " +
           std::to_string(kMaximumPixels) + " pixels in all";
}

DecodeResult tooLarge(std::size_t columns, std::size_t rows, const std::string& limit) {
    std::string message = "too large (";
    if (columns != 0 && rows != 0) {
        message += std::to_string(columns) + " \u00d7 " + std::to_string(rows) + "; ";
    }
    return failure(DecodeFailure::TooLarge, message + limit + ")");
}

bool overLimits(std::size_t columns, std::size_t rows) {
    return columns > static_cast<std::size_t>(kMaximumSide) ||
           rows > static_cast<std::size_t>(kMaximumSide) ||
           static_cast<long double>(columns) * rows > static_cast<long double>(kMaximumPixels);
}

// What the library gets as a name: only a hint of the format from the extension. The bytes are
// handed over in memory, so nothing in a name ("format:" prefixes, "[frame]" suffixes, "@"
// lists, "|" pipes) is ever interpreted, and the library never opens a file itself.
std::string formatHint(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    const std::size_t dot = path.rfind('.');
    std::string hint = "image";
    if (dot != std::string::npos && (slash == std::string::npos || dot > slash)) {
        std::string extension;
        for (std::size_t i = dot + 1; i < path.size() && extension.size() < 16; ++i) {
            if (std::isalnum(static_cast<unsigned char>(path[i]))) {
                extension += path[i];
            }
        }
        if (!extension.empty()) {
            hint += "." + extension;
        }
    }
    return hint;
}

// The library's words name the file by the hint it was given ("`image.jpg'"): the user's own
// name goes in its place.
void nameTheFile(DecodeResult& result, const std::string& path) {
    const std::string given = "`" + formatHint(path) + "'";
    for (std::string* text : {&result.message, &result.reason}) {
        for (std::size_t at = text->find(given); at != std::string::npos;
             at = text->find(given, at + path.size() + 2)) {
            text->replace(at, given.size(), "`" + path + "'");
        }
    }
}

struct FileBytes {
    std::unique_ptr<unsigned char[]> data;
    std::size_t size = 0;
    std::size_t whole = 0; // the file's size
};

class Descriptor {
public:
    explicit Descriptor(int fd) : fd_(fd) {}
    ~Descriptor() {
        if (fd_ >= 0) {
            ::close(fd_);
        }
    }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    int get() const { return fd_; }

private:
    int fd_;
};

// Opens path without ever blocking (a FIFO or a device is refused before it is read) and reads
// up to limit bytes of it. False with result filled on failure.
bool readFile(const std::string& path, std::size_t limit, const std::atomic<bool>* cancel,
              FileBytes& bytes, DecodeResult& result) {
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0) {
        result =
            failure(DecodeFailure::CannotOpen, "the file cannot be opened", std::strerror(errno));
        result.error_code = errno;
        return false;
    }
    if (!S_ISREG(info.st_mode)) {
        result = failure(DecodeFailure::NotRegularFile, kNotRegular,
                         S_ISDIR(info.st_mode) ? "it is a folder"
                                               : "it is a device, a FIFO or a socket");
        return false;
    }
    const Descriptor fd(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY));
    if (fd.get() < 0) {
        result =
            failure(DecodeFailure::CannotOpen, "the file cannot be opened", std::strerror(errno));
        result.error_code = errno;
        return false;
    }
    // Checked again on what was opened: the name may have been swapped meanwhile.
    if (::fstat(fd.get(), &info) != 0 || !S_ISREG(info.st_mode)) {
        result = failure(DecodeFailure::NotRegularFile, kNotRegular);
        return false;
    }
    if (info.st_size <= 0) {
        result = failure(DecodeFailure::Damaged, "damaged: the file is empty");
        return false;
    }
    if (info.st_size > kMaximumFileBytes) {
        result = failure(DecodeFailure::TooLarge,
                         "too large (" + std::to_string(info.st_size) + " bytes; the limit is " +
                             std::to_string(kMaximumFileBytes) + " bytes)");
        return false;
    }
    bytes.whole = static_cast<std::size_t>(info.st_size);
    const std::size_t wanted = std::min(bytes.whole, limit);
    bytes.data.reset(new (std::nothrow) unsigned char[wanted]);
    if (!bytes.data) {
        result = failure(DecodeFailure::OutOfMemory, "not enough memory to read it");
        return false;
    }
    bytes.size = 0;
    while (bytes.size < wanted) {
        if (Cancelled(cancel)) {
            result = failure(DecodeFailure::Cancelled, {});
            return false;
        }
        const std::size_t chunk = std::min<std::size_t>(wanted - bytes.size, 8 << 20);
        platform::PrepareForWriting(bytes.data.get() + bytes.size, chunk);
        const ssize_t got = ::read(fd.get(), bytes.data.get() + bytes.size, chunk);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got < 0) {
            result =
                failure(DecodeFailure::CannotOpen, "the file cannot be read", std::strerror(errno));
            result.error_code = errno;
            return false;
        }
        if (got == 0) {
            break; // the file shrank while it was read: decode what is there
        }
        bytes.size += static_cast<std::size_t>(got);
    }
    if (bytes.size == 0) {
        result = failure(DecodeFailure::Damaged, "damaged: the file is empty");
        return false;
    }
    return true;
}

// The library's option record for bytes, with the format detected from them.
class LibraryRequest {
public:
    LibraryRequest(const std::string& path, const FileBytes& bytes, const std::atomic<bool>* cancel)
        : info_(AcquireImageInfo()), exception_(AcquireExceptionInfo()) {
        std::snprintf(info_->filename, sizeof info_->filename, "%s", formatHint(path).c_str());
        // Only the first frame of a multi-frame file is shown.
        info_->scene = 0;
        info_->number_scenes = 1;
        SetImageOption(info_, "png:chunk-malloc-max",
                       std::to_string(kMaximumMetadataBytes).c_str());
        SetImageInfoBlob(info_, bytes.data.get(), bytes.size);
        if (cancel != nullptr) {
            SetImageInfoProgressMonitor(info_, &LibraryRequest::progress,
                                        const_cast<std::atomic<bool>*>(cancel));
        }
        SetImageInfo(info_, 0, exception_);
    }
    ~LibraryRequest() {
        SetImageInfoBlob(info_, nullptr, 0); // the bytes belong to the caller
        DestroyImageInfo(info_);
        DestroyExceptionInfo(exception_);
    }
    LibraryRequest(const LibraryRequest&) = delete;
    LibraryRequest& operator=(const LibraryRequest&) = delete;

    ImageInfo* info() const { return info_; }
    ::ExceptionInfo* exception() const { return exception_; }
    std::string format() const { return info_->magick; }

private:
    // Called by the coders as they go; false stops them.
    static MagickBooleanType progress(const char*, const MagickOffsetType, const MagickSizeType,
                                      void* cancel) {
        return Cancelled(static_cast<const std::atomic<bool>*>(cancel)) ? MagickFalse : MagickTrue;
    }

    ImageInfo* info_;
    ::ExceptionInfo* exception_;
};

// The failure the library's exception stands for.
DecodeResult fromException(const ::ExceptionInfo* exception, const std::atomic<bool>* cancel) {
    if (Cancelled(cancel)) {
        return failure(DecodeFailure::Cancelled, {});
    }
    const std::string reason = exception->reason != nullptr ? exception->reason : "";
    const std::string description = exception->description != nullptr ? exception->description : "";
    const ::ExceptionType severity = exception->severity;
    if (severity == MissingDelegateError || severity == PolicyError || severity == ModuleError ||
        reason.find("no decode delegate") != std::string::npos ||
        reason.find("not authorized") != std::string::npos) {
        return failure(DecodeFailure::NotAnImage, kNotAnImage, reason);
    }
    if (reason.find("exceeds limit") != std::string::npos ||
        reason.find("cache resources exhausted") != std::string::npos) {
        return tooLarge(0, 0, limitText());
    }
    if (severity == ::ResourceLimitError) {
        return failure(DecodeFailure::OutOfMemory, "not enough memory to decode it", reason);
    }
    if (reason.empty()) {
        // Some coders give up without a word.
        return failure(DecodeFailure::Damaged, "damaged: the image library could not decode it");
    }
    return failure(DecodeFailure::Damaged,
                   "damaged: " + reason + (description.empty() ? "" : " (" + description + ")"),
                   reason);
}

// A coder that gives up on a corrupt file (with a corrupt-image error, or without a word) may
// still have handed over what it read: that is shown, and called damaged, as long as the
// failure is the file's, not the system's (no error number).
bool damagedButShown(const ::ExceptionInfo* exception) {
    return exception->error_number == 0 &&
           (exception->severity < ErrorException || exception->severity == CorruptImageError ||
            exception->severity == CoderError);
}

std::string damageText(const ::ExceptionInfo* exception) {
    return std::string("damaged: ") + (exception->reason != nullptr && *exception->reason != '\0'
                                           ? exception->reason
                                           : "the file ends before the image does");
}

// Averages blocks of factor x factor pixels of the rows handed to it into target, as they come.
class RowReducer {
public:
    RowReducer(Image& target, std::size_t factor, std::size_t columns)
        : target_(target), factor_(factor), columns_(columns), sums_(target.columns * 4, 0) {}

    void Add(const std::uint8_t* row) {
        std::uint32_t* sum = sums_.data();
        for (std::size_t x = 0; x < columns_; x += factor_) {
            const std::size_t end = std::min(columns_, x + factor_);
            std::uint32_t b = 0, g = 0, r = 0, a = 0;
            for (std::size_t i = x; i < end; ++i) {
                b += row[i * 4];
                g += row[i * 4 + 1];
                r += row[i * 4 + 2];
                a += row[i * 4 + 3];
            }
            sum[0] += b;
            sum[1] += g;
            sum[2] += r;
            sum[3] += a;
            sum += 4;
        }
        if (++band_ == factor_) {
            Flush();
        }
    }

    // Writes the last, partial band of rows.
    void Flush() {
        if (band_ == 0 || row_ >= target_.rows) {
            return;
        }
        std::uint8_t* out = target_.Row(row_);
        for (std::size_t x = 0; x < target_.columns; ++x) {
            const std::size_t width = std::min(factor_, columns_ - x * factor_);
            const std::uint32_t count = static_cast<std::uint32_t>(width * band_);
            for (int c = 0; c < 4; ++c) {
                out[x * 4 + c] = static_cast<std::uint8_t>((sums_[x * 4 + c] + count / 2) / count);
            }
        }
        std::fill(sums_.begin(), sums_.end(), 0);
        band_ = 0;
        ++row_;
    }

private:
    Image& target_;
    std::size_t factor_;
    std::size_t columns_;
    std::vector<std::uint32_t> sums_;
    std::size_t band_ = 0;
    std::size_t row_ = 0;
};

// A record of columns x rows: in memory, or for a very large image in a cache file with a
// reduced copy beside it.
std::unique_ptr<Image> makeRecord(std::size_t columns, std::size_t rows) {
    auto record = std::unique_ptr<Image>(new (std::nothrow) Image);
    if (!record) {
        return nullptr;
    }
    record->columns = columns;
    record->rows = rows;
    const std::size_t bytes = columns * rows * 4;
    if (bytes <= kMaximumMemoryBytes) {
        record->pixels = AllocatePixels(bytes);
        return record->pixels ? std::move(record) : nullptr;
    }
    record->pixels = AllocateFilePixels(bytes);
    std::size_t factor = 2;
    while ((columns + factor - 1) / factor * ((rows + factor - 1) / factor) > kReducedPixels) {
        factor *= 2;
    }
    auto reduced = std::unique_ptr<Image>(new (std::nothrow) Image);
    if (!record->pixels || !reduced) {
        return nullptr;
    }
    reduced->columns = (columns + factor - 1) / factor;
    reduced->rows = (rows + factor - 1) / factor;
    reduced->pixels = AllocatePixels(reduced->columns * reduced->rows * 4);
    if (!reduced->pixels) {
        return nullptr;
    }
    record->reduced = std::move(reduced);
    record->reduced_factor = factor;
    return record;
}

// Megabytes of memory the system could give this process now, or 0 when it does not say.
std::uint64_t availableMegabytes() {
    std::FILE* file = std::fopen("/proc/meminfo", "r");
    if (file == nullptr) {
        return 0;
    }
    char line[256];
    std::uint64_t kilobytes = 0;
    while (std::fgets(line, sizeof line, file) != nullptr) {
        if (std::sscanf(line, "MemAvailable: %lu kB", &kilobytes) == 1) {
            break;
        }
    }
    std::fclose(file);
    return kilobytes / 1024;
}

// Formats the library reads into its own 16-bit copy first (every PNG: its coder clears that
// copy even when the rows are streamed) need 8 bytes a pixel for a moment: refused with a word
// rather than left to drive the machine into swap or the kernel to kill the program.
DecodeResult beyondFreeMemory(std::uint64_t columns, std::uint64_t rows) {
    const std::uint64_t neededMb = (columns * rows * 8) >> 20;
    const std::uint64_t freeMb = availableMegabytes();
    if (freeMb == 0 || neededMb < freeMb / 10 * 9) {
        return {};
    }
    return failure(DecodeFailure::TooLarge,
                   "too large for the free memory (" + std::to_string(columns) + " \u00d7 " +
                       std::to_string(rows) + " needs " + std::to_string(neededMb) +
                       " MB to decode; " + std::to_string(freeMb) + " MB are free)");
}

// Refuses a PNG whose size is over the limits or the free memory, or whose image data is shorter
// than its pixels divided by 1032 (the most deflate packs into one byte): such a file has lost
// its end, and a header that promises 20000 x 20000 pixels over a few bytes would otherwise take
// gigabytes before the library noticed.
DecodeResult pngHeaderRefusal(const PngLayout& png) {
    if (!png.valid) {
        return {};
    }
    if (overLimits(png.width, png.height)) {
        return tooLarge(png.width, png.height, limitText());
    }
    if (DecodeResult refusal = beyondFreeMemory(png.width, png.height);
        refusal.failure != DecodeFailure::None) {
        return refusal;
    }
    if (png.imageDataBytes * 1032 + 1024 < png.PixelBytes()) {
        return failure(DecodeFailure::Damaged, "damaged: the file ends long before the image does");
    }
    return {};
}

// The PNG coder writes true-colour rows, and gray ones of 8 or 16 bits, as they are; palette
// colours, gray levels of fewer bits and transparency (tRNS) it fills in afterwards from its
// colour map, in a pass over the whole image that a stream never sees.
// Only such rows, and those of JPEG and WebP, come whole, once, top to bottom and final, so that
// the stream can place them by counting; other coders (bottom-up BMP, interlaced GIF, tiled TIFF)
// are read whole.
bool pngRowsAreFinal(const PngLayout& png) {
    const bool gray = png.colorType == 0 || png.colorType == 4;
    return png.valid && png.imageData && !png.transparency && png.colorType != 3 &&
           !(gray && png.depth < 8);
}

// What the file says about how its pixels are meant to be shown.
struct ViewingHints {
    int orientation = 1;
    std::string icc_profile;
};

// A camera set to Adobe RGB often embeds no profile and says so in EXIF instead: colour space
// "uncalibrated" with the interoperability index of the Adobe RGB option file, "R03".
bool exifSaysAdobeRgb(::Image* image) {
    const char* space = GetImageProperty(image, "exif:ColorSpace");
    if (space == nullptr || std::strcmp(space, "65535") != 0) {
        return false;
    }
    for (const char* name :
         {"exif:InteroperabilityIndex", "exif:thumbnail:InteroperabilityIndex"}) {
        const char* index = GetImageProperty(image, name);
        if (index != nullptr && std::strncmp(index, "R03", 3) == 0) {
            return true;
        }
    }
    return false;
}

ViewingHints readViewingHints(const ::Image* image) {
    ViewingHints hints;
    auto* source = const_cast<::Image*>(image); // reading a property may parse the EXIF block
    const char* exif = GetImageProperty(source, "exif:Orientation");
    int tagged = exif != nullptr ? std::atoi(exif) : 0;
    if (tagged < 1 || tagged > 8) {
        // The library parses only EXIF blocks that begin "Exif\0\0", as JPEG's do; WebP's
        // holds the TIFF structure alone.
        if (const StringInfo* block = GetImageProfile(image, "exif")) {
            tagged = ExifOrientation(GetStringInfoDatum(block), GetStringInfoLength(block));
        }
    }
    if (tagged < 1 || tagged > 8) {
        tagged = static_cast<int>(image->orientation); // TIFF's own tag
    }
    // libheif has already turned HEIF and AVIF pictures by their rotation and mirror
    // properties; an EXIF orientation there only repeats what has been done.
    const std::string format = image->magick;
    if (format == "HEIC" || format == "HEIF" || format == "AVIF") {
        tagged = 1;
    }
    hints.orientation = tagged >= 1 && tagged <= 8 ? tagged : 1;
    if (const StringInfo* profile = GetImageProfile(image, "icc")) {
        hints.icc_profile.assign(reinterpret_cast<const char*>(GetStringInfoDatum(profile)),
                                 GetStringInfoLength(profile));
    }
    if (hints.icc_profile.empty() && exifSaysAdobeRgb(source)) {
        hints.icc_profile = AdobeRgbProfile();
    }
    return hints;
}

// What the rows streamed by the library are written into, for the one decode running on this
// thread (the library calls back on the thread that reads).
struct StreamTarget {
    const std::atomic<bool>* cancel = nullptr;
    std::unique_ptr<Image> record;
    std::unique_ptr<PagePopulator> populator; // after record: stops before the record goes
    std::unique_ptr<RowReducer> reducer;
    std::size_t next_row = 0;
    std::unique_ptr<FinishedRows> written; // of record
    ViewingHints hints;
    DecodeResult stopped;    // why the rows were refused, when they were
    bool read_whole = false; // rows this loop cannot place: read the file whole instead
    // CMYK rows: the embedded CMYK profile's conversion, looked up at the first row.
    std::shared_ptr<const ColourTransform> cmyk_profile;
    bool cmyk_profile_checked = false;
    // Other rows: converted from the embedded profile behind the decoder. Last, so that it
    // stops before the record goes.
    std::unique_ptr<StreamConversion> conversion;
    bool conversion_checked = false;
};

thread_local StreamTarget* streamTarget = nullptr;

// The conversion of the CMYK profile the file embeds, or null when it has none that lcms2 reads.
std::shared_ptr<const ColourTransform> cmykProfile(std::string_view profile) {
    std::shared_ptr<const ColourTransform> transform = FindColourTransform(profile);
    return transform && TransformColours(*transform) == ProfileColours::Cmyk ? transform : nullptr;
}

// One row of the library's CMYK pixels (cyan in red, magenta in green, yellow in blue, black
// in the index queue) as lcms2 wants them: four 16-bit inks a pixel.
void packInks(const PixelPacket* packets, const IndexPacket* black, std::size_t columns,
              std::vector<std::uint16_t>& inks) {
    inks.resize(columns * 4);
    for (std::size_t x = 0; x < columns; ++x) {
        inks[x * 4 + 0] = packets[x].red;
        inks[x * 4 + 1] = packets[x].green;
        inks[x * 4 + 2] = packets[x].blue;
        inks[x * 4 + 3] = black[x];
    }
}

// Converts one row of CMYK to the record: through the embedded profile from the 16-bit inks,
// rounded to 8 bits like every other row; without one, by the plain formula.
void cmykRow(StreamTarget& target, const PixelPacket* packets, const IndexPacket* black,
             std::uint8_t* out, std::size_t columns, bool matte) {
    if (!target.cmyk_profile_checked) {
        target.cmyk_profile = cmykProfile(target.hints.icc_profile);
        target.cmyk_profile_checked = true;
    }
    if (target.cmyk_profile) {
        // Kept from row to row, and from image to image on this thread.
        thread_local std::vector<std::uint16_t> inks, bgro;
        packInks(packets, black, columns, inks);
        bgro.resize(columns * 4);
        ConvertCmykToBgr16(*target.cmyk_profile, inks.data(), bgro.data(), columns);
        for (std::size_t x = 0; x < columns; ++x) {
            bgro[x * 4 + 3] = packets[x].opacity;
        }
        ExportBgra(bgro.data(), out, columns, matte);
        return;
    }
    for (std::size_t x = 0; x < columns; ++x) {
        const std::uint32_t white = 65535u - black[x];
        out[x * 4 + 0] = SampleToByte((65535u - packets[x].blue) * white / 65535u);
        out[x * 4 + 1] = SampleToByte((65535u - packets[x].green) * white / 65535u);
        out[x * 4 + 2] = SampleToByte((65535u - packets[x].red) * white / 65535u);
        out[x * 4 + 3] = matte ? SampleToByte(65535u - packets[x].opacity) : 255;
    }
}

// Hands the rows written so far to the conversion from the embedded profile, which starts at
// the first row. A record with a reduced copy (made from the rows as they come) is converted
// whole afterwards instead, and so is one whose profile comes after its rows (WebP).
void convertRows(StreamTarget& target) {
    if (!target.conversion_checked) {
        target.conversion_checked = true;
        if (!target.record->reduced && !target.hints.icc_profile.empty()) {
            try {
                target.conversion =
                    std::make_unique<StreamConversion>(*target.record, target.hints.icc_profile);
            } catch (const std::bad_alloc&) {
                // converted afterwards, if memory allows then
            }
        }
    }
    if (target.conversion) {
        target.conversion->RowsWritten(target.next_row);
    }
}

// Pixels that are not red, green and blue samples (CMYK, YCbCr, Lab, ...) are converted.
// Linear RGB and gray samples are shown as stored, as the files hold them.
bool needsColorTransform(ColorspaceType colorspace) {
    return colorspace != sRGBColorspace && colorspace != RGBColorspace &&
           colorspace != GRAYColorspace && colorspace != LinearGRAYColorspace &&
           colorspace != TransparentColorspace && colorspace != Rec601LumaColorspace &&
           colorspace != Rec709LumaColorspace && colorspace != UndefinedColorspace;
}

// Rows the stream callback can convert itself: what needs no transform, and CMYK.
bool rowColorspaceKnown(ColorspaceType colorspace) {
    return !needsColorTransform(colorspace) || colorspace == CMYKColorspace;
}

// The library's stream callback: one row of columns pixels (or, with null pixels, a notice).
// Returning anything but columns stops the coder.
size_t streamRow(const ::Image* image, const void* pixels, const size_t columns) {
    StreamTarget& target = *streamTarget;
    if (pixels == nullptr) {
        return columns;
    }
    if (Cancelled(target.cancel)) {
        target.stopped = failure(DecodeFailure::Cancelled, {});
        return 0;
    }
    if (!target.record) {
        // Some coders (PNG) clear the library's whole-image cache before the first row even
        // when rows are streamed. The stream keeps its row at the start of that block and never
        // touches the rest again, so those pages go back now.
        MagickSizeType cacheBytes = 0;
        ::ExceptionInfo* ignored = AcquireExceptionInfo();
        const std::size_t rowBytes = image->columns * (sizeof(PixelPacket) + sizeof(IndexPacket));
        const void* cache = AcquirePixelCachePixels(image, &cacheBytes, ignored);
        if (cache != nullptr && cacheBytes > rowBytes) {
            auto* first = reinterpret_cast<std::uint8_t*>(
                (reinterpret_cast<std::uintptr_t>(cache) + rowBytes + 4095) &
                ~std::uintptr_t{4095});
            auto* last = reinterpret_cast<std::uint8_t*>(
                (reinterpret_cast<std::uintptr_t>(cache) + cacheBytes) & ~std::uintptr_t{4095});
            if (last > first) {
                ::madvise(first, static_cast<std::size_t>(last - first), MADV_DONTNEED);
            }
        }
        DestroyExceptionInfo(ignored);
        if (overLimits(image->columns, image->rows)) {
            target.stopped = tooLarge(image->columns, image->rows, limitText());
            return 0;
        }
        target.hints = readViewingHints(image);
        target.record = makeRecord(image->columns, image->rows);
        if (!target.record) {
            target.stopped = failure(DecodeFailure::OutOfMemory, "not enough memory to decode it",
                                     "the pixels could not be allocated");
            return 0;
        }
        target.populator = PopulatePages(*target.record);
        target.written = std::make_unique<FinishedRows>(*target.record);
        if (target.record->reduced) {
            target.reducer = std::make_unique<RowReducer>(
                *target.record->reduced, target.record->reduced_factor, image->columns);
        }
    }
    Image& record = *target.record;
    if (columns != record.columns || image->columns != record.columns ||
        image->rows != record.rows || target.next_row >= record.rows ||
        !rowColorspaceKnown(image->colorspace)) {
        target.read_whole = true;
        return 0;
    }
    std::uint8_t* out = record.Row(target.next_row);
    const auto* packets = static_cast<const PixelPacket*>(pixels);
    const IndexPacket* indexes = GetAuthenticIndexQueue(image);
    if (image->colorspace == CMYKColorspace) {
        if (indexes == nullptr) {
            target.read_whole = true;
            return 0;
        }
        cmykRow(target, packets, indexes, out, columns, image->matte != MagickFalse);
    } else {
        ExportBgra(reinterpret_cast<const std::uint16_t*>(packets), out, columns,
                   image->matte != MagickFalse);
    }
    if (target.reducer) {
        target.reducer->Add(out);
    }
    ++target.next_row;
    if (image->colorspace != CMYKColorspace) {
        convertRows(target);
    }
    target.written->Upto(target.next_row);
    return columns;
}

// Streams the rows of an image whose coder writes them in order. With read_whole set the
// caller reads the file whole instead. A size ("640x480") lets the JPEG coder decode at the
// smallest DCT scale that is at least that large.
DecodeResult streamDecode(const std::string& path, const FileBytes& bytes,
                          const std::atomic<bool>* cancel, bool& read_whole,
                          const std::string& size = {}) {
    LibraryRequest request(path, bytes, cancel);
    if (!size.empty()) {
        SetImageOption(request.info(), "jpeg:size", size.c_str());
    }
    StreamTarget target;
    target.cancel = cancel;
    streamTarget = &target;
    ::Image* image = ReadStream(request.info(), streamRow, request.exception());
    streamTarget = nullptr;
    if (image != nullptr) {
        // Some coders (JPEG's "premature end") leave their warnings on the image.
        InheritException(request.exception(), &image->exception);
    }
    const ::ExceptionInfo* exception = request.exception();
    const bool failed = image == nullptr || exception->severity >= ErrorException;
    std::string format = image != nullptr ? image->magick : request.format();
    if (image != nullptr && target.hints.orientation == 1) {
        // The WebP coder reads its EXIF chunk only after the rows, as it does its ICCP chunk.
        target.hints.orientation = readViewingHints(image).orientation;
    }
    if (image != nullptr && target.hints.icc_profile.empty()) {
        // The WebP coder reads its ICCP chunk only after the rows: the profile is on the image
        // it returns, not on the one the first row came with.
        target.hints.icc_profile = readViewingHints(image).icc_profile;
    }
    if (image != nullptr) {
        DestroyImageList(image);
    }
    if (target.stopped.failure != DecodeFailure::None) {
        return std::move(target.stopped);
    }
    if (Cancelled(cancel)) {
        // Stopped by the progress monitor rather than at a row, which leaves no error behind:
        // without this the rows never written were filled in as for a file cut short, a whole
        // image's worth of work for a result that is thrown away.
        return failure(DecodeFailure::Cancelled, {});
    }
    if (target.read_whole || (!failed && !target.record)) {
        read_whole = true;
        return {};
    }
    if (failed && !(target.record && target.next_row > 0 && damagedButShown(exception))) {
        return fromException(exception, cancel);
    }
    DecodeResult result;
    if (target.next_row < target.record->rows) {
        // The coder stopped early: show what came, say it is damaged. The rows it never wrote
        // are grey, as a short JPEG's are, never what the memory held before.
        result.damaged = true;
        result.message = failed ? damageText(exception)
                                : std::string("damaged: the file ends before the image does");
        const std::size_t rowBytes = target.record->columns * 4;
        for (std::size_t y = target.next_row; y < target.record->rows; ++y) {
            std::memset(target.record->Row(y), 128, rowBytes);
            std::uint8_t* row = target.record->Row(y);
            for (std::size_t x = 0; x < target.record->columns; ++x) {
                row[x * 4 + 3] = 255;
            }
        }
    } else if (failed || exception->severity == CorruptImageWarning) {
        result.damaged = true;
        result.message = damageText(exception);
    }
    target.populator.reset();
    if (target.conversion && target.conversion->Active()) {
        target.conversion->Finish();
        result.icc_profile_applied = true;
    }
    result.icc_profile_applied = result.icc_profile_applied || target.cmyk_profile != nullptr;
    if (target.reducer) {
        target.reducer->Flush();
    }
    ReleaseResidentPages(target.record->pixels, 0,
                         target.record->columns * target.record->rows * 4);
    target.record->filename = path;
    target.record->magick = format;
    result.image = std::move(target.record);
    result.orientation = target.hints.orientation;
    result.icc_profile = std::move(target.hints.icc_profile);
    return result;
}

// Converts a CMYK image read whole to sRGB in the library's own pixels through the CMYK
// profile it embeds, from the 16-bit inks. False, with nothing changed, when it embeds none that
// lcms2 reads.
bool cmykThroughProfile(::Image* image) {
    const StringInfo* embedded = GetImageProfile(image, "icc");
    const std::shared_ptr<const ColourTransform> transform =
        embedded == nullptr ? nullptr
                            : cmykProfile(std::string_view(
                                  reinterpret_cast<const char*>(GetStringInfoDatum(embedded)),
                                  GetStringInfoLength(embedded)));
    if (!transform) {
        return false;
    }
    ::ExceptionInfo* ignored = AcquireExceptionInfo();
    std::vector<std::uint16_t> inks, bgro(image->columns * 4);
    for (std::size_t y = 0; y < image->rows; ++y) {
        PixelPacket* packets =
            GetAuthenticPixels(image, 0, static_cast<ssize_t>(y), image->columns, 1, ignored);
        const IndexPacket* black = GetAuthenticIndexQueue(image);
        if (packets == nullptr || black == nullptr) {
            break; // the library cannot give the row: the rows left stay as they were read
        }
        packInks(packets, black, image->columns, inks);
        ConvertCmykToBgr16(*transform, inks.data(), bgro.data(), image->columns);
        for (std::size_t x = 0; x < image->columns; ++x) {
            packets[x].blue = bgro[x * 4];
            packets[x].green = bgro[x * 4 + 1];
            packets[x].red = bgro[x * 4 + 2];
        }
        SyncAuthenticPixels(image, ignored);
    }
    DestroyExceptionInfo(ignored);
    SetImageColorspace(image, sRGBColorspace);
    return true;
}

// Reads the image whole with the library (16 bits a sample) and exports it to the record.
DecodeResult wholeDecode(const std::string& path, const FileBytes& bytes,
                         const std::atomic<bool>* cancel) {
    LibraryRequest request(path, bytes, cancel);
    {
        // The library's copy takes 8 bytes a pixel: the size is checked before it is made.
        ::Image* pinged =
            PingBlob(request.info(), bytes.data.get(), bytes.size, request.exception());
        if (pinged != nullptr) {
            const std::size_t columns = pinged->columns, rows = pinged->rows;
            DestroyImageList(pinged);
            if (overLimits(columns, rows)) {
                return tooLarge(columns, rows, limitText());
            }
            if (static_cast<long double>(columns) * rows > kMaximumPixelsReadWhole) {
                return tooLarge(columns, rows,
                                "the limit for this format is " +
                                    std::to_string(kMaximumPixelsReadWhole) + " pixels in all");
            }
            if (DecodeResult refusal = beyondFreeMemory(columns, rows);
                refusal.failure != DecodeFailure::None) {
                return refusal;
            }
        } else if (request.exception()->severity >= ErrorException) {
            return fromException(request.exception(), cancel);
        }
        ClearMagickException(request.exception());
    }
    ::Image* decoded =
        BlobToImage(request.info(), bytes.data.get(), bytes.size, request.exception());
    if (decoded != nullptr) {
        InheritException(request.exception(), &decoded->exception);
    }
    const ::ExceptionInfo* exception = request.exception();
    bool cmykApplied = false;
    const bool accepted =
        decoded != nullptr && (exception->severity < ErrorException || damagedButShown(exception));
    if (accepted && needsColorTransform(decoded->colorspace)) {
        cmykApplied = decoded->colorspace == CMYKColorspace && cmykThroughProfile(decoded);
        if (!cmykApplied) {
            TransformImageColorspace(decoded, sRGBColorspace);
        }
    }
    if (decoded != nullptr && (decoded->columns == 0 || decoded->rows == 0)) {
        DestroyImageList(decoded);
        return failure(DecodeFailure::Damaged, "damaged: the file holds an image of no pixels");
    }
    if (!accepted) {
        if (decoded != nullptr) {
            DestroyImageList(decoded);
        }
        return fromException(exception, cancel);
    }
    DecodeResult result;
    if (exception->severity == CorruptImageWarning || exception->severity >= ErrorException) {
        result.damaged = true;
        result.message = damageText(exception);
    }
    std::unique_ptr<Image> record = makeRecord(decoded->columns, decoded->rows);
    bool exported = record != nullptr;
    if (exported) {
        const bool matte = decoded->matte != MagickFalse;
        const std::size_t count = decoded->columns * decoded->rows;
        const PixelPacket* whole = GetImagePixelCacheType(decoded) == MemoryCache
                                       ? GetVirtualPixels(decoded, 0, 0, decoded->columns,
                                                          decoded->rows, request.exception())
                                       : nullptr;
        if (whole != nullptr && !record->reduced) {
            // Straight from the library's pixel memory, in two halves at once: the copy is
            // bound by memory bandwidth, which one core alone does not use up.
            const auto* samples = reinterpret_cast<const std::uint16_t*>(whole);
            std::uint8_t* target = record->pixels.get();
            const std::size_t half = count >= (std::size_t{1} << 20) ? count / 2 : count;
            RunInTwoParts(half, count, [=](std::size_t begin, std::size_t end) {
                ExportBgra(samples + begin * 4, target + begin * 4, end - begin, matte);
            });
        } else {
            std::unique_ptr<RowReducer> reducer;
            if (record->reduced) {
                reducer = std::make_unique<RowReducer>(*record->reduced, record->reduced_factor,
                                                       record->columns);
            }
            for (std::size_t y = 0; exported && y < decoded->rows; ++y) {
                const PixelPacket* packets = GetVirtualPixels(
                    decoded, 0, static_cast<ssize_t>(y), decoded->columns, 1, request.exception());
                if (packets == nullptr) {
                    exported = false;
                    break;
                }
                ExportBgra(reinterpret_cast<const std::uint16_t*>(packets), record->Row(y),
                           decoded->columns, matte);
                if (reducer) {
                    reducer->Add(record->Row(y));
                }
            }
            if (reducer) {
                reducer->Flush();
            }
        }
    }
    const std::string format = decoded->magick;
    ViewingHints hints = readViewingHints(decoded);
    DestroyImageList(decoded);
    if (!exported) {
        return failure(DecodeFailure::OutOfMemory, "not enough memory to decode it",
                       "the pixels could not be exported");
    }
    record->filename = path;
    record->magick = format;
    result.image = std::move(record);
    result.orientation = hints.orientation;
    result.icc_profile = std::move(hints.icc_profile);
    result.icc_profile_applied = cmykApplied;
    return result;
}

// A JPEG's reduced first view: the size to ask the coder for, and the upright size of the whole
// image. Empty when the view needs the image at full size (or more), or the header is unreadable.
struct JpegReduction {
    std::string size;
    std::size_t full_columns = 0, full_rows = 0;
};

JpegReduction planJpegReduction(const std::string& path, const FileBytes& bytes, ViewSize view) {
    JpegReduction plan;
    if (view.columns == 0 || view.rows == 0) {
        return plan;
    }
    LibraryRequest request(path, bytes, nullptr);
    ::Image* pinged = PingBlob(request.info(), bytes.data.get(), bytes.size, request.exception());
    if (pinged == nullptr) {
        return plan;
    }
    const std::size_t columns = pinged->columns, rows = pinged->rows;
    const int orientation = readViewingHints(pinged).orientation;
    DestroyImageList(pinged);
    if (columns == 0 || rows == 0 || overLimits(columns, rows)) {
        return plan; // the full decode gives the refusal
    }
    // The coder divides by the whole number of times the stored image holds this size, and the
    // JPEG library rounds its scale up to eighths: the rows come at least this large.
    const ViewSize wanted = JpegFirstViewSize(columns, rows, orientation, view);
    if (wanted.columns == 0) {
        return plan;
    }
    const bool quarter = TurnsAQuarter(orientation);
    plan.size = std::to_string(wanted.columns) + "x" + std::to_string(wanted.rows);
    plan.full_columns = quarter ? rows : columns;
    plan.full_rows = quarter ? columns : rows;
    return plan;
}

// What every decoded record goes through before anyone sees it.
void finishDecode(DecodeResult& result) {
    if (!result.image) {
        return;
    }
    result.orientation_applied = OrientImage(*result.image, result.orientation);
    if (!result.icc_profile_applied) {
        // Also from sRGB to the monitor's profile, when the desktop has one, for pictures
        // without a profile: that is no conversion from theirs.
        result.icc_profile_applied = ConvertImageForDisplay(*result.image, result.icc_profile) &&
                                     !result.icc_profile.empty();
    }
}

// Camera RAW, JPEG XL, HEIC and AVIF, read by their own libraries into records made here, under
// the limits every other format has.
DirectRequest directRequest(const std::string& path, const std::atomic<bool>* cancel,
                            ViewSize view) {
    DirectRequest request;
    request.cancel = cancel;
    request.view = view;
    request.refuse = [](std::size_t columns, std::size_t rows) {
        return overLimits(columns, rows) ? tooLarge(columns, rows, limitText())
                                         : beyondFreeMemory(columns, rows);
    };
    request.make_record = &makeRecord;
    request.decode_jpeg = [&path, cancel, view](const unsigned char* data, std::size_t size) {
        FileBytes preview;
        preview.data.reset(new (std::nothrow) unsigned char[size]);
        if (!preview.data) {
            return failure(DecodeFailure::OutOfMemory, "not enough memory to read it");
        }
        std::memcpy(preview.data.get(), data, size);
        preview.size = preview.whole = size;
        // Named as a JPEG, so the library never takes the camera file's extension for a hint.
        bool read_whole = false;
        DecodeResult result = streamDecode("preview.jpg", preview, cancel, read_whole,
                                           planJpegReduction("preview.jpg", preview, view).size);
        if (read_whole) {
            result = wholeDecode("preview.jpg", preview, cancel);
        }
        if (result.image) {
            result.image->filename = path;
        }
        return result;
    };
    return request;
}

// Decodes bytes with one of the engine's own decoders and fills the record's reduced copy.
DecodeResult decodeWith(DecodeResult (*decoder)(const DirectRequest&), const std::string& path,
                        const FileBytes& bytes, const std::atomic<bool>* cancel, ViewSize view) {
    DirectRequest request = directRequest(path, cancel, view);
    request.data = bytes.data.get();
    request.size = bytes.size;
    DecodeResult result = decoder(request);
    if (!result.image) {
        return result;
    }
    Image& record = *result.image;
    record.filename = path;
    if (record.reduced) {
        RowReducer reducer(*record.reduced, record.reduced_factor, record.columns);
        for (std::size_t y = 0; y < record.rows; ++y) {
            reducer.Add(record.Row(y));
        }
        reducer.Flush();
    }
    return result;
}

DecodeResult directDecode(DirectFormat format, const std::string& path, const FileBytes& bytes,
                          const std::atomic<bool>* cancel, ViewSize view) {
    switch (format) {
    case DirectFormat::CameraRaw:
        return decodeWith(&DecodeCameraRaw, path, bytes, cancel, view);
    case DirectFormat::JpegXl:
        return decodeWith(&DecodeJpegXl, path, bytes, cancel, view);
    case DirectFormat::Heif:
        return decodeWith(&DecodeHeif, path, bytes, cancel, view);
    case DirectFormat::None:
        break;
    }
    return failure(DecodeFailure::NotAnImage, kNotAnImage);
}

// A camera file's first view from its preview, reading only its headers and the preview: the
// file is tens of megabytes, and reading it whole took longer than decoding the preview.
// A result with neither image nor failure when the file is no camera file or has no preview
// that covers the view.
DecodeResult cameraPreview(const std::string& path, const std::atomic<bool>* cancel,
                           ViewSize view) {
    constexpr std::size_t kHeadBytes = std::size_t{64} << 10;
    FileBytes head;
    DecodeResult result;
    if (!readFile(path, kHeadBytes, cancel, head, result)) {
        return result;
    }
    if (SniffDirectFormat(head.data.get(), head.size) != DirectFormat::CameraRaw) {
        return {};
    }
    const Descriptor fd(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY));
    struct stat info {};
    if (fd.get() < 0 || ::fstat(fd.get(), &info) != 0 || !S_ISREG(info.st_mode) ||
        info.st_size <= 0 || info.st_size > kMaximumFileBytes) {
        return {}; // the whole read says why
    }
    result = CameraRawPreview(fd.get(), static_cast<std::size_t>(info.st_size),
                              directRequest(path, cancel, view));
    if (result.image) {
        result.image->filename = path;
    }
    return result;
}

DecodeResult directPing(DirectFormat format, const std::string& path, const FileBytes& bytes) {
    DecodeResult result;
    switch (format) {
    case DirectFormat::CameraRaw:
        result = PingCameraRaw(bytes.data.get(), bytes.size);
        break;
    case DirectFormat::JpegXl:
        result = PingJpegXl(bytes.data.get(), bytes.size);
        break;
    case DirectFormat::Heif:
        result = PingHeif(bytes.data.get(), bytes.size);
        break;
    case DirectFormat::None:
        return failure(DecodeFailure::NotAnImage, kNotAnImage);
    }
    if (result.image) {
        result.image->filename = path;
    }
    return result;
}

// What a ping gives for a header read here.
DecodeResult pinged(const std::string& path, const char* format, std::size_t columns,
                    std::size_t rows, int orientation) {
    DecodeResult result;
    result.image = std::make_unique<Image>();
    result.image->columns = columns;
    result.image->rows = rows;
    result.image->filename = path;
    result.image->magick = format;
    result.orientation = orientation;
    return result;
}

// A TIFF's first directory, read from the part of the file already in bytes or, when it lies
// beyond them, from the file itself (opened as readFile opens it).
TiffHeader tiffHeader(const std::string& path, const FileBytes& bytes) {
    std::unique_ptr<Descriptor> file;
    return ReadTiffHeader([&](std::uint64_t offset, std::size_t length, unsigned char* out) {
        if (offset + length <= bytes.size) {
            std::memcpy(out, bytes.data.get() + offset, length);
            return true;
        }
        if (offset + length > bytes.whole) {
            return false;
        }
        if (!file) {
            file = std::make_unique<Descriptor>(
                ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY));
            struct stat info {};
            if (file->get() < 0 || ::fstat(file->get(), &info) != 0 || !S_ISREG(info.st_mode)) {
                return false;
            }
        }
        for (std::size_t done = 0; done < length;) {
            const ssize_t got =
                ::pread(file->get(), out + done, length - done, static_cast<off_t>(offset + done));
            if (got < 0 && errno == EINTR) {
                continue;
            }
            if (got <= 0) {
                return false;
            }
            done += static_cast<std::size_t>(got);
        }
        return true;
    });
}

} // namespace

DecodeResult DecodeImageFile(const std::string& path, const std::atomic<bool>* cancel,
                             ViewSize view) {
    InitializeMagick(nullptr);
    LONGLONG start = 0;
    QueryPerformanceCounter(&start);
    DecodeResult result;
    if (view.columns != 0 && view.rows != 0) {
        result = cameraPreview(path, cancel, view);
        if (result.image || result.failure != DecodeFailure::None) {
            finishDecode(result);
            result.decode_ms = millisecondsSince(start);
            return result;
        }
    }
    FileBytes bytes;
    if (!readFile(path, static_cast<std::size_t>(kMaximumFileBytes), cancel, bytes, result)) {
        return result;
    }
    if (const DirectFormat direct = SniffDirectFormat(bytes.data.get(), bytes.size);
        direct != DirectFormat::None) {
        result = directDecode(direct, path, bytes, cancel, view);
        if (Cancelled(cancel)) {
            result = failure(DecodeFailure::Cancelled, {});
        }
        finishDecode(result);
        result.decode_ms = millisecondsSince(start);
        return result;
    }
    bool read_whole = true;
    bool decoded = false;
    // libpng reads a PNG's eXIf chunk itself, and the image library never asks it for it.
    int pngOrientation = 0;
    JpegReduction reduction;
    {
        LibraryRequest probe(path, bytes, nullptr);
        const std::string format = probe.format();
        if (format == "JPEG" || format == "JPG" || format == "PJPEG" || format == "WEBP") {
            read_whole = false;
            if (format != "WEBP") {
                result = decodeWith(&DecodeJpeg, path, bytes, cancel, view);
                decoded = result.image || result.failure != DecodeFailure::None;
                if (!decoded) {
                    reduction = planJpegReduction(path, bytes, view);
                }
            } else {
                result = decodeWith(&DecodeWebp, path, bytes, cancel, view);
                decoded = result.image || result.failure != DecodeFailure::None;
            }
        } else if (format.rfind("PNG", 0) == 0) {
            bytes.size = DropPngMetadata(bytes.data.get(), bytes.size, kMaximumMetadataBytes);
            const PngLayout png = ReadPngLayout(bytes.data.get(), bytes.size);
            pngOrientation = PngExifOrientation(bytes.data.get(), bytes.size);
            result = pngHeaderRefusal(png);
            if (result.failure != DecodeFailure::None) {
                result.decode_ms = millisecondsSince(start);
                return result;
            }
            read_whole = !pngRowsAreFinal(png);
            if (IsPng(bytes.data.get(), bytes.size)) {
                result = decodeWith(&DecodePng, path, bytes, cancel, view);
                decoded = result.image || result.failure != DecodeFailure::None;
            }
        } else if (format == "TIFF" || format == "TIFF64") {
            result = decodeWith(&DecodeTiff, path, bytes, cancel, view);
            decoded = result.image || result.failure != DecodeFailure::None;
        }
    }
    if (!decoded && !read_whole) {
        result = streamDecode(path, bytes, cancel, read_whole, reduction.size);
    }
    if (!decoded && read_whole) {
        result = wholeDecode(path, bytes, cancel);
    }
    if (Cancelled(cancel)) {
        result = failure(DecodeFailure::Cancelled, {});
    }
    if (pngOrientation != 0 && result.orientation == 1) {
        result.orientation = pngOrientation;
    }
    nameTheFile(result, path);
    finishDecode(result);
    if (result.image && !reduction.size.empty() &&
        (result.image->columns < reduction.full_columns ||
         result.image->rows < reduction.full_rows)) {
        result.reduced = true;
        result.full_columns = reduction.full_columns;
        result.full_rows = reduction.full_rows;
    }
    result.decode_ms = millisecondsSince(start);
    return result;
}

DecodeResult PingImageFile(const std::string& path) {
    InitializeMagick(nullptr);
    DecodeResult result;
    FileBytes bytes;
    for (std::size_t limit = kPingBytes;; limit = static_cast<std::size_t>(kMaximumFileBytes)) {
        if (!readFile(path, limit, nullptr, bytes, result)) {
            return result;
        }
        if (const DirectFormat direct = SniffDirectFormat(bytes.data.get(), bytes.size);
            direct != DirectFormat::None) {
            result = directPing(direct, path, bytes);
            if (result.image || bytes.size == bytes.whole) {
                return result;
            }
            continue; // the part read does not tell: the whole file does
        }
        if (const TiffHeader tiff = tiffHeader(path, bytes); tiff.valid) {
            return pinged(path, "TIFF", tiff.columns, tiff.rows, tiff.orientation);
        }
        if (const WebpHeader webp = ReadWebpHeader(bytes.data.get(), bytes.size); webp.valid) {
            if (!webp.orientation_known && bytes.size != bytes.whole) {
                continue; // the EXIF chunk lies beyond the part read
            }
            return pinged(path, "WEBP", webp.columns, webp.rows, webp.orientation);
        }
        bytes.size = DropPngMetadata(bytes.data.get(), bytes.size, kMaximumMetadataBytes);
        LibraryRequest request(path, bytes, nullptr);
        ::Image* pinged =
            PingBlob(request.info(), bytes.data.get(), bytes.size, request.exception());
        const bool ok = pinged != nullptr && request.exception()->severity < ErrorException &&
                        pinged->columns > 0 && pinged->rows > 0;
        if (ok) {
            result.image = std::make_unique<Image>();
            result.image->columns = pinged->columns;
            result.image->rows = pinged->rows;
            result.image->filename = path;
            result.image->magick = pinged->magick;
            result.orientation = readViewingHints(pinged).orientation;
            if (result.orientation == 1 && result.image->magick.rfind("PNG", 0) == 0) {
                if (const int png = PngExifOrientation(bytes.data.get(), bytes.size); png != 0) {
                    result.orientation = png;
                }
            }
        } else {
            result = fromException(request.exception(), nullptr);
        }
        if (pinged != nullptr) {
            DestroyImageList(pinged);
        }
        if (ok || bytes.size == bytes.whole) {
            return result;
        }
    }
}

bool ReadImageFileBytes(const std::string& path, std::size_t limit, const std::atomic<bool>* cancel,
                        std::unique_ptr<unsigned char[]>& data, std::size_t& size,
                        std::size_t& whole, DecodeResult& result) {
    FileBytes bytes;
    if (!readFile(path, limit, cancel, bytes, result)) {
        return false;
    }
    data = std::move(bytes.data);
    size = bytes.size;
    whole = bytes.whole;
    return true;
}

} // namespace engine
