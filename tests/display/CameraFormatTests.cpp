// Camera RAW, JPEG XL, HEIC and AVIF files made here (a DNG written byte by byte, JPEG XL by
// cjxl, HEIC and AVIF by libheif's encoders) open upright with their colours, alpha and
// profiles; a RAW's preview comes first and its developed image after; damaged ones are refused
// quickly.
#include "support/CameraFiles.h"
#include "support/TestSupport.h"

#include "display/ColourManagement.h"
#include "display/DirectDecoders.h"
#include "display/ImageDecoder.h"
#include "display/MagickLibrary.h"

#include <libheif/heif.h>
#include <magick/MagickCore.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <sys/stat.h>

using testsupport::IsolatedTest;
using testsupport::Picture;
using testsupport::QuadrantPicture;
using testsupport::Rgb;

namespace {

std::string writeFile(const std::string& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary) << bytes;
    return path;
}

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream bytes;
    bytes << in.rdbuf();
    return bytes.str();
}

// The picture in a format the image library writes (JPEG, PNG), with alpha when asked, and an
// ICC profile when given.
std::string encode(const Picture& picture, const char* format, bool alpha = false,
                   const std::string& profile = {}) {
    ::ExceptionInfo* exception = AcquireExceptionInfo();
    ::Image* image = ::ConstituteImage(picture.width, picture.height, alpha ? "BGRA" : "BGRP",
                                       CharPixel, picture.bgra.data(), exception);
    std::string bytes;
    if (image != nullptr) {
        if (!profile.empty()) {
            StringInfo* info = AcquireStringInfo(profile.size());
            SetStringInfoDatum(info, reinterpret_cast<const unsigned char*>(profile.data()));
            SetImageProfile(image, "icc", info);
            DestroyStringInfo(info);
        }
        ImageInfo* info = AcquireImageInfo();
        std::snprintf(info->magick, sizeof info->magick, "%s", format);
        std::snprintf(image->magick, sizeof image->magick, "%s", format);
        info->quality = 95;
        std::size_t length = 0;
        void* blob = ImageToBlob(info, image, &length, exception);
        if (blob != nullptr) {
            bytes.assign(static_cast<const char*>(blob), length);
            RelinquishMagickMemory(blob);
        }
        DestroyImageInfo(info);
        DestroyImage(image);
    }
    DestroyExceptionInfo(exception);
    return bytes;
}

// A HEIF file (HEVC or AV1) of the pictures through libheif's encoder, the one at primary
// marked as the primary image, each stored as given with orientation in its properties and,
// when given, its colours described by nclx code points.
std::string encodeHeif(heif_compression_format compression, const std::vector<Picture>& pictures,
                       std::size_t primary, int orientation, bool alpha, const std::string& path,
                       heif_color_profile_nclx* nclx = nullptr) {
    heif_context* context = heif_context_alloc();
    heif_encoder* encoder = nullptr;
    if (heif_context_get_encoder_for_format(context, compression, &encoder).code != heif_error_Ok) {
        heif_context_free(context);
        return {};
    }
    heif_encoder_set_lossy_quality(encoder, 92);
    heif_encoding_options* options = heif_encoding_options_alloc();
    options->image_orientation = static_cast<heif_orientation>(orientation);
    options->output_nclx_profile = nclx;
    for (std::size_t k = 0; k < pictures.size(); ++k) {
        const Picture& picture = pictures[k];
        heif_image* image = nullptr;
        const int w = static_cast<int>(picture.width), h = static_cast<int>(picture.height);
        heif_image_create(w, h, heif_colorspace_RGB,
                          alpha ? heif_chroma_interleaved_RGBA : heif_chroma_interleaved_RGB,
                          &image);
        heif_image_add_plane(image, heif_channel_interleaved, w, h, 8);
        if (nclx != nullptr) {
            heif_image_set_nclx_color_profile(image, nclx);
        }
        int stride = 0;
        std::uint8_t* plane = heif_image_get_plane(image, heif_channel_interleaved, &stride);
        const int bytes = alpha ? 4 : 3;
        for (int y = 0; y < h; ++y) {
            for (int x = 0; x < w; ++x) {
                const std::uint8_t* p = picture.At(x, y);
                std::uint8_t* out = plane + y * stride + x * bytes;
                out[0] = p[2];
                out[1] = p[1];
                out[2] = p[0];
                if (alpha) {
                    out[3] = p[3];
                }
            }
        }
        heif_image_handle* handle = nullptr;
        heif_context_encode_image(context, image, encoder, options, &handle);
        if (k == primary && handle != nullptr) {
            heif_context_set_primary_image(context, handle);
        }
        heif_image_handle_release(handle);
        heif_image_release(image);
    }
    heif_encoding_options_free(options);
    heif_encoder_release(encoder);
    heif_context_write_to_file(context, path.c_str());
    heif_context_free(context);
    return path;
}

