#include "QiFixed.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <limits>
#include <vector>

namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr FxLong kDeg = 65536;

double exactAngle(double y, double x) {
    return std::atan2(y, x) * 180.0 / kPi * 65536.0;
}

// The normalisation as a plain loop: double while the larger magnitude is below 2^27, halve while
// it is above 2^28.
int preNormLoop(FxLong& x, FxLong& y) {
    uint64_t ax = x < 0 ? 0 - static_cast<uint64_t>(x) : static_cast<uint64_t>(x);
    uint64_t ay = y < 0 ? 0 - static_cast<uint64_t>(y) : static_cast<uint64_t>(y);
    int e = 0;
    uint64_t& big = ax >= ay ? ax : ay;
    if (big == 0) return 0;
    while (big < 0x8000000u) {
        ax <<= 1;
        ay <<= 1;
        --e;
    }
    while (big > 0x10000000u) {
        ax >>= 1;
        ay >>= 1;
        ++e;
    }
    x = x < 0 ? -static_cast<FxLong>(ax) : static_cast<FxLong>(ax);
    y = y < 0 ? -static_cast<FxLong>(ay) : static_cast<FxLong>(ay);
    return e;
}

} // namespace

TEST(QiFixed, ArctangentTableIsTheRoundedAngles) {
    EXPECT_EQ(arctantab[0], std::lround(std::atan(2.0) * 180.0 / kPi * 65536.0));
    for (int i = 1; i < 24; ++i)
        EXPECT_EQ(arctantab[i],
                  std::lround(std::atan(std::ldexp(1.0, -(i - 1))) * 180.0 / kPi * 65536.0))
            << "entry " << i;
    EXPECT_EQ(arctantab[1], 45 * kDeg);
}

TEST(QiFixed, Atan2WorkedValues) {
    EXPECT_EQ(FxAtan2(0, 1), -1);
    EXPECT_EQ(FxAtan2(1, 0), 5898239);
    EXPECT_EQ(FxAtan2(0, -1), 11796479);
    EXPECT_EQ(FxAtan2(-1, 0), -5898239);
    EXPECT_EQ(FxAtan2(0, 0), 0);
    double below = exactAngle(4, 3) - static_cast<double>(FxAtan2(4, 3));
    EXPECT_GT(below, 0.0);
    EXPECT_LT(below, 2.0);
}

TEST(QiFixed, Atan2IsAccurateInEveryQuadrantAndAtAnyScale) {
    const FxLong scales[] = {1, 3, 1000, 1 << 20, FxLong(1) << 40};
    for (FxLong scale : scales)
        for (int deg = -179; deg <= 180; deg += 7) {
            double r = deg * kPi / 180.0;
            FxLong x = static_cast<FxLong>(std::llround(std::cos(r) * 1000.0)) * scale;
            FxLong y = static_cast<FxLong>(std::llround(std::sin(r) * 1000.0)) * scale;
            double err = static_cast<double>(FxAtan2(y, x)) - exactAngle(double(y), double(x));
            if (err > 180.0 * kDeg) err -= 360.0 * kDeg; // -180 and 180 are the same direction
            EXPECT_LT(std::fabs(err), 8.0) << "angle " << deg << " scale " << scale;
        }
    // The extremes of the range have a direction too.
    const FxLong lo = std::numeric_limits<FxLong>::min(), hi = std::numeric_limits<FxLong>::max();
    EXPECT_NEAR(FxAtan2(lo, 0), -90.0 * kDeg, 8);
    EXPECT_NEAR(FxAtan2(hi, hi), 45.0 * kDeg, 8);

    // Pixel offsets as far as the sector star's fast rows rely on it (8192): every offset near the
    // centre and a random sample beyond stay within 8 units, well inside their 64-unit margin.
    auto within8 = [&](FxLong x, FxLong y) {
        double err = static_cast<double>(FxAtan2(y, x)) - exactAngle(double(y), double(x));
        if (err > 180.0 * kDeg) err -= 360.0 * kDeg;
        if (err < -180.0 * kDeg) err += 360.0 * kDeg;
        return std::fabs(err) < 8.0;
    };
    for (FxLong y = -200; y <= 200; ++y)
        for (FxLong x = -200; x <= 200; ++x)
            if (x != 0 || y != 0) {
                ASSERT_TRUE(within8(x, y)) << x << "," << y;
            }
    uint64_t state = 99;
    for (int i = 0; i < 200000; ++i) {
        state = state * 6364136223846793005ull + 1442695040888963407ull;
        const FxLong x = static_cast<FxLong>(state >> 40) % 8193,
                     y = static_cast<FxLong>(state >> 20 & 0x3FFF);
        const FxLong sx = (state & 1) ? -x : x, sy = (state & 2) ? -(y % 8193) : y % 8193;
        if (sx != 0 || sy != 0) {
            ASSERT_TRUE(within8(sx, sy)) << sx << "," << sy;
        }
    }
}

TEST(QiFixed, PreNormMatchesTheShiftLoop) {
    const FxLong cases[][2] = {{1, 0},
                               {0, -1},
                               {3, 4},
                               {-5, 2},
                               {0x7FFFFFF, 1},
                               {0x8000000, -1},
                               {0x10000000, 7},
                               {0x10000001, -0x10000001},
                               {0x20000001, 3},
                               {-0x1FFFFFFF, 0x1FFFFFFF},
                               {std::numeric_limits<FxLong>::max(), -1},
                               {std::numeric_limits<FxLong>::min(), 12345},
                               {0, 0}};
    for (auto& c : cases) {
        FxLong x = c[0], y = c[1], rx = c[0], ry = c[1];
        int e = FxPreNorm(x, y);
        EXPECT_EQ(e, preNormLoop(rx, ry)) << c[0] << ", " << c[1];
        EXPECT_EQ(x, rx) << c[0] << ", " << c[1];
        EXPECT_EQ(y, ry) << c[0] << ", " << c[1];
        if (c[0] || c[1]) {
            FxLong big = std::max(std::llabs(x), std::llabs(y));
            EXPECT_GE(big, 0x8000000);
            EXPECT_LE(big, 0x10000000);
        }
    }
}

