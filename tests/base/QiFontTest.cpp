#include "QiFont.h"
#include "QiImage.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

namespace {

// The data folder the build puts beside the executables.
std::string datafilesDir() {
    char exe[4096];
    ssize_t n = readlink("/proc/self/exe", exe, sizeof exe - 1);
    if (n <= 0) return "mtdata/datafiles";
    std::string path(exe, static_cast<size_t>(n));
    return path.substr(0, path.rfind('/')) + "/mtdata/datafiles";
}

// Fonts live for the whole process, as in the engine: every one is kept here.
QiFont* keep(QiFont* f) {
    static auto* kept = new std::vector<QiFont*>;
    kept->push_back(f);
    return f;
}
QiFont* font(const char* file, int points, int dpi) {
    return keep(new QiFont((datafilesDir() + "/" + file).c_str(), points, dpi));
}
QiFont* text24() {
    static QiFont* f = font("eterna.ttf", 24, 96);
    return f;
}
QiFont* text24At192() {
    static QiFont* f = font("eterna.ttf", 24, 192);
    return f;
}
QiFont* tiny() {
    static QiFont* f = font("eterna.ttf", 6, 72);
    return f;
}
QiFont* missing() {
    static QiFont* f = keep(new QiFont("/nonexistent/none.ttf", 16, 96));
    return f;
}

std::unique_ptr<QiImage> image(int w, int h, int bits, uint64_t fill,
                               QiImage::PixelCoding coding = QiImage::RGB) {
    auto img = std::make_unique<QiImage>(w, h, bits);
    img->coding = coding;
    img->clear(fill);
    return img;
}

uint64_t pack(const QiImage& img, uint64_t c0, uint64_t c1, uint64_t c2) {
    return c0 << (2 * img.bits) | c1 << img.bits | c2;
}

std::vector<uint64_t> pixelsOf(const QiImage& img) {
    return std::vector<uint64_t>(img.pixels, img.pixels + img.width * img.height);
}

// Bounding box of the pixels that differ from `fill`; empty when none do.
struct Ink {
    int left = 1 << 30, top = 1 << 30, right = -1, bottom = -1;
    bool empty() const { return right < 0; }
};
Ink inkOf(const QiImage& img, uint64_t fill) {
    Ink ink;
    for (int y = 0; y < img.height; ++y)
        for (int x = 0; x < img.width; ++x)
            if (img.pixels[y * img.width + x] != fill) {
                ink.left = std::min(ink.left, x);
                ink.right = std::max(ink.right, x);
                ink.top = std::min(ink.top, y);
                ink.bottom = std::max(ink.bottom, y);
            }
    return ink;
}

struct Box {
    int w = 0, h = 0;
};
Box draw(QiImage& img, QiFont* f, const char* text, uint64_t colour, int x, int y,
         QiImage::RegistrationPoint reg = QiImage::BottomLeft, bool box = false) {
    Box b;
    EXPECT_TRUE(img.renderText(f, text, colour, x, y, b.w, b.h, box, reg));
    return b;
}

Box measure(QiFont* f, const char* text) {
    auto img = image(2000, 200, 8, 0);
    return draw(*img, f, text, img->makeGrey(255), 0, 100);
}

} // namespace

TEST(DataFolder, HoldsTheThreeFacesUnderTheirNames) {
    struct {
        const char* name;
        const char magic[5];
    } files[] = {{"eterna.ttf", {0, 1, 0, 0, 0}},
                 {"plexifont_ot.otf", "OTTO"},
                 {"spincycle_3d_ot.otf", "OTTO"}};
    for (const auto& file : files) {
        std::ifstream in(datafilesDir() + "/" + file.name, std::ios::binary);
        ASSERT_TRUE(in) << file.name;
        char head[4] = {};
        in.read(head, 4);
        EXPECT_EQ(std::memcmp(head, file.magic, 4), 0) << file.name << " is not the right kind";
        QiFont* f = font(file.name, 72, 96);
        EXPECT_NE(f->getFace(), nullptr) << file.name;
    }
}

