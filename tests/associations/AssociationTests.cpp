// File type associations: the registry model, the options dialog, and the desktop's defaults
// that xdg-mime reads, all in isolated per-user folders.
#include "support/GuiEnvironment.h"
#include "support/TestSupport.h"

#include "associations/DesktopBridge.h"
#include "associations/Options.h"
#include "associations/Regextension.h"
#include "common/ProcessValues.h"
#include "display/MagickLibrary.h"

#include <QApplication>
#include <QFontMetrics>
#include <QPushButton>
#include <QSplitter>
#include <QStyle>
#include <QTest>
#include <QTimer>
#include <QTreeWidget>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>

using namespace FileExtension;
using testsupport::IsolatedTest;

ORVALEN_GUI_TEST_ENVIRONMENT(true);

namespace {

std::string value(HKEY root, const std::string& key, const char* name) {
    TRegistry registry(KEY_READ);
    registry.SetRootKey(root);
    if (!registry.OpenKey(key, false) || !registry.ValueExists(name)) {
        return "<none>";
    }
    return registry.ReadString(name);
}

bool keyExists(HKEY root, const std::string& key) {
    TRegistry registry(KEY_READ);
    registry.SetRootKey(root);
    return registry.KeyExists(key);
}

class AssociationTest : public IsolatedTest {
protected:
    void SetUp() override {
        notifications = 0;
        listener = AddAssocListener([this] { ++notifications; });
    }
    void TearDown() override { RemoveAssocListener(listener); }
    int notifications = 0;
    int listener = 0;
};

std::string xdgMimeDefault(const testsupport::IsolatedFolders& folders, const char* type) {
    const std::string command = "env -u XDG_CURRENT_DESKTOP -u DESKTOP_SESSION XDG_DATA_DIRS='" +
                                folders.Data() + "' xdg-mime query default " + type +
                                " 2>/dev/null";
    FILE* pipe = ::popen(command.c_str(), "r");
    char line[512] = {};
    const bool read = pipe != nullptr && std::fgets(line, sizeof line, pipe) != nullptr;
    if (pipe != nullptr) {
        ::pclose(pipe);
    }
    std::string answer = read ? line : "";
    while (!answer.empty() && (answer.back() == '\n' || answer.back() == ' ')) {
        answer.pop_back();
    }
    return answer;
}

} // namespace

TEST(ExtCommands, EveryCommandPassesTheFile) {
    EXPECT_EQ(TExtCommand("open", "&Open", "%1").Params, "\"%1\"");
    EXPECT_EQ(TExtCommand("view", "&View", "-view").Params, "-view \"%1\"");
    EXPECT_EQ(TExtCommand("print", "&Print", "/p %1").Params, "/p %1");
    TExtCommands commands;
    commands.Add("open", "&Open");
    commands.Add("edit", "&Edit", "-e");
    EXPECT_EQ(commands.DefaultVerb, "open");
    EXPECT_EQ(commands.GetCommand(1)->Params, "-e \"%1\"");
    EXPECT_EQ(commands.GetCommand(2), nullptr);
}

TEST_F(AssociationTest, AddingAnExtensionWithOnlyAProgramNamesItsTypeAndIcon) {
    TRegExtension extension;
    extension.Add(".png", "/opt/v");
    TExtInfo* info = extension.GetExt(0);
    ASSERT_NE(info, nullptr);
    EXPECT_EQ(info->FileType, "png File");
    EXPECT_EQ(info->Description, "png File");
    EXPECT_EQ(info->Icon, "/opt/v,0");
    EXPECT_TRUE(extension.Register(1));
    EXPECT_EQ(value(HKEY_CLASSES_ROOT, "\\.png", ""), "png File");
    EXPECT_EQ(value(HKEY_CLASSES_ROOT, "\\png File\\shell\\open\\command", ""),
              "\"/opt/v\" \"%1\"");
    EXPECT_EQ(value(HKEY_CURRENT_USER, std::string(FileExts) + "\\.png", "Progid"), "png File");
    auto read = extension.GetExtInfo("png");
    ASSERT_NE(read, nullptr);
    EXPECT_EQ(read->FileType, "png File");
    EXPECT_EQ(read->Icon, "/opt/v,0");
    EXPECT_TRUE(extension.Unregister(".png"));
    EXPECT_FALSE(extension.IsRegistered(".png"));
}

TEST_F(AssociationTest, RegisterWithoutModeBitZeroWritesNothingButStillNotifies) {
    TRegExtension extension;
    extension.Add(".gif", "/opt/v");
    EXPECT_FALSE(extension.Register(2));
    EXPECT_FALSE(extension.IsRegistered(".gif"));
    EXPECT_EQ(notifications, 1);
}

