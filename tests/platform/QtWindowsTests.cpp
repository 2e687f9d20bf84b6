// Window handles on Qt objects, and boxes asked for on worker threads.
#include "support/TestSupport.h"

#include "common/FileNames.h"
#include "platform/MessageBox.h"
#include "platform/qt/QtWindows.h"

#include <QApplication>
#include <QTest>
#include <QTimer>
#include <QWidget>

#include <thread>

using testsupport::IsolatedTest;

namespace {

class Receiver final : public QObject {
public:
    bool event(QEvent* event) override {
        if (event->type() == platform::WindowMessageEvent::EventType()) {
            auto* message = static_cast<platform::WindowMessageEvent*>(event);
            messages.push_back(message->message);
            threadsSeen.push_back(QThread::currentThread());
            return true;
        }
        return QObject::event(event);
    }
    std::vector<UINT> messages;
    std::vector<QThread*> threadsSeen;
};

int argc = 1;
char name[] = "platform_qt_tests";
char* argv[] = {name, nullptr};

} // namespace

class QtWindowsTest : public IsolatedTest {
protected:
    static void SetUpTestSuite() {
        if (QApplication::instance() == nullptr) {
            new QApplication(argc, argv);
        }
    }
};

TEST_F(QtWindowsTest, MessagesPostedFromAWorkerArriveInTheObjectsThreadInOrder) {
    Receiver receiver;
    platform::QtWindowHandle handle(&receiver);
    ASSERT_NE(handle.Handle(), 0u);
    std::thread([window = handle.Handle()] {
        PostMessageA(window, 0x8001, 0, 0);
        PostMessageA(window, 0x800C, 0, 0);
    }).join();
    EXPECT_TRUE(receiver.messages.empty()); // nothing runs before the event loop does
    QTest::qWait(10);
    EXPECT_EQ(receiver.messages, (std::vector<UINT>{0x8001, 0x800C}));
    for (QThread* thread : receiver.threadsSeen) {
        EXPECT_EQ(thread, QThread::currentThread());
    }
}

TEST_F(QtWindowsTest, AHandleDiesWithItsOwnerAndPostsThenFail) {
    HWND window = 0;
    {
        Receiver receiver;
        platform::QtWindowHandle handle(&receiver);
        window = handle.Handle();
        EXPECT_TRUE(PostMessageA(window, 1, 0, 0));
    }
    QTest::qWait(5); // the pending event went with its receiver
    EXPECT_FALSE(PostMessageA(window, 1, 0, 0));
}

TEST_F(QtWindowsTest, ABoxAskedForOnAWorkerThreadDoesNotBlockIt) {
    platform::InstallQtMessageBoxPresenter();
    int answer = 0;
    std::thread([&] { answer = MessageBoxA(0, "from a worker", "Caption", MB_ICONERROR); }).join();
    EXPECT_EQ(answer, IDOK);
    // The box is shown on the GUI thread once its loop runs: close it as a user would.
    bool sawBox = false;
    QTimer::singleShot(50, [&] {
        for (QWidget* widget : QApplication::topLevelWidgets()) {
            if (widget->isVisible() && widget->windowTitle() == "Caption") {
                sawBox = true;
                widget->close();
            }
        }
    });
    QTest::qWait(200);
    EXPECT_TRUE(sawBox);
    platform::SetMessageBoxPresenter({});
}

TEST_F(QtWindowsTest, BringWindowToForegroundRestoresAMinimisedWindowAndActivatesIt) {
    QWidget window;
    window.resize(200, 100);
    platform::QtWindowHandle handle(&window);
    window.showMinimized();
    QTest::qWait(10);
    ASSERT_TRUE(IsIconic(handle.Handle()));
    const bool foreground = BringWindowToForeground(handle.Handle());
    EXPECT_FALSE(window.isMinimized());
    EXPECT_TRUE(window.isVisible());
    EXPECT_TRUE(QTest::qWaitForWindowActive(&window, 2000));
    EXPECT_EQ(GetForegroundWindow(), handle.Handle());
    EXPECT_TRUE(foreground || BringWindowToForeground(handle.Handle()));
}
