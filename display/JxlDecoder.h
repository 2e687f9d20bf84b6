// JPEG XL files, decoded by libjxl. See DirectDecoders.h for the request.
#pragma once

#include "DirectDecoders.h"

#include <string>
#include <vector>

namespace engine {

// The first frame, upright (the decoder applies the orientation), with its alpha. Images coded in
// XYB come out in sRGB; others keep their colour space, whose ICC profile (unless sRGB) is in
// the result for the caller to convert from. A file cut short gives what was decoded, marked
// damaged. Thread-safe; the cancel flag is looked at between chunks of input.
DecodeResult DecodeJpegXl(const DirectRequest& request);
// The upright size, from the header alone.
DecodeResult PingJpegXl(const unsigned char* data, std::size_t size);

// Whether the first size bytes are a JPEG XL file's (bare codestream or container).
bool IsJpegXl(const unsigned char* data, std::size_t size);
// Whether the first size bytes of a JPEG XL file may be those of an animation: its header says
// so, or it is not all there.
bool JxlMayBeAnimated(const unsigned char* data, std::size_t size);

// The frames of an animated JPEG XL, one at a time, each composed whole by the decoder (the
// format's blending and zero-length frames are its business) and upright.
class JxlFrames {
public:
    // Reads the headers of every frame of data (the whole file, which must outlive this). Null
    // with failure set when it is no JPEG XL or its frames cannot be read.
    static std::unique_ptr<JxlFrames> Open(const unsigned char* data, std::size_t size,
                                           const std::atomic<bool>* cancel, DecodeResult& failure);
    virtual ~JxlFrames();
    JxlFrames(const JxlFrames&) = delete;
    JxlFrames& operator=(const JxlFrames&) = delete;

    std::size_t Columns() const { return columns_; }
    std::size_t Rows() const { return rows_; }
    // Each frame's duration in milliseconds, from the header's ticks a second.
    const std::vector<int>& DelaysMs() const { return delays_; }
    // 0: for ever.
    int LoopCount() const { return loops_; }
    // Frame k, 8-bit BGRA with straight alpha, Columns() x Rows(). Going on to k + 1 costs one
    // frame; going back starts from the file's start again. Null when cancelled, damaged or out
    // of memory.
    virtual std::unique_ptr<Image> Frame(std::size_t k, const std::atomic<bool>* cancel) = 0;
    // The ICC profile of the frames' pixels; empty for sRGB.
    const std::string& Profile() const { return profile_; }

protected:
    JxlFrames() = default;

    std::size_t columns_ = 0, rows_ = 0;
    std::vector<int> delays_;
    int loops_ = 0;
    std::string profile_;
};

} // namespace engine
