#include "AnimationPlayer.h"

#include "display/AnimationDecoder.h"
#include "display/PixelExport.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <mutex>

// What the worker and the window's thread share; the mutex guards all but the flags.
struct AnimationPlayer::Shared {
    std::mutex mutex;
    std::condition_variable wake;
    std::atomic<bool> stop{false};
    std::atomic<bool> finished{false};
    // Set by the worker once the file is open.
    bool opened = false;
    std::size_t count = 0;
    std::vector<int> delays;
    std::size_t end = 0; // plays x count; 0: for ever
    std::size_t ahead = 1, keep = 1;
    // Asked for by the window's thread: the worker decodes from next on, in play order.
    std::size_t next = 0;
    std::uint64_t generation = 0;
    std::deque<Frame> ready;
};

AnimationPlayer::AnimationPlayer(FrameSink frames, NumberSink numbers, QObject* parent)
    : QObject(parent), frames_(std::move(frames)), numbers_(std::move(numbers)) {
    timer_.setSingleShot(true);
    timer_.setTimerType(Qt::PreciseTimer);
    connect(&timer_, &QTimer::timeout, this, [this] { tick(); });
}

AnimationPlayer::~AnimationPlayer() {
    StateChanged = nullptr; // the window is going too
    Stop();
    for (auto& [shared, thread] : workers_) {
        thread.join();
    }
}

