#include "Browserform.h"

#include "BrowserStatus.h"
#include "Renamefile_dialog_s.h"
#include "common/ErrorReporting.h"
#include "common/FileNames.h"
#include "common/ProcessValues.h"
#include "display/Image_Magick_Image.h"
#include "platform/Timing.h"
#include "platform/qt/Application.h"
#include "platform/qt/FileOperations.h"
#include "platform/qt/Printer.h"
#include "platform/qt/WindowPlacement.h"
#include "viewer/AboutBox.h"
#include "viewer/Viewerform.h"

#include <QAbstractEventDispatcher>
#include <QAction>
#include <QActionGroup>
#include <QApplication>
#include <QCloseEvent>
#include <QFileDialog>
#include <QKeyEvent>
#include <QLabel>
#include <QMenuBar>
#include <QPageSetupDialog>
#include <QPrintDialog>
#include <QScreen>
#include <QSplitter>
#include <QStatusBar>
#include <QTimer>
#include <QVBoxLayout>

#include <cctype>
#include <cstring>
#include <utility>

std::function<void(QWidget* owner)> TBrowser::ShowOptionsDialog;

namespace {
// The row the user sees as the selected one, the one SelectedItem names: the focus row when it is
// selected, else the first selected row; null without a selection.
QTreeWidgetItem* selectedRow(TStCustomShellListView& list) {
    QTreeWidgetItem* row = list.currentItem();
    if (row == nullptr || !row->isSelected()) {
        const QList<QTreeWidgetItem*> rows = list.selectedItems();
        row = rows.isEmpty() ? nullptr : rows.front();
    }
    return row;
}
} // namespace

TBrowser::TBrowser(QWidget* owner) : QMainWindow(owner) {
    setWindowTitle("Browser");
    resize(869, 632);
    Splitter1 = new QSplitter(this);
    StShellTreeView1 = new TStShellTreeViewB(Splitter1);
    auto* panel = new QWidget(Splitter1);
    auto* layout = new QVBoxLayout(panel);
    layout->setContentsMargins(0, 0, 0, 0);
    StShellComboBox1 = new TStShellComboBox(panel);
    StShellListView1 = new TStShellListView(panel);
    layout->addWidget(StShellComboBox1);
    layout->addWidget(StShellListView1);
    Splitter1->setHandleWidth(3);
    setCentralWidget(Splitter1);
    StShellTreeView1->SetListView(StShellListView1);
    StShellTreeView1->Options =
        toAllowRename | toAllowDrag | toAllowDrop | toExpandTopNode | toShellMenu;
    StShellTreeView1->SpecialRootFolder = TStSpecialRootFolder::sfDesktop;
    StShellTreeView1->SpecialStartInFolder = TStSpecialRootFolder::sfDrives;
    StShellTreeView1->ExpandInterval = 2000;
    StShellListView1->ComboBox = StShellComboBox1;
    StShellListView1->Options = loAllowRename | loAllowDrag | loAllowDrop | loShellMenu;
    StShellComboBox1->ListView = StShellListView1;
    StShellListView1->OnItemDblClick = [this](QObject*, TStShellItem& item, bool& defaultAction) {
        StShellListView1ItemDblClick(item, defaultAction);
    };
    StShellListView1->OnKeyUp = [this](int key, Qt::KeyboardModifiers modifiers) {
        StShellListView1KeyUp(key, modifiers);
    };
    StShellListView1->OnEditing = [this] {
        Editing = true;
        return true;
    };
    StShellListView1->OnEdited = [this] { Editing = false; };
    StShellListView1->OnContentsChanged = [this] {
        // Rows come a batch a turn and a selection changes row by row: one count per turn.
        if (!statusPending_) {
            statusPending_ = true;
            QTimer::singleShot(0, this, [this] { UpdateStatusBar(); });
        }
    };
    StatusText = new QLabel(statusBar());
    statusBar()->addWidget(StatusText, 1);
    StShellTreeView1->installEventFilter(this);
    StShellListView1->installEventFilter(this);
    createActions();

    // Construction in its order.
    Initialised = false;
    Editing = false;
    InstanceNumber = 0;
    ThreadId = GetCurrentThreadId();
    Messenger.Connect("Browser", Handle(), ThreadId, itm_server_name.c_str());
    Settings = std::make_unique<TRegistryIniFileSpecial>(settings_base_key, 0x2001F);
    Settings->Section = "browser_" + std::to_string(InstanceNumber);
    const QRect outer = platform::StoredBounds(Settings->InRangeReader(), pos(), QSize(800, 600));
    // Stored bounds are outer bounds, frame included, and come back as such.
    platform::SetOuterBounds(this, outer);
    const QScreen* primary = QGuiApplication::primaryScreen();
    const int screen_width = primary != nullptr ? primary->geometry().width() : 1024;
    const int splitter =
        Settings->ReadIntegerInRange("Splitter", 1, 297, screen_width, screen_width - 20);
    Splitter1->setSizes({splitter, std::max(outer.width() - splitter, 1)});
    // 1 for thumbnails, else details; a thumbnail edge of 128 to 512, missing: 256.
    const bool thumbnails = Settings->ReadIntegerInRange("view_style", 0, 0, 2, 0) == 1;
    const int edge = Settings->ReadIntegerInRange("thumbnail_size", 127, 256, 513, 512);
    ViewStyleExecute(thumbnails, edge <= 128 ? 128 : edge <= 256 ? 256 : 512);

    const std::string startFolder = Settings->ReadString("solitary viewer start in folder", "");
    if (!startFolder.empty()) {
        Settings->WriteString("solitary viewer start in folder", "");
        PIDL start;
        if (start.FromPath(startFolder)) {
            StShellTreeView1->SetStartInFolderPIDL(start.List());
        }
    } else {
        TMemoryStream stream;
        if (Settings->ReadBinaryStream("current folder", stream) >= 1) {
            // One byte longer, so that even a damaged list ends in a terminator.
            std::vector<std::uint8_t> buffer(stream.Size() + 2, 0);
            std::memcpy(buffer.data(), stream.Memory(), stream.Size());
            StShellTreeView1->SetStartInFolderPIDL(
                reinterpret_cast<const ITEMIDLIST*>(buffer.data()));
        }
    }
    // The solitary viewer's browser stays hidden and so never paints: its folder is opened now,
    // or the viewer could not step through the folder of the file it shows.
    if (solitary_viewer_flag) {
        StShellTreeView1->StartNow();
    }
    connect(QAbstractEventDispatcher::instance(), &QAbstractEventDispatcher::aboutToBlock, this,
            [this] { UpdateActions(); });
    Initialised = true;
}

