// The simulated card behind AjaNtv2.h.
#include "AjaNtv2.h"
#include "AjaStubControl.h"
#include "StubMonitor.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>

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

// Row-byte calculator format of a frame-buffer format (Unknown: none).
AJA_PixelFormat pixelFormatOf(NTV2FrameBufferFormat f) {
    switch (f) {
    case NTV2_FBF_10BIT_YCBCR:
        return AJA_PixelFormat_YCbCr10;
    case NTV2_FBF_8BIT_YCBCR:
        return AJA_PixelFormat_YCbCr8;
    case NTV2_FBF_ARGB:
        return AJA_PixelFormat_ARGB8;
    case NTV2_FBF_RGBA:
        return AJA_PixelFormat_RGBA8;
    case NTV2_FBF_8BIT_YCBCR_YUY2:
        return AJA_PixelFormat_YUY28;
    case NTV2_FBF_ABGR:
        return AJA_PixelFormat_ABGR8;
    case NTV2_FBF_10BIT_DPX:
        return AJA_PixelFormat_RGB10;
    case NTV2_FBF_24BIT_RGB:
        return AJA_PixelFormat_RGB8_PACK;
    case NTV2_FBF_24BIT_BGR:
        return AJA_PixelFormat_BGR8_PACK;
    default:
        return AJA_PixelFormat_Unknown;
    }
}

// What a crosspoint carries.
enum class Signal { None, Black, YCbCr, RgbFrameBuffer, YCbCrFrameBuffer, DualLink };

Signal signalOf(ULWord crosspoint) {
    switch (crosspoint) {
    case NTV2_XptBlack:
        return Signal::Black;
    case NTV2_XptCSC1VidYUV:
        return Signal::YCbCr;
    case NTV2_XptFrameBuffer1YUV:
    case NTV2_XptFrameBuffer2YUV:
    case NTV2_XptFrameBuffer3YUV:
    case NTV2_XptFrameBuffer4YUV:
        return Signal::YCbCrFrameBuffer;
    case NTV2_XptFrameBuffer1RGB:
    case NTV2_XptFrameBuffer2RGB:
    case NTV2_XptFrameBuffer3RGB:
    case NTV2_XptFrameBuffer4RGB:
        return Signal::RgbFrameBuffer;
    case NTV2_XptDuallinkOut:
    case NTV2_XptDuallinkOutDS2:
    case NTV2_XptDuallinkOut2:
    case NTV2_XptDuallinkOut2DS2:
    case NTV2_XptDuallinkOut3:
    case NTV2_XptDuallinkOut3DS2:
    case NTV2_XptDuallinkOut4:
    case NTV2_XptDuallinkOut4DS2:
        return Signal::DualLink;
    default:
        return Signal::None;
    }
}

