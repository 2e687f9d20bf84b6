// Photos stored turned or mirrored, with a tag saying so, come out of the decoder upright; the
// turns themselves match a slow reference at every size.
#include "support/OrientedPictures.h"
#include "support/TestSupport.h"

#include "display/ImageDecoder.h"
#include "display/MagickLibrary.h"
#include "display/Orientation.h"
#include "display/TiffHeader.h"
#include "display/WebpHeader.h"

#include <magick/MagickCore.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <tuple>

using testsupport::IsolatedTest;
using testsupport::Picture;
using testsupport::Rgb;

namespace {

// A record holding picture's pixels.
std::unique_ptr<engine::Image> recordOf(const Picture& picture) {
    auto record = std::make_unique<engine::Image>();
    record->columns = picture.width;
    record->rows = picture.height;
    record->pixels = engine::AllocatePixels(picture.bgra.size());
    std::memcpy(record->pixels.get(), picture.bgra.data(), picture.bgra.size());
    return record;
}

Picture pictureOf(const engine::Image& record) {
    const std::uint8_t* pixels = record.pixels.get();
    return Picture{record.columns, record.rows,
                   std::vector<std::uint8_t>(pixels, pixels + record.columns * record.rows * 4)};
}

// Every pixel different from its neighbours and from the pixels of the other rows.
Picture numberedPicture(std::size_t width, std::size_t height) {
    Picture picture{width, height, std::vector<std::uint8_t>(width * height * 4)};
    for (std::size_t i = 0; i < width * height; ++i) {
        picture.bgra[i * 4] = static_cast<std::uint8_t>(i);
        picture.bgra[i * 4 + 1] = static_cast<std::uint8_t>(i >> 8);
        picture.bgra[i * 4 + 2] = static_cast<std::uint8_t>(i >> 16);
        picture.bgra[i * 4 + 3] = 255;
    }
    return picture;
}

bool samePixels(const Picture& a, const Picture& b) {
    return a.width == b.width && a.height == b.height && a.bgra == b.bgra;
}

// The encoded bytes of picture in format ("JPEG", "PNG", "TIFF", "WEBP"); tiffOrientation goes
// into the TIFF's own orientation tag.
std::string encode(const Picture& picture, const char* format, int tiffOrientation = 1) {
    std::vector<std::uint8_t> bgr;
    for (std::size_t i = 0; i < picture.bgra.size(); ++i) {
        if (i % 4 != 3) {
            bgr.push_back(picture.bgra[i]);
        }
    }
    ::ExceptionInfo* exception = AcquireExceptionInfo();
    ::Image* image =
        ::ConstituteImage(picture.width, picture.height, "BGR", CharPixel, bgr.data(), exception);
    std::string bytes;
    if (image != nullptr) {
        image->orientation = static_cast<OrientationType>(tiffOrientation);
        ImageInfo* info = AcquireImageInfo();
        std::snprintf(info->magick, sizeof info->magick, "%s", format);
        std::snprintf(image->magick, sizeof image->magick, "%s", format);
        info->quality = 95;
        SetImageOption(info, "webp:lossless", "true");
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

std::string bigEndian32(std::uint32_t value) {
    return {static_cast<char>(value >> 24), static_cast<char>(value >> 16),
            static_cast<char>(value >> 8), static_cast<char>(value)};
}

std::string littleEndian(std::uint32_t value, int bytes) {
    std::string out;
    for (int i = 0; i < bytes; ++i) {
        out += static_cast<char>(value >> (8 * i));
    }
    return out;
}

std::uint32_t crc32(const std::string& bytes) {
    std::uint32_t crc = 0xFFFFFFFFu;
    for (unsigned char byte : bytes) {
        crc ^= byte;
        for (int k = 0; k < 8; ++k) {
            crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
        }
    }
    return ~crc;
}

// The PNG with an eXIf chunk (the TIFF structure alone) right after its header chunk.
std::string withPngExif(const std::string& png, int orientation) {
    const std::string tiff = testsupport::ExifBlock(orientation).substr(6);
    const std::string chunk = bigEndian32(static_cast<std::uint32_t>(tiff.size())) + "eXIf" + tiff +
                              bigEndian32(crc32("eXIf" + tiff));
    const std::size_t afterHeader = 8 + 25;
    return png.substr(0, afterHeader) + chunk + png.substr(afterHeader);
}

// The WebP in the extended container with an EXIF chunk (the TIFF structure alone).
std::string withWebpExif(const std::string& webp, const Picture& stored, int orientation) {
    std::string tiff = testsupport::ExifBlock(orientation).substr(6);
    std::string exif = "EXIF" + littleEndian(static_cast<std::uint32_t>(tiff.size()), 4) + tiff;
    if (tiff.size() % 2 == 1) {
        exif += '\0';
    }
    std::string chunks = webp.substr(12);
    if (chunks.compare(0, 4, "VP8X") == 0) {
        chunks[8] = static_cast<char>(chunks[8] | 0x08);
    } else {
        const std::string header = std::string(1, '\x08') + std::string(3, '\0') +
                                   littleEndian(static_cast<std::uint32_t>(stored.width - 1), 3) +
                                   littleEndian(static_cast<std::uint32_t>(stored.height - 1), 3);
        chunks = "VP8X" + littleEndian(10, 4) + header + chunks;
    }
    chunks += exif;
    return "RIFF" + littleEndian(static_cast<std::uint32_t>(chunks.size() + 4), 4) + "WEBP" +
           chunks;
}

bool near(const std::uint8_t* bgra, Rgb colour, int tolerance) {
    return std::abs(bgra[2] - colour.red) <= tolerance &&
           std::abs(bgra[1] - colour.green) <= tolerance &&
           std::abs(bgra[0] - colour.blue) <= tolerance;
}

const char* colourName(const std::uint8_t* bgra) {
    for (const auto& [colour, name] :
         {std::pair{testsupport::kTopLeft, "red"}, std::pair{testsupport::kTopRight, "green"},
          std::pair{testsupport::kBottomLeft, "blue"},
          std::pair{testsupport::kBottomRight, "yellow"}}) {
        if (near(bgra, colour, 60)) {
            return name;
        }
    }
    return "no quadrant colour";
}

class MagickStarted : public IsolatedTest {
protected:
    void SetUp() override { engine::InitializeMagick(nullptr); }
};

} // namespace

// --- The turns ---

class OrientationTurnTest : public ::testing::TestWithParam<std::tuple<int, std::size_t>> {};

// Sizes around the 64-pixel tiles, and one large enough for the turns to use both cores.
TEST_P(OrientationTurnTest, EveryOrientationMatchesTheReferenceTurns) {
    const auto [orientation, width] = GetParam();
    const std::size_t height = width == 1031 ? 1029 : width / 2 + 3;
    const Picture stored = numberedPicture(width, height);
    auto record = recordOf(stored);
    ASSERT_TRUE(engine::OrientImage(*record, orientation));
    EXPECT_TRUE(samePixels(pictureOf(*record), testsupport::Shown(stored, orientation)))
        << "orientation " << orientation << ", " << width << " x " << height;
}

INSTANTIATE_TEST_SUITE_P(Orientations, OrientationTurnTest,
                         ::testing::Combine(::testing::Range(1, 9),
                                            ::testing::Values(std::size_t{1}, std::size_t{64},
                                                              std::size_t{131},
                                                              std::size_t{1031})));

TEST(OrientationRecordTest, TheReducedCopyIsTurnedWithTheImage) {
    const Picture stored = numberedPicture(48, 20);
    const Picture reducedStored = numberedPicture(12, 5);
    for (int orientation = 2; orientation <= 8; ++orientation) {
        auto record = recordOf(stored);
        record->reduced = recordOf(reducedStored);
        record->reduced_factor = 4;
        ASSERT_TRUE(engine::OrientImage(*record, orientation));
        EXPECT_TRUE(
            samePixels(pictureOf(*record->reduced), testsupport::Shown(reducedStored, orientation)))
            << orientation;
        EXPECT_EQ(record->columns / record->reduced->columns, 4u) << orientation;
    }
}

TEST(OrientationRecordTest, OutOfRangeValuesLeaveTheImageAsItIs) {
    const Picture stored = numberedPicture(7, 3);
    for (int orientation : {-1, 0, 9, 255}) {
        auto record = recordOf(stored);
        EXPECT_TRUE(engine::OrientImage(*record, orientation));
        EXPECT_TRUE(samePixels(pictureOf(*record), stored)) << orientation;
    }
}

class OrientationFileTest : public MagickStarted {};

// A record too large for memory lives in a cache file; turned, it must stay in one rather than
// take a gigabyte of memory.
TEST_F(OrientationFileTest, ARecordInACacheFileIsTurnedIntoACacheFile) {
    const Picture stored = numberedPicture(300, 70);
    auto record = std::make_unique<engine::Image>();
    record->columns = stored.width;
    record->rows = stored.height;
    record->pixels = engine::AllocateFilePixels(stored.bgra.size());
    ASSERT_TRUE(record->pixels && record->pixels.get_deleter().file);
    std::memcpy(record->pixels.get(), stored.bgra.data(), stored.bgra.size());
    ASSERT_TRUE(engine::OrientImage(*record, engine::kOrientationQuarterRight));
    EXPECT_TRUE(record->pixels.get_deleter().file);
    EXPECT_TRUE(samePixels(pictureOf(*record), testsupport::TurnedRight(stored)));
}

// --- The tag ---

TEST(OrientationExifTest, TheTagIsFoundInEitherByteOrderWithOrWithoutTheJpegPrefix) {
    for (int orientation = 1; orientation <= 8; ++orientation) {
        for (bool bigEndian : {false, true}) {
            const std::string block = testsupport::ExifBlock(orientation, bigEndian);
            const auto* data = reinterpret_cast<const std::uint8_t*>(block.data());
            EXPECT_EQ(engine::ExifOrientation(data, block.size()), orientation);
            EXPECT_EQ(engine::ExifOrientation(data + 6, block.size() - 6), orientation);
        }
    }
}

// Every cut of a block, and blocks whose offsets point anywhere: each is answered without
// reading past its end (the sanitiser builds check that), and never with a wrong value.
TEST(OrientationExifTest, CutOrDamagedBlocksGiveNoOrientationAndAreNeverReadPastTheirEnd) {
    const std::string block = testsupport::ExifBlock(6, true);
    for (std::size_t size = 0; size < block.size(); ++size) {
        std::vector<std::uint8_t> cut(block.begin(), block.begin() + static_cast<long>(size));
        const int found = engine::ExifOrientation(cut.data(), cut.size());
        EXPECT_TRUE(found == 0 || found == 6) << size;
    }
    for (int offset = 0; offset < 256; offset += 7) {
        std::vector<std::uint8_t> damaged(block.begin() + 6, block.end());
        damaged[7] = static_cast<std::uint8_t>(offset); // where the first directory starts
        damaged[9] = static_cast<std::uint8_t>(offset); // how many entries it has
        const int found = engine::ExifOrientation(damaged.data(), damaged.size());
        EXPECT_TRUE(found >= 0 && found <= 8);
    }
    std::string wrongValue = testsupport::ExifBlock(9);
    EXPECT_EQ(engine::ExifOrientation(reinterpret_cast<const std::uint8_t*>(wrongValue.data()),
                                      wrongValue.size()),
              0);
    EXPECT_EQ(engine::ExifOrientation(nullptr, 0), 0);
}

// --- Files as cameras and programs write them ---

class OrientedDecodeTest : public MagickStarted,
                           public ::testing::WithParamInterface<std::tuple<std::string, int>> {};

TEST_P(OrientedDecodeTest, ATaggedFileDecodesUpright) {
    const auto [format, orientation] = GetParam();
    const Picture upright = testsupport::QuadrantPicture(40, 20);
    const Picture stored = testsupport::StoredFor(upright, orientation);
    std::string bytes;
    if (format == "JPEG") {
        bytes = testsupport::WithJpegExif(encode(stored, "JPEG"), orientation);
    } else if (format == "TIFF") {
        bytes = encode(stored, "TIFF", orientation);
    } else if (format == "PNG") {
        bytes = withPngExif(encode(stored, "PNG"), orientation);
    } else {
        bytes = withWebpExif(encode(stored, "WEBP"), stored, orientation);
    }
    ASSERT_FALSE(bytes.empty());
    const std::string path =
        folders.Home() + "/photo-" + std::to_string(orientation) + "." + format;
    std::ofstream(path, std::ios::binary) << bytes;

    // The header alone tells the stored size and the orientation: the window is sized by them.
    const engine::DecodeResult header = engine::PingImageFile(path);
    ASSERT_TRUE(header.image) << header.message;
    EXPECT_EQ(header.image->columns, stored.width);
    EXPECT_EQ(header.image->rows, stored.height);
    EXPECT_EQ(header.orientation, orientation);

    const engine::DecodeResult result = engine::DecodeImageFile(path);
    ASSERT_TRUE(result.image) << result.message;
    const engine::Image& image = *result.image;
    ASSERT_EQ(image.columns, 40u);
    ASSERT_EQ(image.rows, 20u);
    if (format == "JPEG") {
        // Points well inside each quadrant: JPEG's loss blurs the borders.
        for (std::size_t y : {3u, 7u, 12u, 16u}) {
            for (std::size_t x : {4u, 15u, 24u, 35u}) {
                const std::uint8_t* shown = image.pixels.get() + (y * 40 + x) * 4;
                EXPECT_STREQ(colourName(shown), colourName(upright.At(x, y)))
                    << "at " << x << ", " << y;
            }
        }
    } else {
        EXPECT_TRUE(samePixels(pictureOf(image), upright))
            << "top left is " << colourName(image.pixels.get()) << ", top right "
            << colourName(image.pixels.get() + 39 * 4);
    }
}

// A WebP's header is read without the library, which decodes the whole picture to tell its
// size: lossy and lossless pictures, and an EXIF chunk that lies beyond the first megabyte read.
TEST_F(OrientationFileTest, AWebpHeaderTellsItsSizeAndOrientation) {
    const Picture small = testsupport::QuadrantPicture(300, 200);
    Picture noisy = testsupport::QuadrantPicture(800, 700);
    std::uint32_t seed = 1;
    for (std::uint8_t& sample : noisy.bgra) {
        seed = seed * 1103515245u + 12345u;
        sample = static_cast<std::uint8_t>(seed >> 16);
    }
    const std::string lossless = encode(small, "WEBP");
    std::string lossy;
    {
        ::ExceptionInfo* exception = AcquireExceptionInfo();
        std::vector<std::uint8_t> bgr;
        for (std::size_t i = 0; i < small.bgra.size(); ++i) {
            if (i % 4 != 3) {
                bgr.push_back(small.bgra[i]);
            }
        }
        ::Image* image = ::ConstituteImage(300, 200, "BGR", CharPixel, bgr.data(), exception);
        ASSERT_NE(image, nullptr);
        ImageInfo* info = AcquireImageInfo();
        std::snprintf(info->magick, sizeof info->magick, "WEBP");
        std::snprintf(image->magick, sizeof image->magick, "WEBP");
        std::size_t length = 0;
        void* blob = ImageToBlob(info, image, &length, exception);
        ASSERT_NE(blob, nullptr);
        lossy.assign(static_cast<const char*>(blob), length);
        RelinquishMagickMemory(blob);
        DestroyImageInfo(info);
        DestroyImage(image);
        DestroyExceptionInfo(exception);
    }
    const std::string far = withWebpExif(encode(noisy, "WEBP"), noisy, 6);
    ASSERT_EQ(lossy.compare(12, 4, "VP8 "), 0);
    ASSERT_EQ(lossless.compare(12, 4, "VP8L"), 0);
    ASSERT_GT(far.size(), std::size_t{1} << 20);
    struct Case {
        std::string name, bytes;
        std::size_t columns, rows;
        int orientation;
    };
    for (const Case& file :
         {Case{"lossy", lossy, 300, 200, 1}, Case{"lossless", lossless, 300, 200, 1},
          Case{"far", far, 800, 700, 6}}) {
        const std::string path = folders.Home() + "/" + file.name + ".webp";
        std::ofstream(path, std::ios::binary) << file.bytes;
        const engine::DecodeResult header = engine::PingImageFile(path);
        ASSERT_TRUE(header.image) << file.name << ": " << header.message;
        EXPECT_EQ(header.image->columns, file.columns) << file.name;
        EXPECT_EQ(header.image->rows, file.rows) << file.name;
        EXPECT_EQ(header.image->magick, "WEBP") << file.name;
        EXPECT_EQ(header.orientation, file.orientation) << file.name;
    }
}

// Writers often put a TIFF's directory after its pixels: the header is read where it lies,
// beyond the first megabyte read for a header.
TEST_F(OrientationFileTest, ATiffHeaderIsReadWhereverItsDirectoryLies) {
    const Picture stored = testsupport::QuadrantPicture(1200, 1000);
    const std::string bytes = encode(stored, "TIFF", 6);
    ASSERT_GE(bytes.size(), 8u);
    const bool little = bytes[0] == 'I';
    std::uint32_t directory = 0;
    for (int i = 0; i < 4; ++i) {
        const auto byte = static_cast<std::uint8_t>(bytes[little ? 7 - i : 4 + i]);
        directory = directory << 8 | byte;
    }
    ASSERT_GT(directory, std::uint32_t{1} << 20);
    const std::string path = folders.Home() + "/scan.tif";
    std::ofstream(path, std::ios::binary) << bytes;
    const engine::DecodeResult header = engine::PingImageFile(path);
    ASSERT_TRUE(header.image) << header.message;
    EXPECT_EQ(header.image->columns, 1200u);
    EXPECT_EQ(header.image->rows, 1000u);
    EXPECT_EQ(header.image->magick, "TIFF");
    EXPECT_EQ(header.orientation, 6);
}

// The header readers take any bytes: cut anywhere or with any byte of the header spoilt, they
// never read outside what they are given (the sanitizer build checks) and never claim a size
// the whole file does not have, unless the spoilt byte is the size itself.
TEST_F(OrientationFileTest, HeadersCutOrSpoiltAnywhereAreReadSafely) {
    const Picture stored = testsupport::QuadrantPicture(30, 20);
    const std::string webp = withWebpExif(encode(stored, "WEBP"), stored, 6);
    const std::string tiff = encode(stored, "TIFF", 6);
    auto tiffHeader = [](const std::string& bytes) {
        return engine::ReadTiffHeader(
            [&bytes](std::uint64_t offset, std::size_t length, unsigned char* out) {
                if (offset > bytes.size() || length > bytes.size() - offset) {
                    return false;
                }
                std::memcpy(out, bytes.data() + offset, length);
                return true;
            });
    };
    auto webpHeader = [](const std::string& bytes) {
        return engine::ReadWebpHeader(reinterpret_cast<const unsigned char*>(bytes.data()),
                                      bytes.size());
    };
    const engine::WebpHeader wholeWebp = webpHeader(webp);
    const engine::TiffHeader wholeTiff = tiffHeader(tiff);
    ASSERT_TRUE(wholeWebp.valid && wholeTiff.valid);
    EXPECT_EQ(wholeWebp.orientation, 6);
    EXPECT_EQ(wholeTiff.orientation, 6);
    for (std::size_t length = 0; length < webp.size(); ++length) {
        const engine::WebpHeader cut = webpHeader(webp.substr(0, length));
        if (cut.valid) {
            EXPECT_EQ(cut.columns, 30u) << length;
            EXPECT_TRUE(!cut.orientation_known || cut.orientation == 6) << length;
        }
    }
    for (std::size_t length = 0; length < tiff.size(); ++length) {
        const engine::TiffHeader cut = tiffHeader(tiff.substr(0, length));
        EXPECT_TRUE(!cut.valid || (cut.columns == 30 && cut.rows == 20)) << length;
    }
    for (std::size_t at = 0; at < 64; ++at) {
        for (const unsigned char spoilt : {0x00, 0x7f, 0xff}) {
            std::string bytes = webp;
            bytes[at] = static_cast<char>(spoilt);
            const engine::WebpHeader badWebp = webpHeader(bytes);
            EXPECT_TRUE(!badWebp.valid || (badWebp.columns > 0 && badWebp.rows > 0 &&
                                           badWebp.orientation >= 1 && badWebp.orientation <= 8))
                << at;
            bytes = tiff;
            bytes[at] = static_cast<char>(spoilt);
            const engine::TiffHeader badTiff = tiffHeader(bytes);
            EXPECT_TRUE(!badTiff.valid || (badTiff.columns > 0 && badTiff.rows > 0 &&
                                           badTiff.orientation >= 1 && badTiff.orientation <= 8))
                << at;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Orientations, OrientedDecodeTest,
                         ::testing::Combine(::testing::Values("JPEG", "TIFF", "PNG", "WEBP"),
                                            ::testing::Range(1, 9)),
                         [](const auto& info) {
                             return std::get<0>(info.param) + "_" +
                                    std::to_string(std::get<1>(info.param));
                         });
