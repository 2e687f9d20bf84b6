// The shell views and the browser's folder tree, offscreen, in temporary folders.
#include "support/GuiEnvironment.h"
#include "support/TestSupport.h"

#include "browser/Stshelltreeviewb.h"
#include "platform/MessageBox.h"
#include "platform/Shell.h"

#include <QApplication>
#include <QMimeData>
#include <QScrollBar>
#include <QTest>
#include <QTimer>

#include <filesystem>
#include <fstream>
#include <memory>

using testsupport::IsolatedTest;

ORVALEN_GUI_TEST_ENVIRONMENT(false);

namespace {

void touch(const std::string& path) {
    std::ofstream(path) << "x";
}

std::vector<std::string> namesOf(TStShellItemList& list) {
    std::vector<std::string> names;
    for (TStShellItem& item : list.Items()) {
        names.push_back(item.DisplayName);
    }
    return names;
}

// The rows the list shows once its listing is done.
std::vector<std::string> rowsOf(TStShellListView& list) {
    list.WaitUntilListed();
    std::vector<std::string> rows;
    for (int row = 0; row < list.topLevelItemCount(); ++row) {
        rows.push_back(list.topLevelItem(row)->text(0).toStdString());
    }
    return rows;
}

class ShellViewTest : public IsolatedTest {
protected:
    void SetUp() override {
        TStShellListView::ClickedColumn = 0;
        folder = folders.Home() + "/pictures";
        std::filesystem::create_directories(folder + "/sub folder");
        for (const char* file : {"img10.jpg", "img2.jpg", "Img1.png", "notes.txt"}) {
            touch(folder + "/" + file);
        }
        tree.SetListView(&list);
        list.ComboBox = &combo;
        combo.ListView = &list;
    }

    PIDL pidlOf(const std::string& path) {
        PIDL pidl;
        EXPECT_TRUE(pidl.FromPath(path)) << path;
        return pidl;
    }

    std::string folder;
    TStShellTreeViewB tree;
    TStShellListView list;
    TStShellComboBox combo;
};

} // namespace

TEST_F(ShellViewTest, NamesSortNaturallyWithFoldersFirst) {
    ASSERT_TRUE(list.SetFolder(pidlOf(folder).List()));
    EXPECT_EQ(
        namesOf(*list.GetShellItems()),
        (std::vector<std::string>{"sub folder", "Img1.png", "img2.jpg", "img10.jpg", "notes.txt"}));
    EXPECT_EQ(rowsOf(list), namesOf(*list.GetShellItems()));
    TStShellItem* first = list.GetShellItems()->GetShellItem(1);
    EXPECT_TRUE(first->IsFile);
    EXPECT_EQ(first->Path, folder + "/Img1.png");
}

// A filter of wildcard patterns, any letter case, keeps folders and the files that match one.
TEST_F(ShellViewTest, AFilterOfPatternsKeepsFoldersAndMatchingFiles) {
    list.Filtered = true;
    list.Filter = "*.JPG; img1.*";
    ASSERT_TRUE(list.SetFolder(pidlOf(folder).List()));
    EXPECT_EQ(rowsOf(list),
              (std::vector<std::string>{"sub folder", "Img1.png", "img2.jpg", "img10.jpg"}));
    list.Filter = "*.txt";
    list.Refresh();
    EXPECT_EQ(rowsOf(list), (std::vector<std::string>{"sub folder", "notes.txt"}));
}

TEST_F(ShellViewTest, ColumnClicksSortOrTurnTheRowsRound) {
    std::filesystem::resize_file(folder + "/notes.txt", 5000);
    ASSERT_TRUE(list.SetFolder(pidlOf(folder).List()));
    list.ColumnClicked(1); // size: ascending, folders first
    EXPECT_EQ(TStShellListView::ClickedColumn, 1);
    EXPECT_EQ(list.GetShellItems()->Items().back().DisplayName, "notes.txt");
    const auto bySize = namesOf(*list.GetShellItems());
    list.ColumnClicked(1); // the same column: only the rows turn round
    EXPECT_EQ(namesOf(*list.GetShellItems()), bySize);
    auto rows = rowsOf(list);
    std::reverse(rows.begin(), rows.end());
    EXPECT_EQ(rows, bySize);
    list.ColumnClicked(0); // another column: sorted by it, ascending again
    EXPECT_EQ(list.Direction(), TStSortDirection::sdAscending);
    EXPECT_EQ(namesOf(*list.GetShellItems())[1], "Img1.png");
}

