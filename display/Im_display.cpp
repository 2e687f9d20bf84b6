#include "Im_display.h"

#include "common/ErrorReporting.h"
#include "platform/Components.h"
#include "platform/DebugOutput.h"

#include <QPainter>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace {

double roundHalfAway(double v) {
    return v >= 0 ? std::trunc(v + 0.5) : std::trunc(v - 0.5);
}

int truncated(double v) {
    return static_cast<int>(std::trunc(v));
}

ImageRegionFP wholeImage(const Image_Magick_Image& image) {
    return ImageRegionFP{0, 0, static_cast<double>(image.Columns()),
                         static_cast<double>(image.Rows())};
}

} // namespace

TIM_Display::TIM_Display(QWidget* owner) : TImage(owner) {
    SetZoomFactor(1.0);
}

TIM_Display::~TIM_Display() = default;

void TIM_Display::SetZoomFactor(double z) {
    const double columns = static_cast<double>(CurrentImage.Columns());
    const double rows = static_cast<double>(CurrentImage.Rows());
    if (ImageLoaded && columns > 0 && rows > 0) {
        ZoomX = AxisZoom(columns, z);
        ZoomY = AxisZoom(rows, z);
    } else {
        ZoomX = ZoomY = z;
    }
    ZoomFactor = z;
}

double TIM_Display::AxisZoom(double extent, double z) {
    const double zoom = roundHalfAway(extent * z) / extent;
    return zoom == 0 ? 1 / extent : zoom;
}

bool TIM_Display::LoadImageA(const char* file_name) {
    return LoadImageA(std::string(file_name != nullptr ? file_name : ""));
}

bool TIM_Display::LoadImageA(const std::string& file_name) {
    if (!CurrentImage.ReadImage(file_name)) {
        return false;
    }
    FileName = file_name;
    PanX = PanY = 0;
    ImageLoaded = true;
    return true;
}

bool TIM_Display::LoadDecoded(const std::string& file_name, engine::DecodeResult&& result) {
    if (!CurrentImage.AdoptDecoded(file_name, std::move(result))) {
        return false;
    }
    FileName = file_name;
    PanX = PanY = 0;
    ImageLoaded = true;
    return true;
}

int TIM_Display::Blit(Image_Magick_Image& image, int src_x, int src_y, int width, int height,
                      int dst_x, int dst_y) {
    if (!image.transparent) {
        return image.Blit(Canvas()->Handle(), src_x, src_y, width, height, dst_x, dst_y);
    }
    // The premultiplied pixels drawn over the backdrop.
    QImage* canvas = Canvas()->Handle()->image;
    const engine::Image* record = image.Image();
    if (canvas == nullptr || record == nullptr || width <= 0 || height <= 0) {
        throw "Error with SetDIBits\nError #J4HJ38";
    }
    const QImage source(record->Row(0), static_cast<int>(record->columns),
                        static_cast<int>(record->rows), static_cast<qsizetype>(record->columns * 4),
                        QImage::Format_ARGB32_Premultiplied);
    QPainter painter(canvas);
    const QRect target(dst_x, dst_y, width, height);
    painter.setCompositionMode(QPainter::CompositionMode_Source);
    if (Backdrop) {
        painter.fillRect(target, QColor::fromRgb(*Backdrop));
    } else {
        // Copied from a whole canvas of it, made once a size: a plain copy is several times
        // faster than tiling it with a brush.
        if (checkers_.size() != canvas->size()) {
            checkers_ = QImage(canvas->size(), QImage::Format_RGB32);
            QPainter tiler(&checkers_);
            tiler.fillRect(checkers_.rect(), QBrush(checkerboard()));
        }
        painter.drawImage(target.topLeft(), checkers_, target);
    }
    painter.setCompositionMode(QPainter::CompositionMode_SourceOver);
    painter.drawImage(QPoint(dst_x, dst_y), source, QRect(src_x, src_y, width, height));
    return height;
}

