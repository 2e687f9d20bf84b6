#include "ScalerKernels.h"

#include <algorithm>
#include <atomic>
#include <immintrin.h>
#include <type_traits>
#include <utility>

namespace scaler {

// GCC builds each of these for AVX2 and for the baseline and picks one when the program loads.
#define ORVALEN_VECTOR_CLONES __attribute__((target_clones("avx2", "default")))

ORVALEN_VECTOR_CLONES
void Blend(std::uint8_t* __restrict out, std::uint32_t wa, const std::uint8_t* __restrict a,
           std::uint32_t wb, const std::uint8_t* __restrict b, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) {
        out[i] = static_cast<std::uint8_t>((wa * a[i] + wb * b[i]) >> 24);
    }
}

namespace {

// More than 256 whole rows: their sums, even in two halves, no longer fit signed words. They
// are gathered row by row into 32-bit sums (each row read front to back once), then combined.
ORVALEN_VECTOR_CLONES
void addRow(std::uint32_t* __restrict sums, const std::uint8_t* __restrict row, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) {
        sums[i] += row[i];
    }
}

ORVALEN_VECTOR_CLONES
void combineSums(std::uint8_t* __restrict out, std::uint32_t wa, const std::uint8_t* __restrict a,
                 std::uint32_t wSum, const std::uint32_t* __restrict sums, std::uint32_t wb,
                 const std::uint8_t* __restrict b, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) {
        out[i] = static_cast<std::uint8_t>((wa * a[i] + wSum * sums[i] + wb * b[i]) >> 24);
    }
}

void combineManyRows(std::uint8_t* out, std::uint32_t wa, const std::uint8_t* a, std::uint32_t wSum,
                     const std::uint8_t* const* rows, std::size_t k, std::uint32_t wb,
                     const std::uint8_t* b, std::size_t n) {
    thread_local std::vector<std::uint32_t> sums;
    sums.assign(n, 0);
    for (std::size_t r = 0; r < k; ++r) {
        addRow(sums.data(), rows[r], n);
    }
    combineSums(out, wa, a, wSum, sums.data(), wb, b, n);
}

// Asks for the cache line of each row ahead that holds sample i, once per line, into the
// second-level cache (the first is too small for rows that are read a row later).
__attribute__((always_inline)) inline void fetchAhead(const RowsAhead& ahead, std::size_t i) {
    if (i % 64 == 0) {
        for (std::size_t r = 0; r < ahead.count; ++r) {
            _mm_prefetch(reinterpret_cast<const char*>(ahead.first + r * ahead.stride + i),
                         _MM_HINT_T1);
        }
    }
}

void combineRowsGeneric(std::uint8_t* out, std::uint32_t wa, const std::uint8_t* a,
                        std::uint32_t wSum, const std::uint8_t* const* rows, std::size_t k,
                        std::uint32_t wb, const std::uint8_t* b, std::size_t from, std::size_t n) {
    for (std::size_t i = from; i < n; ++i) {
        std::uint32_t sum = 0;
        for (std::size_t r = 0; r < k; ++r) {
            sum += rows[r][i];
        }
        out[i] = static_cast<std::uint8_t>((wa * a[i] + wSum * sum + wb * b[i]) >> 24);
    }
}

// Calls apply(std::integral_constant<int, N>) with N = value where a loop is unrolled for it
// (1 to Most), else with N = 0 (the loop reads the value).
template <int Most, typename Apply> void withUnrolled(std::size_t value, Apply apply) {
    [&]<int... N>(std::integer_sequence<int, N...>) {
        const bool unrolled =
            ((value == N + 1 ? (apply(std::integral_constant<int, N + 1>()), true) : false) || ...);
        if (!unrolled) {
            apply(std::integral_constant<int, 0>());
        }
    }
    (std::make_integer_sequence<int, Most>());
}

// The whole rows of a combination. With Rows > 0 (that many), their pointers are copied into
// locals the compiler keeps in registers and the loop over them is unrolled; otherwise they
// are read from the caller's list, which every store to the output could have changed.
// The first `half` of them and the rest are summed apart (see combineRowsAvx2).
template <int Rows> struct RowList {
    const std::uint8_t* row[Rows];
    static constexpr std::size_t count = Rows;
    static constexpr std::size_t half = (Rows + 1) / 2;
    RowList(const std::uint8_t* const* rows, std::size_t) {
        for (int r = 0; r < Rows; ++r) {
            row[r] = rows[r];
        }
    }
    const std::uint8_t* operator[](std::size_t r) const { return row[r]; }
};
template <> struct RowList<0> {
    const std::uint8_t* const* rows;
    std::size_t count;
    std::size_t half;
    RowList(const std::uint8_t* const* list, std::size_t k)
        : rows(list), count(k), half((k + 1) / 2) {}
    const std::uint8_t* operator[](std::size_t r) const { return rows[r]; }
};

// The 32-bit pair [first second] of 16-bit words, for a register of them.
int wordPair(std::uint32_t first, std::uint32_t second) {
    return static_cast<int>(first | (second << 16));
}

