// AjaNtv2.h: an in-memory stand-in for the part of the AJA NTV2 SDK that the
// AJA output back-end uses.
//
// It simulates one card (or none, see AjaStubControl.h): opening the device,
// stream ownership, video and frame-buffer formats, signal routing through
// crosspoints, SDI and HDMI output settings, the SMPTE ST 352 payload
// identifier (VPID), and frame buffers written by DMA. Every card object talks
// to the same simulated card, whose state is guarded by one lock, so the
// stand-in may be called from any thread.
//
// The class, function and constant names follow the SDK's API; the numeric
// values are this stand-in's own except where the back-end depends on them
// (frame-buffer formats, AJA pixel formats, video formats, crosspoints).
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

typedef uint32_t ULWord;
typedef uint16_t UWord;

enum NTV2DeviceType { DEVICETYPE_UNKNOWN = 0, DEVICETYPE_NTV2 = 1 };

enum NTV2Channel {
    NTV2_CHANNEL1 = 0,
    NTV2_CHANNEL2,
    NTV2_CHANNEL3,
    NTV2_CHANNEL4,
    NTV2_MAX_NUM_CHANNELS
};

enum NTV2Mode { NTV2_MODE_DISPLAY = 0, NTV2_MODE_CAPTURE = 1 };

enum NTV2ReferenceSource { NTV2_REFERENCE_EXTERNAL = 0, NTV2_REFERENCE_FREERUN = 1 };

enum NTV2EveryFrameTaskMode { NTV2_DISABLE_TASKS = 0, NTV2_STANDARD_TASKS = 1, NTV2_OEM_TASKS = 2 };

enum NTV2RegisterWriteMode {
    NTV2_REGWRITE_SYNCTOFIELD = 0,
    NTV2_REGWRITE_SYNCTOFRAME = 1,
    NTV2_REGWRITE_IMMEDIATE = 2
};

enum NTV2DMAEngine { NTV2_DMA1 = 1, NTV2_DMA2, NTV2_DMA3, NTV2_DMA4, NTV2_DMA_FIRST_AVAILABLE = 7 };

// Frame-buffer (pixel) formats of a channel.
enum NTV2FrameBufferFormat {
    NTV2_FBF_10BIT_YCBCR = 0, // v210
    NTV2_FBF_8BIT_YCBCR = 1,  // UYVY
    NTV2_FBF_ARGB = 2,
    NTV2_FBF_RGBA = 3,
    NTV2_FBF_8BIT_YCBCR_YUY2 = 5,
    NTV2_FBF_ABGR = 6,
    NTV2_FBF_10BIT_DPX = 7,
    NTV2_FBF_24BIT_RGB = 12,
    NTV2_FBF_24BIT_BGR = 13,
    NTV2_FBF_NUMFRAMEBUFFERFORMATS = 26
};

// Pixel formats of the row-byte calculator.
enum AJA_PixelFormat {
    AJA_PixelFormat_Unknown = 0,
    AJA_PixelFormat_YCbCr10 = 1,
    AJA_PixelFormat_YCbCr8 = 2,
    AJA_PixelFormat_ARGB8 = 3,
    AJA_PixelFormat_RGBA8 = 4,
    AJA_PixelFormat_RGB10 = 5,
    AJA_PixelFormat_YUY28 = 6,
    AJA_PixelFormat_ABGR8 = 7,
    AJA_PixelFormat_RGB_DPX = 8,
    AJA_PixelFormat_RGB8_PACK = 13,
    AJA_PixelFormat_BGR8_PACK = 14,
    AJA_PixelFormat_Size = 33
};

