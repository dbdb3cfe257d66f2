#include "MtpCornerContrast.h"

#include "MtCore.h"
#include "MtpFrame.h"
#include "QiRaster.h"

#include <cmath>
#include <cstdint>

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

// TV black with TV-white boxes a tenth of the screen wide and high in the four
// corners. Drawn in the raster's current pixel coding and without a title.
bool MtpCornerContrast::render(MtCore*, QiRaster* raster, QiArgRetVal const&) {
    // Video levels by the raster's range: 10-bit codes on a 10-bit white level.
    const bool tenBitLevels = raster->getWhiteLevel() > 255;
    const uint64_t lo = mtp::grey(raster, tenBitLevels ? 64 : 16);
    const uint64_t hi = mtp::grey(raster, tenBitLevels ? 940 : 235);

    // The squares are taken in 64 bits: they overflow an int past 46340 pixels.
    const int64_t Wpx = raster->getWidth(), Hpx = raster->getHeight();
    const int bw = static_cast<int>(std::sqrt(static_cast<double>(Wpx * Wpx / 25))) / 2;
    const int bh = static_cast<int>(std::sqrt(static_cast<double>(Hpx * Hpx / 25))) / 2;
    const int right = static_cast<int>(Wpx) - bw, bottom = static_cast<int>(Hpx) - bh;

    raster->blt(lo, 0, 0, -1, -1);
    raster->blt(hi, 0, 0, bw, bh);
    raster->blt(hi, right, 0, bw, bh);
    raster->blt(hi, 0, bottom, bw, bh);
    raster->blt(hi, right, bottom, bw, bh);

    raster->setFrames(1);
    period = 0;
    raster->render(0, false);
    return true;
}
