// The viewer window, offscreen: settings, showing files, status texts, full screen, fitting.
#include "support/GuiEnvironment.h"
#include "support/TestSupport.h"

#include "common/ProcessValues.h"
#include "common/Settings.h"
#include "display/MagickLibrary.h"
#include "messaging/MessageServer.h"
#include "platform/Shell.h"
#include "viewer/AboutBox.h"
#include "viewer/Viewerform.h"
#include "viewer/WindowFitting.h"

#include <QApplication>
#include <QImage>
#include <QLabel>
#include <QLocale>
#include <QScreen>
#include <QTest>
#include <QTimer>

using testsupport::IsolatedTest;

ORVALEN_GUI_TEST_ENVIRONMENT(true);

namespace {

QSize screen() {
    return QGuiApplication::primaryScreen()->geometry().size();
}

class ViewerTest : public IsolatedTest {
protected:
    void SetUp() override {
        ASSERT_TRUE(server.Start("viewer_test_server"));
        itm_server_name = "viewer_test_server";
        solitary_viewer_flag = false;
    }
    void TearDown() override { itm_server_name.clear(); }

    static std::unique_ptr<TRegistryIniFileSpecial> viewerSettings() {
        auto settings =
            std::make_unique<TRegistryIniFileSpecial>(settings_base_key, KEY_ALL_ACCESS);
        settings->Section = "viewer_0";
        return settings;
    }

    MessageServer server;
};

} // namespace

TEST(WindowFitting, AWindowLargerThanTheWorkAreaGetsExactlyTheWorkArea) {
    const WorkArea area{0, 30, 1920, 1050};
    EXPECT_EQ(FitRectToWorkArea(200, 100, 5000, 3000, area), (WindowBounds{0, 30, 1920, 1020}));
    EXPECT_EQ(FitRectToWorkArea(-50, 40, 300, 200, area), (WindowBounds{0, 40, 300, 200}));
    EXPECT_EQ(FitRectToWorkArea(1800, 1000, 300, 200, area), (WindowBounds{1620, 850, 300, 200}));
    EXPECT_EQ(ShrinkToFitScreenZoom(300, 200, 20, 60, area), 1.0);
    EXPECT_DOUBLE_EQ(ShrinkToFitScreenZoom(6000, 4000, 20, 60, area),
                     std::min((1920 + 1 - 20) / 6000.0, (1020 + 1 - 60) / 4000.0));
    EXPECT_EQ(ShrinkToFitScreenZoom(0, 0, 20, 60, area), 1.0);
}

TEST_F(ViewerTest, StoredBoundsOutsideTheirRangeAreReplacedAndWrittenBack) {
    {
        auto settings = viewerSettings();
        settings->WriteInteger("Width", 20);
        settings->WriteInteger("Height", 21);
        settings->WriteInteger("Left", screen().width() - 15);
        settings->WriteInteger("Top", -4);
    }
    TViewer viewer;
    auto settings = viewerSettings();
    EXPECT_EQ(settings->ReadInteger("Width", 0), 800);
    EXPECT_EQ(settings->ReadInteger("Height", 0), 21);
    EXPECT_EQ(settings->ReadInteger("Left", 0), screen().width() - 15);
    EXPECT_EQ(settings->ReadInteger("Top", 0), 0);
    EXPECT_EQ(viewer.Bounds().width, 800);
}

