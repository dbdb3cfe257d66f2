// The image-file pattern (resolution choice, anchors and offsets, sequences,
// refused names and frame counts) and the About screen's background and QR
// codes, on image sets that the engine's own scan of a scratch data folder
// turns into aliases.
#include "CustomEngine.h"
#include "OsDep.h"
#include "QiCLocale.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <string>

using namespace patterntest;

namespace {

using Engine = CustomEngine<MemoryRaster>;

// A 10-bit image whose every pixel carries its own coordinates.
QiImage* coordinateImage(int w, int h) {
    QiImage* image = new QiImage(w, h, 10);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
            image->setPixel(x, y, x & 1023, y & 1023, 0x100 | x >> 10 | (y >> 10) << 1);
    return image;
}
// The source coordinates a raster pixel shows, or (-1, -1) for any other pixel.
std::pair<int, int> source(const QiImage* r, int x, int y) {
    int c0, c1, c2;
    r->getPixel(x, y, c0, c1, c2);
    if (!(c2 & 0x100)) return {-1, -1};
    return {c0 | (c2 & 1) << 10, c1 | (c2 >> 1 & 1) << 10};
}
void writeSolid(const std::string& path, int w, int h, int bits, int r, int g, int b) {
    QiImage image(w, h, bits);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
            image.setPixel(x, y, r, g, b);
    ASSERT_TRUE(path.size() > 4 && path.compare(path.size() - 4, 4, ".png") == 0
                    ? image.writePng(path.c_str())
                    : image.writeMti(path.c_str()));
}

const Rgb kBorder{64, 64, 64};
const Rgb kOutside{4 * 10, 4 * 200, 4 * 30};

class ImageFileTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        data = new ScratchDataFolder;
        const std::string dir = data->images();
        QiImage* big = coordinateImage(1920, 1080);
        ASSERT_TRUE(big->writeMti((dir + "/big-1080.mti").c_str()));
        delete big;
        QiImage* small = coordinateImage(1280, 720);
        ASSERT_TRUE(small->writeMti((dir + "/small-720.mti").c_str()));
        delete small;
        writeSolid(dir + "/clip~0.png", 64, 36, 8, 10, 20, 30);
        writeSolid(dir + "/clip~1.png", 64, 36, 8, 200, 100, 50);
        writeSolid(dir + "/seq~999.png", 64, 36, 8, 10, 20, 30);
        writeSolid(dir + "/eight.mti", 16, 16, 8, 10, 200, 30);
        writeSolid(dir + "/bg.png", 100, 100, 8, 200, 20, 20);
        writeSolid(data->path + "/outside.png", 64, 64, 8, 10, 200, 30);
    }
    static void TearDownTestSuite() {
        delete data;
        data = nullptr;
    }

    static Engine* engine() {
        MemoryRasterConfig c = rasterConfig(10, 64, 940);
        c.formats = {{"720p50", 1280, 720}, {"1080p", 1920, 1080}, {"tiny", 64, 36}};
        return new Engine(new MemoryRaster(c), data->path);
    }
    static bool anyPixel(const QiImage* r, Rgb c) {
        for (int y = 0; y < r->height; ++y)
            for (int x = 0; x < r->width; ++x)
                if (Engine::pixel(r, x, y) == c) return true;
        return false;
    }

    static ScratchDataFolder* data;
};
ScratchDataFolder* ImageFileTest::data = nullptr;

TEST_F(ImageFileTest, ResolutionChoiceAndCentreAnchor) {
    std::unique_ptr<Engine> e(engine());
    // Only a 1080 file: chosen on a 720 raster, its centre region shown.
    e->run(request({{"Pattern", "big"}}));
    EXPECT_EQ(source(e->raster, 0, 0), std::make_pair(320, 180));
    EXPECT_EQ(source(e->raster, 1279, 719), std::make_pair(1599, 899));
    // A 720 image on a 1080 raster: centred on the grey 16 border.
    e->run(request({{"Pattern", "small"}, {"VideoFormat", "1080p"}}));
    EXPECT_EQ(e->at(319, 179), kBorder);
    EXPECT_EQ(source(e->raster, 320, 180), std::make_pair(0, 0));
    EXPECT_EQ(source(e->raster, 1599, 899), std::make_pair(1279, 719));
    EXPECT_EQ(e->at(1600, 900), kBorder);
}

