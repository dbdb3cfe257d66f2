// Colour patches: every patch of the four rows, read back in RGB and in v210.
#include "PatternEngine.h"

#include <gtest/gtest.h>

#include <string>

using namespace patterntest;

namespace {

struct Case {
    int bits, black, white, brightness, level;
    const char* rgbName;
};

// Middle of grid cells [c, c + 3) of n across `size` pixels.
int cellMiddle(int c, int n, int size) {
    return (size * c / n + size * (c + 3) / n) / 2;
}

class ColorPatches : public ::testing::TestWithParam<Case> {};

TEST_P(ColorPatches, FourRowsOfShiftedPatchesOnBlack) {
    const Case& k = GetParam();
    const int B = k.black, L = k.level;
    // Blue, grey, cyan, magenta.
    const Rgb c[4] = {{B, B, L}, {L, L, L}, {B, L, L}, {L, B, L}};
    struct Row {
        int cell, shift;
    };
    const Row rows[4] = {{7, 3}, {10, 2}, {14, 0}, {17, 1}};

    PatternEngine e(rasterConfig(k.bits, k.black, k.white));
    const std::string b = std::to_string(k.brightness);
    e.run(request({{"Pattern", "Tint"},
                   {"Brightness", b.c_str()},
                   {"OutputColor", k.rgbName},
                   {"ColorEncoding", "Rec709"}}));
    MemoryFrame rgb = e.raster->lastShown();
    e.run(request({{"OutputColor", "YCbCr_10"}}));
    MemoryFrame v210 = e.raster->lastShown();

    // The first column reads magenta, cyan, blue, grey from the top.
    EXPECT_EQ(rgbAt(rgb, cellMiddle(12, 71, 1280), cellMiddle(7, 27, 720)), c[3]);
    EXPECT_EQ(rgbAt(rgb, cellMiddle(12, 71, 1280), cellMiddle(17, 27, 720)), c[1]);
    for (int i = 0; i < 12; ++i)
        for (const Row& r : rows) {
            const int x = cellMiddle(12 + 4 * i, 71, 1280) & ~1, y = cellMiddle(r.cell, 27, 720);
            SCOPED_TRACE("patch " + std::to_string(i) + " row " + std::to_string(r.cell));
            const Rgb want = c[(i + r.shift) % 4];
            EXPECT_EQ(rgbAt(rgb, x, y), want);
            EXPECT_EQ(v210At(v210, x, y), expectedV210(want, k.bits));
        }
    // Black around and between the patches.
    const Rgb black = {B, B, B};
    EXPECT_EQ(rgbAt(rgb, 0, 0), black);
    EXPECT_EQ(rgbAt(rgb, 1279, 719), black);
    EXPECT_EQ(rgbAt(rgb, 1280 * 31 / 142, cellMiddle(7, 27, 720)), black); // column 15.5
    EXPECT_EQ(rgbAt(rgb, 640, 720 * 27 / 54), black);                      // row 13.5
    EXPECT_EQ(v210At(v210, 0, 0), expectedV210(black, k.bits));
}

INSTANTIATE_TEST_SUITE_P(Levels, ColorPatches,
                         ::testing::Values(Case{8, 16, 235, 75, 180, "RGB_8"},
                                           Case{8, 16, 235, 100, 235, "RGB_8"},
                                           Case{10, 64, 940, 75, 721, "RGB_10"},
                                           Case{10, 64, 940, 100, 940, "RGB_10"},
                                           Case{10, 64, 940, 0, 64, "RGB_10"}),
                         [](const ::testing::TestParamInfo<Case>& info) {
                             return "Bits" + std::to_string(info.param.bits) + "Brightness" +
                                    std::to_string(info.param.brightness);
                         });

} // namespace
