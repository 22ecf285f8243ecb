// The remote console end to end: a real posnode process, real TCP clients
// (and the poscon tool), exact output. Every test here holds console port 7599.
#include "pos.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <netinet/in.h>
#include <poll.h>
#include <regex>
#include <sstream>
#include <string>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
int msSince(Clock::time_point t) {
    return static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t).count());
}

std::string readFile(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    std::stringstream ss;
    ss << f.rdbuf();
    return ss.str();
}

const std::string kPrompt = "QLAG99> ";
const std::string kGreeting = "***** Connected.. POS-NODE(99) *****\n" + kPrompt;

std::string value(int v) { return "\r\nvalue = " + std::to_string(v) + "\r\n" + kPrompt; }

// Waits (bounded) until nothing listens on the console port, so that a node
// left by another test run does not take this test's port.
bool waitConsolePortFree(int ms = 30000) {
    Clock::time_point start = Clock::now();
    for (;;) {
        int fd = socket(AF_INET, SOCK_STREAM, 0);
        int on = 1;
        setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_port = htons(7599);
        sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bool free = bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0;
        close(fd);
        if (free) return true;
        if (msSince(start) > ms) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
}

// A posnode child process with its own debug folder; standard output and
// error go to a file in that folder.
class NodeProcess {
public:
    NodeProcess() : NodeProcess("", "") {}
    NodeProcess(const std::string& envName, const std::string& envValue) {
        char tmpl[] = "/tmp/posconnodeXXXXXX";
        dir_ = mkdtemp(tmpl);
        pid_ = fork();
        if (pid_ == 0) {
            setenv("POS_DEBUG_DIR", dir_.c_str(), 1);
            unsetenv("POS_CONSOLE_BIND");
            if (!envName.empty()) setenv(envName.c_str(), envValue.c_str(), 1);
            int out = open((dir_ + "/out.txt").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            dup2(out, 1);
            dup2(out, 2);
            int in = open("/dev/null", O_RDONLY);
            dup2(in, 0);
            execl(POSNODE_PATH, "posnode", static_cast<char*>(nullptr));
            _exit(127);
        }
    }
    ~NodeProcess() {
        if (pid_ > 0 && !exited_) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
    }
    std::string out() const { return readFile(dir_ + "/out.txt"); }
    std::string debugFile() const { return readFile(dir_ + "/posDebug-QLAG99.txt"); }

    bool waitOutput(const std::string& what, int ms = 10000) const {
        Clock::time_point start = Clock::now();
        while (out().find(what) == std::string::npos) {
            if (msSince(start) > ms) return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return true;
    }
    bool waitListening() const { return waitOutput("POS# CON: REMOTE CONSOLE WAIT(Port:7599)\n"); }

    // Waits for the process to end; its exit code, or -1000 on time-out.
    int waitExit(int ms) {
        Clock::time_point start = Clock::now();
        for (;;) {
            int status = 0;
            pid_t r = waitpid(pid_, &status, WNOHANG);
            if (r == pid_) {
                exited_ = true;
                return WIFEXITED(status) ? WEXITSTATUS(status) : -2000 - WTERMSIG(status);
            }
            if (msSince(start) > ms) return -1000;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    }

private:
    std::string dir_;
    pid_t pid_ = -1;
    bool exited_ = false;
};

// A console client on 127.0.0.1:7599. The node's demo tasks log a line every
// second; those lines ("DEMO] ...") are removed from what the client reads.
class Client {
public:
    explicit Client(int rcvBuf = 0) {
        fd_ = socket(AF_INET, SOCK_STREAM, 0);
        if (rcvBuf > 0) setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &rcvBuf, sizeof rcvBuf);
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_port = htons(7599);
        sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        connected_ = ::connect(fd_, reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0;
    }
    ~Client() {
        if (fd_ >= 0) close(fd_);
    }
    bool connected() const { return connected_; }
    bool closed() const { return closed_; }

    void sendRaw(const std::string& bytes) {
        ASSERT_EQ(static_cast<ssize_t>(bytes.size()), send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL));
    }
    void sendLine(const std::string& line) { sendRaw(line + std::string(1, '\0')); }

    // Reads until `what` has arrived (bounded); false on time-out or close.
    bool waitFor(const std::string& what, int ms = 10000) {
        Clock::time_point start = Clock::now();
        size_t from = 0;
        while (buf_.find(what, from) == std::string::npos) {
            if (closed_ || msSince(start) > ms) return false;
            from = buf_.size() > what.size() ? buf_.size() - what.size() : 0;
            pump(ms - msSince(start));
        }
        return true;
    }
    // Reads until the node closes the connection (bounded).
    bool waitClosed(int ms = 10000) {
        Clock::time_point start = Clock::now();
        while (!closed_) {
            if (msSince(start) > ms) return false;
            pump(ms - msSince(start));
        }
        return true;
    }
    // Removes and returns everything up to and including `what`.
    std::string take(const std::string& what) {
        size_t p = buf_.find(what);
        if (p == std::string::npos) return std::string();
        std::string head = buf_.substr(0, p + what.size());
        buf_.erase(0, p + what.size());
        return head;
    }
    // Sends a line and returns its whole answer, up to and including the prompt.
    std::string cmd(const std::string& line, int ms = 10000) {
        sendLine(line);
        EXPECT_TRUE(waitFor(kPrompt, ms)) << line << "\n" << buf_;
        return take(kPrompt);
    }
    bool greeted(int ms = 10000) {
        if (!waitFor(kGreeting, ms)) return false;
        take(kGreeting);
        return true;
    }
    const std::string& pending() const { return buf_; }

private:
    void pump(int ms) {
        pollfd p{fd_, POLLIN, 0};
        if (poll(&p, 1, ms < 1 ? 1 : ms) <= 0) return;
        char b[8192];
        ssize_t n = recv(fd_, b, sizeof b, 0);
        if (n < 0 && errno == EINTR) return;
        if (n <= 0) {
            closed_ = true;
            return;
        }
        raw_.append(b, static_cast<size_t>(n));
        // Move complete lines of the demo tasks out of the way; an incomplete
        // one waits for its end.
        std::string clean;
        size_t pos = 0;
        for (;;) {
            size_t d = raw_.find("DEMO] ", pos);
            if (d == std::string::npos) {
                // A "DEMO] " split across reads: keep back the longest tail
                // that may be its beginning.
                size_t cut = raw_.size();
                for (size_t keep = std::min<size_t>(5, raw_.size() - pos); keep > 0; --keep) {
                    if (raw_.compare(raw_.size() - keep, keep, std::string("DEMO] ").substr(0, keep)) == 0) {
                        cut = raw_.size() - keep;
                        break;
                    }
                }
                clean.append(raw_, pos, cut - pos);
                raw_.erase(0, cut);
                break;
            }
            size_t nl = raw_.find('\n', d);
            clean.append(raw_, pos, d - pos);
            if (nl == std::string::npos) {
                raw_.erase(0, d);
                break;
            }
            pos = nl + 1;
        }
        buf_ += clean;
    }

    int fd_ = -1;
    bool connected_ = false;
    bool closed_ = false;
    std::string raw_;
    std::string buf_;
};

class ConsoleNode : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(waitConsolePortFree());
        node = std::make_unique<NodeProcess>();
        ASSERT_TRUE(node->waitListening()) << node->out();
    }
    std::unique_ptr<NodeProcess> node;
};

}  // namespace