TEST_F(ImageFileTest, WidthIsClampedAndZeroMeansAllThatFits) {
    std::unique_ptr<Engine> e(engine());
    e->run(request({{"Pattern", "big"}, {"Anchor", "TL"}, {"width", "500"}}));
    EXPECT_EQ(source(e->raster, 99, 0), std::make_pair(99, 0));
    EXPECT_EQ(e->at(100, 0), kBorder);
    e->run(request({{"Pattern", "big"}, {"Anchor", "TL"}, {"width", "0"}, {"height", "0"}}));
    EXPECT_EQ(source(e->raster, 1279, 719), std::make_pair(1279, 719));
}

TEST_F(ImageFileTest, ExtremeOffsetsLeaveOnlyTheBorder) {
    std::unique_ptr<Engine> e(engine());
    for (const char* key : {"dxOff", "dyOff", "sxOff", "syOff"})
        for (const char* v : {"-65535", "65536"})
            for (const char* anchor : {"TL", "MC", "BR"}) {
                e->run(request({{"Pattern", "eight"}, {"Anchor", anchor}, {key, v}}));
                // Where the 16 x 16 picture stands for each anchor without offsets.
                for (auto xy :
                     {std::make_pair(8, 8), std::make_pair(640, 360), std::make_pair(1271, 711)})
                    EXPECT_EQ(e->at(xy.first, xy.second), kBorder)
                        << key << "=" << v << " " << anchor;
            }
    // Partly off the source: only the part that exists is copied, at its own place.
    e->run(request({{"Pattern", "big"}, {"Anchor", "TL"}, {"sxOff", "-100"}}));
    EXPECT_EQ(e->at(99, 0), kBorder);
    EXPECT_EQ(source(e->raster, 100, 0), std::make_pair(0, 0));
}

TEST_F(ImageFileTest, SequenceAnimatesAndFrameCountsAreBounded) {
    std::unique_ptr<Engine> e(engine());
    e->run(request({{"Pattern", "clip"}, {"OutputColor", "RGB_10"}}));
    EXPECT_EQ(e->raster->frames, 2u);
    EXPECT_EQ(e->core->getPatternRenderer("ImageFile")->period, 750u);
    EXPECT_EQ(rgbAt(e->raster->ringFrame(0), 640, 360), (Rgb{40, 80, 120}));
    EXPECT_EQ(rgbAt(e->raster->ringFrame(1), 640, 360), (Rgb{800, 400, 200}));

    testsupport::ScopedCapture capture;
    e->run(request({{"Pattern", "clip"}, {"VideoFormat", "tiny"}, {"nF0", "100000000"}}));
    EXPECT_EQ(e->raster->frames, 2u); // the frames the alias names files for
    e->run(request({{"Pattern", "ImageFile"}, {"nF0", "1000"}, {"r0-f999", "b.png"}}));
    EXPECT_EQ(e->raster->frames, 1u); // the one frame that names a file
    EXPECT_EQ(e->raster->getFrameSequence().size(), 1000u);
    const unsigned before = e->raster->renderCount();
    e->run(request({{"Pattern", "clip"}, {"nF0", "-3"}}));
    EXPECT_EQ(e->raster->frames, 1u);
    EXPECT_EQ(e->raster->renderCount(), before + 1);
    EXPECT_EQ(e->core->getPatternRenderer("ImageFile")->period, 0u);
    int limited = 0;
    for (const std::string& line : capture.out->take())
        limited += line.find("limited to") != std::string::npos;
    EXPECT_EQ(limited, 2);
}

