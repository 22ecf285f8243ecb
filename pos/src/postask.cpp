// Task table, task creation and registration, start gates and the per-thread
// binding of a thread to its task (and entity).
#include "posinternal.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sched.h>
#include <sys/syscall.h>
#include <unistd.h>

PosTask* g_posUserTasks[POS_MAX_USER_TASK + 1];
PosTask* g_posSysTasks[POS_SYS_TASK_LAST - POS_SYS_TASK_FIRST + 1];
std::atomic<int> g_posTaskCount{0};
pthread_key_t g_posBindingKey;
pthread_mutex_t g_posRegLock = PTHREAD_MUTEX_INITIALIZER;

static std::atomic<bool> s_keyReady{false};

// Start gates: one per user local id and one per system id 911..916. A task
// held at its gate waits on s_gateCond until its gate opens.
static pthread_mutex_t s_gateLock = PTHREAD_MUTEX_INITIALIZER;
static pthread_cond_t s_gateCond = PTHREAD_COND_INITIALIZER;
static bool s_userGateOpen[POS_MAX_USER_TASK + 1];
static bool s_sysGateOpen[POS_SYS_TASK_LAST - POS_SYS_TASK_FIRST + 1];

static void bindingDestructor(void* p) { free(p); }

void posBindingKeyCreate() {
    if (s_keyReady.load(std::memory_order_acquire)) return;
    if (pthread_key_create(&g_posBindingKey, bindingDestructor) == 0)
        s_keyReady.store(true, std::memory_order_release);
}

PosThreadBinding* posGetBinding() {
    if (!s_keyReady.load(std::memory_order_acquire)) return nullptr;
    return static_cast<PosThreadBinding*>(pthread_getspecific(g_posBindingKey));
}

PosThreadBinding* posBindThread(PosTask* task, PosEntity* entity) {
    if (!s_keyReady.load(std::memory_order_acquire)) return nullptr;
    auto* b = static_cast<PosThreadBinding*>(calloc(1, sizeof(PosThreadBinding)));
    if (!b) return nullptr;
    b->task = task;
    b->entity = entity;
    void* old = pthread_getspecific(g_posBindingKey);
    if (pthread_setspecific(g_posBindingKey, b) != 0) {
        free(b);
        return nullptr;
    }
    free(old);
    return b;
}

static int reduceId(int id) { return id >= 1000 ? id % 1000 : id; }

static PosTask** slotFor(int localId) {
    if (localId >= 1 && localId <= POS_MAX_USER_TASK) return &g_posUserTasks[localId];
    if (localId >= POS_SYS_TASK_FIRST && localId <= POS_SYS_TASK_LAST)
        return &g_posSysTasks[localId - POS_SYS_TASK_FIRST];
    return nullptr;
}

PosTask* posGetTask(int id) {
    PosTask** slot = slotFor(reduceId(id));
    return slot ? __atomic_load_n(slot, __ATOMIC_ACQUIRE) : nullptr;
}

int posGetMyTaskId() {
    PosThreadBinding* b = posGetBinding();
    return (b && b->task) ? static_cast<int>(b->task->globalId) : 0;
}

int posGetNodeId() { return g_posNodeId; }

int posRrPriorityMin() { return sched_get_priority_min(SCHED_RR); }
int posRrPriorityMax() { return sched_get_priority_max(SCHED_RR); }

// ---- gates ----------------------------------------------------------------------

static bool* gateFor(int localId) {
    if (localId >= 1 && localId <= POS_MAX_USER_TASK) return &s_userGateOpen[localId];
    if (localId >= POS_SYS_TASK_FIRST && localId <= POS_SYS_TASK_LAST)
        return &s_sysGateOpen[localId - POS_SYS_TASK_FIRST];
    return nullptr;
}

void posGatesCloseAll() {
    pthread_mutex_lock(&s_gateLock);
    for (bool& g : s_userGateOpen) g = false;
    for (bool& g : s_sysGateOpen) g = false;
    s_sysGateOpen[POS_LOG_TASK_ID - POS_SYS_TASK_FIRST] = true;
    pthread_mutex_unlock(&s_gateLock);
}

