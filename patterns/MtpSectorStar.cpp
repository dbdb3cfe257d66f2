#include "MtpSectorStar.h"

#include "MtpFrame.h"

namespace {
char const* const kStyles[] = {"2Color", "RGBCMYK", "Sine", nullptr};
QiOptInt po_Divisions("Divisions", "The number of sectors", 36, 1, 360, mtp::at(160, 0));
QiOptEnum po_Style("Style", "The style of SectorStar to render", 0, kStyles, mtp::at(0, 0));
QiOptInt po_Stereo("Stereo", "The stereo separation, in percent of half the width", 0, -100, 100,
                   mtp::at(295, 0));
// The two colours serve "2Color" and "Sine", not "RGBCMYK".
QiOptRGB po_Color1("Color1", "The first RGB color", 0, 0, 0, true,
                   mtp::shownWhen(0, 25, "Style", "RGBCMYK", false));
QiOptRGB po_Color2("Color2", "The second RGB color", 255, 255, 255, true,
                   mtp::shownWhen(185, 25, "Style", "RGBCMYK", false));
QiOption* myOptions[] = {&po_Divisions, &po_Style, &po_Stereo, &po_Color1, &po_Color2, nullptr};
} // namespace

MtpSectorStar::MtpSectorStar() {
    options = myOptions;
    revision = "$Revision: 1.6 $";
}

MtpSectorStar::~MtpSectorStar() {}

char const* MtpSectorStar::getName() {
    return "SectorStar";
}

bool MtpSectorStar::initialize(MtCore* core) {
    mtp::setDefaultGrey(po_Color1, static_cast<unsigned>(mtp::blackLevel(core)));
    mtp::setDefaultGrey(po_Color2, static_cast<unsigned>(mtp::whiteLevel(core)));
    return true;
}

bool MtpSectorStar::render(MtCore*, QiRaster*, QiArgRetVal const&) {
    return mtp::notDrawnYet(getName());
}
