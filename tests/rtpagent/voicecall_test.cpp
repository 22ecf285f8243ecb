// Calls through the whole voice path: oRTP, bcg729, PortAudio and the test
// audio devices (what the client plays and what its microphone hears are
// files), with the simulator's voice endpoint as the far end.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

#include "audiofixture.h"
#include "freshprocess.h"
#include "rtportp.h"
#include "wavedev.h"
#include "playedvoice.h"
#include "rtptest_util.h"
#include "svcvoice.h"
#include "voicecodec.h"
#include "winsnd.h"

using namespace rtptest;
using namespace playedvoice;

// The child stops what it started (the session, the sound layer, the test
// audio devices) so that no audio server outlives it.
#define IN_FRESH_PROCESS(...) IN_FRESH_PROCESS_THEN((TearDown(), audio.stop()), __VA_ARGS__)

namespace {

class VoiceCall : public VoiceRuntime {
protected:
    void TearDown() override
    {
        rtpSapStop();
        waitSapIdle(3000);
        winsnd_close();
    }
    void startAudio(const std::vector<int16_t>& mic)
    {
        std::string why;
        ASSERT_TRUE(audio.start(mic, &why)) << why;
        ASSERT_EQ(winsnd_init(), 0);
    }
    // Received payloads that are not the silence sent at playback start.
    static std::vector<SvcVoicePacket> voicePackets(const std::vector<SvcVoicePacket>& all, int pt)
    {
        uint8_t silence[160];
        std::memset(silence, 0xFF, sizeof silence);
        static const uint8_t g729Silence[20] = {0x78, 0x52, 0x80, 0xA0, 0x00, 0xFA, 0xD1, 0x00, 0x00, 0x56,
                                                0x78, 0x3A, 0x45, 0x60, 0x00, 0x1A, 0xDE, 0x12, 0x48, 0x56};
        std::vector<SvcVoicePacket> out;
        for (const auto& p : all) {
            const bool quiet = pt == 0 ? p.payload.size() == 160 && !std::memcmp(p.payload.data(), silence, 160)
                                       : p.payload.size() == 20 && !std::memcmp(p.payload.data(), g729Silence, 20);
            if (!quiet) out.push_back(p);
        }
        return out;
    }
    static void checkHeaders(const std::vector<SvcVoicePacket>& pkts, int pt, size_t payloadBytes)
    {
        for (size_t i = 0; i < pkts.size(); ++i) {
            EXPECT_EQ(pkts[i].ssrc, 520u);
            EXPECT_EQ(pkts[i].payloadType, pt);
            EXPECT_EQ(pkts[i].payload.size(), payloadBytes);
            if (i > 0) {
                EXPECT_EQ(pkts[i].timestamp - pkts[i - 1].timestamp, 160u) << i;
            }
        }
    }
    TestAudioDevices audio;
};

std::vector<int16_t> constantFrame(uint8_t code)
{
    return std::vector<int16_t>(160, g711MulawDecode(code));
}

}  // namespace

