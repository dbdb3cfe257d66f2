#include "BmdOutput.h"

#include "QiOutput.h"

#include <cstdio>
#include <cstdlib>

namespace {

char fourCC(int64_t code, int shift) {
    return static_cast<char>((static_cast<uint64_t>(code) >> shift) & 0xFF);
}

} // namespace

char* CFStringCopyUTF8String(CFStringRef string) {
    if (!string) return nullptr;
    CFIndex length = CFStringGetLength(string);
    CFIndex size = CFStringGetMaximumSizeForEncoding(length, kCFStringEncodingUTF8);
    if (size < 0) return nullptr;
    // The maximum size leaves out the terminating NUL; without room for it an
    // empty name would fail to convert.
    size += 1;
    char* buffer = static_cast<char*>(std::malloc(static_cast<size_t>(size)));
    if (!buffer) return nullptr;
    if (!CFStringGetCString(string, buffer, size, kCFStringEncodingUTF8)) {
        std::free(buffer);
        return nullptr;
    }
    return buffer;
}

BmdOutput::BmdOutput(bool isPassive) : passive(isPassive) {}

BmdOutput::~BmdOutput() {
    if (modes) {
        for (IDeckLinkDisplayMode** m = modes; *m; ++m)
            (*m)->Release();
        delete[] modes;
    }
    if (videoFrame) videoFrame->Release();
    delete[] frameStore;
    if (configuration) configuration->Release();
    if (deckLinkOutput && outputEnabled) deckLinkOutput->DisableVideoOutput();
    if (deckLinkOutput) {
        // The device must not call back into an object that is going away.
        deckLinkOutput->SetScheduledFrameCompletionCallback(nullptr);
        deckLinkOutput->Release();
    }
    if (deckLink) deckLink->Release();
}

bool BmdOutput::init() {
    std::fprintf(stderr, "%s: creating deckLinkIterator\n", __func__);
    // A card opened again may take a mode it refused before.
    modeRefused = false;
    IDeckLinkIterator* iterator = CreateDeckLinkIteratorInstance();
    if (!iterator) {
        gOutput->trace(QiOutput::Minutiae,
                       "This application requires the DeckLink drivers installed.\n");
        return false;
    }
    std::fprintf(stderr, "deckLinkIterator: %p\n", static_cast<void*>(iterator));

    bool ok = false;
    if (iterator->Next(&deckLink) != S_OK || !deckLink) {
        deckLink = nullptr;
        gOutput->trace(QiOutput::Minutiae, "No DeckLink PCI cards found\n");
    } else if (deckLink->QueryInterface(IID_IDeckLinkOutput,
                                        reinterpret_cast<void**>(&deckLinkOutput)) != S_OK ||
               !deckLinkOutput) {
        deckLinkOutput = nullptr;
        gOutput->trace(QiOutput::Minutiae, "Could not get the IDeckLinkOutput interface\n");
    } else if (deckLink->QueryInterface(IID_IDeckLinkConfiguration,
                                        reinterpret_cast<void**>(&configuration)) != S_OK ||
               !configuration) {
        configuration = nullptr;
        gOutput->trace(QiOutput::Minutiae, "Could not get the IDeckLinkConfiguration interface\n");
    } else {
        if (deckLinkOutput->SetScheduledFrameCompletionCallback(this) != S_OK)
            gOutput->trace(QiOutput::Minutiae, "Couldn't set scheduled frame callback to this\n");
        buildModeList();
        ok = true;
    }
    iterator->Release();
    return ok;
}

bool BmdOutput::buildModeList() {
    if (!deckLinkOutput || !configuration) return false;
    int64_t defMode = 0;
    if (configuration->GetInt(bmdDeckLinkConfigDefaultVideoOutputMode, &defMode) != S_OK) {
        gOutput->trace(QiOutput::Minutiae, "\n\n%s: getDefMode failed (wtf)\n\n", __func__);
        defMode = 0;
    }
    configuredMode = defMode;
    gOutput->trace(QiOutput::Minutiae, "%s: defMode is %c%c%c%c\n", __func__, fourCC(defMode, 24),
                   fourCC(defMode, 16), fourCC(defMode, 8), fourCC(defMode, 0));

    IDeckLinkDisplayModeIterator* iterator = nullptr;
    if (deckLinkOutput->GetDisplayModeIterator(&iterator) != S_OK || !iterator) return false;
    uint32_t count = 0;
    IDeckLinkDisplayMode* mode = nullptr;
    while (iterator->Next(&mode) == S_OK && mode) {
        ++count;
        mode->Release();
    }
    iterator->Release();

    iterator = nullptr;
    if (deckLinkOutput->GetDisplayModeIterator(&iterator) != S_OK || !iterator) return false;
    // A second listing replaces the first.
    if (modes) {
        for (IDeckLinkDisplayMode** m = modes; *m; ++m)
            (*m)->Release();
        delete[] modes;
    }
    modes = new IDeckLinkDisplayMode*[count + 1];
    uint32_t n = 0;
    // The listing is taken again; a device that now offers more modes than
    // it counted keeps the first `count`.
    while (n < count && iterator->Next(&mode) == S_OK && mode) {
        if (static_cast<int64_t>(mode->GetDisplayMode()) == defMode) defaultModeIndex = n;
        modes[n++] = mode;
    }
    iterator->Release();
    modes[n] = nullptr;
    modeCount = n;
    // Until a mode is enabled, the configured one is what the device is set to show.
    if (!outputEnabled) currentModeIndex = defaultModeIndex;
    return true;
}

HRESULT BmdOutput::ScheduleNextFrame(bool) {
    if (!deckLinkOutput) return E_FAIL;
    HRESULT result = deckLinkOutput->ScheduleVideoFrame(videoFrame, scheduledFrames * frameDuration,
                                                        frameDuration, timeScale);
    if (result == S_OK) ++scheduledFrames;
    return result;
}

HRESULT BmdOutput::QueryInterface(REFIID, void** object) {
    if (object) *object = nullptr;
    return E_NOINTERFACE;
}

ULONG BmdOutput::AddRef() {
    return 1;
}

ULONG BmdOutput::Release() {
    return 1;
}

HRESULT BmdOutput::ScheduledFrameCompleted(IDeckLinkVideoFrame*, BMDOutputFrameCompletionResult) {
    ScheduleNextFrame(false);
    return S_OK;
}

HRESULT BmdOutput::ScheduledPlaybackHasStopped() {
    return S_OK;
}
