#include "PixelExport.h"

#include <algorithm>

#include <cstdint>
#include <immintrin.h>

namespace engine {
namespace {

// The vector loop does SampleToByte's rounding with the sum saturated at 65535: every q that
// would pass 65535 gives 255 either way.
inline std::uint8_t toByte(std::uint32_t q) {
    return SampleToByte(q);
}

void exportGeneric(const std::uint16_t* in, std::uint8_t* out, std::size_t n, bool matte) {
    for (std::size_t i = 0; i < n; ++i) {
        out[i * 4 + 0] = toByte(in[i * 4 + 0]);
        out[i * 4 + 1] = toByte(in[i * 4 + 1]);
        out[i * 4 + 2] = toByte(in[i * 4 + 2]);
        out[i * 4 + 3] = matte ? toByte(65535u - in[i * 4 + 3]) : 255;
    }
}

__attribute__((target("avx2"))) inline __m256i roundToBytes(__m256i q) {
    const __m256i t = _mm256_adds_epu16(q, _mm256_set1_epi16(128));
    return _mm256_srli_epi16(_mm256_sub_epi16(t, _mm256_srli_epi16(t, 8)), 8);
}

// Eight pixels an iteration; opacity turns into alpha by flipping its bits (65535 - o). A large
// target is written with streaming stores: it is far bigger than the caches, and a plain store
// would first read every line of it from memory.
__attribute__((target("avx2"))) void exportAvx2(const std::uint16_t* in, std::uint8_t* out,
                                                std::size_t n, bool matte) {
    const __m256i flip = matte ? _mm256_set1_epi64x(static_cast<long long>(0xFFFF000000000000ULL))
                               : _mm256_setzero_si256();
    const __m256i opaque =
        matte ? _mm256_setzero_si256() : _mm256_set1_epi32(static_cast<int>(0xFF000000u));
    const bool stream = n * 4 >= (std::size_t{4} << 20);
    std::size_t i = 0;
    if (stream) {
        // Up to the first 32-byte boundary of the target the plain way (pixels are 4 bytes).
        const std::size_t misaligned = reinterpret_cast<std::uintptr_t>(out) % 32;
        if (misaligned % 4 == 0) {
            i = misaligned == 0 ? 0 : (32 - misaligned) / 4;
            exportGeneric(in, out, i, matte);
        }
    }
    const bool aligned = reinterpret_cast<std::uintptr_t>(out + i * 4) % 32 == 0;
    for (; i + 8 <= n; i += 8) {
        const __m256i first = _mm256_xor_si256(
            _mm256_loadu_si256(reinterpret_cast<const __m256i*>(in + i * 4)), flip);
        const __m256i second = _mm256_xor_si256(
            _mm256_loadu_si256(reinterpret_cast<const __m256i*>(in + i * 4 + 16)), flip);
        const __m256i bytes = _mm256_or_si256(
            _mm256_permute4x64_epi64(_mm256_packus_epi16(roundToBytes(first), roundToBytes(second)),
                                     0xD8),
            opaque);
        if (stream && aligned) {
            _mm256_stream_si256(reinterpret_cast<__m256i*>(out + i * 4), bytes);
        } else {
            _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + i * 4), bytes);
        }
    }
    if (stream && aligned) {
        _mm_sfence(); // streamed data is seen by other threads only after a fence
    }
    exportGeneric(in + i * 4, out + i * 4, n - i, matte);
}

using ExportFunction = void (*)(const std::uint16_t*, std::uint8_t*, std::size_t, bool);

ExportFunction chooseExport() {
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2") ? exportAvx2 : exportGeneric;
}

} // namespace

void ExportBgra(const std::uint16_t* in, std::uint8_t* out, std::size_t n, bool matte) {
    static const ExportFunction chosen = chooseExport();
    chosen(in, out, n, matte);
}

void ExportBgraPlain(const std::uint16_t* in, std::uint8_t* out, std::size_t n, bool matte) {
    exportGeneric(in, out, n, matte);
}

void RgbToBgra(const std::uint8_t* in, std::uint8_t* out, std::size_t n, bool alpha) {
    if (alpha) {
        for (std::size_t i = 0; i < n; ++i) {
            out[i * 4 + 0] = in[i * 4 + 2];
            out[i * 4 + 1] = in[i * 4 + 1];
            out[i * 4 + 2] = in[i * 4 + 0];
            out[i * 4 + 3] = in[i * 4 + 3];
        }
        return;
    }
    for (std::size_t i = 0; i < n; ++i) {
        out[i * 4 + 0] = in[i * 3 + 2];
        out[i * 4 + 1] = in[i * 3 + 1];
        out[i * 4 + 2] = in[i * 3 + 0];
        out[i * 4 + 3] = 255;
    }
}

bool PremultiplyAlpha(std::uint8_t* bgra, std::size_t n) {
    std::size_t first = 0;
    while (first < n && bgra[first * 4 + 3] == 255) {
        ++first;
    }
    if (first == n) {
        return false;
    }
    for (std::size_t i = first; i < n; ++i) {
        std::uint8_t* pixel = bgra + i * 4;
        const std::uint32_t alpha = pixel[3];
        if (alpha == 255) {
            continue;
        }
        for (int c = 0; c < 3; ++c) {
            // x * a / 255 rounded, exactly, without a division.
            const std::uint32_t t = pixel[c] * alpha + 128;
            pixel[c] = static_cast<std::uint8_t>((t + (t >> 8)) >> 8);
        }
    }
    return true;
}

void CompositeOverWhite(std::uint8_t* bgra, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) {
        std::uint8_t* pixel = bgra + i * 4;
        const int clear = 255 - pixel[3];
        for (int c = 0; c < 3; ++c) {
            pixel[c] = static_cast<std::uint8_t>(std::min(255, pixel[c] + clear));
        }
        pixel[3] = 255;
    }
}

} // namespace engine
