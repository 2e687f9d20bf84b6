#include "Viewerform.h"

#include "AboutBox.h"
#include "GuideWindow.h"
#include "StatusPanels.h"
#include "associations/Options.h"
#include "common/ErrorReporting.h"
#include "common/FileNames.h"
#include "common/ProcessValues.h"
#include "display/EngineImage.h"
#include "display/Orientation.h"
#include "platform/Timing.h"
#include "platform/qt/Activation.h"
#include "platform/qt/Application.h"
#include "platform/qt/Printer.h"
#include "platform/qt/WindowPlacement.h"

#include <QAbstractEventDispatcher>
#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QColorDialog>
#include <QFileDialog>
#include <QFileInfo>
#include <QLabel>
#include <QLayout>
#include <QMenu>
#include <QMenuBar>
#include <QMouseEvent>
#include <QPageSetupDialog>
#include <QPainter>
#include <QPrintDialog>
#include <QScreen>
#include <QStatusBar>
#include <QStyle>
#include <QTimer>

#include <algorithm>
#include <cmath>
#include <utility>
#include <vector>

namespace {

// How long the whole image's decode waits for a reduced first view's paint (a hidden window
// gets none).
constexpr int kUnpaintedCompletionMs = 100;

double roundHalfAway(double v) {
    return v >= 0 ? std::trunc(v + 0.5) : std::trunc(v - 0.5);
}

// Runs an operation of the display whose failures are thrown texts, as its caller's handler.
template <typename Operation> bool reportingThrownTexts(Operation operation) {
    try {
        return operation();
    } catch (const char* text) {
        LastErrorCode = GetLastError();
        ReportException("%s", text);
        return false;
    }
}

// A status panel: its maximum width is the width it asks for (its text's and a margin). Given
// less, it shows as much of its text as fits, ended by an ellipsis.
class StatusPanel : public QLabel {
public:
    explicit StatusPanel(QWidget* parent) : QLabel(parent) {}

protected:
    void paintEvent(QPaintEvent*) override {
        QPainter painter(this);
        drawFrame(&painter);
        const QRect area = contentsRect();
        style()->drawItemText(
            &painter, area, QStyle::visualAlignment(layoutDirection(), alignment()), palette(),
            isEnabled(), fontMetrics().elidedText(text(), Qt::ElideRight, area.width()),
            foregroundRole());
    }
};

// The status panels side by side from the left, each as wide as it asks while there is room.
// A bar too narrow for all of them cuts the last ones first, down to nothing, as a bar of
// fixed panels is cut at the window's edge: no panel ever reaches into another's place, and
// the window may be narrower than the texts.
class StatusPanelStrip : public QWidget {
public:
    explicit StatusPanelStrip(QWidget* parent) : QWidget(parent) {}

    QLabel* AddPanel() {
        auto* panel = new StatusPanel(this);
        panels_.push_back(panel);
        return panel;
    }
    QSize sizeHint() const override {
        int width = 0, height = 0;
        for (const QLabel* panel : panels_) {
            width += panel->maximumWidth() + kGap;
            height = std::max(height, panel->sizeHint().height());
        }
        return {width, height};
    }
    QSize minimumSizeHint() const override { return {0, sizeHint().height()}; }

protected:
    bool event(QEvent* event) override {
        // A panel asked for another width.
        if (event->type() == QEvent::LayoutRequest) {
            updateGeometry();
            arrange();
        }
        return QWidget::event(event);
    }
    void resizeEvent(QResizeEvent*) override { arrange(); }

private:
    static constexpr int kGap = 6;

    void arrange() {
        int left = 0;
        for (QLabel* panel : panels_) {
            left = std::min(left, this->width());
            const int width = std::min(this->width() - left, panel->maximumWidth());
            panel->setGeometry(left, 0, width, height());
            left += width + kGap;
        }
    }

    std::vector<QLabel*> panels_;
};

} // namespace

TViewer::TViewer(QWidget* owner) : QMainWindow(owner) {
    setWindowTitle("Viewer");
    resize(669, 509);
    QueryPerformanceFrequency(&counter_frequency);
    ReadCounter = [] {
        LONGLONG now = 0;
        QueryPerformanceCounter(&now);
        return now;
    };
    decode_job->SetReadAhead(read_ahead.get());
    Display1 = new TIM_Display(this);
    Display1->Canvas()->Brush = 0;            // black
    Display1->Picture.Bitmap.fill(Qt::black); // made with the canvas, in its first colour
    Display1->installEventFilter(this);
    Display1->setMouseTracking(true);
    setFocusPolicy(Qt::StrongFocus);
    setCentralWidget(Display1);
    createActions();
    // Narrower, the menu bar folds its menus away behind a "››" button. Measured with the
    // style and font the window is shown with.
    menuBar()->ensurePolished();
    for (QMenu* menu : menuBar()->findChildren<QMenu*>()) {
        menu->ensurePolished();
    }
    setMinimumWidth(menuBar()->sizeHint().width());
    auto* strip = new StatusPanelStrip(statusBar());
    for (std::size_t i = 0; i < panels_.size(); ++i) {
        panels_[i] = strip->AddPanel();
        panels_[i]->setMaximumWidth(50);
    }
    statusBar()->addWidget(strip, 1);
    position_panel_ = new QLabel(statusBar());
    statusBar()->addPermanentWidget(position_panel_);
    statusBar()->setSizeGripEnabled(false);

    itm_client.Connect("Viewer", Handle(), GetCurrentThreadId(), itm_server_name.c_str());
    settings = std::make_unique<TRegistryIniFileSpecial>(settings_base_key, KEY_ALL_ACCESS);
    settings->Section = "viewer_" + std::to_string(instance_number);
    const WindowBounds current = Bounds();
    const QRect stored = platform::StoredBounds(settings->InRangeReader(),
                                                QPoint(current.left, current.top), QSize(800, 600));
    SetBounds(WindowBounds{stored.left(), stored.top(), stored.width(), stored.height()});
    connect(QAbstractEventDispatcher::instance(), &QAbstractEventDispatcher::aboutToBlock, this,
            [this] { UpdateActions(); });
    memory_release_.setSingleShot(true);
    memory_release_.setInterval(1500);
    connect(&memory_release_, &QTimer::timeout, this, [] { engine::ReleaseFreedMemory(); });
    FormCreate();
}

