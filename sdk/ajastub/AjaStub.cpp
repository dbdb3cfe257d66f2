// The simulated card behind AjaNtv2.h.
#include "AjaNtv2.h"
#include "AjaStubControl.h"
#include "StubMonitor.h"

#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <mutex>

using ajastub::AjaStubCard;

namespace {

struct FormatInfo {
    NTV2VideoFormat format;
    NTV2FrameGeometry geometry;
    NTV2Standard standard;
    NTV2FrameRate rate;
};

// The video formats this card can show.
constexpr FormatInfo kFormats[] = {
    {NTV2_FORMAT_1080i_5000, NTV2_FG_1920x1080, NTV2_STANDARD_1080, NTV2_FRAMERATE_2500},
    {NTV2_FORMAT_1080i_5994, NTV2_FG_1920x1080, NTV2_STANDARD_1080, NTV2_FRAMERATE_2997},
    {NTV2_FORMAT_1080i_6000, NTV2_FG_1920x1080, NTV2_STANDARD_1080, NTV2_FRAMERATE_3000},
    {NTV2_FORMAT_720p_5994, NTV2_FG_1280x720, NTV2_STANDARD_720, NTV2_FRAMERATE_5994},
    {NTV2_FORMAT_720p_6000, NTV2_FG_1280x720, NTV2_STANDARD_720, NTV2_FRAMERATE_6000},
    {NTV2_FORMAT_1080p_2997, NTV2_FG_1920x1080, NTV2_STANDARD_1080p, NTV2_FRAMERATE_2997},
    {NTV2_FORMAT_1080p_3000, NTV2_FG_1920x1080, NTV2_STANDARD_1080p, NTV2_FRAMERATE_3000},
    {NTV2_FORMAT_1080p_2500, NTV2_FG_1920x1080, NTV2_STANDARD_1080p, NTV2_FRAMERATE_2500},
    {NTV2_FORMAT_1080p_2398, NTV2_FG_1920x1080, NTV2_STANDARD_1080p, NTV2_FRAMERATE_2398},
    {NTV2_FORMAT_1080p_2400, NTV2_FG_1920x1080, NTV2_STANDARD_1080p, NTV2_FRAMERATE_2400},
    {NTV2_FORMAT_1080p_2K_2398, NTV2_FG_2048x1080, NTV2_STANDARD_2K, NTV2_FRAMERATE_2398},
    {NTV2_FORMAT_1080p_2K_2400, NTV2_FG_2048x1080, NTV2_STANDARD_2K, NTV2_FRAMERATE_2400},
    {NTV2_FORMAT_720p_5000, NTV2_FG_1280x720, NTV2_STANDARD_720, NTV2_FRAMERATE_5000},
    {NTV2_FORMAT_1080p_5000_B, NTV2_FG_1920x1080, NTV2_STANDARD_1080p, NTV2_FRAMERATE_5000},
    {NTV2_FORMAT_1080p_5994_B, NTV2_FG_1920x1080, NTV2_STANDARD_1080p, NTV2_FRAMERATE_5994},
    {NTV2_FORMAT_1080p_6000_B, NTV2_FG_1920x1080, NTV2_STANDARD_1080p, NTV2_FRAMERATE_6000},
    {NTV2_FORMAT_1080p_5000_A, NTV2_FG_1920x1080, NTV2_STANDARD_1080p, NTV2_FRAMERATE_5000},
    {NTV2_FORMAT_1080p_5994_A, NTV2_FG_1920x1080, NTV2_STANDARD_1080p, NTV2_FRAMERATE_5994},
    {NTV2_FORMAT_1080p_6000_A, NTV2_FG_1920x1080, NTV2_STANDARD_1080p, NTV2_FRAMERATE_6000},
    {NTV2_FORMAT_1080p_2K_2500, NTV2_FG_2048x1080, NTV2_STANDARD_2K, NTV2_FRAMERATE_2500},
    {NTV2_FORMAT_525_5994, NTV2_FG_720x486, NTV2_STANDARD_525, NTV2_FRAMERATE_2997},
    {NTV2_FORMAT_625_5000, NTV2_FG_720x576, NTV2_STANDARD_625, NTV2_FRAMERATE_2500},
    {NTV2_FORMAT_4x1920x1080p_2398, NTV2_FG_4x1920x1080, NTV2_STANDARD_3840x2160p,
     NTV2_FRAMERATE_2398},
    {NTV2_FORMAT_4x1920x1080p_2400, NTV2_FG_4x1920x1080, NTV2_STANDARD_3840x2160p,
     NTV2_FRAMERATE_2400},
    {NTV2_FORMAT_4x1920x1080p_2500, NTV2_FG_4x1920x1080, NTV2_STANDARD_3840x2160p,
     NTV2_FRAMERATE_2500},
    {NTV2_FORMAT_4x2048x1080p_2398, NTV2_FG_4x2048x1080, NTV2_STANDARD_4096x2160p,
     NTV2_FRAMERATE_2398},
    {NTV2_FORMAT_4x2048x1080p_2400, NTV2_FG_4x2048x1080, NTV2_STANDARD_4096x2160p,
     NTV2_FRAMERATE_2400},
    {NTV2_FORMAT_4x2048x1080p_2500, NTV2_FG_4x2048x1080, NTV2_STANDARD_4096x2160p,
     NTV2_FRAMERATE_2500},
};

const FormatInfo* findFormat(NTV2VideoFormat f) {
    for (const FormatInfo& i : kFormats)
        if (i.format == f) return &i;
    return nullptr;
}

bool knownFrameBufferFormat(NTV2FrameBufferFormat f) {
    switch (f) {
    case NTV2_FBF_10BIT_YCBCR:
    case NTV2_FBF_8BIT_YCBCR:
    case NTV2_FBF_ARGB:
    case NTV2_FBF_RGBA:
    case NTV2_FBF_8BIT_YCBCR_YUY2:
    case NTV2_FBF_ABGR:
    case NTV2_FBF_10BIT_DPX:
    case NTV2_FBF_24BIT_RGB:
    case NTV2_FBF_24BIT_BGR:
        return true;
    default:
        return false;
    }
}

bool validChannel(NTV2Channel c) {
    return c >= NTV2_CHANNEL1 && c < NTV2_MAX_NUM_CHANNELS;
}

AjaStubCard powerUp() {
    AjaStubCard c;
    const char* e = std::getenv("KB_AJASTUB_NO_CARD");
    c.present = !(e && *e && std::strcmp(e, "0") != 0);
    return c;
}

struct Sim {
    std::mutex mutex;
    AjaStubCard card = powerUp();
    std::vector<uint8_t> frames[ajastub::kCardFrames];
};

Sim& sim() {
    static Sim s;
    return s;
}

NTV2InputSelectEntry entry(NTV2InputCrosspointID input) {
    // Crosspoint select fields are bytes, four to a register, from register 136 on.
    NTV2InputSelectEntry e;
    e.input = input;
    e.registerNum = 136 + static_cast<ULWord>(input) / 4;
    e.shift = (static_cast<ULWord>(input) % 4) * 8;
    e.mask = 0xFFu << e.shift;
    return e;
}

// How the card reads a frame-buffer format: the layouts the AJA back-end
// writes. False for a format the card does not know.
bool monitorLayout(NTV2FrameBufferFormat f, stubmonitor::FrameFormat& m, AJA_PixelFormat& pf) {
    using stubmonitor::Packing;
    struct Row {
        NTV2FrameBufferFormat format;
        AJA_PixelFormat pixelFormat;
        Packing packing;
        unsigned pixelBytes;
        unsigned place[4];
        bool bigEndian;
    };
    static const Row kRows[] = {
        {NTV2_FBF_ARGB, AJA_PixelFormat_ARGB8, Packing::Rgb8, 4, {2, 1, 0}, false},
        {NTV2_FBF_RGBA, AJA_PixelFormat_RGBA8, Packing::Rgb8, 4, {1, 2, 3}, false},
        {NTV2_FBF_ABGR, AJA_PixelFormat_ABGR8, Packing::Rgb8, 4, {0, 1, 2}, false},
        {NTV2_FBF_24BIT_RGB, AJA_PixelFormat_RGB8_PACK, Packing::Rgb8, 3, {0, 1, 2}, false},
        {NTV2_FBF_24BIT_BGR, AJA_PixelFormat_BGR8_PACK, Packing::Rgb8, 3, {2, 1, 0}, false},
        // Big-endian words, R in bits 31-22, G 21-12, B 11-2.
        {NTV2_FBF_10BIT_DPX, AJA_PixelFormat_RGB_DPX, Packing::Rgb10, 4, {22, 12, 2}, true},
        {NTV2_FBF_8BIT_YCBCR, AJA_PixelFormat_YCbCr8, Packing::Ycc8, 2, {0, 1, 2, 3}, false},
        {NTV2_FBF_8BIT_YCBCR_YUY2, AJA_PixelFormat_YUY28, Packing::Ycc8, 2, {1, 0, 3, 2}, false},
        {NTV2_FBF_10BIT_YCBCR, AJA_PixelFormat_YCbCr10, Packing::V210, 0, {0, 0, 0, 0}, false},
    };
    for (const Row& r : kRows) {
        if (r.format != f) continue;
        m.packing = r.packing;
        m.pixelBytes = r.pixelBytes;
        std::memcpy(m.place, r.place, sizeof m.place);
        m.bigEndian = r.bigEndian;
        pf = r.pixelFormat;
        return true;
    }
    return false;
}

// The picture of SDI output 1: card frame `n` as channel 1 reads it. YCbCr
// is BT.601 in standard definition; otherwise the colorimetry of output 1's
// VPID (byte 3 bits 5-4: 2 is BT.2020), BT.709 by default. Called locked.
stubmonitor::Monitor& monitor() {
    static stubmonitor::Monitor m("KB_AJASTUB_MONITOR");
    return m;
}

void showOnMonitor(Sim& s, ULWord n) {
    const AjaStubCard& c = s.card;
    const FormatInfo* f = findFormat(c.videoFormat[NTV2_CHANNEL1]);
    stubmonitor::FrameFormat m;
    AJA_PixelFormat pf = AJA_PixelFormat_Unknown;
    if (!f || !monitorLayout(c.frameBufferFormat[NTV2_CHANNEL1], m, pf)) return;
    m.width = static_cast<int>(GetNTV2FrameGeometryWidth(f->geometry));
    m.height = static_cast<int>(GetNTV2FrameGeometryHeight(f->geometry));
    m.rowBytes = AJA_CalcRowBytesForFormat(pf, static_cast<ULWord>(m.width));
    if (f->standard == NTV2_STANDARD_525 || f->standard == NTV2_STANDARD_625)
        m.matrix = stubmonitor::Matrix::Rec601;
    else if ((c.vpid[NTV2_CHANNEL1][0] >> 12 & 3) == 2)
        m.matrix = stubmonitor::Matrix::Rec2020;
    else
        m.matrix = stubmonitor::Matrix::Rec709;
    monitor().show(m, s.frames[n].data(), s.frames[n].size());
}

} // namespace

