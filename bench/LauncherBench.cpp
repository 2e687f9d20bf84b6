// With a solitary viewer running: the launcher's wall time from start to exit, and the time
// from the launcher's start until the viewer has displayed a small image (seen on the debug
// channel). Runs in temporary per-user folders.
#include "BenchSupport.h"

#include "platform/DebugOutput.h"
#include "platform/Timing.h"

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace {

pid_t start(const std::vector<std::string>& arguments) {
    std::vector<char*> argv;
    for (const std::string& argument : arguments) {
        argv.push_back(const_cast<char*>(argument.c_str()));
    }
    argv.push_back(nullptr);
    pid_t child = 0;
    ::posix_spawn(&child, argv[0], nullptr, nullptr, argv.data(), environ);
    return child;
}

} // namespace

int main() {
    ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
    benchsupport::TemporaryFolder config("XDG_CONFIG_HOME");
    benchsupport::TemporaryFolder runtime("XDG_RUNTIME_DIR");
    platform::DebugListener listener;
    const std::string bin = ORVALEN_BIN_DIR;
    const std::string samples = ORVALEN_SAMPLES_DIR;
    const pid_t viewer = start({bin + "/Orvalen_main", samples + "/granite.bmp"});
    if (listener.WaitForLineContaining("TViewer::DisplayImage() shows", 20000).empty()) {
        std::fprintf(stderr, "launcher_bench: the viewer did not start\n");
        return 1;
    }
    std::vector<double> wall, shown;
    const std::string files[] = {samples + "/rose.jpg", samples + "/netscape.tiff"};
    for (int run = 0; run < 20; ++run) {
        const std::string& file = files[run % 2];
        const double begin = benchsupport::NowMs();
        const pid_t launcher = start({bin + "/OrvalenViewer", file});
        int status = 0;
        ::waitpid(launcher, &status, 0);
        wall.push_back(benchsupport::NowMs() - begin);
        if (listener.WaitForLineContaining("TViewer::DisplayImage() shows " + file, 10000)
                .empty()) {
            std::fprintf(stderr, "launcher_bench: %s was not shown\n", file.c_str());
            break;
        }
        shown.push_back(benchsupport::NowMs() - begin);
    }
    ::kill(viewer, SIGTERM);
    ::waitpid(viewer, nullptr, 0);
    if (shown.empty()) {
        return 1;
    }
    std::printf("launcher start to exit        median %.1f ms, max %.1f ms (goal: 30 ms)\n",
                benchsupport::Median(wall), *std::max_element(wall.begin(), wall.end()));
    std::printf("launcher start to displayed   median %.1f ms, max %.1f ms (small images; goal: "
                "100 ms plus the decode)\n",
                benchsupport::Median(shown), *std::max_element(shown.begin(), shown.end()));
    return 0;
}
