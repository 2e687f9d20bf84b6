#include "FileNames.h"

#include "ErrorReporting.h"
#include "platform/Windows.h"

#include <cstring>
#include <filesystem>

// ---------------------------------------------------------------------------------------------
// Path and FullyQualifiedFilename

bool Path::RemoveTrailingBackslash() {
    if (text.empty()) {
        return false;
    }
    if (text.back() == '/') {
        text.pop_back();
    }
    return true;
}

bool Path::Up() {
    RemoveTrailingBackslash();
    const std::size_t last = text.rfind('/');
    if (last == 0) {
        text = "/";
    } else if (last != std::string::npos) {
        text.erase(last);
    }
    return true;
}

std::string WithTrailingBackslash(const std::string& text) {
    if (text.empty() || text.back() == '/') {
        return text;
    }
    return text + '/';
}

void FullyQualifiedFilename::Load(const std::string* text) {
    if (text == nullptr) {
        ReportError("FullyQualifiedFilename::Load\nstr is null");
        Load("");
        return;
    }
    Load(text->c_str());
}

std::string Unquoted(const std::string& text) {
    std::error_code ignored;
    if (text.size() >= 2 && text.front() == '"' && text.back() == '"' &&
        !std::filesystem::exists(text, ignored)) {
        return text.substr(1, text.size() - 2);
    }
    return text;
}

std::string AbsoluteName(const std::string& text) {
    const std::string name = Unquoted(text);
    if (name.empty() || name.front() == '/') {
        return text;
    }
    std::error_code failed;
    const std::filesystem::path here = std::filesystem::current_path(failed);
    if (failed || here.empty()) {
        return text;
    }
    const std::string absolute = (here / name).lexically_normal().string();
    return name.size() == text.size() ? absolute : "\"" + absolute + "\"";
}

bool FullyQualifiedFilename::Load(const char* text) {
    if (text == nullptr) {
        ReportError("FullyQualifiedFilename::Load\nstr is null");
        return false;
    }
    // Only the pair around the name goes: here a name may hold quotes of its own.
    path.text = Unquoted(text);
    path.RemoveTrailingBackslash();
    const std::size_t last = path.text.rfind('/');
    name = last == std::string::npos ? path.text : path.text.substr(last + 1);
    path.Up();
    return true;
}

// ---------------------------------------------------------------------------------------------
// The task allocator

IMalloc* comalloc = nullptr;

bool GetShellAllocator() {
    if (comalloc != nullptr) {
        return true;
    }
    const HRESULT result = CoGetMalloc(MEMCTX_TASK, &comalloc);
    if (!SUCCEEDED(result)) {
        comalloc = nullptr;
        if (result == E_INVALIDARG) {
            ReportError("Invalid argument passed to CoGetMalloc.");
        } else if (result == E_OUTOFMEMORY) {
            ReportError("Ran out of memory while trying to call CoGetMalloc.");
        } else {
            ReportError("Unknown error while calling CoGetMalloc");
        }
    }
    return true;
}

namespace {

IMalloc* allocator() {
    GetShellAllocator();
    return comalloc;
}

WORD itemCount(const BYTE* at) {
    WORD count;
    std::memcpy(&count, at, sizeof count);
    return count;
}

} // namespace

// ---------------------------------------------------------------------------------------------
// PIDL

PIDL::PIDL() {
    list = Alloc(0);
}

PIDL::PIDL(const ITEMIDLIST* source) {
    Assign(source);
}

PIDL::PIDL(const PIDL& other) {
    Assign(other.list);
}

PIDL& PIDL::operator=(const PIDL& other) {
    if (this != &other) {
        Assign(other.list);
    }
    return *this;
}

PIDL::~PIDL() {
    FreeList();
}

void PIDL::FreeList() {
    if (list != nullptr && allocator() != nullptr) {
        allocator()->Free(list);
    }
    list = nullptr;
    capacity = 0;
}