TEST_F(AssociationTest, BackingUpNothingWritesNoSubkeyAndRestoringGivesTheFileDefault) {
    TRegExtension extension;
    extension.Add(".tga", "/opt/v");
    {
        TRegistry registry(KEY_ALL_ACCESS);
        registry.OpenKey(std::string(FileExts) + "\\.tga", true);
        registry.WriteString("Progid", "someone.else");
    }
    // HKCR has no .tga, but the user has a choice: only that is kept.
    extension.Backup(BackupKey(), 3);
    EXPECT_FALSE(keyExists(HKEY_LOCAL_MACHINE, BackupKey() + ".tga"));
    EXPECT_EQ(value(HKEY_CURRENT_USER, BackupKey() + ".tga", "Progid"), "someone.else");
    TRegExtension bare;
    bare.Add(".tga", "/opt/v");
    TRegistry cleaner(KEY_ALL_ACCESS);
    cleaner.DeleteKey(BackupKey() + ".tga");
    bare.Restore(BackupKey(), 3);
    EXPECT_EQ(value(HKEY_CLASSES_ROOT, "\\.tga", ""), "tgafile");
    EXPECT_EQ(value(HKEY_CURRENT_USER, std::string(FileExts) + "\\.tga", "Progid"), "<none>");
}

TEST_F(AssociationTest, TheTwoArgumentTestIgnoresTheDotAndHonoursLetterCase) {
    TRegExtension extension;
    extension.Add(".jpg", "/usr/lib/orvalen/Orvalen_main", "Image_Viewer_1.0.jpg.File", "JPEG");
    extension.Register(1);
    EXPECT_TRUE(extension.IsRegistered(".jpg", "/usr/lib/orvalen/Orvalen_main"));
    EXPECT_TRUE(extension.IsRegistered("jpg", "/usr/lib/orvalen/Orvalen_main"));
    EXPECT_FALSE(extension.IsRegistered("jpg", "/usr/lib/orvalen/orvalen_main"));
    EXPECT_FALSE(extension.IsRegistered("jpg", "/elsewhere/Orvalen_main"));
}

TEST_F(AssociationTest, CancelChangesNoAssociationAndStoresTheLayout) {
    {
        TOptionsForm dialog;
        dialog.resize(640, 480);
        // The user narrows the first column once the list is up.
        QTimer::singleShot(30, &dialog, [&] {
            dialog.ListView1->setColumnWidth(0, 90);
            dialog.CancelClick();
        });
        EXPECT_EQ(dialog.exec(), 1);
        EXPECT_EQ(dialog.ListView1->topLevelItemCount(), 124);
        // The camera and newer formats follow the classic rows, which keep their places.
        EXPECT_EQ(dialog.ListView1->topLevelItem(111)->text(0), "YUV");
        EXPECT_EQ(dialog.ListView1->topLevelItem(112)->text(0), "DNG");
        EXPECT_EQ(dialog.ListView1->topLevelItem(123)->text(0), "AVIF");
        dialog.close();
    }
    TRegistryIniFileSpecial settings(settings_base_key, KEY_READ);
    settings.Section = "options";
    EXPECT_EQ(settings.ReadInteger("Width", 0), 640);
    EXPECT_EQ(settings.ReadInteger("listview1_column0", 0), 90);
    EXPECT_GT(settings.ReadInteger("listview1_column1", 0), 20);
    TRegExtension extension;
    EXPECT_TRUE(extension.GetRegExts().empty());
    EXPECT_EQ(notifications, 0);
}

