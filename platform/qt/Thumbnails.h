// The desktop's shared thumbnail cache (the freedesktop.org thumbnail managing standard):
// $XDG_CACHE_HOME/thumbnails/{normal,large,x-large,xx-large}/<MD5 of the file's URI>.png, each a
// PNG carrying the file's URI and modification time in text chunks, so file managers and other
// viewers use ours and we use theirs. Files that cannot be read get an entry under
// fail/<program>-<version>/ instead, so they are not tried again until they change.
#pragma once

#include <QImage>

#include <string>
#include <utility>
#include <vector>

namespace platform {

// What a thumbnail is checked against: the file as it is on disk now.
struct ThumbnailSource {
    std::string path;    // absolute
    std::string uri;     // file:// URI of path, escaped as the desktop escapes it
    long long mtime = 0; // seconds since the epoch
    long long size = 0;  // bytes
};

// The source for path, read with stat; false when the file cannot be examined. Any thread.
bool ThumbnailSourceOf(const std::string& path, ThumbnailSource& source);
// The file URI of an absolute path: bytes outside the URI's unreserved and sub-delimiter
// characters (and ':', '@', '/') become %XX in capitals, as GLib's g_filename_to_uri does.
std::string FileUri(const std::string& path);
// The 32 lower-case hex digits of the MD5 of uri, and ".png".
std::string ThumbnailFileName(const std::string& uri);
// "$XDG_CACHE_HOME/thumbnails" (or "$HOME/.cache/thumbnails").
std::string ThumbnailCacheRoot();
// The size class a thumbnail of edge pixels is kept in: the smallest of 128 ("normal"), 256
// ("large"), 512 ("x-large") and 1024 ("xx-large") that holds it. Returns that edge.
int ThumbnailClassEdge(int pixels);
// The folder of a size class ("normal" for 128, ...); empty for an edge that is none of them.
std::string ThumbnailFolderName(int class_edge);
// The cache file a thumbnail of source would have in the size class of class_edge.
std::string ThumbnailPath(const ThumbnailSource& source, int class_edge);
// The failure entry of source for program (e.g. "orvalen-1.5").
std::string FailedThumbnailPath(const ThumbnailSource& source, const std::string& program);

// Reads the thumbnail of source in its size class and checks it: Thumb::URI equal to the
// source's when present, Thumb::MTime equal to the file's, Thumb::Size equal when present.
// A null image when there is none or it is stale or unreadable. Any thread.
QImage ReadThumbnail(const ThumbnailSource& source, int class_edge);
// Stores image (longest side at most class_edge) as the source's thumbnail: the folders are made
// with mode 0700, the PNG (mode 0600, with Thumb::URI, Thumb::MTime, Thumb::Size,
// Thumb::Image::Width and Thumb::Image::Height, the full image's size, and Software) is written
// under a temporary name in the same folder and renamed over any older one, so no reader sees
// half a file. False when it could not be written (nothing is left behind). Any thread.
bool WriteThumbnail(const ThumbnailSource& source, int class_edge, const QImage& image,
                    int full_width, int full_height);
// Whether program has a failure entry for source as the file is now (a changed file is tried
// again). Any thread.
bool HasFailedThumbnail(const ThumbnailSource& source, const std::string& program);
// Writes program's failure entry for source (a 1 x 1 PNG with the URI and time). Any thread.
bool WriteFailedThumbnail(const ThumbnailSource& source, const std::string& program);

// The PNG bytes of image with the tEXt chunks of keys (Latin-1 keys and values, as the standard
// asks; Qt's own writer would put long values in compressed zTXt chunks) after its header.
// Empty when the image cannot be encoded.
QByteArray PngWithTextChunks(const QImage& image,
                             const std::vector<std::pair<std::string, std::string>>& keys);

} // namespace platform
