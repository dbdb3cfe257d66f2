#include "MtpSharpness.h"

#include "MtpFrame.h"

namespace {
char const* const kStyles[] = {"gridlines", "multiburst", nullptr};
QiOptEnum po_Style("Style", "The sharpness style to use.", 0, kStyles, mtp::at(-1, -1, 0, 0));
QiOption* myOptions[] = {&po_Style, nullptr};
} // namespace

MtpSharpness::MtpSharpness() {
    options = myOptions;
    revision = "$Revision: 1.9 $";
}

MtpSharpness::~MtpSharpness() {}

char const* MtpSharpness::getName() {
    return "Sharpness";
}

bool MtpSharpness::initialize(MtCore*) {
    return true;
}

bool MtpSharpness::render(MtCore*, QiRaster*, QiArgRetVal const&) {
    return mtp::notDrawnYet(getName());
}
