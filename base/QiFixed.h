// Integer CORDIC routines for angles in 16.16 fixed-point degrees.
//
// Angles are degrees * 65536 (90 degrees = 0x5A0000, 180 degrees = 0xB40000); all values are
// signed 64-bit. The sector star takes the angle of every pixel about its centre from FxAtan2,
// so the routines are integer only: 24 iterations per call and no table beyond the arctangents.
// Pure functions without state: safe on any thread.
#pragma once

#include <cstdint>

// Signed 16.16 fixed-point value of the CORDIC routines, held in 64 bits.
using FxLong = int64_t;

// Angle of (x, y) in 16.16 degrees, -180 .. 180 degrees (within a few units of the last place);
// 0 when x = y = 0.
FxLong FxAtan2(FxLong y, FxLong x);

// FxAtan2 of count points at once: angle[k] = FxAtan2(y[k], x[k]), computed several points side by
// side (the sector star takes a row of angles this way).
void FxAtan2Many(const FxLong* y, const FxLong* x, FxLong* angle, int count);

// Polar form: x becomes the magnitude, y the angle in 16.16 degrees; nothing when both are 0.
void FxPolarize(FxLong& x, FxLong& y);

// Rotates (x, y) by theta (16.16 degrees); nothing when theta is 0 or x = y = 0.
void FxRotate(FxLong& x, FxLong& y, FxLong theta);

// (cos theta, sin theta) scaled by 2^30.
void FxUnitVec(FxLong& x, FxLong& y, FxLong theta);

// Product of two 1.15 fractions held in the upper bits: (a >> 15) * (b >> 15).
FxLong FFracMul(FxLong a, FxLong b);

// Internal steps, exposed for their tests.

// Scales (x, y) by a power of two so that the larger magnitude lies in 2^27 .. 2^28 and returns
// the exponent (the number of halvings, negative for doublings). Returns 0 for (0, 0).
int FxPreNorm(FxLong& x, FxLong& y);
// Rotates (x, y) by theta with the CORDIC gain left in (about 3.6825).
void PseudoRotate(FxLong& x, FxLong& y, FxLong theta);
// Rotates (x, y) onto the positive x axis: x becomes the magnitude with the CORDIC gain left in,
// y the angle.
void PseudoPolarize(FxLong& x, FxLong& y);

// atan(2) followed by atan(2^-i) for i = 0 .. 22, in 16.16 degrees, rounded to nearest.
extern const FxLong arctantab[24];
