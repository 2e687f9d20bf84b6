// A JPEG's reduced first view: decoded at the DCT scale the view needs, never smaller than the
// view, upright, and close to what the scaler makes of the whole image.
#include "support/TestSupport.h"

#include "display/ImageDecoder.h"
#include "display/ScaleRegion.h"

#include <magick/MagickCore.h>

#include <cmath>
#include <cstdint>
#include <fstream>
#include <sstream>
#include <vector>

using testsupport::IsolatedTest;

namespace {

// A photo-like picture without grain: smooth gradients and soft blotches a few dozen pixels
// wide, which a reduced decode and an area average of the whole both keep.
std::vector<std::uint8_t> smoothPicture(std::size_t width, std::size_t height) {
    std::vector<std::uint8_t> rgb(width * height * 3);
    for (std::size_t y = 0; y < height; ++y) {
        for (std::size_t x = 0; x < width; ++x) {
            const double u = static_cast<double>(x) / width, v = static_cast<double>(y) / height;
            const double blotch = 30.0 * std::sin(x / 23.0) * std::cos(y / 31.0);
            std::uint8_t* pixel = &rgb[(y * width + x) * 3];
            pixel[0] = static_cast<std::uint8_t>(std::lround(120 + 80 * u + blotch));
            pixel[1] = static_cast<std::uint8_t>(std::lround(60 + 120 * v - blotch / 2));
            pixel[2] = static_cast<std::uint8_t>(std::lround(200 - 90 * u * v + blotch / 3));
        }
    }
    return rgb;
}

std::string writePicture(const std::string& path, const char* coder, std::size_t width,
                         std::size_t height) {
    const std::vector<std::uint8_t> rgb = smoothPicture(width, height);
    ExceptionInfo* exception = AcquireExceptionInfo();
    Image* image = ConstituteImage(width, height, "RGB", CharPixel, rgb.data(), exception);
    EXPECT_NE(image, nullptr);
    if (image != nullptr) {
        ImageInfo* info = AcquireImageInfo();
        info->quality = 92;
        std::snprintf(image->filename, sizeof image->filename, "%s:%s", coder, path.c_str());
        EXPECT_EQ(WriteImage(info, image), MagickTrue);
        DestroyImageInfo(info);
        DestroyImage(image);
    }
    DestroyExceptionInfo(exception);
    return path;
}

std::string writeJpeg(const std::string& path, std::size_t width, std::size_t height) {
    return writePicture(path, "jpeg", width, height);
}

struct ImageDeleter {
    void operator()(engine::Image* image) const { engine::DestroyImage(image); }
};
using Scaled = std::unique_ptr<engine::Image, ImageDeleter>;

// The same JPEG with an EXIF block saying orientation (a little-endian TIFF header and one
// IFD entry), right after its start marker.
std::string withExifOrientation(const std::string& path, int orientation) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream whole;
    whole << in.rdbuf();
    const std::string jpeg = whole.str();
    std::string tiff("II*\0\x08\0\0\0", 8);
    tiff += std::string("\x01\0", 2);                   // one entry
    tiff += std::string("\x12\x01\x03\0\x01\0\0\0", 8); // orientation, SHORT, count 1
    tiff += std::string(1, static_cast<char>(orientation)) + std::string(3, '\0');
    tiff += std::string(4, '\0'); // no next IFD
    const std::string body = std::string("Exif\0\0", 6) + tiff;
    const std::size_t length = body.size() + 2;
    const std::string segment = std::string("\xFF\xE1", 2) + static_cast<char>(length >> 8) +
                                static_cast<char>(length & 0xFF) + body;
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << jpeg.substr(0, 2) << segment << jpeg.substr(2);
    return path;
}

