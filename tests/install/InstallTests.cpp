// `cmake --install` into a fresh prefix: every file a desktop installation needs is there, and
// the installed programs run from it with their own library and no help from the build folder.
#include "support/TestSupport.h"

#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <fstream>

using testsupport::ChildProcess;
using testsupport::IsolatedTest;

namespace {

std::string run(const std::string& command) {
    std::string output;
    FILE* pipe = ::popen(command.c_str(), "r");
    if (pipe == nullptr) {
        return output;
    }
    std::array<char, 4096> buffer{};
    for (std::size_t n; (n = std::fread(buffer.data(), 1, buffer.size(), pipe)) > 0;) {
        output.append(buffer.data(), n);
    }
    ::pclose(pipe);
    return output;
}

std::string sample(const char* name) {
    return std::string(ORVALEN_SAMPLES_DIR) + "/" + name;
}

// Width and height from a PNG's header chunk.
std::pair<int, int> pngSize(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    unsigned char header[24] = {};
    in.read(reinterpret_cast<char*>(header), sizeof header);
    if (!in || std::string(reinterpret_cast<char*>(header) + 12, 4) != "IHDR") {
        return {0, 0};
    }
    auto word = [&](int at) {
        return (header[at] << 24) | (header[at + 1] << 16) | (header[at + 2] << 8) | header[at + 3];
    };
    return {word(16), word(20)};
}

class InstallTest : public IsolatedTest {
protected:
    static void SetUpTestSuite() {
        char templ[] = "/tmp/orvalen-install-XXXXXX";
        ASSERT_NE(::mkdtemp(templ), nullptr);
        prefix_ = templ;
        installLog_ =
            run("\"" ORVALEN_CMAKE_COMMAND "\" --install \"" ORVALEN_BUILD_DIR "\" --prefix \"" +
                prefix_ + "\" 2>&1; echo \"exit $?\"");
    }
    static void TearDownTestSuite() {
        std::error_code error;
        std::filesystem::remove_all(prefix_, error);
    }
    void SetUp() override {
        ASSERT_NE(installLog_.find("exit 0\n"), std::string::npos) << installLog_;
    }

    static std::string path(const std::string& relative) { return prefix_ + "/" + relative; }

    // The process behind a main program the debug channel named: which program file runs and
    // which display package it loaded.
    static std::string exeOf(int pid) {
        std::error_code error;
        return std::filesystem::read_symlink("/proc/" + std::to_string(pid) + "/exe", error)
            .string();
    }
    static bool loaded(int pid, const std::string& library) {
        std::ifstream maps("/proc/" + std::to_string(pid) + "/maps");
        for (std::string line; std::getline(maps, line);) {
            if (line.size() >= library.size() &&
                line.compare(line.size() - library.size(), library.size(), library) == 0) {
                return true;
            }
        }
        return false;
    }

    static std::string prefix_;
    static std::string installLog_;
};

std::string InstallTest::prefix_;
std::string InstallTest::installLog_;

} // namespace

TEST_F(InstallTest, EveryFileOfTheInstallationIsInItsPlace) {
    const char* const files[] = {
        "bin/Orvalen_main",
        "bin/OrvalenViewer",
        "lib/orvalen/libFramekit.so",
        "lib/orvalen/libFramekitFormats.so",
        "share/doc/orvalen/Orvalen_main.html",
        "share/doc/orvalen/copyright",
        "share/doc/orvalen/changelog.gz",
        "share/applications/org.orvalen.Orvalen.desktop",
        "share/metainfo/org.orvalen.Orvalen.metainfo.xml",
        "share/icons/hicolor/scalable/apps/org.orvalen.Orvalen.svg",
        "share/icons/hicolor/48x48/apps/org.orvalen.Orvalen.png",
        "share/icons/hicolor/256x256/apps/org.orvalen.Orvalen.png",
        "share/man/man1/Orvalen_main.1.gz",
        "share/man/man1/OrvalenViewer.1.gz",
    };
    for (const char* file : files) {
        struct stat info {};
        ASSERT_EQ(::stat(path(file).c_str(), &info), 0) << file;
        EXPECT_TRUE(S_ISREG(info.st_mode)) << file;
        EXPECT_GT(info.st_size, 0) << file;
        const bool program = std::string(file).rfind("bin/", 0) == 0;
        EXPECT_EQ((info.st_mode & 0111) != 0, program)
            << file << " mode " << std::oct << info.st_mode;
    }
    // The library lives only in its private folder: nothing beside the programs finds it.
    EXPECT_FALSE(std::filesystem::exists(path("bin/libFramekit.so")));
    EXPECT_FALSE(std::filesystem::exists(path("bin/Orvalen_main.html")));

    EXPECT_EQ(pngSize(path("share/icons/hicolor/48x48/apps/org.orvalen.Orvalen.png")),
              std::make_pair(48, 48));
    EXPECT_EQ(pngSize(path("share/icons/hicolor/256x256/apps/org.orvalen.Orvalen.png")),
              std::make_pair(256, 256));

    // The main program finds its library one folder up, wherever the prefix is.
    const std::string dynamic = run("readelf -d '" + path("bin/Orvalen_main") + "'");
    EXPECT_NE(dynamic.find("[$ORIGIN/../lib/orvalen]"), std::string::npos) << dynamic;
    EXPECT_NE(dynamic.find("[libFramekit.so]"), std::string::npos) << dynamic;
    // The JPEG XL and HEIF libraries come with the format module, not with every start.
    const std::string package = run("readelf -d '" + path("lib/orvalen/libFramekit.so") + "'");
    EXPECT_EQ(package.find("libjxl"), std::string::npos) << package;
    EXPECT_EQ(package.find("libheif"), std::string::npos) << package;
    const std::string formats =
        run("readelf -d '" + path("lib/orvalen/libFramekitFormats.so") + "'");
    EXPECT_NE(formats.find("libjxl"), std::string::npos) << formats;
    EXPECT_NE(formats.find("libheif"), std::string::npos) << formats;
}

