#include "PagePopulator.h"

#include <algorithm>
#include <sys/mman.h>
#include <system_error>

namespace engine {
namespace {

constexpr int kPopulateWrite = 23; // MADV_POPULATE_WRITE, Linux 5.14
constexpr std::size_t kResidentBytes = std::size_t{64} << 20;

} // namespace

PagePopulator::PagePopulator(std::uint8_t* block, std::size_t bytes)
    : thread_([this, block, bytes] {
          // Small pages: making huge ones made the kernel compact memory first, which stalled
          // the decoder's own touches for up to a second.
          ::madvise(block, bytes, MADV_NOHUGEPAGE);
          constexpr std::size_t kStep = std::size_t{8} << 20;
          for (std::size_t at = 0; at < bytes && !stop_; at += kStep) {
              if (::madvise(block + at, std::min(kStep, bytes - at), kPopulateWrite) != 0) {
                  break; // an older kernel without the advice: the rows fault as before
              }
          }
      }) {}

void PrepareForWriting(void* block, std::size_t bytes) {
    constexpr std::uintptr_t kPage = 4096;
    const auto begin = reinterpret_cast<std::uintptr_t>(block);
    const std::uintptr_t first = (begin + kPage - 1) & ~(kPage - 1);
    const std::uintptr_t last = (begin + bytes) & ~(kPage - 1);
    if (last > first) {
        ::madvise(reinterpret_cast<void*>(first), last - first, kPopulateWrite);
    }
}

PagePopulator::~PagePopulator() {
    stop_ = true;
    thread_.join();
}

std::unique_ptr<PagePopulator> PopulatePages(Image& record) {
    const std::size_t bytes = record.columns * record.rows * 4;
    if (bytes < (std::size_t{16} << 20) || !record.pixels || record.pixels.get_deleter().file) {
        return nullptr;
    }
    try {
        return std::make_unique<PagePopulator>(record.pixels.get(), bytes);
    } catch (const std::system_error&) {
        return nullptr; // the rows fault in on the decoding thread
    }
}

void FinishedRows::Upto(std::size_t rows) {
    const std::size_t rowBytes = record_.columns * 4;
    if ((rows - released_) * rowBytes >= kResidentBytes) {
        ReleaseResidentPages(record_.pixels, released_ * rowBytes, (rows - released_) * rowBytes);
        released_ = rows;
    }
}

} // namespace engine
