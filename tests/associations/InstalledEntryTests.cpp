// The desktop bridge run from an installation: the defaults name the installed desktop entry,
// which lists exactly the MIME types the bridge hands out; from a build folder, or from a
// prefix the desktop does not read, the per-user entry runs the launcher.
#include "support/TestSupport.h"

#include "associations/DesktopBridge.h"
#include "associations/Options.h"
#include "associations/Regextension.h"

#include <QTreeWidget>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <regex>
#include <set>
#include <sstream>

using testsupport::IsolatedTest;

namespace {

std::string readFile(const std::string& path) {
    std::ifstream in(path);
    return std::string((std::istreambuf_iterator<char>(in)), {});
}

std::set<std::string> tableMimeTypes() {
    std::vector<std::string> extensions;
    for (const ImageFormatRow& row : ImageFormatTable()) {
        extensions.push_back("." + row.key);
    }
    return associations::DesktopMimeTypes(extensions);
}

class InstalledEntryTest : public IsolatedTest {
protected:
    void SetUp() override {
        const char* dirs = std::getenv("XDG_DATA_DIRS");
        hadDataDirs_ = dirs != nullptr;
        savedDataDirs_ = hadDataDirs_ ? dirs : "";
        const char* path = std::getenv("PATH");
        savedPath_ = path != nullptr ? path : "/usr/bin:/bin";
        prefix = folders.Root() + "/prefix";
        std::filesystem::create_directories(prefix + "/bin");
        // xdg-mime, like the desktop, takes an entry only when its program is on PATH.
        std::ofstream(prefix + "/bin/OrvalenViewer") << "#!/bin/sh\nexit 1\n";
        std::filesystem::permissions(prefix + "/bin/OrvalenViewer",
                                     std::filesystem::perms::owner_all);
        std::filesystem::create_directories(prefix + "/share/applications");
        std::filesystem::copy_file(
            std::string(ORVALEN_DATA_DIR) + "/" + associations::kInstalledDesktopEntry,
            prefix + "/share/applications/" + associations::kInstalledDesktopEntry);
        // Another program was the JPEG default before ours.
        std::filesystem::create_directories(folders.Data() + "/applications");
        std::ofstream(folders.Data() + "/applications/other-viewer.desktop")
            << "[Desktop Entry]\nType=Application\nName=Other\nExec=other %f\n"
               "MimeType=image/jpeg;\n";
        std::ofstream(folders.Config() + "/mimeapps.list") << kList;
    }
    void TearDown() override {
        ::setenv("PATH", savedPath_.c_str(), 1);
        if (hadDataDirs_) {
            ::setenv("XDG_DATA_DIRS", savedDataDirs_.c_str(), 1);
        } else {
            ::unsetenv("XDG_DATA_DIRS");
        }
    }

    // The desktop reads the prefix's entries and finds its programs, as it does /usr's.
    void desktopReadsPrefix() {
        ::setenv("XDG_DATA_DIRS", (prefix + "/share").c_str(), 1);
        ::setenv("PATH", (prefix + "/bin:" + savedPath_).c_str(), 1);
    }

    // Ticks or unticks JPG in the options dialog and applies it with the bridge of a program
    // whose launcher is launcher.
    static void applyJpg(const std::string& launcher, bool on) {
        const int bridge =
            AddAssocListener([launcher] { associations::UpdateDesktopAssociations(launcher); });
        TOptionsForm dialog;
        dialog.TabSheet1Show();
        for (int row = 0; row < dialog.ListView1->topLevelItemCount(); ++row) {
            QTreeWidgetItem* item = dialog.ListView1->topLevelItem(row);
            if (item->text(0) == "JPG") {
                item->setCheckState(0, on ? Qt::Checked : Qt::Unchecked);
            }
        }
        dialog.OKClick();
        RemoveAssocListener(bridge);
    }

    // What xdg-mime answers with the same data folders the bridge saw.
    std::string defaultFor(const char* type) const {
        const char* dirs = std::getenv("XDG_DATA_DIRS");
        const std::string command = "env -u XDG_CURRENT_DESKTOP -u DESKTOP_SESSION "
                                    "XDG_DATA_DIRS='" +
                                    std::string(dirs != nullptr ? dirs : "/nowhere") +
                                    "' xdg-mime query default " + type + " 2>/dev/null";
        FILE* pipe = ::popen(command.c_str(), "r");
        char line[512] = {};
        const bool read = pipe != nullptr && std::fgets(line, sizeof line, pipe) != nullptr;
        if (pipe != nullptr) {
            ::pclose(pipe);
        }
        std::string answer = read ? line : "";
        while (!answer.empty() && (answer.back() == '\n' || answer.back() == ' ')) {
            answer.pop_back();
        }
        return answer;
    }

    std::string ownEntry() const {
        return folders.Data() + "/applications/" + associations::kDesktopEntry;
    }
    std::string mimeapps() const { return readFile(folders.Config() + "/mimeapps.list"); }

