// framekit-tool: the display package from the command line.
//
//   framekit-tool decode FILE
//       prints WIDTH HEIGHT FORMAT DECODE_MS EXPORT_MS; on failure the message on standard
//       error and exit status 1
//   framekit-tool scale FILE X Y W H DW DH OUT.png
//       writes the region-level scaler's output for the window (X, Y, W, H) at DW x DH
//   framekit-tool bench FILE
//       decode time (median of 5), resident memory added by the decoded image,
//       fitting it into a 1600 x 1000 display and panning by 20 pixels at zoom 1 and 2.5
//
// Message boxes go to standard error in this tool.
#include "BenchSupport.h"
#include "display/Im_display.h"
#include "display/MagickLibrary.h"
#include "platform/Timing.h"

#include <QApplication>
#include <QImage>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

long residentKilobytes() {
    std::ifstream status("/proc/self/statm");
    long size = 0, resident = 0;
    status >> size >> resident;
    return resident * (::sysconf(_SC_PAGESIZE) / 1024);
}

int decode(const char* file) {
    Image_Magick_Image image;
    if (!image.ReadImage(file)) {
        return 1;
    }
    std::printf("%zu %zu %s %.3f %.3f\n", image.Columns(), image.Rows(), image.Format().c_str(),
                image.last_decode_ms, image.last_export_ms);
    return 0;
}

int scale(char** argv) {
    Image_Magick_Image image;
    if (!image.ReadImage(argv[2])) {
        return 1;
    }
    const ImageRegionFP window{std::atof(argv[3]), std::atof(argv[4]), std::atof(argv[5]),
                               std::atof(argv[6])};
    engine::Image* scaled =
        ScaleImage_Bresenham_Fractional(image, window, std::atoi(argv[7]), std::atoi(argv[8]));
    if (scaled == nullptr) {
        return 1;
    }
    // The engine's BGRA bytes are what ARGB32 holds in memory on this little-endian machine.
    const QImage out(scaled->pixels.get(), static_cast<int>(scaled->columns),
                     static_cast<int>(scaled->rows), static_cast<int>(scaled->columns * 4),
                     QImage::Format_ARGB32);
    const bool saved = out.save(QString::fromLocal8Bit(argv[9]), "PNG");
    engine::DestroyImage(scaled);
    if (!saved) {
        std::fprintf(stderr, "framekit-tool: cannot write %s\n", argv[9]);
        return 1;
    }
    return 0;
}

int bench(const char* file) {
    std::vector<double> decodeMs, exportMs, releaseMs;
    const long before = residentKilobytes();
    long added = 0;
    for (int run = 0; run < 5; ++run) {
        Image_Magick_Image image;
        if (!image.ReadImage(file)) {
            return 1;
        }
        decodeMs.push_back(image.last_decode_ms);
        exportMs.push_back(image.last_export_ms);
        releaseMs.push_back(image.last_release_ms);
        added = std::max(added, residentKilobytes() - before);
    }
    TIM_Display display;
    display.resize(1600, 1000);
    display.SetPictureSize(1600, 1000);
    display.Canvas()->Brush = 0;
    if (!display.LoadImageA(std::string(file))) {
        return 1;
    }
    const double pixels = static_cast<double>(display.CurrentImage.Columns()) *
                          static_cast<double>(display.CurrentImage.Rows());
    std::vector<double> fitMs;
    for (int run = 0; run < 5; ++run) {
        const double start = benchsupport::NowMs();
        display.DrawImageFitToCanvas();
        fitMs.push_back(benchsupport::NowMs() - start);
    }
    auto panTimes = [&](double zoom) {
        display.SetZoomFactor(zoom);
        display.PanX = display.PanY = 100;
        if (zoom == 1.0) {
            display.DrawCanvas();
        } else {
            display.DrawZoomedCanvas();
        }
        std::vector<double> times;
        for (int run = 0; run < 20; ++run) {
            const double start = benchsupport::NowMs();
            display.Pan(run % 2 == 0 ? 20 : -20, 0);
            times.push_back(benchsupport::NowMs() - start);
        }
        return benchsupport::Median(times);
    };
    const double pan1 = panTimes(1.0);
    const double pan25 = panTimes(2.5);
    std::printf("image                      %zu x %zu %s\n", display.CurrentImage.Columns(),
                display.CurrentImage.Rows(), display.CurrentImage.Format().c_str());
    // Rows are streamed into the 8-bit record: decoding, conversion and freeing are one step.
    std::printf("ReadImage (all of it)      %.1f ms (median of 5)\n",
                benchsupport::Median(decodeMs) + benchsupport::Median(exportMs) +
                    benchsupport::Median(releaseMs));
    std::printf("resident memory added      %.1f MB (image: %.1f MB of pixels)\n", added / 1024.0,
                pixels * 4 / 1048576.0);
    std::printf("fit into 1600 x 1000       %.2f ms\n", benchsupport::Median(fitMs));
    std::printf("Pan by 20 at zoom 1        %.3f ms\n", pan1);
    std::printf("Pan by 20 at zoom 2.5      %.3f ms\n", pan25);
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    if (::getenv("QT_QPA_PLATFORM") == nullptr) {
        ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
    }
    QApplication application(argc, argv);
    engine::InitializeMagick(argv[0]);
    int status = 2;
    const std::string command = argc > 1 ? argv[1] : "";
    if (command == "decode" && argc == 3) {
        status = decode(argv[2]);
    } else if (command == "scale" && argc == 10) {
        status = scale(argv);
    } else if (command == "bench" && argc == 3) {
        status = bench(argv[2]);
    } else {
        std::fprintf(stderr, "usage: framekit-tool decode FILE | scale FILE X Y W H DW DH OUT.png "
                             "| bench FILE\n");
    }
    engine::DestroyMagick();
    return status;
}
