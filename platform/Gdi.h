// The few GDI calls the display code makes, on device contexts that paint into a QImage (a
// window's canvas) or onto a printer's page. Declared without Qt so that code drawing through
// them builds anywhere; the calls themselves live in the Qt part of the layer (qt/Gdi.cpp).
#pragma once

#include "WinTypes.h"

#include <cstdint>

#pragma pack(push, 1)
struct BITMAPINFOHEADER {
    DWORD biSize;
    LONG biWidth;
    LONG biHeight; // negative: a top-down bitmap, its first row in memory is the top row
    WORD biPlanes;
    WORD biBitCount;
    DWORD biCompression;
    DWORD biSizeImage;
    LONG biXPelsPerMeter;
    LONG biYPelsPerMeter;
    DWORD biClrUsed;
    DWORD biClrImportant;
};
struct RGBQUAD {
    BYTE rgbBlue, rgbGreen, rgbRed, rgbReserved;
};
struct BITMAPINFO {
    BITMAPINFOHEADER bmiHeader;
    RGBQUAD bmiColors[1];
};
#pragma pack(pop)
static_assert(sizeof(BITMAPINFOHEADER) == 40);

constexpr DWORD BI_RGB = 0;
constexpr UINT DIB_RGB_COLORS = 0;
constexpr DWORD SRCCOPY = 0x00CC0020;

// A device context: a painter on a canvas image or on a printer page, with the canvas brush.
struct DeviceContext;
using HDC = DeviceContext*;
// A brush is its colour, 0x00BBGGRR as GDI writes it.
using HBRUSH = std::uint32_t;

// Draws the rectangle (xSrc, ySrc, width, height) of a 32-bit BGRX DIB (bits, described by
// info) at (xDest, yDest). As in GDI, ySrc counts from the bottom row of the bitmap, also for a
// top-down one; startScan and lines select which rows bits holds (0 and all of them here). The
// pixels are wrapped, not copied. Returns the number of rows drawn; 0 on failure.
int SetDIBitsToDevice(HDC dc, int xDest, int yDest, DWORD width, DWORD height, int xSrc, int ySrc,
                      UINT startScan, UINT lines, const void* bits, const BITMAPINFO* info,
                      UINT colorUse);
// Copies a rectangle of a canvas onto the same canvas (rows move in place, overlapping or
// not). Only SRCCOPY within one device context is supported. FALSE on failure.
BOOL BitBlt(HDC dest, int x, int y, int width, int height, HDC source, int xSrc, int ySrc,
            DWORD rop);
// Fills rect (right and bottom outside) with the brush's colour. Returns non-zero on success.
int FillRect(HDC dc, const RECT* rect, HBRUSH brush);
