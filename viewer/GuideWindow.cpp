#include "GuideWindow.h"

#include "common/ErrorReporting.h"

#include <QFileInfo>
#include <QPointer>
#include <QTextBrowser>
#include <QUrl>

QWidget* ShowGuideWindow(const std::string& file) {
    static QPointer<QTextBrowser> window;
    const QString path = QString::fromStdString(file);
    if (!QFileInfo(path).isReadable()) {
        ReportError("The user guide \"%s\" cannot be read.", file.c_str());
        return nullptr;
    }
    if (window == nullptr) {
        window = new QTextBrowser();
        window->setAttribute(Qt::WA_DeleteOnClose);
        window->setOpenExternalLinks(true);
        window->resize(720, 640);
    }
    window->setSource(QUrl::fromLocalFile(path));
    window->setWindowTitle(window->documentTitle().isEmpty() ? QFileInfo(path).fileName()
                                                             : window->documentTitle());
    window->show();
    window->raise();
    window->activateWindow();
    return window;
}
