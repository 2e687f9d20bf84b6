// The decode job with decoders of its own: which wait wins, when workers are told to stop, and
// that no worker outlives a wait or the job. (The program's Qt application comes from the
// environment the other files of this test program register.)
#include "support/TestSupport.h"
#include "viewer/DecodeJob.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QEventLoop>
#include <QImage>
#include <QTest>
#include <QTimer>
#include <QWidget>

#include <atomic>
#include <chrono>
#include <new>
#include <stdexcept>
#include <thread>
#include <vector>

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

// What a decoder saw, written on its worker thread.
struct DecoderProbe {
    std::atomic<int> started{0};
    std::atomic<int> cancelled{0}; // saw its cancel flag set
    std::atomic<int> ended{0};
};

// A decoder that works for `work` (or until cancelled when it heeds the flag), then gives a
// result whose message is the path, so the caller can tell results apart.
DecodeJob::Decoder workingFor(DecoderProbe& probe, std::chrono::milliseconds work,
                              bool heedsCancel = true) {
    return [&probe, work, heedsCancel](const std::string& path, const std::atomic<bool>* cancel) {
        ++probe.started;
        engine::DecodeResult result;
        result.message = path;
        const auto end = Clock::now() + work;
        while (Clock::now() < end) {
            if (heedsCancel && cancel != nullptr && cancel->load()) {
                break;
            }
            std::this_thread::sleep_for(1ms);
        }
        if (cancel != nullptr && cancel->load()) {
            ++probe.cancelled;
            result.failure = engine::DecodeFailure::Cancelled;
        }
        ++probe.ended;
        return result;
    };
}

double millisecondsSince(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

} // namespace

// The older wait returns Withdrawn with its result untouched and its worker told to stop; the
// older worker's late news does not end the newer wait, which gets its own result; every worker
// is joined afterwards.
TEST(DecodeJob, ANewerRunWithdrawsTheWaitingOneAndKeepsItsOwnResult) {
    DecodeJob job;
    DecoderProbe older, newer;
    // The older decoder notices its cancel only after 300 ms: its news arrives while the newer
    // one (600 ms) still works.
    job.SetDecoder(workingFor(older, 300ms, false));
    bool olderWasWaiting = false;
    DecodeJob::Outcome newerOutcome = DecodeJob::Outcome::Withdrawn;
    engine::DecodeResult newerResult;
    QTimer::singleShot(20, [&] {
        olderWasWaiting = job.Waiting();
        job.SetDecoder(workingFor(newer, 600ms));
        newerOutcome = job.Run("newer", newerResult);
    });
    engine::DecodeResult olderResult;
    olderResult.message = "untouched";
    const DecodeJob::Outcome olderOutcome = job.Run("older", olderResult);

    ASSERT_TRUE(olderWasWaiting);
    EXPECT_EQ(olderOutcome, DecodeJob::Outcome::Withdrawn);
    EXPECT_EQ(olderResult.message, "untouched");
    EXPECT_EQ(olderResult.failure, engine::DecodeFailure::None);
    EXPECT_EQ(newerOutcome, DecodeJob::Outcome::Decoded);
    EXPECT_EQ(newerResult.message, "newer");
    EXPECT_EQ(newerResult.failure, engine::DecodeFailure::None);
    EXPECT_EQ(newer.ended, 1);
    EXPECT_EQ(older.cancelled, 1);
    EXPECT_FALSE(job.Waiting());
    EXPECT_TRUE(QTest::qWaitFor([&] { return job.Workers() == 0; }, 2000));
}

