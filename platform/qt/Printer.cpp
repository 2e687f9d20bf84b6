#include "Printer.h"

TPrinter::TPrinter() : printer_(std::make_unique<QPrinter>(QPrinter::HighResolution)) {}

TPrinter::TPrinter(std::unique_ptr<QPrinter> printer) : printer_(std::move(printer)) {}

int TPrinter::PageWidth() const {
    return printer_->pageLayout().paintRectPixels(printer_->resolution()).width();
}

int TPrinter::PageHeight() const {
    return printer_->pageLayout().paintRectPixels(printer_->resolution()).height();
}

bool TPrinter::BeginDoc() {
    if (painter_) {
        return false;
    }
    printer_->setDocName(QString::fromStdString(Title));
    printer_->setCopyCount(Copies);
    painter_ = std::make_unique<QPainter>();
    if (!painter_->begin(printer_.get())) {
        painter_.reset();
        return false;
    }
    context_.painter = painter_.get();
    return true;
}

void TPrinter::EndDoc() {
    if (painter_) {
        painter_->end();
        painter_.reset();
        context_.painter = nullptr;
    }
}

HDC TPrinter::Canvas() {
    return painter_ ? &context_ : nullptr;
}

TPrinter* Printer() {
    static TPrinter printer;
    return &printer;
}