// Every member below but Open: locked, and false unless the object is open.
#define STUB_LOCKED                                                                                \
    Sim& s = sim();                                                                                \
    std::lock_guard<std::mutex> lock(s.mutex);                                                     \
    if (!mOpen || !s.card.present) return false;                                                   \
    AjaStubCard& c = s.card

NTV2InputSelectEntry GetSDIOut1InputSelectEntry() {
    return entry(NTV2_XptSDIOut1Input);
}
NTV2InputSelectEntry GetSDIOut2InputSelectEntry() {
    return entry(NTV2_XptSDIOut2Input);
}
NTV2InputSelectEntry GetSDIOut3InputSelectEntry() {
    return entry(NTV2_XptSDIOut3Input);
}
NTV2InputSelectEntry GetSDIOut4InputSelectEntry() {
    return entry(NTV2_XptSDIOut4Input);
}
NTV2InputSelectEntry GetSDIOut1InputDS2SelectEntry() {
    return entry(NTV2_XptSDIOut1InputDS2);
}
NTV2InputSelectEntry GetSDIOut2InputDS2SelectEntry() {
    return entry(NTV2_XptSDIOut2InputDS2);
}
NTV2InputSelectEntry GetSDIOut3InputDS2SelectEntry() {
    return entry(NTV2_XptSDIOut3InputDS2);
}
NTV2InputSelectEntry GetSDIOut4InputDS2SelectEntry() {
    return entry(NTV2_XptSDIOut4InputDS2);
}
NTV2InputSelectEntry GetDualLinkOut1InputSelectEntry() {
    return entry(NTV2_XptDualLinkOut1Input);
}
NTV2InputSelectEntry GetDualLinkOut2InputSelectEntry() {
    return entry(NTV2_XptDualLinkOut2Input);
}
NTV2InputSelectEntry GetDualLinkOut3InputSelectEntry() {
    return entry(NTV2_XptDualLinkOut3Input);
}
NTV2InputSelectEntry GetDualLinkOut4InputSelectEntry() {
    return entry(NTV2_XptDualLinkOut4Input);
}
NTV2InputSelectEntry GetHDMIOutInputSelectEntry() {
    return entry(NTV2_XptHDMIOutInput);
}
NTV2InputSelectEntry GetCSC1VidInputSelectEntry() {
    return entry(NTV2_XptCSC1VidInput);
}

