#include "MtpAbout.h"

#include "MtpFrame.h"

namespace {
QiOption* myOptions[] = {nullptr};
} // namespace

MtpAbout::MtpAbout() {
    options = myOptions;
    revision = "$Revision: 1.8 $";
}

MtpAbout::~MtpAbout() {}

char const* MtpAbout::getName() {
    return "About";
}

bool MtpAbout::initialize(MtCore*) {
    return true;
}

bool MtpAbout::render(MtCore*, QiRaster*, QiArgRetVal const&) {
    return mtp::notDrawnYet(getName());
}
