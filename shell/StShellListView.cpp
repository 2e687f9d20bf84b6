#include "StShellViews.h"

#include "ShellIcons.h"
#include "ShellMenu.h"
#include "ThumbnailGrid.h"
#include "common/ErrorReporting.h"
#include "platform/FileAttributes.h"
#include "platform/Shell.h"
#include "platform/qt/FileClipboard.h"
#include "platform/qt/FileOperations.h"

#include <QDateTime>
#include <QDrag>
#include <QDropEvent>
#include <QHeaderView>
#include <QKeyEvent>
#include <QMimeData>
#include <QRegularExpression>
#include <QScrollBar>
#include <QtConcurrent/QtConcurrentRun>

#include <algorithm>

int TStCustomShellListView::ClickedColumn = 0;

namespace {

std::string typeOf(const TStShellItem& item) {
    if (item.IsFolder) {
        return "Folder";
    }
    const std::size_t dot = item.DisplayName.rfind('.');
    if (dot == std::string::npos || dot == 0) {
        return "File";
    }
    std::string extension = item.DisplayName.substr(dot + 1);
    std::transform(extension.begin(), extension.end(), extension.begin(), ::toupper);
    return extension + " File";
}

// Rows made at once when a listing arrives (more than a window shows), then per turn of the event
// loop (a few milliseconds each).
constexpr int kFirstRows = 200;
constexpr int kRowsPerTurn = 250;

// Items come name-sorted from the folder; other columns sort stably, folders first.
void orderByColumn(std::vector<TStShellItem>& items, int column) {
    if (column == 0) {
        return;
    }
    std::stable_sort(items.begin(), items.end(),
                     [column](const TStShellItem& a, const TStShellItem& b) {
                         if (a.IsFolder != b.IsFolder) {
                             return a.IsFolder;
                         }
                         switch (column) {
                         case 1:
                             return a.Size < b.Size;
                         case 2:
                             return typeOf(a) < typeOf(b);
                         default:
                             return a.Modified < b.Modified;
                         }
                     });
}

} // namespace

TStCustomShellListView::TStCustomShellListView(QWidget* owner) : QTreeWidget(owner) {
    setColumnCount(4);
    setHeaderLabels({"Name", "Size", "Type", "Modified"});
    setRootIsDecorated(false);
    setSelectionMode(QAbstractItemView::ExtendedSelection);
    setUniformRowHeights(true);
    setEditTriggers(QAbstractItemView::EditKeyPressed);
    setDragEnabled(true);
    setAcceptDrops(true);
    setDragDropMode(QAbstractItemView::DragDrop);
    header()->setSectionsClickable(true);
    connect(header(), &QHeaderView::sectionClicked, this,
            [this](int column) { ColumnClicked(column); });
    connect(this, &QTreeWidget::itemDoubleClicked, this,
            [this](QTreeWidgetItem* row, int) { rowDoubleClicked(row); });
    connect(this, &QTreeWidget::itemChanged, this, [this](QTreeWidgetItem* row, int column) {
        if (!filling_ && column == 0) {
            captionEdited(row);
        }
    });
    changed_.setSingleShot(true);
    changed_.setInterval(100);
    connect(&changed_, &QTimer::timeout, this, [this] { Refresh(); });
    connect(&watcher_, &QFileSystemWatcher::directoryChanged, this, [this] { changed_.start(); });
    connect(&listing_, &QFutureWatcherBase::finished, this, [this] { applyListing(); });
    moreRows_.setSingleShot(true);
    moreRows_.setInterval(0);
    connect(&moreRows_, &QTimer::timeout, this, [this] { addRows(kRowsPerTurn); });
    connect(selectionModel(), &QItemSelectionModel::selectionChanged, this, [this] {
        if (OnContentsChanged) {
            OnContentsChanged();
        }
    });
}

bool TStCustomShellListView::SetFolder(const ITEMIDLIST* absolute) {
    TStShellFolder folder(absolute);
    if (!folder.IsFolder) {
        return false;
    }
    if (!watcher_.directories().isEmpty()) {
        watcher_.removePaths(watcher_.directories());
    }
    Folder = std::move(folder);
    // The old folder's rows go at once: nothing may act on them while the new ones are read.
    filling_ = true;
    clear();
    filling_ = false;
    items_.Clear();
    filtered_.Clear();
    rowsMade_ = 0;
    moreRows_.stop();
    keepScroll_ = -1;
    if (grid_ != nullptr) {
        grid_->FolderChanged();
    }
    if (OnContentsChanged) {
        OnContentsChanged();
    }
    startListing({});
    if (Folder.IsFileSystem) {
        watcher_.addPath(QString::fromStdString(Folder.Path));
    }
    if (TreeView != nullptr) {
        TreeView->ShowFolder(Folder.Pidl.List());
    }
    if (ComboBox != nullptr) {
        ComboBox->ShowFolder(Folder);
    }
    return true;
}

