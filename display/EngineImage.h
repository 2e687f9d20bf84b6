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

struct Image {
    unsigned long signature = kImageSignature;
    std::size_t columns = 0;
    std::size_t rows = 0;
    ClassType storage_class = DirectClass;
    std::unique_ptr<std::uint8_t[]> pixels; // columns * rows * 4 bytes, BGRA
    std::string filename;
    std::string magick; // format name

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
