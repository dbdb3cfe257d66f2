#include "QiImageCoder.h"
#include "QiImage.h"
#include "QiImageCoderRows.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <memory>
#include <random>
#include <vector>

using qicoder::CoderFrame;
using qicoder::Layout;

namespace {

constexpr uint32_t kCanary32 = 0xA5C3E1F7u;

uint64_t rgb(int bits, unsigned r, unsigned g, unsigned b) {
    return uint64_t(r) << (2 * bits) | uint64_t(g) << bits | b;
}

struct Sample {
    int y0, cb, y1, cr;
};

// The 12 samples of one v210 group, in pixel order.
struct Group {
    int y[6], cb[3], cr[3];
};

Group decodeGroup(const uint32_t* w) {
    auto f = [&](int word, int field) { return static_cast<int>(w[word] >> (10 * field) & 1023); };
    Group g;
    g.cb[0] = f(0, 0), g.y[0] = f(0, 1), g.cr[0] = f(0, 2);
    g.y[1] = f(1, 0), g.cb[1] = f(1, 1), g.y[2] = f(1, 2);
    g.cr[1] = f(2, 0), g.y[3] = f(2, 1), g.cb[2] = f(2, 2);
    g.y[4] = f(3, 0), g.cr[2] = f(3, 1), g.y[5] = f(3, 2);
    return g;
}

const QiImageCoder::ColorMatrix kAllMatrices[6] = {
    QiImageCoder::Rec601,  QiImageCoder::Rec601Compressed,
    QiImageCoder::Rec709,  QiImageCoder::Rec709Compressed,
    QiImageCoder::Rec2020, QiImageCoder::Rec2020Compressed};

} // namespace

TEST(QiImageCoder, NamesOfFormatsAndMatrices) {
    EXPECT_STREQ(QiImageCoder::pixelFormatName(QiImageCoder::RGB_8), "RGB_8");
    EXPECT_STREQ(QiImageCoder::pixelFormatName(QiImageCoder::RGB_10), "RGB_10");
    EXPECT_STREQ(QiImageCoder::pixelFormatName(QiImageCoder::YCbCr_8), "YCbCr_8");
    EXPECT_STREQ(QiImageCoder::pixelFormatName(QiImageCoder::YCbCr_10), "YCbCr_10");
    EXPECT_EQ(QiImageCoder::pixelFormatName(static_cast<QiImageCoder::PixelFormat>(2)), nullptr);
    const char* names[6] = {"Rec601",  "Rec601 (compressed)", "Rec709", "Rec709 (compressed)",
                            "Rec2020", "Rec2020 (compressed)"};
    for (int i = 0; i < 6; ++i)
        EXPECT_STREQ(QiImageCoder::colorMatrixName(kAllMatrices[i]), names[i]);
    EXPECT_EQ(QiImageCoder::colorMatrixName(static_cast<QiImageCoder::ColorMatrix>(6)), nullptr);
}

// The stored coefficients follow from the luma weights: chroma rows are the
// BT.601/709/2020 colour-difference rows scaled to 224/219 and halved for the
// pair; the compressed matrices are the full ones with every row scaled by
// 219/255 (full-range input).
TEST(QiImageCoder, MatricesFollowFromTheLumaWeights) {
    const double k[3][3] = {
        {0.299, 0.587, 0.114}, {0.2126, 0.7152, 0.0722}, {0.2627, 0.678, 0.0593}};
    const QiImageCoder::ColorMatrix full[3] = {QiImageCoder::Rec601, QiImageCoder::Rec709,
                                               QiImageCoder::Rec2020};
    for (int m = 0; m < 3; ++m) {
        const double kr = k[m][0], kg = k[m][1], kb = k[m][2];
        const double c = 0.25 * 224.0 / 219.0;
        const double y[3] = {kr, kg, kb};
        const double cb[3] = {-c * kr / (1 - kb), -c * kg / (1 - kb), c};
        const double cr[3] = {c, -c * kg / (1 - kr), -c * kb / (1 - kr)};
        const double* M = getMatrix(full[m]);
        const double* C = getMatrix(static_cast<QiImageCoder::ColorMatrix>(full[m] + 1));
        for (int i = 0; i < 3; ++i) {
            // Rec709's stored luma row is rounded from the primaries, hence 2e-4.
            EXPECT_NEAR(M[i], y[i], 2e-4) << m;
            // Rec709's chroma rows come from unrounded primaries, hence 2e-5.
            EXPECT_NEAR(M[6 + i], cb[i], 2e-5) << m;
            EXPECT_NEAR(M[18 + i], cr[i], 2e-5) << m;
        }
        for (int i = 0; i < 24; ++i)
            EXPECT_DOUBLE_EQ(C[i], M[i] * 219.0 / 255.0) << m << " coefficient " << i;
        for (const double* X : {M, C})
            for (int i = 0; i < 3; ++i) {
                EXPECT_EQ(X[3 + i], 0.0);      // Y0 ignores the second pixel
                EXPECT_EQ(X[12 + i], 0.0);     // Y1 ignores the first
                EXPECT_EQ(X[15 + i], X[i]);    // same weights on both lumas
                EXPECT_EQ(X[9 + i], X[6 + i]); // chroma of the pair's average
                EXPECT_EQ(X[21 + i], X[18 + i]);
            }
    }
    EXPECT_EQ(getMatrix(static_cast<QiImageCoder::ColorMatrix>(7)),
              getMatrix(QiImageCoder::Rec709));
}