// Up to 256 whole rows, 16 samples at a time. The whole rows are summed in two halves of at
// most 128 rows, whose sums fit signed words; per sample, [first-half-sum a] and
// [second-half-sum b] are made word pairs and madd weighs them with the 12-bit halves of the
// weights, as the horizontal loops do: no sample widened to 32 bits, no 32-bit multiply. The
// packs undo the order the unpacks leave within each 128-bit lane.
template <int Rows>
__attribute__((target("avx2"))) void
combineRowsAvx2(std::uint8_t* out, std::uint32_t wa, const std::uint8_t* a, std::uint32_t wSum,
                const std::uint8_t* const* rows, std::size_t k, std::uint32_t wb,
                const std::uint8_t* b, std::size_t n, const RowsAhead& ahead) {
    const __m256i sumAHigh = _mm256_set1_epi32(wordPair(wSum >> 12, wa >> 12));
    const __m256i sumALow = _mm256_set1_epi32(wordPair(wSum & 0xFFF, wa & 0xFFF));
    const __m256i sumBHigh = _mm256_set1_epi32(wordPair(wSum >> 12, wb >> 12));
    const __m256i sumBLow = _mm256_set1_epi32(wordPair(wSum & 0xFFF, wb & 0xFFF));
    const __m256i zero = _mm256_setzero_si256();
    const RowList<Rows> whole(rows, k);
    std::size_t i = 0;
    for (; i + 16 <= n; i += 16) {
        fetchAhead(ahead, i);
        __m256i sums[2] = {zero, zero};
        for (std::size_t r = 0; r < whole.half; ++r) {
            sums[0] =
                _mm256_add_epi16(sums[0], _mm256_cvtepu8_epi16(_mm_loadu_si128(
                                              reinterpret_cast<const __m128i*>(whole[r] + i))));
        }
        for (std::size_t r = whole.half; r < whole.count; ++r) {
            sums[1] =
                _mm256_add_epi16(sums[1], _mm256_cvtepu8_epi16(_mm_loadu_si128(
                                              reinterpret_cast<const __m128i*>(whole[r] + i))));
        }
        const __m256i a16 =
            _mm256_cvtepu8_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(a + i)));
        const __m256i b16 =
            _mm256_cvtepu8_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(b + i)));
        __m256i samples[2];
        for (int half = 0; half < 2; ++half) {
            const __m256i sumA = half == 0 ? _mm256_unpacklo_epi16(sums[0], a16)
                                           : _mm256_unpackhi_epi16(sums[0], a16);
            const __m256i sumB = half == 0 ? _mm256_unpacklo_epi16(sums[1], b16)
                                           : _mm256_unpackhi_epi16(sums[1], b16);
            const __m256i high = _mm256_add_epi32(_mm256_madd_epi16(sumA, sumAHigh),
                                                  _mm256_madd_epi16(sumB, sumBHigh));
            const __m256i low = _mm256_add_epi32(_mm256_madd_epi16(sumA, sumALow),
                                                 _mm256_madd_epi16(sumB, sumBLow));
            samples[half] =
                _mm256_srli_epi32(_mm256_add_epi32(_mm256_slli_epi32(high, 12), low), 24);
        }
        const __m256i words = _mm256_packus_epi32(samples[0], samples[1]);
        const __m256i bytes = _mm256_permute4x64_epi64(_mm256_packus_epi16(words, words), 0x08);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i), _mm256_castsi256_si128(bytes));
    }
    combineRowsGeneric(out, wa, a, wSum, rows, k, wb, b, i, n);
}

// GCC 12's AVX-512 headers give a false "may be used uninitialized" for their own placeholders.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"

// As combineRowsAvx2, 32 samples at a time, with the accumulating madd; the samples are the
// sums' top bytes, picked out of both registers and put in order by one byte permutation.
template <int Rows>
__attribute__((target("avx512f,avx512bw,avx512vl,avx512vbmi,avx512vnni"))) void
combineRowsVnni(std::uint8_t* out, std::uint32_t wa, const std::uint8_t* a, std::uint32_t wSum,
                const std::uint8_t* const* rows, std::size_t k, std::uint32_t wb,
                const std::uint8_t* b, std::size_t n, const RowsAhead& ahead) {
    const __m512i sumAHigh = _mm512_set1_epi32(wordPair(wSum >> 12, wa >> 12));
    const __m512i sumALow = _mm512_set1_epi32(wordPair(wSum & 0xFFF, wa & 0xFFF));
    const __m512i sumBHigh = _mm512_set1_epi32(wordPair(wSum >> 12, wb >> 12));
    const __m512i sumBLow = _mm512_set1_epi32(wordPair(wSum & 0xFFF, wb & 0xFFF));
    // Sample s of the 32: in lane s / 8 of the first sums when s % 8 < 4, else of the second.
    alignas(64) static const std::uint8_t order[64] = {
        3,  7,  11, 15, 67, 71,  75,  79,  19, 23, 27, 31, 83,  87,  91,  95,
        35, 39, 43, 47, 99, 103, 107, 111, 51, 55, 59, 63, 115, 119, 123, 127};
    const __m512i top = _mm512_load_si512(order);
    const __m512i zero = _mm512_setzero_si512();
    const RowList<Rows> whole(rows, k);
    std::size_t i = 0;
    for (; i + 32 <= n; i += 32) {
        fetchAhead(ahead, i);
        __m512i sums[2] = {zero, zero};
        for (std::size_t r = 0; r < whole.half; ++r) {
            sums[0] =
                _mm512_add_epi16(sums[0], _mm512_cvtepu8_epi16(_mm256_loadu_si256(
                                              reinterpret_cast<const __m256i*>(whole[r] + i))));
        }
        for (std::size_t r = whole.half; r < whole.count; ++r) {
            sums[1] =
                _mm512_add_epi16(sums[1], _mm512_cvtepu8_epi16(_mm256_loadu_si256(
                                              reinterpret_cast<const __m256i*>(whole[r] + i))));
        }
        const __m512i a16 =
            _mm512_cvtepu8_epi16(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(a + i)));
        const __m512i b16 =
            _mm512_cvtepu8_epi16(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(b + i)));
        __m512i total[2];
        for (int half = 0; half < 2; ++half) {
            const __m512i sumA = half == 0 ? _mm512_unpacklo_epi16(sums[0], a16)
                                           : _mm512_unpackhi_epi16(sums[0], a16);
            const __m512i sumB = half == 0 ? _mm512_unpacklo_epi16(sums[1], b16)
                                           : _mm512_unpackhi_epi16(sums[1], b16);
            const __m512i high =
                _mm512_dpwssd_epi32(_mm512_madd_epi16(sumA, sumAHigh), sumB, sumBHigh);
            const __m512i low =
                _mm512_dpwssd_epi32(_mm512_madd_epi16(sumA, sumALow), sumB, sumBLow);
            total[half] = _mm512_add_epi32(_mm512_slli_epi32(high, 12), low);
        }
        _mm256_storeu_si256(
            reinterpret_cast<__m256i*>(out + i),
            _mm512_castsi512_si256(_mm512_permutex2var_epi8(total[0], top, total[1])));
    }
    combineRowsGeneric(out, wa, a, wSum, rows, k, wb, b, i, n);
}

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

