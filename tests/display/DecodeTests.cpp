// Decoding through the image library: the PNG conformance suite, file names, hostile files
// and images too large to hold.
#include "support/TestSupport.h"

#include "display/Image_Magick_Image.h"
#include "display/MagickLibrary.h"
#include "display/PixelExport.h"

#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>

using testsupport::IsolatedTest;

namespace {

// Starts the image library once for the whole test program (every decoding test file of it).
class MagickEnvironment : public ::testing::Environment {
public:
    void SetUp() override { engine::InitializeMagick(nullptr); }
    void TearDown() override { engine::DestroyMagick(); }
};
const auto* const magickEnvironment = ::testing::AddGlobalTestEnvironment(new MagickEnvironment);

const std::string kPngSuite = std::string(ORVALEN_SHARED_TESTDATA) + "/pngsuite";

std::vector<int> readJsonNumbers(const std::string& path) {
    std::ifstream file(path);
    std::stringstream text;
    text << file.rdbuf();
    std::vector<int> numbers;
    const std::string content = text.str();
    for (std::size_t i = 0; i < content.size();) {
        if (std::isdigit(static_cast<unsigned char>(content[i]))) {
            std::size_t end = i;
            numbers.push_back(std::stoi(content.substr(i), &end));
            i += end;
        } else {
            ++i;
        }
    }
    return numbers;
}

std::string writeFile(const std::string& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary) << bytes;
    return path;
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

std::string bigEndian(std::uint32_t value) {
    return {static_cast<char>(value >> 24), static_cast<char>(value >> 16),
            static_cast<char>(value >> 8), static_cast<char>(value)};
}

std::string pngChunk(const std::string& type, const std::string& data) {
    return bigEndian(static_cast<std::uint32_t>(data.size())) + type + data +
           bigEndian(crc32(type + data));
}

// A PNG header that promises width x height gray pixels, followed by almost no data.
std::string hugePng(std::uint32_t width, std::uint32_t height) {
    const std::string header =
        bigEndian(width) + bigEndian(height) + std::string("\x08\x00\x00\x00\x00", 5);
    return std::string("\x89PNG\r\n\x1a\n", 8) + pngChunk("IHDR", header) +
           pngChunk("IDAT", std::string("\x78\x9c\x03\x00\x00\x00\x00\x01", 8)) +
           pngChunk("IEND", "");
}

} // namespace

class DecodeTest : public IsolatedTest {};

TEST_F(DecodeTest, TheConformanceSuiteDecodesToItsReferencePixelsAndBrokenFilesAreRefused) {
    if (!std::filesystem::exists(kPngSuite)) {
        GTEST_SKIP() << "the PNG suite is not at " << kPngSuite;
    }
    int compared = 0, refused = 0;
    for (const auto& entry : std::filesystem::directory_iterator(kPngSuite + "/png")) {
        const std::string name = entry.path().stem().string();
        if (entry.path().extension() != ".png") {
            continue;
        }
        Image_Magick_Image decoded;
        const bool read = decoded.ReadImage(entry.path().string());
        const auto shown = boxes.Take();
        if (name[0] == 'x') {
            EXPECT_FALSE(read) << name;
            EXPECT_EQ(shown.size(), 1u) << name << ": a broken file is refused with a message";
            ++refused;
            continue;
        }
        ASSERT_TRUE(read) << name << (shown.empty() ? "" : ": " + shown[0].text);
        const bool sixteen = std::filesystem::exists(kPngSuite + "/json/" + name + "_to8.json");
        const std::string json = kPngSuite + "/json/" + name + (sixteen ? "_to8.json" : ".json");
        if (!std::filesystem::exists(json)) {
            continue;
        }
        std::vector<int> expected = readJsonNumbers(json);
        // A few references hold the 16-bit samples themselves: compare their upper bytes.
        const bool wide = *std::max_element(expected.begin(), expected.end()) > 255;
        if (wide) {
            for (int& value : expected) {
                value >>= 8;
            }
        }
        ASSERT_EQ(expected.size(), decoded.Columns() * decoded.Rows() * 4) << name;
        if (decoded.transparent) {
            // Held premultiplied by alpha, for scaling and drawing.
            for (std::size_t i = 0; i < expected.size(); i += 4) {
                for (int c = 0; c < 3; ++c) {
                    expected[i + c] = (expected[i + c] * expected[i + 3] + 127) / 255;
                }
            }
        }
        const std::uint8_t* bgra = decoded.Image()->pixels.get();
        int worst = 0;
        for (std::size_t i = 0; i < decoded.Columns() * decoded.Rows(); ++i) {
            const int rgba[4] = {bgra[i * 4 + 2], bgra[i * 4 + 1], bgra[i * 4 + 0],
                                 bgra[i * 4 + 3]};
            for (int c = 0; c < 4; ++c) {
                worst = std::max(worst, std::abs(rgba[c] - expected[i * 4 + c]));
            }
        }
        EXPECT_LE(worst, sixteen || wide ? 1 : 0) << name;
        ++compared;
    }
    EXPECT_GT(compared, 100);
    EXPECT_EQ(refused, 14);
}

