#include "Windows.h"

#include "DebugOutput.h"
#include "Runtime.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <poll.h>
#include <set>
#include <signal.h>
#include <string>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>

namespace {

constexpr unsigned kSlotBits = 10;
constexpr DWORD kSlotCount = 1u << kSlotBits;
constexpr std::uint32_t kPortMagic = 0x4F52504D; // "ORPM"

DWORD processOf(HWND window) {
    return window >> kSlotBits;
}
DWORD slotOf(HWND window) {
    return window & (kSlotCount - 1);
}

struct PortDatagram {
    std::uint32_t magic;
    HWND window;
    std::uint32_t message;
    std::uint32_t pad;
    std::uint64_t wParam;
    std::int64_t lParam;
};

std::recursive_mutex windowGuard;
std::array<platform::WindowMessageSink*, kSlotCount> windowTable{};
std::set<std::string> servedPorts; // runtime folders whose port this process serves

std::string portPath(const std::string& folder, DWORD processId) {
    return folder + "/port/" + std::to_string(processId);
}

bool fillAddress(const std::string& path, sockaddr_un& address) {
    if (path.size() >= sizeof address.sun_path) {
        return false;
    }
    std::memset(&address, 0, sizeof address);
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    return true;
}

BOOL deliverLocally(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    std::lock_guard lock(windowGuard);
    platform::WindowMessageSink* sink =
        processOf(window) == GetCurrentProcessId() ? windowTable[slotOf(window)] : nullptr;
    if (sink == nullptr) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return FALSE;
    }
    sink->Deliver(message, wParam, lParam);
    return TRUE;
}

// The messages another process may post here: the hand-over's wake-up of the solitary viewer
// (IV_DISPLAY_IMAGE of the messaging layer) and the request to raise a window that
// SetForegroundWindow sends with it. Keys and everything else are for this process only.
constexpr UINT kHandOverMessage = 0x800C;

bool isCrossProcessMessage(UINT message) {
    return message == kHandOverMessage || message == WM_ORVALEN_FOREGROUND;
}

bool sameFile(const struct stat& a, const struct stat& b) {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// True when process runs one of our programs: this program itself, or Orvalen_main or
// OrvalenViewer beside it. Files are compared by inode, so links and a folder reached by
// another path make no difference. A sender could still exec one of our programs right after
// sending; that gains it nothing it could not get by starting the program itself.
bool runsOneOfOurPrograms(pid_t process) {
    struct stat sender {};
    if (::stat(("/proc/" + std::to_string(process) + "/exe").c_str(), &sender) != 0) {
        return false;
    }
    struct stat own {};
    if (::stat("/proc/self/exe", &own) == 0 && sameFile(sender, own)) {
        return true;
    }
    char self[PATH_MAX];
    const ssize_t length = ::readlink("/proc/self/exe", self, sizeof self - 1);
    if (length <= 0) {
        return false;
    }
    std::string folder(self, static_cast<std::size_t>(length));
    folder.erase(folder.rfind('/') + 1);
    for (const char* program : {"Orvalen_main", "OrvalenViewer"}) {
        struct stat ours {};
        if (::stat((folder + program).c_str(), &ours) == 0 && sameFile(sender, ours)) {
            return true;
        }
    }
    return false;
}

// Receives one datagram with its sender's credentials (the kernel fills them in, since the
// port has SO_PASSCRED; a sender cannot claim another process's). False when recv failed for
// good; sender is 0 when no credentials came with it.
bool receiveDatagram(int fd, PortDatagram& datagram, ssize_t& received, ucred& sender,
                     sockaddr_un& from, socklen_t& fromLength) {
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(ucred))];
    iovec part{&datagram, sizeof datagram};
    msghdr header{};
    header.msg_name = &from;
    header.msg_namelen = sizeof from;
    header.msg_iov = &part;
    header.msg_iovlen = 1;
    header.msg_control = control;
    header.msg_controllen = sizeof control;
    received = ::recvmsg(fd, &header, MSG_CMSG_CLOEXEC);
    if (received < 0) {
        return errno == EINTR;
    }
    fromLength = header.msg_namelen;
    sender = ucred{0, static_cast<uid_t>(-1), static_cast<gid_t>(-1)};
    for (cmsghdr* item = CMSG_FIRSTHDR(&header); item != nullptr;
         item = CMSG_NXTHDR(&header, item)) {
        if (item->cmsg_level == SOL_SOCKET && item->cmsg_type == SCM_CREDENTIALS &&
            item->cmsg_len == CMSG_LEN(sizeof(ucred))) {
            std::memcpy(&sender, CMSG_DATA(item), sizeof sender);
        }
    }
    return true;
}

