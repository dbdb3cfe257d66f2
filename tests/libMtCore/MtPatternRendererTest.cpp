#include "MtPatternRenderer.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

namespace {
QiOptInt gSize("Size", "Window size", 16, 0, 50, defaultOptionUiSettings);
QiOptBool gFlag("Flag", "A flag", false, defaultOptionUiSettings);
QiOption* const gOptions[] = {&gSize, &gFlag, nullptr};
QiOption* const gNoOptions[] = {nullptr};

// A renderer as a plug-in might supply it: every member set from outside.
class TestRenderer : public MtPatternRenderer {
public:
    TestRenderer(char const* n, QiOption* const* opts, char const* rev) : name(n) {
        options = opts;
        revision = rev;
    }
    char const* getName() override { return name; }
    bool initialize(MtCore*) override { return true; }
    bool render(MtCore*, QiRaster*, QiArgRetVal const&) override { return true; }
    char const* name;
};

std::vector<QiArgRetVal> publish(MtPatternRenderer const& r) {
    std::vector<QiArgRetVal> out;
    for (QiOption* const* o = r.getOptions(); *o; ++o) {
        out.emplace_back();
        (*o)->getParameters(out.back());
    }
    return out;
}
} // namespace

TEST(MtPatternRenderer, BaseDefaultsAndBehaviour) {
    TestRenderer r("Window", gOptions, "$Revision: 1.13 $");
    EXPECT_EQ(r.period, 0u);
    EXPECT_STREQ(r.getSafeName(), "Window");
    EXPECT_STREQ(r.getRevision(), "$Revision: 1.13 $");
    EXPECT_EQ(r.getOptions(), gOptions);

    QiArgRetVal args;
    args.set("Pattern", "Window");
    QiArgRetVal const before = args;
    EXPECT_TRUE(r.onKey("abc", args));
    EXPECT_EQ(args, before);
    r.update();
    EXPECT_EQ(r.period, 0u);

    auto records = publish(r);
    ASSERT_EQ(records.size(), 2u);
    char const* name = nullptr;
    records[1].find("Name", &name);
    EXPECT_STREQ(name, "Flag");

    TestRenderer bare("Bare", gNoOptions, "r");
    EXPECT_TRUE(publish(bare).empty());
}

TEST(MtPatternRenderer, MissingMembersReadAsSafeValues) {
    TestRenderer r(nullptr, nullptr, nullptr);
    EXPECT_STREQ(r.getSafeName(), "");
    EXPECT_STREQ(r.getRevision(), "");
    ASSERT_NE(r.getOptions(), nullptr);
    EXPECT_EQ(r.getOptions()[0], nullptr);
    EXPECT_TRUE(publish(r).empty());
}

TEST(MtPatternRenderer, FramePeriodIsLimited) {
    TestRenderer r("Anim", gOptions, "r");
    struct {
        uint64_t set, read;
    } const cases[] = {
        {0, 0},
        {750, 750},
        {MtPatternRenderer::kMaxFramePeriodMs, MtPatternRenderer::kMaxFramePeriodMs},
        {MtPatternRenderer::kMaxFramePeriodMs + 1, MtPatternRenderer::kMaxFramePeriodMs},
        {UINT64_MAX, MtPatternRenderer::kMaxFramePeriodMs},
    };
    for (auto const& c : cases) {
        r.period = c.set;
        EXPECT_EQ(r.getPeriod(), c.read) << c.set;
    }
}
