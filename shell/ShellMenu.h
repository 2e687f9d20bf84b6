// The file list's context menu: Open, Open With, Cut, Copy, Paste, Rename, Move to Trash,
// Delete and Properties; and the file operations behind its clipboard entries.
#pragma once

#include "StShellItems.h"

#include <QPoint>

#include <string>
#include <utility>
#include <vector>

class QMenu;
class QWidget;
class QTreeWidgetItem;
class TStCustomShellListView;
class TStCustomShellTreeView;
namespace platform {
struct ClipboardFiles;
}

// Copies (or, for a cut, moves) files into folder, never replacing anything there: a taken name
// becomes "name (2)". False when nothing was given or something failed (a box says what). A
// cut's files are moved only once, so the clipboard is emptied after it.
bool PasteFilesInto(const platform::ClipboardFiles& files, const std::string& folder,
                    QWidget* owner);

// The menu for the list's selection (or for its folder when nothing is selected), filled but not
// shown; owned by the caller.
QMenu* MakeShellMenu(TStCustomShellListView& list);
// Shows that menu at a point of the screen and carries out the choice.
void ShowShellMenu(TStCustomShellListView& list, const QPoint& globalPos);

// The tree's menu for the folder of node: Open, Cut, Copy, Paste (into it), Rename, Move to
// Trash, Delete and Properties; filled, not shown, owned by the caller.
QMenu* MakeFolderMenu(TStCustomShellTreeView& tree, QTreeWidgetItem* node);
void ShowFolderMenu(TStCustomShellTreeView& tree, QTreeWidgetItem* node, const QPoint& globalPos);

// What the Properties box lists for item: label and text, in order (name, type, location, size,
// dates; for an image its dimensions and format, and what its EXIF says of camera and exposure).
std::vector<std::pair<std::string, std::string>> PropertiesOf(const TStShellItem& item);
void ShowProperties(QWidget* owner, const TStShellItem& item);
