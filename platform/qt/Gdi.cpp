#include "Gdi.h"

#include <cstring>

namespace platform {
QColor ColorFromGdi(std::uint32_t color) {
    return QColor(static_cast<int>(color & 0xFF), static_cast<int>((color >> 8) & 0xFF),
                  static_cast<int>((color >> 16) & 0xFF));
}
} // namespace platform

int SetDIBitsToDevice(HDC dc, int xDest, int yDest, DWORD width, DWORD height, int xSrc, int ySrc,
                      UINT, UINT lines, const void* bits, const BITMAPINFO* info, UINT) {
    if (dc == nullptr || bits == nullptr || info == nullptr || info->bmiHeader.biBitCount != 32 ||
        width == 0 || height == 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    const int columns = info->bmiHeader.biWidth;
    const int rows =
        info->bmiHeader.biHeight < 0 ? -info->bmiHeader.biHeight : info->bmiHeader.biHeight;
    const bool topDown = info->bmiHeader.biHeight < 0;
    if (static_cast<int>(lines) < rows || xSrc < 0 || ySrc < 0 ||
        xSrc + static_cast<int>(width) > columns || ySrc + static_cast<int>(height) > rows) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    // ySrc is measured from the bottom row; in memory order the rectangle's top row is:
    const int topRow = topDown ? rows - ySrc - static_cast<int>(height) : ySrc;
    const QImage wrapped(static_cast<const uchar*>(bits), columns, rows, columns * 4,
                         QImage::Format_RGB32);
    const QImage source = topDown ? wrapped : wrapped.mirrored();
    const QRect from(xSrc, topRow, static_cast<int>(width), static_cast<int>(height));
    if (dc->image != nullptr) {
        QPainter painter(dc->image);
        painter.setCompositionMode(QPainter::CompositionMode_Source);
        painter.drawImage(QPoint(xDest, yDest), source, from);
    } else if (dc->painter != nullptr) {
        dc->painter->drawImage(QPoint(xDest, yDest), source, from);
    } else {
        return 0;
    }
    return static_cast<int>(height);
}

BOOL BitBlt(HDC dest, int x, int y, int width, int height, HDC source, int xSrc, int ySrc,
            DWORD rop) {
    if (dest == nullptr || dest != source || dest->image == nullptr || rop != SRCCOPY) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    QImage& image = *dest->image;
    // Clip the move to the canvas on both ends.
    if (x < 0) {
        xSrc -= x, width += x, x = 0;
    }
    if (y < 0) {
        ySrc -= y, height += y, y = 0;
    }
    if (xSrc < 0) {
        x -= xSrc, width += xSrc, xSrc = 0;
    }
    if (ySrc < 0) {
        y -= ySrc, height += ySrc, ySrc = 0;
    }
    width = std::min({width, image.width() - x, image.width() - xSrc});
    height = std::min({height, image.height() - y, image.height() - ySrc});
    if (width <= 0 || height <= 0) {
        return TRUE;
    }
    const int bytesPerPixel = image.depth() / 8;
    const std::size_t rowBytes = static_cast<std::size_t>(width) * bytesPerPixel;
    // Moving down: walk from the bottom, so no row is overwritten before it is read.
    const bool upward = y <= ySrc;
    for (int i = 0; i < height; ++i) {
        const int row = upward ? i : height - 1 - i;
        std::memmove(image.scanLine(y + row) + x * bytesPerPixel,
                     image.constScanLine(ySrc + row) + xSrc * bytesPerPixel, rowBytes);
    }
    return TRUE;
}

int FillRect(HDC dc, const RECT* rect, HBRUSH brush) {
    if (dc == nullptr || rect == nullptr) {
        return 0;
    }
    const QRect area(rect->left, rect->top, rect->right - rect->left, rect->bottom - rect->top);
    if (dc->image != nullptr) {
        QPainter painter(dc->image);
        painter.fillRect(area, platform::ColorFromGdi(brush));
    } else if (dc->painter != nullptr) {
        dc->painter->fillRect(area, platform::ColorFromGdi(brush));
    } else {
        return 0;
    }
    return 1;
}
