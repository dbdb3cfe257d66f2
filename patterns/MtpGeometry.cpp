#include "MtpGeometry.h"

#include "MtpFrame.h"

namespace {
QiOptInt po_hLines("hLines", "The number of horzontal lines", 5, 2, 480, mtp::at(0, 0));
QiOptInt po_vLines("vLines", "The number of veritcal lines", 5, 2, 480, mtp::at(125, 0));
QiOption* myOptions[] = {&po_hLines, &po_vLines, nullptr};
} // namespace

MtpGeometry::MtpGeometry() {
    options = myOptions;
    revision = "$Revision: 1.6 $";
}

MtpGeometry::~MtpGeometry() {}

char const* MtpGeometry::getName() {
    return "Geometry";
}

bool MtpGeometry::initialize(MtCore*) {
    return true;
}

bool MtpGeometry::render(MtCore*, QiRaster*, QiArgRetVal const&) {
    return mtp::notDrawnYet(getName());
}
