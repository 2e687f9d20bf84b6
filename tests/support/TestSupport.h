// Shared test fixtures: isolated per-user folders, recorded message boxes, child processes.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace testsupport {

// Points XDG_CONFIG_HOME, XDG_DATA_HOME, XDG_RUNTIME_DIR, XDG_CACHE_HOME and HOME at fresh folders
// under one temporary root for the life of the object, and restores the old values afterwards.
class IsolatedFolders {
public:
    IsolatedFolders();
    ~IsolatedFolders();
    IsolatedFolders(const IsolatedFolders&) = delete;
    IsolatedFolders& operator=(const IsolatedFolders&) = delete;

    const std::string& Root() const { return root_; }
    std::string Config() const { return root_ + "/config"; }
    std::string Data() const { return root_ + "/data"; }
    std::string Runtime() const { return root_ + "/runtime"; }
    std::string Home() const { return root_ + "/home"; }
    std::string Cache() const { return root_ + "/cache"; }

private:
    std::string root_;
    std::vector<std::pair<std::string, std::string>> saved_;
    std::vector<std::string> unset_;
};

struct RecordedBox {
    std::string caption;
    std::string text;
};

// Records every MessageBoxA instead of showing it, for the life of the object.
class RecordedBoxes {
public:
    RecordedBoxes();
    ~RecordedBoxes();
    RecordedBoxes(const RecordedBoxes&) = delete;
    RecordedBoxes& operator=(const RecordedBoxes&) = delete;

    std::vector<RecordedBox> Take();
    std::size_t Count();
    // Waits up to ms for at least n boxes (boxes may come from worker threads).
    bool WaitForCount(std::size_t n, int ms);
    // What a box answers (a question's IDYES or IDNO).
    std::atomic<int> Answer{6};

private:
    std::mutex guard_;
    std::vector<RecordedBox> boxes_;
};

// A fixture with both: every test gets its own folders and a box recorder.
class IsolatedTest : public ::testing::Test {
protected:
    IsolatedFolders folders;
    RecordedBoxes boxes;
};

// A program started with posix_spawn whose standard output is read line by line.
class ChildProcess {
public:
    ChildProcess(const std::string& program, const std::vector<std::string>& arguments);
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    int Pid() const { return pid_; }
    bool Started() const { return pid_ > 0; }
    // One line of the child's output without its newline; empty after ms without one.
    std::string ReadLine(int ms);
    void Kill(int signal);
    // Waits up to ms for the child to end; returns its exit status, or -1 (still running) or
    // -2 (ended by a signal).
    int Wait(int ms);

private:
    int pid_ = -1;
    int out_ = -1;
    std::string pending_;
    bool reaped_ = false;
};

// Makes a FIFO at path for the life of the object. If it is still alive after ms, the FIFO is
// opened for writing once and closed, so a reader blocked on it wakes up and reads its end: a
// test of code that must not block on it fails instead of hanging.
class TrapFifo {
public:
    TrapFifo(std::string path, int ms);
    ~TrapFifo();
    TrapFifo(const TrapFifo&) = delete;
    TrapFifo& operator=(const TrapFifo&) = delete;

    bool Made() const { return made_; }
    // True once the FIFO had to be opened to wake a blocked reader.
    bool Sprung() const { return sprung_; }

private:
    std::string path_;
    bool made_ = false;
    std::atomic<bool> sprung_{false};
    std::mutex guard_;
    std::condition_variable released_;
    bool done_ = false;
    std::thread watch_;
};

// The debug channel of the main programs a test starts: waits for their lines, remembers their
// process ids (from "... in process N") and ends every one of them with the object.
class MainProgramWatch {
public:
    MainProgramWatch();
    ~MainProgramWatch();
    MainProgramWatch(const MainProgramWatch&) = delete;
    MainProgramWatch& operator=(const MainProgramWatch&) = delete;

    // Reads lines until one holds needle; false after ms without one.
    bool WaitFor(const std::string& needle, int ms = 15000);

    std::vector<std::string> seen; // every line read so far
    int lastPid = 0;               // the process that last named itself

private:
    struct Listener;
    std::unique_ptr<Listener> listener_;
    std::set<int> pids_;
};

// The folder that holds the built programs (the test binaries' own folder).
std::string ProgramFolder();

// Stops the process (SIGSTOP) and waits until every one of its threads has stopped; false
// when that takes longer than ms.
bool StopProcess(int pid, int ms = 5000);

// This process's resident memory now (VmRSS), in MB.
double ResidentMegabytes();

} // namespace testsupport
