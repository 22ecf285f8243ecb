// Entities: creation, hand-over from the task, refusals, timer expiries that
// come back through the task, and a thread that cannot start.
#include "testsupport.h"

#include <atomic>
#include <cerrno>
#include <mutex>
#include <vector>

using namespace contest;

namespace {

constexpr uint32_t PRIM_DATA = 0x7E000010;
constexpr uint32_t PRIM_START_TIMER = 0x7E000011;
constexpr uint32_t PRIM_EXPIRY = 0x7E000012;
constexpr uint32_t ENTITY_ID = 7;

struct Seen {
    uint32_t prim, p1, p2, param;
    PosTask* owner;
    int myTaskId;
};

struct EntityCtx {
    std::atomic<int> started{0};
    std::mutex m;
    std::condition_variable cv;
    std::vector<Seen> seen;
    int timerResult = 99;
};

void entityBody(PosEntity* e) {
    auto* ctx = static_cast<EntityCtx*>(e->data);
    ctx->started.fetch_add(1);
    if (posEntityRes(e) != e) return;
    for (;;) {
        Stick* s = posEntityRx(e);
        if (!s) return;
        if (s->primId == PRIM_START_TIMER) {
            int rc = posStartTimer(nullptr, PRIM_EXPIRY, 20, 0xABC, nullptr, 0, POS_HERE);
            std::lock_guard<std::mutex> g(ctx->m);
            ctx->timerResult = rc;
        }
        {
            std::lock_guard<std::mutex> g(ctx->m);
            ctx->seen.push_back({s->primId, s->p1, s->p2, s->param, s->owner, posGetMyTaskId()});
            ctx->cv.notify_all();
        }
        posFreeStick(&s, POS_HERE);
    }
}

bool waitSeen(EntityCtx& ctx, size_t n, int ms = 5000) {
    std::unique_lock<std::mutex> g(ctx.m);
    return ctx.cv.wait_for(g, std::chrono::milliseconds(ms), [&] { return ctx.seen.size() >= n; });
}

bool waitTx(TestTask* t, size_t n, int ms = 5000) {
    std::unique_lock<std::mutex> g(t->m);
    return t->cv.wait_for(g, std::chrono::milliseconds(ms), [&] { return t->txResults.size() >= n; });
}

int sendToTask(int localId, uint32_t prim, uint32_t p1) {
    Stick* s = nullptr;
    if (!posAllocMsg(prim, 0, p1, p1, 4, &s)) return -999;
    return posTxMsg(localId, &s, POS_HERE);
}

void* g_kept[64];
int g_keptCount = 0;

int failingStarter(pthread_t*, const pthread_attr_t*, void* (*)(void*), void*) { return EAGAIN; }

class ConEntity : public Runtime {
protected:
    void SetUp() override {
        Runtime::SetUp();
        task = startTestTask("ENT", 83);
        ASSERT_NE(nullptr, task);
    }
    TestTask* task = nullptr;
    // Entities live as long as the process: their records outlive the test
    // (kept reachable so that leak checkers see them as owned).
    template <class T>
    static T& keep(T* p) {
        if (g_keptCount < 64) g_kept[g_keptCount++] = p;
        return *p;
    }
    PosEntity& entity = keep(new PosEntity{});
    EntityCtx& ctx = keep(new EntityCtx);
};

}  // namespace

TEST_F(ConEntity, CreateTwiceStartsOneThread) {
    int r1 = -9, r2 = -9;
    ASSERT_TRUE(runOnTask(83, [&] {
        r1 = posEntityCreate(&entity, entityBody, ENTITY_ID, &ctx, 1000, 0);
        r2 = posEntityCreate(&entity, entityBody, ENTITY_ID, &ctx, 1000, 0);
    }));
    EXPECT_EQ(0, r1);
    EXPECT_EQ(0, r2);
    EXPECT_EQ(POS_ENTITY_MARK, entity.mark);
    EXPECT_EQ(ENTITY_ID, entity.id);
    EXPECT_EQ(posGetTask(83), entity.owner);
    EXPECT_STREQ("7-Q", entity.queue->name);
    // Stick addressed to the entity reaches it through the task, owned by the task.
    task->entity = &entity;
    ASSERT_EQ(0, sendToTask(83, PRIM_DATA, ENTITY_ID));
    ASSERT_TRUE(waitSeen(ctx, 1));
    EXPECT_EQ(PRIM_DATA, ctx.seen[0].prim);
    EXPECT_EQ(posGetTask(83), ctx.seen[0].owner);
    EXPECT_EQ(99083, ctx.seen[0].myTaskId);
    EXPECT_EQ(1, ctx.started.load());
    posMsecSleep(100);
    EXPECT_EQ(1, ctx.started.load());
}

TEST_F(ConEntity, CreationIsRefusedOutsideATaskAndForBadArguments) {
    EXPECT_EQ(-1, posEntityCreate(&entity, entityBody, 1, &ctx, 50000, 0));   // test thread: no task
    int r[4];
    ASSERT_TRUE(runOnTask(83, [&] {
        r[0] = posEntityCreate(nullptr, entityBody, 1, &ctx, 50000, 0);
        r[1] = posEntityCreate(&entity, nullptr, 1, &ctx, 50000, 0);
        r[2] = posEntityCreate(&entity, entityBody, 1, nullptr, 50000, 0);
        r[3] = posEntityCreate(&entity, entityBody, 1, &ctx, 0, 0);
    }));
    for (int v : r) EXPECT_EQ(-1, v);
    EXPECT_EQ(0, ctx.started.load());
}

