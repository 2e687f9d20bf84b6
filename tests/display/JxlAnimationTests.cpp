// Animated JPEG XL files made here with libjxl's encoder play through the animation decoder as
// GIFs do: every frame composed whole and upright, with its colours and the duration its header
// gives in ticks.
#include "support/TestSupport.h"

#include "OpenAnimation.h"
#include "display/AnimationDecoder.h"
#include "display/ImageDecoder.h"

#include <jxl/encode.h>

#include <cstdlib>
#include <fstream>

using testsupport::IsolatedTest;

namespace {

struct Colour {
    std::uint8_t r, g, b, a;
};

// One frame to encode: a rectangle of the canvas (the whole of it unless cropped) of one colour.
struct Layer {
    std::uint32_t x = 0, y = 0, width = 0, height = 0;
    Colour colour{};
    std::uint32_t ticks = 0;
    JxlBlendMode blend = JXL_BLEND_REPLACE;
};
// Whole frames are kept in this reference slot, which cropped ones are laid over.
constexpr std::uint32_t kCanvasSlot = 1;

struct Animation {
    std::uint32_t width = 48, height = 32;
    std::uint32_t tps_numerator = 1000, tps_denominator = 1, loops = 0;
    JxlOrientation orientation = JXL_ORIENT_IDENTITY;
    bool lossless = true;
    std::vector<Layer> layers;
};

// The animation as a JPEG XL file's bytes; empty when the encoder refuses it.
std::string encodeJxl(const Animation& animation) {
    JxlEncoder* encoder = JxlEncoderCreate(nullptr);
    JxlBasicInfo info;
    JxlEncoderInitBasicInfo(&info);
    info.xsize = animation.width;
    info.ysize = animation.height;
    info.bits_per_sample = 8;
    info.num_color_channels = 3;
    info.num_extra_channels = 1;
    info.alpha_bits = 8;
    info.uses_original_profile = animation.lossless ? JXL_TRUE : JXL_FALSE;
    info.orientation = animation.orientation;
    info.have_animation = JXL_TRUE;
    info.animation.tps_numerator = animation.tps_numerator;
    info.animation.tps_denominator = animation.tps_denominator;
    info.animation.num_loops = animation.loops;
    JxlColorEncoding srgb;
    JxlColorEncodingSetToSRGB(&srgb, JXL_FALSE);
    bool ok = JxlEncoderSetBasicInfo(encoder, &info) == JXL_ENC_SUCCESS &&
              JxlEncoderSetColorEncoding(encoder, &srgb) == JXL_ENC_SUCCESS;
    JxlEncoderFrameSettings* settings = JxlEncoderFrameSettingsCreate(encoder, nullptr);
    ok = ok &&
         (animation.lossless ? JxlEncoderSetFrameLossless(settings, JXL_TRUE) == JXL_ENC_SUCCESS
                             : JxlEncoderSetFrameDistance(settings, 1.0f) == JXL_ENC_SUCCESS);
    const JxlPixelFormat format{4, JXL_TYPE_UINT8, JXL_NATIVE_ENDIAN, 0};
    for (const Layer& layer : animation.layers) {
        JxlFrameHeader header;
        JxlEncoderInitFrameHeader(&header);
        header.duration = layer.ticks;
        const bool cropped = layer.width != 0;
        const std::uint32_t w = cropped ? layer.width : animation.width;
        const std::uint32_t h = cropped ? layer.height : animation.height;
        if (cropped) {
            header.layer_info.have_crop = JXL_TRUE;
            header.layer_info.crop_x0 = static_cast<std::int32_t>(layer.x);
            header.layer_info.crop_y0 = static_cast<std::int32_t>(layer.y);
            header.layer_info.xsize = w;
            header.layer_info.ysize = h;
            header.layer_info.blend_info.source = kCanvasSlot;
        } else {
            header.layer_info.save_as_reference = kCanvasSlot;
        }
        header.layer_info.blend_info.blendmode = layer.blend;
        std::vector<std::uint8_t> pixels;
        for (std::size_t i = 0; i < std::size_t{w} * h; ++i) {
            pixels.insert(pixels.end(),
                          {layer.colour.r, layer.colour.g, layer.colour.b, layer.colour.a});
        }
        ok = ok && JxlEncoderSetFrameHeader(settings, &header) == JXL_ENC_SUCCESS &&
             JxlEncoderAddImageFrame(settings, &format, pixels.data(), pixels.size()) ==
                 JXL_ENC_SUCCESS;
    }
    JxlEncoderCloseInput(encoder);
    std::string out(1 << 16, '\0');
    std::size_t used = 0;
    JxlEncoderStatus status = JXL_ENC_NEED_MORE_OUTPUT;
    while (ok && status == JXL_ENC_NEED_MORE_OUTPUT) {
        auto* next = reinterpret_cast<std::uint8_t*>(out.data() + used);
        std::size_t room = out.size() - used;
        status = JxlEncoderProcessOutput(encoder, &next, &room);
        used = out.size() - room;
        out.resize(out.size() * 2);
    }
    JxlEncoderDestroy(encoder);
    out.resize(used);
    return ok && status == JXL_ENC_SUCCESS ? out : std::string();
}

std::string save(const std::string& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary) << bytes;
    return path;
}

