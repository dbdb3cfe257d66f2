#include "MtpZonePlate.h"

#include "MtpFrame.h"

namespace {
QiOptInt po_Scale("Scale", "The scale of the zone plate", 100, 16, 235, mtp::at(0, 0, 0, 0));
QiOptInt po_Stereo("Stereo", "The stereo separation zone plate", 0, -100, 100,
                   mtp::at(130, 0, 0, 0));
QiOptRGB po_StartColor("StartColor", "The RGB starting color", 0, 0, 0, true, mtp::at(0, 25, 0, 0));
QiOptRGB po_EndColor("EndColor", "The RGB ending color", 255, 255, 255, true,
                     mtp::at(185, 25, 0, 0));
QiOption* myOptions[] = {&po_Scale, &po_Stereo, &po_StartColor, &po_EndColor, nullptr};
} // namespace

MtpZonePlate::MtpZonePlate() {
    options = myOptions;
    revision = "$Revision: 1.6 $";
}

MtpZonePlate::~MtpZonePlate() {}

char const* MtpZonePlate::getName() {
    return "ZonePlate";
}

bool MtpZonePlate::initialize(MtCore* core) {
    mtp::setDefaultGrey(po_StartColor, static_cast<unsigned>(mtp::blackLevel(core)));
    mtp::setDefaultGrey(po_EndColor, static_cast<unsigned>(mtp::whiteLevel(core)));
    return true;
}

bool MtpZonePlate::render(MtCore*, QiRaster*, QiArgRetVal const&) {
    return mtp::notDrawnYet(getName());
}