// Far from the other quadrant colours in every channel that matters: a lossy codec (or a RAW
// developer's auto-brightening) moves values, never across the middle.
::testing::AssertionResult hasColour(const engine::Image& image, std::size_t x, std::size_t y,
                                     Rgb expected) {
    const std::uint8_t* p = image.Row(y) + x * 4;
    const int got[3] = {p[2], p[1], p[0]};
    const int want[3] = {expected.red, expected.green, expected.blue};
    for (int c = 0; c < 3; ++c) {
        if ((want[c] > 128) != (got[c] > 128) || std::abs(got[c] - want[c]) > 110) {
            return ::testing::AssertionFailure()
                   << "at " << x << "," << y << ": " << got[0] << "," << got[1] << "," << got[2]
                   << " for " << want[0] << "," << want[1] << "," << want[2];
        }
    }
    return ::testing::AssertionSuccess();
}

// The quadrants of QuadrantPicture, sampled a quarter of the way into each.
void expectUprightQuadrants(const engine::DecodeResult& result, std::size_t width,
                            std::size_t height) {
    ASSERT_TRUE(result.image) << result.message;
    const engine::Image& image = *result.image;
    ASSERT_EQ(image.columns, width);
    ASSERT_EQ(image.rows, height);
    EXPECT_TRUE(hasColour(image, width / 4, height / 4, testsupport::kTopLeft));
    EXPECT_TRUE(hasColour(image, width * 3 / 4, height / 4, testsupport::kTopRight));
    EXPECT_TRUE(hasColour(image, width / 4, height * 3 / 4, testsupport::kBottomLeft));
    EXPECT_TRUE(hasColour(image, width * 3 / 4, height * 3 / 4, testsupport::kBottomRight));
}

class CameraFormatTest : public IsolatedTest {
protected:
    void SetUp() override { engine::InitializeMagick(nullptr); }

    // A DNG of the upright quadrants stored turned by orientation 6, with a JPEG preview of
    // previewScale times the raw size (none when 0).
    std::string dng(const char* name, std::size_t width, std::size_t height, double previewScale) {
        const Picture stored = testsupport::StoredFor(QuadrantPicture(width, height), 6);
        std::string preview;
        std::size_t pw = 0, ph = 0;
        if (previewScale > 0) {
            pw = static_cast<std::size_t>(stored.width * previewScale);
            ph = static_cast<std::size_t>(stored.height * previewScale);
            preview = encode(testsupport::StoredFor(QuadrantPicture(ph, pw), 6), "JPEG");
        }
        return writeFile(folders.Home() + "/" + name,
                         testsupport::DngFile(stored, 6, preview, pw, ph));
    }

    std::string jxl(const char* name, const Picture& picture, const std::string& options,
                    bool alpha = false, const std::string& profile = {}) {
        const std::string png = writeFile(folders.Home() + "/" + name + std::string(".png"),
                                          encode(picture, "PNG", alpha, profile));
        const std::string out = folders.Home() + "/" + name;
        const std::string command =
            "cjxl '" + png + "' '" + out + "' " + options + " >/dev/null 2>&1";
        return std::system(command.c_str()) == 0 ? out : std::string();
    }
};

using Clock = std::chrono::steady_clock;

