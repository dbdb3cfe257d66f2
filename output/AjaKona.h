// AjaKona: the device side of the AJA output back-end.
//
// Owns the SDK's card object and does the device work for KonaRaster: opening
// the card, stream ownership, video and frame-buffer formats, and the signal
// routing, SDI and HDMI output settings and SMPTE ST 352 payload identifier
// (VPID) that go with a format. No lock of its own: KonaRaster's caller
// serialises (the main thread during start-up, the render thread afterwards).
//
// Passive mode adopts whatever the card is set to; active mode also sets the
// OEM task mode, enables the SDI outputs and programs routing and output
// settings with every format. Both hold the card's stream while they run, so
// that no second generator takes the card from a running one.
#pragma once

#include <cstdint>

class CNTV2Card;

// Card frame-buffer layouts. Each fixes the card's frame-buffer format, the
// row bytes, the pixel conversion and the pixel format the raster reports.
enum KRdPixFormats {
    KRd_ARGB = 0,       // 8-bit RGB words, bytes B, G, R, A in memory
    KRd_RGBA = 1,       // bytes A, R, G, B
    KRd_ABGR = 2,       // bytes R, G, B, A
    KRd_RGB24 = 3,      // 3 bytes R, G, B
    KRd_BGR24 = 4,      // 3 bytes B, G, R
    KRd_DPX10 = 5,      // 10-bit RGB, DPX order, big-endian words
    KRd_YUYV8 = 6,      // 8-bit 4:2:2, bytes Cb, Y0, Cr, Y1
    KRd_UYVY8 = 7,      // 8-bit 4:2:2, bytes Y0, Cb, Y1, Cr
    KRd_V210 = 8,       // 10-bit 4:2:2 v210
    KRd_Unsupported = 9 // a card format outside this table: nothing is converted
};
constexpr unsigned kKRdPixFormatCount = 10;

// Link modes of a format row.
enum KRdLinkMode : uint32_t {
    KRd_SingleLink = 0, // also the four-link quad formats
    KRd_DualLink = 1,   // SDI dual link
    KRd_3GLevelA = 2,   // 3G-SDI level A
    KRd_3GLevelB = 3    // 3G-SDI level B
};

// One row of the format table.
struct KRdFormat {
    const char* name;     // the text clients use
    uint32_t videoFormat; // the SDK's NTV2VideoFormat
    uint32_t linkMode;    // KRdLinkMode
    uint8_t hdmi;         // the format is also sent to the HDMI output
};

// The formats offered to clients, in the order they are listed.
constexpr unsigned kAjaFormatCount = 31;
extern const KRdFormat skAjaFormats[kAjaFormatCount];

// Per layout: the card's frame-buffer format, the row-byte calculator's pixel
// format, and the pixel format (QiImageCoder::PixelFormat) reported.
extern const uint32_t skPxToFbFormat[kKRdPixFormatCount];
extern const uint32_t skPxToAjaPxFormat[kKRdPixFormatCount];
// QiImageCoder::PixelFormat (0..5) to layout.
extern const KRdPixFormats skQpfToKpf[6];

class AjaKona {
public:
    // Creates the card object; no device is opened yet.
    explicit AjaKona(bool passive);
    // Releases the stream when this object holds it, closes the device and
    // deletes the card object.
    ~AjaKona();
    AjaKona(const AjaKona&) = delete;
    AjaKona& operator=(const AjaKona&) = delete;

    // Opens board 0 and takes its stream (in either mode), then prepares it.
    // 0 done; -1 the card could not be opened; -2 the card is busy: a live
    // process (another generator, or this one's other back-end) holds its
    // stream; -3 the OEM task mode could not be set; -4 the stream could not
    // be acquired.
    int initialize();
    unsigned rowBytesForFormat(KRdPixFormats layout, unsigned width);
    // Programs video format and frame-buffer format; in active mode also
    // routing, dual-link and 3G modes and HDMI settings; always the register
    // write mode and output 1's VPID. True, or false with a Warning and
    // nothing programmed for a layout outside the table (KRd_Unsupported).
    bool setVideoFormat(KRdPixFormats layout, KRdFormat const& row);
    // Channel 1's layout (KRd_Unsupported when no layout matches the card's
    // frame-buffer format) and video format.
    bool getVideoFormat(KRdPixFormats& layout, unsigned& videoFormat);

    bool isPassive() const { return passive; }
    CNTV2Card* device() { return card; }

private:
    CNTV2Card* card = nullptr; // owned
    bool passive = true;
    bool streamOwner = false; // this object acquired the card's stream
};

// SMPTE ST 352 payload identifier: byte 1 (bit 31 always set) in the most
// significant byte; each field masked to its width.
uint32_t getVPID(unsigned payload, bool progressiveTransport, bool progressivePicture,
                 unsigned rate, unsigned sampling, bool is2048, unsigned channel,
                 unsigned bitDepth);
// Fills link A ([0]) and link B ([1]) VPID words of the four SDI outputs for
// a format row (with its link mode as routed) and layout. Only output 1 is
// programmed, so outputs 2 to 4 are left zero.
void setVpidValues(uint32_t out1[2], uint32_t out2[2], uint32_t out3[2], uint32_t out4[2],
                   KRdFormat const& row, KRdPixFormats layout);
