// PNG read by libpng straight into the engine's record. The image library's PNG coder first
// clears a 16-bit copy of the whole image (8 bytes a pixel) even when its rows are streamed:
// faulting in and clearing that copy took half of a large PNG's decode.
#pragma once

#include "DirectDecoders.h"

namespace engine {

// Whether data starts with the PNG signature.
bool IsPng(const unsigned char* data, std::size_t size);

// Decodes the PNG in request.data: every colour type, bit depth and interlacing, as 8-bit BGRA
// with straight alpha (palettes and tRNS expanded, 16-bit samples rounded to 8 bits, gray
// spread to red, green and blue; gamma chunks leave the samples as stored, as the image library
// does). The iCCP chunk's profile comes back as icc_profile. Over the limits, the request's
// refusal; cancelled, Cancelled. A file that libpng cannot read whole gives a result with
// neither image nor failure: the image library's to read, which shows what it can of a damaged
// file and says why in its own words.
DecodeResult DecodePng(const DirectRequest& request);

} // namespace engine
