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
    {"CCRA_L20C100/10/RGB_10", 0x0889a691a8a8e383ull},
    {"CCRA_L20C100/10/RGB_8", 0xbd78c4b7e9238383ull},
    {"CCRA_L20C100/10/YCbCr_10", 0x063b4d5c78fffde3ull},
    {"CCRA_L20C100/10/YCbCr_8", 0x08af5e539f464383ull},
    {"CCRA_L20C100/8/RGB_10", 0x0889a691a8a8e383ull},
    {"CCRA_L20C100/8/RGB_8", 0xbd78c4b7e9238383ull},
    {"CCRA_L20C100/8/YCbCr_10", 0x063b4d5c78fffde3ull},
    {"CCRA_L20C100/8/YCbCr_8", 0x08af5e539f464383ull},
    {"Checkerboard/10/RGB_10", 0x02a8d9f7c8806383ull},
    {"Checkerboard/10/RGB_8", 0x00c3c71a73538383ull},
    {"Checkerboard/10/YCbCr_10", 0x3de775effc7635a3ull},
    {"Checkerboard/10/YCbCr_8", 0x1ae9328f57834383ull},
    {"Checkerboard/8/RGB_10", 0x02a8d9f7c8806383ull},
    {"Checkerboard/8/RGB_8", 0x00c3c71a73538383ull},
    {"Checkerboard/8/YCbCr_10", 0x3de775effc7635a3ull},
    {"Checkerboard/8/YCbCr_8", 0x1ae9328f57834383ull},
    {"Chromaticity/10/RGB_10", 0x4f45037399bcd155ull},
    {"Chromaticity/10/RGB_8", 0xaad5ed5a9c74140bull},
    {"Chromaticity/10/YCbCr_10", 0x37823f1952330555ull},
    {"Chromaticity/10/YCbCr_8", 0xc7078dc25f608b4eull},
    {"Chromaticity/8/RGB_10", 0x4f33ddb313ab9c4cull},
    {"Chromaticity/8/RGB_8", 0x8fe9bad1f81c5c75ull},
    {"Chromaticity/8/YCbCr_10", 0x13cb8ff9ebf0b026ull},
    {"Chromaticity/8/YCbCr_8", 0x14cb6df5e7f2b5fbull},
    {"Color/10/RGB_10", 0x67882c949311b583ull},
    {"Color/10/RGB_8", 0x54deaab8340c7d83ull},
    {"Color/10/YCbCr_10", 0xf17cf2d0ee7414a3ull},
    {"Color/10/YCbCr_8", 0xfcf41b2811d35f83ull},
    {"Color/8/RGB_10", 0xb021ed49a8cac683ull},
    {"Color/8/RGB_8", 0x54deaab8340c7d83ull},
    {"Color/8/YCbCr_10", 0x548c937348fc2b43ull},
    {"Color/8/YCbCr_8", 0xfcf41b2811d35f83ull},
    {"Colorbars/10/RGB_10", 0x88ba46a63c0c4ea3ull},
    {"Colorbars/10/RGB_8", 0xdcf0a47e6a700a03ull},
    {"Colorbars/10/YCbCr_10", 0xb410540a595a82c3ull},
    {"Colorbars/10/YCbCr_8", 0x9325118a8b1d50a3ull},
    {"Colorbars/8/RGB_10", 0x6723ae6852a5e623ull},
    {"Colorbars/8/RGB_8", 0xdcf0a47e6a700a03ull},
    {"Colorbars/8/YCbCr_10", 0x1f503b0f643f7203ull},
    {"Colorbars/8/YCbCr_8", 0x9325118a8b1d50a3ull},
    {"BT.815/10/RGB_10", 0xd75221a83d4c8058ull},
    {"BT.815/10/RGB_8", 0x8d8b9217bfd81050ull},
    {"BT.815/10/YCbCr_10", 0x4db97b06b81f46fdull},
    {"BT.815/10/YCbCr_8", 0x82df2b520ddbf714ull},
    {"BT.815/8/RGB_10", 0xd75221a83d4c8058ull},
    {"BT.815/8/RGB_8", 0x8d8b9217bfd81050ull},
    {"BT.815/8/YCbCr_10", 0x4db97b06b81f46fdull},
    {"BT.815/8/YCbCr_8", 0x82df2b520ddbf714ull},
    {"Geometry/10/RGB_10", 0x3cec99da803fe3afull},
    {"Geometry/10/RGB_8", 0x97aa3804d5706903ull},
    {"Geometry/10/YCbCr_10", 0x8d50bb2bbc35619cull},
    {"Geometry/10/YCbCr_8", 0x52c9a87ea98c02abull},
    {"Geometry/8/RGB_10", 0x3cec99da803fe3afull},
    {"Geometry/8/RGB_8", 0x97aa3804d5706903ull},
    {"Geometry/8/YCbCr_10", 0x8d50bb2bbc35619cull},
    {"Geometry/8/YCbCr_8", 0x52c9a87ea98c02abull},
    {"Gradient/10/RGB_10", 0xea824ca20b024403ull},
    {"Gradient/10/RGB_8", 0x74eccf8536d95f03ull},
    {"Gradient/10/YCbCr_10", 0x902da665837a3463ull},
    {"Gradient/10/YCbCr_8", 0xfc61e11966443f83ull},
    {"Gradient/8/RGB_10", 0xfb6d44411f1e0f03ull},
    {"Gradient/8/RGB_8", 0x74eccf8536d95f03ull},
    {"Gradient/8/YCbCr_10", 0x9570260deb9a8363ull},
    {"Gradient/8/YCbCr_8", 0xfc61e11966443f83ull},
    {"IDMS/10/RGB_10", 0xc266f89523c9b863ull},
    {"IDMS/10/RGB_8", 0x2140d00de620b403ull},
    {"IDMS/10/YCbCr_10", 0xb5b27dfce56f8ba3ull},
    {"IDMS/10/YCbCr_8", 0xc8e9868d442beba3ull},
    {"IDMS/8/RGB_10", 0xc266f89523c9b863ull},
    {"IDMS/8/RGB_8", 0x2140d00de620b403ull},
    {"IDMS/8/YCbCr_10", 0xb5b27dfce56f8ba3ull},
    {"IDMS/8/YCbCr_8", 0xc8e9868d442beba3ull},
    {"Resolution/10/RGB_10", 0xc499ae19060ea383ull},
    {"Resolution/10/RGB_8", 0x371298a588320383ull},
    {"Resolution/10/YCbCr_10", 0xfb3d8a0399f720c3ull},
    {"Resolution/10/YCbCr_8", 0x9c37997816954383ull},
    {"Resolution/8/RGB_10", 0xc499ae19060ea383ull},
    {"Resolution/8/RGB_8", 0x371298a588320383ull},
    {"Resolution/8/YCbCr_10", 0xfb3d8a0399f720c3ull},
    {"Resolution/8/YCbCr_8", 0x9c37997816954383ull},
    {"SectorStar/10/RGB_10", 0x9ec207a1fa6b3bcdull},
    {"SectorStar/10/RGB_8", 0x944e8af74fd4bca2ull},
    {"SectorStar/10/YCbCr_10", 0x423bcee26d31f06dull},
    {"SectorStar/10/YCbCr_8", 0xf8bd02f06aaa4ae6ull},
    {"SectorStar/8/RGB_10", 0x9ec207a1fa6b3bcdull},
    {"SectorStar/8/RGB_8", 0x944e8af74fd4bca2ull},
    {"SectorStar/8/YCbCr_10", 0x423bcee26d31f06dull},
    {"SectorStar/8/YCbCr_8", 0xf8bd02f06aaa4ae6ull},
    {"Sharpness/10/RGB_10", 0x47b404d5fa441dbdull},
    {"Sharpness/10/RGB_8", 0x2f463998d0a538b8ull},
    {"Sharpness/10/YCbCr_10", 0x627d50f5059bed41ull},
    {"Sharpness/10/YCbCr_8", 0x08bceffbf09a702cull},
    {"Sharpness/8/RGB_10", 0x1208401da55a1155ull},
    {"Sharpness/8/RGB_8", 0x2f463998d0a538b8ull},
    {"Sharpness/8/YCbCr_10", 0x35fadfc88620dc2bull},
    {"Sharpness/8/YCbCr_8", 0x08bceffbf09a702cull},
    {"Sine/10/RGB_10", 0x09b2fea56a6f6383ull},
    {"Sine/10/RGB_8", 0x82216a2dfdb3bb83ull},
    {"Sine/10/YCbCr_10", 0xc5683090d81de3bbull},
    {"Sine/10/YCbCr_8", 0xfeca40d99c6ce783ull},
    {"Sine/8/RGB_10", 0x424ed350bad15783ull},
    {"Sine/8/RGB_8", 0x82216a2dfdb3bb83ull},
    {"Sine/8/YCbCr_10", 0x9944b873510d811bull},
    {"Sine/8/YCbCr_8", 0xfeca40d99c6ce783ull},
    {"VerticalBar/10/RGB_10", 0xd79f32863df84383ull},
    {"VerticalBar/10/RGB_8", 0xdba97385b7558383ull},
    {"VerticalBar/10/YCbCr_10", 0x4b04f85094e11d63ull},
    {"VerticalBar/10/YCbCr_8", 0xa0bbe23ee2e34383ull},
    {"VerticalBar/8/RGB_10", 0xd79f32863df84383ull},
    {"VerticalBar/8/RGB_8", 0xdba97385b7558383ull},
    {"VerticalBar/8/YCbCr_10", 0x4b04f85094e11d63ull},
    {"VerticalBar/8/YCbCr_8", 0xa0bbe23ee2e34383ull},
    {"Window/10/RGB_10", 0xc5cb28cbf2792383ull},
    {"Window/10/RGB_8", 0x45da73eb45bfc383ull},
    {"Window/10/YCbCr_10", 0x0a087693958cd983ull},
    {"Window/10/YCbCr_8", 0x7977d7bae183c383ull},
    {"Window/8/RGB_10", 0x7b6b905672292383ull},
    {"Window/8/RGB_8", 0x45da73eb45bfc383ull},
    {"Window/8/YCbCr_10", 0x57323921f5f1de83ull},
    {"Window/8/YCbCr_8", 0x7977d7bae183c383ull},
    {"ZonePlate/10/RGB_10", 0xdd21b5ef0e1b7d4dull},
    {"ZonePlate/10/RGB_8", 0xdec4c1b634da22b0ull},
    {"ZonePlate/10/YCbCr_10", 0x9dce4873e7d57550ull},
    {"ZonePlate/10/YCbCr_8", 0xe0c6513bd36999ccull},
    {"ZonePlate/8/RGB_10", 0x6ed6d8de471bf241ull},
    {"ZonePlate/8/RGB_8", 0xdec4c1b634da22b0ull},
    {"ZonePlate/8/YCbCr_10", 0x7b5f7af97e878bcfull},
    {"ZonePlate/8/YCbCr_8", 0xe0c6513bd36999ccull},
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
            ASSERT_NE(e.raster->renderCount(), before) << key << " drew nothing";
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
