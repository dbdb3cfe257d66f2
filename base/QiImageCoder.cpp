#include "QiImageCoder.h"

#include "QiImage.h"
#include "QiImageCoderRows.h"
#include "QiThreadPool.h"

#include <algorithm>
#include <array>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

// This file is built with -ffp-contract=off: the fast row coders sum the same
// correctly rounded products as the reference ones, in the same order, and a
// fused multiply-add would round differently in one and not the other.

namespace {

// ---------------------------------------------------------------------------
// Colour matrices, rows (Y0, Cb, Y1, Cr) over (R0, G0, B0, R1, G1, B1).
//
// The full matrices take video-range RGB and give video-range YCbCr. Their
// luma rows carry (kr, kg, kb) of ITU-R BT.601, BT.709 and BT.2020 (BT.709's
// rounded from its primaries). Their chroma rows are the colour-difference
// rows Cb = (B - Y) / (2 (1 - kb)), Cr = (R - Y) / (2 (1 - kr)) scaled by
// 224/219 (chroma excursion over luma excursion) and halved, because each is
// applied to both pixels of a pair: a pair's chroma is that of its average.
//
// The compressed matrices take full-range RGB (0..255 at 8 bits) and give
// video-range YCbCr: every row of the full matrix scaled by 219/255, so that
// luma spans 219 codes and chroma 224 codes over the full input range.

// Luma row and the pair's Cb and Cr rows of one matrix.
struct MatrixRows {
    double y[3], cb[3], cr[3];
};

constexpr MatrixRows kRec601Rows = {
    {0.299, 0.587, 0.114}, {-0.086294, -0.169414, 0.255708}, {0.255708, -0.214123, -0.041584}};
constexpr MatrixRows kRec709Rows = {{0.212649, 0.715169, 0.072182},
                                    {-0.058606, -0.197101, 0.255708},
                                    {0.255708, -0.232265, -0.023443}};
constexpr MatrixRows kRec2020Rows = {{0.2627, 0.678, 0.0593},
                                     {-0.0714089818472885, -0.184298780709789, 0.255707762557078},
                                     {0.255707762557078, -0.235141547556895, -0.0205662150001827}};

// Full range in, video range out: 219 of 255 codes.
constexpr double kCompress = 219.0 / 255.0;

// The 4 x 6 matrix of `r` with every coefficient scaled by `s`.
constexpr std::array<double, 24> pairMatrix(const MatrixRows& r, double s) {
    return {r.y[0] * s,  r.y[1] * s,  r.y[2] * s,  0.0,         0.0,         0.0,
            r.cb[0] * s, r.cb[1] * s, r.cb[2] * s, r.cb[0] * s, r.cb[1] * s, r.cb[2] * s,
            0.0,         0.0,         0.0,         r.y[0] * s,  r.y[1] * s,  r.y[2] * s,
            r.cr[0] * s, r.cr[1] * s, r.cr[2] * s, r.cr[0] * s, r.cr[1] * s, r.cr[2] * s};
}

constexpr std::array<double, 24> kMatrices[6] = {
    pairMatrix(kRec601Rows, 1.0),        // Rec601
    pairMatrix(kRec601Rows, kCompress),  // Rec601 (compressed)
    pairMatrix(kRec709Rows, 1.0),        // Rec709
    pairMatrix(kRec709Rows, kCompress),  // Rec709 (compressed)
    pairMatrix(kRec2020Rows, 1.0),       // Rec2020
    pairMatrix(kRec2020Rows, kCompress), // Rec2020 (compressed)
};

// Video-range 10-bit formulas (black 64, white 940, chroma excursion 896):
// luma weights and the Cb / Cr scale factors 0.5 / (1 - kb), 0.5 / (1 - kr).
struct TenBitConsts {
    double kr, kg, kb, sb, sr;
};
const TenBitConsts kTenBit[3] = {{0.299, 0.587, 0.114, 0.564, 0.713},      // ITU-R BT.601
                                 {0.2126, 0.7152, 0.0722, 0.5389, 0.635},  // ITU-R BT.709
                                 {0.2627, 0.678, 0.0593, 0.5315, 0.6782}}; // ITU-R BT.2020

int tenBitIndex(QiImageCoder::ColorMatrix m) {
    switch (m) {
    case QiImageCoder::Rec601:
        return 0;
    case QiImageCoder::Rec709:
        return 1;
    case QiImageCoder::Rec2020:
        return 2;
    default:
        return -1;
    }
}

// The arithmetic shared by the reference and the table-driven coders, so both
// round the same values in the same order.
inline double videoPrime(unsigned v) {
    return (static_cast<double>(v) - 64.0) / 876.0;
}
inline int lumaCode10(double yp) {
    return static_cast<int>(yp * 876.0 + 64.0 + 0.5);
}
inline int chromaCode10(double diff, double scale) {
    return static_cast<int>(diff * scale * 896.0 + 512.0 + 0.5);
}
// Nearest code, halves up. Chroma (and luma below black) is negative before its
// offset is added, so truncating x + 0.5 toward zero would put it one code high.
inline int roundHalf(double x) {
    return static_cast<int>(std::floor(x + 0.5));
}
inline int clampInt(int v, int lo, int hi) {
    return v < lo ? lo : (v > hi ? hi : v);
}

// Component at the raster's bits to `outBits`.
inline unsigned toDepth(unsigned c, int bits, int outBits) {
    return bits >= outBits ? c >> (bits - outBits) : c << (outBits - bits);
}

inline uint32_t finishRGB10(uint32_t w, bool dpx, bool hostOrder) {
    if (dpx) w = w << 22 | (w << 2 & 0x3FF000u) | (w >> 18 & 0xFFCu);
    if (!hostOrder) w = __builtin_bswap32(w);
    return w;
}

int matrixIndex(QiImageCoder::ColorMatrix m) {
    return (static_cast<int>(m) < 0 || static_cast<int>(m) > 5) ? 2 : static_cast<int>(m);
}

// The compressed matrices take full-range RGB.
bool isCompressed(QiImageCoder::ColorMatrix m) {
    return (matrixIndex(m) & 1) != 0;
}

// Luma offset of the matrix path at `outBits`: the full matrices take 16 off
// their inputs and give it back, the compressed ones add video black.
int lumaOffset(QiImageCoder::ColorMatrix m, int outBits) {
    return isCompressed(m) ? 16 << (outBits - 8) : 16;
}

// Tables of correctly rounded products, indexed by a component code 0..1023.
struct StaticTables {
    // Matrix path: M[row][c] times the input for the luma row and the two
    // chroma rows.
    struct Matrix {
        double y[3][1024], cb[3][1024], cr[3][1024];
    };
    // Full matrices: inputs v - 16.
    Matrix video[3];
    // Compressed matrices: inputs v * fullRangeScale for the effective depths
    // 8, 9 and 10 (the smaller of the raster's and the output's bits).
    Matrix fullRange[3][3];
    // 10-bit path: (v - 64) / 876 and the luma weights times it.
    double prime[1024];
    double k[3][3][1024];

