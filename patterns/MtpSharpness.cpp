#include "MtpSharpness.h"

#include "MtCore.h"
#include "MtpFrame.h"
#include "QiOutput.h"
#include "QiRaster.h"

namespace {
char const* const kStyles[] = {"gridlines", "multiburst", nullptr};
QiOptEnum po_Style("Style", "The sharpness style to use.", 0, kStyles, mtp::at(-1, -1, 0, 0));
QiOption* myOptions[] = {&po_Style, nullptr};

enum Style { GridLines = 0, Multiburst = 1 };

// Line groups 1, 3, 5, 7 and 9 pixels wide across and down the middle of the
// screen, and four fine line grids around the centre.
void drawGridLines(QiRaster* raster, uint64_t black) {
    const int Wpx = raster->getWidth(), Hpx = raster->getHeight();
    for (int k = 1; k <= 5; ++k) {
        raster->blt(black, Wpx * k / 8 + Wpx / 8, Hpx / 8, 2 * k - 1, 3 * Hpx / 4);
        raster->blt(black, Wpx / 8, Hpx * k / 8 + Hpx / 8, 3 * Wpx / 4, 2 * k - 1);
    }
    struct Grid {
        int x, y, nx, ny, xOffset, yOffset;
    };
    const Grid grids[4] = {
        {Wpx * 49 / 128 + 1, Hpx * 49 / 128 + 2, 12, 6, Wpx * 15 / 3072, Hpx * 15 / 1536},
        {Wpx * 65 / 128 + 1, Hpx * 65 / 128 + 2, 12, 6, Wpx * 15 / 3072, Hpx * 15 / 1536},
        {Wpx * 49 / 128 + 1, Hpx * 65 / 128 + 2, 20, 10, Wpx * 15 / 5120, Hpx * 15 / 2560},
        {Wpx * 65 / 128 + 2, Hpx * 49 / 128 + 2, 20, 10, Wpx * 15 / 5120, Hpx * 15 / 2560},
    };
    for (const Grid& g : grids)
        raster->drawLineGrid(black, g.x, g.y, Wpx * 7 / 64, Hpx * 7 / 64, g.nx, g.ny, g.xOffset,
                             g.yOffset);
}

// Six bands across the upper half, each twice as fine as the one to its left;
// the finest alternates single pixels. Below them a box with its diagonals and
// the pattern's label.
void drawMultiburst(MtCore* core, QiRaster* raster, uint64_t black, uint64_t white) {
    const int Wpx = raster->getWidth(), Hpx = raster->getHeight();
    int count[6];
    count[5] = Wpx - (5 * Wpx) / 6;
    for (int k = 5; k >= 1; --k)
        count[k - 1] = count[k] / 2;
    for (int k = 0; k < 6; ++k)
        gOutput->trace(QiOutput::Info, "mbDivAry[%d] => %d\n", k, count[k]);

    for (int b = 0; b < 6; ++b) {
        // On a raster narrower than 192 pixels the coarse bands have no bar
        // (a count of 0) and stay mid grey.
        if (count[b] < 1) continue;
        const int x0 = b * Wpx / 6, bw = (b + 1) * Wpx / 6 - x0;
        for (int m = 0; m < count[b]; ++m) {
            const int left = x0 + m * bw / count[b], right = x0 + (m + 1) * bw / count[b];
            raster->blt(m % 2 ? black : white, left, 0, right - left, Hpx / 2);
        }
    }

    const int w = Wpx / 4, h = Hpx / 4;
    const int x = (Wpx - w) / 2, y = Hpx * 9 / 10 - h;
    raster->drawLineBox(black, x, y, w, h);
    raster->drawLine(black, x, y, x + w, y + h);
    raster->drawLine(black, x, y + h, x + w, y);
    int tw = 0, th = 0;
    raster->renderText(core->fonts[3], "Sharpness", black, Wpx / 2, Hpx * 57 / 100, tw, th, true,
                       QiImage::Centre);
}
} // namespace

MtpSharpness::MtpSharpness() {
    options = myOptions;
    revision = "$Revision: 1.9 $";
}

MtpSharpness::~MtpSharpness() {}

char const* MtpSharpness::getName() {
    return "Sharpness";
}

bool MtpSharpness::initialize(MtCore*) {
    return true;
}

bool MtpSharpness::render(MtCore* core, QiRaster* raster, QiArgRetVal const& args) {
    unsigned style = po_Style.defaultIndex;
    po_Style.getOption(args, style);
    raster->setFrames(1);
    raster->coding = QiImage::RGB;
    period = 0;

    const int B = raster->getBlackLevel() < 0 ? 0 : raster->getBlackLevel();
    const int W = raster->getWhiteLevel() < 0 ? 0 : raster->getWhiteLevel();
    const uint64_t black = mtp::grey(raster, static_cast<unsigned>(B));
    const uint64_t white = mtp::grey(raster, static_cast<unsigned>(W));
    raster->blt(mtp::grey(raster, static_cast<unsigned>((B + W) / 2)), 0, 0, -1, -1);
    if (style == GridLines)
        drawGridLines(raster, black);
    else if (style == Multiburst)
        drawMultiburst(core, raster, black, white);

    core->renderTitle(getName(), nullptr, raster);
    raster->render(0, false);
    return true;
}
