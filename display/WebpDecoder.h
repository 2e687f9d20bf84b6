// Still WebP pictures decoded by libwebp straight into the engine's record. The image library
// has libwebp decode into a buffer of its own, copies that into its 16-bit copy of the whole
// image and the engine exports it again; and it decodes on one core. Here libwebp writes the
// record's rows itself and filters on a second thread: a 24 MP photo took half the time.
#pragma once

#include "DirectDecoders.h"

namespace engine {

// Decodes the still WebP in request.data (lossy or lossless, with or without alpha) as 8-bit
// BGRA with straight alpha. The EXIF chunk's orientation comes back as orientation, the ICCP
// chunk as icc_profile. Over the limits, the request's refusal; cancelled, Cancelled. A file
// cut short after some rows shows those, the rest grey, and is called damaged. An animation, or
// any other file libwebp cannot read, gives a result with neither image nor failure: the image
// library's to read (it shows an animation's first frame, and says why a damaged file cannot be
// read).
DecodeResult DecodeWebp(const DirectRequest& request);

} // namespace engine
