// posnode as a whole node: start it, connect to its console on port 7599,
// watch the demo tasks' lines arrive, list the tasks and end it with "bye".
#include "postest_util.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <fstream>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sstream>
#include <sys/socket.h>
#include <sys/wait.h>

extern char** environ;

using namespace postest;

namespace {

int connectConsole() {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(7599);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0) return fd;
    close(fd);
    return -1;
}

// Reads from fd until `want` appears in the accumulated text or ms pass.
bool readUntil(int fd, std::string& acc, const std::string& want, int ms) {
    return waitUntil(
        [&] {
            if (acc.find(want) != std::string::npos) return true;
            struct pollfd p = {fd, POLLIN, 0};
            if (poll(&p, 1, 10) > 0) {
                char buf[4096];
                ssize_t n = read(fd, buf, sizeof buf);
                if (n > 0) acc.append(buf, static_cast<size_t>(n));
            }
            return acc.find(want) != std::string::npos;
        },
        ms);
}

// True when nothing listens on the console port (another node would take
// our connection).
bool consolePortFree() {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(7599);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bool ok = bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    close(fd);
    return ok;
}

void sendLine(int fd, const std::string& line) {
    std::string l = line;
    l.push_back('\0');
    ASSERT_EQ(send(fd, l.data(), l.size(), MSG_NOSIGNAL), static_cast<ssize_t>(l.size()));
}

TEST(PosNode, ServesTheConsoleRunsTheDemoAndEndsWithBye) {
    ASSERT_TRUE(waitUntil(consolePortFree, 60000)) << "port 7599 stays taken";
    std::string dir = makeTempDir();
    std::vector<std::string> env;
    for (char** e = environ; *e; e++)
        if (strncmp(*e, "POS_DEBUG_DIR=", 14)) env.push_back(*e);
    env.push_back("POS_DEBUG_DIR=" + dir);
    std::vector<char*> envp;
    for (auto& e : env) envp.push_back(e.data());
    envp.push_back(nullptr);
    std::string prog = POSNODE_PROGRAM;
    char* argv[] = {prog.data(), nullptr};
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    std::string outPath = dir + "/out.txt";
    posix_spawn_file_actions_addopen(&fa, 1, outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    pid_t pid;
    ASSERT_EQ(posix_spawn(&pid, prog.c_str(), &fa, nullptr, argv, envp.data()), 0);
    posix_spawn_file_actions_destroy(&fa);

    int fd = -1;
    bool connected = waitUntil([&] { return (fd = connectConsole()) >= 0; }, 10000);
    if (!connected) {
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
        FAIL() << "console did not open";
    }
    std::string acc;
    EXPECT_TRUE(readUntil(fd, acc, "***** Connected.. POS-NODE(99) *****\n", 5000)) << acc;
    EXPECT_TRUE(readUntil(fd, acc, "QLAG99> ", 5000)) << acc;
    // The demo tasks exchange a round every second.
    EXPECT_TRUE(readUntil(fd, acc, "DEMO] PING: round ", 5000)) << acc;
    sendLine(fd, "ps");
    EXPECT_TRUE(readUntil(fd, acc, "DEMO-PONG", 5000)) << acc;
    EXPECT_NE(acc.find("DEMO-PING"), std::string::npos);
    EXPECT_NE(acc.find("POS-LOG"), std::string::npos);
    sendLine(fd, "bye 520");

    int status = 0;
    bool ended = waitUntil([&] { return waitpid(pid, &status, WNOHANG) == pid; }, 10000);
    if (!ended) {
        kill(pid, SIGKILL);
        waitpid(pid, &status, 0);
    }
    close(fd);
    ASSERT_TRUE(ended);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 1);
    std::ifstream f(dir + "/posDebug-QLAG99.txt");
    std::stringstream ss;
    ss << f.rdbuf();
    std::string dbg = ss.str();
    EXPECT_NE(dbg.find(" POS down(Code:520)\n"), std::string::npos) << dbg;
    EXPECT_NE(dbg.find(" END OF POS SYSTEM\n"), std::string::npos) << dbg;
}

}  // namespace