TViewer::~TViewer() = default;

void TViewer::createActions() {
    auto action = [this](const char* caption, const char* category) {
        auto* made = new QAction(QString::fromUtf8(caption), this);
        made->setProperty("category", category);
        return made;
    };
    Fit_Window_to_Image = action("Fit Window to Image", "View");
    Fit_Image_to_Window = action("F&it Image to Window", "View");
    Remember_Zoom_Settings = action("&Remember Zoom Settings", "Options");
    Remember_Zoom_Settings->setEnabled(false);
    Remember_Zoom_Settings->setCheckable(true);
    Checkerboard_Backdrop = action("&Checkerboard Behind Transparency", "Options");
    Checkerboard_Backdrop->setCheckable(true);
    Checkerboard_Backdrop->setChecked(true);
    Backdrop_Colour = action("&Colour Behind Transparency...", "Options");
    Free_Window_Sizing = action("F&ree Window Sizing", "View");
    Full_Screen = action("&Full Screen", "View");
    // "F" and "f": the key with and without Shift (one sequence twice would be ambiguous).
    Full_Screen->setShortcuts({QKeySequence(Qt::Key_F), QKeySequence(Qt::SHIFT | Qt::Key_F)});
    Full_Screen->setEnabled(false);
    Windowed = action("&Windowed", "View");
    Windowed->setEnabled(false);
    Permanent_Shrink_to_Fit_Screen = action("&Permanent Shrink to Fit Screen", "View");
    Permanent_Shrink_to_Fit_Screen->setCheckable(true);
    FileOpen1 = action("&Open...", "File");
    FileOpen1->setShortcut(QKeySequence("Ctrl+O"));
    FileOpen1->setToolTip("Open");
    FileOpen1->setStatusTip("Opens an existing file");
    FileExit1 = action("E&xit", "File");
    FileExit1->setToolTip("Exit");
    FileExit1->setStatusTip("Quits the application");
    HelpContents1 = action("&Contents", "Help");
    HelpContents1->setShortcut(QKeySequence("F1"));
    HelpContents1->setToolTip("Help Contents");
    PrintDialog = action("Print", "File");
    PrintDialog->setShortcut(QKeySequence("Ctrl+P"));
    PrintDialog->setEnabled(false);
    About = action("&About", "Help");
    ToggleShrinktoFitScreen = action("Toggle Shrink to Fit &Screen", "View");
    ToggleShrinktoFitScreen->setShortcuts(
        {QKeySequence(Qt::Key_S), QKeySequence(Qt::SHIFT | Qt::Key_S)});
    FilePrintSetup1 = action("Print Set&up...", "File");
    FilePrintSetup1->setToolTip("Print Setup");
    for (QAction* checkable :
         {Fit_Window_to_Image, Fit_Image_to_Window, Free_Window_Sizing, Full_Screen, Windowed}) {
        checkable->setCheckable(true);
    }
    // The window's own shortcuts work while it has the focus, menu bar hidden or not.
    for (QAction* owned :
         {Full_Screen, FileOpen1, HelpContents1, PrintDialog, ToggleShrinktoFitScreen}) {
        addAction(owned);
    }

    QMenu* file = menuBar()->addMenu("&File");
    file->addAction(FileOpen1);
    // The entry shows the window's Ctrl+P without holding it too: two actions with one shortcut
    // in one window are ambiguous, and Qt then triggers neither.
    QAction* print =
        file->addAction("&Print\t" + PrintDialog->shortcut().toString(QKeySequence::NativeText));
    connect(print, &QAction::triggered, PrintDialog, &QAction::trigger);
    connect(PrintDialog, &QAction::changed, print,
            [print, this] { print->setEnabled(PrintDialog->isEnabled()); });
    file->addAction(FilePrintSetup1);
    file->addSeparator();
    file->addAction(FileExit1);
    QMenu* view = menuBar()->addMenu("&View");
    QAction* fitWindow = view->addAction("&Fit Window to Image");
    fitWindow->setCheckable(true);
    connect(fitWindow, &QAction::triggered, Fit_Window_to_Image, &QAction::trigger);
    connect(Fit_Window_to_Image, &QAction::changed, fitWindow, [fitWindow, this] {
        fitWindow->setEnabled(Fit_Window_to_Image->isEnabled());
        fitWindow->setChecked(Fit_Window_to_Image->isChecked());
    });
    view->addAction(Fit_Image_to_Window);
    view->addAction(Free_Window_Sizing);
    view->addSeparator();
    view->addAction(ToggleShrinktoFitScreen);
    view->addAction(Permanent_Shrink_to_Fit_Screen);
    view->addSeparator();
    QAction* fullScreen = view->addAction("F&ull Screen");
    fullScreen->setCheckable(true);
    connect(fullScreen, &QAction::triggered, Full_Screen, &QAction::trigger);
    connect(Full_Screen, &QAction::changed, fullScreen, [fullScreen, this] {
        fullScreen->setEnabled(Full_Screen->isEnabled());
        fullScreen->setChecked(Full_Screen->isChecked());
    });
    view->addAction(Windowed);
    view->addSeparator();
    createTransformActions(view);
    createAnimationActions(view);
    QMenu* options = menuBar()->addMenu("&Options");
    options->addAction(Remember_Zoom_Settings);
    options->addSeparator();
    options->addAction(Checkerboard_Backdrop);
    options->addAction(Backdrop_Colour);
    options->addSeparator();
    createReadAheadActions(options);
    connect(Checkerboard_Backdrop, &QAction::triggered, this, [this](bool checked) {
        SetBackdrop(checked ? std::nullopt : std::optional<std::uint32_t>(0x000000));
    });
    connect(Backdrop_Colour, &QAction::triggered, this, [this] {
        const QColor start =
            Display1->Backdrop ? QColor::fromRgb(*Display1->Backdrop) : QColor(Qt::white);
        const QColor chosen = QColorDialog::getColor(start, this, "Colour Behind Transparency");
        if (chosen.isValid()) {
            SetBackdrop(chosen.rgb() & 0xFFFFFF);
        }
    });
    QMenu* help = menuBar()->addMenu("&Help");
    help->addAction(HelpContents1);
    help->addAction(About);

    connect(Fit_Window_to_Image, &QAction::triggered, this,
            [this] { Fit_Window_to_ImageExecute(); });
    connect(Fit_Image_to_Window, &QAction::triggered, this,
            [this] { Fit_Image_to_WindowExecute(); });
    connect(Free_Window_Sizing, &QAction::triggered, this, [this] { Free_Window_SizingExecute(); });
    connect(Full_Screen, &QAction::triggered, this, [this] { Full_ScreenExecute(); });
    connect(Windowed, &QAction::triggered, this, [this] { WindowedExecute(); });
    connect(Remember_Zoom_Settings, &QAction::triggered, this,
            [this] { Remember_Zoom_SettingsExecute(); });
    connect(Permanent_Shrink_to_Fit_Screen, &QAction::triggered, this,
            [this] { Permanent_Shrink_to_Fit_ScreenExecute(); });
    connect(ToggleShrinktoFitScreen, &QAction::triggered, this,
            [this] { ToggleShrinktoFitScreenExecute(); });
    connect(FileOpen1, &QAction::triggered, this, [this] {
        QFileDialog dialog(this);
        PrepareFileOpenDialog(dialog);
        if (dialog.exec() == QDialog::Accepted && !dialog.selectedFiles().isEmpty()) {
            FileOpen1Accept(dialog.selectedFiles().constFirst().toStdString());
        }
    });
    connect(FileExit1, &QAction::triggered, this, [] { platform::TerminateApplication(); });
    connect(HelpContents1, &QAction::triggered, this, [] { HelpContentsExecute(); });
    connect(PrintDialog, &QAction::triggered, this, [this] { PrintDialogExecute(); });
    connect(FilePrintSetup1, &QAction::triggered, this, [this] {
        QPageSetupDialog dialog(&Printer()->Printer(), this);
        dialog.exec();
    });
    connect(About, &QAction::triggered, this, [this] { AboutExecute(); });
}

