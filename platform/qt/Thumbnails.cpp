#include "Thumbnails.h"

#include <QBuffer>
#include <QCryptographicHash>
#include <QImageWriter>

#include <array>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace platform {

namespace {

bool keptInUri(unsigned char c) {
    if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')) {
        return true;
    }
    switch (c) {
    case '-':
    case '.':
    case '_':
    case '~': // unreserved
    case '!':
    case '$':
    case '&':
    case '\'':
    case '(':
    case ')': // sub-delimiters
    case '*':
    case '+':
    case ',':
    case ';':
    case '=':
    case ':':
    case '@':
    case '/':
        return true;
    default:
        return false;
    }
}

// Makes every folder of path that is missing with mode 0700 (the standard's rule for the cache).
bool makeFolders(const std::string& path) {
    for (std::size_t slash = path.find('/', 1);; slash = path.find('/', slash + 1)) {
        const std::string part = path.substr(0, slash);
        if (::mkdir(part.c_str(), 0700) != 0 && errno != EEXIST) {
            return false;
        }
        if (slash == std::string::npos) {
            return true;
        }
    }
}

std::uint32_t crc32Of(const char* data, std::size_t length, std::uint32_t crc = 0) {
    static const std::array<std::uint32_t, 256> table = [] {
        std::array<std::uint32_t, 256> t{};
        for (std::uint32_t n = 0; n < 256; ++n) {
            std::uint32_t c = n;
            for (int k = 0; k < 8; ++k) {
                c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
            }
            t[n] = c;
        }
        return t;
    }();
    crc = ~crc;
    for (std::size_t i = 0; i < length; ++i) {
        crc = table[(crc ^ static_cast<unsigned char>(data[i])) & 0xFF] ^ (crc >> 8);
    }
    return ~crc;
}

void appendBigEndian(QByteArray& out, std::uint32_t value) {
    out.append(static_cast<char>(value >> 24));
    out.append(static_cast<char>(value >> 16));
    out.append(static_cast<char>(value >> 8));
    out.append(static_cast<char>(value));
}

// Writes bytes to a fresh 0600 file beside target and renames it over target.
bool writeAtomically(const std::string& target, const QByteArray& bytes) {
    const std::size_t slash = target.rfind('/');
    if (slash == std::string::npos || !makeFolders(target.substr(0, slash))) {
        return false;
    }
    std::string temporary = target + ".XXXXXX";
    const int fd = ::mkstemp(temporary.data()); // mode 0600
    if (fd < 0) {
        return false;
    }
    const char* data = bytes.constData();
    std::size_t left = static_cast<std::size_t>(bytes.size());
    bool written = true;
    while (left > 0) {
        const ssize_t n = ::write(fd, data, left);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            written = false;
            break;
        }
        data += n;
        left -= static_cast<std::size_t>(n);
    }
    if (::close(fd) != 0) {
        written = false;
    }
    if (!written || ::rename(temporary.c_str(), target.c_str()) != 0) {
        ::unlink(temporary.c_str());
        return false;
    }
    return true;
}

std::vector<std::pair<std::string, std::string>> sourceKeys(const ThumbnailSource& source) {
    return {{"Thumb::URI", source.uri},
            {"Thumb::MTime", std::to_string(source.mtime)},
            {"Thumb::Size", std::to_string(source.size)}};
}

// Reads a PNG and its text keys; a null image when it cannot be read or the keys do not match.
QImage readChecked(const std::string& file, const ThumbnailSource& source) {
    // Read whole: QImageReader's own text() splits keys at the first ':', which every key of
    // the standard ("Thumb::URI") has.
    QImage image;
    if (!image.load(QString::fromStdString(file), "png")) {
        return {};
    }
    const QString uri = image.text("Thumb::URI");
    const QString mtime = image.text("Thumb::MTime");
    const QString size = image.text("Thumb::Size");
    if (mtime.isEmpty() || mtime.toLongLong() != source.mtime ||
        (!uri.isEmpty() && uri.toStdString() != source.uri) ||
        (!size.isEmpty() && size.toLongLong() != source.size)) {
        return {};
    }
    return image;
}

} // namespace

bool ThumbnailSourceOf(const std::string& path, ThumbnailSource& source) {
    struct stat info {};
    if (path.empty() || path[0] != '/' || ::stat(path.c_str(), &info) != 0) {
        return false;
    }
    source.path = path;
    source.uri = FileUri(path);
    source.mtime = static_cast<long long>(info.st_mtim.tv_sec);
    source.size = static_cast<long long>(info.st_size);
    return true;
}

