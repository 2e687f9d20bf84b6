// The inner loops of the scaler: one call handles one row. Each exists in a generic and an AVX2
// (or SSE4.1) form; the best one the processor has is chosen once, at the first call.
#pragma once

#include <cstddef>
#include <cstdint>

namespace scaler {

// acc[i] = row[i]
void CopyIntoAccumulator(std::uint32_t* acc, const std::uint8_t* row, std::size_t n);
// acc[i] += row[i]
void AddToAccumulator(std::uint32_t* acc, const std::uint8_t* row, std::size_t n);
// out[i] = (wa * a[i] + wAcc * acc[i] + wb * b[i]) >> 24
void CombineAccumulator(std::uint8_t* out, std::uint32_t wa, const std::uint8_t* a,
                        std::uint32_t wAcc, const std::uint32_t* acc, std::uint32_t wb,
                        const std::uint8_t* b, std::size_t n);
// out[i] = (wa * a[i] + wb * b[i]) >> 24
void Blend(std::uint8_t* out, std::uint32_t wa, const std::uint8_t* a, std::uint32_t wb,
           const std::uint8_t* b, std::size_t n);

// A horizontal plan: destination pixel j takes count[j] source pixels from first[j] on, with
// the weights weights[offset[j] ...]; its samples are (sum of weight * sample) >> 24.
struct HorizontalPlan {
    std::uint32_t* first = nullptr;
    std::uint32_t* count = nullptr;
    std::uint32_t* offset = nullptr;
    std::uint32_t* weights = nullptr;
    std::size_t pixels = 0;
};
// Resamples one row of BGRA pixels by the plan.
void ApplyHorizontalPlan(const HorizontalPlan& plan, const std::uint8_t* in, std::uint8_t* out);

} // namespace scaler
