// MtpBrightness: "Brightness": numbered near-black swatches, or two frames of nested boxes
// that alternate every 750 ms, for setting a display's black level.
//
// Built-in renderer: created and registered once by the engine, its options
// are the static table in MtpBrightness.cpp. render() runs on the render thread.
#pragma once

#include "MtPatternRenderer.h"

class MtpBrightness : public MtPatternRenderer {
public:
    MtpBrightness();
    ~MtpBrightness() override;

    char const* getName() override;
    bool initialize(MtCore* core) override;
    bool render(MtCore* core, QiRaster* raster, QiArgRetVal const& args) override;
};
