#include "Pipes.h"

#include "Runtime.h"

#include <cerrno>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

constexpr const char kPipePrefix[] = "\\\\.\\pipe\\";
constexpr int kServerReadTimeoutSeconds = 10;

// "<runtime>/pipe/NAME" for "\\.\pipe\NAME", or empty with the last error set.
std::string pipePath(const char* name) {
    const std::size_t prefixLength = sizeof kPipePrefix - 1;
    if (name == nullptr || std::strncmp(name, kPipePrefix, prefixLength) != 0 ||
        !platform::IsValidObjectName(name + prefixLength)) {
        SetLastError(ERROR_INVALID_NAME);
        return {};
    }
    const std::string folder = platform::RuntimeSubfolder("pipe");
    if (folder.empty()) {
        return {};
    }
    std::string path = folder + "/" + (name + prefixLength);
    if (path.size() >= sizeof(sockaddr_un{}.sun_path)) {
        SetLastError(ERROR_FILENAME_EXCED_RANGE);
        return {};
    }
    return path;
}

sockaddr_un addressOf(const std::string& path) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    return address;
}

struct Listener {
    int fd = -1;
    std::string path;
    ~Listener() {
        if (fd >= 0) {
            ::close(fd);
        }
    }
};

std::mutex listenerGuard;
std::map<std::string, std::shared_ptr<Listener>> listeners;

class PipeObject final : public KernelObject {
public:
    PipeObject(std::shared_ptr<Listener> listener, int fd)
        : listener_(std::move(listener)), fd_(fd) {}
    ~PipeObject() override {
        if (fd_ >= 0) {
            ::close(fd_);
        }
    }

    std::shared_ptr<Listener> listener_; // null for a client end
    int fd_;                             // the connection, -1 until connected
};

PipeObject* asPipe(HANDLE handle) {
    auto* pipe = dynamic_cast<PipeObject*>(platform::LookUpHandle(handle));
    if (pipe == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
    }
    return pipe;
}

PipeObject* asConnectedPipe(HANDLE handle) {
    PipeObject* pipe = asPipe(handle);
    if (pipe != nullptr && pipe->fd_ < 0) {
        SetLastError(ERROR_BROKEN_PIPE);
        return nullptr;
    }
    return pipe;
}

} // namespace

HANDLE CreateNamedPipeA(const char* name, DWORD, DWORD, DWORD, DWORD, DWORD, DWORD,
                        SECURITY_ATTRIBUTES*) {
    const std::string path = pipePath(name);
    if (path.empty()) {
        return nullptr;
    }
    std::lock_guard lock(listenerGuard);
    std::shared_ptr<Listener>& listener = listeners[path];
    if (!listener) {
        auto fresh = std::make_shared<Listener>();
        fresh->path = path;
        fresh->fd = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
        const sockaddr_un address = addressOf(path);
        // A socket left by a process that ended without cleaning up would block the name.
        ::unlink(path.c_str());
        if (fresh->fd < 0 ||
            ::bind(fresh->fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
            ::listen(fresh->fd, 64) != 0) {
            SetLastErrorFromErrno();
            listeners.erase(path);
            return nullptr;
        }
        listener = std::move(fresh);
    }
    return platform::RegisterHandle(new PipeObject(listener, -1));
}

BOOL ConnectNamedPipe(HANDLE handle, void*) {
    PipeObject* pipe = asPipe(handle);
    if (pipe == nullptr || !pipe->listener_) {
        return FALSE;
    }
    if (pipe->fd_ >= 0) {
        SetLastError(ERROR_PIPE_CONNECTED);
        return FALSE;
    }
    int fd;
    do {
        fd = ::accept4(pipe->listener_->fd, nullptr, nullptr, SOCK_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        SetLastError(errno == EINVAL ? ERROR_BROKEN_PIPE : static_cast<DWORD>(errno));
        return FALSE;
    }
    timeval patience{kServerReadTimeoutSeconds, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &patience, sizeof patience);
    pipe->fd_ = fd;
    return TRUE;
}

BOOL DisconnectNamedPipe(HANDLE handle) {
    PipeObject* pipe = asPipe(handle);
    if (pipe == nullptr) {
        return FALSE;
    }
    if (pipe->fd_ >= 0) {
        ::shutdown(pipe->fd_, SHUT_RDWR);
    }
    return TRUE;
}

BOOL GetNamedPipeClientProcessId(HANDLE handle, DWORD* processId) {
    PipeObject* pipe = asConnectedPipe(handle);
    if (pipe == nullptr) {
        return FALSE;
    }
    ucred credentials{};
    socklen_t length = sizeof credentials;
    if (::getsockopt(pipe->fd_, SOL_SOCKET, SO_PEERCRED, &credentials, &length) != 0) {
        SetLastErrorFromErrno();
        return FALSE;
    }
    *processId = static_cast<DWORD>(credentials.pid);
    return TRUE;
}

BOOL CloseNamedPipeServer(const char* name) {
    const std::string path = pipePath(name);
    if (path.empty()) {
        return FALSE;
    }
    std::lock_guard lock(listenerGuard);
    auto found = listeners.find(path);
    if (found == listeners.end()) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return FALSE;
    }
    // shutdown wakes a thread blocked in accept; the descriptor itself closes with the last
    // instance that still refers to it.
    ::shutdown(found->second->fd, SHUT_RDWR);
    ::unlink(path.c_str());
    listeners.erase(found);
    return TRUE;
}

BOOL WaitNamedPipeA(const char* name, DWORD) {
    const std::string path = pipePath(name);
    if (path.empty()) {
        return FALSE;
    }
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0 || !S_ISSOCK(info.st_mode)) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return FALSE;
    }
    return TRUE;
}

