// StubMonitor.h: a picture of what a simulated card shows.
//
// The card stand-ins in sdk/ hand every frame their card starts to show to a
// Monitor, with the frame's memory and how the card reads it (pixel layout,
// size, row bytes and the YCbCr matrix the card was told). When the
// monitor's environment variable names a file, a writer thread of its own
// decodes the latest frame into 8-bit RGB and writes it there as a PNG.
//
// - Decoding follows the card: RGB layouts are read as they are; YCbCr
//   layouts are taken as video-range YCbCr (ITU-R BT.601, BT.709 or BT.2020
//   coefficients) and turned back into video-range RGB codes, so a pixel the
//   raster held as RGB comes back with its own codes. 10-bit codes are shown
//   as the nearest 8-bit code. Each pair of a 4:2:2 layout shares its chroma.
// - Writing is atomic: a temporary file beside the target, then a rename, so
//   a viewer never reads half a picture.
// - At most one picture per minimum interval (a few per second); frames shown
//   in between replace the one waiting, and the last frame shown is always
//   written in the end. show() copies the frame and returns: it never waits
//   for decoding or for the file system.
//
// Thread-safe: show() may be called from any thread; the writer runs on its
// own. The destructor writes what is still waiting and joins the writer.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace stubmonitor {

// Luma coefficients of the YCbCr a card carries.
enum class Matrix { Rec601, Rec709, Rec2020 };

enum class Packing {
    Rgb8,  // pixelBytes (3 or 4) bytes per pixel; place[] = byte of R, G, B
    Rgb10, // one 32-bit word per pixel; place[] = bit shift of R, G, B (10 bits each)
    Ycc8,  // 4:2:2, 4 bytes per pixel pair; place[] = byte of Cb, Y0, Cr, Y1
    V210,  // 4:2:2 10-bit, 6 pixels in 4 little-endian words, rows of 128-byte blocks
};

// How a card reads its frame memory.
struct FrameFormat {
    Packing packing = Packing::Rgb8;
    int width = 0;
    int height = 0;
    size_t rowBytes = 0;
    unsigned pixelBytes = 4;          // Rgb8 only
    unsigned place[4] = {0, 1, 2, 3}; // see Packing
    bool bigEndian = false;           // Rgb10 words
    Matrix matrix = Matrix::Rec709;   // YCbCr layouts
};

// Decodes one frame into width * height pixels of 8-bit R, G, B. Memory
// shorter than rowBytes * height reads as zeros beyond its end.
std::vector<uint8_t> decode(const FrameFormat& format, const uint8_t* bytes, size_t size);

// Writes 8-bit RGB pixels as a PNG at `path` through a temporary file in the
// same folder and a rename. False (and nothing at `path` changed) on failure.
bool writePng(const std::string& path, const uint8_t* rgb, int width, int height);

class Monitor {
public:
    // `variable` names the environment variable that holds the file path; it
    // is read at every show(), so unset or empty turns the monitor off.
    explicit Monitor(const char* variable,
                     std::chrono::milliseconds minimumInterval = std::chrono::milliseconds(250));
    ~Monitor();
    Monitor(const Monitor&) = delete;
    Monitor& operator=(const Monitor&) = delete;

    // A frame the card starts to show: copied, then written later by the
    // writer thread. Does nothing while the variable is unset or empty.
    void show(const FrameFormat& format, const uint8_t* bytes, size_t size);
    // Waits until every frame shown so far has been written or replaced,
    // writing the waiting one at once, without the minimum interval.
    void flush();
    // Pictures written (or attempted) since construction.
    unsigned writes();

private:
    struct Pending {
        std::string path;
        FrameFormat format;
        std::vector<uint8_t> bytes;
    };

    void run();

    const char* const variable;
    const std::chrono::milliseconds interval;
    std::mutex mutex;
    std::condition_variable wake;
    std::condition_variable done;
    Pending pending;
    bool waiting = false; // pending holds a frame not yet written
    bool writing = false;
    bool hurry = false; // flush(): write now
    bool stopping = false;
    unsigned written = 0;
    std::string failedPath; // last path that could not be written, reported once
    std::chrono::steady_clock::time_point lastWrite;
    std::thread writer; // started with the first frame
};

} // namespace stubmonitor
