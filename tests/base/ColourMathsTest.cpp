// Fixed-point and colour-space maths: the exact Fixed rules, the global spaces' matrices to the
// bit, and defined results at the singular points.
#include "TRgbSpace.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

namespace {

Fixed raw(int32_t v) {
    return Fixed::fromRaw(v);
}

void expectRaw(const TVec3<Fixed>& v, int32_t a, int32_t b, int32_t c) {
    EXPECT_EQ(v[0].v, a);
    EXPECT_EQ(v[1].v, b);
    EXPECT_EQ(v[2].v, c);
}

} // namespace

TEST(Fixed, ConversionsTruncateTowardZero) {
    EXPECT_EQ(Fixed(0.3291).v, 21567);
    EXPECT_EQ(Fixed(-0.3291).v, -21567);
    EXPECT_EQ(Fixed(2.2).v, 144179);
    EXPECT_EQ(Fixed(1).v, 65536);
    EXPECT_FLOAT_EQ(raw(98304).toFloat(), 1.5f);
    // Single precision on the way out: above 256 the low bits are lost.
    EXPECT_EQ(static_cast<double>(raw(0x7FFFFFFF)), 32768.0);
}

TEST(Fixed, ArithmeticRounding) {
    EXPECT_EQ((raw(-1) * raw(1)).v, -1); // toward minus infinity, not 0
    EXPECT_EQ((raw(1) * raw(1)).v, 0);
    EXPECT_EQ((Fixed(1.5) * Fixed(-2.0)).v, -3 * 65536);
    EXPECT_EQ((Fixed(1.0) / Fixed(3.0)).v, 21845);
    EXPECT_EQ((Fixed(-1.0) / Fixed(3.0)).v, -21846); // quotient truncated, then shifted
    EXPECT_EQ((raw(INT32_MAX) + raw(1)).v, INT32_MIN);
    EXPECT_EQ((-raw(INT32_MIN)).v, INT32_MIN);
    EXPECT_EQ(max(raw(-3), raw(2)).v, 2);
    EXPECT_EQ(min(raw(-3), raw(2)).v, -3);
}

TEST(Fixed, NoTrapOnDivisionByZeroOrOutOfRangeValues) {
    EXPECT_EQ((Fixed(2.0) / Fixed()).v, INT32_MAX);
    EXPECT_EQ((Fixed(-2.0) / Fixed()).v, INT32_MIN);
    EXPECT_EQ((Fixed() / Fixed()).v, 0);
    EXPECT_EQ((raw(INT32_MIN) / raw(-1)).v, 0); // 2^47, low 32 bits
    EXPECT_EQ(Fixed(std::numeric_limits<double>::quiet_NaN()).v, 0);
    EXPECT_EQ(Fixed(1e12).v, INT32_MAX);
    EXPECT_EQ(Fixed(-std::numeric_limits<double>::infinity()).v, INT32_MIN);
}

TEST(Fixed, DivisorAndQuickDivisionGiveTheQuotientsOfDivision) {
    // Every sign and magnitude of divisor, dividends on both sides of the reciprocal's limit
    // (2^20), and the quotients next to every whole number of a small divisor.
    std::vector<int32_t> divisors = {0,      1,         -1,        2,         3,
                                     7,      65536,     -65536,    21845,     1 << 20,
                                     -99991, INT32_MAX, INT32_MIN, 123456789, -5};
    std::vector<int32_t> dividends = {0,       1,          -1,        (1 << 20) - 1, -(1 << 20) + 1,
                                      1 << 20, -(1 << 20), INT32_MAX, INT32_MIN,     65536,
                                      -65536};
    uint64_t state = 7;
    auto next = [&] {
        state = state * 6364136223846793005ull + 1442695040888963407ull;
        return static_cast<int32_t>(static_cast<uint32_t>(state >> 32) >> (state >> 59));
    };
    for (int i = 0; i < 300; ++i) {
        divisors.push_back(next());
        dividends.push_back(next());
    }
    for (int32_t d : divisors) {
        const FixedDivisor divisor(raw(d));
        auto check = [&](int32_t a) {
            const int32_t exact = (raw(a) / raw(d)).v;
            ASSERT_EQ(exact, divisor.divide(raw(a)).v) << a << " / " << d;
            ASSERT_EQ(exact, quickDivide(raw(a), raw(d)).v) << a << " / " << d;
        };
        for (int32_t a : dividends)
            check(a);
        for (int32_t a = -3000; a <= 3000; ++a)
            check(a);
        // Dividends whose quotient is whole, and one below: exactly on and just off the line.
        if (d > 0 && d < 1 << 16)
            for (int32_t k = 1; k < 16; ++k) {
                const int64_t a = int64_t(d) * k; // a * 2^16 / d = k * 2^16
                if (a < (1 << 20)) {
                    check(static_cast<int32_t>(a));
                    check(static_cast<int32_t>(a - 1));
                }
            }
    }
}

