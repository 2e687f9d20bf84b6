#include "Image_Magick_Image.h"

#include "PixelExport.h"
#include "ScaleRegion.h"
#include "common/ErrorReporting.h"
#include "common/FileNames.h"
#include "platform/Timing.h"

#include <magick/MagickCore.h>

#include <cctype>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <thread>

static_assert(sizeof(PixelPacket) == 8, "the export reads 16-bit blue, green, red, opacity");

namespace {

double millisecondsSince(LONGLONG start) {
    LONGLONG now = 0;
    QueryPerformanceCounter(&now);
    return static_cast<double>(now - start) / 1e6;
}

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

// What the library gets as a name: only a hint of the format from the extension. The file
// itself is handed over open, so nothing in a name ("format:" prefixes, "[frame]" suffixes,
// "@" lists, "|" pipes) is ever interpreted.
std::string formatHint(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    const std::size_t dot = path.rfind('.');
    std::string hint = "image";
    if (dot != std::string::npos && (slash == std::string::npos || dot > slash)) {
        std::string extension;
        for (std::size_t i = dot + 1; i < path.size() && extension.size() < 16; ++i) {
            if (std::isalnum(static_cast<unsigned char>(path[i]))) {
                extension += path[i];
            }
        }
        if (!extension.empty()) {
            hint += "." + extension;
        }
    }
    return hint;
}

class OpenFile {
public:
    explicit OpenFile(const std::string& path) : file_(std::fopen(path.c_str(), "rb")) {}
    ~OpenFile() {
        if (file_ != nullptr) {
            std::fclose(file_);
        }
    }
    OpenFile(const OpenFile&) = delete;
    OpenFile& operator=(const OpenFile&) = delete;
    FILE* get() const { return file_; }

private:
    FILE* file_;
};

// Pixels that are not red, green and blue samples (CMYK, YCbCr, Lab, ...) are converted.
// Linear RGB and gray samples are shown as stored, as the files hold them.
bool needsColorTransform(ColorspaceType colorspace) {
    return colorspace != sRGBColorspace && colorspace != RGBColorspace &&
           colorspace != GRAYColorspace && colorspace != LinearGRAYColorspace &&
           colorspace != TransparentColorspace && colorspace != Rec601LumaColorspace &&
           colorspace != Rec709LumaColorspace && colorspace != UndefinedColorspace;
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
    OpenFile file(path);
    if (file.get() == nullptr) {
        LastErrorCode = static_cast<DWORD>(errno);
        ReportError("'ReadImage()' failed.\n\nTried to read %s\n\nException description:\n"
                    "message: %s\nReason: %s\nerror# FH37FH32S",
                    path.c_str(), "The file cannot be opened", std::strerror(errno));
        return false;
    }
    std::snprintf(image_info->filename, sizeof image_info->filename, "%s",
                  formatHint(path).c_str());
    SetImageInfoFile(image_info, file.get());
    // Only the first frame of a multi-frame file is shown.
    image_info->scene = 0;
    image_info->number_scenes = 1;

    LONGLONG start = 0;
    QueryPerformanceCounter(&start);
    ::Image* decoded = ::ReadImage(image_info, exception);
    if (decoded != nullptr && exception->severity < ErrorException &&
        needsColorTransform(decoded->colorspace)) {
        TransformImageColorspace(decoded, sRGBColorspace);
    }
    last_decode_ms = millisecondsSince(start);
    if (decoded != nullptr && (decoded->columns == 0 || decoded->rows == 0)) {
        // A damaged header can come back as an image of no pixels: nothing to show.
        DestroyImageList(decoded);
        decoded = nullptr;
        ThrowMagickException(exception, GetMagickModule(), CorruptImageError,
                             "The file holds an image of no pixels", "`%s'", path.c_str());
    }
    if (decoded == nullptr || exception->severity >= ErrorException) {
        if (decoded != nullptr) {
            DestroyImageList(decoded);
        }
        if (exception->severity != MissingDelegateError) {
            // Some coders give up without a word (libpng refusing a size over the limits
            // among them): say what that means rather than show empty lines.
            const bool silent = exception->reason == nullptr || *exception->reason == '\0';
            ReportError("'ReadImage()' failed.\n\nTried to read %s\n\nException description:\n"
                        "message: %s\nReason: %s\nerror# FH37FH32S",
                        path.c_str(),
                        silent ? "The image library could not decode the file"
                               : (exception->description ? exception->description : ""),
                        silent ? "the file is damaged, or its image is larger than the limit "
                                 "of 32768 pixels a side and 268435456 pixels in all"
                               : exception->reason);
        }
        return false;
    }

    QueryPerformanceCounter(&start);
    std::unique_ptr<engine::Image> record(new (std::nothrow) engine::Image);
    bool exported = false;
    if (record) {
        record->columns = decoded->columns;
        record->rows = decoded->rows;
        record->filename = path;
        record->magick = decoded->magick;
        const std::size_t bytes = decoded->columns * decoded->rows * 4;
        record->pixels = engine::AllocatePixels(bytes);
        exported = record->pixels != nullptr;
        const bool matte = decoded->matte != MagickFalse;
        const std::size_t count = decoded->columns * decoded->rows;
        const PixelPacket* whole =
            exported && GetImagePixelCacheType(decoded) == MemoryCache
                ? GetVirtualPixels(decoded, 0, 0, decoded->columns, decoded->rows, exception)
                : nullptr;
        if (whole != nullptr) {
            // Straight from the library's pixel memory, in two halves at once: the copy is
            // bound by memory bandwidth, which one core alone does not use up.
            const auto* samples = reinterpret_cast<const std::uint16_t*>(whole);
            std::uint8_t* target = record->pixels.get();
            const std::size_t half = count >= (std::size_t{1} << 20) ? count / 2 : count;
            std::thread second;
            if (half < count) {
                second = std::thread([=] {
                    engine::ExportBgra(samples + half * 4, target + half * 4, count - half, matte);
                });
            }
            engine::ExportBgra(samples, target, half, matte);
            if (second.joinable()) {
                second.join();
            }
        } else {
            // Other caches hand out a band of rows at a time.
            const std::size_t band = 256;
            for (std::size_t y = 0; exported && y < decoded->rows; y += band) {
                const std::size_t rows = std::min(band, decoded->rows - y);
                const PixelPacket* packets = GetVirtualPixels(decoded, 0, static_cast<ssize_t>(y),
                                                              decoded->columns, rows, exception);
                if (packets == nullptr) {
                    exported = false;
                    break;
                }
                engine::ExportBgra(reinterpret_cast<const std::uint16_t*>(packets), record->Row(y),
                                   decoded->columns * rows, matte);
            }
        }
    }
    last_export_ms = millisecondsSince(start);
    QueryPerformanceCounter(&start);
    DestroyImageList(decoded);
    last_release_ms = millisecondsSince(start);
    if (!exported) {
        ReportError("'ReadImage()' failed.\n\nTried to read %s\n\nException description:\n"
                    "message: %s\nReason: %s\nerror# FH37FH32S",
                    path.c_str(), "Memory allocation failed", "The pixels could not be exported");
        return false;
    }
    image = record.release();
    CopyImageAttributes();
    return Initialize_DIB();
}

bool Image_Magick_Image::PingImage(const char* file_name) {
    if (!Reinitialize()) {
        return false;
    }
    std::string path;
    if (!acceptedPath(file_name, path)) {
        return false;
    }
    OpenFile file(path);
    if (file.get() == nullptr) {
        return false;
    }
    std::snprintf(image_info->filename, sizeof image_info->filename, "%s",
                  formatHint(path).c_str());
    SetImageInfoFile(image_info, file.get());
    image_info->scene = 0;
    image_info->number_scenes = 1;
    ::Image* pinged = ::PingImage(image_info, exception);
    if (pinged == nullptr) {
        return false;
    }
    const bool ok = exception->severity < ErrorException && pinged->columns > 0 && pinged->rows > 0;
    if (ok) {
        image = new engine::Image;
        image->columns = pinged->columns;
        image->rows = pinged->rows;
        image->filename = path;
        image->magick = pinged->magick;
    }
    DestroyImageList(pinged);
    return ok;
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
    return ScaleImage_Bresenham_Fractional(*image.image, region, dest_width, dest_height);
}
