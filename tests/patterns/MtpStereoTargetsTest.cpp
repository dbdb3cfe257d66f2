// The zone plate and the sector star: target centres, the right-eye copy and
// the colour lists of the sector star's styles.
#include "CustomEngine.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <string>

using namespace patterntest;

namespace {

// A back-end with a right-eye image, which keeps whether stereo output is on.
class StereoRaster : public MemoryRaster {
public:
    explicit StereoRaster(const MemoryRasterConfig& c)
        : MemoryRaster(c), right(width, height, bits) {
        right.clear(kUntouched);
    }
    bool has3D() override { return true; }
    bool use3D(bool on) override {
        stereo = on;
        return true;
    }
    QiImage* getRightImage() override { return &right; }

    static constexpr uint64_t kUntouched = 0x12345;
    QiImage right;
    bool stereo = true; // the renderers must switch it off themselves
};

using StereoEngine = CustomEngine<StereoRaster>;

constexpr int kW = 1280, kH = 720;
const Rgb kBlack{64, 64, 64}, kWhite{940, 940, 940};

// A four-sector star of black and white: above its centre row black lies left
// of the centre and white right of it.
QiArgRetVal quadrantStar(const char* stereo) {
    return request({{"Pattern", "SectorStar"}, {"Divisions", "4"}, {"Stereo", stereo}});
}
void expectStarCentre(const QiImage* image, int cx, const char* which) {
    const int y = kH / 2 - 20;
    if (cx > 2) {
        EXPECT_EQ(StereoEngine::pixel(image, cx - 3, y), kBlack) << which << " at " << cx;
    }
    if (cx < kW - 3) {
        EXPECT_EQ(StereoEngine::pixel(image, cx + 3, y), kWhite) << which << " at " << cx;
    }
}

TEST(StereoTargets, SectorStarCentresMoveApartByStereoPercentOfHalfTheWidth) {
    StereoEngine e(new StereoRaster(rasterConfig(10, 64, 940)), dataFolder());
    // -50 moves the main centre right by a quarter width, the right eye's left.
    e.run(quadrantStar("-50"));
    expectStarCentre(e.raster, kW / 2 + 320, "main");
    expectStarCentre(&e.raster->right, kW / 2 - 320, "right");
    EXPECT_TRUE(e.raster->stereo);
    // 100: the centres reach the edges, 0 and the full width.
    e.run(quadrantStar("100"));
    expectStarCentre(e.raster, 0, "main");
    expectStarCentre(&e.raster->right, kW, "right");
    EXPECT_EQ(StereoEngine::pixel(&e.raster->right, kW - 1, kH / 2 - 20), kBlack);
    EXPECT_TRUE(e.raster->stereo);
}

TEST(StereoTargets, StereoZeroDrawsOneCentredTargetAndSwitchesStereoOff) {
    StereoEngine e(new StereoRaster(rasterConfig(10, 64, 940)), dataFolder());
    for (const char* pattern : {"SectorStar", "ZonePlate"}) {
        e.raster->stereo = true;
        e.raster->right.clear(StereoRaster::kUntouched);
        e.run(request({{"Pattern", pattern}, {"Divisions", "4"}, {"Stereo", "0"}}));
        EXPECT_FALSE(e.raster->stereo) << pattern;
        EXPECT_EQ(e.raster->right.pixels[kW / 2], StereoRaster::kUntouched) << pattern;
        if (std::string(pattern) == "SectorStar") expectStarCentre(e.raster, kW / 2, "main");
    }
}

TEST(StereoTargets, WithoutRightEyeImageTheSeparationIsIgnored) {
    PatternEngine e(rasterConfig(10, 64, 940));
    e.run(quadrantStar("50"));
    expectStarCentre(e.raster, kW / 2, "main");
}

TEST(StereoTargets, ZonePlateCopiesUseOppositeShiftsAndCoverThePreviousPattern) {
    StereoEngine e(new StereoRaster(rasterConfig(10, 64, 940)), dataFolder());
    e.run(request({{"Pattern", "SectorStar"}, {"Style", "RGBCMYK"}, {"Stereo", "10"}}));
    e.run(request({{"Pattern", "ZonePlate"},
                   {"Stereo", "-50"},
                   {"Scale", "40"},
                   {"StartColor_Red", "100"},
                   {"EndColor_Blue", "900"}}));
    EXPECT_TRUE(e.raster->stereo);
    // The same primitive with the centres the separation gives.
    const uint64_t start = 100ull << 20 | 64 << 10 | 64, end = 940ull << 20 | 940 << 10 | 900;
    QiImage main(kW, kH, 10), right(kW, kH, 10);
    // Row 0, which the primitive leaves alone, is the start colour, not what the
    // image held before.
    main.clear(start);
    right.clear(start);
    main.renderZonePlate(0, 0, kW, kH, kW / 2 + 320, kH / 2, 40, start, end);
    right.renderZonePlate(0, 0, kW, kH, kW / 2 - 320, kH / 2, 40, start, end);
    int mainDiffers = 0, rightDiffers = 0;
    for (size_t i = 0; i < size_t(kW) * kH; ++i) {
        mainDiffers += e.raster->pixels[i] != main.pixels[i];
        rightDiffers += e.raster->right.pixels[i] != right.pixels[i];
    }
    EXPECT_EQ(mainDiffers, 0);
    EXPECT_EQ(rightDiffers, 0);
    EXPECT_NE(main.pixels[kW * 100 + 100], right.pixels[kW * 100 + 100]);
}

// The worked cases on 1920 pixels: each plate stands at its own centre, the
// main one at 1920 / 2 - sep and the right eye's at 1920 / 2 + sep.
TEST(StereoTargets, ZonePlateCentresOnA1920Raster) {
    MemoryRasterConfig c = rasterConfig(10, 64, 940);
    c.formats = {{"1080p", 1920, 1080}};
    StereoEngine e(new StereoRaster(c), dataFolder());
    const uint16_t* tab = QiImage::sineTable10();
    auto expectCentre = [&](const QiImage* image, int cx, const char* stereo) {
        const int ey = 7; // row 540 + ey, mirrored with dy = ey + 1
        for (int x = std::max(cx - 40, 0); x < std::min(cx + 40, 1920); ++x) {
            const uint32_t p =
                static_cast<uint32_t>((x - cx) * (x - cx) + (ey + 1) * (ey + 1)) * 100u;
            const uint64_t want =
                image->interpolateColor(image->makeGrey(64), image->makeGrey(940),
                                        tab[static_cast<int>(p / 1023.0 + 0.5) & 1023] / 1023.0);
            ASSERT_EQ(image->pixels[size_t(540 + ey) * 1920 + size_t(x)], want)
                << "Stereo " << stereo << ", centre " << cx << ", x " << x;
        }
    };
    e.run(request({{"Pattern", "ZonePlate"}, {"Stereo", "100"}}));
    expectCentre(e.raster, 0, "100");
    expectCentre(&e.raster->right, 1920, "100");
    e.run(request({{"Pattern", "ZonePlate"}, {"Stereo", "-50"}}));
    expectCentre(e.raster, 1440, "-50");
    expectCentre(&e.raster->right, 480, "-50");
}

TEST(StereoTargets, RgbcmykStyleUsesTheEightLevelColoursNotTheOptions) {
    PatternEngine e(rasterConfig(10, 64, 940));
    e.run(request({{"Pattern", "SectorStar"},
                   {"Style", "RGBCMYK"},
                   {"Color1_Red", "300"},
                   {"Color2_Green", "700"}}));
    std::set<uint64_t> seen(e.raster->pixels, e.raster->pixels + size_t(kW) * kH);
    std::set<uint64_t> expected;
    for (int r : {64, 940})
        for (int g : {64, 940})
            for (int b : {64, 940})
                expected.insert(uint64_t(r) << 20 | uint64_t(g) << 10 | uint64_t(b));
    EXPECT_EQ(seen, expected);
}

} // namespace
