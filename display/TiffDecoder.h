// The common TIFF layouts read by libtiff straight into the engine's record. The image library
// reads a TIFF into a 16-bit copy of the whole image that it clears first (8 bytes a pixel),
// then the engine exports that: two thirds of a large TIFF's decode went to the copy.
#pragma once

#include "DirectDecoders.h"

namespace engine {

// Decodes the first image of the TIFF in request.data when it is laid out as most photos and
// scans are: strips or tiles of interleaved 8- or 16-bit unsigned samples, RGB or gray, with or
// without an unassociated alpha channel, any compression libtiff reads. The strips or tiles are
// read on several threads (a tiled image as large as to need a cache file is not read here). 16-bit
// samples are rounded to 8 bits as the image library rounds them. The orientation tag comes back as
// orientation, the embedded profile as icc_profile. Over the limits, the request's refusal;
// cancelled, Cancelled. Any other layout, a file libtiff cannot read whole, or an EXIF block
// without a profile (which may name Adobe RGB) gives a result with neither image nor failure: the
// image library's to read.
DecodeResult DecodeTiff(const DirectRequest& request);

} // namespace engine
