// Animated GIFs in the viewer, offscreen: the frames appear in order at their delays, with
// "frame n/m" in the status bar, they keep the zoom and the pan, the View menu pauses them and
// the frame keys step them, and the next image ends them. The display's own pixels are read.
#include "support/GuiEnvironment.h"
#include "support/TestSupport.h"

#include "common/ProcessValues.h"
#include "messaging/MessageServer.h"
#include "viewer/Viewerform.h"

#include <magick/MagickCore.h>

#include <QMenu>
#include <QMenuBar>
#include <QTest>

#include <chrono>
#include <fstream>
#include <set>

ORVALEN_GUI_TEST_ENVIRONMENT(true);

using testsupport::IsolatedTest;
using Clock = std::chrono::steady_clock;

namespace {

struct Colour {
    const char* name;
    int r, g, b;
};
const Colour kRed{"red", 255, 0, 0}, kGreen{"green", 0, 255, 0}, kBlue{"blue", 0, 0, 255},
    kYellow{"yellow", 255, 255, 0}, kWhite{"white", 255, 255, 255};

std::string nameOf(QRgb pixel) {
    for (const Colour& colour : {kRed, kGreen, kBlue, kYellow, kWhite}) {
        if (std::abs(qRed(pixel) - colour.r) < 40 && std::abs(qGreen(pixel) - colour.g) < 40 &&
            std::abs(qBlue(pixel) - colour.b) < 40) {
            return colour.name;
        }
    }
    return "other";
}

// One frame of the whole screen: a left and a right half, and its delay in hundredths.
struct Frame {
    Colour left, right;
    std::size_t delay_cs;
};

// A GIF written by the image library; loops 0 plays for ever.
std::string writeGif(const std::string& path, const std::vector<Frame>& frames, int width,
                     int height, int loops) {
    ImageInfo* info = AcquireImageInfo();
    ::ExceptionInfo* exception = AcquireExceptionInfo();
    ::Image* list = NewImageList();
    for (const Frame& frame : frames) {
        ::Image* image = AcquireImage(info);
        SetImageExtent(image, width, height);
        for (int y = 0; y < height; ++y) {
            PixelPacket* row = GetAuthenticPixels(image, 0, y, width, 1, exception);
            for (int x = 0; x < width; ++x) {
                const Colour& colour = x < width / 2 ? frame.left : frame.right;
                row[x].red = static_cast<Quantum>(colour.r * 257);
                row[x].green = static_cast<Quantum>(colour.g * 257);
                row[x].blue = static_cast<Quantum>(colour.b * 257);
                row[x].opacity = OpaqueOpacity;
            }
            SyncAuthenticPixels(image, exception);
        }
        image->delay = frame.delay_cs;
        image->ticks_per_second = 100;
        image->iterations = loops;
        AppendImageToList(&list, image);
    }
    std::snprintf(info->magick, sizeof info->magick, "GIF");
    std::snprintf(list->magick, sizeof list->magick, "GIF");
    size_t length = 0;
    void* blob = ImagesToBlob(info, list, &length, exception);
    std::ofstream(path, std::ios::binary).write(static_cast<const char*>(blob), length);
    RelinquishMagickMemory(blob);
    DestroyImageList(list);
    DestroyExceptionInfo(exception);
    DestroyImageInfo(info);
    return path;
}

// Four frames of one colour each: 200 ms, 0 (shown 100 ms), 150 ms, 10 ms (shown 100 ms).
const std::vector<Frame> kFourColours = {
    {kRed, kRed, 20}, {kGreen, kGreen, 0}, {kBlue, kBlue, 15}, {kYellow, kYellow, 1}};
const int kShownDelays[] = {200, 100, 150, 100};
const char* const kNames[] = {"red", "green", "blue", "yellow"};

class AnimationViewerTest : public IsolatedTest {
protected:
    void SetUp() override {
        ASSERT_TRUE(server.Start("animation_test_server"));
        itm_server_name = "animation_test_server";
        solitary_viewer_flag = false;
        viewer = std::make_unique<TViewer>();
        viewer->show();
    }
    void TearDown() override {
        viewer.reset();
        itm_server_name.clear();
    }

    double elapsedMs(Clock::time_point since) const {
        return std::chrono::duration<double, std::milli>(Clock::now() - since).count();
    }
    std::string centre() const {
        const QImage& bitmap = viewer->Display1->Picture.Bitmap;
        return nameOf(bitmap.pixel(bitmap.width() / 2, bitmap.height() / 2));
    }
    // Waits up to ms for the middle of the display to show colour.
    bool waitFor(const std::string& colour, int ms) {
        const Clock::time_point start = Clock::now();
        while (elapsedMs(start) < ms) {
            if (centre() == colour) {
                return true;
            }
            QTest::qWait(1);
        }
        return centre() == colour;
    }
    // The middle's colour does not change for ms.
    bool stays(const std::string& colour, int ms) {
        const Clock::time_point start = Clock::now();
        while (elapsedMs(start) < ms) {
            if (centre() != colour) {
                return false;
            }
            QTest::qWait(1);
        }
        return true;
    }

