// The shell views the browser is built from: a folder tree, a file list in report view and a
// folder combo box, kept in step with each other.
#pragma once

#include "StShellItems.h"
#include "platform/qt/QtWindows.h"

#include <QColor>
#include <QComboBox>
#include <QFileSystemWatcher>
#include <QFutureWatcher>
#include <QPersistentModelIndex>
#include <QRegularExpression>
#include <QTimer>
#include <QTreeWidget>

#include <functional>
#include <memory>
#include <unordered_set>

class TStCustomShellListView;
class TStCustomShellComboBox;
class ThumbnailGrid;
class QMimeData;
class QDropEvent;

// The local paths a drag carries.
std::vector<std::string> DroppedPaths(const QMimeData* data);
// Carries out a drop of files into folder: moved, or copied when the drag asks for a copy (or
// cannot move), never replacing anything (a taken name becomes "name (2)"), with a message when
// not everything could be done. The drag's source is told it was a copy, so that it never
// removes what was moved here.
void DropFilesInto(QDropEvent* event, const std::string& folder);
// The drag data of items: their file URLs.
QMimeData* DragDataOf(const std::vector<std::string>& paths);

class TStCustomShellTreeView : public QTreeWidget {
public:
    explicit TStCustomShellTreeView(QWidget* owner = nullptr);

    // The list this tree drives (and that drives it back).
    void SetListView(TStCustomShellListView* list);
    TStCustomShellListView* ListView() const { return list_; }
    int Options = toExpandTopNode;
    TStSpecialRootFolder SpecialRootFolder = TStSpecialRootFolder::sfDesktop;
    TStSpecialRootFolder SpecialStartInFolder = TStSpecialRootFolder::sfNone;
    std::string StartInFolder;
    std::string RootFolder;
    int ExpandInterval = 1000; // ms a drag must hover over a collapsed node
    QColor CompressedColor = Qt::blue;
    // With Filtered, only folders OnFilterItem accepts get nodes.
    bool Filtered = false;
    std::function<bool(const TStShellItem&)> OnFilterItem;
    std::function<void(TStShellFolder&)> OnFolderSelected;
    // Makes the top nodes again from RootFolder (a path: that folder is the one top node) or
    // else SpecialRootFolder (its children are the top nodes). Done by itself when either has
    // changed since, before the tree is painted or searched.
    void RebuildRoots();

    // Deletes the selected folder (to the Trash when recycle; the user is asked when confirm).
    bool DeleteFolder(bool recycle, bool confirm);
    // Reads a node's children again.
    void Refresh(QTreeWidgetItem* node);
    // Brings the children of every open node showing path in line with the disk: folders gone
    // lose their nodes, new ones get theirs; the rest keep their state and the selection.
    void FolderChanged(const std::string& path);
    // The node of an absolute item id list among the nodes made so far, or null.
    QTreeWidgetItem* FindNodeByPidl(const ITEMIDLIST* pidl);
    TStShellFolder* SelectedFolder();
    TStShellFolderList& Folders() { return folders_; }
    TStShellFolder* FolderOf(QTreeWidgetItem* node);
    // Makes node the selected one, its folder the list's.
    void SelectNode(QTreeWidgetItem* node);
    // Makes the children of node (one level).
    void ExpandOneLevel(QTreeWidgetItem* node);
    // Selects the folder absolute, expanding the tree down to it; false when a level is missing.
    bool ShowFolder(const ITEMIDLIST* absolute);

protected:
    bool event(QEvent* event) override;
    // The shell menu (toShellMenu) of the folder under the mouse.
    void contextMenuEvent(QContextMenuEvent* event) override;
    // Drag and drop (toAllowDrag, toAllowDrop): folders are dragged as files; files dropped on a
    // folder node go into it; hovering over a closed node for ExpandInterval ms opens it.
    void startDrag(Qt::DropActions actions) override;
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dragMoveEvent(QDragMoveEvent* event) override;
    void dragLeaveEvent(QDragLeaveEvent* event) override;
    void dropEvent(QDropEvent* event) override;
    // The window procedure: on the first paint, selects the start folder.
    virtual bool WndProc(QEvent* event);
    // Selects StartInFolder, else SpecialStartInFolder, when either is given.
    void ShowStartFolder();
    // Set at the first paint, when the start folder is selected.
    bool FirstPaintDone = false;
    bool syncing_ = false;

private:
    QTreeWidgetItem* addNode(QTreeWidgetItem* parent, TStShellFolder folder);
    void renameNode(QTreeWidgetItem* node);

    void mergeChildren(QTreeWidgetItem* node);
    void ensureRoots();
    bool accepted(const TStShellItem& item) const;

    TStShellFolderList folders_;
    TStCustomShellListView* list_ = nullptr;
    bool populating_ = false;
    QFileSystemWatcher watcher_;       // the folders of open nodes
    std::vector<std::string> changed_; // folders changed since the timer started
    QTimer changeTimer_;               // gathers a burst of changes
    QPersistentModelIndex hoverNode_;  // under a drag, waiting to open (gone if its node goes)
    QTimer hoverTimer_;
    // What the top nodes were made from.
    TStSpecialRootFolder builtRoot_ = TStSpecialRootFolder::sfNone;
    std::string builtRootFolder_;
    bool topExpanded_ = false; // toExpandTopNode is done at the first paint
};

class TStCustomShellListView : public QTreeWidget {
public:
    explicit TStCustomShellListView(QWidget* owner = nullptr);

