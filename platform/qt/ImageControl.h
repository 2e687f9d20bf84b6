// The framework's image control: a widget that shows its own picture, and the canvas that
// draws on that picture through a device context.
#pragma once

#include "Gdi.h"

#include <QImage>
#include <QWidget>

// Draws on one QImage. Its brush is the colour FillRect uses for this canvas.
class TCanvas {
public:
    explicit TCanvas(QImage* image) { context_.image = image; }
    HDC Handle() { return &context_; }
    HBRUSH Brush = 0xFFFFFF; // white, as the framework's canvases start

private:
    DeviceContext context_;
};

struct TPicture {
    QImage Bitmap; // 32-bit, the picture the control shows, in device pixels
};

class TImage : public QWidget {
public:
    explicit TImage(QWidget* owner = nullptr);

    // The canvas of the picture; the picture gets the control's size when it has none yet.
    TCanvas* Canvas();
    TPicture Picture;

    // The picture and its canvas count in device pixels: on a screen of two device pixels to
    // the point, one image pixel at zoom 1 takes one device pixel, not four.
    double PixelRatio() const { return devicePixelRatioF(); }
    int Width() const { return qRound(width() * PixelRatio()); }
    int Height() const { return qRound(height() * PixelRatio()); }
    // Repaint from the picture later (Invalidate) or at once (Repaint).
    void Invalidate() { update(); }
    void Repaint() { repaint(); }
    // Gives the picture a new size in device pixels, keeping what fits (the canvas follows it).
    void SetPictureSize(int width, int height);

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    TCanvas canvas_{&Picture.Bitmap};
};
