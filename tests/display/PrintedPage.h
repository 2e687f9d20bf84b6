// Printing a display on a portrait A4 page of a PDF and reading the page back as a picture.
#pragma once

#include "display/Im_display.h"
#include "platform/qt/Printer.h"

#include <QImage>
#include <QPrinter>

#include <cstdlib>
#include <memory>
#include <string>

// The page display printed on, rendered at 36 dots an inch; a null picture when printing or
// rendering failed. The files are made in folder.
inline QImage PrintedPage(TIM_Display& display, const std::string& folder) {
    auto qprinter = std::make_unique<QPrinter>(QPrinter::ScreenResolution);
    const std::string pdf = folder + "/page.pdf";
    qprinter->setOutputFormat(QPrinter::PdfFormat);
    qprinter->setOutputFileName(QString::fromStdString(pdf));
    qprinter->setPageSize(QPageSize(QPageSize::A4));
    qprinter->setPageOrientation(QPageLayout::Portrait);
    qprinter->setFullPage(true);
    TPrinter printer(std::move(qprinter));
    printer.Title = "Orvalen: " + display.FileName;
    if (!printer.BeginDoc()) {
        return {};
    }
    const bool printed = display.Print(&printer);
    printer.EndDoc();
    const std::string png = folder + "/page";
    if (!printed ||
        std::system(("pdftoppm -r 36 -png -singlefile '" + pdf + "' '" + png + "'").c_str()) != 0) {
        return {};
    }
    return QImage(QString::fromStdString(png + ".png"));
}
