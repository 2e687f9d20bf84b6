#include "MagickLibrary.h"

#include "EngineImage.h"

#include <magick/MagickCore.h>

#include "platform/Runtime.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <unordered_map>

namespace engine {
namespace {

std::mutex startGuard;
bool started = false;
std::string temporaryFolder;

// Added to the system's policy; the most restrictive rule wins.
const char* const kPolicy = R"(<policymap>
  <policy domain="delegate" rights="none" pattern="*" />
  <policy domain="coder" rights="none" pattern="{URL,HTTP,HTTPS,FTP,MSL,MVG,TEXT,TXT,SHOW,WIN,X,EPHEMERAL,INLINE,PLT,SCAN}" />
  <policy domain="path" rights="none" pattern="@*" />
  <policy domain="module" rights="none" pattern="{MSL,MVG,URL,TXT}" />
</policymap>)";

// Read before the system's policy file (found first on the configure path), so these values
// are the ones the library uses. The memory and map limits only bound the library's bookkeeping
// of streamed rows and of the images read whole, which the decoder sizes itself
// (kMaximumPixelsReadWhole); disk 0 means no pixel cache ever goes to a file.
std::string resourcePolicy(const std::string& temporary) {
    return "<policymap>\n"
           "  <policy domain=\"resource\" name=\"width\" value=\"" +
           std::to_string(kMaximumSide) +
           "\"/>\n"
           "  <policy domain=\"resource\" name=\"height\" value=\"" +
           std::to_string(kMaximumSide) +
           "\"/>\n"
           "  <policy domain=\"resource\" name=\"area\" value=\"" +
           std::to_string(kMaximumPixels + 1) +
           "\"/>\n"
           "  <policy domain=\"resource\" name=\"memory\" value=\"64GiB\"/>\n"
           "  <policy domain=\"resource\" name=\"map\" value=\"64GiB\"/>\n"
           "  <policy domain=\"resource\" name=\"disk\" value=\"0\"/>\n"
           "  <policy domain=\"resource\" name=\"temporary-path\" value=\"" +
           temporary +
           "\"/>\n"
           "</policymap>\n";
}

// Removes the folders of processes that no longer run (killed before they could clean up).
void removeDeadFolders(const std::string& parent) {
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(parent, error)) {
        const std::string name = entry.path().filename().string();
        char* end = nullptr;
        const long pid = std::strtol(name.c_str(), &end, 10);
        if (pid <= 0 || *end != '\0' || pid == ::getpid()) {
            continue;
        }
        if (::kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH) {
            std::filesystem::remove_all(entry.path(), error);
        }
    }
}

// A private folder for the library's temporary files and its policy file; empty when the
// runtime folder cannot be had (the library then keeps the system's settings).
std::string makeTemporaryFolder() {
    const std::string parent = platform::RuntimeSubfolder("magick");
    if (parent.empty()) {
        return {};
    }
    removeDeadFolders(parent);
    const std::string folder = parent + "/" + std::to_string(::getpid());
    std::error_code error;
    std::filesystem::remove_all(folder, error);
    if (::mkdir(folder.c_str(), 0700) != 0) {
        return {};
    }
    std::ofstream policy(folder + "/policy.xml");
    policy << resourcePolicy(folder);
    policy.close();
    return policy ? folder : std::string();
}

// The library's aligned blocks, its pixel cache among them (16 bits a sample: 192 MB for a
// 6000 x 4000 photo). Large ones are mapped on their own, on huge-page boundaries, and every one
// is unmapped when the library frees it.
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
    temporaryFolder = makeTemporaryFolder();
    static bool cleanupRegistered = false;
    if (!cleanupRegistered) {
        cleanupRegistered = true;
        // A program that ends without stopping the library still leaves nothing behind.
        std::atexit([] {
            if (!temporaryFolder.empty()) {
                std::error_code error;
                std::filesystem::remove_all(temporaryFolder, error);
            }
        });
    }
    // The library reads its policy files once, while it starts: ours is found first through
    // the configure path, which is then given back as it was.
    const char* configure = std::getenv("MAGICK_CONFIGURE_PATH");
    const std::string previous = configure != nullptr ? configure : "";
    if (!temporaryFolder.empty()) {
        ::setenv("MAGICK_CONFIGURE_PATH", temporaryFolder.c_str(), 1);
    }
    MagickCoreGenesis(programPath, MagickFalse);
    ::ExceptionInfo* exception = AcquireExceptionInfo();
    SetMagickSecurityPolicy(kPolicy, exception);
    DestroyExceptionInfo(exception);
    if (configure != nullptr) {
        ::setenv("MAGICK_CONFIGURE_PATH", previous.c_str(), 1);
    } else {
        ::unsetenv("MAGICK_CONFIGURE_PATH");
    }
    // Whatever the policy files say, never more than ours.
    SetMagickResourceLimit(WidthResource, kMaximumSide);
    SetMagickResourceLimit(HeightResource, kMaximumSide);
    // The library refuses an area equal to its limit; ours allows it.
    SetMagickResourceLimit(AreaResource, static_cast<MagickSizeType>(kMaximumPixels + 1));
    SetMagickResourceLimit(DiskResource, 0);
    started = true;
}

std::string MagickTemporaryFolder() {
    std::lock_guard lock(startGuard);
    return temporaryFolder;
}

void DestroyMagick() {
    std::lock_guard lock(startGuard);
    if (started) {
        MagickCoreTerminus();
        started = false;
        if (!temporaryFolder.empty()) {
            std::error_code error;
            std::filesystem::remove_all(temporaryFolder, error);
            temporaryFolder.clear();
        }
    }
}

bool MagickStarted() {
    std::lock_guard lock(startGuard);
    return started;
}

} // namespace engine