TEST(QiImageCoder, YCbCr10FormulasAndCompressedMatrices) {
    int y = -1, cb = -1, cr = -1;
    ASSERT_TRUE(YCbCr10(QiImageCoder::Rec709, 940, 940, 940, y, cb, cr));
    EXPECT_EQ(y, 940);
    EXPECT_EQ(cb, 512);
    EXPECT_EQ(cr, 512);
    ASSERT_TRUE(YCbCr10(QiImageCoder::Rec601, 64, 64, 64, y, cb, cr));
    EXPECT_EQ(y, 64);
    EXPECT_EQ(cb, 512);
    // Below black stays arithmetic, not an unsigned wrap-around.
    ASSERT_TRUE(YCbCr10(QiImageCoder::Rec2020, 0, 0, 0, y, cb, cr));
    EXPECT_EQ(y, 0);
    EXPECT_EQ(cr, 512);
    for (auto m : {QiImageCoder::Rec601Compressed, QiImageCoder::Rec709Compressed,
                   QiImageCoder::Rec2020Compressed}) {
        y = cb = cr = -7;
        EXPECT_FALSE(YCbCr10(m, 940, 940, 940, y, cb, cr));
        EXPECT_EQ(y, -7);
        EXPECT_EQ(cb, -7);
        int out[4] = {-7, -7, -7, -7};
        const int in[6] = {940, 940, 940, 64, 64, 64};
        EXPECT_FALSE(rgbTo422_10(out, m, in));
        EXPECT_EQ(out[0], -7);
    }
    int out[4];
    const int in[6] = {940, 64, 64, 64, 64, 940}; // red then blue: chroma from the first pixel
    ASSERT_TRUE(rgbTo422_10(out, QiImageCoder::Rec709, in));
    int ry, rcb, rcr, by, bcb, bcr;
    YCbCr10(QiImageCoder::Rec709, 940, 64, 64, ry, rcb, rcr);
    YCbCr10(QiImageCoder::Rec709, 64, 64, 940, by, bcb, bcr);
    EXPECT_EQ(out[0], ry);
    EXPECT_EQ(out[1], rcb);
    EXPECT_EQ(out[2], by);
    EXPECT_EQ(out[3], rcr);
}

namespace {

// The ITU-R ideal of one colour at `outBits`, held to the code range. The full
// matrices read the components (at `bits`, shifted to the output depth) as
// video-range codes, the compressed ones read them as full range.
Sample idealCodes(QiImageCoder::ColorMatrix m, const unsigned code[3], int bits, int outBits) {
    const double kr[3] = {0.299, 0.2126, 0.2627}, kb[3] = {0.114, 0.0722, 0.0593};
    const double r = kr[m / 2], b = kb[m / 2];
    const double unit = std::ldexp(1.0, outBits - 8);
    double e[3];
    for (int i = 0; i < 3; ++i) {
        if (m & 1) {
            e[i] = code[i] / (std::ldexp(1.0, bits) - 1);
        } else {
            const double u = std::ldexp(code[i], outBits - bits);
            e[i] = (std::floor(u) - 16 * unit) / (219 * unit);
        }
    }
    const double y = r * e[0] + (1 - r - b) * e[1] + b * e[2];
    auto code8 = [&](double v) {
        return static_cast<int>(std::lround(std::min(std::max(v, 0.0), 2 * 128 * unit - 1)));
    };
    return {code8(16 * unit + 219 * unit * y),
            code8(128 * unit + 224 * unit * (e[2] - y) / (2 - 2 * b)),
            code8(16 * unit + 219 * unit * y),
            code8(128 * unit + 224 * unit * (e[0] - y) / (2 - 2 * r))};
}

} // namespace