TEST(ColourMaths, GlobalChromaticitiesInFixed) {
    expectRaw(FD65, 20493, 21567, 65536);
    expectRaw(FD50, 22653, 23494, 65536);
    expectRaw(FRed_601, 41287, 22282, 13919);
    expectRaw(FGreen_601, 20316, 38993, 45943);
    expectRaw(FBlue_601, 10158, 4587, 5672);
    expectRaw(FRed_709, 41943, 21626, 13936);
    expectRaw(FGreen_709, 19660, 39321, 46868);
    expectRaw(FBlue_709, 9830, 3932, 4730);
    EXPECT_EQ(FRec709.gammaProvider->gamma().v, 144179);
    EXPECT_STREQ(FRec709.name, "FRec709");
    EXPECT_STREQ(DRec601.name, "DRec601");
}

TEST(ColourMaths, FixedSpacesToTheBit) {
    expectRaw(FRec709.xyzToRgb.vecMult(FRec709.wXYZ), 65538, 65536, 65528);
    expectRaw(FRec601.xyzToRgb.vecMult(FRec601.wXYZ), 65538, 65537, 65530);
    const TMx3<Fixed>& m = FRec709.rgbToXyz;
    expectRaw(TVec3<Fixed>(m.m[0], m.m[1], m.m[2]), 27015, 13929, 1266);
}

TEST(ColourMaths, Rec709MatrixAndSecondaries) {
    // ITU-R BT.709 RGB to XYZ under D65 (to the white's y of 0.3291): the rows are the scaled
    // primaries, and RGB white maps to the white point.
    const double want[9] = {0.4124, 0.2126, 0.0193, 0.3576, 0.7152, 0.1192, 0.1805, 0.0722, 0.9505};
    for (int i = 0; i < 9; ++i)
        EXPECT_NEAR(Rec709.rgbToXyz.m[i], want[i], 1e-3) << i;
    const TVec3<double> white = Rec709.rgbToXyz.vecMult(TVec3<double>(1, 1, 1));
    for (int i = 0; i < 3; ++i)
        EXPECT_NEAR(white[i], Rec709.wXYZ[i], 1e-12) << i;
    const TMx3<double> id = Rec709.rgbToXyz.mxMult(Rec709.xyzToRgb);
    for (int i = 0; i < 9; ++i)
        EXPECT_NEAR(id.m[i], i % 4 == 0 ? 1.0 : 0.0, 1e-12) << i;
    // Cyan sits on the green-blue edge and opposite red through white.
    const TCie_xyY<double>&c = Rec709.cxyY, &g = Green_709, &b = Blue_709, &r = Red_709;
    EXPECT_NEAR((c.y() - g.y()) * (b.x() - g.x()), (b.y() - g.y()) * (c.x() - g.x()), 1e-12);
    EXPECT_NEAR((c.y() - r.y()) * (D65.x() - r.x()), (D65.y() - r.y()) * (c.x() - r.x()), 1e-12);
    EXPECT_DOUBLE_EQ(c.Y(), g.Y() + b.Y());
    EXPECT_DOUBLE_EQ(Rec709.yXYZ.Y(), Red_709.Y() + Green_709.Y());
    // long double follows the same formulas.
    EXPECT_NEAR(static_cast<double>(DRec709.rgbToXyz.m[0]), Rec709.rgbToXyz.m[0], 1e-12);
}

