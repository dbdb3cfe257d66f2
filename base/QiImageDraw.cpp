// Drawing primitives of QiImage: fills, copies, grid bars, lines, circles, colour interpolation,
// gradients, zone plates, sine sweeps and sector stars.
//
// Every primitive stores through the virtual setPixel(int, int, uint64_t). When directStores()
// proves that call to be QiImage's own, the loops write the array instead, clipped the same way,
// so a full-frame fill costs no virtual call per pixel; large ones are then split into bands of
// rows on the shared thread pool. Through setPixel everything stays on the calling thread.
#include "QiFixed.h"
#include "QiImage.h"
#include "QiImageDrawRows.h"
#include "QiThreadPool.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <memory>
#include <type_traits>
#include <vector>

namespace {

constexpr double kPi = 3.14159265358979323846;

// The two ways of storing a pixel; both drop pixels outside the image.
struct VirtualStore {
    QiImage* image;
    void operator()(int x, int y, uint64_t colour) const { image->setPixel(x, y, colour); }
};

struct DirectStore {
    uint64_t* pixels;
    unsigned width;
    unsigned height;
    void operator()(int x, int y, uint64_t colour) const {
        if (static_cast<unsigned>(x) < width && static_cast<unsigned>(y) < height)
            pixels[static_cast<size_t>(y) * width + static_cast<size_t>(x)] = colour;
    }
};

// Stores count pixels from src at (x0 .. x0 + count - 1, y); those outside the image are dropped.
void storeRow(const VirtualStore& store, int64_t x0, int64_t y, int64_t count,
              const uint64_t* src) {
    for (int64_t i = 0; i < count; ++i)
        store(static_cast<int>(x0 + i), static_cast<int>(y), src[i]);
}
void storeRow(const DirectStore& store, int64_t x0, int64_t y, int64_t count, const uint64_t* src) {
    if (y < 0 || y >= store.height) return;
    const int64_t a = std::max<int64_t>(x0, 0), b = std::min<int64_t>(x0 + count, store.width);
    if (a < b)
        std::memcpy(store.pixels + static_cast<size_t>(y) * store.width + a, src + (a - x0),
                    static_cast<size_t>(b - a) * sizeof(uint64_t));
}

// Sets pixels x0 .. x1 - 1 of row y to colour; those outside the image are dropped.
void fillSpan(const VirtualStore& store, int64_t x0, int64_t x1, int64_t y, uint64_t colour) {
    for (int64_t x = x0; x < x1; ++x)
        store(static_cast<int>(x), static_cast<int>(y), colour);
}
void fillSpan(const DirectStore& store, int64_t x0, int64_t x1, int64_t y, uint64_t colour) {
    if (y < 0 || y >= store.height) return;
    x0 = std::max<int64_t>(x0, 0);
    x1 = std::min<int64_t>(x1, store.width);
    if (x0 < x1) {
        uint64_t* row = store.pixels + static_cast<size_t>(y) * store.width;
        std::fill(row + x0, row + x1, colour);
    }
}

using qidraw::kBandPixels;

// Runs fn(store, first, last) over [begin, end), steps of a loop whose step stores about
// `stepPixels` pixels. With direct stores the steps are split into bands on the thread pool (the
// caller promises that different steps store different pixels); through setPixel they all run on
// this thread.
template <class Fn>
void forSteps(QiImage* image, int64_t begin, int64_t end, int64_t stepPixels, Fn&& fn,
              int perThread = 1) {
    if (end <= begin) return;
    if (!image->directStores()) {
        fn(VirtualStore{image}, begin, end);
        return;
    }
    const DirectStore store{image->pixels, static_cast<unsigned>(image->width),
                            static_cast<unsigned>(image->height)};
    const int64_t grain = std::max<int64_t>(1, kBandPixels / std::max<int64_t>(stepPixels, 1));
    QiThreadPool::shared().forBands(
        begin, end, grain, [&](int64_t first, int64_t last) { fn(store, first, last); }, perThread);
}

// Runs fn with the store this image allows.
template <class Fn> void withStore(QiImage* image, Fn&& fn) {
    if (image->directStores())
        fn(DirectStore{image->pixels, static_cast<unsigned>(image->width),
                       static_cast<unsigned>(image->height)});
    else
        fn(VirtualStore{image});
}

// Fills the part of [x0, x1) x [y0, y1) that lies inside the image. The bounds are 64-bit so that
// callers' sums cannot overflow; pixels outside would be dropped by setPixel anyway.
void fillRect(QiImage* image, int64_t x0, int64_t y0, int64_t x1, int64_t y1, uint64_t colour) {
    x0 = std::max<int64_t>(x0, 0);
    y0 = std::max<int64_t>(y0, 0);
    x1 = std::min<int64_t>(x1, image->width);
    y1 = std::min<int64_t>(y1, image->height);
    if (x0 >= x1 || y0 >= y1) return;
    if (image->directStores()) {
        uint64_t* pixels = image->pixels;
        const int64_t width = image->width;
        QiThreadPool::shared().forBands(y0, y1, std::max<int64_t>(1, kBandPixels / (x1 - x0)),
                                        [=](int64_t first, int64_t last) {
                                            for (int64_t y = first; y < last; ++y) {
                                                uint64_t* row = pixels + y * width;
                                                std::fill(row + x0, row + x1, colour);
                                            }
                                        });
        return;
    }
    for (int64_t y = y0; y < y1; ++y)
        for (int64_t x = x0; x < x1; ++x)
            image->setPixel(static_cast<int>(x), static_cast<int>(y), colour);
}

// An interpolation fraction outside 0 .. 1 is held at the nearer end and NaN counts as 0, so the
// result always lies between the two colours (and no out-of-range double reaches an integer).
double clampFraction(double t) {
    if (!(t >= 0.0)) return 0.0;
    return t > 1.0 ? 1.0 : t;
}

uint64_t pack(const QiImage* image, int64_t c0, int64_t c1, int64_t c2) {
    int bits = image->bits;
    return static_cast<uint64_t>(c0) << (2 * bits) | static_cast<uint64_t>(c1) << bits |
           static_cast<uint64_t>(c2);
}

// The colour for every entry of the sine table, so that per-pixel work is one table look-up.
void sineColours(const QiImage* image, uint64_t c0, uint64_t c1, uint64_t* out) {
    const uint16_t* tab = QiImage::sineTable10();
    for (int i = 0; i < 1024; ++i)
        out[i] = image->interpolateColor(c0, c1, tab[i] / 1023.0);
}

using qidraw::zoneIndex;

// Symmetric double-step line of Wu and Rokne, walked from both ends at once in (major, minor)
// coordinates; two pixels per step at each end.
template <class Store>
void wuRokneLine(Store store, uint64_t colour, int x0, int y0, int x1, int y1) {
    const int64_t dx = std::abs(static_cast<int64_t>(x1) - x0);
    const int64_t dy = std::abs(static_cast<int64_t>(y1) - y0);
    const int sx = x1 >= x0 ? 1 : -1;
    const int sy = y1 >= y0 ? 1 : -1;

    store(x0, y0, colour);
    if (dx == 0 && dy == 0) return;
    store(x1, y1, colour);

    const bool xMajor = dx > dy;
    const int64_t d = xMajor ? dx : dy;
    const int64_t m = xMajor ? dy : dx;
    const int64_t sa = xMajor ? sx : sy; // major step
    const int64_t s = xMajor ? sy : sx;  // minor step
    int64_t a = xMajor ? x0 : y0, b = xMajor ? y0 : x0;
    int64_t a1 = xMajor ? x1 : y1, b1 = xMajor ? y1 : x1;
    auto plot = [&](int64_t major, int64_t minor) {
        if (xMajor)
            store(static_cast<int>(major), static_cast<int>(minor), colour);
        else
            store(static_cast<int>(minor), static_cast<int>(major), colour);
    };
    // One double step: the start end draws (a + 1, b + f1), (a + 2, b + f2) and the far end the
    // point reflection, with f1, f2 the minor offsets of the pattern (in minor steps).
    auto step = [&](int f1, int f2) {
        plot(a + sa, b + f1 * s);
        plot(a + 2 * sa, b + f2 * s);
        plot(a1 - sa, b1 - f1 * s);
        plot(a1 - 2 * sa, b1 - f2 * s);
        a += 2 * sa;
        a1 -= 2 * sa;
        b += f2 * s;
        b1 -= f2 * s;
    };
    // The 0 .. 3 pixels left after the double steps: two from the start end, then one from the
    // far end, with the minor offsets g1, g2 (start end) and g3 (far end).
    const int64_t rest = (d - 1) % 4;
    auto finish = [&](int g1, int g2, int g3) {
        if (rest >= 1) plot(a + sa, b + g1 * s);
        if (rest >= 2) plot(a + 2 * sa, b + g2 * s);
        if (rest >= 3) plot(a1 - sa, b1 - g3 * s);
    };

    const int64_t doubleSteps = (d - 1) / 4;
    const int64_t incr2 = 4 * m - 2 * d;
    if (incr2 < 0) { // minor slope below one half
        const int64_t c = 2 * m;
        const int64_t incr1 = 4 * m;
        int64_t D = 4 * m - d;
        for (int64_t i = 0; i < doubleSteps; ++i) {
            if (D < 0) {
                step(0, 0); // pattern 1
                D += incr1;
            } else {
                if (D < c)
                    step(0, 1); // pattern 2
                else
                    step(1, 1); // pattern 3
                D += incr2;
            }
        }
        if (D < 0)
            finish(0, 0, 0);
        else if (D < c)
            finish(0, 1, 0);
        else
            finish(1, 1, 1);
    } else { // minor slope of one half or more
        const int64_t c = 2 * (m - d);
        const int64_t incr1 = 4 * (m - d);
        int64_t D = 4 * (m - d) + d;
        for (int64_t i = 0; i < doubleSteps; ++i) {
            if (D > 0) {
                step(1, 2); // pattern 4
                D += incr1;
            } else {
                if (D < c)
                    step(0, 1); // pattern 2
                else
                    step(1, 1); // pattern 3
                D += incr2;
            }
        }
        if (D > 0)
            finish(1, 2, 1);
        else if (D < c)
            finish(0, 1, 0);
        else
            finish(1, 1, D > c ? 1 : 0);
    }
}

} // namespace

