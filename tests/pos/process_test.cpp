// Process ends (posDown, posReboot, posInit with a bad node id, assertion
// failures) checked from outside through a helper program.
#include "postest_util.h"

#include <fcntl.h>
#include <fstream>
#include <spawn.h>
#include <sstream>
#include <sys/wait.h>

extern char** environ;

using namespace postest;

namespace {

struct Result {
    int exitCode = -1000;
    std::string out;
};

std::string readFile(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    std::stringstream ss;
    ss << f.rdbuf();
    return ss.str();
}

int countOf(const std::string& hay, const std::string& needle) {
    int n = 0;
    for (size_t p = hay.find(needle); p != std::string::npos; p = hay.find(needle, p + 1)) n++;
    return n;
}

class Process : public ::testing::Test {
protected:
    void SetUp() override { dir_ = makeTempDir(); }

    Result run(const char* mode) {
        Result r;
        std::string outPath = dir_ + "/out.txt";
        posix_spawn_file_actions_t fa;
        posix_spawn_file_actions_init(&fa);
        posix_spawn_file_actions_addopen(&fa, 1, outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                         0644);
        std::vector<std::string> env;
        for (char** e = environ; *e; e++)
            if (strncmp(*e, "POS_DEBUG_DIR=", 14) && strncmp(*e, "SHELL_LOG=", 10)) env.push_back(*e);
        env.push_back("POS_DEBUG_DIR=" + dir_);
        env.push_back("SHELL_LOG=" + dir_ + "/shell.txt");
        std::vector<char*> envp;
        for (auto& e : env) envp.push_back(e.data());
        envp.push_back(nullptr);
        std::string prog = POS_DOWN_HELPER;
        std::string m = mode;
        char* argv[] = {prog.data(), m.data(), nullptr};
        pid_t pid;
        EXPECT_EQ(posix_spawn(&pid, prog.c_str(), &fa, nullptr, argv, envp.data()), 0);
        posix_spawn_file_actions_destroy(&fa);
        int status = 0;
        bool ended = waitUntil([&] { return waitpid(pid, &status, WNOHANG) == pid; }, 15000);
        if (!ended) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            ADD_FAILURE() << "helper " << mode << " did not end";
            return r;
        }
        if (WIFEXITED(status)) r.exitCode = WEXITSTATUS(status);
        r.out = readFile(outPath);
        return r;
    }
    std::string debugFile(const char* name = "QLAG99") {
        return readFile(dir_ + "/posDebug-" + name + ".txt");
    }
    std::string dir_;
};

TEST_F(Process, DownWritesThreeLinesAndExitsWithOne) {
    Result r = run("down520");
    EXPECT_EQ(r.exitCode, 1);
    std::string dbg = debugFile();
    EXPECT_NE(dbg.find("099:FATAL "), std::string::npos) << dbg;
    size_t a = dbg.find(" POS down(Code:520)\n");
    size_t b = dbg.find(" Clear POS System(Command: Bye)\n");
    size_t c = dbg.find(" END OF POS SYSTEM\n");
    ASSERT_NE(a, std::string::npos) << dbg;
    ASSERT_NE(b, std::string::npos) << dbg;
    ASSERT_NE(c, std::string::npos) << dbg;
    EXPECT_LT(a, b);
    EXPECT_LT(b, c);
    EXPECT_EQ(countOf(dbg, "\n"), 3);
}

TEST_F(Process, RefusedCodesReturnMinusOneAndTheRuntimeGoesOn) {
    Result r = run("refused");
    EXPECT_EQ(r.exitCode, 3);
    EXPECT_NE(r.out.find("results -1 -1 -1 -1\n"), std::string::npos) << r.out;
    EXPECT_EQ(countOf(r.out, "Wrong Magic Number\n"), 4) << r.out;
    std::string dbg = debugFile();
    EXPECT_NE(dbg.find("POS try down failure(Code:0)\n"), std::string::npos) << dbg;
    EXPECT_NE(dbg.find("POS try down failure(Code:1500)\n"), std::string::npos) << dbg;
    EXPECT_EQ(dbg.find("POS down("), std::string::npos);
    EXPECT_EQ(readFile(dir_ + "/shell.txt"), "");
}

TEST_F(Process, RebootRunsTheShellCommandAndExitsWithOne) {
    Result r = run("reboot");
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(readFile(dir_ + "/shell.txt"), "reboot\n");
    EXPECT_NE(debugFile().find("FATAL "), std::string::npos);
    EXPECT_NE(debugFile().find(" END OF POS SYSTEM\n"), std::string::npos);
}

TEST_F(Process, NegativeNodeIdShutsDownWith623) {
    Result r = run("init-1");
    EXPECT_EQ(r.exitCode, 1);
    std::string dbg = debugFile("QLAG-1");
    EXPECT_NE(dbg.find(" Wrong Node Id\n"), std::string::npos) << dbg;
    EXPECT_NE(dbg.find(" POS down(Code:623)\n"), std::string::npos) << dbg;
    EXPECT_NE(dbg.find(" END OF POS SYSTEM\n"), std::string::npos) << dbg;
}

TEST_F(Process, ConcurrentDownsEndTheProcessOnce) {
    Result r = run("race");
    EXPECT_EQ(r.exitCode, 1);
    std::string dbg = debugFile();
    EXPECT_EQ(countOf(dbg, "POS down(Code:"), 1) << dbg;
    EXPECT_EQ(countOf(dbg, "END OF POS SYSTEM"), 1) << dbg;
}

TEST_F(Process, DownFromATaskAfterTheRelease) {
    Result r = run("task");
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(debugFile().find(" POS down(Code:721)\n"), std::string::npos);
    EXPECT_NE(r.out.find("POS init OK(NodeId: 99-Ver.9.02NORDA (May 26 2020)):RELEASE\n"),
              std::string::npos)
        << r.out;
}

TEST_F(Process, BrokenFreeQueueIsAnAssertionFailure) {
    Result r = run("badfree");
    EXPECT_EQ(r.exitCode, 255);  // exit code -1
    std::string dbg = debugFile();
    EXPECT_NE(dbg.find("099:ASSRT "), std::string::npos) << dbg;
    EXPECT_EQ(dbg.substr(dbg.size() - 3), " 0\n") << dbg;
}

TEST_F(Process, StandardDescriptorsAreKeptOpen) {
    Result r = run("fds");
    EXPECT_EQ(r.exitCode, 0) << r.out;
}

}  // namespace
