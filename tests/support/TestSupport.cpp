#include "TestSupport.h"

#include "platform/DebugOutput.h"
#include "platform/MessageBox.h"

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <poll.h>
#include <regex>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <utility>

extern char** environ;

namespace testsupport {

namespace {
const char* const kVariables[] = {"XDG_CONFIG_HOME", "XDG_DATA_HOME", "XDG_RUNTIME_DIR", "HOME",
                                  "XDG_CACHE_HOME"};
}

IsolatedFolders::IsolatedFolders() {
    char pattern[] = "/tmp/orvalen-test-XXXXXX";
    const char* made = ::mkdtemp(pattern);
    if (made == nullptr) {
        ADD_FAILURE() << "mkdtemp failed: " << std::strerror(errno);
        return;
    }
    root_ = made;
    const std::string values[] = {Config(), Data(), Runtime(), Home(), Cache()};
    for (int i = 0; i < 5; ++i) {
        ::mkdir(values[i].c_str(), 0700);
        if (const char* old = std::getenv(kVariables[i])) {
            saved_.emplace_back(kVariables[i], old);
        } else {
            unset_.emplace_back(kVariables[i]);
        }
        ::setenv(kVariables[i], values[i].c_str(), 1);
    }
}

IsolatedFolders::~IsolatedFolders() {
    for (const auto& [name, value] : saved_) {
        ::setenv(name.c_str(), value.c_str(), 1);
    }
    for (const auto& name : unset_) {
        ::unsetenv(name.c_str());
    }
    if (!root_.empty()) {
        std::error_code ignored;
        std::filesystem::remove_all(root_, ignored);
    }
}

RecordedBoxes::RecordedBoxes() {
    platform::SetMessageBoxPresenter(
        [this](HWND, const char* text, const char* caption, UINT style) {
            std::lock_guard lock(guard_);
            boxes_.push_back({caption ? caption : "", text ? text : ""});
            return (style & MB_YESNO) != 0 ? Answer.load() : IDOK;
        });
}

RecordedBoxes::~RecordedBoxes() {
    platform::SetMessageBoxPresenter({});
}

std::vector<RecordedBox> RecordedBoxes::Take() {
    std::lock_guard lock(guard_);
    return std::exchange(boxes_, {});
}

std::size_t RecordedBoxes::Count() {
    std::lock_guard lock(guard_);
    return boxes_.size();
}

bool RecordedBoxes::WaitForCount(std::size_t n, int ms) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (Count() < n) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

ChildProcess::ChildProcess(const std::string& program, const std::vector<std::string>& arguments) {
    int pipeFds[2];
    if (::pipe2(pipeFds, O_CLOEXEC) != 0) {
        return;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, pipeFds[1], STDOUT_FILENO);
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(program.c_str()));
    for (const auto& argument : arguments) {
        argv.push_back(const_cast<char*>(argument.c_str()));
    }
    argv.push_back(nullptr);
    if (::posix_spawn(&pid_, program.c_str(), &actions, nullptr, argv.data(), environ) != 0) {
        pid_ = -1;
    }
    posix_spawn_file_actions_destroy(&actions);
    ::close(pipeFds[1]);
    out_ = pipeFds[0];
}

ChildProcess::~ChildProcess() {
    if (pid_ > 0 && !reaped_) {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
    }
    if (out_ >= 0) {
        ::close(out_);
    }
}

std::string ChildProcess::ReadLine(int ms) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    for (;;) {
        const auto newline = pending_.find('\n');
        if (newline != std::string::npos) {
            std::string line = pending_.substr(0, newline);
            pending_.erase(0, newline + 1);
            return line;
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                              deadline - std::chrono::steady_clock::now())
                              .count();
        if (left <= 0) {
            return {};
        }
        pollfd waiting{out_, POLLIN, 0};
        if (::poll(&waiting, 1, static_cast<int>(left)) <= 0) {
            continue;
        }
        char buffer[4096];
        const ssize_t got = ::read(out_, buffer, sizeof buffer);
        if (got <= 0) {
            return {};
        }
        pending_.append(buffer, static_cast<std::size_t>(got));
    }
}

void ChildProcess::Kill(int signal) {
    if (pid_ > 0 && !reaped_) {
        ::kill(pid_, signal);
    }
}

int ChildProcess::Wait(int ms) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    for (;;) {
        int status = 0;
        const pid_t done = ::waitpid(pid_, &status, WNOHANG);
        if (done == pid_) {
            reaped_ = true;
            return WIFEXITED(status) ? WEXITSTATUS(status) : -2;
        }
        if (std::chrono::steady_clock::now() > deadline) {
            return -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
}

TrapFifo::TrapFifo(std::string path, int ms) : path_(std::move(path)) {
    made_ = ::mkfifo(path_.c_str(), 0600) == 0;
    if (!made_) {
        ADD_FAILURE() << "mkfifo " << path_ << ": " << std::strerror(errno);
        return;
    }
    watch_ = std::thread([this, ms] {
        std::unique_lock lock(guard_);
        if (released_.wait_for(lock, std::chrono::milliseconds(ms), [this] { return done_; })) {
            return;
        }
        // Read and write: never blocks, and counts as the writer a blocked reader waits for.
        const int fd = ::open(path_.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
        if (fd >= 0) {
            sprung_ = true;
            ::close(fd);
        }
    });
}

TrapFifo::~TrapFifo() {
    if (watch_.joinable()) {
        {
            std::lock_guard lock(guard_);
            done_ = true;
        }
        released_.notify_all();
        watch_.join();
    }
    if (made_) {
        ::unlink(path_.c_str());
    }
}

std::string ProgramFolder() {
    return std::filesystem::read_symlink("/proc/self/exe").parent_path().string();
}

double ResidentMegabytes() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmRSS:", 0) == 0) {
            return std::stod(line.substr(6)) / 1024.0;
        }
    }
    return 0.0;
}

bool StopProcess(int pid, int ms) {
    if (::kill(pid, SIGSTOP) != 0) {
        return false;
    }
    // The signal is only sent when kill returns: each thread stops when it next runs.
    const auto giveUp = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    const std::string tasks = "/proc/" + std::to_string(pid) + "/task";
    while (std::chrono::steady_clock::now() < giveUp) {
        bool all = true;
        std::error_code error;
        for (const auto& task : std::filesystem::directory_iterator(tasks, error)) {
            std::ifstream stat(task.path() / "stat");
            std::string line;
            std::getline(stat, line);
            const std::size_t name_end = line.rfind(')');
            all = all && name_end != std::string::npos && name_end + 2 < line.size() &&
                  line[name_end + 2] == 'T';
        }
        if (all && !error) {
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return false;
}

struct MainProgramWatch::Listener {
    platform::DebugListener channel;
};

MainProgramWatch::MainProgramWatch() : listener_(std::make_unique<Listener>()) {}

MainProgramWatch::~MainProgramWatch() {
    for (int pid : pids_) {
        ::kill(pid, SIGKILL);
    }
}

bool MainProgramWatch::WaitFor(const std::string& needle, int ms) {
    std::string line;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (std::chrono::steady_clock::now() < deadline) {
        if (!listener_->channel.Receive(line, 200)) {
            continue;
        }
        seen.push_back(line);
        std::smatch match;
        if (std::regex_search(line, match, std::regex("in process (\\d+)"))) {
            pids_.insert(std::stoi(match[1]));
            lastPid = std::stoi(match[1]);
        }
        if (line.find(needle) != std::string::npos) {
            return true;
        }
    }
    return false;
}

} // namespace testsupport
