// The wave layer through PortAudio and the test audio devices: what is
// queued is played in order, completions come back, reset returns every
// pending buffer, capture fills buffers from the microphone file.
#include <gtest/gtest.h>
#include "freshprocess.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <unistd.h>
#include <vector>

#include "audiofixture.h"
#include "wavedev.h"

// The child has nothing to stop once the body's own objects are gone.
#define IN_FRESH_PROCESS(...) IN_FRESH_PROCESS_THEN((void)0, __VA_ARGS__)

namespace {

const WaveFormat kFmt{1, 8000, 16, 2, 16000};

struct Completions {
    std::mutex m;
    std::condition_variable cv;
    std::vector<WaveHdr*> done;
    int opens = 0, closes = 0;
    bool waitCount(size_t n, int ms)
    {
        std::unique_lock<std::mutex> g(m);
        return cv.wait_for(g, std::chrono::milliseconds(ms), [&] { return done.size() >= n; });
    }
};

void callback(void*, int msg, void* inst, WaveHdr* hdr)
{
    auto* c = static_cast<Completions*>(inst);
    std::lock_guard<std::mutex> g(c->m);
    if (msg == WOM_OPEN || msg == WIM_OPEN) c->opens++;
    else if (msg == WOM_CLOSE || msg == WIM_CLOSE) c->closes++;
    else c->done.push_back(hdr);
    c->cv.notify_all();
}

std::vector<int16_t> ramp(int n, int offset)
{
    std::vector<int16_t> v(n);
    for (int i = 0; i < n; ++i) v[i] = static_cast<int16_t>(1000 + ((i + offset) * 37) % 20000);
    return v;
}

class WaveDev : public ::testing::Test {
protected:
    void SetUp() override
    {
        std::string why;
        mic = ramp(8000, 5);
        ASSERT_TRUE(audio.start(mic, &why)) << why;
    }
    TestAudioDevices audio;
    std::vector<int16_t> mic;
};

}  // namespace

TEST_F(WaveDev, DevicesAreListedWithTheDefaultFirst)
{
    ASSERT_GE(waveOutGetNumDevs(), 1);
    ASSERT_GE(waveInGetNumDevs(), 1);
    char name[100];
    ASSERT_EQ(waveOutGetDevName(0, name, sizeof name), WAVE_OK);
    EXPECT_STREQ(name, "default");
    EXPECT_EQ(waveOutGetDevName(waveOutGetNumDevs(), name, sizeof name), WAVE_ERR_BADDEVICE);
    EXPECT_EQ(waveInGetDevName(-1, name, sizeof name), WAVE_ERR_BADDEVICE);
}

TEST_F(WaveDev, PlaysQueuedBuffersInOrderAndCompletesThem)
{
    Completions c;
    WaveOut* wo = nullptr;
    ASSERT_EQ(waveOutOpen(&wo, 99, &kFmt, callback, &c), WAVE_ERR_BADDEVICE);
    ASSERT_EQ(waveOutOpen(&wo, WAVE_MAPPER, &kFmt, callback, &c), WAVE_OK);
    auto sound = ramp(1600, 0);
    WaveHdr hdr[10]{};
    for (int i = 0; i < 10; ++i) {
        hdr[i].data = reinterpret_cast<uint8_t*>(&sound[i * 160]);
        hdr[i].bufferLength = 320;
        EXPECT_EQ(waveOutWrite(wo, &hdr[i]), WAVE_ERR_UNPREPARED);
        ASSERT_EQ(waveOutPrepareHeader(wo, &hdr[i]), WAVE_OK);
        ASSERT_EQ(waveOutWrite(wo, &hdr[i]), WAVE_OK);
    }
    EXPECT_EQ(waveOutUnprepareHeader(wo, &hdr[9]), WAVE_ERR_STILLPLAYING);
    ASSERT_TRUE(c.waitCount(10, 5000));
    for (int i = 0; i < 10; ++i) {
        EXPECT_EQ(c.done[i], &hdr[i]);
        EXPECT_TRUE(hdr[i].flags & WHDR_DONE);
        EXPECT_EQ(waveOutUnprepareHeader(wo, &hdr[i]), WAVE_OK);
    }
    ASSERT_TRUE(audio.waitPlayed(4000, 5000));
    EXPECT_GE(findSamples(audio.played(), sound, 0), 0);
    EXPECT_EQ(waveOutClose(wo), WAVE_OK);
    EXPECT_EQ(c.opens, 1);
    EXPECT_EQ(c.closes, 1);
}

