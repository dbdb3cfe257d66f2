#include "MtpGradient.h"

#include "MtCore.h"
#include "MtpFrame.h"

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

bool MtpGradient::render(MtCore*, QiRaster*, QiArgRetVal const&) {
    return mtp::notDrawnYet(getName());
}
