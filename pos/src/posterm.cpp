// Start-up and shutdown of the runtime, the log task and posLogPrint, the log
// switches, the debug file, hex dumps, the console client's send side and the
// shell runner.
#include "posinternal.h"

#include <cerrno>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>
#include <fcntl.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

int g_posNodeId = -1;
char g_posNodeName[32];
char g_posStartTime[32];
std::atomic<int> g_posConsoleUp{0};

std::atomic<uint32_t> g_posLogTaskId{0};
std::atomic<int> g_posLogTermSw[POS_MAX_USER_TASK + 1];
std::atomic<int> g_posLogFileSw[POS_MAX_USER_TASK + 1];
std::atomic<int> g_posLogDspTaskIdFlag{0};
static std::atomic<int> s_logDspTimeStamp{0};
static std::atomic<int> s_logLevel{0};

// The log task calls the observer under this lock, so that once
// posLogSetObserver returns the old observer is neither running nor called
// again, and its context may go away.
static std::mutex s_logObserverLock;
static PosLogObserver s_logObserver = nullptr;
static void* s_logObserverCtx = nullptr;

// ---- standard output ------------------------------------------------------------

static pthread_mutex_t s_stdoutLock = PTHREAD_MUTEX_INITIALIZER;

static void stdoutV(const char* format, va_list ap) {
    pthread_mutex_lock(&s_stdoutLock);
    vfprintf(stdout, format, ap);
    fflush(stdout);
    pthread_mutex_unlock(&s_stdoutLock);
}

void posStdout(const char* format, ...) {
    va_list ap;
    va_start(ap, format);
    stdoutV(format, ap);
    va_end(ap);
}

static void stdoutText(const char* text) {
    pthread_mutex_lock(&s_stdoutLock);
    fputs(text, stdout);
    fflush(stdout);
    pthread_mutex_unlock(&s_stdoutLock);
}

// ---- sleeping and process end ------------------------------------------------------

int posMsecSleep(int ms) {
    if (ms < 0) ms = 0;
    struct timespec ts = {ms / 1000, (ms % 1000) * 1000000L};
    while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
    }
    return 0;
}

static std::atomic<int> s_exitClaimed{0};
static thread_local bool t_ownsExit = false;

bool posClaimExit() {
    if (t_ownsExit) return true;
    int expected = 0;
    if (s_exitClaimed.compare_exchange_strong(expected, 1)) {
        t_ownsExit = true;
        return true;
    }
    return false;
}

[[noreturn]] static void parkForever() {
    for (;;) pause();
}

void posExit(int code) {
    if (!posClaimExit()) parkForever();
    fflush(stdout);
    fflush(stderr);
    _exit(code);
}

void posAssertFail(const char* file, int line) {
    posDebugLog(POS_DEBUG_ASSRT, file, line, "0");
    posMsecSleep(1000);
    posExit(-1);
}

// ---- start-up ---------------------------------------------------------------------

// Descriptors 0-2 must be open so that no socket ever gets one of them.
static void keepStdDescriptorsOpen() {
    for (int fd = 0; fd <= 2; fd++) {
        if (fcntl(fd, F_GETFD) == -1 && errno == EBADF) {
            int n = open("/dev/null", O_RDWR);
            if (n >= 0 && n != fd) {
                dup2(n, fd);
                close(n);
            }
        }
    }
}

static void localTimeNow(struct tm* tmOut, int* msOut = nullptr) {
    struct timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    time_t secs = ts.tv_sec;
    localtime_r(&secs, tmOut);
    if (msOut) *msOut = static_cast<int>(ts.tv_nsec / 1000000);
}

