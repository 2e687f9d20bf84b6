// Transparent images: what shows through them on screen and on paper, and that scaling carries
// no colour from under transparent pixels into the edges.
#include "support/TestSupport.h"

#include "PrintedPage.h"

#include "display/Im_display.h"
#include "display/PixelExport.h"

#include <QImage>

#include <cstdlib>

using testsupport::IsolatedTest;

namespace {

constexpr QRgb kLight = qRgb(153, 153, 153);
constexpr QRgb kDark = qRgb(102, 102, 102);

// 200 x 200: clear everywhere (red stored under the clear pixels), an opaque green square in
// the middle and a half-clear blue band at the bottom.
std::string writeClearImage(const std::string& path) {
    QImage image(200, 200, QImage::Format_ARGB32);
    image.fill(qRgba(255, 0, 0, 0));
    for (int y = 60; y < 140; ++y) {
        for (int x = 60; x < 140; ++x) {
            image.setPixel(x, y, qRgba(0, 200, 0, 255));
        }
    }
    for (int y = 170; y < 200; ++y) {
        for (int x = 0; x < 200; ++x) {
            image.setPixel(x, y, qRgba(0, 0, 255, 128));
        }
    }
    image.save(QString::fromStdString(path), "PNG");
    return path;
}

class TransparencyTest : public IsolatedTest {
protected:
    void SetUp() override {
        display.resize(300, 300);
        display.SetPictureSize(300, 300);
        display.Canvas()->Brush = 0;
        ASSERT_TRUE(display.LoadImageA(writeClearImage(folders.Home() + "/clear.png")));
        ASSERT_TRUE(display.CurrentImage.transparent);
    }
    QRgb at(int x, int y) { return display.Picture.Bitmap.pixel(x, y); }
    TIM_Display display;
};

} // namespace

TEST(Premultiplying, RoundsEachColourByItsAlphaAndLeavesOpaqueImagesAlone) {
    std::uint8_t opaque[8] = {10, 20, 30, 255, 40, 50, 60, 255};
    EXPECT_FALSE(engine::PremultiplyAlpha(opaque, 2));
    EXPECT_EQ(opaque[0], 10);
    std::uint8_t mixed[12] = {10, 20, 30, 255, 255, 128, 1, 128, 200, 100, 50, 0};
    EXPECT_TRUE(engine::PremultiplyAlpha(mixed, 3));
    const std::uint8_t expected[12] = {10, 20, 30, 255, 128, 64, 1, 128, 0, 0, 0, 0};
    for (int i = 0; i < 12; ++i) {
        EXPECT_EQ(mixed[i], expected[i]) << i;
    }
    // Every colour and alpha, against the exact quotient.
    for (int a = 0; a < 256; ++a) {
        for (int c = 0; c < 256; ++c) {
            std::uint8_t pixel[4] = {static_cast<std::uint8_t>(c), 0, 0,
                                     static_cast<std::uint8_t>(a)};
            engine::PremultiplyAlpha(pixel, 1);
            if (a < 255) {
                ASSERT_EQ(pixel[0], (c * a + 127) / 255) << c << " " << a;
            }
        }
    }
    std::uint8_t paper[4] = {64, 0, 0, 128};
    engine::CompositeOverWhite(paper, 1);
    EXPECT_EQ(paper[0], 191);
    EXPECT_EQ(paper[1], 127);
    EXPECT_EQ(paper[3], 255);
}

// At 1:1 the clear parts show the checkerboard (never the red stored under them), the opaque
// square its green, and the half-clear band blue mixed half and half with the squares.
TEST_F(TransparencyTest, ClearPixelsShowTheCheckerboardAndHalfClearOnesBlendWithIt) {
    display.DrawCanvas();
    EXPECT_EQ(at(100, 100), qRgb(0, 200, 0));
    bool light = false, dark = false;
    for (int y = 0; y < 60; ++y) {
        for (int x = 0; x < 200; ++x) {
            const QRgb pixel = at(x, y);
            ASSERT_TRUE(pixel == kLight || pixel == kDark) << x << "," << y;
            light = light || pixel == kLight;
            dark = dark || pixel == kDark;
        }
    }
    EXPECT_TRUE(light && dark);
    for (int x = 0; x < 200; x += 7) {
        const QRgb pixel = at(x, 180);
        // Half blue, half the square's grey (what red and green show).
        EXPECT_NEAR(qBlue(pixel), 128 + qRed(pixel), 2) << x;
        EXPECT_EQ(qRed(pixel), qGreen(pixel));
        EXPECT_TRUE(qRed(pixel) == 76 || qRed(pixel) == 51) << qRed(pixel);
    }
    EXPECT_EQ(at(250, 250), qRgb(0, 0, 0)); // beyond the image: the canvas brush
}

// Reduced to 0.37, edge pixels mix green and clear: they show green over grey, red and blue
// equal (grey), with no red from under the clear pixels.
TEST_F(TransparencyTest, AReducedImageHasNoFringeFromTheColourUnderClearPixels) {
    display.SetZoomFactor(0.37);
    ASSERT_TRUE(display.DrawZoomedCanvas());
    const int side = static_cast<int>(200 * display.ZoomX);
    int edges = 0;
    for (int y = 0; y < static_cast<int>(160 * display.ZoomY); ++y) {
        for (int x = 0; x < side; ++x) {
            const QRgb pixel = at(x, y);
            ASSERT_LE(std::abs(qRed(pixel) - qBlue(pixel)), 1) << x << "," << y;
            ASSERT_LE(qRed(pixel), 154) << x << "," << y;
            edges += qGreen(pixel) != qRed(pixel) && qGreen(pixel) < 200 ? 1 : 0;
        }
    }
    EXPECT_GT(edges, 0); // the square's edges were really mixed
}

TEST_F(TransparencyTest, AChosenColourShowsThroughInsteadOfTheCheckerboard) {
    display.Backdrop = 0x2040FF;
    display.DrawCanvas();
    EXPECT_EQ(at(10, 10), qRgb(0x20, 0x40, 0xFF));
    EXPECT_EQ(at(100, 100), qRgb(0, 200, 0));
    // Panning draws it all again: no checkerboard and no stale pixels are left.
    display.Backdrop.reset();
    display.Pan(-30, -30);
    EXPECT_EQ(at(130, 130), qRgb(0, 200, 0));
    EXPECT_TRUE(at(40, 40) == kLight || at(40, 40) == kDark);
    EXPECT_EQ(at(10, 10), qRgb(0, 0, 0)); // the uncovered strip beyond the image
}

// On paper what is clear shows the paper: white, not black.
TEST_F(TransparencyTest, PrintingLaysTheImageOverWhitePaper) {
    const QImage page = PrintedPage(display, folders.Home());
    ASSERT_FALSE(page.isNull());
    const int w = page.width(), h = page.height();
    // The square image fills the width, centred: its clear top-left corner is paper white.
    const int top = (h - w) / 2;
    const QRgb corner = page.pixel(w / 10, top + w / 10);
    EXPECT_GE(qRed(corner), 250);
    EXPECT_GE(qGreen(corner), 250);
    EXPECT_GE(qBlue(corner), 250);
    EXPECT_NEAR(qGreen(page.pixel(w / 2, top + w / 2)), 200, 8);
    EXPECT_NEAR(qRed(page.pixel(w / 2, top + w / 2)), 0, 8);
    EXPECT_EQ(boxes.Count(), 0u);
}