// Every matrix at 8 and 10 bits: black, white, the primaries and the
// secondaries, at full and at video range, read back as Y/Cb/Cr from 4:2:2
// 8-bit (and the luma of 4:2:2 12-bit) and from v210 by either path, land
// within one code of their ideal. Full-range black and white under a
// compressed matrix land exactly on video black and white.
TEST(QiImageCoder, EveryMatrixGivesTheIdealCodes) {
    const int colours[8][3] = {{0, 0, 0}, {1, 1, 1}, {1, 0, 0}, {0, 1, 0},
                               {0, 0, 1}, {1, 1, 0}, {0, 1, 1}, {1, 0, 1}};
    for (int bits : {8, 10})
        for (auto m : kAllMatrices)
            for (bool fullRange : {true, false})
                for (const auto& c : colours) {
                    const unsigned lo = fullRange ? 0 : 16u << (bits - 8);
                    const unsigned hi = fullRange ? (1u << bits) - 1 : 235u << (bits - 8);
                    const unsigned code[3] = {c[0] ? hi : lo, c[1] ? hi : lo, c[2] ? hi : lo};
                    const bool exact = (m & 1) && fullRange && c[0] == c[1] && c[1] == c[2];
                    const int tolAll = exact ? 0 : 1;
                    QiImage img(6, 1, bits);
                    img.clear(rgb(bits, code[0], code[1], code[2]));
                    QiImageCoder coder(&img);
                    coder.setColorMatrix(m);
                    auto check = [&](const char* path, int outBits, Sample got) {
                        const Sample want = idealCodes(m, code, bits, outBits);
                        // Video-range 8-bit codes through a full matrix land
                        // exactly: negative chroma rounds to nearest too.
                        const int tol =
                            !(m & 1) && !fullRange && bits == 8 && outBits == 8 ? 0 : tolAll;
                        EXPECT_NEAR(got.y0, want.y0, tol);
                        EXPECT_NEAR(got.cb, want.cb, tol);
                        EXPECT_NEAR(got.y1, want.y1, tol);
                        EXPECT_NEAR(got.cr, want.cr, tol);
                        if (exact) {
                            EXPECT_EQ(got.y0, (c[0] ? 235 : 16) << (outBits - 8));
                        }
                        if (::testing::Test::HasFailure()) {
                            ADD_FAILURE() << path << " bits " << bits << " matrix " << m
                                          << (fullRange ? " full" : " video") << " colour " << c[0]
                                          << c[1] << c[2];
                            return false;
                        }
                        return true;
                    };
                    const uint8_t order[4] = {0, 1, 2, 3};
                    uint16_t w8[6];
                    coder.to_422_8(w8, order);
                    const uint8_t* b = reinterpret_cast<const uint8_t*>(w8);
                    if (!check("422_8", 8, {b[1], b[0], b[3], b[2]})) return;
                    for (bool tenBit : {false, true}) {
                        uint32_t w[4];
                        coder.to_v210(w, tenBit);
                        const Group g = decodeGroup(w);
                        if (!check(tenBit ? "v210 tenBit" : "v210", 10,
                                   {g.y[0], g.cb[0], g.y[1], g.cr[0]}))
                            return;
                    }
                    uint32_t w16[6];
                    coder.to_422_16(w16, order);
                    const int y16 = static_cast<int>(w16[0] >> 12);
                    const Sample want16 = idealCodes(m, code, bits, 12);
                    EXPECT_NEAR(y16, want16.y0, tolAll);
                    if (exact) {
                        EXPECT_EQ(y16, (c[0] ? 235 : 16) << 4);
                    }
                }
}

TEST(QiImageCoder, GatingIsACodeValueBeforeTheDepthStep) {
    QiImage img(4, 1, 10);
    img.clear(rgb(10, 1000, 500, 3));
    QiImageCoder coder(&img);
    coder.setColorGating(7, 70, 70, 70);
    uint8_t mask;
    unsigned g0, g1, g2;
    EXPECT_EQ(coder.getColorGating(mask, g0, g1, g2), 0);
    EXPECT_EQ(mask, 7);
    EXPECT_EQ(g0, 70);

    uint32_t w[4];
    coder.to_RGB10(w, 0, 1, 2, true, false);
    for (uint32_t v : w)
        EXPECT_EQ(v, 0xC0000000u | 70u | 70u << 10 | 70u << 20);
    coder.to_RGB8_32(w, 0, 1, 2, 3);
    for (uint32_t v : w)
        EXPECT_EQ(v, 0xFF111111u); // 70 >> 2 = 17

    // A gate keeps the image's depth; one above the largest code is held there.
    coder.setColorGating(3, 940, 5000, 0);
    coder.getColorGating(mask, g0, g1, g2);
    EXPECT_EQ(g1, 1023u);
    coder.to_RGB10(w, 0, 1, 2, true, false);
    EXPECT_EQ(w[0], 0xC0000000u | 940u | 1023u << 10 | 3u << 20);

    // Only the gated component is replaced; on an 8-bit image the 10-bit
    // output shifts the gate up.
    QiImage img8(2, 1, 8);
    img8.clear(rgb(8, 200, 100, 50));
    QiImageCoder coder8(&img8);
    coder8.setColorGating(2, 0, 70, 0);
    coder8.to_RGB10(w, 0, 1, 2, true, false);
    EXPECT_EQ(w[0], 0xC0000000u | 800u | 280u << 10 | 200u << 20);
}