const uint16_t* QiImage::sineTable10() {
    struct Table {
        uint16_t level[1024];
        Table() {
            static const uint16_t kFirst[16] = {511, 508, 505, 502, 498, 495, 492, 489,
                                                461, 458, 455, 451, 448, 445, 442, 439};
            // Runs of eight: entry 8k + j takes the curve 511 - 511 sin(4 pi i / 1024) at
            // i = 8k + j / 2, so each run starts on the curve and then advances at half the
            // phase rate (about 3 codes a step where the curve is steepest) and the next run
            // catches up; lagging at most 3.5 phase steps keeps every entry within 22 codes of
            // the curve, and the extremes give 0 .. 1022.
            for (int i = 0; i < 1024; ++i) {
                double phase = (i & ~7) + (i & 7) / 2.0;
                double v = 511.0 - 511.0 * std::sin(4.0 * kPi * phase / 1024.0);
                level[i] = i < 16 ? kFirst[i] : static_cast<uint16_t>(std::floor(v + 0.5));
            }
        }
    };
    static const Table sSineTab10;
    return sSineTab10.level;
}

bool QiImage::blt(uint64_t colour, int x, int y, int w, int h) {
    if (w == -1) w = width - x;
    if (h == -1) h = height - y;
    if (w < 1 || h < 1) return true;
    fillRect(this, x, y, static_cast<int64_t>(x) + w, static_cast<int64_t>(y) + h, colour);
    return true;
}

