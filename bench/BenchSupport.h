// What the benchmarks share: a temporary per-user folder for the life of a benchmark, the clock
// and the statistics they print.
#pragma once

#include "platform/Timing.h"

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

namespace benchsupport {

// Points the environment variable (XDG_RUNTIME_DIR, XDG_CONFIG_HOME, ...) at a fresh folder,
// so a benchmark never meets a running program's state, and removes the folder afterwards.
class TemporaryFolder {
public:
    explicit TemporaryFolder(const char* variable) {
        char pattern[] = "/tmp/orvalen-bench-XXXXXX";
        root_ = ::mkdtemp(pattern);
        ::setenv(variable, root_.c_str(), 1);
    }
    ~TemporaryFolder() { std::filesystem::remove_all(root_); }
    TemporaryFolder(const TemporaryFolder&) = delete;
    TemporaryFolder& operator=(const TemporaryFolder&) = delete;

private:
    std::string root_;
};

// Milliseconds on the program's own performance counter (nanosecond ticks).
inline double NowMs() {
    LONGLONG counter = 0;
    QueryPerformanceCounter(&counter);
    return static_cast<double>(counter) / 1e6;
}

inline double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

inline double Maximum(const std::vector<double>& values) {
    return *std::max_element(values.begin(), values.end());
}

} // namespace benchsupport
