#include "KonaRaster.h"

#include "AjaNtv2.h"
#include "QiOutput.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <string>

namespace {

// The card's serial number, read once per process.
std::mutex sSerialMx;
char* skHwSerial = nullptr; // heap copy, kept for the process

// Layout 6 writes Cb, Y0, Cr, Y1; layout 7 Y0, Cb, Y1, Cr.
const uint8_t skYUYV[4] = {0, 1, 2, 3};
const uint8_t skUYVY[4] = {1, 0, 3, 2};

// The layout of a pixel format the raster reports; v210 for one without.
KRdPixFormats knownLayout(QiImageCoder::PixelFormat p) {
    const unsigned pf = static_cast<unsigned>(p);
    if (pf < sizeof skQpfToKpf / sizeof skQpfToKpf[0] && skQpfToKpf[pf] != KRd_Unsupported)
        return skQpfToKpf[pf];
    return KRd_V210;
}

// The first row of skAjaFormats with this video format, or -1.
int firstRow(unsigned videoFormat) {
    for (unsigned i = 0; i < kAjaFormatCount; ++i)
        if (skAjaFormats[i].videoFormat == videoFormat) return static_cast<int>(i);
    return -1;
}

} // namespace

KonaRaster::KonaRaster(bool passive) : QiRaster(1280, 720, 10, nullptr), kona(passive) {
    coder.setColorMatrix(QiImageCoder::Rec709);
    coder.pixelFormat = QiImageCoder::YCbCr_10;
    blackLevel = 16 << (bits - 8);
    whiteLevel = 235 << (bits - 8);
    allowDirectStores(this);
}

KonaRaster::~KonaRaster() {
    delete[] hostFrames;
}

bool KonaRaster::init() {
    if (kona.initialize() != 0) return false;
    if (kona.isPassive()) {
        unsigned videoFormat = 0;
        kona.getVideoFormat(layout, videoFormat);
        setupRasterFormat(layout, videoFormat);
    } else {
        setRasterFormat(7u); // "720p 60.00"
    }
    return true;
}

bool KonaRaster::setupRasterFormat(KRdPixFormats newLayout, unsigned videoFormat) {
    // The matrix goes with the video format: chosen again only when the
    // raster takes a new row of the table (or its first one), so that a new
    // layout alone keeps the matrix a client chose.
    const int row = firstRow(videoFormat);
    const bool newFormat = !formatAdopted || (row >= 0 && static_cast<unsigned>(row) != format);
    return adoptFormat(newLayout, videoFormat, newFormat);
}

bool KonaRaster::adoptFormat(KRdPixFormats newLayout, unsigned videoFormat, bool chooseMatrix) {
    layout = newLayout;
    const int row = firstRow(videoFormat);
    if (row >= 0) format = static_cast<unsigned>(row);
    NTV2FrameGeometry geometry = NTV2_FG_INVALID;
    int w = width, h = height;
    if (kona.device()->GetFrameGeometry(geometry, NTV2_CHANNEL1)) {
        w = static_cast<int>(GetNTV2FrameGeometryWidth(geometry));
        h = static_cast<int>(GetNTV2FrameGeometryHeight(geometry));
    }
    // ITU-R BT.601 for standard definition (576 lines or fewer), BT.709 above.
    if (chooseMatrix) coder.setColorMatrix(h <= 576 ? QiImageCoder::Rec601 : QiImageCoder::Rec709);
    formatAdopted = true;
    rowBytes = kona.rowBytesForFormat(layout, static_cast<unsigned>(w));
    resize(w, h);
    return true;
}

bool KonaRaster::setRasterFormat(unsigned index) {
    if (index >= kAjaFormatCount) return false;
    if (index == format) return true;
    // A card left in a frame-buffer format outside the table gets the layout
    // of the pixel format the raster reports with its new format.
    if (layout == KRd_Unsupported) layout = knownLayout(coder.pixelFormat);
    const KRdFormat& row = skAjaFormats[index];
    if (!kona.setVideoFormat(layout, row)) return false;
    adoptFormat(layout, row.videoFormat, true);
    // The card now runs this very row; the lookup by video format would name
    // the first row of a format that is listed twice (dual link, 3G level B).
    format = index;
    return true;
}

