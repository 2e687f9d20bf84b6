// Animated images in the viewer: the player's frames replace the image on display under the
// current zoom and pan, and the View menu pauses and steps them.
#include "Viewerform.h"

#include "display/Orientation.h"

#include <QAction>
#include <QLabel>
#include <QMenu>
#include <QStatusBar>

void TViewer::createAnimationActions(QMenu* view) {
    animation = std::make_unique<AnimationPlayer>(
        [this](std::unique_ptr<engine::Image> frame, bool transparent) {
            showAnimationFrame(std::move(frame), transparent);
        },
        [this](std::size_t index, std::size_t count) { showFrameNumber(index, count); });
    animation->StateChanged = [this] { updateAnimationActions(); };
    auto action = [this, view](const char* caption, std::initializer_list<QKeySequence> keys) {
        auto* made = new QAction(QString::fromUtf8(caption), this);
        made->setProperty("category", "View");
        // Keys of no entry of the key table: P (and Shift+P, as F and S), and the comma and
        // full stop that video players step frames with.
        made->setShortcuts(QList<QKeySequence>(keys));
        made->setEnabled(false);
        addAction(made); // the keys work with the menu bar hidden in full screen too
        view->addAction(made);
        return made;
    };
    view->addSeparator();
    Pause_Animation =
        action("P&ause Animation", {QKeySequence(Qt::Key_P), QKeySequence(Qt::SHIFT | Qt::Key_P)});
    Pause_Animation->setCheckable(true);
    Previous_Frame = action("Previous Fra&me", {QKeySequence(Qt::Key_Comma)});
    Next_Frame = action("&Next Frame", {QKeySequence(Qt::Key_Period)});
    connect(Pause_Animation, &QAction::triggered, this,
            [this](bool checked) { animation->SetPaused(checked); });
    connect(Previous_Frame, &QAction::triggered, this, [this] { animation->StepBack(); });
    connect(Next_Frame, &QAction::triggered, this, [this] { animation->StepForward(); });
}

void TViewer::updateAnimationActions() {
    const bool animating = animation->Animating();
    Pause_Animation->setEnabled(animating);
    Pause_Animation->setChecked(animating && animation->Paused());
    // Disabled, their keys do nothing at all: no entry of the key table has them.
    Previous_Frame->setEnabled(animating && animation->Paused());
    Next_Frame->setEnabled(animating && animation->Paused());
}

void TViewer::showAnimationFrame(std::unique_ptr<engine::Image> frame, bool transparent) {
    if (!image_loaded || !frame) {
        return;
    }
    // Turned as the user turned the view; a frame that cannot be turned is not shown.
    if (view_turn_ != 1 && !engine::OrientImage(*frame, view_turn_)) {
        return;
    }
    const bool sameSize = frame->columns == Display1->CurrentImage.Columns() &&
                          frame->rows == Display1->CurrentImage.Rows();
    // Premultiplied already, as an adopted image is: the flag goes with it.
    Display1->CurrentImage.SetImage(frame.release());
    Display1->CurrentImage.transparent = transparent;
    if (!sameSize) {
        // A first frame smaller than the animation's screen: laid out once more, as loaded.
        Display1->SetZoomFactor(Display1->ZoomFactor);
        ApplyWindowBehavior();
        return;
    }
    // The zoom, the pan and the window stay as the user left them (a zoom in a fitted window
    // too); only the pixels change.
    if (Display1->ZoomFactor == 1.0) {
        Display1->DrawCanvas();
    } else {
        Display1->DrawZoomedCanvas();
    }
    Display1->Invalidate();
}

void TViewer::showFrameNumber(std::size_t index, std::size_t count) {
    const std::string size = " " + std::to_string(Display1->CurrentImage.Columns()) + "x" +
                             std::to_string(Display1->CurrentImage.Rows());
    if (count == 0) {
        ShowStatusText(0, size, 6);
        return;
    }
    // As wide as the widest number it will show, so the panels beside it stay where they are.
    const std::string total = std::to_string(count);
    ShowStatusText(0, size + "  frame " + total + "/" + total, 6);
    panels_[0]->setText(
        QString::fromStdString(size + "  frame " + std::to_string(index + 1) + "/" + total));
}

void TViewer::startAnimation(const std::string& file) {
    // Only these formats hold more than one frame the viewer plays; reading any other file a
    // second time would cost memory for nothing.
    const std::string format = Display1->CurrentImage.Format();
    if (format == "GIF" || format == "GIF87" || format == "PNG" || format == "APNG" ||
        format == "WEBP" || format == "MNG" || format == "JXL") {
        animation->Start(file);
    }
}