// Two squares of 8 canvas pixels in two greys, tiled from the canvas's corner, so that the
// pattern stays put while the image moves over it.
const QImage& TIM_Display::checkerboard() {
    static const QImage tile = [] {
        QImage made(16, 16, QImage::Format_RGB32);
        for (int y = 0; y < 16; ++y) {
            for (int x = 0; x < 16; ++x) {
                made.setPixel(
                    x, y, ((x / 8) + (y / 8)) % 2 == 0 ? qRgb(153, 153, 153) : qRgb(102, 102, 102));
            }
        }
        return made;
    }();
    return tile;
}

int TIM_Display::Blit(int src_x, int src_y, int width, int height, int dst_x, int dst_y) {
    return Blit(CurrentImage, src_x, src_y, width, height, dst_x, dst_y);
}

bool TIM_Display::DrawImageSection(Image_Magick_Image& image, int src_x, int src_y, int dst_x,
                                   int dst_y, int width, int height) {
    try {
        if (!image.HasView()) {
            throw "Error in 'DrawImageSection'\n\nDIB_Container is not initialized\n\nError "
                  "#5JER87J3";
        }
        const int columns = static_cast<int>(image.Columns());
        const int rows = static_cast<int>(image.Rows());
        if (dst_x >= Width() || dst_y >= Height() || width <= 0 || height <= 0 ||
            src_x >= columns || src_y >= rows || src_x + width < 0 || src_y + height < 0) {
            return true;
        }
        // A part of the destination left of or above the canvas takes the matching part of
        // the source with it, so what is drawn stays in register.
        if (src_x < 0) {
            dst_x -= src_x, width += src_x, src_x = 0;
        }
        if (src_y < 0) {
            dst_y -= src_y, height += src_y, src_y = 0;
        }
        width = std::min(width, columns - src_x);
        height = std::min(height, rows - src_y);
        if (dst_x < 0) {
            width += dst_x, src_x -= dst_x, dst_x = 0;
        }
        if (dst_y < 0) {
            height += dst_y, src_y -= dst_y, dst_y = 0;
        }
        width = std::min(width, Width() - dst_x);
        height = std::min(height, Height() - dst_y);
        if (width <= 0 || height <= 0) {
            return true;
        }
        Blit(image, src_x, src_y, width, height, dst_x, dst_y);
        return true;
    } catch (const char* text) {
        LastErrorCode = GetLastError();
        ReportException("%s", text);
        return false;
    }
}

bool TIM_Display::DrawImageSection(int src_x, int src_y, int dst_x, int dst_y, int width,
                                   int height) {
    return DrawImageSection(CurrentImage, src_x, src_y, dst_x, dst_y, width, height);
}

bool TIM_Display::DrawImageSectionAndBlackout(Image_Magick_Image& image, ImageRegionFP is_source,
                                              ImageRegionFP ss_subcanvas, ImageRegionFP ss_dest) {
    if (image.Reduced() && &image == &CurrentImage) {
        // A reduced first view has fewer pixels than the image: even 1:1 is scaled from it.
        return DrawImageSectionZoomedAndBlackout(is_source, ss_subcanvas, ss_dest);
    }
    const bool width_differs = ss_dest.width != is_source.width;
    const bool height_differs = ss_dest.height != is_source.height;
    const bool extents =
        ss_dest.width != 0 && is_source.width != 0 && ss_dest.height != 0 && is_source.height != 0;
    if ((width_differs || height_differs) && extents) {
        OutputDebugStringA("TIM_Display::DrawImageSectionAndBlackout() - need to scale image but "
                           "this function is not for scaling images.\n");
        char line[512];
        std::snprintf(line, sizeof line,
                      "ss_dest.width != is_source.width = %d, ss_dest.height != is_source.height "
                      "= %d,          ss_dest.width != 0 = %d, is_source.width != 0 = %d, "
                      "ss_dest.height != 0 = %d, is_source.height != 0 = %d\n",
                      width_differs, height_differs, ss_dest.width != 0, is_source.width != 0,
                      ss_dest.height != 0, is_source.height != 0);
        OutputDebugStringA(line);
        return false;
    }
    CalcSafeDrawRegions(image, is_source, ss_subcanvas, ss_dest);
    if (is_source.width > 0 && is_source.height > 0 && ss_dest.width > 0 && ss_dest.height > 0) {
        if (!DrawImageSection(image, truncated(is_source.x), truncated(is_source.y),
                              truncated(ss_dest.x), truncated(ss_dest.y), truncated(ss_dest.width),
                              truncated(ss_dest.height))) {
            return false;
        }
    }
    for (const ImageBoundariesFP& band : Subtract(ss_dest.ToCorners(), ss_subcanvas.ToCorners())) {
        if (!band.IsEmpty()) {
            const RECT rect = band.ToRect();
            FillRect(Canvas()->Handle(), &rect, Canvas()->Brush);
        }
    }
    return true;
}

