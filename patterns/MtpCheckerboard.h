// MtpCheckerboard: "Checkerboard": a board of hPatch x vPatch cells in two colours.
//
// Built-in renderer: created and registered once by the engine, its options
// are the static table in MtpCheckerboard.cpp. render() runs on the render thread.
#pragma once

#include "MtPatternRenderer.h"

class MtpCheckerboard : public MtPatternRenderer {
public:
    MtpCheckerboard();
    ~MtpCheckerboard() override;

    char const* getName() override;
    bool initialize(MtCore* core) override;
    bool render(MtCore* core, QiRaster* raster, QiArgRetVal const& args) override;
};
