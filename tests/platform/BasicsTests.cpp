// Error texts, the runtime folder, debugger output, message boxes and memory hints of the
// platform layer.
#include "support/TestSupport.h"

#include "platform/Memory.h"
#include "platform/Platform.h"

#include <cstring>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

using testsupport::ChildProcess;
using testsupport::IsolatedTest;

namespace {

std::string systemText(DWORD code) {
    char* text = nullptr;
    const DWORD length =
        FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_ALLOCATE_BUFFER, nullptr, code,
                       0x400, reinterpret_cast<char*>(&text), 0, nullptr);
    std::string result = length != 0 && text != nullptr ? std::string(text, length) : "<none>";
    LocalFree(text);
    return result;
}

} // namespace

TEST(ErrorTexts, EveryCodeHasATextCodeZeroIncluded) {
    EXPECT_EQ(systemText(ERROR_SUCCESS), "Success");
    EXPECT_EQ(systemText(ERROR_FILE_NOT_FOUND), "No such file or directory");
    EXPECT_EQ(systemText(ERROR_PIPE_BUSY), "All pipe instances are busy.");
    EXPECT_EQ(systemText(ERROR_INVALID_WINDOW_HANDLE), "Invalid window handle.");
    EXPECT_NE(systemText(987654), "<none>");
}

TEST(ErrorTexts, LastErrorIsPerThread) {
    SetLastError(42);
    std::thread([] { EXPECT_EQ(GetLastError(), 0u); }).join();
    EXPECT_EQ(GetLastError(), 42u);
}

class RuntimeFolderTest : public IsolatedTest {};

TEST_F(RuntimeFolderTest, IsCreatedPrivateUnderTheXdgRuntimeFolder) {
    const std::string folder = platform::RuntimeFolder();
    ASSERT_EQ(folder, folders.Runtime() + "/orvalen");
    struct stat info {};
    ASSERT_EQ(::stat(folder.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0700u);
}

TEST_F(RuntimeFolderTest, AFolderOthersCanEnterIsRefused) {
    ASSERT_EQ(::mkdir((folders.Runtime() + "/orvalen").c_str(), 0755), 0);
    EXPECT_EQ(platform::RuntimeFolder(), "");
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    // Nothing that needs the folder may then use it: an event cannot be made.
    EXPECT_EQ(CreateEventA(nullptr, TRUE, FALSE, "anything"), nullptr);
}

TEST_F(RuntimeFolderTest, ASymlinkInItsPlaceIsRefused) {
    const std::string elsewhere = folders.Root() + "/elsewhere";
    ASSERT_EQ(::mkdir(elsewhere.c_str(), 0700), 0);
    ASSERT_EQ(::symlink(elsewhere.c_str(), (folders.Runtime() + "/orvalen").c_str()), 0);
    EXPECT_EQ(platform::RuntimeFolder(), "");
}

TEST_F(RuntimeFolderTest, ObjectNamesThatLeaveTheFolderAreRefused) {
    EXPECT_EQ(CreateEventA(nullptr, TRUE, FALSE, "../escape"), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_NAME);
    EXPECT_EQ(CreateMutexA(nullptr, FALSE, ".."), nullptr);
    EXPECT_EQ(CreateEventA(nullptr, TRUE, FALSE, nullptr), nullptr);
}

class DebugOutputTest : public IsolatedTest {};

TEST_F(DebugOutputTest, WithoutAListenerNothingFailsAndTheLastErrorStays) {
    SetLastError(77);
    OutputDebugStringA("nobody hears this");
    EXPECT_EQ(GetLastError(), 77u);
}

TEST_F(DebugOutputTest, AListenerReceivesLinesOfThisAndOtherProcesses) {
    platform::DebugListener listener;
    ASSERT_TRUE(listener.IsOpen());
    OutputDebugStringA("from the test");
    std::string line;
    ASSERT_TRUE(listener.Receive(line, 2000));
    EXPECT_EQ(line, "from the test");

    ChildProcess child(testsupport::ProgramFolder() + "/orvalen-test-helper",
                       {"trace", "from a child"});
    EXPECT_NE(listener.WaitForLineContaining("from a child", 5000), "");
}

TEST_F(DebugOutputTest, TheListenerProgramPrintsTheLinesOfAnotherProcess) {
    ChildProcess listener(testsupport::ProgramFolder() + "/orvalen-debug-listen", {});
    ASSERT_TRUE(listener.Started());
    // The listener binds its socket at start; send until a line comes through.
    std::string printed;
    for (int attempt = 0; attempt < 50 && printed.empty(); ++attempt) {
        ChildProcess tracer(testsupport::ProgramFolder() + "/orvalen-test-helper",
                            {"trace", "WinMain() start"});
        EXPECT_EQ(tracer.ReadLine(5000), "traced");
        printed = listener.ReadLine(100);
    }
    EXPECT_EQ(printed.rfind("WinMain() start - ", 0), 0u) << printed;
}

TEST(MessageBoxes, ThePresenterIsCalledAndCanBeRemoved) {
    std::string seen;
    platform::SetMessageBoxPresenter([&](HWND, const char* text, const char* caption, UINT) {
        seen = std::string(caption) + "|" + text;
        return IDOK;
    });
    EXPECT_EQ(MessageBoxA(0, "body", "title", MB_ICONERROR), IDOK);
    EXPECT_EQ(seen, "title|body");
    platform::SetMessageBoxPresenter({});
    seen.clear();
    testing::internal::CaptureStderr();
    MessageBoxA(0, "to stderr", "Caption", MB_ICONERROR);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "Caption: to stderr\n");
    EXPECT_EQ(seen, "");
}

