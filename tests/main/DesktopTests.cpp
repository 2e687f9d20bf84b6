// The real programs on an X server with a decorating window manager (openbox), driven by real
// keys and read back as a user sees them: frames, window states, visible windows and pixels.
#include "support/TestSupport.h"
#include "support/XDesktop.h"

#include <chrono>
#include <fstream>
#include <set>

using testsupport::ChildProcess;
using testsupport::IsolatedTest;
using testsupport::XColor8;
using testsupport::XDesktop;
using testsupport::XRect;

namespace {

std::string program(const char* name) {
    return testsupport::ProgramFolder() + "/" + name;
}

// A picture of one colour, in a format every decoder reads.
std::string writePicture(const std::string& path, int width, int height, XColor8 colour) {
    std::ofstream out(path, std::ios::binary);
    out << "P6\n" << width << " " << height << "\n255\n";
    const char pixel[3] = {static_cast<char>(colour.red), static_cast<char>(colour.green),
                           static_cast<char>(colour.blue)};
    for (long i = 0; i < static_cast<long>(width) * height; ++i) {
        out.write(pixel, 3);
    }
    return path;
}

bool near(XColor8 a, XColor8 b) {
    return std::abs(a.red - b.red) <= 8 && std::abs(a.green - b.green) <= 8 &&
           std::abs(a.blue - b.blue) <= 8;
}

class DesktopTest : public IsolatedTest {
protected:
    XDesktop desktop;
    // Every main program seen on the debug channel ends with the test, before its display.
    testsupport::MainProgramWatch watch;
    int& lastPid = watch.lastPid;
    bool waitFor(const std::string& needle, int ms = 15000) { return watch.WaitFor(needle, ms); }

    // The outer bounds once the window manager has framed the window and it stays put.
    XRect settled(unsigned long window) {
        XRect last = desktop.OuterGeometry(window);
        int still = 0;
        XDesktop::WaitUntil(
            [&] {
                const XRect now = desktop.OuterGeometry(window);
                still = now == last ? still + 1 : 0;
                last = now;
                return still >= 15;
            },
            5000);
        return last;
    }

    bool onScreen(const XRect& outer) {
        return outer.x >= 0 && outer.y >= 0 && outer.x + outer.width <= desktop.Width() &&
               outer.y + outer.height <= desktop.Height();
    }
};

} // namespace

// F and back, four times: the window manager's full screen (the whole screen, the image in its
// middle), and each time the same outer bounds back. It used to keep the window's size, and
// leaving grew the window by its frame each time until the title bar left the screen.
TEST_F(DesktopTest, FullScreenAndBackFourTimesGivesTheSameOuterBounds) {
    ASSERT_TRUE(desktop.Running());
    const XColor8 red{220, 30, 30};
    const std::string file = writePicture(folders.Home() + "/red.ppm", 400, 300, red);
    ChildProcess viewer(program("Orvalen_main"), {file});
    ASSERT_TRUE(waitFor("TViewer::DisplayImage() shows " + file));
    const unsigned long window = desktop.WindowOf(lastPid);
    ASSERT_NE(window, 0u);
    const XRect windowed = settled(window);
    EXPECT_TRUE(onScreen(windowed)) << windowed;
    for (int round = 0; round < 4; ++round) {
        ASSERT_TRUE(desktop.Press(window, "f"));
        const XRect whole{0, 0, desktop.Width(), desktop.Height()};
        EXPECT_TRUE(XDesktop::WaitUntil([&] {
            return desktop.IsFullScreen(window) && desktop.ClientGeometry(window) == whole;
        })) << "round "
            << round << ": " << desktop.ClientGeometry(window);
        EXPECT_TRUE(XDesktop::WaitUntil([&] {
            return near(desktop.PixelAt(desktop.Width() / 2, desktop.Height() / 2), red) &&
                   near(desktop.PixelAt(5, 5), XColor8{0, 0, 0});
        })) << "round "
            << round << ": the image is not in the middle of a black screen";
        ASSERT_TRUE(desktop.Press(window, "f"));
        EXPECT_TRUE(XDesktop::WaitUntil([&] { return !desktop.IsFullScreen(window); }));
        EXPECT_EQ(settled(window), windowed) << "round " << round;
    }
}

// The first window fitted around an image shows all of it, no more and no less, although the
// frame is known only once the window is on the screen (it used to come out smaller by the
// frame, cutting the image).
TEST_F(DesktopTest, TheFirstWindowShowsTheWholeImageAtOneToOne) {
    ASSERT_TRUE(desktop.Running());
    const XColor8 red{220, 30, 30};
    const std::string file = writePicture(folders.Home() + "/red.ppm", 400, 300, red);
    ChildProcess viewer(program("Orvalen_main"), {file});
    ASSERT_TRUE(waitFor("TViewer::DisplayImage() shows " + file));
    const unsigned long window = desktop.WindowOf(lastPid);
    ASSERT_NE(window, 0u);
    settled(window);
    const XRect client = desktop.ClientGeometry(window);
    EXPECT_EQ(client.width, 400);
    int redRows = 0, redColumns = 0;
    for (int y = client.y; y < client.y + client.height; ++y) {
        redRows += near(desktop.PixelAt(client.x + 200, y), red) ? 1 : 0;
    }
    for (int x = client.x; x < client.x + client.width; ++x) {
        redColumns += near(desktop.PixelAt(x, client.y + client.height / 2), red) ? 1 : 0;
    }
    EXPECT_EQ(redRows, 300);
    EXPECT_EQ(redColumns, 400);
}

