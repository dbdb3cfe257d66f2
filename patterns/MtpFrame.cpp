#include "MtpFrame.h"

#include "MtCore.h"
#include "QiImage.h"
#include "QiOutput.h"
#include "QiRaster.h"

namespace mtp {

char const* const kOrientationNames[3] = {"Horizontal", "Vertical", nullptr};

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