TEST(Clocks, CounterAndTickCountAdvance) {
    LONGLONG frequency = 0, before = 0, after = 0;
    QueryPerformanceFrequency(&frequency);
    EXPECT_EQ(frequency, 1000000000LL);
    QueryPerformanceCounter(&before);
    const DWORD tickBefore = GetTickCount();
    Sleep(20);
    QueryPerformanceCounter(&after);
    EXPECT_GE(after - before, 20 * 1000000LL);
    EXPECT_GE(GetTickCount() - tickBefore, 19u);
}

// Memory prepared for writing is all there at once: writing it afterwards takes no page fault.
// Only the whole pages inside the range are touched, so memory on either side of an unaligned
// range is left as it was.
TEST(PreparedMemory, WritingItTakesNoFaultAndItsNeighboursAreLeftAlone) {
    constexpr std::size_t kPage = 4096, pages = 2048;
    void* mapped =
        ::mmap(nullptr, pages * kPage, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    ASSERT_NE(mapped, MAP_FAILED);
    ::madvise(mapped, pages * kPage, MADV_NOHUGEPAGE);
    auto* block = static_cast<unsigned char*>(mapped);
    // From the middle of the first page to the middle of the last: pages 1 .. pages - 2.
    if (!platform::PrepareForWriting(block + kPage / 2, (pages - 1) * kPage)) {
        ::munmap(mapped, pages * kPage);
        GTEST_SKIP() << "this kernel cannot prepare memory (before Linux 5.14)";
    }
    std::vector<unsigned char> resident(pages);
    ASSERT_EQ(::mincore(mapped, pages * kPage, resident.data()), 0);
    EXPECT_FALSE(resident.front() & 1) << "the page before the range";
    EXPECT_FALSE(resident.back() & 1) << "the page after the range";
    std::size_t present = 0;
    for (std::size_t page = 1; page + 1 < pages; ++page) {
        present += resident[page] & 1;
    }
    EXPECT_EQ(present, pages - 2);
    // Faults while the pages are written, against a block as large that was not prepared (a
    // sanitizer's own bookkeeping faults in both alike).
    const auto faultsWriting = [](unsigned char* at, std::size_t bytes) {
        rusage before{}, after{};
        ::getrusage(RUSAGE_THREAD, &before);
        std::memset(at, 7, bytes);
        ::getrusage(RUSAGE_THREAD, &after);
        return after.ru_minflt - before.ru_minflt;
    };
    void* plain =
        ::mmap(nullptr, pages * kPage, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    ASSERT_NE(plain, MAP_FAILED);
    ::madvise(plain, pages * kPage, MADV_NOHUGEPAGE);
    const long prepared = faultsWriting(block + kPage, (pages - 2) * kPage);
    const long unprepared =
        faultsWriting(static_cast<unsigned char*>(plain) + kPage, (pages - 2) * kPage);
    EXPECT_GE(unprepared - prepared, static_cast<long>(pages) - 2 - 16)
        << prepared << " faults prepared, " << unprepared << " not";
    EXPECT_TRUE(platform::PrepareForWriting(block, 100)) << "no whole page: nothing to do";
    ::munmap(plain, pages * kPage);
    ::munmap(mapped, pages * kPage);
}
