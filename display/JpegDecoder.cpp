#include "JpegDecoder.h"

#include "ExifSummary.h"
#include "Orientation.h"
#include "PagePopulator.h"

#include <cstdio> // before jpeglib.h, which uses FILE
#include <jpeglib.h>

#include <cmath>
#include <csetjmp>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace engine {
namespace {

// What libjpeg's callbacks and its error jumps touch. Plain data only: a jump out of libjpeg
// skips every destructor between the error and the setjmp, so no C++ object may live there.
struct Reading {
    jpeg_decompress_struct info{};
    jpeg_error_mgr errors{};
    jpeg_progress_mgr progress{};
    std::jmp_buf jump{};
    const std::atomic<bool>* cancel = nullptr;
    bool created = false;
    bool cancelled = false;
};

Reading& readingOf(j_common_ptr info) {
    return *static_cast<Reading*>(info->client_data);
}

[[noreturn]] void onError(j_common_ptr info) {
    std::longjmp(readingOf(info).jump, 1);
}

// A warning (corrupt data, a file cut short) sends the file to the image library, which shows
// what it can of it and calls it damaged.
void onMessage(j_common_ptr info, int level) {
    if (level < 0) {
        std::longjmp(readingOf(info).jump, 1);
    }
}

// Also called while a progressive file's scans are read, before the first row comes.
void onProgress(j_common_ptr info) {
    Reading& reading = readingOf(info);
    if (Cancelled(reading.cancel)) {
        reading.cancelled = true;
        std::longjmp(reading.jump, 1);
    }
}

// Reads the markers up to the image data. False on a libjpeg error or warning.
bool readHeader(Reading& reading, const unsigned char* data, std::size_t size) {
    if (setjmp(reading.jump)) {
        return false;
    }
    jpeg_create_decompress(&reading.info);
    reading.created = true;
    reading.info.progress = &reading.progress;
    jpeg_mem_src(&reading.info, data, static_cast<unsigned long>(size));
    jpeg_save_markers(&reading.info, JPEG_APP0 + 1, 0xffff); // EXIF
    jpeg_save_markers(&reading.info, JPEG_APP0 + 2, 0xffff); // ICC profile
    jpeg_read_header(&reading.info, TRUE);
    return true;
}

// The ICC profile of the APP2 markers into profile (empty when there is none). False when
// libjpeg warns about them (markers out of sequence, say).
bool readProfile(Reading& reading, std::string& profile) {
    JOCTET* bytes = nullptr;
    unsigned int length = 0;
    if (setjmp(reading.jump)) {
        std::free(bytes);
        return false;
    }
    if (jpeg_read_icc_profile(&reading.info, &bytes, &length) && bytes != nullptr) {
        try {
            profile.assign(reinterpret_cast<const char*>(bytes), length);
        } catch (...) {
            std::free(bytes);
            throw;
        }
    }
    std::free(bytes);
    return true;
}

// Sets the scale and BGRA rows and works out the output size. False on a libjpeg error.
bool planOutput(Reading& reading, unsigned denominator) {
    if (setjmp(reading.jump)) {
        return false;
    }
    reading.info.scale_num = 1;
    reading.info.scale_denom = denominator;
    reading.info.out_color_space = JCS_EXT_BGRA;
    jpeg_calc_output_dimensions(&reading.info);
    return true;
}

// Decodes every row into rows. False on a libjpeg error or warning, or a cancel.
bool readRows(Reading& reading, JSAMPROW* rows, FinishedRows& written) {
    if (setjmp(reading.jump)) {
        return false;
    }
    jpeg_start_decompress(&reading.info);
    while (reading.info.output_scanline < reading.info.output_height) {
        if (Cancelled(reading.cancel)) {
            reading.cancelled = true;
            return false;
        }
        const JDIMENSION at = reading.info.output_scanline;
        if (jpeg_read_scanlines(&reading.info, rows + at, reading.info.output_height - at) == 0) {
            return false;
        }
        written.Upto(reading.info.output_scanline);
    }
    jpeg_finish_decompress(&reading.info);
    return true;
}

// The first EXIF block among the saved markers (past "Exif\0\0"), or null.
const jpeg_marker_struct* exifMarker(const jpeg_decompress_struct& info) {
    for (const jpeg_marker_struct* marker = info.marker_list; marker != nullptr;
         marker = marker->next) {
        if (marker->marker == JPEG_APP0 + 1 && marker->data_length >= 6 &&
            std::memcmp(marker->data, "Exif\0\0", 6) == 0) {
            return marker;
        }
    }
    return nullptr;
}

// The DCT scale's denominator for a first view of view (upright) device pixels, worked out as
// the image library works it out from the same size, so that the first view is what it was.
unsigned scaleFor(std::size_t columns, std::size_t rows, int orientation, ViewSize view) {
    const ViewSize wanted = JpegFirstViewSize(columns, rows, orientation, view);
    if (wanted.columns == 0) {
        return 1;
    }
    return static_cast<unsigned>(
        std::min(static_cast<double>(columns) / static_cast<double>(wanted.columns),
                 static_cast<double>(rows) / static_cast<double>(wanted.rows)));
}

class Decompressor {
public:
    explicit Decompressor(Reading& reading) : reading_(reading) {
        reading.info.err = jpeg_std_error(&reading.errors);
        reading.errors.error_exit = &onError;
        reading.errors.emit_message = &onMessage;
        reading.progress.progress_monitor = &onProgress;
        reading.info.client_data = &reading;
    }
    ~Decompressor() {
        if (reading_.created) {
            jpeg_destroy_decompress(&reading_.info);
        }
    }
    Decompressor(const Decompressor&) = delete;
    Decompressor& operator=(const Decompressor&) = delete;

private:
    Reading& reading_;
};

} // namespace

