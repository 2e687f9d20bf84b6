// The main form and the application object in this process, offscreen: what a hand-over makes
// visible, an unsafe runtime folder, the server names, and exceptions from event handlers.
#include "support/TestSupport.h"

#include "browser/Browserform.h"
#include "common/ErrorReporting.h"
#include "common/Settings.h"
#include "display/ImageDecoder.h"
#include "display/MagickLibrary.h"
#include "main/Application.h"
#include "main/Mainform.h"
#include "messaging/Message.h"
#include "platform/Pipes.h"
#include "platform/Windows.h"
#include "platform/qt/Application.h"
#include "viewer/Viewerform.h"

#include <QEventLoop>
#include <QImage>
#include <QKeyEvent>
#include <QTimer>
#include <QWidget>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <set>
#include <stdexcept>
#include <sys/stat.h>

using testsupport::IsolatedTest;

namespace {

// The program's own application object, for every test of this program.
class ApplicationEnvironment : public ::testing::Environment {
public:
    void SetUp() override {
        if (QCoreApplication::instance() == nullptr) {
            static int argc = 1;
            static char name[] = "main_tests";
            static char* argv[] = {name, nullptr};
            new TApplication(argc, argv);
        }
        QApplication::setQuitOnLastWindowClosed(false);
    }
};
const auto* const applicationEnvironment =
    ::testing::AddGlobalTestEnvironment(new ApplicationEnvironment);

std::string sample(const char* name) {
    return std::string(ORVALEN_SAMPLES_DIR) + "/" + name;
}

// Runs the event loop until done() or ms have passed; true when done() held.
template <typename Done> bool runUntil(Done done, int ms = 10000) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (!done() && std::chrono::steady_clock::now() < deadline) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    }
    return done();
}

class ShowCounter : public QObject {
public:
    int shows = 0;

protected:
    bool eventFilter(QObject*, QEvent* event) override {
        if (event->type() == QEvent::Show) {
            ++shows;
        }
        return false;
    }
};

// Throws a text on A and a std::exception on B; remembers every other key it gets.
class ThrowingWindow : public QWidget {
public:
    std::vector<int> keys;

protected:
    void keyPressEvent(QKeyEvent* event) override {
        if (event->key() == Qt::Key_A) {
            throw "Problem in ThrowingWindow::keyPressEvent\nerror# T3ST1NG";
        }
        if (event->key() == Qt::Key_B) {
            throw std::runtime_error("out of range");
        }
        keys.push_back(event->key());
    }
};

} // namespace

// Ten thousand processes started in the same second, as the old seeding by the clock would
// have made them: no two names meet, none is 0 or negative; and the same random value for all
// (the worst a random source could do) still gives every process its own name.
TEST(ServerName, ProcessesStartedTogetherNeverCollide) {
    std::set<std::string> fresh, sameRandom;
    const std::string prefix = "Orvalen_main_itm_server";
    for (std::uint32_t pid = 2; pid < 10002; ++pid) {
        const std::string name = MakeServerName(pid, ServerNameRandom());
        ASSERT_EQ(name.rfind(prefix, 0), 0u);
        const std::string digits = name.substr(prefix.size());
        ASSERT_FALSE(digits.empty());
        ASSERT_EQ(digits.find_first_not_of("0123456789"), std::string::npos) << name;
        EXPECT_NE(digits, "0");
        EXPECT_TRUE(fresh.insert(name).second) << name;
        EXPECT_TRUE(sameRandom.insert(MakeServerName(pid, 12345)).second);
    }
    // A reused process id meets a new random half.
    EXPECT_NE(MakeServerName(4242, ServerNameRandom()), MakeServerName(4242, ServerNameRandom()));
}

class MainFormTest : public IsolatedTest {};

TEST_F(MainFormTest, ALiveServerNameIsInUseAndAStaleOrMissingOneIsNot) {
    const std::string name = MakeServerName(GetCurrentProcessId(), ServerNameRandom());
    EXPECT_FALSE(ServerNameInUse(name));
    {
        MessageServer server;
        ASSERT_TRUE(server.Start(name.c_str()));
        const std::string pipe = "\\\\.\\pipe\\" + name;
        ASSERT_TRUE(runUntil([&] { return WaitNamedPipeA(pipe.c_str(), 0) != FALSE; }, 5000));
        EXPECT_TRUE(ServerNameInUse(name));
    }
    EXPECT_FALSE(ServerNameInUse(name));
}

