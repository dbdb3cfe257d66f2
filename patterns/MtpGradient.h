// MtpGradient: "Gradient": ramps and staircases between two colours, or strips of primary,
// secondary and grey ramps.
//
// Built-in renderer: created and registered once by the engine, its options
// are the static table in MtpGradient.cpp. render() runs on the render thread.
#pragma once

#include "MtPatternRenderer.h"

class MtpGradient : public MtPatternRenderer {
public:
    MtpGradient();
    ~MtpGradient() override;

    char const* getName() override;
    bool initialize(MtCore* core) override;
    bool render(MtCore* core, QiRaster* raster, QiArgRetVal const& args) override;
};
