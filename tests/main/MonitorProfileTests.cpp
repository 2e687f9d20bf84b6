// The monitor's profile as a colour manager publishes it on the X server: the viewer shows its
// pictures in it from the start and follows it when it changes, read back from the screen.
#include "support/TestSupport.h"
#include "support/XDesktop.h"

#include "display/ColourManagement.h"

#include <cstdlib>
#include <fstream>

using testsupport::ChildProcess;
using testsupport::IsolatedTest;
using testsupport::XColor8;
using testsupport::XDesktop;

namespace {

std::string writePicture(const std::string& path, XColor8 colour) {
    std::ofstream out(path, std::ios::binary);
    out << "P6\n400 300\n255\n";
    const char pixel[3] = {static_cast<char>(colour.red), static_cast<char>(colour.green),
                           static_cast<char>(colour.blue)};
    for (int i = 0; i < 400 * 300; ++i) {
        out.write(pixel, 3);
    }
    return path;
}

bool within(XColor8 seen, XColor8 wanted, int tolerance) {
    return std::abs(seen.red - wanted.red) <= tolerance &&
           std::abs(seen.green - wanted.green) <= tolerance &&
           std::abs(seen.blue - wanted.blue) <= tolerance;
}

std::string text(XColor8 colour) {
    return "(" + std::to_string(colour.red) + ", " + std::to_string(colour.green) + ", " +
           std::to_string(colour.blue) + ")";
}

class MonitorProfileTest : public IsolatedTest {
protected:
    XDesktop desktop{XDesktop::Manager::None};
    // Every main program seen on the debug channel ends with the test, before its display.
    testsupport::MainProgramWatch watch;
};

} // namespace

TEST_F(MonitorProfileTest, ThePictureIsShownInTheMonitorsProfileAndFollowsItsChanges) {
    ASSERT_TRUE(desktop.Running());
    // An Adobe RGB (1998) monitor: sRGB's (200, 60, 60) is sent as Adobe RGB's (172, 62, 61).
    const XColor8 srgbRed{200, 60, 60}, adobeRed{172, 62, 61};
    desktop.SetRootProperty("_ICC_PROFILE", engine::AdobeRgbProfile());
    const std::string file = writePicture(folders.Home() + "/red.ppm", srgbRed);
    ChildProcess viewer(testsupport::ProgramFolder() + "/Orvalen_main", {file});
    ASSERT_TRUE(watch.WaitFor("TViewer::DisplayImage() shows " + file, 15000));
    const unsigned long window = desktop.WindowOf(watch.lastPid);
    ASSERT_NE(window, 0u);
    const auto middle = [&] {
        const testsupport::XRect client = desktop.ClientGeometry(window);
        return desktop.PixelAt(client.x + client.width / 2, client.y + client.height / 2);
    };
    EXPECT_TRUE(XDesktop::WaitUntil([&] { return within(middle(), adobeRed, 3); }))
        << "shown as " << text(middle()) << " on an Adobe RGB monitor";

    // The colour manager takes the profile away (an sRGB monitor), then puts it back.
    desktop.SetRootProperty("_ICC_PROFILE", "");
    EXPECT_TRUE(XDesktop::WaitUntil([&] { return within(middle(), srgbRed, 1); }))
        << "shown as " << text(middle()) << " once the monitor has no profile";
    desktop.SetRootProperty("_ICC_PROFILE", engine::AdobeRgbProfile());
    EXPECT_TRUE(XDesktop::WaitUntil([&] { return within(middle(), adobeRed, 3); }))
        << "shown as " << text(middle()) << " once the profile is back";
}
