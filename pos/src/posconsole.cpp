// The remote console: the console task (local id 911) on the start-up thread
// serves one TCP client at a time on port 7500 + node id; every zero-ended
// line it receives runs through the command executor. Also the script runner
// (runScript and the script task "POS-SCR").
//
// The console listens on 127.0.0.1 unless POS_CONSOLE_BIND names another
// IPv4 address (for example 0.0.0.0): it is an unauthenticated shell that can
// end the program, so opening it to other hosts is a deliberate choice and is
// logged as a warning.
#include "posconint.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

char g_posScriptFile[128];
int g_posScriptDelayMs;

constexpr int CONSOLE_WAIT_SECONDS = 300010;     // quiet client is closed after this

static PosTask* s_consoleTask;

// ---- listening socket -------------------------------------------------------------------
static int debugFatal(const char* format, int value) {
    char text[96];
    snprintf(text, sizeof text, format, value);
    posDebugLog(POS_DEBUG_FATAL, __FILE__, __LINE__, text);
    return 0;
}

// Address the console binds to: 127.0.0.1, or POS_CONSOLE_BIND when it holds
// a dotted IPv4 address.
static in_addr consoleBindAddress() {
    in_addr addr;
    addr.s_addr = htonl(INADDR_LOOPBACK);
    const char* bind = getenv("POS_CONSOLE_BIND");
    if (!bind || !*bind) return addr;
    in_addr wanted;
    if (inet_pton(AF_INET, bind, &wanted) != 1) {
        posLogPrint("POS# CON: WARNING: POS_CONSOLE_BIND(%.40s) is no IPv4 address; console stays on 127.0.0.1\n",
                    bind);
        return addr;
    }
    if (wanted.s_addr != addr.s_addr)
        posLogPrint("POS# CON: WARNING: remote console open to other hosts (bound to %.40s); "
                    "it is an unauthenticated shell\n", bind);
    return wanted;
}

int posConSocketOpen(int port) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        debugFatal("posConSocketOpen: socket:%d", errno);
        return -1;
    }
    auto fail = [fd](const char* format, int code) {
        debugFatal(format, errno);
        shutdown(fd, SHUT_RDWR);
        close(fd);
        return code;
    };
    int on = 1;
    if (setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0)
        return fail("posConSocketOpen: SO_REUSEADDR:%d", -2);
    linger lg{1, 0};
    if (setsockopt(fd, SOL_SOCKET, SO_LINGER, &lg, sizeof lg) != 0)
        return fail("posConSocketOpen: setsockopt:%d", -3);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(static_cast<uint16_t>(port));
    sa.sin_addr = consoleBindAddress();
    if (bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) return fail("posConSocketOpen: bind:%d", -4);
    if (listen(fd, 5) != 0) return fail("posConSocketOpen: listen:%d", -5);
    return fd;
}

// ---- console task record ------------------------------------------------------------------
static PosTask* createConsoleTask() {
    PosTask* t = static_cast<PosTask*>(calloc(1, sizeof(PosTask)));
    char* name = strdup("POS-CON");
    if (!t || !name) {
        free(t);
        free(name);
        return nullptr;
    }
    t->name = name;
    t->localId = POS_CONSOLE_TASK_ID;
    t->globalId = static_cast<uint32_t>(posGetNodeId() * 1000 + POS_CONSOLE_TASK_ID);
    t->priority = 255;
    t->stackSize = 50000;
    t->processId = static_cast<uint32_t>(getpid());
    __atomic_store_n(&t->threadId, static_cast<uint32_t>(gettid()), __ATOMIC_RELEASE);
    PosTaskQueue& q = t->queue;
    q.limit = 0xFFFF;
    q.owner = t;
    q.mark = 0xAAA5;
    q.flag = 1;
    pthread_mutex_init(&q.lock, nullptr);
    pthread_cond_init(&q.notEmpty, nullptr);
    pthread_cond_init(&q.notFull, nullptr);
    posTimerInitTask(t);
    __atomic_store_n(&t->regMark, POS_TASK_REGISTERED, __ATOMIC_RELEASE);
    return t;
}

bool posConLineAdd(PosConLine* l, char byte) {
    if (l->fill < 0 || l->fill > 127) l->fill = 0;
    l->line[l->fill++] = byte;
    if (l->fill >= 128) {   // cut an overlong line to 126 characters
        l->fill = 127;
        l->line[126] = '\0';
    }
    return byte == '\0';
}

