// Plain JPEG photos read by libjpeg straight into the engine's record, at the DCT scale a first
// view needs. Through the image library every row went into its 16-bit pixel cache and was
// exported from there again, and the first view's size was first found by a ping of its own:
// a fifth of a 24 MP photo's decode.
#pragma once

#include "DirectDecoders.h"

namespace engine {

// Decodes the JPEG in request.data when it is what cameras and phones write: 8-bit YCbCr, RGB
// or gray, baseline or progressive. With a view size, the largest DCT scale whose image is at
// least as large as the view (upright) is used when it halves the image or more, as the image
// library's own reduction does; result.reduced and the whole image's upright size then say
// so. The EXIF orientation comes back as orientation, the APP2 profile as icc_profile. Over
// the limits, the request's refusal; cancelled, Cancelled. A result with neither image nor
// failure (the image library's to read, as before) for anything else: CMYK, 12-bit samples,
// an EXIF colour space of "uncalibrated" without a profile (Adobe RGB, which the library
// recognises), and any file libjpeg warns about or cannot read, which the library shows as
// far as it can and calls damaged.
DecodeResult DecodeJpeg(const DirectRequest& request);

// The stored size (columns x rows, orientation as the file says) a first view of view (upright)
// device pixels asks the JPEG library for: the scale is the largest whose image is at least
// this large. 0 x 0 for the whole image: no view, or a view more than half the image, where no
// DCT scale would save enough to be worth a second decode.
ViewSize JpegFirstViewSize(std::size_t columns, std::size_t rows, int orientation, ViewSize view);

} // namespace engine
