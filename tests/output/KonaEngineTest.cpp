// The engine driving the AJA back-end on the simulated card, as start-up sets
// it up: passive mode, the card's own format, patterns uploaded by DMA.
#include "AjaStubControl.h"
#include "KonaRaster.h"
#include "MtCore.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace {

using testsupport::dataFolder;

void run(MtCore& core, std::initializer_list<std::pair<const char*, const char*>> kv) {
    QiArgRetVal req;
    for (auto& p : kv)
        req.set(p.first, p.second);
    bool result = false;
    // False here means the command is already done (one waiter, engine running).
    core.waitForPattern(result, core.asyncSetGen(req));
}

// An engine test on a simulated AJA card of this program's own, found in the
// state it powers up in.
class KonaEngine : public testing::Test {
protected:
    void SetUp() override {
        unsetenv("KB_AJASTUB_NO_CARD");
        ajastub::privateStreamOwner();
        ajastub::resetCard();
        card = std::make_unique<KonaRaster>(true);
        ASSERT_TRUE(card->init());
    }
    std::unique_ptr<KonaRaster> card;
};

TEST_F(KonaEngine, PatternsReachTheCard) {
    KonaRaster& raster = *card;
    {
        MtCore core(&raster, nullptr, dataFolder().c_str());
        run(core, {{"Pattern", "Colorbars"}});
        std::vector<uint8_t> shown = ajastub::frame(0);
        ASSERT_EQ(size_t(3456) * 720, shown.size());
        unsigned* host = nullptr;
        unsigned bytes = 0;
        ASSERT_TRUE(raster.frameData(host, bytes, raster.curFrame));
        ASSERT_EQ(shown.size(), bytes);
        EXPECT_EQ(0, std::memcmp(shown.data(), host, bytes));
        EXPECT_NE(std::vector<uint8_t>(bytes, 0), shown);

        // A client's format and colour choices go to the card.
        run(core, {{"VideoFormat", "1080i 50.00"}, {"OutputColor", "RGB_8"}});
        ajastub::AjaStubCard c = ajastub::card();
        EXPECT_EQ(NTV2_FORMAT_1080i_5000, c.videoFormat[0]);
        EXPECT_EQ(NTV2_FBF_ARGB, c.frameBufferFormat[0]);
        EXPECT_STREQ("1080i 50.00", raster.getCurrentFormat());
        EXPECT_EQ(size_t(7680) * 1080, ajastub::frame(0).size());
        EXPECT_GT(c.dmaWrites, 2u);
    }
    ajastub::resetCard();
}

// Checks that the frame output 1 shows holds the raster converted afresh
// under the matrix that GetGenOptions reports (the card's layout is a YCbCr
// one, so every matrix gives its own words).
void expectReportedMatrixOnCard(MtCore& core, KonaRaster& raster, const std::string& step) {
    std::vector<QiArgRetVal> opts;
    core.getGenOpts(opts);
    ASSERT_EQ(14u, opts.size());
    const char* name = nullptr;
    ASSERT_TRUE(opts[12].find("ColorEncoding", &name));
    QiImageCoder reference = raster.coder;
    int m = 0;
    while (m < 6 && std::strcmp(QiImageCoder::colorMatrixName(QiImageCoder::ColorMatrix(m)), name))
        ++m;
    ASSERT_LT(m, 6) << name;
    reference.setColorMatrix(QiImageCoder::ColorMatrix(m));

    const ajastub::AjaStubCard card = ajastub::card();
    const std::vector<uint8_t> shown = ajastub::frame(card.outputFrame[0]);
    std::vector<uint32_t> expected((shown.size() + 3) / 4);
    ASSERT_EQ(size_t(raster.getRowBytes()) * raster.getHeight(), shown.size()) << step;
    static const uint8_t kCbYCrY[4] = {0, 1, 2, 3};
    if (card.frameBufferFormat[0] == NTV2_FBF_8BIT_YCBCR)
        reference.to_422_8(reinterpret_cast<uint16_t*>(expected.data()), kCbYCrY);
    else if (card.frameBufferFormat[0] == NTV2_FBF_10BIT_YCBCR)
        reference.to_v210(expected.data(), false); // as the patterns render
    else
        FAIL() << step << ": frame-buffer format " << card.frameBufferFormat[0];
    EXPECT_EQ(0, std::memcmp(expected.data(), shown.data(), shown.size()))
        << step << ": the card's words are not those of " << name;
}

// A client's matrix is the card's matrix, whatever else changes after it:
// the pixel layout and the pattern keep it, and a new video format brings the
// back-end's matrix for it, which is then the one reported. A format rescan
// leaves the next request's matrix standing.
TEST_F(KonaEngine, CardCarriesTheReportedMatrix) {
    KonaRaster& raster = *card;
    {
        MtCore core(&raster, nullptr, dataFolder().c_str());
        run(core, {{"Pattern", "Colorbars"}});
        for (int m = 0; m < 6; ++m) {
            const char* matrix = QiImageCoder::colorMatrixName(QiImageCoder::ColorMatrix(m));
            const bool even = m % 2 == 0;
            const std::pair<const char*, const char*> steps[] = {
                {"ColorEncoding", matrix},
                {"OutputColor", even ? "YCbCr_8" : "YCbCr_10"},
                {"VideoFormat", even ? "625 50.00 (576i)" : "720p 50.00"},
                {"Pattern", even ? "Color" : "Colorbars"}, // both render with tenBit false
            };
            for (const auto& step : steps) {
                run(core, {step});
                expectReportedMatrixOnCard(core, raster,
                                           std::string(matrix) + ", then " + step.first);
            }
            // The card runs a format other than the list's default entry: a
            // rescan must not cost the next request its matrix.
            core.rescanFormats();
            const char* next = QiImageCoder::colorMatrixName(QiImageCoder::ColorMatrix(5 - m));
            run(core, {{"ColorEncoding", next}});
            std::vector<QiArgRetVal> opts;
            core.getGenOpts(opts);
            const char* reported = nullptr;
            ASSERT_TRUE(opts.at(12).find("ColorEncoding", &reported));
            EXPECT_STREQ(next, reported) << "after a rescan";
            expectReportedMatrixOnCard(core, raster, std::string(next) + " after a rescan");
        }
    }
    ajastub::resetCard();
}

// A frame-buffer format set on the card outside the engine is taken up and
// reported; asking for the earlier layout then brings it back.
TEST_F(KonaEngine, LayoutSetOutsideTheEngineIsReported) {
    KonaRaster& raster = *card;
    {
        MtCore core(&raster, nullptr, dataFolder().c_str());
        run(core, {{"Pattern", "Colorbars"}});
        auto reported = [&] {
            std::vector<QiArgRetVal> opts;
            core.getGenOpts(opts);
            const char* name = nullptr;
            return opts.size() == 14u && opts[12].find("OutputColor", &name) ? std::string(name)
                                                                             : std::string();
        };
        ajastub::AjaStubCard c = ajastub::card();
        c.frameBufferFormat[0] = NTV2_FBF_8BIT_YCBCR;
        ajastub::setCard(c);
        run(core, {{"Pattern", "Colorbars"}});
        EXPECT_EQ("YCbCr_8", reported());
        expectReportedMatrixOnCard(core, raster, "layout set outside");
        run(core, {{"OutputColor", "YCbCr_10"}});
        EXPECT_EQ("YCbCr_10", reported());
        EXPECT_EQ(NTV2_FBF_10BIT_YCBCR, ajastub::card().frameBufferFormat[0]);
        expectReportedMatrixOnCard(core, raster, "layout asked for again");
    }
    ajastub::resetCard();
}

} // namespace
