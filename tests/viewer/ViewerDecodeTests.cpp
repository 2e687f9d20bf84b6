// The viewer while a file decodes on its worker, offscreen: the window keeps answering, a newer
// request wins, a FIFO is refused at once. The slow file is a 6000x6000 JPEG of noise made here
// (about 0.7 s to decode on a 2-core machine); each test checks that what it does during the
// wait really happened during the wait.
#include "support/GuiEnvironment.h"
#include "support/TestSupport.h"

#include "common/ProcessValues.h"
#include "messaging/MessageServer.h"
#include "platform/Shell.h"
#include "platform/Windows.h"
#include "viewer/Viewerform.h"
#include "viewer/ZoomSteps.h"

#include <QApplication>
#include <QImage>
#include <QKeyEvent>
#include <QTest>
#include <QTimer>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>

using testsupport::IsolatedTest;
using Clock = std::chrono::steady_clock;

namespace {

// Noise compresses badly, so the decoder has every coefficient to work through.
std::string writeNoiseJpeg(const std::string& path, int width, int height) {
    QImage image(width, height, QImage::Format_RGB32);
    std::uint32_t state = 2463534242u;
    for (int y = 0; y < height; ++y) {
        auto* row = reinterpret_cast<std::uint32_t*>(image.scanLine(y));
        for (int x = 0; x < width; ++x) {
            state ^= state << 13;
            state ^= state >> 17;
            state ^= state << 5;
            row[x] = 0xFF000000u | (state & 0xFFFFFFu);
        }
    }
    image.save(QString::fromStdString(path), "JPEG", 95);
    return path;
}

double secondsIn(const std::string& panel) {
    // " Decoded in 0.153 seconds"
    const std::string prefix = " Decoded in ";
    if (panel.rfind(prefix, 0) != 0) {
        return -1;
    }
    return std::strtod(panel.c_str() + prefix.size(), nullptr);
}

// Counts the paint events a widget receives.
class PaintCounter : public QObject {
public:
    explicit PaintCounter(QWidget* widget) { widget->installEventFilter(this); }
    int count = 0;

protected:
    bool eventFilter(QObject*, QEvent* event) override {
        if (event->type() == QEvent::Paint) {
            ++count;
        }
        return false;
    }
};

class ViewerDecodeTest : public IsolatedTest {
protected:
    // One slow file for the whole suite: making it takes about half a second.
    static void SetUpTestSuite() {
        char pattern[] = "/tmp/orvalen-slow-XXXXXX";
        if (::mkdtemp(pattern) != nullptr) {
            slowFolder = pattern;
            slowFile = writeNoiseJpeg(slowFolder + "/slow noise.jpg", 6000, 6000);
        }
    }
    static void TearDownTestSuite() {
        std::error_code ignored;
        std::filesystem::remove_all(slowFolder, ignored);
    }

    void SetUp() override {
        ASSERT_TRUE(std::filesystem::exists(slowFile));
        ASSERT_TRUE(server.Start("viewer_decode_test_server"));
        itm_server_name = "viewer_decode_test_server";
        solitary_viewer_flag = false;
    }
    void TearDown() override { itm_server_name.clear(); }

    static inline std::string slowFolder;
    static inline std::string slowFile;
    MessageServer server;
};

} // namespace

