// Shell file operations: delete (to the freedesktop.org Trash, or for good), rename, move and
// copy.
#pragma once

#include "../WinTypes.h"

constexpr UINT FO_MOVE = 1;
constexpr UINT FO_COPY = 2;
constexpr UINT FO_DELETE = 3;
constexpr UINT FO_RENAME = 4;

constexpr WORD FOF_SILENT = 0x0004;
constexpr WORD FOF_RENAMEONCOLLISION = 0x0008;
constexpr WORD FOF_NOCONFIRMATION = 0x0010;
constexpr WORD FOF_ALLOWUNDO = 0x0040;
constexpr WORD FOF_FILESONLY = 0x0080;
constexpr WORD FOF_SIMPLEPROGRESS = 0x0100;
constexpr WORD FOF_NOCONFIRMMKDIR = 0x0200;
constexpr WORD FOF_NOERRORUI = 0x0400;

constexpr DWORD ERROR_CANCELLED = 1223;

struct SHFILEOPSTRUCTA {
    HWND hwnd;
    UINT wFunc;
    const char* pFrom; // one or more paths, each ended by a zero, the list by another zero
    const char* pTo;   // the new path of FO_RENAME, the target folder of FO_MOVE and FO_COPY
    WORD fFlags;
    BOOL fAnyOperationsAborted;
    void* hNameMappings;
    const char* lpszProgressTitle;
};

// Runs one operation on every path of pFrom. FO_DELETE with FOF_ALLOWUNDO moves them to the
// Trash (files/ and info/ under $XDG_DATA_HOME/Trash), without it deletes them for good,
// folders with all they hold; unless FOF_NOCONFIRMATION the user is asked first (a "no" sets
// fAnyOperationsAborted and gives ERROR_CANCELLED). FO_RENAME renames the one path to pTo and
// never replaces an existing file. FO_MOVE and FO_COPY put every path into the folder pTo under
// its own name; a name taken there becomes "name (2).ext" and so on with FOF_RENAMEONCOLLISION,
// else that path fails. A move across file systems copies first and removes the source only once
// the copy is whole; a folder is never moved or copied into itself. Returns 0 on success, else
// the error of the first path that failed (the others are still tried); nothing is deleted or
// replaced without a request for it.
int SHFileOperationA(SHFILEOPSTRUCTA* operation);
