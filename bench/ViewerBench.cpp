// From DisplayImage of the 6000 x 4000 sample to the first painted frame, offscreen, split into
// decoding (with the 8-bit export) and layout plus drawing. Prints the status-bar texts too.
//
//   viewer_bench [FILE]
#include "BenchSupport.h"

#include "common/ProcessValues.h"
#include "display/MagickLibrary.h"
#include "platform/Timing.h"
#include "viewer/Viewerform.h"

#include <QApplication>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <vector>

int main(int argc, char** argv) {
    ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
    benchsupport::TemporaryFolder config("XDG_CONFIG_HOME");
    benchsupport::TemporaryFolder runtime("XDG_RUNTIME_DIR");
    QApplication application(argc, argv);
    engine::InitializeMagick(argv[0]);
    const std::string file = argc > 1 ? argv[1] : ORVALEN_SAMPLES_DIR "/large 6000x4000.jpg";
    std::vector<double> decode, layout;
    std::string texts;
    for (int run = 0; run < 5; ++run) {
        TViewer viewer;
        viewer.show();
        QApplication::processEvents();
        LONGLONG start = 0;
        QueryPerformanceCounter(&start);
        load_start_counter = start;
        const double begin = benchsupport::NowMs();
        if (!viewer.DisplayImage(file)) {
            std::fprintf(stderr, "viewer_bench: cannot show %s\n", file.c_str());
            return 1;
        }
        viewer.Display1->repaint(); // the first frame on the screen
        const double total = benchsupport::NowMs() - begin;
        const double decoding = viewer.Display1->CurrentImage.last_decode_ms +
                                viewer.Display1->CurrentImage.last_export_ms;
        decode.push_back(decoding);
        layout.push_back(total - decoding);
        texts = viewer.PanelText(0) + " |" + viewer.PanelText(1) + " |" + viewer.PanelText(2);
    }
    std::sort(decode.begin(), decode.end());
    std::sort(layout.begin(), layout.end());
    std::printf("DisplayImage of %s, median of 5\n", file.c_str());
    std::printf("  decode and export        %.1f ms\n", decode[2]);
    std::printf("  layout and first draw    %.1f ms (goal: at most 60 ms)\n", layout[2]);
    std::printf("  status bar (last run)   %s\n", texts.c_str());

    // Zoom steps and arrow-key pans with a 1600 x 1000 display, the window left as it is.
    TViewer viewer;
    viewer.show();
    viewer.DisplayImage(file);
    viewer.window_behavior = FreeWindowSizing;
    const WindowBounds bounds = viewer.Bounds();
    viewer.SetBounds(WindowBounds{0, 0, bounds.width - viewer.Display1->Width() + 1600,
                                  bounds.height - viewer.Display1->Height() + 1000});
    QApplication::processEvents();
    std::printf("Zoom with a %d x %d display (what panel 3 shows, and the time around Zoom)\n",
                viewer.Display1->Width(), viewer.Display1->Height());
    const double steps[] = {0.1, 1.0 / 6, 0.25, 1.0 / 3, 0.5, 0.75, 1, 1.25, 1.5, 2, 3, 4, 5};
    double worst = 0;
    for (double step : steps) {
        const double begin = benchsupport::NowMs();
        viewer.Zoom(step);
        const double took = benchsupport::NowMs() - begin;
        worst = std::max(worst, took);
        std::printf("  zoom %-6.3f %6.1f ms  %s\n", step, took, viewer.PanelText(3).c_str());
    }
    std::printf("  slowest step %.1f ms (goal: at most 40 ms)\n", worst);
    for (double step : {1.0 / 6, 0.25}) {
        viewer.Zoom(step);
        const double begin = benchsupport::NowMs();
        viewer.Zoom(step);
        std::printf("  zoom %-6.3f again  %6.1f ms\n", step, benchsupport::NowMs() - begin);
    }
    for (double zoom : {1.0, 2.5}) {
        viewer.Zoom(zoom);
        std::vector<double> pans;
        for (int run = 0; run < 20; ++run) {
            const double begin = benchsupport::NowMs();
            viewer.FormKeyDown(run % 2 == 0 ? 39 : 37); // right, left arrow
            pans.push_back(benchsupport::NowMs() - begin);
        }
        std::sort(pans.begin(), pans.end());
        std::printf("arrow-key Pan at zoom %.1f: median %.3f ms, max %.3f ms (goal: 5 ms)\n", zoom,
                    pans[pans.size() / 2], pans.back());
    }
    // Resizing the window with the image fitted to it, as a drag of its edge does: every size
    // is a new fit of the whole image.
    viewer.Zoom(1.0);
    viewer.Fit_Image_to_Window->trigger();
    const WindowBounds large = viewer.Bounds();
    std::vector<double> resizes;
    for (int run = 0; run < 20; ++run) {
        const int shrink = run % 2 == 0 ? 300 : 100;
        const double begin = benchsupport::NowMs();
        viewer.SetBounds(WindowBounds{0, 0, large.width - shrink, large.height - shrink});
        QApplication::processEvents();
        resizes.push_back(benchsupport::NowMs() - begin);
    }
    std::sort(resizes.begin(), resizes.end());
    std::printf("window resize with the image fitted to it, %d x %d and %d x %d displays: median "
                "%.1f ms, max %.1f ms\n",
                viewer.Display1->Width() - 200, viewer.Display1->Height() - 200,
                viewer.Display1->Width(), viewer.Display1->Height(), resizes[resizes.size() / 2],
                resizes.back());
    engine::DestroyMagick();
    return 0;
}
