#include "Application.h"

#include "platform/MessageBox.h"

#include <exception>

namespace {
constexpr const char kApplicationTitle[] = "Orvalen Viewer";
}

void ShowApplicationException(const char* text) {
    MessageBoxA(0, text != nullptr ? text : "", kApplicationTitle, MB_ICONERROR);
}

TApplication::TApplication(int& argc, char** argv) : QApplication(argc, argv) {}

bool TApplication::notify(QObject* receiver, QEvent* event) {
    try {
        return QApplication::notify(receiver, event);
    } catch (const char* text) {
        ShowApplicationException(text);
    } catch (const std::exception& error) {
        ShowApplicationException(error.what());
    }
    return false;
}
