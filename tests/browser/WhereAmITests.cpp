// Where am I: the viewer's panel with the image's place in its folder and the zoom, and the
// browser's count of items and size of the selection, offscreen in temporary folders.
#include "support/GuiEnvironment.h"
#include "support/TestSupport.h"

#include "browser/BrowserStatus.h"
#include "browser/Browserform.h"
#include "common/ProcessValues.h"
#include "messaging/MessageServer.h"
#include "shell/ThumbnailGrid.h"
#include "viewer/StatusPanels.h"
#include "viewer/Viewerform.h"

#include <QImage>
#include <QLabel>
#include <QStatusBar>
#include <QTest>
#include <QThread>
#include <QTimer>

#include <atomic>
#include <filesystem>
#include <fstream>

namespace {

void picture(const std::string& path, int width, int height) {
    QImage image(width, height, QImage::Format_RGB32);
    image.fill(Qt::darkCyan);
    ASSERT_TRUE(image.save(QString::fromStdString(path), "PNG"));
}

} // namespace

TEST(WhereAmITexts, PositionAndZoomReadAsTheUserExpects) {
    EXPECT_EQ(PositionText(3, 120), "3/120");
    EXPECT_EQ(PositionText(0, 120), "");   // not known
    EXPECT_EQ(PositionText(121, 120), ""); // a stale count says nothing rather than nonsense
    EXPECT_EQ(ZoomText(0.25), "25 %");
    EXPECT_EQ(ZoomText(1.0 / 3), "33 %");
    EXPECT_EQ(ZoomText(0.025), "2.5 %");
    EXPECT_EQ(ZoomText(16), "1600 %");
    EXPECT_EQ(ZoomText(0), "");
    EXPECT_EQ(PositionAndZoomText(3, 120, 0.25), "3/120   25 %");
    EXPECT_EQ(PositionAndZoomText(0, 0, 0.5), "50 %");
    EXPECT_EQ(ListStatusText(1, 0, 0), "1 item");
    EXPECT_EQ(ListStatusText(120, 0, 0), "120 items");
    EXPECT_EQ(ListStatusText(120, 2, 3 * 1024 * 1024), "120 items, 2 selected (3.00 MiB)");
}

TEST(WhereAmITexts, APlaceCountsOnlyTheImagesOfTheFolder) {
    TStShellItemList items;
    for (const char* name : {"a folder", "a.png", "b.txt", "c.jpg", "d.webp"}) {
        TStShellItem item;
        item.DisplayName = name;
        item.Path = std::string("/f/") + name;
        item.IsFile = std::string(name) != "a folder";
        item.IsFolder = !item.IsFile;
        items.Add(item);
    }
    int position = -1, count = -1;
    FolderPosition(items, "/f/c.jpg", position, count);
    EXPECT_EQ(position, 2);
    EXPECT_EQ(count, 3);
    FolderPosition(items, "/f/b.txt", position, count);
    EXPECT_EQ(position, 0);
    EXPECT_EQ(count, 3);
}