TEST(QiImageCoder, RgbLayoutsPlaceEveryComponent) {
    QiImage img(2, 1, 10);
    img.setPixel(0, 0, rgb(10, 1023, 1023, 1023));
    img.setPixel(1, 0, rgb(10, 0x3FC, 0x204, 0x00C)); // 8-bit 255, 129, 3
    QiImageCoder coder(&img);

    // White, DPX order, big-endian: FF FF FF FC in memory.
    uint32_t w[2];
    coder.to_RGB10(w, 0, 1, 2, false, true);
    const uint8_t* bytes = reinterpret_cast<const uint8_t*>(w);
    EXPECT_EQ(bytes[0], 0xFF);
    EXPECT_EQ(bytes[1], 0xFF);
    EXPECT_EQ(bytes[2], 0xFF);
    EXPECT_EQ(bytes[3], 0xFC);
    // DPX puts position 0 at the top: R 0x3FC, G 0x204, B 0x00C.
    coder.to_RGB10(w, 0, 1, 2, true, true);
    EXPECT_EQ(w[1], 0x3FCu << 22 | 0x204u << 12 | 0x00Cu << 2);
    coder.to_RGB10(w, 2, 1, 0, true, false);
    EXPECT_EQ(w[1], 0xC0000000u | 0x3FCu << 20 | 0x204u << 10 | 0x00Cu);

    coder.to_RGB8_32(w, 2, 1, 0, 3); // B, G, R, A in memory
    EXPECT_EQ(bytes[4], 3);
    EXPECT_EQ(bytes[5], 129);
    EXPECT_EQ(bytes[6], 255);
    EXPECT_EQ(bytes[7], 255);

    uint8_t b24[7];
    b24[6] = 0x5A;
    coder.to_RGB8_24(b24, 2, 1, 0);
    EXPECT_EQ(b24[3], 3);
    EXPECT_EQ(b24[4], 129);
    EXPECT_EQ(b24[5], 255);
    EXPECT_EQ(b24[6], 0x5A);
}

TEST(QiImageCoder, Ycbcr422_8BlackPairAndOrders) {
    QiImage img(2, 1, 8);
    img.clear(img.makeGrey(16));
    QiImageCoder coder(&img);
    coder.setColorMatrix(QiImageCoder::Rec709);
    EXPECT_EQ(coder.getColorMatrix(), QiImageCoder::Rec709);
    uint16_t w[2];
    const uint8_t cbY[4] = {0, 1, 2, 3};
    coder.to_422_8(w, cbY);
    const uint8_t* b = reinterpret_cast<const uint8_t*>(w);
    EXPECT_EQ(std::vector<int>(b, b + 4), (std::vector<int>{128, 16, 128, 16}));

    img.setPixel(0, 0, rgb(8, 235, 235, 235));
    const uint8_t yCb[4] = {1, 0, 3, 2};
    coder.to_422_8(w, yCb);
    EXPECT_EQ(std::vector<int>(b, b + 4), (std::vector<int>{235, 128, 16, 128})); // Y0 Cb Y1 Cr

    // Saturated colours clamp to the byte.
    img.setPixel(0, 0, rgb(8, 0, 0, 255));
    img.setPixel(1, 0, rgb(8, 0, 0, 255));
    coder.setColorMatrix(QiImageCoder::Rec601);
    coder.to_422_8(w, cbY);
    EXPECT_EQ(b[0], 255); // Cb of full-range blue would be 128 + 122
}

TEST(QiImageCoder, Ycbcr422_8OddWidthStaysInsideTheRow) {
    for (int width : {1, 3, 5, 1919}) {
        QiImage img(width, 2, 10);
        img.clear(rgb(10, 940, 64, 64));
        img.setPixel(width - 1, 0, rgb(10, 64, 64, 940));
        QiImageCoder coder(&img);
        // Exactly two rows: AddressSanitizer sees any write past the buffer.
        std::vector<uint16_t> out(static_cast<size_t>(width) * 2, 0xBEEF);
        const uint8_t order[4] = {0, 1, 2, 3};
        coder.to_422_8(out.data(), order);
        // The last (lone) pixel is paired with itself: its own chroma.
        CoderFrame f;
        std::memcpy(f.order, order, 4);
        qicoder::prepare(f, coder, Layout::YCbCr422_8);
        uint16_t lone[2];
        const uint64_t blue[2] = {rgb(10, 64, 64, 940), rgb(10, 64, 64, 940)};
        qicoder::to422_8Row_Scalar(f, blue, 2, lone);
        EXPECT_EQ(out[static_cast<size_t>(width) - 1], lone[0]) << width;
        for (uint16_t v : out)
            EXPECT_NE(v, 0xBEEF) << width;
    }
}

