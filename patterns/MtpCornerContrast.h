// MtpCornerContrast: "CCRA_L20C100": a TV-black field with four TV-white boxes in the corners,
// drawn without a title.
//
// Built-in renderer: created and registered once by the engine, its options
// are the static table in MtpCornerContrast.cpp. render() runs on the render thread.
#pragma once

#include "MtPatternRenderer.h"

class MtpCornerContrast : public MtPatternRenderer {
public:
    MtpCornerContrast();
    ~MtpCornerContrast() override;

    char const* getName() override;
    bool initialize(MtCore* core) override;
    bool render(MtCore* core, QiRaster* raster, QiArgRetVal const& args) override;
};
