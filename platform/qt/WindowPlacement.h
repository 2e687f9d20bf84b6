// Placing top-level windows by their outer bounds, frame included, as they are stored.
#pragma once

#include <QMargins>
#include <QRect>

#include <functional>
#include <string>

class QWidget;

namespace platform {

// The frame the window manager draws around window: as it is now when the window is framed,
// else as last seen on it (full screen takes the frame away for a while), else as last seen on
// any window of this program, else none.
QMargins FrameMargins(const QWidget* window);

// Places window so that its outer bounds are outer. A window that is not framed yet (not shown,
// or shown a moment ago) gets the frame FrameMargins assumes, and the bounds are applied again
// once the window manager's real frame is known. apply sets the inner geometry (the caller can
// tell its own moves from the user's there); by default setGeometry. frameChanged runs after
// such a second placement, for a caller whose bounds depend on the frame (a window fitted
// around its content).
void SetOuterBounds(QWidget* window, const QRect& outer,
                    const std::function<void(const QRect& inner)>& apply = {},
                    const std::function<void()>& frameChanged = {});

// Whether a window's place is worth reading from the settings and storing there: in the
// session of the running application, the program places its windows and learns where they
// are. Not under Wayland, where the compositor places them and never tells; the place an X
// session stored then stays as it was, for the next X session.
bool StoresWindowPlaces();

// read(name, low, low_default, high, high_default): a window's stored integer, as the settings'
// ReadIntegerInRange gives it.
using StoredInteger = std::function<int(const std::string& name, int low, int low_default, int high,
                                        int high_default)>;
// A window's outer bounds as its settings store them: "Width" and "Height" (defaultSize when
// missing or damaged), and "Left" and "Top" kept on the primary screen where StoresWindowPlaces
// says a place is read; place otherwise.
QRect StoredBounds(const StoredInteger& read, QPoint place, QSize defaultSize);

} // namespace platform
