// The scaler: the edge cases of its arithmetic, the fast path against a plain transcription,
// and every sample against a floating-point area average.
#include "support/TestSupport.h"

#include "ReferenceScaler.h"
#include "display/BresenhamScaler.h"
#include "display/ScaleRegion.h"
#include "display/ScalerKernels.h"
#include "platform/DebugOutput.h"

#include <cfloat>
#include <cmath>
#include <cstring>
#include <memory>
#include <random>

using testsupport::IsolatedTest;

namespace {

using ImagePtr = std::unique_ptr<engine::Image, void (*)(engine::Image*)>;

ImagePtr wrap(engine::Image* image) {
    return ImagePtr(image, engine::DestroyImage);
}

ImagePtr makeImage(std::size_t columns, std::size_t rows, const std::vector<std::uint8_t>& bgra) {
    engine::ExceptionInfo exception;
    return wrap(engine::ConstituteImage(columns, rows, bgra.data(), &exception));
}

ImagePtr randomImage(std::size_t columns, std::size_t rows, std::mt19937& random) {
    std::vector<std::uint8_t> pixels(columns * rows * 4);
    std::uniform_int_distribution<int> byte(0, 255);
    // Half the images are smooth, half noise: both extremes of what the weights must carry.
    const bool noise = random() % 2 == 0;
    const int phase = byte(random);
    for (std::size_t i = 0; i < pixels.size(); ++i) {
        pixels[i] =
            noise ? static_cast<std::uint8_t>(byte(random))
                  : static_cast<std::uint8_t>(
                        (i / 4 % columns * 7 + i / 4 / columns * 3 + (i % 4) * 50 + phase) % 256);
    }
    return makeImage(columns, rows, pixels);
}

ImagePtr scale(const engine::Image& image, double x, double y, double w, double h, int dw, int dh) {
    engine::ExceptionInfo exception;
    return wrap(_ScaleImage_Bresenham_Fractional(&image, x, y, w, h, dw, dh, &exception));
}

std::vector<std::uint8_t> pixelsOf(const engine::Image& image) {
    return std::vector<std::uint8_t>(image.pixels.get(),
                                     image.pixels.get() + image.columns * image.rows * 4);
}

// Per destination index along one axis: the source indices it covers and how much of each.
std::vector<std::vector<std::pair<int, double>>> coverage(double offset, double extent, int dest) {
    std::vector<std::vector<std::pair<int, double>>> result(static_cast<std::size_t>(dest));
    const double step = extent / dest;
    for (int j = 0; j < dest; ++j) {
        const double from = offset + j * step;
        const double to = offset + (j + 1) * step;
        for (int i = static_cast<int>(std::floor(from)); i < to; ++i) {
            const double part = std::min<double>(i + 1, to) - std::max<double>(i, from);
            if (part > 0) {
                result[static_cast<std::size_t>(j)].emplace_back(i, part / step);
            }
        }
    }
    return result;
}

} // namespace

class ScalerTest : public IsolatedTest {};

TEST_F(ScalerTest, TheWholeImageAtItsOwnSizeIsAnExactCopy) {
    std::mt19937 random(1);
    ImagePtr image = randomImage(37, 23, random);
    ImagePtr copy = scale(*image, 0, 0, 37, 23, 37, 23);
    ASSERT_TRUE(copy);
    EXPECT_NE(copy.get(), image.get());
    EXPECT_EQ(pixelsOf(*copy), pixelsOf(*image));
}