// The record's pixel at (x, y) as red, green, blue, alpha.
Colour at(const engine::Image& image, std::size_t x, std::size_t y) {
    const std::uint8_t* p = image.Row(y) + x * 4;
    return Colour{p[2], p[1], p[0], p[3]};
}

void expectNear(const Colour& got, const Colour& want, int tolerance, const std::string& where) {
    EXPECT_NEAR(got.r, want.r, tolerance) << where;
    EXPECT_NEAR(got.g, want.g, tolerance) << where;
    EXPECT_NEAR(got.b, want.b, tolerance) << where;
    EXPECT_NEAR(got.a, want.a, tolerance) << where;
}

constexpr Colour kRed{230, 20, 30, 255}, kGreen{20, 200, 40, 255}, kBlue{30, 40, 220, 255},
    kClearYellow{250, 240, 10, 0};

// Three frames of 100, 250 and 40 ms: red, green, then a blue square laid over the green.
Animation threeFrames() {
    Animation animation;
    animation.loops = 3;
    animation.layers = {Layer{0, 0, 0, 0, kRed, 100}, Layer{0, 0, 0, 0, kGreen, 250},
                        Layer{8, 4, 16, 12, kBlue, 40}};
    return animation;
}

using JxlAnimationTest = IsolatedTest;

} // namespace

TEST_F(JxlAnimationTest, FramesComeComposedWithTheirColoursAndTheDurationsOfTheirTicks) {
    for (const bool lossless : {true, false}) {
        SCOPED_TRACE(lossless ? "lossless" : "lossy (XYB)");
        Animation animation = threeFrames();
        animation.lossless = lossless;
        const std::string bytes = encodeJxl(animation);
        ASSERT_FALSE(bytes.empty()) << "the encoder refused the animation";
        const auto decoder = openAnimation(save(folders.Home() + "/moving.jxl", bytes));
        ASSERT_TRUE(decoder);
        EXPECT_EQ(decoder->Format(), "JXL");
        ASSERT_EQ(decoder->FrameCount(), 3u);
        EXPECT_EQ(decoder->Columns(), 48u);
        EXPECT_EQ(decoder->Rows(), 32u);
        EXPECT_EQ(decoder->DelayMs(0), 100);
        EXPECT_EQ(decoder->DelayMs(1), 250);
        EXPECT_EQ(decoder->DelayMs(2), 40);
        EXPECT_EQ(decoder->LoopCount(), 3);

        // XYB at distance 1 moves a dark channel beside a bright one by a few levels.
        const int tolerance = lossless ? 0 : 10;
        // In order, then back to the start, as a loop plays them.
        for (const std::size_t k : {0, 1, 2, 0, 2}) {
            const std::string frame = "frame " + std::to_string(k);
            const std::unique_ptr<engine::Image> image = decoder->DecodeFrame(k);
            ASSERT_TRUE(image) << frame;
            ASSERT_EQ(image->columns, 48u);
            ASSERT_EQ(image->rows, 32u);
            EXPECT_EQ(image->magick, "JXL");
            const Colour whole = k == 0 ? kRed : kGreen;
            expectNear(at(*image, 2, 2), whole, tolerance, frame + " corner");
            expectNear(at(*image, 45, 29), whole, tolerance, frame + " far corner");
            expectNear(at(*image, 16, 10), k == 2 ? kBlue : whole, tolerance, frame + " middle");
        }
    }
}

