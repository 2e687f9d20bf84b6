#include "TiffDecoder.h"

#include "PagePopulator.h"
#include "PixelExport.h"

#include <tiffio.h>

#include <cstdarg>
#include <cstring>
#include <vector>

namespace engine {
namespace {

struct Memory {
    const unsigned char* data = nullptr;
    toff_t size = 0;
    toff_t at = 0;
};

tmsize_t readMemory(thandle_t handle, void* out, tmsize_t count) {
    auto* memory = static_cast<Memory*>(handle);
    if (count <= 0 || memory->at >= memory->size) {
        return 0;
    }
    const toff_t left = memory->size - memory->at;
    const toff_t taken = static_cast<toff_t>(count) < left ? static_cast<toff_t>(count) : left;
    std::memcpy(out, memory->data + memory->at, taken);
    memory->at += taken;
    return static_cast<tmsize_t>(taken);
}

tmsize_t writeNothing(thandle_t, void*, tmsize_t) {
    return 0;
}

toff_t seekMemory(thandle_t handle, toff_t offset, int whence) {
    auto* memory = static_cast<Memory*>(handle);
    const toff_t base = whence == SEEK_CUR ? memory->at : whence == SEEK_END ? memory->size : 0;
    memory->at = base + offset;
    return memory->at;
}

int closeNothing(thandle_t) {
    return 0;
}

toff_t memorySize(thandle_t handle) {
    return static_cast<Memory*>(handle)->size;
}

int mapMemory(thandle_t handle, void** base, toff_t* size) {
    auto* memory = static_cast<Memory*>(handle);
    *base = const_cast<unsigned char*>(memory->data);
    *size = memory->size;
    return 1;
}

void unmapNothing(thandle_t, void*, toff_t) {}

// libtiff's words go nowhere: a file it cannot read goes to the image library, which says why.
// Handled here (1), they never reach the handlers the library installs for its own reads.
int quiet(TIFF*, void*, const char*, const char*, va_list) {
    return 1;
}

struct OptionsDeleter {
    void operator()(TIFFOpenOptions* options) const { TIFFOpenOptionsFree(options); }
};
struct TiffDeleter {
    void operator()(TIFF* tiff) const { TIFFClose(tiff); }
};

// How the samples of a pixel are laid out, when this decoder reads them.
struct Layout {
    bool readable = false;
    bool gray = false;
    bool alpha = false;
    int bits = 8;
    int samples = 3;
};

Layout layoutOf(TIFF* tiff) {
    Layout layout;
    std::uint16_t bits = 0, samples = 0, planar = 0, photometric = 0, format = 0;
    if (TIFFIsTiled(tiff) != 0 || TIFFGetFieldDefaulted(tiff, TIFFTAG_BITSPERSAMPLE, &bits) == 0 ||
        TIFFGetFieldDefaulted(tiff, TIFFTAG_SAMPLESPERPIXEL, &samples) == 0 ||
        TIFFGetFieldDefaulted(tiff, TIFFTAG_PLANARCONFIG, &planar) == 0 ||
        TIFFGetFieldDefaulted(tiff, TIFFTAG_SAMPLEFORMAT, &format) == 0 ||
        TIFFGetField(tiff, TIFFTAG_PHOTOMETRIC, &photometric) == 0) {
        return layout;
    }
    std::uint16_t extras = 0;
    std::uint16_t* kinds = nullptr;
    TIFFGetFieldDefaulted(tiff, TIFFTAG_EXTRASAMPLES, &extras, &kinds);
    layout.gray = photometric == PHOTOMETRIC_MINISBLACK;
    const int colours = layout.gray ? 1 : 3;
    layout.alpha = extras == 1 && kinds != nullptr && kinds[0] == EXTRASAMPLE_UNASSALPHA;
    layout.bits = bits;
    layout.samples = samples;
    layout.readable =
        (bits == 8 || bits == 16) && planar == PLANARCONFIG_CONTIG && format == SAMPLEFORMAT_UINT &&
        (photometric == PHOTOMETRIC_RGB || layout.gray) &&
        samples == colours + (layout.alpha ? 1 : 0) && extras == (layout.alpha ? 1 : 0);
    return layout;
}

// One row of the file's samples as BGRA; 16-bit ones are first rounded to 8 bits in eight.
void convertRow(const Layout& layout, const unsigned char* row, std::uint8_t* eight,
                std::uint8_t* out, std::size_t columns) {
    const std::size_t count = columns * static_cast<std::size_t>(layout.samples);
    const std::uint8_t* samples = row;
    if (layout.bits == 16) {
        const auto* wide = reinterpret_cast<const std::uint16_t*>(row);
        for (std::size_t i = 0; i < count; ++i) {
            eight[i] = SampleToByte(wide[i]);
        }
        samples = eight;
    }
    if (!layout.gray) {
        RgbToBgra(samples, out, columns, layout.alpha);
        return;
    }
    const std::size_t step = layout.alpha ? 2 : 1;
    for (std::size_t x = 0; x < columns; ++x) {
        const std::uint8_t level = samples[x * step];
        out[x * 4 + 0] = out[x * 4 + 1] = out[x * 4 + 2] = level;
        out[x * 4 + 3] = layout.alpha ? samples[x * step + 1] : 255;
    }
}

} // namespace

DecodeResult DecodeTiff(const DirectRequest& request) {
    Memory memory{request.data, static_cast<toff_t>(request.size), 0};
    const std::unique_ptr<TIFFOpenOptions, OptionsDeleter> options(TIFFOpenOptionsAlloc());
    if (!options) {
        return {};
    }
    TIFFOpenOptionsSetErrorHandlerExtR(options.get(), &quiet, nullptr);
    TIFFOpenOptionsSetWarningHandlerExtR(options.get(), &quiet, nullptr);
    // No single buffer beyond what a strip of the largest allowed row needs.
    TIFFOpenOptionsSetMaxSingleMemAlloc(options.get(), tmsize_t{256} << 20);
    const std::unique_ptr<TIFF, TiffDeleter> tiff(
        TIFFClientOpenExt("memory", "r", &memory, &readMemory, &writeNothing, &seekMemory,
                          &closeNothing, &memorySize, &mapMemory, &unmapNothing, options.get()));
    if (!tiff) {
        return {};
    }
    const Layout layout = layoutOf(tiff.get());
    std::uint32_t width = 0, height = 0;
    if (!layout.readable || TIFFGetField(tiff.get(), TIFFTAG_IMAGEWIDTH, &width) == 0 ||
        TIFFGetField(tiff.get(), TIFFTAG_IMAGELENGTH, &height) == 0 || width == 0 || height == 0) {
        return {};
    }
    DecodeResult result;
    std::uint32_t profileBytes = 0;
    void* profile = nullptr;
    if (TIFFGetField(tiff.get(), TIFFTAG_ICCPROFILE, &profileBytes, &profile) != 0 &&
        profile != nullptr && profileBytes > 0) {
        result.icc_profile.assign(static_cast<const char*>(profile), profileBytes);
    }
    toff_t exif = 0;
    if (result.icc_profile.empty() && TIFFGetField(tiff.get(), TIFFTAG_EXIFIFD, &exif) != 0) {
        return {};
    }
    std::uint16_t orientation = ORIENTATION_TOPLEFT;
    TIFFGetFieldDefaulted(tiff.get(), TIFFTAG_ORIENTATION, &orientation);
    result.orientation = orientation >= 1 && orientation <= 8 ? orientation : 1;

    const std::size_t rowBytes = std::size_t{width} * layout.samples * (layout.bits / 8);
    if (TIFFScanlineSize(tiff.get()) != static_cast<tmsize_t>(rowBytes)) {
        return {};
    }
    std::unique_ptr<Image> record;
    if (DecodeResult refused = MakeDirectRecord(request, width, height, record); !record) {
        return refused;
    }
    std::vector<unsigned char> row(rowBytes);
    std::vector<std::uint8_t> eight(layout.bits == 16 ? std::size_t{width} * layout.samples : 0);
    std::unique_ptr<PagePopulator> populator = PopulatePages(*record);
    FinishedRows written(*record);
    for (std::uint32_t y = 0; y < height; ++y) {
        if (Cancelled(request.cancel)) {
            return DirectFailure(DecodeFailure::Cancelled, {});
        }
        if (TIFFReadScanline(tiff.get(), row.data(), y, 0) < 0) {
            return {}; // damaged: the library shows what it can of it
        }
        convertRow(layout, row.data(), eight.data(), record->Row(y), width);
        written.Upto(y + 1);
    }
    populator.reset();
    record->magick = "TIFF";
    result.image = std::move(record);
    return result;
}

} // namespace engine
