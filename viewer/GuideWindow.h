// The user guide in a window of the program's own, for a desktop that has no program for it.
#pragma once

#include <string>

class QWidget;

// Shows the guide in file (HTML) in the program's guide window, made at the first call and
// brought forward at the next; the window, or null when the guide cannot be read (reported).
QWidget* ShowGuideWindow(const std::string& file);
