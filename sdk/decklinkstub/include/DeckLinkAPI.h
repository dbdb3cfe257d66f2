// DeckLinkAPI: our own stand-in for the DeckLink video-output interfaces.
//
// Only what the DeckLink back-end calls, shaped like the vendor's COM-style
// API: a device iterator, the device, its output and configuration
// interfaces, display modes and their iterator, video frames, the output
// callback, and the dispatch entry points that load the library at run time.
// The library behind it (libDeckLinkAPI.so, built from this folder) simulates
// one card in memory; DeckLinkStubCard.h lets tests configure it and read
// back what it was given.
//
// Every interface is reference counted: an object handed out through an out
// parameter or a Create function carries one reference for the caller.
#pragma once

#include "CFLite.h"

#include <cstdint>

// Four-character codes: first character in the most significant byte.
constexpr uint32_t bmdFourCC(char a, char b, char c, char d) {
    return static_cast<uint32_t>(static_cast<unsigned char>(a)) << 24 |
           static_cast<uint32_t>(static_cast<unsigned char>(b)) << 16 |
           static_cast<uint32_t>(static_cast<unsigned char>(c)) << 8 |
           static_cast<uint32_t>(static_cast<unsigned char>(d));
}

typedef uint32_t BMDDisplayMode;
typedef uint32_t BMDPixelFormat;
typedef uint32_t BMDVideoOutputFlags;
typedef uint32_t BMDFrameFlags;
typedef uint32_t BMDDisplayModeSupport;
typedef uint32_t BMDDeckLinkConfigurationID;
typedef uint32_t BMDOutputFrameCompletionResult;
typedef int64_t BMDTimeValue;
typedef int64_t BMDTimeScale;

enum : BMDPixelFormat {
    bmdFormat8BitYUV = bmdFourCC('2', 'v', 'u', 'y'),  // UYVY 4:2:2
    bmdFormat10BitYUV = bmdFourCC('v', '2', '1', '0'), // v210
    bmdFormat8BitARGB = 32,                            // bytes A, R, G, B
    bmdFormat10BitRGB = bmdFourCC('r', '2', '1', '0'), // big-endian 10-bit RGB words
    bmdFormat12BitRGB = bmdFourCC('r', 'g', '1', '2'), // 12-bit RGB; the back-end never asks for it
};

enum : BMDVideoOutputFlags { bmdVideoOutputFlagDefault = 0 };
enum : BMDFrameFlags { bmdFrameFlagDefault = 0 };

enum : BMDDisplayModeSupport {
    bmdDisplayModeNotSupported = 0,
    bmdDisplayModeSupported = 1,
    bmdDisplayModeSupportedWithConversion = 2,
};

enum : BMDOutputFrameCompletionResult {
    bmdOutputFrameCompleted = 0,
    bmdOutputFrameDisplayedLate = 1,
    bmdOutputFrameDropped = 2,
    bmdOutputFrameFlushed = 3,
};

// The display mode the device is configured to show (its default output mode).
enum : BMDDeckLinkConfigurationID {
    bmdDeckLinkConfigDefaultVideoOutputMode = bmdFourCC('d', 'v', 'o', 'm'),
};

// CC5C8A6E-3F2F-4B3A-87EA-FD78AF300564
constexpr CFUUIDBytes IID_IDeckLinkOutput = {{0xCC, 0x5C, 0x8A, 0x6E, 0x3F, 0x2F, 0x4B, 0x3A, 0x87,
                                              0xEA, 0xFD, 0x78, 0xAF, 0x30, 0x05, 0x64}};
// CB71734A-FE37-4E8D-8E13-802133A1C3F2
constexpr CFUUIDBytes IID_IDeckLinkConfiguration = {{0xCB, 0x71, 0x73, 0x4A, 0xFE, 0x37, 0x4E, 0x8D,
                                                     0x8E, 0x13, 0x80, 0x21, 0x33, 0xA1, 0xC3,
                                                     0xF2}};

class IDeckLinkVideoFrame : public IUnknown {
public:
    virtual long GetWidth() = 0;
    virtual long GetHeight() = 0;
    virtual long GetRowBytes() = 0;
    virtual BMDPixelFormat GetPixelFormat() = 0;
    virtual BMDFrameFlags GetFlags() = 0;
    virtual HRESULT GetBytes(void** buffer) = 0;

protected:
    virtual ~IDeckLinkVideoFrame() {}
};

class IDeckLinkMutableVideoFrame : public IDeckLinkVideoFrame {
public:
    virtual HRESULT SetFlags(BMDFrameFlags flags) = 0;

protected:
    virtual ~IDeckLinkMutableVideoFrame() {}
};

class IDeckLinkDisplayMode : public IUnknown {
public:
    // A new string that the caller releases.
    virtual HRESULT GetName(CFStringRef* name) = 0;
    virtual BMDDisplayMode GetDisplayMode() = 0;
    virtual long GetWidth() = 0;
    virtual long GetHeight() = 0;
    // Frame duration in units of the time scale (1001 / 60000 for 59.94 Hz).
    virtual HRESULT GetFrameRate(BMDTimeValue* frameDuration, BMDTimeScale* timeScale) = 0;

protected:
    virtual ~IDeckLinkDisplayMode() {}
};

