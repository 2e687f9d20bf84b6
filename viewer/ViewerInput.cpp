// The viewer's zoom and its keys, wheel and mouse: each handler turns an event into one call.
#include "Viewerform.h"

#include "ZoomSteps.h"
#include "common/ErrorReporting.h"
#include "platform/Timing.h"
#include "platform/qt/QtWindows.h"

#include <QKeyEvent>
#include <QMenuBar>
#include <QWheelEvent>

#include <cmath>
#include <cstdio>

namespace {

double roundHalfAway(double v) {
    return v >= 0 ? std::trunc(v + 0.5) : std::trunc(v - 0.5);
}

// The virtual key code of a Qt key event (0 for keys the viewer does not use).
int virtualKey(const QKeyEvent* event) {
    const int key = event->key();
    if (key >= Qt::Key_0 && key <= Qt::Key_9) {
        const int digit = key - Qt::Key_0;
        return event->modifiers() & Qt::KeypadModifier ? VK_NUMPAD0 + digit : '0' + digit;
    }
    // With Shift held, the digit row gives its symbols; X numbers those keys 10 to 19.
    const quint32 scan = event->nativeScanCode();
    if (scan >= 10 && scan <= 19) {
        return '0' + static_cast<int>((scan - 9) % 10);
    }
    static const char shiftedDigits[] = ")!@#$%^&*(";
    for (int digit = 0; digit < 10; ++digit) {
        if (key == shiftedDigits[digit]) {
            return '0' + digit;
        }
    }
    return platform::VirtualKeyOfQtKey(key);
}

// The whole wheel steps that delta (in eighths of a degree, 120 a plain notch, up positive)
// completes together with the part of a notch left in remainder, which keeps what is left
// over. Fine wheels and touchpads send small parts of a notch, many a gesture; a turn the
// other way starts afresh.
int wheelSteps(int& remainder, int delta) {
    constexpr int kNotch = 120;
    if ((delta > 0 && remainder < 0) || (delta < 0 && remainder > 0)) {
        remainder = 0;
    }
    remainder += delta;
    const int steps = remainder / kNotch; // toward zero: the part of a notch stays
    remainder -= steps * kNotch;
    return steps;
}

} // namespace

double TViewer::NextZoomIn() {
    return ::NextZoomIn(desired_zoom_factor);
}

double TViewer::NextZoomOut() {
    return ::NextZoomOut(desired_zoom_factor, static_cast<double>(Display1->CurrentImage.Columns()),
                         static_cast<double>(Display1->CurrentImage.Rows()));
}

