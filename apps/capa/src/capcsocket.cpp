// Sockets and link threads of the agent task: the server link (connect,
// receive thread, frame reader, whole-frame writes) and the stenography link
// (listener on 127.0.0.1, accept thread, one receive thread per connection).
#include <arpa/inet.h>
#include <cerrno>
#include <climits>
#include <chrono>
#include <cstring>
#include <mutex>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

#include "capa.h"
#include "concontext.h"

#define CAPC_SRC "capcsocket.cpp"

namespace {

constexpr int kPollMs = 1000;
// Longest wait for room in the send buffer while one frame is written. A
// service that stops reading fills the window and then the buffer; the frame
// then fails and the link is closed.
constexpr int kSendTimeoutMs = 5000;
constexpr int kRxStickSize = CAPC_MAX_FRAME_BODY + 4;

// Serialises the stenography client socket record against the shutdown of a
// replaced connection and the close by its receive thread.
std::mutex g_stenoLock;

void logFatal(int line) { posLogPrint("CAPA] FATAL @ %s:%d\n", CAPC_SRC, line); }

uint16_t taskLocalId()
{
    uint16_t id = g_capcInfo.localTaskId;
    return id != 0 ? id : static_cast<uint16_t>(CAPC_TASK_LOCAL_ID);
}

// Posts an indication without content (a stick of length 1) to the task.
void postIndication(uint32_t prim, Stick* carrier = nullptr)
{
    Stick* s = carrier != nullptr ? carrier : posAllocStick(1);
    if (s == nullptr) {
        logFatal(__LINE__);
        posDown(POS_DOWN_APP);
        return;
    }
    s->primId = prim;
    s->length = 1;
    s->data[0] = 0;
    s->src = g_capcInfo.myTaskId;
    s->dest = g_capcInfo.myTaskId;
    if (posTxMsg(taskLocalId(), &s, CAPC_SRC, __LINE__) != 0 && s != nullptr)
        posFreeStick(&s, CAPC_SRC, __LINE__);
}

// Reads exactly n bytes; 1 on success, 0 when the peer closed, -1 on error.
int readExact(int sock, uint8_t* buf, int n)
{
    int got = 0;
    while (got < n) {
        ssize_t r = recv(sock, buf + got, static_cast<size_t>(n - got), 0);
        if (r > 0) {
            got += static_cast<int>(r);
        } else if (r == 0) {
            return 0;
        } else if (errno != EINTR) {
            return -1;
        }
    }
    return 1;
}

// Creates a detached thread with the link threads' stack size. Returns 0 or
// -1 (logged).
int startThread(void* (*fn)(void*), void* arg, pthread_t* out)
{
    pthread_attr_t attr;
    if (pthread_attr_init(&attr) != 0) {
        posLogPrint("Error!!! pthread_attr_init\n");
        logFatal(__LINE__);
        return -1;
    }
    if (pthread_attr_setstacksize(&attr, posStackBytes(CAPC_THREAD_STACK)) != 0)
        posLogPrint("Error!!! pthread_attr_setstacksize\n");
    if (pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED) != 0) {
        logFatal(__LINE__);
        pthread_attr_destroy(&attr);
        return -1;
    }
    pthread_t t;
    int rc = pthread_create(&t, &attr, fn, arg);
    pthread_attr_destroy(&attr);
    if (rc != 0) {
        logFatal(__LINE__);
        return -1;
    }
    if (out != nullptr) *out = t;
    return 0;
}

// Closes the server link: the socket is shut down and taken out of the
// record under the write lock, so no send is using it or can pick it up, and
// then closed outside the lock: with unsent bytes the close lingers up to a
// second, which must not hold the writers (the window among them). The thread
// reports the close when it has finished (see the end of
// capcSocketRxServerClient).
void closeServerLink(int sock)
{
    CapcLink& link = g_capcInfo.link;
    {
        std::lock_guard<std::mutex> g(link.txLock);
        if (sock > 0) shutdown(sock, SHUT_RDWR);
        link.serverSocket = -1;
    }
    if (sock > 0) close(sock);
}

