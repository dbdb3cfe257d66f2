#include "MtpWindows.h"

#include "MtCore.h"
#include "MtpFrame.h"
#include "QiCLocale.h"
#include "QiRaster.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
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

enum Style { ConstantSize = 0, ConstantApl = 1 };

// The black ring around the window in "Constant APL", in percent of the
// screen area; the window itself covers the same share there.
constexpr int kAplWindowPercent = 5;

// PLUGE bars, top to bottom, as 8-bit codes: below and around black, and
// around and above nominal white.
constexpr unsigned kPlugeLow8[5] = {0, 8, 16, 24, 32};
constexpr unsigned kPlugeHigh8[5] = {215, 225, 235, 245, 255};

// ITU-R BT.709 luma weights.
constexpr double kLumaR = 0.2126, kLumaG = 0.7152, kLumaB = 0.0722;

// Everything a render decides before it draws: levels, colours, the window's
// place and the figures of the readout.
struct Plan {
    int style = ConstantSize;
    int size = 100;
    unsigned red = 0, green = 0, blue = 0; // window colour, limited to the depth
    uint64_t colour = 0, background = 0;
    double lum = 0.0; // window luminance, fraction of the black..white range
    int apl = 0;      // average picture level of the whole picture, percent
    int xOffset = 50, yOffset = 50;
    bool loPluge = false, hiPluge = false, gridLines = false;
    int hDiv = 5, vDiv = 5;
    int white = 255; // picks the 8- or 10-bit readout constants
};

// Luminance of (r, g, b) as a fraction of the level range (signed below black).
double luminance(unsigned r, unsigned g, unsigned b, int black, int range) {
    auto part = [&](unsigned c) { return (static_cast<double>(c) - black) / range; };
    return kLumaR * part(r) + kLumaG * part(g) + kLumaB * part(b);
}

Plan makePlan(QiArgRetVal const& args, QiImage const* image, int black, int white) {
    Plan p;
    unsigned style = po_Style.defaultIndex;
    po_Style.getOption(args, style);
    p.style = style == ConstantApl ? ConstantApl : ConstantSize;
    int aplPercent = po_APL.defaultValue;
    po_Size.getOption(args, p.size);
    po_APL.getOption(args, aplPercent);
    po_xOffset.getOption(args, p.xOffset);
    po_yOffset.getOption(args, p.yOffset);
    po_loPluge.getOption(args, p.loPluge);
    po_hiPluge.getOption(args, p.hiPluge);
    po_gridLines.getOption(args, p.gridLines);
    po_hDiv.getOption(args, p.hDiv);
    po_vDiv.getOption(args, p.vDiv);
    p.white = white;

    // Client values above the depth's largest code are drawn at that code
    // (packRGB), so the readout describes them so too.
    const unsigned top = mtp::maxCode(image);
    po_Color.getOption(args, p.red, p.green, p.blue);
    p.red = std::min(p.red, top);
    p.green = std::min(p.green, top);
    p.blue = std::min(p.blue, top);
    p.colour = mtp::packRGB(image, p.red, p.green, p.blue);

    // One more than the difference; never below 1 so that no fraction divides by zero.
    const int range = std::max(white - black + 1, 1);
    p.lum = luminance(p.red, p.green, p.blue, black, range);

    double bg = 0.0; // background luminance fraction
    if (p.style == ConstantApl) {
        p.size = kAplWindowPercent;
        p.loPluge = p.hiPluge = false;
        const int ring = kAplWindowPercent;
        bg = (aplPercent - p.size * p.lum) / (100 - p.size - ring);
        // A grey outside black..white cannot be shown (and would not pack):
        // the nearest level is drawn and the readout reports the APL it gives,
        // the black ring counting as level 0. Otherwise the picture has the
        // requested APL (a figure recomputed in floating point could truncate
        // to one less).
        int level = static_cast<int>(black + range * bg);
        const int lowest = std::max(black, 0), highest = std::min(white, static_cast<int>(top));
        p.apl = aplPercent;
        if (level < lowest || level > highest) {
            level = std::max(lowest, std::min(level, highest));
            bg = static_cast<double>(level - black) / range;
            p.apl = static_cast<int>((100 - p.size - ring) * bg + p.size * p.lum);
        }
        p.background = mtp::grey(image, static_cast<unsigned>(level));
    } else {
        unsigned r = 0, g = 0, b = 0;
        po_BgColor.getOption(args, r, g, b);
        r = std::min(r, top);
        g = std::min(g, top);
        b = std::min(b, top);
        p.background = mtp::packRGB(image, r, g, b);
        bg = luminance(r, g, b, black, range);
        p.apl = static_cast<int>((100 - p.size) * bg + p.size * p.lum);
    }
    return p;
}