TEST(QiFont, FailedFaceIsTracedAndDrawsNothing) {
    testsupport::ScopedCapture capture;
    QiFont* f = keep(new QiFont("/nonexistent/other.ttf", 16, 96));
    EXPECT_EQ(f->getFace(), nullptr);
    auto lines = capture.out->take();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0], "Info: QiFont: couldn't create new face (/nonexistent/other.ttf)\n");

    auto img = image(40, 30, 8, 0x102030);
    for (QiFont* none : {f, missing(), static_cast<QiFont*>(nullptr)}) {
        Box b = draw(*img, none, "Hello", img->makeGrey(255), 10, 10);
        EXPECT_EQ(b.w, 4);
        EXPECT_EQ(b.h, 4);
    }
    EXPECT_TRUE(inkOf(*img, 0x102030).empty());
}

TEST(RenderText, EmptyTextGivesTheFourByFourBoxOnly) {
    auto img = image(40, 30, 8, 0);
    Box b = draw(*img, text24(), "", img->makeGrey(255), 10, 10);
    EXPECT_EQ(b.w, 4);
    EXPECT_EQ(b.h, 4);
    EXPECT_TRUE(inkOf(*img, 0).empty());

    // With the box: an outline from (X - 2, Y - 2) to (X + 2, Y + 2), baseline Y = 10.
    for (QiFont* f : {text24(), missing()}) {
        img->clear(0);
        b = draw(*img, f, "", 7, 10, 10, QiImage::BottomLeft, true);
        EXPECT_EQ(b.w, 4);
        for (int y = 0; y < img->height; ++y)
            for (int x = 0; x < img->width; ++x) {
                bool onOutline = (x == 8 || x == 12) && y >= 8 && y <= 12;
                onOutline |= (y == 8 || y == 12) && x >= 8 && x <= 12;
                EXPECT_EQ(img->pixels[y * img->width + x], onOutline ? 7u : 0u) << x << "," << y;
            }
    }
}

TEST(RenderText, BoxSizeFollowsTheFontMetrics) {
    // FreeSans "H": cap height 729/1000 em, ink 0.58 em wide. At 24 points and
    // 96 dpi the em is 32 pixels, so "H" is about 23 x 19 and the box 4 more.
    Box h = measure(text24(), "H");
    EXPECT_NEAR(h.h, 23 + 4, 2);
    EXPECT_NEAR(h.w, 19 + 4, 2);

    // "HH": one advance (0.722 em = 23 px) more than "H".
    Box hh = measure(text24(), "HH");
    EXPECT_EQ(hh.h, h.h);
    EXPECT_NEAR(hh.w - h.w, 23, 1);

    // A descender deepens the box, a space between words widens it.
    EXPECT_GT(measure(text24(), "Hg").h, hh.h + 3);
    EXPECT_GT(measure(text24(), "H H").w, hh.w + 5);

    // Twice the resolution, twice the ink.
    Box big = measure(text24At192(), "Hello");
    Box small = measure(text24(), "Hello");
    EXPECT_NEAR(big.w - 4, 2 * (small.w - 4), 3);
    EXPECT_NEAR(big.h - 4, 2 * (small.h - 4), 2);

    // The ink fills the box less its margin, "H" standing on the baseline row.
    auto img = image(200, 100, 8, 0);
    draw(*img, text24(), "HH", 0xffffff, 50, 60);
    Ink ink = inkOf(*img, 0);
    EXPECT_EQ(ink.bottom, 59);
    EXPECT_NEAR(ink.bottom - ink.top + 1, hh.h - 4, 1);
    EXPECT_NEAR(ink.right - ink.left + 1, hh.w - 4, 1);
}

