// MtpColor: "Color" (alias "Tint"): rows of blue, grey, cyan and magenta patches on black.
//
// Built-in renderer: created and registered once by the engine, its options
// are the static table in MtpColor.cpp. render() runs on the render thread.
#pragma once

#include "MtPatternRenderer.h"

class MtpColor : public MtPatternRenderer {
public:
    MtpColor();
    ~MtpColor() override;

    char const* getName() override;
    bool initialize(MtCore* core) override;
    bool render(MtCore* core, QiRaster* raster, QiArgRetVal const& args) override;
};
