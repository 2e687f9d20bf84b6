// Icons of the shell views: the desktop's icon theme by MIME type, and a small set of our own
// drawn here for a theme that has none (or no theme at all).
#pragma once

#include "StShellItems.h"

#include <QIcon>

#include <string>

// The MIME type of a file name, judged by its extension only (the list never opens files to
// show a row): "image/jpeg", "application/octet-stream" when unknown.
std::string MimeTypeOfName(const std::string& name);
// Whether the name's type is an image type (what the grid makes thumbnails of).
bool IsImageName(const std::string& name);

enum class FallbackIcon { Folder, Drive, Home, File, Image };
// One of our own icons, the same in every theme.
QIcon OwnIcon(FallbackIcon kind);
// The icon of an item: folders, mount points and the home folder by their theme names, files by
// their MIME type's icon, then its generic icon, then ours. Main thread (cached by name).
QIcon IconOfItem(const TStShellItem& item);
