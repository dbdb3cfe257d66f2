#include "MtpBrightness.h"

#include "MtpFrame.h"

namespace {
char const* const kStyles[] = {"Blinking", "Static", "Testing", nullptr};
QiOptRGB po_bgLevel("bgLevel",
                    "The color/level of the patch behind the swatches in the static style", 0, 0, 0,
                    false, mtp::at(0, 0));
QiOptEnum po_Style("Style", "The Pattern style", 1, kStyles, mtp::at(170, 0));
QiOptInt po_Bracket("Bracket", "The amount above and below the black level to display", 16, 0, 50,
                    mtp::at(170, 25));
QiOption* myOptions[] = {&po_bgLevel, &po_Style, &po_Bracket, nullptr};
} // namespace

MtpBrightness::MtpBrightness() {
    options = myOptions;
    revision = "$Revision: 1.14 $";
}

MtpBrightness::~MtpBrightness() {}

char const* MtpBrightness::getName() {
    return "Brightness";
}

bool MtpBrightness::initialize(MtCore*) {
    return true;
}

bool MtpBrightness::render(MtCore*, QiRaster*, QiArgRetVal const&) {
    return mtp::notDrawnYet(getName());
}