// A key posted before the wait is handled during it, a timer fires, a paint happens and a zoom
// call works on the image still on display; the slow file then shows, its "Decoded in" time
// covering the wait.
TEST_F(ViewerDecodeTest, TheWindowAnswersKeysTimersAndPaintsWhileAFileDecodes) {
    TViewer viewer;
    const std::string small =
        testsupport::WriteImage(folders.Home() + "/small.png", 200, 150, qRgb(0, 128, 255));
    ASSERT_TRUE(viewer.DisplayImage(small));
    QTest::qWait(20);
    PaintCounter paints(viewer.Display1);

    struct Seen {
        bool ranDuringWait = false;
        bool waiting = false;
        std::string file;
        bool loaded = false;
        double zoomAfterKey = 0;
        double zoomAfterCall = 0;
        unsigned long columns = 0;
        QRgb pixel = 0;
        int paintsDuringWait = 0;
    } seen;
    bool returned = false;
    Clock::time_point timerFired;
    QCoreApplication::postEvent(&viewer, new QKeyEvent(QEvent::KeyPress, Qt::Key_Plus,
                                                       Qt::NoModifier, QStringLiteral("+")));
    QTimer::singleShot(30, &viewer, [&] {
        timerFired = Clock::now();
        seen.ranDuringWait = !returned;
        seen.waiting = viewer.decode_job->Waiting();
        seen.file = viewer.current_file;
        seen.loaded = viewer.image_loaded;
        seen.zoomAfterKey = viewer.Display1->ZoomFactor;
        viewer.Zoom(viewer.NextZoomIn());
        seen.zoomAfterCall = viewer.Display1->ZoomFactor;
        seen.columns = viewer.Display1->CurrentImage.Columns();
        seen.pixel = viewer.Display1->Picture.Bitmap.pixel(10, 10);
        paints.count = 0;
        viewer.Display1->update();
    });
    QTimer::singleShot(80, &viewer, [&] {
        if (!returned) {
            seen.paintsDuringWait = paints.count;
        }
    });
    const auto start = Clock::now();
    const bool shown = viewer.DisplayImage(slowFile);
    returned = true;
    const double waited = std::chrono::duration<double>(Clock::now() - start).count();

    ASSERT_TRUE(seen.ranDuringWait) << "the decode ended before the timer fired";
    EXPECT_TRUE(seen.waiting);
    EXPECT_EQ(seen.file, small);
    EXPECT_TRUE(seen.loaded);
    EXPECT_EQ(seen.zoomAfterKey, NextZoomIn(1.0));
    EXPECT_EQ(seen.zoomAfterCall, NextZoomIn(NextZoomIn(1.0)));
    EXPECT_EQ(seen.columns, 200u);
    EXPECT_EQ(seen.pixel, qRgb(0, 128, 255));
    EXPECT_GE(seen.paintsDuringWait, 1);

    ASSERT_TRUE(shown);
    EXPECT_EQ(viewer.current_file, slowFile);
    EXPECT_EQ(viewer.windowTitle().toStdString(), "Viewer - slow noise.jpg");
    EXPECT_EQ(viewer.PanelText(0), " 6000x6000");
    const double decoded = secondsIn(viewer.PanelText(1));
    EXPECT_GE(decoded,
              std::chrono::duration<double>(timerFired - start).count() - 0.001); // the wait
    EXPECT_LE(decoded, waited + 0.001);
    EXPECT_EQ(viewer.Display1->ZoomFactor, 1.0);
    EXPECT_EQ(boxes.Count(), 0u);
}

// A request arriving during a slow decode, called directly or handed over by message, is shown;
// the slow call returns false and changes nothing after it, and no box is shown.
TEST_F(ViewerDecodeTest, ANewerRequestDuringASlowDecodeWinsAndTheOlderSaysNothing) {
    TViewer viewer;
    viewer.show();
    const std::string first =
        testsupport::WriteImage(folders.Home() + "/first.png", 200, 150, qRgb(255, 0, 0));
    const std::string second =
        testsupport::WriteImage(folders.Home() + "/second.png", 180, 120, qRgb(0, 255, 0));

    bool waitingAtTimer = false;
    bool firstShown = false;
    QTimer::singleShot(30, &viewer, [&] {
        waitingAtTimer = viewer.decode_job->Waiting();
        firstShown = viewer.DisplayImage(first);
    });
    EXPECT_FALSE(viewer.DisplayImage(slowFile));
    ASSERT_TRUE(waitingAtTimer) << "the decode ended before the timer fired";
    EXPECT_TRUE(firstShown);
    EXPECT_EQ(viewer.current_file, first);
    EXPECT_EQ(viewer.windowTitle().toStdString(), "Viewer - first.png");
    EXPECT_EQ(viewer.PanelText(0), " 200x150");
    EXPECT_EQ(viewer.Display1->Width(), 200);
    EXPECT_EQ(viewer.Display1->Picture.Bitmap.pixel(100, 75), qRgb(255, 0, 0));
    EXPECT_EQ(boxes.Count(), 0u);

    // The same through the message another process's hand-over arrives as.
    MessageClient sender;
    ASSERT_TRUE(sender.Connect("MainForm", 0, GetCurrentThreadId(), "viewer_decode_test_server"));
    waitingAtTimer = false;
    QTimer::singleShot(30, &viewer, [&] {
        waitingAtTimer = viewer.decode_job->Waiting();
        Message message;
        message.kind = IV_DISPLAY_IMAGE;
        message.payload = MessagePayloadCopy(second.c_str());
        ASSERT_TRUE(sender.Send("Viewer", message, true));
    });
    EXPECT_FALSE(viewer.DisplayImage(slowFile));
    ASSERT_TRUE(waitingAtTimer) << "the decode ended before the timer fired";
    EXPECT_EQ(viewer.current_file, second);
    EXPECT_EQ(viewer.windowTitle().toStdString(), "Viewer - second.png");
    EXPECT_EQ(viewer.PanelText(0), " 180x120");
    EXPECT_EQ(viewer.Display1->Picture.Bitmap.pixel(90, 60), qRgb(0, 255, 0));
    EXPECT_TRUE(viewer.image_loaded);
    EXPECT_EQ(boxes.Count(), 0u);
    EXPECT_TRUE(QTest::qWaitFor([&] { return viewer.decode_job->Workers() == 0; }, 3000));

    // A request for the file already on display wins too: the pending decode shows nothing.
    QTimer::singleShot(30, &viewer, [&] { EXPECT_TRUE(viewer.DisplayImage(second)); });
    EXPECT_FALSE(viewer.DisplayImage(slowFile));
    EXPECT_EQ(viewer.current_file, second);
    EXPECT_EQ(viewer.PanelText(0), " 180x120");
}

