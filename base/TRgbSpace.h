// TRgbSpace: an RGB colour space given by the CIE 1931 xyY chromaticities of its three primaries
// and its white point: the matrices between linear RGB and CIE XYZ and the chromaticities of the
// secondaries. With the power-law transfer functions (TGammaProvider, TPowGammaProvider) and the
// global spaces with ITU-R BT.709 and BT.601 (SMPTE 170M) primaries and D65 white.
//
// The chromaticity chart converts every pixel's chromaticity to linear RGB with FRec709 or
// FRec601; with T = Fixed the results are exact to the bit, so the order of every operation below
// is part of the result. Nothing here applies a transfer function to the chart.
//
// Threads: the globals are built during static initialisation and read-only afterwards, so any
// thread may read them. A space built at run time belongs to the thread that built it.
#pragma once

#include "TMx3.h"

#include <cmath>

namespace colourdetail {
// Power functions run in double. A Fixed argument goes through its single-precision value, a
// Fixed exponent is taken exactly.
inline double powBase(double v) {
    return v;
}
inline double powBase(long double v) {
    return static_cast<double>(v);
}
inline double powBase(Fixed v) {
    return static_cast<double>(v.toFloat());
}
inline double powExponent(double e) {
    return e;
}
inline double powExponent(long double e) {
    return static_cast<double>(e);
}
inline double powExponent(Fixed e) {
    return e.v / 65536.0;
}
} // namespace colourdetail

template <class T> class TGammaProvider {
public:
    virtual ~TGammaProvider() {}
    virtual T toLinear(T v) const = 0;
    virtual T toNonLinear(T v) const = 0;
    virtual T gamma() const = 0;
};

// v^exponent for decoding, |v|^(1 / exponent) with the sign of v for encoding.
template <class T> class TPowGammaProvider : public TGammaProvider<T> {
public:
    explicit TPowGammaProvider(T exponent) : exponent(exponent) {}

    // 0 for v < 0.
    T toLinear(T v) const override {
        if (v < T(0)) return T(0);
        return T(std::pow(colourdetail::powBase(v), colourdetail::powExponent(exponent)));
    }
    T toNonLinear(T v) const override {
        const double p = std::pow(std::fabs(colourdetail::powBase(v)),
                                  1.0 / colourdetail::powExponent(exponent));
        return v < T(0) ? -T(p) : T(p);
    }
    T gamma() const override { return exponent; }

    T exponent;
};

template <class T> class TRgbSpace {
public:
    // `name` is not copied: it must outlive the space.
    TRgbSpace(const TCie_xyY<T>& red, const TCie_xyY<T>& green, const TCie_xyY<T>& blue,
              const TCie_xyY<T>& white, T gamma, const char* name)
        : rXYZ(red), gXYZ(green), bXYZ(blue), wXYZ(white), rxyY(red), gxyY(green), bxyY(blue),
          wxyY(white), gammaProvider(new TPowGammaProvider<T>(gamma)), name(name) {
        setColors();
    }
    ~TRgbSpace() { delete gammaProvider; }
    TRgbSpace(const TRgbSpace&) = delete;
    TRgbSpace& operator=(const TRgbSpace&) = delete;

    // Recomputes the matrices and the secondaries from the primaries and the white point.
    void setColors() {
        const TMx3<T> M(rXYZ, gXYZ, bXYZ);
        // Scale of each primary so that S0 * red + S1 * green + S2 * blue = white.
        const TVec3<T> S = M.inverse().vecMult(wXYZ);
        // Columns: the scaled primaries.
        const TMx3<T> P = M.transpose().mxMult(TMx3<T>::diag(S));
        xyzToRgb = P.inverse().transpose();
        rgbToXyz = P.transpose();

        TVec3<T> rg, gb, br, rw, gw, bw;
        lineEqCoeff(rg, rxyY, gxyY);
        lineEqCoeff(gb, gxyY, bxyY);
        lineEqCoeff(br, bxyY, rxyY);
        lineEqCoeff(rw, rxyY, wxyY);
        lineEqCoeff(gw, gxyY, wxyY);
        lineEqCoeff(bw, bxyY, wxyY);
        secondary(cxyY, cXYZ, gb, rw, gxyY.Y() + bxyY.Y());
        secondary(mxyY, mXYZ, br, gw, rxyY.Y() + bxyY.Y());
        secondary(yxyY, yXYZ, rg, bw, rxyY.Y() + gxyY.Y());
    }

    // Linear RGB of an XYZ colour.
    void toLRGB(TRgb<T>& out, const TCie_XYZ<T>& in) const { out = TRgb<T>(xyzToRgb.vecMult(in)); }

    TCie_XYZ<T> rXYZ, gXYZ, bXYZ;
    TCie_XYZ<T> cXYZ, mXYZ, yXYZ;
    TCie_XYZ<T> wXYZ;
    TCie_xyY<T> rxyY, gxyY, bxyY, cxyY, mxyY, yxyY, wxyY;
    TGammaProvider<T>* gammaProvider; // owned
    TMx3<T> rgbToXyz;                 // linear RGB row vector to XYZ
    TMx3<T> xyzToRgb;                 // XYZ row vector to linear RGB
    const char* name;

private:
    // A secondary lies where the line of two primaries meets the line from the third primary
    // through white.
    static void secondary(TCie_xyY<T>& xyY, TCie_XYZ<T>& XYZ, const TVec3<T>& l1,
                          const TVec3<T>& l2, T Y) {
        T xy[2];
        solveLinEq(xy, l1, l2);
        xyY = TCie_xyY<T>(xy[0], xy[1], Y);
        XYZ = xyY;
    }
};

// Reference white D65 and D50 (Y = 1) and the BT.601 and BT.709 primaries with their relative
// luminances, in double, Fixed and long double.
extern const TCie_xyY<double> D65, D50, Red_601, Green_601, Blue_601, Red_709, Green_709, Blue_709;
extern const TRgbSpace<double> Rec601, Rec709;
extern const TCie_xyY<Fixed> FD65, FD50, FRed_601, FGreen_601, FBlue_601, FRed_709, FGreen_709,
    FBlue_709;
extern const TRgbSpace<Fixed> FRec601, FRec709;
extern const TCie_xyY<long double> DD65, DD50, DRed_601, DGreen_601, DBlue_601, DRed_709,
    DGreen_709, DBlue_709;
extern const TRgbSpace<long double> DRec601, DRec709;
