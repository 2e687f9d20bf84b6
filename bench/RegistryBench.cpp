// A committed registry write and a read, and the values a viewer window writes when it closes.
#include "common/Settings.h"

#include "BenchSupport.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <string>

namespace {

void BM_CommittedWrite(benchmark::State& state) {
    benchsupport::TemporaryFolder folder("XDG_CONFIG_HOME");
    TRegistryIniFileSpecial settings(settings_base_key, KEY_ALL_ACCESS);
    settings.Section = "viewer_0";
    std::int32_t value = 0;
    for (auto _ : state) {
        settings.WriteInteger("Width", ++value);
    }
}
BENCHMARK(BM_CommittedWrite)
    ->Unit(benchmark::kMicrosecond)
    ->Repetitions(5)
    ->ReportAggregatesOnly(true)
    ->ComputeStatistics("max", benchsupport::Maximum);

void BM_Read(benchmark::State& state) {
    benchsupport::TemporaryFolder folder("XDG_CONFIG_HOME");
    TRegistryIniFileSpecial settings(settings_base_key, KEY_ALL_ACCESS);
    settings.Section = "viewer_0";
    settings.WriteInteger("Width", 1024);
    for (auto _ : state) {
        benchmark::DoNotOptimize(settings.ReadInteger("Width", 0));
    }
}
BENCHMARK(BM_Read)
    ->Unit(benchmark::kMicrosecond)
    ->Repetitions(5)
    ->ReportAggregatesOnly(true)
    ->ComputeStatistics("max", benchsupport::Maximum);

// The thirteen values the viewer writes at close, in their order.
void BM_ViewerCloseWrites(benchmark::State& state) {
    benchsupport::TemporaryFolder folder("XDG_CONFIG_HOME");
    TRegistryIniFileSpecial settings(settings_base_key, KEY_ALL_ACCESS);
    settings.Section = "viewer_0";
    for (auto _ : state) {
        settings.WriteInteger("Width", 1024);
        settings.WriteInteger("Height", 768);
        settings.WriteInteger("Top", 10);
        settings.WriteInteger("Left", 20);
        settings.WriteInteger("desired top", 10);
        settings.WriteInteger("desired left", 20);
        settings.WriteBool("maximized", false);
        settings.WriteBool("remember_zoom_settings", false);
        settings.WriteInteger("windowbehavior", 1);
        settings.WriteBool("fullscreen", false);
        settings.WriteBool("shrink_to_fit_screen", false);
        settings.WriteFloat("zoom_factor", 1.25);
        settings.WriteFloat("desired_zoom_factor", 1.25);
    }
}
BENCHMARK(BM_ViewerCloseWrites)
    ->Unit(benchmark::kMillisecond)
    ->Repetitions(5)
    ->ReportAggregatesOnly(true)
    ->ComputeStatistics("max", benchsupport::Maximum);

} // namespace

BENCHMARK_MAIN();