bool TIM_Display::DrawImageSectionAndBlackout(ImageRegionFP is_source, ImageRegionFP ss_subcanvas,
                                              ImageRegionFP ss_dest) {
    return DrawImageSectionAndBlackout(CurrentImage, is_source, ss_subcanvas, ss_dest);
}

void TIM_Display::fill(const ImageRegionFP& region) {
    const RECT rect{truncated(region.x), truncated(region.y), truncated(region.x + region.width),
                    truncated(region.y + region.height)};
    FillRect(Canvas()->Handle(), &rect, Canvas()->Brush);
}

bool TIM_Display::DrawImageSectionZoomedAndBlackout(ImageRegionFP is_source,
                                                    ImageRegionFP ss_subcanvas,
                                                    ImageRegionFP ss_dest) {
    CalcSafeDrawRegions(is_source, ss_subcanvas, ss_dest);
    if (ss_subcanvas.width == 0 || ss_subcanvas.height == 0) {
        return true;
    }
    const bool extents =
        is_source.width != 0 && is_source.height != 0 && ss_dest.width != 0 && ss_dest.height != 0;
    if (extents && ss_dest.width / is_source.width == 1 && ss_dest.height / is_source.height == 1 &&
        !CurrentImage.Reduced()) {
        return DrawImageSectionAndBlackout(is_source, ss_subcanvas, ss_dest);
    }
    if (!extents) {
        fill(ss_subcanvas);
        return true;
    }
    engine::Image* scaled = ScaleImage_Bresenham_Fractional(
        CurrentImage, is_source, truncated(ss_dest.width), truncated(ss_dest.height));
    if (scaled == nullptr) {
        // No picture to show for this part: show it black rather than leave old pixels.
        fill(ss_subcanvas);
        return false;
    }
    ScaledPixels += std::uint64_t{scaled->columns} * scaled->rows;
    Image_Magick_Image temporary;
    temporary.SetImage(scaled);
    temporary.transparent = CurrentImage.transparent;
    return DrawImageSectionAndBlackout(temporary, wholeImage(temporary), ss_subcanvas, ss_dest);
}

bool TIM_Display::DrawImageSectionZoomedAndBlackout(double zoom) {
    const ImageRegionFP canvas{0, 0, static_cast<double>(Width()), static_cast<double>(Height())};
    const ImageRegionFP source = ImageRegionFP::ClipRegion(CanvasToImage(canvas, zoom, PanX, PanY),
                                                           wholeImage(CurrentImage));
    ImageRegionFP dest = ImageToCanvas(source, zoom, PanX, PanY);
    dest.RoundToPixels();
    dest = ImageRegionFP::ClipRegion(dest, canvas);
    return DrawImageSectionZoomedAndBlackout(source, canvas, dest);
}

