// The log: posLogPrint through the log task, switches, routing to the console
// client, the debug file and the hex dumps.
#include "postest_util.h"

#include <atomic>
#include <chrono>
#include <cstring>
#include <fstream>
#include <poll.h>
#include <sstream>
#include <sys/socket.h>
#include <thread>

using namespace postest;

namespace {

class Log : public Runtime {};

std::string readAvailable(int fd, int waitMs = 2000) {
    std::string out;
    struct pollfd p = {fd, POLLIN, 0};
    while (poll(&p, 1, out.empty() ? waitMs : 100) > 0) {
        char buf[8192];
        ssize_t n = read(fd, buf, sizeof buf);
        if (n <= 0) break;
        out.append(buf, static_cast<size_t>(n));
    }
    return out;
}

int largeCreated() {
    pthread_mutex_lock(&g_posPools[0].lock);
    int n = g_posPools[0].created;
    pthread_mutex_unlock(&g_posPools[0].lock);
    return n;
}

std::string readFile(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    std::stringstream ss;
    ss << f.rdbuf();
    return ss.str();
}

TEST(LogBeforeInit, PrintDoesNothingWithoutTheLogTask) {
    testing::internal::CaptureStdout();
    posLogPrint("too early %d\n", 1);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
}

TEST_F(Log, TermSwitchCommands) {
    LogCapture log;
    posLogOn(1);
    EXPECT_TRUE(log.waitFor("POS# All Task's Terminal Log ON\n"));
    EXPECT_EQ(posLogTerm(76), 0);
    EXPECT_TRUE(log.waitFor("POS# Task(76) Term Log OFF\n"));
    EXPECT_EQ(g_posLogTermSw[76].load(), 0);
    EXPECT_EQ(posLogTerm(1076), 1);
    EXPECT_TRUE(log.waitFor("POS# Task(76) Term Log ON\n"));
    EXPECT_EQ(g_posLogTermSw[76].load(), 1);
    EXPECT_EQ(posLogTerm(255), -1);
    EXPECT_EQ(posLogTerm(0), -1);
    EXPECT_EQ(posLogTerm(-4), -1);

    log.clear();
    EXPECT_EQ(posLogOn(2), 0);
    EXPECT_EQ(posLogOff(2), 0);
    for (int i = 0; i <= POS_MAX_USER_TASK; i++) ASSERT_EQ(g_posLogTermSw[i].load(), 1) << i;
    EXPECT_EQ(posLogOff(0), 0);
    EXPECT_TRUE(log.waitFor("POS# All Task's Terminal Log OFF\n"));
    for (int i = 0; i <= POS_MAX_USER_TASK; i++) ASSERT_EQ(g_posLogTermSw[i].load(), 0) << i;
    // posLogOn(2)/posLogOff(2) logged nothing.
    EXPECT_EQ(log.lines().size(), 1u);

    EXPECT_EQ(posLogFile(1), 0);
    EXPECT_EQ(posLogFile(0), -1);
    EXPECT_EQ(posLogDspTaskId(3), 3);
    EXPECT_EQ(posLogDspTimeStamp(1), 1);
    EXPECT_EQ(posLogLevel(5), 5);
}

TEST_F(Log, LongLinesAreCutTo4097Characters) {
    LogCapture log;
    std::string big(5000, 'x');
    posLogPrint("%s", big.c_str());
    ASSERT_TRUE(log.waitForCount(1));
    auto lines = log.lines();
    EXPECT_EQ(lines.back().text, std::string(4097, 'x'));
    EXPECT_EQ(lines.back().sender, 0u);
}

TEST_F(Log, RoutingToTheConsoleClientFollowsTheSwitches) {
    LogCapture log;
    int sv[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);

    // A system task's line (console 911) goes to standard output while no
    // client is connected; a user task's line is dropped.
    PosTask console{};
    console.localId = POS_CONSOLE_TASK_ID;
    console.globalId = 99911;
    console.regMark = POS_TASK_REGISTERED;
    auto fromConsole = [&](const char* text) {
        std::thread th([&] {
            posBindThread(&console, nullptr);
            posLogPrint("%s", text);
        });
        th.join();
    };
    posLogOn(1);
    ASSERT_TRUE(log.waitFor("POS# All Task's Terminal Log ON\n"));
    testing::internal::CaptureStdout();
    fromConsole("console line\n");
    ASSERT_TRUE(runInTask(76, [](PosTask*) { posLogPrint("CAPA] user line\n"); }));
    ASSERT_TRUE(log.waitFor("CAPA] user line\n"));
    ASSERT_TRUE(log.waitFor("console line\n"));
    posMsecSleep(20);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("console line\n"), std::string::npos) << out;
    EXPECT_EQ(out.find("user line"), std::string::npos) << out;

