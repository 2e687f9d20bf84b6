#include "StShellViews.h"

#include "common/ErrorReporting.h"
#include "platform/qt/FileOperations.h"

#include <QEvent>

namespace {
constexpr int kFolderRole = Qt::UserRole;
constexpr int kPlaceholderRole = Qt::UserRole + 1;
} // namespace

TStCustomShellTreeView::TStCustomShellTreeView(QWidget* owner) : QTreeWidget(owner) {
    setHeaderHidden(true);
    setColumnCount(1);
    connect(this, &QTreeWidget::itemExpanded, this,
            [this](QTreeWidgetItem* node) { ExpandOneLevel(node); });
    connect(this, &QTreeWidget::currentItemChanged, this,
            [this](QTreeWidgetItem* node, QTreeWidgetItem*) {
                if (node != nullptr && !populating_) {
                    SelectNode(node);
                }
            });
    connect(this, &QTreeWidget::itemChanged, this, [this](QTreeWidgetItem* node, int) {
        if (!populating_) {
            renameNode(node);
        }
    });
    // The root's children.
    TStShellFolder root(SpecialFolderPidl(SpecialRootFolder).List());
    populating_ = true;
    for (TStShellItem& child : ShellChildrenOf(root, false, false)) {
        addNode(nullptr, std::move(child));
    }
    populating_ = false;
}

void TStCustomShellTreeView::SetListView(TStCustomShellListView* list) {
    list_ = list;
    if (list != nullptr) {
        list->TreeView = this;
    }
}

QTreeWidgetItem* TStCustomShellTreeView::addNode(QTreeWidgetItem* parent, TStShellFolder folder) {
    auto* node = parent != nullptr ? new QTreeWidgetItem(parent) : new QTreeWidgetItem(this);
    node->setText(0, QString::fromStdString(folder.DisplayName));
    node->setData(0, kFolderRole, folders_.Add(std::move(folder)));
    if (Options & toAllowRename) {
        node->setFlags(node->flags() | Qt::ItemIsEditable);
    }
    // Children are read when the node opens; until then a placeholder gives it its arrow.
    auto* placeholder = new QTreeWidgetItem(node);
    placeholder->setData(0, kPlaceholderRole, true);
    return node;
}

TStShellFolder* TStCustomShellTreeView::FolderOf(QTreeWidgetItem* node) {
    return node != nullptr ? folders_.GetShellFolder(node->data(0, kFolderRole).toInt()) : nullptr;
}

void TStCustomShellTreeView::ExpandOneLevel(QTreeWidgetItem* node) {
    if (node == nullptr || node->childCount() != 1 ||
        !node->child(0)->data(0, kPlaceholderRole).toBool()) {
        return;
    }
    populating_ = true;
    delete node->takeChild(0);
    const TStShellFolder folder = *FolderOf(node);
    for (TStShellItem& child :
         ShellChildrenOf(folder, Options & toShowFiles, Options & toShowHidden)) {
        addNode(node, std::move(child));
    }
    populating_ = false;
}

void TStCustomShellTreeView::Refresh(QTreeWidgetItem* node) {
    if (node == nullptr) {
        return;
    }
    populating_ = true;
    while (node->childCount() > 0) {
        delete node->takeChild(0);
    }
    auto* placeholder = new QTreeWidgetItem(node);
    placeholder->setData(0, kPlaceholderRole, true);
    populating_ = false;
    if (node->isExpanded()) {
        ExpandOneLevel(node);
    }
}

QTreeWidgetItem* TStCustomShellTreeView::FindNodeByPidl(const ITEMIDLIST* pidl) {
    for (QTreeWidgetItemIterator it(this); *it != nullptr; ++it) {
        const TStShellFolder* folder = FolderOf(*it);
        if (folder != nullptr && !(*it)->data(0, kPlaceholderRole).toBool() &&
            ILIsEqual(folder->Pidl.List(), pidl)) {
            return *it;
        }
    }
    return nullptr;
}

