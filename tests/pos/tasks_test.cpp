// Task creation, registration, start gates and thread bindings.
#include "postest_util.h"

#include <atomic>
#include <cstring>
#include <thread>

using namespace postest;

namespace {

class Tasks : public Runtime {};

TEST_F(Tasks, CreationRecordsIdsNameAndPriorities) {
    struct Case {
        int localId;
        const char* name;
        int priority;
        const char* storedName;
        int storedPriority;
    };
    const Case cases[] = {
        {1, "A", 0, "A", 1},
        {2, "B", 300, "B", 255},
        {3, "ABCDEFGHIJKLMNOPQRSTUVWXY", 100, "ABCDEFGHIJKLMNOPQRST", 100},
        {254, "LAST", -5, "LAST", 1},
    };
    int hi = sched_get_priority_max(SCHED_RR);
    int lo = sched_get_priority_min(SCHED_RR);
    int countBefore = g_posTaskCount.load();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.localId);
        g_bodies[c.localId].fn = nullptr;
        int err = -1;
        int gid = posCreateTask(testTaskEntry, c.name, c.localId, c.priority, 0xFFFF, 500, 1000,
                                &err);
        EXPECT_EQ(gid, 99000 + c.localId);
        EXPECT_EQ(err, 0);
        PosTask* t = posGetTask(c.localId);
        ASSERT_NE(t, nullptr);
        EXPECT_EQ(posGetTask(gid), t);
        EXPECT_STREQ(t->name, c.storedName);
        EXPECT_EQ(t->priority, c.storedPriority);
        int os = ((256 - c.storedPriority) * hi) / 256;
        if (os < lo) os = lo;
        EXPECT_EQ(t->osPriority, os);
        EXPECT_EQ(t->stackSize, 50000u);   // raised to the minimum
        EXPECT_EQ(t->queue.limit, 0xFFFF);
        EXPECT_EQ(t->queue.reserved, 500);
        EXPECT_EQ(t->queue.mark, 0xAAA5);
        EXPECT_EQ(t->queue.flag, 1);
        EXPECT_EQ(t->processId, static_cast<uint32_t>(getpid()));
        ASSERT_TRUE(waitTaskDone(c.localId));
        EXPECT_NE(ld(t->threadId), 0u);
        EXPECT_EQ(ld(t->regMark), POS_TASK_REGISTERED);
        EXPECT_STREQ(t->version.author, "TEST");
    }
    EXPECT_EQ(g_posTaskCount.load(), countBefore + 4);
}

TEST_F(Tasks, CreationRefusalsPrintTheirLinesAndReturnZero) {
    ASSERT_NE(startTask(7, nullptr), 0);
    int err = -1;
    testing::internal::CaptureStdout();
    EXPECT_EQ(posCreateTask(testTaskEntry, "DUP", 7, 100, 10, 0, 50000, &err), 0);
    EXPECT_EQ(posCreateTask(testTaskEntry, "BIG", 300, 100, 10, 0, 50000, &err), 0);
    EXPECT_EQ(posCreateTask(testTaskEntry, "ZERO", 0, 100, 10, 0, 50000, &err), 0);
    EXPECT_EQ(posCreateTask(testTaskEntry, "LOG2", POS_LOG_TASK_ID, 100, 10, 0, 50000, &err), 0);
    EXPECT_EQ(posCreateTask(nullptr, "NOFN", 8, 100, 10, 0, 50000, &err), 0);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(err, 0);
    EXPECT_NE(out.find("POS# ERR: Already existed Task(TEST:7)\n"), std::string::npos) << out;
    EXPECT_NE(out.find("POS# ERR: Wrong BIG's LocalTaskId value(0x12C) [0x00 - 0xFE]\n"),
              std::string::npos)
        << out;
    EXPECT_NE(out.find("POS# ERR: Wrong ZERO's LocalTaskId value(0x0) [0x00 - 0xFE]\n"),
              std::string::npos);
    EXPECT_NE(out.find("POS# ERR: Already existed Task(POS-LOG:914)\n"), std::string::npos);
    EXPECT_EQ(posGetTask(8), nullptr);
}

TEST_F(Tasks, LookupReducesIdsAndRejectsOthers) {
    ASSERT_NE(startTask(76, nullptr), 0);
    PosTask* capa = posGetTask(76);
    ASSERT_NE(capa, nullptr);
    EXPECT_EQ(posGetTask(99076), capa);
    EXPECT_EQ(posGetTask(1076), capa);
    EXPECT_NE(posGetTask(914), nullptr);
    EXPECT_EQ(posGetTask(99914), posGetTask(914));
    for (int id : {0, 255, 910, 913, 917, -3}) EXPECT_EQ(posGetTask(id), nullptr) << id;
}