void TViewer::Zoom(double z) {
    if (!image_loaded) {
        return; // an image of 0 x 0 would size the window down to its bars
    }
    const LONGLONG t0 = ReadCounter();
    const double columns = static_cast<double>(Display1->CurrentImage.Columns());
    const double rows = static_cast<double>(Display1->CurrentImage.Rows());
    const double cx = Display1->PanX + (Display1->Width() / Display1->ZoomX) * 0.5;
    const double cy = Display1->PanY + (Display1->Height() / Display1->ZoomY) * 0.5;
    SetDesiredZoom(z);
    const double sw = columns * Display1->ZoomX;
    const double sh = rows * Display1->ZoomY;
    bool draw = true;
    if (full_screen || window_behavior == FreeWindowSizing) {
        Display1->PanX = cx - (Display1->Width() / Display1->ZoomX) * 0.5;
        Display1->PanY = cy - (Display1->Height() / Display1->ZoomY) * 0.5;
    } else if (window_behavior == FitImageToWindow || window_behavior == FitWindowToImage) {
        int chrome_width = 0, chrome_height = 0;
        measureChrome(chrome_width, chrome_height);
        // The window counts logical pixels, the zoom device pixels.
        const double ratio = Display1->PixelRatio();
        const int width = static_cast<int>(std::trunc(sw / ratio + chrome_width));
        const int height = static_cast<int>(std::trunc(chrome_height + sh / ratio));
        const WindowBounds r =
            FitRectToWorkArea(static_cast<int>(std::trunc(desired_left)),
                              static_cast<int>(std::trunc(desired_top)), width, height);
        SetBounds(r); // the resize event runs at once (and refits in FitImageToWindow)
        measureChrome(chrome_width, chrome_height);
        const double dw = (r.width - chrome_width) * ratio;
        const double dh = (r.height - chrome_height) * ratio;
        double px = cx - (dw / Display1->ZoomX) * 0.5;
        double py = cy - (dh / Display1->ZoomY) * 0.5;
        if (px + dw / Display1->ZoomX < 0) {
            px = 0;
        } else if (px >= columns) {
            px = columns - dw / Display1->ZoomX;
        }
        if (py + dh / Display1->ZoomY < 0) {
            py = 0;
        } else if (py >= rows) {
            py = rows - dh / Display1->ZoomY;
        }
        if (sw - 0.001 < dw) {
            px = 0;
        } else if (dw < sw) {
            if (px < 0) {
                px = 0;
            } else if (px + dw / Display1->ZoomX >= columns) {
                px = columns - dw / Display1->ZoomX;
            }
        }
        if (sh - 0.001 < dh) {
            py = 0;
        } else if (dh < sh) {
            if (py < 0) {
                py = 0;
            } else if (py + dh / Display1->ZoomY >= rows) {
                py = rows - dh / Display1->ZoomY;
            }
        }
        Display1->PanX = px;
        Display1->PanY = py;
    } else {
        ReportError("Invalid case in TViewer::Zoom()");
        draw = false;
    }
    if (draw && image_loaded) {
        if (Display1->ZoomFactor != 1.0) {
            Display1->DrawZoomedCanvas();
        } else {
            Display1->PanX = roundHalfAway(Display1->PanX);
            Display1->PanY = roundHalfAway(Display1->PanY);
            Display1->DrawCanvas();
        }
    }
    Display1->Repaint();
    const LONGLONG t1 = ReadCounter();
    ShowStatusText(
        3,
        "Resized in " +
            formatSeconds(static_cast<double>(t1 - t0) / static_cast<double>(counter_frequency)) +
            " seconds",
        4);
    ShowPositionAndZoom();
}

void TViewer::ToggleShrinktoFitScreenExecute() {
    if (!image_loaded) {
        return;
    }
    const double s = ShrinkToFitScreenZoom();
    const double z = Display1->ZoomFactor;
    const bool shrunk = z * 0.999 < s && s < z * 1.001;
    if (shrunk) {
        SetDesiredZoom(desired_zoom_factor);
    } else {
        Display1->SetZoomFactor(s);
    }
    // The redraw runs shrinking or not as the toggle goes, whatever the permanent setting,
    // which is the same afterwards. With the setting off, running it with the setting
    // inverted shrank the image again on the way back: the toggle never left the shrunk view.
    const bool permanent = shrink_to_fit_screen;
    shrink_to_fit_screen = !shrunk;
    ApplyWindowBehavior();
    shrink_to_fit_screen = permanent;
}

void TViewer::Permanent_Shrink_to_Fit_ScreenExecute() {
    shrink_to_fit_screen = Permanent_Shrink_to_Fit_Screen->isChecked();
    ApplyWindowBehavior();
}

void TViewer::Remember_Zoom_SettingsExecute() {
    remember_zoom_settings = Remember_Zoom_Settings->isChecked();
}

void TViewer::SendToBrowser(std::int32_t kind, bool with_file) {
    NoteRequestToBrowser(kind);
    Message message;
    message.kind = kind;
    if (with_file) {
        // A step goes on from the file last asked for, even while it still decodes (a slow one
        // could not be stepped past); a delete always names the file on display.
        const bool step = kind == IV_NEXT_IMAGE || kind == IV_PREVIOUS_IMAGE;
        const std::string& from = step && !decoding_file_.empty() ? decoding_file_ : current_file;
        message.payload = MessagePayloadCopy(from.c_str());
    }
    if (!itm_client.Send("Browser", message, true)) {
        FreeMessagePayload(message);
    }
}

