#include "ColourManagement.h"

#include "TwoParts.h"

#include <lcms2.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <functional>
#include <immintrin.h>
#include <list>
#include <mutex>
#include <new>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

namespace engine {

// What a profile's conversion needs, planned once. The RGB loop works on floats: 8-bit samples
// through three 256-entry curves to linear light, a 3x3 matrix to linear sRGB, and a table over
// [0, 1] back to 8-bit sRGB.
class ColourTransform {
public:
    // Linear sRGB is indexed in this many steps: at the steepest part of the sRGB curve one
    // step moves the 8-bit result by 0.2, so the table adds at most 0.1 to the rounding.
    static constexpr int kEncodeSteps = 16383;

    ColourTransform() = default;
    ~ColourTransform() {
        if (lcms != nullptr) {
            cmsDeleteTransform(lcms);
        }
    }
    ColourTransform(const ColourTransform&) = delete;
    ColourTransform& operator=(const ColourTransform&) = delete;

    ProfileColours colours = ProfileColours::Rgb;
    // RGB: the loop of our own when it agrees with lcms2, lcms2 (BGRA 8 in and out) otherwise.
    bool fast = false;
    alignas(32) float linear[3][256] = {}; // by sample in memory order: blue, green, red
    float matrix[9] = {};                  // row: blue, green, red out; column: the same in
    // matrix times linear: [sample][level][sum], the fourth sum unused.
    alignas(16) float contribution[3][256][4] = {};
    // The 8-bit sRGB sample of linear i / kEncodeSteps.
    std::vector<std::uint8_t> encode;
    // Gray: each level's blue, green and red.
    std::array<std::array<std::uint8_t, 3>, 256> gray{};
    // RGB without the loop of our own: BGRA 8 to BGRA 8. CMYK: CMYK 16 to BGRA 16.
    cmsHTRANSFORM lcms = nullptr;
};

namespace {

// The decoding thread wakes the stream's converter every this many rows, and the converter
// takes at most kClaimRows at a time (so that at the end the decoding thread can share them).
constexpr std::size_t kStreamBatchRows = 16;
constexpr std::size_t kClaimRows = 32;
// Images of at least this many pixels are converted on two threads.
constexpr std::size_t kThreadedPixels = std::size_t{1} << 20;
// A file-backed record is converted this much at a time and its pages given back after each.
constexpr std::size_t kChunkBytes = std::size_t{64} << 20;
// Larger profiles are ignored: real ones, even CMYK ones, are a few megabytes at most.
constexpr std::size_t kMaximumProfileBytes = std::size_t{16} << 20;

struct ProfileCloser {
    void operator()(void* profile) const { cmsCloseProfile(profile); }
};
using Profile = std::unique_ptr<void, ProfileCloser>;

struct CurveFreer {
    void operator()(cmsToneCurve* curve) const { cmsFreeToneCurve(curve); }
};
using Curve = std::unique_ptr<cmsToneCurve, CurveFreer>;

struct TransformDeleter {
    void operator()(void* transform) const { cmsDeleteTransform(transform); }
};
using Transform = std::unique_ptr<void, TransformDeleter>;

std::uint8_t toByte(float value) {
    return static_cast<std::uint8_t>(std::lround(std::clamp(value, 0.0f, 1.0f) * 255.0f));
}

// One pixel by the loop's arithmetic. The vector loop does the same operations in the same
// order (no fused multiply-add), so both give the same bytes.
inline void convertPixel(const ColourTransform& t, std::uint8_t* pixel) {
    const float in[3] = {t.linear[0][pixel[0]], t.linear[1][pixel[1]], t.linear[2][pixel[2]]};
    for (int c = 0; c < 3; ++c) {
        float v = t.matrix[c * 3] * in[0] + t.matrix[c * 3 + 1] * in[1];
        v = v + t.matrix[c * 3 + 2] * in[2];
        v = std::min(std::max(v, 0.0f), 1.0f);
        pixel[c] = t.encode[static_cast<int>(v * static_cast<float>(ColourTransform::kEncodeSteps) +
                                             0.5f)];
    }
}

void convertPlain(const ColourTransform& t, std::uint8_t* bgra, std::size_t count) {
    for (std::size_t i = 0; i < count; ++i) {
        convertPixel(t, bgra + i * 4);
    }
}

// One pixel at a time on 4-lane vectors (SSE2, which every x86-64 processor has): each
// sample's contributions to the three sums come from one table row, already multiplied. The
// sums are added in the plain loop's order, so the bytes are the same.
void convertVector(const ColourTransform& t, std::uint8_t* bgra, std::size_t count) {
    const __m128 zero = _mm_setzero_ps();
    const __m128 one = _mm_set1_ps(1.0f);
    const __m128 steps = _mm_set1_ps(static_cast<float>(ColourTransform::kEncodeSteps));
    const __m128 half = _mm_set1_ps(0.5f);
    const std::uint8_t* encode = t.encode.data();
    for (std::size_t i = 0; i < count; ++i) {
        std::uint8_t* pixel = bgra + i * 4;
        __m128 v = _mm_add_ps(_mm_load_ps(t.contribution[0][pixel[0]]),
                              _mm_load_ps(t.contribution[1][pixel[1]]));
        v = _mm_add_ps(v, _mm_load_ps(t.contribution[2][pixel[2]]));
        v = _mm_min_ps(_mm_max_ps(v, zero), one);
        const __m128i index = _mm_cvttps_epi32(_mm_add_ps(_mm_mul_ps(v, steps), half));
        pixel[0] = encode[_mm_cvtsi128_si32(index)];
        pixel[1] = encode[_mm_extract_epi16(index, 2)];
        pixel[2] = encode[_mm_extract_epi16(index, 4)];
    }
}

// Colours that show whether two conversions agree: a 17-level grid of the cube and every level
// of the gray axis, the primaries and the secondaries.
std::vector<std::uint8_t> probeColours() {
    std::vector<std::uint8_t> bgra;
    auto add = [&](int b, int g, int r) {
        bgra.insert(bgra.end(), {static_cast<std::uint8_t>(b), static_cast<std::uint8_t>(g),
                                 static_cast<std::uint8_t>(r), 255});
    };
    for (int b = 0; b <= 16; ++b) {
        for (int g = 0; g <= 16; ++g) {
            for (int r = 0; r <= 16; ++r) {
                add(std::min(255, b * 16), std::min(255, g * 16), std::min(255, r * 16));
            }
        }
    }
    for (int v = 0; v < 256; ++v) {
        for (int mask = 1; mask < 8; ++mask) {
            add(mask & 1 ? v : 0, mask & 2 ? v : 0, mask & 4 ? v : 0);
        }
    }
    return bgra;
}

int largestDifference(const std::vector<std::uint8_t>& a, const std::vector<std::uint8_t>& b) {
    int largest = 0;
    for (std::size_t i = 0; i < a.size(); ++i) {
        largest = std::max(largest, std::abs(int{a[i]} - int{b[i]}));
    }
    return largest;
}

// Plans the loop of our own for a profile of three curves and a matrix: the curves from the
// profile, the matrix measured through lcms2 in floating point (so the white point adaptation
// is lcms2's), the sRGB table from lcms2's own sRGB curve.
bool planMatrixShaper(ColourTransform& t, cmsHPROFILE source, cmsHPROFILE srgb) {
    if (!cmsIsMatrixShaper(source)) {
        return false;
    }
    const cmsTagSignature tags[3] = {cmsSigBlueTRCTag, cmsSigGreenTRCTag, cmsSigRedTRCTag};
    for (int c = 0; c < 3; ++c) {
        const auto* curve = static_cast<const cmsToneCurve*>(cmsReadTag(source, tags[c]));
        if (curve == nullptr) {
            return false;
        }
        for (int v = 0; v < 256; ++v) {
            t.linear[c][v] = cmsEvalToneCurveFloat(curve, static_cast<float>(v) / 255.0f);
        }
    }
    const cmsCIExyY d65 = {0.3127, 0.3290, 1.0};
    const cmsCIExyYTRIPLE primaries = {{0.64, 0.33, 1.0}, {0.30, 0.60, 1.0}, {0.15, 0.06, 1.0}};
    const Curve straight(cmsBuildGamma(nullptr, 1.0));
    cmsToneCurve* curves[3] = {straight.get(), straight.get(), straight.get()};
    const Profile linearSrgb(cmsCreateRGBProfile(&d65, &primaries, curves));
    if (!straight || !linearSrgb) {
        return false;
    }
    const Transform measure(cmsCreateTransform(source, TYPE_BGR_FLT, linearSrgb.get(), TYPE_BGR_FLT,
                                               INTENT_PERCEPTUAL, 0));
    if (!measure) {
        return false;
    }
    // Black, then full blue, green and red on their own: the differences are the matrix's
    // columns times the curves' rise.
    float in[4][3] = {{0, 0, 0}, {1, 0, 0}, {0, 1, 0}, {0, 0, 1}};
    float out[4][3] = {};
    cmsDoTransform(measure.get(), in, out, 4);
    for (int k = 0; k < 3; ++k) {
        const float rise = t.linear[k][255] - t.linear[k][0];
        if (!(std::fabs(rise) > 1e-6f)) {
            return false;
        }
        for (int c = 0; c < 3; ++c) {
            t.matrix[c * 3 + k] = (out[k + 1][c] - out[0][c]) / rise;
        }
    }
    // A damaged or hostile profile could give values whose sums are not numbers; the loop
    // turns only sums of bounded numbers into table indexes.
    const auto bounded = [](float value) {
        return std::isfinite(value) && std::fabs(value) < 1e3f;
    };
    if (!std::all_of(&t.linear[0][0], &t.linear[0][0] + 3 * 256, bounded) ||
        !std::all_of(t.matrix, t.matrix + 9, bounded)) {
        return false;
    }
    for (int k = 0; k < 3; ++k) {
        for (int v = 0; v < 256; ++v) {
            for (int c = 0; c < 3; ++c) {
                t.contribution[k][v][c] = t.matrix[c * 3 + k] * t.linear[k][v];
            }
        }
    }
    const auto* srgbCurve = static_cast<const cmsToneCurve*>(cmsReadTag(srgb, cmsSigRedTRCTag));
    const Curve encodeCurve(srgbCurve != nullptr ? cmsReverseToneCurve(srgbCurve) : nullptr);
    if (!encodeCurve) {
        return false;
    }
    t.encode.assign(ColourTransform::kEncodeSteps + 1, 0);
    for (int i = 0; i <= ColourTransform::kEncodeSteps; ++i) {
        t.encode[i] = toByte(cmsEvalToneCurveFloat(
            encodeCurve.get(),
            static_cast<float>(i) / static_cast<float>(ColourTransform::kEncodeSteps)));
    }
    return true;
}

// Null for an RGB profile that leaves every probe colour as it is, within a level.
// The loop of our own is planned only towards sRGB (its matrix is measured against linear sRGB
// and its table is sRGB's curve); towards a monitor's profile lcms2 converts.
std::shared_ptr<ColourTransform> planRgb(cmsHPROFILE source, cmsHPROFILE target, bool toSrgb) {
    auto t = std::make_shared<ColourTransform>();
    t->colours = ProfileColours::Rgb;
    t->lcms = cmsCreateTransform(source, TYPE_BGRA_8, target, TYPE_BGRA_8, INTENT_PERCEPTUAL,
                                 cmsFLAGS_COPY_ALPHA);
    if (t->lcms == nullptr) {
        return nullptr;
    }
    const std::vector<std::uint8_t> probes = probeColours();
    std::vector<std::uint8_t> reference = probes;
    cmsDoTransform(t->lcms, reference.data(), reference.data(),
                   static_cast<cmsUInt32Number>(reference.size() / 4));
    if (toSrgb && planMatrixShaper(*t, source, target)) {
        std::vector<std::uint8_t> ours = probes;
        convertPlain(*t, ours.data(), ours.size() / 4);
        t->fast = largestDifference(ours, reference) <= 1;
    }
    // An sRGB profile (of whatever make: its curves and colorants differ from lcms2's own in
    // the last digits) moves no colour by more than a level: not worth a pass over the pixels.
    if (largestDifference(probes, reference) <= 1) {
        return nullptr;
    }
    return t;
}

std::shared_ptr<ColourTransform> planGray(cmsHPROFILE source, cmsHPROFILE srgb) {
    const Transform lcms(
        cmsCreateTransform(source, TYPE_GRAY_8, srgb, TYPE_BGR_8, INTENT_PERCEPTUAL, 0));
    if (!lcms) {
        return nullptr;
    }
    auto t = std::make_shared<ColourTransform>();
    t->colours = ProfileColours::Gray;
    std::uint8_t levels[256];
    for (int v = 0; v < 256; ++v) {
        levels[v] = static_cast<std::uint8_t>(v);
    }
    cmsDoTransform(lcms.get(), levels, t->gray.data(), 256);
    bool same = true;
    for (int v = 0; v < 256; ++v) {
        same = same && t->gray[v] == std::array<std::uint8_t, 3>{levels[v], levels[v], levels[v]};
    }
    return same ? nullptr : t;
}

std::shared_ptr<ColourTransform> planCmyk(cmsHPROFILE source, cmsHPROFILE srgb) {
    auto t = std::make_shared<ColourTransform>();
    t->colours = ProfileColours::Cmyk;
    t->lcms = cmsCreateTransform(source, TYPE_CMYK_16, srgb, TYPE_BGRA_16, INTENT_PERCEPTUAL, 0);
    return t->lcms != nullptr ? t : nullptr;
}

// display: the monitor's profile to convert to, empty for sRGB.
std::shared_ptr<const ColourTransform> plan(std::string_view bytes, std::string_view display) {
    const Profile source(
        cmsOpenProfileFromMem(bytes.data(), static_cast<cmsUInt32Number>(bytes.size())));
    const bool toSrgb = display.empty();
    const Profile target(
        toSrgb
            ? cmsCreate_sRGBProfile()
            : cmsOpenProfileFromMem(display.data(), static_cast<cmsUInt32Number>(display.size())));
    if (!source || !target) {
        return nullptr;
    }
    switch (cmsGetColorSpace(source.get())) {
    case cmsSigRgbData:
        return planRgb(source.get(), target.get(), toSrgb);
    case cmsSigGrayData:
        return planGray(source.get(), target.get());
    case cmsSigCmykData:
        return planCmyk(source.get(), target.get());
    default:
        return nullptr;
    }
}

struct CacheEntry {
    std::size_t hash;
    std::string bytes;
    std::shared_ptr<const ColourTransform> transform; // null: nothing to do for these bytes
    std::uint64_t generation;                         // of the display profile it converts to
};

std::mutex cacheGuard;
std::list<CacheEntry> cache; // the most recently used first
// Under cacheGuard: the monitor's profile (empty: sRGB) and its generation, which every change
// moves on, so that a plan made for the profile before is never cached for the new one.
std::shared_ptr<const std::string> displayProfile = std::make_shared<const std::string>();
std::uint64_t displayGeneration = 0;

void convertBlock(const ColourTransform& t, std::uint8_t* bgra, std::size_t count) {
    if (t.colours == ProfileColours::Gray) {
        for (std::size_t i = 0; i < count; ++i) {
            std::uint8_t* pixel = bgra + i * 4;
            const auto& level = t.gray[pixel[1]];
            pixel[0] = level[0];
            pixel[1] = level[1];
            pixel[2] = level[2];
        }
    } else if (t.fast) {
        convertVector(t, bgra, count);
    } else {
        cmsDoTransform(t.lcms, bgra, bgra, static_cast<cmsUInt32Number>(count));
    }
}

// Converts count pixels, the second half on a thread of its own when there are enough of them
// (or on this one when no thread can be started).
void convertOnTwoThreads(const ColourTransform& t, std::uint8_t* bgra, std::size_t count) {
    if (count < kThreadedPixels) {
        convertBlock(t, bgra, count);
        return;
    }
    RunInTwoParts(count / 2, count, [&t, bgra](std::size_t begin, std::size_t end) {
        convertBlock(t, bgra + begin * 4, end - begin);
    });
}

std::shared_ptr<const ColourTransform> findOrPlan(std::string_view profile) {
    const std::size_t hash = std::hash<std::string_view>{}(profile);
    std::shared_ptr<const std::string> display;
    std::uint64_t generation = 0;
    {
        const std::lock_guard<std::mutex> lock(cacheGuard);
        for (auto entry = cache.begin(); entry != cache.end(); ++entry) {
            if (entry->hash == hash && entry->bytes == profile) {
                cache.splice(cache.begin(), cache, entry);
                return entry->transform;
            }
        }
        display = displayProfile;
        generation = displayGeneration;
    }
    // Planned outside the lock: another decode need not wait for it. Two decodes of one new
    // profile at once plan it twice, and the first plan stays cached.
    std::shared_ptr<const ColourTransform> planned = plan(profile, *display);
    const std::lock_guard<std::mutex> lock(cacheGuard);
    if (generation != displayGeneration) {
        return planned; // the monitor's profile changed meanwhile: used once, not kept
    }
    for (const CacheEntry& entry : cache) {
        if (entry.hash == hash && entry.bytes == profile) {
            return entry.transform;
        }
    }
    cache.push_front({hash, std::string(profile), planned, generation});
    if (cache.size() > kCachedTransforms) {
        cache.pop_back();
    }
    return planned;
}

// The bytes of a profile made here; empty when it could not be made or saved.
std::string savedProfile(const Profile& profile) {
    cmsUInt32Number size = 0;
    std::string made;
    if (profile && cmsSaveProfileToMem(profile.get(), nullptr, &size)) {
        made.resize(size);
        if (!cmsSaveProfileToMem(profile.get(), made.data(), &size)) {
            made.clear();
        }
    }
    return made;
}

// Whether lcms2 reads profile as one of the colour spaces converted here.
bool readableProfile(std::string_view profile) {
    if (profile.empty() || profile.size() > kMaximumProfileBytes) {
        return false;
    }
    const Profile opened(
        cmsOpenProfileFromMem(profile.data(), static_cast<cmsUInt32Number>(profile.size())));
    if (!opened) {
        return false;
    }
    const cmsColorSpaceSignature space = cmsGetColorSpace(opened.get());
    return space == cmsSigRgbData || space == cmsSigGrayData || space == cmsSigCmykData;
}

} // namespace

std::shared_ptr<const ColourTransform> FindColourTransform(std::string_view profile) {
    if (profile.empty() || profile.size() > kMaximumProfileBytes) {
        return nullptr;
    }
    try {
        return findOrPlan(profile);
    } catch (const std::bad_alloc&) {
        return nullptr; // the pixels are shown as stored rather than not at all
    }
}

ProfileColours TransformColours(const ColourTransform& transform) {
    return transform.colours;
}

const std::string& SrgbProfile() {
    static const std::string bytes = savedProfile(Profile(cmsCreate_sRGBProfile()));
    return bytes;
}

bool SetDisplayProfile(std::string_view profile) {
    bool usable = profile.empty();
    if (!usable && profile.size() <= kMaximumProfileBytes) {
        // Only an RGB profile a picture can be converted into describes a monitor.
        const Profile opened(
            cmsOpenProfileFromMem(profile.data(), static_cast<cmsUInt32Number>(profile.size())));
        usable = opened && cmsGetColorSpace(opened.get()) == cmsSigRgbData &&
                 cmsIsIntentSupported(opened.get(), INTENT_PERCEPTUAL, LCMS_USED_AS_OUTPUT);
    }
    auto kept = std::make_shared<const std::string>(usable ? profile : std::string_view());
    const std::lock_guard<std::mutex> lock(cacheGuard);
    if (*kept == *displayProfile) {
        return usable;
    }
    displayProfile = std::move(kept);
    ++displayGeneration;
    cache.clear();
    return usable;
}

bool HasDisplayProfile() {
    const std::lock_guard<std::mutex> lock(cacheGuard);
    return !displayProfile->empty();
}

std::uint64_t DisplayProfileGeneration() {
    const std::lock_guard<std::mutex> lock(cacheGuard);
    return displayGeneration;
}

const std::string& AdobeRgbProfile() {
    static const std::string bytes = [] {
        const cmsCIExyY d65 = {0.3127, 0.3290, 1.0};
        const cmsCIExyYTRIPLE primaries = {{0.64, 0.33, 1.0}, {0.21, 0.71, 1.0}, {0.15, 0.06, 1.0}};
        const Curve gamma(cmsBuildGamma(nullptr, 563.0 / 256.0));
        cmsToneCurve* curves[3] = {gamma.get(), gamma.get(), gamma.get()};
        return savedProfile(
            Profile(gamma ? cmsCreateRGBProfile(&d65, &primaries, curves) : nullptr));
    }();
    return bytes;
}

void ConvertBgraToSrgb(const ColourTransform& transform, std::uint8_t* bgra, std::size_t count) {
    if (transform.colours != ProfileColours::Cmyk) {
        convertBlock(transform, bgra, count);
    }
}

void ConvertBgraToSrgbPlain(const ColourTransform& transform, std::uint8_t* bgra,
                            std::size_t count) {
    if (transform.colours == ProfileColours::Rgb && transform.fast) {
        convertPlain(transform, bgra, count);
    } else {
        ConvertBgraToSrgb(transform, bgra, count);
    }
}

void ConvertCmykToBgr16(const ColourTransform& transform, const std::uint16_t* cmyk,
                        std::uint16_t* bgro, std::size_t count) {
    if (transform.colours == ProfileColours::Cmyk) {
        cmsDoTransform(transform.lcms, cmyk, bgro, static_cast<cmsUInt32Number>(count));
    }
}

bool ConvertImageForDisplay(Image& image, std::string_view profile) {
    if (!image.pixels) {
        return false;
    }
    std::shared_ptr<const ColourTransform> transform =
        profile.empty() ? nullptr : FindColourTransform(profile);
    if (transform && transform->colours == ProfileColours::Cmyk) {
        return false;
    }
    if (!transform && HasDisplayProfile() && !readableProfile(profile)) {
        // Pixels without a usable profile are sRGB's, and the monitor's is another. (A
        // readable profile without a transform is the monitor's own: nothing to do.)
        transform = FindColourTransform(SrgbProfile());
    }
    if (!transform) {
        return false;
    }
    const std::size_t bytes = image.columns * image.rows * 4;
    if (image.pixels.get_deleter().file) {
        for (std::size_t at = 0; at < bytes; at += kChunkBytes) {
            const std::size_t chunk = std::min(kChunkBytes, bytes - at);
            convertOnTwoThreads(*transform, image.pixels.get() + at, chunk / 4);
            ReleaseResidentPages(image.pixels, at, chunk);
        }
    } else {
        convertOnTwoThreads(*transform, image.pixels.get(), bytes / 4);
    }
    if (image.reduced && image.reduced->pixels) {
        convertOnTwoThreads(*transform, image.reduced->pixels.get(),
                            image.reduced->columns * image.reduced->rows);
    }
    return true;
}

bool ConvertDisplayedToSrgb(Image& image) {
    std::shared_ptr<const std::string> display;
    {
        const std::lock_guard<std::mutex> lock(cacheGuard);
        display = displayProfile;
    }
    if (display->empty() || !image.pixels) {
        return false;
    }
    const std::shared_ptr<const ColourTransform> transform = plan(*display, std::string_view());
    if (!transform || transform->colours == ProfileColours::Cmyk) {
        return false;
    }
    convertOnTwoThreads(*transform, image.pixels.get(), image.columns * image.rows);
    if (image.reduced && image.reduced->pixels) {
        convertOnTwoThreads(*transform, image.reduced->pixels.get(),
                            image.reduced->columns * image.reduced->rows);
    }
    return true;
}

StreamConversion::StreamConversion(Image& record, std::string_view profile) : record_(record) {
    transform_ = FindColourTransform(profile);
    if (!transform_ || transform_->colours == ProfileColours::Cmyk) {
        transform_.reset();
        return;
    }
    try {
        worker_ = std::thread([this] { run(); });
    } catch (const std::system_error&) {
        transform_.reset();
    }
}

StreamConversion::~StreamConversion() {
    if (worker_.joinable()) {
        {
            const std::lock_guard<std::mutex> lock(guard_);
            stopping_ = true;
        }
        wake_.notify_one();
        worker_.join();
    }
}

void StreamConversion::RowsWritten(std::size_t rows) {
    written_ = rows;
    if (worker_.joinable() && written_ - published_ >= kStreamBatchRows) {
        {
            const std::lock_guard<std::mutex> lock(guard_);
            published_ = written_;
        }
        wake_.notify_one();
    }
}

void StreamConversion::Finish() {
    if (!worker_.joinable()) {
        return;
    }
    {
        const std::lock_guard<std::mutex> lock(guard_);
        published_ = written_;
        finishing_ = true;
    }
    wake_.notify_one();
    // The rows the worker has not come to yet are shared out between it and this thread.
    while (convertClaimed()) {
    }
    worker_.join();
}

bool StreamConversion::convertClaimed() {
    std::size_t from = 0, until = 0;
    {
        const std::lock_guard<std::mutex> lock(guard_);
        if (stopping_ || claimed_ >= published_) {
            return false;
        }
        from = claimed_;
        until = std::min(published_, from + kClaimRows);
        claimed_ = until;
    }
    // Rows [from, until) are final, and no other thread touches them now.
    convertBlock(*transform_, record_.Row(from), (until - from) * record_.columns);
    return true;
}

void StreamConversion::run() {
    for (;;) {
        {
            std::unique_lock<std::mutex> lock(guard_);
            wake_.wait(lock, [&] { return stopping_ || finishing_ || claimed_ < published_; });
        }
        if (!convertClaimed()) {
            const std::lock_guard<std::mutex> lock(guard_);
            if (stopping_ || (finishing_ && claimed_ >= published_)) {
                return;
            }
        }
    }
}

} // namespace engine