class IDeckLinkDisplayModeIterator : public IUnknown {
public:
    // S_OK with the next mode, S_FALSE (mode null) after the last.
    virtual HRESULT Next(IDeckLinkDisplayMode** mode) = 0;

protected:
    virtual ~IDeckLinkDisplayModeIterator() {}
};

class IDeckLinkVideoOutputCallback : public IUnknown {
public:
    virtual HRESULT ScheduledFrameCompleted(IDeckLinkVideoFrame* completedFrame,
                                            BMDOutputFrameCompletionResult result) = 0;
    virtual HRESULT ScheduledPlaybackHasStopped() = 0;

protected:
    virtual ~IDeckLinkVideoOutputCallback() {}
};

class IDeckLinkOutput : public IUnknown {
public:
    virtual HRESULT DoesSupportVideoMode(BMDDisplayMode mode, BMDPixelFormat format,
                                         BMDVideoOutputFlags flags, BMDDisplayModeSupport* result,
                                         IDeckLinkDisplayMode** resultMode) = 0;
    virtual HRESULT GetDisplayModeIterator(IDeckLinkDisplayModeIterator** iterator) = 0;
    virtual HRESULT EnableVideoOutput(BMDDisplayMode mode, BMDVideoOutputFlags flags) = 0;
    virtual HRESULT DisableVideoOutput() = 0;
    virtual HRESULT CreateVideoFrame(int32_t width, int32_t height, int32_t rowBytes,
                                     BMDPixelFormat format, BMDFrameFlags flags,
                                     IDeckLinkMutableVideoFrame** frame) = 0;
    // Shows the frame at once and returns when the card has taken it.
    virtual HRESULT DisplayVideoFrameSync(IDeckLinkVideoFrame* frame) = 0;
    virtual HRESULT ScheduleVideoFrame(IDeckLinkVideoFrame* frame, BMDTimeValue displayTime,
                                       BMDTimeValue displayDuration, BMDTimeScale timeScale) = 0;
    virtual HRESULT SetScheduledFrameCompletionCallback(IDeckLinkVideoOutputCallback* callback) = 0;

protected:
    virtual ~IDeckLinkOutput() {}
};

class IDeckLinkConfiguration : public IUnknown {
public:
    virtual HRESULT GetInt(BMDDeckLinkConfigurationID id, int64_t* value) = 0;

protected:
    virtual ~IDeckLinkConfiguration() {}
};

// One card; its output and configuration are reached through QueryInterface.
class IDeckLink : public IUnknown {
protected:
    virtual ~IDeckLink() {}
};

class IDeckLinkIterator : public IUnknown {
public:
    // S_OK with the next device, S_FALSE (device null) after the last.
    virtual HRESULT Next(IDeckLink** device) = 0;

protected:
    virtual ~IDeckLinkIterator() {}
};

// Interfaces the dispatch layer can create but the back-end never uses.
class IDeckLinkAPIInformation;
class IDeckLinkGLScreenPreviewHelper;
class IDeckLinkCocoaScreenPreviewCallback;
class IDeckLinkVideoConversion;
class IDeckLinkDiscovery;
class IBMDStreamingDiscovery;
class IBMDStreamingH264NALParser;

// Dispatch layer: each Create function loads the library once per process
// and calls its factory; null when the library or the factory is missing.
IDeckLinkIterator* CreateDeckLinkIteratorInstance();
IDeckLinkAPIInformation* CreateDeckLinkAPIInformationInstance();
IDeckLinkGLScreenPreviewHelper* CreateOpenGLScreenPreviewHelper();
IDeckLinkCocoaScreenPreviewCallback* CreateCocoaScreenPreview(void* parentView);
IDeckLinkVideoConversion* CreateVideoConversionInstance();
IDeckLinkDiscovery* CreateDeckLinkDiscoveryInstance();
// Whether the library could be loaded.
bool IsDeckLinkAPIPresent();
IBMDStreamingDiscovery* CreateBMDStreamingDiscoveryInstance();
IBMDStreamingH264NALParser* CreateBMDStreamingH264NALParser();

// The library's exported factories, resolved by name by the dispatch layer.
extern "C" {
typedef IDeckLinkIterator* (*CreateIteratorFunc)();
typedef IDeckLinkAPIInformation* (*CreateAPIInformationFunc)();
typedef IDeckLinkGLScreenPreviewHelper* (*CreateOpenGLScreenPreviewHelperFunc)();
typedef IDeckLinkCocoaScreenPreviewCallback* (*CreateCocoaScreenPreviewFunc)(void*);
typedef IDeckLinkVideoConversion* (*CreateVideoConversionInstanceFunc)();
typedef IDeckLinkDiscovery* (*CreateDeckLinkDiscoveryInstanceFunc)();
typedef IBMDStreamingDiscovery* (*CreateStreamingDiscoveryFunc)();
typedef IBMDStreamingH264NALParser* (*CreateNALParserFunc)();
}
