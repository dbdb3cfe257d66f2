// MtpResolution: "Resolution": one-pixel lines or a one-pixel checkerboard.
//
// Built-in renderer: created and registered once by the engine, its options
// are the static table in MtpResolution.cpp. render() runs on the render thread.
#pragma once

#include "MtPatternRenderer.h"

class MtpResolution : public MtPatternRenderer {
public:
    MtpResolution();
    ~MtpResolution() override;

    char const* getName() override;
    bool initialize(MtCore* core) override;
    bool render(MtCore* core, QiRaster* raster, QiArgRetVal const& args) override;
};
