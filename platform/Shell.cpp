#include "Shell.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <mutex>
#include <spawn.h>
#include <string>
#include <strings.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <vector>

extern char** environ;

namespace {

class TaskAllocator final : public IMalloc {
public:
    void* Alloc(std::size_t size) override { return std::malloc(size == 0 ? 1 : size); }
    void* Realloc(void* block, std::size_t size) override {
        return std::realloc(block, size == 0 ? 1 : size);
    }
    void Free(void* block) override { std::free(block); }
};

TaskAllocator taskAllocator;

constexpr BYTE kHome = 'h';
constexpr BYTE kDesktopFolder = 'd';
constexpr BYTE kComputer = 'c';
constexpr BYTE kRoot = 'r';
constexpr BYTE kMount = 'm';
constexpr BYTE kFileSystem = 'f';

const BYTE* bytesOf(const ITEMIDLIST* list) {
    return reinterpret_cast<const BYTE*>(list);
}

WORD countAt(const BYTE* at) {
    WORD count;
    std::memcpy(&count, at, sizeof count);
    return count;
}

void appendItem(std::vector<BYTE>& list, BYTE kind, const std::string& bytes) {
    const auto count = static_cast<WORD>(2 + 1 + bytes.size());
    const BYTE countBytes[2] = {static_cast<BYTE>(count & 0xFF), static_cast<BYTE>(count >> 8)};
    list.insert(list.end(), countBytes, countBytes + 2);
    list.push_back(kind);
    list.insert(list.end(), bytes.begin(), bytes.end());
}

ITEMIDLIST* toTaskMemory(std::vector<BYTE> list) {
    list.push_back(0);
    list.push_back(0);
    void* memory = taskAllocator.Alloc(list.size());
    if (memory != nullptr) {
        std::memcpy(memory, list.data(), list.size());
    }
    return static_cast<ITEMIDLIST*>(memory);
}

std::string environmentPath(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr ? value : "";
}

} // namespace

HRESULT CoGetMalloc(DWORD memoryContext, IMalloc** allocator) {
    if (memoryContext != MEMCTX_TASK || allocator == nullptr) {
        return E_INVALIDARG;
    }
    *allocator = &taskAllocator;
    return S_OK;
}

HRESULT SHParseDisplayName(const char* name, void*, ITEMIDLIST** list, ULONG attributesIn,
                           ULONG* attributesOut) {
    if (list == nullptr) {
        return E_INVALIDARG;
    }
    *list = nullptr;
    if (name == nullptr || name[0] != '/') {
        return E_INVALIDARG;
    }
    std::vector<std::string> parts;
    const char* at = name;
    while (*at != '\0') {
        while (*at == '/') {
            ++at;
        }
        const char* end = at;
        while (*end != '\0' && *end != '/') {
            ++end;
        }
        const std::string part(at, end);
        if (part == "..") {
            if (!parts.empty()) {
                parts.pop_back();
            }
        } else if (!part.empty() && part != ".") {
            if (part.size() > 255) {
                return HRESULT_FROM_WIN32(ERROR_FILENAME_EXCED_RANGE);
            }
            parts.push_back(part);
        }
        at = end;
    }
    std::string path;
    for (const std::string& part : parts) {
        path += "/" + part;
    }
    struct stat info {};
    if (::stat(path.empty() ? "/" : path.c_str(), &info) != 0) {
        return HRESULT_FROM_WIN32(static_cast<DWORD>(errno));
    }
    std::vector<BYTE> bytes;
    appendItem(bytes, kComputer, "");
    appendItem(bytes, kRoot, "");
    for (const std::string& part : parts) {
        appendItem(bytes, kFileSystem, part);
    }
    *list = toTaskMemory(std::move(bytes));
    if (*list == nullptr) {
        return E_OUTOFMEMORY;
    }
    if (attributesOut != nullptr) {
        *attributesOut = platform::AttributesOfIDList(*list) & attributesIn;
    }
    return S_OK;
}

UINT ILGetSize(const ITEMIDLIST* list) {
    if (list == nullptr) {
        return 2;
    }
    const BYTE* at = bytesOf(list);
    UINT size = 0;
    for (WORD count = countAt(at); count != 0; count = countAt(at + size)) {
        size += count;
    }
    return size + 2;
}

ITEMIDLIST* ILClone(const ITEMIDLIST* list) {
    if (list == nullptr) {
        return nullptr;
    }
    const UINT size = ILGetSize(list);
    void* copy = taskAllocator.Alloc(size);
    if (copy != nullptr) {
        std::memcpy(copy, list, size);
    }
    return static_cast<ITEMIDLIST*>(copy);
}

bool ILIsEqual(const ITEMIDLIST* a, const ITEMIDLIST* b) {
    const UINT size = ILGetSize(a);
    if (size != ILGetSize(b)) {
        return false;
    }
    if (a == nullptr || b == nullptr) {
        return size == 2;
    }
    return std::memcmp(a, b, size) == 0;
}

