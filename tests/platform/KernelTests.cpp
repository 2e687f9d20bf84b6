// Named events, the named mutex, threads and pipes, within one process and across processes.
#include "support/TestSupport.h"

#include "platform/Platform.h"

#include <atomic>
#include <chrono>
#include <csignal>
#include <thread>

using testsupport::ChildProcess;
using testsupport::IsolatedTest;

namespace {

std::string helper() {
    return testsupport::ProgramFolder() + "/orvalen-test-helper";
}

} // namespace

class EventTest : public IsolatedTest {};

TEST_F(EventTest, OpeningAMissingEventFails) {
    EXPECT_EQ(OpenEventA(SYNCHRONIZE, FALSE, "missing"), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
}

TEST_F(EventTest, ManualResetAcrossHandles) {
    HANDLE setter = CreateEventA(nullptr, TRUE, FALSE, "ev");
    ASSERT_NE(setter, nullptr);
    HANDLE waiter = OpenEventA(SYNCHRONIZE, FALSE, "ev");
    ASSERT_NE(waiter, nullptr);
    EXPECT_EQ(WaitForSingleObject(waiter, 0), WAIT_TIMEOUT);
    EXPECT_EQ(WaitForSingleObject(waiter, 20), WAIT_TIMEOUT);
    ASSERT_TRUE(SetEvent(setter));
    // Manual reset: it stays signalled for every wait.
    EXPECT_EQ(WaitForSingleObject(waiter, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(waiter, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(setter, 0), WAIT_OBJECT_0);
    // A second handle setting it while it is set changes nothing.
    EXPECT_TRUE(SetEvent(waiter));
    ASSERT_TRUE(ResetEvent(setter));
    EXPECT_EQ(WaitForSingleObject(waiter, 0), WAIT_TIMEOUT);
    ASSERT_TRUE(SetEvent(setter));
    ASSERT_TRUE(CloseHandle(setter));
    EXPECT_EQ(WaitForSingleObject(waiter, 0), WAIT_TIMEOUT);
    CloseHandle(waiter);
}

TEST_F(EventTest, CreatingAnExistingEventSaysSo) {
    HANDLE first = CreateEventA(nullptr, TRUE, FALSE, "twice");
    EXPECT_EQ(GetLastError(), ERROR_SUCCESS);
    HANDLE second = CreateEventA(nullptr, TRUE, FALSE, "twice");
    EXPECT_EQ(GetLastError(), ERROR_ALREADY_EXISTS);
    CloseHandle(first);
    CloseHandle(second);
}

TEST_F(EventTest, AWaitSeesASetFromAnotherThreadWhileWaiting) {
    HANDLE waiter = CreateEventA(nullptr, TRUE, FALSE, "late");
    std::thread setter([] {
        HANDLE own = OpenEventA(EVENT_ALL_ACCESS, FALSE, "late");
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        SetEvent(own);
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        CloseHandle(own);
    });
    EXPECT_EQ(WaitForSingleObject(waiter, 5000), WAIT_OBJECT_0);
    setter.join();
    CloseHandle(waiter);
}

TEST_F(EventTest, AnEventSetByAProcessThatIsKilledIsNoLongerSignalled) {
    ChildProcess child(helper(), {"set-event", "solitary"});
    ASSERT_EQ(child.ReadLine(5000), "set");
    HANDLE event = OpenEventA(SYNCHRONIZE, FALSE, "solitary");
    ASSERT_NE(event, nullptr);
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_OBJECT_0);
    child.Kill(SIGKILL);
    EXPECT_EQ(child.Wait(5000), -2);
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_TIMEOUT);
    CloseHandle(event);
}

TEST_F(EventTest, InvalidHandlesFailCleanly) {
    EXPECT_EQ(WaitForSingleObject(nullptr, 0), WAIT_FAILED);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    EXPECT_FALSE(CloseHandle(INVALID_HANDLE_VALUE));
    EXPECT_FALSE(SetEvent(nullptr));
    HANDLE event = CreateEventA(nullptr, TRUE, FALSE, "closed");
    ASSERT_TRUE(CloseHandle(event));
    EXPECT_FALSE(CloseHandle(event));
}

class MutexTest : public IsolatedTest {};

TEST_F(MutexTest, IsRecursiveAndOnlyItsOwnerReleasesIt) {
    HANDLE mutex = CreateMutexA(nullptr, FALSE, "m");
    ASSERT_NE(mutex, nullptr);
    ASSERT_EQ(WaitForSingleObject(mutex, 0), WAIT_OBJECT_0);
    ASSERT_EQ(WaitForSingleObject(mutex, 0), WAIT_OBJECT_0);
    std::thread([] {
        HANDLE other = CreateMutexA(nullptr, FALSE, "m");
        EXPECT_EQ(WaitForSingleObject(other, 30), WAIT_TIMEOUT);
        EXPECT_FALSE(ReleaseMutex(other));
        EXPECT_EQ(GetLastError(), ERROR_NOT_OWNER);
        CloseHandle(other);
    }).join();
    EXPECT_TRUE(ReleaseMutex(mutex));
    EXPECT_TRUE(ReleaseMutex(mutex));
    EXPECT_FALSE(ReleaseMutex(mutex));
    std::thread([] {
        HANDLE other = CreateMutexA(nullptr, FALSE, "m");
        EXPECT_EQ(WaitForSingleObject(other, 1000), WAIT_OBJECT_0);
        EXPECT_TRUE(ReleaseMutex(other));
        CloseHandle(other);
    }).join();
    CloseHandle(mutex);
}

TEST_F(MutexTest, HeldByAnotherProcessTimesOut) {
    ChildProcess child(helper(), {"hold-mutex", "shared"});
    ASSERT_EQ(child.ReadLine(5000), "held");
    HANDLE mutex = CreateMutexA(nullptr, FALSE, "shared");
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(WaitForSingleObject(mutex, 100), WAIT_TIMEOUT);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(100));
    CloseHandle(mutex);
}

