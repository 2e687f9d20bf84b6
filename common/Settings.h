// The settings store of one window: a registry ini file bound to one section.
#pragma once

#include "platform/RegistryClasses.h"

#include <cstdint>
#include <functional>
#include <string>

// HKEY_CURRENT_USER key under which every section lives.
extern const char* const settings_base_key;

class TRegistryIniFileSpecial : public TRegistryIniFile {
public:
    // fileName is always settings_base_key; access as the window asks (KEY_READ | KEY_WRITE or
    // KEY_ALL_ACCESS). Section is empty until the owner sets it.
    TRegistryIniFileSpecial(const std::string& fileName, REGSAM access)
        : TRegistryIniFile(fileName, access) {}

    std::string Section;

    bool ReadBool(const std::string& name, bool defaultValue) {
        return TRegistryIniFile::ReadBool(Section, name, defaultValue);
    }
    std::int32_t ReadInteger(const std::string& name, std::int32_t defaultValue) {
        return TRegistryIniFile::ReadInteger(Section, name, defaultValue);
    }
    double ReadFloat(const std::string& name, double defaultValue) {
        return TRegistryIniFile::ReadFloat(Section, name, defaultValue);
    }
    std::string ReadString(const std::string& name, const std::string& defaultValue) {
        return TRegistryIniFile::ReadString(Section, name, defaultValue);
    }
    int ReadBinaryStream(const std::string& name, TMemoryStream& stream) {
        return TRegistryIniFile::ReadBinaryStream(Section, name, stream);
    }
    void WriteBool(const std::string& name, bool value) {
        TRegistryIniFile::WriteBool(Section, name, value);
    }
    void WriteInteger(const std::string& name, std::int32_t value) {
        TRegistryIniFile::WriteInteger(Section, name, value);
    }
    void WriteFloat(const std::string& name, double value) {
        TRegistryIniFile::WriteFloat(Section, name, value);
    }
    void WriteString(const std::string& name, const std::string& value) {
        TRegistryIniFile::WriteString(Section, name, value);
    }
    void WriteBinaryStream(const std::string& name, const TMemoryStream& stream) {
        TRegistryIniFile::WriteBinaryStream(Section, name, stream);
    }

    // The stored integer when it lies strictly between low and high; otherwise the default of
    // the side it fell on, written back at once. A bound of -1 leaves that side open. A missing
    // value reads as 0.
    std::int32_t ReadIntegerInRange(const std::string& name, std::int32_t low,
                                    std::int32_t low_default, std::int32_t high,
                                    std::int32_t high_default);
    // ReadIntegerInRange as a function of its own, for readers of several values (window
    // placement). The settings must outlive it.
    std::function<int(const std::string&, int, int, int, int)> InRangeReader() {
        return
            [this](const std::string& name, int low, int low_default, int high, int high_default) {
                return ReadIntegerInRange(name, low, low_default, high, high_default);
            };
    }
};
