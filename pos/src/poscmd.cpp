// The console's command table and executor: registration of commands, the
// tokeniser and number reading, the 50-entry history with "!" recall, the
// built-in words (grep/lkup, period, runScript), the fixed shell commands and
// the result printing. Used by the console server, the script task and tests.
#include "posconint.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <utility>

// ---- command table ----------------------------------------------------------------
// Entries are appended under the lock and read without it: an entry is fully
// built before it is published through the atomic link of its predecessor.
static std::atomic<PosCmd*> s_cmdHead{nullptr};
static PosCmd* s_cmdTail = nullptr;
static pthread_mutex_t s_cmdLock = PTHREAD_MUTEX_INITIALIZER;

static std::atomic<PosCmd*>& nextOf(PosCmd* c) {
    return reinterpret_cast<std::atomic<PosCmd*>&>(c->next);
}
static_assert(sizeof(std::atomic<PosCmd*>) == sizeof(PosCmd*));

static PosCmd* cmdFirst() { return s_cmdHead.load(std::memory_order_acquire); }
static PosCmd* cmdNext(PosCmd* c) { return nextOf(c).load(std::memory_order_acquire); }

int posAddSymbol(PosAnyFn fn, int kind, const char* name) {
    if (!fn || !name || kind < 0 || kind > POS_CMD_MAX_KIND) return -1;
    PosCmd* c = static_cast<PosCmd*>(calloc(1, sizeof(PosCmd)));
    char* nameCopy = strdup(name);
    PosAnyFn* box = static_cast<PosAnyFn*>(malloc(sizeof(PosAnyFn)));
    if (!c || !nameCopy || !box) {
        free(c);
        free(nameCopy);
        free(box);
        return -1;
    }
    *box = fn;
    c->kind = static_cast<uint8_t>(kind);
    c->name = nameCopy;
    c->fnBox = box;
    c->next = nullptr;
    pthread_mutex_lock(&s_cmdLock);
    if (s_cmdTail)
        nextOf(s_cmdTail).store(c, std::memory_order_release);
    else
        s_cmdHead.store(c, std::memory_order_release);
    s_cmdTail = c;
    pthread_mutex_unlock(&s_cmdLock);
    return 0;
}

int posRegCmd0(const char* name, PosCmdFn0 fn) {
    return posAddSymbol(reinterpret_cast<PosAnyFn>(fn), 0, name);
}
int posRegCmd1(const char* name, PosCmdFn1 fn) {
    return posAddSymbol(reinterpret_cast<PosAnyFn>(fn), 1, name);
}
int posRegCmd2(const char* name, PosCmdFn2 fn) {
    return posAddSymbol(reinterpret_cast<PosAnyFn>(fn), 2, name);
}
int posRegCmd5(const char* name, PosCmdFn5 fn) {
    return posAddSymbol(reinterpret_cast<PosAnyFn>(fn), 5, name);
}

PosCmd* posCmdFind(const char* name) {
    if (!name) return nullptr;
    for (PosCmd* c = cmdFirst(); c; c = cmdNext(c))
        if (strcmp(c->name, name) == 0) return c;
    return nullptr;
}

// A function of N int arguments, called with the first N values of args.
template <size_t>
using IntArg = int;

template <size_t... I>
static int callWith(PosAnyFn fn, const int* args, std::index_sequence<I...>) {
    using Fn = int (*)(IntArg<I>...);
    return reinterpret_cast<Fn>(fn)(args[I]...);
}

template <size_t... K>
static int callKind(PosAnyFn fn, int kind, const int* args, std::index_sequence<K...>) {
    int result = 0;
    (void)((kind == static_cast<int>(K) ? (result = callWith(fn, args, std::make_index_sequence<K>{}), true)
                                        : false) ||
           ...);
    return result;
}

int posCmdCall(const PosCmd* cmd, const int* args) {
    if (!cmd || !cmd->fnBox) return 0;
    return callKind(*cmd->fnBox, cmd->kind, args, std::make_index_sequence<POS_CMD_MAX_KIND + 1>{});
}

void posCmdTablesClear() {
    pthread_mutex_lock(&s_cmdLock);
    s_cmdHead.store(nullptr, std::memory_order_release);
    s_cmdTail = nullptr;
    pthread_mutex_unlock(&s_cmdLock);
    posPeriodTableClear();
}

// ---- number reading ------------------------------------------------------------------
static int hexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return 0;   // at or above '0' but not a hex digit counts as 0
}