// Two terms per multiply: the pixels of a pair widen into one register, and their two weights
// are spread over the matching lanes.
__attribute__((target("avx2"))) void applyAvx2(const HorizontalPlan& plan, const std::uint8_t* in,
                                               std::uint8_t* out) {
    const __m256i spread = _mm256_setr_epi32(0, 0, 0, 0, 1, 1, 1, 1);
    for (std::size_t j = 0; j < plan.pixels; ++j) {
        const std::uint8_t* source = in + static_cast<std::size_t>(plan.first[j]) * 4;
        const std::uint32_t* weight = plan.weights + plan.offset[j];
        const std::uint32_t count = plan.count[j];
        __m256i sum = _mm256_setzero_si256();
        std::uint32_t t = 0;
        for (; t + 2 <= count; t += 2) {
            const __m256i weights =
                _mm256_permutevar8x32_epi32(_mm256_castsi128_si256(_mm_loadl_epi64(
                                                reinterpret_cast<const __m128i*>(weight + t))),
                                            spread);
            const __m256i samples = _mm256_cvtepu8_epi32(
                _mm_loadl_epi64(reinterpret_cast<const __m128i*>(source + t * 4)));
            sum = _mm256_add_epi32(sum, _mm256_mullo_epi32(samples, weights));
        }
        __m128i total =
            _mm_add_epi32(_mm256_castsi256_si128(sum), _mm256_extracti128_si256(sum, 1));
        if (t < count) {
            int packed;
            __builtin_memcpy(&packed, source + t * 4, 4);
            const __m128i samples = _mm_cvtepu8_epi32(_mm_cvtsi32_si128(packed));
            total = _mm_add_epi32(
                total, _mm_mullo_epi32(samples, _mm_set1_epi32(static_cast<int>(weight[t]))));
        }
        const __m128i shifted = _mm_srli_epi32(total, 24);
        const __m128i bytes = _mm_packus_epi16(_mm_packus_epi32(shifted, shifted), shifted);
        const int result = _mm_cvtsi128_si32(bytes);
        __builtin_memcpy(out + j * 4, &result, 4);
    }
}

// Two destination pixels at once, one in each half of the registers. Per pair of terms, the
// two source pixels of each are widened to words as [t0 t1] per channel and multiplied by the
// high and the low 12-bit halves of the weights with madd; sum = (high << 12) + low is the
// 32-bit sum of weight * sample exactly, as no product or pair sum comes near 2^31.
template <int Pairs>
__attribute__((target("avx2"), always_inline)) inline __m256i
twoPixels(const HorizontalPlan& plan, const std::uint8_t* in, std::size_t j) {
    const __m128i order = _mm_setr_epi8(0, 4, 1, 5, 2, 6, 3, 7, 8, 12, 9, 13, 10, 14, 11, 15);
    const GroupedWeights& grouped = *plan.grouped;
    const std::uint8_t* first = in + static_cast<std::size_t>(grouped.start[j]) * 4;
    const std::uint8_t* second = in + static_cast<std::size_t>(grouped.start[j + 1]) * 4;
    const std::uint32_t pairs = Pairs > 0 ? Pairs : grouped.pairs;
    const std::int16_t* halves = grouped.halves.data() + (j / 2) * pairs * 32;
    __m256i high = _mm256_setzero_si256();
    __m256i low = _mm256_setzero_si256();
    for (std::uint32_t p = 0; p < pairs; ++p, first += 8, second += 8, halves += 32) {
        const __m128i both = _mm_castpd_si128(
            _mm_loadh_pd(_mm_castsi128_pd(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(first))),
                         reinterpret_cast<const double*>(second)));
        const __m256i samples = _mm256_cvtepu8_epi16(_mm_shuffle_epi8(both, order));
        high = _mm256_add_epi32(
            high, _mm256_madd_epi16(samples,
                                    _mm256_loadu_si256(reinterpret_cast<const __m256i*>(halves))));
        low = _mm256_add_epi32(
            low, _mm256_madd_epi16(
                     samples, _mm256_loadu_si256(reinterpret_cast<const __m256i*>(halves + 16))));
    }
    return _mm256_srli_epi32(_mm256_add_epi32(_mm256_slli_epi32(high, 12), low), 24);
}

// The bytes the two controls pick out of a lane's 32 source bytes, near and far.
__attribute__((target("avx2"), always_inline)) inline __m256i
pickFromWindow(__m256i near, __m256i far, const std::uint8_t* controls) {
    const auto* control = reinterpret_cast<const __m256i*>(controls);
    return _mm256_or_si256(_mm256_shuffle_epi8(near, _mm256_loadu_si256(control)),
                           _mm256_shuffle_epi8(far, _mm256_loadu_si256(control + 1)));
}

