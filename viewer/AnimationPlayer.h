// Plays an animated image: a worker decodes frames ahead, within a memory budget, while a timer
// on the window's thread hands each frame to the window when its time has come.
//
// The first frame is on display before Start (the still decoder showed it, as fast as any
// image); the worker then reads the file again for its frames. Frames are never skipped: one
// that is not ready when due is shown as soon as it is. Frames shown recently are kept (the
// oldest dropped first) so that stepping back while paused costs nothing; further back, the
// worker starts again from the first frame.
#pragma once

#include "display/EngineImage.h"

#include <QObject>
#include <QTimer>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

class AnimationPlayer : public QObject {
public:
    // Takes a frame to show, on the window's thread: 8-bit BGRA premultiplied by alpha, as the
    // display draws adopted images (done on the worker, off the window's thread); transparent
    // says whether any pixel is less than opaque.
    using FrameSink = std::function<void(std::unique_ptr<engine::Image> frame, bool transparent)>;
    // Frame index (0-based) of count on display; count 0: no animation any more.
    using NumberSink = std::function<void(std::size_t index, std::size_t count)>;

    // Frames in memory at once (decoded ahead and kept for stepping back), in bytes.
    static constexpr std::size_t kFrameBudgetBytes = std::size_t{48} << 20;

    AnimationPlayer(FrameSink frames, NumberSink numbers, QObject* parent = nullptr);
    // Stops, and joins every worker.
    ~AnimationPlayer() override;
    AnimationPlayer(const AnimationPlayer&) = delete;
    AnimationPlayer& operator=(const AnimationPlayer&) = delete;

    // Starts playing file, whose first frame is on display now. A file of one frame (or one
    // that cannot be read again, or whose frames do not fit the budget twice) stays as it is.
    void Start(const std::string& file);
    // Stops at once: no frame is handed over afterwards. The worker ends on its own.
    void Stop();

    // The file has more than one frame and plays or is paused.
    bool Animating() const { return count_ > 1; }
    bool Paused() const { return paused_; }
    std::size_t FrameCount() const { return count_; }
    std::size_t CurrentFrame() const { return count_ > 0 ? seq_ % count_ : 0; }

    void SetPaused(bool paused);
    // While paused: the next or the previous frame (the previous of the first is the last).
    void StepForward();
    void StepBack();

    // Called when Animating or Paused changes (the window updates its actions).
    std::function<void()> StateChanged;

    // What playing has cost: frames shown, how many came late and by how much at worst
    // (milliseconds after the time their delay gave them).
    struct Statistics {
        std::size_t shown = 0;
        std::size_t late = 0;
        double worst_late_ms = 0;
    };
    const Statistics& Stats() const { return stats_; }

private:
    struct Shared;
    struct Frame {
        std::size_t seq; // position in play order: frame seq % count of loop seq / count
        std::shared_ptr<const engine::Image> image;
        bool transparent;
    };

    static void work(std::shared_ptr<Shared> shared, std::string file, AnimationPlayer* player,
                     std::uint64_t run);
    void opened(std::uint64_t run);
    void arrived(std::uint64_t run);
    void tick();
    // Shows the frame at seq if it is at hand (kept or decoded); false when it has to come.
    bool show(std::size_t seq);
    void schedule();
    void seek(std::size_t seq);
    void stateChanged();
    double nowMs() const;

    FrameSink frames_;
    NumberSink numbers_;
    QTimer timer_;
    std::shared_ptr<Shared> shared_;
    // Every worker started and not yet joined, with what it shares; a stopped one ends on its
    // own and is joined at the next Start or at the end.
    struct Worker {
        std::shared_ptr<Shared> shared;
        std::thread thread;
    };
    std::vector<Worker> workers_;
    std::uint64_t run_ = 0;

    std::size_t count_ = 0;
    std::vector<int> delays_;
    std::size_t end_ = 0; // the first seq not to be shown (plays x count), 0: for ever
    std::size_t seq_ = 0; // on display
    std::size_t wanted_ = 0;
    bool waiting_ = false;  // wanted_ is due (or asked for by a step) and not here yet
    bool starting_ = false; // the first frame is on display, the second not decoded yet
    double started_ms_ = 0;
    bool paused_ = false;
    double due_ms_ = 0; // when wanted_ was due
    std::deque<Frame> kept_;
    std::size_t keep_ = 1;
    Statistics stats_;
};
