// Thumbnails shared with the desktop through the freedesktop.org cache, offscreen, each test in
// folders of its own: what we write other programs can read, what they wrote we use, and the
// grid never waits for any of it.
#include "support/GuiEnvironment.h"
#include "support/TestSupport.h"

#include "display/ColourManagement.h"
#include "display/ImageDecoder.h"
#include "platform/qt/Thumbnails.h"
#include "shell/StShellViews.h"
#include "shell/ThumbnailGrid.h"

#include <QApplication>
#include <QCryptographicHash>
#include <QImage>
#include <QTest>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sys/stat.h>
#include <utime.h>

using testsupport::IsolatedTest;

ORVALEN_GUI_TEST_ENVIRONMENT(true);

namespace {

// Runs Debian's Python with Pillow on script and gives what it printed.
std::string python(const std::string& script) {
    const std::string file = std::filesystem::temp_directory_path() /
                             ("orvalen-thumb-" + std::to_string(::getpid()) + ".py");
    std::ofstream(file) << script;
    std::string output;
    if (FILE* pipe = ::popen(("/usr/bin/python3 " + file + " 2>&1").c_str(), "r")) {
        char buffer[4096];
        std::size_t n = 0;
        while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) {
            output.append(buffer, n);
        }
        ::pclose(pipe);
    }
    std::filesystem::remove(file);
    return output;
}

mode_t modeOf(const std::string& path) {
    struct stat info {};
    EXPECT_EQ(::stat(path.c_str(), &info), 0) << path;
    return info.st_mode & 07777;
}

void setModified(const std::string& path, long long seconds) {
    const utimbuf times{static_cast<time_t>(seconds), static_cast<time_t>(seconds)};
    ASSERT_EQ(::utime(path.c_str(), &times), 0);
}

// A photo-like JPEG (not one colour, so a scaled copy is told from another), width x height.
std::string writeJpeg(const std::string& path, int width, int height, QRgb base) {
    QImage picture(width, height, QImage::Format_RGB32);
    picture.fill(base);
    for (int y = 0; y < height; y += 7) {
        for (int x = 0; x < width; x += 3) {
            picture.setPixel(x, y, qRgb(x % 256, y % 256, 90));
        }
    }
    EXPECT_TRUE(picture.save(QString::fromStdString(path), "JPEG", 90));
    return path;
}

// The version the top-level CMakeLists.txt gives the project ("1.5"), read beside this file.
std::string projectVersion() {
    const std::filesystem::path top =
        std::filesystem::path(__FILE__).parent_path().parent_path().parent_path();
    std::ifstream in(top / "CMakeLists.txt");
    const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const std::string key = "project(Orvalen VERSION ";
    const std::size_t at = text.find(key);
    EXPECT_NE(at, std::string::npos) << top;
    if (at == std::string::npos) {
        return {};
    }
    const std::size_t begin = at + key.size();
    return text.substr(begin, text.find_first_of(" )", begin) - begin);
}

// The FLEVEL field of the zlib header in a PNG's first IDAT chunk: 0 for levels 0 and 1, 1 for
// 2 to 5, 2 for 6 (zlib's default), 3 for 7 to 9; -1 when there is no IDAT.
int zlibLevelClass(const std::string& png) {
    std::ifstream in(png, std::ios::binary);
    const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const std::size_t idat = bytes.find("IDAT");
    if (idat == std::string::npos || idat + 6 > bytes.size()) {
        return -1;
    }
    return static_cast<unsigned char>(bytes[idat + 5]) >> 6;
}

platform::ThumbnailSource sourceOf(const std::string& path) {
    platform::ThumbnailSource source;
    EXPECT_TRUE(platform::ThumbnailSourceOf(path, source)) << path;
    return source;
}

class ThumbnailTest : public IsolatedTest {
protected:
    void SetUp() override {
        folder = folders.Home() + "/photos";
        std::filesystem::create_directories(folder);
    }
    std::string folder;
};

} // namespace