TEST_F(ConsoleNode, GreetingAndErrorDisplays) {
    Client c;
    ASSERT_TRUE(c.connected());
    ASSERT_TRUE(c.greeted()) << c.pending();
    EXPECT_EQ("POS# ERR: Wrong LocalTaskId(0)\n" + value(-1), c.cmd("posDspTask 0"));
    EXPECT_EQ("POS# ERR: Wrong LocalTaskId(300)\n" + value(-1), c.cmd("posDspTask 300"));
    EXPECT_EQ(value(0), c.cmd("posDspErr 1"));
    EXPECT_EQ(value(0), c.cmd("posClrErr 3"));
    EXPECT_EQ("User Task's error count was cleared\nSystem Task's error count was cleared\n" + value(0),
              c.cmd("posClrErr 0"));
    EXPECT_EQ("\nNode  Type F/   FD/ Lstn    VPI/   VCI   IP Address    : Port   OS T-ID UD\n"
              "---- ----- ------------- ------------- ----------------------- -------- --\n\n" +
                  value(0),
              c.cmd("posDspIpc"));
    EXPECT_EQ("POS# ERR: Node Id(3) NOT existed\n" + value(-1), c.cmd("posSockLog 3"));
    EXPECT_EQ("Wrong Command\n" + kPrompt, c.cmd("posDspQueue"));
    // One character and the zero byte: only the prompt.
    EXPECT_EQ(kPrompt, c.cmd("x"));
    EXPECT_EQ(kPrompt, c.cmd(""));
    EXPECT_EQ(0u, c.cmd("help").find("\n > posHelp/ help               *Display This Message\n"));
}

