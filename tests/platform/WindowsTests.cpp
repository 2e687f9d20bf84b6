// Window handles, PostMessage within and across processes, and thread messages.
#include "support/TestSupport.h"

#include "platform/Platform.h"

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

using testsupport::ChildProcess;
using testsupport::IsolatedTest;

namespace {

std::string helper() {
    return testsupport::ProgramFolder() + "/orvalen-test-helper";
}

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

// The sender is a second copy of the helper: the port takes messages only from the program it
// runs itself or from our programs beside it.
TEST_F(WindowsTest, AMessageReachesAWindowOfAnotherProcess) {
    ChildProcess child(helper(), {"window"});
    const std::string handle = child.ReadLine(5000);
    ASSERT_FALSE(handle.empty());
    const auto window = static_cast<HWND>(std::stoul(handle));
    DWORD owner = 0;
    GetWindowThreadProcessId(window, &owner);
    EXPECT_EQ(owner, static_cast<DWORD>(child.Pid()));
    EXPECT_TRUE(IsWindow(window));
    ChildProcess sender(helper(), {"post", handle, "0x800C"});
    EXPECT_EQ(sender.ReadLine(5000), "posted");
    EXPECT_EQ(child.ReadLine(5000), "message 32780");
}

// A forged Delete key posted to the viewer's window once moved the shown photo to the Trash.
// Every kind of message from a process that is not one of our programs (this test program is
// not) is dropped; the hand-over's wake-up from one of ours, posted after them, is the first
// thing the window sees. Datagrams of one port are read in the order they arrived.
TEST_F(WindowsTest, AForgedKeyOrWakeUpFromAForeignProcessIsDroppedByThePort) {
    ChildProcess child(helper(), {"window"});
    const std::string handle = child.ReadLine(5000);
    ASSERT_FALSE(handle.empty());
    const auto window = static_cast<HWND>(std::stoul(handle));
    const MSG forged[] = {
        {window, WM_KEYDOWN, VK_DELETE, 0},
        {window, WM_KEYUP, VK_DELETE, 0},
        {window, WM_KEYDOWN, VK_NEXT, 0},
        {window, WM_KEYDOWN, VK_RETURN, 0},
        {window, 0x800C, 0, 0},
        {window, WM_ORVALEN_FOREGROUND, 0, 0},
        {window, WM_APP + 1, 0, 0},
        {window, 0x800D, 0, 0},
        {window, WM_USER, 0, 0},
    };
    for (const MSG& message : forged) {
        // Dropped without a word: the sender learns nothing about the filter.
        EXPECT_TRUE(PostMessageA(message.hwnd, message.message, message.wParam, message.lParam));
    }
    // The same bytes from another language's socket fare no better.
    const std::string port = folders.Runtime() + "/orvalen/port/" + std::to_string(child.Pid());
    const std::string script =
        "import socket,struct,sys; s=socket.socket(socket.AF_UNIX,socket.SOCK_DGRAM); "
        "[s.sendto(struct.pack('<IIIIQq',0x4F52504D," +
        std::to_string(window) + ",m,0,w,0),sys.argv[1]) for m,w in ((256,46),(0x800C,0))]";
    EXPECT_EQ(std::system(("python3 -c \"" + script + "\" '" + port + "'").c_str()), 0);

    ChildProcess ours(helper(), {"post", handle, "0x800C"});
    EXPECT_EQ(ours.ReadLine(5000), "posted");
    EXPECT_EQ(child.ReadLine(5000), "message 32780");
    EXPECT_EQ(child.ReadLine(300), ""); // nothing else came through
}

// Our own programs get through with the hand-over's two messages and with nothing else: keys
// are never taken from another process, whoever sends them.
TEST_F(WindowsTest, OurOwnProgramsPassOnlyTheWakeUpAndTheRaise) {
    ChildProcess child(helper(), {"window"});
    const std::string handle = child.ReadLine(5000);
    ASSERT_FALSE(handle.empty());
    for (const std::vector<std::string>& post :
         {std::vector<std::string>{"post", handle, "0x0100", "46"},
          {"post", handle, "0x0101"},
          {"post", handle, "0x8001"},
          {"post", handle, "0x800C"},
          {"post", handle, "0x7FF0"}}) {
        ChildProcess sender(helper(), post);
        EXPECT_EQ(sender.ReadLine(5000), "posted");
        EXPECT_EQ(sender.Wait(5000), 0);
    }
    EXPECT_EQ(child.ReadLine(5000), "message 32780");
    EXPECT_EQ(child.ReadLine(5000), "message 32752");
    EXPECT_EQ(child.ReadLine(300), "");
}

TEST_F(WindowsTest, PostingToAWindowOfAnEndedProcessFails) {
    HWND window = 0;
    {
        ChildProcess child(helper(), {"window"});
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

// A process that is ending has its socket still: the datagram is taken in and never read. The
// post fails then, and gives up as soon as the process has ended.
TEST_F(WindowsTest, APostThatNoPortAnswersFailsAndEndsWhenTheProcessDoes) {
    ChildProcess child(helper(), {"window"});
    const std::string handle = child.ReadLine(5000);
    ASSERT_FALSE(handle.empty());
    const HWND window = static_cast<HWND>(std::stoul(handle));
    ASSERT_TRUE(testsupport::StopProcess(child.Pid()));
    const auto millisecondsSince = [](std::chrono::steady_clock::time_point start) {
        return std::chrono::duration_cast<std::chrono::milliseconds>(
                   std::chrono::steady_clock::now() - start)
            .count();
    };
    auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(PostMessageA(window, 0x800C, 0, 0));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_WINDOW_HANDLE);
    EXPECT_GE(millisecondsSince(start), 1900); // its whole patience

    std::thread killer([&child] {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        child.Kill(SIGKILL); // not reaped yet: a zombie
    });
    start = std::chrono::steady_clock::now();
    EXPECT_FALSE(PostMessageA(window, 0x800C, 0, 0));
    EXPECT_LT(millisecondsSince(start), 1000);
    killer.join();
    child.Wait(5000);
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
