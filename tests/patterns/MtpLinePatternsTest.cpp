// Resolution, geometry, sharpness and stripe patterns: the positions and code
// values of their lines and stripes, read back from the device frames in RGB.
#include "PatternEngine.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <string>

using namespace patterntest;

namespace {

Rgb pixel(PatternEngine& e, int x, int y) {
    return rgbAt(e.raster->lastShown(), x, y);
}

TEST(Resolution, OnePixelLinesAndPixels) {
    PatternEngine e(rasterConfig(8, 16, 235));
    e.run(request({{"Pattern", "Resolution"}, {"OutputColor", "RGB_8"}}));
    EXPECT_EQ(pixel(e, 1278, 719), grey(235));
    EXPECT_EQ(pixel(e, 1279, 719), grey(16));
    e.run(request({{"Style", "HLines"}}));
    EXPECT_EQ(pixel(e, 1279, 718), grey(235));
    EXPECT_EQ(pixel(e, 1279, 719), grey(16));

    e.run(request({{"Style", "Pixels"},
                   {"LowColor_Red", "10"},
                   {"LowColor_Green", "20"},
                   {"LowColor_Blue", "30"},
                   {"HiColor_Red", "200"},
                   {"HiColor_Green", "100"},
                   {"HiColor_Blue", "50"}}));
    const Rgb lo{10, 20, 30}, hi{200, 100, 50};
    EXPECT_EQ(pixel(e, 0, 0), hi);
    EXPECT_EQ(pixel(e, 1, 0), lo);
    EXPECT_EQ(pixel(e, 0, 1), lo);
    EXPECT_EQ(pixel(e, 1, 1), hi);
    EXPECT_EQ(pixel(e, 1279, 719), hi);
}

TEST(Geometry, LineGridBorderAndSafeAreaBoxes) {
    PatternEngine e(rasterConfig(10, 64, 940));
    // Points on no diagonal or circle: (300, 360) lies on the half-height line,
    // (300, 480) on the line at two thirds.
    e.run(request({{"Pattern", "Geometry"}, {"hLines", "2"}, {"OutputColor", "RGB_10"}}));
    EXPECT_EQ(pixel(e, 300, 0), grey(940));
    EXPECT_EQ(pixel(e, 300, 360), grey(940));
    EXPECT_EQ(pixel(e, 300, 480), grey(64));
    EXPECT_EQ(pixel(e, 300, 719), grey(940)); // the border, not a grid line
    EXPECT_EQ(pixel(e, 256, 100), grey(940)); // vLines 5: x = 0, 256, 512, ...
    EXPECT_EQ(pixel(e, 1279, 300), grey(940));
    EXPECT_EQ(pixel(e, 32, 100), (Rgb{940, 64, 64}));  // 95 %
    EXPECT_EQ(pixel(e, 64, 100), (Rgb{940, 940, 64})); // 90 %
    EXPECT_EQ(pixel(e, 96, 300), (Rgb{64, 940, 64}));  // 85 %
    e.run(request({{"hLines", "3"}}));
    EXPECT_EQ(pixel(e, 300, 480), grey(940));
    EXPECT_EQ(pixel(e, 300, 360), grey(64));
}

TEST(Sharpness, MultiburstBandsAt1920) {
    MemoryRasterConfig c = rasterConfig(10, 64, 940);
    c.formats = {{"1080p25", 1920, 1080}};
    PatternEngine e(c);
    testsupport::ScopedCapture capture;
    e.run(request({{"Pattern", "Sharpness"}, {"Style", "multiburst"}, {"OutputColor", "RGB_10"}}));
    std::string traced;
    for (const std::string& line : capture.out->take())
        traced += line;
    const int counts[6] = {10, 20, 40, 80, 160, 320};
    for (int k = 0; k < 6; ++k) {
        const std::string line =
            "mbDivAry[" + std::to_string(k) + "] => " + std::to_string(counts[k]) + "\n";
        EXPECT_NE(traced.find(line), std::string::npos) << line;
    }
    EXPECT_EQ(pixel(e, 0, 0), grey(940));
    EXPECT_EQ(pixel(e, 31, 539), grey(940));
    EXPECT_EQ(pixel(e, 32, 0), grey(64));
    EXPECT_EQ(pixel(e, 1600, 0), grey(940)); // the finest band alternates single pixels
    EXPECT_EQ(pixel(e, 1601, 0), grey(64));
    EXPECT_EQ(pixel(e, 1919, 0), grey(64));
    EXPECT_EQ(pixel(e, 0, 540), grey(502));
    EXPECT_EQ(pixel(e, 100, 1000), grey(502));
}

// Below 192 pixels across the coarsest bands get no bar at all: they stay mid
// grey rather than dividing by a bar count of zero.
TEST(Sharpness, MultiburstOnANarrowRaster) {
    MemoryRasterConfig c = rasterConfig(10, 64, 940);
    c.formats = {{"narrow", 160, 90}};
    PatternEngine e(c);
    e.run(request({{"Pattern", "Sharpness"}, {"Style", "multiburst"}, {"OutputColor", "RGB_10"}}));
    EXPECT_EQ(pixel(e, 5, 10), grey(502));  // band 0: no bar
    EXPECT_EQ(pixel(e, 30, 10), grey(940)); // band 1: one white bar
    EXPECT_EQ(pixel(e, 133, 10), grey(940));
    EXPECT_EQ(pixel(e, 134, 10), grey(64));
}

TEST(VerticalBar, StripesColoursOffsetAndLimits) {
    PatternEngine e(rasterConfig(10, 64, 940));
    e.run(request({{"Pattern", "VerticalBar"},
                   {"style", "wrgbcmyk"},
                   {"invert", "true"},
                   {"OutputColor", "RGB_10"}}));
    EXPECT_EQ(pixel(e, 0, 0), (Rgb{940, 64, 64}));   // red first
    EXPECT_EQ(pixel(e, 4, 719), (Rgb{940, 64, 64})); // five pixels wide
    EXPECT_EQ(pixel(e, 5, 0), (Rgb{64, 940, 64}));
    EXPECT_EQ(pixel(e, 30, 0), grey(64));  // black
    EXPECT_EQ(pixel(e, 35, 0), grey(940)); // white again

    const QiArgRetVal twoColour = request({{"style", "2color"},
                                           {"invert", "false"},
                                           {"width", "3"},
                                           {"offset", "10"},
                                           {"loColor_Red", "100"},
                                           {"loColor_Green", "100"},
                                           {"loColor_Blue", "100"}});
    e.run(twoColour);
    EXPECT_EQ(pixel(e, 9, 0), grey(64)); // left of the offset
    EXPECT_EQ(pixel(e, 10, 0), grey(100));
    EXPECT_EQ(pixel(e, 13, 0), grey(940));
    EXPECT_EQ(pixel(e, 16, 719), grey(100));

    // An offset at or past the width draws no stripe; a width of 0 is one pixel.
    for (const char* offset : {"1280", "99999"}) {
        QiArgRetVal req = twoColour;
        req.set("offset", offset);
        e.run(req);
        EXPECT_EQ(pixel(e, 1279, 0), grey(64)) << offset;
    }
    QiArgRetVal req = twoColour;
    req.set("width", "0");
    e.run(req);
    EXPECT_EQ(pixel(e, 10, 0), grey(100));
    EXPECT_EQ(pixel(e, 11, 0), grey(940));
}

} // namespace
