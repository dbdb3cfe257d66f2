#include "MtpCheckerboard.h"

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

bool MtpCheckerboard::render(MtCore*, QiRaster* raster, QiArgRetVal const&) {
    // The limits are shared with the threads that publish option records;
    // setLimits takes the lock those readers take.
    po_hPatch.setLimits(5, 2, raster->getWidth());
    po_vPatch.setLimits(5, 2, raster->getHeight());
    return mtp::notDrawnYet(getName());
}
