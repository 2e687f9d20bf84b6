// Thumbnails of a folder of 2,000 12 MP JPEGs in the list's grid at 256 pixels:
//   cold: the thumbnail cache empty, thumbnails made per second by our workers, beside Pillow's
//         draft + thumbnail in two processes (the same files and size, in the same run), and the
//         longest the window waited meanwhile (the gaps of a 0 ms timer). That timer keeps the
//         window's thread busy at the usual priority, which leaves our background workers one
//         of the two cores: each maker is therefore measured both with the window idle and
//         beside the spinning timer, Pillow's processes being in the same scheduling group;
//   warm: the cache filled, the time from showing the folder until every thumbnail of the first
//         screen is painted, and the longest gap then.
// The photos are made once (by the helper thumbnails_pillow.py) and kept in
// /tmp/orvalen-thumbnail-bench; ORVALEN_THUMBNAIL_COLD sets how many files each cold run makes
// (default 200: all 2,000 take minutes on two cores).
#include "BenchSupport.h"

#include "display/MagickLibrary.h"
#include "shell/StShellViews.h"
#include "shell/ThumbnailGrid.h"

#include <QApplication>
#include <QProcess>
#include <QTimer>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <sys/resource.h>
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

// Runs the event loop until done() holds; false after timeout_ms. The loop never sleeps
// (processEvents with a time limit does not wait for events).
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

// The same with a loop that sleeps until something happens, as a window's does.
template <typename Done> bool runIdleUntil(Done done, double timeout_ms) {
    QTimer wake; // so that the timeout is seen even when nothing arrives
    wake.start(100);
    const double end = benchsupport::NowMs() + timeout_ms;
    while (!done()) {
        if (benchsupport::NowMs() > end) {
            return false;
        }
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    }
    return true;
}

// Every byte of files read once, so that no maker pays for the disk.
void readAhead(const std::vector<std::string>& files) {
    std::vector<char> buffer(1 << 20);
    for (const std::string& file : files) {
        std::ifstream in(file, std::ios::binary);
        while (in.read(buffer.data(), static_cast<std::streamsize>(buffer.size()))) {
        }
    }
}

// The processor time of this process so far (all its threads), milliseconds.
double processorMs() {
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    return (usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1e3 +
           (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e3;
}

struct Rate {
    double seconds = 0;
    int count = 0;
    double PerSecond() const { return seconds > 0 ? count / seconds : 0; }
};

// Our thumbnails of files into an empty cache; with a 0 ms timer watching (its longest gap in
// longest) or with the loop sleeping between deliveries.
Rate ours(const std::vector<std::string>& files, GapWatch* gaps, double* longest) {
    std::filesystem::remove_all(std::string(std::getenv("XDG_CACHE_HOME")) + "/thumbnails");
    Thumbnailer thumbnails;
    thumbnails.SetEdge(kEdge);
    const int count = static_cast<int>(files.size());
    int ready = 0;
    thumbnails.OnReady = [&](const std::string&) { ++ready; };
    if (gaps != nullptr) {
        gaps->Start();
    }
    const double begin = benchsupport::NowMs();
    thumbnails.Request(files, false);
    if (gaps != nullptr) {
        runUntil([&] { return ready == count; }, 3600e3);
        *longest = gaps->Stop();
    } else {
        runIdleUntil([&] { return ready == count; }, 3600e3);
    }
    return {(benchsupport::NowMs() - begin) / 1000, ready};
}

// Pillow's thumbnails of files, run by the helper; with gaps set, while its 0 ms timer spins in
// this process as it does beside ours (its longest gap in longest: what the machine's load and
// the makers' alone cost the window).
Rate pillow(const std::string& helper, const std::vector<std::string>& files, GapWatch* gaps,
            double* longest) {
    QStringList arguments{QString::fromStdString(helper), "pillow",
                          QString::fromStdString(std::string(std::getenv("HOME")) + "/pillow"),
                          QString::number(kEdge)};
    for (const std::string& file : files) {
        arguments.append(QString::fromStdString(file));
    }
    QProcess process;
    process.start("/usr/bin/python3", arguments);
    if (gaps != nullptr) {
        gaps->Start();
        runUntil([&] { return process.state() == QProcess::NotRunning; }, 3600e3);
        *longest = gaps->Stop();
    } else {
        process.waitForFinished(-1);
    }
    Rate rate;
    std::sscanf(process.readAllStandardOutput().constData(), "%lf %d", &rate.seconds, &rate.count);
    return rate;
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

    // Cold: every one is decoded, scaled and stored. The makers take turns, three rounds, so
    // that the other engineers' load, which comes and goes, falls on each alike; the medians
    // are compared.
    {
        readAhead(coldFiles);
        constexpr int kRounds = 3;
        std::vector<double> idle, alone, watched, beside, processor, longest, longestBeside;
        bool complete = true;
        for (int round = 0; round < kRounds; ++round) {
            const double before = processorMs();
            Rate rate = ours(coldFiles, nullptr, nullptr);
            processor.push_back((processorMs() - before) / cold);
            idle.push_back(rate.PerSecond());
            complete = complete && rate.count == cold;
            rate = pillow(helper, coldFiles, nullptr, nullptr);
            alone.push_back(rate.PerSecond());
            complete = complete && rate.count == cold;
            double gap = 0;
            rate = ours(coldFiles, &gaps, &gap);
            watched.push_back(rate.PerSecond());
            longest.push_back(gap);
            complete = complete && rate.count == cold;
            rate = pillow(helper, coldFiles, &gaps, &gap);
            beside.push_back(rate.PerSecond());
            longestBeside.push_back(gap);
            complete = complete && rate.count == cold;
        }
        const auto list = [](const std::vector<double>& values) {
            std::string text;
            char number[32];
            for (const double value : values) {
                std::snprintf(number, sizeof number, "%s%.1f", text.empty() ? "" : " ", value);
                text += number;
            }
            return text;
        };
        using benchsupport::Median;
        std::printf("cold cache, %d thumbnails at %d a round, %d rounds, medians (each round's "
                    "in brackets), Pillow draft + thumbnail in 2 processes:\n",
                    cold, kEdge, kRounds);
        std::printf("  window idle:          ours %.1f/s (%s), Pillow %.1f/s (%s), ratio %.2f "
                    "(goal >= 1.0)\n",
                    Median(idle), list(idle).c_str(), Median(alone), list(alone).c_str(),
                    Median(idle) / Median(alone));
        std::printf("  0 ms timer spinning:  ours %.1f/s (%s), Pillow %.1f/s (%s), ratio %.2f "
                    "(goal >= 1.0)\n",
                    Median(watched), list(watched).c_str(), Median(beside), list(beside).c_str(),
                    Median(watched) / Median(beside));
        std::printf("  the timer beside ours only (ours spinning / Pillow idle): ratio %.2f\n",
                    Median(watched) / Median(alone));
        std::printf("  our processor time a thumbnail (window idle): %.1f ms (%s)\n",
                    Median(processor), list(processor).c_str());
        if (!complete) {
            std::printf("  (some thumbnails were not made)\n");
        }
        std::printf("cold cache, longest wait of the window (0 ms timer gap): %.1f ms (%s) (goal "
                    "<= 16 ms); beside Pillow's processes instead %.1f ms (%s)\n",
                    benchsupport::Maximum(longest), list(longest).c_str(),
                    benchsupport::Maximum(longestBeside), list(longestBeside).c_str());
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
