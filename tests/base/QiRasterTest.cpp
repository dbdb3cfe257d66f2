#include "QiRaster.h"
#include "MemoryRaster.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

using testsupport::MemoryRaster;
using testsupport::MemoryRasterConfig;

namespace {

// The base behaviours only: every pure slot answers trivially and records the
// frames handed to the device.
class BareRaster : public QiRaster {
public:
    using QiRaster::QiRaster;
    bool render(unsigned, bool) override { return true; }
    bool setFrames(unsigned n) override {
        frames = n;
        return true;
    }
    bool has3D() override { return false; }
    bool use3D(bool) override { return false; }
    QiImage* getLeftImage() override { return this; }
    QiImage* getRightImage() override { return nullptr; }
    bool set3DGating(bool, bool) override { return false; }
    bool get3DGating(bool&, bool&) override { return false; }
    const char* getVersion() override { return "bare"; }
    const char* getSerial() override { return "0"; }
    bool p_showFrame(unsigned n) override {
        shown.push_back(n);
        return true;
    }
    std::vector<unsigned> shown;
};

class Observer : public QiRasterInterface {
public:
    bool update() override { return true; }
};

std::vector<std::string> takeNames(int count, char** names) {
    std::vector<std::string> out;
    for (int i = 0; i < count; ++i)
        out.emplace_back(names[i]);
    EXPECT_EQ(names[count], nullptr);
    for (int i = 0; i < count; ++i)
        std::free(names[i]);
    std::free(names);
    return out;
}

} // namespace

TEST(QiRaster, ConstructionDefaults) {
    BareRaster r(64, 32, 10, nullptr);
    EXPECT_EQ(r.getWidth(), 64);
    EXPECT_EQ(r.bits, 10);
    EXPECT_EQ(r.getBlackLevel(), 0);
    EXPECT_EQ(r.getWhiteLevel(), 255);
    EXPECT_EQ(r.frames, 1u);
    EXPECT_EQ(r.curFrame, 0u);
    EXPECT_EQ(r.coder.image, &r);
    EXPECT_EQ(r.coder.gatingMask, 0);

    QiImage model(20, 10, 10);
    BareRaster m(&model, nullptr);
    EXPECT_EQ(m.getWidth(), 20);
    EXPECT_EQ(m.getHeight(), 10);
    EXPECT_EQ(m.bits, 8);
    EXPECT_EQ(m.getBlackLevel(), 0);
    EXPECT_EQ(m.getWhiteLevel(), 0);
    EXPECT_EQ(m.frames, 1u);
}

TEST(QiRaster, BaseAnswers) {
    BareRaster r(8, 8, 10, nullptr);
    EXPECT_FALSE(r.setRasterFormat("1080p25"));
    EXPECT_STREQ(r.getCurrentFormat(), "default");
    EXPECT_EQ(r.rescanFormats(), 0);
    EXPECT_EQ(r.setOutputFormat(7), 0);
    unsigned fmt = 12345;
    EXPECT_EQ(r.getOutputFormat(fmt), 0);
    EXPECT_EQ(fmt, 12345u);
    EXPECT_EQ(r.getSupportedPixelFormats(), 1u);
    EXPECT_FALSE(r.rerenderP());
    EXPECT_EQ(r.setOutputPixelFormat(QiImageCoder::YCbCr_10), 0);
    EXPECT_EQ(r.getOutputPixelFormat(), QiImageCoder::YCbCr_10);
    EXPECT_EQ(r.coder.pixelFormat, QiImageCoder::YCbCr_10);

    int count = -1, current = -1;
    char** names = nullptr;
    EXPECT_EQ(r.getSupportedFormats(count, current, names), 0);
    ASSERT_EQ(count, 1);
    EXPECT_EQ(current, 0);
    EXPECT_EQ(takeNames(count, names), std::vector<std::string>{"default"});

    uint8_t* edid = nullptr;
    unsigned long length = 0;
    ASSERT_TRUE(r.getEdid(edid, length));
    ASSERT_EQ(length, 4u);
    EXPECT_EQ(std::vector<int>(edid, edid + 4), (std::vector<int>{4, 3, 2, 1}));
    edid[255] = 0; // the buffer holds 256 bytes
    std::free(edid);
}

