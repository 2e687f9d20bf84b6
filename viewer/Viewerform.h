// The viewer window: shows one image through its display component, keeps its settings, and
// asks the browser (by message) for the next image.
#pragma once

#include "AnimationPlayer.h"
#include "DecodeJob.h"
#include "WindowFitting.h"
#include "common/Settings.h"
#include "display/Im_display.h"
#include "messaging/MessageClient.h"
#include "platform/qt/QtWindows.h"

#include <QMainWindow>
#include <QTimer>

#include <array>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

class QAction;
class QFileDialog;
class QLabel;
class QMenu;

// How zoom, the visible part and the window's size are tied together (stored as integers).
using WindowBehavior = std::int32_t;
constexpr WindowBehavior FitImageToWindow = 0;
constexpr WindowBehavior FitWindowToImage = 1;
constexpr WindowBehavior FreeWindowSizing = 2;

class TViewer : public QMainWindow {
public:
    explicit TViewer(QWidget* owner = nullptr);
    ~TViewer() override;

    // Shows file (the window too); true when it is on display afterwards. The file is decoded
    // on a worker while the window keeps painting and handling input and messages. A newer
    // request arriving meanwhile wins: this one then returns false and changes and says nothing.
    bool DisplayImage(const std::string& file);
    // Decodes file the same way and lays it out; false when it failed or was withdrawn.
    bool OpenImage(const std::string& file);
    // Decodes the image on display again, in the colours of the monitor's profile as it is
    // now, and puts it in place of the one shown when it comes: zoom, pan, turns and window
    // stay. Does nothing when another image is opened meanwhile or the decode fails (the old
    // one stays).
    void ShowAgainInDisplayColours();
    // The size the next image opened will be shown in at most, in device pixels, when it will
    // be shown fitted (then a reduced first view serves); 0 x 0 when it may be shown at 1:1.
    engine::ViewSize firstViewSize();
    // Replaces a reduced first view on display with the whole image when its decode, started
    // now, comes: the view does not change (zoom and pan count the whole image's pixels), only
    // its detail.
    void completeShownImage();
    // Runs work once, after the first image asked for has been painted or has failed: what the
    // first picture does not need waits for it.
    void AfterFirstImage(std::function<void()> work);
    // Images decoded for this window before it existed (the file it was started with): the
    // first request takes from there before it decodes.
    void AdoptOpeningDecode(std::unique_ptr<ReadAhead> opening);
    // Before the window is first shown: the size it will have once fitted to an image stored
    // stored_columns x stored_rows with that EXIF orientation, so that it opens at that size
    // instead of growing to it when the image is in.
    void SizeForImage(std::size_t stored_columns, std::size_t stored_rows, int orientation);
    // The view the image on display was decoded for (see firstViewSize).
    engine::ViewSize ShownView() const { return shown_view_; }
    void InterThreadMessengerDispatcher();
    void FormCreate();
    void FormPaint();
    void FormResize();
    void FormClose();

    void FileOpen1Accept(const std::string& file);
    // Sets up File > Open's dialog before it runs: where it starts and what it offers.
    void PrepareFileOpenDialog(QFileDialog& dialog) const;
    void PrintDialogExecute();
    void AboutExecute();
    // Opens the guide. It needs no viewer: the browser's Help > Contents opens it the same way.
    static void HelpContentsExecute();
    // The enable and check rules of the actions, run when the application goes idle.
    void UpdateActions();

    void SetDesiredZoom(double z);
    // Shows the image at zoom z under the current mode and puts its duration in panel 3.
    void Zoom(double z);
    double NextZoomIn();
    double NextZoomOut();
    void ToggleShrinktoFitScreenExecute();
    void Permanent_Shrink_to_Fit_ScreenExecute();
    void Remember_Zoom_SettingsExecute();
    // Shows transparent pixels over the checkerboard (none) or over colour, and remembers it.
    void SetBackdrop(std::optional<std::uint32_t> colour);

    // Input (keys by their virtual key codes, as the design numbers them).
    void FormKeyDown(int key);
    void FormKeyPress(char character);
    void FormKeyUp(int key, bool shift);
    void FormMouseWheelUp(bool middle_button);
    void FormMouseWheelDown(bool middle_button);
    void FormMouseMove(int y);
    void Display1MouseDown(Qt::MouseButton button, int x, int y);
    void Display1MouseMove(Qt::MouseButtons buttons, int x, int y);
    void Display1MouseUp(Qt::MouseButton button);
    // Sends a request of kind to "Browser", with a fresh copy of the current file when asked.
    void SendToBrowser(std::int32_t kind, bool with_file);
    void ApplyWindowBehavior();
    void Fit_Window_to_ImageExecute();
    void Fit_Image_to_WindowExecute();
    void Free_Window_SizingExecute();
    void Full_ScreenExecute();
    void WindowedExecute();
    void ToggleFullScreen();
    // The view's turns and flips (View menu): the pixels on display are turned in memory and
    // laid out again under the current window behaviour; the file is never touched.
    void Rotate_LeftExecute();
    void Rotate_RightExecute();
    void Flip_HorizontalExecute();
    void Flip_VerticalExecute();
    double ShrinkToFitScreenZoom();
    WindowBounds FitRectToWorkArea(int left, int top, int width, int height);

