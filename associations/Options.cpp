#include "Options.h"

#include "common/ProcessValues.h"
#include "platform/qt/WindowPlacement.h"

#include <magick/MagickCore.h>

#include <QBoxLayout>
#include <QCloseEvent>
#include <QGuiApplication>
#include <QHeaderView>
#include <QPushButton>
#include <QScreen>
#include <QSplitter>
#include <QTreeWidget>

#include <algorithm>
#include <cctype>
#include <filesystem>

namespace {

constexpr int kTreeWidth = 189; // the tree's width at the dialog's first size

// Rows with an empty description take the image library's own one-line description.
const ImageFormatRow kRows[] = {
    {"APP1JPEG", "Raw JPEG binary data", "Image File: Raw JPEG"},
    {"ART", "", "Image File: ART"},
    {"AVS", "", "Image File: AVS"},
    {"BIE", "", "Image File: BIE"},
    {"BMP", "Microsoft Windows bitmap image", "Image File: BMP"},
    {"BMP2", "Microsoft Windows bitmap image v2", "Image File: Bitmap v2"},
    {"BMP3", "", "Image File: BMP3"},
    {"CMYK", "", "Image File: CMYK"},
    {"CMYKA", "", "Image File: CMYKA"},
    {"CUT", "", "Image File: CUT"},
    {"DCM", "", "Image File: DCM"},
    {"DCX", "", "Image File: DCX"},
    {"DPS", "", "Image File: DPS"},
    {"DPX", "", "Image File: DPX"},
    {"EMF", "", "Image File: EMF"},
    {"EPDF", "", "Image File: EPDF"},
    {"EPI", "", "Image File: EPI"},
    {"EPS", "", "Image File: EPS"},
    {"EPS2", "", "Image File: EPS2"},
    {"EPS3", "", "Image File: EPS3"},
    {"EPSF", "", "Image File: EPSF"},
    {"EPSI", "", "Image File: EPSI"},
    {"EPT", "", "Image File: EPT"},
    {"FAX", "", "Image File: FAX"},
    {"FITS", "", "Image File: FITS"},
    {"FPX", "", "Image File: FPX"},
    {"FRACTAL", "", "Image File: FRACTAL"},
    {"G3", "", "Image File: G3"},
    {"GIF", "CompuServe graphics interchange format", "Image File: Gif"},
    {"GIF87", "", "Image File: GIF87"},
    {"ICB", "", "Image File: ICB"},
    {"ICO", "Microsoft icon", "Image File: ICO"},
    {"ICON", "", "Image File: ICON"},
    {"IPTC", "", "Image File: IPTC"},
    {"IPTCTEXT", "", "Image File: IPTCTEXT"},
    {"JBG", "", "Image File: JBG"},
    {"JBIG", "", "Image File: JBIG"},
    {"JNG", "", "Image File: JNG"},
    {"JP2", "", "Image File: JP2"},
    {"JPC", "", "Image File: JPC"},
    {"JPEG", "Joint Photographic Experts Group JFIF format (62)", "Image File: JPEG"},
    {"JPG", "Joint Photographic Experts Group JFIF format", "Image File: JPG"},
    {"MAT", "", "Image File: MAT"},
    {"MATTE", "", "Image File: MATTE"},
    {"MIFF", "", "Image File: MIFF"},
    {"MNG", "Multiple-image Network Graphics", "Image File: MiNG"},
    {"MONO", "", "Image File: MONO"},
    {"MTV", "", "Image File: MTV"},
    {"MVG", "", "Image File: MVG"},
    {"OTB", "", "Image File: OTB"},
    {"P7", "", "Image File: P7"},
    {"PAL", "", "Image File: PAL"},
    {"PALM", "", "Image File: PALM"},
    {"PBM", "", "Image File: PBM"},
    {"PCD", "", "Image File: PCD"},
    {"PCDS", "", "Image File: PCDS"},
    {"PCL", "", "Image File: PCL"},
    {"PCT", "", "Image File: PCT"},
    {"PCX", "", "Image File: PCX"},
    {"PDB", "", "Image File: PDB"},
    {"PDF", "", "Image File: PDF"},
    {"PFA", "", "Image File: PFA"},
    {"PFB", "", "Image File: PFB"},
    {"PGM", "", "Image File: PGM"},
    {"PICON", "", "Image File: PICON"},
    {"PICT", "", "Image File: PICT"},
    {"PIX", "", "Image File: PIX"},
    {"PLASMA", "", "Image File: PLASMA"},
    {"PM", "", "Image File: PM"},
    {"PNG", "Portable Network Graphics", "Image File: PiNG"},
    {"PNG24", "", "Image File: PNG24"},
    {"PNG32", "", "Image File: PNG32"},
    {"PNG8", "8-bit indexed PNG, binary transparency only", "Image File: 256 color PNG"},
    {"PNM", "", "Image File: PNM"},
    {"PPM", "Portable pixmap format (color)", "Image File: PMM"},
    {"PS", "", "Image File: PS"},
    {"PS2", "", "Image File: PS2"},
    {"PS3", "", "Image File: PS3"},
    {"PSD", "Adobe Photoshop bitmap", "Image File: PSD"},
    {"PTIF", "", "Image File: PTIF"},
    {"PWP", "", "Image File: PWP"},
    {"RAS", "", "Image File: RAS"},
    {"RGB", "", "Image File: RGB"},
    {"RGBA", "", "Image File: RGBA"},
    {"RLA", "", "Image File: RLA"},
    {"RLE", "", "Image File: RLE"},
    {"SCT", "", "Image File: SCT"},
    {"SFW", "", "Image File: SFW"},
    {"SGI", "", "Image File: SGI"},
    {"STEGANO", "Steganographic image", "Image File: Stenographic"},
    {"SUN", "", "Image File: SUN"},
    {"SVG", "", "Image File: SVG"},
    {"TGA", "Truevision Targa image", "Image File: TGA"},
    {"TIF", "Tagged Image File Format (42)", "Image File: Tiff"},
    {"TIFF", "Tagged Image File Format (42)", "Image File: Tiff"},
    {"TILE", "Tile image with a texture", "Image File: Tiile"},
    {"TIM", "", "Image File: TIM"},
    {"UYVY", "", "Image File: UYVY"},
    {"VDA", "", "Image File: VDA"},
    {"VICAR", "", "Image File: VICAR"},
    {"VID", "", "Image File: VID"},
    {"VIFF", "", "Image File: VIFF"},
    {"VST", "", "Image File: VST"},
    {"WBMP", "", "Image File: WBMP"},
    {"WMF", "Windows Meta File", "Image File: WMF"},
    {"WMFWIN32", "", "Image File: WMFWIN32"},
    {"WPG", "", "Image File: WPG"},
    {"X", "", "Image File: X"},
    {"XC", "", "Image File: XC"},
    {"XCF", "", "Image File: XCF"},
    {"XV", "", "Image File: XV"},
    {"YUV", "", "Image File: YUV"},
};
static_assert(sizeof kRows / sizeof kRows[0] == 112);

// The formats cameras, phones and browsers save today, read by their own libraries; after the
// 112 above, whose order and keys stored associations depend on.
const ImageFormatRow kCameraRows[] = {
    {"DNG", "Adobe Digital Negative camera raw", "Image File: DNG"},
    {"CR2", "Canon camera raw", "Image File: CR2"},
    {"CR3", "Canon camera raw (version 3)", "Image File: CR3"},
    {"NEF", "Nikon camera raw", "Image File: NEF"},
    {"ARW", "Sony camera raw", "Image File: ARW"},
    {"RAF", "Fujifilm camera raw", "Image File: RAF"},
    {"ORF", "Olympus camera raw", "Image File: ORF"},
    {"RW2", "Panasonic camera raw", "Image File: RW2"},
    {"JXL", "JPEG XL image", "Image File: JPEG XL"},
    {"HEIC", "High Efficiency Image File (HEVC)", "Image File: HEIC"},
    {"HEIF", "High Efficiency Image File", "Image File: HEIF"},
    {"AVIF", "AV1 Image File", "Image File: AVIF"},
};

std::string lowerCase(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

} // namespace

const std::vector<ImageFormatRow>& ImageFormatTable() {
    static const std::vector<ImageFormatRow> table = [] {
        std::vector<ImageFormatRow> rows(std::begin(kRows), std::end(kRows));
        rows.insert(rows.end(), std::begin(kCameraRows), std::end(kCameraRows));
        ExceptionInfo* exception = AcquireExceptionInfo();
        for (ImageFormatRow& row : rows) {
            if (row.description.empty()) {
                const MagickInfo* info = GetMagickInfo(row.key.c_str(), exception);
                row.description = info != nullptr && info->description != nullptr
                                      ? info->description
                                      : row.key + " image";
            }
        }
        DestroyExceptionInfo(exception);
        return rows;
    }();
    return table;
}

std::string BackupKey() {
    return std::string(settings_base_key) + "\\" + "options" + "\\file association backups\\";
}

TOptionsForm::TOptionsForm(QWidget* owner) : QDialog(owner) {
    setWindowTitle("OptionsForm");
    resize(686, 506);
    Splitter1 = new QSplitter(Qt::Horizontal, this);
    Splitter1->setHandleWidth(1);
    Splitter1->setChildrenCollapsible(false);
    TreeView1 = new QTreeWidget(Splitter1);
    TreeView1->setHeaderHidden(true);
    TreeView1->setIndentation(19);
    TreeView1->addTopLevelItem(new QTreeWidgetItem(QStringList{"File Associations"}));
    Panel1 = new QWidget(Splitter1);
    ListView1 = new QTreeWidget(Panel1);
    ListView1->setHeaderLabels({"Image Format", "Description"});
    ListView1->setRootIsDecorated(false);
    Button1 = new QPushButton("Select all", Panel1);
    Button2 = new QPushButton("Select none", Panel1);
    OK = new QPushButton("&OK", Panel1);
    OK->setDefault(true);
    Cancel = new QPushButton("&Cancel", Panel1);

    auto* buttons = new QHBoxLayout;
    buttons->addWidget(Button1);
    buttons->addWidget(Button2);
    buttons->addStretch(1);
    buttons->addWidget(OK);
    buttons->addWidget(Cancel);
    auto* page = new QVBoxLayout(Panel1);
    page->addWidget(ListView1, 1);
    page->addLayout(buttons);
    // The tree keeps its width when the dialog grows; the page takes the rest.
    Splitter1->setStretchFactor(0, 0);
    Splitter1->setStretchFactor(1, 1);
    Splitter1->setSizes({kTreeWidth, width() - kTreeWidth - Splitter1->handleWidth()});
    auto* form = new QHBoxLayout(this);
    form->setContentsMargins(0, 0, 0, 0);
    form->addWidget(Splitter1);

    connect(Button1, &QPushButton::clicked, this, [this] { Button1Click(); });
    connect(Button2, &QPushButton::clicked, this, [this] { Button2Click(); });
    connect(OK, &QPushButton::clicked, this, [this] { OKClick(); });
    connect(Cancel, &QPushButton::clicked, this, [this] { CancelClick(); });

    std::error_code error;
    ProgramFileName = std::filesystem::read_symlink("/proc/self/exe", error).string();

    Settings = std::make_unique<TRegistryIniFileSpecial>(settings_base_key, KEY_ALL_ACCESS);
    Settings->Section = "options";
    setGeometry(platform::StoredBounds(Settings->InRangeReader(), pos(), QSize(600, 400)));
    // A hidden dialog lays out only when shown, but the second column's default is measured on
    // the list at this size: place the splitter's panes and the page's list now.
    layout()->activate();
    Splitter1->refresh();
    Panel1->layout()->activate();
    ListView1->setColumnWidth(
        0, Settings->ReadIntegerInRange("listview1_column0", 20, 50, 0x7FFFFFFF, 0));
    ListView1->setColumnWidth(
        1, Settings->ReadIntegerInRange("listview1_column1", 20,
                                        ListView1->width() - ListView1->columnWidth(0), -1, -1));
}

TOptionsForm::~TOptionsForm() = default;

void TOptionsForm::showEvent(QShowEvent* event) {
    TabSheet1Show();
    QDialog::showEvent(event);
}

void TOptionsForm::TabSheet1Show() {
    if (ListView1->topLevelItemCount() != 0) {
        return;
    }
    for (const ImageFormatRow& row : ImageFormatTable()) {
        auto* item = new QTreeWidgetItem(
            QStringList{QString::fromStdString(row.key), QString::fromStdString(row.description)});
        item->setFlags(item->flags() | Qt::ItemIsUserCheckable);
        item->setCheckState(
            0, RegExtension1.IsRegistered(row.key, ProgramFileName) ? Qt::Checked : Qt::Unchecked);
        ListView1->addTopLevelItem(item);
    }
    // A stored or default width narrower than the names (and their check box) would cut them
    // to "A…"; a wider one is the user's choice and stays.
    const int chosenWidth = ListView1->columnWidth(0);
    ListView1->resizeColumnToContents(0);
    ListView1->setColumnWidth(0, std::max(chosenWidth, ListView1->columnWidth(0)));
}

void TOptionsForm::Button1Click() {
    for (int i = 0; i < ListView1->topLevelItemCount(); ++i) {
        ListView1->topLevelItem(i)->setCheckState(0, Qt::Checked);
    }
}

void TOptionsForm::Button2Click() {
    for (int i = 0; i < ListView1->topLevelItemCount(); ++i) {
        ListView1->topLevelItem(i)->setCheckState(0, Qt::Unchecked);
    }
}

void TOptionsForm::ApplyAssociations() {
    const int count = ListView1->topLevelItemCount();
    if (count == 0) {
        return;
    }
    const auto& table = ImageFormatTable();
    auto add = [&](int row) {
        const ImageFormatRow& format = table[static_cast<std::size_t>(row)];
        RegExtension1.Add("." + lowerCase(format.key), launcher_exe_name,
                          std::string(launcher_exe_name) + format.key + ".File", format.label, 0);
    };
    RegExtension1.Clear();
    for (int row = 0; row < count; ++row) {
        if (ListView1->topLevelItem(row)->checkState(0) != Qt::Checked &&
            RegExtension1.IsRegistered(table[static_cast<std::size_t>(row)].key, ProgramFileName)) {
            add(row);
        }
    }
    RegExtension1.Restore(BackupKey(), 3);
    RegExtension1.Clear();
    for (int row = 0; row < count; ++row) {
        if (ListView1->topLevelItem(row)->checkState(0) == Qt::Checked &&
            !RegExtension1.IsRegistered(table[static_cast<std::size_t>(row)].key,
                                        ProgramFileName)) {
            add(row);
        }
    }
    RegExtension1.Backup(BackupKey(), 3);
    RegExtension1.Register(3);
}

void TOptionsForm::OKClick() {
    ApplyAssociations();
    done(1);
}

void TOptionsForm::CancelClick() {
    done(1);
}

void TOptionsForm::FormClose() {
    if (closed_) {
        return;
    }
    closed_ = true;
    const QRect bounds = geometry(); // as it is read back: the geometry setGeometry takes
    Settings->WriteInteger("Width", bounds.width());
    Settings->WriteInteger("Height", bounds.height());
    // Under Wayland the place would be only what was last asked for: an X session's stays.
    if (platform::StoresWindowPlaces()) {
        Settings->WriteInteger("Top", bounds.y());
        Settings->WriteInteger("Left", bounds.x());
    }
    Settings->WriteInteger("listview1_column0", ListView1->columnWidth(0));
    Settings->WriteInteger("listview1_column1", ListView1->columnWidth(1));
}

void TOptionsForm::done(int result) {
    FormClose();
    QDialog::done(result);
}

void TOptionsForm::closeEvent(QCloseEvent* event) {
    event->accept();
    done(1);
}
