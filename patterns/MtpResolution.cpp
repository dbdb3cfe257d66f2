#include "MtpResolution.h"

#include "MtCore.h"
#include "MtpFrame.h"
#include "QiImageDrawRows.h"
#include "QiRaster.h"

#include <cstdio>

namespace {
char const* const kStyles[] = {"VLines", "HLines", "Pixels", nullptr};
QiOptEnum po_Style("Style", "The Pattern style", 0, kStyles, mtp::at(-1, -1, 0, 0));
QiOptRGB po_LowColor("LowColor", "The RGB Low Color", 0, 0, 0, true, mtp::at(0, 60));
QiOptRGB po_HiColor("HiColor", "The RGB High color", 255, 255, 255, true, mtp::at(185, 60));
QiOption* myOptions[] = {&po_Style, &po_LowColor, &po_HiColor, nullptr};

enum Style { VLines = 0, HLines = 1, Pixels = 2 };
} // namespace

MtpResolution::MtpResolution() {
    options = myOptions;
    revision = "$Revision: 1.4 $";
}

MtpResolution::~MtpResolution() {}

char const* MtpResolution::getName() {
    return "Resolution";
}

bool MtpResolution::initialize(MtCore* core) {
    mtp::setDefaultGrey(po_LowColor, static_cast<unsigned>(mtp::blackLevel(core)));
    mtp::setDefaultGrey(po_HiColor, static_cast<unsigned>(mtp::whiteLevel(core)));
    return true;
}

// One-pixel structures in HiColor on LowColor: every even column, every even
// row, or every pixel whose x + y is even (HiColor at the top left).
bool MtpResolution::render(MtCore* core, QiRaster* raster, QiArgRetVal const& args) {
    raster->setFrames(1);
    raster->coding = QiImage::RGB;
    period = 0;
    unsigned style = po_Style.defaultIndex;
    po_Style.getOption(args, style);
    const uint64_t low = mtp::readColour(po_LowColor, args, raster);
    const uint64_t high = mtp::readColour(po_HiColor, args, raster);

    const int Wpx = raster->getWidth(), Hpx = raster->getHeight();
    switch (style) {
    case VLines:
        // Every row is the same: the first is drawn and then repeated down the raster.
        raster->blt(low, 0, 0, -1, 1);
        for (int x = 0; x + 1 < Wpx; x += 2)
            raster->vLine(high, x, 0, 1);
        qidraw::repeatRow(raster, 0, 1, Hpx);
        break;
    case HLines:
        raster->blt(low, 0, 0, -1, -1);
        for (int y = 0; y + 1 < Hpx; y += 2)
            raster->hLine(high, 0, Wpx, y);
        break;
    case Pixels:
        raster->blt(low, 0, 0, -1, -1);
        std::fprintf(stderr, "Pixels\n");
        for (int y = 0; y < Hpx; ++y)
            for (int x = y % 2; x < Wpx; x += 2)
                raster->setPixel(x, y, high);
        break;
    default:
        raster->blt(low, 0, 0, -1, -1);
        break;
    }

    core->renderTitle(getName(), nullptr, raster);
    raster->render(0, false);
    return true;
}
