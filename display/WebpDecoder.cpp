#include "WebpDecoder.h"

#include "PagePopulator.h"
#include "WebpHeader.h"

#include <webp/decode.h>

#include <algorithm>
#include <cstdint>

namespace engine {
namespace {

// The compressed bytes handed to libwebp at a time: a cancel is seen within one piece (a
// sixtieth of a 24 MP photo).
constexpr std::size_t kPieceBytes = std::size_t{64} << 10;

struct IncrementalDeleter {
    void operator()(WebPIDecoder* decoder) const { WebPIDelete(decoder); }
};

} // namespace

DecodeResult DecodeWebp(const DirectRequest& request) {
    WebPBitstreamFeatures features{};
    if (WebPGetFeatures(request.data, request.size, &features) != VP8_STATUS_OK ||
        features.has_animation != 0 || features.width <= 0 || features.height <= 0) {
        return {};
    }
    const WebpHeader header = ReadWebpHeader(request.data, request.size);
    if (!header.valid || header.columns != static_cast<std::size_t>(features.width) ||
        header.rows != static_cast<std::size_t>(features.height)) {
        return {};
    }
    const std::size_t columns = header.columns, rows = header.rows;
    std::unique_ptr<Image> record;
    if (DecodeResult refused = MakeDirectRecord(request, columns, rows, record); !record) {
        return refused;
    }
    WebPDecoderConfig config;
    if (WebPInitDecoderConfig(&config) == 0) {
        return {};
    }
    config.output.colorspace = MODE_BGRA;
    config.output.is_external_memory = 1;
    config.output.u.RGBA.rgba = record->Row(0);
    config.output.u.RGBA.stride = static_cast<int>(columns * 4);
    config.output.u.RGBA.size = columns * rows * 4;
    config.options.use_threads = 1;
    const std::unique_ptr<WebPIDecoder, IncrementalDeleter> decoder(
        WebPIDecode(nullptr, 0, &config));
    if (!decoder) {
        return DirectFailure(DecodeFailure::OutOfMemory, "not enough memory to decode it");
    }
    std::unique_ptr<PagePopulator> populator = PopulatePages(*record);
    FinishedRows written(*record);
    VP8StatusCode status = VP8_STATUS_SUSPENDED;
    std::size_t done = 0; // rows libwebp has finished
    for (std::size_t given = 0; status == VP8_STATUS_SUSPENDED && given < request.size;) {
        if (Cancelled(request.cancel)) {
            return DirectFailure(DecodeFailure::Cancelled, {});
        }
        given = std::min(request.size, given + kPieceBytes);
        status = WebPIUpdate(decoder.get(), request.data, given);
        int last = 0;
        if (WebPIDecGetRGB(decoder.get(), &last, nullptr, nullptr, nullptr) != nullptr &&
            last > 0) {
            done = std::min(rows, static_cast<std::size_t>(last));
            written.Upto(done);
        }
    }
    populator.reset();
    DecodeResult result;
    if (status == VP8_STATUS_SUSPENDED && done > 0) {
        // Cut short, as a download may be: what came is shown, as a short JPEG's or PNG's rows
        // are, and the rows never written are grey, never what the memory held before.
        result.damaged = true;
        result.message = "damaged: the file ends before the image does";
        for (std::size_t y = done; y < rows; ++y) {
            std::uint8_t* row = record->Row(y);
            for (std::size_t x = 0; x < columns; ++x) {
                row[x * 4 + 0] = row[x * 4 + 1] = row[x * 4 + 2] = 128;
                row[x * 4 + 3] = 255;
            }
        }
    } else if (status != VP8_STATUS_OK) {
        return {}; // the library says why it cannot read it
    }
    result.orientation = header.orientation;
    if (header.icc_bytes > 0) {
        result.icc_profile.assign(reinterpret_cast<const char*>(request.data + header.icc_at),
                                  header.icc_bytes);
    }
    record->magick = "WEBP";
    result.image = std::move(record);
    return result;
}

} // namespace engine
