// The about box: product, version and two links.
#pragma once

#include <QDialog>

class QLabel;

class TAboutBox : public QDialog {
public:
    explicit TAboutBox(QWidget* owner = nullptr);

    void OKButtonClick();
    void website_linkClick();
    void email_linkClick();

    QLabel* ProductName;
    QLabel* Version;
    QLabel* website_link;
    QLabel* email_link;

protected:
    // Closing in any way counts as OK.
    void closeEvent(QCloseEvent* event) override;
    void reject() override;
};

extern const char* const kMakerWebsite;
extern const char* const kMakerMail;