TEST_F(VoiceCall, PcmuCarriesVoiceBothWays)
{
    const auto mic = markedAudio(1000);          // 20 s of microphone
    startAudio(mic);
    EXPECT_EQ(g_winSnd.hasOut.load(), 1);
    EXPECT_EQ(g_winSnd.hasIn.load(), 1);
    EXPECT_STREQ(winsnd_output_name(), "default");
    conContext().payloadType = 0;

    SvcVoiceConfig cfg;
    cfg.payloadType = 0;
    cfg.audio = markedAudio(150);
    for (auto& s : cfg.audio) s = static_cast<int16_t>(s / 2);
    SvcVoice far(cfg);
    const int port = far.start();
    ASSERT_GT(port, 0);
    ASSERT_EQ(rtpSapAlloc(1, 0, 3, "127.0.0.1", static_cast<uint16_t>(port)), 0);
    ASSERT_EQ(winsnd_start(), 0);
    ASSERT_TRUE(waitUntil([&] { return far.streamingDone(); }, 10000));

    // Played: the sent audio, after at least the 100 ms lead-in of silence.
    const auto expected = pcmuRoundTrip(cfg.audio);
    const std::vector<int16_t> last(expected.end() - 160, expected.end());
    ASSERT_TRUE(waitUntil([&] { return findSamples(audio.played(), last, 0) >= 0; }, 5000));
    const auto played = audio.played();
    long first = -1;
    EXPECT_GE(framesInOrder(played, expected, &first), 145);
    ASSERT_GE(first, 800);
    for (long i = first - 800; i < first; ++i) ASSERT_EQ(played[static_cast<size_t>(i)], 0) << i;

    // Microphone: captured, encoded and received in order, contiguous.
    const auto pkts = far.packets();
    checkHeaders(pkts, 0, 160);
    const auto voice = voicePackets(pkts, 0);
    ASSERT_GE(voice.size(), 50u);
    std::vector<int16_t> got;
    for (size_t i = 0; i < 50; ++i) {
        int16_t f[160];
        voiceDecodePayload(0, nullptr, voice[i].payload.data(), 160, f);
        got.insert(got.end(), f, f + 160);
    }
    EXPECT_GE(findSamples(pcmuRoundTrip(mic), got, 0), 0);

    EXPECT_EQ(log.count("RTP:0] Traffic Rx Started(PCMU.0:0)\n"), 1);
    EXPECT_EQ(conContext().TxLoopCnt.load(), 0);
    EXPECT_GE(conContext().RxCnt.load(), 145);
    EXPECT_GE(conContext().ProcCnt.load(), 145);
}

TEST_F(VoiceCall, G729CarriesVoiceBothWaysWithTheSetUpPayloadType)
{
    const auto mic = tone(1000, 20 * 8000);
    startAudio(mic);
    conContext().payloadType = 8;

    SvcVoiceConfig cfg;
    cfg.payloadType = 8;
    cfg.audio = markedAudio(150);
    SvcVoice far(cfg);
    const int port = far.start();
    ASSERT_GT(port, 0);
    ASSERT_EQ(rtpSapAlloc(1, 8, 3, "127.0.0.1", static_cast<uint16_t>(port)), 0);
    EXPECT_STREQ(sap().mime, "G729");
    ASSERT_EQ(winsnd_start(), 0);
    ASSERT_TRUE(waitUntil([&] { return far.streamingDone(); }, 10000));

    // Bit-exact frames in order, allowing for packets the jitter buffer
    // dropped when it shrank.
    waitUntil([&] { return g729FramesPlayed(audio.played(), cfg.audio, nullptr) >= 150; }, 3000);
    std::vector<size_t> skipped;
    const int found = g729FramesPlayed(audio.played(), cfg.audio, &skipped);
    EXPECT_GE(found, 135) << "rx " << conContext().RxCnt.load() << ", packets dropped " << skipped.size();
    EXPECT_LE(skipped.size(), 3u);
    EXPECT_GE(conContext().RxCnt.load(), 145);

    const auto pkts = far.packets();
    checkHeaders(pkts, 8, 20);
    const auto voice = voicePackets(pkts, 8);
    ASSERT_GE(voice.size(), 50u);
    G729Decoder* dec = g729DecoderCreate();
    std::vector<int16_t> got;
    for (const auto& p : voice) {
        int16_t f[160];
        voiceDecodePayload(8, dec, p.payload.data(), 20, f);
        got.insert(got.end(), f, f + 160);
    }
    g729DecoderDestroy(dec);
    const size_t from = 1600, n = got.size() - from;
    const double p1k = power(got, from, n, 1000);
    EXPECT_GT(p1k, 50 * power(got, from, n, 500));
    EXPECT_GT(p1k, 50 * power(got, from, n, 2000));
    EXPECT_EQ(log.count("RTP:0] Traffic Rx Started(G729.8:0)\n"), 1);
}

