// The list's context menu and the clipboard shared with file managers, offscreen, in temporary
// folders: what we copy they paste, what they copy we paste, Open With lists the desktop's
// applications in the user's order.
#include "support/GuiEnvironment.h"
#include "support/TestSupport.h"

#include "display/ExifSummary.h"
#include "platform/qt/DesktopApplications.h"
#include "platform/qt/FileClipboard.h"
#include "shell/ShellMenu.h"
#include "shell/StShellViews.h"

#include <QApplication>
#include <QClipboard>
#include <QMenu>
#include <QMimeData>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

using testsupport::IsolatedTest;

namespace {

void write(const std::string& path, const std::string& text) {
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    std::ofstream(path) << text;
}

std::string read(const std::string& path) {
    std::ifstream file(path);
    std::stringstream text;
    text << file.rdbuf();
    return text.str();
}

// Sets an environment variable for the life of the object.
class ScopedVariable {
public:
    ScopedVariable(const char* name, const std::string& value) : name_(name) {
        const char* old = std::getenv(name);
        if (old != nullptr) {
            old_ = old;
            had_ = true;
        }
        ::setenv(name, value.c_str(), 1);
    }
    ~ScopedVariable() {
        if (had_) {
            ::setenv(name_, old_.c_str(), 1);
        } else {
            ::unsetenv(name_);
        }
    }

private:
    const char* name_;
    std::string old_;
    bool had_ = false;
};

class ShellMenuTest : public IsolatedTest {
protected:
    void SetUp() override {
        folder = folders.Home() + "/shown";
        elsewhere = folders.Home() + "/elsewhere";
        write(folder + "/a photo.jpg", "ours");
        write(elsewhere + "/a photo.jpg", "theirs");
        write(elsewhere + "/b.png", "b");
        PIDL pidl;
        ASSERT_TRUE(pidl.FromPath(folder));
        ASSERT_TRUE(list.SetFolder(pidl.List()));
        list.WaitUntilListed();
    }
    void selectRow(const std::string& name) {
        for (int row = 0; row < list.topLevelItemCount(); ++row) {
            if (list.topLevelItem(row)->text(0).toStdString() == name) {
                list.setCurrentItem(list.topLevelItem(row));
                return;
            }
        }
        ADD_FAILURE() << "no row " << name;
    }
    std::vector<std::string> menuTexts(QMenu& menu) {
        std::vector<std::string> texts;
        for (QAction* action : menu.actions()) {
            if (!action->isSeparator()) {
                texts.push_back(action->text().toStdString());
            }
        }
        return texts;
    }

    std::string folder, elsewhere;
    TStShellListView list;
};

} // namespace

TEST_F(ShellMenuTest, CopyPutsTheFilesUriInEveryFormatFileManagersRead) {
    selectRow("a photo.jpg");
    list.CopySelectionToClipboard(false);
    const QMimeData* data = QGuiApplication::clipboard()->mimeData();
    ASSERT_NE(data, nullptr);
    const std::string uri = "file://" + folder + "/a%20photo.jpg";
    EXPECT_EQ(data->data("text/uri-list").toStdString(), uri + "\r\n");
    EXPECT_EQ(data->data("x-special/gnome-copied-files").toStdString(), "copy\n" + uri);
    EXPECT_EQ(data->text().toStdString(), folder + "/a photo.jpg");

    list.CopySelectionToClipboard(true);
    EXPECT_EQ(QGuiApplication::clipboard()
                  ->mimeData()
                  ->data("x-special/gnome-copied-files")
                  .toStdString(),
              "cut\n" + uri);
    const platform::ClipboardFiles files = platform::GetClipboardFiles();
    EXPECT_TRUE(files.cut);
    EXPECT_EQ(files.paths, (std::vector<std::string>{folder + "/a photo.jpg"}));
}

