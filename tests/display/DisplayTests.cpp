// The display component on an offscreen canvas: fitting, zoom, panning, blackout, printing,
// and the library it ships in.
#include "support/GuiEnvironment.h"
#include "support/TestSupport.h"

#include "PrintedPage.h"

#include "display/ColourManagement.h"

#include "display/Im_display.h"
#include "display/Listbox1.h"
#include "display/MagickLibrary.h"
#include "platform/Components.h"
#include "platform/DebugOutput.h"

#include <QApplication>
#include <QImage>

#include <cstdlib>
#include <dlfcn.h>
#include <filesystem>

using testsupport::IsolatedTest;

ORVALEN_GUI_TEST_ENVIRONMENT(true);

namespace {

QRgb at(TIM_Display& display, int x, int y) {
    return display.Picture.Bitmap.pixel(x, y);
}

class DisplayTest : public IsolatedTest {
protected:
    void SetUp() override {
        display.resize(400, 400);
        display.SetPictureSize(400, 400);
        display.Canvas()->Brush = 0; // black, as the viewer sets it
    }
    TIM_Display display;
};

} // namespace

TEST_F(DisplayTest, FittingAWideImageDrawsItCentredWithBandsAboveAndBelow) {
    ASSERT_TRUE(display.LoadImageA(
        testsupport::WriteCoordinateImage(folders.Home() + "/wide.png", 200, 100)));
    display.Picture.Bitmap.fill(Qt::white); // so that the blackout shows
    ImageRegionFP dest;
    ASSERT_TRUE(display.DrawImageFitToCanvas(dest));
    EXPECT_EQ(dest.x, 0);
    EXPECT_EQ(dest.y, 100);
    EXPECT_EQ(dest.width, 400);
    EXPECT_EQ(dest.height, 200);
    EXPECT_EQ(display.ZoomX, 2);
    EXPECT_EQ(display.ZoomY, 2);
    EXPECT_EQ(display.PanX, 0);
    EXPECT_EQ(display.PanY, -50);
    EXPECT_EQ(at(display, 0, 0), qRgb(0, 0, 0));
    EXPECT_EQ(at(display, 399, 99), qRgb(0, 0, 0));
    EXPECT_EQ(at(display, 200, 300), qRgb(0, 0, 0));
    EXPECT_EQ(at(display, 0, 100), qRgb(0, 0, 77));      // image pixel (0, 0)
    EXPECT_EQ(at(display, 398, 298), qRgb(199, 99, 77)); // image pixel (199, 99)
    EXPECT_EQ(at(display, 100, 200), qRgb(50, 50, 77));
    EXPECT_EQ(boxes.Count(), 0u);
}

TEST_F(DisplayTest, ZoomFactorsKeepAtLeastOnePixel) {
    ASSERT_TRUE(
        display.LoadImageA(testsupport::WriteCoordinateImage(folders.Home() + "/w.png", 100, 30)));
    display.SetZoomFactor(0.001);
    EXPECT_EQ(display.ZoomFactor, 0.001);
    EXPECT_DOUBLE_EQ(display.ZoomX, 0.01);
    EXPECT_DOUBLE_EQ(display.ZoomY, 1.0 / 30);
    display.SetZoomFactor(1.234);
    EXPECT_DOUBLE_EQ(display.ZoomX, 123.0 / 100);
}

TEST_F(DisplayTest, PanningMovesThePictureAndDrawsTheUncoveredStrip) {
    ASSERT_TRUE(display.LoadImageA(
        testsupport::WriteCoordinateImage(folders.Home() + "/big.png", 600, 500)));
    display.SetZoomFactor(1.0);
    ASSERT_TRUE(display.DrawCanvas());
    EXPECT_EQ(at(display, 10, 5), qRgb(10, 5, 77));
    display.Pan(10, 0);
    EXPECT_EQ(display.PanX, 10);
    EXPECT_EQ(at(display, 0, 5), qRgb(10, 5, 77));          // moved left by 10
    EXPECT_EQ(at(display, 389, 5), qRgb(399, 5, 77));       // copied part
    EXPECT_EQ(at(display, 395, 7), qRgb(405 % 256, 7, 77)); // the redrawn strip
    display.Pan(-30, 20); // now the image starts 20 canvas pixels in from the left
    EXPECT_EQ(display.PanX, -20);
    EXPECT_EQ(at(display, 0, 0), qRgb(0, 0, 0));
    EXPECT_EQ(at(display, 20, 5), qRgb(0, 25, 77));
    EXPECT_EQ(at(display, 30, 0), qRgb(10, 20, 77));
    EXPECT_EQ(at(display, 399, 399), qRgb(379 % 256, 419 % 256, 77));
    EXPECT_EQ(boxes.Count(), 0u);
}

TEST_F(DisplayTest, PanningAtZoomTwoMovesByCanvasPixels) {
    ASSERT_TRUE(display.LoadImageA(
        testsupport::WriteCoordinateImage(folders.Home() + "/big.png", 600, 500)));
    display.SetZoomFactor(2.0);
    ASSERT_TRUE(display.DrawZoomedCanvas());
    EXPECT_EQ(at(display, 21, 41), qRgb(10, 20, 77));
    display.Pan(20, 0); // ten image pixels
    EXPECT_EQ(display.PanX, 10);
    EXPECT_EQ(at(display, 1, 41), qRgb(10, 20, 77));
    EXPECT_EQ(at(display, 399, 41), qRgb(209, 20, 77)); // drawn strip agrees with the rest
}