// Serves this process's message port for the current runtime folder (once per folder). The
// port is open to every process of the user, so it acts only on the cross-process messages
// above and only when they come from one of our programs; anything else is dropped.
void startPort() {
    const std::string folder = platform::RuntimeSubfolder("port");
    if (folder.empty()) {
        return;
    }
    {
        std::lock_guard lock(windowGuard);
        if (!servedPorts.insert(folder).second) {
            return;
        }
    }
    const std::string path = folder + "/" + std::to_string(GetCurrentProcessId());
    sockaddr_un address{};
    const int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    const int on = 1;
    // Credentials are asked for before the port has a name, so no datagram arrives without.
    if (fd < 0 || !fillAddress(path, address) ||
        ::setsockopt(fd, SOL_SOCKET, SO_PASSCRED, &on, sizeof on) != 0) {
        if (fd >= 0) {
            ::close(fd);
        }
        return;
    }
    ::unlink(path.c_str());
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        ::close(fd);
        return;
    }
    std::thread([fd] {
        PortDatagram datagram{};
        for (;;) {
            ssize_t received = 0;
            ucred sender{};
            sockaddr_un from{};
            socklen_t fromLength = 0;
            if (!receiveDatagram(fd, datagram, received, sender, from, fromLength)) {
                return;
            }
            // Message 0 is IsWindow's probe and carries nothing.
            if (received != sizeof datagram || datagram.magic != kPortMagic ||
                datagram.message == 0) {
                continue;
            }
            const bool trusted = isCrossProcessMessage(datagram.message) && sender.pid > 0 &&
                                 sender.uid == ::getuid() && runsOneOfOurPrograms(sender.pid);
            // The sender may go now; the answer is the same whatever was decided.
            if (fromLength > sizeof(sa_family_t)) {
                const char seen = 1;
                ::sendto(fd, &seen, 1, MSG_DONTWAIT | MSG_NOSIGNAL,
                         reinterpret_cast<const sockaddr*>(&from), fromLength);
            }
            if (!trusted) {
                OutputDebugStringA(("message port dropped message " +
                                    std::to_string(datagram.message) + " from process " +
                                    std::to_string(sender.pid))
                                       .c_str());
                continue;
            }
            deliverLocally(datagram.window, datagram.message, static_cast<WPARAM>(datagram.wParam),
                           static_cast<LPARAM>(datagram.lParam));
        }
    }).detach();
}

// How long a post waits for the port to say it has looked at the sender. The port reads the
// sender's program from /proc while the sender still runs, so the sender stays until then.
constexpr int kPortAnswerPatienceMs = 2000;

// Whether the process has ended: gone, or a zombie whose parent has not reaped it yet. Its port
// can then never answer, though a datagram sent before its end sits unread in its socket.
bool processHasEnded(DWORD process) {
    if (::kill(static_cast<pid_t>(process), 0) != 0) {
        return errno == ESRCH;
    }
    std::ifstream stat("/proc/" + std::to_string(process) + "/stat");
    std::string line;
    std::getline(stat, line);
    const std::size_t name_end = line.rfind(')');
    return name_end != std::string::npos && name_end + 2 < line.size() &&
           (line[name_end + 2] == 'Z' || line[name_end + 2] == 'X');
}