TEST_F(VoiceCall, NothingCapturedBeforeStartReachesTheCall)
{
    // One second of 500 Hz, then 1 kHz. The microphone is not recorded
    // before the call, so the call hears it from its beginning: the 500 Hz
    // first, then the 1 kHz, and nothing older.
    auto mic = tone(500, 8000);
    const auto later = tone(1000, 15 * 8000);
    mic.insert(mic.end(), later.begin(), later.end());
    startAudio(mic);
    conContext().payloadType = 0;
    WinSndDevice* in = winsnd_input_device();
    ASSERT_NE(in, nullptr);
    EXPECT_FALSE(waveInRunning(in->inHandle));
    EXPECT_FALSE(waitUntil([&] { return winsnd_queue_count(&in->captureQueue) > 0; }, 1000));

    SvcVoiceConfig cfg;
    cfg.audio = tone(300, 100 * 160);
    SvcVoice far(cfg);
    const int port = far.start();
    ASSERT_GT(port, 0);
    ASSERT_EQ(rtpSapAlloc(1, 0, 3, "127.0.0.1", static_cast<uint16_t>(port)), 0);
    ASSERT_EQ(winsnd_start(), 0);
    EXPECT_TRUE(waveInRunning(in->inHandle));
    ASSERT_TRUE(waitUntil([&] { return voicePackets(far.packets(), 0).size() >= 80; }, 5000));
    const auto voice = voicePackets(far.packets(), 0);
    auto dominant = [&](size_t i) {
        std::vector<int16_t> f(160);
        voiceDecodePayload(0, nullptr, voice[i].payload.data(), 160, f.data());
        return power(f, 0, 160, 1000) > power(f, 0, 160, 500) ? 1000 : 500;
    };
    for (size_t i = 0; i < 10; ++i) EXPECT_EQ(dominant(i), 500) << "payload " << i;
    for (size_t i = 60; i < 80; ++i) EXPECT_EQ(dominant(i), 1000) << "payload " << i;
}

// Between calls nothing runs: both devices are halted, the RTP library's
// scheduler sleeps, and a late wake-up of the audio thread encodes and
// sends nothing. Each call starts them again, also one that follows right
// after another, and carries voice both ways.
TEST_F(VoiceCall, DevicesAndSchedulerSleepBetweenCalls)
{
    startAudio(tone(1000, 30 * 8000));
    conContext().payloadType = 0;
    WinSndDevice* out = winsnd_output_device();
    WinSndDevice* in = winsnd_input_device();
    ASSERT_NE(out, nullptr);
    ASSERT_NE(in, nullptr);
    auto halted = [&] {
        return !waveOutRunning(out->outHandle) && !waveInRunning(in->inHandle) && !rtpOrtpSchedulerRunning();
    };
    EXPECT_TRUE(halted());

    SvcVoiceConfig cfg;
    cfg.audio = tone(400, 40 * 160);
    SvcVoice far(cfg);
    const int port = far.start();
    ASSERT_GT(port, 0);
    for (int call = 1; call <= 2; ++call) {
        SCOPED_TRACE(call);
        far.newCall();
        far.clearRecording();
        const int rx = conContext().RxCnt.load();
        const int proc = conContext().ProcCnt.load();
        ASSERT_EQ(rtpSapAlloc(1, 0, 3, "127.0.0.1", static_cast<uint16_t>(port)), 0);
        EXPECT_TRUE(rtpOrtpSchedulerRunning());
        ASSERT_EQ(winsnd_start(), 0);
        EXPECT_TRUE(waveOutRunning(out->outHandle));
        EXPECT_TRUE(waveInRunning(in->inHandle));
        // The microphone reaches the far end; its stream is received and played.
        ASSERT_TRUE(waitUntil([&] { return voicePackets(far.packets(), 0).size() >= 20; }, 5000));
        ASSERT_TRUE(waitUntil([&] { return far.streamingDone(); }, 5000));
        ASSERT_TRUE(waitUntil([&] { return conContext().ProcCnt.load() >= proc + 30; }, 3000))
            << "received " << conContext().RxCnt.load() - rx;
        rtpSapStop();
        ASSERT_TRUE(waitSapIdle(3000));
        winsnd_stop();
        EXPECT_TRUE(halted());
        EXPECT_EQ(winsnd_queue_count(&in->captureQueue), 0);
    }
    // A captured block still on its way and a wake-up after the end: the
    // audio thread leaves both alone.
    const int tx = conContext().TxCnt.load();
    WinSndBlock* late = winsnd_allocb(WINSND_IN_BYTES);
    ASSERT_NE(late, nullptr);
    late->wptr = late->end;
    winsnd_queue_put(&in->captureQueue, late);
    {
        std::lock_guard<std::mutex> g(out->wakeEvent.lock);
        out->wakeEvent.signalled = true;
    }
    out->wakeEvent.cv.notify_one();
    EXPECT_FALSE(waitUntil([&] { return conContext().TxCnt.load() != tx; }, 500));
    EXPECT_EQ(winsnd_queue_count(&in->captureQueue), 1);
    EXPECT_TRUE(halted());
}

