#include "QiArgRetVal.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

namespace {
int readInt(const char* text) {
    QiArgRetVal m;
    m.set("K", text);
    int v = 12345;
    EXPECT_TRUE(m.find("K", &v));
    return v;
}
bool readBool(const char* text) {
    QiArgRetVal const m = [&] {
        QiArgRetVal t;
        t.set("K", text);
        return t;
    }();
    bool v = true;
    EXPECT_TRUE(m.find("K", &v));
    return v;
}
std::vector<std::string> keys(QiArgRetVal const& m) {
    std::vector<std::string> k;
    for (auto const& kv : m)
        k.push_back(kv.first);
    return k;
}
} // namespace

TEST(QiArgRetVal, KeysSortByteWiseAndReplaceInPlace) {
    QiArgRetVal m;
    m.set("uiX", "1");
    m.set("nVal", "2");
    m.set("Name", "3");
    m.set("vres2", "4");
    m.set("vres10", "5");
    m.set("\xC3\xA9t\xC3\xA9", "6"); // bytes above 0x7F sort after ASCII
    EXPECT_EQ(keys(m), (std::vector<std::string>{"Name", "nVal", "uiX", "vres10", "vres2",
                                                 "\xC3\xA9t\xC3\xA9"}));
    m.set("nVal", "replaced");
    EXPECT_EQ(m.size(), 6u);
    EXPECT_EQ(keys(m)[1], "nVal");
    const char* v = nullptr;
    EXPECT_TRUE(m.find("nVal", &v));
    EXPECT_STREQ(v, "replaced");
}

TEST(QiArgRetVal, KeysAreCaseSensitive) {
    QiArgRetVal m;
    m.set("Pattern", "Colorbars");
    EXPECT_FALSE(m.find(std::string("pattern")));
    EXPECT_TRUE(m.find(std::string("Pattern")));
    EXPECT_STREQ(m.Pattern(), "Colorbars");
    EXPECT_TRUE(m.remove("pattern"));
    EXPECT_EQ(m.size(), 1u);
    EXPECT_TRUE(m.remove("Pattern"));
    EXPECT_EQ(m.Pattern(), nullptr);
}

TEST(QiArgRetVal, IntegerReadsFollowBaseDetectionAndKeepLow32Bits) {
    EXPECT_EQ(readInt("0x1F"), 31);
    EXPECT_EQ(readInt("0X1f"), 31);
    EXPECT_EQ(readInt("010"), 8);
    EXPECT_EQ(readInt("08"), 0);
    EXPECT_EQ(readInt("   42"), 42);
    EXPECT_EQ(readInt("42abc"), 42);
    EXPECT_EQ(readInt("abc"), 0);
    EXPECT_EQ(readInt(""), 0);
    EXPECT_EQ(readInt("-17"), -17);
    EXPECT_EQ(readInt("4294967296"), 0);
    EXPECT_EQ(readInt("4294967297"), 1);
    EXPECT_EQ(readInt("99999999999999999999"), -1);

    QiArgRetVal m;
    m.set("K", "-1");
    unsigned u = 0;
    EXPECT_TRUE(m.find("K", &u));
    EXPECT_EQ(u, 4294967295u);
    int untouched = 7;
    EXPECT_FALSE(m.find("Missing", &untouched));
    EXPECT_EQ(untouched, 7);
}

TEST(QiArgRetVal, IntegerAndDoubleWriters) {
    QiArgRetVal m;
    m.set("I", -17);
    m.set("D", 1.5);
    m.set("N", -0.25);
    m.set("R", 0.1234567);
    m.set("Big", 1e16);
    m.set("Neg", -1e15);
    const char* t = nullptr;
    m.find("I", &t);
    EXPECT_STREQ(t, "-17");
    m.find("D", &t);
    EXPECT_STREQ(t, "1.500000");
    m.find("N", &t);
    EXPECT_STREQ(t, "-0.250000");
    m.find("R", &t);
    EXPECT_STREQ(t, "0.123457");
    m.find("Big", &t);
    EXPECT_STREQ(t, "10000000000000000.000000"); // longer than 24 characters, stored whole
    m.find("Neg", &t);
    EXPECT_STREQ(t, "-1000000000000000.000000");
    double d = 0;
    EXPECT_TRUE(m.find("Big", &d));
    EXPECT_EQ(d, 1e16);
}

