#include "MtpChromaticity.h"

#include "MtpFrame.h"

namespace {
char const* const kStyles[] = {"shaded", "constrained", "full", nullptr};
char const* const kSpaces[] = {"Rec709", "Rec601", nullptr};
QiOptEnum po_Style("Style", "The style to draw the gamut in", 0, kStyles, mtp::at(0, 0));
QiOptEnum po_RgbSpace("RgbSpace", "The RGB colorspace to render the diagram in", 0, kSpaces,
                      mtp::at(300, 0));
QiOption* myOptions[] = {&po_Style, &po_RgbSpace, nullptr};
} // namespace

MtpChromaticity::MtpChromaticity() {
    options = myOptions;
    revision = "$Revision: 1.11 $";
}

MtpChromaticity::~MtpChromaticity() {}

char const* MtpChromaticity::getName() {
    return "Chromaticity";
}

bool MtpChromaticity::initialize(MtCore*) {
    return true;
}

bool MtpChromaticity::render(MtCore*, QiRaster*, QiArgRetVal const&) {
    return mtp::notDrawnYet(getName());
}