namespace platform {

std::string PathFromIDList(const ITEMIDLIST* list) {
    if (list == nullptr) {
        return {};
    }
    const BYTE* at = bytesOf(list);
    std::string path;
    bool fileSystem = false;
    for (WORD count = countAt(at); count != 0; at += count, count = countAt(at)) {
        if (count < 3) {
            return {};
        }
        const BYTE kind = at[2];
        const std::string bytes(reinterpret_cast<const char*>(at + 3), count - 3u);
        switch (kind) {
        case kHome:
            path = environmentPath("HOME");
            fileSystem = true;
            break;
        case kDesktopFolder:
            path = bytes;
            fileSystem = true;
            break;
        case kComputer:
            path.clear();
            fileSystem = false;
            break;
        case kRoot:
            // assign(1, '/') rather than = "/": GCC 12 warns falsely on the latter (-Wrestrict,
            // GCC bug 105329, fixed in GCC 13); back to = "/" once CI builds with 13.
            path.assign(1, '/');
            fileSystem = true;
            break;
        case kMount:
            path = bytes;
            fileSystem = true;
            break;
        case kFileSystem:
            if (!fileSystem) {
                return {};
            }
            if (path.empty() || path.back() != '/') {
                path += '/';
            }
            path += bytes;
            break;
        default:
            return {};
        }
    }
    return fileSystem ? path : std::string();
}

namespace {

std::string itemBytes(BYTE kind, const std::string& bytes) {
    std::vector<BYTE> item;
    appendItem(item, kind, bytes);
    return std::string(item.begin(), item.end());
}

// The XDG desktop folder: from user-dirs.dirs when it names one, else $HOME/Desktop.
std::string desktopFolder() {
    const std::string home = environmentPath("HOME");
    std::string config = environmentPath("XDG_CONFIG_HOME");
    if (config.empty()) {
        config = home + "/.config";
    }
    FILE* dirs = std::fopen((config + "/user-dirs.dirs").c_str(), "r");
    std::string folder = home + "/Desktop";
    if (dirs != nullptr) {
        char line[4096];
        while (std::fgets(line, sizeof line, dirs) != nullptr) {
            std::string text(line);
            const std::string key = "XDG_DESKTOP_DIR=\"";
            if (text.rfind(key, 0) == 0) {
                text = text.substr(key.size());
                text = text.substr(0, text.find('"'));
                if (text.rfind("$HOME", 0) == 0) {
                    text = home + text.substr(5);
                }
                folder = text;
            }
        }
        std::fclose(dirs);
    }
    return folder;
}

std::vector<std::string> mountedVolumes() {
    std::vector<std::string> volumes;
    FILE* mounts = std::fopen("/proc/mounts", "r");
    if (mounts == nullptr) {
        return volumes;
    }
    char device[4096], point[4096];
    while (std::fscanf(mounts, "%4095s %4095s %*s %*s %*d %*d", device, point) == 2) {
        // Real volumes only: a device file, not the root, not the system's own places.
        const std::string where(point);
        if (std::strncmp(device, "/dev/", 5) == 0 && where != "/" && where.rfind("/boot", 0) != 0 &&
            where.rfind("/proc", 0) != 0 && where.rfind("/sys", 0) != 0 &&
            where.rfind("/dev", 0) != 0 && where.rfind("/run", 0) != 0 &&
            std::find(volumes.begin(), volumes.end(), where) == volumes.end()) {
            volumes.push_back(where);
        }
    }
    std::fclose(mounts);
    return volumes;
}

} // namespace

std::vector<ShellEntry> ShellChildren(const ITEMIDLIST* list, bool files, bool hidden) {
    std::vector<ShellEntry> children;
    if (list == nullptr || ILGetSize(list) == 2) {
        children.push_back({itemBytes(kHome, ""), "Home", true, true, 0, 0});
        const std::string desktop = desktopFolder();
        struct stat info {};
        if (::stat(desktop.c_str(), &info) == 0 && S_ISDIR(info.st_mode) &&
            desktop != environmentPath("HOME")) {
            children.push_back({itemBytes(kDesktopFolder, desktop), "Desktop", true, true, 0, 0});
        }
        children.push_back({itemBytes(kComputer, ""), "Computer", true, false, 0, 0});
        return children;
    }
    const std::string path = PathFromIDList(list);
    if (path.empty()) {
        // Computer.
        children.push_back({itemBytes(kRoot, ""), "File System", true, true, 0, 0});
        for (const std::string& volume : mountedVolumes()) {
            const std::size_t slash = volume.rfind('/');
            children.push_back(
                {itemBytes(kMount, volume), volume.substr(slash + 1), true, true, 0, 0});
        }
        return children;
    }
    DIR* folder = ::opendir(path.c_str());
    if (folder == nullptr) {
        return children;
    }
    const std::string prefix = path.back() == '/' ? path : path + "/";
    while (dirent* entry = ::readdir(folder)) {
        const std::string name = entry->d_name;
        if (name == "." || name == ".." || (!hidden && name[0] == '.')) {
            continue;
        }
        if (!files && entry->d_type != DT_DIR && entry->d_type != DT_LNK &&
            entry->d_type != DT_UNKNOWN) {
            continue; // surely not a folder: no need to look closer (a folder tree of a big
                      // photo folder would otherwise stat every photo)
        }
        struct stat info {};
        if (::stat((prefix + name).c_str(), &info) != 0) {
            continue; // a dangling link or an entry gone meanwhile
        }
        const bool isFolder = S_ISDIR(info.st_mode);
        if (!isFolder && !files) {
            continue;
        }
        children.push_back({itemBytes(kFileSystem, name), name, isFolder, true,
                            isFolder ? 0 : static_cast<long long>(info.st_size),
                            static_cast<long long>(info.st_mtime)});
    }
    ::closedir(folder);
    return children;
}

std::string DisplayNameOf(const ITEMIDLIST* list) {
    if (list == nullptr || ILGetSize(list) == 2) {
        return "Desktop";
    }
    const BYTE* at = bytesOf(list);
    const BYTE* last = at;
    for (WORD count = countAt(at); count != 0; at += count, count = countAt(at)) {
        last = at;
    }
    const WORD count = countAt(last);
    const std::string bytes(reinterpret_cast<const char*>(last + 3), count - 3u);
    switch (last[2]) {
    case kHome:
        return "Home";
    case kDesktopFolder:
        return "Desktop";
    case kComputer:
        return "Computer";
    case kRoot:
        return "File System";
    case kMount:
        return bytes.substr(bytes.rfind('/') + 1);
    default:
        return bytes;
    }
}

ULONG AttributesOfIDList(const ITEMIDLIST* list) {
    const std::string path = PathFromIDList(list);
    if (path.empty()) {
        return ILGetSize(list) >= 2 ? SFGAO_FOLDER : 0; // the virtual folders
    }
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0) {
        return 0;
    }
    return SFGAO_FILESYSTEM | (S_ISDIR(info.st_mode) ? SFGAO_FOLDER : 0);
}

} // namespace platform

