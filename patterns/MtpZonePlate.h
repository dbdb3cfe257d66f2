// MtpZonePlate: "ZonePlate": a circular zone plate, optionally with a shifted copy for the
// right eye.
//
// Built-in renderer: created and registered once by the engine, its options
// are the static table in MtpZonePlate.cpp. render() runs on the render thread.
#pragma once

#include "MtPatternRenderer.h"

class MtpZonePlate : public MtPatternRenderer {
public:
    MtpZonePlate();
    ~MtpZonePlate() override;

    char const* getName() override;
    bool initialize(MtCore* core) override;
    bool render(MtCore* core, QiRaster* raster, QiArgRetVal const& args) override;
};
