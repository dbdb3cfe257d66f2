#include "MtpFrame.h"

#include "MtCore.h"
#include "QiImage.h"
#include "QiOutput.h"
#include "QiRaster.h"

namespace mtp {

char const* const kOrientationNames[3] = {"Horizontal", "Vertical", nullptr};

uint32_t maxCode(QiImage const* image) {
    int bits = image ? image->bits : 8;
    if (bits < 1) bits = 1;
    if (bits > 21) bits = 21; // three components in 64 bits
    return (uint32_t(1) << bits) - 1;
}

uint64_t packRGB(QiImage const* image, unsigned r, unsigned g, unsigned b) {
    const uint32_t top = maxCode(image);
    const int bits = image ? image->bits : 8;
    const uint64_t c0 = r > top ? top : r;
    const uint64_t c1 = g > top ? top : g;
    const uint64_t c2 = b > top ? top : b;
    return c0 << (2 * bits) | c1 << bits | c2;
}

uint64_t grey(QiImage const* image, unsigned v) {
    return packRGB(image, v, v, v);
}

uint64_t readColour(QiOptRGB const& option, QiArgRetVal const& args, QiImage const* image) {
    unsigned r = 0, g = 0, b = 0;
    option.getOption(args, r, g, b);
    return packRGB(image, r, g, b);
}

int levelPercent(int black, int white, int percent) {
    return black + (white - black) * percent / 100;
}

unsigned scale8(QiImage const* image, unsigned code8) {
    int bits = image ? image->bits : 8;
    return bits >= 8 ? code8 << (bits - 8) : code8 >> (8 - bits);
}

int blackLevel(MtCore* core) {
    return core && core->raster ? core->raster->getBlackLevel() : 0;
}

int whiteLevel(MtCore* core) {
    return core && core->raster ? core->raster->getWhiteLevel() : 255;
}

void setDefaultGrey(QiOptRGB& option, unsigned level) {
    option.defaultRed = option.defaultGreen = option.defaultBlue = level;
}

} // namespace mtp