void TViewer::FormKeyDown(int key) {
    switch (key) {
    case VK_RETURN:
    case VK_ESCAPE:
        if (full_screen) {
            ToggleFullScreen();
        } else {
            SendToBrowser(IV_SHOW_BROWSER, false);
        }
        break;
    case VK_SPACE:
    case VK_NEXT:
        SendToBrowser(IV_NEXT_IMAGE, true);
        break;
    case VK_PRIOR:
        SendToBrowser(IV_PREVIOUS_IMAGE, true);
        break;
    case VK_END:
        SendToBrowser(IV_LAST_IMAGE, false);
        break;
    case VK_HOME:
        SendToBrowser(IV_FIRST_IMAGE, false);
        break;
    // Panning, like every operation on the view, needs an image.
    case VK_LEFT:
        if (image_loaded) {
            Display1->Pan(-20, 0);
        }
        break;
    case VK_UP:
        if (image_loaded) {
            Display1->Pan(0, -20);
        }
        break;
    case VK_RIGHT:
        if (image_loaded) {
            Display1->Pan(20, 0);
        }
        break;
    case VK_DOWN:
        if (image_loaded) {
            Display1->Pan(0, 20);
        }
        break;
    case VK_DELETE:
        SendToBrowser(IV_NEXT_IMAGE_AND_DELETE, true);
        break;
    case VK_F5:
        if (!image_loaded) {
            break;
        }
        SetDesiredZoom(1.0);
        Display1->PanX = Display1->PanY = 0;
        ApplyWindowBehavior();
        break;
    default:
        break;
    }
}

void TViewer::FormKeyPress(char character) {
    switch (character) {
    case '+':
        Zoom(NextZoomIn());
        break;
    case '-':
        Zoom(NextZoomOut());
        break;
    case 'F':
    case 'f':
        ToggleFullScreen();
        break;
    case 'S':
    case 's':
        ToggleShrinktoFitScreenExecute();
        break;
    default:
        break;
    }
}

void TViewer::FormKeyUp(int key, bool shift) {
    int digit = -1;
    if (key >= '0' && key <= '9') {
        digit = key - '0';
    } else if (key >= VK_NUMPAD0 && key <= VK_NUMPAD0 + 9) {
        digit = key - VK_NUMPAD0;
    }
    if (digit < 0) {
        return;
    }
    const double value = digit == 0 ? 10 : digit;
    Zoom(shift ? 1.0 / value : value);
}

void TViewer::FormMouseWheelUp(bool middle_button) {
    if (middle_button) {
        Zoom(NextZoomIn());
    } else {
        SendToBrowser(IV_PREVIOUS_IMAGE, true);
    }
}

void TViewer::FormMouseWheelDown(bool middle_button) {
    if (middle_button) {
        Zoom(NextZoomOut());
    } else {
        SendToBrowser(IV_NEXT_IMAGE, true);
    }
}

void TViewer::FormMouseMove(int y) {
    if (!full_screen) {
        return;
    }
    if (y < 5) {
        menuBar()->show();
    } else if (y >= 20 && menuBar()->isVisible()) {
        menuBar()->hide();
    }
}

void TViewer::Display1MouseDown(Qt::MouseButton button, int x, int y) {
    last_mouse_x = x;
    last_mouse_y = y;
    if (button == Qt::LeftButton) {
        dragging = true;
    }
}

void TViewer::Display1MouseMove(Qt::MouseButtons buttons, int x, int y) {
    if (image_loaded && (buttons & Qt::LeftButton) && dragging) {
        // The pointer moves in logical pixels, the canvas counts device pixels.
        const double ratio = Display1->PixelRatio();
        Display1->Pan(-qRound((x - last_mouse_x) * ratio), -qRound((y - last_mouse_y) * ratio));
        last_mouse_x = x;
        last_mouse_y = y;
    }
}

void TViewer::Display1MouseUp(Qt::MouseButton button) {
    if (button == Qt::LeftButton) {
        dragging = false;
    }
}

void TViewer::keyPressEvent(QKeyEvent* event) {
    FormKeyDown(virtualKey(event));
    const QString text = event->text();
    if (text.size() == 1 && text[0].unicode() < 128) {
        FormKeyPress(static_cast<char>(text[0].unicode()));
    }
}

void TViewer::keyReleaseEvent(QKeyEvent* event) {
    if (!event->isAutoRepeat()) {
        FormKeyUp(virtualKey(event), (event->modifiers() & Qt::ShiftModifier) != 0);
    }
}

void TViewer::wheelEvent(QWheelEvent* event) {
    const bool middle = (event->buttons() & Qt::MiddleButton) != 0;
    const int steps = wheelSteps(wheel_remainder_, event->angleDelta().y());
    for (int step = 0; step < steps; ++step) {
        FormMouseWheelUp(middle);
    }
    for (int step = 0; step > steps; --step) {
        FormMouseWheelDown(middle);
    }
    event->ignore(); // as the design: the handlers do not mark it handled
}
