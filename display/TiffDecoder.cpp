#include "TiffDecoder.h"

#include "PagePopulator.h"
#include "PixelExport.h"
#include "platform/Memory.h"

#include <tiffio.h>

#include <algorithm>
#include <atomic>
#include <cstdarg>
#include <cstring>
#include <exception>
#include <new>
#include <thread>
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

using Tiff = std::unique_ptr<TIFF, TiffDeleter>;

// libtiff reading the file in memory, its words kept to itself; null when it cannot.
Tiff openMemory(Memory& memory) {
    const std::unique_ptr<TIFFOpenOptions, OptionsDeleter> options(TIFFOpenOptionsAlloc());
    if (!options) {
        return nullptr;
    }
    TIFFOpenOptionsSetErrorHandlerExtR(options.get(), &quiet, nullptr);
    TIFFOpenOptionsSetWarningHandlerExtR(options.get(), &quiet, nullptr);
    // No single buffer beyond what a strip of the largest allowed row needs.
    TIFFOpenOptionsSetMaxSingleMemAlloc(options.get(), tmsize_t{256} << 20);
    return Tiff(TIFFClientOpenExt("memory", "r", &memory, &readMemory, &writeNothing, &seekMemory,
                                  &closeNothing, &memorySize, &mapMemory, &unmapNothing,
                                  options.get()));
}

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
    if (TIFFGetFieldDefaulted(tiff, TIFFTAG_BITSPERSAMPLE, &bits) == 0 ||
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

// How a file's pixels are cut into pieces compressed each on its own: strips of whole rows, or
// tiles. Pieces are numbered across, then down.
struct Pieces {
    bool tiled = false;
    std::uint32_t columns = 0, rows = 0; // of one piece (a strip's: the image's width)
    std::uint32_t count = 0, across = 1;
};

// The pieces, shared out among threads that each read the file through a libtiff of their own:
// LZW and Deflate decode on one core at about 75 MB of pixels a second, and a 24 MP TIFF spent
// most of its time there.
struct PieceWork {
    const DirectRequest& request;
    const Layout& layout;
    Image& record;
    Pieces pieces;
    std::atomic<std::uint32_t> next{0};
    std::atomic<bool> failed{false};
};

// Pieces larger than this are not read whole: a strip is then read a row at a time instead.
constexpr tmsize_t kLargestPiece = tmsize_t{16} << 20;
// No more threads than this read one file.
constexpr unsigned kMostPieceThreads = 4;

// Reads and converts pieces until none is left, one fails, or the decode is cancelled.
void readPieces(TIFF* tiff, PieceWork& work) {
    const Pieces& pieces = work.pieces;
    const std::size_t pixelBytes = work.layout.samples * (work.layout.bits / 8);
    const std::size_t pieceRowBytes = pieces.columns * pixelBytes;
    std::vector<unsigned char> piece;
    std::vector<std::uint8_t> eight;
    try {
        piece.resize(pieceRowBytes * pieces.rows);
        eight.resize(work.layout.bits == 16 ? std::size_t{pieces.columns} * work.layout.samples
                                            : 0);
    } catch (const std::bad_alloc&) {
        work.failed = true; // on a helper thread, an exception would end the program
        return;
    }
    while (!work.failed.load(std::memory_order_relaxed) && !Cancelled(work.request.cancel)) {
        const std::uint32_t index = work.next.fetch_add(1);
        if (index >= pieces.count) {
            return;
        }
        const std::size_t left = std::size_t{index % pieces.across} * pieces.columns;
        const std::size_t top = std::size_t{index / pieces.across} * pieces.rows;
        if (left >= work.record.columns || top >= work.record.rows) {
            work.failed = true;
            return;
        }
        const std::size_t rows = std::min<std::size_t>(pieces.rows, work.record.rows - top);
        const std::size_t columns =
            std::min<std::size_t>(pieces.columns, work.record.columns - left);
        // A tile at the edge is stored whole, padded; the last strip holds only its rows.
        const tmsize_t wanted =
            static_cast<tmsize_t>((pieces.tiled ? pieces.rows : rows) * pieceRowBytes);
        const tmsize_t got = pieces.tiled ? TIFFReadEncodedTile(tiff, index, piece.data(), wanted)
                                          : TIFFReadEncodedStrip(tiff, index, piece.data(), wanted);
        if (got != wanted) {
            work.failed = true;
            return;
        }
        if (left == 0) {
            platform::PrepareForWriting(work.record.Row(top), rows * work.record.columns * 4);
        }
        for (std::size_t y = 0; y < rows; ++y) {
            convertRow(work.layout, piece.data() + y * pieceRowBytes, eight.data(),
                       work.record.Row(top + y) + left * 4, columns);
        }
    }
}

// Reads every piece of tiff into record on up to kMostPieceThreads threads. False when a piece
// cannot be read; a cancelled decode stops early without saying so (the caller looks).
bool readPiecesTogether(TIFF* tiff, const DirectRequest& request, const Layout& layout,
                        Image& record, const Pieces& pieces) {
    PieceWork work{request, layout, record, pieces};
    const unsigned helpers =
        std::min(std::max(std::thread::hardware_concurrency(), 1u), kMostPieceThreads) - 1;
    std::vector<Memory> memories(helpers,
                                 Memory{request.data, static_cast<toff_t>(request.size), 0});
    // Room for every thread first: once one runs, nothing may throw past the joins below.
    std::vector<std::thread> threads;
    threads.reserve(helpers);
    for (unsigned k = 0; k < helpers; ++k) {
        Tiff own = openMemory(memories[k]);
        if (!own) {
            break;
        }
        try {
            threads.emplace_back(
                [&work, own = std::move(own)]() mutable { readPieces(own.get(), work); });
        } catch (const std::exception&) {
            break; // no thread or no memory for one: fewer threads do it
        }
    }
    readPieces(tiff, work);
    for (std::thread& thread : threads) {
        thread.join();
    }
    return !work.failed;
}

// The pieces of tiff when they can be read whole: tiles, or two strips and more; none (count
// 0) otherwise.
Pieces piecesOf(TIFF* tiff, std::uint32_t width, std::uint32_t height, std::size_t pixelBytes) {
    Pieces pieces;
    std::uint32_t columns = 0, rows = 0;
    if (TIFFIsTiled(tiff) != 0) {
        if (TIFFGetField(tiff, TIFFTAG_TILEWIDTH, &columns) == 0 ||
            TIFFGetField(tiff, TIFFTAG_TILELENGTH, &rows) == 0 || columns == 0 || rows == 0 ||
            TIFFTileSize(tiff) != static_cast<tmsize_t>(std::size_t{columns} * rows * pixelBytes)) {
            return pieces;
        }
        pieces.tiled = true;
        pieces.count = TIFFNumberOfTiles(tiff);
        pieces.across = (width + columns - 1) / columns;
        const std::uint32_t down = (height + rows - 1) / rows;
        if (pieces.count != std::uint64_t{pieces.across} * down) {
            return {};
        }
    } else {
        columns = width;
        if (TIFFGetFieldDefaulted(tiff, TIFFTAG_ROWSPERSTRIP, &rows) == 0 || rows == 0 ||
            rows >= height || TIFFNumberOfStrips(tiff) < 2 ||
            TIFFStripSize(tiff) != static_cast<tmsize_t>(std::size_t{rows} * width * pixelBytes)) {
            return pieces;
        }
        pieces.count = TIFFNumberOfStrips(tiff);
    }
    if (static_cast<tmsize_t>(std::size_t{columns} * rows * pixelBytes) > kLargestPiece) {
        return {};
    }
    pieces.columns = columns;
    pieces.rows = rows;
    return pieces;
}
} // namespace

