// Faults the pages of a fresh record in on the other core while a decoder fills its rows: first
// touches of hundreds of megabytes took a third of the decoding time (and with huge pages up to
// twice it) when they happened row by row on the decoding thread. The pages are populated
// without being written, so rows already decoded are never disturbed.
#pragma once

#include "EngineImage.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <thread>

namespace engine {

class PagePopulator {
public:
    // Starts populating [block, block + bytes); throws std::system_error when no thread starts.
    PagePopulator(std::uint8_t* block, std::size_t bytes);
    // Stops populating (at the next 8 MB) and joins the thread.
    ~PagePopulator();
    PagePopulator(const PagePopulator&) = delete;
    PagePopulator& operator=(const PagePopulator&) = delete;

private:
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

// A populator for the pixels of a record just made, or null where none helps (mapped from a
// file) or no thread can be started. A record below 16 MB is prepared at once on the calling
// thread instead (platform::PrepareForWriting), also null. Keep it while the rows are written.
std::unique_ptr<PagePopulator> PopulatePages(Image& record);

// Gives back the pages of a record that lives in a cache file as a decoder finishes writing its
// rows from the top, 64 MB at a time: one too large for memory would otherwise become resident
// whole while it is decoded. The rows stay in the file. Does nothing for a record in memory.
class FinishedRows {
public:
    explicit FinishedRows(const Image& record) : record_(record) {}
    // Rows [0, rows) are written and will not be written again.
    void Upto(std::size_t rows);

private:
    const Image& record_;
    std::size_t released_ = 0;
};

} // namespace engine
