#include "BresenhamScaler.h"

#include "ScalerKernels.h"
#include "TwoParts.h"
#include "platform/DebugOutput.h"

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <new>
#include <thread>
#include <vector>

namespace {

constexpr std::uint32_t kOne = 1u << 24;
constexpr double kOneD = 16777216.0;
constexpr std::size_t kRowsAhead = 6;
// Shrinks to at least this many pixels are made on two threads.
constexpr std::uint64_t kTwoThreadPixels = 256 * 1024;

void trace(const char* format, ...) __attribute__((format(printf, 1, 2)));
void trace(const char* format, ...) {
    char buffer[1024];
    va_list arguments;
    va_start(arguments, format);
    std::vsnprintf(buffer, sizeof buffer, format, arguments);
    va_end(arguments);
    OutputDebugStringA(buffer);
}

// A horizontal plan and the arrays behind it, built by walking the source row as the design
// walks it, one destination pixel at a time.
class HorizontalPlanData {
public:
    explicit HorizontalPlanData(std::size_t pixels, std::uint32_t last) : last_(last) {
        first_.reserve(pixels);
        count_.reserve(pixels);
        offset_.reserve(pixels);
        weights_.reserve(pixels * 4);
    }

    // Source index i, clamped to the last touched pixel, so that no walk reads past the row.
    std::uint32_t Clamp(std::uint64_t i) const {
        return static_cast<std::uint32_t>(std::min<std::uint64_t>(i, last_));
    }
    void BeginPixel() { pixelTerms_ = 0; }
    // Terms come in ascending source order; a repeated (clamped) index adds to its weight.
    void Add(std::uint32_t index, std::uint32_t weight) {
        if (weight == 0) {
            return;
        }
        if (pixelTerms_ > 0 && index == first_.back() + count_.back() - 1) {
            weights_.back() += weight;
            return;
        }
        if (pixelTerms_ == 0) {
            first_.push_back(index);
            count_.push_back(0);
            offset_.push_back(static_cast<std::uint32_t>(weights_.size()));
        }
        weights_.push_back(weight);
        ++count_.back();
        ++pixelTerms_;
    }
    void EndPixel() {
        if (pixelTerms_ == 0) {
            // All weights 0 cannot happen (they add up to 2^24); keep the plan whole anyway.
            first_.push_back(0);
            count_.push_back(0);
            offset_.push_back(static_cast<std::uint32_t>(weights_.size()));
        }
    }
    // Gives every pixel the same number of terms (padding with weight 0 inside the row), so
    // that the row loop runs the same trip count for every pixel and never mispredicts. Done
    // once the plan is complete; a row shorter than the longest pixel keeps its own counts.
    void Uniform() {
        const std::uint32_t longest =
            count_.empty() ? 0 : *std::max_element(count_.begin(), count_.end());
        if (longest > 16 || longest > last_ + 1) {
            return;
        }
        std::vector<std::uint32_t> weights(first_.size() * longest, 0);
        for (std::size_t j = 0; j < first_.size(); ++j) {
            // Extra terms go after the pixel's own, or before them where the row ends.
            const std::uint32_t start =
                first_[j] + longest - 1 <= last_ ? first_[j] : last_ + 1 - longest;
            const std::uint32_t shift = first_[j] - start;
            for (std::uint32_t t = 0; t < count_[j]; ++t) {
                weights[j * longest + shift + t] = weights_[offset_[j] + t];
            }
            first_[j] = start;
            count_[j] = longest;
            offset_[j] = static_cast<std::uint32_t>(j * longest);
        }
        weights_ = std::move(weights);
    }
    // Made once the plan is uniform: the weights laid out for the vector loops.
    void Group() { scaler::GroupWeights(View(), last_, grouped_); }
    scaler::HorizontalPlan View() {
        return {first_.data(),   count_.data(), offset_.data(),
                weights_.data(), first_.size(), grouped_.pairs != 0 ? &grouped_ : nullptr};
    }

private:
    std::uint32_t last_;
    std::size_t pixelTerms_ = 0;
    std::vector<std::uint32_t> first_, count_, offset_, weights_;
    scaler::GroupedWeights grouped_;
};

// Scale_X_Shrink: x_scale < 1.
void planShrink(HorizontalPlanData& plan, std::uint32_t dest_width, double x_offset,
                double x_scale) {
    const auto x_step = static_cast<std::uint32_t>(x_scale * kOneD);
    auto c = static_cast<std::uint32_t>((1.0 - x_offset) * kOneD * x_scale);
    std::uint64_t q = 0;
    std::uint64_t p = c != 0 ? 1 : 0;
    for (std::uint32_t j = 0; j < dest_width; ++j) {
        plan.BeginPixel();
        plan.Add(plan.Clamp(q), c);
        std::uint32_t d = kOne - c;
        while (d >= x_step) {
            plan.Add(plan.Clamp(p), x_step);
            d -= x_step;
            ++p;
        }
        plan.Add(plan.Clamp(p), d);
        plan.EndPixel();
        c = x_step - d;
        q = p;
        ++p;
    }
}

// Scale_X_Enlarge: x_scale > 1.
void planEnlarge(HorizontalPlanData& plan, std::uint32_t dest_width, std::uint32_t touched,
                 double x_offset, double x_scale) {
    const auto x_step = static_cast<std::uint32_t>(x_scale * kOneD);
    auto d = static_cast<std::uint32_t>(x_offset * x_scale * kOneD);
    std::uint32_t j = 0;
    for (std::uint32_t p = 0; p + 1 < touched && j < dest_width; ++p) {
        std::uint32_t n = x_step - d;
        while (n >= kOne && j < dest_width) {
            plan.BeginPixel();
            plan.Add(p, kOne);
            plan.EndPixel();
            ++j;
            n -= kOne;
        }
        if (n >= kOne) {
            break; // the row is full
        }
        if (n != 0) {
            if (j < dest_width) {
                plan.BeginPixel();
                plan.Add(p, n);
                plan.Add(p + 1, kOne - n);
                plan.EndPixel();
                ++j;
            }
            d = kOne - n;
        } else {
            d = 0;
        }
    }
    for (; j < dest_width; ++j) {
        plan.BeginPixel();
        plan.Add(touched - 1, kOne);
        plan.EndPixel();
    }
}

// Scale_X_Copy: x_scale = 1 with a fractional offset.
void planCopy(HorizontalPlanData& plan, std::uint32_t dest_width, double x_offset) {
    const auto first = static_cast<std::uint32_t>((1.0 - x_offset) * kOneD);
    const auto second = static_cast<std::uint32_t>(x_offset * kOneD);
    for (std::uint32_t j = 0; j < dest_width; ++j) {
        plan.BeginPixel();
        plan.Add(plan.Clamp(j), first);
        plan.Add(plan.Clamp(j + 1u), second);
        plan.EndPixel();
    }
}

} // namespace