TEST_F(ScalerTest, APartOfTheImageAtTheImagesSizeIsScaledNotCopied) {
    // The window is the left half: the result must be that half stretched, not the image.
    std::vector<std::uint8_t> pixels;
    for (int x = 0; x < 4; ++x) {
        for (int c = 0; c < 4; ++c) {
            pixels.push_back(static_cast<std::uint8_t>(x * 60));
        }
    }
    ImagePtr image = makeImage(4, 1, pixels);
    ImagePtr stretched = scale(*image, 0, 0, 2, 1, 4, 1);
    ASSERT_TRUE(stretched);
    EXPECT_EQ(stretched->Row(0)[0], 0);
    EXPECT_EQ(stretched->Row(0)[4], 0);
    EXPECT_EQ(stretched->Row(0)[8], 60);
    EXPECT_EQ(stretched->Row(0)[12], 60);
}

TEST_F(ScalerTest, HalvingA4x4GivesEachBlocksMeanTruncatedPerPass) {
    std::mt19937 random(2);
    ImagePtr image = randomImage(4, 4, random);
    ImagePtr half = scale(*image, 0, 0, 4, 4, 2, 2);
    ASSERT_TRUE(half);
    ASSERT_EQ(half->columns, 2u);
    for (int y = 0; y < 2; ++y) {
        for (int x = 0; x < 2; ++x) {
            for (int c = 0; c < 4; ++c) {
                auto s = [&](int sx, int sy) { return image->Row(sy)[sx * 4 + c]; };
                const int left = (s(2 * x, 2 * y) + s(2 * x, 2 * y + 1)) / 2;
                const int right = (s(2 * x + 1, 2 * y) + s(2 * x + 1, 2 * y + 1)) / 2;
                EXPECT_EQ(half->Row(y)[x * 4 + c], (left + right) / 2);
            }
        }
    }
    // A constant image stays constant.
    ImagePtr flat = makeImage(4, 4, std::vector<std::uint8_t>(64, 201));
    EXPECT_EQ(pixelsOf(*scale(*flat, 0, 0, 4, 4, 2, 2)), std::vector<std::uint8_t>(16, 201));
}

TEST_F(ScalerTest, AHalfPixelOffsetAtScaleOneAveragesNeighbours) {
    std::mt19937 random(3);
    ImagePtr image = randomImage(9, 1, random);
    ImagePtr shifted = scale(*image, 0.5, 0, 8, 1, 8, 1);
    ASSERT_TRUE(shifted);
    for (int x = 0; x < 8; ++x) {
        for (int c = 0; c < 4; ++c) {
            EXPECT_EQ(shifted->Row(0)[x * 4 + c],
                      (image->Row(0)[x * 4 + c] + image->Row(0)[(x + 1) * 4 + c]) / 2);
        }
    }
}

TEST_F(ScalerTest, ARowEnlargedByThreeRepeatsEachPixelWithoutBlending) {
    std::mt19937 random(4);
    ImagePtr image = randomImage(5, 1, random);
    ImagePtr wide = scale(*image, 0, 0, 5, 1, 15, 1);
    ASSERT_TRUE(wide);
    for (int x = 0; x < 15; ++x) {
        EXPECT_EQ(std::memcmp(wide->Row(0) + x * 4, image->Row(0) + x / 3 * 4, 4), 0) << x;
    }
}

TEST_F(ScalerTest, AWindowEndingAHairPastTheImageIsSnappedALargerExcessRefused) {
    std::mt19937 random(5);
    ImagePtr image = randomImage(10, 10, random);
    const double width = std::nextafter(9.5, 10.0); // 9.5 + 0.5 ends one step past 10
    ImagePtr snapped = scale(*image, 0.5, 0, width, 10, 5, 5);
    EXPECT_TRUE(snapped);
    platform::DebugListener listener;
    EXPECT_FALSE(scale(*image, 0.5, 0, 9.5 + 1e-12, 10, 5, 5));
    std::string skipped;
    EXPECT_NE(listener.WaitForLineContaining("Bresenham2DScaler::initialize() - invalid input "
                                             "values\n",
                                             2000),
              "");
    EXPECT_NE(listener.WaitForLineContaining(
                  "source_width + x_offset > source_image->columns + (source_width + "
                  "x_offset)*DBL_EPSILON = 1\n",
                  2000),
              "");
    EXPECT_NE(
        listener.WaitForLineContaining("error initilizing ScaleImage_Bresenham_Fractional\n", 2000),
        "");
}

