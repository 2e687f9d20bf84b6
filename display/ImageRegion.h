// Floating-point regions in image or canvas pixels, the mappings between the two spaces, and
// the rectangle difference that gives the bands to black out around a drawn image.
//
// Regions in image space are named is_..., regions in canvas (screen) space ss_....
#pragma once

#include "platform/WinTypes.h"

#include <vector>

// The inclusive-corner form: x2 = x + width - 1, y2 = y + height - 1. Empty when x1 > x2 or
// y1 > y2.
struct ImageBoundariesFP {
    double x1 = 0, y1 = 0, x2 = 0, y2 = 0;

    bool IsEmpty() const { return x1 > x2 || y1 > y2; }
    // left = trunc(x1), top = trunc(y1), right = trunc(x2 + 1), bottom = trunc(y2 + 1).
    RECT ToRect() const;
};

// A rectangle; width and height may be negative until Normalize. All zeros by default; a
// region with width or height 0 is empty.
struct ImageRegionFP {
    double x = 0, y = 0, width = 0, height = 0;

    // A negative extent flips the axis by the inclusive-pixel rule: x 10, width -3 becomes
    // x 8, width 3 (the pixels 10, 9, 8).
    void Normalize();
    // Normalize, then the smallest whole-pixel region that covers this one.
    void AlignToPixels();
    // Each field to the nearest integer, halves away from zero.
    void RoundToPixels();
    // The intersection of a and b (both normalised first); regions that only touch do not
    // overlap and give zero on that axis. A negative result is reported.
    static ImageRegionFP ClipRegion(ImageRegionFP a, ImageRegionFP b);
    ImageBoundariesFP ToCorners() const;
    RECT ToRect() const { return ToCorners().ToRect(); }
};

// The parts of outer not covered by inner, at most four bands in the order top, bottom, left,
// right; the bands do not overlap. Callers skip the empty ones.
std::vector<ImageBoundariesFP> Subtract(const ImageBoundariesFP& inner,
                                        const ImageBoundariesFP& outer);

// Maps a point p to p * scale + offset per axis.
struct RegionTransform {
    double offset_x = 0, offset_y = 0, scale_x = 0, scale_y = 0;
};

// scale = destination extent / source extent (0 for a source extent of 0);
// offset = destination start - source start * scale.
RegionTransform MakeTransform(const ImageRegionFP& source, const ImageRegionFP& destination);
// Per axis with scale != 0: offset' = -offset / scale, scale' = 1 / scale; else both 0.
RegionTransform InvertTransform(const RegionTransform& transform);
ImageRegionFP ApplyTransform(const ImageRegionFP& region, const RegionTransform& transform);

// (x - pan_x) * zoom, ... and the same with separate zoom factors.
ImageRegionFP ImageToCanvas(const ImageRegionFP& region, double zoom, double pan_x, double pan_y);
ImageRegionFP ImageToCanvas(const ImageRegionFP& region, double zoom_x, double zoom_y, double pan_x,
                            double pan_y);
// x / zoom + pan_x, ...; a zoom of 0 or NaN is reported ("divide by zero") and gives the zero
// region.
ImageRegionFP CanvasToImage(const ImageRegionFP& region, double zoom, double pan_x, double pan_y);
ImageRegionFP CanvasToImage(const ImageRegionFP& region, double zoom_x, double zoom_y, double pan_x,
                            double pan_y);

// Makes a source-to-destination mapping safe to draw on a canvas of canvas_width x
// canvas_height from an image of columns x rows: the subcanvas is clipped to the canvas, the
// destination to the subcanvas, the source to what the clipped destination maps back to (and
// to the image), and the destination is recomputed from the source and rounded to whole
// pixels. The source keeps its fractions. The display component's CalcSafeDrawRegions calls
// this with its own size and image.
void CalcSafeDrawRegions(double canvas_width, double canvas_height, double columns, double rows,
                         ImageRegionFP& is_source, ImageRegionFP& ss_subcanvas,
                         ImageRegionFP& ss_dest);
