// Entities: worker threads of a task with a stick queue of their own. The
// task receives sticks addressed to an entity (p1 = entity id) and hands them
// over with posEntityTx; the entity thread takes them with posEntityRx. An
// entity thread is bound to its task and entity, so its allocations belong to
// the task and its timers come back with the entity id in p1/p2.
#include "posconint.h"

#include <cstdio>
#include <cstdlib>
#include <sched.h>

static pthread_mutex_t s_entityLock = PTHREAD_MUTEX_INITIALIZER;
static PosThreadStarter s_starter = pthread_create;

void posEntitySetThreadStarter(PosThreadStarter starter) {
    s_starter = starter ? starter : pthread_create;
}

static void flagsSet(PosEntity* e, uint8_t bits) { __atomic_fetch_or(&e->flags, bits, __ATOMIC_RELAXED); }
static void flagsClear(PosEntity* e, uint8_t bits) {
    __atomic_fetch_and(&e->flags, static_cast<uint8_t>(~bits), __ATOMIC_RELAXED);
}

namespace {
struct EntityStart {
    PosEntityEntry entry;
    PosEntity* entity;
};

void* entityThread(void* arg) {
    EntityStart start = *static_cast<EntityStart*>(arg);
    free(arg);
    start.entry(start.entity);
    return nullptr;
}
}  // namespace

int posEntityCreate(PosEntity* entity, PosEntityEntry entry, uint32_t id, void* data, int stackSize,
                    int priority) {
    (void)priority;   // recorded by nobody: entity threads use the default scheduling
    if (!entity || !entry || !data || stackSize <= 0) return -1;
    if (__atomic_load_n(&entity->mark, __ATOMIC_ACQUIRE) == POS_ENTITY_MARK) return 0;
    PosThreadBinding* b = posGetBinding();
    if (!b || !b->task) return -1;
    if (entity->owner == b->task) return 0;

    PosQueue* queue = static_cast<PosQueue*>(calloc(1, sizeof(PosQueue)));
    EntityStart* start = static_cast<EntityStart*>(malloc(sizeof(EntityStart)));
    if (!queue || !start) {
        free(queue);
        free(start);
        posLogPrint("POS# ERR(%s:%d)\n", __FILE__, __LINE__);
        return -1;
    }
    *entity = PosEntity{};
    entity->data = data;
    entity->id = id;
    entity->owner = b->task;
    entity->queue = queue;
    posQueueInit(queue);
    char qname[16];
    snprintf(qname, sizeof qname, "%d-Q", static_cast<int>(id));
    posQueueSetName(queue, qname);
    pthread_mutex_init(&entity->lock, nullptr);
    pthread_cond_init(&entity->cond, nullptr);
    __atomic_store_n(&entity->mark, POS_ENTITY_MARK, __ATOMIC_RELEASE);

    int stack = stackSize < 50000 ? 50000 : stackSize;
    pthread_attr_t attr;
    if (pthread_attr_init(&attr) != 0) posLogPrint("POS# FATAL: PTHREAD_ATTR_INIT(ENTITY)\n");
    if (pthread_attr_setstacksize(&attr, posStackBytes(stack)) != 0)
        posLogPrint("POS# FATAL: PTHREAD_ATTR_SETSTACKSIZE(ENTITY):%d\n", stack);
    if (pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED) != 0)
        posLogPrint("POS# FATAL: PTHREAD_ATTR_SETDETACHSTATE(ENTITY)\n");
    if (pthread_attr_setscope(&attr, PTHREAD_SCOPE_SYSTEM) != 0)
        posLogPrint("POS# FATAL: pthread_attr_setscope(ENTITY)\n");
    start->entry = entry;
    start->entity = entity;
    int rc = s_starter(&entity->thread, &attr, entityThread, start);
    pthread_attr_destroy(&attr);
    if (rc != 0) {
        // No thread serves this record: undo the creation so that the caller
        // sees the failure and may try again.
        posLogPrint("POS# FATAL: PTHREAD_CREATE(ENTITY:ERR:%d)\n", rc);
        free(start);
        __atomic_store_n(&entity->mark, static_cast<uint16_t>(0), __ATOMIC_RELEASE);
        posQueueClear(queue);
        pthread_cond_destroy(&entity->cond);
        pthread_mutex_destroy(&entity->lock);
        free(queue);
        *entity = PosEntity{};
        return -1;
    }
    sched_yield();
    return 0;
}

PosEntity* posEntityRes(PosEntity* entity) {
    pthread_mutex_lock(&s_entityLock);
    if (!entity) {
        pthread_mutex_unlock(&s_entityLock);
        return nullptr;
    }
    if (__atomic_load_n(&entity->mark, __ATOMIC_ACQUIRE) != POS_ENTITY_MARK) {
        pthread_mutex_unlock(&s_entityLock);
        return entity;
    }
    if (!posBindThread(entity->owner, entity)) {
        pthread_mutex_unlock(&s_entityLock);
        return nullptr;
    }
    pthread_mutex_unlock(&s_entityLock);
    return entity;
}

int posEntityTx(PosEntity* entity, Stick** stickInOut) {
    if (!stickInOut) return -1;
    Stick* stick = *stickInOut;
    int rc = 0;
    if (!stick || !entity)
        rc = -1;
    else if (__atomic_load_n(&entity->mark, __ATOMIC_ACQUIRE) != POS_ENTITY_MARK)
        rc = -2;
    else if (stick->p1 == POS_NO_ENTITY)
        rc = -3;
    if (rc != 0) {
        if (stick) posFreeStick(stickInOut, POS_HERE);
        *stickInOut = nullptr;
        return rc;
    }
    pthread_mutex_lock(&entity->lock);
    int put = posQueuePut(entity->queue, stickInOut);
    pthread_cond_signal(&entity->cond);
    pthread_mutex_unlock(&entity->lock);
    if (put != 0) {
        posFreeStick(stickInOut, POS_HERE);
        *stickInOut = nullptr;
        return -1;
    }
    *stickInOut = nullptr;
    return 0;
}

Stick* posEntityRx(PosEntity* entity) {
    if (!entity || __atomic_load_n(&entity->mark, __ATOMIC_ACQUIRE) != POS_ENTITY_MARK) return nullptr;
    flagsSet(entity, 1);
    pthread_mutex_lock(&entity->lock);
    Stick* stick;
    while ((stick = posQueueGet(entity->queue)) == nullptr) pthread_cond_wait(&entity->cond, &entity->lock);
    pthread_mutex_unlock(&entity->lock);
    stick->owner = entity->owner;
    flagsClear(entity, 1);
    return stick;
}
