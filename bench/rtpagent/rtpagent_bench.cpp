// Voice path figures, measured on real calls through oRTP, bcg729, PortAudio
// and the test audio devices:
//   FullDuplexCall/PCMU, /G729  CPU time of this process (the client) per
//       second of a call with microphone and playback, and its thread
//       wake-ups per second; the far end runs as a separate svcvoice process
//       so that its work is not counted.
//   CodecFrame/PCMU, /G729  the codec alone: encode and decode of one 20 ms
//       frame each way, as a share of one core during a call.
//   EchoTurnaround   no microphone: a payload in -> the same payload out
//       (p50 and p99 in ms), measured at the far end; also for the packets
//       that the once-per-second send pause does not hold back.
//   SendPacing       standard deviation of the interval between the
//       client's packets as the far end receives them (ms); also without the
//       intervals that the once-per-second send pause shapes.
//   MachineWakeLateness  reference: how late a bare thread sleeping in 20 ms
//       steps wakes on this machine. Every figure above carries this noise.
#include <benchmark/benchmark.h>

#include <signal.h>
#include <sys/resource.h>
#include <spawn.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "audiofixture.h"
#include "concontext.h"
#include "pos.h"
#include "posinternal.h"
#include "rtpagent.h"
#include "svcvoice.h"
#include "voicecodec.h"
#include "winsnd.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

