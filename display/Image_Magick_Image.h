// One decoded image with a bitmap view of its pixels, ready to hand to a device context.
//
// The image library installed here keeps 16 bits per sample. An 8-bit build would hand out
// its own pixel memory for the view; here a file is decoded, its pixels are exported once to
// 8-bit BGRA straight from the library's pixel cache into the engine's image record, and the
// library's 16-bit image is freed at once: `image` is that 8-bit record and the view points at
// its pixels. A ping keeps only the attributes (columns, rows, format) in a record without
// pixels.
#pragma once

#include "EngineImage.h"
#include "ImageDecoder.h"
#include "ImageRegion.h"
#include "platform/Gdi.h"

#include <string>

struct _ImageInfo;
struct _ExceptionInfo;
class TPrinter;

struct DIB_Container {
    BITMAPINFOHEADER* header = nullptr; // owned; null when there is no view
    DWORD zero = 0;
    std::uint8_t* bits = nullptr; // == pixels
    BITMAPINFO* info = nullptr;   // == header
    std::int32_t stride = 0;      // bytes per bitmap row
};

// A file name of this many characters or more is refused before the library sees it.
constexpr std::size_t kMaxTextExtent = 2053;

class Image_Magick_Image {
public:
    Image_Magick_Image();
    ~Image_Magick_Image();
    Image_Magick_Image(const Image_Magick_Image&) = delete;
    Image_Magick_Image& operator=(const Image_Magick_Image&) = delete;

    bool Initialize();
    bool Release();
    bool Reinitialize();

    // Decodes a file (a name in double quotes loses them). False after a reported failure; a
    // format without a decoder fails silently. The library must have been started.
    bool ReadImage(const char* file_name);
    bool ReadImage(const std::string& file_name);
    // Takes the result of DecodeImageFile for file_name (decoded on any thread; call this on the
    // window's thread): adopts its image and returns true, or reports the failure as ReadImage
    // does and returns false. A cancelled decode fails without a word.
    bool AdoptDecoded(const std::string& file_name, engine::DecodeResult&& result);
    // Gives the adopted record back as the decode result it came from, and holds no image
    // afterwards. Empty when there is none, or when adoption changed its pixels (a
    // transparent image's are premultiplied).
    engine::DecodeResult TakeDecoded();
    // Reads only the file's attributes: Columns, Rows and Format are meaningful afterwards.
    bool PingImage(const char* file_name);
    // Adopts an image (an engine record, e.g. from the scaler); false for null.
    bool SetImage(engine::Image* an_image);
    bool Initialize_DIB();
    // Draws (src_x, src_y, width, height) of the image at (dst_x, dst_y) on dc; returns the
    // rows drawn. Throws "Error with SetDIBits\nError #J4HJ38" when nothing could be drawn.
    int Blit(HDC dc, int src_x, int src_y, int width, int height, int dst_x, int dst_y);
    // Fits the image to the printer's page, centred, scaled when needed. The caller opens and
    // closes the print job.
    bool Print(TPrinter* printer);
    void CopyImageAttributes();

    // The image's size: for a reduced first view the whole image's, not the record's.
    std::size_t Columns() const {
        return full_columns != 0 ? full_columns : image != nullptr ? image->columns : 0;
    }
    std::size_t Rows() const {
        return full_rows != 0 ? full_rows : image != nullptr ? image->rows : 0;
    }
    // The record is a reduced first view of a larger image (Columns x Rows): views of it are
    // scaled from the record, never drawn from it pixel for pixel.
    bool Reduced() const { return full_columns != 0; }
    // A quarter turn of the record (an orientation of 5 to 8) turns the whole image's size too.
    void TurnFullSize(int orientation);
    std::string Format() const { return image != nullptr ? image->magick : std::string(); }
    const engine::Image* Image() const { return image; }
    bool HasView() const { return DIB_Container.header != nullptr; }

    std::uint8_t* pixels = nullptr;
    engine::Image* image = nullptr;
    std::size_t full_columns = 0, full_rows = 0; // 0 unless Reduced()
    _ImageInfo* image_info = nullptr;
    _ExceptionInfo* exception = nullptr;
    ::DIB_Container DIB_Container;
    std::uint8_t* cache = nullptr;

    // Some pixel is less than opaque. The pixels are then premultiplied by their alpha (from
    // adoption on), and drawing shows what lies behind them.
    bool transparent = false;

    // The image was read, but its file is damaged: damage says how (the part that could be
    // read is shown).
    bool damaged = false;
    std::string damage;
    // Which rendition of a file that has several is shown ("embedded preview", "developed");
    // empty for other files.
    std::string rendition;

    // Milliseconds the last ReadImage spent decoding and exporting (for the benchmark tool).
    double last_decode_ms = 0;
    double last_export_ms = 0;
    double last_release_ms = 0; // freeing the library's 16-bit image
};

// A new image of dest_width x dest_height from the window region of image (the region-level
// entry to the scaler); see the engine-record form.
engine::Image* ScaleImage_Bresenham_Fractional(Image_Magick_Image& image, ImageRegionFP region,
                                               int dest_width, int dest_height);