void TStCustomShellListView::Refresh() {
    std::unordered_set<std::string> selected =
        listingPending_ ? keepSelected_ : std::unordered_set<std::string>();
    for (QTreeWidgetItem* row : selectedItems()) {
        selected.insert(row->text(0).toStdString());
    }
    if (!listingPending_) {
        keepScroll_ = verticalScrollBar()->value();
    }
    startListing(std::move(selected));
}

void TStCustomShellListView::startListing(std::unordered_set<std::string> keepSelected) {
    keepSelected_ = std::move(keepSelected);
    listingPending_ = true;
    listing_.setFuture(
        QtConcurrent::run([folder = Folder, hidden = (Options & loShowHidden) != 0,
                           column = sortColumn_, compressed = (Options & loColorCompressed) != 0] {
            std::vector<TStShellItem> items = ShellChildrenOf(folder, true, hidden);
            if (compressed) {
                for (TStShellItem& item : items) {
                    item.IsCompressed = item.IsFileSystem && platform::IsCompressedFile(item.Path);
                }
            }
            orderByColumn(items, column);
            return items;
        }));
}

void TStCustomShellListView::applyListing() {
    if (!listingPending_ || !listing_.isFinished()) {
        return; // an earlier reading, replaced before it ended
    }
    listingPending_ = false;
    items_.Clear();
    for (TStShellItem& item : listing_.future().takeResult()) {
        items_.Add(std::move(item));
    }
    fillRows();
}

bool TStCustomShellListView::IsListing() const {
    return listingPending_ || rowsMade_ < filtered_.GetCount();
}

void TStCustomShellListView::WaitUntilListed() {
    if (listingPending_) {
        listing_.waitForFinished();
        applyListing();
    }
    addRows(filtered_.GetCount());
}

bool TStCustomShellListView::passesFilter(const TStShellItem& item,
                                          const QList<QRegularExpression>& patterns) const {
    if (OnFilterItem) {
        return OnFilterItem(item);
    }
    if (!Filtered || Filter.empty() || item.IsFolder) {
        return true;
    }
    for (const QRegularExpression& expression : patterns) {
        if (expression.match(QString::fromStdString(item.DisplayName)).hasMatch()) {
            return true;
        }
    }
    return false;
}

void TStCustomShellListView::fillRows() {
    filling_ = true;
    clear();
    filling_ = false;
    filtered_.Clear();
    // The filter's patterns are compiled once per fill, not once per item.
    QList<QRegularExpression> patterns;
    for (const QString& pattern : QString::fromStdString(Filter).split(';', Qt::SkipEmptyParts)) {
        patterns.append(
            QRegularExpression(QRegularExpression::wildcardToRegularExpression(pattern.trimmed()),
                               QRegularExpression::CaseInsensitiveOption));
    }
    for (TStShellItem& item : items_.Items()) {
        if (passesFilter(item, patterns)) {
            filtered_.Add(item);
        }
    }
    rowsMade_ = 0;
    addRows(kFirstRows);
}

void TStCustomShellListView::addRows(int count) {
    moreRows_.stop();
    const int total = filtered_.GetCount();
    const int end = std::min(total, rowsMade_ + count);
    if (rowsMade_ >= end) {
        return;
    }
    filling_ = true;
    QList<QTreeWidgetItem*> rows;
    rows.reserve(end - rowsMade_);
    QList<QTreeWidgetItem*> selected;
    const QLocale locale;
    for (int i = rowsMade_; i < end; ++i) {
        const int index = direction_ == TStSortDirection::sdDescending ? total - 1 - i : i;
        const TStShellItem& item = *filtered_.GetShellItem(index);
        auto* row = new QTreeWidgetItem();
        row->setText(0, QString::fromStdString(item.DisplayName));
        row->setText(1, item.IsFolder ? QString() : locale.formattedDataSize(item.Size));
        row->setText(2, QString::fromStdString(typeOf(item)));
        row->setText(3, item.Modified != 0
                            ? locale.toString(QDateTime::fromSecsSinceEpoch(item.Modified),
                                              QLocale::ShortFormat)
                            : QString());
        row->setData(0, Qt::UserRole, index);
        row->setIcon(0, IconOfItem(item));
        if (item.IsCompressed && (Options & loColorCompressed)) {
            row->setForeground(0, CompressedColor);
        }
        if ((Options & loAllowRename) && !ReadOnly && item.IsFileSystem) {
            row->setFlags(row->flags() | Qt::ItemIsEditable);
        }
        if (keepSelected_.count(item.DisplayName) != 0) {
            selected.append(row);
        }
        rows.append(row);
    }
    addTopLevelItems(rows);
    for (QTreeWidgetItem* row : selected) {
        row->setSelected(true);
    }
    rowsMade_ = end;
    filling_ = false;
    if (keepScroll_ >= 0 && (verticalScrollBar()->maximum() >= keepScroll_ || end == total)) {
        verticalScrollBar()->setValue(keepScroll_);
        keepScroll_ = -1;
    }
    if (end < total) {
        moreRows_.start(); // the rest after the window has had its turn
    }
    if (OnContentsChanged) {
        OnContentsChanged();
    }
}

