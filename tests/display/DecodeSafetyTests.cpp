// Decoding as users and attackers would try it: camera-sized photos, files that are not files,
// metadata bombs, cancellation, and what is left behind.
#include "support/TestSupport.h"

#include "display/ExifSummary.h"
#include "display/ImageDecoder.h"
#include "display/Image_Magick_Image.h"
#include "display/JpegDecoder.h"
#include "display/MagickLibrary.h"
#include "display/PixelExport.h"
#include "display/PngDecoder.h"
#include "display/ScaleRegion.h"
#include "display/TiffDecoder.h"
#include "display/WebpDecoder.h"
#include "platform/Runtime.h"

#include <magick/MagickCore.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <initializer_list>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>
#include <zlib.h>

using testsupport::IsolatedTest;

namespace {

using Clock = std::chrono::steady_clock;

double secondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

std::string writeFile(const std::string& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary) << bytes;
    return path;
}

std::string bigEndian(std::uint32_t value) {
    const char bytes[4] = {static_cast<char>(value >> 24), static_cast<char>(value >> 16),
                           static_cast<char>(value >> 8), static_cast<char>(value)};
    return std::string(bytes, 4);
}

std::string pngChunk(const std::string& type, const std::string& data) {
    const std::string body = type + data;
    const auto crc = static_cast<std::uint32_t>(
        ::crc32(0, reinterpret_cast<const Bytef*>(body.data()), static_cast<uInt>(body.size())));
    return bigEndian(static_cast<std::uint32_t>(data.size())) + body + bigEndian(crc);
}

std::string deflate(const std::string& bytes) {
    uLongf size = ::compressBound(static_cast<uLong>(bytes.size()));
    std::string packed(size, '\0');
    ::compress2(reinterpret_cast<Bytef*>(packed.data()), &size,
                reinterpret_cast<const Bytef*>(bytes.data()), static_cast<uLong>(bytes.size()), 9);
    packed.resize(size);
    return packed;
}

const std::string kSignature("\x89PNG\r\n\x1a\n", 8);

// One red pixel, with extra chunks before the image data.
std::string redPixelPng(const std::string& extra) {
    const std::string header = bigEndian(1) + bigEndian(1) + std::string("\x08\x02\x00\x00\x00", 5);
    return kSignature + pngChunk("IHDR", header) + extra +
           pngChunk("IDAT", deflate(std::string("\x00\xff\x00\x00", 4))) + pngChunk("IEND", "");
}

// Block colours a JPEG keeps almost exactly: 64-pixel squares of one colour each.
void blockColour(std::size_t x, std::size_t y, std::uint8_t rgb[3]) {
    const std::size_t bx = x / 64, by = y / 64;
    rgb[0] = static_cast<std::uint8_t>(40 + (bx * 37) % 180);
    rgb[1] = static_cast<std::uint8_t>(40 + (by * 53) % 180);
    rgb[2] = static_cast<std::uint8_t>(40 + ((bx + by) * 29) % 180);
}

// A JPEG (or another format) of width x height made of such blocks, written with the library.
// With grain, each sample is moved by up to 6 (a fixed pattern), so that the picture does not
// compress to almost nothing, as photos do not.
std::string blockJpeg(const std::string& path, std::size_t width, std::size_t height,
                      const char* colorspace = "RGB", const char* format = "jpeg",
                      bool grain = false, bool interlaced = false) {
    std::vector<std::uint8_t> rgb(width * height * 3);
    std::uint32_t noise = 12345;
    for (std::size_t y = 0; y < height; ++y) {
        for (std::size_t x = 0; x < width; ++x) {
            std::uint8_t* pixel = &rgb[(y * width + x) * 3];
            blockColour(x, y, pixel);
            for (int c = 0; c < 3 && grain; ++c) {
                noise = noise * 1103515245u + 12345u;
                pixel[c] = static_cast<std::uint8_t>(pixel[c] + (noise >> 16) % 13 - 6);
            }
        }
    }
    ExceptionInfo* exception = AcquireExceptionInfo();
    Image* image = ConstituteImage(width, height, "RGB", CharPixel, rgb.data(), exception);
    rgb = {};
    EXPECT_NE(image, nullptr);
    if (image != nullptr) {
        if (std::strcmp(colorspace, "CMYK") == 0) {
            TransformImageColorspace(image, CMYKColorspace);
        }
        ImageInfo* info = AcquireImageInfo();
        info->quality = 92;
        info->interlace = interlaced ? PlaneInterlace : NoInterlace;
        std::snprintf(image->filename, sizeof image->filename, "%s:%s", format, path.c_str());
        EXPECT_EQ(WriteImage(info, image), MagickTrue) << image->exception.reason;
        DestroyImageInfo(info);
        DestroyImage(image);
    }
    DestroyExceptionInfo(exception);
    return path;
}

// Everything in the library's temporary folder and every file /tmp/magick-* (which it must not
// make any more).
std::vector<std::string> temporaryFiles() {
    std::vector<std::string> files;
    std::error_code error;
    for (const auto& entry :
         std::filesystem::directory_iterator(engine::MagickTemporaryFolder(), error)) {
        if (entry.path().filename() != "policy.xml") {
            files.push_back(entry.path().string());
        }
    }
    for (const auto& entry : std::filesystem::directory_iterator("/tmp", error)) {
        if (entry.path().filename().string().rfind("magick-", 0) == 0) {
            files.push_back(entry.path().string());
        }
    }
    return files;
}

long statusKilobytes(const char* field) {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind(field, 0) == 0) {
            return std::stol(line.substr(std::strlen(field)));
        }
    }
    return 0;
}

// Runs body and returns how far resident memory rose above where it stood (MB) and body's
// result: the peak is reset first, so a short spike inside the decode is caught too.
std::pair<double, int> peakWhile(const std::function<int()>& body) {
    std::ofstream("/proc/self/clear_refs") << "5";
    const long before = statusKilobytes("VmRSS:");
    const int result = body();
    return {(statusKilobytes("VmHWM:") - before) / 1024.0, result};
}

class DecodeSafetyTest : public IsolatedTest {
protected:
    void SetUp() override {
        engine::InitializeMagick(nullptr);
        before_ = temporaryFiles();
    }
    void TearDown() override { EXPECT_EQ(temporaryFiles(), before_) << "files were left behind"; }

