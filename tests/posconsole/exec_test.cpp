// The console's executor in-process: command table, tokeniser, number
// reading, history and recall, built-in words, shell commands, help text.
#include "testsupport.h"

#include <chrono>
#include <climits>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

using namespace contest;

namespace {

std::vector<int> g_args;
int g_calls = 0;

int probe1(int a) {
    g_args = {a};
    ++g_calls;
    return a;
}
int probe2(int a, int b) {
    g_args = {a, b};
    return a - b;
}
int probe12(int a1, int a2, int a3, int a4, int a5, int a6, int a7, int a8, int a9, int a10, int a11, int a12) {
    g_args = {a1, a2, a3, a4, a5, a6, a7, a8, a9, a10, a11, a12};
    return 12;
}
int first0() { return 100; }
int second0() { return 200; }

class ConExec : public Runtime {
protected:
    static void SetUpTestSuite() {
        Runtime::SetUpTestSuite();
        static bool registered = false;
        if (registered) return;
        registered = true;
        posRegCmd1("probe1", probe1);
        posRegCmd2("probe2", probe2);
        posAddSymbol(reinterpret_cast<PosAnyFn>(probe12), 12, "probe12");
        posRegCmd0("dupName", first0);
        posRegCmd0("dupName", second0);
    }
};

}  // namespace

TEST_F(ConExec, ArgumentFormsReachTheCommand) {
    struct Case {
        const char* line;
        int expect;
    } cases[] = {
        {"probe1 76", 76},     {"probe1,76", 76},     {"probe1  76", 76},  {"   probe1 76", 76},
        {"probe1 0x10", 16},   {"probe1 0X1f", 31},   {"probe1 -12", -12}, {"probe1 +7", 7},
        {"probe1 12abc", 12},  {"probe1", 0},         {"probe1 ", 0},      {"probe1 76\n99", 76},
    };
    for (const auto& c : cases) {
        g_args.clear();
        int code = -1, v = 0;
        std::string out = exec(c.line, &code, &v);
        EXPECT_EQ(2, code) << c.line;
        ASSERT_EQ(1u, g_args.size()) << c.line;
        EXPECT_EQ(c.expect, g_args[0]) << c.line;
        EXPECT_EQ(c.expect, v) << c.line;
        EXPECT_EQ(value(c.expect), out) << c.line;
    }
}

TEST_F(ConExec, NumberReadingWrapsIn32Bits) {
    struct Case {
        const char* token;
        int expect;
    } cases[] = {
        {"", 0},
        {" 76", 76},
        {"0x10", 16},
        {"0xFFFFFFFF", -1},
        {"0x1FFFFFFFF", -1},            // wraps: only the low 32 bits stay
        {"0xffffffffffffffffffff", -1},
        {"0x1g", 16},                   // 'g' is above '0' and no hex digit: counts as 0
        {"0x-5", 5},                    // '-' is below '0': reading stops there
        {"4294967297", 1},
        {"2147483648", INT_MIN},
        {"-2147483648", INT_MIN},
        {"99999999999999999999", 1661992959},
        {"-", 0},
        {"abc", 0},
    };
    for (const auto& c : cases) EXPECT_EQ(c.expect, posCmdNumber(c.token)) << c.token;
}

TEST_F(ConExec, TwoArgumentsAndMissingOnesCountAsZero) {
    exec("probe2 10,3");
    EXPECT_EQ((std::vector<int>{10, 3}), g_args);
    exec("probe2 10");
    EXPECT_EQ((std::vector<int>{10, 0}), g_args);
}

TEST_F(ConExec, TwelveArgumentsAndNoMoreThanThirteenTokens) {
    std::string out = exec("probe12 1,2,3,4,5,6,7,8,9,10,11,12,13,14");
    EXPECT_EQ((std::vector<int>{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12}), g_args);
    EXPECT_EQ(value(12), out);
}