double AnimationPlayer::nowMs() const {
    return std::chrono::duration<double, std::milli>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

void AnimationPlayer::Start(const std::string& file) {
    Stop();
    // Workers that have ended since are joined now; the others keep their own state.
    std::erase_if(workers_, [](Worker& worker) {
        if (!worker.shared->finished) {
            return false;
        }
        worker.thread.join();
        return true;
    });
    shared_ = std::make_shared<Shared>();
    stats_ = {};
    started_ms_ = nowMs();
    seq_ = 0;
    workers_.push_back(Worker{shared_, std::thread(work, shared_, file, this, run_)});
}

void AnimationPlayer::Stop() {
    timer_.stop();
    ++run_; // news from the old worker is ignored from here on
    if (shared_) {
        {
            const std::lock_guard<std::mutex> lock(shared_->mutex);
            shared_->stop = true;
        }
        shared_->wake.notify_all();
        shared_.reset();
    }
    const bool was = Animating();
    count_ = 0;
    kept_.clear();
    paused_ = false;
    waiting_ = false;
    starting_ = false;
    if (was) {
        stateChanged();
    }
}

void AnimationPlayer::work(std::shared_ptr<Shared> shared, std::string file,
                           AnimationPlayer* player, std::uint64_t run) {
    // The player joins this thread before it goes, so it is there for every post.
    const auto post = [&](void (AnimationPlayer::*news)(std::uint64_t)) {
        QMetaObject::invokeMethod(
            player, [player, news, run] { (player->*news)(run); }, Qt::QueuedConnection);
    };
    struct Finished {
        Shared& shared;
        ~Finished() { shared.finished = true; }
    } finished{*shared};

    engine::DecodeResult failure;
    const std::unique_ptr<engine::AnimationDecoder> decoder =
        engine::AnimationDecoder::Open(file, &shared->stop, failure);
    if (!decoder || decoder->FrameCount() < 2) {
        return; // a still image, or one that cannot be read again: it stays as shown
    }
    const std::size_t frameBytes = decoder->Columns() * decoder->Rows() * 4;
    const std::size_t capacity = std::max<std::size_t>(2, kFrameBudgetBytes / frameBytes);
    {
        const std::lock_guard<std::mutex> lock(shared->mutex);
        shared->count = decoder->FrameCount();
        for (std::size_t k = 0; k < shared->count; ++k) {
            shared->delays.push_back(decoder->DelayMs(k));
        }
        shared->end = static_cast<std::size_t>(decoder->LoopCount()) * shared->count;
        shared->keep = std::max<std::size_t>(1, capacity / 2);
        shared->ahead = std::max<std::size_t>(1, capacity - shared->keep);
        shared->opened = true;
    }
    post(&AnimationPlayer::opened);
    std::unique_lock<std::mutex> lock(shared->mutex);
    for (;;) {
        shared->wake.wait(lock, [&] {
            return shared->stop || (shared->ready.size() < shared->ahead &&
                                    (shared->end == 0 || shared->next < shared->end));
        });
        if (shared->stop) {
            return;
        }
        const std::size_t seq = shared->next;
        const std::uint64_t generation = shared->generation;
        lock.unlock();
        std::unique_ptr<engine::Image> frame =
            decoder->DecodeFrame(seq % shared->count, &shared->stop);
        const bool transparent =
            frame && engine::PremultiplyAlpha(frame->pixels.get(), frame->columns * frame->rows);
        lock.lock();
        if (shared->stop || !frame) {
            return; // out of memory: the frames shown so far stay
        }
        if (generation != shared->generation) {
            continue; // the window asked for another frame meanwhile
        }
        shared->ready.push_back(Frame{seq, std::move(frame), transparent});
        shared->next = seq + 1;
        post(&AnimationPlayer::arrived);
    }
}

void AnimationPlayer::opened(std::uint64_t run) {
    if (run != run_ || !shared_) {
        return;
    }
    {
        const std::lock_guard<std::mutex> lock(shared_->mutex);
        count_ = shared_->count;
        delays_ = shared_->delays;
        end_ = shared_->end;
        keep_ = shared_->keep;
    }
    seq_ = 0;
    wanted_ = 1;
    paused_ = false;
    starting_ = true;
    numbers_(0, count_);
    stateChanged();
}

void AnimationPlayer::arrived(std::uint64_t run) {
    if (run != run_) {
        return;
    }
    if (starting_) {
        // The first frame has been on display since Start; the second is due after its delay,
        // or as soon as it is ready when the file took longer to read again. The timeline
        // starts there, so the frames after it are not shown in a hurry to catch up.
        bool ready = false;
        {
            const std::lock_guard<std::mutex> lock(shared_->mutex);
            for (const Frame& frame : shared_->ready) {
                ready = ready || frame.seq == 1;
            }
        }
        if (ready) {
            starting_ = false;
            due_ms_ = std::max(started_ms_ + delays_[0], nowMs());
            schedule();
        }
        return;
    }
    if (!waiting_) {
        return;
    }
    if (show(wanted_)) {
        waiting_ = false;
        schedule();
    }
}

void AnimationPlayer::schedule() {
    if (paused_ || !Animating() || (end_ != 0 && wanted_ >= end_)) {
        timer_.stop();
        return;
    }
    const double wait = due_ms_ - nowMs();
    timer_.start(std::max(0, static_cast<int>(std::ceil(wait))));
}

void AnimationPlayer::tick() {
    if (paused_ || !Animating()) {
        return;
    }
    if (show(wanted_)) {
        schedule();
    } else {
        waiting_ = true; // shown the moment it arrives
    }
}

bool AnimationPlayer::show(std::size_t seq) {
    std::shared_ptr<const engine::Image> image;
    bool transparent = false;
    for (const Frame& frame : kept_) {
        if (frame.seq == seq) {
            image = frame.image;
            transparent = frame.transparent;
        }
    }
    if (!image && shared_) {
        {
            const std::lock_guard<std::mutex> lock(shared_->mutex);
            std::deque<Frame>& ready = shared_->ready;
            // Frames before the one wanted (the first, decoded for the frames after it) are
            // kept for stepping back.
            while (!ready.empty() && ready.front().seq <= seq) {
                if (ready.front().seq == seq) {
                    image = ready.front().image;
                    transparent = ready.front().transparent;
                }
                kept_.push_back(std::move(ready.front()));
                ready.pop_front();
            }
        }
        shared_->wake.notify_all();
        while (kept_.size() > keep_) {
            kept_.pop_front();
        }
    }
    if (!image) {
        return false;
    }
    const double now = nowMs();
    if (!paused_) {
        const double late = now - due_ms_;
        ++stats_.shown;
        stats_.worst_late_ms = std::max(stats_.worst_late_ms, late);
        if (late > 10) {
            ++stats_.late;
        }
        // On time, the next frame is due a delay after this one was; late, a delay from now:
        // frames are never shown in a hurry to catch up.
        due_ms_ = (late > 10 ? now : due_ms_) + delays_[seq % count_];
    }
    seq_ = seq;
    wanted_ = seq + 1;
    engine::ExceptionInfo ignored;
    std::unique_ptr<engine::Image> copy(engine::CloneImage(image.get(), 0, 0, true, &ignored));
    if (copy) {
        frames_(std::move(copy), transparent);
    }
    numbers_(seq % count_, count_);
    return true;
}

void AnimationPlayer::seek(std::size_t seq) {
    wanted_ = seq;
    if (show(seq)) {
        waiting_ = false;
        return;
    }
    if (!shared_) {
        return;
    }
    kept_.clear();
    {
        const std::lock_guard<std::mutex> lock(shared_->mutex);
        ++shared_->generation;
        shared_->ready.clear();
        shared_->next = seq;
    }
    shared_->wake.notify_all();
    waiting_ = true;
}

void AnimationPlayer::SetPaused(bool paused) {
    if (!Animating() || paused == paused_) {
        return;
    }
    paused_ = paused;
    waiting_ = false;
    starting_ = false;
    if (paused_) {
        timer_.stop();
    } else {
        wanted_ = seq_ + 1;
        due_ms_ = nowMs() + delays_[seq_ % count_];
        schedule();
    }
    stateChanged();
}

void AnimationPlayer::StepForward() {
    if (!Animating() || !paused_) {
        return;
    }
    // Past the last play, the first frame of that play comes again.
    seek(end_ != 0 && seq_ + 1 >= end_ ? seq_ + 1 - count_ : seq_ + 1);
}

void AnimationPlayer::StepBack() {
    if (!Animating() || !paused_) {
        return;
    }
    seek(seq_ > 0 ? seq_ - 1 : count_ - 1);
}

void AnimationPlayer::stateChanged() {
    if (StateChanged) {
        StateChanged();
    }
}