TEST_F(ShellViewTest, AStartFolderDeepDownIsExpandedLevelByLevelAndShownInTheList) {
    const std::string deep = folders.Home() + "/a/b/c";
    std::filesystem::create_directories(deep);
    touch(deep + "/inside.jpg");
    tree.SetStartInFolderPIDL(pidlOf(deep).List());
    tree.resize(300, 400);
    tree.show();
    ASSERT_TRUE(QTest::qWaitFor([&] { return tree.SelectedFolder() != nullptr; }, 2000));
    EXPECT_EQ(tree.SelectedFolder()->Path, deep);
    EXPECT_EQ(list.Folder.Path, deep);
    EXPECT_EQ(rowsOf(list), std::vector<std::string>{"inside.jpg"});
    EXPECT_EQ(combo.currentText().trimmed().toStdString(), "c");
    EXPECT_EQ(boxes.Count(), 0u);
}

TEST_F(ShellViewTest, ADeletedStartFolderIsReportedOnceAndTheTreeGoesOn) {
    const std::string gone = folders.Home() + "/gone";
    std::filesystem::create_directories(gone);
    PIDL pidl = pidlOf(gone);
    std::filesystem::remove(gone);
    tree.SetStartInFolderPIDL(pidl.List());
    tree.show();
    QTest::qWait(50);
    const auto shown = boxes.Take();
    ASSERT_EQ(shown.size(), 1u);
    EXPECT_EQ(shown[0].text.rfind("Problem in TStShellTreeViewB::SelectFolderFromPIDL().\n  "
                                  "Couldn't find a tree node that corresponds with the path PIDL",
                                  0),
              0u);
    tree.update();
    QTest::qWait(20);
    EXPECT_EQ(boxes.Count(), 0u); // once
    EXPECT_TRUE(tree.SelectFolderFromPIDL(pidlOf(folder)));
    EXPECT_EQ(list.Folder.Path, folder);
}

TEST_F(ShellViewTest, WithoutAStartListTheTreeStartsInComputer) {
    tree.SpecialStartInFolder = TStSpecialRootFolder::sfDrives;
    tree.show();
    ASSERT_TRUE(QTest::qWaitFor([&] { return tree.SelectedFolder() != nullptr; }, 2000));
    EXPECT_EQ(tree.SelectedFolder()->DisplayName, "Computer");
    EXPECT_EQ(tree.GetVersion(), "1.02");
}

TEST_F(ShellViewTest, DeletingToTheTrashAndForGood) {
    ASSERT_TRUE(list.SetFolder(pidlOf(folder).List()));
    list.WaitUntilListed();
    list.topLevelItem(2)->setSelected(true); // img2.jpg
    EXPECT_TRUE(list.DeleteItem(true, false));
    EXPECT_FALSE(std::filesystem::exists(folder + "/img2.jpg"));
    EXPECT_TRUE(std::filesystem::exists(folders.Data() + "/Trash/files/img2.jpg"));
    EXPECT_TRUE(std::filesystem::exists(folders.Data() + "/Trash/info/img2.jpg.trashinfo"));
    list.WaitUntilListed();
    list.clearSelection();
    list.topLevelItem(0)->setSelected(true); // the subfolder
    EXPECT_TRUE(list.DeleteItem(false, false));
    EXPECT_FALSE(std::filesystem::exists(folder + "/sub folder"));
    EXPECT_FALSE(std::filesystem::exists(folders.Data() + "/Trash/files/sub folder"));
    // Asked and refused: nothing happens.
    boxes.Answer = IDNO;
    list.WaitUntilListed();
    list.clearSelection();
    list.topLevelItem(0)->setSelected(true);
    EXPECT_FALSE(list.DeleteItem(true, true));
    EXPECT_TRUE(std::filesystem::exists(folder + "/Img1.png"));
    EXPECT_EQ(boxes.Take().size(), 1u);
}

