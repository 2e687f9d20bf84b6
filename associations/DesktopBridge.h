// Makes the registrations real on a Linux desktop: a desktop entry for the launcher and, for
// every extension registered to it, its MIME types as defaults in the user's mimeapps.list; the
// default each type had before is kept and put back when the format is given up.
#pragma once

#include <string>

namespace associations {

// The desktop entry's file name.
constexpr const char kDesktopEntry[] = "orvalen-viewer.desktop";

// Brings the desktop entry and mimeapps.list in line with the registry. launcherPath: the
// launcher's absolute path. Entries of mimeapps.list that are not ours are left exactly as they
// were; the file is replaced in one step (written aside, then renamed). False when a file could
// not be written.
bool UpdateDesktopAssociations(const std::string& launcherPath);

// The launcher beside this program.
std::string LauncherPath();

} // namespace associations
