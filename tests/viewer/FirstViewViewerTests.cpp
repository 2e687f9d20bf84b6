// The viewer's reduced first view of a large JPEG, offscreen: drawn first, then replaced by the
// whole image without a visible change at the fitted zoom, and with every pixel at 1:1.
#include "support/GuiEnvironment.h"
#include "support/TestSupport.h"

#include "common/ProcessValues.h"
#include "display/ImageDecoder.h"
#include "messaging/MessageServer.h"
#include "viewer/Viewerform.h"

#include <QImage>
#include <QPainter>
#include <QTest>

#include <cmath>

using testsupport::IsolatedTest;

namespace {

// Smooth, photo-like colours, or one-pixel stripes that only the whole image holds.
enum class Detail { Smooth, Stripes };

std::string writeJpeg(const std::string& path, int width, int height, Detail detail) {
    QImage image(width, height, QImage::Format_RGB32);
    for (int y = 0; y < height; ++y) {
        auto* row = reinterpret_cast<QRgb*>(image.scanLine(y));
        for (int x = 0; x < width; ++x) {
            if (detail == Detail::Stripes) {
                row[x] = x % 2 == 0 ? qRgb(20, 20, 20) : qRgb(235, 235, 235);
                continue;
            }
            const double blotch = 30.0 * std::sin(x / 23.0) * std::cos(y / 31.0);
            row[x] = qRgb(static_cast<int>(120 + 80.0 * x / width + blotch),
                          static_cast<int>(60 + 120.0 * y / height - blotch / 2),
                          static_cast<int>(200 - 90.0 * x * y / (1.0 * width * height)));
        }
    }
    image.save(QString::fromStdString(path), "JPEG", 95);
    return path;
}

int largestDifference(const QImage& a, const QImage& b) {
    if (a.size() != b.size()) {
        return 1000;
    }
    int largest = 0;
    for (int y = 0; y < a.height(); ++y) {
        for (int x = 0; x < a.width(); ++x) {
            const QRgb p = a.pixel(x, y), q = b.pixel(x, y);
            largest = std::max({largest, std::abs(qRed(p) - qRed(q)),
                                std::abs(qGreen(p) - qGreen(q)), std::abs(qBlue(p) - qBlue(q))});
        }
    }
    return largest;
}

// How many pixels differ by at least levels in some colour.
int pixelsApartBy(const QImage& a, const QImage& b, int levels) {
    int apart = 0;
    for (int y = 0; y < std::min(a.height(), b.height()); ++y) {
        for (int x = 0; x < std::min(a.width(), b.width()); ++x) {
            const QRgb p = a.pixel(x, y), q = b.pixel(x, y);
            apart += std::abs(qRed(p) - qRed(q)) >= levels ||
                     std::abs(qGreen(p) - qGreen(q)) >= levels ||
                     std::abs(qBlue(p) - qBlue(q)) >= levels;
        }
    }
    return apart;
}

class FirstViewViewerTest : public IsolatedTest {
protected:
    void SetUp() override {
        ASSERT_TRUE(server.Start("first_view_test_server"));
        itm_server_name = "first_view_test_server";
        solitary_viewer_flag = false;
    }
    void TearDown() override { itm_server_name.clear(); }

    bool waitForWholeImage(TViewer& viewer) {
        return QTest::qWaitFor([&] { return !viewer.Display1->CurrentImage.Reduced(); }, 20000);
    }

    MessageServer server;
};

} // namespace

