// Chromaticity chart at 1920 x 1080: which rows and columns the locus fills, and the code values
// of known chromaticities in each style.
#include "MtpChromaticity.h"
#include "PatternEngine.h"

#include <gtest/gtest.h>

#include <string>

using namespace patterntest;

namespace {

// Column and row of chromaticity (i / 1920, r / 1080) on a 1920 x 1080 raster.
constexpr int px(int i) {
    return 1920 / 5 + i;
}
constexpr int py(int r) {
    return 1080 - 1080 / 10 - r;
}

// A 10-bit 1920 x 1080 engine showing the chart in RGB_10.
class Chromaticity : public ::testing::Test {
protected:
    Chromaticity() : e(MemoryRasterConfig()) {}

    MemoryFrame chart(std::initializer_list<std::pair<const char*, const char*>> extra) {
        QiArgRetVal req = request(
            {{"Pattern", "Chromaticity"}, {"OutputColor", "RGB_10"}, {"OutputTitling", "false"}});
        for (auto& kv : extra)
            req.set(kv.first, kv.second);
        e.run(req);
        return e.raster->lastShown();
    }

    PatternEngine e;
};

} // namespace

const Rgb kWhitish = {1020, 1019, 1023}; // (0.3125, 0.3287), inside: the same in every style
const Rgb kShadedGreen = {0, 769, 497};  // (0.1, 0.5), outside the Rec709 triangle

// The default request: Rec709, "shaded".
TEST_F(Chromaticity, LocusOnBlackInDefaultStyle) {
    const MemoryFrame f = chart({});
    const Rgb black = {64, 64, 64};
    auto drawn = [&](int x, int y) { return !(rgbAt(f, x, y) == black); };
    // Chart rows 6 to 900 (pixel rows 966 up to 72) hold the locus; no other row does.
    for (int y = 0; y < 1080; ++y) {
        int n = 0;
        for (int x = 0; x < 1920; ++x)
            n += drawn(x, y);
        EXPECT_EQ(n > 0, y >= py(900) && y <= py(6)) << "pixel row " << y;
    }
    // y = 0.3 fills i = 85 to 1342.
    EXPECT_FALSE(drawn(px(84), py(324)));
    EXPECT_TRUE(drawn(px(85), py(324)));
    EXPECT_TRUE(drawn(px(1342), py(324)));
    EXPECT_FALSE(drawn(px(1343), py(324)));
    EXPECT_EQ(rgbAt(f, px(600), py(355)), kWhitish);
    EXPECT_EQ(rgbAt(f, px(192), py(540)), kShadedGreen);
}

TEST_F(Chromaticity, ConstrainedAndFullOutsideTheTriangle) {
    const MemoryFrame constrained = chart({{"Style", "constrained"}, {"RgbSpace", "Rec709"}});
    EXPECT_EQ(rgbAt(constrained, px(600), py(355)), kWhitish);
    EXPECT_EQ(rgbAt(constrained, px(192), py(540)), (Rgb{102, 102, 102}));
    const MemoryFrame full = chart({{"Style", "full"}});
    EXPECT_EQ(rgbAt(full, px(600), py(355)), kWhitish);
    EXPECT_EQ(rgbAt(full, px(192), py(540)), (Rgb{0, 1023, 661}));
}

TEST_F(Chromaticity, UnknownValuesDrawTheDefaultsAndRec601Differs) {
    const MemoryFrame unknown = chart({{"Style", "dotted"}, {"RgbSpace", "Custom"}});
    EXPECT_EQ(rgbAt(unknown, px(600), py(355)), kWhitish);
    EXPECT_EQ(rgbAt(unknown, px(192), py(540)), kShadedGreen);
    const MemoryFrame rec601 = chart({{"RgbSpace", "rec601"}, {"Style", "Shaded"}});
    EXPECT_FALSE(rgbAt(rec601, px(192), py(540)) == kShadedGreen);
    EXPECT_FALSE(rgbAt(rec601, px(192), py(540)) == (Rgb{64, 64, 64}));
}

// The chart of the last render is kept and drawn again when nothing it depends on changed: after
// other patterns, other styles, spaces and sizes, the same request shows the same frame.
TEST_F(Chromaticity, AChartDrawnAgainIsTheSameWhateverCameBefore) {
    const MemoryFrame first = chart({});
    const MemoryFrame again = chart({});
    EXPECT_EQ(first.bytes, again.bytes);
    e.run(request({{"Pattern", "Colorbars"}}));
    const MemoryFrame full = chart({{"Style", "full"}});
    EXPECT_NE(first.bytes, full.bytes);
    chart({{"RgbSpace", "Rec601"}, {"Style", "shaded"}});
    EXPECT_EQ(1280, chart({{"VideoFormat", "720p50"}, {"RgbSpace", "Rec709"}}).width);
    const MemoryFrame back = chart({{"VideoFormat", "1080p25"}});
    EXPECT_EQ(1920, back.width);
    EXPECT_EQ(first.bytes, back.bytes);
    EXPECT_EQ(full.bytes, chart({{"Style", "full"}}).bytes);
}

// A kept chart of another size is given back by the first frame shown at a smaller size, whatever
// pattern it shows; a chart of the new size stays, and neither the same size nor a larger one
// gives it back. The chart drawn again from what was kept at the small size is the fresh one.
TEST_F(Chromaticity, AChartOfAnotherSizeIsGivenBackWhenTheFramesShrink) {
    enum Kept { None, Large, Small };
    const struct {
        const char* pattern;
        const char* format;
        Kept kept;
    } steps[] = {
        {"Chromaticity", "1080p25", Large}, // drawn and kept
        {"Colorbars", "1080p30", Large},    // the same size
        {"Colorbars", "720p50", None},      // smaller
        {"Chromaticity", "720p50", Small},  // drawn fresh and kept
        {"Colorbars", "1080p25", Small},    // larger
        {"Colorbars", "720p50", Small},     // smaller, to the chart's own size
    };
    size_t pixels[] = {0, 0, 0}; // by Kept: none, then as first seen
    MemoryFrame fresh;
    for (const auto& s : steps) {
        const MemoryFrame f = chart({{"Pattern", s.pattern}, {"VideoFormat", s.format}});
        if (s.kept != None && !pixels[s.kept]) pixels[s.kept] = MtpChromaticity::keptChartPixels();
        if (s.kept == Small && fresh.bytes.empty()) fresh = f;
        EXPECT_EQ(MtpChromaticity::keptChartPixels(), pixels[s.kept])
            << s.pattern << " at " << s.format;
    }
    EXPECT_GT(pixels[Large], pixels[Small]);
    EXPECT_GT(pixels[Small], 0u);
    ASSERT_EQ(fresh.width, 1280);
    EXPECT_EQ(chart({{"Pattern", "Chromaticity"}, {"VideoFormat", "720p50"}}).bytes, fresh.bytes);
}
