// Images decoded before they are asked for: the next one in the direction the user steps
// through a folder, decoded on a worker, and the one just left, kept. All of it within a
// budget of decoded bytes, which what is held and what is on its way together never exceed.
//
// Everything is keyed by path and checked against the file as it is when taken: a file
// deleted, renamed over or rewritten since is decoded afresh, never shown from memory.
#pragma once

#include "display/ImageDecoder.h"

#include <sys/types.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

// What tells one state of a file from another: where it lives, its size and its last change.
struct FileIdentity {
    bool exists = false;
    dev_t device = 0;
    ino_t inode = 0;
    off_t size = 0;
    std::int64_t modified_ns = 0;
    std::int64_t changed_ns = 0;

    static FileIdentity Of(const std::string& path);
    bool operator==(const FileIdentity&) const = default;
};

// Bytes of pixels a decoded record holds, its reduced copy included.
std::size_t DecodedBytes(const engine::Image& image);

class ReadAhead {
public:
    using Decoder = std::function<engine::DecodeResult(
        const std::string& path, const std::atomic<bool>* cancel, engine::ViewSize view)>;

    static constexpr std::size_t kDefaultBudget = std::size_t{512} << 20;

    explicit ReadAhead(std::size_t budget = kDefaultBudget);
    // Cancels the decode on its way and joins the worker.
    ~ReadAhead();
    ReadAhead(const ReadAhead&) = delete;
    ReadAhead& operator=(const ReadAhead&) = delete;

    // 0 turns reading ahead off. What no longer fits is dropped, newest kept.
    void SetBudget(std::size_t bytes);
    std::size_t Budget() const;
    // The worker's decoder; DecodeImageFile unless a test gives its own.
    void SetDecoder(Decoder decoder);

    // Queues path for decoding with view, unless it is held or on its way already. Older
    // requests not yet started are dropped: only the latest step's next image matters.
    void Fetch(const std::string& path, engine::ViewSize view);
    // Holds an image decoded elsewhere (the one the viewer leaves), as the file was when it
    // was decoded. Dropped at once when it does not fit.
    void Keep(const std::string& path, const FileIdentity& identity, engine::ViewSize view,
              engine::DecodeResult&& result);
    // The image held for path, if it serves view and the file has not changed since; waits
    // for one on its way until it arrives or *cancel is set. Call it on any thread but the
    // worker's. The image taken is no longer held.
    std::optional<engine::DecodeResult> Take(const std::string& path, engine::ViewSize view,
                                             const std::atomic<bool>* cancel = nullptr);
    // Drops (and cancels) everything except what paths name.
    void Retain(const std::vector<std::string>& paths);
    // Drops everything and cancels the decode on its way.
    void Drop() { Retain({}); }

    // Bytes held and reserved for the decode on its way; the most they ever were.
    std::size_t UsedBytes() const;
    std::size_t PeakBytes() const;
    // The paths held or on their way, oldest first.
    std::vector<std::string> Paths() const;
    // Whether path is held, decoded and ready to be taken.
    bool IsReady(const std::string& path) const;
    // Decodes started, decodes told to stop before they ended, images taken.
    std::size_t Started() const;
    std::size_t Cancelled() const;
    std::size_t Taken() const;

private:
    enum class State { Queued, Decoding, Ready };
    struct Entry {
        std::string path;
        engine::ViewSize view;
        FileIdentity identity;
        State state = State::Queued;
        std::size_t bytes = 0; // held, or reserved while decoding
        engine::DecodeResult result;
        std::atomic<bool> cancel{false};
        bool removed = false;
    };
    using EntryPtr = std::shared_ptr<Entry>;

    void work();
    void decode(const EntryPtr& entry);
    // Makes room for bytes by dropping the oldest ready entries except keep; false when even
    // then it would not fit. Dropped results go to trash, freed outside the lock.
    bool makeRoom(std::size_t bytes, const Entry* keep, std::vector<engine::DecodeResult>& trash);
    void removeLocked(const EntryPtr& entry, std::vector<engine::DecodeResult>& trash);
    void reserve(std::size_t bytes);

    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<EntryPtr> entries_; // oldest first
    std::size_t budget_;
    std::size_t used_ = 0;
    std::size_t peak_ = 0;
    std::size_t started_ = 0;
    std::size_t cancelled_ = 0;
    std::size_t taken_ = 0;
    bool stopping_ = false;
    Decoder decoder_;
    std::thread worker_;
};