TBrowser::~TBrowser() = default;

void TBrowser::createActions() {
    auto action = [this](const char* caption) {
        return new QAction(QString::fromUtf8(caption), this);
    };
    FileOpen1 = action("&Open...");
    FileOpen1->setShortcut(QKeySequence("Ctrl+O"));
    FileOpen1->setStatusTip("Opens an existing file");
    Print = action("&Print");
    Print->setShortcut(QKeySequence("Ctrl+P"));
    FilePrintSetup1 = action("Print Set&up...");
    FileExit2 = action("E&xit");
    FileExit2->setStatusTip("Quits the application");
    EditDelete1 = action("&Delete");
    EditDelete1->setShortcut(QKeySequence(Qt::Key_Delete));
    EditDelete1->setShortcutContext(Qt::WidgetShortcut); // the list's own Delete key is the action
    EditDelete1->setStatusTip("Erases the selection");
    Raname = action("&Rename");
    HelpContents1 = action("&Contents");
    HelpContents1->setShortcut(QKeySequence(Qt::Key_F1));
    HelpContents1->setToolTip("Help Contents");
    About = action("&About");
    Options = action("Options");
    QMenu* file = menuBar()->addMenu("&File");
    file->addAction(FileOpen1);
    file->addSeparator();
    file->addAction(Print);
    file->addAction(FilePrintSetup1);
    file->addSeparator();
    file->addAction(FileExit2);
    QMenu* edit = menuBar()->addMenu("E&dit");
    edit->addAction(EditDelete1);
    edit->addAction(Raname);
    // Where desktop users look for settings: the end of the Edit menu.
    edit->addSeparator();
    edit->addAction(Options);
    QMenu* view = menuBar()->addMenu("&View");
    auto* styles = new QActionGroup(this);
    ViewDetails = view->addAction("&Details");
    ViewThumbnails = view->addAction("&Thumbnails");
    for (QAction* style : {ViewDetails, ViewThumbnails}) {
        style->setCheckable(true);
        styles->addAction(style);
    }
    QMenu* sizes = view->addMenu("Thumbnail &Size");
    auto* sizeGroup = new QActionGroup(this);
    ThumbnailSize128 = sizes->addAction("&Small (128)");
    ThumbnailSize256 = sizes->addAction("&Large (256)");
    ThumbnailSize512 = sizes->addAction("&Huge (512)");
    for (QAction* size : {ThumbnailSize128, ThumbnailSize256, ThumbnailSize512}) {
        size->setCheckable(true);
        sizeGroup->addAction(size);
    }
    connect(ViewDetails, &QAction::triggered, this,
            [this] { ViewStyleExecute(false, thumbnailEdge_); });
    connect(ViewThumbnails, &QAction::triggered, this,
            [this] { ViewStyleExecute(true, thumbnailEdge_); });
    connect(ThumbnailSize128, &QAction::triggered, this, [this] { ViewStyleExecute(true, 128); });
    connect(ThumbnailSize256, &QAction::triggered, this, [this] { ViewStyleExecute(true, 256); });
    connect(ThumbnailSize512, &QAction::triggered, this, [this] { ViewStyleExecute(true, 512); });
    QMenu* help = menuBar()->addMenu("&Help");
    help->addAction(HelpContents1);
    help->addSeparator();
    help->addAction(About);
    StShellListView1->addAction(EditDelete1);
    addAction(HelpContents1); // F1 wherever the focus is in the window

    connect(FileOpen1, &QAction::triggered, this, [this] {
        const QString chosen = QFileDialog::getOpenFileName(this, "Open");
        if (!chosen.isEmpty()) {
            FileOpen1Accept(chosen.toStdString());
        }
    });
    connect(Print, &QAction::triggered, this, [this] { PrintExecute(); });
    connect(FilePrintSetup1, &QAction::triggered, this, [this] {
        QPageSetupDialog dialog(&Printer()->Printer(), this);
        dialog.exec();
    });
    connect(FileExit2, &QAction::triggered, this, [] { platform::TerminateApplication(); });
    connect(EditDelete1, &QAction::triggered, this, [this] { EditDelete1Execute(); });
    connect(Raname, &QAction::triggered, this, [this] { RanameExecute(); });
    connect(HelpContents1, &QAction::triggered, this, [] { TViewer::HelpContentsExecute(); });
    connect(About, &QAction::triggered, this, [this] { AboutExecute(); });
    connect(Options, &QAction::triggered, this, [this] { OptionsExecute(); });
}