// A bare JPEG XL codestream whose small size header (sides of 8 to 256 in eights, 1:1) is
// replaced by one saying side x side; the bits after it follow it as they were, so the header
// reads whole and the pixels are nonsense.
std::string withSide(const std::string& codestream, std::uint32_t side) {
    const auto bit = [&](std::size_t i) {
        return (static_cast<unsigned char>(codestream[2 + i / 8]) >> (i % 8)) & 1;
    };
    std::vector<int> bits;
    const auto put = [&](std::uint32_t value, int count) {
        for (int i = 0; i < count; ++i) {
            bits.push_back(static_cast<int>((value >> i) & 1));
        }
    };
    put(0, 1); // not small
    put(2, 2); // height - 1 in 18 bits
    put(side - 1, 18);
    put(1, 3); // 1:1
    for (std::size_t i = 9; i < (codestream.size() - 2) * 8; ++i) {
        bits.push_back(bit(i));
    }
    std::string out = codestream.substr(0, 2);
    for (std::size_t i = 0; i < bits.size(); i += 8) {
        int byte = 0;
        for (std::size_t k = 0; k < 8 && i + k < bits.size(); ++k) {
            byte |= bits[i + k] << k;
        }
        out += static_cast<char>(byte);
    }
    return out;
}

} // namespace

TEST(DirectFormatSniffing, FilesAreToldApartByTheirBytesNotTheirNames) {
    const std::string dngBytes =
        testsupport::DngFile(QuadrantPicture(8, 8), 1, std::string(), 0, 0);
    const auto sniff = [](const std::string& bytes) {
        return engine::SniffDirectFormat(reinterpret_cast<const unsigned char*>(bytes.data()),
                                         bytes.size());
    };
    EXPECT_EQ(sniff(dngBytes), engine::DirectFormat::CameraRaw);
    EXPECT_EQ(sniff(std::string("\xff\x0a\xfa\x7f\x01\x00\x00\x00\x00\x00\x00\x00", 12)),
              engine::DirectFormat::JpegXl);
    EXPECT_EQ(sniff(std::string("\0\0\0\x0cJXL \x0d\x0a\x87\x0a\0\0\0\0", 16)),
              engine::DirectFormat::JpegXl);
    EXPECT_EQ(sniff(std::string("\0\0\0\x18"
                                "ftypheic\0\0\0\0mif1heic",
                                24)),
              engine::DirectFormat::Heif);
    EXPECT_EQ(sniff(std::string("\0\0\0\x1c"
                                "ftypavif\0\0\0\0avifmif1miaf",
                                28)),
              engine::DirectFormat::Heif);
    EXPECT_EQ(sniff(std::string("\0\0\0\x18"
                                "ftypcrx \0\0\0\x01"
                                "crx isom",
                                24)),
              engine::DirectFormat::CameraRaw);
    // An ordinary TIFF, an MP4 video and a JPEG stay with the image library.
    EXPECT_EQ(sniff(encode(QuadrantPicture(8, 8), "TIFF")), engine::DirectFormat::None);
    EXPECT_EQ(sniff(std::string("\0\0\0\x18"
                                "ftypisom\0\0\0\0isomavc1",
                                24)),
              engine::DirectFormat::None);
    EXPECT_EQ(sniff(encode(QuadrantPicture(8, 8), "JPEG")), engine::DirectFormat::None);
}

TEST_F(CameraFormatTest, ARawShowsItsPreviewForTheViewAndItsDevelopedImageWhole) {
    const std::string path = dng("turned.dng", 320, 240, 1.0);
    // The view's size fits inside the preview: the preview, upright, no development, decoded
    // at the JPEG scale the view needs (half).
    engine::DecodeResult first = engine::DecodeImageFile(path, nullptr, {160, 120});
    expectUprightQuadrants(first, 160, 120);
    EXPECT_TRUE(first.reduced);
    EXPECT_EQ(first.rendition, "embedded preview");
    EXPECT_EQ(first.full_columns, 320u);
    EXPECT_EQ(first.full_rows, 240u);
    EXPECT_FALSE(first.damaged);
    // A view box of another shape: the preview, decoded at the scale that fits the image into
    // it, is narrower than the box but covers what the view shows.
    engine::DecodeResult boxed = engine::DecodeImageFile(path, nullptr, {80, 100});
    ASSERT_TRUE(boxed.image) << boxed.message;
    EXPECT_EQ(boxed.rendition, "embedded preview");
    EXPECT_LT(boxed.image->rows, 100u);

    engine::DecodeResult whole = engine::DecodeImageFile(path, nullptr, {});
    expectUprightQuadrants(whole, 320, 240);
    EXPECT_FALSE(whole.reduced);
    EXPECT_EQ(whole.rendition, "developed");
    EXPECT_EQ(whole.image->magick, "RAW");

    engine::DecodeResult pinged = engine::PingImageFile(path);
    ASSERT_TRUE(pinged.image) << pinged.message;
    EXPECT_EQ(pinged.image->columns, 320u);
    EXPECT_EQ(pinged.image->rows, 240u);
}

