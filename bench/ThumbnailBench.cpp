// Thumbnails of a folder of 2,000 12 MP JPEGs in the list's grid at 256 pixels:
//   cold: the thumbnail cache empty, thumbnails made per second by our workers, beside Pillow's
//         draft + thumbnail in two processes (the same files and size, in the same run), and the
//         longest the window waited meanwhile (the gaps of a 0 ms timer);
//   warm: the cache filled, the time from showing the folder until every thumbnail of the first
//         screen is painted, and the longest gap then.
// The photos are made once (by the helper thumbnails_pillow.py) and kept in
// /tmp/orvalen-thumbnail-bench; ORVALEN_THUMBNAIL_COLD sets how many files the cold run makes
// (default 200: all 2,000 take minutes on two cores).
#include "BenchSupport.h"

#include "display/MagickLibrary.h"
#include "shell/StShellViews.h"
#include "shell/ThumbnailGrid.h"

#include <QApplication>
#include <QTimer>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

namespace {

constexpr int kFiles = 2000;
constexpr int kDistinct = 40;
constexpr int kEdge = 256;

std::string run(const std::string& command) {
    std::string output;
    if (FILE* pipe = ::popen(command.c_str(), "r")) {
        char buffer[4096];
        std::size_t n = 0;
        while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) {
            output.append(buffer, n);
        }
        ::pclose(pipe);
    }
    return output;
}

std::string quoted(const std::string& text) {
    return "'" + text + "'"; // the benchmark's own paths hold no quote
}

// The longest time between two turns of the event loop while it runs.
class GapWatch {
public:
    GapWatch() {
        timer_.setInterval(0);
        QObject::connect(&timer_, &QTimer::timeout, [this] {
            const double now = benchsupport::NowMs();
            if (last_ > 0) {
                longest_ = std::max(longest_, now - last_);
            }
            last_ = now;
        });
    }
    void Start() {
        longest_ = 0;
        last_ = 0;
        timer_.start();
    }
    double Stop() {
        timer_.stop();
        return longest_;
    }

private:
    QTimer timer_;
    double last_ = 0, longest_ = 0;
};

// Runs the event loop until done() holds; false after timeout_ms.
template <typename Done> bool runUntil(Done done, double timeout_ms) {
    const double end = benchsupport::NowMs() + timeout_ms;
    while (!done()) {
        if (benchsupport::NowMs() > end) {
            return false;
        }
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 5);
    }
    return true;
}

} // namespace

