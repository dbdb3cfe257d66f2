#include "ImageFileWriters.h"
#include "QiImage.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <cstdio> // before jpeglib.h
#include <jpeglib.h>
#include <png.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <random>
#include <string>
#include <vector>

namespace fs = std::filesystem;
using testsupport::ScopedCapture;
using testsupport::writeTestJpeg;
using testsupport::writeTestPng;

namespace {

using Bytes = std::vector<uint8_t>;

Bytes readBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), {});
}

void writeBytes(const std::string& path, const Bytes& data) {
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(data.data()),
               static_cast<std::streamsize>(data.size()));
}

void writeText(const std::string& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
}

// "W H" as ImageMagick's identify sees the file, or "" when identify is absent.
std::string identifySize(const std::string& path) {
    std::string cmd = "identify -format '%w %h' '" + path + "' 2>/dev/null";
    FILE* p = popen(cmd.c_str(), "r");
    if (!p) return "";
    char buf[64] = {};
    size_t n = std::fread(buf, 1, sizeof buf - 1, p);
    pclose(p);
    return std::string(buf, n);
}

bool haveIdentify() {
    return std::system("command -v identify >/dev/null 2>&1") == 0;
}

struct Rgb {
    int r, g, b;
};

Rgb at(const QiImage* im, int x, int y) {
    Rgb c{};
    im->getPixel(x, y, c.r, c.g, c.b);
    return c;
}

uint32_t crc32(const uint8_t* p, size_t n) {
    uint32_t c = 0xFFFFFFFFu;
    for (size_t i = 0; i < n; ++i) {
        c ^= p[i];
        for (int k = 0; k < 8; ++k)
            c = (c >> 1) ^ (0xEDB88320u & (0u - (c & 1)));
    }
    return ~c;
}

void putBe32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; ++i)
        p[i] = static_cast<uint8_t>(v >> (24 - 8 * i));
}

// This process's memory in kB from /proc/self/status: "VmRSS:" resident now,
// "VmHWM:" the most resident since the peak was last reset.
long statusKb(const std::string& field) {
    std::ifstream in("/proc/self/status");
    for (std::string line; std::getline(in, line);)
        if (line.rfind(field, 0) == 0) return std::stol(line.substr(field.size()));
    return -1;
}

Bytes mtiHeader(uint32_t w, uint32_t h, uint32_t coding, uint32_t bpp, uint32_t bits) {
    Bytes b(24);
    uint32_t f[6] = {0x4D544901, w, h, coding, bpp, bits};
    for (int i = 0; i < 6; ++i)
        for (int k = 0; k < 4; ++k)
            b[i * 4 + k] = static_cast<uint8_t>(f[i] >> (8 * k));
    return b;
}

class ImageFile : public ::testing::Test {
protected:
    void SetUp() override {
        char tmpl[] = "/tmp/kb-imagefile-XXXXXX";
        ASSERT_TRUE(mkdtemp(tmpl));
        dir = tmpl;
    }
    void TearDown() override { fs::remove_all(dir); }
    std::string path(const std::string& name) const { return dir + "/" + name; }
    std::vector<std::string> entries() const {
        std::vector<std::string> out;
        for (auto& e : fs::directory_iterator(dir))
            out.push_back(e.path().filename().string());
        return out;
    }
    std::string dir;
};

} // namespace

TEST_F(ImageFile, TenBitMtiRoundTripKeepsEveryPixel) {
    QiImage im(37, 23, 10);
    im.coding = QiImage::YCbCr;
    std::mt19937_64 rng(7);
    for (int i = 0; i < 37 * 23; ++i)
        im.pixels[i] = rng() & ((uint64_t(1) << 30) - 1);
    ASSERT_TRUE(im.writeMti(path("x.mti").c_str()));
    EXPECT_EQ(entries(), std::vector<std::string>{"x.mti"}); // no temporary left behind

    std::unique_ptr<QiImage> viaBase(QiImage::readFile(path("x").c_str(), 8));
    std::unique_ptr<QiImage> viaPath(QiImage::readMti(path("x.mti").c_str()));
    for (QiImage* back : {viaBase.get(), viaPath.get()}) {
        ASSERT_TRUE(back);
        EXPECT_EQ(back->width, 37);
        EXPECT_EQ(back->height, 23);
        EXPECT_EQ(back->bits, 10);
        EXPECT_EQ(back->coding, QiImage::YCbCr);
        EXPECT_TRUE(std::equal(im.pixels, im.pixels + 37 * 23, back->pixels));
    }
    unsigned w = 0, h = 0;
    QiImage::PixelCoding coding;
    EXPECT_TRUE(QiImage::fileInfo(path("x.mti").c_str(), w, h, coding));
    EXPECT_EQ(w, 37u);
    EXPECT_EQ(h, 23u);

    // Bytes after the last pixel are not read.
    Bytes longer = readBytes(path("x.mti"));
    longer.resize(longer.size() + 13, 0xEE);
    writeBytes(path("long.mti"), longer);
    std::unique_ptr<QiImage> tail(QiImage::readFile(path("long").c_str(), 8));
    ASSERT_TRUE(tail);
    EXPECT_TRUE(std::equal(im.pixels, im.pixels + 37 * 23, tail->pixels));
}

