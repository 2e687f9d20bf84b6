#include "Kernel.h"

#include "DebugOutput.h"
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

// The shared object of a named mutex. Every process of the user can write the file, and one
// that crashed or misbehaved may leave anything in it: the header and the mutex's own kind word
// are checked on every open, and a file that fails is replaced, never used.
struct SharedMutexBlock {
    std::uint32_t magic;
    std::uint32_t version;
    std::uint32_t size; // sizeof(SharedMutexBlock) of the writer
    std::uint32_t ownerUid;
    pthread_mutex_t mutex;
};

constexpr std::uint32_t kMutexMagic = 0x584D524F; // "ORMX"
constexpr std::uint32_t kMutexVersion = 1;

void initialiseMutex(pthread_mutex_t* mutex) {
    pthread_mutexattr_t attributes;
    pthread_mutexattr_init(&attributes);
    pthread_mutexattr_setpshared(&attributes, PTHREAD_PROCESS_SHARED);
    pthread_mutexattr_setrobust(&attributes, PTHREAD_MUTEX_ROBUST);
    pthread_mutexattr_settype(&attributes, PTHREAD_MUTEX_RECURSIVE);
    pthread_mutex_init(mutex, &attributes);
    pthread_mutexattr_destroy(&attributes);
}

// The kind word (type, robustness, process sharing) that initialiseMutex leaves: garbage in the
// mutex itself almost never matches it. The word is never changed by locking.
int expectedMutexKind() {
    static const int kind = [] {
        pthread_mutex_t reference;
        initialiseMutex(&reference);
        const int value = reference.__data.__kind;
        pthread_mutex_destroy(&reference);
        return value;
    }();
    return kind;
}

bool isSoundBlock(const SharedMutexBlock* block) {
    return block->magic == kMutexMagic && block->version == kMutexVersion &&
           block->size == sizeof(SharedMutexBlock) && block->ownerUid == ::getuid() &&
           block->mutex.__data.__kind == expectedMutexKind();
}

// One mapped block and the file it came from.
struct MappedMutex {
    SharedMutexBlock* block = nullptr;
    dev_t device = 0;
    ino_t inode = 0;
};

// Maps fd's block when the file is one of ours and sound; null otherwise.
SharedMutexBlock* mapIfSound(int fd, struct stat& info) {
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) || info.st_uid != ::getuid() ||
        (info.st_mode & 077) != 0 || info.st_size != static_cast<off_t>(sizeof(SharedMutexBlock))) {
        return nullptr;
    }
    void* memory =
        ::mmap(nullptr, sizeof(SharedMutexBlock), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (memory == MAP_FAILED) {
        return nullptr;
    }
    auto* block = static_cast<SharedMutexBlock*>(memory);
    if (!isSoundBlock(block)) {
        ::munmap(memory, sizeof(SharedMutexBlock));
        return nullptr;
    }
    return block;
}

// Writes a fresh block to a private file and renames it over path, so that no process ever
// maps a half-written one. Called with the repair lock held.
bool replaceMutexFile(const std::string& path) {
    const std::string folder = platform::RuntimeFolder();
    if (folder.empty()) {
        return false;
    }
    const std::string fresh = folder + "/mutex-new-" + std::to_string(GetCurrentProcessId());
    ::unlink(fresh.c_str());
    const int fd = ::open(fresh.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) {
        SetLastErrorFromErrno();
        return false;
    }
    SharedMutexBlock block{};
    block.magic = kMutexMagic;
    block.version = kMutexVersion;
    block.size = sizeof(SharedMutexBlock);
    block.ownerUid = ::getuid();
    // A process-shared mutex holds no addresses, so one set up here and copied into the file
    // is the same as one set up in place.
    initialiseMutex(&block.mutex);
    const bool written = ::write(fd, &block, sizeof block) == static_cast<ssize_t>(sizeof block);
    ::close(fd);
    if (!written) {
        SetLastErrorFromErrno();
        ::unlink(fresh.c_str());
        return false;
    }
    if (::rename(fresh.c_str(), path.c_str()) != 0) {
        // A folder in the way is not replaced by rename: take it away if it is empty.
        if (errno != EISDIR || ::rmdir(path.c_str()) != 0 ||
            ::rename(fresh.c_str(), path.c_str()) != 0) {
            SetLastErrorFromErrno();
            ::unlink(fresh.c_str());
            return false;
        }
    }
    return true;
}