bool QiImage::blt(QiImage* src, int x, int y, int sx, int sy, int sw, int sh) {
    if (!src) return false;
    if (sw == -1) sw = src->width;
    if (sh == -1) sh = src->height;
    // Clip the size against the destination, then the source (64-bit: no overflow).
    int64_t w = static_cast<int64_t>(x) + sw <= width ? sw : static_cast<int64_t>(width) - x;
    int64_t h = static_cast<int64_t>(y) + sh <= height ? sh : static_cast<int64_t>(height) - y;
    if (static_cast<int64_t>(sx) + w > src->width) w = static_cast<int64_t>(src->width) - sx;
    if (static_cast<int64_t>(sy) + h > src->height) h = static_cast<int64_t>(src->height) - sy;
    // A source origin left of or above the source has nothing there: skip that part and keep
    // destination (x + j, y + i) = source (sx + j, sy + i). The part left of or above the
    // destination is skipped too (setPixel would drop it). No read or write leaves either array.
    int64_t j0 = std::max<int64_t>({0, -static_cast<int64_t>(sx), -static_cast<int64_t>(x)});
    int64_t i0 = std::max<int64_t>({0, -static_cast<int64_t>(sy), -static_cast<int64_t>(y)});
    if (w <= j0 || h <= i0) return true;

    const uint64_t* from = src->pixels;
    const int64_t srcWidth = src->width;
    if (directStores() && src != this) {
        for (int64_t i = i0; i < h; ++i)
            std::memcpy(pixels + (y + i) * width + x + j0, from + (sy + i) * srcWidth + sx + j0,
                        static_cast<size_t>(w - j0) * sizeof(uint64_t));
        return true;
    }
    for (int64_t i = i0; i < h; ++i)
        for (int64_t j = j0; j < w; ++j)
            setPixel(static_cast<int>(x + j), static_cast<int>(y + i),
                     from[(sy + i) * srcWidth + sx + j]);
    return true;
}

bool QiImage::boxGeomToXywh(int x, int y, int w, int h, int divX, int divY, int& px, int& py,
                            int& pw, int& ph) const {
    if (divX == 0 || divY == 0) {
        px = py = pw = ph = 0;
        return false;
    }
    const int64_t W = width, H = height;
    px = static_cast<int>(W * x / divX);
    pw = static_cast<int>(W * (static_cast<int64_t>(x) + w) / divX - px);
    py = static_cast<int>(H * y / divY);
    ph = static_cast<int>(H * (static_cast<int64_t>(y) + h) / divY - py);
    return true;
}

bool QiImage::drawBar(uint64_t colour, int x, int y, int w, int h, int divX, int divY) {
    int px, py, pw, ph;
    if (!boxGeomToXywh(x, y, w, h, divX, divY, px, py, pw, ph)) return false;
    // An empty box stays empty: a computed size of -1 does not mean "to the edge" here.
    fillRect(this, px, py, static_cast<int64_t>(px) + pw, static_cast<int64_t>(py) + ph, colour);
    return true;
}

bool QiImage::drawHollowBox(uint64_t colour, int x, int y, int w, int h, int tx, int ty, int divX,
                            int divY) {
    if (divX == 0 || divY == 0) return false;
    drawBar(colour, x, y, w, ty, divX, divY);
    drawBar(colour, x, y + h - ty, w, ty, divX, divY);
    drawBar(colour, x, y + ty, tx, h - 2 * ty, divX, divY);
    drawBar(colour, x + w - tx, y + ty, tx, h - 2 * ty, divX, divY);
    return true;
}