TEST_F(ShellViewTest, RenamingThroughTheListAndTheTree) {
    ASSERT_TRUE(list.SetFolder(pidlOf(folder).List()));
    list.WaitUntilListed();
    list.setCurrentItem(list.topLevelItem(4)); // notes.txt
    EXPECT_TRUE(list.RenameItem("été notes.txt"));
    EXPECT_TRUE(std::filesystem::exists(folder + "/été notes.txt"));
    EXPECT_FALSE(list.RenameItem("../escape.txt"));
    tree.show();
    ASSERT_TRUE(tree.SelectFolderFromPIDL(pidlOf(folder + "/sub folder")));
    tree.Options |= toAllowRename;
    QTreeWidgetItem* node = tree.currentItem();
    node->setFlags(node->flags() | Qt::ItemIsEditable);
    node->setText(0, "renamed folder");
    EXPECT_TRUE(std::filesystem::exists(folder + "/renamed folder"));
    EXPECT_EQ(tree.SelectedFolder()->Path, folder + "/renamed folder");
}

TEST_F(ShellViewTest, DoubleClicksOpenFilesWithTheDefaultProgramAndEnterFolders) {
    std::vector<std::string> opened;
    platform::SetShellOpener([&](const std::string&, const std::string& target) {
        opened.push_back(target);
        return true;
    });
    ASSERT_TRUE(list.SetFolder(pidlOf(folder).List()));
    list.WaitUntilListed();
    emit list.itemDoubleClicked(list.topLevelItem(4), 0);
    EXPECT_EQ(opened, std::vector<std::string>{folder + "/notes.txt"});
    list.OnItemDblClick = [](QObject*, TStShellItem&, bool& defaultAction) {
        defaultAction = false;
    };
    emit list.itemDoubleClicked(list.topLevelItem(3), 0);
    EXPECT_EQ(opened.size(), 1u);
    list.OnItemDblClick = nullptr;
    emit list.itemDoubleClicked(list.topLevelItem(0), 0);
    EXPECT_EQ(list.Folder.Path, folder + "/sub folder");
    EXPECT_TRUE(rowsOf(list).empty());
    list.MoveUpOneLevel();
    EXPECT_EQ(list.Folder.Path, folder);
    platform::SetShellOpener({});
}

TEST_F(ShellViewTest, AFileCreatedInTheShownFolderAppears) {
    ASSERT_TRUE(list.SetFolder(pidlOf(folder).List()));
    touch(folder + "/img3.jpg");
    EXPECT_TRUE(QTest::qWaitFor(
        [&] {
            const auto rows = rowsOf(list);
            return std::find(rows.begin(), rows.end(), "img3.jpg") != rows.end();
        },
        3000));
    EXPECT_EQ(namesOf(*list.GetShellItems())[3], "img3.jpg"); // between img2 and img10
}

// A big folder is read away from the window and its rows come in batches: the window runs in
// between, and a later reading keeps the selection and the scroll position.
TEST_F(ShellViewTest, ABigFolderIsListedWhileTheWindowGoesOn) {
    const std::string big = folders.Home() + "/big";
    std::filesystem::create_directories(big);
    constexpr int kFiles = 3000;
    for (int i = 0; i < kFiles; ++i) {
        touch(big + "/photo " + std::to_string(i) + ".jpg");
    }
    list.resize(400, 300);
    list.show();
    ASSERT_TRUE(list.SetFolder(pidlOf(big).List()));
    EXPECT_EQ(list.topLevelItemCount(), 0); // nothing read on the window's own thread
    EXPECT_TRUE(list.IsListing());
    std::vector<int> seen;
    QTimer ticks;
    QObject::connect(&ticks, &QTimer::timeout, [&] { seen.push_back(list.topLevelItemCount()); });
    ticks.start(0);
    ASSERT_TRUE(QTest::qWaitFor([&] { return !list.IsListing(); }, 10000));
    ticks.stop();
    EXPECT_EQ(list.topLevelItemCount(), kFiles);
    EXPECT_TRUE(std::any_of(seen.begin(), seen.end(), [](int rows) {
        return rows > 0 && rows < kFiles;
    })) << "the window never ran between two batches of rows";
    EXPECT_EQ(list.topLevelItem(kFiles - 1)->text(0).toStdString(), "photo 2999.jpg");

    list.topLevelItem(1500)->setSelected(true);
    list.verticalScrollBar()->setValue(1400);
    std::filesystem::remove(big + "/photo 0.jpg");
    list.Refresh();
    list.WaitUntilListed();
    EXPECT_EQ(list.topLevelItemCount(), kFiles - 1);
    ASSERT_EQ(list.SelectedItems().GetCount(), 1);
    EXPECT_EQ(list.SelectedItem()->DisplayName, list.topLevelItem(1499)->text(0).toStdString());
    EXPECT_EQ(list.verticalScrollBar()->value(), 1400);
}

