// Timer lateness: 1000 timers of 1 to 50 ms started at once on one task; for
// every expiry the lateness against the requested delay (start + ms) and
// against the entry's own millisecond deadline. Reports p50, p99, max and min
// in microseconds; a negative minimum would mean an early expiry.
#include "posinternal.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <random>
#include <vector>

namespace {

constexpr int kTimers = 1000;

struct Sample {
    int64_t requestedUs;   // start + ms
    int64_t deadlineUs;    // the entry's deadline
};

std::vector<Sample> s_samples(kTimers);
std::vector<int64_t> s_vsRequested, s_vsDeadline;
std::atomic<bool> s_done{false};

int64_t nowUs() {
    struct timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000;
}

void timerTask(PosTask* t) {
    posResTask(t, "BENCH", "TIMER", 1, 0, 0, __DATE__, __TIME__);
    std::mt19937 rng(1234);
    static PosTimerKey keys[kTimers];
    for (int i = 0; i < kTimers; i++) {
        int ms = 1 + static_cast<int>(rng() % 50);
        int64_t start = nowUs();
        posStartTimer(&keys[i], 0x200, ms, static_cast<uint32_t>(i), nullptr, 0, POS_HERE);
        pthread_mutex_lock(&t->timerLock);
        PosTimerEntry* e = keys[i].entry;
        s_samples[i].deadlineUs =
            e ? static_cast<int64_t>(e->sec) * 1000000 + static_cast<int64_t>(e->usec) : 0;
        pthread_mutex_unlock(&t->timerLock);
        s_samples[i].requestedUs = start + ms * 1000;
    }
    for (int got = 0; got < kTimers; got++) {
        Stick* s;
        uint32_t src;
        int err;
        posRxMsg(&s, &src, &err);
        int64_t now = nowUs();
        const Sample& smp = s_samples[s->param];
        s_vsRequested.push_back(now - smp.requestedUs);
        s_vsDeadline.push_back(now - smp.deadlineUs);
        posFreeStick(&s, POS_HERE);
    }
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
    state.counters["p50_us"] = pct(s_vsRequested, 0.50);
    state.counters["p99_us"] = pct(s_vsRequested, 0.99);
    state.counters["max_us"] = pct(s_vsRequested, 1.0);
    state.counters["min_us"] = pct(s_vsRequested, 0.0);
    state.counters["dl_p50_us"] = pct(s_vsDeadline, 0.50);
    state.counters["dl_p99_us"] = pct(s_vsDeadline, 0.99);
    state.counters["dl_max_us"] = pct(s_vsDeadline, 1.0);
    state.counters["dl_min_us"] = pct(s_vsDeadline, 0.0);
}
BENCHMARK(BM_TimerLateness)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
