#include "QiCLocale.h"
#include "QiOutput.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <cstdio>

TEST(CLocale, NumbersKeepTheDotUnderADecimalCommaLocale) {
    testsupport::ScopedCommaLocale comma;
    if (!comma.ok) GTEST_SKIP() << "no decimal-comma locale on this machine (run scripts/setup.sh)";
    char native[32];
    std::snprintf(native, sizeof native, "%.1f", 1.5);
    ASSERT_STREQ(native, "1,5"); // the process locale really has a comma

    EXPECT_EQ(qi::formatC("%f", 1.5), "1.500000");
    EXPECT_EQ(qi::fixedC(-0.25), "-0.250000");
    EXPECT_DOUBLE_EQ(qi::strtodC("2.75"), 2.75);
    testsupport::CaptureOutput out;
    out.trace(QiOutput::Info, "%g\n", 0.5);
    EXPECT_EQ(out.take().at(0), "Info: 0.5\n");
}

TEST(CLocale, FixedTextIsNeverCut) {
    std::string big = qi::fixedC(1e16);
    EXPECT_EQ(big, "10000000000000000.000000");
    EXPECT_EQ(qi::fixedC(-1e300).size(), 1u + 301u + 7u);
}

TEST(CLocale, CaseInsensitivePrefixes) {
    EXPECT_TRUE(qi::startsWithNoCase("ToGgLe", "toggle"));
    EXPECT_FALSE(qi::startsWithNoCase("tog", "toggle"));
    EXPECT_TRUE(qi::equalsNoCase("Rec709", "REC709"));
    EXPECT_FALSE(qi::equalsNoCase("Rec709", "Rec7090"));
}