    // Fills `t` with the products of M's rows and input(v).
    template <class Input> static void fill(Matrix& t, const double* M, Input input) {
        for (int c = 0; c < 3; ++c)
            for (int v = 0; v < 1024; ++v) {
                const double in = input(v);
                t.y[c][v] = M[c] * in;
                t.cb[c][v] = M[6 + c] * in;
                t.cr[c][v] = M[18 + c] * in;
            }
    }

    StaticTables() {
        for (int m = 0; m < 3; ++m) {
            fill(video[m], kMatrices[2 * m].data(),
                 [](int v) { return static_cast<double>(v - 16); });
            for (int e = 8; e <= 10; ++e) {
                const double scale = fullRangeScale(e, e);
                fill(fullRange[m][e - 8], kMatrices[2 * m + 1].data(),
                     [scale](int v) { return static_cast<double>(v) * scale; });
            }
        }
        for (int v = 0; v < 1024; ++v)
            prime[v] = videoPrime(static_cast<unsigned>(v));
        for (int t = 0; t < 3; ++t) {
            const double w[3] = {kTenBit[t].kr, kTenBit[t].kg, kTenBit[t].kb};
            for (int c = 0; c < 3; ++c)
                for (int v = 0; v < 1024; ++v)
                    k[t][c][v] = w[c] * prime[v];
        }
    }
};

const StaticTables& staticTables() {
    static const StaticTables tables;
    return tables;
}

// The matrix-path table of the fast coders: raster bits and output bits 8..10.
const StaticTables::Matrix& matrixTable(QiImageCoder::ColorMatrix m, int bits, int outBits) {
    const StaticTables& st = staticTables();
    const int i = matrixIndex(m);
    return isCompressed(m) ? st.fullRange[i / 2][std::min(bits, outBits) - 8] : st.video[i / 2];
}

// Reads pixel p as gated components at the raster's bits.
inline void readGated(const qicoder::CoderFrame& f, uint64_t p, unsigned c[3]) {
    const int b = f.bits;
    c[0] = static_cast<unsigned>((p >> (2 * b)) & f.mask);
    c[1] = static_cast<unsigned>((p >> b) & f.mask);
    c[2] = static_cast<unsigned>(p & f.mask);
    for (int i = 0; i < 3; ++i)
        if (f.gatingMask & (1u << i)) c[i] = f.gate[i];
}

// Runs fn(y0, y1) over bands of rows: a large frame on the shared thread pool,
// a small one (or with KB_SCALAR set) on the calling thread.
template <class Fn> void runBands(int height, int width, Fn&& fn) {
    if (height <= 0 || width <= 0) return;
    if (qicoder::scalarOnly() || static_cast<long>(width) * height < (1L << 16)) {
        fn(0, height);
        return;
    }
    // Bands of at least 16K pixels: below that a band costs more to hand over than to convert.
    // Four per thread, so that a thread held up elsewhere holds up little of the frame.
    const int64_t grain = std::max<int64_t>(1, (int64_t(1) << 14) / width);
    QiThreadPool::shared().forBands(
        0, height, grain,
        [&](int64_t y0, int64_t y1) { fn(static_cast<int>(y0), static_cast<int>(y1)); }, 4);
}

} // namespace

// ---------------------------------------------------------------------------
// Free functions

const double* getMatrix(QiImageCoder::ColorMatrix m) {
    return kMatrices[matrixIndex(m)].data();
}

void mxmult_46(int out[4], const double M[24], const int in[6]) {
    for (int r = 0; r < 4; ++r) {
        double s = 0.0;
        for (int c = 0; c < 6; ++c)
            s += M[r * 6 + c] * static_cast<double>(in[c]);
        out[r] = roundHalf(s);
    }
}

void rgbTo422(int out[4], const double M[24], const int in[6]) {
    int v[6];
    for (int i = 0; i < 6; ++i)
        v[i] = in[i] - 16;
    mxmult_46(out, M, v);
    out[0] += 16;
    out[2] += 16;
}

double fullRangeScale(int rasterBits, int outBits) {
    const int e = std::min(rasterBits, outBits);
    return std::ldexp(255.0, e - 8) / static_cast<double>((uint64_t(1) << e) - 1);
}

void rgbTo422FullRange(int out[4], const double M[24], const int in[6], double scale, int outBits) {
    double x[6];
    for (int i = 0; i < 6; ++i)
        x[i] = static_cast<double>(in[i]) * scale;
    for (int r = 0; r < 4; ++r) {
        double s = 0.0;
        for (int c = 0; c < 6; ++c)
            s += M[r * 6 + c] * x[c];
        out[r] = roundHalf(s);
    }
    const int black = 16 << (outBits - 8);
    out[0] += black;
    out[2] += black;
}