TStShellFolder* TStCustomShellTreeView::SelectedFolder() {
    return FolderOf(currentItem());
}

void TStCustomShellTreeView::SelectNode(QTreeWidgetItem* node) {
    if (node == nullptr) {
        return;
    }
    if (currentItem() != node) {
        populating_ = true;
        setCurrentItem(node);
        populating_ = false;
    }
    TStShellFolder* folder = FolderOf(node);
    if (folder == nullptr) {
        return;
    }
    if (list_ != nullptr && !syncing_) {
        syncing_ = true;
        list_->SetFolder(folder->Pidl.List());
        syncing_ = false;
    }
    if (OnFolderSelected) {
        OnFolderSelected(*folder);
    }
}

bool TStCustomShellTreeView::ShowFolder(const ITEMIDLIST* absolute) {
    PIDL prefix;
    PIDL::Iterator items(absolute);
    QTreeWidgetItem* node = nullptr;
    for (const ITEMIDLIST* item = items.Next(); item != nullptr; item = items.Next()) {
        PIDL one;
        one.CopyFirstItem(item);
        prefix.Append(one);
        node = FindNodeByPidl(prefix.List());
        if (node == nullptr) {
            return false;
        }
        ExpandOneLevel(node);
    }
    if (node != nullptr) {
        syncing_ = true;
        SelectNode(node);
        syncing_ = false;
        scrollToItem(node);
    }
    return node != nullptr;
}

bool TStCustomShellTreeView::DeleteFolder(bool recycle, bool confirm) {
    QTreeWidgetItem* node = currentItem();
    TStShellFolder* folder = FolderOf(node);
    if (folder == nullptr || !folder->IsFileSystem || folder->Path.empty()) {
        return false;
    }
    TStFileOperation operation;
    operation.Operation = TStFileOp::fopDelete;
    operation.Options = (recycle ? foAllowUndo : 0) | (confirm ? 0 : foNoConfirmation);
    operation.SourceFiles = {folder->Path};
    if (!operation.Execute()) {
        return false;
    }
    QTreeWidgetItem* parent = node->parent();
    delete node;
    if (parent != nullptr) {
        SelectNode(parent);
    }
    return true;
}

void TStCustomShellTreeView::renameNode(QTreeWidgetItem* node) {
    TStShellFolder* folder = FolderOf(node);
    const std::string name = node->text(0).toStdString();
    if (folder == nullptr || name == folder->DisplayName) {
        return;
    }
    const std::string parent = folder->Path.substr(0, folder->Path.rfind('/'));
    const std::string target = (parent.empty() ? "" : parent) + "/" + name;
    TStFileOperation operation;
    operation.Operation = TStFileOp::fopRename;
    operation.SourceFiles = {folder->Path};
    operation.Destination = target;
    PIDL renamed;
    if (name.find('/') != std::string::npos || !folder->IsFileSystem || !operation.Execute() ||
        !renamed.FromPath(target)) {
        ReportError("The folder \"%s\" cannot be renamed to \"%s\".", folder->DisplayName.c_str(),
                    name.c_str());
        populating_ = true;
        node->setText(0, QString::fromStdString(folder->DisplayName));
        populating_ = false;
        return;
    }
    *folder = TStShellFolder(renamed.List());
    Refresh(node);
}

bool TStCustomShellTreeView::event(QEvent* event) {
    return WndProc(event);
}

bool TStCustomShellTreeView::WndProc(QEvent* event) {
    if (event->type() == QEvent::Paint && !FirstPaintDone) {
        FirstPaintDone = true;
        ShowStartFolder();
    }
    return QTreeWidget::event(event);
}

void TStCustomShellTreeView::ShowStartFolder() {
    PIDL start;
    if (!StartInFolder.empty()) {
        start.FromPath(StartInFolder);
    } else if (SpecialStartInFolder != TStSpecialRootFolder::sfNone) {
        start = SpecialFolderPidl(SpecialStartInFolder);
    }
    if (!start.IsEmpty()) {
        ShowFolder(start.List());
    }
}
