// QiRaster: the output frame.
//
// A QiImage that patterns draw into, together with what the output device
// needs to show it: the embedded pixel coder (output pixel format, colour
// matrix, colour gating), the black and white levels, a ring of device frames,
// a list of video formats and an observer. Abstract: each output back-end
// derives from it and supplies the device side (the pure operations below).
//
// Drawing, frame changes and changes of format, pixel layout and matrix happen
// on the render thread; the format list, the current format name, the EDID
// block and the version texts are also read from the XML-RPC thread, so a
// back-end that changes them guards them itself. The base holds no lock.
#pragma once

#include "QiImage.h"
#include "QiImageCoder.h"
#include "QiRasterInterface.h"

#include <cstddef>
#include <cstdint>
#include <vector>

class QiRaster : public QiImage {
public:
    // What the frame ring of one picture may hold at most: 1 GiB, counted at
    // 4 bytes a pixel (the widest layout a card takes). That is 291 frames at
    // 720p, 129 at 1080p and 32 at UHD.
    static constexpr uint64_t kFrameRingBudget = uint64_t(1) << 30;

    // Levels 0 and 255, one frame, frame 0 shown; the observer is not owned.
    QiRaster(int width, int height, int bits, QiRasterInterface* iface);
    // An 8-bit raster of the model's size (pixels not copied), both levels 0.
    QiRaster(QiImage* model, QiRasterInterface* iface);

    // Virtual slots after QiImage's, in this order.

    // Converts the whole raster into device frame `frame` in the device's
    // pixel layout; tenBit selects the 10-bit YCbCr formulas for v210.
    virtual bool render(unsigned frame, bool tenBit) = 0;
    virtual bool setFrames(unsigned n) = 0;
    // n = -1 shows the next frame of the ring, any other n that frame. A frame
    // outside the ring (or below -1), or an empty ring, is refused: returns
    // false and nothing reaches the device. Otherwise answers whether the
    // device took the frame (p_showFrame). The first frame shown at a smaller
    // size than the last hands the memory of the larger size back to the
    // system.
    virtual bool showFrame(int n);
    // Stores the observer only when none is stored yet.
    virtual bool setInterface(QiRasterInterface* iface);
    virtual bool setRasterFormat(const char* name);
    // names: malloc'd, null-terminated array of strdup'd names; the caller
    // frees each name and the array with free. The base lists "default".
    virtual int getSupportedFormats(int& count, int& current, char**& names);
    virtual const char* getCurrentFormat();
    virtual int rescanFormats();
    virtual int setOutputFormat(unsigned format);
    virtual int getOutputFormat(unsigned& format);
    virtual int setOutputPixelFormat(QiImageCoder::PixelFormat format);
    virtual QiImageCoder::PixelFormat getOutputPixelFormat();
    // Bit (1 << PixelFormat) per supported format; the base offers RGB_8 only.
    virtual unsigned getSupportedPixelFormats();
    virtual bool has3D() = 0;
    virtual bool use3D(bool on) = 0;
    virtual QiImage* getLeftImage() = 0;
    virtual QiImage* getRightImage() = 0;
    virtual bool set3DGating(bool left, bool right) = 0;
    virtual bool get3DGating(bool& left, bool& right) = 0;
    virtual const char* getVersion() = 0;
    virtual const char* getSerial() = 0;
    // data: malloc'd 256-byte buffer that the caller frees; the base reports
    // the placeholder block 4, 3, 2, 1 (length 4).
    virtual bool getEdid(uint8_t*& data, unsigned long& length);
    // True when the device changed and the pattern must be rendered again.
    virtual bool rerenderP();
    // Hands device frame n (always inside the ring) to the device.
    virtual bool p_showFrame(unsigned n) = 0;
    // The listed format that `name` (not a listed name itself) is another
    // name of, such as a device's own name for a mode it lists under another
    // one; null when there is none. The base knows no other names.
    virtual const char* listedFormatName(const char* name);

    int getBlackLevel() const { return blackLevel; }
    int getWhiteLevel() const { return whiteLevel; }

    // Told (on the thread that shows frames) of the first frame shown at a
    // smaller size than the one before, with the new size, before freed
    // memory goes back to the system: a cache of pictures at another size
    // gives its memory back. Listeners are added for the whole process.
    using ShrinkListener = void (*)(int width, int height);
    static void addShrinkListener(ShrinkListener listener);

    // The most frames a ring of this raster's size may hold within
    // `frameBudget` bytes; at least 1.
    unsigned maxFrames() const;
    // An animation whose pictures repeat needs no ring frame per step: step i
    // shows ring frame steps[i], showFrame(-1) moves to the next step instead
    // of the next ring frame, and the first showFrame(-1) after this call
    // shows step 0. An empty list (what every render starts with: the engine
    // clears it) steps through the ring in order.
    void setFrameSequence(std::vector<unsigned> steps);
    const std::vector<unsigned>& getFrameSequence() const { return sequence; }

    // Fields, in order.
    QiImageCoder coder;
    QiRasterInterface* iface = nullptr;
    int blackLevel = 0;
    int whiteLevel = 255;
    unsigned frames = 1;
    unsigned curFrame = 0;
    // Ring frames by animation step (empty: the ring in order) and the step
    // shown last.
    std::vector<unsigned> sequence;
    unsigned curStep = 0;
    uint64_t frameBudget = kFrameRingBudget;

private:
    static void notifyShrink(int width, int height);
    // Pixels of the raster when a frame was last shown.
    size_t shownPixels = 0;
};
