// The registry: typed values, letter case, access, damage and failure, several processes.
#include "support/TestSupport.h"

#include "common/Settings.h"
#include "platform/Registry.h"
#include "platform/RegistryClasses.h"

#include <cmath>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <limits>
#include <sys/stat.h>

using testsupport::ChildProcess;
using testsupport::IsolatedTest;

namespace {

std::string helper() {
    return testsupport::ProgramFolder() + "/orvalen-test-helper";
}

HKEY create(const char* path, REGSAM access = KEY_ALL_ACCESS) {
    HKEY key = nullptr;
    EXPECT_EQ(
        RegCreateKeyExA(HKEY_CURRENT_USER, path, 0, nullptr, 0, access, nullptr, &key, nullptr),
        ERROR_SUCCESS);
    return key;
}

} // namespace

class RegistryTest : public IsolatedTest {};

TEST_F(RegistryTest, TypedValuesComeBackWithTheirTypeAndSize) {
    HKEY key = create("\\Software\\Quendar\\Orvalen 1.5\\mainform");
    const DWORD hwnd = 0xFFFFFC01;
    ASSERT_EQ(RegSetValueExA(key, "solitary_viewer_hwnd", 0, REG_DWORD,
                             reinterpret_cast<const BYTE*>(&hwnd), 4),
              ERROR_SUCCESS);
    const char text[] = "\"/home/u/My Pictures/été \"quoted\".jpg\"";
    ASSERT_EQ(RegSetValueExA(key, "solitary_viewer_arguments", 0, REG_SZ,
                             reinterpret_cast<const BYTE*>(text), sizeof text),
              ERROR_SUCCESS);
    const BYTE blob[] = {0, 1, 2, 0, 255};
    ASSERT_EQ(RegSetValueExA(key, "current folder", 0, REG_BINARY, blob, sizeof blob),
              ERROR_SUCCESS);

    BYTE buffer[16];
    DWORD type = 0, size = sizeof buffer;
    ASSERT_EQ(RegQueryValueExA(key, "solitary_viewer_hwnd", nullptr, &type, buffer, &size),
              ERROR_SUCCESS);
    EXPECT_EQ(type, REG_DWORD);
    EXPECT_EQ(size, 4u);
    DWORD back = 0;
    std::memcpy(&back, buffer, 4);
    EXPECT_EQ(back, hwnd);

    size = 0;
    ASSERT_EQ(RegQueryValueExA(key, "solitary_viewer_arguments", nullptr, &type, nullptr, &size),
              ERROR_SUCCESS);
    EXPECT_EQ(type, REG_SZ);
    EXPECT_EQ(size, sizeof text); // the terminating zero is part of the value
    std::string read(size, '\0');
    size = 4;
    EXPECT_EQ(RegQueryValueExA(key, "solitary_viewer_arguments", nullptr, &type,
                               reinterpret_cast<BYTE*>(read.data()), &size),
              ERROR_MORE_DATA);
    EXPECT_EQ(size, sizeof text);
    ASSERT_EQ(RegQueryValueExA(key, "solitary_viewer_arguments", nullptr, &type,
                               reinterpret_cast<BYTE*>(read.data()), &size),
              ERROR_SUCCESS);
    EXPECT_STREQ(read.c_str(), text);

    size = sizeof buffer;
    ASSERT_EQ(RegQueryValueExA(key, "current folder", nullptr, &type, buffer, &size),
              ERROR_SUCCESS);
    EXPECT_EQ(type, REG_BINARY);
    EXPECT_EQ(std::vector<BYTE>(buffer, buffer + size), std::vector<BYTE>(blob, blob + 5));

    EXPECT_EQ(RegQueryValueExA(key, "missing", nullptr, &type, buffer, &size),
              ERROR_FILE_NOT_FOUND);
    RegCloseKey(key);
}

