// Runtime-wide state and the internal calls between the runtime's modules.
// Not for use outside pos/.
#pragma once

#include "pos.h"

#include <atomic>
#include <cstddef>
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
void posBindingKeyCreate();                   // posInit: the key (once per process)
void posTaskTablesClear();                    // posInit: empty tables, count 0
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
// Bounded wait (up to 1 s) until the task's timer thread is ready; 0 when it is.
int posTimerWaitReady(PosTask* task);

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
// Puts a stick back on its pool's free queue without the owner checks of
// posFreeStick (undeliverable sticks the runtime itself disposes of).
void posStickRecycle(Stick* stick);

// ---- global error text ("LAST-ERR") ------------------------------------------------
extern char g_posLastErr[256];
void posSetLastErr(const char* format, ...) __attribute__((format(printf, 1, 2)));
// Copies the global error text under the lock its writers take.
void posCopyLastErr(char* out, int size);

// ---- standard output ------------------------------------------------------------
// Formats to standard output and flushes at once (runtime messages that must
// not wait in a buffer).
void posStdout(const char* format, ...) __attribute__((format(printf, 1, 2)));

// ---- process end ----------------------------------------------------------------
// Claims the process end for the calling thread; false when another thread
// already did (that caller must not continue: posExit parks it).
bool posClaimExit();
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
// Withdraws fd if it is the client, then shuts it down and closes it. Only
// the console server (the socket's owner) closes.
void posConCloseClient(int fd);
int posConHasClient();
// Sends to the client; -1 (and the two standard-output lines) when there is
// no client or the send failed or timed out. A failed or timed-out send drops
// the client: it is shut down (the console server sees the end and closes
// it) and later lines go on as with no client, so a client that stops
// reading holds the log task for one send time-out at most.
int posConSend(const char* data, int length);
constexpr int POS_CON_SEND_TIMEOUT_MS = 2000;

// The log task's queue limit: while the log task is held (at most one send
// time-out), the queued log lines (large sticks) stay within a few MB;
// writers wait at the limit.
constexpr int POS_LOG_QUEUE_LIMIT = 2048;

// Debug-file path: "<$POS_DEBUG_DIR or /tmp>/posDebug-<node name>.txt".
void posDebugPath(char* out, int size);

// ---- timers (postimer) --------------------------------------------------------------
#include "posrbtree.h"

// One pending timer, kept in the task's tree (ordered by deadline seconds,
// deadline microseconds, prim, parameter, entity; all unsigned).
struct PosTimerEntry {
    RbNode node;             // tree bookkeeping (pool link, links, colour, in-use)
    uint64_t sec;            // deadline, seconds since 1970-01-01 UTC
    uint64_t usec;           // deadline microseconds, 0..999999
    uint32_t prim;
    uint32_t entity;         // entity that started it, POS_NO_ENTITY for the task
    uint32_t param;
    uint8_t dataLen;
    PosTimerKey* key;        // key that owns the entry, or nullptr
    uint8_t data[52];
    // Instant the expiry may be sent, in microseconds since 1970: the latest
    // start + delay of the starts sharing the entry, so that no expiry comes
    // earlier than asked even though deadlines have millisecond resolution.
    uint64_t fireUs;
};
// Creates the task's timer lock and condition (called by posCreateTask before
// the task's thread exists, so stop and start never see them uninitialised).
void posTimerInitTask(PosTask* task);
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
