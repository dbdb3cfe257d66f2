#include "BmdRaster.h"

#include "QiOutput.h"

#include <cstdlib>
#include <cstring>
#include <new>

namespace {

// (DeckLink pixel format, supported-format mask bit), in the order they are probed.
struct PixelFormatPair {
    BMDPixelFormat bmd;
    unsigned mask;
};
const PixelFormatPair sPixelFormats[] = {
    {bmdFormat8BitYUV, 1u << QiImageCoder::YCbCr_8},
    {bmdFormat10BitYUV, 1u << QiImageCoder::YCbCr_10},
    {bmdFormat8BitARGB, 1u << QiImageCoder::RGB_8},
    {bmdFormat10BitRGB, 1u << QiImageCoder::RGB_10},
};

// '2vuy' byte order: Cb, Y0, Cr, Y1.
const uint8_t skYUYV[4] = {0, 1, 2, 3};

// The device calls this mode "HD 720p 60"; clients know it as "720p 59.94".
const char kDeviceName720p[] = "HD 720p 60";
const char kClientName720p[] = "720p 59.94";

// UTF-8 copy of the current mode's name, replaced by getCurrentFormat.
char* sCurrentFormatName = nullptr;

char fourCC(int64_t code, int shift) {
    return static_cast<char>((static_cast<uint64_t>(code) >> shift) & 0xFF);
}

// malloc'd name of a display mode, or null.
char* modeName(IDeckLinkDisplayMode* mode) {
    CFStringRef name = nullptr;
    if (!mode || mode->GetName(&name) != S_OK || !name) return nullptr;
    char* text = CFStringCopyUTF8String(name);
    CFRelease(name);
    return text;
}

} // namespace

uint32_t BmdRaster::rowBytesFor(QiImageCoder::PixelFormat format, int w, BMDPixelFormat* bmd) {
    uint32_t width = w > 0 ? static_cast<uint32_t>(w) : 0;
    BMDPixelFormat f = 0;
    uint32_t row = 0;
    switch (format) {
    case QiImageCoder::RGB_8:
        f = bmdFormat8BitARGB;
        row = 4 * width;
        break;
    case QiImageCoder::RGB_10:
        f = bmdFormat10BitRGB;
        row = (width + 63) / 64 * 256;
        break;
    case QiImageCoder::YCbCr_8:
        f = bmdFormat8BitYUV;
        row = 2 * width;
        break;
    case QiImageCoder::YCbCr_10:
        f = bmdFormat10BitYUV;
        row = (width + 47) / 48 * 48 * 8 / 3;
        break;
    }
    if (bmd) *bmd = f;
    return row;
}

BmdRaster::BmdRaster(bool passive)
    : QiRaster(1280, 720, 10, nullptr), output(new BmdOutput(passive)) {
    coder.pixelFormat = QiImageCoder::YCbCr_10;
    coder.matrix = QiImageCoder::Rec709;
    blackLevel = 16 << (bits - 8);
    whiteLevel = 235 << (bits - 8);
    clear(0);
    allowDirectStores(this);
}

BmdRaster::~BmdRaster() {
    delete output;
}

bool BmdRaster::init() {
    if (!output) return false;
    bool ok = output->init();
    if (ok) {
        gOutput->trace(QiOutput::Minutiae, "BmdRaster::init: (passive %d)\n", output->passive);
        if (!output->passive) setRasterFormat(output->defaultModeIndex);
    } else {
        gOutput->trace(QiOutput::Minutiae, "BmdRaster::init: error\n");
        delete output;
        output = nullptr;
    }
    return ok;
}

bool BmdRaster::setRasterFormat(unsigned index) {
    // A device without modes has no mode 0 to fall back on.
    if (!output || !output->modes || index >= output->modeCount) return false;
    IDeckLinkDisplayMode* mode = output->modes[index];
    char* name = modeName(mode);
    gOutput->trace(QiOutput::Minutiae, "%s: new format is (%d)[%p][%s]\n", __func__,
                   static_cast<int>(index), static_cast<void*>(mode), name ? name : "");
    std::free(name);

    BMDTimeValue duration = 0;
    BMDTimeScale scale = 0;
    if (mode->GetFrameRate(&duration, &scale) == S_OK) {
        output->frameDuration = duration;
        output->timeScale = scale;
        // A mode without a duration has no rate to round up to.
        output->framesPerSecond = duration > 0 ? (scale + duration - 1) / duration : 0;
    }

    long w = mode->GetWidth();
    long h = mode->GetHeight();
    resize(static_cast<int>(w), static_cast<int>(h));
    coder.setColorMatrix(h == 480 || h == 576 ? QiImageCoder::Rec601 : QiImageCoder::Rec709);

    if (output->deckLinkOutput->EnableVideoOutput(mode->GetDisplayMode(),
                                                  bmdVideoOutputFlagDefault) != S_OK) {
        gOutput->trace(QiOutput::Warning, "Failed to enable video output\n");
        return false;
    }
    output->currentModeIndex = index;
    return true;
}

