// Drawing a decoded image on a device context and printing it (the parts that need Qt).
#include "Image_Magick_Image.h"

#include "ColourManagement.h"

#include "PixelExport.h"

#include "common/ErrorReporting.h"
#include "platform/qt/Printer.h"

#include <cmath>
#include <cstdlib>

namespace {
double roundHalfAway(double v) {
    return v >= 0 ? std::trunc(v + 0.5) : std::trunc(v - 0.5);
}
} // namespace

int Image_Magick_Image::Blit(HDC dc, int src_x, int src_y, int width, int height, int dst_x,
                             int dst_y) {
    const int rows = DIB_Container.header != nullptr ? std::abs(DIB_Container.header->biHeight) : 0;
    // The source rectangle of SetDIBitsToDevice is addressed from the bitmap's bottom row.
    const int y_src = rows - src_y - height;
    SetLastError(0);
    const int drawn = SetDIBitsToDevice(dc, dst_x, dst_y, static_cast<DWORD>(std::max(width, 0)),
                                        static_cast<DWORD>(std::max(height, 0)), src_x, y_src, 0,
                                        static_cast<UINT>(rows), DIB_Container.bits,
                                        DIB_Container.info, DIB_RGB_COLORS);
    if (drawn == 0) {
        throw "Error with SetDIBits\nError #J4HJ38";
    }
    return drawn;
}

bool Image_Magick_Image::Print(TPrinter* printer) {
    if (DIB_Container.header == nullptr) {
        ReportError(
            "Error in 'Display_Image'\n\nDIB_Container is not initialized\n\nError #5JER87J3");
        return false;
    }
    const int iw = std::abs(DIB_Container.header->biWidth);
    const int ih = std::abs(DIB_Container.header->biHeight);
    const int pw = printer->PageWidth();
    const int ph = printer->PageHeight();
    int out_w, out_h, x, y;
    if (static_cast<double>(iw) / ih >= static_cast<double>(pw) / ph) {
        out_w = pw;
        out_h = static_cast<int>(roundHalfAway(static_cast<double>(pw) / iw * ih));
        x = 0;
        y = (ph - out_h) / 2;
    } else {
        out_h = ph;
        out_w = static_cast<int>(roundHalfAway(static_cast<double>(ph) / ih * iw));
        x = (pw - out_w) / 2;
        y = 0;
    }
    int blitted = 0;
    try {
        // A page gets sRGB: pixels converted for the monitor are drawn from a copy turned back.
        const bool forMonitor = engine::HasDisplayProfile();
        if (out_w == iw && out_h == ih && !transparent && !forMonitor) {
            blitted = Blit(printer->Canvas(), 0, 0, out_w, out_h, x, y);
        } else {
            Image_Magick_Image temporary;
            temporary.SetImage(ScaleImage_Bresenham_Fractional(
                *this,
                ImageRegionFP{0, 0, static_cast<double>(Columns()), static_cast<double>(Rows())},
                out_w, out_h));
            if (temporary.image == nullptr) {
                ReportError("Error in Image_Magick_Image::Print()\nError #FDJ487F22A");
                return false;
            }
            if (forMonitor) {
                engine::ConvertDisplayedToSrgb(*temporary.image);
            }
            if (transparent) {
                // On paper, what is clear shows the paper.
                engine::CompositeOverWhite(temporary.image->pixels.get(),
                                           temporary.image->columns * temporary.image->rows);
            }
            blitted = temporary.Blit(printer->Canvas(), 0, 0, out_w, out_h, x, y);
        }
    } catch (const char*) {
        blitted = 0;
    }
    if (blitted == 0) {
        ReportError("Error with Image_Magick_Image::Blit()\nError #J4HJ38");
        return false;
    }
    return true;
}