// A shrink's two pixels: the first and last terms of each come as words out of two byte
// shuffles (of the 16 source bytes from frameBase[j] and of the next 16) and are weighed with
// madd; the terms between them, which all weigh the same, come as bytes by channel out of two
// more, are summed with maddubs and madd against ones and weighed by one multiply.
__attribute__((target("avx2"), always_inline)) inline __m256i
twoFramedPixels(const HorizontalPlan& plan, const std::uint8_t* in, std::size_t j) {
    const GroupedWeights& grouped = *plan.grouped;
    const auto* first =
        reinterpret_cast<const __m128i*>(in + std::size_t{grouped.frameBase[j]} * 4);
    const auto* second =
        reinterpret_cast<const __m128i*>(in + std::size_t{grouped.frameBase[j + 1]} * 4);
    const __m256i near = _mm256_loadu2_m128i(second, first);
    const __m256i far = _mm256_loadu2_m128i(second + 1, first + 1);
    const __m256i edges = pickFromWindow(near, far, grouped.edgeIndex.data() + (j / 2) * 64);
    const __m256i between = _mm256_madd_epi16(
        _mm256_maddubs_epi16(pickFromWindow(near, far, grouped.middleIndex.data() + (j / 2) * 64),
                             _mm256_set1_epi8(1)),
        _mm256_set1_epi16(1));
    const auto* halves = reinterpret_cast<const __m256i*>(grouped.edgeHalves.data() + (j / 2) * 32);
    const __m256i high = _mm256_madd_epi16(edges, _mm256_loadu_si256(halves));
    const __m256i low = _mm256_madd_epi16(edges, _mm256_loadu_si256(halves + 1));
    const __m256i sums = _mm256_add_epi32(
        _mm256_add_epi32(_mm256_slli_epi32(high, 12), low),
        _mm256_mullo_epi32(between, _mm256_set1_epi32(static_cast<int>(grouped.middle))));
    return _mm256_srli_epi32(sums, 24);
}

// Two pixels' samples by the paired or the framed layout.
template <int Pairs>
__attribute__((target("avx2"), always_inline)) inline __m256i
twoPixelsBy(const HorizontalPlan& plan, const std::uint8_t* in, std::size_t j) {
    if constexpr (Pairs < 0) {
        return twoFramedPixels(plan, in, j);
    } else {
        return twoPixels<Pairs>(plan, in, j);
    }
}

// Four destination pixels are finished and stored together. Pairs < 0: the framed layout.
template <int Pairs>
__attribute__((target("avx2"))) void applyPairsAvx2(const HorizontalPlan& plan,
                                                    const std::uint8_t* in, std::uint8_t* out) {
    const __m256i order = _mm256_setr_epi32(0, 4, 1, 5, 2, 6, 3, 7);
    std::size_t j = 0;
    for (; j + 4 <= plan.pixels; j += 4) {
        const __m256i words = _mm256_packus_epi32(twoPixelsBy<Pairs>(plan, in, j),
                                                  twoPixelsBy<Pairs>(plan, in, j + 2));
        const __m256i bytes = _mm256_permutevar8x32_epi32(_mm256_packus_epi16(words, words), order);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + j * 4), _mm256_castsi256_si128(bytes));
    }
    for (; j < plan.pixels; j += 2) {
        // The last one to three pixels; the grouped data always holds an even count.
        const __m256i sums = twoPixelsBy<Pairs>(plan, in, j);
        const __m256i words = _mm256_packus_epi32(sums, sums);
        const __m256i bytes = _mm256_permutevar8x32_epi32(_mm256_packus_epi16(words, words), order);
        alignas(16) std::uint8_t two[16];
        _mm_store_si128(reinterpret_cast<__m128i*>(two), _mm256_castsi256_si128(bytes));
        __builtin_memcpy(out + j * 4, two, j + 1 < plan.pixels ? 8 : 4);
    }
}

// Four destination pixels at once, one in each 128-bit lane; otherwise as twoPixels.
template <int Pairs>
__attribute__((target("avx512f,avx512bw,avx512vl"), always_inline)) inline __m512i
fourPixels(const HorizontalPlan& plan, const std::uint8_t* in, std::size_t j) {
    const __m256i order = _mm256_setr_epi8(0, 4, 1, 5, 2, 6, 3, 7, 8, 12, 9, 13, 10, 14, 11, 15, 0,
                                           4, 1, 5, 2, 6, 3, 7, 8, 12, 9, 13, 10, 14, 11, 15);
    const std::uint8_t* source[4];
    for (int lane = 0; lane < 4; ++lane) {
        source[lane] = in + static_cast<std::size_t>(plan.grouped->start[j + lane]) * 4;
    }
    const std::uint32_t pairs = Pairs > 0 ? Pairs : plan.grouped->pairs;
    const std::int16_t* halves = plan.grouped->halves.data() + (j / 4) * pairs * 64;
    __m512i high = _mm512_setzero_si512();
    __m512i low = _mm512_setzero_si512();
    for (std::uint32_t p = 0; p < pairs; ++p, halves += 64) {
        long long piece[4];
        for (int lane = 0; lane < 4; ++lane) {
            __builtin_memcpy(&piece[lane], source[lane] + p * 8, 8);
        }
        const __m256i bytes = _mm256_setr_epi64x(piece[0], piece[1], piece[2], piece[3]);
        const __m512i samples = _mm512_cvtepu8_epi16(_mm256_shuffle_epi8(bytes, order));
        high = _mm512_add_epi32(high, _mm512_madd_epi16(samples, _mm512_loadu_si512(halves)));
        low = _mm512_add_epi32(low, _mm512_madd_epi16(samples, _mm512_loadu_si512(halves + 32)));
    }
    return _mm512_srli_epi32(_mm512_add_epi32(_mm512_slli_epi32(high, 12), low), 24);
}

template <int Pairs>
__attribute__((target("avx512f,avx512bw,avx512vl"))) void
applyPairsAvx512(const HorizontalPlan& plan, const std::uint8_t* in, std::uint8_t* out) {
    std::size_t j = 0;
    for (; j + 4 <= plan.pixels; j += 4) {
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + j * 4),
                         _mm512_cvtusepi32_epi8(fourPixels<Pairs>(plan, in, j)));
    }
    if (j < plan.pixels) {
        // The last one to three pixels; the grouped data always holds whole blocks.
        alignas(16) std::uint8_t four[16];
        _mm_store_si128(reinterpret_cast<__m128i*>(four),
                        _mm512_cvtusepi32_epi8(fourPixels<Pairs>(plan, in, j)));
        __builtin_memcpy(out + j * 4, four, (plan.pixels - j) * 4);
    }
}