TEST_F(ImageFile, LyingOrShortMtiHeadersGiveNullAndATrace) {
    const Bytes good = mtiHeader(4, 4, 0, 8, 8);
    const Bytes bad[] = {
        mtiHeader(70000, 1, 0, 8, 10),          // side too long
        mtiHeader(65535, 65535, 0, 8, 8),       // too many pixels (and 32-bit size overflow)
        mtiHeader(4, 4, 0, 4, 8),               // bytes per pixel not 8
        mtiHeader(4, 4, 0, 8, 40),              // bits that do not pack into 64
        mtiHeader(4, 4, 7, 8, 8),               // unknown coding
        mtiHeader(0, 4, 0, 8, 8),               // empty
        Bytes(good.begin(), good.begin() + 20), // header cut short
    };
    for (const Bytes& b : bad) {
        ScopedCapture capture;
        EXPECT_EQ(QiImage::decodeMti(b.data(), static_cast<unsigned>(b.size())), nullptr);
        writeBytes(path("bad.mti"), b);
        EXPECT_EQ(QiImage::readMti(path("bad.mti").c_str()), nullptr);
        EXPECT_EQ(QiImage::readFile(path("bad").c_str(), 8), nullptr);
        EXPECT_FALSE(capture.out->take().empty());
    }
    unsigned w, h;
    Bytes eight(good.begin(), good.begin() + 8);
    EXPECT_FALSE(QiImage::identifyMti(eight.data(), 8, w, h));
}

// A file whose pixels cannot all be read is unreadable: every reader gives
// null and a Warning, so the image-file pattern shows its error text.
TEST_F(ImageFile, MtiWithMissingPixelsGivesNull) {
    Bytes b = mtiHeader(4, 2, 0, 8, 8);
    const size_t cuts[] = {0, 3 * 8 + 5, 7 * 8, 8 * 8 - 1}; // pixel bytes the file holds
    for (size_t cut : cuts) {
        Bytes file = b;
        file.resize(b.size() + cut, 0x11);
        writeBytes(path("s.mti"), file);
        ScopedCapture capture;
        EXPECT_EQ(QiImage::decodeMti(file.data(), static_cast<unsigned>(file.size())), nullptr);
        EXPECT_EQ(QiImage::readMti(path("s.mti").c_str()), nullptr) << cut;
        EXPECT_EQ(QiImage::readFile(path("s").c_str(), 8), nullptr) << cut;
        EXPECT_EQ(capture.out->take().size(), 3u) << cut;
    }
}