TEST_F(ConExec, RegistrationRefusesBadKindsAndFirstNameWins) {
    EXPECT_EQ(-1, posAddSymbol(reinterpret_cast<PosAnyFn>(first0), 13, "kind13"));
    EXPECT_EQ(-1, posAddSymbol(reinterpret_cast<PosAnyFn>(first0), -1, "kindMinus"));
    EXPECT_EQ(-1, posAddSymbol(nullptr, 0, "noFunction"));
    EXPECT_EQ(-1, posAddSymbol(reinterpret_cast<PosAnyFn>(first0), 0, nullptr));
    EXPECT_EQ(value(100), exec("dupName"));
    EXPECT_EQ("Wrong Command\nQLAG99> ", exec("kind13"));
}

TEST_F(ConExec, EmptyLinesPrintOnlyThePrompt) {
    for (const char* line : {"", "   ", "\n"}) {
        int code = -1;
        EXPECT_EQ("QLAG99> ", exec(line, &code)) << line;
        EXPECT_EQ(1, code);
    }
}

TEST_F(ConExec, MsecSleepWithHexSleepsAndPrintsItsArgument) {
    auto t0 = std::chrono::steady_clock::now();
    std::string out = exec("posMsecSleep 0x10");
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0).count();
    EXPECT_EQ(value(16), out);
    EXPECT_GE(ms, 16);
}

TEST_F(ConExec, BangBangRepeatsTheLastLineAndLogsItsTokens) {
    exec("posMsecSleep 0x10");
    EXPECT_EQ("posMsecSleep,0x10,\n" + value(16), exec("!!"));
}

TEST_F(ConExec, BangNumberRecallsThatEntry) {
    exec("probe1 5");    // entry 0
    exec("probe1 6");    // entry 1
    exec("probe2 7,8");  // entry 2
    EXPECT_EQ("probe1,6,\n" + value(6), exec("!1"));          // entry 3
    EXPECT_EQ("probe2,7,8,\n" + value(-1), exec("!2"));       // entry 4
    // The number is read as decimal digits: "!0x3" is entry 0, not entry 3.
    EXPECT_EQ("probe1,5,\n" + value(5), exec("!0x3"));        // entry 5
    // An empty entry recalls empty tokens: nothing runs, but the line is
    // recorded (entry 6, empty), so the listing ends before it.
    int code = -1;
    EXPECT_EQ("\nQLAG99> ", exec("!49", &code));
    EXPECT_EQ(1, code);
    // A number beyond the history recalls nothing: the line stays "!50".
    EXPECT_EQ("!50,\nWrong Command\nQLAG99> ", exec("!50"));
    EXPECT_EQ(" 0 probe1 5,\n 1 probe1 6,\n 2 probe2 7,8,\n 3 probe1 6,\n 4 probe2 7,8,\n 5 probe1 5,\n" +
                  value(0),
              exec("history"));   // entry 7
    EXPECT_EQ("history,\n 0 probe1 5,\n 1 probe1 6,\n 2 probe2 7,8,\n 3 probe1 6,\n 4 probe2 7,8,\n 5 probe1 5,\n" +
                  value(0),
              exec("!7"));
}

TEST_F(ConExec, BangTextRecallsTheMostRecentMatch) {
    exec("probe1 1");
    exec("posMsecSleep 2");
    exec("probe2 3,4");
    exec("posMsecSleep 5");
    exec("probe1 9");
    EXPECT_EQ("posMsecSleep,5,\n" + value(5), exec("!pos"));
    EXPECT_EQ("probe2,3,4,\n" + value(-1), exec("!probe2"));
    EXPECT_EQ("!nothing,\nWrong Command\nQLAG99> ", exec("!nothing"));
}

TEST_F(ConExec, RecallSearchWrapsAroundTheHistory) {
    exec("probe2 1,1");   // entry 0
    for (int i = 0; i < 48; ++i) exec("probe1 " + std::to_string(i));   // entries 1..48
    exec("posMsecSleep 1");   // entry 49
    exec("probe1 77");        // entry 0 again (overwrites probe2)
    // Backwards from entry 0 the search wraps to 49.
    EXPECT_EQ("posMsecSleep,1,\n" + value(1), exec("!posM"));
    std::string h = exec("history");
    EXPECT_EQ(0u, h.find(" 0 probe1 77,\n 1 posMsecSleep 1,\n 2 history \n 3 probe1 2,\n")) << h;
    EXPECT_NE(std::string::npos, h.find("\n49 posMsecSleep 1,\n")) << h;
}