TEST_F(DecodeTest, TheViewIsATopDown32BitBitmapOverThe8BitPixels) {
    if (!std::filesystem::exists(kPngSuite)) {
        GTEST_SKIP() << "the PNG suite is not at " << kPngSuite;
    }
    Image_Magick_Image decoded;
    ASSERT_TRUE(decoded.ReadImage("\"" + kPngSuite + "/png/basn6a08.png\""));
    ASSERT_TRUE(decoded.HasView());
    const BITMAPINFOHEADER& header = *decoded.DIB_Container.header;
    EXPECT_EQ(header.biSize, 40u);
    EXPECT_EQ(header.biWidth, 32);
    EXPECT_EQ(header.biHeight, -32);
    EXPECT_EQ(header.biBitCount, 32);
    EXPECT_EQ(header.biSizeImage, 32u * 32 * 4);
    EXPECT_EQ(decoded.DIB_Container.stride, 32 * 4);
    EXPECT_EQ(decoded.DIB_Container.bits, decoded.Image()->pixels.get());
    EXPECT_EQ(decoded.Format(), "PNG");

    Image_Magick_Image pinged;
    ASSERT_TRUE(pinged.PingImage((kPngSuite + "/png/basn6a08.png").c_str()));
    EXPECT_EQ(pinged.Columns(), 32u);
    EXPECT_FALSE(pinged.HasView());
    EXPECT_EQ(boxes.Count(), 0u);
}

TEST_F(DecodeTest, ANameOf2053CharactersIsRefusedBefore2052IsPassedOn) {
    Image_Magick_Image decoded;
    EXPECT_FALSE(decoded.ReadImage(std::string(2053, 'a')));
    auto shown = boxes.Take();
    ASSERT_EQ(shown.size(), 1u);
    EXPECT_EQ(shown[0].text.rfind("Length of filename too long.  Exceeds 'MaxTextExtent'\nerror# "
                                  "V7DHDY4W",
                                  0),
              0u);
    EXPECT_FALSE(decoded.ReadImage(std::string(2052, 'a')));
    shown = boxes.Take();
    ASSERT_EQ(shown.size(), 1u);
    EXPECT_EQ(shown[0].text.rfind("'ReadImage()' failed.\n\nTried to read aaa", 0), 0u);
    EXPECT_FALSE(decoded.PingImage(std::string(2053, 'a').c_str()));
}

TEST_F(DecodeTest, NamesAreNeverInterpretedByTheLibrary) {
    // Every one of these is only a file name here: no format prefix, frame, list or pipe.
    const std::string folder = folders.Home();
    for (const std::string name : {"png:evil", "@list", "|touch pwned", "a[0]", "x.txt"}) {
        Image_Magick_Image decoded;
        EXPECT_FALSE(decoded.ReadImage(folder + "/" + name)) << name;
        EXPECT_FALSE(decoded.PingImage((folder + "/" + name).c_str())) << name;
    }
    EXPECT_FALSE(std::filesystem::exists("pwned"));
    boxes.Take();
}

TEST_F(DecodeTest, FilesThatAskToReadOtherFilesOrRunProgramsAreRefused) {
    const std::string secret = writeFile(folders.Home() + "/secret.png", "not to be read");
    const std::string mvg =
        writeFile(folders.Home() + "/drawing.png",
                  "push graphic-context\nviewbox 0 0 64 64\nimage over 0,0 64,64 '" + secret +
                      "'\npop graphic-context\n");
    const std::string svg = writeFile(
        folders.Home() + "/vector.svg",
        "<svg xmlns='http://www.w3.org/2000/svg' xmlns:xlink='http://www.w3.org/1999/xlink' "
        "width='64' height='64'><image xlink:href='text:" +
            secret +
            "' width='64' "
            "height='64'/></svg>");
    const std::string postscript =
        writeFile(folders.Home() + "/page.ps", "%!PS-Adobe-3.0\n(ok) print\nshowpage\n");
    const std::string text = writeFile(folders.Home() + "/notes.txt", "plain words\n");
    for (const std::string& path : {mvg, svg, postscript, text}) {
        Image_Magick_Image decoded;
        const bool read = decoded.ReadImage(path);
        // An SVG without its external image may still render: what matters is that nothing
        // else was read into it.
        if (read && path == svg) {
            continue;
        }
        EXPECT_FALSE(read) << path;
    }
}

