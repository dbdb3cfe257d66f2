#include "BmdRaster.h"

#include "QiOutput.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>
#include <strings.h>
#include <vector>

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

// malloc'd name of a display mode as clients know it ("HD 720p 60" is
// "720p 59.94"; a mode without a name has an empty one), or null when out of
// memory.
char* publishedName(IDeckLinkDisplayMode* mode) {
    char* text = modeName(mode);
    if (text && std::strcmp(text, kDeviceName720p) == 0) {
        std::free(text);
        return strdup(kClientName720p);
    }
    return text ? text : strdup("");
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
    return changeMode(index) == ModeChange::Done;
}

BmdRaster::ModeChange BmdRaster::changeMode(unsigned index) {
    // Traced as setRasterFormat, whose work it does.
    // A device without modes has no mode 0 to fall back on.
    if (!output || !output->modes || index >= output->modeCount) return ModeChange::Unchanged;
    // The mode that runs is not enabled again: on a card that would drop the
    // signal, and the raster keeps its frame and the client's matrix.
    if (output->outputEnabled && index == output->currentModeIndex) return ModeChange::Unchanged;
    IDeckLinkDisplayMode* mode = output->modes[index];
    char* name = modeName(mode);
    gOutput->trace(QiOutput::Minutiae, "%s: new format is (%d)[%p][%s]\n", "setRasterFormat",
                   static_cast<int>(index), static_cast<void*>(mode), name ? name : "");

    BMDPixelFormat bmd = 0;
    if (rowBytesFor(coder.pixelFormat, 1, &bmd) > 0 && !supports(mode->GetDisplayMode(), bmd)) {
        gOutput->trace(QiOutput::Warning, "%s: %s cannot be shown in pixel format %d\n",
                       "setRasterFormat", name ? name : "", static_cast<int>(coder.pixelFormat));
        std::free(name);
        return ModeChange::Unchanged;
    }
    std::free(name);

    // The new mode's frame comes first: without one the card is not touched
    // and keeps showing the old mode's picture.
    const long w = mode->GetWidth();
    const long h = mode->GetHeight();
    VideoFrame frame = newFrame(static_cast<int>(w), static_cast<int>(h));
    if (!frame.frame) return ModeChange::Unchanged;

    // The card runs one mode at a time. Nothing of the raster changes until
    // the new mode is up; when it cannot be, the card goes back to the old one.
    IDeckLinkOutput* out = output->deckLinkOutput;
    const bool wasEnabled = output->outputEnabled;
    if (wasEnabled) out->DisableVideoOutput();
    output->outputEnabled = false;
    if (out->EnableVideoOutput(mode->GetDisplayMode(), bmdVideoOutputFlagDefault) != S_OK) {
        gOutput->trace(QiOutput::Warning, "Failed to enable video output\n");
        frame.frame->Release();
        if (wasEnabled)
            output->outputEnabled =
                out->EnableVideoOutput(output->modes[output->currentModeIndex]->GetDisplayMode(),
                                       bmdVideoOutputFlagDefault) == S_OK;
        // A mode enabled again shows nothing until it is given a frame: the
        // picture it showed goes back on. A frame made since (for a new pixel
        // format) holds none yet: the raster, which still holds that
        // picture, is converted into it first. When the card does not take
        // it, no stored frame is on screen any more.
        if (!output->outputEnabled || !output->videoFrame || !(frameDrawn || convert(lastTenBit)) ||
            !display("setRasterFormat"))
            output->shownFrame = -1;
        return ModeChange::Refused;
    }
    output->outputEnabled = true;
    output->currentModeIndex = index;

    BMDTimeValue duration = 0;
    BMDTimeScale scale = 0;
    if (mode->GetFrameRate(&duration, &scale) == S_OK) {
        output->frameDuration = duration;
        output->timeScale = scale;
        // A mode without a duration has no rate to round up to.
        output->framesPerSecond = duration > 0 ? (scale + duration - 1) / duration : 0;
    }

    useFrame(frame, static_cast<int>(w), static_cast<int>(h));
    // Every SD mode (NTSC has 486 lines, PAL 576) takes the SD matrix.
    coder.setColorMatrix(h <= 576 ? QiImageCoder::Rec601 : QiImageCoder::Rec709);
    return ModeChange::Done;
}