TEST_F(MainFormTest, AnExceptionFromAKeyHandlerIsShownAndTheWindowAnswersTheNextKey) {
    ThrowingWindow window;
    window.show();
    for (Qt::Key key : {Qt::Key_A, Qt::Key_B, Qt::Key_C}) {
        QCoreApplication::postEvent(&window, new QKeyEvent(QEvent::KeyPress, key, Qt::NoModifier));
    }
    // The events go through a running loop, as the program's own loop delivers them.
    QEventLoop loop;
    QTimer::singleShot(300, &loop, &QEventLoop::quit);
    EXPECT_EQ(loop.exec(), 0);
    const auto shown = boxes.Take();
    ASSERT_EQ(shown.size(), 2u);
    EXPECT_EQ(shown[0].caption, "Orvalen Viewer");
    EXPECT_EQ(shown[0].text, "Problem in ThrowingWindow::keyPressEvent\nerror# T3ST1NG");
    EXPECT_EQ(shown[1].caption, "Orvalen Viewer");
    EXPECT_EQ(shown[1].text, "out of range");
    EXPECT_EQ(window.keys, std::vector<int>{Qt::Key_C});
}

// A viewer seems to run (its event is set) but has never published its window: the start
// reports that and shows the file itself. A wake-up that finds no file name is reported and
// changes nothing.
TEST_F(MainFormTest, AMissingViewerWindowAndAnEmptyHandOverAreReported) {
    HANDLE event = CreateEventA(nullptr, TRUE, TRUE, "Orvalen_solitary_viewer_event");
    ASSERT_NE(event, nullptr);
    const std::string program = testsupport::ProgramFolder() + "/Orvalen_main";
    MainForm = new TMainForm({sample("rose.jpg")}, program);
    auto shown = boxes.Take();
    ASSERT_EQ(shown.size(), 1u);
    EXPECT_EQ(shown[0].caption, kReportExceptionCaption);
    EXPECT_EQ(shown[0].text.rfind("Attempt to read the value of the \"solitary_viewer_hwnd\" from "
                                  "the registry returned an invalid value." +
                                      std::string(kSystemErrorSeparator),
                                  0),
              0u)
        << shown[0].text;
    ASSERT_NE(Viewer, nullptr);
    ASSERT_TRUE(runUntil([] { return Viewer->image_loaded; }));
    EXPECT_NE(Viewer->current_file.find("rose.jpg"), std::string::npos);

    {
        TRegistryIniFile settings(settings_base_key, 0x2001F);
        settings.RegIniFile().LazyWrite = false;
        settings.WriteString("mainform", "solitary_viewer_arguments", "");
    }
    ASSERT_TRUE(PostMessageA(MainForm->Handle(), static_cast<UINT>(IV_DISPLAY_IMAGE), 0, 0));
    ASSERT_TRUE(boxes.WaitForCount(1, 5000) || runUntil([this] { return boxes.Count() > 0; }));
    shown = boxes.Take();
    ASSERT_EQ(shown.size(), 1u);
    EXPECT_EQ(shown[0].caption, kReportErrorCaption);
    EXPECT_EQ(shown[0].text.rfind("Registry entry \"solitary_viewer_arguments\" was empty." +
                                      std::string(kSystemErrorSeparator),
                                  0),
              0u)
        << shown[0].text;
    QCoreApplication::processEvents();
    EXPECT_NE(Viewer->current_file.find("rose.jpg"), std::string::npos);

    CloseForms(); // as the program ends
    CloseHandle(event);
}

// A hand-over posts 0x800C to the published main form window and asks that window to come
// forward. The main form used to be mapped as a small "MainForm" window that stayed.
TEST_F(MainFormTest, AHandOverNeverShowsTheMainFormAndBringsTheViewerForward) {
    const std::string program = testsupport::ProgramFolder() + "/Orvalen_main";
    MainForm = new TMainForm({sample("rose.jpg")}, program);
    ShowCounter counter;
    MainForm->installEventFilter(&counter);
    ASSERT_NE(Viewer, nullptr);
    ASSERT_TRUE(runUntil([] { return Viewer->image_loaded; }));
    const HWND published = MainForm->Handle();
    {
        TRegistryIniFileSpecial settings(settings_base_key, KEY_READ);
        settings.Section = "mainform";
        EXPECT_EQ(static_cast<HWND>(settings.ReadInteger("solitary_viewer_hwnd", 0)), published);
    }

    // The viewer closed by the user (its browser open), then a file handed over.
    Viewer->hide();
    {
        TRegistryIniFile settings(settings_base_key, 0x2001F);
        settings.RegIniFile().LazyWrite = false;
        settings.WriteString("mainform", "solitary_viewer_arguments", sample("wizard.gif"));
    }
    ASSERT_TRUE(PostMessageA(published, static_cast<UINT>(IV_DISPLAY_IMAGE), 0, 0));
    ASSERT_TRUE(PostMessageA(published, WM_ORVALEN_FOREGROUND, 0, 0)); // as from another process
    SetForegroundWindow(published);                                    // as from this one
    EXPECT_TRUE(runUntil([] {
        return Viewer->isVisible() && Viewer->current_file.find("wizard") != std::string::npos;
    }));
    QCoreApplication::processEvents();
    EXPECT_FALSE(MainForm->isVisible());
    EXPECT_EQ(counter.shows, 0);

    // Asked to come forward alone, the main form brings the hidden viewer back.
    Viewer->hide();
    ASSERT_TRUE(PostMessageA(published, WM_ORVALEN_FOREGROUND, 0, 0));
    EXPECT_TRUE(runUntil([] { return Viewer->isVisible(); }, 3000));
    EXPECT_FALSE(MainForm->isVisible());
    EXPECT_EQ(counter.shows, 0);
    EXPECT_TRUE(boxes.Take().empty());

    MainForm->removeEventFilter(&counter);
    CloseForms(); // as the program ends
}