TEST_F(CameraFormatTest, APreviewSmallerThanTheViewGivesWayToTheDevelopedImage) {
    const std::string small = dng("small-preview.dng", 320, 240, 0.25);
    // Half size still covers a view of a third: developed at half size, called reduced.
    engine::DecodeResult half = engine::DecodeImageFile(small, nullptr, {100, 80});
    expectUprightQuadrants(half, 160, 120);
    EXPECT_TRUE(half.reduced);
    EXPECT_EQ(half.rendition, "developed");
    EXPECT_EQ(half.full_columns, 320u);
    // A view larger than half: developed whole.
    engine::DecodeResult whole = engine::DecodeImageFile(small, nullptr, {300, 200});
    expectUprightQuadrants(whole, 320, 240);
    EXPECT_FALSE(whole.reduced);
    EXPECT_EQ(whole.rendition, "developed");

    const std::string none = dng("no-preview.dng", 320, 240, 0);
    engine::DecodeResult developed = engine::DecodeImageFile(none, nullptr, {300, 200});
    expectUprightQuadrants(developed, 320, 240);
    EXPECT_EQ(developed.rendition, "developed");
}

TEST_F(CameraFormatTest, JpegXlOpensUprightWithItsAlphaAndColourEncoding) {
    const std::string lossy = jxl("lossy.jxl", QuadrantPicture(300, 200), "-d 1");
    ASSERT_FALSE(lossy.empty()) << "cjxl failed";
    engine::DecodeResult result = engine::DecodeImageFile(lossy);
    expectUprightQuadrants(result, 300, 200);
    EXPECT_EQ(result.image->magick, "JXL");
    EXPECT_TRUE(result.icc_profile.empty()) << "XYB is decoded straight to sRGB";
    EXPECT_FALSE(result.reduced);
    // For a first view the blurred 1:8 pass comes, at the full size, marked as reduced.
    engine::DecodeResult first = engine::DecodeImageFile(lossy, nullptr, {150, 100});
    expectUprightQuadrants(first, 300, 200);
    EXPECT_TRUE(first.reduced);
    EXPECT_EQ(first.rendition, "first pass");

    // A photo stored turned, with EXIF saying so, transcoded: the decoder turns it upright.
    const std::string jpeg =
        writeFile(folders.Home() + "/turned.jpg",
                  testsupport::WithJpegExif(
                      encode(testsupport::StoredFor(QuadrantPicture(240, 160), 6), "JPEG"), 6));
    const std::string turned = folders.Home() + "/turned.jxl";
    ASSERT_EQ(std::system(("cjxl '" + jpeg + "' '" + turned + "' >/dev/null 2>&1").c_str()), 0);
    expectUprightQuadrants(engine::DecodeImageFile(turned), 240, 160);

    // Lossless keeps every value, and the transparent quadrant stays transparent.
    Picture clear = QuadrantPicture(64, 48);
    for (std::size_t y = 24; y < 48; ++y) {
        for (std::size_t x = 32; x < 64; ++x) {
            clear.At(x, y)[3] = 0;
        }
    }
    const std::string alpha = jxl("alpha.jxl", clear, "-d 0", true);
    ASSERT_FALSE(alpha.empty());
    result = engine::DecodeImageFile(alpha);
    ASSERT_TRUE(result.image) << result.message;
    EXPECT_EQ(std::memcmp(result.image->Row(0), clear.At(0, 0), 4), 0);
    EXPECT_EQ(result.image->Row(40)[50 * 4 + 3], 0);
    EXPECT_EQ(result.image->Row(10)[50 * 4 + 3], 255);

    // A picture in Adobe RGB keeps its profile and comes out as lcms2 converts it.
    Picture adobe{4, 4, {}};
    for (int i = 0; i < 16; ++i) {
        adobe.bgra.insert(adobe.bgra.end(), {60, 170, 90, 255});
    }
    const std::string wide = jxl("adobe.jxl", adobe, "-d 0", false, engine::AdobeRgbProfile());
    ASSERT_FALSE(wide.empty());
    result = engine::DecodeImageFile(wide);
    ASSERT_TRUE(result.image) << result.message;
    EXPECT_FALSE(result.icc_profile.empty());
    EXPECT_TRUE(result.icc_profile_applied);
    std::uint8_t expected[4] = {60, 170, 90, 255};
    engine::ConvertBgraToSrgb(*engine::FindColourTransform(engine::AdobeRgbProfile()), expected, 1);
    ASSERT_NE(expected[1], 170) << "the conversion must change the colour for this to test it";
    for (int c = 0; c < 3; ++c) {
        EXPECT_NEAR(result.image->Row(2)[2 * 4 + c], expected[c], 2) << c;
    }
}

