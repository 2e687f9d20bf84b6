#include "Thumbnailer.h"

#include "display/ColourManagement.h"
#include "display/ImageDecoder.h"
#include "display/ScaleRegion.h"
#include "platform/ThreadPriority.h"
#include "platform/qt/Thumbnails.h"

#include <QMetaObject>

#include <algorithm>
#include <cmath>

namespace {

// Thumbnails kept in memory; the ones scrolled away longest ago go first and come back from the
// disk cache when shown again.
constexpr long long kReadyBudgetBytes = 160LL << 20;

bool isOpaque(const engine::Image& image) {
    const std::size_t count = image.columns * image.rows;
    const std::uint8_t* pixel = image.pixels.get();
    for (std::size_t i = 0; i < count; ++i) {
        if (pixel[i * 4 + 3] != 255) {
            return false;
        }
    }
    return true;
}

} // namespace

Thumbnailer::Thumbnailer(QObject* owner)
    : QObject(owner), cancel_(std::make_shared<std::atomic<bool>>(false)) {
    lookups_.setMaxThreadCount(std::max(1, QThread::idealThreadCount()));
    decodes_.setMaxThreadCount(std::max(1, QThread::idealThreadCount()));
    lookups_.setExpiryTimeout(5000);
    decodes_.setExpiryTimeout(5000);
}

Thumbnailer::~Thumbnailer() {
    {
        std::lock_guard lock(guard_);
        cancel_->store(true);
        queue_.clear();
        decodeQueue_.clear();
        ++generation_;
    }
    lookups_.waitForDone();
    decodes_.waitForDone();
}

std::string Thumbnailer::ProgramName() {
    // A new version tries the files an older one could not read again.
    return std::string("orvalen-") + ORVALEN_VERSION;
}

void Thumbnailer::SetEdge(int edge) {
    edge = platform::ThumbnailClassEdge(edge);
    if (edge != edge_) {
        edge_ = edge;
        Clear();
    }
}

void Thumbnailer::Clear() {
    {
        std::lock_guard lock(guard_);
        cancel_->store(true); // the decodes under way stop within a row or two
        cancel_ = std::make_shared<std::atomic<bool>>(false);
        queue_.clear();
        decodeQueue_.clear();
        asked_.clear();
        urgent_.clear();
        ++generation_;
    }
    ready_.clear();
    failed_.clear();
    readyOrder_.clear();
    readyBytes_ = 0;
}

void Thumbnailer::Request(const std::vector<std::string>& paths, bool urgent) {
    {
        std::lock_guard lock(guard_);
        if (urgent) {
            // Pushed to the front in reverse so they come out in the order given; an entry
            // already queued further back is skipped when reached, being done by then.
            for (auto path = paths.rbegin(); path != paths.rend(); ++path) {
                if (ready_.contains(QString::fromStdString(*path))) {
                    continue;
                }
                asked_.insert(*path);
                urgent_.insert(*path);
                queue_.push_front(*path);
                // One already found missing moves ahead of the decodes too.
                if (std::find(decodeQueue_.begin(), decodeQueue_.end(), *path) !=
                    decodeQueue_.end()) {
                    decodeQueue_.push_front(*path);
                }
            }
        } else {
            for (const std::string& path : paths) {
                if (asked_.insert(path).second) {
                    queue_.push_back(path);
                }
            }
        }
    }
    startWorkers();
}

void Thumbnailer::startWorkers() {
    std::lock_guard lock(guard_);
    while (looking_ < lookups_.maxThreadCount() && !queue_.empty()) {
        ++looking_;
        lookups_.start(
            [this, cancel = cancel_, generation = generation_] { look(cancel, generation); });
    }
    while (making_ < decodes_.maxThreadCount() && !decodeQueue_.empty()) {
        ++making_;
        decodes_.start(
            [this, cancel = cancel_, generation = generation_] { make(cancel, generation); });
    }
}

const QImage* Thumbnailer::Find(const std::string& path) const {
    const auto found = ready_.constFind(QString::fromStdString(path));
    return found != ready_.constEnd() ? &found.value() : nullptr;
}

int Thumbnailer::Pending() const {
    std::lock_guard lock(guard_);
    return static_cast<int>(asked_.size()) - static_cast<int>(ready_.size()) -
           static_cast<int>(failed_.size());
}

void Thumbnailer::look(std::shared_ptr<std::atomic<bool>> cancel, unsigned generation) {
    std::unordered_set<std::string> done; // by this worker, for skipping repeated entries
    for (;;) {
        std::string path;
        int edge = 0;
        if (!takeNext(queue_, looking_, generation, *cancel, path, edge)) {
            return;
        }
        if (!done.insert(path).second) {
            continue;
        }
        QImage image;
        Origin origin = Origin::Failed;
        try {
            origin = Lookup(path, edge, image);
        } catch (...) {
            origin = Origin::Failed; // nothing crosses the thread; the grid shows the file's icon
        }
        if (origin == Origin::Missing) {
            {
                std::lock_guard lock(guard_);
                if (generation != generation_) {
                    continue;
                }
                if (urgent_.count(path) != 0) {
                    decodeQueue_.push_front(path);
                } else {
                    decodeQueue_.push_back(path);
                }
            }
            startWorkers();
            continue;
        }
        post(generation, path, image, origin);
    }
}

void Thumbnailer::make(std::shared_ptr<std::atomic<bool>> cancel, unsigned generation) {
    platform::SetBackgroundThreadPriority(); // the pool's threads do only this work
    std::unordered_set<std::string> done;
    for (;;) {
        std::string path;
        int edge = 0;
        if (!takeNext(decodeQueue_, making_, generation, *cancel, path, edge)) {
            return;
        }
        if (!done.insert(path).second) {
            continue;
        }
        QImage image;
        Origin origin = Origin::Failed;
        try {
            origin = Make(path, edge, cancel.get(), image);
        } catch (...) {
            origin = Origin::Failed;
        }
        if (origin == Origin::Cancelled) {
            continue;
        }
        post(generation, path, image, origin);
    }
}