ULWord AJA_CalcRowBytesForFormat(AJA_PixelFormat format, ULWord width) {
    switch (format) {
    case AJA_PixelFormat_YCbCr10:
        // v210: 48 pixels in 128 bytes, rows padded to whole blocks.
        return (width + 47) / 48 * 128;
    case AJA_PixelFormat_YCbCr8:
    case AJA_PixelFormat_YUY28:
        return width * 2;
    case AJA_PixelFormat_ARGB8:
    case AJA_PixelFormat_RGBA8:
    case AJA_PixelFormat_ABGR8:
    case AJA_PixelFormat_RGB10:
    case AJA_PixelFormat_RGB_DPX:
        return width * 4;
    case AJA_PixelFormat_RGB8_PACK:
    case AJA_PixelFormat_BGR8_PACK:
        return width * 3;
    default:
        return 0;
    }
}

ULWord GetNTV2FrameGeometryWidth(NTV2FrameGeometry g) {
    switch (g) {
    case NTV2_FG_1920x1080:
        return 1920;
    case NTV2_FG_1280x720:
        return 1280;
    case NTV2_FG_720x486:
    case NTV2_FG_720x576:
        return 720;
    case NTV2_FG_2048x1080:
        return 2048;
    case NTV2_FG_4x1920x1080:
        return 3840;
    case NTV2_FG_4x2048x1080:
        return 4096;
    default:
        return 0;
    }
}