BmdRaster::VideoFrame BmdRaster::newFrame(int w, int h) {
    VideoFrame made;
    BMDPixelFormat bmd = 0;
    made.rowBytes = rowBytesFor(coder.pixelFormat, w, &bmd);
    if (made.rowBytes == 0) {
        gOutput->trace(QiOutput::Minutiae, "%s: pixel format %d not handled, expect problems\n",
                       "resize", static_cast<int>(coder.pixelFormat));
    }
    IDeckLinkMutableVideoFrame* frame = nullptr;
    if (made.rowBytes > 0 && output->deckLinkOutput &&
        output->deckLinkOutput->CreateVideoFrame(w, h, static_cast<int32_t>(made.rowBytes), bmd,
                                                 bmdFrameFlagDefault, &frame) != S_OK)
        frame = nullptr;
    void* bytes = nullptr;
    if (frame && (frame->GetBytes(&bytes) != S_OK || !bytes)) {
        frame->Release();
        frame = nullptr;
    }
    if (!frame) {
        gOutput->trace(QiOutput::Warning, "Couldn't Create VideoFrame\n");
        return made;
    }
    made.frame = frame;
    made.bytes = static_cast<uint8_t*>(bytes);
    return made;
}

void BmdRaster::useFrame(const VideoFrame& frame, int w, int h) {
    if (output->videoFrame) output->videoFrame->Release();
    output->videoFrame = frame.frame;
    output->frameBytes = frame.bytes;
    output->rowBytes = frame.rowBytes;
    frameDrawn = false;
    QiImage::resize(w, h);
    setFrames(frames);
}

bool BmdRaster::resize(int w, int h) {
    if (!output) return false;
    // The old frame goes first, so the two are never held at once.
    if (output->videoFrame) {
        output->videoFrame->Release();
        output->videoFrame = nullptr;
    }
    // The frame's memory went with the frame.
    output->frameBytes = nullptr;
    frameDrawn = false;
    VideoFrame frame = newFrame(w, h);
    if (!frame.frame) {
        // The raster keeps its size, without a frame.
        output->rowBytes = frame.rowBytes;
        setFrames(frames);
        return false;
    }
    useFrame(frame, w, h);
    return true;
}

bool BmdRaster::render(unsigned n, bool tenBit) {
    if (!output || !output->videoFrame || !output->frameBytes) return false;
    uint8_t* bytes = output->frameBytes;
    convert(tenBit);
    // Kept in the ring, so the frames of an animated pattern can be shown
    // again in turn.
    unsigned char* stored = nullptr;
    unsigned size = 0;
    if (frameData(stored, size, n)) {
        std::memcpy(stored, bytes, size);
        output->storedFrames[n] = true;
    }
    if (!display(__func__)) {
        output->shownFrame = -1;
        return false;
    }
    output->shownFrame = n < frames ? static_cast<int>(n) : -1;
    // The engine follows a render with showFrame(-1). The frame just rendered
    // is on screen already, so the ring stands one before it: that step finds
    // it shown, and the next period shows the frame after it.
    if (frames > 0 && n < frames) curFrame = (n + frames - 1) % frames;
    return true;
}

bool BmdRaster::convert(bool tenBit) {
    uint8_t* bytes = output->frameBytes;
    lastTenBit = tenBit;
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
                       "render", static_cast<int>(coder.pixelFormat));
        return false;
    }
    frameDrawn = true;
    return true;
}

bool BmdRaster::display(const char* caller) {
    if (output->deckLinkOutput->DisplayVideoFrameSync(output->videoFrame) == S_OK) return true;
    gOutput->trace(QiOutput::Warning, "%s: the card refused the frame\n", caller);
    return false;
}

bool BmdRaster::supports(BMDDisplayMode mode, BMDPixelFormat bmd) {
    BMDDisplayModeSupport support = bmdDisplayModeNotSupported;
    return output->deckLinkOutput->DoesSupportVideoMode(mode, bmd, bmdVideoOutputFlagDefault,
                                                        &support, nullptr) == S_OK &&
           support != bmdDisplayModeNotSupported;
}

bool BmdRaster::setFrames(unsigned n) {
    if (!output) return false;
    delete[] output->frameStore;
    output->frameStore = nullptr;
    output->frameStoreBytes = 0;
    size_t bytes = static_cast<size_t>(n) * output->rowBytes * static_cast<size_t>(height);
    output->frameStore = new (std::nothrow) uint8_t[bytes]();
    if (output->frameStore) output->frameStoreBytes = bytes;
    // The ring is the raster's: the engine steps through these frames.
    frames = output->frameStore ? n : 0;
    curFrame = 0;
    output->storedFrames.assign(frames, false);
    output->shownFrame = -1;
    return frames == n;
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
    // Each mode once, entry i for mode i, by the name getCurrentFormat
    // reports while it runs.
    std::vector<char*> list;
    for (uint32_t i = 0; i < n; ++i)
        list.push_back(publishedName(output->modes[i]));
    names = static_cast<char**>(std::malloc((list.size() + 1) * sizeof(char*)));
    if (!names || std::find(list.begin(), list.end(), nullptr) != list.end()) {
        for (char* text : list)
            std::free(text);
        std::free(names);
        names = nullptr;
        count = 0;
        current = 0;
        return 0;
    }
    std::copy(list.begin(), list.end(), names);
    names[list.size()] = nullptr;
    count = static_cast<int>(list.size());
    current = static_cast<int>(output->defaultModeIndex);
    return 1;
}

