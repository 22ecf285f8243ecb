// Sticks, plain queues and sending/receiving between tasks.
#include "postest_util.h"

#include <atomic>
#include <cstring>
#include <thread>

using namespace postest;

namespace {

class Sticks : public Runtime {};

struct SizeCase {
    int size;
    uint16_t tag;      // 0: no stick
    int length;
};

TEST_F(Sticks, AllocationPicksTheClassBySize) {
    const SizeCase cases[] = {
        {4150, POS_TAG_LARGE, 4150}, {4151, 0, 0},          {1041, POS_TAG_LARGE, 1041},
        {1040, POS_TAG_MEDIUM, 1040}, {531, POS_TAG_MEDIUM, 531}, {530, POS_TAG_SMALL, 530},
        {1, POS_TAG_SMALL, 1},        {0, POS_TAG_TINY, 0},    {-50, POS_TAG_TINY, 50},
        {-51, 0, 0},                  {100000, 0, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.size);
        Stick* s = posAllocStick(c.size);
        if (c.tag == 0) {
            EXPECT_EQ(s, nullptr);
            continue;
        }
        ASSERT_NE(s, nullptr);
        EXPECT_EQ(s->tag, c.tag);
        EXPECT_EQ(s->length, c.length);
        EXPECT_EQ(s->state, POS_STICK_HELD);
        EXPECT_EQ(s->data, s->buffer + POS_STICK_HEADROOM);
        EXPECT_EQ(s->p1, POS_NO_ENTITY);
        EXPECT_EQ(s->p2, POS_NO_ENTITY);
        EXPECT_EQ(s->primId, 0u);
        EXPECT_EQ(s->owner, POS_OWNER_NONE);  // the test thread is no task
        // The whole data area of the class is usable (ASan checks the bounds).
        int cap = c.tag == POS_TAG_LARGE ? 4150 : c.tag == POS_TAG_MEDIUM ? 1040
                  : c.tag == POS_TAG_SMALL ? 530 : 50;
        memset(s->data, 0xA5, static_cast<size_t>(cap) + 1);
        EXPECT_EQ(posFreeStick(&s, POS_HERE), 0);
        EXPECT_EQ(s, nullptr);
    }
}

TEST_F(Sticks, FreedSticksAreReusedNotReallocated) {
    Stick* a = posAllocStick(100);
    Stick* keep = a;
    int created = g_posPools[2].created;
    ASSERT_EQ(posFreeStick(&a, POS_HERE), 0);
    Stick* b = posAllocStick(200);
    EXPECT_EQ(b, keep);
    EXPECT_EQ(g_posPools[2].created, created);
    // A reused stick is clean again.
    EXPECT_EQ(b->primId, 0u);
    EXPECT_EQ(b->param, 0u);
    EXPECT_EQ(b->length, 200);
    posFreeStick(&b, POS_HERE);
}

TEST_F(Sticks, DoubleFreeIsRefusedAndChangesNothing) {
    Stick* s = posAllocStick(10);
    Stick* copy = s;
    ASSERT_EQ(posFreeStick(&s, POS_HERE), 0);
    int before = poolFree(2);
    EXPECT_NE(posFreeStick(&copy, POS_HERE), 0);
    EXPECT_NE(copy, nullptr);  // left with the caller on this refusal
    EXPECT_EQ(poolFree(2), before);
    Stick* none = nullptr;
    EXPECT_NE(posFreeStick(&none, POS_HERE), 0);
    EXPECT_NE(posFreeStick(nullptr, POS_HERE), 0);
}

TEST_F(Sticks, AllocMsgAndSetHeaderFillTheHeader) {
    Stick* s = nullptr;
    uint8_t* d = posAllocMsg(0x1234, 99076, 7, 8, 40, &s);
    ASSERT_NE(d, nullptr);
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(d, s->data);
    EXPECT_EQ(s->primId, 0x1234u);
    EXPECT_EQ(s->dest, 99076u);
    EXPECT_EQ(s->p1, 7u);
    EXPECT_EQ(s->p2, 8u);
    EXPECT_EQ(s->src, 0u);
    s->src = 5;
    EXPECT_EQ(posSetMsgHeader(9, 10, 11, 12, s), s->data);
    EXPECT_EQ(s->src, 0u);
    EXPECT_EQ(s->primId, 9u);
    posFreeStick(&s, POS_HERE);

    Stick* untouched = reinterpret_cast<Stick*>(0x1);
    EXPECT_EQ(posAllocMsg(1, 0, 0, 0, 5000, &untouched), nullptr);
    EXPECT_EQ(untouched, reinterpret_cast<Stick*>(0x1));
}

TEST_F(Sticks, TxErrorsLeaveTheStickWithTheCaller) {
    LogCapture log;
    ASSERT_NE(startTask(10, nullptr), 0);
    ASSERT_TRUE(waitTaskDone(10));

    for (int bad : {0, 255, 910, 913, -1}) {
        SCOPED_TRACE(bad);
        Stick* s = posAllocStick(4);
        s->primId = 5;
        EXPECT_EQ(posTxMsg(bad, &s, "caller.cpp", 12), POS_ERR_NO_TASK);
        EXPECT_NE(s, nullptr);
        posFreeStick(&s, POS_HERE);
    }
    EXPECT_TRUE(log.waitFor("POS# ERR: Wrong LOCAL Task ID(910) from caller.cpp:12\n"));

    Stick* none = nullptr;
    EXPECT_EQ(posTxMsg(10, &none, "caller.cpp", 13), POS_ERR_NO_STICK);
    EXPECT_TRUE(log.waitFor("POS# ERR: NULL pStick from caller.cpp:13\n"));

    Stick* s = posAllocStick(4);
    EXPECT_EQ(posTxMsg(10, &s, "caller.cpp", 14), POS_ERR_PRIM_ZERO);
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(s->state, POS_STICK_HELD);
    EXPECT_TRUE(log.waitFor("POS# FATAL: Wrong PrimId(0x00000000) from caller.cpp:14\n"));

    s->primId = 3;
    s->length = 4151;
    EXPECT_EQ(posTxMsg(10, &s, "caller.cpp", 15), POS_ERR_LENGTH);
    ASSERT_NE(s, nullptr);
    EXPECT_TRUE(log.waitFor("POS# FATAL: Wrong Length(4151) from caller.cpp:15\n"));
    s->length = 4;
    EXPECT_EQ(posFreeStick(&s, POS_HERE), 0);
}

TEST_F(Sticks, SendAndReceiveCarryTheStickAndRecordTheLongest) {
    std::atomic<uint32_t> gotPrim{0}, gotSrc{0};
    std::atomic<int> gotLen{-1};
    std::string text;
    ASSERT_NE(startTask(20,
                        [&](PosTask* t) {
                            Stick* s = nullptr;
                            uint32_t src = 0;
                            int err = 1;
                            gotPrim = posRxMsg(&s, &src, &err);
                            EXPECT_EQ(err, 0);
                            EXPECT_EQ(s->owner, t);
                            EXPECT_EQ(s->state, POS_STICK_HELD);
                            EXPECT_EQ(s->dest, 99020u);
                            gotSrc = src;
                            gotLen = s->length;
                            text.assign(reinterpret_cast<char*>(s->data));
                            EXPECT_EQ(posFreeStick(&s, POS_HERE), 0);
                        }),
              0);
    PosTask* t = posGetTask(20);
    ASSERT_NE(t, nullptr);
    ASSERT_TRUE(waitUntil([&] { return ld(t->regMark) == POS_TASK_REGISTERED; }));
    Stick* s = posAllocStick(700);
    s->primId = 0x77;
    s->src = 99001;
    strcpy(reinterpret_cast<char*>(s->data), "hello");
    ASSERT_EQ(posTxMsg(1020, &s, POS_HERE), 0);  // 1020 reduces to local id 20
    EXPECT_EQ(s, nullptr);
    ASSERT_TRUE(waitTaskDone(20));
    EXPECT_EQ(gotPrim.load(), 0x77u);
    EXPECT_EQ(gotSrc.load(), 99001u);
    EXPECT_EQ(gotLen.load(), 700);
    EXPECT_EQ(text, "hello");
    EXPECT_EQ(t->maxMsgLen, 700);
    EXPECT_EQ(t->maxMsgSrc, 99001u);
}

TEST_F(Sticks, RxOnAThreadThatIsNoTaskFailsAtOnce) {
    Stick* s = reinterpret_cast<Stick*>(0x1);
    uint32_t src = 7;
    int err = 0;
    EXPECT_EQ(posRxMsg(&s, &src, &err), 0u);
    EXPECT_EQ(err, POS_ERR_NOT_TASK);
}

// Kept reachable: a refused free leaves the stick with its owner for good.
Stick* s_ownedElsewhere;

TEST_F(Sticks, FreeByAnotherTaskIsRefused) {
    Stick*& owned = s_ownedElsewhere;
    ASSERT_TRUE(runInTask(30, [&](PosTask*) { owned = posAllocStick(10); }));
    ASSERT_NE(owned, nullptr);
    EXPECT_EQ(owned->owner, posGetTask(30));
    int rc = 0;
    Stick* seen = reinterpret_cast<Stick*>(0x1);
    ASSERT_TRUE(runInTask(31, [&](PosTask*) {
        Stick* s = owned;
        rc = posFreeStick(&s, POS_HERE);
        seen = s;
    }));
    EXPECT_NE(rc, 0);
    EXPECT_EQ(seen, nullptr);
    EXPECT_EQ(owned->state, POS_STICK_HELD);  // not freed
}

// A task that exists but has not registered yet cannot receive: the stick goes
// back to its pool and the send still reports success.
TEST_F(Sticks, SendToUnregisteredTaskReturnsTheStickToItsPool) {
    posGatesCloseAll();
    PosTask* t = static_cast<PosTask*>(calloc(1, sizeof(PosTask)));
    t->localId = 40;
    t->globalId = 99040;
    g_posUserTasks[40] = t;
    Stick* s = posAllocStick(10);
    s->primId = 1;
    int before = poolFree(2);
    EXPECT_EQ(posTxMsg(40, &s, POS_HERE), 0);
    EXPECT_EQ(s, nullptr);
    EXPECT_EQ(poolFree(2), before + 1);
    g_posUserTasks[40] = nullptr;
    free(t);
}

TEST_F(Sticks, FullQueueBlocksTheSenderUntilTheReceiverTakesOne) {
    std::atomic<bool> mayReceive{false};
    std::atomic<int> received{0};
    ASSERT_NE(startTask(
                  50,
                  [&](PosTask*) {
                      while (!mayReceive) posMsecSleep(1);
                      Stick* s;
                      uint32_t src;
                      int err;
                      for (int i = 0; i < 3; i++) {
                          posRxMsg(&s, &src, &err);
                          received++;
                          posFreeStick(&s, POS_HERE);
                      }
                  },
                  2),
              0);
    PosTask* t = posGetTask(50);
    ASSERT_TRUE(waitUntil([&] { return ld(t->regMark) == POS_TASK_REGISTERED; }));
    for (int i = 0; i < 2; i++) {
        Stick* s = posAllocStick(1);
        s->primId = 100 + i;
        ASSERT_EQ(posTxMsg(50, &s, POS_HERE), 0);
    }
    std::atomic<bool> thirdSent{false};
    std::thread sender([&] {
        Stick* s = posAllocStick(1);
        s->primId = 102;
        EXPECT_EQ(posTxMsg(50, &s, "sender.cpp", 77), 0);
        thirdSent = true;
    });
    // The third send waits while the queue holds its limit.
    ASSERT_TRUE(waitUntil([&] {
        pthread_mutex_lock(&t->queue.lock);
        int w = t->queue.sendersWaiting;
        pthread_mutex_unlock(&t->queue.lock);
        return w == 1;
    }));
    EXPECT_FALSE(thirdSent.load());
    EXPECT_EQ(lastErrorOf(t), "POS# ERR: Task(TEST): Exceed Max Queue Count(2) from sender.cpp:77\n");
    mayReceive = true;
    sender.join();
    EXPECT_TRUE(thirdSent.load());
    ASSERT_TRUE(waitTaskDone(50));
    EXPECT_EQ(received.load(), 3);
    EXPECT_EQ(t->queue.peak, 2);
}

// ---- plain queues ----

TEST_F(Sticks, PlainQueueKeepsOrderCountsAndBytes) {
    PosQueue q;
    memset(&q, 0, sizeof q);
    EXPECT_EQ(posQueueCount(&q), -1);
    EXPECT_EQ(posQueueGet(&q), nullptr);
    ASSERT_EQ(posQueueInit(&q), 0);
    EXPECT_EQ(q.owner, 0x5A5A);
    EXPECT_EQ(posQueueSetName(&q, "LONGQUEUENAME"), 0);
    EXPECT_STREQ(q.name, "LONGQUEUE");
    Stick* a = posAllocStick(10);
    Stick* b = posAllocStick(20);
    Stick* c = posAllocStick(30);
    Stick* pa = a;
    Stick* pb = b;
    Stick* pc = c;
    ASSERT_EQ(posQueuePut(&q, &pa), 0);
    ASSERT_EQ(posQueuePut(&q, &pb), 0);
    ASSERT_EQ(posQueuePut(&q, &pc), 0);
    EXPECT_EQ(pa, nullptr);
    EXPECT_EQ(a->state, POS_STICK_QUEUED);
    EXPECT_EQ(posQueueCount(&q), 3);
    EXPECT_EQ(q.bytes, 60);
    EXPECT_EQ(q.peak, 3);
    EXPECT_EQ(posQueueGet(&q), a);
    EXPECT_EQ(a->state, POS_STICK_HELD);
    EXPECT_EQ(q.bytes, 50);
    EXPECT_EQ(posQueueGet(&q), b);
    EXPECT_EQ(posQueueCount(&q), 1);
    EXPECT_EQ(posQueueGet(&q), c);
    EXPECT_EQ(posQueueGet(&q), nullptr);
    EXPECT_EQ(posQueueCount(&q), 0);
    EXPECT_EQ(q.bytes, 0);
    posFreeStick(&a, POS_HERE);
    posFreeStick(&b, POS_HERE);
    posFreeStick(&c, POS_HERE);
}

TEST_F(Sticks, PlainQueueFaultsWriteTheGlobalErrorText) {
    PosQueue q;
    memset(&q, 0, sizeof q);
    Stick* s = posAllocStick(1);
    EXPECT_EQ(posQueuePut(&q, &s), -1);
    EXPECT_NE(s, nullptr);
    EXPECT_NE(strstr(g_posLastErr, "Abnormal Queue or Null Stick("), nullptr);
    EXPECT_EQ(posQueueClear(&q), -1);
    EXPECT_NE(strstr(g_posLastErr, "Abnormal Queue("), nullptr);
    ASSERT_EQ(posQueueInit(&q), 0);
    Stick* none = nullptr;
    EXPECT_EQ(posQueuePut(&q, &none), -1);
    EXPECT_EQ(posQueueInit(nullptr), -1);
    posFreeStick(&s, POS_HERE);
}

TEST_F(Sticks, ClearReturnsEverySticksToItsPool) {
    PosQueue q;
    memset(&q, 0, sizeof q);
    ASSERT_EQ(posQueueInit(&q), 0);
    int before = poolFree(1);
    for (int i = 0; i < 5; i++) {
        Stick* s = posAllocStick(600);
        ASSERT_EQ(posQueuePut(&q, &s), 0);
    }
    int mid = poolFree(1);
    EXPECT_EQ(posQueueClear(&q), 0);
    EXPECT_EQ(posQueueCount(&q), 0);
    EXPECT_EQ(poolFree(1), mid + 5);
    EXPECT_GE(poolFree(1), before);
    // Initialising a queue again clears it too.
    Stick* s = posAllocStick(600);
    ASSERT_EQ(posQueuePut(&q, &s), 0);
    EXPECT_EQ(posQueueInit(&q), 0);
    EXPECT_EQ(posQueueCount(&q), 0);
    // Clearing a pool's own free queue must terminate and keep its sticks.
    int pooled = poolFree(1);
    EXPECT_EQ(posQueueClear(&g_posPools[1].freeQ), 0);
    EXPECT_EQ(poolFree(1), pooled);
}

}  // namespace
