// A scripted call with the service simulator, end to end: the agent task
// takes BROADCAST, ASSIGN_COMPLETE and VOIP_SETUP from the simulator; the
// test does what the console does on VOIP_SETUP (allocate the RTP session,
// start playback, answer VOIP_SETUP_COMPLETE); the simulator's voice endpoint
// streams to the client and records what comes back, through oRTP, the
// codecs, PortAudio and the test audio devices.
#include <complex>
#include <cstring>

#include "audiofixture.h"
#include "capatest.h"
#include "playedvoice.h"
#include "rtpagent.h"
#include "svcvoice.h"
#include "voicecodec.h"
#include "winsnd.h"

using namespace capatest;

namespace {

std::vector<int16_t> distinctFrames(int frames)
{
    std::vector<int16_t> v(static_cast<size_t>(frames) * 160);
    for (size_t i = 0; i < v.size(); ++i) {
        const double t = static_cast<double>(i) / 8000.0;
        v[i] = static_cast<int16_t>(6000 * std::sin(2 * M_PI * 440 * t) + 3000 * std::sin(2 * M_PI * 97 * t * t));
    }
    return v;
}

class ScriptedCall : public AgentLink, public ::testing::WithParamInterface<int> {
protected:
    void SetUp() override
    {
        std::vector<int16_t> mic(20 * 8000);
        for (size_t i = 0; i < mic.size(); ++i) mic[i] = static_cast<int16_t>(7000 * std::sin(2 * M_PI * 1000 * i / 8000.0));
        std::string why;
        ASSERT_TRUE(audio_.start(mic, &why)) << why;
        AgentLink::SetUp();
        // The RTP task lives as long as the runtime: one per process, shared
        // by the cases when the program runs as a whole.
        static bool rtpStarted = false;
        if (!rtpStarted) {
            int err = 0;
            ASSERT_NE(rtpCreateTask(&err), 0) << err;
            rtpStarted = true;
        }
        ASSERT_TRUE(waitUntil([] { return rtpTaskReady(); }));
        ASSERT_EQ(winsnd_init(), 0);
    }
    void TearDown() override
    {
        rtpSapStop();
        waitUntil([] { return g_rtpAgent.sap[0].state.load() == RTP_S_INIT; }, 3000);
        winsnd_close();
        AgentLink::TearDown();
    }
    // Drains the mailbox until a message with id arrives.
    bool waitForMessage(int id, CapxMsg* out)
    {
        return waitUntil([&] {
            for (const auto& m : drainMailbox()) {
                if (m.msgId == id) {
                    *out = m;
                    return true;
                }
            }
            return false;
        });
    }
    // What the console does on VOIP_SETUP.
    int answerVoipSetup(const CapxMsg& m)
    {
        conContext().payloadType = m.voipSetup.payloadType;
        const int rc = rtpSapAlloc(1, m.voipSetup.payloadType, 3, m.voipSetup.ipAddr, m.voipSetup.portId);
        if (rc == 0) winsnd_start();
        capcTxVoipSetupComplete(rc == 0 ? 0 : 53);
        return rc;
    }
    SvcSimConfig script(const std::string& voipSetup)
    {
        SvcSimConfig cfg;
        std::string err;
        for (const std::string& line : {std::string("at 50 BROADCAST availCallCount1st=1 callIdx=9"),
                                       std::string("on ASSIGN_REQ +10 ASSIGN_COMPLETE cuPhoneNumber=\"5551234\" callIdx=9"),
                                       "on ASSIGN_REQ +40 " + voipSetup}) {
            SvcSimStep st;
            EXPECT_EQ(svcSimParseStep(line, &st, &err), 1) << err;
            cfg.script.push_back(st);
        }
        return cfg;
    }
    int setupCompleteResult()
    {
        for (const auto& f : sim_->frames())
            if (f.id == CAPX_VOIP_SETUP_COMPLETE) return f.msg.voipSetupComplete.result;
        return -1;
    }
    TestAudioDevices audio_;
};

}  // namespace