enum NTV2VideoFormat {
    NTV2_FORMAT_UNKNOWN = 0,
    NTV2_FORMAT_1080i_5000 = 1,
    NTV2_FORMAT_1080i_5994 = 2,
    NTV2_FORMAT_1080i_6000 = 3,
    NTV2_FORMAT_720p_5994 = 4,
    NTV2_FORMAT_720p_6000 = 5,
    NTV2_FORMAT_1080p_2997 = 8,
    NTV2_FORMAT_1080p_3000 = 9,
    NTV2_FORMAT_1080p_2500 = 10,
    NTV2_FORMAT_1080p_2398 = 11,
    NTV2_FORMAT_1080p_2400 = 12,
    NTV2_FORMAT_1080p_2K_2398 = 13,
    NTV2_FORMAT_1080p_2K_2400 = 14,
    NTV2_FORMAT_720p_5000 = 17,
    NTV2_FORMAT_1080p_5000_B = 18,
    NTV2_FORMAT_1080p_5994_B = 19,
    NTV2_FORMAT_1080p_6000_B = 20,
    NTV2_FORMAT_1080p_5000_A = 23,
    NTV2_FORMAT_1080p_5994_A = 24,
    NTV2_FORMAT_1080p_6000_A = 25,
    NTV2_FORMAT_1080p_2K_2500 = 26,
    NTV2_FORMAT_525_5994 = 32,
    NTV2_FORMAT_625_5000 = 33,
    NTV2_FORMAT_4x1920x1080p_2398 = 83,
    NTV2_FORMAT_4x1920x1080p_2400 = 84,
    NTV2_FORMAT_4x1920x1080p_2500 = 85,
    NTV2_FORMAT_4x2048x1080p_2398 = 89,
    NTV2_FORMAT_4x2048x1080p_2400 = 90,
    NTV2_FORMAT_4x2048x1080p_2500 = 91
};

enum NTV2FrameGeometry {
    NTV2_FG_1920x1080 = 0,
    NTV2_FG_1280x720 = 1,
    NTV2_FG_720x486 = 2,
    NTV2_FG_720x576 = 3,
    NTV2_FG_2048x1080 = 4,
    NTV2_FG_4x1920x1080 = 5,
    NTV2_FG_4x2048x1080 = 6,
    NTV2_FG_INVALID = 7
};

enum NTV2Standard {
    NTV2_STANDARD_1080 = 0, // interlaced
    NTV2_STANDARD_720 = 1,
    NTV2_STANDARD_525 = 2,
    NTV2_STANDARD_625 = 3,
    NTV2_STANDARD_1080p = 4,
    NTV2_STANDARD_2K = 5,
    NTV2_STANDARD_3840x2160p = 6,
    NTV2_STANDARD_4096x2160p = 7,
    NTV2_STANDARD_INVALID = 8
};

enum NTV2FrameRate {
    NTV2_FRAMERATE_UNKNOWN = 0,
    NTV2_FRAMERATE_6000 = 1,
    NTV2_FRAMERATE_5994 = 2,
    NTV2_FRAMERATE_3000 = 3,
    NTV2_FRAMERATE_2997 = 4,
    NTV2_FRAMERATE_2500 = 5,
    NTV2_FRAMERATE_2400 = 6,
    NTV2_FRAMERATE_2398 = 7,
    NTV2_FRAMERATE_5000 = 8
};

enum NTV2HDMIRange { NTV2_HDMIRangeSMPTE = 0, NTV2_HDMIRangeFull = 1 };
enum NTV2HDMIColorSpace {
    NTV2_HDMIColorSpaceAuto = 0,
    NTV2_HDMIColorSpaceRGB = 1,
    NTV2_HDMIColorSpaceYCbCr = 2
};
enum NTV2LHIHDMIColorSpace { NTV2_LHIHDMIColorSpaceYCbCr = 0, NTV2_LHIHDMIColorSpaceRGB = 1 };
enum NTV2HDMIBitDepth { NTV2_HDMI8Bit = 0, NTV2_HDMI10Bit = 1 };

// Output crosspoints: the signal sources that inputs can select.
enum NTV2OutputCrosspointID {
    NTV2_XptBlack = 0,
    NTV2_XptCSC1VidYUV = 5,
    NTV2_XptFrameBuffer1YUV = 8,
    NTV2_XptDuallinkOut = 11,
    NTV2_XptFrameBuffer2YUV = 15,
    NTV2_XptDuallinkOut2 = 28,
    NTV2_XptFrameBuffer3YUV = 36,
    NTV2_XptFrameBuffer4YUV = 37,
    NTV2_XptDuallinkOutDS2 = 38,
    NTV2_XptDuallinkOut2DS2 = 39,
    NTV2_XptDuallinkOut3 = 54,
    NTV2_XptDuallinkOut3DS2 = 55,
    NTV2_XptDuallinkOut4 = 56,
    NTV2_XptDuallinkOut4DS2 = 57,
    NTV2_XptFrameBuffer1RGB = 136,
    NTV2_XptFrameBuffer2RGB = 143,
    NTV2_XptFrameBuffer3RGB = 164,
    NTV2_XptFrameBuffer4RGB = 165
};

