#include "DebugOutput.h"

#include "Runtime.h"
#include "WinTypes.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>
#include <vector>

namespace {

bool makeAddress(const std::string& path, sockaddr_un& address) {
    if (path.size() >= sizeof address.sun_path) {
        return false;
    }
    std::memset(&address, 0, sizeof address);
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    return true;
}

// A listener's queue holds only a few datagrams (net.unix.max_dgram_qlen, often 10), so a burst
// of lines must wait for it a little. A listener that does not read for this long is skipped
// for a second, so a stopped listener slows nobody down for long.
constexpr int kSendPatienceMs = 200;
std::atomic<long long> skipUntilMs{0};

long long nowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

int senderSocket() {
    static std::atomic<int> shared{-1};
    int fd = shared.load();
    if (fd >= 0) {
        return fd;
    }
    fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd >= 0) {
        timeval patience{0, kSendPatienceMs * 1000};
        ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &patience, sizeof patience);
    }
    int expected = -1;
    if (fd >= 0 && !shared.compare_exchange_strong(expected, fd)) {
        ::close(fd);
        return expected;
    }
    return fd;
}

} // namespace

void OutputDebugStringA(const char* text) {
    if (text == nullptr) {
        return;
    }
    const DWORD savedError = GetLastError();
    const std::string folder = platform::RuntimeFolder();
    sockaddr_un address{};
    const int fd = senderSocket();
    if (!folder.empty() && fd >= 0 && makeAddress(folder + "/debug", address)) {
        const int flags = MSG_NOSIGNAL | (nowMs() < skipUntilMs.load() ? MSG_DONTWAIT : 0);
        if (::sendto(fd, text, std::strlen(text), flags,
                     reinterpret_cast<const sockaddr*>(&address), sizeof address) < 0 &&
            (errno == EAGAIN || errno == EWOULDBLOCK) && !(flags & MSG_DONTWAIT)) {
            skipUntilMs = nowMs() + 1000;
        }
    }
    SetLastError(savedError);
}

namespace platform {

DebugListener::DebugListener() {
    const std::string folder = RuntimeFolder();
    sockaddr_un address{};
    if (folder.empty() || !makeAddress(folder + "/debug", address)) {
        return;
    }
    fd_ = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd_ < 0) {
        SetLastErrorFromErrno();
        return;
    }
    path_ = folder + "/debug";
    ::unlink(path_.c_str());
    if (::bind(fd_, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        SetLastErrorFromErrno();
        ::close(fd_);
        fd_ = -1;
        return;
    }
    int size = 4 << 20;
    ::setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
    reader_ = std::thread([this] { drain(); });
}

DebugListener::~DebugListener() {
    if (fd_ >= 0) {
        stopping_ = true;
        ::shutdown(fd_, SHUT_RDWR);
        reader_.join();
        ::close(fd_);
        ::unlink(path_.c_str());
    }
}

void DebugListener::drain() {
    std::vector<char> buffer(65536);
    for (;;) {
        const ssize_t received = ::recv(fd_, buffer.data(), buffer.size(), 0);
        if (received < 0 && errno == EINTR) {
            continue;
        }
        if (received < 0 || (received == 0 && stopping_)) {
            return;
        }
        {
            std::lock_guard lock(guard_);
            lines_.emplace_back(buffer.data(), static_cast<std::size_t>(received));
        }
        arrived_.notify_one();
    }
}

bool DebugListener::Receive(std::string& line, int timeoutMs) {
    if (fd_ < 0) {
        return false;
    }
    std::unique_lock lock(guard_);
    auto ready = [this] { return !lines_.empty(); };
    if (timeoutMs < 0) {
        arrived_.wait(lock, ready);
    } else if (!arrived_.wait_for(lock, std::chrono::milliseconds(timeoutMs), ready)) {
        return false;
    }
    line = std::move(lines_.front());
    lines_.pop_front();
    return true;
}

std::string DebugListener::WaitForLineContaining(const std::string& needle, int timeoutMs,
                                                 std::string* skipped) {
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    std::string line;
    for (;;) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left < 0 || !Receive(line, static_cast<int>(left))) {
            return {};
        }
        if (line.find(needle) != std::string::npos) {
            return line;
        }
        if (skipped != nullptr) {
            *skipped += line;
            *skipped += '\n';
        }
    }
}

} // namespace platform
