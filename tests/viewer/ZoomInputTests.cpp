// Zoom steps, window modes and the viewer's keys, wheel and mouse, offscreen: window bounds,
// display pixels and the messages that reach "Browser".
#include "support/GuiEnvironment.h"
#include "support/TestSupport.h"

#include "common/ProcessValues.h"
#include "display/MagickLibrary.h"
#include "messaging/MessageServer.h"
#include "viewer/Viewerform.h"
#include "viewer/ZoomSteps.h"

#include <QAction>
#include <QApplication>
#include <QDialog>
#include <QEventLoop>
#include <QImage>
#include <QMenuBar>
#include <QMouseEvent>
#include <QScreen>
#include <QTest>
#include <QTimer>
#include <QWheelEvent>

#include <cmath>

using testsupport::IsolatedTest;

ORVALEN_GUI_TEST_ENVIRONMENT(true);

namespace {

std::string writeImage(const std::string& path, int width, int height) {
    QImage image(width, height, QImage::Format_RGB32);
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            image.setPixel(x, y, qRgb(x % 256, y % 256, 99));
        }
    }
    image.save(QString::fromStdString(path), "PNG");
    return path;
}

// Lets the application go idle for ms: the event loop blocks, as it does between a user's key
// presses, so what runs on idle (the actions' enable rules) runs. QTest::qWait never blocks it.
void idle(int ms) {
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}

WorkArea workArea() {
    const QRect area = QGuiApplication::primaryScreen()->availableGeometry();
    return WorkArea{area.x(), area.y(), area.x() + area.width(), area.y() + area.height()};
}

class ViewerInputTest : public IsolatedTest {
protected:
    void SetUp() override {
        ASSERT_TRUE(server.Start("zoom_test_server"));
        itm_server_name = "zoom_test_server";
        viewer = std::make_unique<TViewer>();
        ASSERT_TRUE(browser.Connect("Browser", 0, GetCurrentThreadId(), "zoom_test_server"));
    }
    void TearDown() override {
        viewer.reset();
        itm_server_name.clear();
    }

    // The requests that reached "Browser": kind and payload.
    std::vector<std::pair<std::int32_t, std::string>> requests() {
        std::vector<std::pair<std::int32_t, std::string>> seen;
        Message message;
        while (browser.PopMessage(message)) {
            seen.emplace_back(message.kind,
                              message.payload != nullptr ? message.payload : "<null>");
            FreeMessagePayload(message);
        }
        return seen;
    }

    MessageServer server;
    MessageClient browser;
    std::unique_ptr<TViewer> viewer;
};

} // namespace

TEST(ZoomSteps, InAndOutThroughTheTables) {
    std::vector<double> in{1.0};
    while (in.back() < 5) {
        in.push_back(NextZoomIn(in.back()));
    }
    EXPECT_EQ(in, (std::vector<double>{1, 1.25, 1.5, 2, 3, 4, 5}));
    std::vector<double> out{5.0};
    while (out.size() < 15) {
        out.push_back(NextZoomOut(out.back(), 100000, 100000));
    }
    const std::vector<double> expected{5,   4,       3,    2,       1.5, 1.25, 1,    0.75,
                                       0.5, 1.0 / 3, 0.25, 1.0 / 6, 0.1, 0.08, 0.064};
    ASSERT_EQ(out.size(), expected.size());
    for (std::size_t i = 0; i < out.size(); ++i) {
        EXPECT_NEAR(out[i], expected[i], 1e-12) << i;
    }
    EXPECT_EQ(NextZoomIn(0.96), 1.25);
    EXPECT_EQ(NextZoomOut(1.04, 1000, 1000), 0.75);
    // A 16-pixel-wide image stops where its narrow side would fall under 8 pixels.
    EXPECT_EQ(NextZoomOut(1.0, 16, 1000), 0.75);
    EXPECT_EQ(NextZoomOut(0.75, 16, 1000), 0.5);
    EXPECT_EQ(NextZoomOut(0.5, 16, 1000), 0.5);
    // No image, no lower limit (and no division by its side).
    EXPECT_EQ(NextZoomOut(0.5, 0, 0), 1.0 / 3);
}