TEST_F(ShellMenuTest, PastingAFileManagersCopyNeverReplacesAndItsCutMovesOnce) {
    // A plain URI list (any program's copy): copied in beside ours, under a new name.
    auto* copy = new QMimeData();
    copy->setData("text/uri-list", QByteArray::fromStdString(
                                       "# from a file manager\r\nfile://" + elsewhere +
                                       "/a%20photo.jpg\r\nfile://" + elsewhere + "/b.png\r\n"));
    QGuiApplication::clipboard()->setMimeData(copy);
    ASSERT_TRUE(list.PasteFromClipboard());
    EXPECT_EQ(read(folder + "/a photo.jpg"), "ours");
    EXPECT_EQ(read(folder + "/a photo (2).jpg"), "theirs");
    EXPECT_EQ(read(folder + "/b.png"), "b");
    EXPECT_TRUE(std::filesystem::exists(elsewhere + "/b.png"));

    // GNOME's cut: the file moves, and the clipboard has nothing left to paste.
    write(elsewhere + "/c.gif", "c");
    auto* cut = new QMimeData();
    cut->setData("x-special/gnome-copied-files",
                 QByteArray::fromStdString("cut\nfile://" + elsewhere + "/c.gif"));
    QGuiApplication::clipboard()->setMimeData(cut);
    ASSERT_TRUE(list.PasteFromClipboard());
    EXPECT_EQ(read(folder + "/c.gif"), "c");
    EXPECT_FALSE(std::filesystem::exists(elsewhere + "/c.gif"));
    EXPECT_TRUE(platform::GetClipboardFiles().paths.empty());
    EXPECT_FALSE(list.PasteFromClipboard());
}

TEST_F(ShellMenuTest, OpenWithListsTheDesktopsApplicationsDefaultFirst) {
    const std::string system = folders.Root() + "/system share";
    ScopedVariable dataDirs("XDG_DATA_DIRS", system);
    ScopedVariable configDirs("XDG_CONFIG_DIRS", folders.Root() + "/no config");
    write(folders.Data() + "/applications/painter.desktop",
          "[Desktop Entry]\nType=Application\nName=Painter\nExec=painter --open %F\n"
          "MimeType=image/png;image/jpeg;\n");
    write(system + "/applications/tools/lens.desktop",
          "[Desktop Entry]\nType=Application\nName=Lens\nExec=\"/opt/lens app/lens\" %u\n"
          "MimeType=image/jpeg;\n");
    write(system + "/applications/gone.desktop",
          "[Desktop Entry]\nType=Application\nName=Gone\nExec=gone %f\nHidden=true\n"
          "MimeType=image/jpeg;\n");
    write(system + "/applications/text.desktop",
          "[Desktop Entry]\nType=Application\nName=Text\nExec=text %f\nMimeType=text/plain;\n");
    write(folders.Config() + "/mimeapps.list",
          "[Default Applications]\nimage/jpeg=missing.desktop;tools-lens.desktop;\n");

    const std::vector<platform::DesktopApplication> apps =
        platform::ApplicationsForMimeType("image/jpeg");
    ASSERT_EQ(apps.size(), 2u);
    EXPECT_EQ(apps[0].id, "tools-lens.desktop");
    EXPECT_EQ(apps[1].name, "Painter");
    EXPECT_EQ(platform::ApplicationCommandLine(apps[0], {"/p/a b.jpg"}),
              (std::vector<std::string>{"/opt/lens app/lens", "/p/a b.jpg"}));
    EXPECT_EQ(platform::ApplicationCommandLine(apps[1], {"/x.jpg", "/y.jpg"}),
              (std::vector<std::string>{"painter", "--open", "/x.jpg", "/y.jpg"}));

    // The user removes Lens: Painter alone is left.
    write(folders.Config() + "/mimeapps.list",
          "[Removed Associations]\nimage/jpeg=tools-lens.desktop\n");
    ASSERT_EQ(platform::ApplicationsForMimeType("image/jpeg").size(), 1u);

    // The menu of a JPEG in the list offers it, and choosing it starts it with the file.
    std::vector<std::string> started;
    auto saved = platform::ApplicationStarter();
    platform::ApplicationStarter() = [&](const std::vector<std::string>& command) {
        started = command;
        return true;
    };
    selectRow("a photo.jpg");
    std::unique_ptr<QMenu> menu(MakeShellMenu(list));
    EXPECT_EQ(menuTexts(*menu),
              (std::vector<std::string>{"&Open", "Open &With", "Cu&t", "&Copy", "&Paste", "Rena&me",
                                        "Move to T&rash", "&Delete", "P&roperties"}));
    QMenu* with = nullptr;
    for (QAction* action : menu->actions()) {
        if (action->menu() != nullptr) {
            with = action->menu();
        }
    }
    ASSERT_NE(with, nullptr);
    ASSERT_EQ(menuTexts(*with), (std::vector<std::string>{"Painter"}));
    with->actions().front()->trigger();
    platform::ApplicationStarter() = saved;
    EXPECT_EQ(started, (std::vector<std::string>{"painter", "--open", folder + "/a photo.jpg"}));
}

