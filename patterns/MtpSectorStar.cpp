#include "MtpSectorStar.h"

#include "MtCore.h"
#include "MtpFrame.h"
#include "QiRaster.h"

#include <algorithm>

namespace {
char const* const kStyles[] = {"2Color", "RGBCMYK", "Sine", nullptr};
enum Style { TwoColor = 0, Rgbcmyk = 1, Sine = 2 };
QiOptInt po_Divisions("Divisions", "The number of sectors", 36, 1, 360, mtp::at(160, 0));
QiOptEnum po_Style("Style", "The style of SectorStar to render", 0, kStyles, mtp::at(0, 0));
QiOptInt po_Stereo("Stereo", "The stereo separation, in percent of half the width", 0, -100, 100,
                   mtp::at(295, 0));
// The two colours serve "2Color" and "Sine", not "RGBCMYK".
QiOptRGB po_Color1("Color1", "The first RGB color", 0, 0, 0, true,
                   mtp::shownWhen(0, 25, "Style", "RGBCMYK", false));
QiOptRGB po_Color2("Color2", "The second RGB color", 255, 255, 255, true,
                   mtp::shownWhen(185, 25, "Style", "RGBCMYK", false));
QiOption* myOptions[] = {&po_Divisions, &po_Style, &po_Stereo, &po_Color1, &po_Color2, nullptr};
} // namespace

MtpSectorStar::MtpSectorStar() {
    options = myOptions;
    revision = "$Revision: 1.6 $";
}

MtpSectorStar::~MtpSectorStar() {}

char const* MtpSectorStar::getName() {
    return "SectorStar";
}

bool MtpSectorStar::initialize(MtCore* core) {
    mtp::setDefaultGrey(po_Color1, static_cast<unsigned>(mtp::blackLevel(core)));
    mtp::setDefaultGrey(po_Color2, static_cast<unsigned>(mtp::whiteLevel(core)));
    return true;
}

bool MtpSectorStar::render(MtCore* core, QiRaster* raster, QiArgRetVal const& args) {
    unsigned style = po_Style.defaultIndex;
    int divisions = 36, stereo = 0;
    po_Style.getOption(args, style);
    po_Divisions.getOption(args, divisions);
    po_Stereo.getOption(args, stereo);
    const int W = raster->getWidth(), H = raster->getHeight();
    // Stereo is a percentage of half the width, either way.
    int sep = stereo * W / 200;
    raster->setFrames(1);
    raster->coding = QiImage::RGB;
    const uint64_t c1 = mtp::readColour(po_Color1, args, raster);
    const uint64_t c2 = mtp::readColour(po_Color2, args, raster);

    QiImage* right = raster->getRightImage();
    if (!right) sep = 0;

    uint64_t colours[8] = {c1, c2};
    unsigned count = 2;
    bool sine = false;
    if (style == Rgbcmyk) {
        const unsigned B = static_cast<unsigned>(raster->getBlackLevel());
        const unsigned L = static_cast<unsigned>(raster->getWhiteLevel());
        const uint64_t list[8] = {mtp::packRGB(raster, L, B, B), mtp::packRGB(raster, B, L, B),
                                  mtp::packRGB(raster, B, B, L), mtp::packRGB(raster, B, L, L),
                                  mtp::packRGB(raster, L, B, L), mtp::packRGB(raster, L, L, B),
                                  mtp::packRGB(raster, B, B, B), mtp::packRGB(raster, L, L, L)};
        std::copy(list, list + 8, colours);
        count = 8;
    } else if (style == Sine) {
        sine = true;
    }

    const unsigned n = static_cast<unsigned>(divisions);
    raster->renderSectorStar(0, 0, static_cast<unsigned>(W), static_cast<unsigned>(H),
                             static_cast<unsigned>(W / 2 - sep), static_cast<unsigned>(H / 2), sine,
                             n, count, colours);
    raster->use3D(false);
    // The right eye sees the same star moved the other way.
    if (right && sep != 0) {
        right->renderSectorStar(0, 0, static_cast<unsigned>(right->getWidth()),
                                static_cast<unsigned>(right->getHeight()),
                                static_cast<unsigned>(W / 2 + sep), static_cast<unsigned>(H / 2),
                                sine, n, count, colours);
        raster->use3D(true);
    }

    core->renderTitle(getName(), nullptr, raster);
    raster->render(0, false);
    return true;
}