    // With a client: both reach it; the task-id flag prefixes user lines.
    EXPECT_EQ(posConSetClient(sv[0]), -1);
    EXPECT_EQ(posConHasClient(), 1);
    fromConsole("console again\n");
    posLogDspTaskId(1);
    PosTask* capa = posGetTask(76);
    std::atomic<bool> done{false};
    std::thread th([&] {
        posBindThread(capa, nullptr);
        posLogPrint("CAPA] with id\n");
        done = true;
    });
    th.join();
    std::string got;
    ASSERT_TRUE(waitUntil([&] {
        got += readAvailable(sv[1], 50);
        return got.find("99076:CAPA] with id\n") != std::string::npos;
    }));
    EXPECT_NE(got.find("console again\n"), std::string::npos);

    // A user task whose switches are off is dropped before the log task.
    log.clear();
    posLogTerm(76);
    std::thread th2([&] {
        posBindThread(capa, nullptr);
        posLogPrint("CAPA] silent\n");
    });
    th2.join();
    posLogPrint("marker\n");
    ASSERT_TRUE(log.waitFor("POS# Task(76) Term Log OFF\n"));
    ASSERT_TRUE(log.waitFor("marker\n"));
    EXPECT_FALSE(log.has("CAPA] silent\n"));

    // The peer closing makes sends fail: the line is lost and reported.
    posLogDspTaskId(0);
    close(sv[1]);
    testing::internal::CaptureStdout();
    fromConsole("lost\n");
    ASSERT_TRUE(log.waitFor("lost\n"));
    posMsecSleep(50);
    out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("POS# CON: Err Tx To Socket("), std::string::npos) << out;
    EXPECT_NE(out.find("PRC# Connection Closed\n"), std::string::npos) << out;
    // The failed send dropped the client; the console server closes it.
    EXPECT_EQ(posConHasClient(), 0);
    posConCloseClient(sv[0]);
    EXPECT_EQ(posConSend("x", 1), -1);
}

