// The browser, offscreen, in temporary folders: stepping through images, deleting, settings,
// double clicks and keys; the messages that reach "Viewer" are what is checked.
#include "support/CameraFiles.h"
#include "support/GuiEnvironment.h"
#include "support/TestSupport.h"

#include "browser/Browserform.h"
#include "browser/Renamefile_dialog_s.h"
#include "browser/Stshelltreeviewb.h"
#include "common/ProcessValues.h"
#include "display/MagickLibrary.h"
#include "messaging/MessageServer.h"
#include "platform/MessageBox.h"
#include "platform/Shell.h"
#include "platform/qt/Application.h"
#include "platform/qt/Printer.h"
#include "viewer/Viewerform.h"

#include <QApplication>
#include <QDialog>
#include <QImage>
#include <QLabel>
#include <QLineEdit>
#include <QScreen>
#include <QTest>
#include <QTimer>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>

using testsupport::IsolatedTest;

ORVALEN_GUI_TEST_ENVIRONMENT(true);

namespace {

class BrowserTest : public IsolatedTest {
protected:
    void SetUp() override {
        ASSERT_TRUE(server.Start("browser_test_server"));
        itm_server_name = "browser_test_server";
        ASSERT_TRUE(viewer.Connect("Viewer", 0, GetCurrentThreadId(), "browser_test_server"));
        folder = folders.Home() + "/photos";
        std::filesystem::create_directories(folder);
    }
    void TearDown() override { itm_server_name.clear(); }

    std::string image(const char* file) {
        QImage picture(8, 6, QImage::Format_RGB32);
        picture.fill(Qt::red);
        picture.save(QString::fromStdString(folder + "/" + file), "PNG");
        return folder + "/" + file;
    }
    std::string text(const char* file, const char* content = "words") {
        std::ofstream(folder + "/" + file) << content;
        return folder + "/" + file;
    }
    void show(TBrowser& browser) {
        PIDL pidl;
        ASSERT_TRUE(pidl.FromPath(folder));
        ASSERT_TRUE(browser.StShellListView1->SetFolder(pidl.List()));
        browser.StShellListView1->WaitUntilListed();
    }
    // The files the browser asked the viewer to show.
    std::vector<std::string> shown() {
        std::vector<std::string> files;
        Message message;
        while (viewer.PopMessage(message)) {
            EXPECT_EQ(message.kind, IV_DISPLAY_IMAGE);
            files.emplace_back(message.payload != nullptr ? message.payload : "");
            FreeMessagePayload(message);
        }
        return files;
    }

    MessageServer server;
    MessageClient viewer;
    std::string folder;
};

} // namespace

TEST_F(BrowserTest, NextAndPreviousWrapAndSkipWhatIsNoImage) {
    const std::string a = image("a1.png");
    std::filesystem::create_directories(folder + "/b folder");
    text("b2.txt");
    text("b3.jpg", "not really a JPEG");
    const std::string c = image("c10.png");
    const std::string d = image("c9.png");
    TBrowser browser;
    show(browser);
    EXPECT_TRUE(browser.DisplayNextImage(a, 'D'));
    EXPECT_TRUE(browser.DisplayNextImage(d, 'd'));
    EXPECT_TRUE(browser.DisplayNextImage(c, 'D')); // the last wraps to the first
    EXPECT_TRUE(browser.DisplayNextImage(a, 'U')); // the first wraps to the last
    EXPECT_EQ(shown(), (std::vector<std::string>{d, c, a, c}));
    EXPECT_TRUE(browser.DisplayNextImageFromIndex(
        browser.StShellListView1->GetShellItems()->GetCount() - 1, 'D'));
    EXPECT_TRUE(browser.DisplayNextImageFromIndex(0, 'U'));
    EXPECT_EQ(shown(), (std::vector<std::string>{a, c}));
    EXPECT_FALSE(browser.DisplayNextImageFromIndex(0, 'x'));
    EXPECT_EQ(boxes.Take().size(), 1u);
}

