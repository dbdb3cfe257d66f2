// MtpColorbars: "Colorbars": SMPTE-style colour bars and three full-screen bar layouts.
//
// Built-in renderer: created and registered once by the engine, its options
// are the static table in MtpColorbars.cpp. render() runs on the render thread.
#pragma once

#include "MtPatternRenderer.h"

class MtpColorbars : public MtPatternRenderer {
public:
    MtpColorbars();
    ~MtpColorbars() override;

    char const* getName() override;
    bool initialize(MtCore* core) override;
    bool render(MtCore* core, QiRaster* raster, QiArgRetVal const& args) override;
};