TEST(QiImageCoder, V210RowStridesAndLastGroupPadding) {
    // 1920 pixels: 40 whole blocks, 5120 bytes, every word written.
    {
        QiImage img(1920, 1, 10);
        img.clear(img.makeGrey(940));
        QiImageCoder coder(&img);
        std::vector<uint32_t> out(qicoder::v210RowWords(1920), kCanary32);
        EXPECT_EQ(out.size() * 4, 5120u);
        coder.to_v210(out.data(), true);
        for (uint32_t v : out) {
            EXPECT_NE(v, kCanary32);
            EXPECT_EQ(v >> 30, 0u);
        }
    }
    // 1280 pixels: stride 27 blocks (3456 bytes); 214 groups written, the last
    // holding pixels 1278, 1279, 1279, 1279, 1279, 1279; the rest untouched.
    QiImage img(1280, 2, 10);
    for (int y = 0; y < 2; ++y)
        for (int x = 0; x < 1280; ++x)
            img.setPixel(x, y, rgb(10, 64 + static_cast<unsigned>(x) % 800, 500, 100));
    QiImageCoder coder(&img);
    const unsigned stride = qicoder::v210RowWords(1280);
    ASSERT_EQ(stride * 4, 3456u);
    std::vector<uint32_t> out(stride * 2, kCanary32);
    coder.to_v210(out.data(), true);
    for (int y = 0; y < 2; ++y) {
        const uint32_t* row = out.data() + y * stride;
        for (unsigned i = 0; i < 214 * 4; ++i)
            EXPECT_NE(row[i], kCanary32) << i;
        for (unsigned i = 214 * 4; i < stride; ++i)
            EXPECT_EQ(row[i], kCanary32) << i;
        Group g = decodeGroup(row + 213 * 4);
        int in[6] = {64 + 1278 % 800, 500, 100, 64 + 1279 % 800, 500, 100};
        int first[4], rest[4];
        rgbTo422_10(first, QiImageCoder::Rec709, in);
        int in2[6] = {in[3], 500, 100, in[3], 500, 100};
        rgbTo422_10(rest, QiImageCoder::Rec709, in2);
        EXPECT_EQ(g.y[0], first[0]);
        EXPECT_EQ(g.y[1], first[2]);
        EXPECT_EQ(g.cr[0], first[3]);
        for (int i = 2; i < 6; ++i)
            EXPECT_EQ(g.y[i], rest[0]);
        EXPECT_EQ(g.cb[1], rest[1]);
        EXPECT_EQ(g.cr[2], rest[3]);
    }
}

// Saturated and out-of-range colours must never spill into the neighbouring
// 10-bit field: every sample is clamped to 0..1023 on its own.
TEST(QiImageCoder, V210SamplesAreClampedToTheirField) {
    const unsigned colours[][3] = {{1023, 0, 0},       {0, 1023, 0},    {0, 0, 1023},
                                   {1023, 1023, 0},    {0, 1023, 1023}, {1023, 0, 1023},
                                   {1023, 1023, 1023}, {0, 0, 0}};
    for (auto m : kAllMatrices)
        for (bool tenBit : {true, false})
            for (const auto& c : colours) {
                QiImage img(6, 1, 10);
                img.clear(rgb(10, c[0], c[1], c[2]));
                QiImageCoder coder(&img);
                coder.setColorMatrix(m);
                uint32_t w[4];
                coder.to_v210(w, tenBit);
                for (uint32_t v : w)
                    EXPECT_EQ(v >> 30, 0u);
                Group g = decodeGroup(w);
                int expect[4];
                const int in[6] = {int(c[0]), int(c[1]), int(c[2]),
                                   int(c[0]), int(c[1]), int(c[2])};
                if (!(tenBit && rgbTo422_10(expect, m, in))) {
                    if (m & 1)
                        rgbTo422FullRange(expect, getMatrix(m), in, fullRangeScale(10, 10), 10);
                    else
                        rgbTo422(expect, getMatrix(m), in);
                    expect[1] += 512;
                    expect[3] += 512;
                }
                for (int& e : expect)
                    e = std::min(std::max(e, 0), 1023);
                EXPECT_EQ(g.y[0], expect[0]);
                EXPECT_EQ(g.cb[0], expect[1]);
                EXPECT_EQ(g.cr[0], expect[3]);
            }
    // The case that used to give Cr 1035 and carry into bit 30.
    QiImage img(6, 1, 10);
    img.clear(rgb(10, 1023, 0, 0));
    QiImageCoder coder(&img);
    uint32_t w[4];
    coder.to_v210(w, true);
    EXPECT_EQ(decodeGroup(w).cr[0], 1023);
    EXPECT_EQ(w[0] >> 30, 0u);
}

