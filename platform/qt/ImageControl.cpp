#include "ImageControl.h"

#include <QPainter>

TImage::TImage(QWidget* owner) : QWidget(owner) {
    setAttribute(Qt::WA_OpaquePaintEvent);
}

TCanvas* TImage::Canvas() {
    if (Picture.Bitmap.isNull() && width() > 0 && height() > 0) {
        SetPictureSize(width(), height());
    }
    return &canvas_;
}

void TImage::SetPictureSize(int width, int height) {
    QImage resized(std::max(width, 0), std::max(height, 0), QImage::Format_RGB32);
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
    painter.drawImage(0, 0, Picture.Bitmap);
    // What the picture does not cover, when the control has grown past it.
    const QColor background = platform::ColorFromGdi(canvas_.Brush);
    if (Picture.Bitmap.width() < width()) {
        painter.fillRect(Picture.Bitmap.width(), 0, width() - Picture.Bitmap.width(), height(),
                         background);
    }
    if (Picture.Bitmap.height() < height()) {
        painter.fillRect(0, Picture.Bitmap.height(), width(), height() - Picture.Bitmap.height(),
                         background);
    }
}
