// Embedded colour profiles: pixels are shown in sRGB as lcms2 computes them, whatever format
// carries the profile, and files without one are left as they are.
#include "support/TestSupport.h"

#include "display/ColourManagement.h"
#include "display/ImageDecoder.h"
#include "display/MagickLibrary.h"

#include <lcms2.h>
#include <magick/MagickCore.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

using testsupport::IsolatedTest;

namespace {

std::string saveProfile(cmsHPROFILE profile) {
    cmsUInt32Number size = 0;
    cmsSaveProfileToMem(profile, nullptr, &size);
    std::string bytes(size, '\0');
    cmsSaveProfileToMem(profile, bytes.data(), &size);
    cmsCloseProfile(profile);
    return bytes;
}

const cmsCIExyY kD65 = {0.3127, 0.3290, 1.0};

// An RGB profile of three equal curves over the given primaries.
std::string rgbProfile(const cmsCIExyYTRIPLE& primaries, cmsToneCurve* curve) {
    cmsToneCurve* curves[3] = {curve, curve, curve};
    std::string bytes = saveProfile(cmsCreateRGBProfile(&kD65, &primaries, curves));
    cmsFreeToneCurve(curve);
    return bytes;
}

std::string adobeRgbProfile(double gamma = 563.0 / 256.0) {
    return rgbProfile({{0.64, 0.33, 1.0}, {0.21, 0.71, 1.0}, {0.15, 0.06, 1.0}},
                      cmsBuildGamma(nullptr, gamma));
}

std::string displayP3Profile() {
    const double srgbCurve[5] = {2.4, 1.0 / 1.055, 0.055 / 1.055, 1.0 / 12.92, 0.04045};
    return rgbProfile({{0.680, 0.320, 1.0}, {0.265, 0.690, 1.0}, {0.150, 0.060, 1.0}},
                      cmsBuildParametricToneCurve(nullptr, 4, srgbCurve));
}

std::string grayProfile() {
    cmsToneCurve* curve = cmsBuildGamma(nullptr, 1.8);
    std::string bytes = saveProfile(cmsCreateGrayProfile(cmsD50_xyY(), curve));
    cmsFreeToneCurve(curve);
    return bytes;
}

// A printing press of impure inks: cyan takes some green, magenta some blue, and black is not
// quite black. Far enough from the plain 255 - ink formula that a decoder ignoring the profile
// is seen.
int pressSampler(const cmsUInt16Number in[], cmsUInt16Number out[], void* toLab) {
    const double c = in[0] / 65535.0, m = in[1] / 65535.0, y = in[2] / 65535.0, k = in[3] / 65535.0;
    const double paper = 1.0 - 0.85 * k;
    double rgb[3] = {(1 - c) * (1 - 0.1 * m) * paper, (1 - m) * (1 - 0.35 * c) * paper,
                     (1 - y) * (1 - 0.3 * m) * paper};
    cmsCIELab lab;
    cmsDoTransform(toLab, rgb, &lab, 1);
    cmsFloat2LabEncoded(out, &lab);
    return 1;
}

std::string cmykProfile() {
    cmsHPROFILE srgb = cmsCreate_sRGBProfile();
    cmsHPROFILE lab = cmsCreateLab4Profile(nullptr);
    cmsHTRANSFORM toLab =
        cmsCreateTransform(srgb, TYPE_RGB_DBL, lab, TYPE_Lab_DBL, INTENT_RELATIVE_COLORIMETRIC, 0);
    cmsHPROFILE profile = cmsCreateProfilePlaceholder(nullptr);
    cmsSetProfileVersion(profile, 4.3);
    cmsSetDeviceClass(profile, cmsSigOutputClass);
    cmsSetColorSpace(profile, cmsSigCmykData);
    cmsSetPCS(profile, cmsSigLabData);
    cmsPipeline* pipeline = cmsPipelineAlloc(nullptr, 4, 3);
    cmsStage* grid = cmsStageAllocCLut16bit(nullptr, 9, 4, 3, nullptr);
    cmsStageSampleCLut16bit(grid, pressSampler, toLab, 0);
    // The tag's type wants curves on both sides of the grid: straight ones.
    cmsPipelineInsertStage(pipeline, cmsAT_END, cmsStageAllocToneCurves(nullptr, 4, nullptr));
    cmsPipelineInsertStage(pipeline, cmsAT_END, grid);
    cmsPipelineInsertStage(pipeline, cmsAT_END, cmsStageAllocToneCurves(nullptr, 3, nullptr));
    cmsWriteTag(profile, cmsSigAToB0Tag, pipeline);
    cmsWriteTag(profile, cmsSigMediaWhitePointTag, cmsD50_XYZ());
    cmsPipelineFree(pipeline);
    cmsDeleteTransform(toLab);
    cmsCloseProfile(lab);
    cmsCloseProfile(srgb);
    return saveProfile(profile);
}

// What lcms2 makes of count pixels in format inFormat under profile: 8-bit red, green, blue.
std::vector<int> lcmsSrgb(const std::string& profile, cmsUInt32Number inFormat, const void* pixels,
                          std::size_t count) {
    cmsHPROFILE source = cmsOpenProfileFromMem(profile.data(), profile.size());
    cmsHPROFILE srgb = cmsCreate_sRGBProfile();
    cmsHTRANSFORM transform =
        cmsCreateTransform(source, inFormat, srgb, TYPE_RGB_8, INTENT_PERCEPTUAL, 0);
    std::vector<std::uint8_t> rgb(count * 3);
    EXPECT_NE(transform, nullptr);
    if (transform != nullptr) {
        cmsDoTransform(transform, pixels, rgb.data(), static_cast<cmsUInt32Number>(count));
        cmsDeleteTransform(transform);
    }
    cmsCloseProfile(srgb);
    cmsCloseProfile(source);
    return {rgb.begin(), rgb.end()};
}

// Writes pixels (laid out as map says, in samples of type) with the library's coder, with the
// profile embedded when one is given.
std::string writeImage(const std::string& path, const char* coder, std::size_t width,
                       std::size_t height, const char* map, StorageType type, const void* pixels,
                       const std::string& profile, std::size_t depth = 8) {
    ExceptionInfo* exception = AcquireExceptionInfo();
    Image* image = ConstituteImage(width, height, map, type, pixels, exception);
    EXPECT_NE(image, nullptr) << (exception->reason ? exception->reason : "");
    if (image != nullptr) {
        if (std::strcmp(map, "CMYK") == 0) {
            SetImageColorspace(image, CMYKColorspace);
        }
        if (!profile.empty()) {
            StringInfo* bytes = AcquireStringInfo(profile.size());
            SetStringInfoDatum(bytes, reinterpret_cast<const unsigned char*>(profile.data()));
            SetImageProfile(image, "icc", bytes);
            DestroyStringInfo(bytes);
        }
        image->depth = depth;
        ImageInfo* info = AcquireImageInfo();
        info->quality = 100;
        SetImageOption(info, "webp:lossless", "true");
        SetImageOption(info, "jpeg:sampling-factor", "1x1");
        std::snprintf(image->filename, sizeof image->filename, "%s:%s", coder, path.c_str());
        EXPECT_EQ(WriteImage(info, image), MagickTrue) << image->exception.reason;
        DestroyImageInfo(info);
        DestroyImage(image);
    }
    DestroyExceptionInfo(exception);
    return path;
}

constexpr std::size_t kBlock = 32; // patches are 2 x 2 blocks of one colour each

// A 64 x 64 image of four blocks of the given colours (channels samples each), row by row.
std::vector<std::uint8_t> fourBlocks(const std::vector<std::vector<std::uint8_t>>& colours) {
    std::vector<std::uint8_t> samples;
    for (std::size_t y = 0; y < 2 * kBlock; ++y) {
        for (std::size_t x = 0; x < 2 * kBlock; ++x) {
            const auto& colour = colours[(y / kBlock) * 2 + x / kBlock];
            samples.insert(samples.end(), colour.begin(), colour.end());
        }
    }
    return samples;
}

// The red, green and blue of the middle of each block.
std::vector<int> blockMiddles(const engine::Image& image) {
    std::vector<int> rgb;
    for (std::size_t block = 0; block < 4; ++block) {
        const std::size_t x = (block % 2) * kBlock + kBlock / 2;
        const std::size_t y = (block / 2) * kBlock + kBlock / 2;
        const std::uint8_t* pixel = image.Row(y) + x * 4;
        rgb.insert(rgb.end(), {pixel[2], pixel[1], pixel[0]});
    }
    return rgb;
}

int largestDifference(const std::vector<int>& a, const std::vector<int>& b) {
    int largest = 0;
    for (std::size_t i = 0; i < std::min(a.size(), b.size()); ++i) {
        largest = std::max(largest, std::abs(a[i] - b[i]));
    }
    return a.size() == b.size() ? largest : 1000;
}

const std::vector<std::vector<std::uint8_t>> kRgbColours = {
    {172, 62, 61}, {40, 180, 90}, {90, 100, 220}, {128, 128, 128}};

enum class Space { AdobeRgb, DisplayP3 };

struct FormatCase {
    const char* coder;
    const char* extension;
    Space space;
};

std::string profileOf(Space space) {
    return space == Space::AdobeRgb ? adobeRgbProfile() : displayP3Profile();
}

} // namespace

