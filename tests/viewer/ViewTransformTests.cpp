// Photos tagged as turned are shown upright, and the View menu's turns and flips change what is
// shown, never the file: offscreen, through the status panel, the display's pixels and the
// window's bounds.
#include "support/GuiEnvironment.h"
#include "support/OrientedPictures.h"
#include "support/TestSupport.h"

#include "common/ProcessValues.h"
#include "messaging/MessageServer.h"
#include "viewer/Viewerform.h"

#include <QAction>
#include <QBuffer>
#include <QImage>
#include <QTest>

#include <filesystem>
#include <fstream>
#include <sstream>

using testsupport::IsolatedTest;
using testsupport::Picture;

namespace {

std::string readBytes(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    std::stringstream bytes;
    bytes << file.rdbuf();
    return bytes.str();
}

// The part of the display that is not blacked out.
QRect imageBox(const QImage& bitmap) {
    QRect box;
    for (int y = 0; y < bitmap.height(); ++y) {
        for (int x = 0; x < bitmap.width(); ++x) {
            const QRgb pixel = bitmap.pixel(x, y);
            if (qRed(pixel) > 60 || qGreen(pixel) > 60 || qBlue(pixel) > 60) {
                box = box.united(QRect(x, y, 1, 1));
            }
        }
    }
    return box;
}

const char* colourName(QRgb pixel) {
    for (const auto& [colour, name] :
         {std::pair{testsupport::kTopLeft, "red"}, std::pair{testsupport::kTopRight, "green"},
          std::pair{testsupport::kBottomLeft, "blue"},
          std::pair{testsupport::kBottomRight, "yellow"}}) {
        if (std::abs(qRed(pixel) - colour.red) <= 60 &&
            std::abs(qGreen(pixel) - colour.green) <= 60 &&
            std::abs(qBlue(pixel) - colour.blue) <= 60) {
            return name;
        }
    }
    return "?";
}

// The colours in the middle of the shown image's quarters: top left, top right, bottom left,
// bottom right.
std::string quadrants(const QImage& bitmap) {
    const QRect box = imageBox(bitmap);
    std::string names;
    for (int row = 0; row < 2; ++row) {
        for (int column = 0; column < 2; ++column) {
            const int x = box.left() + box.width() * (1 + 2 * column) / 4;
            const int y = box.top() + box.height() * (1 + 2 * row) / 4;
            names += std::string(names.empty() ? "" : " ") + colourName(bitmap.pixel(x, y));
        }
    }
    return names;
}

class ViewTransformTest : public IsolatedTest {
protected:
    void SetUp() override {
        ASSERT_TRUE(server.Start("transform_test_server"));
        itm_server_name = "transform_test_server";
        solitary_viewer_flag = false;
        viewer = std::make_unique<TViewer>();
        viewer->show();
    }
    void TearDown() override {
        viewer.reset();
        itm_server_name.clear();
    }

    // A JPEG of the four-coloured picture, width x height upright, stored as a camera turned
    // as orientation says stores it, with the EXIF tag that says so.
    std::string writePhoto(const std::string& name, int orientation, int width = 20,
                           int height = 40) {
        const Picture stored =
            testsupport::StoredFor(testsupport::QuadrantPicture(static_cast<std::size_t>(width),
                                                                static_cast<std::size_t>(height)),
                                   orientation);
        QImage image(stored.bgra.data(), static_cast<int>(stored.width),
                     static_cast<int>(stored.height), QImage::Format_ARGB32);
        QByteArray jpeg;
        QBuffer buffer(&jpeg);
        buffer.open(QIODevice::WriteOnly);
        image.save(&buffer, "JPG", 95);
        const std::string path = folders.Home() + "/" + name;
        std::ofstream(path, std::ios::binary)
            << testsupport::WithJpegExif(jpeg.toStdString(), orientation);
        return path;
    }

    const QImage& shown() const { return viewer->Display1->Picture.Bitmap; }

    MessageServer server;
    std::unique_ptr<TViewer> viewer;
};

} // namespace

// A phone photo tagged "turn a quarter clockwise" was shown lying on its side, 40x20.
TEST_F(ViewTransformTest, ATaggedPhotoIsShownUprightAtItsUprightSize) {
    for (int orientation = 1; orientation <= 8; ++orientation) {
        const std::string photo =
            writePhoto("photo-" + std::to_string(orientation) + ".jpg", orientation);
        ASSERT_TRUE(viewer->DisplayImage(photo));
        EXPECT_EQ(viewer->PanelText(0), " 20x40") << orientation;
        EXPECT_EQ(imageBox(shown()).size(), QSize(20, 40)) << orientation;
        EXPECT_EQ(quadrants(shown()), "red green blue yellow") << orientation;
    }
}

