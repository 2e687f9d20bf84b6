// The least a Qt program does to show a picture: a window with a pixmap of the file at 1:1.
// The benchmark's floor for starting a viewer on a small image.
#include <QApplication>
#include <QLabel>
#include <QPixmap>

int main(int argc, char** argv) {
    QApplication application(argc, argv);
    if (argc != 2) {
        return 2;
    }
    QLabel label;
    label.setPixmap(QPixmap(QString::fromLocal8Bit(argv[1])));
    label.show();
    return application.exec();
}