// ---------------------------------------------------------------------------------------------
// Opening with the default program

namespace {

std::mutex openerGuard;
platform::ShellOpener& installedOpener() {
    static platform::ShellOpener opener;
    return opener;
}

// The desktop's opener started on target; 0 when it cannot start.
pid_t startXdgOpen(const std::string& target) {
    const char* argv[] = {"xdg-open", target.c_str(), nullptr};
    pid_t child = 0;
    if (::posix_spawnp(&child, "xdg-open", nullptr, nullptr, const_cast<char**>(argv), environ) !=
        0) {
        return 0;
    }
    return child;
}

bool openWithXdgOpen(const std::string&, const std::string& target) {
    const pid_t child = startXdgOpen(target);
    if (child == 0) {
        return false;
    }
    // Reap it without making the caller wait for the desktop.
    std::thread([child] { ::waitpid(child, nullptr, 0); }).detach();
    return true;
}

bool openTarget(const char* verb, const char* file) {
    platform::ShellOpener opener;
    {
        std::lock_guard lock(openerGuard);
        opener = installedOpener();
    }
    const std::string theVerb = verb != nullptr ? verb : "open";
    const std::string target = file != nullptr ? file : "";
    if (opener) {
        return opener(theVerb, target);
    }
    if (strcasecmp(theVerb.c_str(), "open") != 0 || target.empty()) {
        return false;
    }
    return openWithXdgOpen(theVerb, target);
}

} // namespace

BOOL ShellExecuteExA(SHELLEXECUTEINFOA* info) {
    if (info == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (!openTarget(info->lpVerb, info->lpFile)) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return FALSE;
    }
    return TRUE;
}

std::intptr_t ShellExecuteA(HWND owner, const char* verb, const char* file, const char* parameters,
                            const char* directory, int show) {
    SHELLEXECUTEINFOA info{
        sizeof(SHELLEXECUTEINFOA), 0, owner, verb, file, parameters, directory, show};
    return ShellExecuteExA(&info) ? 42 : static_cast<std::intptr_t>(ERROR_FILE_NOT_FOUND);
}

namespace platform {

void OpenWithDesktop(const std::string& target, std::function<void(bool opened)> outcome) {
    ShellOpener opener;
    {
        std::lock_guard lock(openerGuard);
        opener = installedOpener();
    }
    if (opener) {
        outcome(opener("open", target));
        return;
    }
    const pid_t child = startXdgOpen(target);
    if (child == 0) {
        outcome(false);
        return;
    }
    // xdg-open ends with a failure status when no program takes the file.
    std::thread([child, outcome = std::move(outcome)] {
        int status = 0;
        const bool reaped = ::waitpid(child, &status, 0) == child;
        outcome(reaped && WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }).detach();
}

ShellOpener SetShellOpener(ShellOpener opener) {
    std::lock_guard lock(openerGuard);
    ShellOpener previous = std::move(installedOpener());
    installedOpener() = std::move(opener);
    return previous;
}

} // namespace platform