TEST_F(ViewerInputTest, AnImageLargerThanTheWorkAreaGetsAWindowOfExactlyTheWorkArea) {
    viewer->desired_left = -200;
    viewer->desired_top = -50;
    const WorkArea area = workArea();
    ASSERT_TRUE(viewer->DisplayImage(writeImage(folders.Home() + "/big.png", 2000, 1500)));
    EXPECT_EQ(viewer->Bounds(),
              (WindowBounds{area.left, area.top, area.right - area.left, area.bottom - area.top}));
    EXPECT_EQ(viewer->ShrinkToFitScreenZoom() < 1.0, true);
    ASSERT_TRUE(viewer->DisplayImage(writeImage(folders.Home() + "/small.png", 60, 40)));
    EXPECT_EQ(viewer->ShrinkToFitScreenZoom(), 1.0);
    EXPECT_EQ(viewer->Bounds().left, area.left);
}

TEST_F(ViewerInputTest, TheSKeyInEachMode) {
    ASSERT_TRUE(viewer->DisplayImage(writeImage(folders.Home() + "/big.png", 2000, 1500)));
    const double shrunk = viewer->ShrinkToFitScreenZoom();
    ASSERT_LT(shrunk, 1.0);
    // Permanent shrink off, window fitted to the image: S shows it shrunk, then at the desired
    // zoom again (it used to stay shrunk).
    QTest::keyClick(viewer.get(), Qt::Key_S);
    EXPECT_NEAR(viewer->Display1->ZoomFactor, shrunk, 1e-9);
    QTest::keyClick(viewer.get(), Qt::Key_S);
    EXPECT_EQ(viewer->Display1->ZoomFactor, 1.0);
    EXPECT_FALSE(viewer->shrink_to_fit_screen);
    // Permanent shrink on: S alternates between the desired zoom and the shrunk view.
    viewer->shrink_to_fit_screen = true;
    viewer->ApplyWindowBehavior();
    EXPECT_NEAR(viewer->Display1->ZoomFactor, shrunk, 1e-9);
    QTest::keyClick(viewer.get(), Qt::Key_S);
    EXPECT_EQ(viewer->Display1->ZoomFactor, 1.0);
    QTest::keyClick(viewer.get(), Qt::Key_S);
    EXPECT_NEAR(viewer->Display1->ZoomFactor, shrunk, 1e-9);
    EXPECT_TRUE(viewer->shrink_to_fit_screen);
    // Free window sizing: S alternates between the shrink zoom and the desired zoom.
    viewer->shrink_to_fit_screen = false;
    viewer->window_behavior = FreeWindowSizing;
    viewer->SetDesiredZoom(1.0);
    QTest::keyClick(viewer.get(), Qt::Key_S);
    EXPECT_NEAR(viewer->Display1->ZoomFactor, shrunk, 1e-9);
    QTest::keyClick(viewer.get(), Qt::Key_S);
    EXPECT_EQ(viewer->Display1->ZoomFactor, 1.0);
    EXPECT_EQ(viewer->window_behavior, FreeWindowSizing);
}