// Inputs of the routing matrix (widget inputs that select a crosspoint).
enum NTV2InputCrosspointID {
    NTV2_XptSDIOut1Input = 0,
    NTV2_XptSDIOut2Input,
    NTV2_XptSDIOut3Input,
    NTV2_XptSDIOut4Input,
    NTV2_XptSDIOut1InputDS2,
    NTV2_XptSDIOut2InputDS2,
    NTV2_XptSDIOut3InputDS2,
    NTV2_XptSDIOut4InputDS2,
    NTV2_XptDualLinkOut1Input,
    NTV2_XptDualLinkOut2Input,
    NTV2_XptDualLinkOut3Input,
    NTV2_XptDualLinkOut4Input,
    NTV2_XptHDMIOutInput,
    NTV2_XptCSC1VidInput,
    NTV2_INPUT_CROSSPOINT_INVALID
};

// The register field that selects the crosspoint of one input.
struct NTV2InputSelectEntry {
    NTV2InputCrosspointID input = NTV2_INPUT_CROSSPOINT_INVALID;
    ULWord registerNum = 0;
    ULWord mask = 0;
    ULWord shift = 0;
};

NTV2InputSelectEntry GetSDIOut1InputSelectEntry();
NTV2InputSelectEntry GetSDIOut2InputSelectEntry();
NTV2InputSelectEntry GetSDIOut3InputSelectEntry();
NTV2InputSelectEntry GetSDIOut4InputSelectEntry();
NTV2InputSelectEntry GetSDIOut1InputDS2SelectEntry();
NTV2InputSelectEntry GetSDIOut2InputDS2SelectEntry();
NTV2InputSelectEntry GetSDIOut3InputDS2SelectEntry();
NTV2InputSelectEntry GetSDIOut4InputDS2SelectEntry();
NTV2InputSelectEntry GetDualLinkOut1InputSelectEntry();
NTV2InputSelectEntry GetDualLinkOut2InputSelectEntry();
NTV2InputSelectEntry GetDualLinkOut3InputSelectEntry();
NTV2InputSelectEntry GetDualLinkOut4InputSelectEntry();
NTV2InputSelectEntry GetHDMIOutInputSelectEntry();
NTV2InputSelectEntry GetCSC1VidInputSelectEntry();

// Bytes of one row of `width` pixels; 0 for a format the calculator does not know.
ULWord AJA_CalcRowBytesForFormat(AJA_PixelFormat format, ULWord width);

ULWord GetNTV2FrameGeometryWidth(NTV2FrameGeometry geometry);
ULWord GetNTV2FrameGeometryHeight(NTV2FrameGeometry geometry);

// A set of routing connections, collected and then applied to the card.
class CNTV2SignalRouter {
public:
    // Refuses (false) an invalid input, a crosspoint the input cannot take
    // (see CNTV2Card::Connect), or an entry beyond the router's capacity
    // (AjaStubControl.h).
    bool addWithValue(const NTV2InputSelectEntry& entry, ULWord value);
    void Reset() { mConnections.clear(); }
    size_t GetNumberOfConnections() const { return mConnections.size(); }
    const std::vector<std::pair<NTV2InputCrosspointID, ULWord>>& connections() const {
        return mConnections;
    }

private:
    std::vector<std::pair<NTV2InputCrosspointID, ULWord>> mConnections;
};

class AJAProcess {
public:
    static int32_t GetPid();
    // True when a process with this id is alive.
    static bool IsValid(int32_t pid);
};

// One card. Every call but Open fails (false) while the object is not open.
class CNTV2Card {
public:
    CNTV2Card() = default;
    ~CNTV2Card();
    CNTV2Card(const CNTV2Card&) = delete;
    CNTV2Card& operator=(const CNTV2Card&) = delete;