TEST_F(ImageFile, WrittenPngIsReadBackByUsAndByIdentify) {
    QiImage im(20, 10, 10);
    im.clear(0);
    im.setPixel(0, 0, 1023, 0, 0);
    im.setPixel(1, 0, 0, 1023, 0);
    im.setPixel(2, 0, 0, 0, 1023);
    im.setPixel(3, 9, 400, 200, 100);
    ASSERT_TRUE(im.writePng(path("w.png").c_str()));
    EXPECT_EQ(entries(), std::vector<std::string>{"w.png"});

    std::unique_ptr<QiImage> back(QiImage::readFile(path("w").c_str(), 10));
    ASSERT_TRUE(back);
    EXPECT_EQ(back->width, 20);
    EXPECT_EQ(back->height, 10);
    Rgb red = at(back.get(), 0, 0), green = at(back.get(), 1, 0), blue = at(back.get(), 2, 0);
    EXPECT_EQ(red.r, 1020);
    EXPECT_EQ(red.g + red.b, 0);
    EXPECT_EQ(green.g, 1020);
    EXPECT_EQ(blue.b, 1020);
    Rgb other = at(back.get(), 3, 9);
    EXPECT_EQ(other.r, 400);
    EXPECT_EQ(other.g, 200);
    EXPECT_EQ(other.b, 100);

    // The suggested palette holds defined entries (a grey ramp), the text chunks are there.
    FILE* f = std::fopen(path("w.png").c_str(), "rb");
    png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png_create_info_struct(png);
    png_init_io(png, f);
    png_read_info(png, info);
    png_colorp palette = nullptr;
    int n = 0;
    png_get_PLTE(png, info, &palette, &n);
    ASSERT_EQ(n, 256);
    for (int i = 0; i < 256; ++i)
        EXPECT_EQ(palette[i].red + palette[i].green + palette[i].blue, 3 * i);
    png_textp text = nullptr;
    EXPECT_EQ(png_get_text(png, info, &text, nullptr), 3);
    png_destroy_read_struct(&png, &info, nullptr);
    std::fclose(f);

    if (!haveIdentify()) GTEST_SKIP() << "ImageMagick's identify is not installed";
    EXPECT_EQ(identifySize(path("w.png")), "20 10");
}

TEST_F(ImageFile, TransparentPixelsShowTheTransparencyColour) {
    ASSERT_TRUE(writeTestPng(path("t.png"), 2, 1, PNG_COLOR_TYPE_RGB_ALPHA, 8,
                             {10, 20, 30, 255, 200, 100, 50, 0}));
    std::unique_ptr<QiImage> at8(QiImage::readFile(path("t").c_str(), 8));
    std::unique_ptr<QiImage> at10(QiImage::readPng(path("t.png").c_str(), 10));
    ASSERT_TRUE(at8 && at10);
    Rgb a = at(at8.get(), 0, 0), t8 = at(at8.get(), 1, 0), t10 = at(at10.get(), 1, 0);
    EXPECT_EQ(a.r * 10000 + a.g * 100 + a.b, 10 * 10000 + 20 * 100 + 30); // no blending
    EXPECT_EQ(t8.r, 128);
    EXPECT_EQ(t8.g, 160);
    EXPECT_EQ(t8.b, 48);
    EXPECT_EQ(t10.r, 512);
    EXPECT_EQ(t10.g, 640);
    EXPECT_EQ(t10.b, 192);
}