int posCmdNumber(const char* t) {
    if (!t || !*t) return 0;
    if (*t == ' ') ++t;
    uint32_t value = 0;
    if (t[0] == '0' && (t[1] == 'x' || t[1] == 'X')) {
        const char* digits = t + 2;
        uint32_t weight = 1;
        for (size_t i = strlen(digits); i > 0; --i) {
            char c = digits[i - 1];
            if (c < '0') break;
            value += static_cast<uint32_t>(hexDigit(c)) * weight;
            weight *= 16u;
        }
        return static_cast<int>(value);
    }
    bool negative = false;
    if (*t == '-' || *t == '+') negative = (*t++ == '-');
    for (; *t >= '0' && *t <= '9'; ++t) value = value * 10u + static_cast<uint32_t>(*t - '0');
    if (negative) value = 0u - value;
    return static_cast<int>(value);
}

// ---- tokens and history -----------------------------------------------------------------
struct Tokens {
    char t[POS_CMD_TOKENS][POS_CMD_TOKEN_CHARS + 1];   // always NUL-terminated
};

static Tokens s_history[POS_CMD_HISTORY];
static int s_histWrite = 0;   // next entry to fill
static int s_histLast = 0;    // entry written last
static pthread_mutex_t s_histLock = PTHREAD_MUTEX_INITIALIZER;

static void tokenise(const char* line, Tokens* out) {
    memset(out, 0, sizeof *out);
    int i = 0;
    while (i < 128 && line[i] == ' ') ++i;
    int tok = 0;
    int len = 0;
    bool afterSeparator = false;
    for (; i < 128 && line[i] != '\0'; ++i) {
        char c = line[i];
        if (c == '\n') break;
        if (!afterSeparator && (c == ' ' || c == ',')) {
            if (++tok >= POS_CMD_TOKENS) break;
            len = 0;
            afterSeparator = true;
            continue;
        }
        afterSeparator = false;
        out->t[tok][len++] = c;
        if (len >= POS_CMD_TOKEN_CHARS) break;
    }
}

static void logTokens(const Tokens& tk) {
    char text[POS_CMD_TOKENS * (POS_CMD_TOKEN_CHARS + 1) + 2];
    size_t n = 0;
    for (const auto& tok : tk.t) {
        if (!tok[0]) continue;
        size_t l = strlen(tok);
        memcpy(text + n, tok, l);
        n += l;
        text[n++] = ',';
    }
    text[n++] = '\n';
    text[n] = '\0';
    posLogPrint("%s", text);
}

// Replaces the tokens by a history entry when token 0 is a recall form.
// Called with the history lock held. Returns true when token 0 began with '!'.
static bool recall(Tokens* tk) {
    const char* t0 = tk->t[0];
    if (t0[0] != '!') return false;
    const Tokens* found = nullptr;
    if (t0[1] == '!') {
        found = &s_history[s_histLast];
    } else if (t0[1] >= '0' && t0[1] <= '9') {
        // Plain decimal digits ("!0x3" is entry 0), wrapping in 32 bits.
        uint32_t n = 0;
        for (const char* p = t0 + 1; *p >= '0' && *p <= '9'; ++p)
            n = n * 10u + static_cast<uint32_t>(*p - '0');
        if (n < POS_CMD_HISTORY) found = &s_history[n];
    } else {
        const char* text = t0 + 1;
        size_t tl = strlen(text);
        int idx = s_histLast;
        for (int k = 0; k < POS_CMD_HISTORY; ++k) {
            const char* cmd = s_history[idx].t[0];
            if (cmd[0] && strncmp(cmd, text, tl) == 0) {
                found = &s_history[idx];
                break;
            }
            idx = (idx == 0) ? POS_CMD_HISTORY - 1 : idx - 1;
        }
    }
    if (found) *tk = *found;
    return true;
}

static const char* const s_shellCommands[] = {"ls", "date", "ls -al", "pwd"};

// ---- built-in words ----------------------------------------------------------------------
static void listMatching(const char* text) {
    size_t tl = strlen(text);
    for (PosCmd* c = cmdFirst(); c; c = cmdNext(c)) {
        size_t nl = strlen(c->name);
        if (nl <= tl) continue;
        if (tl == 0) {   // no text: every command once
            posLogPrint("%s (%d) \n", c->name, c->kind);
            continue;
        }
        for (size_t pos = 0; pos + tl <= nl; ++pos)
            if (memcmp(c->name + pos, text, tl) == 0) posLogPrint("%s (%d) \n", c->name, c->kind);
    }
}

