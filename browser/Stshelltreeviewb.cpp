#include "Stshelltreeviewb.h"

#include "common/ErrorReporting.h"
#include "platform/Components.h"

#include <QEvent>

TStShellTreeViewB::TStShellTreeViewB(QWidget* owner) : TStCustomShellTreeView(owner) {}

TStShellTreeViewB::~TStShellTreeViewB() {
    if (start_in_folder_pidl_ != nullptr) {
        comalloc->Free(start_in_folder_pidl_);
    }
}

void TStShellTreeViewB::SetStartInFolderPIDL(const ITEMIDLIST* pidl) {
    GetShellAllocator();
    if (start_in_folder_pidl_ != nullptr) {
        comalloc->Free(start_in_folder_pidl_);
    }
    start_in_folder_pidl_ = ILClone(pidl);
    if (pidl != nullptr) {
        SpecialStartInFolder = TStSpecialRootFolder::sfNone;
        StartInFolder.clear();
    }
}

bool TStShellTreeViewB::SelectFolderFromPIDL(PIDL target) {
    PIDL prefix;
    QTreeWidgetItem* node = nullptr;
    PIDL::Iterator items(target.List());
    for (const ITEMIDLIST* item = items.Next();; item = items.Next()) {
        if (item == nullptr) {
            if (node != nullptr) {
                SelectNode(node);
                scrollToItem(node);
            }
            return true;
        }
        PIDL one;
        one.CopyFirstItem(item);
        prefix.Append(one);
        node = FindNodeByPidl(prefix.List());
        if (node == nullptr) {
            ReportError("Problem in TStShellTreeViewB::SelectFolderFromPIDL().\n  Couldn't find a "
                        "tree node that corresponds with the path PIDL");
            return false;
        }
        ExpandOneLevel(node);
        node->setExpanded(true);
    }
}

void TStShellTreeViewB::StartNow() {
    if (FirstPaintDone) {
        return;
    }
    FirstPaintDone = true;
    if (start_in_folder_pidl_ != nullptr) {
        SelectFolderFromPIDL(PIDL(start_in_folder_pidl_));
        return;
    }
    ShowStartFolder();
}

bool TStShellTreeViewB::WndProc(QEvent* event) {
    if (event->type() == QEvent::Paint && !FirstPaintDone && start_in_folder_pidl_ != nullptr) {
        FirstPaintDone = true;
        SelectFolderFromPIDL(PIDL(start_in_folder_pidl_));
        update(); // paint again: that paint takes the base's path
        return true;
    }
    return TStCustomShellTreeView::WndProc(event);
}

namespace Stshelltreeviewb {
void Register() {
    platform::RegisterComponents("Samples", {"TStShellTreeViewB"});
}
} // namespace Stshelltreeviewb
