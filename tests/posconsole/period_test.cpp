// Periodic console jobs: start, listing, cooperative stop, the ten-slot limit.
#include "poswait.h"
#include "testsupport.h"

#include <atomic>
#include <functional>
#include <regex>
#include <thread>

using namespace contest;

namespace {

std::atomic<int> g_ticks{0};
int tick(int a) {
    g_ticks.fetch_add(1);
    return a;
}

// Logs many lines per run: a stop must never leave the log path locked.
std::atomic<int> g_burstRuns{0};
std::atomic<bool> g_burstRunning{false};
int burst() {
    g_burstRunning = true;
    g_burstRuns.fetch_add(1);
    for (int i = 0; i < 3000; ++i) posLogPrint("burst line %d with some text to fill the queue\n", i);
    g_burstRunning = false;
    return 7;
}

int seven(int, int, int, int, int, int, int) { return 0; }

class ConPeriod : public Runtime {
protected:
    static void SetUpTestSuite() {
        Runtime::SetUpTestSuite();
        static bool registered = false;
        if (registered) return;
        registered = true;
        posRegCmd1("tick", tick);
        posRegCmd0("burst", burst);
        posAddSymbol(reinterpret_cast<PosAnyFn>(seven), 7, "seven");
    }

    static bool waitUntil(const std::function<bool()>& p, int ms) { return poswait::waitUntil(p, ms, 5); }
};

}  // namespace

TEST_F(ConPeriod, TimeStampJobRunsAtOnceAndEveryPeriodUntilKilled) {
    int code = 0, jobId = 0;
    std::string out = exec("period 2,posTimeStamp", &code, &jobId);
    EXPECT_EQ(2, code);
    ASSERT_GT(jobId, 0) << out;
    // The first run happens at once (its lines may come before or after the
    // result), the second about 2 s later.
    std::string result = value(jobId);
    ASSERT_NE(std::string::npos, out.find(result)) << out;
    out.erase(out.find(result), result.size());
    const std::string valueLine = "\nvalue =  0\n";
    if (out.find(valueLine) == std::string::npos) {
        ASSERT_TRUE(capture().waitFor(valueLine, 2000));
        out += capture().takeUntil(valueLine) + valueLine;
    }
    auto t0 = std::chrono::steady_clock::now();
    std::regex stamp(R"(^ \[\d{4}/\d\d/\d\d \d\d:\d\d:\d\d\] \nvalue =  0\n$)");
    EXPECT_TRUE(std::regex_search(out, stamp)) << out;
    ASSERT_TRUE(capture().waitFor(valueLine, 5000));
    auto gap = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0).count();
    EXPECT_GE(gap, 1500);
    EXPECT_LE(gap, 3500);
    EXPECT_TRUE(std::regex_search(capture().text(), stamp)) << capture().text();

    char row[64];
    snprintf(row, sizeof row, "%20s 0x%08X %10d\n", "posTimeStamp", jobId, 2);
    EXPECT_EQ("\n                NAME  THREAD-ID Period(Sec)\n-------------------- ---------- -----------\n" +
                  std::string(row) + "\n" + value(0),
              exec("periodDsp"));

    EXPECT_EQ(value(0), exec("periodKill " + std::to_string(jobId)));
    capture().clear();
    EXPECT_FALSE(capture().waitFor("value =  0", 3000));   // no further run
    EXPECT_EQ("\n                NAME  THREAD-ID Period(Sec)\n-------------------- ---------- -----------\n\n" +
                  value(0),
              exec("periodDsp"));
    EXPECT_EQ(value(-1), exec("periodKill " + std::to_string(jobId)));
}

TEST_F(ConPeriod, ArgumentsReachTheJobAndBadRequestsAreRefused) {
    capture().clear();
    int jobId = posPeriod(100, "  tick", 42, 0, 0, 0, 0, 0);   // leading blanks of the name are skipped
    ASSERT_GT(jobId, 0);
    ASSERT_TRUE(capture().waitFor("\nvalue =  42\n"));
    EXPECT_EQ(0, posPeriodKill(jobId));
    std::string out = exec("period 100, tick,43");   // the blank after the comma opens the name token
    EXPECT_TRUE(out.find("\nvalue =  43\n") != std::string::npos || capture().waitFor("\nvalue =  43\n")) << out;
    // Two blanks: the second one separates, the name token is a lone blank.
    EXPECT_EQ(value(0), exec("period 100,  tick,44"));

    EXPECT_EQ(value(-1), exec("period 0,tick"));
    EXPECT_EQ(value(0), exec("period 1,noSuchCommand"));
    EXPECT_EQ(value(0), exec("period 1"));    // no command name: nothing found, no job
    EXPECT_EQ(-1, posPeriod(1, nullptr, 0, 0, 0, 0, 0, 0));
    EXPECT_EQ(value(-1), exec("periodKill 0"));
}

TEST_F(ConPeriod, CommandWithSevenArgumentsLogsAnErrorEachRun) {
    capture().clear();
    int jobId = posPeriod(100, "seven", 1, 2, 3, 4, 5, 6);
    ASSERT_GT(jobId, 0);
    ASSERT_TRUE(capture().waitFor("POS# ERR: period( .. ) Wrong Input argument number\n\nvalue =  -1\n"));
    posPeriodKill(jobId);
}

TEST_F(ConPeriod, EleventhJobIsRefused) {
    std::vector<int> ids;
    capture().clear();
    for (int i = 0; i < POS_MAX_PERIOD_NUM; ++i) {
        int id = posPeriod(100, "tick", 1000 + i, 0, 0, 0, 0, 0);
        ASSERT_GT(id, 0);
        ids.push_back(id);
    }
    for (int i = 0; i < POS_MAX_PERIOD_NUM; ++i)
        ASSERT_TRUE(capture().waitFor("\nvalue =  " + std::to_string(1000 + i) + "\n"));
    EXPECT_EQ("POS# ERR: Exceed MAX_PERIOD_NUM\n" + value(-1), exec("period 100,tick,99"));
    std::string dsp = exec("periodDsp");
    for (int id : ids) {
        char hex[16];
        snprintf(hex, sizeof hex, "0x%08X", id);
        EXPECT_NE(std::string::npos, dsp.find(hex));
    }
    // A freed slot takes the next job.
    EXPECT_EQ(0, posPeriodKill(ids[3]));
    int id = 0;
    exec("period 100,tick,5", nullptr, &id);
    EXPECT_GT(id, 0);
    for (int i : ids) posPeriodKill(i);
    posPeriodKill(id);
}

TEST_F(ConPeriod, KillDuringBusyLoggingStopsTheJobAndLoggingGoesOn) {
    int jobId = 0;
    exec("period 1,burst", nullptr, &jobId);
    ASSERT_GT(jobId, 0);
    // A run can finish between two polls, so a started run counts too.
    ASSERT_TRUE(waitUntil([] { return g_burstRunning.load() || g_burstRuns.load() > 0; }, 3000));
    // Kill while the job is inside its logging loop (or just after a run).
    EXPECT_EQ(0, posPeriodKill(jobId));
    // The job finishes the run it is in and then ends: no further run starts.
    ASSERT_TRUE(waitUntil([] { return !g_burstRunning.load(); }, 10000));
    int runs = g_burstRuns.load();
    std::this_thread::sleep_for(std::chrono::milliseconds(2500));
    EXPECT_EQ(runs, g_burstRuns.load());
    // The log path is free: a new line passes.
    capture().clear();
    posLogPrint("after kill\n");
    EXPECT_TRUE(capture().waitFor("after kill\n"));
    EXPECT_EQ(value(0), exec("posLogLevel 0"));
}
