// Which desktop session the program runs in, what it may do there, and the desktop's activation
// token in the environment.
#include "platform/Session.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <tuple>

using platform::SessionKind;

namespace {

struct EnvironmentCase {
    const char* qpaPlatform;
    const char* waylandDisplay;
    const char* display;
    const char* sessionType;
    SessionKind expected;
};

class SessionOfEnvironmentTest : public testing::TestWithParam<EnvironmentCase> {};

} // namespace

TEST_P(SessionOfEnvironmentTest, NamesTheSessionWhereTheWindowsWillGo) {
    const EnvironmentCase& c = GetParam();
    EXPECT_EQ(
        platform::SessionOfEnvironment(c.qpaPlatform, c.waylandDisplay, c.display, c.sessionType),
        c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Sessions, SessionOfEnvironmentTest,
    testing::Values(
        // The toolkit's platform, when set, wins over every display the session offers.
        EnvironmentCase{"xcb", "wayland-0", ":0", "wayland", SessionKind::X11},
        EnvironmentCase{"wayland", nullptr, ":0", "x11", SessionKind::Wayland},
        EnvironmentCase{"wayland-egl", nullptr, nullptr, nullptr, SessionKind::Wayland},
        // A list of fallbacks: the first one is tried first; a plugin argument is no name.
        EnvironmentCase{"wayland;xcb", nullptr, ":0", nullptr, SessionKind::Wayland},
        EnvironmentCase{"xcb:display=:1", "wayland-0", nullptr, nullptr, SessionKind::X11},
        EnvironmentCase{"offscreen", "wayland-0", ":0", "wayland", SessionKind::Other},
        // A Wayland session usually runs Xwayland too: Qt prefers Wayland there.
        EnvironmentCase{"", "wayland-0", ":0", "x11", SessionKind::Wayland},
        EnvironmentCase{nullptr, "", ":0", "wayland", SessionKind::X11},
        EnvironmentCase{nullptr, nullptr, nullptr, "wayland", SessionKind::Wayland},
        EnvironmentCase{nullptr, nullptr, nullptr, "x11", SessionKind::X11},
        EnvironmentCase{nullptr, nullptr, nullptr, "tty", SessionKind::Other},
        EnvironmentCase{nullptr, nullptr, nullptr, nullptr, SessionKind::Other}));

TEST(Sessions, PlatformNames) {
    EXPECT_EQ(platform::SessionOfPlatformName("xcb"), SessionKind::X11);
    EXPECT_EQ(platform::SessionOfPlatformName("wayland"), SessionKind::Wayland);
    EXPECT_EQ(platform::SessionOfPlatformName("wayland-egl"), SessionKind::Wayland);
    EXPECT_EQ(platform::SessionOfPlatformName("offscreen"), SessionKind::Other);
    EXPECT_EQ(platform::SessionOfPlatformName(""), SessionKind::Other);
    EXPECT_EQ(platform::SessionOfPlatformName("xcbx"), SessionKind::Other);
}

// Under Wayland nothing a program stores about its window's place is true, and raising takes
// the desktop's token; X (and the off-screen platform of the tests) keep what they are given.
TEST(Sessions, WhatEachSessionLetsAProgramDo) {
    const auto x11 = platform::AbilitiesOf(SessionKind::X11);
    const auto wayland = platform::AbilitiesOf(SessionKind::Wayland);
    const auto other = platform::AbilitiesOf(SessionKind::Other);
    EXPECT_TRUE(x11.placesWindows);
    EXPECT_FALSE(x11.raiseNeedsToken);
    EXPECT_TRUE(x11.readsWindowProperties);
    EXPECT_FALSE(wayland.placesWindows);
    EXPECT_TRUE(wayland.raiseNeedsToken);
    EXPECT_FALSE(wayland.readsWindowProperties);
    EXPECT_TRUE(other.placesWindows);
    EXPECT_FALSE(other.raiseNeedsToken);
}

// Reading the token leaves it for a program started next (the launcher's main program); taking
// it removes it, so it is presented once.
TEST(Sessions, TheActivationTokenIsReadOrTakenOnce) {
    ::setenv(platform::kActivationTokenVariable, "token-1", 1);
    EXPECT_EQ(platform::ActivationTokenOfEnvironment(), "token-1");
    EXPECT_EQ(platform::ActivationTokenOfEnvironment(), "token-1");
    EXPECT_EQ(platform::TakeActivationToken(), "token-1");
    EXPECT_EQ(std::getenv(platform::kActivationTokenVariable), nullptr);
    EXPECT_EQ(platform::TakeActivationToken(), "");
    EXPECT_EQ(platform::ActivationTokenOfEnvironment(), "");
}
