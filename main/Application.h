// The program's application object.
#pragma once

#include <QApplication>

// The framework's standard exception display: a box titled with the application's name that
// holds the text alone. Through MessageBoxA, so a recorder installed by a test sees it.
void ShowApplicationException(const char* text);

class TApplication : public QApplication {
public:
    TApplication(int& argc, char** argv);

    // A std::exception or thrown text that escapes an event handler is shown and the event
    // counts as not handled: the message loop goes on, as the framework's loop does. Anything
    // else is not ours to understand and still ends the loop.
    bool notify(QObject* receiver, QEvent* event) override;
};
