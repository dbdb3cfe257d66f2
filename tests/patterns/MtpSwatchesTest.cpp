// Black-level and white-level swatches, the checkerboard and the corner boxes:
// code values read back from the device frames in RGB.
#include "PatternEngine.h"

#include <gtest/gtest.h>

#include <string>

using namespace patterntest;

namespace {

// Left edge of swatch column i (grid column 12 + 4i of 71) and the centre of
// its labels, at 1280 pixels.
int swatchLeft(int i) {
    return 1280 * (12 + 4 * i) / 71;
}
int labelCentre(int i) {
    return static_cast<int>(1280 * (12 + 4 * i + 1.5) / 71);
}

// Pixels of the 40 x 20 box centred at (cx, cy) that differ from `level`:
// a label drawn there leaves some.
int inked(const MemoryFrame& f, int cx, int cy, int level) {
    int n = 0;
    for (int y = cy - 10; y < cy + 10; ++y)
        for (int x = cx - 20; x < cx + 20; ++x)
            if (!(rgbAt(f, x, y) == Rgb{level, level, level})) ++n;
    return n;
}

struct Blink {
    int bits, black, white;
    const char* style;
    int outer[2], inner[2];
};

class BrightnessBoxes : public ::testing::TestWithParam<Blink> {};

// Outer box left bar, inner box left bar and background, in both frames.
TEST_P(BrightnessBoxes, TwoFramesAlternateAt750Ms) {
    const Blink& k = GetParam();
    PatternEngine e(rasterConfig(k.bits, k.black, k.white));
    e.run(request({{"Pattern", "Brightness"},
                   {"Style", k.style},
                   {"Bracket", "16"},
                   {"OutputColor", k.bits == 8 ? "RGB_8" : "RGB_10"}}));
    EXPECT_EQ(e.core->getPatternRenderer("Brightness")->getPeriod(), 750u);
    for (unsigned f = 0; f < 2; ++f) {
        SCOPED_TRACE(std::string(k.style) + " frame " + std::to_string(f));
        const MemoryFrame frame = e.raster->ringFrame(f);
        ASSERT_EQ(frame.width, 1280);
        EXPECT_EQ(rgbAt(frame, 100, 360), grey(k.outer[f]));
        EXPECT_EQ(rgbAt(frame, 380, 360), grey(k.inner[f]));
        EXPECT_EQ(rgbAt(frame, 640, 360), grey(k.black));
    }
    // The still style stops the animation.
    e.run(request({{"Style", "Static"}}));
    EXPECT_EQ(e.core->getPatternRenderer("Brightness")->getPeriod(), 0u);
}

// Blinking: d = (W - B) * 16 / 100, low 0, high twice the black level plus d.
INSTANTIATE_TEST_SUITE_P(Levels, BrightnessBoxes,
                         ::testing::Values(Blink{8, 16, 235, "Blinking", {0, 16}, {16, 67}},
                                           Blink{8, 0, 255, "Blinking", {0, 0}, {0, 40}},
                                           Blink{10, 64, 940, "Blinking", {0, 64}, {64, 268}},
                                           Blink{8, 16, 235, "Testing", {16, 235}, {235, 16}}));

TEST(Brightness, StaticSwatchesAt10BitsCarryTheScaledCodesAndMarkNominalBlack) {
    PatternEngine e(rasterConfig(10, 64, 940));
    e.run(request({{"Pattern", "Brightness"}, {"OutputColor", "RGB_10"}}));
    const MemoryFrame f = e.raster->lastShown();
    EXPECT_EQ(rgbAt(f, 5, 5), grey(0)); // bgLevel default
    for (int i = 0; i < 12; ++i) {
        SCOPED_TRACE("column " + std::to_string(i));
        EXPECT_EQ(rgbAt(f, swatchLeft(i) + 2, 190), grey((i + 1) * 4));
        EXPECT_EQ(rgbAt(f, swatchLeft(i) + 2, 377), grey((i + 13) * 4));
        EXPECT_GT(inked(f, labelCentre(i), 720 * 10 / 27, (i + 1) * 4), 0);
        // "0%" only under the swatch of level 64.
        const int mark = inked(f, labelCentre(i), 720 * 19 / 27, (i + 13) * 4);
        if (i == 3)
            EXPECT_GT(mark, 0);
        else
            EXPECT_EQ(mark, 0);
    }
    e.run(request({{"bgLevel_Red", "100"}, {"bgLevel_Green", "200"}, {"bgLevel_Blue", "300"}}));
    EXPECT_EQ(rgbAt(e.raster->lastShown(), 5, 5), (Rgb{100, 200, 300}));
}

TEST(Contrast, SwatchesOnTheDefaultPatchAt8And10Bits) {
    {
        PatternEngine e(rasterConfig(8, 16, 235));
        e.run(request({{"Pattern", "Contrast"}, {"OutputColor", "RGB_8"}}));
        const MemoryFrame f = e.raster->lastShown();
        EXPECT_EQ(rgbAt(f, 5, 5), grey(16));
        EXPECT_EQ(rgbAt(f, 190, 170), grey(255));
        for (int i = 0; i < 12; ++i) {
            SCOPED_TRACE("column " + std::to_string(i));
            EXPECT_EQ(rgbAt(f, swatchLeft(i) + 2, 190), grey(231 + i));
            EXPECT_EQ(rgbAt(f, swatchLeft(i) + 2, 377), grey(243 + i));
            EXPECT_GT(inked(f, labelCentre(i), 720 * 17 / 27, 243 + i), 0);
            // "100%" only under the swatch of level 235.
            const int mark = inked(f, labelCentre(i), 720 * 12 / 27, 231 + i);
            if (i == 4)
                EXPECT_GT(mark, 0);
            else
                EXPECT_EQ(mark, 0);
        }
    }
    PatternEngine e(rasterConfig(10, 64, 940));
    e.run(request({{"Pattern", "Contrast"}, {"OutputColor", "RGB_10"}}));
    const MemoryFrame f = e.raster->lastShown();
    EXPECT_EQ(rgbAt(f, 190, 170), grey(1020));
    EXPECT_EQ(rgbAt(f, swatchLeft(4) + 2, 190), grey(940));
    EXPECT_EQ(rgbAt(f, swatchLeft(11) + 2, 377), grey(1016));
}

TEST(Checkerboard, CellsInvertAndCountsClampToTheRaster) {
    PatternEngine e(rasterConfig(10, 64, 940));
    e.run(request({{"Pattern", "Checkerboard"}, {"OutputColor", "RGB_10"}}));
    MemoryFrame f = e.raster->lastShown();
    EXPECT_EQ(rgbAt(f, 0, 0), grey(940));
    EXPECT_EQ(rgbAt(f, 255, 143), grey(940));
    EXPECT_EQ(rgbAt(f, 256, 0), grey(64));
    EXPECT_EQ(rgbAt(f, 0, 144), grey(64));
    EXPECT_EQ(rgbAt(f, 1279, 719), grey(940)); // 5 x 5: the last cell is even

    e.run(request({{"invert", "true"}}));
    f = e.raster->lastShown();
    EXPECT_EQ(rgbAt(f, 0, 0), grey(64));
    EXPECT_EQ(rgbAt(f, 256, 0), grey(940));

    // More patches than pixels: one pixel per cell. A component beyond the
    // depth is limited to the largest code and leaves its neighbours alone.
    e.run(request({{"invert", "false"},
                   {"hPatch", "5000"},
                   {"hiColor_Red", "5000"},
                   {"hiColor_Green", "0"},
                   {"hiColor_Blue", "0"}}));
    f = e.raster->lastShown();
    EXPECT_EQ(rgbAt(f, 0, 0), (Rgb{1023, 0, 0}));
    EXPECT_EQ(rgbAt(f, 1, 0), grey(64));
    EXPECT_EQ(rgbAt(f, 2, 0), (Rgb{1023, 0, 0}));
    EXPECT_EQ(rgbAt(f, 1279, 0), grey(64));
}

TEST(CornerContrast, WhiteTenthSizedCornersOnBlackWithoutTitle) {
    for (int bits : {8, 10}) {
        SCOPED_TRACE(bits);
        const int lo = bits == 8 ? 16 : 64, hi = bits == 8 ? 235 : 940;
        PatternEngine e(rasterConfig(bits, lo, hi));
        const char* layout = bits == 8 ? "RGB_8" : "RGB_10";
        e.run(request({{"Pattern", "CCRA_L20C100"}, {"OutputColor", layout}}));
        const MemoryFrame f = e.raster->lastShown();
        // Boxes of 128 x 72 at 1280 x 720.
        const int white[][2] = {{0, 0}, {127, 71}, {1152, 0}, {0, 648}, {1279, 719}};
        const int black[][2] = {{128, 0}, {0, 72}, {1151, 71}, {1152, 647}, {640, 360}};
        for (auto& p : white)
            EXPECT_EQ(rgbAt(f, p[0], p[1]), grey(hi)) << p[0] << "," << p[1];
        for (auto& p : black)
            EXPECT_EQ(rgbAt(f, p[0], p[1]), grey(lo)) << p[0] << "," << p[1];
        e.run(request({{"OutputTitling", "true"}, {"Pattern", "CCRA_L20C100"}}));
        EXPECT_EQ(checksum(e.raster->lastShown()), checksum(f));
    }
}

} // namespace
