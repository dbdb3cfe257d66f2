#include "MtpIDMS.h"

#include "MtCore.h"
#include "MtpFrame.h"
#include "QiImageDrawRows.h"
#include "QiRaster.h"

#include <algorithm>
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

    // Rectangle i has its sides kx and ky further in than rectangle i - 1, so each lies inside the
    // one before and a pixel shows the innermost rectangle that holds it. Drawn row by row: on
    // each row the rectangles that cross it leave a segment left and right of the next one, and
    // the innermost is drawn whole; every pixel is written once.
    constexpr int kCount = sizeof kLevels8 / sizeof kLevels8[0];
    struct Rect {
        int x, y, w, h;
        uint64_t colour;
    };
    Rect rects[kCount];
    int x = 0, y = 0, w = W, h = H;
    for (int i = 0; i < kCount; ++i) {
        rects[i] = {x, y, w, h, mtp::grey(raster, mtp::scale8(raster, kLevels8[i]))};
        x += kx;
        y += ky;
        w -= 2 * kx;
        h -= 2 * ky;
    }
    qidraw::paintRows(raster, 0, H, [&](int row, uint64_t* pixels) {
        auto fill = [&](int64_t from, int64_t to, uint64_t colour) {
            from = std::max<int64_t>(from, 0);
            to = std::min<int64_t>(to, W);
            if (from < to) std::fill(pixels + from, pixels + to, colour);
        };
        auto holds = [&](const Rect& r) {
            return r.w >= 1 && r.h >= 1 && row >= r.y && row - r.y < r.h;
        };
        int inner = -1;
        while (inner + 1 < kCount && holds(rects[inner + 1]))
            ++inner;
        for (int i = 0; i < inner; ++i) {
            const Rect &r = rects[i], &next = rects[i + 1];
            fill(r.x, next.x, r.colour);
            fill(static_cast<int64_t>(next.x) + next.w, static_cast<int64_t>(r.x) + r.w, r.colour);
        }
        if (inner >= 0) {
            const Rect& r = rects[inner];
            fill(r.x, static_cast<int64_t>(r.x) + r.w, r.colour);
        }
    });
    const unsigned s16 = mtp::scale8(raster, 16), s235 = mtp::scale8(raster, 235);
    const int x0 = W / 2 - bw / 2, y0 = H / 2 - bh / 2;
    raster->drawLineBox(mtp::packRGB(raster, s16, s16, s235), x0, y0, bw, bh);
    raster->drawLineBox(mtp::grey(raster, s16), x0 + 5, y0, bw - 10, bh);
    raster->drawLineBox(mtp::grey(raster, s16), x0, y0 + 5, bw, bh - 10);

    core->renderTitle(getName(), nullptr, raster);
    raster->render(0, false);
    return true;
}
