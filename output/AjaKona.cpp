#include "AjaKona.h"

#include "AjaNtv2.h"
#include "QiOutput.h"

#include <cstdio>

namespace {

// Four-character codes: the first character in the most significant byte.
constexpr uint32_t fourCC(const char (&s)[5]) {
    return static_cast<uint32_t>(static_cast<unsigned char>(s[0])) << 24 |
           static_cast<uint32_t>(static_cast<unsigned char>(s[1])) << 16 |
           static_cast<uint32_t>(static_cast<unsigned char>(s[2])) << 8 |
           static_cast<uint32_t>(static_cast<unsigned char>(s[3]));
}

// The application code under which this back-end owns the card's stream.
constexpr uint32_t kStreamAppCode = fourCC("KZob");
static_assert(kStreamAppCode == 0x4B5A6F62, "four-character code order");

const NTV2Channel kChannels[4] = {NTV2_CHANNEL1, NTV2_CHANNEL2, NTV2_CHANNEL3, NTV2_CHANNEL4};

} // namespace

const KRdFormat skAjaFormats[kAjaFormatCount] = {
    {"525 59.94 (480i)", NTV2_FORMAT_525_5994, KRd_SingleLink, 1},
    {"625 50.00 (576i)", NTV2_FORMAT_625_5000, KRd_SingleLink, 1},
    {"1080i 50.00", NTV2_FORMAT_1080i_5000, KRd_SingleLink, 1},
    {"1080i 59.94", NTV2_FORMAT_1080i_5994, KRd_SingleLink, 1},
    {"1080i 60.00", NTV2_FORMAT_1080i_6000, KRd_SingleLink, 1},
    {"720p 50.00", NTV2_FORMAT_720p_5000, KRd_SingleLink, 1},
    {"720p 59.94", NTV2_FORMAT_720p_5994, KRd_SingleLink, 1},
    {"720p 60.00", NTV2_FORMAT_720p_6000, KRd_SingleLink, 1},
    {"1080p 23.98", NTV2_FORMAT_1080p_2398, KRd_SingleLink, 1},
    {"1080p 24.00", NTV2_FORMAT_1080p_2400, KRd_SingleLink, 1},
    {"1080p 25.00", NTV2_FORMAT_1080p_2500, KRd_SingleLink, 1},
    {"1080p 29.97", NTV2_FORMAT_1080p_2997, KRd_SingleLink, 1},
    {"1080p 30.00", NTV2_FORMAT_1080p_3000, KRd_SingleLink, 1},
    {"1080p 50.00 (SDI-DL)", NTV2_FORMAT_1080p_5000_B, KRd_DualLink, 0},
    {"1080p 59.94 (SDI-DL)", NTV2_FORMAT_1080p_5994_B, KRd_DualLink, 0},
    {"1080p 60.00 (SDI-DL)", NTV2_FORMAT_1080p_6000_B, KRd_DualLink, 0},
    {"1080p 50.00 3Ga (HDMI, SDI-3Ga)", NTV2_FORMAT_1080p_5000_A, KRd_3GLevelA, 1},
    {"1080p 59.94 3Ga (HDMI, SDI-3Ga)", NTV2_FORMAT_1080p_5994_A, KRd_3GLevelA, 1},
    {"1080p 60.00 3Ga (HDMI, SDI-3Ga)", NTV2_FORMAT_1080p_6000_A, KRd_3GLevelA, 1},
    {"1080p 50.00 (SDI-3Gb)", NTV2_FORMAT_1080p_5000_B, KRd_3GLevelB, 0},
    {"1080p 59.94 (SDI-3Gb)", NTV2_FORMAT_1080p_5994_B, KRd_3GLevelB, 0},
    {"1080p 60.00 (SDI-3Gb)", NTV2_FORMAT_1080p_6000_B, KRd_3GLevelB, 0},
    {"1080p2k 23.98 (SDI-DL)", NTV2_FORMAT_1080p_2K_2398, KRd_DualLink, 0},
    {"1080p2k 24.00 (SDI-DL)", NTV2_FORMAT_1080p_2K_2400, KRd_DualLink, 0},
    {"1080p2k 25.00 (SDI-DL)", NTV2_FORMAT_1080p_2K_2500, KRd_DualLink, 0},
    {"4x1920x1080p 23.98", NTV2_FORMAT_4x1920x1080p_2398, KRd_SingleLink, 0},
    {"4x1920x1080p 24.00", NTV2_FORMAT_4x1920x1080p_2400, KRd_SingleLink, 0},
    {"4x1920x1080p_25.00", NTV2_FORMAT_4x1920x1080p_2500, KRd_SingleLink, 0},
    {"4x2048x1080p 23.98", NTV2_FORMAT_4x2048x1080p_2398, KRd_SingleLink, 0},
    {"4x2048x1080p 24.00", NTV2_FORMAT_4x2048x1080p_2400, KRd_SingleLink, 0},
    {"4x2048x1080p 25.00", NTV2_FORMAT_4x2048x1080p_2500, KRd_SingleLink, 0},
};