// Until the port answers, the patience runs out or the receiving process ends; true on an
// answer.
bool awaitPortAnswer(int fd, DWORD process) {
    pollfd answer{fd, POLLIN, 0};
    const auto giveUp =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(kPortAnswerPatienceMs);
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                              giveUp - std::chrono::steady_clock::now())
                              .count();
        if (left <= 0) {
            return false;
        }
        const int ready = ::poll(&answer, 1, static_cast<int>(std::min<long long>(left, 50)));
        if (ready > 0) {
            return true;
        }
        if (ready < 0 && errno != EINTR) {
            return false;
        }
        if (ready == 0 && processHasEnded(process)) {
            return false;
        }
    }
}

BOOL postToOtherProcess(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    const std::string folder = platform::RuntimeFolder();
    sockaddr_un address{};
    if (folder.empty() || !fillAddress(portPath(folder, processOf(window)), address)) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return FALSE;
    }
    // A socket of its own per post, with an address the port can answer to (autobind), so
    // that an answer never reaches another post.
    const int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    const sa_family_t family = AF_UNIX;
    if (fd < 0 || ::bind(fd, reinterpret_cast<const sockaddr*>(&family), sizeof family) != 0) {
        SetLastErrorFromErrno();
        if (fd >= 0) {
            ::close(fd);
        }
        return FALSE;
    }
    const PortDatagram datagram{kPortMagic,
                                window,
                                message,
                                0,
                                static_cast<std::uint64_t>(wParam),
                                static_cast<std::int64_t>(lParam)};
    if (::sendto(fd, &datagram, sizeof datagram, MSG_NOSIGNAL,
                 reinterpret_cast<const sockaddr*>(&address), sizeof address) < 0) {
        // No socket (ENOENT) or nobody reading it (ECONNREFUSED): the process has ended.
        ::close(fd);
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return FALSE;
    }
    // A process that is ending still has its socket: the datagram is taken in, and never
    // read. Only the port's answer says the message reached a window that will act on it.
    const bool answered = message == 0 || awaitPortAnswer(fd, processOf(window));
    ::close(fd);
    if (!answered) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return FALSE;
    }
    return TRUE;
}

// Thread queues.
struct ThreadQueue {
    std::mutex guard;
    std::condition_variable arrived;
    std::deque<MSG> messages;
};

std::mutex queueGuard;
std::map<DWORD, std::shared_ptr<ThreadQueue>> threadQueues;

std::shared_ptr<ThreadQueue> ownQueue() {
    thread_local std::shared_ptr<ThreadQueue> queue;
    if (!queue) {
        queue = std::make_shared<ThreadQueue>();
        std::lock_guard lock(queueGuard);
        threadQueues[GetCurrentThreadId()] = queue;
    }
    return queue;
}

} // namespace

namespace platform {

HWND RegisterWindow(WindowMessageSink* sink) {
    const DWORD processId = GetCurrentProcessId();
    if (processId >= (1u << (32 - kSlotBits))) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return 0;
    }
    startPort();
    std::lock_guard lock(windowGuard);
    for (DWORD slot = 1; slot < kSlotCount; ++slot) {
        if (windowTable[slot] == nullptr) {
            windowTable[slot] = sink;
            return (processId << kSlotBits) | slot;
        }
    }
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return 0;
}

void UnregisterWindow(HWND window) {
    std::lock_guard lock(windowGuard);
    if (processOf(window) == GetCurrentProcessId()) {
        windowTable[slotOf(window)] = nullptr;
    }
}

} // namespace platform

BOOL PostMessageA(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (window == 0 || slotOf(window) == 0) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return FALSE;
    }
    if (processOf(window) == GetCurrentProcessId()) {
        return deliverLocally(window, message, wParam, lParam);
    }
    return postToOtherProcess(window, message, wParam, lParam);
}

