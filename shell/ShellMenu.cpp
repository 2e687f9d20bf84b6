#include "ShellMenu.h"

#include "ShellIcons.h"
#include "StShellViews.h"
#include "display/ExifSummary.h"
#include "display/ImageDecoder.h"
#include "platform/Shell.h"
#include "platform/qt/DesktopApplications.h"
#include "platform/qt/FileClipboard.h"
#include "platform/qt/FileOperations.h"

#include <QDateTime>
#include <QDialog>
#include <QDialogButtonBox>
#include <QFileInfo>
#include <QFormLayout>
#include <QLabel>
#include <QLocale>
#include <QMenu>
#include <QMessageBox>
#include <QVBoxLayout>

bool PasteFilesInto(const platform::ClipboardFiles& files, const std::string& folder,
                    QWidget* owner) {
    if (files.paths.empty() || folder.empty()) {
        return false;
    }
    std::string from;
    for (const std::string& path : files.paths) {
        from += path;
        from += '\0';
    }
    from += '\0';
    SHFILEOPSTRUCTA operation{};
    operation.wFunc = files.cut ? FO_MOVE : FO_COPY;
    operation.pFrom = from.c_str();
    operation.pTo = folder.c_str();
    operation.fFlags = FOF_RENAMEONCOLLISION | FOF_NOCONFIRMATION | FOF_NOCONFIRMMKDIR;
    const int result = SHFileOperationA(&operation);
    if (files.cut) {
        platform::ClearClipboard(); // what was cut is where it went; a second paste has nothing
    }
    if (result != 0) {
        QMessageBox::warning(
            owner, "Paste",
            QString("Not every file could be pasted into %1.").arg(QString::fromStdString(folder)));
        return false;
    }
    return true;
}

QMenu* MakeShellMenu(TStCustomShellListView& list) {
    auto* menu = new QMenu(&list);
    TStShellItemList selection = list.SelectedItems();
    std::vector<std::string> paths;
    for (TStShellItem& item : selection.Items()) {
        if (item.IsFileSystem && !item.Path.empty()) {
            paths.push_back(item.Path);
        }
    }
    const bool one = selection.GetCount() == 1;
    const bool writable = !list.ReadOnly;

    if (selection.GetCount() > 0) {
        QAction* open = menu->addAction("&Open", &list, [&list] {
            if (QTreeWidgetItem* row = list.currentItem()) {
                emit list.itemDoubleClicked(row, 0); // what a double click would do
            }
        });
        open->setEnabled(one);
        QFont bold = open->font();
        bold.setBold(true);
        open->setFont(bold);
    }
    if (one && selection.GetShellItem(0)->IsFile) {
        const TStShellItem item = *selection.GetShellItem(0);
        QMenu* with = menu->addMenu("Open &With");
        for (const platform::DesktopApplication& application :
             platform::ApplicationsForMimeType(MimeTypeOfName(item.DisplayName))) {
            const QIcon icon = QIcon::fromTheme(QString::fromStdString(application.icon));
            with->addAction(icon, QString::fromStdString(application.name), &list,
                            [application, path = item.Path, &list] {
                                if (!platform::LaunchApplication(application, {path})) {
                                    QMessageBox::warning(
                                        &list, "Open With",
                                        QString("%1 could not be started.")
                                            .arg(QString::fromStdString(application.name)));
                                }
                            });
        }
        with->setEnabled(!with->actions().isEmpty());
    }
    menu->addSeparator();
    if (!paths.empty()) {
        menu->addAction("Cu&t", &list, [&list] { list.CopySelectionToClipboard(true); })
            ->setEnabled(writable);
        menu->addAction("&Copy", &list, [&list] { list.CopySelectionToClipboard(false); });
    }
    QAction* paste = menu->addAction("&Paste", &list, [&list] { list.PasteFromClipboard(); });
    paste->setEnabled(writable && list.Folder.IsFileSystem &&
                      !platform::GetClipboardFiles().paths.empty());
    if (!paths.empty()) {
        menu->addSeparator();
        menu->addAction("Rena&me", &list, [&list] { list.EditItemCaption(list.ItemIndex()); })
            ->setEnabled(one && writable && (list.Options & loAllowRename));
        menu->addAction("Move to T&rash", &list, [&list] { list.DeleteItem(true, true); })
            ->setEnabled(writable);
        menu->addAction("&Delete", &list, [&list] { list.DeleteItem(false, true); })
            ->setEnabled(writable);
        menu->addSeparator();
        menu->addAction("P&roperties", &list,
                        [&list, item = *selection.GetShellItem(0)] { ShowProperties(&list, item); })
            ->setEnabled(one);
    }
    return menu;
}

