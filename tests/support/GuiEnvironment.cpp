#include "GuiEnvironment.h"

#include "display/MagickLibrary.h"

#include <QAction>
#include <QApplication>
#include <QImage>
#include <QLocale>
#include <QWidget>

#include <map>

namespace testsupport {

namespace {
int argc = 1;
char name[] = "orvalen-gui-tests";
char* argv[] = {name, nullptr};
} // namespace

void GuiEnvironment::SetUp() {
    if (QApplication::instance() == nullptr) {
        new QApplication(argc, argv);
    }
    // Tests close windows freely; the program's own rules decide when it ends.
    QApplication::setQuitOnLastWindowClosed(false);
    QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedStates));
    if (imageLibrary_) {
        engine::InitializeMagick(nullptr);
    }
}

void GuiEnvironment::TearDown() {
    if (imageLibrary_) {
        engine::DestroyMagick();
    }
}

std::string WriteImage(const std::string& path, int width, int height, QRgb color) {
    QImage image(width, height, QImage::Format_RGB32);
    image.fill(color);
    image.save(QString::fromStdString(path), "PNG");
    return path;
}

std::string WriteCoordinateImage(const std::string& path, int width, int height) {
    QImage image(width, height, QImage::Format_RGB32);
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            image.setPixel(x, y, qRgb(x % 256, y % 256, 77));
        }
    }
    image.save(QString::fromStdString(path), "PNG");
    return path;
}

std::vector<std::string> SharedShortcuts(const QWidget& window) {
    std::map<QString, QStringList> holders;
    for (const QAction* action : window.findChildren<QAction*>()) {
        for (const QKeySequence& key : action->shortcuts()) {
            holders[key.toString()].append(action->text());
        }
    }
    std::vector<std::string> shared;
    for (const auto& [key, actions] : holders) {
        if (actions.size() > 1) {
            shared.push_back((key + ": " + actions.join(" and ")).toStdString());
        }
    }
    return shared;
}

} // namespace testsupport