bool QiImage::hLine(uint64_t colour, int x0, int x1, int y) {
    fillRect(this, x0, y, x1, static_cast<int64_t>(y) + 1, colour);
    return true;
}

bool QiImage::vLine(uint64_t colour, int x, int y0, int y1) {
    fillRect(this, x, y0, static_cast<int64_t>(x) + 1, y1, colour);
    return true;
}

bool QiImage::drawLine(uint64_t colour, int x0, int y0, int x1, int y1) {
    withStore(this, [&](auto store) { wuRokneLine(store, colour, x0, y0, x1, y1); });
    return true;
}

bool QiImage::drawLineBox(uint64_t colour, int x, int y, int w, int h) {
    drawLine(colour, x, y, x + w, y);
    drawLine(colour, x + w, y, x + w, y + h);
    drawLine(colour, x + w, y + h, x, y + h);
    drawLine(colour, x, y + h, x, y);
    return true;
}

bool QiImage::drawLineGrid(uint64_t colour, int x, int y, int w, int h, int nx, int ny, int xoff,
                           int yoff) {
    // nx vertical and ny horizontal lines, only when both families are asked for. Each line is
    // drawn once: drawing it again for every line of the other family changes no pixel.
    if (nx < 1 || ny < 1) return true;
    for (int i = 0; i < nx; ++i) {
        int X = x + xoff + static_cast<int>(static_cast<int64_t>(i) * w / nx);
        drawLine(colour, X, y, X, y + h);
    }
    for (int j = 0; j < ny; ++j) {
        int Y = y + yoff + static_cast<int>(static_cast<int64_t>(j) * h / ny);
        drawLine(colour, x, Y, x + w, Y);
    }
    return true;
}

bool QiImage::drawCircle(uint64_t colour, int cx, int cy, int r) {
    withStore(this, [&](auto store) {
        auto points = [&](int64_t x, int64_t y) {
            auto put = [&](int64_t px, int64_t py) {
                store(static_cast<int>(px), static_cast<int>(py), colour);
            };
            if (x == 0) {
                put(cx, cy + y);
                put(cx, cy - y);
                put(cx + y, cy);
                put(cx - y, cy);
            } else if (x == y) {
                put(cx + x, cy + y);
                put(cx - x, cy + y);
                put(cx + x, cy - y);
                put(cx - x, cy - y);
            } else if (x < y) {
                put(cx + x, cy + y);
                put(cx - x, cy + y);
                put(cx + x, cy - y);
                put(cx - x, cy - y);
                put(cx + y, cy + x);
                put(cx - y, cy + x);
                put(cx + y, cy - x);
                put(cx - y, cy - x);
            }
        };
        // Midpoint circle in 64-bit, so that no radius overflows the decision variable.
        int64_t x = 0, y = r;
        points(x, y);
        if (r < 0) return;
        int64_t d = (5 - 4 * static_cast<int64_t>(r)) / 4;
        while (x <= y) {
            ++x;
            if (d >= 0) {
                --y;
                d += 2 * (x - y) + 1;
            } else {
                d += 2 * x + 1;
            }
            points(x, y);
        }
    });
    return true;
}

uint64_t QiImage::interpolateColor(uint64_t a, uint64_t b, double t) const {
    t = clampFraction(t);
    int a0, a1, a2, b0, b1, b2;
    getRGB(a, a0, a1, a2);
    getRGB(b, b0, b1, b2);
    const int64_t mask = (int64_t(1) << bits) - 1;
    auto mix = [&](int p, int q) { return static_cast<int64_t>(p + (q - p) * t) & mask; };
    return pack(this, mix(a0, b0), mix(a1, b1), mix(a2, b2));
}

uint64_t QiImage::interpolateColor10(uint64_t a, uint64_t b, double t) const {
    uint64_t colour = interpolateColor(a, b, t);
    if (bits != 10) return colour;
    // Clear the two low bits of each component: 8-bit steps on a 10-bit image.
    return colour & ~(uint64_t(3) << 20 | uint64_t(3) << 10 | uint64_t(3));
}

uint64_t QiImage::interpolateGrey(int a, int b, double t) const {
    t = clampFraction(t);
    uint64_t v = static_cast<uint64_t>(static_cast<int64_t>(a + (static_cast<double>(b) - a) * t));
    return v << bits | v | v << (2 * bits);
}

bool QiImage::gammify(uint64_t& colour, double gamma) const {
    const int64_t M = (int64_t(1) << bits) - 1;
    int c[3];
    getRGB(colour, c[0], c[1], c[2]);
    int64_t out[3];
    for (int i = 0; i < 3; ++i) {
        double v = std::pow(c[i] / static_cast<double>(M), 1.0 / gamma) * M + 0.5;
        // A gamma of NaN leaves the component as it was; one of 0 or below would push it out of
        // range, where it is held at 0 .. M.
        if (std::isnan(v))
            out[i] = c[i];
        else
            out[i] = v <= 0.0 ? 0 : v >= static_cast<double>(M) ? M : static_cast<int64_t>(v);
    }
    colour = pack(this, out[0], out[1], out[2]);
    return true;
}

