// MtpIDMS: "IDMS": 32 nested rectangles of a fixed level table, white at the edge to
// black at the centre.
//
// Built-in renderer: created and registered once by the engine, its options
// are the static table in MtpIDMS.cpp. render() runs on the render thread.
#pragma once

#include "MtPatternRenderer.h"

class MtpIDMS : public MtPatternRenderer {
public:
    MtpIDMS();
    ~MtpIDMS() override;

    char const* getName() override;
    bool initialize(MtCore* core) override;
    bool render(MtCore* core, QiRaster* raster, QiArgRetVal const& args) override;
};
