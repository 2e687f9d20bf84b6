// Stepping through a folder in the solitary viewer's pair of windows, offscreen: the next image
// is read ahead and the one left kept, within the budget; a jump drops the work in progress;
// a file changed after it was read ahead is shown as it is now.
#include "support/GuiEnvironment.h"
#include "support/TestSupport.h"

#include "browser/Browserform.h"
#include "common/ProcessValues.h"
#include "messaging/MessageServer.h"
#include "viewer/Viewerform.h"

#include <QImage>
#include <QTest>

#include <chrono>
#include <filesystem>
#include <mutex>
#include <thread>
#include <unistd.h>

namespace {

void picture(const std::string& path, QColor colour, int width = 64, int height = 48,
             const char* format = "PNG") {
    QImage image(width, height, QImage::Format_RGB32);
    image.fill(colour);
    ASSERT_TRUE(image.save(QString::fromStdString(path), format));
}

// The pixel the viewer holds for its top left corner, as red, green, blue.
QColor shownColour(const TViewer& viewer) {
    const engine::Image* record = viewer.Display1->CurrentImage.Image();
    if (record == nullptr) {
        return {};
    }
    const std::uint8_t* pixel = record->Row(0);
    return QColor(pixel[2], pixel[1], pixel[0]);
}

class ReadAheadStepTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(server.Start("read_ahead_test_server"));
        itm_server_name = "read_ahead_test_server";
        folder = folders.Home() + "/photos";
        std::filesystem::create_directories(folder);
    }
    void TearDown() override {
        solitary_viewer_flag = false;
        itm_server_name.clear();
        for (const auto& box : boxes.Take()) {
            ADD_FAILURE() << "box: " << box.text;
        }
    }
    // The pair of windows of a solitary viewer started on the folder's first file.
    void start() {
        {
            TRegistryIniFileSpecial settings(settings_base_key, KEY_ALL_ACCESS);
            settings.Section = "browser_0";
            settings.WriteString("solitary viewer start in folder", folder);
        }
        solitary_viewer_flag = true;
        viewer = std::make_unique<TViewer>();
        browser = std::make_unique<TBrowser>();
    }
    void stop() {
        browser.reset();
        viewer.reset();
    }
    bool shows(const std::string& name, int milliseconds = 10000) {
        return QTest::qWaitFor([&] { return viewer->current_file == folder + "/" + name; },
                               milliseconds);
    }
    void press(Qt::Key key) { QTest::keyClick(viewer.get(), key); }
    // Red a, green b, blue c and yellow d; a shown, then Page Down onto b, and c read ahead.
    void stepOntoB() {
        const std::vector<std::pair<std::string, QColor>> files = {
            {"a.png", Qt::red}, {"b.png", Qt::green}, {"c.png", Qt::blue}, {"d.png", Qt::yellow}};
        for (const auto& [name, colour] : files) {
            picture(folder + "/" + name, colour);
        }
        start();
        ASSERT_TRUE(viewer->DisplayImage(folder + "/a.png"));
        press(Qt::Key_PageDown);
        ASSERT_TRUE(shows("b.png"));
        ASSERT_TRUE(
            QTest::qWaitFor([&] { return viewer->read_ahead->IsReady(folder + "/c.png"); }, 10000))
            << "the next image was not read ahead";
    }

    testsupport::IsolatedFolders folders;
    testsupport::RecordedBoxes boxes;
    MessageServer server;
    std::string folder;
    std::unique_ptr<TViewer> viewer;
    std::unique_ptr<TBrowser> browser;
};

} // namespace

// Page Down reads the image after the next one ahead; stepping on shows it from memory, and a
// step back shows the image left behind from memory too. Each shows its own pixels.
TEST_F(ReadAheadStepTest, StepsShowWhatWasReadAheadAndKeptWithTheRightPixels) {
    ASSERT_NO_FATAL_FAILURE(stepOntoB());
    EXPECT_TRUE(viewer->read_ahead->IsReady(folder + "/a.png")) << "the image left was not kept";
    press(Qt::Key_PageDown);
    ASSERT_TRUE(shows("c.png"));
    EXPECT_EQ(shownColour(*viewer), QColor(Qt::blue));
    EXPECT_EQ(viewer->read_ahead->Taken(), 1u);
    // Turning back: the image left is shown from memory, and reading goes on upwards.
    press(Qt::Key_PageUp);
    ASSERT_TRUE(shows("b.png"));
    EXPECT_EQ(shownColour(*viewer), QColor(Qt::green));
    EXPECT_EQ(viewer->read_ahead->Taken(), 2u);
    EXPECT_TRUE(
        QTest::qWaitFor([&] { return viewer->read_ahead->IsReady(folder + "/a.png"); }, 10000))
        << "nothing read ahead upwards";
    stop();
}

