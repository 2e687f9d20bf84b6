#include "DesktopApplications.h"

#include "Thumbnails.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QProcess>
#include <QTextStream>

#include <algorithm>
#include <cstdlib>
#include <map>
#include <set>

namespace platform {

namespace {

std::vector<std::string> splitList(const char* value, const char* fallback) {
    const QString text = (value != nullptr && *value != '\0') ? value : fallback;
    std::vector<std::string> parts;
    for (const QString& part : text.split(':', Qt::SkipEmptyParts)) {
        parts.push_back(part.toStdString());
    }
    return parts;
}

std::string homeBased(const char* variable, const char* below_home) {
    const char* value = std::getenv(variable);
    if (value != nullptr && *value == '/') {
        return value;
    }
    const char* home = std::getenv("HOME");
    return std::string(home != nullptr ? home : "") + below_home;
}

// The applications folders, most important first.
std::vector<std::string> applicationFolders() {
    std::vector<std::string> folders{homeBased("XDG_DATA_HOME", "/.local/share") + "/applications"};
    for (const std::string& dir :
         splitList(std::getenv("XDG_DATA_DIRS"), "/usr/local/share:/usr/share")) {
        folders.push_back(dir + "/applications");
    }
    return folders;
}

// A key file's groups: group -> key -> value (escapes of values undone only where read).
using KeyFile = std::map<std::string, std::map<std::string, std::string>>;

KeyFile readKeyFile(const QString& path) {
    KeyFile groups;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text)) {
        return groups;
    }
    std::string group;
    QTextStream in(&file);
    while (!in.atEnd()) {
        const QString line = in.readLine().trimmed();
        if (line.isEmpty() || line.startsWith('#')) {
            continue;
        }
        if (line.startsWith('[') && line.endsWith(']')) {
            group = line.mid(1, line.size() - 2).toStdString();
            continue;
        }
        const qsizetype equals = line.indexOf('=');
        if (equals > 0 && !group.empty()) {
            groups[group][line.left(equals).trimmed().toStdString()] =
                line.mid(equals + 1).trimmed().toStdString();
        }
    }
    return groups;
}

std::vector<std::string> splitSemicolons(const std::string& value) {
    std::vector<std::string> parts;
    for (const QString& part : QString::fromStdString(value).split(';', Qt::SkipEmptyParts)) {
        parts.push_back(part.trimmed().toStdString());
    }
    return parts;
}

struct Entry {
    DesktopApplication application;
    std::vector<std::string> mime_types;
};

// Every usable desktop entry by id; the first folder holding an id wins.
std::map<std::string, Entry> readEntries() {
    std::map<std::string, Entry> entries;
    std::set<std::string> seen;
    for (const std::string& folder : applicationFolders()) {
        const QString root = QString::fromStdString(folder);
        QDirIterator files(root, {"*.desktop"}, QDir::Files, QDirIterator::Subdirectories);
        while (files.hasNext()) {
            const QString path = files.next();
            std::string id = QDir(root).relativeFilePath(path).toStdString();
            std::replace(id.begin(), id.end(), '/', '-');
            if (!seen.insert(id).second) {
                continue; // a more important folder already had it, hidden or not
            }
            const KeyFile file = readKeyFile(path);
            const auto group = file.find("Desktop Entry");
            if (group == file.end()) {
                continue;
            }
            const auto& keys = group->second;
            auto value = [&keys](const char* key) {
                const auto found = keys.find(key);
                return found != keys.end() ? found->second : std::string();
            };
            if (value("Hidden") == "true" || value("Exec").empty() ||
                (!value("Type").empty() && value("Type") != "Application")) {
                continue;
            }
            Entry entry;
            entry.application = {id, value("Name").empty() ? id : value("Name"), value("Exec"),
                                 value("Icon")};
            entry.mime_types = splitSemicolons(value("MimeType"));
            entries.emplace(id, std::move(entry));
        }
    }
    return entries;
}

} // namespace

