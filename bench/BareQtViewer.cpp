// The least a Qt program does to show a picture: a window with a pixmap of the file at 1:1.
// The benchmark's floor for starting a viewer on a small image.
//
// With --menus, the least a Qt viewer with this program's window does: a main window with its
// four menus and a status bar, the whole picture kept (for zooming in) and a copy fitted to
// the screen on display. The floor that the toolkit and that window set, before any of the
// viewer's own work.
#include <QApplication>
#include <QImage>
#include <QLabel>
#include <QMainWindow>
#include <QMenuBar>
#include <QPixmap>
#include <QScreen>
#include <QStatusBar>

#include <cstring>

namespace {

int showWithMenus(const char* file) {
    QMainWindow window;
    const char* menus[][6] = {{"&File", "&Open...", "&Print", "Print Set&up...", "E&xit", nullptr},
                              {"&View", "&Fit Window to Image", "F&it Image to Window",
                               "F&ree Window Sizing", "&Full Screen", "&Windowed"},
                              {"&Options", "&Remember Zoom Settings",
                               "&Checkerboard Behind Transparency",
                               "&Colour Behind Transparency...", nullptr, nullptr},
                              {"&Help", "&Contents", "&About", nullptr, nullptr, nullptr}};
    for (const auto& entries : menus) {
        QMenu* menu = window.menuBar()->addMenu(entries[0]);
        for (int i = 1; i < 6 && entries[i] != nullptr; ++i) {
            menu->addAction(entries[i]);
        }
    }
    const QImage whole(QString::fromLocal8Bit(file));
    window.statusBar()->showMessage(QString("%1x%2").arg(whole.width()).arg(whole.height()));
    const QRect area = QGuiApplication::primaryScreen()->availableGeometry();
    const QSize room(area.width(), area.height() - window.menuBar()->sizeHint().height() -
                                       window.statusBar()->sizeHint().height());
    auto* label = new QLabel;
    label->setPixmap(
        QPixmap::fromImage(whole.width() > room.width() || whole.height() > room.height()
                               ? whole.scaled(room, Qt::KeepAspectRatio, Qt::SmoothTransformation)
                               : whole));
    window.setCentralWidget(label);
    window.show();
    return QApplication::exec();
}

} // namespace

int main(int argc, char** argv) {
    QApplication application(argc, argv);
    if (argc == 3 && std::strcmp(argv[1], "--menus") == 0) {
        return showWithMenus(argv[2]);
    }
    if (argc != 2) {
        return 2;
    }
    QLabel label;
    label.setPixmap(QPixmap(QString::fromLocal8Bit(argv[1])));
    label.show();
    return application.exec();
}
