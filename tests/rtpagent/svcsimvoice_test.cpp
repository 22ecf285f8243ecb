// The voice endpoint behind the service simulator's scripted VOIP_SETUP: it
// starts once, takes the set-up's payload type, and the set-up carries its
// address and port.
#include <gtest/gtest.h>

#include "svcsim.h"
#include "svcvoice.h"

TEST(SvcSimVoice, ScriptedVoipSetupStartsTheEndpointAndCarriesItsPort)
{
    SvcSimConfig cfg;
    SvcVoice voice;
    svcVoiceAttach(cfg, &voice);
    ASSERT_TRUE(cfg.onVoipSetup);
    CapxMsg m{};
    m.msgId = CAPX_VOIP_SETUP;
    std::snprintf(m.voipSetup.ipAddr, sizeof m.voipSetup.ipAddr, "%s", "10.1.2.3");
    m.voipSetup.portId = 4000;
    m.voipSetup.payloadType = 8;
    cfg.onVoipSetup(m);
    ASSERT_GT(voice.port(), 0);
    EXPECT_EQ(voice.port() % 2, 0);
    EXPECT_EQ(m.voipSetup.portId, voice.port());
    EXPECT_STREQ(m.voipSetup.ipAddr, "127.0.0.1");
    EXPECT_EQ(voice.payloadType(), 8);
    // A second set-up (next call) reuses the running endpoint.
    const int port = voice.port();
    m.voipSetup.payloadType = 0;
    cfg.onVoipSetup(m);
    EXPECT_EQ(voice.port(), port);
    EXPECT_EQ(voice.payloadType(), 0);
}

TEST(SvcSimVoice, WavFilesRoundTripAndOnlyEightKilohertzMonoIsTaken)
{
    char tmpl[] = "/tmp/svcvoiceXXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    const std::string path = std::string(tmpl) + "/a.wav";
    std::vector<int16_t> s(800);
    for (size_t i = 0; i < s.size(); ++i) s[i] = static_cast<int16_t>(i * 13);
    ASSERT_TRUE(svcVoiceWriteWav(path, s));
    std::vector<int16_t> back;
    std::string err;
    ASSERT_TRUE(svcVoiceReadWav(path, &back, &err)) << err;
    EXPECT_EQ(back, s);
    EXPECT_FALSE(svcVoiceReadWav(std::string(tmpl) + "/missing.wav", &back, &err));
    EXPECT_FALSE(err.empty());
}
