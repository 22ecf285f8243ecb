// The runtime's displays for the console operator: the task table (ps / i),
// one task in detail, the version records, the stick pools and timer entries,
// the user-memory classes, the error records and their reset. Pointers are
// printed as fixed-width hexadecimal numbers.
#include "posconint.h"

#include <cinttypes>
#include <cstdio>
#include <cstring>

// ---- user-memory size classes --------------------------------------------------------
// Twelve classes (8 to 16384 bytes) kept for the display; nothing allocates
// from them, so every counter stays 0.
namespace {
struct UsrMemClass {
    int size;
    uint32_t total, busy, avail, in, out;
};
UsrMemClass s_usrMem[12];
pthread_mutex_t s_usrMemLock = PTHREAD_MUTEX_INITIALIZER;

const char* const s_errKindNames[POS_ERR_KINDS] = {
    "Wrong Destination : DTASK:", "Socket Tx Error   : DTASK:", "OS Queue Tx Error :  CODE:",
    "Try Wrong Stick Tx: DTASK:", "Try NULL Stick Tx : DTASK:", "NULL Prim ID      : DTASK:",
};

const char* const s_rule76 =
    "----------------------------------------------------------------------------\n";

uintptr_t ptr(const void* p) { return reinterpret_cast<uintptr_t>(p); }

// Values of a task read under its queue lock, then shown without any lock held
// (logging may itself wait on a queue).
struct TaskView {
    PosTask* task;
    Stick* head;
    Stick* tail;
    int count, peak, limit;
    uint32_t stateFlags;
    char lastError[201];
};

TaskView viewOf(PosTask* t) {
    TaskView v{};
    v.task = t;
    pthread_mutex_lock(&t->queue.lock);
    v.head = t->queue.head;
    v.tail = t->queue.tail;
    v.count = t->queue.count;
    v.peak = t->queue.peak;
    v.limit = t->queue.limit;
    memcpy(v.lastError, t->lastError, sizeof v.lastError);
    v.lastError[sizeof v.lastError - 1] = '\0';
    pthread_mutex_unlock(&t->queue.lock);
    v.stateFlags = __atomic_load_n(&t->stateFlags, __ATOMIC_RELAXED);
    return v;
}

bool hasErrors(const PosTask* t) {
    for (uint32_t c : t->errCount)
        if (c) return true;
    return false;
}

PosTask* sysTask(int localId) { return posGetTask(localId); }
PosTask* userTask(int localId) { return posGetTask(localId); }
uint32_t threadIdOf(const PosTask* t) { return __atomic_load_n(&t->threadId, __ATOMIC_ACQUIRE); }

// One row of the task table up to the error mark.
int psRow(char* row, size_t size, const TaskView& v) {
    const PosTask* t = v.task;
    const char* state = (v.stateFlags & POS_TASK_HELD) ? " SUS" : (v.stateFlags & POS_TASK_PENDING) ? " PND" : " RUN";
    return snprintf(row, size, "%13s %6d %010" PRIXPTR "/%04X/%04X %4d %3d %3d %08X %06X%s%s",
                    t->name ? t->name : "", static_cast<int>(t->globalId), ptr(&t->queue),
                    static_cast<unsigned>(v.count), static_cast<unsigned>(v.peak), t->maxMsgLen, t->priority,
                    t->osPriority, threadIdOf(t), t->stackSize, state, hasErrors(t) ? "+E" : "  ");
}
}  // namespace

void posUsrMemInit() {
    pthread_mutex_lock(&s_usrMemLock);
    for (int i = 0; i < 12; ++i) s_usrMem[i] = UsrMemClass{8 << i, 0, 0, 0, 0, 0};
    pthread_mutex_unlock(&s_usrMemLock);
}