TEST_F(ImageFile, GreyPaletteSixteenBitAndInterlacedPngs) {
    struct Case {
        const char* name;
        int type, depth;
        Bytes samples, palette, trns;
        bool interlaced;
        Rgb first, second;
    };
    const Case cases[] = {
        {"grey-alpha",
         PNG_COLOR_TYPE_GRAY_ALPHA,
         8,
         {200, 255, 90, 0},
         {},
         {},
         false,
         {200, 200, 200},
         {128, 160, 48}},
        {"grey-1bit", PNG_COLOR_TYPE_GRAY, 1, {0x80}, {}, {}, false, {255, 255, 255}, {0, 0, 0}},
        {"grey-16",
         PNG_COLOR_TYPE_GRAY,
         16,
         {0x12, 0x34, 0xAB, 0xCD},
         {},
         {},
         false,
         {0x12, 0x12, 0x12},
         {0xAB, 0xAB, 0xAB}},
        {"palette-trns",
         PNG_COLOR_TYPE_PALETTE,
         8,
         {0, 1},
         {1, 2, 3, 250, 251, 252},
         {0},
         false,
         {128, 160, 48},
         {250, 251, 252}},
        {"interlaced",
         PNG_COLOR_TYPE_RGB,
         8,
         {9, 8, 7, 6, 5, 4},
         {},
         {},
         true,
         {9, 8, 7},
         {6, 5, 4}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::string p = path(std::string(c.name) + ".png");
        ASSERT_TRUE(
            writeTestPng(p, 2, 1, c.type, c.depth, c.samples, c.interlaced, c.palette, c.trns));
        Bytes data = readBytes(p);
        std::unique_ptr<QiImage> im(
            QiImage::decodePng(data.data(), static_cast<unsigned>(data.size()), 8));
        ASSERT_TRUE(im);
        for (int x = 0; x < 2; ++x) {
            Rgb got = at(im.get(), x, 0), want = x ? c.second : c.first;
            EXPECT_EQ(got.r, want.r) << x;
            EXPECT_EQ(got.g, want.g) << x;
            EXPECT_EQ(got.b, want.b) << x;
        }
    }
}

TEST_F(ImageFile, CutOrLyingPngs) {
    // Noise, so the image data spans several IDAT chunks.
    QiImage noise(128, 64, 8);
    std::mt19937 rng(3);
    for (int i = 0; i < 128 * 64; ++i)
        noise.pixels[i] = rng() & 0xFFFFFF;
    ASSERT_TRUE(noise.writePng(path("n.png").c_str()));
    Bytes full = readBytes(path("n.png"));

    // Cut in the image data: the rows read are kept, the rest is black, a trace says so.
    {
        ScopedCapture capture;
        std::unique_ptr<QiImage> cut(
            QiImage::decodePng(full.data(), unsigned(full.size() * 3 / 4), 8));
        ASSERT_TRUE(cut);
        EXPECT_EQ(cut->pixels[0], noise.pixels[0]);
        EXPECT_EQ(cut->pixels[128 * 64 - 1], 0u);
        EXPECT_FALSE(capture.out->take().empty());
    }
    // Cut in the header, a header that claims a size we refuse, or a text
    // chunk that claims 2 GB: null and a trace, and no memory taken for
    // what is claimed.
    Bytes lying(full.begin(), full.begin() + 33);
    putBe32(&lying[16], 100000);
    putBe32(&lying[29], crc32(&lying[12], 17));
    lying.insert(lying.end(), full.begin() + 33, full.end());
    Bytes longText = full;
    const uint8_t tag[] = {'t', 'E', 'X', 't'};
    auto text = std::search(longText.begin(), longText.end(), tag, tag + 4);
    ASSERT_NE(text, longText.end());
    putBe32(&*text - 4, 0x7FFFFFF0);
    for (const Bytes& b : {Bytes(full.begin(), full.begin() + 30), lying, longText}) {
        ScopedCapture capture;
        std::ofstream("/proc/self/clear_refs") << "5"; // resets the peak
        const long before = statusKb("VmRSS:");
        EXPECT_EQ(QiImage::decodePng(b.data(), static_cast<unsigned>(b.size()), 8), nullptr);
        EXPECT_FALSE(capture.out->take().empty());
        EXPECT_LT(statusKb("VmHWM:") - before, 64 * 1024);
    }
    unsigned w, h;
    EXPECT_FALSE(QiImage::identifyPng(full.data(), 20, w, h));
}

TEST_F(ImageFile, ReadFilePrefersPngOverJpeg) {
    QiImage red(8, 8, 8), blue(8, 8, 8);
    red.clear(0xFF0000);
    blue.clear(0x0000FF);
    ASSERT_TRUE(blue.writeJpg(path("x.jpg").c_str(), 90));
    ASSERT_TRUE(red.writePng(path("x.png").c_str()));
    std::unique_ptr<QiImage> im(QiImage::readFile(path("x").c_str(), 8));
    ASSERT_TRUE(im);
    EXPECT_EQ(at(im.get(), 4, 4).r, 255);
}

TEST_F(ImageFile, JpegKeepsRedRedAndIsReadByIdentify) {
    QiImage im(16, 8, 10);
    for (int y = 0; y < 8; ++y)
        for (int x = 0; x < 16; ++x)
            im.setPixel(x, y, x < 8 ? 1023 : 0, 0, x < 8 ? 0 : 1023);
    ASSERT_TRUE(im.writeJpg(path("c.jpg").c_str(), 95));
    std::unique_ptr<QiImage> back(QiImage::readFile(path("c").c_str(), 10));
    ASSERT_TRUE(back);
    EXPECT_EQ(back->width, 16);
    EXPECT_EQ(back->height, 8);
    Rgb red = at(back.get(), 3, 4), blue = at(back.get(), 12, 4);
    EXPECT_GT(red.r, 900);
    EXPECT_LT(red.b, 100);
    EXPECT_GT(blue.b, 900);
    EXPECT_LT(blue.r, 100);
    unsigned w = 0, h = 0;
    QiImage::PixelCoding coding;
    EXPECT_TRUE(QiImage::fileInfo(path("c.jpg").c_str(), w, h, coding));
    EXPECT_EQ(w * 100 + h, 16u * 100 + 8);

    if (!haveIdentify()) GTEST_SKIP() << "ImageMagick's identify is not installed";
    EXPECT_EQ(identifySize(path("c.jpg")), "16 8");
}

TEST_F(ImageFile, GreyscaleAndProgressiveJpegs) {
    ASSERT_TRUE(writeTestJpeg(path("g.jpg"), 9, 7, 1, Bytes(9 * 7, 180), false));
    std::unique_ptr<QiImage> grey(QiImage::readJpg(path("g.jpg").c_str(), 8));
    ASSERT_TRUE(grey);
    for (int y = 0; y < 7; ++y)
        for (int x = 0; x < 9; ++x) {
            Rgb c = at(grey.get(), x, y);
            EXPECT_NEAR(c.r, 180, 2);
            EXPECT_EQ(c.r, c.g);
            EXPECT_EQ(c.g, c.b);
        }

    Bytes rgb;
    for (int i = 0; i < 24 * 16; ++i)
        rgb.insert(rgb.end(), {230, 20, 20});
    ASSERT_TRUE(writeTestJpeg(path("p.jpg"), 24, 16, 3, rgb, true));
    std::unique_ptr<QiImage> prog(QiImage::readFile(path("p").c_str(), 8));
    ASSERT_TRUE(prog);
    Rgb c = at(prog.get(), 10, 10);
    EXPECT_NEAR(c.r, 230, 4);
    EXPECT_NEAR(c.b, 20, 4);
    // Only the baseline frame marker identifies a JPEG, so fileInfo goes on to the
    // (missing) raw sidecar.
    Bytes data = readBytes(path("p.jpg"));
    unsigned w, h;
    QiImage::PixelCoding coding;
    EXPECT_FALSE(QiImage::identifyJpeg(data.data(), static_cast<unsigned>(data.size()), w, h));
    EXPECT_FALSE(QiImage::fileInfo(path("p.jpg").c_str(), w, h, coding));
}

TEST_F(ImageFile, BrokenJpegsNeverEndTheProcess) {
    ScopedCapture capture;
    Bytes junk = {0xFF, 0xD8, 0xFF, 0xC0, 0x00, 0x03, 1, 2, 3, 4, 5, 6, 7, 8};
    EXPECT_EQ(QiImage::decodeJpg(junk.data(), static_cast<unsigned>(junk.size()), 8), nullptr);
    EXPECT_FALSE(capture.out->take().empty());

    QiImage im(64, 64, 8);
    std::mt19937 rng(5);
    for (int i = 0; i < 64 * 64; ++i)
        im.pixels[i] = rng() & 0xFFFFFF;
    ASSERT_TRUE(im.writeJpg(path("cut.jpg").c_str(), 80));
    Bytes data = readBytes(path("cut.jpg"));
    std::unique_ptr<QiImage> cut(
        QiImage::decodeJpg(data.data(), static_cast<unsigned>(data.size() * 3 / 4), 8));
    ASSERT_TRUE(cut); // libjpeg ends a cut file with a warning and decodes what it has
    EXPECT_EQ(cut->width, 64);
    EXPECT_FALSE(capture.out->take().empty());
    EXPECT_EQ(QiImage::decodeJpg(data.data(), static_cast<unsigned>(data.size()), 7), nullptr);

    EXPECT_EQ(QiImage::readJpg(path("missing.jpg").c_str(), 8), nullptr);
    auto lines = capture.out->take();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[1], "Info: can't open " + path("missing.jpg") + "\n");
}

