// MtpImageFile: "ImageFile": an image file, or a sequence of them as an animation, chosen
// for the raster's height from an image alias.
//
// Built-in renderer: created and registered once by the engine, its options
// are the static table in MtpImageFile.cpp. render() runs on the render thread.
#pragma once

#include "MtPatternRenderer.h"

class QiImage;

class MtpImageFile : public MtPatternRenderer {
public:
    MtpImageFile();
    ~MtpImageFile() override;

    char const* getName() override;
    bool initialize(MtCore* core) override;
    bool render(MtCore* core, QiRaster* raster, QiArgRetVal const& args) override;

    // Brings an image read at its own depth (an ".mti" file keeps the depth it
    // was written at) to `bits` components, so that its pixels mean the same
    // levels on the raster. Any thread; touches only `image`.
    static void toDepth(QiImage* image, int bits);
};