// A big phone photo turned upright leaves the photo as decoded (48 MB here) kept for the next
// image; once the user rests on the picture, it goes back.
TEST_F(ViewTransformTest, WhatTurningABigPhotoLeftGoesBackOnceTheUserRests) {
    const std::string photo = writePhoto("big-turned.jpg", 6, 3000, 4000);
    ASSERT_TRUE(viewer->DisplayImage(photo));
    ASSERT_FALSE(viewer->Display1->CurrentImage.Reduced());
    EXPECT_EQ(viewer->PanelText(0), " 3000x4000");
    const double shown = testsupport::ResidentMegabytes();
    EXPECT_TRUE(
        QTest::qWaitFor([&] { return shown - testsupport::ResidentMegabytes() >= 35.0; }, 5000))
        << shown << " MB, then " << testsupport::ResidentMegabytes();
}

TEST_F(ViewTransformTest, FourQuarterTurnsRightGiveBackThePixelsTheyStartedFrom) {
    ASSERT_TRUE(viewer->DisplayImage(writePhoto("photo.jpg", 6)));
    const QImage before = shown().copy();
    const engine::Image& record = *viewer->Display1->CurrentImage.Image();
    const std::string pixelsBefore(reinterpret_cast<const char*>(record.pixels.get()),
                                   record.columns * record.rows * 4);

    viewer->Rotate_Right->trigger();
    EXPECT_EQ(viewer->PanelText(0), " 40x20");
    EXPECT_EQ(imageBox(shown()).size(), QSize(40, 20));
    EXPECT_EQ(quadrants(shown()), "blue red yellow green");
    for (int turn = 2; turn <= 4; ++turn) {
        viewer->Rotate_Right->trigger();
    }
    EXPECT_EQ(viewer->PanelText(0), " 20x40");
    EXPECT_EQ(shown(), before);
    const engine::Image& after = *viewer->Display1->CurrentImage.Image();
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(after.pixels.get()),
                          after.columns * after.rows * 4),
              pixelsBefore);

    viewer->Rotate_Left->trigger();
    EXPECT_EQ(quadrants(shown()), "green yellow red blue");
    viewer->Rotate_Right->trigger();
    EXPECT_EQ(shown(), before);
}

// The keys of the turns reach them: no key of the viewer's own, and no other action, holds them.
TEST_F(ViewTransformTest, FlipsAndTurnsByTheirKeysChangeTheViewAndNotTheFile) {
    const std::string photo = writePhoto("photo.jpg", 8);
    const std::string bytes = readBytes(photo);
    const auto written = std::filesystem::last_write_time(photo);
    ASSERT_TRUE(viewer->DisplayImage(photo));
    const double zoom = viewer->Display1->ZoomFactor;

    QTest::keyClick(viewer.get(), Qt::Key_H, Qt::ControlModifier);
    EXPECT_EQ(quadrants(shown()), "green red yellow blue");
    QTest::keyClick(viewer.get(), Qt::Key_V, Qt::ControlModifier);
    EXPECT_EQ(quadrants(shown()), "yellow blue green red");
    QTest::keyClick(viewer.get(), Qt::Key_R, Qt::ControlModifier);
    EXPECT_EQ(quadrants(shown()), "green yellow red blue");
    QTest::keyClick(viewer.get(), Qt::Key_L, Qt::ControlModifier);
    EXPECT_EQ(quadrants(shown()), "yellow blue green red");
    EXPECT_EQ(viewer->Display1->ZoomFactor, zoom);
    EXPECT_EQ(viewer->window_behavior, FitWindowToImage);

    EXPECT_EQ(readBytes(photo), bytes);
    EXPECT_EQ(std::filesystem::last_write_time(photo), written);
    EXPECT_EQ(testsupport::SharedShortcuts(*viewer), std::vector<std::string>{});
}

// A turned view is laid out as a new image would be: a fitted window follows the new shape, a
// freely sized one stays as it is.
TEST_F(ViewTransformTest, ATurnedViewIsLaidOutUnderTheCurrentWindowBehaviour) {
    ASSERT_TRUE(viewer->DisplayImage(writePhoto("tall.jpg", 6, 200, 400)));
    ASSERT_EQ(viewer->PanelText(0), " 200x400");
    ASSERT_EQ(viewer->Display1->Height(), 400);
    viewer->Rotate_Left->trigger();
    EXPECT_EQ(viewer->Display1->Height(), 200);
    EXPECT_EQ(viewer->Display1->Width(), 400);
    EXPECT_EQ(imageBox(shown()), QRect(0, 0, 400, 200));

    viewer->Free_Window_Sizing->trigger();
    const WindowBounds bounds = viewer->Bounds();
    viewer->Rotate_Right->trigger();
    EXPECT_EQ(viewer->Bounds(), bounds);
    EXPECT_EQ(viewer->window_behavior, FreeWindowSizing);
    EXPECT_EQ(imageBox(shown()).size(), QSize(200, viewer->Display1->Height()));
    EXPECT_EQ(quadrants(shown()).substr(0, 9), "red green");
}
