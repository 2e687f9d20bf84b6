// Regions: normalising, clipping, rounding, the band difference, mappings and safe regions.
#include "support/TestSupport.h"

#include "display/ImageRegion.h"

#include <cmath>

using testsupport::IsolatedTest;

namespace {

void expectRegion(const ImageRegionFP& r, double x, double y, double w, double h) {
    EXPECT_DOUBLE_EQ(r.x, x);
    EXPECT_DOUBLE_EQ(r.y, y);
    EXPECT_DOUBLE_EQ(r.width, w);
    EXPECT_DOUBLE_EQ(r.height, h);
}

bool operator==(const ImageBoundariesFP& a, const ImageBoundariesFP& b) {
    return a.x1 == b.x1 && a.y1 == b.y1 && a.x2 == b.x2 && a.y2 == b.y2;
}

} // namespace

TEST(Regions, NormalizeFlipsByTheInclusivePixelRule) {
    ImageRegionFP r{10, 5, -3, -2};
    r.Normalize();
    expectRegion(r, 8, 4, 3, 2);
}

TEST(Regions, ClippingRegionsThatOnlyTouchGivesNothing) {
    expectRegion(ImageRegionFP::ClipRegion({0, 0, 10, 10}, {10, 0, 5, 5}), 0, 0, 0, 5);
    expectRegion(ImageRegionFP::ClipRegion({0, 0, 10, 10}, {2.5, -3, 20, 5}), 2.5, 0, 7.5, 2);
    // A negative width is flipped first: x 12, width -5 covers 8 to 12.
    expectRegion(ImageRegionFP::ClipRegion({0, 0, 10, 10}, {12, 0, -5, 4}), 8, 0, 2, 4);
}

TEST(Regions, AligningAndRounding) {
    ImageRegionFP r{1.25, 2.75, 3.5, 0.5};
    r.AlignToPixels();
    expectRegion(r, 1, 2, 4, 2);
    ImageRegionFP halves{2.5, -2.5, 0.49, -0.5};
    halves.RoundToPixels();
    expectRegion(halves, 3, -3, 0, -1);
    const RECT rect = ImageRegionFP{1.9, 2.1, 3, 4}.ToRect();
    EXPECT_EQ(rect.left, 1);
    EXPECT_EQ(rect.top, 2);
    EXPECT_EQ(rect.right, 4);
    EXPECT_EQ(rect.bottom, 6);
}

TEST(Regions, SubtractingACentredRectangleGivesFourBandsInOrder) {
    const ImageBoundariesFP outer = ImageRegionFP{0, 0, 100, 80}.ToCorners();
    const ImageBoundariesFP inner = ImageRegionFP{20, 10, 60, 50}.ToCorners();
    const auto bands = Subtract(inner, outer);
    ASSERT_EQ(bands.size(), 4u);
    EXPECT_TRUE(bands[0] == (ImageBoundariesFP{0, 0, 99, 9}));    // top, full width
    EXPECT_TRUE(bands[1] == (ImageBoundariesFP{0, 60, 99, 79}));  // bottom, full width
    EXPECT_TRUE(bands[2] == (ImageBoundariesFP{0, 10, 19, 59}));  // left, between them
    EXPECT_TRUE(bands[3] == (ImageBoundariesFP{80, 10, 99, 59})); // right
    // Together with inner they cover every pixel of outer exactly once.
    int covered = 0;
    for (const auto& band : bands) {
        covered += static_cast<int>((band.x2 - band.x1 + 1) * (band.y2 - band.y1 + 1));
    }
    EXPECT_EQ(covered + 60 * 50, 100 * 80);
}

