#include "FileClipboard.h"

#include "Thumbnails.h"

#include <QClipboard>
#include <QGuiApplication>
#include <QMimeData>
#include <QUrl>

namespace platform {

namespace {

constexpr const char* kGnomeFormat = "x-special/gnome-copied-files";
constexpr const char* kKdeCutFormat = "application/x-kde-cutselection";

std::vector<std::string> localPathsOf(const QList<QByteArray>& lines) {
    std::vector<std::string> paths;
    for (QByteArray line : lines) {
        line = line.trimmed();
        if (line.isEmpty() || line.startsWith('#')) {
            continue;
        }
        const QUrl url = QUrl::fromEncoded(line);
        if (url.isLocalFile() && !url.toLocalFile().isEmpty()) {
            paths.push_back(url.toLocalFile().toStdString());
        }
    }
    return paths;
}

} // namespace

QMimeData* FileClipboardData(const std::vector<std::string>& paths, bool cut) {
    QByteArray uris;
    QByteArray gnome = cut ? "cut" : "copy";
    QString text;
    for (const std::string& path : paths) {
        const QByteArray uri = QByteArray::fromStdString(FileUri(path));
        uris += uri + "\r\n"; // the list's lines end in CR LF (RFC 2483)
        gnome += "\n" + uri;
        text += (text.isEmpty() ? "" : "\n") + QString::fromStdString(path);
    }
    auto* data = new QMimeData();
    data->setData("text/uri-list", uris);
    data->setData(kGnomeFormat, gnome);
    data->setData(kKdeCutFormat, cut ? "1" : "0");
    data->setText(text);
    return data;
}

ClipboardFiles FilesOfClipboardData(const QMimeData* data) {
    ClipboardFiles files;
    if (data == nullptr) {
        return files;
    }
    if (data->hasFormat(kGnomeFormat)) {
        QList<QByteArray> lines = data->data(kGnomeFormat).split('\n');
        if (!lines.isEmpty()) {
            files.cut = lines.takeFirst().trimmed() == "cut";
            files.paths = localPathsOf(lines);
        }
        return files;
    }
    if (data->hasFormat("text/uri-list")) {
        files.paths = localPathsOf(data->data("text/uri-list").split('\n'));
        files.cut = data->data(kKdeCutFormat).trimmed() == "1";
    }
    return files;
}

void SetClipboardFiles(const std::vector<std::string>& paths, bool cut) {
    QGuiApplication::clipboard()->setMimeData(FileClipboardData(paths, cut));
}

ClipboardFiles GetClipboardFiles() {
    return FilesOfClipboardData(QGuiApplication::clipboard()->mimeData());
}

void ClearClipboard() {
    QGuiApplication::clipboard()->clear();
}

} // namespace platform
