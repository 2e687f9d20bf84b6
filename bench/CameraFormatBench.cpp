// Camera RAW, HEIC, AVIF and JPEG XL beside their peers, taking turns in one run:
// - the first view (1600 x 1000) of a 24 MP DNG whose preview is a full-size JPEG, beside the
//   first view of that same JPEG as a file of its own (goal: ratio <= 1.2);
// - the DNG's developed image (goal: <= 2 s);
// - a 12 MP HEIC and a 12 MP AVIF beside `heif-convert FILE OUT.y4m` (goal: ratio <= 1.5);
// - a 24 MP JPEG XL beside `djxl FILE` (decoding without writing; goal: ratio <= 1.2).
// The tools' times are their whole processes' wall clock, start-up included, as a user waits
// for them; ours are DecodeImageFile's, 8-bit BGRA out, upright and in sRGB.
// The files are made from the build's 6000 x 4000 sample once and kept in BUILD/bench-data/.
#include "BenchSupport.h"

#include "../tests/support/CameraFiles.h"
#include "display/ImageDecoder.h"
#include "display/MagickLibrary.h"
#include "display/RawDecoder.h"

#include <benchmark/benchmark.h>
#include <magick/MagickCore.h>

#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <spawn.h>
#include <sstream>
#include <sys/wait.h>

extern char** environ;

namespace {

std::string folder, jpegFile, dngFile, heicFile, avifFile, jxlFile;
const engine::ViewSize kView{1600, 1000};

std::string readAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream bytes;
    bytes << in.rdbuf();
    return bytes.str();
}

// Milliseconds a program takes from its start to its end; negative when it fails.
double runMs(const std::vector<std::string>& command) {
    std::vector<char*> argv;
    for (const std::string& word : command) {
        argv.push_back(const_cast<char*>(word.c_str()));
    }
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    const double start = benchsupport::NowMs();
    pid_t pid = 0;
    const int spawned = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    int status = 0;
    if (spawned != 0 || ::waitpid(pid, &status, 0) != pid || !WIFEXITED(status) ||
        WEXITSTATUS(status) != 0) {
        return -1;
    }
    return benchsupport::NowMs() - start;
}

double decodeMs(const std::string& path, engine::ViewSize view = {}) {
    const double start = benchsupport::NowMs();
    const engine::DecodeResult result = engine::DecodeImageFile(path, nullptr, view);
    const double ms = benchsupport::NowMs() - start;
    return result.image ? ms : -1;
}

// A PNG of the picture's block (x, y, width, height), through the image library.
bool writePng(const testsupport::Picture& picture, std::size_t width, std::size_t height,
              const std::string& path) {
    std::vector<std::uint8_t> block(width * height * 4);
    for (std::size_t y = 0; y < height; ++y) {
        std::memcpy(&block[y * width * 4], picture.At(0, y), width * 4);
    }
    ::ExceptionInfo* exception = AcquireExceptionInfo();
    ::Image* image = ::ConstituteImage(width, height, "BGRP", CharPixel, block.data(), exception);
    bool written = false;
    if (image != nullptr) {
        ImageInfo* info = AcquireImageInfo();
        std::snprintf(image->filename, sizeof image->filename, "png:%s", path.c_str());
        info->quality = 10; // fast deflate: only the tools read it
        written = WriteImage(info, image) != MagickFalse;
        DestroyImageInfo(info);
        DestroyImage(image);
    }
    DestroyExceptionInfo(exception);
    return written;
}