TEST_F(MutexTest, AnOwnerKilledWhileHoldingItGivesAbandonedOnce) {
    ChildProcess child(helper(), {"hold-mutex", "dying"});
    ASSERT_EQ(child.ReadLine(5000), "held");
    child.Kill(SIGKILL);
    child.Wait(5000);
    HANDLE mutex = CreateMutexA(nullptr, FALSE, "dying");
    EXPECT_EQ(WaitForSingleObject(mutex, 1000), WAIT_ABANDONED);
    EXPECT_TRUE(ReleaseMutex(mutex));
    EXPECT_EQ(WaitForSingleObject(mutex, 1000), WAIT_OBJECT_0);
    EXPECT_TRUE(ReleaseMutex(mutex));
    CloseHandle(mutex);
}

class ThreadTest : public IsolatedTest {};

TEST_F(ThreadTest, TheHandleIsSignalledWhenTheFunctionReturnsAndTheIdIsTheThreadsOwn) {
    static std::atomic<DWORD> seenId{0};
    static std::atomic<bool> release{false};
    DWORD id = 0;
    HANDLE thread = CreateThread(
        nullptr, 0,
        [](void*) -> DWORD {
            seenId = GetCurrentThreadId();
            while (!release) {
                Sleep(1);
            }
            return 0;
        },
        nullptr, 0, &id);
    ASSERT_NE(thread, nullptr);
    EXPECT_EQ(WaitForSingleObject(thread, 20), WAIT_TIMEOUT);
    release = true;
    EXPECT_EQ(WaitForSingleObject(thread, 5000), WAIT_OBJECT_0);
    EXPECT_EQ(seenId.load(), id);
    EXPECT_NE(id, GetCurrentThreadId());
    CloseHandle(thread);
}

