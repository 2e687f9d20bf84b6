// Putting a new decode of the image on display in place of the old one, the view unchanged:
// the whole image after a reduced first view, or the image in a new monitor profile's colours.
#include "Viewerform.h"

#include "common/ErrorReporting.h"
#include "display/EngineImage.h"
#include "display/Orientation.h"

#include <algorithm>

engine::ViewSize TViewer::firstViewSize() {
    const double ratio = Display1->PixelRatio();
    const bool fitted_to_window = remember_zoom_settings && window_behavior == FitImageToWindow;
    if (fitted_to_window) {
        return {static_cast<std::size_t>(std::max(Display1->Width(), 1)),
                static_cast<std::size_t>(std::max(Display1->Height(), 1))};
    }
    // Opened as the window fitted to the image, at 1:1 or shrunk to fit the screen.
    const bool opens_fitting_window =
        !remember_zoom_settings || window_behavior == FitWindowToImage;
    if (!opens_fitting_window || !shrink_to_fit_screen) {
        return {};
    }
    int chrome_width = 0, chrome_height = 0;
    measureChrome(chrome_width, chrome_height);
    const WorkArea area = DesktopWorkArea();
    const int width = area.right - area.left - chrome_width;
    const int height = area.bottom - area.top - chrome_height;
    if (width <= 0 || height <= 0) {
        return {};
    }
    return {static_cast<std::size_t>(width * ratio + 0.5),
            static_cast<std::size_t>(height * ratio + 0.5)};
}

bool TViewer::redecodeShownImage(engine::ViewSize view) {
    if (!image_loaded || current_file.empty()) {
        return false;
    }
    const std::string file = current_file;
    const std::uint64_t opened = opened_count_;
    engine::DecodeResult decoded;
    if (refresh_job->Run(file, decoded, view) == DecodeJob::Outcome::Withdrawn) {
        return false; // the window or the program may be gone: nothing here is touched
    }
    return putRedecodedInPlace(file, opened, std::move(decoded));
}

void TViewer::startRedecodingShownImage() {
    if (!image_loaded || current_file.empty()) {
        return;
    }
    const std::string file = current_file;
    const std::uint64_t opened = opened_count_;
    // Withdrawn (and never called) when the viewer closes or asks for another decode first.
    refresh_job->Start(file, {}, [this, file, opened](engine::DecodeResult&& decoded) {
        if (putRedecodedInPlace(file, opened, std::move(decoded))) {
            // The decodes of the image are over: what they freed goes back now, not when the
            // next image happens to reuse it.
            engine::ReleaseFreedMemory();
        }
    });
}

bool TViewer::putRedecodedInPlace(const std::string& file, std::uint64_t opened,
                                  engine::DecodeResult&& decoded) {
    if (!decoded.image || opened != opened_count_ || !image_loaded) {
        return false;
    }
    // The new pixels get the turns the user gave the view, so that they land where the old
    // ones were.
    if (view_turn_ != 1 && !engine::OrientImage(*decoded.image, view_turn_)) {
        return false;
    }
    if (decoded.reduced && view_turn_ >= 5) {
        std::swap(decoded.full_columns, decoded.full_rows);
    }
    // Zoom and pan count the whole image's pixels, reduced first view or not.
    const double pan_x = Display1->PanX, pan_y = Display1->PanY;
    const double zoom = Display1->ZoomFactor;
    if (!Display1->LoadDecoded(file, std::move(decoded))) {
        image_loaded = false;
        return false;
    }
    Display1->SetZoomFactor(zoom);
    Display1->PanX = pan_x;
    Display1->PanY = pan_y;
    if (!animation->Animating()) {
        showSizePanel(); // the developed image after a camera file's preview, say
    }
    Display1->DrawZoomedCanvas();
    Display1->Invalidate();
    DebugTrace(("TViewer::redecodeShownImage() shows the new decode of " + file).c_str());
    return true;
}

void TViewer::completeShownImage() {
    if (Display1->CurrentImage.Reduced()) {
        startRedecodingShownImage();
    }
}

void TViewer::ShowAgainInDisplayColours() {
    read_ahead->Drop(); // decoded for the old profile
    startRedecodingShownImage();
}