    bool Open(UWord boardNumber, bool displayErrorMessage = false,
              NTV2DeviceType boardType = DEVICETYPE_NTV2, const char* hostName = nullptr);
    bool Close();
    bool IsOpen() const { return mOpen; }

    bool GetSerialNumberString(std::string& serial);

    bool GetStreamingApplication(ULWord& appCode, int32_t& pid);
    bool AcquireStreamForApplication(ULWord appCode, int32_t pid);
    bool ReleaseStreamForApplication(ULWord appCode, int32_t pid);
    bool GetEveryFrameServices(NTV2EveryFrameTaskMode& mode);
    bool SetEveryFrameServices(NTV2EveryFrameTaskMode mode);

    bool SetReferenceSource(NTV2ReferenceSource source, bool ajaRetail = true);
    bool SetMode(NTV2Channel channel, NTV2Mode mode, bool ajaRetail = true);

    bool SetVideoFormat(NTV2VideoFormat format, bool ajaRetail = true, bool keepVanc = false,
                        NTV2Channel channel = NTV2_CHANNEL1);
    bool GetVideoFormat(NTV2VideoFormat& format, NTV2Channel channel = NTV2_CHANNEL1);
    bool SetFrameBufferFormat(NTV2Channel channel, NTV2FrameBufferFormat format,
                              bool ajaRetail = true);
    bool GetFrameBufferFormat(NTV2Channel channel, NTV2FrameBufferFormat& format);
    bool GetFrameGeometry(NTV2FrameGeometry& geometry, NTV2Channel channel = NTV2_CHANNEL1);
    bool GetStandard(NTV2Standard& standard, NTV2Channel channel = NTV2_CHANNEL1);
    bool GetFrameRate(NTV2FrameRate& rate, NTV2Channel channel = NTV2_CHANNEL1);
    bool IsProgressiveStandard(bool& progressive, NTV2Channel channel = NTV2_CHANNEL1);

    bool ClearRouting();
    bool ApplySignalRoute(const CNTV2SignalRouter& router, bool replace = false);
    // Routes one crosspoint to one input. Refuses (false) a crosspoint the
    // input cannot take: SDI outputs take YCbCr sources and the dual-link
    // encoders' outputs, the dual-link encoders and the colour-space converter
    // take RGB frame buffers (the converter also YCbCr ones), and the HDMI
    // output takes YCbCr only. Black goes anywhere.
    bool Connect(NTV2InputCrosspointID input, NTV2OutputCrosspointID crosspoint);

    bool SetSDITransmitEnable(NTV2Channel channel, bool enable);
    bool SetDualLinkOutputEnable(bool enable);
    bool SetSDIOut3GEnable(NTV2Channel channel, bool enable);
    bool SetSDIOut3GbEnable(NTV2Channel channel, bool enable);
    bool SetSDIOut2Kx1080Enable(NTV2Channel channel, bool enable);
    bool SetSDIOutVPID(ULWord linkA, ULWord linkB, NTV2Channel channel = NTV2_CHANNEL1);
    bool SetRegisterWritemode(NTV2RegisterWriteMode mode, NTV2Channel channel = NTV2_CHANNEL1);

    bool SetHDMIInputRange(NTV2HDMIRange range);
    bool SetHDMIOutRange(NTV2HDMIRange range);
    bool SetHDMIOutColorSpace(NTV2HDMIColorSpace colorSpace);
    bool SetLHIHDMIOutColorSpace(NTV2LHIHDMIColorSpace colorSpace);
    bool SetHDMIOutBitDepth(NTV2HDMIBitDepth depth);
    bool SetHDMIOutVideoStandard(NTV2Standard standard);
    bool SetHDMIOutVideoFPS(NTV2FrameRate rate);

    bool SetOutputFrame(NTV2Channel channel, ULWord frame);
    bool GetOutputFrame(NTV2Channel channel, ULWord& frame);
    // Copies `bytes` bytes from host memory into card frame `frame`. The
    // stand-in always completes before returning. Refuses (false) a size other
    // than one whole frame of the card's format and layout (channel 1's video
    // format and frame-buffer format), and any size while either is unknown.
    bool DmaWriteFrame(NTV2DMAEngine engine, ULWord frame, const ULWord* buffer, ULWord bytes,
                       bool synchronous = true);

private:
    bool mOpen = false;
};
