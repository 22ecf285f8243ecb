// PLACEHOLDER (replaced by the displays module).
#include "posinternal.h"
void posUsrMemInit() {}
