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

namespace {
double nowMs() {
    LONGLONG counter = 0;
    QueryPerformanceCounter(&counter);
    return static_cast<double>(counter) / 1e6;
}
} // namespace

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
        const double begin = nowMs();
        if (!viewer.DisplayImage(file)) {
            std::fprintf(stderr, "viewer_bench: cannot show %s\n", file.c_str());
            return 1;
        }
        viewer.Display1->repaint(); // the first frame on the screen
        const double total = nowMs() - begin;
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
    engine::DestroyMagick();
    return 0;
}