void TBrowser::UpdateActions() {
    const bool selected = StShellListView1->SelectedItem() != nullptr;
    EditDelete1->setEnabled(selected);
    Raname->setEnabled(selected);
    Print->setEnabled(true);
    About->setEnabled(true);
    Options->setEnabled(true);
}

void TBrowser::ViewStyleExecute(bool thumbnails, int edge) {
    thumbnailEdge_ = edge;
    StShellListView1->SetViewStyle(thumbnails ? TStShellListView::TViewStyle::vsIcon
                                              : TStShellListView::TViewStyle::vsReport,
                                   edge);
    (thumbnails ? ViewThumbnails : ViewDetails)->setChecked(true);
    (edge == 128   ? ThumbnailSize128
     : edge == 256 ? ThumbnailSize256
                   : ThumbnailSize512)
        ->setChecked(true);
}

void TBrowser::UpdateStatusBar() {
    statusPending_ = false;
    int selected = 0;
    long long bytes = 0;
    for (int row = 0; row < StShellListView1->topLevelItemCount(); ++row) {
        if (StShellListView1->topLevelItem(row)->isSelected()) {
            const TStShellItem* item = StShellListView1->ItemOfRow(row);
            ++selected;
            bytes += item != nullptr && item->IsFile ? item->Size : 0;
        }
    }
    StatusText->setText(QString::fromStdString(
        ListStatusText(StShellListView1->topLevelItemCount(), selected, bytes)));
}

bool TBrowser::DisplayImage(const std::string& file_name) {
    LONGLONG now = 0;
    QueryPerformanceCounter(&now);
    load_start_counter = now;
    Image_Magick_Image image;
    if (!image.PingImage(file_name.c_str())) {
        return false;
    }
    Message message;
    message.kind = IV_DISPLAY_IMAGE;
    // The file's place among the folder's images, for the viewer's panel; unknown (0) for a
    // file of another folder.
    int position = 0, count = 0;
    const TStShellFolder& folder = StShellListView1->Folder;
    const std::string prefix =
        folder.Path.empty() || folder.Path.back() != '/' ? folder.Path + "/" : folder.Path;
    if (folder.IsFileSystem && file_name.rfind(prefix, 0) == 0 &&
        file_name.find('/', prefix.size()) == std::string::npos) {
        FolderPosition(*StShellListView1->GetShellItems(), file_name, position, count);
    }
    message.data1 = static_cast<std::uint32_t>(position);
    message.data2 = static_cast<std::uint32_t>(count);
    message.payload = MessagePayloadCopy(file_name.c_str());
    if (!Messenger.Send("Viewer", message, true)) {
        FreeMessagePayload(message);
    }
    return true;
}