// The four pixels' samples come out of two registers of source (32 pixels) with one byte
// permutation per pair, the odd bytes zeroed: words, as fourPixels makes them.
template <int Pairs>
__attribute__((target("avx512f,avx512bw,avx512vl,avx512vbmi"), always_inline)) inline __m512i
fourPixelsVbmi(const HorizontalPlan& plan, const std::uint8_t* in, std::size_t block) {
    const GroupedWeights& grouped = *plan.grouped;
    const std::uint8_t* source = in + static_cast<std::size_t>(grouped.base[block]) * 4;
    const __m512i low64 = _mm512_loadu_si512(source);
    const __m512i high64 = _mm512_loadu_si512(source + 64);
    __m512i index = _mm512_loadu_si512(grouped.index.data() + block * 64);
    const __m512i step = _mm512_set1_epi8(8);
    const std::uint32_t pairs = Pairs > 0 ? Pairs : grouped.pairs;
    const std::int16_t* halves = grouped.halves.data() + block * pairs * 64;
    __m512i high = _mm512_setzero_si512();
    __m512i low = _mm512_setzero_si512();
    for (std::uint32_t p = 0; p < pairs; ++p, halves += 64) {
        const __m512i samples =
            _mm512_maskz_permutex2var_epi8(0x5555555555555555ULL, low64, index, high64);
        high = _mm512_add_epi32(high, _mm512_madd_epi16(samples, _mm512_loadu_si512(halves)));
        low = _mm512_add_epi32(low, _mm512_madd_epi16(samples, _mm512_loadu_si512(halves + 32)));
        index = _mm512_add_epi8(index, step);
    }
    return _mm512_srli_epi32(_mm512_add_epi32(_mm512_slli_epi32(high, 12), low), 24);
}

template <int Pairs>
__attribute__((target("avx512f,avx512bw,avx512vl,avx512vbmi"))) void
applyPairsVbmi(const HorizontalPlan& plan, const std::uint8_t* in, std::uint8_t* out) {
    std::size_t j = 0;
    for (; j + 4 <= plan.pixels; j += 4) {
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + j * 4),
                         _mm512_cvtusepi32_epi8(fourPixelsVbmi<Pairs>(plan, in, j / 4)));
    }
    if (j < plan.pixels) {
        alignas(16) std::uint8_t four[16];
        _mm_store_si128(reinterpret_cast<__m128i*>(four),
                        _mm512_cvtusepi32_epi8(fourPixelsVbmi<Pairs>(plan, in, j / 4)));
        __builtin_memcpy(out + j * 4, four, (plan.pixels - j) * 4);
    }
}

// Byte 3 of each of the 16 words of a register: the top byte of each 32-bit sum, the sample
// (the sums never reach 2^32, their weights adding up to at most 2^24).
__attribute__((target("avx512f,avx512bw,avx512vl,avx512vbmi"), always_inline)) inline __m128i
topBytes(__m512i sums) {
    // Only the first 16 places matter.
    const __m512i top = _mm512_setr_epi32(0x0F0B0703, 0x1F1B1713, 0x2F2B2723, 0x3F3B3733, 0, 0, 0,
                                          0, 0, 0, 0, 0, 0, 0, 0, 0);
    return _mm512_castsi512_si128(_mm512_permutexvar_epi8(top, sums));
}

// A shrink's four pixels: the first and last terms come as words out of one permutation and
// are weighed with madd (12-bit halves, as in fourPixels); the terms between them, which all
// weigh the same, come as bytes out of one permutation per group of four, are summed by a dot
// product with ones and weighed by one multiply.
template <int Groups>
__attribute__((target("avx512f,avx512bw,avx512vl,avx512vbmi,avx512vnni"))) void
applyFramed(const HorizontalPlan& plan, const std::uint8_t* in, std::uint8_t* out) {
    const __m512i ones = _mm512_set1_epi8(1);
    const GroupedWeights& grouped = *plan.grouped;
    const __m512i middle = _mm512_set1_epi32(static_cast<int>(grouped.middle));
    // Held in locals: the stores through out could otherwise alias the plan.
    const std::size_t pixels = plan.pixels;
    const std::uint32_t* const base = grouped.frameBase.data();
    const std::uint8_t* const edgeIndex = grouped.edgeIndex.data();
    const std::int16_t* const edgeHalves = grouped.edgeHalves.data();
    const std::uint8_t* const middleIndex = grouped.middleIndex.data();
    const std::uint64_t* const middleMask = grouped.middleMask.data();
    const std::size_t blocks = (pixels + 3) / 4;
    for (std::size_t block = 0; block < blocks; ++block) {
        const std::uint8_t* source = in + static_cast<std::size_t>(base[block]) * 4;
        const __m512i low64 = _mm512_loadu_si512(source);
        const __m512i high64 = _mm512_loadu_si512(source + 64);
        const __m512i edges = _mm512_maskz_permutex2var_epi8(
            0x5555555555555555ULL, low64, _mm512_loadu_si512(edgeIndex + block * 64), high64);
        const std::int16_t* halves = edgeHalves + block * 64;
        const __m512i high = _mm512_madd_epi16(edges, _mm512_loadu_si512(halves));
        const __m512i low = _mm512_madd_epi16(edges, _mm512_loadu_si512(halves + 32));
        __m512i between = _mm512_setzero_si512();
        for (int group = 0; group < Groups; ++group) {
            const std::size_t at = block * Groups + static_cast<std::size_t>(group);
            between = _mm512_dpbusd_epi32(
                between,
                _mm512_maskz_permutex2var_epi8(middleMask[at], low64,
                                               _mm512_loadu_si512(middleIndex + at * 64), high64),
                ones);
        }
        const __m512i sums = _mm512_add_epi32(_mm512_add_epi32(_mm512_slli_epi32(high, 12), low),
                                              _mm512_mullo_epi32(between, middle));
        const __m128i bytes = topBytes(sums);
        if (block * 4 + 4 <= pixels) {
            _mm_storeu_si128(reinterpret_cast<__m128i*>(out + block * 16), bytes);
        } else {
            alignas(16) std::uint8_t four[16];
            _mm_store_si128(reinterpret_cast<__m128i*>(four), bytes);
            __builtin_memcpy(out + block * 16, four, (pixels - block * 4) * 4);
        }
    }
}

