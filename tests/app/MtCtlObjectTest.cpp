// The calibration steps: grey-level stepping, matching, their output lines.
#include "MtCtlObject.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include "AppTestSupport.h"

using apptest::map;
using apptest::text;

namespace {

// The level the greyscale step sends after one move from `colorRed`.
int stepFrom(const char* colorRed, int direction) {
    MtcGreyscale step;
    QiArgRetVal current = colorRed ? map({{"Color_Red", colorRed}}) : QiArgRetVal();
    testing::internal::CaptureStdout();
    if (direction > 0)
        step.next(current);
    else
        step.prev(current);
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(text(step.preset, "Color_Green"), text(step.preset, "Color_Red"));
    EXPECT_EQ(text(step.preset, "Color_Blue"), text(step.preset, "Color_Red"));
    EXPECT_EQ(text(step.preset, "Size"), "10");
    EXPECT_EQ(text(step.preset, "Pattern"), "Window");
    return std::stoi(text(step.preset, "Color_Red"));
}

} // namespace

TEST(MtcGreyscale, StepsSnapWrapAndReadPrefixes) {
    EXPECT_EQ(stepFrom("16", -1), 235);
    EXPECT_EQ(stepFrom("235", -1), 225);
    EXPECT_EQ(stepFrom("76", +1), 89);
    EXPECT_EQ(stepFrom("76", -1), 68);
    EXPECT_EQ(stepFrom("10", +1), 26);
    EXPECT_EQ(stepFrom("10", -1), 235);
    EXPECT_EQ(stepFrom("0", +1), 16);
    EXPECT_EQ(stepFrom("255", +1), 16);
    EXPECT_EQ(stepFrom("255", -1), 16);
    EXPECT_EQ(stepFrom(nullptr, +1), 16); // missing counts as 0
    EXPECT_EQ(stepFrom("0x4f", +1), 89);
    EXPECT_EQ(stepFrom("-2147483648", +1), 235); // far below black still wraps
}

TEST(MtcGreyscale, WalksTheTwentyTwoVideoLevels) {
    const int expected[] = {26,  37,  47,  58,  68,  79,  89,  99,  110, 120, 131,
                            141, 152, 162, 172, 183, 193, 204, 214, 225, 235, 16};
    MtcGreyscale step;
    testing::internal::CaptureStdout();
    for (int want : expected) {
        QiArgRetVal current = step.preset;
        if (want == 26) current.set("Color_Red", "16");
        step.next(current);
        EXPECT_EQ(text(step.preset, "Color_Red"), std::to_string(want));
    }
    testing::internal::GetCapturedStdout();
}

TEST(MtcGreyscale, PrintsItsArithmeticInTheCLocale) {
    testsupport::ScopedCommaLocale comma;
    MtcGreyscale step;
    QiArgRetVal current = map({{"Color_Red", "76"}});
    testing::internal::CaptureStdout();
    step.next(current);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "gv(10.428571) => 76 => 6 => 7 => 89.500000 => 89\n");
}

TEST(MtCtlObject, MatchingAndLooseTests) {
    MtcGreyscale grey;
    MtcColorGamut gamut;
    QiArgRetVal greyWindow = map(
        {{"Pattern", "Window"}, {"Color_Red", "76"}, {"Color_Green", "76"}, {"Color_Blue", "76"}});
    QiArgRetVal redWindow = map(
        {{"Pattern", "Window"}, {"Color_Red", "0xff"}, {"Color_Green", "0"}, {"Color_Blue", "0"}});
    QiArgRetVal bare = map({{"Pattern", "Window"}});
    EXPECT_TRUE(grey.equalP(greyWindow));
    EXPECT_FALSE(grey.equalP(redWindow));
    EXPECT_FALSE(gamut.equalP(greyWindow));
    EXPECT_TRUE(gamut.equalP(redWindow));
    EXPECT_TRUE(grey.equalP(bare)); // three missing values are equal
    EXPECT_FALSE(gamut.equalP(bare));
    QiArgRetVal bars = map({{"Pattern", "Colorbars"}});
    EXPECT_FALSE(grey.equalP(bars));

    // The preset test: all preset keys byte-equal, extra keys ignored.
    greyWindow.set("Size", "10");
    greyWindow.set("Extra", "x");
    EXPECT_TRUE(&grey == greyWindow);
    redWindow.set("Size", "10");
    EXPECT_TRUE(&gamut == redWindow);
    redWindow.set("Color_Red", "255");
    EXPECT_FALSE(&gamut == redWindow);
    greyWindow.set("Size", "18");
    EXPECT_FALSE(&grey == greyWindow);
}

TEST(MtCtlObject, SingleKeyStepsOnlyWriteTheirLines) {
    MtcBrightness brightness;
    MtcColorGamut gamut;
    QiArgRetVal current = map({{"Pattern", "Brightness"}, {"Level", "3"}});
    testing::internal::CaptureStdout();
    brightness.next(current);
    brightness.prev(current);
    gamut.next(current);
    gamut.prev(current);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "MtCtlObject::next ()\nMtCtlObject::prev ()\n"
              "GamutNext => Current ()\nGamutPrev => Current ()\n");
    EXPECT_EQ(brightness.preset, map({{"Pattern", "Brightness"}}));
    EXPECT_EQ(text(gamut.preset, "Color_Red"), "0xff");
}
