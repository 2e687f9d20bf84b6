// The real programs on a Wayland compositor of their own (weston, headless, pixman renderer),
// read back from the compositor as a user sees them: the windows it maps (its scene graph) and
// the output's pixels (its screenshooter). The tests that need keys run weston nested in an X
// server of its own, which passes real key presses on to the focused Wayland client.
#include "support/TestSupport.h"
#include "support/WaylandDesktop.h"

#include "common/Settings.h"
#include "platform/Registry.h"

#include <QElapsedTimer>

#include <cstdlib>
#include <fstream>
#include <sstream>

using testsupport::ChildProcess;
using testsupport::IsolatedTest;
using testsupport::Screenshot;
using testsupport::WaylandDesktop;
using testsupport::WaylandToplevel;
using testsupport::XColor8;
using testsupport::XDesktop;
using testsupport::XRect;

namespace {

std::string program(const char* name) {
    return testsupport::ProgramFolder() + "/" + name;
}

bool near(XColor8 a, XColor8 b) {
    return std::abs(a.red - b.red) <= 8 && std::abs(a.green - b.green) <= 8 &&
           std::abs(a.blue - b.blue) <= 8;
}

constexpr XColor8 kRed{220, 30, 30};
constexpr XColor8 kWhite{255, 255, 255};
constexpr XColor8 kBlack{0, 0, 0};

// A picture of one colour whose top left square of side stripes holds one-pixel columns,
// white and black by turns: any resampling on the way to the screen turns them grey.
std::string writePicture(const std::string& path, int width, int height, XColor8 colour,
                         int stripes = 0) {
    std::ofstream out(path, std::ios::binary);
    out << "P6\n" << width << " " << height << "\n255\n";
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            XColor8 pixel = colour;
            if (x < stripes && y < stripes) {
                pixel = x % 2 == 0 ? kWhite : kBlack;
            }
            const char bytes[3] = {static_cast<char>(pixel.red), static_cast<char>(pixel.green),
                                   static_cast<char>(pixel.blue)};
            out.write(bytes, 3);
        }
    }
    return path;
}

// Sets an environment variable for the life of the object (unset: value null).
class ScopedVariable {
public:
    ScopedVariable(const char* name, const char* value) : name_(name) {
        const char* old = std::getenv(name);
        had_ = old != nullptr;
        old_ = had_ ? old : "";
        if (value != nullptr) {
            ::setenv(name, value, 1);
        } else {
            ::unsetenv(name);
        }
    }
    ~ScopedVariable() {
        if (had_) {
            ::setenv(name_.c_str(), old_.c_str(), 1);
        } else {
            ::unsetenv(name_.c_str());
        }
    }
    ScopedVariable(const ScopedVariable&) = delete;
    ScopedVariable& operator=(const ScopedVariable&) = delete;

private:
    std::string name_, old_;
    bool had_ = false;
};

class WaylandTest : public IsolatedTest {
protected:
    // Declared before the watch: the programs end before their compositor.
    std::unique_ptr<WaylandDesktop> desktop;
    testsupport::MainProgramWatch watch;
    bool waitFor(const std::string& needle, int ms = 15000) { return watch.WaitFor(needle, ms); }
    // For lines whose order against the others is not fixed: seen already, or still to come.
    bool sawOrWaitFor(const std::string& needle, int ms = 5000) {
        for (const std::string& line : watch.seen) {
            if (line.find(needle) != std::string::npos) {
                return true;
            }
        }
        return watch.WaitFor(needle, ms);
    }
    // The windows the compositor maps, for a failure's message.
    std::string mappedWindows() {
        std::ostringstream all;
        for (const WaylandToplevel& window : desktop->Toplevels()) {
            all << "[" << window.pid << " '" << window.title << "' " << window.rect << "] ";
        }
        return all.str();
    }
    std::string linesSeen() const {
        std::string all;
        for (const std::string& line : watch.seen) {
            all += line + "\n";
        }
        return all;
    }

    // Starts the compositor; a test that cannot have one is skipped with weston's reason.
    bool start(WaylandDesktop::Input input = WaylandDesktop::Input::None, int scale = 1) {
        desktop = std::make_unique<WaylandDesktop>(input, scale);
        return desktop->Running();
    }

    // How long a change the client or the compositor has been asked for may take, on a machine
    // that is busy with other work.
    static constexpr int kPatienceMs = 20000;