TStShellItemList* TStCustomShellListView::GetShellItems() {
    if (listingPending_) {
        listing_.waitForFinished();
        applyListing();
    }
    return (Filtered && !Filter.empty() && !OnFilterItem) ? &filtered_ : &items_;
}

TStShellItem* TStCustomShellListView::ItemOfRow(int row) {
    QTreeWidgetItem* item = topLevelItem(row);
    return item != nullptr ? filtered_.GetShellItem(item->data(0, Qt::UserRole).toInt()) : nullptr;
}

TStShellItem* TStCustomShellListView::SelectedItem() {
    QTreeWidgetItem* row = currentItem();
    if (row == nullptr || !row->isSelected()) {
        const QList<QTreeWidgetItem*> rows = selectedItems();
        row = rows.isEmpty() ? nullptr : rows.front();
    }
    return row != nullptr ? ItemOfRow(indexOfTopLevelItem(row)) : nullptr;
}

TStShellItemList TStCustomShellListView::SelectedItems() {
    TStShellItemList selected;
    for (int row = 0; row < topLevelItemCount(); ++row) {
        if (topLevelItem(row)->isSelected()) {
            selected.Add(*ItemOfRow(row));
        }
    }
    return selected;
}

int TStCustomShellListView::ItemIndex() const {
    return currentItem() != nullptr ? indexOfTopLevelItem(currentItem()) : -1;
}

void TStCustomShellListView::ColumnClicked(int column) {
    if (column == ClickedColumn && column == sortColumn_) {
        direction_ = direction_ == TStSortDirection::sdAscending ? TStSortDirection::sdDescending
                                                                 : TStSortDirection::sdAscending;
        fillRows(); // the item list keeps its order; only the rows turn round
        return;
    }
    ClickedColumn = column;
    sortColumn_ = column;
    direction_ = TStSortDirection::sdAscending;
    if (listingPending_) {
        startListing(keepSelected_); // the reading under way sorts by the new column
        return;
    }
    std::vector<TStShellItem>& items = items_.Items();
    SortByName(items);
    orderByColumn(items, column);
    fillRows();
}

void TStCustomShellListView::MoveUpOneLevel() {
    if (Folder.Pidl.IsEmpty()) {
        return;
    }
    // The list without its last item.
    PIDL parent;
    PIDL::Iterator items(Folder.Pidl.List());
    std::vector<const ITEMIDLIST*> all;
    for (const ITEMIDLIST* item = items.Next(); item != nullptr; item = items.Next()) {
        all.push_back(item);
    }
    for (std::size_t i = 0; i + 1 < all.size(); ++i) {
        PIDL one;
        one.CopyFirstItem(all[i]);
        parent.Append(one);
    }
    SetFolder(parent.List());
}

bool TStCustomShellListView::DeleteItem(bool recycle, bool confirm) {
    TStShellItemList selected = SelectedItems();
    if (selected.GetCount() == 0) {
        return false;
    }
    TStFileOperation operation;
    operation.Operation = TStFileOp::fopDelete;
    operation.Options = (recycle ? foAllowUndo : 0) | (confirm ? 0 : foNoConfirmation);
    for (TStShellItem& item : selected.Items()) {
        if (item.IsFileSystem && !item.Path.empty()) {
            operation.SourceFiles.push_back(item.Path);
        }
    }
    const bool done = !operation.SourceFiles.empty() && operation.Execute();
    Refresh();
    return done;
}

bool TStCustomShellListView::RenameItem(const std::string& newName) {
    TStShellItem* item = SelectedItem();
    if (item == nullptr || !item->IsFileSystem || newName.empty() ||
        newName.find('/') != std::string::npos) {
        return false;
    }
    TStFileOperation operation;
    operation.Operation = TStFileOp::fopRename;
    operation.SourceFiles = {item->Path};
    const std::string folder = item->Path.substr(0, item->Path.rfind('/'));
    operation.Destination = folder + "/" + newName;
    const bool done = operation.Execute();
    Refresh();
    return done;
}

