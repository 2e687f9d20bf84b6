// Named events, the named mutex, threads and pipes, within one process and across processes.
#include "support/TestSupport.h"

#include "platform/Platform.h"

#include <atomic>
#include <chrono>
#include <csignal>
#include <fstream>
#include <functional>
#include <memory>
#include <random>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

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

namespace {

// The file behind the named mutex name, in the test's runtime folder.
std::string mutexFile(const char* name) {
    const std::string folder = platform::RuntimeSubfolder("mutex");
    EXPECT_FALSE(folder.empty());
    return folder + "/" + name;
}

std::string randomBytes(std::size_t count, unsigned seed) {
    std::mt19937 generator(seed);
    std::string bytes(count, '\0');
    for (char& byte : bytes) {
        byte = static_cast<char>(generator() & 0xFF);
    }
    return bytes;
}

void writeFile(const std::string& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

// The bytes of a sound mutex file, as the layer writes one for a name of its own.
std::string soundMutexFile() {
    HANDLE made = CreateMutexA(nullptr, FALSE, "sound pattern");
    CloseHandle(made);
    std::ifstream file(mutexFile("sound pattern"), std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(file), {});
}

// A sound file with bytes [from, from + count) replaced: the right size, but damaged where it
// counts. All ones in the mutex make every lock call fail; random bytes may not.
std::string damagedMutexFile(std::size_t from, std::size_t count, int fill) {
    std::string bytes = soundMutexFile();
    EXPECT_GE(bytes.size(), from + count);
    bytes.replace(from, count,
                  fill < 0 ? randomBytes(count, 7) : std::string(count, static_cast<char>(fill)));
    return bytes;
}

// True when this process and a helper process share the mutex: while the helper holds it, a
// wait here times out.
bool sharedWithAnotherProcess(const char* name) {
    ChildProcess holder(helper(), {"hold-mutex", name});
    const std::string said = holder.ReadLine(5000);
    HANDLE mutex = CreateMutexA(nullptr, FALSE, name);
    const bool shared = said.rfind("held", 0) == 0 && mutex != nullptr &&
                        WaitForSingleObject(mutex, 50) == WAIT_TIMEOUT;
    CloseHandle(mutex);
    return shared;
}

} // namespace

// 48 random bytes in the lock file of "mail_mutex" once made every later start fail until the
// file was removed by hand. A file that is damaged or not ours is replaced, never used.
TEST_F(MutexTest, ADamagedOrForeignLockFileIsReplacedAndTheNextWaitWorks) {
    struct Damage {
        const char* name;
        std::function<void(const std::string&)> apply;
    };
    const std::string elsewhere = folders.Root() + "/not-a-lock";
    writeFile(elsewhere, "keep me");
    std::vector<Damage> damages = {
        {"random48", [](const std::string& path) { writeFile(path, randomBytes(48, 1)); }},
        {"empty", [](const std::string& path) { writeFile(path, ""); }},
        {"short", [](const std::string& path) { writeFile(path, "abc"); }},
        {"long", [](const std::string& path) { writeFile(path, randomBytes(4096, 2)); }},
        {"zeros", [](const std::string& path) { writeFile(path, std::string(64, '\0')); }},
        {"random of the right size",
         [](const std::string& path) { writeFile(path, randomBytes(soundMutexFile().size(), 4)); }},
        {"magic", [](const std::string& path) { writeFile(path, damagedMutexFile(0, 4, -1)); }},
        {"version",
         [](const std::string& path) {
             std::string bytes = soundMutexFile();
             bytes[4] = static_cast<char>(bytes[4] + 1);
             writeFile(path, bytes);
         }},
        {"mutex after a sound header",
         [](const std::string& path) {
             const std::size_t size = soundMutexFile().size();
             writeFile(path, damagedMutexFile(16, size - 16, 0xFF));
         }},
        {"folder", [](const std::string& path) { ::mkdir(path.c_str(), 0700); }},
        {"symlink",
         [&](const std::string& path) {
             ASSERT_EQ(::symlink(elsewhere.c_str(), path.c_str()), 0);
         }},
        {"open to all",
         [](const std::string& path) {
             // A sound file made by this layer, then opened to everybody.
             HANDLE made = CreateMutexA(nullptr, FALSE, "open to all");
             CloseHandle(made);
             ::chmod(path.c_str(), 0666);
         }},
    };
    if (::geteuid() == 0) {
        damages.push_back({"other owner", [](const std::string& path) {
                               HANDLE made = CreateMutexA(nullptr, FALSE, "other owner");
                               CloseHandle(made);
                               ASSERT_EQ(::chown(path.c_str(), 65534, 65534), 0);
                           }});
    }
    for (const Damage& damage : damages) {
        SCOPED_TRACE(damage.name);
        const std::string path = mutexFile(damage.name);
        damage.apply(path);
        // In a fresh process, as a later start of the program would meet it.
        ChildProcess first(helper(), {"hold-mutex", damage.name});
        EXPECT_EQ(first.ReadLine(5000), "held");
        first.Kill(SIGKILL);
        first.Wait(5000);
        HANDLE mutex = CreateMutexA(nullptr, FALSE, damage.name);
        ASSERT_NE(mutex, nullptr);
        EXPECT_EQ(WaitForSingleObject(mutex, 1000), WAIT_ABANDONED); // the helper's, repaired
        EXPECT_TRUE(ReleaseMutex(mutex));
        EXPECT_EQ(WaitForSingleObject(mutex, 1000), WAIT_OBJECT_0);
        EXPECT_TRUE(ReleaseMutex(mutex));
        CloseHandle(mutex);
        struct stat info {};
        ASSERT_EQ(::lstat(path.c_str(), &info), 0);
        EXPECT_TRUE(S_ISREG(info.st_mode));
        EXPECT_EQ(info.st_uid, ::getuid());
        EXPECT_EQ(info.st_mode & 077, 0u);
        EXPECT_TRUE(sharedWithAnotherProcess(damage.name));
    }
    std::ifstream kept(elsewhere);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(kept), {}), "keep me");
}

