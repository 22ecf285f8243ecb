// The voice endpoint behind the service simulator's scripted VOIP_SETUP: it
// starts once, takes the set-up's payload type, and the set-up carries its
// address and port; the faults it can put on its stream.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <set>

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

namespace {

// A plain UDP socket on loopback that plays the client: its first packet
// tells the endpoint where to stream.
struct FakeClient {
    int fd = -1;
    FakeClient()
    {
        fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    }
    ~FakeClient() { close(fd); }
    void hello(int port)
    {
        const uint8_t pkt[12 + 160] = {0x80, 0x00};
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        to.sin_port = htons(static_cast<uint16_t>(port));
        sendto(fd, pkt, sizeof pkt, 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
    }
    // Packets until none came for quietMs.
    std::vector<SvcVoicePacket> receive(int quietMs)
    {
        std::vector<SvcVoicePacket> out;
        for (;;) {
            pollfd p{fd, POLLIN, 0};
            if (poll(&p, 1, quietMs) <= 0) return out;
            uint8_t buf[2048];
            const ssize_t n = recv(fd, buf, sizeof buf, 0);
            SvcVoicePacket pkt;
            if (n > 0 && svcVoiceParseRtp(buf, static_cast<int>(n), &pkt)) out.push_back(pkt);
        }
    }
};

}  // namespace

// The stream's faults are what its figures say, seen from the receiving
// end: missing sequence numbers are the losses, repeated ones the
// duplicates, numbers that go back the reorders; the timestamps jump at the
// given point; the stream stops early.
TEST(SvcSimVoice, ImpairedStreamDoesWhatItsFiguresSay)
{
    SvcVoiceConfig cfg;
    cfg.audio = std::vector<int16_t>(100 * 160, 1000);   // 2 s
    cfg.impair.lossPct = 20;
    cfg.impair.reorderPct = 10;
    cfg.impair.dupPct = 10;
    cfg.impair.tsJumpAtMs = 600;
    cfg.impair.tsJumpMs = 8000;
    cfg.impair.stopAfterMs = 1500;
    cfg.impair.seed = 3;
    cfg.impair.calls = 1;
    SvcVoice voice(cfg);
    const int port = voice.start();
    ASSERT_GT(port, 0);
    FakeClient client;
    client.hello(port);
    const auto pkts = client.receive(500);
    ASSERT_TRUE(voice.streamingDone());
    const SvcVoiceStreamStats st = voice.streamStats();
    EXPECT_TRUE(st.impaired);
    EXPECT_EQ(st.frames, 75);                 // 1.5 s of 20 ms frames
    EXPECT_EQ(st.stoppedAtMs, 1500);
    EXPECT_EQ(st.jumpedAtMs, 600);
    EXPECT_EQ(static_cast<int>(pkts.size()), st.packets);
    EXPECT_EQ(st.packets, st.frames - st.lost + st.duplicated);
    EXPECT_GT(st.lost, 5);
    EXPECT_GT(st.reordered, 0);
    EXPECT_GT(st.duplicated, 0);

    std::set<uint16_t> seen;
    int dups = 0, back = 0;
    const uint16_t first = pkts.front().seq;
    uint16_t highest = first;
    for (size_t i = 0; i < pkts.size(); ++i) {
        const auto& p = pkts[i];
        if (!seen.insert(p.seq).second) ++dups;
        if (i > 0 && static_cast<int16_t>(p.seq - highest) < 0 && p.seq != pkts[i - 1].seq) ++back;
        if (static_cast<int16_t>(p.seq - highest) > 0) highest = p.seq;
        // Sequence number k carries timestamp 160 k, plus the jump from 600 ms on.
        const uint16_t k = static_cast<uint16_t>(p.seq - first);
        EXPECT_EQ(p.timestamp, 160u * k + (k >= 30 ? 64000u : 0u)) << "seq " << k;
    }
    EXPECT_EQ(dups, st.duplicated);
    EXPECT_EQ(back, st.reordered);
    EXPECT_EQ(static_cast<int>(highest - first) + 1 - static_cast<int>(seen.size()), st.lost);

    // Only the first call's stream is impaired.
    voice.newCall();
    client.hello(port);
    const auto clean = client.receive(500);
    EXPECT_FALSE(voice.streamStats().impaired);
    EXPECT_EQ(clean.size(), 100u);
}