int posExecCmd(const char* line, int* valueOut) {
    int dummy;
    if (!valueOut) valueOut = &dummy;
    *valueOut = 0;
    if (!line) return 1;
    Tokens tk;
    tokenise(line, &tk);
    if (!tk.t[0][0]) return 1;

    pthread_mutex_lock(&s_histLock);
    bool recalled = recall(&tk);
    // Every line is recorded, also a recall that found an empty entry (which
    // then runs nothing).
    s_history[s_histWrite] = tk;
    s_histLast = s_histWrite;
    s_histWrite = (s_histWrite + 1) % POS_CMD_HISTORY;
    pthread_mutex_unlock(&s_histLock);
    if (recalled) logTokens(tk);
    if (!tk.t[0][0]) return 1;

    const char* cmd = tk.t[0];
    if (strcmp(cmd, "grep") == 0 || strcmp(cmd, "lkup") == 0) {
        listMatching(tk.t[1]);
        return 2;
    }
    if (strcmp(cmd, "period") == 0) {
        int a[6];
        for (int k = 0; k < 6; ++k) a[k] = posCmdNumber(tk.t[3 + k]);
        *valueOut = posPeriod(posCmdNumber(tk.t[1]), tk.t[2], a[0], a[1], a[2], a[3], a[4], a[5]);
        return 2;
    }
    if (strcmp(cmd, "runScript") == 0) {
        *valueOut = posRunScript(tk.t[1]);
        return 2;
    }

    PosCmd* c = posCmdFind(cmd);
    if (!c) {
        for (const char* sh : s_shellCommands) {
            if (strcmp(line, sh) == 0) {
                posLogPrint("\n");
                posRunShell(line);
                return 0;
            }
        }
        posLogPrint("Wrong Command\n");
        return 0;
    }
    int args[POS_CMD_MAX_KIND] = {};
    for (int k = 0; k < c->kind; ++k) args[k] = posCmdNumber(tk.t[1 + k]);
    *valueOut = posCmdCall(c, args);
    return 2;
}

// ---- result and prompt ---------------------------------------------------------------------
static char s_prompt[48];
static pthread_mutex_t s_promptLock = PTHREAD_MUTEX_INITIALIZER;

void posConSetPrompt(const char* nodeName) {
    pthread_mutex_lock(&s_promptLock);
    snprintf(s_prompt, sizeof s_prompt, "%s> ", nodeName ? nodeName : "");
    pthread_mutex_unlock(&s_promptLock);
}

const char* posConPrompt() {
    // Set once when the console starts, before it serves any client.
    return s_prompt;
}

void posCmdResult(int code, int value) {
    // Scripts may finish lines while the console is still starting.
    char prompt[sizeof s_prompt];
    pthread_mutex_lock(&s_promptLock);
    memcpy(prompt, s_prompt, sizeof prompt);
    pthread_mutex_unlock(&s_promptLock);
    switch (code) {
    case 0:
        pthread_mutex_lock(&s_histLock);
        s_histWrite = s_histLast;
        pthread_mutex_unlock(&s_histLock);
        posLogPrint("%s", prompt);
        break;
    case 1:
        posLogPrint("%s", prompt);
        break;
    case 2:
        posLogPrint("\r\nvalue = %d\r\n%s", value, prompt);
        break;
    default:
        break;
    }
}

// ---- history and symbol listings -------------------------------------------------------------
int posCmdHistory() {
    pthread_mutex_lock(&s_histLock);
    Tokens copy[POS_CMD_HISTORY];
    memcpy(copy, s_history, sizeof copy);
    pthread_mutex_unlock(&s_histLock);
    for (int e = 0; e < POS_CMD_HISTORY; ++e) {
        const Tokens& tk = copy[e];
        if (!tk.t[0][0]) break;
        char row[16 + POS_CMD_TOKENS * (POS_CMD_TOKEN_CHARS + 1) + 2];
        int n = snprintf(row, sizeof row, "%2d %s ", e, tk.t[0]);
        for (int k = 1; k <= 9; ++k)
            if (tk.t[k][0]) n += snprintf(row + n, sizeof row - n, "%s,", tk.t[k]);
        snprintf(row + n, sizeof row - n, "\n");
        posLogPrint("%s", row);
    }
    return 0;
}

int posCmdShowSymbol() {
    for (PosCmd* c = cmdFirst(); c; c = cmdNext(c)) posLogPrint("%s(%d) \n", c->name, c->kind);
    return 0;
}

