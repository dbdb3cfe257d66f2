#include "MtpVerticalBar.h"

#include "MtCore.h"
#include "MtpFrame.h"
#include "QiImageDrawRows.h"
#include "QiRaster.h"

namespace {
char const* const kStyles[] = {"2color", "wrgbcmyk", nullptr};
QiOptEnum po_style("style", "The style of colorbars to render", 0, kStyles, mtp::at(0, 0));
// The maxima of width and offset follow the raster's width at every render.
QiOptInt po_width("width", "The number of pixels in a vertical stripe", 5, 1, 1536, mtp::at(0, 30));
QiOptInt po_offset("offset", "Start the stripes this number of pixels from the left edge", 0, 0,
                   1536, mtp::at(125, 30));
QiOptRGB po_hiColor("hiColor", "The RGB color of the high patches", 255, 255, 255, true,
                    mtp::at(175, 60));
QiOptRGB po_loColor("loColor", "The RGB color of the low patch", 0, 0, 0, true, mtp::at(0, 60));
QiOptBool po_invert("invert", "Interchange the high and low stripes", false, mtp::at(0, 130));
QiOption* myOptions[] = {&po_style,   &po_width,  &po_offset, &po_hiColor,
                         &po_loColor, &po_invert, nullptr};

enum Style { TwoColour = 0, EightColour = 1 };
} // namespace

MtpVerticalBar::MtpVerticalBar() {
    options = myOptions;
    revision = "$Revision $";
}

MtpVerticalBar::~MtpVerticalBar() {}

char const* MtpVerticalBar::getName() {
    return "VerticalBar";
}

bool MtpVerticalBar::initialize(MtCore* core) {
    mtp::setDefaultGrey(po_hiColor, static_cast<unsigned>(mtp::whiteLevel(core)));
    mtp::setDefaultGrey(po_loColor, static_cast<unsigned>(mtp::blackLevel(core)));
    return true;
}

bool MtpVerticalBar::render(MtCore* core, QiRaster* raster, QiArgRetVal const& args) {
    const int B = raster->getBlackLevel() < 0 ? 0 : raster->getBlackLevel();
    const int W = raster->getWhiteLevel() < 0 ? 0 : raster->getWhiteLevel();
    auto colour = [raster](int r, int g, int b) {
        return mtp::packRGB(raster, static_cast<unsigned>(r), static_cast<unsigned>(g),
                            static_cast<unsigned>(b));
    };
    const int Wpx = raster->getWidth();
    // Every row is the same: the first is drawn and then repeated down the raster.
    raster->blt(colour(B, B, B), 0, 0, -1, 1);
    raster->setFrames(1);
    raster->coding = QiImage::RGB;
    period = 0;

    // The limits are shared with the threads that publish option records;
    // setLimits takes the lock those readers take. Defaults and minima stay.
    po_width.setLimits(5, 1, Wpx);
    po_offset.setLimits(0, 0, Wpx);
    int width = 0, offset = 0; // absent: getOption gives the defaults
    po_width.getOption(args, width);
    po_offset.getOption(args, offset);
    const uint64_t two[2] = {mtp::readColour(po_loColor, args, raster),
                             mtp::readColour(po_hiColor, args, raster)};
    bool invert = false;
    po_invert.getOption(args, invert);
    unsigned style = po_style.defaultIndex;
    po_style.getOption(args, style);

    // White, red, green, blue, cyan, magenta, yellow, black at the raster's levels.
    const uint64_t eight[8] = {colour(W, W, W), colour(W, B, B), colour(B, W, B), colour(B, B, W),
                               colour(B, W, W), colour(W, B, W), colour(W, W, B), colour(B, B, B)};

    // Stripes from the offset on; the part left of it stays black. The width
    // is at least one pixel (its minimum), so the walk always ends.
    unsigned k = invert ? 1 : 0;
    for (int x = offset; x < Wpx; x += width, ++k)
        raster->blt(style == EightColour ? eight[k % 8] : two[k % 2], x, 0, width, 1);
    qidraw::repeatRow(raster, 0, 1, raster->getHeight());

    core->renderTitle(getName(), nullptr, raster);
    raster->render(0, false);
    return true;
}