TEST_F(RegistryTest, KeysAndValueNamesThatDifferOnlyInLetterCaseAreOne) {
    HKEY lower = create("\\software\\quendar\\orvalen 1.5\\MainForm");
    HKEY upper = nullptr;
    ASSERT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, "SOFTWARE\\Quendar\\ORVALEN 1.5\\mainform", 0,
                            KEY_READ, &upper),
              ERROR_SUCCESS);
    const DWORD one = 1, two = 2;
    RegSetValueExA(lower, "Width", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&one), 4);
    RegSetValueExA(lower, "WIDTH", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&two), 4);
    DWORD value = 0, size = 4;
    ASSERT_EQ(
        RegQueryValueExA(upper, "width", nullptr, nullptr, reinterpret_cast<BYTE*>(&value), &size),
        ERROR_SUCCESS);
    EXPECT_EQ(value, 2u);
    DWORD keys = 0, values = 0;
    ASSERT_EQ(RegQueryInfoKeyCounts(upper, &keys, &values), ERROR_SUCCESS);
    EXPECT_EQ(values, 1u);
    // The name keeps the spelling of its last write.
    char name[32];
    DWORD nameSize = sizeof name;
    ASSERT_EQ(RegEnumValueA(upper, 0, name, &nameSize, nullptr, nullptr, nullptr, nullptr),
              ERROR_SUCCESS);
    EXPECT_STREQ(name, "WIDTH");
    RegCloseKey(lower);
    RegCloseKey(upper);
    TRegistry registry;
    ASSERT_TRUE(registry.OpenKey("\\Software", false));
    EXPECT_EQ(registry.GetKeyNames(), std::vector<std::string>{"quendar"}); // one key, not two
}

TEST_F(RegistryTest, AccessIsEnforcedAndDeletedKeysAreNoticed) {
    HKEY writer = create("\\A\\B");
    HKEY reader = nullptr;
    ASSERT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, "A\\B", 0, KEY_READ, &reader), ERROR_SUCCESS);
    const DWORD one = 1;
    EXPECT_EQ(RegSetValueExA(reader, "v", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&one), 4),
              ERROR_ACCESS_DENIED);
    RegCloseKey(reader);
    HKEY enumerateOnly = nullptr;
    ASSERT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, "A", 0, KEY_ENUMERATE_SUB_KEYS, &enumerateOnly),
              ERROR_SUCCESS);
    EXPECT_EQ(RegQueryValueExA(enumerateOnly, "v", nullptr, nullptr, nullptr, nullptr),
              ERROR_ACCESS_DENIED);
    // A key with subkeys is not deleted by RegDeleteKey; TRegistry deletes the whole tree.
    EXPECT_EQ(RegDeleteKeyA(HKEY_CURRENT_USER, "A"), ERROR_ACCESS_DENIED);
    TRegistry registry;
    EXPECT_TRUE(registry.DeleteKey("\\A"));
    EXPECT_FALSE(registry.KeyExists("\\A"));
    EXPECT_EQ(RegSetValueExA(writer, "v", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&one), 4),
              ERROR_KEY_DELETED);
    EXPECT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, "A\\B", 0, KEY_READ, &reader), ERROR_FILE_NOT_FOUND);
    RegCloseKey(writer);
    RegCloseKey(enumerateOnly);
}

