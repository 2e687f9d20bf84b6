// A folder of 2,000 files in which every tenth is a JPEG and the rest are text files: the time of
// IV_NEXT_IMAGE from the request until the browser has sent IV_DISPLAY_IMAGE (the pings of the
// files between two images included), and of IV_LAST_IMAGE.
#include "BenchSupport.h"

#include "browser/Browserform.h"
#include "common/ProcessValues.h"
#include "display/MagickLibrary.h"
#include "messaging/MessageServer.h"
#include "platform/Timing.h"

#include <QApplication>
#include <QImage>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <vector>

int main(int argc, char** argv) {
    ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
    benchsupport::TemporaryFolder home("HOME");
    benchsupport::TemporaryFolder config("XDG_CONFIG_HOME");
    benchsupport::TemporaryFolder runtime("XDG_RUNTIME_DIR");
    QApplication application(argc, argv);
    engine::InitializeMagick(argv[0]);
    const std::string folder = std::string(std::getenv("HOME")) + "/mixed";
    std::filesystem::create_directories(folder);
    QImage picture(640, 480, QImage::Format_RGB32);
    picture.fill(Qt::darkCyan);
    char name[64];
    for (int i = 0; i < 2000; ++i) {
        std::snprintf(name, sizeof name, "/file %04d", i);
        if (i % 10 == 0) {
            picture.save(QString::fromStdString(folder + name + ".jpg"), "JPG");
        } else {
            std::ofstream(folder + name + ".txt") << "text " << i;
        }
    }
    MessageServer server;
    server.Start("browser_bench_server");
    itm_server_name = "browser_bench_server";
    MessageClient viewer;
    viewer.Connect("Viewer", 0, GetCurrentThreadId(), "browser_bench_server");
    TBrowser browser;
    PIDL pidl;
    pidl.FromPath(folder);
    browser.StShellListView1->SetFolder(pidl.List());
    std::vector<double> next;
    for (int i = 0; i < 1990; i += 10) {
        std::snprintf(name, sizeof name, "/file %04d.jpg", i);
        const double begin = benchsupport::NowMs();
        browser.DisplayNextImage(folder + name, 'D');
        next.push_back(benchsupport::NowMs() - begin);
        Message message;
        while (viewer.PopMessage(message)) {
            FreeMessagePayload(message);
        }
    }
    std::vector<double> last;
    for (int run = 0; run < 20; ++run) {
        const double begin = benchsupport::NowMs();
        browser.DisplayNextImageFromIndex(0, 'U');
        last.push_back(benchsupport::NowMs() - begin);
        Message message;
        while (viewer.PopMessage(message)) {
            FreeMessagePayload(message);
        }
    }
    std::sort(next.begin(), next.end());
    std::sort(last.begin(), last.end());
    std::printf("IV_NEXT_IMAGE to IV_DISPLAY_IMAGE   median %.2f ms, max %.2f ms (goal 30 ms)\n",
                next[next.size() / 2], next.back());
    std::printf("IV_LAST_IMAGE to IV_DISPLAY_IMAGE   median %.2f ms, max %.2f ms (goal 30 ms)\n",
                last[last.size() / 2], last.back());
    itm_server_name.clear();
    engine::DestroyMagick();
    return 0;
}
