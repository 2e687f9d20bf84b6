#include "ReferenceScaler.h"

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstring>

namespace reference {
namespace {

using u32 = std::uint32_t;
using u8 = std::uint8_t;
constexpr u32 ONE = 16777216u;

struct Pixel {
    u8 c[4];
};

struct State {
    const engine::Image* image;
    double x_scale, y_scale, x_offset, y_offset, source_width, source_height;
    u32 dest_width, dest_height;
    int touched_columns, touched_rows;
    // Where the horizontal passes start reading (the first touched column) and the offset's
    // fraction; an offset below one column has base 0 and fraction = offset.
    int base_x;
    double xo;
    std::vector<Pixel> dest;
};

Pixel at(const engine::Image& image, int x, int y) {
    Pixel p;
    std::memcpy(p.c, image.Row(static_cast<std::size_t>(y)) + x * 4, 4);
    return p;
}

// The horizontal pass from row `in` (the touched columns from base_x on) into `out`.
void horizontal(const State& s, const std::vector<Pixel>& in, Pixel* out) {
    const int last = static_cast<int>(in.size()) - 1;
    auto get = [&](int i) { return in[static_cast<std::size_t>(std::min(i, last))]; };
    if (s.x_scale < 1) {
        const u32 x_step = static_cast<u32>(s.x_scale * 16777216.0);
        u32 c = static_cast<u32>((1.0 - s.xo) * 16777216.0 * s.x_scale);
        Pixel q = get(0);
        int p = c != 0 ? 1 : 0;
        for (u32 j = 0; j < s.dest_width; ++j) {
            u32 d = ONE - c;
            u32 sum[4] = {0, 0, 0, 0};
            while (d >= x_step) {
                for (int k = 0; k < 4; ++k) {
                    sum[k] += get(p).c[k];
                }
                d -= x_step;
                ++p;
            }
            for (int k = 0; k < 4; ++k) {
                out[j].c[k] =
                    static_cast<u8>((c * q.c[k] + x_step * sum[k] + d * get(p).c[k]) >> 24);
            }
            c = x_step - d;
            q = get(p);
            ++p;
        }
    } else if (s.x_scale > 1) {
        const u32 x_step = static_cast<u32>(s.x_scale * 16777216.0);
        u32 d = static_cast<u32>(s.xo * s.x_scale * 16777216.0);
        u32 j = 0;
        for (int p = 0; p <= last - 1; ++p) {
            u32 n = x_step - d;
            while (n >= ONE) {
                if (j < s.dest_width) {
                    out[j++] = in[static_cast<std::size_t>(p)];
                }
                n -= ONE;
            }
            if (n != 0) {
                if (j < s.dest_width) {
                    for (int k = 0; k < 4; ++k) {
                        out[j].c[k] =
                            static_cast<u8>((n * in[p].c[k] + (ONE - n) * in[p + 1].c[k]) >> 24);
                    }
                    ++j;
                }
                d = ONE - n;
            } else {
                d = 0;
            }
        }
        for (; j < s.dest_width; ++j) {
            out[j] = in[static_cast<std::size_t>(last)];
        }
    } else if (s.xo != 0) {
        const u32 w0 = static_cast<u32>((1.0 - s.xo) * 16777216.0);
        const u32 w1 = static_cast<u32>(s.xo * 16777216.0);
        for (u32 i = 0; i < s.dest_width; ++i) {
            for (int k = 0; k < 4; ++k) {
                out[i].c[k] = static_cast<u8>(
                    (w0 * get(static_cast<int>(i)).c[k] + w1 * get(static_cast<int>(i) + 1).c[k]) >>
                    24);
            }
        }
    } else {
        for (u32 i = 0; i < s.dest_width; ++i) {
            out[i] = in[i];
        }
    }
}

std::vector<Pixel> touchedRow(const State& s, int y) {
    std::vector<Pixel> row;
    for (int x = s.base_x; x < s.touched_columns; ++x) {
        row.push_back(at(*s.image, x, y));
    }
    return row;
}

bool yShrink(State& s) {
    const u32 y_step = static_cast<u32>(s.y_scale * 16777216.0);
    const int width = s.touched_columns - s.base_x;
    const int lastRow = s.touched_rows - 1;
    for (u32 y = 0; y < s.dest_height; ++y) {
        const double pos = y / s.y_scale + s.y_offset;
        int E = static_cast<int>(std::ceil(pos));
        const int P = E - 1;
        const double part = (1.0 - (pos - std::floor(pos))) * s.y_scale;
        const u32 first = part == s.y_scale ? 0 : static_cast<u32>(part * 16777216.0);
        u32 R = ONE - first;
        bool full = false;
        std::vector<u32> acc(static_cast<std::size_t>(width) * 4, 0);
        while (R >= y_step) {
            const std::vector<Pixel> row = touchedRow(s, std::min(E, lastRow));
            for (int x = 0; x < width; ++x) {
                for (int k = 0; k < 4; ++k) {
                    acc[x * 4 + k] += row[x].c[k];
                }
            }
            R -= y_step;
            ++E;
            full = true;
        }
        if (E >= s.touched_rows) {
            E = lastRow;
        }
        const std::vector<Pixel> rowE = touchedRow(s, E);
        const std::vector<Pixel> rowP = first != 0 ? touchedRow(s, P) : rowE;
        std::vector<Pixel> mid(static_cast<std::size_t>(width));
        for (int x = 0; x < width; ++x) {
            for (int k = 0; k < 4; ++k) {
                const u32 a = acc[x * 4 + k];
                u32 v;
                if (full && first == 0 && R == 0) {
                    v = (y_step * a) >> 24;
                } else if (full && first == 0) {
                    v = (y_step * a + R * rowE[x].c[k]) >> 24;
                } else if (!full && first != 0 && R != 0) {
                    v = (first * rowP[x].c[k] + R * rowE[x].c[k]) >> 24;
                } else if (full && R == 0) {
                    v = (first * rowP[x].c[k] + y_step * a) >> 24;
                } else if (full) {
                    v = (first * rowP[x].c[k] + y_step * a + R * rowE[x].c[k]) >> 24;
                } else {
                    return false;
                }
                mid[x].c[k] = static_cast<u8>(v);
            }
        }
        horizontal(s, mid, &s.dest[y * s.dest_width]);
    }
    return true;
}

bool yEnlarge(State& s) {
    const u32 y_step = static_cast<u32>(s.y_scale * 16777216.0);
    const int base_y = static_cast<int>(std::floor(s.y_offset));
    const double yo = s.y_offset - base_y;
    std::vector<Pixel> current(s.dest_width), next(s.dest_width);
    horizontal(s, touchedRow(s, base_y), current.data());
    u32 row = 0;
    auto put = [&](const std::vector<Pixel>& line) {
        if (row < s.dest_height) {
            std::copy(line.begin(), line.end(), s.dest.begin() + row * s.dest_width);
            ++row;
        }
    };
    u32 n = y_step - static_cast<u32>(yo * s.y_scale * 16777216.0);
    while (n >= ONE) {
        n -= ONE;
        put(current);
    }
    for (int i = base_y + 1; i <= s.touched_rows - 1; ++i) {
        horizontal(s, touchedRow(s, i), next.data());
        if (n != 0) {
            std::vector<Pixel> blended(s.dest_width);
            for (u32 x = 0; x < s.dest_width; ++x) {
                for (int k = 0; k < 4; ++k) {
                    blended[x].c[k] =
                        static_cast<u8>(((ONE - n) * next[x].c[k] + n * current[x].c[k]) >> 24);
                }
            }
            put(blended);
            n = y_step - (ONE - n);
        } else {
            n = y_step;
        }
        while (n >= ONE) {
            put(next);
            n -= ONE;
        }
        std::swap(current, next);
    }
    while (row < s.dest_height) {
        put(current);
    }
    return true;
}

bool yCopy(State& s) {
    const int base_y = static_cast<int>(std::floor(s.y_offset));
    const double yo = s.y_offset - base_y;
    const u32 f = static_cast<u32>(yo * 16777216.0);
    const int width = s.touched_columns - s.base_x;
    for (u32 i = 0; i < s.dest_height; ++i) {
        const std::vector<Pixel> upper = touchedRow(s, base_y + static_cast<int>(i));
        if (f == 0) {
            horizontal(s, upper, &s.dest[i * s.dest_width]);
            continue;
        }
        const std::vector<Pixel> lower =
            touchedRow(s, std::min(base_y + static_cast<int>(i) + 1, s.touched_rows - 1));
        std::vector<Pixel> mid(static_cast<std::size_t>(width));
        for (int x = 0; x < width; ++x) {
            for (int k = 0; k < 4; ++k) {
                mid[x].c[k] =
                    static_cast<u8>(((ONE - f) * upper[x].c[k] + f * lower[x].c[k]) >> 24);
            }
        }
        horizontal(s, mid, &s.dest[i * s.dest_width]);
    }
    return true;
}

} // namespace

Result Scale(const engine::Image& image, double x_offset, double y_offset, double source_width,
             double source_height, int dest_width, int dest_height) {
    Result result;
    const double columns = static_cast<double>(image.columns);
    const double rows = static_cast<double>(image.rows);
    double e = source_width + x_offset;
    if (e > columns && e <= columns + e * DBL_EPSILON) {
        x_offset = columns - source_width;
    }
    e = source_height + y_offset;
    if (e > rows && e <= rows + e * DBL_EPSILON) {
        y_offset = rows - source_height;
    }
    const double xs = source_width + x_offset;
    const double ys = source_height + y_offset;
    if (!(source_width > 0 && source_height > 0 && dest_width > 0 && dest_height > 0 &&
          x_offset >= 0 && y_offset >= 0 && xs <= columns + xs * DBL_EPSILON &&
          ys <= rows + ys * DBL_EPSILON && dest_width / source_width * 16777216.0 >= 1 &&
          dest_height / source_height * 16777216.0 >= 1)) {
        return result;
    }
    State s;
    s.image = &image;
    s.x_offset = x_offset;
    s.y_offset = y_offset;
    s.source_width = source_width;
    s.source_height = source_height;
    s.dest_width = static_cast<u32>(dest_width);
    s.dest_height = static_cast<u32>(dest_height);
    s.touched_columns = static_cast<int>(std::min(std::ceil(xs), columns));
    s.touched_rows = static_cast<int>(std::min(std::ceil(ys), rows));
    s.x_scale = dest_width / source_width;
    s.y_scale = dest_height / source_height;
    s.base_x = static_cast<int>(std::floor(x_offset));
    s.xo = x_offset - s.base_x;
    s.dest.resize(s.dest_width * s.dest_height);
    result.columns = s.dest_width;
    result.rows = s.dest_height;
    if (x_offset == 0 && y_offset == 0 && image.columns == s.dest_width &&
        image.rows == s.dest_height && source_width == dest_width && source_height == dest_height) {
        result.pixels.assign(image.pixels.get(),
                             image.pixels.get() + image.columns * image.rows * 4);
        result.ok = true;
        return result;
    }
    bool ok;
    if (dest_height == source_height) {
        ok = yCopy(s);
    } else if (dest_height > source_height) {
        ok = yEnlarge(s);
    } else {
        ok = yShrink(s);
    }
    if (!ok) {
        return result;
    }
    result.ok = true;
    result.pixels.resize(s.dest.size() * 4);
    std::memcpy(result.pixels.data(), s.dest.data(), result.pixels.size());
    return result;
}

} // namespace reference
