#include "ReadAhead.h"

#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <exception>
#include <system_error>

FileIdentity FileIdentity::Of(const std::string& path) {
    FileIdentity identity;
    struct stat status {};
    if (::stat(path.c_str(), &status) != 0) {
        return identity;
    }
    identity.exists = true;
    identity.device = status.st_dev;
    identity.inode = status.st_ino;
    identity.size = status.st_size;
    identity.modified_ns = status.st_mtim.tv_sec * 1000000000LL + status.st_mtim.tv_nsec;
    identity.changed_ns = status.st_ctim.tv_sec * 1000000000LL + status.st_ctim.tv_nsec;
    return identity;
}

std::size_t DecodedBytes(const engine::Image& image) {
    std::size_t bytes = image.columns * image.rows * 4;
    if (image.reduced) {
        bytes += DecodedBytes(*image.reduced);
    }
    return bytes;
}

namespace {

// What decoding path will take at most, from its header: a record larger than the decoder
// keeps in memory gets a reduced copy of at most a quarter of it beside it. 0 when the
// header cannot be read (then nothing is worth reading ahead).
std::size_t estimatedBytes(const std::string& path) {
    const engine::DecodeResult header = engine::PingImageFile(path);
    if (!header.image) {
        return 0;
    }
    const std::size_t bytes = header.image->columns * header.image->rows * 4;
    return bytes > (std::size_t{1} << 30) ? bytes + bytes / 4 : bytes;
}

// A record held for view serves a request for wanted: the same view, or the whole image.
bool serves(engine::ViewSize held, const engine::DecodeResult& result, engine::ViewSize wanted) {
    return (held.columns == wanted.columns && held.rows == wanted.rows) || !result.reduced;
}

} // namespace

ReadAhead::ReadAhead(std::size_t budget)
    : budget_(budget),
      decoder_([](const std::string& path, const std::atomic<bool>* cancel, engine::ViewSize view) {
          return engine::DecodeImageFile(path, cancel, view);
      }) {}

ReadAhead::~ReadAhead() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
        for (const EntryPtr& entry : entries_) {
            entry->cancel = true;
        }
    }
    changed_.notify_all();
    if (worker_.joinable()) {
        worker_.join();
    }
}

void ReadAhead::SetBudget(std::size_t bytes) {
    std::vector<engine::DecodeResult> trash;
    {
        std::lock_guard lock(mutex_);
        budget_ = bytes;
        // The newest are what the user goes to next: the oldest go first.
        while (used_ > budget_ && !entries_.empty()) {
            removeLocked(entries_.front(), trash);
        }
    }
    changed_.notify_all();
}

std::size_t ReadAhead::Budget() const {
    std::lock_guard lock(mutex_);
    return budget_;
}

void ReadAhead::SetDecoder(Decoder decoder) {
    std::lock_guard lock(mutex_);
    decoder_ = std::move(decoder);
}

void ReadAhead::Fetch(const std::string& path, engine::ViewSize view) {
    std::vector<engine::DecodeResult> trash;
    {
        std::lock_guard lock(mutex_);
        if (budget_ == 0 || stopping_) {
            return;
        }
        if (std::any_of(entries_.begin(), entries_.end(),
                        [&](const EntryPtr& entry) { return entry->path == path; })) {
            return; // held or on its way already
        }
        for (const EntryPtr& entry : std::vector<EntryPtr>(entries_.begin(), entries_.end())) {
            if (entry->state == State::Queued) {
                removeLocked(entry, trash);
            }
        }
        auto entry = std::make_shared<Entry>();
        entry->path = path;
        entry->view = view;
        entries_.push_back(std::move(entry));
        if (!worker_.joinable()) {
            try {
                worker_ = std::thread([this] { work(); });
            } catch (const std::system_error&) {
                entries_.pop_back(); // no thread to be had: the viewer decodes as it always did
                return;
            }
        }
    }
    changed_.notify_all();
}