TEST_F(CameraFormatTest, HeicAndAvifOpenTheirPrimaryImageTurnedByTheirProperties) {
    struct Case {
        heif_compression_format compression;
        const char* name;
        const char* magick;
    };
    for (const Case& c : {Case{heif_compression_HEVC, "photo.heic", "HEIC"},
                          Case{heif_compression_AV1, "photo.avif", "AVIF"}}) {
        SCOPED_TRACE(c.name);
        // Stored turned, with irot saying so; a second, plain image before it is not shown.
        const Picture stored = testsupport::StoredFor(QuadrantPicture(256, 192), 6);
        const std::string path = encodeHeif(c.compression, {QuadrantPicture(32, 32), stored}, 1, 6,
                                            false, folders.Home() + "/" + c.name);
        engine::DecodeResult result = engine::DecodeImageFile(path);
        expectUprightQuadrants(result, 256, 192);
        EXPECT_EQ(result.image->magick, c.magick);
        engine::DecodeResult pinged = engine::PingImageFile(path);
        ASSERT_TRUE(pinged.image) << pinged.message;
        EXPECT_EQ(pinged.image->columns, 256u);
        EXPECT_EQ(pinged.image->rows, 192u);
    }
    // Alpha survives.
    Picture clear = QuadrantPicture(64, 64);
    for (std::size_t y = 32; y < 64; ++y) {
        for (std::size_t x = 32; x < 64; ++x) {
            clear.At(x, y)[3] = 0;
        }
    }
    const std::string path =
        encodeHeif(heif_compression_HEVC, {clear}, 0, 1, true, folders.Home() + "/alpha.heic");
    engine::DecodeResult result = engine::DecodeImageFile(path);
    ASSERT_TRUE(result.image) << result.message;
    EXPECT_LT(result.image->Row(48)[48 * 4 + 3], 8);
    EXPECT_GT(result.image->Row(16)[16 * 4 + 3], 247);
}