TEST_F(ConEntity, HandOverRefusalsFreeTheStick) {
    ASSERT_TRUE(runOnTask(83, [&] { ASSERT_EQ(0, posEntityCreate(&entity, entityBody, ENTITY_ID, &ctx, 50000, 0)); }));
    PosPool& tiny = g_posPools[3];
    // No stick, no entity, entity not created, p1 = 0xFFFFFF.
    Stick* none = nullptr;
    EXPECT_EQ(-1, posEntityTx(&entity, &none));
    Stick* s = posAllocStick(-4);
    ASSERT_NE(nullptr, s);
    int freeBefore = posQueueCount(&tiny.freeQ);
    EXPECT_EQ(-1, posEntityTx(nullptr, &s));
    EXPECT_EQ(nullptr, s);
    EXPECT_EQ(freeBefore + 1, posQueueCount(&tiny.freeQ));

    PosEntity blank{};
    s = posAllocStick(-4);
    s->p1 = ENTITY_ID;
    EXPECT_EQ(-2, posEntityTx(&blank, &s));
    EXPECT_EQ(nullptr, s);

    s = posAllocStick(-4);
    ASSERT_EQ(POS_NO_ENTITY, s->p1);
    freeBefore = posQueueCount(&tiny.freeQ);
    EXPECT_EQ(-3, posEntityTx(&entity, &s));
    EXPECT_EQ(nullptr, s);
    EXPECT_EQ(freeBefore + 1, posQueueCount(&tiny.freeQ));

    // Through the task: p1 0xFFFFFF is not for the entity (the harness only
    // hands over addressed sticks), an addressed one arrives.
    task->entity = &entity;
    ASSERT_EQ(0, sendToTask(83, PRIM_DATA, ENTITY_ID));
    ASSERT_TRUE(waitSeen(ctx, 1));
    ASSERT_TRUE(waitTx(task, 1));
    EXPECT_EQ(0, task->txResults[0]);
    posMsecSleep(50);
    EXPECT_EQ(1u, ctx.seen.size());   // the refused sticks never reached it
}

TEST_F(ConEntity, SticksQueuedWhileBusyArriveInOrder) {
    ASSERT_TRUE(runOnTask(83, [&] { ASSERT_EQ(0, posEntityCreate(&entity, entityBody, ENTITY_ID, &ctx, 50000, 0)); }));
    task->entity = &entity;
    for (uint32_t i = 0; i < 20; ++i) ASSERT_EQ(0, sendToTask(83, PRIM_DATA + 0x100 + i, ENTITY_ID));
    ASSERT_TRUE(waitSeen(ctx, 20));
    for (uint32_t i = 0; i < 20; ++i) EXPECT_EQ(PRIM_DATA + 0x100 + i, ctx.seen[i].prim);
}

TEST_F(ConEntity, TimerStartedOnTheEntityComesBackWithItsId) {
    ASSERT_TRUE(runOnTask(83, [&] { ASSERT_EQ(0, posEntityCreate(&entity, entityBody, ENTITY_ID, &ctx, 50000, 0)); }));
    task->entity = &entity;
    ASSERT_EQ(0, sendToTask(83, PRIM_START_TIMER, ENTITY_ID));
    ASSERT_TRUE(waitSeen(ctx, 2));
    EXPECT_EQ(0, ctx.timerResult);
    const Seen& exp = ctx.seen[1];
    EXPECT_EQ(PRIM_EXPIRY, exp.prim);
    EXPECT_EQ(ENTITY_ID, exp.p1);
    EXPECT_EQ(ENTITY_ID, exp.p2);
    EXPECT_EQ(0xABCu, exp.param);
    // The expiry went through the task's queue and posEntityTx.
    ASSERT_TRUE(waitTx(task, 2));
    EXPECT_EQ(0, task->txResults[1]);
}

TEST_F(ConEntity, ThreadThatCannotStartFailsTheCreation) {
    posEntitySetThreadStarter(failingStarter);
    int rc = 0;
    ASSERT_TRUE(runOnTask(83, [&] { rc = posEntityCreate(&entity, entityBody, ENTITY_ID, &ctx, 50000, 0); }));
    posEntitySetThreadStarter(nullptr);
    EXPECT_EQ(-1, rc);
    EXPECT_NE(POS_ENTITY_MARK, entity.mark);
    EXPECT_TRUE(capture().waitFor("POS# FATAL: PTHREAD_CREATE(ENTITY:ERR:11)\n"));
    // A stick for it is refused, and a later creation works.
    Stick* s = posAllocStick(-4);
    s->p1 = ENTITY_ID;
    EXPECT_EQ(-2, posEntityTx(&entity, &s));
    ASSERT_TRUE(runOnTask(83, [&] { rc = posEntityCreate(&entity, entityBody, ENTITY_ID, &ctx, 50000, 0); }));
    EXPECT_EQ(0, rc);
    task->entity = &entity;
    ASSERT_EQ(0, sendToTask(83, PRIM_DATA, ENTITY_ID));
    EXPECT_TRUE(waitSeen(ctx, 1));
}

TEST_F(ConEntity, ResWithoutMarkReturnsTheRecordUnbound) {
    PosEntity blank{};
    EXPECT_EQ(nullptr, posEntityRes(nullptr));
    EXPECT_EQ(&blank, posEntityRes(&blank));
    EXPECT_EQ(0, posGetMyTaskId());
}
