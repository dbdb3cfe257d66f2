#include "MtpIDMS.h"

#include "MtCore.h"
#include "MtpFrame.h"
#include "QiRaster.h"

#include <cmath>
#include <cstdint>

namespace {
QiOption* myOptions[] = {nullptr};

// The 32 rectangle levels as 8-bit codes, outermost first: studio white 235 down to studio
// black 16 in steps of about 7 codes.
constexpr unsigned kLevels8[32] = {235, 227, 220, 214, 207, 199, 192, 185, 178, 171, 164,
                                   157, 150, 143, 135, 129, 122, 115, 107, 100, 93,  86,
                                   80,  72,  65,  58,  51,  43,  37,  30,  23,  16};
} // namespace

MtpIDMS::MtpIDMS() {
    options = myOptions;
    revision = "$Revision: 1.0 $";
}

MtpIDMS::~MtpIDMS() {}

char const* MtpIDMS::getName() {
    return "IDMS";
}

bool MtpIDMS::initialize(MtCore* core) {
    QiArgRetVal args;
    args.set("Pattern", "IDMS");
    core->addAlias("Raster", args);
    return true;
}

bool MtpIDMS::render(MtCore* core, QiRaster* raster, QiArgRetVal const&) {
    raster->setFrames(1);
    raster->coding = QiImage::RGB;

    const int W = raster->getWidth(), H = raster->getHeight();
    // The centre box is a fifth of each side; 32 rectangles step in over the rest, each side
    // moving by 1/64 of what lies outside the box.
    const int64_t W64 = W, H64 = H;
    const int bw = static_cast<int>(std::sqrt(static_cast<double>(W64 * W64 / 25)));
    const int bh = static_cast<int>(std::sqrt(static_cast<double>(H64 * H64 / 25)));
    const int kx = (W - bw) / 64, ky = (H - bh) / 64;

    int x = 0, y = 0, w = W, h = H;
    for (unsigned level : kLevels8) {
        raster->blt(mtp::grey(raster, mtp::scale8(raster, level)), x, y, w, h);
        x += kx;
        y += ky;
        w -= 2 * kx;
        h -= 2 * ky;
    }

    const unsigned s16 = mtp::scale8(raster, 16), s235 = mtp::scale8(raster, 235);
    const int x0 = W / 2 - bw / 2, y0 = H / 2 - bh / 2;
    raster->drawLineBox(mtp::packRGB(raster, s16, s16, s235), x0, y0, bw, bh);
    raster->drawLineBox(mtp::grey(raster, s16), x0 + 5, y0, bw - 10, bh);
    raster->drawLineBox(mtp::grey(raster, s16), x0, y0 + 5, bw, bh - 10);

    core->renderTitle(getName(), nullptr, raster);
    raster->render(0, false);
    return true;
}
