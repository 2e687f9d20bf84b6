// Reading ahead on its own, without windows: the budget, files that change under it, and
// cancelling. Real decodes of files the tests write, unless a case needs a decoder it controls.
#include "support/TestSupport.h"

#include "display/MagickLibrary.h"
#include "viewer/ReadAhead.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <thread>

namespace {

// The image library started once for the program and stopped at its end, as the viewer does:
// its per-thread records are freed then.
class MagickEnvironment : public ::testing::Environment {
public:
    void SetUp() override { engine::InitializeMagick(nullptr); }
    void TearDown() override { engine::DestroyMagick(); }
};
const auto* const magickEnvironment = ::testing::AddGlobalTestEnvironment(new MagickEnvironment);

// A 24-bit BMP of one colour. (Not PPM: the image library's PNM reader leaks a comment buffer
// on every ping, which the sanitizer build would report as ours.)
void writeBmp(const std::string& path, int width, int height, std::uint8_t red, std::uint8_t green,
              std::uint8_t blue) {
    const std::uint32_t row = (static_cast<std::uint32_t>(width) * 3 + 3) / 4 * 4;
    const std::uint32_t pixels = row * static_cast<std::uint32_t>(height);
    std::string bytes = "BM";
    const auto put = [&bytes](std::uint32_t value, int count) {
        for (int i = 0; i < count; ++i) {
            bytes += static_cast<char>((value >> (8 * i)) & 0xff);
        }
    };
    put(54 + pixels, 4);
    put(0, 4);
    put(54, 4);
    put(40, 4);
    put(static_cast<std::uint32_t>(width), 4);
    put(static_cast<std::uint32_t>(height), 4);
    put(1, 2);
    put(24, 2);
    put(0, 4);
    put(pixels, 4);
    put(2835, 4);
    put(2835, 4);
    put(0, 4);
    put(0, 4);
    std::string line;
    for (int x = 0; x < width; ++x) {
        line += static_cast<char>(blue);
        line += static_cast<char>(green);
        line += static_cast<char>(red);
    }
    line.resize(row, '\0');
    for (int y = 0; y < height; ++y) {
        bytes += line;
    }
    std::ofstream(path, std::ios::binary) << bytes;
}

bool waitFor(const std::function<bool()>& done, int milliseconds = 20000) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
    while (!done()) {
        if (std::chrono::steady_clock::now() > end) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

// The red of the record's first pixel (BGRA).
int redOf(const engine::DecodeResult& result) {
    return result.image ? result.image->Row(0)[2] : -1;
}

class ReadAheadTest : public ::testing::Test {
protected:
    std::string file(const std::string& name) const { return folders.Home() + "/" + name; }
    testsupport::IsolatedFolders folders;
};

} // namespace

// The viewer's own pattern, stepping through twenty photos faster than they decode: keep the
// one left, read the next. What is held and reserved never passes the budget, however the
// decodes and the steps interleave, and the steps still find their images decoded.
TEST_F(ReadAheadTest, SteppingQuicklyNeverHoldsMoreThanTheBudget) {
    std::vector<std::string> files;
    for (int i = 0; i < 20; ++i) {
        files.push_back(file("photo" + std::to_string(i) + ".bmp"));
        writeBmp(files.back(), 600, 400, static_cast<std::uint8_t>(i * 10), 0, 0);
    }
    constexpr std::size_t kImage = 600 * 400 * 4;
    for (const std::size_t budget : {kImage + kImage / 2, 3 * kImage}) {
        ReadAhead ahead(budget);
        std::size_t served = 0;
        engine::DecodeResult shown = engine::DecodeImageFile(files[0]);
        for (std::size_t i = 1; i < files.size(); ++i) {
            std::optional<engine::DecodeResult> next = ahead.Take(files[i], {});
            engine::DecodeResult decoded =
                next ? std::move(*next) : engine::DecodeImageFile(files[i]);
            served += next ? 1 : 0;
            ASSERT_EQ(redOf(decoded), static_cast<int>(i * 10)) << files[i];
            ahead.Keep(files[i - 1], FileIdentity::Of(files[i - 1]), {}, std::move(shown));
            shown = std::move(decoded);
            if (i + 1 < files.size()) {
                ahead.Retain({files[i - 1], files[i + 1]});
                ahead.Fetch(files[i + 1], {});
            }
            EXPECT_LE(ahead.UsedBytes(), budget);
            if (i % 3 == 0) {
                waitFor([&] { return i + 1 == files.size() || ahead.IsReady(files[i + 1]); });
            }
        }
        EXPECT_LE(ahead.PeakBytes(), budget) << "budget " << budget;
        // The image left and the next one, when both fit: the budget was put to the test.
        const std::size_t fits = std::min<std::size_t>(2, budget / kImage);
        EXPECT_GE(ahead.PeakBytes(), fits * kImage) << "budget " << budget;
        EXPECT_GT(served, 5u) << "nothing read ahead was used";
        // Going back one step finds the image left behind.
        std::optional<engine::DecodeResult> back = ahead.Take(files[18], {});
        ASSERT_TRUE(back.has_value());
        EXPECT_EQ(redOf(*back), 180);
    }
}

// Whatever no longer fits goes, oldest first, and what can never fit is not held at all.
TEST_F(ReadAheadTest, RoomIsMadeOldestFirstAndWhatCannotFitIsRefused) {
    const std::string a = file("a.bmp"), b = file("b.bmp"), big = file("big.bmp");
    writeBmp(a, 100, 100, 10, 0, 0);
    writeBmp(b, 100, 100, 20, 0, 0);
    writeBmp(big, 300, 300, 30, 0, 0);
    constexpr std::size_t kSmall = 100 * 100 * 4;
    ReadAhead ahead(kSmall * 3 / 2);
    ahead.Keep(a, FileIdentity::Of(a), {}, engine::DecodeImageFile(a));
    EXPECT_EQ(ahead.UsedBytes(), kSmall);
    ahead.Fetch(b, {});
    ASSERT_TRUE(waitFor([&] { return ahead.IsReady(b); }));
    EXPECT_EQ(ahead.Paths(), std::vector<std::string>{b}) << "the older image should have gone";
    ahead.Fetch(big, {});
    ASSERT_TRUE(waitFor([&] { return ahead.Paths() == std::vector<std::string>{b}; }));
    EXPECT_FALSE(ahead.IsReady(big));
    EXPECT_LE(ahead.PeakBytes(), kSmall * 3 / 2);
    // A smaller budget drops what it no longer holds; none turns reading ahead off.
    ahead.SetBudget(kSmall / 2);
    EXPECT_TRUE(ahead.Paths().empty());
    EXPECT_EQ(ahead.UsedBytes(), 0u);
    ahead.SetBudget(0);
    ahead.Fetch(a, {});
    EXPECT_TRUE(ahead.Paths().empty());
}

// An image read ahead is shown only while its file is as it was decoded: a file renamed over
// it, rewritten in place or deleted is decoded afresh.
TEST_F(ReadAheadTest, AFileChangedSinceItWasReadIsNeverServedFromMemory) {
    const std::string next = file("next.bmp"), other = file("other.bmp");
    ReadAhead ahead;
    auto readAhead = [&](std::uint8_t red) {
        writeBmp(next, 64, 48, red, 0, 0);
        ahead.Fetch(next, {});
        return waitFor([&] { return ahead.IsReady(next); });
    };

    ASSERT_TRUE(readAhead(50));
    writeBmp(other, 64, 48, 200, 0, 0);
    std::filesystem::rename(other, next);
    EXPECT_FALSE(ahead.Take(next, {}).has_value()) << "renamed over";
    EXPECT_TRUE(ahead.Paths().empty()) << "the stale image is still held";

    ASSERT_TRUE(readAhead(60));
    std::this_thread::sleep_for(std::chrono::milliseconds(20)); // a later modification time
    {
        std::fstream inPlace(next, std::ios::in | std::ios::out | std::ios::binary);
        inPlace.seekp(-3, std::ios::end);
        inPlace.put(static_cast<char>(255));
    }
    EXPECT_FALSE(ahead.Take(next, {}).has_value()) << "rewritten in place";

    ASSERT_TRUE(readAhead(70));
    std::filesystem::remove(next);
    EXPECT_FALSE(ahead.Take(next, {}).has_value()) << "deleted";

    ASSERT_TRUE(readAhead(80));
    const std::optional<engine::DecodeResult> unchanged = ahead.Take(next, {});
    ASSERT_TRUE(unchanged.has_value());
    EXPECT_EQ(redOf(*unchanged), 80);
    EXPECT_EQ(ahead.Taken(), 1u);
}

// A first view decoded for one window size serves only that size; a whole image serves any.
TEST_F(ReadAheadTest, AReducedImageServesOnlyTheViewItWasReducedFor) {
    const std::string photo = file("photo.bmp");
    writeBmp(photo, 64, 48, 90, 0, 0);
    ReadAhead ahead;
    ahead.SetDecoder(
        [](const std::string& path, const std::atomic<bool>* cancel, engine::ViewSize view) {
            engine::DecodeResult result = engine::DecodeImageFile(path, cancel);
            result.reduced = view.columns != 0;
            return result;
        });
    ahead.Fetch(photo, {32, 24});
    ASSERT_TRUE(waitFor([&] { return ahead.IsReady(photo); }));
    EXPECT_FALSE(ahead.Take(photo, {}).has_value()) << "a reduced view served 1:1";
    EXPECT_FALSE(ahead.Take(photo, {40, 30}).has_value()) << "served another size";
    EXPECT_TRUE(ahead.Take(photo, {32, 24}).has_value());

    ahead.Fetch(photo, {});
    ASSERT_TRUE(waitFor([&] { return ahead.IsReady(photo); }));
    EXPECT_TRUE(ahead.Take(photo, {40, 30}).has_value());
}

// Work in progress: a Take waits for it, Drop stops it, and the object's end joins it.
TEST_F(ReadAheadTest, ADecodeOnItsWayIsWaitedForOrCancelled) {
    const std::string slow = file("slow.bmp");
    writeBmp(slow, 64, 48, 120, 0, 0);
    std::mutex mutex;
    std::condition_variable released;
    bool release = false, sawCancel = false;
    auto gatedDecoder = [&](const std::string& path, const std::atomic<bool>* cancel,
                            engine::ViewSize) {
        std::unique_lock lock(mutex);
        while (!release && !*cancel) {
            released.wait_for(lock, std::chrono::milliseconds(5));
        }
        sawCancel = *cancel;
        return engine::DecodeImageFile(path);
    };
    {
        ReadAhead ahead;
        ahead.SetDecoder(gatedDecoder);
        ahead.Fetch(slow, {});
        ASSERT_TRUE(waitFor([&] { return ahead.Started() == 1; }));
        std::thread opener([&] {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            std::lock_guard lock(mutex);
            release = true;
            released.notify_all();
        });
        const std::optional<engine::DecodeResult> waited = ahead.Take(slow, {});
        opener.join();
        ASSERT_TRUE(waited.has_value()) << "the decode on its way was not waited for";
        EXPECT_EQ(redOf(*waited), 120);
        EXPECT_FALSE(sawCancel);
    }
    release = false;
    {
        ReadAhead ahead;
        ahead.SetDecoder(gatedDecoder);
        ahead.Fetch(slow, {});
        ASSERT_TRUE(waitFor([&] { return ahead.Started() == 1; }));
        std::atomic<bool> giveUp{true};
        EXPECT_FALSE(ahead.Take(slow, {}, &giveUp).has_value()) << "a cancelled Take waited";
        ahead.Drop();
        ASSERT_TRUE(waitFor([&] { return ahead.Cancelled() == 1; }));
        EXPECT_TRUE(sawCancel);
        EXPECT_TRUE(ahead.Paths().empty());
        EXPECT_TRUE(waitFor([&] { return ahead.UsedBytes() == 0; })) << "its room was kept";
    }
    release = false;
    sawCancel = false;
    {
        // Asked for another view than the one on its way (the window changed meanwhile): the
        // caller is not kept waiting for a size that may not serve, and the work stops.
        ReadAhead ahead;
        ahead.SetDecoder(gatedDecoder);
        ahead.Fetch(slow, {320, 200});
        ASSERT_TRUE(waitFor([&] { return ahead.Started() == 1; }));
        const auto asked = std::chrono::steady_clock::now();
        EXPECT_FALSE(ahead.Take(slow, {640, 400}).has_value());
        EXPECT_LT(std::chrono::steady_clock::now() - asked, std::chrono::seconds(2))
            << "waited for a decode made for another view";
        ASSERT_TRUE(waitFor([&] { return ahead.Cancelled() == 1; }));
        EXPECT_TRUE(sawCancel);
        EXPECT_TRUE(waitFor([&] { return ahead.UsedBytes() == 0; }));
    }
    release = false;
    sawCancel = false;
    {
        ReadAhead ahead;
        ahead.SetDecoder(gatedDecoder);
        ahead.Fetch(slow, {});
        ASSERT_TRUE(waitFor([&] { return ahead.Started() == 1; }));
    } // the end cancels and joins; a hang here fails the test by its timeout
    EXPECT_TRUE(sawCancel);
}