class ColourTest : public IsolatedTest {};

class ColourFormatTest : public ColourTest, public ::testing::WithParamInterface<FormatCase> {};

// The same patch in each format that carries a profile, read by the row stream (PNG, JPEG,
// WebP) or whole (TIFF).
TEST_P(ColourFormatTest, AWideGamutPatchShowsTheSrgbColoursItMeans) {
    const FormatCase& format = GetParam();
    const std::string profile = profileOf(format.space);
    const std::vector<std::uint8_t> rgb = fourBlocks(kRgbColours);
    const std::string path =
        writeImage(folders.Home() + "/patch." + format.extension, format.coder, 2 * kBlock,
                   2 * kBlock, "RGB", CharPixel, rgb.data(), profile);
    std::vector<std::uint8_t> middles;
    for (const auto& colour : kRgbColours) {
        middles.insert(middles.end(), colour.begin(), colour.end());
    }
    const std::vector<int> expected = lcmsSrgb(profile, TYPE_RGB_8, middles.data(), 4);
    ASSERT_GT(largestDifference(expected, {middles.begin(), middles.end()}), 10)
        << "the profile must matter for the test to mean anything";

    const engine::DecodeResult decoded = engine::DecodeImageFile(path);
    ASSERT_TRUE(decoded.image) << decoded.message;
    EXPECT_EQ(decoded.icc_profile, profile) << "the embedded profile is read as it is";
    EXPECT_TRUE(decoded.icc_profile_applied);
    EXPECT_LE(largestDifference(blockMiddles(*decoded.image), expected), 3);
    if (format.space == Space::AdobeRgb) {
        // The red of the issue: (172, 62, 61) in Adobe RGB is about (200, 60, 60).
        const std::vector<int> red = {blockMiddles(*decoded.image)[0],
                                      blockMiddles(*decoded.image)[1],
                                      blockMiddles(*decoded.image)[2]};
        EXPECT_LE(largestDifference(red, {200, 60, 60}), 3);
    }
}