namespace {

// What one start of the solitary viewer on a file did, seen from the start's first paint of it.
struct StartSeen {
    bool decoded_early = false; // the start had a decode of its own on the way
    std::size_t taken = 0;      // the viewer took it
    bool browser_before_picture = true;
    std::size_t first_columns = 0; // the record the first paint of the picture drew
    engine::ViewSize view;
    std::string note; // the view noted afterwards
};

class PictureWatch : public QObject {
public:
    bool painted = false, browser_before = false;
    std::size_t columns = 0;

protected:
    bool eventFilter(QObject*, QEvent* event) override {
        if (event->type() == QEvent::Paint && !painted && Viewer->image_loaded) {
            painted = true;
            browser_before = Browser != nullptr;
            columns = Viewer->Display1->CurrentImage.Image()->columns;
        }
        return false;
    }
};

// headStart: the decode is begun as the program begins it, before its application object.
StartSeen startOn(const std::string& file, const char* note, bool headStart = false) {
    TRegistryIniFile settings(settings_base_key, 0x2001F);
    settings.RegIniFile().LazyWrite = false;
    if (note != nullptr) {
        settings.WriteString("mainform", "solitary_viewer_first_view", note);
    }
    StartSeen seen;
    const std::string program = testsupport::ProgramFolder() + "/Orvalen_main";
    std::unique_ptr<ReadAhead> opening;
    if (headStart) {
        engine::DestroyMagick(); // as before the program's start
        opening = StartOpeningDecode({file}, program);
        EXPECT_TRUE(opening == nullptr || opening->Paths() == std::vector<std::string>{file});
        // The library changes the environment while it starts: never on the decode's thread,
        // while the application object reads the environment.
        EXPECT_TRUE(opening == nullptr || engine::MagickStarted())
            << "the image library was left for the decode's thread to start";
    }
    MainForm = new TMainForm({file}, program, std::move(opening));
    EXPECT_NE(Viewer, nullptr);
    if (Viewer == nullptr) {
        return seen;
    }
    seen.decoded_early = Viewer->opening_decode != nullptr;
    PictureWatch watch;
    Viewer->Display1->installEventFilter(&watch);
    EXPECT_TRUE(runUntil([&] { return watch.painted && Browser != nullptr; }));
    Viewer->Display1->removeEventFilter(&watch);
    seen.taken = seen.decoded_early ? Viewer->opening_decode->Taken() : 0;
    seen.browser_before_picture = watch.browser_before;
    seen.first_columns = watch.columns;
    seen.view = Viewer->ShownView();
    seen.note = settings.ReadString("mainform", "solitary_viewer_first_view", "");
    CloseForms(); // as the program ends
    return seen;
}

} // namespace

