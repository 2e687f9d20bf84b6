// Window handles, PostMessage within and across processes, and thread messages.
#include "support/TestSupport.h"

#include "platform/Platform.h"

#include <csignal>
#include <mutex>
#include <thread>
#include <vector>

using testsupport::ChildProcess;
using testsupport::IsolatedTest;

namespace {

class RecordingSink final : public platform::WindowMessageSink {
public:
    void Deliver(UINT message, WPARAM wParam, LPARAM lParam) override {
        std::lock_guard lock(guard);
        received.push_back({0, message, wParam, lParam});
    }
    std::mutex guard;
    std::vector<MSG> received;
};

} // namespace

class WindowsTest : public IsolatedTest {};

TEST_F(WindowsTest, APostedMessageReachesTheWindowsSinkFromAnyThread) {
    RecordingSink sink;
    const HWND window = platform::RegisterWindow(&sink);
    ASSERT_NE(window, 0u);
    DWORD owner = 0;
    GetWindowThreadProcessId(window, &owner);
    EXPECT_EQ(owner, GetCurrentProcessId());
    EXPECT_TRUE(IsWindow(window));
    std::thread([window] { EXPECT_TRUE(PostMessageA(window, 0x8001, 7, -3)); }).join();
    ASSERT_EQ(sink.received.size(), 1u);
    EXPECT_EQ(sink.received[0].message, 0x8001u);
    EXPECT_EQ(sink.received[0].wParam, 7u);
    EXPECT_EQ(sink.received[0].lParam, -3);
    platform::UnregisterWindow(window);
    EXPECT_FALSE(IsWindow(window));
    EXPECT_FALSE(PostMessageA(window, 0x8001, 0, 0));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_WINDOW_HANDLE);
    EXPECT_FALSE(PostMessageA(0, 1, 0, 0));
}

TEST_F(WindowsTest, HandlesAreDistinctAndReusedOnlyAfterRelease) {
    RecordingSink a, b;
    const HWND first = platform::RegisterWindow(&a);
    const HWND second = platform::RegisterWindow(&b);
    EXPECT_NE(first, second);
    PostMessageA(second, 5, 0, 0);
    EXPECT_TRUE(a.received.empty());
    EXPECT_EQ(b.received.size(), 1u);
    platform::UnregisterWindow(first);
    platform::UnregisterWindow(second);
}

TEST_F(WindowsTest, AMessageReachesAWindowOfAnotherProcess) {
    ChildProcess child(testsupport::ProgramFolder() + "/orvalen-test-helper", {"window"});
    const std::string handle = child.ReadLine(5000);
    ASSERT_FALSE(handle.empty());
    const auto window = static_cast<HWND>(std::stoul(handle));
    DWORD owner = 0;
    GetWindowThreadProcessId(window, &owner);
    EXPECT_EQ(owner, static_cast<DWORD>(child.Pid()));
    EXPECT_TRUE(IsWindow(window));
    ASSERT_TRUE(PostMessageA(window, 0x800C, 0, 0));
    EXPECT_EQ(child.ReadLine(5000), "message 32780");
}

TEST_F(WindowsTest, PostingToAWindowOfAnEndedProcessFails) {
    HWND window = 0;
    {
        ChildProcess child(testsupport::ProgramFolder() + "/orvalen-test-helper", {"window"});
        const std::string handle = child.ReadLine(5000);
        ASSERT_FALSE(handle.empty());
        window = static_cast<HWND>(std::stoul(handle));
        child.Kill(SIGKILL);
        child.Wait(5000);
    }
    EXPECT_FALSE(IsWindow(window));
    EXPECT_FALSE(PostMessageA(window, 0x800C, 0, 0));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_WINDOW_HANDLE);
}

TEST_F(WindowsTest, ThreadMessagesNeedTheThreadsQueueAndArriveInOrder) {
    DWORD id = 0;
    std::mutex ready;
    ready.lock();
    std::vector<UINT> got;
    std::thread receiver([&] {
        id = GetCurrentThreadId();
        MSG message;
        EXPECT_FALSE(PeekMessageA(&message, 0, 0, 0, PM_NOREMOVE)); // makes the queue
        ready.unlock();
        for (int i = 0; i < 3; ++i) {
            ASSERT_TRUE(GetMessageA(&message, 0, 0, 0));
            got.push_back(message.message);
        }
    });
    std::lock_guard wait(ready);
    EXPECT_TRUE(PostThreadMessageA(id, 1, 0, 0));
    EXPECT_TRUE(PostThreadMessageA(id, 2, 0, 0));
    EXPECT_TRUE(PostThreadMessageA(id, 3, 0, 0));
    receiver.join();
    EXPECT_EQ(got, (std::vector<UINT>{1, 2, 3}));
    EXPECT_FALSE(PostThreadMessageA(0x7FFFFFF0, 1, 0, 0));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_THREAD_ID);
}
