#include "Kernel.h"

#include "Runtime.h"
#include "Timing.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <fcntl.h>
#include <map>
#include <memory>
#include <mutex>
#include <pthread.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <unordered_set>

DWORD KernelObject::Wait(DWORD) {
    SetLastError(ERROR_INVALID_HANDLE);
    return WAIT_FAILED;
}

namespace platform {
namespace {

std::mutex& handleGuard() {
    static std::mutex guard;
    return guard;
}
std::unordered_set<KernelObject*>& openHandles() {
    static std::unordered_set<KernelObject*> handles;
    return handles;
}

} // namespace

HANDLE RegisterHandle(KernelObject* object) {
    std::lock_guard lock(handleGuard());
    openHandles().insert(object);
    return object;
}

KernelObject* LookUpHandle(HANDLE handle) {
    std::lock_guard lock(handleGuard());
    if (handle == nullptr || openHandles().count(handle) == 0) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    return handle;
}

} // namespace platform

BOOL CloseHandle(HANDLE handle) {
    {
        std::lock_guard lock(platform::handleGuard());
        if (handle == nullptr || platform::openHandles().erase(handle) == 0) {
            SetLastError(ERROR_INVALID_HANDLE);
            return FALSE;
        }
    }
    delete handle;
    return TRUE;
}

DWORD WaitForSingleObject(HANDLE handle, DWORD ms) {
    KernelObject* object = platform::LookUpHandle(handle);
    if (object == nullptr) {
        return WAIT_FAILED;
    }
    return object->Wait(ms);
}

DWORD WaitForSingleObjectEx(HANDLE handle, DWORD ms, BOOL) {
    return WaitForSingleObject(handle, ms);
}

// ---------------------------------------------------------------------------------------------
// Events

namespace {

class NamedEvent final : public KernelObject {
public:
    explicit NamedEvent(int fd) : fd_(fd) {}
    ~NamedEvent() override { ::close(fd_); }

    BOOL Set() {
        std::lock_guard lock(guard_);
        if (held_) {
            return TRUE;
        }
        for (int attempt = 0;; ++attempt) {
            if (::flock(fd_, LOCK_EX | LOCK_NB) == 0) {
                held_ = true;
                return TRUE;
            }
            if (errno != EWOULDBLOCK) {
                SetLastErrorFromErrno();
                return FALSE;
            }
            // Either another handle holds it set already, or a waiter is testing it with a
            // shared lock for a moment. A shared lock of our own tells the two apart.
            if (::flock(fd_, LOCK_SH | LOCK_NB) != 0) {
                return TRUE;
            }
            ::flock(fd_, LOCK_UN);
            if (attempt > 8) {
                Sleep(1);
            }
        }
    }

    BOOL Reset() {
        std::lock_guard lock(guard_);
        if (held_) {
            ::flock(fd_, LOCK_UN);
            held_ = false;
        }
        return TRUE;
    }

    DWORD Wait(DWORD ms) override {
        using Clock = std::chrono::steady_clock;
        const auto start = Clock::now();
        for (;;) {
            switch (probe()) {
            case 1:
                return WAIT_OBJECT_0;
            case -1:
                return WAIT_FAILED;
            default:
                break;
            }
            if (ms != INFINITE && Clock::now() - start >= std::chrono::milliseconds(ms)) {
                return WAIT_TIMEOUT;
            }
            Sleep(1);
        }
    }

private:
    // 1 signalled, 0 not, -1 failure.
    int probe() {
        std::lock_guard lock(guard_);
        if (held_) {
            return 1;
        }
        if (::flock(fd_, LOCK_SH | LOCK_NB) == 0) {
            ::flock(fd_, LOCK_UN);
            return 0;
        }
        if (errno == EWOULDBLOCK) {
            return 1;
        }
        SetLastErrorFromErrno();
        return -1;
    }

    int fd_;
    bool held_ = false;
    std::mutex guard_;
};

std::string eventPath(const char* name) {
    if (!platform::IsValidObjectName(name)) {
        return {};
    }
    const std::string folder = platform::RuntimeSubfolder("event");
    return folder.empty() ? folder : folder + "/" + name;
}

NamedEvent* asEvent(HANDLE handle) {
    auto* event = dynamic_cast<NamedEvent*>(platform::LookUpHandle(handle));
    if (event == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
    }
    return event;
}

} // namespace