void TBrowser::FileOpen1Accept(const std::string& file_name) {
    if (!DisplayImage(file_name)) {
        ShellOpen(file_name.c_str());
    }
}

void TBrowser::StShellListView1ItemDblClick(TStShellItem& item, bool& defaultAction) {
    if (!item.IsFile) {
        return; // folders and other items: the list's own action
    }
    defaultAction = !DisplayImage(item.Path);
}

void TBrowser::InterThreadMessengerDispatcher() {
    DrainMessages(
        Messenger,
        [this](const Message& message) {
            const std::string file = message.payload != nullptr ? message.payload : "";
            switch (message.kind) {
            case IV_PING: {
                Message reply;
                reply.kind = IV_PING_REPLY;
                Messenger.Send("thread1", reply, true);
                break;
            }
            case IV_NEXT_IMAGE:
                DisplayNextImage(file, 'D');
                break;
            case IV_DISPLAY_IMAGE:
                // The viewer opened this file through its own dialog: its folder becomes the one
                // the viewer steps through.
                SelectFile(file);
                break;
            case IV_PREVIOUS_IMAGE:
                DisplayNextImage(file, 'U');
                break;
            case IV_SHOW_BROWSER:
                if (!isVisible()) {
                    show();
                }
                solitary_viewer_flag = false;
                activateWindow();
                raise();
                DebugTrace(("TBrowser shows " + StShellListView1->Folder.Path).c_str());
                break;
            case IV_DELETE_FILE:
                RecycleFile(file);
                break;
            case IV_PREVIOUS_IMAGE_AND_DELETE:
                if (DisplayNextImage(file, 'U')) {
                    RecycleFile(file);
                }
                break;
            case IV_NEXT_IMAGE_AND_DELETE:
                if (DisplayNextImage(file, 'D')) {
                    RecycleFile(file);
                }
                break;
            case IV_FIRST_IMAGE:
                DisplayNextImageFromIndex(StShellListView1->GetShellItems()->GetCount() - 1, 'D');
                break;
            case IV_LAST_IMAGE:
                DisplayNextImageFromIndex(0, 'U');
                break;
            case IV_QUIT:
                platform::TerminateApplication();
                break;
            case IV_WHICH_IS_NEXT: {
                // Reading ahead: the answer names the file; nothing is shown.
                Message reply;
                reply.kind = IV_NEXT_IS;
                reply.data1 = message.data1;
                reply.data2 = message.data2;
                const std::string next = NextImageFile(file, static_cast<char>(message.data1));
                reply.payload = next.empty() ? nullptr : MessagePayloadCopy(next.c_str());
                if (!Messenger.Send("Viewer", reply, true)) {
                    FreeMessagePayload(reply);
                }
                break;
            }
            default:
                break; // 0x8005, 0x8008, 0x8009 and the rest: accepted, nothing to do
            }
        },
        "TBrowser::InterThreadMessengerDispatcher() problem");
}

int TBrowser::SteppingIndex(const std::string& file_name) {
    if (!Initialised || StShellListView1->GetShellItems()->GetCount() < 2) {
        return -1;
    }
    const FullyQualifiedFilename file(file_name);
    if (file.Folder() != StShellListView1->Folder.Path) {
        return -1;
    }
    return FindItemIndex(file.Name());
}

bool TBrowser::DisplayNextImage(const std::string& file_name, char direction) {
    const int index = SteppingIndex(file_name);
    return index != -1 && DisplayNextImageFromIndex(index, direction);
}

bool TBrowser::DisplayNextImageFromIndex(int index, char direction) {
    if (!Initialised || StShellListView1->GetShellItems()->GetCount() < 2) {
        return false;
    }
    return StepFromIndex(index, direction, [this](const TStShellItem& item) {
               return DisplayImage(item.Path);
           }) != -2;
}

std::string TBrowser::NextImageFile(const std::string& file_name, char direction) {
    const int index = SteppingIndex(file_name);
    if (index == -1) {
        return {};
    }
    std::string found;
    StepFromIndex(index, direction, [&found](const TStShellItem& item) {
        Image_Magick_Image image;
        if (!image.PingImage(item.Path.c_str())) {
            return false;
        }
        found = item.Path;
        return true;
    });
    return found;
}