TEST(ThumbnailNames, UrisAreEscapedAsTheDesktopEscapesThemAndNamedByTheirMd5) {
    EXPECT_EQ(platform::FileUri("/home/anna/Été 2024/#1 (a+b)&c.jpg"),
              "file:///home/anna/%C3%89t%C3%A9%202024/%231%20(a+b)&c.jpg");
    EXPECT_EQ(platform::FileUri("/a/100%.png"), "file:///a/100%25.png");
    const std::string uri = "file:///home/jens/photos/me.png";
    // The standard's own example: the MD5 of this URI.
    EXPECT_EQ(platform::ThumbnailFileName(uri), "c6ee772d9e49320e97ec29a7eb5b1697.png");
    EXPECT_EQ(platform::ThumbnailClassEdge(100), 128);
    EXPECT_EQ(platform::ThumbnailClassEdge(256), 256);
    EXPECT_EQ(platform::ThumbnailClassEdge(300), 512);
    EXPECT_EQ(platform::ThumbnailClassEdge(2000), 1024);
    EXPECT_EQ(platform::ThumbnailFolderName(512), "x-large");
    EXPECT_EQ(platform::ThumbnailFolderName(1024), "xx-large");
    EXPECT_EQ(platform::ThumbnailFolderName(300), "");
}

TEST_F(ThumbnailTest, OurThumbnailFollowsTheStandardAndAnotherReaderReadsItsKeys) {
    const std::string photo = writeJpeg(folder + "/wide photo.jpg", 1200, 600, qRgb(20, 120, 220));
    setModified(photo, 1700000000);
    QImage made;
    ASSERT_EQ(Thumbnailer::Produce(photo, 256, nullptr, made), Thumbnailer::Origin::Made);
    EXPECT_EQ(made.size(), QSize(256, 128)); // the longer side fits, the shape is kept

    const std::string uri = "file://" + folder + "/wide%20photo.jpg";
    const QByteArray md5 =
        QCryptographicHash::hash(QByteArray::fromStdString(uri), QCryptographicHash::Md5).toHex();
    const std::string root = folders.Cache() + "/thumbnails";
    const std::string file = root + "/large/" + md5.toStdString() + ".png";
    ASSERT_TRUE(std::filesystem::exists(file)) << file;
    EXPECT_EQ(modeOf(file), 0600u);
    EXPECT_EQ(modeOf(root), 0700u);
    EXPECT_EQ(modeOf(root + "/large"), 0700u);
    // Nothing half-written stays beside it.
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(root + "/large"),
                            std::filesystem::directory_iterator()),
              1);

    const std::string size = std::to_string(std::filesystem::file_size(photo));
    const std::string read =
        python("from PIL import Image\n"
               "im = Image.open('" +
               file +
               "')\n"
               "print(im.format, im.size[0], im.size[1])\n"
               "for k in ['Thumb::URI','Thumb::MTime','Thumb::Size','Thumb::Image::Width',"
               "'Thumb::Image::Height']:\n"
               "    print(k, im.text.get(k))\n"
               "data = open('" +
               file +
               "','rb').read()\n"
               "print('tEXt', data.count(b'tEXt'), 'zTXt', data.count(b'zTXt'), 'iTXt', "
               "data.count(b'iTXt'))\n");
    EXPECT_EQ(read, "PNG 256 128\n"
                    "Thumb::URI " +
                        uri +
                        "\n"
                        "Thumb::MTime 1700000000\n"
                        "Thumb::Size " +
                        size +
                        "\n"
                        "Thumb::Image::Width 1200\n"
                        "Thumb::Image::Height 600\n"
                        "tEXt 6 zTXt 0 iTXt 0\n");
    // Compressed at a fast level: the default one cost more than a third of a thumbnail's time.
    EXPECT_EQ(zlibLevelClass(file), 0);
}

