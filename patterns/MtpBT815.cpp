#include "MtpBT815.h"

#include "MtCore.h"
#include "MtpFrame.h"

namespace {
QiOption* myOptions[] = {nullptr};
} // namespace

MtpBT815::MtpBT815() {
    options = myOptions;
    revision = "$Revision: 1.0 $";
}

MtpBT815::~MtpBT815() {}

char const* MtpBT815::getName() {
    return "BT.815";
}

bool MtpBT815::initialize(MtCore* core) {
    QiArgRetVal args;
    args.set("Pattern", "BT.815");
    core->addAlias("Raster", args);
    return true;
}

bool MtpBT815::render(MtCore*, QiRaster*, QiArgRetVal const&) {
    return mtp::notDrawnYet(getName());
}
