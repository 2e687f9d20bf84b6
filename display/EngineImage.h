// The engine's own 8-bit image record and the few library-like operations on it.
//
// Wherever engine functions hand an image to each other (the scaler's input and output, an
// image adopted after scaling) they pass this record: what an 8-bit build of the image library
// would hold in memory. Pixels are four bytes in the order blue, green, red, alpha, rows top
// to bottom without gaps, columns * 4 bytes each.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace engine {

constexpr unsigned long kImageSignature = 0xabacadabUL;

enum ClassType { UndefinedClass = 0, DirectClass = 1, PseudoClass = 2 };

// Severities as the image library numbers them.
enum ExceptionType {
    UndefinedException = 0,
    ResourceLimitWarning = 300,
    ResourceLimitError = 400,
};

// What an operation failed with.
struct ExceptionInfo {
    ExceptionType severity = UndefinedException;
    int error_number = 0;
    std::string reason;
    std::string description;
};

void ThrowException(ExceptionInfo* exception, ExceptionType severity, const char* reason,
                    const char* description);

// A block of at least bytes mapped on its own, on a 2 MB boundary (where the system makes huge
// pages unasked, a 192 MB block then takes about a hundred page faults, not 47,000); null when
// memory runs out. The size to give back is bytes rounded up to whole 4 KB pages.
void* MapLargeBlock(std::size_t bytes);
void UnmapLargeBlock(void* block, std::size_t bytes);

// Pixel memory. Large blocks are mapped on their own (MapLargeBlock), and the last one of 32 MB
// and more freed is kept for the next image of about its size: fresh memory costs a page fault
// per 4 KB on first touch (tens of milliseconds for a 6000 x 4000 image), and a viewer stepping
// through photos of one camera asks for the same size again and again.
struct PixelDeleter {
    std::size_t mapped = 0; // bytes mapped, 0 for a block from new[]
    bool file = false;      // mapped from a file (AllocateFilePixels)
    void operator()(std::uint8_t* block) const;
};
using PixelBuffer = std::unique_ptr<std::uint8_t[], PixelDeleter>;
// A block of bytes (at least 1), or an empty buffer when memory runs out.
PixelBuffer AllocatePixels(std::size_t bytes);
// A block of bytes in a file of the per-user cache folder, mapped shared: for images too large
// to keep in memory, whose pages the kernel can write out and drop. The file is unnamed (or
// removed at once), so nothing is left behind however the process ends. Empty when the folder
// or its disk cannot hold it.
PixelBuffer AllocateFilePixels(std::size_t bytes);
// Gives freed memory back to the system: the pixel block kept for the next image (after a photo
// turned upright, the whole photo as decoded) and the pages of freed heap memory, which the
// decoders' worker threads leave in their arenas. A walk of the heap, about a millisecond: for
// moments when nothing waits on it.
void ReleaseFreedMemory();
// Drops the pages of [offset, offset + bytes) of a file-mapped block from this process (they
// stay in the file and come back on the next touch); does nothing for other blocks.
void ReleaseResidentPages(const PixelBuffer& block, std::size_t offset, std::size_t bytes);

struct Image {
    unsigned long signature = kImageSignature;
    std::size_t columns = 0;
    std::size_t rows = 0;
    ClassType storage_class = DirectClass;
    PixelBuffer pixels; // columns * rows * 4 bytes, BGRA
    std::string filename;
    std::string magick; // format name
    // For a very large image: a copy reduced reduced_factor times on each axis (box averages),
    // which views far below 1:1 are drawn from instead of reading the whole image.
    std::unique_ptr<Image> reduced;
    std::size_t reduced_factor = 0;

    std::uint8_t* Row(std::size_t y) { return pixels.get() + y * columns * 4; }
    const std::uint8_t* Row(std::size_t y) const { return pixels.get() + y * columns * 4; }
};

// A copy of image. With columns and rows both 0 the copy is whole, pixels included; otherwise
// it is an image of that size with image's names and pixels still to be written. Null (and the
// exception filled) when memory runs out or the size cannot be held.
Image* CloneImage(const Image* image, std::size_t columns, std::size_t rows, bool orphan,
                  ExceptionInfo* exception);
// An empty image: 0 x 0, no pixels.
Image* AllocateImage();
// A new image made from the block (x, y, width, height) of image's pixels, which must lie
// inside it. Null on failure.
Image* ConstituteImageBlock(const Image& image, std::size_t x, std::size_t y, std::size_t width,
                            std::size_t height, ExceptionInfo* exception);
// A new image of width x height from a BGRA pixel block (copied).
Image* ConstituteImage(std::size_t width, std::size_t height, const std::uint8_t* bgra,
                       ExceptionInfo* exception);
void DestroyImage(Image* image);

} // namespace engine