// What one call needs besides the record: the horizontal pass, made once.
struct ScalerPass {
    std::size_t base_x = 0;  // first touched column
    std::size_t width = 0;   // touched columns from base_x on
    double fraction_x = 0;   // x_offset - base_x
    bool horizontal = false; // false: rows are taken as they are (dest_width pixels from base_x)
    HorizontalPlanData* plan = nullptr;
    std::uint32_t dest_width = 0;

    // Destination row from a row of touched columns (starting at base_x).
    void Run(const std::uint8_t* in, std::uint8_t* out) const {
        if (horizontal) {
            scaler::ApplyHorizontalPlan(plan->View(), in, out);
        } else {
            std::memcpy(out, in, static_cast<std::size_t>(dest_width) * 4);
        }
    }
};

bool Bresenham2DScaler::initialize(const engine::Image* image, double a_x_offset, double a_y_offset,
                                   double a_source_width, double a_source_height, int a_dest_width,
                                   int a_dest_height, engine::ExceptionInfo* a_exception) {
    trace("entered Bresenham2DScaler::initialize()\n");
    const auto columns = static_cast<double>(image->columns);
    const auto rows = static_cast<double>(image->rows);
    const double x_end = a_source_width + a_x_offset;
    if (x_end > columns && x_end <= columns + x_end * DBL_EPSILON) {
        a_x_offset = columns - a_source_width;
    }
    const double y_end = a_source_height + a_y_offset;
    if (y_end > rows && y_end <= rows + y_end * DBL_EPSILON) {
        a_y_offset = rows - a_source_height;
    }
    const bool width_ok = a_source_width > 0;
    const bool height_ok = a_source_height > 0;
    const bool dest_width_ok = a_dest_width > 0;
    const bool dest_height_ok = a_dest_height > 0;
    const bool x_ok = a_x_offset >= 0;
    const bool y_ok = a_y_offset >= 0;
    const double x_sum = a_source_width + a_x_offset;
    const double y_sum = a_source_height + a_y_offset;
    const bool x_fits = x_sum <= columns + x_sum * DBL_EPSILON;
    const bool y_fits = y_sum <= rows + y_sum * DBL_EPSILON;
    // A step of less than one 2^24th would never advance the walk: no such shrink is made.
    const bool steps_ok = width_ok && height_ok &&
                          static_cast<double>(a_dest_width) / a_source_width * kOneD >= 1 &&
                          static_cast<double>(a_dest_height) / a_source_height * kOneD >= 1;
    if (width_ok && height_ok && dest_width_ok && dest_height_ok && x_ok && y_ok && x_fits &&
        y_fits && steps_ok) {
        source_image = image;
        x_offset = a_x_offset;
        y_offset = a_y_offset;
        source_width = a_source_width;
        source_height = a_source_height;
        dest_width = static_cast<std::uint32_t>(a_dest_width);
        dest_height = static_cast<std::uint32_t>(a_dest_height);
        exception = a_exception;
        // The snap above can leave x_offset + source_width a rounding step past the image:
        // never count a column or row that is not there.
        touched_columns = static_cast<std::int32_t>(std::min(std::ceil(x_sum), columns));
        touched_rows = static_cast<std::int32_t>(std::min(std::ceil(y_sum), rows));
        x_scale = static_cast<double>(dest_width) / source_width;
        y_scale = static_cast<double>(dest_height) / source_height;
        return true;
    }
    trace("Bresenham2DScaler::initialize() - invalid input values\n");
    trace("source_width = %f, source_width <= 0L = %i\n", a_source_width, !width_ok);
    trace("source_height = %f, source_height <= 0L = %i\n", a_source_height, !height_ok);
    trace("dest_width = %i, dest_width <= 0 = %i\n", a_dest_width, !dest_width_ok);
    trace("dest_height = %i, dest_height <= 0 = %i\n", a_dest_height, !dest_height_ok);
    trace("x_offset = %f, x_offset < 0L = %i\n", a_x_offset, !x_ok);
    trace("y_offset = %f, y_offset < 0L = %i\n", a_y_offset, !y_ok);
    trace("source_image->columns = %i\n", static_cast<int>(image->columns));
    trace("source_image->rows = %i\n", static_cast<int>(image->rows));
    trace("source_width + x_offset > source_image->columns + (source_width + x_offset)*DBL_EPSILON "
          "= %i\n",
          !x_fits);
    trace("source_width + x_offset = %20.18f\nsource_image->columns + (source_width + "
          "x_offset)*DBL_EPSILON = %20.18f\n",
          x_sum, columns + x_sum * DBL_EPSILON);
    trace("source_height + y_offset > source_image->rows + (source_height + y_offset)*DBL_EPSILON "
          "= %i\n",
          !y_fits);
    trace("source_height + y_offset = %20.18f\nsource_image->rows + (source_height + "
          "y_offset)*DBL_EPSILON = %20.18f\n",
          y_sum, rows + y_sum * DBL_EPSILON);
    return false;
}

