#include "RawDecoder.h"

#include <libraw/libraw.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <new>
#include <unistd.h>
#include <utility>
#include <vector>

namespace engine {
namespace {

const char* const kFormat = "RAW";

// LibRaw numbers its flips as dcraw did (bit 1 mirror, bit 2 flip, bit 4 transpose); the
// record is turned by the EXIF numbering every other format uses.
int exifOrientation(int flip) {
    switch (flip) {
    case 1:
        return 2;
    case 2:
        return 4;
    case 3:
        return 3;
    case 4:
        return 5;
    case 5:
        return 8;
    case 6:
        return 6;
    case 7:
        return 7;
    default:
        return 1;
    }
}

int cancelHandler(void* cancel, enum LibRaw_progress, int, int) {
    const auto* flag = static_cast<const std::atomic<bool>*>(cancel);
    return flag != nullptr && flag->load(std::memory_order_relaxed) ? 1 : 0;
}

// LibRaw's word that the sensor data is short or corrupt: it goes on with what it has (the
// rest of the picture black), which is shown and called damaged. Its own handler would print.
struct DataErrors {
    bool seen = false;
    bool ended = false; // the file ended before the data did
};

void dataErrorHandler(void* errors, const char*, const int offset) {
    auto* seen = static_cast<DataErrors*>(errors);
    seen->seen = true;
    seen->ended = seen->ended || offset < 0;
}

bool cancelled(const std::atomic<bool>* cancel) {
    return cancel != nullptr && cancel->load(std::memory_order_relaxed);
}

DecodeResult libraryFailure(int code, const std::atomic<bool>* cancel) {
    if (code == LIBRAW_CANCELLED_BY_CALLBACK || cancelled(cancel)) {
        return DirectFailure(DecodeFailure::Cancelled, {});
    }
    const std::string reason = libraw_strerror(code);
    if (code == LIBRAW_UNSUFFICIENT_MEMORY) {
        return DirectFailure(DecodeFailure::OutOfMemory, "not enough memory to decode it", reason);
    }
    if (code == LIBRAW_FILE_UNSUPPORTED) {
        return DirectFailure(DecodeFailure::NotAnImage,
                             "not an image this program can read (a camera file LibRaw does not "
                             "know)",
                             reason);
    }
    return DirectFailure(DecodeFailure::Damaged,
                         "damaged: the camera file cannot be read (" + reason + ")", reason);
}

// A file LibRaw reads through pread, a block at a time: the preview of a camera file is a few
// megabytes at its start or end, and nothing else of it need be read.
class DescriptorStream : public LibRaw_abstract_datastream {
public:
    DescriptorStream(int fd, std::size_t size) : fd_(fd), size_(static_cast<INT64>(size)) {}

    int valid() override { return fd_ >= 0 ? 1 : 0; }
    int read(void* target, size_t size, size_t count) override {
        if (size == 0) {
            return 0;
        }
        return static_cast<int>(copy(static_cast<unsigned char*>(target), size * count) / size);
    }
    int seek(INT64 offset, int whence) override {
        INT64 at = whence == SEEK_SET   ? offset
                   : whence == SEEK_CUR ? position_ + offset
                                        : size_ + offset;
        position_ = std::clamp<INT64>(at, 0, size_);
        return 0;
    }
    INT64 tell() override { return position_; }
    INT64 size() override { return size_; }
    int get_char() override {
        unsigned char c = 0;
        return copy(&c, 1) == 1 ? c : -1;
    }
    char* gets(char* line, int room) override {
        int length = 0;
        while (length < room - 1) {
            const int c = get_char();
            if (c < 0) {
                break;
            }
            line[length++] = static_cast<char>(c);
            if (c == '\n') {
                break;
            }
        }
        if (length == 0 || room <= 0) {
            return nullptr;
        }
        line[length] = '\0';
        return line;
    }
    // One word, read as scanf reads it (LibRaw asks for numbers in a few text headers).
    int scanf_one(const char* format, void* value) override {
        char word[32];
        int length = 0;
        int c = get_char();
        while (c == ' ' || c == '\t' || c == '\n' || c == '\r') {
            c = get_char();
        }
        while (c > 0 && c != ' ' && c != '\t' && c != '\n' && c != '\r' &&
               length < static_cast<int>(sizeof word) - 1) {
            word[length++] = static_cast<char>(c);
            c = get_char();
        }
        word[length] = '\0';
        return length == 0 ? -1 : std::sscanf(word, format, value);
    }
    int eof() override { return position_ >= size_ ? 1 : 0; }
    void* make_jas_stream() override { return nullptr; }

private:
    static constexpr std::size_t kBlockBytes = std::size_t{256} << 10;