void ReadAhead::Keep(const std::string& path, const FileIdentity& identity, engine::ViewSize view,
                     engine::DecodeResult&& result) {
    if (!result.image || !identity.exists) {
        return;
    }
    std::vector<engine::DecodeResult> trash;
    {
        std::lock_guard lock(mutex_);
        for (const EntryPtr& entry : std::vector<EntryPtr>(entries_.begin(), entries_.end())) {
            if (entry->path == path) {
                removeLocked(entry, trash);
            }
        }
        const std::size_t bytes = DecodedBytes(*result.image);
        if (stopping_ || !makeRoom(bytes, nullptr, trash)) {
            trash.push_back(std::move(result));
        } else {
            auto entry = std::make_shared<Entry>();
            entry->path = path;
            entry->view = view;
            entry->identity = identity;
            entry->state = State::Ready;
            entry->bytes = bytes;
            entry->result = std::move(result);
            // Before whatever is on its way: the image left behind goes first when room runs
            // out, the next one is what the user is heading for.
            const auto first_pending =
                std::find_if(entries_.begin(), entries_.end(),
                             [](const EntryPtr& held) { return held->state != State::Ready; });
            entries_.insert(first_pending, std::move(entry));
            reserve(bytes);
        }
    }
    changed_.notify_all();
}

std::optional<engine::DecodeResult> ReadAhead::Take(const std::string& path, engine::ViewSize view,
                                                    const std::atomic<bool>* cancel) {
    const FileIdentity now = FileIdentity::Of(path);
    std::vector<engine::DecodeResult> trash;
    std::optional<engine::DecodeResult> taken;
    {
        std::unique_lock lock(mutex_);
        for (;;) {
            const auto found =
                std::find_if(entries_.begin(), entries_.end(),
                             [&](const EntryPtr& entry) { return entry->path == path; });
            if (found == entries_.end()) {
                break;
            }
            const EntryPtr entry = *found;
            if (entry->state == State::Queued) {
                removeLocked(entry, trash); // not begun: the caller's own decode is as quick
                break;
            }
            if (entry->state == State::Decoding) {
                if (entry->view.columns != view.columns || entry->view.rows != view.rows) {
                    // Made for another view (the window changed since): rather than wait for
                    // a size that may not serve, the caller decodes its own now.
                    removeLocked(entry, trash);
                    break;
                }
                if (cancel != nullptr && *cancel) {
                    break;
                }
                // The caller's cancel flag is not ours to wait on: look at it now and then.
                changed_.wait_for(lock, std::chrono::milliseconds(10));
                continue;
            }
            if (!(entry->identity == now) || !now.exists) {
                removeLocked(entry, trash); // the file changed since: never show the old one
                break;
            }
            if (serves(entry->view, entry->result, view)) {
                taken = std::move(entry->result);
                ++taken_;
                removeLocked(entry, trash);
            }
            break;
        }
    }
    changed_.notify_all();
    return taken;
}

void ReadAhead::Retain(const std::vector<std::string>& paths) {
    std::vector<engine::DecodeResult> trash;
    {
        std::lock_guard lock(mutex_);
        for (const EntryPtr& entry : std::vector<EntryPtr>(entries_.begin(), entries_.end())) {
            if (std::find(paths.begin(), paths.end(), entry->path) == paths.end()) {
                removeLocked(entry, trash);
            }
        }
    }
    changed_.notify_all();
}

std::size_t ReadAhead::UsedBytes() const {
    std::lock_guard lock(mutex_);
    return used_;
}

std::size_t ReadAhead::PeakBytes() const {
    std::lock_guard lock(mutex_);
    return peak_;
}

std::vector<std::string> ReadAhead::Paths() const {
    std::lock_guard lock(mutex_);
    std::vector<std::string> paths;
    for (const EntryPtr& entry : entries_) {
        paths.push_back(entry->path);
    }
    return paths;
}

bool ReadAhead::IsReady(const std::string& path) const {
    std::lock_guard lock(mutex_);
    return std::any_of(entries_.begin(), entries_.end(), [&](const EntryPtr& entry) {
        return entry->path == path && entry->state == State::Ready;
    });
}

