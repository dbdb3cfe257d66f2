#include "QiOption.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <cstdlib>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace {
using Record = std::vector<std::pair<std::string, std::string>>;

Record record(QiOption const& opt) {
    QiArgRetVal m;
    EXPECT_TRUE(opt.getParameters(m));
    return Record(m.begin(), m.end());
}
std::vector<std::string> keys(QiOption const& opt) {
    std::vector<std::string> k;
    for (auto const& kv : record(opt))
        k.push_back(kv.first);
    return k;
}
QiArgRetVal mapOf(std::initializer_list<std::pair<char const*, char const*>> entries) {
    QiArgRetVal m;
    for (auto const& e : entries)
        m.set(e.first, e.second);
    return m;
}
std::string value(QiArgRetVal const& m, char const* key) {
    char const* v = nullptr;
    return m.find(key, &v) ? v : "<absent>";
}

QiOptUiSettings const kAt170(170, 0, -1, -1, nullptr, nullptr, true);
char const* kStyles[] = {"Blinking", "Static", "Testing", nullptr};
} // namespace

TEST(QiOptUiSettings, DefaultHintsGiveNothing) {
    EXPECT_EQ(defaultOptionUiSettings.uiX, -1);
    EXPECT_EQ(defaultOptionUiSettings.uiY, -1);
    EXPECT_EQ(defaultOptionUiSettings.uiW, -1);
    EXPECT_EQ(defaultOptionUiSettings.uiH, -1);
    EXPECT_EQ(defaultOptionUiSettings.uiPredicatesOnField, nullptr);
    EXPECT_EQ(defaultOptionUiSettings.uiPredicatesOnValue, nullptr);
    EXPECT_TRUE(defaultOptionUiSettings.uiPredicateLogic);
    EXPECT_STREQ(qiOptType[QiOption::RoInteger], "RoInteger");
    EXPECT_EQ(qiOptType[7], nullptr);
}

TEST(QiOptRecord, EnumerationStyleRecordExactly) {
    QiOptEnum style("Style", "The Pattern style", 1, kStyles, kAt170);
    EXPECT_EQ(style.count, 3u);
    Record const expected = {
        {"DataType", "Enumeration"},
        {"DefaultValue", "Static"},
        {"Description", "The Pattern style"},
        {"Name", "Style"},
        {"Style0", "Blinking"},
        {"Style1", "Static"},
        {"Style2", "Testing"},
        {"nVal", "3"},
        {"uiH", "-1"},
        {"uiW", "-1"},
        {"uiX", "170"},
        {"uiY", "0"},
    };
    EXPECT_EQ(record(style), expected);
}

TEST(QiOptRecord, KeysAndOrderOfEveryType) {
    QiOptUiSettings const pred(1, 2, 3, 4, "Style", "Static", false);
    QiOptInt i("Size", "d", 16, 0, 50, pred);
    EXPECT_EQ(keys(i), (std::vector<std::string>{"DataType", "DefaultValue", "Description",
                                                 "MaxValue", "MinValue", "Name", "uiH",
                                                 "uiPredicateLogic", "uiPredicatesOnField",
                                                 "uiPredicatesOnValue", "uiW", "uiX", "uiY"}));
    QiArgRetVal m;
    i.getParameters(m);
    EXPECT_EQ(value(m, "uiPredicateLogic"), "0");
    EXPECT_EQ(value(m, "uiPredicatesOnValue"), "Static");
    EXPECT_EQ(value(m, "MaxValue"), "50");
    EXPECT_EQ(value(m, "uiH"), "4");

    QiOptIntRo ro("BitDepth", "d", 10, defaultOptionUiSettings);
    EXPECT_EQ(keys(ro), (std::vector<std::string>{"DataType", "Description", "Name", "Value", "uiH",
                                                  "uiW", "uiX", "uiY"}));
    QiOptBool b("Flag", "d", false, defaultOptionUiSettings);
    EXPECT_EQ(keys(b), (std::vector<std::string>{"DataType", "DefaultValue", "Description", "Name",
                                                 "uiH", "uiW", "uiX", "uiY"}));
    QiOptRGB rgb("bgLevel", "d", 1, 2, 3, true, defaultOptionUiSettings);
    EXPECT_EQ(keys(rgb), (std::vector<std::string>{"DataType", "DefaultIsRGB", "DefaultValueB",
                                                   "DefaultValueG", "DefaultValueR", "Description",
                                                   "Name", "uiH", "uiW", "uiX", "uiY"}));
    m.clear();
    rgb.getParameters(m);
    EXPECT_EQ(value(m, "DefaultValueB"), "3");
    EXPECT_EQ(value(m, "DefaultIsRGB"), "true");
    m.clear();
    b.getParameters(m);
    EXPECT_EQ(value(m, "DefaultValue"), "false");
    EXPECT_EQ(value(m, "DataType"), "Boolean");

    // A predicate needs both texts; a field alone publishes none of the three keys.
    QiOptString s("Text", "d", "hello", QiOptUiSettings(0, 0, -1, -1, "Style", nullptr, true));
    EXPECT_EQ(keys(s), (std::vector<std::string>{"DataType", "DefaultValue", "Description", "Name",
                                                 "uiH", "uiW", "uiX", "uiY"}));
}

