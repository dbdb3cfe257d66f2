// Row coders behind QiImageCoder.
//
// Every layout has a scalar reference row coder (_Scalar), written straight
// from the formulas, and most have a fast one (_Fast) built on per-frame
// invariants and lookup tables that give bit-identical results. The fast ones
// need 8 <= bits <= 10; CoderFrame::fastOk says whether they may be used.
// Tests call both on the same rows and compare the bytes.
#pragma once

#include "QiImageCoder.h"

#include <cstdint>
#include <vector>

namespace qicoder {

// Everything a row coder needs, fixed for one conversion.
struct CoderFrame {
    int bits = 10;
    unsigned mask = 1023;
    uint8_t gatingMask = 0;
    unsigned gate[3] = {0, 0, 0};
    QiImageCoder::ColorMatrix matrix = QiImageCoder::Rec709;
    const double* M = nullptr; // getMatrix(matrix)
    bool fastOk = false;

    // Layout parameters (only those of the layout in use matter).
    unsigned pos[4] = {0, 1, 2, 3}; // r, g, b, a
    bool hostOrder = true;
    bool dpx = false;
    uint8_t order[4] = {0, 1, 2, 3};
    bool tenBit = false;

    // Fast-path tables, filled by prepare(): per component, indexed by the
    // masked raster value, the gated value at the output depth (comp8 / comp10)
    // or the finished contribution to the output word (word).
    uint8_t comp8[3][1024];
    uint16_t comp10[3][1024];
    uint32_t word[3][1024];
    uint32_t wordBase = 0;
    // v210 through a matrix: per component and masked raster value, the Cb, Cr and luma
    // products of its gated code and a zero, [3][mask + 1][4], so one pixel's three sums take
    // three pairs of look-ups of two adjacent doubles.
    std::vector<double> v210Products;
};

enum class Layout { RGB8_32, RGB8_24, RGB10, YCbCr422_8, YCbCr422_16, V210 };

// Fills the frame from the coder (gating, matrix, bits) and the layout
// parameters already stored in it, then builds the tables for `layout`.
void prepare(CoderFrame& f, const QiImageCoder& coder, Layout layout);

// Number of 32-bit words of one v210 row.
inline unsigned v210RowWords(int width) {
    return width <= 0 ? 0u : static_cast<unsigned>((width + 47) / 48) * 32u;
}

// One row of `width` source pixels into the start of that row's destination.
void toRGB8_32Row_Scalar(const CoderFrame& f, const uint64_t* src, int width, uint32_t* dst);
void toRGB8_32Row_Fast(const CoderFrame& f, const uint64_t* src, int width, uint32_t* dst);
void toRGB8_24Row_Scalar(const CoderFrame& f, const uint64_t* src, int width, uint8_t* dst);
void toRGB8_24Row_Fast(const CoderFrame& f, const uint64_t* src, int width, uint8_t* dst);
void toRGB10Row_Scalar(const CoderFrame& f, const uint64_t* src, int width, uint32_t* dst);
void toRGB10Row_Fast(const CoderFrame& f, const uint64_t* src, int width, uint32_t* dst);
void to422_8Row_Scalar(const CoderFrame& f, const uint64_t* src, int width, uint16_t* dst);
void to422_8Row_Fast(const CoderFrame& f, const uint64_t* src, int width, uint16_t* dst);
void to422_16Row_Scalar(const CoderFrame& f, const uint64_t* src, int width, uint32_t* dst);
void toV210Row_Scalar(const CoderFrame& f, const uint64_t* src, int width, uint32_t* dst);
void toV210Row_Fast(const CoderFrame& f, const uint64_t* src, int width, uint32_t* dst);

// True when KB_SCALAR is set to anything but "0" (read once).
bool scalarOnly();

} // namespace qicoder
