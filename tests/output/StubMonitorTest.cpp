// The monitor of the simulated cards: colour bars rendered by each back-end
// come back from the card's frame memory as their own RGB codes, and the
// picture is written atomically, rate-limited, ending on the last frame.
#include "StubMonitor.h"
#include "AjaStubControl.h"
#include "BmdRaster.h"
#include "DeckLinkStubCard.h"
#include "KonaRaster.h"

#include <dirent.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

std::string tempDir() {
    char pattern[] = "/tmp/kb-monitor-XXXXXX";
    const char* dir = mkdtemp(pattern);
    return dir ? dir : "";
}

// Removes the folder and what is in it.
void removeDir(const std::string& dir) {
    if (DIR* d = opendir(dir.c_str())) {
        while (dirent* e = readdir(d))
            if (e->d_name[0] != '.') unlink((dir + "/" + e->d_name).c_str());
        closedir(d);
    }
    rmdir(dir.c_str());
}

std::vector<std::string> dirEntries(const std::string& dir) {
    std::vector<std::string> names;
    if (DIR* d = opendir(dir.c_str())) {
        while (dirent* e = readdir(d))
            if (e->d_name[0] != '.') names.push_back(e->d_name);
        closedir(d);
    }
    return names;
}

// Eight bars: white, yellow, cyan, green, magenta, red, blue, black; the top
// half at 100 %, the bottom half at 75 % (video levels at the raster's depth).
struct Bars {
    int black, full, threeQuarter;
    static Bars at(int bits) {
        const int scale = 1 << (bits - 8);
        // 75 %: black + 0.75 * (white - black), rounded.
        return {16 * scale, 235 * scale, (16 * scale * 4 + 3 * 219 * scale + 2) / 4};
    }
    // Component c (0 R, 1 G, 2 B) of bar i at level L.
    int code(int i, int c, int L) const {
        static const bool kOn[8][3] = {{1, 1, 1}, {1, 1, 0}, {0, 1, 1}, {0, 1, 0},
                                       {1, 0, 1}, {1, 0, 0}, {0, 0, 1}, {0, 0, 0}};
        return kOn[i][c] ? L : black;
    }
};

void drawBars(QiRaster& r, const Bars& b) {
    const int w = r.getWidth(), h = r.getHeight();
    for (int half = 0; half < 2; ++half) {
        const int L = half ? b.threeQuarter : b.full;
        for (int i = 0; i < 8; ++i) {
            const int x0 = w * i / 8, x1 = w * (i + 1) / 8;
            const uint64_t colour = static_cast<uint64_t>(b.code(i, 0, L)) << 2 * r.bits |
                                    static_cast<uint64_t>(b.code(i, 1, L)) << r.bits |
                                    static_cast<uint64_t>(b.code(i, 2, L));
            const int y0 = half * h / 2, y1 = half ? h : h / 2;
            r.blt(colour, x0, y0, x1 - x0, y1 - y0);
        }
    }
}

// The picture at `path` holds the bars: each bar's centre within `tolerance`
// 8-bit codes of the bar's RGB code (a 10-bit code counts as code / 4).
void expectBars(const std::string& path, const QiRaster& r, const Bars& b, double tolerance,
                const char* what) {
    std::unique_ptr<QiImage> png(QiImage::readPng(path.c_str(), 8));
    ASSERT_TRUE(png) << what;
    ASSERT_EQ(png->getWidth(), r.getWidth()) << what;
    ASSERT_EQ(png->getHeight(), r.getHeight()) << what;
    const double down = 1 << (r.bits - 8);
    for (int half = 0; half < 2; ++half) {
        const int L = half ? b.threeQuarter : b.full;
        const int y = r.getHeight() * (1 + 2 * half) / 4;
        for (int i = 0; i < 8; ++i) {
            const int x = r.getWidth() * (2 * i + 1) / 16;
            int got[3];
            png->getPixel(x, y, got[0], got[1], got[2]);
            for (int c = 0; c < 3; ++c)
                EXPECT_NEAR(got[c], b.code(i, c, L) / down, tolerance)
                    << what << ": bar " << i << (half ? " 75 %" : " 100 %") << " component " << c;
        }
    }
}

class StubMonitorTest : public testing::Test {
protected:
    void SetUp() override {
        dir = tempDir();
        ASSERT_FALSE(dir.empty());
        path = dir + "/monitor.png";
        unsetenv("KB_AJASTUB_NO_CARD");
        unsetenv("KB_DECKLINK_STUB");
        ajastub::privateStreamOwner(); // beside other tests' processes
        ajastub::resetCard();
        decklinkstub::reset();
    }
    void TearDown() override {
        unsetenv("KB_AJASTUB_MONITOR");
        unsetenv("KB_DECKLINK_STUB_MONITOR");
        unsetenv("KB_STUBMONITOR_TEST");
        ajastub::resetCard();
        decklinkstub::reset();
        removeDir(dir);
    }
    std::string dir, path;
};

