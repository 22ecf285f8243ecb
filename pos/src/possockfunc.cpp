// PLACEHOLDER (replaced by the node-table module).
#include "posinternal.h"
void posNodeTableClear() {}
void posNodeDownBroadcast() {}
