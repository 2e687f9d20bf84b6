#include "ImageRegion.h"

#include "common/ErrorReporting.h"

#include <algorithm>
#include <cmath>

namespace {

double roundHalfAway(double v) {
    return v >= 0 ? std::trunc(v + 0.5) : std::trunc(v - 0.5);
}

void normalizeAxis(double& start, double& extent) {
    if (extent < 0) {
        start = start + extent + 1;
        extent = -extent;
    }
}

void clipAxis(double as, double ae, double bs, double be, double& start, double& extent) {
    if (as < bs + be && bs < as + ae) {
        start = bs >= as ? bs : as;
        extent = std::min(as + ae, bs + be) - start;
    } else {
        start = 0;
        extent = 0;
    }
}

} // namespace

RECT ImageBoundariesFP::ToRect() const {
    return RECT{static_cast<LONG>(std::trunc(x1)), static_cast<LONG>(std::trunc(y1)),
                static_cast<LONG>(std::trunc(x2 + 1)), static_cast<LONG>(std::trunc(y2 + 1))};
}

void ImageRegionFP::Normalize() {
    normalizeAxis(x, width);
    normalizeAxis(y, height);
}

void ImageRegionFP::AlignToPixels() {
    Normalize();
    const double left = std::floor(x);
    const double top = std::floor(y);
    width = std::ceil(x + width - left);
    height = std::ceil(y + height - top);
    x = left;
    y = top;
}

void ImageRegionFP::RoundToPixels() {
    x = roundHalfAway(x);
    y = roundHalfAway(y);
    width = roundHalfAway(width);
    height = roundHalfAway(height);
}

ImageRegionFP ImageRegionFP::ClipRegion(ImageRegionFP a, ImageRegionFP b) {
    a.Normalize();
    b.Normalize();
    ImageRegionFP result;
    clipAxis(a.x, a.width, b.x, b.width, result.x, result.width);
    clipAxis(a.y, a.height, b.y, b.height, result.y, result.height);
    if (result.width < 0 || result.height < 0) {
        ReportError("Problem in ImageRegionFP::ClipRegion()");
    }
    return result;
}

ImageBoundariesFP ImageRegionFP::ToCorners() const {
    return ImageBoundariesFP{x, y, x + width - 1, y + height - 1};
}

std::vector<ImageBoundariesFP> Subtract(const ImageBoundariesFP& inner,
                                        const ImageBoundariesFP& outer) {
    std::vector<ImageBoundariesFP> bands;
    if (outer.IsEmpty()) {
        return bands;
    }
    const bool intersects = inner.x1 <= outer.x2 && inner.x2 >= outer.x1 && inner.y1 <= outer.y2 &&
                            inner.y2 >= outer.y1;
    if (inner.IsEmpty() || !intersects) {
        bands.push_back(outer);
        return bands;
    }
    const bool hasTop = inner.y1 > outer.y1;
    const bool hasBottom = outer.y2 > inner.y2;
    const ImageBoundariesFP top{outer.x1, outer.y1, outer.x2, std::min(inner.y1 - 1, outer.y2)};
    const ImageBoundariesFP bottom{outer.x1, std::max(inner.y2 + 1, outer.y1), outer.x2, outer.y2};
    const double middleTop = hasTop ? top.y2 + 1 : outer.y1;
    const double middleBottom = hasBottom ? bottom.y1 - 1 : outer.y2;
    if (hasTop) {
        bands.push_back(top);
    }
    if (hasBottom) {
        bands.push_back(bottom);
    }
    if (outer.x1 < inner.x1) {
        bands.push_back({outer.x1, middleTop, std::min(inner.x1 - 1, outer.x2), middleBottom});
    }
    if (outer.x2 > inner.x2) {
        bands.push_back({std::max(inner.x2 + 1, outer.x1), middleTop, outer.x2, middleBottom});
    }
    return bands;
}

RegionTransform MakeTransform(const ImageRegionFP& source, const ImageRegionFP& destination) {
    RegionTransform t;
    t.scale_x = source.width != 0 ? destination.width / source.width : 0;
    t.scale_y = source.height != 0 ? destination.height / source.height : 0;
    t.offset_x = destination.x - source.x * t.scale_x;
    t.offset_y = destination.y - source.y * t.scale_y;
    return t;
}

RegionTransform InvertTransform(const RegionTransform& transform) {
    RegionTransform inverse;
    if (transform.scale_x != 0) {
        inverse.offset_x = -transform.offset_x / transform.scale_x;
        inverse.scale_x = 1 / transform.scale_x;
    }
    if (transform.scale_y != 0) {
        inverse.offset_y = -transform.offset_y / transform.scale_y;
        inverse.scale_y = 1 / transform.scale_y;
    }
    return inverse;
}

ImageRegionFP ApplyTransform(const ImageRegionFP& region, const RegionTransform& transform) {
    return ImageRegionFP{region.x * transform.scale_x + transform.offset_x,
                         region.y * transform.scale_y + transform.offset_y,
                         region.width * transform.scale_x, region.height * transform.scale_y};
}

ImageRegionFP ImageToCanvas(const ImageRegionFP& region, double zoom, double pan_x, double pan_y) {
    return ImageToCanvas(region, zoom, zoom, pan_x, pan_y);
}

ImageRegionFP ImageToCanvas(const ImageRegionFP& region, double zoom_x, double zoom_y, double pan_x,
                            double pan_y) {
    return ImageRegionFP{(region.x - pan_x) * zoom_x, (region.y - pan_y) * zoom_y,
                         region.width * zoom_x, region.height * zoom_y};
}

ImageRegionFP CanvasToImage(const ImageRegionFP& region, double zoom, double pan_x, double pan_y) {
    if (zoom == 0 || std::isnan(zoom)) {
        ReportError("divide by zero\nError #fd2dy");
        return ImageRegionFP{};
    }
    return ImageRegionFP{region.x / zoom + pan_x, region.y / zoom + pan_y, region.width / zoom,
                         region.height / zoom};
}

ImageRegionFP CanvasToImage(const ImageRegionFP& region, double zoom_x, double zoom_y, double pan_x,
                            double pan_y) {
    if (zoom_x == 0 || std::isnan(zoom_x) || zoom_y == 0 || std::isnan(zoom_y)) {
        ReportError("divide by zero\nError #fd2dz");
        return ImageRegionFP{};
    }
    return ImageRegionFP{region.x / zoom_x + pan_x, region.y / zoom_y + pan_y,
                         region.width / zoom_x, region.height / zoom_y};
}

void CalcSafeDrawRegions(double canvas_width, double canvas_height, double columns, double rows,
                         ImageRegionFP& is_source, ImageRegionFP& ss_subcanvas,
                         ImageRegionFP& ss_dest) {
    const ImageRegionFP canvas{0, 0, canvas_width, canvas_height};
    const ImageRegionFP wholeImage{0, 0, columns, rows};
    const RegionTransform forward = MakeTransform(is_source, ss_dest);
    const RegionTransform inverse = InvertTransform(forward);
    ss_subcanvas = ImageRegionFP::ClipRegion(canvas, ss_subcanvas);
    ss_dest = ImageRegionFP::ClipRegion(ss_subcanvas, ss_dest);
    is_source = ImageRegionFP::ClipRegion(ApplyTransform(ss_dest, inverse), wholeImage);
    ss_dest = ApplyTransform(is_source, forward);
    ss_dest.RoundToPixels();
}
