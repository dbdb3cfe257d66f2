#include "MtpGradient.h"

#include "MtCore.h"
#include "MtpFrame.h"
#include "QiRaster.h"

#include <cmath>
#include <cstdint>

namespace {
char const* const kStyles[] = {"Normal", "RGBCMYK", "RGBCMYK_lo", "RGBCMYK_hi", nullptr};
QiOptInt po_Steps("Steps", "The number of steps in the ramp/staircase (0 for ramp)", 11, 0, 255,
                  mtp::at(335, 0));
QiOptEnum po_Orientation("Orientation", "The orientation of the pattern (horiz or vert)", 1,
                         mtp::kOrientationNames, mtp::at(155, 0));
QiOptEnum po_Style("Style", "The Style to use (Normal, RGBCMYK, RGBCMYK_lo, RGBCMYK_hi)", 0,
                   kStyles, mtp::at(0, 0));
QiOptDouble po_Gamma("Gamma", "The gamma to use for the ramp gradient", 1.0, 0.1, 5.0,
                     mtp::at(0, 30));
QiOptBool po_Mirror("Mirror",
                    "Mirror makes the gradient from start to end to start, (i.e. endLevel/endColor "
                    "is at the middle and reflected back)",
                    false, mtp::at(200, 30));
QiOptRGB po_StartColor("StartColor", "The RGB starting color", 0, 0, 0, true,
                       mtp::shownWhen(0, 60, "Style", "Normal"));
QiOptRGB po_EndColor("EndColor", "The RGB ending color", 255, 255, 255, true,
                     mtp::shownWhen(185, 60, "Style", "Normal"));
QiOptInt po_Splits("Splits", "The number of strips to render", 0, 0, 540,
                   mtp::shownWhen(300, 30, "Style", "Normal"));
QiOption* myOptions[] = {&po_Steps,      &po_Orientation, &po_Style,  &po_Gamma, &po_Mirror,
                         &po_StartColor, &po_EndColor,    &po_Splits, nullptr};

enum Orientation { Horizontal = 0, Vertical = 1 };
enum Style { Normal = 0, Rgbcmyk = 1, RgbcmykLo = 2, RgbcmykHi = 3 };

// From this many steps on, the odd strips show the same ramp limited to 8-bit
// precision instead of the reversed staircase: a fine ramp beside its 8-bit
// rendering shows whether a display path keeps the two low bits.
constexpr int kFineRampSteps = 52;

// Cell (step, strip) of a grid of `steps` by `strips`: steps run down for
// horizontal bands and across for vertical bars.
void drawCell(QiImage* image, uint64_t colour, bool horizontal, int step, int strip, int steps,
              int strips) {
    if (horizontal)
        image->drawBar(colour, strip, step, 1, 1, strips, steps);
    else
        image->drawBar(colour, step, strip, 1, 1, steps, strips);
}

} // namespace

MtpGradient::MtpGradient() {
    options = myOptions;
    revision = "$Revision: 1.5 $";
}

MtpGradient::~MtpGradient() {}

char const* MtpGradient::getName() {
    return "Gradient";
}

bool MtpGradient::initialize(MtCore* core) {
    mtp::setDefaultGrey(po_StartColor, static_cast<unsigned>(mtp::blackLevel(core)));
    mtp::setDefaultGrey(po_EndColor, static_cast<unsigned>(mtp::whiteLevel(core)));

    // One map edited between registrations: keys set for one alias stay for
    // the next unless overwritten.
    struct Stair {
        char const* alias;
        char const* orientation;
        char const* steps;
    };
    static const Stair kStairs[] = {
        {"Ramp", "Horizontal", "0"},     {"HRamp", "Horizontal", "0"},
        {"VRamp", "Vertical", "0"},      {"HStair11", "Horizontal", "11"},
        {"VStair11", "Vertical", "11"},  {"VStair21", "Vertical", "21"},
        {"HStair21", "Horizontal", "21"}};
    QiArgRetVal args;
    args.set("Pattern", getName());
    for (Stair const& s : kStairs) {
        args.set("Orientation", s.orientation);
        args.set("Steps", s.steps);
        core->addAlias(s.alias, args);
    }
    // No orientation: the option's default (vertical bars) applies.
    args.clear();
    args.set("Pattern", getName());
    args.set("Steps", "0");
    args.set("Splits", "3");
    args.set("Mirror", "true");
    core->addAlias("DynamicRange", args);
    return true;
}

