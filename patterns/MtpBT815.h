// MtpBT815: "BT.815": a white square and four black squares on mid grey.
//
// Built-in renderer: created and registered once by the engine, its options
// are the static table in MtpBT815.cpp. render() runs on the render thread.
#pragma once

#include "MtPatternRenderer.h"

class MtpBT815 : public MtPatternRenderer {
public:
    MtpBT815();
    ~MtpBT815() override;

    char const* getName() override;
    bool initialize(MtCore* core) override;
    bool render(MtCore* core, QiRaster* raster, QiArgRetVal const& args) override;
};
