// POS: the task runtime. Tasks (threads with a stick queue), sticks (pooled
// message buffers), plain queues, timers, the log, the remote console and its
// command table, entities (worker threads of a task) and the node table.
//
// Conventions: functions return 0 for success and a negative value for
// failure; creation functions return 0 or nullptr on failure. Operations that
// report a caller's mistake take the caller's file and line as their last two
// arguments (use the POS_HERE macro).
#pragma once

#include <cstddef>
#include <cstdint>
#include <pthread.h>

#define POS_HERE __FILE__, __LINE__

// ---- identities -----------------------------------------------------------
constexpr int POS_NODE_ID_DEFAULT = 99;
constexpr int POS_CONSOLE_PORT_BASE = 7500;        // + node id

constexpr int POS_MAX_USER_TASK = 254;             // local ids 1..254
constexpr int POS_CONSOLE_TASK_ID = 911;
constexpr int POS_MGMT_TASK_ID = 912;
constexpr int POS_LOG_TASK_ID = 914;
constexpr int POS_SCRIPT_TASK_ID = 916;
constexpr int POS_SYS_TASK_FIRST = 911;
constexpr int POS_SYS_TASK_LAST = 916;

// ---- sticks -----------------------------------------------------------------
constexpr int POS_MAX_MSG_LEN = 4150;              // largest data area
constexpr int POS_STICK_HEADROOM = 26;             // bytes before the data area
constexpr uint32_t POS_NO_ENTITY = 0xFFFFFF;       // p1/p2 "not for an entity"
constexpr uint32_t POS_PRIM_LOG = 1;
constexpr uint32_t POS_PRIM_SCRIPT_DELAY = 0xFE000000u;

constexpr uint16_t POS_TAG_LARGE = 0x5A5A;
constexpr uint16_t POS_TAG_MEDIUM = 0x5A5B;
constexpr uint16_t POS_TAG_SMALL = 0x5A5C;
constexpr uint16_t POS_TAG_TINY = 0x5A5D;

constexpr uint8_t POS_STICK_HELD = 0x11;
constexpr uint8_t POS_STICK_QUEUED = 0x22;

// Result codes of posTxMsg / posRxMsg.
constexpr int POS_ERR_NO_TASK = -87;
constexpr int POS_ERR_NO_STICK = -78;
constexpr int POS_ERR_PRIM_ZERO = -86;
constexpr int POS_ERR_LENGTH = -80;
constexpr int POS_ERR_NOT_TASK = -66;

// Shutdown codes accepted by posDown.
constexpr int POS_DOWN_APP = 520;
constexpr int POS_DOWN_RUNTIME = 623;
constexpr int POS_DOWN_SPARE = 721;

struct PosTask;
struct PosPool;
struct PosEntity;
struct PosTimerEntry;
struct RbTree;

// Owner marker of a stick held by no task.
#define POS_OWNER_NONE (reinterpret_cast<PosTask*>(static_cast<uintptr_t>(0x5A5A)))

struct Stick {
    uint32_t primId;
    uint32_t dest;           // global id of the destination task
    uint32_t src;            // global id of the sender (set by the sender)
    uint32_t p1;             // entity address, POS_NO_ENTITY for none
    uint32_t p2;
    uint32_t spare;
    uint8_t reserved[16];
    uint16_t tag;            // pool class
    uint32_t param;          // timer parameter on an expiry
    uint8_t state;           // POS_STICK_HELD or POS_STICK_QUEUED
    Stick* prev;             // plain-queue links
    Stick* next;
    Stick* qnext;            // task-queue link
    PosPool* pool;
    PosTask* owner;          // holding task or POS_OWNER_NONE
    uint16_t length;         // data bytes in use
    uint8_t* buffer;
    uint8_t* data;           // buffer + POS_STICK_HEADROOM
};

// Plain doubly linked stick queue (pool free lists, entity queues).
struct PosQueue {
    int32_t count;
    int32_t peak;
    int32_t bytes;
    uint16_t owner;          // low 16 bits of the creating task's id, 0x5A5A none
    uint16_t mark;           // 0xA555 once initialised
    Stick* head;
    Stick* tail;
    char name[10];
    pthread_mutex_t lock;
};
constexpr uint16_t POS_QUEUE_MARK = 0xA555;

