#include "MtpZonePlate.h"

#include "MtCore.h"
#include "MtpFrame.h"
#include "QiRaster.h"

namespace {
QiOptInt po_Scale("Scale", "The scale of the zone plate", 100, 16, 235, mtp::at(0, 0, 0, 0));
QiOptInt po_Stereo("Stereo", "The stereo separation zone plate", 0, -100, 100,
                   mtp::at(130, 0, 0, 0));
QiOptRGB po_StartColor("StartColor", "The RGB starting color", 0, 0, 0, true, mtp::at(0, 25, 0, 0));
QiOptRGB po_EndColor("EndColor", "The RGB ending color", 255, 255, 255, true,
                     mtp::at(185, 25, 0, 0));
QiOption* myOptions[] = {&po_Scale, &po_Stereo, &po_StartColor, &po_EndColor, nullptr};
} // namespace

MtpZonePlate::MtpZonePlate() {
    options = myOptions;
    revision = "$Revision: 1.6 $";
}

MtpZonePlate::~MtpZonePlate() {}

char const* MtpZonePlate::getName() {
    return "ZonePlate";
}

bool MtpZonePlate::initialize(MtCore* core) {
    mtp::setDefaultGrey(po_StartColor, static_cast<unsigned>(mtp::blackLevel(core)));
    mtp::setDefaultGrey(po_EndColor, static_cast<unsigned>(mtp::whiteLevel(core)));
    return true;
}

bool MtpZonePlate::render(MtCore* core, QiRaster* raster, QiArgRetVal const& args) {
    int scale = 100, stereo = 0;
    po_Scale.getOption(args, scale);
    po_Stereo.getOption(args, stereo);
    const int W = raster->getWidth(), H = raster->getHeight();
    // Stereo is a percentage of half the width, either way.
    int sep = stereo * W / 200;
    raster->setFrames(1);
    raster->coding = QiImage::RGB;
    const uint64_t start = mtp::readColour(po_StartColor, args, raster);
    const uint64_t end = mtp::readColour(po_EndColor, args, raster);

    QiImage* right = raster->getRightImage();
    if (!right) sep = 0;
    const unsigned k = static_cast<unsigned>(scale);
    // A plate centred on the image is mirrored from one quadrant and leaves row 0
    // and column 0 alone; without a fill they would keep the previous pattern.
    raster->blt(start, 0, 0, -1, -1);
    raster->renderZonePlate(0, 0, W, H, W / 2 - sep, H / 2, k, start, end);
    raster->use3D(false);
    // The right eye sees the same plate moved the other way.
    if (right && sep != 0) {
        right->blt(start, 0, 0, -1, -1);
        right->renderZonePlate(0, 0, right->getWidth(), right->getHeight(), W / 2 + sep, H / 2, k,
                               start, end);
        raster->use3D(true);
    }

    core->renderTitle(getName(), nullptr, raster);
    raster->render(0, false);
    return true;
}