TEST(RenderText, AnchorsMoveTheTextByExactFractionsOfTheBox) {
    const uint64_t white = 0xffffff;
    for (const char* text : {"HH", "Hello", "Kettlebright 1.2"}) {
        auto ref = image(600, 200, 8, 0);
        Box b = draw(*ref, text24(), text, white, 300, 90);
        for (int reg = 0; reg <= 8; ++reg) {
            const int dx[3] = {0, -(b.w / 2), -b.w};
            const int dy[3] = {b.h, b.h / 2, 0};
            auto img = image(600, 200, 8, 0);
            Box got = draw(*img, text24(), text, white, 300, 90,
                           static_cast<QiImage::RegistrationPoint>(reg));
            EXPECT_EQ(got.w, b.w);
            EXPECT_EQ(got.h, b.h);
            // Every pixel equals the reference shifted by the anchor offset.
            const int sx = dx[reg % 3], sy = dy[reg / 3];
            int mismatches = 0;
            for (int y = 0; y < 200; ++y)
                for (int x = 0; x < 600; ++x) {
                    int rx = x - sx, ry = y - sy;
                    uint64_t want = (rx >= 0 && rx < 600 && ry >= 0 && ry < 200)
                                        ? ref->pixels[ry * 600 + rx]
                                        : 0;
                    mismatches += img->pixels[y * 600 + x] != want;
                }
            EXPECT_EQ(mismatches, 0) << text << " reg " << reg << " w " << b.w << " h " << b.h;
        }
    }

    // The centre anchor puts the middle of the box on the point.
    auto img = image(300, 160, 8, 0);
    Box b = draw(*img, text24(), "HH", white, 150, 80, QiImage::Centre, true);
    Ink ink = inkOf(*img, 0); // the outline bounds everything
    EXPECT_EQ(ink.left, 150 - b.w / 2 - 2);
    EXPECT_EQ(ink.right, ink.left + b.w);
    EXPECT_EQ(ink.bottom, 80 + b.h / 2 + 2);
    EXPECT_EQ(ink.top, ink.bottom - b.h);
}

TEST(RenderText, PointsBeyondTheGridDrawAtTheImageOrigin) {
    // Baseline on row 0, left edge on column 0: only the descender shows.
    auto a = image(120, 60, 8, 0);
    auto b = image(120, 60, 8, 0);
    draw(*a, text24(), "gjy", 0xffffff, 70, 40, static_cast<QiImage::RegistrationPoint>(9));
    draw(*b, text24(), "gjy", 0xffffff, 0, 0, QiImage::BottomLeft);
    EXPECT_EQ(pixelsOf(*a), pixelsOf(*b));
    Ink ink = inkOf(*a, 0);
    ASSERT_FALSE(ink.empty());
    EXPECT_EQ(ink.top, 0);
    EXPECT_LT(ink.bottom, 12);
}

TEST(RenderText, XorBlendOnRgb) {
    // White on black: each component is the coverage itself.
    auto cover = image(160, 50, 8, 0);
    draw(*cover, text24(), "Blend", 0xffffff, 5, 35);
    int full = 0, partial = 0;
    for (uint64_t p : pixelsOf(*cover)) {
        int c0, c1, c2;
        cover->getRGB(p, c0, c1, c2);
        EXPECT_TRUE(c0 == c1 && c1 == c2);
        full += c0 == 255;
        partial += c0 > 0 && c0 < 255;
    }
    EXPECT_GT(full, 50);
    EXPECT_GT(partial, 20);

    // Coloured text over a coloured ground, 8 and 10 bits.
    for (int bits : {8, 10}) {
        const int m = (1 << bits) - 1;
        const int o[3] = {0x30 * m / 255, 0x61 * m / 255, 0x9a * m / 255};
        const int t[3] = {m, 0, 0x55 * m / 255};
        auto img = image(160, 50, bits, 0);
        img->clear(pack(*img, o[0], o[1], o[2]));
        const uint64_t ground = img->pixels[0];
        draw(*img, text24(), "Blend", pack(*img, t[0], t[1], t[2]), 5, 35);
        for (int i = 0; i < 160 * 50; ++i) {
            int a, unused, c[3];
            cover->getRGB(cover->pixels[i], a, unused, unused);
            img->getRGB(img->pixels[i], c[0], c[1], c[2]);
            for (int k = 0; k < 3; ++k) {
                // Linear between the ground (no coverage) and t XOR o (full).
                int expect = ((t[k] ^ o[k]) * a + o[k] * (255 - a)) / 255;
                ASSERT_EQ(c[k], expect) << "bits " << bits << " pixel " << i << " comp " << k;
            }
        }

        // Drawn a second time, the fully covered pixels get the ground back.
        draw(*img, text24(), "Blend", pack(*img, t[0], t[1], t[2]), 5, 35);
        for (int i = 0; i < 160 * 50; ++i) {
            int a, unused;
            cover->getRGB(cover->pixels[i], a, unused, unused);
            if (a == 255 || a == 0) {
                ASSERT_EQ(img->pixels[i], ground) << "pixel " << i;
            }
        }
    }
}

