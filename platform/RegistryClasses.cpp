#include "RegistryClasses.h"

#include "MessageBox.h"

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>

std::size_t TMemoryStream::Write(const void* buffer, std::size_t count) {
    if (Position + count > data_.size()) {
        data_.resize(Position + count);
    }
    if (count > 0) {
        std::memcpy(data_.data() + Position, buffer, count);
    }
    Position += count;
    return count;
}

std::size_t TMemoryStream::Read(void* buffer, std::size_t count) {
    const std::size_t available = Position < data_.size() ? data_.size() - Position : 0;
    const std::size_t taken = count < available ? count : available;
    if (taken > 0) {
        std::memcpy(buffer, data_.data() + Position, taken);
    }
    Position += taken;
    return taken;
}

namespace {

std::string systemText(LONG error) {
    char* text = nullptr;
    FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_ALLOCATE_BUFFER, nullptr,
                   static_cast<DWORD>(error), 0, reinterpret_cast<char*>(&text), 0, nullptr);
    std::string result = text != nullptr ? text : "";
    LocalFree(text);
    return result;
}

// The names of key's subkeys (or of its values), in name order.
std::vector<std::string> namesOf(HKEY key, bool subkeys) {
    std::vector<std::string> names;
    char name[1024];
    for (DWORD index = 0;; ++index) {
        DWORD size = sizeof name;
        const LONG result =
            subkeys ? RegEnumKeyExA(key, index, name, &size, nullptr, nullptr, nullptr, nullptr)
                    : RegEnumValueA(key, index, name, &size, nullptr, nullptr, nullptr, nullptr);
        if (result != ERROR_SUCCESS) {
            return names;
        }
        names.emplace_back(name, size);
    }
}

} // namespace

namespace platform {

void ReportSettingsWriteFailure(LONG error, const std::string& what) {
    static std::atomic<bool> reported{false};
    if (reported.exchange(true)) {
        return;
    }
    const std::string text = "Settings cannot be saved: writing " + what + " failed (" +
                             systemText(error) + ").\n\nThe program goes on; changed settings " +
                             "will not be kept.";
    MessageBoxA(0, text.c_str(), "A program error occurred", 0x10);
}

} // namespace platform

// ---------------------------------------------------------------------------------------------
// TRegistry

void TRegistry::SetRootKey(HKEY root) {
    if (root != root_) {
        CloseKey();
        root_ = root;
    }
}

HKEY TRegistry::openFor(const std::string& key, REGSAM access, bool create) {
    const bool relative = !key.empty() && key[0] != '\\' && current_ != nullptr;
    HKEY base = relative ? current_ : root_;
    HKEY result = nullptr;
    const LONG error = create ? RegCreateKeyExA(base, key.c_str(), 0, nullptr, 0, access, nullptr,
                                                &result, nullptr)
                              : RegOpenKeyExA(base, key.c_str(), 0, access, &result);
    SetLastError(static_cast<DWORD>(error));
    return error == ERROR_SUCCESS ? result : nullptr;
}

bool TRegistry::OpenKey(const std::string& key, bool canCreate) {
    HKEY opened = openFor(key, Access, canCreate);
    if (opened == nullptr) {
        return false;
    }
    const bool relative = !key.empty() && key[0] != '\\' && current_ != nullptr;
    std::string path = relative ? currentPath_ + "\\" + key : key;
    CloseKey();
    current_ = opened;
    while (!path.empty() && path[0] == '\\') {
        path.erase(0, 1);
    }
    currentPath_ = path;
    return true;
}

bool TRegistry::OpenKeyReadOnly(const std::string& key) {
    const REGSAM saved = Access;
    Access = KEY_READ;
    const bool opened = OpenKey(key, false);
    Access = saved;
    return opened;
}

void TRegistry::CloseKey() {
    if (current_ != nullptr) {
        RegCloseKey(current_);
        current_ = nullptr;
        currentPath_.clear();
    }
}

bool TRegistry::KeyExists(const std::string& key) {
    HKEY probe = openFor(key, KEY_QUERY_VALUE, false);
    if (probe == nullptr) {
        return false;
    }
    RegCloseKey(probe);
    return true;
}