// Twenty 24 MP photos stepped through as fast as the keys go, under a budget with room for one
// of them: what is held and on its way never passes it.
TEST_F(ReadAheadStepTest, TwentyLargePhotosSteppedQuicklyStayWithinTheBudget) {
    const std::string original = folders.Home() + "/original.jpg";
    picture(original, QColor(90, 120, 150), 6000, 4000, "JPEG");
    for (int i = 0; i < 20; ++i) {
        char name[32];
        std::snprintf(name, sizeof name, "photo%02d.jpg", i);
        ASSERT_EQ(::link(original.c_str(), (folder + "/" + name).c_str()), 0);
    }
    start();
    viewer->SetReadAheadMegabytes(150); // a 24 MP photo decodes to 92 MB
    ASSERT_TRUE(viewer->DisplayImage(folder + "/photo00.jpg"));
    for (int i = 0; i < 16; ++i) {
        press(Qt::Key_PageDown);
        QTest::qWait(i % 4 == 3 ? 400 : 20);
        EXPECT_LE(viewer->read_ahead->UsedBytes(), std::size_t{150} << 20);
    }
    // Then at a pace where each next photo is read ahead before the key, however busy the
    // machine: the budget must make room by dropping the photo left.
    for (int i = 0; i < 3; ++i) {
        ASSERT_TRUE(QTest::qWaitFor([&] { return !viewer->decode_job->Waiting(); }, 60000));
        const int shown = std::stoi(viewer->current_file.substr(folder.size() + 6, 2));
        char next[32];
        std::snprintf(next, sizeof next, "/photo%02d.jpg", (shown + 1) % 20);
        ASSERT_TRUE(
            QTest::qWaitFor([&] { return viewer->read_ahead->IsReady(folder + next); }, 60000))
            << next << " was not read ahead";
        EXPECT_LE(viewer->read_ahead->UsedBytes(), std::size_t{150} << 20);
        press(Qt::Key_PageDown);
    }
    ASSERT_TRUE(QTest::qWaitFor([&] { return !viewer->decode_job->Waiting(); }, 60000));
    EXPECT_LE(viewer->read_ahead->PeakBytes(), std::size_t{150} << 20);
    EXPECT_GE(viewer->read_ahead->PeakBytes(), std::size_t{90} << 20)
        << "nothing the size of a photo was ever read ahead";
    stop();
}

// End while the next image is being read ahead: that work is told to stop and dropped, and
// nothing is read ahead from the last image until the user steps again.
TEST_F(ReadAheadStepTest, AJumpToTheLastImageCancelsWorkInProgress) {
    for (const char* name : {"a.png", "b.png", "c.png", "d.png", "e.png"}) {
        picture(folder + "/" + name, Qt::gray);
    }
    start();
    std::mutex mutex;
    bool sawCancel = false;
    viewer->read_ahead->SetDecoder(
        [&](const std::string& path, const std::atomic<bool>* cancel, engine::ViewSize) {
            // Until told to stop (no one wakes it: it looks now and then), or 20 s.
            const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(20);
            while (!*cancel && std::chrono::steady_clock::now() < end) {
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
            }
            std::lock_guard lock(mutex);
            sawCancel = *cancel;
            return engine::DecodeImageFile(path);
        });
    ASSERT_TRUE(viewer->DisplayImage(folder + "/a.png"));
    press(Qt::Key_PageDown);
    ASSERT_TRUE(shows("b.png"));
    ASSERT_TRUE(QTest::qWaitFor([&] { return viewer->read_ahead->Started() == 1; }, 10000));
    EXPECT_EQ(viewer->read_ahead->Paths(),
              (std::vector<std::string>{folder + "/a.png", folder + "/c.png"}));
    press(Qt::Key_End);
    ASSERT_TRUE(shows("e.png"));
    EXPECT_TRUE(QTest::qWaitFor([&] { return viewer->read_ahead->Cancelled() == 1; }, 5000));
    {
        std::lock_guard lock(mutex);
        EXPECT_TRUE(sawCancel);
    }
    QTest::qWait(100);
    EXPECT_TRUE(viewer->read_ahead->Paths().empty());
    EXPECT_EQ(viewer->read_ahead->Started(), 1u);
    stop();
}

// The file read ahead is renamed over, then the next one deleted: each step shows the folder
// as it is now, never the image read before.
TEST_F(ReadAheadStepTest, AFileRenamedOverOrDeletedAfterItWasReadAheadShowsAsItIsNow) {
    ASSERT_NO_FATAL_FAILURE(stepOntoB());
    picture(folders.Home() + "/white.png", Qt::white);
    std::filesystem::rename(folders.Home() + "/white.png", folder + "/c.png");
    press(Qt::Key_PageDown);
    ASSERT_TRUE(shows("c.png"));
    EXPECT_EQ(shownColour(*viewer), QColor(Qt::white)) << "the image read before was shown";

    ASSERT_TRUE(
        QTest::qWaitFor([&] { return viewer->read_ahead->IsReady(folder + "/d.png"); }, 10000));
    std::filesystem::remove(folder + "/d.png");
    press(Qt::Key_PageDown);
    ASSERT_TRUE(shows("a.png")) << viewer->current_file;
    EXPECT_EQ(shownColour(*viewer), QColor(Qt::red));
    stop();
}