std::vector<DesktopApplication> ApplicationsForMimeType(const std::string& mime_type) {
    const std::map<std::string, Entry> entries = readEntries();
    std::vector<std::string> lists;
    const std::string config = homeBased("XDG_CONFIG_HOME", "/.config");
    lists.push_back(config + "/mimeapps.list");
    for (const std::string& dir : splitList(std::getenv("XDG_CONFIG_DIRS"), "/etc/xdg")) {
        lists.push_back(dir + "/mimeapps.list");
    }
    for (const std::string& folder : applicationFolders()) {
        lists.push_back(folder + "/mimeapps.list");
    }

    std::vector<std::string> order; // ids, best first
    std::set<std::string> removed;
    std::string default_id;
    for (const std::string& list : lists) {
        KeyFile file = readKeyFile(QString::fromStdString(list));
        for (const std::string& id : splitSemicolons(file["Removed Associations"][mime_type])) {
            removed.insert(id);
        }
        if (default_id.empty()) {
            for (const std::string& id : splitSemicolons(file["Default Applications"][mime_type])) {
                if (entries.count(id) != 0 && removed.count(id) == 0) {
                    default_id = id; // the first installed one of the most important list
                    break;
                }
            }
        }
        for (const std::string& id : splitSemicolons(file["Added Associations"][mime_type])) {
            if (removed.count(id) == 0) {
                order.push_back(id);
            }
        }
    }
    std::vector<std::pair<std::string, std::string>> others; // name, id
    for (const auto& [id, entry] : entries) {
        if (std::find(entry.mime_types.begin(), entry.mime_types.end(), mime_type) !=
                entry.mime_types.end() &&
            removed.count(id) == 0) {
            others.emplace_back(entry.application.name, id);
        }
    }
    std::sort(others.begin(), others.end());
    if (!default_id.empty()) {
        order.insert(order.begin(), default_id);
    }
    for (const auto& other : others) {
        order.push_back(other.second);
    }

    std::vector<DesktopApplication> applications;
    std::set<std::string> listed;
    for (const std::string& id : order) {
        const auto found = entries.find(id);
        if (found != entries.end() && listed.insert(id).second) {
            applications.push_back(found->second.application);
        }
    }
    return applications;
}

std::vector<std::string> ApplicationCommandLine(const DesktopApplication& application,
                                                const std::vector<std::string>& files) {
    // Split Exec= into arguments: double quotes group, a backslash escapes inside them.
    std::vector<std::string> words;
    std::string word;
    bool quoted = false, any = false;
    const std::string& exec = application.exec;
    for (std::size_t i = 0; i < exec.size(); ++i) {
        const char c = exec[i];
        if (quoted) {
            if (c == '\\' && i + 1 < exec.size()) {
                word += exec[++i];
            } else if (c == '"') {
                quoted = false;
            } else {
                word += c;
            }
        } else if (c == '"') {
            quoted = any = true;
        } else if (c == ' ' || c == '\t') {
            if (any) {
                words.push_back(word);
            }
            word.clear();
            any = false;
        } else {
            word += c;
            any = true;
        }
    }
    if (any) {
        words.push_back(word);
    }

    std::vector<std::string> command;
    for (const std::string& w : words) {
        if (w == "%F" || w == "%U") {
            command.insert(command.end(), files.begin(), files.end());
            continue;
        }
        std::string expanded;
        bool dropped = false;
        for (std::size_t i = 0; i < w.size(); ++i) {
            if (w[i] != '%' || i + 1 == w.size()) {
                expanded += w[i];
                continue;
            }
            const char code = w[++i];
            if (code == '%') {
                expanded += '%';
            } else if (code == 'f' || code == 'u') {
                if (files.empty()) {
                    dropped = true;
                } else {
                    expanded += files.front();
                }
            } else if (code == 'c') {
                expanded += application.name;
            } else if (w.size() == 2) {
                dropped = true; // a code alone that has nothing to give goes with its word
            }
        }
        if (!dropped) {
            command.push_back(expanded);
        }
    }
    return command;
}

std::function<bool(const std::vector<std::string>&)>& ApplicationStarter() {
    static std::function<bool(const std::vector<std::string>&)> starter =
        [](const std::vector<std::string>& command_line) {
            if (command_line.empty()) {
                return false;
            }
            QStringList arguments;
            for (std::size_t i = 1; i < command_line.size(); ++i) {
                arguments << QString::fromStdString(command_line[i]);
            }
            return QProcess::startDetached(QString::fromStdString(command_line.front()), arguments);
        };
    return starter;
}

bool LaunchApplication(const DesktopApplication& application,
                       const std::vector<std::string>& files) {
    return ApplicationStarter()(ApplicationCommandLine(application, files));
}

} // namespace platform
