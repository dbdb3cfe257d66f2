#include "MtpBT815.h"

#include "MtCore.h"
#include "MtpFrame.h"
#include "QiCLocale.h"
#include "QiRaster.h"

#include <string>

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

bool MtpBT815::render(MtCore* core, QiRaster* raster, QiArgRetVal const&) {
    raster->setFrames(1);
    raster->coding = QiImage::RGB;

    // Fixed studio-range levels, 10-bit codes on a raster whose white is above 8 bits.
    const bool tenBit = raster->getWhiteLevel() > 255;
    const unsigned grey = tenBit ? 504 : 126, black = tenBit ? 64 : 16, white = tenBit ? 940 : 235;
    std::string subtitle = qi::formatC("Gray: %d, Black: %d, White: %d", grey, black, white);
    if (subtitle.size() > 255) subtitle.resize(255);

    const int W = raster->getWidth(), H = raster->getHeight();
    // The square's side is 143 pixels at a width of 1920; the black squares sit at 27.5 % and
    // 65 % of the width, and as far above and below the white one as the left one is beside it.
    const int a = static_cast<int>(W * 0.07447916666666667);
    const int cx = W / 2 - a / 2, cy = H / 2 - a / 2;
    const int x1 = static_cast<int>(W * 0.275), x2 = static_cast<int>(W * 0.65);
    const int e = x1 - cx;

    const uint64_t g = mtp::grey(raster, grey), b = mtp::grey(raster, black);
    raster->blt(g, 0, 0, -1, -1);
    raster->blt(mtp::grey(raster, white), cx, cy, a, a);
    raster->blt(b, x1, cy, a, a);
    raster->blt(b, x2, cy, a, a);
    raster->blt(b, cx, cy + e, a, a);
    raster->blt(b, cx, cy - e, a, a);

    core->renderTitle(getName(), subtitle.c_str(), raster);
    raster->render(0, false);
    return true;
}