INSTANTIATE_TEST_SUITE_P(Colour, ColourFormatTest,
                         ::testing::Values(FormatCase{"png24", "png", Space::AdobeRgb},
                                           FormatCase{"png24", "png", Space::DisplayP3},
                                           FormatCase{"jpeg", "jpg", Space::AdobeRgb},
                                           FormatCase{"jpeg", "jpg", Space::DisplayP3},
                                           FormatCase{"tiff", "tif", Space::AdobeRgb},
                                           FormatCase{"webp", "webp", Space::DisplayP3}),
                         [](const ::testing::TestParamInfo<FormatCase>& info) {
                             return std::string(info.param.extension) +
                                    (info.param.space == Space::AdobeRgb ? "_AdobeRgb"
                                                                         : "_DisplayP3");
                         });

std::string littleEndian(std::uint32_t value, int bytes) {
    std::string text;
    for (int i = 0; i < bytes; ++i) {
        text += static_cast<char>((value >> (8 * i)) & 0xFF);
    }
    return text;
}

std::string ifdEntry(int tag, int type, int count, const std::string& value) {
    return littleEndian(tag, 2) + littleEndian(type, 2) + littleEndian(count, 4) + value;
}

// A JPEG of the patch with an EXIF block in front that says colour space "uncalibrated" and,
// when index is not empty, that interoperability index.
std::string exifJpeg(const std::string& path, const std::string& index) {
    const std::vector<std::uint8_t> rgb = fourBlocks(kRgbColours);
    writeImage(path, "jpeg", 2 * kBlock, 2 * kBlock, "RGB", CharPixel, rgb.data(), "");
    // The first directory at 8 (one entry), the EXIF one at 26 (two), interoperability at 56.
    std::string tiff = "II" + littleEndian(42, 2) + littleEndian(8, 4);
    tiff += littleEndian(1, 2) + ifdEntry(0x8769, 4, 1, littleEndian(26, 4)) + littleEndian(0, 4);
    tiff += littleEndian(2, 2) + ifdEntry(0xA001, 3, 1, littleEndian(0xFFFF, 4)) +
            ifdEntry(0xA005, 4, 1, littleEndian(56, 4)) + littleEndian(0, 4);
    tiff += littleEndian(1, 2) +
            ifdEntry(0x0001, 2, 4, index + std::string(4 - index.size(), '\0')) +
            littleEndian(0, 4);
    const std::string body = std::string("Exif\0\0", 6) + tiff;
    const std::size_t length = body.size() + 2;
    std::ifstream in(path, std::ios::binary);
    std::stringstream jpeg;
    jpeg << in.rdbuf();
    const std::string bytes = jpeg.str();
    std::ofstream(path, std::ios::binary)
        << bytes.substr(0, 2) << "\xFF\xE1" << static_cast<char>(length >> 8)
        << static_cast<char>(length & 0xFF) << body << bytes.substr(2);
    return path;
}

