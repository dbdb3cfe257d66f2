// AjaKona::setVideoFormat: video and frame-buffer format, signal routing from
// the frame buffers to the SDI and HDMI outputs, dual-link and 3G-SDI modes,
// HDMI output settings and the SMPTE ST 352 payload identifier.
#include "AjaKona.h"

#include "AjaNtv2.h"
#include "QiOutput.h"

#include <cstdio>

namespace {

// One routing connection: the input select field and the crosspoint it takes.
struct RouteEntry {
    NTV2InputSelectEntry input;
    uint32_t crosspoint;
};

// Filled once at program start from the SDK's input-select entries.
const RouteEntry sRt_YCbCr_1L[] = {
    {GetSDIOut1InputSelectEntry(), NTV2_XptFrameBuffer1YUV},
    {GetSDIOut2InputSelectEntry(), NTV2_XptFrameBuffer1YUV},
    {GetSDIOut3InputSelectEntry(), NTV2_XptFrameBuffer1YUV},
    {GetSDIOut4InputSelectEntry(), NTV2_XptFrameBuffer1YUV},
};

const RouteEntry sRt_YCbCr_2L[] = {
    {GetSDIOut1InputSelectEntry(), NTV2_XptFrameBuffer1YUV},
    {GetSDIOut2InputSelectEntry(), NTV2_XptFrameBuffer2YUV},
    {GetSDIOut3InputSelectEntry(), NTV2_XptFrameBuffer1YUV},
    {GetSDIOut4InputSelectEntry(), NTV2_XptFrameBuffer2YUV},
};

// 3G level A: each output carries frame buffer 1 on link A, 2 on link B.
const RouteEntry sRt_YCbCr_3Ga[] = {
    {GetSDIOut1InputSelectEntry(), NTV2_XptFrameBuffer1YUV},
    {GetSDIOut1InputDS2SelectEntry(), NTV2_XptFrameBuffer2YUV},
    {GetSDIOut2InputSelectEntry(), NTV2_XptFrameBuffer1YUV},
    {GetSDIOut2InputDS2SelectEntry(), NTV2_XptFrameBuffer2YUV},
    {GetSDIOut3InputSelectEntry(), NTV2_XptFrameBuffer1YUV},
    {GetSDIOut3InputDS2SelectEntry(), NTV2_XptFrameBuffer2YUV},
    {GetSDIOut4InputSelectEntry(), NTV2_XptFrameBuffer1YUV},
    {GetSDIOut4InputDS2SelectEntry(), NTV2_XptFrameBuffer2YUV},
};

const RouteEntry sRt_YCbCr_3Gb[] = {
    {GetSDIOut1InputSelectEntry(), NTV2_XptFrameBuffer1YUV},
    {GetSDIOut1InputDS2SelectEntry(), NTV2_XptFrameBuffer1YUV},
    {GetSDIOut2InputSelectEntry(), NTV2_XptFrameBuffer1YUV},
    {GetSDIOut2InputDS2SelectEntry(), NTV2_XptFrameBuffer1YUV},
    {GetSDIOut3InputSelectEntry(), NTV2_XptFrameBuffer1YUV},
    {GetSDIOut3InputDS2SelectEntry(), NTV2_XptFrameBuffer1YUV},
    {GetSDIOut4InputSelectEntry(), NTV2_XptFrameBuffer1YUV},
    {GetSDIOut4InputDS2SelectEntry(), NTV2_XptFrameBuffer1YUV},
};

// RGB leaves through the dual-link encoder: link A on one output, B on the next.
const RouteEntry sRt_RGB_2L[] = {
    {GetDualLinkOut1InputSelectEntry(), NTV2_XptFrameBuffer1RGB},
    {GetSDIOut1InputSelectEntry(), NTV2_XptDuallinkOut},
    {GetSDIOut2InputSelectEntry(), NTV2_XptDuallinkOutDS2},
    {GetSDIOut3InputSelectEntry(), NTV2_XptDuallinkOut},
    {GetSDIOut4InputSelectEntry(), NTV2_XptDuallinkOutDS2},
};

const RouteEntry sRt_RGB_3Ga[] = {
    {GetDualLinkOut1InputSelectEntry(), NTV2_XptFrameBuffer1RGB},
    {GetSDIOut1InputSelectEntry(), NTV2_XptDuallinkOut},
    {GetSDIOut1InputDS2SelectEntry(), NTV2_XptDuallinkOutDS2},
    {GetSDIOut2InputSelectEntry(), NTV2_XptDuallinkOut},
    {GetSDIOut2InputDS2SelectEntry(), NTV2_XptDuallinkOutDS2},
    {GetSDIOut3InputSelectEntry(), NTV2_XptDuallinkOut},
    {GetSDIOut3InputDS2SelectEntry(), NTV2_XptDuallinkOutDS2},
    {GetSDIOut4InputSelectEntry(), NTV2_XptDuallinkOut},
    {GetSDIOut4InputDS2SelectEntry(), NTV2_XptDuallinkOutDS2},
};

const RouteEntry sRt_RGB_3Gb[] = {
    {GetDualLinkOut1InputSelectEntry(), NTV2_XptFrameBuffer1RGB},
    {GetSDIOut1InputSelectEntry(), NTV2_XptDuallinkOut},
    {GetSDIOut1InputDS2SelectEntry(), NTV2_XptDuallinkOutDS2},
    {GetSDIOut2InputSelectEntry(), NTV2_XptDuallinkOut},
    {GetSDIOut2InputDS2SelectEntry(), NTV2_XptDuallinkOutDS2},
    {GetSDIOut3InputSelectEntry(), NTV2_XptDuallinkOut},
    {GetSDIOut3InputDS2SelectEntry(), NTV2_XptDuallinkOutDS2},
    {GetSDIOut4InputSelectEntry(), NTV2_XptDuallinkOut},
    {GetSDIOut4InputDS2SelectEntry(), NTV2_XptDuallinkOutDS2},
};

// Quad formats: one frame buffer per quadrant, each through its own encoder.
const RouteEntry sRt_RGB_4L_Quad[] = {
    {GetDualLinkOut1InputSelectEntry(), NTV2_XptFrameBuffer1RGB},
    {GetSDIOut1InputSelectEntry(), NTV2_XptDuallinkOut},
    {GetSDIOut1InputDS2SelectEntry(), NTV2_XptDuallinkOutDS2},
    {GetDualLinkOut2InputSelectEntry(), NTV2_XptFrameBuffer2RGB},
    {GetSDIOut2InputSelectEntry(), NTV2_XptDuallinkOut2},
    {GetSDIOut2InputDS2SelectEntry(), NTV2_XptDuallinkOut2DS2},
    {GetDualLinkOut3InputSelectEntry(), NTV2_XptFrameBuffer3RGB},
    {GetSDIOut3InputSelectEntry(), NTV2_XptDuallinkOut3},
    {GetSDIOut3InputDS2SelectEntry(), NTV2_XptDuallinkOut3DS2},
    {GetDualLinkOut4InputSelectEntry(), NTV2_XptFrameBuffer4RGB},
    {GetSDIOut4InputSelectEntry(), NTV2_XptDuallinkOut4},
    {GetSDIOut4InputDS2SelectEntry(), NTV2_XptDuallinkOut4DS2},
};

const RouteEntry sRt_YCbCr_4L_Quad[] = {
    {GetSDIOut1InputSelectEntry(), NTV2_XptFrameBuffer1YUV},
    {GetSDIOut2InputSelectEntry(), NTV2_XptFrameBuffer2YUV},
    {GetSDIOut3InputSelectEntry(), NTV2_XptFrameBuffer3YUV},
    {GetSDIOut4InputSelectEntry(), NTV2_XptFrameBuffer4YUV},
};

const RouteEntry sRt_YCbCr_3G_Quad[] = {
    {GetSDIOut1InputSelectEntry(), NTV2_XptFrameBuffer1YUV},
    {GetSDIOut1InputDS2SelectEntry(), NTV2_XptFrameBuffer2YUV},
    {GetSDIOut2InputSelectEntry(), NTV2_XptFrameBuffer3YUV},
    {GetSDIOut2InputDS2SelectEntry(), NTV2_XptFrameBuffer4YUV},
};

template <size_t N> constexpr unsigned countOf(const RouteEntry (&)[N]) {
    return static_cast<unsigned>(N);
}

// By route index: quad (8) + link mode * 2 + YCbCr (1). A link mode of -1
// leaves the row's own.
struct RouteCase {
    const RouteEntry* table;
    unsigned count;
    int linkMode;
};

const RouteCase kRouteCases[16] = {
    {sRt_RGB_2L, countOf(sRt_RGB_2L), KRd_DualLink},
    {sRt_YCbCr_1L, countOf(sRt_YCbCr_1L), KRd_SingleLink},
    {sRt_RGB_2L, countOf(sRt_RGB_2L), KRd_DualLink},
    {sRt_YCbCr_2L, countOf(sRt_YCbCr_2L), KRd_DualLink},
    {sRt_RGB_3Ga, countOf(sRt_RGB_3Ga), KRd_3GLevelA},
    {sRt_YCbCr_3Ga, countOf(sRt_YCbCr_3Ga), KRd_3GLevelA},
    {sRt_RGB_3Gb, countOf(sRt_RGB_3Gb), KRd_3GLevelB},
    {sRt_YCbCr_3Gb, countOf(sRt_YCbCr_3Gb), KRd_3GLevelB},
    {sRt_RGB_4L_Quad, countOf(sRt_RGB_4L_Quad), KRd_DualLink},
    {sRt_YCbCr_4L_Quad, countOf(sRt_YCbCr_4L_Quad), KRd_SingleLink},
    {nullptr, 0, -1},
    {nullptr, 0, -1},
    {nullptr, 0, -1},
    {sRt_YCbCr_3G_Quad, countOf(sRt_YCbCr_3G_Quad), KRd_3GLevelA},
    {nullptr, 0, -1},
    {nullptr, 0, -1},
};

bool isYCbCr(KRdPixFormats layout) {
    return layout == KRd_YUYV8 || layout == KRd_UYVY8 || layout == KRd_V210;
}

bool isTenBit(KRdPixFormats layout) {
    return layout == KRd_DPX10 || layout == KRd_V210;
}

bool isQuad(uint32_t videoFormat) {
    return videoFormat >= 80 && videoFormat <= 109;
}

bool is2Kx1080(uint32_t vf) {
    return (vf >= 13 && vf <= 16) || (vf >= 26 && vf <= 27) || (vf >= 110 && vf <= 116);
}

// SMPTE ST 352 sampling structure of a layout: 4:2:2 YCbCr, 4:4:4 RGB, or
// 4:4:4:4 RGB with alpha.
unsigned vpidSampling(KRdPixFormats layout) {
    switch (layout) {
    case KRd_RGB24:
    case KRd_BGR24:
    case KRd_DPX10:
        return 2;
    case KRd_ARGB:
    case KRd_RGBA:
    case KRd_ABGR:
        return 6;
    default:
        return 0;
    }
}

// ST 352 fields of a video format. Payload 0x85 is the 1080-line single-link
// type, which becomes 0x87 (dual link) on a dual-link route.
struct VpidFormat {
    uint32_t videoFormat;
    unsigned payload;
    unsigned rate;
    bool progressiveTransport;
    bool progressivePicture;
    bool is2048;
    bool quad;
};

constexpr unsigned kSingleOrDual = 0x85;

const VpidFormat kVpidFormats[] = {
    {NTV2_FORMAT_1080i_5000, kSingleOrDual, 5, false, false, false, false},
    {NTV2_FORMAT_1080i_5994, kSingleOrDual, 6, false, false, false, false},
    {NTV2_FORMAT_1080i_6000, kSingleOrDual, 7, false, false, false, false},
    {NTV2_FORMAT_720p_5994, 0x84, 10, false, true, false, false},
    {NTV2_FORMAT_720p_6000, 0x84, 11, false, true, false, false},
    {NTV2_FORMAT_720p_5000, 0x84, 9, false, true, false, false},
    {NTV2_FORMAT_1080p_2997, kSingleOrDual, 6, true, true, false, false},
    {NTV2_FORMAT_1080p_3000, kSingleOrDual, 7, true, true, false, false},
    {NTV2_FORMAT_1080p_2500, kSingleOrDual, 5, true, true, false, false},
    {NTV2_FORMAT_1080p_2398, kSingleOrDual, 2, true, true, false, false},
    {NTV2_FORMAT_1080p_2400, kSingleOrDual, 3, true, true, false, false},
    {NTV2_FORMAT_1080p_2K_2398, kSingleOrDual, 2, true, true, true, false},
    {NTV2_FORMAT_1080p_2K_2400, kSingleOrDual, 3, true, true, true, false},
    {NTV2_FORMAT_1080p_2K_2500, kSingleOrDual, 5, true, true, true, false},
    {NTV2_FORMAT_1080p_5000_B, 0x87, 9, false, true, false, false},
    {NTV2_FORMAT_1080p_5994_B, 0x87, 10, false, true, false, false},
    {NTV2_FORMAT_1080p_6000_B, 0x87, 11, false, true, false, false},
    {NTV2_FORMAT_1080p_5000_A, 0x89, 9, true, true, false, false},
    {NTV2_FORMAT_1080p_5994_A, 0x89, 10, true, true, false, false},
    {NTV2_FORMAT_1080p_6000_A, 0x89, 11, true, true, false, false},
    {NTV2_FORMAT_525_5994, 0x81, 6, false, false, false, false},
    {NTV2_FORMAT_625_5000, 0x81, 5, false, false, false, false},
    {NTV2_FORMAT_4x1920x1080p_2398, kSingleOrDual, 2, true, true, false, true},
    {NTV2_FORMAT_4x1920x1080p_2400, kSingleOrDual, 3, true, true, false, true},
    {NTV2_FORMAT_4x1920x1080p_2500, kSingleOrDual, 5, true, true, false, true},
    {NTV2_FORMAT_4x2048x1080p_2398, kSingleOrDual, 2, true, true, true, true},
    {NTV2_FORMAT_4x2048x1080p_2400, kSingleOrDual, 3, true, true, true, true},
    {NTV2_FORMAT_4x2048x1080p_2500, kSingleOrDual, 5, true, true, true, true},
};

const char* okText(bool ok) {
    return ok ? "ok" : "failed";
}

} // namespace