bool QiImage::renderGradient(int x, int y, int w, int h, int c0, int c1, bool byColumn,
                             double gamma) {
    if (w == -1) w = width - x;
    if (h == -1) h = height - y;
    // The colours arrive as 32-bit integers and widen with their sign.
    const uint64_t a = static_cast<uint64_t>(static_cast<int64_t>(c0));
    const uint64_t b = static_cast<uint64_t>(static_cast<int64_t>(c1));
    const int count = byColumn ? w : h;
    const int64_t origin = byColumn ? x : y;
    const int64_t limit = byColumn ? width : height;
    for (int64_t i = std::max<int64_t>(0, -origin); i < count && origin + i < limit; ++i) {
        uint64_t colour = interpolateColor(a, b, static_cast<double>(i) / count);
        gammify(colour, gamma);
        if (byColumn)
            fillRect(this, x + i, y, x + i + 1, static_cast<int64_t>(y) + h, colour);
        else
            fillRect(this, x, y + i, static_cast<int64_t>(x) + w, y + i + 1, colour);
    }
    return true;
}

bool QiImage::renderZonePlate(int, int, int, int, int cx, int cy, unsigned k, uint64_t c0,
                              uint64_t c1) {
    // The colour depends only on the sine-table index; the phase in unsigned 32-bit arithmetic
    // splits into a column part and a row part, each computed once.
    uint64_t colours[1024];
    sineColours(this, c0, c1, colours);
    // KB_SCALAR: the reference index and every pixel through the store.
    const bool scalar = QiThreadPool::scalarOnly();
    auto index = [scalar](uint32_t phase) {
        return scalar ? qidraw::zoneIndex_Scalar(phase) : zoneIndex(phase);
    };
    auto square = [](int64_t v) {
        uint32_t u = static_cast<uint32_t>(v);
        return u * u;
    };

    if (cy == height / 2) {
        const bool quadrant = cx == width / 2;
        // Mirrored columns use dx = ex + 1 about cx; otherwise every column has its own
        // dx = x - cx, so an off-centre plate stands at cx.
        const int columns = quadrant ? cx : width;
        std::vector<uint32_t> colPhase(static_cast<size_t>(std::max(columns, 0)));
        for (int i = 0; i < columns; ++i)
            colPhase[i] = (quadrant ? square(i + 1) : square(static_cast<int64_t>(i) - cx)) * k;
        // Step ey stores rows cy - ey and cy + ey only, so the steps split into bands.
        auto rows = [&](auto store, int64_t ey0, int64_t ey1) {
            if constexpr (std::is_same<decltype(store), DirectStore>::value) {
                if (!scalar) {
                    // Both rows lie inside the image (cy = height / 2, and cx = width / 2 when
                    // mirrored): the row below is drawn in place and the row above takes a copy.
                    for (int ey = static_cast<int>(ey0); ey < ey1; ++ey) {
                        const uint32_t rowPhase = square(ey + 1) * k;
                        uint64_t* below = pixels + static_cast<size_t>(cy + ey) * width;
                        uint64_t* above = pixels + static_cast<size_t>(cy - ey) * width;
                        int from = 0, to = width;
                        if (quadrant) {
                            for (int ex = 0; ex < cx; ++ex) {
                                const uint64_t colour = colours[zoneIndex(colPhase[ex] + rowPhase)];
                                below[cx + ex] = colour;
                                below[cx - ex] = colour;
                            }
                            from = 1, to = 2 * cx;
                        } else {
                            for (int col = 0; col < width; ++col)
                                below[col] = colours[zoneIndex(colPhase[col] + rowPhase)];
                        }
                        if (ey > 0 && from < to)
                            std::memcpy(above + from, below + from,
                                        static_cast<size_t>(to - from) * sizeof(uint64_t));
                    }
                    return;
                }
            }
            for (int ey = static_cast<int>(ey0); ey < ey1; ++ey) {
                const uint32_t rowPhase = square(ey + 1) * k;
                const int above = cy - ey, below = cy + ey;
                if (quadrant) {
                    for (int ex = 0; ex < cx; ++ex) {
                        uint64_t colour = colours[index(colPhase[ex] + rowPhase)];
                        store(cx + ex, below, colour);
                        store(cx - ex, below, colour);
                        store(cx + ex, above, colour);
                        store(cx - ex, above, colour);
                    }
                } else {
                    for (int col = 0; col < width; ++col) {
                        uint64_t colour = colours[index(colPhase[col] + rowPhase)];
                        store(col, below, colour);
                        store(col, above, colour);
                    }
                }
            }
        };
        forSteps(this, 0, cy, 2 * static_cast<int64_t>(width), rows);
        return true;
    }

    std::vector<uint32_t> colPhase(static_cast<size_t>(width));
    for (int col = 0; col < width; ++col)
        colPhase[col] = square(static_cast<int64_t>(col) - cx) * k;
    forSteps(this, 0, height, width, [&](auto store, int64_t row0, int64_t row1) {
        for (int row = static_cast<int>(row0); row < row1; ++row) {
            const uint32_t rowPhase = square(static_cast<int64_t>(row) - cy) * k;
            for (int col = 0; col < width; ++col)
                store(col, row, colours[index(colPhase[col] + rowPhase)]);
        }
    });
    return true;
}

