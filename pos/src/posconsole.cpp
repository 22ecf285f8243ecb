// PLACEHOLDER (replaced by the console module): waits forever so that the
// start-up thread parks where the console will serve.
#include "posinternal.h"
#include <unistd.h>

char g_posScriptFile[128];
int g_posScriptDelayMs;

void posCmdTablesClear() {}
void posScriptTask(PosTask*) { for (;;) pause(); }
void posConsole(const char*) { for (;;) pause(); }