void TStCustomShellListView::rowDoubleClicked(QTreeWidgetItem* row) {
    TStShellItem* found = ItemOfRow(indexOfTopLevelItem(row));
    if (found == nullptr) {
        return;
    }
    TStShellItem item = *found;
    bool defaultAction = true;
    if (OnItemDblClick) {
        OnItemDblClick(this, item, defaultAction);
    }
    if (!defaultAction) {
        return;
    }
    if (item.IsFolder) {
        SetFolder(item.Pidl.List());
    } else if (item.IsFile) {
        ShellExecuteA(0, "Open", item.Path.c_str(), nullptr, nullptr, SW_SHOWNORMAL);
    }
}

void TStCustomShellListView::EditItemCaption(int index) {
    QTreeWidgetItem* row = topLevelItem(index);
    if (row == nullptr) {
        return;
    }
    setCurrentItem(row);
    if (grid_ != nullptr && grid_->isVisible()) {
        if (OnEditing && !OnEditing()) {
            return;
        }
        grid_->edit(indexFromItem(row));
    } else {
        editItem(row, 0);
    }
}

bool TStCustomShellListView::IsEditing() const {
    return state() == QAbstractItemView::EditingState || (grid_ != nullptr && grid_->IsEditing());
}

void TStCustomShellListView::SetViewStyle(TViewStyle style, int thumbnailEdge) {
    viewStyle_ = style;
    if (style == TViewStyle::vsIcon) {
        if (grid_ == nullptr) {
            grid_ = new ThumbnailGrid(this);
            grid_->addActions(actions()); // the list's shortcuts work in the grid too
        }
        grid_->SetEdge(thumbnailEdge);
        grid_->setGeometry(rect());
        const bool focused = hasFocus();
        grid_->show();
        grid_->raise();
        setFocusProxy(grid_);
        if (focused) {
            grid_->setFocus();
        }
        if (currentIndex().isValid()) {
            grid_->scrollTo(currentIndex());
        }
    } else if (grid_ != nullptr) {
        const bool focused = grid_->hasFocus();
        setFocusProxy(nullptr);
        grid_->hide();
        grid_->Thumbnails().Clear(); // no decoding for a grid nobody sees
        if (focused) {
            setFocus();
        }
        if (currentItem() != nullptr) {
            scrollToItem(currentItem());
        }
    }
}

void TStCustomShellListView::resizeEvent(QResizeEvent* event) {
    QTreeWidget::resizeEvent(event);
    if (grid_ != nullptr) {
        grid_->setGeometry(rect());
    }
}

void TStCustomShellListView::contextMenuEvent(QContextMenuEvent* event) {
    if (!ShowContextMenu(event->globalPos())) {
        QTreeWidget::contextMenuEvent(event);
    }
}

bool TStCustomShellListView::ShowContextMenu(const QPoint& globalPos) {
    if (!(Options & loShellMenu)) {
        return false;
    }
    // A click on empty space clears the selection: the menu is then the folder's (Paste).
    QTreeWidgetItem* row = itemAt(viewport()->mapFromGlobal(globalPos));
    if (grid_ != nullptr && grid_->isVisible()) {
        const QModelIndex index = grid_->indexAt(grid_->viewport()->mapFromGlobal(globalPos));
        row = index.isValid() ? topLevelItem(index.row()) : nullptr;
    }
    if (row == nullptr) {
        clearSelection();
    } else if (!row->isSelected()) {
        clearSelection();
        setCurrentItem(row);
        row->setSelected(true);
    }
    ShowShellMenu(*this, globalPos);
    return true;
}

void TStCustomShellListView::CopySelectionToClipboard(bool cut) {
    std::vector<std::string> paths;
    TStShellItemList selected = SelectedItems();
    for (TStShellItem& item : selected.Items()) {
        if (item.IsFileSystem && !item.Path.empty()) {
            paths.push_back(item.Path);
        }
    }
    if (!paths.empty()) {
        platform::SetClipboardFiles(paths, cut);
    }
}

bool TStCustomShellListView::PasteFromClipboard() {
    if (ReadOnly || !Folder.IsFileSystem) {
        return false;
    }
    const bool done = PasteFilesInto(platform::GetClipboardFiles(), Folder.Path, window());
    Refresh();
    return done;
}