TEST_F(ColourTest, APhotoWhoseExifSaysAdobeRgbWithoutAProfileIsShownAsAdobeRgb) {
    std::vector<std::uint8_t> middles;
    for (const auto& colour : kRgbColours) {
        middles.insert(middles.end(), colour.begin(), colour.end());
    }
    const std::vector<int> expected = lcmsSrgb(adobeRgbProfile(), TYPE_RGB_8, middles.data(), 4);
    const engine::DecodeResult adobe =
        engine::DecodeImageFile(exifJpeg(folders.Home() + "/r03.jpg", "R03"));
    ASSERT_TRUE(adobe.image) << adobe.message;
    EXPECT_LE(largestDifference(blockMiddles(*adobe.image), expected), 3);
    EXPECT_TRUE(adobe.icc_profile_applied);

    // "Uncalibrated" alone says nothing of which colours are meant.
    const engine::DecodeResult other =
        engine::DecodeImageFile(exifJpeg(folders.Home() + "/r98.jpg", "R98"));
    ASSERT_TRUE(other.image) << other.message;
    EXPECT_LE(largestDifference(blockMiddles(*other.image), {middles.begin(), middles.end()}), 1);
    EXPECT_FALSE(other.icc_profile_applied);
}

TEST_F(ColourTest, ACmykJpegWithAPressProfileShowsWhatTheProfileSays) {
    const std::string profile = cmykProfile();
    const std::vector<std::vector<std::uint8_t>> inks = {
        {200, 20, 10, 0}, {10, 180, 200, 30}, {60, 60, 60, 120}, {0, 0, 0, 0}};
    const std::vector<std::uint8_t> cmyk = fourBlocks(inks);
    for (const char* coder : {"jpeg", "tiff"}) {
        SCOPED_TRACE(coder);
        const std::string path = writeImage(folders.Home() + "/press." + coder, coder, 2 * kBlock,
                                            2 * kBlock, "CMYK", CharPixel, cmyk.data(), profile);
        std::vector<std::uint8_t> middles;
        std::vector<int> plain;
        for (const auto& ink : inks) {
            middles.insert(middles.end(), ink.begin(), ink.end());
            for (int c : {0, 1, 2}) {
                plain.push_back((255 - ink[c]) * (255 - ink[3]) / 255);
            }
        }
        const std::vector<int> expected = lcmsSrgb(profile, TYPE_CMYK_8, middles.data(), 4);
        ASSERT_GT(largestDifference(expected, plain), 10) << "the inks must differ from plain";

        const engine::DecodeResult decoded = engine::DecodeImageFile(path);
        ASSERT_TRUE(decoded.image) << decoded.message;
        EXPECT_LE(largestDifference(blockMiddles(*decoded.image), expected), 3);
        EXPECT_EQ(decoded.image->Row(0)[3], 255);
    }
}

