// The browser's folder tree: a shell tree that can start in a folder given as an item id list.
#pragma once

#include "shell/StShellViews.h"

#include <string>

class TStShellTreeViewB : public TStCustomShellTreeView {
public:
    explicit TStShellTreeViewB(QWidget* owner = nullptr);
    ~TStShellTreeViewB() override;

    // Keeps a copy of pidl as the folder to start in; the base's own start folders stand
    // aside. Null changes nothing but the copy.
    void SetStartInFolderPIDL(const ITEMIDLIST* pidl);
    const ITEMIDLIST* StartInFolderPIDL() const { return start_in_folder_pidl_; }
    // Selects the node of an absolute item id list, expanding the tree one level at a time.
    // Reports and returns false when a level has no node.
    bool SelectFolderFromPIDL(PIDL target);
    // Selects the start folder now, as the first paint would (a hidden tree never paints).
    void StartNow();
    std::string GetVersion() const { return "1.02"; }
    void SetVersion(const std::string&) {}

protected:
    // The first paint selects StartInFolderPIDL (and is not passed on; the next one is).
    bool WndProc(QEvent* event) override;

private:
    ITEMIDLIST* start_in_folder_pidl_ = nullptr;
};

// Registers TStShellTreeViewB on the palette page "Samples".
namespace Stshelltreeviewb {
void Register();
}
