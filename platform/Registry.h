// The registry: typed values in keys under three roots, kept per user in SQLite.
//
// One database per user at "$XDG_CONFIG_HOME/orvalen/registry.sqlite" (XDG_CONFIG_HOME defaults
// to "$HOME/.config"), in WAL mode with a busy time-out, file mode 0600. Key and value names are
// compared without regard to ASCII letter case. Every call that changes something has committed
// it before it returns, so several processes can read and write at once and a process killed
// at any moment leaves every completed write in place. Machine-wide keys (HKEY_LOCAL_MACHINE) are
// kept in the same per-user store, as registry virtualisation does.
//
// A database that is damaged is reported once, moved aside with a time stamp and replaced by a
// fresh one; a store that merely cannot be opened (a folder without write access, a busy or
// missing disk) is never moved: reads then find nothing and writes fail with an error code.
// All calls are thread-safe. Return values are error codes (ERROR_SUCCESS on success).
#pragma once

#include "WinTypes.h"

#include <string>

struct RegistryKey;
using HKEY = RegistryKey*;
using REGSAM = DWORD;

inline const HKEY HKEY_CLASSES_ROOT = reinterpret_cast<HKEY>(std::uintptr_t{0x80000000});
inline const HKEY HKEY_CURRENT_USER = reinterpret_cast<HKEY>(std::uintptr_t{0x80000001});
inline const HKEY HKEY_LOCAL_MACHINE = reinterpret_cast<HKEY>(std::uintptr_t{0x80000002});

constexpr DWORD REG_NONE = 0;
constexpr DWORD REG_SZ = 1;
constexpr DWORD REG_EXPAND_SZ = 2;
constexpr DWORD REG_BINARY = 3;
constexpr DWORD REG_DWORD = 4;

constexpr REGSAM KEY_QUERY_VALUE = 0x0001;
constexpr REGSAM KEY_SET_VALUE = 0x0002;
constexpr REGSAM KEY_CREATE_SUB_KEY = 0x0004;
constexpr REGSAM KEY_ENUMERATE_SUB_KEYS = 0x0008;
constexpr REGSAM KEY_NOTIFY = 0x0010;
constexpr REGSAM KEY_READ = 0x20019;
constexpr REGSAM KEY_WRITE = 0x20006;
constexpr REGSAM KEY_ALL_ACCESS = 0xF003F;

constexpr DWORD REG_CREATED_NEW_KEY = 1;
constexpr DWORD REG_OPENED_EXISTING_KEY = 2;

// Key paths separate their keys with backslashes; empty parts (a leading backslash) are skipped.
// The key handle allows what access allows: values are read with KEY_QUERY_VALUE, set and
// deleted with KEY_SET_VALUE, subkeys listed with KEY_ENUMERATE_SUB_KEYS (ERROR_ACCESS_DENIED
// otherwise). ERROR_FILE_NOT_FOUND for a key that does not exist.
LONG RegOpenKeyExA(HKEY key, const char* subKey, DWORD options, REGSAM access, HKEY* result);
LONG RegCreateKeyExA(HKEY key, const char* subKey, DWORD reserved, char* keyClass, DWORD options,
                     REGSAM access, void* security, HKEY* result, DWORD* disposition);
LONG RegCloseKey(HKEY key);
// Reads a value (name null or "" is the key's default value). With data null only type and
// size are returned; a buffer smaller than the value gives ERROR_MORE_DATA and the size needed.
LONG RegQueryValueExA(HKEY key, const char* name, DWORD* reserved, DWORD* type, BYTE* data,
                      DWORD* size);
// Stores size bytes as the value's data, exactly as given (strings with their terminating zero).
LONG RegSetValueExA(HKEY key, const char* name, DWORD reserved, DWORD type, const BYTE* data,
                    DWORD size);
LONG RegDeleteValueA(HKEY key, const char* name);
// Deletes a key with its values; a key that still has subkeys is not deleted
// (ERROR_ACCESS_DENIED).
LONG RegDeleteKeyA(HKEY key, const char* subKey);
// The name of the index-th subkey in name order; ERROR_NO_MORE_ITEMS past the last.
LONG RegEnumKeyExA(HKEY key, DWORD index, char* name, DWORD* nameSize, DWORD* reserved,
                   char* keyClass, DWORD* classSize, void* lastWriteTime);
// The name of the index-th value in name order; ERROR_NO_MORE_ITEMS past the last.
LONG RegEnumValueA(HKEY key, DWORD index, char* name, DWORD* nameSize, DWORD* reserved, DWORD* type,
                   BYTE* data, DWORD* dataSize);
// Counts of subkeys and values (either may be null).
LONG RegQueryInfoKeyCounts(HKEY key, DWORD* subKeys, DWORD* values);

namespace platform {
// The database file the registry uses now.
std::string RegistryDatabasePath();
} // namespace platform
