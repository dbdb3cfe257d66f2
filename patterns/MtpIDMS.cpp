#include "MtpIDMS.h"

#include "MtCore.h"
#include "MtpFrame.h"

namespace {
QiOption* myOptions[] = {nullptr};
} // namespace

MtpIDMS::MtpIDMS() {
    options = myOptions;
    revision = "$Revision: 1.0 $";
}

MtpIDMS::~MtpIDMS() {}

char const* MtpIDMS::getName() {
    return "IDMS";
}

bool MtpIDMS::initialize(MtCore* core) {
    QiArgRetVal args;
    args.set("Pattern", "IDMS");
    core->addAlias("Raster", args);
    return true;
}

bool MtpIDMS::render(MtCore*, QiRaster*, QiArgRetVal const&) {
    return mtp::notDrawnYet(getName());
}