int posInit(int nodeId) {
    keepStdDescriptorsOpen();
    signal(SIGPIPE, SIG_IGN);

    // The console stores the real node name; until then debug lines use the
    // name this system forms from the node id.
    snprintf(g_posNodeName, sizeof g_posNodeName, "QLAG%02d", nodeId);
    if (nodeId < 0) {
        posDebugLog(POS_DEBUG_FATAL, __FILE__, __LINE__, "Wrong Node Id");
        posDown(POS_DOWN_RUNTIME);
        return -1;
    }

    posNodeTableClear();
    posCmdTablesClear();
    posPoolsInit();
    posUsrMemInit();
    posLogSwitchesOff();
    posBindingKeyCreate();
    posTaskTablesClear();
    g_posConsoleUp.store(0);
    g_posStartTime[0] = '\0';
    posSetLastErr("%s", "");
    posGatesCloseAll();

    g_posNodeId = nodeId;

    int err = 0;
    posCreateTask(posLogTask, "POS-LOG", POS_LOG_TASK_ID, 255, POS_LOG_QUEUE_LIMIT, 0, 25000, &err);
    posMsecSleep(1);
    // The banner goes through the log task: give it a moment to come up.
    for (int i = 0; i < 1000 && g_posLogTaskId.load() == 0; i++) posMsecSleep(1);

    struct tm tmv;
    localTimeNow(&tmv);
    posLogPrint("\n");
    posLogPrint(" [%4d/%02d/%02d %02d:%02d:%02d] ", tmv.tm_year + 1900, tmv.tm_mon + 1,
                tmv.tm_mday, tmv.tm_hour, tmv.tm_min, tmv.tm_sec);
    posLogPrint("\nPOS init OK(NodeId: %d-Ver.%s (%s)):RELEASE\n     OS:%s(%s:Min:%d-Max:%d)\n",
                nodeId, POS_VERSION_TEXT, POS_BUILD_DATE, POS_OS_NAME, POS_SCHED_NAME,
                posRrPriorityMin(), posRrPriorityMax());
    char started[80];
    snprintf(started, sizeof started, "%4d/%02d/%02d %02d:%02d:%02d", tmv.tm_year + 1900,
             tmv.tm_mon + 1, tmv.tm_mday, tmv.tm_hour, tmv.tm_min, tmv.tm_sec);
    snprintf(g_posStartTime, sizeof g_posStartTime, "%.31s", started);
    posMsecSleep(1);
    return 0;
}

void posStartConsole(const char* nodeName, const char* scriptFile, int scriptDelayMs,
                     int release) {
    posMsecSleep(200);
    if (release) posGatesOpenAll();
    g_posConsoleUp.store(1);
    // Other threads may read the name (debug file) at any time: write it only
    // when it really changes.
    if (nodeName && strncmp(g_posNodeName, nodeName, sizeof g_posNodeName - 1) != 0)
        snprintf(g_posNodeName, sizeof g_posNodeName, "%s", nodeName);
    if (scriptFile) {
        g_posScriptDelayMs = scriptDelayMs;
        snprintf(g_posScriptFile, sizeof g_posScriptFile, "%s", scriptFile);
        int err = 0;
        posCreateTask(posScriptTask, "POS-SCR", POS_SCRIPT_TASK_ID, 240, 0xFFFF, 0, 25000, &err);
    }
    posConsole(nodeName ? nodeName : g_posNodeName);
}

// ---- shutdown ---------------------------------------------------------------------

static bool downCodeValid(int code) {
    return code == POS_DOWN_APP || code == POS_DOWN_RUNTIME || code == POS_DOWN_SPARE;
}

int posDown(int code) {
    if (!downCodeValid(code)) {
        char text[64];
        snprintf(text, sizeof text, "POS try down failure(Code:%d)", code);
        posDebugLog(POS_DEBUG_FATAL, __FILE__, __LINE__, text);
        posLogPrint("Wrong Magic Number\n");
        return -1;
    }
    if (!posClaimExit()) parkForever();
    posNodeDownBroadcast();
    char text[64];
    snprintf(text, sizeof text, "POS down(Code:%d)", code);
    posDebugLog(POS_DEBUG_FATAL, __FILE__, __LINE__, text);
    g_posLogTaskId.store(0);
    posDebugLog(POS_DEBUG_FATAL, __FILE__, __LINE__, "Clear POS System(Command: Bye)");
    posDebugLog(POS_DEBUG_FATAL, __FILE__, __LINE__, "END OF POS SYSTEM");
    posMsecSleep(100);
    posExit(1);
}

int posReboot(int code) {
    if (code != POS_DOWN_APP) {
        posLogPrint("Wrong Magic Number\n");
        return -1;
    }
    if (!posClaimExit()) parkForever();
    posNodeDownBroadcast();
    posRunShell("reboot");
    posDebugLog(POS_DEBUG_FATAL, __FILE__, __LINE__, "END OF POS SYSTEM");
    posExit(1);
}