// A start notes the view its first picture was shown in. The next start decodes its file for
// that view while it waits for another viewer and makes its window, and the viewer takes it.
// A note that does not fit the window goes unused, a damaged one is ignored, and either way
// the picture is the one the viewer decodes itself and the note is put right. The hidden
// browser is made only after the picture is painted.
TEST_F(MainFormTest, AStartDecodesItsFileForTheNotedViewAndTheViewerTakesIt) {
    const std::string photo = folders.Home() + "/photo.jpg";
    QImage image(3000, 2000, QImage::Format_RGB32);
    for (int y = 0; y < image.height(); ++y) {
        for (int x = 0; x < image.width(); ++x) {
            image.setPixel(x, y, qRgb(x % 256, y % 256, (x + y) % 256));
        }
    }
    ASSERT_TRUE(image.save(QString::fromStdString(photo), "JPEG", 90));
    {
        TRegistryIniFile settings(settings_base_key, 0x2001F);
        settings.RegIniFile().LazyWrite = false;
        settings.WriteBool("viewer_0", "shrink_to_fit_screen", true); // shown reduced
    }

    const StartSeen first = startOn(photo, nullptr);
    EXPECT_FALSE(first.decoded_early) << "nothing was noted yet";
    ASSERT_GT(first.view.columns, 0u);
    ASSERT_LT(first.view.columns, 1500u) << "the test needs a reduced first view";
    const std::string noted =
        std::to_string(first.view.columns) + "x" + std::to_string(first.view.rows);
    EXPECT_EQ(first.note, noted);
    EXPECT_FALSE(first.browser_before_picture);
    const engine::DecodeResult own = engine::DecodeImageFile(photo, nullptr, first.view);
    ASSERT_TRUE(own.image && own.reduced);
    EXPECT_EQ(first.first_columns, own.image->columns);

    const StartSeen second = startOn(photo, nullptr);
    EXPECT_TRUE(second.decoded_early);
    EXPECT_EQ(second.taken, 1u) << "the viewer decoded again what the start had decoded";
    EXPECT_EQ(second.first_columns, own.image->columns);
    EXPECT_FALSE(second.browser_before_picture);

    const StartSeen headStart = startOn(photo, nullptr, true);
    EXPECT_TRUE(headStart.decoded_early);
    EXPECT_EQ(headStart.taken, 1u);
    EXPECT_EQ(headStart.first_columns, own.image->columns);

    const StartSeen stale = startOn(photo, "640x100");
    EXPECT_TRUE(stale.decoded_early);
    EXPECT_EQ(stale.taken, 0u) << "a decode for another view was shown";
    EXPECT_EQ(stale.first_columns, own.image->columns);
    EXPECT_EQ(stale.note, noted);

    const StartSeen damaged = startOn(photo, "big", true);
    EXPECT_FALSE(damaged.decoded_early);
    EXPECT_EQ(damaged.first_columns, own.image->columns);
    EXPECT_EQ(damaged.note, noted);
    EXPECT_TRUE(boxes.Take().empty());

    // A file that cannot be shown leaves the note as it was.
    const std::string broken = folders.Home() + "/broken.jpg";
    std::ofstream(broken) << "not a picture";
    MainForm = new TMainForm({broken}, testsupport::ProgramFolder() + "/Orvalen_main");
    EXPECT_TRUE(runUntil([] { return Browser != nullptr; }));
    EXPECT_FALSE(Viewer->image_loaded);
    CloseForms(); // as the program ends
    boxes.Take();
    {
        TRegistryIniFile settings(settings_base_key, KEY_READ);
        EXPECT_EQ(settings.ReadString("mainform", "solitary_viewer_first_view", ""), noted);
    }

    // With a viewer running, a start hands its file over: nothing is decoded ahead for it.
    HANDLE claimed = CreateEventA(nullptr, TRUE, TRUE, "Orvalen_solitary_viewer_event");
    ASSERT_NE(claimed, nullptr);
    EXPECT_EQ(StartOpeningDecode({photo}, testsupport::ProgramFolder() + "/Orvalen_main"), nullptr);
    CloseHandle(claimed);
    EXPECT_EQ(StartOpeningDecode({}, testsupport::ProgramFolder() + "/Orvalen_main"), nullptr);
}

// Ends the application for good, so it runs last.
TEST_F(MainFormTest, AnUnsafeRuntimeFolderIsNamedWithTheReasonAndTheProgramEnds) {
    const std::string open = folders.Root() + "/open runtime";
    ASSERT_EQ(::mkdir(open.c_str(), 0755), 0);
    ASSERT_EQ(::mkdir((open + "/orvalen").c_str(), 0755), 0);
    ::chmod((open + "/orvalen").c_str(), 0755); // whatever the umask made of it
    ::setenv("XDG_RUNTIME_DIR", open.c_str(), 1);
    TMainForm form({sample("rose.jpg")}, testsupport::ProgramFolder() + "/Orvalen_main");
    const auto shown = boxes.Take();
    ASSERT_EQ(shown.size(), 1u);
    EXPECT_EQ(shown[0].caption, "A program error occurred");
    EXPECT_EQ(shown[0].text, "The runtime folder " + open +
                                 "/orvalen is not a private folder of this user: mode 0755");
    EXPECT_TRUE(platform::ApplicationTerminated());
    EXPECT_EQ(Viewer, nullptr);
    EXPECT_FALSE(form.isVisible());
    form.FormClose();
}