WindowBounds TViewer::Bounds() const {
    // Outer bounds, frame included; before the window manager has framed the window, with the
    // frame it will get.
    const QRect outer =
        isFullScreen() ? frameGeometry() : geometry().marginsAdded(platform::FrameMargins(this));
    return WindowBounds{outer.x(), outer.y(), outer.width(), outer.height()};
}

void TViewer::SetBounds(const WindowBounds& bounds) {
    platform::SetOuterBounds(
        this, QRect(bounds.left, bounds.top, bounds.width, bounds.height),
        [this](const QRect& inner) {
            program_move_ = true;
            setGeometry(inner);
            program_move_ = false;
        },
        [this] {
            // The window was fitted around the image with a frame assumed: fit it again.
            if (image_loaded && !full_screen && window_behavior == FitWindowToImage) {
                Fit_Window_to_ImageExecute();
            }
        });
}

WorkArea TViewer::DesktopWorkArea() const {
    const QScreen* screen = QGuiApplication::primaryScreen();
    const QRect area = screen != nullptr ? screen->availableGeometry() : QRect(0, 0, 1024, 768);
    return WorkArea{area.x(), area.y(), area.x() + area.width(), area.y() + area.height()};
}

std::string TViewer::PanelText(int panel) const {
    return panels_[static_cast<std::size_t>(panel)]->text().toStdString();
}

int TViewer::PanelWidth(int panel) const {
    return panels_[static_cast<std::size_t>(panel)]->maximumWidth();
}

void TViewer::ShowStatusText(int panel, const std::string& text, int extra) {
    QLabel* label = panels_[static_cast<std::size_t>(panel)];
    const QString shown = QString::fromStdString(text);
    label->setMaximumWidth(QFontMetrics(statusBar()->font()).horizontalAdvance(shown) + extra);
    label->setText(shown);
}

std::string TViewer::formatSeconds(double seconds) const {
    // "#,##0.000" in the user's locale: grouped thousands, three decimals.
    QLocale locale;
    locale.setNumberOptions(locale.numberOptions() & ~QLocale::OmitGroupSeparator);
    return locale.toString(seconds, 'f', 3).toStdString();
}

