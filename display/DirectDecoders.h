// The formats the image library cannot read well (camera RAW, JPEG XL, HEIC and AVIF), decoded
// by their own libraries straight into the engine's record. ImageDecoder reads and checks the
// file, recognises these formats by their first bytes and hands them over here; the limits and
// records stay ImageDecoder's, through the request.
#pragma once

#include "ImageDecoder.h"

#include <atomic>
#include <cstddef>
#include <functional>
#include <memory>

namespace engine {

enum class DirectFormat { None, CameraRaw, JpegXl, Heif };

// What the first size bytes of a file say it is (never its name). Reads at most a few hundred
// bytes of a TIFF structure; any input is safe.
DirectFormat SniffDirectFormat(const unsigned char* data, std::size_t size);

// One decode, as the caller sets it up. Every member must be set.
struct DirectRequest {
    const unsigned char* data = nullptr; // the whole file, owned by the caller
    std::size_t size = 0;
    const std::atomic<bool>* cancel = nullptr; // may be null
    ViewSize view;
    // A refusal (failure set) when a columns x rows image is over the limits or the free memory,
    // a result without failure otherwise.
    std::function<DecodeResult(std::size_t columns, std::size_t rows)> refuse;
    // A record of columns x rows for the decoder to fill (its reduced copy, when it has one, is
    // filled by the caller afterwards); null when memory runs out.
    std::function<std::unique_ptr<Image>(std::size_t columns, std::size_t rows)> make_record;
    // Decodes a JPEG held in memory as a JPEG file is decoded (not yet turned upright nor
    // converted from its profile).
    std::function<DecodeResult(const unsigned char* data, std::size_t size)> decode_jpeg;
};

// A failure that names the format's library ("damaged: the JPEG XL decoder ...").
DecodeResult DirectFailure(DecodeFailure why, std::string message, std::string reason = {});

// Sets record to the request's record for a columns x rows image and returns a result without
// failure; or, leaving record null, returns what to give back instead: the request's refusal,
// or out of memory.
DecodeResult MakeDirectRecord(const DirectRequest& request, std::size_t columns, std::size_t rows,
                              std::unique_ptr<Image>& record);

} // namespace engine