bool waitUntil(const std::function<bool()>& pred, int ms)
{
    const auto end = Clock::now() + std::chrono::milliseconds(ms);
    while (!pred()) {
        if (Clock::now() > end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

double processCpuSeconds()
{
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return ts.tv_sec + ts.tv_nsec / 1e9;
}

// Context switches of all threads of this process: on a virtual machine each
// wake-up costs tens of microseconds, so this explains most of the CPU time.
long processContextSwitches()
{
    rusage ru{};
    getrusage(RUSAGE_SELF, &ru);
    return ru.ru_nvcsw + ru.ru_nivcsw;
}

// The client pauses its sending for the jitter setting (60 ms) after every
// second of audio; the three packets due in that time then go out at once.
// Their RTP timestamps are the first three of each second.
constexpr uint32_t kPauseCatchUpTs = 3 * VOICE_TS_STEP;
bool heldByPause(uint32_t timestamp) { return timestamp % VOICE_RATE < kPauseCatchUpTs; }

double stddev(const std::vector<double>& v, double* meanOut = nullptr)
{
    double mean = 0, var = 0;
    for (double x : v) mean += x;
    mean /= v.empty() ? 1 : v.size();
    for (double x : v) var += (x - mean) * (x - mean);
    var /= v.empty() ? 1 : v.size();
    if (meanOut) *meanOut = mean;
    return std::sqrt(var);
}

int g_window;
TestAudioDevices* g_audio = nullptr;

// One runtime, RTP task and audio layer for the whole program.
bool setUpOnce(bool withMicrophone)
{
    static bool done = false;
    static bool ok = false;
    if (done) return ok;
    done = true;
    if (!withMicrophone) setenv("QUILLON_AUDIO", "portaudio-output-only", 1);
    g_audio = new TestAudioDevices;
    // The daemon ends with the program.
    std::atexit([] {
        winsnd_close();
        g_audio->stop();
    });
    std::vector<int16_t> mic(60 * 8000);
    for (size_t i = 0; i < mic.size(); ++i) mic[i] = static_cast<int16_t>(6000 * std::sin(2 * M_PI * 440 * i / 8000.0));
    std::string why;
    if (!g_audio->start(mic, &why)) {
        std::fprintf(stderr, "audio devices: %s\n", why.c_str());
        return false;
    }
    char tmpl[] = "/tmp/rtpbenchXXXXXX";
    const char* d = mkdtemp(tmpl);
    setenv("POS_DEBUG_DIR", d ? d : "/tmp", 1);
    if (posInit(99) != 0) return false;
    waitUntil([] { return g_posLogTaskId.load() != 0; }, 5000);
    posGatesOpenAll();
    conContextReset();
    conPublish(&g_window, 1);
    int err = 0;
    if (rtpCreateTask(&err) == 0 || !waitUntil([] { return rtpTaskReady(); }, 5000)) return false;
    ok = winsnd_init() == 0;
    return ok;
}

bool endCall()
{
    rtpSapStop();
    winsnd_stop();
    return waitUntil([] { return g_rtpAgent.sap[0].state.load() == RTP_S_INIT; }, 5000);
}

// A voice-like signal whose 20 ms frames all differ (a slow chirp rides on
// it), so that each echoed payload can be matched with the one sent.
std::vector<int16_t> speechLike(int seconds)
{
    std::vector<int16_t> v(static_cast<size_t>(seconds) * 8000);
    for (size_t i = 0; i < v.size(); ++i) {
        const double t = i / 8000.0;
        v[i] = static_cast<int16_t>(5000 * std::sin(2 * M_PI * 300 * t) * (0.6 + 0.4 * std::sin(2 * M_PI * 3 * t)) +
                                    2000 * std::sin(2 * M_PI * 97 * t * t));
    }
    return v;
}

double percentile(std::vector<double> v, double p)
{
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    const size_t i = std::min(v.size() - 1, static_cast<size_t>(p * (v.size() - 1) + 0.5));
    return v[i];
}

void fullDuplexCall(benchmark::State& state, int pt)
{
    if (!setUpOnce(true)) {
        state.SkipWithError("set-up failed");
        return;
    }
    const int seconds = 8;
    const std::string wav = g_audio->dir() + "/far.wav";
    svcVoiceWriteWav(wav, speechLike(seconds + 4));
    const int farPort = 30000 + 2 * (getpid() % 5000);
    const std::string portText = std::to_string(farPort), ptText = std::to_string(pt);
    const std::string secText = std::to_string(seconds + 6);
    const char* argv[] = {SVCVOICE_PROGRAM, "--wav", wav.c_str(), "--pt", ptText.c_str(), "--port",
                          portText.c_str(), "--seconds", secText.c_str(), nullptr};
    for (auto _ : state) {
        pid_t child = -1;
        if (posix_spawn(&child, SVCVOICE_PROGRAM, nullptr, nullptr, const_cast<char**>(argv), environ) != 0) {
            state.SkipWithError("cannot start svcvoice");
            return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        conContext().payloadType = static_cast<uint16_t>(pt);
        conContext().RxCnt = 0;
        if (rtpSapAlloc(1, static_cast<uint16_t>(pt), 3, "127.0.0.1", static_cast<uint16_t>(farPort)) != 0 ||
            winsnd_start() != 0) {
            state.SkipWithError("call set-up failed");
            kill(child, SIGTERM);
            waitpid(child, nullptr, 0);
            return;
        }
        // Measure a steady stretch of the call: both directions running.
        waitUntil([] { return conContext().RxCnt.load() >= 25; }, 5000);
        const double cpu0 = processCpuSeconds();
        const long switches0 = processContextSwitches();
        const auto t0 = Clock::now();
        std::this_thread::sleep_for(std::chrono::seconds(seconds - 2));
        const double cpu = processCpuSeconds() - cpu0;
        const long switches = processContextSwitches() - switches0;
        const double wall = std::chrono::duration<double>(Clock::now() - t0).count();
        state.SetIterationTime(wall);
        state.counters["cpu_percent_of_core"] = 100.0 * cpu / wall;
        state.counters["wakeups_per_s"] = static_cast<double>(switches) / wall;
        state.counters["rx_frames"] = conContext().RxCnt.load();
        endCall();
        kill(child, SIGTERM);
        waitpid(child, nullptr, 0);
    }
}

void BM_FullDuplexCall_PCMU(benchmark::State& state) { fullDuplexCall(state, 0); }
void BM_FullDuplexCall_G729(benchmark::State& state) { fullDuplexCall(state, 18); }

// One 20 ms frame encoded (microphone) and one decoded (playback), as the
// audio thread does 50 times a second during a call.
void codecFrame(benchmark::State& state, int pt)
{
    const auto audio = speechLike(2);
    G729Encoder* enc = g729EncoderCreate();
    G729Decoder* dec = g729DecoderCreate();
    uint8_t payload[VOICE_PCMU_PAYLOAD];
    int16_t out[VOICE_FRAME_SAMPLES];
    size_t at = 0;
    const auto t0 = Clock::now();
    for (auto _ : state) {
        const int16_t* in = audio.data() + at;
        at = (at + VOICE_FRAME_SAMPLES) % (audio.size() - VOICE_FRAME_SAMPLES);
        if (voiceIsPcmu(pt)) {
            g711MulawEncodeBlock(in, VOICE_FRAME_SAMPLES, payload);
            g711MulawDecodeBlock(payload, VOICE_FRAME_SAMPLES, out);
        } else {
            for (int k = 0; k < 2; ++k) {
                g729EncodeFrame(enc, in + k * VOICE_G729_FRAME_SAMPLES, payload + k * VOICE_G729_FRAME_BYTES);
                g729DecodeFrame(dec, payload + k * VOICE_G729_FRAME_BYTES, out + k * VOICE_G729_FRAME_SAMPLES);
            }
        }
        benchmark::DoNotOptimize(out);
    }
    const double perFrame = std::chrono::duration<double>(Clock::now() - t0).count() / state.iterations();
    state.counters["percent_of_core_per_call"] = 100.0 * perFrame * 50;
    g729EncoderDestroy(enc);
    g729DecoderDestroy(dec);
}

void BM_CodecFrame_PCMU(benchmark::State& state) { codecFrame(state, 0); }
void BM_CodecFrame_G729(benchmark::State& state) { codecFrame(state, 18); }

// Runs a call against an in-process far end; returns its recording.
bool runCall(int pt, int frames, SvcVoice** out)
{
    SvcVoiceConfig cfg;
    cfg.payloadType = pt;
    cfg.audio = speechLike(frames / 50 + 1);
    cfg.audio.resize(static_cast<size_t>(frames) * 160);
    auto* far = new SvcVoice(cfg);
    const int port = far->start();
    conContext().payloadType = static_cast<uint16_t>(pt);
    if (port < 0 || rtpSapAlloc(1, static_cast<uint16_t>(pt), 3, "127.0.0.1", static_cast<uint16_t>(port)) != 0 ||
        winsnd_start() != 0) {
        delete far;
        return false;
    }
    waitUntil([&] { return far->streamingDone(); }, frames * 20 + 5000);
    std::this_thread::sleep_for(std::chrono::milliseconds(400));
    endCall();
    far->stop();
    *out = far;
    return true;
}

void BM_EchoTurnaround(benchmark::State& state)
{
    if (!setUpOnce(false)) {
        state.SkipWithError("set-up failed");
        return;
    }
    if (winsnd_has_input()) {
        state.SkipWithError("a microphone is present: run the echo figures in a process of their own");
        return;
    }
    for (auto _ : state) {
        SvcVoice* far = nullptr;
        const auto t0 = Clock::now();
        if (!runCall(0, 500, &far)) {
            state.SkipWithError("call failed");
            return;
        }
        state.SetIterationTime(std::chrono::duration<double>(Clock::now() - t0).count());
        // Match each sent payload with its echo (payloads are unique).
        const auto sent = far->sentTimes();
        std::map<std::vector<uint8_t>, const SvcVoicePacket*> arrival;
        const auto pkts = far->packets();
        for (const auto& p : pkts) arrival.emplace(p.payload, &p);
        if (arrival.size() < pkts.size() - 10) state.counters["duplicate_payloads"] = 1;
        const auto audio = speechLike(11);
        std::vector<double> ms, msOutsidePause;
        for (size_t i = 0; i < sent.size(); ++i) {
            uint8_t payload[160];
            for (int k = 0; k < 160; ++k) payload[k] = g711MulawEncode(audio[i * 160 + static_cast<size_t>(k)]);
            auto it = arrival.find(std::vector<uint8_t>(payload, payload + 160));
            if (it == arrival.end()) continue;
            const double d = std::chrono::duration<double, std::milli>(it->second->at - sent[i]).count();
            ms.push_back(d);
            if (!heldByPause(it->second->timestamp)) msOutsidePause.push_back(d);
        }
        state.counters["echoed"] = static_cast<double>(ms.size());
        // Payloads the receive side's jitter buffer dropped (it does when it
        // shrinks after late packets) never come back.
        state.counters["not_echoed"] = static_cast<double>(sent.size() - ms.size());
        state.counters["p50_ms"] = percentile(ms, 0.50);
        state.counters["p99_ms"] = percentile(ms, 0.99);
        state.counters["p50_ms_outside_pause"] = percentile(msOutsidePause, 0.50);
        state.counters["p99_ms_outside_pause"] = percentile(msOutsidePause, 0.99);
        state.counters["max_ms"] = percentile(ms, 1.0);
        delete far;
    }
}

void BM_SendPacing(benchmark::State& state)
{
    if (!setUpOnce(false)) {
        state.SkipWithError("set-up failed");
        return;
    }
    for (auto _ : state) {
        SvcVoice* far = nullptr;
        const auto t0 = Clock::now();
        if (!runCall(0, 500, &far)) {
            state.SkipWithError("call failed");
            return;
        }
        state.SetIterationTime(std::chrono::duration<double>(Clock::now() - t0).count());
        const auto pkts = far->packets();
        // The intervals ending on a packet that the pause held back (the
        // pause itself and the catch-up right after it) are left out of the
        // second figure.
        std::vector<double> gaps, gapsOutsidePause;
        for (size_t i = 6; i + 1 < pkts.size(); ++i) {
            const double g = std::chrono::duration<double, std::milli>(pkts[i + 1].at - pkts[i].at).count();
            gaps.push_back(g);
            if (!heldByPause(pkts[i + 1].timestamp)) gapsOutsidePause.push_back(g);
        }
        double mean = 0;
        const double sd = stddev(gaps, &mean);
        state.counters["packets"] = static_cast<double>(pkts.size());
        state.counters["with_microphone"] = winsnd_has_input() ? 1 : 0;
        state.counters["mean_interval_ms"] = mean;
        state.counters["stddev_ms"] = sd;
        state.counters["stddev_ms_outside_pause"] = stddev(gapsOutsidePause);
        state.counters["interval_p5_ms"] = percentile(gaps, 0.05);
        state.counters["interval_p95_ms"] = percentile(gaps, 0.95);
        delete far;
    }
}

// A thread that sleeps to absolute 20 ms deadlines, as the voice path does;
// its lateness is what the machine adds to every timing figure.
void BM_MachineWakeLateness(benchmark::State& state)
{
    for (auto _ : state) {
        std::vector<double> late;
        timespec due{};
        clock_gettime(CLOCK_MONOTONIC, &due);
        for (int i = 0; i < 500; ++i) {
            due.tv_nsec += 20000000;
            if (due.tv_nsec >= 1000000000) {
                due.tv_nsec -= 1000000000;
                due.tv_sec += 1;
            }
            clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &due, nullptr);
            timespec now{};
            clock_gettime(CLOCK_MONOTONIC, &now);
            late.push_back((now.tv_sec - due.tv_sec) * 1e3 + (now.tv_nsec - due.tv_nsec) / 1e6);
        }
        state.counters["late_p50_ms"] = percentile(late, 0.50);
        state.counters["late_p99_ms"] = percentile(late, 0.99);
        state.counters["late_max_ms"] = percentile(late, 1.0);
    }
}

}  // namespace

// The full-duplex figures need the microphone; echo and pacing run without
// it (every received payload is echoed). One process serves one group:
//   rtpagent_bench --benchmark_filter='FullDuplex|Codec'
//   rtpagent_bench --benchmark_filter='Echo|Pacing'
//   rtpagent_bench --benchmark_filter=Machine
BENCHMARK(BM_FullDuplexCall_PCMU)->Iterations(1)->UseManualTime()->Unit(benchmark::kSecond);
BENCHMARK(BM_FullDuplexCall_G729)->Iterations(1)->UseManualTime()->Unit(benchmark::kSecond);
BENCHMARK(BM_CodecFrame_PCMU);
BENCHMARK(BM_CodecFrame_G729);
BENCHMARK(BM_EchoTurnaround)->Iterations(1)->UseManualTime()->Unit(benchmark::kSecond);
BENCHMARK(BM_SendPacing)->Iterations(1)->UseManualTime()->Unit(benchmark::kSecond);
BENCHMARK(BM_MachineWakeLateness)->Iterations(1)->Unit(benchmark::kSecond);

BENCHMARK_MAIN();