bool KonaRaster::setRasterFormat(const char* name) {
    if (!name) return false;
    for (unsigned i = 0; i < kAjaFormatCount; ++i) {
        if (std::strcmp(skAjaFormats[i].name, name) == 0) return setRasterFormat(i);
    }
    return false;
}

bool KonaRaster::frameData(unsigned*& data, unsigned& bytes, unsigned n) {
    if (!hostFrames || n >= frames) return false;
    data = hostFrames + n * frameWords();
    bytes = static_cast<unsigned>(frameBytes());
    return true;
}

size_t KonaRaster::frameBytes() const {
    return static_cast<size_t>(rowBytes) * static_cast<size_t>(height);
}

size_t KonaRaster::frameWords() const {
    return (frameBytes() + 3) / 4;
}

bool KonaRaster::resize(int w, int h) {
    bool ok = QiImage::resize(w, h);
    // Row bytes follow the width, so the host frames always hold a whole
    // converted frame.
    rowBytes = kona.rowBytesForFormat(layout, static_cast<unsigned>(width));
    setFrames(frames);
    return ok;
}

bool KonaRaster::setFrames(unsigned n) {
    size_t words = static_cast<size_t>(n) * frameWords();
    // Every render asks for its frames: a block of the same shape (count, layout, row bytes and
    // height) is kept. A conversion writes the bytes it wrote last time again, and those no
    // conversion writes (row padding) are still zero.
    if (hostFrames && n == frames && words == hostWords && layout == hostLayout &&
        rowBytes == hostRowBytes && height == hostHeight) {
        curFrame = 0;
        return true;
    }
    uint32_t* block = words ? new (std::nothrow) uint32_t[words]() : nullptr;
    delete[] hostFrames;
    hostFrames = block;
    hostWords = block ? words : 0;
    hostLayout = layout;
    hostRowBytes = rowBytes;
    hostHeight = height;
    frames = (block || words == 0) ? n : 0;
    curFrame = 0;
    return frames == n;
}

bool KonaRaster::render(unsigned n, bool tenBit) {
    if (layout == KRd_Unsupported) {
        gOutput->trace(QiOutput::Warning,
                       "%s: the card's frame-buffer format is not one this back-end fills; "
                       "nothing is shown\n",
                       "render");
        return false;
    }
    if (!hostFrames || n >= frames) return false;
    uint32_t* dst = hostFrames + n * frameWords();
    switch (layout) {
    case KRd_ARGB:
        return coder.to_RGB8_32(dst, 2, 1, 0, 3);
    case KRd_RGBA:
        return coder.to_RGB8_32(dst, 1, 2, 3, 0);
    case KRd_ABGR:
        return coder.to_RGB8_32(dst, 0, 1, 2, 3);
    case KRd_RGB24:
        return coder.to_RGB8_24(reinterpret_cast<uint8_t*>(dst), 0, 1, 2);
    case KRd_BGR24:
        return coder.to_RGB8_24(reinterpret_cast<uint8_t*>(dst), 2, 1, 0);
    case KRd_DPX10:
        return coder.to_RGB10(dst, 0, 1, 2, false, true);
    case KRd_YUYV8:
        return coder.to_422_8(reinterpret_cast<uint16_t*>(dst), skYUYV);
    case KRd_UYVY8:
        return coder.to_422_8(reinterpret_cast<uint16_t*>(dst), skUYVY);
    case KRd_V210:
        return coder.to_v210(dst, tenBit);
    default:
        return false;
    }
}