bool BmdRaster::resize(int w, int h) {
    if (!output) return false;
    if (output->videoFrame) {
        output->videoFrame->Release();
        output->videoFrame = nullptr;
    }
    // The frame's memory went with the frame.
    output->frameBytes = nullptr;

    BMDPixelFormat bmd = 0;
    uint32_t row = rowBytesFor(coder.pixelFormat, w, &bmd);
    if (row == 0) {
        gOutput->trace(QiOutput::Minutiae, "%s: pixel format %d not handled, expect problems\n",
                       __func__, static_cast<int>(coder.pixelFormat));
    }
    output->rowBytes = row;

    IDeckLinkMutableVideoFrame* frame = nullptr;
    if (row > 0 && output->deckLinkOutput &&
        output->deckLinkOutput->CreateVideoFrame(w, h, static_cast<int32_t>(row), bmd,
                                                 bmdFrameFlagDefault, &frame) != S_OK)
        frame = nullptr;

    bool result = false;
    if (!frame) {
        gOutput->trace(QiOutput::Warning, "Couldn't Create VideoFrame\n");
    } else {
        void* bytes = nullptr;
        if (frame->GetBytes(&bytes) == S_OK && bytes) {
            output->videoFrame = frame;
            output->frameBytes = static_cast<uint8_t*>(bytes);
            QiImage::resize(w, h);
            result = true;
        } else {
            frame->Release();
            gOutput->trace(QiOutput::Warning, "Couldn't Create VideoFrame\n");
        }
    }
    setFrames(frames);
    return result;
}

bool BmdRaster::render(unsigned, bool tenBit) {
    if (!output || !output->videoFrame || !output->frameBytes) return false;
    IDeckLinkMutableVideoFrame* frame = output->videoFrame;
    uint8_t* bytes = output->frameBytes;
    switch (coder.pixelFormat) {
    case QiImageCoder::RGB_8:
        coder.to_RGB8_32(reinterpret_cast<uint32_t*>(bytes), 1, 2, 3, 0);
        break;
    case QiImageCoder::RGB_10: {
        coder.to_RGB10(reinterpret_cast<uint32_t*>(bytes), 2, 1, 0, false, false);
        // The coder packs rows at 4 * width bytes, but 'r210' rows are padded to
        // 64 pixels: spread the rows out to the frame's row bytes, last first,
        // so no row is overwritten before it has moved.
        size_t packed = static_cast<size_t>(width) * 4;
        size_t row = output->rowBytes;
        if (row > packed) {
            for (size_t y = static_cast<size_t>(height); y-- > 0;) {
                std::memmove(bytes + y * row, bytes + y * packed, packed);
                std::memset(bytes + y * row + packed, 0, row - packed);
            }
        }
        break;
    }
    case QiImageCoder::YCbCr_8:
        coder.to_422_8(reinterpret_cast<uint16_t*>(bytes), skYUYV);
        break;
    case QiImageCoder::YCbCr_10:
        coder.to_v210(reinterpret_cast<uint32_t*>(bytes), tenBit);
        break;
    default:
        gOutput->trace(QiOutput::Minutiae, "%s: pixel format %d not handled, not rendering\n",
                       __func__, static_cast<int>(coder.pixelFormat));
        break;
    }
    output->deckLinkOutput->DisplayVideoFrameSync(frame);
    return true;
}

bool BmdRaster::setFrames(unsigned n) {
    if (!output) return false;
    delete[] output->frameStore;
    output->frameStore = nullptr;
    output->frameStoreBytes = 0;
    size_t bytes = static_cast<size_t>(n) * output->rowBytes * static_cast<size_t>(height);
    // Zero-filled: nothing ever renders into the store, and its frames are
    // copied into the video frame.
    output->frameStore = new (std::nothrow) uint8_t[bytes]();
    if (output->frameStore) output->frameStoreBytes = bytes;
    return true;
}