const uint32_t skPxToFbFormat[kKRdPixFormatCount] = {
    NTV2_FBF_ARGB,        NTV2_FBF_RGBA,
    NTV2_FBF_ABGR,        NTV2_FBF_24BIT_RGB,
    NTV2_FBF_24BIT_BGR,   NTV2_FBF_10BIT_DPX,
    NTV2_FBF_8BIT_YCBCR,  NTV2_FBF_8BIT_YCBCR_YUY2,
    NTV2_FBF_10BIT_YCBCR, NTV2_FBF_NUMFRAMEBUFFERFORMATS};

const uint32_t skPxToAjaPxFormat[kKRdPixFormatCount] = {
    AJA_PixelFormat_ARGB8,     AJA_PixelFormat_RGBA8,     AJA_PixelFormat_ABGR8,
    AJA_PixelFormat_RGB8_PACK, AJA_PixelFormat_BGR8_PACK, AJA_PixelFormat_RGB10,
    AJA_PixelFormat_YCbCr8,    AJA_PixelFormat_YUY28,     AJA_PixelFormat_YCbCr10,
    AJA_PixelFormat_Size};

const KRdPixFormats skQpfToKpf[6] = {KRd_ARGB,        KRd_DPX10, KRd_Unsupported,
                                     KRd_Unsupported, KRd_YUYV8, KRd_V210};

AjaKona::AjaKona(bool isPassive) : card(new CNTV2Card), passive(isPassive) {}

AjaKona::~AjaKona() {
    // Released under the code the stream was acquired with, and only by the
    // object that acquired it: a back-end that found the card busy must not
    // hand another one's stream back.
    if (streamOwner) card->ReleaseStreamForApplication(kStreamAppCode, AJAProcess::GetPid());
    card->Close();
    delete card;
}

int AjaKona::initialize() {
    if (!card->Open(0, true, DEVICETYPE_NTV2, nullptr)) return -1;

    // In either mode a stream held by a live process (another generator, or
    // another back-end of this one) makes the card busy; otherwise this
    // back-end holds it, so that a second generator finds it busy in turn.
    ULWord code = 0;
    int32_t pid = 0;
    card->GetStreamingApplication(code, pid);
    if (pid != 0 && AJAProcess::IsValid(pid)) {
        gOutput->trace(QiOutput::Warning, "%s: the card is busy: process %d owns its stream\n",
                       "initialize", static_cast<int>(pid));
        return -2;
    }
    if (!passive) {
        NTV2EveryFrameTaskMode mode = NTV2_DISABLE_TASKS;
        card->GetEveryFrameServices(mode);
        if (mode != NTV2_OEM_TASKS && !card->SetEveryFrameServices(NTV2_OEM_TASKS)) return -3;
    }
    if (!card->AcquireStreamForApplication(kStreamAppCode, AJAProcess::GetPid())) return -4;
    streamOwner = true;
    if (!passive) card->SetEveryFrameServices(NTV2_OEM_TASKS);

    card->SetReferenceSource(NTV2_REFERENCE_FREERUN, true);
    card->SetMode(NTV2_CHANNEL1, NTV2_MODE_DISPLAY, true);
    if (passive) return 0;

    for (unsigned i = 0; i < 4; ++i)
        if (!card->SetSDITransmitEnable(kChannels[i], true))
            std::fprintf(stderr, "!!SetSDITransmitEnable(NTV2_CHANNEL%u)\n", i + 1);
    for (unsigned i = 0; i < 4; ++i)
        if (!card->SetOutputFrame(kChannels[i], 0))
            std::fprintf(stderr, "!!SetOutputFrame(NTV2_CHANNEL%u)\n", i + 1);
    return 0;
}

unsigned AjaKona::rowBytesForFormat(KRdPixFormats layout, unsigned width) {
    if (static_cast<unsigned>(layout) >= kKRdPixFormatCount) return 0;
    return AJA_CalcRowBytesForFormat(static_cast<AJA_PixelFormat>(skPxToAjaPxFormat[layout]),
                                     width);
}

bool AjaKona::getVideoFormat(KRdPixFormats& layout, unsigned& videoFormat) {
    NTV2FrameBufferFormat fbf = NTV2_FBF_NUMFRAMEBUFFERFORMATS;
    card->GetFrameBufferFormat(NTV2_CHANNEL1, fbf);
    layout = KRd_Unsupported;
    for (unsigned i = 0; i < kKRdPixFormatCount; ++i) {
        if (skPxToFbFormat[i] == static_cast<uint32_t>(fbf)) {
            layout = static_cast<KRdPixFormats>(i);
            break;
        }
    }
    NTV2VideoFormat vf = NTV2_FORMAT_UNKNOWN;
    card->GetVideoFormat(vf, NTV2_CHANNEL1);
    videoFormat = static_cast<unsigned>(vf);
    return true;
}