engine::Image* Bresenham2DScaler::execute() {
    trace("entered Bresenham2DScaler::execute()\n");
    if (x_offset == 0 && y_offset == 0 && source_image->columns == dest_width &&
        source_image->rows == dest_height && source_width == static_cast<double>(dest_width) &&
        source_height == static_cast<double>(dest_height)) {
        dest_image = engine::CloneImage(source_image, 0, 0, false, exception);
        return dest_image;
    }
    dest_image = engine::CloneImage(source_image, dest_width, dest_height, false, exception);
    if (dest_image == nullptr) {
        trace("Bresenham2DScaler::execute() - problem cloning image\n");
        return nullptr;
    }
    dest_image->storage_class = engine::DirectClass;

    ScalerPass a_pass;
    ScalerPass& pass = a_pass;
    pass.dest_width = dest_width;
    pass.base_x = static_cast<std::size_t>(std::floor(x_offset));
    pass.fraction_x = x_offset - static_cast<double>(pass.base_x);
    pass.width = static_cast<std::size_t>(touched_columns) - pass.base_x;
    bool done = false;
    try {
        HorizontalPlanData plan(dest_width, static_cast<std::uint32_t>(pass.width - 1));
        pass.plan = &plan;
        pass.horizontal = true;
        if (x_scale > 1) {
            planEnlarge(plan, dest_width, static_cast<std::uint32_t>(pass.width), pass.fraction_x,
                        x_scale);
        } else if (x_scale < 1) {
            planShrink(plan, dest_width, pass.fraction_x, x_scale);
        } else if (pass.fraction_x != 0) {
            planCopy(plan, dest_width, pass.fraction_x);
        } else {
            pass.horizontal = false;
        }
        plan.Uniform();
        plan.Group();
        this->pass = &pass;
        if (static_cast<double>(dest_height) == source_height) {
            done = Scale_Y_Copy();
        } else if (static_cast<double>(dest_height) > source_height) {
            done = Scale_Y_Enlarge();
        } else {
            done = Scale_Y_Shrink();
        }
    } catch (const std::bad_alloc&) {
        engine::ThrowException(exception, engine::ResourceLimitWarning, "Unable to scale image",
                               "Memory allocation failed");
    }
    this->pass = nullptr;
    if (!done) {
        // A half-made image would show memory that was never written: give none.
        engine::DestroyImage(dest_image);
        dest_image = nullptr;
    }
    return dest_image;
}

