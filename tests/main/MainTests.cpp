// The main program started as a user starts it: its server name, and a file shown in the viewer.
#include "support/TestSupport.h"

#include "main/Mainform.h"
#include "platform/DebugOutput.h"

#include <csignal>
#include <regex>

using testsupport::ChildProcess;
using testsupport::IsolatedTest;

// The number was once a signed 32-bit shift of two random numbers: 0 and -2147483648 came up
// for one process in thirty.
TEST(ServerName, IsThePrefixAndANonNegativeNumberNeverZero) {
    EXPECT_EQ(MakeServerName(0, 0), "Orvalen_main_itm_server1");
    EXPECT_EQ(MakeServerName(1, 0), "Orvalen_main_itm_server4294967296");
    EXPECT_EQ(MakeServerName(1, 31), "Orvalen_main_itm_server4294967327");
    EXPECT_EQ(MakeServerName(0xFFFFFFFFu, ~std::uint64_t{0}),
              "Orvalen_main_itm_server18446744073709551615");
}

class MainProgramTest : public IsolatedTest {};

TEST_F(MainProgramTest, TwoProcessesGetDifferentServerNamesAndShowTheirFile) {
    platform::DebugListener listener;
    const std::string program = testsupport::ProgramFolder() + "/Orvalen_main";
    const std::string sample = std::string(ORVALEN_SAMPLES_DIR) + "/rose.jpg";
    ChildProcess first(program, {sample});
    ChildProcess second(program, {sample});
    std::vector<std::string> names;
    std::string line;
    int shown = 0;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while ((names.size() < 2 || shown < 2) && std::chrono::steady_clock::now() < deadline) {
        if (!listener.Receive(line, 500)) {
            continue;
        }
        std::smatch match;
        if (std::regex_search(
                line, match,
                std::regex("message server (Orvalen_main_itm_server-?\\d+) in process"))) {
            names.push_back(match[1]);
        }
        // When the second start hands its file over while the first still decodes the same
        // file, the newer request wins and the older one is withdrawn: both were handled.
        if (line.rfind("TViewer::DisplayImage() exit", 0) == 0 ||
            line.rfind("TViewer::DisplayImage() withdrawn", 0) == 0) {
            ++shown;
        }
    }
    ASSERT_EQ(names.size(), 2u);
    EXPECT_NE(names[0], names[1]);
    EXPECT_EQ(shown, 2);
    first.Kill(SIGTERM);
    second.Kill(SIGTERM);
}