// Pictures a few pixels tall show every row too. The window sized before the frame was known
// came out shorter than its bars once framed, which left the display no room: the picture did
// not show at all.
TEST_F(DesktopTest, APictureAFewPixelsTallShowsAllItsRows) {
    ASSERT_TRUE(desktop.Running());
    const XColor8 red{220, 30, 30};
    for (const int rows : {1, 10, 25}) {
        const std::string file =
            writePicture(folders.Home() + "/strip" + std::to_string(rows) + ".ppm", 150, rows, red);
        ChildProcess viewer(program("Orvalen_main"), {file});
        ASSERT_TRUE(waitFor("TViewer::DisplayImage() shows " + file)) << rows;
        const unsigned long window = desktop.WindowOf(lastPid);
        ASSERT_NE(window, 0u) << rows;
        settled(window);
        const XRect client = desktop.ClientGeometry(window);
        int redRows = 0;
        for (int y = client.y; y < client.y + client.height; ++y) {
            redRows += near(desktop.PixelAt(client.x + client.width / 2, y), red) ? 1 : 0;
        }
        EXPECT_EQ(redRows, rows) << client;
        ASSERT_TRUE(desktop.Press(window, "alt+F4"));
        EXPECT_EQ(viewer.Wait(10000), 0);
    }
}

// Three starts in a row each give back the outer bounds the last one stored (they used to
// drift by the frame).
TEST_F(DesktopTest, RestartsKeepTheOuterBounds) {
    ASSERT_TRUE(desktop.Running());
    const std::string file =
        writePicture(folders.Home() + "/medium.ppm", 900, 600, XColor8{40, 90, 200});
    std::vector<XRect> seen;
    for (int start = 0; start < 4; ++start) {
        ChildProcess viewer(program("Orvalen_main"), {file});
        ASSERT_TRUE(waitFor("TViewer::DisplayImage() shows " + file));
        const unsigned long window = desktop.WindowOf(lastPid);
        ASSERT_NE(window, 0u);
        seen.push_back(settled(window));
        EXPECT_TRUE(onScreen(seen.back())) << "start " << start << ": " << seen.back();
        ASSERT_TRUE(desktop.Press(window, "alt+F4")); // the window manager's close
        EXPECT_EQ(viewer.Wait(10000), 0);
    }
    for (std::size_t i = 1; i < seen.size(); ++i) {
        EXPECT_EQ(seen[i], seen[0]) << "start " << i;
    }
}

// The first window of a photo larger than the screen fits on it whole, title bar and status
// bar included.
TEST_F(DesktopTest, ABigPhotosFirstWindowFitsTheScreen) {
    ASSERT_TRUE(desktop.Running());
    const std::string big =
        writePicture(folders.Home() + "/big.ppm", 3000, 2000, XColor8{40, 90, 200});
    ChildProcess viewer(program("Orvalen_main"), {big});
    ASSERT_TRUE(waitFor("TViewer::DisplayImage() shows " + big));
    const unsigned long window = desktop.WindowOf(lastPid);
    ASSERT_NE(window, 0u);
    const XRect outer = settled(window);
    EXPECT_TRUE(onScreen(outer)) << outer;
    EXPECT_EQ(outer, (XRect{0, 0, desktop.Width(), desktop.Height()}));
}

// The browser's first start puts its whole frame, title bar included, inside the screen.
TEST_F(DesktopTest, TheBrowsersFirstWindowIsWhollyOnTheScreen) {
    ASSERT_TRUE(desktop.Running());
    ChildProcess browser(program("Orvalen_main"), {});
    ASSERT_TRUE(waitFor("message server"));
    const unsigned long window = desktop.WindowOf(lastPid);
    ASSERT_NE(window, 0u);
    const XRect outer = settled(window);
    EXPECT_TRUE(onScreen(outer)) << outer;
}

// Ctrl+P in the viewer opens the print dialog (the menu entry and the window's own action
// used to share the shortcut, and Qt then runs neither).
TEST_F(DesktopTest, CtrlPInTheViewerOpensThePrintDialog) {
    ASSERT_TRUE(desktop.Running());
    const std::string file =
        writePicture(folders.Home() + "/small.ppm", 200, 150, XColor8{10, 200, 10});
    ChildProcess viewer(program("Orvalen_main"), {file});
    ASSERT_TRUE(waitFor("TViewer::DisplayImage() shows " + file));
    const unsigned long window = desktop.WindowOf(lastPid);
    ASSERT_NE(window, 0u);
    settled(window);
    ASSERT_TRUE(desktop.Press(window, "ctrl+p"));
    unsigned long dialog = 0;
    EXPECT_TRUE(XDesktop::WaitUntil([&] {
        for (unsigned long shown : desktop.VisibleWindows()) {
            if (shown != window && desktop.Title(shown).find("Print") != std::string::npos) {
                dialog = shown;
                return true;
            }
        }
        return false;
    })) << "no print dialog";
}
