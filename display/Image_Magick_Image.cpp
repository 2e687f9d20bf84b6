#include "Image_Magick_Image.h"

#include "PixelExport.h"
#include "ScaleRegion.h"
#include "common/ErrorReporting.h"
#include "common/FileNames.h"

#include <magick/MagickCore.h>

#include <cstdio>
#include <cstring>

namespace {

// The plain path of a name the decoder may be given (null reads as ""); a name too long for the
// library's fields is reported and refused.
bool acceptedPath(const char* file_name, std::string& path) {
    if (file_name == nullptr) {
        file_name = "";
    }
    if (std::strlen(file_name) >= kMaxTextExtent) {
        ReportError("Length of filename too long.  Exceeds 'MaxTextExtent'\nerror# V7DHDY4W");
        return false;
    }
    path = Unquoted(file_name);
    return true;
}

} // namespace

Image_Magick_Image::Image_Magick_Image() {
    Initialize();
}

Image_Magick_Image::~Image_Magick_Image() {
    Release();
}

bool Image_Magick_Image::Initialize() {
    pixels = nullptr;
    cache = nullptr;
    image = nullptr;
    full_columns = full_rows = 0;
    image_info = AcquireImageInfo();
    exception = AcquireExceptionInfo();
    if (image_info != nullptr) {
        image_info->filename[0] = '\0';
        image_info->unique[0] = '\0';
        image_info->zero[0] = '\0';
    }
    return image_info != nullptr && exception != nullptr;
}

bool Image_Magick_Image::Release() {
    if (image_info != nullptr) {
        DestroyImageInfo(image_info);
        image_info = nullptr;
    }
    if (image != nullptr) {
        engine::DestroyImage(image);
        image = nullptr;
    }
    if (DIB_Container.header != nullptr) {
        delete DIB_Container.header;
        DIB_Container = ::DIB_Container{};
    }
    if (exception != nullptr) {
        DestroyExceptionInfo(exception);
        exception = nullptr;
    }
    pixels = nullptr;
    cache = nullptr;
    transparent = false;
    return true;
}

bool Image_Magick_Image::Reinitialize() {
    if (!Release() || !Initialize()) {
        ReportError("error reinitializing Image_Magick_Image object.\nerror# 74JDK423Z");
        return false;
    }
    return true;
}

bool Image_Magick_Image::ReadImage(const std::string& file_name) {
    // The whole name is passed on: no length is cut off on the way.
    return ReadImage(file_name.c_str());
}

bool Image_Magick_Image::ReadImage(const char* file_name) {
    last_decode_ms = last_export_ms = last_release_ms = 0;
    if (!Reinitialize()) {
        return false;
    }
    std::string path;
    if (!acceptedPath(file_name, path)) {
        return false;
    }
    return AdoptDecoded(path, engine::DecodeImageFile(path));
}

bool Image_Magick_Image::AdoptDecoded(const std::string& file_name, engine::DecodeResult&& result) {
    if (!Reinitialize()) {
        return false;
    }
    // A name decoded elsewhere gets the same refusal as one handed to ReadImage.
    std::string path;
    if (!acceptedPath(file_name.c_str(), path)) {
        return false;
    }
    last_decode_ms = result.decode_ms;
    if (!result.image) {
        if (result.failure != engine::DecodeFailure::Cancelled) {
            LastErrorCode = static_cast<DWORD>(result.error_code);
            ReportError("'ReadImage()' failed.\n\nTried to read %s\n\nException description:\n"
                        "message: %s\nReason: %s\nerror# FH37FH32S",
                        Unquoted(file_name).c_str(), result.message.c_str(), result.reason.c_str());
        }
        return false;
    }
    damaged = result.damaged;
    damage = result.message;
    rendition = result.rendition;
    image = result.image.release();
    if (result.reduced && result.full_columns != 0 && result.full_rows != 0) {
        full_columns = result.full_columns;
        full_rows = result.full_rows;
    }
    transparent = engine::PremultiplyAlpha(image->pixels.get(), image->columns * image->rows);
    if (transparent && image->reduced) {
        engine::PremultiplyAlpha(image->reduced->pixels.get(),
                                 image->reduced->columns * image->reduced->rows);
    }
    CopyImageAttributes();
    return Initialize_DIB();
}

