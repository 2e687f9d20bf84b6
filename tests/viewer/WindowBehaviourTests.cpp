// The viewer's window around small images, and the window behaviour across starts.
#include "support/GuiEnvironment.h"
#include "support/OrientedPictures.h"
#include "support/TestSupport.h"

#include "common/ProcessValues.h"
#include "common/Settings.h"
#include "display/ImageDecoder.h"
#include "messaging/MessageServer.h"
#include "viewer/Viewerform.h"

#include <QAction>
#include <QBuffer>
#include <QMenuBar>
#include <QTest>

#include <fstream>

using testsupport::IsolatedTest;

namespace {

class WindowBehaviourTest : public IsolatedTest {
protected:
    void SetUp() override {
        ASSERT_TRUE(server.Start("behaviour_test_server"));
        itm_server_name = "behaviour_test_server";
        solitary_viewer_flag = false;
    }
    void TearDown() override { itm_server_name.clear(); }

    MessageServer server;
};

} // namespace

// A 64×48 image used to give a 64-pixel window whose menu bar folded to "File ››".
TEST_F(WindowBehaviourTest, ATinyImageKeepsTheMenuBarWholeAndSitsInTheMiddle) {
    TViewer viewer;
    viewer.show();
    const std::string tiny =
        testsupport::WriteImage(folders.Home() + "/tiny.png", 64, 48, qRgb(0, 200, 0));
    ASSERT_TRUE(viewer.DisplayImage(tiny));
    EXPECT_GE(viewer.menuBar()->width(), viewer.menuBar()->sizeHint().width());
    for (QAction* menu : viewer.menuBar()->actions()) {
        EXPECT_LE(viewer.menuBar()->actionGeometry(menu).right(), viewer.menuBar()->width())
            << menu->text().toStdString();
    }
    const QImage& shown = viewer.Display1->Picture.Bitmap;
    const int middle = viewer.Display1->Width() / 2;
    EXPECT_EQ(shown.pixel(middle, 24), qRgb(0, 200, 0));
    EXPECT_EQ(shown.pixel(middle - 33, 24), qRgb(0, 0, 0));
    EXPECT_EQ(shown.pixel(middle + 33, 24), qRgb(0, 0, 0));
    EXPECT_EQ(viewer.Display1->Height(), 48);
}

// A window fitted to a larger image grows: its display is drawn once, not the part it gained
// first and then all of it again.
TEST_F(WindowBehaviourTest, AWindowGrownToFitALargerImageIsDrawnOnce) {
    TViewer viewer;
    viewer.shrink_to_fit_screen = true;
    viewer.show();
    viewer.resize(320, 240);
    const int width_before = viewer.Display1->Width();
    const int height_before = viewer.Display1->Height();
    const std::string large =
        testsupport::WriteImage(folders.Home() + "/large.png", 2400, 1800, qRgb(0, 90, 200));
    const std::uint64_t scaled_before = viewer.Display1->ScaledPixels;
    ASSERT_TRUE(viewer.DisplayImage(large));
    ASSERT_LT(viewer.Display1->ZoomFactor, 1.0);
    const int width = viewer.Display1->Width();
    const int height = viewer.Display1->Height();
    ASSERT_GT(width, width_before);
    ASSERT_GT(height, height_before);
    EXPECT_LE(viewer.Display1->ScaledPixels - scaled_before,
              static_cast<std::uint64_t>(width) * static_cast<std::uint64_t>(height));
    const QImage& shown = viewer.Display1->Picture.Bitmap;
    EXPECT_EQ(shown.pixel(width / 2, height / 2), qRgb(0, 90, 200));
    EXPECT_EQ(shown.pixel(width - 2, height - 2), qRgb(0, 90, 200));
}