// ---- client handling ------------------------------------------------------------------
namespace {

struct Console {
    int listenFd = -1;
    int clientFd = -1;       // the console's own view of the installed client
    PosConLine in{};
};

void closeClient(Console& c) {
    if (c.clientFd < 0) return;
    posConCloseClient(c.clientFd);
    c.clientFd = -1;
    c.in.fill = 0;
}

void sendText(const char* text) { posConSend(text, static_cast<int>(strlen(text))); }

void acceptClient(Console& c) {
    sockaddr_in peer{};
    socklen_t len = sizeof peer;
    int fd;
    do {
        fd = accept4(c.listenFd, reinterpret_cast<sockaddr*>(&peer), &len, SOCK_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        // For example out of descriptors: the pending connection stays
        // queued, so pause briefly instead of spinning on it.
        if (errno != EAGAIN && errno != EWOULDBLOCK && errno != ECONNABORTED) {
            posLogPrint("POS# CON: accept ERR(%d)\n", errno);
            posMsecSleep(100);
        }
        return;
    }
    int on = 1;
    linger lg{1, 1};
    timeval tv{POS_CON_SEND_TIMEOUT_MS / 1000, (POS_CON_SEND_TIMEOUT_MS % 1000) * 1000};
    if (setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0 ||
        setsockopt(fd, SOL_SOCKET, SO_LINGER, &lg, sizeof lg) != 0 ||
        setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv) != 0) {
        close(fd);
        return;
    }
    char addr[INET_ADDRSTRLEN] = "?";
    inet_ntop(AF_INET, &peer.sin_addr, addr, sizeof addr);
    posLogPrint("POS# CON: New PRC Connected from %s\n", addr);
    posMsecSleep(500);
    closeClient(c);    // one client at a time: the newest wins
    posStdout("POS# CON: PRC Connected from %s..\n", addr);
    int old = posConSetClient(fd);
    if (old >= 0 && old != fd) {   // not expected: the console closed it above
        shutdown(old, SHUT_RDWR);
        close(old);
    }
    c.clientFd = fd;
    c.in.fill = 0;
    char greeting[64];
    snprintf(greeting, sizeof greeting, "***** Connected.. POS-NODE(%d) *****\n", posGetNodeId());
    sendText(greeting);
    sendText(posConPrompt());
}

void runLine(Console& c) {
    if (c.in.fill <= 2) {   // one character and the zero, or less
        sendText(posConPrompt());
        return;
    }
    int value = 0;
    int code = posExecCmd(c.in.line, &value);
    posCmdResult(code, value);
}

// Reads what the client has sent, one byte at a time, and runs each complete
// line. Returns false when the client closed or failed.
bool readClient(Console& c) {
    for (;;) {
        char ch;
        ssize_t r = recv(c.clientFd, &ch, 1, MSG_DONTWAIT);
        if (r < 0 && errno == EINTR) continue;
        if (r < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return true;
        if (r <= 0) return false;
        if (posConLineAdd(&c.in, ch)) {
            runLine(c);
            c.in.fill = 0;
            return true;   // back to waiting; further input is read on the next round
        }
    }
}

[[noreturn]] void serve(Console& c) {
    for (;;) {
        pollfd fds[2];
        fds[0] = {c.listenFd, POLLIN, 0};
        int n = 1;
        if (c.clientFd >= 0) fds[n++] = {c.clientFd, POLLIN, 0};
        int r = poll(fds, n, CONSOLE_WAIT_SECONDS * 1000);
        if (r < 0) {
            // A signal handled elsewhere in the process interrupts the wait:
            // wait again rather than end the program.
            if (errno != EINTR) posLogPrint("POS# CON: select ERR(%d)\n", errno);
            continue;
        }
        if (r == 0) {
            if (c.clientFd >= 0) {
                posLogPrint("POS# CON: Close Connection(KA)..\n");
                closeClient(c);
            }
            continue;
        }
        if (fds[0].revents & POLLIN) {
            acceptClient(c);
            continue;   // the client set changed
        }
        if (n > 1 && fds[1].revents) {
            if (!readClient(c)) {
                closeClient(c);
                posLogPrint("POS# CON: Remote Console Closed\n");
            }
        }
    }
}

}  // namespace

void posConsole(const char* nodeName) {
    posHistoryClear();
    posConRegisterBuiltins();

    s_consoleTask = createConsoleTask();
    if (!s_consoleTask) {
        posStdout("POS# FATAL: Memory alloc Error(%s:%d)\n", __FILE__, __LINE__);
        posExit(1);
    }
    __atomic_store_n(&g_posSysTasks[POS_CONSOLE_TASK_ID - POS_SYS_TASK_FIRST], s_consoleTask, __ATOMIC_RELEASE);
    if (!posBindThread(s_consoleTask, nullptr)) {
        posLogPrint(" POS# FATAL: Console Task Init FAILURE\n");
        posExit(1);
    }
    posLogPrint(" POS# Console Task Init\n");

    posConSetPrompt(nodeName);
    int port = POS_CONSOLE_PORT_BASE + posGetNodeId();
    Console c;
    c.listenFd = posConSocketOpen(port);
    if (c.listenFd < 0) {
        char text[64];
        snprintf(text, sizeof text, "POS# FATAL: CONSOLE Server(Port:%d)", port);
        posLogPrint("%s\n", text);
        posDebugLog(POS_DEBUG_FATAL, __FILE__, __LINE__, text);
        posMsecSleep(500);
        posDown(POS_DOWN_APP);
        posExit(1);   // not reached: posDown(520) ends the process
    }
    posLogPrint("POS# CON: REMOTE CONSOLE WAIT(Port:%d)\n", port);
    posDebugLog(POS_DEBUG_FATAL, __FILE__, __LINE__, "POS init OK");
    serve(c);
}

// ---- scripts ------------------------------------------------------------------------
// Scripts may run scripts; a script that runs itself would recurse until the
// thread's stack is gone, so nesting stops at a small depth.
constexpr int SCRIPT_NESTING_MAX = 8;
static thread_local int t_scriptDepth = 0;

int posRunScript(const char* fileName) {
    if (!fileName || !*fileName) return 0;
    if (t_scriptDepth >= SCRIPT_NESTING_MAX) {
        posLogPrint("POS# ERR: Script Nesting Over %d(%s)\n", SCRIPT_NESTING_MAX, fileName);
        return -1;
    }
    struct Depth {
        Depth() { ++t_scriptDepth; }
        ~Depth() { --t_scriptDepth; }
    } depth;
    posLogPrint("POS# Script Job START(%s)\n", fileName);
    FILE* f = fopen(fileName, "re");
    if (!f) {
        posLogPrint("POS# ERR: Script File Not Found\n");
        return 0;
    }
    char line[128];
    for (;;) {
        posMsecSleep(1);
        if (!fgets(line, sizeof line, f)) break;
        size_t len = strlen(line);
        if (len > 0 && line[len - 1] != '\n' && !feof(f)) {
            // Longer than 127 characters: the rest of that line is dropped,
            // never run as a command of its own.
            int ch;
            while ((ch = fgetc(f)) != EOF && ch != '\n') {
            }
        }
        if (len >= 2 && line[len - 2] == '\r' && line[len - 1] == '\n') {
            line[len - 2] = '\n';
            line[len - 1] = '\0';
        }
        if (line[0] == '\n' || line[0] == '\0') break;   // an empty line ends the script
        int value = 0;
        int code = posExecCmd(line, &value);
        posCmdResult(code, value);
    }
    fclose(f);
    posLogPrint("POS# Script Job END\n");
    return 0;
}

void posScriptTask(PosTask* task) {
    posResTask(task, "KT LAR", "RELEASE", 1, 0, 0, __DATE__, __TIME__);
    if (g_posScriptDelayMs > 0) {
        int delay = g_posScriptDelayMs < 3000 ? 3000 : g_posScriptDelayMs;
        PosTimerKey key{};
        if (posStartTimer(&key, POS_PRIM_SCRIPT_DELAY, delay, POS_NO_ENTITY, nullptr, 0, POS_HERE) == 0) {
            Stick* stick = nullptr;
            uint32_t src = 0;
            int err = 0;
            posRxMsg(&stick, &src, &err);
            posStopTimer(&key, POS_HERE);
            if (stick) posFreeStick(&stick, POS_HERE);
        }
    }
    posRunScript(g_posScriptFile);
    __atomic_fetch_and(&task->stateFlags, ~POS_TASK_HELD, __ATOMIC_RELAXED);
    for (;;) {
        Stick* stick = nullptr;
        uint32_t src = 0;
        int err = 0;
        posRxMsg(&stick, &src, &err);
        if (stick && posFreeStick(&stick, POS_HERE) != 0) posAssertFail(POS_HERE);
    }
}