TEST(Interlocked, IncrementReturnsTheNewValueUnderContention) {
    volatile LONG counter = 0;
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 10000; ++i) {
                InterlockedIncrement(&counter);
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(counter, 40000);
    EXPECT_EQ(InterlockedIncrement(&counter), 40001);
}

class PipeTest : public IsolatedTest {};

TEST_F(PipeTest, MessagesKeepTheirBoundariesAndTheServerKnowsItsPeer) {
    const char* name = "\\\\.\\pipe\\test_pipe";
    EXPECT_FALSE(WaitNamedPipeA(name, 10));
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
    HANDLE server = CreateNamedPipeA(name, PIPE_ACCESS_DUPLEX, PIPE_TYPE_MESSAGE, 255, 1024, 1024,
                                     1000, nullptr);
    ASSERT_NE(server, nullptr);
    EXPECT_TRUE(WaitNamedPipeA(name, 10));

    std::thread client([name] {
        HANDLE pipe =
            CreateFileA(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        ASSERT_NE(pipe, INVALID_HANDLE_VALUE);
        DWORD written = 0;
        EXPECT_TRUE(WriteFile(pipe, "first", 5, &written, nullptr));
        EXPECT_EQ(written, 5u);
        EXPECT_TRUE(WriteFile(pipe, "second message", 14, &written, nullptr));
        char reply[16];
        DWORD read = 0;
        EXPECT_TRUE(ReadFile(pipe, reply, sizeof reply, &read, nullptr));
        EXPECT_EQ(std::string(reply, read), "ok");
        CloseHandle(pipe);
    });

    ASSERT_TRUE(ConnectNamedPipe(server, nullptr));
    DWORD peer = 0;
    ASSERT_TRUE(GetNamedPipeClientProcessId(server, &peer));
    EXPECT_EQ(peer, GetCurrentProcessId());
    char buffer[64];
    DWORD read = 0;
    ASSERT_TRUE(ReadFile(server, buffer, sizeof buffer, &read, nullptr));
    EXPECT_EQ(std::string(buffer, read), "first");
    // A message longer than the buffer fills it and says more data was there.
    EXPECT_FALSE(ReadFile(server, buffer, 6, &read, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_MORE_DATA);
    EXPECT_EQ(std::string(buffer, read), "second");
    DWORD written = 0;
    EXPECT_TRUE(WriteFile(server, "ok", 2, &written, nullptr));
    client.join();
    EXPECT_FALSE(ReadFile(server, buffer, sizeof buffer, &read, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_BROKEN_PIPE);
    CloseHandle(server);
    EXPECT_TRUE(CloseNamedPipeServer(name));
    EXPECT_FALSE(WaitNamedPipeA(name, 10));
}

TEST_F(PipeTest, ClosingTheServerWakesAThreadWaitingForAClient) {
    const char* name = "\\\\.\\pipe\\closing";
    HANDLE server = CreateNamedPipeA(name, PIPE_ACCESS_DUPLEX, PIPE_TYPE_MESSAGE, 255, 1024, 1024,
                                     1000, nullptr);
    ASSERT_NE(server, nullptr);
    std::atomic<int> result{-1};
    std::thread waiter([&] { result = ConnectNamedPipe(server, nullptr); });
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    EXPECT_TRUE(CloseNamedPipeServer(name));
    waiter.join();
    EXPECT_EQ(result.load(), FALSE);
    CloseHandle(server);
}

TEST_F(PipeTest, BadAndOverlongNamesAreRefused) {
    EXPECT_EQ(CreateNamedPipeA("not a pipe", 0, 0, 1, 0, 0, 0, nullptr), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_NAME);
    const std::string longName = "\\\\.\\pipe\\" + std::string(200, 'x');
    EXPECT_EQ(CreateNamedPipeA(longName.c_str(), 0, 0, 1, 0, 0, 0, nullptr), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_FILENAME_EXCED_RANGE);
    EXPECT_EQ(CreateFileA("\\\\.\\pipe\\nobody", 0, 0, nullptr, OPEN_EXISTING, 0, nullptr),
              INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
}
