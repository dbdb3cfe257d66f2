// KonaRaster on the simulated card: format table, adoption of the card's
// format, pixel layouts, and frames rendered, uploaded and read back.
#include "KonaRaster.h"
#include "AjaNtv2.h"
#include "AjaStubControl.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

using ajastub::AjaStubCard;
using testing::internal::CaptureStderr;
using testing::internal::GetCapturedStderr;

namespace {

class KonaRasterTest : public testing::Test {
protected:
    void SetUp() override {
        unsetenv("KB_AJASTUB_NO_CARD");
        ajastub::privateStreamOwner();
        ajastub::resetCard();
    }
    void TearDown() override { ajastub::resetCard(); }

    // Puts the card in a video format and frame-buffer format before start-up.
    static void cardAt(NTV2VideoFormat vf, NTV2FrameBufferFormat fbf) {
        AjaStubCard c = ajastub::card();
        for (int ch = 0; ch < 4; ++ch) {
            c.videoFormat[ch] = vf;
            c.frameBufferFormat[ch] = fbf;
        }
        ajastub::setCard(c);
    }
};

TEST_F(KonaRasterTest, FreshRaster) {
    KonaRaster r(true);
    EXPECT_EQ(1280, r.getWidth());
    EXPECT_EQ(720, r.getHeight());
    EXPECT_EQ(10, r.bits);
    EXPECT_EQ(KRd_V210, r.getLayout());
    EXPECT_EQ(QiImageCoder::Rec709, r.coder.getColorMatrix());
    EXPECT_EQ(64, r.getBlackLevel());
    EXPECT_EQ(940, r.getWhiteLevel());
    EXPECT_EQ(QiImageCoder::YCbCr_10, r.getOutputPixelFormat());
    EXPECT_STREQ("1234", r.getVersion());
    EXPECT_FALSE(r.render(0, true)); // no host frames before the card is set up
    EXPECT_FALSE(r.p_showFrame(0));

    uint8_t* edid = nullptr;
    unsigned long length = 0;
    ASSERT_TRUE(r.getEdid(edid, length));
    ASSERT_EQ(4u, length);
    EXPECT_EQ(0, std::memcmp(edid, "\4\3\2\1", 4));
    std::free(edid);
}

TEST_F(KonaRasterTest, FormatListAndNames) {
    KonaRaster r(true);
    ASSERT_TRUE(r.init());
    int count = 0, current = -1;
    char** names = nullptr;
    EXPECT_TRUE(r.getSupportedFormats(count, current, names));
    ASSERT_EQ(31, count);
    EXPECT_EQ(7, current);
    EXPECT_STREQ("4x1920x1080p_25.00", names[27]);
    EXPECT_EQ(nullptr, names[31]);
    for (int i = 0; i < count; ++i)
        std::free(names[i]);
    std::free(names);

    EXPECT_TRUE(r.setRasterFormat("4x1920x1080p_25.00"));
    EXPECT_EQ(27u, r.formatIndex());
    EXPECT_EQ(3840, r.getWidth());
    EXPECT_FALSE(r.setRasterFormat("4x1920x1080p 25.00"));
    EXPECT_FALSE(r.setRasterFormat("720P 60.00")); // names are case-sensitive
    EXPECT_FALSE(r.setRasterFormat(static_cast<const char*>(nullptr)));
    EXPECT_FALSE(r.setRasterFormat(31u));
    EXPECT_EQ(27u, r.formatIndex());
    // Still reported as current whatever is in use.
    r.getSupportedFormats(count, current, names);
    EXPECT_EQ(7, current);
    for (int i = 0; i < count; ++i)
        std::free(names[i]);
    std::free(names);
}

TEST_F(KonaRasterTest, SetRasterFormatZeroRightAfterConstructionDoesNothing) {
    KonaRaster r(true);
    EXPECT_TRUE(r.setRasterFormat(0u));
    EXPECT_EQ(NTV2_FORMAT_720p_6000, ajastub::card().videoFormat[0]);
    EXPECT_EQ(1280, r.getWidth());
}

TEST_F(KonaRasterTest, SetupRasterFormatAdoptsFirstRowMatrixAndSize) {
    cardAt(NTV2_FORMAT_1080p_5994_B, NTV2_FBF_10BIT_YCBCR);
    KonaRaster r(true);
    ASSERT_TRUE(r.init());
    r.setupRasterFormat(KRd_V210, 19);
    EXPECT_EQ(14u, r.formatIndex());
    EXPECT_EQ(1920, r.getWidth());
    EXPECT_EQ(5120u, r.getRowBytes());

    struct Case {
        NTV2VideoFormat vf;
        QiImageCoder::ColorMatrix matrix;
        int w, h;
        unsigned row;
    } cases[] = {{NTV2_FORMAT_525_5994, QiImageCoder::Rec601, 720, 486, 0},
                 {NTV2_FORMAT_625_5000, QiImageCoder::Rec601, 720, 576, 1},
                 {NTV2_FORMAT_1080i_5000, QiImageCoder::Rec709, 1920, 1080, 2}};
    for (const Case& k : cases) {
        cardAt(k.vf, NTV2_FBF_ARGB);
        r.setupRasterFormat(KRd_ARGB, k.vf);
        EXPECT_EQ(k.matrix, r.coder.getColorMatrix());
        EXPECT_EQ(k.w, r.getWidth());
        EXPECT_EQ(k.h, r.getHeight());
        EXPECT_EQ(k.row, r.formatIndex());
        EXPECT_EQ(static_cast<unsigned>(k.w) * 4, r.getRowBytes());
    }
    r.setupRasterFormat(KRd_ARGB, 77); // no row holds it
    EXPECT_EQ(2u, r.formatIndex());
}

TEST_F(KonaRasterTest, PassiveInitAdoptsTheCard) {
    cardAt(NTV2_FORMAT_1080i_5000, NTV2_FBF_ARGB);
    KonaRaster r(true);
    ASSERT_TRUE(r.init());
    EXPECT_EQ(KRd_ARGB, r.getLayout());
    EXPECT_EQ(2u, r.formatIndex());
    EXPECT_EQ(7680u, r.getRowBytes());
    EXPECT_STREQ("1080i 50.00", r.getCurrentFormat());
    EXPECT_EQ(QiImageCoder::RGB_8, r.getOutputPixelFormat());
    AjaStubCard c = ajastub::card();
    EXPECT_EQ(0u, c.routeApplies);
    EXPECT_EQ(getpid(), c.streamPid); // held, so no second generator takes the card
    EXPECT_STREQ("KBS0000001", r.getSerial());
    c.serial = "OTHER";
    ajastub::setCard(c);
    EXPECT_STREQ("KBS0000001", r.getSerial()); // read once per process
}

TEST_F(KonaRasterTest, ActiveInitSets720p60) {
    cardAt(NTV2_FORMAT_1080i_5000, NTV2_FBF_10BIT_YCBCR);
    KonaRaster r(false);
    ASSERT_TRUE(r.init());
    EXPECT_EQ(7u, r.formatIndex());
    AjaStubCard c = ajastub::card();
    EXPECT_EQ(NTV2_FORMAT_720p_6000, c.videoFormat[0]);
    EXPECT_EQ(0x844B0001u, c.vpid[0][0]);
    EXPECT_EQ(5u, c.routing.size());
    EXPECT_EQ(1280, r.getWidth());

    // Outputs 1 and 2 both show card frame 0: one upload serves both.
    ASSERT_TRUE(r.render(0, true));
    ASSERT_TRUE(r.showFrame(-1));
    EXPECT_EQ(1u, ajastub::card().dmaWrites);
    EXPECT_EQ(size_t(3456) * 720, ajastub::frame(0).size());
}

// A card whose stream another generator holds is busy: init fails, so
// start-up goes on to the next back-end, and the holder keeps the card.
TEST_F(KonaRasterTest, CardHeldByAnotherGeneratorIsBusy) {
    // Two in one process.
    auto first = std::make_unique<KonaRaster>(true);
    ASSERT_TRUE(first->init());
    EXPECT_EQ(getpid(), ajastub::card().streamPid);
    {
        testsupport::ScopedCapture capture;
        KonaRaster passive(true), active(false);
        EXPECT_FALSE(passive.init());
        EXPECT_FALSE(active.init());
        auto lines = capture.out->take();
        ASSERT_FALSE(lines.empty());
        EXPECT_NE(std::string::npos, lines[0].find("busy")) << lines[0];
    }
    EXPECT_EQ(getpid(), ajastub::card().streamPid); // the busy ones released nothing
    first.reset();
    EXPECT_EQ(0, ajastub::card().streamPid);

    // One in another process, which ends without releasing the stream.
    int toParent[2], toChild[2];
    ASSERT_EQ(0, pipe(toParent));
    ASSERT_EQ(0, pipe(toChild));
    pid_t child = fork();
    ASSERT_NE(-1, child);
    if (child == 0) {
        KonaRaster r(true);
        char ok = r.init() ? 1 : 0;
        char go = 0;
        if (write(toParent[1], &ok, 1) != 1 || read(toChild[0], &go, 1) != 1) _exit(2);
        _exit(0);
    }
    char ok = 0;
    ASSERT_EQ(1, read(toParent[0], &ok, 1));
    EXPECT_EQ(1, ok);
    EXPECT_EQ(child, ajastub::card().streamPid);
    {
        KonaRaster second(true);
        EXPECT_FALSE(second.init());
    }
    ASSERT_EQ(1, write(toChild[1], "x", 1));
    int status = -1;
    ASSERT_EQ(child, waitpid(child, &status, 0));
    EXPECT_EQ(0, status);
    for (int fd : {toParent[0], toParent[1], toChild[0], toChild[1]})
        close(fd);
    KonaRaster after(true); // the holder has gone
    EXPECT_TRUE(after.init());
    EXPECT_EQ(getpid(), ajastub::card().streamPid);
}

TEST_F(KonaRasterTest, NoCardFailsInit) {
    setenv("KB_AJASTUB_NO_CARD", "1", 1);
    ajastub::resetCard();
    KonaRaster passive(true);
    EXPECT_FALSE(passive.init());
    KonaRaster active(false);
    EXPECT_FALSE(active.init());
}

TEST_F(KonaRasterTest, OutputPixelFormat) {
    KonaRaster r(true);
    ASSERT_TRUE(r.init());
    CaptureStderr();
    EXPECT_TRUE(r.setOutputPixelFormat(QiImageCoder::YCbCr_8));
    EXPECT_EQ("\nsetOutputPixelFormat new pixel format is 6\n", GetCapturedStderr());
    EXPECT_EQ(KRd_YUYV8, r.getLayout());
    EXPECT_EQ(QiImageCoder::YCbCr_8, r.getOutputPixelFormat());
    EXPECT_EQ(NTV2_FBF_8BIT_YCBCR, ajastub::card().frameBufferFormat[3]);
    EXPECT_EQ(2560u, r.getRowBytes());

    CaptureStderr();
    EXPECT_TRUE(r.setOutputPixelFormat(QiImageCoder::RGB_10));
    GetCapturedStderr();
    EXPECT_EQ(KRd_DPX10, r.getLayout());
    EXPECT_EQ(QiImageCoder::RGB_10, r.getOutputPixelFormat());

    // A value without a layout (2 and 3 are unused, 7 outside the
    // enumeration) is refused and changes nothing, on the card either.
    for (int p : {2, 3, 7}) {
        EXPECT_FALSE(r.setOutputPixelFormat(static_cast<QiImageCoder::PixelFormat>(p))) << p;
        EXPECT_EQ(KRd_DPX10, r.getLayout()) << p;
        EXPECT_EQ(QiImageCoder::RGB_10, r.getOutputPixelFormat()) << p;
        EXPECT_EQ(NTV2_FBF_10BIT_DPX, ajastub::card().frameBufferFormat[0]) << p;
    }
}

TEST_F(KonaRasterTest, FollowsChangesMadeOnTheCard) {
    KonaRaster r(true);
    ASSERT_TRUE(r.init());
    // A new video format alone does not ask for a render...
    cardAt(NTV2_FORMAT_1080p_2500, NTV2_FBF_10BIT_YCBCR);
    EXPECT_FALSE(r.rerenderP());
    EXPECT_EQ(1280, r.getWidth());
    // ...but the format name follows it.
    EXPECT_STREQ("1080p 25.00", r.getCurrentFormat());
    EXPECT_EQ(1920, r.getWidth());
    // A new frame-buffer layout does.
    cardAt(NTV2_FORMAT_1080p_2500, NTV2_FBF_24BIT_BGR);
    EXPECT_TRUE(r.rerenderP());
    EXPECT_EQ(KRd_BGR24, r.getLayout());
    EXPECT_EQ(5760u, r.getRowBytes());
    EXPECT_FALSE(r.rerenderP());
}

// The colour matrix is the back-end's choice for a new video format (Rec601
// for standard definition, 576 lines or fewer; Rec709 above) and otherwise
// stays as set: a new pixel layout, from a client or found on the card,
// keeps it.
TEST_F(KonaRasterTest, MatrixChangesWithTheFormatOnly) {
    KonaRaster r(true);
    ASSERT_TRUE(r.init());
    CaptureStderr();
    const QiImageCoder::ColorMatrix set = QiImageCoder::Rec2020Compressed;
    struct Step {
        const char* what;
        std::function<void()> change;
        QiImageCoder::ColorMatrix after;
    } steps[] = {
        {"client's layout", [&] { r.setOutputPixelFormat(QiImageCoder::YCbCr_8); }, set},
        {"card's layout",
         [&] {
             cardAt(NTV2_FORMAT_720p_6000, NTV2_FBF_8BIT_YCBCR_YUY2);
             EXPECT_TRUE(r.rerenderP());
         },
         set},
        {"format query", [&] { r.getCurrentFormat(); }, set},
        {"client's SD format", [&] { r.setRasterFormat("625 50.00 (576i)"); },
         QiImageCoder::Rec601},
        {"client's HD format", [&] { r.setRasterFormat("1080i 50.00"); }, QiImageCoder::Rec709},
        {"card's SD format",
         [&] {
             cardAt(NTV2_FORMAT_525_5994, NTV2_FBF_8BIT_YCBCR_YUY2);
             EXPECT_STREQ("525 59.94 (480i)", r.getCurrentFormat());
         },
         QiImageCoder::Rec601},
    };
    for (const Step& step : steps) {
        r.coder.setColorMatrix(set);
        step.change();
        EXPECT_EQ(step.after, r.coder.getColorMatrix()) << step.what;
    }
    GetCapturedStderr();
}

TEST_F(KonaRasterTest, SelectedLevelBRowStaysSelected) {
    KonaRaster r(false);
    ASSERT_TRUE(r.init());
    ASSERT_TRUE(r.setRasterFormat("1080p 50.00 (SDI-3Gb)"));
    EXPECT_STREQ("1080p 50.00 (SDI-3Gb)", r.getCurrentFormat());
    EXPECT_EQ(0x8Au, ajastub::card().vpid[0][0] >> 24);
    ASSERT_TRUE(r.setOutputPixelFormat(QiImageCoder::RGB_8));
    EXPECT_STREQ("1080p 50.00 (SDI-3Gb)", r.getCurrentFormat());
}

// One pixel drawn, converted, uploaded and read back from the card for every
// layout. Pixel (0, 0) is (1020, 512, 4) at 10 bits: 8-bit (255, 128, 1).
TEST_F(KonaRasterTest, EndToEndEveryLayout) {
    struct Case {
        NTV2FrameBufferFormat fbf;
        std::vector<uint8_t> bytes; // at the start of the frame
    } cases[] = {
        {NTV2_FBF_ARGB, {1, 128, 255, 255}},
        {NTV2_FBF_RGBA, {255, 255, 128, 1}},
        {NTV2_FBF_ABGR, {255, 128, 1, 255}},
        {NTV2_FBF_24BIT_RGB, {255, 128, 1}},
        {NTV2_FBF_24BIT_BGR, {1, 128, 255}},
        // R 1020 in bits 22-31, G 512 in 12-21, B 4 in 2-11, stored big-endian.
        {NTV2_FBF_10BIT_DPX, {0xFF, 0x20, 0x00, 0x10}},
    };
    for (const Case& k : cases) {
        ajastub::resetCard();
        cardAt(NTV2_FORMAT_720p_5000, k.fbf);
        KonaRaster r(true);
        ASSERT_TRUE(r.init());
        r.clear(0);
        r.setPixel(0, 0, 1020, 512, 4);
        ASSERT_TRUE(r.render(0, false));
        ASSERT_TRUE(r.showFrame(-1));
        std::vector<uint8_t> got = ajastub::frame(0); // channel 1 shows frame 0
        ASSERT_EQ(size_t(r.getRowBytes()) * 720, got.size()) << k.fbf;
        EXPECT_EQ(k.bytes, std::vector<uint8_t>(got.begin(), got.begin() + k.bytes.size()))
            << k.fbf;
        EXPECT_EQ(got, ajastub::frame(2)); // channel 2's frame gets the same
        EXPECT_EQ(2u, ajastub::card().dmaWrites);
    }
}

TEST_F(KonaRasterTest, EndToEndYCbCr) {
    // Black (64) and white (940) pairs in 8-bit 4:2:2, both byte orders.
    for (NTV2FrameBufferFormat fbf : {NTV2_FBF_8BIT_YCBCR, NTV2_FBF_8BIT_YCBCR_YUY2}) {
        ajastub::resetCard();
        cardAt(NTV2_FORMAT_720p_5994, fbf);
        KonaRaster r(true);
        ASSERT_TRUE(r.init());
        r.clear(r.makeGrey(64));
        r.blt(r.makeGrey(940), 2, 0, 2, 1);
        ASSERT_TRUE(r.render(0, false));
        ASSERT_TRUE(r.p_showFrame(0));
        std::vector<uint8_t> got = ajastub::frame(0);
        ASSERT_EQ(size_t(2560) * 720, got.size());
        std::vector<uint8_t> head(got.begin(), got.begin() + 8);
        if (fbf == NTV2_FBF_8BIT_YCBCR)
            EXPECT_EQ((std::vector<uint8_t>{128, 16, 128, 16, 128, 235, 128, 235}), head);
        else
            EXPECT_EQ((std::vector<uint8_t>{16, 128, 16, 128, 235, 128, 235, 128}), head);
    }

    // v210 white at 1280 wide: 3456-byte rows, each 4-word group
    // Cb | Y << 10 | Cr << 20 and so on, with Y 940 and chroma 512.
    ajastub::resetCard();
    KonaRaster r(true);
    ASSERT_TRUE(r.init());
    r.clear(r.makeGrey(940));
    ASSERT_TRUE(r.render(0, true));
    ASSERT_TRUE(r.showFrame(-1));
    std::vector<uint8_t> got = ajastub::frame(0);
    ASSERT_EQ(size_t(3456) * 720, got.size());
    auto word = [&](size_t i) {
        return uint32_t(got[4 * i]) | uint32_t(got[4 * i + 1]) << 8 |
               uint32_t(got[4 * i + 2]) << 16 | uint32_t(got[4 * i + 3]) << 24;
    };
    const uint32_t a = 512 | 940 << 10 | 512 << 20, b = 940 | 512 << 10 | 940 << 20;
    const size_t lastRow = 719 * 864; // words per row: 3456 / 4
    for (size_t base : {size_t(0), lastRow, lastRow + 26 * 32 + 5 * 4}) {
        EXPECT_EQ(a, word(base));
        EXPECT_EQ(b, word(base + 1));
        EXPECT_EQ(a, word(base + 2));
        EXPECT_EQ(b, word(base + 3));
    }
    EXPECT_EQ(0u, word(lastRow + 26 * 32 + 6 * 4)); // row padding left as allocated
}

TEST_F(KonaRasterTest, FrameRingAndSizes) {
    // 24-bit rows of an odd width are no whole number of words: every frame
    // of the ring must still hold a whole converted frame.
    cardAt(NTV2_FORMAT_720p_5000, NTV2_FBF_24BIT_RGB);
    KonaRaster r(true);
    ASSERT_TRUE(r.init());
    ASSERT_TRUE(r.setFrames(3));
    ASSERT_TRUE(r.resize(641, 3));
    EXPECT_EQ(1923u, r.getRowBytes()); // row bytes follow the new width
    EXPECT_EQ(3u, r.frames);
    r.clear(r.makeGrey(1023));
    for (unsigned n = 0; n < 3; ++n)
        EXPECT_TRUE(r.render(n, false));
    EXPECT_FALSE(r.render(3, false));
    unsigned* data = nullptr;
    unsigned bytes = 0;
    ASSERT_TRUE(r.frameData(data, bytes, 2));
    EXPECT_EQ(1923u * 3, bytes);
    EXPECT_EQ(255, reinterpret_cast<uint8_t*>(data)[bytes - 1]);
    EXPECT_FALSE(r.frameData(data, bytes, 3));

    // The ring steps on, though the card takes no 641 x 3 frame (below).
    testsupport::ScopedCapture capture;
    EXPECT_FALSE(r.showFrame(-1));
    EXPECT_EQ(1u, r.curFrame);
    EXPECT_FALSE(r.p_showFrame(3));
    // Every render asks for its frames again: the same ring stays, back at frame 0. A ring of
    // another shape is allocated afresh, so no byte of the old layout survives in its padding.
    unsigned* again = nullptr;
    ASSERT_TRUE(r.setFrames(3));
    EXPECT_EQ(0u, r.curFrame);
    ASSERT_TRUE(r.frameData(again, bytes, 2));
    EXPECT_EQ(data, again);
    EXPECT_EQ(255, reinterpret_cast<uint8_t*>(again)[bytes - 1]);

    // The card takes only whole frames of its own format.
    EXPECT_FALSE(r.p_showFrame(1));
    EXPECT_TRUE(ajastub::frame(0).empty());
    ASSERT_TRUE(r.resize(1280, 720));
    EXPECT_TRUE(r.p_showFrame(1));
    EXPECT_EQ(size_t(3840) * 720, ajastub::frame(0).size());

    ASSERT_TRUE(r.setOutputPixelFormat(QiImageCoder::YCbCr_10));
    ASSERT_TRUE(r.setFrames(1));
    ASSERT_TRUE(r.frameData(again, bytes, 0));
    EXPECT_EQ(std::vector<uint8_t>(bytes, 0),
              std::vector<uint8_t>(reinterpret_cast<uint8_t*>(again),
                                   reinterpret_cast<uint8_t*>(again) + bytes));

    AjaStubCard c = ajastub::card();
    c.faults.dma = true;
    ajastub::setCard(c);
    EXPECT_FALSE(r.p_showFrame(0));
}

// A frame the card refuses (its DMA fails) fails the frame step. The Warning
// comes once per run of refused frames; a frame the card takes ends the run.
TEST_F(KonaRasterTest, RefusedFrameIsAFailureSaidOncePerRun) {
    KonaRaster r(true);
    ASSERT_TRUE(r.init());
    ASSERT_TRUE(r.render(0, true));
    testsupport::ScopedCapture capture;
    const struct {
        bool refused;
        bool warned;
    } steps[] = {{true, true}, {true, false}, {false, false}, {true, true}};
    for (const auto& step : steps) {
        AjaStubCard c = ajastub::card();
        c.faults.dma = step.refused;
        ajastub::setCard(c);
        EXPECT_EQ(!step.refused, r.showFrame(-1));
        const std::vector<std::string> lines = capture.out->take();
        EXPECT_EQ(step.warned ? std::vector<std::string>{"Warning: p_showFrame: the card "
                                                         "refused the frame\n"}
                              : std::vector<std::string>{},
                  lines);
    }
}

TEST_F(KonaRasterTest, CardLayoutOutsideTheTable) {
    AjaStubCard c = ajastub::card();
    for (int ch = 0; ch < 4; ++ch)
        c.frameBufferFormat[ch] = NTV2_FBF_NUMFRAMEBUFFERFORMATS;
    ajastub::setCard(c);
    KonaRaster r(true);
    ASSERT_TRUE(r.init());
    EXPECT_EQ(KRd_Unsupported, r.getLayout());
    EXPECT_EQ(0u, r.getRowBytes());
    {
        // Nothing can be shown, and that is said.
        testsupport::ScopedCapture capture;
        EXPECT_FALSE(r.render(0, true));
        auto lines = capture.out->take();
        ASSERT_EQ(1u, lines.size());
        EXPECT_EQ(0u, lines[0].find("Warning: ")) << lines[0];
    }
    EXPECT_FALSE(r.p_showFrame(0));
    EXPECT_EQ(QiImageCoder::YCbCr_10, r.getOutputPixelFormat()); // the last one asked for
    EXPECT_EQ(0u, ajastub::card().dmaWrites);

    // Programming a format programs a layout of the table with it: the one
    // whose pixel format the raster reports.
    ASSERT_TRUE(r.setRasterFormat("1080i 50.00"));
    EXPECT_EQ(KRd_V210, r.getLayout());
    c = ajastub::card();
    EXPECT_EQ(NTV2_FORMAT_1080i_5000, c.videoFormat[0]);
    EXPECT_EQ(NTV2_FBF_10BIT_YCBCR, c.frameBufferFormat[0]);
    EXPECT_TRUE(r.render(0, true));
    EXPECT_TRUE(r.p_showFrame(0));
    EXPECT_EQ(size_t(5120) * 1080, ajastub::frame(0).size());
}

} // namespace