    std::vector<std::string> before_;
};

// Writes image through the library as format:path, with the library's options given, and
// destroys it.
void writeAndDestroy(Image* image, const std::string& path, const char* format,
                     std::initializer_list<std::pair<const char*, const char*>> options = {}) {
    ImageInfo* info = AcquireImageInfo();
    for (const auto& [name, value] : options) {
        SetImageOption(info, name, value);
    }
    std::snprintf(image->filename, sizeof image->filename, "%s:%s", format, path.c_str());
    EXPECT_EQ(WriteImage(info, image), MagickTrue) << image->exception.reason;
    DestroyImageInfo(info);
    DestroyImage(image);
}

// How many bytes of decoded differ from the library's own read of path, exported as 8-bit
// BGRA (with the JPEG reduction jpegSize when given); -1 when the library cannot read it or
// gives another size.
int bytesApartFromTheLibrarysRead(const engine::Image& decoded, const std::string& path,
                                  const std::string& jpegSize = {}) {
    ExceptionInfo* exception = AcquireExceptionInfo();
    ImageInfo* info = AcquireImageInfo();
    if (!jpegSize.empty()) {
        SetImageOption(info, "jpeg:size", jpegSize.c_str());
    }
    std::snprintf(info->filename, sizeof info->filename, "%s", path.c_str());
    Image* whole = ReadImage(info, exception);
    int apart = -1;
    if (whole != nullptr && whole->columns == decoded.columns && whole->rows == decoded.rows) {
        std::vector<std::uint8_t> expected(whole->columns * whole->rows * 4);
        ExportImagePixels(whole, 0, 0, whole->columns, whole->rows, "BGRA", CharPixel,
                          expected.data(), exception);
        apart = 0;
        for (std::size_t i = 0; i < expected.size(); ++i) {
            apart += decoded.pixels[i] != expected[i];
        }
    }
    if (whole != nullptr) {
        DestroyImage(whole);
    }
    DestroyImageInfo(info);
    DestroyExceptionInfo(exception);
    return apart;
}

} // namespace

TEST_F(DecodeSafetyTest, CameraSizedPhotosOpenWithTheirPixelsInPlace) {
    // 45, 60 and 100 megapixels: the library's own cache would have refused all three.
    for (auto [width, height] :
         {std::pair<std::size_t, std::size_t>{8256, 5504}, {9504, 6336}, {12240, 8160}}) {
        const std::string path =
            blockJpeg(folders.Home() + "/photo " + std::to_string(width) + ".jpg", width, height);
        Image_Magick_Image decoded;
        ASSERT_TRUE(decoded.ReadImage(path)) << boxes.Take().at(0).text;
        ASSERT_EQ(decoded.Columns(), width);
        ASSERT_EQ(decoded.Rows(), height);
        EXPECT_EQ(decoded.Format(), "JPEG");
        int worst = 0;
        for (std::size_t y = 32; y < height; y += 64 * 37) {
            for (std::size_t x = 32; x < width; x += 64 * 23) {
                std::uint8_t rgb[3];
                blockColour(x, y, rgb);
                const std::uint8_t* bgra = decoded.Image()->Row(y) + x * 4;
                for (int c = 0; c < 3; ++c) {
                    worst = std::max(worst, std::abs(bgra[2 - c] - rgb[c]));
                }
                EXPECT_EQ(bgra[3], 255);
            }
        }
        EXPECT_LE(worst, 4) << width;
        std::filesystem::remove(path);
    }
}

TEST_F(DecodeSafetyTest, StreamedRowsEqualTheLibrarysWholeImage) {
    const std::string samples = ORVALEN_SAMPLES_DIR;
    // The PNGs are read by libpng, not the library: they must come out as the library reads them.
    std::vector<std::string> files = {
        samples + "/rose.jpg",
        samples + "/checkerboard.webp",
        samples + "/large 6000x4000.jpg",
        blockJpeg(folders.Home() + "/cmyk.jpg", 700, 500, "CMYK"),
        blockJpeg(folders.Home() + "/grain.png", 700, 500, "RGB", "png", true),
        blockJpeg(folders.Home() + "/grain alpha.png", 300, 200, "RGB", "png32", true),
        blockJpeg(folders.Home() + "/grain interlaced.png", 300, 200, "RGB", "png", true, true)};
    for (const std::string& path : files) {
        engine::DecodeResult streamed = engine::DecodeImageFile(path);
        ASSERT_TRUE(streamed.image) << path << ": " << streamed.message;
        // The same file read whole by the library and exported by it.
        ExceptionInfo* exception = AcquireExceptionInfo();
        ImageInfo* info = AcquireImageInfo();
        std::snprintf(info->filename, sizeof info->filename, "%s", path.c_str());
        Image* whole = ReadImage(info, exception);
        ASSERT_NE(whole, nullptr) << path;
        if (whole->colorspace == CMYKColorspace) {
            TransformImageColorspace(whole, sRGBColorspace);
        }
        std::vector<std::uint8_t> expected(whole->columns * whole->rows * 4);
        ExportImagePixels(whole, 0, 0, whole->columns, whole->rows, "BGRA", CharPixel,
                          expected.data(), exception);
        ASSERT_EQ(streamed.image->columns, whole->columns);
        ASSERT_EQ(streamed.image->rows, whole->rows);
        int worst = 0;
        for (std::size_t i = 0; i < expected.size(); ++i) {
            worst = std::max(worst, std::abs(streamed.image->pixels[i] - expected[i]));
        }
        // The library's CMYK conversion rounds once more on the way.
        EXPECT_LE(worst, whole->colorspace == CMYKColorspace ? 1 : 0) << path;
        DestroyImage(whole);
        DestroyImageInfo(info);
        DestroyExceptionInfo(exception);
    }
}