TEST_F(DecodeTest, AnImageTooLargeToHoldIsRefusedWithAMessageBeforeItsPixelsExist) {
    for (auto [width, height] : {std::pair{70000u, 16u}, {40000u, 40000u}}) {
        const std::string path = writeFile(folders.Home() + "/bomb.png", hugePng(width, height));
        Image_Magick_Image decoded;
        EXPECT_FALSE(decoded.ReadImage(path));
        const auto shown = boxes.Take();
        ASSERT_EQ(shown.size(), 1u) << width;
        EXPECT_NE(shown[0].text.find("limit"), std::string::npos) << shown[0].text;
    }
}

TEST_F(DecodeTest, AMissingFileAndAnUnknownFormatAreReportedWithTheUsersName) {
    Image_Magick_Image decoded;
    EXPECT_FALSE(decoded.ReadImage(folders.Home() + "/missing.jpg"));
    auto shown = boxes.Take();
    ASSERT_EQ(shown.size(), 1u);
    EXPECT_NE(shown[0].text.find("missing.jpg"), std::string::npos);
    // A viewer that stays empty without a word leaves the user guessing.
    for (const char* name : {"/data.qqq", "/Makefile", "/notes.txt"}) {
        const std::string unknown = writeFile(folders.Home() + name, "all:\n\techo hello\n");
        EXPECT_FALSE(decoded.ReadImage(unknown));
        shown = boxes.Take();
        ASSERT_EQ(shown.size(), 1u) << name;
        EXPECT_NE(shown[0].text.find(unknown), std::string::npos) << shown[0].text;
        EXPECT_NE(shown[0].text.find("not an image this program can read"), std::string::npos)
            << shown[0].text;
    }
    // The library's own words about a file that says it is a JPEG name it as the user does,
    // not by the hint the library was given.
    const std::string text = writeFile(folders.Home() + "/holiday 1.jpg", "hello, not a picture\n");
    EXPECT_FALSE(decoded.ReadImage(text));
    shown = boxes.Take();
    ASSERT_EQ(shown.size(), 1u);
    EXPECT_NE(shown[0].text.find("`" + text + "'"), std::string::npos) << shown[0].text;
    EXPECT_EQ(shown[0].text.find("`image.jpg'"), std::string::npos) << shown[0].text;
}

TEST(PixelExport, TheFastExportEqualsThePlainOneForEverySampleValue) {
    // Every 16-bit value in every channel, as an opaque and as a matte image.
    std::vector<std::uint16_t> samples(65536 * 4 + 12);
    for (std::size_t i = 0; i < samples.size(); ++i) {
        samples[i] = static_cast<std::uint16_t>((i * 40503u) ^ (i >> 2));
    }
    for (std::uint32_t v = 0; v < 65536; ++v) {
        samples[v * 4 + (v % 4)] = static_cast<std::uint16_t>(v);
    }
    const std::size_t pixels = samples.size() / 4;
    for (bool matte : {false, true}) {
        std::vector<std::uint8_t> fast(pixels * 4), plain(pixels * 4);
        engine::ExportBgra(samples.data(), fast.data(), pixels, matte);
        engine::ExportBgraPlain(samples.data(), plain.data(), pixels, matte);
        EXPECT_EQ(fast, plain) << "matte " << matte;
    }
    // A target of several megabytes is streamed: from any starting address, the same bytes.
    std::vector<std::uint16_t> big(std::size_t{1200000} * 4);
    for (std::size_t i = 0; i < big.size(); ++i) {
        big[i] = samples[i % samples.size()];
    }
    std::vector<std::uint8_t> plain(big.size() + 64), fast(big.size() + 64);
    for (std::size_t shift : {0u, 4u, 28u, 2u}) {
        std::uint8_t* at = fast.data() + (32 - reinterpret_cast<std::uintptr_t>(fast.data()) % 32);
        engine::ExportBgra(big.data(), at + shift, big.size() / 4, true);
        engine::ExportBgraPlain(big.data(), plain.data(), big.size() / 4, true);
        ASSERT_EQ(std::memcmp(at + shift, plain.data(), big.size()), 0) << "shift " << shift;
    }
    // The library's rounding: 0 -> 0, 128 -> 0, 129 -> 1, 65535 -> 255; opacity inverts.
    const std::uint16_t corners[8] = {0, 128, 129, 65535, 0, 32896, 32767, 65535};
    std::uint8_t out[8];
    engine::ExportBgraPlain(corners, out, 2, true);
    EXPECT_EQ(std::vector<int>(out, out + 8), (std::vector<int>{0, 0, 1, 0, 0, 128, 127, 0}));
}