TEST_F(ViewerInputTest, PlusInFitImageToWindowGrowsTheWindowWhileItCan) {
    // Wider than the menu bar, so that the window follows the image alone.
    ASSERT_TRUE(viewer->DisplayImage(writeImage(folders.Home() + "/small.png", 300, 80)));
    viewer->Fit_Image_to_WindowExecute();
    const WindowBounds before = viewer->Bounds();
    QTest::keyClick(viewer.get(), Qt::Key_Plus);
    EXPECT_EQ(viewer->desired_zoom_factor, 1.25);
    EXPECT_EQ(viewer->Display1->Width(), 375);
    EXPECT_EQ(viewer->Display1->Height(), 100);
    EXPECT_GT(viewer->Bounds().width, before.width);
    EXPECT_EQ(viewer->window_behavior, FitImageToWindow);
    // A window already as large as the work area cannot grow: the zoom is drawn as asked.
    ASSERT_TRUE(viewer->DisplayImage(writeImage(folders.Home() + "/big.png", 2000, 1500)));
    viewer->Fit_Image_to_WindowExecute();
    const WindowBounds full = viewer->Bounds();
    viewer->SetDesiredZoom(1.0);
    viewer->Zoom(1.25);
    EXPECT_EQ(viewer->Bounds(), full);
    EXPECT_EQ(viewer->Display1->ZoomFactor, 1.25);
    EXPECT_EQ(viewer->window_behavior, FitImageToWindow);
    EXPECT_EQ(viewer->PanelText(3).rfind("Resized in ", 0), 0u);
}

TEST_F(ViewerInputTest, EnterLeavesFullScreenFirstAndThenAsksForTheBrowser) {
    viewer->show();
    viewer->Full_ScreenExecute();
    QTest::keyClick(viewer.get(), Qt::Key_Return);
    EXPECT_FALSE(viewer->full_screen);
    EXPECT_TRUE(requests().empty());
    QTest::keyClick(viewer.get(), Qt::Key_Return);
    const auto seen = requests();
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].first, IV_SHOW_BROWSER);
}

// The pointer at the top edge of a full-screen viewer shows the menu; moving down hides it.
// Windowed, the menu stays.
TEST_F(ViewerInputTest, TheTopEdgeRevealsTheMenuOnlyInFullScreen) {
    viewer->show();
    auto moveTo = [&](int y) {
        QMouseEvent move(QEvent::MouseMove, QPointF(40, y), QPointF(40, y), Qt::NoButton,
                         Qt::NoButton, Qt::NoModifier);
        QApplication::sendEvent(viewer->Display1, &move);
    };
    moveTo(60);
    EXPECT_TRUE(viewer->menuBar()->isVisible());
    viewer->Full_ScreenExecute();
    EXPECT_FALSE(viewer->menuBar()->isVisible());
    QCoreApplication::processEvents(); // the layout without the menu
    moveTo(10);
    EXPECT_FALSE(viewer->menuBar()->isVisible());
    moveTo(2);
    EXPECT_TRUE(viewer->menuBar()->isVisible());
    moveTo(viewer->Display1->mapFrom(viewer.get(), QPoint(40, 60)).y());
    EXPECT_FALSE(viewer->menuBar()->isVisible());
    viewer->WindowedExecute();
    EXPECT_TRUE(viewer->menuBar()->isVisible());
}

TEST_F(ViewerInputTest, DigitsOnReleaseSetTheZoomShiftForFractions) {
    ASSERT_TRUE(viewer->DisplayImage(writeImage(folders.Home() + "/big.png", 2000, 1500)));
    viewer->window_behavior = FreeWindowSizing;
    QTest::keyRelease(viewer.get(), Qt::Key_3, Qt::ShiftModifier);
    EXPECT_DOUBLE_EQ(viewer->desired_zoom_factor, 1.0 / 3);
    QTest::keyRelease(viewer.get(), Qt::Key_0);
    EXPECT_EQ(viewer->desired_zoom_factor, 10);
    QTest::keyRelease(viewer.get(), Qt::Key_1, Qt::ShiftModifier);
    EXPECT_EQ(viewer->desired_zoom_factor, 1);
    QTest::keyRelease(viewer.get(), Qt::Key_7, Qt::KeypadModifier);
    EXPECT_EQ(viewer->desired_zoom_factor, 7);
}

TEST_F(ViewerInputTest, TheWheelAsksForImagesOrZoomsWithTheMiddleButton) {
    const std::string file = writeImage(folders.Home() + "/small.png", 100, 80);
    ASSERT_TRUE(viewer->DisplayImage(file));
    viewer->FormMouseWheelUp(false);
    viewer->FormMouseWheelDown(false);
    auto seen = requests();
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[0], std::make_pair(IV_PREVIOUS_IMAGE, file));
    EXPECT_EQ(seen[1], std::make_pair(IV_NEXT_IMAGE, file));
    viewer->FormMouseWheelUp(true);
    EXPECT_EQ(viewer->desired_zoom_factor, 1.25);
    EXPECT_TRUE(requests().empty());
}

