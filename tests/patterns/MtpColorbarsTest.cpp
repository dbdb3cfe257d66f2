// Colour bars: the code values of every bar, read back from the device frame
// in RGB and in v210, at 8 and 10 bits and two brightnesses.
#include "PatternEngine.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace patterntest;

namespace {

struct Depth {
    int bits, black, white;
    int level75, level100;         // black + (white - black) * p / 100
    Rgb minusI, plusQ;             // fixed bottom-row references
    int plugeLow, plugeHigh;       // fixed PLUGE greys
    QiImageCoder::PixelFormat rgb; // the RGB layout that carries every code
    const char* rgbName;
};

const Depth k8 = {8,      16, 235, 180, 235, {0, 16, 64}, {32, 0, 96}, 7, 25, QiImageCoder::RGB_8,
                  "RGB_8"};
const Depth k10 = {
    10, 64, 940, 721, 940, {0, 64, 256}, {128, 0, 384}, 28, 100, QiImageCoder::RGB_10, "RGB_10"};

// Top row: grey, yellow, cyan, green, magenta, red, blue.
Rgb topBar(int i, int L, int B) {
    const Rgb t[7] = {{L, L, L}, {L, L, B}, {B, L, L}, {B, L, B}, {L, B, L}, {L, B, B}, {B, B, L}};
    return t[i];
}
// Middle row: blue, black, magenta, black, cyan, black, grey.
Rgb middleBar(int i, int L, int B) {
    const Rgb t[7] = {{B, B, L}, {B, B, B}, {L, B, L}, {B, B, B}, {B, L, L}, {B, B, B}, {L, L, L}};
    return t[i];
}

// Even x at the middle of column i of n across 1280 pixels.
int columnMiddle(int i, int n) {
    return (1280 * i / n + 1280 * (i + 1) / n) / 2 & ~1;
}

struct Sample {
    int x, y;
    Rgb colour;
    std::string what;
};

std::vector<Sample> expectedSamples(const std::string& style, const Depth& d, int L) {
    const int B = d.black;
    std::vector<Sample> s;
    if (style == "smpte") {
        for (int i = 0; i < 7; ++i) {
            s.push_back({columnMiddle(i, 7), 216, topBar(i, L, B), "top " + std::to_string(i)});
            s.push_back(
                {columnMiddle(i, 7), 504, middleBar(i, L, B), "middle " + std::to_string(i)});
        }
        s.push_back({columnMiddle(0, 6), 648, d.minusI, "-I"});
        s.push_back({columnMiddle(1, 6), 648, {L, L, L}, "bottom grey"});
        s.push_back({columnMiddle(2, 6), 648, d.plusQ, "+Q"});
        s.push_back({columnMiddle(3, 6), 648, {B, B, B}, "bottom black"});
        s.push_back({columnMiddle(15, 21), 648, {d.plugeLow, d.plugeLow, d.plugeLow}, "PLUGE low"});
        s.push_back({columnMiddle(16, 21), 648, {B, B, B}, "between PLUGE"});
        s.push_back(
            {columnMiddle(17, 21), 648, {d.plugeHigh, d.plugeHigh, d.plugeHigh}, "PLUGE high"});
        s.push_back({columnMiddle(19, 21), 648, {B, B, B}, "right black"});
        // Bar edges: 1280 / 7 is not whole, each bar starts at 1280 * i / 7.
        s.push_back({182, 0, topBar(1, L, B), "first column of bar 1"});
        s.push_back({181, 431, topBar(0, L, B), "last pixel of bar 0"});
        s.push_back({181, 432, middleBar(0, L, B), "first middle row"});
        s.push_back({1279, 719, {B, B, B}, "bottom right corner"});
    } else if (style == "fullfield") {
        for (int i = 0; i < 7; ++i) {
            s.push_back({columnMiddle(i, 7), 0, topBar(i, L, B), "top " + std::to_string(i)});
            s.push_back({columnMiddle(i, 7), 719, topBar(i, L, B), "foot " + std::to_string(i)});
        }
    } else {
        // Rows of the bars, forward or reversed.
        const std::vector<bool> reversed = style == "splitfield"
                                               ? std::vector<bool>{false, true}
                                               : std::vector<bool>{false, true, false};
        const int rows = static_cast<int>(reversed.size());
        for (int r = 0; r < rows; ++r)
            for (int i = 0; i < 7; ++i) {
                const int y = (720 * r / rows + 720 * (r + 1) / rows) / 2;
                s.push_back({columnMiddle(i, 7), y, topBar(reversed[r] ? 6 - i : i, L, B),
                             "row " + std::to_string(r) + " bar " + std::to_string(i)});
            }
    }
    return s;
}

void checkFrames(PatternEngine& e, const Depth& d, const char* style, int brightness, int L) {
    const std::string b = std::to_string(brightness);
    e.run(request({{"Pattern", "Colorbars"},
                   {"Style", style},
                   {"Brightness", b.c_str()},
                   {"OutputColor", d.rgbName},
                   {"ColorEncoding", "Rec709"}}));
    MemoryFrame rgb = e.raster->lastShown();
    ASSERT_EQ(rgb.layout, d.rgb);
    e.run(request({{"OutputColor", "YCbCr_10"}}));
    MemoryFrame v210 = e.raster->lastShown();
    ASSERT_EQ(v210.layout, QiImageCoder::YCbCr_10);
    for (const Sample& s : expectedSamples(style, d, L)) {
        SCOPED_TRACE(std::string(style) + " " + b + "% " + s.what + " at " + std::to_string(s.x) +
                     "," + std::to_string(s.y));
        EXPECT_EQ(rgbAt(rgb, s.x, s.y), s.colour);
        EXPECT_EQ(v210At(v210, s.x & ~1, s.y), expectedV210(s.colour, d.bits));
    }
}

class Colorbars : public ::testing::TestWithParam<const Depth*> {};

TEST_P(Colorbars, EveryBarOfEveryStyleAtBothBrightnesses) {
    const Depth& d = *GetParam();
    PatternEngine e(rasterConfig(d.bits, d.black, d.white));
    for (const char* style : {"smpte", "fullfield", "splitfield", "3split"}) {
        checkFrames(e, d, style, 75, d.level75);
        checkFrames(e, d, style, 100, d.level100);
    }
}

// Brightness 0 turns the top and middle rows black; the fixed references stay.
TEST_P(Colorbars, BrightnessZeroKeepsOnlyTheFixedReferences) {
    const Depth& d = *GetParam();
    PatternEngine e(rasterConfig(d.bits, d.black, d.white));
    checkFrames(e, d, "smpte", 0, d.black);
}

INSTANTIATE_TEST_SUITE_P(Depths, Colorbars, ::testing::Values(&k8, &k10),
                         [](const ::testing::TestParamInfo<const Depth*>& info) {
                             return "Bits" + std::to_string(info.param->bits);
                         });

// In v210 a grey bar is its own level in Y with neutral chroma: the levels
// arrive at the card unchanged.
TEST(ColorbarsV210, GreyBarsAreTheirLevelWithNeutralChroma) {
    PatternEngine e(rasterConfig(10, 64, 940));
    e.run(request({{"Pattern", "Colorbars"},
                   {"Style", "fullfield"},
                   {"OutputColor", "YCbCr_10"},
                   {"ColorEncoding", "Rec709"}}));
    EXPECT_EQ(v210At(e.raster->lastShown(), 90, 360), (Ycc{721, 512, 512}));
    e.run(request({{"Pattern", "Colorbars"}, {"Style", "fullfield"}, {"Brightness", "100"}}));
    EXPECT_EQ(v210At(e.raster->lastShown(), 90, 360), (Ycc{940, 512, 512}));
}

// A style that names no value draws the default style, whatever was drawn before.
TEST(ColorbarsOptions, UnknownStyleDrawsTheDefaultStyle) {
    PatternEngine e(rasterConfig(10, 64, 940));
    e.run(request({{"Pattern", "Colorbars"}, {"OutputColor", "RGB_10"}}));
    const uint64_t smpte = checksum(e.raster->lastShown());
    e.run(request({{"Pattern", "Colorbars"}, {"Style", "3split"}}));
    EXPECT_NE(checksum(e.raster->lastShown()), smpte);
    e.run(request({{"Pattern", "Colorbars"}, {"Style", "no such style"}}));
    EXPECT_EQ(checksum(e.raster->lastShown()), smpte);
    // Brightness is clamped to 0..100.
    e.run(request({{"Pattern", "Colorbars"}, {"Brightness", "250"}}));
    EXPECT_EQ(rgbAt(e.raster->lastShown(), 90, 100), (Rgb{940, 940, 940}));
}

// The aliases carry their style.
TEST(ColorbarsOptions, AliasesSelectTheirStyle) {
    PatternEngine e(rasterConfig(10, 64, 940));
    e.run(request({{"Pattern", "splitfield"}, {"OutputColor", "RGB_10"}}));
    // Grey at the top left, blue below it.
    EXPECT_EQ(rgbAt(e.raster->lastShown(), 90, 100), (Rgb{721, 721, 721}));
    EXPECT_EQ(rgbAt(e.raster->lastShown(), 90, 600), (Rgb{64, 64, 721}));
    e.run(request({{"Pattern", "SMPTEBars"}}));
    EXPECT_EQ(rgbAt(e.raster->lastShown(), columnMiddle(15, 21), 648), (Rgb{28, 28, 28}));
}

} // namespace