TEST_F(ConsoleNode, TaskDisplayArgumentForms) {
    Client c;
    ASSERT_TRUE(c.greeted());
    auto lines = [](const std::string& s) {
        std::vector<std::string> v;
        std::stringstream ss(s);
        for (std::string l; std::getline(ss, l);) v.push_back(l);
        return v;
    };
    std::vector<std::string> first = lines(c.cmd("posDspTask 10"));
    ASSERT_EQ(14u, first.size());
    EXPECT_EQ("", first[0]);
    EXPECT_EQ("## Task: DEMO-PING ID: 10: ##", first[1]);
    EXPECT_TRUE(std::regex_match(first[2], std::regex(R"(- ThreadId: 0x[0-9A-F]+   Priority: 100\(OS:60\))")))
        << first[2];
    EXPECT_TRUE(std::regex_match(first[3], std::regex(R"(- Queue\([0-9A-F]{16}\) Cur/Max\(\d+/65535\) Root/Last\([0-9A-F]{16}/[0-9A-F]{16}\))")))
        << first[3];
    EXPECT_EQ("   Wrong Destination : DTASK:     0-0x00000000(:0)", first[5]);
    EXPECT_EQ("   NULL Prim ID      : DTASK:     0-0x00000000(:0)", first[10]);
    EXPECT_EQ("value = 0\r", first[12]);
    for (const char* form : {"posDspTask,10", "posDspTask  10", "posDspTask 1010", "posDspTask 0xA", "posDspTask 0XA"}) {
        std::vector<std::string> other = lines(c.cmd(form));
        ASSERT_EQ(first.size(), other.size()) << form;
        for (size_t i = 0; i < first.size(); ++i)
            if (i != 3 && i != 4) {
                EXPECT_EQ(first[i], other[i]) << form;
            }
    }
}

TEST_F(ConsoleNode, PsListsUserAndExistingSystemTasksButNotTheConsole) {
    Client c;
    ASSERT_TRUE(c.greeted());
    std::string out = c.cmd("ps");
    const std::string head = "\n ## NODE-ID(99) TotalNum(3) ##\n"
                             "         NAME     ID       Q-ID/ CNT/ PEK MLEN PRI  OS     T-ID STACKS STATE TF\n"
                             "------------- ------ -------------------- ---- --- --- -------- ------ ----- --\n";
    ASSERT_EQ(0u, out.find(head)) << out;
    const std::string rows =
        "    DEMO-PING  99010 [0-9A-F]{10,}/[0-9A-F]{4}/[0-9A-F]{4} +\\d+ 100  60 [0-9A-F]{8} 00C350 (PND|RUN)   OX\n"
        "    DEMO-PONG  99011 [0-9A-F]{10,}/[0-9A-F]{4}/[0-9A-F]{4} +\\d+ 100  60 [0-9A-F]{8} 00C350 (PND|RUN)   OX\n"
        "      POS-LOG  99914 [0-9A-F]{10,}/[0-9A-F]{4}/[0-9A-F]{4} +\\d+ 255   1 [0-9A-F]{8} 00C350 (PND|RUN)  \n"
        "\r\nvalue = 0\r\nQLAG99> ";
    EXPECT_TRUE(std::regex_match(out.substr(head.size()), std::regex(rows))) << out;
    EXPECT_EQ(std::string::npos, out.find("99911"));
    // "i" (like "h") is one character: typed on the console it only brings
    // the prompt back.
    EXPECT_EQ(kPrompt, c.cmd("i"));
    // The console task exists, though ps does not list it.
    EXPECT_EQ(0u, c.cmd("posDspTask 911").find("\n## Task: POS-CON ID: 911: ##\n"));
}

