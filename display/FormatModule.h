// The JPEG XL and HEIF decoders and their libraries, which cost every start of the program time
// and memory while most never see such a file: in the program they live in a module of their own,
// libFramekitFormats.so, loaded the first time one of their files comes. The engine reaches
// them through the module's table; a build without the module has them built in, behind the
// same functions (JxlDecoder.h, HeifDecoder.h).
#pragma once

#include "HeifDecoder.h"
#include "JxlDecoder.h"

#include <string>

namespace engine {

// The decoders themselves, as JxlDecoder.h and HeifDecoder.h describe them.
namespace loaded {
DecodeResult DecodeJpegXl(const DirectRequest& request);
DecodeResult PingJpegXl(const unsigned char* data, std::size_t size);
bool JxlMayBeAnimated(const unsigned char* data, std::size_t size);
std::unique_ptr<JxlFrames> OpenJxlFrames(const unsigned char* data, std::size_t size,
                                         const std::atomic<bool>* cancel, DecodeResult& failure);
DecodeResult DecodeHeif(const DirectRequest& request);
DecodeResult PingHeif(const unsigned char* data, std::size_t size);
} // namespace loaded

// The module's table: its decoders, and the version of this table it was built with.
struct FormatModule {
    int version = 0;
    DecodeResult (*decode_jpeg_xl)(const DirectRequest&) = nullptr;
    DecodeResult (*ping_jpeg_xl)(const unsigned char*, std::size_t) = nullptr;
    bool (*jxl_may_be_animated)(const unsigned char*, std::size_t) = nullptr;
    std::unique_ptr<JxlFrames> (*open_jxl_frames)(const unsigned char*, std::size_t,
                                                  const std::atomic<bool>*,
                                                  DecodeResult&) = nullptr;
    DecodeResult (*decode_heif)(const DirectRequest&) = nullptr;
    DecodeResult (*ping_heif)(const unsigned char*, std::size_t) = nullptr;
};
constexpr int kFormatModuleVersion = 1;
constexpr const char kFormatModuleFile[] = "libFramekitFormats.so";
constexpr const char kFormatModuleEntry[] = "OrvalenFormatModule";

} // namespace engine