// The microphone paces what the client sends: when the far end stops
// streaming in the middle of a call, the captured voice still goes out every
// 20 ms instead of waiting for the next received frame.
TEST_F(VoiceCall, MicrophoneKeepsItsPaceWhenTheFarEndStops)
{
    startAudio(tone(1000, 20 * 8000));
    conContext().payloadType = 0;
    SvcVoiceConfig cfg;
    cfg.audio = tone(400, 25 * 160);   // half a second, then nothing
    SvcVoice far(cfg);
    const int port = far.start();
    ASSERT_GT(port, 0);
    ASSERT_EQ(rtpSapAlloc(1, 0, 3, "127.0.0.1", static_cast<uint16_t>(port)), 0);
    ASSERT_EQ(winsnd_start(), 0);
    ASSERT_TRUE(waitUntil([&] { return far.streamingDone(); }, 5000));
    const auto stopped = far.sentTimes().back();
    auto after = [&] {
        std::vector<std::chrono::steady_clock::time_point> at;
        for (const auto& p : far.packets())
            if (p.at > stopped) at.push_back(p.at);
        return at;
    };
    // One and a half seconds after the far end's last packet.
    ASSERT_TRUE(waitUntil([&] {
        const auto at = after();
        return !at.empty() && at.back() - stopped >= std::chrono::milliseconds(1500);
    }, 4000)) << after().size() << " packets after the far end stopped";
    const auto at = after();
    EXPECT_GE(at.size(), 60u);
    std::chrono::steady_clock::duration widest{};
    for (size_t i = 1; i < at.size(); ++i) widest = std::max(widest, at[i] - at[i - 1]);
    EXPECT_LE(widest, std::chrono::milliseconds(150));
}

TEST_F(VoiceCall, DoubleStartSendsSilenceOnceAndStopWithoutStartChangesNothing)
{
    IN_FRESH_PROCESS({
        // Without a microphone, so that only the silence frames count as sent.
        setenv("QUILLON_AUDIO", "portaudio-output-only", 1);
        startAudio({});
        WinSndDevice* out = winsnd_output_device();
        ASSERT_NE(out, nullptr);
        winsnd_stop();
        EXPECT_EQ(out->InserviceFlag.load(), 0);
        EXPECT_EQ(conContext().TxCnt.load(), 0);
        ASSERT_EQ(winsnd_start(), 0);
        ASSERT_EQ(winsnd_start(), 0);
        EXPECT_EQ(conContext().TxCnt.load(), WINSND_SILENCE_FRAMES);
        EXPECT_EQ(out->InserviceFlag.load(), 1);
        winsnd_stop();
        EXPECT_EQ(out->InserviceFlag.load(), 0);
        winsnd_close();
        EXPECT_EQ(winsnd_start(), -1);
    });
}