TEST_F(DecodeSafetyTest, FilesThatAreNotFilesAreRefusedAtOnceWithTheirMessage) {
    const std::string home = folders.Home();
    ASSERT_EQ(::mkfifo((home + "/x.jpg").c_str(), 0600), 0);
    std::filesystem::create_symlink("/dev/zero", home + "/zero.jpg");
    std::filesystem::create_directory(home + "/folder.png");
    const int listener = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::snprintf(address.sun_path, sizeof address.sun_path, "%s/socket.jpg", home.c_str());
    ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    writeFile(home + "/notes.txt", "Shopping: bread, milk\n");
    writeFile(home + "/empty.jpg", "");
    const struct {
        const char* name;
        const char* message;
    } cases[] = {{"/x.jpg", "not a regular file"},
                 {"/zero.jpg", "not a regular file"},
                 {"/folder.png", "not a regular file"},
                 {"/socket.jpg", "not a regular file"},
                 {"/notes.txt", "not an image this program can read"},
                 {"/empty.jpg", "damaged"}};
    for (const auto& one : cases) {
        const auto start = Clock::now();
        Image_Magick_Image decoded;
        EXPECT_FALSE(decoded.ReadImage(home + one.name));
        EXPECT_LT(secondsSince(start), 2.0) << one.name;
        const auto shown = boxes.Take();
        ASSERT_EQ(shown.size(), 1u) << one.name;
        EXPECT_NE(shown[0].text.find(home + one.name), std::string::npos) << shown[0].text;
        EXPECT_NE(shown[0].text.find(one.message), std::string::npos) << shown[0].text;
        // The browser's ping gives up on them as quickly, and silently.
        EXPECT_FALSE(decoded.PingImage((home + one.name).c_str())) << one.name;
        EXPECT_EQ(boxes.Count(), 0u);
    }
    ::close(listener);
}

TEST_F(DecodeSafetyTest, MetadataBombsAreSkippedQuicklyAndInLittleMemory) {
    // A text chunk that claims 2 GB in a file of a hundred bytes, and one whose 2 MB inflate to
    // 2 GiB; the image itself is one red pixel and must still show.
    const std::string claim = bigEndian(0x7fffff00u) + "zTXt" + std::string("Comment\0\0xxxx", 13);
    std::string zeros(std::size_t{1} << 20, '\0');
    z_stream stream{};
    ::deflateInit(&stream, 9);
    std::string packed;
    std::vector<unsigned char> out(1 << 16);
    for (int i = 0; i < 2048; ++i) {
        stream.next_in = reinterpret_cast<Bytef*>(zeros.data());
        stream.avail_in = static_cast<uInt>(zeros.size());
        do {
            stream.next_out = out.data();
            stream.avail_out = static_cast<uInt>(out.size());
            ::deflate(&stream, i == 2047 ? Z_FINISH : Z_NO_FLUSH);
            packed.append(reinterpret_cast<char*>(out.data()), out.size() - stream.avail_out);
        } while (stream.avail_out == 0);
    }
    ::deflateEnd(&stream);
    const std::string files[] = {
        writeFile(folders.Home() + "/claim.png", redPixelPng("").substr(0, 33) + claim),
        writeFile(folders.Home() + "/inflate.png",
                  redPixelPng(pngChunk("zTXt", std::string("Comment\0\0", 9) + packed)))};
    for (const std::string& path : files) {
        const auto start = Clock::now();
        const auto [peakMb, status] = peakWhile([&] {
            engine::DecodeResult result = engine::DecodeImageFile(path);
            if (!result.image) {
                return result.failure == engine::DecodeFailure::Damaged ? 2 : 3;
            }
            const std::uint8_t* pixel = result.image->pixels.get();
            return pixel[2] == 255 && pixel[1] == 0 && pixel[0] == 0 ? 0 : 4;
        });
        EXPECT_LT(secondsSince(start), 3.0) << path;
        EXPECT_LT(peakMb, 600) << path;
        // The claim cuts the file short (refused as damaged); the inflating text is skipped.
        EXPECT_EQ(status, path.find("claim") != std::string::npos ? 2 : 0) << path;
    }
}

TEST_F(DecodeSafetyTest, AHeaderPromisingGigapixelsOverAFewBytesIsRefusedAtOnce) {
    const std::string header =
        bigEndian(20000) + bigEndian(20000) + std::string("\x08\x02\x00\x00\x00", 5);
    const std::string path =
        writeFile(folders.Home() + "/promise.png",
                  kSignature + pngChunk("IHDR", header) +
                      pngChunk("IDAT", deflate(std::string(64, '\0'))) + pngChunk("IEND", ""));
    const auto start = Clock::now();
    const auto [peakMb, status] = peakWhile([&] {
        return engine::DecodeImageFile(path).failure == engine::DecodeFailure::Damaged ? 0 : 1;
    });
    EXPECT_EQ(status, 0);
    EXPECT_LT(secondsSince(start), 2.0);
    EXPECT_LT(peakMb, 200);
}

TEST_F(DecodeSafetyTest, ACancelledDecodeStopsWithinMomentsAndShowsNothing) {
    const std::string path = blockJpeg(folders.Home() + "/big.jpg", 8000, 6000);
    std::atomic<bool> cancel{false};
    Clock::time_point cancelledAt;
    std::thread canceller([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        cancelledAt = Clock::now();
        cancel = true;
    });
    engine::DecodeResult result = engine::DecodeImageFile(path, &cancel);
    const auto end = Clock::now();
    canceller.join();
    EXPECT_EQ(result.failure, engine::DecodeFailure::Cancelled);
    EXPECT_FALSE(result.image);
    EXPECT_LT(std::chrono::duration<double>(end - cancelledAt).count(), 0.25);
    Image_Magick_Image shown;
    EXPECT_FALSE(shown.AdoptDecoded(path, std::move(result)));
    EXPECT_EQ(boxes.Count(), 0u) << "a cancelled decode is no failure to report";
}