TEST_F(ViewerTest, TheStatusPanelsReadAsTheUserExpects) {
    const std::string file =
        testsupport::WriteImage(folders.Home() + "/photo.png", 1024, 768, qRgb(1, 2, 3));
    TViewer viewer;
    std::vector<LONGLONG> readings = {1204500000000LL, 1204500000000LL + 153400000LL};
    std::size_t next = 0;
    viewer.ReadCounter = [&] { return readings[std::min(next++, readings.size() - 1)]; };
    load_start_counter = readings[1] - 1204500000000LL;
    ASSERT_TRUE(viewer.DisplayImage(file));
    EXPECT_EQ(viewer.PanelText(0), " 1024x768");
    EXPECT_EQ(viewer.PanelText(1), " Decoded in 0.153 seconds");
    EXPECT_EQ(viewer.PanelText(2), " Loaded in 1,204.500 seconds");
    EXPECT_EQ(viewer.windowTitle().toStdString(), "Viewer - photo.png");
    EXPECT_GT(viewer.PanelWidth(2), viewer.PanelWidth(0));
    EXPECT_EQ(boxes.Count(), 0u);
}

TEST_F(ViewerTest, TheFileOnDisplayIsNotReloadedButTheSameNameInOtherCaseIs) {
    const std::string file =
        testsupport::WriteImage(folders.Home() + "/Shot.png", 120, 80, qRgb(9, 9, 9));
    testsupport::WriteImage(folders.Home() + "/shot.png", 120, 80, qRgb(200, 9, 9));
    TViewer viewer;
    int readings = 0;
    viewer.ReadCounter = [&] { return static_cast<LONGLONG>(++readings); };
    ASSERT_TRUE(viewer.DisplayImage(file));
    EXPECT_EQ(readings, 2);
    viewer.showMinimized();
    QTest::qWait(10);
    ASSERT_TRUE(viewer.isMinimized());
    EXPECT_TRUE(viewer.DisplayImage(file));
    EXPECT_EQ(readings, 2); // no reload
    EXPECT_FALSE(viewer.isMinimized());
    EXPECT_TRUE(viewer.DisplayImage(folders.Home() + "/shot.png"));
    EXPECT_EQ(readings, 4);
    EXPECT_EQ(viewer.windowTitle().toStdString(), "Viewer - shot.png");
}

TEST_F(ViewerTest, WithoutRememberedZoomEveryImageStartsAtZoomOneInAFittedWindow) {
    TViewer viewer;
    viewer.show();
    const std::string first =
        testsupport::WriteImage(folders.Home() + "/a.png", 300, 200, qRgb(0, 0, 255));
    const std::string second =
        testsupport::WriteImage(folders.Home() + "/b.png", 200, 150, qRgb(0, 255, 0));
    ASSERT_TRUE(viewer.DisplayImage(first));
    viewer.SetDesiredZoom(2.5);
    ASSERT_TRUE(viewer.DisplayImage(second));
    EXPECT_EQ(viewer.Display1->ZoomFactor, 1.0);
    EXPECT_EQ(viewer.desired_zoom_factor, 1.0);
    EXPECT_EQ(viewer.window_behavior, FitWindowToImage);
    EXPECT_EQ(viewer.Display1->Width(), 200);
    EXPECT_EQ(viewer.Display1->Height(), 150);
    EXPECT_EQ(viewer.Display1->Picture.Bitmap.pixel(100, 75), qRgb(0, 255, 0));
}

TEST_F(ViewerTest, AFailedLoadKeepsCaptionAndStatusAndTheEarlierFileReloads) {
    TViewer viewer;
    const std::string good =
        testsupport::WriteImage(folders.Home() + "/good.png", 64, 48, qRgb(5, 5, 5));
    int readings = 0;
    viewer.ReadCounter = [&] { return static_cast<LONGLONG>(++readings); };
    ASSERT_TRUE(viewer.DisplayImage(good));
    const std::string caption = viewer.windowTitle().toStdString();
    const std::string status = viewer.PanelText(0);
    EXPECT_FALSE(viewer.DisplayImage(folders.Home() + "/missing.png"));
    EXPECT_EQ(boxes.Take().size(), 1u);
    EXPECT_EQ(viewer.windowTitle().toStdString(), caption);
    EXPECT_EQ(viewer.PanelText(0), status);
    readings = 0;
    EXPECT_TRUE(viewer.DisplayImage(good));
    EXPECT_EQ(readings, 2); // loaded again
}

