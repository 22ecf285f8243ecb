// Per-task timers: one timer thread per task keeps the task's pending timers
// in an ordered tree and queues an expiry stick into the task's queue when the
// earliest deadline passes.
#include "posinternal.h"

#include <cerrno>
#include <cstddef>
#include <cstring>
#include <ctime>

namespace {

constexpr size_t kPayloadOffset = offsetof(PosTimerEntry, sec);
constexpr size_t kPayloadBytes = sizeof(PosTimerEntry) - kPayloadOffset;

void entryCopy(void* dst, const void* src) {
    memcpy(static_cast<char*>(dst) + kPayloadOffset, static_cast<const char*>(src) + kPayloadOffset,
           kPayloadBytes);
}

void entryInit(void* entry) { memset(static_cast<char*>(entry) + kPayloadOffset, 0, kPayloadBytes); }

template <typename T>
int cmpU(T a, T b) {
    return a < b ? -1 : (a > b ? 1 : 0);
}

int entryCompare(const void* pa, const void* pb) {
    auto* a = static_cast<const PosTimerEntry*>(pa);
    auto* b = static_cast<const PosTimerEntry*>(pb);
    if (int c = cmpU(a->sec, b->sec)) return c;
    if (int c = cmpU(a->usec, b->usec)) return c;
    if (int c = cmpU(a->prim, b->prim)) return c;
    if (int c = cmpU(a->param, b->param)) return c;
    return cmpU(a->entity, b->entity);
}

bool keyArmedBy(const PosTimerKey* key, const PosTask* task) {
    return __atomic_load_n(&key->mark, __ATOMIC_ACQUIRE) == POS_TIMER_ARMED &&
           __atomic_load_n(&key->entry, __ATOMIC_RELAXED) != nullptr &&
           __atomic_load_n(&key->owner, __ATOMIC_RELAXED) == task;
}

void keyDisarm(PosTimerKey* key) {
    __atomic_store_n(&key->mark, static_cast<uint16_t>(0), __ATOMIC_RELEASE);
    __atomic_store_n(&key->entry, static_cast<PosTimerEntry*>(nullptr), __ATOMIC_RELAXED);
    __atomic_store_n(&key->owner, static_cast<PosTask*>(nullptr), __ATOMIC_RELAXED);
}

void keyArm(PosTimerKey* key, PosTimerEntry* entry, PosTask* task) {
    __atomic_store_n(&key->entry, entry, __ATOMIC_RELAXED);
    __atomic_store_n(&key->owner, task, __ATOMIC_RELAXED);
    __atomic_store_n(&key->mark, POS_TIMER_ARMED, __ATOMIC_RELEASE);
}

bool timerReady(PosTask* t) { return __atomic_load_n(&t->timerReady, __ATOMIC_ACQUIRE) != 0; }

PosTimerEntry* treeMin(PosTask* t) { return static_cast<PosTimerEntry*>(rbTreeMin(t->timerTree)); }

// The earliest deadline has passed: queue the expiry stick (never waiting for
// queue space), under the timer lock.
void timerExpire(PosTask* task, PosTimerEntry* e) {
    Stick* s = posAllocStick(-static_cast<int>(e->dataLen));
    if (!s) return;
    s->primId = e->prim;
    s->dest = task->localId;
    s->src = task->localId;
    s->p1 = e->entity;
    s->p2 = e->entity;
    s->param = e->param;
    if (e->dataLen) memcpy(s->data, e->data, e->dataLen);

    PosTaskQueue& q = task->queue;
    pthread_mutex_lock(&q.lock);
    if (q.limit <= 0 || q.count < q.limit) {
        s->qnext = nullptr;
        if (q.tail)
            q.tail->qnext = s;
        else
            q.head = s;
        q.tail = s;
        q.count++;
        if (q.count > q.peak) q.peak = q.count;
        if (q.receiversWaiting > 0) pthread_cond_broadcast(&q.notEmpty);
        s->owner = task;
        s->state = POS_STICK_QUEUED;
        pthread_mutex_unlock(&q.lock);
        return;
    }
    snprintf(task->lastError, sizeof task->lastError,
             "POS# ERR: Task(%s): Exceed Max Queue Count(%d) fromposTimer:%d\n",
             task->name ? task->name : "", q.limit, __LINE__);
    pthread_mutex_unlock(&q.lock);
    // The expiry is dropped; its stick goes back to the pool.
    posStickRecycle(s);
}

uint64_t nowMicros() {
    struct timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000000u + static_cast<uint64_t>(ts.tv_nsec) / 1000u;
}

void* timerThreadMain(void* arg) {
    auto* task = static_cast<PosTask*>(arg);
    RbTree* tree = rbTreeInit(sizeof(PosTimerEntry), 0, entryCopy, entryCompare, entryInit);
    if (!tree) {
        posLogPrint("POS# FATAL: tbTreeInit\n");
        posExit(1);
    }
    pthread_mutex_lock(&task->timerLock);
    task->timerTree = tree;
    pthread_mutex_unlock(&task->timerLock);
    __atomic_store_n(&task->timerReady, 1, __ATOMIC_RELEASE);

    for (;;) {
        pthread_mutex_lock(&task->timerLock);
        while (!task->timerEarliest) pthread_cond_wait(&task->timerCond, &task->timerLock);
        PosTimerEntry* e = task->timerEarliest;
        uint64_t deadline = e->sec * 1000000u + e->usec;
        if (e->fireUs > deadline) deadline = e->fireUs;
        // The clock decides, not the wait's result: an entry that went back
        // to the pool and came back as the earliest under the same address
        // must not fire at the old deadline.
        if (nowMicros() >= deadline) {
            if (e->key) keyDisarm(e->key);
            timerExpire(task, e);
            rbTreeRemove(task->timerTree, e);
            task->timerEarliest = treeMin(task);
        } else {
            struct timespec ts;
            ts.tv_sec = static_cast<time_t>(deadline / 1000000u);
            ts.tv_nsec = static_cast<long>(deadline % 1000000u) * 1000L;
            pthread_cond_timedwait(&task->timerCond, &task->timerLock, &ts);
        }
        pthread_mutex_unlock(&task->timerLock);
    }
    return nullptr;
}

}  // namespace