TEST_F(Log, ClientThatStopsReadingHoldsLoggingForOneSendTimeoutAtMost) {
    LogCapture log;
    posLogOn(1);
    ASSERT_TRUE(log.waitFor("POS# All Task's Terminal Log ON\n"));
    int sv[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
    int small = 4096;
    setsockopt(sv[0], SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
    setsockopt(sv[1], SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    ASSERT_EQ(posConSetClient(sv[0]), -1);   // sv[1] is never read
    const int largeBefore = largeCreated();

    // A task logs far more lines than the log queue holds.
    const int lines = 3 * POS_LOG_QUEUE_LIMIT;
    const std::string pad(180, 'x');
    std::atomic<long long> longestCallMs{0};
    const auto start = std::chrono::steady_clock::now();
    testing::internal::CaptureStdout();
    ASSERT_TRUE(runInTask(76, [&](PosTask*) {
        for (int i = 0; i < lines; ++i) {
            const auto t0 = std::chrono::steady_clock::now();
            posLogPrint("CAPA] flood %d %s\n", i, pad.c_str());
            const long long ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                                     std::chrono::steady_clock::now() - t0).count();
            if (ms > longestCallMs.load()) longestCallMs.store(ms);
        }
    }));
    // Every line passes the log task soon after the one send time-out.
    ASSERT_TRUE(log.waitForCount(size_t(lines) + 1, 10000)) << log.lines().size();
    const long long allMs = std::chrono::duration_cast<std::chrono::milliseconds>(
                                std::chrono::steady_clock::now() - start).count();
    posMsecSleep(20);
    const std::string out = testing::internal::GetCapturedStdout();

    EXPECT_LE(longestCallMs.load(), POS_CON_SEND_TIMEOUT_MS + 1000);
    EXPECT_LE(allMs, POS_CON_SEND_TIMEOUT_MS + 3000);
    // The timed-out send dropped the client, once.
    EXPECT_EQ(posConHasClient(), 0);
    size_t errors = 0;
    for (size_t p = out.find("POS# CON: Err Tx To Socket("); p != std::string::npos;
         p = out.find("POS# CON: Err Tx To Socket(", p + 1))
        ++errors;
    EXPECT_EQ(errors, 1u) << out.substr(0, 2000);
    // The client sees its connection end after the lines it was sent.
    bool ended = false;
    for (int i = 0; i < 1000 && !ended; ++i) {
        char buf[4096];
        pollfd p = {sv[1], POLLIN, 0};
        if (poll(&p, 1, 1000) <= 0) break;
        ended = read(sv[1], buf, sizeof buf) == 0;
    }
    EXPECT_TRUE(ended);
    // The burst left no more large sticks than the log queue holds.
    EXPECT_LE(largeCreated() - largeBefore, POS_LOG_QUEUE_LIMIT + 64);
    posConCloseClient(sv[0]);
    close(sv[1]);
}

TEST_F(Log, NonTaskLinesGoStraightToStdoutBeforeTheConsoleIsUp) {
    LogCapture log;
    g_posConsoleUp.store(0);
    testing::internal::CaptureStdout();
    posLogPrint("direct %d\n", 5);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(out, "direct 5\n");
    EXPECT_FALSE(log.has("direct 5\n"));
    // Once the console is up, the same thread's lines go through the log task.
    g_posConsoleUp.store(1);
    posLogPrint("queued %d\n", 6);
    EXPECT_TRUE(log.waitFor("queued 6\n"));
}

std::string dumpRow(const uint8_t* p, int n) {
    std::string s;
    char b[8];
    for (int i = 0; i < n; i++) {
        snprintf(b, sizeof b, " %02X", p[i]);
        s += b;
    }
    for (int i = n; i < 16; i++) s += "   ";
    s += "  ";
    auto ch = [](uint8_t c) -> char {
        if (c >= 0x20 && c <= 0x7E) return static_cast<char>(c);
        if (c == 0x0D) return static_cast<char>(0xAB);
        if (c == 0x0A) return static_cast<char>(0xF1);
        return static_cast<char>(0xF7);
    };
    for (int i = 0; i < n; i++) {
        if (n == 16 && i == 8) s += ' ';
        s += ch(p[i]);
    }
    return s + "\n";
}

TEST_F(Log, DumpLayout) {
    LogCapture log;
    uint8_t data[20];
    const char* text = "AB\nC\rD\x01xyz0123456789";
    memcpy(data, text, 20);
    EXPECT_EQ(dspMsgStream("RX", data, 20, 16), 0);
    std::string want = " [RX] L(0x14, 20)\n";
    want += " 41 42 0A 43 0D 44 01 78 79 7A 30 31 32 33 34 35  AB\xF1" "C\xAB" "D\xF7x yz012345\n";
    want += " 36 37 38 39";
    for (int i = 0; i < 12; i++) want += "   ";
    want += "  6789\n";
    EXPECT_TRUE(log.waitFor(want)) << (log.lines().empty() ? "" : log.lines().back().text);
    EXPECT_EQ(dumpRow(data, 16), " 41 42 0A 43 0D 44 01 78 79 7A 30 31 32 33 34 35  AB\xF1" "C\xAB" "D\xF7x yz012345\n");

    // 1000 bytes: 27 full rows (432 bytes) and no more.
    std::vector<uint8_t> big(1000);
    for (size_t i = 0; i < big.size(); i++) big[i] = static_cast<uint8_t>(i);
    log.clear();
    dspMsgStream("BIG", big.data(), 1000, 0);
    ASSERT_TRUE(log.waitForCount(1));
    std::string expect = " [BIG] L(0x3E8, 1000)\n";
    for (int r = 0; r < 27; r++) expect += dumpRow(big.data() + r * 16, 16);
    EXPECT_EQ(log.lines()[0].text, expect);

    log.clear();
    posDspStream(big.data(), 5);
    ASSERT_TRUE(log.waitForCount(1));
    EXPECT_EQ(log.lines()[0].text, dumpRow(big.data(), 5));

    dspMsgStream("X", nullptr, 3, 77);
    EXPECT_TRUE(log.waitFor("dspMsgStream[ NULL Data !! ] Chunk:77\n"));
    posDspStream(nullptr, 3);
    EXPECT_TRUE(log.waitFor("posDspStream[ NULL Data !! ]\n"));
    log.clear();
    dspMsgStream(nullptr, data, 1, 0);
    ASSERT_TRUE(log.waitForCount(1));
    EXPECT_EQ(log.lines()[0].text.rfind(" [[DATA]] L(0x1, 1)\n", 0), 0u);
}

TEST_F(Log, DebugFileLinesAndLevels) {
    std::string path = dir_ + "/posDebug-QLAG99.txt";
    const char* names[] = {"  LOG", "  LOW", "  MID", " HIGH", "FATAL", "ASSRT", "ASSRT"};
    for (int level = 0; level <= 6; level++)
        EXPECT_EQ(posDebugLog(level, "file.cpp", 10 + level, "text here"), 0);
    EXPECT_EQ(posDebugLog(4, nullptr, 1, nullptr), 0);
    std::string content = readFile(path);
    std::istringstream in(content);
    std::string line;
    int i = 0;
    time_t now = time(nullptr);
    struct tm tmv;
    localtime_r(&now, &tmv);
    char yy[8];
    snprintf(yy, sizeof yy, "%02d", (tmv.tm_year + 1900) % 2000);
    while (std::getline(in, line)) {
        SCOPED_TRACE(line);
        // "%02d/%02d/%02d %02d:%02d:%02d %03d:%s %s:%d %s"
        int y, mo, d, h, mi, se, consumed = 0;
        ASSERT_EQ(sscanf(line.c_str(), "%2d/%2d/%2d %2d:%2d:%2d 099:%n", &y, &mo, &d, &h, &mi,
                         &se, &consumed),
                  6);
        ASSERT_EQ(consumed, 22);
        EXPECT_EQ(line.substr(0, 2), yy);
        std::string rest = line.substr(22);
        if (i <= 6) {
            std::string want = std::string(names[i]) + " file.cpp:" + std::to_string(10 + i) +
                               " text here";
            EXPECT_EQ(rest, want);
        } else {
            EXPECT_EQ(rest, "FATAL :1 ");
        }
        i++;
    }
    EXPECT_EQ(i, 8);

    // An unwritable folder: the line goes to standard output, result -1.
    setenv("POS_DEBUG_DIR", "/nonexistent-dir/x", 1);
    testing::internal::CaptureStdout();
    EXPECT_EQ(posDebugLog(4, "f.cpp", 7, "lost"), -1);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("099:FATAL                f.cpp:00007 lost\n"), std::string::npos) << out;
}

}  // namespace