void TViewer::FormCreate() {
    const WindowBounds bounds = Bounds();
    desired_top = settings->ReadInteger("desired top", bounds.top);
    desired_left = settings->ReadInteger("desired left", bounds.left);
    if (settings->ReadBool("maximized", false)) {
        setWindowState(windowState() | Qt::WindowMaximized);
    }
    if (settings->ReadBool("fullscreen", false)) {
        Full_ScreenExecute();
    } else {
        WindowedExecute();
    }
    shrink_to_fit_screen = settings->ReadBool("shrink_to_fit_screen", false);
    window_behavior = settings->ReadInteger("windowbehavior", 0);
    remember_zoom_settings = settings->ReadBool("remember_zoom_settings", false);
    // "checkerboard" or a colour "#rrggbb"; anything else is the checkerboard.
    const QColor backdrop(
        QString::fromStdString(settings->ReadString("transparency_backdrop", "checkerboard")));
    SetBackdrop(backdrop.isValid() ? std::optional<std::uint32_t>(backdrop.rgb() & 0xFFFFFF)
                                   : std::nullopt);
    // A damaged value gets the default; it is stored only when the user picks one.
    const std::int32_t read_ahead = settings->ReadInteger("read_ahead_megabytes", 512);
    SetReadAheadMegabytes(read_ahead >= 0 && read_ahead <= 65536 ? read_ahead : 512);
    if (remember_zoom_settings) {
        Display1->SetZoomFactor(settings->ReadFloat("zoom_factor", 1.0));
        desired_zoom_factor = settings->ReadFloat("desired_zoom_factor", 1.0);
    }
}

bool TViewer::DisplayImage(const std::string& quoted_file) {
    return showImage(quoted_file) == OpenOutcome::Opened;
}

TViewer::OpenOutcome TViewer::showImage(const std::string& quoted_file) {
    DebugTrace("TViewer::DisplayImage() begin");
    // A handed-over name may come quoted; the viewer keeps the plain name, which is what the
    // browser finds in its folder and what later requests compare with.
    const std::string file = Unquoted(quoted_file);
    const FullyQualifiedFilename name(file);
    if (!isVisible()) {
        show();
    }
    if (!decoding_file_.empty() && file == decoding_file_) {
        // Asked for again while its decode is under way (a step onto it, a hand-over): that
        // decode shows it; starting another would only begin again.
        folder_position_ = asked_position_;
        folder_count_ = asked_count_;
        DebugTrace(("TViewer::DisplayImage() already decoding " + file).c_str());
        return OpenOutcome::Withdrawn;
    }
    if (image_loaded && file == current_file) {
        decode_job->Cancel(); // this request wins over one still decoding
        folder_position_ = asked_position_;
        folder_count_ = asked_count_;
        BringWindowToForeground(Handle());
        DebugTrace("TViewer::DisplayImage() exit");
        return OpenOutcome::Opened;
    }
    const LONGLONG t0 = ReadCounter();
    const OpenOutcome opened = openImage(file);
    if (opened == OpenOutcome::Withdrawn) {
        DebugTrace(("TViewer::DisplayImage() withdrawn " + file).c_str());
        return opened;
    }
    folder_position_ = asked_position_;
    folder_count_ = asked_count_;
    const LONGLONG t1 = ReadCounter();
    if (opened == OpenOutcome::Failed) {
        firstImageSettled();
        DebugTrace("TViewer::DisplayImage() exit");
        return opened;
    }
    setWindowTitle(QString::fromStdString("Viewer - " + name.Name()));
    DebugTrace(("TViewer::DisplayImage() shows " + file + " in window " + std::to_string(Handle()))
                   .c_str());
    const double frequency = static_cast<double>(counter_frequency);
    showSizePanel();
    ShowStatusText(1, " Decoded in " + formatSeconds((t1 - t0) / frequency) + " seconds", 6);
    ShowStatusText(
        2, " Loaded in " + formatSeconds((t1 - load_start_counter.load()) / frequency) + " seconds",
        6);
    // The last zoom's time was the previous image's; this one has not been zoomed yet.
    ShowStatusText(3, "", 4);
    ShowPositionAndZoom();
    DebugTrace("TViewer::DisplayImage() exit");
    Display1->Invalidate();
    activateWindow();
    setFocus();
    firstImageSettled();
    if (!Display1->CurrentImage.Reduced()) {
        memory_release_.start(); // a reduced one's whole image gives it back when in place
    }
    return opened;
}

void TViewer::AfterFirstImage(std::function<void()> work) {
    after_first_image_ = std::move(work);
}

void TViewer::AdoptOpeningDecode(std::unique_ptr<ReadAhead> opening) {
    opening_decode = std::move(opening);
    decode_job->SetOpening(opening_decode.get());
}

void TViewer::firstImageSettled() {
    if (first_image_settled_) {
        return;
    }
    first_image_settled_ = true;
    // Whatever the start decoded and the first request did not take is of no further use.
    if (opening_decode) {
        opening_decode->Drop();
    }
    // The paint posted for the image comes first; should none come (a hidden window), the
    // work still runs soon.
    QTimer::singleShot(250, this, [this] {
        if (after_first_image_) {
            std::exchange(after_first_image_, nullptr)();
        }
    });
}

void TViewer::showSizePanel() {
    // A damaged file shows what could be read of it, and says so; a camera file says which of
    // its renditions is on display.
    const Image_Magick_Image& shown = Display1->CurrentImage;
    ShowStatusText(0,
                   " " + std::to_string(shown.Columns()) + "x" + std::to_string(shown.Rows()) +
                       (shown.damaged ? ", damaged" : "") +
                       (shown.rendition.empty() ? std::string() : ", " + shown.rendition),
                   6);
}

bool TViewer::OpenImage(const std::string& file) {
    return openImage(file) == OpenOutcome::Opened;
}