TEST_F(ViewerTest, ClosingInFullScreenStoresItsBoundsAndTheNextStartIsFullScreen) {
    WindowBounds windowed;
    {
        TViewer viewer;
        viewer.show();
        windowed = viewer.Bounds();
        viewer.Full_ScreenExecute();
        EXPECT_TRUE(viewer.full_screen);
        // The window system takes the state change in its own time.
        const WindowBounds whole{0, 0, screen().width(), screen().height()};
        EXPECT_TRUE(QTest::qWaitFor([&] { return viewer.Bounds() == whole; }, 2000));
        EXPECT_EQ(viewer.Bounds(), whole);
        viewer.WindowedExecute();
        EXPECT_TRUE(QTest::qWaitFor([&] { return viewer.Bounds() == windowed; }, 2000));
        EXPECT_EQ(viewer.Bounds(), windowed); // exact bounds back
        viewer.Full_ScreenExecute();
        EXPECT_TRUE(QTest::qWaitFor([&] { return viewer.Bounds() == whole; }, 2000));
        viewer.close();
    }
    auto settings = viewerSettings();
    EXPECT_TRUE(settings->ReadBool("fullscreen", false));
    EXPECT_EQ(settings->ReadInteger("Width", 0), screen().width());
    EXPECT_EQ(settings->ReadInteger("Left", -1), 0);
    TViewer again;
    EXPECT_TRUE(again.full_screen);
}

TEST_F(ViewerTest, WithoutAnImageFittingAndResizingDoNothingHarmful) {
    TViewer viewer;
    viewer.show();
    viewer.Fit_Window_to_ImageExecute();
    viewer.Fit_Image_to_WindowExecute();
    viewer.resize(500, 400);
    QTest::qWait(5);
    viewer.ApplyWindowBehavior();
    EXPECT_EQ(boxes.Count(), 0u);
}

TEST_F(ViewerTest, AMessageFromAnotherWindowDisplaysTheFile) {
    TViewer viewer;
    const std::string file =
        testsupport::WriteImage(folders.Home() + "/sent.png", 50, 40, qRgb(7, 8, 9));
    MessageClient sender;
    ASSERT_TRUE(sender.Connect("MainForm", 0, GetCurrentThreadId(), "viewer_test_server"));
    Message message;
    message.kind = IV_DISPLAY_IMAGE;
    message.payload = MessagePayloadCopy(file.c_str());
    ASSERT_TRUE(sender.Send("Viewer", message, true));
    EXPECT_TRUE(QTest::qWaitFor([&] { return viewer.image_loaded; }, 2000));
    EXPECT_EQ(viewer.current_file, file);
    EXPECT_TRUE(viewer.isVisible());
}

TEST_F(ViewerTest, TheAboutBoxAnswersOkInEveryWay) {
    TAboutBox box;
    EXPECT_EQ(box.windowTitle().toStdString(), "About");
    EXPECT_EQ(box.ProductName->text().toStdString(), "Orvalen");
    EXPECT_EQ(box.Version->text().toStdString(), "Version 1.5");
    QTimer::singleShot(20, &box, [&] { box.close(); });
    EXPECT_EQ(box.exec(), 1);
    QTimer::singleShot(20, &box, [&] { QTest::keyClick(&box, Qt::Key_Escape); });
    EXPECT_EQ(box.exec(), 1);
    std::vector<std::string> opened;
    platform::SetShellOpener([&](const std::string&, const std::string& target) {
        opened.push_back(target);
        return true;
    });
    box.website_linkClick();
    box.email_linkClick();
    platform::SetShellOpener({});
    ASSERT_EQ(opened.size(), 2u);
    EXPECT_EQ(opened[0].find("https://"), 0u);
    EXPECT_EQ(opened[1].rfind("mailto: ", 0), 0u);
    EXPECT_NE(opened[0].find("example.org"), std::string::npos);
}