TEST_F(MutexTest, AHandleWhoseFileIsOverwrittenInPlaceGoesOverToTheRepairedOne) {
    HANDLE mutex = CreateMutexA(nullptr, FALSE, "overwritten");
    ASSERT_NE(mutex, nullptr);
    ASSERT_EQ(WaitForSingleObject(mutex, 0), WAIT_OBJECT_0);
    ASSERT_TRUE(ReleaseMutex(mutex));
    {
        // Same file, new bytes: the open mapping sees them.
        std::fstream file(mutexFile("overwritten"),
                          std::ios::binary | std::ios::in | std::ios::out);
        const std::string garbage = randomBytes(48, 3);
        file.write(garbage.data(), static_cast<std::streamsize>(garbage.size()));
    }
    EXPECT_EQ(WaitForSingleObject(mutex, 1000), WAIT_OBJECT_0);
    EXPECT_TRUE(ReleaseMutex(mutex));
    EXPECT_TRUE(sharedWithAnotherProcess("overwritten"));
    // The handle follows too: the helper holding it keeps this handle out. (The helper that
    // held it before was killed holding it.)
    ChildProcess holder(helper(), {"hold-mutex", "overwritten"});
    ASSERT_EQ(holder.ReadLine(5000), "held abandoned");
    EXPECT_EQ(WaitForSingleObject(mutex, 50), WAIT_TIMEOUT);
    CloseHandle(mutex);
}

// Two processes that meet the same damaged file at once both repair it under the flock and
// end on one mutex: while one holds it the other waits, and it passes on from one to the next.
TEST_F(MutexTest, ProcessesRacingToRepairADamagedFileShareOneMutex) {
    for (unsigned round = 0; round < 3; ++round) {
        SCOPED_TRACE(round);
        // The brief damage first met, then garbage of the right size behind a sound header.
        writeFile(mutexFile("race"),
                  round == 0 ? randomBytes(48, 10)
                             : damagedMutexFile(16, soundMutexFile().size() - 16, 0xFF));
        std::vector<std::unique_ptr<ChildProcess>> racers;
        for (int i = 0; i < 3; ++i) {
            racers.push_back(std::make_unique<ChildProcess>(
                helper(), std::vector<std::string>{"hold-mutex", "race"}));
        }
        HANDLE mutex = CreateMutexA(nullptr, FALSE, "race");
        ASSERT_NE(mutex, nullptr);
        // One by one: exactly one racer holds it at a time, and each next one learns that the
        // one before died holding it, which only a shared mutex can tell.
        std::vector<std::string> said;
        for (int turn = 0; turn < 3; ++turn) {
            int holder = -1;
            const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
            while (holder < 0 && std::chrono::steady_clock::now() < deadline) {
                for (std::size_t i = 0; i < racers.size(); ++i) {
                    if (racers[i] == nullptr) {
                        continue;
                    }
                    const std::string line = racers[i]->ReadLine(5);
                    if (!line.empty()) {
                        said.push_back(line);
                        holder = static_cast<int>(i);
                        break;
                    }
                }
            }
            ASSERT_GE(holder, 0) << "turn " << turn;
            EXPECT_EQ(WaitForSingleObject(mutex, 50), WAIT_TIMEOUT);
            for (const auto& racer : racers) {
                if (racer != nullptr && racer.get() != racers[holder].get()) {
                    EXPECT_EQ(racer->ReadLine(20), ""); // still waiting
                }
            }
            racers[holder]->Kill(SIGKILL);
            racers[holder]->Wait(5000);
            racers[holder].reset();
        }
        EXPECT_EQ(said, (std::vector<std::string>{"held", "held abandoned", "held abandoned"}));
        EXPECT_EQ(WaitForSingleObject(mutex, 1000), WAIT_ABANDONED);
        EXPECT_TRUE(ReleaseMutex(mutex));
        CloseHandle(mutex);
    }
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