TEST_F(ConExec, MistypedCommandIsLeftOutOfTheHistory) {
    exec("probe1 1");
    EXPECT_EQ("Wrong Command\nQLAG99> ", exec("probeX 2"));
    exec("probe2 3,4");
    EXPECT_EQ(" 0 probe1 1,\n 1 probe2 3,4,\n 2 history \n" + value(0), exec("history"));
}

TEST_F(ConExec, HistoryListingShowsAtMostNineArguments) {
    exec("probe12 1,2,3,4,5,6,7,8,9,10,11,12");
    exec("probe1 ,");   // the comma after the separator is the argument token
    EXPECT_EQ(" 0 probe12 1,2,3,4,5,6,7,8,9,\n 1 probe1 ,,\n 2 h \n" + value(0), exec("h"));
}

TEST_F(ConExec, TokenOf32CharactersFillsItsSlotAndEndsTokenising) {
    const std::string name32 = "abcdefghijklmnopqrstuvwxyz012345";
    ASSERT_EQ(32u, name32.size());
    static int calls32 = 0;
    static int arg32 = -1;
    posRegCmd1(name32.c_str(), [](int a) {
        ++calls32;
        arg32 = a;
        return 32;
    });
    EXPECT_EQ(value(32), exec(name32 + " 5"));
    EXPECT_EQ(1, calls32);
    EXPECT_EQ(0, arg32);   // tokenising stopped at the full token
    // A longer word is cut to its first 32 characters.
    EXPECT_EQ(value(32), exec(name32 + "6789 5"));
    EXPECT_EQ(" 0 " + name32 + " \n 1 " + name32 + " \n 2 history \n" + value(0), exec("history"));
    EXPECT_EQ(name32 + ",\n" + value(32), exec("!0"));
}

TEST_F(ConExec, ShellCommandsGoThroughTheRunnerOnlyWhenExact) {
    struct Case {
        const char* line;
        bool runs;
    } cases[] = {
        {"ls", true}, {"date", true}, {"ls -al", true}, {"pwd", true},
        {"ls -l", false}, {" ls", false}, {"ls ", false}, {"pwd x", false},
    };
    for (const auto& c : cases) {
        shellCalls().clear();
        int code = -1;
        std::string out = exec(c.line, &code);
        EXPECT_EQ(0, code) << c.line;
        if (c.runs) {
            EXPECT_EQ("\nQLAG99> ", out) << c.line;
            EXPECT_EQ(std::vector<std::string>{c.line}, shellCallsCopy()) << c.line;
        } else {
            EXPECT_EQ("Wrong Command\nQLAG99> ", out) << c.line;
            EXPECT_TRUE(shellCallsCopy().empty()) << c.line;
        }
    }
    // Shell lines are not kept in the history either.
    EXPECT_EQ(" 0 history \n" + value(0), exec("history"));
}

TEST_F(ConExec, WordsNamedInTheHelpButNotCommandsAreWrong) {
    for (const char* w : {"posDspQueue", "posLogIpcErr", "posReset"})
        EXPECT_EQ("Wrong Command\nQLAG99> ", exec(w)) << w;
}

