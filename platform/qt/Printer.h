// The framework's printer over QPrinter: one job at a time, a canvas on the page.
#pragma once

#include "Gdi.h"

#include <QPainter>
#include <QPrinter>
#include <memory>
#include <string>

class TPrinter {
public:
    TPrinter();
    explicit TPrinter(std::unique_ptr<QPrinter> printer);

    QPrinter& Printer() { return *printer_; }
    // The printable page in device pixels.
    int PageWidth() const;
    int PageHeight() const;
    std::string Title;
    int Copies = 1;

    // Starts a job (with Title and Copies); false when the printer refuses.
    bool BeginDoc();
    void EndDoc();
    bool Printing() const { return painter_ != nullptr; }
    // The page's device context; null outside a job.
    HDC Canvas();

private:
    std::unique_ptr<QPrinter> printer_;
    std::unique_ptr<QPainter> painter_;
    DeviceContext context_;
};

// The process's printer, as the framework's Printer() gives it.
TPrinter* Printer();
