// Device contexts over Qt painting targets.
#pragma once

#include "../Gdi.h"

#include <QImage>
#include <QPainter>

struct DeviceContext {
    // Exactly one of the two: a canvas image drawn on directly, or a painter (a printer page).
    QImage* image = nullptr;
    QPainter* painter = nullptr;
};

namespace platform {
// A QColor from a GDI colour 0x00BBGGRR.
QColor ColorFromGdi(std::uint32_t color);
} // namespace platform
