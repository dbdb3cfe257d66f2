// MtpVerticalBar: "VerticalBar": full-height vertical stripes of a given width in two or
// eight colours.
//
// Built-in renderer: created and registered once by the engine, its options
// are the static table in MtpVerticalBar.cpp. render() runs on the render thread.
#pragma once

#include "MtPatternRenderer.h"

class MtpVerticalBar : public MtPatternRenderer {
public:
    MtpVerticalBar();
    ~MtpVerticalBar() override;

    char const* getName() override;
    bool initialize(MtCore* core) override;
    bool render(MtCore* core, QiRaster* raster, QiArgRetVal const& args) override;
};