// Without a profile (or with one that says sRGB, or one that is broken) the pixels are what
// the file holds: the plain CMYK formula for CMYK.
TEST_F(ColourTest, FilesWithoutAUsableProfileAreShownAsTheyHoldThePixels) {
    std::vector<std::uint8_t> rgb(64 * 48 * 3);
    std::mt19937 random(7);
    for (auto& sample : rgb) {
        sample = static_cast<std::uint8_t>(random());
    }
    cmsHPROFILE srgbHandle = cmsCreate_sRGBProfile();
    const std::string srgb = saveProfile(srgbHandle);
    const std::string broken = adobeRgbProfile().substr(0, 200);
    for (const std::string& profile : {std::string(), srgb, broken}) {
        const std::string path = writeImage(folders.Home() + "/plain.png", "png24", 64, 48, "RGB",
                                            CharPixel, rgb.data(), profile);
        const engine::DecodeResult decoded = engine::DecodeImageFile(path);
        ASSERT_TRUE(decoded.image) << decoded.message;
        int worst = 0;
        for (std::size_t i = 0; i < 64 * 48; ++i) {
            for (int c = 0; c < 3; ++c) {
                worst = std::max(
                    worst, std::abs(decoded.image->pixels[i * 4 + 2 - c] - int{rgb[i * 3 + c]}));
            }
        }
        EXPECT_EQ(worst, 0) << "profile of " << profile.size() << " bytes";
        EXPECT_FALSE(decoded.icc_profile_applied);
    }

    const std::vector<std::vector<std::uint8_t>> inks = {
        {200, 20, 10, 0}, {10, 180, 200, 30}, {60, 60, 60, 120}, {0, 0, 0, 0}};
    const std::vector<std::uint8_t> cmyk = fourBlocks(inks);
    const std::string path = writeImage(folders.Home() + "/plain.jpg", "jpeg", 2 * kBlock,
                                        2 * kBlock, "CMYK", CharPixel, cmyk.data(), "");
    std::vector<int> plain;
    for (const auto& ink : inks) {
        for (int c : {0, 1, 2}) {
            plain.push_back((255 - ink[c]) * (255 - ink[3]) / 255);
        }
    }
    const engine::DecodeResult decoded = engine::DecodeImageFile(path);
    ASSERT_TRUE(decoded.image) << decoded.message;
    EXPECT_LE(largestDifference(blockMiddles(*decoded.image), plain), 2);
}

TEST_F(ColourTest, AGrayImageWithAGrayProfileShowsItsSrgbGrays) {
    const std::string profile = grayProfile();
    const std::vector<std::vector<std::uint8_t>> levels = {{20}, {64}, {128}, {200}};
    const std::vector<std::uint8_t> gray = fourBlocks(levels);
    const std::string path = writeImage(folders.Home() + "/gray.png", "png", 2 * kBlock, 2 * kBlock,
                                        "I", CharPixel, gray.data(), profile);
    const std::uint8_t middles[4] = {20, 64, 128, 200};
    const std::vector<int> expected = lcmsSrgb(profile, TYPE_GRAY_8, middles, 4);
    ASSERT_GT(largestDifference(expected, {20, 20, 20, 64, 64, 64, 128, 128, 128, 200, 200, 200}),
              10);
    const engine::DecodeResult decoded = engine::DecodeImageFile(path);
    ASSERT_TRUE(decoded.image) << decoded.message;
    EXPECT_LE(largestDifference(blockMiddles(*decoded.image), expected), 1);
}