TEST_F(ScalerTest, InvalidArgumentsGiveNullAndSayWhy) {
    std::mt19937 random(6);
    ImagePtr image = randomImage(8, 8, random);
    EXPECT_FALSE(scale(*image, 0, 0, 0, 8, 4, 4));
    EXPECT_FALSE(scale(*image, 0, 0, 8, 8, 0, 4));
    EXPECT_FALSE(scale(*image, 0, 0, 8, 8, -4, 4));
    EXPECT_FALSE(scale(*image, -0.5, 0, 4, 4, 4, 4));
    EXPECT_FALSE(scale(*image, 0, 0, 8, 9, 4, 4));
    platform::DebugListener listener;
    image->signature = 0;
    EXPECT_FALSE(scale(*image, 0, 0, 8, 8, 4, 4));
    EXPECT_NE(listener.WaitForLineContaining("Input image is invalid\n", 2000), "");
}

TEST_F(ScalerTest, TheRegionEntryGivesAnEmptyImageForAZeroDestination) {
    std::mt19937 random(7);
    ImagePtr image = randomImage(8, 8, random);
    for (auto [w, h] : {std::pair{0, 5}, {5, 0}, {-3, 5}}) {
        ImagePtr empty = wrap(ScaleImage_Bresenham_Fractional(*image, {1, 1, 4, 4}, w, h));
        ASSERT_TRUE(empty);
        EXPECT_EQ(empty->columns, 0u);
        EXPECT_EQ(empty->rows, 0u);
    }
    ImagePtr none = wrap(ScaleImage_Bresenham_Fractional(*image, {1, 1, 0, 4}, 5, 5));
    ASSERT_TRUE(none);
    EXPECT_EQ(none->columns, 0u);
    EXPECT_EQ(boxes.Count(), 0u);
}

TEST_F(ScalerTest, TheRegionEntryScalesTheWindowAsItsOwnBlockWould) {
    std::mt19937 random(8);
    ImagePtr image = randomImage(50, 40, random);
    ImagePtr scaled = wrap(ScaleImage_Bresenham_Fractional(*image, {10.5, 7.25, 20, 12.5}, 33, 19));
    ASSERT_TRUE(scaled);
    ImagePtr block = wrap(engine::ConstituteImageBlock(*image, 10, 7, 21, 13, nullptr));
    const reference::Result expected = reference::Scale(*block, 0.5, 0.25, 20, 12.5, 33, 19);
    ASSERT_TRUE(expected.ok);
    EXPECT_EQ(pixelsOf(*scaled), expected.pixels);
    // Read in place, far from the origin, the window gives the bytes its own block gives.
    ImagePtr large = randomImage(2000, 1500, random);
    std::uniform_real_distribution<double> where(0, 1);
    for (int run = 0; run < 60; ++run) {
        const double x = std::floor(where(random) * 1900) + std::floor(where(random) * 8) / 8;
        const double y = std::floor(where(random) * 1400) + std::floor(where(random) * 4) / 4;
        const double w = 1 + std::floor(where(random) * (1999 - x) / 4) * 0.5;
        const double h = 1 + std::floor(where(random) * (1499 - y) / 4) * 0.5;
        const int dw = 1 + static_cast<int>(where(random) * 120);
        const int dh = 1 + static_cast<int>(where(random) * 120);
        ImagePtr in_place = wrap(ScaleImage_Bresenham_Fractional(*large, {x, y, w, h}, dw, dh));
        ASSERT_TRUE(in_place);
        const auto bx = static_cast<std::size_t>(x), by = static_cast<std::size_t>(y);
        ImagePtr own = wrap(engine::ConstituteImageBlock(
            *large, bx, by, static_cast<std::size_t>(std::ceil(x + w)) - bx,
            static_cast<std::size_t>(std::ceil(y + h)) - by, nullptr));
        const reference::Result from_block = reference::Scale(*own, x - bx, y - by, w, h, dw, dh);
        ASSERT_TRUE(from_block.ok);
        EXPECT_EQ(pixelsOf(*in_place), from_block.pixels)
            << x << "," << y << " " << w << "x" << h << " -> " << dw << "x" << dh;
    }
    // A window reaching past the image is scaled for its part inside it.
    ImagePtr clipped = wrap(ScaleImage_Bresenham_Fractional(*image, {45.5, -5, 10, 20}, 9, 15));
    ASSERT_TRUE(clipped);
    EXPECT_EQ(clipped->columns, 9u);
    EXPECT_EQ(boxes.Count(), 0u);
}

