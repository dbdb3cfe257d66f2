// A running engine on a memory raster for the pattern tests, and readers of
// the device frames the raster keeps.
#pragma once

#include "ArgSupport.h"
#include "MemoryRaster.h"
#include "MtCore.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <string>
#include <utility>

namespace patterntest {

using testsupport::dataFolder;
using testsupport::MemoryFrame;
using testsupport::MemoryRaster;
using testsupport::MemoryRasterConfig;

// A 1280 x 720 raster of the given depth and levels (and a small format).
inline MemoryRasterConfig rasterConfig(int bits, int black, int white) {
    MemoryRasterConfig c;
    c.bits = bits;
    c.blackLevel = black;
    c.whiteLevel = white;
    c.formats = {{"720p50", 1280, 720}, {"small", 320, 180}};
    // The layout and matrix the engine assumes at start (its option defaults),
    // so that every request for another one reaches the raster.
    c.pixelFormat = QiImageCoder::YCbCr_10;
    c.matrix = QiImageCoder::Rec709Compressed;
    return c;
}

inline QiArgRetVal request(std::initializer_list<std::pair<const char*, const char*>> kv) {
    QiArgRetVal m;
    for (auto& p : kv)
        m.set(p.first, p.second);
    return m;
}

using testsupport::text;

// Queues `req` on `core` and returns once it has been processed. When the
// engine was done before the wait began, an empty request queued behind it
// is waited for instead.
// waitForPattern covers a command that is queued or being processed; when it
// answers false here (one waiter, engine running) the command is already done.
inline void runOn(MtCore* core, const QiArgRetVal& req) {
    bool result = false;
    core->waitForPattern(result, core->asyncSetGen(req));
}

// One engine with the built-in patterns on its own raster. Only one engine may
// exist at a time.
class PatternEngine {
public:
    explicit PatternEngine(const MemoryRasterConfig& config)
        : raster(new MemoryRaster(config)),
          core(new MtCore(raster, nullptr, dataFolder().c_str())) {}
    ~PatternEngine() {
        delete core;
        delete raster;
    }
    PatternEngine(const PatternEngine&) = delete;
    PatternEngine& operator=(const PatternEngine&) = delete;

    // Queues `req` and returns once it has been processed.
    void run(const QiArgRetVal& req) { runOn(core, req); }

    MemoryRaster* raster;
    MtCore* core;
};

struct Rgb {
    int r, g, b;
    bool operator==(const Rgb& o) const { return r == o.r && g == o.g && b == o.b; }
};
inline std::ostream& operator<<(std::ostream& os, const Rgb& c) {
    return os << "(" << c.r << ", " << c.g << ", " << c.b << ")";
}

struct Ycc {
    int y, cb, cr;
    bool operator==(const Ycc& o) const { return y == o.y && cb == o.cb && cr == o.cr; }
};
inline std::ostream& operator<<(std::ostream& os, const Ycc& c) {
    return os << "[Y " << c.y << ", Cb " << c.cb << ", Cr " << c.cr << "]";
}

// Pixel (x, y) of a drawn image as code values.
inline Rgb pixelAt(const QiImage* image, int x, int y) {
    Rgb c{};
    image->getPixel(x, y, c.r, c.g, c.b);
    return c;
}

inline Rgb grey(int v) {
    return {v, v, v};
}

inline uint32_t wordAt(const MemoryFrame& f, size_t index) {
    uint32_t w = 0;
    std::memcpy(&w, f.bytes.data() + index * 4, 4);
    return w;
}

// The RGB code values of pixel (x, y) of an RGB_8 (bytes B, G, R, A) or
// RGB_10 (DPX word, big-endian) device frame.
inline Rgb rgbAt(const MemoryFrame& f, int x, int y) {
    const size_t i = static_cast<size_t>(y) * static_cast<size_t>(f.width) + static_cast<size_t>(x);
    if (f.layout == QiImageCoder::RGB_8) {
        const uint8_t* p = f.bytes.data() + i * 4;
        return {p[2], p[1], p[0]};
    }
    const uint32_t w = __builtin_bswap32(wordAt(f, i));
    return {static_cast<int>(w >> 22 & 0x3FF), static_cast<int>(w >> 12 & 0x3FF),
            static_cast<int>(w >> 2 & 0x3FF)};
}

// Y of pixel (x, y) and the chroma of its pair from a v210 device frame.
inline Ycc v210At(const MemoryFrame& f, int x, int y) {
    const size_t row = static_cast<size_t>((f.width + 47) / 48) * 32 * static_cast<size_t>(y);
    const size_t group = row + static_cast<size_t>(x / 6) * 4;
    uint32_t w[4];
    for (int i = 0; i < 4; ++i)
        w[i] = wordAt(f, group + static_cast<size_t>(i));
    auto field = [&](int word, int pos) { return static_cast<int>(w[word] >> (10 * pos) & 0x3FF); };
    // Cb0 Y0 Cr0 | Y1 Cb1 Y2 | Cr1 Y3 Cb2 | Y4 Cr2 Y5
    static const int yAt[6][2] = {{0, 1}, {1, 0}, {1, 2}, {2, 1}, {3, 0}, {3, 2}};
    static const int cbAt[3][2] = {{0, 0}, {1, 1}, {2, 2}};
    static const int crAt[3][2] = {{0, 2}, {2, 0}, {3, 1}};
    const int k = x % 6, p = k / 2;
    return {field(yAt[k][0], yAt[k][1]), field(cbAt[p][0], cbAt[p][1]),
            field(crAt[p][0], crAt[p][1])};
}

// What the card must receive in v210 for an even pair of pixels of colour
// `c` (code values at `bits`) under the BT.709 matrix.
inline Ycc expectedV210(Rgb c, int bits) {
    const int s = 10 - bits;
    const int in[6] = {c.r << s, c.g << s, c.b << s, c.r << s, c.g << s, c.b << s};
    int out[4];
    rgbTo422(out, getMatrix(QiImageCoder::Rec709), in);
    auto clamp = [](int v) { return v < 0 ? 0 : (v > 1023 ? 1023 : v); };
    return {clamp(out[0]), clamp(out[1] + 512), clamp(out[3] + 512)};
}

// Draws `req` on `pattern` in the raster's RGB layout, titling off, and
// returns the device frame.
inline MemoryFrame drawRgb(PatternEngine& e, const char* pattern, QiArgRetVal req) {
    req.set("Pattern", pattern);
    req.set("OutputColor", e.raster->bits == 8 ? "RGB_8" : "RGB_10");
    req.set("OutputTitling", "false");
    e.run(req);
    return e.raster->lastShown();
}

// FNV-1a over a device frame's bytes.
inline uint64_t checksum(const MemoryFrame& f) {
    uint64_t h = 1469598103934665603ull;
    for (uint8_t b : f.bytes) {
        h ^= b;
        h *= 1099511628211ull;
    }
    return h;
}

} // namespace patterntest
