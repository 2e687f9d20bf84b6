#include "DebugOutput.h"

#include "Runtime.h"
#include "WinTypes.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

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

int senderSocket() {
    static std::atomic<int> shared{-1};
    int fd = shared.load();
    if (fd >= 0) {
        return fd;
    }
    fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
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
        ::sendto(fd, text, std::strlen(text), MSG_NOSIGNAL,
                 reinterpret_cast<const sockaddr*>(&address), sizeof address);
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
    // Generous buffer: a burst of trace lines must not be dropped while the reader is busy.
    int size = 4 << 20;
    ::setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
}

DebugListener::~DebugListener() {
    if (fd_ >= 0) {
        ::close(fd_);
        ::unlink(path_.c_str());
    }
}

bool DebugListener::Receive(std::string& line, int timeoutMs) {
    if (fd_ < 0) {
        return false;
    }
    pollfd waiting{fd_, POLLIN, 0};
    int ready;
    do {
        ready = ::poll(&waiting, 1, timeoutMs);
    } while (ready < 0 && errno == EINTR);
    if (ready <= 0) {
        return false;
    }
    char buffer[65536];
    const ssize_t received = ::recv(fd_, buffer, sizeof buffer, 0);
    if (received < 0) {
        SetLastErrorFromErrno();
        return false;
    }
    line.assign(buffer, static_cast<std::size_t>(received));
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