void posTimerInitTask(PosTask* task) {
    pthread_mutex_init(&task->timerLock, nullptr);
    pthread_condattr_t ca;
    pthread_condattr_init(&ca);
    pthread_condattr_setclock(&ca, CLOCK_REALTIME);
    pthread_cond_init(&task->timerCond, &ca);
    pthread_condattr_destroy(&ca);
}

int posTimerThreadStart(PosTask* task) {
    if (!task) return -1;
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setstacksize(&attr, posStackBytes(50000));
    if (pthread_attr_setscope(&attr, PTHREAD_SCOPE_SYSTEM) != 0)
        posLogPrint("POS# FATAL: pthread_attr_setscope(Timer)\n");
    if (pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED) != 0)
        posLogPrint("POS# FATAL: PTHREAD_ATTR_SETDETACHSTATE(ENTITY)\n");
    pthread_t th;
    int rc = pthread_create(&th, &attr, timerThreadMain, task);
    pthread_attr_destroy(&attr);
    return rc == 0 ? 0 : -1;
}

int posTimerWaitReady(PosTask* task) {
    for (int i = 0; i < 1000; i++) {
        if (timerReady(task)) return 0;
        posMsecSleep(1);
    }
    return timerReady(task) ? 0 : -1;
}

void posTimerStats(PosTask* task, int* created, int* inTree, int* pooled) {
    RbTree* tree = (task && timerReady(task)) ? task->timerTree : nullptr;
    rbTreeStats(tree, created, inTree, pooled);
}