// A raster and the pixel layout it writes, on one of the simulated cards.
struct BarsCase {
    const char* name;
    bool aja;
    unsigned mode;   // AJA video format, or DeckLink display mode
    unsigned layout; // AJA frame-buffer format, or QiImageCoder::PixelFormat on DeckLink
    bool tenBit;
    QiImageCoder::ColorMatrix matrix; // the matrix the back-end applies
    // In 8-bit codes. One code is what rounding through YCbCr costs; the
    // 8-bit 4:2:2 coder rounds a negative chroma sum toward zero (one code
    // high in half the cases), which the matrix turns into up to 3 codes of R
    // or B.
    double tolerance = 1.0;
};

const BMDDisplayMode kPal = bmdFourCC('p', 'a', 'l', ' ');
const BMDDisplayMode kHp50 = bmdFourCC('h', 'p', '5', '0');

const BarsCase kBarsCases[] = {
    // Every AJA frame-buffer layout at 720p (BT.709)...
    {"AJA ARGB", true, NTV2_FORMAT_720p_6000, NTV2_FBF_ARGB, false, QiImageCoder::Rec709},
    {"AJA RGBA", true, NTV2_FORMAT_720p_6000, NTV2_FBF_RGBA, false, QiImageCoder::Rec709},
    {"AJA ABGR", true, NTV2_FORMAT_720p_6000, NTV2_FBF_ABGR, false, QiImageCoder::Rec709},
    {"AJA RGB24", true, NTV2_FORMAT_720p_6000, NTV2_FBF_24BIT_RGB, false, QiImageCoder::Rec709},
    {"AJA BGR24", true, NTV2_FORMAT_720p_6000, NTV2_FBF_24BIT_BGR, false, QiImageCoder::Rec709},
    {"AJA DPX", true, NTV2_FORMAT_720p_6000, NTV2_FBF_10BIT_DPX, false, QiImageCoder::Rec709},
    {"AJA UYVY", true, NTV2_FORMAT_720p_6000, NTV2_FBF_8BIT_YCBCR, false, QiImageCoder::Rec709,
     3.0},
    {"AJA YUY2", true, NTV2_FORMAT_720p_6000, NTV2_FBF_8BIT_YCBCR_YUY2, false, QiImageCoder::Rec709,
     3.0},
    {"AJA v210", true, NTV2_FORMAT_720p_6000, NTV2_FBF_10BIT_YCBCR, false, QiImageCoder::Rec709},
    {"AJA v210 10-bit formulas", true, NTV2_FORMAT_720p_6000, NTV2_FBF_10BIT_YCBCR, true,
     QiImageCoder::Rec709},
    // ...standard definition (BT.601)...
    {"AJA 525 UYVY", true, NTV2_FORMAT_525_5994, NTV2_FBF_8BIT_YCBCR, false, QiImageCoder::Rec601,
     3.0},
    {"AJA 525 v210", true, NTV2_FORMAT_525_5994, NTV2_FBF_10BIT_YCBCR, true, QiImageCoder::Rec601},
    // ...and BT.2020 when output 1's VPID says so.
    {"AJA v210 BT.2020", true, NTV2_FORMAT_720p_6000, NTV2_FBF_10BIT_YCBCR, false,
     QiImageCoder::Rec2020},
    // Every DeckLink pixel format in PAL (BT.601), and v210 at 720p (BT.709).
    {"DeckLink ARGB", false, kPal, QiImageCoder::RGB_8, false, QiImageCoder::Rec601},
    {"DeckLink r210", false, kPal, QiImageCoder::RGB_10, false, QiImageCoder::Rec601},
    {"DeckLink 2vuy", false, kPal, QiImageCoder::YCbCr_8, false, QiImageCoder::Rec601, 3.0},
    {"DeckLink v210", false, kPal, QiImageCoder::YCbCr_10, false, QiImageCoder::Rec601},
    {"DeckLink v210 10-bit formulas", false, kPal, QiImageCoder::YCbCr_10, true,
     QiImageCoder::Rec601},
    {"DeckLink 720p v210", false, kHp50, QiImageCoder::YCbCr_10, false, QiImageCoder::Rec709},
    {"DeckLink 720p 2vuy", false, kHp50, QiImageCoder::YCbCr_8, false, QiImageCoder::Rec709, 3.0},
};

