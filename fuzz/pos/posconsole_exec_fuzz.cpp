// Feeds arbitrary bytes to the remote console's input path: the bytes are
// assembled into zero-ended lines as the console does (cut at 126
// characters) and each line runs through the executor (tokeniser, history
// recall, number reading, history listing) against a table of harmless
// commands. The shell runner only counts. Lines naming the built-in words
// that start threads or open files ("period", "runScript") are left out.
#include "posconint.h"

#include <cstdint>
#include <cstring>

namespace {

int g_shellRuns = 0;
int countingShell(const char*) { return ++g_shellRuns; }

int sum0() { return 0; }
int sum1(int a) { return a; }
int sum2(int a, int b) { return a + (b >> 1); }
int sum5(int a, int b, int c, int d, int e) { return (a >> 3) ^ (b >> 3) ^ (c >> 3) ^ (d >> 3) ^ (e >> 3); }
int sum12(int a, int b, int c, int d, int e, int f, int g, int h, int i, int j, int k, int l) {
    return (a ^ b ^ c ^ d ^ e ^ f ^ g ^ h ^ i ^ j ^ k ^ l) >> 1;
}
int noPosDspTask(int) { return 0; }

bool setUp() {
    posSetShellRunner(countingShell);
    posInit(99);
    g_posConsoleUp.store(1);   // the fuzzing thread logs through the log task (which drops it)
    posHistoryClear();
    posConSetPrompt("QLAG99");
    posRegCmd0("history", posCmdHistory);
    posRegCmd0("h", posCmdHistory);
    posRegCmd0("posShowSymbol", posCmdShowSymbol);
    posRegCmd0("posDspIpc", posDspIpc);
    posRegCmd1("posSockLog", posSockLog);
    posRegCmd1("posSocketClose", posSocketClose);
    posRegCmd1("posSetTrySocketConnectTime", posSetTrySocketConnectTime);
    posRegCmd0("posDspUsrMem", posDspUsrMem);
    posRegCmd1("posDspErr", posDspErr);
    posRegCmd1("posClrErr", posClrErr);
    posRegCmd1("posLogLevel", posLogLevel);
    posRegCmd1("posDspTask", noPosDspTask);
    posRegCmd0("zero", sum0);
    posRegCmd1("one", sum1);
    posRegCmd2("two", sum2);
    posRegCmd5("five", sum5);
    posAddSymbol(reinterpret_cast<PosAnyFn>(sum12), 12, "twelve");
    return true;
}

void runLine(const PosConLine& l) {
    if (l.fill <= 2) return;   // the console answers these with the prompt only
    if (strstr(l.line, "period") || strstr(l.line, "runScript")) return;
    int value = 0;
    int code = posExecCmd(l.line, &value);
    posCmdResult(code, value);
    (void)posCmdNumber(l.line);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static bool ready = setUp();
    (void)ready;
    PosConLine l{};
    for (size_t i = 0; i < size; ++i) {
        if (posConLineAdd(&l, static_cast<char>(data[i]))) {
            runLine(l);
            l.fill = 0;
        }
    }
    if (l.fill > 0 && posConLineAdd(&l, '\0')) runLine(l);
    return 0;
}
