// The simulated card behind the stand-in DeckLink library, for tests.
//
// The library holds one card for the process. It lists display modes, keeps a
// configured default output mode ('dvom'), supports a set of pixel formats,
// and keeps a copy of every frame shown with DisplayVideoFrameSync. Tests set
// it up through these functions and read back the bytes it was given; every
// function is safe from any thread.
//
// The environment variable KB_DECKLINK_STUB, read each time an iterator is
// created, changes what the library offers: "nocard" gives an iterator with
// no device, "nodriver" makes the iterator factory return null (as when the
// drivers are not installed).
//
// Monitor: while KB_DECKLINK_STUB_MONITOR names a file, every frame the card
// starts to show is written there as a PNG, decoded in the frame's pixel
// format (StubMonitor.h); YCbCr is BT.601 in modes of 576 lines or fewer,
// BT.709 in the others.
#pragma once

#include "DeckLinkAPI.h"

#include <cstdint>
#include <string>
#include <vector>

namespace decklinkstub {

struct Mode {
    BMDDisplayMode mode;
    std::string name;
    long width;
    long height;
    BMDTimeValue duration;
    BMDTimeScale timeScale;
};

// One frame the card was given to show.
struct Frame {
    BMDDisplayMode mode = 0; // the enabled mode
    long width = 0;
    long height = 0;
    long rowBytes = 0;
    BMDPixelFormat format = 0;
    std::vector<uint8_t> bytes; // rowBytes * height
};

// Calls that fail on purpose.
enum Failure : unsigned {
    FailOutputInterface = 1u << 0,
    FailConfigurationInterface = 1u << 1,
    FailDefaultMode = 1u << 2, // GetInt('dvom')
    FailEnable = 1u << 3,      // EnableVideoOutput
    FailCreateFrame = 1u << 4, // CreateVideoFrame
    FailCallback = 1u << 5,    // SetScheduledFrameCompletionCallback
    FailModeName = 1u << 6,    // IDeckLinkDisplayMode::GetName
};

// The card at power-up: the modes of defaultModes(), default mode "HD 1080i
// 50", all four pixel formats, output disabled, no failures, nothing shown.
void reset();
std::vector<Mode> defaultModes();
void setModes(const std::vector<Mode>& modes);
void setDefaultMode(BMDDisplayMode mode);
void setPixelFormats(const std::vector<BMDPixelFormat>& formats);
void setFailures(unsigned failures);

// Smallest row in bytes of `format` for `width` pixels; 0 for an unknown format.
long minimumRowBytes(BMDPixelFormat format, long width);

// What the card did.
std::vector<Frame> shownFrames(); // the last 16, oldest first
unsigned showCount();             // frames shown since reset
bool outputEnabled(BMDDisplayMode* mode = nullptr);
unsigned enableCount();
bool hasCallback();
// Waits until the monitor picture shows the last frame the card started to show.
void flushMonitor();
// Interface objects alive (every one handed out and not yet fully released).
long liveObjects();

} // namespace decklinkstub
