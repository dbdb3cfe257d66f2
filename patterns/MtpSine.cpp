#include "MtpSine.h"

#include "MtCore.h"
#include "MtpFrame.h"
#include "QiRaster.h"

namespace {
QiOptInt po_Scale("Scale", "The scale of the sine wave", 10, 1, 255, mtp::at(0, 0, 0, 0));
QiOptEnum po_Orientation("Orientation", "The orientation of the pattern (horiz or vert)", 1,
                         mtp::kOrientationNames, mtp::at(130, 0, 0, 0));
QiOptRGB po_StartColor("StartColor", "The RGB starting color", 0, 0, 0, true, mtp::at(0, 25, 0, 0));
QiOptRGB po_EndColor("EndColor", "The RGB ending color", 255, 255, 255, true,
                     mtp::at(185, 25, 0, 0));
QiOption* myOptions[] = {&po_Scale, &po_Orientation, &po_StartColor, &po_EndColor, nullptr};
} // namespace

MtpSine::MtpSine() {
    options = myOptions;
    revision = "$Revision: 1.6 $";
}

MtpSine::~MtpSine() {}

char const* MtpSine::getName() {
    return "Sine";
}

bool MtpSine::initialize(MtCore* core) {
    mtp::setDefaultGrey(po_StartColor, static_cast<unsigned>(mtp::blackLevel(core)));
    mtp::setDefaultGrey(po_EndColor, static_cast<unsigned>(mtp::whiteLevel(core)));
    return true;
}

bool MtpSine::render(MtCore* core, QiRaster* raster, QiArgRetVal const& args) {
    int scale = po_Scale.defaultValue;
    po_Scale.getOption(args, scale);
    raster->setFrames(1);
    raster->coding = QiImage::RGB;
    const uint64_t start = mtp::readColour(po_StartColor, args, raster);
    const uint64_t end = mtp::readColour(po_EndColor, args, raster);
    unsigned orientation = po_Orientation.defaultIndex;
    po_Orientation.getOption(args, orientation);

    // "Horizontal": the sweep runs along x (its frequency rises from left to right).
    const bool alongX = orientation == 0;
    raster->renderSine(0, 0, static_cast<unsigned>(raster->getWidth()),
                       static_cast<unsigned>(raster->getHeight()), alongX,
                       static_cast<unsigned>(scale), start, end);

    core->renderTitle(getName(), nullptr, raster);
    raster->render(0, false);
    return true;
}
