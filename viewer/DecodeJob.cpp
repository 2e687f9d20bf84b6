#include "DecodeJob.h"

#include <QEventLoop>
#include <QMetaObject>

#include <algorithm>
#include <array>
#include <exception>
#include <functional>
#include <new>
#include <system_error>

// One Run's record, shared by the Run, the job and the worker. The worker reads path and cancel
// and writes result, which the window's thread reads only after joining it; the rest belongs to
// the window's thread.
struct DecodeJob::Request {
    std::uint64_t id = 0;
    std::string path;
    engine::ViewSize view;
    std::atomic<bool> cancel{false};
    engine::DecodeResult result;
    QEventLoop* loop = nullptr; // the waiting Run's loop, on its stack; null for a Start
    std::function<void(engine::DecodeResult&&)> done; // a Start's
    bool delivered = false;                           // the worker ended while the Run waited
    bool withdrawn = false;                           // a newer request or Cancel came first
    bool abandoned = false;                           // the job is gone: the Run must not touch it
};

namespace {

engine::DecodeResult failed(engine::DecodeFailure failure, std::string message,
                            std::string reason = {}) {
    engine::DecodeResult result;
    result.failure = failure;
    result.message = std::move(message);
    result.reason = std::move(reason);
    return result;
}

// Nothing is thrown across the thread: what the decoder throws becomes its failure.
engine::DecodeResult decodeCatching(const DecodeJob::Decoder& decoder, const std::string& path,
                                    const std::atomic<bool>* cancel) {
    try {
        return decoder(path, cancel);
    } catch (const std::bad_alloc&) {
        return failed(engine::DecodeFailure::OutOfMemory, "not enough memory to decode it");
    } catch (const std::exception& error) {
        return failed(engine::DecodeFailure::Damaged, "damaged", error.what());
    } catch (...) {
        return failed(engine::DecodeFailure::Damaged, "damaged");
    }
}

} // namespace

DecodeJob::DecodeJob(QObject* parent)
    : QObject(parent), decoder_([](const std::string& path, const std::atomic<bool>* cancel) {
          return engine::DecodeImageFile(path, cancel);
      }) {}

DecodeJob::~DecodeJob() {
    for (const auto& request : waiting_) {
        request->abandoned = true;
        if (request->loop != nullptr) {
            request->loop->quit();
        }
    }
    // The workers' last news may still be posted to this object meanwhile; QObject drops it.
    joinAll();
}

DecodeJob::Decoder DecodeJob::decoderFor(engine::ViewSize view) const {
    if (!sized_) {
        return decoder_;
    }
    return [view, sources = std::array{opening_, read_ahead_}](const std::string& file,
                                                               const std::atomic<bool>* cancel) {
        for (ReadAhead* ahead : sources) {
            if (ahead == nullptr) {
                continue;
            }
            if (auto early = ahead->Take(file, view, cancel)) {
                return std::move(*early);
            }
        }
        return engine::DecodeImageFile(file, cancel, view);
    };
}

bool DecodeJob::startWorker(const std::shared_ptr<Request>& request, const Decoder& decoder) {
    workers_.reserve(workers_.size() + 1); // a started thread must never be dropped unjoined
    try {
        workers_.push_back(
            {request, std::thread([this, request, decoder] {
                 request->result = decodeCatching(decoder, request->path, &request->cancel);
                 // The worker's last act: the job joins it when this arrives.
                 QMetaObject::invokeMethod(
                     this, [this, id = request->id] { workerFinished(id); }, Qt::QueuedConnection);
             })});
    } catch (const std::system_error&) {
        return false;
    }
    return true;
}

DecodeJob::Outcome DecodeJob::Run(const std::string& path, engine::DecodeResult& result,
                                  engine::ViewSize view) {
    Cancel();
    // An image decoded ahead and ready needs neither a worker nor a wait: the wait would only
    // let the window paint what it showed before once more, and hold the new image back.
    if (sized_) {
        for (ReadAhead* ahead : {opening_, read_ahead_}) {
            if (ahead != nullptr && ahead->IsReady(path)) {
                if (auto early = ahead->Take(path, view)) {
                    result = std::move(*early);
                    return Outcome::Decoded;
                }
            }
        }
    }
    auto request = std::make_shared<Request>();
    request->id = next_id_++;
    request->path = path;
    request->view = view;
    const Decoder decoder = decoderFor(view);
    QEventLoop loop;
    request->loop = &loop;
    if (!startWorker(request, decoder)) {
        // No thread to be had: decode here, as before there were workers.
        result = decodeCatching(decoder, path, nullptr);
        return Outcome::Decoded;
    }
    waiting_.push_back(request);
    loop.exec();
    if (request->abandoned) {
        return Outcome::Withdrawn;
    }
    std::erase(waiting_, request);
    if (request->withdrawn) {
        return Outcome::Withdrawn; // its worker is joined when it ends
    }
    if (request->delivered) {
        result = std::move(request->result);
        return Outcome::Decoded;
    }
    // The loop was ended from outside (the application quits): no news will be handled.
    request->cancel = true;
    joinWorker(request->id);
    return Outcome::Withdrawn;
}

void DecodeJob::Start(const std::string& path, engine::ViewSize view,
                      std::function<void(engine::DecodeResult&&)> done) {
    Cancel();
    auto request = std::make_shared<Request>();
    request->id = next_id_++;
    request->path = path;
    request->view = view;
    request->done = std::move(done);
    const Decoder decoder = decoderFor(view);
    if (!startWorker(request, decoder)) {
        // No thread to be had: the result comes as a worker's would, after this returns.
        request->result = decodeCatching(decoder, path, nullptr);
        QMetaObject::invokeMethod(
            this, [this, id = request->id] { workerFinished(id); }, Qt::QueuedConnection);
    }
    waiting_.push_back(request);
}

void DecodeJob::Cancel() {
    for (const auto& request : waiting_) {
        // A result already delivered is withdrawn too: its Run resumes only after the newer
        // request's, and must not show an older file over it.
        request->withdrawn = true;
        request->cancel = true;
        if (request->loop != nullptr) {
            request->loop->quit();
        }
    }
    // A Run takes its own request out when it resumes; a Start has no one to do it.
    std::erase_if(waiting_, [](const auto& request) { return request->loop == nullptr; });
}

void DecodeJob::Stop() {
    Cancel();
    joinAll(); // the news they post finds no wait to end
}

bool DecodeJob::Waiting() const {
    return std::any_of(waiting_.begin(), waiting_.end(),
                       [](const auto& request) { return !request->withdrawn; });
}

void DecodeJob::workerFinished(std::uint64_t id) {
    joinWorker(id);
    std::shared_ptr<Request> started;
    for (const auto& request : waiting_) {
        if (request->id == id && !request->withdrawn) {
            if (request->loop != nullptr) {
                request->delivered = true;
                request->loop->quit();
            } else {
                started = request;
            }
        }
    }
    if (started) {
        // Out of the list before done runs: it may Run or Start again.
        std::erase(waiting_, started);
        started->done(std::move(started->result));
    }
}

void DecodeJob::joinWorker(std::uint64_t id) {
    const auto found = std::find_if(workers_.begin(), workers_.end(), [id](const Worker& worker) {
        return worker.request->id == id;
    });
    if (found != workers_.end()) {
        found->thread.join();
        workers_.erase(found);
    }
}

void DecodeJob::joinAll() {
    for (Worker& worker : workers_) {
        worker.request->cancel = true;
    }
    for (Worker& worker : workers_) {
        worker.thread.join();
    }
    workers_.clear();
}
