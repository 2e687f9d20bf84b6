// Folder and file names, shell item id lists, and two shell and window helpers.
//
// Texts are UTF-8 byte strings. File paths use "/" as separator; the names of the operations
// below still say "backslash", the separator they were first written for.
#pragma once

#include "platform/Shell.h"
#include "platform/WinTypes.h"

#include <string>

// A folder as text.
class Path {
public:
    std::string text;

    // False for an empty text; otherwise removes one trailing separator if there is one.
    bool RemoveTrailingBackslash();
    // To the parent folder: drops a trailing separator, then everything from the last separator
    // on. The parent of a folder directly below the root is the root "/" itself, so folder
    // texts stay comparable there. Always true.
    bool Up();
};

// An empty text stays empty; a text ending in "/" is returned as it is; otherwise "/" is added.
std::string WithTrailingBackslash(const std::string& text);

// text without one pair of double quotes around it (a desktop may quote a name holding blanks);
// quotes inside a name are part of it and stay. A text that names an existing file as it is,
// quotes and all, is that file and stays whole.
std::string Unquoted(const std::string& text);

// A file name given on a command line, made to mean the same file from any working folder: a
// relative name is put after the working folder's, "." and ".." taken away by their text (as a
// shell's "cd" takes them); quotes around it stay around it. An absolute or empty name, or any
// name while the working folder cannot be had, stays as it is. The running viewer that takes
// a file over from another process, and the folder it steps through, need the whole name.
std::string AbsoluteName(const std::string& text);

// A file name split into its folder (without a trailing separator, "/" for the root) and name.
class FullyQualifiedFilename {
public:
    FullyQualifiedFilename() = default;
    explicit FullyQualifiedFilename(const std::string& text) { Load(&text); }

    // A null pointer is reported and read as the empty text.
    void Load(const std::string* text);
    // Removes the quotes around the text (Unquoted), then splits at the last separator: "/a/b.jpg"
    // gives the folder
    // "/a" and the name "b.jpg"; "/a/b/" gives "/a" and "b"; a text without separator is the
    // name, and the folder keeps the whole text. False (reported) for null.
    bool Load(const char* text);

    const std::string& Folder() const { return path.text; }
    const std::string& Name() const { return name; }

    Path path;
    std::string name;
};

// The task allocator, obtained once by GetShellAllocator (later calls do nothing). Failures
// are reported; the result is true in every case.
extern IMalloc* comalloc;
bool GetShellAllocator();

// An owned item id list from the task allocator.
class PIDL {
public:
    // An empty list (just the terminator), capacity 0.
    PIDL();
    // A copy of list.
    explicit PIDL(const ITEMIDLIST* list);
    PIDL(const PIDL& other);
    PIDL& operator=(const PIDL& other);
    ~PIDL();

    // A new zeroed block of n + 2 bytes from the task allocator; null (reported) on failure.
    ITEMIDLIST* Alloc(unsigned n);
    // Makes room for n bytes; false when the capacity already is n or more. Throws
    // "Problem calling IMalloc::Realloc" when memory runs out.
    bool Reserve(unsigned n);
    void Assign(const ITEMIDLIST* source);
    void Append(const PIDL& other);
    // Bytes of the list with its terminator (2 for an empty or null list).
    unsigned Size() const;
    unsigned SizeWithoutTerminator() const { return Size() - 2; }
    bool IsEmpty() const;
    // Makes this a one-item list of source's first item (an empty list for null).
    void CopyFirstItem(const ITEMIDLIST* source);
    // The list of a full path; false for an empty text or a path the namespace does not know.
    bool FromPath(const std::string& text);

    ITEMIDLIST* List() const { return list; }
    unsigned Capacity() const { return capacity; }

    // Walks the items of a list: the first call of Next gives the first item (null for an
    // empty list), each later call the following one, null at the terminator.
    class Iterator {
    public:
        explicit Iterator(const ITEMIDLIST* list)
            : start(reinterpret_cast<const BYTE*>(list)), current(nullptr) {}
        const ITEMIDLIST* Next();

    private:
        const BYTE* start;
        const BYTE* current;
    };

private:
    void FreeList();

    ITEMIDLIST* list = nullptr;
    DWORD capacity = 0;
    DWORD reserved = 0;
};

// Hands a file to the program the desktop associates with it ("Open"); true when handed over.
bool ShellOpen(const char* file_name);

// Restores a minimised window and brings it forward; true when it is then the foreground
// window (a window of another process is asked to come forward, and false is returned).
bool BringWindowToForeground(HWND window);
