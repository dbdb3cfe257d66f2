#include "MtpVerticalBar.h"

#include "MtpFrame.h"
#include "QiRaster.h"

namespace {
char const* const kStyles[] = {"2color", "wrgbcmyk", nullptr};
QiOptEnum po_style("style", "The style of colorbars to render", 0, kStyles, mtp::at(0, 0));
// The maxima of width and offset follow the raster's width at every render.
QiOptInt po_width("width", "The number of pixels in a vertical stripe", 5, 1, 1536, mtp::at(0, 30));
QiOptInt po_offset("offset", "Start the stripes this number of pixels from the left edge", 0, 0,
                   1536, mtp::at(125, 30));
QiOptRGB po_hiColor("hiColor", "The RGB color of the high patches", 255, 255, 255, true,
                    mtp::at(175, 60));
QiOptRGB po_loColor("loColor", "The RGB color of the low patch", 0, 0, 0, true, mtp::at(0, 60));
QiOptBool po_invert("invert", "Interchange the high and low stripes", false, mtp::at(0, 130));
QiOption* myOptions[] = {&po_style,   &po_width,  &po_offset, &po_hiColor,
                         &po_loColor, &po_invert, nullptr};
} // namespace

MtpVerticalBar::MtpVerticalBar() {
    options = myOptions;
    revision = "$Revision $";
}

MtpVerticalBar::~MtpVerticalBar() {}

char const* MtpVerticalBar::getName() {
    return "VerticalBar";
}

bool MtpVerticalBar::initialize(MtCore* core) {
    mtp::setDefaultGrey(po_hiColor, static_cast<unsigned>(mtp::whiteLevel(core)));
    mtp::setDefaultGrey(po_loColor, static_cast<unsigned>(mtp::blackLevel(core)));
    return true;
}

bool MtpVerticalBar::render(MtCore*, QiRaster* raster, QiArgRetVal const&) {
    // The limits are shared with the threads that publish option records;
    // setLimits takes the lock those readers take. Defaults and minima stay.
    po_width.setLimits(5, 1, raster->getWidth());
    po_offset.setLimits(0, 0, raster->getWidth());
    return mtp::notDrawnYet(getName());
}
