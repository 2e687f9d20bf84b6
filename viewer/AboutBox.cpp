#include "AboutBox.h"

#include "platform/Shell.h"

#include <QCloseEvent>
#include <QFrame>
#include <QLabel>
#include <QPushButton>
#include <QScreen>
#include <functional>

const char* const kMakerWebsite = "https://orvalen.example.org/";
const char* const kMakerMail = "viewer@orvalen.example.org";

namespace {

// A label that acts on a click, coloured and underlined as a link.
class LinkLabel : public QLabel {
public:
    LinkLabel(const QString& text, QWidget* parent, std::function<void()> onClick)
        : QLabel(text, parent), onClick_(std::move(onClick)) {
        setStyleSheet("color: blue; text-decoration: underline;");
        setCursor(Qt::PointingHandCursor);
    }

protected:
    void mousePressEvent(QMouseEvent*) override { onClick_(); }

private:
    std::function<void()> onClick_;
};

} // namespace

TAboutBox::TAboutBox(QWidget* owner) : QDialog(owner) {
    setWindowTitle("About");
    setWindowFlags(Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint | Qt::CustomizeWindowHint |
                   Qt::WindowTitleHint);
    setFixedSize(298, 213);
    auto* panel = new QFrame(this);
    panel->setGeometry(8, 8, 281, 161);
    panel->setFrameStyle(QFrame::Panel | QFrame::Sunken);
    ProductName = new QLabel("Orvalen", panel);
    ProductName->move(88, 16);
    Version = new QLabel("Version 1.5", panel);
    Version->move(88, 40);
    auto* maker = new QLabel("Made by the Orvalen developers.", panel);
    maker->move(8, 80);
    website_link = new LinkLabel(kMakerWebsite, panel, [this] { website_linkClick(); });
    website_link->move(8, 104);
    email_link =
        new LinkLabel("email the Orvalen developers", panel, [this] { email_linkClick(); });
    email_link->move(8, 124);
    auto* ok = new QPushButton("OK", this);
    ok->setGeometry(111, 180, 75, 25);
    ok->setDefault(true);
    connect(ok, &QPushButton::clicked, this, [this] { OKButtonClick(); });
    // Centred on the screen, as the form asks.
    if (const QScreen* screen = this->screen()) {
        move(screen->geometry().center() - rect().center());
    }
}

void TAboutBox::OKButtonClick() {
    done(1);
}

void TAboutBox::website_linkClick() {
    ShellExecuteA(0, "open", kMakerWebsite, nullptr, nullptr, SW_SHOWDEFAULT);
}

void TAboutBox::email_linkClick() {
    const std::string address = std::string("mailto: ") + kMakerMail;
    ShellExecuteA(0, "open", address.c_str(), nullptr, nullptr, SW_SHOWDEFAULT);
}

void TAboutBox::closeEvent(QCloseEvent* event) {
    setResult(1);
    event->accept();
    done(1);
}

void TAboutBox::reject() {
    done(1);
}