void* capcSocketRxServerClient(void*)
{
    CapcInfo& info = g_capcInfo;
    CapcLink& link = info.link;
    info.rxThreadId = static_cast<uint32_t>(gettid());
    link.serverSocket = -1;
    info.running = 1;
    posLogPrint("QLON] capcSocketRxServerClient Start \n");

    const int sock = capcSocketOpenClient(info.serverAddress, info.serverPort);
    if (sock < 0) {
        logFatal(__LINE__);
        // No connection: nothing to wait on. Report the close once and end.
        posLogPrint("QLON] Socket Error(Closed)-select\n");
        link.serverSocket = -1;
        info.running = 0;
    } else {
        {
            std::lock_guard<std::mutex> g(link.txLock);
            link.serverSocket = sock;
            link.closeReported = 0;   // a new link: its first failed write is reported
        }
        postIndication(CAPC_SOCK_OPEN_IND);
    }

    Stick* pending = nullptr;
    bool closed = sock < 0;
    while (!closed && info.running == 1) {
        pollfd pfd{sock, POLLIN, 0};
        int r = poll(&pfd, 1, kPollMs);
        if (r < 0 && errno == EINTR) continue;
        if (r < 0) {
            posLogPrint("QLON] Socket Error(Closed)-select\n");
            if (pending != nullptr) posFreeStick(&pending, CAPC_SRC, __LINE__);
            closeServerLink(sock);
            closed = true;
            break;
        }
        if (r == 0) {
            capcTxLinkProbe();
            continue;
        }
        if (link.serverSocket <= 0) {
            posLogPrint("QLON] Socket Error(Closed)-null fd\n");
            info.running = 0;
            break;
        }
        if (pending == nullptr) {
            pending = posAllocStick(kRxStickSize);
            if (pending == nullptr) {
                logFatal(__LINE__);
                posDown(POS_DOWN_APP);
                break;
            }
        }
        uint8_t* d = pending->data;
        const int L = capcReadFrame(sock, d + 4);
        if (L < 1) {
            posLogPrint("QLON] Socket Error(Closed)-recv\n");
            posFreeStick(&pending, CAPC_SRC, __LINE__);
            closeServerLink(sock);
            closed = true;
            break;
        }
        d[0] = d[2] = static_cast<uint8_t>(L >> 8);
        d[1] = d[3] = static_cast<uint8_t>(L);
        capxLinkKeyRx(d + 2, L + 2, link.linkKey);
        // Take the new link key before the next frame is read: the frame
        // right behind the LOGIN_ACK is already scrambled with it.
        const int key = capcLoginAckKey(d + 4, L);
        if (key >= 0) link.linkKey = static_cast<uint8_t>(key);
        pending->primId = CAPC_SOCK_DATA_IND;
        pending->length = static_cast<uint16_t>(L + 4);
        pending->src = info.myTaskId;
        pending->dest = info.myTaskId;
        if (posTxMsg(taskLocalId(), &pending, CAPC_SRC, __LINE__) != 0) {
            // Keep the stick for the next frame.
        }
    }

    if (pending != nullptr) posFreeStick(&pending, CAPC_SRC, __LINE__);
    info.running = 0;
    if (!closed) {
        int last = -1;
        {
            std::lock_guard<std::mutex> g(link.txLock);
            if (link.serverSocket > 0) {
                last = link.serverSocket;
                shutdown(last, SHUT_RDWR);
                link.serverSocket = -1;
                info.rxThreadId = 0;
            }
        }
        if (last > 0) close(last);
    }
    posLogPrint("QLON] End of TCP-Socket\n");
    info.rxActive = 0;
    // Reported last, when this thread no longer counts as running: the
    // console restarts the link on this indication, and that start must
    // never find the old thread still in place.
    if (closed) postIndication(CAPC_SOCK_CLOSE_IND);
    info.linkThreads.fetch_sub(1);
    return nullptr;
}

// ---- stenography link ---------------------------------------------------------

