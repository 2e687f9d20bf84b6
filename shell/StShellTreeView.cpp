#include "StShellViews.h"

#include "ShellIcons.h"
#include "ShellMenu.h"
#include "common/ErrorReporting.h"
#include "platform/FileAttributes.h"
#include "platform/qt/FileOperations.h"

#include <QDrag>
#include <QDropEvent>
#include <QEvent>
#include <QMimeData>
#include <QUrl>

#include <algorithm>
#include <unordered_set>

namespace {
constexpr int kFolderRole = Qt::UserRole;
constexpr int kPlaceholderRole = Qt::UserRole + 1;
} // namespace

std::vector<std::string> DroppedPaths(const QMimeData* data) {
    std::vector<std::string> paths;
    if (data != nullptr && data->hasUrls()) {
        for (const QUrl& url : data->urls()) {
            if (url.isLocalFile() && !url.toLocalFile().isEmpty()) {
                paths.push_back(url.toLocalFile().toStdString());
            }
        }
    }
    return paths;
}

void DropFilesInto(QDropEvent* event, const std::string& folder) {
    const std::vector<std::string> paths = DroppedPaths(event->mimeData());
    const bool copy =
        event->dropAction() == Qt::CopyAction || !(event->possibleActions() & Qt::MoveAction);
    if (!paths.empty() && !folder.empty()) {
        TStFileOperation operation;
        operation.Operation = copy ? TStFileOp::fopCopy : TStFileOp::fopMove;
        operation.Options = foNoConfirmation | foRenameCollision;
        operation.SourceFiles = paths;
        operation.Destination = folder;
        if (!operation.Execute()) {
            ReportError("Not everything could be %s to \"%s\".", copy ? "copied" : "moved",
                        folder.c_str());
        }
    }
    event->setDropAction(Qt::CopyAction);
    event->accept();
}

QMimeData* DragDataOf(const std::vector<std::string>& paths) {
    QList<QUrl> urls;
    for (const std::string& path : paths) {
        urls.append(QUrl::fromLocalFile(QString::fromStdString(path)));
    }
    auto* data = new QMimeData;
    data->setUrls(urls);
    return data;
}

TStCustomShellTreeView::TStCustomShellTreeView(QWidget* owner) : QTreeWidget(owner) {
    setHeaderHidden(true);
    setColumnCount(1);
    setDragEnabled(true);
    setAcceptDrops(true);
    setDragDropMode(QAbstractItemView::DragDrop);
    hoverTimer_.setSingleShot(true);
    connect(&hoverTimer_, &QTimer::timeout, this, [this] {
        QTreeWidgetItem* node = itemFromIndex(hoverNode_);
        if (node != nullptr && !node->isExpanded()) {
            expandItem(node);
        }
    });
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
    changeTimer_.setSingleShot(true);
    changeTimer_.setInterval(100);
    connect(&watcher_, &QFileSystemWatcher::directoryChanged, this, [this](const QString& path) {
        const std::string changed = path.toStdString();
        if (std::find(changed_.begin(), changed_.end(), changed) == changed_.end()) {
            changed_.push_back(changed);
        }
        changeTimer_.start();
    });
    connect(&changeTimer_, &QTimer::timeout, this, [this] {
        const std::vector<std::string> changed = std::move(changed_);
        changed_.clear();
        for (const std::string& path : changed) {
            FolderChanged(path);
        }
    });
    RebuildRoots();
}

bool TStCustomShellTreeView::accepted(const TStShellItem& item) const {
    return !Filtered || !OnFilterItem || OnFilterItem(item);
}

void TStCustomShellTreeView::RebuildRoots() {
    builtRoot_ = SpecialRootFolder;
    builtRootFolder_ = RootFolder;
    populating_ = true;
    clear();
    folders_.Clear();
    if (!watcher_.directories().isEmpty()) {
        watcher_.removePaths(watcher_.directories());
    }
    PIDL folder;
    if (!RootFolder.empty() && folder.FromPath(RootFolder)) {
        addNode(nullptr, TStShellFolder(folder.List()));
    } else {
        TStShellFolder root(SpecialFolderPidl(SpecialRootFolder).List());
        for (TStShellItem& child : ShellChildrenOf(root, false, Options & toShowHidden)) {
            if (accepted(child)) {
                addNode(nullptr, std::move(child));
            }
        }
    }
    populating_ = false;
}

void TStCustomShellTreeView::ensureRoots() {
    if (builtRoot_ != SpecialRootFolder || builtRootFolder_ != RootFolder) {
        RebuildRoots();
    }
}

void TStCustomShellTreeView::contextMenuEvent(QContextMenuEvent* event) {
    QTreeWidgetItem* node = itemAt(viewport()->mapFromGlobal(event->globalPos()));
    if (!(Options & toShellMenu) || node == nullptr || FolderOf(node) == nullptr) {
        QTreeWidget::contextMenuEvent(event);
        return;
    }
    ShowFolderMenu(*this, node, event->globalPos());
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
    node->setIcon(0, IconOfItem(folder));
    if ((Options & toColorCompressed) && folder.IsFileSystem &&
        platform::IsCompressedFile(folder.Path)) {
        node->setForeground(0, CompressedColor);
    }
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
        if (accepted(child)) {
            addNode(node, std::move(child));
        }
    }
    populating_ = false;
    if (folder.IsFileSystem && !folder.Path.empty()) {
        watcher_.addPath(QString::fromStdString(folder.Path));
    }
}