// Leaving a folder before its reading ends shows the folder chosen last, never the other.
TEST_F(ShellViewTest, AReadingOvertakenByAnotherFolderIsDropped) {
    ASSERT_TRUE(list.SetFolder(pidlOf(folders.Home()).List()));
    ASSERT_TRUE(list.SetFolder(pidlOf(folder).List()));
    EXPECT_EQ(rowsOf(list), (std::vector<std::string>{"sub folder", "Img1.png", "img2.jpg",
                                                      "img10.jpg", "notes.txt"}));
    QTest::qWait(50); // the first reading's end, if it were still delivered, would come now
    EXPECT_EQ(rowsOf(list).size(), 5u);
    EXPECT_EQ(list.Folder.Path, folder);
}

// Folders made, removed or renamed on disk show in the open nodes of the tree by themselves; the
// selection and the other nodes stay as they were.
TEST_F(ShellViewTest, TheTreeFollowsFoldersChangingOnDisk) {
    std::filesystem::create_directories(folder + "/sub folder/inner");
    tree.show();
    ASSERT_TRUE(tree.SelectFolderFromPIDL(pidlOf(folder + "/sub folder/inner")));
    QTreeWidgetItem* pictures = tree.FindNodeByPidl(pidlOf(folder).List());
    ASSERT_NE(pictures, nullptr);
    auto childNames = [&] {
        std::vector<std::string> names;
        for (int i = 0; i < pictures->childCount(); ++i) {
            names.push_back(pictures->child(i)->text(0).toStdString());
        }
        return names;
    };
    EXPECT_EQ(childNames(), std::vector<std::string>{"sub folder"});
    std::filesystem::create_directories(folder + "/album 10");
    std::filesystem::create_directories(folder + "/album 9");
    ASSERT_TRUE(QTest::qWaitFor([&] { return pictures->childCount() == 3; }, 3000));
    EXPECT_EQ(childNames(), (std::vector<std::string>{"album 9", "album 10", "sub folder"}));
    EXPECT_EQ(tree.SelectedFolder()->Path, folder + "/sub folder/inner"); // kept
    EXPECT_EQ(list.Folder.Path, folder + "/sub folder/inner");

    std::filesystem::rename(folder + "/album 9", folder + "/zebra");
    ASSERT_TRUE(QTest::qWaitFor([&] { return childNames().back() == "zebra"; }, 3000));
    EXPECT_EQ(childNames(), (std::vector<std::string>{"album 10", "sub folder", "zebra"}));

    // The selected folder's parent goes: the selection moves up to the node that remains.
    std::filesystem::remove_all(folder + "/sub folder");
    ASSERT_TRUE(QTest::qWaitFor([&] { return pictures->childCount() == 2; }, 3000));
    EXPECT_EQ(tree.SelectedFolder()->Path, folder);
    EXPECT_EQ(list.Folder.Path, folder);
}

namespace {

// Sends a drag over point of view's viewport and, when drop, lets it go there with action.
void dragTo(QAbstractItemView& view, QPoint point, const std::vector<std::string>& paths,
            Qt::DropAction action, bool drop) {
    std::unique_ptr<QMimeData> data(DragDataOf(paths));
    QDragEnterEvent enter(point, Qt::CopyAction | Qt::MoveAction, data.get(), Qt::LeftButton,
                          Qt::NoModifier);
    QApplication::sendEvent(view.viewport(), &enter);
    QDragMoveEvent move(point, Qt::CopyAction | Qt::MoveAction, data.get(), Qt::LeftButton,
                        Qt::NoModifier);
    QApplication::sendEvent(view.viewport(), &move);
    if (drop) {
        QDropEvent release(point, Qt::CopyAction | Qt::MoveAction, data.get(), Qt::LeftButton,
                           Qt::NoModifier);
        release.setDropAction(action);
        QApplication::sendEvent(view.viewport(), &release);
    }
}

} // namespace

