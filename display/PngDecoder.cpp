#include "PngDecoder.h"

#include "PagePopulator.h"
#include "PixelExport.h"

#include <png.h>

#include <csetjmp>
#include <cstring>
#include <vector>

namespace engine {
namespace {

// What libpng's callbacks and its error jumps touch. Plain data only: a jump out of libpng
// skips every destructor between the error and the setjmp, so no C++ object may live there.
struct Reading {
    png_structp png = nullptr;
    png_infop info = nullptr;
    const unsigned char* data = nullptr;
    std::size_t size = 0;
    std::size_t at = 0;
    const std::atomic<bool>* cancel = nullptr;
    bool cancelled = false;
};

void readBytes(png_structp png, png_bytep out, png_size_t count) {
    auto* reading = static_cast<Reading*>(png_get_io_ptr(png));
    if (count > reading->size - reading->at) {
        png_error(png, "the file ends before the image does");
    }
    std::memcpy(out, reading->data + reading->at, count);
    reading->at += count;
}

// What libpng cannot read goes to the image library, which says why in its own words.
[[noreturn]] void onError(png_structp png, png_const_charp) {
    png_longjmp(png, 1);
}

// Warnings (a profile libpng distrusts, an ancillary chunk with a bad checksum) are dropped
// with what they concern, as the image library drops them.
void onWarning(png_structp, png_const_charp) {}

// How rows come from libpng.
enum class Rows {
    Bgra, // converted by libpng's own transforms
    Rgb,  // 8-bit RGB as stored, converted here (libpng's transforms go a pixel at a time)
    Rgba, // 8-bit RGBA as stored, likewise
};

// Reads the chunks before the image data and sets libpng to deliver 8-bit rows as rows says.
// False on a libpng error.
bool readHeader(Reading& reading, png_uint_32& width, png_uint_32& height, int& passes,
                Rows& rows) {
    if (setjmp(png_jmpbuf(reading.png))) {
        return false;
    }
    // Metadata chunks are held within what the image library is allowed for them.
    png_set_chunk_malloc_max(reading.png, std::size_t{4} << 20);
    png_read_info(reading.png, reading.info);
    int depth = 0, colour = 0, interlace = 0;
    png_get_IHDR(reading.png, reading.info, &width, &height, &depth, &colour, &interlace, nullptr,
                 nullptr);
    rows = Rows::Bgra;
    if (depth == 8 && interlace == PNG_INTERLACE_NONE &&
        png_get_valid(reading.png, reading.info, PNG_INFO_tRNS) == 0 &&
        (colour == PNG_COLOR_TYPE_RGB || colour == PNG_COLOR_TYPE_RGB_ALPHA)) {
        rows = colour == PNG_COLOR_TYPE_RGB ? Rows::Rgb : Rows::Rgba;
        passes = 1;
        png_read_update_info(reading.png, reading.info);
        return true;
    }
    if (colour == PNG_COLOR_TYPE_PALETTE) {
        png_set_palette_to_rgb(reading.png);
    }
    if (colour == PNG_COLOR_TYPE_GRAY && depth < 8) {
        png_set_expand_gray_1_2_4_to_8(reading.png);
    }
    if (png_get_valid(reading.png, reading.info, PNG_INFO_tRNS) != 0) {
        png_set_tRNS_to_alpha(reading.png);
    }
    if (depth == 16) {
        png_set_scale_16(reading.png); // rounded, as the image library rounds
    }
    if (colour == PNG_COLOR_TYPE_GRAY || colour == PNG_COLOR_TYPE_GRAY_ALPHA) {
        png_set_gray_to_rgb(reading.png);
    }
    png_set_bgr(reading.png);
    png_set_filler(reading.png, 0xff, PNG_FILLER_AFTER); // only where there is no alpha
    passes = png_set_interlace_handling(reading.png);
    png_read_update_info(reading.png, reading.info);
    return true;
}

bool cancelled(Reading& reading) {
    if (reading.cancel != nullptr && reading.cancel->load(std::memory_order_relaxed)) {
        reading.cancelled = true;
    }
    return reading.cancelled;
}

// Reads every pass of every row into rows. False on a libpng error or a cancel.
bool readRows(Reading& reading, png_bytepp rows, png_uint_32 height, int passes,
              FinishedRows& written) {
    if (setjmp(png_jmpbuf(reading.png))) {
        return false;
    }
    for (int pass = 0; pass < passes; ++pass) {
        for (png_uint_32 y = 0; y < height; ++y) {
            if (cancelled(reading)) {
                return false;
            }
            png_read_row(reading.png, rows[y], nullptr);
            if (pass == passes - 1) {
                written.Upto(y + 1);
            }
        }
    }
    return true;
}

// Reads each 8-bit RGB or RGBA row into stored, then converts it into its row of rows.
bool readStoredRows(Reading& reading, png_bytepp rows, png_uint_32 width, png_uint_32 height,
                    bool alpha, png_bytep stored, FinishedRows& written) {
    if (setjmp(png_jmpbuf(reading.png))) {
        return false;
    }
    for (png_uint_32 y = 0; y < height; ++y) {
        if (cancelled(reading)) {
            return false;
        }
        png_read_row(reading.png, stored, nullptr);
        RgbToBgra(stored, rows[y], width, alpha);
        written.Upto(y + 1);
    }
    return true;
}

class ReadStruct {
public:
    explicit ReadStruct(Reading& reading) : reading_(reading) {
        reading.png = png_create_read_struct(PNG_LIBPNG_VER_STRING, &reading, &onError, &onWarning);
        if (reading.png != nullptr) {
            reading.info = png_create_info_struct(reading.png);
        }
    }
    ~ReadStruct() {
        if (reading_.png != nullptr) {
            png_destroy_read_struct(&reading_.png,
                                    reading_.info != nullptr ? &reading_.info : nullptr, nullptr);
        }
    }
    ReadStruct(const ReadStruct&) = delete;
    ReadStruct& operator=(const ReadStruct&) = delete;
    bool Made() const { return reading_.png != nullptr && reading_.info != nullptr; }

private:
    Reading& reading_;
};

} // namespace

bool IsPng(const unsigned char* data, std::size_t size) {
    return data != nullptr && size >= 8 && png_sig_cmp(data, 0, 8) == 0;
}

DecodeResult DecodePng(const DirectRequest& request) {
    Reading reading;
    reading.data = request.data;
    reading.size = request.size;
    reading.cancel = request.cancel;
    const ReadStruct made(reading);
    if (!made.Made()) {
        return DirectFailure(DecodeFailure::OutOfMemory, "not enough memory to decode it");
    }
    png_set_read_fn(reading.png, &reading, &readBytes);

    png_uint_32 width = 0, height = 0;
    int passes = 1;
    Rows layout = Rows::Bgra;
    if (!readHeader(reading, width, height, passes, layout)) {
        return {};
    }
    const std::size_t rowBytes = std::size_t{width} * (layout == Rows::Rgb ? 3 : 4);
    if (png_get_rowbytes(reading.png, reading.info) != rowBytes) {
        return {};
    }
    std::unique_ptr<Image> record;
    if (DecodeResult refused = MakeDirectRecord(request, width, height, record); !record) {
        return refused;
    }
    std::vector<png_bytep> rows(height);
    for (png_uint_32 y = 0; y < height; ++y) {
        rows[y] = record->Row(y);
    }
    std::vector<png_byte> stored(layout == Rows::Bgra ? 0 : rowBytes);
    std::unique_ptr<PagePopulator> populator = PopulatePages(*record);
    FinishedRows written(*record);
    const bool read = layout == Rows::Bgra
                          ? readRows(reading, rows.data(), height, passes, written)
                          : readStoredRows(reading, rows.data(), width, height,
                                           layout == Rows::Rgba, stored.data(), written);
    populator.reset();
    if (!read) {
        return reading.cancelled ? DirectFailure(DecodeFailure::Cancelled, {}) : DecodeResult{};
    }

    DecodeResult result;
    png_charp name = nullptr;
    int compression = 0;
    png_bytep profile = nullptr;
    png_uint_32 length = 0;
    if (png_get_iCCP(reading.png, reading.info, &name, &compression, &profile, &length) != 0 &&
        profile != nullptr && length > 0) {
        result.icc_profile.assign(reinterpret_cast<const char*>(profile), length);
    }
    record->magick = "PNG";
    result.image = std::move(record);
    return result;
}

} // namespace engine