bool QiImage::renderSine(unsigned x, unsigned y, unsigned w, unsigned h, bool alongX, unsigned k,
                         uint64_t c0, uint64_t c1) {
    const uint16_t* tab = sineTable10();
    const unsigned count = alongX ? w : h;
    const int64_t origin = alongX ? x : y;
    const int64_t limit = alongX ? width : height;
    // The colour of each line across the sweep, then the lines row by row.
    std::vector<uint64_t> colour;
    for (unsigned i = 0; i < count && origin + i < limit; ++i) {
        const double t = static_cast<double>(i) / count;
        // 64-bit: t^2 * 1023 * k passes the int range for large k.
        const int index = static_cast<int>(static_cast<int64_t>(t * t * 1023.0 * k + 0.5) & 1023);
        colour.push_back(interpolateColor(c0, c1, tab[index] / 1023.0));
    }
    const int64_t lines = static_cast<int64_t>(colour.size());
    if (alongX) {
        // Vertical lines: every row of the box holds the same run of colours.
        const int64_t top = std::max<int64_t>(y, 0);
        const int64_t bottom = std::min<int64_t>(static_cast<int64_t>(y) + h, height);
        forSteps(this, top, bottom, lines, [&](auto store, int64_t r0, int64_t r1) {
            for (int64_t r = r0; r < r1; ++r)
                storeRow(store, x, r, lines, colour.data());
        });
    } else {
        // Horizontal lines: row origin + i in colour i.
        const int64_t left = std::max<int64_t>(x, 0);
        const int64_t right = std::min<int64_t>(static_cast<int64_t>(x) + w, width);
        if (left >= right) return true;
        forSteps(this, 0, lines, right - left, [&](auto store, int64_t i0, int64_t i1) {
            for (int64_t i = i0; i < i1; ++i)
                fillSpan(store, left, right, origin + i, colour[static_cast<size_t>(i)]);
        });
    }
    return true;
}