// AVIF files both: libheif's HEVC encoder here writes no colour box at all, and a HEIC's nclx box
// is read by the same call as an AVIF's.
TEST_F(CameraFormatTest, ColoursDescribedByNclxCodePointsArriveConvertedToSrgb) {
    // Linear wide-gamut RGB to linear sRGB (both D65).
    constexpr double kP3ToSrgb[3][3] = {
        {1.2249, -0.2247, 0.0}, {-0.0420, 1.0419, 0.0}, {-0.0197, -0.0786, 1.0979}};
    constexpr double kBt2020ToSrgb[3][3] = {
        {1.6605, -0.5876, -0.0728}, {-0.1246, 1.1329, -0.0083}, {-0.0182, -0.1006, 1.1187}};
    struct Case {
        heif_compression_format compression;
        heif_color_primaries primaries;
        const double (*toSrgb)[3];
        Rgb colour; // saturated enough that every channel moves, inside sRGB's gamut after
        const char* name;
    };
    const auto linear = [](double v) {
        v /= 255.0;
        return v <= 0.04045 ? v / 12.92 : std::pow((v + 0.055) / 1.055, 2.4);
    };
    const auto encoded = [](double v) {
        v = std::clamp(v, 0.0, 1.0);
        return 255.0 * (v <= 0.0031308 ? v * 12.92 : 1.055 * std::pow(v, 1 / 2.4) - 0.055);
    };
    for (const Case& c : {Case{heif_compression_AV1,
                               heif_color_primaries_SMPTE_EG_432_1,
                               kP3ToSrgb,
                               {200, 60, 70},
                               "p3.avif"},
                          Case{heif_compression_AV1,
                               heif_color_primaries_ITU_R_BT_2020_2_and_2100_0,
                               kBt2020ToSrgb,
                               {190, 110, 90},
                               "bt2020.avif"}}) {
        SCOPED_TRACE(c.name);
        heif_color_profile_nclx* nclx = heif_nclx_color_profile_alloc();
        ASSERT_TRUE(nclx);
        heif_nclx_color_profile_set_color_primaries(nclx, c.primaries);
        nclx->transfer_characteristics = heif_transfer_characteristic_IEC_61966_2_1;
        nclx->matrix_coefficients = heif_matrix_coefficients_ITU_R_BT_601_6;
        nclx->full_range_flag = 1;
        Picture flat = QuadrantPicture(64, 64);
        for (std::size_t y = 0; y < 64; ++y) {
            for (std::size_t x = 0; x < 64; ++x) {
                std::uint8_t* p = flat.At(x, y);
                p[0] = static_cast<std::uint8_t>(c.colour.blue);
                p[1] = static_cast<std::uint8_t>(c.colour.green);
                p[2] = static_cast<std::uint8_t>(c.colour.red);
            }
        }
        const std::string path =
            encodeHeif(c.compression, {flat}, 0, 1, false, folders.Home() + "/" + c.name, nclx);
        heif_nclx_color_profile_free(nclx);
        const engine::DecodeResult result = engine::DecodeImageFile(path);
        ASSERT_TRUE(result.image) << result.message;
        const double in[3] = {linear(c.colour.red), linear(c.colour.green), linear(c.colour.blue)};
        const std::uint8_t* p = result.image->Row(32) + 32 * 4;
        const int got[3] = {p[2], p[1], p[0]};
        for (int k = 0; k < 3; ++k) {
            const double want =
                encoded(c.toSrgb[k][0] * in[0] + c.toSrgb[k][1] * in[1] + c.toSrgb[k][2] * in[2]);
            EXPECT_NEAR(got[k], want, 5) << "channel " << k;
        }
    }
}

TEST_F(CameraFormatTest, DamagedFilesOfEachFormatAreRefusedQuicklyWithAMessage) {
    const std::string raw = readFile(dng("whole.dng", 64, 48, 0.5));
    const std::string jxlFile = readFile(jxl("whole.jxl", QuadrantPicture(300, 200), "-d 1"));
    const std::string heic = readFile(encodeHeif(heif_compression_HEVC, {QuadrantPicture(96, 64)},
                                                 0, 1, false, folders.Home() + "/whole.heic"));
    ASSERT_FALSE(jxlFile.empty());
    ASSERT_FALSE(heic.empty());
    // Each keeps its first bytes, so it is still taken for what it claims to be.
    std::string scrambledRaw = raw.substr(0, 20) + std::string(300, '\xee');
    std::string scrambledJxl = jxlFile.substr(0, 12);
    for (int i = 0; i < 4000; ++i) {
        scrambledJxl += static_cast<char>((i * 7919) & 0xff);
    }
    std::string cutHeic = heic.substr(0, heic.size() / 3);
    for (const auto& [name, bytes] : {std::pair<std::string, std::string>{"bad.dng", scrambledRaw},
                                      {"bad.jxl", scrambledJxl},
                                      {"cut.jxl", jxlFile.substr(0, 40)},
                                      {"cut.heic", cutHeic}}) {
        SCOPED_TRACE(name);
        const std::string path = writeFile(folders.Home() + "/" + name, bytes);
        const auto start = Clock::now();
        const engine::DecodeResult result = engine::DecodeImageFile(path);
        EXPECT_LT(std::chrono::duration<double>(Clock::now() - start).count(), 5.0);
        EXPECT_FALSE(result.image);
        EXPECT_TRUE(result.failure == engine::DecodeFailure::Damaged ||
                    result.failure == engine::DecodeFailure::NotAnImage)
            << static_cast<int>(result.failure);
        EXPECT_FALSE(result.message.empty());
        if (name.find("jxl") == std::string::npos) {
            // A JPEG XL header is whole in both, so its ping tells the size, as a cut JPEG's does.
            EXPECT_FALSE(engine::PingImageFile(path).image);
        }
    }
}