bool TRegistry::ValueExists(const std::string& name) {
    return GetDataSize(name) >= 0;
}

bool TRegistry::HasSubKeys() {
    DWORD count = 0;
    return RegQueryInfoKeyCounts(current_ != nullptr ? current_ : root_, &count, nullptr) ==
               ERROR_SUCCESS &&
           count > 0;
}

bool TRegistry::DeleteKey(const std::string& key) {
    HKEY target = openFor(key, KEY_ALL_ACCESS, false);
    if (target == nullptr) {
        return false;
    }
    const std::vector<std::string> children = namesOf(target, true);
    RegCloseKey(target);
    const std::string prefix = key.empty() || key.back() == '\\' ? key : key + "\\";
    for (const std::string& child : children) {
        if (!DeleteKey(prefix + child)) {
            return false;
        }
    }
    const bool relative = !key.empty() && key[0] != '\\' && current_ != nullptr;
    return RegDeleteKeyA(relative ? current_ : root_, key.c_str()) == ERROR_SUCCESS;
}

bool TRegistry::DeleteValue(const std::string& name) {
    return RegDeleteValueA(current_ != nullptr ? current_ : root_, name.c_str()) == ERROR_SUCCESS;
}

std::vector<std::string> TRegistry::GetKeyNames() {
    return namesOf(current_ != nullptr ? current_ : root_, true);
}

std::vector<std::string> TRegistry::GetValueNames() {
    return namesOf(current_ != nullptr ? current_ : root_, false);
}

TRegDataType TRegistry::GetDataType(const std::string& name) {
    DWORD type = REG_NONE;
    if (RegQueryValueExA(current_ != nullptr ? current_ : root_, name.c_str(), nullptr, &type,
                         nullptr, nullptr) != ERROR_SUCCESS) {
        return TRegDataType::rdUnknown;
    }
    switch (type) {
    case REG_SZ:
        return TRegDataType::rdString;
    case REG_EXPAND_SZ:
        return TRegDataType::rdExpandString;
    case REG_DWORD:
        return TRegDataType::rdInteger;
    case REG_BINARY:
        return TRegDataType::rdBinary;
    default:
        return TRegDataType::rdUnknown;
    }
}

int TRegistry::GetDataSize(const std::string& name) {
    DWORD size = 0;
    if (RegQueryValueExA(current_ != nullptr ? current_ : root_, name.c_str(), nullptr, nullptr,
                         nullptr, &size) != ERROR_SUCCESS) {
        return -1;
    }
    return static_cast<int>(size);
}

std::vector<std::uint8_t> TRegistry::readRaw(const std::string& name, DWORD& type) {
    HKEY key = current_ != nullptr ? current_ : root_;
    DWORD size = 0;
    LONG error = RegQueryValueExA(key, name.c_str(), nullptr, &type, nullptr, &size);
    std::vector<std::uint8_t> data(size);
    if (error == ERROR_SUCCESS) {
        error = RegQueryValueExA(key, name.c_str(), nullptr, &type, data.data(), &size);
        data.resize(size);
    }
    if (error != ERROR_SUCCESS) {
        throw ERegistryException("Invalid data type for '" + name + "'");
    }
    return data;
}

void TRegistry::writeRaw(const std::string& name, DWORD type, const void* data, DWORD size) {
    const LONG error = RegSetValueExA(current_ != nullptr ? current_ : root_, name.c_str(), 0, type,
                                      static_cast<const BYTE*>(data), size);
    if (error != ERROR_SUCCESS) {
        SetLastError(static_cast<DWORD>(error));
        throw ERegistryException("Failed to set data for '" + name + "'");
    }
}

std::string TRegistry::ReadString(const std::string& name) {
    DWORD type = REG_NONE;
    const std::vector<std::uint8_t> data = readRaw(name, type);
    if (type != REG_SZ && type != REG_EXPAND_SZ) {
        throw ERegistryException("Invalid data type for '" + name + "'");
    }
    std::string text(data.begin(), data.end());
    while (!text.empty() && text.back() == '\0') {
        text.pop_back();
    }
    return text;
}

