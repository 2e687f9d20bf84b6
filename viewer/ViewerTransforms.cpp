// The view's quarter turns and flips. They change what is shown, never the file: the pixels
// on display are turned in memory and laid out again as if the image had been loaded that way.
#include "Viewerform.h"

#include "common/ErrorReporting.h"
#include "display/Orientation.h"

#include <QAction>
#include <QMenu>

#include <algorithm>

void TViewer::createTransformActions(QMenu* view) {
    auto action = [this, view](const char* caption, const char* key, void (TViewer::*run)()) {
        auto* made = new QAction(QString::fromUtf8(caption), this);
        made->setProperty("category", "View");
        // Ctrl with a letter: plain letters, digits (with any modifier), arrows and the
        // navigation keys are the viewer's own, and Ctrl+O / Ctrl+P are taken.
        made->setShortcut(QKeySequence(key));
        addAction(made); // the shortcut works with the menu bar hidden in full screen too
        view->addAction(made);
        connect(made, &QAction::triggered, this, [this, run] { (this->*run)(); });
        return made;
    };
    Rotate_Left = action("Rotate &Left", "Ctrl+L", &TViewer::Rotate_LeftExecute);
    Rotate_Right = action("Rotate Righ&t", "Ctrl+R", &TViewer::Rotate_RightExecute);
    Flip_Horizontal = action("Flip &Horizontal", "Ctrl+H", &TViewer::Flip_HorizontalExecute);
    Flip_Vertical = action("Flip &Vertical", "Ctrl+V", &TViewer::Flip_VerticalExecute);
}

void TViewer::Rotate_LeftExecute() {
    transformView(engine::kOrientationQuarterLeft);
}

void TViewer::Rotate_RightExecute() {
    transformView(engine::kOrientationQuarterRight);
}

void TViewer::Flip_HorizontalExecute() {
    transformView(engine::kOrientationMirrored);
}

void TViewer::Flip_VerticalExecute() {
    transformView(engine::kOrientationFlipped);
}

namespace {

// The one orientation that does what first and then then do, one after the other: found by
// turning a small picture of distinct pixels both ways, so it agrees with OrientImage itself.
int composeOrientations(int first, int then) {
    auto picture = [] {
        engine::Image made;
        made.columns = 3;
        made.rows = 2;
        made.pixels = engine::AllocatePixels(3 * 2 * 4);
        for (std::uint8_t i = 0; i < 3 * 2 * 4; ++i) {
            made.pixels.get()[i] = i;
        }
        return made;
    };
    engine::Image both = picture();
    engine::OrientImage(both, first);
    engine::OrientImage(both, then);
    for (int candidate = 1; candidate <= 8; ++candidate) {
        engine::Image once = picture();
        engine::OrientImage(once, candidate);
        if (once.columns == both.columns &&
            std::equal(once.pixels.get(), once.pixels.get() + 3 * 2 * 4, both.pixels.get())) {
            return candidate;
        }
    }
    return then; // not reached: the eight orientations are closed under composition
}

} // namespace

void TViewer::transformView(int orientation) {
    engine::Image* shown = Display1->CurrentImage.image;
    if (!image_loaded || shown == nullptr) {
        return;
    }
    if (!engine::OrientImage(*shown, orientation)) {
        ReportError("There is not enough memory to turn the image.\nerror# K3WQ7T9B");
        return;
    }
    view_turn_ = composeOrientations(view_turn_, orientation);
    Display1->CurrentImage.TurnFullSize(orientation);
    // A quarter turn gives the record a new pixel block: the bitmap view must point at it.
    Display1->CurrentImage.Initialize_DIB();
    // As a newly loaded image: the pan starts at the corner, the zoom (per axis a whole number
    // of pixels of the new sides) and the window behaviour stay.
    Display1->PanX = Display1->PanY = 0;
    Display1->SetZoomFactor(Display1->ZoomFactor);
    ApplyWindowBehavior();
    showSizePanel();
    Display1->Invalidate();
}
