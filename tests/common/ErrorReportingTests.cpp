// The reporting functions: box texts and captions, the 512-byte cut, standard output, traces.
#include "support/TestSupport.h"

#include "common/ErrorReporting.h"
#include "platform/Platform.h"

#include <regex>

using testsupport::ChildProcess;
using testsupport::IsolatedTest;

class ErrorReportingTest : public IsolatedTest {
protected:
    void SetUp() override { LastErrorCode = 0; }
};

TEST_F(ErrorReportingTest, ReportErrorAppendsTheSystemTextOfTheStoredCodeZeroIncluded) {
    ReportError("Problem in %s\n%i", "ImageRegionFP::ClipRegion()", 42);
    const auto shown = boxes.Take();
    ASSERT_EQ(shown.size(), 1u);
    EXPECT_EQ(shown[0].caption, "A program error occurred");
    EXPECT_EQ(
        shown[0].text,
        "Problem in ImageRegionFP::ClipRegion()\n42\n\nThe system reports this error:\n\nSuccess");
}

TEST_F(ErrorReportingTest, AHandlerShowsTheCaughtTextVerbatimWithTheCurrentCodesText) {
    try {
        SetLastError(ERROR_FILE_NOT_FOUND);
        throw "Error with SetDIBits\nError #J4HJ38 100%";
    } catch (const char* text) {
        LastErrorCode = GetLastError();
        ReportException("%s", text);
    }
    const auto shown = boxes.Take();
    ASSERT_EQ(shown.size(), 1u);
    EXPECT_EQ(shown[0].caption, "A program exception occurred");
    EXPECT_EQ(shown[0].text, "Error with SetDIBits\nError #J4HJ38 100%\n\nThe system reports this "
                             "error:\n\nNo such file or directory");
}

TEST_F(ErrorReportingTest, ALongTextIsCutToTheBoxBuffer) {
    const std::string longText(600, 'a');
    ReportError("%s", longText.c_str());
    const auto shown = boxes.Take();
    ASSERT_EQ(shown.size(), 1u);
    EXPECT_EQ(shown[0].text.size(), 511u);
    EXPECT_EQ(shown[0].text, std::string(511, 'a'));

    // A text that fits, but whose system text does not, keeps the separator's start.
    const std::string nearlyFull(500, 'b');
    ReportError("%s", nearlyFull.c_str());
    const auto second = boxes.Take();
    ASSERT_EQ(second.size(), 1u);
    EXPECT_EQ(second[0].text.size(), 511u);
    EXPECT_EQ(second[0].text.substr(0, 502), nearlyFull + "\n\n");
}

TEST_F(ErrorReportingTest, TheCutNeverSplitsAUtf8Character) {
    // "é" is two bytes: 255 of them fill 510 bytes, the 256th would cross the 511-byte limit.
    std::string accented;
    for (int i = 0; i < 300; ++i) {
        accented += "\xC3\xA9";
    }
    ReportError("%s", accented.c_str());
    const auto shown = boxes.Take();
    ASSERT_EQ(shown.size(), 1u);
    EXPECT_EQ(shown[0].text, accented.substr(0, 510) + "\n");

    char threeByteCut[] = "ab\xE2\x82\xAC"; // "ab€"
    common::CutUtf8(threeByteCut, 4);
    EXPECT_STREQ(threeByteCut, "ab");
    char whole[] = "ab\xE2\x82\xAC";
    common::CutUtf8(whole, 5);
    EXPECT_STREQ(whole, "ab\xE2\x82\xAC");
}

TEST_F(ErrorReportingTest, LogExceptionWritesToStandardOutputAndShowsNoBox) {
    LastErrorCode = ERROR_PIPE_BUSY;
    testing::internal::CaptureStdout();
    LogException("%s", "timeout expired");
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "\n!!! An exception occurred !!!\ntimeout expired\n\nThe system reports this "
              "error:\n\nAll pipe instances are busy.");
    EXPECT_EQ(boxes.Count(), 0u);
}

TEST_F(ErrorReportingTest, DebugTraceArrivesAtAListenerOfAnotherProcessWithTheTickCount) {
    platform::DebugListener listener;
    ASSERT_TRUE(listener.IsOpen());
    const DWORD before = GetTickCount();
    ChildProcess child(testsupport::ProgramFolder() + "/orvalen-test-helper",
                       {"trace", "WinMain() start"});
    const std::string line = listener.WaitForLineContaining("WinMain() start", 5000);
    const DWORD after = GetTickCount();
    std::smatch parts;
    ASSERT_TRUE(std::regex_match(line, parts, std::regex(R"(WinMain\(\) start - (-?\d+))")))
        << line;
    const auto ticks = static_cast<DWORD>(std::stol(parts[1]));
    EXPECT_GE(ticks, before);
    EXPECT_LE(ticks, after);
}

TEST_F(ErrorReportingTest, DebugTraceCutsALongLine) {
    platform::DebugListener listener;
    DebugTrace(std::string(800, 'x').c_str());
    std::string line;
    ASSERT_TRUE(listener.Receive(line, 2000));
    EXPECT_EQ(line, std::string(511, 'x'));
}
