#include "MtpCornerContrast.h"

#include "MtCore.h"
#include "MtpFrame.h"

namespace {
QiOption* myOptions[] = {nullptr};
} // namespace

MtpCornerContrast::MtpCornerContrast() {
    options = myOptions;
    revision = "$Revision: 1.0 $";
}

MtpCornerContrast::~MtpCornerContrast() {}

char const* MtpCornerContrast::getName() {
    return "CCRA_L20C100";
}

bool MtpCornerContrast::initialize(MtCore* core) {
    QiArgRetVal args;
    args.set("Pattern", "CCRA_L20C100");
    args.set("Size", "4");
    core->addAlias("Raster", args);
    return true;
}

bool MtpCornerContrast::render(MtCore*, QiRaster*, QiArgRetVal const&) {
    return mtp::notDrawnYet(getName());
}
