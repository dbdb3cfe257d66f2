// KonaRaster: the output raster for an AJA card.
//
// Frames are converted into the card's frame-buffer layout in host memory
// (one block of `frames` frames) and copied into the card by a synchronous
// DMA into the frame that outputs 1 and 2 are showing (once when they show
// the same one). The device work is AjaKona's. Start-up creates it in passive
// mode, which adopts the card's format and layout; active mode sets up
// 720p 60.00. Either holds the card's stream: a second generator finds the
// card busy.
//
// No lock of its own: construction and init run on the main thread before the
// render thread exists; afterwards the engine serialises every call (render,
// upload and format changes on the render thread, format queries from the
// XML-RPC thread under the engine's raster lock).
#pragma once

#include "AjaKona.h"
#include "QiRaster.h"

#include <cstdint>

class KonaRaster : public QiRaster {
public:
    // 1280 x 720 at 10 bits, v210, Rec709, levels 64 and 940; nothing opened.
    explicit KonaRaster(bool passive);
    ~KonaRaster() override;

    // Opens and prepares the card, then adopts its format (passive) or sets
    // "720p 60.00" (active). False when the card cannot be used.
    bool init();
    // Adopts a layout and video format the card is set to: format index,
    // row bytes and raster size, and with a new video format (a new row of
    // the table, or the first one adopted) the colour matrix for it: Rec601
    // for 576 lines or fewer, Rec709 above. A new layout alone keeps the
    // matrix. Programs nothing.
    bool setupRasterFormat(KRdPixFormats layout, unsigned videoFormat);
    // Sets row `index` of skAjaFormats on the card; false for an index
    // outside the table. A card left in a frame-buffer format outside the
    // table gets the layout of the pixel format the raster reports.
    bool setRasterFormat(unsigned index);
    // Address and size in bytes of host frame n; false outside the ring.
    bool frameData(unsigned*& data, unsigned& bytes, unsigned n);

    unsigned formatIndex() const { return format; }
    unsigned getRowBytes() const { return rowBytes; }
    KRdPixFormats getLayout() const { return layout; }

    // QiImage / QiRaster slots.
    bool resize(int w, int h) override;
    // False with a Warning while the card holds a frame-buffer format outside
    // the table: nothing could be shown.
    bool render(unsigned frame, bool tenBit) override;
    bool setFrames(unsigned n) override;
    bool setRasterFormat(const char* name) override;
    int getSupportedFormats(int& count, int& current, char**& names) override;
    const char* getCurrentFormat() override;
    int setOutputPixelFormat(QiImageCoder::PixelFormat p) override;
    QiImageCoder::PixelFormat getOutputPixelFormat() override;
    bool has3D() override { return false; }
    bool use3D(bool) override { return false; }
    QiImage* getLeftImage() override { return this; }
    QiImage* getRightImage() override { return nullptr; }
    bool set3DGating(bool, bool) override { return false; }
    bool get3DGating(bool& left, bool& right) override;
    const char* getVersion() override { return "1234"; }
    const char* getSerial() override;
    bool rerenderP() override;
    // Uploads host frame n; false when the card refuses it (its DMA fails),
    // with a Warning at the first frame of a run of refused ones.
    bool p_showFrame(unsigned n) override;

    // Fields after the base, in order.
    AjaKona kona;
    uint32_t* hostFrames = nullptr; // owned: `frames` frames of frameWords() words
    unsigned format = 0;            // row of skAjaFormats
    unsigned rowBytes = 0;
    KRdPixFormats layout = KRd_V210;

private:
    bool formatAdopted = false; // a format was adopted, with its matrix
    bool uploadFailing = false; // the card refused the last frame uploaded

    // setupRasterFormat's work, choosing the colour matrix only when asked.
    bool adoptFormat(KRdPixFormats newLayout, unsigned videoFormat, bool chooseMatrix);

    // The shape hostFrames was allocated for.
    size_t hostWords = 0;
    KRdPixFormats hostLayout = KRd_V210;
    unsigned hostRowBytes = 0;
    int hostHeight = 0;

    // Bytes of one converted frame, and the words each frame takes in the
    // host block (whole words, so every conversion fits).
    size_t frameBytes() const;
    size_t frameWords() const;
};