DecodeResult DecodeTiff(const DirectRequest& request) {
    Memory memory{request.data, static_cast<toff_t>(request.size), 0};
    const std::unique_ptr<TIFF, TiffDeleter> tiff = openMemory(memory);
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
    // Tiles are read only as pieces: a tiled layout that cannot be is the library's, before
    // any record is made for it.
    const Pieces pieces = piecesOf(tiff.get(), width, height, rowBytes / width);
    const bool tiled = TIFFIsTiled(tiff.get()) != 0;
    if (tiled && pieces.count == 0) {
        return {};
    }
    std::unique_ptr<Image> record;
    if (DecodeResult refused = MakeDirectRecord(request, width, height, record); !record) {
        return refused;
    }
    // A record in memory is read a piece at a time on several threads. One in a cache file (too
    // large for memory) is read a row at a time, its pages given back as its rows are done; a
    // tiled one of that size is left to the library.
    if (pieces.count != 0 && !record->pixels.get_deleter().file) {
        const bool read = readPiecesTogether(tiff.get(), request, layout, *record, pieces);
        if (Cancelled(request.cancel)) {
            return DirectFailure(DecodeFailure::Cancelled, {});
        }
        if (!read) {
            return {}; // damaged: the library shows what it can of it
        }
        record->magick = "TIFF";
        result.image = std::move(record);
        return result;
    }
    if (tiled) {
        return {};
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
