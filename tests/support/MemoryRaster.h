// MemoryRaster: an output raster whose "device" is memory.
//
// Behaves like a card at power-up as far as the engine can tell: a list of
// video formats with a current one, a set of supported pixel layouts with a
// current one, black and white levels, a frame ring, version and serial texts.
// render(frame, tenBit) converts the raster into ring buffer `frame` in the
// current pixel layout; p_showFrame(n) keeps a copy of the frame it is handed,
// so tests can read the exact bytes a card would have been given.
//
// Device layouts: RGB_8 as 32-bit words with bytes B, G, R, A in memory;
// RGB_10 as DPX words stored big-endian; YCbCr_8 as Cb, Y0, Cr, Y1 bytes;
// YCbCr_10 as v210.
//
// The device side is guarded by one mutex, so a test thread can read what the
// render thread produced; the accessors return copies.
#pragma once

#include "QiCLocale.h"
#include "QiRaster.h"

#include <cstdlib>
#include <cstring>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

namespace testsupport {

struct MemoryRasterFormat {
    std::string name;
    int width;
    int height;
};

struct MemoryRasterConfig {
    int width = 1920;
    int height = 1080;
    int bits = 10;
    int blackLevel = 64;
    int whiteLevel = 940;
    // Empty: the base list ("default") and the size above. Otherwise the
    // raster starts at the size of formats[currentFormat].
    std::vector<MemoryRasterFormat> formats = {
        {"1080p25", 1920, 1080}, {"1080p30", 1920, 1080}, {"720p50", 1280, 720}};
    int currentFormat = 0;
    unsigned pixelFormats = 1u << QiImageCoder::RGB_8 | 1u << QiImageCoder::RGB_10 |
                            1u << QiImageCoder::YCbCr_8 | 1u << QiImageCoder::YCbCr_10;
    QiImageCoder::PixelFormat pixelFormat = QiImageCoder::RGB_8;
    QiImageCoder::ColorMatrix matrix = QiImageCoder::Rec709;
    unsigned frames = 1;
    std::string version = "MemoryRaster 1.0";
    std::string serial = "MEM00001";
    size_t keepShown = 16; // shown frames kept, oldest dropped first (0: none, no copy)
};

// One frame handed to the device.
struct MemoryFrame {
    unsigned index = 0;
    QiImageCoder::PixelFormat layout = QiImageCoder::RGB_8;
    int width = 0;
    int height = 0;
    std::vector<uint8_t> bytes;
};

class MemoryRaster : public QiRaster {
public:
    explicit MemoryRaster(const MemoryRasterConfig& config = MemoryRasterConfig(),
                          QiRasterInterface* observer = nullptr)
        : QiRaster(startWidth(config), startHeight(config), config.bits, observer), cfg(config),
          current(config.formats.empty() ? 0 : config.currentFormat) {
        blackLevel = cfg.blackLevel;
        whiteLevel = cfg.whiteLevel;
        coder.pixelFormat = cfg.pixelFormat;
        coder.matrix = cfg.matrix;
        clear(0);
        setFrames(cfg.frames);
        allowDirectStores(this);
    }

    // Bytes of one frame of `layout` at the given size.
    static size_t frameBytes(QiImageCoder::PixelFormat layout, int w, int h) {
        if (w <= 0 || h <= 0) return 0;
        size_t px = static_cast<size_t>(w) * static_cast<size_t>(h);
        switch (layout) {
        case QiImageCoder::RGB_8:
        case QiImageCoder::RGB_10:
            return px * 4;
        case QiImageCoder::YCbCr_8:
            return px * 2;
        case QiImageCoder::YCbCr_10:
            return static_cast<size_t>((w + 47) / 48) * 128 * h;
        }
        return 0;
    }

    bool render(unsigned frame, bool tenBit) override {
        std::lock_guard<std::mutex> lock(mutex);
        if (frame >= ring.size()) return false;
        const QiImageCoder::PixelFormat layout = coder.pixelFormat;
        std::vector<uint8_t>& buf = ring[frame].bytes;
        // A frame of the same layout and size is converted over the last one:
        // the conversion writes the same bytes, and the rest stays zero.
        if (ring[frame].layout != layout || ring[frame].width != width ||
            ring[frame].height != height || buf.size() != frameBytes(layout, width, height))
            buf.assign(frameBytes(layout, width, height), 0);
        ring[frame].index = frame;
        ring[frame].layout = layout;
        ring[frame].width = width;
        ring[frame].height = height;
        ++renders;
        lastTenBit = tenBit;
        static const uint8_t uyvy[4] = {0, 1, 2, 3};
        switch (layout) {
        case QiImageCoder::RGB_8:
            return coder.to_RGB8_32(reinterpret_cast<uint32_t*>(buf.data()), 2, 1, 0, 3);
        case QiImageCoder::RGB_10:
            return coder.to_RGB10(reinterpret_cast<uint32_t*>(buf.data()), 0, 1, 2, false, true);
        case QiImageCoder::YCbCr_8:
            return coder.to_422_8(reinterpret_cast<uint16_t*>(buf.data()), uyvy);
        case QiImageCoder::YCbCr_10:
            return coder.to_v210(reinterpret_cast<uint32_t*>(buf.data()), tenBit);
        }
        return false;
    }

