#include "MtpBrightness.h"

#include "MtCore.h"
#include "MtpFrame.h"
#include "QiCLocale.h"
#include "QiRaster.h"

#include <string>

namespace {
char const* const kStyles[] = {"Blinking", "Static", "Testing", nullptr};
QiOptRGB po_bgLevel("bgLevel",
                    "The color/level of the patch behind the swatches in the static style", 0, 0, 0,
                    false, mtp::at(0, 0));
QiOptEnum po_Style("Style", "The Pattern style", 1, kStyles, mtp::at(170, 0));
QiOptInt po_Bracket("Bracket", "The amount above and below the black level to display", 16, 0, 50,
                    mtp::at(170, 25));
QiOption* myOptions[] = {&po_bgLevel, &po_Style, &po_Bracket, nullptr};

enum Style { Blinking = 0, Static = 1, Testing = 2 };

// The two frames of the animated styles alternate at this period.
constexpr uint64_t kBlinkPeriodMs = 750;

// A level as a grey; levels below zero (from inverted black and white levels)
// are black, levels above the depth's largest code are limited to it.
uint64_t greyLevel(QiImage const* image, int v) {
    return mtp::grey(image, v < 0 ? 0u : static_cast<unsigned>(v));
}

void label(MtCore* core, QiImage* image, std::string const& text, uint64_t colour, int x, int y) {
    int w = 0, h = 0;
    image->renderText(core->fonts[0], text.c_str(), colour, x, y, w, h, false, QiImage::Centre);
}

// Two frames of nested hollow boxes on black: the outer and inner colour of
// each frame.
void drawBlinking(MtCore* core, QiRaster* raster, unsigned style, int bracket, char const* title) {
    const int B = raster->getBlackLevel(), W = raster->getWhiteLevel();
    const int d = (W - B) * bracket / 100;
    const int lo = d < 0 ? -d : 0;
    const int hi = 2 * B + d;
    const int outer[2] = {style == Testing ? B : lo, style == Testing ? W : B};
    const int inner[2] = {style == Testing ? W : B, style == Testing ? B : hi};
    raster->setFrames(2);
    for (unsigned f = 0; f < 2; ++f) {
        raster->blt(greyLevel(raster, B), 0, 0, -1, -1);
        raster->drawHollowBox(greyLevel(raster, outer[f]), 1, 1, 18, 18, 2, 1, 20, 20);
        raster->drawHollowBox(greyLevel(raster, inner[f]), 5, 3, 10, 14, 2, 1, 20, 20);
        core->renderTitle(title, nullptr, raster);
        raster->render(f, false);
    }
}

// Two rows of twelve numbered near-black swatches on the bgLevel patch: the
// 8-bit codes 1 to 12 and 13 to 24 at the raster's depth, with "0%" under
// nominal black (code 16).
void drawStatic(MtCore* core, QiRaster* raster, QiArgRetVal const& args, char const* title) {
    raster->setFrames(1);
    raster->blt(mtp::readColour(po_bgLevel, args, raster), 0, 0, -1, -1);
    const int Wpx = raster->getWidth(), Hpx = raster->getHeight();
    const uint64_t ink = mtp::grey(raster, mtp::scale8(raster, 64));
    for (int i = 0; i < 12; ++i) {
        const int x = 12 + 4 * i;
        const int lx = static_cast<int>(Wpx * (x + 1.5) / 71);
        const int upper = static_cast<int>(mtp::scale8(raster, static_cast<unsigned>(i + 1)));
        const int lower = static_cast<int>(mtp::scale8(raster, static_cast<unsigned>(i + 13)));
        raster->drawBar(greyLevel(raster, upper), x, 7, 3, 6, 71, 27);
        label(core, raster, qi::formatC("%d", upper), ink, lx, Hpx * 10 / 27);
        raster->drawBar(greyLevel(raster, lower), x, 14, 3, 6, 71, 27);
        label(core, raster, qi::formatC("%d", lower), ink, lx, Hpx * 17 / 27);
        if (lower == 16 || lower == 64) label(core, raster, "0%", ink, lx, Hpx * 19 / 27);
    }
    core->renderTitle(title, nullptr, raster);
    raster->render(0, false);
}
} // namespace

MtpBrightness::MtpBrightness() {
    options = myOptions;
    revision = "$Revision: 1.14 $";
}

MtpBrightness::~MtpBrightness() {}

char const* MtpBrightness::getName() {
    return "Brightness";
}

bool MtpBrightness::initialize(MtCore*) {
    return true;
}

bool MtpBrightness::render(MtCore* core, QiRaster* raster, QiArgRetVal const& args) {
    unsigned style = po_Style.defaultIndex;
    int bracket = 0; // absent: getOption gives the default
    po_Style.getOption(args, style);
    po_Bracket.getOption(args, bracket);
    raster->coding = QiImage::RGB;
    if (style == Blinking || style == Testing) {
        period = kBlinkPeriodMs;
        drawBlinking(core, raster, style, bracket, getName());
    } else {
        period = 0;
        drawStatic(core, raster, args, getName());
    }
    return true;
}
