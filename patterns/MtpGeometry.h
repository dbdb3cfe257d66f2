// MtpGeometry: "Geometry": diagonals, circles, a line grid, a border and boxes at 95, 90
// and 85 % of the screen.
//
// Built-in renderer: created and registered once by the engine, its options
// are the static table in MtpGeometry.cpp. render() runs on the render thread.
#pragma once

#include "MtPatternRenderer.h"

class MtpGeometry : public MtPatternRenderer {
public:
    MtpGeometry();
    ~MtpGeometry() override;

    char const* getName() override;
    bool initialize(MtCore* core) override;
    bool render(MtCore* core, QiRaster* raster, QiArgRetVal const& args) override;
};