void posGatesOpenAll() {
    pthread_mutex_lock(&s_gateLock);
    for (int id = 1; id <= POS_MAX_USER_TASK; id++) {
        if (PosTask* t = posGetTask(id))
            __atomic_fetch_and(&t->stateFlags, ~POS_TASK_HELD, __ATOMIC_RELEASE);
        s_userGateOpen[id] = true;
    }
    for (int id = POS_MGMT_TASK_ID; id <= POS_SYS_TASK_LAST; id++) {
        if (PosTask* t = posGetTask(id))
            __atomic_fetch_and(&t->stateFlags, ~POS_TASK_HELD, __ATOMIC_RELEASE);
        s_sysGateOpen[id - POS_SYS_TASK_FIRST] = true;
    }
    pthread_cond_broadcast(&s_gateCond);
    pthread_mutex_unlock(&s_gateLock);
}

void posGateWait(PosTask* task) {
    if (!task) return;
    pthread_mutex_lock(&s_gateLock);
    bool* gate = gateFor(task->localId);
    while (gate && !*gate) pthread_cond_wait(&s_gateCond, &s_gateLock);
    pthread_mutex_unlock(&s_gateLock);
}

// ---- creation -------------------------------------------------------------------

static void* taskThreadMain(void* arg) {
    auto* t = static_cast<PosTask*>(arg);
    __atomic_store_n(&t->threadId, static_cast<uint32_t>(syscall(SYS_gettid)), __ATOMIC_RELEASE);
    t->entry(t);
    return nullptr;
}

// Actual stack of a thread: the nominal size times the build's multiplier,
// plus headroom, never below the platform minimum. glibc carves the static
// thread-local storage of every loaded library out of the thread's stack, and
// library calls made on task threads (name resolution, the audio and RTP
// libraries) need more than the nominal sizes; displays keep the nominal size.
size_t posStackBytes(int nominal) {
    size_t bytes = static_cast<size_t>(nominal > 0 ? nominal : 0) * POS_STACK_MULT + POS_STACK_HEADROOM;
    if (bytes < static_cast<size_t>(PTHREAD_STACK_MIN)) bytes = PTHREAD_STACK_MIN;
    long page = sysconf(_SC_PAGESIZE);
    if (page > 0) bytes = (bytes + page - 1) / page * page;
    return bytes;
}

int posCreateTask(PosTaskEntry entry, const char* name, int localId, int priority,
                  int queueLimit, int queueArg, int stackSize, int* errOut) {
    if (errOut) *errOut = 0;
    if (!entry) return 0;
    if (!name) name = "";

    PosTask** slot = slotFor(localId);
    if (!slot) {
        posStdout("POS# ERR: Wrong %s's LocalTaskId value(0x%X) [0x00 - 0x%X]\n", name, localId,
                  0xFE);
        return 0;
    }
    if (PosTask* existing = *slot) {
        posStdout("POS# ERR: Already existed Task(%s:%d)\n", existing->name ? existing->name : "",
                  localId);
        return 0;
    }

    auto* t = static_cast<PosTask*>(calloc(1, sizeof(PosTask)));
    char* nameCopy = t ? static_cast<char*>(calloc(1, 21)) : nullptr;
    if (!t || !nameCopy) {
        posStdout("POS# ERR: No More Memory for Task(%s:%d)\n", name, localId);
        free(t);
        *slot = nullptr;
        return 0;
    }
    snprintf(nameCopy, 21, "%.20s", name);
    t->name = nameCopy;
    t->localId = static_cast<uint16_t>(localId);
    t->stateFlags = 0;
    t->globalId = static_cast<uint32_t>(g_posNodeId * 1000 + localId);
    if (priority > 255) priority = 255;
    if (priority < 1) priority = 1;
    t->priority = static_cast<uint8_t>(priority);
    int hi = posRrPriorityMax();
    int lo = posRrPriorityMin();
    int os = ((256 - priority) * hi) / 256;
    if (os < lo) os = lo;
    t->osPriority = static_cast<uint8_t>(os);
    t->entry = entry;

    PosTaskQueue& q = t->queue;
    q.limit = queueLimit;
    q.reserved = queueArg;
    q.owner = t;
    q.mark = 0xAAA5;
    q.flag = 1;
    pthread_mutex_init(&q.lock, nullptr);
    pthread_cond_init(&q.notEmpty, nullptr);
    pthread_cond_init(&q.notFull, nullptr);

    posTimerInitTask(t);

    t->stackSize = static_cast<uint32_t>(stackSize < 50000 ? 50000 : stackSize);
    // Recorded before the thread exists so that readers on other threads
    // never race with the write.
    t->processId = static_cast<uint32_t>(getpid());
    __atomic_store_n(slot, t, __ATOMIC_RELEASE);

    pthread_attr_t attr;
    int rc = pthread_attr_init(&attr);
    if (rc != 0) posStdout("POS# FATAL: PTHREAD_ATTR_INIT\n");
    if (pthread_attr_setstacksize(&attr, posStackBytes(static_cast<int>(t->stackSize))) != 0)
        posStdout("POS# FATAL: PTHREAD_ATTR_SETSTACKSIZE\n");
    if ((rc = pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED)) != 0)
        posStdout("POS# %s:%d FATAL: PTHREAD_ATTR_SETDETACHSTATE(%d)\n", __FILE__, __LINE__, rc);
    if ((rc = pthread_attr_setscope(&attr, PTHREAD_SCOPE_SYSTEM)) != 0)
        posStdout("POS# %s:%d FATAL: PTHREAD_ATTR_SETSCOPE(%d)\n", __FILE__, __LINE__, rc);
    pthread_t th;
    rc = pthread_create(&th, &attr, taskThreadMain, t);
    pthread_attr_destroy(&attr);
    if (rc != 0) {
        posStdout("POS# %s:%d FATAL: PTHREAD_CREATE(ERR:%d)\n", __FILE__, __LINE__, rc);
        return 0;
    }

    posMsecSleep(1);
    g_posTaskCount.fetch_add(1);
    return static_cast<int>(t->globalId);
}