TEST_F(ThumbnailTest, AnotherProgramsThumbnailIsUsedAndAStaleOneIsReplaced) {
    const std::string photo = writeJpeg(folder + "/photo.jpg", 800, 600, qRgb(0, 0, 255));
    setModified(photo, 1600000000);
    const platform::ThumbnailSource source = sourceOf(photo);
    const std::string file = platform::ThumbnailPath(source, 128);
    std::filesystem::create_directories(std::filesystem::path(file).parent_path());
    // Another program's thumbnail: plain red, which no decode of the blue photo could give.
    const std::string written = python("from PIL import Image, PngImagePlugin\n"
                                       "info = PngImagePlugin.PngInfo()\n"
                                       "info.add_text('Thumb::URI', '" +
                                       source.uri +
                                       "')\n"
                                       "info.add_text('Thumb::MTime', '1600000000')\n"
                                       "Image.new('RGB', (100, 75), (255, 0, 0)).save('" +
                                       file +
                                       "', pnginfo=info)\n"
                                       "print('ok')\n");
    ASSERT_EQ(written, "ok\n");

    QImage image;
    ASSERT_EQ(Thumbnailer::Produce(photo, 128, nullptr, image), Thumbnailer::Origin::Cache);
    EXPECT_EQ(image.size(), QSize(100, 75));
    EXPECT_EQ(image.pixel(50, 40), qRgb(255, 0, 0));

    // The photo changes: the red one is stale, a new one of the photo takes its place.
    writeJpeg(photo, 800, 600, qRgb(0, 0, 255));
    setModified(photo, 1600000100);
    ASSERT_EQ(Thumbnailer::Produce(photo, 128, nullptr, image), Thumbnailer::Origin::Made);
    EXPECT_EQ(image.size(), QSize(128, 96));
    EXPECT_GT(qBlue(image.pixel(1, 1)), 200);
    const QImage stored(QString::fromStdString(file));
    EXPECT_EQ(stored.text("Thumb::MTime"), "1600000100");
    EXPECT_EQ(stored.size(), QSize(128, 96));
    EXPECT_EQ(Thumbnailer::Produce(photo, 128, nullptr, image), Thumbnailer::Origin::Cache);
}

TEST_F(ThumbnailTest, AnUnreadableFileGetsItsFailureEntryOnceUntilItChanges) {
    const std::string broken = folder + "/broken.jpg";
    std::ofstream(broken) << "no JPEG at all";
    setModified(broken, 1500000000);
    QImage image;
    EXPECT_EQ(Thumbnailer::Produce(broken, 256, nullptr, image), Thumbnailer::Origin::Failed);
    const platform::ThumbnailSource source = sourceOf(broken);
    // Under fail/orvalen-<version>: a new version tries again what an older one could not read.
    const std::string version = projectVersion();
    ASSERT_FALSE(version.empty());
    EXPECT_EQ(Thumbnailer::ProgramName(), "orvalen-" + version);
    const std::string entry = platform::FailedThumbnailPath(source, "orvalen-" + version);
    ASSERT_TRUE(std::filesystem::exists(entry)) << entry;
    EXPECT_EQ(QImage(QString::fromStdString(entry)).text("Thumb::MTime"), "1500000000");
    EXPECT_FALSE(std::filesystem::exists(platform::ThumbnailPath(source, 256)));

    // Tried again, the entry answers: it is not written a second time.
    struct stat before {
    }, after{};
    ASSERT_EQ(::stat(entry.c_str(), &before), 0);
    EXPECT_EQ(Thumbnailer::Produce(broken, 256, nullptr, image), Thumbnailer::Origin::Failed);
    ASSERT_EQ(::stat(entry.c_str(), &after), 0);
    EXPECT_EQ(before.st_ino, after.st_ino);

    // Repaired, it gets its thumbnail.
    writeJpeg(broken, 300, 300, qRgb(0, 200, 0));
    EXPECT_EQ(Thumbnailer::Produce(broken, 256, nullptr, image), Thumbnailer::Origin::Made);
    EXPECT_EQ(image.size(), QSize(256, 256));
}