// Thousands of random windows: the fast path equals the transcription byte for byte, and
// every sample lies within 2 of the exact area average. Run with every instruction set this
// processor has.
class ScalerProperties : public ::testing::TestWithParam<scaler::InstructionSet> {
protected:
    void SetUp() override {
        if (GetParam() > scaler::BestInstructionSet()) {
            GTEST_SKIP() << "this processor lacks the instruction set";
        }
        scaler::UseInstructionSet(GetParam());
    }
    void TearDown() override { scaler::UseInstructionSet(scaler::BestInstructionSet()); }
};

INSTANTIATE_TEST_SUITE_P(InstructionSets, ScalerProperties,
                         ::testing::Values(scaler::InstructionSet::Generic,
                                           scaler::InstructionSet::Sse41,
                                           scaler::InstructionSet::Avx2,
                                           scaler::InstructionSet::Avx512,
                                           scaler::InstructionSet::Avx512Vbmi));

// Hundreds of rows folded into one destination row: their sums pass 15 and 16 bits.
TEST_P(ScalerProperties, ManyRowsIntoOneEqualTheTranscription) {
    std::mt19937 random(7);
    for (const auto& [columns, rows, dh] :
         {std::tuple{37u, 700u, 2}, std::tuple{5u, 1500u, 1}, std::tuple{70u, 900u, 3},
          // 127 to 129 and 255 to 257 whole rows (the rows are summed in two halves kept in
          // signed words, up to 256 rows), and about 198 each.
          std::tuple{41u, 132u, 1}, std::tuple{41u, 133u, 1}, std::tuple{41u, 134u, 1},
          std::tuple{41u, 260u, 1}, std::tuple{41u, 261u, 1}, std::tuple{41u, 262u, 1},
          std::tuple{70u, 400u, 2}}) {
        // Random pixels, and near-white ones, whose sums come closest to overflowing.
        for (const bool bright : {false, true}) {
            ImagePtr image = randomImage(columns, rows, random);
            if (bright) {
                for (std::size_t i = 0; i < columns * rows * 4; ++i) {
                    image->pixels[i] = static_cast<std::uint8_t>(255 - random() % 3);
                }
            }
            const reference::Result expected =
                reference::Scale(*image, 0.5, 3.25, columns - 1.0, rows - 4.0, 17, dh);
            ImagePtr fast = scale(*image, 0.5, 3.25, columns - 1.0, rows - 4.0, 17, dh);
            ASSERT_TRUE(expected.ok && fast);
            EXPECT_EQ(pixelsOf(*fast), expected.pixels)
                << columns << "x" << rows << " to 17x" << dh << (bright ? ", bright" : "");
        }
    }
}