    bool setFrames(unsigned n) override {
        std::lock_guard<std::mutex> lock(mutex);
        frames = n;
        ring.resize(n);
        return true;
    }

    bool p_showFrame(unsigned n) override {
        std::lock_guard<std::mutex> lock(mutex);
        showIndices.push_back(n);
        if (n >= ring.size()) {
            ++outOfRing; // the base must never let this happen
            return false;
        }
        if (refusing) return false;
        if (cfg.keepShown == 0) return true;
        shown.push_back(ring[n]);
        while (shown.size() > cfg.keepShown)
            shown.pop_front();
        return true;
    }

    bool setRasterFormat(const char* name) override {
        if (cfg.formats.empty() || !name) return false;
        for (size_t i = 0; i < cfg.formats.size(); ++i) {
            const MemoryRasterFormat& f = cfg.formats[i];
            if (!qi::equalsNoCase(f.name.c_str(), name)) continue;
            std::lock_guard<std::mutex> lock(mutex);
            if (f.width != width || f.height != height) resize(f.width, f.height);
            current = static_cast<int>(i);
            changed = true;
            return true;
        }
        return false;
    }

    int getSupportedFormats(int& count, int& cur, char**& names) override {
        if (cfg.formats.empty()) return QiRaster::getSupportedFormats(count, cur, names);
        names = static_cast<char**>(std::malloc((cfg.formats.size() + 1) * sizeof(char*)));
        if (!names) return -1;
        for (size_t i = 0; i < cfg.formats.size(); ++i)
            names[i] = strdup(cfg.formats[i].name.c_str());
        names[cfg.formats.size()] = nullptr;
        count = static_cast<int>(cfg.formats.size());
        std::lock_guard<std::mutex> lock(mutex);
        cur = current;
        return 0;
    }

    const char* getCurrentFormat() override {
        if (cfg.formats.empty()) return QiRaster::getCurrentFormat();
        std::lock_guard<std::mutex> lock(mutex);
        return cfg.formats[static_cast<size_t>(current)].name.c_str(); // the list never changes
    }

    int rescanFormats() override {
        std::lock_guard<std::mutex> lock(mutex);
        ++rescans;
        return 0;
    }

    unsigned getSupportedPixelFormats() override { return cfg.pixelFormats; }
    bool has3D() override { return false; }
    bool use3D(bool on) override { return !on; }
    QiImage* getLeftImage() override { return this; }
    QiImage* getRightImage() override { return nullptr; }
    bool set3DGating(bool left, bool right) override {
        gateLeft = left;
        gateRight = right;
        return true;
    }
    bool get3DGating(bool& left, bool& right) override {
        left = gateLeft;
        right = gateRight;
        return true;
    }
    const char* getVersion() override { return cfg.version.c_str(); }
    const char* getSerial() override { return cfg.serial.c_str(); }

    // True once after a format change, as a card asks for a fresh render.
    bool rerenderP() override {
        std::lock_guard<std::mutex> lock(mutex);
        bool was = changed;
        changed = false;
        return was;
    }

    // While on, the device refuses every frame it is handed.
    void refuseFrames(bool on) {
        std::lock_guard<std::mutex> lock(mutex);
        refusing = on;
    }

    // --- What the device was given (copies, safe from any thread) ---------
    MemoryFrame ringFrame(unsigned n) {
        std::lock_guard<std::mutex> lock(mutex);
        return n < ring.size() ? ring[n] : MemoryFrame();
    }
    std::vector<MemoryFrame> shownFrames() {
        std::lock_guard<std::mutex> lock(mutex);
        return std::vector<MemoryFrame>(shown.begin(), shown.end());
    }
    MemoryFrame lastShown() {
        std::lock_guard<std::mutex> lock(mutex);
        return shown.empty() ? MemoryFrame() : shown.back();
    }
    std::vector<unsigned> shownIndices() {
        std::lock_guard<std::mutex> lock(mutex);
        return showIndices;
    }
    unsigned renderCount() {
        std::lock_guard<std::mutex> lock(mutex);
        return renders;
    }
    unsigned rescanCount() {
        std::lock_guard<std::mutex> lock(mutex);
        return rescans;
    }
    unsigned outOfRingCount() {
        std::lock_guard<std::mutex> lock(mutex);
        return outOfRing;
    }
    bool lastRenderTenBit() {
        std::lock_guard<std::mutex> lock(mutex);
        return lastTenBit;
    }

private:
    static int startWidth(const MemoryRasterConfig& c) {
        return c.formats.empty() ? c.width : c.formats[static_cast<size_t>(c.currentFormat)].width;
    }
    static int startHeight(const MemoryRasterConfig& c) {
        return c.formats.empty() ? c.height
                                 : c.formats[static_cast<size_t>(c.currentFormat)].height;
    }

    const MemoryRasterConfig cfg;
    std::mutex mutex;
    std::vector<MemoryFrame> ring;
    std::deque<MemoryFrame> shown;
    std::vector<unsigned> showIndices;
    int current = 0;
    bool changed = false;
    bool lastTenBit = false;
    bool refusing = false;
    bool gateLeft = true, gateRight = true;
    unsigned renders = 0, rescans = 0, outOfRing = 0;
};

} // namespace testsupport
