// Animated images frame by frame: what the containers say (frame count, delays, loops) and the
// frames as they are shown, composed by their disposal and blending rules. Every file is made
// here: GIF and MNG by the image library, APNG and animated WebP put together from stills the
// library writes.
#include "support/TestSupport.h"

#include "OpenAnimation.h"
#include "display/AnimationDecoder.h"
#include "display/MagickLibrary.h"

#include <magick/MagickCore.h>

#include <array>
#include <cstring>
#include <fstream>
#include <sstream>

using testsupport::IsolatedTest;

namespace {

struct Rgba {
    int r, g, b, a;
};

// One frame for the library's writers: a rectangle of one colour on the canvas.
struct FrameShape {
    int x, y, width, height;
    Rgba colour;
    std::size_t delay_cs; // hundredths of a second
    DisposeType dispose;
    bool hole = false; // pixel (1, 1) of the frame is transparent
};

::Image* makeFrame(const FrameShape& shape, int canvasWidth, int canvasHeight, int loops) {
    ImageInfo* info = AcquireImageInfo();
    ::ExceptionInfo* exception = AcquireExceptionInfo();
    ::Image* image = AcquireImage(info);
    SetImageExtent(image, shape.width, shape.height);
    image->background_color.red = static_cast<Quantum>(shape.colour.r * 257);
    image->background_color.green = static_cast<Quantum>(shape.colour.g * 257);
    image->background_color.blue = static_cast<Quantum>(shape.colour.b * 257);
    image->background_color.opacity = static_cast<Quantum>((255 - shape.colour.a) * 257);
    if (shape.colour.a != 255 || shape.hole) {
        SetImageAlphaChannel(image, OpaqueAlphaChannel);
    }
    SetImageBackgroundColor(image);
    if (shape.hole) {
        PixelPacket* pixel = GetAuthenticPixels(image, 1, 1, 1, 1, exception);
        pixel->opacity = TransparentOpacity;
        SyncAuthenticPixels(image, exception);
    }
    image->page.width = canvasWidth;
    image->page.height = canvasHeight;
    image->page.x = shape.x;
    image->page.y = shape.y;
    image->delay = shape.delay_cs;
    image->ticks_per_second = 100;
    image->dispose = shape.dispose;
    image->iterations = loops;
    DestroyExceptionInfo(exception);
    DestroyImageInfo(info);
    return image;
}

// The frames written by the library in format ("GIF", "MNG", "PNG32", "WEBP").
std::string writeWithLibrary(const std::vector<FrameShape>& frames, int width, int height,
                             int loops, const char* format, bool adjoin = true) {
    ::Image* list = NewImageList();
    for (const FrameShape& shape : frames) {
        AppendImageToList(&list, makeFrame(shape, width, height, loops));
    }
    ImageInfo* info = AcquireImageInfo();
    ::ExceptionInfo* exception = AcquireExceptionInfo();
    std::snprintf(info->magick, sizeof info->magick, "%s", format);
    std::snprintf(list->magick, sizeof list->magick, "%s", format);
    info->adjoin = adjoin ? MagickTrue : MagickFalse;
    if (std::strcmp(format, "WEBP") == 0) {
        SetImageOption(info, "webp:lossless", "true");
    }
    size_t length = 0;
    void* blob = ImagesToBlob(info, list, &length, exception);
    std::string bytes(static_cast<const char*>(blob), length);
    RelinquishMagickMemory(blob);
    DestroyImageList(list);
    DestroyExceptionInfo(exception);
    DestroyImageInfo(info);
    return bytes;
}

std::string save(const std::string& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary) << bytes;
    return path;
}

std::string be32(std::uint32_t v) {
    return {static_cast<char>(v >> 24), static_cast<char>(v >> 16), static_cast<char>(v >> 8),
            static_cast<char>(v)};
}
std::string be16(std::uint32_t v) {
    return {static_cast<char>(v >> 8), static_cast<char>(v)};
}
std::string le32(std::uint32_t v) {
    return {static_cast<char>(v), static_cast<char>(v >> 8), static_cast<char>(v >> 16),
            static_cast<char>(v >> 24)};
}
std::string le24(std::uint32_t v) {
    return le32(v).substr(0, 3);
}

std::uint32_t crc(const std::string& bytes) {
    std::uint32_t c = 0xffffffffu;
    for (unsigned char byte : bytes) {
        c ^= byte;
        for (int k = 0; k < 8; ++k) {
            c = (c >> 1) ^ (0xedb88320u & (0u - (c & 1u)));
        }
    }
    return ~c;
}