TViewer::OpenOutcome TViewer::openImage(const std::string& file) {
    // The image on display stays usable while the decode runs: keys, paints and resizes keep
    // working on it until the new one is adopted.
    engine::DecodeResult decoded;
    refresh_job->Cancel(); // the image on display needs no more of its own decodes
    const engine::ViewSize view = firstViewSize();
    const FileIdentity identity = FileIdentity::Of(file);
    const std::size_t taken = read_ahead->Taken();
    const std::size_t taken_at_start = opening_decode ? opening_decode->Taken() : 0;
    decoding_file_ = file;
    const DecodeJob::Outcome outcome = decode_job->Run(file, decoded, view);
    if (decoding_file_ == file) {
        decoding_file_.clear(); // not when a newer request took over while this one waited
    }
    if (outcome == DecodeJob::Outcome::Withdrawn) {
        return OpenOutcome::Withdrawn;
    }
    if (read_ahead->Taken() != taken) {
        DebugTrace(("TViewer::DisplayImage() read ahead: " + file).c_str());
    }
    if (opening_decode && opening_decode->Taken() != taken_at_start) {
        DebugTrace(("TViewer::DisplayImage() decoded at the start: " + file).c_str());
    }
    if (decoded.image) {
        keepShownImage(); // a step back shows it at once
    }
    animation->Stop(); // the next image ends the animation on display
    if (!Display1->LoadDecoded(file, std::move(decoded))) {
        image_loaded = false;
        return OpenOutcome::Failed;
    }
    shown_identity_ = identity;
    shown_view_ = view;
    current_file = file;
    ++opened_count_;
    Display1->PanX = Display1->PanY = 0;
    image_loaded = true;
    view_turn_ = 1; // a new image is shown as its file says
    if (remember_zoom_settings) {
        Display1->SetZoomFactor(desired_zoom_factor);
        ApplyWindowBehavior();
    } else {
        SetDesiredZoom(1.0);
        window_behavior = FitWindowToImage;
        Fit_Window_to_ImageExecute();
    }
    startAnimation(file);
    if (Display1->CurrentImage.Reduced()) {
        // The reduced first view is drawn first; the whole image follows for zooming in.
        complete_after_paint_ = true;
        const std::uint64_t opened = opened_count_;
        QTimer::singleShot(kUnpaintedCompletionMs, this, [this, opened] {
            if (complete_after_paint_ && opened == opened_count_) {
                complete_after_paint_ = false;
                completeShownImage();
            }
        });
    }
    return OpenOutcome::Opened;
}

void TViewer::InterThreadMessengerDispatcher() {
    DrainMessages(
        itm_client,
        [this](const Message& message) {
            if (message.kind == IV_PING) {
                Message reply;
                reply.kind = IV_PING_REPLY;
                itm_client.Send("thread1", reply, true);
            } else if (message.kind == IV_DISPLAY_IMAGE) {
                DebugTrace("TViewer::InterThreadMessengerDispatcher() received IV_DISPLAY_IMAGE "
                           "message");
                // The browser sends the file's place in its folder; others send none.
                SetFolderPosition(static_cast<int>(message.data1), static_cast<int>(message.data2));
                stepping_ = takeStep();
                const bool shown = DisplayImage(message.payload != nullptr ? message.payload : "");
                if (shown && stepping_) {
                    askForNextFile();
                }
                stepping_ = false;
            } else if (message.kind == IV_NEXT_IS) {
                NextFileAnswered(message.payload != nullptr ? message.payload : "",
                                 static_cast<char>(message.data1), message.data2);
            }
        },
        "InterThreadMessengerDispatcher()");
}

void TViewer::SetBackdrop(std::optional<std::uint32_t> colour) {
    Display1->Backdrop = colour;
    Checkerboard_Backdrop->setChecked(!colour);
    if (image_loaded && Display1->CurrentImage.transparent) {
        Display1->DrawZoomedCanvas();
        Display1->Invalidate();
    }
}

void TViewer::FormPaint() {
    if (complete_after_paint_) {
        // Runs once this paint is on the screen.
        complete_after_paint_ = false;
        const std::uint64_t opened = opened_count_;
        QTimer::singleShot(0, this, [this, opened] {
            if (opened == opened_count_) {
                completeShownImage();
            }
        });
    }
    if (!first_paint_done) {
        first_paint_done = true;
        Remember_Zoom_Settings->setChecked(remember_zoom_settings);
    }
    if (first_image_settled_ && after_first_image_) {
        // Runs once this paint is on the screen.
        QTimer::singleShot(0, this, [this] {
            if (after_first_image_) {
                std::exchange(after_first_image_, nullptr)();
            }
        });
    }
}

void TViewer::FormResize() {
    const int w0 = Display1->Picture.Bitmap.width();
    const int h0 = Display1->Picture.Bitmap.height();
    const int width = Display1->Width();
    const int height = Display1->Height();
    Display1->SetPictureSize(width, height);
    if (!image_loaded || whole_redraw_follows_) {
        return;
    }
    if (width - w0 > 0 && h0 > 0) {
        Display1->DrawZoomedCanvasSection(ImageRegionFP{
            static_cast<double>(w0), 0, static_cast<double>(width - w0), static_cast<double>(h0)});
    }
    if (width > 0 && height - h0 > 0) {
        Display1->DrawZoomedCanvasSection(ImageRegionFP{0, static_cast<double>(h0),
                                                        static_cast<double>(width),
                                                        static_cast<double>(height - h0)});
    }
    if (full_screen && window_behavior != FitImageToWindow) {
        centreInFullScreen();
    } else if (window_behavior == FitImageToWindow) {
        Fit_Image_to_WindowExecute();
    }
}

void TViewer::centreInFullScreen() {
    const double shown_width =
        static_cast<double>(Display1->CurrentImage.Columns()) * Display1->ZoomX;
    const double shown_height =
        static_cast<double>(Display1->CurrentImage.Rows()) * Display1->ZoomY;
    const double spare_width = Display1->Width() - shown_width;
    const double spare_height = Display1->Height() - shown_height;
    // A negative pan places the image that far into the display; whole display pixels keep an
    // image at zoom 1 drawn pixel for pixel.
    if (spare_width > 0) {
        Display1->PanX = -std::floor(spare_width / 2) / Display1->ZoomX;
    } else if (Display1->PanX < 0) {
        Display1->PanX = 0;
    }
    if (spare_height > 0) {
        Display1->PanY = -std::floor(spare_height / 2) / Display1->ZoomY;
    } else if (Display1->PanY < 0) {
        Display1->PanY = 0;
    }
    Display1->DrawZoomedCanvas();
    Display1->Invalidate();
}

