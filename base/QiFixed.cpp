#include "QiFixed.h"

namespace {

constexpr FxLong kDeg90 = 90 << 16;
constexpr FxLong kDeg180 = 180 << 16;
constexpr FxLong kDeg360 = 360 << 16;

// 1 / (CORDIC gain) = 0.27155 in units of 2^-15: the magnitude correction.
constexpr FxLong kGain15 = 8898;
// 1 / (CORDIC gain) = 0.2715717684 in units of 2^-30: the start of a unit vector.
constexpr FxLong kUnit30 = 291597966;

// Left shifts of negative values are undefined in C++17; the bit pattern of the two's-complement
// shift is what is meant.
inline FxLong shiftLeft(FxLong v, int n) {
    return static_cast<FxLong>(static_cast<uint64_t>(v) << n);
}

inline FxLong scaleBack(FxLong v, int e) {
    v = (v >> 15) * kGain15;
    return e >= 0 ? shiftLeft(v, e) : v >> -e;
}

inline int bitLength(uint64_t v) {
    return v ? 64 - __builtin_clzll(v) : 0;
}

} // namespace

const FxLong arctantab[24] = {
    4157273, // atan(2)
    2949120, 1740967, 919879, 466945, 234379, 117304, 58666, 29335, 14668, 7334, 3667, 1833,
    917,     458,     229,    115,    57,     29,     14,    7,     4,     2,    1,
};

int FxPreNorm(FxLong& x, FxLong& y) {
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
    x = x < 0 ? -static_cast<FxLong>(ax) : static_cast<FxLong>(ax);
    y = y < 0 ? -static_cast<FxLong>(ay) : static_cast<FxLong>(ay);
    return exponent;
}

void PseudoPolarize(FxLong& x, FxLong& y) {
    FxLong theta = 0;
    if (x < 0) {
        x = -x;
        y = -y;
        theta = kDeg180;
    }
    if (y > 0) theta = -theta;

    // Each step turns toward the x axis: against the sign of y. The direction is applied as a
    // conditional negation with the sign mask m (-1 when y < 0, else 0): (v ^ m) - m is -v or v.
    // Without branches the sign of y, which changes unpredictably from step to step, costs no
    // mispredicted jumps; the arithmetic is the same.
    FxLong m = y >> 63;
    FxLong nx = x + (((2 * y) ^ m) - m);
    y = y - (((2 * x) ^ m) - m);
    theta += (arctantab[0] ^ m) - m;
    x = nx;
    for (int i = 0; i < 23; ++i) {
        m = y >> 63;
        nx = x + (((y >> i) ^ m) - m);
        y = y - (((x >> i) ^ m) - m);
        theta += (arctantab[i + 1] ^ m) - m;
        x = nx;
    }
    y = theta;
}

void PseudoRotate(FxLong& x, FxLong& y, FxLong theta) {
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

    FxLong nx;
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

FxLong FxAtan2(FxLong y, FxLong x) {
    if (x == 0 && y == 0) return 0;
    FxPreNorm(x, y);
    PseudoPolarize(x, y);
    return y;
}

void FxAtan2Many(const FxLong* y, const FxLong* x, FxLong* angle, int count) {
    // Lanes of eight side by side, so the compiler can run them in vector registers. After the
    // normalisation every value fits 32 bits: components start within 2^28 and grow by the
    // gain (below 3.7 times the length, under 2^31), angles stay below 400 degrees. So the lanes
    // compute in 32 bits with the same results as FxAtan2.
    constexpr int kLanes = 8;
    for (int base = 0; base < count; base += kLanes) {
        const int n = count - base < kLanes ? count - base : kLanes;
        int32_t lx[kLanes], ly[kLanes], lt[kLanes];
        bool zero[kLanes];
        for (int k = 0; k < kLanes; ++k) {
            FxLong vx = k < n ? x[base + k] : 1, vy = k < n ? y[base + k] : 0;
            zero[k] = vx == 0 && vy == 0;
            FxPreNorm(vx, vy);
            FxLong theta = 0;
            if (vx < 0) {
                vx = -vx;
                vy = -vy;
                theta = kDeg180;
            }
            if (vy > 0) theta = -theta;
            lx[k] = static_cast<int32_t>(vx);
            ly[k] = static_cast<int32_t>(vy);
            lt[k] = static_cast<int32_t>(theta);
        }
        const int32_t t0 = static_cast<int32_t>(arctantab[0]);
        for (int k = 0; k < kLanes; ++k) {
            int32_t m = ly[k] >> 31;
            int32_t nx = lx[k] + (((2 * ly[k]) ^ m) - m);
            ly[k] = ly[k] - (((2 * lx[k]) ^ m) - m);
            lt[k] += (t0 ^ m) - m;
            lx[k] = nx;
        }
        for (int i = 0; i < 23; ++i) {
            const int32_t t = static_cast<int32_t>(arctantab[i + 1]);
            for (int k = 0; k < kLanes; ++k) {
                int32_t m = ly[k] >> 31;
                int32_t nx = lx[k] + (((ly[k] >> i) ^ m) - m);
                ly[k] = ly[k] - (((lx[k] >> i) ^ m) - m);
                lt[k] += (t ^ m) - m;
                lx[k] = nx;
            }
        }
        for (int k = 0; k < n; ++k)
            angle[base + k] = zero[k] ? 0 : lt[k];
    }
}

void FxPolarize(FxLong& x, FxLong& y) {
    if (x == 0 && y == 0) return;
    int e = FxPreNorm(x, y);
    PseudoPolarize(x, y);
    x = scaleBack(x, e);
}

void FxRotate(FxLong& x, FxLong& y, FxLong theta) {
    if (theta == 0 || (x == 0 && y == 0)) return;
    int e = FxPreNorm(x, y);
    PseudoRotate(x, y, theta);
    x = scaleBack(x, e);
    y = scaleBack(y, e);
}

void FxUnitVec(FxLong& x, FxLong& y, FxLong theta) {
    x = kUnit30;
    y = 0;
    PseudoRotate(x, y, theta);
}

FxLong FFracMul(FxLong a, FxLong b) {
    // Wrapping product: fractions out of range give a defined, if meaningless, result.
    return static_cast<FxLong>(static_cast<uint64_t>(a >> 15) * static_cast<uint64_t>(b >> 15));
}