std::string withCrc(const std::string& type, const std::string& data) {
    return be32(static_cast<std::uint32_t>(data.size())) + type + data + be32(crc(type + data));
}

// The IHDR body and the joined IDAT data of a PNG.
void splitPng(const std::string& png, std::string& ihdr, std::string& idat) {
    for (std::size_t pos = 8; pos + 12 <= png.size();) {
        const std::uint32_t length = (static_cast<unsigned char>(png[pos]) << 24) |
                                     (static_cast<unsigned char>(png[pos + 1]) << 16) |
                                     (static_cast<unsigned char>(png[pos + 2]) << 8) |
                                     static_cast<unsigned char>(png[pos + 3]);
        const std::string type = png.substr(pos + 4, 4);
        if (type == "IHDR") {
            ihdr = png.substr(pos + 8, length);
        } else if (type == "IDAT") {
            idat += png.substr(pos + 8, length);
        }
        pos += 12 + length;
    }
}

struct ApngFrame {
    FrameShape shape;
    int delayNumerator, delayDenominator;
    int disposeOp, blendOp;
};

// An APNG whose frames are PNG32 stills written by the library, their data moved into IDAT
// (the first frame) and fdAT chunks.
std::string makeApng(const std::vector<ApngFrame>& frames, int width, int height, int plays) {
    std::string out("\x89PNG\r\n\x1a\n", 8);
    std::uint32_t sequence = 0;
    for (std::size_t k = 0; k < frames.size(); ++k) {
        const FrameShape& shape = frames[k].shape;
        std::string ihdr, idat;
        splitPng(writeWithLibrary({shape}, shape.width, shape.height, 0, "PNG32"), ihdr, idat);
        if (k == 0) {
            out += withCrc("IHDR", be32(width) + be32(height) + ihdr.substr(8));
            out += withCrc("acTL", be32(static_cast<std::uint32_t>(frames.size())) + be32(plays));
        }
        out += withCrc("fcTL", be32(sequence++) + be32(shape.width) + be32(shape.height) +
                                   be32(shape.x) + be32(shape.y) + be16(frames[k].delayNumerator) +
                                   be16(frames[k].delayDenominator) +
                                   std::string(1, static_cast<char>(frames[k].disposeOp)) +
                                   std::string(1, static_cast<char>(frames[k].blendOp)));
        if (k == 0) {
            out += withCrc("IDAT", idat);
        } else {
            out += withCrc("fdAT", be32(sequence++) + idat);
        }
    }
    out += withCrc("IEND", "");
    return out;
}

struct WebpFrame {
    FrameShape shape;
    int duration_ms;
    bool dispose, noBlend;
};

// An animated WebP whose frames are lossless stills written by the library.
std::string makeWebp(const std::vector<WebpFrame>& frames, int width, int height, int loops) {
    std::string chunks = "VP8X" + le32(10) + std::string(1, '\x12') + std::string(3, '\0') +
                         le24(width - 1) + le24(height - 1);
    chunks += "ANIM" + le32(6) + le32(0) + std::string(1, static_cast<char>(loops)) +
              std::string(1, static_cast<char>(loops >> 8));
    for (const WebpFrame& frame : frames) {
        const std::string still =
            writeWithLibrary({frame.shape}, frame.shape.width, frame.shape.height, 0, "WEBP");
        // RIFF, size, WEBP, then the one VP8L chunk.
        const std::string image = still.substr(12);
        const std::string body =
            le24(frame.shape.x / 2) + le24(frame.shape.y / 2) + le24(frame.shape.width - 1) +
            le24(frame.shape.height - 1) + le24(frame.duration_ms) +
            std::string(1, static_cast<char>((frame.noBlend ? 2 : 0) | (frame.dispose ? 1 : 0))) +
            image;
        chunks += "ANMF" + le32(static_cast<std::uint32_t>(body.size())) + body;
        if (body.size() & 1) {
            chunks += '\0';
        }
    }
    return "RIFF" + le32(static_cast<std::uint32_t>(chunks.size() + 4)) + "WEBP" + chunks;
}

Rgba pixelAt(const engine::Image& image, int x, int y) {
    const std::uint8_t* p = image.Row(y) + x * 4;
    return {p[2], p[1], p[0], p[3]};
}

