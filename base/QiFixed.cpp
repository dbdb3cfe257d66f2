#include "QiFixed.h"

namespace {

constexpr Fixed kDeg90 = 90 << 16;
constexpr Fixed kDeg180 = 180 << 16;
constexpr Fixed kDeg360 = 360 << 16;

// 1 / (CORDIC gain) = 0.27155 in units of 2^-15: the magnitude correction.
constexpr Fixed kGain15 = 8898;
// 1 / (CORDIC gain) = 0.2715717684 in units of 2^-30: the start of a unit vector.
constexpr Fixed kUnit30 = 291597966;

// Left shifts of negative values are undefined in C++17; the bit pattern of the two's-complement
// shift is what is meant.
inline Fixed shiftLeft(Fixed v, int n) {
    return static_cast<Fixed>(static_cast<uint64_t>(v) << n);
}

inline Fixed scaleBack(Fixed v, int e) {
    v = (v >> 15) * kGain15;
    return e >= 0 ? shiftLeft(v, e) : v >> -e;
}

inline int bitLength(uint64_t v) {
    return v ? 64 - __builtin_clzll(v) : 0;
}

} // namespace

const Fixed arctantab[24] = {
    4157273, // atan(2)
    2949120, 1740967, 919879, 466945, 234379, 117304, 58666, 29335, 14668, 7334, 3667, 1833,
    917,     458,     229,    115,    57,     29,     14,    7,     4,     2,    1,
};

int FxPreNorm(Fixed& x, Fixed& y) {
    // Magnitudes are taken unsigned so that the most negative value has one too.
    uint64_t ax = x < 0 ? 0 - static_cast<uint64_t>(x) : static_cast<uint64_t>(x);
    uint64_t ay = y < 0 ? 0 - static_cast<uint64_t>(y) : static_cast<uint64_t>(y);
    uint64_t big = ax >= ay ? ax : ay;
    if (big == 0) return 0;
    // Doubling while below 2^27 or halving while above 2^28, counted with the bit length instead
    // of a loop: the same shifts, taken at once.
    int exponent = 0;
    if (big < 0x8000000u) {
        int n = 28 - bitLength(big);
        ax <<= n;
        ay <<= n;
        exponent = -n;
    } else if (big > 0x10000000u) {
        int n = bitLength(big) - 29;
        if ((big >> n) > 0x10000000u) ++n;
        ax >>= n;
        ay >>= n;
        exponent = n;
    }
    x = x < 0 ? -static_cast<Fixed>(ax) : static_cast<Fixed>(ax);
    y = y < 0 ? -static_cast<Fixed>(ay) : static_cast<Fixed>(ay);
    return exponent;
}

void PseudoPolarize(Fixed& x, Fixed& y) {
    Fixed theta = 0;
    if (x < 0) {
        x = -x;
        y = -y;
        theta = kDeg180;
    }
    if (y > 0) theta = -theta;

    Fixed nx;
    if (y < 0) {
        nx = x - 2 * y;
        y = y + 2 * x;
        theta -= arctantab[0];
    } else {
        nx = x + 2 * y;
        y = y - 2 * x;
        theta += arctantab[0];
    }
    x = nx;
    for (int i = 0; i < 23; ++i) {
        if (y < 0) {
            nx = x - (y >> i);
            y = y + (x >> i);
            theta -= arctantab[i + 1];
        } else {
            nx = x + (y >> i);
            y = y - (x >> i);
            theta += arctantab[i + 1];
        }
        x = nx;
    }
    y = theta;
}

void PseudoRotate(Fixed& x, Fixed& y, Fixed theta) {
    // Whole turns change nothing (two half-turn negations cancel); dropping them first keeps the
    // loops below short and free of overflow for any theta.
    theta %= kDeg360;
    while (theta < -kDeg90) {
        x = -x;
        y = -y;
        theta += kDeg180;
    }
    while (theta > kDeg90) {
        x = -x;
        y = -y;
        theta -= kDeg180;
    }

    Fixed nx;
    if (theta < 0) {
        nx = x + 2 * y;
        y = y - 2 * x;
        theta += arctantab[0];
    } else {
        nx = x - 2 * y;
        y = y + 2 * x;
        theta -= arctantab[0];
    }
    x = nx;
    for (int i = 0; i < 23; ++i) {
        if (theta < 0) {
            nx = x + (y >> i);
            y = y - (x >> i);
            theta += arctantab[i + 1];
        } else {
            nx = x - (y >> i);
            y = y + (x >> i);
            theta -= arctantab[i + 1];
        }
        x = nx;
    }
}

Fixed FxAtan2(Fixed y, Fixed x) {
    if (x == 0 && y == 0) return 0;
    FxPreNorm(x, y);
    PseudoPolarize(x, y);
    return y;
}

void FxPolarize(Fixed& x, Fixed& y) {
    if (x == 0 && y == 0) return;
    int e = FxPreNorm(x, y);
    PseudoPolarize(x, y);
    x = scaleBack(x, e);
}

void FxRotate(Fixed& x, Fixed& y, Fixed theta) {
    if (theta == 0 || (x == 0 && y == 0)) return;
    int e = FxPreNorm(x, y);
    PseudoRotate(x, y, theta);
    x = scaleBack(x, e);
    y = scaleBack(y, e);
}

void FxUnitVec(Fixed& x, Fixed& y, Fixed theta) {
    x = kUnit30;
    y = 0;
    PseudoRotate(x, y, theta);
}

Fixed FFracMul(Fixed a, Fixed b) {
    // Wrapping product: fractions out of range give a defined, if meaningless, result.
    return static_cast<Fixed>(static_cast<uint64_t>(a >> 15) * static_cast<uint64_t>(b >> 15));
}