    // The window of pid once the compositor keeps it where it is (the client fits it around
    // the image after its first frame): unchanged over eight looks and half a second, so that
    // a client held up for a moment between two steps is not taken as done.
    WaylandToplevel settled(int pid) {
        WaylandToplevel last = desktop->ToplevelOf(pid, kPatienceMs);
        int still = 0;
        QElapsedTimer stillFor;
        stillFor.start();
        XDesktop::WaitUntil(
            [&] {
                const WaylandToplevel now = desktop->ToplevelOf(pid, 0);
                if (now.rect == last.rect && now.fullScreen == last.fullScreen) {
                    ++still;
                } else {
                    still = 0;
                    stillFor.restart();
                }
                last = now;
                return still >= 8 && stillFor.elapsed() >= 500;
            },
            kPatienceMs);
        return last;
    }

    // The number of the stripes' pixels (see writePicture, side 100) that are not pure white
    // and black on shot with the picture's top left corner at x, y.
    static int wrongStripes(const Screenshot& shot, int x, int y) {
        int wrong = 0;
        for (int row = 0; row < 100; ++row) {
            for (int column = 0; column < 100; ++column) {
                const XColor8 want = column % 2 == 0 ? kWhite : kBlack;
                wrong += near(shot.At(x + column, y + row), want) ? 0 : 1;
            }
        }
        return wrong;
    }

    // Waits until the red 400 x 300 picture with stripes shows whole and pixel for pixel in
    // the surface (device pixels of an output of scale 1), its middle in the surface's.
    testing::AssertionResult pictureShownIn(const XRect& surface) {
        XRect red;
        int wrong = -1;
        const bool shown = XDesktop::WaitUntil(
            [&] {
                const Screenshot shot = desktop->Shoot();
                red = extentOf(shot, surface, kRed, surface.x + surface.width / 2,
                               surface.y + surface.height / 2);
                wrong =
                    red.width == 400 && red.height == 300 ? wrongStripes(shot, red.x, red.y) : -1;
                return wrong == 0;
            },
            kPatienceMs);
        if (shown) {
            return testing::AssertionSuccess();
        }
        return testing::AssertionFailure() << "the picture's red in " << surface << " is " << red
                                           << (wrong > 0 ? ", with stripes resampled" : "");
    }

    // The device-pixel rectangle on shot of the pixels near colour inside the window's surface:
    // left and width from the row through y, top and height from the column through x (both
    // in device pixels, relative to the output).
    static XRect extentOf(const Screenshot& shot, const XRect& area, XColor8 colour, int x, int y) {
        XRect found{-1, -1, 0, 0};
        for (int column = area.x; column < area.x + area.width; ++column) {
            if (near(shot.At(column, y), colour)) {
                found.x = found.x < 0 ? column : found.x;
                ++found.width;
            }
        }
        for (int row = area.y; row < area.y + area.height; ++row) {
            if (near(shot.At(x, row), colour)) {
                found.y = found.y < 0 ? row : found.y;
                ++found.height;
            }
        }
        return found;
    }
};

#define START_OR_SKIP(...)                                                                         \
    if (!start(__VA_ARGS__)) {                                                                     \
        GTEST_SKIP() << "no Wayland compositor: " << desktop->Problem();                           \
    }

struct ScaleCase {
    int outputScale;     // weston's own (integer) output scale
    const char* qtScale; // QT_SCALE_FACTOR for the program, null for none
    double ratio;        // device pixels to the program's logical pixel
};

class WaylandScaleTest : public WaylandTest, public testing::WithParamInterface<ScaleCase> {};

} // namespace

// The image at zoom 1 lands on the output one image pixel to one device pixel: the red area is
// exactly 400 x 300 device pixels, and the one-pixel stripes stay pure white and black.
// Weston 10 offers integer output scales only (and Qt 6.4 speaks no fractional-scale protocol),
// so 1.25 and 1.5 are the toolkit's own scale on an output of scale 1, as a user of such a
// desktop sets it.
TEST_P(WaylandScaleTest, TheViewerShowsTheImagePixelForPixel) {
    const ScaleCase scale = GetParam();
    START_OR_SKIP(WaylandDesktop::Input::None, scale.outputScale);
    ScopedVariable qtScale("QT_SCALE_FACTOR", scale.qtScale);
    const std::string file = writePicture(folders.Home() + "/red.ppm", 400, 300, kRed, 100);
    ChildProcess viewer(program("Orvalen_main"), {file});
    ASSERT_TRUE(waitFor("TViewer::DisplayImage() shows " + file));
    const WaylandToplevel window = settled(watch.lastPid);
    ASSERT_GT(window.rect.width, 0) << "the viewer's window was never mapped";
    EXPECT_EQ(window.title.rfind("Viewer - red.ppm", 0), 0u) << window.title;
    const int s = desktop->Scale();
    const XRect surface{window.rect.x * s, window.rect.y * s, window.rect.width * s,
                        window.rect.height * s};
    Screenshot shot;
    XRect red;
    // Below the stripes and right of them the image is red from edge to edge.
    XDesktop::WaitUntil([&] {
        shot = desktop->Shoot();
        const XRect first = extentOf(shot, surface, kRed, surface.x + surface.width / 2,
                                     surface.y + surface.height / 2);
        if (first.width <= 0 || first.height <= 0) {
            return false;
        }
        red = extentOf(shot, surface, kRed, first.x + 300, first.y + 250);
        return red.width == 400 && red.height == 300;
    });
    ASSERT_GT(shot.width, 0) << "no screenshot";
    EXPECT_EQ(shot.width, 1600);
    EXPECT_EQ(red.width, 400) << "image columns on the output";
    EXPECT_EQ(red.height, 300) << "image rows on the output";
    EXPECT_EQ(wrongStripes(shot, red.x, red.y), 0)
        << "of the 10000 striped pixels, some were resampled";
}