TEST_F(ShellMenuTest, NothingSelectedTheMenuOnlyPastesAndOnlyWhenFilesAreOnTheClipboard) {
    list.clearSelection();
    QGuiApplication::clipboard()->setText("just words");
    std::unique_ptr<QMenu> menu(MakeShellMenu(list));
    EXPECT_EQ(menuTexts(*menu), (std::vector<std::string>{"&Paste"}));
    EXPECT_FALSE(menu->actions().back()->isEnabled());
    platform::SetClipboardFiles({elsewhere + "/b.png"}, false);
    menu.reset(MakeShellMenu(list));
    EXPECT_TRUE(menu->actions().back()->isEnabled());
}

TEST(ExifSummaryTest, CameraAndExposureAreReadFromABigOrLittleEndianBlock) {
    // Little-endian TIFF: IFD0 with Make, Model and the EXIF pointer; the EXIF IFD with
    // exposure 1/250, f/2.8, ISO 400 and 35 mm.
    std::vector<std::uint8_t> b;
    auto u16 = [&](unsigned v) {
        b.push_back(v & 255);
        b.push_back(v >> 8);
    };
    auto u32 = [&](unsigned v) {
        u16(v & 0xFFFF);
        u16(v >> 16);
    };
    auto entry = [&](unsigned tag, unsigned type, unsigned count, unsigned value) {
        u16(tag);
        u16(type);
        u32(count);
        u32(value);
    };
    b = {'I', 'I'};
    u16(42);
    u32(8);
    // IFD0 at 8: 3 entries (2 + 36 + 4 = 42 bytes), data from 50.
    u16(3);
    entry(0x010F, 2, 6, 50);  // "Canon\0"
    entry(0x0110, 2, 10, 56); // "Canon R5\0" (9 + pad)
    entry(0x8769, 4, 1, 66);
    u32(0);
    for (char c : std::string("Canon\0", 6))
        b.push_back(c);
    for (char c : std::string("Canon R5\0\0", 10))
        b.push_back(c);
    // EXIF IFD at 66: 4 entries, data from 66 + 2 + 48 + 4 = 120.
    u16(4);
    entry(0x829A, 5, 1, 120);
    entry(0x829D, 5, 1, 128);
    entry(0x8827, 3, 1, 400);
    entry(0x920A, 5, 1, 136);
    u32(0);
    u32(1);
    u32(250);
    u32(28);
    u32(10);
    u32(35);
    u32(1);
    const auto lines = engine::ExifSummary(b.data(), b.size());
    EXPECT_EQ(lines, (std::vector<std::pair<std::string, std::string>>{{"Camera", "Canon R5"},
                                                                       {"Exposure", "1/250 s"},
                                                                       {"Aperture", "f/2.8"},
                                                                       {"ISO", "400"},
                                                                       {"Focal length", "35 mm"}}));
    // Cut anywhere, it never reads past the end and keeps what came before the cut.
    for (std::size_t size = 0; size < b.size(); ++size) {
        const auto part = engine::ExifSummary(b.data(), size);
        EXPECT_LE(part.size(), lines.size());
    }
}

