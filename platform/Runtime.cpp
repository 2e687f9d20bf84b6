#include "Runtime.h"

#include "WinTypes.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <sys/stat.h>
#include <unistd.h>

namespace platform {
namespace {

std::mutex cacheGuard;
std::string cachedKey;
std::string cachedFolder;

// Makes sure path is a folder of ours that nobody else can enter.
bool ensurePrivateFolder(const std::string& path) {
    if (::mkdir(path.c_str(), 0700) != 0 && errno != EEXIST) {
        SetLastErrorFromErrno();
        return false;
    }
    struct stat info {};
    if (::lstat(path.c_str(), &info) != 0) {
        SetLastErrorFromErrno();
        return false;
    }
    if (!S_ISDIR(info.st_mode) || info.st_uid != ::getuid() || (info.st_mode & 077) != 0) {
        SetLastError(ERROR_ACCESS_DENIED);
        return false;
    }
    return true;
}

std::string runtimeKey() {
    const char* xdg = std::getenv("XDG_RUNTIME_DIR");
    return (xdg != nullptr && *xdg != '\0') ? std::string(xdg) : std::string();
}

std::string runtimePathOf(const std::string& key) {
    return key.empty() ? "/tmp/orvalen-" + std::to_string(::getuid()) : key + "/orvalen";
}

} // namespace

std::string RuntimeFolder() {
    const std::string key = runtimeKey();
    std::lock_guard lock(cacheGuard);
    if (!cachedFolder.empty() && key == cachedKey) {
        return cachedFolder;
    }
    const std::string folder = runtimePathOf(key);
    if (!ensurePrivateFolder(folder)) {
        return {};
    }
    cachedKey = key;
    cachedFolder = folder;
    return folder;
}

std::string RuntimeFolderProblem() {
    if (!RuntimeFolder().empty()) {
        return {};
    }
    const int error = errno;
    const std::string folder = runtimePathOf(runtimeKey());
    const std::string intro = "The runtime folder " + folder;
    struct stat info {};
    if (::lstat(folder.c_str(), &info) != 0) {
        return intro +
               " cannot be made: " + std::strerror(error != 0 && error != EEXIST ? error : errno);
    }
    if (!S_ISDIR(info.st_mode)) {
        return intro + " is not a folder";
    }
    std::string why;
    if (info.st_uid != ::getuid()) {
        why = "owned by uid " + std::to_string(info.st_uid);
    }
    if ((info.st_mode & 077) != 0) {
        char mode[8];
        std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(info.st_mode & 07777));
        why += (why.empty() ? "" : ", ") + std::string("mode ") + mode;
    }
    if (why.empty()) {
        why = std::strerror(error);
    }
    return intro + " is not a private folder of this user: " + why;
}

std::string RuntimeSubfolder(const char* name) {
    std::string folder = RuntimeFolder();
    if (folder.empty()) {
        return {};
    }
    folder += '/';
    folder += name;
    if (!ensurePrivateFolder(folder)) {
        return {};
    }
    return folder;
}

std::string CacheSubfolder(const char* name) {
    const char* xdg = std::getenv("XDG_CACHE_HOME");
    const char* home = std::getenv("HOME");
    std::string base;
    if (xdg != nullptr && *xdg == '/') {
        base = xdg;
    } else if (home != nullptr && *home == '/') {
        base = std::string(home) + "/.cache";
        ::mkdir(base.c_str(), 0700); // the usual folder; only ours below it must be private
    } else {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return {};
    }
    std::lock_guard lock(cacheGuard);
    const std::string folder = base + "/orvalen";
    const std::string sub = folder + "/" + name;
    if (!ensurePrivateFolder(folder) || !ensurePrivateFolder(sub)) {
        return {};
    }
    return sub;
}

bool IsValidObjectName(const char* name) {
    if (name == nullptr || *name == '\0' || std::strchr(name, '/') != nullptr ||
        std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0) {
        SetLastError(ERROR_INVALID_NAME);
        return false;
    }
    return true;
}

} // namespace platform