// With tenBit and a compressed matrix there are no 10-bit formulas; the pair
// goes through the compressed matrix instead, so every word is defined.
TEST(QiImageCoder, V210TenBitUnderCompressedMatrixUsesTheMatrixPath) {
    QiImage img(7, 1, 10);
    for (int x = 0; x < 7; ++x)
        img.setPixel(x, 0, rgb(10, 100u * x, 1023 - 90u * x, 512));
    QiImageCoder coder(&img);
    coder.setColorMatrix(QiImageCoder::Rec709Compressed);
    std::vector<uint32_t> a(32, 0u), b(32, 0xFFFFFFFFu), c(32, 0u);
    coder.to_v210(a.data(), true);
    coder.to_v210(b.data(), true);
    coder.to_v210(c.data(), false);
    for (int i = 0; i < 8; ++i) {
        EXPECT_EQ(a[i], b[i]) << i;
        EXPECT_EQ(a[i], c[i]) << i;
    }
}

TEST(QiImageCoder, Ycbcr422_16MidScaleChroma) {
    QiImage img(3, 1, 10);
    img.clear(img.makeGrey(1023));
    QiImageCoder coder(&img);
    std::vector<uint32_t> w(3, kCanary32);
    const uint8_t order[4] = {1, 0, 3, 2};
    coder.to_422_16(w.data(), order);
    int v[4];
    const int in[6] = {4092, 4092, 4092, 4092, 4092, 4092};
    rgbTo422(v, getMatrix(QiImageCoder::Rec709), in);
    EXPECT_EQ(w[0], 2048u << 12 | static_cast<uint32_t>(v[0]));
    EXPECT_EQ(w[2], 2048u << 12 | static_cast<uint32_t>(v[0])); // odd width: first word only
}

// ---------------------------------------------------------------------------
// Fast row coders against the reference, byte for byte.

namespace {

struct Variant {
    int bits;
    uint8_t gating;
    QiImageCoder::ColorMatrix matrix;
    bool tenBit;
    bool dpx;
    bool hostOrder;
};

// Random pixels, with every code value 0..mask reached across the widths.
std::vector<uint64_t> randomRow(std::mt19937& rng, int bits, int width) {
    std::vector<uint64_t> row(static_cast<size_t>(width));
    const unsigned mask = (1u << bits) - 1;
    std::uniform_int_distribution<unsigned> code(0, mask);
    std::uniform_int_distribution<int> kind(0, 3);
    for (auto& p : row) {
        unsigned r = code(rng), g = code(rng), b = code(rng);
        if (kind(rng) == 0) r = (r & 1) ? mask : 0, b = (b & 1) ? mask : 0; // saturated
        // Garbage above the three components must be ignored.
        p = rgb(bits, r, g, b) | uint64_t(code(rng)) << (3 * bits);
    }
    return row;
}

template <class T, class Fn>
void compareRows(const char* name, const Variant& v, const CoderFrame& f, Fn fast, Fn scalar,
                 const std::vector<uint64_t>& src, size_t elems) {
    const int width = static_cast<int>(src.size());
    // Destinations of exactly the row's size, pre-filled with a canary.
    auto a = std::make_unique<T[]>(elems), b = std::make_unique<T[]>(elems);
    std::memset(a.get(), 0xA5, elems * sizeof(T));
    std::memset(b.get(), 0xA5, elems * sizeof(T));
    fast(f, src.data(), width, a.get());
    scalar(f, src.data(), width, b.get());
    ASSERT_EQ(std::memcmp(a.get(), b.get(), elems * sizeof(T)), 0)
        << name << " width " << width << " bits " << v.bits << " gating " << int(v.gating)
        << " matrix " << v.matrix << " tenBit " << v.tenBit;
}

} // namespace

