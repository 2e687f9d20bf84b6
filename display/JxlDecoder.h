// JPEG XL files, decoded by libjxl. See DirectDecoders.h for the request.
#pragma once

#include "DirectDecoders.h"

namespace engine {

// The first frame, upright (the decoder applies the orientation), with its alpha. Images coded in
// XYB come out in sRGB; others keep their colour space, whose ICC profile (unless sRGB) is in
// the result for the caller to convert from. A file cut short gives what was decoded, marked
// damaged. Thread-safe; the cancel flag is looked at between chunks of input.
DecodeResult DecodeJpegXl(const DirectRequest& request);
// The upright size, from the header alone.
DecodeResult PingJpegXl(const unsigned char* data, std::size_t size);

} // namespace engine
