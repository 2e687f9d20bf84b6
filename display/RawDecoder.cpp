#include "RawDecoder.h"

#include <libraw/libraw.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <new>
#include <system_error>
#include <thread>
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

double nowMs() {
    return std::chrono::duration<double, std::milli>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

thread_local RawDevelopTimes lastTimes;

// What LibRaw's progress calls look at: the cancel flag, and the stages' times as they begin.
struct Progress {
    const std::atomic<bool>* cancel = nullptr;
    RawDevelopTimes* times = nullptr;
    LibRaw_progress stage = LIBRAW_PROGRESS_START;
    double since = 0;

    // Closes the stage under way, if any, and starts the next one.
    void begin(LibRaw_progress next, double at) {
        if (times != nullptr && stage != LIBRAW_PROGRESS_START) {
            times->stages.emplace_back(libraw_strprogress(stage), at - since);
        }
        stage = next;
        since = at;
    }
};

int progressHandler(void* data, enum LibRaw_progress stage, int, int) {
    auto* progress = static_cast<Progress*>(data);
    if (progress->times != nullptr && stage != progress->stage) {
        progress->begin(stage, nowMs());
    }
    return progress->cancel != nullptr && progress->cancel->load(std::memory_order_relaxed) ? 1 : 0;
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

DecodeResult libraryFailure(int code, const std::atomic<bool>* cancel) {
    if (code == LIBRAW_CANCELLED_BY_CALLBACK || Cancelled(cancel)) {
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

// Runs work(first, end) over parts of [0, count) on every core, the calling thread taking one.
template <typename Work> void acrossCores(std::size_t count, const Work& work) {
    const std::size_t parts = std::clamp<std::size_t>(std::thread::hardware_concurrency(), 1,
                                                      std::max<std::size_t>(1, count / 64));
    std::vector<std::thread> helpers;
    for (std::size_t part = 1; part < parts; ++part) {
        try {
            helpers.emplace_back(work, count * part / parts, count * (part + 1) / parts);
        } catch (const std::system_error&) {
            work(count * part / parts, count * (part + 1) / parts); // no thread to be had
        }
    }
    work(0, count / parts);
    for (std::thread& helper : helpers) {
        helper.join();
    }
}

// Pixels [first, end) of the image less their channel's black level (none for zeros, as LibRaw
// leaves them) and times their channel's multiplier, clipped to 16 bits.
void scalePixels(ushort (*image)[4], std::size_t first, std::size_t end, const unsigned* black,
                 const float* mul) {
    const auto clip = [](int v) { return static_cast<ushort>(std::clamp(v, 0, 65535)); };
    if (black[0] != 0 || black[1] != 0 || black[2] != 0 || black[3] != 0) {
        const int b[4] = {static_cast<int>(black[0]), static_cast<int>(black[1]),
                          static_cast<int>(black[2]), static_cast<int>(black[3])};
        for (std::size_t i = first; i < end; ++i) {
            for (int c = 0; c < 4; ++c) {
                const int val = image[i][c];
                if (val != 0) {
                    image[i][c] = clip(static_cast<int>(static_cast<float>(val - b[c]) * mul[c]));
                }
            }
        }
    } else {
        const float m[4] = {mul[0], mul[1], mul[2], mul[3]};
        for (std::size_t i = first; i < end; ++i) {
            for (int c = 0; c < 4; ++c) {
                image[i][c] = clip(static_cast<int>(static_cast<float>(image[i][c]) * m[c]));
            }
        }
    }
}

// Rows [first, end) of a Bayer mosaic (filters in LibRaw's packing) into the four-channel
// image, each sample in its colour's channel less that colour's black level (zero below it), as
// LibRaw copies them; shrink halves both sides. Gives the largest value written.
ushort bayerRows(const ushort* raw, std::size_t pitch, std::size_t first, std::size_t end,
                 std::size_t columns, unsigned filters, const ushort* black, ushort (*image)[4],
                 std::size_t width, unsigned shrink) {
    ushort largest = 0;
    for (std::size_t row = first; row < end; ++row) {
        const ushort* in = raw + row * pitch;
        const auto colour = [&](std::size_t col) {
            return static_cast<int>(filters >> ((((row << 1) & 14) | (col & 1)) << 1) & 3);
        };
        const int c[2] = {colour(0), colour(1)};
        const ushort b[2] = {black[c[0]], black[c[1]]};
        ushort(*out)[4] = image + (row >> shrink) * width;
        for (std::size_t col = 0; col < columns; ++col) {
            const std::size_t odd = col & 1;
            ushort val = in[col];
            if (val > b[odd]) {
                val = static_cast<ushort>(val - b[odd]);
                largest = std::max(largest, val);
            } else {
                val = 0;
            }
            out[col >> shrink][c[odd]] = val;
        }
    }
    return largest;
}

// Puts count pixels through LibRaw's camera-to-output matrix (unless raw, when they are left as
// they are), each counted into histogram (4 x LIBRAW_HISTOGRAM_SIZE) by its level / 8. Every
// value is a parameter or a local, so the stores into the histogram cannot be taken to change
// them and the loop stays tight.
void matrixPixels(ushort (*pixel)[4], std::size_t count, const float (*matrix)[4], int colours,
                  bool raw, int* histogram) {
    float m[3][4] = {};
    for (int i = 0; i < 3; ++i) {
        for (int c = 0; c < colours; ++c) {
            m[i][c] = matrix[i][c];
        }
    }
    int* const h0 = histogram;
    int* const h1 = histogram + LIBRAW_HISTOGRAM_SIZE;
    int* const h2 = histogram + 2 * LIBRAW_HISTOGRAM_SIZE;
    const auto clip = [](float v) {
        return static_cast<ushort>(std::clamp(static_cast<int>(v), 0, 65535));
    };
    if (!raw && colours == 3) {
        for (std::size_t i = 0; i < count; ++i) {
            ushort* img = pixel[i];
            const float r = img[0], g = img[1], b = img[2];
            img[0] = clip(m[0][0] * r + m[0][1] * g + m[0][2] * b);
            img[1] = clip(m[1][0] * r + m[1][1] * g + m[1][2] * b);
            img[2] = clip(m[2][0] * r + m[2][1] * g + m[2][2] * b);
            ++h0[img[0] >> 3];
            ++h1[img[1] >> 3];
            ++h2[img[2] >> 3];
        }
        return;
    }
    for (std::size_t i = 0; i < count; ++i) {
        ushort* img = pixel[i];
        if (!raw) {
            float out[3] = {0, 0, 0};
            for (int c = 0; c < colours; ++c) {
                out[0] += m[0][c] * img[c];
                out[1] += m[1][c] * img[c];
                out[2] += m[2][c] * img[c];
            }
            for (int c = 0; c < 3; ++c) {
                img[c] = clip(out[c]);
            }
        }
        for (int c = 0; c < colours; ++c) {
            ++histogram[c * LIBRAW_HISTOGRAM_SIZE + (img[c] >> 3)];
        }
    }
}

// Puts count pixels through the 16-bit curve to 8-bit BGRA, opaque; grey ones from channel 0.
void curvePixels(const ushort (*pixel)[4], std::size_t count, const ushort* curve, bool grey,
                 std::uint8_t* out) {
    for (std::size_t i = 0; i < count; ++i, out += 4) {
        const std::uint32_t r = curve[pixel[i][0]] >> 8;
        const std::uint32_t g = grey ? r : curve[pixel[i][1]] >> 8;
        const std::uint32_t b = grey ? r : curve[pixel[i][2]] >> 8;
        const std::uint32_t bgra = b | g << 8 | r << 16 | 0xff000000u; // bytes B, G, R, A
        std::memcpy(out, &bgra, 4);
    }
}

// LibRaw with its colour step spread over the cores: the camera-to-sRGB matrix and the
// histogram that sets the white level are one pass over 24 MP of four-channel pixels, which
// LibRaw makes on one core, and its 8-bit copy another, 3 bytes a pixel that the record then
// widens. Here the matrix pass runs on every core and the gamma curve writes the record's BGRA
// straight. The arithmetic is LibRaw's own, so the picture is the one it would give.
class Developer : public LibRaw {
public:
    Developer() : LibRaw(LIBRAW_OPTIONS_NONE) {}

    // After dcraw_process, 8-bit output: the image through the gamma curve, with LibRaw's
    // automatic white level, into the columns x rows BGRA record (the image's own size).
    void WriteBgra(Image& record) {
        if (libraw_internal_data.output_data.histogram != nullptr) {
            // As LibRaw's copy: the level that a hundredth of the brightest pixels pass is white.
            const int colours = std::min(imgdata.idata.colors, 4);
            int perc = static_cast<int>(imgdata.sizes.width * imgdata.sizes.height *
                                        imgdata.params.auto_bright_thr);
            if (libraw_internal_data.internal_output_params.fuji_width != 0) {
                perc /= 2; // a turned Fuji sensor's corners are empty
            }
            int white = 0x2000;
            if (!((imgdata.params.highlight & ~2) || imgdata.params.no_auto_bright)) {
                white = 0;
                for (int c = 0; c < colours; ++c) {
                    int val = 0x2000;
                    for (int total = 0; --val > 32;) {
                        if ((total += libraw_internal_data.output_data.histogram[c][val]) > perc) {
                            break;
                        }
                    }
                    white = std::max(white, val);
                }
            }
            gamma_curve(imgdata.params.gamm[0], imgdata.params.gamm[1], 2,
                        static_cast<int>((white << 3) / imgdata.params.bright));
        }
        const ushort* curve = imgdata.color.curve;
        const ushort(*image)[4] = imgdata.image;
        const std::size_t width = imgdata.sizes.width;
        const bool grey = imgdata.idata.colors == 1;
        acrossCores(record.rows, [&](std::size_t first, std::size_t end) {
            for (std::size_t y = first; y < end; ++y) {
                curvePixels(image + y * width, record.columns, curve, grey, record.Row(y));
            }
        });
    }

    RawDevelopTimes* times = nullptr;

protected:
    // The sensor's samples into the image LibRaw develops: on every core, with the colour of
    // each of a row's two columns worked out once. Leaf's and Fuji's patterns are LibRaw's.
    void copy_bayer(unsigned short cblack[4], unsigned short* dmaxp) override {
        const unsigned filters = imgdata.idata.filters;
        const libraw_image_sizes_t& sizes = imgdata.sizes;
        if (filters < 1000 || imgdata.rawdata.raw_image == nullptr) {
            LibRaw::copy_bayer(cblack, dmaxp);
            return;
        }
        const double start = nowMs();
        const std::size_t rows =
            std::max(0, std::min<int>(sizes.height, sizes.raw_height - sizes.top_margin));
        const std::size_t columns =
            std::max(0, std::min<int>(sizes.width, sizes.raw_width - sizes.left_margin));
        const std::size_t pitch = sizes.raw_pitch / 2;
        const ushort* raw =
            imgdata.rawdata.raw_image + sizes.top_margin * pitch + sizes.left_margin;
        const ushort black[4] = {cblack[0], cblack[1], cblack[2], cblack[3]};
        const unsigned shrink = libraw_internal_data.internal_output_params.shrink;
        std::atomic<unsigned> largest{*dmaxp};
        acrossCores(rows, [&](std::size_t first, std::size_t end) {
            const unsigned part = bayerRows(raw, pitch, first, end, columns, filters, black,
                                            imgdata.image, sizes.iwidth, shrink);
            unsigned seen = largest.load();
            while (part > seen && !largest.compare_exchange_weak(seen, part)) {
            }
        });
        *dmaxp = static_cast<ushort>(largest.load());
        if (times != nullptr) {
            times->sensor_copy_ms = nowMs() - start;
        }
    }

    // White balance: LibRaw's arithmetic, on every core.
    void scale_colors_loop(float scale_mul[4]) override {
        const unsigned* black = imgdata.color.cblack;
        if (black[4] != 0 && black[5] != 0) {
            LibRaw::scale_colors_loop(scale_mul); // a pattern of black levels: rare, LibRaw's
            return;
        }
        const double start = nowMs();
        const std::size_t size = std::size_t{imgdata.sizes.iwidth} * imgdata.sizes.iheight;
        const float mul[4] = {scale_mul[0], scale_mul[1], scale_mul[2], scale_mul[3]};
        ushort(*image)[4] = imgdata.image;
        acrossCores(size, [&](std::size_t first, std::size_t end) {
            scalePixels(image, first, end, black, mul);
        });
        if (times != nullptr) {
            times->white_balance_ms = nowMs() - start;
        }
    }

    void convert_to_rgb_loop(float out_cam[3][4]) override {
        const double start = nowMs();
        auto& histogram = libraw_internal_data.output_data.histogram;
        std::memset(histogram, 0, sizeof(int) * LIBRAW_HISTOGRAM_SIZE * 4);
        const bool raw = libraw_internal_data.internal_output_params.raw_color != 0;
        const int colours = std::min(imgdata.idata.colors, 4);
        const std::size_t width = imgdata.sizes.width;
        ushort(*image)[4] = imgdata.image;
        // Each part counts into a histogram of its own; they are added up at the end.
        std::vector<int> counts(static_cast<std::size_t>(LIBRAW_HISTOGRAM_SIZE) * 4 *
                                    std::max(1u, std::thread::hardware_concurrency()),
                                0);
        std::atomic<std::size_t> nextPart{0};
        acrossCores(imgdata.sizes.height, [&](std::size_t first, std::size_t end) {
            const std::size_t part = nextPart.fetch_add(1);
            matrixPixels(image + first * width, (end - first) * width, out_cam, colours, raw,
                         counts.data() + part * LIBRAW_HISTOGRAM_SIZE * 4);
        });
        const std::size_t parts =
            std::min<std::size_t>(nextPart.load(), counts.size() / (LIBRAW_HISTOGRAM_SIZE * 4));
        for (std::size_t part = 0; part < parts; ++part) {
            const int* own = counts.data() + part * LIBRAW_HISTOGRAM_SIZE * 4;
            for (int c = 0; c < 4; ++c) {
                for (int v = 0; v < LIBRAW_HISTOGRAM_SIZE; ++v) {
                    histogram[c][v] += own[c * LIBRAW_HISTOGRAM_SIZE + v];
                }
            }
        }
        if (times != nullptr) {
            times->colour_matrix_ms = nowMs() - start;
        }
    }
};

// One LibRaw instance with the file opened from memory. The object is large (hundreds of KB of
// tables), so it lives on the heap.
struct OpenedRaw {
    std::unique_ptr<DescriptorStream> stream; // before raw: LibRaw reads it until it goes
    std::unique_ptr<Developer> raw;
    Progress progress;
    DataErrors errors;
    double open_ms = 0;
    int flip = 0;                      // the file's, read before processing can reset it
    std::size_t columns = 0, rows = 0; // the developed image's upright size
};

// Opens the file from memory (data) or, with data null, from opened.stream.
DecodeResult openRaw(const unsigned char* data, std::size_t size, const std::atomic<bool>* cancel,
                     OpenedRaw& opened) {
    opened.raw.reset(new (std::nothrow) Developer);
    if (!opened.raw) {
        return DirectFailure(DecodeFailure::OutOfMemory, "not enough memory to decode it");
    }
    LibRaw& raw = *opened.raw;
    opened.progress.cancel = cancel;
    raw.set_progress_handler(&progressHandler, &opened.progress);
    raw.set_dataerror_handler(&dataErrorHandler, &opened.errors);
    // LibRaw only reads the buffer, but its interface predates const.
    const double start = nowMs();
    const int opening = data != nullptr ? raw.open_buffer(const_cast<unsigned char*>(data), size)
                                        : raw.open_datastream(opened.stream.get());
    opened.open_ms = nowMs() - start;
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
    // It must cover what the view shows of the image, the image fitted into the view (not the
    // view box itself: a JPEG preview is decoded at the scale that fits it). Checked first
    // where LibRaw knows the preview's size, by the long sides.
    const double fit = std::min({1.0, static_cast<double>(request.view.columns) / opened.columns,
                                 static_cast<double>(request.view.rows) / opened.rows});
    const auto shown = [fit](std::size_t side) {
        return static_cast<std::size_t>(std::floor(static_cast<double>(side) * fit));
    };
    const std::size_t longSide = std::max<std::size_t>(thumb.twidth, thumb.theight);
    if (longSide != 0 && longSide < shown(std::max(opened.columns, opened.rows))) {
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
    if (columns < shown(opened.columns) || rows < shown(opened.rows)) {
        return {};
    }
    preview.reduced = true;
    preview.full_columns = opened.columns;
    preview.full_rows = opened.rows;
    preview.rendition = "embedded preview";
    preview.image->magick = kFormat;
    return preview;
}

DecodeResult develop(const DirectRequest& request, OpenedRaw& opened, bool half) {
    Developer& raw = *opened.raw;
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
    RawDevelopTimes times;
    times.open_ms = opened.open_ms;
    opened.progress.times = &times;
    raw.times = &times;
    double at = nowMs();
    int code = raw.unpack();
    times.unpack_ms = nowMs() - at;
    at = nowMs();
    if (code == LIBRAW_SUCCESS) {
        opened.progress.begin(LIBRAW_PROGRESS_START, at);
        code = raw.dcraw_process();
        opened.progress.begin(LIBRAW_PROGRESS_START, nowMs());
    }
    times.process_ms = nowMs() - at;
    if (code != LIBRAW_SUCCESS) {
        return libraryFailure(code, request.cancel);
    }
    int width = 0, height = 0, colors = 0, bits = 0;
    raw.get_mem_image_format(&width, &height, &colors, &bits);
    // With no turn asked for, the processed image is width x height as it lies in memory.
    if (width <= 0 || height <= 0 || (colors != 3 && colors != 1) || bits != 8 ||
        width != raw.imgdata.sizes.width || height != raw.imgdata.sizes.height) {
        return DirectFailure(DecodeFailure::Damaged,
                             "damaged: the camera file develops into no picture");
    }
    std::unique_ptr<Image> record =
        request.make_record(static_cast<std::size_t>(width), static_cast<std::size_t>(height));
    if (!record) {
        return DirectFailure(DecodeFailure::OutOfMemory, "not enough memory to decode it",
                             "the pixels could not be allocated");
    }
    at = nowMs();
    raw.WriteBgra(*record);
    times.output_ms = nowMs() - at;
    lastTimes = times;
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

const RawDevelopTimes& LastRawDevelopTimes() {
    return lastTimes;
}

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
        if (Cancelled(request.cancel)) {
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