// The solitary viewer's pair of windows: Page Down from the first of three images shows "2/3",
// a zoom step shows its percentage.
TEST(WhereAmI, TheViewersPanelFollowsPageDownAndZoom) {
    testsupport::IsolatedFolders folders;
    testsupport::RecordedBoxes boxes;
    MessageServer server;
    ASSERT_TRUE(server.Start("where_test_server"));
    itm_server_name = "where_test_server";
    const std::string folder = folders.Home() + "/three";
    std::filesystem::create_directories(folder);
    for (const char* name : {"a.png", "b.png", "c.png"}) {
        picture(folder + "/" + name, 40, 30);
    }
    std::ofstream(folder + "/notes.txt") << "not an image";
    {
        TRegistryIniFileSpecial settings(settings_base_key, KEY_ALL_ACCESS);
        settings.Section = "browser_0";
        settings.WriteString("solitary viewer start in folder", folder);
    }
    solitary_viewer_flag = true;
    {
        TViewer viewer;
        TBrowser browser;
        ASSERT_TRUE(viewer.DisplayImage(folder + "/a.png"));
        QTest::keyClick(&viewer, Qt::Key_PageDown);
        ASSERT_TRUE(
            QTest::qWaitFor([&] { return viewer.current_file == folder + "/b.png"; }, 3000));
        EXPECT_TRUE(
            QTest::qWaitFor([&] { return viewer.PositionPanelText().rfind("2/3", 0) == 0; }, 3000))
            << viewer.PositionPanelText();
        const double before = viewer.Display1->ZoomFactor;
        QTest::keyClick(&viewer, Qt::Key_Minus);
        ASSERT_TRUE(QTest::qWaitFor([&] { return viewer.Display1->ZoomFactor != before; }, 3000));
        EXPECT_TRUE(QTest::qWaitFor(
            [&] {
                return viewer.PositionPanelText() ==
                       "2/3   " + ZoomText(viewer.Display1->ZoomFactor);
            },
            3000))
            << viewer.PositionPanelText();
        // While c is still being decoded the panel goes on telling b's place, which is on
        // display; c's comes with c.
        viewer.SetReadAheadMegabytes(0); // c is decoded after the key, not before
        viewer.decode_job->SetDecoder([](const std::string& path, const std::atomic<bool>* cancel) {
            QThread::msleep(300);
            return engine::DecodeImageFile(path, cancel);
        });
        bool waiting = false;
        std::string shownMeanwhile, panelMeanwhile;
        QTimer::singleShot(150, [&] { // within the decode's wait
            waiting = viewer.decode_job->Waiting();
            shownMeanwhile = viewer.current_file;
            panelMeanwhile = viewer.PositionPanelText();
        });
        QTest::keyClick(&viewer, Qt::Key_PageDown);
        ASSERT_TRUE(QTest::qWaitFor([&] { return !shownMeanwhile.empty(); }, 3000));
        ASSERT_TRUE(waiting);
        EXPECT_EQ(shownMeanwhile, folder + "/b.png");
        EXPECT_EQ(panelMeanwhile.rfind("2/3", 0), 0u) << panelMeanwhile;
        ASSERT_TRUE(
            QTest::qWaitFor([&] { return viewer.current_file == folder + "/c.png"; }, 3000));
        EXPECT_TRUE(
            QTest::qWaitFor([&] { return viewer.PositionPanelText().rfind("3/3", 0) == 0; }, 3000))
            << viewer.PositionPanelText();
    }
    solitary_viewer_flag = false;
    itm_server_name.clear();
    for (const auto& box : boxes.Take()) {
        ADD_FAILURE() << "box: " << box.text;
    }
}

TEST(WhereAmI, TheBrowserCountsItsItemsAndTheSelectionAndRemembersItsView) {
    testsupport::IsolatedFolders folders;
    testsupport::RecordedBoxes boxes;
    MessageServer server;
    ASSERT_TRUE(server.Start("where_browser_server"));
    itm_server_name = "where_browser_server";
    const std::string folder = folders.Home() + "/counted";
    std::filesystem::create_directories(folder + "/inner");
    std::ofstream(folder + "/one.txt") << std::string(1000, 'x');
    std::ofstream(folder + "/two.txt") << std::string(2000, 'y');
    {
        TBrowser browser;
        PIDL pidl;
        ASSERT_TRUE(pidl.FromPath(folder));
        ASSERT_TRUE(browser.StShellListView1->SetFolder(pidl.List()));
        browser.StShellListView1->WaitUntilListed();
        EXPECT_TRUE(QTest::qWaitFor([&] { return browser.StatusText->text() == "3 items"; }, 3000))
            << browser.StatusText->text().toStdString();
        browser.StShellListView1->selectAll();
        EXPECT_TRUE(QTest::qWaitFor(
            [&] { return browser.StatusText->text().toStdString() == ListStatusText(3, 3, 3000); },
            3000))
            << browser.StatusText->text().toStdString();
        EXPECT_FALSE(browser.ViewThumbnails->isChecked());
        browser.ThumbnailSize512->trigger(); // a size chosen shows the thumbnails at it
        EXPECT_TRUE(browser.ViewThumbnails->isChecked());
        ASSERT_NE(browser.StShellListView1->Grid(), nullptr);
        EXPECT_EQ(browser.StShellListView1->Grid()->Edge(), 512);
        browser.FormClose();
    }
    {
        TBrowser again;
        EXPECT_TRUE(again.ViewThumbnails->isChecked());
        EXPECT_TRUE(again.ThumbnailSize512->isChecked());
        EXPECT_EQ(again.StShellListView1->ViewStyle(), TStShellListView::TViewStyle::vsIcon);
    }
    itm_server_name.clear();
}
