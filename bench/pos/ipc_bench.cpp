// Stick ping-pong (round trip) and one-way throughput between tasks, each
// beside a bare mutex+condition-variable queue doing the same hand-offs, plus
// heap allocations per message after warm-up.
#include "alloc_count.h"
#include "posinternal.h"

#include <benchmark/benchmark.h>

#include <atomic>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

namespace {

constexpr int kBenchTask = 1;   // the benchmark thread itself, bound as a task
constexpr int kEchoTask = 2;    // answers every stick to kBenchTask
constexpr int kSinkTask = 3;    // frees every stick and counts it
constexpr uint32_t kPrim = 0x100;
constexpr int kMsgBytes = 64;
constexpr int kQueueLimit = 1024;  // in-flight bound of both throughput runs

std::atomic<uint64_t> s_sinkCount{0};

void parkTask(PosTask*) {
    for (;;) posMsecSleep(100000);
}

void echoTask(PosTask* t) {
    posResTask(t, "BENCH", "ECHO", 1, 0, 0, __DATE__, __TIME__);
    for (;;) {
        Stick* s;
        uint32_t src;
        int err;
        posRxMsg(&s, &src, &err);
        posTxMsg(kBenchTask, &s, POS_HERE);
    }
}

void sinkTask(PosTask* t) {
    posResTask(t, "BENCH", "SINK", 1, 0, 0, __DATE__, __TIME__);
    for (;;) {
        Stick* s;
        uint32_t src;
        int err;
        posRxMsg(&s, &src, &err);
        posFreeStick(&s, POS_HERE);
        s_sinkCount.fetch_add(1, std::memory_order_release);
    }
}

void runtimeUp() {
    static bool up = false;
    if (up) return;
    up = true;
    setenv("POS_DEBUG_DIR", "/tmp", 0);
    posInit(99);
    int err;
    // The benchmark thread becomes task 1: its record and queue come from
    // posCreateTask, its own thread parks.
    posCreateTask(parkTask, "BENCH", kBenchTask, 100, 0xFFFF, 0, 50000, &err);
    posCreateTask(echoTask, "ECHO", kEchoTask, 100, 0xFFFF, 0, 50000, &err);
    posCreateTask(sinkTask, "SINK", kSinkTask, 100, kQueueLimit, 0, 50000, &err);
    PosTask* me = posGetTask(kBenchTask);
    posBindThread(me, nullptr);
    __atomic_store_n(&me->regMark, POS_TASK_REGISTERED, __ATOMIC_RELEASE);
    posGatesOpenAll();
    g_posConsoleUp.store(1);
    while (__atomic_load_n(&posGetTask(kEchoTask)->regMark, __ATOMIC_ACQUIRE) != POS_TASK_REGISTERED ||
           __atomic_load_n(&posGetTask(kSinkTask)->regMark, __ATOMIC_ACQUIRE) != POS_TASK_REGISTERED)
        posMsecSleep(1);
}

void pingOnce() {
    Stick* s = posAllocStick(kMsgBytes);
    s->primId = kPrim;
    posTxMsg(kEchoTask, &s, POS_HERE);
    uint32_t src;
    int err;
    posRxMsg(&s, &src, &err);
    posFreeStick(&s, POS_HERE);
}

void BM_StickPingPong(benchmark::State& state) {
    runtimeUp();
    for (int i = 0; i < 2000; i++) pingOnce();
    uint64_t allocs0 = g_heapAllocs.load();
    for (auto _ : state) pingOnce();
    uint64_t allocs = g_heapAllocs.load() - allocs0;
    state.counters["allocs_per_msg"] =
        heapCountingActive() ? static_cast<double>(allocs) / (2.0 * state.iterations()) : -1;
}
BENCHMARK(BM_StickPingPong)->UseRealTime();

void BM_StickThroughput(benchmark::State& state) {
    runtimeUp();
    for (int i = 0; i < 2000; i++) {
        Stick* s = posAllocStick(kMsgBytes);
        s->primId = kPrim;
        posTxMsg(kSinkTask, &s, POS_HERE);
    }
    while (s_sinkCount.load() < 2000) posMsecSleep(1);
    uint64_t start = s_sinkCount.load();
    uint64_t allocs0 = g_heapAllocs.load();
    uint64_t sent = 0;
    for (auto _ : state) {
        Stick* s = posAllocStick(kMsgBytes);
        s->primId = kPrim;
        memset(s->data, 1, 8);
        posTxMsg(kSinkTask, &s, POS_HERE);
        sent++;
    }
    while (s_sinkCount.load(std::memory_order_acquire) - start < sent) std::this_thread::yield();
    uint64_t allocs = g_heapAllocs.load() - allocs0;
    state.SetItemsProcessed(static_cast<int64_t>(sent));
    state.counters["allocs_per_msg"] =
        heapCountingActive() ? static_cast<double>(allocs) / static_cast<double>(sent) : -1;
}
BENCHMARK(BM_StickThroughput)->UseRealTime();

// ---- the bare queue: a mutex, two condition variables and an intrusive list
// of preallocated messages recycled through a free list ----

struct Msg {
    Msg* next;
    uint32_t prim;
    uint8_t data[kMsgBytes];
};

struct BareQueue {
    std::mutex mu;
    std::condition_variable cv;
    std::condition_variable notFull;
    Msg* head = nullptr;
    Msg* tail = nullptr;
    int waiting = 0;
    int count = 0;
    int sendersWaiting = 0;
    void put(Msg* m) {
        std::unique_lock<std::mutex> g(mu);
        while (count >= kQueueLimit) {
            sendersWaiting++;
            notFull.wait(g);
            sendersWaiting--;
        }
        count++;
        m->next = nullptr;
        if (tail)
            tail->next = m;
        else
            head = m;
        tail = m;
        if (waiting) cv.notify_one();
    }
    Msg* get() {
        std::unique_lock<std::mutex> g(mu);
        while (!head) {
            waiting++;
            cv.wait(g);
            waiting--;
        }
        Msg* m = head;
        head = m->next;
        if (!head) tail = nullptr;
        count--;
        if (sendersWaiting) notFull.notify_all();
        return m;
    }
};

struct FreeList {
    std::mutex mu;
    Msg* head = nullptr;
    Msg* get() {
        std::lock_guard<std::mutex> g(mu);
        Msg* m = head;
        if (m) head = m->next;
        return m;
    }
    void put(Msg* m) {
        std::lock_guard<std::mutex> g(mu);
        m->next = head;
        head = m;
    }
};

struct Bare {
    BareQueue toEcho, toMain, toSink;
    FreeList pool;
    std::atomic<uint64_t> sinkCount{0};
    std::vector<Msg> storage;
    Bare() : storage(100000) {
        for (auto& m : storage) pool.put(&m);
        std::thread([this] {
            for (;;) toMain.put(toEcho.get());
        }).detach();
        std::thread([this] {
            for (;;) {
                pool.put(toSink.get());
                sinkCount.fetch_add(1, std::memory_order_release);
            }
        }).detach();
    }
};

Bare& bare() {
    static Bare* b = new Bare;
    return *b;
}

void BM_BareQueuePingPong(benchmark::State& state) {
    Bare& b = bare();
    for (auto _ : state) {
        Msg* m = b.pool.get();
        m->prim = kPrim;
        b.toEcho.put(m);
        b.pool.put(b.toMain.get());
    }
}
BENCHMARK(BM_BareQueuePingPong)->UseRealTime();

void BM_BareQueueThroughput(benchmark::State& state) {
    Bare& b = bare();
    uint64_t start = b.sinkCount.load();
    uint64_t sent = 0;
    for (auto _ : state) {
        Msg* m;
        while (!(m = b.pool.get())) std::this_thread::yield();
        m->prim = kPrim;
        memset(m->data, 1, 8);
        b.toSink.put(m);
        sent++;
    }
    while (b.sinkCount.load(std::memory_order_acquire) - start < sent) std::this_thread::yield();
    state.SetItemsProcessed(static_cast<int64_t>(sent));
}
BENCHMARK(BM_BareQueueThroughput)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