struct PosTaskQueue {
    int32_t limit;
    int32_t reserved;
    int32_t count;
    int32_t peak;
    int32_t sendersWaiting;
    int32_t receiversWaiting;
    PosTask* owner;
    Stick* head;
    Stick* tail;
    pthread_mutex_t lock;
    pthread_cond_t notEmpty;
    pthread_cond_t notFull;
    uint16_t mark;           // 0xAAA5
    uint8_t flag;            // 1
};

struct PosVersion {
    uint8_t major;
    uint8_t minor;
    uint8_t patch;
    char author[12];
    char dateTime[31];
    char comment[16];
};

struct PosThreadBinding {
    PosTask* task;
    PosEntity* entity;
};

constexpr int POS_ERR_KINDS = 6;
constexpr uint32_t POS_TASK_PENDING = 1;   // waiting in receive ("PND")
constexpr uint32_t POS_TASK_HELD = 2;      // held at the start gate ("SUS")
constexpr uint16_t POS_TASK_REGISTERED = 0xAAAA;

struct PosTask {
    uint32_t globalId;
    uint32_t stackSize;
    uint32_t stateFlags;     // POS_TASK_PENDING | POS_TASK_HELD (atomic access)
    uint32_t processId;
    uint32_t threadId;       // gettid() of the task's thread
    uint16_t regMark;        // POS_TASK_REGISTERED once posResTask has run
    uint16_t maxMsgLen;
    uint32_t maxMsgSrc;
    uint16_t localId;
    uint8_t priority;
    uint8_t osPriority;
    char* name;              // at most 20 characters
    uint32_t errCount[POS_ERR_KINDS];
    uint32_t errValue[POS_ERR_KINDS];
    char errFile[POS_ERR_KINDS][31];
    uint32_t errLine[POS_ERR_KINDS];
    PosVersion version;
    PosTaskQueue queue;
    PosThreadBinding* binding;
    // timer state
    RbTree* timerTree;
    PosTimerEntry* timerEarliest;
    pthread_mutex_t timerLock;
    pthread_cond_t timerCond;
    int timerReady;          // atomic access
    char lastError[201];
    void (*entry)(PosTask*);
};

// ---- tasks ------------------------------------------------------------------
using PosTaskEntry = void (*)(PosTask*);

int posCreateTask(PosTaskEntry entry, const char* name, int localId, int priority,
                  int queueLimit, int queueArg, int stackSize, int* errOut);
int posResTask(PosTask* task, const char* author, const char* comment, int major,
               int minor, int patch, const char* date, const char* time);
PosTask* posGetTask(int id);
int posGetMyTaskId();
int posGetNodeId();

// Stack to give a thread whose nominal stack is `nominal` bytes (see postask).
constexpr size_t POS_STACK_HEADROOM = 256 * 1024;
size_t posStackBytes(int nominal);

// ---- sticks -----------------------------------------------------------------
Stick* posAllocStick(int size);
uint8_t* posAllocMsg(uint32_t prim, uint32_t dest, uint32_t p1, uint32_t p2, int size,
                     Stick** stickOut);
uint8_t* posSetMsgHeader(uint32_t prim, uint32_t dest, uint32_t p1, uint32_t p2, Stick* stick);
int posTxMsg(int localId, Stick** stickInOut, const char* file, int line);
uint32_t posRxMsg(Stick** stickOut, uint32_t* sourceOut, int* errOut);
int posFreeStick(Stick** stickInOut, const char* file, int line);

// ---- plain queues -----------------------------------------------------------
int posQueueInit(PosQueue* q);
int posQueueSetName(PosQueue* q, const char* name);
int posQueuePut(PosQueue* q, Stick** stickInOut);
Stick* posQueueGet(PosQueue* q);
int posQueueCount(PosQueue* q);
int posQueueClear(PosQueue* q);

// ---- start-up and shutdown --------------------------------------------------
int posInit(int nodeId);
[[noreturn]] void posStartConsole(const char* nodeName, const char* scriptFile,
                                  int scriptDelayMs, int release);
int posDown(int code);
int posReboot(int code);
int posMsecSleep(int ms);

