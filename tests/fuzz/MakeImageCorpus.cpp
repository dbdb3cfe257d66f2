// Writes the seed corpora of the image-file fuzz targets: a few small valid
// files of each kind, into <root>/mti, png, jpeg and raw.
#include "ImageFileWriters.h"
#include "QiImage.h"

#include <cstdio> // before jpeglib.h
#include <jpeglib.h>
#include <png.h>
#include <sys/stat.h>

#include <string>
#include <vector>

namespace {

using testsupport::writeTestPng;
using Bytes = std::vector<uint8_t>;

bool writeFile(const std::string& path, const Bytes& data) {
    FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) return false;
    bool ok = std::fwrite(data.data(), 1, data.size(), f) == data.size();
    return std::fclose(f) == 0 && ok;
}

QiImage* gradient(int w, int h, int bits) {
    QiImage* im = new QiImage(w, h, bits);
    int max = (1 << bits) - 1;
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
            im->setPixel(x, y, x * max / w, y * max / h, (x + y) % (max + 1));
    return im;
}

// Rows of a made-up pattern, different on every row.
bool writeJpeg(const std::string& path, unsigned w, unsigned h, int components, bool progressive) {
    Bytes samples(size_t(w) * h * components);
    const size_t rowBytes = size_t(w) * components;
    for (size_t i = 0; i < samples.size(); ++i)
        samples[i] = static_cast<uint8_t>(i % rowBytes * 7 + i / rowBytes * 13);
    return testsupport::writeTestJpeg(path, w, h, components, samples, progressive, 75,
                                      progressive ? 0 : 1);
}

Bytes rawRecord(const std::string& sidecar, size_t dataBytes) {
    Bytes r = {static_cast<uint8_t>(sidecar.size()), static_cast<uint8_t>(sidecar.size() >> 8)};
    r.insert(r.end(), sidecar.begin(), sidecar.end());
    for (size_t i = 0; i < dataBytes; ++i)
        r.push_back(static_cast<uint8_t>(i * 37 + 11));
    return r;
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s <corpus root>\n", argv[0]);
        return 2;
    }
    const std::string root = argv[1];
    for (const char* sub : {"", "/mti", "/png", "/jpeg", "/raw"})
        mkdir((root + sub).c_str(), 0777);
    bool ok = true;

    QiImage* ten = gradient(5, 3, 10);
    ten->coding = QiImage::YCbCr;
    ok &= ten->writeMti((root + "/mti/ycbcr10.mti").c_str());
    QiImage* eight = gradient(8, 4, 8);
    ok &= eight->writeMti((root + "/mti/rgb8.mti").c_str());
    ok &= eight->writePng((root + "/png/written.png").c_str());
    ok &= eight->writeJpg((root + "/jpeg/written.jpg").c_str(), 80);
    delete ten;
    delete eight;

    ok &= writeTestPng(root + "/png/rgba.png", 3, 2, PNG_COLOR_TYPE_RGB_ALPHA, 8,
                       Bytes{1,  2,  3,  255, 4,  5,  6,  0, 7,  8,  9,  128,
                             10, 11, 12, 255, 13, 14, 15, 0, 16, 17, 18, 1});
    ok &= writeTestPng(root + "/png/grey-alpha.png", 2, 2, PNG_COLOR_TYPE_GRAY_ALPHA, 8,
                       Bytes{200, 255, 90, 0, 10, 20, 30, 40});
    ok &=
        writeTestPng(root + "/png/grey-2bit.png", 4, 2, PNG_COLOR_TYPE_GRAY, 2, Bytes{0x1B, 0xE4});
    ok &= writeTestPng(root + "/png/palette-trns.png", 2, 2, PNG_COLOR_TYPE_PALETTE, 4,
                       Bytes{0x01, 0x21}, false, Bytes{1, 2, 3, 250, 251, 252, 9, 9, 9},
                       Bytes{0, 128});
    ok &= writeTestPng(root + "/png/rgb16-interlaced.png", 3, 3, PNG_COLOR_TYPE_RGB, 16,
                       Bytes(3 * 3 * 6, 0x5A), true);

    ok &= writeJpeg(root + "/jpeg/grey.jpg", 9, 7, 1, false);
    ok &= writeJpeg(root + "/jpeg/progressive.jpg", 17, 9, 3, true);
    ok &= writeJpeg(root + "/jpeg/restart.jpg", 16, 16, 3, false);

    ok &= writeFile(root + "/raw/uyvy.bin",
                    rawRecord("[RawData]\nWidth=4\nHeight=2\nFourCC=uyvy\n", 16));
    ok &= writeFile(root + "/raw/yuy2-odd.bin",
                    rawRecord("[RawData]\nwidth=3\nheight=0x2\nFourCC=YUY2\nTopDown=true\n", 12));
    ok &= writeFile(
        root + "/raw/rgb24.bin",
        rawRecord(
            "[rawdata]\nWidth=2\nHeight=2\nFourCC=RGB24\nInterlaced=TRUE\nColorspace=Rec709\n",
            12));
    ok &= writeFile(
        root + "/raw/rgb32.bin",
        rawRecord("[RawData]\nWidth=02\nHeight=1\nFourCC=RGB32\nLevels=Full\nPixelAspect=1.0\n",
                  8));
    ok &= writeFile(root + "/raw/ayuv.bin",
                    rawRecord("[RawData]\nWidth=2\nHeight=2\nFourCC=AYUV\n", 16));
    if (!ok) std::fprintf(stderr, "%s: could not write every corpus file\n", argv[0]);
    return ok ? 0 : 1;
}