TEST_F(BrowserTest, PageDownStepsOntoAndOverCameraRawJpegXlHeicAndAvif) {
    const std::string first = image("a.png");
    const std::string raw = folder + "/b.dng";
    std::ofstream(raw, std::ios::binary)
        << testsupport::DngFile(testsupport::QuadrantPicture(64, 48), 1, {}, 0, 0);
    const std::string png = folders.Home() + "/source.png";
    QImage picture(64, 48, QImage::Format_RGB32);
    picture.fill(Qt::blue);
    ASSERT_TRUE(picture.save(QString::fromStdString(png), "PNG"));
    const std::string jxl = folder + "/c.jxl", heic = folder + "/d.heic", avif = folder + "/e.avif";
    ASSERT_EQ(std::system(("cjxl " + png + " " + jxl + " >/dev/null 2>&1").c_str()), 0);
    ASSERT_EQ(std::system(("heif-enc -o " + heic + " " + png + " >/dev/null 2>&1").c_str()), 0);
    ASSERT_EQ(std::system(("heif-enc -A -o " + avif + " " + png + " >/dev/null 2>&1").c_str()), 0);
    text("f.txt");
    TBrowser browser;
    show(browser);
    const std::vector<std::string> order{first, raw, jxl, heic, avif};
    for (std::size_t k = 0; k < order.size(); ++k) {
        EXPECT_TRUE(browser.DisplayNextImage(order[k], 'D'));
    }
    // The text file is stepped over, back to the first.
    EXPECT_EQ(shown(), (std::vector<std::string>{raw, jxl, heic, avif, first}));
    EXPECT_TRUE(browser.DisplayNextImage(first, 'U'));
    EXPECT_TRUE(browser.DisplayNextImage(raw, 'U'));
    EXPECT_EQ(shown(), (std::vector<std::string>{avif, first}));
}

TEST_F(BrowserTest, OneImageAmongOtherFilesIsShownAgainAndASingleItemGoesNowhere) {
    const std::string only = image("only.png");
    text("readme.txt");
    {
        TBrowser browser;
        show(browser);
        EXPECT_TRUE(browser.DisplayNextImage(only, 'D'));
        EXPECT_EQ(shown(), std::vector<std::string>{only});
    }
    std::filesystem::remove(folder + "/readme.txt");
    TBrowser browser;
    show(browser);
    EXPECT_FALSE(browser.DisplayNextImage(only, 'D'));
    EXPECT_FALSE(browser.DisplayNextImage(only, 'U'));
    EXPECT_FALSE(browser.DisplayNextImageFromIndex(0, 'D'));
    EXPECT_TRUE(shown().empty());
}

TEST_F(BrowserTest, AFileOutsideTheShownFolderGivesNoNavigation) {
    image("a.png");
    image("b.png");
    TBrowser browser;
    show(browser);
    EXPECT_FALSE(browser.DisplayNextImage(folders.Home() + "/a.png", 'D'));
    EXPECT_FALSE(browser.DisplayNextImage(folder + "/missing.png", 'D'));
    EXPECT_TRUE(shown().empty());
}

TEST_F(BrowserTest, DeleteInTheViewerOnTheOnlyImageShowsItAgainThenTrashesIt) {
    const std::string only = image("only.png");
    text("notes.txt");
    TBrowser browser;
    show(browser);
    MessageClient sender;
    ASSERT_TRUE(sender.Connect("ViewerSide", 0, GetCurrentThreadId(), "browser_test_server"));
    Message request;
    request.kind = IV_NEXT_IMAGE_AND_DELETE;
    request.payload = MessagePayloadCopy(only.c_str());
    sender.Send("Browser", request, true);
    ASSERT_TRUE(QTest::qWaitFor([&] { return !std::filesystem::exists(only); }, 3000));
    EXPECT_EQ(shown(), std::vector<std::string>{only});
    EXPECT_TRUE(std::filesystem::exists(folders.Data() + "/Trash/files/only.png"));
}

TEST_F(BrowserTest, StoredBoundsAreCorrectedAndTheSolitaryStartFolderIsUsedOnce) {
    {
        TRegistryIniFileSpecial settings(settings_base_key, KEY_ALL_ACCESS);
        settings.Section = "browser_0";
        settings.WriteInteger("Width", 20);
        settings.WriteInteger("Splitter", 1);
        settings.WriteString("solitary viewer start in folder", folder);
    }
    {
        TBrowser browser;
        EXPECT_EQ(browser.frameGeometry().width(), 800);
        EXPECT_EQ(browser.StShellListView1->Folder.Path, "");
        browser.show();
        ASSERT_TRUE(
            QTest::qWaitFor([&] { return browser.StShellListView1->Folder.Path == folder; }, 3000));
        TRegistryIniFileSpecial settings(settings_base_key, KEY_READ);
        settings.Section = "browser_0";
        EXPECT_EQ(settings.ReadInteger("Width", 0), 800);
        EXPECT_EQ(settings.ReadInteger("Splitter", 0), 297);
        EXPECT_EQ(settings.ReadString("solitary viewer start in folder", "x"), "");
        browser.close(); // stores "current folder"
    }
    // The next start opens the folder stored at close.
    TBrowser again;
    again.show();
    EXPECT_TRUE(
        QTest::qWaitFor([&] { return again.StShellListView1->Folder.Path == folder; }, 3000));
    EXPECT_TRUE(platform::ApplicationTerminated()); // closing the browser ended the program
}