bool YCbCr10(QiImageCoder::ColorMatrix m, unsigned R, unsigned G, unsigned B, int& Y, int& Cb,
             int& Cr) {
    int t = tenBitIndex(m);
    if (t < 0) return false;
    const TenBitConsts& c = kTenBit[t];
    double rp = videoPrime(R), gp = videoPrime(G), bp = videoPrime(B);
    double yp = c.kr * rp + c.kg * gp + c.kb * bp;
    Y = lumaCode10(yp);
    Cb = chromaCode10(bp - yp, c.sb);
    Cr = chromaCode10(rp - yp, c.sr);
    return true;
}

bool rgbTo422_10(int out[4], QiImageCoder::ColorMatrix m, const int in[6]) {
    int y0, cb, cr, y1, cb1, cr1;
    if (!YCbCr10(m, static_cast<unsigned>(in[0]), static_cast<unsigned>(in[1]),
                 static_cast<unsigned>(in[2]), y0, cb, cr))
        return false;
    YCbCr10(m, static_cast<unsigned>(in[3]), static_cast<unsigned>(in[4]),
            static_cast<unsigned>(in[5]), y1, cb1, cr1);
    out[0] = y0;
    out[1] = cb;
    out[2] = y1;
    out[3] = cr;
    return true;
}

// ---------------------------------------------------------------------------
// QiImageCoder

const char* QiImageCoder::pixelFormatName(PixelFormat format) {
    switch (format) {
    case RGB_8:
        return "RGB_8";
    case RGB_10:
        return "RGB_10";
    case YCbCr_8:
        return "YCbCr_8";
    case YCbCr_10:
        return "YCbCr_10";
    }
    return nullptr;
}

const char* QiImageCoder::colorMatrixName(ColorMatrix m) {
    static const char* const names[6] = {"Rec601",  "Rec601 (compressed)",
                                         "Rec709",  "Rec709 (compressed)",
                                         "Rec2020", "Rec2020 (compressed)"};
    int i = static_cast<int>(m);
    return (i < 0 || i > 5) ? nullptr : names[i];
}

QiImageCoder::QiImageCoder(QiImage* img) : image(img) {}

bool QiImageCoder::setColorGating(uint8_t mask, unsigned g0, unsigned g1, unsigned g2) {
    const unsigned top = image ? static_cast<unsigned>((uint64_t(1) << image->bits) - 1)
                               : static_cast<unsigned>(INT_MAX);
    gatingMask = mask;
    gate0 = static_cast<int>(std::min(g0, top));
    gate1 = static_cast<int>(std::min(g1, top));
    gate2 = static_cast<int>(std::min(g2, top));
    return true;
}

int QiImageCoder::getColorGating(uint8_t& mask, unsigned& g0, unsigned& g1, unsigned& g2) {
    mask = gatingMask;
    g0 = static_cast<unsigned>(gate0);
    g1 = static_cast<unsigned>(gate1);
    g2 = static_cast<unsigned>(gate2);
    return 0;
}

bool QiImageCoder::setColorMatrix(ColorMatrix m) {
    matrix = m;
    return true;
}