TEST_F(ViewerInputTest, ADragPansOnlyWhenItStartedOnTheDisplay) {
    ASSERT_TRUE(viewer->DisplayImage(writeImage(folders.Home() + "/big.png", 2000, 1500)));
    viewer->window_behavior = FreeWindowSizing;
    const double panX = viewer->Display1->PanX;
    viewer->Display1MouseMove(Qt::LeftButton, 50, 50); // entered with the button held
    viewer->Display1MouseMove(Qt::LeftButton, 30, 50);
    EXPECT_EQ(viewer->Display1->PanX, panX);
    viewer->Display1MouseDown(Qt::LeftButton, 50, 50);
    viewer->Display1MouseMove(Qt::LeftButton, 30, 45);
    EXPECT_EQ(viewer->Display1->PanX, panX + 20);
    viewer->Display1MouseUp(Qt::LeftButton);
    viewer->Display1MouseMove(Qt::LeftButton, 10, 45);
    EXPECT_EQ(viewer->Display1->PanX, panX + 20);
}

TEST_F(ViewerInputTest, F5AfterZoomingGivesZoomOneWithTheWindowFittedAgain) {
    ASSERT_TRUE(viewer->DisplayImage(writeImage(folders.Home() + "/small.png", 100, 80)));
    const WindowBounds fitted = viewer->Bounds();
    viewer->Zoom(2.0);
    EXPECT_EQ(viewer->Display1->Width(), 200);
    QTest::keyClick(viewer.get(), Qt::Key_F5);
    EXPECT_EQ(viewer->Display1->ZoomFactor, 1.0);
    EXPECT_EQ(viewer->Bounds().width, fitted.width);
    EXPECT_EQ(viewer->Bounds().height, fitted.height);
    // The image is narrower than the menu bar: it sits in the middle of the display.
    const int left = (viewer->Display1->Width() - 100) / 2;
    EXPECT_EQ(viewer->Display1->Picture.Bitmap.pixel(left + 10, 20), qRgb(10, 20, 99));
}

TEST_F(ViewerInputTest, KeysWithoutAnImageSendEmptyNamesAndHarmNothing) {
    QTest::keyClick(viewer.get(), Qt::Key_Space);
    QTest::keyClick(viewer.get(), Qt::Key_Minus);
    QTest::keyClick(viewer.get(), Qt::Key_Plus);
    QTest::keyClick(viewer.get(), Qt::Key_F5);
    QTest::keyClick(viewer.get(), Qt::Key_Right);
    const auto seen = requests();
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0], std::make_pair(IV_NEXT_IMAGE, std::string()));
    EXPECT_EQ(boxes.Count(), 0u);
}

TEST_F(ViewerInputTest, ArrowKeysPanByTwentyDisplayPixels) {
    ASSERT_TRUE(viewer->DisplayImage(writeImage(folders.Home() + "/big.png", 2000, 1500)));
    viewer->Display1->PanX = viewer->Display1->PanY = 0;
    viewer->Display1->DrawCanvas();
    QTest::keyClick(viewer.get(), Qt::Key_Right);
    QTest::keyClick(viewer.get(), Qt::Key_Down);
    EXPECT_EQ(viewer->Display1->PanX, 20);
    EXPECT_EQ(viewer->Display1->PanY, 20);
    EXPECT_EQ(viewer->Display1->Picture.Bitmap.pixel(0, 0), qRgb(20, 20, 99));
}

