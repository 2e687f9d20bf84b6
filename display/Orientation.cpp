#include "Orientation.h"

#include "TwoParts.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <new>
#include <sys/mman.h>
#include <thread>
#include <utility>

namespace engine {
namespace {

// Output tiles of this many pixels a side: a tile reads 64 source rows of 256 bytes, so its
// source and target lines stay in the first-level cache while the tile is written.
constexpr std::size_t kTile = 64;
// From this many pixels on the quarter turns run on two threads: the copy is bound by memory
// latency, which one core alone does not hide.
constexpr std::size_t kTwoThreadPixels = std::size_t{1} << 20;
// A record in a cache file gives its written pages back this often, as the decoder does.
constexpr std::size_t kResidentBytes = std::size_t{64} << 20;

// Writes the pixels of from into to in the opposite order; the two rows must not overlap.
void reversedCopy(std::uint8_t* to, const std::uint8_t* from, std::size_t columns) {
    const std::uint8_t* last = from + (columns - 1) * 4;
    for (std::size_t x = 0; x < columns; ++x) {
        std::memcpy(to + x * 4, last - x * 4, 4);
    }
}

// Orientations 2, 3 and 4: every pixel stays in its own row or trades places with the mirror
// row, so one row of scratch memory (held, at least columns * 4 bytes) is all they need.
void flipInPlace(Image& image, int orientation, std::uint8_t* held) {
    const std::size_t columns = image.columns, rows = image.rows;
    if (columns == 0 || rows == 0 || !image.pixels) {
        return;
    }
    const std::size_t rowBytes = columns * 4;
    if (orientation == kOrientationMirrored) {
        for (std::size_t y = 0; y < rows; ++y) {
            std::memcpy(held, image.Row(y), rowBytes);
            reversedCopy(image.Row(y), held, columns);
        }
        ReleaseResidentPages(image.pixels, 0, rows * rowBytes);
        return;
    }
    // Top and bottom rows change places; for the half turn each is also mirrored.
    const bool mirror = orientation == kOrientationHalfTurn;
    for (std::size_t top = 0, bottom = rows - 1; top < bottom; ++top, --bottom) {
        std::memcpy(held, image.Row(top), rowBytes);
        if (mirror) {
            reversedCopy(image.Row(top), image.Row(bottom), columns);
            reversedCopy(image.Row(bottom), held, columns);
        } else {
            std::memcpy(image.Row(top), image.Row(bottom), rowBytes);
            std::memcpy(image.Row(bottom), held, rowBytes);
        }
    }
    if (mirror && rows % 2 == 1) {
        std::memcpy(held, image.Row(rows / 2), rowBytes);
        reversedCopy(image.Row(rows / 2), held, columns);
    }
    ReleaseResidentPages(image.pixels, 0, rows * rowBytes);
}

// Where the target's pixels come from, in source bytes: target (x, y) reads
// origin + x * stepX + y * stepY. The target is rows wide and columns high.
struct TurnPlan {
    std::ptrdiff_t origin = 0, stepX = 0, stepY = 0;
};

TurnPlan planTurn(std::size_t columns, std::size_t rows, int orientation) {
    const auto row = static_cast<std::ptrdiff_t>(columns * 4);
    const auto lastRow = static_cast<std::ptrdiff_t>(rows - 1) * row;
    const auto lastColumn = static_cast<std::ptrdiff_t>(columns - 1) * 4;
    switch (orientation) {
    case kOrientationTransposed: // target (x, y) = source (y, x)
        return {0, row, 4};
    case kOrientationQuarterRight: // source (y, rows - 1 - x)
        return {lastRow, -row, 4};
    case kOrientationTransverse: // source (columns - 1 - y, rows - 1 - x)
        return {lastRow + lastColumn, -row, -4};
    default: // kOrientationQuarterLeft: source (columns - 1 - y, x)
        return {lastColumn, row, -4};
    }
}

// Faults in the pages of [begin, end) of a block mapped in memory before they are written: one
// call instead of a trap per page took the first turn of a 24 MP image from about 110 to 80 ms.
// Blocks from new[] are small, and those in a file must not become resident all at once.
void populate(const PixelBuffer& block, std::size_t begin, std::size_t end) {
    const PixelDeleter& kind = block.get_deleter();
    if (kind.mapped == 0 || kind.file) {
        return;
    }
    constexpr int kPopulateWrite = 23; // MADV_POPULATE_WRITE, Linux 5.14; refused before
    begin = begin / 4096 * 4096;
    end = std::min(kind.mapped, (end + 4095) / 4096 * 4096);
    if (end > begin) {
        ::madvise(block.get() + begin, end - begin, kPopulateWrite);
    }
}

// Writes the target rows [first, last) (multiples of kTile but for the end) tile by tile.
void turnRows(const std::uint8_t* source, std::uint8_t* target, std::size_t targetColumns,
              std::size_t first, std::size_t last, const TurnPlan& plan,
              const PixelBuffer& targetBlock) {
    const std::size_t rowBytes = targetColumns * 4;
    populate(targetBlock, first * rowBytes, last * rowBytes);
    std::size_t released = first;
    for (std::size_t top = first; top < last; top += kTile) {
        const std::size_t bottom = std::min(last, top + kTile);
        for (std::size_t left = 0; left < targetColumns; left += kTile) {
            const std::size_t width = std::min(kTile, targetColumns - left);
            for (std::size_t y = top; y < bottom; ++y) {
                const std::uint8_t* from =
                    source + (plan.origin + static_cast<std::ptrdiff_t>(left) * plan.stepX +
                              static_cast<std::ptrdiff_t>(y) * plan.stepY);
                std::uint8_t* to = target + y * rowBytes + left * 4;
                for (std::size_t x = 0; x < width; ++x) {
                    std::memcpy(to + x * 4, from + static_cast<std::ptrdiff_t>(x) * plan.stepX, 4);
                }
            }
        }
        if ((bottom - released) * rowBytes >= kResidentBytes) {
            ReleaseResidentPages(targetBlock, released * rowBytes, (bottom - released) * rowBytes);
            released = bottom;
        }
    }
    ReleaseResidentPages(targetBlock, released * rowBytes, (last - released) * rowBytes);
}

// Orientations 5 to 8 of image's pixels into target (rows x columns pixels).
void turnInto(const Image& image, const PixelBuffer& target, int orientation) {
    const std::size_t columns = image.columns, rows = image.rows;
    const TurnPlan plan = planTurn(columns, rows, orientation);
    const std::uint8_t* source = image.pixels.get();
    // The target has `rows` columns and `columns` rows.
    const std::size_t targetRows = columns;
    std::size_t split = targetRows;
    if (columns * rows >= kTwoThreadPixels && std::thread::hardware_concurrency() > 1) {
        split = (targetRows / 2 + kTile - 1) / kTile * kTile;
    }
    RunInTwoParts(split, targetRows, [&](std::size_t begin, std::size_t end) {
        turnRows(source, target.get(), rows, begin, end, plan, target);
    });
    ReleaseResidentPages(image.pixels, 0, columns * rows * 4);
}

// A block for the turned pixels, where the image's own block is: a record too large for memory
// keeps living in a cache file.
PixelBuffer allocateLike(const PixelBuffer& block, std::size_t bytes) {
    if (block && block.get_deleter().file) {
        return AllocateFilePixels(bytes);
    }
    return AllocatePixels(bytes);
}

bool hasPixels(const Image& image) {
    return image.columns != 0 && image.rows != 0 && image.pixels;
}

} // namespace

bool OrientImage(Image& image, int orientation) {
    if (orientation <= kOrientationUpright || orientation > kOrientationQuarterLeft) {
        return true;
    }
    Image* const reduced = image.reduced.get();
    if (orientation <= kOrientationFlipped) {
        // Its last block column (or row) may be narrower than the others; mirrored, the reduced
        // copy is then off by less than one of its own pixels, which views drawn from it (far
        // below 1:1) cannot show.
        const std::unique_ptr<std::uint8_t[]> held(
            new (std::nothrow) std::uint8_t[std::max<std::size_t>(image.columns, 1) * 4]);
        if (!held) {
            return false;
        }
        flipInPlace(image, orientation, held.get());
        if (reduced != nullptr) {
            flipInPlace(*reduced, orientation, held.get());
        }
        return true;
    }
    // Both blocks first, so that a refusal leaves the whole record as it was.
    PixelBuffer turned, reducedTurned;
    if (hasPixels(image)) {
        turned = allocateLike(image.pixels, image.columns * image.rows * 4);
        if (!turned) {
            return false;
        }
    }
    if (reduced != nullptr && hasPixels(*reduced)) {
        reducedTurned = allocateLike(reduced->pixels, reduced->columns * reduced->rows * 4);
        if (!reducedTurned) {
            return false;
        }
    }
    if (turned) {
        turnInto(image, turned, orientation);
        image.pixels = std::move(turned);
    }
    std::swap(image.columns, image.rows);
    if (reduced != nullptr) {
        if (reducedTurned) {
            turnInto(*reduced, reducedTurned, orientation);
            reduced->pixels = std::move(reducedTurned);
        }
        std::swap(reduced->columns, reduced->rows);
    }
    return true;
}

int ExifOrientation(const std::uint8_t* data, std::size_t size) {
    if (data == nullptr) {
        return 0;
    }
    if (size >= 6 && std::memcmp(data, "Exif\0\0", 6) == 0) {
        data += 6;
        size -= 6;
    }
    if (size < 8) {
        return 0;
    }
    bool little = false;
    if (data[0] == 'I' && data[1] == 'I') {
        little = true;
    } else if (!(data[0] == 'M' && data[1] == 'M')) {
        return 0;
    }
    // Callers check that at + 2 (or at + 4) <= size.
    auto read16 = [&](std::size_t at) -> std::uint32_t {
        return little ? data[at] | data[at + 1] << 8 : data[at] << 8 | data[at + 1];
    };
    auto read32 = [&](std::size_t at) -> std::uint32_t {
        return little ? read16(at) | read16(at + 2) << 16 : read16(at) << 16 | read16(at + 2);
    };
    if (read16(2) != 42) {
        return 0;
    }
    const std::size_t directory = read32(4);
    if (directory > size - 2) {
        return 0;
    }
    constexpr std::uint32_t kOrientationTag = 0x0112, kShort = 3, kLong = 4;
    const std::size_t entries = read16(directory);
    for (std::size_t i = 0; i < entries; ++i) {
        const std::size_t entry = directory + 2 + i * 12;
        if (entry + 12 > size) {
            return 0;
        }
        if (read16(entry) != kOrientationTag) {
            continue;
        }
        const std::uint32_t type = read16(entry + 2);
        if ((type != kShort && type != kLong) || read32(entry + 4) != 1) {
            return 0;
        }
        const std::uint32_t value = type == kShort ? read16(entry + 8) : read32(entry + 8);
        return value >= 1 && value <= 8 ? static_cast<int>(value) : 0;
    }
    return 0;
}

int PngExifOrientation(const std::uint8_t* data, std::size_t size) {
    static const std::uint8_t kSignature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n'};
    if (data == nullptr || size < 8 || std::memcmp(data, kSignature, 8) != 0) {
        return 0;
    }
    for (std::size_t at = 8; size - at >= 12;) {
        const std::size_t length = std::size_t{data[at]} << 24 | std::size_t{data[at + 1]} << 16 |
                                   std::size_t{data[at + 2]} << 8 | data[at + 3];
        const std::uint8_t* type = data + at + 4;
        if (length > size - at - 12 || std::memcmp(type, "IDAT", 4) == 0) {
            return 0; // the chunk must come before the image data
        }
        if (std::memcmp(type, "eXIf", 4) == 0) {
            return ExifOrientation(data + at + 8, length);
        }
        at += length + 12;
    }
    return 0;
}

} // namespace engine
