// The stand-in DeckLink library: one card simulated in memory.
#include "DeckLinkStubCard.h"
#include "StubMonitor.h"

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <mutex>

namespace decklinkstub {
namespace {

constexpr size_t kKeepShown = 16;

struct Card {
    std::mutex mutex;
    std::vector<Mode> modes;
    BMDDisplayMode defaultMode = 0;
    std::vector<BMDPixelFormat> formats;
    unsigned failures = 0;
    BMDDisplayMode refusedMode = 0;
    bool enabled = false;
    BMDDisplayMode enabledMode = 0;
    unsigned enables = 0;
    bool keepShown = false; // keep the last frames shown, for tests
    std::deque<Frame> shown;
    unsigned shows = 0;
    IDeckLinkVideoOutputCallback* callback = nullptr;
};

Card& card() {
    static Card* c = [] {
        Card* fresh = new Card; // lives for the process, like the hardware
        fresh->modes = defaultModes();
        fresh->defaultMode = bmdFourCC('H', 'i', '5', '0');
        fresh->formats = cardPixelFormats();
        return fresh;
    }();
    return *c;
}

bool failing(unsigned what) {
    Card& c = card();
    std::lock_guard<std::mutex> lock(c.mutex);
    return (c.failures & what) != 0;
}

std::atomic<long> sLive{0};

// Reference counting shared by every object the library hands out.
template <class Interface> class Counted : public Interface {
public:
    Counted() { sLive.fetch_add(1); }
    ~Counted() override { sLive.fetch_sub(1); }
    HRESULT QueryInterface(REFIID, void** object) override {
        if (object) *object = nullptr;
        return E_NOINTERFACE;
    }
    ULONG AddRef() override { return refs.fetch_add(1) + 1; }
    ULONG Release() override {
        ULONG left = refs.fetch_sub(1) - 1;
        if (left == 0) delete this;
        return left;
    }

private:
    std::atomic<ULONG> refs{1};
};

class StubFrame : public Counted<IDeckLinkMutableVideoFrame> {
public:
    StubFrame(long w, long h, long row, BMDPixelFormat f, BMDFrameFlags fl)
        : width(w), height(h), rowBytes(row), format(f), flags(fl),
          bytes(static_cast<size_t>(row) * static_cast<size_t>(h)) {}
    long GetWidth() override { return width; }
    long GetHeight() override { return height; }
    long GetRowBytes() override { return rowBytes; }
    BMDPixelFormat GetPixelFormat() override { return format; }
    BMDFrameFlags GetFlags() override { return flags; }
    HRESULT GetBytes(void** buffer) override {
        if (!buffer) return E_POINTER;
        *buffer = bytes.data();
        return S_OK;
    }
    HRESULT SetFlags(BMDFrameFlags f) override {
        flags = f;
        return S_OK;
    }

private:
    long width, height, rowBytes;
    BMDPixelFormat format;
    BMDFrameFlags flags;
    std::vector<uint8_t> bytes;
};

class StubDisplayMode : public Counted<IDeckLinkDisplayMode> {
public:
    explicit StubDisplayMode(const Mode& m) : mode(m) {}
    HRESULT GetName(CFStringRef* name) override {
        if (!name) return E_POINTER;
        *name = nullptr;
        if (failing(FailModeName)) return E_FAIL;
        *name = CFStringCreateWithCString(kCFAllocatorDefault, mode.name.c_str(),
                                          kCFStringEncodingUTF8);
        return *name ? S_OK : E_OUTOFMEMORY;
    }
    BMDDisplayMode GetDisplayMode() override { return mode.mode; }
    long GetWidth() override { return mode.width; }
    long GetHeight() override { return mode.height; }
    HRESULT GetFrameRate(BMDTimeValue* duration, BMDTimeScale* scale) override {
        if (!duration || !scale) return E_POINTER;
        *duration = mode.duration;
        *scale = mode.timeScale;
        return S_OK;
    }

private:
    const Mode mode;
};

class StubModeIterator : public Counted<IDeckLinkDisplayModeIterator> {
public:
    explicit StubModeIterator(std::vector<Mode> m) : modes(std::move(m)) {}
    HRESULT Next(IDeckLinkDisplayMode** mode) override {
        if (!mode) return E_POINTER;
        if (next >= modes.size()) {
            *mode = nullptr;
            return S_FALSE;
        }
        *mode = new StubDisplayMode(modes[next++]);
        return S_OK;
    }

private:
    std::vector<Mode> modes;
    size_t next = 0;
};

const Mode* findMode(const Card& c, BMDDisplayMode mode) {
    for (const Mode& m : c.modes)
        if (m.mode == mode) return &m;
    return nullptr;
}

bool listed(const std::vector<BMDPixelFormat>& formats, BMDPixelFormat format) {
    for (BMDPixelFormat f : formats)
        if (f == format) return true;
    return false;
}

// Whether the card can show `format` in mode `m`.
bool supports(const Card& c, const Mode& m, BMDPixelFormat format) {
    return listed(c.formats, format) && (m.formats.empty() || listed(m.formats, format));
}

// The picture of the card's output: a frame it starts to show, read in its
// pixel format. The card carries BT.601 YCbCr in standard-definition modes
// (576 lines or fewer) and BT.709 in the others.
stubmonitor::Monitor& monitor() {
    static stubmonitor::Monitor m("KB_DECKLINK_STUB_MONITOR");
    return m;
}

// `f` describes the frame; its bytes are at `bytes`.
void showOnMonitor(const Frame& f, const uint8_t* bytes) {
    using stubmonitor::Packing;
    stubmonitor::FrameFormat m;
    switch (f.format) {
    case bmdFormat8BitARGB: // bytes A, R, G, B
        m.packing = Packing::Rgb8;
        m.pixelBytes = 4;
        m.place[0] = 1, m.place[1] = 2, m.place[2] = 3;
        break;
    case bmdFormat10BitRGB: // big-endian words, R in bits 29-20, G 19-10, B 9-0
        m.packing = Packing::Rgb10;
        m.bigEndian = true;
        m.place[0] = 20, m.place[1] = 10, m.place[2] = 0;
        break;
    case bmdFormat8BitYUV: // Cb, Y0, Cr, Y1
        m.packing = Packing::Ycc8;
        break;
    case bmdFormat10BitYUV:
        m.packing = Packing::V210;
        break;
    default:
        return;
    }
    m.width = static_cast<int>(f.width);
    m.height = static_cast<int>(f.height);
    m.rowBytes = static_cast<size_t>(f.rowBytes);
    m.matrix = f.height <= 576 ? stubmonitor::Matrix::Rec601 : stubmonitor::Matrix::Rec709;
    monitor().show(m, bytes, static_cast<size_t>(f.rowBytes) * static_cast<size_t>(f.height));
}

class StubOutput : public Counted<IDeckLinkOutput> {
public:
    HRESULT DoesSupportVideoMode(BMDDisplayMode mode, BMDPixelFormat format, BMDVideoOutputFlags,
                                 BMDDisplayModeSupport* result,
                                 IDeckLinkDisplayMode** resultMode) override {
        if (!result) return E_POINTER;
        Card& c = card();
        std::lock_guard<std::mutex> lock(c.mutex);
        const Mode* m = findMode(c, mode);
        bool ok = m && supports(c, *m, format);
        *result = ok ? bmdDisplayModeSupported : bmdDisplayModeNotSupported;
        if (resultMode) *resultMode = ok ? new StubDisplayMode(*m) : nullptr;
        return S_OK;
    }
    HRESULT GetDisplayModeIterator(IDeckLinkDisplayModeIterator** iterator) override {
        if (!iterator) return E_POINTER;
        Card& c = card();
        std::lock_guard<std::mutex> lock(c.mutex);
        *iterator = new StubModeIterator(c.modes);
        return S_OK;
    }
    HRESULT EnableVideoOutput(BMDDisplayMode mode, BMDVideoOutputFlags) override {
        Card& c = card();
        std::lock_guard<std::mutex> lock(c.mutex);
        if (c.failures & FailEnable) return E_FAIL;
        if (!findMode(c, mode)) return E_INVALIDARG;
        // One mode at a time: the output must be disabled before another enable.
        if (c.enabled) return E_ACCESSDENIED;
        if (mode == c.refusedMode) return E_FAIL;
        c.enabled = true;
        c.enabledMode = mode;
        ++c.enables;
        return S_OK;
    }
    HRESULT DisableVideoOutput() override {
        Card& c = card();
        std::lock_guard<std::mutex> lock(c.mutex);
        c.enabled = false;
        return S_OK;
    }
    HRESULT CreateVideoFrame(int32_t width, int32_t height, int32_t rowBytes, BMDPixelFormat format,
                             BMDFrameFlags flags, IDeckLinkMutableVideoFrame** frame) override {
        if (!frame) return E_POINTER;
        *frame = nullptr;
        if (failing(FailCreateFrame)) return E_FAIL;
        long minRow = minimumRowBytes(format, width);
        if (width <= 0 || height <= 0 || minRow == 0 || rowBytes < minRow) return E_INVALIDARG;
        *frame = new StubFrame(width, height, rowBytes, format, flags);
        return S_OK;
    }
    HRESULT DisplayVideoFrameSync(IDeckLinkVideoFrame* frame) override {
        if (!frame) return E_POINTER;
        Card& c = card();
        std::lock_guard<std::mutex> lock(c.mutex);
        if (c.failures & FailDisplay) return E_FAIL;
        if (!c.enabled) return E_ACCESSDENIED;
        const Mode* m = findMode(c, c.enabledMode);
        // The card scans out frames of the enabled mode's size, in a pixel
        // format that mode can be shown in, only.
        if (!m || frame->GetWidth() != m->width || frame->GetHeight() != m->height ||
            !supports(c, *m, frame->GetPixelFormat()))
            return E_INVALIDARG;
        void* bytes = nullptr;
        if (frame->GetBytes(&bytes) != S_OK || !bytes) return E_FAIL;
        Frame shown;
        shown.mode = c.enabledMode;
        shown.width = frame->GetWidth();
        shown.height = frame->GetHeight();
        shown.rowBytes = frame->GetRowBytes();
        shown.format = frame->GetPixelFormat();
        shown.shownAt = std::chrono::steady_clock::now();
        const uint8_t* p = static_cast<const uint8_t*>(bytes);
        showOnMonitor(shown, p);
        // A copy only for a test that reads it: at UHD every frame is tens of
        // megabytes.
        if (c.keepShown) {
            shown.bytes.assign(p, p + static_cast<size_t>(shown.rowBytes) *
                                          static_cast<size_t>(shown.height));
            c.shown.push_back(std::move(shown));
            while (c.shown.size() > kKeepShown)
                c.shown.pop_front();
        }
        ++c.shows;
        return S_OK;
    }
    HRESULT ScheduleVideoFrame(IDeckLinkVideoFrame* frame, BMDTimeValue, BMDTimeValue,
                               BMDTimeScale) override {
        if (!frame) return E_POINTER;
        Card& c = card();
        std::lock_guard<std::mutex> lock(c.mutex);
        return c.enabled ? S_OK : E_ACCESSDENIED;
    }
    HRESULT SetScheduledFrameCompletionCallback(IDeckLinkVideoOutputCallback* callback) override {
        Card& c = card();
        std::lock_guard<std::mutex> lock(c.mutex);
        if (c.failures & FailCallback) return E_FAIL;
        c.callback = callback;
        return S_OK;
    }
};

class StubConfiguration : public Counted<IDeckLinkConfiguration> {
public:
    HRESULT GetInt(BMDDeckLinkConfigurationID id, int64_t* value) override {
        if (!value) return E_POINTER;
        Card& c = card();
        std::lock_guard<std::mutex> lock(c.mutex);
        if (id != bmdDeckLinkConfigDefaultVideoOutputMode) return E_INVALIDARG;
        if (c.failures & FailDefaultMode) return E_FAIL;
        *value = c.defaultMode;
        return S_OK;
    }
};

class StubDevice : public Counted<IDeckLink> {
public:
    HRESULT QueryInterface(REFIID iid, void** object) override {
        if (!object) return E_POINTER;
        *object = nullptr;
        if (CFEqualUUIDs(iid, IID_IDeckLinkOutput)) {
            if (failing(FailOutputInterface)) return E_NOINTERFACE;
            *object = static_cast<IDeckLinkOutput*>(new StubOutput);
            return S_OK;
        }
        if (CFEqualUUIDs(iid, IID_IDeckLinkConfiguration)) {
            if (failing(FailConfigurationInterface)) return E_NOINTERFACE;
            *object = static_cast<IDeckLinkConfiguration*>(new StubConfiguration);
            return S_OK;
        }
        if (CFEqualUUIDs(iid, IUnknownUUID)) {
            AddRef();
            *object = static_cast<IUnknown*>(this);
            return S_OK;
        }
        return E_NOINTERFACE;
    }
};

class StubIterator : public Counted<IDeckLinkIterator> {
public:
    explicit StubIterator(bool withCard) : remaining(withCard ? 1 : 0) {}
    HRESULT Next(IDeckLink** device) override {
        if (!device) return E_POINTER;
        if (remaining == 0) {
            *device = nullptr;
            return S_FALSE;
        }
        --remaining;
        *device = new StubDevice;
        return S_OK;
    }

private:
    int remaining;
};

bool envIs(const char* value) {
    const char* v = std::getenv("KB_DECKLINK_STUB");
    return v && std::strcmp(v, value) == 0;
}

} // namespace

std::vector<Mode> defaultModes() {
    const std::vector<BMDPixelFormat> sd = {bmdFormat8BitYUV, bmdFormat10BitYUV, bmdFormat8BitARGB,
                                            bmdFormat10BitRGB};
    const std::vector<BMDPixelFormat> uhdFast = {bmdFormat8BitYUV, bmdFormat10BitYUV,
                                                 bmdFormat8BitARGB};
    const long hd[2] = {1920, 1080}, dci[2] = {2048, 1080}, uhd[2] = {3840, 2160};
    return {
        {bmdFourCC('n', 't', 's', 'c'), "NTSC", 720, 486, 1001, 30000, sd},
        {bmdFourCC('p', 'a', 'l', ' '), "PAL", 720, 576, 1000, 25000, sd},
        {bmdFourCC('h', 'p', '5', '0'), "HD 720p 50", 1280, 720, 1000, 50000},
        {bmdFourCC('h', 'p', '5', '9'), "HD 720p 59.94", 1280, 720, 1001, 60000},
        {bmdFourCC('h', 'p', '6', '0'), "HD 720p 60", 1280, 720, 1000, 60000},
        {bmdFourCC('H', 'i', '5', '0'), "HD 1080i 50", hd[0], hd[1], 1000, 25000},
        {bmdFourCC('H', 'i', '5', '9'), "HD 1080i 59.94", hd[0], hd[1], 1001, 30000},
        {bmdFourCC('H', 'i', '6', '0'), "HD 1080i 60", hd[0], hd[1], 1000, 30000},
        {bmdFourCC('H', 'p', '2', '3'), "HD 1080p 23.98", hd[0], hd[1], 1001, 24000},
        {bmdFourCC('H', 'p', '2', '4'), "HD 1080p 24", hd[0], hd[1], 1000, 24000},
        {bmdFourCC('H', 'p', '2', '5'), "HD 1080p 25", hd[0], hd[1], 1000, 25000},
        {bmdFourCC('H', 'p', '2', '9'), "HD 1080p 29.97", hd[0], hd[1], 1001, 30000},
        {bmdFourCC('H', 'p', '3', '0'), "HD 1080p 30", hd[0], hd[1], 1000, 30000},
        {bmdFourCC('H', 'p', '5', '0'), "HD 1080p 50", hd[0], hd[1], 1000, 50000},
        {bmdFourCC('H', 'p', '5', '9'), "HD 1080p 59.94", hd[0], hd[1], 1001, 60000},
        {bmdFourCC('H', 'p', '6', '0'), "HD 1080p 60", hd[0], hd[1], 1000, 60000},
        {bmdFourCC('2', 'd', '2', '3'), "2K DCI 23.98", dci[0], dci[1], 1001, 24000},
        {bmdFourCC('2', 'd', '2', '4'), "2K DCI 24", dci[0], dci[1], 1000, 24000},
        {bmdFourCC('2', 'd', '2', '5'), "2K DCI 25", dci[0], dci[1], 1000, 25000},
        {bmdFourCC('U', 'p', '2', '3'), "UHD 2160p 23.98", uhd[0], uhd[1], 1001, 24000},
        {bmdFourCC('U', 'p', '2', '4'), "UHD 2160p 24", uhd[0], uhd[1], 1000, 24000},
        {bmdFourCC('U', 'p', '2', '5'), "UHD 2160p 25", uhd[0], uhd[1], 1000, 25000},
        {bmdFourCC('U', 'p', '2', '9'), "UHD 2160p 29.97", uhd[0], uhd[1], 1001, 30000},
        {bmdFourCC('U', 'p', '3', '0'), "UHD 2160p 30", uhd[0], uhd[1], 1000, 30000},
        {bmdFourCC('U', 'p', '5', '0'), "UHD 2160p 50", uhd[0], uhd[1], 1000, 50000, uhdFast},
        {bmdFourCC('U', 'p', '5', '9'), "UHD 2160p 59.94", uhd[0], uhd[1], 1001, 60000, uhdFast},
        {bmdFourCC('U', 'p', '6', '0'), "UHD 2160p 60", uhd[0], uhd[1], 1000, 60000, uhdFast},
    };
}

std::vector<BMDPixelFormat> cardPixelFormats() {
    return {bmdFormat8BitYUV, bmdFormat10BitYUV, bmdFormat8BitARGB, bmdFormat10BitRGB,
            bmdFormat12BitRGB};
}

void reset() {
    Card& c = card();
    std::lock_guard<std::mutex> lock(c.mutex);
    c.modes = defaultModes();
    c.defaultMode = bmdFourCC('H', 'i', '5', '0');
    c.formats = cardPixelFormats();
    c.failures = 0;
    c.refusedMode = 0;
    c.enabled = false;
    c.enabledMode = 0;
    c.enables = 0;
    c.shown.clear();
    c.shows = 0;
    c.callback = nullptr;
}

void setModes(const std::vector<Mode>& modes) {
    Card& c = card();
    std::lock_guard<std::mutex> lock(c.mutex);
    c.modes = modes;
}

void setDefaultMode(BMDDisplayMode mode) {
    Card& c = card();
    std::lock_guard<std::mutex> lock(c.mutex);
    c.defaultMode = mode;
}

void setPixelFormats(const std::vector<BMDPixelFormat>& formats) {
    Card& c = card();
    std::lock_guard<std::mutex> lock(c.mutex);
    c.formats = formats;
}

void setFailures(unsigned failures) {
    Card& c = card();
    std::lock_guard<std::mutex> lock(c.mutex);
    c.failures = failures;
}

void setRefusedMode(BMDDisplayMode mode) {
    Card& c = card();
    std::lock_guard<std::mutex> lock(c.mutex);
    c.refusedMode = mode;
}

long minimumRowBytes(BMDPixelFormat format, long width) {
    switch (format) {
    case bmdFormat8BitARGB:
        return 4 * width;
    case bmdFormat10BitRGB:
        return (width + 63) / 64 * 256;
    case bmdFormat8BitYUV:
        return 2 * width;
    case bmdFormat10BitYUV:
        return (width + 47) / 48 * 128;
    case bmdFormat12BitRGB:
        return (width + 7) / 8 * 36; // 8 pixels in 36 bytes
    }
    return 0;
}

void keepShownFrames(bool keep) {
    Card& c = card();
    std::lock_guard<std::mutex> lock(c.mutex);
    c.keepShown = keep;
    if (!keep) c.shown.clear();
}

std::vector<Frame> shownFrames() {
    Card& c = card();
    std::lock_guard<std::mutex> lock(c.mutex);
    return std::vector<Frame>(c.shown.begin(), c.shown.end());
}

unsigned showCount() {
    Card& c = card();
    std::lock_guard<std::mutex> lock(c.mutex);
    return c.shows;
}

bool outputEnabled(BMDDisplayMode* mode) {
    Card& c = card();
    std::lock_guard<std::mutex> lock(c.mutex);
    if (mode) *mode = c.enabledMode;
    return c.enabled;
}

unsigned enableCount() {
    Card& c = card();
    std::lock_guard<std::mutex> lock(c.mutex);
    return c.enables;
}

bool hasCallback() {
    Card& c = card();
    std::lock_guard<std::mutex> lock(c.mutex);
    return c.callback != nullptr;
}

void flushMonitor() {
    monitor().flush();
}

long liveObjects() {
    return sLive.load();
}

} // namespace decklinkstub

// The factory the dispatch layer resolves by name.
extern "C" __attribute__((visibility("default"))) IDeckLinkIterator*
CreateDeckLinkIteratorInstance_0002() {
    if (decklinkstub::envIs("nodriver")) return nullptr;
    return new decklinkstub::StubIterator(!decklinkstub::envIs("nocard"));
}