TEST_F(ViewerInputTest, FAndSActOnceAPressThroughActionOrKeyAlike) {
    ASSERT_TRUE(viewer->DisplayImage(writeImage(folders.Home() + "/big.png", 2000, 1500)));
    viewer->show();
    viewer->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(viewer.get(), 2000));
    idle(5); // the actions take their enable rules
    QTest::keyClick(viewer.get(), Qt::Key_F);
    EXPECT_TRUE(viewer->full_screen);
    idle(5);
    QTest::keyClick(viewer.get(), Qt::Key_F); // the action is disabled now: the key event acts
    EXPECT_FALSE(viewer->full_screen);
    // With permanent shrink on, one S goes from the shrunk view to the desired zoom; a second
    // action on the same press would have gone back to the shrunk view.
    viewer->shrink_to_fit_screen = true;
    viewer->ApplyWindowBehavior();
    ASSERT_LT(viewer->Display1->ZoomFactor, 1.0);
    int triggered = 0;
    QObject::connect(viewer->ToggleShrinktoFitScreen, &QAction::triggered, [&] { ++triggered; });
    QTest::keyClick(viewer.get(), Qt::Key_S);
    EXPECT_EQ(triggered, 1); // through the action, with the key event consumed by it
    EXPECT_EQ(viewer->Display1->ZoomFactor, 1.0);
}

// S shrinks an image larger than the screen to fit it and, pressed again, shows it at the zoom
// the user chose, with the permanent setting on or off; the setting itself never changes.
TEST_F(ViewerInputTest, TheShrinkToggleGoesBothWaysWhateverThePermanentSetting) {
    const std::string large =
        testsupport::WriteImage(folders.Home() + "/large.png", 2400, 1800, qRgb(0, 90, 200));
    for (const bool permanent : {false, true}) {
        SCOPED_TRACE(permanent ? "permanently shrunk" : "not permanently shrunk");
        viewer->shrink_to_fit_screen = permanent;
        viewer->show();
        ASSERT_TRUE(viewer->DisplayImage(large));
        const double opened = viewer->Display1->ZoomFactor;
        EXPECT_EQ(opened < 1.0, permanent);
        const double shrunk = viewer->ShrinkToFitScreenZoom();
        ASSERT_LT(shrunk, 1.0);
        for (int press = 0; press < 4; ++press) {
            QTest::keyClick(viewer.get(), Qt::Key_S);
            const bool expect_shrunk = (press % 2 == 0) != permanent;
            EXPECT_NEAR(viewer->Display1->ZoomFactor, expect_shrunk ? shrunk : 1.0, 1e-9)
                << "press " << press + 1;
            EXPECT_EQ(viewer->shrink_to_fit_screen, permanent);
        }
        viewer = std::make_unique<TViewer>();
    }
}