TEST_F(VoiceCall, OverrunRestartsPlaybackAndDrains)
{
    startAudio({});
    conContext().payloadType = 0;
    ASSERT_EQ(winsnd_start(), 0);
    WinSndDevice* out = winsnd_output_device();
    uint8_t payload[160];
    auto queueFrame = [&](int i) {
        std::memset(payload, 0x80 + i, sizeof payload);
        return winsnd_queue_voice(0, payload, 160);
    };
    // Waits until the audio thread is between passes.
    auto passDone = [&] {
        std::lock_guard<std::mutex> g(g_winSnd.processLock);
        return winsnd_queue_count(&g_winSnd.playbackQueue) == 0;
    };
    // Thirty distinct frames at once: the lead-in and the frames fill the
    // twenty headers faster than the device returns them; the reset returns
    // what was still pending and the rest plays after a new lead-in.
    for (int i = 0; i < 30; ++i) ASSERT_EQ(queueFrame(i), 1);
    ASSERT_TRUE(winsnd_wake());
    ASSERT_TRUE(waitUntil([&] { return out->overrun.load() == 1 && passDone(); }, 3000));
    // Draining: a frame that comes while written headers still play is dropped.
    ASSERT_GT(out->nbufs_playing.load(), 0);
    queueFrame(50);
    winsnd_wake();
    ASSERT_TRUE(waitUntil(passDone, 3000));
    EXPECT_EQ(out->overrun.load(), 1);
    ASSERT_TRUE(waitUntil([&] { return out->nbufs_playing.load() == 0; }, 5000));
    // Drained: the next frame plays again.
    queueFrame(51);
    winsnd_wake();
    ASSERT_TRUE(waitUntil([&] { return findSamples(audio.played(), constantFrame(0x80 + 51), 0) >= 0; }, 5000));
    EXPECT_EQ(out->overrun.load(), 0);
    const auto played = audio.played();
    EXPECT_LT(findSamples(played, constantFrame(0x80 + 50), 0), 0);
    // The overrunning frame was dropped, and playback restarted with the
    // frames queued after it.
    int firstDropped = -1, lastPlayed = -1;
    for (int i = 0; i < 30; ++i) {
        const bool here = findSamples(played, constantFrame(0x80 + i), 0) >= 0;
        if (!here && firstDropped < 0) firstDropped = i;
        if (here) lastPlayed = i;
    }
    EXPECT_GE(firstDropped, 0);
    EXPECT_LT(firstDropped, 20);
    EXPECT_EQ(lastPlayed, 29);
}

TEST_F(VoiceCall, ShortPayloadPlaysWithSilenceNotStaleBytes)
{
    startAudio({});
    conContext().payloadType = 0;
    ASSERT_EQ(winsnd_start(), 0);
    uint8_t buf[160];
    std::memset(buf, 0x90, 80);
    std::memset(buf + 80, 0x85, 80);   // what an earlier payload left behind
    ASSERT_EQ(onRtpVoiceData(buf, 80), 0);
    std::vector<int16_t> expect(160, 0);
    for (int i = 0; i < 80; ++i) expect[static_cast<size_t>(i)] = g711MulawDecode(0x90);
    ASSERT_TRUE(waitUntil([&] { return findSamples(audio.played(), expect, 0) >= 0; }, 5000));
    EXPECT_LT(findSamples(audio.played(), std::vector<int16_t>(20, g711MulawDecode(0x85)), 0), 0);
    EXPECT_EQ(g_winSnd.hasIn.load(), 1);
    EXPECT_EQ(conContext().TxLoopCnt.load(), 0);
}

TEST_F(VoiceCall, OutputWithoutMicrophoneStillInitialises)
{
    IN_FRESH_PROCESS({
        setenv("QUILLON_AUDIO", "portaudio-output-only", 1);
        startAudio({});
        EXPECT_EQ(g_winSnd.hasOut.load(), 1);
        EXPECT_EQ(g_winSnd.hasIn.load(), 0);
        EXPECT_EQ(winsnd_input_device(), nullptr);
    });
}

TEST_F(VoiceCall, NoDeviceAtAllFailsInitialisation)
{
    IN_FRESH_PROCESS({
        setenv("QUILLON_AUDIO", "none", 1);
        const int live = g729LiveCount();
        EXPECT_EQ(winsnd_init(), -1);
        EXPECT_EQ(winsnd_start(), -1);
        // A failed initialisation keeps no codec objects, however often it is tried.
        EXPECT_EQ(winsnd_init(), -1);
        EXPECT_EQ(g729LiveCount(), live);
    });
}
