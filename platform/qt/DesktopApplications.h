// The desktop's applications (freedesktop.org desktop entries) and the user's choices among them
// (mimeapps.list), for "Open With".
#pragma once

#include <functional>
#include <string>
#include <vector>

namespace platform {

struct DesktopApplication {
    std::string id;   // desktop file id: the path below applications/, '/' turned into '-'
    std::string name; // Name=
    std::string exec; // Exec=, field codes unexpanded
    std::string icon; // Icon=
};

// The applications that open mime_type, the default first, then the added associations of
// mimeapps.list in their order, then every other entry whose MimeType= lists it (by name).
// Entries are read from $XDG_DATA_HOME/applications and then each of $XDG_DATA_DIRS (the first
// file of an id wins); mimeapps.list from $XDG_CONFIG_HOME, $XDG_CONFIG_DIRS and the
// applications folders, the earlier winning; removed associations are left out, and so are
// hidden entries and ones without Exec=. Any thread; reads the files on every call.
std::vector<DesktopApplication> ApplicationsForMimeType(const std::string& mime_type);

// The command line of application for files, Exec='s field codes expanded (%f, %u first file,
// %F, %U all of them, %c the name, %% a percent sign; the others dropped) and its quoting undone.
std::vector<std::string> ApplicationCommandLine(const DesktopApplication& application,
                                                const std::vector<std::string>& files);

// Starts application on files, detached; false when it cannot be started. Main thread.
bool LaunchApplication(const DesktopApplication& application,
                       const std::vector<std::string>& files);
// Tests put a recorder here instead of starting programs: it gets the command line.
std::function<bool(const std::vector<std::string>& command_line)>& ApplicationStarter();

} // namespace platform
