// What the browser tells about its folder: the place of an image among the folder's images (for
// the viewer's panel) and the count of items and size of the selection (for its own bar).
#pragma once

#include "shell/StShellItems.h"

#include <string>

// The place of path among the image files of items, in their order: position 1 to count, or 0
// when path is not one of them.
void FolderPosition(TStShellItemList& items, const std::string& path, int& position, int& count);
// "1 item", "120 items", "120 items, 3 selected (4.2 MB)": the sizes of selected files only.
std::string ListStatusText(int items, int selected, long long selected_bytes);
