// Work split between the calling thread and a second one, for the row and pixel loops that one
// core alone leaves slower than memory allows.
#pragma once

#include <cstddef>
#include <system_error>
#include <thread>

namespace engine {

// Runs work(begin, end) over [0, count): [split, count) on a second thread and [0, split) on
// the calling one, returning once both are done. All of it runs here, as one call
// work(0, count), when split is not below count or no thread can be started.
template <typename Work>
void RunInTwoParts(std::size_t split, std::size_t count, const Work& work) {
    std::thread second;
    if (split < count) {
        try {
            second = std::thread([&work, split, count] { work(split, count); });
        } catch (const std::system_error&) {
            split = count; // no thread to be had
        }
    }
    work(0, split < count ? split : count);
    if (second.joinable()) {
        second.join();
    }
}

} // namespace engine