ULWord GetNTV2FrameGeometryHeight(NTV2FrameGeometry g) {
    switch (g) {
    case NTV2_FG_1920x1080:
    case NTV2_FG_2048x1080:
        return 1080;
    case NTV2_FG_1280x720:
        return 720;
    case NTV2_FG_720x486:
        return 486;
    case NTV2_FG_720x576:
        return 576;
    case NTV2_FG_4x1920x1080:
    case NTV2_FG_4x2048x1080:
        return 2160;
    default:
        return 0;
    }
}

bool CNTV2SignalRouter::addWithValue(const NTV2InputSelectEntry& e, ULWord value) {
    size_t capacity;
    {
        Sim& s = sim();
        std::lock_guard<std::mutex> lock(s.mutex);
        capacity = s.card.faults.routerCapacity;
    }
    if (e.input < 0 || e.input >= NTV2_INPUT_CROSSPOINT_INVALID || value > 0xFF) return false;
    if (mConnections.size() >= capacity) return false;
    mConnections.emplace_back(e.input, value);
    return true;
}

int32_t AJAProcess::GetPid() {
    return static_cast<int32_t>(::getpid());
}

bool AJAProcess::IsValid(int32_t pid) {
    if (pid <= 0) return false;
    return ::kill(pid, 0) == 0 || errno == EPERM;
}