TEST_F(ShellMenuTest, TheTreesRootAndFilterSetAfterConstructionTakeEffect) {
    write(folder + "/keep/inner/x.txt", "x");
    write(folder + "/skip/y.txt", "y");
    TStShellTreeView tree;
    tree.Options = toExpandTopNode;
    // The owner sets the root after making the tree: the next paint builds from it.
    tree.RootFolder = folder;
    tree.Filtered = true;
    tree.OnFilterItem = [](const TStShellItem& item) { return item.DisplayName != "skip"; };
    tree.resize(300, 300);
    tree.show();
    QApplication::processEvents();
    ASSERT_EQ(tree.topLevelItemCount(), 1);
    QTreeWidgetItem* top = tree.topLevelItem(0);
    EXPECT_EQ(top->text(0).toStdString(), "shown");
    EXPECT_TRUE(top->isExpanded()); // toExpandTopNode
    std::vector<std::string> children;
    for (int i = 0; i < top->childCount(); ++i) {
        children.push_back(top->child(i)->text(0).toStdString());
    }
    EXPECT_EQ(children, std::vector<std::string>{"keep"});
    // A folder below the root is found from its full list, the levels above the root skipped.
    PIDL inner;
    ASSERT_TRUE(inner.FromPath(folder + "/keep/inner"));
    ASSERT_TRUE(tree.ShowFolder(inner.List()));
    EXPECT_EQ(tree.currentItem()->text(0).toStdString(), "inner");

    tree.RootFolder.clear();
    tree.SpecialRootFolder = TStSpecialRootFolder::sfPersonal; // the home folder's children
    tree.Filtered = false;
    EXPECT_EQ(tree.FindNodeByPidl(inner.List()), nullptr); // rebuilt: nothing below is made yet
    std::vector<std::string> tops;
    for (int i = 0; i < tree.topLevelItemCount(); ++i) {
        tops.push_back(tree.topLevelItem(i)->text(0).toStdString());
    }
    EXPECT_EQ(tops, (std::vector<std::string>{"elsewhere", "shown"}));
}

TEST_F(ShellMenuTest, TheTreesMenuCopiesItsFolderAndPastesIntoIt) {
    TStShellTreeView tree;
    tree.Options = toShellMenu | toAllowRename;
    tree.RootFolder = folders.Home();
    tree.RebuildRoots();
    QTreeWidgetItem* home = tree.topLevelItem(0);
    ASSERT_NE(home, nullptr);
    tree.ExpandOneLevel(home);
    QTreeWidgetItem* shown = nullptr;
    for (int i = 0; i < home->childCount(); ++i) {
        if (home->child(i)->text(0) == "shown") {
            shown = home->child(i);
        }
    }
    ASSERT_NE(shown, nullptr);
    std::unique_ptr<QMenu> menu(MakeFolderMenu(tree, shown));
    std::vector<std::string> texts;
    for (QAction* action : menu->actions()) {
        if (!action->isSeparator()) {
            texts.push_back(action->text().toStdString());
        }
    }
    EXPECT_EQ(texts, (std::vector<std::string>{"&Open", "Cu&t", "&Copy", "&Paste", "Rena&me",
                                               "Move to T&rash", "&Delete", "P&roperties"}));
    platform::SetClipboardFiles({elsewhere + "/b.png"}, false);
    menu.reset(MakeFolderMenu(tree, shown));
    for (QAction* action : menu->actions()) {
        if (action->text() == "&Paste") {
            ASSERT_TRUE(action->isEnabled());
            action->trigger();
        }
    }
    EXPECT_EQ(read(folder + "/b.png"), "b");
    for (QAction* action : menu->actions()) {
        if (action->text() == "&Copy") {
            action->trigger();
        }
    }
    EXPECT_EQ(platform::GetClipboardFiles().paths, std::vector<std::string>{folder});
}