std::string formatReadout(MtpWindows& windows, Plan const& p) {
    std::string text;
    if (p.red == p.green && p.green == p.blue) {
        const bool tenBit = p.white > 255;
        const double tvBlack = tenBit ? 64 : 16, tvWhite = tenBit ? 940 : 235;
        const double fullScale = tenBit ? 1023.0 : 255.0;
        const double tv = (p.red - tvBlack) / (tvWhite - tvBlack); // negative below TV black
        const double pc = p.red / fullScale;
        char nits[10];
        windows.GenerateNiceFloatString(nits, sizeof nits, windows.GetPQValue(tv));
        text = qi::formatC("RGB: %d, TV: %0.0lf%% [PQ: %s nit], PC: %0.0lf%% [APL %d]",
                           static_cast<int>(p.red), tv * 100, nits, pc * 100, p.apl);
    } else {
        text = qi::formatC("R: %d, G: %d, B: %d [APL %d]", static_cast<int>(p.red),
                           static_cast<int>(p.green), static_cast<int>(p.blue), p.apl);
    }
    if (text.size() > 255) text.resize(255);
    return text;
}

// Side of a box covering `percent` of the screen area at the screen's aspect:
// sqrt(side * side * percent / 100), in 64 bits (8K sides overflow 32).
int areaSide(int side, int percent) {
    const int64_t s = side;
    return static_cast<int>(std::sqrt(static_cast<double>(s * s * percent / 100)));
}

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

bool MtpWindows::render(MtCore* core, QiRaster* raster, QiArgRetVal const& args) {
    // The coding of the raster is left as it is.
    const int black = raster->getBlackLevel(), white = raster->getWhiteLevel();
    const Plan p = makePlan(args, raster, black, white);
    const std::string readoutText = formatReadout(*this, p);
    const int W = raster->getWidth(), H = raster->getHeight();
    const int cx = static_cast<int>(static_cast<int64_t>(W) * p.xOffset / 100);
    const int cy = static_cast<int>(static_cast<int64_t>(H) * p.yOffset / 100);

    raster->setFrames(1);
    period = 0;
    raster->blt(p.background, 0, 0, W, H);

    if (p.style == ConstantApl) {
        const int bw = areaSide(W, p.size + kAplWindowPercent);
        const int bh = areaSide(H, p.size + kAplWindowPercent);
        raster->blt(mtp::grey(raster, static_cast<unsigned>(std::max(black, 0))), cx - bw / 2,
                    cy - bh / 2, bw, bh);
    }
    const int ww = areaSide(W, p.size), wh = areaSide(H, p.size);
    raster->blt(p.colour, cx - ww / 2, cy - wh / 2, ww, wh);

    // Five bars stacked about the middle, each 5 % of the height, 12 % of the
    // width, centred at 20 % (low) and 80 % (high) of the width.
    const int barH = H * 5 / 100, barW = W * 12 / 100;
    for (int i = 0; i < 5; ++i) {
        const int top = i * barH - (barH * 5) / 2 + H * 50 / 100;
        if (p.loPluge)
            raster->blt(mtp::grey(raster, mtp::scale8(raster, kPlugeLow8[i])),
                        W * 20 / 100 - W * 12 / 200, top, barW, barH);
        if (p.hiPluge)
            raster->blt(mtp::grey(raster, mtp::scale8(raster, kPlugeHigh8[i])),
                        W * 80 / 100 - W * 12 / 200, top, barW, barH);
    }

    if (p.gridLines) {
        // No line at the right or bottom edge.
        const uint64_t line = mtp::packRGB(raster, mtp::scale8(raster, 128),
                                           static_cast<unsigned>(std::max(white, 0)),
                                           static_cast<unsigned>(std::max(white, 0)));
        for (int i = 0; i < p.vDiv; ++i)
            raster->vLine(line, static_cast<int>(static_cast<int64_t>(W) * i / p.vDiv), 0, H);
        for (int i = 0; i < p.hDiv; ++i)
            raster->hLine(line, 0, W, static_cast<int>(static_cast<int64_t>(H) * i / p.hDiv));
    }

    core->renderTitle(getName(), readoutText.c_str(), raster);
    raster->render(0, true);
    return true;
}

std::string MtpWindows::readout(QiArgRetVal const& args, QiImage const* image, int black,
                                int white) {
    return formatReadout(*this, makePlan(args, image, black, white));
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