CNTV2Card::~CNTV2Card() {
    Close();
}

bool CNTV2Card::Open(UWord boardNumber, bool, NTV2DeviceType boardType, const char* hostName) {
    Sim& s = sim();
    std::lock_guard<std::mutex> lock(s.mutex);
    // One local card, board 0.
    mOpen = s.card.present && boardNumber == 0 && boardType == DEVICETYPE_NTV2 &&
            (!hostName || !*hostName);
    return mOpen;
}

bool CNTV2Card::Close() {
    bool was = mOpen;
    mOpen = false;
    return was;
}

bool CNTV2Card::GetSerialNumberString(std::string& serial) {
    STUB_LOCKED;
    serial = c.serial;
    return true;
}

bool CNTV2Card::GetStreamingApplication(ULWord& appCode, int32_t& pid) {
    STUB_LOCKED;
    appCode = c.streamAppCode;
    pid = c.streamPid;
    return true;
}

bool CNTV2Card::AcquireStreamForApplication(ULWord appCode, int32_t pid) {
    STUB_LOCKED;
    if (c.faults.acquireStream) return false;
    // A stream held by another live process cannot be taken.
    if (c.streamPid != 0 && c.streamPid != pid && AJAProcess::IsValid(c.streamPid)) return false;
    c.streamAppCode = appCode;
    c.streamPid = pid;
    return true;
}

bool CNTV2Card::ReleaseStreamForApplication(ULWord appCode, int32_t pid) {
    STUB_LOCKED;
    // Only the owner, under the code it acquired with, releases the stream.
    if (c.streamPid != pid || c.streamAppCode != appCode) return false;
    c.streamAppCode = 0;
    c.streamPid = 0;
    return true;
}

bool CNTV2Card::GetEveryFrameServices(NTV2EveryFrameTaskMode& mode) {
    STUB_LOCKED;
    mode = c.everyFrame;
    return true;
}

bool CNTV2Card::SetEveryFrameServices(NTV2EveryFrameTaskMode mode) {
    STUB_LOCKED;
    if (c.faults.everyFrameServices) return false;
    c.everyFrame = mode;
    return true;
}

bool CNTV2Card::SetReferenceSource(NTV2ReferenceSource source, bool) {
    STUB_LOCKED;
    c.reference = source;
    return true;
}

bool CNTV2Card::SetMode(NTV2Channel channel, NTV2Mode mode, bool) {
    STUB_LOCKED;
    if (!validChannel(channel)) return false;
    c.mode[channel] = mode;
    return true;
}

bool CNTV2Card::SetVideoFormat(NTV2VideoFormat format, bool, bool, NTV2Channel channel) {
    STUB_LOCKED;
    if (!validChannel(channel) || !findFormat(format)) return false;
    c.videoFormat[channel] = format;
    return true;
}

bool CNTV2Card::GetVideoFormat(NTV2VideoFormat& format, NTV2Channel channel) {
    STUB_LOCKED;
    if (!validChannel(channel)) return false;
    format = c.videoFormat[channel];
    return true;
}

