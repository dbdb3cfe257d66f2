#include "QiCLocale.h"
#include "QiOutput.h"
#include "QiText.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

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

// Which texts an XML reply can carry, and how the others are shown in a trace.
TEST(XmlSafeText, Utf8OfXmlCharactersOnly) {
    const struct {
        std::string text;
        bool safe;
        const char* escaped;
    } cases[] = {
        {"", true, ""},
        {"Pluge-1080~3.png", true, "Pluge-1080~3.png"},
        {"tab\tlf\ncr\r", true, "tab\\x09lf\\x0Acr\\x0D"},
        {"caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80 \xef\xbf\xbd", true,
         "caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80 \xef\xbf\xbd"},
        {"bell\x07", false, "bell\\x07"},
        {"del\x7f c1\xc2\x85", true, "del\\x7F c1\\xC2\\x85"},
        {"latin1\xe9", false, "latin1\\xE9"},
        {"cut\xe2\x82", false, "cut\\xE2\\x82"},
        {"overlong\xc0\xaf\xe0\x80\xaf\xf0\x80\x80\xaf", false,
         "overlong\\xC0\\xAF\\xE0\\x80\\xAF\\xF0\\x80\\x80\\xAF"},
        {"surrogate\xed\xa0\x80", false, "surrogate\\xED\\xA0\\x80"},
        {"nonchar\xef\xbf\xbe\xef\xbf\xbf", false, "nonchar\\xEF\\xBF\\xBE\\xEF\\xBF\\xBF"},
        {"beyond\xf4\x90\x80\x80", false, "beyond\\xF4\\x90\\x80\\x80"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(qiIsXmlSafeText(c.text.c_str()), c.safe) << c.escaped;
        EXPECT_EQ(qiEscapeText(c.text.c_str()), c.escaped);
    }
    EXPECT_FALSE(qiIsXmlSafeText("nul\0inside", 11));
    EXPECT_TRUE(qiIsXmlSafeText("nul\0inside", 3));
    EXPECT_FALSE(qiIsXmlSafeText(nullptr));
}
