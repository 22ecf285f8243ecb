// The node table of the inter-node layer: per peer node how it is reached,
// the 26-byte inter-node header, management messages between the nodes'
// management tasks (912), and the console commands on the table. This program
// configures no peer node, so the table stays empty and every operation finds
// no node; the formats are kept for the commands and the shutdown path.
#include "posconint.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

static PosNode* s_nodes[POS_MAX_NODE];
static pthread_mutex_t s_nodeLock = PTHREAD_MUTEX_INITIALIZER;
static int s_tryConnectSeconds = 1;
static int s_lastSocketError = 0;

void posNodeTableClear() {
    pthread_mutex_lock(&s_nodeLock);
    memset(s_nodes, 0, sizeof s_nodes);
    s_tryConnectSeconds = 1;
    s_lastSocketError = 0;
    pthread_mutex_unlock(&s_nodeLock);
}

int posNodeSet(int nodeId, PosNode* node) {
    if (nodeId < 0 || nodeId >= POS_MAX_NODE) return -1;
    pthread_mutex_lock(&s_nodeLock);
    s_nodes[nodeId] = node;
    pthread_mutex_unlock(&s_nodeLock);
    return 0;
}

static PosNode* nodeAt(int nodeId) {
    if (nodeId < 0 || nodeId >= POS_MAX_NODE) return nullptr;
    pthread_mutex_lock(&s_nodeLock);
    PosNode* n = s_nodes[nodeId];
    pthread_mutex_unlock(&s_nodeLock);
    return n;
}

int posNodeLastSocketError() {
    pthread_mutex_lock(&s_nodeLock);
    int e = s_lastSocketError;
    pthread_mutex_unlock(&s_nodeLock);
    return e;
}

static void put32(uint8_t* p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v >> 24);
    p[1] = static_cast<uint8_t>(v >> 16);
    p[2] = static_cast<uint8_t>(v >> 8);
    p[3] = static_cast<uint8_t>(v);
}

void posNodeHeaderWrite(const Stick* stick, uint8_t* h) {
    uint32_t len = stick->length;
    put32(h, (len + 22) & 0xFFFFFF);   // byte 0 stays 0
    put32(h + 4, stick->dest);
    put32(h + 8, stick->src);
    h[12] = static_cast<uint8_t>(stick->p1 >> 8);
    h[13] = static_cast<uint8_t>(stick->p1);
    h[14] = static_cast<uint8_t>(stick->p2 >> 8);
    h[15] = static_cast<uint8_t>(stick->p2);
    h[16] = 0;   // data offset beyond the standard headroom
    h[17] = 0;
    h[18] = static_cast<uint8_t>(stick->p1 >> 16);
    h[19] = static_cast<uint8_t>(stick->p2 >> 16);
    put32(h + 20, stick->primId);
    h[24] = static_cast<uint8_t>(len >> 8);
    h[25] = static_cast<uint8_t>(len);
}

static void releaseStick(Stick* stick, int keep) {
    if (keep) return;
    if (posFreeStick(&stick, POS_HERE) != 0) posAssertFail(POS_HERE);
}

// Closes a node's connection (UDP nodes keep theirs) and tells its owner.
static void closeNodeConnection(PosNode* node) {
    if (node->mode == POS_NODE_UDP) return;
    if (node->socket >= 1) {
        shutdown(node->socket, SHUT_RDWR);
        close(node->socket);
    }
    node->socket = -1;
    if (node->onClose) node->onClose(node->nodeId);
}

static ssize_t sendAll(int fd, const uint8_t* p, size_t n) {
    size_t done = 0;
    while (done < n) {
        ssize_t w = send(fd, p + done, n - done, MSG_NOSIGNAL);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) return w;
        done += static_cast<size_t>(w);
    }
    return static_cast<ssize_t>(done);
}

int posSocketTx(PosNode* node, Stick* stick, int keep) {
    if (!node || !stick) {
        if (stick) releaseStick(stick, keep);
        return POS_ERR_NO_SOCKET;
    }
    if (node->socket < 1 && node->mode != POS_NODE_UDP) {
        releaseStick(stick, keep);
        return POS_ERR_NO_SOCKET;
    }
    uint8_t* frame = stick->data - POS_STICK_HEADROOM;
    posNodeHeaderWrite(stick, frame);
    size_t total = static_cast<size_t>(stick->length) + POS_STICK_HEADROOM;
    ssize_t sent;
    if (node->mode == POS_NODE_UDP) {
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = htons(node->port);
        inet_pton(AF_INET, node->address, &to.sin_addr);
        do {
            sent = sendto(node->socket, frame, total, MSG_NOSIGNAL, reinterpret_cast<sockaddr*>(&to),
                          sizeof to);
        } while (sent < 0 && errno == EINTR);
    } else {
        sent = sendAll(node->socket, frame, total);
    }
    int err = errno;
    releaseStick(stick, keep);
    if (sent < 1) {
        pthread_mutex_lock(&s_nodeLock);
        s_lastSocketError = err;
        pthread_mutex_unlock(&s_nodeLock);
        posLogPrint("POS# ERR(%d): posSocketTx(Id:%d fd:%d)\n", err, node->nodeId, node->socket);
        closeNodeConnection(node);
        return static_cast<int>(sent);
    }
    return 0;
}