// PNG, TIFF, WebP and JPEG read by their own libraries stop at the row (or WebP's piece of the
// file) after they are told to, not at the end of the image: here they are told as soon as their
// record is made, before the first row.
TEST_F(DecodeSafetyTest, ADirectlyReadFileToldToStopStopsBeforeItsNextRow) {
    using Decoder = engine::DecodeResult (*)(const engine::DirectRequest&);
    for (const auto& [format, decoder] :
         {std::pair<const char*, Decoder>{"png", &engine::DecodePng},
          std::pair<const char*, Decoder>{"tiff", &engine::DecodeTiff},
          std::pair<const char*, Decoder>{"webp", &engine::DecodeWebp},
          std::pair<const char*, Decoder>{"jpeg", &engine::DecodeJpeg}}) {
        const std::string path =
            blockJpeg(folders.Home() + "/grain." + format, 1200, 900, "RGB", format, true);
        std::ifstream in(path, std::ios::binary);
        const std::string bytes((std::istreambuf_iterator<char>(in)), {});
        std::atomic<bool> cancel{false};
        engine::DirectRequest request;
        request.data = reinterpret_cast<const unsigned char*>(bytes.data());
        request.size = bytes.size();
        request.cancel = &cancel;
        request.refuse = [](std::size_t, std::size_t) { return engine::DecodeResult{}; };
        request.make_record = [&cancel](std::size_t columns, std::size_t rows) {
            cancel = true;
            auto record = std::make_unique<engine::Image>();
            record->columns = columns;
            record->rows = rows;
            record->pixels = engine::AllocatePixels(columns * rows * 4);
            return record;
        };
        const engine::DecodeResult stopped = decoder(request);
        EXPECT_EQ(stopped.failure, engine::DecodeFailure::Cancelled) << format;
        EXPECT_FALSE(stopped.image) << format;
        // The control: untold, the same request gives the picture.
        request.cancel = nullptr;
        const engine::DecodeResult whole = decoder(request);
        ASSERT_TRUE(whole.image) << format << ": " << whole.message;
        std::uint8_t expected[3];
        blockColour(1100, 800, expected);
        EXPECT_NEAR(whole.image->Row(800)[1100 * 4 + 2], expected[0], 6) << format;
    }
}

// 16-bit samples become 8-bit ones rounded as the library rounds them (cutting off the low byte
// would be wrong for half of them): every value from 0 to 65535 once in each channel.
TEST_F(DecodeSafetyTest, SixteenBitPngSamplesAreRoundedAsTheLibraryRoundsThem) {
    constexpr std::size_t width = 256, height = 256;
    std::vector<std::uint16_t> rgb(width * height * 3);
    for (std::size_t i = 0; i < width * height; ++i) {
        rgb[i * 3 + 0] = static_cast<std::uint16_t>(i);
        rgb[i * 3 + 1] = static_cast<std::uint16_t>(65535 - i);
        rgb[i * 3 + 2] = static_cast<std::uint16_t>(i * 40503u); // odd: every value once
    }
    const std::string path = folders.Home() + "/ramp.png";
    ExceptionInfo* exception = AcquireExceptionInfo();
    Image* image = ConstituteImage(width, height, "RGB", ShortPixel, rgb.data(), exception);
    ASSERT_NE(image, nullptr);
    image->depth = 16;
    ImageInfo* info = AcquireImageInfo();
    std::snprintf(image->filename, sizeof image->filename, "png48:%s", path.c_str());
    EXPECT_EQ(WriteImage(info, image), MagickTrue) << image->exception.reason;
    DestroyImageInfo(info);
    DestroyImage(image);
    DestroyExceptionInfo(exception);

    const engine::DecodeResult result = engine::DecodeImageFile(path);
    ASSERT_TRUE(result.image) << result.message;
    ASSERT_EQ(result.image->columns, width);
    int wrong = 0;
    for (std::size_t i = 0; i < width * height; ++i) {
        const std::uint8_t* bgra = result.image->pixels.get() + i * 4;
        for (int c = 0; c < 3; ++c) {
            wrong += bgra[2 - c] != engine::SampleToByte(rgb[i * 3 + c]);
        }
    }
    EXPECT_EQ(wrong, 0);
}

TEST_F(DecodeSafetyTest, TheLibrarysFoldersOfDeadProcessesAreRemovedAtStart) {
    // A process killed while decoding leaves its folder; the next start clears it.
    const std::string parent = platform::RuntimeSubfolder("magick");
    const pid_t child = ::fork();
    if (child == 0) {
        ::_exit(0);
    }
    ::waitpid(child, nullptr, 0);
    const std::string dead = parent + "/" + std::to_string(child);
    std::filesystem::create_directory(dead);
    writeFile(dead + "/magick-leftover", std::string(1000, 'x'));
    engine::DestroyMagick();
    engine::InitializeMagick(nullptr);
    EXPECT_FALSE(std::filesystem::exists(dead));
    EXPECT_TRUE(std::filesystem::exists(engine::MagickTemporaryFolder() + "/policy.xml"));
    before_ = temporaryFiles();
}

// A very large image is drawn far below 1:1 from its reduced copy, and nearer 1:1 from its own
// pixels: the two roads give what scaling that record directly gives.
TEST(ReducedCopy, ViewsFarBelowOneToOneReadTheReducedCopyAndTheRestTheWholeImage) {
    auto whole = std::make_unique<engine::Image>();
    whole->columns = 64;
    whole->rows = 48;
    whole->pixels = engine::AllocatePixels(64 * 48 * 4);
    for (std::size_t i = 0; i < 64 * 48 * 4; ++i) {
        whole->pixels[i] = static_cast<std::uint8_t>(i * 7);
    }
    auto reduced = std::make_unique<engine::Image>();
    reduced->columns = 16;
    reduced->rows = 12;
    reduced->pixels = engine::AllocatePixels(16 * 12 * 4);
    // Unlike any average of the whole image, so the road taken shows in the result.
    std::memset(reduced->pixels.get(), 0x5a, 16 * 12 * 4);
    const engine::Image* wholeSeen = whole.get();
    whole->reduced = std::move(reduced);
    whole->reduced_factor = 4;
    Image_Magick_Image shown;
    ASSERT_TRUE(shown.SetImage(whole.release()));
    auto same = [](const engine::Image* a, const engine::Image* b) {
        return a != nullptr && b != nullptr && a->columns == b->columns && a->rows == b->rows &&
               std::memcmp(a->pixels.get(), b->pixels.get(), a->columns * a->rows * 4) == 0;
    };
    // A quarter or less of the size: from the reduced copy, its region a quarter of the asked one.
    std::unique_ptr<engine::Image> far(
        ScaleImage_Bresenham_Fractional(shown, {0, 0, 64, 48}, 16, 12));
    std::unique_ptr<engine::Image> fromReduced(
        ScaleImage_Bresenham_Fractional(*wholeSeen->reduced, {0, 0, 16, 12}, 16, 12));
    EXPECT_TRUE(same(far.get(), fromReduced.get()));
    EXPECT_EQ(far->pixels[0], 0x5a);
    // Half the size: the whole image's own pixels.
    std::unique_ptr<engine::Image> near(
        ScaleImage_Bresenham_Fractional(shown, {8, 8, 32, 24}, 16, 12));
    std::unique_ptr<engine::Image> fromWhole(
        ScaleImage_Bresenham_Fractional(*wholeSeen, {8, 8, 32, 24}, 16, 12));
    EXPECT_TRUE(same(near.get(), fromWhole.get()));
}