namespace {

// A run of at least this many units of one colour is converted once and copied.
constexpr int kMinRunUnits = 4;

// True when the `n` pixels from p on all equal `colour`.
inline bool allEqual(const uint64_t* p, int n, uint64_t colour) {
    uint64_t differ = 0; // one test for the whole unit: runs end at no predictable place
    for (int i = 0; i < n; ++i)
        differ |= p[i] ^ colour;
    return differ == 0;
}

// Converts one row with the fast row coder. The YCbCr layouts code pixels in
// independent units (pairs, or groups of six for v210) of `unit` pixels that
// fill `unitElems` elements, so a span of whole units converts as it would
// inside the row: a run of units of one colour converts its first unit and
// copies it, and the spans between runs convert as they are.
template <class T, class Fast>
void convertRowRuns(Fast fast, const qicoder::CoderFrame& f, const uint64_t* src, int width, T* row,
                    int unit, int unitElems) {
    int done = 0; // pixels converted so far (whole units)
    int x = 0;    // start of the next unit to look at
    while (x + unit <= width) {
        const uint64_t colour = src[x];
        if (!allEqual(src + x, unit, colour)) {
            x += unit;
            continue;
        }
        int end = x + unit;
        while (end + unit <= width && allEqual(src + end, unit, colour))
            end += unit;
        const int units = (end - x) / unit;
        if (units >= kMinRunUnits) {
            T* out = row + static_cast<size_t>(x / unit) * unitElems;
            if (x > done)
                fast(f, src + done, x - done, row + static_cast<size_t>(done / unit) * unitElems);
            fast(f, src + x, unit, out);
            for (int k = 1; k < units; ++k)
                std::memcpy(out + static_cast<size_t>(k) * unitElems, out, unitElems * sizeof(T));
            done = end;
        }
        x = end;
    }
    if (done < width)
        fast(f, src + done, width - done, row + static_cast<size_t>(done / unit) * unitElems);
}

// For each row, the earliest row further up that may hold the same pixels, or -1: rows with
// the same fingerprint, a hash of 32 pixels spread over the row. Patterns repeat rows far apart
// (a plate mirrored about its middle row), where the row just above does not find them; a
// candidate is compared in full before its output is copied.
std::vector<int> earlierRowCandidates(const QiImage* img) {
    const int w = img->width, h = img->height;
    if (w <= 0 || h <= 0) return std::vector<int>(static_cast<size_t>(std::max(h, 0)), -1);
    std::vector<uint64_t> prints(static_cast<size_t>(h));
    for (int y = 0; y < h; ++y) {
        const uint64_t* src = img->pixels + static_cast<size_t>(y) * static_cast<size_t>(w);
        uint64_t fp = 0;
        for (int i = 0; i < 32; ++i) {
            fp = (fp ^ src[static_cast<int64_t>(i) * (w - 1) / 31]) * 0x9E3779B97F4A7C15ull;
            fp ^= fp >> 29;
        }
        prints[static_cast<size_t>(y)] = fp;
    }
    // An open-addressed table of the first row of each fingerprint.
    size_t size = 1;
    while (size < 2 * static_cast<size_t>(h))
        size *= 2;
    std::vector<int> slot(size, -1);
    std::vector<int> earlier(static_cast<size_t>(h), -1);
    for (int y = 0; y < h; ++y) {
        const uint64_t fp = prints[static_cast<size_t>(y)];
        for (size_t i = static_cast<size_t>(fp * 0xD6E8FEB86659FD93ull >> 32) & (size - 1);;
             i = (i + 1) & (size - 1)) {
            const int first = slot[i];
            if (first < 0) {
                slot[i] = y;
                break;
            }
            if (prints[static_cast<size_t>(first)] == fp) {
                earlier[static_cast<size_t>(y)] = first;
                break;
            }
        }
    }
    return earlier;
}

// Converts every row of the coder's image with the fast or the reference row
// coder; `rowStride` is the destination stride and `rowElems` the part of it
// a row coder writes, both in elements of T.
//
// A row coder's output depends on nothing but its source row and the frame,
// so on the fast path a row equal to the one above it (bars, windows, most
// patterns repeat rows) takes a copy of that row's output instead, and the
// YCbCr rows convert runs of one colour once (convertRowRuns).
template <class T, class Fast, class Scalar>
bool convertImage(const QiImageCoder& coder, qicoder::CoderFrame& f, qicoder::Layout layout, T* dst,
                  size_t rowStride, size_t rowElems, Fast fast, Scalar scalar) {
    const QiImage* img = coder.image;
    if (!img || !dst || !img->pixels) return true;
    qicoder::prepare(f, coder, layout);
    const bool useFast = f.fastOk && !qicoder::scalarOnly();
    const int w = img->width;
    const size_t srcBytes = static_cast<size_t>(w) * sizeof(uint64_t);
    // Units of the YCbCr layouts: pixels, and elements of T they fill.
    int unit = 0, unitElems = 0;
    if (layout == qicoder::Layout::V210) unit = 6, unitElems = 4;
    if (layout == qicoder::Layout::YCbCr422_8) unit = 2, unitElems = 2;
    if (!useFast) {
        runBands(img->height, w, [&](int y0, int y1) {
            for (int y = y0; y < y1; ++y)
                scalar(f, img->pixels + static_cast<size_t>(y) * static_cast<size_t>(w), w,
                       dst + static_cast<size_t>(y) * rowStride);
        });
        return true;
    }
    // Rows equal to an earlier one are copied once every other row is converted: the band that
    // owns a row compares it with its candidate, and a row that is not equal after all is
    // converted (earlier = -1).
    std::vector<int> earlier = earlierRowCandidates(img);
    auto source = [&](int y) {
        return img->pixels + static_cast<size_t>(y) * static_cast<size_t>(w);
    };
    auto output = [&](int y) { return dst + static_cast<size_t>(y) * rowStride; };
    runBands(img->height, w, [&](int y0, int y1) {
        for (int y = y0; y < y1; ++y) {
            int& e = earlier[static_cast<size_t>(y)];
            const uint64_t* src = source(y);
            T* row = output(y);
            // The row above first, when this band has its output: near and most often equal.
            if (y > y0 && earlier[static_cast<size_t>(y) - 1] < 0 &&
                std::memcmp(src, src - w, srcBytes) == 0) {
                std::memcpy(row, row - rowStride, rowElems * sizeof(T));
                e = -1;
                continue;
            }
            if (e >= 0 && std::memcmp(src, source(e), srcBytes) == 0) continue;
            e = -1;
            if (unit > 0)
                convertRowRuns(fast, f, src, w, row, unit, unitElems);
            else
                fast(f, src, w, row);
        }
    });
    if (std::all_of(earlier.begin(), earlier.end(), [](int e) { return e < 0; })) return true;
    runBands(img->height, w, [&](int y0, int y1) {
        for (int y = y0; y < y1; ++y) {
            const int e = earlier[static_cast<size_t>(y)];
            if (e >= 0) std::memcpy(output(y), output(e), rowElems * sizeof(T));
        }
    });
    return true;
}

size_t widthOf(const QiImage* img) {
    return img ? static_cast<size_t>(img->width) : 0;
}

} // namespace

bool QiImageCoder::to_RGB8_32(uint32_t* dst, unsigned rPos, unsigned gPos, unsigned bPos,
                              unsigned aPos) {
    qicoder::CoderFrame f;
    f.pos[0] = rPos, f.pos[1] = gPos, f.pos[2] = bPos, f.pos[3] = aPos;
    return convertImage(*this, f, qicoder::Layout::RGB8_32, dst, widthOf(image), widthOf(image),
                        qicoder::toRGB8_32Row_Fast, qicoder::toRGB8_32Row_Scalar);
}

bool QiImageCoder::to_RGB8_24(uint8_t* dst, unsigned rPos, unsigned gPos, unsigned bPos) {
    qicoder::CoderFrame f;
    f.pos[0] = rPos, f.pos[1] = gPos, f.pos[2] = bPos;
    return convertImage(*this, f, qicoder::Layout::RGB8_24, dst, widthOf(image) * 3,
                        widthOf(image) * 3, qicoder::toRGB8_24Row_Fast,
                        qicoder::toRGB8_24Row_Scalar);
}

