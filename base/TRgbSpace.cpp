#include "TRgbSpace.h"

// Built in this order during static initialisation: double, Fixed, long double. White points
// from CIE 15; primaries from ITU-R BT.601 (SMPTE 170M) and ITU-R BT.709; each primary's Y is
// its relative luminance under D65.

const TCie_xyY<double> D65(0.3127, 0.3291, 1.0);
const TCie_xyY<double> D50(0.345669, 0.358496, 1.0);
const TCie_xyY<double> Red_601(0.63, 0.34, 0.212395);
const TCie_xyY<double> Green_601(0.31, 0.595, 0.701049);
const TCie_xyY<double> Blue_601(0.155, 0.07, 0.086556);
const TRgbSpace<double> Rec601(Red_601, Green_601, Blue_601, D65, 2.2, "Rec601");
const TCie_xyY<double> Red_709(0.64, 0.33, 0.212656);
const TCie_xyY<double> Green_709(0.3, 0.6, 0.715158);
const TCie_xyY<double> Blue_709(0.15, 0.06, 0.072186);
const TRgbSpace<double> Rec709(Red_709, Green_709, Blue_709, D65, 2.2, "Rec709");

const TCie_xyY<Fixed> FD65(Fixed(0.3127), Fixed(0.3291), Fixed(1.0));
const TCie_xyY<Fixed> FD50(Fixed(0.345669), Fixed(0.358496), Fixed(1.0));
const TCie_xyY<Fixed> FRed_601(Fixed(0.63), Fixed(0.34), Fixed(0.212395));
const TCie_xyY<Fixed> FGreen_601(Fixed(0.31), Fixed(0.595), Fixed(0.701049));
const TCie_xyY<Fixed> FBlue_601(Fixed(0.155), Fixed(0.07), Fixed(0.086556));
const TCie_xyY<Fixed> FRed_709(Fixed(0.64), Fixed(0.33), Fixed(0.212656));
const TCie_xyY<Fixed> FGreen_709(Fixed(0.3), Fixed(0.6), Fixed(0.715158));
const TCie_xyY<Fixed> FBlue_709(Fixed(0.15), Fixed(0.06), Fixed(0.072186));
const TRgbSpace<Fixed> FRec601(FRed_601, FGreen_601, FBlue_601, FD65, Fixed(2.2), "FRec601");
const TRgbSpace<Fixed> FRec709(FRed_709, FGreen_709, FBlue_709, FD65, Fixed(2.2), "FRec709");

const TCie_xyY<long double> DD65(0.3127L, 0.3291L, 1.0L);
const TCie_xyY<long double> DD50(0.345669L, 0.358496L, 1.0L);
const TCie_xyY<long double> DRed_601(0.63L, 0.34L, 0.212395L);
const TCie_xyY<long double> DGreen_601(0.31L, 0.595L, 0.701049L);
const TCie_xyY<long double> DBlue_601(0.155L, 0.07L, 0.086556L);
const TRgbSpace<long double> DRec601(DRed_601, DGreen_601, DBlue_601, DD65, 2.2L, "DRec601");
const TCie_xyY<long double> DRed_709(0.64L, 0.33L, 0.212656L);
const TCie_xyY<long double> DGreen_709(0.3L, 0.6L, 0.715158L);
const TCie_xyY<long double> DBlue_709(0.15L, 0.06L, 0.072186L);
const TRgbSpace<long double> DRec709(DRed_709, DGreen_709, DBlue_709, DD65, 2.2L, "DRec709");