void TViewer::FormClose() {
    read_ahead->Drop(); // the user has left
    const WindowBounds bounds = Bounds();
    settings->WriteInteger("Width", bounds.width);
    settings->WriteInteger("Height", bounds.height);
    // Under Wayland a program never learns where its window is: the place it would store is
    // only what it last asked for, so the place stored in an X session stays as it was.
    if (platform::StoresWindowPlaces()) {
        settings->WriteInteger("Top", bounds.top);
        settings->WriteInteger("Left", bounds.left);
        settings->WriteInteger("desired top", static_cast<std::int32_t>(std::trunc(desired_top)));
        settings->WriteInteger("desired left", static_cast<std::int32_t>(std::trunc(desired_left)));
    }
    settings->WriteBool("maximized", isMaximized());
    settings->WriteBool("remember_zoom_settings", remember_zoom_settings);
    settings->WriteInteger("windowbehavior", window_behavior);
    settings->WriteBool("fullscreen", full_screen);
    settings->WriteBool("shrink_to_fit_screen", shrink_to_fit_screen);
    settings->WriteFloat("zoom_factor", Display1->ZoomFactor);
    settings->WriteFloat("desired_zoom_factor", desired_zoom_factor);
    settings->WriteString(
        "transparency_backdrop",
        Display1->Backdrop ? QColor::fromRgb(*Display1->Backdrop).name(QColor::HexRgb).toStdString()
                           : std::string("checkerboard"));
    if (solitary_viewer_flag) {
        platform::TerminateApplication();
    }
}

void TViewer::FileOpen1Accept(const std::string& file) {
    // Only a file the viewer could not show goes to the desktop's program for it; one withdrawn
    // for a newer request was never judged.
    // The load is timed from here, when the file was chosen: not from the last request of
    // another window, nor from the opening of the dialog.
    load_start_counter = ReadCounter();
    stopTravel(); // a jump
    const OpenOutcome outcome = showImage(file);
    if (outcome == OpenOutcome::Opened) {
        // The browser follows a file shown from here, so the keys step through its folder.
        SendToBrowser(IV_DISPLAY_IMAGE, true);
    } else if (outcome == OpenOutcome::Failed) {
        ShellOpen(file.c_str());
    }
}

void TViewer::PrepareFileOpenDialog(QFileDialog& dialog) const {
    dialog.setWindowTitle("Open");
    dialog.setAcceptMode(QFileDialog::AcceptOpen);
    dialog.setFileMode(QFileDialog::ExistingFile);
    // The next image is most likely beside the one on display (or the last one shown).
    if (!current_file.empty()) {
        dialog.setDirectory(QFileInfo(QString::fromStdString(current_file)).absolutePath());
    }
    // The types the options dialog hands to the viewer, each in both cases: a desktop's own
    // dialog may match names case-sensitively.
    QStringList patterns;
    for (const ImageFormatRow& row : ImageFormatTable()) {
        const QString extension = QString::fromStdString(row.key).toLower();
        patterns << "*." + extension << "*." + extension.toUpper();
    }
    const QString images = "Image Files (" + patterns.join(' ') + ")";
    dialog.setNameFilters({images, "All Files (*)"});
    dialog.selectNameFilter(images);
    // Two hundred patterns would make the list of types unreadable.
    dialog.setOption(QFileDialog::HideNameFilterDetails);
}

void TViewer::PrintDialogExecute() {
    if (!image_loaded) {
        return; // a job would print an empty page
    }
    if (Display1->CurrentImage.Reduced()) {
        redecodeShownImage({}); // the page gets every pixel of the image, not the first view's
    }
    TPrinter* printer = Printer();
    QPrintDialog dialog(&printer->Printer(), this);
    if (dialog.exec() != QDialog::Accepted) {
        return;
    }
    printer->Copies = printer->Printer().copyCount();
    printer->Title = "Orvalen: " + current_file;
    if (printer->BeginDoc()) {
        Display1->Print(printer);
        printer->EndDoc();
    }
}

void TViewer::AboutExecute() {
    TAboutBox box(this);
    box.exec();
}

void TViewer::HelpContentsExecute() {
    // The desktop's program for HTML when it has one, else a window of our own.
    const std::string guide = application_help_file;
    platform::OpenWithDesktop(guide, [guide](bool opened) {
        if (!opened) {
            QMetaObject::invokeMethod(
                qApp, [guide] { ShowGuideWindow(guide); }, Qt::QueuedConnection);
        }
    });
}

void TViewer::SetFolderPosition(int position, int count) {
    asked_position_ = position;
    asked_count_ = count;
}

std::string TViewer::PositionPanelText() const {
    return position_panel_->text().toStdString();
}

void TViewer::ShowPositionAndZoom() {
    const QString text = QString::fromStdString(
        PositionAndZoomText(image_loaded ? folder_position_ : 0, folder_count_,
                            image_loaded ? Display1->ZoomFactor : 0));
    if (text != position_panel_->text()) {
        position_panel_->setText(text);
    }
}

