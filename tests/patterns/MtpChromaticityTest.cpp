// Chromaticity chart at 1920 x 1080: which rows and columns the locus fills, and the code values
// of known chromaticities in each style.
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

MemoryFrame chart(int bits, std::initializer_list<std::pair<const char*, const char*>> extra) {
    MemoryRasterConfig c;
    c.bits = bits;
    c.blackLevel = bits == 10 ? 64 : 16;
    c.whiteLevel = bits == 10 ? 940 : 235;
    PatternEngine e(c);
    QiArgRetVal req = request({{"Pattern", "Chromaticity"},
                               {"OutputColor", bits == 10 ? "RGB_10" : "RGB_8"},
                               {"OutputTitling", "false"}});
    for (auto& kv : extra)
        req.set(kv.first, kv.second);
    e.run(req);
    return e.raster->lastShown();
}

} // namespace

TEST(Chromaticity, LocusRowsAndColumnsOnBlack) {
    const MemoryFrame f = chart(10, {});
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
}

TEST(Chromaticity, StylesInsideAndOutsideTheRec709Triangle) {
    struct Case {
        const char* style;
        Rgb outside; // (0.1, 0.5)
    };
    const Case cases[] = {
        {"shaded", {0, 769, 497}}, {"constrained", {102, 102, 102}}, {"full", {0, 1023, 661}}};
    for (const Case& k : cases) {
        SCOPED_TRACE(k.style);
        const MemoryFrame f = chart(10, {{"Style", k.style}, {"RgbSpace", "Rec709"}});
        EXPECT_EQ(rgbAt(f, px(600), py(355)), (Rgb{1020, 1019, 1023})); // (0.3125, 0.3287)
        EXPECT_EQ(rgbAt(f, px(192), py(540)), k.outside);
    }
    EXPECT_EQ(rgbAt(chart(8, {{"Style", "constrained"}}), px(192), py(540)), (Rgb{25, 25, 25}));
}

TEST(Chromaticity, DefaultsAndUnknownValuesDrawRec709Shaded) {
    const uint64_t defaults = checksum(chart(10, {}));
    EXPECT_EQ(checksum(chart(10, {{"Style", "shaded"}, {"RgbSpace", "Rec709"}})), defaults);
    EXPECT_EQ(checksum(chart(10, {{"Style", "dotted"}, {"RgbSpace", "Custom"}})), defaults);
    const MemoryFrame rec601 = chart(10, {{"RgbSpace", "rec601"}});
    EXPECT_NE(checksum(rec601), defaults);
    EXPECT_FALSE(rgbAt(rec601, px(192), py(540)) == (Rgb{0, 769, 497}));
}
