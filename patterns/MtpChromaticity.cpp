#include "MtpChromaticity.h"

#include "MtCore.h"
#include "MtpChromaticityLocus.h"
#include "MtpFrame.h"
#include "QiOutput.h"
#include "QiRaster.h"
#include "QiThreadPool.h"
#include "TRgbSpace.h"

#include <libalglib/interpolation.h>

#include <algorithm>
#include <cmath>
#include <memory>
#include <mutex>
#include <vector>

namespace {

char const* const kStyles[] = {"shaded", "constrained", "full", nullptr};
enum Style { Shaded = 0, Constrained = 1, Full = 2 };
char const* const kSpaces[] = {"Rec709", "Rec601", nullptr};
QiOptEnum po_Style("Style", "The style to draw the gamut in", Shaded, kStyles, mtp::at(0, 0));
QiOptEnum po_RgbSpace("RgbSpace", "The RGB colorspace to render the diagram in", 0, kSpaces,
                      mtp::at(300, 0));
QiOption* myOptions[] = {&po_Style, &po_RgbSpace, nullptr};

// x of the locus as a function of y: the left branch, and the right branch with the purple line.
// Built once per process, read-only afterwards.
alglib::spline1dinterpolant l31s, r31s;
bool isInited = false;
std::once_flag initOnce;

// A linear spline through (y, x) of every row. The spline sorts the rows by y and needs distinct
// abscissae; where two rows share a y (the long-wavelength end of the locus is flat to within
// 4e-7), the first row in table order stands.
void buildSpline(LocusPoint const* rows, int n, alglib::spline1dinterpolant& spline) {
    std::vector<double> ys, xs;
    for (int i = 0; i < n; ++i) {
        bool seen = false;
        for (double y : ys)
            seen = seen || y == rows[i].y;
        if (seen) continue;
        ys.push_back(rows[i].y);
        xs.push_back(rows[i].x);
    }
    alglib::real_1d_array ay, ax;
    ay.setcontent(static_cast<alglib::ae_int_t>(ys.size()), ys.data());
    ax.setcontent(static_cast<alglib::ae_int_t>(xs.size()), xs.data());
    alglib::spline1dbuildlinear(ay, ax, static_cast<alglib::ae_int_t>(ys.size()), spline);
}

void buildSplines() {
    try {
        buildSpline(l31, l31_n, l31s);
        buildSpline(r31, r31_n, r31s);
        isInited = true;
    } catch (alglib::ap_error const& e) {
        gOutput->trace(QiOutput::Error, "%s: %s\n", __func__, e.msg.c_str());
    }
}

// Truncation toward zero into int; NaN gives 0 and values beyond int saturate, so a spline
// extrapolated far off the locus cannot overflow the column arithmetic.
int truncToInt(double v) {
    if (std::isnan(v)) return 0;
    if (v >= 2147483647.0) return INT32_MAX;
    if (v <= -2147483648.0) return INT32_MIN;
    return static_cast<int>(v);
}

unsigned code(int c) {
    return c < 0 ? 0u : static_cast<unsigned>(c);
}

// The locus span of every row: inside the locus between its left and right edge, from the
// splines. An empty span skips the row y = 0, where the left edge lies right of the right one.
void locusSpans(int W, int H, std::vector<int>& left, std::vector<int>& right) {
    left.assign(static_cast<size_t>(std::max(H, 0)), 0);
    right.assign(left.size(), 0);
    for (int r = 0; isInited && r < H; ++r) {
        const double yc = static_cast<double>(r) / H;
        const int xl = truncToInt(W * alglib::spline1dcalc(l31s, yc));
        if (xl <= 0) continue;
        const int xr = truncToInt(alglib::spline1dcalc(r31s, yc) * W);
        if (xr >= W || xl >= W || xr < 1 || xl >= xr) continue;
        left[static_cast<size_t>(r)] = xl;
        right[static_cast<size_t>(r)] = xr;
    }
}

// The chart of the last render (on a raster with direct stores). Its pixels depend on nothing but
// the raster's width, height and depth, the style and the space: a render that repeats all five
// takes them from here, and only the background and the title are drawn again. Renders run on
// the render thread; the lock keeps the cache sound all the same.
struct ChartCache {
    bool valid = false;
    int width = 0, height = 0, bits = 0;
    unsigned style = 0, space = 0;
    std::vector<int> left, right; // the locus span of each row
    std::vector<size_t> offset;   // where each row's span starts in `pixels`
    std::vector<uint64_t> pixels;
};
std::mutex sChartMx;
ChartCache sChart;

// One table of codes per depth, built on first use and kept.
const FixedCodeTable& codeTable(int bits) {
    static std::mutex mx;
    static std::unique_ptr<FixedCodeTable> tables[17];
    const int b = std::min(std::max(bits, 0), 16);
    std::lock_guard<std::mutex> lock(mx);
    if (!tables[b]) tables[b] = std::make_unique<FixedCodeTable>(b);
    return *tables[b];
}

// A chart of another size is of no use once the frames have shrunk: its
// memory goes back rather than waiting for the next chart.
void dropChartOfAnotherSize(int width, int height) {
    std::lock_guard<std::mutex> lock(sChartMx);
    if (sChart.width != width || sChart.height != height) sChart = ChartCache();
}

} // namespace