TEST_F(ImageFile, RawUyvyFrameFromItsSidecar) {
    writeText(path("frame.raw_data"), "[RawData]\nwidth = 4\nHEIGHT = 0x2\nFourCC = uyvy\n");
    Bytes data;
    for (int i = 0; i < 16; ++i)
        data.push_back(static_cast<uint8_t>(16 + i));
    writeBytes(path("frame.yuv"), data);
    std::unique_ptr<QiImage> im(QiImage::readFile(path("frame").c_str(), 10));
    ASSERT_TRUE(im);
    EXPECT_EQ(im->coding, QiImage::YCbCr);
    // U Y0 V Y1: pixel 0 = (U, Y0, 0), pixel 1 = (V, Y1, 0).
    EXPECT_EQ(im->pixels[0], (uint64_t(16) << 22) | (uint64_t(17) << 12));
    EXPECT_EQ(im->pixels[1], (uint64_t(18) << 22) | (uint64_t(19) << 12));
    EXPECT_EQ(im->pixels[7], (uint64_t(30) << 22) | (uint64_t(31) << 12));
    std::unique_ptr<QiImage> direct(QiImage::readRaw(path("frame.yuv").c_str(), 10));
    ASSERT_TRUE(direct);
    EXPECT_TRUE(std::equal(im->pixels, im->pixels + 8, direct->pixels));

    data.resize(8);
    writeBytes(path("frame.yuv"), data);
    im.reset(QiImage::readFile(path("frame").c_str(), 8));
    ASSERT_TRUE(im);
    for (int i = 0; i < 8; ++i)
        EXPECT_EQ(im->pixels[i] != 0, i < 4) << i;

    unsigned w = 0, h = 0;
    QiImage::PixelCoding coding = QiImage::RGB;
    EXPECT_TRUE(QiImage::fileInfo(path("frame.yuv").c_str(), w, h, coding));
    EXPECT_EQ(w * 10 + h, 42u);
    EXPECT_EQ(coding, QiImage::YCbCr);

    // Without Width the sidecar describes nothing.
    writeText(path("frame.raw_data"), "[RawData]\nHeight=2\nFourCC=UYVY\n");
    QiImage::RawInfo info;
    EXPECT_FALSE(QiImage::rawInfo(path("frame.yuv").c_str(), info));
    EXPECT_FALSE(QiImage::fileInfo(path("frame.yuv").c_str(), w, h, coding));
}

