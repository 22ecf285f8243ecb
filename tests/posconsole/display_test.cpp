// The runtime displays: exact lines of ps, posDspTask, posDspVer, posDspMem,
// posDspUsrMem, posDspErr and posClrErr against real tasks.
#include "testsupport.h"

#include <cinttypes>
#include <cstdarg>
#include <regex>
#include <thread>

using namespace contest;

namespace {

std::string fmt(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string fmt(const char* format, ...) {
    char buf[512];
    va_list ap;
    va_start(ap, format);
    vsnprintf(buf, sizeof buf, format, ap);
    va_end(ap);
    return buf;
}

uintptr_t ptr(const void* p) { return reinterpret_cast<uintptr_t>(p); }

const char* const kKinds[6] = {
    "Wrong Destination : DTASK:", "Socket Tx Error   : DTASK:", "OS Queue Tx Error :  CODE:",
    "Try Wrong Stick Tx: DTASK:", "Try NULL Stick Tx : DTASK:", "NULL Prim ID      : DTASK:",
};

class ConDisplay : public Runtime {
protected:
    void SetUp() override {
        Runtime::SetUp();
        ASSERT_NE(nullptr, startTestTask("CAPA", 76));
        ASSERT_NE(nullptr, startTestTask("RTP", 83));
        capa = posGetTask(76);
        rtp = posGetTask(83);
        logTask = posGetTask(POS_LOG_TASK_ID);
        settle();
    }

    // A task-table row up to the error mark, as the display forms it.
    static std::string row(PosTask* t, const char* state, const char* err) {
        return fmt("%13s %6d %010" PRIXPTR "/%04X/%04X %4d %3d %3d %08X %06X%s%s", t->name,
                   static_cast<int>(t->globalId), ptr(&t->queue), t->queue.count, t->queue.peak, t->maxMsgLen,
                   t->priority, t->osPriority, t->threadId, t->stackSize, state, err);
    }

    PosTask* capa = nullptr;
    PosTask* rtp = nullptr;
    PosTask* logTask = nullptr;
};

}  // namespace

TEST_F(ConDisplay, DspTaskRefusesIdsThatNameNoTask) {
    EXPECT_EQ("POS# ERR: Wrong LocalTaskId(0)\n" + value(-1), exec("posDspTask 0"));
    EXPECT_EQ("POS# ERR: Wrong LocalTaskId(300)\n" + value(-1), exec("posDspTask 300"));
    EXPECT_EQ("POS# ERR: Wrong LocalTaskId(77)\n" + value(-1), exec("posDspTask 77"));
}

TEST_F(ConDisplay, DspTaskShowsOneTaskByLocalOrGlobalId) {
    capa->errValue[2] = 5;
    capa->errCount[2] = 3;
    snprintf(capa->errFile[2], sizeof capa->errFile[2], "capctask.cpp");
    capa->errLine[2] = 120;
    std::string expect = fmt("\n## Task: CAPA ID: 76: ##\n- ThreadId: 0x%X   Priority: 100(OS:%d)\n", capa->threadId,
                             capa->osPriority) +
                         fmt("- Queue(%016" PRIXPTR ") Cur/Max(0/65535) Root/Last(%016" PRIXPTR "/%016" PRIXPTR ")\n",
                             ptr(&capa->queue), uintptr_t{0}, uintptr_t{0}) +
                         "- CurMaxIPCLength(0 from 0)\n";
    for (int k = 0; k < 6; ++k)
        expect += k == 2 ? fmt("   %s     5-0x00000003(capctask.cpp:120)\n", kKinds[k])
                         : fmt("   %s     0-0x00000000(:0)\n", kKinds[k]);
    EXPECT_EQ(expect + value(0), exec("posDspTask 1076"));
    EXPECT_EQ(expect + value(0), exec("posDspTask 76"));
    EXPECT_EQ(expect + value(0), exec("posDspTask,76"));
    EXPECT_EQ(expect + value(0), exec("posDspTask  76"));
    EXPECT_EQ(expect + value(0), exec("posDspTask 0x4C"));
}

TEST_F(ConDisplay, PsListsUserTasksThenExistingSystemTasks) {
    posLogTerm(83);   // RTP's terminal switch off
    settle();
    capa->errCount[0] = 1;
    posSetLastErr("WARN(posqueue.cpp:99)\n");
    std::string head = "\n ## NODE-ID(99) TotalNum(3) ##\n"
                       "         NAME     ID       Q-ID/ CNT/ PEK MLEN PRI  OS     T-ID STACKS STATE TF\n"
                       "------------- ------ -------------------- ---- --- --- -------- ------ ----- --\n" +
                       row(capa, " PND", "+E") + " OX\n" + row(rtp, " PND", "  ") + " XX\n";
    // The log task is busy with these very lines: its counts and state vary.
    std::string logRow = fmt("      POS-LOG  99914 %010" PRIXPTR "/[0-9A-F]{4}/[0-9A-F]{4} +[0-9]+ 255 +[0-9]+ %08X 00C350 (RUN|PND)  \n",
                             ptr(&logTask->queue), logTask->threadId);
    for (const char* cmd : {"ps", "i"}) {
        std::string out = exec(cmd);
        ASSERT_EQ(0u, out.find(head)) << out;
        std::string rest = out.substr(head.size());
        std::string tail = "\n   * LAST-ERR: WARN(posqueue.cpp:99)\n" + value(0);
        ASSERT_GE(rest.size(), tail.size());
        EXPECT_EQ(tail, rest.substr(rest.size() - tail.size()));
        EXPECT_TRUE(std::regex_match(rest.substr(0, rest.size() - tail.size()), std::regex(logRow))) << rest;
    }
}

TEST_F(ConDisplay, PsShowsATaskHeldAtItsGate) {
    // Created after the release: it registers and stays held until released.
    int err = 0;
    testTaskSlot(90) = new TestTask;
    ASSERT_NE(0, posCreateTask(testTaskEntry, "HELD", 90, 50, 0xFFFF, 0, 50000, &err));
    PosTask* held = posGetTask(90);
    for (int i = 0; i < 2000 && !(__atomic_load_n(&held->stateFlags, __ATOMIC_ACQUIRE) & POS_TASK_HELD); ++i)
        posMsecSleep(1);
    std::string out = exec("ps");
    EXPECT_NE(std::string::npos, out.find("         HELD  99090 ")) << out;
    EXPECT_NE(std::string::npos, out.find(" SUS   OX\n")) << out;
}

TEST_F(ConDisplay, DspErrOnlyWithZero) {
    EXPECT_EQ(value(0), exec("posDspErr 1"));
    EXPECT_EQ(value(0), exec("posDspErr -1"));
    posSetLastErr("%s", "");
    const std::string rule(76, '-');
    std::string expect = rule + "\n* System Error: \n" + rule + "\n";
    for (PosTask* t : {capa, rtp}) {
        expect += fmt("=== %10s:%8d ========\n", t->name, t->localId);
        for (int k = 0; k < 6; ++k) expect += fmt("      %s     0-0x00000000(:0)\n", kKinds[k]);
        if (t == rtp) expect += "      * Last Error: POS# ERR: Task(RTP): Exceed Max Queue Count(1) from x.cpp:1\n";
        expect += rule + "\n";
    }
    snprintf(rtp->lastError, sizeof rtp->lastError, "POS# ERR: Task(RTP): Exceed Max Queue Count(1) from x.cpp:1\n");
    EXPECT_EQ(expect + value(0), exec("posDspErr 0"));
}

TEST_F(ConDisplay, ErrorTextIsNeverShownHalfWritten) {
    // A writer keeps replacing the global error text while ps and posDspErr
    // show it: every shown text is one whole version, never a mix.
    const std::string a(200, 'A'), b(200, 'B');
    posSetLastErr("%s", a.c_str());
    std::atomic<bool> stop{false};
    std::thread writer([&] {
        for (int i = 0; !stop.load(); ++i) posSetLastErr("%s", (i & 1) ? b.c_str() : a.c_str());
    });
    int whole = 0;
    std::string bad;
    for (int round = 0; round < 300 && bad.empty(); ++round) {
        for (const char* cmd : {"ps", "posDspErr 0"}) {
            const std::string out = exec(cmd);
            const std::string mark = std::strcmp(cmd, "ps") == 0 ? "* LAST-ERR: " : "* System Error: ";
            const size_t at = out.find(mark);
            const std::string text = at == std::string::npos ? out : out.substr(at + mark.size(), 200);
            if (text == a || text == b)
                ++whole;
            else
                bad = std::string(cmd) + ": " + text;
        }
    }
    stop = true;
    writer.join();
    posSetLastErr("%s", "");
    EXPECT_EQ("", bad);
    EXPECT_EQ(600, whole);
}

TEST_F(ConDisplay, ClrErrBySelection) {
    logTask->errCount[1] = 4;
    capa->errCount[3] = 2;
    EXPECT_EQ(value(0), exec("posClrErr 3"));
    EXPECT_EQ(2u, capa->errCount[3]);
    EXPECT_EQ(4u, logTask->errCount[1]);
    EXPECT_EQ("User Task's error count was cleared\n" + value(0), exec("posClrErr 1"));
    EXPECT_EQ(0u, capa->errCount[3]);
    EXPECT_EQ(4u, logTask->errCount[1]);
    capa->errCount[3] = 2;
    EXPECT_EQ("User Task's error count was cleared\nSystem Task's error count was cleared\n" + value(0),
              exec("posClrErr 0"));
    EXPECT_EQ(0u, capa->errCount[3]);
    EXPECT_EQ(0u, logTask->errCount[1]);
    EXPECT_EQ("System Task's error count was cleared\n" + value(0), exec("posClrErr 2"));
}

TEST_F(ConDisplay, DspVerShowsVersionRecords) {
    std::string out = exec("posDspVer");
    std::string expect = fmt("\n** Initiated Time: %s **\n", g_posStartTime) +
                         fmt("** POS[ 9.02NORDA(May 26 2020 18:44:36) N(99) WIN32(RR:Min:%d-Max:%d) ]\n\n",
                             posRrPriorityMin(), posRrPriorityMax()) +
                         "    TASK NAME TASK ID  Version      Author           Last Updated Comments\n"
                         "------------- ------- -------- ----------- ---------------------- --------------\n"
                         "         CAPA   99076 02.08.04      tester  May 26 2020(18:44:38) unit\n"
                         "          RTP   99083 02.08.04      tester  May 26 2020(18:44:38) unit\n";
    EXPECT_EQ(expect + value(0), out);
    EXPECT_TRUE(std::regex_match(std::string(g_posStartTime), std::regex(R"(\d{4}/\d\d/\d\d \d\d:\d\d:\d\d)")));
}

TEST_F(ConDisplay, DspUsrMemShowsTwelveEmptyClasses) {
    std::string expect = "\n SIZE    TOTAL     BUSY    AVAIL       IN      OUT\n"
                         "----- -------- -------- -------- -------- --------\n";
    for (int size = 8; size <= 16384; size *= 2)
        expect += fmt("%5d 00000000 00000000 00000000 00000000 00000000\n", size);
    EXPECT_EQ(expect + value(0), exec("posDspUsrMem"));
}

TEST_F(ConDisplay, DspMemShowsPoolsAndTimerEntries) {
    std::string out = exec("posDspMem");
    std::string head = "\n     ITEM           QUEUE-ID   TOTL   AVAL    RUN     SIZE\n"
                       "--------- ------------------ ------ ------ ------ --------\n";
    ASSERT_EQ(0u, out.find(head)) << out;
    const char letters[] = {'L', 'M', 'S', 'T'};
    const int sizes[] = {4177, 1067, 557, 77};
    for (int i = 0; i < 4; ++i) {
        std::regex line(fmt("    IPC-%c %018" PRIXPTR " +[0-9A-F]+ +[0-9A-F]+ +[0-9A-F]+ +%X\n", letters[i],
                            ptr(&g_posPools[i].freeQ), sizes[i]));
        EXPECT_TRUE(std::regex_search(out, line)) << letters[i] << "\n" << out;
    }
    EXPECT_NE(std::string::npos, out.find(fmt("  99076-T %018" PRIXPTR " ", ptr(capa->timerTree)))) << out;
    EXPECT_NE(std::string::npos, out.find(fmt("  99083-T %018" PRIXPTR " ", ptr(rtp->timerTree)))) << out;
    EXPECT_NE(std::string::npos, out.find("       78\n" + value(0))) << out;   // entry size 120
}
