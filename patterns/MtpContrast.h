// MtpContrast: "Contrast": numbered near-white swatches on a patch, for setting a display's
// white level.
//
// Built-in renderer: created and registered once by the engine, its options
// are the static table in MtpContrast.cpp. render() runs on the render thread.
#pragma once

#include "MtPatternRenderer.h"

class MtpContrast : public MtPatternRenderer {
public:
    MtpContrast();
    ~MtpContrast() override;

    char const* getName() override;
    bool initialize(MtCore* core) override;
    bool render(MtCore* core, QiRaster* raster, QiArgRetVal const& args) override;
};
