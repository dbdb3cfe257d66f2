#include "MtpCheckerboard.h"

#include "MtCore.h"
#include "MtpFrame.h"
#include "QiRaster.h"

namespace {
// The maxima of the patch counts follow the raster's size at every render.
QiOptInt po_hPatch("hPatch", "The number of horzontal patches", 5, 2, 2048, mtp::at(0, 0));
QiOptInt po_vPatch("vPatch", "The number of veritcal patches", 5, 2, 1536, mtp::at(125, 0));
QiOptRGB po_hiColor("hiColor", "The RGB color of the high patches", 255, 255, 255, true,
                    mtp::at(175, 30));
QiOptRGB po_loColor("loColor", "The RGB color of the low patch", 0, 0, 0, true, mtp::at(0, 30));
QiOptBool po_invert("invert", "Interchange the high and low patches", false, mtp::at(0, 100));
QiOption* myOptions[] = {&po_hPatch, &po_vPatch, &po_hiColor, &po_loColor, &po_invert, nullptr};
} // namespace

MtpCheckerboard::MtpCheckerboard() {
    options = myOptions;
    revision = "$Revision: 1.11 $";
}

MtpCheckerboard::~MtpCheckerboard() {}

char const* MtpCheckerboard::getName() {
    return "Checkerboard";
}

bool MtpCheckerboard::initialize(MtCore* core) {
    mtp::setDefaultGrey(po_hiColor, static_cast<unsigned>(mtp::whiteLevel(core)));
    mtp::setDefaultGrey(po_loColor, static_cast<unsigned>(mtp::blackLevel(core)));
    return true;
}

bool MtpCheckerboard::render(MtCore* core, QiRaster* raster, QiArgRetVal const& args) {
    // The limits are shared with the threads that publish option records;
    // setLimits takes the lock those readers take. A cell is at least one
    // pixel: the counts never exceed the raster's size.
    po_hPatch.setLimits(5, 2, raster->getWidth());
    po_vPatch.setLimits(5, 2, raster->getHeight());
    int h = 0, v = 0; // absent: getOption gives the defaults
    po_hPatch.getOption(args, h);
    po_vPatch.getOption(args, v);

    raster->setFrames(1);
    raster->coding = QiImage::RGB;
    period = 0;
    const uint64_t lo = mtp::readColour(po_loColor, args, raster);
    const uint64_t hi = mtp::readColour(po_hiColor, args, raster);
    bool invert = false;
    po_invert.getOption(args, invert);

    // With invert off the top-left cell is the high colour.
    for (int r = 0; r < v; ++r)
        for (int c = 0; c < h; ++c)
            raster->drawBar((int(invert) + r + c) % 2 ? lo : hi, c, r, 1, 1, h, v);

    core->renderTitle(getName(), nullptr, raster);
    raster->render(0, false);
    return true;
}