BOOL IsWindow(HWND window) {
    if (window == 0 || slotOf(window) == 0) {
        return FALSE;
    }
    if (processOf(window) == GetCurrentProcessId()) {
        std::lock_guard lock(windowGuard);
        return windowTable[slotOf(window)] != nullptr;
    }
    // A process that has ended leaves at most a socket nobody reads: the probe is refused.
    // WM_NULL does nothing at the receiving end.
    return postToOtherProcess(window, 0, 0, 0);
}

DWORD GetWindowThreadProcessId(HWND window, DWORD* processId) {
    if (processId != nullptr) {
        *processId = processOf(window);
    }
    return 0;
}

namespace {

// The sink of a window of this process, or null. Used on the window's own thread, which is
// also the only thread that unregisters it.
platform::WindowMessageSink* localSink(HWND window) {
    if (window == 0 || processOf(window) != GetCurrentProcessId()) {
        return nullptr;
    }
    std::lock_guard lock(windowGuard);
    return windowTable[slotOf(window)];
}

} // namespace

BOOL SetForegroundWindow(HWND window) {
    if (platform::WindowMessageSink* sink = localSink(window)) {
        sink->RaiseToFront();
        return TRUE;
    }
    return PostMessageA(window, WM_ORVALEN_FOREGROUND, 0, 0);
}

BOOL BringWindowToTop(HWND window) {
    platform::WindowMessageSink* sink = localSink(window);
    if (sink == nullptr) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return FALSE;
    }
    sink->RaiseToFront();
    return TRUE;
}

BOOL IsIconic(HWND window) {
    platform::WindowMessageSink* sink = localSink(window);
    return sink != nullptr && sink->IsMinimized();
}

BOOL ShowWindow(HWND window, int command) {
    platform::WindowMessageSink* sink = localSink(window);
    if (sink == nullptr) {
        return FALSE;
    }
    sink->Show(command);
    return TRUE;
}

HWND GetForegroundWindow() {
    const DWORD processId = GetCurrentProcessId();
    std::lock_guard lock(windowGuard);
    for (DWORD slot = 1; slot < kSlotCount; ++slot) {
        if (windowTable[slot] != nullptr && windowTable[slot]->IsForeground()) {
            return (processId << kSlotBits) | slot;
        }
    }
    return 0;
}

BOOL PostThreadMessageA(DWORD threadId, UINT message, WPARAM wParam, LPARAM lParam) {
    std::shared_ptr<ThreadQueue> queue;
    {
        std::lock_guard lock(queueGuard);
        auto found = threadQueues.find(threadId);
        if (found != threadQueues.end()) {
            queue = found->second;
        }
    }
    if (!queue) {
        SetLastError(ERROR_INVALID_THREAD_ID);
        return FALSE;
    }
    {
        std::lock_guard lock(queue->guard);
        queue->messages.push_back(MSG{0, message, wParam, lParam});
    }
    queue->arrived.notify_all();
    return TRUE;
}

BOOL PeekMessageA(MSG* message, HWND, UINT, UINT, UINT removeFlag) {
    std::shared_ptr<ThreadQueue> queue = ownQueue();
    std::lock_guard lock(queue->guard);
    if (queue->messages.empty()) {
        return FALSE;
    }
    if (message != nullptr) {
        *message = queue->messages.front();
    }
    if (removeFlag & PM_REMOVE) {
        queue->messages.pop_front();
    }
    return TRUE;
}

BOOL WaitThreadMessage(MSG* message, DWORD ms) {
    std::shared_ptr<ThreadQueue> queue = ownQueue();
    std::unique_lock lock(queue->guard);
    auto ready = [&] { return !queue->messages.empty(); };
    if (ms == INFINITE) {
        queue->arrived.wait(lock, ready);
    } else if (!queue->arrived.wait_for(lock, std::chrono::milliseconds(ms), ready)) {
        return FALSE;
    }
    if (message != nullptr) {
        *message = queue->messages.front();
    }
    queue->messages.pop_front();
    return TRUE;
}

BOOL GetMessageA(MSG* message, HWND, UINT, UINT) {
    return WaitThreadMessage(message, INFINITE);
}