namespace {

long residentKilobytes() {
    std::ifstream status("/proc/self/statm");
    long size = 0, resident = 0;
    status >> size >> resident;
    return resident * 4;
}

// An uncompressed 24-bit BMP of width x height, a gradient.
std::string bmpFile(std::uint32_t width, std::uint32_t height) {
    const std::uint32_t stride = (width * 3 + 3) / 4 * 4;
    auto little = [](std::uint32_t value, int bytes) {
        std::string text;
        for (int i = 0; i < bytes; ++i) {
            text += static_cast<char>(value >> (8 * i));
        }
        return text;
    };
    std::string file = "BM" + little(54 + stride * height, 4) + little(0, 4) + little(54, 4) +
                       little(40, 4) + little(width, 4) + little(height, 4) + little(1, 2) +
                       little(24, 2) + little(0, 4) + little(stride * height, 4) + little(2835, 4) +
                       little(2835, 4) + little(0, 4) + little(0, 4);
    std::string row(stride, '\0');
    for (std::uint32_t y = 0; y < height; ++y) {
        for (std::uint32_t x = 0; x < width * 3; ++x) {
            row[x] = static_cast<char>((x + y) & 0xFF);
        }
        file += row;
    }
    return file;
}

} // namespace

// The library's large blocks (its 16-bit pixel cache) are mapped by us; every one is given back.
TEST_F(DecodeTest, LargeImagesReadAgainAndAgainGiveTheirMemoryBack) {
    const std::string path = writeFile(folders.Home() + "/gradient.bmp", bmpFile(1600, 1200));
    long afterFirst = 0;
    for (int run = 0; run < 6; ++run) {
        Image_Magick_Image image;
        ASSERT_TRUE(image.ReadImage(path));
        ASSERT_EQ(image.Columns(), 1600u);
        const std::uint8_t* pixel = image.pixels + (std::size_t{1199} * 1600 + 5) * 4;
        EXPECT_EQ(pixel[0], 15); // the first row of the file is the bottom one: x + y = 15 + 0
        if (run == 0) {
            afterFirst = residentKilobytes();
        }
    }
    // Each read takes 15 MB of 16-bit cache and 7.5 MB of pixels; five more kept would be 110 MB.
    EXPECT_LT(residentKilobytes() - afterFirst, 40 * 1024);
}

TEST_F(DecodeTest, EverySampleTruncatedAnywhereIsRefusedOrDecodedWithoutHarm) {
    const std::string samples = ORVALEN_SAMPLES_DIR;
    int files = 0;
    for (const auto& entry : std::filesystem::directory_iterator(samples)) {
        if (entry.path().filename().string()[0] == '.' ||
            std::filesystem::file_size(entry.path()) > 200000) {
            continue; // the large photo is covered by the same coder in the smaller JPEGs
        }
        ++files;
        std::ifstream in(entry.path(), std::ios::binary);
        const std::string bytes((std::istreambuf_iterator<char>(in)), {});
        Image_Magick_Image whole;
        ASSERT_TRUE(whole.ReadImage(entry.path().string())) << entry.path();
        for (int cut = 0; cut < 10; ++cut) {
            const std::size_t length = bytes.size() * cut / 10;
            const std::string path =
                writeFile(folders.Home() + "/cut" + entry.path().extension().string(),
                          bytes.substr(0, length));
            Image_Magick_Image partial;
            const bool read = partial.ReadImage(path);
            const auto shown = boxes.Take();
            if (read) {
                EXPECT_TRUE(partial.HasView()) << entry.path() << " at " << length;
                EXPECT_EQ(partial.Columns(), whole.Columns()) << entry.path() << " at " << length;
            } else {
                EXPECT_LE(shown.size(), 1u);
            }
        }
    }
    EXPECT_GE(files, 7);
}