void TViewer::UpdateActions() {
    ShowPositionAndZoom(); // every zoom step ends before the loop idles
    if (!PrintDialog->isEnabled()) {
        PrintDialog->setEnabled(true);
    }
    if (!Remember_Zoom_Settings->isEnabled()) {
        Remember_Zoom_Settings->setEnabled(true);
    }
    Fit_Window_to_Image->setEnabled(!full_screen);
    Fit_Window_to_Image->setChecked(window_behavior == FitWindowToImage);
    Fit_Image_to_Window->setChecked(window_behavior == FitImageToWindow);
    Free_Window_Sizing->setChecked(window_behavior == FreeWindowSizing);
    Permanent_Shrink_to_Fit_Screen->setChecked(shrink_to_fit_screen);
    // Full_Screen and Windowed change only where they differ from the rule.
    if (!Full_Screen->isEnabled() && !full_screen) {
        Full_Screen->setEnabled(true);
        Full_Screen->setChecked(false);
    } else if (Full_Screen->isEnabled() && full_screen) {
        Full_Screen->setEnabled(false);
        Full_Screen->setChecked(true);
    } else if (!Full_Screen->isEnabled() && !Full_Screen->isChecked() && full_screen) {
        Full_Screen->setChecked(true);
    }
    if (Windowed->isEnabled() && !full_screen) {
        Windowed->setEnabled(false);
        Windowed->setChecked(true);
    } else if (!Windowed->isEnabled() && full_screen) {
        Windowed->setEnabled(true);
        Windowed->setChecked(false);
    } else if (!Windowed->isEnabled() && !Windowed->isChecked() && !full_screen) {
        Windowed->setChecked(true);
    }
}

// ---------------------------------------------------------------------------------------------
// Zoom and window behaviour

void TViewer::SetDesiredZoom(double z) {
    desired_zoom_factor = z;
    Display1->SetZoomFactor(z);
}

void TViewer::measureChrome(int& width, int& height) {
    if (layout() != nullptr) {
        layout()->activate();
    }
    // In the window's own units (logical pixels), whatever the screen's pixel ratio.
    const WindowBounds bounds = Bounds();
    width = bounds.width - Display1->width();
    // The frame and the bars, not the window less the display: a window pressed below its
    // bars (a picture a few pixels tall once the frame was known) left the display no room,
    // and the display's own height was still the one before.
    int bars = 0;
    for (const QWidget* bar :
         {static_cast<const QWidget*>(menuBar()), static_cast<const QWidget*>(statusBar())}) {
        bars += bar->isHidden() ? 0 : bar->height();
    }
    height = bounds.height - this->height() + bars;
}

WindowBounds TViewer::FitRectToWorkArea(int left, int top, int width, int height) {
    return ::FitRectToWorkArea(left, top, width, height, DesktopWorkArea());
}

double TViewer::ShrinkToFitScreenZoom() {
    return shrinkToFitScreenZoom(static_cast<double>(Display1->CurrentImage.Columns()),
                                 static_cast<double>(Display1->CurrentImage.Rows()));
}

double TViewer::shrinkToFitScreenZoom(double columns, double rows) {
    int chrome_width = 0, chrome_height = 0;
    measureChrome(chrome_width, chrome_height);
    // The zoom counts device pixels, the work area logical ones.
    const double ratio = Display1->PixelRatio();
    return ::ShrinkToFitScreenZoom(columns / ratio, rows / ratio, chrome_width, chrome_height,
                                   DesktopWorkArea());
}

void TViewer::ApplyWindowBehavior() {
    if (!image_loaded) {
        return; // nothing to lay out: fitting an image of 0 x 0 would shrink the window
    }
    switch (window_behavior) {
    case FitImageToWindow:
        Fit_Image_to_WindowExecute();
        break;
    case FitWindowToImage:
        Fit_Window_to_ImageExecute();
        break;
    case FreeWindowSizing:
        Display1->DrawZoomedCanvas();
        break;
    default:
        ReportError("Error with TViewer::DisplayImage()\nImpossible condition reached.\nError "
                    "#DF22F");
        break;
    }
}

WindowBounds TViewer::boundsShowing(double columns, double rows, int chrome_width,
                                    int chrome_height) {
    // However narrow the image, the window keeps the width at which its menu bar is whole; the
    // image then sits in the middle of the wider display.
    const int least_width = menuBar()->sizeHint().width() + (Bounds().width - this->width());
    const double ratio = Display1->PixelRatio(); // the zoom counts device pixels
    const int width =
        std::max(static_cast<int>(roundHalfAway(columns / ratio) + chrome_width), least_width);
    const int height = static_cast<int>(roundHalfAway(rows / ratio) + chrome_height);
    return FitRectToWorkArea(static_cast<int>(std::trunc(desired_left)),
                             static_cast<int>(std::trunc(desired_top)), width, height);
}

void TViewer::SizeForImage(std::size_t stored_columns, std::size_t stored_rows, int orientation) {
    const bool opens_fitting_window =
        !remember_zoom_settings || window_behavior == FitWindowToImage;
    if (!opens_fitting_window || full_screen || image_loaded || isVisible() ||
        stored_columns == 0 || stored_rows == 0) {
        return;
    }
    const bool quarter = engine::TurnsAQuarter(orientation);
    const double columns = static_cast<double>(quarter ? stored_rows : stored_columns);
    const double rows = static_cast<double>(quarter ? stored_columns : stored_rows);
    double zoom = remember_zoom_settings ? desired_zoom_factor : 1.0;
    if (shrink_to_fit_screen) {
        zoom = shrinkToFitScreenZoom(columns, rows);
    }
    int chrome_width = 0, chrome_height = 0;
    measureChrome(chrome_width, chrome_height);
    SetBounds(boundsShowing(columns * TIM_Display::AxisZoom(columns, zoom),
                            rows * TIM_Display::AxisZoom(rows, zoom), chrome_width, chrome_height));
}

