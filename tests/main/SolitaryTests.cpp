// The solitary viewer and the launcher, with the real programs: who shows a file, and how a
// file reaches the viewer that runs.
#include "support/TestSupport.h"

#include "common/Settings.h"
#include "platform/DebugOutput.h"
#include "platform/Registry.h"
#include "platform/Windows.h"

#include <algorithm>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <regex>
#include <set>

using testsupport::ChildProcess;
using testsupport::IsolatedTest;

namespace {

std::string program(const char* name) {
    return testsupport::ProgramFolder() + "/" + name;
}
std::string sample(const char* name) {
    return std::string(ORVALEN_SAMPLES_DIR) + "/" + name;
}

class SolitaryTest : public IsolatedTest {
protected:
    void TearDown() override {
        // Every main program seen on the debug channel ends with the test.
        for (int pid : pids_) {
            ::kill(pid, SIGKILL);
        }
    }

    // Reads debug lines until one contains needle; remembers the main programs' process ids.
    bool waitFor(const std::string& needle, int ms = 15000) {
        std::string line;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        while (std::chrono::steady_clock::now() < deadline) {
            if (!listener.Receive(line, 200)) {
                continue;
            }
            seen.push_back(line);
            std::smatch match;
            if (std::regex_search(line, match, std::regex("in process (\\d+)"))) {
                pids_.insert(std::stoi(match[1]));
                lastPid = std::stoi(match[1]);
            }
            if (line.find(needle) != std::string::npos) {
                return true;
            }
        }
        return false;
    }

    std::string mainformValue(const char* name) {
        TRegistryIniFileSpecial settings(settings_base_key, KEY_READ);
        settings.Section = "mainform";
        return settings.ReadString(name, "<none>");
    }
    std::int32_t mainformInteger(const char* name) {
        TRegistryIniFileSpecial settings(settings_base_key, KEY_READ);
        settings.Section = "mainform";
        return settings.ReadInteger(name, 0);
    }

    platform::DebugListener listener;
    std::vector<std::string> seen;
    int lastPid = 0;

private:
    std::set<int> pids_;
};

} // namespace

TEST_F(SolitaryTest, TheFirstStartBecomesTheViewerAndASecondHandsItsFileOver) {
    ChildProcess first(program("Orvalen_main"), {sample("rose.jpg")});
    ASSERT_TRUE(waitFor("TViewer::DisplayImage() shows " + sample("rose.jpg")));
    const int viewerPid = lastPid;
    EXPECT_EQ(mainformInteger("solitary_viewer_process_id"), viewerPid);
    HKEY key = nullptr;
    ASSERT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, "Software\\Quendar\\Orvalen 1.5\\mainform", 0,
                            KEY_READ, &key),
              ERROR_SUCCESS);
    DWORD type = 0, size = 0;
    ASSERT_EQ(RegQueryValueExA(key, "solitary_viewer_hwnd", nullptr, &type, nullptr, &size),
              ERROR_SUCCESS);
    EXPECT_EQ(type, REG_DWORD);
    EXPECT_EQ(size, 4u);
    RegCloseKey(key);

    // Two arguments: only the last one counts.
    ChildProcess second(program("Orvalen_main"), {sample("granite.bmp"), sample("wizard.gif")});
    EXPECT_EQ(second.Wait(15000), 0); // handed over and ended
    ASSERT_TRUE(waitFor("TViewer::DisplayImage() shows " + sample("wizard.gif")));
    EXPECT_EQ(mainformValue("solitary_viewer_arguments"), sample("wizard.gif"));
    for (const std::string& line : seen) {
        EXPECT_EQ(line.find("shows " + sample("granite.bmp")), std::string::npos);
    }
    EXPECT_EQ(first.Wait(0), -1); // the viewer still runs
}

TEST_F(SolitaryTest, TheLauncherHandsAQuotedNameOverExactlyAsReceived) {
    ChildProcess viewer(program("Orvalen_main"), {sample("rose.jpg")});
    ASSERT_TRUE(waitFor("TViewer::DisplayImage() shows"));
    const std::string quoted = "\"" + sample("logo with alpha.png") + "\"";
    ChildProcess launcher(program("OrvalenViewer"), {quoted});
    EXPECT_EQ(launcher.Wait(10000), 1);
    EXPECT_EQ(mainformValue("solitary_viewer_arguments"), quoted);
    // The viewer shows the file under its plain name, the one its folder lists.
    EXPECT_TRUE(
        waitFor("TViewer::DisplayImage() shows " + sample("logo with alpha.png") + " in window"));
}

