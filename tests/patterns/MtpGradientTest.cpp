// Ramps, staircases, colour strips and the sine sweep, read back as code
// values from the device frame.
#include "PatternEngine.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>

using namespace patterntest;

namespace {

// Middle of cell i of n across `size` pixels.
int cellMiddle(int i, int n, int size) {
    return (size * i / n + size * (i + 1) / n) / 2;
}

TEST(Gradient, VRampRunsOnePixelPerStepFromStartToEnd) {
    PatternEngine e(rasterConfig(10, 64, 940));
    const MemoryFrame f = drawRgb(e, "VRamp", QiArgRetVal());
    EXPECT_EQ(rgbAt(f, 0, 0), grey(64));
    EXPECT_EQ(rgbAt(f, 1279, 719), grey(940));
    // 64 + 876 * 640 / 1279, truncated; every row alike.
    EXPECT_EQ(rgbAt(f, 640, 0), grey(502));
    EXPECT_EQ(rgbAt(f, 640, 719), grey(502));
    EXPECT_EQ(rgbAt(f, 1, 300), grey(64));
    EXPECT_EQ(rgbAt(f, 2, 300), grey(65));
}

TEST(Gradient, HStair11RunsTopToBottom) {
    PatternEngine e(rasterConfig(8, 16, 235));
    const MemoryFrame f = drawRgb(e, "HStair11", QiArgRetVal());
    for (int i = 0; i < 11; ++i) {
        const int y = cellMiddle(i, 11, 720);
        EXPECT_EQ(rgbAt(f, 5, y), grey(16 + 219 * i / 10)) << "band " << i;
        EXPECT_EQ(rgbAt(f, 1270, y), grey(16 + 219 * i / 10)) << "band " << i;
    }
    // Band 1 starts at row 720 / 11.
    EXPECT_EQ(rgbAt(f, 0, 65), grey(37));
    EXPECT_EQ(rgbAt(f, 0, 64), grey(16));
}

TEST(Gradient, OneSplitPutsTheReversedStaircaseBelow) {
    PatternEngine e(rasterConfig(8, 16, 235));
    const MemoryFrame f = drawRgb(e, "Gradient", request({{"Splits", "1"}}));
    for (int i = 0; i < 11; ++i) {
        const int x = cellMiddle(i, 11, 1280);
        EXPECT_EQ(rgbAt(f, x, 100), grey(16 + 219 * i / 10)) << "step " << i;
        EXPECT_EQ(rgbAt(f, x, 600), grey((2350 - 219 * i) / 10)) << "step " << i;
    }
}

TEST(Gradient, MirrorPutsTheEndColourInTheMiddleStep) {
    PatternEngine e(rasterConfig(10, 64, 940));
    const MemoryFrame f = drawRgb(e, "Gradient",
                                  request({{"Steps", "5"},
                                           {"Mirror", "true"},
                                           {"EndColor_Red", "1000"},
                                           {"EndColor_Green", "500"},
                                           {"EndColor_Blue", "100"}}));
    const Rgb expected[5] = {
        {64, 64, 64}, {532, 282, 82}, {1000, 500, 100}, {532, 282, 82}, {64, 64, 64}};
    for (int i = 0; i < 5; ++i)
        EXPECT_EQ(rgbAt(f, cellMiddle(i, 5, 1280), 360), expected[i]) << "step " << i;
}

// The comparison strips of a fine ramp are the same ramp in 8-bit steps.
TEST(Gradient, DynamicRangeAlternatesFullAnd8BitPrecision) {
    PatternEngine e(rasterConfig(10, 64, 940));
    const MemoryFrame f = drawRgb(e, "DynamicRange", QiArgRetVal());
    // Four strips of 180 rows; column 1 is 2 / 1279 up the mirrored ramp,
    // column 639 one step short of its top.
    for (int strip = 0; strip < 4; ++strip) {
        const int y = 180 * strip + 90;
        const bool fine = strip % 2 == 0;
        EXPECT_EQ(rgbAt(f, 0, y), grey(64)) << strip;
        EXPECT_EQ(rgbAt(f, 1, y), grey(fine ? 65 : 64)) << strip;
        EXPECT_EQ(rgbAt(f, 639, y), grey(fine ? 939 : 936)) << strip;
        EXPECT_EQ(rgbAt(f, 1279, y), grey(64)) << strip;
    }
}

TEST(Gradient, RgbcmykStripsAtTheirFullColoursHalfWay) {
    PatternEngine e(rasterConfig(10, 64, 940));
    const int B = 64, W = 940;
    const Rgb atHalf[7] = {{W, B, B}, {B, W, B}, {B, B, W}, {B, W, W},
                           {W, W, B}, {W, B, W}, grey(502)};
    MemoryFrame f = drawRgb(e, "Gradient", request({{"Style", "RGBCMYK"}}));
    for (int k = 0; k < 7; ++k) {
        const int y = cellMiddle(k, 7, 720);
        EXPECT_EQ(rgbAt(f, cellMiddle(5, 11, 1280), y), atHalf[k]) << "strip " << k;
        EXPECT_EQ(rgbAt(f, cellMiddle(0, 11, 1280), y), grey(B)) << "strip " << k;
        EXPECT_EQ(rgbAt(f, cellMiddle(10, 11, 1280), y), grey(W)) << "strip " << k;
    }
    // "_lo" ends at the full colour, "_hi" starts there; horizontal puts the
    // strips side by side.
    f = drawRgb(e, "Gradient", request({{"Style", "RGBCMYK_lo"}, {"Orientation", "Horizontal"}}));
    EXPECT_EQ(rgbAt(f, cellMiddle(0, 7, 1280), 715), (Rgb{W, B, B}));
    EXPECT_EQ(rgbAt(f, cellMiddle(5, 7, 1280), 5), grey(B));
    f = drawRgb(e, "Gradient", request({{"Style", "RGBCMYK_hi"}, {"Orientation", "Horizontal"}}));
    EXPECT_EQ(rgbAt(f, cellMiddle(5, 7, 1280), 5), (Rgb{W, B, W}));
    EXPECT_EQ(rgbAt(f, cellMiddle(5, 7, 1280), 715), grey(W));
}

// One step has no span to divide: it shows the start of every ramp.
TEST(Gradient, OneStepShowsTheStart) {
    PatternEngine e(rasterConfig(10, 64, 940));
    MemoryFrame f = drawRgb(e, "Gradient", request({{"Steps", "1"}, {"Mirror", "true"}}));
    EXPECT_EQ(rgbAt(f, 0, 0), grey(64));
    EXPECT_EQ(rgbAt(f, 1279, 719), grey(64));
    f = drawRgb(e, "Gradient", request({{"Steps", "1"}, {"Style", "RGBCMYK"}}));
    for (int k = 0; k < 7; ++k)
        EXPECT_EQ(rgbAt(f, 640, cellMiddle(k, 7, 720)), grey(64)) << "strip " << k;
}

TEST(Gradient, GammaBendsTheRamp) {
    PatternEngine e(rasterConfig(8, 0, 255));
    const MemoryFrame f = drawRgb(e, "Gradient", request({{"Steps", "3"}, {"Gamma", "2.0"}}));
    // (127 / 255)^(1 / 2) * 255 + 0.5, truncated.
    EXPECT_EQ(rgbAt(f, 640, 360), grey(180));
    EXPECT_EQ(rgbAt(f, 0, 360), grey(0));
    EXPECT_EQ(rgbAt(f, 1279, 360), grey(255));
}

// The sweep starts at mid level, swings between start and end, and varies only
// along its orientation.
TEST(Sine, SweepRunsAlongItsOrientation) {
    PatternEngine e(rasterConfig(10, 64, 940));
    MemoryFrame f = drawRgb(e, "Sine", request({{"Orientation", "Horizontal"}}));
    int lo = 1023, hi = 0;
    for (int x = 0; x < 1280; ++x) {
        const Rgb c = rgbAt(f, x, 0);
        ASSERT_EQ(rgbAt(f, x, 719), c) << x;
        lo = std::min(lo, c.r);
        hi = std::max(hi, c.r);
    }
    EXPECT_EQ(rgbAt(f, 0, 0), grey(501));
    EXPECT_EQ(lo, 64);
    EXPECT_EQ(hi, 939);
    f = drawRgb(e, "Sine", QiArgRetVal());
    EXPECT_EQ(rgbAt(f, 0, 0), grey(501));
    EXPECT_EQ(rgbAt(f, 1279, 0), grey(501));
    EXPECT_FALSE(rgbAt(f, 0, 700) == rgbAt(f, 0, 0));
    EXPECT_EQ(rgbAt(f, 1279, 700), rgbAt(f, 0, 700));
}

} // namespace
