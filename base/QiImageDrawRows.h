// Row functions behind QiImage's drawing primitives: painting rows, copying a row down the image,
// and the rows of the sector star.
//
// paintRows and repeatRow work through setPixel or, with direct stores, on the image's own rows in
// bands on the thread pool: a pattern that is easier drawn row by row (nested rectangles, vertical
// stripes) writes every pixel once, in parallel, with one hand-over to the pool.
//
// The reference row (_Scalar) takes FxAtan2 of every pixel, as the primitive is defined. The fast
// row (_Fast) gives the same pixels with far fewer angles: the colour only changes where the angle
// crosses a sector (or sine-phase) boundary, so it takes FxAtan2 only of the pixels that lie near a
// boundary; the pixels of each run between two boundaries lie in the phase between them. Near means
// within 64 units of 2^-16 degree of the exact angle, ten times the largest error of FxAtan2 for
// offsets up to 8192 pixels, so the colour of every other pixel follows from its exact angle.
// sectorStarFastFits() says whether a box lies within that reach. Tests call both rows and compare.
#pragma once

#include "QiFixed.h"
#include "QiImage.h"
#include "QiThreadPool.h"

#include <algorithm>
#include <cstdint>
#include <utility>
#include <vector>

namespace qidraw {

// Rows of fewer pixels than this per band stay on the calling thread.
constexpr int64_t kBandPixels = int64_t(1) << 16;

// Stores a row of width pixels through setPixel.
void storeRowThroughSetPixel(QiImage* image, int y, const uint64_t* row);

// Paints rows first .. last - 1 (clipped to the image): paint(y, row) changes the width pixels of
// row y in place, row holding them as they are. With direct stores these are the image's own rows
// (painted in bands on the thread pool, so paint must touch nothing but its row); otherwise a copy
// that is then stored through setPixel, on this thread.
template <class Paint> void paintRows(QiImage* image, int first, int last, Paint&& paint) {
    const int64_t width = image->width;
    const int64_t y0 = std::max(first, 0), y1 = std::min(last, image->height);
    if (y0 >= y1 || width <= 0) return;
    if (image->directStores()) {
        uint64_t* pixels = image->pixels;
        QiThreadPool::shared().forBands(y0, y1, std::max<int64_t>(1, kBandPixels / width),
                                        [&](int64_t r0, int64_t r1) {
                                            for (int64_t y = r0; y < r1; ++y)
                                                paint(static_cast<int>(y), pixels + y * width);
                                        });
        return;
    }
    std::vector<uint64_t> row(static_cast<size_t>(width));
    for (int64_t y = y0; y < y1; ++y) {
        const uint64_t* from = image->pixels + y * width;
        std::copy(from, from + width, row.begin());
        paint(static_cast<int>(y), row.data());
        storeRowThroughSetPixel(image, static_cast<int>(y), row.data());
    }
}

// The sine-table index of a zone-plate phase: the nearest integer to phase / 1023, halves up, in
// 10 bits. The reference divides in double; the fast form is the same in integers, exactly: the
// nearest integer is floor((2 phase + 1023) / 2046), and that quotient is never within 1/2046 of
// an integer, far beyond the error of the double division.
inline int zoneIndex_Scalar(uint32_t phase) {
    return static_cast<int>(phase / 1023.0 + 0.5) & 1023;
}
inline int zoneIndex(uint32_t phase) {
    return static_cast<int>((uint64_t(phase) * 2 + 1023) / 2046) & 1023;
}

// Copies row `from` of the image over rows first .. last - 1 (clipped to the image; row `from`
// itself is left as it is).
void repeatRow(QiImage* image, int from, int first, int last);

// A sector star about (cx, cy): what every row needs, fixed for one drawing.
struct SectorStar {
    FxLong cx = 0, cy = 0;
    bool sine = false;
    unsigned n = 1;        // sectors
    unsigned nColours = 1; // colours[0 .. nColours - 1] (2Color, RGBCMYK)
    const uint64_t* colours = nullptr;
    const uint64_t* sineLut = nullptr; // 1024 colours of the sine table (Sine)
};

// The colour of a pixel whose FxAtan2 angle about the centre is `angle`.
uint64_t sectorColour(const SectorStar& s, FxLong angle);

// Pixels (x0 + i, y), i = 0 .. count - 1, into out[i].
void sectorStarRow_Scalar(const SectorStar& s, int64_t y, int64_t x0, int64_t count, uint64_t* out);

// What the fast row works with: the exact angles of the boundaries, widened by the margin, as
// cotangents (per drawing), and space for one row (per thread).
struct SectorStarFast {
    explicit SectorStarFast(const SectorStar& s);
    std::vector<double> cotLow, cotHigh; // cot of each boundary's angle less / plus the margin
    std::vector<double> degLow, degHigh; // the same angles in degrees
};
struct SectorStarScratch {
    struct Near {
        int64_t first, last; // pixel range near boundary k
        int64_t k;
    };
    struct Run {
        int64_t first, end; // pixels of one phase between boundaries
        int64_t phase;
    };
    std::vector<Near> near;
    std::vector<Run> runs;
    std::vector<FxLong> xs, ys, angles;
};

// True when every pixel of the box [x0, x1) x [y0, y1) lies within the fast row's reach.
// (and the star has between 1 and 4096 sectors, or is a sine star).
bool sectorStarFastFits(const SectorStar& s, int64_t x0, int64_t y0, int64_t x1, int64_t y1);
void sectorStarRow_Fast(const SectorStar& s, const SectorStarFast& plan, int64_t y, int64_t x0,
                        int64_t count, uint64_t* out, SectorStarScratch& scratch);

} // namespace qidraw
