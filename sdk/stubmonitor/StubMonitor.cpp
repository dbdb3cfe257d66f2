#include "StubMonitor.h"

#include <png.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace stubmonitor {
namespace {

struct Coefficients {
    double kr, kb;
};

// ITU-R BT.601, BT.709 and BT.2020 luma weights of red and blue.
Coefficients coefficients(Matrix m) {
    switch (m) {
    case Matrix::Rec601:
        return {0.299, 0.114};
    case Matrix::Rec2020:
        return {0.2627, 0.0593};
    case Matrix::Rec709:
    default:
        return {0.2126, 0.0722};
    }
}

// Video-range YCbCr to video-range RGB. Codes are at one depth (8-bit:
// Y 16..235, chroma centre 128; 10-bit: 64..940 and 512); cb and cr are taken
// from their centre. Chroma spans 224/219 of luma's range at every depth.
struct YccToRgb {
    explicit YccToRgb(Matrix m) {
        Coefficients c = coefficients(m);
        kr = c.kr;
        kb = c.kb;
        kg = 1.0 - kr - kb;
        crToR = 2.0 * (1.0 - kr) * 219.0 / 224.0;
        cbToB = 2.0 * (1.0 - kb) * 219.0 / 224.0;
    }
    // down: 1 for 8-bit codes, 4 for 10-bit codes.
    void operator()(double y, double cb, double cr, double down, uint8_t* out) const {
        double r = y + crToR * cr;
        double b = y + cbToB * cb;
        double g = (y - kr * r - kb * b) / kg;
        out[0] = to8(r / down);
        out[1] = to8(g / down);
        out[2] = to8(b / down);
    }
    static uint8_t to8(double v) {
        double n = std::floor(v + 0.5);
        return static_cast<uint8_t>(n < 0 ? 0 : n > 255 ? 255 : n);
    }
    double kr, kg, kb, crToR, cbToB;
};

uint32_t word(const uint8_t* p, bool bigEndian) {
    return bigEndian ? uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3]
                     : uint32_t(p[3]) << 24 | uint32_t(p[2]) << 16 | uint32_t(p[1]) << 8 | p[0];
}

// Bytes one row of the format needs at least.
size_t rowNeed(const FrameFormat& f) {
    size_t w = static_cast<size_t>(f.width);
    switch (f.packing) {
    case Packing::Rgb8:
        return w * f.pixelBytes;
    case Packing::Rgb10:
        return w * 4;
    case Packing::Ycc8:
        return (w + 1) / 2 * 4;
    case Packing::V210:
        return (w + 5) / 6 * 16;
    }
    return 0;
}

bool validFormat(const FrameFormat& f) {
    if (f.width <= 0 || f.height <= 0 || f.rowBytes < rowNeed(f)) return false;
    for (int i = 0; i < 4; ++i) {
        const unsigned p = f.place[i];
        if (f.packing == Packing::Rgb8 && i < 3 && p >= f.pixelBytes) return false;
        if (f.packing == Packing::Rgb10 && i < 3 && p > 22) return false;
        if (f.packing == Packing::Ycc8 && p > 3) return false;
    }
    return f.packing != Packing::Rgb8 || f.pixelBytes == 3 || f.pixelBytes == 4;
}

void decodeRow(const FrameFormat& f, const uint8_t* row, uint8_t* out, const YccToRgb& ycc) {
    const int w = f.width;
    switch (f.packing) {
    case Packing::Rgb8:
        for (int x = 0; x < w; ++x, row += f.pixelBytes, out += 3) {
            out[0] = row[f.place[0]];
            out[1] = row[f.place[1]];
            out[2] = row[f.place[2]];
        }
        break;
    case Packing::Rgb10:
        for (int x = 0; x < w; ++x, row += 4, out += 3) {
            uint32_t v = word(row, f.bigEndian);
            for (int c = 0; c < 3; ++c)
                out[c] = YccToRgb::to8((v >> f.place[c] & 0x3FF) / 4.0);
        }
        break;
    case Packing::Ycc8:
        for (int x = 0; x < w; x += 2, row += 4) {
            double cb = row[f.place[0]] - 128.0, cr = row[f.place[2]] - 128.0;
            ycc(row[f.place[1]], cb, cr, 1.0, out + 3 * x);
            if (x + 1 < w) ycc(row[f.place[3]], cb, cr, 1.0, out + 3 * (x + 1));
        }
        break;
    case Packing::V210:
        for (int x = 0; x < w; x += 6, row += 16) {
            uint32_t s[12]; // Cb0 Y0 Cr0 Y1 Cb1 Y2 Cr1 Y3 Cb2 Y4 Cr2 Y5
            for (int i = 0; i < 4; ++i) {
                uint32_t v = word(row + 4 * i, false);
                s[3 * i] = v & 0x3FF;
                s[3 * i + 1] = v >> 10 & 0x3FF;
                s[3 * i + 2] = v >> 20 & 0x3FF;
            }
            for (int i = 0; i < 6 && x + i < w; ++i) {
                int pair = i / 2;
                double cb = s[4 * pair] - 512.0, cr = s[4 * pair + 2] - 512.0;
                ycc(s[2 * i + 1], cb, cr, 4.0, out + 3 * (x + i));
            }
        }
        break;
    }
}

// libpng reports errors by longjmp: the setjmp lives here, with locals that
// never change after it, and the caller owns everything to clean up.
struct PngWrite {
    png_structp png = nullptr;
    png_infop info = nullptr;
    FILE* file = nullptr;
    const uint8_t* rgb = nullptr;
    int width = 0, height = 0;
};

void pngQuiet(png_structp, png_const_charp) {}

void pngFail(png_structp png, png_const_charp) {
    png_longjmp(png, 1);
}

