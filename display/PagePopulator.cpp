#include "PagePopulator.h"

#include "platform/Memory.h"

#include <algorithm>
#include <sys/mman.h>
#include <system_error>

namespace engine {
namespace {

constexpr std::size_t kResidentBytes = std::size_t{64} << 20;

} // namespace

PagePopulator::PagePopulator(std::uint8_t* block, std::size_t bytes)
    : thread_([this, block, bytes] {
          // Small pages: making huge ones made the kernel compact memory first, which stalled
          // the decoder's own touches for up to a second.
          ::madvise(block, bytes, MADV_NOHUGEPAGE);
          constexpr std::size_t kStep = std::size_t{8} << 20;
          for (std::size_t at = 0; at < bytes && !stop_; at += kStep) {
              if (!platform::PrepareForWriting(block + at, std::min(kStep, bytes - at))) {
                  break; // an older kernel without the advice: the rows fault as before
              }
          }
      }) {}

PagePopulator::~PagePopulator() {
    stop_ = true;
    thread_.join();
}

std::unique_ptr<PagePopulator> PopulatePages(Image& record) {
    const std::size_t bytes = record.columns * record.rows * 4;
    if (!record.pixels || record.pixels.get_deleter().file) {
        return nullptr;
    }
    if (bytes < (std::size_t{16} << 20)) {
        platform::PrepareForWriting(record.pixels.get(), bytes); // a thread costs more
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