bool KonaRaster::p_showFrame(unsigned n) {
    if (!hostFrames || n >= frames) return false;
    const ULWord bytes = static_cast<ULWord>(frameBytes());
    const ULWord* data = hostFrames + n * frameWords();
    CNTV2Card* card = kona.device();
    ULWord frame1 = 0, frame2 = 0;
    bool ok = card->GetOutputFrame(NTV2_CHANNEL1, frame1) &&
              card->DmaWriteFrame(NTV2_DMA_FIRST_AVAILABLE, frame1, data, bytes, true);
    // Where both outputs show the same card frame (active mode sets frame 0
    // on every channel) the one upload serves both.
    if (ok && card->GetOutputFrame(NTV2_CHANNEL2, frame2) && frame2 != frame1)
        ok = card->DmaWriteFrame(NTV2_DMA_FIRST_AVAILABLE, frame2, data, bytes, true);
    // Said once per run of refused frames: an animated pattern would repeat
    // it every period. The next frame the card takes ends the run.
    if (!ok && !uploadFailing)
        gOutput->trace(QiOutput::Warning, "%s: the card refused the frame\n", "p_showFrame");
    uploadFailing = !ok;
    return ok;
}

int KonaRaster::getSupportedFormats(int& count, int& current, char**& names) {
    names = static_cast<char**>(std::malloc((kAjaFormatCount + 1) * sizeof(char*)));
    current = 7; // the list's default entry, not the format in use
    if (!names) {
        count = 0;
        return false;
    }
    for (unsigned i = 0; i < kAjaFormatCount; ++i)
        names[i] = strdup(skAjaFormats[i].name);
    names[kAjaFormatCount] = nullptr;
    count = static_cast<int>(kAjaFormatCount);
    return true;
}

const char* KonaRaster::getCurrentFormat() {
    KRdPixFormats cardLayout = KRd_Unsupported;
    unsigned videoFormat = 0;
    kona.getVideoFormat(cardLayout, videoFormat);
    if (cardLayout != layout || skAjaFormats[format].videoFormat != videoFormat)
        setupRasterFormat(cardLayout, videoFormat);
    return skAjaFormats[format].name;
}

int KonaRaster::setOutputPixelFormat(QiImageCoder::PixelFormat p) {
    const unsigned pf = static_cast<unsigned>(p);
    if (pf >= sizeof skQpfToKpf / sizeof skQpfToKpf[0] || skQpfToKpf[pf] == KRd_Unsupported)
        return false; // no layout to give the card
    coder.pixelFormat = p;
    layout = skQpfToKpf[pf];
    const unsigned index = format;
    kona.setVideoFormat(layout, skAjaFormats[index]);
    // A new layout keeps the colour matrix: it is the client's, or the one
    // chosen with the format, and the engine reports it as such.
    adoptFormat(layout, skAjaFormats[index].videoFormat, false);
    format = index; // the row just programmed, as in setRasterFormat
    std::fprintf(stderr, "\n%s new pixel format is %d\n", "setOutputPixelFormat",
                 static_cast<int>(layout));
    return true;
}

QiImageCoder::PixelFormat KonaRaster::getOutputPixelFormat() {
    switch (layout) {
    case KRd_ARGB:
    case KRd_RGBA:
    case KRd_ABGR:
    case KRd_RGB24:
    case KRd_BGR24:
        return QiImageCoder::RGB_8;
    case KRd_DPX10:
        return QiImageCoder::RGB_10;
    case KRd_YUYV8:
    case KRd_UYVY8:
        return QiImageCoder::YCbCr_8;
    case KRd_V210:
        return QiImageCoder::YCbCr_10;
    default:
        // A card layout outside the table: the format last asked for.
        return coder.pixelFormat;
    }
}

bool KonaRaster::get3DGating(bool& left, bool& right) {
    left = right = false;
    return false;
}

const char* KonaRaster::getSerial() {
    std::lock_guard<std::mutex> lock(sSerialMx);
    if (!skHwSerial) {
        std::string serial;
        if (!kona.device()->GetSerialNumberString(serial)) return "";
        skHwSerial = strdup(serial.c_str());
        if (!skHwSerial) return "";
    }
    return skHwSerial;
}

bool KonaRaster::rerenderP() {
    KRdPixFormats cardLayout = KRd_Unsupported;
    unsigned videoFormat = 0;
    kona.getVideoFormat(cardLayout, videoFormat);
    if (cardLayout == layout) return false;
    setupRasterFormat(cardLayout, videoFormat);
    return true;
}