// A full read fills the stick: length, text and the 0 after it.
static_assert(CAPC_STENO_STICK_SIZE >= 2 + CAPC_STENO_READ_MAX + 1, "stenography stick too small");

void* capcSocketRxServer(void* arg)
{
    const int fd = static_cast<int>(reinterpret_cast<intptr_t>(arg));
    if (fd <= 0) {
        g_capcInfo.linkThreads.fetch_sub(1);
        return nullptr;
    }
    postIndication(CAPC_SOCK_STENO_OPEN_IND);
    posLogPrint("STNO] Sock-TCP-Thread Start\n");

    Stick* pending = nullptr;
    for (;;) {
        if (pending == nullptr) {
            if (posAllocMsg(CAPC_SOCK_STENO_DATA_IND, 0, POS_NO_ENTITY, POS_NO_ENTITY,
                            CAPC_STENO_STICK_SIZE, &pending) == nullptr) {
                pending = nullptr;
                logFatal(__LINE__);
                posDown(POS_DOWN_APP);
                break;
            }
        }
        pollfd pfd{fd, POLLIN, 0};
        int r = poll(&pfd, 1, kPollMs);
        if (r == 0) continue;
        if (r < 0 && errno == EINTR) continue;
        uint8_t* d = pending->data;
        ssize_t n;
        do {
            n = recv(fd, d + 2, CAPC_STENO_READ_MAX, 0);
        } while (n < 0 && errno == EINTR);
        if (n <= 0) break;
        d[0] = static_cast<uint8_t>(n >> 8);
        d[1] = static_cast<uint8_t>(n);
        d[2 + n] = 0;
        pending->primId = CAPC_SOCK_STENO_DATA_IND;
        pending->length = static_cast<uint16_t>(n + 3);
        pending->src = g_capcInfo.myTaskId;
        posTxMsg(taskLocalId(), &pending, CAPC_SRC, __LINE__);
    }
    // This thread owns its connection's socket: forget it (unless a newer
    // connection has replaced it) and close it, before the close is
    // reported, so that whoever handles the report can tell the loss of the
    // stenography program from the end of a replaced connection.
    {
        std::lock_guard<std::mutex> g(g_stenoLock);
        if (g_capcInfo.stenoClientSocket == fd) g_capcInfo.stenoClientSocket = -1;
        close(fd);
    }
    postIndication(CAPC_SOCK_STENO_CLOSE_IND, pending);
    posLogPrint("STNO] Sock-Thread End\n");
    g_capcInfo.linkThreads.fetch_sub(1);
    return nullptr;
}

void* capcSocketServer(void* arg)
{
    const int port = static_cast<int>(reinterpret_cast<intptr_t>(arg));
    CapcInfo& info = g_capcInfo;
    if (info.stenoListenSocket <= 0) {
        const int ls = capcSocketOpen(port);
        if (ls < 0) return nullptr;
        info.stenoListenSocket = ls;
    }
    const int ls = info.stenoListenSocket;
    for (;;) {
        const int c = accept(ls, nullptr, nullptr);
        if (c < 0) {
            if (errno == EBADF || errno == EINVAL || errno == ENOTSOCK) break;  // listener gone
            if (errno != EINTR && errno != ECONNABORTED)
                std::this_thread::sleep_for(std::chrono::milliseconds(100));  // e.g. out of descriptors
            continue;
        }
        {
            // A new connection replaces the old one: shut the old socket down
            // so its receive thread ends and closes it.
            std::lock_guard<std::mutex> g(g_stenoLock);
            const int old = info.stenoClientSocket;
            if (old > 0) shutdown(old, SHUT_RDWR);
            info.stenoClientSocket = c;
        }
        pthread_t t;
        info.linkThreads.fetch_add(1);
        if (startThread(capcSocketRxServer, reinterpret_cast<void*>(static_cast<intptr_t>(c)), &t) != 0) {
            info.linkThreads.fetch_sub(1);
            posLogPrint("UTHM_SOCKET] Err! capcSocketRxServer Task FAILURE\n");
            std::lock_guard<std::mutex> g(g_stenoLock);
            if (info.stenoClientSocket == c) info.stenoClientSocket = -1;
            close(c);
        }
    }
    return nullptr;
}

}  // namespace

