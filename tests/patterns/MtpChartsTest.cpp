// The fixed reference charts "BT.815" and "IDMS": geometry and levels.
#include "PatternEngine.h"

#include <gtest/gtest.h>

using namespace patterntest;

namespace {

MemoryRasterConfig fullHd(int bits, int black, int white) {
    MemoryRasterConfig c = rasterConfig(bits, black, white);
    c.formats = {{"1080p", 1920, 1080}};
    return c;
}

TEST(Charts, Bt815SquaresAt1920) {
    PatternEngine e(fullHd(10, 64, 940));
    e.run(request({{"Pattern", "BT.815"}}));
    const QiImage* r = e.raster;
    // Side 143; white square at (889, 469); black ones at x 528 and 1248 and
    // 361 pixels above and below.
    EXPECT_EQ(pixelAt(r, 889, 469), grey(940));
    EXPECT_EQ(pixelAt(r, 889 + 142, 469 + 142), grey(940));
    EXPECT_EQ(pixelAt(r, 889 + 143, 469), grey(504));
    for (auto xy : {std::make_pair(528, 469), std::make_pair(1248, 469), std::make_pair(889, 108),
                    std::make_pair(889, 830)}) {
        EXPECT_EQ(pixelAt(r, xy.first, xy.second), grey(64)) << xy.first << "," << xy.second;
        EXPECT_EQ(pixelAt(r, xy.first + 142, xy.second + 142), grey(64));
        EXPECT_EQ(pixelAt(r, xy.first - 1, xy.second), grey(504));
    }
    EXPECT_EQ(pixelAt(r, 0, 0), grey(504));
}

TEST(Charts, IdmsNestedRectanglesAndCentreOutlines) {
    PatternEngine e(rasterConfig(10, 64, 940));
    e.run(request({{"Pattern", "IDMS"}}));
    const QiImage* r = e.raster;
    // 1280 x 720: centre box 256 x 144, steps of 16 and 9 pixels.
    EXPECT_EQ(pixelAt(r, 0, 0), grey(235 << 2));
    EXPECT_EQ(pixelAt(r, 16 * 5, 9 * 5), grey(199 << 2));
    EXPECT_EQ(pixelAt(r, 16 * 5 - 1, 9 * 5), grey(207 << 2));
    EXPECT_EQ(pixelAt(r, 16 * 31, 9 * 31), grey(16 << 2));
    // Outlines round the box at (512, 288): blue-tinted corners, grey inner lines.
    EXPECT_EQ(pixelAt(r, 512, 288), (Rgb{64, 64, 940}));
    EXPECT_EQ(pixelAt(r, 512 + 256, 288 + 144), (Rgb{64, 64, 940}));
    EXPECT_EQ(pixelAt(r, 600, 288), grey(64));
    EXPECT_EQ(pixelAt(r, 512, 400), grey(64));
}

} // namespace