bool QiImageCoder::to_RGB10(uint32_t* dst, unsigned rPos, unsigned gPos, unsigned bPos,
                            bool hostOrder, bool dpx) {
    qicoder::CoderFrame f;
    f.pos[0] = rPos, f.pos[1] = gPos, f.pos[2] = bPos;
    f.hostOrder = hostOrder;
    f.dpx = dpx;
    return convertImage(*this, f, qicoder::Layout::RGB10, dst, widthOf(image), widthOf(image),
                        qicoder::toRGB10Row_Fast, qicoder::toRGB10Row_Scalar);
}

bool QiImageCoder::to_422_8(uint16_t* dst, const uint8_t* order) {
    qicoder::CoderFrame f;
    std::memcpy(f.order, order, 4);
    return convertImage(*this, f, qicoder::Layout::YCbCr422_8, dst, widthOf(image), widthOf(image),
                        qicoder::to422_8Row_Fast, qicoder::to422_8Row_Scalar);
}

bool QiImageCoder::to_422_16(uint32_t* dst, const uint8_t* order) {
    qicoder::CoderFrame f;
    std::memcpy(f.order, order, 4);
    return convertImage(*this, f, qicoder::Layout::YCbCr422_16, dst, widthOf(image), widthOf(image),
                        qicoder::to422_16Row_Scalar, qicoder::to422_16Row_Scalar);
}

bool QiImageCoder::to_v210(uint32_t* dst, bool tenBit) {
    qicoder::CoderFrame f;
    f.tenBit = tenBit;
    const int w = image ? image->width : 0;
    // Every group of six pixels fills four words; the rest of the stride is not written.
    const size_t written = w > 0 ? static_cast<size_t>((w + 5) / 6) * 4 : 0;
    return convertImage(*this, f, qicoder::Layout::V210, dst, qicoder::v210RowWords(w), written,
                        qicoder::toV210Row_Fast, qicoder::toV210Row_Scalar);
}

// ---------------------------------------------------------------------------
// Row coders

