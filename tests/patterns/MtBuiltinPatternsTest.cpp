// The registration list: the published pattern list, the built-in aliases,
// every option record, the shared colour helper and the renderers that do not
// draw yet.
#include "MtpFrame.h"
#include "PatternEngine.h"
#include "QiImage.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <string>
#include <thread>
#include <vector>

using namespace patterntest;

namespace {

// Registration order, with the revision each pattern publishes.
const std::vector<std::pair<std::string, std::string>> kPatterns = {
    {"About", "$Revision: 1.8 $"},         {"CCRA_L20C100", "$Revision: 1.0 $"},
    {"IDMS", "$Revision: 1.0 $"},          {"BT.815", "$Revision: 1.0 $"},
    {"Brightness", "$Revision: 1.14 $"},   {"Checkerboard", "$Revision: 1.11 $"},
    {"Chromaticity", "$Revision: 1.11 $"}, {"Color", "$Revision: 1.8 $"},
    {"Colorbars", "$Revision: 1.13 $"},    {"Contrast", "$Revision: 1.10 $"},
    {"Geometry", "$Revision: 1.6 $"},      {"Gradient", "$Revision: 1.5 $"},
    {"Sharpness", "$Revision: 1.9 $"},     {"VerticalBar", "$Revision $"},
    {"Window", "$Revision: 1.9 $"},        {"ZonePlate", "$Revision: 1.6 $"},
    {"Resolution", "$Revision: 1.4 $"},    {"ImageFile", "$Revision: 1.6 $"},
    {"Sine", "$Revision: 1.6 $"},          {"SectorStar", "$Revision: 1.6 $"},
};

// The aliases "Alias(name) => pattern {key value} ..." as the engine traces them.
std::map<std::string, std::string> dumpedAliases(MtCore* core) {
    testsupport::ScopedCapture capture;
    core->dumpAliases();
    std::map<std::string, std::string> out;
    for (const std::string& line : capture.out->take()) {
        const size_t open = line.find("Alias("), close = line.find(") => ");
        if (open == std::string::npos || close == std::string::npos) continue;
        std::string rest = line.substr(close + 5);
        while (!rest.empty() && (rest.back() == '\n' || rest.back() == ' '))
            rest.pop_back();
        out[line.substr(open + 6, close - open - 6)] = rest;
    }
    return out;
}

TEST(BuiltinPatterns, PublishedListHasTheTwentyPatternsAndTheirAliases) {
    PatternEngine e(rasterConfig(10, 64, 940));
    QiArgRetVal list;
    e.core->getPatList(list);
    for (const auto& p : kPatterns)
        EXPECT_EQ(text(list, p.first.c_str()), p.second) << p.first;
    const std::map<std::string, std::string> aliases = {
        {"Raster", "Window"},
        {"Tint", "Color"},
        {"fullfield", "Colorbars"},
        {"splitfield", "Colorbars"},
        {"3split", "Colorbars"},
        {"SMPTEBars", "Colorbars"},
        {"Ramp", "Gradient"},
        {"HRamp", "Gradient"},
        {"VRamp", "Gradient"},
        {"HStair11", "Gradient"},
        {"VStair11", "Gradient"},
        {"VStair21", "Gradient"},
        {"HStair21", "Gradient"},
        {"DynamicRange", "Gradient"},
        {"Window16.30", "Window"},
        {"Window16.80", "Window"},
        {"Lumevra-Test-Card", "ImageFile"},
    };
    for (const auto& a : aliases)
        EXPECT_EQ(text(list, a.first.c_str()), "Alias/" + a.second) << a.first;
    // The data folder's one image set, the test card: nothing else.
    EXPECT_EQ(list.size(), 37u);
}

TEST(BuiltinPatterns, AliasArgumentsAtRegistrationLevels) {
    PatternEngine e(rasterConfig(10, 64, 940));
    auto a = dumpedAliases(e.core);
    ASSERT_EQ(a.size(), 17u); // the built-ins' 16 and the test card
    // Four patterns register "Raster"; the Window's, registered last, stands.
    EXPECT_EQ(a["Raster"], "Window {Pattern Window} {Size 100}");
    // 64 + 876 * 30 / 100 and 64 + 876 * 80 / 100, truncated.
    EXPECT_EQ(a["Window16.30"], "Window {Color_Blue 326} {Color_Green 326} {Color_Red 326} "
                                "{Pattern Window} {Size 16}");
    EXPECT_EQ(a["Window16.80"], "Window {Color_Blue 764} {Color_Green 764} {Color_Red 764} "
                                "{Pattern Window} {Size 16}");
    EXPECT_EQ(a["Ramp"], "Gradient {Orientation Horizontal} {Pattern Gradient} {Steps 0}");
    EXPECT_EQ(a["VRamp"], "Gradient {Orientation Vertical} {Pattern Gradient} {Steps 0}");
    EXPECT_EQ(a["HStair21"], "Gradient {Orientation Horizontal} {Pattern Gradient} {Steps 21}");
    EXPECT_EQ(a["VStair11"], "Gradient {Orientation Vertical} {Pattern Gradient} {Steps 11}");
    // No orientation: the Gradient's default applies.
    EXPECT_EQ(a["DynamicRange"], "Gradient {Mirror true} {Pattern Gradient} {Splits 3} {Steps 0}");
    EXPECT_EQ(a["SMPTEBars"], "Colorbars {Pattern Colorbars} {Style smpte}");
    EXPECT_EQ(a["3split"], "Colorbars {Pattern Colorbars} {Style 3split}");
    EXPECT_EQ(a["Tint"], "Color {Pattern Color}");
}

TEST(BuiltinPatterns, AliasLevelsFollowTheRasterAtRegistration) {
    PatternEngine e(rasterConfig(8, 16, 235));
    auto a = dumpedAliases(e.core);
    // 16 + 219 * 30 / 100 = 81, 16 + 219 * 80 / 100 = 191.
    EXPECT_EQ(a["Window16.30"], "Window {Color_Blue 81} {Color_Green 81} {Color_Red 81} "
                                "{Pattern Window} {Size 16}");
    EXPECT_EQ(a["Window16.80"], "Window {Color_Blue 191} {Color_Green 191} {Color_Red 191} "
                                "{Pattern Window} {Size 16}");
}

std::vector<std::string> optionNames(MtCore* core, const char* pattern) {
    std::vector<QiArgRetVal> records;
    EXPECT_TRUE(core->getPatOpts(pattern, records)) << pattern;
    std::vector<std::string> names;
    for (const QiArgRetVal& r : records) {
        // Every record is complete.
        for (const char* key : {"Name", "DataType", "Description", "uiX", "uiY", "uiW", "uiH"})
            EXPECT_NE(text(r, key), "<absent>") << pattern << " " << text(r, "Name") << " " << key;
        EXPECT_NE(text(r, "Description"), "") << pattern;
        names.push_back(text(r, "Name"));
    }
    return names;
}

TEST(BuiltinPatterns, OptionListsInPublishedOrder) {
    PatternEngine e(rasterConfig(10, 64, 940));
    using V = std::vector<std::string>;
    const std::map<std::string, V> expected = {
        {"About", V{}},
        {"CCRA_L20C100", V{}},
        {"IDMS", V{}},
        {"BT.815", V{}},
        {"Brightness", V{"bgLevel", "Style", "Bracket"}},
        {"Checkerboard", V{"hPatch", "vPatch", "hiColor", "loColor", "invert"}},
        {"Chromaticity", V{"Style", "RgbSpace"}},
        {"Color", V{"Brightness", "Style"}},
        {"Colorbars", V{"Style", "Brightness"}},
        {"Contrast", V{"bgLevel"}},
        {"Geometry", V{"hLines", "vLines"}},
        {"Gradient",
         V{"Steps", "Orientation", "Style", "Gamma", "Mirror", "StartColor", "EndColor", "Splits"}},
        {"Sharpness", V{"Style"}},
        {"VerticalBar", V{"style", "width", "offset", "hiColor", "loColor", "invert"}},
        {"Window", V{"Style", "Size", "APL", "Color", "BgColor", "xOffset", "yOffset", "loPluge",
                     "hiPluge", "gridLines", "hDiv", "vDiv"}},
        {"ZonePlate", V{"Scale", "Stereo", "StartColor", "EndColor"}},
        {"Resolution", V{"Style", "LowColor", "HiColor"}},
        {"ImageFile", V{"dxOff", "dyOff", "sxOff", "syOff", "width", "height", "Anchor"}},
        {"Sine", V{"Scale", "Orientation", "StartColor", "EndColor"}},
        {"SectorStar", V{"Divisions", "Style", "Stereo", "Color1", "Color2"}},
    };
    ASSERT_EQ(expected.size(), kPatterns.size());
    for (const auto& p : expected)
        EXPECT_EQ(optionNames(e.core, p.first.c_str()), p.second) << p.first;
}

QiArgRetVal record(MtCore* core, const char* pattern, const char* option) {
    std::vector<QiArgRetVal> records;
    core->getPatOpts(pattern, records);
    for (const QiArgRetVal& r : records)
        if (text(r, "Name") == option) return r;
    ADD_FAILURE() << pattern << " has no option " << option;
    return QiArgRetVal();
}

// Records in full for each kind of descriptor, and the defaults that
// registration takes from a 10-bit raster's levels 64 and 940.
TEST(BuiltinPatterns, OptionRecordsAndRegistrationDefaults) {
    PatternEngine e(rasterConfig(10, 64, 940));
    MtCore* c = e.core;
    QiArgRetVal expect = request({{"DataType", "Enumeration"},
                                  {"DefaultValue", "smpte"},
                                  {"Description", "The style of colorbars to render"},
                                  {"Name", "Style"},
                                  {"Style0", "smpte"},
                                  {"Style1", "fullfield"},
                                  {"Style2", "splitfield"},
                                  {"Style3", "3split"},
                                  {"nVal", "4"},
                                  {"uiH", "0"},
                                  {"uiW", "0"},
                                  {"uiX", "-1"},
                                  {"uiY", "-1"}});
    EXPECT_EQ(record(c, "Colorbars", "Style"), expect);
    expect = request({{"DataType", "Integer"},
                      {"DefaultValue", "75"},
                      {"Description", "The brightness level of the color/tint pattern"},
                      {"MaxValue", "100"},
                      {"MinValue", "0"},
                      {"Name", "Brightness"},
                      {"uiH", "-1"},
                      {"uiW", "-1"},
                      {"uiX", "0"},
                      {"uiY", "0"}});
    EXPECT_EQ(record(c, "Color", "Brightness"), expect);
    expect = request({{"DataType", "RGB"},
                      {"DefaultIsRGB", "true"},
                      {"DefaultValueB", "940"},
                      {"DefaultValueG", "940"},
                      {"DefaultValueR", "940"},
                      {"Description", "The second RGB color"},
                      {"Name", "Color2"},
                      {"uiH", "-1"},
                      {"uiPredicateLogic", "0"},
                      {"uiPredicatesOnField", "Style"},
                      {"uiPredicatesOnValue", "RGBCMYK"},
                      {"uiW", "-1"},
                      {"uiX", "185"},
                      {"uiY", "25"}});
    EXPECT_EQ(record(c, "SectorStar", "Color2"), expect);

    // Window: mid level and black level, DefaultIsRGB false; hDiv shown with grid lines.
    QiArgRetVal r = record(c, "Window", "Color");
    EXPECT_EQ(text(r, "DefaultValueR"), "502");
    EXPECT_EQ(text(r, "DefaultIsRGB"), "false");
    EXPECT_EQ(text(record(c, "Window", "BgColor"), "DefaultValueB"), "64");
    r = record(c, "Window", "hDiv");
    EXPECT_EQ(text(r, "uiPredicatesOnField"), "gridLines");
    EXPECT_EQ(text(r, "uiPredicatesOnValue"), "true");
    EXPECT_EQ(text(r, "uiPredicateLogic"), "1");
    EXPECT_EQ(text(record(c, "Window", "Size"), "uiPredicatesOnValue"), "Constant Size");
    // The largest 10-bit code is 1023, capped at 1020.
    EXPECT_EQ(text(record(c, "Contrast", "bgLevel"), "DefaultValueG"), "1020");
    EXPECT_EQ(text(record(c, "Brightness", "bgLevel"), "DefaultValueG"), "0");
    EXPECT_EQ(text(record(c, "Brightness", "Style"), "DefaultValue"), "Static");
    for (const char* p : {"Gradient", "Sine", "ZonePlate"}) {
        EXPECT_EQ(text(record(c, p, "StartColor"), "DefaultValueR"), "64") << p;
        EXPECT_EQ(text(record(c, p, "EndColor"), "DefaultValueB"), "940") << p;
    }
    EXPECT_EQ(text(record(c, "Gradient", "Orientation"), "DefaultValue"), "Vertical");
    EXPECT_EQ(text(record(c, "Gradient", "Gamma"), "MinValue"), "0.100000");
    EXPECT_EQ(text(record(c, "Gradient", "Splits"), "uiPredicatesOnValue"), "Normal");
    EXPECT_EQ(text(record(c, "Checkerboard", "hiColor"), "DefaultValueR"), "940");
    EXPECT_EQ(text(record(c, "VerticalBar", "loColor"), "DefaultValueR"), "64");
    EXPECT_EQ(text(record(c, "Resolution", "HiColor"), "DefaultValueR"), "940");
    EXPECT_EQ(text(record(c, "SectorStar", "Color1"), "DefaultValueR"), "64");
    // The default -1 lies outside the range: it applies only to an absent key.
    r = record(c, "ImageFile", "width");
    EXPECT_EQ(text(r, "DefaultValue"), "-1");
    EXPECT_EQ(text(r, "MinValue"), "0");
    EXPECT_EQ(text(r, "MaxValue"), "100");
    EXPECT_EQ(text(record(c, "ImageFile", "Anchor"), "Anchor8"), "BR");
    EXPECT_EQ(text(record(c, "ZonePlate", "Stereo"), "MinValue"), "-100");
    EXPECT_EQ(text(record(c, "Chromaticity", "RgbSpace"), "uiX"), "300");
}

TEST(BuiltinPatterns, ContrastPatchDefaultAtEightBits) {
    PatternEngine e(rasterConfig(8, 16, 235));
    EXPECT_EQ(text(record(e.core, "Contrast", "bgLevel"), "DefaultValueR"), "255");
    EXPECT_EQ(text(record(e.core, "Window", "Color"), "DefaultValueR"), "125");
}

// Renderers that are not drawn yet leave the device frames alone and say so.
// Checkerboard and VerticalBar fit their limits to the raster at every render,
// while other threads publish the records (a data race here shows under
// ThreadSanitizer).
TEST(BuiltinPatterns, RenderTimeLimitsFollowTheRasterWhileRecordsArePublished) {
    PatternEngine e(rasterConfig(10, 64, 940));
    std::atomic<bool> stop{false};
    std::thread reader([&] {
        while (!stop) {
            std::vector<QiArgRetVal> records;
            e.core->getPatOpts("Checkerboard", records);
            e.core->getPatOpts("VerticalBar", records);
        }
    });
    for (int i = 0; i < 6; ++i) {
        const char* format = i % 2 ? "small" : "720p50";
        e.run(request({{"Pattern", "Checkerboard"}, {"VideoFormat", format}}));
        e.run(request({{"Pattern", "VerticalBar"}}));
    }
    stop = true;
    reader.join();
    // The last format was "small", 320 x 180.
    EXPECT_EQ(text(record(e.core, "Checkerboard", "hPatch"), "MaxValue"), "320");
    EXPECT_EQ(text(record(e.core, "Checkerboard", "vPatch"), "MaxValue"), "180");
    EXPECT_EQ(text(record(e.core, "Checkerboard", "vPatch"), "DefaultValue"), "5");
    EXPECT_EQ(text(record(e.core, "VerticalBar", "width"), "MaxValue"), "320");
    EXPECT_EQ(text(record(e.core, "VerticalBar", "width"), "MinValue"), "1");
    EXPECT_EQ(text(record(e.core, "VerticalBar", "offset"), "MaxValue"), "320");
}

// An RGB value beyond the depth is limited to the largest code instead of
// carrying into the neighbouring component.
TEST(PatternColours, RgbOptionValuesStayInTheirComponent) {
    QiImage ten(4, 4, 10), eight(4, 4, 8);
    QiOptRGB option("Fill", "A colour", 1, 2, 3, true, defaultOptionUiSettings);
    int r, g, b;
    ten.getRGB(mtp::readColour(
                   option,
                   request({{"Fill_Red", "0"}, {"Fill_Green", "1024"}, {"Fill_Blue", "0x10000"}}),
                   &ten),
               r, g, b);
    EXPECT_EQ(Rgb({r, g, b}), (Rgb{0, 1023, 1023}));
    // "-1" reads as the largest unsigned number.
    eight.getRGB(
        mtp::readColour(option, request({{"Fill_Red", "-1"}, {"Fill_Blue", "256"}}), &eight), r, g,
        b);
    EXPECT_EQ(Rgb({r, g, b}), (Rgb{255, 2, 255}));
    // In range: unchanged, defaults for absent keys.
    ten.getRGB(mtp::readColour(option, request({{"Fill_Green", "940"}}), &ten), r, g, b);
    EXPECT_EQ(Rgb({r, g, b}), (Rgb{1, 940, 3}));
    ten.getRGB(mtp::grey(&ten, 5000), r, g, b);
    EXPECT_EQ(Rgb({r, g, b}), (Rgb{1023, 1023, 1023}));
}

TEST(PatternColours, LevelsAndScaledCodes) {
    QiImage ten(1, 1, 10), eight(1, 1, 8);
    EXPECT_EQ(mtp::levelPercent(64, 940, 30), 326);
    EXPECT_EQ(mtp::levelPercent(16, 235, 75), 180);
    EXPECT_EQ(mtp::levelPercent(64, 940, 0), 64);
    EXPECT_EQ(mtp::levelPercent(64, 940, 100), 940);
    EXPECT_EQ(mtp::scale8(&ten, 16), 64u);
    EXPECT_EQ(mtp::scale8(&eight, 25), 25u);
}

} // namespace