#pragma GCC diagnostic pop

std::atomic<InstructionSet>& inUse();

void applyPairs(const HorizontalPlan& plan, const std::uint8_t* in, std::uint8_t* out) {
    const GroupedWeights& grouped = *plan.grouped;
    if (grouped.set == InstructionSet::Avx512Vbmi && grouped.middleGroups == 1) {
        applyFramed<1>(plan, in, out);
    } else if (grouped.set == InstructionSet::Avx512Vbmi && grouped.middleGroups == 2) {
        applyFramed<2>(plan, in, out);
    } else if (grouped.set == InstructionSet::Avx512Vbmi && !grouped.index.empty()) {
        withUnrolled<3>(grouped.pairs, [&](auto pairs) { applyPairsVbmi<pairs()>(plan, in, out); });
    } else if (grouped.lanes == 4) {
        withUnrolled<3>(grouped.pairs,
                        [&](auto pairs) { applyPairsAvx512<pairs()>(plan, in, out); });
    } else if (grouped.middleGroups == 1) {
        applyPairsAvx2<-1>(plan, in, out);
    } else {
        withUnrolled<3>(grouped.pairs, [&](auto pairs) { applyPairsAvx2<pairs()>(plan, in, out); });
    }
}

InstructionSet detect() {
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
        __builtin_cpu_supports("avx512vl")) {
        return __builtin_cpu_supports("avx512vbmi") && __builtin_cpu_supports("avx512vnni")
                   ? InstructionSet::Avx512Vbmi
                   : InstructionSet::Avx512;
    }
    if (__builtin_cpu_supports("avx2")) {
        return InstructionSet::Avx2;
    }
    return __builtin_cpu_supports("sse4.1") ? InstructionSet::Sse41 : InstructionSet::Generic;
}

std::atomic<InstructionSet>& inUse() {
    static std::atomic<InstructionSet> set{detect()};
    return set;
}

// The pixels the grouped loop of the instruction set in use takes at once; 0: none.
std::uint32_t groupLanes() {
    switch (inUse().load(std::memory_order_relaxed)) {
    case InstructionSet::Avx512:
    case InstructionSet::Avx512Vbmi:
        return 4;
    case InstructionSet::Avx2:
        return 2;
    default:
        return 0;
    }
}

} // namespace

void CombineRows(std::uint8_t* out, std::uint32_t wa, const std::uint8_t* a, std::uint32_t wSum,
                 const std::uint8_t* const* rows, std::size_t k, std::uint32_t wb,
                 const std::uint8_t* b, std::size_t n, const RowsAhead& ahead) {
    const InstructionSet set = inUse().load(std::memory_order_relaxed);
    // The word-pair loops need every weight's high 12-bit half to fit a signed word.
    const bool halvesFit = std::max({wa, wSum, wb}) < (1u << 27);
    if (k > 256 || !halvesFit) {
        combineManyRows(out, wa, a, wSum, rows, k, wb, b, n);
    } else if (set == InstructionSet::Avx512Vbmi) {
        withUnrolled<4>(k, [&](auto whole) {
            combineRowsVnni<whole()>(out, wa, a, wSum, rows, k, wb, b, n, ahead);
        });
    } else if (set == InstructionSet::Avx512 || set == InstructionSet::Avx2) {
        withUnrolled<4>(k, [&](auto whole) {
            combineRowsAvx2<whole()>(out, wa, a, wSum, rows, k, wb, b, n, ahead);
        });
    } else {
        combineRowsGeneric(out, wa, a, wSum, rows, k, wb, b, 0, n);
    }
}

void ApplyHorizontalPlan(const HorizontalPlan& plan, const std::uint8_t* in, std::uint8_t* out) {
    const InstructionSet set = inUse().load(std::memory_order_relaxed);
    if (plan.grouped != nullptr && plan.grouped->pairs != 0 && plan.grouped->set == set) {
        applyPairs(plan, in, out);
        return;
    }
    switch (set) {
    case InstructionSet::Avx512Vbmi:
    case InstructionSet::Avx512:
    case InstructionSet::Avx2:
        applyAvx2(plan, in, out);
        break;
    case InstructionSet::Sse41:
        applySse41(plan, in, out);
        break;
    default:
        applyGeneric(plan, in, out);
        break;
    }
}

// base and index for the VBMI loop, where every block's terms lie within 32 source pixels.
void indexBlocks(GroupedWeights& grouped, std::uint32_t last) {
    const std::size_t blocks = grouped.start.size() / 4;
    const std::uint32_t window = 2 * grouped.pairs;
    std::vector<std::uint32_t> base(blocks);
    std::vector<std::uint8_t> index(blocks * 64, 0);
    for (std::size_t block = 0; block < blocks; ++block) {
        const std::uint32_t* start = grouped.start.data() + block * 4;
        const std::uint32_t from = std::min(start[0], last + 1 - 32);
        if (start[3] + window - from > 32) {
            return; // a stretch wider than two registers: the plain AVX-512 loop
        }
        base[block] = from;
        for (std::uint32_t lane = 0; lane < 4; ++lane) {
            for (std::uint32_t channel = 0; channel < 4; ++channel) {
                for (std::uint32_t t = 0; t < 2; ++t) {
                    // Word channel * 2 + t of the lane: byte t * 4 + channel of its first pair.
                    index[block * 64 + lane * 16 + (channel * 2 + t) * 2] =
                        static_cast<std::uint8_t>((start[lane] - from + t) * 4 + channel);
                }
            }
        }
    }
    grouped.base = std::move(base);
    grouped.index = std::move(index);
}