std::size_t ReadAhead::Taken() const {
    std::lock_guard lock(mutex_);
    return taken_;
}

std::size_t ReadAhead::Started() const {
    std::lock_guard lock(mutex_);
    return started_;
}

std::size_t ReadAhead::Cancelled() const {
    std::lock_guard lock(mutex_);
    return cancelled_;
}

void ReadAhead::work() {
    std::unique_lock lock(mutex_);
    for (;;) {
        changed_.wait(lock, [this] {
            return stopping_ || std::any_of(entries_.begin(), entries_.end(), [](const auto& e) {
                       return e->state == State::Queued;
                   });
        });
        if (stopping_) {
            return;
        }
        const auto next = std::find_if(entries_.begin(), entries_.end(),
                                       [](const auto& e) { return e->state == State::Queued; });
        const EntryPtr entry = *next;
        entry->state = State::Decoding;
        lock.unlock();
        decode(entry);
        lock.lock();
    }
}

void ReadAhead::decode(const EntryPtr& entry) {
    // Taken before the decode: a change while it runs makes the result stale, not current.
    const FileIdentity identity = FileIdentity::Of(entry->path);
    const std::size_t estimate = identity.exists ? estimatedBytes(entry->path) : 0;
    std::vector<engine::DecodeResult> trash;
    Decoder decoder;
    {
        std::lock_guard lock(mutex_);
        if (entry->removed || estimate == 0 || !makeRoom(estimate, entry.get(), trash)) {
            if (!entry->removed) {
                removeLocked(entry, trash); // unreadable, or too big for the budget
            }
            changed_.notify_all();
            return;
        }
        entry->identity = identity;
        entry->bytes = estimate;
        reserve(estimate);
        ++started_;
        decoder = decoder_;
    }
    trash.clear();
    engine::DecodeResult result;
    try {
        result = decoder(entry->path, &entry->cancel, entry->view);
    } catch (const std::exception&) {
        result = {}; // a failure: the viewer's own decode reports it when the user gets there
    } catch (...) {
        result = {};
    }
    {
        std::lock_guard lock(mutex_);
        used_ -= entry->bytes;
        entry->bytes = 0;
        if (entry->cancel) {
            ++cancelled_;
        }
        const std::size_t bytes = result.image ? DecodedBytes(*result.image) : 0;
        if (entry->removed || !result.image || entry->cancel ||
            !makeRoom(bytes, entry.get(), trash)) {
            trash.push_back(std::move(result));
            if (!entry->removed) {
                removeLocked(entry, trash);
            }
        } else {
            entry->result = std::move(result);
            entry->bytes = bytes;
            entry->state = State::Ready;
            reserve(bytes);
        }
    }
    changed_.notify_all();
}

bool ReadAhead::makeRoom(std::size_t bytes, const Entry* keep,
                         std::vector<engine::DecodeResult>& trash) {
    if (bytes > budget_) {
        return false;
    }
    while (used_ + bytes > budget_) {
        const auto oldest = std::find_if(entries_.begin(), entries_.end(), [keep](const auto& e) {
            return e.get() != keep && e->state == State::Ready;
        });
        if (oldest == entries_.end()) {
            return false; // what remains is on its way; it keeps its room
        }
        removeLocked(*oldest, trash);
    }
    return true;
}

void ReadAhead::removeLocked(const EntryPtr& entry, std::vector<engine::DecodeResult>& trash) {
    const auto found = std::find(entries_.begin(), entries_.end(), entry);
    if (found == entries_.end()) {
        return;
    }
    entry->removed = true;
    if (entry->state == State::Decoding) {
        entry->cancel = true; // its reservation goes when the worker comes back
    } else {
        used_ -= entry->bytes;
        entry->bytes = 0;
        if (entry->result.image) {
            trash.push_back(std::move(entry->result));
        }
    }
    entries_.erase(found);
}

void ReadAhead::reserve(std::size_t bytes) {
    used_ += bytes;
    peak_ = std::max(peak_, used_);
}
