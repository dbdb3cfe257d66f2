#include "QiRaster.h"

#include "OsDep.h"
#include "QiOutput.h"

#include <cstdlib>
#include <cstring>
#include <mutex>
#include <utility>

QiRaster::QiRaster(int width, int height, int bits, QiRasterInterface* observer)
    : QiImage(width, height, bits), coder(this), iface(observer) {}

QiRaster::QiRaster(QiImage* model, QiRasterInterface* observer)
    : QiImage(model ? model->getWidth() : 0, model ? model->getHeight() : 0, 8), coder(this),
      iface(observer), blackLevel(0), whiteLevel(0) {}

bool QiRaster::showFrame(int n) {
    // An empty ring has no frame to show; a frame outside the ring would hand
    // the device a buffer it does not have.
    if (frames == 0) {
        gOutput->trace(QiOutput::Warning, "%s: no frames to show\n", __func__);
        return false;
    }
    unsigned next;
    if (n == -1 && !sequence.empty()) {
        curStep = (curStep + 1) % static_cast<unsigned>(sequence.size());
        next = sequence[curStep];
        if (next >= frames) {
            gOutput->trace(QiOutput::Warning, "%s: step %u shows frame %u outside the ring of %u\n",
                           __func__, curStep, next, frames);
            return false;
        }
    } else if (n == -1) {
        next = (curFrame + 1) % frames;
    } else if (n < 0 || static_cast<unsigned>(n) >= frames) {
        gOutput->trace(QiOutput::Warning, "%s: frame %d outside the ring of %u\n", __func__, n,
                       frames);
        return false;
    } else {
        next = static_cast<unsigned>(n);
    }
    curFrame = next;
    // A frame the device refuses is a failure; the back-end says why.
    const bool shown = p_showFrame(next);
    // The frames, pattern buffers and device copies of a larger size are
    // freed by now (the pattern has been drawn and the frame handed over at
    // the new size): the memory goes back once, not at every frame.
    const size_t pixels = static_cast<size_t>(width) * static_cast<size_t>(height);
    if (pixels < shownPixels) {
        notifyShrink(width, height);
        OsDep::returnFreedMemory();
    }
    shownPixels = pixels;
    return shown;
}

namespace {
std::mutex sShrinkMx;
std::vector<QiRaster::ShrinkListener>& shrinkListeners() {
    static std::vector<QiRaster::ShrinkListener>& listeners =
        *new std::vector<QiRaster::ShrinkListener>; // lives as long as the process
    return listeners;
}
} // namespace

void QiRaster::addShrinkListener(ShrinkListener listener) {
    std::lock_guard<std::mutex> lock(sShrinkMx);
    shrinkListeners().push_back(listener);
}

void QiRaster::notifyShrink(int w, int h) {
    std::vector<ShrinkListener> listeners;
    {
        std::lock_guard<std::mutex> lock(sShrinkMx);
        listeners = shrinkListeners();
    }
    for (ShrinkListener listener : listeners)
        listener(w, h);
}

unsigned QiRaster::maxFrames() const {
    const uint64_t frameBytes = static_cast<uint64_t>(width > 0 ? width : 0) *
                                static_cast<uint64_t>(height > 0 ? height : 0) * 4;
    if (frameBytes == 0 || frameBudget / frameBytes < 1) return 1;
    const uint64_t n = frameBudget / frameBytes;
    return n > 0xffffffffu ? 0xffffffffu : static_cast<unsigned>(n);
}

void QiRaster::setFrameSequence(std::vector<unsigned> steps) {
    sequence = std::move(steps);
    // The next step is step 0.
    curStep = sequence.empty() ? 0 : static_cast<unsigned>(sequence.size() - 1);
}

bool QiRaster::setInterface(QiRasterInterface* observer) {
    if (iface) return false;
    iface = observer;
    return true;
}

bool QiRaster::setRasterFormat(const char*) {
    return false;
}

int QiRaster::getSupportedFormats(int& count, int& current, char**& names) {
    names = static_cast<char**>(std::malloc(2 * sizeof(char*)));
    if (names) {
        names[0] = strdup("default");
        names[1] = nullptr;
    }
    count = (names && names[0]) ? 1 : 0;
    current = 0;
    return 0;
}

const char* QiRaster::getCurrentFormat() {
    return "default";
}

int QiRaster::rescanFormats() {
    return 0;
}

int QiRaster::setOutputFormat(unsigned) {
    return 0;
}

int QiRaster::getOutputFormat(unsigned&) {
    return 0;
}

int QiRaster::setOutputPixelFormat(QiImageCoder::PixelFormat format) {
    coder.pixelFormat = format;
    return 0;
}

QiImageCoder::PixelFormat QiRaster::getOutputPixelFormat() {
    return coder.pixelFormat;
}

unsigned QiRaster::getSupportedPixelFormats() {
    return 1u << QiImageCoder::RGB_8;
}

bool QiRaster::getEdid(uint8_t*& data, unsigned long& length) {
    data = static_cast<uint8_t*>(std::calloc(256, 1));
    if (!data) {
        length = 0;
        return false;
    }
    const uint8_t placeholder[4] = {4, 3, 2, 1};
    std::memcpy(data, placeholder, sizeof placeholder);
    length = sizeof placeholder;
    return true;
}

bool QiRaster::rerenderP() {
    return false;
}

const char* QiRaster::listedFormatName(const char*) {
    return nullptr;
}