    // Copies up to bytes from the position on; fewer at the file's end or on a read error.
    std::size_t copy(unsigned char* target, std::size_t bytes) {
        std::size_t done = 0;
        while (done < bytes && position_ < size_) {
            const INT64 inBlock = position_ - blockStart_;
            if (inBlock >= 0 && inBlock < static_cast<INT64>(block_.size())) {
                const std::size_t n =
                    std::min(bytes - done, block_.size() - static_cast<std::size_t>(inBlock));
                std::memcpy(target + done, block_.data() + inBlock, n);
                done += n;
                position_ += static_cast<INT64>(n);
                continue;
            }
            if (bytes - done >= kBlockBytes) {
                // A large read (the preview itself) goes straight to its target.
                const ssize_t got = ::pread(fd_, target + done, bytes - done, position_);
                if (got < 0 && errno == EINTR) {
                    continue;
                }
                if (got <= 0) {
                    break;
                }
                done += static_cast<std::size_t>(got);
                position_ += got;
                continue;
            }
            block_.resize(kBlockBytes);
            ssize_t got = -1;
            do {
                got = ::pread(fd_, block_.data(), kBlockBytes, position_);
            } while (got < 0 && errno == EINTR);
            if (got <= 0) {
                block_.clear();
                break;
            }
            block_.resize(static_cast<std::size_t>(got));
            blockStart_ = position_;
        }
        return done;
    }