namespace qidraw {

void storeRowThroughSetPixel(QiImage* image, int y, const uint64_t* row) {
    storeRow(VirtualStore{image}, 0, y, image->width, row);
}

void repeatRow(QiImage* image, int from, int first, int last) {
    const int64_t width = image->width;
    if (from < 0 || from >= image->height || width <= 0) return;
    const int64_t y0 = std::max(first, 0), y1 = std::min(last, image->height);
    const uint64_t* src = image->pixels + from * width;
    if (!image->directStores()) {
        const std::vector<uint64_t> row(src, src + width); // setPixel may change the source row
        for (int64_t y = y0; y < y1; ++y)
            if (y != from) storeRow(VirtualStore{image}, 0, y, width, row.data());
        return;
    }
    forSteps(image, y0, y1, width, [&](auto store, int64_t r0, int64_t r1) {
        for (int64_t y = r0; y < r1; ++y)
            if (y != from) storeRow(store, 0, y, width, src);
    });
}

namespace {

constexpr FxLong kHalfTurn = 180 << 16;
// Boundaries are widened by this many units of 2^-16 degree on each side: FxAtan2 lies within 7
// units of the exact angle for offsets up to kFastReach pixels.
constexpr double kMarginUnits = 64.0;
constexpr int64_t kFastReach = 8192;
constexpr unsigned kMaxFastSectors = 4096;
constexpr double kPi = 3.14159265358979323846;

// The colour depends on A = angle + 180 degrees through floor(A / period) only: a sector of
// 360 / n degrees, or for the sine a step of the table, 1/1024 turn. These are the boundaries
// between 0 and 360 degrees, both ends included (A a few units outside lands next to them).
std::vector<double> boundaries(const SectorStar& s) {
    std::vector<double> a;
    const double turn = 360.0 * 65536.0;
    const unsigned count = s.sine ? 1024u : s.n;
    for (unsigned k = 0; k <= count; ++k)
        a.push_back(turn * k / count);
    return a;
}

} // namespace

uint64_t sectorColour(const SectorStar& s, FxLong angle) {
    const FxLong a = angle + kHalfTurn;
    if (s.sine) return s.sineLut[((a / 360) >> 6) * s.n & 1023];
    // 64-bit product: a * n stays exact for every n, and an angle a few units below 0 still
    // gives a sector in range.
    int64_t sector = ((a * s.n) / 360) >> 16;
    sector %= s.nColours;
    if (sector < 0) sector += s.nColours;
    return s.colours[sector];
}

void sectorStarRow_Scalar(const SectorStar& s, int64_t y, int64_t x0, int64_t count,
                          uint64_t* out) {
    for (int64_t i = 0; i < count; ++i)
        out[i] = sectorColour(s, FxAtan2(y - s.cy, x0 + i - s.cx));
}

SectorStarFast::SectorStarFast(const SectorStar& s) {
    const double margin = kMarginUnits / 65536.0;
    for (double a : boundaries(s)) {
        const double deg = a / 65536.0 - 180.0; // the boundary as an angle about the centre
        degLow.push_back(deg - margin);
        degHigh.push_back(deg + margin);
        cotLow.push_back(1.0 / std::tan((deg - margin) * kPi / 180.0));
        cotHigh.push_back(1.0 / std::tan((deg + margin) * kPi / 180.0));
    }
}

bool sectorStarFastFits(const SectorStar& s, int64_t x0, int64_t y0, int64_t x1, int64_t y1) {
    auto within = [](int64_t v) { return v >= -kFastReach && v <= kFastReach; };
    // Without sectors there are no boundaries; with very many every pixel is near one.
    if (!s.sine && (s.n == 0 || s.n > kMaxFastSectors)) return false;
    return x0 < x1 && y0 < y1 && within(x0 - s.cx) && within(x1 - 1 - s.cx) && within(y0 - s.cy) &&
           within(y1 - 1 - s.cy);
}

void sectorStarRow_Fast(const SectorStar& s, const SectorStarFast& plan, int64_t y, int64_t x0,
                        int64_t count, uint64_t* out, SectorStarScratch& scratch) {
    const int64_t dy = y - s.cy;
    const int64_t phases = static_cast<int64_t>(plan.degLow.size()) - 1; // boundaries 0 .. phases
    // Pixels whose exact angle lies within the margin of a boundary, as ranges of i. Along a row
    // the exact angle is monotonic in dx: it falls from 180 to 0 degrees above the centre
    // (dy > 0) and rises from -180 to 0 below it, and dx = dy * cot(angle).
    auto& near = scratch.near;
    near.clear();
    if (dy == 0) {
        near.push_back({0, count - 1, -1}); // on the centre's row every angle is a boundary's
    } else {
        const double fdy = static_cast<double>(dy);
        const double inf = std::numeric_limits<double>::infinity();
        const double lo = static_cast<double>(x0 - s.cx), hi = lo + static_cast<double>(count);
        // Only boundaries about the angles the row spans can come near it: those between the
        // angles of its ends, one pixel out, widened far beyond any rounding of the two.
        const double toDeg = 180.0 / kPi, widen = 1e-3;
        const double e0 = std::atan2(fdy, lo - 1.0) * toDeg, e1 = std::atan2(fdy, hi + 1.0) * toDeg;
        const double spanLow = std::min(e0, e1) - widen, spanHigh = std::max(e0, e1) + widen;
        const size_t kFirst = static_cast<size_t>(
            std::lower_bound(plan.degHigh.begin(), plan.degHigh.end(), spanLow) -
            plan.degHigh.begin());
        const size_t kEnd =
            static_cast<size_t>(std::upper_bound(plan.degLow.begin(), plan.degLow.end(), spanHigh) -
                                plan.degLow.begin());
        // Above the centre the angle falls along the row: the boundaries from the last, so that
        // their ranges come in order of their pixels either way.
        for (size_t j = kFirst; j < kEnd; ++j) {
            const size_t k = dy > 0 ? kEnd - 1 - (j - kFirst) : j;
            const double a = plan.degLow[k], b = plan.degHigh[k];
            double from, to; // dx range of angles a .. b
            if (dy > 0) {
                if (b <= 0.0 || a >= 180.0) continue;
                from = b >= 180.0 ? -inf : fdy * plan.cotHigh[k];
                to = a <= 0.0 ? inf : fdy * plan.cotLow[k];
            } else {
                if (b <= -180.0 || a >= 0.0) continue;
                from = a <= -180.0 ? -inf : fdy * plan.cotLow[k];
                to = b >= 0.0 ? inf : fdy * plan.cotHigh[k];
            }
            // The pixels inside the range; where none is, the range still splits the row
            // between the pixels about it (an empty range: last = first - 1). Every pixel
            // outside lies beyond the margin, on the side FxAtan2 gives it too.
            if (to < lo || from > hi - 1.0) continue;
            const int64_t first = std::max<int64_t>(
                0, static_cast<int64_t>(std::ceil(std::max(from, lo - 1.0) - lo)));
            const int64_t last = std::min<int64_t>(
                count - 1, static_cast<int64_t>(std::floor(std::min(to, hi + 1.0) - lo)));
            near.push_back({first, std::max(last, first - 1), static_cast<int64_t>(k)});
        }
        // Ranges that start at the same pixel merge whatever their order.
        auto byFirst = [](const SectorStarScratch::Near& p, const SectorStarScratch::Near& q) {
            return p.first < q.first;
        };
        if (!std::is_sorted(near.begin(), near.end(), byFirst))
            std::sort(near.begin(), near.end(), byFirst);
    }

    // The pixels whose angle is taken: every near pixel, and the first pixel of a run between
    // near ranges whose phase is not known. Past the near pixels of boundaries k the angle lies
    // in the phase below the smallest k above the centre (the angle falls) and in that of the
    // largest k below it; the next boundary would have near pixels of its own before the run
    // ends. All angles of the row are taken in one batch.
    auto& xs = scratch.xs;
    auto& runs = scratch.runs;
    xs.clear();
    runs.clear();
    int64_t next = 0;   // first pixel not yet listed
    int64_t phase = -1; // phase of the pixels after the last near range, when known
    auto run = [&](int64_t from, int64_t end) {
        if (phase >= 0 && phase < phases)
            runs.push_back({from, end, phase});
        else
            xs.push_back(from); // the run shares the colour of its first pixel
    };
    for (size_t r = 0; r < near.size();) {
        const int64_t first = std::max(near[r].first, next);
        int64_t last = near[r].last, kLow = near[r].k, kHigh = near[r].k;
        for (++r; r < near.size() && near[r].first <= last + 1; ++r) {
            last = std::max(last, near[r].last);
            kLow = std::min(kLow, near[r].k);
            kHigh = std::max(kHigh, near[r].k);
        }
        if (next < first) run(next, first);
        for (int64_t i = first; i <= last; ++i)
            xs.push_back(i);
        next = std::max(next, last + 1);
        phase = kLow < 0 ? -1 : (dy > 0 ? kLow - 1 : kHigh);
    }
    if (next < count) run(next, count);
    const int n = static_cast<int>(xs.size());
    scratch.ys.assign(xs.size(), dy);
    scratch.angles.resize(xs.size());
    for (FxLong& v : xs)
        v += x0 - s.cx; // pixel index to offset from the centre
    FxAtan2Many(scratch.ys.data(), xs.data(), scratch.angles.data(), n);

    // Each listed pixel's colour holds until the next listed pixel; then the runs of a known
    // phase, in the colour of any angle inside it.
    for (int k = 0; k < n; ++k) {
        const int64_t from = xs[static_cast<size_t>(k)] - (x0 - s.cx);
        const int64_t to = k + 1 < n ? xs[static_cast<size_t>(k) + 1] - (x0 - s.cx) : count;
        std::fill(out + from, out + to, sectorColour(s, scratch.angles[static_cast<size_t>(k)]));
    }
    for (const SectorStarScratch::Run& r : runs) {
        const uint64_t colour =
            s.sine ? s.sineLut[(r.phase * s.n) & 1023]
                   : s.colours[static_cast<size_t>(r.phase % static_cast<int64_t>(s.nColours))];
        std::fill(out + r.first, out + r.end, colour);
    }
}

} // namespace qidraw