TEST_F(ConExec, HelpTextIsExact) {
    const std::string help =
        "\n > posHelp/ help               *Display This Message\n"
        " > posDspVer                   *Display Task's Version Information\n"
        " > posDspTask taskId           *Display Task's(0~254) Information\n"
        " > posDspMem                   *Display Used Dynamic Memory\n"
        " > posDspIpc                   *Display IPC Channel Attr.\n"
        " > posSocketClearSystem nodeId *Reset Socket Connected System\n"
        " > posDspErr                   *Display OS-Error\n"
        " > posClrErr                   *Reset Task's-Error\n"
        " > posDspQueue                 *Display POS-QUEUE\n"
        " > posSockLog     nodeId       *Socket IPC Log\n"
        " > posLogIpcErr                *IPC Error Log\n"
        " > posLogLevel    level        *0: Header   1: All\n"
        " > posLogFile taskId           *Task's File Log On/Off \n"
        " > posLogTerm taskId           *Task's Term Log On/Off \n"
        " > posLogOff [sel]             *All Task's Term or File Log OnOff\n"
        " > posLogOn [sel]              *All Task's Term or File Log On/Off\n"
        " > posLogDspTaskId flag        *0:OFF  1:ON\n"
        " > posLogDspTimeStamp flag     *0:OFF  1:ON\n"
        " > runScript scriptFileName    *Run Script File\n"
        " > posReset/ bye/ by           *Exit\n"
        " > posReboot                   *Reboot the Machine\n"
        " > posShowSymbol               *Display Symbol Table\n"
        " > posSocketClose nodeId       *Socket Close\n"
        " > posSetTrySocketConnectTime second *Set Time to Try Client Socket \n"
        " > history/ h                  *Display Command History\n"
        " > ps/ i                       *Display Task\n"
        " > period sec,func,arg1,..     *Periodic Command(Func)\n"
        " > periodDsp                   *Display Running Periodic Commands\n"
        " > periodKill                  *Stop Periodic Command\n";
    EXPECT_EQ(help + value(0), exec("help"));
    EXPECT_EQ(help + value(0), exec("posHelp"));
}

TEST_F(ConExec, SymbolTableListsTheBuiltInsInOrder) {
    const std::string builtins =
        "help(0) \nposHelp(0) \nposDspVer(0) \nposDspTask(1) \nposDspMem(0) \nposDspUsrMem(0) \n"
        "posDspIpc(0) \nposSocketClose(1) \nposSocketClearSystem(1) \nposSetTrySocketConnectTime(1) \n"
        "periodDsp(0) \nperiodKill(1) \nposMsecSleep(1) \nposDspErr(1) \nposSockLog(1) \nhistory(0) \n"
        "h(0) \nposLogLevel(1) \nposShowSymbol(0) \nps(0) \nposTimeStamp(0) \nposReboot(1) \nby(1) \n"
        "bye(1) \ni(0) \nposLogFile(1) \nposLogTerm(1) \nposLogOff(1) \nposLogOn(1) \nposLogDspTaskId(1) \n"
        "posLogDspTimeStamp(1) \nposClrErr(1) \n";
    std::string out = exec("posShowSymbol");
    EXPECT_EQ(0u, out.find(builtins)) << out;
    EXPECT_NE(std::string::npos, out.find("probe1(1) \nprobe2(2) \nprobe12(12) \ndupName(0) \ndupName(0) \n"));
}

TEST_F(ConExec, GrepListsEveryOccurrenceInLongerNames) {
    posRegCmd0("xyzzyxyzzy", first0);
    EXPECT_EQ("xyzzyxyzzy (0) \nxyzzyxyzzy (0) \n" + value(0), exec("grep xyzzy"));
    EXPECT_EQ(value(0), exec("lkup xyzzyxyzzy"));   // equal length: not listed
    EXPECT_EQ("posDspUsrMem (0) \n" + value(0), exec("lkup DspU"));
    EXPECT_EQ("posDspTask (1) \nposLogDspTaskId (1) \nposLogDspTimeStamp (1) \n" + value(0), exec("grep DspT"));
}

TEST_F(ConExec, ResultCodesPrintAsSpecified) {
    capture().clear();
    posCmdResult(2, -7);
    posLogPrint("|");
    posCmdResult(1, 0);
    posLogPrint("|");
    posCmdResult(0, 0);
    posLogPrint("|");
    posCmdResult(9, 0);
    posLogPrint("%s", kEnd);
    ASSERT_TRUE(capture().waitFor(kEnd));
    EXPECT_EQ("\r\nvalue = -7\r\nQLAG99> |QLAG99> |QLAG99> |" + std::string(kEnd), capture().text());
}