// ---- shell runner -----------------------------------------------------------------

static int defaultShellRunner(const char* command) {
    if (!command) return -1;
    pid_t pid;
    char sh[] = "/bin/sh";
    char dashC[] = "-c";
    char* argv[] = {sh, dashC, const_cast<char*>(command), nullptr};
    fflush(stdout);
    if (posix_spawn(&pid, "/bin/sh", nullptr, nullptr, argv, environ) != 0) return -1;
    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) return -1;
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

static std::atomic<PosShellRunner> s_shellRunner{defaultShellRunner};

void posSetShellRunner(PosShellRunner runner) {
    s_shellRunner.store(runner ? runner : defaultShellRunner);
}

int posRunShell(const char* command) { return s_shellRunner.load()(command); }

// ---- console client (send side) ------------------------------------------------------

static pthread_mutex_t s_conLock = PTHREAD_MUTEX_INITIALIZER;
static int s_conFd = -1;

int posConSetClient(int fd) {
    if (fd >= 0) {
        // A client that stops reading must not stall the log task for good.
        struct timeval tv = {POS_CON_SEND_TIMEOUT_MS / 1000, (POS_CON_SEND_TIMEOUT_MS % 1000) * 1000};
        setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
    }
    pthread_mutex_lock(&s_conLock);
    int old = s_conFd;
    s_conFd = fd >= 0 ? fd : -1;
    pthread_mutex_unlock(&s_conLock);
    return old;
}

void posConCloseClient(int fd) {
    if (fd < 0) return;
    pthread_mutex_lock(&s_conLock);
    if (s_conFd == fd) s_conFd = -1;
    pthread_mutex_unlock(&s_conLock);
    // Withdrawn under the lock first: no send can be using it now.
    shutdown(fd, SHUT_RDWR);
    close(fd);
}

int posConHasClient() {
    pthread_mutex_lock(&s_conLock);
    int has = s_conFd >= 0;
    pthread_mutex_unlock(&s_conLock);
    return has;
}

int posConSend(const char* data, int length) {
    if (!data || length <= 0) return 0;
    pthread_mutex_lock(&s_conLock);
    int fd = s_conFd;
    bool ok = false;
    if (fd >= 0) {
        int off = 0;
        ok = true;
        while (off < length) {
            ssize_t n = send(fd, data + off, static_cast<size_t>(length - off), MSG_NOSIGNAL);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) {
                posStdout("POS# CON: Err Tx To Socket(%d) errno(%d)\n", fd, n < 0 ? errno : 0);
                ok = false;
                // Drop the client: one timed-out send is all it may cost.
                // The console server sees the shut-down socket and closes it.
                shutdown(fd, SHUT_RDWR);
                s_conFd = -1;
                break;
            }
            off += static_cast<int>(n);
        }
    }
    pthread_mutex_unlock(&s_conLock);
    if (!ok) {
        posStdout("PRC# Connection Closed\n");
        return -1;
    }
    return 0;
}

// ---- log --------------------------------------------------------------------------

void posLogSetObserver(PosLogObserver fn, void* ctx) {
    std::lock_guard<std::mutex> g(s_logObserverLock);
    s_logObserver = fn;
    s_logObserverCtx = ctx;
}

void posLogSwitchesOff() {
    for (auto& s : g_posLogTermSw) s.store(0, std::memory_order_relaxed);
    for (auto& s : g_posLogFileSw) s.store(0, std::memory_order_relaxed);
}

