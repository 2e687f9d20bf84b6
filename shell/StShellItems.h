// Items of the shell namespace and the lists the views keep of them.
#pragma once

#include "common/FileNames.h"

#include <string>
#include <vector>

// One item: the absolute item id list, the name the user sees, its parsing name (a full path for
// file-system items) and what it is.
class TStShellItem {
public:
    TStShellItem() = default;
    // An item of the namespace; attributes and names are read from it.
    explicit TStShellItem(const ITEMIDLIST* absolute);

    PIDL Pidl;
    std::string DisplayName;
    std::string Path;
    bool IsFileSystem = false;
    bool IsFileFolder = false; // file system and a folder
    bool IsFile = false;       // file system and not a folder
    bool IsFolder = false;     // a folder of the namespace (virtual ones included)
    long long Size = 0;
    long long Modified = 0;
    bool IsCompressed = false; // the file system stores it compressed (read only when asked)
};

using TStShellFolder = TStShellItem;

class TStShellItemList {
public:
    int GetCount() const { return static_cast<int>(items_.size()); }
    TStShellItem* GetShellItem(int index) {
        return index >= 0 && index < GetCount() ? &items_[static_cast<std::size_t>(index)]
                                                : nullptr;
    }
    void Add(TStShellItem item) { items_.push_back(std::move(item)); }
    void Clear() { items_.clear(); }
    std::vector<TStShellItem>& Items() { return items_; }

private:
    std::vector<TStShellItem> items_;
};

// The tree's folders, indexed by the value each node carries.
class TStShellFolderList {
public:
    int Add(TStShellFolder folder) {
        folders_.push_back(std::move(folder));
        return static_cast<int>(folders_.size()) - 1;
    }
    void Clear() { folders_.clear(); }
    TStShellFolder* GetShellFolder(int index) {
        return index >= 0 && index < static_cast<int>(folders_.size())
                   ? &folders_[static_cast<std::size_t>(index)]
                   : nullptr;
    }

private:
    std::vector<TStShellFolder> folders_;
};

// The children of folder (files too when asked), in the order the views sort names in:
// folders first, then by name in the user's locale with numbers compared by value.
std::vector<TStShellItem> ShellChildrenOf(const TStShellItem& folder, bool files, bool hidden);
// Sorts items in that order.
void SortByName(std::vector<TStShellItem>& items);
// The natural order of two names (folders first): negative, 0 or positive.
int CompareNames(const TStShellItem& a, const TStShellItem& b);

enum class TStSpecialRootFolder {
    sfNone,
    sfDesktop,
    sfDrives,
    sfPersonal, // the home folder
    sfMyPictures,
    sfMyDocuments,
};
// The item id list of a special folder (empty for the desktop).
PIDL SpecialFolderPidl(TStSpecialRootFolder folder);

enum TStTreeOption {
    toAllowRename = 1 << 0,
    toAllowDrag = 1 << 1,
    toAllowDrop = 1 << 2,
    toColorCompressed = 1 << 3,
    toExpandTopNode = 1 << 4,
    toExtendedMenu = 1 << 5,
    toShellMenu = 1 << 6,
    toShowFiles = 1 << 7,
    toShowHidden = 1 << 8,
};
enum TStListOption {
    loAllowRename = 1 << 0,
    loAllowDrag = 1 << 1,
    loAllowDrop = 1 << 2,
    loColorCompressed = 1 << 3,
    loExtendedMenu = 1 << 4,
    loOpenFoldersInNewWindow = 1 << 5,
    loShellMenu = 1 << 6,
    loShowHidden = 1 << 7,
    loSortTypeByExt = 1 << 8,
};
enum class TStOptimization { otEnumerate, otDisplay };
enum class TStSortDirection { sdAscending, sdDescending, sdToggle };
enum class TStFileOp { fopCopy, fopDelete, fopMove, fopRename };
enum TStFileOpOption {
    foAllowUndo = 1 << 0,
    foFilesOnly = 1 << 1,
    foNoConfirmation = 1 << 2,
    foNoConfirmMkDir = 1 << 3,
    foNoErrorUI = 1 << 4,
    foRenameCollision = 1 << 5,
    foSilent = 1 << 6,
    foSimpleProgress = 1 << 7,
};

// One shell file operation on a list of files.
class TStFileOperation {
public:
    TStFileOp Operation = TStFileOp::fopDelete;
    int Options = foAllowUndo | foFilesOnly | foRenameCollision;
    std::vector<std::string> SourceFiles;
    std::string Destination;
    HWND Owner = 0;
    // True when the operation was carried out (false also when the user said no).
    bool Execute();
};