uint32_t getVPID(unsigned payload, bool progressiveTransport, bool progressivePicture,
                 unsigned rate, unsigned sampling, bool is2048, unsigned channel,
                 unsigned bitDepth) {
    return 0x80000000u | (payload & 0xFFu) << 24 | (progressiveTransport ? 1u : 0u) << 23 |
           (progressivePicture ? 1u : 0u) << 22 | (rate & 0xFu) << 16 | (is2048 ? 1u : 0u) << 14 |
           (sampling & 0xFu) << 8 | (channel & 0x3u) << 6 | (bitDepth & 0x3u);
}

void setVpidValues(uint32_t out1[2], uint32_t out2[2], uint32_t out3[2], uint32_t out4[2],
                   KRdFormat const& row, KRdPixFormats layout) {
    VpidFormat f = {row.videoFormat, 0, 0, false, false, false, false};
    bool matched = false;
    for (const VpidFormat& v : kVpidFormats) {
        if (v.videoFormat == row.videoFormat) {
            f = v;
            matched = true;
            break;
        }
    }
    if (!matched)
        gOutput->trace(QiOutput::Minutiae, "Warning: Unmatched format '%d'\n",
                       static_cast<int>(row.videoFormat));
    if (f.payload == kSingleOrDual && row.linkMode == KRd_DualLink) f.payload = 0x87;
    if (row.linkMode == KRd_3GLevelB) {
        // 3G level B carries the dual-link payload types under their own codes.
        switch (f.payload) {
        case 0x84:
            f.payload = 0x8B;
            break;
        case 0x85:
            f.payload = 0x8C;
            break;
        case 0x86:
            f.payload = 0x8D;
            break;
        case 0x87:
            f.payload = 0x8A;
            break;
        default:
            break;
        }
    }
    unsigned sampling = vpidSampling(layout);
    unsigned depth = isTenBit(layout) ? 1 : 0;
    uint32_t w[4];
    for (unsigned ch = 0; ch < 4; ++ch)
        w[ch] = getVPID(f.payload, f.progressiveTransport, f.progressivePicture, f.rate, sampling,
                        f.is2048, ch, depth);

    uint32_t a = 0, b = 0;
    if (!f.quad) {
        a = w[0];
        if (row.linkMode == KRd_3GLevelB) b = w[1];
    } else if (row.linkMode == KRd_SingleLink || row.linkMode == KRd_DualLink) {
        a = w[2];
    } else {
        a = w[0];
        if (row.linkMode == KRd_3GLevelB) b = w[1];
    }
    out1[0] = a;
    out1[1] = b;
    for (uint32_t* o : {out2, out3, out4})
        o[0] = o[1] = 0;
}

