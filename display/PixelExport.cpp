#include "PixelExport.h"

namespace engine {
namespace {

// The library's 16-to-8-bit rounding, exactly: ((q + 128) - ((q + 128) >> 8)) >> 8.
inline std::uint8_t toByte(std::uint32_t q) {
    return static_cast<std::uint8_t>(((q + 128u) - ((q + 128u) >> 8)) >> 8);
}

} // namespace

__attribute__((target_clones("avx2", "default"))) void
ExportBgra(const std::uint16_t* __restrict in, std::uint8_t* __restrict out, std::size_t n,
           bool matte) {
    if (matte) {
        for (std::size_t i = 0; i < n; ++i) {
            out[i * 4 + 0] = toByte(in[i * 4 + 0]);
            out[i * 4 + 1] = toByte(in[i * 4 + 1]);
            out[i * 4 + 2] = toByte(in[i * 4 + 2]);
            out[i * 4 + 3] = toByte(65535u - in[i * 4 + 3]);
        }
    } else {
        for (std::size_t i = 0; i < n; ++i) {
            out[i * 4 + 0] = toByte(in[i * 4 + 0]);
            out[i * 4 + 1] = toByte(in[i * 4 + 1]);
            out[i * 4 + 2] = toByte(in[i * 4 + 2]);
            out[i * 4 + 3] = 255;
        }
    }
}

} // namespace engine