// The row combination on its own, for any weights (the scaler's stay under 2^24; larger ones
// take the 32-bit loop) and row counts from none to past what 16-bit sums hold, with lengths
// that leave tails after the vector steps.
TEST_P(ScalerProperties, RowCombinationsEqualTheirFormula) {
    std::mt19937 random(5);
    for (const std::size_t k : {0u, 1u, 2u, 3u, 4u, 7u, 128u, 129u, 256u, 257u, 300u}) {
        for (const std::uint32_t limit : {1u << 24, 1u << 27, 0xFFFFFFFFu}) {
            const std::size_t n = 32 * 3 + random() % 32;
            std::vector<std::vector<std::uint8_t>> rows(k + 2, std::vector<std::uint8_t>(n));
            for (auto& row : rows) {
                for (auto& sample : row) {
                    sample = static_cast<std::uint8_t>(255 - random() % 4 * (random() % 64));
                }
            }
            std::vector<const std::uint8_t*> whole;
            for (std::size_t r = 0; r < k; ++r) {
                whole.push_back(rows[r].data());
            }
            const std::uint8_t* a = rows[k].data();
            const std::uint8_t* b = rows[k + 1].data();
            std::uniform_int_distribution<std::uint32_t> weight(0, limit - 1);
            const std::uint32_t wa = weight(random), wSum = weight(random), wb = weight(random);
            std::vector<std::uint8_t> out(n, 0xEE);
            scaler::CombineRows(out.data(), wa, a, wSum, whole.data(), k, wb, b, n);
            for (std::size_t i = 0; i < n; ++i) {
                std::uint32_t sum = 0;
                for (std::size_t r = 0; r < k; ++r) {
                    sum += rows[r][i];
                }
                ASSERT_EQ(out[i],
                          static_cast<std::uint8_t>((wa * a[i] + wSum * sum + wb * b[i]) >> 24))
                    << k << " rows, weights " << wa << " " << wSum << " " << wb << ", sample " << i;
            }
        }
    }
}

TEST_P(ScalerProperties, FastPathEqualsTheTranscriptionAndTheAreaAverage) {
    std::mt19937 random(20261208 + static_cast<int>(GetParam()));
    auto logUniform = [&](double low, double high) {
        return std::exp(
            std::uniform_real_distribution<double>(std::log(low), std::log(high))(random));
    };
    int checked = 0;
    for (int round = 0; round < 2500; ++round) {
        const auto columns = static_cast<std::size_t>(logUniform(1, 300.99));
        const auto rows = static_cast<std::size_t>(logUniform(1, 300.99));
        ImagePtr image = randomImage(columns, rows, random);
        std::uniform_real_distribution<double> unit(0, 1);
        const double w =
            std::max(1e-3, columns * unit(random) * unit(random) + unit(random) * 0.999);
        const double h = std::max(1e-3, rows * unit(random) * unit(random) + unit(random) * 0.999);
        const double sw = std::min(w, static_cast<double>(columns));
        const double sh = std::min(h, static_cast<double>(rows));
        // Offsets anywhere the window fits, fractional or whole.
        double x = unit(random) * (columns - sw);
        double y = unit(random) * (rows - sh);
        if (random() % 4 == 0) {
            x = std::floor(x);
        }
        if (random() % 4 == 0) {
            y = std::floor(y);
        }
        const int dw = std::clamp(static_cast<int>(sw * logUniform(1.0 / 64, 64)), 1, 400);
        const int dh = std::clamp(static_cast<int>(sh * logUniform(1.0 / 64, 64)), 1, 400);
        const reference::Result expected = reference::Scale(*image, x, y, sw, sh, dw, dh);
        ImagePtr fast = scale(*image, x, y, sw, sh, dw, dh);
        ASSERT_EQ(expected.ok, static_cast<bool>(fast))
            << columns << "x" << rows << " window " << x << "," << y << " " << sw << "x" << sh
            << " to " << dw << "x" << dh;
        if (!fast) {
            continue;
        }
        ASSERT_EQ(pixelsOf(*fast), expected.pixels)
            << columns << "x" << rows << " window " << x << "," << y << " " << sw << "x" << sh
            << " to " << dw << "x" << dh;
        const auto across = coverage(x, sw, dw);
        const auto down = coverage(y, sh, dh);
        for (int j = 0; j < dh; ++j) {
            for (int i = 0; i < dw; ++i) {
                for (int c = 0; c < 4; ++c) {
                    double average = 0;
                    for (auto [sy, wy] : down[static_cast<std::size_t>(j)]) {
                        for (auto [sx, wx] : across[static_cast<std::size_t>(i)]) {
                            average +=
                                wy * wx * image->Row(static_cast<std::size_t>(sy))[sx * 4 + c];
                        }
                    }
                    const int got = fast->Row(static_cast<std::size_t>(j))[i * 4 + c];
                    ASSERT_LE(std::abs(got - average), 2.0)
                        << "pixel " << i << "," << j << " of " << columns << "x" << rows
                        << " window " << x << "," << y << " " << sw << "x" << sh << " to " << dw
                        << "x" << dh;
                }
            }
        }
        ++checked;
    }
    EXPECT_GT(checked, 2000);
}