HANDLE CreateEventA(SECURITY_ATTRIBUTES*, BOOL, BOOL initialState, const char* name) {
    const std::string path = eventPath(name);
    if (path.empty()) {
        return nullptr;
    }
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
    const bool existed = fd < 0 && errno == EEXIST;
    const int opened = fd >= 0   ? fd
                       : existed ? ::open(path.c_str(), O_RDWR | O_CLOEXEC | O_NOFOLLOW)
                                 : -1;
    if (opened < 0) {
        SetLastErrorFromErrno();
        return nullptr;
    }
    auto* event = new NamedEvent(opened);
    if (initialState && !event->Set()) {
        delete event;
        return nullptr;
    }
    SetLastError(existed ? ERROR_ALREADY_EXISTS : ERROR_SUCCESS);
    return platform::RegisterHandle(event);
}

HANDLE OpenEventA(DWORD, BOOL, const char* name) {
    const std::string path = eventPath(name);
    if (path.empty()) {
        return nullptr;
    }
    const int fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0) {
        SetLastErrorFromErrno();
        return nullptr;
    }
    return platform::RegisterHandle(new NamedEvent(fd));
}

BOOL SetEvent(HANDLE handle) {
    NamedEvent* event = asEvent(handle);
    return event != nullptr ? event->Set() : FALSE;
}

BOOL ResetEvent(HANDLE handle) {
    NamedEvent* event = asEvent(handle);
    return event != nullptr ? event->Reset() : FALSE;
}

// ---------------------------------------------------------------------------------------------
// Mutexes

namespace {

struct SharedMutexBlock {
    std::atomic<std::uint32_t> state; // 0 new, 1 being set up, 2 ready
    pthread_mutex_t mutex;
};
static_assert(std::atomic<std::uint32_t>::is_always_lock_free);

constexpr std::uint32_t kMutexNew = 0;
constexpr std::uint32_t kMutexSettingUp = 1;
constexpr std::uint32_t kMutexReady = 2;

void setUpSharedMutex(SharedMutexBlock* block) {
    pthread_mutexattr_t attributes;
    pthread_mutexattr_init(&attributes);
    pthread_mutexattr_setpshared(&attributes, PTHREAD_PROCESS_SHARED);
    pthread_mutexattr_setrobust(&attributes, PTHREAD_MUTEX_ROBUST);
    pthread_mutexattr_settype(&attributes, PTHREAD_MUTEX_RECURSIVE);
    pthread_mutex_init(&block->mutex, &attributes);
    pthread_mutexattr_destroy(&attributes);
    block->state.store(kMutexReady);
}

// Maps the block of path once per process and keeps it mapped.
SharedMutexBlock* mapSharedMutex(const std::string& path) {
    static std::mutex guard;
    static std::map<std::string, SharedMutexBlock*> mapped;
    std::lock_guard lock(guard);
    if (auto found = mapped.find(path); found != mapped.end()) {
        return found->second;
    }
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) {
        SetLastErrorFromErrno();
        return nullptr;
    }
    struct stat info {};
    // Extending only ever adds zeros, so a late ftruncate cannot clobber a block in use.
    if (::fstat(fd, &info) != 0 || (info.st_size < static_cast<off_t>(sizeof(SharedMutexBlock)) &&
                                    ::ftruncate(fd, sizeof(SharedMutexBlock)) != 0)) {
        SetLastErrorFromErrno();
        ::close(fd);
        return nullptr;
    }
    void* memory =
        ::mmap(nullptr, sizeof(SharedMutexBlock), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    ::close(fd);
    if (memory == MAP_FAILED) {
        SetLastErrorFromErrno();
        return nullptr;
    }
    auto* block = static_cast<SharedMutexBlock*>(memory);
    std::uint32_t expected = kMutexNew;
    if (block->state.compare_exchange_strong(expected, kMutexSettingUp)) {
        setUpSharedMutex(block);
    } else {
        // Another process is setting it up; one that died half-way leaves it to us.
        for (int waited = 0; block->state.load() != kMutexReady; ++waited) {
            if (waited == 2000) {
                setUpSharedMutex(block);
                break;
            }
            Sleep(1);
        }
    }
    mapped.emplace(path, block);
    return block;
}

class NamedMutex final : public KernelObject {
public:
    explicit NamedMutex(SharedMutexBlock* block) : block_(block) {}