// Frames that name no file show the frame before them (leading ones the first
// that names a file) without a ring frame of their own; the ring stays within
// the raster's budget.
TEST_F(ImageFileTest, FramesWithoutFilesShareTheRingWithinItsBudget) {
    std::unique_ptr<Engine> e(engine());
    testsupport::ScopedCapture capture;
    struct Case {
        std::vector<std::pair<std::string, std::string>> args;
        unsigned frames;
        std::vector<unsigned> steps; // empty: the ring in order
        unsigned period;
    };
    const std::vector<Case> cases = {
        {{{"Pattern", "seq"}, {"OutputColor", "RGB_10"}}, 1, std::vector<unsigned>(1000, 0), 750},
        // Frame i shows the last frame up to i that names a file.
        {{{"Pattern", "clip"},
          {"nF0", "6"},
          {"r0-f0", ""},
          {"r0-f1", "clip~0.png"},
          {"r0-f3", "clip~1.png"},
          {"r0-f4", ""},
          {"r0-f5", "clip~0.png"}},
         3,
         {0, 0, 0, 1, 1, 2},
         750},
        {{{"Pattern", "clip"}}, 2, {}, 750},
    };
    for (const Case& c : cases) {
        capture.out->take();
        QiArgRetVal args;
        for (const auto& kv : c.args)
            args.set(kv.first, kv.second);
        e->run(args);
        const std::string what = c.args.size() > 2 ? "gaps" : c.args[0].second;
        EXPECT_EQ(e->raster->frames, c.frames) << what;
        EXPECT_EQ(e->raster->getFrameSequence(), c.steps) << what;
        EXPECT_EQ(e->core->getPatternRenderer("ImageFile")->period, c.period);
        int missing = 0;
        for (const std::string& line : capture.out->take())
            missing += line.find("couldn't figure out file") != std::string::npos;
        EXPECT_EQ(missing, c.steps.empty() ? 0 : 1) << what;
    }
    EXPECT_EQ(rgbAt(e->raster->ringFrame(0), 640, 360), (Rgb{40, 80, 120}));
    EXPECT_EQ(rgbAt(e->raster->ringFrame(1), 640, 360), (Rgb{800, 400, 200}));

    // A budget of three frames cuts a sequence of six files after the third.
    e->raster->frameBudget = 3ull * 1280 * 720 * 4;
    QiArgRetVal six = request({{"Pattern", "clip"}, {"nF0", "6"}});
    for (int j = 0; j < 6; ++j)
        six.set(qi::formatC("r0-f%d", j), j % 2 ? "clip~1.png" : "clip~0.png");
    e->run(six);
    EXPECT_EQ(e->raster->frames, 3u);
    EXPECT_TRUE(e->raster->getFrameSequence().empty());
    int cut = 0;
    for (const std::string& line : capture.out->take())
        cut += line.find("cut to 3 of its 6 frames") != std::string::npos;
    EXPECT_EQ(cut, 1);
}

TEST_F(ImageFileTest, NamesLeadingOutOfTheFolderAreNotOpened) {
    std::unique_ptr<Engine> e(engine());
    testsupport::ScopedCapture capture;
    for (const char* name : {"../outside.png", "../outside", "missing.png"}) {
        const unsigned before = e->raster->renderCount();
        e->run(request({{"Pattern", "clip"}, {"nF0", "1"}, {"r0-f0", name}}));
        EXPECT_EQ(e->raster->renderCount(), before + 1) << name;
        EXPECT_FALSE(anyPixel(e->raster, kOutside)) << name;
    }
    // The same file inside the folder is shown: .mti of 8 bits on a 10-bit raster.
    e->run(request({{"Pattern", "eight"}}));
    EXPECT_EQ(e->at(640, 360), kOutside);
}

// A client naming a FIFO as a frame must not hold up the render thread (and
// with it every other client): the frame shows the error text.
TEST_F(ImageFileTest, FifoAsAFrameNeverBlocksTheRender) {
    std::unique_ptr<Engine> e(engine());
    testsupport::ScopedCapture capture;
    testsupport::FifoWatch fifo(data->images() + "/pipe.png");
    ASSERT_TRUE(fifo.made);
    const unsigned before = e->raster->renderCount();
    e->run(request({{"Pattern", "clip"}, {"nF0", "1"}, {"r0-f0", "pipe.png"}}));
    EXPECT_FALSE(fifo.stop()) << "the render waited on the FIFO";
    EXPECT_EQ(e->raster->renderCount(), before + 1);
    bool warned = false;
    for (const std::string& line : capture.out->take())
        warned |= line.find("pipe.png is not a regular file") != std::string::npos;
    EXPECT_TRUE(warned);
}

TEST_F(ImageFileTest, MissingFrameKeyWarnsAndStillShowsTheFrame) {
    std::unique_ptr<Engine> e(engine());
    testsupport::ScopedCapture capture;
    const unsigned before = e->raster->renderCount();
    e->run(request({{"Pattern", "ImageFile"}}));
    EXPECT_EQ(e->raster->renderCount(), before + 1);
    bool warned = false;
    for (const std::string& line : capture.out->take())
        warned |= line == "Warning: couldn't figure out file for ' / r0-f0'\n";
    EXPECT_TRUE(warned);
}

