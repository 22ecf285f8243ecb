// The stenography link through the running agent task: text from a connected
// program reaches the caption routine, and a new connection replaces the old
// one without cross-reading.
#include <gtest/gtest.h>

#include <cstdlib>
#include <poll.h>

#include "capatest.h"

using namespace capatest;

namespace {

bool sendAll(int fd, const std::string& s)
{
    return send(fd, s.data(), s.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(s.size());
}

// True when the peer closed fd within the time (read gives 0 or an error).
bool closedByPeer(int fd, int timeoutMs)
{
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, timeoutMs) <= 0) return false;
    char c;
    return recv(fd, &c, 1, 0) <= 0;
}

}  // namespace

TEST_F(AgentLink, StenoTextReachesTheCaptionRoutine)
{
    conContext().captionerType = 0;
    ClientSocket fd(connectLoopback(capcStenoListenPort()));
    ASSERT_GE(fd.fd(), 0);
    ASSERT_TRUE(waitUntil([] { return g_rec.countPosted(WM_CAPC_STENO_OPEN) == 1; }));
    ASSERT_TRUE(sendAll(fd.fd(), "hello there"));
    ASSERT_TRUE(waitUntil([] { return !g_rec.captions().empty(); }));
    EXPECT_EQ(g_rec.captions()[0], "hello there");
    EXPECT_TRUE(waitUntil([] { return g_rec.hasLog("STNO] capcRxCAPC_SOCK_STENO_OPEN_IND\n"); }));
    fd.close();
    ASSERT_TRUE(waitUntil([] { return g_rec.countPosted(WM_CAPC_STENO_CLOSE) == 1; }));
    EXPECT_TRUE(waitUntil([] { return g_rec.hasLog("STNO] Sock-Thread End\n"); }));
}

TEST_F(AgentLink, StenoBridgeAcrossChunks)
{
    conContext().captionerType = 5;
    conContext().textStarted = 1;
    ClientSocket fd(connectLoopback(capcStenoListenPort()));
    ASSERT_GE(fd.fd(), 0);
    ASSERT_TRUE(sendAll(fd.fd(), std::string("ab\x02" "D", 4)));
    ASSERT_TRUE(waitUntil([] { return g_rec.captions().size() == 1; }));
    ASSERT_TRUE(sendAll(fd.fd(), std::string("D\x03" "c", 3)));
    ASSERT_TRUE(waitUntil([] { return g_rec.captions().size() == 2; }));
    EXPECT_EQ(g_rec.captions()[0], "ab\b");
    EXPECT_EQ(g_rec.captions()[1], "\bc");
}

TEST_F(AgentLink, NewStenoConnectionReplacesTheOld)
{
    conContext().captionerType = 0;
    ClientSocket first(connectLoopback(capcStenoListenPort()));
    ASSERT_GE(first.fd(), 0);
    ASSERT_TRUE(waitUntil([] { return g_rec.countPosted(WM_CAPC_STENO_OPEN) == 1; }));
    ASSERT_TRUE(sendAll(first.fd(), "one"));
    ASSERT_TRUE(waitUntil([] { return g_rec.captions().size() == 1; }));

    ClientSocket second(connectLoopback(capcStenoListenPort()));
    ASSERT_GE(second.fd(), 0);
    // The first connection is shut down by the agent and closed.
    EXPECT_TRUE(closedByPeer(first.fd(), 5000));
    ASSERT_TRUE(waitUntil([] { return g_rec.countPosted(WM_CAPC_STENO_OPEN) == 2; }));
    ASSERT_TRUE(waitUntil([] { return g_rec.countPosted(WM_CAPC_STENO_CLOSE) == 1; }));
    // Text from the new program arrives exactly once; nothing more from the old.
    sendAll(first.fd(), "stale");
    ASSERT_TRUE(sendAll(second.fd(), "two"));
    ASSERT_TRUE(waitUntil([] { return g_rec.captions().size() == 2; }));
    usleep(300 * 1000);
    EXPECT_EQ(g_rec.captions(), (std::vector<std::string>{"one", "two"}));
    EXPECT_EQ(g_capcInfo.stenoClientSocket.load() > 0, true);
    first.close();
    second.close();
    ASSERT_TRUE(waitUntil([] { return g_rec.countPosted(WM_CAPC_STENO_CLOSE) == 2; }));
    EXPECT_TRUE(waitUntil([] { return g_capcInfo.stenoClientSocket.load() == -1; }));
}

TEST(StenoListener, BoundToLoopbackOnly)
{
    startRuntimeOnce();
    sockaddr_in sa{};
    socklen_t len = sizeof sa;
    ASSERT_EQ(getsockname(g_capcInfo.stenoListenSocket.load(), reinterpret_cast<sockaddr*>(&sa), &len), 0);
    EXPECT_EQ(ntohl(sa.sin_addr.s_addr), INADDR_LOOPBACK);
}

TEST_F(AgentLink, StenosimCaseViewOutputArrivesAsPlainText)
{
    conContext().captionerType = 2;
    const std::string cmd = std::string(STENOSIM_PATH) + " -p " + std::to_string(capcStenoListenPort()) +
                            " -f caseview -t \"good morning\" -c 64 -d 0 -w 300 2>/dev/null";
    ASSERT_EQ(std::system(cmd.c_str()), 0);
    ASSERT_TRUE(waitUntil([] { return g_rec.countPosted(WM_CAPC_STENO_CLOSE) == 1; }));
    std::string all;
    for (auto& c : g_rec.captions()) all += c;
    EXPECT_EQ(all, "      good morning");  // the 0x1A line code gives six blanks, 0xFA one
}
