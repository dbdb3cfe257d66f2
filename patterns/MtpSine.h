// MtpSine: "Sine": a full-screen sine sweep between two colours.
//
// Built-in renderer: created and registered once by the engine, its options
// are the static table in MtpSine.cpp. render() runs on the render thread.
#pragma once

#include "MtPatternRenderer.h"

class MtpSine : public MtPatternRenderer {
public:
    MtpSine();
    ~MtpSine() override;

    char const* getName() override;
    bool initialize(MtCore* core) override;
    bool render(MtCore* core, QiRaster* raster, QiArgRetVal const& args) override;
};