TEST(QiRaster, ObserverIsSetOnlyOnce) {
    Observer a, b;
    BareRaster r(4, 4, 10, nullptr);
    EXPECT_TRUE(r.setInterface(&a));
    EXPECT_FALSE(r.setInterface(&b));
    EXPECT_EQ(r.iface, &a);
    BareRaster given(4, 4, 10, &a);
    EXPECT_FALSE(given.setInterface(&b));
    EXPECT_EQ(given.iface, &a);
}

TEST(QiRaster, ShowFrameWalksTheRing) {
    BareRaster r(4, 4, 10, nullptr);
    r.setFrames(3);
    r.curFrame = 2;
    EXPECT_TRUE(r.showFrame(-1));
    EXPECT_EQ(r.curFrame, 0u);
    EXPECT_TRUE(r.showFrame(-1));
    EXPECT_TRUE(r.showFrame(2));
    EXPECT_TRUE(r.showFrame(-1));
    EXPECT_EQ(r.shown, (std::vector<unsigned>{0, 1, 2, 0}));

    r.setFrames(1);
    EXPECT_TRUE(r.showFrame(-1));
    EXPECT_TRUE(r.showFrame(-1));
    EXPECT_EQ(r.curFrame, 0u);
}

// A sequence of steps plays ring frames again without a frame of its own per
// step, starting from its first step; its budget follows the frame size.
TEST(QiRaster, ShowFrameStepsThroughASequence) {
    testsupport::ScopedCapture capture;
    BareRaster r(1280, 720, 10, nullptr);
    r.setFrames(2);
    r.setFrameSequence({0, 0, 1, 5});
    for (int i = 0; i < 5; ++i)
        r.showFrame(-1);
    EXPECT_EQ(r.shown, (std::vector<unsigned>{0, 0, 1, 0}));
    r.setFrameSequence({});
    r.showFrame(-1);
    EXPECT_EQ(r.shown.back(), 1u);
    EXPECT_EQ(r.maxFrames(), 291u);
    r.frameBudget = 1;
    EXPECT_EQ(r.maxFrames(), 1u);
}

// A frame outside the ring, or a ring of no frames, never reaches the device
// (no division by zero either).
TEST(QiRaster, ShowFrameRefusesFramesOutsideTheRing) {
    testsupport::ScopedCapture capture;
    BareRaster r(4, 4, 10, nullptr);
    r.setFrames(3);
    r.curFrame = 1;
    EXPECT_FALSE(r.showFrame(5));
    EXPECT_FALSE(r.showFrame(3));
    EXPECT_FALSE(r.showFrame(-2));
    EXPECT_EQ(r.curFrame, 1u);
    r.setFrames(0);
    EXPECT_FALSE(r.showFrame(-1));
    EXPECT_FALSE(r.showFrame(0));
    EXPECT_TRUE(r.shown.empty());
    auto lines = capture.out->take();
    ASSERT_EQ(lines.size(), 5u);
    EXPECT_EQ(lines[0], "Warning: showFrame: frame 5 outside the ring of 3\n");
    EXPECT_EQ(lines[3], "Warning: showFrame: no frames to show\n");
}

// A shrink listener is told once, with the new size, by the first frame shown
// at fewer pixels than the last: not by a frame of the same or a larger size,
// nor by the frames after it at that size, nor by a frame that is refused.
TEST(QiRaster, ShrinkListenerIsToldOnceAtTheFirstSmallerFrame) {
    using Told = std::vector<std::pair<int, int>>;
    static Told told;          // frames are shown on this thread
    static bool added = false; // listeners stay for the process
    if (!added) QiRaster::addShrinkListener([](int w, int h) { told.emplace_back(w, h); });
    added = true;
    told.clear();

    struct Step {
        int width, height, frame;
        Told expected;
    };
    const Step steps[] = {
        {64, 32, 0, {}},         // the first frame: nothing shown before
        {64, 32, 0, {}},         // the same size
        {128, 64, 0, {}},        // larger
        {32, 16, 0, {{32, 16}}}, // smaller: told, with the new size
        {32, 16, 0, {}},         // a later frame of that size
        {32, 16, -1, {}},        // and the next of the ring
        {16, 8, 5, {}},          // smaller, but refused: not shown
        {16, 8, 0, {{16, 8}}},   // the first smaller frame that is shown
        {64, 32, 0, {}},         // larger again
    };
    testsupport::ScopedCapture capture;
    BareRaster r(64, 32, 10, nullptr);
    for (const Step& s : steps) {
        r.resize(s.width, s.height);
        r.showFrame(s.frame);
        EXPECT_EQ(told, s.expected) << s.width << "x" << s.height << " frame " << s.frame;
        told.clear();
    }
}