bool AjaKona::setVideoFormat(KRdPixFormats layout, KRdFormat const& given) {
    static const char* const fn = "setVideoFormat";
    // A layout outside the table has no frame-buffer format: a value the
    // card does not know would leave it in an unknown state.
    if (static_cast<unsigned>(layout) >= static_cast<unsigned>(KRd_Unsupported)) {
        gOutput->trace(QiOutput::Warning,
                       "%s: layout %d has no frame-buffer format; the card is left as it is\n", fn,
                       static_cast<int>(layout));
        return false;
    }
    const NTV2FrameBufferFormat fbf = static_cast<NTV2FrameBufferFormat>(skPxToFbFormat[layout]);
    KRdFormat row = given;
    const bool ycbcr = isYCbCr(layout);

    card->SetVideoFormat(static_cast<NTV2VideoFormat>(row.videoFormat), true, false, NTV2_CHANNEL1);
    for (NTV2Channel ch : {NTV2_CHANNEL1, NTV2_CHANNEL2, NTV2_CHANNEL3, NTV2_CHANNEL4})
        card->SetFrameBufferFormat(ch, fbf, true);

    if (!passive) {
        card->ClearRouting();
        CNTV2SignalRouter router;
        if (row.hdmi) {
            if (ycbcr) {
                router.addWithValue(GetHDMIOutInputSelectEntry(), NTV2_XptFrameBuffer1YUV);
            } else {
                // HDMI takes YCbCr: RGB goes through the colour-space converter.
                router.addWithValue(GetCSC1VidInputSelectEntry(), NTV2_XptFrameBuffer1RGB);
                router.addWithValue(GetHDMIOutInputSelectEntry(), NTV2_XptCSC1VidYUV);
            }
        }

        unsigned index =
            (isQuad(row.videoFormat) ? 8u : 0u) + (row.linkMode & 3u) * 2u + (ycbcr ? 1u : 0u);
        const RouteCase& rc = kRouteCases[index & 15u];
        for (unsigned i = 0; i < rc.count; ++i)
            if (!router.addWithValue(rc.table[i].input, rc.table[i].crosspoint)) break;
        if (rc.linkMode >= 0) row.linkMode = static_cast<uint32_t>(rc.linkMode);

        card->SetDualLinkOutputEnable(row.linkMode == KRd_DualLink || row.linkMode == KRd_3GLevelB);
        card->ApplySignalRoute(router, true);

        for (NTV2Channel ch : {NTV2_CHANNEL3, NTV2_CHANNEL4}) {
            card->SetSDIOut3GEnable(ch,
                                    row.linkMode == KRd_3GLevelA || row.linkMode == KRd_3GLevelB);
            card->SetSDIOut3GbEnable(ch, row.linkMode == KRd_3GLevelB);
            card->SetSDIOut2Kx1080Enable(ch, is2Kx1080(row.videoFormat));
        }

        NTV2Standard standard = NTV2_STANDARD_INVALID;
        NTV2FrameRate rate = NTV2_FRAMERATE_UNKNOWN;
        card->GetStandard(standard, NTV2_CHANNEL1);
        card->GetFrameRate(rate, NTV2_CHANNEL1);

        if (row.hdmi) {
            if (ycbcr) {
                std::fprintf(stderr, "%s: SetHDMIInputRange(NTV2_HDMIRangeFull) %s\n", fn,
                             okText(card->SetHDMIInputRange(NTV2_HDMIRangeFull)));
                std::fprintf(stderr, "%s: SetHDMIOutRange(NTV2_HDMIRangeFull) %s\n", fn,
                             okText(card->SetHDMIOutRange(NTV2_HDMIRangeFull)));
                std::fprintf(stderr, "%s: SetHDMIOutColorSpace(NTV2_HDMIColorSpaceYCbCr) %s\n", fn,
                             okText(card->SetHDMIOutColorSpace(NTV2_HDMIColorSpaceYCbCr)));
                std::fprintf(stderr,
                             "%s: SetLHIHDMIOutColorSpace(NTV2_LHIHDMIColorSpaceYCbCr) %s\n", fn,
                             okText(card->SetLHIHDMIOutColorSpace(NTV2_LHIHDMIColorSpaceYCbCr)));
            } else {
                std::fprintf(stderr, "%s: SetHDMIOutRange(NTV2_HDMIRangeFull) %s\n", fn,
                             okText(card->SetHDMIOutRange(NTV2_HDMIRangeFull)));
                std::fprintf(stderr, "%s: SetHDMIInputRange(NTV2_HDMIRangeFull) %s\n", fn,
                             okText(card->SetHDMIInputRange(NTV2_HDMIRangeFull)));
                std::fprintf(stderr, "%s: SetHDMIOutColorSpace(NTV2_HDMIColorSpaceRGB) %s\n", fn,
                             okText(card->SetHDMIOutColorSpace(NTV2_HDMIColorSpaceRGB)));
                std::fprintf(stderr, "%s: SetLHIHDMIOutColorSpace(NTV2_LHIHDMIColorSpaceRGB) %s\n",
                             fn, okText(card->SetLHIHDMIOutColorSpace(NTV2_LHIHDMIColorSpaceRGB)));
            }
            std::fprintf(stderr,
                         "%s: SetHDMIOutBitDepth(tenBits?NTV2_HDMI10Bit:NTV2_HDMI8Bit) %s\n", fn,
                         okText(card->SetHDMIOutBitDepth(isTenBit(layout) ? NTV2_HDMI10Bit
                                                                          : NTV2_HDMI8Bit)));
            std::fprintf(stderr, "%s: SetHDMIOutVideoStandard(vidstd) %s\n", fn,
                         okText(card->SetHDMIOutVideoStandard(standard)));
            std::fprintf(stderr, "%s: SetHDMIOutVideoFPS(frate) %s\n", fn,
                         okText(card->SetHDMIOutVideoFPS(rate)));
        }
    }

    bool progressive = false;
    card->IsProgressiveStandard(progressive, NTV2_CHANNEL1);
    card->SetRegisterWritemode(progressive ? NTV2_REGWRITE_SYNCTOFIELD : NTV2_REGWRITE_SYNCTOFRAME,
                               NTV2_CHANNEL1);

    uint32_t out1[2], out2[2], out3[2], out4[2];
    setVpidValues(out1, out2, out3, out4, row, layout);
    card->SetSDIOutVPID(out1[0], out1[1], NTV2_CHANNEL1);
    return true;
}