TEST(QiOptRecord, ReplacesOwnKeysAndKeepsOthers) {
    QiOptInt i("Size", "d", 16, 0, 50, defaultOptionUiSettings);
    QiArgRetVal m = mapOf({{"Name", "old"}, {"Extra", "x"}});
    i.getParameters(m);
    EXPECT_EQ(value(m, "Name"), "Size");
    EXPECT_EQ(value(m, "Extra"), "x");
}

TEST(QiOptRecord, DoublesHaveSixDecimalsInTheCLocale) {
    testsupport::ScopedCommaLocale comma; // a no-op where the machine has none
    QiOptDouble d("Gamma", "d", 2.4, -0.25, 1e6, defaultOptionUiSettings);
    QiArgRetVal m;
    d.getParameters(m);
    EXPECT_EQ(value(m, "DefaultValue"), "2.400000");
    EXPECT_EQ(value(m, "MinValue"), "-0.250000");
    EXPECT_EQ(value(m, "MaxValue"), "1000000.000000");
}

TEST(QiOptInt, ReadsWithDefaultAndClamping) {
    QiOptInt opt("Size", "d", 16, 0, 50, defaultOptionUiSettings);
    int v = -99;
    EXPECT_FALSE(opt.getOption(QiArgRetVal(), v));
    EXPECT_EQ(v, 16);
    struct {
        char const* text;
        int expected;
    } const cases[] = {{"70", 50}, {"-3", 0}, {"0x20", 32}, {"abc", 0}, {"010", 8}, {"50", 50}};
    for (auto const& c : cases) {
        EXPECT_TRUE(opt.getOption(mapOf({{"Size", c.text}}), v)) << c.text;
        EXPECT_EQ(v, c.expected) << c.text;
    }
    // Maximum first: a minimum above the maximum wins for every present value,
    // while an absent key still gives the default unclamped.
    EXPECT_TRUE(opt.setLimits(100, 10, 5));
    EXPECT_TRUE(opt.getOption(mapOf({{"Size", "7"}}), v));
    EXPECT_EQ(v, 10);
    EXPECT_FALSE(opt.getOption(QiArgRetVal(), v));
    EXPECT_EQ(v, 100);
}

TEST(QiOptDouble, ReadsWithDefaultAndClamping) {
    QiOptDouble opt("Level", "d", 5.0, 0.0, 1.0, defaultOptionUiSettings);
    double v = 0;
    EXPECT_FALSE(opt.getOption(QiArgRetVal(), v));
    EXPECT_EQ(v, 5.0);
    EXPECT_TRUE(opt.getOption(mapOf({{"Level", "2.5"}}), v));
    EXPECT_EQ(v, 1.0);
    EXPECT_TRUE(opt.getOption(mapOf({{"Level", "-1"}}), v));
    EXPECT_EQ(v, 0.0);
    EXPECT_TRUE(opt.getOption(mapOf({{"Level", "0.25"}}), v));
    EXPECT_EQ(v, 0.25);
    EXPECT_TRUE(opt.getOption(mapOf({{"Level", "nan"}}), v));
    EXPECT_TRUE(std::isnan(v));
    opt.setLimits(0.5, 0.1, 0.2);
    EXPECT_TRUE(opt.getOption(mapOf({{"Level", "0.9"}}), v));
    EXPECT_EQ(v, 0.2);
}

