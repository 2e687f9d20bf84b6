// What an embedded colour profile costs: the 6000 x 4000 sample JPEG decoded as it is and with
// an Adobe RGB profile put in front of its image data (the same compressed pixels), taking
// turns in one run, and the conversion of a decoded record alone. Goal: with the profile at
// most 1.15 times the time without.
//
//   colour_bench [JPEG] [benchmark options]
#include "BenchSupport.h"

#include "display/ColourManagement.h"
#include "display/ImageDecoder.h"
#include "display/MagickLibrary.h"

#include <benchmark/benchmark.h>
#include <lcms2.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <sys/resource.h>
#include <time.h>
#include <vector>

namespace {

std::string plainFile;
std::string profiledFile;
std::string adobeRgb;

std::string adobeRgbProfile() {
    const cmsCIExyY d65 = {0.3127, 0.3290, 1.0};
    const cmsCIExyYTRIPLE primaries = {{0.64, 0.33, 1.0}, {0.21, 0.71, 1.0}, {0.15, 0.06, 1.0}};
    cmsToneCurve* gamma = cmsBuildGamma(nullptr, 563.0 / 256.0);
    cmsToneCurve* curves[3] = {gamma, gamma, gamma};
    cmsHPROFILE profile = cmsCreateRGBProfile(&d65, &primaries, curves);
    cmsUInt32Number size = 0;
    cmsSaveProfileToMem(profile, nullptr, &size);
    std::string bytes(size, '\0');
    cmsSaveProfileToMem(profile, bytes.data(), &size);
    cmsCloseProfile(profile);
    cmsFreeToneCurve(gamma);
    return bytes;
}

// The JPEG's segments before its image data without the ICC profile it may embed, and the
// profile icc instead when it is not empty: the compressed pixels stay as they are.
bool writeCopy(const std::string& jpeg, const std::string& to, const std::string& icc) {
    auto byte = [&](std::size_t at) { return static_cast<unsigned char>(jpeg[at]); };
    if (jpeg.size() < 4 || byte(0) != 0xFF || byte(1) != 0xD8 || icc.size() > 65000) {
        return false;
    }
    std::string copy = jpeg.substr(0, 2);
    if (!icc.empty()) {
        const std::string body = std::string("ICC_PROFILE\0\x01\x01", 14) + icc;
        const std::size_t length = body.size() + 2;
        copy += std::string("\xFF\xE2", 2) + static_cast<char>(length >> 8) +
                static_cast<char>(length & 0xFF) + body;
    }
    std::size_t at = 2;
    while (at + 4 <= jpeg.size() && byte(at) == 0xFF && byte(at + 1) != 0xDA) {
        const std::size_t length = (std::size_t{byte(at + 2)} << 8) | byte(at + 3);
        const bool profile = byte(at + 1) == 0xE2 && jpeg.compare(at + 4, 11, "ICC_PROFILE") == 0;
        if (!profile) {
            copy += jpeg.substr(at, length + 2);
        }
        at += length + 2;
    }
    std::ofstream(to, std::ios::binary) << copy << jpeg.substr(at);
    return true;
}

// Milliseconds of processor time: this thread's, or all of the process's threads'.
double threadCpuMs() {
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) * 1e3 + static_cast<double>(now.tv_nsec) / 1e6;
}
double processCpuMs() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    const auto ms = [](const timeval& t) {
        return static_cast<double>(t.tv_sec) * 1e3 + static_cast<double>(t.tv_usec) / 1e3;
    };
    return ms(usage.ru_utime) + ms(usage.ru_stime);
}

struct Timing {
    double wall = 0, thread = 0, process = 0;
};

Timing decode(const std::string& path) {
    const double start = benchsupport::NowMs(), thread = threadCpuMs(), process = processCpuMs();
    engine::DecodeResult result = engine::DecodeImageFile(path);
    const Timing timing{benchsupport::NowMs() - start, threadCpuMs() - thread,
                        processCpuMs() - process};
    if (!result.image) {
        std::fprintf(stderr, "colour_bench: %s: %s\n", path.c_str(), result.message.c_str());
        std::exit(1);
    }
    return timing;
}