int TBrowser::StepFromIndex(int index, char direction,
                            const std::function<bool(const TStShellItem&)>& accept) {
    const char upper = static_cast<char>(std::toupper(static_cast<unsigned char>(direction)));
    int step = 0;
    if (upper == 'U') {
        step = -1;
    } else if (upper == 'D') {
        step = 1;
    } else {
        ReportError("Problem in TBrowser::DisplayNextImageFromIndex\n direction == %c", direction);
        return -2;
    }
    int i = index;
    for (;;) {
        const int count = StShellListView1->GetShellItems()->GetCount();
        if (count == 0) {
            break;
        }
        i += step;
        if (i < 0) {
            i = count - 1;
        }
        if (i >= count) {
            i = 0;
        }
        TStShellItem* item = StShellListView1->GetShellItems()->GetShellItem(i);
        if (item != nullptr && item->IsFile && accept(*item)) {
            return i;
        }
        if (i == index) {
            break;
        }
    }
    return index;
}

int TBrowser::FindItemIndex(const std::string& name) {
    TStShellItemList* items = StShellListView1->GetShellItems();
    for (int i = 0; i < items->GetCount(); ++i) {
        if (items->GetShellItem(i)->DisplayName == name) {
            return i;
        }
    }
    return -1;
}

bool TBrowser::SelectFile(const std::string& file_name) {
    // The tree's start folder is taken now, so its first paint cannot replace this folder.
    StShellTreeView1->StartNow();
    const FullyQualifiedFilename file(file_name);
    if (file.Folder() != StShellListView1->Folder.Path) {
        PIDL folder;
        if (!folder.FromPath(file.Folder()) || !StShellListView1->SetFolder(folder.List())) {
            return false;
        }
    }
    StShellListView1->WaitUntilListed();
    for (int row = 0; row < StShellListView1->topLevelItemCount(); ++row) {
        const TStShellItem* item = StShellListView1->ItemOfRow(row);
        if (item != nullptr && item->DisplayName == file.Name()) {
            // Focus row and selection together, so that F2, Enter and the actions all act on
            // the row the user sees highlighted.
            QTreeWidgetItem* shown = StShellListView1->topLevelItem(row);
            StShellListView1->setCurrentItem(
                shown, 0, QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
            StShellListView1->scrollToItem(shown);
            return true;
        }
    }
    return false;
}

bool TBrowser::RecycleFile(const std::string& file_name) {
    std::string from = file_name;
    from += '\0';
    from += '\0';
    SHFILEOPSTRUCTA operation{};
    operation.hwnd = Handle();
    operation.wFunc = FO_DELETE;
    operation.pFrom = from.c_str();
    operation.fFlags = FOF_SILENT | FOF_RENAMEONCOLLISION | FOF_NOCONFIRMATION | FOF_ALLOWUNDO;
    if (SHFileOperationA(&operation) == 0) {
        StShellListView1->Refresh();
        return true;
    }
    ReportError("%s\n%s\n%s", "Error deleting file: ", file_name.c_str(), "/nerror number: GBFJKE");
    return false;
}

void TBrowser::EditDelete1Execute() {
    StShellListView1->DeleteItem(true, true);
}

void TBrowser::RanameExecute() {
    TRenameFile_Dialog dialog(StShellListView1, this);
    dialog.exec();
}

void TBrowser::AboutExecute() {
    TAboutBox box(this);
    box.exec();
}

void TBrowser::OptionsExecute() {
    if (ShowOptionsDialog) {
        ShowOptionsDialog(this);
    }
}

void TBrowser::StShellTreeView1KeyUp(int key, Qt::KeyboardModifiers modifiers) {
    switch (key) {
    case VK_DELETE:
        StShellTreeView1->DeleteFolder(!(modifiers & Qt::ShiftModifier), true);
        break;
    case VK_F2:
        if (StShellTreeView1->currentItem() != nullptr) {
            StShellTreeView1->editItem(StShellTreeView1->currentItem(), 0);
        }
        break;
    case VK_F5:
        StShellTreeView1->Refresh(StShellTreeView1->currentItem());
        break;
    default:
        break;
    }
}

void TBrowser::StShellListView1KeyUp(int qtKey, Qt::KeyboardModifiers) {
    const int key = platform::VirtualKeyOfQtKey(qtKey);
    const bool enterPressedHere = key == VK_RETURN && std::exchange(enterPressedInList_, false);
    if (Editing && (key == VK_RETURN || key == VK_ESCAPE)) {
        Editing = false; // the key ended an in-place edit
        return;
    }
    if (StShellListView1->IsEditing()) {
        return;
    }
    switch (key) {
    case VK_BACK:
        StShellListView1->MoveUpOneLevel();
        break;
    case VK_RETURN:
        if (!enterPressedHere) {
            break; // its press ended an edit (committed before this release) or closed a dialog
        }
        if (TStShellItem* item = StShellListView1->SelectedItem()) {
            const std::string path = item->Path;
            if (!DisplayImage(path)) {
                ShellOpen(path.c_str());
            }
        }
        break;
    case VK_F2:
        // The highlighted item, not the focus row: Ctrl+arrow keys move the focus row alone.
        if (QTreeWidgetItem* row = selectedRow(*StShellListView1)) {
            StShellListView1->EditItemCaption(StShellListView1->indexOfTopLevelItem(row));
        }
        break;
    default:
        break;
    }
}

void TBrowser::PrintExecute() {
    Image_Magick_Image image;
    TPrinter* printer = Printer();
    QPrintDialog dialog(&printer->Printer(), this);
    if (dialog.exec() != QDialog::Accepted) {
        return;
    }
    printer->Copies = printer->Printer().copyCount();
    TStShellItemList selected = StShellListView1->SelectedItems();
    for (TStShellItem& item : selected.Items()) {
        const std::string path =
            WithTrailingBackslash(StShellListView1->Folder.Path) + item.DisplayName;
        if (!image.ReadImage(path)) {
            continue;
        }
        printer->Title = "Orvalen: " + path;
        if (printer->BeginDoc()) {
            image.Print(printer);
            printer->EndDoc();
        }
    }
}

void TBrowser::FormClose() {
    if (!Initialised) {
        return;
    }
    TMemoryStream stream;
    const PIDL& folder = StShellListView1->Folder.Pidl;
    stream.Write(folder.List(), folder.Size()); // the ids and the two-byte terminator
    Settings->WriteBinaryStream("current folder", stream);
    if (StShellListView1->Folder.IsFileSystem) {
        Settings->WriteString("current file system folder", StShellListView1->Folder.Path);
    }
    const QRect bounds = geometry().marginsAdded(platform::FrameMargins(this));
    Settings->WriteInteger("Width", bounds.width());
    Settings->WriteInteger("Height", bounds.height());
    // Under Wayland the place would be only what was last asked for: an X session's stays.
    if (platform::StoresWindowPlaces()) {
        Settings->WriteInteger("Top", bounds.y());
        Settings->WriteInteger("Left", bounds.x());
    }
    Settings->WriteInteger("Splitter", Splitter1->sizes().value(0));
    Settings->WriteInteger("view_style", ViewThumbnails->isChecked() ? 1 : 0);
    Settings->WriteInteger("thumbnail_size", thumbnailEdge_);
}

bool TBrowser::event(QEvent* event) {
    if (event->type() == platform::WindowMessageEvent::EventType()) {
        if (static_cast<platform::WindowMessageEvent*>(event)->message == ITM_NOTIFY) {
            InterThreadMessengerDispatcher();
        }
        return true;
    }
    return QMainWindow::event(event);
}

bool TBrowser::eventFilter(QObject* watched, QEvent* event) {
    if (watched == StShellTreeView1 && event->type() == QEvent::KeyRelease) {
        const auto* key = static_cast<QKeyEvent*>(event);
        StShellTreeView1KeyUp(platform::VirtualKeyOfQtKey(key->key()), key->modifiers());
    }
    // A key pressed in the in-place editor comes here too when the editor passes it on.
    if (watched == StShellListView1 && event->type() == QEvent::KeyPress &&
        !StShellListView1->IsEditing()) {
        const int key = static_cast<QKeyEvent*>(event)->key();
        if (key == Qt::Key_Return || key == Qt::Key_Enter) {
            enterPressedInList_ = true;
        } else if (key == Qt::Key_F2) {
            return true; // the list would edit its focus row on the press; F2 is ours, on release
        }
    }
    return QMainWindow::eventFilter(watched, event);
}

void TBrowser::closeEvent(QCloseEvent* event) {
    FormClose();
    event->accept();
    platform::TerminateApplication(); // closing the browser ends the program
}
