#include "MtpContrast.h"

#include "MtCore.h"
#include "MtpFrame.h"
#include "QiCLocale.h"
#include "QiRaster.h"

#include <string>

namespace {
QiOptRGB po_bgLevel("bgLevel", "The color/level of the patch behind the swatches", 255, 255, 255,
                    false, mtp::at(-1, -1, 0, 0));
QiOption* myOptions[] = {&po_bgLevel, nullptr};

void label(MtCore* core, QiImage* image, std::string const& text, uint64_t colour, int x, int y) {
    int w = 0, h = 0;
    image->renderText(core->fonts[0], text.c_str(), colour, x, y, w, h, false, QiImage::Centre);
}
} // namespace

MtpContrast::MtpContrast() {
    options = myOptions;
    revision = "$Revision: 1.10 $";
}

MtpContrast::~MtpContrast() {}

char const* MtpContrast::getName() {
    return "Contrast";
}

bool MtpContrast::initialize(MtCore* core) {
    // The largest code of the raster's depth, at most 1020.
    unsigned top = core && core->raster ? mtp::maxCode(core->raster) : 255;
    mtp::setDefaultGrey(po_bgLevel, top < 1020 ? top : 1020);
    return true;
}

// Two rows of twelve numbered near-white swatches, the 8-bit codes 231 to 242
// and 243 to 254 at the raster's depth, on the bgLevel patch over black, with
// "100%" under nominal white (code 235).
bool MtpContrast::render(MtCore* core, QiRaster* raster, QiArgRetVal const& args) {
    const uint64_t patch = mtp::readColour(po_bgLevel, args, raster);
    raster->setFrames(1);
    raster->coding = QiImage::RGB;
    period = 0;

    const int Wpx = raster->getWidth(), Hpx = raster->getHeight();
    const int B = raster->getBlackLevel();
    raster->blt(mtp::grey(raster, B < 0 ? 0u : static_cast<unsigned>(B)), 0, 0, -1, -1);
    raster->blt(patch, Wpx * 10 / 71, Hpx * 6 / 27, Wpx * 53 / 71, Hpx * 15 / 27);

    const uint64_t ink = mtp::grey(raster, mtp::scale8(raster, 192));
    for (int i = 0; i < 12; ++i) {
        const int x = 12 + 4 * i;
        const int lx = static_cast<int>(Wpx * (x + 1.5) / 71);
        const unsigned upper = mtp::scale8(raster, static_cast<unsigned>(231 + i));
        const unsigned lower = mtp::scale8(raster, static_cast<unsigned>(243 + i));
        raster->drawBar(mtp::grey(raster, upper), x, 7, 3, 6, 71, 27);
        label(core, raster, qi::formatC("%u", upper), ink, lx, Hpx * 10 / 27);
        if (upper == 235 || upper == 940) label(core, raster, "100%", ink, lx, Hpx * 12 / 27);
        raster->drawBar(mtp::grey(raster, lower), x, 14, 3, 6, 71, 27);
        label(core, raster, qi::formatC("%u", lower), ink, lx, Hpx * 17 / 27);
    }

    core->renderTitle(getName(), nullptr, raster);
    raster->render(0, false);
    return true;
}
