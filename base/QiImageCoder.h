// QiImageCoder: converts an RGB image into the pixel layouts video cards take.
//
// Layouts: 8-bit RGB in 32-bit words or in 3 bytes, 10-bit RGB in 32-bit words
// (optionally DPX order, optionally big-endian), 8-bit YCbCr 4:2:2 in 16-bit
// words, 12-bit YCbCr 4:2:2 in 32-bit words and 10-bit YCbCr 4:2:2 in v210
// words. On the way every pixel goes through colour gating (components
// replaced by fixed code values, used for single-channel and muted output) and,
// for YCbCr, the selected colour matrix.
//
// Each output raster embeds one coder whose image is the raster itself. The
// conversions run on the render thread; a large frame is split into bands of
// rows converted on the shared thread pool (QiThreadPool), all done before the
// call returns, and a row equal to the one above it takes a copy of that row's
// output. Each conversion covers the whole image and writes only the caller's
// buffer (row y at word or byte y*width, v210 rows at y*ceil(width/48)*32
// words). Setting the environment variable KB_SCALAR to a non-zero value forces
// the single-threaded reference row coders, row by row.
#pragma once

#include <cstdint>

class QiImage;

class QiImageCoder {
public:
    // Values are bit numbers of the supported-format masks; 2 and 3 are unused.
    enum PixelFormat { RGB_8 = 0, RGB_10 = 1, YCbCr_8 = 4, YCbCr_10 = 5 };

    // Colour matrices for YCbCr output. The full ones take video-range RGB
    // and give video-range YCbCr; the compressed ones take full-range RGB
    // (0 .. 2^bits - 1) and give video-range YCbCr (Y 16..235 at 8 bits,
    // 64..940 at 10 bits, chroma centred on 128 / 512).
    enum ColorMatrix {
        Rec601 = 0,
        Rec601Compressed = 1,
        Rec709 = 2,
        Rec709Compressed = 3,
        Rec2020 = 4,
        Rec2020Compressed = 5
    };

    // The names clients use: "RGB_8" ..., "Rec601", "Rec601 (compressed)" ...
    // Null for a value without a name.
    static const char* pixelFormatName(PixelFormat format);
    static const char* colorMatrixName(ColorMatrix matrix);

    // The image is read by the conversions and not owned. Gating off, RGB_8,
    // Rec709 until the owner sets its own.
    explicit QiImageCoder(QiImage* image);

    // Virtual slots, in this order. Gate values are code values at the image's
    // bits (a gate of 70 on a 10-bit image is code 70 of 1023, a gate of 940
    // is 940); values above the image's largest code are held at it. Mask bit
    // i gates component i (0 red, 1 green, 2 blue).
    virtual bool setColorGating(uint8_t mask, unsigned g0, unsigned g1, unsigned g2);
    virtual int getColorGating(uint8_t& mask, unsigned& g0, unsigned& g1, unsigned& g2);

    bool setColorMatrix(ColorMatrix m);
    ColorMatrix getColorMatrix() const { return matrix; }

    // Byte positions 0..3 within the little-endian word; alpha is 255.
    bool to_RGB8_32(uint32_t* dst, unsigned rPos, unsigned gPos, unsigned bPos, unsigned aPos);
    // Byte offsets 0..2 within each 3-byte pixel.
    bool to_RGB8_24(uint8_t* dst, unsigned rPos, unsigned gPos, unsigned bPos);
    // Component positions 0..2 (10-bit fields from bit 0 up), top two bits
    // set. dpx repacks position 0 to bits 22-31, 1 to 12-21, 2 to 2-11;
    // unless hostOrder the word is stored big-endian.
    bool to_RGB10(uint32_t* dst, unsigned rPos, unsigned gPos, unsigned bPos, bool hostOrder,
                  bool dpx);
    // Pairs (Y0, Cb, Y1, Cr) indexed by order: word x = v[order[0]] << 8 |
    // v[order[1]], word x+1 = v[order[2]] << 8 | v[order[3]]. An odd width
    // writes only the first word of its last pair, which repeats the last pixel.
    bool to_422_8(uint16_t* dst, const uint8_t* order);
    // As to_422_8 at 12 bits with mid-scale chroma, 12-bit fields per word.
    bool to_422_16(uint32_t* dst, const uint8_t* order);
    // v210: rows of ceil(width/48) blocks of 128 bytes. tenBit takes the
    // ITU-R video-range formulas of YCbCr10 where they exist (Rec601, Rec709,
    // Rec2020); the compressed matrices have none and use the matrix path.
    bool to_v210(uint32_t* dst, bool tenBit);

    // Fields, in order.
    QiImage* image = nullptr;
    int gate0 = 0, gate1 = 0, gate2 = 0;
    uint8_t gatingMask = 0;
    PixelFormat pixelFormat = RGB_8;
    ColorMatrix matrix = Rec709;
};

// The 4 x 6 matrix (rows Y0, Cb, Y1, Cr over R0, G0, B0, R1, G1, B1) of a
// colour matrix; a value above 5 selects Rec709.
const double* getMatrix(QiImageCoder::ColorMatrix m);
// out[i] = (int)(row i . in + 0.5), truncating toward zero.
void mxmult_46(int out[4], const double M[24], const int in[6]);
// Video-range pair of a full matrix: inputs minus 16, matrix, 16 added back to
// both lumas. The luma weights sum to 1 and the chroma rows to 0, so the offset
// cancels and the pair holds at any depth. The caller adds the chroma offset.
void rgbTo422(int out[4], const double M[24], const int in[6]);
// Scale of a compressed matrix's inputs. A component of a `rasterBits` raster,
// shifted to `outBits`, times this scale lies on the matrices' 8-bit full range
// times 2^(outBits - 8): the scale is 255 * 2^(e - 8) / (2^e - 1), e the
// smaller of the two depths, so the raster's largest code lands exactly on
// full scale (1 at 8 bits, 1020/1023 for a 10-bit raster in 10-bit output).
double fullRangeScale(int rasterBits, int outBits);
// Full-range pair of a compressed matrix at `outBits` (8 to 16): inputs times
// `scale` (fullRangeScale), matrix, video black 16 << (outBits - 8) added to
// both lumas. The caller adds the chroma offset.
void rgbTo422FullRange(int out[4], const double M[24], const int in[6], double scale, int outBits);
// ITU-R video-range 10-bit YCbCr of one pixel for Rec601, Rec709 and Rec2020;
// false (nothing set) for the other matrices.
bool YCbCr10(QiImageCoder::ColorMatrix m, unsigned R, unsigned G, unsigned B, int& Y, int& Cb,
             int& Cr);
// (Y0, Cb, Y1, Cr): Y0, Cb, Cr from the first pixel, Y1 from the second.
// Returns false, setting nothing, where YCbCr10 has no formulas.
bool rgbTo422_10(int out[4], QiImageCoder::ColorMatrix m, const int in[6]);
