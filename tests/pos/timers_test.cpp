// Per-task timers and their ordered tree.
#include "postest_util.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <random>
#include <set>
#include <thread>

using namespace postest;

namespace {

class Timers : public Runtime {};

int64_t nowUs() {
    struct timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000;
}

int queueCount(PosTask* t) {
    pthread_mutex_lock(&t->queue.lock);
    int n = t->queue.count;
    pthread_mutex_unlock(&t->queue.lock);
    return n;
}

// Receives the next stick of the calling task if one arrives within ms.
Stick* rxWithin(PosTask* t, int ms) {
    if (!waitUntil([&] { return queueCount(t) > 0; }, ms)) return nullptr;
    Stick* s = nullptr;
    uint32_t src;
    int err;
    posRxMsg(&s, &src, &err);
    return s;
}

constexpr int kLateMarginMs = 50;   // generous: the build machine is loaded

TEST_F(Timers, ArgumentRefusals) {
    LogCapture log;
    posLogOn(1);  // the refusals are logged by a user task
    std::atomic<bool> ok{false};
    ASSERT_TRUE(runInTask(10, [&](PosTask* t) {
        PosTimerKey k{};
        uint8_t data[60] = {};
        EXPECT_EQ(posStartTimer(&k, 5, 0, 0, nullptr, 0, "t.cpp", 1), -1);
        EXPECT_EQ(posStartTimer(&k, 5, -5, 0, nullptr, 0, "t.cpp", 2), -1);
        EXPECT_EQ(posStartTimer(&k, 0, 10, 0, nullptr, 0, "t.cpp", 3), -1);
        EXPECT_EQ(posStartTimer(&k, 5, 10, 0, data, 50, "t.cpp", 4), -1);
        EXPECT_EQ(ld(k.mark), 0);
        EXPECT_EQ(queueCount(t), 0);
        ok = true;
    }));
    EXPECT_TRUE(ok.load());
    EXPECT_TRUE(log.waitFor("POS# ERR: posStartTimer: NULL PrimId(0x5) or TimeValue(-5) or "
                            "ExceedDataLen(0) from t.cpp:2\n"));
    EXPECT_TRUE(log.waitFor("POS# ERR: posStartTimer: NULL PrimId(0x5) or TimeValue(10) or "
                            "ExceedDataLen(50) from t.cpp:4\n"));

    // Not a task: refused, and a stop from such a thread fails too.
    PosTimerKey k{};
    EXPECT_EQ(posStartTimer(&k, 5, 10, 0, nullptr, 0, "t.cpp", 9), -1);
    EXPECT_TRUE(log.waitFor("POS# ERR: posStartTimer: NULL pKey from t.cpp:9 0x5 \n"));
    EXPECT_EQ(posStopTimer(&k, POS_HERE), 0);  // not armed: nothing to do
    k.mark = POS_TIMER_ARMED;
    k.entry = reinterpret_cast<PosTimerEntry*>(&k);
    k.owner = posGetTask(10);
    EXPECT_EQ(posStopTimer(&k, POS_HERE), -1);
}

TEST_F(Timers, ConsoleTaskCannotStartTimers) {
    LogCapture log;
    PosTask console{};
    console.localId = POS_CONSOLE_TASK_ID;
    console.globalId = 99911;
    int rc = 0;
    std::thread th([&] {
        posBindThread(&console, nullptr);
        PosTimerKey k{};
        rc = posStartTimer(&k, 5, 10, 0, nullptr, 0, "c.cpp", 3);
    });
    th.join();
    EXPECT_EQ(rc, -1);
    EXPECT_TRUE(log.waitFor("POS# ERR: posStartTimer: TIMER Can't start in CONSOLE Task from c.cpp:3\n"));
}

TEST_F(Timers, ExpiryIsNeverEarlyAndCarriesItsFields) {
    ASSERT_TRUE(runInTask(11, [&](PosTask* t) {
        for (int ms : {1, 3, 17, 50, 120}) {
            SCOPED_TRACE(ms);
            PosTimerKey k{};
            const char data[] = "0123456789012345678901234567890123456789012345678";  // 49
            int64_t start = nowUs();
            ASSERT_EQ(posStartTimer(&k, 0xFE000001u, ms, 0xABCD, data, 49, POS_HERE), 0);
            if (ms >= 50) {  // a short one may already have expired here
                EXPECT_EQ(ld(k.mark), POS_TIMER_ARMED);
                EXPECT_EQ(ld(k.owner), t);
            }
            Stick* s = rxWithin(t, ms + 2000);
            int64_t end = nowUs();
            ASSERT_NE(s, nullptr);
            EXPECT_GE(end - start, ms * 1000);
            EXPECT_LE(end - start, (ms + kLateMarginMs) * 1000);
            EXPECT_EQ(s->primId, 0xFE000001u);
            EXPECT_EQ(s->param, 0xABCDu);
            EXPECT_EQ(s->tag, POS_TAG_TINY);
            EXPECT_EQ(s->length, 49);
            EXPECT_EQ(memcmp(s->data, data, 49), 0);
            EXPECT_EQ(s->p1, POS_NO_ENTITY);
            EXPECT_EQ(s->p2, POS_NO_ENTITY);
            EXPECT_EQ(s->dest, 11u);
            EXPECT_EQ(s->src, 11u);
            EXPECT_EQ(ld(k.mark), 0);  // disarmed by the expiry
            EXPECT_EQ(ld(k.entry), nullptr);
            EXPECT_EQ(posFreeStick(&s, POS_HERE), 0);
        }
        // Length 100 without data is accepted and carries no data.
        PosTimerKey k{};
        ASSERT_EQ(posStartTimer(&k, 9, 2, 0, nullptr, 100, POS_HERE), 0);
        Stick* s = rxWithin(t, 2000);
        ASSERT_NE(s, nullptr);
        EXPECT_EQ(s->length, 0);
        posFreeStick(&s, POS_HERE);
        // A timer without a key expires too.
        ASSERT_EQ(posStartTimer(nullptr, 10, 2, 0, nullptr, 0, POS_HERE), 0);
        s = rxWithin(t, 2000);
        ASSERT_NE(s, nullptr);
        EXPECT_EQ(s->primId, 10u);
        posFreeStick(&s, POS_HERE);
    }));
}

TEST_F(Timers, RestartReplacesTheOldDeadline) {
    ASSERT_TRUE(runInTask(12, [&](PosTask* t) {
        PosTimerKey k{};
        ASSERT_EQ(posStartTimer(&k, 100, 30, 1, nullptr, 0, POS_HERE), 0);
        ASSERT_EQ(posStartTimer(&k, 200, 60, 2, nullptr, 0, POS_HERE), 0);
        Stick* s = rxWithin(t, 2000);
        ASSERT_NE(s, nullptr);
        EXPECT_EQ(s->primId, 200u);
        posFreeStick(&s, POS_HERE);
        EXPECT_EQ(rxWithin(t, 150), nullptr);
        int created, inTree, pooled;
        posTimerStats(t, &created, &inTree, &pooled);
        EXPECT_EQ(inTree, 0);
        EXPECT_EQ(created, pooled);
        // Steady restarts reuse pooled entries.
        for (int i = 0; i < 100; i++) ASSERT_EQ(posStartTimer(&k, 100, 1000 + i, 1, nullptr, 0, POS_HERE), 0);
        int created2;
        posTimerStats(t, &created2, &inTree, &pooled);
        EXPECT_EQ(created2, created);
        EXPECT_EQ(inTree, 1);
        EXPECT_EQ(posStopTimer(&k, POS_HERE), 0);
    }));
}

TEST_F(Timers, StopBeforeExpiryCancelsAndStopAfterQueuingDoesNotWithdraw) {
    ASSERT_TRUE(runInTask(13, [&](PosTask* t) {
        PosTimerKey k{};
        ASSERT_EQ(posStartTimer(&k, 100, 40, 0, nullptr, 0, POS_HERE), 0);
        EXPECT_EQ(posStopTimer(&k, POS_HERE), 0);
        EXPECT_EQ(ld(k.mark), 0);
        EXPECT_EQ(posStopTimer(&k, POS_HERE), 0);  // already disarmed
        EXPECT_EQ(rxWithin(t, 150), nullptr);

        ASSERT_EQ(posStartTimer(&k, 101, 5, 0, nullptr, 0, POS_HERE), 0);
        ASSERT_TRUE(waitUntil([&] { return queueCount(t) == 1; }));
        EXPECT_EQ(posStopTimer(&k, POS_HERE), 0);
        Stick* s = rxWithin(t, 100);
        ASSERT_NE(s, nullptr);
        EXPECT_EQ(s->primId, 101u);
        posFreeStick(&s, POS_HERE);
    }));
}

TEST_F(Timers, EqualStartsInOneMillisecondGiveOneExpiry) {
    ASSERT_TRUE(runInTask(14, [&](PosTask* t) {
        PosTimerKey a{}, b{};
        bool sameMs = false;
        for (int attempt = 0; attempt < 50 && !sameMs; attempt++) {
            posStopTimer(&a, POS_HERE);
            posStopTimer(&b, POS_HERE);
            int64_t before = nowUs();
            ASSERT_EQ(posStartTimer(&a, 300, 40, 7, nullptr, 0, POS_HERE), 0);
            ASSERT_EQ(posStartTimer(&b, 300, 40, 7, nullptr, 0, POS_HERE), 0);
            int64_t after = nowUs();
            sameMs = before / 1000 == after / 1000 && ld(a.entry) == ld(b.entry);
        }
        ASSERT_TRUE(sameMs);
        Stick* s = rxWithin(t, 2000);
        ASSERT_NE(s, nullptr);
        EXPECT_EQ(s->primId, 300u);
        posFreeStick(&s, POS_HERE);
        EXPECT_EQ(rxWithin(t, 150), nullptr);
        EXPECT_EQ(ld(b.mark), 0);  // the entry's key was disarmed

        // The first key still looks armed; its entry went back to the pool.
        // A new timer of a third key may reuse that entry: stopping or
        // restarting the first key must never touch it.
        PosTimerKey c{};
        ASSERT_EQ(posStartTimer(&c, 301, 60, 0, nullptr, 0, POS_HERE), 0);
        EXPECT_EQ(posStopTimer(&a, POS_HERE), 0);
        EXPECT_EQ(ld(c.mark), POS_TIMER_ARMED);
        s = rxWithin(t, 2000);
        ASSERT_NE(s, nullptr);
        EXPECT_EQ(s->primId, 301u);
        posFreeStick(&s, POS_HERE);

        // Shared entry, then stop through the earlier key: the later key's
        // timer still expires.
        PosTimerKey d{}, e{};
        for (int attempt = 0; attempt < 50; attempt++) {
            posStopTimer(&d, POS_HERE);
            posStopTimer(&e, POS_HERE);
            ASSERT_EQ(posStartTimer(&d, 302, 40, 0, nullptr, 0, POS_HERE), 0);
            ASSERT_EQ(posStartTimer(&e, 302, 40, 0, nullptr, 0, POS_HERE), 0);
            if (ld(d.entry) == ld(e.entry)) break;
        }
        ASSERT_EQ(ld(d.entry), ld(e.entry));
        EXPECT_EQ(posStopTimer(&d, POS_HERE), 0);
        EXPECT_EQ(ld(d.mark), 0);
        s = rxWithin(t, 2000);
        ASSERT_NE(s, nullptr);
        EXPECT_EQ(s->primId, 302u);
        posFreeStick(&s, POS_HERE);
    }));
}

TEST_F(Timers, DeadlineCarriesIntoTheNextSecond) {
    ASSERT_TRUE(runInTask(15, [&](PosTask* t) {
        bool checked = false;
        for (int attempt = 0; attempt < 8 && !checked; attempt++) {
            PosTimerKey k{};
            struct timespec ts, after;
            // Start in the last millisecond of a second: sleep until 999 ms
            // into the next second, then check where we really are.
            clock_gettime(CLOCK_REALTIME, &ts);
            struct timespec target = {ts.tv_sec + 1, 999000000};
            clock_nanosleep(CLOCK_REALTIME, TIMER_ABSTIME, &target, nullptr);
            clock_gettime(CLOCK_REALTIME, &ts);
            if (ts.tv_nsec < 999000000) continue;  // woke too late, in the next second
            int64_t start = static_cast<int64_t>(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000;
            ASSERT_EQ(posStartTimer(&k, 400, 201, 0, nullptr, 0, POS_HERE), 0);
            clock_gettime(CLOCK_REALTIME, &after);
            if (after.tv_sec != ts.tv_sec) {  // preempted across the second: again
                posStopTimer(&k, POS_HERE);
                continue;
            }
            pthread_mutex_lock(&t->timerLock);
            PosTimerEntry* e = k.entry;
            uint64_t sec = e ? e->sec : 0, usec = e ? e->usec : 0;
            pthread_mutex_unlock(&t->timerLock);
            // 999 ms + 201 ms = 1.200 s: one second carried.
            EXPECT_EQ(sec, static_cast<uint64_t>(ts.tv_sec) + 1);
            EXPECT_EQ(usec, 200000u);
            Stick* s = rxWithin(t, 2000);
            ASSERT_NE(s, nullptr);
            EXPECT_GE(nowUs(), start + 201000);
            posFreeStick(&s, POS_HERE);
            checked = true;
        }
        EXPECT_TRUE(checked);
    }));
}

TEST_F(Timers, ManyTimersExpireInDeadlineOrder) {
    ASSERT_TRUE(runInTask(16, [&](PosTask* t) {
        std::mt19937 rng(7);
        std::vector<int> delays;
        PosTimerKey keys[40] = {};
        for (int i = 0; i < 40; i++) {
            int ms = 5 + static_cast<int>(rng() % 200);
            delays.push_back(ms * 100 + i);
            ASSERT_EQ(posStartTimer(&keys[i], 1000 + i, ms, static_cast<uint32_t>(i), nullptr, 0,
                                    POS_HERE),
                      0);
        }
        // Stop every fifth.
        std::set<int> stopped;
        for (int i = 0; i < 40; i += 5) {
            EXPECT_EQ(posStopTimer(&keys[i], POS_HERE), 0);
            stopped.insert(i);
        }
        std::vector<int> got;
        while (got.size() < 40 - stopped.size()) {
            Stick* s = rxWithin(t, 3000);
            ASSERT_NE(s, nullptr);
            got.push_back(static_cast<int>(s->param));
            posFreeStick(&s, POS_HERE);
        }
        EXPECT_EQ(rxWithin(t, 100), nullptr);
        for (int i : got) EXPECT_EQ(stopped.count(i), 0u);
        // Arrival order follows the (deadline, prim) order.
        for (size_t i = 1; i < got.size(); i++)
            EXPECT_LE(delays[got[i - 1]] / 100, delays[got[i]] / 100 + 1);
    }));
}

TEST_F(Timers, EntityTimerAddressesTheEntity) {
    ASSERT_TRUE(runInTask(17, [&](PosTask* t) {
        PosEntity ent{};
        ent.id = 0x42;
        ent.owner = t;
        int rc = -1;
        std::thread th([&] {
            posBindThread(t, &ent);
            PosTimerKey k{};
            rc = posStartTimer(&k, 500, 5, 9, nullptr, 0, POS_HERE);
        });
        th.join();
        ASSERT_EQ(rc, 0);
        Stick* s = rxWithin(t, 2000);
        ASSERT_NE(s, nullptr);
        EXPECT_EQ(s->primId, 500u);
        EXPECT_EQ(s->p1, 0x42u);
        EXPECT_EQ(s->p2, 0x42u);
        EXPECT_EQ(s->param, 9u);
        EXPECT_EQ(s->dest, 17u);
        posFreeStick(&s, POS_HERE);
    }));
}

TEST_F(Timers, DroppedExpiryReturnsItsStick) {
    std::atomic<bool> release{false};
    ASSERT_NE(startTask(
                  18,
                  [&](PosTask* t) {
                      // Fill the queue (limit 1) and keep it full.
                      Stick* s = posAllocStick(1);
                      s->primId = 1;
                      ASSERT_EQ(posTxMsg(18, &s, POS_HERE), 0);
                      int tinyBefore = poolFree(3);
                      PosTimerKey k{};
                      ASSERT_EQ(posStartTimer(&k, 600, 2, 0, nullptr, 0, POS_HERE), 0);
                      ASSERT_TRUE(waitUntil([&] { return ld(k.mark) == 0; }));
                      // The mark clears before the expiry stick is taken from the
                      // pool: wait for the refusal, which is written before the
                      // stick goes back, and only then for the pool.
                      ASSERT_TRUE(waitUntil([&] { return !lastErrorOf(t).empty(); }));
                      ASSERT_TRUE(waitUntil([&] { return poolFree(3) >= tinyBefore; }));
                      EXPECT_EQ(queueCount(t), 1);
                      EXPECT_EQ(lastErrorOf(t).rfind("POS# ERR: Task(TEST): Exceed Max Queue "
                                                     "Count(1) fromposTimer:",
                                                     0),
                                0u)
                          << lastErrorOf(t);
                      while (!release) posMsecSleep(1);
                  },
                  1),
              0);
    ASSERT_TRUE(waitUntil([&] { return !lastErrorOf(posGetTask(18)).empty(); }));
    release = true;
    ASSERT_TRUE(waitTaskDone(18));
}

// ---- the ordered tree on its own ----

struct IntEntry {
    RbNode node;
    int key;
    int payload;
};
void intCopy(void* d, const void* s) {
    static_cast<IntEntry*>(d)->key = static_cast<const IntEntry*>(s)->key;
    static_cast<IntEntry*>(d)->payload = static_cast<const IntEntry*>(s)->payload;
}
int intCmp(const void* a, const void* b) {
    int x = static_cast<const IntEntry*>(a)->key, y = static_cast<const IntEntry*>(b)->key;
    return x < y ? -1 : x > y;
}
void intInit(void* e) {
    static_cast<IntEntry*>(e)->key = 0;
    static_cast<IntEntry*>(e)->payload = 0;
}

TEST(RbTree, InitRefusesMissingParts) {
    EXPECT_EQ(rbTreeInit(0, 0, intCopy, intCmp, intInit), nullptr);
    EXPECT_EQ(rbTreeInit(16, 0, nullptr, intCmp, intInit), nullptr);
    EXPECT_EQ(rbTreeInit(16, 0, intCopy, nullptr, intInit), nullptr);
    EXPECT_EQ(rbTreeInit(16, 0, intCopy, intCmp, nullptr), nullptr);
}

// Trees are never destroyed (their entries are pooled for good): keep them.
RbTree* s_trees[2];

TEST(RbTree, StaysOrderedThroughRandomInsertsAndRemovesAndReusesEntries) {
    for (int flags : {0, RB_FLAG_REPLACE}) {
        RbTree* t = rbTreeInit(sizeof(IntEntry), flags, intCopy, intCmp, intInit);
        s_trees[flags] = t;
        ASSERT_NE(t, nullptr);
        std::mt19937 rng(11);
        std::set<int> model;
        std::vector<IntEntry*> live;
        for (int step = 0; step < 4000; step++) {
            if (live.empty() || rng() % 3 != 0) {
                IntEntry tmpl{};
                tmpl.key = static_cast<int>(rng() % 1000);
                tmpl.payload = step;
                auto* e = static_cast<IntEntry*>(rbTreeInsert(t, &tmpl));
                ASSERT_NE(e, nullptr);
                if (model.insert(tmpl.key).second) {
                    live.push_back(e);
                    EXPECT_EQ(e->payload, step);
                } else {
                    EXPECT_EQ(e->key, tmpl.key);
                    if (flags) EXPECT_EQ(e->payload, step);
                    else EXPECT_NE(e->payload, step);
                }
            } else {
                size_t i = rng() % live.size();
                model.erase(live[i]->key);
                rbTreeRemove(t, live[i]);
                live.erase(live.begin() + static_cast<long>(i));
            }
            if (step % 97 == 0) {
                std::vector<int> walk;
                for (auto* e = static_cast<IntEntry*>(rbTreeMin(t)); e;
                     e = static_cast<IntEntry*>(rbTreeNext(t, e)))
                    walk.push_back(e->key);
                ASSERT_EQ(walk, std::vector<int>(model.begin(), model.end()));
                ASSERT_EQ(rbTreeCount(t), static_cast<int>(model.size()));
            }
        }
        int created, inTree, pooled;
        rbTreeStats(t, &created, &inTree, &pooled);
        EXPECT_EQ(created, inTree + pooled);
        EXPECT_LE(created, 1000);
    }
}

}  // namespace