// The older result may already have arrived, its wait ended but not yet returned, when a newer
// request is handled in the same pass of the event loop: it is withdrawn all the same, or the
// older file would be shown over the newer one when its call returns.
TEST(DecodeJob, AResultArrivedJustBeforeANewerRunIsWithdrawnToo) {
    DecodeJob job;
    DecoderProbe older, newer;
    job.SetDecoder(workingFor(older, 100ms));
    DecodeJob::Outcome newerOutcome = DecodeJob::Outcome::Withdrawn;
    engine::DecodeResult newerResult;
    int olderEndedFirst = 0;
    QTimer::singleShot(20, [&] {
        // Holding the thread lets the older worker post its news first; the newer request is
        // posted after it and handled in the same pass.
        QTest::qSleep(300);
        olderEndedFirst = older.ended;
        QMetaObject::invokeMethod(
            &job,
            [&] {
                job.SetDecoder(workingFor(newer, 10ms));
                newerOutcome = job.Run("newer", newerResult);
            },
            Qt::QueuedConnection);
    });
    engine::DecodeResult olderResult;
    olderResult.message = "untouched";
    EXPECT_EQ(job.Run("older", olderResult), DecodeJob::Outcome::Withdrawn);
    ASSERT_EQ(olderEndedFirst, 1);
    EXPECT_EQ(olderResult.message, "untouched");
    EXPECT_EQ(newerOutcome, DecodeJob::Outcome::Decoded);
    EXPECT_EQ(newerResult.message, "newer");
    EXPECT_EQ(job.Workers(), 0u);
}

// Cancel ends the wait at once even when the decoder takes no notice; its worker is joined
// when it ends by itself. Stop ends the wait too, but returns only with every worker joined.
TEST(DecodeJob, CancelEndsTheWaitAtOnceAndStopJoinsTheWorkersFirst) {
    DecodeJob job;
    DecoderProbe probe;
    job.SetDecoder(workingFor(probe, 800ms, false));
    QTimer::singleShot(20, [&] { job.Cancel(); });
    const auto start = Clock::now();
    engine::DecodeResult result;
    EXPECT_EQ(job.Run("slow", result), DecodeJob::Outcome::Withdrawn);
    EXPECT_LT(millisecondsSince(start), 400);
    EXPECT_EQ(probe.ended, 0);
    EXPECT_EQ(job.Workers(), 1u);
    EXPECT_TRUE(QTest::qWaitFor([&] { return job.Workers() == 0; }, 3000));
    EXPECT_EQ(probe.ended, 1);
    EXPECT_EQ(probe.cancelled, 1);

    DecoderProbe stopped;
    job.SetDecoder(workingFor(stopped, 10s));
    int endedAfterStop = -1;
    QTimer::singleShot(20, [&] {
        job.Stop();
        endedAfterStop = stopped.ended;
    });
    EXPECT_EQ(job.Run("stopped", result), DecodeJob::Outcome::Withdrawn);
    EXPECT_EQ(endedAfterStop, 1);
    EXPECT_EQ(stopped.cancelled, 1);
    EXPECT_EQ(job.Workers(), 0u);
}

// The window's owner may go while a wait is on the stack: the job's end stops and joins the
// worker before it returns, and the Run returns Withdrawn without touching the job.
TEST(DecodeJob, DestroyingTheJobDuringAWaitJoinsTheWorkerFirst) {
    auto job = std::make_unique<DecodeJob>();
    DecoderProbe probe;
    job->SetDecoder(workingFor(probe, 10s));
    int endedWhenDestroyed = -1;
    QTimer::singleShot(20, [&] {
        job.reset();
        endedWhenDestroyed = probe.ended;
    });
    DecodeJob* const waiting = job.get();
    engine::DecodeResult result;
    result.message = "untouched";
    EXPECT_EQ(waiting->Run("file", result), DecodeJob::Outcome::Withdrawn);
    EXPECT_EQ(job, nullptr);
    EXPECT_EQ(endedWhenDestroyed, 1);
    EXPECT_EQ(probe.cancelled, 1);
    EXPECT_EQ(result.message, "untouched");
}