TEST_F(FirstViewViewerTest, TheFirstViewIsReducedAndTheWholeImageReplacesItUnseen) {
    const std::string file = writeJpeg(folders.Home() + "/photo.jpg", 4000, 3000, Detail::Smooth);
    TViewer viewer;
    viewer.shrink_to_fit_screen = true; // shown smaller than the screen, as the peers show it
    ASSERT_TRUE(viewer.DisplayImage(file));
    const Image_Magick_Image& shown = viewer.Display1->CurrentImage;
    ASSERT_TRUE(shown.Reduced());
    EXPECT_LT(shown.Image()->columns, 4000u);
    EXPECT_EQ(shown.Columns(), 4000u);
    EXPECT_EQ(viewer.PanelText(0), " 4000x3000") << "the status tells the image's own size";
    const double zoom = viewer.Display1->ZoomFactor;
    ASSERT_LT(zoom, 0.5);
    const QImage first = viewer.Display1->Picture.Bitmap.copy();

    ASSERT_TRUE(waitForWholeImage(viewer));
    EXPECT_EQ(shown.Image()->columns, 4000u);
    EXPECT_EQ(viewer.Display1->ZoomFactor, zoom);
    EXPECT_EQ(viewer.Display1->PanX, 0);
    // The JPEG library's scaled transform is not an area average: a pixel in a hundred
    // thousand may be off by a third level, none by more.
    const QImage& whole = viewer.Display1->Picture.Bitmap;
    EXPECT_LE(largestDifference(first, whole), 3);
    EXPECT_LE(pixelsApartBy(first, whole, 3), first.width() * first.height() / 100000);
}

TEST_F(FirstViewViewerTest, OneToOneAskedForBeforeTheWholeImageShowsItsPixelsOnceItIsThere) {
    const std::string file =
        writeJpeg(folders.Home() + "/stripes.jpg", 4000, 3000, Detail::Stripes);
    TViewer viewer;
    viewer.shrink_to_fit_screen = true;
    ASSERT_TRUE(viewer.DisplayImage(file));
    ASSERT_TRUE(viewer.Display1->CurrentImage.Reduced());
    viewer.Zoom(1.0);
    const engine::DecodeResult whole = engine::DecodeImageFile(file);
    ASSERT_TRUE(whole.image);
    // What the canvas should show at 1:1 from the pan on: the decoder's own pixels.
    const auto mismatches = [&] {
        const QImage& canvas = viewer.Display1->Picture.Bitmap;
        const int left = static_cast<int>(viewer.Display1->PanX);
        const int top = static_cast<int>(viewer.Display1->PanY);
        int wrong = 0;
        for (int y = 0; y < std::min(canvas.height(), 64); ++y) {
            for (int x = 0; x < std::min(canvas.width(), 64); ++x) {
                const std::uint8_t* pixel = whole.image->Row(top + y) + (left + x) * 4;
                const QRgb seen = canvas.pixel(x, y);
                wrong +=
                    std::abs(qRed(seen) - pixel[2]) > 1 || std::abs(qBlue(seen) - pixel[0]) > 1;
            }
        }
        return wrong;
    };
    if (viewer.Display1->CurrentImage.Reduced()) {
        EXPECT_GT(mismatches(), 1000) << "the stripes cannot be in the reduced first view";
    }
    ASSERT_TRUE(waitForWholeImage(viewer));
    EXPECT_EQ(viewer.Display1->ZoomFactor, 1.0);
    EXPECT_EQ(mismatches(), 0);
}

// The whole image's decode starts once the first view has been painted, not beside its paint
// (on two cores a second decoding thread held the first view back); a viewer that is never
// painted still gets it.
TEST_F(FirstViewViewerTest, TheWholeImagesDecodeWaitsForTheFirstViewsPaint) {
    const std::string file = writeJpeg(folders.Home() + "/photo.jpg", 4000, 3000, Detail::Smooth);
    TViewer viewer;
    viewer.shrink_to_fit_screen = true;
    viewer.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&viewer));
    ASSERT_TRUE(viewer.DisplayImage(file));
    ASSERT_TRUE(viewer.Display1->CurrentImage.Reduced());
    EXPECT_FALSE(viewer.refresh_job->Waiting()) << "the whole image was asked for before a paint";
    viewer.Display1->repaint();
    QCoreApplication::processEvents();
    EXPECT_TRUE(viewer.refresh_job->Waiting() || !viewer.Display1->CurrentImage.Reduced())
        << "the paint did not start the whole image's decode";
    ASSERT_TRUE(waitForWholeImage(viewer));

    TViewer hidden;
    hidden.shrink_to_fit_screen = true;
    ASSERT_TRUE(hidden.DisplayImage(file));
    ASSERT_TRUE(hidden.Display1->CurrentImage.Reduced());
    EXPECT_TRUE(waitForWholeImage(hidden));
}
