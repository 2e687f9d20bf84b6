// The JPEG XL and HEIF decoders reached through the format module, loaded on first use.
#include "FormatModule.h"

#include <dlfcn.h>

#include <filesystem>
#include <mutex>
#include <system_error>
#include <vector>

namespace engine {
namespace {

struct Loaded {
    const FormatModule* table = nullptr;
    std::string problem; // why there is no table
};

// Beside the library or program holding this code (the build folder, or the private library
// folder the package installs), else in the installed program's private library folder.
std::vector<std::filesystem::path> modulePlaces() {
    std::vector<std::filesystem::path> places;
    Dl_info info{};
    if (dladdr(reinterpret_cast<void*>(&modulePlaces), &info) != 0 && info.dli_fname != nullptr) {
        places.push_back(std::filesystem::path(info.dli_fname).parent_path() / kFormatModuleFile);
    }
    std::error_code error;
    const std::filesystem::path program = std::filesystem::read_symlink("/proc/self/exe", error);
    if (!error) {
        places.push_back(program.parent_path().parent_path() / "lib/orvalen" / kFormatModuleFile);
    }
    return places;
}

const Loaded& module() {
    static Loaded loaded;
    static std::once_flag once;
    std::call_once(once, [] {
        for (const std::filesystem::path& place : modulePlaces()) {
            // Kept loaded for the life of the process: its decoders' threads and objects may
            // outlive any one use.
            void* handle = dlopen(place.c_str(), RTLD_NOW | RTLD_LOCAL);
            if (handle == nullptr) {
                const char* why = dlerror();
                if (loaded.problem.empty() || std::filesystem::exists(place)) {
                    loaded.problem = why != nullptr ? why : place.string();
                }
                continue;
            }
            using Entry = const FormatModule* (*)();
            const auto entry = reinterpret_cast<Entry>(dlsym(handle, kFormatModuleEntry));
            const FormatModule* table = entry != nullptr ? entry() : nullptr;
            if (table == nullptr || table->version != kFormatModuleVersion) {
                loaded.problem = place.string() + " is not this version's format module";
                continue;
            }
            loaded.table = table;
            return;
        }
    });
    return loaded;
}

DecodeResult unavailable() {
    return DirectFailure(DecodeFailure::Damaged,
                         "not readable here: the program's format module could not be loaded",
                         module().problem);
}

} // namespace

DecodeResult DecodeJpegXl(const DirectRequest& request) {
    const FormatModule* table = module().table;
    return table != nullptr ? table->decode_jpeg_xl(request) : unavailable();
}

DecodeResult PingJpegXl(const unsigned char* data, std::size_t size) {
    const FormatModule* table = module().table;
    return table != nullptr ? table->ping_jpeg_xl(data, size) : unavailable();
}

bool JxlMayBeAnimated(const unsigned char* data, std::size_t size) {
    const FormatModule* table = module().table;
    return table == nullptr || table->jxl_may_be_animated(data, size);
}

std::unique_ptr<JxlFrames> JxlFrames::Open(const unsigned char* data, std::size_t size,
                                           const std::atomic<bool>* cancel, DecodeResult& failure) {
    const FormatModule* table = module().table;
    if (table == nullptr) {
        failure = unavailable();
        return nullptr;
    }
    return table->open_jxl_frames(data, size, cancel, failure);
}

DecodeResult DecodeHeif(const DirectRequest& request) {
    const FormatModule* table = module().table;
    return table != nullptr ? table->decode_heif(request) : unavailable();
}

DecodeResult PingHeif(const unsigned char* data, std::size_t size) {
    const FormatModule* table = module().table;
    return table != nullptr ? table->ping_heif(data, size) : unavailable();
}

} // namespace engine