TEST_F(ConsoleNode, HistoryRecallOverTheConnection) {
    Client c;
    ASSERT_TRUE(c.greeted());
    auto t0 = Clock::now();
    EXPECT_EQ(value(16), c.cmd("posMsecSleep 0x10"));
    EXPECT_GE(msSince(t0), 16);
    EXPECT_EQ("posMsecSleep,0x10,\n" + value(16), c.cmd("!!"));
    EXPECT_EQ("Wrong Command\n" + kPrompt, c.cmd("posMsecSlep 1"));
    EXPECT_EQ(value(5), c.cmd("posLogLevel 5"));
    EXPECT_EQ(" 0 posMsecSleep 0x10,\n 1 posMsecSleep 0x10,\n 2 posLogLevel 5,\n 3 history \n" + value(0),
              c.cmd("history"));
    EXPECT_EQ("posMsecSleep,0x10,\n" + value(16), c.cmd("!posM"));
    EXPECT_EQ("posLogLevel,5,\n" + value(5), c.cmd("!2"));
    EXPECT_EQ(kPrompt, c.cmd("h"));
    EXPECT_EQ(" 0 posMsecSleep 0x10,\n 1 posMsecSleep 0x10,\n 2 posLogLevel 5,\n 3 history \n"
              " 4 posMsecSleep 0x10,\n 5 posLogLevel 5,\n 6 history \n" + value(0),
              c.cmd("history"));
}

TEST_F(ConsoleNode, LongLineIsCutAt126Characters) {
    Client c;
    ASSERT_TRUE(c.greeted());
    // posLogLevel 1 + three 30-character tokens = 106 characters; the fifth
    // token crosses position 126 and the sixth lies beyond it.
    std::string line = "posLogLevel 1";
    for (char ch : {'2', '3', '4'}) line += "," + std::string(30, ch);
    line += "," + std::string(30, 'X') + "," + std::string(62, 'Y');
    ASSERT_EQ(200u, line.size());
    EXPECT_EQ(value(1), c.cmd(line));
    std::string expect = " 0 posLogLevel 1," + std::string(30, '2') + "," + std::string(30, '3') + "," +
                         std::string(30, '4') + "," + std::string(19, 'X') + ",\n 1 history \n" + value(0);
    EXPECT_EQ(expect, c.cmd("history"));
}

TEST_F(ConsoleNode, NewClientTakesOver) {
    Client a;
    ASSERT_TRUE(a.greeted());
    Client b;
    ASSERT_TRUE(b.connected());
    ASSERT_TRUE(b.greeted()) << b.pending();
    EXPECT_TRUE(a.waitClosed(5000));
    EXPECT_EQ(value(0), b.cmd("posDspErr 1"));
    std::string out = node->out();
    size_t first = out.find("POS# CON: PRC Connected from 127.0.0.1..\n");
    ASSERT_NE(std::string::npos, first) << out;
    EXPECT_NE(std::string::npos, out.find("POS# CON: PRC Connected from 127.0.0.1..\n", first + 1)) << out;
    // A client that closes leaves the console waiting for the next.
    { Client gone; ASSERT_TRUE(gone.greeted()); }
    Client c;
    ASSERT_TRUE(c.greeted());
    EXPECT_EQ(value(0), c.cmd("posDspErr 1"));
}

TEST_F(ConsoleNode, ByeWithoutArgumentIsRefusedAndBye520EndsTheNode) {
    Client c;
    ASSERT_TRUE(c.greeted());
    EXPECT_EQ("Wrong Magic Number\n" + value(-1), c.cmd("bye"));
    EXPECT_EQ("Wrong Magic Number\n" + value(-1), c.cmd("by 1"));
    c.sendLine("bye 520");
    EXPECT_TRUE(c.waitClosed(5000));
    EXPECT_EQ(1, node->waitExit(5000));
    std::string dbg = node->debugFile();
    EXPECT_NE(std::string::npos, dbg.find(" 099:FATAL ")) << dbg;
    EXPECT_NE(std::string::npos, dbg.find("POS try down failure(Code:0)\n")) << dbg;
    size_t down = dbg.find("POS down(Code:520)\n");
    size_t clear = dbg.find("Clear POS System(Command: Bye)\n");
    size_t end = dbg.find("END OF POS SYSTEM\n");
    ASSERT_NE(std::string::npos, down) << dbg;
    ASSERT_NE(std::string::npos, clear) << dbg;
    ASSERT_NE(std::string::npos, end) << dbg;
    EXPECT_LT(down, clear);
    EXPECT_LT(clear, end);
}