const char* BmdRaster::getCurrentFormat() {
    if (!output || !output->modes || output->currentModeIndex >= output->modeCount) return nullptr;
    // The name it is published under, so that the running mode is found in the list.
    char* name = publishedName(output->modes[output->currentModeIndex]);
    if (!name) return "";
    // Keep the copy a caller may still hold while the name has not changed.
    if (sCurrentFormatName && std::strcmp(sCurrentFormatName, name) == 0) {
        std::free(name);
        return sCurrentFormatName;
    }
    std::free(sCurrentFormatName);
    sCurrentFormatName = name;
    return sCurrentFormatName;
}

const char* BmdRaster::listedFormatName(const char* name) {
    return name && strcasecmp(name, kDeviceName720p) == 0 ? kClientName720p : nullptr;
}

int BmdRaster::setOutputPixelFormat(QiImageCoder::PixelFormat format) {
    BMDPixelFormat bmd = 0;
    if (output && output->outputEnabled && rowBytesFor(format, 1, &bmd) > 0 &&
        !supports(output->modes[output->currentModeIndex]->GetDisplayMode(), bmd)) {
        const char* mode = getCurrentFormat();
        gOutput->trace(QiOutput::Warning, "%s: pixel format %d cannot be shown in %s\n", __func__,
                       static_cast<int>(format), mode ? mode : "");
        return 0;
    }
    const QiImageCoder::PixelFormat previous = coder.pixelFormat;
    coder.pixelFormat = format;
    if (!output) return format != previous;
    // The frame in the new format comes first: without one the raster keeps
    // its format and the frame it shows.
    VideoFrame frame = newFrame(width, height);
    if (!frame.frame) {
        coder.pixelFormat = previous;
        return 0;
    }
    useFrame(frame, width, height);
    return format != previous;
}

unsigned BmdRaster::getSupportedPixelFormats() {
    if (!output || !output->modes || output->currentModeIndex >= output->modeCount) return 0;
    BMDDisplayMode mode = output->modes[output->currentModeIndex]->GetDisplayMode();
    unsigned mask = 0;
    for (const PixelFormatPair& p : sPixelFormats)
        if (supports(mode, p.bmd)) mask |= p.mask;
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
    // The configuration is followed when it changes (or while no mode runs),
    // not on every command: a client's choice of another mode stands until
    // the configuration or the client changes it.
    if (output->modeRefused && newDefMode != output->refusedMode) output->modeRefused = false;
    if (output->outputEnabled && newDefMode == output->configuredMode) return false;
    for (unsigned i = 0; i < output->modeCount; ++i) {
        if (static_cast<int64_t>(output->modes[i]->GetDisplayMode()) != newDefMode) continue;
        if (output->outputEnabled && i == output->currentModeIndex) {
            output->configuredMode = newDefMode;
            output->modeRefused = false;
            return false;
        }
        // A mode the card refused to enable is not tried again until the
        // configuration changes or the card is opened again: each try takes
        // the running mode down and up again, and drops the signal. With no
        // mode running there is no signal to drop, and it is tried again.
        if (output->modeRefused && output->outputEnabled) return false;
        // Followed once the card runs it. A mode that has no frame, or cannot
        // be shown in the pixel format in use, is found out before the
        // output is touched, and is tried again by the next command.
        const ModeChange change = changeMode(i);
        if (change == ModeChange::Done) output->configuredMode = newDefMode;
        if (change == ModeChange::Refused) {
            output->modeRefused = true;
            output->refusedMode = newDefMode;
        }
        return change == ModeChange::Done;
    }
    // A mode the device does not list is never followed.
    output->configuredMode = newDefMode;
    return false;
}

bool BmdRaster::p_showFrame(unsigned n) {
    if (!output || !output->frameBytes) return false;
    if (static_cast<int>(n) == output->shownFrame) return true; // on screen already
    unsigned char* data = nullptr;
    unsigned bytes = 0;
    // Only a frame rendered since the ring was sized holds a picture.
    if (!frameData(data, bytes, n) || !output->storedFrames[n]) return false;
    std::memcpy(output->frameBytes, data, bytes);
    frameDrawn = true;
    output->shownFrame = display(__func__) ? static_cast<int>(n) : -1;
    return output->shownFrame >= 0;
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
