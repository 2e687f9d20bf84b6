// The pipe handshake of a client, and one Send -> ITM_NOTIFY -> drain round trip.
// Runs in its own runtime folder, so it never meets a running program's server.
#include "messaging/MessageClient.h"
#include "messaging/MessageServer.h"
#include "platform/Platform.h"

#include "BenchSupport.h"

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <filesystem>
#include <string>

namespace {

void BM_ConnectHandshake(benchmark::State& state) {
    benchsupport::TemporaryFolder folder("XDG_RUNTIME_DIR");
    MessageServer server;
    server.Start("bench_itm_server");
    int n = 0;
    for (auto _ : state) {
        MessageClient client;
        const std::string name = "Client" + std::to_string(n++);
        if (!client.Connect(name.c_str(), 0, GetCurrentThreadId(), "bench_itm_server")) {
            state.SkipWithError("connect failed");
            break;
        }
    }
}
BENCHMARK(BM_ConnectHandshake)
    ->Unit(benchmark::kMicrosecond)
    ->Repetitions(5)
    ->ReportAggregatesOnly(true)
    ->ComputeStatistics("max", benchsupport::Maximum);

void BM_SendNotifyDrain(benchmark::State& state) {
    benchsupport::TemporaryFolder folder("XDG_RUNTIME_DIR");
    MessageServer server;
    server.Start("bench_itm_server");
    MessageClient browser, viewer;
    browser.Connect("Browser", 0, GetCurrentThreadId(), "bench_itm_server");
    viewer.Connect("Viewer", 0, GetCurrentThreadId(), "bench_itm_server");
    for (auto _ : state) {
        Message message;
        message.kind = IV_DISPLAY_IMAGE;
        message.payload = MessagePayloadCopy("/home/user/Pictures/photo.jpg");
        browser.Send("Viewer", message, true);
        MSG notification;
        if (!WaitThreadMessage(&notification, 1000) || notification.message != ITM_NOTIFY) {
            state.SkipWithError("no notification");
            break;
        }
        int handled = 0;
        DrainMessages(
            viewer, [&](const Message&) { ++handled; }, "drain");
        benchmark::DoNotOptimize(handled);
    }
}
BENCHMARK(BM_SendNotifyDrain)
    ->Unit(benchmark::kMicrosecond)
    ->Repetitions(5)
    ->ReportAggregatesOnly(true);

} // namespace

BENCHMARK_MAIN();
