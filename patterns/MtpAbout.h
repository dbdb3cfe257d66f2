// MtpAbout: "About": an identification screen with the generator's network addresses and
// QR codes of its web address.
//
// Built-in renderer: created and registered once by the engine, its options
// are the static table in MtpAbout.cpp. render() runs on the render thread.
#pragma once

#include "MtPatternRenderer.h"

class MtpAbout : public MtPatternRenderer {
public:
    MtpAbout();
    ~MtpAbout() override;

    char const* getName() override;
    bool initialize(MtCore* core) override;
    bool render(MtCore* core, QiRaster* raster, QiArgRetVal const& args) override;
};
