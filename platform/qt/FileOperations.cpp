#include "FileOperations.h"

#include "../MessageBox.h"

#include <QFile>
#include <QString>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <string>
#include <sys/stat.h>
#include <vector>

namespace {

std::vector<std::string> pathsOf(const char* list) {
    std::vector<std::string> paths;
    for (const char* at = list; at != nullptr && *at != '\0'; at += std::strlen(at) + 1) {
        paths.emplace_back(at);
    }
    return paths;
}

} // namespace

int SHFileOperationA(SHFILEOPSTRUCTA* operation) {
    if (operation == nullptr) {
        return static_cast<int>(ERROR_INVALID_PARAMETER);
    }
    operation->fAnyOperationsAborted = FALSE;
    const std::vector<std::string> paths = pathsOf(operation->pFrom);
    if (paths.empty()) {
        return static_cast<int>(ERROR_INVALID_PARAMETER);
    }
    if (operation->wFunc == FO_RENAME) {
        if (operation->pTo == nullptr || *operation->pTo == '\0') {
            return static_cast<int>(ERROR_INVALID_PARAMETER);
        }
        struct stat info {};
        if (::lstat(operation->pTo, &info) == 0) {
            return static_cast<int>(ERROR_ALREADY_EXISTS);
        }
        return std::rename(paths[0].c_str(), operation->pTo) == 0 ? 0 : errno;
    }
    if (operation->wFunc != FO_DELETE) {
        return static_cast<int>(ERROR_INVALID_PARAMETER);
    }
    const bool trash = (operation->fFlags & FOF_ALLOWUNDO) != 0;
    if (!(operation->fFlags & FOF_NOCONFIRMATION)) {
        const std::string what =
            paths.size() == 1 ? "\"" + std::filesystem::path(paths[0]).filename().string() + "\""
                              : std::to_string(paths.size()) + " items";
        const std::string question = trash ? "Move " + what + " to the Trash?"
                                           : "Delete " + what + " for good? This cannot be undone.";
        if (MessageBoxA(operation->hwnd, question.c_str(), "Confirm Delete",
                        MB_YESNO | MB_ICONQUESTION) != IDYES) {
            operation->fAnyOperationsAborted = TRUE;
            return static_cast<int>(ERROR_CANCELLED);
        }
    }
    for (const std::string& path : paths) {
        if (trash) {
            if (!QFile::moveToTrash(QString::fromStdString(path))) {
                return static_cast<int>(ERROR_ACCESS_DENIED);
            }
        } else {
            std::error_code error;
            if (std::filesystem::remove_all(path, error) == 0 || error) {
                return error ? error.value() : static_cast<int>(ERROR_FILE_NOT_FOUND);
            }
        }
    }
    return 0;
}