int posTxMgmtMsg(int type, int value1, int nodeId, int value2) {
    PosNode* node = nodeAt(nodeId);
    if (!node) return 0;
    Stick* stick = posAllocStick(6);
    if (!stick) {
        posLogPrint("POS# ERR(posTxMgmtMsg): No More Stick\n");
        return 0;
    }
    int own = posGetNodeId();
    stick->primId = 0;
    stick->src = static_cast<uint32_t>(own * 1000 + POS_MGMT_TASK_ID);
    stick->dest = static_cast<uint32_t>(nodeId * 1000 + POS_MGMT_TASK_ID);
    stick->data[0] = static_cast<uint8_t>(type);
    uint16_t ownId = static_cast<uint16_t>(own);
    memcpy(stick->data + 2, &ownId, 2);
    stick->data[4] = static_cast<uint8_t>(value1);
    stick->data[5] = static_cast<uint8_t>(value2);
    if (node->type == POS_NODE_SOCK) return posSocketTx(node, stick, 0) == 0 ? 0 : -1;
    releaseStick(stick, 0);
    return -1;
}

void posNodeDownBroadcast() {
    int own = posGetNodeId();
    for (int n = 0; n < POS_MAX_NODE; ++n) {
        if (n == own) continue;
        PosNode* node = nodeAt(n);
        if (node && node->type == POS_NODE_SOCK && node->mode == POS_NODE_UDP) posTxMgmtMsg(3, 0, n, 5);
    }
}

// ---- console commands -----------------------------------------------------------------
static const char* typeName(uint8_t type) {
    switch (type) {
    case POS_NODE_SOCK: return "SOCK";
    case POS_NODE_DPRAM: return "DPRAM";
    case POS_NODE_ATM: return "ATM";
    default: return "DEF";
    }
}

int posDspIpc() {
    posLogPrint("\nNode  Type F/   FD/ Lstn    VPI/   VCI   IP Address    : Port   OS T-ID UD\n");
    posLogPrint("---- ----- ------------- ------------- ----------------------- -------- --\n");
    for (int n = 0; n < POS_MAX_NODE; ++n) {
        PosNode* node = nodeAt(n);
        if (!node) continue;
        char row[200];
        int len = snprintf(row, sizeof row, "%4d %5s ", n, typeName(node->type));
        bool sock = node->type == POS_NODE_SOCK;
        if (sock) {
            if (node->mode == POS_NODE_UDP && node->socket < 1)
                len += snprintf(row + len, sizeof row - len, "u/     /      ");
            else {
                char m = node->mode == POS_NODE_CLIENT ? 'C' : node->mode == POS_NODE_SERVER ? 'S' : 'U';
                len += snprintf(row + len, sizeof row - len, "%c/%5d/%5d ", m, node->socket, node->port);
            }
        } else {
            len += snprintf(row + len, sizeof row - len, " /    /     ");
        }
        if (node->type == POS_NODE_ATM)
            len += snprintf(row + len, sizeof row - len, "0x%04X/0x%04X ", 0, 0);
        else
            len += snprintf(row + len, sizeof row - len, "      /       ");
        if (sock) {
            len += snprintf(row + len, sizeof row - len, "%16s: %5d ", node->address, node->port);
            snprintf(row + len, sizeof row - len, "%08X %c%c\n", node->threadId, node->socket >= 1 ? 'O' : '-',
                     node->sockLog ? 'O' : '-');
        } else {
            len += snprintf(row + len, sizeof row - len, "                :       ");
            snprintf(row + len, sizeof row - len, "%08X\n", node->threadId);
        }
        posLogPrint("%s", row);
    }
    posLogPrint("\n");
    return 0;
}

int posSockLog(int nodeId) {
    if (nodeId < 0 || nodeId >= POS_MAX_NODE) {
        posLogPrint("POS# ERR: Node Id(0 ~ %d)\n", POS_MAX_NODE - 1);
        return -1;
    }
    PosNode* node = nodeAt(nodeId);
    if (!node) {
        posLogPrint("POS# ERR: Node Id(%d) NOT existed\n", nodeId);
        return -1;
    }
    node->sockLog = node->sockLog ? 0 : 1;
    return node->sockLog;
}

static int closeNodeCommand(int nodeId, const char* dots) {
    PosNode* node = nodeAt(nodeId);
    if (!node) return -1;
    if (node->mode == POS_NODE_UDP) return 0;
    if (node->socket >= 1) {
        shutdown(node->socket, SHUT_RDWR);
        close(node->socket);
        node->socket = -1;
    }
    if (node->mode == POS_NODE_SERVER) snprintf(node->address, sizeof node->address, "-");
    char stamp[48];
    posTimeStampText(stamp, sizeof stamp);
    posLogPrint("NODE-S%03d] Closed%s%s\n", nodeId, dots, stamp);
    return 0;
}

int posSocketClose(int nodeId) { return closeNodeCommand(nodeId, "..."); }
int posSocketClearSystem(int nodeId) { return closeNodeCommand(nodeId, ".."); }

int posSetTrySocketConnectTime(int seconds) {
    if (seconds <= 0) return -1;
    pthread_mutex_lock(&s_nodeLock);
    s_tryConnectSeconds = seconds;
    pthread_mutex_unlock(&s_nodeLock);
    return 0;
}