INSTANTIATE_TEST_SUITE_P(Scales, WaylandScaleTest,
                         testing::Values(ScaleCase{1, nullptr, 1.0}, ScaleCase{1, "1.25", 1.25},
                                         ScaleCase{1, "1.5", 1.5}, ScaleCase{2, nullptr, 2.0}),
                         [](const testing::TestParamInfo<ScaleCase>& info) {
                             return "Ratio" +
                                    std::to_string(static_cast<int>(info.param.ratio * 100));
                         });

// A second file opened through the launcher shows in the same viewer, and the compositor maps
// no other window: not the launcher's, not a second main program's, not the hidden main form.
// The desktop's activation token travels with the file and the viewer presents it (weston 10
// has no xdg-activation, so what the compositor would do with it cannot be read back here).
TEST_F(WaylandTest, AHandOverShowsTheNewFileInTheSameViewerAndNoOtherWindow) {
    START_OR_SKIP();
    const std::string first = writePicture(folders.Home() + "/first.ppm", 300, 200, kRed);
    const XColor8 blue{30, 60, 220};
    const std::string second = writePicture(folders.Home() + "/second.ppm", 300, 200, blue);
    ChildProcess viewer(program("Orvalen_main"), {first});
    ASSERT_TRUE(waitFor("TViewer::DisplayImage() shows " + first));
    const int viewerPid = watch.lastPid;
    ASSERT_GT(settled(viewerPid).rect.width, 0);
    {
        ScopedVariable token("XDG_ACTIVATION_TOKEN", "test-token-4711");
        ChildProcess launcher(program("OrvalenViewer"), {second});
        EXPECT_EQ(launcher.Wait(10000), 1);
    }
    EXPECT_TRUE(sawOrWaitFor("hand-over with an activation token", 15000));
    ASSERT_TRUE(waitFor("TViewer::DisplayImage() shows " + second));
    // The viewer's window (showing either file: the raise and the new image race).
    EXPECT_TRUE(sawOrWaitFor("window \"Viewer - ")) << linesSeen();
    EXPECT_TRUE(sawOrWaitFor(".ppm\" activated with a token")) << linesSeen();
    const WaylandToplevel window = settled(viewerPid);
    EXPECT_EQ(window.title.rfind("Viewer - second.ppm", 0), 0u) << window.title;
    const std::vector<WaylandToplevel> mapped = desktop->Toplevels();
    ASSERT_EQ(mapped.size(), 1u);
    EXPECT_EQ(mapped[0].pid, viewerPid);
    const XRect& r = window.rect;
    EXPECT_TRUE(XDesktop::WaitUntil([&] {
        return near(desktop->Shoot().At(r.x + r.width / 2, r.y + r.height / 2), blue);
    })) << "the second image is not on the output";
}

// Without a token, a viewer that another program has taken the focus from asks for attention
// instead of failing; the file shows all the same.
TEST_F(WaylandTest, AHandOverWithoutATokenAsksForAttention) {
    START_OR_SKIP();
    const std::string first = writePicture(folders.Home() + "/first.ppm", 300, 200, kRed);
    const std::string second =
        writePicture(folders.Home() + "/second.ppm", 300, 200, XColor8{30, 60, 220});
    ChildProcess viewer(program("Orvalen_main"), {first});
    ASSERT_TRUE(waitFor("TViewer::DisplayImage() shows " + first));
    const int viewerPid = watch.lastPid;
    ASSERT_GT(settled(viewerPid).rect.width, 0);
    // Another client maps a window and takes the keyboard focus.
    ChildProcess other("/usr/bin/weston-flower", {});
    ASSERT_GT(desktop->ToplevelOf(other.Pid()).pid, 0);
    {
        ScopedVariable token("XDG_ACTIVATION_TOKEN", nullptr);
        ChildProcess launcher(program("OrvalenViewer"), {second});
        EXPECT_EQ(launcher.Wait(10000), 1);
    }
    EXPECT_TRUE(sawOrWaitFor("hand-over without an activation token", 15000));
    ASSERT_TRUE(waitFor("TViewer::DisplayImage() shows " + second));
    EXPECT_TRUE(sawOrWaitFor("window \"Viewer - ")) << linesSeen();
    EXPECT_TRUE(sawOrWaitFor(".ppm\" asks for attention")) << linesSeen();
    other.Kill(SIGTERM);
    other.Wait(5000);
}