int largestDifference(const engine::Image& a, const engine::Image& b) {
    if (a.columns != b.columns || a.rows != b.rows) {
        return 1000;
    }
    int largest = 0;
    for (std::size_t i = 0; i < a.columns * a.rows * 4; ++i) {
        largest = std::max(largest, std::abs(int{a.pixels.get()[i]} - int{b.pixels.get()[i]}));
    }
    return largest;
}

class FirstViewTest : public IsolatedTest {};

} // namespace

TEST_F(FirstViewTest, AJpegShownSmallIsDecodedAtTheScaleTheViewNeedsAndLooksTheSameScaled) {
    const std::string path = writeJpeg(folders.Home() + "/photo.jpg", 4000, 3000);
    // Fitted into 900 x 700, the image is shown at 0.225: a quarter-scale decode (1000 x 750)
    // is the smallest the JPEG library offers that is not smaller than that.
    const engine::DecodeResult first = engine::DecodeImageFile(path, nullptr, {900, 700});
    ASSERT_TRUE(first.image) << first.message;
    EXPECT_TRUE(first.reduced);
    EXPECT_EQ(first.full_columns, 4000u);
    EXPECT_EQ(first.full_rows, 3000u);
    EXPECT_EQ(first.image->columns, 1000u);
    EXPECT_EQ(first.image->rows, 750u);

    const engine::DecodeResult whole = engine::DecodeImageFile(path);
    ASSERT_TRUE(whole.image);
    EXPECT_FALSE(whole.reduced);
    EXPECT_EQ(whole.image->columns, 4000u);

    // At the fitted size the scaler's result from the reduced decode is the one from the
    // whole image, within 2 levels: the whole image replaces the first view unseen.
    const int shownWidth = 900, shownHeight = 675;
    const Scaled fromWhole(ScaleImage_Bresenham_Fractional(
        *whole.image, ImageRegionFP{0, 0, 4000, 3000}, shownWidth, shownHeight));
    const Scaled fromFirst(ScaleImage_Bresenham_Fractional(
        *first.image, ImageRegionFP{0, 0, 1000, 750}, shownWidth, shownHeight));
    ASSERT_TRUE(fromWhole && fromFirst);
    EXPECT_LE(largestDifference(*fromWhole, *fromFirst), 2);
}

TEST_F(FirstViewTest, TheViewIsMeasuredUprightAndNothingIsReducedThatWouldShowLarge) {
    // Stored 4000 x 3000 and turned a quarter by its EXIF: upright 3000 x 4000, which a
    // 700 x 900 view shows at 0.225 (a quarter-scale decode); a 600 x 450 view of the stored
    // shape would give 0.15 if the turn were forgotten (an eighth-scale, too small).
    const std::string path =
        withExifOrientation(writeJpeg(folders.Home() + "/turned.jpg", 4000, 3000), 6);
    const engine::DecodeResult first = engine::DecodeImageFile(path, nullptr, {700, 900});
    ASSERT_TRUE(first.image) << first.message;
    EXPECT_EQ(first.orientation, 6);
    EXPECT_TRUE(first.reduced);
    EXPECT_EQ(first.full_columns, 3000u);
    EXPECT_EQ(first.full_rows, 4000u);
    EXPECT_EQ(first.image->columns, 750u) << "the record is upright too";
    EXPECT_EQ(first.image->rows, 1000u);

    // A view that needs half the image or more, and formats without DCT scaling, get it whole.
    const engine::DecodeResult large = engine::DecodeImageFile(path, nullptr, {2000, 2000});
    ASSERT_TRUE(large.image);
    EXPECT_FALSE(large.reduced);
    EXPECT_EQ(large.image->columns, 3000u);
    const std::string png = writePicture(folders.Home() + "/flat.png", "png", 2000, 1500);
    const engine::DecodeResult flat = engine::DecodeImageFile(png, nullptr, {200, 150});
    ASSERT_TRUE(flat.image) << flat.message;
    EXPECT_FALSE(flat.reduced);
    EXPECT_EQ(flat.image->columns, 2000u);
}