bool Bresenham2DScaler::Scale_Y_Shrink() {
    const ScalerPass& pass = *this->pass;
    const std::size_t samples = pass.width * 4;
    const auto y_step = static_cast<std::uint32_t>(y_scale * kOneD);
    const std::size_t last_row = static_cast<std::size_t>(touched_rows) - 1;
    auto row = [&](std::size_t y) {
        return source_image->Row(std::min(y, last_row)) + pass.base_x * 4;
    };
    // Rows fetched ahead: those of the next destination row, up to a few. Shrinking more, each
    // destination row already reads many rows at once, and fetching as many again only evicts
    // them from the cache.
    const std::size_t span =
        std::min<std::size_t>(static_cast<std::size_t>(std::ceil(1 / y_scale)) + 1, kRowsAhead);
    // Destination rows [begin, end): each is made from its own source rows alone.
    auto shrinkRows = [&](std::size_t begin, std::size_t end, engine::ExceptionInfo* failure) {
        std::vector<std::uint8_t> intermediate;
        std::vector<const std::uint8_t*> full_rows;
        try {
            if (pass.horizontal) {
                intermediate.resize(samples);
            }
            full_rows.reserve(kOne / std::max<std::uint32_t>(y_step, 1) + 2);
        } catch (const std::bad_alloc&) {
            engine::ThrowException(failure, engine::ResourceLimitWarning, "Unable to scale image",
                                   "Memory allocation failed");
            return false;
        }
        for (std::size_t y = begin; y < end; ++y) {
            const double s = static_cast<double>(y) / y_scale + y_offset;
            const double top = std::floor(s);
            std::size_t e = static_cast<std::size_t>(std::ceil(s));
            const std::size_t p = e - 1; // only read when first is not 0, and then e >= 1
            const double partial = (1.0 - (s - top)) * y_scale;
            const std::uint32_t first =
                partial == y_scale ? 0 : static_cast<std::uint32_t>(partial * kOneD);
            // The whole rows of this destination row are summed (the accumulator of the
            // design) and combined with the two partial rows in one pass over the columns.
            std::uint32_t r = kOne - first;
            full_rows.clear();
            while (r >= y_step) {
                full_rows.push_back(row(e));
                r -= y_step;
                ++e;
            }
            if (e > last_row) {
                e = last_row;
            }
            const bool full = !full_rows.empty();
            if (!full && (first == 0 || r == 0)) {
                engine::ThrowException(failure, engine::ResourceLimitError, "Unable to scale image",
                                       "Reached a condition that should be impossible.\nThe "
                                       "problem was in: Scale_Y_Shrink()");
                return false;
            }
            std::uint8_t* out = pass.horizontal ? intermediate.data() : dest_image->Row(y);
            const std::size_t count = pass.horizontal ? samples : std::size_t{dest_width} * 4;
            // The next destination row starts at row e; it reads up to `span` rows after it.
            const std::size_t ahead = std::min(span, last_row - e);
            scaler::CombineRows(
                out, first, first != 0 ? row(p) : row(e), y_step, full_rows.data(),
                full_rows.size(), r, row(e), count,
                {ahead != 0 ? row(e + 1) : nullptr, ahead, source_image->columns * 4});
            if (pass.horizontal) {
                pass.Run(intermediate.data(), dest_image->Row(y));
            }
        }
        return true;
    };
    // A display's worth of rows takes milliseconds: the lower half goes to a second core, which
    // is idle when a new image or a resized window is drawn.
    std::uint32_t split = dest_height;
    if (std::uint64_t{dest_width} * dest_height >= kTwoThreadPixels &&
        std::thread::hardware_concurrency() > 1) {
        split = dest_height / 2;
    }
    engine::ExceptionInfo second_failure;
    bool done = true, second_done = true;
    engine::RunInTwoParts(split, dest_height, [&](std::size_t begin, std::size_t end) {
        if (begin == 0) {
            done = shrinkRows(begin, end, exception);
        } else {
            second_done = shrinkRows(begin, end, &second_failure);
        }
    });
    if (done && !second_done && exception != nullptr) {
        *exception = std::move(second_failure);
    }
    return done && second_done;
}