TEST(QiImageCoderRows, FastPathsMatchTheReferenceOnRandomRows) {
    std::mt19937 rng(12345);
    std::vector<Variant> variants;
    for (int bits : {8, 9, 10})
        for (uint8_t gating : {0, 2, 5})
            for (auto m : kAllMatrices)
                for (bool tenBit : {false, true})
                    variants.push_back({bits, gating, m, tenBit, tenBit, !tenBit});
    QiImage dummy(1, 1, 10);
    for (const Variant& v : variants) {
        dummy.bits = v.bits;
        QiImageCoder coder(&dummy);
        coder.setColorGating(v.gating, 255, 70, 1);
        coder.setColorMatrix(v.matrix);
        for (int width = 1; width <= 130; ++width) {
            const auto src = randomRow(rng, v.bits, width);
            const size_t w = static_cast<size_t>(width);
            CoderFrame f;
            f.pos[0] = 2, f.pos[1] = 0, f.pos[2] = 1, f.pos[3] = 3;
            f.dpx = v.dpx;
            f.hostOrder = v.hostOrder;
            f.tenBit = v.tenBit;
            const uint8_t order[4] = {1, 0, 3, 2};
            std::memcpy(f.order, order, 4);

            qicoder::prepare(f, coder, Layout::RGB8_32);
            ASSERT_TRUE(f.fastOk);
            compareRows<uint32_t>("RGB8_32", v, f, qicoder::toRGB8_32Row_Fast,
                                  qicoder::toRGB8_32Row_Scalar, src, w);
            qicoder::prepare(f, coder, Layout::RGB8_24);
            compareRows<uint8_t>("RGB8_24", v, f, qicoder::toRGB8_24Row_Fast,
                                 qicoder::toRGB8_24Row_Scalar, src, w * 3);
            qicoder::prepare(f, coder, Layout::RGB10);
            compareRows<uint32_t>("RGB10", v, f, qicoder::toRGB10Row_Fast,
                                  qicoder::toRGB10Row_Scalar, src, w);
            qicoder::prepare(f, coder, Layout::YCbCr422_8);
            compareRows<uint16_t>("422_8", v, f, qicoder::to422_8Row_Fast,
                                  qicoder::to422_8Row_Scalar, src, w);
            qicoder::prepare(f, coder, Layout::V210);
            const size_t words = qicoder::v210RowWords(width);
            compareRows<uint32_t>("v210", v, f, qicoder::toV210Row_Fast, qicoder::toV210Row_Scalar,
                                  src, words);
            // Past the last group the stride is left alone.
            auto out = std::make_unique<uint32_t[]>(words);
            std::fill(out.get(), out.get() + words, kCanary32);
            qicoder::toV210Row_Fast(f, src.data(), width, out.get());
            const size_t written = static_cast<size_t>((width + 5) / 6) * 4;
            for (size_t i = written; i < words; ++i)
                ASSERT_EQ(out[i], kCanary32) << width;
        }
    }
}

TEST(QiImageCoderRows, EveryTenBitCodeMatchesTheReference) {
    QiImage dummy(1, 1, 10);
    std::vector<uint64_t> src(1024);
    for (unsigned i = 0; i < 1024; ++i)
        src[i] = rgb(10, i, (i * 7) & 1023, 1023 - i);
    for (auto m : kAllMatrices)
        for (bool tenBit : {false, true}) {
            QiImageCoder coder(&dummy);
            coder.setColorMatrix(m);
            CoderFrame f;
            f.tenBit = tenBit;
            Variant v{10, 0, m, tenBit, false, true};
            qicoder::prepare(f, coder, Layout::V210);
            compareRows<uint32_t>("v210", v, f, qicoder::toV210Row_Fast, qicoder::toV210Row_Scalar,
                                  src, qicoder::v210RowWords(1024));
            qicoder::prepare(f, coder, Layout::YCbCr422_8);
            compareRows<uint16_t>("422_8", v, f, qicoder::to422_8Row_Fast,
                                  qicoder::to422_8Row_Scalar, src, 1024);
        }
}