bool TIM_Display::DrawImageSectionZoomedAndBlackout() {
    return DrawImageSectionZoomedAndBlackout(ZoomFactor);
}

bool TIM_Display::DrawImageFitToCanvas(ImageRegionFP& ss_dest) {
    if (!CurrentImage.HasView()) {
        ReportError("Error in 'TIM_Display::DrawImageFitToCanvas()'\n\nDIB_Container is not "
                    "initialized\n\nError #5JER87J3");
        return false;
    }
    const double iw = static_cast<double>(CurrentImage.Columns());
    const double ih = static_cast<double>(CurrentImage.Rows());
    const int cw = Width();
    const int ch = Height();
    int x, y, w, h;
    if (static_cast<double>(cw) / ch <= iw / ih) {
        w = cw;
        h = static_cast<int>(roundHalfAway(cw / iw * ih));
        x = 0;
        y = (ch - h) / 2;
    } else {
        h = ch;
        w = static_cast<int>(roundHalfAway(ch / ih * iw));
        x = (cw - w) / 2;
        y = 0;
    }
    ss_dest = ImageRegionFP{static_cast<double>(x), static_cast<double>(y), static_cast<double>(w),
                            static_cast<double>(h)};
    ZoomX = w / static_cast<double>(CurrentImage.Columns());
    ZoomY = h / static_cast<double>(CurrentImage.Rows());
    if (ZoomX == 0 || std::isnan(ZoomX) || ZoomY == 0 || std::isnan(ZoomY)) {
        throw "Calculation bug in TIM_Display::DrawImageFitToCanvas()";
    }
    SetZoomFactor((ZoomX + ZoomY) * 0.5);
    PanX = -x / ZoomX;
    PanY = -y / ZoomY;
    const ImageRegionFP canvas{0, 0, static_cast<double>(cw), static_cast<double>(ch)};
    if (w == iw && h == ih) {
        return DrawImageSectionAndBlackout(wholeImage(CurrentImage), canvas, ss_dest);
    }
    return DrawImageSectionZoomedAndBlackout(wholeImage(CurrentImage), canvas, ss_dest);
}

bool TIM_Display::DrawImageFitToCanvas() {
    ImageRegionFP ignored;
    return DrawImageFitToCanvas(ignored);
}

bool TIM_Display::DrawZoomedCanvasSection(const ImageRegionFP ss_subcanvas) {
    if (ss_subcanvas.width == 0 || ss_subcanvas.height == 0) {
        return true;
    }
    if (ss_subcanvas.width < 0 || ss_subcanvas.height < 0) {
        ReportError("Problem with TIM_Display::DrawZoomedCanvasSection()\nss_subcanvas.width = "
                    "%f\nss_subcanvas.height = %f",
                    ss_subcanvas.width, ss_subcanvas.height);
        return false;
    }
    const ImageRegionFP canvas{0, 0, static_cast<double>(Width()), static_cast<double>(Height())};
    if (ZoomFactor != 1) {
        if (ZoomX == 0 || ZoomY == 0 || std::isnan(ZoomX) || std::isnan(ZoomY)) {
            fill(ss_subcanvas); // no zoom to draw at (an image of no pixels)
            return false;
        }
        const ImageRegionFP source = ImageRegionFP::ClipRegion(
            ImageRegionFP{ss_subcanvas.x / ZoomX + PanX, ss_subcanvas.y / ZoomY + PanY,
                          ss_subcanvas.width / ZoomX, ss_subcanvas.height / ZoomY},
            wholeImage(CurrentImage));
        ImageRegionFP dest = ImageToCanvas(source, ZoomX, ZoomY, PanX, PanY);
        dest.RoundToPixels();
        dest = ImageRegionFP::ClipRegion(dest, canvas);
        return DrawImageSectionZoomedAndBlackout(source, ss_subcanvas, dest);
    }
    ZoomX = ZoomY = 1.0;
    const ImageRegionFP source = ImageRegionFP::ClipRegion(
        CanvasToImage(ss_subcanvas, 1.0, PanX, PanY), wholeImage(CurrentImage));
    ImageRegionFP dest = ImageToCanvas(source, 1.0, PanX, PanY);
    dest.RoundToPixels();
    return DrawImageSectionAndBlackout(CurrentImage, source, ss_subcanvas, dest);
}

