// Files on the clipboard, in the formats the desktop's file managers use: text/uri-list (every
// program), x-special/gnome-copied-files ("copy" or "cut", then the URIs: GNOME, Xfce and most
// others) and application/x-kde-cutselection (KDE's mark of a cut), with the paths as text.
#pragma once

#include <string>
#include <vector>

class QMimeData;

namespace platform {

struct ClipboardFiles {
    std::vector<std::string> paths; // absolute local paths
    bool cut = false;               // the files are to be moved, not copied
};

// New clipboard data (owned by the caller until handed to the clipboard) for paths.
QMimeData* FileClipboardData(const std::vector<std::string>& paths, bool cut);
// The local files data carries: x-special/gnome-copied-files when present, else text/uri-list
// (a cut when KDE's mark says so). Remote URIs are left out. Empty for other data.
ClipboardFiles FilesOfClipboardData(const QMimeData* data);

// The system clipboard; main thread only.
void SetClipboardFiles(const std::vector<std::string>& paths, bool cut);
ClipboardFiles GetClipboardFiles();
void ClearClipboard();

} // namespace platform
