// Camera RAW files (DNG, CR2, CR3, NEF, ARW, RAF, ORF, RW2, ...), decoded by LibRaw in-process. See
// DirectDecoders.h for the request.
#pragma once

#include "DirectDecoders.h"

#include <string>
#include <utility>
#include <vector>

namespace engine {

// With a view size: the largest embedded JPEG preview no smaller than the view (reduced set,
// rendition "embedded preview"), or, when there is none, the image developed at half size if
// that still covers the view. Without one, or when neither fits: the developed image (camera
// white balance, the camera's matrix to sRGB, highlights blended), rendition "developed".
// full_columns x full_rows is always the developed image's upright size. The orientation is the
// file's, left for the caller to apply. Thread-safe; the cancel flag stops development within a
// processing stage.
DecodeResult DecodeCameraRaw(const DirectRequest& request);
// The first view from the open regular file fd of size bytes (read with pread, left open): the
// embedded preview as DecodeCameraRaw gives it, reading only the file's headers and preview, not
// its tens of megabytes of sensor data. A result with neither image nor failure when no preview
// covers the view: DecodeCameraRaw on the whole file is then the way.
DecodeResult CameraRawPreview(int fd, std::size_t size, const DirectRequest& request);
// The developed image's upright size.
DecodeResult PingCameraRaw(const unsigned char* data, std::size_t size);

// Where the time of this thread's last developed image went, in milliseconds: for benchmarks.
struct RawDevelopTimes {
    double open_ms = 0, unpack_ms = 0;                  // reading the headers, then the sensor data
    double process_ms = 0;                              // LibRaw's processing, of which
    std::vector<std::pair<std::string, double>> stages; // each stage LibRaw reports
    double sensor_copy_ms = 0;                          // the samples into LibRaw's image, in it
    double white_balance_ms = 0;                        // the scaling pass, in it
    double colour_matrix_ms = 0;                        // the camera-to-sRGB pass, in it
    double output_ms = 0;                               // the gamma curve into the record
};
const RawDevelopTimes& LastRawDevelopTimes();

} // namespace engine