TEST_F(InstallTest, TheManualPagesDescribeOptionsFilesEnvironmentAndSettings) {
    for (const char* page : {"Orvalen_main.1.gz", "OrvalenViewer.1.gz"}) {
        const std::string text =
            run("gzip -dc '" + path(std::string("share/man/man1/") + page) + "'");
        for (const char* section :
             {".SH NAME", ".SH SYNOPSIS", ".SH OPTIONS", ".SH FILES", ".SH ENVIRONMENT",
              ".SH SETTINGS", "registry.sqlite", "XDG_CONFIG_HOME", "XDG_RUNTIME_DIR"}) {
            EXPECT_NE(text.find(section), std::string::npos) << page << ": " << section;
        }
    }
}

TEST_F(InstallTest, TheInstalledProgramsShowAnImageWithTheirOwnLibrary) {
    testsupport::MainProgramWatch watch;
    const std::string main = path("bin/Orvalen_main");
    const std::string library = path("lib/orvalen/libFramekit.so");

    // The main program started by hand becomes the viewer.
    ChildProcess viewer(main, {sample("rose.jpg")});
    ASSERT_TRUE(watch.WaitFor("TViewer::DisplayImage() shows " + sample("rose.jpg")));
    EXPECT_EQ(exeOf(watch.lastPid), main);
    EXPECT_TRUE(loaded(watch.lastPid, library));
    const int pid = watch.lastPid;
    const auto mapsHold = [pid](const std::string& part) {
        std::ifstream maps("/proc/" + std::to_string(pid) + "/maps");
        for (std::string line; std::getline(maps, line);) {
            if (line.find(part) != std::string::npos) {
                return true;
            }
        }
        return false;
    };
    EXPECT_FALSE(mapsHold("libjxl")) << "loaded before any JPEG XL file came";
    EXPECT_FALSE(mapsHold("libheif"));

    // A JPEG XL file handed over is read through the installed format module.
    const std::string jxl = folders.Home() + "/rose.jxl";
    run("cjxl '" + sample("rose.jpg") + "' '" + jxl + "' 2>&1");
    ASSERT_TRUE(std::filesystem::exists(jxl));
    ChildProcess jxlOver(path("bin/OrvalenViewer"), {jxl});
    EXPECT_EQ(jxlOver.Wait(15000), 1);
    EXPECT_TRUE(watch.WaitFor("TViewer::DisplayImage() shows " + jxl));
    EXPECT_TRUE(loaded(pid, path("lib/orvalen/libFramekitFormats.so")));

    // The installed launcher hands its file over to it.
    ChildProcess handOver(path("bin/OrvalenViewer"), {sample("wizard.gif")});
    EXPECT_EQ(handOver.Wait(15000), 1);
    EXPECT_TRUE(watch.WaitFor("TViewer::DisplayImage() shows " + sample("wizard.gif")));
    viewer.Kill(SIGTERM);
}

TEST_F(InstallTest, WithoutAViewerTheInstalledLauncherStartsTheInstalledMainProgram) {
    testsupport::MainProgramWatch watch;
    ChildProcess launcher(path("bin/OrvalenViewer"), {sample("granite.bmp")});
    EXPECT_EQ(launcher.Wait(15000), 1);
    ASSERT_TRUE(watch.WaitFor("TViewer::DisplayImage() shows " + sample("granite.bmp")));
    EXPECT_EQ(exeOf(watch.lastPid), path("bin/Orvalen_main"));
    EXPECT_TRUE(loaded(watch.lastPid, path("lib/orvalen/libFramekit.so")));
}