bool TStCustomShellListView::edit(const QModelIndex& index, EditTrigger trigger, QEvent* event) {
    if (trigger != QAbstractItemView::NoEditTriggers && state() != EditingState &&
        (trigger & (EditKeyPressed | AllEditTriggers)) && index.column() == 0) {
        if (OnEditing && !OnEditing()) {
            return false;
        }
    }
    return QTreeWidget::edit(index, trigger, event);
}

void TStCustomShellListView::captionEdited(QTreeWidgetItem* row) {
    TStShellItem* item = ItemOfRow(indexOfTopLevelItem(row));
    const std::string name = row->text(0).toStdString();
    if (OnEdited) {
        OnEdited();
    }
    if (item == nullptr || name == item->DisplayName) {
        return;
    }
    setCurrentItem(row);
    if (!RenameItem(name)) {
        ReportError("\"%s\" cannot be renamed to \"%s\".", item->DisplayName.c_str(), name.c_str());
        Refresh();
    }
}

void TStCustomShellListView::startDrag(Qt::DropActions) {
    std::vector<std::string> paths;
    TStShellItemList selected = SelectedItems();
    for (TStShellItem& item : selected.Items()) {
        if (item.IsFileSystem && !item.Path.empty()) {
            paths.push_back(item.Path);
        }
    }
    if (!(Options & loAllowDrag) || paths.empty()) {
        return;
    }
    auto* drag = new QDrag(this);
    drag->setMimeData(DragDataOf(paths));
    drag->exec(Qt::CopyAction | Qt::MoveAction, Qt::MoveAction);
}

namespace {

// The folder a drop at point goes into: a folder row's, else the folder shown.
std::string dropFolder(TStCustomShellListView& list, const QPoint& point) {
    QTreeWidgetItem* row = list.itemAt(point);
    const TStShellItem* item =
        row != nullptr ? list.ItemOfRow(list.indexOfTopLevelItem(row)) : nullptr;
    if (item != nullptr && item->IsFileFolder) {
        return item->Path;
    }
    return list.Folder.IsFileSystem ? list.Folder.Path : std::string();
}

} // namespace

void TStCustomShellListView::dragEnterEvent(QDragEnterEvent* event) {
    if ((Options & loAllowDrop) && !ReadOnly && !DroppedPaths(event->mimeData()).empty()) {
        event->acceptProposedAction();
    } else {
        event->ignore();
    }
}

void TStCustomShellListView::dragMoveEvent(QDragMoveEvent* event) {
    if ((Options & loAllowDrop) && !ReadOnly &&
        !dropFolder(*this, event->position().toPoint()).empty()) {
        event->acceptProposedAction();
    } else {
        event->ignore();
    }
}

void TStCustomShellListView::dropEvent(QDropEvent* event) {
    const std::string folder = dropFolder(*this, event->position().toPoint());
    if (!(Options & loAllowDrop) || ReadOnly || folder.empty()) {
        event->ignore();
        return;
    }
    DropFilesInto(event, folder);
    Refresh();
}

void TStCustomShellListView::keyReleaseEvent(QKeyEvent* event) {
    QTreeWidget::keyReleaseEvent(event);
    if (OnKeyUp) {
        OnKeyUp(event->key(), event->modifiers());
    }
}

namespace {

QIcon themedDesktopIcon() {
    return QIcon::hasThemeIcon("user-desktop") ? QIcon::fromTheme("user-desktop")
                                               : OwnIcon(FallbackIcon::Folder);
}

} // namespace

TStCustomShellComboBox::TStCustomShellComboBox(QWidget* owner) : QComboBox(owner) {
    connect(this, &QComboBox::activated, this, [this](int index) {
        if (!updating_ && ListView != nullptr && index >= 0 &&
            index < static_cast<int>(levels_.size())) {
            PIDL chosen = levels_[static_cast<std::size_t>(index)];
            ListView->SetFolder(chosen.List());
        }
    });
}

void TStCustomShellComboBox::ShowFolder(const TStShellFolder& folder) {
    updating_ = true;
    clear();
    levels_.clear();
    PIDL prefix;
    levels_.push_back(prefix);
    addItem(themedDesktopIcon(), "Desktop");
    PIDL::Iterator items(folder.Pidl.List());
    int depth = 1;
    for (const ITEMIDLIST* item = items.Next(); item != nullptr; item = items.Next(), ++depth) {
        PIDL one;
        one.CopyFirstItem(item);
        prefix.Append(one);
        levels_.push_back(prefix);
        addItem(IconOfItem(TStShellItem(prefix.List())),
                QString(depth * 2, ' ') +
                    QString::fromStdString(platform::DisplayNameOf(prefix.List())));
    }
    setCurrentIndex(count() - 1);
    updating_ = false;
}