TEST(QiArgRetVal, DoubleReads) {
    QiArgRetVal m;
    m.set("A", "1e3");
    m.set("B", "2.5x");
    m.set("C", "nothing");
    m.set("E", "inf");
    double d = 0;
    m.find("A", &d);
    EXPECT_EQ(d, 1000.0);
    m.find("B", &d);
    EXPECT_EQ(d, 2.5);
    m.find("C", &d);
    EXPECT_EQ(d, 0.0);
    m.find("E", &d);
    EXPECT_TRUE(std::isinf(d));
}

TEST(QiArgRetVal, BooleanReadsUseTheTrueWordPrefixes) {
    for (const char* t : {"TRUE", "true", "Yes please", "10", "1", "trueish"})
        EXPECT_TRUE(readBool(t)) << t;
    for (const char* t : {"0", "", "false", "on", " true", "no", "tru", "Toggle"})
        EXPECT_FALSE(readBool(t)) << t;
}

TEST(QiArgRetVal, ToggleOnlyThroughTheNonConstReader) {
    QiArgRetVal m;
    m.set("Mute", "Toggle");
    bool v = true;
    EXPECT_TRUE(m.find("Mute", &v));
    EXPECT_FALSE(v);
    const char* t = nullptr;
    m.find("Mute", &t);
    EXPECT_STREQ(t, "false");

    m.set("Mute", "toggle");
    v = false;
    m.find("Mute", &v);
    EXPECT_TRUE(v);
    m.find("Mute", &t);
    EXPECT_STREQ(t, "true");
    // A later read sees the written state, not another toggle.
    v = false;
    m.find("Mute", &v);
    EXPECT_TRUE(v);

    m.set("Mute", "togg");
    v = true;
    m.find("Mute", &v);
    EXPECT_FALSE(v);
    m.find("Mute", &t);
    EXPECT_STREQ(t, "togg");
}

TEST(QiArgRetVal, MergeKeepsTheReceiversKeys) {
    for (bool flag : {false, true}) {
        QiArgRetVal a, b;
        a.set("A", "1");
        b.set("A", "2");
        b.set("B", "3");
        EXPECT_TRUE(a.merge(b, flag));
        const char* t = nullptr;
        a.find("A", &t);
        EXPECT_STREQ(t, "1");
        a.find("B", &t);
        EXPECT_STREQ(t, "3");
        EXPECT_EQ(b.size(), 2u);
        a.merge(a, flag);
        EXPECT_EQ(a.size(), 2u);
    }
}

TEST(QiArgRetVal, CopiesAreIndependent) {
    QiArgRetVal a;
    a.set("K", "1");
    QiArgRetVal b = a;
    b.set("K", "2");
    QiArgRetVal c;
    c = b;
    b.clear();
    const char* t = nullptr;
    a.find("K", &t);
    EXPECT_STREQ(t, "1");
    c.find("K", &t);
    EXPECT_STREQ(t, "2");
    EXPECT_TRUE(b.empty());
}

TEST(QiArgRetVal, DumpWritesHeaderAndOneLinePerEntry) {
    testsupport::ScopedCapture cap;
    QiArgRetVal m;
    m.dump("empty");
    m.set("b", "2");
    m.set("A", "");
    m.dump("two");
    auto lines = cap.out->take();
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_EQ(lines[0], "Info: Dump 'empty':\n");
    EXPECT_EQ(lines[1], "Info: Dump 'two':\n");
    EXPECT_EQ(lines[2], "Info:   A => ''\n");
    EXPECT_EQ(lines[3], "Info:   b => '2'\n");
}

TEST(QiArgRetVal, NumbersUseTheCLocale) {
    testsupport::ScopedCommaLocale comma;
    if (!comma.ok) GTEST_SKIP() << "no decimal-comma locale on this machine (run scripts/setup.sh)";
    QiArgRetVal m;
    m.set("D", 2.5);
    const char* t = nullptr;
    m.find("D", &t);
    EXPECT_STREQ(t, "2.500000");
    m.set("E", "3.25");
    double d = 0;
    m.find("E", &d);
    EXPECT_EQ(d, 3.25);
}