void posLogPrint(const char* format, ...) {
    if (!format) return;
    uint32_t logTaskId = g_posLogTaskId.load(std::memory_order_acquire);
    if (logTaskId == 0) return;

    uint32_t sender = static_cast<uint32_t>(posGetMyTaskId());
    if (sender == 0 && g_posConsoleUp.load(std::memory_order_acquire) == 0) {
        va_list ap;
        va_start(ap, format);
        stdoutV(format, ap);
        va_end(ap);
        return;
    }
    uint32_t local = sender % 1000;
    if (sender != 0 && local < 910) {
        if (local > POS_MAX_USER_TASK ||
            (g_posLogTermSw[local].load(std::memory_order_relaxed) == 0 &&
             g_posLogFileSw[local].load(std::memory_order_relaxed) == 0))
            return;
    }
    PosTask* logTask = posGetTask(POS_LOG_TASK_ID);
    if (!logTask) return;

    Stick* s = posAllocStick(4098);
    if (!s) return;
    uint8_t* data = posSetMsgHeader(POS_PRIM_LOG, logTaskId, 0xFFFF, 0xFFFF, s);
    if (!data) {
        posStdout("POS# FATAL: posLogPrint\n");
        posStickRecycle(s);
        return;
    }
    memcpy(data, &sender, sizeof sender);
    va_list ap;
    va_start(ap, format);
    vsnprintf(reinterpret_cast<char*>(data + sizeof sender), 4098, format, ap);
    va_end(ap);
    posTaskQueueAppend(logTask, s, __FILE__, __LINE__);
}

void posLogTask(PosTask* task) {
    posResTask(task, "KT LAR", "RELEASE", 1, 0, 0, __DATE__, __TIME__);
    posStdout("POS# INFO: LOG Task Init\n");
    g_posLogTaskId.store(task->globalId, std::memory_order_release);
    for (;;) {
        Stick* s = nullptr;
        uint32_t src = 0;
        int err = 0;
        uint32_t prim = posRxMsg(&s, &src, &err);
        if (!s) continue;
        if (prim == POS_PRIM_LOG) {
            uint32_t sender;
            memcpy(&sender, s->data, sizeof sender);
            const char* text = reinterpret_cast<const char*>(s->data + sizeof sender);
            {
                std::lock_guard<std::mutex> g(s_logObserverLock);
                if (s_logObserver) s_logObserver(sender, text, s_logObserverCtx);
            }
            uint32_t local = sender % 1000;
            int len = static_cast<int>(strlen(text));
            if (local >= 255) {
                if (posConHasClient())
                    posConSend(text, len);
                else
                    stdoutText(text);
            } else if (g_posLogTermSw[local].load(std::memory_order_relaxed) != 0 &&
                       posConHasClient()) {
                if (g_posLogDspTaskIdFlag.load(std::memory_order_relaxed)) {
                    char idText[16];
                    int n = snprintf(idText, sizeof idText, "%5d:", sender);
                    posConSend(idText, n);
                }
                posConSend(text, len);
            }
        }
        if (posFreeStick(&s, __FILE__, __LINE__) != 0) posAssertFail(__FILE__, __LINE__);
    }
}

int posLogOn(int sel) {
    if (sel > 1) return 0;
    for (auto& s : g_posLogTermSw) s.store(1, std::memory_order_relaxed);
    posLogPrint("POS# All Task's Terminal Log ON\n");
    return 0;
}

int posLogOff(int sel) {
    if (sel > 1) return 0;
    for (auto& s : g_posLogTermSw) s.store(0, std::memory_order_relaxed);
    posLogPrint("POS# All Task's Terminal Log OFF\n");
    return 0;
}

int posLogTerm(int taskId) {
    if (taskId <= 0) return -1;
    int id = taskId % 1000;
    if (id >= 255) return -1;
    int now = g_posLogTermSw[id].load(std::memory_order_relaxed) ? 0 : 1;
    g_posLogTermSw[id].store(now, std::memory_order_relaxed);
    if (now)
        posLogPrint("POS# Task(%d) Term Log ON\n", id);
    else
        posLogPrint("POS# Task(%d) Term Log OFF\n", id);
    return now;
}

int posLogFile(int flag) { return flag ? 0 : -1; }

int posLogDspTaskId(int flag) {
    g_posLogDspTaskIdFlag.store(flag);
    return flag;
}

int posLogDspTimeStamp(int flag) {
    s_logDspTimeStamp.store(flag);
    return flag;
}

int posLogLevel(int level) {
    s_logLevel.store(level);
    return level;
}

// ---- debug file -------------------------------------------------------------------

void posDebugPath(char* out, int size) {
    const char* dir = getenv("POS_DEBUG_DIR");
    if (!dir || !*dir) dir = "/tmp";
    snprintf(out, static_cast<size_t>(size), "%s/posDebug-%s.txt", dir, g_posNodeName);
}

static const char* levelName(int level) {
    static const char* const names[] = {"  LOG", "  LOW", "  MID", " HIGH", "FATAL", "ASSRT"};
    if (level < 0) level = 0;
    if (level > 5) level = 5;
    return names[level];
}