bool BmdRaster::setRasterFormat(const char* name) {
    if (!output || !output->modes || !name) return false;
    if (std::strcmp(name, kClientName720p) == 0) name = kDeviceName720p;
    for (unsigned i = 0; i < output->modeCount; ++i) {
        char* text = modeName(output->modes[i]);
        bool match = text && std::strcmp(text, name) == 0;
        std::free(text);
        if (match) return setRasterFormat(i);
    }
    return false;
}

int BmdRaster::getSupportedFormats(int& count, int& current, char**& names) {
    if (!output) return QiRaster::getSupportedFormats(count, current, names);
    uint32_t n = output->modeCount;
    names = static_cast<char**>(std::malloc((n + 1) * sizeof(char*)));
    if (!names) {
        count = 0;
        current = 0;
        return 0;
    }
    for (uint32_t i = 0; i < n; ++i) {
        char* text = modeName(output->modes[i]);
        if (text && std::strcmp(text, kDeviceName720p) == 0) {
            std::free(text);
            text = strdup(kClientName720p);
        }
        // A mode without a name is listed with an empty one.
        names[i] = text ? text : strdup("");
    }
    names[n] = nullptr;
    count = static_cast<int>(n);
    current = static_cast<int>(output->defaultModeIndex);
    return 1;
}

const char* BmdRaster::getCurrentFormat() {
    if (!output || !output->modes || output->currentModeIndex >= output->modeCount) return nullptr;
    char* name = modeName(output->modes[output->currentModeIndex]);
    if (!name) return sCurrentFormatName;
    // Keep the copy a caller may still hold while the name has not changed.
    if (sCurrentFormatName && std::strcmp(sCurrentFormatName, name) == 0) {
        std::free(name);
        return sCurrentFormatName;
    }
    std::free(sCurrentFormatName);
    sCurrentFormatName = name;
    return sCurrentFormatName;
}

int BmdRaster::setOutputPixelFormat(QiImageCoder::PixelFormat format) {
    QiImageCoder::PixelFormat previous = coder.pixelFormat;
    coder.pixelFormat = format;
    resize(width, height);
    return format != previous;
}

unsigned BmdRaster::getSupportedPixelFormats() {
    if (!output || !output->modes || output->currentModeIndex >= output->modeCount) return 0;
    BMDDisplayMode mode = output->modes[output->currentModeIndex]->GetDisplayMode();
    unsigned mask = 0;
    for (const PixelFormatPair& p : sPixelFormats) {
        BMDDisplayModeSupport support = bmdDisplayModeNotSupported;
        if (output->deckLinkOutput->DoesSupportVideoMode(mode, p.bmd, bmdVideoOutputFlagDefault,
                                                         &support, nullptr) == S_OK &&
            support != bmdDisplayModeNotSupported)
            mask |= p.mask;
    }
    return mask;
}

bool BmdRaster::rerenderP() {
    if (!output || !output->configuration) return false;
    int64_t newDefMode = 0;
    HRESULT result =
        output->configuration->GetInt(bmdDeckLinkConfigDefaultVideoOutputMode, &newDefMode);
    gOutput->trace(QiOutput::Minutiae, "%s: newDefMode is %c%c%c%c\n", __func__,
                   fourCC(newDefMode, 24), fourCC(newDefMode, 16), fourCC(newDefMode, 8),
                   fourCC(newDefMode, 0));
    if (result != S_OK) {
        gOutput->trace(QiOutput::Minutiae, "%s: getDefMode failed (wtf)\n", __func__);
        return false;
    }
    for (unsigned i = 0; i < output->modeCount; ++i) {
        if (static_cast<int64_t>(output->modes[i]->GetDisplayMode()) != newDefMode) continue;
        unsigned before = output->currentModeIndex;
        setRasterFormat(i);
        return i != before;
    }
    return false;
}

bool BmdRaster::p_showFrame(unsigned n) {
    unsigned char* data = nullptr;
    unsigned bytes = 0;
    if (!output || !output->frameBytes || !frameData(data, bytes, n)) return false;
    std::memcpy(output->frameBytes, data, bytes);
    return true;
}

bool BmdRaster::frameData(unsigned char*& data, unsigned& bytes, unsigned n) {
    if (!output || !output->frameStore) return false;
    size_t size = static_cast<size_t>(output->rowBytes) * static_cast<size_t>(height);
    // A store sized before the last failed resize may not hold frame n.
    if (size == 0 || (static_cast<size_t>(n) + 1) * size > output->frameStoreBytes) return false;
    data = output->frameStore + static_cast<size_t>(n) * size;
    bytes = static_cast<unsigned>(size);
    return true;
}