// F and back, twice: the compositor's full-screen state covers the whole output with the image
// in its middle, and the window comes back at the size it had, with the image in it. It used to
// come back now and then smaller by its title bar and borders (Qt added its decoration after
// the windowed size had been set, and took the decoration's room from inside), and with a
// black picture: the display kept the corner of the full screen's view, and the decoration,
// coming back, put the window in a new buffer in which only its bars were painted again.
TEST_F(WaylandTest, FullScreenFillsTheOutputAndReturnsToTheSameSize) {
    START_OR_SKIP(WaylandDesktop::Input::RealKeys);
    const std::string file = writePicture(folders.Home() + "/red.ppm", 400, 300, kRed, 100);
    ChildProcess viewer(program("Orvalen_main"), {file});
    ASSERT_TRUE(waitFor("TViewer::DisplayImage() shows " + file));
    const int pid = watch.lastPid;
    const WaylandToplevel windowed = settled(pid);
    ASSERT_GT(windowed.rect.width, 0) << "the viewer's window (process " << pid
                                      << ") was never mapped; mapped: " << mappedWindows();
    ASSERT_TRUE(pictureShownIn(windowed.rect)) << "before full screen";
    // The keys go to the viewer: a click on its status bar, left of its panels' texts.
    const XRect& r = windowed.rect;
    ASSERT_TRUE(desktop->Focus(r.x + 4, r.y + r.height - 8));
    const XRect output = desktop->Output();
    for (int round = 0; round < 2; ++round) {
        ASSERT_TRUE(desktop->Press("f"));
        EXPECT_TRUE(XDesktop::WaitUntil(
            [&] {
                const WaylandToplevel now = desktop->ToplevelOf(pid, 0);
                return now.fullScreen && now.rect == output;
            },
            kPatienceMs))
            << "round " << round << ": " << desktop->ToplevelOf(pid, 0).rect;
        EXPECT_TRUE(XDesktop::WaitUntil(
            [&] {
                const Screenshot shot = desktop->Shoot();
                // (The compositor's pointer sits in the top left corner.)
                return near(shot.At(output.width / 2, output.height / 2), kRed) &&
                       near(shot.At(output.width - 5, 5), kBlack) &&
                       near(shot.At(5, output.height - 5), kBlack);
            },
            kPatienceMs))
            << "round " << round << ": the image is not in the middle of a black output";
        ASSERT_TRUE(desktop->Press("f"));
        // The way back passes through sizes without the decoration: judged once the window has
        // its size again, or the patience is spent, and has kept it since.
        XDesktop::WaitUntil(
            [&] {
                const WaylandToplevel now = desktop->ToplevelOf(pid, 0);
                return !now.fullScreen && now.rect.width == windowed.rect.width &&
                       now.rect.height == windowed.rect.height;
            },
            kPatienceMs);
        const WaylandToplevel back = settled(pid);
        EXPECT_FALSE(back.fullScreen) << "round " << round;
        EXPECT_EQ(back.rect.width, windowed.rect.width) << "round " << round;
        EXPECT_EQ(back.rect.height, windowed.rect.height) << "round " << round;
        EXPECT_TRUE(pictureShownIn(back.rect)) << "round " << round << ", back from full screen";
    }
}