engine::DecodeResult Image_Magick_Image::TakeDecoded() {
    engine::DecodeResult result;
    if (image == nullptr || transparent) {
        return result;
    }
    result.image.reset(image);
    image = nullptr;
    result.damaged = damaged;
    result.message = damaged ? damage : std::string();
    result.rendition = rendition;
    result.reduced = Reduced();
    result.full_columns = full_columns;
    result.full_rows = full_rows;
    // Decoded upright and in display colours; nothing is left for the taker to apply.
    result.orientation_applied = true;
    Reinitialize();
    return result;
}

bool Image_Magick_Image::PingImage(const char* file_name) {
    if (!Reinitialize()) {
        return false;
    }
    std::string path;
    if (!acceptedPath(file_name, path)) {
        return false;
    }
    engine::DecodeResult result = engine::PingImageFile(path);
    if (!result.image) {
        return false;
    }
    image = result.image.release();
    return true;
}

bool Image_Magick_Image::SetImage(engine::Image* an_image) {
    if (an_image == nullptr) {
        return false;
    }
    Reinitialize();
    image = an_image;
    CopyImageAttributes();
    Initialize_DIB();
    return true;
}

void Image_Magick_Image::TurnFullSize(int orientation) {
    if (Reduced() && orientation >= 5) {
        std::swap(full_columns, full_rows);
    }
}

void Image_Magick_Image::CopyImageAttributes() {
    if (image == nullptr || image_info == nullptr) {
        return;
    }
    std::snprintf(image_info->filename, sizeof image_info->filename, "%s", image->filename.c_str());
    std::snprintf(image_info->magick, sizeof image_info->magick, "%s", image->magick.c_str());
    image_info->depth = 8;
}

bool Image_Magick_Image::Initialize_DIB() {
    if (image == nullptr) {
        ReportError("'Initialize_DIB()' failed.\n\nCan't initialize a DIB without an image "
                    "loaded.\nerror# FH37FHDSDD");
        return false;
    }
    cache = image->pixels.get();
    pixels = cache;
    delete DIB_Container.header;
    auto* header = new BITMAPINFOHEADER{};
    header->biSize = 40;
    header->biWidth = static_cast<LONG>(image->columns);
    header->biHeight = -static_cast<LONG>(image->rows);
    header->biPlanes = 1;
    header->biBitCount = 32;
    header->biCompression = BI_RGB;
    header->biSizeImage = static_cast<DWORD>(image->columns * image->rows * 4);
    DIB_Container.header = header;
    DIB_Container.zero = 0;
    DIB_Container.stride = ((header->biWidth * header->biBitCount + 31) / 32) * 4;
    DIB_Container.bits = pixels;
    DIB_Container.info = reinterpret_cast<BITMAPINFO*>(header);
    return true;
}

engine::Image* ScaleImage_Bresenham_Fractional(Image_Magick_Image& image, ImageRegionFP region,
                                               int dest_width, int dest_height) {
    if (image.image == nullptr || !image.image->pixels) {
        if (dest_width <= 0 || dest_height <= 0) {
            return engine::AllocateImage();
        }
        ReportError("ScaleImage_Bresenham_Fractional() failed");
        return nullptr;
    }
    const engine::Image& whole = *image.image;
    if (image.Reduced()) {
        // A reduced first view: the region is in the whole image's pixels.
        const double sx = static_cast<double>(whole.columns) / static_cast<double>(image.Columns());
        const double sy = static_cast<double>(whole.rows) / static_cast<double>(image.Rows());
        const ImageRegionFP scaled{region.x * sx, region.y * sy, region.width * sx,
                                   region.height * sy};
        return ScaleImage_Bresenham_Fractional(whole, scaled, dest_width, dest_height);
    }
    const engine::Image* reduced = whole.reduced.get();
    const double factor = static_cast<double>(whole.reduced_factor);
    if (reduced != nullptr && dest_width * factor <= region.width &&
        dest_height * factor <= region.height) {
        // Far below 1:1 the reduced copy holds every pixel the view needs: the whole image
        // need not be read from its file.
        const ImageRegionFP scaled{region.x / factor, region.y / factor, region.width / factor,
                                   region.height / factor};
        return ScaleImage_Bresenham_Fractional(*reduced, scaled, dest_width, dest_height);
    }
    engine::Image* result = ScaleImage_Bresenham_Fractional(whole, region, dest_width, dest_height);
    if (reduced != nullptr) {
        engine::ReleaseResidentPages(whole.pixels, 0, whole.columns * whole.rows * 4);
    }
    return result;
}
