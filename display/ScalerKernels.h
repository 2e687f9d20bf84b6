// The inner loops of the scaler: one call handles one row. Each exists in a generic form and
// forms for SSE4.1, AVX2, AVX-512 and AVX-512 with VBMI and VNNI; the best one the processor has
// is chosen once, at the first call.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace scaler {

// The rows a later call will read that this one does not: `count` rows of samples from `first`
// on, `stride` bytes apart. The loops fetch them into the cache as they go, so that memory keeps
// streaming while the caller works on the row just made.
struct RowsAhead {
    const std::uint8_t* first = nullptr;
    std::size_t count = 0;
    std::size_t stride = 0;
};
// out[i] = (wa * a[i] + wSum * (rows[0][i] + ... + rows[k - 1][i]) + wb * b[i]) >> 24: the
// whole vertical combination of one destination row in one pass over the columns, each source
// row read once.
void CombineRows(std::uint8_t* out, std::uint32_t wa, const std::uint8_t* a, std::uint32_t wSum,
                 const std::uint8_t* const* rows, std::size_t k, std::uint32_t wb,
                 const std::uint8_t* b, std::size_t n, const RowsAhead& ahead = {});
// out[i] = (wa * a[i] + wb * b[i]) >> 24
void Blend(std::uint8_t* out, std::uint32_t wa, const std::uint8_t* a, std::uint32_t wb,
           const std::uint8_t* b, std::size_t n);

// The instruction sets the row loops come in (Avx512Vbmi: with VNNI too). The best one the
// processor has is used unless a test or benchmark asks for another (which must be one the
// processor has).
enum class InstructionSet { Generic, Sse41, Avx2, Avx512, Avx512Vbmi };
InstructionSet BestInstructionSet();
void UseInstructionSet(InstructionSet set);

// A plan's weights laid out for the vector loops of one instruction set: the framed layout
// where the plan has its shape, else the paired one.
struct GroupedWeights {
    InstructionSet set = InstructionSet::Generic; // the loops they are laid out for
    // When every pixel's terms fit a window of 2 * pairs source pixels from start[j] (within the
    // row). Pixels go in blocks of `lanes` (the last block padded with its last pixel); per block
    // and pair of terms, 16 * lanes words: the high 12-bit halves of the weights, [t0 t1] per
    // channel for each pixel of the block in turn, then the low halves likewise. pairs = 0: no
    // grouped layout at all; start and halves are empty when the framed layout is made.
    std::uint32_t pairs = 0;
    std::uint32_t lanes = 0;
    std::vector<std::uint32_t> start;
    std::vector<std::int16_t> halves;
    // With AVX-512 VBMI: per block of four pixels, the 32 source pixels from base[block] hold
    // every term of the block, and index[block] (64 bytes) picks the samples of the first pair
    // of each pixel out of them (the next pair: 8 bytes on). Empty when not made.
    std::vector<std::uint32_t> base;
    std::vector<std::uint8_t> index;
    // The framed layout, for a shrink: every pixel has a first and a last term of any weight
    // and between them at most 4 * middleGroups terms that all weigh `middle`.
    // With AVX-512 VBMI and VNNI, per block of four pixels: all its terms lie within the 32
    // source pixels from frameBase[block]; edgeIndex (64 bytes) picks [first last] of each
    // channel as words, middleIndex (64 bytes per group) the terms between as bytes, of which
    // middleMask (one per group) keeps the real ones; edgeHalves (64 words) holds the high
    // 12-bit halves of [first last] per channel, then the low ones.
    // With AVX2 (middleGroups 1), per block of two pixels, one per 128-bit lane: each pixel's
    // terms lie within the 8 source pixels from frameBase[pixel]; edgeIndex and middleIndex hold
    // two byte-shuffle controls each (for the first 16 bytes of the lanes' windows, then for
    // the next 16), the terms between coming as bytes grouped by channel; edgeHalves as above
    // (32 words). middleGroups = 0: not made.
    std::uint32_t middleGroups = 0;
    std::uint32_t middle = 0;
    std::vector<std::uint32_t> frameBase;
    std::vector<std::uint8_t> edgeIndex;
    std::vector<std::uint8_t> middleIndex;
    std::vector<std::uint64_t> middleMask;
    std::vector<std::int16_t> edgeHalves;
};

// A horizontal plan: destination pixel j takes count[j] source pixels from first[j] on, with
// the weights weights[offset[j] ...]; its samples are (sum of weight * sample) >> 24. With
// grouped weights (made by GroupWeights for this plan) the vector loops are used.
struct HorizontalPlan {
    std::uint32_t* first = nullptr;
    std::uint32_t* count = nullptr;
    std::uint32_t* offset = nullptr;
    std::uint32_t* weights = nullptr;
    std::size_t pixels = 0;
    const GroupedWeights* grouped = nullptr;
};
// Lays out the weights of a plan whose pixels all have the same count for the loops of the
// instruction set in use: the framed layout where the plan has its shape (AVX2, AVX-512 VBMI),
// else pairs, start and halves in blocks of 4 pixels for AVX-512, 2 for AVX2, and with VBMI base
// and index too where the blocks' terms fit. False when it cannot (another instruction set, a
// row shorter than the window, more than 16 terms, a weight of 2^27 or more).
bool GroupWeights(const HorizontalPlan& plan, std::uint32_t last, GroupedWeights& grouped);

// Resamples one row of BGRA pixels by the plan.
void ApplyHorizontalPlan(const HorizontalPlan& plan, const std::uint8_t* in, std::uint8_t* out);

} // namespace scaler