TEST(RenderText, OnYCbCrOnlyLumaChanges) {
    auto cover = image(160, 50, 8, 0);
    draw(*cover, text24(), "Luma", 0xffffff, 5, 35);

    auto img = image(160, 50, 10, 0, QiImage::YCbCr);
    for (int y = 0; y < 50; ++y)
        for (int x = 0; x < 160; ++x)
            img->setPixel(x, y, x & 1 ? 600 : 400, 64, 0);
    draw(*img, text24(), "Luma", pack(*img, 100, 940, 7), 5, 35);
    int changed = 0;
    for (int y = 0; y < 50; ++y)
        for (int x = 0; x < 160; ++x) {
            int c0, c1, c2, a, unused;
            img->getPixel(x, y, c0, c1, c2);
            cover->getPixel(x, y, a, unused, unused);
            EXPECT_EQ(c0, x & 1 ? 600 : 400);
            EXPECT_EQ(c2, 0);
            EXPECT_EQ(c1, ((940 ^ 64) * a + 64 * (255 - a)) / 255);
            changed += c1 != 64;
        }
    EXPECT_GT(changed, 50);
}

TEST(RenderText, TextRunningOffEveryEdgeIsClipped) {
    auto img = image(40, 20, 8, 0);
    for (int reg = 0; reg <= 8; ++reg)
        for (int x : {-30, 0, 20, 39, 60})
            for (int y : {-30, 0, 10, 19, 60})
                draw(*img, text24(), "Wgjy|", 0xffffff, x, y,
                     static_cast<QiImage::RegistrationPoint>(reg), true);
    SUCCEED(); // the sanitizers watch every read and write
}

TEST(RenderText, LongTextsStopAtTheGlyphTable) {
    // 1000 glyphs fit on this image; a call keeps no more than 256 of them.
    auto img = image(4000, 40, 8, 0);
    std::string ells(1000, 'l');
    Box all = draw(*img, tiny(), ells.c_str(), 0xffffff, 0, 20);
    Box first = measure(tiny(), ells.substr(0, 256).c_str());
    EXPECT_EQ(all.w, first.w);
    EXPECT_EQ(all.h, first.h);
    Ink ink = inkOf(*img, 0);
    ASSERT_FALSE(ink.empty());
    EXPECT_LT(ink.right, first.w + 2);

    // Glyphs whose pen lies beyond the image width are left out.
    auto narrow = image(60, 40, 8, 0);
    Box cut = draw(*narrow, text24(), "HHHHHHHHHHHHHHHH", 0xffffff, 0, 30);
    EXPECT_LE(cut.w, 60 + 4 + 23);
    EXPECT_LT(cut.w, measure(text24(), "HHHHHHHHHHHHHHHH").w);

    // Bytes above 127 draw the face's missing glyph and nothing worse.
    auto high = image(200, 50, 8, 0);
    EXPECT_TRUE(high->renderText(text24(), "\xc3\xa9\xff\x80", 0xffffff, 5, 35, all.w, all.h, true,
                                 QiImage::BottomLeft));
}

// Whatever follows a full line draws nothing: a text of a megabyte draws the
// very pixels and box of its first few hundred bytes.
TEST(RenderText, AHugeTextDrawsWhatItsVisiblePrefixDraws) {
    for (const std::string unit : {"W", "Kettlebright AVATAR To. ", "l\xff ", "AVAVAVAVAV. "}) {
        std::string huge;
        while (huge.size() < (1u << 20))
            huge += unit;
        const std::string prefix = huge.substr(0, 300);
        auto a = image(320, 40, 8, 0x102030), b = image(320, 40, 8, 0x102030);
        Box all = draw(*a, text24(), huge.c_str(), 0xffffff, 0, 30);
        Box first = draw(*b, text24(), prefix.c_str(), 0xffffff, 0, 30);
        EXPECT_EQ(all.w, first.w) << unit;
        EXPECT_EQ(all.h, first.h) << unit;
        EXPECT_TRUE(std::equal(a->pixels, a->pixels + 320 * 40, b->pixels)) << unit;
    }
}

