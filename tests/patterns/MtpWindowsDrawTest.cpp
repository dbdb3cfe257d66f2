// The Window pattern drawn: window size and place, PLUGE bars, grid lines,
// the "Constant APL" background and the title's readout, read back as code
// values from the device frame.
#include "MtpWindows.h"
#include "PatternEngine.h"

#include <gtest/gtest.h>

#include <string>

using namespace patterntest;

namespace {

// Draws `req` on "Window" in the raster's RGB layout, titling off.
MemoryFrame drawWindow(PatternEngine& e, QiArgRetVal req) {
    return drawRgb(e, "Window", std::move(req));
}

TEST(WindowDraw, DefaultsGiveAFullScreenMidGreyAndItsReadout) {
    PatternEngine e(rasterConfig(8, 16, 235));
    const MemoryFrame f = drawWindow(e, QiArgRetVal());
    for (auto xy : {std::make_pair(0, 0), std::make_pair(640, 360), std::make_pair(1279, 719)})
        EXPECT_EQ(rgbAt(f, xy.first, xy.second), grey(125)) << xy.first << "," << xy.second;
    MtpWindows w;
    EXPECT_EQ(w.readout(QiArgRetVal(), e.raster, 16, 235),
              "RGB: 125, TV: 50% [PQ: 90 nit], PC: 49% [APL 49]");
}

// The window goes out through the 10-bit YCbCr formulas: a grey keeps its
// level in Y with neutral chroma.
TEST(WindowDraw, GreyWindowReachesV210AsItsLevel) {
    PatternEngine e(rasterConfig(10, 64, 940));
    e.run(request({{"Pattern", "Window"},
                   {"OutputColor", "YCbCr_10"},
                   {"OutputTitling", "false"},
                   {"ColorEncoding", "Rec709"}}));
    EXPECT_EQ(v210At(e.raster->lastShown(), 640, 360), (Ycc{502, 512, 512}));
    e.run(request({{"Pattern", "Window16.80"}}));
    EXPECT_EQ(v210At(e.raster->lastShown(), 640, 360), (Ycc{764, 512, 512}));
    EXPECT_EQ(v210At(e.raster->lastShown(), 0, 0), (Ycc{64, 512, 512}));
}

TEST(WindowDraw, SizeAndOffsetPlaceTheWindowByArea) {
    PatternEngine e(rasterConfig(10, 64, 940));
    // 16 % of the area: 512 x 288 centred on (640, 360).
    MemoryFrame f = drawWindow(e, request({{"Size", "16"},
                                           {"BgColor_Red", "100"},
                                           {"BgColor_Green", "100"},
                                           {"BgColor_Blue", "100"}}));
    EXPECT_EQ(rgbAt(f, 384, 216), grey(502));
    EXPECT_EQ(rgbAt(f, 895, 503), grey(502));
    EXPECT_EQ(rgbAt(f, 383, 216), grey(100));
    EXPECT_EQ(rgbAt(f, 896, 503), grey(100));
    EXPECT_EQ(rgbAt(f, 895, 504), grey(100));
    EXPECT_EQ(rgbAt(f, 384, 215), grey(100));
    // Offsets move the centre; the part outside the raster is clipped.
    f = drawWindow(e, request({{"Size", "16"}, {"xOffset", "0"}, {"yOffset", "100"}}));
    EXPECT_EQ(rgbAt(f, 0, 719), grey(502));
    EXPECT_EQ(rgbAt(f, 255, 576), grey(502));
    EXPECT_EQ(rgbAt(f, 256, 719), grey(64));
    EXPECT_EQ(rgbAt(f, 0, 575), grey(64));
    // Size 0: only the background.
    f = drawWindow(e, request({{"Size", "0"}}));
    EXPECT_EQ(rgbAt(f, 640, 360), grey(64));
    EXPECT_EQ(rgbAt(f, 639, 359), grey(64));
}

TEST(WindowDraw, PlugeBarsAtBothEnds) {
    PatternEngine e(rasterConfig(10, 64, 940));
    const MemoryFrame f =
        drawWindow(e, request({{"Size", "0"}, {"loPluge", "true"}, {"hiPluge", "true"}}));
    // Five bars 36 rows high from row 270, 153 wide from x 180 and x 948;
    // 8-bit codes scaled to 10 bits.
    const int low[5] = {0, 32, 64, 96, 128}, high[5] = {860, 900, 940, 980, 1020};
    for (int i = 0; i < 5; ++i) {
        SCOPED_TRACE("bar " + std::to_string(i));
        EXPECT_EQ(rgbAt(f, 180, 270 + 36 * i), grey(low[i]));
        EXPECT_EQ(rgbAt(f, 332, 305 + 36 * i), grey(low[i]));
        EXPECT_EQ(rgbAt(f, 948, 270 + 36 * i), grey(high[i]));
        EXPECT_EQ(rgbAt(f, 1100, 305 + 36 * i), grey(high[i]));
    }
    EXPECT_EQ(rgbAt(f, 179, 300), grey(64));
    EXPECT_EQ(rgbAt(f, 333, 300), grey(64));
    EXPECT_EQ(rgbAt(f, 200, 269), grey(64));
    EXPECT_EQ(rgbAt(f, 200, 450), grey(64));
}

TEST(WindowDraw, GridLinesStartAtTheTopLeftEdge) {
    PatternEngine e(rasterConfig(10, 64, 940));
    const MemoryFrame f = drawWindow(
        e, request({{"Size", "0"}, {"gridLines", "true"}, {"hDiv", "2"}, {"vDiv", "2"}}));
    const Rgb line = {512, 940, 940};
    for (int x : {0, 640})
        for (int y : {1, 500, 719})
            EXPECT_EQ(rgbAt(f, x, y), line) << x << "," << y;
    for (int y : {0, 360})
        EXPECT_EQ(rgbAt(f, 300, y), line) << y;
    for (auto xy : {std::make_pair(1, 1), std::make_pair(641, 361), std::make_pair(1279, 719),
                    std::make_pair(300, 719)})
        EXPECT_EQ(rgbAt(f, xy.first, xy.second), grey(64)) << xy.first << "," << xy.second;
}

TEST(WindowDraw, ConstantAplSetsTheBackgroundAndIgnoresSizeOptions) {
    PatternEngine e(rasterConfig(10, 64, 940));
    const MemoryFrame f = drawWindow(e, request({{"Style", "Constant APL"}}));
    // Window 5 % (286 x 160) inside a black box of 10 % (404 x 227) on the
    // grey that makes 15 % APL: 64 + 877 * (15 - 5 * 438 / 877) / 90.
    EXPECT_EQ(rgbAt(f, 0, 0), grey(185));
    EXPECT_EQ(rgbAt(f, 640 - 202, 360), grey(64));
    EXPECT_EQ(rgbAt(f, 640 - 203, 360), grey(185));
    EXPECT_EQ(rgbAt(f, 640 - 143, 360), grey(502));
    EXPECT_EQ(rgbAt(f, 640 - 144, 360), grey(64));
    EXPECT_EQ(rgbAt(f, 640, 360 + 79), grey(502));
    EXPECT_EQ(rgbAt(f, 640, 360 + 80), grey(64));
    const uint64_t sum = checksum(f);
    EXPECT_EQ(checksum(drawWindow(e, request({{"Style", "Constant APL"},
                                              {"Size", "50"},
                                              {"loPluge", "true"},
                                              {"hiPluge", "true"},
                                              {"BgColor_Red", "900"}}))),
              sum);
    MtpWindows w;
    EXPECT_EQ(w.readout(request({{"Style", "Constant APL"}}), e.raster, 64, 940),
              "RGB: 502, TV: 50% [PQ: 92 nit], PC: 49% [APL 15]");
}

// An APL that the 5 % window cannot reach with a background between black and
// white gets the nearest background, and the readout gives the APL shown.
TEST(WindowDraw, UnreachableAplHoldsTheBackgroundWithinTheLevels) {
    PatternEngine e(rasterConfig(10, 64, 940));
    MemoryFrame f = drawWindow(e, request({{"Style", "Constant APL"},
                                           {"APL", "99"},
                                           {"Color_Red", "64"},
                                           {"Color_Green", "64"},
                                           {"Color_Blue", "64"}}));
    EXPECT_EQ(rgbAt(f, 0, 0), grey(940));
    MtpWindows w;
    EXPECT_EQ(w.readout(request({{"Style", "Constant APL"},
                                 {"APL", "99"},
                                 {"Color_Red", "64"},
                                 {"Color_Green", "64"},
                                 {"Color_Blue", "64"}}),
                        e.raster, 64, 940),
              "RGB: 64, TV: 0% [PQ: 0.00 nit], PC: 6% [APL 89]");
    f = drawWindow(e, request({{"Style", "Constant APL"},
                               {"APL", "1"},
                               {"Color_Red", "940"},
                               {"Color_Green", "940"},
                               {"Color_Blue", "940"}}));
    EXPECT_EQ(rgbAt(f, 0, 0), grey(64));
    EXPECT_EQ(rgbAt(f, 640, 360), grey(940));
}

TEST(WindowDraw, ReadoutBelowBlackAndOutOfRangeColours) {
    PatternEngine e(rasterConfig(8, 0, 255));
    MtpWindows w;
    // Below TV black: negative TV percentage and PQ luminance.
    EXPECT_EQ(w.readout(request({{"Color_Red", "0"}, {"Color_Green", "0"}, {"Color_Blue", "0"}}),
                        e.raster, 0, 255),
              "RGB: 0, TV: -7% [PQ: -0.15 nit], PC: 0% [APL 0]");
    EXPECT_EQ(
        w.readout(
            request(
                {{"Color_Red", "200"}, {"Color_Green", "10"}, {"Color_Blue", "0"}, {"Size", "50"}}),
            e.raster, 0, 255),
        "R: 200, G: 10, B: 0 [APL 9]");
    // A client's value beyond the depth is drawn, and reported, at the largest code.
    const QiArgRetVal big =
        request({{"Color_Red", "5000"}, {"Color_Green", "5000"}, {"Color_Blue", "4294967295"}});
    EXPECT_EQ(rgbAt(drawWindow(e, big), 640, 360), grey(255));
    EXPECT_EQ(w.readout(big, e.raster, 0, 255),
              "RGB: 255, TV: 109% [PQ: 24352 nit], PC: 100% [APL 99]");
}

} // namespace
