// Sticks: the four size-class pools, allocation, send, receive and release.
// Sticks are created on demand and never returned to the heap; a released
// stick waits on its pool's free queue for the next allocation of its class.
#include "posinternal.h"

#include <cstdlib>
#include <cstring>

PosPool g_posPools[POS_POOL_COUNT];

namespace {

struct PoolClass {
    uint16_t tag;
    int bufferBytes;
    char letter;
    const char* name;
};

// Buffer = 26 bytes of headroom + the class's largest data size + 1.
constexpr PoolClass kClasses[POS_POOL_COUNT] = {
    {POS_TAG_LARGE, 4177, 'L', "SYS-LQ"},
    {POS_TAG_MEDIUM, 1067, 'M', "SYS-MQ"},
    {POS_TAG_SMALL, 557, 'S', "SYS-SQ"},
    {POS_TAG_TINY, 77, 'T', "SYS-TQ"},
};
enum { kLarge = 0, kMedium = 1, kSmall = 2, kTiny = 3 };

PosPool* poolForTag(uint16_t tag) {
    for (auto& p : g_posPools)
        if (p.tag == tag) return &p;
    return nullptr;
}

// The stick's pool when its tag names one of the four classes.
PosPool* poolOf(const Stick* s) {
    PosPool* p = s->pool;
    if (p >= g_posPools && p < g_posPools + POS_POOL_COUNT && p->tag == s->tag) return p;
    return poolForTag(s->tag);
}

bool ownerIsTask(const PosTask* t) { return t && t != POS_OWNER_NONE; }

}  // namespace

void posPoolsInit() {
    for (int i = 0; i < POS_POOL_COUNT; i++) {
        PosPool& p = g_posPools[i];
        memset(&p, 0, sizeof p);
        pthread_mutex_init(&p.lock, nullptr);
        p.tag = kClasses[i].tag;
        p.bufferBytes = kClasses[i].bufferBytes;
        p.letter = kClasses[i].letter;
        posQueueInit(&p.freeQ);
        posQueueSetName(&p.freeQ, kClasses[i].name);
    }
}

Stick* posAllocStick(int size) {
    if (size > POS_MAX_MSG_LEN || size < -50) return nullptr;

    PosTask* owner = POS_OWNER_NONE;
    if (PosThreadBinding* b = posGetBinding()) {
        if (b->task &&
            __atomic_load_n(&b->task->regMark, __ATOMIC_ACQUIRE) == POS_TASK_REGISTERED)
            owner = b->task;
    }

    int cls;
    int length;
    if (size <= 0) {
        cls = kTiny;
        length = -size;
    } else if (size <= 530) {
        cls = kSmall;
        length = size;
    } else if (size <= 1040) {
        cls = kMedium;
        length = size;
    } else {
        cls = kLarge;
        length = size;
    }
    PosPool* pool = &g_posPools[cls];

    Stick* s = posQueueGet(&pool->freeQ);
    if (!s) {
        s = static_cast<Stick*>(calloc(1, sizeof(Stick)));
        if (!s) return nullptr;
        s->buffer = static_cast<uint8_t*>(calloc(1, pool->bufferBytes));
        if (!s->buffer) {
            free(s);
            return nullptr;
        }
        s->tag = pool->tag;
        pthread_mutex_lock(&pool->lock);
        pool->created++;
        pthread_mutex_unlock(&pool->lock);
    }
    s->pool = pool;
    s->owner = owner;
    s->prev = s->next = s->qnext = nullptr;
    s->primId = 0;
    s->dest = 0;
    s->src = 0;
    memset(s->reserved, 0, sizeof s->reserved);
    s->state = POS_STICK_HELD;
    s->data = s->buffer + POS_STICK_HEADROOM;
    s->p1 = POS_NO_ENTITY;
    s->p2 = POS_NO_ENTITY;
    s->param = 0;
    s->length = static_cast<uint16_t>(length);
    return s;
}

uint8_t* posSetMsgHeader(uint32_t prim, uint32_t dest, uint32_t p1, uint32_t p2, Stick* stick) {
    if (!stick || stick->state != POS_STICK_HELD) return nullptr;
    stick->primId = prim;
    stick->dest = dest;
    stick->p1 = p1;
    stick->p2 = p2;
    stick->src = 0;
    return stick->data;
}

uint8_t* posAllocMsg(uint32_t prim, uint32_t dest, uint32_t p1, uint32_t p2, int size,
                     Stick** stickOut) {
    Stick* s = posAllocStick(size);
    if (!s) return nullptr;
    uint8_t* data = posSetMsgHeader(prim, dest, p1, p2, s);
    if (stickOut) *stickOut = s;
    return data;
}

void posTaskQueueAppend(PosTask* dest, Stick* stick, const char* file, int line) {
    PosTaskQueue& q = dest->queue;
    pthread_mutex_lock(&q.lock);
    // A limit of 0 or less would block every sender for good: no limit then.
    while (q.limit > 0 && q.count >= q.limit) {
        snprintf(dest->lastError, sizeof dest->lastError,
                 "POS# ERR: Task(%s): Exceed Max Queue Count(%d) from %s:%d\n",
                 dest->name ? dest->name : "", q.limit, file ? file : "", line);
        q.sendersWaiting++;
        pthread_cond_wait(&q.notFull, &q.lock);
        q.sendersWaiting--;
    }
    stick->qnext = nullptr;
    if (q.tail)
        q.tail->qnext = stick;
    else
        q.head = stick;
    q.tail = stick;
    q.count++;
    if (q.count > q.peak) q.peak = q.count;
    bool wake = q.receiversWaiting > 0;
    stick->owner = dest;
    stick->state = POS_STICK_QUEUED;
    pthread_mutex_unlock(&q.lock);
    // Woken after the unlock so that the receiver does not wake into a held
    // lock; it re-checks the queue under the lock, so no wake-up is lost.
    if (wake) pthread_cond_broadcast(&q.notEmpty);
}

