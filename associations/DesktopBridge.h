// Makes the registrations real on a Linux desktop: a desktop entry for the launcher and, for
// every extension registered to it, its MIME types as defaults in the user's mimeapps.list; the
// default each type had before is kept and put back when the format is given up.
#pragma once

#include <set>
#include <string>
#include <vector>

namespace associations {

// The per-user desktop entry's file name, written when the program runs from a build folder.
constexpr const char kDesktopEntry[] = "orvalen-viewer.desktop";
// The desktop entry an installation brings, in <prefix>/share/applications.
constexpr const char kInstalledDesktopEntry[] = "org.orvalen.Orvalen.desktop";

// The MIME types the desktop is told the viewer opens, for files named with these extensions
// (".jpg", any case): the image types of those names that the viewer reads. Sorted.
std::set<std::string> DesktopMimeTypes(const std::vector<std::string>& extensions);

// The installed desktop entry's id when launcherPath is <prefix>/bin/<launcher>, the entry is in
// <prefix>/share/applications, the desktop reads that folder (<prefix>/share is XDG_DATA_HOME or
// one of XDG_DATA_DIRS) and the entry's bare Exec name finds this launcher on PATH; empty
// otherwise (a build folder, or a prefix the desktop would not use, which then gets the
// per-user entry).
std::string InstalledDesktopEntry(const std::string& launcherPath);

// Brings the desktop entry and mimeapps.list in line with the registry. launcherPath: the
// launcher's absolute path. From an installation the defaults name the installed entry and no
// entry of our own is written (one left by a build folder is removed); otherwise the per-user
// entry runs launcherPath. Defaults that name either entry count as ours. Entries of
// mimeapps.list that are not ours are left exactly as they were; the file is replaced in one
// step (written aside, then renamed). False when a file could not be written.
bool UpdateDesktopAssociations(const std::string& launcherPath);

// The launcher beside this program.
std::string LauncherPath();

} // namespace associations