bool CNTV2Card::SetFrameBufferFormat(NTV2Channel channel, NTV2FrameBufferFormat format, bool) {
    STUB_LOCKED;
    if (!validChannel(channel) || !knownFrameBufferFormat(format)) return false;
    c.frameBufferFormat[channel] = format;
    return true;
}

bool CNTV2Card::GetFrameBufferFormat(NTV2Channel channel, NTV2FrameBufferFormat& format) {
    STUB_LOCKED;
    if (!validChannel(channel)) return false;
    format = c.frameBufferFormat[channel];
    return true;
}

bool CNTV2Card::GetFrameGeometry(NTV2FrameGeometry& geometry, NTV2Channel channel) {
    STUB_LOCKED;
    if (!validChannel(channel)) return false;
    const FormatInfo* f = findFormat(c.videoFormat[channel]);
    geometry = f ? f->geometry : NTV2_FG_INVALID;
    return f != nullptr;
}

bool CNTV2Card::GetStandard(NTV2Standard& standard, NTV2Channel channel) {
    STUB_LOCKED;
    if (!validChannel(channel)) return false;
    const FormatInfo* f = findFormat(c.videoFormat[channel]);
    standard = f ? f->standard : NTV2_STANDARD_INVALID;
    return f != nullptr;
}

bool CNTV2Card::GetFrameRate(NTV2FrameRate& rate, NTV2Channel channel) {
    STUB_LOCKED;
    if (!validChannel(channel)) return false;
    const FormatInfo* f = findFormat(c.videoFormat[channel]);
    rate = f ? f->rate : NTV2_FRAMERATE_UNKNOWN;
    return f != nullptr;
}

bool CNTV2Card::IsProgressiveStandard(bool& progressive, NTV2Channel channel) {
    STUB_LOCKED;
    if (!validChannel(channel)) return false;
    const FormatInfo* f = findFormat(c.videoFormat[channel]);
    if (!f) return false;
    NTV2Standard st = f->standard;
    progressive = st != NTV2_STANDARD_1080 && st != NTV2_STANDARD_525 && st != NTV2_STANDARD_625;
    return true;
}

bool CNTV2Card::ClearRouting() {
    STUB_LOCKED;
    c.routing.clear();
    return true;
}

bool CNTV2Card::ApplySignalRoute(const CNTV2SignalRouter& router, bool replace) {
    STUB_LOCKED;
    if (replace) c.routing.clear();
    for (const auto& conn : router.connections())
        c.routing[conn.first] = conn.second;
    ++c.routeApplies;
    return true;
}

bool CNTV2Card::SetSDITransmitEnable(NTV2Channel channel, bool enable) {
    STUB_LOCKED;
    if (!validChannel(channel) || (c.faults.sdiTransmitMask >> channel & 1)) return false;
    c.sdiTransmit[channel] = enable;
    return true;
}

bool CNTV2Card::SetDualLinkOutputEnable(bool enable) {
    STUB_LOCKED;
    c.dualLinkOutput = enable;
    return true;
}

bool CNTV2Card::SetSDIOut3GEnable(NTV2Channel channel, bool enable) {
    STUB_LOCKED;
    if (!validChannel(channel)) return false;
    c.sdi3G[channel] = enable;
    return true;
}

bool CNTV2Card::SetSDIOut3GbEnable(NTV2Channel channel, bool enable) {
    STUB_LOCKED;
    if (!validChannel(channel)) return false;
    c.sdi3Gb[channel] = enable;
    return true;
}

bool CNTV2Card::SetSDIOut2Kx1080Enable(NTV2Channel channel, bool enable) {
    STUB_LOCKED;
    if (!validChannel(channel)) return false;
    c.sdi2Kx1080[channel] = enable;
    return true;
}

bool CNTV2Card::SetSDIOutVPID(ULWord linkA, ULWord linkB, NTV2Channel channel) {
    STUB_LOCKED;
    if (!validChannel(channel)) return false;
    c.vpid[channel][0] = linkA;
    c.vpid[channel][1] = linkB;
    return true;
}

