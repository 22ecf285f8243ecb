// Timer lateness: 1000 timers of 1 to 50 ms on one task, started from a helper
// thread bound to the task (as an entity thread is) at random moments over
// about half a second, so that the task's own thread does nothing but receive.
// For every expiry: lateness = receipt time - (start + delay). Reports p50,
// p99, max and min in microseconds; a negative minimum would mean an early
// expiry.
#include "posinternal.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <random>
#include <thread>
#include <vector>

namespace {

constexpr int kTimers = 1000;

int64_t s_requestedUs[kTimers];
std::vector<int64_t> s_lateness;
std::atomic<bool> s_done{false};
PosTimerKey s_keys[kTimers];
PosEntity s_starter;

int64_t nowUs() {
    struct timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000;
}

void startTimers(PosTask* t) {
    s_starter.id = 1;
    s_starter.owner = t;
    posBindThread(t, &s_starter);
    std::mt19937 rng(1234);
    for (int i = 0; i < kTimers; i++) {
        struct timespec pause = {0, static_cast<long>(rng() % 1000) * 1000L};
        nanosleep(&pause, nullptr);
        int ms = 1 + static_cast<int>(rng() % 50);
        s_requestedUs[i] = nowUs() + ms * 1000;
        posStartTimer(&s_keys[i], 0x200, ms, static_cast<uint32_t>(i), nullptr, 0, POS_HERE);
    }
}

void timerTask(PosTask* t) {
    posResTask(t, "BENCH", "TIMER", 1, 0, 0, __DATE__, __TIME__);
    std::thread starter(startTimers, t);
    s_lateness.reserve(kTimers);
    for (int got = 0; got < kTimers; got++) {
        Stick* s;
        uint32_t src;
        int err;
        posRxMsg(&s, &src, &err);
        int64_t now = nowUs();
        s_lateness.push_back(now - s_requestedUs[s->param]);
        posFreeStick(&s, POS_HERE);
    }
    starter.join();
    s_done = true;
    for (;;) posMsecSleep(100000);
}

double pct(std::vector<int64_t> v, double p) {
    std::sort(v.begin(), v.end());
    size_t i = static_cast<size_t>(p * static_cast<double>(v.size() - 1));
    return static_cast<double>(v[i]);
}

void BM_TimerLateness(benchmark::State& state) {
    for (auto _ : state) {
        setenv("POS_DEBUG_DIR", "/tmp", 0);
        posInit(99);
        int err;
        posCreateTask(timerTask, "TIMERS", 1, 100, 0xFFFF, 0, 50000, &err);
        posGatesOpenAll();
        while (!s_done) posMsecSleep(5);
    }
    state.counters["p50_us"] = pct(s_lateness, 0.50);
    state.counters["p99_us"] = pct(s_lateness, 0.99);
    state.counters["max_us"] = pct(s_lateness, 1.0);
    state.counters["min_us"] = pct(s_lateness, 0.0);
}
BENCHMARK(BM_TimerLateness)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
