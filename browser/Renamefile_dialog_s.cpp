#include "Renamefile_dialog_s.h"

#include "platform/MessageBox.h"
#include "shell/StShellViews.h"

#include <QCloseEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

TRenameFile_Dialog::TRenameFile_Dialog(TStCustomShellListView* list, QWidget* owner)
    : QDialog(owner), list_(list) {
    setWindowTitle("Rename File");
    setFixedSize(357, 117);
    auto* oldName = new QLabel("Old Name:", this);
    oldName->move(16, 12);
    // Showing the selected item's name (the form's design left it "Label1" and the edit empty).
    const TStShellItem* item = list != nullptr ? list->SelectedItem() : nullptr;
    const QString current = item != nullptr ? QString::fromStdString(item->DisplayName) : QString();
    Label1 = new QLabel(current, this);
    Label1->setGeometry(84, 12, 257, 16);
    auto* prompt = new QLabel("New Name:", this);
    prompt->move(16, 32);
    LabeledEdit1 = new QLineEdit(current, this);
    LabeledEdit1->setGeometry(16, 48, 327, 22);
    LabeledEdit1->selectAll();
    auto* ok = new QPushButton("OK", this);
    ok->setGeometry(194, 80, 69, 33);
    ok->setDefault(true);
    auto* cancel = new QPushButton("Cancel", this);
    cancel->setGeometry(274, 80, 69, 33);
    connect(ok, &QPushButton::clicked, this, [this] { RenameFileExecute(); });
    connect(cancel, &QPushButton::clicked, this, [this] { BitBtn2Click(); });
    LabeledEdit1->setFocus();
}

void TRenameFile_Dialog::RenameFileExecute() {
    const TStShellItem* item = list_ != nullptr ? list_->SelectedItem() : nullptr;
    if (item != nullptr) {
        const std::string from = item->DisplayName;
        const std::string to = LabeledEdit1->text().toStdString();
        // A name that is taken, empty or holds "/" leaves the file as it was; say so.
        if (to != from && !list_->RenameItem(to)) {
            const std::string text = "\"" + from + "\" cannot be renamed to \"" + to +
                                     "\": the name is taken, empty or holds \"/\".";
            MessageBoxA(0, text.c_str(), "Rename File", MB_OK | MB_ICONERROR);
        }
    }
    done(1);
}

void TRenameFile_Dialog::BitBtn2Click() {
    done(1);
}

void TRenameFile_Dialog::closeEvent(QCloseEvent* event) {
    event->accept();
    done(1);
}

void TRenameFile_Dialog::reject() {
    done(1);
}