// Whether an input can take a crosspoint (AjaNtv2.h, CNTV2Card::Connect).
bool inputTakes(NTV2InputCrosspointID input, ULWord crosspoint) {
    const Signal s = signalOf(crosspoint);
    if (input < 0 || input >= NTV2_INPUT_CROSSPOINT_INVALID || s == Signal::None) return false;
    if (s == Signal::Black) return true;
    const bool ycbcr = s == Signal::YCbCr || s == Signal::YCbCrFrameBuffer;
    switch (input) {
    case NTV2_XptSDIOut1Input:
    case NTV2_XptSDIOut2Input:
    case NTV2_XptSDIOut3Input:
    case NTV2_XptSDIOut4Input:
    case NTV2_XptSDIOut1InputDS2:
    case NTV2_XptSDIOut2InputDS2:
    case NTV2_XptSDIOut3InputDS2:
    case NTV2_XptSDIOut4InputDS2:
        return ycbcr || s == Signal::DualLink;
    case NTV2_XptDualLinkOut1Input:
    case NTV2_XptDualLinkOut2Input:
    case NTV2_XptDualLinkOut3Input:
    case NTV2_XptDualLinkOut4Input:
        return s == Signal::RgbFrameBuffer;
    case NTV2_XptHDMIOutInput:
        return ycbcr;
    case NTV2_XptCSC1VidInput:
        return s == Signal::RgbFrameBuffer || s == Signal::YCbCrFrameBuffer;
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

// The owner of the card's stream, kept where every process on the machine
// sees it, as a driver keeps it: the file "kb-ajastub-<uid>-<serial>.stream"
// in KB_AJASTUB_LOCK_DIR (else TMPDIR, else /tmp), holding "<app code> <pid>"
// or nothing when the stream is free. An object holds the file's exclusive
// lock from construction to destruction, so a read and the write that follows
// it are one step for every process.
class StreamOwnerFile {
public:
    explicit StreamOwnerFile(const std::string& serial) {
        const char* dir = std::getenv("KB_AJASTUB_LOCK_DIR");
        if (!dir || !*dir) dir = std::getenv("TMPDIR");
        if (!dir || !*dir) dir = "/tmp";
        const std::string path = std::string(dir) + "/kb-ajastub-" +
                                 std::to_string(static_cast<unsigned long>(::getuid())) + "-" +
                                 serial + ".stream";
        fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
        if (fd < 0) return;
        while (::flock(fd, LOCK_EX) != 0)
            if (errno != EINTR) {
                ::close(fd);
                fd = -1;
                return;
            }
        char text[64] = {};
        ssize_t n = ::pread(fd, text, sizeof text - 1, 0);
        if (n > 0) {
            char* end = nullptr;
            unsigned long code = std::strtoul(text, &end, 10);
            long id = std::strtol(end, nullptr, 10);
            if (id > 0 && id <= INT32_MAX) {
                appCode = static_cast<ULWord>(code);
                pid = static_cast<int32_t>(id);
            }
        }
    }
    ~StreamOwnerFile() {
        if (fd >= 0) ::close(fd); // also drops the lock
    }
    StreamOwnerFile(const StreamOwnerFile&) = delete;
    StreamOwnerFile& operator=(const StreamOwnerFile&) = delete;

    bool ok() const { return fd >= 0; }
    // Records a new owner (pid 0: the stream is free).
    bool store(ULWord code, int32_t id) {
        if (fd < 0 || ::ftruncate(fd, 0) != 0) return false;
        char text[64] = "";
        int n = id > 0 ? std::snprintf(text, sizeof text, "%lu %ld\n",
                                       static_cast<unsigned long>(code), static_cast<long>(id))
                       : 0;
        if (n > 0 && ::pwrite(fd, text, static_cast<size_t>(n), 0) != n) return false;
        appCode = id > 0 ? code : 0;
        pid = id > 0 ? id : 0;
        return true;
    }

    ULWord appCode = 0;
    int32_t pid = 0; // 0: nobody owns the stream

private:
    int fd = -1;
};

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
    if (!inputTakes(e.input, value)) return false;
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
    StreamOwnerFile owner(c.serial);
    if (!owner.ok()) return false;
    appCode = owner.appCode;
    pid = owner.pid;
    return true;
}

bool CNTV2Card::AcquireStreamForApplication(ULWord appCode, int32_t pid) {
    STUB_LOCKED;
    if (c.faults.acquireStream || pid <= 0) return false;
    StreamOwnerFile owner(c.serial);
    // A stream held by another live process cannot be taken.
    if (owner.pid != 0 && owner.pid != pid && AJAProcess::IsValid(owner.pid)) return false;
    return owner.store(appCode, pid);
}

bool CNTV2Card::ReleaseStreamForApplication(ULWord appCode, int32_t pid) {
    STUB_LOCKED;
    StreamOwnerFile owner(c.serial);
    // Only the owner, under the code it acquired with, releases the stream.
    if (owner.pid == 0 || owner.pid != pid || owner.appCode != appCode) return false;
    return owner.store(0, 0);
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

bool CNTV2Card::Connect(NTV2InputCrosspointID input, NTV2OutputCrosspointID crosspoint) {
    STUB_LOCKED;
    if (!inputTakes(input, crosspoint)) return false;
    c.routing[input] = crosspoint;
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
    // One whole frame of the format and layout the card runs.
    const FormatInfo* f = findFormat(c.videoFormat[NTV2_CHANNEL1]);
    const ULWord rowBytes =
        AJA_CalcRowBytesForFormat(pixelFormatOf(c.frameBufferFormat[NTV2_CHANNEL1]),
                                  f ? GetNTV2FrameGeometryWidth(f->geometry) : 0);
    if (!f || rowBytes == 0 || bytes != rowBytes * GetNTV2FrameGeometryHeight(f->geometry))
        return false;
    const uint8_t* p = reinterpret_cast<const uint8_t*>(buffer);
    // A buffer keeps its memory while frames of one size come in; one left
    // from a much larger frame is given back.
    std::vector<uint8_t>& held = s.frames[frame];
    if (held.capacity() > 2 * size_t(bytes) + (size_t(1) << 20)) std::vector<uint8_t>().swap(held);
    held.assign(p, p + bytes);
    ++c.dmaWrites;
    if (frame == c.outputFrame[NTV2_CHANNEL1]) showOnMonitor(s, frame);
    return true;
}

namespace ajastub {

AjaStubCard card() {
    Sim& s = sim();
    std::lock_guard<std::mutex> lock(s.mutex);
    AjaStubCard c = s.card;
    StreamOwnerFile owner(c.serial);
    c.streamAppCode = owner.appCode;
    c.streamPid = owner.pid;
    return c;
}

void setCard(const AjaStubCard& state) {
    Sim& s = sim();
    std::lock_guard<std::mutex> lock(s.mutex);
    s.card = state;
    StreamOwnerFile(state.serial).store(state.streamAppCode, state.streamPid);
}

void resetCard() {
    Sim& s = sim();
    std::lock_guard<std::mutex> lock(s.mutex);
    s.card = powerUp();
    StreamOwnerFile(s.card.serial).store(0, 0);
    for (auto& f : s.frames)
        f.clear();
}

void privateStreamOwner() {
    static std::string dir;
    Sim& s = sim();
    std::lock_guard<std::mutex> lock(s.mutex);
    if (!dir.empty()) return;
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/kb-ajastub-XXXXXX";
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back('\0');
    if (!::mkdtemp(name.data())) return;
    dir = name.data();
    ::setenv("KB_AJASTUB_LOCK_DIR", dir.c_str(), 1);
    // Removed at exit by the process that made it (a forked child leaves with _exit).
    static const pid_t maker = ::getpid();
    std::atexit([] {
        if (::getpid() != maker) return;
        if (DIR* d = ::opendir(dir.c_str())) {
            while (dirent* e = ::readdir(d))
                if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0)
                    ::unlink((dir + "/" + e->d_name).c_str());
            ::closedir(d);
        }
        ::rmdir(dir.c_str());
    });
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