// Opens path's block, replacing a missing or unsound file first. Checking and replacing run
// under an exclusive flock on "<runtime>/mutex.lock", so that processes racing to repair one
// file all end on the same new one. The mapping is never unmapped (see CreateMutexA).
MappedMutex openSharedMutex(const std::string& path) {
    const std::string folder = platform::RuntimeFolder();
    if (folder.empty()) {
        return {};
    }
    const std::string lockPath = folder + "/mutex.lock";
    int lockFd =
        ::open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK, 0600);
    if (lockFd < 0 && (errno == ELOOP || errno == EISDIR || errno == ENXIO)) {
        // Something else sits where the lock file belongs: it carries no state, so it goes.
        ::unlink(lockPath.c_str());
        ::rmdir(lockPath.c_str());
        lockFd =
            ::open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK, 0600);
    }
    if (lockFd < 0) {
        SetLastErrorFromErrno();
        return {};
    }
    while (::flock(lockFd, LOCK_EX) != 0) {
        if (errno != EINTR) {
            SetLastErrorFromErrno();
            ::close(lockFd);
            return {};
        }
    }
    MappedMutex mapped;
    for (int attempt = 0; attempt < 2 && mapped.block == nullptr; ++attempt) {
        const int fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
        if (fd >= 0) {
            struct stat info {};
            mapped.block = mapIfSound(fd, info);
            mapped.device = info.st_dev;
            mapped.inode = info.st_ino;
            ::close(fd);
        }
        if (mapped.block == nullptr && attempt == 0) {
            if (fd >= 0 || errno != ENOENT) {
                OutputDebugStringA(("replacing the damaged mutex file " + path).c_str());
            }
            if (!replaceMutexFile(path)) {
                break;
            }
        }
    }
    ::close(lockFd); // drops the flock
    if (mapped.block == nullptr) {
        SetLastError(ERROR_ACCESS_DENIED);
    }
    return mapped;
}

// The block of path, mapped once per process while it stays sound and path still names its
// file; otherwise path is opened (and repaired) again, so that this process follows a
// replacement made by another. Mappings are kept for the life of the process: a robust mutex
// must stay mapped while the kernel may walk its owner's list.
SharedMutexBlock* mapSharedMutex(const std::string& path) {
    static std::mutex guard;
    static std::map<std::string, MappedMutex> mapped;
    std::lock_guard lock(guard);
    if (auto found = mapped.find(path); found != mapped.end()) {
        struct stat info {};
        if (isSoundBlock(found->second.block) && ::lstat(path.c_str(), &info) == 0 &&
            info.st_dev == found->second.device && info.st_ino == found->second.inode) {
            return found->second.block;
        }
    }
    const MappedMutex opened = openSharedMutex(path);
    if (opened.block != nullptr) {
        mapped[path] = opened;
    }
    return opened.block;
}

class NamedMutex final : public KernelObject {
public:
    NamedMutex(std::string path, SharedMutexBlock* block) : path_(std::move(path)), block_(block) {}

    DWORD Wait(DWORD ms) override {
        SharedMutexBlock* block = block_.load();
        if (!isSoundBlock(block)) {
            // Overwritten since it was opened: go over to the repaired file.
            block = mapSharedMutex(path_);
            if (block == nullptr) {
                return WAIT_FAILED;
            }
            block_.store(block);
        }
        int result;
        if (ms == INFINITE) {
            result = pthread_mutex_lock(&block->mutex);
        } else {
            timespec deadline{};
            clock_gettime(CLOCK_MONOTONIC, &deadline);
            deadline.tv_sec += ms / 1000;
            deadline.tv_nsec += static_cast<long>(ms % 1000) * 1000000L;
            if (deadline.tv_nsec >= 1000000000L) {
                deadline.tv_sec += 1;
                deadline.tv_nsec -= 1000000000L;
            }
            result = pthread_mutex_clocklock(&block->mutex, CLOCK_MONOTONIC, &deadline);
        }
        switch (result) {
        case 0:
            return WAIT_OBJECT_0;
        case ETIMEDOUT:
            return WAIT_TIMEOUT;
        case EOWNERDEAD:
            // We own it now; mark it consistent so later waits succeed normally.
            pthread_mutex_consistent(&block->mutex);
            return WAIT_ABANDONED;
        default:
            SetLastError(static_cast<DWORD>(result));
            return WAIT_FAILED;
        }
    }

    BOOL Release() {
        const int result = pthread_mutex_unlock(&block_.load()->mutex);
        if (result != 0) {
            SetLastError(result == EPERM ? ERROR_NOT_OWNER : static_cast<DWORD>(result));
            return FALSE;
        }
        return TRUE;
    }

private:
    const std::string path_;
    std::atomic<SharedMutexBlock*> block_; // handles are shared by threads
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
    const std::string path = folder + "/" + name;
    SharedMutexBlock* block = mapSharedMutex(path);
    if (block == nullptr) {
        return nullptr;
    }
    auto* mutex = new NamedMutex(path, block);
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