std::int32_t TRegistry::ReadInteger(const std::string& name) {
    DWORD type = REG_NONE;
    const std::vector<std::uint8_t> data = readRaw(name, type);
    if (type != REG_DWORD || data.size() != 4) {
        throw ERegistryException("Invalid data type for '" + name + "'");
    }
    std::int32_t value;
    std::memcpy(&value, data.data(), 4);
    return value;
}

bool TRegistry::ReadBool(const std::string& name) {
    return ReadInteger(name) != 0;
}

double TRegistry::ReadFloat(const std::string& name) {
    DWORD type = REG_NONE;
    const std::vector<std::uint8_t> data = readRaw(name, type);
    if (type != REG_BINARY || data.size() != sizeof(double)) {
        throw ERegistryException("Invalid data type for '" + name + "'");
    }
    double value;
    std::memcpy(&value, data.data(), sizeof value);
    return value;
}

int TRegistry::ReadBinaryData(const std::string& name, void* buffer, int size) {
    DWORD type = REG_NONE;
    const std::vector<std::uint8_t> data = readRaw(name, type);
    if (data.size() > static_cast<std::size_t>(size)) {
        throw ERegistryException("Invalid data type for '" + name + "'");
    }
    if (!data.empty()) {
        std::memcpy(buffer, data.data(), data.size());
    }
    return static_cast<int>(data.size());
}

void TRegistry::WriteString(const std::string& name, const std::string& value) {
    writeRaw(name, REG_SZ, value.c_str(), static_cast<DWORD>(value.size() + 1));
}

void TRegistry::WriteInteger(const std::string& name, std::int32_t value) {
    writeRaw(name, REG_DWORD, &value, sizeof value);
}

void TRegistry::WriteBool(const std::string& name, bool value) {
    WriteInteger(name, value ? 1 : 0);
}

void TRegistry::WriteFloat(const std::string& name, double value) {
    writeRaw(name, REG_BINARY, &value, sizeof value);
}

void TRegistry::WriteBinaryData(const std::string& name, const void* buffer, int size) {
    writeRaw(name, REG_BINARY, buffer, static_cast<DWORD>(size));
}

// ---------------------------------------------------------------------------------------------
// TRegistryIniFile

TRegistryIniFile::TRegistryIniFile(const std::string& fileName, REGSAM access)
    : fileName_(fileName), access_(access), registry_(access) {}

std::string TRegistryIniFile::sectionPath(const std::string& section) const {
    return fileName_ + "\\" + section;
}

bool TRegistryIniFile::query(const std::string& section, const std::string& ident, DWORD& type,
                             std::vector<std::uint8_t>& data) {
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_CURRENT_USER, sectionPath(section).c_str(), 0, KEY_READ, &key) !=
        ERROR_SUCCESS) {
        return false;
    }
    DWORD size = 0;
    LONG error = RegQueryValueExA(key, ident.c_str(), nullptr, &type, nullptr, &size);
    if (error == ERROR_SUCCESS) {
        data.resize(size);
        error = RegQueryValueExA(key, ident.c_str(), nullptr, &type, data.data(), &size);
        data.resize(size);
    }
    RegCloseKey(key);
    return error == ERROR_SUCCESS;
}

void TRegistryIniFile::write(const std::string& section, const std::string& ident, DWORD type,
                             const void* data, DWORD size) {
    HKEY key = nullptr;
    LONG error = RegCreateKeyExA(HKEY_CURRENT_USER, sectionPath(section).c_str(), 0, nullptr, 0,
                                 access_, nullptr, &key, nullptr);
    if (error == ERROR_SUCCESS) {
        error = RegSetValueExA(key, ident.c_str(), 0, type, static_cast<const BYTE*>(data), size);
        RegCloseKey(key);
    }
    if (error != ERROR_SUCCESS) {
        platform::ReportSettingsWriteFailure(error, "\"" + ident + "\" in \"" + section + "\"");
    }
}

bool TRegistryIniFile::ReadBool(const std::string& section, const std::string& ident,
                                bool defaultValue) {
    return ReadInteger(section, ident, defaultValue ? 1 : 0) != 0;
}

