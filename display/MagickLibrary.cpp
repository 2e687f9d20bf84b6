#include "MagickLibrary.h"

#include "EngineImage.h"

#include <magick/MagickCore.h>

#include <cstdlib>
#include <mutex>
#include <unordered_map>

namespace engine {
namespace {

std::mutex startGuard;
bool started = false;

// Added to the system's policy; the most restrictive rule wins.
const char* const kPolicy = R"(<policymap>
  <policy domain="delegate" rights="none" pattern="*" />
  <policy domain="coder" rights="none" pattern="{URL,HTTP,HTTPS,FTP,MSL,MVG,TEXT,TXT,SHOW,WIN,X,EPHEMERAL,INLINE,PLT,SCAN}" />
  <policy domain="path" rights="none" pattern="@*" />
  <policy domain="module" rights="none" pattern="{MSL,MVG,URL,TXT}" />
</policymap>)";

// The library's aligned blocks, its pixel cache among them (16 bits a sample: 192 MB for a
// 6000 x 4000 photo). Large ones are mapped for huge pages: faulting in that much memory 4 KB at a
// time took longer than decoding the JPEG.
constexpr std::size_t kLargeAligned = std::size_t{4} << 20;
std::mutex largeGuard;
std::unordered_map<void*, std::size_t>& largeBlocks() {
    static auto* blocks = new std::unordered_map<void*, std::size_t>; // outlives every free
    return *blocks;
}

void* acquireAligned(const std::size_t size, const std::size_t alignment) {
    if (size >= kLargeAligned && alignment <= 4096) {
        void* block = MapLargeBlock(size);
        if (block != nullptr) {
            std::lock_guard lock(largeGuard);
            largeBlocks().emplace(block, size);
        }
        return block;
    }
    void* block = nullptr;
    const std::size_t at = alignment < sizeof(void*) ? sizeof(void*) : alignment;
    return ::posix_memalign(&block, at, size == 0 ? 1 : size) == 0 ? block : nullptr;
}

void relinquishAligned(void* block) {
    if (block == nullptr) {
        return;
    }
    std::size_t size = 0;
    {
        std::lock_guard lock(largeGuard);
        const auto found = largeBlocks().find(block);
        if (found != largeBlocks().end()) {
            size = found->second;
            largeBlocks().erase(found);
        }
    }
    if (size != 0) {
        UnmapLargeBlock(block, size);
    } else {
        std::free(block);
    }
}

} // namespace

void InitializeMagick(const char* programPath) {
    std::lock_guard lock(startGuard);
    if (started) {
        return;
    }
    SetMagickAlignedMemoryMethods(acquireAligned, relinquishAligned);
    MagickCoreGenesis(programPath, MagickFalse);
    ::ExceptionInfo* exception = AcquireExceptionInfo();
    SetMagickSecurityPolicy(kPolicy, exception);
    DestroyExceptionInfo(exception);
    SetMagickResourceLimit(WidthResource, kMaximumSide);
    SetMagickResourceLimit(HeightResource, kMaximumSide);
    SetMagickResourceLimit(AreaResource, static_cast<MagickSizeType>(kMaximumPixels));
    SetMagickResourceLimit(DiskResource, 0);
    started = true;
}

void DestroyMagick() {
    std::lock_guard lock(startGuard);
    if (started) {
        MagickCoreTerminus();
        started = false;
    }
}

bool MagickStarted() {
    std::lock_guard lock(startGuard);
    return started;
}

} // namespace engine
