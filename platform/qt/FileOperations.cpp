#include "FileOperations.h"

#include "../MessageBox.h"
#include "Thumbnails.h"

#include <QByteArray>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QString>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
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

// Renames without ever replacing what is at to (checked and renamed in one step).
int renameNoReplace(const std::string& from, const std::string& to) {
    return ::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0 ? 0
                                                                                            : errno;
}

// to, or "name (2).ext", "name (3).ext", ... in its folder: the first that does not exist.
std::filesystem::path freeName(const std::filesystem::path& to) {
    std::error_code error;
    if (!std::filesystem::exists(std::filesystem::symlink_status(to, error))) {
        return to;
    }
    const std::string stem = to.stem().string();
    const std::string extension = to.extension().string();
    for (int n = 2;; ++n) {
        std::filesystem::path candidate =
            to.parent_path() / (stem + " (" + std::to_string(n) + ")" + extension);
        if (!std::filesystem::exists(std::filesystem::symlink_status(candidate, error))) {
            return candidate;
        }
    }
}

// Moves or copies one path into folder.
int transfer(const std::string& path, const std::string& folder, bool move,
             bool renameOnCollision) {
    namespace fs = std::filesystem;
    std::error_code error;
    const fs::path source = fs::absolute(path, error).lexically_normal();
    const fs::path into = fs::absolute(folder, error).lexically_normal();
    if (source.filename().empty() || !fs::is_directory(into, error)) {
        return static_cast<int>(ERROR_INVALID_PARAMETER);
    }
    if (fs::is_directory(fs::symlink_status(source, error))) {
        // Not into itself or anything below it (however the two are spelt).
        const fs::path real = fs::weakly_canonical(source, error);
        const fs::path realInto = fs::weakly_canonical(into, error);
        const auto mismatch =
            std::mismatch(real.begin(), real.end(), realInto.begin(), realInto.end());
        if (mismatch.first == real.end()) {
            return static_cast<int>(ERROR_INVALID_PARAMETER);
        }
    }
    if (move &&
        fs::weakly_canonical(source.parent_path(), error) == fs::weakly_canonical(into, error)) {
        return 0; // already there
    }
    fs::path target = into / source.filename();
    if (renameOnCollision) {
        target = freeName(target);
    }
    if (move) {
        const int renamed = renameNoReplace(source.string(), target.string());
        if (renamed != EXDEV) {
            return renamed;
        }
    }
    if (fs::exists(fs::symlink_status(target, error))) {
        return static_cast<int>(ERROR_ALREADY_EXISTS);
    }
    fs::copy(source, target, fs::copy_options::recursive | fs::copy_options::copy_symlinks, error);
    if (error) {
        fs::remove_all(target, error); // a half copy is not left behind
        return static_cast<int>(ERROR_ACCESS_DENIED);
    }
    if (move) {
        fs::remove_all(source, error); // only after the whole copy is in place
        if (error) {
            return error.value();
        }
    }
    return 0;
}

// The toolkit writes the file's original place into its .trashinfo as it is, but the trash's
// readers (file managers, gio) take it percent-encoded: a name with blanks, "%" or non-ASCII
// characters would come back from the trash under another name. The line is written again,
// encoded, where it holds the path as it is (the whole path, or the part below the top of a
// trash on another disk); an encoded one is left alone. The rest of the record stays.
void encodeTrashedPath(const std::string& original, const QString& inTrash) {
    const QFileInfo trashed(inTrash);
    const QString record = trashed.absolutePath() + "/../info/" + trashed.fileName() + ".trashinfo";
    QFile file(record);
    if (inTrash.isEmpty() || !file.open(QIODevice::ReadOnly)) {
        return;
    }
    QList<QByteArray> lines = file.readAll().split('\n');
    file.close();
    bool changed = false;
    for (QByteArray& line : lines) {
        if (!line.startsWith("Path=")) {
            continue;
        }
        const QByteArray value = line.mid(5);
        const std::string given = value.toStdString();
        const bool asIs =
            !given.empty() && (given == original ||
                               (original.size() > given.size() && original.ends_with("/" + given)));
        if (!asIs) {
            continue;
        }
        // Escaped as a file URI's path is, byte by byte (a name need not be UTF-8).
        const QByteArray encoded = QByteArray::fromStdString(platform::FileUri(given).substr(7));
        if (encoded != value) {
            line = "Path=" + encoded;
            changed = true;
        }
    }
    if (!changed) {
        return;
    }
    QSaveFile rewritten(record);
    if (rewritten.open(QIODevice::WriteOnly)) {
        rewritten.write(lines.join('\n'));
        rewritten.commit();
    }
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
        const int renamed = renameNoReplace(paths[0], operation->pTo);
        return renamed == EEXIST ? static_cast<int>(ERROR_ALREADY_EXISTS) : renamed;
    }
    if (operation->wFunc == FO_MOVE || operation->wFunc == FO_COPY) {
        if (operation->pTo == nullptr || *operation->pTo == '\0') {
            return static_cast<int>(ERROR_INVALID_PARAMETER);
        }
        int first = 0;
        for (const std::string& path : paths) {
            const int result = transfer(path, operation->pTo, operation->wFunc == FO_MOVE,
                                        (operation->fFlags & FOF_RENAMEONCOLLISION) != 0);
            if (result != 0 && first == 0) {
                first = result == EEXIST ? static_cast<int>(ERROR_ALREADY_EXISTS) : result;
            }
        }
        return first;
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
            QString inTrash;
            if (!QFile::moveToTrash(QString::fromStdString(path), &inTrash)) {
                return static_cast<int>(ERROR_ACCESS_DENIED);
            }
            encodeTrashedPath(path, inTrash);
        } else {
            std::error_code error;
            if (std::filesystem::remove_all(path, error) == 0 || error) {
                return error ? error.value() : static_cast<int>(ERROR_FILE_NOT_FOUND);
            }
        }
    }
    return 0;
}