namespace {

// Where a widget lies in the dialog's client area.
QRect boundsIn(const QWidget& dialog, const QWidget& widget) {
    return QRect(widget.mapTo(&dialog, QPoint(0, 0)), widget.size());
}

// The buttons must be reachable: inside the client area, shown, and not under the list.
void expectButtonsReachable(const TOptionsForm& dialog) {
    const QRect client = dialog.rect();
    const QRect list = boundsIn(dialog, *dialog.ListView1);
    EXPECT_TRUE(client.contains(list))
        << "list " << list.x() << "," << list.y() << " " << list.width() << "x" << list.height();
    for (const char* caption : {"Select all", "Select none", "&OK", "&Cancel"}) {
        const QPushButton* button = nullptr;
        for (const QPushButton* candidate : dialog.findChildren<QPushButton*>()) {
            if (candidate->text() == caption) {
                button = candidate;
            }
        }
        ASSERT_NE(button, nullptr) << caption;
        const QRect bounds = boundsIn(dialog, *button);
        EXPECT_TRUE(button->isVisible()) << caption;
        EXPECT_TRUE(client.contains(bounds))
            << caption << " at " << bounds.x() << "," << bounds.y() << " " << bounds.width() << "x"
            << bounds.height() << " in " << client.width() << "x" << client.height();
        EXPECT_FALSE(list.intersects(bounds)) << caption << " lies under the list";
        EXPECT_GE(bounds.top(), list.bottom()) << caption << " is not below the list";
    }
}

// The buttons sit at the bottom corners: Select all / Select none on the left, OK / Cancel on the
// right, in that order.
void expectButtonsInTheBottomCorners(const TOptionsForm& dialog) {
    const QRect client = dialog.rect();
    const QRect list = boundsIn(dialog, *dialog.ListView1);
    const QRect ok = boundsIn(dialog, *dialog.OK);
    const QRect cancel = boundsIn(dialog, *dialog.Cancel);
    EXPECT_LT(ok.right(), cancel.left());
    EXPECT_GE(cancel.right(), list.right() - 2);
    EXPECT_GE(cancel.bottom(), client.bottom() - 20);
    const QPushButton* selectAll = nullptr;
    const QPushButton* selectNone = nullptr;
    for (const QPushButton* button : dialog.findChildren<QPushButton*>()) {
        selectAll = button->text() == "Select all" ? button : selectAll;
        selectNone = button->text() == "Select none" ? button : selectNone;
    }
    ASSERT_NE(selectAll, nullptr);
    ASSERT_NE(selectNone, nullptr);
    const QRect all = boundsIn(dialog, *selectAll);
    const QRect none = boundsIn(dialog, *selectNone);
    EXPECT_LE(all.left(), list.left() + 2);
    EXPECT_LT(all.right(), none.left());
    EXPECT_LT(none.right(), ok.left());
    EXPECT_EQ(all.top(), ok.top());
}

} // namespace

TEST_F(AssociationTest, OptionsAtItsFirstSizeShowsEveryButtonAndFullFormatNames) {
    TOptionsForm dialog;
    dialog.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&dialog));
    EXPECT_EQ(dialog.size(), QSize(600, 400));
    EXPECT_EQ(dialog.windowTitle(), "OptionsForm");
    expectButtonsReachable(dialog);
    expectButtonsInTheBottomCorners(dialog);

    // Every format name fits its column beside the check box, so none is cut to "A…".
    ASSERT_EQ(dialog.ListView1->topLevelItemCount(), 124);
    const QFontMetrics metrics(dialog.ListView1->font());
    const int checkBox = dialog.ListView1->style()->pixelMetric(QStyle::PM_IndicatorWidth, nullptr,
                                                                dialog.ListView1);
    int widest = 0;
    for (int row = 0; row < dialog.ListView1->topLevelItemCount(); ++row) {
        widest = std::max(widest,
                          metrics.horizontalAdvance(dialog.ListView1->topLevelItem(row)->text(0)));
    }
    EXPECT_GE(dialog.ListView1->columnWidth(0), checkBox + widest);
    const QRect firstName = dialog.ListView1->visualRect(dialog.ListView1->model()->index(0, 0));
    EXPECT_GE(firstName.width(), checkBox + metrics.horizontalAdvance("APP1JPEG"));

    // The tree keeps the left side at its design width; a splitter separates it from the list.
    auto* splitter = dialog.findChild<QSplitter*>();
    ASSERT_NE(splitter, nullptr);
    EXPECT_EQ(splitter->orientation(), Qt::Horizontal);
    EXPECT_EQ(splitter->indexOf(dialog.TreeView1), 0);
    ASSERT_EQ(splitter->count(), 2);
    EXPECT_TRUE(splitter->widget(1)->isAncestorOf(dialog.ListView1));
    EXPECT_EQ(dialog.TreeView1->width(), 189);
    EXPECT_LT(boundsIn(dialog, *dialog.TreeView1).right(),
              boundsIn(dialog, *dialog.ListView1).left());
    dialog.CancelClick();
}

TEST_F(AssociationTest, ANarrowStoredDescriptionColumnIsReplacedByTheRestOfTheList) {
    {
        TRegistryIniFileSpecial settings(settings_base_key, KEY_ALL_ACCESS);
        settings.Section = "options";
        settings.WriteInteger("listview1_column1", 20);
    }
    TOptionsForm dialog;
    dialog.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&dialog));
    TRegistryIniFileSpecial settings(settings_base_key, KEY_READ);
    settings.Section = "options";
    // Measured on the list as the user sees it at 600 x 400, beside the first column's 50.
    EXPECT_EQ(settings.ReadInteger("listview1_column1", 0), dialog.ListView1->width() - 50);
    dialog.CancelClick();
}

