// The frames of an animated image (GIF, APNG, animated WebP, MNG), one at a time.
//
// A whole-list read by the image library keeps every frame at 8 bytes a pixel: a hundred
// 1920 x 1080 frames would take 1.6 GB. So the file's own container is read here (GIF blocks,
// PNG chunks, RIFF chunks) and each frame's compressed data is handed to the library as a small
// still image of its own, in memory; the decoded part is then laid onto a canvas by the frame's
// disposal and blending rules. GIF frames are the exception: the library's LZW decoder takes
// 25-35 ms for a 1920 x 1080 frame here, too slow for 25 frames a second on two cores, so
// their codes are expanded here, bounded by the frame's size, straight onto the canvas. Only the
// canvas and the frame being composed are held, so memory does not grow with the number of frames.
// MNG has no such container to split: its frames are read whole by the library and kept at 4 bytes
// a pixel, within kMngFrameBudgetBytes. JPEG XL frames are composed by libjxl, one at a time.
#pragma once

#include "EngineImage.h"
#include "ImageDecoder.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace engine {

class JxlFrames;

// Delays of at most this many milliseconds are shown as kShortDelayShownMs, as browsers do:
// files made for old viewers often say 0 or 10 ms and mean "as fast as you draw".
constexpr int kShortestDelayMs = 10;
constexpr int kShortDelayShownMs = 100;
// The most an MNG's frames may take at 4 bytes a pixel; a larger one shows its first frame only.
constexpr std::size_t kMngFrameBudgetBytes = std::size_t{128} << 20;

// The delay shown for a frame whose file says delayMs.
inline int ShownDelayMs(int delayMs) {
    return delayMs <= kShortestDelayMs ? kShortDelayShownMs : delayMs;
}

class AnimationDecoder {
public:
    ~AnimationDecoder();
    AnimationDecoder(const AnimationDecoder&) = delete;
    AnimationDecoder& operator=(const AnimationDecoder&) = delete;

    // Reads path (with the checks of DecodeImageFile: a regular file of bounded size, opened by
    // us) and walks its frames. Null with failure filled when the file cannot be read or is no
    // image this reads; a still image gives a decoder of one frame. cancel may be null. Starts
    // the library if needed. Any thread; one decoder is used by one thread at a time.
    static std::unique_ptr<AnimationDecoder>
    Open(const std::string& path, const std::atomic<bool>* cancel, DecodeResult& failure);

    std::size_t FrameCount() const;
    // The canvas size: every frame record is this large.
    std::size_t Columns() const { return columns_; }
    std::size_t Rows() const { return rows_; }
    // How long frame k stays, in milliseconds, after the short-delay rule (ShownDelayMs).
    int DelayMs(std::size_t k) const;
    // How many times the whole animation plays; 0: for ever. A GIF without a loop extension
    // plays once; its extension's count is of the plays after the first, as browsers and the
    // library read it.
    int LoopCount() const { return loop_count_; }
    // "GIF", "PNG", "WEBP", "MNG" or "JXL".
    const std::string& Format() const { return format_; }

    // Frame k (0 <= k < FrameCount()) as the viewer shows it: the canvas after the frames
    // before it were laid down and disposed of, 8-bit BGRA with straight alpha, Columns() x
    // Rows(), filename and magick set. Going on to k + 1 costs one frame; going back starts
    // again from frame 0. A frame whose data is damaged leaves the canvas as it was. Null when
    // cancelled or when memory runs out.
    std::unique_ptr<Image> DecodeFrame(std::size_t k, const std::atomic<bool>* cancel = nullptr);

    // What the file's frames are, as the container says (exposed for tests and tools).
    struct FrameInfo {
        std::size_t x = 0, y = 0, width = 0, height = 0; // the part of the canvas it covers
        int delay_ms = 0;                                // as the file says
        enum class Disposal { None, Background, Previous } disposal = Disposal::None;
        bool blend = true; // laid over the canvas (false: replaces the covered part, alpha too)
        // Where its compressed data lies in the file (offset, bytes): GIF, its LZW code size
        // and sub-blocks; APNG, the contents of its IDAT or fdAT chunks; WebP, its VP8 or VP8L
        // chunk, header included.
        std::vector<std::pair<std::size_t, std::size_t>> parts;
        // GIF: its colour table (no entries when it has none), the transparent index (-1:
        // none) and whether its rows are interlaced.
        std::size_t table_offset = 0, table_entries = 0;
        int transparent = -1;
        bool interlaced = false;
        // WebP: an ALPH chunk, header included, before the VP8 one (no bytes when none).
        std::size_t alpha_offset = 0, alpha_size = 0;
    };
    const std::vector<FrameInfo>& Frames() const { return frames_; }

private:
    AnimationDecoder() = default;
    bool parseGif();
    bool parsePng();
    bool parseWebp();
    bool readMng(const std::atomic<bool>* cancel, DecodeResult& failure);
    // The still image the library gets for frame k's data.
    std::string frameBlob(std::size_t k) const;
    // Frame k's own pixels (width x height), or null when the library could not decode them.
    std::unique_ptr<Image> decodePart(std::size_t k, const std::atomic<bool>* cancel) const;
    // Does what frame k - 1 asked to be done once shown, keeps what frame k will have to give
    // back, and gives the part of the canvas frame k covers (false: none).
    bool prepare(std::size_t k, std::size_t& x0, std::size_t& y0, std::size_t& x1, std::size_t& y1);
    void compose(std::size_t k, const Image* part);
    // A GIF frame straight from its LZW codes onto the canvas.
    void composeGif(std::size_t k);

    std::string path_;
    std::string format_;
    std::unique_ptr<unsigned char[]> bytes_;
    std::size_t size_ = 0;
    std::size_t columns_ = 0, rows_ = 0;
    int loop_count_ = 1;
    std::vector<FrameInfo> frames_;
    // PNG: the chunks every frame's still image repeats (IHDR's fields, PLTE, tRNS, ...).
    std::string png_header_;
    // The canvas after frame next_ - 1, and what frame next_ - 1 covered before it was drawn
    // when it is to be restored afterwards.
    std::unique_ptr<Image> canvas_;
    std::unique_ptr<Image> saved_;
    std::size_t next_ = 0;
    // GIF: one frame's colour indices, rows in the order they are stored.
    std::vector<std::uint8_t> indices_;
    // MNG: every frame, composed by the library.
    std::vector<std::unique_ptr<Image>> whole_;
    // JPEG XL: libjxl's decoder of the frames in bytes_.
    std::unique_ptr<JxlFrames> jxl_;
};

} // namespace engine