TEST(QiOptBool, ConstReadAndToggle) {
    QiOptBool opt("Gate", "d", true, defaultOptionUiSettings);
    bool v = false;
    EXPECT_FALSE(opt.getOption(QiArgRetVal(), v));
    EXPECT_TRUE(v);
    QiArgRetVal const c = mapOf({{"Gate", "toggle"}});
    v = true;
    EXPECT_TRUE(opt.getOption(c, v)); // const form: "toggle" is no value
    EXPECT_FALSE(v);
    EXPECT_EQ(value(c, "Gate"), "toggle");

    QiArgRetVal m = mapOf({{"Gate", "toggle"}});
    v = true;
    EXPECT_TRUE(opt.getOption(m, v));
    EXPECT_FALSE(v);
    EXPECT_EQ(value(m, "Gate"), "false");
    m.set("Gate", "Yes");
    EXPECT_TRUE(opt.getOption(m, v));
    EXPECT_TRUE(v);
}

TEST(QiOptString, ReturnsHeapCopies) {
    QiOptString opt("Text", "d", "hello", defaultOptionUiSettings);
    char* out = nullptr;
    EXPECT_FALSE(opt.getOption(QiArgRetVal(), &out));
    EXPECT_STREQ(out, "hello");
    EXPECT_NE(out, opt.defaultValue);
    free(out);
    QiArgRetVal m = mapOf({{"Text", "world"}});
    EXPECT_TRUE(opt.getOption(m, &out));
    m.clear(); // the copy outlives the map
    EXPECT_STREQ(out, "world");
    free(out);
}

TEST(QiOptEnum, ReadsByNameIgnoringCase) {
    QiOptEnum opt("Style", "d", 1, kStyles, kAt170);
    unsigned idx = 99;
    EXPECT_FALSE(opt.getOption(QiArgRetVal(), idx));
    EXPECT_EQ(idx, 1u);
    idx = 99;
    EXPECT_TRUE(opt.getOption(mapOf({{"Style", "testing"}}), idx));
    EXPECT_EQ(idx, 2u);
    EXPECT_STREQ(opt.getName(0), "Blinking");
    EXPECT_STREQ(opt.getName(3), "Static"); // past the end: the default's name
    EXPECT_STREQ(opt.getName(~0u), "Static");
}

TEST(QiOptEnum, UnmatchedNameGivesTheDefaultNotAStaleValue) {
    QiOptEnum opt("Style", "d", 1, kStyles, kAt170);
    unsigned idx = 0xDEADBEEF; // stands for a renderer's uninitialised variable
    EXPECT_TRUE(opt.getOption(mapOf({{"Style", "Sparkling"}}), idx));
    EXPECT_EQ(idx, 1u);
}

TEST(QiOptEnum, ToggleFormStepsAndWrapsAndKeepsCurrentOnNoMatch) {
    QiOptEnum opt("Style", "d", 1, kStyles, kAt170);
    QiArgRetVal m = mapOf({{"Style", "TOGGLE"}});
    unsigned idx = 2;
    EXPECT_TRUE(opt.getOption(m, idx));
    EXPECT_EQ(idx, 0u);
    EXPECT_EQ(value(m, "Style"), "Blinking");
    m.set("Style", "toggle");
    EXPECT_TRUE(opt.getOption(m, idx));
    EXPECT_EQ(idx, 1u);
    EXPECT_EQ(value(m, "Style"), "Static");

    // The current setting stays for names outside the list; only the whole
    // word toggles.
    for (char const* text : {"toggled", "Sparkling", ""}) {
        m.set("Style", text);
        idx = 2;
        EXPECT_TRUE(opt.getOption(m, idx)) << text;
        EXPECT_EQ(idx, 2u) << text;
        EXPECT_EQ(value(m, "Style"), text);
    }
    m.set("Style", "blinking");
    EXPECT_TRUE(opt.getOption(m, idx));
    EXPECT_EQ(idx, 0u);
    idx = 2;
    EXPECT_FALSE(opt.getOption(QiArgRetVal(), idx)); // non-const empty map
    EXPECT_EQ(idx, 1u);
}