bool QiImage::renderSectorStar(unsigned x, unsigned y, unsigned w, unsigned h, unsigned cx,
                               unsigned cy, bool sine, unsigned n, unsigned nColours,
                               uint64_t* colours) {
    if (!colours || nColours == 0 || (sine && nColours < 2)) return false;
    uint64_t sineLut[1024];
    if (sine) sineColours(this, colours[0], colours[1], sineLut);
    // Only the box's part inside the image is visited (setPixel would drop the rest).
    const int64_t right = std::min<int64_t>(static_cast<int64_t>(x) + w, width);
    const int64_t bottom = std::min<int64_t>(static_cast<int64_t>(y) + h, height);
    if (x >= right || y >= bottom) return true;

    // Offsets from the centre are signed: the angle is taken about (cx, cy).
    qidraw::SectorStar star;
    star.cx = cx;
    star.cy = cy;
    star.sine = sine;
    star.n = n;
    star.nColours = nColours;
    star.colours = colours;
    star.sineLut = sineLut;
    const int64_t columns = right - x;
    const bool fast =
        !QiThreadPool::scalarOnly() && qidraw::sectorStarFastFits(star, x, y, right, bottom);
    std::unique_ptr<qidraw::SectorStarFast> plan;
    if (fast) plan.reset(new qidraw::SectorStarFast(star));

    // Rows near the centre take more angles than the others: several bands per thread.
    forSteps(
        this, y, bottom, columns,
        [&](auto store, int64_t r0, int64_t r1) {
            qidraw::SectorStarScratch scratch;
            // With direct stores the fast rows are drawn in place: the box lies inside the image.
            if constexpr (std::is_same<decltype(store), DirectStore>::value) {
                if (fast) {
                    for (int64_t r = r0; r < r1; ++r)
                        qidraw::sectorStarRow_Fast(star, *plan, r, x, columns,
                                                   pixels + static_cast<size_t>(r) * width + x,
                                                   scratch);
                    return;
                }
            }
            std::vector<uint64_t> row(static_cast<size_t>(columns));
            for (int64_t r = r0; r < r1; ++r) {
                if (fast)
                    qidraw::sectorStarRow_Fast(star, *plan, r, x, columns, row.data(), scratch);
                else
                    qidraw::sectorStarRow_Scalar(star, r, x, columns, row.data());
                storeRow(store, x, r, columns, row.data());
            }
        },
        4);
    return true;
}