bool TIM_Display::DrawZoomedCanvas() {
    return DrawZoomedCanvasSection(
        ImageRegionFP{0, 0, static_cast<double>(Width()), static_cast<double>(Height())});
}

bool TIM_Display::DrawCanvas() {
    ImageRegionFP canvas{0, 0, static_cast<double>(Width()), static_cast<double>(Height())};
    ImageRegionFP dest{-PanX, -PanY, Width() + PanX, Height() + PanY};
    ImageRegionFP source = wholeImage(CurrentImage);
    dest.width = source.width = std::min(dest.width, source.width);
    dest.height = source.height = std::min(dest.height, source.height);
    CalcSafeDrawRegions(source, canvas, dest);
    return DrawImageSectionAndBlackout(CurrentImage, source, canvas, dest);
}

void TIM_Display::Pan(int dx, int dy) {
    const double old_x = PanX;
    const double old_y = PanY;
    PanX += dx / ZoomX;
    PanY += dy / ZoomY;
    const double columns = static_cast<double>(CurrentImage.Columns());
    const double rows = static_cast<double>(CurrentImage.Rows());
    auto visible = [&](double x, double y) {
        return y < rows && y + Height() > 0 && x < columns && x + Width() > 0;
    };
    if (!visible(old_x, old_y) && !visible(PanX, PanY)) {
        return;
    }
    if (CurrentImage.transparent) {
        // Copying the canvas would move the checkerboard with the image: draw it all again.
        DrawZoomedCanvas();
        Invalidate();
        return;
    }
    HDC canvas = Canvas()->Handle();
    if (!BitBlt(canvas, dx <= 0 ? -dx : 0, dy <= 0 ? -dy : 0, Width() - std::abs(dx),
                Height() - std::abs(dy), canvas, dx <= 0 ? 0 : dx, dy <= 0 ? 0 : dy, SRCCOPY)) {
        ReportError("Error with BitBlt()\nError #DF4G");
        return;
    }
    const double strip_height = std::min(std::abs(dy), Height());
    const ImageRegionFP horizontal{0, dy <= 0 ? 0.0 : static_cast<double>(Height() - dy),
                                   static_cast<double>(Width()), strip_height};
    const ImageRegionFP vertical{dx > 0 ? static_cast<double>(Width() - dx) : 0.0,
                                 dy <= 0 ? strip_height : 0.0, static_cast<double>(std::abs(dx)),
                                 Height() - strip_height};
    DrawZoomedCanvasSection(vertical);
    DrawZoomedCanvasSection(horizontal);
    Invalidate();
}

void TIM_Display::CalcSafeDrawRegions(Image_Magick_Image& image, ImageRegionFP& is_source,
                                      ImageRegionFP& ss_subcanvas, ImageRegionFP& ss_dest) {
    ::CalcSafeDrawRegions(Width(), Height(), static_cast<double>(image.Columns()),
                          static_cast<double>(image.Rows()), is_source, ss_subcanvas, ss_dest);
}

void TIM_Display::CalcSafeDrawRegions(ImageRegionFP& is_source, ImageRegionFP& ss_subcanvas,
                                      ImageRegionFP& ss_dest) {
    CalcSafeDrawRegions(CurrentImage, is_source, ss_subcanvas, ss_dest);
}

bool TIM_Display::Print(TPrinter* printer) {
    return CurrentImage.Print(printer);
}

namespace Im_display {
void Register() {
    platform::RegisterComponents("Custom", {"TIM_Display"});
}
} // namespace Im_display