TEST(QiFixed, PolarizeGivesMagnitudeAndAngle) {
    FxLong x = 3 * kDeg, y = 4 * kDeg;
    FxPolarize(x, y);
    EXPECT_EQ(x, 5 * kDeg - 36);
    EXPECT_EQ(y, FxAtan2(4, 3));

    x = 0, y = 0;
    FxPolarize(x, y);
    EXPECT_EQ(x, 0);
    EXPECT_EQ(y, 0);

    // A large vector keeps its scale through the exponent.
    x = -(FxLong(3) << 40), y = FxLong(4) << 40;
    FxPolarize(x, y);
    EXPECT_NEAR(static_cast<double>(x) / (FxLong(5) << 40), 1.0, 1e-3);
    EXPECT_NEAR(static_cast<double>(y), exactAngle(4, -3), 8);
}

TEST(QiFixed, RotateTurnsTheVector) {
    FxLong x = 1000 * kDeg, y = 0;
    FxRotate(x, y, 90 * kDeg);
    EXPECT_NEAR(x, 0, 1000 * kDeg / 1000);
    EXPECT_NEAR(y, 1000 * kDeg, 1000 * kDeg / 1000);

    x = 1000 * kDeg, y = 0;
    FxRotate(x, y, -135 * kDeg);
    EXPECT_NEAR(x, -707.1068 * kDeg, kDeg);
    EXPECT_NEAR(y, -707.1068 * kDeg, kDeg);

    // Whole turns change nothing, however many.
    FxLong a = 1000 * kDeg, b = 500 * kDeg, c = a, d = b;
    FxRotate(a, b, 30 * kDeg);
    FxRotate(c, d, 30 * kDeg + 360 * kDeg * 1000000);
    EXPECT_EQ(a, c);
    EXPECT_EQ(b, d);

    x = 7, y = 9;
    FxRotate(x, y, 0);
    EXPECT_EQ(x, 7);
    EXPECT_EQ(y, 9);
}

TEST(QiFixed, UnitVectorIsCosineAndSine) {
    for (int deg = -180; deg <= 180; deg += 15) {
        FxLong x, y;
        FxUnitVec(x, y, deg * kDeg);
        double r = deg * kPi / 180.0;
        EXPECT_NEAR(x / 1073741824.0, std::cos(r), 1e-5) << deg;
        EXPECT_NEAR(y / 1073741824.0, std::sin(r), 1e-5) << deg;
    }
}

TEST(QiFixed, FracMulMultipliesFractions) {
    const FxLong half = FxLong(1) << 29, quarter = FxLong(1) << 28; // in units of 2^-30
    EXPECT_EQ(FFracMul(half, half), quarter);
    EXPECT_EQ(FFracMul(-half, half), -quarter);
    EXPECT_EQ(FFracMul(0, half), 0);
}

namespace {

// The polar step written out with branches, step by step.
FxLong atan2Reference(FxLong y, FxLong x) {
    if (x == 0 && y == 0) return 0;
    FxPreNorm(x, y);
    FxLong theta = 0;
    if (x < 0) {
        x = -x;
        y = -y;
        theta = 180 * kDeg;
    }
    if (y > 0) theta = -theta;
    FxLong nx;
    if (y < 0) {
        nx = x - 2 * y;
        y = y + 2 * x;
        theta -= arctantab[0];
    } else {
        nx = x + 2 * y;
        y = y - 2 * x;
        theta += arctantab[0];
    }
    x = nx;
    for (int i = 0; i < 23; ++i) {
        if (y < 0) {
            nx = x - (y >> i);
            y = y + (x >> i);
            theta -= arctantab[i + 1];
        } else {
            nx = x + (y >> i);
            y = y - (x >> i);
            theta += arctantab[i + 1];
        }
        x = nx;
    }
    return theta;
}

} // namespace

TEST(QiFixed, Atan2AndItsBatchFormMatchTheStepwiseAlgorithm) {
    std::vector<FxLong> xs, ys;
    const FxLong lo = std::numeric_limits<FxLong>::min(), hi = std::numeric_limits<FxLong>::max();
    const FxLong edges[] = {0, 1, -1, 2, -3, 0x7FFFFFF, 0x8000000, 0x10000000, -0x10000001, lo, hi};
    for (FxLong a : edges)
        for (FxLong b : edges) {
            xs.push_back(a);
            ys.push_back(b);
        }
    uint64_t state = 12345;
    auto next = [&]() {
        state = state * 6364136223846793005ull + 1442695040888963407ull;
        return static_cast<FxLong>(state) >> (state >> 58); // every magnitude
    };
    for (int i = 0; i < 20000; ++i) {
        xs.push_back(next());
        ys.push_back(next());
    }
    std::vector<FxLong> many(xs.size());
    FxAtan2Many(ys.data(), xs.data(), many.data(), static_cast<int>(xs.size()));
    for (size_t i = 0; i < xs.size(); ++i) {
        const FxLong ref = atan2Reference(ys[i], xs[i]);
        ASSERT_EQ(FxAtan2(ys[i], xs[i]), ref) << ys[i] << ", " << xs[i];
        ASSERT_EQ(many[i], ref) << ys[i] << ", " << xs[i];
    }
    FxAtan2Many(ys.data(), xs.data(), many.data(), 0);
}
