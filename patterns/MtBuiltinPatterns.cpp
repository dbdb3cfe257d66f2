// The registration list of the built-in patterns, in their fixed order.
#include "MtCore.h"

void MtRegisterBuiltinPatterns(MtCore*) {}