std::int32_t TRegistryIniFile::ReadInteger(const std::string& section, const std::string& ident,
                                           std::int32_t defaultValue) {
    DWORD type = REG_NONE;
    std::vector<std::uint8_t> data;
    if (!query(section, ident, type, data)) {
        return defaultValue;
    }
    if (type == REG_DWORD && data.size() == 4) {
        std::int32_t value;
        std::memcpy(&value, data.data(), 4);
        return value;
    }
    if (type == REG_SZ) {
        const std::string text(data.begin(), std::find(data.begin(), data.end(), 0));
        char* end = nullptr;
        const long value = std::strtol(text.c_str(), &end, 10);
        return !text.empty() && *end == '\0' ? static_cast<std::int32_t>(value) : defaultValue;
    }
    return defaultValue;
}

double TRegistryIniFile::ReadFloat(const std::string& section, const std::string& ident,
                                   double defaultValue) {
    DWORD type = REG_NONE;
    std::vector<std::uint8_t> data;
    if (!query(section, ident, type, data)) {
        return defaultValue;
    }
    if (type == REG_BINARY && data.size() == sizeof(double)) {
        double value;
        std::memcpy(&value, data.data(), sizeof value);
        return value;
    }
    return defaultValue;
}

std::string TRegistryIniFile::ReadString(const std::string& section, const std::string& ident,
                                         const std::string& defaultValue) {
    DWORD type = REG_NONE;
    std::vector<std::uint8_t> data;
    if (!query(section, ident, type, data) || (type != REG_SZ && type != REG_EXPAND_SZ)) {
        return defaultValue;
    }
    std::string text(data.begin(), data.end());
    while (!text.empty() && text.back() == '\0') {
        text.pop_back();
    }
    return text;
}

int TRegistryIniFile::ReadBinaryStream(const std::string& section, const std::string& ident,
                                       TMemoryStream& stream) {
    DWORD type = REG_NONE;
    std::vector<std::uint8_t> data;
    if (!query(section, ident, type, data)) {
        return 0;
    }
    stream.Clear();
    stream.Write(data.data(), data.size());
    stream.Position = 0;
    return static_cast<int>(data.size());
}

void TRegistryIniFile::WriteBool(const std::string& section, const std::string& ident, bool value) {
    WriteInteger(section, ident, value ? 1 : 0);
}

void TRegistryIniFile::WriteInteger(const std::string& section, const std::string& ident,
                                    std::int32_t value) {
    write(section, ident, REG_DWORD, &value, sizeof value);
}

void TRegistryIniFile::WriteFloat(const std::string& section, const std::string& ident,
                                  double value) {
    write(section, ident, REG_BINARY, &value, sizeof value);
}

void TRegistryIniFile::WriteString(const std::string& section, const std::string& ident,
                                   const std::string& value) {
    write(section, ident, REG_SZ, value.c_str(), static_cast<DWORD>(value.size() + 1));
}

void TRegistryIniFile::WriteBinaryStream(const std::string& section, const std::string& ident,
                                         const TMemoryStream& stream) {
    write(section, ident, REG_BINARY, stream.Memory(), static_cast<DWORD>(stream.Size()));
}

bool TRegistryIniFile::SectionExists(const std::string& section) {
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_CURRENT_USER, sectionPath(section).c_str(), 0, KEY_READ, &key) !=
        ERROR_SUCCESS) {
        return false;
    }
    RegCloseKey(key);
    return true;
}

bool TRegistryIniFile::ValueExists(const std::string& section, const std::string& ident) {
    DWORD type = REG_NONE;
    std::vector<std::uint8_t> data;
    return query(section, ident, type, data);
}

std::vector<std::string> TRegistryIniFile::ReadSection(const std::string& section) {
    TRegistry reader(KEY_READ);
    if (!reader.OpenKey("\\" + sectionPath(section), false)) {
        return {};
    }
    return reader.GetValueNames();
}

void TRegistryIniFile::EraseSection(const std::string& section) {
    TRegistry eraser(KEY_ALL_ACCESS);
    eraser.DeleteKey("\\" + sectionPath(section));
}

void TRegistryIniFile::DeleteKey(const std::string& section, const std::string& ident) {
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_CURRENT_USER, sectionPath(section).c_str(), 0, access_, &key) ==
        ERROR_SUCCESS) {
        RegDeleteValueA(key, ident.c_str());
        RegCloseKey(key);
    }
}