// ---- server link ------------------------------------------------------------------

int capcSocketOpenClient(const char* address, int port)
{
    posLogPrint("QLON] capcSocketOpenClient(%s:%d)\n", address != nullptr ? address : "", port);
    const int s = socket(AF_INET, SOCK_STREAM, 0);
    if (s < 0) return -1;
    auto fail = [s](const char* line, int code) {
        posLogPrint("%s", line);
        shutdown(s, SHUT_RDWR);
        close(s);
        return code;
    };
    int one = 1;
    if (setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) != 0)
        return fail("POS# ERR: posSocketOpen:C: SO_REUSEADDR\n", -2);
    linger lg{1, 1};
    if (setsockopt(s, SOL_SOCKET, SO_LINGER, &lg, sizeof lg) != 0)
        return fail("POS# ERR: posSocketOpen:C: SO_LINGER\n", -3);
    setsockopt(s, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(static_cast<uint16_t>(port));
    if (address == nullptr || inet_pton(AF_INET, address, &sa.sin_addr) != 1)
        return fail("POS# ERR: posSocketOpen:C: connect\n", -8);
    int rc;
    do {
        rc = connect(s, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
    } while (rc != 0 && errno == EINTR);
    if (rc != 0) return fail("POS# ERR: posSocketOpen:C: connect\n", -8);
    return s;
}

int capcSocketStart(const char* address, int port)
{
    CapcInfo& info = g_capcInfo;
    int expected = 0;
    if (!info.rxActive.compare_exchange_strong(expected, 1)) {
        // A receive thread that has closed its link is about to end: give it
        // a moment. One that still runs is never joined by a second one.
        for (int i = 0; i < 100 && info.running == 0; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
            expected = 0;
            if (info.rxActive.compare_exchange_strong(expected, 1)) break;
        }
        if (expected != 0) {
            posLogPrint("QLON] capcSocketStart: receive thread still running\n");
            return -2;
        }
    }
    if (address != nullptr && address[0] != '\0' && port != 0) {
        const size_t n = strnlen(address, sizeof info.serverAddress);
        if (n > CAPC_ADDRESS_MAX) {
            posLogPrint("QLON] capcSocketStart: address too long (over %d characters)\n", CAPC_ADDRESS_MAX);
            info.rxActive = 0;
            return -3;
        }
        std::memcpy(info.serverAddress, address, n);
        info.serverAddress[n] = '\0';
        info.serverPort = static_cast<uint16_t>(port);
    }
    pthread_t t;
    info.linkThreads.fetch_add(1);
    if (startThread(capcSocketRxServerClient, nullptr, &t) != 0) {
        info.linkThreads.fetch_sub(1);
        info.rxActive = 0;
        return -1;
    }
    info.rxThread = t;
    posMsecSleep(1);
    return 0;
}

int capcReadFrame(int sock, uint8_t* buf)
{
    if (sock <= 0 || buf == nullptr) {
        logFatal(__LINE__);
        return -1;
    }
    for (;;) {
        uint8_t hdr[2];
        if (readExact(sock, hdr, 2) <= 0) return -1;
        const int L = (hdr[0] << 8) | hdr[1];
        if (L <= CAPC_MAX_FRAME_BODY) {
            if (L == 0) return 0;
            if (readExact(sock, buf, L) <= 0) {
                logFatal(__LINE__);
                return -1;
            }
            return L;
        }
        // Oversized: log it and skip its body so the stream stays in step.
        logFatal(__LINE__);
        int left = L;
        while (left > 0) {
            const int chunk = left < CAPC_MAX_FRAME_BODY ? left : CAPC_MAX_FRAME_BODY;
            if (readExact(sock, buf, chunk) <= 0) return -1;
            left -= chunk;
        }
    }
}

int capcLoginAckKey(const uint8_t* body, int L)
{
    if (body == nullptr || L < 22 || body[0] != CAPC_ID_LOGIN_ACK || body[21] != 0) return -1;
    if (L < 31) return 0;                      // no msg field: eValue 0
    const int m = (body[29] << 8) | body[30];
    const int at = 31 + m;
    return at < L ? body[at] : 0;
}

int capcSocketSend(CapcLink* link, uint8_t* frame, int frameLen)
{
    if (link == nullptr || frame == nullptr || frameLen <= 0) return -1;
    if (link->serverSocket == 0) return -1;   // never opened
    CapcTestHooks& h = g_capcHooks;
    if (frameLen > 2 && h.txDiscardCount != 0 && frame[2] == h.txDiscardId) {
        const int32_t left = capcTakeDiscard(h.txDiscardCount);
        if (left != INT32_MIN) {
            posLogPrint("Discard Msg(%d) Left(%d)\n", frame[2], static_cast<int>(left));
            return CAPC_TX_DISCARDED;
        }
    }
    std::lock_guard<std::mutex> g(link->txLock);
    capxLinkKeyTx(frame, frameLen, link->linkKey);
    const int sock = link->serverSocket;
    if (sock < 0) return -1;
    // A peer that stops reading must not hold the writers: the whole frame
    // gets kSendTimeoutMs to find room, however many pieces it goes in.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kSendTimeoutMs);
    int sent = 0;
    while (sent < frameLen) {
        ssize_t r = send(sock, frame + sent, static_cast<size_t>(frameLen - sent), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (r > 0) {
            sent += static_cast<int>(r);
            continue;
        }
        if (r < 0 && errno == EINTR) continue;
        if (r < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                                  deadline - std::chrono::steady_clock::now()).count();
            if (left > 0) {
                pollfd pfd{sock, POLLOUT, 0};
                poll(&pfd, 1, static_cast<int>(left));
                continue;
            }
            errno = EAGAIN;
        }
        // A real failure: shut the socket down so that the receive thread
        // sees the end of the link, reports the close once and closes it.
        posLogPrint("QLON] Socket Error(Closed)-send(%d)\n", r < 0 ? errno : 0);
        shutdown(sock, SHUT_RDWR);
        return -1;
    }
    return 0;
}

// ---- stenography link ----------------------------------------------------------------

int capcSocketOpen(int port)
{
    posLogPrint("CAPT] capcSocketOpen (*:%d)\n", port);
    const int s = socket(AF_INET, SOCK_STREAM, 0);
    if (s < 0) {
        posLogPrint("Err(%d): can't open stream socket as Server\n", errno);
        return -1;
    }
    int one = 1;
    if (setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) != 0) {
        close(s);
        return -2;
    }
    linger lg{0, 0};
    if (setsockopt(s, SOL_SOCKET, SO_LINGER, &lg, sizeof lg) != 0) {
        close(s);
        return -3;
    }
    // The stenography programs run on this workstation: loopback only.
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    sa.sin_port = htons(static_cast<uint16_t>(port));
    if (bind(s, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) {
        posLogPrint("CAPT] bind(127.0.0.1:%d) failed: %s\n", port, std::strerror(errno));
        close(s);
        return -4;
    }
    if (listen(s, 5) != 0) {
        close(s);
        return -5;
    }
    socklen_t len = sizeof sa;
    if (getsockname(s, reinterpret_cast<sockaddr*>(&sa), &len) == 0)
        g_capcInfo.stenoPort = ntohs(sa.sin_port);
    return s;
}

int capcStenoConnected()
{
    std::lock_guard<std::mutex> g(g_stenoLock);
    return g_capcInfo.stenoClientSocket > 0 ? 1 : 0;
}

int capcStenoServerStart(int port)
{
    g_capcInfo.stenoPort = static_cast<uint16_t>(port);
    pthread_t t;
    if (startThread(capcSocketServer, reinterpret_cast<void*>(static_cast<intptr_t>(port)), &t) != 0) {
        posLogPrint("UTHM_SOCKET] Err! capcSocketServer Task FAILURE\n");
        return -1;
    }
    g_capcInfo.stenoServerThread = t;
    return 0;
}