// Colours match within the library's rounding; a clear pixel matches any clear pixel.
::testing::AssertionResult looksLike(const engine::Image& image, int x, int y, Rgba want) {
    const Rgba got = pixelAt(image, x, y);
    const bool same = want.a == 0
                          ? got.a == 0
                          : std::abs(got.r - want.r) <= 2 && std::abs(got.g - want.g) <= 2 &&
                                std::abs(got.b - want.b) <= 2 && std::abs(got.a - want.a) <= 2;
    if (same) {
        return ::testing::AssertionSuccess();
    }
    return ::testing::AssertionFailure()
           << "pixel (" << x << ", " << y << ") is " << got.r << "," << got.g << "," << got.b << ","
           << got.a << ", expected " << want.r << "," << want.g << "," << want.b << "," << want.a;
}

const Rgba kRed{255, 0, 0, 255}, kGreen{0, 255, 0, 255}, kBlue{0, 0, 255, 255},
    kYellow{255, 255, 0, 255}, kClear{0, 0, 0, 0};

// Red screen; a green square that is cleared after it was shown; a blue square that is undone
// after it was shown; a yellow square with one transparent pixel over the hole the green left.
std::vector<FrameShape> gifFrames() {
    return {
        {0, 0, 40, 30, kRed, 20, NoneDispose},
        {5, 5, 10, 10, kGreen, 0, BackgroundDispose},
        {20, 10, 10, 10, kBlue, 1, PreviousDispose},
        {0, 0, 10, 10, kYellow, 5, NoneDispose, true},
    };
}

using AnimationTest = IsolatedTest;

} // namespace

TEST_F(AnimationTest, AGifsFramesDelaysAndLoopsAreReadAsTheFileSaysWithShortDelaysShownAt100Ms) {
    const std::string path =
        save(folders.Home() + "/moving.gif", writeWithLibrary(gifFrames(), 40, 30, 3, "GIF"));
    const auto decoder = openAnimation(path);
    ASSERT_TRUE(decoder);
    EXPECT_EQ(decoder->Format(), "GIF");
    ASSERT_EQ(decoder->FrameCount(), 4u);
    EXPECT_EQ(decoder->Columns(), 40u);
    EXPECT_EQ(decoder->Rows(), 30u);
    // 20 cs; 0 and 10 ms are too short to mean anything; 50 ms stays.
    EXPECT_EQ(decoder->DelayMs(0), 200);
    EXPECT_EQ(decoder->DelayMs(1), 100);
    EXPECT_EQ(decoder->DelayMs(2), 100);
    EXPECT_EQ(decoder->DelayMs(3), 50);
    EXPECT_EQ(decoder->LoopCount(), 3);

    const std::string forever =
        save(folders.Home() + "/forever.gif", writeWithLibrary(gifFrames(), 40, 30, 0, "GIF"));
    EXPECT_EQ(openAnimation(forever)->LoopCount(), 0);
}

TEST_F(AnimationTest, GifFramesAreComposedByTheirDisposalAndTransparency) {
    const auto decoder = openAnimation(
        save(folders.Home() + "/moving.gif", writeWithLibrary(gifFrames(), 40, 30, 0, "GIF")));
    ASSERT_TRUE(decoder);
    std::array<std::unique_ptr<engine::Image>, 4> frames;
    for (std::size_t k = 0; k < frames.size(); ++k) {
        frames[k] = decoder->DecodeFrame(k);
        ASSERT_TRUE(frames[k]) << "frame " << k;
        ASSERT_EQ(frames[k]->columns, 40u);
        ASSERT_EQ(frames[k]->rows, 30u);
        EXPECT_EQ(frames[k]->magick, "GIF");
    }
    EXPECT_TRUE(looksLike(*frames[0], 0, 0, kRed));
    EXPECT_TRUE(looksLike(*frames[0], 39, 29, kRed));
    // The green square on the red.
    EXPECT_TRUE(looksLike(*frames[1], 5, 5, kGreen));
    EXPECT_TRUE(looksLike(*frames[1], 14, 14, kGreen));
    EXPECT_TRUE(looksLike(*frames[1], 15, 15, kRed));
    // The green cleared to nothing once shown; the blue square drawn.
    EXPECT_TRUE(looksLike(*frames[2], 10, 10, kClear));
    EXPECT_TRUE(looksLike(*frames[2], 25, 15, kBlue));
    EXPECT_TRUE(looksLike(*frames[2], 4, 4, kRed));
    // The blue undone (red again, not cleared); the hole stays; the yellow square's own
    // transparent pixel shows the red under it.
    EXPECT_TRUE(looksLike(*frames[3], 25, 15, kRed));
    EXPECT_TRUE(looksLike(*frames[3], 12, 12, kClear));
    EXPECT_TRUE(looksLike(*frames[3], 5, 5, kYellow));
    EXPECT_TRUE(looksLike(*frames[3], 1, 1, kRed));
    EXPECT_TRUE(looksLike(*frames[3], 9, 9, kYellow));

    // Going back starts again from the first frame and gives the same pixels.
    const auto again = decoder->DecodeFrame(1);
    ASSERT_TRUE(again);
    EXPECT_EQ(std::memcmp(again->pixels.get(), frames[1]->pixels.get(), 40 * 30 * 4), 0);
    const auto last = decoder->DecodeFrame(3);
    ASSERT_TRUE(last);
    EXPECT_EQ(std::memcmp(last->pixels.get(), frames[3]->pixels.get(), 40 * 30 * 4), 0);
}

