#include "BrowserStatus.h"

#include "shell/ShellIcons.h"

#include <QLocale>

void FolderPosition(TStShellItemList& items, const std::string& path, int& position, int& count) {
    position = 0;
    count = 0;
    for (const TStShellItem& item : items.Items()) {
        if (!item.IsFile || !IsImageName(item.DisplayName)) {
            continue;
        }
        ++count;
        if (position == 0 && item.Path == path) {
            position = count;
        }
    }
}

std::string ListStatusText(int items, int selected, long long selected_bytes) {
    std::string text = std::to_string(items) + (items == 1 ? " item" : " items");
    if (selected > 0) {
        text += ", " + std::to_string(selected) + " selected (" +
                QLocale().formattedDataSize(selected_bytes).toStdString() + ")";
    }
    return text;
}
