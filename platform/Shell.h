// The shell namespace (item id lists), the task allocator and opening with the default program.
//
// An item id list is a sequence of items, each a 16-bit byte count (the count included), a kind
// byte and the item's bytes, ended by a count of 0. The lists encode a path through this
// namespace:
//
//   desktop (the empty list: the virtual root)
//   +- Home             kind 'h'   the user's home folder
//   +- Desktop          kind 'd'   the XDG desktop folder, where it exists; its bytes are the path
//   +- Computer         kind 'c'   virtual
//      +- File System   kind 'r'   the root folder "/"
//      +- a mount point kind 'm'   its bytes are the mount path
//   file-system items   kind 'f'   one per path component below any of these, its bytes the
//                                  component's name (any bytes but '/' and NUL)
//
// Parsing a full path gives the list through Computer and File System, one item per component.
#pragma once

#include "WinTypes.h"

#include <functional>
#include <string>
#include <vector>

using HRESULT = std::int32_t;
using ULONG = std::uint32_t;
constexpr HRESULT S_OK = 0;
constexpr HRESULT S_FALSE = 1;
constexpr HRESULT E_FAIL = static_cast<HRESULT>(0x80004005);
constexpr HRESULT E_INVALIDARG = static_cast<HRESULT>(0x80070057);
constexpr HRESULT E_OUTOFMEMORY = static_cast<HRESULT>(0x8007000E);
constexpr HRESULT HRESULT_FROM_WIN32(DWORD code) {
    return code == 0 ? S_OK : static_cast<HRESULT>((code & 0xFFFF) | 0x80070000u);
}
constexpr bool SUCCEEDED(HRESULT result) {
    return result >= 0;
}

#pragma pack(push, 1)
struct SHITEMID {
    WORD cb;
    BYTE abID[1];
};
struct ITEMIDLIST {
    SHITEMID mkid;
};
#pragma pack(pop)

// The process-wide task allocator. Alloc and Realloc return null when memory runs out.
class IMalloc {
public:
    virtual void* Alloc(std::size_t size) = 0;
    virtual void* Realloc(void* block, std::size_t size) = 0;
    virtual void Free(void* block) = 0;

protected:
    ~IMalloc() = default;
};

constexpr DWORD MEMCTX_TASK = 1;
// The task allocator for memory context 1; E_INVALIDARG for any other context.
HRESULT CoGetMalloc(DWORD memoryContext, IMalloc** allocator);

// Attributes of an item.
constexpr ULONG SFGAO_FOLDER = 0x20000000;
constexpr ULONG SFGAO_FILESYSTEM = 0x40000000;

// Parses a full path (UTF-8 bytes, as file names are here) into a new list from the task
// allocator. "." parts and repeated separators are dropped, ".." goes one up. A relative path
// gives E_INVALIDARG; a path that does not exist HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND).
HRESULT SHParseDisplayName(const char* name, void* bindContext, ITEMIDLIST** list,
                           ULONG attributesIn, ULONG* attributesOut);
// The size of a list in bytes with its terminator (2 for null).
UINT ILGetSize(const ITEMIDLIST* list);
// A copy of a list from the task allocator (null for null or no memory).
ITEMIDLIST* ILClone(const ITEMIDLIST* list);
bool ILIsEqual(const ITEMIDLIST* a, const ITEMIDLIST* b);

namespace platform {
// One child of a folder of the namespace: its one-item id (to append to the folder's list),
// the name the user sees, and what it is.
struct ShellEntry {
    std::string item;        // the bytes of one item id, terminator not included
    std::string displayName; // as shown
    bool folder = false;
    bool fileSystem = false;
    long long size = 0;     // files only
    long long modified = 0; // seconds since 1970, file-system items only
};
// The children of the folder named by list (the desktop for null or empty): the desktop has
// Home, Desktop (the XDG desktop folder, where it exists) and Computer; Computer has File
// System ("/") and the mounted volumes; a file-system folder its entries, files included when
// asked, hidden ("." names) ones when asked. Empty for a folder that cannot be read.
std::vector<ShellEntry> ShellChildren(const ITEMIDLIST* list, bool files, bool hidden);
// The name a user sees for the last item of list ("Desktop" for the desktop itself).
std::string DisplayNameOf(const ITEMIDLIST* list);
// The file-system path of a list, or empty for a virtual item (desktop, Computer).
std::string PathFromIDList(const ITEMIDLIST* list);
// The attributes of the item a list names (SFGAO_FILESYSTEM, SFGAO_FOLDER), 0 when it does not
// exist.
ULONG AttributesOfIDList(const ITEMIDLIST* list);
} // namespace platform

// Opening with the default program.
constexpr ULONG SEE_MASK_FLAG_NO_UI = 0x00000400;
constexpr int SW_SHOWNORMAL = 1;
constexpr int SW_SHOWDEFAULT = 10;

struct SHELLEXECUTEINFOA {
    DWORD cbSize;
    ULONG fMask;
    HWND hwnd;
    const char* lpVerb;
    const char* lpFile;
    const char* lpParameters;
    const char* lpDirectory;
    int nShow;
};

// Hands lpFile (a file or an address) to the desktop's default program for lpVerb ("open",
// case ignored). TRUE when it was handed over; whether a program then shows it is the
// desktop's affair.
BOOL ShellExecuteExA(SHELLEXECUTEINFOA* info);
// The same; returns a value above 32 on success, as the original did.
std::intptr_t ShellExecuteA(HWND owner, const char* verb, const char* file, const char* parameters,
                            const char* directory, int show);

namespace platform {
// Who carries out ShellExecute: by default xdg-open in a process of its own. Tests install one
// that records. An empty function restores the default. Returns the previous opener.
using ShellOpener = std::function<bool(const std::string& verb, const std::string& target)>;
ShellOpener SetShellOpener(ShellOpener opener);

// Hands target to the desktop's program for it, and tells outcome whether one took it (false
// when the desktop has none for its type, or none could start). With the desktop's opener the
// answer comes on a thread of its own once the desktop has decided; with an installed one, at
// once.
void OpenWithDesktop(const std::string& target, std::function<void(bool opened)> outcome);
} // namespace platform
