#include "MtpWindows.h"

#include "MtCore.h"
#include "MtpFrame.h"
#include "QiCLocale.h"

#include <cmath>
#include <cstdio>
#include <string>

namespace {
char const* const kStyles[] = {"Constant Size", "Constant APL", nullptr};
QiOptEnum po_Style("Style", "The Style to use to render windows", 0, kStyles, mtp::at(0, 0));
QiOptInt po_Size("Size", "The size of the windows, as a percentage of full screen", 100, 0, 100,
                 mtp::shownWhen(0, 30, "Style", "Constant Size"));
QiOptInt po_APL("APL", "The average picture level windows", 15, 1, 99,
                mtp::shownWhen(120, 30, "Style", "Constant APL"));
// Mid level and black level of the raster, set at registration.
QiOptRGB po_Color("Color", "The color of the window", 128, 128, 128, false, mtp::at(0, 120));
QiOptRGB po_BgColor("BgColor", "The background color", 0, 0, 0, false,
                    mtp::shownWhen(175, 120, "Style", "Constant Size"));
QiOptInt po_xOffset("xOffset",
                    "The horizontal position of the window in percentages (default is centered)",
                    50, 0, 100, mtp::at(0, 60));
QiOptInt po_yOffset("yOffset",
                    "The vertical position of the window in percentages (default is centered)", 50,
                    0, 100, mtp::at(125, 60));
QiOptBool po_loPluge("loPluge", "Display low level pluge bars", false,
                     mtp::shownWhen(170, 0, "Style", "Constant Size"));
QiOptBool po_hiPluge("hiPluge", "Display high level pluge bars", false,
                     mtp::shownWhen(230, 0, "Style", "Constant Size"));
QiOptBool po_gridLines("gridLines", "Overlay gridlines on the pattern", false, mtp::at(0, 90));
QiOptInt po_hDiv("hDiv", "The number of horzontal divisions", 5, 2, 480,
                 mtp::shownWhen(75, 90, "gridLines", "true"));
QiOptInt po_vDiv("vDiv", "The number of veritcal divisions", 5, 2, 480,
                 mtp::shownWhen(180, 90, "gridLines", "true"));
QiOption* myOptions[] = {&po_Style,   &po_Size,    &po_APL,     &po_Color,   &po_BgColor,
                         &po_xOffset, &po_yOffset, &po_loPluge, &po_hiPluge, &po_gridLines,
                         &po_hDiv,    &po_vDiv,    nullptr};
} // namespace

MtpWindows::MtpWindows() {
    options = myOptions;
    revision = "$Revision: 1.9 $";
}

MtpWindows::~MtpWindows() {}

char const* MtpWindows::getName() {
    return "Window";
}

bool MtpWindows::initialize(MtCore* core) {
    const int black = mtp::blackLevel(core), white = mtp::whiteLevel(core);
    mtp::setDefaultGrey(po_Color, static_cast<unsigned>(black + (white - black) / 2));
    mtp::setDefaultGrey(po_BgColor, static_cast<unsigned>(black));

    // Registered after the other patterns' "Raster": this one stands.
    QiArgRetVal args;
    args.set("Pattern", getName());
    args.set("Size", "100");
    core->addAlias("Raster", args);
    args.set("Size", "16");
    for (int percent : {30, 80}) {
        const int level = mtp::levelPercent(black, white, percent);
        args.set("Color_Red", level);
        args.set("Color_Green", level);
        args.set("Color_Blue", level);
        core->addAlias(percent == 30 ? "Window16.30" : "Window16.80", args);
    }
    return true;
}

bool MtpWindows::render(MtCore*, QiRaster*, QiArgRetVal const&) {
    return mtp::notDrawnYet(getName());
}

double MtpWindows::GetPQValue(double x) {
    if (x < 0) return -GetPQValue(-x);
    // SMPTE ST 2084 constants: c1 = 3424/4096, c2 = 2413/128, c3 = 2392/128,
    // 1/m2 = 32/2523, 1/m1 = 16384/2610.
    const double c1 = 0.8359375, c2 = 18.8515625, c3 = 18.6875;
    const double invM2 = 0.012683313515655966, invM1 = 6.277394636015326;
    const double p = std::pow(x, invM2);
    const double num = p - c1 > 0 ? p - c1 : 0.0;
    return std::pow(num / (c2 - c3 * p), invM1) * 10000.0;
}

char* MtpWindows::GenerateNiceFloatString(char* buffer, size_t size, double v) {
    if (!buffer || size == 0) return buffer;
    const char* format = v >= 10 ? "%0.0lf" : (v >= 1 ? "%0.1lf" : "%0.2lf");
    std::string text = qi::formatC(format, v);
    std::snprintf(buffer, size, "%s", text.c_str());
    return buffer;
}