void TViewer::Fit_Window_to_ImageExecute() {
    window_behavior = FitWindowToImage;
    int chrome_width = 0, chrome_height = 0;
    measureChrome(chrome_width, chrome_height);
    const double columns = static_cast<double>(Display1->CurrentImage.Columns());
    const double rows = static_cast<double>(Display1->CurrentImage.Rows());
    if (!image_loaded || columns == 0 || rows == 0) {
        return; // nothing to fit the window to
    }
    if (full_screen) {
        // The screen is the window: the image goes to its middle, the windowed bounds stay.
        if (shrink_to_fit_screen) {
            Display1->SetZoomFactor(ShrinkToFitScreenZoom());
        }
        centreInFullScreen();
        return;
    }
    if (shrink_to_fit_screen) {
        Display1->SetZoomFactor(ShrinkToFitScreenZoom());
        Display1->PanX = Display1->PanY = 0;
    }
    whole_redraw_follows_ = true;
    SetBounds(boundsShowing(columns * Display1->ZoomX, rows * Display1->ZoomY, chrome_width,
                            chrome_height));
    if (layout() != nullptr) {
        layout()->activate();
    }
    whole_redraw_follows_ = false;
    const double shown_width = Display1->Width();
    const double shown_height = Display1->Height();
    const double image_width = columns * Display1->ZoomX;
    if (shown_width > 0.999 * image_width && shown_width < 1.001 * image_width) {
        Display1->PanX = 0;
    } else if (shown_width > image_width) {
        Display1->PanX = -std::floor((shown_width - image_width) / 2) / Display1->ZoomX;
    }
    if (shown_height > 0.999 * rows * Display1->ZoomY &&
        shown_height < 1.001 * rows * Display1->ZoomY) {
        Display1->PanY = 0;
    }
    if (Display1->ZoomFactor == 1.0) {
        Display1->DrawCanvas();
    } else {
        Display1->DrawZoomedCanvas();
    }
    Display1->Invalidate();
}

void TViewer::Fit_Image_to_WindowExecute() {
    window_behavior = FitImageToWindow;
    if (!image_loaded) {
        return;
    }
    if (reportingThrownTexts([this] { return Display1->DrawImageFitToCanvas(); })) {
        Display1->Invalidate();
    } else {
        ReportError("Problem in TViewer::Fit_Image_to_WindowExecute()");
    }
}

void TViewer::Free_Window_SizingExecute() {
    window_behavior = FreeWindowSizing;
}

void TViewer::Full_ScreenExecute() {
    if (full_screen) {
        return;
    }
    const WindowBounds bounds = Bounds();
    windowed_bounds = {bounds.left, bounds.top, bounds.width, bounds.height};
    menuBar()->hide();
    statusBar()->hide();
    full_screen = true;
    windowed_pan_x_ = Display1->PanX;
    windowed_pan_y_ = Display1->PanY;
    // The window manager's own full-screen state: the whole screen, above every panel, and it
    // gives the frame back afterwards.
    setWindowState(windowState() | Qt::WindowFullScreen);
    if (isVisible()) {
        raise();
        activateWindow();
    }
    itm_client.UpdateWindowHandle(Handle());
}

void TViewer::WindowedExecute() {
    if (!full_screen) {
        return;
    }
    menuBar()->show();
    statusBar()->show();
    full_screen = false;
    if (image_loaded) {
        Display1->PanX = windowed_pan_x_;
        Display1->PanY = windowed_pan_y_;
        // The picture still holds the full screen's view, the image in its middle: the corner
        // of it that the shrinking display keeps would be black.
        Display1->DrawZoomedCanvas();
        Display1->Invalidate();
    }
    setWindowState(windowState() & ~Qt::WindowFullScreen);
    if (!isMaximized()) {
        SetBounds(WindowBounds{windowed_bounds[0], windowed_bounds[1], windowed_bounds[2],
                               windowed_bounds[3]});
    }
    itm_client.UpdateWindowHandle(Handle());
}

void TViewer::ToggleFullScreen() {
    if (full_screen) {
        WindowedExecute();
    } else {
        Full_ScreenExecute();
    }
}

// ---------------------------------------------------------------------------------------------
// Events

bool TViewer::event(QEvent* event) {
    if (event->type() == platform::WindowMessageEvent::EventType()) {
        if (static_cast<platform::WindowMessageEvent*>(event)->message == ITM_NOTIFY) {
            InterThreadMessengerDispatcher();
        }
        return true;
    }
    return QMainWindow::event(event);
}

void TViewer::closeEvent(QCloseEvent* event) {
    decode_job->Stop(); // a closed window shows nothing that is still on its way
    refresh_job->Stop();
    animation->Stop();
    FormClose();
    event->accept(); // the window hides; the program ends only as FormClose decided
}

void TViewer::moveEvent(QMoveEvent* event) {
    // The desired place follows the user's own moves only, not the program's.
    if (!program_move_ && isVisible() && !full_screen) {
        desired_left = frameGeometry().x();
        desired_top = frameGeometry().y();
    }
    QMainWindow::moveEvent(event);
}

bool TViewer::eventFilter(QObject* watched, QEvent* event) {
    if (watched == Display1) {
        switch (event->type()) {
        case QEvent::Resize:
            FormResize();
            break;
        case QEvent::Paint:
            FormPaint();
            break;
        case QEvent::MouseButtonPress: {
            const auto* mouse = static_cast<QMouseEvent*>(event);
            Display1MouseDown(mouse->button(), mouse->position().toPoint().x(),
                              mouse->position().toPoint().y());
            break;
        }
        case QEvent::MouseMove: {
            const auto* mouse = static_cast<QMouseEvent*>(event);
            Display1MouseMove(mouse->buttons(), mouse->position().toPoint().x(),
                              mouse->position().toPoint().y());
            // In full screen the display covers the form: the top edge is watched here.
            FormMouseMove(Display1->mapTo(this, mouse->position().toPoint()).y());
            break;
        }
        case QEvent::MouseButtonRelease:
            Display1MouseUp(static_cast<QMouseEvent*>(event)->button());
            break;
        default:
            break;
        }
    }
    return QMainWindow::eventFilter(watched, event);
}