// A plan of the framed shape: per pixel its first and last terms, and the weight and the most
// number of the terms between.
struct FramedTerms {
    struct Pixel {
        std::uint32_t first, last, firstWeight, lastWeight;
    };
    std::vector<Pixel> pixels;
    std::uint32_t middle = 0;
    std::uint32_t inside = 0;
};

// False when the plan does not have the framed shape.
bool framedTerms(const HorizontalPlan& plan, FramedTerms& framed) {
    std::vector<FramedTerms::Pixel>& terms = framed.pixels;
    terms.resize(plan.pixels);
    std::uint32_t& middle = framed.middle;
    bool haveMiddle = false;
    std::uint32_t& inside = framed.inside;
    for (std::size_t j = 0; j < plan.pixels; ++j) {
        // Padding terms (weight 0) at either end are not the pixel's own.
        const std::uint32_t* weight = plan.weights + plan.offset[j];
        std::uint32_t from = 0;
        std::uint32_t to = plan.count[j];
        while (from < to && weight[from] == 0) {
            ++from;
        }
        while (to > from && weight[to - 1] == 0) {
            --to;
        }
        if (from == to) {
            return false;
        }
        const std::uint32_t end = to - 1;
        for (std::uint32_t t = from + 1; t < end; ++t) {
            if (!haveMiddle) {
                middle = weight[t];
                haveMiddle = true;
            }
            if (weight[t] != middle) {
                return false;
            }
        }
        const std::uint32_t lastWeight = end > from ? weight[end] : 0;
        if (weight[from] >= (1u << 27) || lastWeight >= (1u << 27)) {
            return false; // a high half would not fit a signed word
        }
        inside = std::max(inside, end > from ? end - from - 1 : 0);
        terms[j] = {plan.first[j] + from, plan.first[j] + end, weight[from], lastWeight};
    }
    return true;
}

// The framed layout for the VBMI loop (see GroupedWeights).
void frameBlocks(const HorizontalPlan& plan, std::uint32_t last, GroupedWeights& grouped) {
    FramedTerms framed;
    if (!framedTerms(plan, framed)) {
        return;
    }
    const std::vector<FramedTerms::Pixel>& terms = framed.pixels;
    const std::uint32_t groups = (framed.inside + 3) / 4;
    if (groups == 0 || groups > 2 || last + 1 < 32) {
        return; // nothing between (the paired loop does as well), or too many
    }
    const std::size_t blocks = (plan.pixels + 3) / 4;
    std::vector<std::uint32_t> base(blocks);
    std::vector<std::uint8_t> edgeIndex(blocks * 64, 0);
    std::vector<std::uint8_t> middleIndex(blocks * groups * 64, 0);
    std::vector<std::uint64_t> middleMask(blocks * groups, 0);
    std::vector<std::int16_t> edgeHalves(blocks * 64, 0);
    for (std::size_t block = 0; block < blocks; ++block) {
        // The last block is padded with the last pixel.
        auto lane = [&](std::size_t l) -> const FramedTerms::Pixel& {
            return terms[std::min(block * 4 + l, plan.pixels - 1)];
        };
        std::uint32_t lowest = lane(0).first;
        std::uint32_t highest = lane(0).last;
        for (std::size_t l = 1; l < 4; ++l) {
            lowest = std::min(lowest, lane(l).first);
            highest = std::max(highest, lane(l).last);
        }
        const std::uint32_t from = std::min(lowest, last + 1 - 32);
        if (highest - from >= 32) {
            return; // a stretch wider than two registers
        }
        base[block] = from;
        for (std::size_t l = 0; l < 4; ++l) {
            const FramedTerms::Pixel& pixel = lane(l);
            for (std::uint32_t channel = 0; channel < 4; ++channel) {
                const std::size_t word = l * 8 + channel * 2; // [first last] of this channel
                edgeIndex[block * 64 + word * 2] =
                    static_cast<std::uint8_t>((pixel.first - from) * 4 + channel);
                edgeIndex[block * 64 + word * 2 + 2] =
                    static_cast<std::uint8_t>((pixel.last - from) * 4 + channel);
                edgeHalves[block * 64 + word] = static_cast<std::int16_t>(pixel.firstWeight >> 12);
                edgeHalves[block * 64 + word + 1] =
                    static_cast<std::int16_t>(pixel.lastWeight >> 12);
                edgeHalves[block * 64 + 32 + word] =
                    static_cast<std::int16_t>(pixel.firstWeight & 0xFFF);
                edgeHalves[block * 64 + 32 + word + 1] =
                    static_cast<std::int16_t>(pixel.lastWeight & 0xFFF);
                const std::uint32_t between =
                    pixel.last > pixel.first ? pixel.last - pixel.first - 1 : 0;
                for (std::uint32_t t = 0; t < between; ++t) {
                    const std::size_t at = block * groups + t / 4;
                    const std::size_t byte = (l * 4 + channel) * 4 + t % 4;
                    middleIndex[at * 64 + byte] =
                        static_cast<std::uint8_t>((pixel.first + 1 + t - from) * 4 + channel);
                    middleMask[at] |= std::uint64_t{1} << byte;
                }
            }
        }
    }
    grouped.middleGroups = groups;
    grouped.middle = framed.middle;
    grouped.frameBase = std::move(base);
    grouped.edgeIndex = std::move(edgeIndex);
    grouped.middleIndex = std::move(middleIndex);
    grouped.middleMask = std::move(middleMask);
    grouped.edgeHalves = std::move(edgeHalves);
}

