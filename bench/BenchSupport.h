// What the benchmarks share: a temporary per-user folder for the life of a benchmark.
#pragma once

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

inline double Maximum(const std::vector<double>& values) {
    return *std::max_element(values.begin(), values.end());
}

} // namespace benchsupport