    int fd_;
    INT64 size_;
    INT64 position_ = 0;
    std::vector<unsigned char> block_;
    INT64 blockStart_ = 0;
};

// One LibRaw instance with the file opened from memory. The object is large (hundreds of KB of
// tables), so it lives on the heap.
struct OpenedRaw {
    std::unique_ptr<DescriptorStream> stream; // before raw: LibRaw reads it until it goes
    std::unique_ptr<LibRaw> raw;
    DataErrors errors;
    int flip = 0;                      // the file's, read before processing can reset it
    std::size_t columns = 0, rows = 0; // the developed image's upright size
};

// Opens the file from memory (data) or, with data null, from opened.stream.
DecodeResult openRaw(const unsigned char* data, std::size_t size, const std::atomic<bool>* cancel,
                     OpenedRaw& opened) {
    opened.raw.reset(new (std::nothrow) LibRaw(LIBRAW_OPTIONS_NONE));
    if (!opened.raw) {
        return DirectFailure(DecodeFailure::OutOfMemory, "not enough memory to decode it");
    }
    LibRaw& raw = *opened.raw;
    raw.set_progress_handler(&cancelHandler, const_cast<std::atomic<bool>*>(cancel));
    raw.set_dataerror_handler(&dataErrorHandler, &opened.errors);
    // LibRaw only reads the buffer, but its interface predates const.
    const int opening = data != nullptr ? raw.open_buffer(const_cast<unsigned char*>(data), size)
                                        : raw.open_datastream(opened.stream.get());
    if (opening != LIBRAW_SUCCESS) {
        return libraryFailure(opening, cancel);
    }
    const libraw_image_sizes_t& sizes = raw.imgdata.sizes;
    if (sizes.width == 0 || sizes.height == 0) {
        return DirectFailure(DecodeFailure::Damaged,
                             "damaged: the camera file holds an image of no pixels");
    }
    opened.flip = sizes.flip;
    const bool turned = (sizes.flip & 4) != 0;
    opened.columns = turned ? sizes.height : sizes.width;
    opened.rows = turned ? sizes.width : sizes.height;
    return {};
}

// The embedded JPEG preview when it is at least the view's size (upright), decoded as JPEG
// files are. A result without an image when there is none that fits.
DecodeResult embeddedPreview(const DirectRequest& request, OpenedRaw& opened) {
    LibRaw& raw = *opened.raw;
    if (raw.unpack_thumb() != LIBRAW_SUCCESS ||
        raw.imgdata.thumbnail.tformat != LIBRAW_THUMBNAIL_JPEG ||
        raw.imgdata.thumbnail.thumb == nullptr || raw.imgdata.thumbnail.tlength == 0) {
        return {};
    }
    const libraw_thumbnail_t& thumb = raw.imgdata.thumbnail;
    // Checked before decoding where LibRaw knows the size: the long sides must cover the view.
    const std::size_t longSide = std::max<std::size_t>(thumb.twidth, thumb.theight);
    const std::size_t viewLong = std::max(request.view.columns, request.view.rows);
    if (longSide != 0 && longSide < viewLong) {
        return {};
    }
    DecodeResult preview =
        request.decode_jpeg(reinterpret_cast<const unsigned char*>(thumb.thumb), thumb.tlength);
    if (!preview.image || preview.damaged) {
        return {};
    }
    // Most previews carry no orientation of their own: the raw file's turns them.
    if (preview.orientation == 1) {
        preview.orientation = exifOrientation(opened.flip);
    }
    const bool turned = preview.orientation >= 5;
    const std::size_t columns = turned ? preview.image->rows : preview.image->columns;
    const std::size_t rows = turned ? preview.image->columns : preview.image->rows;
    if (columns < request.view.columns || rows < request.view.rows) {
        return {};
    }
    preview.reduced = true;
    preview.full_columns = opened.columns;
    preview.full_rows = opened.rows;
    preview.rendition = "embedded preview";
    preview.image->magick = kFormat;
    return preview;
}

// Widens rows of three bytes (blue, green, red), written at the start of each row of the
// record, to four in place, from each row's end so nothing is overwritten before it is read.
void widenRows(Image& record) {
    for (std::size_t y = 0; y < record.rows; ++y) {
        std::uint8_t* row = record.Row(y);
        for (std::size_t x = record.columns; x-- > 0;) {
            const std::uint8_t b = row[x * 3], g = row[x * 3 + 1], r = row[x * 3 + 2];
            row[x * 4] = b;
            row[x * 4 + 1] = g;
            row[x * 4 + 2] = r;
            row[x * 4 + 3] = 255;
        }
    }
}

DecodeResult develop(const DirectRequest& request, OpenedRaw& opened, bool half) {
    LibRaw& raw = *opened.raw;
    libraw_output_params_t& params = raw.imgdata.params;
    params.use_camera_wb = 1;
    params.use_camera_matrix = 1;
    params.output_color = 1; // sRGB
    params.output_bps = 8;
    params.highlight = 2; // blend clipped channels rather than let highlights turn magenta
    params.user_flip = 0; // turned with every other format's records, by the caller
    params.half_size = half ? 1 : 0;
    // Patterned pixel grouping: near AHD's quality at a fraction of its time.
    params.user_qual = 2;
    if (DecodeResult refusal = request.refuse(opened.columns, opened.rows);
        refusal.failure != DecodeFailure::None) {
        return refusal;
    }
    int code = raw.unpack();
    if (code == LIBRAW_SUCCESS) {
        code = raw.dcraw_process();
    }
    if (code != LIBRAW_SUCCESS) {
        return libraryFailure(code, request.cancel);
    }
    int width = 0, height = 0, colors = 0, bits = 0;
    raw.get_mem_image_format(&width, &height, &colors, &bits);
    if (width <= 0 || height <= 0 || colors != 3 || bits != 8) {
        return DirectFailure(DecodeFailure::Damaged,
                             "damaged: the camera file develops into no picture");
    }
    std::unique_ptr<Image> record =
        request.make_record(static_cast<std::size_t>(width), static_cast<std::size_t>(height));
    if (!record) {
        return DirectFailure(DecodeFailure::OutOfMemory, "not enough memory to decode it",
                             "the pixels could not be allocated");
    }
    code = raw.copy_mem_image(record->pixels.get(), width * 4, 1);
    if (code != LIBRAW_SUCCESS) {
        return libraryFailure(code, request.cancel);
    }
    widenRows(*record);
    record->magick = kFormat;
    DecodeResult result;
    result.image = std::move(record);
    result.orientation = exifOrientation(opened.flip);
    result.rendition = "developed";
    result.full_columns = opened.columns;
    result.full_rows = opened.rows;
    result.reduced = half;
    if (opened.errors.seen) {
        result.damaged = true;
        result.message = opened.errors.ended ? "damaged: the file ends before the image does"
                                             : "damaged: the camera's sensor data is corrupt";
    }
    return result;
}

} // namespace

DecodeResult DecodeCameraRaw(const DirectRequest& request) {
    OpenedRaw opened;
    if (DecodeResult failed = openRaw(request.data, request.size, request.cancel, opened);
        failed.failure != DecodeFailure::None) {
        return failed;
    }
    if (DecodeResult refusal = request.refuse(opened.columns, opened.rows);
        refusal.failure != DecodeFailure::None) {
        return refusal;
    }
    const bool firstView = request.view.columns != 0 && request.view.rows != 0;
    if (firstView) {
        if (DecodeResult preview = embeddedPreview(request, opened); preview.image) {
            return preview;
        }
        if (cancelled(request.cancel)) {
            return DirectFailure(DecodeFailure::Cancelled, {});
        }
    }
    // Half size averages each 2 x 2 block of the pattern instead of interpolating: four times
    // fewer pixels to develop, enough whenever the view is at most half the image.
    const bool half = firstView && request.view.columns * 2 <= opened.columns &&
                      request.view.rows * 2 <= opened.rows;
    return develop(request, opened, half);
}

DecodeResult CameraRawPreview(int fd, std::size_t size, const DirectRequest& request) {
    OpenedRaw opened;
    opened.stream.reset(new (std::nothrow) DescriptorStream(fd, size));
    if (!opened.stream) {
        return DirectFailure(DecodeFailure::OutOfMemory, "not enough memory to decode it");
    }
    if (DecodeResult failed = openRaw(nullptr, size, request.cancel, opened);
        failed.failure != DecodeFailure::None) {
        // Said by the decode of the whole file, which reads what this one could not.
        if (failed.failure == DecodeFailure::Cancelled) {
            return failed;
        }
        return {};
    }
    if (DecodeResult refusal = request.refuse(opened.columns, opened.rows);
        refusal.failure != DecodeFailure::None) {
        return refusal;
    }
    return embeddedPreview(request, opened);
}

DecodeResult PingCameraRaw(const unsigned char* data, std::size_t size) {
    OpenedRaw opened;
    if (DecodeResult failed = openRaw(data, size, nullptr, opened);
        failed.failure != DecodeFailure::None) {
        return failed;
    }
    DecodeResult result;
    result.image = std::make_unique<Image>();
    result.image->columns = opened.columns;
    result.image->rows = opened.rows;
    result.image->magick = kFormat;
    return result;
}

} // namespace engine
