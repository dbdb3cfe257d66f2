// The simulated card behind the stand-in DeckLink library, for tests.
//
// The library holds one card for the process, shaped like a current card of
// its class: display modes from SD to UHD, a configured default output mode
// ('dvom'), pixel formats supported per mode, one mode enabled at a time (a
// second enable is refused until the output is disabled), and, while a test
// asks for it with keepShownFrames, a copy of the last frames shown with
// DisplayVideoFrameSync, with the moment each was shown. The card refuses a
// frame whose size or pixel format the enabled mode cannot show. Tests set it
// up through these functions and read back the bytes it was given; every
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

#include <chrono>
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
    // The pixel formats this mode can be shown in; empty: every format the
    // card supports.
    std::vector<BMDPixelFormat> formats = {};
};

// One frame the card was given to show.
struct Frame {
    BMDDisplayMode mode = 0; // the enabled mode
    long width = 0;
    long height = 0;
    long rowBytes = 0;
    BMDPixelFormat format = 0;
    std::vector<uint8_t> bytes; // rowBytes * height
    std::chrono::steady_clock::time_point shownAt;
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
    FailDisplay = 1u << 7,     // DisplayVideoFrameSync
};

// The card at power-up: the modes of defaultModes(), default mode "HD 1080i
// 50", the pixel formats of cardPixelFormats(), output disabled, no failures,
// no refused mode, nothing shown (keepShownFrames stays as it is).
void reset();
// NTSC, PAL, 720p 50/59.94/60, 1080i 50/59.94/60, 1080p 23.98 to 60, 2K DCI
// 23.98 to 25 and 2160p 23.98 to 60. Every mode takes 8- and 10-bit YCbCr and
// 8-bit RGB; 10-bit RGB everywhere but 2160p above 30 Hz (4:4:4 at that rate
// needs more than one link); 12-bit RGB only above SD and not at 2160p above
// 30 Hz.
std::vector<Mode> defaultModes();
std::vector<BMDPixelFormat> cardPixelFormats();
void setModes(const std::vector<Mode>& modes);
void setDefaultMode(BMDDisplayMode mode);
// The card's pixel formats, for every mode (a mode's own list still applies).
void setPixelFormats(const std::vector<BMDPixelFormat>& formats);
void setFailures(unsigned failures);
// EnableVideoOutput of this mode fails (0: none), as when a mode is listed but
// cannot be brought up.
void setRefusedMode(BMDDisplayMode mode);

// Smallest row in bytes of `format` for `width` pixels; 0 for an unknown format.
long minimumRowBytes(BMDPixelFormat format, long width);

// What the card did.
// Copies of the frames shown are kept only while this is on (off at start;
// turning it off drops them): at UHD each is tens of megabytes.
void keepShownFrames(bool keep);
std::vector<Frame> shownFrames(); // the last 16 kept, oldest first
unsigned showCount();             // frames shown since reset
bool outputEnabled(BMDDisplayMode* mode = nullptr);
unsigned enableCount();
bool hasCallback();
// Waits until the monitor picture shows the last frame the card started to show.
void flushMonitor();
// Interface objects alive (every one handed out and not yet fully released).
long liveObjects();

} // namespace decklinkstub
