#include "ShellIcons.h"

#include <QHash>
#include <QMimeDatabase>
#include <QPainter>
#include <QPainterPath>
#include <QPixmap>

namespace {

// The kind byte of a list's last item ('h' home, 'c' computer, 'r' root, 'm' mount, 'f' file).
char lastKind(const ITEMIDLIST* list) {
    char kind = 0;
    PIDL::Iterator items(list);
    for (const ITEMIDLIST* item = items.Next(); item != nullptr; item = items.Next()) {
        kind = static_cast<char>(item->mkid.abID[0]);
    }
    return kind;
}

std::string extensionOf(const std::string& name) {
    const std::size_t dot = name.rfind('.');
    if (dot == std::string::npos || dot == 0) {
        return {};
    }
    std::string extension = name.substr(dot + 1);
    for (char& c : extension) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return extension;
}

// A closed outline through points, in the 16-unit grid the icons are drawn on.
QPainterPath outline(std::initializer_list<QPointF> points) {
    QPainterPath path;
    path.addPolygon(QPolygonF(QList<QPointF>(points)));
    path.closeSubpath();
    return path;
}

// Our own icons: flat shapes drawn once a size, legible at 16 and at 256 pixels.
QPixmap drawOwn(FallbackIcon kind, int size) {
    QPixmap pixmap(size, size);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    painter.setRenderHint(QPainter::Antialiasing);
    const double s = size / 16.0;
    painter.scale(s, s);
    painter.setPen(QPen(QColor(60, 60, 60), 1.0 / s * std::max(1.0, s * 0.6)));
    switch (kind) {
    case FallbackIcon::Folder: {
        const QPainterPath tab =
            outline({{1.5, 3.5}, {6, 3.5}, {7.5, 5}, {14.5, 5}, {14.5, 13.5}, {1.5, 13.5}});
        painter.setBrush(QColor(232, 186, 84));
        painter.drawPath(tab);
        painter.setBrush(QColor(245, 206, 110));
        painter.drawRect(QRectF(1.5, 6.5, 13, 7));
        break;
    }
    case FallbackIcon::Drive:
        painter.setBrush(QColor(170, 174, 182));
        painter.drawRoundedRect(QRectF(1.5, 5.5, 13, 6), 1.5, 1.5);
        painter.setBrush(QColor(80, 200, 90));
        painter.drawEllipse(QPointF(12, 8.5), 0.9, 0.9);
        break;
    case FallbackIcon::Home: {
        const QPainterPath house =
            outline({{8, 2}, {14.5, 8}, {12.5, 8}, {12.5, 14}, {3.5, 14}, {3.5, 8}, {1.5, 8}});
        painter.setBrush(QColor(120, 160, 220));
        painter.drawPath(house);
        break;
    }
    case FallbackIcon::File:
    case FallbackIcon::Image: {
        const QPainterPath page =
            outline({{3.5, 1.5}, {10, 1.5}, {12.5, 4}, {12.5, 14.5}, {3.5, 14.5}});
        painter.setBrush(Qt::white);
        painter.drawPath(page);
        if (kind == FallbackIcon::Image) {
            painter.setPen(Qt::NoPen);
            painter.setBrush(QColor(90, 150, 220));
            painter.drawRect(QRectF(5, 6, 6, 6.5));
            painter.setBrush(QColor(70, 160, 80));
            const QPainterPath hill =
                outline({{5, 12.5}, {7.5, 9}, {9, 10.5}, {11, 8}, {11, 12.5}});
            painter.drawPath(hill);
        }
        break;
    }
    }
    return pixmap;
}

QIcon themed(const QString& name, const QIcon& fallback) {
    static QHash<QString, QIcon> cache;
    const auto found = cache.constFind(name);
    if (found != cache.constEnd()) {
        return *found;
    }
    const QIcon icon = QIcon::hasThemeIcon(name) ? QIcon::fromTheme(name) : fallback;
    cache.insert(name, icon);
    return icon;
}

} // namespace

std::string MimeTypeOfName(const std::string& name) {
    static QHash<QString, std::string> byExtension;
    const QString extension = QString::fromStdString(extensionOf(name));
    const auto found = byExtension.constFind(extension);
    if (found != byExtension.constEnd()) {
        return *found;
    }
    static const QMimeDatabase database;
    const std::string type =
        database.mimeTypeForFile(QString::fromStdString(name), QMimeDatabase::MatchExtension)
            .name()
            .toStdString();
    byExtension.insert(extension, type);
    return type;
}

bool IsImageName(const std::string& name) {
    return MimeTypeOfName(name).rfind("image/", 0) == 0;
}

QIcon OwnIcon(FallbackIcon kind) {
    static QHash<int, QIcon> made;
    const auto found = made.constFind(static_cast<int>(kind));
    if (found != made.constEnd()) {
        return *found;
    }
    QIcon icon;
    for (const int size : {16, 22, 32, 48, 64, 128, 256}) {
        icon.addPixmap(drawOwn(kind, size));
    }
    made.insert(static_cast<int>(kind), icon);
    return icon;
}

QIcon IconOfItem(const TStShellItem& item) {
    if (item.IsFolder) {
        switch (lastKind(item.Pidl.List())) {
        case 'h':
            return themed("user-home", OwnIcon(FallbackIcon::Home));
        case 'c':
            return themed("computer", OwnIcon(FallbackIcon::Drive));
        case 'r':
        case 'm':
            return themed("drive-harddisk", OwnIcon(FallbackIcon::Drive));
        case 'd':
            return themed("user-desktop", OwnIcon(FallbackIcon::Folder));
        default:
            return themed("folder", OwnIcon(FallbackIcon::Folder));
        }
    }
    const std::string type = MimeTypeOfName(item.DisplayName);
    const bool image = type.rfind("image/", 0) == 0;
    const QIcon own = OwnIcon(image ? FallbackIcon::Image : FallbackIcon::File);
    // "image/jpeg" is "image-jpeg" in a theme; its generic icon "image-x-generic".
    QString name = QString::fromStdString(type);
    name.replace('/', '-');
    const QString generic =
        image ? QStringLiteral("image-x-generic") : QStringLiteral("text-x-generic");
    return themed(name, themed(generic, own));
}