// The proofing test card that the build draws into the data folder: one alias
// with one file per size, the file that matches the raster, exact codes.
TEST(TestCard, AliasResolutionChoiceAndPatchCodes) {
    MemoryRasterConfig c = rasterConfig(10, 64, 940);
    c.formats = {
        {"576i", 720, 576}, {"720p", 1280, 720}, {"1080p", 1920, 1080}, {"2160p", 3840, 2160}};
    c.keepShown = 2;
    Engine e(new MemoryRaster(c), dataFolder());

    // Patch centres on the card's 16 x 9 grid, and their 10-bit codes: a signal
    // fraction p is 64 + round(876 p); sRGB-given colours v / 255. An 8-bit
    // output carries the top eight bits.
    struct Patch {
        const char* what;
        double x, y;
        Rgb code;
    };
    const Patch patches[] = {
        {"75% red bar", 2 + 12 * 5.5 / 7, 2.0, {721, 64, 64}},
        {"100% white bar", 2 + 12 * 0.5 / 7, 3.0, {940, 940, 940}},
        {"100% cyan bar", 2 + 12 * 2.5 / 7, 3.0, {64, 940, 940}},
        {"0% step", 2 + 12 * 0.5 / 11, 6.0, {64, 64, 64}},
        {"50% step", 2 + 12 * 5.5 / 11, 6.0, {502, 502, 502}},
        {"dark skin (115, 82, 68)", 2 + 12 * 0.5 / 8, 8.0, {459, 346, 298}},
        {"blue pastel (190, 210, 250)", 2 + 12 * 7.5 / 8, 8.0, {717, 785, 923}},
    };
    for (const char* format : {"576i", "720p", "1080p", "2160p"}) {
        for (const char* layout : {"RGB_10", "RGB_8"}) {
            e.run(request({{"Pattern", "Lumevra-Test-Card"},
                           {"VideoFormat", format},
                           {"OutputColor", layout},
                           {"OutputTitling", "false"}}));
            const MemoryFrame f = e.raster->lastShown();
            const int W = e.raster->getWidth(), H = e.raster->getHeight();
            const int s = layout[4] == '8' ? 2 : 0;
            auto at8or10 = [s](Rgb v) { return Rgb{v.r >> s, v.g >> s, v.b >> s}; };
            // The picture's edge is white in every corner only when the file
            // matches the raster: a smaller card leaves a border, a larger one
            // is cut.
            for (auto xy : {std::make_pair(0, 0), std::make_pair(W - 1, H - 1)})
                EXPECT_EQ(rgbAt(f, xy.first, xy.second), at8or10(grey(940)))
                    << format << " " << layout;
            for (const Patch& p : patches)
                EXPECT_EQ(rgbAt(f, int(W * p.x / 16), int(H * p.y / 9)), at8or10(p.code))
                    << p.what << " on " << format << " " << layout;
        }
    }

    QiArgRetVal current;
    e.core->getPatSettings(current);
    EXPECT_EQ(text(current, "Name"), "Lumevra-Test-Card");
    EXPECT_EQ(text(current, "nVres"), "5");
    int i = 0;
    for (int lines : {486, 576, 720, 1080, 2160}) {
        EXPECT_EQ(text(current, qi::formatC("vres%d", i++).c_str()), std::to_string(lines));
        EXPECT_EQ(text(current, qi::formatC("nF%d", lines).c_str()), "1");
        EXPECT_EQ(text(current, qi::formatC("r%d-f0", lines).c_str()),
                  qi::formatC("Lumevra-Test-Card-%d.mti", lines));
    }
}

TEST_F(ImageFileTest, AboutBackgroundAndQrCodes) {
    std::unique_ptr<Engine> e(engine());
    e->run(request({{"Pattern", "About"}, {"Bg", "bg"}}));
    EXPECT_EQ(e->at(640, 360), (Rgb{800, 80, 80}));
    EXPECT_EQ(e->at(640, 300), kBorder);

    e->run(request({{"Pattern", "About"}, {"Bg", "../outside"}}));
    EXPECT_EQ(e->at(640, 360), kBorder);
    EXPECT_FALSE(anyPixel(e->raster, kOutside));

    // The first interface's QR code stands on the text line at a tenth of the width.
    const std::vector<IfAddr> addrs = OsDep("test").getIpAddrs();
    if (addrs.empty()) GTEST_SKIP() << "no IPv4 interface besides loopback";
    const int q = 720 * 15 / 100, x = 128, y = 720 * 85 / 100 - q;
    EXPECT_EQ(e->at(x, y), (Rgb{940, 940, 940})); // quiet zone
    bool dark = false;
    for (int i = 0; i < q && !dark; ++i)
        dark = e->at(x + i, y + q / 2) == kBorder;
    EXPECT_TRUE(dark);
}

} // namespace