bool Bresenham2DScaler::Scale_Y_Enlarge() {
    const ScalerPass& pass = *this->pass;
    const std::size_t row_bytes = std::size_t{dest_width} * 4;
    const std::size_t base_y = static_cast<std::size_t>(std::floor(y_offset));
    const double fraction_y = y_offset - static_cast<double>(base_y);
    std::vector<std::uint8_t> buffers;
    try {
        if (pass.horizontal) {
            buffers.resize(row_bytes * 2);
        }
    } catch (const std::bad_alloc&) {
        return false;
    }
    // Horizontally resampled rows; without horizontal resampling, the source rows themselves.
    const std::uint8_t* current = nullptr;
    const std::uint8_t* next = nullptr;
    std::uint8_t* current_buffer = buffers.data();
    std::uint8_t* next_buffer = buffers.data() + row_bytes;
    auto resample = [&](std::size_t source_row, std::uint8_t* buffer) -> const std::uint8_t* {
        const std::uint8_t* in = source_image->Row(source_row) + pass.base_x * 4;
        if (!pass.horizontal) {
            return in;
        }
        pass.Run(in, buffer);
        return buffer;
    };
    const auto y_step = static_cast<std::uint32_t>(y_scale * kOneD);
    std::uint32_t row = 0;
    current = resample(base_y, current_buffer);
    std::uint32_t n = y_step - static_cast<std::uint32_t>(fraction_y * y_scale * kOneD);
    while (n >= kOne) {
        n -= kOne;
        if (row < dest_height) {
            std::memcpy(dest_image->Row(row++), current, row_bytes);
        }
    }
    for (std::size_t i = base_y + 1;
         i < static_cast<std::size_t>(touched_rows) && row < dest_height; ++i) {
        next = resample(i, next_buffer);
        if (n != 0) {
            scaler::Blend(dest_image->Row(row++), kOne - n, next, n, current, row_bytes);
        }
        n = n != 0 ? y_step - (kOne - n) : y_step;
        while (n >= kOne) {
            if (row < dest_height) {
                std::memcpy(dest_image->Row(row++), next, row_bytes);
            }
            n -= kOne;
        }
        std::swap(current, next);
        std::swap(current_buffer, next_buffer);
    }
    for (; row < dest_height; ++row) {
        std::memcpy(dest_image->Row(row), current, row_bytes);
    }
    return true;
}