bool pngWriteSteps(PngWrite* w) {
    if (setjmp(png_jmpbuf(w->png))) return false;
    png_init_io(w->png, w->file);
    // Speed over size: the picture is rewritten several times a second.
    png_set_compression_level(w->png, 1);
    png_set_IHDR(w->png, w->info, static_cast<png_uint_32>(w->width),
                 static_cast<png_uint_32>(w->height), 8, PNG_COLOR_TYPE_RGB, PNG_INTERLACE_NONE,
                 PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    png_write_info(w->png, w->info);
    for (int y = 0; y < w->height; ++y)
        png_write_row(w->png, w->rgb + static_cast<size_t>(y) * static_cast<size_t>(w->width) * 3);
    png_write_end(w->png, nullptr);
    return true;
}

} // namespace

std::vector<uint8_t> decode(const FrameFormat& f, const uint8_t* bytes, size_t size) {
    if (!validFormat(f)) return {};
    const size_t need = f.rowBytes * static_cast<size_t>(f.height);
    std::vector<uint8_t> padded;
    if (!bytes || size < need) {
        padded.assign(need, 0);
        if (bytes) std::memcpy(padded.data(), bytes, size);
        bytes = padded.data();
    }
    const YccToRgb ycc(f.matrix);
    const size_t rowOut = static_cast<size_t>(f.width) * 3;
    std::vector<uint8_t> rgb(rowOut * static_cast<size_t>(f.height));
    for (int y = 0; y < f.height; ++y)
        decodeRow(f, bytes + static_cast<size_t>(y) * f.rowBytes,
                  rgb.data() + static_cast<size_t>(y) * rowOut, ycc);
    return rgb;
}

bool writePng(const std::string& path, const uint8_t* rgb, int width, int height) {
    if (path.empty() || !rgb || width <= 0 || height <= 0) return false;
    std::string temp = path + ".XXXXXX";
    int fd = ::mkstemp(&temp[0]);
    if (fd < 0) return false;
    ::fchmod(fd, 0644); // a picture for anyone to look at, like any new file
    PngWrite w;
    w.rgb = rgb;
    w.width = width;
    w.height = height;
    w.file = ::fdopen(fd, "wb");
    bool ok = false;
    if (w.file) {
        w.png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, pngFail, pngQuiet);
        if (w.png) w.info = png_create_info_struct(w.png);
        ok = w.info && pngWriteSteps(&w);
        png_destroy_write_struct(&w.png, w.info ? &w.info : nullptr);
        ok = std::fclose(w.file) == 0 && ok;
    } else {
        ::close(fd);
    }
    if (ok) ok = std::rename(temp.c_str(), path.c_str()) == 0;
    if (!ok) ::unlink(temp.c_str());
    return ok;
}

Monitor::Monitor(const char* variable_, std::chrono::milliseconds minimumInterval)
    : variable(variable_), interval(minimumInterval) {}

Monitor::~Monitor() {
    {
        std::lock_guard<std::mutex> lock(mutex);
        stopping = true;
    }
    wake.notify_all();
    if (writer.joinable()) writer.join();
}

namespace {

// A buffer holding far more than frames of `size` bytes need.
bool oversized(const std::vector<uint8_t>& buffer, size_t size) {
    return buffer.capacity() > 2 * size + (size_t(1) << 20);
}

} // namespace

void Monitor::show(const FrameFormat& format, const uint8_t* bytes, size_t size) {
    const char* path = std::getenv(variable);
    if (!path || !*path) return;
    {
        std::lock_guard<std::mutex> lock(mutex);
        if (stopping) return;
        pending.path = path;
        pending.format = format;
        // Keeps the buffer's capacity, so there is no allocation once the
        // size is steady; a buffer left from a much larger frame is given back.
        if (oversized(pending.bytes, size)) std::vector<uint8_t>().swap(pending.bytes);
        pending.bytes.assign(bytes, bytes + (bytes ? size : 0));
        waiting = true;
        if (!writer.joinable()) writer = std::thread(&Monitor::run, this);
    }
    wake.notify_all();
}

void Monitor::flush() {
    std::unique_lock<std::mutex> lock(mutex);
    while (waiting || writing) {
        hurry = true;
        wake.notify_all();
        done.wait(lock);
    }
}

unsigned Monitor::writes() {
    std::lock_guard<std::mutex> lock(mutex);
    return written;
}

void Monitor::run() {
    std::unique_lock<std::mutex> lock(mutex);
    Pending work;
    for (;;) {
        wake.wait(lock, [this] { return waiting || stopping; });
        if (!waiting) break;
        const auto due = lastWrite + interval;
        if (!hurry && !stopping && std::chrono::steady_clock::now() < due) {
            // Frames shown meanwhile replace the waiting one.
            wake.wait_until(lock, due, [this] { return hurry || stopping; });
            continue;
        }
        std::swap(work, pending);
        // The buffer now waiting for the next frame is the last one written:
        // given back when it is much larger than the frames shown now.
        if (oversized(pending.bytes, work.bytes.size())) std::vector<uint8_t>().swap(pending.bytes);
        waiting = false;
        writing = true;
        hurry = false;
        lastWrite = std::chrono::steady_clock::now();
        lock.unlock();

        std::vector<uint8_t> rgb = decode(work.format, work.bytes.data(), work.bytes.size());
        bool ok =
            !rgb.empty() && writePng(work.path, rgb.data(), work.format.width, work.format.height);

        lock.lock();
        writing = false;
        ++written;
        if (!ok && failedPath != work.path) {
            std::fprintf(stderr, "%s: cannot write the monitor picture %s\n", variable,
                         work.path.c_str());
        }
        failedPath = ok ? std::string() : work.path;
        done.notify_all();
    }
}

} // namespace stubmonitor