namespace qicoder {

bool scalarOnly() {
    static const bool scalar = [] {
        const char* e = std::getenv("KB_SCALAR");
        return e && *e && std::strcmp(e, "0") != 0;
    }();
    return scalar;
}

void prepare(CoderFrame& f, const QiImageCoder& coder, Layout layout) {
    f.bits = coder.image ? coder.image->bits : 10;
    f.mask = static_cast<unsigned>((uint64_t(1) << f.bits) - 1);
    f.gatingMask = coder.gatingMask;
    // The fields are public: a gate above the largest code is held at it here
    // too, so it can never index past the tables.
    f.gate[0] = std::min(static_cast<unsigned>(coder.gate0), f.mask);
    f.gate[1] = std::min(static_cast<unsigned>(coder.gate1), f.mask);
    f.gate[2] = std::min(static_cast<unsigned>(coder.gate2), f.mask);
    f.matrix = coder.matrix;
    f.M = getMatrix(coder.matrix);
    f.fastOk = f.bits >= 8 && f.bits <= 10 && layout != Layout::YCbCr422_16;
    if (!f.fastOk) return;

    const unsigned n = f.mask + 1;
    for (int c = 0; c < 3; ++c) {
        for (unsigned v = 0; v < n; ++v) {
            unsigned g = (f.gatingMask & (1u << c)) ? f.gate[c] : v;
            unsigned c8 = toDepth(g, f.bits, 8);
            unsigned c10 = toDepth(g, f.bits, 10);
            f.comp8[c][v] = static_cast<uint8_t>(c8);
            f.comp10[c][v] = static_cast<uint16_t>(c10);
            switch (layout) {
            case Layout::RGB8_32:
                f.word[c][v] = static_cast<uint32_t>(uint64_t(c8) << (8 * f.pos[c]));
                break;
            case Layout::RGB10:
                f.word[c][v] = finishRGB10(static_cast<uint32_t>(uint64_t(c10) << (10 * f.pos[c])),
                                           f.dpx, f.hostOrder);
                break;
            default:
                break;
            }
        }
    }
    if (layout == Layout::RGB8_32)
        f.wordBase = static_cast<uint32_t>(uint64_t(255) << (8 * f.pos[3]));
    if (layout == Layout::RGB10) f.wordBase = finishRGB10(0xC0000000u, f.dpx, f.hostOrder);
    if (layout == Layout::YCbCr422_8 || layout == Layout::V210) staticTables();
    if (layout == Layout::V210) {
        const auto& T = matrixTable(f.matrix, f.bits, 10);
        f.v210Products.assign(size_t(3) * n * 4, 0.0);
        for (int c = 0; c < 3; ++c)
            for (unsigned v = 0; v < n; ++v) {
                const unsigned code = f.comp10[c][v];
                double* e = &f.v210Products[(size_t(c) * n + v) * 4];
                e[0] = T.cb[c][code];
                e[1] = T.cr[c][code];
                e[2] = T.y[c][code];
            }
    }
}

namespace {

// One 32-bit word per pixel: the fixed bits of the layout ORed with each
// component's word-table entry, which already holds it shifted into place
// (for RGB10 already in the byte order the layout wants).
inline void orWordTablesRow(const CoderFrame& f, const uint64_t* src, int width, uint32_t* dst) {
    const int b = f.bits, b2 = 2 * f.bits;
    const uint64_t m = f.mask;
    const uint32_t base = f.wordBase;
    const uint32_t *t0 = f.word[0], *t1 = f.word[1], *t2 = f.word[2];
    for (int x = 0; x < width; ++x) {
        const uint64_t p = src[x];
        dst[x] = base | t0[(p >> b2) & m] | t1[(p >> b) & m] | t2[p & m];
    }
}

} // namespace

// --- RGB, 8 bits in 32-bit words -------------------------------------------

void toRGB8_32Row_Scalar(const CoderFrame& f, const uint64_t* src, int width, uint32_t* dst) {
    for (int x = 0; x < width; ++x) {
        unsigned c[3];
        readGated(f, src[x], c);
        uint64_t w = uint64_t(255) << (8 * f.pos[3]);
        for (int i = 0; i < 3; ++i)
            w |= uint64_t(toDepth(c[i], f.bits, 8)) << (8 * f.pos[i]);
        dst[x] = static_cast<uint32_t>(w);
    }
}

void toRGB8_32Row_Fast(const CoderFrame& f, const uint64_t* src, int width, uint32_t* dst) {
    orWordTablesRow(f, src, width, dst);
}

// --- RGB, 8 bits in 3 bytes ------------------------------------------------

void toRGB8_24Row_Scalar(const CoderFrame& f, const uint64_t* src, int width, uint8_t* dst) {
    for (int x = 0; x < width; ++x) {
        unsigned c[3];
        readGated(f, src[x], c);
        uint8_t* px = dst + static_cast<size_t>(x) * 3;
        for (int i = 0; i < 3; ++i)
            px[f.pos[i]] = static_cast<uint8_t>(toDepth(c[i], f.bits, 8));
    }
}

void toRGB8_24Row_Fast(const CoderFrame& f, const uint64_t* src, int width, uint8_t* dst) {
    const int b = f.bits, b2 = 2 * f.bits;
    const uint64_t m = f.mask;
    const unsigned pr = f.pos[0], pg = f.pos[1], pb = f.pos[2];
    const uint8_t *t0 = f.comp8[0], *t1 = f.comp8[1], *t2 = f.comp8[2];
    for (int x = 0; x < width; ++x) {
        const uint64_t p = src[x];
        uint8_t* px = dst + static_cast<size_t>(x) * 3;
        px[pr] = t0[(p >> b2) & m];
        px[pg] = t1[(p >> b) & m];
        px[pb] = t2[p & m];
    }
}

// --- RGB, 10 bits in 32-bit words ------------------------------------------

void toRGB10Row_Scalar(const CoderFrame& f, const uint64_t* src, int width, uint32_t* dst) {
    for (int x = 0; x < width; ++x) {
        unsigned c[3];
        readGated(f, src[x], c);
        uint64_t w = 0xC0000000u;
        for (int i = 0; i < 3; ++i)
            w |= uint64_t(toDepth(c[i], f.bits, 10)) << (10 * f.pos[i]);
        dst[x] = finishRGB10(static_cast<uint32_t>(w), f.dpx, f.hostOrder);
    }
}

void toRGB10Row_Fast(const CoderFrame& f, const uint64_t* src, int width, uint32_t* dst) {
    orWordTablesRow(f, src, width, dst);
}

// --- YCbCr 4:2:2, 8 bits in 16-bit words -----------------------------------

namespace {

// Reads the pair (x, x + 1) at `outBits`; past the row's end the last pixel is
// repeated.
void readPair(const CoderFrame& f, const uint64_t* src, int width, int x, int outBits, int in[6]) {
    const int x1 = x + 1 < width ? x + 1 : width - 1;
    unsigned c[3];
    readGated(f, src[x], c);
    for (int i = 0; i < 3; ++i)
        in[i] = static_cast<int>(toDepth(c[i], f.bits, outBits));
    readGated(f, src[x1], c);
    for (int i = 0; i < 3; ++i)
        in[3 + i] = static_cast<int>(toDepth(c[i], f.bits, outBits));
}

// The matrix path of one pair at `outBits`: video range in for the full
// matrices, full range in for the compressed ones. The caller adds the chroma
// offset.
void matrixPair(const CoderFrame& f, const int in[6], int outBits, int out[4]) {
    if (isCompressed(f.matrix))
        rgbTo422FullRange(out, f.M, in, fullRangeScale(f.bits, outBits), outBits);
    else
        rgbTo422(out, f.M, in);
}

} // namespace

void to422_8Row_Scalar(const CoderFrame& f, const uint64_t* src, int width, uint16_t* dst) {
    for (int x = 0; x < width; x += 2) {
        int in[6], v[4];
        readPair(f, src, width, x, 8, in);
        matrixPair(f, in, 8, v);
        v[1] += 128;
        v[3] += 128;
        for (int& s : v)
            s = clampInt(s, 0, 255);
        dst[x] = static_cast<uint16_t>(v[f.order[0]] << 8 | v[f.order[1]]);
        if (x + 1 < width) dst[x + 1] = static_cast<uint16_t>(v[f.order[2]] << 8 | v[f.order[3]]);
    }
}

void to422_8Row_Fast(const CoderFrame& f, const uint64_t* src, int width, uint16_t* dst) {
    const auto& T = matrixTable(f.matrix, f.bits, 8);
    const int yOff = lumaOffset(f.matrix, 8);
    const int b = f.bits, b2 = 2 * f.bits;
    const uint64_t m = f.mask;
    const uint8_t *c0 = f.comp8[0], *c1 = f.comp8[1], *c2 = f.comp8[2];
    const unsigned o0 = f.order[0], o1 = f.order[1], o2 = f.order[2], o3 = f.order[3];
    for (int x = 0; x < width; x += 2) {
        const uint64_t p0 = src[x], p1 = src[x + 1 < width ? x + 1 : x];
        const unsigned r0 = c0[(p0 >> b2) & m], g0 = c1[(p0 >> b) & m], b0 = c2[p0 & m];
        const unsigned r1 = c0[(p1 >> b2) & m], g1 = c1[(p1 >> b) & m], b1 = c2[p1 & m];
        int v[4];
        v[0] = roundHalf(T.y[0][r0] + T.y[1][g0] + T.y[2][b0]) + yOff;
        v[1] = roundHalf(T.cb[0][r0] + T.cb[1][g0] + T.cb[2][b0] + T.cb[0][r1] + T.cb[1][g1] +
                         T.cb[2][b1]) +
               128;
        v[2] = roundHalf(T.y[0][r1] + T.y[1][g1] + T.y[2][b1]) + yOff;
        v[3] = roundHalf(T.cr[0][r0] + T.cr[1][g0] + T.cr[2][b0] + T.cr[0][r1] + T.cr[1][g1] +
                         T.cr[2][b1]) +
               128;
        for (int& s : v)
            s = clampInt(s, 0, 255);
        dst[x] = static_cast<uint16_t>(v[o0] << 8 | v[o1]);
        if (x + 1 < width) dst[x + 1] = static_cast<uint16_t>(v[o2] << 8 | v[o3]);
    }
}

// --- YCbCr 4:2:2, 12 bits in 32-bit words ----------------------------------

void to422_16Row_Scalar(const CoderFrame& f, const uint64_t* src, int width, uint32_t* dst) {
    for (int x = 0; x < width; x += 2) {
        int in[6], v[4];
        readPair(f, src, width, x, 12, in);
        matrixPair(f, in, 12, v);
        v[1] = 2048;
        v[3] = 2048;
        for (int& s : v)
            s = clampInt(s, 0, 65535);
        dst[x] = static_cast<uint32_t>(v[f.order[0]]) << 12 | static_cast<uint32_t>(v[f.order[1]]);
        if (x + 1 < width)
            dst[x + 1] =
                static_cast<uint32_t>(v[f.order[2]]) << 12 | static_cast<uint32_t>(v[f.order[3]]);
    }
}

// --- YCbCr 4:2:2, 10 bits in v210 ------------------------------------------
//
// Six pixels make four words: Cb0 Y0 Cr0 | Y1 Cb1 Y2 | Cr1 Y3 Cb2 | Y4 Cr2 Y5,
// 10 bits each from bit 0 up, bits 30-31 zero. Every sample is clamped to
// 0..1023 so that no value can spill into its neighbour's field.

namespace {

inline uint32_t v210Word(int a, int b, int c) {
    return static_cast<uint32_t>(a) | static_cast<uint32_t>(b) << 10 |
           static_cast<uint32_t>(c) << 20;
}

inline void writeGroup(uint32_t* dst, const int s[3][4]) {
    dst[0] = v210Word(s[0][1], s[0][0], s[0][3]);
    dst[1] = v210Word(s[0][2], s[1][1], s[1][0]);
    dst[2] = v210Word(s[1][3], s[1][2], s[2][1]);
    dst[3] = v210Word(s[2][0], s[2][3], s[2][2]);
}

// Reference pair: the 10-bit formulas when asked for and defined for the
// matrix, otherwise the matrix path with its 512 chroma offset.
void pairV210_Scalar(const CoderFrame& f, const int in[6], int out[4]) {
    if (!(f.tenBit && rgbTo422_10(out, f.matrix, in))) {
        matrixPair(f, in, 10, out);
        out[1] += 512;
        out[3] += 512;
    }
    for (int i = 0; i < 4; ++i)
        out[i] = clampInt(out[i], 0, 1023);
}

} // namespace

void toV210Row_Scalar(const CoderFrame& f, const uint64_t* src, int width, uint32_t* dst) {
    for (int x = 0; x < width; x += 6, dst += 4) {
        int s[3][4];
        for (int p = 0; p < 3; ++p) {
            int in[6];
            const int xp = std::min(x + 2 * p, width - 1);
            readPair(f, src, width, xp, 10, in);
            pairV210_Scalar(f, in, s[p]);
        }
        writeGroup(dst, s);
    }
}

#if defined(__SSE2__)
// One v210 group of the matrix path from the paired products of CoderFrame::v210Products.
// The last pair converted and its samples: a pair equal to it (runs of a few pixels, too short
// for convertRowRuns) takes them again.
struct LastPair {
    bool valid = false;
    uint64_t q0 = 0, q1 = 0;
    int s[4] = {0, 0, 0, 0};
};

inline void v210GroupPaired(const double* products, uint64_t m, int b, int b2, const uint64_t* src,
                            int x, int last, int yOff, int s[3][4], LastPair& memo) {
    // The sums of the matrix path two at a time, each lane added in the order of the plain
    // matrix path in toV210Row_Fast: (Cb, Cr) over both pixels, then each pixel's luma.
    const size_t n = size_t(m) + 1;
    const double *e0 = products, *e1 = products + n * 4, *e2 = products + n * 8;
    const __m128d half = _mm_set1_pd(0.5);
    // floor(v + 0.5) as roundHalf gives it: truncate, then one down where the truncation went
    // up (the sums lie far inside the int range).
    auto nearest = [half](__m128d v, int out[2]) {
        v = _mm_add_pd(v, half);
        const __m128i t = _mm_cvttpd_epi32(v);
        const __m128d up = _mm_cmpgt_pd(_mm_cvtepi32_pd(t), v);
        const __m128i down = _mm_shuffle_epi32(_mm_castpd_si128(up), _MM_SHUFFLE(3, 3, 2, 0));
        _mm_storel_epi64(reinterpret_cast<__m128i*>(out), _mm_add_epi32(t, down));
    };
    for (int p = 0; p < 3; ++p) {
        const uint64_t q0 = src[std::min(x + 2 * p, last)];
        const uint64_t q1 = src[std::min(x + 2 * p + 1, last)];
        if (memo.valid && q0 == memo.q0 && q1 == memo.q1) {
            std::memcpy(s[p], memo.s, sizeof memo.s);
            continue;
        }
        const double* a0 = e0 + ((q0 >> b2) & m) * 4;
        const double* b0 = e1 + ((q0 >> b) & m) * 4;
        const double* d0 = e2 + (q0 & m) * 4;
        const double* a1 = e0 + ((q1 >> b2) & m) * 4;
        const double* b1 = e1 + ((q1 >> b) & m) * 4;
        const double* d1 = e2 + (q1 & m) * 4;
        __m128d chroma = _mm_add_pd(_mm_loadu_pd(a0), _mm_loadu_pd(b0));
        chroma = _mm_add_pd(chroma, _mm_loadu_pd(d0));
        chroma = _mm_add_pd(chroma, _mm_loadu_pd(a1));
        chroma = _mm_add_pd(chroma, _mm_loadu_pd(b1));
        chroma = _mm_add_pd(chroma, _mm_loadu_pd(d1));
        __m128d luma = _mm_add_pd(_mm_set_pd(a1[2], a0[2]), _mm_set_pd(b1[2], b0[2]));
        luma = _mm_add_pd(luma, _mm_set_pd(d1[2], d0[2]));
        int cc[2], yy[2];
        nearest(chroma, cc);
        nearest(luma, yy);
        s[p][0] = clampInt(yy[0] + yOff, 0, 1023);
        s[p][1] = clampInt(cc[0] + 512, 0, 1023);
        s[p][2] = clampInt(yy[1] + yOff, 0, 1023);
        s[p][3] = clampInt(cc[1] + 512, 0, 1023);
        memo.valid = true;
        memo.q0 = q0;
        memo.q1 = q1;
        std::memcpy(memo.s, s[p], sizeof memo.s);
    }
}
#endif

void toV210Row_Fast(const CoderFrame& f, const uint64_t* src, int width, uint32_t* dst) {
    const StaticTables& st = staticTables();
    const int t = f.tenBit ? tenBitIndex(f.matrix) : -1;
    const auto& T = matrixTable(f.matrix, f.bits, 10);
    const int yOff = lumaOffset(f.matrix, 10);
    const double* prime = st.prime;
    const double *kr = t >= 0 ? st.k[t][0] : nullptr, *kg = t >= 0 ? st.k[t][1] : nullptr,
                 *kb = t >= 0 ? st.k[t][2] : nullptr;
    const double sb = t >= 0 ? kTenBit[t].sb : 0.0, sr = t >= 0 ? kTenBit[t].sr : 0.0;
    const int b = f.bits, b2 = 2 * f.bits;
    const uint64_t m = f.mask;
    const uint16_t *c0 = f.comp10[0], *c1 = f.comp10[1], *c2 = f.comp10[2];
    const int last = width - 1;
#if defined(__SSE2__)
    // The matrix path on paired look-ups, where the processor has the instructions for them.
    const double* products =
        t < 0 && f.v210Products.size() == size_t(3) * (m + 1) * 4 ? f.v210Products.data() : nullptr;
    LastPair memo;
#endif

    for (int x = 0; x < width; x += 6, dst += 4) {
#if defined(__SSE2__)
        if (products) {
            int s[3][4];
            v210GroupPaired(products, m, b, b2, src, x, last, yOff, s, memo);
            writeGroup(dst, s);
            continue;
        }
#endif
        unsigned r[6], g[6], bl[6];
        if (x + 5 <= last) {
            for (int i = 0; i < 6; ++i) {
                const uint64_t p = src[x + i];
                r[i] = c0[(p >> b2) & m], g[i] = c1[(p >> b) & m], bl[i] = c2[p & m];
            }
        } else {
            for (int i = 0; i < 6; ++i) {
                const uint64_t p = src[std::min(x + i, last)];
                r[i] = c0[(p >> b2) & m], g[i] = c1[(p >> b) & m], bl[i] = c2[p & m];
            }
        }
        int s[3][4];
        if (t >= 0) {
            for (int p = 0; p < 3; ++p) {
                const unsigned i0 = 2 * p, i1 = 2 * p + 1;
                const double y0 = kr[r[i0]] + kg[g[i0]] + kb[bl[i0]];
                const double y1 = kr[r[i1]] + kg[g[i1]] + kb[bl[i1]];
                s[p][0] = clampInt(lumaCode10(y0), 0, 1023);
                s[p][1] = clampInt(chromaCode10(prime[bl[i0]] - y0, sb), 0, 1023);
                s[p][2] = clampInt(lumaCode10(y1), 0, 1023);
                s[p][3] = clampInt(chromaCode10(prime[r[i0]] - y0, sr), 0, 1023);
            }
        } else {
            for (int p = 0; p < 3; ++p) {
                const unsigned i0 = 2 * p, i1 = 2 * p + 1;
                s[p][0] = clampInt(roundHalf(T.y[0][r[i0]] + T.y[1][g[i0]] + T.y[2][bl[i0]]) + yOff,
                                   0, 1023);
                s[p][1] = clampInt(roundHalf(T.cb[0][r[i0]] + T.cb[1][g[i0]] + T.cb[2][bl[i0]] +
                                             T.cb[0][r[i1]] + T.cb[1][g[i1]] + T.cb[2][bl[i1]]) +
                                       512,
                                   0, 1023);
                s[p][2] = clampInt(roundHalf(T.y[0][r[i1]] + T.y[1][g[i1]] + T.y[2][bl[i1]]) + yOff,
                                   0, 1023);
                s[p][3] = clampInt(roundHalf(T.cr[0][r[i0]] + T.cr[1][g[i0]] + T.cr[2][bl[i0]] +
                                             T.cr[0][r[i1]] + T.cr[1][g[i1]] + T.cr[2][bl[i1]]) +
                                       512,
                                   0, 1023);
            }
        }
        writeGroup(dst, s);
    }
}

} // namespace qicoder
