#include "MtpContrast.h"

#include "MtCore.h"
#include "MtpFrame.h"
#include "QiRaster.h"

namespace {
QiOptRGB po_bgLevel("bgLevel", "The color/level of the patch behind the swatches", 255, 255, 255,
                    false, mtp::at(-1, -1, 0, 0));
QiOption* myOptions[] = {&po_bgLevel, nullptr};
} // namespace

MtpContrast::MtpContrast() {
    options = myOptions;
    revision = "$Revision: 1.10 $";
}

MtpContrast::~MtpContrast() {}

char const* MtpContrast::getName() {
    return "Contrast";
}

bool MtpContrast::initialize(MtCore* core) {
    // The largest code of the raster's depth, at most 1020.
    unsigned top = core && core->raster ? mtp::maxCode(core->raster) : 255;
    mtp::setDefaultGrey(po_bgLevel, top < 1020 ? top : 1020);
    return true;
}

bool MtpContrast::render(MtCore*, QiRaster*, QiArgRetVal const&) {
    return mtp::notDrawnYet(getName());
}
