// AjaStubControl.h: inspecting and steering the simulated card of AjaNtv2.h.
//
// For tests and for running without hardware. The simulated card starts at
// power-up state (AjaStubCard's defaults): present, 720p 60.00 with 10-bit
// YCbCr (v210) frame buffers, no routing. Setting the environment variable
// KB_AJASTUB_NO_CARD to a non-empty value other than "0" makes the stand-in
// behave as a machine without a card: Open fails.
//
// The card's state is the process's own, except the owner of its stream,
// which every process on the machine sees, as a driver would show it: it is
// kept in a file named after the user and the card's serial number in the
// folder KB_AJASTUB_LOCK_DIR (else TMPDIR, else /tmp). A second program that
// finds the stream owned by a live process finds the card busy.
//
// Monitor: while KB_AJASTUB_MONITOR names a file, every frame SDI output 1
// starts to show (a DMA into channel 1's output frame, or a new output frame)
// is written there as a PNG, decoded from the frame memory with channel 1's
// frame-buffer format and video format (StubMonitor.h). YCbCr is decoded
// with BT.601 in standard definition, otherwise with the colorimetry of
// output 1's VPID (ST 352 byte 3 bits 5-4: 2 is BT.2020, else BT.709).
//
// Every function here takes the card's lock; the state is returned as a copy.
#pragma once

#include "AjaNtv2.h"

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace ajastub {

// Number of frame buffers on the simulated card and the largest frame one
// DMA may write.
constexpr ULWord kCardFrames = 16;
constexpr ULWord kFrameCapacity = 64u << 20;

// Failures to inject; all off at power-up.
struct AjaStubFaults {
    bool everyFrameServices = false; // SetEveryFrameServices fails
    bool acquireStream = false;      // AcquireStreamForApplication fails
    unsigned sdiTransmitMask = 0;    // bit n: SetSDITransmitEnable(channel n) fails
    unsigned outputFrameMask = 0;    // bit n: SetOutputFrame(channel n) fails
    bool hdmi = false;               // every SetHDMI* / SetLHIHDMI* call fails
    bool dma = false;                // DmaWriteFrame fails
    size_t routerCapacity = 32;      // entries a CNTV2SignalRouter accepts
};

struct AjaStubHdmi {
    NTV2HDMIRange inputRange = NTV2_HDMIRangeSMPTE;
    NTV2HDMIRange outRange = NTV2_HDMIRangeSMPTE;
    NTV2HDMIColorSpace colorSpace = NTV2_HDMIColorSpaceAuto;
    NTV2LHIHDMIColorSpace lhiColorSpace = NTV2_LHIHDMIColorSpaceYCbCr;
    NTV2HDMIBitDepth bitDepth = NTV2_HDMI8Bit;
    NTV2Standard standard = NTV2_STANDARD_INVALID;
    NTV2FrameRate rate = NTV2_FRAMERATE_UNKNOWN;
    unsigned calls = 0; // HDMI setting calls received
};

// Everything the card holds except its frame memory.
struct AjaStubCard {
    bool present = true;
    std::string serial = "KBS0000001";
    // The stream owner: read from and written to the machine-wide record.
    ULWord streamAppCode = 0;
    int32_t streamPid = 0; // 0: nobody owns the stream
    NTV2EveryFrameTaskMode everyFrame = NTV2_STANDARD_TASKS;
    NTV2ReferenceSource reference = NTV2_REFERENCE_EXTERNAL;
    NTV2Mode mode[4] = {NTV2_MODE_DISPLAY, NTV2_MODE_DISPLAY, NTV2_MODE_DISPLAY, NTV2_MODE_DISPLAY};
    NTV2VideoFormat videoFormat[4] = {NTV2_FORMAT_720p_6000, NTV2_FORMAT_720p_6000,
                                      NTV2_FORMAT_720p_6000, NTV2_FORMAT_720p_6000};
    NTV2FrameBufferFormat frameBufferFormat[4] = {NTV2_FBF_10BIT_YCBCR, NTV2_FBF_10BIT_YCBCR,
                                                  NTV2_FBF_10BIT_YCBCR, NTV2_FBF_10BIT_YCBCR};
    // Input -> selected output crosspoint, as last applied.
    std::map<NTV2InputCrosspointID, ULWord> routing;
    unsigned routeApplies = 0;
    bool sdiTransmit[4] = {false, false, false, false};
    bool dualLinkOutput = false;
    bool sdi3G[4] = {false, false, false, false};
    bool sdi3Gb[4] = {false, false, false, false};
    bool sdi2Kx1080[4] = {false, false, false, false};
    ULWord vpid[4][2] = {{0, 0}, {0, 0}, {0, 0}, {0, 0}}; // link A, link B per SDI output
    NTV2RegisterWriteMode writeMode[4] = {NTV2_REGWRITE_SYNCTOFRAME, NTV2_REGWRITE_SYNCTOFRAME,
                                          NTV2_REGWRITE_SYNCTOFRAME, NTV2_REGWRITE_SYNCTOFRAME};
    AjaStubHdmi hdmi;
    ULWord outputFrame[4] = {0, 2, 4, 6};
    unsigned dmaWrites = 0;
    AjaStubFaults faults;
};

// The card's current state.
AjaStubCard card();
// Replaces the card's state (frame memory is kept), stream owner included.
void setCard(const AjaStubCard& state);
// Power-up state, frame memory erased, stream free; presence from
// KB_AJASTUB_NO_CARD.
void resetCard();
// Gives this process (and the processes it starts) a card of its own: the
// stream owner is kept in a fresh folder, removed when the process ends. For
// tests that run side by side; call before the card is first opened.
void privateStreamOwner();
// Bytes last written into card frame `frame` (empty when never written).
std::vector<uint8_t> frame(ULWord frame);
// Waits until the monitor picture shows the last frame the card started to show.
void flushMonitor();

} // namespace ajastub
