// TMx3: 3 x 3 matrix of colour maths, and the two line helpers that find the secondaries of an
// RGB space (lineEqCoeff, solveLinEq).
//
// Row-major: m[0..2] is the first row. Vectors are row vectors: vecMult(v) is v * M. With
// T = Fixed every product and quotient is one Fixed operation, in the order written here, so the
// results are exact to the bit. Plain values: safe on any thread.
#pragma once

#include "TVec3.h"

#include <utility>

template <class T> struct TMx3 {
    // All nine entries 1.
    TMx3() {
        for (T& e : m)
            e = T(1);
    }
    // The three vectors become the rows.
    TMx3(const TVec3<T>& r0, const TVec3<T>& r1, const TVec3<T>& r2)
        : m{r0[0], r0[1], r0[2], r1[0], r1[1], r1[2], r2[0], r2[1], r2[2]} {}

    T& at(int row, int col) { return m[3 * row + col]; }
    const T& at(int row, int col) const { return m[3 * row + col]; }

    static TMx3 zero() { return TMx3(TVec3<T>(), TVec3<T>(), TVec3<T>()); }

    // The diagonal matrix of v, zeros elsewhere.
    static TMx3 diag(const TVec3<T>& v) {
        TMx3 d = zero();
        d.m[0] = v[0];
        d.m[4] = v[1];
        d.m[8] = v[2];
        return d;
    }

    TMx3 transpose() const {
        return TMx3(TVec3<T>(m[0], m[3], m[6]), TVec3<T>(m[1], m[4], m[7]),
                    TVec3<T>(m[2], m[5], m[8]));
    }

    // The transposed cofactor matrix divided entry by entry by the determinant. A singular
    // matrix (determinant 0) has no inverse: the result is all zeros.
    TMx3 inverse() const {
        const T c0 = m[4] * m[8] - m[7] * m[5];
        const T c1 = m[6] * m[5] - m[3] * m[8];
        const T c2 = m[3] * m[7] - m[6] * m[4];
        const T d = c1 * m[1] + c0 * m[0] + c2 * m[2];
        if (d == T(0)) return zero();
        TMx3 r;
        r.m[0] = c0 / d;
        r.m[1] = (m[2] * m[7] - m[1] * m[8]) / d;
        r.m[2] = (m[1] * m[5] - m[2] * m[4]) / d;
        r.m[3] = c1 / d;
        r.m[4] = (m[8] * m[0] - m[2] * m[6]) / d;
        r.m[5] = (m[2] * m[3] - m[5] * m[0]) / d;
        r.m[6] = c2 / d;
        r.m[7] = (m[6] * m[1] - m[7] * m[0]) / d;
        r.m[8] = (m[0] * m[4] - m[1] * m[3]) / d;
        return r;
    }

    // w = v * M: w[j] = v[0] * m[0][j] + v[1] * m[1][j] + v[2] * m[2][j].
    TVec3<T> vecMult(const TVec3<T>& v) const {
        TVec3<T> w;
        for (int j = 0; j < 3; ++j)
            w[j] = v[0] * m[j] + v[1] * m[3 + j] + v[2] * m[6 + j];
        return w;
    }

    // this * b.
    TMx3 mxMult(const TMx3& b) const {
        TMx3 p;
        for (int i = 0; i < 3; ++i)
            for (int j = 0; j < 3; ++j)
                p.at(i, j) = at(i, 0) * b.at(0, j) + at(i, 1) * b.at(1, j) + at(i, 2) * b.at(2, j);
        return p;
    }

    T m[9];
};

// out = (a, b, c) of the line a * x + b * y = c through the (x, y) of two points:
// a = (y2 - y1) / (x2 - x1), b = -1, c = x1 * a - y1. Points with the same x give the vertical
// line (1, 0, x1).
template <class T> void lineEqCoeff(TVec3<T>& out, const TCie_xyY<T>& p1, const TCie_xyY<T>& p2) {
    if (p2.x() == p1.x()) {
        out = TVec3<T>(T(1), T(0), p1.x());
        return;
    }
    const T a = (p2.y() - p1.y()) / (p2.x() - p1.x());
    out = TVec3<T>(a, -T(1), p1.x() * a - p1.y());
}

// out[0], out[1] = x, y of the intersection of the lines l1 and l2 (each a, b, c of
// a * x + b * y = c). When l1 has a = 0 the lines are taken in the other order. Lines that do
// not meet in one point give (0, 0) and false.
template <class T> bool solveLinEq(T* out, TVec3<T> l1, TVec3<T> l2) {
    if (l1[0] == T(0)) std::swap(l1, l2);
    const T a1 = l1[0], b1 = l1[1], c1 = l1[2];
    const T a2 = l2[0], b2 = l2[1], c2 = l2[2];
    if (a1 == T(0)) {
        out[0] = out[1] = T(0);
        return false;
    }
    const T u = (c1 * a2) / a1;
    const T v = (b1 * a2) / a1;
    if (b2 - v == T(0)) {
        out[0] = out[1] = T(0);
        return false;
    }
    out[0] = (((c2 - u) * b1) / (v - b2) + c1) / a1;
    out[1] = (c2 - u) / (b2 - v);
    return true;
}
