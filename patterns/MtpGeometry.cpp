#include "MtpGeometry.h"

#include "MtCore.h"
#include "MtpFrame.h"
#include "QiRaster.h"

namespace {
QiOptInt po_hLines("hLines", "The number of horzontal lines", 5, 2, 480, mtp::at(0, 0));
QiOptInt po_vLines("vLines", "The number of veritcal lines", 5, 2, 480, mtp::at(125, 0));
QiOption* myOptions[] = {&po_hLines, &po_vLines, nullptr};
} // namespace

MtpGeometry::MtpGeometry() {
    options = myOptions;
    revision = "$Revision: 1.6 $";
}

MtpGeometry::~MtpGeometry() {}

char const* MtpGeometry::getName() {
    return "Geometry";
}

bool MtpGeometry::initialize(MtCore*) {
    return true;
}

bool MtpGeometry::render(MtCore* core, QiRaster* raster, QiArgRetVal const& args) {
    raster->setFrames(1);
    raster->coding = QiImage::RGB;
    period = 0;
    const int B = raster->getBlackLevel() < 0 ? 0 : raster->getBlackLevel();
    const int W = raster->getWhiteLevel() < 0 ? 0 : raster->getWhiteLevel();
    auto colour = [raster](int r, int g, int b) {
        return mtp::packRGB(raster, static_cast<unsigned>(r), static_cast<unsigned>(g),
                            static_cast<unsigned>(b));
    };
    const uint64_t white = colour(W, W, W);
    const int Wpx = raster->getWidth(), Hpx = raster->getHeight();
    raster->blt(colour(B, B, B), 0, 0, -1, -1);

    // Diagonals, a centre circle 85 % of the height across, and four corner
    // circles whose edges sit 7.5 % of the screen in from the corners.
    raster->drawLine(white, 0, 0, Wpx, Hpx);
    raster->drawLine(white, 0, Hpx, Wpx, 0);
    raster->drawCircle(white, Wpx / 2, Hpx / 2, Hpx * 850 / 2000);
    const int r = Hpx * 850 / 5000;
    const int cx = Wpx * 150 / 2000 + r, cy = Hpx * 150 / 2000 + r;
    raster->drawCircle(white, cx, cy, r);
    raster->drawCircle(white, Wpx - cx, cy, r);
    raster->drawCircle(white, cx, Hpx - cy, r);
    raster->drawCircle(white, Wpx - cx, Hpx - cy, r);

    int hLines = 0, vLines = 0; // absent: getOption gives the defaults
    po_hLines.getOption(args, hLines);
    po_vLines.getOption(args, vLines);
    for (int i = 0; i < vLines; ++i)
        raster->vLine(white, static_cast<int>(int64_t(Wpx) * i / vLines), 0, Hpx);
    for (int i = 0; i < hLines; ++i)
        raster->hLine(white, 0, Wpx, static_cast<int>(int64_t(Hpx) * i / hLines));
    raster->drawLineBox(white, 0, 0, Wpx - 1, Hpx - 1);

    // Safe-area boxes at 95 %, 90 % and 85 % of the screen, centred.
    const unsigned w = static_cast<unsigned>(Wpx), h = static_cast<unsigned>(Hpx);
    auto box = [&](uint64_t c, unsigned margin, unsigned size) {
        raster->drawLineBox(c, static_cast<int>(w * margin / 2000),
                            static_cast<int>(h * margin / 2000), static_cast<int>(w * size / 1000),
                            static_cast<int>(h * size / 1000));
    };
    box(colour(W, B, B), 50, 950);
    box(colour(W, W, B), 100, 900);
    box(colour(B, W, B), 150, 850);

    core->renderTitle(getName(), nullptr, raster);
    raster->render(0, false);
    return true;
}