    DWORD Wait(DWORD ms) override {
        int result;
        if (ms == INFINITE) {
            result = pthread_mutex_lock(&block_->mutex);
        } else {
            timespec deadline{};
            clock_gettime(CLOCK_MONOTONIC, &deadline);
            deadline.tv_sec += ms / 1000;
            deadline.tv_nsec += static_cast<long>(ms % 1000) * 1000000L;
            if (deadline.tv_nsec >= 1000000000L) {
                deadline.tv_sec += 1;
                deadline.tv_nsec -= 1000000000L;
            }
            result = pthread_mutex_clocklock(&block_->mutex, CLOCK_MONOTONIC, &deadline);
        }
        switch (result) {
        case 0:
            return WAIT_OBJECT_0;
        case ETIMEDOUT:
            return WAIT_TIMEOUT;
        case EOWNERDEAD:
            // We own it now; mark it consistent so later waits succeed normally.
            pthread_mutex_consistent(&block_->mutex);
            return WAIT_ABANDONED;
        default:
            SetLastError(static_cast<DWORD>(result));
            return WAIT_FAILED;
        }
    }

    BOOL Release() {
        const int result = pthread_mutex_unlock(&block_->mutex);
        if (result != 0) {
            SetLastError(result == EPERM ? ERROR_NOT_OWNER : static_cast<DWORD>(result));
            return FALSE;
        }
        return TRUE;
    }

private:
    SharedMutexBlock* block_;
};

} // namespace

HANDLE CreateMutexA(SECURITY_ATTRIBUTES*, BOOL initialOwner, const char* name) {
    if (!platform::IsValidObjectName(name)) {
        return nullptr;
    }
    const std::string folder = platform::RuntimeSubfolder("mutex");
    if (folder.empty()) {
        return nullptr;
    }
    SharedMutexBlock* block = mapSharedMutex(folder + "/" + name);
    if (block == nullptr) {
        return nullptr;
    }
    auto* mutex = new NamedMutex(block);
    if (initialOwner) {
        mutex->Wait(INFINITE);
    }
    SetLastError(ERROR_SUCCESS);
    return platform::RegisterHandle(mutex);
}

BOOL ReleaseMutex(HANDLE handle) {
    auto* mutex = dynamic_cast<NamedMutex*>(platform::LookUpHandle(handle));
    if (mutex == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    return mutex->Release();
}

// ---------------------------------------------------------------------------------------------
// Threads

namespace {

struct ThreadState {
    std::mutex guard;
    std::condition_variable changed;
    DWORD id = 0;
    bool started = false;
    bool finished = false;
};

class ThreadObject final : public KernelObject {
public:
    explicit ThreadObject(std::shared_ptr<ThreadState> state) : state_(std::move(state)) {}

    DWORD Wait(DWORD ms) override {
        std::unique_lock lock(state_->guard);
        auto done = [this] { return state_->finished; };
        if (ms == INFINITE) {
            state_->changed.wait(lock, done);
            return WAIT_OBJECT_0;
        }
        return state_->changed.wait_for(lock, std::chrono::milliseconds(ms), done) ? WAIT_OBJECT_0
                                                                                   : WAIT_TIMEOUT;
    }

private:
    std::shared_ptr<ThreadState> state_;
};

} // namespace

HANDLE CreateThread(SECURITY_ATTRIBUTES*, std::size_t, LPTHREAD_START_ROUTINE start,
                    void* parameter, DWORD, DWORD* threadId) {
    auto state = std::make_shared<ThreadState>();
    try {
        std::thread([state, start, parameter] {
            {
                std::lock_guard lock(state->guard);
                state->id = GetCurrentThreadId();
                state->started = true;
            }
            state->changed.notify_all();
            start(parameter);
            {
                std::lock_guard lock(state->guard);
                state->finished = true;
            }
            state->changed.notify_all();
        }).detach();
    } catch (const std::system_error& error) {
        SetLastError(static_cast<DWORD>(error.code().value()));
        return nullptr;
    }
    std::unique_lock lock(state->guard);
    state->changed.wait(lock, [&] { return state->started; });
    if (threadId != nullptr) {
        *threadId = state->id;
    }
    lock.unlock();
    return platform::RegisterHandle(new ThreadObject(state));
}

LONG InterlockedIncrement(volatile LONG* value) {
    return __atomic_add_fetch(value, 1, __ATOMIC_SEQ_CST);
}
