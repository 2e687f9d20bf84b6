// On a screen of two device pixels to the point (run with QT_SCALE_FACTOR=2): at zoom 1 one
// image pixel takes one device pixel, crisp, and the window is fitted in logical pixels.
#include "support/GuiEnvironment.h"
#include "support/TestSupport.h"

#include "common/ProcessValues.h"
#include "display/Im_display.h"
#include "messaging/MessageServer.h"
#include "viewer/Viewerform.h"

#include <QImage>
#include <QPixmap>

using testsupport::IsolatedTest;

ORVALEN_GUI_TEST_ENVIRONMENT(true);

namespace {

void expectOnePixelEach(const QImage& shown, int width, int height) {
    for (int y = 0; y < height; y += 7) {
        for (int x = 0; x < width; x += 5) {
            ASSERT_EQ(shown.pixel(x, y), qRgb(x % 256, y % 256, 77)) << x << "," << y;
        }
    }
}

class HiDpiTest : public IsolatedTest {};

} // namespace

TEST_F(HiDpiTest, TheDisplayDrawsOneImagePixelOnOneDevicePixel) {
    TIM_Display display;
    ASSERT_EQ(display.devicePixelRatioF(), 2.0) << "run with QT_SCALE_FACTOR=2";
    display.resize(150, 100);
    EXPECT_EQ(display.Width(), 300);
    EXPECT_EQ(display.Height(), 200);
    display.SetPictureSize(display.Width(), display.Height());
    ASSERT_TRUE(
        display.LoadImageA(testsupport::WriteCoordinateImage(folders.Home() + "/c.png", 300, 200)));
    ASSERT_TRUE(display.DrawCanvas());
    expectOnePixelEach(display.Picture.Bitmap, 300, 200);
    // What the widget paints: each picture pixel on one device pixel.
    const QImage painted = display.grab().toImage();
    ASSERT_EQ(painted.width(), 300);
    expectOnePixelEach(painted, 300, 200);
}

TEST_F(HiDpiTest, TheViewerFitsItsWindowToTheImageInDevicePixels) {
    MessageServer server;
    ASSERT_TRUE(server.Start("hidpi_test_server"));
    itm_server_name = "hidpi_test_server";
    solitary_viewer_flag = false;
    {
        TViewer viewer;
        viewer.show();
        ASSERT_TRUE(viewer.DisplayImage(
            testsupport::WriteCoordinateImage(folders.Home() + "/v.png", 400, 300)));
        EXPECT_EQ(viewer.Display1->ZoomFactor, 1.0);
        EXPECT_EQ(viewer.Display1->width(), 200); // logical
        EXPECT_EQ(viewer.Display1->height(), 150);
        expectOnePixelEach(viewer.Display1->Picture.Bitmap, 400, 300);
        viewer.close();
    }
    itm_server_name.clear();
}
