#include "FormatModule.h"

#include <jxl/decode.h>
#include <jxl/thread_parallel_runner.h>

#include <algorithm>
#include <cmath>
#include <tuple>
#include <utility>
#include <vector>

namespace engine {
namespace {

const char* const kFormat = "JXL";

// Input is handed over in pieces of this many bytes at least (a sixteenth of the file for larger
// ones), so that a cancel is seen between them: one call would decode the whole frame.
constexpr std::size_t kInputChunkBytes = std::size_t{1} << 20;

struct DecoderDeleter {
    void operator()(JxlDecoder* decoder) const { JxlDecoderDestroy(decoder); }
};
struct RunnerDeleter {
    void operator()(void* runner) const { JxlThreadParallelRunnerDestroy(runner); }
};

DecodeResult damaged(const char* what) {
    return DirectFailure(DecodeFailure::Damaged,
                         std::string("damaged: the JPEG XL decoder ") + what);
}

// Upright size: with its orientation applied by the decoder, 5 to 8 swap the sides.
std::pair<std::size_t, std::size_t> uprightSize(const JxlBasicInfo& info) {
    const bool turned = info.orientation >= JXL_ORIENT_TRANSPOSE;
    return turned ? std::make_pair<std::size_t, std::size_t>(info.ysize, info.xsize)
                  : std::make_pair<std::size_t, std::size_t>(info.xsize, info.ysize);
}

bool isSrgb(const JxlColorEncoding& encoding) {
    return encoding.color_space == JXL_COLOR_SPACE_RGB &&
           encoding.white_point == JXL_WHITE_POINT_D65 &&
           encoding.primaries == JXL_PRIMARIES_SRGB &&
           encoding.transfer_function == JXL_TRANSFER_FUNCTION_SRGB;
}

// The RGBA the decoder writes, as the record's BGRA.
void swapRedBlue(Image& record) {
    std::uint8_t* pixel = record.pixels.get();
    const std::size_t count = record.columns * record.rows;
    for (std::size_t i = 0; i < count; ++i, pixel += 4) {
        std::swap(pixel[0], pixel[2]);
    }
}

// The profile of the pixels as decoded; empty for sRGB, which needs no conversion.
std::string dataProfile(const JxlDecoder* decoder) {
    JxlColorEncoding encoding{};
    if (JxlDecoderGetColorAsEncodedProfile(decoder, nullptr, JXL_COLOR_PROFILE_TARGET_DATA,
                                           &encoding) == JXL_DEC_SUCCESS &&
        isSrgb(encoding)) {
        return {};
    }
    std::size_t size = 0;
    if (JxlDecoderGetICCProfileSize(decoder, nullptr, JXL_COLOR_PROFILE_TARGET_DATA, &size) !=
            JXL_DEC_SUCCESS ||
        size == 0 || size > (std::size_t{4} << 20)) {
        return {};
    }
    std::string profile(size, '\0');
    if (JxlDecoderGetColorAsICCProfile(decoder, nullptr, JXL_COLOR_PROFILE_TARGET_DATA,
                                       reinterpret_cast<std::uint8_t*>(profile.data()),
                                       size) != JXL_DEC_SUCCESS) {
        return {};
    }
    return profile;
}

// The basic information alone, from the header.
bool readBasicInfo(const unsigned char* data, std::size_t size, JxlBasicInfo& info) {
    std::unique_ptr<JxlDecoder, DecoderDeleter> decoder(JxlDecoderCreate(nullptr));
    if (!decoder ||
        JxlDecoderSubscribeEvents(decoder.get(), JXL_DEC_BASIC_INFO) != JXL_DEC_SUCCESS ||
        JxlDecoderSetInput(decoder.get(), data, size) != JXL_DEC_SUCCESS) {
        return false;
    }
    JxlDecoderCloseInput(decoder.get());
    return JxlDecoderProcessInput(decoder.get()) == JXL_DEC_BASIC_INFO &&
           JxlDecoderGetBasicInfo(decoder.get(), &info) == JXL_DEC_SUCCESS;
}

// Pixels coded in XYB can be had in any colour space: sRGB, so that none of them needs
// converting afterwards. Called on the colour encoding event.
void preferSrgb(JxlDecoder* decoder, const JxlBasicInfo& info) {
    JxlColorEncoding srgb{};
    srgb.color_space = info.num_color_channels == 1 ? JXL_COLOR_SPACE_GRAY : JXL_COLOR_SPACE_RGB;
    srgb.white_point = JXL_WHITE_POINT_D65;
    srgb.primaries = JXL_PRIMARIES_SRGB;
    srgb.transfer_function = JXL_TRANSFER_FUNCTION_SRGB;
    srgb.rendering_intent = JXL_RENDERING_INTENT_PERCEPTUAL;
    JxlDecoderSetPreferredColorProfile(decoder, &srgb);
}

class LibjxlFrames final : public JxlFrames {
public:
    static std::unique_ptr<JxlFrames> Open(const unsigned char* data, std::size_t size,
                                           const std::atomic<bool>* cancel, DecodeResult& failure);
    ~LibjxlFrames() override;
    std::unique_ptr<Image> Frame(std::size_t k, const std::atomic<bool>* cancel) override;

private:
    // A fresh decoder at the file's start.
    bool restart();

