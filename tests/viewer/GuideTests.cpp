// Help > Contents: the desktop's program for HTML shows the guide when there is one; without
// one the guide used to show nowhere (only a line on standard error).
#include "support/TestSupport.h"

#include "common/ProcessValues.h"
#include "platform/Shell.h"
#include "viewer/Viewerform.h"

#include <QApplication>
#include <QTest>
#include <QTextBrowser>

#include <fstream>

using testsupport::IsolatedTest;

namespace {

QTextBrowser* shownGuide() {
    for (QWidget* window : QApplication::topLevelWidgets()) {
        auto* browser = qobject_cast<QTextBrowser*>(window);
        if (browser != nullptr && browser->isVisible()) {
            return browser;
        }
    }
    return nullptr;
}

class GuideTest : public IsolatedTest {
protected:
    void SetUp() override { savedGuide_ = application_help_file; }
    void TearDown() override {
        platform::SetShellOpener({});
        application_help_file = savedGuide_;
        if (QTextBrowser* guide = shownGuide()) {
            guide->close();
        }
    }

private:
    std::string savedGuide_;
};

} // namespace

TEST_F(GuideTest, TheGuideShowsInAWindowOfOurOwnOnlyWhenTheDesktopHasNoProgramForIt) {
    application_help_file = folders.Home() + "/guide é.html";
    std::ofstream(application_help_file)
        << "<html><head><title>Test guide</title></head><body><h1>Viewer keys</h1></body></html>";

    std::vector<std::string> handed;
    platform::SetShellOpener([&](const std::string&, const std::string& target) {
        handed.push_back(target);
        return true;
    });
    TViewer::HelpContentsExecute();
    QTest::qWait(50);
    EXPECT_EQ(handed, std::vector<std::string>{application_help_file});
    EXPECT_EQ(shownGuide(), nullptr);

    platform::SetShellOpener([](const std::string&, const std::string&) { return false; });
    TViewer::HelpContentsExecute();
    ASSERT_TRUE(QTest::qWaitFor([] { return shownGuide() != nullptr; }, 3000));
    EXPECT_EQ(shownGuide()->windowTitle(), "Test guide");
    EXPECT_TRUE(shownGuide()->toPlainText().contains("Viewer keys"));
    // F1 again brings the same window forward rather than opening a second.
    QTextBrowser* first = shownGuide();
    TViewer::HelpContentsExecute();
    QTest::qWait(50);
    int guides = 0;
    for (QWidget* window : QApplication::topLevelWidgets()) {
        guides += qobject_cast<QTextBrowser*>(window) != nullptr && window->isVisible() ? 1 : 0;
    }
    EXPECT_EQ(guides, 1);
    EXPECT_EQ(shownGuide(), first);
    EXPECT_TRUE(boxes.Take().empty());
}

TEST_F(GuideTest, AMissingGuideIsReportedByName) {
    application_help_file = folders.Home() + "/no guide.html";
    platform::SetShellOpener([](const std::string&, const std::string&) { return false; });
    TViewer::HelpContentsExecute();
    ASSERT_TRUE(boxes.WaitForCount(1, 100) ||
                QTest::qWaitFor([this] { return boxes.Count() > 0; }, 3000));
    const auto shown = boxes.Take();
    ASSERT_EQ(shown.size(), 1u);
    EXPECT_EQ(
        shown[0].text.rfind("The user guide \"" + application_help_file + "\" cannot be read.", 0),
        0u)
        << shown[0].text;
    EXPECT_EQ(shownGuide(), nullptr);
}