// Steps asked for while a slow file decodes go on from that file, as they would once it shows,
// so a slow picture can be stepped past; a delete still names the picture on display. The slow
// file asked for again meanwhile (a step onto it, a hand-over) does not start its decode again:
// the decode under way shows it.
TEST_F(ViewerDecodeTest, StepsDuringASlowDecodeGoOnFromItAndAskingForItAgainDoesNotRestartIt) {
    TViewer viewer;
    viewer.show();
    MessageClient browser;
    ASSERT_TRUE(browser.Connect("Browser", 0, GetCurrentThreadId(), "viewer_decode_test_server"));
    const auto asked = [&] {
        std::vector<std::pair<std::int32_t, std::string>> seen;
        Message message;
        while (browser.PopMessage(message)) {
            if (message.kind == IV_NEXT_IMAGE || message.kind == IV_PREVIOUS_IMAGE ||
                message.kind == IV_NEXT_IMAGE_AND_DELETE) {
                seen.emplace_back(message.kind, message.payload != nullptr ? message.payload : "");
            }
            FreeMessagePayload(message);
        }
        return seen;
    };
    const std::string small =
        testsupport::WriteImage(folders.Home() + "/small.png", 200, 150, qRgb(0, 128, 255));
    ASSERT_TRUE(viewer.DisplayImage(small));
    asked();

    bool waitingAtTimer = false;
    bool againShown = true;
    std::size_t workersAfterAgain = 0;
    QTimer::singleShot(30, &viewer, [&] {
        waitingAtTimer = viewer.decode_job->Waiting();
        viewer.FormKeyDown(VK_NEXT);
        viewer.FormKeyDown(VK_PRIOR);
        viewer.FormKeyDown(VK_DELETE);
        againShown = viewer.DisplayImage(slowFile);
        workersAfterAgain = viewer.decode_job->Workers();
    });
    const bool shown = viewer.DisplayImage(slowFile);
    ASSERT_TRUE(waitingAtTimer) << "the decode ended before the timer fired";
    EXPECT_FALSE(againShown);
    EXPECT_EQ(workersAfterAgain, 1u);
    EXPECT_TRUE(shown) << "the decode under way was withdrawn";
    EXPECT_EQ(viewer.current_file, slowFile);
    EXPECT_EQ(asked(), (std::vector<std::pair<std::int32_t, std::string>>{
                           {IV_NEXT_IMAGE, slowFile},
                           {IV_PREVIOUS_IMAGE, slowFile},
                           {IV_NEXT_IMAGE_AND_DELETE, small}}));
    viewer.FormKeyDown(VK_NEXT);
    EXPECT_EQ(asked(),
              (std::vector<std::pair<std::int32_t, std::string>>{{IV_NEXT_IMAGE, slowFile}}));
}

// Closing the window or quitting the program during the wait ends it: nothing changes, nothing
// is said, and no worker is left running.
TEST_F(ViewerDecodeTest, ClosingOrQuittingDuringADecodeShowsNothingAndLeavesNoWorker) {
    TViewer viewer;
    const std::string small =
        testsupport::WriteImage(folders.Home() + "/small.png", 120, 90, qRgb(9, 9, 9));
    ASSERT_TRUE(viewer.DisplayImage(small));
    bool waitingAtTimer = false;
    QTimer::singleShot(30, &viewer, [&] {
        waitingAtTimer = viewer.decode_job->Waiting();
        viewer.close();
    });
    EXPECT_FALSE(viewer.DisplayImage(slowFile));
    ASSERT_TRUE(waitingAtTimer) << "the decode ended before the timer fired";
    EXPECT_EQ(viewer.current_file, small);
    EXPECT_EQ(viewer.windowTitle().toStdString(), "Viewer - small.png");
    EXPECT_EQ(viewer.decode_job->Workers(), 0u);
    EXPECT_EQ(boxes.Count(), 0u);

    bool returned = false;
    bool shown = true;
    std::size_t workersAtReturn = 99;
    QTimer::singleShot(0, &viewer, [&] {
        shown = viewer.DisplayImage(slowFile);
        returned = true;
        workersAtReturn = viewer.decode_job->Workers();
    });
    QTimer::singleShot(50, [&] {
        waitingAtTimer = viewer.decode_job->Waiting();
        QCoreApplication::quit();
    });
    QApplication::exec();
    ASSERT_TRUE(returned);
    ASSERT_TRUE(waitingAtTimer) << "the decode ended before the program quit";
    EXPECT_FALSE(shown);
    EXPECT_EQ(workersAtReturn, 0u);
    EXPECT_EQ(viewer.current_file, small);
    EXPECT_EQ(viewer.PanelText(0), " 120x90");
    EXPECT_EQ(boxes.Count(), 0u);
}