int posTxMsg(int localId, Stick** stickInOut, const char* file, int line) {
    if (!file) file = "";
    PosTask* dest = posGetTask(localId);
    if (!dest) {
        posLogPrint("POS# ERR: Wrong LOCAL Task ID(%d) from %s:%d\n", localId, file, line);
        return POS_ERR_NO_TASK;
    }
    if (!stickInOut || !*stickInOut) {
        posLogPrint("POS# ERR: NULL pStick from %s:%d\n", file, line);
        return POS_ERR_NO_STICK;
    }
    Stick* s = *stickInOut;
    s->dest = static_cast<uint32_t>(g_posNodeId * 1000 + (localId >= 1000 ? localId % 1000 : localId));
    if (s->primId == 0) {
        posLogPrint("POS# FATAL: Wrong PrimId(0x%08X) from %s:%d\n", s->primId, file, line);
        return POS_ERR_PRIM_ZERO;
    }
    if (s->length > POS_MAX_MSG_LEN) {
        posLogPrint("POS# FATAL: Wrong Length(%d) from %s:%d\n", s->length, file, line);
        return POS_ERR_LENGTH;
    }
    if (__atomic_load_n(&dest->regMark, __ATOMIC_ACQUIRE) != POS_TASK_REGISTERED) {
        // Not deliverable yet: the stick goes back to its pool, not lost.
        posStickRecycle(s);
        *stickInOut = nullptr;
        return 0;
    }
    posTaskQueueAppend(dest, s, file, line);
    *stickInOut = nullptr;
    return 0;
}

uint32_t posRxMsg(Stick** stickOut, uint32_t* sourceOut, int* errOut) {
    if (errOut) *errOut = 0;
    PosThreadBinding* b = posGetBinding();
    if (!b || !b->task) {
        if (errOut) *errOut = POS_ERR_NOT_TASK;
        return 0;
    }
    PosTask* t = b->task;
    bool userTask = t->localId >= 1 && t->localId <= POS_MAX_USER_TASK;
    if (userTask && (__atomic_load_n(&t->stateFlags, __ATOMIC_ACQUIRE) & POS_TASK_HELD))
        posGateWait(t);

    PosTaskQueue& q = t->queue;
    pthread_mutex_lock(&q.lock);
    bool waited = false;
    while (q.count == 0 || !q.head) {
        q.receiversWaiting++;
        if (!waited) __atomic_fetch_or(&t->stateFlags, POS_TASK_PENDING, __ATOMIC_RELAXED);
        waited = true;
        pthread_cond_wait(&q.notEmpty, &q.lock);
        q.receiversWaiting--;
    }
    if (waited) __atomic_fetch_and(&t->stateFlags, ~POS_TASK_PENDING, __ATOMIC_RELAXED);
    Stick* s = q.head;
    q.head = s->qnext;
    s->qnext = nullptr;
    s->owner = t;
    q.count--;
    if (!q.head) {
        q.tail = nullptr;
        q.count = 0;
    }
    if (q.sendersWaiting > 0) pthread_cond_broadcast(&q.notFull);
    s->state = POS_STICK_HELD;
    pthread_mutex_unlock(&q.lock);

    if (sourceOut) *sourceOut = s->src;
    if (userTask && s->length > __atomic_load_n(&t->maxMsgLen, __ATOMIC_RELAXED)) {
        __atomic_store_n(&t->maxMsgLen, s->length, __ATOMIC_RELAXED);
        __atomic_store_n(&t->maxMsgSrc, s->src, __ATOMIC_RELAXED);
    }
    if (stickOut) *stickOut = s;
    return s->primId;
}

void posStickRecycle(Stick* stick) {
    if (!stick) return;
    PosPool* pool = stick->pool ? stick->pool : poolForTag(stick->tag);
    if (!pool) return;
    stick->length = 0;
    Stick* s = stick;
    if (posQueuePut(&pool->freeQ, &s) != 0) {
        stick->state = POS_STICK_HELD;
        posSetLastErr("Trying Free Wrong STICK form %s:%d\n", __FILE__, __LINE__);
        posAssertFail(__FILE__, __LINE__);
    }
}

int posFreeStick(Stick** stickInOut, const char* file, int line) {
    if (!stickInOut || !*stickInOut) return 1;
    Stick* s = *stickInOut;
    if (s->state != POS_STICK_HELD) return 2;
    if (ownerIsTask(s->owner)) {
        PosThreadBinding* b = posGetBinding();
        if (b && b->task != s->owner) {
            *stickInOut = nullptr;
            return 3;
        }
    }
    PosPool* pool = poolOf(s);
    if (!pool) {
        *stickInOut = nullptr;
        return 4;
    }
    s->length = 0;
    Stick* put = s;
    if (posQueuePut(&pool->freeQ, &put) != 0) {
        s->state = POS_STICK_HELD;
        *stickInOut = nullptr;
        posSetLastErr("Trying Free Wrong STICK form %s:%d\n", file ? file : "", line);
        posAssertFail(__FILE__, __LINE__);
    }
    *stickInOut = nullptr;
    return 0;
}
