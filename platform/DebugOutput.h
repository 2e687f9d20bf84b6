// Debugger output: lines sent to whoever listens on the per-user debug socket.
#pragma once

#include <atomic>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <string>
#include <thread>

// Sends text as one datagram to "<runtime>/debug" when a listener has bound it; otherwise the
// line is lost. Costs one failed sendto when nobody listens. Never blocks, never fails visibly,
// leaves the last error unchanged. Thread-safe.
void OutputDebugStringA(const char* text);

namespace platform {

// Binds "<runtime>/debug" and receives the lines of every process of this user (the listener
// tool, and tests that read what a program traced). One listener per runtime folder: a new one
// takes the socket over. A thread of its own drains the socket at once, so that senders never
// wait for the reader; Receive takes the lines in order. Use Receive from one thread.
class DebugListener {
public:
    DebugListener();
    ~DebugListener();
    DebugListener(const DebugListener&) = delete;
    DebugListener& operator=(const DebugListener&) = delete;

    // False when the socket could not be bound (last error set).
    bool IsOpen() const { return fd_ >= 0; }
    // Waits at most timeoutMs (negative: forever) for one line. False on time-out or failure.
    bool Receive(std::string& line, int timeoutMs);
    // Receives lines until one contains needle or timeoutMs have passed; returns that line
    // or an empty string. Lines before it are appended to skipped when given.
    std::string WaitForLineContaining(const std::string& needle, int timeoutMs,
                                      std::string* skipped = nullptr);

private:
    void drain();

    int fd_ = -1;
    std::string path_;
    std::mutex guard_;
    std::condition_variable arrived_;
    std::deque<std::string> lines_;
    std::thread reader_;
    std::atomic<bool> stopping_{false};
};

} // namespace platform
