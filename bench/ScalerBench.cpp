// The scaler on a random 6000 x 4000 BGRA image, single-threaded, and the time to read that
// image once (the memory floor). scaler_vs_pillow.py runs this beside Pillow.
#include "display/ScaleRegion.h"
#include "display/ScalerKernels.h"

#include <benchmark/benchmark.h>

#include <cstring>
#include <immintrin.h>
#include <memory>
#include <random>

namespace {

const engine::Image& sourceImage() {
    static const std::unique_ptr<engine::Image> image = [] {
        std::vector<std::uint8_t> pixels(std::size_t{6000} * 4000 * 4);
        std::mt19937_64 random(42);
        for (std::size_t i = 0; i + 8 <= pixels.size(); i += 8) {
            const std::uint64_t bits = random();
            std::memcpy(pixels.data() + i, &bits, 8);
        }
        return std::unique_ptr<engine::Image>(
            engine::ConstituteImage(6000, 4000, pixels.data(), nullptr));
    }();
    return *image;
}

void runScale(benchmark::State& state, ImageRegionFP window, int width, int height) {
    const engine::Image& image = sourceImage();
    for (auto _ : state) {
        engine::Image* scaled = ScaleImage_Bresenham_Fractional(image, window, width, height);
        benchmark::DoNotOptimize(scaled);
        engine::DestroyImage(scaled);
    }
}

void BM_Shrink_6000x4000_to_1500x1000(benchmark::State& state) {
    runScale(state, {0, 0, 6000, 4000}, 1500, 1000);
}
void BM_Shrink_6000x4000_to_1919x1279(benchmark::State& state) {
    runScale(state, {0, 0, 6000, 4000}, 1919, 1279);
}
// About 200 whole rows into each destination row: the vertical loops at their widest.
void BM_Shrink_6000x4000_to_1919x20(benchmark::State& state) {
    runScale(state, {0, 0, 6000, 4000}, 1919, 20);
}
void BM_Window_zoom2_to_1920x1080(benchmark::State& state) {
    runScale(state, {100.5, 200.25, 1920 / 2.0, 1080 / 2.0}, 1920, 1080);
}
void BM_Window_zoom3_7_to_1920x1080(benchmark::State& state) {
    runScale(state, {100.5, 200.25, 1920 / 3.7, 1080 / 3.7}, 1920, 1080);
}
// A reduced first view (the JPEG decoded at 1/4) shrunk a little to the window: the scale of
// every first view of a big photo.
void BM_Shrink_1500x1000_to_1445x962(benchmark::State& state) {
    runScale(state, {0, 0, 1500, 1000}, 1445, 962);
}
void BM_Scale1_offset_half_to_1920x1080(benchmark::State& state) {
    runScale(state, {0.5, 0.5, 1920, 1080}, 1920, 1080);
}

// The whole-image shrink with the AVX2 loops, for processors without AVX-512.
void BM_Shrink_6000x4000_to_1919x1279_avx2(benchmark::State& state) {
    if (scaler::BestInstructionSet() < scaler::InstructionSet::Avx2) {
        state.SkipWithError("no AVX2 here");
        return;
    }
    scaler::UseInstructionSet(scaler::InstructionSet::Avx2);
    runScale(state, {0, 0, 6000, 4000}, 1919, 1279);
    scaler::UseInstructionSet(scaler::BestInstructionSet());
}

// Reads the whole source once: the least any whole-image shrink must spend. Four vector sums, so
// the adds never hold the reading up.
__attribute__((target("avx2"))) void BM_MemoryFloor_read_96MB(benchmark::State& state) {
    const engine::Image& image = sourceImage();
    const auto* blocks = reinterpret_cast<const __m256i*>(image.pixels.get());
    const std::size_t count = image.columns * image.rows * 4 / 32;
    for (auto _ : state) {
        __m256i sum[4] = {_mm256_setzero_si256(), _mm256_setzero_si256(), _mm256_setzero_si256(),
                          _mm256_setzero_si256()};
        for (std::size_t i = 0; i + 4 <= count; i += 4) {
            for (int k = 0; k < 4; ++k) {
                sum[k] = _mm256_add_epi64(sum[k], _mm256_loadu_si256(blocks + i + k));
            }
        }
        __m256i total =
            _mm256_add_epi64(_mm256_add_epi64(sum[0], sum[1]), _mm256_add_epi64(sum[2], sum[3]));
        benchmark::DoNotOptimize(total);
    }
}

} // namespace

BENCHMARK(BM_Shrink_6000x4000_to_1500x1000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Shrink_6000x4000_to_1919x1279)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Shrink_6000x4000_to_1919x20)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Window_zoom2_to_1920x1080)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Window_zoom3_7_to_1920x1080)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Shrink_1500x1000_to_1445x962)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Scale1_offset_half_to_1920x1080)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Shrink_6000x4000_to_1919x1279_avx2)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_MemoryFloor_read_96MB)->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