ITEMIDLIST* PIDL::Alloc(unsigned n) {
    void* block = allocator() != nullptr ? allocator()->Alloc(n + 2) : nullptr;
    if (block == nullptr) {
        ReportError("problem using comalloc->Alloc()");
        return nullptr;
    }
    std::memset(block, 0, n + 2);
    return static_cast<ITEMIDLIST*>(block);
}

bool PIDL::Reserve(unsigned n) {
    if (capacity >= n) {
        return false;
    }
    void* grown = nullptr;
    if (allocator() != nullptr) {
        grown = list != nullptr ? allocator()->Realloc(list, n) : allocator()->Alloc(n);
    }
    if (grown == nullptr) {
        throw "Problem calling IMalloc::Realloc";
    }
    list = static_cast<ITEMIDLIST*>(grown);
    capacity = n;
    return true;
}

void PIDL::Assign(const ITEMIDLIST* source) {
    const unsigned n = ILGetSize(source);
    Reserve(n);
    if (source != nullptr) {
        std::memmove(list, source, n);
    } else {
        std::memset(list, 0, 2);
    }
}

void PIDL::Append(const PIDL& other) {
    const unsigned a = Size() - 2;
    const unsigned b = other.Size();
    // other may be this list itself: copy it out before the block moves.
    std::string copy(reinterpret_cast<const char*>(other.list), other.list != nullptr ? b : 0);
    Reserve(a + b);
    if (copy.empty()) {
        std::memset(reinterpret_cast<BYTE*>(list) + a, 0, 2);
    } else {
        std::memcpy(reinterpret_cast<BYTE*>(list) + a, copy.data(), b);
    }
}

unsigned PIDL::Size() const {
    return ILGetSize(list);
}

bool PIDL::IsEmpty() const {
    return list == nullptr || itemCount(reinterpret_cast<BYTE*>(list)) == 0;
}

void PIDL::CopyFirstItem(const ITEMIDLIST* source) {
    ITEMIDLIST* made = nullptr;
    unsigned size = 0;
    if (source == nullptr) {
        made = Alloc(0);
    } else {
        const WORD count = itemCount(reinterpret_cast<const BYTE*>(source));
        made = Alloc(count);
        size = count + 2u;
        if (made != nullptr) {
            std::memcpy(made, source, count);
        }
    }
    if (made == nullptr) {
        return;
    }
    FreeList();
    list = made;
    capacity = size;
}

bool PIDL::FromPath(const std::string& text) {
    if (text.empty()) {
        return false;
    }
    ITEMIDLIST* parsed = nullptr;
    if (!SUCCEEDED(SHParseDisplayName(text.c_str(), nullptr, &parsed, 0, nullptr)) ||
        parsed == nullptr) {
        return false;
    }
    FreeList();
    list = parsed;
    capacity = ILGetSize(parsed);
    return true;
}

const ITEMIDLIST* PIDL::Iterator::Next() {
    if (start == nullptr) {
        return nullptr;
    }
    current = current == nullptr ? start : current + itemCount(current);
    if (itemCount(current) == 0) {
        return nullptr;
    }
    return reinterpret_cast<const ITEMIDLIST*>(current);
}

// ---------------------------------------------------------------------------------------------
// Shell and window helpers

bool ShellOpen(const char* file_name) {
    SHELLEXECUTEINFOA info{};
    info.cbSize = 60;
    info.fMask = SEE_MASK_FLAG_NO_UI;
    info.hwnd = 0;
    info.lpVerb = "Open";
    info.lpFile = file_name != nullptr ? file_name : "";
    info.nShow = SW_SHOWNORMAL;
    return ShellExecuteExA(&info) != FALSE;
}

bool BringWindowToForeground(HWND window) {
    if (IsIconic(window)) {
        ShowWindow(window, SW_RESTORE);
    }
    if (GetForegroundWindow() == window) {
        return true;
    }
    // Foreground locking has no counterpart here: the owner raises and activates its window.
    BringWindowToTop(window);
    SetForegroundWindow(window);
    return window != 0 && GetForegroundWindow() == window;
}