TEST_F(ImageFile, SidecarFieldsAndNames) {
    fs::create_directory(path("a.b"));
    writeText(path("a.b/clip.raw_data"),
              "[rawdata]\nWidth=010\nHeight=3\nFourCC=RGB24x\nTopDown=no\nInterlaced=TRUE\n"
              "Colorspace=Rec709-extra\nLevels=Video\nPixelAspect=1.0000000001\n");
    QiImage::RawInfo info;
    // The name without a dot of its own gets ".raw_data"; the folder's dot is not used.
    ASSERT_TRUE(QiImage::rawInfo(path("a.b/clip").c_str(), info));
    EXPECT_EQ(info.width, 8u); // octal
    EXPECT_EQ(info.height, 3u);
    EXPECT_STREQ(info.fourCC, "RGB24");
    EXPECT_FALSE(info.topDown);
    EXPECT_TRUE(info.interlaced);
    EXPECT_STREQ(info.colorspace, "Rec709-ex");
    EXPECT_STREQ(info.pixelAspect, "1.00000000");
    EXPECT_FALSE(QiImage::rawInfo(path("a.b/clip.raw_data").c_str(), info));
}

TEST_F(ImageFile, RawFourCCsAndLyingSidecars) {
    const uint8_t data[] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
    auto decode = [&](const char* fourCC, uint32_t w, uint32_t h, unsigned length) {
        QiImage::RawInfo info;
        info.width = w;
        info.height = h;
        std::snprintf(info.fourCC, sizeof info.fourCC, "%s", fourCC);
        return std::unique_ptr<QiImage>(QiImage::decodeRaw(data, length, info, 8));
    };
    auto rgb24 = decode("rgb24", 2, 2, 9); // B G R order; data for three pixels
    ASSERT_TRUE(rgb24);
    EXPECT_EQ(rgb24->pixels[0], 0x030201u);
    EXPECT_EQ(rgb24->pixels[2], 0x090807u);
    EXPECT_EQ(rgb24->pixels[3], 0u);
    auto rgb32 = decode("RGB32", 2, 1, 8);
    ASSERT_TRUE(rgb32);
    EXPECT_EQ(rgb32->pixels[1], 0x070605u);
    auto yuy2 = decode("YUY2", 3, 2, 16); // odd width: each row ends in a whole group
    ASSERT_TRUE(yuy2);
    EXPECT_EQ(yuy2->pixels[0], 0x020100u); // (U, Y0, 0)
    EXPECT_EQ(yuy2->pixels[2], 0x060500u);
    EXPECT_EQ(yuy2->pixels[3], 0x0A0900u); // row 1 starts at byte 8
    auto ayuv = decode("AYUV", 2, 2, 16);
    ASSERT_TRUE(ayuv);
    for (int i = 0; i < 4; ++i)
        EXPECT_EQ(ayuv->pixels[i], 0u);

    ScopedCapture capture;
    EXPECT_FALSE(decode("NV12", 2, 2, 16));
    EXPECT_FALSE(decode("UYVY", 100000, 2, 16));
    EXPECT_FALSE(decode("UYVY", 60000, 60000, 16));
    auto lines = capture.out->take();
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0], "Warning: decodeRaw: unsupported FourCC 'NV12'\n");

    writeText(path("big.raw_data"),
              "[RawData]\nWidth=4294967295\nHeight=4294967295\nFourCC=RGB32\n");
    writeBytes(path("big.raw"), Bytes(64, 1));
    EXPECT_EQ(QiImage::readFile(path("big").c_str(), 8), nullptr);
    EXPECT_EQ(QiImage::readRaw(path("big.raw").c_str(), 8), nullptr);
}