bool Thumbnailer::takeNext(std::deque<std::string>& queue, int& workers, unsigned generation,
                           const std::atomic<bool>& cancel, std::string& path, int& edge) {
    std::lock_guard lock(guard_);
    if (generation != generation_ || queue.empty() || cancel.load()) {
        --workers;
        return false;
    }
    path = std::move(queue.front());
    queue.pop_front();
    edge = edge_;
    return true;
}

void Thumbnailer::post(unsigned generation, const std::string& path, const QImage& image,
                       Origin origin) {
    QMetaObject::invokeMethod(
        this,
        [this, generation, path = QString::fromStdString(path), image, origin] {
            deliver(generation, path, image, origin);
        },
        Qt::QueuedConnection);
}

void Thumbnailer::deliver(unsigned generation, const QString& path, const QImage& image,
                          Origin origin) {
    {
        std::lock_guard lock(guard_);
        if (generation != generation_) {
            return; // made for a folder or size no longer shown
        }
    }
    if (origin == Origin::Failed || image.isNull()) {
        failed_.insert(path, true);
    } else if (!ready_.contains(path)) {
        ready_.insert(path, image);
        readyOrder_.push_back(path);
        readyBytes_ += image.sizeInBytes();
        keepWithinBudget();
    }
    if (OnReady) {
        OnReady(path.toStdString());
    }
}

void Thumbnailer::keepWithinBudget() {
    while (readyBytes_ > kReadyBudgetBytes && readyOrder_.size() > 1) {
        const QString oldest = readyOrder_.front();
        readyOrder_.pop_front();
        const auto found = ready_.find(oldest);
        if (found != ready_.end()) {
            readyBytes_ -= found->sizeInBytes();
            ready_.erase(found);
        }
        std::lock_guard lock(guard_);
        asked_.erase(oldest.toStdString()); // asked again when it is shown again
    }
}

Thumbnailer::Origin Thumbnailer::Produce(const std::string& path, int edge,
                                         const std::atomic<bool>* cancel, QImage& image) {
    const Origin cached = Lookup(path, edge, image);
    return cached == Origin::Missing ? Make(path, edge, cancel, image) : cached;
}

Thumbnailer::Origin Thumbnailer::Lookup(const std::string& path, int edge, QImage& image) {
    platform::ThumbnailSource source;
    if (!platform::ThumbnailSourceOf(path, source)) {
        return Origin::Failed;
    }
    image = platform::ReadThumbnail(source, platform::ThumbnailClassEdge(edge));
    if (!image.isNull()) {
        return Origin::Cache;
    }
    return platform::HasFailedThumbnail(source, ProgramName()) ? Origin::Failed : Origin::Missing;
}

Thumbnailer::Origin Thumbnailer::Make(const std::string& path, int edge,
                                      const std::atomic<bool>* cancel, QImage& image) {
    platform::ThumbnailSource source;
    if (!platform::ThumbnailSourceOf(path, source)) {
        return Origin::Failed;
    }
    const int class_edge = platform::ThumbnailClassEdge(edge);
    const auto size = static_cast<std::size_t>(class_edge);
    engine::DecodeResult decoded =
        engine::DecodeImageFile(path, cancel, engine::ViewSize{size, size});
    if (decoded.failure == engine::DecodeFailure::Cancelled ||
        (cancel != nullptr && cancel->load())) {
        return Origin::Cancelled;
    }
    if (!decoded.image || decoded.image->columns == 0 || decoded.image->rows == 0) {
        if (decoded.failure != engine::DecodeFailure::OutOfMemory) {
            platform::WriteFailedThumbnail(source, ProgramName()); // tried again once it changes
        }
        return Origin::Failed;
    }
    // The shared cache holds sRGB for every program, whatever this screen's profile.
    engine::ConvertDisplayedToSrgb(*decoded.image);
    const engine::Image& full = *decoded.image;
    const double scale = std::min(1.0, static_cast<double>(class_edge) /
                                           static_cast<double>(std::max(full.columns, full.rows)));
    const int width = std::max(1, static_cast<int>(std::lround(full.columns * scale)));
    const int height = std::max(1, static_cast<int>(std::lround(full.rows * scale)));
    std::unique_ptr<engine::Image> scaled;
    const engine::Image* small = &full;
    if (width != static_cast<int>(full.columns) || height != static_cast<int>(full.rows)) {
        const ImageRegionFP whole{0, 0, static_cast<double>(full.columns),
                                  static_cast<double>(full.rows)};
        scaled.reset(ScaleImage_Bresenham_Fractional(full, whole, width, height));
        if (!scaled || scaled->columns == 0) {
            return Origin::Failed;
        }
        small = scaled.get();
    }
    // The record's bytes are B, G, R, A premultiplied: Qt's premultiplied ARGB in memory.
    const QImage view(small->pixels.get(), static_cast<int>(small->columns),
                      static_cast<int>(small->rows), static_cast<qsizetype>(small->columns * 4),
                      QImage::Format_ARGB32_Premultiplied);
    image = isOpaque(*small) ? view.convertToFormat(QImage::Format_RGB32)
                             : view.convertToFormat(QImage::Format_ARGB32);
    const std::size_t full_columns = decoded.reduced ? decoded.full_columns : full.columns;
    const std::size_t full_rows = decoded.reduced ? decoded.full_rows : full.rows;
    platform::WriteThumbnail(source, class_edge, image, static_cast<int>(full_columns),
                             static_cast<int>(full_rows));
    return Origin::Made;
}