TEST_F(JxlAnimationTest, TicksOtherThanMillisecondsAlphaAndOrientationAreHonoured) {
    Animation animation;
    animation.tps_numerator = 30000; // 29.97 frames a second, as video has it
    animation.tps_denominator = 1001;
    animation.orientation = JXL_ORIENT_ROTATE_90_CW;
    animation.layers = {Layer{0, 0, 0, 0, kClearYellow, 1},
                        Layer{0, 0, 24, 32, kBlue, 3}}; // the stored left half
    const std::string bytes = encodeJxl(animation);
    ASSERT_FALSE(bytes.empty());
    const auto decoder = openAnimation(save(folders.Home() + "/turned.jxl", bytes));
    ASSERT_TRUE(decoder);
    ASSERT_EQ(decoder->FrameCount(), 2u);
    EXPECT_EQ(decoder->LoopCount(), 0); // for ever
    // A tick is 1001 / 30 ms.
    EXPECT_EQ(decoder->DelayMs(0), 33);
    EXPECT_EQ(decoder->DelayMs(1), 100);
    ASSERT_EQ(decoder->Columns(), 32u);
    ASSERT_EQ(decoder->Rows(), 48u);

    const std::unique_ptr<engine::Image> first = decoder->DecodeFrame(0);
    ASSERT_TRUE(first);
    EXPECT_EQ(at(*first, 10, 10).a, 0);
    // Turned a quarter clockwise, the stored left half is the upright top half.
    const std::unique_ptr<engine::Image> second = decoder->DecodeFrame(1);
    ASSERT_TRUE(second);
    ASSERT_EQ(second->columns, 32u);
    expectNear(at(*second, 16, 5), kBlue, 0, "top");
    EXPECT_EQ(at(*second, 16, 40).a, 0) << "bottom";
}

TEST_F(JxlAnimationTest, OneFrameIsAStillAndAFrameCutShortLeavesTheOneBeforeOnDisplay) {
    Animation still = threeFrames();
    still.layers.resize(1);
    const auto one = openAnimation(save(folders.Home() + "/still.jxl", encodeJxl(still)));
    ASSERT_TRUE(one);
    EXPECT_EQ(one->FrameCount(), 1u);
    const std::unique_ptr<engine::Image> image = one->DecodeFrame(0);
    ASSERT_TRUE(image);
    expectNear(at(*image, 3, 3), kRed, 0, "still");

    // Cut inside the last frame: the frames before it play, and the cut one leaves the one
    // before it on display.
    const std::string whole = encodeJxl(threeFrames());
    const std::string path = save(folders.Home() + "/cut.jxl", whole.substr(0, whole.size() - 8));
    engine::DecodeResult failure;
    const auto cut = engine::AnimationDecoder::Open(path, nullptr, failure);
    ASSERT_TRUE(cut) << failure.message;
    ASSERT_EQ(cut->FrameCount(), 3u);
    for (std::size_t k = 0; k < 3; ++k) {
        const std::unique_ptr<engine::Image> frame = cut->DecodeFrame(k);
        ASSERT_TRUE(frame) << k;
        expectNear(at(*frame, 16, 10), k == 0 ? kRed : kGreen, 0, "frame " + std::to_string(k));
    }
}