bool MtpGradient::render(MtCore* core, QiRaster* raster, QiArgRetVal const& args) {
    int steps = po_Steps.defaultValue, splits = po_Splits.defaultValue;
    unsigned orientation = po_Orientation.defaultIndex, style = po_Style.defaultIndex;
    double gamma = po_Gamma.defaultValue;
    bool mirror = po_Mirror.defaultValue;
    po_Steps.getOption(args, steps);
    po_Orientation.getOption(args, orientation);
    po_Style.getOption(args, style);
    po_Gamma.getOption(args, gamma);
    po_Mirror.getOption(args, mirror);
    po_Splits.getOption(args, splits);
    const uint64_t start = mtp::readColour(po_StartColor, args, raster);
    const uint64_t end = mtp::readColour(po_EndColor, args, raster);
    raster->setFrames(1);
    raster->coding = QiImage::RGB;

    const bool horizontal = orientation == Horizontal;
    // A ramp: one step per pixel line.
    if (steps == 0) steps = horizontal ? raster->getHeight() : raster->getWidth();

    const int black = raster->getBlackLevel(), white = raster->getWhiteLevel();
    const int64_t mask = static_cast<int64_t>(mtp::maxCode(raster));
    auto level = [&](double f) {
        return static_cast<unsigned>(static_cast<int64_t>(black + f * (white - black)) & mask);
    };

    // The grid covers the raster whole: it is not cleared first.
    for (int i = 0; i < steps; ++i) {
        // A single step has no span to divide: it shows the start of the ramp.
        double t = steps > 1 ? static_cast<double>(i) / (steps - 1) : 0.0;
        if (style == Normal) {
            if (mirror) t = 1.0 - std::fabs(2.0 * t - 1.0);
            uint64_t even = raster->interpolateColor(start, end, t);
            uint64_t odd = steps < kFineRampSteps ? raster->interpolateColor(end, start, t)
                                                  : raster->interpolateColor10(start, end, t);
            raster->gammify(even, gamma);
            raster->gammify(odd, gamma);
            for (int j = 0; j <= splits; ++j)
                drawCell(raster, j % 2 == 0 ? even : odd, horizontal, i, j, steps, splits + 1);
            continue;
        }
        unsigned on, off;
        if (style == RgbcmykLo) { // black to colour
            on = level(t);
            off = static_cast<unsigned>(black);
        } else if (style == RgbcmykHi) { // colour to white
            on = static_cast<unsigned>(white);
            off = level(t);
        } else if (t <= 0.5) { // black to colour, then colour to white
            on = level(2 * t);
            off = static_cast<unsigned>(black);
        } else {
            on = static_cast<unsigned>(white);
            off = level(2 * t - 1);
        }
        uint64_t strips[7] = {
            mtp::packRGB(raster, on, off, off),      mtp::packRGB(raster, off, on, off),
            mtp::packRGB(raster, off, off, on),      mtp::packRGB(raster, off, on, on),
            mtp::packRGB(raster, on, on, off),       mtp::packRGB(raster, on, off, on),
            raster->interpolateGrey(black, white, t)};
        for (int k = 0; k < 7; ++k) {
            raster->gammify(strips[k], gamma);
            drawCell(raster, strips[k], horizontal, i, k, steps, 7);
        }
    }

    core->renderTitle(getName(), nullptr, raster);
    raster->render(0, false);
    return true;
}