// Whole frames, small ones and ones split into bands on the thread pool, give
// the same bytes as the reference rows one after the other: random rows, runs of
// equal rows (whose output the fast path copies), rows equal but for their
// last pixel, rows equal to one far above (or but for one pixel) and rows of bars (whose runs the
// fast path converts once); every width from 1 to 130, an odd size and one UHD frame.
TEST(QiImageCoder, BandedFramesMatchTheReferenceRows) {
    struct Size {
        int w, h;
    };
    std::vector<Size> sizes;
    for (int w = 1; w <= 130; ++w)
        sizes.push_back({w, 8}); // every kind of row at every width
    sizes.push_back({1001, 97});
    sizes.push_back({3840, 2160});
    for (const Size size : sizes) {
        const int w = size.w, h = size.h;
        QiImage img(w, h, 10);
        std::mt19937 rng(7);
        for (int y = 0; y < h; ++y) {
            uint64_t* row = img.pixels + static_cast<size_t>(y) * w;
            const int kind = y % 7;
            if (y > 0 && (kind == 1 || kind == 2 || kind == 4)) {
                std::memcpy(row, row - w, w * sizeof(uint64_t));
                if (kind == 4) row[w - 1] ^= 1;
            } else if (y > 0 && kind == 6) {
                // A row far above (a pattern mirrored about its middle row), every other time
                // with one pixel off.
                std::memcpy(row, img.pixels + static_cast<size_t>(y / 2) * w, w * sizeof(uint64_t));
                if (y % 14 == 6) row[(y * 7919) % w] ^= 1;
            } else if (kind == 3 || kind == 5) {
                // Bars of 1 .. 60 pixels (runs of every length about the threshold), and for
                // kind 5 single pixels of another colour inside them.
                auto colours = randomRow(rng, 10, 8);
                std::uniform_int_distribution<int> length(1, 60), pick(0, 7), dot(0, 40);
                for (int x = 0; x < w;) {
                    const int n = std::min(length(rng), w - x);
                    std::fill(row + x, row + x + n, colours[static_cast<size_t>(pick(rng))]);
                    x += n;
                }
                if (kind == 5)
                    for (int x = 0; x < w; ++x)
                        if (dot(rng) == 0) row[x] = colours[static_cast<size_t>(pick(rng))];
            } else {
                auto random = randomRow(rng, 10, w);
                std::memcpy(row, random.data(), w * sizeof(uint64_t));
            }
        }
        QiImageCoder coder(&img);
        coder.setColorGating(4, 0, 0, 33);
        coder.setColorMatrix(QiImageCoder::Rec2020);

        auto rowsOf = [&](Layout layout, size_t rowElems, auto scalar, auto* tag,
                          const CoderFrame& base) {
            using T = std::remove_pointer_t<decltype(tag)>;
            auto f = std::make_unique<CoderFrame>(base);
            qicoder::prepare(*f, coder, layout);
            std::vector<T> out(rowElems * h, T(0x5A));
            for (int y = 0; y < h; ++y)
                scalar(*f, img.pixels + static_cast<size_t>(y) * w, w, out.data() + y * rowElems);
            return out;
        };
        auto f = std::make_unique<CoderFrame>();
        f->tenBit = true;
        const unsigned stride = qicoder::v210RowWords(w);
        std::vector<uint32_t> v210(stride * h, 0x5Au);
        coder.to_v210(v210.data(), true);
        EXPECT_EQ(v210,
                  rowsOf(Layout::V210, stride, qicoder::toV210Row_Scalar, (uint32_t*)nullptr, *f));
        // And through the matrix, as the patterns send it.
        f->tenBit = false;
        coder.to_v210(v210.data(), false);
        EXPECT_EQ(v210,
                  rowsOf(Layout::V210, stride, qicoder::toV210Row_Scalar, (uint32_t*)nullptr, *f));
        if (w > 2000) continue; // the UHD frame checks the layout that is its main use

        const uint8_t order[4] = {0, 1, 2, 3};
        std::memcpy(f->order, order, 4);
        std::vector<uint16_t> y8(static_cast<size_t>(w) * h, 0x5A);
        coder.to_422_8(y8.data(), order);
        EXPECT_EQ(
            y8, rowsOf(Layout::YCbCr422_8, w, qicoder::to422_8Row_Scalar, (uint16_t*)nullptr, *f));

        f->pos[0] = 2, f->pos[1] = 1, f->pos[2] = 0, f->pos[3] = 3;
        std::vector<uint32_t> rgb8(static_cast<size_t>(w) * h, 0x5A);
        coder.to_RGB8_32(rgb8.data(), 2, 1, 0, 3);
        EXPECT_EQ(rgb8,
                  rowsOf(Layout::RGB8_32, w, qicoder::toRGB8_32Row_Scalar, (uint32_t*)nullptr, *f));

        std::vector<uint8_t> rgb24(static_cast<size_t>(w) * h * 3, 0x5A);
        coder.to_RGB8_24(rgb24.data(), 2, 1, 0);
        f->pos[0] = 2, f->pos[1] = 1, f->pos[2] = 0;
        EXPECT_EQ(rgb24, rowsOf(Layout::RGB8_24, size_t(w) * 3, qicoder::toRGB8_24Row_Scalar,
                                (uint8_t*)nullptr, *f));

        f->pos[0] = 0, f->pos[1] = 1, f->pos[2] = 2, f->dpx = true, f->hostOrder = false;
        std::vector<uint32_t> rgb10(static_cast<size_t>(w) * h, 0x5A);
        coder.to_RGB10(rgb10.data(), 0, 1, 2, false, true);
        EXPECT_EQ(rgb10,
                  rowsOf(Layout::RGB10, w, qicoder::toRGB10Row_Scalar, (uint32_t*)nullptr, *f));
    }
}
