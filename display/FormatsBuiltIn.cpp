// The JPEG XL and HEIF decoders built into the engine (a build without the format module).
#include "FormatModule.h"

namespace engine {

DecodeResult DecodeJpegXl(const DirectRequest& request) {
    return loaded::DecodeJpegXl(request);
}

DecodeResult PingJpegXl(const unsigned char* data, std::size_t size) {
    return loaded::PingJpegXl(data, size);
}

bool JxlMayBeAnimated(const unsigned char* data, std::size_t size) {
    return loaded::JxlMayBeAnimated(data, size);
}

std::unique_ptr<JxlFrames> JxlFrames::Open(const unsigned char* data, std::size_t size,
                                           const std::atomic<bool>* cancel, DecodeResult& failure) {
    return loaded::OpenJxlFrames(data, size, cancel, failure);
}

DecodeResult DecodeHeif(const DirectRequest& request) {
    return loaded::DecodeHeif(request);
}

DecodeResult PingHeif(const unsigned char* data, std::size_t size) {
    return loaded::PingHeif(data, size);
}

} // namespace engine