TEST_F(BrowserTest, DoubleClicksSendImagesToTheViewerAndOtherFilesToTheirProgram) {
    const std::string picture = image("photo.png");
    const std::string notes = text("notes.txt");
    std::vector<std::string> opened;
    platform::SetShellOpener([&](const std::string&, const std::string& target) {
        opened.push_back(target);
        return true;
    });
    TBrowser browser;
    show(browser);
    const int notesRow = browser.FindItemIndex("notes.txt");
    const int photoRow = browser.FindItemIndex("photo.png");
    emit browser.StShellListView1->itemDoubleClicked(
        browser.StShellListView1->topLevelItem(notesRow), 0);
    emit browser.StShellListView1->itemDoubleClicked(
        browser.StShellListView1->topLevelItem(photoRow), 0);
    platform::SetShellOpener({});
    EXPECT_EQ(opened, std::vector<std::string>{notes});
    EXPECT_EQ(shown(), std::vector<std::string>{picture});
}

// Enter ends an in-place edit on its press (the editor commits then); its release reaches the
// list afterwards and must not open the item too, whether or not the name changed. An Enter
// pressed in the list itself still opens.
TEST_F(BrowserTest, EnterThatEndsAnInPlaceRenameNeverOpensTheItem) {
    image("a1.png");
    image("a2.png");
    std::vector<std::string> opened;
    platform::SetShellOpener([&](const std::string&, const std::string& target) {
        opened.push_back(target);
        return true;
    });
    TBrowser browser;
    show(browser);
    TStCustomShellListView& list = *browser.StShellListView1;
    list.setCurrentItem(list.topLevelItem(browser.FindItemIndex("a1.png")));
    auto endEditWithEnter = [&](const char* name) {
        QTest::keyClick(&list, Qt::Key_F2);
        auto* editor = qobject_cast<QLineEdit*>(list.indexWidget(list.currentIndex()));
        ASSERT_NE(editor, nullptr);
        editor->setText(name);
        QTest::keyPress(editor, Qt::Key_Return);
        ASSERT_TRUE(QTest::qWaitFor([&] { return !list.IsEditing(); }, 3000));
        list.WaitUntilListed();
        QTest::keyRelease(&list, Qt::Key_Return); // where the focus went back to
    };
    endEditWithEnter("a1.png"); // the name kept
    EXPECT_TRUE(shown().empty());
    endEditWithEnter("b1.png");
    EXPECT_TRUE(std::filesystem::exists(folder + "/b1.png"));
    EXPECT_FALSE(std::filesystem::exists(folder + "/a1.png"));
    EXPECT_TRUE(shown().empty());
    EXPECT_TRUE(opened.empty());
    ASSERT_NE(list.SelectedItem(), nullptr);
    EXPECT_EQ(list.SelectedItem()->DisplayName, "b1.png");
    QTest::keyClick(&list, Qt::Key_Return);
    platform::SetShellOpener({});
    EXPECT_EQ(shown(), std::vector<std::string>{folder + "/b1.png"});
}

// F1 in the browser opens the guide, as Help > Contents does in the viewer.
TEST_F(BrowserTest, F1InTheBrowserOpensTheGuide) {
    image("a.png");
    std::vector<std::string> opened;
    platform::SetShellOpener([&](const std::string&, const std::string& target) {
        opened.push_back(target);
        return true;
    });
    const std::string savedHelp = application_help_file;
    application_help_file = folders.Home() + "/guide.html";
    TBrowser browser;
    show(browser);
    browser.show();
    browser.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&browser));
    QTest::keyClick(browser.StShellListView1, Qt::Key_F1);
    QTest::keyClick(browser.StShellTreeView1, Qt::Key_F1);
    platform::SetShellOpener({});
    application_help_file = savedHelp;
    EXPECT_EQ(opened, (std::vector<std::string>{folders.Home() + "/guide.html",
                                                folders.Home() + "/guide.html"}));
}