    MessageServer server;
    std::unique_ptr<TViewer> viewer;
};

} // namespace

TEST_F(AnimationViewerTest, FramesAppearInOrderAtTheirDelaysAndTheNextImageEndsThem) {
    const std::string gif = writeGif(folders.Home() + "/colours.gif", kFourColours, 64, 48, 0);
    ASSERT_TRUE(viewer->DisplayImage(gif));
    struct Change {
        std::string colour;
        double ms;
        std::string panel;
    };
    std::vector<Change> changes;
    const Clock::time_point start = Clock::now();
    while (elapsedMs(start) < 1600) {
        const std::string colour = centre();
        if (changes.empty() || colour != changes.back().colour) {
            changes.push_back({colour, elapsedMs(start), viewer->PanelText(0)});
        }
        QTest::qWait(1);
    }
    // 550 ms a round: nine changes at least.
    ASSERT_GE(changes.size(), 9u);
    for (std::size_t i = 0; i < changes.size(); ++i) {
        ASSERT_EQ(changes[i].colour, kNames[i % 4]) << "change " << i;
        if (i > 0) {
            EXPECT_EQ(changes[i].panel, " 64x48  frame " + std::to_string(i % 4 + 1) + "/4")
                << "change " << i;
        }
        // The first frame was on display before the clock started; the last may be cut.
        if (i > 0 && i + 1 < changes.size()) {
            EXPECT_NEAR(changes[i + 1].ms - changes[i].ms, kShownDelays[i % 4], 20)
                << "frame " << i % 4 << " of round " << i / 4;
        }
    }
    EXPECT_TRUE(viewer->Pause_Animation->isEnabled());

    const std::string still =
        testsupport::WriteImage(folders.Home() + "/still.png", 64, 48, qRgb(255, 255, 255));
    ASSERT_TRUE(viewer->DisplayImage(still));
    EXPECT_TRUE(stays("white", 600));
    EXPECT_EQ(viewer->PanelText(0), " 64x48");
    EXPECT_FALSE(viewer->Pause_Animation->isEnabled());
}

TEST_F(AnimationViewerTest, PauseHoldsTheFrameAndTheFrameKeysStepItBothWays) {
    const std::string gif = writeGif(folders.Home() + "/colours.gif", kFourColours, 64, 48, 0);
    ASSERT_TRUE(viewer->DisplayImage(gif));
    // Playing, the frame keys are not for the taking.
    ASSERT_TRUE(waitFor("green", 1000));
    EXPECT_FALSE(viewer->Next_Frame->isEnabled());
    EXPECT_FALSE(viewer->Previous_Frame->isEnabled());

    QTest::keyClick(viewer.get(), Qt::Key_P);
    EXPECT_TRUE(viewer->Pause_Animation->isChecked());
    EXPECT_TRUE(stays("green", 400));
    EXPECT_EQ(viewer->PanelText(0), " 64x48  frame 2/4");

    const auto step = [this](Qt::Key key, const char* colour, int frame) {
        QTest::keyClick(viewer.get(), key);
        EXPECT_TRUE(waitFor(colour, 500)) << colour;
        EXPECT_EQ(viewer->PanelText(0), " 64x48  frame " + std::to_string(frame) + "/4");
        EXPECT_TRUE(stays(colour, 150)) << colour; // still paused
    };
    step(Qt::Key_Period, "blue", 3);
    step(Qt::Key_Period, "yellow", 4);
    step(Qt::Key_Period, "red", 1);
    step(Qt::Key_Comma, "yellow", 4);
    step(Qt::Key_Comma, "blue", 3);
    step(Qt::Key_Comma, "green", 2);
    step(Qt::Key_Comma, "red", 1);
    // Before the first frame comes the last.
    step(Qt::Key_Comma, "yellow", 4);

    // The menu item resumes: the next frame follows after the yellow's 100 ms.
    viewer->Pause_Animation->trigger();
    EXPECT_FALSE(viewer->Pause_Animation->isChecked());
    EXPECT_TRUE(waitFor("red", 300));
    EXPECT_TRUE(waitFor("green", 400));

    // The item is in the View menu, and no key is held by two actions.
    QMenu* view = nullptr;
    for (QAction* menu : viewer->menuBar()->actions()) {
        if (menu->text() == "&View") {
            view = menu->menu();
        }
    }
    ASSERT_NE(view, nullptr);
    EXPECT_TRUE(view->actions().contains(viewer->Pause_Animation));
    EXPECT_EQ(testsupport::SharedShortcuts(*viewer), std::vector<std::string>{});
}