    static constexpr const char* kList = "[Default Applications]\n"
                                         "image/jpeg=other-viewer.desktop\n"
                                         "text/html=browser.desktop\n";
    std::string prefix;

private:
    bool hadDataDirs_ = false;
    std::string savedDataDirs_;
    std::string savedPath_;
};

} // namespace

// The installed entry and the AppStream metadata are written by hand; they must offer the
// desktop exactly the types the bridge makes ours, so that a default never names an entry
// that does not claim the type.
TEST(InstalledEntry, ListsEveryTypeTheBridgeHandsOutAndNoOther) {
    const std::set<std::string> types = tableMimeTypes();
    ASSERT_GT(types.size(), 20u);

    const std::string entry =
        readFile(std::string(ORVALEN_DATA_DIR) + "/" + associations::kInstalledDesktopEntry);
    std::smatch match;
    ASSERT_TRUE(std::regex_search(entry, match, std::regex("\nMimeType=([^\n]*)\n")));
    std::set<std::string> listed;
    std::stringstream listedTypes(match[1].str());
    for (std::string type; std::getline(listedTypes, type, ';');) {
        listed.insert(type);
    }
    std::string line;
    for (const std::string& type : types) {
        line += type + ";";
    }
    EXPECT_EQ(listed, types) << "the entry should say MimeType=" << line;
    EXPECT_NE(entry.find("\nExec=OrvalenViewer %F\n"), std::string::npos);

    const std::string metainfo =
        readFile(std::string(ORVALEN_DATA_DIR) + "/org.orvalen.Orvalen.metainfo.xml");
    std::set<std::string> provided;
    const std::regex mediatype("<mediatype>([^<]*)</mediatype>");
    for (auto it = std::sregex_iterator(metainfo.begin(), metainfo.end(), mediatype);
         it != std::sregex_iterator(); ++it) {
        provided.insert((*it)[1].str());
    }
    EXPECT_EQ(provided, types);
}

TEST(InstalledEntry, OnlyImageTypesTheViewerReadsAreHandedOut) {
    const std::set<std::string> types = tableMimeTypes();
    for (const char* type :
         {"image/jpeg", "image/png", "image/gif", "image/tiff", "image/bmp", "video/x-mng"}) {
        EXPECT_EQ(types.count(type), 1u) << type;
    }
    // ".pm" also names Perl modules, ".pdf" and ".ps" need Ghostscript, ".svg" is drawn
    // through MVG, which the library's policy refuses.
    for (const char* type : {"application/x-perl", "application/pdf", "application/postscript",
                             "image/svg+xml", "image/x-eps"}) {
        EXPECT_EQ(types.count(type), 0u) << type;
    }
    EXPECT_EQ(associations::DesktopMimeTypes({".JPG"}), std::set<std::string>{"image/jpeg"});
    EXPECT_TRUE(associations::DesktopMimeTypes({".pm"}).empty());
}

TEST(InstalledEntry, CameraRawJpegXlHeicAndAvifHandOutTheirTypes) {
    const std::set<std::string> types = tableMimeTypes();
    for (const char* type :
         {"image/x-adobe-dng", "image/x-canon-cr2", "image/x-canon-cr3", "image/x-nikon-nef",
          "image/x-sony-arw", "image/x-fuji-raf", "image/x-olympus-orf", "image/x-panasonic-rw2",
          "image/jxl", "image/heif", "image/avif"}) {
        EXPECT_EQ(types.count(type), 1u) << type;
    }
    // Known by name here even where the desktop's own database has not heard of them.
    EXPECT_EQ(associations::DesktopMimeTypes({".JXL"}).count("image/jxl"), 1u);
}

TEST_F(InstalledEntryTest, OnlyAPrefixTheDesktopReadsCountsAsAnInstallation) {
    const std::string launcher = prefix + "/bin/OrvalenViewer";
    ::setenv("XDG_DATA_DIRS", "/usr/local/share:/usr/share", 1);
    EXPECT_EQ(associations::InstalledDesktopEntry(launcher), "");
    desktopReadsPrefix();
    EXPECT_EQ(associations::InstalledDesktopEntry(launcher), associations::kInstalledDesktopEntry);
    // The entry's "Exec=OrvalenViewer" would start another launcher, or none.
    ::setenv("PATH", "/usr/bin:/bin", 1);
    EXPECT_EQ(associations::InstalledDesktopEntry(launcher), "");
    std::filesystem::create_directories(folders.Root() + "/other");
    std::filesystem::copy_file(prefix + "/bin/OrvalenViewer",
                               folders.Root() + "/other/OrvalenViewer");
    ::setenv("PATH", (folders.Root() + "/other:" + prefix + "/bin").c_str(), 1);
    EXPECT_EQ(associations::InstalledDesktopEntry(launcher), "");
    desktopReadsPrefix();
    // The same folder by another spelling.
    EXPECT_EQ(associations::InstalledDesktopEntry(prefix + "/bin/../bin/OrvalenViewer"),
              associations::kInstalledDesktopEntry);
    // A build folder, and a prefix without the entry.
    EXPECT_EQ(associations::InstalledDesktopEntry(prefix + "/OrvalenViewer"), "");
    std::filesystem::remove(prefix + "/share/applications/" + associations::kInstalledDesktopEntry);
    EXPECT_EQ(associations::InstalledDesktopEntry(launcher), "");
}