HANDLE CreateFileA(const char* name, DWORD, DWORD, SECURITY_ATTRIBUTES*, DWORD, DWORD, HANDLE) {
    const std::string path = pipePath(name);
    if (path.empty()) {
        return INVALID_HANDLE_VALUE;
    }
    const int fd = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        SetLastErrorFromErrno();
        return INVALID_HANDLE_VALUE;
    }
    const sockaddr_un address = addressOf(path);
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        const int error = errno;
        ::close(fd);
        SetLastError(error == ENOENT         ? ERROR_FILE_NOT_FOUND
                     : error == ECONNREFUSED ? ERROR_PIPE_BUSY
                                             : static_cast<DWORD>(error));
        return INVALID_HANDLE_VALUE;
    }
    return platform::RegisterHandle(new PipeObject(nullptr, fd));
}

BOOL SetNamedPipeHandleState(HANDLE handle, DWORD*, DWORD*, DWORD*) {
    return asPipe(handle) != nullptr ? TRUE : FALSE;
}

BOOL ReadFile(HANDLE handle, void* buffer, DWORD size, DWORD* read, void*) {
    if (read != nullptr) {
        *read = 0;
    }
    PipeObject* pipe = asConnectedPipe(handle);
    if (pipe == nullptr) {
        return FALSE;
    }
    ssize_t received;
    do {
        received = ::recv(pipe->fd_, buffer, size, MSG_TRUNC);
    } while (received < 0 && errno == EINTR);
    if (received < 0) {
        SetLastError(errno == EAGAIN ? ERROR_SEM_TIMEOUT : static_cast<DWORD>(errno));
        return FALSE;
    }
    if (received == 0) {
        SetLastError(ERROR_BROKEN_PIPE);
        return FALSE;
    }
    const auto length = static_cast<std::size_t>(received);
    if (read != nullptr) {
        *read = static_cast<DWORD>(length < size ? length : size);
    }
    if (length > size) {
        SetLastError(ERROR_MORE_DATA);
        return FALSE;
    }
    return TRUE;
}

BOOL WriteFile(HANDLE handle, const void* buffer, DWORD size, DWORD* written, void*) {
    if (written != nullptr) {
        *written = 0;
    }
    PipeObject* pipe = asConnectedPipe(handle);
    if (pipe == nullptr) {
        return FALSE;
    }
    const ssize_t sent = ::send(pipe->fd_, buffer, size, MSG_NOSIGNAL);
    if (sent < 0) {
        SetLastError(errno == EPIPE ? ERROR_BROKEN_PIPE : static_cast<DWORD>(errno));
        return FALSE;
    }
    if (written != nullptr) {
        *written = static_cast<DWORD>(sent);
    }
    return TRUE;
}

BOOL FlushFileBuffers(HANDLE handle) {
    return asConnectedPipe(handle) != nullptr ? TRUE : FALSE;
}