int posPs() {
    posLogPrint("\n ## NODE-ID(%d) TotalNum(%d) ##\n", posGetNodeId(), g_posTaskCount.load());
    posLogPrint("         NAME     ID       Q-ID/ CNT/ PEK MLEN PRI  OS     T-ID STACKS STATE TF\n");
    posLogPrint("------------- ------ -------------------- ---- --- --- -------- ------ ----- --\n");
    char row[256];
    for (int id = 1; id <= POS_MAX_USER_TASK; ++id) {
        PosTask* t = userTask(id);
        if (!t) continue;
        int n = psRow(row, sizeof row, viewOf(t));
        snprintf(row + n, sizeof row - n, " %c%c\n", g_posLogTermSw[id].load() ? 'O' : 'X',
                 g_posLogFileSw[id].load() ? 'O' : 'X');
        posLogPrint("%s", row);
    }
    for (int id = POS_MGMT_TASK_ID; id <= POS_SYS_TASK_LAST; ++id) {
        PosTask* t = sysTask(id);
        if (!t) continue;
        int n = psRow(row, sizeof row, viewOf(t));
        snprintf(row + n, sizeof row - n, "\n");
        posLogPrint("%s", row);
    }
    char lastErr[sizeof g_posLastErr];
    posCopyLastErr(lastErr, sizeof lastErr);   // other threads may be writing it
    if (lastErr[0]) posLogPrint("\n   * LAST-ERR: %s", lastErr);
    return 0;
}

int posDspTask(int id) {
    PosTask* t = posGetTask(id);
    if (!t) {
        posLogPrint("POS# ERR: Wrong LocalTaskId(%d)\n", id);
        return -1;
    }
    TaskView v = viewOf(t);
    posLogPrint("\n## Task: %s ID: %d: ##\n", t->name ? t->name : "", t->localId);
    posLogPrint("- ThreadId: 0x%X   Priority: %d(OS:%d)\n", threadIdOf(t), t->priority, t->osPriority);
    posLogPrint("- Queue(%016" PRIXPTR ") Cur/Max(%d/%d) Root/Last(%016" PRIXPTR "/%016" PRIXPTR ")\n",
                ptr(&t->queue), v.count, v.limit, ptr(v.head), ptr(v.tail));
    posLogPrint("- CurMaxIPCLength(%d from %d)\n", t->maxMsgLen, static_cast<int>(t->maxMsgSrc));
    for (int k = 0; k < POS_ERR_KINDS; ++k)
        posLogPrint("   %s%6d-0x%08X(%s:%d)\n", s_errKindNames[k], static_cast<int>(t->errValue[k]),
                    t->errCount[k], t->errFile[k], static_cast<int>(t->errLine[k]));
    return 0;
}

int posDspVer() {
    posLogPrint("\n** Initiated Time: %s **\n", g_posStartTime);
    posLogPrint("** POS[ %s(%s %s) N(%d) %s(%s:Min:%d-Max:%d) ]\n\n", POS_VERSION_TEXT, POS_BUILD_DATE,
                POS_BUILD_TIME, posGetNodeId(), POS_OS_NAME, POS_SCHED_NAME, posRrPriorityMin(),
                posRrPriorityMax());
    posLogPrint("    TASK NAME TASK ID  Version      Author           Last Updated Comments\n");
    posLogPrint("------------- ------- -------- ----------- ---------------------- --------------\n");
    for (int id = 1; id <= POS_MAX_USER_TASK; ++id) {
        PosTask* t = userTask(id);
        if (!t) continue;
        const PosVersion& ver = t->version;
        posLogPrint("%13s %7d %02d.%02d.%02d %11s %22s %s\n", t->name ? t->name : "",
                    static_cast<int>(t->globalId), ver.major, ver.minor, ver.patch, ver.author, ver.dateTime,
                    ver.comment);
    }
    return 0;
}