// Makes the files that are missing from the sample JPEG (6000 x 4000).
bool makeFiles(const std::string& sample) {
    std::filesystem::create_directories(folder);
    jpegFile = folder + "/photo.jpg";
    dngFile = folder + "/photo.dng";
    heicFile = folder + "/photo-12mp.heic";
    avifFile = folder + "/photo-12mp.avif";
    jxlFile = folder + "/photo.jxl";
    const std::string jpeg = readAll(sample);
    if (jpeg.empty()) {
        return false;
    }
    std::ofstream(jpegFile, std::ios::binary) << jpeg;
    if (std::filesystem::exists(dngFile) && std::filesystem::exists(heicFile) &&
        std::filesystem::exists(avifFile) && std::filesystem::exists(jxlFile)) {
        return true;
    }
    const engine::DecodeResult decoded = engine::DecodeImageFile(jpegFile);
    if (!decoded.image) {
        return false;
    }
    testsupport::Picture picture{decoded.image->columns, decoded.image->rows, {}};
    picture.bgra.assign(decoded.image->pixels.get(),
                        decoded.image->pixels.get() + picture.width * picture.height * 4);
    std::ofstream(dngFile, std::ios::binary)
        << testsupport::DngFile(picture, 1, jpeg, picture.width, picture.height);
    const std::string whole = folder + "/photo.png", twelve = folder + "/photo-12mp.png";
    if (!writePng(picture, picture.width, picture.height, whole) ||
        !writePng(picture, 4000, 3000, twelve)) {
        return false;
    }
    std::fprintf(stderr, "making the HEIC, AVIF and JPEG XL files (once; a few minutes)\n");
    return runMs({"heif-enc", "-q", "85", "-o", heicFile, twelve}) >= 0 &&
           runMs({"heif-enc", "-A", "-q", "80", "-p", "speed=8", "-o", avifFile, twelve}) >= 0 &&
           runMs({"cjxl", whole, jxlFile, "-d", "1"}) >= 0;
}

struct Pair {
    const char* title;
    const char* ours;
    const char* peer;
    double goal;
    std::vector<double> a, b;
};

void printPair(const Pair& pair) {
    const double ours = benchsupport::Median(pair.a), peer = benchsupport::Median(pair.b);
    std::printf("  %-44s %9.1f ms %9.1f ms %7.3f   (goal <= %.2f)\n", pair.title, ours, peer,
                ours / peer, pair.goal);
}

void BM_Dng_24MP_FirstView(benchmark::State& state) {
    for (auto _ : state) {
        benchmark::DoNotOptimize(engine::DecodeImageFile(dngFile, nullptr, kView));
    }
}
void BM_Jpeg_24MP_FirstView(benchmark::State& state) {
    for (auto _ : state) {
        benchmark::DoNotOptimize(engine::DecodeImageFile(jpegFile, nullptr, kView));
    }
}
void BM_Dng_24MP_Developed(benchmark::State& state) {
    for (auto _ : state) {
        benchmark::DoNotOptimize(engine::DecodeImageFile(dngFile));
    }
}
void BM_Heic_12MP(benchmark::State& state) {
    for (auto _ : state) {
        benchmark::DoNotOptimize(engine::DecodeImageFile(heicFile));
    }
}
void BM_Avif_12MP(benchmark::State& state) {
    for (auto _ : state) {
        benchmark::DoNotOptimize(engine::DecodeImageFile(avifFile));
    }
}
void BM_Jxl_24MP(benchmark::State& state) {
    for (auto _ : state) {
        benchmark::DoNotOptimize(engine::DecodeImageFile(jxlFile));
    }
}

} // namespace

BENCHMARK(BM_Dng_24MP_FirstView)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Jpeg_24MP_FirstView)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Dng_24MP_Developed)->Unit(benchmark::kMillisecond)->Iterations(2);
BENCHMARK(BM_Heic_12MP)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Avif_12MP)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Jxl_24MP)->Unit(benchmark::kMillisecond);

