// posStartConsole on its own start-up thread: it releases the held tasks and
// sets the console-up flag before it hands the thread to the console.
#include "postest_util.h"

#include <atomic>
#include <thread>

using namespace postest;

namespace {

TEST(StartConsole, ReleasesHeldTasksAndSetsConsoleUp) {
    std::string dir = makeTempDir();
    setenv("POS_DEBUG_DIR", dir.c_str(), 1);
    ASSERT_EQ(posInit(99), 0);
    posLogOn(1);
    std::atomic<bool> ran{false};
    ASSERT_NE(startTask(76, [&](PosTask*) { ran = true; }), 0);
    ASSERT_NE(startTask(83, nullptr), 0);
    PosTask* capa = posGetTask(76);
    ASSERT_TRUE(waitUntil([&] { return (ld(capa->stateFlags) & POS_TASK_HELD) != 0; }));
    EXPECT_EQ(g_posConsoleUp.load(), 0);
    EXPECT_FALSE(ran.load());

    std::thread([] { posStartConsole("QLAG99", nullptr, 0, 1); }).detach();
    ASSERT_TRUE(waitTaskDone(76));
    ASSERT_TRUE(waitTaskDone(83));
    EXPECT_TRUE(ran.load());
    EXPECT_EQ(ld(capa->stateFlags) & POS_TASK_HELD, 0u);
    EXPECT_EQ(ld(posGetTask(83)->stateFlags) & POS_TASK_HELD, 0u);
    EXPECT_TRUE(waitUntil([] { return g_posConsoleUp.load() == 1; }));
    EXPECT_STREQ(g_posNodeName, "QLAG99");
}

TEST(StartConsole, WithoutReleaseTheGatesStayClosed) {
    std::string dir = makeTempDir();
    setenv("POS_DEBUG_DIR", dir.c_str(), 1);
    ASSERT_EQ(posInit(99), 0);
    std::atomic<bool> ran{false};
    ASSERT_NE(startTask(76, [&](PosTask*) { ran = true; }), 0);
    std::thread([] { posStartConsole("QLAG99", nullptr, 0, 0); }).detach();
    EXPECT_TRUE(waitUntil([] { return g_posConsoleUp.load() == 1; }));
    posMsecSleep(100);
    EXPECT_FALSE(ran.load());
    EXPECT_NE(ld(posGetTask(76)->stateFlags) & POS_TASK_HELD, 0u);
}

}  // namespace
