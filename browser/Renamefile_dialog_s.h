// The rename dialog of the browser's Edit menu.
#pragma once

#include <QDialog>

class QLabel;
class QLineEdit;
class TStCustomShellListView;

class TRenameFile_Dialog : public QDialog {
public:
    // list: the browser's file list, whose selected item is renamed.
    TRenameFile_Dialog(TStCustomShellListView* list, QWidget* owner = nullptr);

    // OK: renames the list's selected item to the edit's text.
    void RenameFileExecute();
    void BitBtn2Click();

    QLabel* Label1; // the selected item's current name
    QLineEdit* LabeledEdit1;

protected:
    void closeEvent(QCloseEvent* event) override;
    void reject() override;

private:
    TStCustomShellListView* list_;
};