// The GIF frames are expanded by the program's own LZW reader: every pixel of every frame
// equals what the library's own reader and coalescing give, interlaced or not, for frames of
// many colours (long codes, full tables) placed anywhere with every disposal.
TEST_F(AnimationTest, GifFramesEqualTheLibrarysOwnCoalescedFrames) {
    const int width = 97, height = 61;
    const DisposeType disposals[] = {NoneDispose, BackgroundDispose, PreviousDispose,
                                     NoneDispose, BackgroundDispose, NoneDispose};
    for (const InterlaceType interlace : {NoInterlace, LineInterlace}) {
        ::Image* list = NewImageList();
        ImageInfo* info = AcquireImageInfo();
        ::ExceptionInfo* exception = AcquireExceptionInfo();
        std::uint32_t state = 2463534242u;
        for (int k = 0; k < 6; ++k) {
            // The first frame covers the screen; the others parts of it, some with clear pixels.
            const int w = k == 0 ? width : 20 + 9 * k, h = k == 0 ? height : 10 + 7 * k;
            ::Image* frame = AcquireImage(info);
            SetImageExtent(frame, w, h);
            if (k % 2 == 1) {
                SetImageAlphaChannel(frame, OpaqueAlphaChannel);
            }
            for (int y = 0; y < h; ++y) {
                PixelPacket* row = GetAuthenticPixels(frame, 0, y, w, 1, exception);
                for (int x = 0; x < w; ++x) {
                    state ^= state << 13;
                    state ^= state >> 17;
                    state ^= state << 5;
                    // 6 x 6 x 6 levels: a full table and long codes.
                    row[x].red = static_cast<Quantum>((state % 6) * 51 * 257);
                    row[x].green = static_cast<Quantum>((state / 6 % 6) * 51 * 257);
                    row[x].blue = static_cast<Quantum>((state / 36 % 6) * 51 * 257);
                    row[x].opacity =
                        k % 2 == 1 && state % 7 == 0 ? TransparentOpacity : OpaqueOpacity;
                }
                SyncAuthenticPixels(frame, exception);
            }
            frame->page = RectangleInfo{static_cast<size_t>(width), static_cast<size_t>(height),
                                        k == 0 ? 0 : 3 * k, k == 0 ? 0 : 2 * k};
            frame->dispose = disposals[k];
            frame->delay = 5;
            frame->interlace = interlace;
            AppendImageToList(&list, frame);
        }
        std::snprintf(info->magick, sizeof info->magick, "GIF");
        std::snprintf(list->magick, sizeof list->magick, "GIF");
        info->interlace = interlace;
        size_t length = 0;
        void* blob = ImagesToBlob(info, list, &length, exception);
        const std::string bytes(static_cast<const char*>(blob), length);
        RelinquishMagickMemory(blob);
        DestroyImageList(list);

        ::Image* read = BlobToImage(info, bytes.data(), bytes.size(), exception);
        ASSERT_NE(read, nullptr);
        ::Image* coalesced = CoalesceImages(read, exception);
        ASSERT_NE(coalesced, nullptr);
        const auto decoder = openAnimation(save(folders.Home() + "/noise.gif", bytes));
        ASSERT_TRUE(decoder);
        ASSERT_EQ(decoder->FrameCount(), GetImageListLength(coalesced));
        std::size_t k = 0;
        for (::Image* frame = coalesced; frame != nullptr; frame = GetNextImageInList(frame)) {
            const auto ours = decoder->DecodeFrame(k);
            ASSERT_TRUE(ours);
            ASSERT_EQ(ours->columns, frame->columns);
            ASSERT_EQ(ours->rows, frame->rows);
            int differences = 0;
            for (std::size_t y = 0; y < frame->rows; ++y) {
                const PixelPacket* row = GetVirtualPixels(frame, 0, static_cast<ssize_t>(y),
                                                          frame->columns, 1, exception);
                for (std::size_t x = 0; x < frame->columns; ++x) {
                    const Rgba got = pixelAt(*ours, static_cast<int>(x), static_cast<int>(y));
                    const bool clear =
                        frame->matte != MagickFalse && row[x].opacity == TransparentOpacity;
                    const Rgba want{row[x].red / 257, row[x].green / 257, row[x].blue / 257,
                                    clear ? 0 : 255};
                    const bool same = clear ? got.a == 0
                                            : got.r == want.r && got.g == want.g &&
                                                  got.b == want.b && got.a == 255;
                    differences += same ? 0 : 1;
                }
            }
            EXPECT_EQ(differences, 0) << "frame " << k << (interlace ? " interlaced" : "");
            ++k;
        }
        DestroyImageList(coalesced);
        DestroyImageList(read);
        DestroyExceptionInfo(exception);
        DestroyImageInfo(info);
    }
}