// Only a real failure goes to the desktop's program for the file, not a load withdrawn for a
// newer request.
TEST_F(ViewerDecodeTest, FileOpenHandsOnlyARealFailureToTheDesktop) {
    std::vector<std::string> opened;
    platform::SetShellOpener([&](const std::string&, const std::string& target) {
        opened.push_back(target);
        return true;
    });
    TViewer viewer;
    const std::string small =
        testsupport::WriteImage(folders.Home() + "/small.png", 64, 48, qRgb(1, 2, 3));
    bool waitingAtTimer = false;
    QTimer::singleShot(30, &viewer, [&] {
        waitingAtTimer = viewer.decode_job->Waiting();
        viewer.DisplayImage(small);
    });
    viewer.FileOpen1Accept(slowFile);
    EXPECT_TRUE(waitingAtTimer);
    EXPECT_TRUE(opened.empty());
    EXPECT_EQ(viewer.current_file, small);

    const std::string notes = folders.Home() + "/notes.txt";
    std::ofstream(notes) << "not an image";
    viewer.FileOpen1Accept(notes);
    platform::SetShellOpener({});
    EXPECT_EQ(opened, std::vector<std::string>{notes});
    EXPECT_EQ(boxes.Take().size(), 1u);
}

// A FIFO named like an image never blocks the viewer: it is refused at once, with a box, and
// the next image shows as usual.
TEST_F(ViewerDecodeTest, AFifoIsRefusedAtOnceAndTheNextImageStillShows) {
    const std::string fifo = folders.Home() + "/x.jpg";
    testsupport::TrapFifo trap(fifo, 5000);
    ASSERT_TRUE(trap.Made());
    TViewer viewer;
    const std::string good =
        testsupport::WriteImage(folders.Home() + "/good.png", 64, 48, qRgb(4, 5, 6));
    ASSERT_TRUE(viewer.DisplayImage(good));
    const auto start = Clock::now();
    EXPECT_FALSE(viewer.DisplayImage(fifo));
    EXPECT_LT(std::chrono::duration<double>(Clock::now() - start).count(), 2.0);
    EXPECT_FALSE(trap.Sprung());
    const auto said = boxes.Take();
    ASSERT_EQ(said.size(), 1u);
    EXPECT_NE(said[0].text.find("not a regular file"), std::string::npos) << said[0].text;
    EXPECT_NE(said[0].text.find(fifo), std::string::npos) << said[0].text;
    EXPECT_EQ(viewer.windowTitle().toStdString(), "Viewer - good.png");
    EXPECT_FALSE(viewer.image_loaded);

    const std::string next =
        testsupport::WriteImage(folders.Home() + "/next.png", 80, 60, qRgb(7, 8, 9));
    EXPECT_TRUE(viewer.DisplayImage(next));
    EXPECT_EQ(viewer.current_file, next);
    EXPECT_EQ(viewer.PanelText(0), " 80x60");
    EXPECT_EQ(boxes.Count(), 0u);
}

// The decode on the worker skips ReadImage, not its refusal of names too long for the library.
TEST_F(ViewerDecodeTest, ANameTooLongIsRefusedWithItsOwnMessage) {
    TViewer viewer;
    EXPECT_FALSE(viewer.DisplayImage(folders.Home() + "/" + std::string(2060, 'a') + ".png"));
    const auto said = boxes.Take();
    ASSERT_EQ(said.size(), 1u);
    EXPECT_NE(said[0].text.find("Exceeds 'MaxTextExtent'"), std::string::npos) << said[0].text;
}

// A photo cut short shows what could be read, with no box, and the status bar says damaged.
TEST_F(ViewerDecodeTest, AFileCutShortIsShownAndTheStatusBarSaysDamaged) {
    const std::string whole = writeNoiseJpeg(folders.Home() + "/whole.jpg", 300, 200);
    std::ifstream in(whole, std::ios::binary);
    const std::string bytes((std::istreambuf_iterator<char>(in)), {});
    const std::string cut = folders.Home() + "/cut.jpg";
    std::ofstream(cut, std::ios::binary) << bytes.substr(0, bytes.size() / 2);
    TViewer viewer;
    ASSERT_TRUE(viewer.DisplayImage(cut));
    EXPECT_EQ(viewer.PanelText(0), " 300x200, damaged");
    EXPECT_EQ(boxes.Count(), 0u);
    ASSERT_TRUE(viewer.DisplayImage(whole));
    EXPECT_EQ(viewer.PanelText(0), " 300x200");
}