TEST_F(InstalledEntryTest, FromAnInstallationTheDefaultIsTheInstalledEntryAndGivingUpRestores) {
    desktopReadsPrefix();
    // A build folder's entry from an earlier run.
    std::ofstream(ownEntry()) << "[Desktop Entry]\nType=Application\nName=Orvalen Viewer\n"
                                 "Exec=\"/home/dev/build/bin/OrvalenViewer\" %f\n";
    applyJpg(prefix + "/bin/OrvalenViewer", true);
    EXPECT_EQ(defaultFor("image/jpeg"), associations::kInstalledDesktopEntry);
    EXPECT_FALSE(std::filesystem::exists(ownEntry()));
    EXPECT_NE(mimeapps().find("text/html=browser.desktop\n"), std::string::npos);

    applyJpg(prefix + "/bin/OrvalenViewer", false);
    EXPECT_EQ(defaultFor("image/jpeg"), "other-viewer.desktop");
    EXPECT_EQ(mimeapps(), kList);
}

TEST_F(InstalledEntryTest, MovingFromABuildFolderToAnInstallationKeepsTheEarlierDefault) {
    desktopReadsPrefix();
    applyJpg(folders.Root() + "/build/bin-out/OrvalenViewer", true);
    EXPECT_EQ(defaultFor("image/jpeg"), associations::kDesktopEntry);
    EXPECT_NE(
        readFile(ownEntry()).find("Exec=" + folders.Root() + "/build/bin-out/OrvalenViewer %f"),
        std::string::npos);

    // The installed program applies the same choice: the default moves to its entry.
    applyJpg(prefix + "/bin/OrvalenViewer", true);
    EXPECT_EQ(defaultFor("image/jpeg"), associations::kInstalledDesktopEntry);
    EXPECT_FALSE(std::filesystem::exists(ownEntry()));

    // Giving JPEG up brings back the other program, not our build folder's entry.
    applyJpg(prefix + "/bin/OrvalenViewer", false);
    EXPECT_EQ(defaultFor("image/jpeg"), "other-viewer.desktop");
    EXPECT_EQ(mimeapps(), kList);
}

// xdg-mime, and xdg-open with it on desktops of their own, take the first word of Exec as it
// stands: a quoted launcher was a program they could not find, so the system's default for
// the type (here from its mimeinfo.cache) came first. Quotes go only where the path needs them,
// escaped as the desktop reads them.
TEST_F(InstalledEntryTest, TheDesktopsOwnQueryFindsTheLauncherBeforeTheSystemsDefault) {
    const std::string system = folders.Root() + "/system-share/applications";
    std::filesystem::create_directories(system);
    std::ofstream(system + "/other-viewer.desktop")
        << "[Desktop Entry]\nType=Application\nName=Other\nExec=other %f\n"
           "MimeType=image/jpeg;\n";
    std::ofstream(system + "/mimeinfo.cache") << "[MIME Cache]\nimage/jpeg=other-viewer.desktop;\n";
    ::setenv("XDG_DATA_DIRS", (folders.Root() + "/system-share").c_str(), 1);
    const std::string launcher = folders.Root() + "/build/bin/OrvalenViewer";
    std::filesystem::create_directories(folders.Root() + "/build/bin");
    std::ofstream(launcher) << "#!/bin/sh\n";
    std::filesystem::permissions(launcher, std::filesystem::perms::owner_all);
    applyJpg(launcher, true);
    EXPECT_EQ(defaultFor("image/jpeg"), associations::kDesktopEntry) << readFile(ownEntry());

    // A path that needs them is quoted and escaped: blank, quote, dollar, backslash, percent.
    const std::string odd = folders.Root() + "/my \"apps\" $5\\50%/OrvalenViewer";
    applyJpg(odd, true);
    EXPECT_NE(readFile(ownEntry())
                  .find("\nExec=\"" + folders.Root() +
                        "/my \\\\\"apps\\\\\" \\\\$5\\\\\\\\50%%/OrvalenViewer\" %f\n"),
              std::string::npos)
        << readFile(ownEntry());
}

TEST_F(InstalledEntryTest, APrefixTheDesktopDoesNotReadGetsTheOwnEntryRunningItsLauncher) {
    desktopReadsPrefix();
    ::setenv("XDG_DATA_DIRS", "/usr/local/share:/usr/share", 1);
    applyJpg(prefix + "/bin/OrvalenViewer", true);
    EXPECT_NE(readFile(ownEntry()).find("Exec=" + prefix + "/bin/OrvalenViewer %f"),
              std::string::npos);
    EXPECT_NE(mimeapps().find(std::string("image/jpeg=") + associations::kDesktopEntry),
              std::string::npos);
}