// ---- timers -----------------------------------------------------------------
constexpr uint16_t POS_TIMER_ARMED = 0x5A5D;
constexpr int POS_TIMER_MAX_DATA = 49;

struct PosTimerKey {
    uint16_t mark;           // POS_TIMER_ARMED while armed
    PosTimerEntry* entry;
    PosTask* owner;
};

int posStartTimer(PosTimerKey* key, uint32_t prim, int ms, uint32_t param, const void* data,
                  int dataLen, const char* file, int line);
int posStopTimer(PosTimerKey* key, const char* file, int line);

// ---- log --------------------------------------------------------------------
void posLogPrint(const char* format, ...) __attribute__((format(printf, 1, 2)));
int posDebugLog(int level, const char* file, int line, const char* text);
int dspMsgStream(const char* name, const void* data, int length, int chunk);
int posDspStream(const void* data, int length);

constexpr int POS_DEBUG_FATAL = 4;
constexpr int POS_DEBUG_ASSRT = 5;

int posLogOn(int sel);
int posLogOff(int sel);
int posLogTerm(int taskId);
int posLogFile(int flag);
int posLogDspTaskId(int flag);
int posLogDspTimeStamp(int flag);
int posLogLevel(int level);

// Test seam: every line the log task takes (prim POS_PRIM_LOG) is also handed
// to this observer, on the log task's thread, before it is routed. sender is
// the global id in the log stick, text the zero-terminated line. Setting
// another observer (or none) waits for a call in progress; after it returns
// the old one is not called again. The observer itself must not set one.
using PosLogObserver = void (*)(uint32_t sender, const char* text, void* ctx);
void posLogSetObserver(PosLogObserver fn, void* ctx);

// ---- remote console and command table -------------------------------------
using PosAnyFn = void (*)();
using PosCmdFn0 = int (*)();
using PosCmdFn1 = int (*)(int);
using PosCmdFn2 = int (*)(int, int);
using PosCmdFn5 = int (*)(int, int, int, int, int);

int posRegCmd0(const char* name, PosCmdFn0 fn);
int posRegCmd1(const char* name, PosCmdFn1 fn);
int posRegCmd2(const char* name, PosCmdFn2 fn);
int posRegCmd5(const char* name, PosCmdFn5 fn);
// General form: fn must take exactly `kind` int arguments (0..12) and return int.
int posAddSymbol(PosAnyFn fn, int kind, const char* name);

int posExecCmd(const char* line, int* valueOut);
void posCmdResult(int code, int value);
// Runs a script file; 0, or -1 when scripts are already nested 8 deep on
// this thread (a script that runs itself stops there).
int posRunScript(const char* fileName);
[[noreturn]] void posConsole(const char* nodeName);
int posConSocketOpen(int port);

// The four fixed shell commands and "reboot" run through this runner
// (default: /bin/sh -c). Tests install a recording runner.
using PosShellRunner = int (*)(const char* command);
void posSetShellRunner(PosShellRunner runner);
int posRunShell(const char* command);

// ---- entities ---------------------------------------------------------------
constexpr uint16_t POS_ENTITY_MARK = 0x55AA;

struct PosEntity {
    pthread_t thread;
    PosQueue* queue;
    pthread_mutex_t lock;
    pthread_cond_t cond;
    PosTask* owner;
    void* data;
    uint32_t id;
    uint16_t mark;           // POS_ENTITY_MARK once created
    uint8_t flags;           // bit 0: waiting in posEntityRx
};

using PosEntityEntry = void (*)(PosEntity*);
int posEntityCreate(PosEntity* entity, PosEntityEntry entry, uint32_t id, void* data,
                    int stackSize, int priority);
PosEntity* posEntityRes(PosEntity* entity);
int posEntityTx(PosEntity* entity, Stick** stickInOut);
Stick* posEntityRx(PosEntity* entity);

// ---- node table -------------------------------------------------------------
struct PosNode;
int posTxMgmtMsg(int type, int value1, int node, int value2);
int posSocketTx(PosNode* node, Stick* stick, int keep);

// ---- displays ---------------------------------------------------------------
int posPs();
int posDspTask(int id);
int posDspVer();
int posDspMem();
int posDspUsrMem();
int posDspErr(int sel);
int posClrErr(int sel);