// The card's default matrix decodes what the back-end coded: bars at 75 % and
// 100 %, 8- and 10-bit rasters, come back as their RGB codes.
TEST_F(StubMonitorTest, BarsComeBackAsTheirCodesOnEveryLayout) {
    setenv("KB_AJASTUB_MONITOR", path.c_str(), 1);
    setenv("KB_DECKLINK_STUB_MONITOR", path.c_str(), 1);
    for (const BarsCase& t : kBarsCases) {
        SCOPED_TRACE(t.name);
        std::unique_ptr<QiRaster> raster;
        if (t.aja) {
            ajastub::AjaStubCard c = ajastub::card();
            for (int ch = 0; ch < 4; ++ch) {
                c.videoFormat[ch] = static_cast<NTV2VideoFormat>(t.mode);
                c.frameBufferFormat[ch] = static_cast<NTV2FrameBufferFormat>(t.layout);
            }
            // ST 352 byte 3 bits 5-4: colorimetry 2 is BT.2020.
            c.vpid[0][0] = t.matrix == QiImageCoder::Rec2020 ? 2u << 12 : 0u;
            ajastub::setCard(c);
            auto kona = std::make_unique<KonaRaster>(true); // adopts the card's layout
            ASSERT_TRUE(kona->init());
            raster = std::move(kona);
        } else {
            decklinkstub::setDefaultMode(t.mode);
            auto bmd = std::make_unique<BmdRaster>(false); // enables the default mode
            ASSERT_TRUE(bmd->init());
            bmd->setOutputPixelFormat(static_cast<QiImageCoder::PixelFormat>(t.layout));
            raster = std::move(bmd);
        }
        if (t.matrix == QiImageCoder::Rec2020) raster->coder.setColorMatrix(t.matrix);
        ASSERT_EQ(raster->coder.getColorMatrix(), t.matrix);
        for (int bits : {8, 10}) {
            SCOPED_TRACE(bits);
            raster->bits = bits;
            const Bars bars = Bars::at(bits);
            drawBars(*raster, bars);
            unlink(path.c_str());
            ASSERT_TRUE(raster->render(0, t.tenBit));
            if (t.aja) {
                ASSERT_TRUE(raster->p_showFrame(0));
                ajastub::flushMonitor();
            } else {
                decklinkstub::flushMonitor();
            }
            expectBars(path, *raster, bars, t.tolerance, t.name);
        }
    }
    // Only the picture itself is left behind: temporary files were renamed.
    EXPECT_EQ(dirEntries(dir), std::vector<std::string>{"monitor.png"});
}

// A 2 x 2 frame of one grey code.
void showGrey(stubmonitor::Monitor& m, uint8_t code) {
    stubmonitor::FrameFormat f;
    f.packing = stubmonitor::Packing::Rgb8;
    f.pixelBytes = 3;
    f.width = f.height = 2;
    f.rowBytes = 6;
    std::vector<uint8_t> bytes(12, code);
    m.show(f, bytes.data(), bytes.size());
}

int greyIn(const std::string& path) {
    std::unique_ptr<QiImage> png(QiImage::readPng(path.c_str(), 8));
    int r = -1, g = -1, b = -1;
    if (png) png->getPixel(1, 1, r, g, b);
    return r;
}

// Frames shown faster than the interval replace each other; the last one is
// written in the end without a flush; show() does not wait for the writer.
TEST_F(StubMonitorTest, WritesAtMostOncePerIntervalAndEndsOnTheLastFrame) {
    using namespace std::chrono;
    const milliseconds interval(100);
    stubmonitor::Monitor m("KB_STUBMONITOR_TEST", interval);
    setenv("KB_STUBMONITOR_TEST", path.c_str(), 1);
    const auto start = steady_clock::now();
    for (int i = 1; i <= 60; ++i) {
        showGrey(m, static_cast<uint8_t>(i));
        std::this_thread::sleep_for(milliseconds(5));
    }
    const auto shown = steady_clock::now();
    while (greyIn(path) != 60 && steady_clock::now() - shown < seconds(10))
        std::this_thread::sleep_for(milliseconds(10));
    const auto end = steady_clock::now();
    EXPECT_EQ(greyIn(path), 60);
    // One write at once, then at most one per interval.
    EXPECT_LE(m.writes(), 2 + duration_cast<milliseconds>(end - start) / interval);
    EXPECT_GE(m.writes(), 2u);
    EXPECT_EQ(dirEntries(dir), std::vector<std::string>{"monitor.png"});
}

// Off while the variable is unset or empty; an unwritable path costs nothing
// but its picture, and the next good path is written again.
TEST_F(StubMonitorTest, OffUnsetAndSurvivesAnUnwritablePath) {
    stubmonitor::Monitor m("KB_STUBMONITOR_TEST", std::chrono::milliseconds(0));
    for (const char* value : {static_cast<const char*>(nullptr), ""}) {
        if (value)
            setenv("KB_STUBMONITOR_TEST", value, 1);
        else
            unsetenv("KB_STUBMONITOR_TEST");
        showGrey(m, 1);
        m.flush();
    }
    EXPECT_EQ(m.writes(), 0u);

    testing::internal::CaptureStderr();
    setenv("KB_STUBMONITOR_TEST", (dir + "/no-such-folder/monitor.png").c_str(), 1);
    showGrey(m, 2);
    m.flush();
    showGrey(m, 3);
    m.flush();
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("cannot write"), std::string::npos);
    EXPECT_EQ(err.find("cannot write"), err.rfind("cannot write")); // reported once

    setenv("KB_STUBMONITOR_TEST", path.c_str(), 1);
    showGrey(m, 4);
    m.flush();
    EXPECT_EQ(greyIn(path), 4);
    EXPECT_EQ(m.writes(), 3u);
    EXPECT_EQ(dirEntries(dir), std::vector<std::string>{"monitor.png"});
}

} // namespace
