#include "ScalerKernels.h"

#include <immintrin.h>

namespace scaler {

// GCC builds each of these for AVX2 and for the baseline and picks one when the program loads.
#define ORVALEN_VECTOR_CLONES __attribute__((target_clones("avx2", "default")))

ORVALEN_VECTOR_CLONES
void CopyIntoAccumulator(std::uint32_t* __restrict acc, const std::uint8_t* __restrict row,
                         std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) {
        acc[i] = row[i];
    }
}

ORVALEN_VECTOR_CLONES
void AddToAccumulator(std::uint32_t* __restrict acc, const std::uint8_t* __restrict row,
                      std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) {
        acc[i] += row[i];
    }
}

ORVALEN_VECTOR_CLONES
void CombineAccumulator(std::uint8_t* __restrict out, std::uint32_t wa,
                        const std::uint8_t* __restrict a, std::uint32_t wAcc,
                        const std::uint32_t* __restrict acc, std::uint32_t wb,
                        const std::uint8_t* __restrict b, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) {
        out[i] = static_cast<std::uint8_t>((wa * a[i] + wAcc * acc[i] + wb * b[i]) >> 24);
    }
}

ORVALEN_VECTOR_CLONES
void Blend(std::uint8_t* __restrict out, std::uint32_t wa, const std::uint8_t* __restrict a,
           std::uint32_t wb, const std::uint8_t* __restrict b, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) {
        out[i] = static_cast<std::uint8_t>((wa * a[i] + wb * b[i]) >> 24);
    }
}

namespace {

void applyGeneric(const HorizontalPlan& plan, const std::uint8_t* in, std::uint8_t* out) {
    for (std::size_t j = 0; j < plan.pixels; ++j) {
        const std::uint8_t* source = in + static_cast<std::size_t>(plan.first[j]) * 4;
        const std::uint32_t* weight = plan.weights + plan.offset[j];
        std::uint32_t sum[4] = {0, 0, 0, 0};
        for (std::uint32_t t = 0; t < plan.count[j]; ++t, source += 4) {
            for (int channel = 0; channel < 4; ++channel) {
                sum[channel] += weight[t] * source[channel];
            }
        }
        for (int channel = 0; channel < 4; ++channel) {
            out[j * 4 + channel] = static_cast<std::uint8_t>(sum[channel] >> 24);
        }
    }
}

__attribute__((target("sse4.1"))) void applySse41(const HorizontalPlan& plan,
                                                  const std::uint8_t* in, std::uint8_t* out) {
    for (std::size_t j = 0; j < plan.pixels; ++j) {
        const std::uint8_t* source = in + static_cast<std::size_t>(plan.first[j]) * 4;
        const std::uint32_t* weight = plan.weights + plan.offset[j];
        __m128i sum = _mm_setzero_si128();
        for (std::uint32_t t = 0; t < plan.count[j]; ++t, source += 4) {
            int packed;
            __builtin_memcpy(&packed, source, 4);
            const __m128i samples = _mm_cvtepu8_epi32(_mm_cvtsi32_si128(packed));
            sum = _mm_add_epi32(
                sum, _mm_mullo_epi32(samples, _mm_set1_epi32(static_cast<int>(weight[t]))));
        }
        const __m128i shifted = _mm_srli_epi32(sum, 24);
        const __m128i bytes = _mm_packus_epi16(_mm_packus_epi32(shifted, shifted), shifted);
        const int result = _mm_cvtsi128_si32(bytes);
        __builtin_memcpy(out + j * 4, &result, 4);
    }
}

using ApplyFunction = void (*)(const HorizontalPlan&, const std::uint8_t*, std::uint8_t*);

ApplyFunction chooseApply() {
    __builtin_cpu_init();
    return __builtin_cpu_supports("sse4.1") ? applySse41 : applyGeneric;
}

} // namespace

void ApplyHorizontalPlan(const HorizontalPlan& plan, const std::uint8_t* in, std::uint8_t* out) {
    static const ApplyFunction apply = chooseApply();
    apply(plan, in, out);
}

} // namespace scaler