QMenu* MakeFolderMenu(TStCustomShellTreeView& tree, QTreeWidgetItem* node) {
    auto* menu = new QMenu(&tree);
    const TStShellFolder* found = tree.FolderOf(node);
    if (found == nullptr) {
        return menu;
    }
    const TStShellFolder folder = *found;
    // The node is found again when a choice is made: the tree may have changed meanwhile.
    auto nodeNow = [&tree, pidl = folder.Pidl] { return tree.FindNodeByPidl(pidl.List()); };
    const bool files = folder.IsFileSystem && !folder.Path.empty() && folder.Path != "/";
    QAction* open = menu->addAction("&Open", &tree, [&tree, nodeNow] {
        if (QTreeWidgetItem* now = nodeNow()) {
            tree.SelectNode(now);
        }
    });
    QFont bold = open->font();
    bold.setBold(true);
    open->setFont(bold);
    menu->addSeparator();
    menu->addAction("Cu&t", &tree,
                    [path = folder.Path] { platform::SetClipboardFiles({path}, true); })
        ->setEnabled(files);
    menu->addAction("&Copy", &tree,
                    [path = folder.Path] { platform::SetClipboardFiles({path}, false); })
        ->setEnabled(files);
    menu->addAction("&Paste", &tree,
                    [&tree, nodeNow, path = folder.Path] {
                        if (PasteFilesInto(platform::GetClipboardFiles(), path, tree.window())) {
                            if (QTreeWidgetItem* now = nodeNow()) {
                                tree.Refresh(now);
                            }
                        }
                    })
        ->setEnabled(folder.IsFileSystem && !folder.Path.empty() &&
                     !platform::GetClipboardFiles().paths.empty());
    menu->addSeparator();
    menu->addAction("Rena&me", &tree,
                    [&tree, nodeNow] {
                        if (QTreeWidgetItem* now = nodeNow()) {
                            tree.editItem(now, 0);
                        }
                    })
        ->setEnabled(files && (tree.Options & toAllowRename));
    for (const bool recycle : {true, false}) {
        menu->addAction(recycle ? "Move to T&rash" : "&Delete", &tree,
                        [&tree, nodeNow, recycle] {
                            if (QTreeWidgetItem* now = nodeNow()) {
                                tree.setCurrentItem(now);
                                tree.DeleteFolder(recycle, true);
                            }
                        })
            ->setEnabled(files);
    }
    menu->addSeparator();
    menu->addAction("P&roperties", &tree, [&tree, folder] { ShowProperties(&tree, folder); });
    return menu;
}

void ShowFolderMenu(TStCustomShellTreeView& tree, QTreeWidgetItem* node, const QPoint& globalPos) {
    QMenu* menu = MakeFolderMenu(tree, node);
    menu->setAttribute(Qt::WA_DeleteOnClose);
    menu->popup(globalPos);
}

void ShowShellMenu(TStCustomShellListView& list, const QPoint& globalPos) {
    QMenu* menu = MakeShellMenu(list);
    menu->setAttribute(Qt::WA_DeleteOnClose);
    menu->popup(globalPos);
}

std::vector<std::pair<std::string, std::string>> PropertiesOf(const TStShellItem& item) {
    std::vector<std::pair<std::string, std::string>> lines;
    const QLocale locale;
    lines.emplace_back("Name", item.DisplayName);
    const std::string type = item.IsFolder ? "Folder" : MimeTypeOfName(item.DisplayName);
    lines.emplace_back("Type", type);
    if (!item.IsFileSystem) {
        return lines;
    }
    const QFileInfo info(QString::fromStdString(item.Path));
    lines.emplace_back("Location", info.absolutePath().toStdString());
    if (item.IsFile) {
        lines.emplace_back("Size", locale.formattedDataSize(info.size()).toStdString() + " (" +
                                       locale.toString(info.size()).toStdString() + " bytes)");
    }
    auto when = [&locale](const QDateTime& time) {
        return time.isValid() ? locale.toString(time, QLocale::LongFormat).toStdString()
                              : std::string("unknown");
    };
    lines.emplace_back("Modified", when(info.lastModified()));
    if (info.birthTime().isValid()) {
        lines.emplace_back("Created", when(info.birthTime()));
    }
    lines.emplace_back("Accessed", when(info.lastRead()));
    if (!item.IsFile) {
        return lines;
    }
    const engine::DecodeResult ping = engine::PingImageFile(item.Path);
    if (ping.image) {
        lines.emplace_back("Dimensions", std::to_string(ping.image->columns) + " x " +
                                             std::to_string(ping.image->rows) + " pixels");
        lines.emplace_back("Format", ping.image->magick);
        for (const auto& line : engine::ExifSummaryOfFile(item.Path)) {
            lines.push_back(line);
        }
    }
    return lines;
}

void ShowProperties(QWidget* owner, const TStShellItem& item) {
    QDialog dialog(owner);
    dialog.setWindowTitle(QString::fromStdString(item.DisplayName) + " Properties");
    auto* layout = new QVBoxLayout(&dialog);
    auto* form = new QFormLayout();
    for (const auto& [label, text] : PropertiesOf(item)) {
        auto* value = new QLabel(QString::fromStdString(text));
        value->setTextInteractionFlags(Qt::TextSelectableByMouse);
        form->addRow(QString::fromStdString(label) + ":", value);
    }
    layout->addLayout(form);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Close);
    QObject::connect(buttons, &QDialogButtonBox::rejected, &dialog, &QDialog::reject);
    layout->addWidget(buttons);
    dialog.exec();
}
