// The launcher's failures as a desktop user meets them: one box with the text and the system's
// reason, exit code 0, and no main program started. The launcher shows its boxes through the
// main program beside it, or a dialog program of the desktop when that cannot start; here both
// are stand-ins that write down every call.
#include "support/TestSupport.h"

#include "common/ErrorReporting.h"
#include "platform/Kernel.h"
#include "platform/Registry.h"
#include "platform/Timing.h"

#include <sqlite3.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

using testsupport::ChildProcess;
using testsupport::IsolatedTest;

namespace {

constexpr char kMainform[] = "Software\\Quendar\\Orvalen 1.5\\mainform";

class LauncherFailureTest : public IsolatedTest {
protected:
    void SetUp() override {
        programs_ = folders.Root() + "/programs";
        dialogs_ = folders.Root() + "/dialogs";
        record_ = folders.Root() + "/calls";
        std::filesystem::create_directories(programs_);
        std::filesystem::create_directories(dialogs_);
        std::filesystem::copy_file(testsupport::ProgramFolder() + "/OrvalenViewer",
                                   programs_ + "/OrvalenViewer");
        writeRecorder(programs_ + "/Orvalen_main");
        writeRecorder(dialogs_ + "/zenity");
        const char* path = std::getenv("PATH");
        savedPath_ = path != nullptr ? path : "/usr/bin:/bin";
        ::setenv("PATH", (dialogs_ + ":" + savedPath_).c_str(), 1);
    }
    void TearDown() override {
        ::setenv("PATH", savedPath_.c_str(), 1);
        if (event_ != nullptr) {
            CloseHandle(event_);
        }
    }

    // A viewer seems to run: the event it signals exists and is set.
    void signalViewer() {
        event_ = CreateEventA(nullptr, TRUE, TRUE, "Orvalen_solitary_viewer_event");
        ASSERT_NE(event_, nullptr);
        ASSERT_TRUE(SetEvent(event_));
    }

    void setWindowValue(DWORD type, const void* data, DWORD size) {
        HKEY key = nullptr;
        ASSERT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, kMainform, 0, nullptr, 0, KEY_ALL_ACCESS,
                                  nullptr, &key, nullptr),
                  ERROR_SUCCESS);
        ASSERT_EQ(RegSetValueExA(key, "solitary_viewer_hwnd", 0, type,
                                 static_cast<const BYTE*>(data), size),
                  ERROR_SUCCESS);
        RegCloseKey(key);
    }

    int launch(const std::string& file) {
        ChildProcess launcher(programs_ + "/OrvalenViewer", {file});
        return launcher.Wait(20000);
    }

    // Every call of a stand-in: its own name, then its arguments.
    std::vector<std::vector<std::string>> calls() {
        std::ifstream in(record_, std::ios::binary);
        std::stringstream all;
        all << in.rdbuf();
        std::vector<std::vector<std::string>> result;
        std::string call;
        std::istringstream records(all.str());
        while (std::getline(records, call, '\036')) {
            std::vector<std::string> fields;
            std::istringstream parts(call);
            for (std::string field; std::getline(parts, field, '\0');) {
                fields.push_back(field);
            }
            result.push_back(fields);
        }
        return result;
    }

    static std::string systemText(DWORD code) {
        char* text = nullptr;
        FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_ALLOCATE_BUFFER, nullptr, code,
                       0, reinterpret_cast<char*>(&text), 0, nullptr);
        std::string copy = text != nullptr ? text : "";
        LocalFree(text);
        return copy;
    }

    std::string programs_, dialogs_, record_;

private:
    void writeRecorder(const std::string& path) {
        {
            std::ofstream script(path);
            script << "#!/bin/sh\n{ printf '%s\\0' \"${0##*/}\" \"$@\"; printf '\\036'; } >> '"
                   << record_ << "'\n";
        }
        std::filesystem::permissions(path, std::filesystem::perms::owner_all);
    }

    std::string savedPath_;
    HANDLE event_ = nullptr;
};

std::vector<std::string> boxCall(const std::string& caption, const std::string& text) {
    return {"Orvalen_main", "--message-box", caption, text};
}

} // namespace