// ---- registration ---------------------------------------------------------------

int posResTask(PosTask* task, const char* author, const char* comment, int major, int minor,
               int patch, const char* date, const char* time) {
    pthread_mutex_lock(&g_posRegLock);
    if (!task) {
        pthread_mutex_unlock(&g_posRegLock);
        posLogPrint("POS# FATAL: posResTask(%s): NULL Args\n", author ? author : "");
        return -1;
    }
    PosThreadBinding* b = posBindThread(task, nullptr);
    if (!b) {
        pthread_mutex_unlock(&g_posRegLock);
        posDebugLog(POS_DEBUG_FATAL, __FILE__, __LINE__, "Error pthread_key");
        posDown(POS_DOWN_RUNTIME);
        return -1;
    }
    task->binding = b;
    if (__atomic_load_n(&task->threadId, __ATOMIC_ACQUIRE) == 0)
        __atomic_store_n(&task->threadId, static_cast<uint32_t>(syscall(SYS_gettid)),
                         __ATOMIC_RELEASE);

    posTimerThreadStart(task);

    PosVersion& v = task->version;
    v.major = static_cast<uint8_t>(major);
    v.minor = static_cast<uint8_t>(minor);
    v.patch = static_cast<uint8_t>(patch);
    snprintf(v.author, sizeof v.author, "%.11s", author ? author : "");
    snprintf(v.comment, sizeof v.comment, "%.15s", comment ? comment : "");
    snprintf(v.dateTime, sizeof v.dateTime, "%s(%s)", date ? date : "", time ? time : "");

    __atomic_store_n(&task->regMark, POS_TASK_REGISTERED, __ATOMIC_RELEASE);
    pthread_mutex_unlock(&g_posRegLock);

    // A timer started right after registration must find its thread ready.
    posTimerWaitReady(task);

    // The log task's gate is open from the start and it serves from the
    // start, so it is never marked held; every other task is.
    if (task->localId != POS_LOG_TASK_ID)
        __atomic_fetch_or(&task->stateFlags, POS_TASK_HELD, __ATOMIC_ACQ_REL);
    posGateWait(task);

    posMsecSleep(1);
    return 0;
}

void posTaskTablesClear() {
    for (auto& s : g_posUserTasks) __atomic_store_n(&s, nullptr, __ATOMIC_RELEASE);
    for (auto& s : g_posSysTasks) __atomic_store_n(&s, nullptr, __ATOMIC_RELEASE);
    g_posTaskCount.store(0);
}