TEST_F(ConExec, TimeStampCommandLogsLocalTime) {
    std::string out = exec("posTimeStamp");
    ASSERT_EQ(23u + value(0).size(), out.size()) << out;
    EXPECT_EQ(" [", out.substr(0, 2));
    EXPECT_EQ("] ", out.substr(21, 2));
    EXPECT_EQ('/', out[6]);
    EXPECT_EQ(':', out[15]);
}

TEST_F(ConExec, ByeWithoutArgumentIsRefused) {
    EXPECT_EQ("Wrong Magic Number\n" + value(-1), exec("bye"));
    EXPECT_EQ("Wrong Magic Number\n" + value(-1), exec("by 1500"));
    EXPECT_EQ("Wrong Magic Number\n" + value(-1), exec("posReboot 1"));
    EXPECT_TRUE(shellCallsCopy().empty());
}

TEST_F(ConExec, ScriptRunsLinesUntilAnEmptyLine) {
    char path[] = "/tmp/posconscriptXXXXXX";
    int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    close(fd);
    {
        std::ofstream f(path);
        f << "probe1 3\r\n"                                 // CRLF line
          << "probe1 4" << std::string(140, ' ') << "probe1 66\n"   // cut at 127; the rest is dropped
          << "probe2 9,4\n"
          << "\n"
          << "probe1 55\n";                                 // after the empty line: not run
    }
    std::string out = exec(std::string("runScript ") + path);
    std::string expect = std::string("POS# Script Job START(") + path + ")\n" + value(3) +
                         value(4) + value(5) + "POS# Script Job END\n" + value(0);
    EXPECT_EQ(expect, out);
    std::string h = exec("history");
    EXPECT_NE(std::string::npos, h.find(" 3 probe2 9,4,\n")) << h;
    unlink(path);
}

TEST_F(ConExec, ScriptThatRunsItselfStopsAtEightLevels) {
    char path[] = "/tmp/posconscriptXXXXXX";
    int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    close(fd);
    {
        std::ofstream f(path);
        f << "runScript " << path << "\n"
          << "probe1 12\n";
    }
    std::string out = exec(std::string("runScript ") + path);
    const std::string start = std::string("POS# Script Job START(") + path + ")\n";
    const std::string over = std::string("POS# ERR: Script Nesting Over 8(") + path + ")\n";
    // Eight levels run, the ninth is refused with -1; every level goes on
    // with its next line and ends.
    std::string expect;
    for (int i = 0; i < 8; ++i) expect += start;
    expect += over + value(-1);
    for (int i = 0; i < 8; ++i) expect += value(12) + "POS# Script Job END\n" + value(0);
    EXPECT_EQ(expect, out);
    // Later scripts on this thread start from level one again.
    EXPECT_EQ(expect, exec(std::string("runScript ") + path));
    unlink(path);
}

TEST_F(ConExec, ScriptFileNotFound) {
    EXPECT_EQ("POS# Script Job START(/nonexistent/x)\nPOS# ERR: Script File Not Found\n" + value(0),
              exec("runScript /nonexistent/x"));
    EXPECT_EQ(value(0), exec("runScript"));
}

TEST_F(ConExec, ConsoleLineIsCutAt126Characters) {
    PosConLine l{};
    std::string input(200, 'a');
    bool done = false;
    for (char ch : input) ASSERT_FALSE(posConLineAdd(&l, ch));
    done = posConLineAdd(&l, '\0');
    EXPECT_TRUE(done);
    EXPECT_EQ(std::string(126, 'a'), std::string(l.line));
    // One character and the zero: fill 2, which the console answers with the prompt.
    PosConLine s{};
    EXPECT_FALSE(posConLineAdd(&s, 'x'));
    EXPECT_TRUE(posConLineAdd(&s, '\0'));
    EXPECT_EQ(2, s.fill);
}