// When the application quits, every event loop ends: the wait cancels its decode and joins
// the worker before it returns, as nothing would handle the worker's news any more.
TEST(DecodeJob, TheApplicationQuittingEndsTheWaitAndJoinsTheWorker) {
    DecodeJob job;
    DecoderProbe probe;
    job.SetDecoder(workingFor(probe, 10s));
    bool returned = false;
    DecodeJob::Outcome outcome = DecodeJob::Outcome::Decoded;
    int endedAtReturn = -1;
    QTimer::singleShot(0, [&] {
        engine::DecodeResult result;
        outcome = job.Run("file", result);
        returned = true;
        endedAtReturn = probe.ended;
    });
    QTimer::singleShot(50, [] { QCoreApplication::quit(); });
    const auto start = Clock::now();
    QApplication::exec();
    ASSERT_TRUE(returned);
    EXPECT_LT(millisecondsSince(start), 2000);
    EXPECT_EQ(outcome, DecodeJob::Outcome::Withdrawn);
    EXPECT_EQ(endedAtReturn, 1);
    EXPECT_EQ(probe.cancelled, 1);
    EXPECT_EQ(job.Workers(), 0u);
}

// Nothing is thrown across the worker thread: what a decoder throws comes back as its failure.
TEST(DecodeJob, WhatADecoderThrowsBecomesItsFailure) {
    DecodeJob job;
    engine::DecodeResult result;
    job.SetDecoder([](const std::string&, const std::atomic<bool>*) -> engine::DecodeResult {
        throw std::bad_alloc();
    });
    ASSERT_EQ(job.Run("big", result), DecodeJob::Outcome::Decoded);
    EXPECT_EQ(result.failure, engine::DecodeFailure::OutOfMemory);
    EXPECT_FALSE(result.message.empty());
    job.SetDecoder([](const std::string&, const std::atomic<bool>*) -> engine::DecodeResult {
        throw std::runtime_error("bad huffman table");
    });
    ASSERT_EQ(job.Run("odd", result), DecodeJob::Outcome::Decoded);
    EXPECT_EQ(result.failure, engine::DecodeFailure::Damaged);
    EXPECT_EQ(result.reason, "bad huffman table");
    EXPECT_EQ(result.image, nullptr);
    EXPECT_EQ(job.Workers(), 0u);
}

// The whole image's decode after a step's first view: started in the order a step has (in a
// posted event a decode is waited for and its image shown, then the whole image is asked
// for), it lets the repaint asked for before it happen while it works. Waited for with Run
// from a posted call, as it used to be, that repaint came only after the decode.
TEST(DecodeJob, AStartedDecodeLetsTheRepaintAskedForBeforeItHappen) {
    struct Painted : QWidget {
        std::atomic<int> paints{0};
        void paintEvent(QPaintEvent*) override { ++paints; }
    } widget;
    widget.resize(64, 48);
    widget.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&widget));
    QTest::qWait(50);
    DecodeJob step, whole;
    DecoderProbe probe;
    step.SetDecoder(workingFor(probe, 20ms));
    // Gives "painted" once the widget is painted after the update, "not painted" after 3 s
    // without.
    std::atomic<int> paintsAtUpdate{-1};
    whole.SetDecoder([&](const std::string&, const std::atomic<bool>*) {
        for (auto end = Clock::now() + 3s; widget.paints <= paintsAtUpdate && Clock::now() < end;) {
            std::this_thread::sleep_for(2ms);
        }
        engine::DecodeResult result;
        result.message = widget.paints > paintsAtUpdate ? "painted" : "not painted";
        return result;
    });
    std::string seen;
    QEventLoop outer;
    QMetaObject::invokeMethod(
        &widget,
        [&] {
            engine::DecodeResult first;
            EXPECT_EQ(step.Run("first view", first), DecodeJob::Outcome::Decoded);
            paintsAtUpdate = widget.paints.load();
            widget.update();
            whole.Start("whole image", {}, [&](engine::DecodeResult&& result) {
                seen = result.message;
                outer.quit();
            });
            EXPECT_TRUE(whole.Waiting());
        },
        Qt::QueuedConnection);
    QTimer::singleShot(10000, &outer, &QEventLoop::quit);
    outer.exec();
    EXPECT_EQ(seen, "painted");
    EXPECT_FALSE(whole.Waiting());
    EXPECT_TRUE(QTest::qWaitFor([&] { return whole.Workers() == 0; }, 2000));
}