TEST_F(SolitaryTest, WithoutAViewerTheLauncherStartsTheMainProgramWhichBecomesIt) {
    const std::string file = sample("été – façade.jpg"); // blanks and non-ASCII letters
    ChildProcess launcher(program("OrvalenViewer"), {file});
    EXPECT_EQ(launcher.Wait(10000), 1);
    ASSERT_TRUE(waitFor("arguments [" + file + "]"));
    ASSERT_TRUE(waitFor("TViewer::DisplayImage() shows " + file));
    EXPECT_NE(mainformInteger("solitary_viewer_process_id"), launcher.Pid());
    EXPECT_EQ(mainformInteger("solitary_viewer_process_id"), lastPid);

    ChildProcess bare(program("OrvalenViewer"), {});
    EXPECT_EQ(bare.Wait(10000), 1);
    EXPECT_TRUE(waitFor("arguments  - "));
    EXPECT_TRUE(waitFor("message server")); // its process id, so that it ends with the test
}

TEST_F(SolitaryTest, AKilledViewerIsReplacedAlthoughTheRegistryStillNamesItsWindow) {
    {
        ChildProcess first(program("Orvalen_main"), {sample("rose.jpg")});
        ASSERT_TRUE(waitFor("TViewer::DisplayImage() shows"));
        first.Kill(SIGKILL);
        first.Wait(5000);
    }
    EXPECT_NE(mainformInteger("solitary_viewer_hwnd"), 0);
    ChildProcess next(program("Orvalen_main"), {sample("wizard.gif")});
    ASSERT_TRUE(waitFor("TViewer::DisplayImage() shows " + sample("wizard.gif")));
    EXPECT_EQ(mainformInteger("solitary_viewer_process_id"), next.Pid());
    EXPECT_EQ(next.Wait(0), -1); // it is the viewer now, not a hand-over
}

// End to end: a file opened through the launcher, then the viewer's own keys (posted to its
// window from this process, as the desktop's key presses would arrive): Page Down walks the
// folder in name order, skipping what is no image, and wraps; Enter shows the browser there,
// and a file opened while it is open is handed to the same viewer.
TEST_F(SolitaryTest, PageDownWalksTheFolderOfALaunchedFileAndEnterShowsTheBrowser) {
    const std::string folder = folders.Home() + "/walk here";
    std::filesystem::create_directories(folder);
    for (const char* name : {"b 10.jpg", "a.jpg", "c \"quoted\".jpg", "b 2.jpg"}) {
        std::filesystem::copy_file(sample("rose.jpg"), folder + "/" + name);
    }
    std::ofstream(folder + "/b 3.jpg") << "not a picture";
    ChildProcess launcher(program("OrvalenViewer"), {folder + "/a.jpg"});
    ASSERT_TRUE(waitFor("TViewer::DisplayImage() shows " + folder + "/a.jpg in window "));
    const std::string& shown = seen.back();
    const std::string marker = " in window ";
    const auto window =
        static_cast<HWND>(std::stoul(shown.substr(shown.rfind(marker) + marker.size())));
    auto press = [&](int key) {
        EXPECT_TRUE(PostMessageA(window, WM_KEYDOWN, static_cast<WPARAM>(key), 0));
        EXPECT_TRUE(PostMessageA(window, WM_KEYUP, static_cast<WPARAM>(key), 0));
    };
    for (const char* name : {"b 2.jpg", "b 10.jpg", "c \"quoted\".jpg", "a.jpg"}) {
        press(VK_NEXT);
        ASSERT_TRUE(waitFor("TViewer::DisplayImage() shows " + folder + "/" + name + " in window"))
            << name;
    }
    EXPECT_EQ(
        std::count_if(seen.begin(), seen.end(),
                      [](const std::string& line) { return line.find("b 3.jpg") != line.npos; }),
        0);
    press(VK_RETURN);
    EXPECT_TRUE(waitFor("TBrowser shows " + folder));
    // With the browser open, the next file the desktop opens goes to the same viewer window.
    ChildProcess again(program("OrvalenViewer"), {folder + "/b 10.jpg"});
    EXPECT_EQ(again.Wait(10000), 1);
    EXPECT_TRUE(waitFor("TViewer::DisplayImage() shows " + folder + "/b 10.jpg in window " +
                        std::to_string(window)));
    // The handed-over name (quoted by the launcher for its blank) goes on walking.
    press(VK_NEXT);
    EXPECT_TRUE(waitFor("TViewer::DisplayImage() shows " + folder + "/c \"quoted\".jpg in window"));
}