// 16-bit samples meet 8 bits somewhere on the way; wherever that is, they are rounded: the
// errors against lcms2's exact result average out near 0, where truncating would pull them all
// down by about half a level.
TEST_F(ColourTest, SixteenBitSamplesWithAProfileAreRoundedNotTruncated) {
    const std::string profile = adobeRgbProfile();
    constexpr std::size_t kSide = 64;
    std::vector<std::uint16_t> rgb(kSide * kSide * 3);
    for (std::size_t i = 0; i < kSide * kSide; ++i) {
        const auto v = static_cast<std::uint16_t>(i * 16 + 7);
        rgb[i * 3] = v;
        rgb[i * 3 + 1] = static_cast<std::uint16_t>(v / 2 + 9000);
        rgb[i * 3 + 2] = static_cast<std::uint16_t>(65535 - v);
    }
    const std::string path = writeImage(folders.Home() + "/deep.png", "png48", kSide, kSide, "RGB",
                                        ShortPixel, rgb.data(), profile, 16);
    cmsHPROFILE source = cmsOpenProfileFromMem(profile.data(), profile.size());
    cmsHPROFILE srgb = cmsCreate_sRGBProfile();
    cmsHTRANSFORM exact =
        cmsCreateTransform(source, TYPE_RGB_16, srgb, TYPE_RGB_DBL, INTENT_PERCEPTUAL, 0);
    std::vector<double> expected(rgb.size());
    cmsDoTransform(exact, rgb.data(), expected.data(), kSide * kSide);
    cmsDeleteTransform(exact);
    cmsCloseProfile(srgb);
    cmsCloseProfile(source);

    const engine::DecodeResult decoded = engine::DecodeImageFile(path);
    ASSERT_TRUE(decoded.image) << decoded.message;
    double sum = 0, worst = 0;
    for (std::size_t i = 0; i < kSide * kSide; ++i) {
        for (int c = 0; c < 3; ++c) {
            // lcms2's floating point results are unbounded: colours outside sRGB clip.
            const double exact = std::clamp(expected[i * 3 + c], 0.0, 1.0) * 255.0;
            const double error = decoded.image->pixels[i * 4 + 2 - c] - exact;
            sum += error;
            worst = std::max(worst, std::fabs(error));
        }
    }
    const double mean = sum / (kSide * kSide * 3);
    EXPECT_LT(std::fabs(mean), 0.15) << "mean error " << mean;
    EXPECT_LE(worst, 3.0);
}

// A photo-sized image goes through the vector loop on two threads, behind the row stream (PNG)
// or after a whole read (TIFF): every pixel as lcms2 has it (within the one level either may
// round differently), alpha as the file has it.
TEST_F(ColourTest, ALargeImageWithAlphaIsConvertedEverywhereAndKeepsItsAlpha) {
    const std::string profile = adobeRgbProfile();
    constexpr std::size_t kWidth = 1280, kHeight = 900;
    std::vector<std::uint8_t> rgba(kWidth * kHeight * 4);
    std::mt19937 random(11);
    for (auto& sample : rgba) {
        sample = static_cast<std::uint8_t>(random());
    }

    cmsHPROFILE source = cmsOpenProfileFromMem(profile.data(), profile.size());
    cmsHPROFILE srgb = cmsCreate_sRGBProfile();
    cmsHTRANSFORM transform = cmsCreateTransform(source, TYPE_RGBA_8, srgb, TYPE_RGBA_8,
                                                 INTENT_PERCEPTUAL, cmsFLAGS_COPY_ALPHA);
    std::vector<std::uint8_t> expected(rgba.size());
    cmsDoTransform(transform, rgba.data(), expected.data(), kWidth * kHeight);
    cmsDeleteTransform(transform);
    cmsCloseProfile(srgb);
    cmsCloseProfile(source);

    for (const char* coder : {"png32", "tiff"}) {
        SCOPED_TRACE(coder);
        const std::string path = writeImage(folders.Home() + "/large." + coder, coder, kWidth,
                                            kHeight, "RGBA", CharPixel, rgba.data(), profile);
        const engine::DecodeResult decoded = engine::DecodeImageFile(path);
        ASSERT_TRUE(decoded.image) << decoded.message;
        ASSERT_EQ(decoded.image->columns, kWidth);
        int worst = 0, alphaWrong = 0;
        for (std::size_t i = 0; i < kWidth * kHeight; ++i) {
            const std::uint8_t* pixel = decoded.image->pixels.get() + i * 4;
            for (int c = 0; c < 3; ++c) {
                worst = std::max(worst, std::abs(pixel[2 - c] - int{expected[i * 4 + c]}));
            }
            alphaWrong += pixel[3] != rgba[i * 4 + 3];
        }
        EXPECT_LE(worst, 1);
        EXPECT_EQ(alphaWrong, 0);
    }
}