TEST_F(CameraFormatTest, ARawCutShortShowsItsPreviewAndRefusesToDevelop) {
    // LibRaw checks the sensor data's extent against the file before reading it.
    const std::string whole = readFile(dng("long.dng", 320, 240, 1.0));
    const std::string path =
        writeFile(folders.Home() + "/short.dng", whole.substr(0, whole.size() * 3 / 4));
    const engine::DecodeResult developed = engine::DecodeImageFile(path);
    EXPECT_FALSE(developed.image);
    EXPECT_EQ(developed.failure, engine::DecodeFailure::Damaged);
    EXPECT_EQ(developed.message.rfind("damaged: ", 0), 0u) << developed.message;
    // Its preview lies before the cut and is whole: the first view still shows it.
    const engine::DecodeResult first = engine::DecodeImageFile(path, nullptr, {160, 120});
    expectUprightQuadrants(first, 160, 120);
    EXPECT_EQ(first.rendition, "embedded preview");
    EXPECT_FALSE(engine::DecodeImageFile(dng("intact.dng", 320, 240, 0)).damaged);
}

TEST_F(CameraFormatTest, LimitsAndCancellationHoldForTheNewFormats) {
    const std::string path = jxl("cancel.jxl", QuadrantPicture(300, 200), "-d 1");
    std::atomic<bool> cancel{true};
    EXPECT_EQ(engine::DecodeImageFile(path, &cancel).failure, engine::DecodeFailure::Cancelled);
    const std::string raw = dng("cancel.dng", 64, 48, 0);
    EXPECT_EQ(engine::DecodeImageFile(raw, &cancel).failure, engine::DecodeFailure::Cancelled);

    // A header of 100000 x 100000 is refused from the header, before any pixel is decoded.
    const std::string small = readFile(jxl("small.jxl", QuadrantPicture(64, 64), "-d 1"));
    ASSERT_GT(small.size(), 4u);
    ASSERT_EQ(small.substr(0, 2), "\xff\x0a") << "not a bare codestream";
    ASSERT_EQ(small[2] & 1, 1) << "not a small size header";
    ASSERT_EQ((static_cast<unsigned char>(small[2]) >> 6 | (small[3] & 1) << 2), 1) << "not 1:1";
    const std::string huge = writeFile(folders.Home() + "/huge.jxl", withSide(small, 100000));
    const engine::DecodeResult pinged = engine::PingImageFile(huge);
    ASSERT_TRUE(pinged.image) << pinged.message;
    EXPECT_EQ(pinged.image->columns, 100000u);
    const auto start = Clock::now();
    const engine::DecodeResult refused = engine::DecodeImageFile(huge);
    EXPECT_LT(std::chrono::duration<double>(Clock::now() - start).count(), 1.0);
    EXPECT_EQ(refused.failure, engine::DecodeFailure::TooLarge) << refused.message;

    // A camera file whose sensor claims 40000 x 40000 pixels (within LibRaw's sides, beyond our
    // count of pixels): refused, not allocated.
    std::string claimed = testsupport::DngFile(QuadrantPicture(64, 48), 1, std::string(), 0, 0);
    const auto entry = [](std::uint16_t tag, std::uint32_t value) {
        std::string bytes = {
            static_cast<char>(tag & 0xff), static_cast<char>(tag >> 8), 4, 0, 1, 0, 0, 0};
        for (int i = 0; i < 4; ++i) {
            bytes += static_cast<char>((value >> (8 * i)) & 0xff);
        }
        return bytes;
    };
    for (const auto& [tag, side] : {std::pair{std::uint16_t{0x0100}, 64u}, {0x0101, 48u}}) {
        const std::size_t at = claimed.find(entry(tag, side));
        ASSERT_NE(at, std::string::npos) << "no sensor size entry " << tag;
        claimed.replace(at, 12, entry(tag, 40000));
    }
    const auto opened = Clock::now();
    const engine::DecodeResult tooLarge =
        engine::DecodeImageFile(writeFile(folders.Home() + "/huge.dng", claimed));
    EXPECT_LT(std::chrono::duration<double>(Clock::now() - opened).count(), 1.0);
    EXPECT_FALSE(tooLarge.image);
    EXPECT_EQ(tooLarge.failure, engine::DecodeFailure::TooLarge) << tooLarge.message;

    const std::string fifo = folders.Home() + "/pipe.heic";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    const engine::DecodeResult piped = engine::DecodeImageFile(fifo);
    EXPECT_EQ(piped.failure, engine::DecodeFailure::NotRegularFile);
}
