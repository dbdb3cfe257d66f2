#include "MtpColorbars.h"

#include "MtCore.h"
#include "MtpFrame.h"
#include "QiRaster.h"

namespace {

char const* const kStyles[] = {"smpte", "fullfield", "splitfield", "3split", nullptr};
enum Style { Smpte = 0, FullField = 1, SplitField = 2, ThreeSplit = 3 };

QiOptEnum po_Style("Style", "The style of colorbars to render", Smpte, kStyles,
                   mtp::at(-1, -1, 0, 0));
QiOptInt po_Brightness("Brightness", "The brightness value of the colorbars", 75, 0, 100,
                       mtp::at(-1, -1, 0, 0));
QiOption* myOptions[] = {&po_Style, &po_Brightness, nullptr};

// The fixed entries of the SMPTE bottom row, as 8-bit codes (scaled to the
// raster's depth, independent of brightness and black level):
//   -I reference  (0, 16, 64)  and  +Q reference  (32, 0, 96);
//   PLUGE greys   7 and 25: black 16 minus and plus 9 codes, about 4 % of
//   the 16..235 range, the step a display's black level is set between.
constexpr unsigned kMinusI8[3] = {0, 16, 64};
constexpr unsigned kPlusQ8[3] = {32, 0, 96};
constexpr unsigned kPlugeLow8 = 7;
constexpr unsigned kPlugeHigh8 = 25;

// The three rows of bars at level L on black B.
struct BarTables {
    uint64_t top[7];    // grey, yellow, cyan, green, magenta, red, blue
    uint64_t middle[7]; // blue, black, magenta, black, cyan, black, grey
    uint64_t bottom[8]; // -I, grey, +Q, black, PLUGE low, black, PLUGE high, black
};

BarTables buildTables(QiImage const* image, unsigned B, unsigned L) {
    auto c = [image](unsigned r, unsigned g, unsigned b) { return mtp::packRGB(image, r, g, b); };
    auto s = [image](unsigned code8) { return mtp::scale8(image, code8); };
    BarTables t = {
        {c(L, L, L), c(L, L, B), c(B, L, L), c(B, L, B), c(L, B, L), c(L, B, B), c(B, B, L)},
        {c(B, B, L), c(B, B, B), c(L, B, L), c(B, B, B), c(B, L, L), c(B, B, B), c(L, L, L)},
        {c(s(kMinusI8[0]), s(kMinusI8[1]), s(kMinusI8[2])), c(L, L, L),
         c(s(kPlusQ8[0]), s(kPlusQ8[1]), s(kPlusQ8[2])), c(B, B, B),
         mtp::grey(image, s(kPlugeLow8)), c(B, B, B), mtp::grey(image, s(kPlugeHigh8)), c(B, B, B)},
    };
    return t;
}

} // namespace

MtpColorbars::MtpColorbars() {
    options = myOptions;
    revision = "$Revision: 1.13 $";
}

MtpColorbars::~MtpColorbars() {}

char const* MtpColorbars::getName() {
    return "Colorbars";
}

bool MtpColorbars::initialize(MtCore* core) {
    // One map edited between registrations.
    QiArgRetVal args;
    args.set("Pattern", getName());
    args.set("Style", "fullfield");
    core->addAlias("fullfield", args);
    args.set("Style", "splitfield");
    core->addAlias("splitfield", args);
    args.set("Style", "3split");
    core->addAlias("3split", args);
    args.set("Style", "smpte");
    core->addAlias("SMPTEBars", args);
    return true;
}

bool MtpColorbars::render(MtCore* core, QiRaster* raster, QiArgRetVal const& args) {
    unsigned style = po_Style.defaultIndex;
    int brightness = 75;
    po_Style.getOption(args, style);
    po_Brightness.getOption(args, brightness);
    raster->setFrames(1);
    raster->coding = QiImage::RGB;

    const int black = raster->getBlackLevel(), white = raster->getWhiteLevel();
    const unsigned B = static_cast<unsigned>(black);
    const unsigned L = static_cast<unsigned>(mtp::levelPercent(black, white, brightness));
    const BarTables t = buildTables(raster, B, L);

    // Every style covers the whole raster, so it is not cleared first.
    switch (style) {
    case Smpte:
        for (int i = 0; i < 7; ++i) {
            raster->drawBar(t.top[i], i, 0, 1, 6, 7, 10);
            raster->drawBar(t.middle[i], i, 6, 1, 2, 7, 10);
        }
        raster->drawBar(t.bottom[3], 0, 8, 1, 2, 1, 10);
        for (int j = 0; j < 3; ++j)
            raster->drawBar(t.bottom[j], j, 8, 1, 2, 6, 10);
        raster->drawBar(t.bottom[4], 15, 8, 1, 2, 21, 10);
        raster->drawBar(t.bottom[6], 17, 8, 1, 2, 21, 10);
        break;
    case FullField:
        for (int i = 0; i < 7; ++i)
            raster->drawBar(t.top[i], i, 0, 1, 1, 7, 1);
        break;
    case SplitField: // the lower half in reverse order
        for (int i = 0; i < 7; ++i) {
            raster->drawBar(t.top[i], i, 0, 1, 1, 7, 2);
            raster->drawBar(t.top[i], 6 - i, 1, 1, 1, 7, 2);
        }
        break;
    case ThreeSplit:
        for (int i = 0; i < 7; ++i) {
            raster->drawBar(t.top[i], i, 0, 1, 1, 7, 3);
            raster->drawBar(t.top[i], 6 - i, 1, 1, 1, 7, 3);
            raster->drawBar(t.top[i], i, 2, 1, 1, 7, 3);
        }
        break;
    default:
        break;
    }

    core->renderTitle(getName(), nullptr, raster);
    raster->render(0, false);
    return true;
}
