// A 1920 x 1080 GIF of 100 frames at 25 fps (40 ms a frame) in the viewer, offscreen: whether
// every frame is shown, in order and on time, and the most resident memory the process took.
// The GIF is made by a child process (the library's writer holds every frame at 8 bytes a
// pixel, 1.6 GB), so the figures are the viewer's alone.
//
//   animation_bench [FILE]      plays FILE, or a GIF it makes first
//   animation_bench --make FILE   only makes the GIF
#include "BenchSupport.h"

#include "display/AnimationDecoder.h"
#include "display/MagickLibrary.h"
#include "viewer/Viewerform.h"

#include <magick/MagickCore.h>

#include <QApplication>
#include <QTest>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

namespace {

constexpr int kWidth = 1920, kHeight = 1080, kFrames = 100;

// Kilobytes of the line name of /proc/self/status ("VmHWM", "VmRSS").
long statusKb(const char* name) {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind(name, 0) == 0) {
            return std::atol(line.c_str() + std::strlen(name) + 1);
        }
    }
    return -1;
}

// Frames of a picture that moves: bands of 64 colours sliding across, and a box that travels,
// so that every frame differs everywhere and the LZW data is as long as a real film's.
void makeGif(const std::string& path) {
    engine::InitializeMagick(nullptr);
    ImageInfo* info = AcquireImageInfo();
    ::ExceptionInfo* exception = AcquireExceptionInfo();
    ::Image* list = NewImageList();
    for (int k = 0; k < kFrames; ++k) {
        ::Image* image = AcquireImage(info);
        SetImageExtent(image, kWidth, kHeight);
        for (int y = 0; y < kHeight; ++y) {
            PixelPacket* row = GetAuthenticPixels(image, 0, y, kWidth, 1, exception);
            for (int x = 0; x < kWidth; ++x) {
                const int band = ((x + y / 2 + k * 12) / 30) % 64;
                const bool box = std::abs(x - (k * 19) % kWidth) < 100 && std::abs(y - 540) < 100;
                row[x].red = static_cast<Quantum>((box ? 255 : band * 4) * 257);
                row[x].green = static_cast<Quantum>((box ? 255 : 255 - band * 4) * 257);
                row[x].blue = static_cast<Quantum>(((band * 37) % 256) * 257);
                row[x].opacity = OpaqueOpacity;
            }
            SyncAuthenticPixels(image, exception);
        }
        image->delay = 4;
        image->ticks_per_second = 100;
        image->iterations = 0;
        AppendImageToList(&list, image);
    }
    std::snprintf(info->magick, sizeof info->magick, "GIF");
    std::snprintf(list->magick, sizeof list->magick, "GIF");
    size_t length = 0;
    void* blob = ImagesToBlob(info, list, &length, exception);
    std::ofstream(path, std::ios::binary).write(static_cast<const char*>(blob), length);
    RelinquishMagickMemory(blob);
    DestroyImageList(list);
    DestroyExceptionInfo(exception);
    DestroyImageInfo(info);
    engine::DestroyMagick();
}

struct Run {
    std::size_t frames = 0, skipped = 0, late = 0;
    double worst_late_ms = 0, seconds = 0;
};

// Plays 100 frames from the first one on display, watching the frame on display every
// millisecond: a number that does not follow the one before is a skipped frame.
Run play(TViewer& viewer) {
    AnimationPlayer& player = *viewer.animation;
    const double start = benchsupport::NowMs();
    while (!player.Animating() && benchsupport::NowMs() - start < 10000) {
        QTest::qWait(1);
    }
    Run run;
    const AnimationPlayer::Statistics before = player.Stats();
    std::size_t last = player.CurrentFrame();
    const double begin = benchsupport::NowMs();
    while (run.frames < kFrames && benchsupport::NowMs() - begin < 20000) {
        QTest::qWait(1);
        const std::size_t now = player.CurrentFrame();
        if (now != last) {
            run.skipped += now != (last + 1) % kFrames;
            ++run.frames;
            last = now;
        }
    }
    run.seconds = (benchsupport::NowMs() - begin) / 1000;
    run.late = player.Stats().late - before.late;
    run.worst_late_ms = player.Stats().worst_late_ms; // over both runs
    return run;
}

void print(const char* what, const Run& run) {
    std::printf("%s: %zu frames in %.2f s (%.1f fps; 25 asked), %zu skipped, %zu later than "
                "10 ms, latest %.1f ms\n",
                what, run.frames, run.seconds, run.frames / run.seconds, run.skipped, run.late,
                run.worst_late_ms);
}

} // namespace

int main(int argc, char** argv) {
    if (argc == 3 && std::strcmp(argv[1], "--make") == 0) {
        makeGif(argv[2]);
        return 0;
    }
    ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
    benchsupport::TemporaryFolder config("XDG_CONFIG_HOME");
    benchsupport::TemporaryFolder runtime("XDG_RUNTIME_DIR");
    benchsupport::TemporaryFolder home("HOME");
    std::string file = argc > 1 ? argv[1] : std::string(std::getenv("HOME")) + "/film.gif";
    if (argc <= 1) {
        const double begin = benchsupport::NowMs();
        const pid_t child = ::fork();
        if (child == 0) {
            makeGif(file);
            ::_exit(0);
        }
        int status = 0;
        ::waitpid(child, &status, 0);
        std::printf("made %s (%d x %d, %d frames of 40 ms) in %.1f s\n", file.c_str(), kWidth,
                    kHeight, kFrames, (benchsupport::NowMs() - begin) / 1000);
    }
    QApplication application(argc, argv);
    engine::InitializeMagick(argv[0]);
    const long baseKb = statusKb("VmHWM");
    {
        TViewer viewer;
        viewer.show();
        QApplication::processEvents();
        const double begin = benchsupport::NowMs();
        if (!viewer.DisplayImage(file)) {
            std::fprintf(stderr, "animation_bench: cannot show %s\n", file.c_str());
            return 1;
        }
        std::printf("first frame on display after %.1f ms (%s)\n", benchsupport::NowMs() - begin,
                    viewer.PanelText(1).c_str());
        print("zoom 1, window fitted to the work area", play(viewer));
        viewer.Fit_Image_to_Window->trigger();
        print("fitted into the window (scaled every frame)", play(viewer));
        std::printf("status panel 0: %s\n", viewer.PanelText(0).c_str());
    }
    const long peakKb = statusKb("VmHWM");
    std::printf("resident memory: %.1f MB before the viewer, at most %.1f MB while playing "
                "(goal: at most 200 MB)\n",
                baseKb / 1024.0, peakKb / 1024.0);

    // The decoder alone, one thread: what a frame costs.
    engine::DecodeResult failure;
    auto decoder = engine::AnimationDecoder::Open(file, nullptr, failure);
    if (decoder) {
        const double begin = benchsupport::NowMs();
        for (std::size_t k = 0; k < decoder->FrameCount(); ++k) {
            decoder->DecodeFrame(k);
        }
        std::printf("decoding alone: %.1f ms a frame\n",
                    (benchsupport::NowMs() - begin) / static_cast<double>(decoder->FrameCount()));
    }
    engine::DestroyMagick();
    return 0;
}
