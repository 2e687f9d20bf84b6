// For test programs that need a Qt application (offscreen) and, when asked, the image library.
#pragma once

#include <QColor>
#include <gtest/gtest.h>

#include <string>
#include <vector>

class QWidget;

namespace testsupport {

// Writes a PNG of width x height in one colour at path; returns path.
std::string WriteImage(const std::string& path, int width, int height, QRgb color);
// Writes a PNG whose pixel (x, y) has red x % 256, green y % 256 and blue 77: every pixel tells
// where it came from. Returns path.
std::string WriteCoordinateImage(const std::string& path, int width, int height);

// The keys that two or more actions of window hold ("Ctrl+P: Print and &Print"): Qt runs
// none of them.
std::vector<std::string> SharedShortcuts(const QWidget& window);

class GuiEnvironment : public ::testing::Environment {
public:
    explicit GuiEnvironment(bool imageLibrary) : imageLibrary_(imageLibrary) {}
    void SetUp() override;
    void TearDown() override;

private:
    bool imageLibrary_;
};

} // namespace testsupport

// Registers the environment for the test program (once per program, at namespace scope).
#define ORVALEN_GUI_TEST_ENVIRONMENT(imageLibrary)                                                 \
    static const auto* const orvalenGuiEnvironment =                                               \
        ::testing::AddGlobalTestEnvironment(new testsupport::GuiEnvironment(imageLibrary))
