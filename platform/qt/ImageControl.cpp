#include "ImageControl.h"

#include "platform/Memory.h"

#include <QPainter>

TImage::TImage(QWidget* owner) : QWidget(owner) {
    setAttribute(Qt::WA_OpaquePaintEvent);
}

TCanvas* TImage::Canvas() {
    if (Picture.Bitmap.isNull() && width() > 0 && height() > 0) {
        SetPictureSize(Width(), Height());
    }
    return &canvas_;
}

void TImage::SetPictureSize(int width, int height) {
    QImage resized(std::max(width, 0), std::max(height, 0), QImage::Format_RGB32);
    if (!resized.isNull()) {
        platform::PrepareForWriting(resized.bits(),
                                    static_cast<std::size_t>(resized.sizeInBytes()));
    }
    resized.fill(platform::ColorFromGdi(canvas_.Brush));
    if (!Picture.Bitmap.isNull()) {
        QPainter painter(&resized);
        painter.setCompositionMode(QPainter::CompositionMode_Source);
        painter.drawImage(0, 0, Picture.Bitmap);
    }
    Picture.Bitmap = std::move(resized);
}

void TImage::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    if (Picture.Bitmap.isNull()) {
        painter.fillRect(rect(), platform::ColorFromGdi(canvas_.Brush));
        return;
    }
    // The picture is drawn on in device pixels (a ratio on it would scale every painter that
    // draws on it); it gets the screen's ratio only to be shown, each pixel on one device pixel.
    QImage shown = Picture.Bitmap;
    shown.setDevicePixelRatio(PixelRatio());
    painter.drawImage(0, 0, shown);
    // What the picture does not cover, when the control has grown past it.
    const QColor background = platform::ColorFromGdi(canvas_.Brush);
    const QSizeF covered = shown.deviceIndependentSize();
    if (covered.width() < width()) {
        painter.fillRect(QRectF(covered.width(), 0, width() - covered.width(), height()),
                         background);
    }
    if (covered.height() < height()) {
        painter.fillRect(QRectF(0, covered.height(), width(), height() - covered.height()),
                         background);
    }
}
