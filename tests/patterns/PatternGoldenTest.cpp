// Golden checksums: every registered pattern in every output layout at
// 1280 x 720, 8 and 10 bits, default options, titling off. One checksum per
// (pattern, depth, layout) of the device frame the card is handed.
//
// A pattern that starts drawing is covered here with no new code: the test
// fails and prints the lines to add to kGolden once its output is checked.
// Patterns that draw text (FreeType glyphs shift between versions) are only
// checked for drawing something.
#include "PatternEngine.h"

#include <gtest/gtest.h>

#include <cinttypes>
#include <cstring>
#include <map>
#include <set>
#include <string>

using namespace patterntest;

namespace {

// Checked against the exact code values of the bar and patch tests.
const std::map<std::string, uint64_t> kGolden = {
    {"Chromaticity/10/RGB_10", 0x4f45037399bcd155ull},
    {"Chromaticity/10/RGB_8", 0xaad5ed5a9c74140bull},
    {"Chromaticity/10/YCbCr_10", 0x9b050f676948802dull},
    {"Chromaticity/10/YCbCr_8", 0x701e523a2d7c2422ull},
    {"Chromaticity/8/RGB_10", 0x4f33ddb313ab9c4cull},
    {"Chromaticity/8/RGB_8", 0x8fe9bad1f81c5c75ull},
    {"Chromaticity/8/YCbCr_10", 0x544f525a026fd7ebull},
    {"Chromaticity/8/YCbCr_8", 0xe2e19a21c89a99d2ull},
    {"Color/10/RGB_10", 0x67882c949311b583ull},
    {"Color/10/RGB_8", 0x54deaab8340c7d83ull},
    {"Color/10/YCbCr_10", 0xfa884b8d1e2e3e23ull},
    {"Color/10/YCbCr_8", 0x65d4ac2bb3e4ac03ull},
    {"Color/8/RGB_10", 0xb021ed49a8cac683ull},
    {"Color/8/RGB_8", 0x54deaab8340c7d83ull},
    {"Color/8/YCbCr_10", 0x5732e8a61b0135c3ull},
    {"Color/8/YCbCr_8", 0x65d4ac2bb3e4ac03ull},
    {"Colorbars/10/RGB_10", 0x88ba46a63c0c4ea3ull},
    {"Colorbars/10/RGB_8", 0xdcf0a47e6a700a03ull},
    {"Colorbars/10/YCbCr_10", 0xb71239d4e516f123ull},
    {"Colorbars/10/YCbCr_8", 0x5f2904c65d837463ull},
    {"Colorbars/8/RGB_10", 0x6723ae6852a5e623ull},
    {"Colorbars/8/RGB_8", 0xdcf0a47e6a700a03ull},
    {"Colorbars/8/YCbCr_10", 0x26167a0f45dd92c3ull},
    {"Colorbars/8/YCbCr_8", 0x5f2904c65d837463ull},
};

const std::set<std::string> kTextPatterns = {"About", "Brightness", "Contrast", "ImageFile"};

struct Layout {
    const char* name;
    QiImageCoder::PixelFormat format;
};
const Layout kLayouts[] = {{"RGB_8", QiImageCoder::RGB_8},
                           {"RGB_10", QiImageCoder::RGB_10},
                           {"YCbCr_8", QiImageCoder::YCbCr_8},
                           {"YCbCr_10", QiImageCoder::YCbCr_10}};

void walkRegistry(int bits, int black, int white) {
    PatternEngine e(rasterConfig(bits, black, white));
    QiArgRetVal list;
    e.core->getPatList(list);
    int drawn = 0;
    for (const auto& entry : list) {
        if (entry.second.rfind("Alias/", 0) == 0) continue;
        const std::string& pattern = entry.first;
        for (const Layout& l : kLayouts) {
            const std::string key = pattern + "/" + std::to_string(bits) + "/" + l.name;
            const unsigned before = e.raster->renderCount();
            e.run(request({{"Pattern", pattern.c_str()},
                           {"OutputColor", l.name},
                           {"ColorEncoding", "Rec709"},
                           {"OutputTitling", "false"}}));
            if (e.raster->renderCount() == before) continue; // not drawn yet (see NotDrawnYet)
            ++drawn;
            const MemoryFrame f = e.raster->lastShown();
            ASSERT_EQ(f.layout, l.format) << key;
            ASSERT_EQ(f.width, 1280) << key;
            ASSERT_EQ(f.height, 720) << key;
            if (kTextPatterns.count(pattern)) continue;
            const uint64_t sum = checksum(f);
            auto it = kGolden.find(key);
            if (it == kGolden.end()) {
                char line[128];
                std::snprintf(line, sizeof line, "    {\"%s\", 0x%016" PRIx64 "ull},", key.c_str(),
                              sum);
                ADD_FAILURE() << "no golden checksum; once the frame is checked, add\n" << line;
                continue;
            }
            EXPECT_EQ(sum, it->second) << key;
        }
    }
    EXPECT_GT(drawn, 0);
}

TEST(Golden, EveryPatternEveryLayout10Bit) {
    walkRegistry(10, 64, 940);
}

TEST(Golden, EveryPatternEveryLayout8Bit) {
    walkRegistry(8, 16, 235);
}

} // namespace
