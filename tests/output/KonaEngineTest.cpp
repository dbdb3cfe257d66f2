// The engine driving the AJA back-end on the simulated card, as start-up sets
// it up: passive mode, the card's own format, patterns uploaded by DMA.
#include "AjaStubControl.h"
#include "KonaRaster.h"
#include "MtCore.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <cstring>
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

TEST(KonaEngine, PatternsReachTheCard) {
    unsetenv("KB_AJASTUB_NO_CARD");
    ajastub::privateStreamOwner();
    ajastub::resetCard();
    KonaRaster raster(true);
    ASSERT_TRUE(raster.init());
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

} // namespace