int posDspMem() {
    posLogPrint("\n     ITEM           QUEUE-ID   TOTL   AVAL    RUN     SIZE\n");
    posLogPrint("--------- ------------------ ------ ------ ------ --------\n");
    for (auto& pool : g_posPools) {
        pthread_mutex_lock(&pool.lock);
        int created = pool.created;
        pthread_mutex_unlock(&pool.lock);
        int avail = posQueueCount(&pool.freeQ);
        if (avail < 0) avail = 0;
        posLogPrint("    IPC-%c %018" PRIXPTR " %6X %6X %6X %8X\n", pool.letter, ptr(&pool.freeQ),
                    static_cast<unsigned>(created), static_cast<unsigned>(avail),
                    static_cast<unsigned>(created - avail), static_cast<unsigned>(pool.bufferBytes));
    }
    for (int id = 1; id <= POS_MAX_USER_TASK; ++id) {
        PosTask* t = userTask(id);
        if (!t) continue;
        int created = 0, inTree = 0, pooled = 0;
        posTimerStats(t, &created, &inTree, &pooled);
        pthread_mutex_lock(&t->timerLock);
        RbTree* tree = t->timerTree;
        pthread_mutex_unlock(&t->timerLock);
        posLogPrint("%7d-T %018" PRIXPTR " %6X %6X %6X %8X\n", static_cast<int>(t->globalId), ptr(tree),
                    static_cast<unsigned>(created), static_cast<unsigned>(pooled + 1),
                    static_cast<unsigned>(created - (inTree + 1) - pooled), 120u);
    }
    return 0;
}

int posDspUsrMem() {
    posLogPrint("\n SIZE    TOTAL     BUSY    AVAIL       IN      OUT\n");
    posLogPrint("----- -------- -------- -------- -------- --------\n");
    pthread_mutex_lock(&s_usrMemLock);
    UsrMemClass copy[12];
    memcpy(copy, s_usrMem, sizeof copy);
    pthread_mutex_unlock(&s_usrMemLock);
    for (int i = 0; i < 12; ++i) {
        const UsrMemClass& c = copy[i];
        posLogPrint("%5d %08X %08X %08X %08X %08X\n", 8 << i, c.total, c.busy, c.avail, c.in, c.out);
    }
    return 0;
}

int posDspErr(int sel) {
    if (sel != 0) return 0;
    posLogPrint("%s", s_rule76);
    char lastErr[sizeof g_posLastErr];
    posCopyLastErr(lastErr, sizeof lastErr);
    posLogPrint("* System Error: %s\n", lastErr);
    posLogPrint("%s", s_rule76);
    for (int id = 1; id <= POS_MAX_USER_TASK; ++id) {
        PosTask* t = userTask(id);
        if (!t) continue;
        TaskView v = viewOf(t);
        posLogPrint("=== %10s:%8d ========\n", t->name ? t->name : "", t->localId);
        for (int k = 0; k < POS_ERR_KINDS; ++k)
            posLogPrint("      %s%6d-0x%08X(%s:%d)\n", s_errKindNames[k], static_cast<int>(t->errValue[k]),
                        t->errCount[k], t->errFile[k], static_cast<int>(t->errLine[k]));
        if (v.lastError[0]) posLogPrint("      * Last Error: %s", v.lastError);
        posLogPrint("%s", s_rule76);
    }
    return 0;
}

int posClrErr(int sel) {
    if (sel == 0 || sel == 1) {
        for (int id = 1; id <= POS_MAX_USER_TASK; ++id)
            if (PosTask* t = userTask(id)) memset(t->errCount, 0, sizeof t->errCount);
        posLogPrint("User Task's error count was cleared\n");
    }
    if (sel == 0 || sel == 2) {
        for (int id = POS_MGMT_TASK_ID; id <= POS_SYS_TASK_LAST; ++id)
            if (PosTask* t = sysTask(id)) memset(t->errCount, 0, sizeof t->errCount);
        posLogPrint("System Task's error count was cleared\n");
    }
    return 0;
}
