// The image view: one decoded image painted on the control's own canvas at a zoom and a pan,
// fitted, unscaled or zoomed, with the rest of the canvas blacked out (filled with the canvas
// brush, which the viewer sets to black).
//
// Regions: is_... in image pixels, ss_... in canvas pixels. PanX, PanY is the image point at
// the canvas's top-left corner; ZoomX, ZoomY the effective zoom per axis (the zoomed image is a
// whole number of pixels). The component never redraws on its own, except in Pan.
#pragma once

#include "ImageRegion.h"
#include "Image_Magick_Image.h"
#include "platform/qt/ImageControl.h"

#include <cstdint>
#include <optional>
#include <string>

class TPrinter;

class TIM_Display : public TImage {
public:
    explicit TIM_Display(QWidget* owner = nullptr);
    ~TIM_Display() override;

    bool LoadImageA(const char* file_name);
    // Decodes file_name; on success FileName is it, the pan is (0, 0) and ImageLoaded is set.
    // On failure nothing else changes (the image object is empty).
    bool LoadImageA(const std::string& file_name);
    // The second half of LoadImageA for a file decoded elsewhere (DecodeImageFile on a worker
    // thread): the same result and reports, on the window's thread.
    bool LoadDecoded(const std::string& file_name, engine::DecodeResult&& result);
    int Blit(Image_Magick_Image& image, int src_x, int src_y, int width, int height, int dst_x,
             int dst_y);
    int Blit(int src_x, int src_y, int width, int height, int dst_x, int dst_y);
    // Clipped unscaled copy; false (reported) without a bitmap view.
    bool DrawImageSection(Image_Magick_Image& image, int src_x, int src_y, int dst_x, int dst_y,
                          int width, int height);
    bool DrawImageSection(int src_x, int src_y, int dst_x, int dst_y, int width, int height);
    // Unscaled draw of is_source at ss_dest plus the blackout of the rest of ss_subcanvas;
    // false, drawing nothing, when the sizes ask for scaling.
    bool DrawImageSectionAndBlackout(Image_Magick_Image& image, ImageRegionFP is_source,
                                     ImageRegionFP ss_subcanvas, ImageRegionFP ss_dest);
    bool DrawImageSectionAndBlackout(ImageRegionFP is_source, ImageRegionFP ss_subcanvas,
                                     ImageRegionFP ss_dest);
    bool DrawImageSectionZoomedAndBlackout(ImageRegionFP is_source, ImageRegionFP ss_subcanvas,
                                           ImageRegionFP ss_dest);
    bool DrawImageSectionZoomedAndBlackout(double zoom);
    bool DrawImageSectionZoomedAndBlackout();
    // Fits the whole image into the canvas keeping its shape; sets zoom and pan. Throws
    // "Calculation bug in TIM_Display::DrawImageFitToCanvas()" for a canvas it cannot fit to.
    bool DrawImageFitToCanvas(ImageRegionFP& ss_dest);
    bool DrawImageFitToCanvas();
    bool DrawZoomedCanvasSection(const ImageRegionFP ss_subcanvas);
    bool DrawZoomedCanvas();
    bool DrawCanvas();
    // Scrolls by canvas pixels: one copy of the canvas onto itself, then the two uncovered
    // strips are drawn, then the control is invalidated.
    void Pan(int dx, int dy);
    void CalcSafeDrawRegions(Image_Magick_Image& image, ImageRegionFP& is_source,
                             ImageRegionFP& ss_subcanvas, ImageRegionFP& ss_dest);
    void CalcSafeDrawRegions(ImageRegionFP& is_source, ImageRegionFP& ss_subcanvas,
                             ImageRegionFP& ss_dest);
    bool Print(TPrinter* printer);
    // Sets ZoomFactor, ZoomX, ZoomY (each axis a whole number of pixels, at least one); no redraw.
    void SetZoomFactor(double z);
    // The zoom SetZoomFactor(z) gives an axis of extent image pixels: a whole number of pixels
    // across, and at least one.
    static double AxisZoom(double extent, double z);

    // What shows through transparent pixels: a checkerboard of fixed screen size (none set),
    // or one colour (0xRRGGBB).
    std::optional<std::uint32_t> Backdrop;

    std::string FileName;
    double ZoomFactor = 1.0;
    bool ImageLoaded = false;
    double PanX = 0, PanY = 0;
    double ZoomX = 1.0, ZoomY = 1.0;
    Image_Magick_Image CurrentImage;
    // Canvas pixels drawn through the scaler so far: the drawing work a change cost.
    std::uint64_t ScaledPixels = 0;

private:
    void fill(const ImageRegionFP& region);
    static const QImage& checkerboard();
    QImage checkers_; // the checkerboard over the whole canvas
};

// Registers TIM_Display on the palette page "Custom".
namespace Im_display {
void Register();
}