TEST_F(Tasks, MyTaskIdIsTheBindingsTask) {
    EXPECT_EQ(posGetMyTaskId(), 0);
    std::atomic<int> seen{0};
    ASSERT_TRUE(runInTask(12, [&](PosTask*) { seen = posGetMyTaskId(); }));
    EXPECT_EQ(seen.load(), 99012);
    // A thread bound to a task and an entity reports the task's id.
    PosEntity ent{};
    ent.id = 3;
    std::thread th([&] {
        posBindThread(posGetTask(12), &ent);
        seen = posGetMyTaskId();
    });
    th.join();
    EXPECT_EQ(seen.load(), 99012);
}

TEST_F(Tasks, ResTaskWithoutRecordFails) {
    EXPECT_EQ(posResTask(nullptr, "A", "B", 1, 0, 0, "d", "t"), -1);
}

TEST_F(Tasks, RegistrationStoresTheVersionRecordCut) {
    g_bodies[14].fn = nullptr;
    struct Entry {
        static void run(PosTask* t) {
            posResTask(t, "AUTHORNAME-LONG", "COMMENT-THAT-IS-TOO-LONG", 2, 8, 4, "May 26 2020",
                       "18:44:38");
            {
                std::lock_guard<std::mutex> g(g_bodies[14].mu);
                g_bodies[14].done = true;
            }
            g_bodies[14].cv.notify_all();
            for (;;) posMsecSleep(1000);
        }
    };
    int err;
    ASSERT_NE(posCreateTask(Entry::run, "VER", 14, 100, 10, 0, 50000, &err), 0);
    ASSERT_TRUE(waitTaskDone(14));
    PosTask* t = posGetTask(14);
    EXPECT_STREQ(t->version.author, "AUTHORNAME-");
    EXPECT_STREQ(t->version.comment, "COMMENT-THAT-IS");
    EXPECT_STREQ(t->version.dateTime, "May 26 2020(18:44:38)");
    EXPECT_EQ(t->version.major, 2);
    EXPECT_EQ(t->version.minor, 8);
    EXPECT_EQ(t->version.patch, 4);
    EXPECT_EQ(ld(t->timerReady), 1);  // registration waits for the timer thread
    ASSERT_NE(t->binding, nullptr);
    EXPECT_EQ(t->binding->task, t);
    EXPECT_EQ(t->binding->entity, nullptr);
}

// Gates: application tasks wait ("SUS") until the release, the log task runs
// from the start.
TEST(Gates, TasksStayHeldUntilReleaseWhileTheLogTaskRuns) {
    std::string dir = makeTempDir();
    setenv("POS_DEBUG_DIR", dir.c_str(), 1);
    ASSERT_EQ(posInit(99), 0);
    LogCapture log;
    PosTask* logTask = posGetTask(POS_LOG_TASK_ID);
    ASSERT_NE(logTask, nullptr);
    ASSERT_TRUE(waitUntil([&] { return (ld(logTask->stateFlags) & POS_TASK_PENDING) != 0; }));
    // Never held: ps shows it as RUN or PND from the start, not SUS.
    EXPECT_EQ(ld(logTask->stateFlags) & POS_TASK_HELD, 0u);

    std::atomic<bool> ran{false};
    ASSERT_NE(startTask(76, [&](PosTask*) { ran = true; }), 0);
    PosTask* t = posGetTask(76);
    ASSERT_TRUE(waitUntil([&] { return (ld(t->stateFlags) & POS_TASK_HELD) != 0; }));
    EXPECT_EQ(ld(t->regMark), POS_TASK_REGISTERED);
    posMsecSleep(50);
    EXPECT_FALSE(ran.load());
    // A stick sent now waits in the queue for the release.
    Stick* s = posAllocStick(1);
    s->primId = 9;
    EXPECT_EQ(posTxMsg(76, &s, POS_HERE), 0);
    EXPECT_EQ(queueCountOf(t), 1);

    // The log task serves while everything else is held.
    g_posConsoleUp.store(1);
    posLogPrint("before release\n");
    EXPECT_TRUE(log.waitFor("before release\n"));

    EXPECT_EQ(ld(logTask->stateFlags) & POS_TASK_HELD, 0u);
    posGatesOpenAll();
    ASSERT_TRUE(waitTaskDone(76));
    EXPECT_TRUE(ran.load());
    EXPECT_EQ(ld(t->stateFlags) & POS_TASK_HELD, 0u);
    ASSERT_TRUE(waitUntil([&] { return queueCountOf(t) == 0; }));

    // A task registering after the release passes its gate at once and keeps
    // its held flag.
    std::atomic<bool> late{false};
    ASSERT_TRUE(runInTask(77, [&](PosTask*) { late = true; }));
    EXPECT_TRUE(late.load());
    EXPECT_NE(ld(posGetTask(77)->stateFlags) & POS_TASK_HELD, 0u);
}

}  // namespace