// The framed layout for the AVX2 loop (see GroupedWeights).
void framePairs(const HorizontalPlan& plan, std::uint32_t last, GroupedWeights& grouped) {
    FramedTerms framed;
    if (!framedTerms(plan, framed) || framed.inside == 0 || framed.inside > 4 || last + 1 < 8) {
        return;
    }
    const std::size_t blocks = (plan.pixels + 1) / 2;
    std::vector<std::uint32_t> base(blocks * 2);
    std::vector<std::uint8_t> edgeIndex(blocks * 64, 0x80);
    std::vector<std::uint8_t> middleIndex(blocks * 64, 0x80);
    std::vector<std::int16_t> edgeHalves(blocks * 32, 0);
    // Source byte `at` of the window goes to byte `to` of the lane: picked by the lane's control
    // for the first 16 bytes or by the one for the next 16. Every other byte is 0x80 (a 0).
    auto pick = [](std::uint8_t* controls, std::size_t to, std::uint32_t at) {
        controls[(at / 16) * 32 + to] = static_cast<std::uint8_t>(at % 16);
    };
    for (std::size_t j = 0; j < blocks * 2; ++j) {
        const FramedTerms::Pixel& pixel = framed.pixels[std::min(j, plan.pixels - 1)];
        const std::uint32_t from = std::min(pixel.first, last + 1 - 8);
        if (pixel.last - from >= 8) {
            return; // wider than the two loads
        }
        base[j] = from;
        const std::size_t block = j / 2;
        const std::size_t lane = j % 2;
        for (std::uint32_t channel = 0; channel < 4; ++channel) {
            std::uint8_t* edges = edgeIndex.data() + block * 64 + lane * 16;
            pick(edges, channel * 4, (pixel.first - from) * 4 + channel);
            pick(edges, channel * 4 + 2, (pixel.last - from) * 4 + channel);
            std::uint8_t* between = middleIndex.data() + block * 64 + lane * 16;
            for (std::uint32_t t = 0; t + pixel.first + 1 < pixel.last; ++t) {
                pick(between, channel * 4 + t, (pixel.first + 1 + t - from) * 4 + channel);
            }
            std::int16_t* halves = edgeHalves.data() + block * 32 + lane * 8 + channel * 2;
            halves[0] = static_cast<std::int16_t>(pixel.firstWeight >> 12);
            halves[1] = static_cast<std::int16_t>(pixel.lastWeight >> 12);
            halves[16] = static_cast<std::int16_t>(pixel.firstWeight & 0xFFF);
            halves[17] = static_cast<std::int16_t>(pixel.lastWeight & 0xFFF);
        }
    }
    grouped.middleGroups = 1;
    grouped.middle = framed.middle;
    grouped.frameBase = std::move(base);
    grouped.edgeIndex = std::move(edgeIndex);
    grouped.middleIndex = std::move(middleIndex);
    grouped.edgeHalves = std::move(edgeHalves);
}

bool GroupWeights(const HorizontalPlan& plan, std::uint32_t last, GroupedWeights& grouped) {
    grouped = GroupedWeights();
    const std::uint32_t lanes = groupLanes();
    if (plan.pixels == 0 || lanes == 0) {
        return false;
    }
    const std::uint32_t count = plan.count[0];
    const std::uint32_t pairs = (count + 1) / 2;
    const std::uint32_t window = 2 * pairs;
    if (count == 0 || count > 16 || window > last + 1) {
        return false;
    }
    for (std::size_t j = 0; j < plan.pixels; ++j) {
        if (plan.count[j] != count) {
            return false;
        }
        for (std::uint32_t t = 0; t < count; ++t) {
            if (plan.weights[plan.offset[j] + t] >= (1u << 27)) {
                return false; // its high half would not fit a signed word
            }
        }
    }
    grouped.set = inUse().load(std::memory_order_relaxed);
    grouped.pairs = pairs;
    grouped.lanes = lanes;
    // The framed layout where the plan has its shape; the paired one is then not needed.
    if (lanes == 4 && grouped.set == InstructionSet::Avx512Vbmi) {
        frameBlocks(plan, last, grouped);
    } else if (lanes == 2) {
        framePairs(plan, last, grouped);
    }
    if (grouped.middleGroups != 0) {
        return true;
    }
    const std::size_t whole = (plan.pixels + lanes - 1) / lanes * lanes;
    grouped.start.resize(whole);
    grouped.halves.assign(whole * pairs * 16, 0);
    for (std::size_t j = 0; j < whole; ++j) {
        const std::size_t pixel = std::min(j, plan.pixels - 1);
        // The window starts at the pixel's first term, or earlier where the row ends.
        const std::uint32_t first = plan.first[pixel];
        const std::uint32_t start = first + window - 1 <= last ? first : last + 1 - window;
        grouped.start[j] = start;
        std::int16_t* block = grouped.halves.data() + (j / lanes) * pairs * lanes * 16;
        for (std::uint32_t t = 0; t < count; ++t) {
            const std::uint32_t weight = plan.weights[plan.offset[pixel] + t];
            const std::uint32_t position = first - start + t; // within the window
            std::int16_t* pair =
                block + (position / 2) * lanes * 16 + (j % lanes) * 8 + position % 2;
            for (std::uint32_t channel = 0; channel < 4; ++channel) {
                pair[channel * 2] = static_cast<std::int16_t>(weight >> 12);
                pair[lanes * 8 + channel * 2] = static_cast<std::int16_t>(weight & 0xFFF);
            }
        }
    }
    if (grouped.set == InstructionSet::Avx512Vbmi && last + 1 >= 32) {
        indexBlocks(grouped, last);
    }
    return true;
}

InstructionSet BestInstructionSet() {
    return detect();
}

void UseInstructionSet(InstructionSet set) {
    inUse() = set;
}

} // namespace scaler