TEST_F(AnimationViewerTest, FramesKeepTheZoomThePanAndTheWindowWhilePlaying) {
    // Left and right halves of different colours in each frame, 60 ms each.
    const std::vector<Frame> halves = {{kRed, kBlue, 6}, {kGreen, kYellow, 6}};
    const std::string gif = writeGif(folders.Home() + "/halves.gif", halves, 80, 60, 0);
    ASSERT_TRUE(viewer->DisplayImage(gif));
    viewer->Free_Window_Sizing->trigger();
    viewer->SetBounds(WindowBounds{40, 40, 500, 400});
    QTest::qWait(20);
    // The middle of the image in the middle of the display: the zoom keeps it there.
    viewer->Display1->PanX = 40 - viewer->Display1->Width() / 2.0;
    viewer->Display1->PanY = 30 - viewer->Display1->Height() / 2.0;
    viewer->Zoom(3.0);
    QTest::keyClick(viewer.get(), Qt::Key_Right); // pans 20 display pixels
    const WindowBounds bounds = viewer->Bounds();
    TIM_Display& display = *viewer->Display1;
    const double panX = display.PanX, panY = display.PanY;
    ASSERT_EQ(display.ZoomFactor, 3.0);
    // Image points in the left and the right half, where the display shows them.
    const auto canvasPoint = [&](double x, double y) {
        return QPoint(static_cast<int>((x - display.PanX) * display.ZoomX),
                      static_cast<int>((y - display.PanY) * display.ZoomY));
    };
    const QPoint left = canvasPoint(30.5, 30.5), right = canvasPoint(50.5, 30.5);
    ASSERT_TRUE(display.Picture.Bitmap.rect().contains(left))
        << left.x() << "," << left.y() << " pan " << display.PanX << "," << display.PanY << " zoom "
        << display.ZoomX << " size " << display.Width() << "x" << display.Height();
    ASSERT_TRUE(display.Picture.Bitmap.rect().contains(right));

    std::set<std::string> seen;
    const Clock::time_point start = Clock::now();
    while (elapsedMs(start) < 600) {
        const std::string pair = nameOf(display.Picture.Bitmap.pixel(left)) + " " +
                                 nameOf(display.Picture.Bitmap.pixel(right));
        EXPECT_TRUE(pair == "red blue" || pair == "green yellow") << pair;
        seen.insert(pair);
        QTest::qWait(1);
    }
    EXPECT_EQ(seen.size(), 2u);
    EXPECT_EQ(display.ZoomFactor, 3.0);
    EXPECT_EQ(display.PanX, panX);
    EXPECT_EQ(display.PanY, panY);
    const WindowBounds after = viewer->Bounds();
    EXPECT_EQ(after.width, bounds.width);
    EXPECT_EQ(after.height, bounds.height);
}

// A view turned a quarter stays turned as the frames change: frames arrive as stored, and
// each is turned as the view was (the next frame used to undo the turn).
TEST_F(AnimationViewerTest, FramesAfterATurnOfTheViewAreTurnedToo) {
    const std::vector<Frame> halves = {{kRed, kBlue, 10}, {kGreen, kYellow, 10}};
    ASSERT_TRUE(viewer->DisplayImage(writeGif(folders.Home() + "/halves.gif", halves, 80, 40, 0)));
    viewer->Rotate_Right->trigger();
    ASSERT_EQ(viewer->Display1->CurrentImage.Columns(), 40u);
    // Turned right, the left half (red, then green) is on top and the right half below.
    const auto seenNow = [this] {
        const QImage& bitmap = viewer->Display1->Picture.Bitmap;
        const int x = static_cast<int>(-viewer->Display1->PanX) + 20;
        const int y = static_cast<int>(-viewer->Display1->PanY);
        return nameOf(bitmap.pixel(x, y + 10)) + "/" + nameOf(bitmap.pixel(x, y + 70));
    };
    std::set<std::string> seen;
    const auto start = Clock::now();
    while (elapsedMs(start) < 700) {
        QTest::qWait(10);
        ASSERT_EQ(viewer->Display1->CurrentImage.Columns(), 40u);
        seen.insert(seenNow());
    }
    EXPECT_EQ(seen, (std::set<std::string>{"red/blue", "green/yellow"}));
}
