#include "MtpSine.h"

#include "MtpFrame.h"

namespace {
QiOptInt po_Scale("Scale", "The scale of the sine wave", 10, 1, 255, mtp::at(0, 0, 0, 0));
QiOptEnum po_Orientation("Orientation", "The orientation of the pattern (horiz or vert)", 1,
                         mtp::kOrientationNames, mtp::at(130, 0, 0, 0));
QiOptRGB po_StartColor("StartColor", "The RGB starting color", 0, 0, 0, true, mtp::at(0, 25, 0, 0));
QiOptRGB po_EndColor("EndColor", "The RGB ending color", 255, 255, 255, true,
                     mtp::at(185, 25, 0, 0));
QiOption* myOptions[] = {&po_Scale, &po_Orientation, &po_StartColor, &po_EndColor, nullptr};
} // namespace

MtpSine::MtpSine() {
    options = myOptions;
    revision = "$Revision: 1.6 $";
}

MtpSine::~MtpSine() {}

char const* MtpSine::getName() {
    return "Sine";
}

bool MtpSine::initialize(MtCore* core) {
    mtp::setDefaultGrey(po_StartColor, static_cast<unsigned>(mtp::blackLevel(core)));
    mtp::setDefaultGrey(po_EndColor, static_cast<unsigned>(mtp::whiteLevel(core)));
    return true;
}

bool MtpSine::render(MtCore*, QiRaster*, QiArgRetVal const&) {
    return mtp::notDrawnYet(getName());
}
