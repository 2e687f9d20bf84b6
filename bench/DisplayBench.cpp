// Drawing a 1600 x 1000 view at 1:1: an opaque image, and one with transparent pixels laid
// over the checkerboard (the cost of compositing), offscreen.
#include "display/Im_display.h"
#include "display/MagickLibrary.h"

#include <QApplication>
#include <QImage>

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <string>
#include <unistd.h>

namespace {

std::string writeImage(bool clear) {
    QImage image(1600, 1000, QImage::Format_ARGB32);
    for (int y = 0; y < image.height(); ++y) {
        auto* row = reinterpret_cast<QRgb*>(image.scanLine(y));
        for (int x = 0; x < image.width(); ++x) {
            const int alpha = clear ? (x + y) % 256 : 255;
            row[x] = qRgba(x % 256, y % 256, 90, alpha);
        }
    }
    const std::string path = "/tmp/orvalen-display-bench-" + std::to_string(::getpid()) +
                             (clear ? "-clear.png" : "-opaque.png");
    image.save(QString::fromStdString(path), "PNG");
    return path;
}

void drawAtOneToOne(benchmark::State& state, bool clear) {
    const std::string path = writeImage(clear);
    TIM_Display display;
    display.resize(1600, 1000);
    display.SetPictureSize(1600, 1000);
    if (!display.LoadImageA(path) || display.CurrentImage.transparent != clear) {
        state.SkipWithError("the image did not load as expected");
        return;
    }
    for (auto _ : state) {
        display.DrawCanvas();
        benchmark::DoNotOptimize(display.Picture.Bitmap.constBits());
    }
    ::unlink(path.c_str());
}

void BM_DrawOpaque1600x1000(benchmark::State& state) {
    drawAtOneToOne(state, false);
}
void BM_DrawOverCheckerboard1600x1000(benchmark::State& state) {
    drawAtOneToOne(state, true);
}
BENCHMARK(BM_DrawOpaque1600x1000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_DrawOverCheckerboard1600x1000)->Unit(benchmark::kMillisecond);

} // namespace

int main(int argc, char** argv) {
    ::setenv("QT_QPA_PLATFORM", "offscreen", 0);
    QApplication application(argc, argv);
    engine::InitializeMagick(argv[0]);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