TEST(ColourMaths, ToIntRoundsHalfAwayFromZeroWithoutClamping) {
    int r, g, b;
    TRgb<Fixed>(Fixed(1.0), Fixed(0.5), Fixed()).toInt(10, r, g, b);
    EXPECT_EQ(r, 1023);
    EXPECT_EQ(g, 512); // 511.5
    EXPECT_EQ(b, 0);
    TRgb<Fixed>(Fixed(-0.5), Fixed(1.5), Fixed(0.1)).toInt(8, r, g, b);
    EXPECT_EQ(r, -128); // -127.5
    EXPECT_EQ(g, 383);  // 382.5
    EXPECT_EQ(b, 25);
    // Depths beyond what a Fixed holds are limited to 15 bits rather than overflowing.
    TRgb<Fixed>(Fixed(1.0), Fixed(1.0), Fixed(1.0)).toInt(31, r, g, b);
    EXPECT_EQ(r, 32767);
    // The looked-up codes are toInt's at every depth, inside the table and about its ends.
    for (int bits : {-1, 0, 1, 8, 10, 12, 15, 16}) {
        const FixedCodeTable table(bits);
        auto check = [&](int32_t raw) {
            TRgb<Fixed>(Fixed::fromRaw(raw), Fixed(), Fixed()).toInt(bits, r, g, b);
            ASSERT_EQ(table.code(Fixed::fromRaw(raw)), r) << raw << " at " << bits << " bits";
        };
        for (int32_t raw = -70000; raw <= 140000; ++raw)
            check(raw);
        for (int32_t raw : {INT32_MIN, INT32_MIN + 1, INT32_MAX, INT32_MAX - 1})
            check(raw);
    }
}

TEST(ColourMaths, PowerLawTransfer) {
    const TPowGammaProvider<Fixed> two(Fixed(2.0));
    EXPECT_EQ(two.toLinear(Fixed(-0.5)).v, 0);
    EXPECT_EQ(two.toLinear(Fixed(0.5)).v, 16384);
    EXPECT_EQ(two.toNonLinear(Fixed(-0.25)).v, -32768);
    EXPECT_EQ(two.toNonLinear(Fixed(0.25)).v, 32768);
    const TPowGammaProvider<double> g22(2.2);
    EXPECT_DOUBLE_EQ(g22.toNonLinear(g22.toLinear(0.3)), 0.3);
    EXPECT_EQ(g22.toLinear(-1.0), 0.0);
}

// Degenerate input gives defined, finite results instead of traps or NaN.
TEST(ColourMaths, SingularPointsHaveDefinedResults) {
    const TCie_XYZ<double> fromZeroY(TCie_xyY<double>(0.3, 0.0, 1.0));
    EXPECT_EQ(fromZeroY.X(), 0.0);
    EXPECT_EQ(fromZeroY.Z(), 0.0);
    const TCie_XYZ<Fixed> fixedZeroY(TCie_xyY<Fixed>(Fixed(0.3), Fixed(), Fixed(1.0)));
    expectRaw(fixedZeroY, 0, 0, 0);

    TVec3<double> vertical, horizontal;
    lineEqCoeff(vertical, TCie_xyY<double>(0.2, 0.1, 1), TCie_xyY<double>(0.2, 0.7, 1));
    EXPECT_EQ(vertical[0], 1.0);
    EXPECT_EQ(vertical[1], 0.0);
    EXPECT_EQ(vertical[2], 0.2);
    lineEqCoeff(horizontal, TCie_xyY<double>(0.1, 0.4, 1), TCie_xyY<double>(0.6, 0.4, 1));
    double xy[2];
    ASSERT_TRUE(solveLinEq(xy, horizontal, vertical)); // a1 = 0: taken the other way round
    EXPECT_DOUBLE_EQ(xy[0], 0.2);
    EXPECT_DOUBLE_EQ(xy[1], 0.4);
    EXPECT_FALSE(solveLinEq(xy, horizontal, horizontal));
    EXPECT_EQ(xy[0], 0.0);

    const TMx3<double> singular(TVec3<double>(1, 2, 3), TVec3<double>(2, 4, 6),
                                TVec3<double>(0, 1, 1));
    for (double e : singular.inverse().m)
        EXPECT_EQ(e, 0.0);

    // Collinear primaries with one on the white point's vertical: no NaN anywhere.
    const TCie_xyY<double> red(0.3127, 0.2, 0.3), green(0.3127, 0.5, 0.6), blue(0.3127, 0.0, 0.1);
    const TRgbSpace<double> flat(red, green, blue, D65, 2.2, "flat");
    TRgb<double> rgb;
    flat.toLRGB(rgb, flat.wXYZ);
    for (double c : rgb.v)
        EXPECT_FALSE(std::isnan(c));
    for (double c : flat.cxyY.v)
        EXPECT_FALSE(std::isnan(c));
    const TRgbSpace<Fixed> flatFixed(TCie_xyY<Fixed>(Fixed(0.3), Fixed(0.2), Fixed(0.3)),
                                     TCie_xyY<Fixed>(Fixed(0.3), Fixed(0.5), Fixed(0.6)),
                                     TCie_xyY<Fixed>(Fixed(0.3), Fixed(), Fixed(0.1)), FD65,
                                     Fixed(2.2), "flat");
    EXPECT_EQ(flatFixed.xyzToRgb.vecMult(FD65)[0].v, 0);
}