// A key two actions hold runs neither of them.
TEST_F(BrowserTest, NoTwoActionsOfTheBrowserShareAKey) {
    TBrowser browser;
    EXPECT_EQ(testsupport::SharedShortcuts(browser), std::vector<std::string>{});
}

TEST_F(BrowserTest, TheRenameDialogStartsFromTheNameAndSaysWhenItCannotRename) {
    image("a.png");
    image("b.png");
    TBrowser browser;
    show(browser);
    TStCustomShellListView& list = *browser.StShellListView1;
    auto select = [&](const char* name) {
        const QList<QTreeWidgetItem*> rows = list.findItems(name, Qt::MatchExactly);
        ASSERT_EQ(rows.size(), 1);
        list.setCurrentItem(rows.front());
    };
    select("a.png");
    {
        TRenameFile_Dialog dialog(&list, &browser);
        EXPECT_EQ(dialog.Label1->text(), "a.png");
        EXPECT_EQ(dialog.LabeledEdit1->text(), "a.png");
        dialog.LabeledEdit1->setText("b.png"); // taken: nothing is overwritten
        dialog.RenameFileExecute();
    }
    const auto said = boxes.Take();
    ASSERT_EQ(said.size(), 1u);
    EXPECT_EQ(said[0].caption, "Rename File");
    EXPECT_EQ(said[0].text, "\"a.png\" cannot be renamed to \"b.png\": the name is taken, "
                            "empty or holds \"/\".");
    EXPECT_TRUE(std::filesystem::exists(folder + "/a.png"));
    EXPECT_TRUE(std::filesystem::exists(folder + "/b.png"));
    select("a.png");
    {
        TRenameFile_Dialog dialog(&list, &browser);
        dialog.LabeledEdit1->setText("it's \"été\" 1.png");
        dialog.RenameFileExecute();
    }
    EXPECT_EQ(boxes.Count(), 0u);
    EXPECT_FALSE(std::filesystem::exists(folder + "/a.png"));
    EXPECT_TRUE(std::filesystem::exists(folder + "/it's \"été\" 1.png"));
}

// Print sends every selected image, one job each, to the printer the dialog accepts; a file
// that is no image is reported and passed over.
TEST_F(BrowserTest, PrintPrintsTheSelectedImagesAndPassesOverTheRest) {
    image("photo.png");
    text("notes.txt");
    TBrowser browser;
    show(browser);
    browser.StShellListView1->selectAll();
    const std::string pdf = folders.Home() + "/printed.pdf";
    QPrinter& printer = Printer()->Printer();
    printer.setOutputFormat(QPrinter::PdfFormat);
    printer.setOutputFileName(QString::fromStdString(pdf));
    QTimer::singleShot(0, [] {
        if (auto* dialog = qobject_cast<QDialog*>(QApplication::activeModalWidget())) {
            dialog->accept();
        }
    });
    browser.PrintExecute();
    ASSERT_TRUE(std::filesystem::exists(pdf));
    const std::string info = folders.Home() + "/info.txt";
    ASSERT_EQ(std::system(("pdfinfo '" + pdf + "' > '" + info + "'").c_str()), 0);
    std::ifstream lines(info);
    std::string line, pages, title;
    while (std::getline(lines, line)) {
        if (line.rfind("Pages:", 0) == 0) {
            pages = line.substr(line.find_last_of(' ') + 1);
        } else if (line.rfind("Title:", 0) == 0) {
            title = line.substr(line.find_first_not_of(' ', 6));
        }
    }
    EXPECT_EQ(pages, "1");
    EXPECT_EQ(title, "Orvalen: " + folder + "/photo.png");
    // The file that is no image is named in the decoder's report, and nothing else is said.
    const auto said = boxes.Take();
    ASSERT_EQ(said.size(), 1u);
    EXPECT_NE(said[0].text.find("Tried to read " + folder + "/notes.txt"), std::string::npos);
}