// ---------------------------------------------------------------------------
// The memory raster used by the engine tests.

TEST(MemoryRaster, StartsLikeACardAtPowerUp) {
    MemoryRaster r;
    EXPECT_EQ(r.getWidth(), 1920);
    EXPECT_EQ(r.getHeight(), 1080);
    EXPECT_EQ(r.bits, 10);
    EXPECT_EQ(r.getBlackLevel(), 64);
    EXPECT_EQ(r.getWhiteLevel(), 940);
    EXPECT_STREQ(r.getCurrentFormat(), "1080p25");
    int count, current;
    char** names;
    ASSERT_EQ(r.getSupportedFormats(count, current, names), 0);
    EXPECT_EQ(takeNames(count, names), (std::vector<std::string>{"1080p25", "1080p30", "720p50"}));
    EXPECT_EQ(current, 0);

    EXPECT_FALSE(r.rerenderP());
    EXPECT_FALSE(r.setRasterFormat("576i50"));
    EXPECT_TRUE(r.setRasterFormat("720P50"));
    EXPECT_EQ(r.getWidth(), 1280);
    EXPECT_EQ(r.getHeight(), 720);
    EXPECT_STREQ(r.getCurrentFormat(), "720p50");
    EXPECT_TRUE(r.rerenderP());
    EXPECT_FALSE(r.rerenderP());

    MemoryRasterConfig plain;
    plain.formats.clear();
    plain.width = 64;
    plain.height = 16;
    MemoryRaster p(plain);
    EXPECT_EQ(p.getWidth(), 64);
    EXPECT_STREQ(p.getCurrentFormat(), "default");
    EXPECT_FALSE(p.setRasterFormat("default"));
}

TEST(MemoryRaster, KeepsTheBytesOfEveryShownFrame) {
    MemoryRasterConfig cfg;
    cfg.formats = {{"tiny", 50, 2}};
    cfg.frames = 2;
    MemoryRaster r(cfg);
    r.clear(r.makeGrey(940));

    // Frame 0 in v210 with the 10-bit formulas, frame 1 in 8-bit RGB.
    r.setOutputPixelFormat(QiImageCoder::YCbCr_10);
    ASSERT_TRUE(r.render(0, true));
    r.setOutputPixelFormat(QiImageCoder::RGB_8);
    ASSERT_TRUE(r.render(1, false));
    EXPECT_FALSE(r.render(2, false));
    EXPECT_TRUE(r.showFrame(-1)); // frame 1
    EXPECT_TRUE(r.showFrame(-1)); // frame 0
    EXPECT_EQ(r.shownIndices(), (std::vector<unsigned>{1, 0}));
    EXPECT_EQ(r.outOfRingCount(), 0u);

    auto shown = r.shownFrames();
    ASSERT_EQ(shown.size(), 2u);
    ASSERT_EQ(shown[0].bytes.size(), 50u * 2 * 4);
    EXPECT_EQ(shown[0].layout, QiImageCoder::RGB_8);
    EXPECT_EQ(shown[0].bytes[0], 235); // 940 >> 2, B G R A
    EXPECT_EQ(shown[0].bytes[3], 255);
    ASSERT_EQ(shown[1].bytes.size(), 2u * 128 * 2);
    uint32_t w0;
    std::memcpy(&w0, shown[1].bytes.data(), 4);
    EXPECT_EQ(w0, 512u | 940u << 10 | 512u << 20);

    // YCbCr_8 is Cb Y0 Cr Y1; RGB_10 is DPX big-endian.
    r.setOutputPixelFormat(QiImageCoder::YCbCr_8);
    r.render(0, false);
    r.showFrame(0);
    EXPECT_EQ(r.lastShown().bytes[1], 235 - 16 + 16);
    r.setOutputPixelFormat(QiImageCoder::RGB_10);
    r.render(0, false);
    r.showFrame(0);
    auto last = r.lastShown();
    EXPECT_EQ(last.bytes[0], 940 >> 2);
    EXPECT_EQ(r.renderCount(), 4u);
}