// A display's worth of rows is shrunk on two threads: the halves meet without a seam, whatever
// the window, and equal the transcription byte for byte.
TEST(ScalerThreads, LargeShrinksEqualTheTranscription) {
    std::mt19937 random(20261210);
    ImagePtr image = randomImage(1203, 911, random);
    struct Case {
        double x, y, sw, sh;
        int dw, dh;
    };
    for (const Case& c : {Case{0, 0, 1203, 911, 700, 530},       // the whole image, fitted
                          Case{0.5, 0.25, 1200, 900, 1200, 461}, // rows only: no column pass
                          Case{3.7, 10.2, 1150.3, 880.9, 641, 449},
                          Case{0, 0, 1203, 911, 1202, 910}}) { // a hair smaller
        const reference::Result expected =
            reference::Scale(*image, c.x, c.y, c.sw, c.sh, c.dw, c.dh);
        ImagePtr fast = scale(*image, c.x, c.y, c.sw, c.sh, c.dw, c.dh);
        ASSERT_TRUE(expected.ok);
        ASSERT_TRUE(fast);
        EXPECT_EQ(pixelsOf(*fast), expected.pixels) << c.dw << "x" << c.dh;
    }
}

namespace {

// A shrink plan over a row of `columns` pixels as the scaler walks it (a partial first term,
// whole terms, a partial last), padded with weight-0 terms to one count per pixel.
struct ShrinkPlan {
    std::vector<std::uint32_t> first, count, offset, weights;
    scaler::HorizontalPlan View() {
        return {first.data(), count.data(), offset.data(), weights.data(), first.size()};
    }
};

ShrinkPlan shrinkPlan(std::uint32_t columns, std::uint32_t pixels, double start) {
    const double ratio = (columns - start) / pixels;
    const auto step = static_cast<std::uint32_t>(16777216.0 / ratio);
    std::vector<std::vector<std::pair<std::uint32_t, std::uint32_t>>> terms(pixels);
    auto c = static_cast<std::uint32_t>((1.0 - (start - std::floor(start))) * step);
    std::uint32_t q = static_cast<std::uint32_t>(start);
    std::uint32_t p = c != 0 ? q + 1 : q;
    for (auto& pixel : terms) {
        if (c != 0) {
            pixel.emplace_back(q, c);
        }
        std::uint32_t d = (1u << 24) - c;
        for (; d >= step; d -= step, ++p) {
            pixel.emplace_back(std::min(p, columns - 1), step);
        }
        if (d != 0) {
            pixel.emplace_back(std::min(p, columns - 1), d);
        }
        c = step - d;
        q = p;
        p = c != 0 ? p + 1 : p;
    }
    std::size_t longest = 0;
    for (const auto& pixel : terms) {
        longest = std::max(longest, pixel.size());
    }
    ShrinkPlan plan;
    for (const auto& pixel : terms) {
        // Padding after the pixel's terms, or before them at the row's end.
        const std::uint32_t from = std::min<std::uint32_t>(
            pixel.front().first, columns - static_cast<std::uint32_t>(longest));
        plan.first.push_back(from);
        plan.count.push_back(static_cast<std::uint32_t>(longest));
        plan.offset.push_back(static_cast<std::uint32_t>(plan.weights.size()));
        std::vector<std::uint32_t> weights(longest, 0);
        for (const auto& [index, weight] : pixel) {
            weights[index - from] += weight;
        }
        plan.weights.insert(plan.weights.end(), weights.begin(), weights.end());
    }
    return plan;
}

} // namespace