TEST_F(AssociationTest, EnlargingOptionsGrowsTheListAndKeepsTheButtonsInTheCorners) {
    TOptionsForm dialog;
    dialog.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&dialog));
    const QSize listBefore = dialog.ListView1->size();
    const int treeBefore = dialog.TreeView1->width();
    dialog.resize(900, 700);
    QCoreApplication::processEvents();
    ASSERT_EQ(dialog.size(), QSize(900, 700));
    EXPECT_EQ(dialog.ListView1->width(), listBefore.width() + 300);
    EXPECT_EQ(dialog.ListView1->height(), listBefore.height() + 300);
    EXPECT_EQ(dialog.TreeView1->width(), treeBefore);
    EXPECT_EQ(dialog.TreeView1->height(), 700);
    expectButtonsReachable(dialog);
    expectButtonsInTheBottomCorners(dialog);
    dialog.CancelClick();
}

TEST_F(AssociationTest, OkWithoutChangesStillMakesTheBackupKeysAndNotifiesOnce) {
    TOptionsForm dialog;
    dialog.TabSheet1Show();
    dialog.OKClick();
    EXPECT_TRUE(keyExists(HKEY_LOCAL_MACHINE, BackupKey()));
    EXPECT_TRUE(keyExists(HKEY_CURRENT_USER, BackupKey()));
    EXPECT_EQ(notifications, 1);
    TRegExtension extension;
    EXPECT_TRUE(extension.GetRegExts().empty());
}

TEST_F(AssociationTest, CheckingJpgMakesTheLauncherTheDesktopDefaultAndUncheckingGivesItBack) {
    // An earlier default for JPEG images, as another program left it.
    std::filesystem::create_directories(folders.Data() + "/applications");
    std::ofstream(folders.Data() + "/applications/other-viewer.desktop")
        << "[Desktop Entry]\nType=Application\nName=Other\nExec=other %f\nMimeType=image/jpeg;\n";
    std::ofstream(folders.Config() + "/mimeapps.list")
        << "[Added Associations]\ntext/plain=editor.desktop;\n\n[Default Applications]\n"
           "image/jpeg=other-viewer.desktop\ntext/html=browser.desktop\n";
    const int bridge = AddAssocListener(
        [] { associations::UpdateDesktopAssociations("/opt/orvalen/OrvalenViewer"); });
    ASSERT_EQ(xdgMimeDefault(folders, "image/jpeg"), "other-viewer.desktop");
    auto check = [](TOptionsForm& dialog, const char* key, bool on) {
        for (int row = 0; row < dialog.ListView1->topLevelItemCount(); ++row) {
            QTreeWidgetItem* item = dialog.ListView1->topLevelItem(row);
            if (item->text(0) == key) {
                item->setCheckState(0, on ? Qt::Checked : Qt::Unchecked);
            }
        }
    };
    {
        TOptionsForm dialog;
        dialog.TabSheet1Show();
        check(dialog, "JPG", true);
        dialog.OKClick();
    }
    EXPECT_EQ(value(HKEY_CLASSES_ROOT, "\\.jpg", ""), "OrvalenViewerJPG.File");
    EXPECT_EQ(value(HKEY_CLASSES_ROOT, "\\OrvalenViewerJPG.File", ""), "Image File: JPG");
    EXPECT_EQ(value(HKEY_CLASSES_ROOT, "\\OrvalenViewerJPG.File\\shell\\open\\command", ""),
              "\"OrvalenViewer\" \"%1\"");
    EXPECT_EQ(xdgMimeDefault(folders, "image/jpeg"), associations::kDesktopEntry);
    {
        std::ifstream entry(folders.Data() + "/applications/" + associations::kDesktopEntry);
        const std::string text((std::istreambuf_iterator<char>(entry)), {});
        EXPECT_NE(text.find("Exec=/opt/orvalen/OrvalenViewer %f"), std::string::npos);
        EXPECT_NE(text.find("image/jpeg;"), std::string::npos);
    }
    {
        TOptionsForm dialog;
        dialog.TabSheet1Show();
        // What was applied shows checked the next time.
        bool shownChecked = false;
        for (int row = 0; row < dialog.ListView1->topLevelItemCount(); ++row) {
            QTreeWidgetItem* item = dialog.ListView1->topLevelItem(row);
            if (item->text(0) == "JPG") {
                shownChecked = item->checkState(0) == Qt::Checked;
            }
        }
        EXPECT_TRUE(shownChecked);
        check(dialog, "JPG", false);
        dialog.OKClick();
    }
    EXPECT_EQ(xdgMimeDefault(folders, "image/jpeg"), "other-viewer.desktop");
    std::ifstream list(folders.Config() + "/mimeapps.list");
    const std::string text((std::istreambuf_iterator<char>(list)), {});
    EXPECT_EQ(text, "[Added Associations]\ntext/plain=editor.desktop;\n\n[Default Applications]\n"
                    "image/jpeg=other-viewer.desktop\ntext/html=browser.desktop\n");
    RemoveAssocListener(bridge);
}