TEST_F(ThumbnailTest, AnImageSmallerThanTheSizeIsNotEnlargedAndUprightAsItsFileSays) {
    // 40 x 20 stored, EXIF orientation 6 (a quarter turn clockwise): 20 x 40 upright.
    const std::string script = "from PIL import Image\n"
                               "im = Image.new('RGB', (40, 20), (255, 0, 0))\n"
                               "im.paste((0, 0, 255), (0, 0, 20, 20))\n"
                               "exif = Image.Exif()\n"
                               "exif[0x0112] = 6\n"
                               "im.save('" +
                               folder +
                               "/turned.jpg', exif=exif, quality=95)\n"
                               "print('ok')\n";
    ASSERT_EQ(python(script), "ok\n");
    QImage image;
    ASSERT_EQ(Thumbnailer::Produce(folder + "/turned.jpg", 128, nullptr, image),
              Thumbnailer::Origin::Made);
    ASSERT_EQ(image.size(), QSize(20, 40));
    // The stored left half (blue) is the upright top.
    EXPECT_GT(qBlue(image.pixel(10, 5)), 200);
    EXPECT_GT(qRed(image.pixel(10, 35)), 200);
}

// On a monitor with a profile of its own, pictures are decoded into that profile for the
// screen; the shared cache still gets sRGB, which every other program expects there.
TEST_F(ThumbnailTest, TheSharedCacheGetsSrgbWhateverTheMonitorsProfile) {
    QImage plain(64, 48, QImage::Format_RGB32);
    plain.fill(qRgb(200, 60, 60));
    ASSERT_TRUE(plain.save(QString::fromStdString(folder + "/red.png"), "PNG"));
    ASSERT_TRUE(engine::SetDisplayProfile(engine::AdobeRgbProfile()));
    QImage image;
    const Thumbnailer::Origin made = Thumbnailer::Produce(folder + "/red.png", 128, nullptr, image);
    const engine::DecodeResult onScreen = engine::DecodeImageFile(folder + "/red.png");
    engine::SetDisplayProfile({});
    ASSERT_EQ(made, Thumbnailer::Origin::Made);
    ASSERT_TRUE(onScreen.image);
    EXPECT_LT(onScreen.image->Row(0)[2], 190) << "the screen's copy was not converted at all";
    const QRgb pixel = image.pixel(30, 20);
    EXPECT_NEAR(qRed(pixel), 200, 2);
    EXPECT_NEAR(qGreen(pixel), 60, 2);
    EXPECT_NEAR(qBlue(pixel), 60, 2);
}

TEST_F(ThumbnailTest, ChangingFolderStopsTheWorkAndNothingOfTheOldFolderArrives) {
    std::vector<std::string> photos;
    for (int i = 0; i < 12; ++i) {
        photos.push_back(writeJpeg(folder + "/big" + std::to_string(i) + ".jpg", 3000, 2000,
                                   qRgb(i * 20, 0, 0)));
    }
    Thumbnailer thumbnails;
    std::vector<std::string> arrived;
    thumbnails.OnReady = [&](const std::string& path) { arrived.push_back(path); };
    thumbnails.Request(photos, false);
    thumbnails.Clear(); // the folder changed before any was made
    QTest::qWait(1500);
    EXPECT_TRUE(arrived.empty());
    EXPECT_EQ(thumbnails.Pending(), 0);
    // The decodes under way stopped: far fewer than all were stored.
    const std::string large = folders.Cache() + "/thumbnails/large";
    const auto stored = std::filesystem::exists(large)
                            ? std::distance(std::filesystem::directory_iterator(large),
                                            std::filesystem::directory_iterator())
                            : 0;
    EXPECT_LE(stored, 2);

    // Asked again, they come, the urgent one first.
    thumbnails.Request({photos[7]}, true);
    ASSERT_TRUE(QTest::qWaitFor([&] { return !arrived.empty(); }, 20000));
    EXPECT_EQ(arrived.front(), photos[7]);
    ASSERT_NE(thumbnails.Find(photos[7]), nullptr);
    EXPECT_EQ(thumbnails.Find(photos[7])->size(), QSize(256, 171));
}

