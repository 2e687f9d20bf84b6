// HEIC and AVIF files, decoded by libheif. See DirectDecoders.h for the request.
#pragma once

#include "DirectDecoders.h"

namespace engine {

// The primary image, turned, mirrored and cropped by its transformation properties (irot, imir,
// clap), with its alpha; its ICC profile, or one made from its nclx colour description when that
// is not sRGB, is in the result for the caller to convert from. Thread-safe; the cancel flag is
// looked at before and after the picture is decoded (libheif cannot be stopped midway).
DecodeResult DecodeHeif(const DirectRequest& request);
// The primary image's size after its transformations.
DecodeResult PingHeif(const unsigned char* data, std::size_t size);

} // namespace engine
