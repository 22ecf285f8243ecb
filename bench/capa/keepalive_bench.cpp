// KEEP_ALIVE -> KEEP_ALIVE_ACK turnaround through the real agent link (server
// receive thread, agent task queue, decode, answer, whole-frame write) beside
// a bare read -> write echo of the same sizes on the same loopback.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <arpa/inet.h>
#include <chrono>
#include <cstring>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "capa.h"
#include "concontext.h"
#include "pos.h"
#include "posinternal.h"

namespace {

constexpr int kAckFrame = 28;  // KEEP_ALIVE_ACK: 2 + 26

bool readExact(int fd, uint8_t* p, size_t n)
{
    size_t got = 0;
    while (got < n) {
        ssize_t r = recv(fd, p + got, n - got, 0);
        if (r <= 0) return false;
        got += static_cast<size_t>(r);
    }
    return true;
}

bool writeAll(int fd, const uint8_t* p, size_t n)
{
    return send(fd, p, n, MSG_NOSIGNAL) == static_cast<ssize_t>(n);
}

int listenLoopback(int* port)
{
    const int s = socket(AF_INET, SOCK_STREAM, 0);
    int one = 1;
    setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(s, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
    listen(s, 1);
    socklen_t len = sizeof sa;
    getsockname(s, reinterpret_cast<sockaddr*>(&sa), &len);
    *port = ntohs(sa.sin_port);
    return s;
}

int connectLoopback(int port)
{
    const int s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    sa.sin_port = htons(static_cast<uint16_t>(port));
    connect(s, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
    return s;
}

void noDelay(int fd)
{
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

std::vector<uint8_t> keepAliveFrame()
{
    CapxMsg m;
    std::memset(static_cast<void*>(&m), 0, sizeof m);
    m.msgId = CAPX_KEEP_ALIVE;
    m.keepAlive.svrTxStampSec = 1;
    m.keepAlive.curCaCount = 2;
    std::vector<uint8_t> f(CAPX_MAX_FRAME_LEN);
    f.resize(static_cast<size_t>(capxEncodeMsg(&m, f.data(), 0, 0)));
    return f;
}

void report(benchmark::State& state, std::vector<double>& us)
{
    if (us.empty()) return;
    std::sort(us.begin(), us.end());
    state.counters["p50_us"] = us[us.size() / 2];
    state.counters["p99_us"] = us[std::min(us.size() - 1, us.size() * 99 / 100)];
}

// The agent task "CAPA" connected to a bare server socket of this process.
int agentServerSocket()
{
    static int fd = [] {
        posInit(99);
        while (g_posLogTaskId.load() == 0) usleep(1000);
        posGatesOpenAll();
        capcSetStenoPort(0);
        capcCreateTask();
        int port = 0;
        const int ls = listenLoopback(&port);
        capcSocketStart("127.0.0.1", port);
        const int c = accept(ls, nullptr, nullptr);
        noDelay(c);
        close(ls);
        return c;
    }();
    return fd;
}

void BM_KeepAliveTurnaround(benchmark::State& state)
{
    const int fd = agentServerSocket();
    const std::vector<uint8_t> ka = keepAliveFrame();
    uint8_t ack[kAckFrame];
    std::vector<double> us;
    us.reserve(200000);
    for (auto _ : state) {
        const auto t0 = std::chrono::steady_clock::now();
        if (!writeAll(fd, ka.data(), ka.size()) || !readExact(fd, ack, sizeof ack)) {
            state.SkipWithError("link lost");
            break;
        }
        us.push_back(std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - t0).count());
    }
    report(state, us);
}
BENCHMARK(BM_KeepAliveTurnaround)->UseRealTime()->MinTime(3.0);

void BM_BareEcho(benchmark::State& state)
{
    int port = 0;
    const int ls = listenLoopback(&port);
    std::thread echo([ls] {
        const int c = accept(ls, nullptr, nullptr);
        noDelay(c);
        uint8_t in[15], out[kAckFrame] = {0, 26, 15};
        while (readExact(c, in, sizeof in) && writeAll(c, out, sizeof out)) {
        }
        close(c);
    });
    const int fd = connectLoopback(port);
    noDelay(fd);
    const std::vector<uint8_t> ka = keepAliveFrame();
    uint8_t ack[kAckFrame];
    std::vector<double> us;
    us.reserve(200000);
    for (auto _ : state) {
        const auto t0 = std::chrono::steady_clock::now();
        writeAll(fd, ka.data(), ka.size());
        readExact(fd, ack, sizeof ack);
        us.push_back(std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - t0).count());
    }
    shutdown(fd, SHUT_RDWR);
    close(fd);
    echo.join();
    close(ls);
    report(state, us);
}
BENCHMARK(BM_BareEcho)->UseRealTime()->MinTime(3.0);

}  // namespace

BENCHMARK_MAIN();