// After a failed first load there is nothing to zoom, fit, shrink, pan or print: the window
// keeps its size (it used to shrink to its menu and status bars) and the view its state.
TEST_F(ViewerInputTest, WithoutAnImageZoomPanShrinkAndPrintLeaveTheWindowAlone) {
    viewer->show();
    ASSERT_FALSE(viewer->DisplayImage(folders.Home() + "/missing.png"));
    boxes.Take();
    QTest::qWait(5);
    const WindowBounds before = viewer->Bounds();
    viewer->SetDesiredZoom(2.0);
    QTest::keyClick(viewer.get(), Qt::Key_F5);
    EXPECT_EQ(viewer->desired_zoom_factor, 2.0);
    viewer->SetDesiredZoom(1.0);
    QTest::keyClick(viewer.get(), Qt::Key_Plus);
    QTest::keyClick(viewer.get(), Qt::Key_Minus);
    QTest::keyRelease(viewer.get(), Qt::Key_2);
    viewer->FormMouseWheelUp(true);
    viewer->FormMouseWheelDown(true);
    QTest::keyClick(viewer.get(), Qt::Key_Right);
    QTest::keyClick(viewer.get(), Qt::Key_Down);
    viewer->ToggleShrinktoFitScreenExecute();
    viewer->Permanent_Shrink_to_Fit_Screen->trigger();
    viewer->window_behavior = FreeWindowSizing;
    QTest::keyClick(viewer.get(), Qt::Key_Plus);
    QTest::qWait(5);
    EXPECT_EQ(viewer->Bounds(), before);
    EXPECT_EQ(viewer->desired_zoom_factor, 1.0);
    EXPECT_EQ(viewer->Display1->ZoomFactor, 1.0);
    EXPECT_EQ(viewer->Display1->PanX, 0);
    EXPECT_EQ(viewer->Display1->PanY, 0);
    EXPECT_EQ(viewer->PanelText(3), "");
    // The permanent setting is still the user's to change; it only has nothing to lay out.
    EXPECT_TRUE(viewer->shrink_to_fit_screen);
    // Printing opens no dialog (a blank page titled "Orvalen: " would follow it).
    int dialogs = 0;
    QTimer closer;
    QObject::connect(&closer, &QTimer::timeout, [&] {
        if (auto* modal = qobject_cast<QDialog*>(QApplication::activeModalWidget())) {
            ++dialogs;
            modal->reject();
        }
    });
    closer.start(20);
    viewer->PrintDialogExecute();
    closer.stop();
    EXPECT_EQ(dialogs, 0);
    EXPECT_EQ(boxes.Count(), 0u);
    // The first image that loads is laid out as usual.
    ASSERT_TRUE(viewer->DisplayImage(writeImage(folders.Home() + "/late.png", 100, 80)));
    QTest::keyClick(viewer.get(), Qt::Key_Plus);
    EXPECT_EQ(viewer->desired_zoom_factor, 1.25);
}

namespace {
void turnWheel(QWidget* target, int delta, Qt::MouseButtons buttons = Qt::NoButton) {
    QWheelEvent wheel(QPointF(30, 30), QPointF(30, 30), QPoint(), QPoint(0, delta), buttons,
                      Qt::NoModifier, Qt::NoScrollPhase, false);
    QApplication::sendEvent(target, &wheel);
}
} // namespace

// A notch of a plain wheel is 120; finer wheels and touchpads send parts of it. Each full 120
// in one direction is one step, whatever the pieces it came in.
TEST_F(ViewerInputTest, AFineWheelAsksForOneImageAFullNotchNotOneAnEvent) {
    const std::string file = writeImage(folders.Home() + "/small.png", 100, 80);
    ASSERT_TRUE(viewer->DisplayImage(file));
    const auto previous = std::make_pair(IV_PREVIOUS_IMAGE, file);
    const auto next = std::make_pair(IV_NEXT_IMAGE, file);
    for (int i = 0; i < 3; ++i) {
        turnWheel(viewer.get(), 40);
    }
    EXPECT_EQ(requests(), (std::vector{previous}));
    // What is left over counts towards the next step: 100 + 100 is one, and 40 more (80 + 40)
    // another.
    turnWheel(viewer.get(), 100);
    turnWheel(viewer.get(), 100);
    EXPECT_EQ(requests(), (std::vector{previous}));
    turnWheel(viewer.get(), 40);
    EXPECT_EQ(requests(), (std::vector{previous}));
    // Turning back starts afresh: 80 up then 80 down is no step, 40 further down is one.
    turnWheel(viewer.get(), 80);
    turnWheel(viewer.get(), -80);
    EXPECT_TRUE(requests().empty());
    turnWheel(viewer.get(), -40);
    EXPECT_EQ(requests(), (std::vector{next}));
    // A plain notch is one step, a fast turn reported as two notches two.
    turnWheel(viewer.get(), -120);
    turnWheel(viewer.get(), 240);
    EXPECT_EQ(requests(), (std::vector{next, previous, previous}));
    // With the middle button held the steps zoom, by the same count.
    turnWheel(viewer.get(), 60, Qt::MiddleButton);
    EXPECT_EQ(viewer->desired_zoom_factor, 1.0);
    turnWheel(viewer.get(), 60, Qt::MiddleButton);
    EXPECT_EQ(viewer->desired_zoom_factor, 1.25);
    EXPECT_TRUE(requests().empty());
}
