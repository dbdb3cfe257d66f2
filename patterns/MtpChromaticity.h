// MtpChromaticity: "Chromaticity": the CIE 1931 chromaticity diagram in the colours of an RGB
// space (ITU-R BT.709 or BT.601 primaries, D65 white).
//
// Built-in renderer: created and registered once by the engine, its options
// are the static table in MtpChromaticity.cpp. render() runs on the render thread.
#pragma once

#include "MtPatternRenderer.h"

#include <cstddef>

class MtpChromaticity : public MtPatternRenderer {
public:
    MtpChromaticity();
    ~MtpChromaticity() override;

    char const* getName() override;
    bool initialize(MtCore* core) override;
    bool render(MtCore* core, QiRaster* raster, QiArgRetVal const& args) override;

    // The pixels the kept chart holds memory for, 0 when none is kept: for
    // tests and diagnostics.
    static size_t keptChartPixels();
};