// Files dropped on a folder node move into it (copy when asked), never replacing a file there;
// a drag resting on a closed node opens it after ExpandInterval, a passing one does not.
TEST_F(ShellViewTest, DropsOnTheTreeMoveOrCopyFilesAndAHoverOpensANode) {
    std::filesystem::create_directories(folder + "/sub folder/deeper");
    touch(folder + "/sub folder/img2.jpg");
    tree.Options |= toAllowDrop;
    tree.ExpandInterval = 60;
    tree.resize(300, 400);
    tree.show();
    ASSERT_TRUE(tree.SelectFolderFromPIDL(pidlOf(folder)));
    QTreeWidgetItem* sub = tree.FindNodeByPidl(pidlOf(folder + "/sub folder").List());
    ASSERT_NE(sub, nullptr);
    ASSERT_FALSE(sub->isExpanded());
    // The selected folder may sit on the last visible row, with its subfolder below the view.
    tree.scrollToItem(sub);
    const QPoint onSub = tree.visualItemRect(sub).center();
    const QPoint elsewhere = tree.visualItemRect(tree.currentItem()).center();
    ASSERT_TRUE(tree.viewport()->rect().contains(onSub));
    ASSERT_TRUE(tree.viewport()->rect().contains(elsewhere));

    dragTo(tree, onSub, {folder + "/img2.jpg", folder + "/notes.txt"}, Qt::MoveAction, false);
    dragTo(tree, elsewhere, {folder + "/img2.jpg"}, Qt::MoveAction, false); // passing by
    QTest::qWait(150);
    EXPECT_FALSE(sub->isExpanded());
    // Where the node is now: the wait let the tree finish laying itself out, which may have
    // moved its rows.
    dragTo(tree, tree.visualItemRect(sub).center(), {folder + "/img2.jpg"}, Qt::MoveAction, false);
    EXPECT_TRUE(QTest::qWaitFor([&] { return sub->isExpanded(); }, 2000));

    dragTo(tree, tree.visualItemRect(sub).center(), {folder + "/img2.jpg", folder + "/notes.txt"},
           Qt::MoveAction, true);
    EXPECT_FALSE(std::filesystem::exists(folder + "/img2.jpg"));
    EXPECT_TRUE(std::filesystem::exists(folder + "/sub folder/img2.jpg"));
    EXPECT_TRUE(std::filesystem::exists(folder + "/sub folder/img2 (2).jpg"));
    EXPECT_TRUE(std::filesystem::exists(folder + "/sub folder/notes.txt"));
    dragTo(tree, tree.visualItemRect(sub).center(), {folder + "/img10.jpg"}, Qt::CopyAction, true);
    EXPECT_TRUE(std::filesystem::exists(folder + "/img10.jpg"));
    EXPECT_TRUE(std::filesystem::exists(folder + "/sub folder/img10.jpg"));
    EXPECT_EQ(boxes.Count(), 0u);

    // Without toAllowDrop nothing is taken.
    tree.Options &= ~toAllowDrop;
    dragTo(tree, tree.visualItemRect(sub).center(), {folder + "/Img1.png"}, Qt::MoveAction, true);
    EXPECT_TRUE(std::filesystem::exists(folder + "/Img1.png"));
}

// Files dropped on the list go into a folder row they land on, else into the folder shown.
TEST_F(ShellViewTest, DropsOnTheListGoIntoTheFolderRowOrTheFolderShown) {
    const std::string outside = folders.Home() + "/outside";
    std::filesystem::create_directories(outside);
    touch(outside + "/new.jpg");
    touch(outside + "/other.jpg");
    list.Options |= loAllowDrop;
    list.resize(400, 300);
    list.show();
    ASSERT_TRUE(list.SetFolder(pidlOf(folder).List()));
    list.WaitUntilListed();
    const QPoint onFolderRow = list.visualItemRect(list.topLevelItem(0)).center(); // sub folder
    dragTo(list, onFolderRow, {outside + "/new.jpg"}, Qt::MoveAction, true);
    EXPECT_TRUE(std::filesystem::exists(folder + "/sub folder/new.jpg"));
    EXPECT_FALSE(std::filesystem::exists(outside + "/new.jpg"));
    dragTo(list, QPoint(200, 280), {outside + "/other.jpg"}, Qt::CopyAction, true);
    EXPECT_TRUE(std::filesystem::exists(folder + "/other.jpg"));
    EXPECT_TRUE(std::filesystem::exists(outside + "/other.jpg"));
    list.WaitUntilListed();
    const auto rows = rowsOf(list);
    EXPECT_NE(std::find(rows.begin(), rows.end(), "other.jpg"), rows.end());
}
