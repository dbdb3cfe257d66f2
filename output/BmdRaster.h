// BmdRaster: the output raster for a Blackmagic DeckLink card.
//
// Each rendered frame is converted straight into the DeckLink video frame's
// memory and shown with one synchronous display call; a frame the card
// refuses makes render fail with a warning. The rendered frames are also kept
// in a ring, so the frames of an animated pattern are shown in turn each time
// the engine steps the ring (showFrame), at the pattern's period.
//
// Video formats are the device's display modes, each listed once by name, in
// the device's order; the device's "HD 720p 60" is offered to clients as
// "720p 59.94", and getCurrentFormat reports it by that name too, so the
// running mode is always found in the list (a request by the device's own
// name still selects it). Pixel formats: RGB_8 as 8-bit ARGB, RGB_10 as
// 'r210', YCbCr_8 as '2vuy' and YCbCr_10 as 'v210', each only in the modes
// the card can show it in.
//
// A mode change first makes the new mode's frame (without one nothing
// changes), then disables the output and enables the new mode; when the card
// refuses it, the card goes back to the old mode, showing the picture it had
// again (converted anew when the pixel format changed meanwhile), and the
// raster stays as it was. Selecting the mode that runs changes nothing (the
// card keeps its signal and the coder the client's matrix). A
// new mode brings its matrix: Rec601 for SD (576 lines or fewer), Rec709
// otherwise.
//
// In passive mode the raster follows the mode the device is configured for:
// it enables it when the engine first asks rerenderP, and again whenever the
// configuration changes, but not on every command, so a client's choice of
// another mode stands. A configured mode the card refuses to enable is tried
// again only once the configuration changes or the card is opened again (or
// at each command while no mode runs), so later commands do not take the
// running mode's signal down; one that has no
// frame, or cannot be shown in the pixel format in use, leaves the output as
// it is and is tried again at each command until it runs. In active mode init
// enables the default mode at once.
//
// Runs on the render thread under the engine's raster lock; it holds no lock
// of its own.
#pragma once

#include "BmdOutput.h"
#include "QiRaster.h"

class BmdRaster : public QiRaster {
public:
    // 1280 x 720, 10 bits, v210, Rec709, levels 64 and 940.
    explicit BmdRaster(bool passive);
    ~BmdRaster() override;

    // Finds the device; false when there is none (the DeckLink side is then
    // gone and the raster shows nothing).
    bool init();
    // Enables display mode `index` and sizes the raster for it; false when the
    // mode already runs, cannot show the pixel format in use, has no frame to
    // be shown in, or cannot be enabled (the raster and the card's mode are
    // then unchanged).
    bool setRasterFormat(unsigned index);
    // Address and size of stored frame n; false outside the store.
    bool frameData(unsigned char*& data, unsigned& bytes, unsigned n);
    void test() {}

    bool resize(int w, int h) override;
    bool render(unsigned n, bool tenBit) override;
    bool setFrames(unsigned n) override;
    bool setRasterFormat(const char* name) override;
    int getSupportedFormats(int& count, int& current, char**& names) override;
    const char* getCurrentFormat() override;
    // The device's "HD 720p 60" (any letter case) is the listed "720p 59.94".
    const char* listedFormatName(const char* name) override;
    int setOutputPixelFormat(QiImageCoder::PixelFormat format) override;
    unsigned getSupportedPixelFormats() override;
    bool has3D() override { return false; }
    bool use3D(bool) override { return false; }
    QiImage* getLeftImage() override { return this; }
    QiImage* getRightImage() override { return nullptr; }
    bool set3DGating(bool, bool) override { return false; }
    bool get3DGating(bool&, bool&) override { return false; }
    const char* getVersion() override { return "10.8.3"; }
    const char* getSerial() override { return "serial number"; }
    bool rerenderP() override;
    bool p_showFrame(unsigned n) override;

    BmdOutput* output = nullptr; // owning; null once init has failed

    // Row bytes and DeckLink pixel format of a pixel format at width w; row
    // bytes 0 for a format the card does not take.
    static uint32_t rowBytesFor(QiImageCoder::PixelFormat format, int w, BMDPixelFormat* bmd);

private:
    // What a mode change came to.
    enum class ModeChange {
        Done,      // the new mode runs
        Unchanged, // not tried (it runs already, or has no frame or pixel
                   // format to be shown in): the card was not touched
        Refused,   // the card refused to enable it; the old mode was enabled again
    };
    // setRasterFormat(index), telling a refusal from a change not tried.
    ModeChange changeMode(unsigned index);
    // A video frame made for the raster, with its memory and row bytes.
    struct VideoFrame {
        IDeckLinkMutableVideoFrame* frame = nullptr; // null when none could be made
        uint8_t* bytes = nullptr;
        uint32_t rowBytes = 0;
    };
    // A new w x h video frame in the pixel format in use; no frame (with a
    // warning) when the card cannot make one or the format is not handled.
    VideoFrame newFrame(int w, int h);
    // Releases the video frame in use and sizes the raster and its frame
    // ring for `frame`, which it takes over.
    void useFrame(const VideoFrame& frame, int w, int h);
    // Whether the card can show `bmd` in display mode `mode`.
    bool supports(BMDDisplayMode mode, BMDPixelFormat bmd);
    // Converts the raster into the video frame in the pixel format in use;
    // false for a format that is not handled.
    bool convert(bool tenBit);
    // Hands the video frame to the card; false, with a warning naming
    // `caller`, when the card refuses it.
    bool display(const char* caller);

    bool frameDrawn = false; // the video frame holds a converted picture
    bool lastTenBit = true;  // the ten-bit flag of the last conversion
};
