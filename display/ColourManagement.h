// Showing pixels in the colours their file means: an embedded ICC profile (RGB, gray or CMYK)
// is converted to sRGB, the colour space the screen is assumed to have, or to the monitor's own
// profile when the desktop publishes one (SetDisplayProfile); pixels without a profile are then
// converted from sRGB to it.
//
// A conversion is planned once per distinct profile through lcms2 and kept in a small cache
// keyed by the profile's bytes, so a folder of photos from one camera plans it once. RGB
// profiles made of three curves and a matrix (nearly every camera and phone profile) run
// through a vectorised loop of our own that is checked against lcms2 when it is planned; other
// profiles run through lcms2 itself.
#pragma once

#include "EngineImage.h"

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>

namespace engine {

// One planned conversion from a profile to sRGB (or to the display profile). Immutable once made:
// any number of threads may use it at once.
class ColourTransform;

// The colour space of a profile's pixels, as far as a conversion here goes.
enum class ProfileColours { Rgb, Gray, Cmyk };

// The conversion for profile's bytes: from the cache, or planned now (a few milliseconds) and
// cached; at most kCachedTransforms are kept, the least recently used goes first. Null when
// lcms2 cannot read the profile, when its colour space is none of RGB, gray and CMYK, or when
// it moves no colour by more than a level (an sRGB profile): then the pixels stay as they are.
// Thread-safe.
std::shared_ptr<const ColourTransform> FindColourTransform(std::string_view profile);
constexpr std::size_t kCachedTransforms = 8;

ProfileColours TransformColours(const ColourTransform& transform);

// The monitor's ICC profile, which every conversion planned from now on goes to instead of
// sRGB; empty for sRGB. Bytes that are not an RGB profile lcms2 can convert into are ignored
// (sRGB then) and false is returned. Clears the cache of conversions. Thread-safe: a decode
// that has already planned its conversion finishes with the profile it began with, so a caller
// that follows a change decodes its pictures again (DisplayProfileGeneration tells them apart).
bool SetDisplayProfile(std::string_view profile);
bool HasDisplayProfile();
// Moves on with every change of the display profile. Starts at 0.
std::uint64_t DisplayProfileGeneration();

// The bytes of lcms2's sRGB profile. Made once; thread-safe.
const std::string& SrgbProfile();

// The bytes of an Adobe RGB (1998) profile, for photos that say they are in it without
// embedding one. Made once; thread-safe.
const std::string& AdobeRgbProfile();

// Converts count pixels of 8-bit blue, green, red, alpha (straight alpha, kept as it is) in
// place from an RGB or gray transform's profile to sRGB. A gray profile reads the green sample
// (a gray image has three equal ones). Does nothing for a CMYK transform. Runs on the calling
// thread.
void ConvertBgraToSrgb(const ColourTransform& transform, std::uint8_t* bgra, std::size_t count);
// The same, one pixel at a time with the same arithmetic: the plain form the fast one is
// checked against.
void ConvertBgraToSrgbPlain(const ColourTransform& transform, std::uint8_t* bgra,
                            std::size_t count);

// Converts count pixels of 16-bit cyan, magenta, yellow, black ink (0: none, 65535: full) with
// a CMYK transform to 16-bit blue, green, red samples in the image library's pixel order
// (blue, green, red, opacity: the caller fills every fourth sample in). Does nothing for other
// transforms. The 16-bit results are rounded to 8 bits afterwards, as every source's are.
void ConvertCmykToBgr16(const ColourTransform& transform, const std::uint16_t* cmyk,
                        std::uint16_t* bgro, std::size_t count);

// What the decoder runs on every record whose rows were not converted as they came: converts
// image (and its reduced copy, when it has one) from profile, the file's embedded ICC profile,
// to sRGB or the display profile. With a display profile set, an empty or unusable profile
// means sRGB. True when it converted; false, with nothing changed, when there was nothing to
// convert (no display profile and profile empty, unusable or sRGB's) or profile is a CMYK
// profile (CMYK pixels are converted as they are read, from their 16-bit inks: see
// ConvertCmykToBgr16). Large images are converted on two threads.
bool ConvertImageForDisplay(Image& image, std::string_view profile);

// Converts image (and its reduced copy) from the display profile, which decoding converted it
// to, back to sRGB: for pixels that leave the screen, such as thumbnails for the desktop's
// shared cache and printed pages. False, with nothing changed, without a display profile.
bool ConvertDisplayedToSrgb(Image& image);

// Converts the rows of a record to sRGB on a thread of its own while the decoder is still
// writing the rows below them, so that on two cores the conversion costs hardly any time.
// The record must stay, and keep its pixel memory, for the life of this object.
class StreamConversion {
public:
    // Starts the thread when profile is an RGB or gray profile to convert from; otherwise
    // Active() is false and the calls below do nothing. No thread is started either when none
    // can be: the caller converts the record afterwards.
    StreamConversion(Image& record, std::string_view profile);
    // Stops the thread; rows not converted yet stay as they are (a decode that failed).
    ~StreamConversion();
    StreamConversion(const StreamConversion&) = delete;
    StreamConversion& operator=(const StreamConversion&) = delete;

    bool Active() const { return worker_.joinable(); }
    // The decoding thread's word that rows [0, rows) are final. Cheap enough to call for every
    // row: the thread is woken only every few rows.
    void RowsWritten(std::size_t rows);
    // Converts the rows written and not yet converted, and ends the thread. Afterwards rows
    // [0, rows of the last RowsWritten) are in sRGB.
    void Finish();

private:
    void run();
    // Takes the next rows told of and not yet taken, and converts them; false when there are
    // none.
    bool convertClaimed();

    std::shared_ptr<const ColourTransform> transform_;
    Image& record_;
    std::size_t written_ = 0; // the decoding thread's own count
    // Under guard_: the rows told of, and the rows taken for conversion.
    std::size_t published_ = 0;
    std::size_t claimed_ = 0;
    bool finishing_ = false;
    bool stopping_ = false;
    std::mutex guard_;
    std::condition_variable wake_;
    std::thread worker_;
};

} // namespace engine