ViewSize JpegFirstViewSize(std::size_t columns, std::size_t rows, int orientation, ViewSize view) {
    if (view.columns == 0 || view.rows == 0 || columns == 0 || rows == 0) {
        return {};
    }
    const bool quarter = TurnsAQuarter(orientation);
    const double fit =
        std::min(static_cast<double>(view.columns) / static_cast<double>(quarter ? rows : columns),
                 static_cast<double>(view.rows) / static_cast<double>(quarter ? columns : rows));
    const auto wanted = [fit](std::size_t side) {
        return static_cast<std::size_t>(std::ceil(static_cast<double>(side) * fit));
    };
    if (fit >= 0.5 || wanted(columns) == 0 || wanted(rows) == 0) {
        return {}; // no DCT scale would save enough to be worth a second decode
    }
    return {wanted(columns), wanted(rows)};
}

DecodeResult DecodeJpeg(const DirectRequest& request) {
    Reading reading;
    reading.cancel = request.cancel;
    const Decompressor made(reading);
    if (!readHeader(reading, request.data, request.size)) {
        return {};
    }
    jpeg_decompress_struct& info = reading.info;
    const J_COLOR_SPACE stored = info.jpeg_color_space;
    if (info.data_precision != 8 ||
        (stored != JCS_YCbCr && stored != JCS_RGB && stored != JCS_GRAYSCALE)) {
        return {};
    }
    DecodeResult result;
    if (!readProfile(reading, result.icc_profile)) {
        return {};
    }
    if (const jpeg_marker_struct* exif = exifMarker(info)) {
        const int tagged = ExifOrientation(exif->data, exif->data_length);
        result.orientation = tagged >= 1 && tagged <= 8 ? tagged : 1;
        if (result.icc_profile.empty() &&
            ExifColorSpace(exif->data, exif->data_length) == kExifUncalibrated) {
            return {};
        }
    }
    const std::size_t columns = info.image_width, rows = info.image_height;
    const unsigned denominator = scaleFor(columns, rows, result.orientation, request.view);
    if (denominator > 1) {
        // The whole image's refusal, as without a view (the reduced one might fit).
        if (DecodeResult refusal = request.refuse(columns, rows);
            refusal.failure != DecodeFailure::None) {
            return refusal;
        }
    }
    if (!planOutput(reading, denominator)) {
        return {};
    }
    std::unique_ptr<Image> record;
    if (DecodeResult refused =
            MakeDirectRecord(request, info.output_width, info.output_height, record);
        !record) {
        return refused;
    }
    std::vector<JSAMPROW> rowPointers(record->rows);
    for (std::size_t y = 0; y < record->rows; ++y) {
        rowPointers[y] = record->Row(y);
    }
    std::unique_ptr<PagePopulator> populator = PopulatePages(*record);
    FinishedRows written(*record);
    const bool read = readRows(reading, rowPointers.data(), written);
    populator.reset();
    if (!read) {
        return reading.cancelled ? DirectFailure(DecodeFailure::Cancelled, {}) : DecodeResult{};
    }
    if (record->columns < columns || record->rows < rows) {
        result.reduced = true;
        const bool quarter = TurnsAQuarter(result.orientation);
        result.full_columns = quarter ? rows : columns;
        result.full_rows = quarter ? columns : rows;
    }
    record->magick = "JPEG";
    result.image = std::move(record);
    return result;
}

} // namespace engine