TEST_F(WaveDev, ResetReturnsEveryPendingBufferAtOnce)
{
    Completions c;
    WaveOut* wo = nullptr;
    ASSERT_EQ(waveOutOpen(&wo, 0, &kFmt, callback, &c), WAVE_OK);
    std::vector<int16_t> sound(20 * 160, 100);
    WaveHdr hdr[20]{};
    for (int i = 0; i < 20; ++i) {
        hdr[i].data = reinterpret_cast<uint8_t*>(&sound[i * 160]);
        hdr[i].bufferLength = 320;
        waveOutPrepareHeader(wo, &hdr[i]);
        ASSERT_EQ(waveOutWrite(wo, &hdr[i]), WAVE_OK);
    }
    EXPECT_EQ(waveOutClose(wo), WAVE_ERR_STILLPLAYING);
    const auto t0 = std::chrono::steady_clock::now();
    ASSERT_EQ(waveOutReset(wo), WAVE_OK);
    // Twenty frames are 400 ms of sound; reset does not wait for them.
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(300));
    {
        std::lock_guard<std::mutex> g(c.m);
        EXPECT_EQ(c.done.size(), 20u);
    }
    for (auto& h : hdr) EXPECT_TRUE(h.flags & WHDR_DONE);
    // The device still plays after a reset.
    hdr[0].flags = WHDR_PREPARED;
    ASSERT_EQ(waveOutWrite(wo, &hdr[0]), WAVE_OK);
    ASSERT_TRUE(c.waitCount(21, 5000));
    EXPECT_EQ(waveOutClose(wo), WAVE_OK);
}