// Keys in the folder tree: Delete sends the folder to the Trash (after the question), Shift+Delete
// removes it for good, F5 shows a folder made meanwhile.
TEST_F(BrowserTest, TreeKeysDeleteFoldersAndRefresh) {
    for (const char* album : {"/album one", "/album two"}) {
        std::filesystem::create_directories(folder + album);
    }
    TBrowser browser;
    browser.show();
    TStShellTreeViewB& tree = *browser.StShellTreeView1;
    auto select = [&](const std::string& path) {
        PIDL pidl;
        ASSERT_TRUE(pidl.FromPath(path));
        ASSERT_TRUE(tree.SelectFolderFromPIDL(pidl));
    };
    select(folder + "/album one");
    QTest::keyRelease(&tree, Qt::Key_Delete);
    EXPECT_FALSE(std::filesystem::exists(folder + "/album one"));
    EXPECT_TRUE(std::filesystem::exists(folders.Data() + "/Trash/files/album one"));
    EXPECT_EQ(boxes.Take().size(), 1u); // the question
    ASSERT_NE(tree.SelectedFolder(), nullptr);
    EXPECT_EQ(tree.SelectedFolder()->Path, folder);

    select(folder + "/album two");
    QTest::keyRelease(&tree, Qt::Key_Delete, Qt::ShiftModifier);
    EXPECT_FALSE(std::filesystem::exists(folder + "/album two"));
    EXPECT_FALSE(std::filesystem::exists(folders.Data() + "/Trash/files/album two"));
    EXPECT_EQ(boxes.Take().size(), 1u);

    std::filesystem::create_directories(folder + "/album three");
    select(folder);
    QTest::keyRelease(&tree, Qt::Key_F5);
    QTreeWidgetItem* node = tree.currentItem();
    ASSERT_NE(node, nullptr);
    node->setExpanded(true);
    std::vector<std::string> children;
    for (int i = 0; i < node->childCount(); ++i) {
        children.push_back(node->child(i)->text(0).toStdString());
    }
    EXPECT_EQ(children, std::vector<std::string>{"album three"});
}

// The viewer and the browser of one process, as the solitary viewer has them: Page Down walks
// the folder in name order and wraps, Enter shows the browser on that folder.
TEST(ViewerAndBrowser, PageDownWalksTheFolderAndEnterShowsTheBrowser) {
    testsupport::IsolatedFolders folders;
    testsupport::RecordedBoxes boxes;
    MessageServer server;
    ASSERT_TRUE(server.Start("walk_test_server"));
    itm_server_name = "walk_test_server";
    const std::string folder = folders.Home() + "/samples";
    std::filesystem::create_directories(folder);
    std::vector<std::string> files;
    for (const char* name : {"b 10.png", "b 2.png", "a.png"}) {
        QImage picture(20, 10, QImage::Format_RGB32);
        picture.fill(Qt::green);
        picture.save(QString::fromStdString(folder + "/" + name), "PNG");
    }
    std::ofstream(folder + "/zz notes.txt") << "not an image";
    {
        TRegistryIniFileSpecial settings(settings_base_key, KEY_ALL_ACCESS);
        settings.Section = "browser_0";
        settings.WriteString("solitary viewer start in folder", folder);
    }
    solitary_viewer_flag = true;
    TViewer viewer;
    TBrowser browser;
    EXPECT_FALSE(browser.isVisible());
    ASSERT_EQ(browser.StShellListView1->Folder.Path, folder);
    ASSERT_TRUE(viewer.DisplayImage(folder + "/a.png"));
    std::vector<std::string> walked;
    for (int press = 0; press < 3; ++press) {
        const std::string before = viewer.current_file;
        QTest::keyClick(&viewer, Qt::Key_PageDown);
        ASSERT_TRUE(QTest::qWaitFor([&] { return viewer.current_file != before; }, 3000));
        walked.push_back(viewer.current_file);
    }
    EXPECT_EQ(walked, (std::vector<std::string>{folder + "/b 2.png", folder + "/b 10.png",
                                                folder + "/a.png"}));
    QTest::keyClick(&viewer, Qt::Key_Return);
    ASSERT_TRUE(QTest::qWaitFor([&] { return browser.isVisible(); }, 3000));
    EXPECT_FALSE(solitary_viewer_flag);
    EXPECT_EQ(browser.StShellListView1->Folder.Path, folder);
    itm_server_name.clear();
}