TEST_F(ImageFile, WritersReportFailureAndLeaveNoPartialFile) {
    ScopedCapture capture;
    QiImage im(4, 4, 8);
    im.clear(0x123456);
    std::string missing = path("no/such/folder/x");
    EXPECT_FALSE(im.writePng((missing + ".png").c_str()));
    EXPECT_FALSE(im.writeJpg((missing + ".jpg").c_str(), 90));
    EXPECT_FALSE(im.writeMti((missing + ".mti").c_str()));

    // A full disk: the writers must notice that the data never landed.
    if (access("/dev/full", W_OK) == 0) {
        QiImage big(256, 256, 8);
        big.clear(0);
        EXPECT_FALSE(big.writePng("/dev/full"));
        EXPECT_FALSE(big.writeJpg("/dev/full", 90));
        EXPECT_FALSE(big.writeMti("/dev/full"));
    }

    // A failure after the file was started keeps the previous file whole and
    // leaves no temporary behind.
    ASSERT_TRUE(im.writePng(path("keep.png").c_str()));
    ASSERT_TRUE(im.writeJpg(path("keep.jpg").c_str(), 90));
    Bytes png = readBytes(path("keep.png")), jpg = readBytes(path("keep.jpg"));
    QiImage empty(0, 4, 8);
    EXPECT_FALSE(empty.writePng(path("keep.png").c_str()));
    EXPECT_FALSE(empty.writeJpg(path("keep.jpg").c_str(), 90));
    EXPECT_EQ(readBytes(path("keep.png")), png);
    EXPECT_EQ(readBytes(path("keep.jpg")), jpg);
    fs::create_directory(path("dir.mti"));
    EXPECT_FALSE(im.writeMti(path("dir.mti").c_str()));
    auto names = entries();
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"dir.mti", "keep.jpg", "keep.png"}));
}

// A FIFO, a device or an empty file is never read: nothing waits on it, a
// Warning names it, and the readers go on.
TEST_F(ImageFile, FifosDevicesAndEmptyFilesAreNeverWaitedOn) {
    ScopedCapture capture;
    unsigned w = 0, h = 0;
    QiImage::PixelCoding coding;
    {
        testsupport::FifoWatch fifo(path("pipe.png"));
        ASSERT_TRUE(fifo.made);
        EXPECT_FALSE(QiImage::fileInfo(fifo.path.c_str(), w, h, coding));
        EXPECT_EQ(QiImage::readFile(path("pipe").c_str(), 8), nullptr);
        EXPECT_EQ(QiImage::readPng(fifo.path.c_str(), 8), nullptr);
        EXPECT_EQ(QiImage::readJpg(fifo.path.c_str(), 8), nullptr);
        EXPECT_EQ(QiImage::readMti(fifo.path.c_str()), nullptr);
        EXPECT_FALSE(fifo.stop()) << "a reader waited on the FIFO";
    }
    {
        // A raw frame whose sidecar is a FIFO.
        writeBytes(path("frame.yuv"), Bytes(16, 0x80));
        testsupport::FifoWatch sidecar(path("frame.raw_data"));
        EXPECT_FALSE(QiImage::fileInfo(path("frame.yuv").c_str(), w, h, coding));
        EXPECT_EQ(QiImage::readFile(path("frame").c_str(), 8), nullptr);
        EXPECT_EQ(QiImage::readRaw(path("frame.yuv").c_str(), 8), nullptr);
        EXPECT_FALSE(sidecar.stop()) << "a reader waited on the sidecar";
    }
    auto warned = [&](const std::string& text) {
        bool found = false;
        for (const std::string& line : capture.out->take())
            found |= line.rfind("Warning: ", 0) == 0 && line.find(text) != std::string::npos;
        return found;
    };
    EXPECT_TRUE(warned(path("pipe.png") + " is not a regular file"));
    EXPECT_FALSE(QiImage::fileInfo("/dev/null", w, h, coding));
    EXPECT_TRUE(warned("fileInfo: /dev/null is not a regular file"));

    // An empty file is no image; only a reader asked for it says so.
    writeBytes(path("empty.png"), {});
    EXPECT_FALSE(QiImage::fileInfo(path("empty.png").c_str(), w, h, coding));
    EXPECT_TRUE(capture.out->take().empty());
    EXPECT_EQ(QiImage::readFile(path("empty").c_str(), 8), nullptr);
    EXPECT_TRUE(warned(path("empty.png") + " is empty"));
}

