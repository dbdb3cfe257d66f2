// MtpWindows: "Window": a window of one colour on a background, by size or by average
// picture level, with a readout of its level in the title.
//
// Built-in renderer: created and registered once by the engine, its options
// are the static table in MtpWindows.cpp. render() runs on the render thread.
#pragma once

#include "MtPatternRenderer.h"

#include <cstddef>
#include <string>

class QiImage;

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

    // The title's second line for `args` on an image of this depth with these
    // black and white levels: the window's level, its TV and full-range
    // percentages, its PQ luminance and the picture's APL.
    std::string readout(QiArgRetVal const& args, QiImage const* image, int black, int white);
};