TEST_F(RegistryTest, TheStoreIsPrivateToTheUser) {
    HKEY key = create("\\x");
    RegCloseKey(key);
    struct stat info {};
    ASSERT_EQ(::stat(platform::RegistryDatabasePath().c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);
    ASSERT_EQ(::stat((folders.Config() + "/orvalen").c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0700u);
    EXPECT_EQ(platform::RegistryDatabasePath(), folders.Config() + "/orvalen/registry.sqlite");
}

TEST_F(RegistryTest, TRegistryReadsAndWritesTypedValuesAndListsNames) {
    TRegistry registry(KEY_ALL_ACCESS);
    ASSERT_TRUE(registry.OpenKey("\\Software\\Test", true));
    EXPECT_EQ(registry.CurrentPath(), "Software\\Test");
    registry.WriteInteger("int", -5);
    registry.WriteString("text", "ünïcødé \"quoted\"");
    registry.WriteBool("flag", true);
    registry.WriteFloat("zoom", 1.0 / 3.0);
    EXPECT_EQ(registry.ReadInteger("int"), -5);
    EXPECT_EQ(registry.ReadString("text"), "ünïcødé \"quoted\"");
    EXPECT_TRUE(registry.ReadBool("flag"));
    EXPECT_EQ(registry.ReadFloat("zoom"), 1.0 / 3.0);
    EXPECT_EQ(registry.GetDataType("int"), TRegDataType::rdInteger);
    EXPECT_EQ(registry.GetDataSize("int"), 4);
    EXPECT_THROW(registry.ReadInteger("text"), ERegistryException);
    EXPECT_THROW(registry.ReadString("absent"), ERegistryException);
    EXPECT_EQ(registry.GetValueNames(), (std::vector<std::string>{"flag", "int", "text", "zoom"}));
    ASSERT_TRUE(registry.OpenKey("child", true)); // relative to the open key
    EXPECT_EQ(registry.CurrentPath(), "Software\\Test\\child");
    ASSERT_TRUE(registry.OpenKey("\\Software\\Test", false));
    EXPECT_TRUE(registry.HasSubKeys());
    EXPECT_TRUE(registry.DeleteValue("int"));
    EXPECT_FALSE(registry.ValueExists("int"));
    registry.SetRootKey(HKEY_LOCAL_MACHINE);
    EXPECT_EQ(registry.CurrentKey(), nullptr);
    EXPECT_FALSE(registry.KeyExists("\\Software\\Test")); // roots are separate
}

TEST_F(RegistryTest, IniFileValuesReadBackExactlyAndMissingOnesGiveDefaults) {
    TRegistryIniFile ini("\\Software\\Quendar\\Orvalen 1.5", KEY_ALL_ACCESS);
    EXPECT_EQ(ini.ReadInteger("viewer_0", "Width", 77), 77);
    EXPECT_EQ(ini.ReadString("viewer_0", "name", "default"), "default");
    EXPECT_EQ(ini.ReadFloat("viewer_0", "zoom_factor", 1.5), 1.5);
    EXPECT_FALSE(ini.SectionExists("viewer_0"));
    const double doubles[] = {0.1, 1.0 / 3.0, -0.0, 1e300, std::numeric_limits<double>::min()};
    for (double value : doubles) {
        ini.WriteFloat("viewer_0", "zoom_factor", value);
        const double back = ini.ReadFloat("viewer_0", "zoom_factor", 99);
        EXPECT_EQ(std::memcmp(&back, &value, sizeof value), 0) << value;
    }
    ini.WriteBool("viewer_0", "fullscreen", true);
    EXPECT_TRUE(ini.ReadBool("viewer_0", "fullscreen", false));
    ini.WriteBool("viewer_0", "fullscreen", false);
    EXPECT_FALSE(ini.ReadBool("viewer_0", "fullscreen", true));
    ini.WriteInteger("viewer_0", "Left", std::numeric_limits<std::int32_t>::min());
    EXPECT_EQ(ini.ReadInteger("viewer_0", "Left", 0), std::numeric_limits<std::int32_t>::min());
    ini.WriteString("viewer_0", "text", "12");
    EXPECT_EQ(ini.ReadInteger("viewer_0", "text", 0), 12);
    EXPECT_EQ(ini.ReadFloat("viewer_0", "text", 2.5), 2.5); // a string is no float
    TMemoryStream stream;
    const char bytes[] = {1, 0, 2, 0, 0};
    stream.Write(bytes, sizeof bytes);
    ini.WriteBinaryStream("browser_0", "current folder", stream);
    TMemoryStream back;
    EXPECT_EQ(ini.ReadBinaryStream("browser_0", "current folder", back), 5);
    EXPECT_EQ(std::memcmp(back.Memory(), bytes, 5), 0);
    EXPECT_EQ(ini.ReadBinaryStream("browser_0", "absent", back), 0);
    EXPECT_EQ(ini.ReadSection("viewer_0"),
              (std::vector<std::string>{"fullscreen", "Left", "text", "zoom_factor"}));
    ini.EraseSection("viewer_0");
    EXPECT_FALSE(ini.SectionExists("viewer_0"));
    EXPECT_TRUE(ini.SectionExists("browser_0"));
    EXPECT_EQ(boxes.Count(), 0u);
}

TEST_F(RegistryTest, ADamagedStoreIsReportedOnceMovedAsideAndReplaced) {
    const std::string folder = folders.Config() + "/orvalen";
    ::mkdir(folder.c_str(), 0700);
    {
        std::ofstream garbage(folder + "/registry.sqlite", std::ios::binary);
        garbage << std::string(8192, '\x5A');
    }
    TRegistryIniFile ini(settings_base_key, KEY_ALL_ACCESS);
    EXPECT_EQ(ini.ReadInteger("viewer_0", "Width", 800), 800);
    ini.WriteInteger("viewer_0", "Width", 1024);
    EXPECT_EQ(ini.ReadInteger("viewer_0", "Width", 800), 1024);
    const auto shown = boxes.Take();
    ASSERT_EQ(shown.size(), 1u);
    EXPECT_NE(shown[0].text.find("is damaged"), std::string::npos) << shown[0].text;
    int asideFiles = 0;
    for (const auto& entry : std::filesystem::directory_iterator(folder)) {
        const std::string name = entry.path().filename().string();
        if (name.rfind("registry.sqlite.damaged-", 0) == 0 &&
            name.find("-wal") == std::string::npos) {
            ++asideFiles;
            EXPECT_EQ(std::filesystem::file_size(entry.path()), 8192u);
        }
    }
    EXPECT_EQ(asideFiles, 1);
}

TEST_F(RegistryTest, AHealthyStoreIsKeptAcrossProcesses) {
    TRegistryIniFile ini(settings_base_key, KEY_ALL_ACCESS);
    ini.WriteInteger("mainform", "mine", 42);
    ChildProcess child(helper(), {"registry-stress", "theirs", "3"});
    EXPECT_EQ(child.ReadLine(10000), "ok");
    EXPECT_EQ(ini.ReadInteger("mainform", "mine", -1), 42);
    EXPECT_EQ(ini.ReadInteger("mainform", "theirs2", -1), 15);
    EXPECT_EQ(boxes.Count(), 0u);
}

TEST_F(RegistryTest, AConfigurationFolderThatCannotBeWrittenGivesDefaultsAndOneReport) {
    // A file where the folder should be: no process, root included, can create the store.
    std::ofstream(folders.Config() + "/orvalen") << "not a folder";
    TRegistryIniFile ini(settings_base_key, KEY_ALL_ACCESS);
    EXPECT_EQ(ini.ReadInteger("viewer_0", "Width", 800), 800);
    ini.WriteInteger("viewer_0", "Width", 1024);
    ini.WriteInteger("viewer_0", "Height", 768);
    EXPECT_EQ(ini.ReadInteger("viewer_0", "Width", 800), 800);
    const auto shown = boxes.Take();
    ASSERT_EQ(shown.size(), 1u);
    EXPECT_NE(shown[0].text.find("Settings cannot be saved"), std::string::npos);
    std::string content;
    std::getline(std::ifstream(folders.Config() + "/orvalen"), content);
    EXPECT_EQ(content, "not a folder"); // nothing of the user's was touched
}

TEST_F(RegistryTest, TwoProcessesWritingAndReadingAtOnceLoseNothing) {
    ChildProcess first(helper(), {"registry-stress", "a", "1000"});
    ChildProcess second(helper(), {"registry-stress", "b", "1000"});
    EXPECT_EQ(first.ReadLine(120000), "ok");
    EXPECT_EQ(second.ReadLine(120000), "ok");
    TRegistryIniFile ini(settings_base_key, KEY_READ);
    for (int i = 0; i < 1000; ++i) {
        ASSERT_EQ(ini.ReadInteger("mainform", "a" + std::to_string(i), -1), i * 7 + 1);
        ASSERT_EQ(ini.ReadInteger("mainform", "b" + std::to_string(i), -1), i * 7 + 1);
    }
    EXPECT_EQ(ini.ReadSection("mainform").size(), 2000u);
}

TEST_F(RegistryTest, AWriterKilledMidWriteLeavesEveryCommittedValue) {
    ChildProcess writer(helper(), {"registry-writer"});
    int last = -1;
    for (std::string line = writer.ReadLine(10000); !line.empty() && last < 300;
         line = writer.ReadLine(10000)) {
        ASSERT_EQ(line.rfind("wrote ", 0), 0u);
        last = std::stoi(line.substr(6));
    }
    writer.Kill(SIGKILL);
    writer.Wait(5000);
    ASSERT_GE(last, 300);
    TRegistryIniFile ini(settings_base_key, KEY_READ);
    for (int i = 0; i <= last; ++i) {
        ASSERT_EQ(ini.ReadInteger("mainform", "w" + std::to_string(i), -1), i);
    }
    EXPECT_EQ(boxes.Count(), 0u); // the store opened without any damage
}
