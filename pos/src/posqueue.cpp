// Plain doubly linked stick queues (pool free lists, entity queues) and the
// runtime-wide error text they and the stick release write into.
#include "posinternal.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

char g_posLastErr[256];
static pthread_mutex_t s_lastErrLock = PTHREAD_MUTEX_INITIALIZER;

void posSetLastErr(const char* format, ...) {
    pthread_mutex_lock(&s_lastErrLock);
    va_list ap;
    va_start(ap, format);
    vsnprintf(g_posLastErr, sizeof g_posLastErr, format, ap);
    va_end(ap);
    pthread_mutex_unlock(&s_lastErrLock);
}

void posCopyLastErr(char* out, int size) {
    if (!out || size <= 0) return;
    pthread_mutex_lock(&s_lastErrLock);
    snprintf(out, static_cast<size_t>(size), "%s", g_posLastErr);
    pthread_mutex_unlock(&s_lastErrLock);
}

static bool queueValid(const PosQueue* q) {
    return q && __atomic_load_n(&q->mark, __ATOMIC_ACQUIRE) == POS_QUEUE_MARK;
}

// Owner value of a queue created by the calling thread: the low 16 bits of its
// registered task's global id, or 0x5A5A outside a task.
static uint16_t callerQueueOwner() {
    PosThreadBinding* b = posGetBinding();
    if (b && b->task && __atomic_load_n(&b->task->regMark, __ATOMIC_ACQUIRE) == POS_TASK_REGISTERED)
        return static_cast<uint16_t>(b->task->globalId & 0xFFFF);
    return 0x5A5A;
}

int posQueueInit(PosQueue* q) {
    if (!q) {
        posLogPrint("POS# ERR: NULL Queue\n");
        return -1;
    }
    if (q->mark == POS_QUEUE_MARK) {
        posQueueClear(q);
        return 0;
    }
    memset(q, 0, sizeof *q);
    q->owner = callerQueueOwner();
    pthread_mutex_init(&q->lock, nullptr);
    __atomic_store_n(&q->mark, POS_QUEUE_MARK, __ATOMIC_RELEASE);
    return 0;
}

int posQueueSetName(PosQueue* q, const char* name) {
    if (!queueValid(q) || !name) return -1;
    pthread_mutex_lock(&q->lock);
    snprintf(q->name, sizeof q->name, "%.9s", name);
    pthread_mutex_unlock(&q->lock);
    return 0;
}

int posQueuePut(PosQueue* q, Stick** stickInOut) {
    if (!queueValid(q) || !stickInOut || !*stickInOut) {
        posSetLastErr("Abnormal Queue or Null Stick(%s:%d)\n", __FILE__, __LINE__);
        return -1;
    }
    Stick* s = *stickInOut;
    pthread_mutex_lock(&q->lock);
    s->state = POS_STICK_QUEUED;
    s->next = nullptr;
    s->qnext = nullptr;
    s->prev = q->tail;
    if (q->tail)
        q->tail->next = s;
    else
        q->head = s;
    q->tail = s;
    q->count++;
    q->bytes += s->length;
    if (q->count > q->peak) q->peak = q->count;
    *stickInOut = nullptr;
    pthread_mutex_unlock(&q->lock);
    return 0;
}

Stick* posQueueGet(PosQueue* q) {
    if (!queueValid(q)) return nullptr;
    pthread_mutex_lock(&q->lock);
    Stick* s = q->head;
    if (!s) {
        pthread_mutex_unlock(&q->lock);
        return nullptr;
    }
    if (s == q->tail) {
        q->head = q->tail = nullptr;
    } else {
        if (s->prev) {
            // A linked head with a predecessor means the list is corrupt.
            pthread_mutex_unlock(&q->lock);
            posAssertFail(__FILE__, __LINE__);
        }
        q->head = s->next;
        q->head->prev = nullptr;
    }
    if (q->count > 0) {
        q->count--;
        q->bytes -= s->length;
    }
    if (!q->head) {
        if (q->count < 0) {
            q->count = 0;
            posSetLastErr("WARN(%s:%d)\n", __FILE__, __LINE__);
        }
        if (q->bytes < 0) q->bytes = 0;
    }
    s->prev = s->next = nullptr;
    PosTask* owner = POS_OWNER_NONE;
    if (q->owner <= 255) {
        PosTask* t = posGetTask(q->owner);
        if (t) owner = t;
    }
    s->owner = owner;
    s->state = POS_STICK_HELD;
    pthread_mutex_unlock(&q->lock);
    return s;
}

int posQueueCount(PosQueue* q) {
    if (!queueValid(q)) return -1;
    pthread_mutex_lock(&q->lock);
    if (q->count < 0) {
        q->count = 0;
        posSetLastErr("WARN(%s:%d)\n", __FILE__, __LINE__);
    }
    int n = q->count;
    pthread_mutex_unlock(&q->lock);
    return n;
}

int posQueueClear(PosQueue* q) {
    if (!queueValid(q)) {
        posSetLastErr("Abnormal Queue(%s:%d)\n", __FILE__, __LINE__);
        return -1;
    }
    // Detach the whole list first: freeing a stick may put it back into this
    // very queue (a pool's free list), which must not loop forever.
    pthread_mutex_lock(&q->lock);
    Stick* s = q->head;
    q->head = q->tail = nullptr;
    q->count = 0;
    q->bytes = 0;
    pthread_mutex_unlock(&q->lock);
    while (s) {
        Stick* next = s->next;
        s->prev = s->next = nullptr;
        s->state = POS_STICK_HELD;
        s->owner = POS_OWNER_NONE;
        Stick* f = s;
        posFreeStick(&f, __FILE__, __LINE__);
        s = next;
    }
    return 0;
}
