// TVec3: three numbers, and the colour triples built on it: CIE 1931 xyY (TCie_xyY) and XYZ
// (TCie_XYZ) and linear RGB (TRgb).
//
// Templates over the number type T (Fixed, double or long double). The named accessors x(), y(),
// Y() and so on address the vector's own three values. Plain values: safe on any thread.
#pragma once

#include "Fixed.h"

#include <cstdint>
#include <vector>

template <class T> struct TVec3 {
    TVec3() : v{T(0), T(0), T(0)} {}
    TVec3(T a, T b, T c) : v{a, b, c} {}

    T& operator[](int i) { return v[i]; }
    const T& operator[](int i) const { return v[i]; }

    T v[3];
};

template <class T> struct TCie_xyY : TVec3<T> {
    TCie_xyY() = default;
    TCie_xyY(T x, T y, T Y) : TVec3<T>(x, y, Y) {}
    explicit TCie_xyY(const TVec3<T>& o) : TVec3<T>(o) {}

    T& x() { return this->v[0]; }
    T& y() { return this->v[1]; }
    T& Y() { return this->v[2]; }
    const T& x() const { return this->v[0]; }
    const T& y() const { return this->v[1]; }
    const T& Y() const { return this->v[2]; }
};

template <class T> struct TCie_XYZ : TVec3<T> {
    TCie_XYZ() = default;
    TCie_XYZ(T X, T Y, T Z) : TVec3<T>(X, Y, Z) {}
    explicit TCie_XYZ(const TVec3<T>& o) : TVec3<T>(o) {}
    // X = (x / y) * Y, Z = ((1 - x - y) / y) * Y, each quotient formed first. A chromaticity with
    // y = 0 has no finite XYZ; it gives black (0, 0, 0).
    TCie_XYZ(const TCie_xyY<T>& c) { *this = c; }
    TCie_XYZ& operator=(const TCie_xyY<T>& c) {
        if (c.y() == T(0)) {
            this->v[0] = this->v[1] = this->v[2] = T(0);
            return *this;
        }
        const T Yv = c.Y();
        this->v[0] = (c.x() / c.y()) * Yv;
        this->v[1] = Yv;
        this->v[2] = ((T(1) - c.x() - c.y()) / c.y()) * Yv;
        return *this;
    }

    T& X() { return this->v[0]; }
    T& Y() { return this->v[1]; }
    T& Z() { return this->v[2]; }
    const T& X() const { return this->v[0]; }
    const T& Y() const { return this->v[1]; }
    const T& Z() const { return this->v[2]; }
};

template <class T> struct TRgb : TVec3<T> {
    TRgb() = default;
    TRgb(T r, T g, T b) : TVec3<T>(r, g, b) {}
    explicit TRgb(const TVec3<T>& o) : TVec3<T>(o) {}

    T& r() { return this->v[0]; }
    T& g() { return this->v[1]; }
    T& b() { return this->v[2]; }
    const T& r() const { return this->v[0]; }
    const T& g() const { return this->v[1]; }
    const T& b() const { return this->v[2]; }

    // Integer code values at `bits` bits (defined for Fixed): each component times 2^bits - 1,
    // rounded half away from zero. Not clamped: components outside 0 .. 1 give codes outside
    // 0 .. 2^bits - 1. `bits` is limited to 0 .. 15, the depths whose largest code a Fixed holds.
    void toInt(int bits, int& red, int& green, int& blue) const;
};

namespace colourdetail {
inline int fixedCode(Fixed component, Fixed scale) {
    const float f = (component * scale).toFloat();
    return f > 0 ? static_cast<int>(f + 0.5) : static_cast<int>(f - 0.5);
}
} // namespace colourdetail

template <> inline void TRgb<Fixed>::toInt(int bits, int& red, int& green, int& blue) const {
    if (bits < 0) bits = 0;
    if (bits > 15) bits = 15;
    const Fixed scale = Fixed::fromRaw(static_cast<int32_t>((int64_t(65536) << bits) - 65536));
    red = colourdetail::fixedCode(v[0], scale);
    green = colourdetail::fixedCode(v[1], scale);
    blue = colourdetail::fixedCode(v[2], scale);
}

// toInt's code of one Fixed component at one depth, looked up for components 0 .. 1 (raw 0 ..
// 2^16), where colours of ratios lie (a chart normalised to its largest component), and taken
// as toInt takes it otherwise.
class FixedCodeTable {
public:
    explicit FixedCodeTable(int bits)
        : scale(Fixed::fromRaw(static_cast<int32_t>(
              (int64_t(65536) << (bits < 0 ? 0 : (bits > 15 ? 15 : bits))) - 65536))),
          codes(kSize) {
        for (int32_t raw = 0; raw < kSize; ++raw)
            codes[static_cast<size_t>(raw)] =
                static_cast<uint16_t>(colourdetail::fixedCode(Fixed::fromRaw(raw), scale));
    }
    int code(Fixed component) const {
        return static_cast<uint32_t>(component.v) < static_cast<uint32_t>(kSize)
                   ? codes[static_cast<size_t>(component.v)]
                   : colourdetail::fixedCode(component, scale);
    }

private:
    static constexpr int32_t kSize = 65537;
    Fixed scale;
    std::vector<uint16_t> codes;
};
