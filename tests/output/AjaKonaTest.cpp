// AjaKona against the simulated card: opening, stream ownership, routing,
// SDI and HDMI settings, and the ST 352 payload identifiers.
#include "AjaKona.h"
#include "AjaNtv2.h"
#include "AjaStubControl.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <map>
#include <string>
#include <vector>

using ajastub::AjaStubCard;
using testing::internal::CaptureStderr;
using testing::internal::GetCapturedStderr;

namespace {

typedef std::map<NTV2InputCrosspointID, ULWord> Routing;

class AjaKonaTest : public testing::Test {
protected:
    void SetUp() override {
        unsetenv("KB_AJASTUB_NO_CARD");
        ajastub::privateStreamOwner();
        ajastub::resetCard();
    }
    void TearDown() override { ajastub::resetCard(); }
};

// Programs one row in active mode and returns the card afterwards; stderr in `err`.
AjaStubCard program(unsigned row, KRdPixFormats layout, std::string* err = nullptr) {
    AjaKona kona(false);
    EXPECT_EQ(0, kona.initialize());
    CaptureStderr();
    EXPECT_TRUE(kona.setVideoFormat(layout, skAjaFormats[row]));
    std::string text = GetCapturedStderr();
    if (err) *err = text;
    return ajastub::card();
}

TEST_F(AjaKonaTest, InitializeCodes) {
    {
        AjaStubCard c = ajastub::card();
        c.present = false;
        ajastub::setCard(c);
        EXPECT_EQ(-1, AjaKona(true).initialize());
        setenv("KB_AJASTUB_NO_CARD", "1", 1);
        ajastub::resetCard();
        EXPECT_EQ(-1, AjaKona(false).initialize());
        unsetenv("KB_AJASTUB_NO_CARD");
        ajastub::resetCard();
    }
    // A live process (our parent) holds the stream: the card is busy in
    // either mode, and the stream stays with its owner.
    AjaStubCard c = ajastub::card();
    c.streamPid = static_cast<int32_t>(getppid());
    c.streamAppCode = 0x41424344;
    ajastub::setCard(c);
    EXPECT_EQ(-2, AjaKona(false).initialize());
    EXPECT_EQ(-2, AjaKona(true).initialize());
    EXPECT_EQ(static_cast<int32_t>(getppid()), ajastub::card().streamPid);

    ajastub::resetCard();
    c = ajastub::card();
    c.faults.everyFrameServices = true;
    ajastub::setCard(c);
    EXPECT_EQ(-3, AjaKona(false).initialize());

    ajastub::resetCard();
    c = ajastub::card();
    c.faults.acquireStream = true;
    ajastub::setCard(c);
    EXPECT_EQ(-4, AjaKona(false).initialize());
}

TEST_F(AjaKonaTest, ActiveInitializeTakesTheStreamAndReleasesIt) {
    AjaStubCard c = ajastub::card();
    c.faults.sdiTransmitMask = 1u << 1;
    c.faults.outputFrameMask = 1u << 3;
    ajastub::setCard(c);
    {
        AjaKona kona(false);
        CaptureStderr();
        EXPECT_EQ(0, kona.initialize());
        EXPECT_EQ("!!SetSDITransmitEnable(NTV2_CHANNEL2)\n!!SetOutputFrame(NTV2_CHANNEL4)\n",
                  GetCapturedStderr());
        c = ajastub::card();
        EXPECT_EQ(0x4B5A6F62u, c.streamAppCode); // 'KZob'
        EXPECT_EQ(getpid(), c.streamPid);
        EXPECT_EQ(NTV2_OEM_TASKS, c.everyFrame);
        EXPECT_EQ(NTV2_REFERENCE_FREERUN, c.reference);
        EXPECT_TRUE(c.sdiTransmit[0] && !c.sdiTransmit[1] && c.sdiTransmit[2] && c.sdiTransmit[3]);
        EXPECT_EQ(0u, c.outputFrame[0]);
        EXPECT_EQ(6u, c.outputFrame[3]); // its failure left it alone
    }
    // The stream is free again, so a second back-end in this process starts.
    EXPECT_EQ(0, ajastub::card().streamPid);
    EXPECT_EQ(0, AjaKona(false).initialize());
}

TEST_F(AjaKonaTest, VpidWords) {
    // 720p 60, v210: payload 0x84, progressive picture, rate 11, 4:2:2, 10 bits.
    EXPECT_EQ(0x844B0001u, getVPID(0x84, false, true, 11, 0, false, 0, 1));
    // Fields are masked to their widths; bit 31 is always set.
    EXPECT_EQ(0x80000000u | 0xF << 16 | 0xF << 8 | 3 << 6 | 3,
              getVPID(0, false, false, 0xFF, 0xFF, false, 0xFF, 0xFF));

    struct Case {
        unsigned row;
        KRdPixFormats layout;
        uint32_t linkA, linkB;
    } cases[] = {
        {7, KRd_V210, 0x844B0001, 0},
        {0, KRd_YUYV8, 0x81060000, 0},          // 525i: BT.601 SD payload
        {16, KRd_V210, 0x89C90001, 0},          // 3G level A
        {19, KRd_V210, 0x8A490001, 0x8A490041}, // 3G level B, links on channels 0, 1
        {22, KRd_DPX10, 0x87C24201, 0},         // 2K dual link, 2048 flag, 4:4:4
        {25, KRd_V210, 0x85C20081, 0},          // quad: channel field 2
        {2, KRd_ARGB, 0x85050600, 0},           // row's own link mode (single)
    };
    for (const Case& k : cases) {
        uint32_t o1[2] = {1, 1}, o2[2] = {1, 1}, o3[2] = {1, 1}, o4[2] = {1, 1};
        setVpidValues(o1, o2, o3, o4, skAjaFormats[k.row], k.layout);
        EXPECT_EQ(k.linkA, o1[0]) << "row " << k.row;
        EXPECT_EQ(k.linkB, o1[1]) << "row " << k.row;
        EXPECT_EQ(0u, o2[0] | o2[1] | o3[0] | o3[1] | o4[0] | o4[1]);
    }

    testsupport::ScopedCapture capture;
    KRdFormat odd = {"odd", 99, KRd_3GLevelB, 0};
    uint32_t o1[2], o2[2], o3[2], o4[2];
    setVpidValues(o1, o2, o3, o4, odd, KRd_ARGB);
    EXPECT_EQ(0x80000600u, o1[0]);
    EXPECT_EQ(0x80000640u, o1[1]);
    auto lines = capture.out->take();
    ASSERT_EQ(1u, lines.size());
    EXPECT_EQ("Minutiae: Warning: Unmatched format '99'\n", lines[0]);
}

TEST_F(AjaKonaTest, Routes720pYCbCrWithHdmi) {
    std::string err;
    AjaStubCard c = program(7, KRd_V210, &err);
    Routing expected = {{NTV2_XptSDIOut1Input, 8},
                        {NTV2_XptSDIOut2Input, 8},
                        {NTV2_XptSDIOut3Input, 8},
                        {NTV2_XptSDIOut4Input, 8},
                        {NTV2_XptHDMIOutInput, 8}};
    EXPECT_EQ(expected, c.routing);
    EXPECT_EQ(NTV2_FORMAT_720p_6000, c.videoFormat[0]);
    for (int ch = 0; ch < 4; ++ch)
        EXPECT_EQ(NTV2_FBF_10BIT_YCBCR, c.frameBufferFormat[ch]);
    EXPECT_FALSE(c.dualLinkOutput);
    EXPECT_FALSE(c.sdi3G[2] || c.sdi3G[3] || c.sdi3Gb[2] || c.sdi3Gb[3]);
    EXPECT_EQ(NTV2_REGWRITE_SYNCTOFIELD, c.writeMode[0]);
    EXPECT_EQ(0x844B0001u, c.vpid[0][0]);
    EXPECT_EQ(0u, c.vpid[0][1]);
    EXPECT_EQ(NTV2_HDMIRangeFull, c.hdmi.inputRange);
    EXPECT_EQ(NTV2_HDMIColorSpaceYCbCr, c.hdmi.colorSpace);
    EXPECT_EQ(NTV2_LHIHDMIColorSpaceYCbCr, c.hdmi.lhiColorSpace);
    EXPECT_EQ(NTV2_HDMI10Bit, c.hdmi.bitDepth);
    EXPECT_EQ(NTV2_STANDARD_720, c.hdmi.standard);
    EXPECT_EQ(NTV2_FRAMERATE_6000, c.hdmi.rate);
    EXPECT_EQ("setVideoFormat: SetHDMIInputRange(NTV2_HDMIRangeFull) ok\n"
              "setVideoFormat: SetHDMIOutRange(NTV2_HDMIRangeFull) ok\n"
              "setVideoFormat: SetHDMIOutColorSpace(NTV2_HDMIColorSpaceYCbCr) ok\n"
              "setVideoFormat: SetLHIHDMIOutColorSpace(NTV2_LHIHDMIColorSpaceYCbCr) ok\n"
              "setVideoFormat: SetHDMIOutBitDepth(tenBits?NTV2_HDMI10Bit:NTV2_HDMI8Bit) ok\n"
              "setVideoFormat: SetHDMIOutVideoStandard(vidstd) ok\n"
              "setVideoFormat: SetHDMIOutVideoFPS(frate) ok\n",
              err);
}

TEST_F(AjaKonaTest, Routes1080iRgbThroughDualLinkAndCsc) {
    AjaStubCard c = ajastub::card();
    c.faults.hdmi = true;
    ajastub::setCard(c);
    std::string err;
    c = program(2, KRd_ARGB, &err);
    Routing expected = {{NTV2_XptDualLinkOut1Input, 136}, {NTV2_XptSDIOut1Input, 11},
                        {NTV2_XptSDIOut2Input, 38},       {NTV2_XptSDIOut3Input, 11},
                        {NTV2_XptSDIOut4Input, 38},       {NTV2_XptCSC1VidInput, 136},
                        {NTV2_XptHDMIOutInput, 5}};
    EXPECT_EQ(expected, c.routing);
    EXPECT_TRUE(c.dualLinkOutput);
    EXPECT_EQ(0x87u, c.vpid[0][0] >> 24); // the route made it dual link
    EXPECT_EQ(NTV2_REGWRITE_SYNCTOFRAME, c.writeMode[0]);
    // RGB order: output range first; every result reported, failures too.
    EXPECT_EQ(0u, err.find("setVideoFormat: SetHDMIOutRange(NTV2_HDMIRangeFull) failed\n"
                           "setVideoFormat: SetHDMIInputRange(NTV2_HDMIRangeFull) failed\n"
                           "setVideoFormat: SetHDMIOutColorSpace(NTV2_HDMIColorSpaceRGB) failed\n"
                           "setVideoFormat: SetLHIHDMIOutColorSpace(NTV2_LHIHDMIColorSpaceRGB) "
                           "failed\n"
                           "setVideoFormat: SetHDMIOutBitDepth(tenBits?NTV2_HDMI10Bit:"
                           "NTV2_HDMI8Bit) failed\n"));
    EXPECT_EQ(7u, c.hdmi.calls);
}

TEST_F(AjaKonaTest, Routes3GbQuadAnd2K) {
    std::string err;
    AjaStubCard c = program(19, KRd_V210, &err);
    EXPECT_EQ(8u, c.routing.size());
    for (const auto& r : c.routing)
        EXPECT_EQ(8u, r.second);
    EXPECT_TRUE(c.sdi3G[2] && c.sdi3G[3] && c.sdi3Gb[2] && c.sdi3Gb[3]);
    EXPECT_FALSE(c.sdi3G[0] || c.sdi3G[1]); // only outputs 3 and 4 are switched
    EXPECT_TRUE(c.dualLinkOutput);
    EXPECT_EQ(0x8Au, c.vpid[0][0] >> 24);
    EXPECT_EQ(c.vpid[0][0] | 1u << 6, c.vpid[0][1]);
    EXPECT_EQ("", err); // no HDMI on this row

    ajastub::resetCard();
    c = program(25, KRd_V210);
    Routing quad = {{NTV2_XptSDIOut1Input, 8},
                    {NTV2_XptSDIOut2Input, 15},
                    {NTV2_XptSDIOut3Input, 36},
                    {NTV2_XptSDIOut4Input, 37}};
    EXPECT_EQ(quad, c.routing);
    EXPECT_EQ(2u, c.vpid[0][0] >> 6 & 3);

    ajastub::resetCard();
    c = program(25, KRd_ABGR);
    EXPECT_EQ(12u, c.routing.size());
    EXPECT_EQ(165u, c.routing[NTV2_XptDualLinkOut4Input]);
    EXPECT_EQ(57u, c.routing[NTV2_XptSDIOut4InputDS2]);
    EXPECT_TRUE(c.dualLinkOutput);

    ajastub::resetCard();
    c = program(22, KRd_V210);
    EXPECT_TRUE(c.sdi2Kx1080[2] && c.sdi2Kx1080[3]);
    EXPECT_NE(0u, c.vpid[0][0] & 1u << 14);
}

TEST_F(AjaKonaTest, RefusedRouteEntryEndsTheTable) {
    AjaStubCard c = ajastub::card();
    c.faults.routerCapacity = 3;
    ajastub::setCard(c);
    c = program(7, KRd_V210);
    Routing expected = {
        {NTV2_XptHDMIOutInput, 8}, {NTV2_XptSDIOut1Input, 8}, {NTV2_XptSDIOut2Input, 8}};
    EXPECT_EQ(expected, c.routing);
}

TEST_F(AjaKonaTest, PassiveModeSetsFormatWriteModeAndVpidOnly) {
    AjaStubCard before = ajastub::card();
    before.routing[NTV2_XptSDIOut1Input] = 99; // someone else's routing
    ajastub::setCard(before);
    AjaKona kona(true);
    ASSERT_EQ(0, kona.initialize());
    CaptureStderr();
    kona.setVideoFormat(KRd_ARGB, skAjaFormats[2]);
    EXPECT_EQ("", GetCapturedStderr());
    AjaStubCard c = ajastub::card();
    EXPECT_EQ(before.routing, c.routing);
    EXPECT_EQ(0u, c.routeApplies);
    EXPECT_EQ(0u, c.hdmi.calls);
    EXPECT_FALSE(c.dualLinkOutput);
    EXPECT_EQ(NTV2_FORMAT_1080i_5000, c.videoFormat[0]);
    EXPECT_EQ(NTV2_FBF_ARGB, c.frameBufferFormat[3]);
    EXPECT_EQ(NTV2_REGWRITE_SYNCTOFRAME, c.writeMode[0]);
    EXPECT_EQ(0x85u, c.vpid[0][0] >> 24); // the row's single link: no route changed it

    KRdPixFormats layout = KRd_V210;
    unsigned vf = 0;
    EXPECT_TRUE(kona.getVideoFormat(layout, vf));
    EXPECT_EQ(KRd_ARGB, layout);
    EXPECT_EQ(unsigned(NTV2_FORMAT_1080i_5000), vf);
}

// The simulated card refuses a route and a frame that a card would refuse.
TEST_F(AjaKonaTest, StandInRefusesWhatACardCannotTake) {
    struct Route {
        NTV2InputCrosspointID input;
        NTV2OutputCrosspointID crosspoint;
        bool taken;
    } routes[] = {
        {NTV2_XptSDIOut1Input, NTV2_XptFrameBuffer1YUV, true},
        {NTV2_XptSDIOut2InputDS2, NTV2_XptDuallinkOut2DS2, true},
        {NTV2_XptSDIOut3Input, NTV2_XptFrameBuffer1RGB, false}, // SDI carries no RGB frame buffer
        {NTV2_XptDualLinkOut1Input, NTV2_XptFrameBuffer2RGB, true},
        {NTV2_XptDualLinkOut1Input, NTV2_XptFrameBuffer1YUV, false},
        {NTV2_XptHDMIOutInput, NTV2_XptCSC1VidYUV, true},
        {NTV2_XptHDMIOutInput, NTV2_XptFrameBuffer1RGB, false},
        {NTV2_XptCSC1VidInput, NTV2_XptFrameBuffer1RGB, true},
        {NTV2_XptCSC1VidInput, NTV2_XptDuallinkOut, false},
        {NTV2_XptSDIOut4Input, NTV2_XptBlack, true},
        {NTV2_XptSDIOut1Input, static_cast<NTV2OutputCrosspointID>(99), false}, // no such source
        {NTV2_INPUT_CROSSPOINT_INVALID, NTV2_XptBlack, false},
    };
    CNTV2Card card;
    ASSERT_TRUE(card.Open(0));
    for (const Route& r : routes) {
        ajastub::resetCard();
        CNTV2SignalRouter router;
        NTV2InputSelectEntry e;
        e.input = r.input;
        EXPECT_EQ(r.taken, router.addWithValue(e, r.crosspoint)) << r.input << " " << r.crosspoint;
        EXPECT_EQ(r.taken, card.Connect(r.input, r.crosspoint)) << r.input << " " << r.crosspoint;
        EXPECT_EQ(r.taken ? 1u : 0u, ajastub::card().routing.size());
    }

    // One whole frame of the card's format and layout, nothing else.
    struct Dma {
        NTV2VideoFormat vf;
        NTV2FrameBufferFormat fbf;
        ULWord bytes;
        bool taken;
    } dmas[] = {
        {NTV2_FORMAT_720p_6000, NTV2_FBF_10BIT_YCBCR, 3456 * 720, true},
        {NTV2_FORMAT_720p_6000, NTV2_FBF_10BIT_YCBCR, 3456 * 720 - 4, false},
        {NTV2_FORMAT_720p_6000, NTV2_FBF_ARGB, 3456 * 720, false},
        {NTV2_FORMAT_525_5994, NTV2_FBF_24BIT_BGR, 2160 * 486, true},
        {NTV2_FORMAT_4x2048x1080p_2500, NTV2_FBF_ABGR, 16384 * 2160, true},
        {NTV2_FORMAT_1080i_5000, NTV2_FBF_NUMFRAMEBUFFERFORMATS, 0, false},
        {NTV2_FORMAT_UNKNOWN, NTV2_FBF_8BIT_YCBCR, 0, false},
    };
    std::vector<ULWord> buffer(16384 * 2160 / 4);
    for (const Dma& d : dmas) {
        ajastub::resetCard();
        AjaStubCard c = ajastub::card();
        c.videoFormat[0] = d.vf;
        c.frameBufferFormat[0] = d.fbf;
        ajastub::setCard(c);
        EXPECT_EQ(d.taken, card.DmaWriteFrame(NTV2_DMA_FIRST_AVAILABLE, 3, buffer.data(), d.bytes))
            << d.vf << " " << d.fbf << " " << d.bytes;
        EXPECT_EQ(d.taken ? d.bytes : 0u, ajastub::frame(3).size());
    }
}

// A layout outside the table has no frame-buffer format to give the card:
// refused, reported, and the card left as it was.
TEST_F(AjaKonaTest, LayoutOutsideTheTableIsNotProgrammed) {
    for (bool passive : {true, false}) {
        ajastub::resetCard();
        AjaKona kona(passive);
        ASSERT_EQ(0, kona.initialize());
        const AjaStubCard before = ajastub::card();
        testsupport::ScopedCapture capture;
        EXPECT_FALSE(kona.setVideoFormat(KRd_Unsupported, skAjaFormats[2]));
        const AjaStubCard after = ajastub::card();
        EXPECT_EQ(before.videoFormat[0], after.videoFormat[0]);
        EXPECT_EQ(before.frameBufferFormat[0], after.frameBufferFormat[0]);
        EXPECT_EQ(before.routeApplies, after.routeApplies);
        EXPECT_EQ(before.vpid[0][0], after.vpid[0][0]);
        auto lines = capture.out->take();
        ASSERT_EQ(1u, lines.size());
        EXPECT_EQ(0u, lines[0].find("Warning: ")) << lines[0];
    }
}

TEST_F(AjaKonaTest, RowBytesAndFormatTable) {
    AjaKona kona(true);
    EXPECT_EQ(5120u, kona.rowBytesForFormat(KRd_V210, 1920));
    EXPECT_EQ(3456u, kona.rowBytesForFormat(KRd_V210, 1280));
    EXPECT_EQ(7680u, kona.rowBytesForFormat(KRd_ARGB, 1920));
    EXPECT_EQ(5760u, kona.rowBytesForFormat(KRd_RGB24, 1920));
    EXPECT_EQ(3840u, kona.rowBytesForFormat(KRd_UYVY8, 1920));
    EXPECT_EQ(0u, kona.rowBytesForFormat(KRd_Unsupported, 1920));
    EXPECT_EQ(0u, kona.rowBytesForFormat(static_cast<KRdPixFormats>(12), 1920));

    EXPECT_STREQ("525 59.94 (480i)", skAjaFormats[0].name);
    EXPECT_STREQ("720p 60.00", skAjaFormats[7].name);
    EXPECT_STREQ("4x1920x1080p_25.00", skAjaFormats[27].name);
    EXPECT_STREQ("4x2048x1080p 25.00", skAjaFormats[30].name);
    EXPECT_EQ(skAjaFormats[13].videoFormat, skAjaFormats[19].videoFormat);
    EXPECT_EQ(KRd_DualLink, skAjaFormats[13].linkMode);
    EXPECT_EQ(KRd_3GLevelB, skAjaFormats[19].linkMode);
}

} // namespace