TEST_F(ConsoleNode, StalledClientDoesNotStallLogging) {
    // A client that never reads, with a tiny receive window, asks for a lot
    // of output: the node's sends to it time out instead of blocking.
    Client stalled(1024);
    ASSERT_TRUE(stalled.connected());
    for (int i = 0; i < 3000; ++i) stalled.sendLine("help");
    ASSERT_TRUE(node->waitOutput("POS# CON: Err Tx To Socket(", 60000)) << node->out();
    EXPECT_TRUE(node->waitOutput("PRC# Connection Closed\n", 1000));
    // The timed-out send dropped the stalled client: the node closes it by
    // itself and goes on logging to its terminal.
    EXPECT_TRUE(stalled.waitClosed(15000));
    EXPECT_TRUE(node->waitOutput("POS# CON: Remote Console Closed\n", 15000)) << node->out();
    // Another operator can still take the console over and use it.
    Client b;
    ASSERT_TRUE(b.waitFor("***** Connected.. POS-NODE(99) *****\n", 15000));
    b.sendLine("posLogLevel 77");
    EXPECT_TRUE(b.waitFor(value(77), 120000))
        << b.pending().size() << " bytes, ending: " << b.pending().substr(b.pending().size() > 300 ? b.pending().size() - 300 : 0);
}

TEST_F(ConsoleNode, ListensOnLoopbackOnly) {
    // /proc/net/tcp: local address 0100007F:1DAF in state 0A (listen).
    std::string tcp = readFile("/proc/net/tcp");
    EXPECT_NE(std::string::npos, tcp.find("0100007F:1DAF 00000000:0000 0A")) << tcp;
    EXPECT_EQ(std::string::npos, tcp.find("00000000:1DAF 00000000:0000 0A")) << tcp;
    EXPECT_EQ(std::string::npos, node->out().find("WARNING"));
}

TEST(ConsoleNodeBind, OpenedByEnvironmentWithAWarning) {
    ASSERT_TRUE(waitConsolePortFree());
    NodeProcess node("POS_CONSOLE_BIND", "0.0.0.0");
    ASSERT_TRUE(node.waitListening()) << node.out();
    std::string tcp = readFile("/proc/net/tcp");
    EXPECT_NE(std::string::npos, tcp.find("00000000:1DAF 00000000:0000 0A")) << tcp;
    EXPECT_NE(std::string::npos,
              node.out().find("POS# CON: WARNING: remote console open to other hosts (bound to 0.0.0.0); "
                              "it is an unauthenticated shell\n"))
        << node.out();
    Client c;
    EXPECT_TRUE(c.greeted());
}

TEST(ConsoleNodeBind, BadAddressKeepsLoopback) {
    ASSERT_TRUE(waitConsolePortFree());
    NodeProcess node("POS_CONSOLE_BIND", "somewhere");
    ASSERT_TRUE(node.waitListening()) << node.out();
    std::string tcp = readFile("/proc/net/tcp");
    EXPECT_NE(std::string::npos, tcp.find("0100007F:1DAF 00000000:0000 0A")) << tcp;
    EXPECT_NE(std::string::npos,
              node.out().find("POS# CON: WARNING: POS_CONSOLE_BIND(somewhere) is no IPv4 address; console stays on 127.0.0.1\n"))
        << node.out();
}

