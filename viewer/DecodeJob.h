// Decoding on a worker thread while the window's thread keeps handling its events.
//
// Run starts the decode and waits for it in a local event loop, so its caller keeps a plain
// synchronous call while the window paints, answers keys and takes messages. A Run that starts
// while an older one waits (it can only start from inside that wait) withdraws the older one:
// the newer request wins. Start decodes without a wait and hands the result to a function
// later. Workers touch only their own request record; everything they decoded is handed back
// on the thread that called Run or Start.
#pragma once

#include "ReadAhead.h"
#include "display/ImageDecoder.h"

#include <QObject>

#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

class DecodeJob : public QObject {
public:
    enum class Outcome {
        Decoded,  // result holds what the decoder gave, success or failure
        Withdrawn // a newer Run, Cancel or the end of the event loop came first; result untouched
    };

    // What runs on the worker: DecodeImageFile unless a test gives its own. It must be safe to
    // call on any thread and should return soon after *cancel becomes true.
    using Decoder = std::function<engine::DecodeResult(const std::string& path,
                                                       const std::atomic<bool>* cancel)>;

    explicit DecodeJob(QObject* parent = nullptr);
    // Withdraws every waiting Run and joins every worker, finished or not: no worker outlives
    // the job. A Run still on the stack then returns Withdrawn without touching the job.
    ~DecodeJob() override;
    DecodeJob(const DecodeJob&) = delete;
    DecodeJob& operator=(const DecodeJob&) = delete;

    // Decodes path on a worker thread and returns when it is done, processing the calling
    // thread's events meanwhile (call it on the window's thread). Withdraws the Runs already
    // waiting first. A withdrawn Run returns at once, its worker told to stop; the worker is
    // joined when it ends. When the wait's event loop is ended from outside (the application
    // quits), the decode is cancelled, its worker joined, and the Run is Withdrawn.
    // With a view size the decoder may give a reduced first view (see engine::ViewSize). An
    // image held ready for path by the opening or the read-ahead is taken at once, with no
    // wait and no events handled.
    Outcome Run(const std::string& path, engine::DecodeResult& result, engine::ViewSize view = {});
    // Decodes path on a worker thread and returns at once; done gets the result on this thread
    // when the worker ends. A Run, Start, Cancel or Stop that comes first withdraws it, and so
    // does the job's end: done is then never called. Work that must not hold up the window's
    // events: a wait begun while Qt sends the program's posted events (under the glib event
    // dispatcher) holds back repaints asked for before it, such as the one of an image just
    // put on display.
    void Start(const std::string& path, engine::ViewSize view,
               std::function<void(engine::DecodeResult&&)> done);
    // Withdraws every waiting Run and Start (a request that needs no decode wins); their
    // workers are told to stop and joined when they end.
    void Cancel();
    // Withdraws every waiting Run and joins every worker before it returns (the window closes):
    // blocks for as long as the decoders take to notice their cancel flags.
    void Stop();
    // True while a Run waits or a Start's decode is on its way, not withdrawn.
    bool Waiting() const;
    // Workers started and not yet joined (the finished ones are joined as their news arrives).
    std::size_t Workers() const { return workers_.size(); }

    // Images decoded ahead are taken from there when they serve (null: none). It must outlive
    // the job's workers.
    void SetReadAhead(ReadAhead* ahead) { read_ahead_ = ahead; }
    // Images decoded before the window existed, looked at before the read-ahead (null: none).
    // It must outlive the job's workers.
    void SetOpening(ReadAhead* opening) { opening_ = opening; }

    // A decoder of the test's own, which is given no view size.
    void SetDecoder(Decoder decoder) {
        decoder_ = std::move(decoder);
        sized_ = false;
    }

private:
    struct Request;
    struct Worker {
        std::shared_ptr<Request> request;
        std::thread thread;
    };

    Decoder decoderFor(engine::ViewSize view) const;
    // False when no thread could be had.
    bool startWorker(const std::shared_ptr<Request>& request, const Decoder& decoder);
    void workerFinished(std::uint64_t id);
    void joinWorker(std::uint64_t id);
    void joinAll();

    Decoder decoder_;
    bool sized_ = true; // decoder_ is DecodeImageFile, and the view size goes to it
    ReadAhead* read_ahead_ = nullptr;
    ReadAhead* opening_ = nullptr;
    std::uint64_t next_id_ = 1;
    std::vector<std::shared_ptr<Request>> waiting_; // innermost wait last
    std::vector<Worker> workers_;
};