// TIFFs read by libtiff come out as the library reads them: 8- and 16-bit samples (every
// 16-bit value once, so that rounding shows), gray and RGB, with and without alpha, stored
// plainly and compressed, in strips and in tiles.
TEST_F(DecodeSafetyTest, TiffLayoutsReadByLibtiffEqualTheLibrarysRead) {
    struct Case {
        const char* map;
        StorageType storage;
        CompressionType compression;
        const char* tiles; // null: strips
    };
    constexpr std::size_t width = 256, height = 256;
    int index = 0;
    for (const Case& layout : {Case{"RGB", CharPixel, LZWCompression, nullptr},
                               Case{"RGBA", CharPixel, ZipCompression, nullptr},
                               Case{"RGB", ShortPixel, NoCompression, nullptr},
                               Case{"RGBA", ShortPixel, LZWCompression, nullptr},
                               Case{"I", ShortPixel, ZipCompression, nullptr},
                               Case{"I", CharPixel, NoCompression, nullptr},
                               // Edge tiles stored padded, across and down.
                               Case{"RGB", CharPixel, LZWCompression, "96x48"},
                               Case{"RGBA", ShortPixel, ZipCompression, "64x64"},
                               Case{"I", CharPixel, NoCompression, "112x80"}}) {
        const std::size_t samples = std::strlen(layout.map);
        const bool wide = layout.storage == ShortPixel;
        std::vector<std::uint16_t> values(width * height * samples);
        for (std::size_t i = 0; i < values.size(); ++i) {
            const std::uint32_t v =
                static_cast<std::uint32_t>(i / samples) * 40503u + (i % samples) * 7919u;
            values[i] = static_cast<std::uint16_t>(wide ? v : v % 256);
        }
        std::vector<std::uint8_t> narrow(values.begin(), values.end());
        const std::string path = folders.Home() + "/layout " + std::to_string(index++) + ".tif";
        const std::string name = std::string(layout.map) + (wide ? " 16-bit" : " 8-bit") +
                                 (layout.tiles ? std::string(" in tiles ") + layout.tiles : "");
        ExceptionInfo* exception = AcquireExceptionInfo();
        Image* image = ConstituteImage(width, height, layout.map, layout.storage,
                                       wide ? static_cast<const void*>(values.data())
                                            : static_cast<const void*>(narrow.data()),
                                       exception);
        DestroyExceptionInfo(exception);
        ASSERT_NE(image, nullptr) << name;
        image->depth = wide ? 16 : 8;
        image->compression = layout.compression;
        if (layout.tiles != nullptr) {
            writeAndDestroy(image, path, "tiff", {{"tiff:tile-geometry", layout.tiles}});
        } else {
            writeAndDestroy(image, path, "tiff");
        }

        const engine::DecodeResult decoded = engine::DecodeImageFile(path);
        ASSERT_TRUE(decoded.image) << name << ": " << decoded.message;
        ASSERT_EQ(decoded.image->columns, width);
        ASSERT_EQ(decoded.image->rows, height);
        EXPECT_EQ(bytesApartFromTheLibrarysRead(*decoded.image, path), 0) << name;
    }
}

