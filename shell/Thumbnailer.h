// Thumbnails of image files for the list's grid, made on worker threads: taken from the desktop's
// shared cache when it holds a current one (whoever made it), else decoded at a reduced size,
// turned upright, scaled and stored there for everyone. The window only asks and is told when
// one is ready; it never waits. Two stages: the cache is read at the usual priority (what the
// user waits for, and quick), decodes run at background priority so they never take a
// processor from the window.
#pragma once

#include <QHash>
#include <QImage>
#include <QObject>
#include <QString>
#include <QThreadPool>

#include <atomic>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_set>

class Thumbnailer : public QObject {
public:
    explicit Thumbnailer(QObject* owner = nullptr);
    // Stops the work under way and waits for the workers.
    ~Thumbnailer() override;

    // The edge of the square the thumbnails fit in: 128, 256, 512 or 1024 (the cache's size
    // classes). A new edge forgets what was made for the old one.
    void SetEdge(int edge);
    int Edge() const { return edge_; }
    // Forgets everything asked and made, and stops the decodes under way (the folder changed).
    void Clear();
    // Asks for the thumbnails of paths. urgent ones (what the window shows) go before everything
    // asked earlier, in the order given; the others go after it.
    void Request(const std::vector<std::string>& paths, bool urgent);
    // The thumbnail of path when it is ready (null otherwise); main thread.
    const QImage* Find(const std::string& path) const;
    // The file could not be read as an image (its failure entry exists or was just written).
    bool Failed(const std::string& path) const {
        return failed_.contains(QString::fromStdString(path));
    }
    // Paths asked for and not yet ready or failed.
    int Pending() const;
    // Called on the main thread when a thumbnail of path is ready or has failed.
    std::function<void(const std::string& path)> OnReady;

    // How a thumbnail came: from the cache, made now, or not at all (Missing: the cache has
    // none, it is to be made).
    enum class Origin { Cache, Made, Failed, Cancelled, Missing };
    // The cache's current thumbnail of path (Cache), its failure entry (Failed), or Missing.
    static Origin Lookup(const std::string& path, int edge, QImage& image);
    // Decodes path, scales it into edge and stores it in the cache (Made), or writes the failure
    // entry (Failed); Cancelled when cancel (may be null) was set.
    static Origin Make(const std::string& path, int edge, const std::atomic<bool>* cancel,
                       QImage& image);
    // Does one file's work on the calling thread: the cached thumbnail when current, else a new
    // one stored in the cache (or a failure entry). image is upright, its longer side at most
    // edge (never enlarged). cancel may be null.
    static Origin Produce(const std::string& path, int edge, const std::atomic<bool>* cancel,
                          QImage& image);
    // The name of the failure entries' folder: "orvalen-<version>".
    static std::string ProgramName();

private:
    void startWorkers();
    void look(std::shared_ptr<std::atomic<bool>> cancel, unsigned generation);
    void make(std::shared_ptr<std::atomic<bool>> cancel, unsigned generation);
    // A worker's next path from queue, and the size asked for; false (the worker counted out
    // of workers) when the queue is empty, cancelled or of an older folder.
    bool takeNext(std::deque<std::string>& queue, int& workers, unsigned generation,
                  const std::atomic<bool>& cancel, std::string& path, int& edge);
    // Hands a worker's result to the window's thread.
    void post(unsigned generation, const std::string& path, const QImage& image, Origin origin);
    void deliver(unsigned generation, const QString& path, const QImage& image, Origin origin);
    void keepWithinBudget();

    int edge_ = 256;
    QThreadPool lookups_;
    QThreadPool decodes_;
    mutable std::mutex guard_;               // the queues, the generation and the cancel flag
    std::deque<std::string> queue_;          // to look up, the most urgent first
    std::deque<std::string> decodeQueue_;    // missing from the cache, in the order found
    std::unordered_set<std::string> urgent_; // asked as urgent: decoded before the others
    std::unordered_set<std::string> asked_;  // queued, being made or done
    unsigned generation_ = 0;
    std::shared_ptr<std::atomic<bool>> cancel_;
    int looking_ = 0, making_ = 0; // workers running in each pool
    // Main thread only.
    QHash<QString, QImage> ready_;
    QHash<QString, bool> failed_;
    std::deque<QString> readyOrder_; // oldest first, for dropping when over the budget
    long long readyBytes_ = 0;
};