void TStCustomShellTreeView::FolderChanged(const std::string& path) {
    std::vector<QTreeWidgetItem*> nodes;
    for (QTreeWidgetItemIterator it(this); *it != nullptr; ++it) {
        const TStShellFolder* folder = FolderOf(*it);
        if (folder != nullptr && folder->Path == path &&
            !(*it)->data(0, kPlaceholderRole).toBool()) {
            nodes.push_back(*it);
        }
    }
    for (QTreeWidgetItem* node : nodes) {
        mergeChildren(node);
    }
}

void TStCustomShellTreeView::mergeChildren(QTreeWidgetItem* node) {
    if (node->childCount() == 1 && node->child(0)->data(0, kPlaceholderRole).toBool()) {
        return; // never opened: read when it is
    }
    const TStShellFolder folder = *FolderOf(node);
    std::vector<TStShellItem> now =
        ShellChildrenOf(folder, Options & toShowFiles, Options & toShowHidden);
    std::unordered_set<std::string> present;
    for (const TStShellItem& item : now) {
        present.insert(item.DisplayName);
    }
    populating_ = true;
    // Gone: a selection inside moves to this node.
    for (int i = node->childCount() - 1; i >= 0; --i) {
        QTreeWidgetItem* child = node->child(i);
        const TStShellFolder* shown = FolderOf(child);
        if (shown != nullptr && present.count(shown->DisplayName) != 0) {
            continue;
        }
        bool selectedInside = false;
        for (QTreeWidgetItem* at = currentItem(); at != nullptr; at = at->parent()) {
            selectedInside = selectedInside || at == child;
        }
        delete node->takeChild(i);
        if (selectedInside) {
            populating_ = false;
            SelectNode(node);
            populating_ = true;
        }
    }
    // New: both lists are in the same order, so each goes where the first differs.
    int at = 0;
    for (TStShellItem& item : now) {
        QTreeWidgetItem* child = node->child(at);
        const TStShellFolder* shown = FolderOf(child);
        if (shown == nullptr || shown->DisplayName != item.DisplayName) {
            QTreeWidgetItem* added = addNode(node, std::move(item));
            node->takeChild(node->indexOfChild(added));
            node->insertChild(at, added);
        }
        ++at;
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
    ensureRoots();
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
        QTreeWidgetItem* found = FindNodeByPidl(prefix.List());
        if (found == nullptr) {
            if (node == nullptr) {
                continue; // above the tree's root: its nodes start further down
            }
            return false;
        }
        node = found;
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

void TStCustomShellTreeView::startDrag(Qt::DropActions) {
    const TStShellFolder* folder = SelectedFolder();
    if (!(Options & toAllowDrag) || folder == nullptr || !folder->IsFileSystem ||
        folder->Path.empty()) {
        return;
    }
    auto* drag = new QDrag(this);
    drag->setMimeData(DragDataOf({folder->Path}));
    drag->exec(Qt::CopyAction | Qt::MoveAction, Qt::MoveAction);
}

void TStCustomShellTreeView::dragEnterEvent(QDragEnterEvent* event) {
    if ((Options & toAllowDrop) && !DroppedPaths(event->mimeData()).empty()) {
        event->acceptProposedAction();
    } else {
        event->ignore();
    }
}

void TStCustomShellTreeView::dragMoveEvent(QDragMoveEvent* event) {
    QTreeWidgetItem* node = itemAt(event->position().toPoint());
    if (node != itemFromIndex(hoverNode_)) {
        hoverNode_ = QPersistentModelIndex(indexFromItem(node));
        hoverTimer_.stop();
        if (node != nullptr && !node->isExpanded() && node->childCount() > 0) {
            hoverTimer_.start(ExpandInterval);
        }
    }
    const TStShellFolder* folder = FolderOf(node);
    if ((Options & toAllowDrop) && folder != nullptr && folder->IsFileSystem &&
        !folder->Path.empty()) {
        event->acceptProposedAction();
    } else {
        event->ignore();
    }
}

void TStCustomShellTreeView::dragLeaveEvent(QDragLeaveEvent* event) {
    hoverNode_ = QPersistentModelIndex();
    hoverTimer_.stop();
    event->accept();
}

void TStCustomShellTreeView::dropEvent(QDropEvent* event) {
    hoverNode_ = QPersistentModelIndex();
    hoverTimer_.stop();
    const TStShellFolder* folder = FolderOf(itemAt(event->position().toPoint()));
    if (!(Options & toAllowDrop) || folder == nullptr || !folder->IsFileSystem ||
        folder->Path.empty()) {
        event->ignore();
        return;
    }
    DropFilesInto(event, folder->Path);
}

bool TStCustomShellTreeView::event(QEvent* event) {
    if (event->type() == QEvent::Paint) {
        ensureRoots(); // the owner may have set the root after construction
        if (!topExpanded_) {
            topExpanded_ = true;
            if ((Options & toExpandTopNode) && topLevelItemCount() > 0) {
                ExpandOneLevel(topLevelItem(0));
                topLevelItem(0)->setExpanded(true);
            }
        }
    }
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
