// BmdOutput: the DeckLink side of the DeckLink back-end.
//
// Holds the first DeckLink device with its output and configuration
// interfaces, the device's display modes (listed once, in init), the video
// frame the raster converts into, and a store of the frames rendered for the
// raster's frame ring, which animated patterns step through. It is also the
// device's video output callback; scheduled playback is never started, so the
// callback only runs if the device calls it on its own thread, and then
// touches only the scheduled-frame count.
//
// Built and initialised on the main thread before the render thread exists;
// everything else runs on the render thread under the engine's raster lock.
#pragma once

#include "DeckLinkAPI.h"

#include <cstddef>
#include <cstdint>
#include <vector>

class BmdOutput : public IDeckLinkVideoOutputCallback {
public:
    explicit BmdOutput(bool passive);
    // Disables the output it enabled and releases the modes, the video frame,
    // the interfaces and the device.
    ~BmdOutput() override;

    // Finds the first device and its interfaces and lists its display modes;
    // false (with a trace line) when any of them is missing.
    bool init();
    // Reads the configured default output mode and lists the display modes,
    // recording the index of the default one, which is also the current mode
    // until another is enabled.
    bool buildModeList();
    // Schedules the video frame after the frames scheduled so far.
    HRESULT ScheduleNextFrame(bool preroll);

    // The callback: no interfaces, no reference counting.
    HRESULT QueryInterface(REFIID iid, void** object) override;
    ULONG AddRef() override;
    ULONG Release() override;
    HRESULT ScheduledFrameCompleted(IDeckLinkVideoFrame* completedFrame,
                                    BMDOutputFrameCompletionResult result) override;
    HRESULT ScheduledPlaybackHasStopped() override;

    // Fields, in order.
    bool passive = false;
    IDeckLink* deckLink = nullptr;
    IDeckLinkOutput* deckLinkOutput = nullptr;
    IDeckLinkDisplayMode** modes = nullptr; // owning, null-terminated
    IDeckLinkConfiguration* configuration = nullptr;
    uint32_t modeCount = 0;
    uint32_t defaultModeIndex = 0; // the mode the device is configured to show
    uint32_t currentModeIndex = 0; // the mode last enabled (the default one before)
    BMDTimeValue frameDuration = 0;
    BMDTimeScale timeScale = 0;
    int64_t framesPerSecond = 0; // rounded up
    IDeckLinkMutableVideoFrame* videoFrame = nullptr;
    int64_t scheduledFrames = 0;
    uint8_t* frameBytes = nullptr;  // the video frame's memory
    uint8_t* frameStore = nullptr;  // owning: frames of rowBytes * height bytes
    size_t frameStoreBytes = 0;     // size of the frame store
    uint32_t rowBytes = 0;          // of the video frame
    bool outputEnabled = false;     // the mode at currentModeIndex is enabled
    int64_t configuredMode = 0;     // the configured default mode last followed
    std::vector<bool> storedFrames; // per frame of the store: rendered since it was sized
    int shownFrame = -1;            // the stored frame in the video frame on screen; -1 none
    // The configured default mode the card refused to enable: not tried again
    // while the configuration names it, until the card is opened again.
    bool modeRefused = false;
    int64_t refusedMode = 0;
};

// A malloc'd UTF-8 copy of a CFString that the caller frees; null for null
// or when the conversion fails.
char* CFStringCopyUTF8String(CFStringRef string);
