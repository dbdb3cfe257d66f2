// The registration list of the built-in patterns, in their fixed order.
//
// Each renderer's initialize() runs inside addPattern, so the aliases the
// built-ins define are made in this order too: a later alias of the same name
// replaces an earlier one (the Window's "Raster" stands).
#include "MtCore.h"
#include "MtpAbout.h"
#include "MtpBT815.h"
#include "MtpBrightness.h"
#include "MtpCheckerboard.h"
#include "MtpChromaticity.h"
#include "MtpColor.h"
#include "MtpColorbars.h"
#include "MtpContrast.h"
#include "MtpCornerContrast.h"
#include "MtpGeometry.h"
#include "MtpGradient.h"
#include "MtpIDMS.h"
#include "MtpImageFile.h"
#include "MtpResolution.h"
#include "MtpSectorStar.h"
#include "MtpSharpness.h"
#include "MtpSine.h"
#include "MtpVerticalBar.h"
#include "MtpWindows.h"
#include "MtpZonePlate.h"

// The renderers live for the whole process: the registry keeps them.
void MtRegisterBuiltinPatterns(MtCore* core) {
    core->addPattern(new MtpAbout);
    core->addPattern(new MtpCornerContrast);
    core->addPattern(new MtpIDMS);
    core->addPattern(new MtpBT815);
    core->addPattern(new MtpBrightness);
    core->addPattern(new MtpCheckerboard);
    core->addPattern(new MtpChromaticity);
    core->addPattern(new MtpColor);
    core->addPattern(new MtpColorbars);
    core->addPattern(new MtpContrast);
    core->addPattern(new MtpGeometry);
    core->addPattern(new MtpGradient);
    core->addPattern(new MtpSharpness);
    core->addPattern(new MtpVerticalBar);
    core->addPattern(new MtpWindows);
    core->addPattern(new MtpZonePlate);
    core->addPattern(new MtpResolution);
    core->addPattern(new MtpImageFile);
    core->addPattern(new MtpSine);
    core->addPattern(new MtpSectorStar);
}