bool CNTV2Card::SetRegisterWritemode(NTV2RegisterWriteMode mode, NTV2Channel channel) {
    STUB_LOCKED;
    if (!validChannel(channel)) return false;
    c.writeMode[channel] = mode;
    return true;
}

#define STUB_HDMI(field, value)                                                                    \
    STUB_LOCKED;                                                                                   \
    ++c.hdmi.calls;                                                                                \
    if (c.faults.hdmi) return false;                                                               \
    c.hdmi.field = value;                                                                          \
    return true

bool CNTV2Card::SetHDMIInputRange(NTV2HDMIRange range) {
    STUB_HDMI(inputRange, range);
}
bool CNTV2Card::SetHDMIOutRange(NTV2HDMIRange range) {
    STUB_HDMI(outRange, range);
}
bool CNTV2Card::SetHDMIOutColorSpace(NTV2HDMIColorSpace colorSpace) {
    STUB_HDMI(colorSpace, colorSpace);
}
bool CNTV2Card::SetLHIHDMIOutColorSpace(NTV2LHIHDMIColorSpace colorSpace) {
    STUB_HDMI(lhiColorSpace, colorSpace);
}
bool CNTV2Card::SetHDMIOutBitDepth(NTV2HDMIBitDepth depth) {
    STUB_HDMI(bitDepth, depth);
}
bool CNTV2Card::SetHDMIOutVideoStandard(NTV2Standard standard) {
    STUB_HDMI(standard, standard);
}
bool CNTV2Card::SetHDMIOutVideoFPS(NTV2FrameRate rate) {
    STUB_HDMI(rate, rate);
}

bool CNTV2Card::SetOutputFrame(NTV2Channel channel, ULWord frame) {
    STUB_LOCKED;
    if (!validChannel(channel) || (c.faults.outputFrameMask >> channel & 1) ||
        frame >= ajastub::kCardFrames)
        return false;
    bool shows = channel == NTV2_CHANNEL1 && frame != c.outputFrame[channel];
    c.outputFrame[channel] = frame;
    if (shows) showOnMonitor(s, frame);
    return true;
}

bool CNTV2Card::GetOutputFrame(NTV2Channel channel, ULWord& frame) {
    STUB_LOCKED;
    if (!validChannel(channel)) return false;
    frame = c.outputFrame[channel];
    return true;
}

bool CNTV2Card::DmaWriteFrame(NTV2DMAEngine, ULWord frame, const ULWord* buffer, ULWord bytes,
                              bool) {
    STUB_LOCKED;
    if (c.faults.dma || !buffer || frame >= ajastub::kCardFrames || bytes > ajastub::kFrameCapacity)
        return false;
    const uint8_t* p = reinterpret_cast<const uint8_t*>(buffer);
    s.frames[frame].assign(p, p + bytes);
    ++c.dmaWrites;
    if (frame == c.outputFrame[NTV2_CHANNEL1]) showOnMonitor(s, frame);
    return true;
}

namespace ajastub {

AjaStubCard card() {
    Sim& s = sim();
    std::lock_guard<std::mutex> lock(s.mutex);
    return s.card;
}

void setCard(const AjaStubCard& state) {
    Sim& s = sim();
    std::lock_guard<std::mutex> lock(s.mutex);
    s.card = state;
}

void resetCard() {
    Sim& s = sim();
    std::lock_guard<std::mutex> lock(s.mutex);
    s.card = powerUp();
    for (auto& f : s.frames)
        f.clear();
}

void flushMonitor() {
    monitor().flush();
}

std::vector<uint8_t> frame(ULWord n) {
    Sim& s = sim();
    std::lock_guard<std::mutex> lock(s.mutex);
    return n < kCardFrames ? s.frames[n] : std::vector<uint8_t>();
}

} // namespace ajastub
