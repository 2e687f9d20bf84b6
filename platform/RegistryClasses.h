// The framework's registry classes over the registry: TRegistry (one open key at a time, typed
// reads and writes) and TRegistryIniFile (an ini file whose sections are subkeys of one key).
#pragma once

#include "Registry.h"

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

// What TRegistry throws when a read or write fails (the calling window's handler deals with it).
class ERegistryException : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// A growable block of bytes with a position, as the framework's memory stream.
class TMemoryStream {
public:
    std::size_t Size() const { return data_.size(); }
    std::size_t Position = 0;
    const std::uint8_t* Memory() const { return data_.data(); }
    // Writes at Position, growing the stream; returns count.
    std::size_t Write(const void* buffer, std::size_t count);
    // Reads from Position; returns the bytes read.
    std::size_t Read(void* buffer, std::size_t count);
    void Clear() {
        data_.clear();
        Position = 0;
    }

private:
    std::vector<std::uint8_t> data_;
};

enum class TRegDataType { rdUnknown, rdString, rdExpandString, rdInteger, rdBinary };

class TRegistry {
public:
    explicit TRegistry(REGSAM access = KEY_ALL_ACCESS) : Access(access) {}
    ~TRegistry() { CloseKey(); }
    TRegistry(const TRegistry&) = delete;
    TRegistry& operator=(const TRegistry&) = delete;

    // Changing the root closes the open key.
    HKEY RootKey() const { return root_; }
    void SetRootKey(HKEY root);
    // The access that later OpenKey calls ask for.
    REGSAM Access;
    // Kept for the callers that switch it: every write here is committed before it returns,
    // whichever way it is set.
    bool LazyWrite = true;

    HKEY CurrentKey() const { return current_; }
    const std::string& CurrentPath() const { return currentPath_; }

    // Opens key (absolute when it starts with a backslash, else below the open key), creating
    // it when canCreate; it becomes the open key. False when it does not exist or cannot be
    // opened with Access.
    bool OpenKey(const std::string& key, bool canCreate);
    bool OpenKeyReadOnly(const std::string& key);
    void CloseKey();

    bool KeyExists(const std::string& key);
    bool ValueExists(const std::string& name);
    bool HasSubKeys();
    // Deletes key with all its subkeys.
    bool DeleteKey(const std::string& key);
    bool DeleteValue(const std::string& name);
    std::vector<std::string> GetKeyNames();
    std::vector<std::string> GetValueNames();
    TRegDataType GetDataType(const std::string& name);
    // -1 when the value does not exist.
    int GetDataSize(const std::string& name);

    // Reads throw ERegistryException for a missing value or one of another type.
    std::string ReadString(const std::string& name);
    std::int32_t ReadInteger(const std::string& name);
    bool ReadBool(const std::string& name);
    double ReadFloat(const std::string& name);
    int ReadBinaryData(const std::string& name, void* buffer, int size);
    // Writes throw ERegistryException when the store refuses them.
    void WriteString(const std::string& name, const std::string& value);
    void WriteInteger(const std::string& name, std::int32_t value);
    void WriteBool(const std::string& name, bool value);
    void WriteFloat(const std::string& name, double value);
    void WriteBinaryData(const std::string& name, const void* buffer, int size);

private:
    HKEY openFor(const std::string& key, REGSAM access, bool create);
    std::vector<std::uint8_t> readRaw(const std::string& name, DWORD& type);
    void writeRaw(const std::string& name, DWORD type, const void* data, DWORD size);

    HKEY root_ = HKEY_CURRENT_USER;
    HKEY current_ = nullptr;
    std::string currentPath_;
};

// An ini file in the registry: FileName is a key path below HKEY_CURRENT_USER, each section a
// subkey of it. Reads of a missing section or value, or of a value of another type, give the
// default. A write the store refuses is reported once per process (a box) and otherwise
// ignored, so a window closing on a read-only store still closes.
class TRegistryIniFile {
public:
    explicit TRegistryIniFile(const std::string& fileName, REGSAM access = KEY_ALL_ACCESS);
    virtual ~TRegistryIniFile() = default;
    TRegistryIniFile(const TRegistryIniFile&) = delete;
    TRegistryIniFile& operator=(const TRegistryIniFile&) = delete;

    const std::string& FileName() const { return fileName_; }
    // The registry object under the ini file (its LazyWrite is the one callers switch).
    TRegistry& RegIniFile() { return registry_; }

    bool ReadBool(const std::string& section, const std::string& ident, bool defaultValue);
    std::int32_t ReadInteger(const std::string& section, const std::string& ident,
                             std::int32_t defaultValue);
    double ReadFloat(const std::string& section, const std::string& ident, double defaultValue);
    std::string ReadString(const std::string& section, const std::string& ident,
                           const std::string& defaultValue);
    // Fills stream with the value's bytes (position back at 0); returns their number, 0 when
    // there is no value.
    int ReadBinaryStream(const std::string& section, const std::string& ident,
                         TMemoryStream& stream);

    void WriteBool(const std::string& section, const std::string& ident, bool value);
    void WriteInteger(const std::string& section, const std::string& ident, std::int32_t value);
    void WriteFloat(const std::string& section, const std::string& ident, double value);
    void WriteString(const std::string& section, const std::string& ident,
                     const std::string& value);
    void WriteBinaryStream(const std::string& section, const std::string& ident,
                           const TMemoryStream& stream);

    bool SectionExists(const std::string& section);
    bool ValueExists(const std::string& section, const std::string& ident);
    std::vector<std::string> ReadSection(const std::string& section);
    void EraseSection(const std::string& section);
    void DeleteKey(const std::string& section, const std::string& ident);

private:
    std::string sectionPath(const std::string& section) const;
    bool query(const std::string& section, const std::string& ident, DWORD& type,
               std::vector<std::uint8_t>& data);
    void write(const std::string& section, const std::string& ident, DWORD type, const void* data,
               DWORD size);

    std::string fileName_;
    REGSAM access_;
    TRegistry registry_;
};

namespace platform {
// Reports a refused settings write (once per process); used by TRegistryIniFile.
void ReportSettingsWriteFailure(LONG error, const std::string& what);
} // namespace platform