MtpChromaticity::MtpChromaticity() {
    options = myOptions;
    revision = "$Revision: 1.11 $";
}

MtpChromaticity::~MtpChromaticity() {}

char const* MtpChromaticity::getName() {
    return "Chromaticity";
}

bool MtpChromaticity::initialize(MtCore*) {
    std::call_once(initOnce, [] {
        buildSplines();
        QiRaster::addShrinkListener(dropChartOfAnotherSize);
    });
    return true;
}

size_t MtpChromaticity::keptChartPixels() {
    std::lock_guard<std::mutex> lock(sChartMx);
    return sChart.pixels.capacity();
}

bool MtpChromaticity::render(MtCore* core, QiRaster* raster, QiArgRetVal const& args) {
    unsigned spaceIndex = po_RgbSpace.defaultIndex;
    unsigned style = po_Style.defaultIndex;
    po_RgbSpace.getOption(args, spaceIndex);
    po_Style.getOption(args, style);
    TRgbSpace<Fixed> const& space = spaceIndex == 1 ? FRec601 : FRec709;

    raster->setFrames(1);
    raster->coding = QiImage::RGB;
    const uint64_t black = mtp::grey(raster, static_cast<unsigned>(raster->getBlackLevel()));

    // x runs W pixels per unit rightward from x0, y H pixels per unit upward from yBase, so the
    // chart keeps the raster's aspect ratio. Colours are linear: no transfer function.
    const int W = raster->width, H = raster->height;
    const int x0 = W / 5, yBase = H - H / 10;
    const int bits = raster->bits;
    const Fixed one(1.0);
    const Fixed darkGrey = Fixed::fromRaw(6553); // 0.1

    // The locus spans (computed here, on this thread) and, on a raster with direct stores, the
    // chart of the last render when it is this one.
    const bool direct = raster->directStores();
    std::unique_lock<std::mutex> cacheLock(sChartMx, std::defer_lock);
    std::vector<int> ownLeft, ownRight;
    bool cached = false;
    if (direct) {
        cacheLock.lock();
        cached = sChart.valid && sChart.width == W && sChart.height == H && sChart.bits == bits &&
                 sChart.style == style && sChart.space == spaceIndex;
        if (!cached) {
            sChart.valid = false;
            locusSpans(W, H, sChart.left, sChart.right);
            sChart.offset.assign(sChart.left.size(), 0);
            size_t total = 0;
            for (size_t r = 0; r < sChart.left.size(); ++r) {
                sChart.offset[r] = total;
                total += static_cast<size_t>(std::max(sChart.right[r] - sChart.left[r], 0));
            }
            // Only the chart of this size is kept: one of a larger raster is
            // given back, not kept as spare capacity.
            if (sChart.pixels.capacity() > total) std::vector<uint64_t>().swap(sChart.pixels);
            sChart.pixels.resize(total);
        }
    } else {
        locusSpans(W, H, ownLeft, ownRight);
    }
    const std::vector<int>& left = direct ? sChart.left : ownLeft;
    const std::vector<int>& right = direct ? sChart.right : ownRight;
    // The codes of toInt looked up, but with KB_SCALAR.
    const FixedCodeTable* codes = QiThreadPool::scalarOnly() ? nullptr : &codeTable(bits);
    // The chromaticity x of every column, the same on every row.
    std::vector<Fixed> columnX(static_cast<size_t>(std::max(W, 0)));
    for (int i = 0; i < W; ++i)
        columnX[static_cast<size_t>(i)] = Fixed(static_cast<double>(i) / W);

    // Rows r0 .. r1 - 1; put(x, y, colour) stores a pixel, and before(r) runs before row r is
    // drawn. A row is taken in two passes, first every pixel's linear RGB and its divisor, then
    // the divisions: short loops whose pixels the processor overlaps, where one long loop waited
    // on each pixel's divisions in turn.
    auto drawRows = [&](int64_t r0, int64_t r1, auto&& put, auto&& before, uint64_t* keep) {
        std::vector<Fixed> reds(columnX.size()), greens(columnX.size()), blues(columnX.size()),
            divisors(columnX.size());
        std::vector<uint8_t> divide(columnX.size());
        for (int r = static_cast<int>(r0); r < r1; ++r) {
            before(r);
            const int xl = left[static_cast<size_t>(r)], xr = right[static_cast<size_t>(r)];
            if (xl >= xr) continue;
            const Fixed y(static_cast<double>(r) / H);
            // XYZ of (x, y, Y = 1) as TCie_XYZ forms it, X = (x / y) * Y and
            // Z = ((1 - x - y) / y) * Y, with the row's divisor y set up once.
            const FixedDivisor byY(y);
            // A product by one (raw 2^16) is the value itself: X * 1 = X, and Y = 1 contributes
            // the matrix's middle row as it stands.
            const bool finite = y != Fixed(0); // y = 0 has no finite XYZ: black
            const Fixed* m = space.xyzToRgb.m;
            for (int i = xl; i < xr; ++i) {
                const size_t k = static_cast<size_t>(i);
                const Fixed x = columnX[k];
                // Linear RGB, summed as TMx3::vecMult does (space.toLRGB), in registers.
                Fixed red, green, blue;
                if (finite) {
                    const Fixed X = byY.divide(x), Z = byY.divide(one - x - y);
                    red = X * m[0] + m[3] + Z * m[6];
                    green = X * m[1] + m[4] + Z * m[7];
                    blue = X * m[2] + m[5] + Z * m[8];
                }
                // The largest and smallest component pass through single precision on their
                // way to the divisor: below 2^24 (raw) they come back unchanged, and their
                // difference in double is exact.
                const Fixed top = max(max(red, green), blue), bottom = min(min(red, green), blue);
                const bool exact = top.v < (1 << 24) && top.v > -(1 << 24) &&
                                   bottom.v < (1 << 24) && bottom.v > -(1 << 24);
                const double MAX = exact ? static_cast<double>(top.v) / 65536.0
                                         : static_cast<double>(top.toFloat());
                const double MIN = exact ? static_cast<double>(bottom.v) / 65536.0
                                         : static_cast<double>(bottom.toFloat());
                // Each component is then divided by d.
                Fixed d;
                bool scale = true;
                if (MIN >= 0) {
                    // Inside the primaries' triangle: full brightness.
                    d = exact ? top : Fixed(MAX);
                } else {
                    const Fixed low = exact ? bottom : Fixed(MIN);
                    red = red - low;
                    green = green - low;
                    blue = blue - low;
                    const double spread = MAX - MIN;
                    if (style == Full) {
                        d = Fixed(spread);
                    } else if (style == Constrained) {
                        red = green = blue = darkGrey;
                        scale = false;
                    } else {
                        d = Fixed(spread * 1.33); // the largest component at 1 / 1.33
                    }
                }
                reds[k] = red;
                greens[k] = green;
                blues[k] = blue;
                divisors[k] = d;
                divide[k] = scale;
            }
            for (int i = xl; i < xr; ++i) {
                const size_t k = static_cast<size_t>(i);
                Fixed red = reds[k], green = greens[k], blue = blues[k];
                if (divide[k]) {
                    const Fixed d = divisors[k];
                    red = quickDivide(red, d);
                    green = quickDivide(green, d);
                    blue = quickDivide(blue, d);
                }
                int R, G, B;
                if (codes) {
                    R = codes->code(red);
                    G = codes->code(green);
                    B = codes->code(blue);
                } else {
                    TRgb<Fixed>(red, green, blue).toInt(bits, R, G, B);
                }
                const uint64_t colour = mtp::packRGB(raster, code(R), code(G), code(B));
                put(x0 + i, yBase - r, colour);
                if (keep)
                    keep[sChart.offset[static_cast<size_t>(r)] + static_cast<size_t>(i - xl)] =
                        colour;
            }
        }
    };
    if (direct) {
        // Each row of the chart is its own row of the raster: bands of rows on the thread pool,
        // stored as setPixel would (clipped to the raster). A band clears its raster rows to
        // black just before it draws on them; the rows below the base line are black only.
        uint64_t* pixels = raster->pixels;
        auto put = [pixels, W, H](int x, int y, uint64_t colour) {
            if (static_cast<unsigned>(x) < static_cast<unsigned>(W) &&
                static_cast<unsigned>(y) < static_cast<unsigned>(H))
                pixels[static_cast<size_t>(y) * static_cast<size_t>(W) + static_cast<size_t>(x)] =
                    colour;
        };
        // Clears the raster row of chart row r to black, but for the chart's span, which is
        // drawn or copied over right after.
        auto clearRow = [pixels, W, H, yBase, x0, black, &left, &right](int r) {
            const int y = yBase - r;
            if (y < 0 || y >= H) return;
            uint64_t* row = pixels + static_cast<size_t>(y) * static_cast<size_t>(W);
            const int xl = left[static_cast<size_t>(r)], xr = right[static_cast<size_t>(r)];
            if (xl >= xr) {
                std::fill(row, row + W, black);
                return;
            }
            const int from = std::min(std::max(x0 + xl, 0), W),
                      to = std::max(std::min(x0 + xr, W), from);
            std::fill(row, row + from, black);
            std::fill(row + to, row + W, black);
        };
        // A kept chart is copied row by row (clipped as setPixel would).
        auto copyRows = [&](int64_t r0, int64_t r1) {
            for (int r = static_cast<int>(r0); r < r1; ++r) {
                clearRow(r);
                const int y = yBase - r, xl = left[static_cast<size_t>(r)];
                const int from = std::max(x0 + xl, 0);
                const int to = std::min(x0 + right[static_cast<size_t>(r)], W);
                if (y < 0 || y >= H || from >= to) continue;
                const uint64_t* src = sChart.pixels.data() + sChart.offset[static_cast<size_t>(r)];
                std::copy(src + (from - x0 - xl), src + (to - x0 - xl),
                          pixels + static_cast<size_t>(y) * static_cast<size_t>(W) + from);
            }
        };
        raster->blt(black, 0, yBase + 1, -1, -1);
        // The chart is wider on some rows than on others: several bands per thread even it out.
        QiThreadPool::shared().forBands(
            0, H, 8,
            [&](int64_t r0, int64_t r1) {
                if (cached)
                    copyRows(r0, r1);
                else
                    drawRows(r0, r1, put, clearRow, sChart.pixels.data());
            },
            8);
        sChart.valid = true;
        sChart.width = W;
        sChart.height = H;
        sChart.bits = bits;
        sChart.style = style;
        sChart.space = spaceIndex;
    } else {
        raster->blt(black, 0, 0, -1, -1);
        drawRows(
            0, H, [raster](int x, int y, uint64_t colour) { raster->setPixel(x, y, colour); },
            [](int) {}, nullptr);
    }

    core->renderTitle(getName(), nullptr, raster);
    raster->render(0, false);
    return true;
}