std::string FileUri(const std::string& path) {
    static const char hex[] = "0123456789ABCDEF";
    std::string uri = "file://";
    for (const char ch : path) {
        const auto c = static_cast<unsigned char>(ch);
        if (keptInUri(c)) {
            uri += ch;
        } else {
            uri += '%';
            uri += hex[c >> 4];
            uri += hex[c & 15];
        }
    }
    return uri;
}

std::string ThumbnailFileName(const std::string& uri) {
    const QByteArray digest =
        QCryptographicHash::hash(QByteArray::fromStdString(uri), QCryptographicHash::Md5);
    return digest.toHex().toStdString() + ".png";
}

std::string ThumbnailCacheRoot() {
    const char* xdg = std::getenv("XDG_CACHE_HOME");
    if (xdg != nullptr && *xdg == '/') {
        return std::string(xdg) + "/thumbnails";
    }
    const char* home = std::getenv("HOME");
    return std::string(home != nullptr ? home : "") + "/.cache/thumbnails";
}

int ThumbnailClassEdge(int pixels) {
    for (const int edge : {128, 256, 512}) {
        if (pixels <= edge) {
            return edge;
        }
    }
    return 1024;
}

std::string ThumbnailFolderName(int class_edge) {
    switch (class_edge) {
    case 128:
        return "normal";
    case 256:
        return "large";
    case 512:
        return "x-large";
    case 1024:
        return "xx-large";
    default:
        return {};
    }
}

std::string ThumbnailPath(const ThumbnailSource& source, int class_edge) {
    return ThumbnailCacheRoot() + "/" + ThumbnailFolderName(class_edge) + "/" +
           ThumbnailFileName(source.uri);
}

std::string FailedThumbnailPath(const ThumbnailSource& source, const std::string& program) {
    return ThumbnailCacheRoot() + "/fail/" + program + "/" + ThumbnailFileName(source.uri);
}

QImage ReadThumbnail(const ThumbnailSource& source, int class_edge) {
    if (ThumbnailFolderName(class_edge).empty()) {
        return {};
    }
    return readChecked(ThumbnailPath(source, class_edge), source);
}

QByteArray PngWithTextChunks(const QImage& image,
                             const std::vector<std::pair<std::string, std::string>>& keys) {
    QByteArray png;
    {
        QBuffer buffer(&png);
        buffer.open(QIODevice::WriteOnly);
        QImageWriter writer(&buffer, "png");
        // zlib level 1 (Qt maps quality q to level (100 - q) * 9 / 91). Thumbnails are small:
        // its default level took 30 ms of the 80 ms a 12 MP photo's thumbnail cost, for files
        // only a sixth smaller.
        writer.setQuality(80);
        if (!writer.write(image)) {
            return {};
        }
    }
    // Signature (8) then IHDR: length 13, type, data, CRC = 25 bytes.
    constexpr qsizetype kAfterHeader = 8 + 25;
    if (png.size() < kAfterHeader || png.mid(12, 4) != "IHDR") {
        return {};
    }
    QByteArray chunks;
    for (const auto& [key, value] : keys) {
        QByteArray body = "tEXt";
        body += QByteArray::fromStdString(key);
        body += '\0';
        body += QByteArray::fromStdString(value);
        appendBigEndian(chunks, static_cast<std::uint32_t>(body.size() - 4));
        chunks += body;
        appendBigEndian(chunks, crc32Of(body.constData(), static_cast<std::size_t>(body.size())));
    }
    png.insert(kAfterHeader, chunks);
    return png;
}

bool WriteThumbnail(const ThumbnailSource& source, int class_edge, const QImage& image,
                    int full_width, int full_height) {
    if (ThumbnailFolderName(class_edge).empty() || image.isNull()) {
        return false;
    }
    auto keys = sourceKeys(source);
    keys.emplace_back("Thumb::Image::Width", std::to_string(full_width));
    keys.emplace_back("Thumb::Image::Height", std::to_string(full_height));
    keys.emplace_back("Software", "Orvalen");
    const QByteArray png = PngWithTextChunks(image, keys);
    return !png.isEmpty() && writeAtomically(ThumbnailPath(source, class_edge), png);
}

bool HasFailedThumbnail(const ThumbnailSource& source, const std::string& program) {
    return !readChecked(FailedThumbnailPath(source, program), source).isNull();
}

bool WriteFailedThumbnail(const ThumbnailSource& source, const std::string& program) {
    QImage dot(1, 1, QImage::Format_ARGB32);
    dot.fill(Qt::transparent);
    const QByteArray png = PngWithTextChunks(dot, sourceKeys(source));
    return !png.isEmpty() && writeAtomically(FailedThumbnailPath(source, program), png);
}

} // namespace platform
