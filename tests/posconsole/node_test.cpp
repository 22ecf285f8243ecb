// The node table: the empty table of this program and its commands, the
// inter-node header, and management messages over a real socket pair.
#include "testsupport.h"

#include <atomic>
#include <regex>
#include <sys/socket.h>
#include <unistd.h>

using namespace contest;

namespace {

std::atomic<int> g_closedNode{-1};
void onClose(int nodeId) { g_closedNode = nodeId; }

class ConNode : public Runtime {
protected:
    void TearDown() override {
        for (int n = 0; n < POS_MAX_NODE; ++n) posNodeSet(n, nullptr);
        Runtime::TearDown();
    }
};

}  // namespace

TEST_F(ConNode, EmptyTableCommands) {
    EXPECT_EQ("\nNode  Type F/   FD/ Lstn    VPI/   VCI   IP Address    : Port   OS T-ID UD\n"
              "---- ----- ------------- ------------- ----------------------- -------- --\n\n" +
                  value(0),
              exec("posDspIpc"));
    EXPECT_EQ("POS# ERR: Node Id(3) NOT existed\n" + value(-1), exec("posSockLog 3"));
    EXPECT_EQ("POS# ERR: Node Id(0 ~ 299)\n" + value(-1), exec("posSockLog 300"));
    EXPECT_EQ("POS# ERR: Node Id(0 ~ 299)\n" + value(-1), exec("posSockLog -1"));
    EXPECT_EQ(value(-1), exec("posSocketClose 5"));
    EXPECT_EQ(value(-1), exec("posSocketClearSystem 5"));
    EXPECT_EQ(value(-1), exec("posSocketClose 300"));
    EXPECT_EQ(value(-1), exec("posSetTrySocketConnectTime 0"));
    EXPECT_EQ(value(0), exec("posSetTrySocketConnectTime 5"));
    EXPECT_EQ(0, posTxMgmtMsg(3, 0, 5, 5));
    posNodeDownBroadcast();   // finds no node
    EXPECT_EQ(value(0), exec("posSetTrySocketConnectTime 1"));
}

TEST_F(ConNode, HeaderLayout) {
    Stick* s = posAllocStick(6);
    ASSERT_NE(nullptr, s);
    s->dest = 5912;
    s->src = 99912;
    s->p1 = 0x123456;
    s->p2 = 0xFFFFFF;
    s->primId = 0xA1B2C3D4;
    uint8_t h[26];
    posNodeHeaderWrite(s, h);
    const uint8_t expect[26] = {0, 0, 0, 28,  0, 0, 0x17, 0x18, 0, 1, 0x86, 0x48, 0x34, 0x56, 0xFF, 0xFF, 0,
                                0, 0x12, 0xFF, 0xA1, 0xB2, 0xC3, 0xD4, 0, 6};
    EXPECT_EQ(0, memcmp(expect, h, 26));
    posFreeStick(&s, POS_HERE);
}

TEST_F(ConNode, SocketTxWithoutSocketIsRefused) {
    PosNode node{};
    node.nodeId = 4;
    node.type = POS_NODE_SOCK;
    node.mode = POS_NODE_CLIENT;
    node.socket = -1;
    Stick* s = posAllocStick(10);
    EXPECT_EQ(POS_ERR_NO_SOCKET, posSocketTx(&node, s, 0));
    Stick* kept = posAllocStick(10);
    EXPECT_EQ(POS_ERR_NO_SOCKET, posSocketTx(&node, kept, 1));
    EXPECT_EQ(POS_STICK_HELD, kept->state);   // kept: still the caller's
    posFreeStick(&kept, POS_HERE);
}

TEST_F(ConNode, ManagementMessageOverASocketAndCloseOnFailure) {
    int sv[2];
    ASSERT_EQ(0, socketpair(AF_UNIX, SOCK_STREAM, 0, sv));
    PosNode node{};
    node.nodeId = 5;
    node.type = POS_NODE_SOCK;
    node.mode = POS_NODE_CLIENT;
    node.socket = sv[0];
    node.onClose = onClose;
    snprintf(node.address, sizeof node.address, "127.0.0.1");
    ASSERT_EQ(0, posNodeSet(5, &node));

    EXPECT_EQ(0, posTxMgmtMsg(3, 0, 5, 5));
    uint8_t got[32];
    ASSERT_EQ(32, recv(sv[1], got, sizeof got, MSG_WAITALL));
    const uint8_t head[24] = {0, 0, 0, 28, 0, 0, 0x17, 0x18, 0, 1, 0x86, 0x48, 0xFF, 0xFF, 0xFF, 0xFF,
                              0, 0, 0xFF, 0xFF, 0, 0, 0, 0};
    EXPECT_EQ(0, memcmp(head, got, 24));
    EXPECT_EQ(0, got[24]);
    EXPECT_EQ(6, got[25]);
    EXPECT_EQ(3, got[26]);
    uint16_t own;
    memcpy(&own, got + 28, 2);
    EXPECT_EQ(99, own);
    EXPECT_EQ(0, got[30]);
    EXPECT_EQ(5, got[31]);

    // The row of a connected client node.
    std::string ipc = exec("posDspIpc");
    char row[160];
    snprintf(row, sizeof row, "   5  SOCK C/%5d/    0       /              127.0.0.1:     0 00000000 O-\n", sv[0]);
    EXPECT_NE(std::string::npos, ipc.find(row)) << ipc;
    EXPECT_EQ(value(1), exec("posSockLog 5"));
    EXPECT_EQ(value(0), exec("posSockLog 5"));

    // The peer goes away: the send fails, the node's connection is closed.
    close(sv[1]);
    EXPECT_EQ(-1, posTxMgmtMsg(3, 0, 5, 5));
    EXPECT_EQ(-1, node.socket);
    EXPECT_EQ(5, g_closedNode.load());
    EXPECT_EQ(EPIPE, posNodeLastSocketError());
    EXPECT_TRUE(capture().waitFor("POS# ERR(32): posSocketTx(Id:5 fd:" + std::to_string(sv[0]) + ")\n"));
}

TEST_F(ConNode, SocketCloseCommandsLogTheirLine) {
    int sv[2];
    ASSERT_EQ(0, socketpair(AF_UNIX, SOCK_STREAM, 0, sv));
    PosNode node{};
    node.nodeId = 7;
    node.type = POS_NODE_SOCK;
    node.mode = POS_NODE_SERVER;
    node.socket = sv[0];
    snprintf(node.address, sizeof node.address, "10.1.2.3");
    posNodeSet(7, &node);
    std::string out = exec("posSocketClose 7");
    EXPECT_TRUE(std::regex_match(out, std::regex(R"(NODE-S007\] Closed\.\.\. \[\d{4}/\d\d/\d\d \d\d:\d\d:\d\d\] \n)" +
                                                 std::string("\r\nvalue = 0\r\nQLAG99> "))))
        << out;
    EXPECT_EQ(-1, node.socket);
    EXPECT_STREQ("-", node.address);
    char b;
    EXPECT_EQ(0, recv(sv[1], &b, 1, 0));   // the peer sees the close
    close(sv[1]);
    out = exec("posSocketClearSystem 7");
    EXPECT_EQ(0u, out.find("NODE-S007] Closed.. [")) << out;

    PosNode udp{};
    udp.type = POS_NODE_SOCK;
    udp.mode = POS_NODE_UDP;
    posNodeSet(8, &udp);
    EXPECT_EQ(value(0), exec("posSocketClose 8"));
}