// A start sizes its window for its image before showing it, from the file's header: the window
// the image is then fitted to is that one, with the same drawing area, and never grows.
TEST_F(WindowBehaviourTest, AWindowSizedForItsFirstImageIsTheOneTheImageFits) {
    // Stored 1600 x 1200 and tagged to be turned a quarter: shown 1200 x 1600.
    QImage stored(1600, 1200, QImage::Format_RGB32);
    stored.fill(qRgb(30, 120, 60));
    QByteArray jpeg;
    QBuffer buffer(&jpeg);
    buffer.open(QIODevice::WriteOnly);
    stored.save(&buffer, "JPG", 90);
    const std::string turned = folders.Home() + "/turned.jpg";
    std::ofstream(turned, std::ios::binary) << testsupport::WithJpegExif(jpeg.toStdString(), 6);
    struct Case {
        std::string file;
        bool shrink, remember;
    };
    const Case cases[] = {
        {testsupport::WriteImage(folders.Home() + "/wide.png", 2400, 1800, qRgb(0, 90, 200)), true,
         false},
        {turned, true, false},
        {turned, false, true}, // at the remembered zoom, clipped to the screen
        {testsupport::WriteImage(folders.Home() + "/narrow.png", 40, 300, qRgb(200, 0, 0)), false,
         false}, // as wide as the menu bar needs
    };
    {
        // The frame a window manager gives a window is known once one has been framed; the
        // first window of a process assumes none, and is fitted again once it has one.
        TViewer framed;
        framed.show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(&framed));
        QTest::qWait(200);
    }
    for (const Case& c : cases) {
        SCOPED_TRACE(c.file);
        TViewer viewer;
        viewer.shrink_to_fit_screen = c.shrink;
        viewer.remember_zoom_settings = c.remember;
        viewer.desired_zoom_factor = c.remember ? 0.5 : 1.0;
        viewer.window_behavior = FitWindowToImage;
        const engine::DecodeResult header = engine::PingImageFile(c.file);
        ASSERT_TRUE(header.image);
        viewer.SizeForImage(header.image->columns, header.image->rows, header.orientation);
        viewer.show();
        const WindowBounds sized = viewer.Bounds();
        const uchar* area = viewer.Display1->Picture.Bitmap.constBits();
        ASSERT_TRUE(viewer.DisplayImage(c.file));
        const WindowBounds fitted = viewer.Bounds();
        EXPECT_EQ(fitted.width, sized.width);
        EXPECT_EQ(fitted.height, sized.height);
        EXPECT_EQ(fitted.left, sized.left);
        EXPECT_EQ(fitted.top, sized.top);
        EXPECT_EQ(viewer.Display1->Picture.Bitmap.constBits(), area);
        viewer.close();
    }
}

// The mode chosen in the View menu comes back at the next start and holds for its first image
// when zoom settings are remembered; without that, every new image starts fitted, as before.
TEST_F(WindowBehaviourTest, TheChosenModeComesBackWithRememberedZoomSettings) {
    const std::string image =
        testsupport::WriteImage(folders.Home() + "/image.png", 300, 200, qRgb(200, 0, 0));
    {
        TViewer viewer;
        viewer.show();
        ASSERT_TRUE(viewer.DisplayImage(image));
        viewer.Remember_Zoom_Settings->setEnabled(true);
        viewer.Remember_Zoom_Settings->trigger();
        viewer.Free_Window_Sizing->trigger();
        viewer.close();
    }
    {
        TViewer viewer;
        viewer.UpdateActions();
        EXPECT_TRUE(viewer.Free_Window_Sizing->isChecked());
        viewer.show();
        ASSERT_TRUE(viewer.DisplayImage(image));
        viewer.UpdateActions();
        EXPECT_EQ(viewer.window_behavior, FreeWindowSizing);
        EXPECT_TRUE(viewer.Free_Window_Sizing->isChecked());
        EXPECT_FALSE(viewer.Fit_Window_to_Image->isChecked());
        viewer.Remember_Zoom_Settings->trigger(); // off again
        viewer.close();
    }
    TViewer viewer;
    viewer.show();
    ASSERT_TRUE(viewer.DisplayImage(image));
    EXPECT_EQ(viewer.window_behavior, FitWindowToImage);
}

// Two actions of one window with the same key are ambiguous, and Qt then runs neither: Ctrl+P
// did nothing while the print action and the File menu's entry both held it.
TEST_F(WindowBehaviourTest, NoTwoActionsOfTheViewerShareAKey) {
    TViewer viewer;
    EXPECT_EQ(testsupport::SharedShortcuts(viewer), std::vector<std::string>{});
}

// The colour behind transparent pixels is remembered; a damaged setting gives the
// checkerboard.
TEST_F(WindowBehaviourTest, TheBackdropChoiceIsRemembered) {
    {
        TViewer viewer;
        EXPECT_FALSE(viewer.Display1->Backdrop.has_value());
        EXPECT_TRUE(viewer.Checkerboard_Backdrop->isChecked());
        viewer.SetBackdrop(0x123456);
        EXPECT_FALSE(viewer.Checkerboard_Backdrop->isChecked());
        viewer.close();
    }
    {
        TViewer viewer;
        ASSERT_TRUE(viewer.Display1->Backdrop.has_value());
        EXPECT_EQ(*viewer.Display1->Backdrop, 0x123456u);
        EXPECT_FALSE(viewer.Checkerboard_Backdrop->isChecked());
        viewer.Checkerboard_Backdrop->trigger();
        EXPECT_FALSE(viewer.Display1->Backdrop.has_value());
        viewer.close();
    }
    TRegistryIniFileSpecial settings(settings_base_key, KEY_ALL_ACCESS);
    settings.Section = "viewer_0";
    EXPECT_EQ(settings.ReadString("transparency_backdrop", ""), "checkerboard");
    settings.WriteString("transparency_backdrop", "#12345");
    TViewer viewer;
    EXPECT_FALSE(viewer.Display1->Backdrop.has_value());
}