bool Bresenham2DScaler::Scale_Y_Copy() {
    const ScalerPass& pass = *this->pass;
    const std::size_t base_y = static_cast<std::size_t>(std::floor(y_offset));
    const double fraction_y = y_offset - static_cast<double>(base_y);
    const auto f = static_cast<std::uint32_t>(fraction_y * kOneD);
    const std::size_t samples = pass.width * 4;
    const std::size_t last_row = static_cast<std::size_t>(touched_rows) - 1;
    std::vector<std::uint8_t> intermediate;
    try {
        if (f != 0) {
            intermediate.resize(samples);
        }
    } catch (const std::bad_alloc&) {
        return false;
    }
    for (std::uint32_t i = 0; i < dest_height; ++i) {
        const std::uint8_t* upper = source_image->Row(base_y + i) + pass.base_x * 4;
        if (f == 0) {
            pass.Run(upper, dest_image->Row(i));
            continue;
        }
        const std::uint8_t* lower =
            source_image->Row(std::min(base_y + i + 1, last_row)) + pass.base_x * 4;
        scaler::Blend(intermediate.data(), kOne - f, upper, f, lower, samples);
        pass.Run(intermediate.data(), dest_image->Row(i));
    }
    return true;
}

extern "C" engine::Image* _ScaleImage_Bresenham_Fractional(const engine::Image* source_image,
                                                           double x_offset, double y_offset,
                                                           double s_width, double s_height,
                                                           int d_width, int d_height,
                                                           engine::ExceptionInfo* exception) {
    trace("source_image = %lx\nx_offset = %16.16e\ny_offset = %16.16e\ns_width = %16.16e\n"
          "s_height = %16.16e\nd_width = %i\nd_height = %i\nexception = %lx\n",
          reinterpret_cast<unsigned long>(source_image), x_offset, y_offset, s_width, s_height,
          d_width, d_height, reinterpret_cast<unsigned long>(exception));
    if (source_image == nullptr || source_image->signature != engine::kImageSignature ||
        (source_image->columns * source_image->rows != 0 && !source_image->pixels)) {
        trace("Input image is invalid\n");
        return nullptr;
    }
    Bresenham2DScaler scaler;
    if (!scaler.initialize(source_image, x_offset, y_offset, s_width, s_height, d_width, d_height,
                           exception)) {
        trace("error initilizing ScaleImage_Bresenham_Fractional\n");
        return nullptr;
    }
    return scaler.execute();
}