TEST_P(ScriptedCall, CarriesVoiceBothWays)
{
    const int pt = GetParam();
    SvcVoiceConfig vcfg;
    vcfg.audio = distinctFrames(100);
    SvcVoice voice(vcfg);
    SvcSimConfig cfg = script("VOIP_SETUP ipAddr=\"127.0.0.1\" portId=2 payloadType=" + std::to_string(pt));
    svcVoiceAttach(cfg, &voice);
    connect(cfg);
    login();
    ASSERT_EQ(capcTxAssignReq(), 0);
    CapxMsg setup{};
    ASSERT_TRUE(waitForMessage(CAPX_VOIP_SETUP, &setup));
    EXPECT_EQ(setup.voipSetup.portId, voice.port());
    ASSERT_EQ(answerVoipSetup(setup), 0);
    ASSERT_TRUE(sim_->waitForCount(CAPX_VOIP_SETUP_COMPLETE, 1, 5000));
    EXPECT_EQ(setupCompleteResult(), 0);

    // The caller's voice reaches the played file.
    ASSERT_TRUE(waitUntil([&] { return voice.streamingDone(); }, 10000));
    // Bit-exact frames in order; for G.729 allowing for packets that the
    // jitter buffer dropped when it shrank.
    const auto expected = playedvoice::pcmuRoundTrip(vcfg.audio);
    auto playedFrames = [&] {
        const auto played = audio_.played();
        return voiceIsPcmu(pt) ? playedvoice::framesInOrder(played, expected)
                               : playedvoice::g729FramesPlayed(played, vcfg.audio, nullptr);
    };
    EXPECT_TRUE(waitUntil([&] { return playedFrames() >= 90; }, 5000)) << playedFrames() << " frames played";

    // The agent's microphone (1 kHz) reaches the simulator.
    const auto pkts = voice.packets();
    ASSERT_GE(pkts.size(), 60u);
    for (const auto& p : pkts) {
        EXPECT_EQ(p.ssrc, 520u);
        EXPECT_EQ(p.payloadType, pt);
        EXPECT_EQ(p.payload.size(), pt == 0 ? 160u : 20u);
    }
    const auto got = voice.decoded();
    const size_t from = 2400, n = got.size() - from;
    std::vector<int16_t> tail(got.begin() + static_cast<long>(from), got.end());
    auto power = [&](double hz) {
        std::complex<double> acc = 0;
        for (size_t i = 0; i < n; ++i) acc += double(tail[i]) * std::polar(1.0, -2 * M_PI * hz * double(i) / 8000.0);
        return std::norm(acc);
    };
    EXPECT_GT(power(1000), 50 * power(700));

    // Release: the session ends and the SAP is free for the next call.
    rtpSapStop();
    winsnd_stop();
    EXPECT_EQ(capcTxReleaseComplete(), 0);
    EXPECT_TRUE(waitUntil([] { return g_rtpAgent.sap[0].state.load() == RTP_S_INIT; }, 3000));
}

INSTANTIATE_TEST_SUITE_P(Codecs, ScriptedCall, ::testing::Values(0, 18),
                         [](const auto& info) { return info.param == 0 ? "PCMU" : "G729"; });

TEST_F(ScriptedCall, VoipSetupWithABadAddressIsAnsweredWith53)
{
    connect(script("VOIP_SETUP ipAddr=\"voice.example\" portId=4000 payloadType=0"));
    login();
    ASSERT_EQ(capcTxAssignReq(), 0);
    CapxMsg setup{};
    ASSERT_TRUE(waitForMessage(CAPX_VOIP_SETUP, &setup));
    EXPECT_EQ(answerVoipSetup(setup), -1);
    ASSERT_TRUE(sim_->waitForCount(CAPX_VOIP_SETUP_COMPLETE, 1, 5000));
    EXPECT_EQ(setupCompleteResult(), 53);
    EXPECT_EQ(g_rtpAgent.sap[0].state.load(), RTP_S_INIT);
}
