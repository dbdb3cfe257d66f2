// The DeckLink back-end against the stand-in card of sdk/decklinkstub.
#include "BmdRaster.h"
#include "AjaStubControl.h"
#include "ArgSupport.h"
#include "DeckLinkStubCard.h"
#include "KonaRaster.h"
#include "MtCore.h"
#include "QiCLocale.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace stub = decklinkstub;
using testsupport::ScopedCapture;

namespace {

const BMDDisplayMode kHi50 = bmdFourCC('H', 'i', '5', '0');
const BMDDisplayMode kHp60 = bmdFourCC('h', 'p', '6', '0');
const BMDDisplayMode kPal = bmdFourCC('p', 'a', 'l', ' ');

bool traced(ScopedCapture& capture, const std::string& line) {
    std::vector<std::string> lines = capture.out->take();
    return std::find(lines.begin(), lines.end(), line) != lines.end();
}

class BmdRasterTest : public ::testing::Test {
protected:
    void SetUp() override {
        unsetenv("KB_DECKLINK_STUB");
        stub::reset();
        stub::keepShownFrames(true);
    }
    void TearDown() override {
        stub::keepShownFrames(false);
        unsetenv("KB_DECKLINK_STUB");
        // Every interface the back-end was handed has been given back.
        EXPECT_EQ(stub::liveObjects(), 0);
    }
    std::unique_ptr<BmdRaster> started(bool passive) {
        auto raster = std::make_unique<BmdRaster>(passive);
        EXPECT_TRUE(raster->init());
        return raster;
    }
    std::vector<std::string> formatNames(BmdRaster& raster, int& current) {
        int count = -1;
        char** names = nullptr;
        raster.getSupportedFormats(count, current, names);
        std::vector<std::string> out;
        for (int i = 0; i < count; ++i) {
            out.push_back(names[i]);
            std::free(names[i]);
        }
        EXPECT_EQ(names[count], nullptr);
        std::free(names);
        return out;
    }
    ScopedCapture capture;
};

TEST_F(BmdRasterTest, PassiveStartListsModesAndEnablesNothing) {
    auto raster = started(true);
    EXPECT_TRUE(traced(capture, "Minutiae: BmdRaster::init: (passive 1)\n"));
    EXPECT_EQ(raster->getWidth(), 1280);
    EXPECT_EQ(raster->getHeight(), 720);
    EXPECT_EQ(raster->bits, 10);
    EXPECT_EQ(raster->getOutputPixelFormat(), QiImageCoder::YCbCr_10);
    EXPECT_EQ(raster->coder.getColorMatrix(), QiImageCoder::Rec709);
    EXPECT_EQ(raster->getBlackLevel(), 64);
    EXPECT_EQ(raster->getWhiteLevel(), 940);
    EXPECT_FALSE(stub::outputEnabled());
    EXPECT_TRUE(stub::hasCallback());

    int current = -1;
    std::vector<std::string> names = formatNames(*raster, current);
    // Every mode once, in the device's order, "HD 720p 60" as "720p 59.94".
    std::vector<std::string> expected;
    for (const stub::Mode& m : stub::defaultModes())
        expected.push_back(m.name == "HD 720p 60" ? "720p 59.94" : m.name);
    EXPECT_EQ(names, expected);
    EXPECT_EQ(names.size(), 27u); // SD to UHD
    EXPECT_EQ(current, 5);        // the configured default, HD 1080i 50
    // Before the first mode is enabled the configured one is reported.
    EXPECT_STREQ(raster->getCurrentFormat(), "HD 1080i 50");
    EXPECT_STREQ(raster->getVersion(), "10.8.3");
    EXPECT_STREQ(raster->getSerial(), "serial number");
    uint8_t* edid = nullptr;
    unsigned long length = 0;
    ASSERT_TRUE(raster->getEdid(edid, length));
    EXPECT_EQ(length, 4u);
    EXPECT_EQ(edid[0], 4);
    EXPECT_EQ(edid[3], 1);
    std::free(edid);
}

TEST_F(BmdRasterTest, ActiveStartEnablesTheDefaultMode) {
    auto raster = started(false);
    BMDDisplayMode mode = 0;
    EXPECT_TRUE(stub::outputEnabled(&mode));
    EXPECT_EQ(mode, kHi50);
    EXPECT_EQ(raster->getWidth(), 1920);
    EXPECT_EQ(raster->getHeight(), 1080);
    EXPECT_EQ(raster->output->framesPerSecond, 25);
    EXPECT_STREQ(raster->getCurrentFormat(), "HD 1080i 50");
    EXPECT_TRUE(IsDeckLinkAPIPresent());

    // The output callback: no interfaces, no counting; a completed frame
    // schedules the next one.
    void* object = &object;
    EXPECT_EQ(raster->output->QueryInterface(IUnknownUUID, &object), E_NOINTERFACE);
    EXPECT_EQ(object, nullptr);
    EXPECT_EQ(raster->output->AddRef(), 1u);
    EXPECT_EQ(raster->output->Release(), 1u);
    EXPECT_EQ(raster->output->ScheduledFrameCompleted(nullptr, bmdOutputFrameCompleted), S_OK);
    EXPECT_EQ(raster->output->scheduledFrames, 1);

    // The raster gone, the output it enabled is disabled.
    raster.reset();
    EXPECT_FALSE(stub::outputEnabled());
}

TEST_F(BmdRasterTest, The720p60ModeTravelsAs720p5994) {
    auto raster = started(true);
    EXPECT_TRUE(raster->setRasterFormat("720p 59.94"));
    BMDDisplayMode mode = 0;
    EXPECT_TRUE(stub::outputEnabled(&mode));
    EXPECT_EQ(mode, kHp60);
    // Reported by the name it is listed under, and only that one.
    EXPECT_STREQ(raster->getCurrentFormat(), "720p 59.94");
    int current = 0;
    std::vector<std::string> names = formatNames(*raster, current);
    EXPECT_EQ(std::count(names.begin(), names.end(), "720p 59.94"), 1);
    EXPECT_EQ(std::count(names.begin(), names.end(), "HD 720p 60"), 0);
    EXPECT_TRUE(traced(
        capture, "Minutiae: setRasterFormat: new format is (4)[" +
                     std::string(qi::formatC("%p", static_cast<void*>(raster->output->modes[4]))) +
                     "][HD 720p 60]\n"));
    // Names match exactly and case-sensitively; no name is no match.
    EXPECT_FALSE(raster->setRasterFormat("hd 1080i 50"));
    EXPECT_FALSE(raster->setRasterFormat(static_cast<const char*>(nullptr)));
    EXPECT_STREQ(raster->getCurrentFormat(), "720p 59.94");
    // The device's own name still selects the mode.
    ASSERT_TRUE(raster->setRasterFormat("PAL"));
    EXPECT_TRUE(raster->setRasterFormat("HD 720p 60"));
    EXPECT_STREQ(raster->getCurrentFormat(), "720p 59.94");
}

// Every SD mode (576 lines or fewer; NTSC has 486) takes Rec601, the others Rec709.
TEST_F(BmdRasterTest, ModeSetsMatrixSizeAndRate) {
    struct {
        const char* name;
        int width, height;
        QiImageCoder::ColorMatrix matrix;
        int64_t fps; // rounded up
    } const modes[] = {
        {"NTSC", 720, 486, QiImageCoder::Rec601, 30},
        {"PAL", 720, 576, QiImageCoder::Rec601, 25},
        {"HD 720p 59.94", 1280, 720, QiImageCoder::Rec709, 60},
        {"HD 1080i 59.94", 1920, 1080, QiImageCoder::Rec709, 30},
        {"2K DCI 23.98", 2048, 1080, QiImageCoder::Rec709, 24},
        {"UHD 2160p 60", 3840, 2160, QiImageCoder::Rec709, 60},
    };
    auto raster = started(true);
    for (const auto& m : modes) {
        SCOPED_TRACE(m.name);
        ASSERT_TRUE(raster->setRasterFormat(m.name));
        EXPECT_EQ(raster->getWidth(), m.width);
        EXPECT_EQ(raster->getHeight(), m.height);
        EXPECT_EQ(raster->coder.getColorMatrix(), m.matrix);
        EXPECT_EQ(raster->output->framesPerSecond, m.fps);
        EXPECT_STREQ(raster->getCurrentFormat(), m.name);
    }
}

// A mode change that fails leaves the raster exactly as it was, and the card
// on the mode it ran, showing the picture it showed, when it can: a mode
// enabled again shows nothing until it is given a frame. A later request for
// the same mode tries again.
TEST_F(BmdRasterTest, FailedModeChangeLeavesTheRasterAsItWas) {
    struct {
        const char* what;
        BMDDisplayMode refused;
        unsigned failures;
        const char* warning;
        bool cardKeepsItsMode;
        bool enabledAgain; // the old mode, with the old frame shown on it
    } const cases[] = {
        {"PAL refused", kPal, 0, "Warning: Failed to enable video output\n", true, true},
        {"every enable fails", 0, stub::FailEnable, "Warning: Failed to enable video output\n",
         false, false},
        {"no frame for PAL", 0, stub::FailCreateFrame, "Warning: Couldn't Create VideoFrame\n",
         true, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        stub::reset();
        auto raster = started(false); // HD 1080i 50
        raster->coder.setColorMatrix(QiImageCoder::Rec2020);
        raster->clear(raster->makeGrey(512));
        ASSERT_TRUE(raster->render(0, true));
        const std::vector<uint8_t> picture = stub::shownFrames().back().bytes;
        const unsigned shows = stub::showCount(), enables = stub::enableCount();
        const uint8_t* bytes = raster->output->frameBytes;
        stub::setRefusedMode(c.refused);
        stub::setFailures(c.failures);
        EXPECT_FALSE(raster->setRasterFormat("PAL"));
        EXPECT_TRUE(traced(capture, c.warning));
        EXPECT_EQ(raster->getWidth(), 1920);
        EXPECT_EQ(raster->getHeight(), 1080);
        EXPECT_EQ(raster->coder.getColorMatrix(), QiImageCoder::Rec2020);
        EXPECT_EQ(raster->output->framesPerSecond, 25);
        EXPECT_EQ(raster->output->rowBytes, 5120u);
        EXPECT_EQ(raster->output->frameBytes, bytes);
        EXPECT_EQ(raster->output->currentModeIndex, 5u);
        EXPECT_STREQ(raster->getCurrentFormat(), "HD 1080i 50");
        BMDDisplayMode mode = 0;
        EXPECT_EQ(stub::outputEnabled(&mode), c.cardKeepsItsMode);
        EXPECT_EQ(stub::enableCount(), enables + (c.enabledAgain ? 1 : 0));
        EXPECT_EQ(stub::showCount(), shows + (c.enabledAgain ? 1 : 0));
        if (c.cardKeepsItsMode) {
            EXPECT_EQ(mode, kHi50);
            EXPECT_EQ(stub::shownFrames().back().bytes, picture);
        }
        // The frame is on screen only where the card kept or took it again.
        EXPECT_EQ(raster->p_showFrame(0), c.cardKeepsItsMode);
        // The next frame is shown, or its refusal is reported.
        EXPECT_EQ(raster->render(0, true), c.cardKeepsItsMode);
        if (c.cardKeepsItsMode) {
            std::vector<stub::Frame> shown = stub::shownFrames();
            ASSERT_FALSE(shown.empty());
            EXPECT_EQ(shown.back().mode, kHi50);
        } else {
            EXPECT_TRUE(traced(capture, "Warning: render: the card refused the frame\n"));
        }
        stub::setRefusedMode(0);
        stub::setFailures(0);
        EXPECT_TRUE(raster->setRasterFormat("PAL"));
        EXPECT_TRUE(stub::outputEnabled(&mode));
        EXPECT_EQ(mode, kPal);
        EXPECT_EQ(raster->getHeight(), 576);
        EXPECT_TRUE(raster->render(0, true));
    }
}

// A mode refused after a new pixel format was taken for it: the old mode
// comes back showing the picture it had, converted into the new format, never
// the new format's frame as it was made.
TEST_F(BmdRasterTest, RefusedModeAfterANewPixelFormatShowsThePictureAgain) {
    auto raster = started(false); // HD 1080i 50
    raster->setOutputPixelFormat(QiImageCoder::RGB_10);
    raster->clear(raster->makeGrey(700));
    raster->blt(uint64_t(900) << 20 | 100 << 10 | 300, 100, 100, 400, 300);
    ASSERT_TRUE(raster->render(0, true));
    ASSERT_TRUE(raster->setOutputPixelFormat(QiImageCoder::YCbCr_10));
    stub::setRefusedMode(kPal);
    const unsigned shows = stub::showCount();
    EXPECT_FALSE(raster->setRasterFormat("PAL"));
    ASSERT_EQ(stub::showCount(), shows + 1);
    const stub::Frame after = stub::shownFrames().back();
    EXPECT_EQ(after.mode, kHi50);
    EXPECT_EQ(after.format, bmdFormat10BitYUV);
    // What a render of the same picture in the new format shows.
    ASSERT_TRUE(raster->render(0, true));
    EXPECT_EQ(after.bytes, stub::shownFrames().back().bytes);
    stub::setRefusedMode(0);
}

// A frame the card does not take is a failure, never success.
TEST_F(BmdRasterTest, RefusedFrameIsAFailure) {
    struct {
        const char* what;
        unsigned failures;
        bool disable;
    } const cases[] = {
        {"display fails", stub::FailDisplay, false},
        {"output disabled", 0, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        auto raster = started(false);
        raster->setFrames(2);
        ASSERT_TRUE(raster->render(0, true));
        stub::setFailures(c.failures);
        if (c.disable) raster->output->deckLinkOutput->DisableVideoOutput();
        unsigned shows = stub::showCount();
        EXPECT_FALSE(raster->render(1, true));
        EXPECT_TRUE(traced(capture, "Warning: render: the card refused the frame\n"));
        EXPECT_FALSE(raster->p_showFrame(0));
        EXPECT_TRUE(traced(capture, "Warning: p_showFrame: the card refused the frame\n"));
        EXPECT_EQ(stub::showCount(), shows);
        stub::setFailures(0);
    }
}

TEST_F(BmdRasterTest, DegenerateModesDoNotCrash) {
    // A mode without a frame duration, an empty name and a non-ASCII one.
    stub::setModes({{bmdFourCC('z', 'e', 'r', 'o'), "", 640, 480, 0, 0},
                    {bmdFourCC('u', 't', 'f', '8'), "Modus \xc3\xa9", 640, 480, 1000, 30000}});
    stub::setDefaultMode(bmdFourCC('z', 'e', 'r', 'o'));
    auto raster = started(false);
    EXPECT_EQ(raster->output->framesPerSecond, 0);
    EXPECT_STREQ(raster->getCurrentFormat(), "");
    EXPECT_EQ(raster->coder.getColorMatrix(), QiImageCoder::Rec601); // 480 lines
    EXPECT_TRUE(raster->setRasterFormat("Modus \xc3\xa9"));
    EXPECT_STREQ(raster->getCurrentFormat(), "Modus \xc3\xa9");
    EXPECT_EQ(CFStringCopyUTF8String(nullptr), nullptr);

    // Active start on a device without modes enables nothing.
    stub::setModes({});
    BmdRaster empty(false);
    EXPECT_TRUE(empty.init());
    EXPECT_FALSE(empty.setRasterFormat(0u));
    EXPECT_EQ(empty.getCurrentFormat(), nullptr);
    EXPECT_EQ(empty.getSupportedPixelFormats(), 0u);
}

TEST_F(BmdRasterTest, RowBytesPerPixelFormat) {
    struct {
        int width;
        uint32_t argb, r210, uyvy, v210;
    } const rows[] = {{1920, 7680, 7680, 3840, 5120},
                      {1280, 5120, 5120, 2560, 3456},
                      {720, 2880, 3072, 1440, 1920}};
    for (const auto& r : rows) {
        BMDPixelFormat f = 0;
        EXPECT_EQ(BmdRaster::rowBytesFor(QiImageCoder::RGB_8, r.width, &f), r.argb);
        EXPECT_EQ(f, 32u);
        EXPECT_EQ(BmdRaster::rowBytesFor(QiImageCoder::RGB_10, r.width, &f), r.r210);
        EXPECT_EQ(f, 0x72323130u); // 'r210', first character most significant
        EXPECT_EQ(BmdRaster::rowBytesFor(QiImageCoder::YCbCr_8, r.width, &f), r.uyvy);
        EXPECT_EQ(f, 0x32767579u); // '2vuy'
        EXPECT_EQ(BmdRaster::rowBytesFor(QiImageCoder::YCbCr_10, r.width, &f), r.v210);
        EXPECT_EQ(f, 0x76323130u); // 'v210'
        EXPECT_EQ(BmdRaster::rowBytesFor(static_cast<QiImageCoder::PixelFormat>(2), r.width, &f),
                  0u);
    }
}

TEST_F(BmdRasterTest, UnhandledPixelFormatKeepsTheSize) {
    auto raster = started(false);
    const QiImageCoder::PixelFormat before = raster->getOutputPixelFormat();
    EXPECT_FALSE(raster->setOutputPixelFormat(static_cast<QiImageCoder::PixelFormat>(2)));
    std::vector<std::string> lines = capture.out->take();
    EXPECT_NE(std::find(lines.begin(), lines.end(),
                        "Minutiae: resize: pixel format 2 not handled, expect problems\n"),
              lines.end());
    EXPECT_NE(std::find(lines.begin(), lines.end(), "Warning: Couldn't Create VideoFrame\n"),
              lines.end());
    EXPECT_EQ(raster->getWidth(), 1920);
    EXPECT_EQ(raster->getHeight(), 1080);
    // Refused: the raster keeps its layout and its frame.
    EXPECT_EQ(raster->getOutputPixelFormat(), before);
    EXPECT_TRUE(raster->render(0, true));
    EXPECT_TRUE(raster->p_showFrame(0));
}

TEST_F(BmdRasterTest, FailedFrameCreationLeavesNoStalePointer) {
    auto raster = started(false);
    stub::setFailures(stub::FailCreateFrame);
    // A layout without a frame is refused: the raster keeps its layout and frame.
    EXPECT_FALSE(raster->setOutputPixelFormat(QiImageCoder::RGB_8));
    EXPECT_NE(raster->getOutputPixelFormat(), QiImageCoder::RGB_8);
    EXPECT_TRUE(raster->render(0, false));
    EXPECT_TRUE(raster->p_showFrame(0));
    EXPECT_FALSE(raster->resize(raster->getWidth(), raster->getHeight()));
    EXPECT_EQ(raster->output->frameBytes, nullptr);
    // The old frame's memory is gone: neither path may write into it.
    EXPECT_FALSE(raster->p_showFrame(0));
    EXPECT_FALSE(raster->render(0, false));
    // A ring emptied by setFrames(0) is not read past its end.
    stub::setFailures(0);
    ASSERT_TRUE(raster->setOutputPixelFormat(QiImageCoder::YCbCr_8));
    raster->setFrames(0);
    EXPECT_FALSE(raster->p_showFrame(0));
    raster->setFrames(2);
    unsigned char* data = nullptr;
    unsigned bytes = 0;
    EXPECT_TRUE(raster->frameData(data, bytes, 1));
    EXPECT_EQ(bytes, 3840u * 1080u);
    // Nothing renders into the store, so what it hands on must not be stale memory.
    EXPECT_TRUE(std::all_of(data, data + bytes, [](unsigned char b) { return b == 0; }));
    EXPECT_FALSE(raster->frameData(data, bytes, 2));
}

TEST_F(BmdRasterTest, SupportedPixelFormatsFollowTheCard) {
    auto raster = started(false);
    EXPECT_EQ(raster->getSupportedPixelFormats(), 0x33u);
    stub::setPixelFormats({bmdFormat10BitYUV, bmdFormat8BitYUV});
    EXPECT_EQ(raster->getSupportedPixelFormats(), 0x30u);
}

// The stand-in card: pixel formats per mode, one enabled mode at a time.
TEST_F(BmdRasterTest, StandInCardIsShapedLikeARealOne) {
    struct {
        const char* mode;
        unsigned mask; // what the back-end finds
        bool rgb12;    // 12-bit RGB, which it never asks for
    } const modes[] = {
        {"NTSC", 0x33, false},        {"HD 1080p 60", 0x33, true},   {"2K DCI 25", 0x33, true},
        {"UHD 2160p 30", 0x33, true}, {"UHD 2160p 60", 0x31, false}, // no 10-bit RGB 4:4:4 at 60 Hz
    };
    auto raster = started(true);
    IDeckLinkOutput* out = raster->output->deckLinkOutput;
    for (const auto& m : modes) {
        SCOPED_TRACE(m.mode);
        ASSERT_TRUE(raster->setRasterFormat(m.mode));
        EXPECT_EQ(raster->getSupportedPixelFormats(), m.mask);
        BMDDisplayMode mode = 0;
        ASSERT_TRUE(stub::outputEnabled(&mode));
        BMDDisplayModeSupport support = bmdDisplayModeNotSupported;
        ASSERT_EQ(out->DoesSupportVideoMode(mode, bmdFormat12BitRGB, bmdVideoOutputFlagDefault,
                                            &support, nullptr),
                  S_OK);
        EXPECT_EQ(support == bmdDisplayModeSupported, m.rgb12);
        // A second enable while a mode is enabled is refused.
        EXPECT_NE(out->EnableVideoOutput(mode, bmdVideoOutputFlagDefault), S_OK);
    }
    // A layout the running mode cannot show is refused and the old one kept;
    // so is a mode that cannot show the layout in use.
    EXPECT_FALSE(raster->setOutputPixelFormat(QiImageCoder::RGB_10));
    EXPECT_EQ(raster->getOutputPixelFormat(), QiImageCoder::YCbCr_10);
    ASSERT_TRUE(raster->setRasterFormat("UHD 2160p 30"));
    ASSERT_TRUE(raster->setOutputPixelFormat(QiImageCoder::RGB_10));
    EXPECT_FALSE(raster->setRasterFormat("UHD 2160p 60"));
    EXPECT_STREQ(raster->getCurrentFormat(), "UHD 2160p 30");
    // Copies of the frames shown are kept only while a test asks for them.
    ASSERT_TRUE(raster->render(0, false));
    EXPECT_EQ(stub::shownFrames().size(), 1u);
    stub::keepShownFrames(false);
    EXPECT_TRUE(stub::shownFrames().empty());
    const unsigned shows = stub::showCount();
    ASSERT_TRUE(raster->render(0, false));
    EXPECT_EQ(stub::showCount(), shows + 1);
    EXPECT_TRUE(stub::shownFrames().empty());
}

TEST_F(BmdRasterTest, RerenderFollowsTheConfiguredMode) {
    auto raster = started(true);
    // While no mode runs there is no signal to drop: a configured mode the
    // card refuses is tried at each command until it comes up.
    stub::setRefusedMode(kHi50);
    for (int command = 0; command < 2; ++command) {
        EXPECT_FALSE(raster->rerenderP());
        EXPECT_TRUE(traced(capture, "Warning: Failed to enable video output\n"));
    }
    stub::setRefusedMode(0);
    EXPECT_TRUE(raster->rerenderP()); // index 5 after 0: output comes up
    EXPECT_TRUE(traced(capture, "Minutiae: rerenderP: newDefMode is Hi50\n"));
    EXPECT_TRUE(stub::outputEnabled());
    EXPECT_EQ(raster->getHeight(), 1080);
    // While the configuration stays, the running mode, the client's choice of
    // another one and the client's matrix all stand: nothing is enabled again.
    unsigned enables = stub::enableCount();
    EXPECT_FALSE(raster->rerenderP());
    ASSERT_TRUE(raster->setRasterFormat("HD 720p 50"));
    raster->coder.setColorMatrix(QiImageCoder::Rec2020);
    EXPECT_FALSE(raster->setRasterFormat("HD 720p 50")); // already running
    EXPECT_FALSE(raster->rerenderP());
    EXPECT_EQ(stub::enableCount(), enables + 1);
    EXPECT_STREQ(raster->getCurrentFormat(), "HD 720p 50");
    EXPECT_EQ(raster->coder.getColorMatrix(), QiImageCoder::Rec2020);

    // A new configuration is followed once.
    stub::setDefaultMode(kPal);
    EXPECT_TRUE(raster->rerenderP());
    EXPECT_EQ(raster->getHeight(), 576);
    EXPECT_EQ(raster->coder.getColorMatrix(), QiImageCoder::Rec601);
    EXPECT_FALSE(raster->rerenderP());
    EXPECT_EQ(stub::enableCount(), enables + 2);

    // A configured mode without a frame is tried again at each command,
    // without touching the output, and followed once the failure clears. One
    // the card refuses to enable brings the running mode back once and is
    // tried again only when the configuration changes.
    struct {
        const char* what;
        unsigned failures;
        BMDDisplayMode refused;
        bool retried;
    } const failing[] = {
        {"no frame", stub::FailCreateFrame, 0, true},
        {"mode refused", 0, kHi50, false},
    };
    for (const auto& f : failing) {
        SCOPED_TRACE(f.what);
        ASSERT_STREQ(raster->getCurrentFormat(), "PAL"); // configured
        stub::setDefaultMode(kHi50);
        stub::setFailures(f.failures);
        stub::setRefusedMode(f.refused);
        enables = stub::enableCount();
        for (int command = 0; command < 3; ++command)
            EXPECT_FALSE(raster->rerenderP());
        EXPECT_EQ(stub::enableCount(), enables + (f.retried ? 0 : 1));
        EXPECT_EQ(raster->getHeight(), 576);
        stub::setFailures(0);
        stub::setRefusedMode(0);
        EXPECT_EQ(raster->rerenderP(), f.retried);
        if (!f.retried) {
            stub::setDefaultMode(kPal); // the running mode: followed, nothing enabled
            EXPECT_FALSE(raster->rerenderP());
            stub::setDefaultMode(kHi50);
            EXPECT_TRUE(raster->rerenderP());
        }
        EXPECT_STREQ(raster->getCurrentFormat(), "HD 1080i 50");
        EXPECT_FALSE(raster->rerenderP());
        stub::setDefaultMode(kPal);
        EXPECT_TRUE(raster->rerenderP());
    }

    stub::setDefaultMode(bmdFourCC('n', 'o', 'n', 'e'));
    EXPECT_FALSE(raster->rerenderP());
    stub::setFailures(stub::FailDefaultMode);
    EXPECT_FALSE(raster->rerenderP());
    EXPECT_TRUE(traced(capture, "Minutiae: rerenderP: getDefMode failed (wtf)\n"));
}

// A refusal holds until the card is opened again: a mode recorded as refused
// before init is tried at the first command that configures it.
TEST_F(BmdRasterTest, OpeningTheCardForgetsARefusedMode) {
    BmdRaster raster(false);
    raster.output->modeRefused = true;
    raster.output->refusedMode = kPal;
    ASSERT_TRUE(raster.init()); // HD 1080i 50 runs
    stub::setDefaultMode(kPal);
    EXPECT_TRUE(raster.rerenderP());
    EXPECT_STREQ(raster.getCurrentFormat(), "PAL");
}

TEST_F(BmdRasterTest, StartFailsWithoutDriverCardOrInterfaces) {
    struct {
        const char* env;
        unsigned failures;
        const char* line;
    } const cases[] = {
        {"nodriver", 0, "Minutiae: This application requires the DeckLink drivers installed.\n"},
        {"nocard", 0, "Minutiae: No DeckLink PCI cards found\n"},
        {nullptr, stub::FailOutputInterface,
         "Minutiae: Could not get the IDeckLinkOutput interface\n"},
        {nullptr, stub::FailConfigurationInterface,
         "Minutiae: Could not get the IDeckLinkConfiguration interface\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.line);
        if (c.env)
            setenv("KB_DECKLINK_STUB", c.env, 1);
        else
            unsetenv("KB_DECKLINK_STUB");
        stub::setFailures(c.failures);
        BmdRaster raster(true);
        EXPECT_FALSE(raster.init());
        std::vector<std::string> lines = capture.out->take();
        EXPECT_NE(std::find(lines.begin(), lines.end(), c.line), lines.end());
        EXPECT_NE(std::find(lines.begin(), lines.end(), "Minutiae: BmdRaster::init: error\n"),
                  lines.end());
        EXPECT_EQ(raster.output, nullptr);
        // What the engine may still ask is answered without a device.
        EXPECT_FALSE(raster.rerenderP());
        EXPECT_FALSE(raster.render(0, true));
        EXPECT_FALSE(raster.setRasterFormat("PAL"));
        int count = 0, current = 0;
        char** names = nullptr;
        raster.getSupportedFormats(count, current, names);
        EXPECT_EQ(count, 1);
        std::free(names[0]);
        std::free(names);
    }
    // A missing callback is reported and start-up goes on.
    unsetenv("KB_DECKLINK_STUB");
    stub::setFailures(stub::FailCallback);
    BmdRaster raster(true);
    EXPECT_TRUE(raster.init());
    EXPECT_TRUE(traced(capture, "Minutiae: Couldn't set scheduled frame callback to this\n"));
}

// --- End to end: a known picture through the raster to the card's bytes ---

// Row y, column x: a colour that differs along both axes (10-bit codes).
void drawKnownImage(BmdRaster& raster) {
    for (int y = 0; y < raster.getHeight(); ++y)
        for (int x = 0; x < raster.getWidth(); ++x)
            raster.setPixel(x, y, (x * 7 + y) & 1023, (y * 3) & 1023, (x + 2 * y) & 1023);
}

stub::Frame renderAndTake(BmdRaster& raster, bool tenBit) {
    unsigned before = stub::showCount();
    EXPECT_TRUE(raster.render(0, tenBit));
    EXPECT_EQ(stub::showCount(), before + 1);
    std::vector<stub::Frame> shown = stub::shownFrames();
    return shown.empty() ? stub::Frame() : shown.back();
}

TEST_F(BmdRasterTest, ArgbFrameCarriesTheImage) {
    auto raster = started(false); // HD 1080i 50
    ASSERT_TRUE(raster->setOutputPixelFormat(QiImageCoder::RGB_8));
    drawKnownImage(*raster);
    stub::Frame f = renderAndTake(*raster, false);
    ASSERT_EQ(f.format, static_cast<BMDPixelFormat>(bmdFormat8BitARGB));
    ASSERT_EQ(f.rowBytes, 7680);
    EXPECT_EQ(f.mode, kHi50);
    for (int y : {0, 1, 539, 1079})
        for (int x : {0, 1, 960, 1919}) {
            const uint8_t* p = &f.bytes[static_cast<size_t>(y) * 7680 + x * 4];
            EXPECT_EQ(p[0], 255);
            EXPECT_EQ(p[1], ((x * 7 + y) & 1023) >> 2);
            EXPECT_EQ(p[2], ((y * 3) & 1023) >> 2);
            EXPECT_EQ(p[3], ((x + 2 * y) & 1023) >> 2);
        }
}

TEST_F(BmdRasterTest, R210RowsKeepTheirPaddedStride) {
    auto raster = started(true);
    ASSERT_TRUE(raster->setRasterFormat("PAL")); // 720 pixels: rows padded to 768
    ASSERT_TRUE(raster->setOutputPixelFormat(QiImageCoder::RGB_10));
    drawKnownImage(*raster);
    stub::Frame f = renderAndTake(*raster, false);
    ASSERT_EQ(f.rowBytes, 3072);
    ASSERT_EQ(f.bytes.size(), 3072u * 576u);
    for (int y : {0, 1, 300, 575}) {
        for (int x : {0, 359, 719}) {
            uint32_t r = (x * 7 + y) & 1023, g = (y * 3) & 1023, b = (x + 2 * y) & 1023;
            uint32_t word = 0xC0000000u | r << 20 | g << 10 | b;
            const uint8_t* p = &f.bytes[static_cast<size_t>(y) * 3072 + x * 4];
            // Stored big-endian.
            EXPECT_EQ(p[0], word >> 24) << "x " << x << " y " << y;
            EXPECT_EQ(p[1], (word >> 16) & 0xFF);
            EXPECT_EQ(p[2], (word >> 8) & 0xFF);
            EXPECT_EQ(p[3], word & 0xFF);
        }
        for (int pad = 2880; pad < 3072; ++pad)
            ASSERT_EQ(f.bytes[static_cast<size_t>(y) * 3072 + pad], 0);
    }
}

TEST_F(BmdRasterTest, YuvFramesCarryBlackAndWhite) {
    auto raster = started(false);
    ASSERT_TRUE(raster->setRasterFormat("HD 720p 50"));
    // Left half black (64), right half white (940), 10-bit video levels.
    for (int y = 0; y < 720; ++y)
        for (int x = 0; x < 1280; ++x) {
            int v = x < 640 ? 64 : 940;
            raster->setPixel(x, y, v, v, v);
        }

    ASSERT_TRUE(raster->setOutputPixelFormat(QiImageCoder::YCbCr_8));
    stub::Frame uyvy = renderAndTake(*raster, false);
    ASSERT_EQ(uyvy.rowBytes, 2560);
    const uint8_t black[4] = {128, 16, 128, 16}, white[4] = {128, 235, 128, 235};
    EXPECT_EQ(std::memcmp(&uyvy.bytes[719 * 2560], black, 4), 0);
    EXPECT_EQ(std::memcmp(&uyvy.bytes[719 * 2560 + 2556], white, 4), 0);

    ASSERT_TRUE(raster->setOutputPixelFormat(QiImageCoder::YCbCr_10));
    stub::Frame v210 = renderAndTake(*raster, true);
    ASSERT_EQ(v210.rowBytes, 3456);
    auto word = [&](int y, int i) {
        uint32_t w;
        std::memcpy(&w, &v210.bytes[static_cast<size_t>(y) * 3456 + i * 4], 4);
        return w;
    };
    // First group black: Cb0 | Y0 << 10 | Cr0 << 20 with Y 64, chroma 512.
    EXPECT_EQ(word(0, 0), 512u | 64u << 10 | 512u << 20);
    // Group of pixels 1278..1283 (the last pixel repeated), all white: words 852..855.
    EXPECT_EQ(word(719, 852), 512u | 940u << 10 | 512u << 20);
    EXPECT_EQ(word(719, 855), 940u | 512u << 10 | 940u << 20);
}

// --- Through the engine, as start-up sets it up: passive mode, the card's own mode ---

class BmdEngineTest : public BmdRasterTest {
protected:
    // The engine on a card configured for `mode`, after the first command.
    void start(BMDDisplayMode mode) {
        stub::setDefaultMode(mode);
        raster = started(true);
        core = std::make_unique<MtCore>(raster.get(), nullptr, testsupport::dataFolder().c_str());
        run({{"Pattern", "Colorbars"}});
    }
    void TearDown() override {
        core.reset();
        raster.reset();
        BmdRasterTest::TearDown();
    }
    // Queues the request and returns once it has been processed.
    void run(std::initializer_list<std::pair<const char*, const char*>> kv) {
        QiArgRetVal req;
        for (auto& p : kv)
            req.set(p.first, p.second);
        bool result = false;
        // False here means the command is already done (one waiter, engine running).
        core->waitForPattern(result, core->asyncSetGen(req));
    }
    // The settings that GetGenOptions reports, with the current "Pattern",
    // and the published format names.
    QiArgRetVal reported(std::vector<std::string>* formats = nullptr) {
        std::vector<QiArgRetVal> records;
        core->getGenOpts(records);
        if (records.size() != 14u) {
            ADD_FAILURE() << records.size() << " records";
            return QiArgRetVal();
        }
        QiArgRetVal settings = records[12];
        settings.set("Pattern", testsupport::text(records[13], "Pattern"));
        const QiArgRetVal& videoFormat = records[4];
        for (int i = 0; formats && i < std::stoi(testsupport::text(videoFormat, "nVal")); ++i)
            formats->push_back(
                testsupport::text(videoFormat, ("VideoFormat" + std::to_string(i)).c_str()));
        return settings;
    }
    // The last frame the card was given equals the raster coded with the
    // layout and matrix that the engine reports.
    void expectCardFollowsTheReport() {
        QiArgRetVal settings = reported();
        std::string layout = testsupport::text(settings, "OutputColor");
        std::string matrix = testsupport::text(settings, "ColorEncoding");
        SCOPED_TRACE(layout + " " + matrix);
        ASSERT_TRUE(layout == "YCbCr_8" || layout == "YCbCr_10");
        QiImageCoder ref(raster.get());
        ref.pixelFormat = layout == "YCbCr_8" ? QiImageCoder::YCbCr_8 : QiImageCoder::YCbCr_10;
        int m = 0;
        while (m < 6 &&
               matrix != QiImageCoder::colorMatrixName(static_cast<QiImageCoder::ColorMatrix>(m)))
            ++m;
        ASSERT_LT(m, 6);
        ref.setColorMatrix(static_cast<QiImageCoder::ColorMatrix>(m));
        std::vector<stub::Frame> shown = stub::shownFrames();
        ASSERT_FALSE(shown.empty());
        const stub::Frame& f = shown.back();
        ASSERT_EQ(f.width, raster->getWidth());
        ASSERT_EQ(f.height, raster->getHeight());
        std::vector<uint32_t> words((f.bytes.size() + 3) / 4);
        if (ref.pixelFormat == QiImageCoder::YCbCr_8) {
            EXPECT_EQ(f.format, static_cast<BMDPixelFormat>(bmdFormat8BitYUV));
            const uint8_t order[4] = {0, 1, 2, 3};
            ref.to_422_8(reinterpret_cast<uint16_t*>(words.data()), order);
        } else {
            EXPECT_EQ(f.format, static_cast<BMDPixelFormat>(bmdFormat10BitYUV));
            ref.to_v210(words.data(), false);
        }
        EXPECT_EQ(std::memcmp(words.data(), f.bytes.data(), f.bytes.size()), 0);
    }
    // Toggles through the published formats from the one that runs.
    void walkFormatsByToggle() {
        std::vector<std::string> formats;
        const std::string first = testsupport::text(reported(&formats), "VideoFormat");
        const auto at = std::find(formats.begin(), formats.end(), first);
        ASSERT_NE(at, formats.end()) << first;
        const size_t start = static_cast<size_t>(at - formats.begin());
        for (size_t step = 1; step <= formats.size(); ++step) {
            run({{"VideoFormat", "toggle"}});
            ASSERT_EQ(testsupport::text(reported(), "VideoFormat"),
                      formats[(start + step) % formats.size()])
                << "toggle " << step << " of " << formats.size();
        }
    }
    std::unique_ptr<BmdRaster> raster;
    std::unique_ptr<MtCore> core;
};

// Every colour matrix a client sets stays applied, and reported, through
// changes of layout, video format and pattern; only a format change enables a
// mode, and it brings the matrix the format takes, which is then reported.
TEST_F(BmdEngineTest, CardWordsFollowTheReportedMatrix) {
    start(bmdFourCC('h', 'p', '5', '0'));
    const char* const matrices[] = {"Rec601",  "Rec601 (compressed)",
                                    "Rec709",  "Rec709 (compressed)",
                                    "Rec2020", "Rec2020 (compressed)"};
    bool odd = false;
    for (const char* matrix : matrices) {
        odd = !odd;
        const char* formatMatrix = odd ? "Rec601" : "Rec709"; // PAL is SD
        struct {
            const char* key;
            const char* value;
            unsigned enables; // modes enabled by the step
            const char* matrix;
        } const steps[] = {
            {"ColorEncoding", matrix, 0, matrix},
            {"OutputColor", odd ? "YCbCr_8" : "YCbCr_10", 0, matrix},
            {"VideoFormat", odd ? "PAL" : "HD 720p 50", 1, formatMatrix},
            {"Pattern", odd ? "Color" : "Colorbars", 0, formatMatrix},
        };
        for (const auto& step : steps) {
            SCOPED_TRACE(std::string(matrix) + ": " + step.key + " " + step.value);
            unsigned enables = stub::enableCount();
            run({{step.key, step.value}});
            EXPECT_EQ(stub::enableCount(), enables + step.enables);
            QiArgRetVal settings = reported();
            EXPECT_EQ(testsupport::text(settings, step.key), step.value);
            EXPECT_EQ(testsupport::text(settings, "ColorEncoding"), step.matrix);
            expectCardFollowsTheReport();
        }
    }
}

// A new configuration is followed once through the engine, with the matrix
// its mode takes: also while the current arguments still name the client's
// earlier format, and when the request names a format that chooses no other
// mode. What is reported is what the card carries.
TEST_F(BmdEngineTest, NewConfigurationIsFollowedAndReported) {
    start(kHi50);
    run({{"VideoFormat", "HD 720p 50"}}); // carried on by the requests below
    struct {
        BMDDisplayMode configured;
        const char* key;
        const char* value;
        const char* format;
        const char* matrix;
    } const steps[] = {
        {kPal, "OutputTitling", "0", "PAL", "Rec601"},
        {kHi50, "VideoFormat", "HD 1080i 50", "HD 1080i 50", "Rec709"},
        {kPal, "VideoFormat", "no such format", "PAL", "Rec601"},
    };
    for (const auto& step : steps) {
        SCOPED_TRACE(std::string(step.format) + ", then " + step.key + " " + step.value);
        run({{"ColorEncoding", "Rec2020"}});
        stub::setDefaultMode(step.configured);
        const unsigned enables = stub::enableCount();
        run({{step.key, step.value}});
        EXPECT_EQ(stub::enableCount(), enables + 1);
        QiArgRetVal settings = reported();
        EXPECT_EQ(testsupport::text(settings, "VideoFormat"), step.format);
        EXPECT_EQ(testsupport::text(settings, "ColorEncoding"), step.matrix);
        expectCardFollowsTheReport();
    }
}

// The device runs "HD 720p 60" for the client's "720p 59.94": the reported
// format is a published name and every other option still changes, without
// enabling the mode again. The device's own name selects the mode too.
TEST_F(BmdEngineTest, The720p60ModeIsReportedByAPublishedName) {
    start(kHi50);
    BMDDisplayMode mode = 0;
    for (const char* name :
         {"HD 720p 60", "HD 1080i 50", "hd 720P 60", "HD 1080i 50", "720p 59.94"}) {
        SCOPED_TRACE(name);
        run({{"Pattern", "Colorbars"}, {"VideoFormat", name}});
        const bool hd720 = std::strcmp(name, "HD 1080i 50") != 0;
        ASSERT_TRUE(stub::outputEnabled(&mode));
        EXPECT_EQ(mode, hd720 ? kHp60 : kHi50);
        EXPECT_EQ(testsupport::text(reported(), "VideoFormat"), hd720 ? "720p 59.94" : name);
        QiArgRetVal current;
        core->getPatSettings(current);
        EXPECT_EQ(testsupport::text(current, "VideoFormat"), hd720 ? "720p 59.94" : name);
    }
    unsigned enables = stub::enableCount();
    struct {
        const char* key;
        const char* value;
    } const steps[] = {{"OutputColor", "YCbCr_8"},
                       {"ColorEncoding", "Rec2020"},
                       {"Pattern", "Color"},
                       {"ColorEncoding", "Rec601 (compressed)"}};
    for (const auto& step : steps) {
        SCOPED_TRACE(step.key);
        run({{step.key, step.value}});
        std::vector<std::string> formats;
        QiArgRetVal settings = reported(&formats);
        EXPECT_EQ(testsupport::text(settings, step.key), step.value);
        std::string format = testsupport::text(settings, "VideoFormat");
        EXPECT_EQ(format, "720p 59.94");
        EXPECT_NE(std::find(formats.begin(), formats.end(), format), formats.end());
        expectCardFollowsTheReport();
    }
    EXPECT_EQ(stub::enableCount(), enables);
    EXPECT_TRUE(stub::outputEnabled(&mode));
    EXPECT_EQ(mode, kHp60);
}

// A mode or layout the card refuses (no 10-bit RGB at 2160p 60) is not
// applied, not reported, and does not come back with a later command that
// does not name it: the current arguments hold what the card runs.
TEST_F(BmdEngineTest, RefusedSettingsDoNotComeBackLater) {
    start(kHi50);
    struct {
        const char* key;
        const char* value;
        const char* format; // reported afterwards
        const char* layout;
        unsigned enables;           // modes enabled by the step
        const char* key2 = nullptr; // a second change in the same request
        const char* value2 = nullptr;
    } const steps[] = {
        {"VideoFormat", "UHD 2160p 30", "UHD 2160p 30", "YCbCr_10", 1},
        {"OutputColor", "RGB_10", "UHD 2160p 30", "RGB_10", 0},
        {"VideoFormat", "UHD 2160p 60", "UHD 2160p 30", "RGB_10", 0}, // refused
        {"OutputColor", "YCbCr_10", "UHD 2160p 30", "YCbCr_10", 0},
        {"GateRed", "0", "UHD 2160p 30", "YCbCr_10", 0},
        {"VideoFormat", "UHD 2160p 60", "UHD 2160p 60", "YCbCr_10", 1},
        {"OutputColor", "RGB_10", "UHD 2160p 60", "YCbCr_10", 0}, // refused
        {"VideoFormat", "HD 1080p 24", "HD 1080p 24", "YCbCr_10", 1},
        {"OutputColor", "RGB_10", "HD 1080p 24", "RGB_10", 0},
        // A format the running layout cannot go to, asked for together with
        // a layout it can show: both are applied.
        {"VideoFormat", "UHD 2160p 60", "UHD 2160p 60", "YCbCr_10", 1, "OutputColor", "YCbCr_10"},
    };
    for (const auto& step : steps) {
        SCOPED_TRACE(std::string(step.key) + " " + step.value);
        unsigned enables = stub::enableCount();
        if (step.key2)
            run({{step.key, step.value}, {step.key2, step.value2}});
        else
            run({{step.key, step.value}});
        EXPECT_EQ(stub::enableCount(), enables + step.enables);
        QiArgRetVal settings = reported();
        EXPECT_EQ(testsupport::text(settings, "VideoFormat"), step.format);
        EXPECT_EQ(testsupport::text(settings, "OutputColor"), step.layout);
        std::vector<QiArgRetVal> records;
        core->getGenOpts(records);
        ASSERT_EQ(records.size(), 14u);
        for (const char* key : {"VideoFormat", "OutputColor"}) {
            if (records[13].find(key)) {
                EXPECT_EQ(testsupport::text(records[13], key), testsupport::text(settings, key))
                    << key;
            }
        }
    }
}

// "VideoFormat" = "toggle" steps to the next published format, wrapping to
// the first, on either card: as many toggles as there are formats pass every
// entry once, in list order, and end on the format the walk began with (so a
// walk from any entry does).
TEST_F(BmdEngineTest, ToggleStepsThroughEveryFormatOnce) {
    ajastub::privateStreamOwner();
    ajastub::resetCard();
    KonaRaster kona(true);
    ASSERT_TRUE(kona.init());
    start(kHi50);
    struct {
        const char* card;
        QiRaster* raster;
    } const cards[] = {{"DeckLink", raster.get()}, {"AJA", &kona}};
    for (const auto& c : cards) {
        SCOPED_TRACE(c.card);
        core.reset();
        core = std::make_unique<MtCore>(c.raster, nullptr, testsupport::dataFolder().c_str());
        run({{"Pattern", "Color"}});
        walkFormatsByToggle();
        core.reset();
    }
    ajastub::resetCard();
}

// Brightness "Blinking" (two frames, 750 ms) on the card: the frames alternate
// at the pattern's period, within one frame period of the mode (PAL: 40 ms),
// for at least three periods.
TEST_F(BmdEngineTest, AnimatedPatternAlternatesAtItsPeriod) {
    using namespace std::chrono;
    start(kPal);
    run({{"Pattern", "Brightness"}, {"Style", "Blinking"}});
    const steady_clock::time_point done = steady_clock::now();
    const unsigned shows = stub::showCount();
    // Four frames shown after the render span three periods. Only the count
    // is polled, so the card is not kept busy while it shows them.
    while (stub::showCount() < shows + 4 && steady_clock::now() - done < seconds(6))
        std::this_thread::sleep_for(milliseconds(20));
    std::vector<stub::Frame> after;
    for (stub::Frame& f : stub::shownFrames())
        if (f.shownAt > done) after.push_back(std::move(f));
    run({{"Pattern", "Colorbars"}}); // a still picture again
    ASSERT_GE(after.size(), 4u);
    for (size_t i = 0; i + 1 < after.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_NE(after[i].bytes, after[i + 1].bytes);
        if (i + 2 < after.size()) {
            EXPECT_EQ(after[i].bytes, after[i + 2].bytes);
        }
        double ms = duration<double, std::milli>(after[i + 1].shownAt - after[i].shownAt).count();
        EXPECT_NEAR(ms, 750.0, 40.0);
    }
}

} // namespace