static int posHelp() {
    posLogPrint("\n > posHelp/ help               *Display This Message\n");
    posLogPrint(" > posDspVer                   *Display Task's Version Information\n");
    posLogPrint(" > posDspTask taskId           *Display Task's(0~%d) Information\n", POS_MAX_USER_TASK);
    posLogPrint(" > posDspMem                   *Display Used Dynamic Memory\n");
    posLogPrint(" > posDspIpc                   *Display IPC Channel Attr.\n");
    posLogPrint(" > posSocketClearSystem nodeId *Reset Socket Connected System\n");
    posLogPrint(" > posDspErr                   *Display OS-Error\n");
    posLogPrint(" > posClrErr                   *Reset Task's-Error\n");
    posLogPrint(" > posDspQueue                 *Display POS-QUEUE\n");
    posLogPrint(" > posSockLog     nodeId       *Socket IPC Log\n");
    posLogPrint(" > posLogIpcErr                *IPC Error Log\n");
    posLogPrint(" > posLogLevel    level        *0: Header   1: All\n");
    posLogPrint(" > posLogFile taskId           *Task's File Log On/Off \n");
    posLogPrint(" > posLogTerm taskId           *Task's Term Log On/Off \n");
    posLogPrint(" > posLogOff [sel]             *All Task's Term or File Log OnOff\n");
    posLogPrint(" > posLogOn [sel]              *All Task's Term or File Log On/Off\n");
    posLogPrint(" > posLogDspTaskId flag        *0:OFF  1:ON\n");
    posLogPrint(" > posLogDspTimeStamp flag     *0:OFF  1:ON\n");
    posLogPrint(" > runScript scriptFileName    *Run Script File\n");
    posLogPrint(" > posReset/ bye/ by           *Exit\n");
    posLogPrint(" > posReboot                   *Reboot the Machine\n");
    posLogPrint(" > posShowSymbol               *Display Symbol Table\n");
    posLogPrint(" > posSocketClose nodeId       *Socket Close\n");
    posLogPrint(" > posSetTrySocketConnectTime second *Set Time to Try Client Socket \n");
    posLogPrint(" > history/ h                  *Display Command History\n");
    posLogPrint(" > ps/ i                       *Display Task\n");
    posLogPrint(" > period sec,func,arg1,..     *Periodic Command(Func)\n");
    posLogPrint(" > periodDsp                   *Display Running Periodic Commands\n");
    posLogPrint(" > periodKill                  *Stop Periodic Command\n");
    return 0;
}

void posTimeStampText(char* out, int size) {
    time_t now = time(nullptr);
    struct tm lt;
    localtime_r(&now, &lt);
    snprintf(out, size, " [%4d/%02d/%02d %02d:%02d:%02d] ", lt.tm_year + 1900, lt.tm_mon + 1,
             lt.tm_mday, lt.tm_hour, lt.tm_min, lt.tm_sec);
}

void posLogTimeStamp() {
    char text[48];
    posTimeStampText(text, sizeof text);
    posLogPrint("%s", text);
}

static int posTimeStampCmd() {
    posLogTimeStamp();
    return 0;
}

static int posMsecSleepCmd(int ms) {
    posMsecSleep(ms);
    return ms;
}

static int posByeCmd(int code) { return posDown(code); }

void posConRegisterBuiltins() {
    posRegCmd0("help", posHelp);
    posRegCmd0("posHelp", posHelp);
    posRegCmd0("posDspVer", posDspVer);
    posRegCmd1("posDspTask", posDspTask);
    posRegCmd0("posDspMem", posDspMem);
    posRegCmd0("posDspUsrMem", posDspUsrMem);
    posRegCmd0("posDspIpc", posDspIpc);
    posRegCmd1("posSocketClose", posSocketClose);
    posRegCmd1("posSocketClearSystem", posSocketClearSystem);
    posRegCmd1("posSetTrySocketConnectTime", posSetTrySocketConnectTime);
    posRegCmd0("periodDsp", posPeriodDsp);
    posRegCmd1("periodKill", posPeriodKill);
    posRegCmd1("posMsecSleep", posMsecSleepCmd);
    posRegCmd1("posDspErr", posDspErr);
    posRegCmd1("posSockLog", posSockLog);
    posRegCmd0("history", posCmdHistory);
    posRegCmd0("h", posCmdHistory);
    posRegCmd1("posLogLevel", posLogLevel);
    posRegCmd0("posShowSymbol", posCmdShowSymbol);
    posRegCmd0("ps", posPs);
    posRegCmd0("posTimeStamp", posTimeStampCmd);
    posRegCmd1("posReboot", posReboot);
    posRegCmd1("by", posByeCmd);
    posRegCmd1("bye", posByeCmd);
    posRegCmd0("i", posPs);
    posRegCmd1("posLogFile", posLogFile);
    posRegCmd1("posLogTerm", posLogTerm);
    posRegCmd1("posLogOff", posLogOff);
    posRegCmd1("posLogOn", posLogOn);
    posRegCmd1("posLogDspTaskId", posLogDspTaskId);
    posRegCmd1("posLogDspTimeStamp", posLogDspTimeStamp);
    posRegCmd1("posClrErr", posClrErr);
}

// Clears the history (console start).
void posHistoryClear() {
    pthread_mutex_lock(&s_histLock);
    memset(s_history, 0, sizeof s_history);
    s_histWrite = 0;
    s_histLast = 0;
    pthread_mutex_unlock(&s_histLock);
}
