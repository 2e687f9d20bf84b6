#include "DesktopBridge.h"

#include "common/ProcessValues.h"
#include "common/Settings.h"
#include "platform/RegistryClasses.h"

#include <QMimeDatabase>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <unistd.h>
#include <vector>

namespace associations {
namespace {

std::string environmentOr(const char* name, const std::string& fallback) {
    const char* value = std::getenv(name);
    return value != nullptr && *value == '/' ? value : fallback;
}

std::string home() {
    return environmentOr("HOME", "");
}
std::string configHome() {
    return environmentOr("XDG_CONFIG_HOME", home() + "/.config");
}
std::string dataHome() {
    return environmentOr("XDG_DATA_HOME", home() + "/.local/share");
}

// Where the previous defaults are kept, beside the association backups.
std::string savedDefaultsKey() {
    return std::string(settings_base_key) + "\\options\\file association backups\\mime defaults";
}

// Types outside image/ whose files are images the library reads.
const std::set<std::string> kOtherImageTypes = {"application/dicom", "application/fits",
                                                "video/x-mng"};
// Image types of formats the viewer cannot show: SVG is drawn through MVG and EPS through
// Ghostscript, both refused by the library's policy; the library has no EMF reader here.
const std::set<std::string> kUnreadImageTypes = {"image/emf", "image/svg+xml", "image/x-eps"};
// The camera RAW, JPEG XL, HEIC and AVIF types, for desktops whose MIME database predates them.
const std::map<std::string, std::string> kNewerImageTypes = {
    {".arw", "image/x-sony-arw"},  {".avif", "image/avif"},
    {".cr2", "image/x-canon-cr2"}, {".cr3", "image/x-canon-cr3"},
    {".dng", "image/x-adobe-dng"}, {".heic", "image/heif"},
    {".heif", "image/heif"},       {".jxl", "image/jxl"},
    {".nef", "image/x-nikon-nef"}, {".orf", "image/x-olympus-orf"},
    {".raf", "image/x-fuji-raf"},  {".rw2", "image/x-panasonic-rw2"}};

// The data folders the desktop reads entries from, most important first.
std::vector<std::string> dataFolders() {
    std::vector<std::string> folders{dataHome()};
    const char* value = std::getenv("XDG_DATA_DIRS");
    std::stringstream list(value != nullptr && *value != '\0' ? value
                                                              : "/usr/local/share:/usr/share");
    for (std::string folder; std::getline(list, folder, ':');) {
        if (!folder.empty() && folder[0] == '/') {
            folders.push_back(folder);
        }
    }
    return folders;
}

bool sameFile(const std::filesystem::path& a, const std::filesystem::path& b) {
    std::error_code error;
    return std::filesystem::equivalent(a, b, error);
}

// Whether the installed entry's bare Exec name starts this launcher: the first of that name on
// PATH must be it.
bool pathFinds(const std::filesystem::path& launcher) {
    const char* value = std::getenv("PATH");
    std::stringstream list(value != nullptr ? value : "");
    for (std::string folder; std::getline(list, folder, ':');) {
        const std::filesystem::path candidate =
            std::filesystem::path(folder.empty() ? "." : folder) / launcher.filename();
        if (::access(candidate.c_str(), X_OK) == 0) {
            return sameFile(candidate, launcher);
        }
    }
    return false;
}

// The extensions whose class is the launcher's.
std::vector<std::string> launcherExtensions() {
    std::vector<std::string> extensions;
    TRegistry registry(KEY_READ);
    registry.SetRootKey(HKEY_CLASSES_ROOT);
    if (!registry.OpenKey("\\", false)) {
        return extensions;
    }
    const std::vector<std::string> keys = registry.GetKeyNames();
    registry.CloseKey();
    const std::string prefix = launcher_exe_name;
    for (const std::string& key : keys) {
        if (key.size() < 2 || key[0] != '.' || !registry.OpenKey("\\" + key, false)) {
            continue;
        }
        std::string type;
        try {
            type = registry.ReadString("");
        } catch (const ERegistryException&) {
        }
        registry.CloseKey();
        if (type.rfind(prefix, 0) == 0 && type.size() > 5 &&
            type.compare(type.size() - 5, 5, ".File") == 0) {
            extensions.push_back(key);
        }
    }
    return extensions;
}

bool writeAtomically(const std::string& path, const std::string& content) {
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    const std::string temporary = path + ".orvalen-" + std::to_string(::getpid());
    {
        std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
        out << content;
        out.flush();
        if (!out) {
            std::filesystem::remove(temporary);
            return false;
        }
    }
    std::error_code error;
    std::filesystem::rename(temporary, path, error);
    if (error) {
        std::filesystem::remove(temporary);
        return false;
    }
    return true;
}

} // namespace

std::set<std::string> DesktopMimeTypes(const std::vector<std::string>& extensions) {
    std::set<std::string> types;
    QMimeDatabase database;
    for (const std::string& extension : extensions) {
        // Names the desktop knows by content or by other names too (".pm" is a Perl module as
        // much as a Palm bitmap) are kept only where they are an image we read.
        for (const QMimeType& mime :
             database.mimeTypesForFileName(QString::fromStdString("x" + extension).toLower())) {
            const std::string name = mime.name().toStdString();
            const bool image = name.rfind("image/", 0) == 0 || kOtherImageTypes.count(name) != 0;
            if (image && kUnreadImageTypes.count(name) == 0) {
                types.insert(name);
            }
        }
        const auto newer =
            kNewerImageTypes.find(QString::fromStdString(extension).toLower().toStdString());
        if (newer != kNewerImageTypes.end()) {
            types.insert(newer->second);
        }
    }
    return types;
}

std::string InstalledDesktopEntry(const std::string& launcherPath) {
    const std::filesystem::path bin = std::filesystem::path(launcherPath).parent_path();
    if (bin.filename() != "bin") {
        return {};
    }
    const std::filesystem::path share = bin.parent_path() / "share";
    std::error_code error;
    if (!std::filesystem::is_regular_file(share / "applications" / kInstalledDesktopEntry, error)) {
        return {};
    }
    if (!pathFinds(launcherPath)) {
        return {};
    }
    for (const std::string& folder : dataFolders()) {
        if (sameFile(folder, share)) {
            return kInstalledDesktopEntry;
        }
    }
    return {};
}

std::string LauncherPath() {
    std::error_code error;
    const auto program = std::filesystem::read_symlink("/proc/self/exe", error);
    return (program.parent_path() / launcher_exe_name).string();
}

namespace {

// The launcher as the first word of Exec: as it is where no character of it needs quoting,
// since the desktop's own tools (xdg-mime, and with it xdg-open) take the first word as it
// stands and pass over an entry whose program they cannot find; else in double quotes, with
// ", `, $ and \ escaped. "%" is doubled (a field code otherwise), and each backslash doubled
// again for the value's own escaping.
std::string execProgram(const std::string& path) {
    std::string word;
    if (path.find_first_of(" \t\n\"'\\><~|&;$*?#()`") == std::string::npos) {
        word = path;
    } else {
        word = "\"";
        for (const char c : path) {
            if (c == '"' || c == '`' || c == '$' || c == '\\') {
                word += '\\';
            }
            word += c;
        }
        word += '"';
    }
    std::string value;
    for (const char c : word) {
        value += c == '%' ? "%%" : c == '\\' ? "\\\\" : c == '\n' ? "\\n" : std::string(1, c);
    }
    return value;
}

} // namespace

bool UpdateDesktopAssociations(const std::string& launcherPath) {
    const std::set<std::string> wanted = DesktopMimeTypes(launcherExtensions());
    const std::string installed = InstalledDesktopEntry(launcherPath);
    const std::string entryId = installed.empty() ? std::string(kDesktopEntry) : installed;
    const std::string ownEntryPath = dataHome() + "/applications/" + kDesktopEntry;

    bool ok = true;
    if (installed.empty()) {
        std::string types;
        for (const std::string& type : wanted) {
            types += type + ";";
        }
        const std::string entry = "[Desktop Entry]\nType=Application\nName=Orvalen Viewer\n"
                                  "Comment=View images\nExec=" +
                                  execProgram(launcherPath) +
                                  " %f\nTerminal=false\nCategories=Graphics;Viewer;\n"
                                  "MimeType=" +
                                  types + "\n";
        ok = writeAtomically(ownEntryPath, entry);
    } else {
        // An entry left by a build folder would list the program twice in the menus and run
        // a launcher that may be gone.
        std::error_code error;
        std::filesystem::remove(ownEntryPath, error);
    }
    const auto isOurs = [](const std::string& id) {
        return id == kDesktopEntry || id == kInstalledDesktopEntry;
    };

    // mimeapps.list, line by line; only lines of [Default Applications] for our types change.
    const std::string listPath = configHome() + "/mimeapps.list";
    std::vector<std::string> lines;
    {
        std::ifstream in(listPath);
        for (std::string line; std::getline(in, line);) {
            lines.push_back(line);
        }
    }
    TRegistryIniFile saved(savedDefaultsKey().substr(0, savedDefaultsKey().rfind('\\')),
                           KEY_ALL_ACCESS);
    const std::string savedSection = "mime defaults";
    std::size_t section = lines.size();
    std::size_t sectionEnd = lines.size();
    for (std::size_t i = 0; i < lines.size(); ++i) {
        if (lines[i] == "[Default Applications]") {
            section = i;
            sectionEnd = lines.size();
            for (std::size_t j = i + 1; j < lines.size(); ++j) {
                if (!lines[j].empty() && lines[j][0] == '[') {
                    sectionEnd = j;
                    break;
                }
            }
            break;
        }
    }
    if (section == lines.size()) {
        if (!lines.empty() && !lines.back().empty()) {
            lines.push_back("");
        }
        lines.push_back("[Default Applications]");
        section = lines.size() - 1;
        sectionEnd = lines.size();
    }
    std::map<std::string, std::size_t> current; // type -> line index
    for (std::size_t i = section + 1; i < sectionEnd; ++i) {
        const std::size_t equals = lines[i].find('=');
        if (equals != std::string::npos) {
            current[lines[i].substr(0, equals)] = i;
        }
    }
    std::vector<std::size_t> removed;
    std::vector<std::string> added;
    // Types taken now: remember what they opened with, then make them ours.
    for (const std::string& type : wanted) {
        const auto found = current.find(type);
        const std::string previous =
            found != current.end() ? lines[found->second].substr(type.size() + 1) : "";
        if (previous == entryId) {
            continue;
        }
        // Our other entry is no earlier default to give back: the one saved then still is.
        if (!isOurs(previous) && !saved.ValueExists(savedSection, type)) {
            saved.WriteString(savedSection, type, previous);
        }
        if (found != current.end()) {
            lines[found->second] = type + "=" + entryId;
        } else {
            added.push_back(type + "=" + entryId);
        }
    }
    // Types given up: the earlier default comes back (or none, as before).
    for (const auto& [type, index] : current) {
        if (wanted.count(type) != 0 || !isOurs(lines[index].substr(type.size() + 1))) {
            continue;
        }
        const std::string previous = saved.ReadString(savedSection, type, "");
        if (previous.empty()) {
            removed.push_back(index);
        } else {
            lines[index] = type + "=" + previous;
        }
        saved.DeleteKey(savedSection, type);
    }
    std::sort(removed.rbegin(), removed.rend());
    for (std::size_t index : removed) {
        lines.erase(lines.begin() + static_cast<std::ptrdiff_t>(index));
        if (index < sectionEnd) {
            --sectionEnd;
        }
    }
    lines.insert(lines.begin() + static_cast<std::ptrdiff_t>(sectionEnd), added.begin(),
                 added.end());
    std::string content;
    for (const std::string& line : lines) {
        content += line + "\n";
    }
    ok = writeAtomically(listPath, content) && ok;
    return ok;
}

} // namespace associations