TEST_F(AnimationTest, ApngFramesBlendAndDisposeAsTheirControlChunksSay) {
    const std::vector<ApngFrame> frames = {
        {{0, 0, 20, 20, kRed, 0, NoneDispose}, 3, 10, 0, 0},
        // Half-transparent green laid over, undone afterwards; a delay of 0 / 0 (no time).
        {{5, 5, 10, 10, {0, 255, 0, 128}, 0, NoneDispose}, 0, 0, 2, 1},
        // Blue replacing what it covers; 1 / 100 s.
        {{0, 0, 10, 10, kBlue, 0, NoneDispose}, 1, 100, 0, 0},
    };
    const auto decoder =
        openAnimation(save(folders.Home() + "/moving.png", makeApng(frames, 20, 20, 2)));
    ASSERT_TRUE(decoder);
    EXPECT_EQ(decoder->Format(), "PNG");
    ASSERT_EQ(decoder->FrameCount(), 3u);
    EXPECT_EQ(decoder->DelayMs(0), 300);
    EXPECT_EQ(decoder->DelayMs(1), 100);
    EXPECT_EQ(decoder->DelayMs(2), 100);
    EXPECT_EQ(decoder->LoopCount(), 2);
    const auto first = decoder->DecodeFrame(0);
    const auto second = decoder->DecodeFrame(1);
    const auto third = decoder->DecodeFrame(2);
    ASSERT_TRUE(first && second && third);
    EXPECT_TRUE(looksLike(*first, 10, 10, kRed));
    // Green at half strength over red.
    EXPECT_TRUE(looksLike(*second, 10, 10, {127, 128, 0, 255}));
    EXPECT_TRUE(looksLike(*second, 4, 4, kRed));
    // The green undone; blue over the corner.
    EXPECT_TRUE(looksLike(*third, 12, 12, kRed));
    EXPECT_TRUE(looksLike(*third, 2, 2, kBlue));
}

TEST_F(AnimationTest, AnimatedWebpFramesBlendAndDisposeAsTheirFrameHeadersSay) {
    const std::vector<WebpFrame> frames = {
        {{0, 0, 20, 20, kRed, 0, NoneDispose}, 70, false, false},
        // Cleared once shown.
        {{4, 4, 8, 8, kGreen, 0, NoneDispose}, 0, true, false},
        {{10, 10, 6, 6, kBlue, 0, NoneDispose}, 10, false, true},
    };
    const auto decoder =
        openAnimation(save(folders.Home() + "/moving.webp", makeWebp(frames, 20, 20, 4)));
    ASSERT_TRUE(decoder);
    EXPECT_EQ(decoder->Format(), "WEBP");
    ASSERT_EQ(decoder->FrameCount(), 3u);
    EXPECT_EQ(decoder->DelayMs(0), 70);
    EXPECT_EQ(decoder->DelayMs(1), 100);
    EXPECT_EQ(decoder->DelayMs(2), 100);
    EXPECT_EQ(decoder->LoopCount(), 4);
    const auto second = decoder->DecodeFrame(1);
    const auto third = decoder->DecodeFrame(2);
    ASSERT_TRUE(second && third);
    EXPECT_TRUE(looksLike(*second, 6, 6, kGreen));
    EXPECT_TRUE(looksLike(*second, 2, 2, kRed));
    EXPECT_TRUE(looksLike(*third, 6, 6, kClear));
    EXPECT_TRUE(looksLike(*third, 12, 12, kBlue));
    EXPECT_TRUE(looksLike(*third, 2, 2, kRed));
}