// A started decode is withdrawn by a newer Start, a Run or Cancel: its function is never
// called and its worker is told to stop; the newer Start's result arrives. A job destroyed
// with a Start on its way joins the worker and calls nothing.
TEST(DecodeJob, AStartedDecodeIsWithdrawnByNewerRequestsAndTheJobsEnd) {
    DecoderProbe first, second, third;
    std::vector<std::string> delivered;
    const auto deliver = [&](engine::DecodeResult&& result) {
        delivered.push_back(result.message);
    };
    {
        DecodeJob job;
        job.SetDecoder(workingFor(first, 2000ms));
        job.Start("first", {}, deliver);
        job.SetDecoder(workingFor(second, 10ms));
        job.Start("second", {}, deliver);
        ASSERT_TRUE(QTest::qWaitFor([&] { return !delivered.empty(); }, 5000));
        EXPECT_EQ(delivered, std::vector<std::string>{"second"});
        EXPECT_TRUE(QTest::qWaitFor([&] { return job.Workers() == 0; }, 2000));
        EXPECT_EQ(first.cancelled, 1);

        job.SetDecoder(workingFor(third, 2000ms));
        job.Start("withdrawn by Run", {}, deliver);
        engine::DecodeResult ran;
        job.SetDecoder(workingFor(second, 10ms));
        EXPECT_EQ(job.Run("run", ran), DecodeJob::Outcome::Decoded);
        EXPECT_EQ(ran.message, "run");
        job.SetDecoder(workingFor(third, 2000ms));
        job.Start("withdrawn by Cancel", {}, deliver);
        job.Cancel();
        EXPECT_FALSE(job.Waiting());
        job.Start("on its way at the end", {}, deliver);
    }
    EXPECT_EQ(third.started, 3);
    EXPECT_EQ(third.ended, 3) << "a worker outlived the job";
    EXPECT_EQ(third.cancelled, 3);
    QTest::qWait(50);
    EXPECT_EQ(delivered, std::vector<std::string>{"second"});
}

// An image the read-ahead holds ready is taken at once: no worker, no wait, no events handled
// (the window would paint the old picture once more). One that is not held is decoded while
// the events go on.
TEST(DecodeJob, AnImageHeldReadyIsTakenWithoutAWait) {
    testsupport::IsolatedFolders folders;
    const std::string held = folders.Home() + "/held.png", other = folders.Home() + "/other.png";
    for (const std::string& path : {held, other}) {
        QImage image(40, 30, QImage::Format_RGB32);
        image.fill(qRgb(200, 40, 10));
        ASSERT_TRUE(image.save(QString::fromStdString(path), "PNG"));
    }
    ReadAhead ahead;
    ahead.Fetch(held, {});
    const auto end = Clock::now() + 20s;
    while (!ahead.IsReady(held) && Clock::now() < end) {
        std::this_thread::sleep_for(2ms);
    }
    ASSERT_TRUE(ahead.IsReady(held));

    DecodeJob job;
    job.SetReadAhead(&ahead);
    bool eventsHandled = false;
    QTimer::singleShot(0, [&] { eventsHandled = true; });
    engine::DecodeResult result;
    ASSERT_EQ(job.Run(held, result), DecodeJob::Outcome::Decoded);
    ASSERT_TRUE(result.image);
    EXPECT_EQ(result.image->columns, 40u);
    EXPECT_EQ(ahead.Taken(), 1u);
    EXPECT_FALSE(eventsHandled) << "the held image waited for the event loop";

    engine::DecodeResult decoded;
    ASSERT_EQ(job.Run(other, decoded), DecodeJob::Outcome::Decoded);
    EXPECT_TRUE(decoded.image);
    EXPECT_TRUE(eventsHandled) << "a decode of its own handles the events meanwhile";
    job.Stop();
}
