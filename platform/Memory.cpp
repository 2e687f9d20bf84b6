#include "Memory.h"

#include <cstdint>
#include <sys/mman.h>
#include <unistd.h>

namespace platform {
namespace {

constexpr int kPopulateWrite = 23; // MADV_POPULATE_WRITE, Linux 5.14

// 4 KB on x86, but 16 or 64 KB on some ARM kernels: madvise takes only whole pages.
std::uintptr_t pageSize() {
    static const auto size = static_cast<std::uintptr_t>(::sysconf(_SC_PAGESIZE));
    return size;
}

} // namespace

bool PrepareForWriting(void* block, std::size_t bytes) {
    const std::uintptr_t page = pageSize();
    const auto begin = reinterpret_cast<std::uintptr_t>(block);
    const std::uintptr_t first = (begin + page - 1) & ~(page - 1);
    const std::uintptr_t last = (begin + bytes) & ~(page - 1);
    return last <= first ||
           ::madvise(reinterpret_cast<void*>(first), last - first, kPopulateWrite) == 0;
}

} // namespace platform