// The library's MNG writer and reader do not keep every delay as given (the first frames'
// become 1 cs): the delays are checked against what the library itself reads.
TEST_F(AnimationTest, MngFramesAndDelaysAreWhatTheLibraryReads) {
    const std::vector<FrameShape> frames = {
        {0, 0, 16, 16, kRed, 30, NoneDispose},
        {0, 0, 16, 16, kGreen, 50, NoneDispose},
        {0, 0, 16, 16, kBlue, 70, NoneDispose},
    };
    const std::string bytes = writeWithLibrary(frames, 16, 16, 0, "MNG");
    const auto decoder = openAnimation(save(folders.Home() + "/moving.mng", bytes));
    ASSERT_TRUE(decoder);
    EXPECT_EQ(decoder->Format(), "MNG");
    ASSERT_EQ(decoder->FrameCount(), 3u);
    ImageInfo* info = AcquireImageInfo();
    ::ExceptionInfo* exception = AcquireExceptionInfo();
    std::snprintf(info->magick, sizeof info->magick, "MNG");
    ::Image* list = BlobToImage(info, bytes.data(), bytes.size(), exception);
    ASSERT_NE(list, nullptr);
    std::size_t k = 0;
    for (const ::Image* frame = list; frame != nullptr; frame = GetNextImageInList(frame), ++k) {
        const int ms = static_cast<int>(frame->delay * 1000 / frame->ticks_per_second);
        EXPECT_EQ(decoder->DelayMs(k), ms <= 10 ? 100 : ms) << "frame " << k;
    }
    DestroyImageList(list);
    DestroyExceptionInfo(exception);
    DestroyImageInfo(info);
    // Not every delay may come out as 1 cs: the last one's does.
    EXPECT_EQ(decoder->DelayMs(2), 700);
    const Rgba colours[] = {kRed, kGreen, kBlue};
    for (std::size_t k = 0; k < 3; ++k) {
        const auto frame = decoder->DecodeFrame(k);
        ASSERT_TRUE(frame);
        EXPECT_TRUE(looksLike(*frame, 8, 8, colours[k])) << "frame " << k;
    }
}

TEST_F(AnimationTest, StillImagesAreOneFrameAndBrokenContainersAreRefusedOrCutShort) {
    const std::string still =
        save(folders.Home() + "/still.gif", writeWithLibrary({gifFrames()[0]}, 40, 30, 0, "GIF"));
    const auto one = openAnimation(still);
    ASSERT_TRUE(one);
    EXPECT_EQ(one->FrameCount(), 1u);
    const auto frame = one->DecodeFrame(0);
    ASSERT_TRUE(frame);
    EXPECT_TRUE(looksLike(*frame, 3, 3, kRed));
    const auto png = openAnimation(save(folders.Home() + "/still.png",
                                        writeWithLibrary({gifFrames()[1]}, 10, 10, 0, "PNG32")));
    ASSERT_TRUE(png);
    EXPECT_EQ(png->FrameCount(), 1u);
    const auto pngFrame = png->DecodeFrame(0);
    ASSERT_TRUE(pngFrame);
    EXPECT_TRUE(looksLike(*pngFrame, 3, 3, kGreen));

    // Cut anywhere, a GIF gives the frames that were whole (or fewer) and never reads past its
    // end; a file with no image at all is refused.
    const std::string whole = writeWithLibrary(gifFrames(), 40, 30, 0, "GIF");
    for (std::size_t size = 1; size < whole.size(); size += 7) {
        const std::string path = save(folders.Home() + "/cut.gif", whole.substr(0, size));
        engine::DecodeResult failure;
        const auto cut = engine::AnimationDecoder::Open(path, nullptr, failure);
        if (!cut) {
            EXPECT_NE(failure.failure, engine::DecodeFailure::None);
            continue;
        }
        EXPECT_LE(cut->FrameCount(), 4u);
        for (std::size_t k = 0; k < cut->FrameCount(); ++k) {
            cut->DecodeFrame(k); // may be null for a frame cut short; must not crash
        }
    }
    engine::DecodeResult failure;
    EXPECT_FALSE(engine::AnimationDecoder::Open(folders.Home() + "/missing.gif", nullptr, failure));
    EXPECT_EQ(failure.failure, engine::DecodeFailure::CannotOpen);
}