TEST_F(WaveDev, CaptureFillsBuffersFromTheMicrophone)
{
    Completions c;
    WaveIn* wi = nullptr;
    ASSERT_EQ(waveInOpen(&wi, WAVE_MAPPER, &kFmt, callback, &c), WAVE_OK);
    std::vector<std::vector<uint8_t>> bufs(10, std::vector<uint8_t>(640));
    WaveHdr hdr[10]{};
    for (int i = 0; i < 10; ++i) {
        hdr[i].data = bufs[i].data();
        hdr[i].bufferLength = 640;
        waveInPrepareHeader(wi, &hdr[i]);
        ASSERT_EQ(waveInAddBuffer(wi, &hdr[i]), WAVE_OK);
    }
    ASSERT_EQ(waveInStart(wi), WAVE_OK);
    ASSERT_TRUE(c.waitCount(10, 5000));
    std::vector<int16_t> got;
    for (int i = 0; i < 10; ++i) {
        ASSERT_EQ(c.done[i], &hdr[i]);
        ASSERT_EQ(hdr[i].bytesRecorded, 640u);
        auto* s = reinterpret_cast<int16_t*>(bufs[i].data());
        got.insert(got.end(), s, s + 320);
    }
    EXPECT_EQ(std::vector<int16_t>(mic.begin(), mic.begin() + 3200), got);
    // Nothing queued: capture drops frames instead of overwriting buffers.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(3);
    while (waveInDroppedFrames(wi) == 0 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_GT(waveInDroppedFrames(wi), 0u);
    EXPECT_EQ(waveInStop(wi), WAVE_OK);
    EXPECT_EQ(waveInReset(wi), WAVE_OK);
    EXPECT_EQ(waveInClose(wi), WAVE_OK);
}

TEST(WaveDevBackend, NoneHasNoDevices)
{
    IN_FRESH_PROCESS({
        setenv("QUILLON_AUDIO", "none", 1);
        EXPECT_EQ(waveOutGetNumDevs(), 0);
        EXPECT_EQ(waveInGetNumDevs(), 0);
        WaveOut* wo = nullptr;
        EXPECT_NE(waveOutOpen(&wo, WAVE_MAPPER, &kFmt, callback, nullptr), WAVE_OK);
        EXPECT_EQ(wo, nullptr);
    });
}

TEST(WaveDevBackend, OutputOnlyHasNoMicrophone)
{
    IN_FRESH_PROCESS({
        TestAudioDevices audio;
        std::string why;
        ASSERT_TRUE(audio.start({}, &why)) << why;
        setenv("QUILLON_AUDIO", "portaudio-output-only", 1);
        EXPECT_GE(waveOutGetNumDevs(), 1);
        EXPECT_EQ(waveInGetNumDevs(), 0);
    });
}

TEST_F(WaveDev, ResetKeepsWhatWasPlayedAndPlaysOn)
{
    Completions c;
    WaveOut* wo = nullptr;
    ASSERT_EQ(waveOutOpen(&wo, 0, &kFmt, callback, &c), WAVE_OK);
    auto first = ramp(1600, 3);
    WaveHdr hdr[11]{};
    for (int i = 0; i < 10; ++i) {
        hdr[i].data = reinterpret_cast<uint8_t*>(&first[i * 160]);
        hdr[i].bufferLength = 320;
        waveOutPrepareHeader(wo, &hdr[i]);
        ASSERT_EQ(waveOutWrite(wo, &hdr[i]), WAVE_OK);
    }
    ASSERT_TRUE(c.waitCount(10, 5000));
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (findSamples(audio.played(), first, 0) < 0 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ASSERT_GE(findSamples(audio.played(), first, 0), 0);
    ASSERT_EQ(waveOutReset(wo), WAVE_OK);
    auto second = ramp(160, 777);
    hdr[10].data = reinterpret_cast<uint8_t*>(second.data());
    hdr[10].bufferLength = 320;
    waveOutPrepareHeader(wo, &hdr[10]);
    ASSERT_EQ(waveOutWrite(wo, &hdr[10]), WAVE_OK);
    const auto deadline2 = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (findSamples(audio.played(), second, 0) < 0 && std::chrono::steady_clock::now() < deadline2)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    const auto played = audio.played();
    EXPECT_GE(findSamples(played, second, 0), 0);
    EXPECT_GE(findSamples(played, first, 0), 0);
    ASSERT_TRUE(c.waitCount(11, 5000));
    EXPECT_EQ(waveOutClose(wo), WAVE_OK);
}

TEST_F(WaveDev, PausedDeviceHoldsItsBuffersUntilRestart)
{
    Completions c;
    WaveOut* wo = nullptr;
    ASSERT_EQ(waveOutOpen(&wo, 0, &kFmt, callback, &c), WAVE_OK);
    EXPECT_TRUE(waveOutRunning(wo));
    ASSERT_EQ(waveOutPause(wo), WAVE_OK);
    EXPECT_FALSE(waveOutRunning(wo));
    auto sound = ramp(320, 7);
    WaveHdr hdr[2]{};
    for (int i = 0; i < 2; ++i) {
        hdr[i].data = reinterpret_cast<uint8_t*>(&sound[i * 160]);
        hdr[i].bufferLength = 320;
        waveOutPrepareHeader(wo, &hdr[i]);
        ASSERT_EQ(waveOutWrite(wo, &hdr[i]), WAVE_OK);
    }
    // A paused device plays nothing: the buffers stay queued.
    EXPECT_FALSE(c.waitCount(1, 300));
    // A reset returns them and leaves the device paused.
    ASSERT_EQ(waveOutReset(wo), WAVE_OK);
    EXPECT_FALSE(waveOutRunning(wo));
    ASSERT_TRUE(c.waitCount(2, 1000));
    // After restart it plays what is queued from then on.
    for (auto& h : hdr) {
        h.flags = WHDR_PREPARED;
        ASSERT_EQ(waveOutWrite(wo, &h), WAVE_OK);
    }
    ASSERT_EQ(waveOutRestart(wo), WAVE_OK);
    EXPECT_TRUE(waveOutRunning(wo));
    ASSERT_TRUE(c.waitCount(4, 5000));
    // The device writes on to the file for a while after the completions.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (findSamples(audio.played(), sound, 0) < 0 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_GE(findSamples(audio.played(), sound, 0), 0);
    EXPECT_EQ(waveOutClose(wo), WAVE_OK);
}