    // The window's outer bounds, frame included, as the settings keep them.
    WindowBounds Bounds() const;
    void SetBounds(const WindowBounds& bounds);
    WorkArea DesktopWorkArea() const;
    HWND Handle() const { return window_handle.Handle(); }
    // A status panel's whole text, and the width the panel asks for (a narrow bar gives less).
    std::string PanelText(int panel) const;
    int PanelWidth(int panel) const;
    // The place in the folder of the next image shown (1 to count; 0 when not known), as the
    // browser tells it with the file. The panel shows it with that image, not before.
    void SetFolderPosition(int position, int count);
    // The "where am I" panel at the bar's right end: "3/120   25 %".
    std::string PositionPanelText() const;
    void ShowPositionAndZoom();
    // Reading ahead: what a request to the browser means for it (a step keeps the image left
    // and reads on in its direction; a jump or leaving drops everything), and the browser's
    // answer naming the next file.
    void NoteRequestToBrowser(std::int32_t kind);
    void NextFileAnswered(const std::string& file, char direction, std::uint32_t question);
    // The decoded memory reading ahead may hold, in megabytes (0: off); stored.
    void SetReadAheadMegabytes(int megabytes);
    int ReadAheadMegabytes() const { return read_ahead_megabytes_; }

    // Components.
    QAction* Fit_Window_to_Image;
    QAction* Fit_Image_to_Window;
    QAction* Remember_Zoom_Settings;
    // What shows through transparent pixels: the checkerboard, or a colour the user picks.
    QAction* Checkerboard_Backdrop;
    QAction* Backdrop_Colour;
    QAction* Free_Window_Sizing;
    QAction* Full_Screen;
    QAction* Windowed;
    QAction* Permanent_Shrink_to_Fit_Screen;
    QAction* FileOpen1;
    QAction* FileExit1;
    QAction* HelpContents1;
    QAction* PrintDialog;
    QAction* About;
    QAction* ToggleShrinktoFitScreen;
    QAction* FilePrintSetup1;
    QAction* Rotate_Left = nullptr;
    QAction* Rotate_Right = nullptr;
    QAction* Flip_Horizontal = nullptr;
    QAction* Flip_Vertical = nullptr;
    // Animated images: pause and resume, and while paused one frame on or back.
    QAction* Pause_Animation = nullptr;
    QAction* Previous_Frame = nullptr;
    QAction* Next_Frame = nullptr;
    TIM_Display* Display1;

    // Fields.
    bool full_screen = false;
    bool remember_zoom_settings = false;
    bool image_loaded = false;
    bool first_paint_done = false;
    bool shrink_to_fit_screen = false;
    std::int32_t instance_number = 0;
    double desired_zoom_factor = 1.0;
    double desired_left = 0, desired_top = 0;
    std::array<int, 4> windowed_bounds{};
    LONGLONG counter_frequency = 0;
    WindowBehavior window_behavior = 0;
    std::string current_file;
    bool dragging = false;
    int last_mouse_x = 0, last_mouse_y = 0;
    std::unique_ptr<TRegistryIniFileSpecial> settings;
    MessageClient itm_client;
    // Images decoded before the user steps onto them; outlives decode_job, whose workers take
    // from it.
    std::unique_ptr<ReadAhead> read_ahead = std::make_unique<ReadAhead>();
    // The start's own decode of its file (null: none); outlives decode_job too.
    std::unique_ptr<ReadAhead> opening_decode;
    // Runs the decodes of DisplayImage; gone before the widgets, its workers joined.
    std::unique_ptr<DecodeJob> decode_job = std::make_unique<DecodeJob>();
    // Decodes the image on display again; apart from decode_job, so that it never withdraws
    // a request of the user's.
    std::unique_ptr<DecodeJob> refresh_job = std::make_unique<DecodeJob>();
    // Plays the frames of an animated image on display; gone before the widgets.
    std::unique_ptr<AnimationPlayer> animation;

