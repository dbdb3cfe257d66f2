// The CIE 1931 2-degree spectral locus at 1 nm, as two branches split at its top (521 nm).
#pragma once

struct LocusPoint {
    double nm, x, y;
};

// 360 nm to 521 nm: 162 rows.
extern const LocusPoint l31[];
extern const int l31_n;
// 521 nm to 830 nm, then the 360 nm row again (the purple line): 311 rows.
extern const LocusPoint r31[];
extern const int r31_n;