    TStCustomShellTreeView* TreeView = nullptr;
    TStCustomShellComboBox* ComboBox = nullptr;
    int Options = loAllowRename;
    bool ReadOnly = false;
    bool Filtered = false;
    std::string Filter; // wildcards, ";" between them
    std::function<bool(const TStShellItem&)> OnFilterItem;
    TStOptimization Optimization = TStOptimization::otEnumerate;
    TStSpecialRootFolder SpecialRootFolder = TStSpecialRootFolder::sfNone;
    QColor CompressedColor = Qt::blue;
    bool OpenDialogMode = false;

    // Report (the table of names) or icon style (a grid of thumbnails of thumbnailEdge pixels:
    // 128, 256 or 512). The rows, the selection and the focus row are the same in both.
    enum class TViewStyle { vsIcon, vsSmallIcon, vsList, vsReport };
    void SetViewStyle(TViewStyle style, int thumbnailEdge = 256);
    TViewStyle ViewStyle() const { return viewStyle_; }
    // The grid of the icon style (null until it is first shown).
    ThumbnailGrid* Grid() const { return grid_; }
    // Called after rows come or go and when the selection changes (the browser's status bar).
    std::function<void()> OnContentsChanged;
    // Pastes the files on the clipboard into the folder shown; false when nothing was pasted.
    bool PasteFromClipboard();
    // Puts the selected items' files on the clipboard, to be moved (cut) or copied.
    void CopySelectionToClipboard(bool cut);
    // The shell menu (loShellMenu) for the item at a point of the screen, or for the folder
    // when no item is there; false when the options give no menu.
    bool ShowContextMenu(const QPoint& globalPos);

    TStShellFolder Folder;
    // Shows absolute: the folder is read on a worker thread and its rows are added a batch at a
    // time, so a big folder never holds up the window. False when absolute is not a folder.
    bool SetFolder(const ITEMIDLIST* absolute);
    // True while the folder is being read or rows are still to come.
    bool IsListing() const;
    // Finishes the listing under way now: the items read and every row made.
    void WaitUntilListed();
    TStShellItem* SelectedItem();
    TStShellItemList SelectedItems();
    // The folder's items in the list's sort order (ascending by the sort column); waits for a
    // reading under way, so the list is always whole.
    TStShellItemList* GetShellItems();
    void MoveUpOneLevel();
    bool DeleteItem(bool recycle, bool confirm);
    bool RenameItem(const std::string& newName);
    // Reads the folder again (files added, removed or renamed), keeping the selection by name and
    // the scroll position; the old rows stay until the new ones are ready.
    void Refresh();
    // A click on a column header: another column sorts by it ascending, the same column only
    // turns the rows round.
    void ColumnClicked(int column);
    TStSortDirection Direction() const { return direction_; }

    std::function<void(QObject* sender, TStShellItem& item, bool& defaultAction)> OnItemDblClick;
    std::function<bool()> OnEditing;
    std::function<void()> OnEdited;
    std::function<void(int key, Qt::KeyboardModifiers modifiers)> OnKeyUp;
    bool IsEditing() const;
    int ItemIndex() const;
    void EditItemCaption(int index);
    // The item a row shows.
    TStShellItem* ItemOfRow(int row);

    // The column header last clicked, shared by every file list.
    static int ClickedColumn;

protected:
    void keyReleaseEvent(QKeyEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void contextMenuEvent(QContextMenuEvent* event) override;
    bool edit(const QModelIndex& index, EditTrigger trigger, QEvent* event) override;
    // Drag and drop (loAllowDrag, loAllowDrop): the selected items are dragged as files; files
    // dropped on a folder row go into it, elsewhere into the folder shown.
    void startDrag(Qt::DropActions actions) override;
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dragMoveEvent(QDragMoveEvent* event) override;
    void dropEvent(QDropEvent* event) override;

private:
    void startListing(std::unordered_set<std::string> keepSelected);
    void applyListing();
    void fillRows();
    void addRows(int count);
    bool passesFilter(const TStShellItem& item, const QList<QRegularExpression>& patterns) const;
    void rowDoubleClicked(QTreeWidgetItem* row);
    void captionEdited(QTreeWidgetItem* row);

    TStShellItemList items_;
    TStShellItemList filtered_;
    TStSortDirection direction_ = TStSortDirection::sdAscending;
    int sortColumn_ = 0;
    QFileSystemWatcher watcher_;
    QTimer changed_; // gathers a burst of changes on disk into one reading
    bool filling_ = false;
    QFutureWatcher<std::vector<TStShellItem>> listing_;
    bool listingPending_ = false;
    std::unordered_set<std::string> keepSelected_; // names to select again
    int keepScroll_ = -1;
    int rowsMade_ = 0;
    QTimer moreRows_;
    TViewStyle viewStyle_ = TViewStyle::vsReport;
    ThumbnailGrid* grid_ = nullptr; // a child, over the report view while shown
};

class TStCustomShellComboBox : public QComboBox {
public:
    explicit TStCustomShellComboBox(QWidget* owner = nullptr);
    TStCustomShellListView* ListView = nullptr;
    // Shows folder and its ancestors (called by the list when its folder changes).
    void ShowFolder(const TStShellFolder& folder);

private:
    std::vector<PIDL> levels_;
    bool updating_ = false;
};

using TStShellTreeView = TStCustomShellTreeView;
using TStShellListView = TStCustomShellListView;
using TStShellComboBox = TStCustomShellComboBox;
