// The Window pattern's readout helpers: the SMPTE ST 2084 EOTF and the
// number formatting of the title line.
#include "MtpWindows.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(WindowReadout, PqLuminance) {
    MtpWindows w;
    EXPECT_DOUBLE_EQ(w.GetPQValue(0.0), 0.0);
    EXPECT_NEAR(w.GetPQValue(1.0), 10000.0, 1e-6);
    // 8-bit level 125 on a 16..235 raster: (125 - 16) / 219 of the signal.
    EXPECT_NEAR(w.GetPQValue(109.0 / 219.0), 90.16, 0.01);
    // Odd symmetry below TV black.
    EXPECT_DOUBLE_EQ(w.GetPQValue(-0.25), -w.GetPQValue(0.25));
}

TEST(WindowReadout, NiceNumbersInTheCLocale) {
    testsupport::ScopedCommaLocale comma;
    MtpWindows w;
    char buf[10];
    EXPECT_STREQ(w.GenerateNiceFloatString(buf, sizeof buf, 90.16), "90");
    EXPECT_STREQ(w.GenerateNiceFloatString(buf, sizeof buf, 5.55), "5.5");
    EXPECT_STREQ(w.GenerateNiceFloatString(buf, sizeof buf, 0.123), "0.12");
    EXPECT_STREQ(w.GenerateNiceFloatString(buf, sizeof buf, -3.0), "-3.00");
    // Bounded by the buffer's size.
    char small[4];
    EXPECT_STREQ(w.GenerateNiceFloatString(small, sizeof small, 12345.0), "123");
}

} // namespace