// The loop of our own against lcms2, and its vector form against its plain one, over the cube,
// for a curve profile and a parametric one.
TEST(ColourTransform, TheVectorLoopAgreesWithLcms2AcrossTheColourCube) {
    for (const std::string& profile : {adobeRgbProfile(), displayP3Profile()}) {
        const auto transform = engine::FindColourTransform(profile);
        ASSERT_TRUE(transform);
        std::vector<std::uint8_t> bgra;
        for (int r = 0; r < 256; r += 3) {
            for (int g = 0; g < 256; g += 3) {
                for (int b = 0; b < 256; ++b) {
                    bgra.insert(bgra.end(),
                                {static_cast<std::uint8_t>(b), static_cast<std::uint8_t>(g),
                                 static_cast<std::uint8_t>(r), 77});
                }
            }
        }
        std::vector<std::uint8_t> expected(bgra.size());
        cmsHPROFILE source = cmsOpenProfileFromMem(profile.data(), profile.size());
        cmsHPROFILE srgb = cmsCreate_sRGBProfile();
        cmsHTRANSFORM reference = cmsCreateTransform(source, TYPE_BGRA_8, srgb, TYPE_BGRA_8,
                                                     INTENT_PERCEPTUAL, cmsFLAGS_COPY_ALPHA);
        cmsDoTransform(reference, bgra.data(), expected.data(),
                       static_cast<cmsUInt32Number>(bgra.size() / 4));
        cmsDeleteTransform(reference);
        cmsCloseProfile(srgb);
        cmsCloseProfile(source);
        std::vector<std::uint8_t> plain = bgra;
        engine::ConvertBgraToSrgb(*transform, bgra.data(), bgra.size() / 4);
        engine::ConvertBgraToSrgbPlain(*transform, plain.data(), plain.size() / 4);
        EXPECT_TRUE(plain == bgra) << "the vector loop gives the plain loop's bytes";
        int worst = 0;
        for (std::size_t i = 0; i < bgra.size(); ++i) {
            worst = std::max(worst, std::abs(bgra[i] - int{expected[i]}));
        }
        EXPECT_LE(worst, 1);
    }
}

TEST(ColourTransform, OnePlanServesEveryImageOfAProfileAndTheCacheStaysBounded) {
    const std::string adobe = adobeRgbProfile();
    const auto first = engine::FindColourTransform(adobe);
    ASSERT_TRUE(first);
    EXPECT_EQ(engine::FindColourTransform(std::string(adobe)), first);
    EXPECT_FALSE(engine::FindColourTransform("not a profile at all"));
    for (std::size_t i = 0; i < engine::kCachedTransforms; ++i) {
        EXPECT_TRUE(engine::FindColourTransform(adobeRgbProfile(1.6 + 0.1 * i)));
    }
    const auto again = engine::FindColourTransform(adobe);
    ASSERT_TRUE(again);
    EXPECT_NE(again, first) << "the oldest plan was let go";
}

// Pictures shown through a monitor profile the desktop publishes. The profile is process-wide:
// each test puts sRGB back.
// The red, green and blue of the middle of the first block.
std::vector<int> firstBlock(const engine::Image& image) {
    const std::vector<int> all = blockMiddles(image);
    return {all.begin(), all.begin() + 3};
}

class DisplayProfileTest : public ColourTest {
protected:
    void TearDown() override {
        engine::SetDisplayProfile({});
        ColourTest::TearDown();
    }
};