// A FIFO named like an image among the images: Page Down steps over it without blocking the
// window, and the next key still works.
TEST(ViewerAndBrowser, PageDownStepsOverAFifoAndTheNextKeyStillWorks) {
    testsupport::IsolatedFolders folders;
    testsupport::RecordedBoxes boxes;
    MessageServer server;
    ASSERT_TRUE(server.Start("fifo_walk_test_server"));
    itm_server_name = "fifo_walk_test_server";
    const std::string folder = folders.Home() + "/samples";
    std::filesystem::create_directories(folder);
    for (const char* name : {"a.png", "c.png"}) {
        QImage picture(20, 10, QImage::Format_RGB32);
        picture.fill(Qt::green);
        picture.save(QString::fromStdString(folder + "/" + name), "PNG");
    }
    testsupport::TrapFifo trap(folder + "/b.jpg", 5000);
    ASSERT_TRUE(trap.Made());
    {
        TRegistryIniFileSpecial settings(settings_base_key, KEY_ALL_ACCESS);
        settings.Section = "browser_0";
        settings.WriteString("solitary viewer start in folder", folder);
    }
    solitary_viewer_flag = true;
    TViewer viewer;
    TBrowser browser;
    ASSERT_EQ(browser.StShellListView1->Folder.Path, folder);
    ASSERT_NE(browser.FindItemIndex("b.jpg"), -1); // listed between the two images
    ASSERT_TRUE(viewer.DisplayImage(folder + "/a.png"));
    const auto start = std::chrono::steady_clock::now();
    QTest::keyClick(&viewer, Qt::Key_PageDown);
    ASSERT_TRUE(QTest::qWaitFor([&] { return viewer.current_file == folder + "/c.png"; }, 3000));
    EXPECT_LT(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count(), 2.0);
    QTest::keyClick(&viewer, Qt::Key_PageDown); // wraps to the first
    EXPECT_TRUE(QTest::qWaitFor([&] { return viewer.current_file == folder + "/a.png"; }, 3000));
    EXPECT_FALSE(trap.Sprung());
    for (const auto& box : boxes.Take()) {
        ADD_FAILURE() << "box: " << box.text;
    }
    solitary_viewer_flag = false;
    itm_server_name.clear();
}

namespace {

// A viewer and a browser of one process, the browser shown on the folder "photos".
class ViewerOpenTest : public IsolatedTest {
protected:
    void SetUp() override {
        ASSERT_TRUE(server.Start("viewer_open_test_server"));
        itm_server_name = "viewer_open_test_server";
        folder = folders.Home() + "/photos";
        std::filesystem::create_directories(folder);
    }
    void TearDown() override { itm_server_name.clear(); }

    std::string image(const std::string& in, const char* file) {
        QImage picture(20, 10, QImage::Format_RGB32);
        picture.fill(Qt::blue);
        picture.save(QString::fromStdString(in + "/" + file), "PNG");
        return in + "/" + file;
    }
    void show(TBrowser& browser) {
        PIDL pidl;
        ASSERT_TRUE(pidl.FromPath(folder));
        ASSERT_TRUE(browser.StShellListView1->SetFolder(pidl.List()));
        browser.StShellListView1->WaitUntilListed();
    }
    QTreeWidgetItem* row(TBrowser& browser, const char* name) {
        const QList<QTreeWidgetItem*> rows =
            browser.StShellListView1->findItems(name, Qt::MatchExactly);
        return rows.size() == 1 ? rows.front() : nullptr;
    }
    // The row the in-place editor is open on, or null.
    QTreeWidgetItem* edited(TBrowser& browser) {
        TStCustomShellListView& list = *browser.StShellListView1;
        for (int i = 0; i < list.topLevelItemCount(); ++i) {
            if (list.indexWidget(list.model()->index(i, 0)) != nullptr) {
                return list.topLevelItem(i);
            }
        }
        return nullptr;
    }

    MessageServer server;
    std::string folder;
};

} // namespace