// The window value of a running viewer must be a 4-byte REG_DWORD; anything else is reported,
// and neither a hand-over nor a new main program happens.
TEST_F(LauncherFailureTest, AWindowValueOfAnotherTypeOrSizeIsReported) {
    signalViewer();
    const char text[] = "12345";
    setWindowValue(REG_SZ, text, sizeof text);
    EXPECT_EQ(launch("/pictures/a.jpg"), 0);
    auto seen = calls();
    ASSERT_EQ(seen.size(), 1u);
    ASSERT_EQ(seen[0].size(), 4u);
    EXPECT_EQ(seen[0][2], kReportExceptionCaption);
    EXPECT_EQ(seen[0][3].rfind(std::string("wrong type returned") + kSystemErrorSeparator, 0), 0u)
        << seen[0][3];

    std::filesystem::remove(record_);
    const std::uint64_t wide = 0x1234;
    setWindowValue(REG_DWORD, &wide, sizeof wide);
    EXPECT_EQ(launch("/pictures/a.jpg"), 0);
    seen = calls();
    ASSERT_EQ(seen.size(), 1u);
    ASSERT_EQ(seen[0].size(), 4u);
    EXPECT_EQ(seen[0][2], kReportExceptionCaption);
    EXPECT_EQ(seen[0][3].rfind(
                  std::string("wrong size of data read from registry") + kSystemErrorSeparator, 0),
              0u)
        << seen[0][3];
}

// A store that refuses the write of the file's name: the box names the write and the store's
// own reason, and the launcher does not go on to wake the viewer.
TEST_F(LauncherFailureTest, AFailedWriteOfTheArgumentsIsReportedWithTheStoresReason) {
    signalViewer();
    const DWORD window = 77;
    setWindowValue(REG_DWORD, &window, sizeof window);
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(platform::RegistryDatabasePath().c_str(), &db), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(db,
                           "CREATE TRIGGER refuse BEFORE INSERT ON vals"
                           " WHEN NEW.name = 'solitary_viewer_arguments'"
                           " BEGIN SELECT RAISE(ABORT, 'refused'); END;",
                           nullptr, nullptr, nullptr),
              SQLITE_OK);
    sqlite3_close(db);

    EXPECT_EQ(launch("/pictures/a.jpg"), 0);
    EXPECT_EQ(calls(), (std::vector<std::vector<std::string>>{boxCall(
                           kReportExceptionCaption, std::string("error calling RegSetValueEx()") +
                                                        kSystemErrorSeparator +
                                                        systemText(ERROR_REGISTRY_IO_FAILED))}));
}

// With no viewer running and a main program that cannot be started, the box names the start
// and the system's reason. It cannot come from the main program, so the desktop's dialog
// program shows it.
TEST_F(LauncherFailureTest, AMainProgramThatCannotStartIsReportedThroughTheDesktopsDialog) {
    std::filesystem::permissions(programs_ + "/Orvalen_main",
                                 std::filesystem::perms::owner_read |
                                     std::filesystem::perms::owner_write);
    EXPECT_EQ(launch("/pictures/a.jpg"), 0);
    EXPECT_EQ(calls(), (std::vector<std::vector<std::string>>{
                           {"zenity", "--error", std::string("--title=") + kReportExceptionCaption,
                            std::string("--text=error calling CreateProcess()") +
                                kSystemErrorSeparator + std::strerror(EACCES),
                            "--no-markup"}}));
}

// A name given relative to the launcher's working folder reaches the main program whole: the
// main program, or a viewer already running elsewhere, would look for it in another folder.
TEST_F(LauncherFailureTest, ARelativeNameIsPassedOnWhole) {
    const std::filesystem::path before = std::filesystem::current_path();
    std::filesystem::create_directories(folders.Home() + "/pictures");
    std::filesystem::current_path(folders.Home());
    const int exitCode = launch("pictures/ä b.jpg");
    std::filesystem::current_path(before);
    EXPECT_EQ(exitCode, 1);
    // The launcher does not wait for the main program it starts.
    for (int waited = 0; calls().empty() && waited < 5000; waited += 20) {
        Sleep(20);
    }
    EXPECT_EQ(calls(), (std::vector<std::vector<std::string>>{
                           {"Orvalen_main", folders.Home() + "/pictures/ä b.jpg"}}));
}

// When not even the system's text for the error can be had, the box says so alone.
TEST_F(LauncherFailureTest, AnUnavailableSystemTextLeavesTheFormatMessageBox) {
#ifndef ORVALEN_FAILING_ALLOCATION
    GTEST_SKIP() << "allocation failures cannot be injected into a sanitized build";
#else
    std::filesystem::permissions(programs_ + "/Orvalen_main",
                                 std::filesystem::perms::owner_read |
                                     std::filesystem::perms::owner_write);
    ::setenv("LD_PRELOAD", ORVALEN_FAILING_ALLOCATION, 1);
    const int exitCode = launch("/pictures/a.jpg");
    ::unsetenv("LD_PRELOAD");
    EXPECT_EQ(exitCode, 0);
    EXPECT_EQ(calls(), (std::vector<std::vector<std::string>>{
                           {"zenity", "--error", std::string("--title=") + kReportErrorCaption,
                            "--text=an error occurred with FormatMessage()", "--no-markup"}}));
#endif
}