TEST_F(DisplayProfileTest, PicturesAreConvertedToTheMonitorsProfileAndBackWhenItGoes) {
    // An Adobe RGB monitor: an sRGB picture's (200, 60, 60) is sent as about (172, 62, 61), and
    // a picture already in Adobe RGB is sent as it is stored.
    const std::vector<std::uint8_t> srgb =
        fourBlocks({{200, 60, 60}, {40, 180, 90}, {90, 100, 220}, {128, 128, 128}});
    const std::string plain = writeImage(folders.Home() + "/plain.png", "png24", 2 * kBlock,
                                         2 * kBlock, "RGB", CharPixel, srgb.data(), {});
    const std::string adobe = adobeRgbProfile();
    const std::vector<std::uint8_t> stored = fourBlocks(kRgbColours);
    const std::string tagged = writeImage(folders.Home() + "/adobe.jpg", "jpeg", 2 * kBlock,
                                          2 * kBlock, "RGB", CharPixel, stored.data(), adobe);
    std::vector<int> storedMiddles;
    for (const auto& colour : kRgbColours) {
        storedMiddles.insert(storedMiddles.end(), colour.begin(), colour.end());
    }
    const std::uint64_t before = engine::DisplayProfileGeneration();
    ASSERT_TRUE(engine::SetDisplayProfile(adobe));
    EXPECT_TRUE(engine::HasDisplayProfile());
    EXPECT_NE(engine::DisplayProfileGeneration(), before);

    const engine::DecodeResult shownPlain = engine::DecodeImageFile(plain);
    ASSERT_TRUE(shownPlain.image) << shownPlain.message;
    EXPECT_LE(largestDifference(firstBlock(*shownPlain.image), {172, 62, 61}), 3);
    EXPECT_FALSE(shownPlain.icc_profile_applied) << "the picture had no profile of its own";

    const engine::DecodeResult shownTagged = engine::DecodeImageFile(tagged);
    ASSERT_TRUE(shownTagged.image) << shownTagged.message;
    EXPECT_LE(largestDifference(blockMiddles(*shownTagged.image), storedMiddles), 3);

    // What leaves the screen (a thumbnail for the shared cache, a page) goes back to sRGB.
    ASSERT_TRUE(engine::ConvertDisplayedToSrgb(*shownPlain.image));
    EXPECT_LE(largestDifference(firstBlock(*shownPlain.image), {200, 60, 60}), 2);

    // The desktop takes its profile away: sRGB again, with no stale conversion from the cache.
    engine::SetDisplayProfile({});
    EXPECT_FALSE(engine::HasDisplayProfile());
    const engine::DecodeResult again = engine::DecodeImageFile(plain);
    ASSERT_TRUE(again.image);
    EXPECT_LE(largestDifference(firstBlock(*again.image), {200, 60, 60}), 1);
    const engine::DecodeResult taggedAgain = engine::DecodeImageFile(tagged);
    ASSERT_TRUE(taggedAgain.image);
    EXPECT_LE(largestDifference(firstBlock(*taggedAgain.image), {200, 60, 60}), 3);
    EXPECT_FALSE(engine::ConvertDisplayedToSrgb(*taggedAgain.image)) << "sRGB was converted";
    EXPECT_LE(largestDifference(firstBlock(*taggedAgain.image), {200, 60, 60}), 3);
}

TEST_F(DisplayProfileTest, WhatCannotDescribeAMonitorIsIgnored) {
    // Bytes that are no profile, a CMYK printer's and a gray one: the monitor stays sRGB.
    for (const std::string& unusable :
         {std::string("not a profile at all"), cmykProfile(), grayProfile()}) {
        EXPECT_FALSE(engine::SetDisplayProfile(unusable));
        EXPECT_FALSE(engine::HasDisplayProfile());
    }
    const std::vector<std::uint8_t> srgb =
        fourBlocks({{200, 60, 60}, {40, 180, 90}, {90, 100, 220}, {128, 128, 128}});
    const std::string plain = writeImage(folders.Home() + "/plain.png", "png24", 2 * kBlock,
                                         2 * kBlock, "RGB", CharPixel, srgb.data(), {});
    const engine::DecodeResult shown = engine::DecodeImageFile(plain);
    ASSERT_TRUE(shown.image);
    EXPECT_EQ(blockMiddles(*shown.image),
              (std::vector<int>{200, 60, 60, 40, 180, 90, 90, 100, 220, 128, 128, 128}));
}