    // The performance counter DisplayImage reads (tests give their own readings).
    std::function<LONGLONG()> ReadCounter;

protected:
    bool event(QEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    void moveEvent(QMoveEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void keyReleaseEvent(QKeyEvent* event) override;
    void wheelEvent(QWheelEvent* event) override;

    // Shows text in a status panel, the panel as wide as the text in the bar's font + extra.
    void ShowStatusText(int panel, const std::string& text, int extra);

private:
    // How a request to show a file ended. Withdrawn: a newer request, or the end of the window
    // or of the program, came first; nothing was changed or reported, and the viewer itself
    // may be gone.
    enum class OpenOutcome { Opened, Failed, Withdrawn };
    OpenOutcome showImage(const std::string& quoted_file);
    OpenOutcome openImage(const std::string& file);
    void createActions();
    void createTransformActions(QMenu* view);
    void createAnimationActions(QMenu* view);
    // Plays file when its format can hold an animation (its first frame is on display).
    void startAnimation(const std::string& file);
    void updateAnimationActions();
    // The player's frame replaces the pixels on display; zoom, pan and window stay.
    void showAnimationFrame(std::unique_ptr<engine::Image> frame, bool transparent);
    // Panel 0: the size, whether the file is damaged and which rendition is shown.
    void showSizePanel();
    // Panel 0: the size, and "frame n/m" while an animation is shown.
    void showFrameNumber(std::size_t index, std::size_t count);
    void transformView(int orientation);
    // The turns and flips of the view since the image was opened, as one orientation (1 to 8):
    // the frames of an animation still to come are shown with it too.
    int view_turn_ = 1;
    // Moves on with every image opened: a decode started for one image is never put in place
    // of another.
    std::uint64_t opened_count_ = 0;
    // Decodes the image on display again (with view, or whole) and puts it in place of the one
    // shown, the view unchanged; false when another image was opened meanwhile, the decode
    // failed or was withdrawn.
    bool redecodeShownImage(engine::ViewSize view);
    // The same for the whole image, without waiting: it is put in place when it comes, while
    // the window goes on painting and answering.
    void startRedecodingShownImage();
    // Puts an image decoded again for the one opened as opened_count_ opened in its place.
    bool putRedecodedInPlace(const std::string& file, std::uint64_t opened,
                             engine::DecodeResult&& decoded);
    void measureChrome(int& width, int& height);
    // The zoom that shrinks a window around an image of columns x rows to the work area.
    double shrinkToFitScreenZoom(double columns, double rows);
    // The bounds of a window fitted around columns x rows device pixels of image.
    WindowBounds boundsShowing(double columns, double rows, int chrome_width, int chrome_height);
    void createReadAheadActions(QMenu* options);
    // Called when a display request arrives: true when it answers a step of the user's.
    bool takeStep();
    // A jump or leaving the viewer: no direction of travel, and nothing read ahead kept.
    void stopTravel();
    // Hands the image on display to the read-ahead before a stepped-to one replaces it.
    void keepShownImage();
    void askForNextFile();
    // Steps asked of the browser and not yet answered with an image.
    int steps_pending_ = 0;
    std::uint32_t next_file_question_ = 0; // the last question's number, which answers repeat
    // The direction of travel ('D', 'U'), 0 after a jump; whether the image left is kept.
    char travel_ = 0;
    bool keep_left_ = false;
    bool stepping_ = false; // the image being opened is a step's
    std::string left_file_;
    // The file a decode is under way for (empty when none): the next step goes on from it, and
    // a second request for it waits for that decode instead of starting it again.
    std::string decoding_file_;
    FileIdentity shown_identity_;
    engine::ViewSize shown_view_;
    // The first image's request has ended (shown or failed); then after_first_image_ runs once
    // its paint is done.
    bool first_image_settled_ = false;
    std::function<void()> after_first_image_;
    // A reduced first view is painted before the whole image's decode starts (a second decoding
    // thread beside the paint held the first view back): set until that paint, or a while
    // without one, starts it.
    bool complete_after_paint_ = false;
    void firstImageSettled();
    // Once the user rests on an image that came whole, what its decode freed goes back (a photo
    // as decoded, before it was turned upright, is kept for the next image until then).
    QTimer memory_release_;
    int read_ahead_megabytes_ = 512;
    std::vector<QAction*> read_ahead_actions_;
    std::string formatSeconds(double seconds) const;

    platform::QtWindowHandle window_handle{this};
    std::array<QLabel*, 4> panels_{};
    QLabel* position_panel_ = nullptr;
    int folder_position_ = 0, folder_count_ = 0; // the image's on display
    int asked_position_ = 0, asked_count_ = 0;   // the image's asked for
    // The part of a wheel notch turned so far (eighths of a degree; up positive).
    int wheel_remainder_ = 0;
    bool program_move_ = false;
    // Set while a fit resizes the window: the whole display is drawn right after, so a resize
    // then only resizes the picture.
    bool whole_redraw_follows_ = false;
    // Full screen shows an image smaller than the screen in its middle; the windowed view
    // gets its own pan back.
    void centreInFullScreen();
    double windowed_pan_x_ = 0, windowed_pan_y_ = 0;
};