int posDebugLog(int level, const char* file, int line, const char* text) {
    if (!file) file = "";
    if (!text) text = "";
    char path[512];
    posDebugPath(path, sizeof path);
    int fd = open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);

    struct tm tmv;
    localTimeNow(&tmv);
    int year = (tmv.tm_year + 1900) % 2000;
    if (fd >= 0) {
        char buf[1024];
        int n = snprintf(buf, sizeof buf, "%02d/%02d/%02d %02d:%02d:%02d %03d:%s %s:%d %s\n", year,
                         tmv.tm_mon + 1, tmv.tm_mday, tmv.tm_hour, tmv.tm_min, tmv.tm_sec,
                         g_posNodeId, levelName(level), file, line, text);
        if (n >= static_cast<int>(sizeof buf)) {
            n = sizeof buf - 1;
            buf[n - 1] = '\n';
        }
        // One write per line: concurrent writers append whole lines.
        ssize_t w;
        do {
            w = write(fd, buf, static_cast<size_t>(n));
        } while (w < 0 && errno == EINTR);
        close(fd);
        return 0;
    }
    posStdout("%02d/%02d/%02d %02d:%02d:%02d %03d:%s %20s:%05d %s\n", year, tmv.tm_mon + 1,
              tmv.tm_mday, tmv.tm_hour, tmv.tm_min, tmv.tm_sec, g_posNodeId, levelName(level),
              file, line, text);
    return -1;
}

// ---- hex dumps --------------------------------------------------------------------

static char dumpChar(uint8_t b) {
    if (b >= 0x20 && b <= 0x7E) return static_cast<char>(b);
    if (b == 0x0D) return static_cast<char>(0xAB);
    if (b == 0x0A) return static_cast<char>(0xF1);
    return static_cast<char>(0xF7);
}

// Appends the rows of at most 432 bytes (27 rows of 16) to out.
static void dumpRows(char* out, size_t cap, const uint8_t* data, int length) {
    static const char hex[] = "0123456789ABCDEF";
    size_t pos = strlen(out);
    auto putc = [&](char c) {
        if (pos + 1 < cap) {
            out[pos++] = c;
            out[pos] = '\0';
        }
    };
    auto putHex = [&](uint8_t b) {
        putc(' ');
        putc(hex[b >> 4]);
        putc(hex[b & 0x0F]);
    };
    if (length < 0) length = 0;
    if (length > 432) length = 432;
    int full = length / 16;
    for (int r = 0; r < full; r++) {
        const uint8_t* p = data + r * 16;
        for (int i = 0; i < 16; i++) putHex(p[i]);
        putc(' ');
        putc(' ');
        for (int i = 0; i < 8; i++) putc(dumpChar(p[i]));
        putc(' ');
        for (int i = 8; i < 16; i++) putc(dumpChar(p[i]));
        putc('\n');
    }
    int rest = length % 16;
    if (rest) {
        const uint8_t* p = data + full * 16;
        for (int i = 0; i < rest; i++) putHex(p[i]);
        for (int i = rest; i < 16; i++) {
            putc(' ');
            putc(' ');
            putc(' ');
        }
        putc(' ');
        putc(' ');
        for (int i = 0; i < rest; i++) putc(dumpChar(p[i]));
        putc('\n');
    }
}

int dspMsgStream(const char* name, const void* data, int length, int chunk) {
    if (!name) name = "[DATA]";
    if (!data) {
        posLogPrint("dspMsgStream[ NULL Data !! ] Chunk:%d\n", chunk);
        return 0;
    }
    char text[2400];
    snprintf(text, sizeof text, " [%s] L(0x%X, %d)\n", name, static_cast<unsigned>(length),
             length);
    dumpRows(text, sizeof text, static_cast<const uint8_t*>(data), length);
    posLogPrint("%s", text);
    return 0;
}

int posDspStream(const void* data, int length) {
    if (!data) {
        posLogPrint("posDspStream[ NULL Data !! ]\n");
        return 0;
    }
    char text[2400];
    text[0] = '\0';
    dumpRows(text, sizeof text, static_cast<const uint8_t*>(data), length);
    posLogPrint("%s", text);
    return 0;
}
