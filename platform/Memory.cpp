#include "Memory.h"

#include <cstdint>
#include <sys/mman.h>

namespace platform {
namespace {

constexpr int kPopulateWrite = 23; // MADV_POPULATE_WRITE, Linux 5.14
constexpr std::uintptr_t kPage = 4096;

} // namespace

bool PrepareForWriting(void* block, std::size_t bytes) {
    const auto begin = reinterpret_cast<std::uintptr_t>(block);
    const std::uintptr_t first = (begin + kPage - 1) & ~(kPage - 1);
    const std::uintptr_t last = (begin + bytes) & ~(kPage - 1);
    return last <= first ||
           ::madvise(reinterpret_cast<void*>(first), last - first, kPopulateWrite) == 0;
}

} // namespace platform