int posStartTimer(PosTimerKey* key, uint32_t prim, int ms, uint32_t param, const void* data,
                  int dataLen, const char* file, int line) {
    if (!file) file = "";
    if (prim == 0 || ms < 1 || (data && dataLen > POS_TIMER_MAX_DATA)) {
        posLogPrint("POS# ERR: posStartTimer: NULL PrimId(0x%X) or TimeValue(%d) or "
                    "ExceedDataLen(%d) from %s:%d\n",
                    prim, ms, dataLen, file, line);
        return -1;
    }
    PosThreadBinding* b = posGetBinding();
    if (!b || !b->task) {
        posLogPrint("POS# ERR: posStartTimer: NULL pKey from %s:%d 0x%X \n", file, line, prim);
        return -1;
    }
    PosTask* task = b->task;
    if (task->localId == POS_CONSOLE_TASK_ID) {
        posLogPrint("POS# ERR: posStartTimer: TIMER Can't start in CONSOLE Task from %s:%d\n", file,
                    line);
        return -1;
    }
    if (!timerReady(task)) {
        posLogPrint("POS# ERR: posStartTimer: TIMER Task is not ready: from %s:%d\n", file, line);
        return -1;
    }

    PosTimerEntry tmpl;
    memset(&tmpl, 0, sizeof tmpl);
    tmpl.prim = prim;
    tmpl.entity = b->entity ? b->entity->id : POS_NO_ENTITY;
    tmpl.param = param;
    if (data && dataLen >= 1) {
        tmpl.dataLen = static_cast<uint8_t>(dataLen);
        memcpy(tmpl.data, data, static_cast<size_t>(dataLen));
    }

    struct timespec now;
    if (clock_gettime(CLOCK_REALTIME, &now) != 0) {
        posLogPrint("POS# FAULT: clock_gettime\n");
        posDebugLog(POS_DEBUG_FATAL, __FILE__, __LINE__, "Error clock_gettime");
        posExit(1);
    }
    // Deadlines have millisecond resolution (the clock's milliseconds); the
    // expiry itself waits for the exact start + delay.
    uint64_t nowUsec = static_cast<uint64_t>(now.tv_nsec / 1000000) * 1000u;
    tmpl.sec = static_cast<uint64_t>(now.tv_sec) + static_cast<uint64_t>(ms / 1000);
    tmpl.usec = static_cast<uint64_t>(ms % 1000) * 1000u + nowUsec;
    if (tmpl.usec >= 1000000u) {
        tmpl.sec += tmpl.usec / 1000000u;
        tmpl.usec %= 1000000u;
    }
    tmpl.fireUs = static_cast<uint64_t>(now.tv_sec) * 1000000u +
                  static_cast<uint64_t>(now.tv_nsec) / 1000u + static_cast<uint64_t>(ms) * 1000u;

    bool wake = false;
    pthread_mutex_lock(&task->timerLock);
    if (key && keyArmedBy(key, task)) {
        PosTimerEntry* old = key->entry;
        // Only the key the entry belongs to may remove it: an entry shared by
        // several starts stays for the key that took it over.
        if (old->node.inUse == RB_IN_USE && old->key == key) {
            if (old == task->timerEarliest) {
                wake = true;
                task->timerEarliest =
                    static_cast<PosTimerEntry*>(rbTreeNext(task->timerTree, old));
            }
            rbTreeRemove(task->timerTree, old);
        }
        keyDisarm(key);
    }
    auto* e = static_cast<PosTimerEntry*>(rbTreeInsert(task->timerTree, &tmpl));
    if (!e) {
        if (wake) pthread_cond_broadcast(&task->timerCond);
        pthread_mutex_unlock(&task->timerLock);
        return -1;
    }
    // A start sharing an existing entry must not make it fire early.
    if (e->fireUs < tmpl.fireUs) e->fireUs = tmpl.fireUs;
    if (key) {
        e->key = key;
        keyArm(key, e, task);
    }
    PosTimerEntry* min = treeMin(task);
    if (min != task->timerEarliest) wake = true;
    task->timerEarliest = min;
    if (wake) pthread_cond_broadcast(&task->timerCond);
    pthread_mutex_unlock(&task->timerLock);
    return 0;
}

int posStopTimer(PosTimerKey* key, const char* file, int line) {
    if (!file) file = "";
    if (!key || __atomic_load_n(&key->entry, __ATOMIC_RELAXED) == nullptr ||
        __atomic_load_n(&key->owner, __ATOMIC_RELAXED) == nullptr ||
        __atomic_load_n(&key->mark, __ATOMIC_ACQUIRE) != POS_TIMER_ARMED)
        return 0;
    PosThreadBinding* b = posGetBinding();
    if (!b || !b->task) return -1;
    PosTask* task = b->task;
    if (!timerReady(task)) return 0;

    pthread_mutex_lock(&task->timerLock);
    if (!keyArmedBy(key, task)) {
        pthread_mutex_unlock(&task->timerLock);
        return 0;
    }
    PosTimerEntry* e = key->entry;
    keyDisarm(key);
    if (e->node.inUse != RB_IN_USE) {
        posLogPrint("POS# ERR:1: posStopTimer: from %s:%d\n", file, line);
        pthread_mutex_unlock(&task->timerLock);
        return 0;
    }
    if (e->key != key) {
        // The entry now belongs to another key (an equal start took it over):
        // that timer stays.
        pthread_mutex_unlock(&task->timerLock);
        return 0;
    }
    bool wake = e == task->timerEarliest;
    rbTreeRemove(task->timerTree, e);
    task->timerEarliest = treeMin(task);
    if (wake) pthread_cond_broadcast(&task->timerCond);
    pthread_mutex_unlock(&task->timerLock);
    return 0;
}