TEST_F(DisplayTest, AnUnscaledDrawOfDifferentSizesDrawsNothing) {
    ASSERT_TRUE(
        display.LoadImageA(testsupport::WriteCoordinateImage(folders.Home() + "/w.png", 100, 100)));
    display.Picture.Bitmap.fill(Qt::white);
    platform::DebugListener listener;
    EXPECT_FALSE(
        display.DrawImageSectionAndBlackout({0, 0, 100, 100}, {0, 0, 400, 400}, {0, 0, 200, 200}));
    EXPECT_EQ(at(display, 0, 0), qRgb(255, 255, 255));
    EXPECT_EQ(at(display, 300, 300), qRgb(255, 255, 255));
    EXPECT_NE(listener.WaitForLineContaining("need to scale image", 2000), "");
}

TEST_F(DisplayTest, ANegativeSubcanvasIsReportedAndWithoutAnImageNothingBreaks) {
    EXPECT_FALSE(display.DrawZoomedCanvasSection({0, 0, -5, 10}));
    auto shown = boxes.Take();
    ASSERT_EQ(shown.size(), 1u);
    EXPECT_EQ(shown[0].text.rfind("Problem with TIM_Display::DrawZoomedCanvasSection()", 0), 0u);
    // No image: drawing fills with the brush, fitting reports, panning does nothing harmful.
    display.Picture.Bitmap.fill(Qt::white);
    display.DrawZoomedCanvas();
    display.DrawCanvas();
    display.Pan(5, 5);
    EXPECT_FALSE(display.DrawImageFitToCanvas());
    EXPECT_EQ(at(display, 10, 10), qRgb(0, 0, 0));
    EXPECT_FALSE(display.LoadImageA(folders.Home() + "/missing.png"));
    EXPECT_FALSE(display.ImageLoaded);
    EXPECT_EQ(display.FileName, "");
}

TEST_F(DisplayTest, AWideImagePrintedOnATallPageFillsTheWidthCentredVertically) {
    ASSERT_TRUE(display.LoadImageA(
        testsupport::WriteCoordinateImage(folders.Home() + "/wide.png", 300, 100)));
    const QImage page = PrintedPage(display, folders.Home());
    ASSERT_FALSE(page.isNull());
    const int w = page.width(), h = page.height();
    // The image is 3:1: at full width it takes a third of the width in height, centred.
    const int top = (h - w / 3) / 2;
    auto blueAt = [&](int x, int y) { return qBlue(page.pixel(x, y)); };
    EXPECT_NEAR(blueAt(w / 2, h / 2), 77, 6);
    EXPECT_NEAR(blueAt(2, h / 2), 77, 6);
    EXPECT_NEAR(blueAt(w - 3, h / 2), 77, 6);
    EXPECT_EQ(page.pixel(w / 2, top / 2), qRgb(255, 255, 255));
    EXPECT_EQ(page.pixel(w / 2, h - top / 2), qRgb(255, 255, 255));
    EXPECT_NEAR(blueAt(w / 2, top + 3), 77, 6);
    EXPECT_NEAR(blueAt(w / 2, h - top - 4), 77, 6);
    EXPECT_EQ(boxes.Count(), 0u);
}

// On a monitor with a profile of its own the screen gets the picture converted to it; the page
// gets sRGB, as every printer expects.
TEST_F(DisplayTest, APageGetsSrgbWhateverTheMonitorsProfile) {
    QImage red(120, 120, QImage::Format_RGB32);
    red.fill(qRgb(200, 60, 60));
    const std::string file = folders.Home() + "/red.png";
    ASSERT_TRUE(red.save(QString::fromStdString(file), "PNG"));
    ASSERT_TRUE(engine::SetDisplayProfile(engine::AdobeRgbProfile()));
    const bool loaded = display.LoadImageA(file);
    const QImage page = loaded ? PrintedPage(display, folders.Home()) : QImage();
    const int onScreen = loaded ? display.CurrentImage.Image()->Row(0)[2] : -1;
    engine::SetDisplayProfile({});
    ASSERT_TRUE(loaded);
    ASSERT_FALSE(page.isNull());
    EXPECT_NEAR(onScreen, 172, 3) << "the screen's copy is not in the monitor's profile";
    const QRgb middle = page.pixel(page.width() / 2, page.height() / 2);
    EXPECT_NEAR(qRed(middle), 200, 4);
    EXPECT_NEAR(qGreen(middle), 60, 4);
    EXPECT_NEAR(qBlue(middle), 60, 4);
}

TEST(Package, TheLibraryExportsItsComponentsAndThePlainScalerEntry) {
    void* library =
        ::dlopen((testsupport::ProgramFolder() + "/libFramekit.so").c_str(), RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(library, nullptr) << ::dlerror();
    EXPECT_NE(::dlsym(library, "_ScaleImage_Bresenham_Fractional"), nullptr);
    EXPECT_NE(::dlsym(library, "_ZN11TIM_Display10LoadImageAERKNSt7__cxx1112basic_stringIcSt11char_"
                               "traitsIcESaIcEEE"),
              nullptr);
    EXPECT_NE(::dlsym(library, "_ZN10Im_display8RegisterEv"), nullptr);
    EXPECT_NE(::dlsym(library, "_ZN8Listbox18RegisterEv"), nullptr);
    ::dlclose(library);
    Im_display::Register();
    Listbox1::Register();
    const auto palette = platform::RegisteredComponents();
    EXPECT_NE(std::find(palette.begin(), palette.end(),
                        std::pair<std::string, std::string>{"Custom", "TIM_Display"}),
              palette.end());
    EXPECT_NE(std::find(palette.begin(), palette.end(),
                        std::pair<std::string, std::string>{"Custom", "TListBox1"}),
              palette.end());
}