namespace {

// Decodes a QR symbol with zbarimg; "" when it read nothing, null when the
// tool is not installed.
std::unique_ptr<std::string> decodeQr(const QiImage& img) {
    if (std::system("command -v zbarimg >/dev/null 2>&1") != 0) return nullptr;
    char path[] = "/tmp/qrtestXXXXXX";
    int fd = mkstemp(path);
    if (fd < 0) return nullptr;
    std::string pgm =
        "P5\n" + std::to_string(img.width) + " " + std::to_string(img.height) + "\n255\n";
    for (int i = 0; i < img.width * img.height; ++i)
        pgm += static_cast<char>(img.pixels[i] & 0xff); // grey: every component alike
    bool written = write(fd, pgm.data(), pgm.size()) == static_cast<ssize_t>(pgm.size());
    close(fd);
    auto out = std::make_unique<std::string>();
    if (written) {
        std::string cmd = std::string("zbarimg --raw -q ") + path + " 2>/dev/null";
        if (FILE* p = popen(cmd.c_str(), "r")) {
            char buf[512];
            size_t n;
            while ((n = fread(buf, 1, sizeof buf, p)) > 0)
                out->append(buf, n);
            pclose(p);
        }
    }
    unlink(path);
    if (!out->empty() && out->back() == '\n') out->pop_back();
    return out;
}

} // namespace

TEST(RenderQR, ThreeLettersMakeAVersionOneSymbolInAQuietZone) {
    QiImage probe(1, 1, 8);
    const uint64_t fg = probe.makeGrey(0), bg = probe.makeGrey(255);
    std::unique_ptr<QiImage> qr(QiImage::renderQR("abc", 256, fg, bg));
    ASSERT_NE(qr, nullptr);
    EXPECT_EQ(qr->width, 256);
    EXPECT_EQ(qr->height, 256);
    EXPECT_EQ(qr->bits, 8);

    // 21 modules plus four on each side: 29 grid units.
    auto unit = [](int u) { return 256 * u / 29; };
    for (int y = 0; y < 256; ++y)
        for (int x = 0; x < 256; ++x) {
            uint64_t p = qr->pixels[y * 256 + x];
            ASSERT_TRUE(p == fg || p == bg);
            bool quiet = x < unit(4) || x >= unit(25) || y < unit(4) || y >= unit(25);
            if (quiet) {
                ASSERT_EQ(p, bg) << x << "," << y;
            }
        }
    // Each module is one colour over its grid unit.
    for (int row = 0; row < 21; ++row)
        for (int col = 0; col < 21; ++col) {
            uint64_t first = qr->pixels[unit(row + 4) * 256 + unit(col + 4)];
            for (int y = unit(row + 4); y < unit(row + 5); ++y)
                for (int x = unit(col + 4); x < unit(col + 5); ++x)
                    ASSERT_EQ(qr->pixels[y * 256 + x], first) << col << "," << row;
        }
    auto module = [&](int col, int row) { return qr->pixels[unit(row + 4) * 256 + unit(col + 4)]; };
    EXPECT_EQ(module(0, 0), fg); // corners of the three finder patterns
    EXPECT_EQ(module(20, 0), fg);
    EXPECT_EQ(module(0, 20), fg);
    EXPECT_EQ(module(7, 7), bg); // separator

    auto text = decodeQr(*qr);
    if (!text) GTEST_SKIP() << "zbarimg not installed; symbol checked by its grid only";
    EXPECT_EQ(*text, "abc");
    for (const char* longer :
         {"http://192.168.10.42:9022/RPC2", "Kettlebright 1.2.317 Case Kept"}) {
        qr.reset(QiImage::renderQR(longer, 300, fg, bg));
        EXPECT_EQ(*decodeQr(*qr), longer);
    }
}

TEST(RenderQR, EncoderFailureGivesTheBackground) {
    std::string tooLong(4000, 'x'); // beyond version 40 at the lowest correction level
    for (const char* text : {tooLong.c_str(), static_cast<const char*>(nullptr)}) {
        std::unique_ptr<QiImage> qr(QiImage::renderQR(text, 64, 0, 0x808080));
        ASSERT_NE(qr, nullptr);
        EXPECT_EQ(qr->width, 64);
        EXPECT_TRUE(inkOf(*qr, 0x808080).empty());
    }
    std::unique_ptr<QiImage> empty(QiImage::renderQR("abc", 0, 0, 0x808080));
    ASSERT_NE(empty, nullptr);
    EXPECT_EQ(empty->width, 0);
}
