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

// The MIME types of every extension whose class is the launcher's.
std::set<std::string> launcherMimeTypes() {
    std::set<std::string> types;
    TRegistry registry(KEY_READ);
    registry.SetRootKey(HKEY_CLASSES_ROOT);
    if (!registry.OpenKey("\\", false)) {
        return types;
    }
    const std::vector<std::string> keys = registry.GetKeyNames();
    registry.CloseKey();
    const std::string prefix = launcher_exe_name;
    QMimeDatabase database;
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
            for (const QMimeType& mime :
                 database.mimeTypesForFileName(QString::fromStdString("x" + key))) {
                types.insert(mime.name().toStdString());
            }
        }
    }
    return types;
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

std::string LauncherPath() {
    std::error_code error;
    const auto program = std::filesystem::read_symlink("/proc/self/exe", error);
    return (program.parent_path() / launcher_exe_name).string();
}

bool UpdateDesktopAssociations(const std::string& launcherPath) {
    const std::set<std::string> wanted = launcherMimeTypes();

    std::string types;
    for (const std::string& type : wanted) {
        types += type + ";";
    }
    const std::string entry = "[Desktop Entry]\nType=Application\nName=Orvalen Viewer\n"
                              "Comment=View images\nExec=\"" +
                              launcherPath +
                              "\" %f\nTerminal=false\nCategories=Graphics;Viewer;\n"
                              "MimeType=" +
                              types + "\n";
    bool ok = writeAtomically(dataHome() + "/applications/" + kDesktopEntry, entry);

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
        if (previous == kDesktopEntry) {
            continue;
        }
        if (!saved.ValueExists(savedSection, type)) {
            saved.WriteString(savedSection, type, previous);
        }
        if (found != current.end()) {
            lines[found->second] = type + "=" + kDesktopEntry;
        } else {
            added.push_back(type + "=" + kDesktopEntry);
        }
    }
    // Types given up: the earlier default comes back (or none, as before).
    for (const auto& [type, index] : current) {
        if (wanted.count(type) != 0 || lines[index] != type + "=" + kDesktopEntry) {
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