// Four starts, each closed by the window's own close button: every start has the size the last
// one left, and no place is stored (a Wayland program never learns where its window is).
TEST_F(WaylandTest, RestartsKeepTheSizeAndStoreNoPlace) {
    START_OR_SKIP(WaylandDesktop::Input::RealKeys);
    const std::string file =
        writePicture(folders.Home() + "/medium.ppm", 900, 600, XColor8{40, 90, 200});
    std::vector<XRect> seen;
    for (int start = 0; start < 4; ++start) {
        ChildProcess viewer(program("Orvalen_main"), {file});
        ASSERT_TRUE(waitFor("TViewer::DisplayImage() shows " + file));
        const WaylandToplevel window = settled(watch.lastPid);
        ASSERT_GT(window.rect.width, 0) << "start " << start;
        seen.push_back(window.rect);
        ASSERT_TRUE(desktop->ClickCloseButton(window.rect)) << "start " << start;
        EXPECT_EQ(viewer.Wait(10000), 0) << "start " << start;
    }
    for (std::size_t i = 1; i < seen.size(); ++i) {
        EXPECT_EQ(seen[i].width, seen[0].width) << "start " << i;
        EXPECT_EQ(seen[i].height, seen[0].height) << "start " << i;
    }
    HKEY key = nullptr;
    ASSERT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, "Software\\Quendar\\Orvalen 1.5\\viewer_0", 0,
                            KEY_READ, &key),
              ERROR_SUCCESS);
    BYTE data[16];
    DWORD type = 0, size = sizeof data;
    EXPECT_EQ(RegQueryValueExA(key, "Width", nullptr, &type, data, &size), ERROR_SUCCESS);
    for (const char* place : {"Left", "Top", "desired left", "desired top"}) {
        size = sizeof data;
        EXPECT_NE(RegQueryValueExA(key, place, nullptr, &type, data, &size), ERROR_SUCCESS)
            << place << " was stored";
    }
    RegCloseKey(key);
}

// The browser and its options dialog keep their sizes as in any session, but a Wayland client
// never learns where its windows are: the places an X session stored (here off this output, on
// a larger screen) are neither read, which would have pulled them onto this output and written
// them back so, nor overwritten when the windows close.
TEST_F(WaylandTest, TheBrowserAndItsOptionsKeepTheSizeAndLeaveTheStoredPlaceAlone) {
    START_OR_SKIP(WaylandDesktop::Input::RealKeys);
    {
        TRegistryIniFileSpecial settings(settings_base_key, KEY_ALL_ACCESS);
        for (const char* section : {"browser_0", "options"}) {
            settings.Section = section;
            settings.WriteInteger("Width", 700);
            settings.WriteInteger("Height", 500);
            settings.WriteInteger("Top", 2500);
            settings.WriteInteger("Left", 3000);
        }
    }
    ChildProcess browser(program("Orvalen_main"), {});
    ASSERT_TRUE(waitFor("message server"));
    const int pid = watch.lastPid;
    const WaylandToplevel window = settled(pid);
    ASSERT_GT(window.rect.width, 0) << "the browser's window was never mapped";
    // The stored size is the outer one, the decoration Qt draws included.
    EXPECT_EQ(window.rect.width, 700);
    EXPECT_EQ(window.rect.height, 500);

    // The keys go to the browser (a click on its status bar), and there to Edit, then up from
    // its first entry to its last, Options.
    ASSERT_TRUE(desktop->Focus(window.rect.x + 4, window.rect.y + window.rect.height - 8));
    ASSERT_TRUE(desktop->Press("alt+d"));
    ASSERT_TRUE(desktop->Press("Up"));
    ASSERT_TRUE(desktop->Press("Return"));
    WaylandToplevel dialog;
    EXPECT_TRUE(XDesktop::WaitUntil(
        [&] {
            for (const WaylandToplevel& shown : desktop->Toplevels()) {
                if (shown.pid == pid && shown.title.rfind("OptionsForm", 0) == 0) {
                    dialog = shown;
                    return true;
                }
            }
            return false;
        },
        kPatienceMs))
        << "no options dialog";
    if (dialog.pid != 0) {
        EXPECT_GE(dialog.rect.width, 700);
        EXPECT_GE(dialog.rect.height, 500);
        ASSERT_TRUE(desktop->Press("Escape"));
        EXPECT_TRUE(XDesktop::WaitUntil([&] {
            for (const WaylandToplevel& shown : desktop->Toplevels()) {
                if (shown.title.rfind("OptionsForm", 0) == 0) {
                    return false;
                }
            }
            return true;
        }));
    }
    ASSERT_TRUE(desktop->ClickCloseButton(settled(pid).rect));
    EXPECT_EQ(browser.Wait(10000), 0);

    TRegistryIniFileSpecial settings(settings_base_key, KEY_READ);
    for (const char* section : {"browser_0", "options"}) {
        settings.Section = section;
        EXPECT_EQ(settings.ReadInteger("Width", -1), 700) << section;
        EXPECT_EQ(settings.ReadInteger("Height", -1), 500) << section;
        EXPECT_EQ(settings.ReadInteger("Top", -1), 2500) << section;
        EXPECT_EQ(settings.ReadInteger("Left", -1), 3000) << section;
    }
}
