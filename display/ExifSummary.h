// What a photo's EXIF says about the camera and the exposure, for a properties box.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace engine {

// Label and text of each of Camera ("Make Model"), Taken (DateTimeOriginal), Exposure ("1/250 s"),
// Aperture ("f/2.8"), ISO and Focal length ("35 mm") that the EXIF block holds, in that order.
// block is the TIFF structure, with or without the "Exif\0\0" a JPEG puts before it. Never reads
// outside [block, block + size); a damaged block gives what could be read before the damage.
std::vector<std::pair<std::string, std::string>> ExifSummary(const std::uint8_t* block,
                                                             std::size_t size);

// The ColorSpace tag (0xA001) of the EXIF block's Exif directory: 1 for sRGB, 65535 for
// "uncalibrated" (which cameras set to Adobe RGB write), 0 when the block holds none or is
// damaged. block as for ExifSummary; never reads outside it.
std::uint32_t ExifColorSpace(const std::uint8_t* block, std::size_t size);
constexpr std::uint32_t kExifUncalibrated = 65535;

// The same for a file: the EXIF block of a JPEG (its APP1 segment among the first 256 KiB) or of
// a TIFF file. Empty when there is none or the file cannot be read. Any thread.
std::vector<std::pair<std::string, std::string>> ExifSummaryOfFile(const std::string& path);

} // namespace engine
