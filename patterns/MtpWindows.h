// MtpWindows: "Window": a window of one colour on a background, by size or by average
// picture level, with a readout of its level in the title.
//
// Built-in renderer: created and registered once by the engine, its options
// are the static table in MtpWindows.cpp. render() runs on the render thread.
#pragma once

#include "MtPatternRenderer.h"

#include <cstddef>

class MtpWindows : public MtPatternRenderer {
public:
    MtpWindows();
    ~MtpWindows() override;

    char const* getName() override;
    bool initialize(MtCore* core) override;
    bool render(MtCore* core, QiRaster* raster, QiArgRetVal const& args) override;

    // SMPTE ST 2084 (PQ) EOTF: the luminance in cd/m2 of a signal fraction x;
    // a negative x gives the negative of the value for -x.
    virtual double GetPQValue(double x);
    // Writes v into `buffer` (at most `size` bytes) with no decimals from 10
    // up, one from 1 up, two below; returns `buffer`.
    virtual char* GenerateNiceFloatString(char* buffer, size_t size, double v);
};