namespace {

TEST_F(Log, LogTaskIgnoresOtherPrimsAndFreesThem) {
    LogCapture log;
    Stick* s = posAllocStick(20);
    s->primId = 5;
    strcpy(reinterpret_cast<char*>(s->data + 4), "not a line");
    ASSERT_EQ(posTxMsg(POS_LOG_TASK_ID, &s, POS_HERE), 0);
    posLogPrint("marker\n");
    ASSERT_TRUE(log.waitFor("marker\n"));
    EXPECT_EQ(log.lines().size(), 1u);
    // Every small stick is back in its pool.
    EXPECT_TRUE(waitUntil([&] { return poolFree(2) == g_posPools[2].created; }));
}

// An observer that stays inside each call for 5 ms and then checks that its
// context is still in use.
struct SlowObserver {
    std::atomic<bool> alive{true};
    std::atomic<int> calls{0};
    std::atomic<int> sawDead{0};
    static void observe(uint32_t, const char*, void* ctx) {
        auto* o = static_cast<SlowObserver*>(ctx);
        o->calls++;
        const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(5);
        while (std::chrono::steady_clock::now() < until) {
        }
        if (!o->alive.load()) o->sawDead++;
    }
};

TEST_F(Log, RemovingTheObserverWaitsForTheCallInProgress) {
    for (int round = 0; round < 10; ++round) {
        SlowObserver o;
        posLogSetObserver(&SlowObserver::observe, &o);
        posLogPrint("round\n");
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while (o.calls.load() == 0 && std::chrono::steady_clock::now() < end) {
        }
        ASSERT_EQ(o.calls.load(), 1);
        // The observer is inside its call now; once removal returns its
        // context may go away.
        posLogSetObserver(nullptr, nullptr);
        o.alive = false;
        LogCapture next;
        posLogPrint("after\n");
        ASSERT_TRUE(next.waitFor("after\n"));
        EXPECT_EQ(o.calls.load(), 1);
        EXPECT_EQ(o.sawDead.load(), 0) << "round " << round;
    }
}

TEST(Sleep, NegativeSleepsZero) {
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(posMsecSleep(-1000), 0);
    EXPECT_EQ(posMsecSleep(0), 0);
    auto spent = std::chrono::steady_clock::now() - t0;
    EXPECT_LT(spent, std::chrono::milliseconds(500));
    t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(posMsecSleep(20), 0);
    EXPECT_GE(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(20));
}

}  // namespace