int main(int argc, char** argv) {
    benchsupport::TemporaryFolder cache("XDG_CACHE_HOME");
    engine::InitializeMagick(argv[0]);
    folder = ORVALEN_BENCH_DATA_DIR "/camera";
    if (!makeFiles(ORVALEN_SAMPLES_DIR "/large 6000x4000.jpg")) {
        std::fprintf(stderr, "camera_formats_bench: the files could not be made in %s\n",
                     folder.c_str());
        return 1;
    }
    const engine::DecodeResult preview = engine::DecodeImageFile(dngFile, nullptr, kView);
    const engine::DecodeResult whole = engine::DecodeImageFile(dngFile);
    if (preview.rendition != "embedded preview" || whole.rendition != "developed") {
        std::fprintf(stderr,
                     "camera_formats_bench: the DNG does not give its two renditions (\"%s\": "
                     "%s; \"%s\": %s)\n",
                     preview.rendition.c_str(), preview.message.c_str(), whole.rendition.c_str(),
                     whole.message.c_str());
        return 1;
    }

    constexpr int kRuns = 7;
    Pair firstView{"24 MP DNG first view / same JPEG's", "DNG", "JPEG", 1.2, {}, {}};
    Pair heic{"12 MP HEIC / heif-convert (y4m)", "ours", "tool", 1.5, {}, {}};
    Pair avif{"12 MP AVIF / heif-convert (y4m)", "ours", "tool", 1.5, {}, {}};
    Pair jxl{"24 MP JPEG XL / djxl (no output)", "ours", "tool", 1.2, {}, {}};
    const std::string y4m = std::string(std::getenv("XDG_CACHE_HOME")) + "/out.y4m";
    // Taking turns, so that both see the same state of the machine; the first round warms up.
    for (int run = -1; run < kRuns; ++run) {
        const double dngMs = decodeMs(dngFile, kView), jpegMs = decodeMs(jpegFile, kView);
        const double heicMs = decodeMs(heicFile), heicTool = runMs({"heif-convert", heicFile, y4m});
        const double avifMs = decodeMs(avifFile), avifTool = runMs({"heif-convert", avifFile, y4m});
        const double jxlMs = decodeMs(jxlFile), jxlTool = runMs({"djxl", jxlFile});
        if (dngMs < 0 || jpegMs < 0 || heicMs < 0 || heicTool < 0 || avifMs < 0 || avifTool < 0 ||
            jxlMs < 0 || jxlTool < 0) {
            std::fprintf(stderr, "camera_formats_bench: a decode or a tool failed\n");
            return 1;
        }
        if (run < 0) {
            continue;
        }
        firstView.a.push_back(dngMs);
        firstView.b.push_back(jpegMs);
        heic.a.push_back(heicMs);
        heic.b.push_back(heicTool);
        avif.a.push_back(avifMs);
        avif.b.push_back(avifTool);
        jxl.a.push_back(jxlMs);
        jxl.b.push_back(jxlTool);
    }
    std::vector<double> developed;
    std::vector<engine::RawDevelopTimes> stages;
    for (int run = 0; run < 3; ++run) {
        developed.push_back(decodeMs(dngFile));
        stages.push_back(engine::LastRawDevelopTimes());
    }
    std::printf("Medians of %d runs taking turns (view %zu x %zu)\n", kRuns, kView.columns,
                kView.rows);
    std::printf("  %-44s %12s %12s %7s\n", "", "ours", "peer", "ratio");
    for (const Pair* pair : {&firstView, &heic, &avif, &jxl}) {
        printPair(*pair);
    }
    std::printf("  %-44s %9.1f ms   (goal <= 2000 ms)\n", "24 MP DNG developed (median of 3)",
                benchsupport::Median(developed));
    // Where the developed image's time goes, run by run, as measured inside the decoder.
    for (const engine::RawDevelopTimes& times : stages) {
        std::printf("    open %.0f, unpack %.0f, processing %.0f (", times.open_ms, times.unpack_ms,
                    times.process_ms);
        for (const auto& [stage, ms] : times.stages) {
            std::printf("%s %.0f; ", stage.c_str(), ms);
        }
        std::printf("of which the sensor copy %.0f, white balance %.0f and the colour matrix "
                    "%.0f), curve into the record %.0f ms\n",
                    times.sensor_copy_ms, times.white_balance_ms, times.colour_matrix_ms,
                    times.output_ms);
    }

    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
