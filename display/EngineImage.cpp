#include "EngineImage.h"

#include "platform/Runtime.h"
#include <cstdint>
#include <cstring>
#include <limits>
#include <mutex>
#include <new>

#include <algorithm>
#include <fcntl.h>
#include <malloc.h>
#include <sys/mman.h>
#include <unistd.h>

namespace engine {

namespace {

constexpr std::size_t kLargeBlock = std::size_t{4} << 20;

// Allocates rows of pixels, or null when the size cannot be held.
PixelBuffer allocatePixels(std::size_t columns, std::size_t rows) {
    if (columns != 0 && rows > std::numeric_limits<std::size_t>::max() / 4 / columns) {
        return nullptr;
    }
    return AllocatePixels(columns * rows * 4);
}

Image* makeImage(std::size_t columns, std::size_t rows, ExceptionInfo* exception) {
    auto image = std::unique_ptr<Image>(new (std::nothrow) Image);
    if (image) {
        image->columns = columns;
        image->rows = rows;
        image->pixels = allocatePixels(columns, rows);
    }
    if (!image || (!image->pixels && columns * rows != 0)) {
        ThrowException(exception, ResourceLimitError, "Memory allocation failed",
                       "Unable to allocate image pixels");
        return nullptr;
    }
    return image.release();
}

} // namespace

namespace {

// The one large block kept for reuse: a photo's pixels (92 MB for 24 MP), whose page faults cost
// tens of milliseconds when mapped afresh. A smaller block (a reduced first view, 6 MB) is
// mapped again in a millisecond: kept, it held its memory until the next image for nothing
// and pushed out the photo-sized block kept before it.
constexpr std::size_t kSpareBlock = std::size_t{32} << 20;
std::mutex spareGuard;
std::uint8_t* spareBlock = nullptr;
std::size_t spareSize = 0;

} // namespace

void PixelDeleter::operator()(std::uint8_t* block) const {
    if (file) {
        ::munmap(block, mapped);
        return;
    }
    if (mapped == 0) {
        delete[] block;
        return;
    }
    if (mapped < kSpareBlock) {
        UnmapLargeBlock(block, mapped);
        return;
    }
    std::uint8_t* released = block;
    std::size_t releasedSize = mapped;
    {
        std::lock_guard lock(spareGuard);
        std::swap(released, spareBlock);
        std::swap(releasedSize, spareSize);
    }
    if (released != nullptr) {
        UnmapLargeBlock(released, releasedSize);
    }
}

void ReleaseFreedMemory() {
    std::uint8_t* spare = nullptr;
    std::size_t size = 0;
    {
        std::lock_guard lock(spareGuard);
        std::swap(spare, spareBlock);
        std::swap(size, spareSize);
    }
    if (spare != nullptr) {
        UnmapLargeBlock(spare, size);
    }
#if defined(__GLIBC__)
    ::malloc_trim(0);
#endif
}

void* MapLargeBlock(std::size_t bytes) {
    constexpr std::size_t kHuge = std::size_t{2} << 20;
    const std::size_t size = (bytes + 4095) / 4096 * 4096;
    if (size < bytes || size > std::numeric_limits<std::size_t>::max() - kHuge) {
        return nullptr;
    }
    void* mapped =
        ::mmap(nullptr, size + kHuge, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (mapped == MAP_FAILED) {
        return nullptr;
    }
    // Keep the 2 MB-aligned part; give the slack on either side back.
    auto* base = static_cast<std::uint8_t*>(mapped);
    auto* aligned = reinterpret_cast<std::uint8_t*>(
        (reinterpret_cast<std::uintptr_t>(base) + kHuge - 1) & ~(kHuge - 1));
    if (aligned != base) {
        ::munmap(base, static_cast<std::size_t>(aligned - base));
    }
    const std::size_t tail = static_cast<std::size_t>(base + size + kHuge - (aligned + size));
    if (tail != 0) {
        ::munmap(aligned + size, tail);
    }
    // Not marked for huge pages: where the system makes them only for marked memory, it first
    // compacts memory to find them, and a 6000 x 4000 PNG then took 0.9 to 3.7 s to decode (1 s
    // unmarked). Where it makes them for any memory, unasked, the alignment still lets it.
    // Not handed to child processes either. A child is always a program started at once (the
    // session bus's launcher, which the toolkit starts while a first photo is being decoded;
    // a helper), and sharing the pixels with it made every page written afterwards a
    // copy-on-write fault: a 24 MP WebP's decode took twice as long.
    ::madvise(aligned, size, MADV_DONTFORK);
    return aligned;
}

void UnmapLargeBlock(void* block, std::size_t bytes) {
    if (block != nullptr) {
        ::munmap(block, (bytes + 4095) / 4096 * 4096);
    }
}

PixelBuffer AllocatePixels(std::size_t bytes) {
    if (bytes < kLargeBlock) {
        return PixelBuffer(new (std::nothrow) std::uint8_t[bytes == 0 ? 1 : bytes]);
    }
    const std::size_t mapped = (bytes + 4095) / 4096 * 4096;
    {
        std::lock_guard lock(spareGuard);
        // Reused only when it wastes at most a quarter of itself.
        if (spareBlock != nullptr && spareSize >= mapped && spareSize / 4 * 3 <= mapped) {
            PixelBuffer reused(spareBlock, PixelDeleter{spareSize});
            spareBlock = nullptr;
            spareSize = 0;
            return reused;
        }
    }
    void* block = MapLargeBlock(mapped);
    if (block == nullptr) {
        return PixelBuffer(nullptr, PixelDeleter{});
    }
    return PixelBuffer(static_cast<std::uint8_t*>(block), PixelDeleter{mapped});
}

PixelBuffer AllocateFilePixels(std::size_t bytes) {
    const std::string folder = platform::CacheSubfolder("pixels");
    if (folder.empty() || bytes == 0) {
        return PixelBuffer(nullptr, PixelDeleter{});
    }
    const std::size_t size = (bytes + 4095) / 4096 * 4096;
    int fd = ::open(folder.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
    if (fd < 0) {
        // File systems without unnamed files: a named one, removed before it is used.
        std::string name = folder + "/pixels-XXXXXX";
        fd = ::mkostemp(name.data(), O_CLOEXEC);
        if (fd >= 0) {
            ::unlink(name.c_str());
        }
    }
    if (fd < 0) {
        return PixelBuffer(nullptr, PixelDeleter{});
    }
    // Reserved now, so a full disk refuses here rather than killing the process with SIGBUS
    // when a page is first written.
    void* block = MAP_FAILED;
    if (::posix_fallocate(fd, 0, static_cast<off_t>(size)) == 0) {
        block = ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    }
    ::close(fd);
    if (block == MAP_FAILED) {
        return PixelBuffer(nullptr, PixelDeleter{});
    }
    return PixelBuffer(static_cast<std::uint8_t*>(block), PixelDeleter{size, true});
}

void ReleaseResidentPages(const PixelBuffer& block, std::size_t offset, std::size_t bytes) {
    if (!block || !block.get_deleter().file) {
        return;
    }
    const std::size_t first = offset / 4096 * 4096;
    const std::size_t last = std::min(block.get_deleter().mapped, (offset + bytes) / 4096 * 4096);
    if (last > first) {
        ::madvise(block.get() + first, last - first, MADV_DONTNEED);
    }
}

void ThrowException(ExceptionInfo* exception, ExceptionType severity, const char* reason,
                    const char* description) {
    if (exception == nullptr) {
        return;
    }
    exception->severity = severity;
    exception->error_number = static_cast<int>(severity);
    exception->reason = reason != nullptr ? reason : "";
    exception->description = description != nullptr ? description : "";
}

Image* CloneImage(const Image* image, std::size_t columns, std::size_t rows, bool,
                  ExceptionInfo* exception) {
    if (image == nullptr) {
        return nullptr;
    }
    const bool whole = columns == 0 && rows == 0;
    Image* copy =
        makeImage(whole ? image->columns : columns, whole ? image->rows : rows, exception);
    if (copy == nullptr) {
        return nullptr;
    }
    copy->storage_class = image->storage_class;
    copy->filename = image->filename;
    copy->magick = image->magick;
    if (whole && image->columns * image->rows != 0) {
        std::memcpy(copy->pixels.get(), image->pixels.get(), image->columns * image->rows * 4);
    }
    return copy;
}

Image* AllocateImage() {
    return new Image;
}

Image* ConstituteImageBlock(const Image& image, std::size_t x, std::size_t y, std::size_t width,
                            std::size_t height, ExceptionInfo* exception) {
    if (x + width > image.columns || y + height > image.rows) {
        ThrowException(exception, ResourceLimitError, "Unable to constitute image",
                       "The block lies outside the image");
        return nullptr;
    }
    Image* block = makeImage(width, height, exception);
    if (block == nullptr) {
        return nullptr;
    }
    block->filename = image.filename;
    block->magick = image.magick;
    for (std::size_t row = 0; row < height; ++row) {
        std::memcpy(block->Row(row), image.Row(y + row) + x * 4, width * 4);
    }
    return block;
}

Image* ConstituteImage(std::size_t width, std::size_t height, const std::uint8_t* bgra,
                       ExceptionInfo* exception) {
    Image* image = makeImage(width, height, exception);
    if (image != nullptr && width * height != 0) {
        std::memcpy(image->pixels.get(), bgra, width * height * 4);
    }
    return image;
}

void DestroyImage(Image* image) {
    delete image;
}

} // namespace engine
