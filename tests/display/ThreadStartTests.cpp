// A TIFF read on several threads that runs out of memory while it starts them reads on with
// the threads it has: the failure must not end the program, as a running thread's object
// destroyed unjoined would. This program stands in for the system: it reports four processors,
// and once armed, the first allocation on the thread that has just started a thread fails.
#include "display/ImageDecoder.h"
#include "display/MagickLibrary.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <dlfcn.h>
#include <pthread.h>
#include <tiffio.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <new>
#include <vector>

namespace {

std::atomic<bool> armed{false};
std::atomic<bool> failing{false};
std::atomic<pthread_t> creator{};
std::atomic<int> failures{0};

} // namespace

// Four processors, so that the reader starts three threads of its own on any machine.
extern "C" int get_nprocs() {
    return 4;
}

extern "C" int pthread_create(pthread_t* thread, const pthread_attr_t* attributes,
                              void* (*start)(void*), void* argument) {
    using Real = int (*)(pthread_t*, const pthread_attr_t*, void* (*)(void*), void*);
    static const auto real = reinterpret_cast<Real>(::dlsym(RTLD_NEXT, "pthread_create"));
    const int made = real(thread, attributes, start, argument);
    if (made == 0 && armed.exchange(false)) {
        creator = ::pthread_self();
        failing = true;
    }
    return made;
}

void* operator new(std::size_t size) {
    if (failing.load() && ::pthread_equal(::pthread_self(), creator.load()) != 0) {
        failing = false;
        ++failures;
        throw std::bad_alloc();
    }
    if (void* block = std::malloc(size == 0 ? 1 : size)) {
        return block;
    }
    throw std::bad_alloc();
}

// Not inlined: the compiler would otherwise see free() meet a pointer from operator new.
[[gnu::noinline]] void operator delete(void* block) noexcept {
    std::free(block);
}

[[gnu::noinline]] void operator delete(void* block, std::size_t) noexcept {
    std::free(block);
}

namespace {

// An uncompressed RGB TIFF of twelve strips, each row its own colour.
std::string stripedTiff(const std::string& path, std::uint32_t width, std::uint32_t height) {
    TIFF* tiff = TIFFOpen(path.c_str(), "w");
    EXPECT_NE(tiff, nullptr);
    if (tiff == nullptr) {
        return path;
    }
    TIFFSetField(tiff, TIFFTAG_IMAGEWIDTH, width);
    TIFFSetField(tiff, TIFFTAG_IMAGELENGTH, height);
    TIFFSetField(tiff, TIFFTAG_BITSPERSAMPLE, 8);
    TIFFSetField(tiff, TIFFTAG_SAMPLESPERPIXEL, 3);
    TIFFSetField(tiff, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_RGB);
    TIFFSetField(tiff, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
    TIFFSetField(tiff, TIFFTAG_COMPRESSION, COMPRESSION_NONE);
    TIFFSetField(tiff, TIFFTAG_ROWSPERSTRIP, height / 12);
    std::vector<std::uint8_t> row(width * 3);
    for (std::uint32_t y = 0; y < height; ++y) {
        for (std::uint32_t x = 0; x < width; ++x) {
            row[x * 3] = static_cast<std::uint8_t>(y * 7);
            row[x * 3 + 1] = static_cast<std::uint8_t>(x * 3);
            row[x * 3 + 2] = static_cast<std::uint8_t>(x ^ y);
        }
        EXPECT_EQ(TIFFWriteScanline(tiff, row.data(), y, 0), 1);
    }
    TIFFClose(tiff);
    return path;
}

} // namespace

TEST(ThreadStart, ATiffReaderOutOfMemoryForItsNextThreadReadsOnWithTheOthers) {
    testsupport::IsolatedFolders folders;
    engine::InitializeMagick(nullptr);
    const std::string path = stripedTiff(folders.Home() + "/strips.tif", 96, 96);
    const engine::DecodeResult whole = engine::DecodeImageFile(path);
    ASSERT_TRUE(whole.image) << whole.message;
    ASSERT_EQ(failures.load(), 0);

    armed = true;
    const engine::DecodeResult short_of_memory = engine::DecodeImageFile(path);
    armed = false;
    EXPECT_EQ(failures.load(), 1) << "no thread was started, or no allocation followed it";
    ASSERT_TRUE(short_of_memory.image) << short_of_memory.message;
    ASSERT_EQ(short_of_memory.image->columns, whole.image->columns);
    ASSERT_EQ(short_of_memory.image->rows, whole.image->rows);
    EXPECT_EQ(std::memcmp(short_of_memory.image->pixels.get(), whole.image->pixels.get(),
                          whole.image->columns * whole.image->rows * 4),
              0);
}