TEST(QiOptEnum, WithoutValuesNothingDividesOrReadsNull) {
    char const* none[] = {nullptr};
    QiOptEnum empty("VideoFormat", "d", 0, none, defaultOptionUiSettings);
    QiOptEnum nullList("Other", "d", 0, nullptr, defaultOptionUiSettings);
    for (QiOptEnum* opt : {&empty, &nullList}) {
        EXPECT_EQ(opt->count, 0u);
        EXPECT_STREQ(opt->getName(0), "");
        QiArgRetVal m;
        m.set(opt->name, "toggle");
        unsigned idx = 5;
        EXPECT_TRUE(opt->getOption(m, idx));
        EXPECT_EQ(idx, 5u);
        EXPECT_EQ(value(m, opt->name), "toggle");
        QiArgRetVal const c = m;
        EXPECT_TRUE(opt->getOption(c, idx));
        EXPECT_EQ(idx, 0u);
        QiArgRetVal r;
        opt->getParameters(r);
        EXPECT_EQ(value(r, "DefaultValue"), "");
        EXPECT_EQ(value(r, "nVal"), "0");
        EXPECT_EQ(r.size(), 9u); // the base keys, "DefaultValue" and "nVal"
    }
    // The engine may also hand in a list and a count that disagree.
    nullList.count = 4;
    EXPECT_STREQ(nullList.getName(2), "");
    QiArgRetVal r;
    EXPECT_TRUE(nullList.getParameters(r));
}

TEST(QiOptRGB, ComponentsFromThreeKeys) {
    QiOptRGB opt("bgLevel", "d", 0, 0, 0, true, defaultOptionUiSettings);
    unsigned r = 1, g = 1, b = 1;
    EXPECT_FALSE(opt.getOption(mapOf({{"bgLevel_Red", "200"}}), r, g, b));
    EXPECT_EQ(r, 200u);
    EXPECT_EQ(g, 0u);
    EXPECT_EQ(b, 0u);
    EXPECT_TRUE(opt.getOption(
        mapOf({{"bgLevel_Red", "1"}, {"bgLevel_Green", "0x10"}, {"bgLevel_Blue", "1023"}}), r, g,
        b));
    EXPECT_EQ(r, 1u);
    EXPECT_EQ(g, 16u);
    EXPECT_EQ(b, 1023u);
}

TEST(QiOptLongNames, KeysFormedWithoutLengthLimit) {
    static std::string const name(300, 'N');
    QiOptRGB rgb(name.c_str(), "d", 7, 8, 9, false, defaultOptionUiSettings);
    unsigned r = 0, g = 0, b = 0;
    QiArgRetVal m;
    m.set((name + "_Blue").c_str(), "42");
    EXPECT_FALSE(rgb.getOption(m, r, g, b));
    EXPECT_EQ(r, 7u);
    EXPECT_EQ(g, 8u);
    EXPECT_EQ(b, 42u);

    QiOptEnum e(name.c_str(), "d", 0, kStyles, defaultOptionUiSettings);
    QiArgRetVal rec;
    e.getParameters(rec);
    EXPECT_EQ(value(rec, (name + "2").c_str()), "Testing");
}

TEST(QiOptNullTexts, PublishAndReadAsEmpty) {
    QiOptString s(nullptr, nullptr, nullptr, defaultOptionUiSettings);
    QiArgRetVal r;
    EXPECT_TRUE(s.getParameters(r));
    EXPECT_EQ(value(r, "Name"), "");
    EXPECT_EQ(value(r, "Description"), "");
    EXPECT_EQ(value(r, "DefaultValue"), "");
    char* out = nullptr;
    EXPECT_FALSE(s.getOption(QiArgRetVal(), &out));
    EXPECT_STREQ(out, "");
    free(out);
    char const* withHole[] = {"A", nullptr};
    QiOptEnum e("E", "d", 0, withHole, defaultOptionUiSettings);
    e.count = 2; // a list shorter than its count
    EXPECT_STREQ(e.getName(1), "A");
}

TEST(QiOptConcurrency, LimitsChangeWhileClientsPublish) {
    QiOptInt opt("Size", "d", 16, 0, 50, defaultOptionUiSettings);
    std::atomic<bool> stop{false};
    std::thread client([&] {
        while (!stop.load()) {
            QiArgRetVal r;
            opt.getParameters(r);
            int v = 0;
            opt.getOption(mapOf({{"Size", "30"}}), v);
            EXPECT_GE(v, 0);
        }
    });
    for (int i = 0; i < 2000; ++i)
        opt.setLimits(i, 0, i + 1);
    stop = true;
    client.join();
    int v = 0;
    EXPECT_TRUE(opt.getOption(mapOf({{"Size", "30000"}}), v));
    EXPECT_EQ(v, 2000);
}