TEST(Regions, SubtractingCoveringDisjointAndEmptyRectangles) {
    const ImageBoundariesFP outer = ImageRegionFP{0, 0, 10, 10}.ToCorners();
    EXPECT_TRUE(Subtract(ImageRegionFP{-5, -5, 30, 30}.ToCorners(), outer).empty());
    auto alone = Subtract(ImageRegionFP{20, 20, 5, 5}.ToCorners(), outer);
    ASSERT_EQ(alone.size(), 1u);
    EXPECT_TRUE(alone[0] == outer);
    alone = Subtract(ImageRegionFP{2, 2, 0, 5}.ToCorners(), outer);
    ASSERT_EQ(alone.size(), 1u);
    EXPECT_TRUE(Subtract(outer, ImageRegionFP{0, 0, 0, 0}.ToCorners()).empty());
    // An image filling the width leaves only a top and a bottom band.
    const auto letterbox = Subtract(ImageRegionFP{0, 3, 10, 4}.ToCorners(), outer);
    ASSERT_EQ(letterbox.size(), 2u);
    EXPECT_TRUE(letterbox[0] == (ImageBoundariesFP{0, 0, 9, 2}));
    EXPECT_TRUE(letterbox[1] == (ImageBoundariesFP{0, 7, 9, 9}));
}

TEST(Regions, TransformsMapAndInvert) {
    const RegionTransform t = MakeTransform({10, 20, 100, 50}, {0, 0, 200, 25});
    expectRegion(ApplyTransform({10, 20, 100, 50}, t), 0, 0, 200, 25);
    const RegionTransform back = InvertTransform(t);
    expectRegion(ApplyTransform({0, 0, 200, 25}, back), 10, 20, 100, 50);
    const RegionTransform flat = MakeTransform({0, 0, 0, 10}, {5, 5, 10, 10});
    EXPECT_EQ(flat.scale_x, 0);
    EXPECT_EQ(InvertTransform(flat).scale_x, 0);
    EXPECT_EQ(InvertTransform(flat).offset_x, 0);
    expectRegion(ImageToCanvas({10, 10, 4, 4}, 2.0, 5, 6), 10, 8, 8, 8);
    expectRegion(CanvasToImage({10, 8, 8, 8}, 2.0, 5, 6), 10, 10, 4, 4);
    expectRegion(CanvasToImage({10, 8, 8, 8}, 2.0, 4.0, 5, 6), 10, 8, 4, 2);
}

class RegionReportTest : public IsolatedTest {};

TEST_F(RegionReportTest, CanvasToImageWithZoomZeroIsReportedAndGivesTheZeroRegion) {
    expectRegion(CanvasToImage({1, 2, 3, 4}, 0.0, 1, 1), 0, 0, 0, 0);
    expectRegion(CanvasToImage({1, 2, 3, 4}, 1.0, std::nan(""), 1, 1), 0, 0, 0, 0);
    const auto shown = boxes.Take();
    ASSERT_EQ(shown.size(), 2u);
    EXPECT_EQ(shown[0].text.rfind("divide by zero\nError #fd2dy", 0), 0u);
    EXPECT_EQ(shown[1].text.rfind("divide by zero\nError #fd2dz", 0), 0u);
}

TEST(SafeDrawRegions, ADestinationPartlyOffTheCanvasShrinksTheSourceInProportion) {
    // A 100 x 100 image drawn at twice its size from (-50, 0) on a 150 x 150 canvas.
    ImageRegionFP source{0, 0, 100, 100}, subcanvas{0, 0, 150, 150}, dest{-50, 0, 200, 200};
    CalcSafeDrawRegions(150, 150, 100, 100, source, subcanvas, dest);
    expectRegion(subcanvas, 0, 0, 150, 150);
    expectRegion(dest, 0, 0, 150, 150);
    expectRegion(source, 25, 0, 75, 75);
    EXPECT_DOUBLE_EQ(dest.width / source.width, 2.0); // the drawn part keeps its scale
}

TEST(SafeDrawRegions, TheDestinationIsRoundedAndTheSourceKeepsItsFractions) {
    ImageRegionFP source{0.5, 0.25, 10, 10}, subcanvas{0, 0, 1000, 1000}, dest{0.4, 0.6, 33, 33};
    CalcSafeDrawRegions(1000, 1000, 20, 20, source, subcanvas, dest);
    expectRegion(source, 0.5, 0.25, 10, 10);
    expectRegion(dest, 0, 1, 33, 33);
}