// poscon in batch mode: lines from standard input, the node's answers on
// standard output.
TEST_F(ConsoleNode, PosconBatchDrivesTheNode) {
    char in[] = "/tmp/posconinXXXXXX";
    int fd = mkstemp(in);
    ASSERT_GE(fd, 0);
    const std::string script = "posDspTask 0\nposLogLevel 0x21\nbye\nbye 520\n";
    ASSERT_EQ(static_cast<ssize_t>(script.size()), write(fd, script.data(), script.size()));
    close(fd);
    std::string outPath = std::string(in) + ".out";
    std::string cmd = std::string(POSCON_PATH) + " -s 200 < " + in + " > " + outPath + " 2>&1";
    int rc = system(cmd.c_str());
    EXPECT_EQ(0, WEXITSTATUS(rc));
    std::string out = std::regex_replace(readFile(outPath), std::regex("DEMO\\] [^\\n]*\\n"), "");
    EXPECT_EQ(kGreeting + "POS# ERR: Wrong LocalTaskId(0)\n" + value(-1) + value(33) + "Wrong Magic Number\n" +
                  value(-1) + "poscon: connection closed by the node\n",
              out);
    EXPECT_EQ(1, node->waitExit(5000));
    unlink(in);
    unlink(outPath.c_str());
}

// A node started with a script: the script task "POS-SCR" waits its delay
// (at least 3000 ms), runs the file's lines like console lines, and here the
// last one ends the node.
TEST(ConsoleScriptTask, RunsTheStartScriptAfterItsDelay) {
    ASSERT_TRUE(waitConsolePortFree());
    char dir[] = "/tmp/posconscrXXXXXX";
    ASSERT_NE(nullptr, mkdtemp(dir));
    std::string script = std::string(dir) + "/start.scr";
    {
        std::ofstream f(script);
        f << "posLogLevel 3\nps\nbye 520\n";
    }
    std::string outPath = std::string(dir) + "/out.txt";
    auto t0 = Clock::now();
    pid_t pid = fork();
    if (pid == 0) {
        setenv("POS_DEBUG_DIR", dir, 1);
        unsetenv("POS_CONSOLE_BIND");
        int out = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(out, 1);
        dup2(out, 2);
        posInit(99);
        posLogOn(1);
        posStartConsole("QLAG99", script.c_str(), 100, 1);
    }
    ASSERT_GT(pid, 0);
    int status = 0;
    pid_t r = 0;
    while ((r = waitpid(pid, &status, WNOHANG)) == 0 && msSince(t0) < 20000)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    if (r == 0) {
        kill(pid, SIGKILL);
        waitpid(pid, &status, 0);
        FAIL() << "the script did not end the node\n" << readFile(outPath);
    }
    int elapsed = msSince(t0);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(1, WEXITSTATUS(status));
    EXPECT_GE(elapsed, 3000);   // the 100 ms delay is raised to 3000 ms
    std::string out = readFile(outPath);
    size_t start = out.find("POS# Script Job START(" + script + ")\n");
    ASSERT_NE(std::string::npos, start) << out;
    EXPECT_NE(std::string::npos, out.find(value(3), start)) << out;
    EXPECT_NE(std::string::npos, out.find("\n ## NODE-ID(99) TotalNum(2) ##\n", start)) << out;
    EXPECT_NE(std::string::npos, out.find("\n      POS-SCR  99916 ", start)) << out;
    EXPECT_NE(std::string::npos, readFile(std::string(dir) + "/posDebug-QLAG99.txt").find("POS down(Code:520)\n"));
}

// The console port is taken: the node logs the failure and ends with 520.
TEST(ConsolePortBusy, NodeEndsWhenItCannotListen) {
    ASSERT_TRUE(waitConsolePortFree());
    int blocker = socket(AF_INET, SOCK_STREAM, 0);
    int on = 1;   // earlier tests' connections may still be in TIME_WAIT
    setsockopt(blocker, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(7599);
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(0, bind(blocker, reinterpret_cast<sockaddr*>(&sa), sizeof sa));
    ASSERT_EQ(0, listen(blocker, 1));
    NodeProcess node;
    EXPECT_EQ(1, node.waitExit(10000)) << node.out();
    EXPECT_NE(std::string::npos, node.out().find("POS# FATAL: CONSOLE Server(Port:7599)\n")) << node.out();
    std::string dbg = node.debugFile();
    EXPECT_NE(std::string::npos, dbg.find("posConSocketOpen: bind:98\n")) << dbg;
    EXPECT_NE(std::string::npos, dbg.find("POS# FATAL: CONSOLE Server(Port:7599)\n")) << dbg;
    EXPECT_NE(std::string::npos, dbg.find("POS down(Code:520)\n")) << dbg;
    close(blocker);
}