// Shrinks take the loops that weigh a pixel's first and last terms apart from the equal ones
// between them (with AVX2 up to 4 between, with AVX-512 VBMI up to 8); what they make equals the
// plain sum of weight * sample, to the row's last pixels. A plan of another shape keeps the
// paired loops.
TEST(ScalerKernels, ShrinkRowsTakeTheFramedLoopsAndEqualThePlainSums) {
    if (scaler::BestInstructionSet() < scaler::InstructionSet::Avx2) {
        GTEST_SKIP() << "this processor lacks AVX2";
    }
    std::mt19937 random(11);
    std::vector<std::uint8_t> row(300 * 4);
    for (auto& sample : row) {
        sample = static_cast<std::uint8_t>(random());
    }
    auto plainSums = [&](const ShrinkPlan& plan) {
        std::vector<std::uint8_t> out(plan.first.size() * 4);
        for (std::size_t j = 0; j < plan.first.size(); ++j) {
            for (int channel = 0; channel < 4; ++channel) {
                std::uint32_t sum = 0;
                for (std::uint32_t t = 0; t < plan.count[j]; ++t) {
                    sum +=
                        plan.weights[plan.offset[j] + t] * row[(plan.first[j] + t) * 4 + channel];
                }
                out[j * 4 + static_cast<std::size_t>(channel)] =
                    static_cast<std::uint8_t>(sum >> 24);
            }
        }
        return out;
    };
    for (const auto set : {scaler::InstructionSet::Avx2, scaler::InstructionSet::Avx512Vbmi}) {
        if (set > scaler::BestInstructionSet()) {
            continue;
        }
        scaler::UseInstructionSet(set);
        const bool vbmi = set == scaler::InstructionSet::Avx512Vbmi;
        for (const auto& [columns, pixels, start, groups] :
             {std::tuple{300u, 120u, 0.0, 1u}, std::tuple{300u, 95u, 0.4, 1u},
              std::tuple{299u, 49u, 2.75, 2u}, std::tuple{281u, 43u, 0.5, 2u},
              std::tuple{40u, 13u, 0.25, 1u}}) {
            ShrinkPlan plan = shrinkPlan(columns, pixels, start);
            for (const bool spoiled : {false, true}) {
                if (spoiled) {
                    // One whole term weighs a little more: no longer the framed shape.
                    plan.weights[plan.offset[7] + 2] += 1;
                }
                scaler::HorizontalPlan view = plan.View();
                scaler::GroupedWeights grouped;
                ASSERT_TRUE(scaler::GroupWeights(view, columns - 1, grouped));
                view.grouped = &grouped;
                const std::uint32_t expected = spoiled || (!vbmi && groups > 1) ? 0 : groups;
                EXPECT_EQ(grouped.middleGroups, expected)
                    << columns << " to " << pixels << (vbmi ? " with VBMI" : " with AVX2");
                std::vector<std::uint8_t> out(pixels * 4, 0xEE);
                scaler::ApplyHorizontalPlan(view, row.data(), out.data());
                EXPECT_EQ(out, plainSums(plan))
                    << columns << " to " << pixels << " from " << start
                    << (spoiled ? ", spoiled" : "") << (vbmi ? " with VBMI" : " with AVX2");
            }
        }
    }
    scaler::UseInstructionSet(scaler::BestInstructionSet());
}