TEST_F(ThumbnailTest, TheGridShowsTheRowsOfTheListAndFetchesWhatItShows) {
    for (int i = 0; i < 3; ++i) {
        writeJpeg(folder + "/p" + std::to_string(i) + ".jpg", 400, 300, qRgb(0, 90 * i, 0));
    }
    std::ofstream(folder + "/notes.txt") << "words";
    TStShellListView list;
    list.resize(900, 700);
    PIDL pidl;
    ASSERT_TRUE(pidl.FromPath(folder));
    ASSERT_TRUE(list.SetFolder(pidl.List()));
    list.WaitUntilListed();
    list.SetViewStyle(TStShellListView::TViewStyle::vsIcon, 128);
    list.show();
    ThumbnailGrid* grid = list.Grid();
    ASSERT_NE(grid, nullptr);
    EXPECT_TRUE(grid->isVisible());
    EXPECT_EQ(grid->model()->rowCount(), 4);
    ASSERT_TRUE(QTest::qWaitFor(
        [&] {
            return grid->Thumbnails().Find(folder + "/p0.jpg") != nullptr &&
                   grid->Thumbnails().Find(folder + "/p2.jpg") != nullptr;
        },
        10000));
    EXPECT_EQ(grid->Thumbnails().Find(folder + "/notes.txt"), nullptr);
    // The cell of p1 (after notes.txt and p0) shows its thumbnail: its green, not an icon.
    const QModelIndex p1 = grid->model()->index(2, 0);
    ASSERT_TRUE(
        QTest::qWaitFor([&] { return grid->Thumbnails().Find(folder + "/p1.jpg"); }, 10000));
    grid->viewport()->repaint();
    const QImage shot = grid->viewport()->grab().toImage();
    const QPoint centre = grid->visualRect(p1).topLeft() + QPoint(8 + 64, 8 + 64);
    EXPECT_GT(qGreen(shot.pixel(centre)), 60) << centre.x() << "," << centre.y();

    // The selection is one: a row selected in the grid is the list's selected item.
    grid->setCurrentIndex(grid->model()->index(3, 0));
    ASSERT_NE(list.SelectedItem(), nullptr);
    EXPECT_EQ(list.SelectedItem()->DisplayName, "p2.jpg");

    // Back to the report: the grid goes and stops asking.
    list.SetViewStyle(TStShellListView::TViewStyle::vsReport);
    EXPECT_FALSE(grid->isVisible());
    EXPECT_EQ(list.ViewStyle(), TStShellListView::TViewStyle::vsReport);
}

TEST_F(ThumbnailTest, TheReportViewUnderTheGridIsNotPainted) {
    for (int i = 0; i < 600; ++i) {
        std::ofstream(folder + "/note" + std::to_string(i) + ".txt") << "words";
    }
    TStShellListView list;
    list.resize(800, 600);
    list.SetViewStyle(TStShellListView::TViewStyle::vsIcon, 128);
    list.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&list));

    // Counts the paints of the rows' view, which the grid covers.
    struct PaintCounter : QObject {
        int paints = 0;
        bool eventFilter(QObject*, QEvent* event) override {
            paints += event->type() == QEvent::Paint;
            return false;
        }
    } counter;
    list.viewport()->installEventFilter(&counter);
    // The rows come a batch a turn, and the grid lays them out and paints as they come.
    PIDL pidl;
    ASSERT_TRUE(pidl.FromPath(folder));
    ASSERT_TRUE(list.SetFolder(pidl.List()));
    ASSERT_TRUE(QTest::qWaitFor([&] { return !list.IsListing(); }, 10000));
    QTest::qWait(100);
    EXPECT_EQ(counter.paints, 0); // everything it would paint is hidden: it cost most of a turn

    list.SetViewStyle(TStShellListView::TViewStyle::vsReport);
    list.viewport()->update();
    QTest::qWait(50);
    EXPECT_GT(counter.paints, 0); // shown again, it paints
}
