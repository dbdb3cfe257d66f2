#include "MtpColor.h"

#include "MtCore.h"
#include "MtpFrame.h"
#include "QiRaster.h"

namespace {

char const* const kStyles[] = {"Static", nullptr};
enum Style { Static = 0 };

QiOptInt po_Brightness("Brightness", "The brightness level of the color/tint pattern", 75, 0, 100,
                       mtp::at(0, 0));
QiOptEnum po_Style("Style", "The style pattern to use", Static, kStyles, mtp::at(0, 25));
QiOption* myOptions[] = {&po_Brightness, &po_Style, nullptr};

} // namespace

MtpColor::MtpColor() {
    options = myOptions;
    revision = "$Revision: 1.8 $";
}

MtpColor::~MtpColor() {}

char const* MtpColor::getName() {
    return "Color";
}

bool MtpColor::initialize(MtCore* core) {
    QiArgRetVal args;
    args.set("Pattern", getName());
    core->addAlias("Tint", args);
    return true;
}

bool MtpColor::render(MtCore* core, QiRaster* raster, QiArgRetVal const& args) {
    int brightness = 75;
    unsigned style = po_Style.defaultIndex;
    po_Brightness.getOption(args, brightness);
    po_Style.getOption(args, style);
    raster->setFrames(1);
    raster->coding = QiImage::RGB;

    const int black = raster->getBlackLevel(), white = raster->getWhiteLevel();
    raster->blt(mtp::grey(raster, static_cast<unsigned>(black)), 0, 0, -1, -1);

    if (style == Static) {
        const unsigned B = static_cast<unsigned>(black);
        const unsigned L = static_cast<unsigned>(mtp::levelPercent(black, white, brightness));
        // Blue, grey, cyan, magenta: each patch row below shifts the sequence by one place.
        const uint64_t c[4] = {mtp::packRGB(raster, B, B, L), mtp::packRGB(raster, L, L, L),
                               mtp::packRGB(raster, B, L, L), mtp::packRGB(raster, L, B, L)};
        // Patches of 3 x 3 cells in a 71 x 27 grid, twelve columns from cell 12.
        struct Row {
            int cell;  // grid row
            int shift; // the row's offset into the sequence
        };
        static const Row kRows[4] = {{7, 3}, {10, 2}, {14, 0}, {17, 1}};
        for (int i = 0; i < 12; ++i) {
            const int x = 12 + 4 * i;
            for (Row const& r : kRows)
                raster->drawBar(c[(i + r.shift) % 4], x, r.cell, 3, 3, 71, 27);
        }
    }

    core->renderTitle(getName(), nullptr, raster);
    raster->render(0, false);
    return true;
}
