// The solitary viewer and the launcher, with the real programs: who shows a file, and how a
// file reaches the viewer that runs.
#include "support/TestSupport.h"
#include "support/XDesktop.h"

#include "common/Settings.h"
#include "platform/Kernel.h"
#include "platform/Registry.h"
#include "platform/Windows.h"

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <set>
#include <sstream>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

using testsupport::ChildProcess;
using testsupport::IsolatedTest;
using testsupport::XDesktop;

namespace {

std::string program(const char* name) {
    return testsupport::ProgramFolder() + "/" + name;
}
std::string sample(const char* name) {
    return std::string(ORVALEN_SAMPLES_DIR) + "/" + name;
}

class SolitaryTest : public IsolatedTest {
protected:
    // Every main program seen on the debug channel ends with the test.
    testsupport::MainProgramWatch watch;
    std::vector<std::string>& seen = watch.seen;
    int& lastPid = watch.lastPid;
    bool waitFor(const std::string& needle, int ms = 15000) { return watch.WaitFor(needle, ms); }

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

// A viewer that is ending still holds the event and still names its window, but takes no file:
// here one stopped, then killed while the next start (or the launcher) waits for its answer. The
// file is shown all the same, by a new viewer that the start after it hands over to.
TEST_F(SolitaryTest, AFileHandedToAViewerThatIsEndingIsShownByANewViewer) {
    for (const char* starter : {"Orvalen_main", "OrvalenViewer"}) {
        SCOPED_TRACE(starter);
        ChildProcess ending(program("Orvalen_main"), {sample("rose.jpg")});
        ASSERT_TRUE(waitFor("TViewer::DisplayImage() shows " + sample("rose.jpg")));
        ASSERT_TRUE(testsupport::StopProcess(ending.Pid()));
        ChildProcess start(program(starter), {sample("wizard.gif")});
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        ending.Kill(SIGKILL);
        ASSERT_TRUE(waitFor("TViewer::DisplayImage() shows " + sample("wizard.gif")));
        const int viewer = lastPid;
        EXPECT_NE(viewer, ending.Pid());
        EXPECT_EQ(mainformInteger("solitary_viewer_process_id"), viewer);

        ChildProcess next(program("Orvalen_main"), {sample("granite.bmp")});
        EXPECT_EQ(next.Wait(15000), 0); // handed over to the new viewer, and ended
        EXPECT_TRUE(waitFor("TViewer::DisplayImage() shows " + sample("granite.bmp")));
        EXPECT_EQ(mainformInteger("solitary_viewer_process_id"), viewer);
        // The next round starts without a viewer.
        ::kill(viewer, SIGKILL);
        ending.Wait(5000);
        start.Wait(5000);
        for (int tries = 0;
             tries < 250 && IsWindow(static_cast<HWND>(mainformInteger("solitary_viewer_hwnd")));
             ++tries) {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    }
}

// End to end on a display of its own: a file opened through the launcher, then the viewer's
// own keys pressed on its window: Page Down walks the folder in name order, skipping what is
// no image, and wraps; Enter shows the browser there, and a file opened while it is open is
// handed to the same viewer.
TEST_F(SolitaryTest, PageDownWalksTheFolderOfALaunchedFileAndEnterShowsTheBrowser) {
    XDesktop display(XDesktop::Manager::None, 1280, 1024);
    ASSERT_TRUE(display.Running());
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
    const unsigned long viewerWindow = display.WindowOf(lastPid);
    ASSERT_NE(viewerWindow, 0u);
    auto press = [&](const char* key) { EXPECT_TRUE(display.Press(viewerWindow, key)); };
    for (const char* name : {"b 2.jpg", "b 10.jpg", "c \"quoted\".jpg", "a.jpg"}) {
        press("Next");
        ASSERT_TRUE(waitFor("TViewer::DisplayImage() shows " + folder + "/" + name + " in window"))
            << name;
    }
    EXPECT_EQ(
        std::count_if(seen.begin(), seen.end(),
                      [](const std::string& line) { return line.find("b 3.jpg") != line.npos; }),
        0);
    press("Return");
    EXPECT_TRUE(waitFor("TBrowser shows " + folder));
    // With the browser open, the next file the desktop opens goes to the same viewer window.
    ChildProcess again(program("OrvalenViewer"), {folder + "/b 10.jpg"});
    EXPECT_EQ(again.Wait(10000), 1);
    EXPECT_TRUE(waitFor("TViewer::DisplayImage() shows " + folder + "/b 10.jpg in window " +
                        std::to_string(window)));
    // The handed-over name (quoted by the launcher for its blank) goes on walking.
    press("Next");
    EXPECT_TRUE(waitFor("TViewer::DisplayImage() shows " + folder + "/c \"quoted\".jpg in window"));
}

// Each hand-over, through the launcher and through a second start, used to map the hidden main
// form as a small window of its own; asked through the X server, only the viewer shows.
TEST_F(SolitaryTest, AHandOverLeavesNoVisibleWindowButTheViewer) {
    XDesktop display(XDesktop::Manager::None, 1280, 1024);
    ASSERT_TRUE(display.Running());
    ChildProcess first(program("Orvalen_main"), {sample("rose.jpg")});
    ASSERT_TRUE(waitFor("TViewer::DisplayImage() shows " + sample("rose.jpg")));
    const unsigned long viewerWindow = display.WindowOf(lastPid);
    ASSERT_NE(viewerWindow, 0u);
    ChildProcess launcher(program("OrvalenViewer"), {sample("wizard.gif")});
    EXPECT_EQ(launcher.Wait(10000), 1);
    ASSERT_TRUE(waitFor("TViewer::DisplayImage() shows " + sample("wizard.gif")));
    ChildProcess second(program("Orvalen_main"), {sample("granite.bmp")});
    EXPECT_EQ(second.Wait(15000), 0);
    ASSERT_TRUE(waitFor("TViewer::DisplayImage() shows " + sample("granite.bmp")));
    waitFor("no such line", 700); // room for a late map
    EXPECT_EQ(display.VisibleWindows(), std::set<unsigned long>{viewerWindow});
}

// Twenty files opened at once (a desktop opening a selection): every launcher hands its file
// over, no second viewer starts, and the viewer ends on the file written last.
TEST_F(SolitaryTest, TwentyLaunchersAtOnceEndWithOneViewerShowingTheLastWrittenFile) {
    ChildProcess viewer(program("Orvalen_main"), {sample("rose.jpg")});
    ASSERT_TRUE(waitFor("TViewer::DisplayImage() shows " + sample("rose.jpg")));
    const int viewerPid = lastPid;
    const std::string folder = folders.Home() + "/selection";
    std::filesystem::create_directories(folder);
    std::vector<std::unique_ptr<ChildProcess>> launchers;
    for (int i = 0; i < 20; ++i) {
        const std::string file = folder + "/photo" + std::to_string(i) + ".jpg";
        std::filesystem::copy_file(sample("rose.jpg"), file);
    }
    for (int i = 0; i < 20; ++i) {
        launchers.push_back(std::make_unique<ChildProcess>(
            program("OrvalenViewer"),
            std::vector<std::string>{folder + "/photo" + std::to_string(i) + ".jpg"}));
    }
    for (auto& launcher : launchers) {
        EXPECT_EQ(launcher->Wait(20000), 1);
    }
    const std::string last = mainformValue("solitary_viewer_arguments");
    ASSERT_EQ(last.rfind(folder + "/photo", 0), 0u) << last;
    ASSERT_TRUE(waitFor("TViewer::DisplayImage() shows " + last + " in window"));
    waitFor("no such line", 1500); // whatever else was still on its way
    std::string lastShown;
    int servers = 0;
    for (const std::string& line : seen) {
        if (line.find("TViewer::DisplayImage() shows ") != std::string::npos) {
            lastShown = line;
        }
        servers += line.find("message server") != std::string::npos ? 1 : 0;
    }
    EXPECT_NE(lastShown.find("shows " + last + " in window"), std::string::npos) << lastShown;
    EXPECT_EQ(servers, 1); // no main program but the viewer ever started
    EXPECT_EQ(mainformInteger("solitary_viewer_process_id"), viewerPid);
    EXPECT_EQ(viewer.Wait(0), -1);
}

// The launcher used to join its arguments into one text that the start of the main program
// split again, dropping every double quote: 'dq"x.jpg' asked for "dqx.jpg", and a file really
// named '"wrapped.jpg"' could not be opened at all. Each name is opened once with no viewer
// running and once handed to a running one.
TEST_F(SolitaryTest, NamesWithQuotesInsideAroundAndBothOpenThroughTheLauncher) {
    const std::string folder = folders.Home() + "/quotes";
    std::filesystem::create_directories(folder);
    const std::vector<std::string> names = {"dq\"x.jpg", "sp ace \"quoted\" name.jpg",
                                            "\"wrapped.jpg\"", "\"both \"in\" side.jpg\""};
    for (const std::string& name : names) {
        std::filesystem::copy_file(sample("rose.jpg"), folder + "/" + name);
    }
    for (std::size_t i = 0; i < names.size(); ++i) {
        const std::string file = folder + "/" + names[i];
        {
            ChildProcess launcher(program("OrvalenViewer"), {file});
            EXPECT_EQ(launcher.Wait(10000), 1);
        }
        ASSERT_TRUE(waitFor("arguments [" + file + "]")) << file;
        ASSERT_TRUE(waitFor("TViewer::DisplayImage() shows " + file + " in window")) << file;
        const int viewerPid = mainformInteger("solitary_viewer_process_id");

        const std::string next = folder + "/" + names[(i + 1) % names.size()];
        {
            ChildProcess launcher(program("OrvalenViewer"), {next});
            EXPECT_EQ(launcher.Wait(10000), 1);
        }
        // The stored text is the command line: quoted as a whole where it holds a blank.
        const std::string stored = next.find(' ') != std::string::npos ? "\"" + next + "\"" : next;
        EXPECT_EQ(mainformValue("solitary_viewer_arguments"), stored);
        ASSERT_TRUE(waitFor("TViewer::DisplayImage() shows " + next + " in window")) << next;
        EXPECT_EQ(mainformInteger("solitary_viewer_process_id"), viewerPid);

        // The next start finds no viewer once the killed one has stopped signalling.
        ::kill(viewerPid, SIGKILL);
        HANDLE event = CreateEventA(nullptr, TRUE, FALSE, "Orvalen_solitary_viewer_event");
        ASSERT_NE(event, nullptr);
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while (WaitForSingleObject(event, 0) == WAIT_OBJECT_0 &&
               std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        EXPECT_EQ(WaitForSingleObject(event, 0), static_cast<DWORD>(WAIT_TIMEOUT));
        CloseHandle(event);
    }
    // A name given as it stands in its folder, quotes and all: that file exists, so its quotes
    // are part of the name and not a pair to remove. It is shown by its whole name.
    const std::filesystem::path here = std::filesystem::current_path();
    std::filesystem::current_path(folder);
    ChildProcess relative(program("Orvalen_main"), {"\"wrapped.jpg\""});
    std::filesystem::current_path(here);
    EXPECT_TRUE(waitFor("TViewer::DisplayImage() shows " + folder + "/\"wrapped.jpg\" in window"));
}

// With a runtime folder that others can enter, the launcher used to end on a box that named
// only "Problem in HandleArguments()" and the system's "Permission denied". Its boxes go to
// the main program beside it, here a stand-in that writes down what it is asked to show.
TEST_F(SolitaryTest, TheLauncherNamesAnUnsafeRuntimeFolderAndWhyAndEnds) {
    const std::string programs = folders.Root() + "/programs";
    std::filesystem::create_directories(programs);
    std::filesystem::copy_file(program("OrvalenViewer"), programs + "/OrvalenViewer");
    const std::string record = folders.Root() + "/boxes";
    {
        std::ofstream standIn(programs + "/Orvalen_main");
        standIn << "#!/bin/sh\nprintf '%s\\n' \"$@\" >> '" << record << "'\n";
    }
    std::filesystem::permissions(programs + "/Orvalen_main", std::filesystem::perms::owner_all);
    const std::string open = folders.Root() + "/open runtime";
    ASSERT_EQ(::mkdir(open.c_str(), 0755), 0);
    ASSERT_EQ(::mkdir((open + "/orvalen").c_str(), 0755), 0);
    ::chmod((open + "/orvalen").c_str(), 0755); // whatever the umask made of it
    ::setenv("XDG_RUNTIME_DIR", open.c_str(), 1);

    ChildProcess launcher(programs + "/OrvalenViewer", {sample("rose.jpg")});
    EXPECT_EQ(launcher.Wait(10000), 0);
    std::ifstream recorded(record);
    std::vector<std::string> lines;
    for (std::string line; std::getline(recorded, line);) {
        lines.push_back(line);
    }
    // One box, and no main program started.
    EXPECT_EQ(lines, (std::vector<std::string>{
                         "--message-box", "A program error occurred",
                         "The runtime folder " + open +
                             "/orvalen is not a private folder of this user: mode 0755"}));

    // A private mode does not make another user's folder ours (only root can make one here).
    if (::geteuid() != 0) {
        return;
    }
    ASSERT_EQ(::chmod((open + "/orvalen").c_str(), 0700), 0);
    ASSERT_EQ(::chown((open + "/orvalen").c_str(), 54321, 54321), 0);
    std::filesystem::remove(record);
    ChildProcess again(programs + "/OrvalenViewer", {sample("rose.jpg")});
    EXPECT_EQ(again.Wait(10000), 0);
    std::ifstream recordedAgain(record);
    lines.clear();
    for (std::string line; std::getline(recordedAgain, line);) {
        lines.push_back(line);
    }
    EXPECT_EQ(lines, (std::vector<std::string>{
                         "--message-box", "A program error occurred",
                         "The runtime folder " + open +
                             "/orvalen is not a private folder of this user: owned by uid 54321"}));
}