double decodeMs(const std::string& path) {
    return decode(path).wall;
}

void BM_Decode_24MP_Jpeg(benchmark::State& state) {
    for (auto _ : state) {
        benchmark::DoNotOptimize(decodeMs(plainFile));
    }
}

void BM_Decode_24MP_Jpeg_AdobeRgb(benchmark::State& state) {
    for (auto _ : state) {
        benchmark::DoNotOptimize(decodeMs(profiledFile));
    }
}

// The conversion alone, on two threads, of a decoded 6000 x 4000 record.
void BM_Convert_24MP_AdobeRgb(benchmark::State& state) {
    engine::DecodeResult decoded = engine::DecodeImageFile(plainFile);
    for (auto _ : state) {
        engine::ConvertImageForDisplay(*decoded.image, adobeRgb);
    }
}

} // namespace

BENCHMARK(BM_Decode_24MP_Jpeg)->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(BM_Decode_24MP_Jpeg_AdobeRgb)->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(BM_Convert_24MP_AdobeRgb)->Unit(benchmark::kMillisecond);

int main(int argc, char** argv) {
    benchsupport::TemporaryFolder cache("XDG_CACHE_HOME");
    engine::InitializeMagick(argv[0]);
    const std::string sample =
        argc > 1 && argv[1][0] != '-' ? argv[1] : ORVALEN_SAMPLES_DIR "/large 6000x4000.jpg";
    const std::string folder = std::getenv("XDG_CACHE_HOME");
    plainFile = folder + "/no-profile.jpg";
    profiledFile = folder + "/adobe-rgb.jpg";
    adobeRgb = adobeRgbProfile();
    std::ifstream in(sample, std::ios::binary);
    std::stringstream whole;
    whole << in.rdbuf();
    if (!writeCopy(whole.str(), plainFile, "") || !writeCopy(whole.str(), profiledFile, adobeRgb)) {
        std::fprintf(stderr, "colour_bench: %s is no JPEG to copy\n", sample.c_str());
        return 1;
    }

    {
        const engine::DecodeResult plain = engine::DecodeImageFile(plainFile);
        const engine::DecodeResult profiled = engine::DecodeImageFile(profiledFile);
        const std::size_t bytes = plain.image ? plain.image->columns * plain.image->rows * 4 : 0;
        if (!plain.icc_profile.empty() || profiled.icc_profile != adobeRgb || !profiled.image ||
            std::memcmp(plain.image->pixels.get(), profiled.image->pixels.get(), bytes) == 0) {
            std::fprintf(stderr, "colour_bench: the copies do not hold what they should\n");
            return 1;
        }
    }
    // Taking turns, so that both see the same state of the machine; the first pair warms up.
    constexpr int kRuns = 11;
    std::vector<double> plain[3], profiled[3];
    decode(plainFile);
    decode(profiledFile);
    for (int run = 0; run < kRuns; ++run) {
        const Timing without = decode(plainFile);
        const Timing with = decode(profiledFile);
        plain[0].push_back(without.wall);
        plain[1].push_back(without.thread);
        plain[2].push_back(without.process);
        profiled[0].push_back(with.wall);
        profiled[1].push_back(with.thread);
        profiled[2].push_back(with.process);
    }
    std::printf("Decoding %s, medians of %d taking turns\n", sample.c_str(), kRuns);
    std::printf("  %-34s %12s %12s %7s\n", "", "no profile", "Adobe RGB", "ratio");
    const char* rows[3] = {"wall clock (goal: ratio <= 1.15)", "processor, decoding thread",
                           "processor, all threads"};
    for (int row = 0; row < 3; ++row) {
        const double a = benchsupport::Median(plain[row]);
        const double b = benchsupport::Median(profiled[row]);
        std::printf("  %-34s %9.1f ms %9.1f ms %7.3f\n", rows[row], a, b, b / a);
    }

    if (argc > 1 && argv[1][0] != '-') {
        argv[1] = argv[0];
        --argc;
        ++argv;
    }
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
