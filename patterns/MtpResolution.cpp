#include "MtpResolution.h"

#include "MtpFrame.h"

namespace {
char const* const kStyles[] = {"VLines", "HLines", "Pixels", nullptr};
QiOptEnum po_Style("Style", "The Pattern style", 0, kStyles, mtp::at(-1, -1, 0, 0));
QiOptRGB po_LowColor("LowColor", "The RGB Low Color", 0, 0, 0, true, mtp::at(0, 60));
QiOptRGB po_HiColor("HiColor", "The RGB High color", 255, 255, 255, true, mtp::at(185, 60));
QiOption* myOptions[] = {&po_Style, &po_LowColor, &po_HiColor, nullptr};
} // namespace

MtpResolution::MtpResolution() {
    options = myOptions;
    revision = "$Revision: 1.4 $";
}

MtpResolution::~MtpResolution() {}

char const* MtpResolution::getName() {
    return "Resolution";
}

bool MtpResolution::initialize(MtCore* core) {
    mtp::setDefaultGrey(po_LowColor, static_cast<unsigned>(mtp::blackLevel(core)));
    mtp::setDefaultGrey(po_HiColor, static_cast<unsigned>(mtp::whiteLevel(core)));
    return true;
}

bool MtpResolution::render(MtCore*, QiRaster*, QiArgRetVal const&) {
    return mtp::notDrawnYet(getName());
}
