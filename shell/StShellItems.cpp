#include "StShellItems.h"

#include "platform/qt/FileOperations.h"

#include <QStandardPaths>

#include <algorithm>
#include <cstring>

TStShellItem::TStShellItem(const ITEMIDLIST* absolute) : Pidl(absolute) {
    DisplayName = platform::DisplayNameOf(absolute);
    Path = platform::PathFromIDList(absolute);
    const ULONG attributes = platform::AttributesOfIDList(absolute);
    IsFileSystem = (attributes & SFGAO_FILESYSTEM) != 0;
    IsFolder = (attributes & SFGAO_FOLDER) != 0;
    IsFileFolder = IsFileSystem && IsFolder;
    IsFile = IsFileSystem && !IsFolder;
}

namespace {

// A name cut into runs of digits and runs of other characters; digit runs compare by value.
struct NaturalKey {
    struct Run {
        bool digits;
        QString text; // case-folded text, or the digits without leading zeros
    };
    std::vector<Run> runs;
};

NaturalKey naturalKey(const std::string& name) {
    NaturalKey key;
    const QString text = QString::fromStdString(name).toCaseFolded();
    int i = 0;
    while (i < text.size()) {
        const bool digits = text[i].isDigit();
        int j = i;
        while (j < text.size() && text[j].isDigit() == digits) {
            ++j;
        }
        QString run = text.mid(i, j - i);
        if (digits) {
            int zeros = 0;
            while (zeros + 1 < run.size() && run[zeros] == '0') {
                ++zeros;
            }
            run = run.mid(zeros);
        }
        key.runs.push_back({digits, run});
        i = j;
    }
    return key;
}

int compareKeys(const NaturalKey& a, const NaturalKey& b) {
    const std::size_t common = std::min(a.runs.size(), b.runs.size());
    for (std::size_t i = 0; i < common; ++i) {
        const auto& x = a.runs[i];
        const auto& y = b.runs[i];
        if (x.digits && y.digits) {
            if (x.text.size() != y.text.size()) {
                return x.text.size() < y.text.size() ? -1 : 1;
            }
            const int order = x.text.compare(y.text);
            if (order != 0) {
                return order;
            }
        } else {
            const int order = QString::localeAwareCompare(x.text, y.text);
            if (order != 0) {
                return order;
            }
        }
    }
    return a.runs.size() == b.runs.size() ? 0 : (a.runs.size() < b.runs.size() ? -1 : 1);
}

} // namespace

int CompareNames(const TStShellItem& a, const TStShellItem& b) {
    if (a.IsFolder != b.IsFolder) {
        return a.IsFolder ? -1 : 1;
    }
    const int order = compareKeys(naturalKey(a.DisplayName), naturalKey(b.DisplayName));
    if (order != 0) {
        return order;
    }
    return a.DisplayName.compare(b.DisplayName); // names equal but for case: a stable order
}

std::vector<TStShellItem> ShellChildrenOf(const TStShellItem& folder, bool files, bool hidden) {
    std::vector<TStShellItem> children;
    for (const platform::ShellEntry& entry :
         platform::ShellChildren(folder.Pidl.List(), files, hidden)) {
        TStShellItem child;
        child.Pidl = folder.Pidl;
        PIDL item;
        item.Reserve(static_cast<unsigned>(entry.item.size() + 2));
        std::memcpy(item.List(), entry.item.data(), entry.item.size());
        std::memset(reinterpret_cast<BYTE*>(item.List()) + entry.item.size(), 0, 2);
        child.Pidl.Append(item);
        child.DisplayName = entry.displayName;
        child.Path = platform::PathFromIDList(child.Pidl.List());
        child.IsFolder = entry.folder;
        child.IsFileSystem = entry.fileSystem;
        child.IsFileFolder = entry.fileSystem && entry.folder;
        child.IsFile = entry.fileSystem && !entry.folder;
        child.Size = entry.size;
        child.Modified = entry.modified;
        children.push_back(std::move(child));
    }
    SortByName(children);
    return children;
}

void SortByName(std::vector<TStShellItem>& items) {
    // Keys made once: comparing 10,000 names is then cheap.
    std::vector<std::pair<NaturalKey, std::size_t>> keys;
    keys.reserve(items.size());
    for (std::size_t i = 0; i < items.size(); ++i) {
        keys.emplace_back(naturalKey(items[i].DisplayName), i);
    }
    std::sort(keys.begin(), keys.end(), [&](const auto& a, const auto& b) {
        const TStShellItem& x = items[a.second];
        const TStShellItem& y = items[b.second];
        if (x.IsFolder != y.IsFolder) {
            return x.IsFolder;
        }
        const int order = compareKeys(a.first, b.first);
        return order != 0 ? order < 0 : x.DisplayName < y.DisplayName;
    });
    std::vector<TStShellItem> sorted;
    sorted.reserve(items.size());
    for (const auto& key : keys) {
        sorted.push_back(std::move(items[key.second]));
    }
    items = std::move(sorted);
}

PIDL SpecialFolderPidl(TStSpecialRootFolder folder) {
    PIDL result;
    switch (folder) {
    case TStSpecialRootFolder::sfDesktop:
    case TStSpecialRootFolder::sfNone:
        return result;
    case TStSpecialRootFolder::sfDrives: {
        // Computer is the desktop's last child.
        const auto children = platform::ShellChildren(nullptr, false, false);
        const std::string& computer = children.back().item;
        PIDL item;
        item.Reserve(static_cast<unsigned>(computer.size() + 2));
        std::memcpy(item.List(), computer.data(), computer.size());
        std::memset(reinterpret_cast<BYTE*>(item.List()) + computer.size(), 0, 2);
        result.Append(item);
        return result;
    }
    case TStSpecialRootFolder::sfPersonal:
        result.FromPath(
            QStandardPaths::writableLocation(QStandardPaths::HomeLocation).toStdString());
        return result;
    case TStSpecialRootFolder::sfMyPictures:
        result.FromPath(
            QStandardPaths::writableLocation(QStandardPaths::PicturesLocation).toStdString());
        return result;
    case TStSpecialRootFolder::sfMyDocuments:
        result.FromPath(
            QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation).toStdString());
        return result;
    }
    return result;
}

bool TStFileOperation::Execute() {
    std::string from;
    for (const std::string& file : SourceFiles) {
        from += file;
        from += '\0';
    }
    from += '\0';
    WORD flags = 0;
    flags |= (Options & foAllowUndo) ? FOF_ALLOWUNDO : 0;
    flags |= (Options & foNoConfirmation) ? FOF_NOCONFIRMATION : 0;
    flags |= (Options & foSilent) ? FOF_SILENT : 0;
    flags |= (Options & foRenameCollision) ? FOF_RENAMEONCOLLISION : 0;
    flags |= (Options & foFilesOnly) ? FOF_FILESONLY : 0;
    SHFILEOPSTRUCTA operation{};
    operation.hwnd = Owner;
    operation.wFunc = Operation == TStFileOp::fopDelete   ? FO_DELETE
                      : Operation == TStFileOp::fopRename ? FO_RENAME
                      : Operation == TStFileOp::fopMove   ? FO_MOVE
                                                          : FO_COPY;
    operation.pFrom = from.c_str();
    operation.pTo = Destination.c_str();
    operation.fFlags = flags;
    return SHFileOperationA(&operation) == 0 && !operation.fAnyOperationsAborted;
}