int main(int argc, char** argv) {
    ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
    benchsupport::TemporaryFolder home("HOME");
    benchsupport::TemporaryFolder config("XDG_CONFIG_HOME");
    benchsupport::TemporaryFolder runtime("XDG_RUNTIME_DIR");
    benchsupport::TemporaryFolder cache("XDG_CACHE_HOME");
    QApplication application(argc, argv);
    engine::InitializeMagick(argv[0]);

    const std::string helper = std::string(ORVALEN_BENCH_DIR) + "/thumbnails_pillow.py";
    const std::string folder = "/tmp/orvalen-thumbnail-bench/photos-r1";
    const double madeBegin = benchsupport::NowMs();
    run("/usr/bin/python3 " + quoted(helper) + " make " + quoted(folder) + " " +
        std::to_string(kFiles) + " " + std::to_string(kDistinct));
    std::vector<std::string> files;
    char name[64];
    for (int i = 0; i < kFiles; ++i) {
        std::snprintf(name, sizeof name, "/photo %04d.jpg", i);
        if (!std::filesystem::exists(folder + name)) {
            std::fprintf(stderr, "the photos could not be made in %s\n", folder.c_str());
            return 1;
        }
        files.push_back(folder + name);
    }
    std::printf("%d photos of 4000 x 3000 (%d distinct, the rest hard links) in %s, ready in "
                "%.1f s\n",
                kFiles, kDistinct, folder.c_str(), (benchsupport::NowMs() - madeBegin) / 1000);

    const char* coldSetting = std::getenv("ORVALEN_THUMBNAIL_COLD");
    const int cold = std::clamp(coldSetting != nullptr ? std::atoi(coldSetting) : 200, 2, kFiles);
    const std::vector<std::string> coldFiles(files.begin(), files.begin() + cold);

    // The machine's own share: the longest gap of an idle loop, with nothing of ours running.
    GapWatch gaps;
    gaps.Start();
    runUntil([] { return false; }, 3000);
    std::printf("idle loop for 3 s, nothing of ours running: longest 0 ms timer gap %.1f ms (the "
                "machine's other load)\n",
                gaps.Stop());

    // Cold: every one is decoded, scaled and stored.
    {
        Thumbnailer thumbnails;
        thumbnails.SetEdge(kEdge);
        int ready = 0;
        thumbnails.OnReady = [&](const std::string&) { ++ready; };
        gaps.Start();
        const double begin = benchsupport::NowMs();
        thumbnails.Request(coldFiles, false);
        runUntil([&] { return ready == cold; }, 3600e3);
        const double seconds = (benchsupport::NowMs() - begin) / 1000;
        const double longest = gaps.Stop();
        const double ours = cold / seconds;

        std::string command = "/usr/bin/python3 " + quoted(helper) + " pillow " +
                              quoted(std::string(std::getenv("HOME")) + "/pillow") + " " +
                              std::to_string(kEdge);
        for (const std::string& file : coldFiles) {
            command += " " + quoted(file);
        }
        double pillowSeconds = 0;
        int pillowCount = 0;
        std::sscanf(run(command).c_str(), "%lf %d", &pillowSeconds, &pillowCount);
        const double pillow = pillowSeconds > 0 ? pillowCount / pillowSeconds : 0;
        std::printf("cold cache, %d thumbnails at %d: ours %.1f/s (%.1f s), Pillow draft + "
                    "thumbnail in 2 processes %.1f/s (%.1f s), ratio %.2f (goal >= 1.0)\n",
                    cold, kEdge, ours, seconds, pillow, pillowSeconds,
                    pillow > 0 ? ours / pillow : 0.0);
        std::printf("cold cache, longest wait of the window (0 ms timer gap): %.1f ms (goal <= 16 "
                    "ms)\n",
                    longest);
    }

    // Warm: the first screen of the folder in the grid, its thumbnails from the cache.
    PIDL pidl;
    pidl.FromPath(folder);
    std::vector<double> firstScreen, warmGaps;
    int shown = 0;
    for (int round = 0; round < 5; ++round) {
        TStShellListView list;
        list.resize(1280, 900);
        list.SetViewStyle(TStShellListView::TViewStyle::vsIcon, kEdge);
        list.show();
        QCoreApplication::processEvents();
        gaps.Start();
        const double begin = benchsupport::NowMs();
        list.SetFolder(pidl.List());
        const bool done = runUntil(
            [&] {
                if (list.IsListing() || list.topLevelItemCount() < kFiles) {
                    return false;
                }
                const std::vector<std::string> visible = list.Grid()->VisiblePaths();
                for (const std::string& path : visible) {
                    if (list.Grid()->Thumbnails().Find(path) == nullptr) {
                        return false;
                    }
                }
                shown = static_cast<int>(visible.size());
                return !visible.empty();
            },
            60e3);
        firstScreen.push_back(done ? benchsupport::NowMs() - begin : 60e3);
        warmGaps.push_back(gaps.Stop());
    }
    std::printf("warm cache, first screen (%d thumbnails of a 1280 x 900 grid) after the folder "
                "is chosen: median %.1f ms, max %.1f ms (goal <= 150 ms); longest gap %.1f ms\n",
                shown, benchsupport::Median(firstScreen), benchsupport::Maximum(firstScreen),
                benchsupport::Maximum(warmGaps));
    engine::DestroyMagick();
    return 0;
}
