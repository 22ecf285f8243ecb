// Fuzz target: console scripts and periodic jobs. The input is up to four
// script files "s0".."s3" (separated by form feeds) in a private folder;
// "s0" runs as a script does, so its lines reach the executor, "runScript"
// of the other files (and of itself), "period", "periodDsp" and "periodKill"
// against a table of harmless commands. Every job is stopped after the input.
//
// Inputs naming a path ('/') are left out: a script may only open the files
// of its folder (a device such as a terminal would wait for input). At most
// one line may run or recall a script: it still reaches the nesting limit
// (a script that runs itself), while two such lines make every nesting level
// double the work, up to 256 runs of a script for one input (seconds each,
// which only measures the time a large tree of scripts takes).
#include "posconint.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <unistd.h>

namespace {

int g_dir = -1;     // the scripts' folder
int g_home = -1;    // the folder to return to

int countingShell(const char*) { return 0; }
int sum0() { return 0; }
int sum1(int a) { return a; }
int sum2(int a, int b) { return a + (b >> 1); }
int sum5(int a, int b, int c, int d, int e) { return (a >> 3) ^ (b >> 3) ^ (c >> 3) ^ (d >> 3) ^ (e >> 3); }
int sum6(int a, int b, int c, int d, int e, int f) { return a ^ b ^ c ^ d ^ e ^ f; }
int sum7(int a, int b, int c, int d, int e, int f, int g) { return a ^ b ^ c ^ d ^ e ^ f ^ g; }
int sum12(int a, int b, int c, int d, int e, int f, int g, int h, int i, int j, int k, int l) {
    return (a ^ b ^ c ^ d ^ e ^ f ^ g ^ h ^ i ^ j ^ k ^ l) >> 1;
}

bool setUp() {
    posSetShellRunner(countingShell);
    posInit(99);
    g_posConsoleUp.store(1);   // lines go through the log task, which drops them
    posHistoryClear();
    posConSetPrompt("QLAG99");
    posRegCmd0("history", posCmdHistory);
    posRegCmd0("h", posCmdHistory);
    posRegCmd0("periodDsp", posPeriodDsp);
    posRegCmd1("periodKill", posPeriodKill);
    posRegCmd0("posShowSymbol", posCmdShowSymbol);
    posRegCmd1("posDspErr", posDspErr);
    posRegCmd1("posClrErr", posClrErr);
    posRegCmd0("zero", sum0);
    posRegCmd1("one", sum1);
    posRegCmd2("two", sum2);
    posRegCmd5("five", sum5);
    posAddSymbol(reinterpret_cast<PosAnyFn>(sum6), 6, "six");
    posAddSymbol(reinterpret_cast<PosAnyFn>(sum7), 7, "seven");
    posAddSymbol(reinterpret_cast<PosAnyFn>(sum12), 12, "twelve");
    char tmpl[] = "/tmp/posscriptfuzzXXXXXX";
    if (!mkdtemp(tmpl)) std::abort();
    g_dir = open(tmpl, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    g_home = open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (g_dir < 0 || g_home < 0) std::abort();
    return true;
}

void writeFile(const char* name, const uint8_t* data, size_t size) {
    const int fd = openat(g_dir, name, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0) return;
    size_t off = 0;
    while (off < size) {
        const ssize_t n = write(fd, data + off, size - off);
        if (n <= 0) break;
        off += static_cast<size_t>(n);
    }
    close(fd);
}

// Lines that run a script or recall a history entry (which may be one).
int nestingLines(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    int n = 0;
    size_t at = 0;
    while (at < text.size()) {
        size_t end = text.find_first_of("\n\f", at);
        if (end == std::string::npos) end = text.size();
        const std::string line = text.substr(at, end - at);
        if (line.find("runScript") != std::string::npos || line.find('!') != std::string::npos) ++n;
        at = end + 1;
    }
    return n;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static bool ready = setUp();
    (void)ready;
    if (size > 4096 || std::memchr(data, '/', size) || nestingLines(data, size) > 1) return 0;

    static const char* const names[4] = {"s0", "s1", "s2", "s3"};
    size_t start = 0;
    for (int f = 0; f < 4; ++f) {
        size_t end = start;
        while (end < size && (data[end] != '\f' || f == 3)) ++end;
        writeFile(names[f], data + start, start < size ? end - start : 0);
        start = end < size ? end + 1 : size;
    }

    if (fchdir(g_dir) != 0) return 0;
    posRunScript("s0");
    if (fchdir(g_home) != 0) std::abort();
    posPeriodDsp();
    posPeriodTableClear();
    return 0;
}
