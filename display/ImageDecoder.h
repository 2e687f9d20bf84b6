// Decoding a file into the engine's 8-bit record, safe to run on any thread.
//
// Every file is opened here, without blocking, and checked before the image library sees it:
// only regular files of a bounded size are read, and the library gets the open file, never a
// name it could follow. Rows are streamed from the library's decoder straight into the record
// where the format writes its rows in order (JPEG, PNG, WebP, ...): no 16-bit copy of the whole
// image is made. Other formats are read whole and exported, within the library limits set in
// MagickLibrary. Records too large to keep in memory live in a file mapped from the per-user
// cache folder, with a reduced copy beside them for views below 1:1.
#pragma once

#include "EngineImage.h"

#include <atomic>
#include <memory>
#include <string>

namespace engine {

// Why a decode gave no image.
enum class DecodeFailure {
    None,
    Cancelled,      // the caller's cancel flag was set
    CannotOpen,     // the file is missing or not readable (error_code says why)
    NotRegularFile, // a folder, a FIFO, a device or a socket
    NotAnImage,     // no decoder of the library recognises it
    TooLarge,       // over the limits (kMaximumSide, kMaximumPixels, kMaximumFileBytes) or the free
                    // memory
    Damaged,        // the decoder gave up on it
    OutOfMemory,
};

struct DecodeResult {
    std::unique_ptr<Image> image; // the decoded record; null on failure
    DecodeFailure failure = DecodeFailure::None;
    // What the user can act on ("not an image this program can read", "too large (...)", "not a
    // regular file", "damaged: ..."); empty on success unless the file is damaged but an image
    // came back (damaged is then true: the part that could be read is shown).
    std::string message;
    std::string reason; // the library's or the system's own words, for the box's second line
    bool damaged = false;
    // As the file says, before anything is done with it: the EXIF (or TIFF) orientation, 1 to
    // 8 (1: stored upright), and the embedded ICC colour profile (empty when none; Adobe RGB's
    // for a photo that embeds none but whose EXIF says it is in Adobe RGB).
    int orientation = 1;
    // DecodeImageFile has turned the record upright by orientation (false only when memory for
    // the turn ran out: the pixels are then as stored).
    bool orientation_applied = false;
    std::string icc_profile;
    // DecodeImageFile has converted the pixels from icc_profile to sRGB (false when there is
    // none, when lcms2 cannot use it and for an sRGB profile: the pixels are then as stored).
    bool icc_profile_applied = false;
    int error_code = 0; // errno of a failed open, 0 otherwise
    double decode_ms = 0;
    // The record is a reduced first view (a JPEG decoded at a DCT scale, a camera file's
    // embedded preview), not the whole image: full_columns x full_rows is the upright size of
    // the whole image, which a decode without a view size gives.
    bool reduced = false;
    std::size_t full_columns = 0, full_rows = 0;
    // Which rendition of the file the record is, when the format has several ("embedded
    // preview", "developed"); empty otherwise.
    std::string rendition;
};

// The device pixels a first view will show the whole image in (upright), or 0 x 0 for the whole
// image at full size. A decoder may then return a reduced record no smaller than this in both
// directions; formats that cannot reduce cheaply ignore it.
struct ViewSize {
    std::size_t columns = 0, rows = 0;
};

// Whether another thread has set cancel (a null flag never is).
inline bool Cancelled(const std::atomic<bool>* cancel) {
    return cancel != nullptr && cancel->load(std::memory_order_relaxed);
}

// The largest file read at all: far beyond any real image of the allowed sizes.
constexpr long long kMaximumFileBytes = 8LL << 30;

// Decodes the first frame of path into the record. cancel may be null; when another thread sets
// it the decode stops within a row or two and returns Cancelled. With a view size the result may
// be reduced (see ViewSize and DecodeResult::reduced). Starts the library if needed. Never shows
// anything: the caller reports failures. Thread-safe; several decodes may run at once.
DecodeResult DecodeImageFile(const std::string& path, const std::atomic<bool>* cancel = nullptr,
                             ViewSize view = {});

// Reads only the attributes of path's first frame: on success the record has columns, rows,
// filename and magick, and no pixels, and the result the orientation the file gives (the record
// is as stored, not turned). Same checks as DecodeImageFile.
DecodeResult PingImageFile(const std::string& path);

// Reads path as DecodeImageFile does (a regular file, opened without blocking, at most
// kMaximumFileBytes) into data: its first limit bytes, or all of it when shorter; size is
// what was read, whole the file's size. False with result filled on failure or when cancel
// (may be null) is set. Thread-safe.
bool ReadImageFileBytes(const std::string& path, std::size_t limit, const std::atomic<bool>* cancel,
                        std::unique_ptr<unsigned char[]>& data, std::size_t& size,
                        std::size_t& whole, DecodeResult& result);

} // namespace engine