// The EXIF colour space that sends a JPEG without a profile to the library (which recognises
// Adobe RGB there) is read from the Exif directory, big- or little-endian, with or without the
// "Exif\0\0" in front; a block cut anywhere, or ending in an entry of no values, gives no other
// value and is read within its bytes.
TEST(ExifColourSpace, IsReadFromTheExifDirectoryAndNothingElseFromACutBlock) {
    for (const bool big : {false, true}) {
        std::vector<std::uint8_t> b = {'E', 'x', 'i', 'f', 0, 0};
        const auto u16 = [&](unsigned v) {
            b.push_back(static_cast<std::uint8_t>(big ? v >> 8 : v & 255));
            b.push_back(static_cast<std::uint8_t>(big ? v & 255 : v >> 8));
        };
        const auto u32 = [&](unsigned v) {
            u16(big ? v >> 16 : v & 0xFFFF);
            u16(big ? v & 0xFFFF : v >> 16);
        };
        b.push_back(big ? 'M' : 'I');
        b.push_back(big ? 'M' : 'I');
        u16(42);
        u32(8);
        u16(1); // IFD0 at 8: the Exif pointer only
        u16(0x8769);
        u16(4);
        u32(1);
        u32(26);
        u32(0);
        u16(1); // the Exif directory at 26: ColorSpace, a short in the entry
        u16(0xA001);
        u16(3);
        u32(1);
        u16(65535);
        u16(0);
        u32(0);
        EXPECT_EQ(engine::ExifColorSpace(b.data(), b.size()), engine::kExifUncalibrated) << big;
        EXPECT_EQ(engine::ExifColorSpace(b.data() + 6, b.size() - 6), engine::kExifUncalibrated);
        for (std::size_t size = 0; size < b.size(); ++size) {
            const std::vector<std::uint8_t> cut(b.begin(), b.begin() + size);
            const std::uint32_t space = engine::ExifColorSpace(cut.data(), cut.size());
            EXPECT_TRUE(space == 0 || space == engine::kExifUncalibrated) << size;
        }
        b[6 + 26 + 2 + 2] = 7; // the value given a type that holds no number
        EXPECT_EQ(engine::ExifColorSpace(b.data(), b.size()), 0u);

        // A rational of no values as the block's last entry: its four bytes in the entry end
        // the block, right before a page that may not be read.
        b.resize(6 + 26 + 2 + 12);
        b[6 + 26 + 2 + 2] = big ? 0 : 5;
        b[6 + 26 + 2 + 3] = big ? 5 : 0;
        std::fill(b.begin() + 6 + 26 + 2 + 4, b.begin() + 6 + 26 + 2 + 8, 0);
        const long page = ::sysconf(_SC_PAGESIZE);
        void* pages =
            ::mmap(nullptr, 2 * page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        ASSERT_NE(pages, MAP_FAILED);
        ASSERT_EQ(::mprotect(static_cast<char*>(pages) + page, page, PROT_NONE), 0);
        auto* guarded = static_cast<std::uint8_t*>(pages) + page - b.size();
        std::memcpy(guarded, b.data(), b.size());
        EXPECT_EQ(engine::ExifColorSpace(guarded, b.size()), 0u) << big;
        ::munmap(pages, 2 * page);
    }
}

// Plain JPEGs read by libjpeg come out as the library reads them, byte for byte: baseline,
// progressive and gray, whole and at the DCT scales of a first view (the library's own
// reduction, asked for by size), which say they are reduced and how large the whole image is.
TEST_F(DecodeSafetyTest, JpegReadByLibjpegEqualsTheLibrarysRead) {
    constexpr std::size_t width = 1600, height = 1200;
    const std::string baseline =
        blockJpeg(folders.Home() + "/baseline.jpg", width, height, "RGB", "jpeg", true);
    const std::string progressive =
        blockJpeg(folders.Home() + "/progressive.jpg", width, height, "RGB", "jpeg", true, true);
    const std::string gray = folders.Home() + "/gray.jpg";
    {
        ExceptionInfo* exception = AcquireExceptionInfo();
        ImageInfo* info = AcquireImageInfo();
        std::snprintf(info->filename, sizeof info->filename, "%s", baseline.c_str());
        Image* image = ReadImage(info, exception);
        ASSERT_NE(image, nullptr);
        TransformImageColorspace(image, GRAYColorspace);
        writeAndDestroy(image, gray, "jpeg");
        DestroyImageInfo(info);
        DestroyExceptionInfo(exception);
    }
    // Whole, half (not worth a second decode: whole too), and 1/2, 1/4 and 1/8 by DCT scale.
    const engine::ViewSize views[] = {{}, {800, 600}, {534, 400}, {400, 300}, {200, 150}};
    for (const std::string& path : {baseline, progressive, gray}) {
        for (const engine::ViewSize view : views) {
            const double fit = view.columns == 0 ? 1.0
                                                 : std::min(double(view.columns) / width,
                                                            double(view.rows) / height);
            const bool reduced = fit < 0.5;
            const engine::DecodeResult decoded = engine::DecodeImageFile(path, nullptr, view);
            const std::string name = path + " for " + std::to_string(view.columns);
            ASSERT_TRUE(decoded.image) << name << ": " << decoded.message;
            EXPECT_EQ(decoded.image->magick, "JPEG");
            EXPECT_EQ(decoded.reduced, reduced) << name;
            if (reduced) {
                EXPECT_LT(decoded.image->columns, width) << name;
                EXPECT_EQ(decoded.full_columns, width) << name;
                EXPECT_EQ(decoded.full_rows, height) << name;
            }
            const std::string size = reduced ? std::to_string(int(std::ceil(width * fit))) + "x" +
                                                   std::to_string(int(std::ceil(height * fit)))
                                             : std::string();
            EXPECT_EQ(bytesApartFromTheLibrarysRead(*decoded.image, path, size), 0) << name;
        }
    }
}

// A JPEG that claims more pixels than may be held is refused with its size, whether or not a
// view would have taken a reduced copy of it: the user reads the same words either way.
TEST_F(DecodeSafetyTest, AnOversizedJpegIsRefusedWithItsSizeForAnyView) {
    const std::string small = blockJpeg(folders.Home() + "/small.jpg", 64, 48);
    std::ifstream in(small, std::ios::binary);
    std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    // The frame header: FF C0, its length (2 bytes), the precision, then height and width.
    const std::size_t frame = bytes.find("\xFF\xC0");
    ASSERT_NE(frame, std::string::npos);
    for (const std::size_t at : {frame + 5, frame + 7}) {
        bytes[at] = static_cast<char>(60000 >> 8);
        bytes[at + 1] = static_cast<char>(60000 & 255);
    }
    const std::string claim = writeFile(folders.Home() + "/claim.jpg", bytes);
    for (const engine::ViewSize view : {engine::ViewSize{}, engine::ViewSize{1600, 1000}}) {
        const engine::DecodeResult decoded = engine::DecodeImageFile(claim, nullptr, view);
        EXPECT_FALSE(decoded.image) << view.columns;
        EXPECT_EQ(decoded.failure, engine::DecodeFailure::TooLarge) << view.columns;
        EXPECT_NE(decoded.message.find("60000"), std::string::npos)
            << view.columns << ": " << decoded.message;
    }
}

// JPEG, WebP and TIFF (strips and tiles) files spoilt anywhere never take their decoders outside
// the file or the record: each gives a picture or a failure that says why. An ICC profile split
// into APP2 markers out of sequence, which libjpeg warns about while the profile is put together,
// is read by the library.
TEST_F(DecodeSafetyTest, SpoiltJpegWebpAndTiffFilesGiveAPictureOrAReason) {
    const std::string red = blockJpeg(folders.Home() + "/red.jpg", 96, 64, "RGB", "jpeg", true);
    std::ifstream in(red, std::ios::binary);
    const std::string jpeg((std::istreambuf_iterator<char>(in)), {});
    std::string icc = "ICC_PROFILE";
    icc += std::string("\0\x02\x01", 3) + std::string(32, '\0'); // marker 2 of 1
    const std::string bogus = jpeg.substr(0, 2) + "\xff\xe2" +
                              static_cast<char>((icc.size() + 2) >> 8) +
                              static_cast<char>((icc.size() + 2) & 255) + icc + jpeg.substr(2);
    const engine::DecodeResult read = engine::DecodeImageFile(
        writeFile(folders.Home() + "/bogus profile.jpg", bogus), nullptr, {});
    ASSERT_TRUE(read.image) << read.message;
    EXPECT_EQ(read.image->columns, 96u);

    const auto written = [&](const char* format) {
        std::ifstream file(
            blockJpeg(folders.Home() + "/red." + format, 96, 64, "RGB", format, true),
            std::ios::binary);
        return std::string((std::istreambuf_iterator<char>(file)), {});
    };
    const std::string strips = written("tiff");
    // The picture again in 32 x 32 tiles, LZW-compressed.
    const std::string tiledPath = folders.Home() + "/red tiles.tif";
    {
        ExceptionInfo* exception = AcquireExceptionInfo();
        ImageInfo* info = AcquireImageInfo();
        std::snprintf(info->filename, sizeof info->filename, "%s",
                      (folders.Home() + "/red.tiff").c_str());
        Image* image = ReadImage(info, exception);
        DestroyImageInfo(info);
        DestroyExceptionInfo(exception);
        ASSERT_NE(image, nullptr);
        image->compression = LZWCompression;
        writeAndDestroy(image, tiledPath, "tiff", {{"tiff:tile-geometry", "32x32"}});
    }
    std::ifstream tiledFile(tiledPath, std::ios::binary);
    const std::string tiled((std::istreambuf_iterator<char>(tiledFile)), {});
    for (const auto& [name, bytes] : {std::pair<std::string, std::string>{"jpg", bogus},
                                      std::pair<std::string, std::string>{"webp", written("webp")},
                                      std::pair<std::string, std::string>{"tif", strips},
                                      std::pair<std::string, std::string>{"tif", tiled}}) {
        const std::string path = folders.Home() + "/spoilt." + name;
        for (std::size_t at = 0; at < bytes.size(); at += 1 + bytes.size() / 700) {
            for (const unsigned char value : {0x00, 0xff}) {
                std::string spoilt = bytes;
                spoilt[at] = static_cast<char>(value);
                const engine::DecodeResult decoded =
                    engine::DecodeImageFile(writeFile(path, spoilt), nullptr, {48, 32});
                EXPECT_TRUE(decoded.image || !decoded.message.empty()) << name << " at " << at;
                if (decoded.image) {
                    EXPECT_LE(decoded.image->columns * decoded.image->rows, 1u << 26) << at;
                }
            }
        }
    }
}

// Still WebP pictures read by libwebp come out as the library reads them, byte for byte: lossy
// and lossless, with and without alpha (straight, not premultiplied).
TEST_F(DecodeSafetyTest, WebpReadByLibwebpEqualsTheLibrarysRead) {
    constexpr std::size_t width = 300, height = 200;
    std::vector<std::uint8_t> rgba(width * height * 4);
    std::uint32_t noise = 777;
    for (std::size_t i = 0; i < width * height; ++i) {
        blockColour(i % width * 5, i / width * 5, &rgba[i * 4]);
        noise = noise * 1103515245u + 12345u;
        rgba[i * 4 + 1] = static_cast<std::uint8_t>(rgba[i * 4 + 1] + (noise >> 16) % 9);
        // A soft edge: every level of alpha, and fully clear pixels.
        rgba[i * 4 + 3] = static_cast<std::uint8_t>(std::min<std::size_t>(255, i % width));
    }
    int index = 0;
    for (const bool lossless : {false, true}) {
        for (const char* map : {"RGB", "RGBA"}) {
            const std::string name = std::string(lossless ? "lossless " : "lossy ") + map;
            ExceptionInfo* exception = AcquireExceptionInfo();
            Image* image =
                ConstituteImage(width, height, "RGBA", CharPixel, rgba.data(), exception);
            ASSERT_NE(image, nullptr);
            if (std::strcmp(map, "RGB") == 0) {
                SetImageAlphaChannel(image, DeactivateAlphaChannel);
            }
            const std::string path = folders.Home() + "/still " + std::to_string(index++) + ".webp";
            writeAndDestroy(image, path, "webp", {{"webp:lossless", lossless ? "true" : "false"}});
            DestroyExceptionInfo(exception);

            const engine::DecodeResult decoded = engine::DecodeImageFile(path);
            ASSERT_TRUE(decoded.image) << name << ": " << decoded.message;
            EXPECT_FALSE(decoded.damaged) << name;
            EXPECT_EQ(bytesApartFromTheLibrarysRead(*decoded.image, path), 0) << name;
        }
    }
}

// A file cut short shows what could be read of it and is called damaged, when the library
// hands back what it read (PNG used to be refused); rows never read are grey, never what the
// memory held before. A coder that hands back nothing (GIF) leaves a refusal that says damaged.
TEST_F(DecodeSafetyTest, AFileCutShortShowsWhatWasReadAndIsCalledDamaged) {
    for (const char* format : {"png", "gif", "jpeg", "webp"}) {
        const std::string whole =
            blockJpeg(folders.Home() + "/whole." + format, 256, 256, "RGB", format, true);
        std::ifstream in(whole, std::ios::binary);
        const std::string bytes((std::istreambuf_iterator<char>(in)), {});
        const std::string cut =
            writeFile(folders.Home() + "/cut." + format, bytes.substr(0, bytes.size() * 6 / 10));
        // A decode of another picture first: memory it leaves behind must not show through.
        ASSERT_TRUE(engine::DecodeImageFile(whole).image);
        const engine::DecodeResult result = engine::DecodeImageFile(cut);
        if (std::string(format) == "gif") {
            EXPECT_EQ(result.failure, engine::DecodeFailure::Damaged);
            EXPECT_EQ(result.message.rfind("damaged", 0), 0u) << result.message;
            continue;
        }
        ASSERT_TRUE(result.image) << format << ": " << result.message;
        EXPECT_TRUE(result.damaged) << format << " " << result.message;
        EXPECT_EQ(result.message.rfind("damaged", 0), 0u) << result.message;
        std::uint8_t expected[3];
        blockColour(10, 10, expected);
        const std::uint8_t* top = result.image->Row(10) + 10 * 4;
        for (int c = 0; c < 3; ++c) {
            EXPECT_NEAR(top[2 - c], expected[c], 24) << format << " channel " << c;
        }
        const std::uint8_t* bottom = result.image->Row(255) + 255 * 4;
        blockColour(255, 255, expected);
        const bool picture = std::abs(bottom[2] - expected[0]) <= 24 &&
                             std::abs(bottom[1] - expected[1]) <= 24 &&
                             std::abs(bottom[0] - expected[2]) <= 24;
        EXPECT_FALSE(picture) << format << ": the last row cannot have been read";
    }
}

// The block kept for the next image is a photo's: a reduced first view's pixels (a few MB) go
// back as soon as they are freed, and do not push out the photo-sized block kept before them.
TEST(PixelMemory, OnlyAPhotoSizedBlockIsKeptForTheNextImage) {
    const std::size_t photo = std::size_t{64} << 20, firstView = std::size_t{6} << 20;
    engine::PixelBuffer kept = engine::AllocatePixels(photo);
    ASSERT_TRUE(kept);
    std::memset(kept.get(), 1, photo);
    kept.reset();
    const double withPhotoKept = testsupport::ResidentMegabytes();

    engine::PixelBuffer view = engine::AllocatePixels(firstView);
    ASSERT_TRUE(view);
    std::memset(view.get(), 1, firstView);
    const double withView = testsupport::ResidentMegabytes();
    view.reset();
    const double afterView = testsupport::ResidentMegabytes();
    EXPECT_GE(withView - afterView, 5.0) << "the first view's pixels were kept";
    EXPECT_GE(afterView, withPhotoKept - 2.0) << "the photo-sized block kept was given back";

    engine::PixelBuffer next = engine::AllocatePixels(photo);
    ASSERT_TRUE(next);
    EXPECT_GE(testsupport::ResidentMegabytes(), withPhotoKept - 2.0)
        << "the next photo got fresh memory";
}

// A child process (the session bus's launcher, which the toolkit may start while a first photo
// is decoded) gets none of a photo's pixels: sharing them made every page the decoder wrote
// afterwards a copy-on-write fault, and a 24 MP decode took twice as long.
TEST(PixelMemory, AChildProcessGetsNoneOfThePixels) {
    constexpr std::size_t bytes = std::size_t{48} << 20;
    engine::PixelBuffer pixels = engine::AllocatePixels(bytes);
    ASSERT_TRUE(pixels);
    std::memset(pixels.get(), 1, bytes);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        unsigned char resident = 0;
        // ENOMEM: nothing is mapped there in the child.
        const bool mapped = ::mincore(pixels.get(), 4096, &resident) == 0;
        ::_exit(mapped ? 3 : 0);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "the child had the pixels";
    rusage before{}, after{};
    ::getrusage(RUSAGE_THREAD, &before);
    std::memset(pixels.get(), 2, bytes);
    ::getrusage(RUSAGE_THREAD, &after);
    EXPECT_LT(after.ru_minflt - before.ru_minflt, 64) << "writing the pixels took faults";
}

namespace {

// The kernel's flags on the mapping that holds address ("hg": marked for huge pages).
std::string mappingFlags(const void* address) {
    const auto at = reinterpret_cast<std::uintptr_t>(address);
    std::ifstream maps("/proc/self/smaps");
    std::string line;
    bool inside = false;
    while (std::getline(maps, line)) {
        unsigned long from = 0, to = 0;
        if (std::sscanf(line.c_str(), "%lx-%lx ", &from, &to) == 2) { // a mapping's first line
            inside = at >= from && at < to;
        } else if (inside && line.rfind("VmFlags:", 0) == 0) {
            return line;
        }
    }
    return {};
}

} // namespace

// Large blocks, ours and the image library's, are never marked for huge pages: to make those,
// the kernel first compacts memory, which held a 6000 x 4000 PNG's decode up for seconds.
TEST(PixelMemory, LargeBlocksAreNotMarkedForHugePages) {
    engine::InitializeMagick(nullptr);
    engine::PixelBuffer pixels = engine::AllocatePixels(std::size_t{40} << 20);
    ASSERT_TRUE(pixels);
    void* cache = AcquireAlignedMemory(1, std::size_t{40} << 20);
    ASSERT_NE(cache, nullptr);
    const std::string ours = mappingFlags(pixels.get());
    const std::string library = mappingFlags(cache);
    RelinquishAlignedMemory(cache);
    ASSERT_FALSE(ours.empty());
    ASSERT_FALSE(library.empty());
    EXPECT_EQ(ours.find(" hg"), std::string::npos) << ours;
    EXPECT_EQ(library.find(" hg"), std::string::npos) << library;
}

// The block kept for the next image goes back when asked, with the rest of the freed memory.
TEST(PixelMemory, TheBlockKeptForTheNextImageGoesBackWhenAsked) {
    const std::size_t photo = std::size_t{64} << 20;
    engine::PixelBuffer shown = engine::AllocatePixels(photo);
    ASSERT_TRUE(shown);
    std::memset(shown.get(), 1, photo);
    shown.reset();
    const double kept = testsupport::ResidentMegabytes();
    engine::ReleaseFreedMemory();
    EXPECT_GE(kept - testsupport::ResidentMegabytes(), 60.0);
}

// Heap memory freed in the middle of the heap (as the decoders leave it) goes back to the
// system when asked, although the allocator keeps it on its own.
TEST(PixelMemory, FreedHeapMemoryGoesBackWhenAsked) {
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "the sanitizer's allocator keeps its own heap";
#endif
    std::vector<char*> blocks;
    for (int i = 0; i < 320; ++i) { // 20 MB in blocks the heap serves
        auto* block = static_cast<char*>(std::malloc(64 * 1024));
        ASSERT_NE(block, nullptr);
        std::memset(block, 1, 64 * 1024);
        asm volatile("" : : "r"(block) : "memory"); // the writes are kept
        blocks.push_back(block);
    }
    // Every other block freed: holes the allocator keeps, none at the heap's end.
    for (std::size_t i = 0; i < blocks.size(); i += 2) {
        std::free(blocks[i]);
    }
    const double freed = testsupport::ResidentMegabytes();
    engine::ReleaseFreedMemory();
    const double released = testsupport::ResidentMegabytes();
    for (std::size_t i = 1; i < blocks.size(); i += 2) {
        std::free(blocks[i]);
    }
    EXPECT_GE(freed - released, 6.0);
}
