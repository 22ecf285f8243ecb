// Runtime-wide state and the internal calls between the runtime's modules.
// Not for use outside pos/.
#pragma once

#include "pos.h"

#include <atomic>
#include <cstdint>
#include <pthread.h>

// ---- runtime identity (posterm: start-up) ------------------------------------
extern int g_posNodeId;                       // -1 before posInit
extern char g_posNodeName[32];
extern char g_posStartTime[32];               // "%4d/%02d/%02d %02d:%02d:%02d"
extern std::atomic<int> g_posConsoleUp;       // set by posStartConsole

#define POS_VERSION_TEXT "9.02NORDA"
#define POS_BUILD_DATE "May 26 2020"
#define POS_BUILD_TIME "18:44:36"
#define POS_OS_NAME "WIN32"
#define POS_SCHED_NAME "RR"

int posRrPriorityMin();                       // platform round-robin range
int posRrPriorityMax();

// ---- task table (postask) -------------------------------------------------------
extern PosTask* g_posUserTasks[POS_MAX_USER_TASK + 1];   // index = local id
extern PosTask* g_posSysTasks[POS_SYS_TASK_LAST - POS_SYS_TASK_FIRST + 1];
extern std::atomic<int> g_posTaskCount;       // tasks created (console not counted)
extern pthread_key_t g_posBindingKey;
extern pthread_mutex_t g_posRegLock;

PosThreadBinding* posGetBinding();            // calling thread's binding or nullptr
// Creates and stores a binding {task, entity} for the calling thread; nullptr
// when it cannot be allocated.
PosThreadBinding* posBindThread(PosTask* task, PosEntity* entity);
// Start gates: closed by posInit (all but the log task's), opened once by
// posStartConsole with release.
void posGatesCloseAll();
void posGatesOpenAll();
void posGateWait(PosTask* task);
// Appends a held stick to a task queue exactly as posTxMsg does (blocks while
// the queue is at its limit, records the overflow text with file:line).
void posTaskQueueAppend(PosTask* dest, Stick* stick, const char* file, int line);

// ---- stick pools (posipc) -------------------------------------------------------
struct PosPool {
    pthread_mutex_t lock;
    int32_t created;                          // sticks ever created
    PosQueue freeQ;
    uint16_t tag;
    int bufferBytes;
    char letter;
};
constexpr int POS_POOL_COUNT = 4;             // L, M, S, T in that order
extern PosPool g_posPools[POS_POOL_COUNT];
void posPoolsInit();

// ---- global error text ("LAST-ERR") ------------------------------------------------
extern char g_posLastErr[256];
void posSetLastErr(const char* format, ...) __attribute__((format(printf, 1, 2)));

// ---- process end ----------------------------------------------------------------
// Only the first caller proceeds; flushes standard output and _exit(code).
[[noreturn]] void posExit(int code);
// Broken invariant: ASSRT debug line "0", sleep 1000 ms, exit code -1.
[[noreturn]] void posAssertFail(const char* file, int line);

// ---- log (posterm: log task) -------------------------------------------------------
extern std::atomic<uint32_t> g_posLogTaskId;  // 0: logging off
extern std::atomic<int> g_posLogTermSw[POS_MAX_USER_TASK + 1];
extern std::atomic<int> g_posLogFileSw[POS_MAX_USER_TASK + 1];
extern std::atomic<int> g_posLogDspTaskIdFlag;
void posLogTask(PosTask* task);
void posLogSwitchesOff();

// Console client socket, shared by the console server (which accepts and
// closes it) and the log task (which writes to it). All access is under one
// lock so a socket is never closed under a send.
int posConSetClient(int fd);                  // installs fd; returns the old one (or -1)
void posConCloseClient();                     // shutdown + close, no client afterwards
int posConHasClient();
// Sends to the client; -1 (and the two standard-output lines) when there is
// no client or the send failed or timed out.
int posConSend(const char* data, int length);

// ---- timers (postimer) --------------------------------------------------------------
// Starts the task's timer thread (called by posResTask).
int posTimerThreadStart(PosTask* task);
// Counts for posDspMem: entries ever created, entries now in the tree, entries
// in the pool.
void posTimerStats(PosTask* task, int* created, int* inTree, int* pooled);

// ---- console, command table, scripts, periodic jobs (posconsole) -------------------------
void posCmdTablesClear();                     // posInit step 3
extern char g_posScriptFile[128];
extern int g_posScriptDelayMs;
void posScriptTask(PosTask* task);

// ---- user-memory classes (posdisplay) ---------------------------------------------
void posUsrMemInit();

// ---- node table (possockfunc) --------------------------------------------------------
void posNodeTableClear();
void posNodeDownBroadcast();                  // used by posDown and posReboot
