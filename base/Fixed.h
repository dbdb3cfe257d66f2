// Fixed: signed 16.16 fixed-point number for the colour maths of the chromaticity chart.
//
// The value is v / 65536 with v a signed 32-bit integer (raw 65536 = 1.0). The chart's colours
// depend on the exact rounding of every operation, so the rules are fixed:
// - from floating point: value * 65536 truncated toward zero (0.3291 -> 21567); NaN gives 0 and
//   values beyond the 32-bit range saturate;
// - to floating point: float(v) * 2^-16 in single precision (values above 256 in magnitude lose
//   low bits);
// - +, -, negation: 32-bit two's complement, wrapping;
// - *: the 64-bit product shifted right by 16 (rounds toward minus infinity), low 32 bits kept;
// - /: (a << 32) / b truncated toward zero, shifted right by 16, low 32 bits kept. Division by
//   zero saturates to the largest value of the dividend's sign (0 / 0 is 0).
// Plain value type without state: safe on any thread.
#pragma once

#include <cmath>
#include <cstdint>

class Fixed {
public:
    constexpr Fixed() : v(0) {}
    explicit Fixed(double value) : v(rawFromDouble(value)) {}
    explicit Fixed(int value) : Fixed(static_cast<double>(value)) {}

    static constexpr Fixed fromRaw(int32_t raw) {
        Fixed f;
        f.v = raw;
        return f;
    }

    // Single-precision value; double callers widen it.
    float toFloat() const { return static_cast<float>(v) * (1.0f / 65536.0f); }
    explicit operator double() const { return static_cast<double>(toFloat()); }
    explicit operator long double() const { return static_cast<long double>(toFloat()); }

    // value * 65536 truncated toward zero, saturated to 32 bits; NaN gives 0.
    static int32_t rawFromDouble(double value) {
        const double raw = value * 65536.0;
        if (std::isnan(raw)) return 0;
        if (raw >= 2147483647.0) return INT32_MAX;
        if (raw <= -2147483648.0) return INT32_MIN;
        return static_cast<int32_t>(raw);
    }

    friend Fixed operator+(Fixed a, Fixed b) {
        return fromRaw(wrap(static_cast<uint32_t>(a.v) + static_cast<uint32_t>(b.v)));
    }
    friend Fixed operator-(Fixed a, Fixed b) {
        return fromRaw(wrap(static_cast<uint32_t>(a.v) - static_cast<uint32_t>(b.v)));
    }
    Fixed operator-() const { return fromRaw(wrap(0u - static_cast<uint32_t>(v))); }
    friend Fixed operator*(Fixed a, Fixed b) {
        const int64_t p = static_cast<int64_t>(a.v) * b.v;
        return fromRaw(wrap(static_cast<uint32_t>(static_cast<uint64_t>(p >> 16))));
    }
    friend Fixed operator/(Fixed a, Fixed b) {
        if (b.v == 0) return fromRaw(a.v > 0 ? INT32_MAX : (a.v < 0 ? INT32_MIN : 0));
        const int64_t n = static_cast<int64_t>(a.v) * 4294967296LL; // a << 32, exact
        // -2^63 / -1 does not fit; its quotient 2^63 >> 16 has low 32 bits 0.
        if (b.v == -1 && n == INT64_MIN) return fromRaw(0);
        const int64_t q = n / b.v;
        return fromRaw(wrap(static_cast<uint32_t>(static_cast<uint64_t>(q >> 16))));
    }
    Fixed& operator+=(Fixed b) { return *this = *this + b; }
    Fixed& operator-=(Fixed b) { return *this = *this - b; }
    Fixed& operator*=(Fixed b) { return *this = *this * b; }
    Fixed& operator/=(Fixed b) { return *this = *this / b; }

    friend bool operator==(Fixed a, Fixed b) { return a.v == b.v; }
    friend bool operator!=(Fixed a, Fixed b) { return a.v != b.v; }
    friend bool operator<(Fixed a, Fixed b) { return a.v < b.v; }
    friend bool operator>(Fixed a, Fixed b) { return a.v > b.v; }
    friend bool operator<=(Fixed a, Fixed b) { return a.v <= b.v; }
    friend bool operator>=(Fixed a, Fixed b) { return a.v >= b.v; }

    int32_t v;

private:
    static constexpr int32_t wrap(uint32_t u) {
        return u <= INT32_MAX ? static_cast<int32_t>(u)
                              : static_cast<int32_t>(u - 2147483648u) - INT32_MAX - 1;
    }
};

// Division of many dividends by one divisor: divide(a) is exactly a / b (operator/), taken from a
// double reciprocal and corrected in integers, so it costs a multiplication where operator/ costs
// a 64-bit division. Dividends beyond 2^20 in magnitude (raw), and a divisor of 0, go through
// operator/ itself.
class FixedDivisor {
public:
    explicit FixedDivisor(Fixed b)
        : divisor(b), magnitude(b.v < 0 ? -static_cast<int64_t>(b.v) : b.v),
          inverse(b.v != 0 ? 1.0 / static_cast<double>(magnitude) : 0.0) {}

    Fixed divide(Fixed a) const {
        if (divisor.v == 0 || a.v > kLimit || a.v < -kLimit) return a / divisor;
        // |a << 32| < 2^53: held exactly in a double, and the estimate of the quotient is off by
        // at most one either way; the remainder puts it right.
        const int64_t n = static_cast<int64_t>(a.v < 0 ? -a.v : a.v) * 4294967296LL;
        int64_t q = static_cast<int64_t>(static_cast<double>(n) * inverse);
        int64_t r = n - q * magnitude;
        while (r < 0) {
            --q;
            r += magnitude;
        }
        while (r >= magnitude) {
            ++q;
            r -= magnitude;
        }
        if ((a.v < 0) != (divisor.v < 0)) q = -q; // the quotient truncates toward zero
        return Fixed::fromRaw(wrapLow(static_cast<uint32_t>(static_cast<uint64_t>(q >> 16))));
    }

private:
    static constexpr int32_t kLimit = (1 << 20) - 1;
    static constexpr int32_t wrapLow(uint32_t u) {
        return u <= INT32_MAX ? static_cast<int32_t>(u)
                              : static_cast<int32_t>(u - 2147483648u) - INT32_MAX - 1;
    }
    Fixed divisor;
    int64_t magnitude;
    double inverse;
};

// a / b exactly as operator/ gives it (the whole part of a * 2^16 / b, low 32 bits kept), by one
// double division where 0 <= a < 2^20 (raw) and b > 0. The exact quotient Q is a multiple of
// 1 / b, so when it is not whole it lies at least 1 / b below the next whole number, while the
// correctly rounded quotient is within Q * 2^-53 = a * 2^16 / b * 2^-53 < 1 / b of it: both have
// the same whole part. Other operands go through operator/.
inline Fixed quickDivide(Fixed a, Fixed b) {
    if (b.v <= 0 || a.v < 0 || a.v >= (1 << 20)) return a / b;
    const double q = static_cast<double>(a.v) * 65536.0 / static_cast<double>(b.v);
    const uint32_t low = static_cast<uint32_t>(static_cast<uint64_t>(q));
    return Fixed::fromRaw(low <= INT32_MAX
                              ? static_cast<int32_t>(low)
                              : static_cast<int32_t>(low - 2147483648u) - INT32_MAX - 1);
}

inline Fixed min(Fixed a, Fixed b) {
    return b < a ? b : a;
}
inline Fixed max(Fixed a, Fixed b) {
    return a < b ? b : a;
}
