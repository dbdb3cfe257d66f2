// MtpSharpness: "Sharpness": line groups and line grids, or a six-band multiburst, on mid grey.
//
// Built-in renderer: created and registered once by the engine, its options
// are the static table in MtpSharpness.cpp. render() runs on the render thread.
#pragma once

#include "MtPatternRenderer.h"

class MtpSharpness : public MtPatternRenderer {
public:
    MtpSharpness();
    ~MtpSharpness() override;

    char const* getName() override;
    bool initialize(MtCore* core) override;
    bool render(MtCore* core, QiRaster* raster, QiArgRetVal const& args) override;
};