    const unsigned char* data_ = nullptr;
    std::size_t size_ = 0;
    JxlDecoder* decoder_ = nullptr;
    void* runner_ = nullptr; // the decoder's thread pool
    bool xyb_ = false;
    std::size_t next_ = 0; // the frame the decoder gives next
};

} // namespace

namespace loaded {

DecodeResult DecodeJpegXl(const DirectRequest& request) {
    std::unique_ptr<JxlDecoder, DecoderDeleter> decoder(JxlDecoderCreate(nullptr));
    std::unique_ptr<void, RunnerDeleter> runner(
        JxlThreadParallelRunnerCreate(nullptr, JxlThreadParallelRunnerDefaultNumWorkerThreads()));
    if (!decoder || !runner) {
        return DirectFailure(DecodeFailure::OutOfMemory, "not enough memory to decode it");
    }
    JxlDecoder* jxl = decoder.get();
    const bool firstView = request.view.columns != 0 && request.view.rows != 0;
    int events = JXL_DEC_BASIC_INFO | JXL_DEC_COLOR_ENCODING | JXL_DEC_FULL_IMAGE;
    if (firstView) {
        events |= JXL_DEC_FRAME_PROGRESSION;
    }
    if (JxlDecoderSubscribeEvents(jxl, events) != JXL_DEC_SUCCESS ||
        JxlDecoderSetParallelRunner(jxl, JxlThreadParallelRunner, runner.get()) !=
            JXL_DEC_SUCCESS ||
        // Only a still picture (or an animation's first frame) is shown, composed whole.
        JxlDecoderSetCoalescing(jxl, JXL_TRUE) != JXL_DEC_SUCCESS) {
        return damaged("cannot be set up");
    }
    if (firstView) {
        // The 1:8 pass: the whole picture, blurred, long before its detail is decoded.
        JxlDecoderSetProgressiveDetail(jxl, kDC);
    }
    const JxlPixelFormat format{4, JXL_TYPE_UINT8, JXL_NATIVE_ENDIAN, 0};
    JxlBasicInfo info{};
    DecodeResult result;
    std::size_t offset = 0; // input handed over so far and consumed
    std::size_t end = 0;    // input handed over
    const std::size_t chunk = std::max(kInputChunkBytes, request.size / 16);
    auto handOver = [&] {
        end = std::min(request.size, std::max(end, offset) + chunk);
        JxlDecoderSetInput(jxl, request.data + offset, end - offset);
        if (end == request.size) {
            JxlDecoderCloseInput(jxl);
        }
    };
    handOver();
    bool finished = false;
    while (!finished) {
        if (Cancelled(request.cancel)) {
            return DirectFailure(DecodeFailure::Cancelled, {});
        }
        const JxlDecoderStatus status = JxlDecoderProcessInput(jxl);
        switch (status) {
        case JXL_DEC_BASIC_INFO: {
            if (JxlDecoderGetBasicInfo(jxl, &info) != JXL_DEC_SUCCESS) {
                return damaged("cannot read the header");
            }
            const auto [columns, rows] = uprightSize(info);
            if (columns == 0 || rows == 0) {
                return DirectFailure(DecodeFailure::Damaged,
                                     "damaged: the file holds an image of no pixels");
            }
            if (DecodeResult refusal = request.refuse(columns, rows);
                refusal.failure != DecodeFailure::None) {
                return refusal;
            }
            if (info.alpha_premultiplied) {
                JxlDecoderSetUnpremultiplyAlpha(jxl, JXL_TRUE);
            }
            break;
        }
        case JXL_DEC_COLOR_ENCODING: {
            if (!info.uses_original_profile) {
                preferSrgb(jxl, info);
            }
            break;
        }
        case JXL_DEC_NEED_IMAGE_OUT_BUFFER: {
            const auto [columns, rows] = uprightSize(info);
            std::size_t bytes = 0;
            if (JxlDecoderImageOutBufferSize(jxl, &format, &bytes) != JXL_DEC_SUCCESS ||
                bytes != columns * rows * 4) {
                return damaged("gives a picture of another size than its header's");
            }
            result.image = request.make_record(columns, rows);
            if (!result.image) {
                return DirectFailure(DecodeFailure::OutOfMemory, "not enough memory to decode it",
                                     "the pixels could not be allocated");
            }
            if (JxlDecoderSetImageOutBuffer(jxl, &format, result.image->pixels.get(), bytes) !=
                JXL_DEC_SUCCESS) {
                return damaged("refuses the picture's memory");
            }
            break;
        }
        case JXL_DEC_FRAME_PROGRESSION:
            if (result.image && JxlDecoderFlushImage(jxl) == JXL_DEC_SUCCESS) {
                result.reduced = true;
                result.rendition = "first pass";
                finished = true;
                break;
            }
            break;
        case JXL_DEC_FULL_IMAGE:
            finished = true;
            break;
        case JXL_DEC_SUCCESS:
            if (!result.image) {
                return damaged("found no picture in the file");
            }
            finished = true;
            break;
        case JXL_DEC_NEED_MORE_INPUT: {
            const std::size_t unread = JxlDecoderReleaseInput(jxl);
            offset = end - unread;
            if (end < request.size) {
                handOver();
                break;
            }
            // Cut short: what was decoded so far is shown, when anything was.
            if (result.image && JxlDecoderFlushImage(jxl) == JXL_DEC_SUCCESS) {
                result.damaged = true;
                result.message = "damaged: the file ends before the image does";
                finished = true;
                break;
            }
            return DirectFailure(DecodeFailure::Damaged,
                                 "damaged: the file ends before the image does");
        }
        case JXL_DEC_ERROR:
            return damaged("gave up on it");
        default:
            break; // events not subscribed to
        }
    }
    swapRedBlue(*result.image);
    result.icc_profile = dataProfile(jxl);
    result.image->magick = kFormat;
    const auto [columns, rows] = uprightSize(info);
    result.full_columns = columns;
    result.full_rows = rows;
    return result;
}

DecodeResult PingJpegXl(const unsigned char* data, std::size_t size) {
    JxlBasicInfo info{};
    if (!readBasicInfo(data, size, info) || info.xsize == 0 || info.ysize == 0) {
        return damaged("cannot read the header");
    }
    DecodeResult result;
    result.image = std::make_unique<Image>();
    std::tie(result.image->columns, result.image->rows) = uprightSize(info);
    result.image->magick = kFormat;
    return result;
}

bool JxlMayBeAnimated(const unsigned char* data, std::size_t size) {
    std::unique_ptr<JxlDecoder, DecoderDeleter> decoder(JxlDecoderCreate(nullptr));
    if (!decoder ||
        JxlDecoderSubscribeEvents(decoder.get(), JXL_DEC_BASIC_INFO) != JXL_DEC_SUCCESS ||
        JxlDecoderSetInput(decoder.get(), data, size) != JXL_DEC_SUCCESS) {
        return true;
    }
    JxlBasicInfo info{};
    if (JxlDecoderProcessInput(decoder.get()) != JXL_DEC_BASIC_INFO ||
        JxlDecoderGetBasicInfo(decoder.get(), &info) != JXL_DEC_SUCCESS) {
        return true;
    }
    return info.have_animation != JXL_FALSE;
}

std::unique_ptr<JxlFrames> OpenJxlFrames(const unsigned char* data, std::size_t size,
                                         const std::atomic<bool>* cancel, DecodeResult& failure) {
    return LibjxlFrames::Open(data, size, cancel, failure);
}

} // namespace loaded

std::unique_ptr<JxlFrames> LibjxlFrames::Open(const unsigned char* data, std::size_t size,
                                              const std::atomic<bool>* cancel,
                                              DecodeResult& failure) {
    // The frames' headers are read by a decoder of their own that asks for no pixels, so the
    // frames' data is skipped.
    std::unique_ptr<JxlDecoder, DecoderDeleter> headers(JxlDecoderCreate(nullptr));
    std::unique_ptr<LibjxlFrames> frames(new (std::nothrow) LibjxlFrames);
    if (!headers || !frames) {
        failure = DirectFailure(DecodeFailure::OutOfMemory, "not enough memory to decode it");
        return nullptr;
    }
    frames->data_ = data;
    frames->size_ = size;
    if (JxlDecoderSubscribeEvents(headers.get(), JXL_DEC_BASIC_INFO | JXL_DEC_FRAME) !=
            JXL_DEC_SUCCESS ||
        JxlDecoderSetCoalescing(headers.get(), JXL_TRUE) != JXL_DEC_SUCCESS ||
        JxlDecoderSetInput(headers.get(), data, size) != JXL_DEC_SUCCESS) {
        failure = damaged("cannot be set up");
        return nullptr;
    }
    JxlDecoderCloseInput(headers.get());
    JxlBasicInfo info{};
    for (bool more = true; more;) {
        if (Cancelled(cancel)) {
            failure = DirectFailure(DecodeFailure::Cancelled, {});
            return nullptr;
        }
        const JxlDecoderStatus status = JxlDecoderProcessInput(headers.get());
        if (status == JXL_DEC_BASIC_INFO) {
            if (JxlDecoderGetBasicInfo(headers.get(), &info) != JXL_DEC_SUCCESS) {
                break;
            }
            std::tie(frames->columns_, frames->rows_) = uprightSize(info);
            frames->xyb_ = !info.uses_original_profile;
            frames->loops_ = info.have_animation ? static_cast<int>(info.animation.num_loops) : 1;
        } else if (status == JXL_DEC_FRAME) {
            JxlFrameHeader header{};
            if (JxlDecoderGetFrameHeader(headers.get(), &header) != JXL_DEC_SUCCESS) {
                break;
            }
            const double ticks =
                info.animation.tps_numerator == 0
                    ? 0.0
                    : 1000.0 * info.animation.tps_denominator / info.animation.tps_numerator;
            frames->delays_.push_back(
                static_cast<int>(std::lround(std::min(header.duration * ticks, 1e9))));
        } else {
            // The end, or an error: a frame whose data is missing is found out when it is
            // decoded.
            more = false;
        }
    }
    if (frames->columns_ == 0 || frames->rows_ == 0 || frames->delays_.empty()) {
        failure = damaged("cannot read the frames");
        return nullptr;
    }
    if (!frames->restart()) {
        failure = DirectFailure(DecodeFailure::OutOfMemory, "not enough memory to decode it");
        return nullptr;
    }
    return frames;
}

LibjxlFrames::~LibjxlFrames() {
    if (decoder_ != nullptr) {
        JxlDecoderDestroy(decoder_);
    }
    if (runner_ != nullptr) {
        JxlThreadParallelRunnerDestroy(runner_);
    }
}

bool LibjxlFrames::restart() {
    if (decoder_ == nullptr) {
        decoder_ = JxlDecoderCreate(nullptr);
        runner_ = JxlThreadParallelRunnerCreate(nullptr,
                                                JxlThreadParallelRunnerDefaultNumWorkerThreads());
    } else {
        // Rewinding would keep the frames' places, but libjxl 0.7 then ends the file at once.
        JxlDecoderReset(decoder_);
    }
    JxlDecoder* jxl = decoder_;
    if (jxl == nullptr || runner_ == nullptr ||
        JxlDecoderSubscribeEvents(jxl, JXL_DEC_BASIC_INFO | JXL_DEC_COLOR_ENCODING |
                                           JXL_DEC_FULL_IMAGE) != JXL_DEC_SUCCESS ||
        JxlDecoderSetParallelRunner(jxl, JxlThreadParallelRunner, runner_) != JXL_DEC_SUCCESS ||
        JxlDecoderSetCoalescing(jxl, JXL_TRUE) != JXL_DEC_SUCCESS ||
        JxlDecoderSetInput(jxl, data_, size_) != JXL_DEC_SUCCESS) {
        return false;
    }
    JxlDecoderCloseInput(jxl);
    next_ = 0;
    return true;
}

std::unique_ptr<Image> LibjxlFrames::Frame(std::size_t k, const std::atomic<bool>* cancel) {
    if (k >= delays_.size() || (k < next_ && !restart())) {
        return nullptr;
    }
    JxlDecoder* jxl = decoder_;
    if (k > next_) {
        JxlDecoderSkipFrames(jxl, k - next_);
        next_ = k;
    }
    const JxlPixelFormat format{4, JXL_TYPE_UINT8, JXL_NATIVE_ENDIAN, 0};
    std::unique_ptr<Image> frame;
    for (;;) {
        if (Cancelled(cancel)) {
            restart(); // the decoder was left inside a frame
            return nullptr;
        }
        const JxlDecoderStatus status = JxlDecoderProcessInput(jxl);
        if (status == JXL_DEC_BASIC_INFO) {
            JxlBasicInfo info{};
            if (JxlDecoderGetBasicInfo(jxl, &info) == JXL_DEC_SUCCESS && info.alpha_premultiplied) {
                JxlDecoderSetUnpremultiplyAlpha(jxl, JXL_TRUE);
            }
        } else if (status == JXL_DEC_COLOR_ENCODING) {
            if (xyb_) {
                JxlBasicInfo info{};
                JxlDecoderGetBasicInfo(jxl, &info);
                preferSrgb(jxl, info);
            }
            profile_ = dataProfile(jxl);
        } else if (status == JXL_DEC_NEED_IMAGE_OUT_BUFFER) {
            std::size_t bytes = 0;
            if (JxlDecoderImageOutBufferSize(jxl, &format, &bytes) != JXL_DEC_SUCCESS ||
                bytes != columns_ * rows_ * 4) {
                break;
            }
            frame.reset(new (std::nothrow) Image);
            if (!frame) {
                break;
            }
            frame->columns = columns_;
            frame->rows = rows_;
            frame->pixels = AllocatePixels(bytes);
            if (!frame->pixels || JxlDecoderSetImageOutBuffer(jxl, &format, frame->pixels.get(),
                                                              bytes) != JXL_DEC_SUCCESS) {
                break;
            }
        } else if (status == JXL_DEC_FULL_IMAGE) {
            if (!frame) {
                break;
            }
            ++next_;
            swapRedBlue(*frame);
            frame->magick = kFormat;
            return frame;
        } else {
            break; // an error, or the end of the file before frame k
        }
    }
    restart();
    return nullptr;
}

} // namespace engine
