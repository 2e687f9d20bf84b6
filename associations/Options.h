// The options dialog: which image formats the desktop opens with the viewer launcher.
#pragma once

#include "Regextension.h"
#include "common/Settings.h"

#include <QDialog>

#include <memory>
#include <string>

class QTreeWidget;
class QPushButton;
class QSplitter;

struct ImageFormatRow {
    std::string key;         // the format's name and extension in capitals
    std::string description; // shown in the list
    std::string label;       // the type's description for the desktop: "Image File: " + name
};
// The 112 rows, in table order, then the camera RAW, JPEG XL, HEIC and AVIF rows.
const std::vector<ImageFormatRow>& ImageFormatTable();

// Where the saved associations live: settings_base_key + "\options\file association backups\".
std::string BackupKey();

class TOptionsForm : public QDialog {
public:
    explicit TOptionsForm(QWidget* owner = nullptr);
    ~TOptionsForm() override;

    void TabSheet1Show();
    void Button1Click(); // Select all
    void Button2Click(); // Select none
    void OKClick();
    void CancelClick();
    void FormClose();
    // Gives up the unchecked formats that are registered and takes the checked ones that are
    // not, in the design's seven steps.
    void ApplyAssociations();

    QTreeWidget* TreeView1;
    QSplitter* Splitter1; // between the tree and the page
    QWidget* Panel1;      // the page: the list over its row of buttons
    QTreeWidget* ListView1;
    QPushButton* Button1; // Select all
    QPushButton* Button2; // Select none
    QPushButton* OK;
    QPushButton* Cancel;
    FileExtension::TRegExtension RegExtension1;
    std::unique_ptr<TRegistryIniFileSpecial> Settings;
    // The program whose registrations count as this system's (the main program's file).
    std::string ProgramFileName;

    // Every way of ending (OK, Cancel, the close button) saves the settings first.
    void done(int result) override;

protected:
    void showEvent(QShowEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

private:
    bool closed_ = false;
};
