#include "FormatModule.h"

#include "MagickLibrary.h"

#include <lcms2.h>
#include <libheif/heif.h>

#include <algorithm>
#include <cstring>
#include <utility>

namespace engine {
namespace {

struct ContextDeleter {
    void operator()(heif_context* context) const { heif_context_free(context); }
};
struct HandleDeleter {
    void operator()(heif_image_handle* handle) const { heif_image_handle_release(handle); }
};
struct ImageDeleter {
    void operator()(heif_image* image) const { heif_image_release(image); }
};
struct OptionsDeleter {
    void operator()(heif_decoding_options* options) const { heif_decoding_options_free(options); }
};
struct NclxDeleter {
    void operator()(heif_color_profile_nclx* nclx) const { heif_nclx_color_profile_free(nclx); }
};

using Context = std::unique_ptr<heif_context, ContextDeleter>;
using Handle = std::unique_ptr<heif_image_handle, HandleDeleter>;

DecodeResult libraryFailure(const heif_error& error) {
    const std::string reason = error.message != nullptr ? error.message : "";
    if (error.code == heif_error_Unsupported_feature ||
        error.code == heif_error_Unsupported_filetype) {
        return DirectFailure(DecodeFailure::NotAnImage,
                             "not an image this program can read (" + reason + ")", reason);
    }
    if (error.code == heif_error_Memory_allocation_error) {
        return DirectFailure(DecodeFailure::OutOfMemory, "not enough memory to decode it", reason);
    }
    if (error.code == heif_error_Usage_error &&
        error.subcode == heif_suberror_Security_limit_exceeded) {
        return DirectFailure(DecodeFailure::TooLarge, "too large (" + reason + ")", reason);
    }
    return DirectFailure(DecodeFailure::Damaged, "damaged: " + reason, reason);
}

// The primary image's handle, from the file in memory (libheif keeps pointing at it).
DecodeResult openPrimary(const unsigned char* data, std::size_t size, Context& context,
                         Handle& handle, const char*& format) {
    context.reset(heif_context_alloc());
    if (!context) {
        return DirectFailure(DecodeFailure::OutOfMemory, "not enough memory to decode it");
    }
    // libheif refuses larger pictures before it allocates them.
    heif_context_set_maximum_image_size_limit(context.get(), static_cast<int>(kMaximumSide));
    heif_error error =
        heif_context_read_from_memory_without_copy(context.get(), data, size, nullptr);
    if (error.code != heif_error_Ok) {
        return libraryFailure(error);
    }
    heif_image_handle* primary = nullptr;
    error = heif_context_get_primary_image_handle(context.get(), &primary);
    if (error.code != heif_error_Ok) {
        return libraryFailure(error);
    }
    handle.reset(primary);
    const char* brand =
        heif_get_file_mime_type(data, static_cast<int>(std::min<std::size_t>(size, 64)));
    format = brand != nullptr && std::strcmp(brand, "image/avif") == 0 ? "AVIF" : "HEIC";
    if (heif_image_handle_get_width(primary) <= 0 || heif_image_handle_get_height(primary) <= 0) {
        return DirectFailure(DecodeFailure::Damaged,
                             "damaged: the file holds an image of no pixels");
    }
    return {};
}

// An ICC profile for an nclx colour description that is not sRGB's (Display P3, BT.2020, a
// linear or gamma transfer), so that the common conversion to sRGB takes it; empty for sRGB and
// for what it cannot describe (PQ and HLG transfers).
std::string nclxProfile(const heif_color_profile_nclx& nclx) {
    const bool srgbPrimaries = nclx.color_primaries == heif_color_primaries_ITU_R_BT_709_5 ||
                               nclx.color_primaries == heif_color_primaries_unspecified;
    cmsFloat64Number gamma = 0;
    switch (nclx.transfer_characteristics) {
    case heif_transfer_characteristic_linear:
        gamma = 1.0;
        break;
    case heif_transfer_characteristic_ITU_R_BT_470_6_System_M:
        gamma = 2.2;
        break;
    case heif_transfer_characteristic_ITU_R_BT_470_6_System_B_G:
        gamma = 2.8;
        break;
    case heif_transfer_characteristic_ITU_R_BT_2100_0_PQ:
    case heif_transfer_characteristic_ITU_R_BT_2100_0_HLG:
        return {};
    default:
        break; // sRGB's, and the video curves shown as sRGB's as browsers show them
    }
    if (srgbPrimaries && gamma == 0) {
        return {};
    }
    const cmsCIExyY white{nclx.color_primary_white_x, nclx.color_primary_white_y, 1.0};
    const cmsCIExyYTRIPLE primaries{{nclx.color_primary_red_x, nclx.color_primary_red_y, 1.0},
                                    {nclx.color_primary_green_x, nclx.color_primary_green_y, 1.0},
                                    {nclx.color_primary_blue_x, nclx.color_primary_blue_y, 1.0}};
    if (white.x <= 0 || white.y <= 0 || primaries.Red.y <= 0 || primaries.Green.y <= 0 ||
        primaries.Blue.y <= 0) {
        return {};
    }
    // sRGB's curve: gamma 2.4 with its linear toe.
    const cmsFloat64Number srgbCurve[5] = {2.4, 1.0 / 1.055, 0.055 / 1.055, 1.0 / 12.92, 0.04045};
    cmsToneCurve* curve = gamma == 0 ? cmsBuildParametricToneCurve(nullptr, 4, srgbCurve)
                                     : cmsBuildGamma(nullptr, gamma);
    if (curve == nullptr) {
        return {};
    }
    cmsToneCurve* curves[3] = {curve, curve, curve};
    cmsHPROFILE profile = cmsCreateRGBProfile(&white, &primaries, curves);
    cmsFreeToneCurve(curve);
    if (profile == nullptr) {
        return {};
    }
    std::string bytes;
    cmsUInt32Number size = 0;
    if (cmsSaveProfileToMem(profile, nullptr, &size) && size > 0) {
        bytes.resize(size);
        if (!cmsSaveProfileToMem(profile, bytes.data(), &size)) {
            bytes.clear();
        }
    }
    cmsCloseProfile(profile);
    return bytes;
}

std::string colourProfile(const heif_image_handle* handle) {
    const std::size_t iccSize = heif_image_handle_get_raw_color_profile_size(handle);
    if (iccSize > 0 && iccSize <= (std::size_t{4} << 20)) {
        std::string icc(iccSize, '\0');
        if (heif_image_handle_get_raw_color_profile(handle, icc.data()).code == heif_error_Ok) {
            return icc;
        }
    }
    heif_color_profile_nclx* described = nullptr;
    if (heif_image_handle_get_nclx_color_profile(handle, &described).code != heif_error_Ok ||
        described == nullptr) {
        return {};
    }
    const std::unique_ptr<heif_color_profile_nclx, NclxDeleter> nclx(described);
    return nclxProfile(*nclx);
}

} // namespace

namespace loaded {

DecodeResult DecodeHeif(const DirectRequest& request) {
    Context context;
    Handle handle;
    const char* format = "HEIC";
    if (DecodeResult failed = openPrimary(request.data, request.size, context, handle, format);
        failed.failure != DecodeFailure::None) {
        return failed;
    }
    const std::size_t columns = static_cast<std::size_t>(heif_image_handle_get_width(handle.get()));
    const std::size_t rows = static_cast<std::size_t>(heif_image_handle_get_height(handle.get()));
    if (DecodeResult refusal = request.refuse(columns, rows);
        refusal.failure != DecodeFailure::None) {
        return refusal;
    }
    if (Cancelled(request.cancel)) {
        return DirectFailure(DecodeFailure::Cancelled, {});
    }
    const bool alpha = heif_image_handle_has_alpha_channel(handle.get()) != 0;
    const std::unique_ptr<heif_decoding_options, OptionsDeleter> options(
        heif_decoding_options_alloc());
    if (!options) {
        return DirectFailure(DecodeFailure::OutOfMemory, "not enough memory to decode it");
    }
    options->ignore_transformations = 0; // irot, imir and clap are applied by libheif
    options->convert_hdr_to_8bit = 1;
    heif_image* decoded = nullptr;
    const heif_error error = heif_decode_image(
        handle.get(), &decoded, heif_colorspace_RGB,
        alpha ? heif_chroma_interleaved_RGBA : heif_chroma_interleaved_RGB, options.get());
    const std::unique_ptr<heif_image, ImageDeleter> picture(decoded);
    if (Cancelled(request.cancel)) {
        return DirectFailure(DecodeFailure::Cancelled, {});
    }
    if (error.code != heif_error_Ok || !picture) {
        return libraryFailure(error);
    }
    const int width = heif_image_get_width(picture.get(), heif_channel_interleaved);
    const int height = heif_image_get_height(picture.get(), heif_channel_interleaved);
    int stride = 0;
    const std::uint8_t* plane =
        heif_image_get_plane_readonly(picture.get(), heif_channel_interleaved, &stride);
    if (plane == nullptr || width <= 0 || height <= 0 ||
        static_cast<std::size_t>(width) > columns || static_cast<std::size_t>(height) > rows) {
        return DirectFailure(DecodeFailure::Damaged, "damaged: libheif gave no usable picture");
    }
    std::unique_ptr<Image> record =
        request.make_record(static_cast<std::size_t>(width), static_cast<std::size_t>(height));
    if (!record) {
        return DirectFailure(DecodeFailure::OutOfMemory, "not enough memory to decode it",
                             "the pixels could not be allocated");
    }
    const bool premultiplied = alpha && heif_image_is_premultiplied_alpha(picture.get()) != 0;
    for (int y = 0; y < height; ++y) {
        const std::uint8_t* in =
            plane + static_cast<std::size_t>(y) * static_cast<std::size_t>(stride);
        std::uint8_t* out = record->Row(static_cast<std::size_t>(y));
        if (alpha) {
            for (int x = 0; x < width; ++x, in += 4, out += 4) {
                std::uint8_t r = in[0], g = in[1], b = in[2];
                const std::uint8_t a = in[3];
                if (premultiplied && a != 0 && a != 255) {
                    // The record keeps straight alpha; the display multiplies it in itself.
                    r = static_cast<std::uint8_t>(std::min(255, (r * 255 + a / 2) / a));
                    g = static_cast<std::uint8_t>(std::min(255, (g * 255 + a / 2) / a));
                    b = static_cast<std::uint8_t>(std::min(255, (b * 255 + a / 2) / a));
                }
                out[0] = b;
                out[1] = g;
                out[2] = r;
                out[3] = a;
            }
        } else {
            for (int x = 0; x < width; ++x, in += 3, out += 4) {
                out[0] = in[2];
                out[1] = in[1];
                out[2] = in[0];
                out[3] = 255;
            }
        }
    }
    record->magick = format;
    DecodeResult result;
    result.image = std::move(record);
    result.icc_profile = colourProfile(handle.get());
    return result;
}

DecodeResult PingHeif(const unsigned char* data, std::size_t size) {
    Context context;
    Handle handle;
    const char* format = "HEIC";
    if (DecodeResult failed = openPrimary(data, size, context, handle, format);
        failed.failure != DecodeFailure::None) {
        return failed;
    }
    DecodeResult result;
    result.image = std::make_unique<Image>();
    result.image->columns = static_cast<std::size_t>(heif_image_handle_get_width(handle.get()));
    result.image->rows = static_cast<std::size_t>(heif_image_handle_get_height(handle.get()));
    result.image->magick = format;
    return result;
}

} // namespace loaded
} // namespace engine