// F2 edits the highlighted row, not the one with the focus outline; and when the browser selects
// the file the viewer opened, the outline moves with the highlight.
TEST_F(ViewerOpenTest, F2RenamesTheHighlightedItemNotTheOneWithTheFocusOutline) {
    image(folder, "a1.png");
    image(folder, "a2.png");
    image(folder, "a3.png");
    TViewer viewer;
    TBrowser browser;
    show(browser);
    TStCustomShellListView& list = *browser.StShellListView1;
    list.setCurrentItem(row(browser, "a3.png"));
    QTest::keyClick(&list, Qt::Key_Up, Qt::ControlModifier); // moves the outline only
    QTest::keyClick(&list, Qt::Key_Up, Qt::ControlModifier);
    ASSERT_EQ(list.currentItem(), row(browser, "a1.png"));
    ASSERT_EQ(list.selectedItems(), QList<QTreeWidgetItem*>{row(browser, "a3.png")});
    QTest::keyClick(&list, Qt::Key_F2);
    EXPECT_EQ(edited(browser), row(browser, "a3.png"));
    if (QWidget* editor = list.indexWidget(list.currentIndex())) {
        QTest::keyClick(editor, Qt::Key_Escape);
    }
    ASSERT_TRUE(QTest::qWaitFor([&] { return !list.IsEditing(); }, 3000));

    // The outline is on a1 again when the viewer opens a2 through its dialog.
    list.setCurrentItem(row(browser, "a1.png"));
    viewer.FileOpen1Accept(folder + "/a2.png");
    ASSERT_TRUE(QTest::qWaitFor(
        [&] { return list.selectedItems() == QList<QTreeWidgetItem*>{row(browser, "a2.png")}; },
        3000));
    EXPECT_EQ(list.currentItem(), row(browser, "a2.png"));
    QTest::keyClick(&list, Qt::Key_F2);
    auto* editor = qobject_cast<QLineEdit*>(list.indexWidget(list.currentIndex()));
    ASSERT_NE(editor, nullptr);
    editor->setText("renamed.png");
    QTest::keyClick(editor, Qt::Key_Return);
    EXPECT_TRUE(
        QTest::qWaitFor([&] { return std::filesystem::exists(folder + "/renamed.png"); }, 3000));
    EXPECT_FALSE(std::filesystem::exists(folder + "/a2.png"));
    EXPECT_TRUE(std::filesystem::exists(folder + "/a1.png"));
    EXPECT_TRUE(std::filesystem::exists(folder + "/a3.png"));
}

// After File > Open in the viewer the browser shows the opened file's folder with the file
// selected, so Page Down steps through that folder (and Enter would show it); a file the viewer
// cannot show leaves the browser where it was.
TEST_F(ViewerOpenTest, AFileOpenedInTheViewerBecomesTheBrowsersFolderAndSelection) {
    image(folder, "p1.png");
    image(folder, "p2.png");
    const std::string other = folders.Home() + "/other";
    std::filesystem::create_directories(other);
    image(other, "b1.png");
    image(other, "b2.png");
    std::ofstream(other + "/b3.txt") << "not an image";
    image(other, "b4.png");
    std::vector<std::string> opened;
    platform::SetShellOpener([&](const std::string&, const std::string& target) {
        opened.push_back(target);
        return true;
    });
    TViewer viewer;
    TBrowser browser;
    show(browser);
    TStCustomShellListView& list = *browser.StShellListView1;
    viewer.FileOpen1Accept(other + "/b2.png");
    ASSERT_EQ(viewer.current_file, other + "/b2.png");
    ASSERT_TRUE(QTest::qWaitFor([&] { return list.Folder.Path == other; }, 3000));
    list.WaitUntilListed();
    ASSERT_NE(list.SelectedItem(), nullptr);
    EXPECT_EQ(list.SelectedItem()->DisplayName, "b2.png");
    EXPECT_EQ(list.currentItem(), row(browser, "b2.png"));
    ASSERT_NE(browser.StShellTreeView1->SelectedFolder(), nullptr);
    EXPECT_EQ(browser.StShellTreeView1->SelectedFolder()->Path, other);

    QTest::keyClick(&viewer, Qt::Key_PageDown);
    ASSERT_TRUE(QTest::qWaitFor([&] { return viewer.current_file == other + "/b4.png"; }, 3000));

    // Not an image: it goes to its program, and the browser stays on "other".
    const std::string notes = folders.Home() + "/notes.txt";
    std::ofstream(notes) << "not an image either";
    viewer.FileOpen1Accept(notes);
    QTest::keyClick(&viewer, Qt::Key_PageDown); // wraps to the first image of "other"
    EXPECT_TRUE(QTest::qWaitFor([&] { return viewer.current_file == other + "/b1.png"; }, 3000));
    platform::SetShellOpener({});
    EXPECT_EQ(opened, std::vector<std::string>{notes});
    EXPECT_EQ(list.Folder.Path, other);
}