// A link is written through to its target and stays a link; a file in a
// folder that takes no new file is rewritten in place when it may be written.
TEST_F(ImageFile, WritersFollowLinksAndWriteInPlaceInAClosedFolder) {
    QiImage old(2, 2, 8), im(2, 2, 8);
    old.clear(old.makeGrey(10));
    im.clear(im.makeGrey(200));
    auto grey8 = [](const std::string& file) {
        std::unique_ptr<QiImage> read(QiImage::readFile(file.c_str(), 8));
        return read ? at(read.get(), 1, 1).r : -1;
    };
    ASSERT_TRUE(old.writePng(path("real.png").c_str()));
    fs::create_symlink("real.png", path("link.png"));
    fs::create_symlink("link.png", path("chain.png"));
    fs::create_symlink("made.png", path("dangling.png"));
    EXPECT_TRUE(im.writePng(path("chain.png").c_str()));
    EXPECT_TRUE(im.writeMti(path("dangling.png").c_str()));
    EXPECT_TRUE(fs::is_symlink(path("chain.png")));
    EXPECT_TRUE(fs::is_symlink(path("link.png")));
    EXPECT_TRUE(fs::is_symlink(path("dangling.png")));
    EXPECT_EQ(grey8(path("real.png")), 200);
    EXPECT_EQ(grey8(path("made.png")), 200);

    // The folder is closed to new files (for an unprivileged user; root drops
    // to nobody in a child process to see it so).
    fs::create_directory(path("closed"));
    ASSERT_TRUE(old.writePng(path("closed/keep.png").c_str()));
    ASSERT_EQ(::chmod(dir.c_str(), 0755), 0);
    ASSERT_EQ(::chmod(path("closed").c_str(), 0555), 0);
    ASSERT_EQ(::chmod(path("closed/keep.png").c_str(), 0666), 0);
    const std::string keep = path("closed/keep.png");
    bool written = false;
    if (::geteuid() == 0) {
        pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            if (::setgid(65534) != 0 || ::setuid(65534) != 0) ::_exit(2);
            ::_exit(im.writePng(keep.c_str()) ? 0 : 1);
        }
        int status = 0;
        ASSERT_EQ(::waitpid(child, &status, 0), child);
        ASSERT_TRUE(WIFEXITED(status));
        if (WEXITSTATUS(status) == 2) GTEST_SKIP() << "cannot drop privileges";
        written = WEXITSTATUS(status) == 0;
    } else {
        written = im.writePng(keep.c_str());
    }
    ::chmod(path("closed").c_str(), 0755);
    EXPECT_TRUE(written);
    EXPECT_EQ(grey8(keep), 200);
    EXPECT_EQ(std::distance(fs::directory_iterator(path("closed")), {}), 1);
}

TEST_F(ImageFile, MissingFilesAndBadDepths) {
    unsigned w, h;
    QiImage::PixelCoding coding;
    EXPECT_EQ(QiImage::readFile(path("nothing").c_str(), 8), nullptr);
    EXPECT_FALSE(QiImage::fileInfo(path("nothing.png").c_str(), w, h, coding));
    QiImage im(2, 2, 8);
    im.clear(0);
    ASSERT_TRUE(im.writePng(path("d.png").c_str()));
    ScopedCapture capture;
    EXPECT_EQ(QiImage::readPng(path("d.png").c_str(), 7), nullptr);
    EXPECT_EQ(QiImage::readPng(path("d.png").c_str(), 17), nullptr);
    EXPECT_EQ(capture.out->take().size(), 2u);
}
