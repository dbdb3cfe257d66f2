// MtpFrame: what the built-in pattern renderers share.
//
// Every built-in renderer derives directly from MtPatternRenderer, keeps its
// option descriptors in a static table beside it and draws with the QiImage
// primitives. The helpers below are the one place where colours are packed,
// levels are derived and RGB option values meet the raster's depth, so every
// renderer treats them alike.
//
// Colours are packed pixels at the image's depth b: red << 2b | green << b |
// blue. Level arithmetic is integer and truncates toward zero.
//
// Threads: the level readers run in initialize() (registering thread); the
// rest run on the render thread inside render().
#pragma once

#include "QiArgRetVal.h"
#include "QiImage.h"
#include "QiOption.h"

#include <cstdint>

class MtCore;

namespace mtp {

// Layout hints: a position (and size; -1 = not given) without a predicate.
constexpr QiOptUiSettings at(int x, int y, int w = -1, int h = -1) {
    return QiOptUiSettings(x, y, w, h, nullptr, nullptr, true);
}
// Layout hints shown when option `field` has the value `value` (logic true),
// or, with logic false, when it has not.
constexpr QiOptUiSettings shownWhen(int x, int y, char const* field, char const* value,
                                    bool logic = true) {
    return QiOptUiSettings(x, y, -1, -1, field, value, logic);
}

// The value names of the orientation options ("Horizontal" draws horizontal
// bands, "Vertical" vertical bars).
extern char const* const kOrientationNames[3];

// The largest code value of the image's depth (255 at 8 bits, 1023 at 10).
inline uint32_t maxCode(QiImage const* image) {
    int bits = image ? image->bits : 8;
    if (bits < 1) bits = 1;
    if (bits > 21) bits = 21; // three components in 64 bits
    return (uint32_t(1) << bits) - 1;
}

// Packs (r, g, b). A component above the depth's largest code is limited to
// it: an RGB option value is a client's number and, left as it is, would carry
// into the neighbouring component's bits.
inline uint64_t packRGB(QiImage const* image, unsigned r, unsigned g, unsigned b) {
    const uint32_t top = maxCode(image);
    const int bits = image ? image->bits : 8;
    const uint64_t c0 = r > top ? top : r;
    const uint64_t c1 = g > top ? top : g;
    const uint64_t c2 = b > top ? top : b;
    return c0 << (2 * bits) | c1 << bits | c2;
}

// The grey (v, v, v), limited like packRGB.
uint64_t grey(QiImage const* image, unsigned v);

// An RGB option read from `args` (its default for absent keys; code values at
// the image's depth, unscaled) and packed with packRGB.
uint64_t readColour(QiOptRGB const& option, QiArgRetVal const& args, QiImage const* image);

// black + (white - black) * percent / 100, truncated toward zero.
int levelPercent(int black, int white, int percent);

// A fixed 8-bit code at the image's depth (a left shift by bits - 8).
unsigned scale8(QiImage const* image, unsigned code8);

// The engine's raster's black and white level (for option defaults set at
// registration).
int blackLevel(MtCore* core);
int whiteLevel(MtCore* core);

// Writes `level` into all three default components of an RGB option.
void setDefaultGrey(QiOptRGB& option, unsigned level);

} // namespace mtp
