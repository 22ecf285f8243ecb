// The agent task against the service simulator over real TCP on loopback:
// login and link key, keep-alive answers, the wrong-state rule, the link
// probe, frame reassembly and the length limits, failed connects, discard
// hooks, ACK-loss warning, mailbox hand-off and concurrent senders.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <set>
#include <thread>

#include "capatest.h"

using namespace capatest;

namespace {

std::vector<uint8_t> frameBytes(const std::vector<uint8_t>& body)
{
    std::vector<uint8_t> f(body.size() + 2);
    f[0] = static_cast<uint8_t>(body.size() >> 8);
    f[1] = static_cast<uint8_t>(body.size());
    std::copy(body.begin(), body.end(), f.begin() + 2);
    return f;
}

std::vector<uint8_t> dataAckFrame(uint8_t seq, uint8_t result) { return frameBytes({CAPX_DATA_ACK, seq, result}); }

CapxMsg keepAlive(uint32_t sec, uint32_t usec, uint16_t count, uint8_t caState, uint8_t dnp)
{
    CapxMsg m;
    zero(m);
    m.msgId = CAPX_KEEP_ALIVE;
    m.keepAlive.svrTxStampSec = sec;
    m.keepAlive.svrTxStampUsec = usec;
    m.keepAlive.curCaCount = count;
    m.keepAlive.caState = caState;
    m.keepAlive.doNotPause = dnp;
    return m;
}

}  // namespace

TEST_F(AgentLink, LoginWithKeyAndKeepAliveInTheSameSegment)
{
    SvcSimConfig cfg;
    cfg.linkKey = 0x5B;
    cfg.keepAliveWithLoginAck = true;
    cfg.kaCurCaCount = 12;
    cfg.kaDoNotPause = 1;
    cfg.loginMsg = "welcome";
    connect(cfg);
    login();
    // The KEEP_ALIVE behind the LOGIN_ACK was unscrambled with the new key:
    // its answer echoes the right values and is itself scrambled.
    ASSERT_TRUE(sim_->waitForCount(CAPX_KEEP_ALIVE_ACK, 1, 5000));
    auto frames = sim_->frames();
    const SvcSimFrame* ack = nullptr;
    for (auto& f : frames)
        if (f.id == CAPX_KEEP_ALIVE_ACK) ack = &f;
    ASSERT_NE(ack, nullptr);
    EXPECT_NE(ack->wire, ack->frame);  // scrambled on the wire
    EXPECT_EQ(g_capcInfo.link.linkKey.load(), 0x5B);
    ASSERT_TRUE(waitUntil([] { return g_rec.countPosted(WM_CAPC_CA_COUNT) == 1; }));
    EXPECT_EQ(g_rec.postedOf(WM_CAPC_CA_COUNT)[0].wparam, 12u);
    ASSERT_TRUE(waitUntil([] { return g_rec.countPosted(WM_CAPC_DO_NOT_PAUSE) == 1; }));
    EXPECT_EQ(g_rec.postedOf(WM_CAPC_DO_NOT_PAUSE)[0].wparam, 1u);
    const auto got = drainMailbox();
    ASSERT_EQ(got.size(), 1u);  // the LOGIN_ACK; never the KEEP_ALIVE
    EXPECT_EQ(got[0].msgId, CAPX_LOGIN_ACK);
    EXPECT_STREQ(got[0].loginAck.msg, "welcome");
    // LOGIN went out unscrambled, with the version bytes.
    ASSERT_GE(sim_->count(CAPX_LOGIN), 1);
    for (auto& f : frames)
        if (f.id == CAPX_LOGIN) {
            EXPECT_EQ(f.wire, f.frame);
            EXPECT_EQ(f.msg.login.versionLen, 3);
            EXPECT_EQ(f.msg.login.version[1], 8);
            EXPECT_EQ(std::string(f.msg.login.reqPhoneNumber), "");
        }
}

TEST_F(AgentLink, EachKeepAliveGivesOneAckAndTwoNotifications)
{
    SvcSimConfig cfg;
    cfg.linkKey = 3;
    connect(cfg);
    login();
    drainMailbox();
    capcSetCaState(4);
    for (uint32_t i = 0; i < 5; ++i) ASSERT_EQ(sim_->send(keepAlive(1000 + i, 777000 + i, 3, 4, 0)), 0);
    ASSERT_TRUE(sim_->waitForCount(CAPX_KEEP_ALIVE_ACK, 5, 5000));
    usleep(200 * 1000);
    EXPECT_EQ(sim_->count(CAPX_KEEP_ALIVE_ACK), 5);
    EXPECT_EQ(g_rec.countPosted(WM_CAPC_CA_COUNT), 5);
    EXPECT_EQ(g_rec.countPosted(WM_CAPC_DO_NOT_PAUSE), 5);
    EXPECT_TRUE(drainMailbox().empty());
    uint32_t expectSec = 1000;
    for (auto& f : sim_->frames()) {
        if (f.id != CAPX_KEEP_ALIVE_ACK) continue;
        const CapxKeepAliveAck& a = f.msg.keepAliveAck;
        EXPECT_EQ(a.svrTxStampSec, expectSec);
        EXPECT_EQ(a.svrTxStampUsec, 777000 + (expectSec - 1000));
        ++expectSec;
        EXPECT_EQ(a.cliRxStampSec, a.cliTxStampSec);
        EXPECT_EQ(a.cliRxStampUsec, a.cliTxStampUsec);
        EXPECT_LT(a.cliRxStampUsec, 1000u);  // milliseconds
        EXPECT_EQ(a.caState, 4);
    }
}

TEST_F(AgentLink, KeepAliveAckCarriesMillisecondsOfOneReading)
{
    capcSetClock([](uint32_t* sec, uint32_t* usec) {
        *sec = 1700049600;  // 12:00:00 UTC
        *usec = 250999;
    });
    connect();
    ASSERT_EQ(sim_->send(keepAlive(1, 2, 0, 0, 0)), 0);
    ASSERT_TRUE(sim_->waitForCount(CAPX_KEEP_ALIVE_ACK, 1, 5000));
    for (auto& f : sim_->frames()) {
        if (f.id == CAPX_KEEP_ALIVE_ACK) {
            EXPECT_EQ(f.msg.keepAliveAck.cliRxStampSec, 1700049600u);
            EXPECT_EQ(f.msg.keepAliveAck.cliTxStampSec, 1700049600u);
            EXPECT_EQ(f.msg.keepAliveAck.cliRxStampUsec, 250u);
            EXPECT_EQ(f.msg.keepAliveAck.cliTxStampUsec, 250u);
        }
    }
}

TEST_F(AgentLink, WrongStateRuleFiresOnFourthAndFifth)
{
    connect();
    capcSetCaState(4);
    auto sendKa = [&](uint8_t state, int expectAcks) {
        ASSERT_EQ(sim_->send(keepAlive(1, 1, 0, state, 0)), 0);
        ASSERT_TRUE(sim_->waitForCount(CAPX_KEEP_ALIVE_ACK, expectAcks, 5000));
        ASSERT_TRUE(waitUntil([&] { return g_rec.countPosted(WM_CAPC_CA_COUNT) == expectAcks; }));
    };
    for (int i = 1; i <= 3; ++i) sendKa(0, i);
    EXPECT_EQ(g_rec.countPosted(WM_CAPC_WRONG_CA_STATE), 0);
    sendKa(0, 4);
    ASSERT_TRUE(waitUntil([] { return g_rec.countPosted(WM_CAPC_WRONG_CA_STATE) == 1; }));
    EXPECT_EQ(g_rec.postedOf(WM_CAPC_WRONG_CA_STATE)[0].wparam, 0u);
    EXPECT_TRUE(waitUntil([] { return g_rec.hasLog("Rx Wrong CA State : 0 - 4\n"); }));
    sendKa(0, 5);
    ASSERT_TRUE(waitUntil([] { return g_rec.countPosted(WM_CAPC_WRONG_CA_STATE) == 2; }));
    // A KEEP_ALIVE with a state other than 0 resets the count.
    sendKa(2, 6);
    for (int i = 7; i <= 9; ++i) sendKa(0, i);
    EXPECT_EQ(g_rec.countPosted(WM_CAPC_WRONG_CA_STATE), 2);
    // So does one with state 0 while the CA state is 0.
    capcSetCaState(0);
    sendKa(0, 10);
    capcSetCaState(4);
    for (int i = 11; i <= 13; ++i) sendKa(0, i);
    EXPECT_EQ(g_rec.countPosted(WM_CAPC_WRONG_CA_STATE), 2);
}

TEST_F(AgentLink, ProbeOncePerQuietSecondUnscrambled)
{
    SvcSimConfig cfg;
    cfg.linkKey = 0x44;
    connect(cfg);
    login();
    sim_->clearFrames();
    const auto t0 = std::chrono::steady_clock::now();
    ASSERT_TRUE(sim_->waitForCount(CAPX_LINK_PROBE_ID, 3, 6000));
    const auto elapsed = std::chrono::steady_clock::now() - t0;
    // Not early: three quiet seconds; late by at most a generous margin.
    EXPECT_GE(elapsed, std::chrono::milliseconds(2500));
    EXPECT_LE(elapsed, std::chrono::milliseconds(5500));
    for (auto& f : sim_->frames()) {
        if (f.id == CAPX_LINK_PROBE_ID) {
            EXPECT_EQ(f.wire, (std::vector<uint8_t>{0x00, 0x01, 0xFE}));
        }
    }
}

TEST_F(AgentLink, FrameArrivingOneByteAtATime)
{
    SvcSimConfig cfg;
    cfg.linkKey = 9;
    connect(cfg);
    login();
    drainMailbox();
    CapxMsg m;
    char err[100];
    ASSERT_EQ(capxMsgFromText("MESSAGE broadcastLevel=2 caId=77 msg=\"split across segments\"", &m, err, sizeof err), 0)
        << err;
    const auto f = sim_->frameFor(m);
    ASSERT_EQ(sim_->sendRawPaced(f, 1, 5), 0);
    ASSERT_TRUE(waitUntil([] { return conMailboxReadyCount(&g_mailbox) == 1; }));
    const auto got = drainMailbox();
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].msgId, CAPX_MESSAGE);
    EXPECT_EQ(got[0].message.caId, 77u);
    EXPECT_STREQ(got[0].message.msg, "split across segments");
}

TEST_F(AgentLink, LengthLimits)
{
    connect();
    // L = 4096 is accepted (an unknown id goes to the console with its id).
    std::vector<uint8_t> big(4096, 0x20);
    big[0] = 200;
    ASSERT_EQ(sim_->sendRaw(frameBytes(big)), 0);
    // L = 4097 is logged and skipped, body and all; the next frame is read.
    std::vector<uint8_t> tooBig(4097, 0x21);
    tooBig[0] = CAPX_DATA_ACK;
    ASSERT_EQ(sim_->sendRaw(frameBytes(tooBig)), 0);
    ASSERT_EQ(sim_->sendRaw(dataAckFrame(7, 0)), 0);
    ASSERT_TRUE(waitUntil([] { return conMailboxReadyCount(&g_mailbox) == 2; }));
    auto got = drainMailbox();
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[0].msgId, 200);
    EXPECT_EQ(got[1].msgId, CAPX_DATA_ACK);
    EXPECT_EQ(got[1].dataAck.seqNo, 7);
    EXPECT_EQ(g_rec.countPosted(WM_CAPC_SOCK_CLOSE), 0);
    // L = 0 closes the link.
    ASSERT_EQ(sim_->sendRaw({0, 0}), 0);
    ASSERT_TRUE(waitUntil([] { return g_rec.countPosted(WM_CAPC_SOCK_CLOSE) == 1; }));
    EXPECT_TRUE(waitUntil([] { return g_rec.hasLog("QLON] Socket Error(Closed)-recv\n"); }));
    EXPECT_TRUE(waitUntil([] { return g_rec.hasLog("QLON] End of TCP-Socket\n"); }));
    EXPECT_TRUE(waitUntil([] { return g_capcInfo.rxActive.load() == 0; }));
    EXPECT_EQ(g_capcInfo.link.serverSocket.load(), -1);
}

TEST_F(AgentLink, RefusedConnectGivesOneCloseAndNoOpen)
{
    const int port = unusedPort();
    ASSERT_EQ(capcSocketStart("127.0.0.1", port), 0);
    ASSERT_TRUE(waitUntil([] { return g_rec.countPosted(WM_CAPC_SOCK_CLOSE) >= 1; }));
    ASSERT_TRUE(waitUntil([] { return g_capcInfo.rxActive.load() == 0; }));
    usleep(300 * 1000);
    EXPECT_EQ(g_rec.countPosted(WM_CAPC_SOCK_CLOSE), 1);
    EXPECT_EQ(g_rec.countPosted(WM_CAPC_SOCK_OPEN), 0);
    EXPECT_TRUE(waitUntil([] { return g_rec.hasLog("POS# ERR: posSocketOpen:C: connect\n"); }));
    EXPECT_TRUE(waitUntil([] { return g_rec.hasLog("QLON] Socket Error(Closed)-select\n"); }));
}

TEST_F(AgentLink, StartRefusedWhileReceiveThreadRunsAndLongAddressRefused)
{
    connect();
    EXPECT_LT(capcSocketStart("127.0.0.1", sim_->port()), 0);
    EXPECT_EQ(sim_->connections(), 1);
    sim_->closeClient();
    ASSERT_TRUE(waitUntil([] { return g_capcInfo.rxActive.load() == 0; }));
    EXPECT_LT(capcSocketStart("127.000.000.001.0000", sim_->port()), 0);  // 20 characters
    EXPECT_EQ(g_capcInfo.rxActive.load(), 0);
    // A reconnect after the close works.
    ASSERT_EQ(capcSocketStart("127.0.0.1", sim_->port()), 0);
    EXPECT_TRUE(waitUntil([this] { return sim_->connections() == 2; }));
}

TEST_F(AgentLink, WriteFailureClosesThroughTheReceiveThreadOnce)
{
    connect();
    // Break the socket under the link as a dying connection would.
    shutdown(g_capcInfo.link.serverSocket.load(), SHUT_WR);
    EXPECT_EQ(capcTxAssignReq(), -1);
    ASSERT_TRUE(waitUntil([] { return g_capcInfo.rxActive.load() == 0; }));
    usleep(200 * 1000);
    // One close from the builder, one from the receive thread; one thread.
    EXPECT_EQ(g_rec.countPosted(WM_CAPC_SOCK_CLOSE), 2);
    EXPECT_TRUE(waitUntil([] { return g_rec.countLog("QLON] End of TCP-Socket\n") == 1; }));
    usleep(100 * 1000);
    EXPECT_EQ(g_rec.countLog("QLON] End of TCP-Socket\n"), 1);
    EXPECT_EQ(g_capcInfo.link.serverSocket.load(), -1);
    // Writes after the close fail, without a further notification: one per link.
    for (int i = 0; i < 50; ++i) EXPECT_EQ(capcTxData(3, "abc"), -1);
    EXPECT_EQ(capcTxAssignReq(), -1);
    EXPECT_EQ(capcTxLogout("a"), -1);
    usleep(100 * 1000);
    EXPECT_EQ(g_rec.countPosted(WM_CAPC_SOCK_CLOSE), 2);
    // The next link reports its own first failed write again.
    g_rec.clear();
    ASSERT_EQ(capcSocketStart("127.0.0.1", sim_->port()), 0);
    ASSERT_TRUE(waitUntil([] { return g_rec.countPosted(WM_CAPC_SOCK_OPEN) == 1; }));
    shutdown(g_capcInfo.link.serverSocket.load(), SHUT_WR);
    EXPECT_EQ(capcTxData(3, "abc"), -1);
    EXPECT_EQ(capcTxData(3, "abc"), -1);
    ASSERT_TRUE(waitUntil([] { return g_capcInfo.rxActive.load() == 0; }));
    ASSERT_TRUE(waitUntil([] { return g_rec.countPosted(WM_CAPC_SOCK_CLOSE) == 2; }));
    usleep(100 * 1000);
    EXPECT_EQ(g_rec.countPosted(WM_CAPC_SOCK_CLOSE), 2);
}

// The service stops reading while the link keeps writing: once the window
// and the send buffer are full, the frame being written fails when the time
// limit (5 s for the whole frame) has passed, not early and not much later;
// writes after it fail at once, and the link ends once, through the receive
// thread. The link's send buffer is made small here so that it fills
// within a few frames (the system's grows to megabytes).
TEST_F(AgentLink, PeerThatStopsReadingFailsTheWriteAfterTheTimeLimit)
{
    SvcSimConfig cfg;
    cfg.rcvBuf = 4096;
    connect(cfg);
    const int small = 4096;
    ASSERT_EQ(setsockopt(g_capcInfo.link.serverSocket.load(), SOL_SOCKET, SO_SNDBUF, &small, sizeof small), 0);
    sim_->stopReading(30000);
    const std::string text(63, 'x');
    using Clock = std::chrono::steady_clock;
    long long failedAfterMs = -1;
    for (int i = 0; i < 100000 && failedAfterMs < 0; ++i) {
        const auto t0 = Clock::now();
        if (capcTxData(63, text.c_str()) < 0)
            failedAfterMs = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t0).count();
    }
    ASSERT_GE(failedAfterMs, 0) << "no write failed";
    EXPECT_GE(failedAfterMs, 4950);
    EXPECT_LE(failedAfterMs, 6000);
    // Later writes fail at once: nothing holds the writers, not even the
    // close of the socket, which lingers while unsent bytes remain.
    const auto t1 = Clock::now();
    EXPECT_EQ(capcTxData(3, "abc"), -1);
    EXPECT_LT(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t1).count(), 200);
    ASSERT_TRUE(waitUntil([] { return g_capcInfo.rxActive.load() == 0; }, 5000));
    // Lines reach the log through the log task, after the thread has ended.
    EXPECT_TRUE(waitUntil([] { return g_rec.hasLog("QLON] Socket Error(Closed)-send(11)\n"); }));
    EXPECT_TRUE(waitUntil([] { return g_rec.countLog("QLON] End of TCP-Socket\n") == 1; }));
    // One close from the failed write, one from the receive thread.
    EXPECT_TRUE(waitUntil([] { return g_rec.countPosted(WM_CAPC_SOCK_CLOSE) == 2; }));
}

namespace {
std::atomic<int> g_restarts{0};
std::atomic<int> g_refusedRestarts{0};
std::atomic<int> g_restartPort{0};
constexpr int kRestartRounds = 30;

// The console's reaction to a closed link: start it again at once.
void restartingPoster(int msg, uintptr_t wparam)
{
    recordPost(msg, wparam);
    if (msg != WM_CAPC_SOCK_CLOSE || g_restarts.load() >= kRestartRounds) return;
    g_restarts.fetch_add(1);
    if (capcSocketStart("127.0.0.1", g_restartPort.load()) != 0) g_refusedRestarts.fetch_add(1);
}
}  // namespace

TEST_F(AgentLink, RestartOnTheCloseNotificationIsNeverRefused)
{
    connect();
    g_restartPort = sim_->port();
    conSetPoster(restartingPoster);
    // The service drops the link again and again; each close notification
    // starts the link again, and every start is taken.
    for (int round = 1; round <= kRestartRounds; ++round) {
        ASSERT_TRUE(waitUntil([&] { return sim_->connections() == round; }, 10000)) << round;
        ASSERT_TRUE(waitUntil([] { return g_capcInfo.link.serverSocket.load() > 0; }, 10000)) << round;
        sim_->closeClient();
        ASSERT_TRUE(waitUntil([&] { return g_restarts.load() == round; }, 10000))
            << round << " refused " << g_refusedRestarts.load();
    }
    EXPECT_EQ(g_refusedRestarts.load(), 0);
    ASSERT_TRUE(waitUntil([this] { return sim_->connections() == kRestartRounds + 1; }, 10000));
    conSetPoster(recordPost);
}

TEST_F(AgentLink, DiscardHooks)
{
    SvcSimConfig cfg;
    cfg.answerData = false;
    connect(cfg);
    capcDiscardTx(CAPX_DATA, 1);
    EXPECT_EQ(capcTxData(2, "hi"), -1);
    EXPECT_TRUE(waitUntil([] { return g_rec.hasLog("Discard Msg(6) Left(0)\n"); }));
    EXPECT_EQ(g_rec.countPosted(WM_CAPC_SOCK_CLOSE), 1);
    EXPECT_EQ(capcTxData(2, "ok"), 0);
    ASSERT_TRUE(sim_->waitForCount(CAPX_DATA, 1, 5000));
    EXPECT_EQ(sim_->count(CAPX_DATA), 1);

    capcDiscardRx(CAPX_KEEP_ALIVE, 2);
    for (int i = 0; i < 3; ++i) ASSERT_EQ(sim_->send(keepAlive(1, 1, 0, 0, 0)), 0);
    ASSERT_TRUE(sim_->waitForCount(CAPX_KEEP_ALIVE_ACK, 1, 5000));
    usleep(200 * 1000);
    EXPECT_EQ(sim_->count(CAPX_KEEP_ALIVE_ACK), 1);
    EXPECT_EQ(g_rec.countPosted(WM_CAPC_CA_COUNT), 1);
    EXPECT_TRUE(waitUntil([] { return g_rec.hasLog("Discard Rx: Msg:14(0E) Left:1\n"); }));
    EXPECT_TRUE(waitUntil([] { return g_rec.hasLog("Discard Rx: Msg:14(0E) Left:0\n"); }));

    // A discarded DATA_ACK is not counted.
    capcDiscardRx(CAPX_DATA_ACK, 1);
    g_capcInfo.link.dataAcked = 0;
    ASSERT_EQ(sim_->sendRaw(dataAckFrame(1, 0)), 0);
    ASSERT_EQ(sim_->sendRaw(dataAckFrame(2, 0)), 0);
    ASSERT_TRUE(waitUntil([] { return conMailboxReadyCount(&g_mailbox) == 1; }));
    EXPECT_LE(g_capcInfo.link.dataAcked.load(), 1);
}

TEST_F(AgentLink, DataAckCountingAndAckLossWarning)
{
    // The check itself: three unacknowledged warn, two do not.
    CapcLink& link = g_capcInfo.link;
    link.dataSent = 2;
    link.dataAcked = 0;
    EXPECT_EQ(capcProcCheck(&link), 0);
    link.dataSent = 3;
    link.dataAcked = 0;
    EXPECT_EQ(capcProcCheck(&link), 1);
    EXPECT_TRUE(waitUntil([] { return g_rec.hasLog("ERR -- Tx:3 Rx:0\n"); }));
    EXPECT_EQ(link.dataSent.load(), 0);
    g_rec.clear();

    // Through the running task: DATA_ACK result 0 counts, result 1 does not.
    SvcSimConfig cfg;
    cfg.answerData = false;
    connect(cfg);
    for (int i = 0; i < 3; ++i) ASSERT_EQ(capcTxData(1, "x"), 0);
    EXPECT_TRUE(waitUntil([] { return g_rec.countPosted(WM_CAPC_TX_ACK_LOSS) >= 1; }, 3000));
    g_rec.clear();
    sim_->setDataAck(true, 0, 0);
    for (int round = 0; round < 2; ++round) {
        for (int i = 0; i < 3; ++i) ASSERT_EQ(capcTxData(1, "y"), 0);
        usleep(300 * 1000);
    }
    usleep(1200 * 1000);
    EXPECT_EQ(g_rec.countPosted(WM_CAPC_TX_ACK_LOSS), 0);
    capcSetCaState(4);
    capcSetCaState(0);  // 0 clears both counters
    EXPECT_EQ(link.dataSent.load(), 0);
    EXPECT_EQ(link.dataAcked.load(), 0);
}

TEST_F(AgentLink, MailboxDeliversInOrderAndDropsTheTwentyFirst)
{
    connect();
    for (int i = 0; i < 21; ++i) ASSERT_EQ(sim_->sendRaw(dataAckFrame(static_cast<uint8_t>(i), 1)), 0);
    ASSERT_TRUE(waitUntil([] { return g_rec.countPosted(WM_CAPC_RX_MSG) == 21; }));
    const auto got = drainMailbox();
    ASSERT_EQ(got.size(), 20u);
    for (int i = 0; i < 20; ++i) EXPECT_EQ(got[i].dataAck.seqNo, i);
    EXPECT_EQ(g_capcInfo.link.dataAcked.load(), 0);  // result 1: not counted
    // Before publication nothing is put and nothing posted.
    conUnpublish();
    ASSERT_EQ(sim_->sendRaw(dataAckFrame(99, 1)), 0);
    ASSERT_EQ(sim_->send(keepAlive(1, 1, 0, 0, 0)), 0);  // answered, not notified
    ASSERT_TRUE(sim_->waitForCount(CAPX_KEEP_ALIVE_ACK, 1, 5000));
    EXPECT_EQ(conMailboxReadyCount(&g_mailbox), 0);
    EXPECT_EQ(g_rec.countPosted(WM_CAPC_RX_MSG), 21);
    EXPECT_EQ(g_rec.countPosted(WM_CAPC_CA_COUNT), 0);
}

TEST_F(AgentLink, OnlyTheReceiveThreadSetsTheLinkKey)
{
    // Two LOGIN_ACKs close together: the receive thread has taken the newer
    // key (0x22) before the agent task handles the older one (0x11). The
    // agent task hands the LOGIN_ACK on and leaves the key alone.
    g_capcInfo.link.linkKey = 0x22;
    CapxMsg ack;
    zero(ack);
    ack.msgId = CAPX_LOGIN_ACK;
    ack.loginAck.result = 0;
    ack.loginAck.eValue = 0x11;
    uint8_t frame[CAPX_MAX_FRAME_LEN];
    const int n = capxEncodeMsgEx(&ack, frame, sizeof frame, 0, 0, nullptr);
    ASSERT_GT(n, 2);
    capcRxMsg(frame, n - 2);
    EXPECT_EQ(g_capcInfo.link.linkKey.load(), 0x22);
    const auto got = drainMailbox();
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].msgId, CAPX_LOGIN_ACK);
    EXPECT_EQ(got[0].loginAck.eValue, 0x11);
}

TEST_F(AgentLink, LinkKeyOutlivesAReconnectionOnBothSides)
{
    SvcSimConfig cfg;
    cfg.linkKey = 0x33;
    connect(cfg);
    login();
    sim_->closeClient();
    ASSERT_TRUE(waitUntil([] { return g_capcInfo.rxActive.load() == 0; }));
    ASSERT_EQ(capcSocketStart("127.0.0.1", sim_->port()), 0);
    ASSERT_TRUE(waitUntil([] { return g_rec.countPosted(WM_CAPC_SOCK_OPEN) == 2; }));
    EXPECT_EQ(g_capcInfo.link.linkKey.load(), 0x33);
    EXPECT_EQ(sim_->linkKey(), 0x33);
    // DATA before the next LOGIN_ACK travels with the kept key, and the
    // simulator reads it back.
    sim_->clearFrames();
    ASSERT_EQ(capcTxData(3, "abc"), 0);
    ASSERT_TRUE(sim_->waitForCount(CAPX_DATA, 1, 5000));
    for (auto& f : sim_->frames()) {
        if (f.id != CAPX_DATA) continue;
        EXPECT_NE(f.wire, f.frame);   // scrambled on the wire
        ASSERT_EQ(f.msg.data.dataLen, 3);
        EXPECT_EQ(std::string(reinterpret_cast<const char*>(f.msg.data.data), 3), "abc");
    }
}

TEST_F(AgentLink, LoginAckWithFailureKeepsTheKey)
{
    SvcSimConfig cfg;
    cfg.loginResult = 1;
    cfg.linkKey = 77;
    connect(cfg);
    g_capcInfo.link.linkKey = 5;
    login();
    EXPECT_EQ(g_capcInfo.link.linkKey.load(), 5);
}

TEST_F(AgentLink, SimulatorVerifiesScrambledCredentials)
{
    // "a\xE2\x82\xACx" (a, the euro sign in UTF-8, x) scrambles to 61 00 A0 CA 96:
    // the 0 byte must travel, so credentials go with their lengths.
    struct Case {
        const char* user;
        const char* pass;
    };
    const Case cases[] = {{"agent7", "pw"}, {"agent7", "a\xE2\x82\xACx"}, {"\xC3\xA9t\xC3\xA9", "pw"}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.pass);
        SvcSimConfig cfg;
        cfg.expectUserId = c.user;
        cfg.expectPassword = c.pass;
        connect(cfg);
        char user[64], pass[64];
        const int u = capcLoginScramble(c.user, int(std::strlen(c.user)), CAPC_LOGIN_KEY_USER_ID,
                                        user, sizeof user);
        const int p = capcLoginScramble(c.pass, int(std::strlen(c.pass)), CAPC_LOGIN_KEY_PASSWORD,
                                        pass, sizeof pass);
        ASSERT_EQ(capcTxLogin(&g_capcInfo.link, user, u, pass, p, "5551234", 2, 8, 4, 2), 0);
        ASSERT_TRUE(waitUntil([] { return conMailboxReadyCount(&g_mailbox) == 1; }));
        auto got = drainMailbox();
        EXPECT_EQ(got[0].loginAck.result, 0);
        ASSERT_EQ(capcTxLogin(&g_capcInfo.link, user, u, "wrong", 5, nullptr, 2, 8, 4, 2), 0);
        ASSERT_TRUE(waitUntil([] { return conMailboxReadyCount(&g_mailbox) == 1; }));
        got = drainMailbox();
        EXPECT_EQ(got[0].loginAck.result, 1);
        // A password cut at its first 0 byte is refused.
        const int cut = int(strnlen(pass, size_t(p)));
        if (cut < p) {
            ASSERT_EQ(capcTxLogin(&g_capcInfo.link, user, u, pass, cut, nullptr, 2, 8, 4, 2), 0);
            ASSERT_TRUE(waitUntil([] { return conMailboxReadyCount(&g_mailbox) == 1; }));
            EXPECT_EQ(drainMailbox()[0].loginAck.result, 1);
        }
        sim_->stop();
        ASSERT_TRUE(waitUntil([] { return g_capcInfo.rxActive.load() == 0; }));
        ASSERT_TRUE(waitUntil([] { return g_rec.countPosted(WM_CAPC_SOCK_CLOSE) >= 1; }));
        g_rec.clear();
    }
}

TEST_F(AgentLink, ConcurrentSendersNeverInterleave)
{
    SvcSimConfig cfg;
    cfg.answerData = false;
    cfg.linkKey = 0x21;
    connect(cfg);
    login();
    constexpr int kThreads = 3, kEach = 2000;
    std::vector<std::thread> ts;
    std::atomic<int> failures{0};
    for (int t = 0; t < kThreads; ++t)
        ts.emplace_back([t, &failures] {
            char text[64];
            for (int i = 0; i < kEach; ++i) {
                const int n = std::snprintf(text, sizeof text, "t%d-%05d-%.*s", t, i, i % 40,
                                            "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMN");
                if (capcTxData(n, text) != 0) ++failures;
            }
        });
    for (auto& t : ts) t.join();
    EXPECT_EQ(failures.load(), 0);
    ASSERT_TRUE(sim_->waitForCount(CAPX_DATA, kThreads * kEach, 30000));
    std::set<std::string> seen;
    for (auto& f : sim_->frames()) {
        if (f.id == CAPX_LINK_PROBE_ID || f.id == CAPX_LOGIN) continue;
        ASSERT_EQ(f.id, CAPX_DATA);
        const std::string text(reinterpret_cast<const char*>(f.msg.data.data), f.msg.data.dataLen);
        ASSERT_EQ(text[0], 't') << text;
        seen.insert(text);
    }
    EXPECT_EQ(seen.size(), static_cast<size_t>(kThreads * kEach));
    EXPECT_EQ(g_rec.countPosted(WM_CAPC_SOCK_CLOSE), 0);
}

TEST_F(AgentLink, ScriptedCallReachesTheMailboxInOrder)
{
    SvcSimConfig cfg;
    cfg.linkKey = 0x30;
    std::string err;
    for (const char* line : {"at 50 BROADCAST availCallCount1st=1 callIdx=9",
                             "on ASSIGN_REQ +10 ASSIGN_COMPLETE cuPhoneNumber=\"5551234\" isEmergency=1 callIdx=9",
                             "on ASSIGN_REQ +40 VOIP_SETUP ipAddr=\"127.0.0.1\" portId=40000 payloadType=0",
                             "on VOIP_SETUP_COMPLETE CONTROL control=1",
                             "on RELEASE_COMPLETE LOGOUT_ACK result=0"}) {
        SvcSimStep st;
        ASSERT_EQ(svcSimParseStep(line, &st, &err), 1) << err;
        cfg.script.push_back(st);
    }
    std::atomic<int> voiceStarts{0};
    cfg.onVoipSetup = [&](CapxMsg& m) {
        ++voiceStarts;
        m.voipSetup.portId = 40002;  // the voice endpoint puts in its own port
    };
    connect(cfg);
    login();
    ASSERT_TRUE(waitUntil([] { return g_rec.countPosted(WM_CAPC_RX_MSG) >= 2; }));
    EXPECT_EQ(capcTxAssignReq(), 0);
    ASSERT_TRUE(waitUntil([] { return conMailboxReadyCount(&g_mailbox) >= 4; }));
    EXPECT_EQ(capcTxVoipSetupComplete(0), 0);
    ASSERT_TRUE(waitUntil([] { return conMailboxReadyCount(&g_mailbox) >= 5; }));
    EXPECT_EQ(capcTxReleaseComplete(), 0);
    ASSERT_TRUE(waitUntil([] { return conMailboxReadyCount(&g_mailbox) >= 6; }));
    const auto got = drainMailbox();
    std::vector<int> ids;
    for (auto& m : got) ids.push_back(m.msgId);
    EXPECT_EQ(ids, (std::vector<int>{CAPX_LOGIN_ACK, CAPX_BROADCAST, CAPX_ASSIGN_COMPLETE, CAPX_VOIP_SETUP,
                                     CAPX_CONTROL, CAPX_LOGOUT_ACK}));
    EXPECT_STREQ(got[2].assignComplete.cuPhoneNumber, "5551234");
    EXPECT_EQ(got[3].voipSetup.portId, 40002);
    EXPECT_EQ(voiceStarts.load(), 1);
}

TEST_F(AgentLink, BuildersAreByteExactAndScrambledOnlyAboveFiveBytes)
{
    SvcSimConfig cfg;
    cfg.linkKey = 0x10;
    cfg.answerData = false;
    connect(cfg);
    login();
    sim_->clearFrames();
    struct Case {
        const char* name;
        std::function<int()> send;
        std::vector<uint8_t> frame;  // before the link key
    };
    const std::vector<Case> cases = {
        {"ASSIGN_REQ", [] { return capcTxAssignReq(); }, {0, 5, 2, 0, 0, 0, 0}},
        {"CONTROL", [] { return capcTxControl(12); }, {0, 3, 5, 12, 0}},
        {"RELEASE", [] { return capcTxRelease(3); }, {0, 2, 7, 3}},
        {"RELEASE_COMPLETE", [] { return capcTxReleaseComplete(); }, {0, 1, 8}},
        {"VOIP_SETUP_COMPLETE", [] { return capcTxVoipSetupComplete(53); }, {0, 2, 17, 53}},
        {"HO_EVENT", [] { return capcTxHoEvent(2, 1); }, {0, 3, 34, 2, 1}},
        {"CA_SVC_STATE", [] { return capcTxCaSvcState(1, 85); }, {0, 3, 42, 1, 85}},
        {"DATA", [] { return capcTxData(3, "abc"); }, {0, 6, 6, 6, 9, 0x67, 0x62, 0x63}},
        {"DATA empty", [] { return capcTxData(0, ""); }, {0, 3, 6, 0, 0}},
        {"CALL_REPORT", [] { return capcTxCallReport(1, 2, 3, 4, 5, 0x1FF); },
         {0, 22, 51, 0, 0, 0, 1, 0, 0, 0, 2, 0, 0, 0, 3, 0, 0, 0, 4, 0, 0, 0, 5, 0xFF}},
        {"LOGOUT", [] { return capcTxLogout("ab"); }, {0, 4, 11, 2, 'a', 'b'}},
        {"LOGOUT 0 byte", [] { return capcTxLogout("a\0b", 3); }, {0, 5, 11, 3, 'a', 0, 'b'}},
        {"CHANGE_PASSWD", [] { return capcTxChangePasswd(&g_capcInfo.link, "u", 1, "p\0q", 3); },
         {0, 7, 18, 1, 'u', 3, 'p', 0, 'q'}},
        {"LOGIN", [] { return capcTxLogin(&g_capcInfo.link, "u", 1, "", 0, nullptr, 2, 8, 4, 5); },
         {0, 28, 9, 1, 'u', 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 3, 2, 8, 4, 5, 0, 0}},
        {"probe", [] { return capcTxLinkProbe(); }, {0, 1, 0xFE}},
    };
    auto nonProbe = [this] {
        std::vector<SvcSimFrame> out;
        for (auto& f : sim_->frames())
            if (f.id != CAPX_LINK_PROBE_ID) out.push_back(f);
        return out;
    };
    for (size_t i = 0; i < cases.size(); ++i) {
        const Case& c = cases[i];
        ASSERT_EQ(c.send(), 0) << c.name;
        if (c.frame[2] == CAPX_LINK_PROBE_ID) {
            ASSERT_TRUE(sim_->waitForCount(CAPX_LINK_PROBE_ID, 1, 5000));
            for (auto& f : sim_->frames()) {
                if (f.id == CAPX_LINK_PROBE_ID) {
                    EXPECT_EQ(f.wire, c.frame);
                }
            }
            continue;
        }
        ASSERT_TRUE(waitUntil([&] { return nonProbe().size() >= i + 1; })) << c.name;
        std::vector<uint8_t> wire = c.frame;
        if (wire.size() > 5 && wire[2] != CAPX_LOGIN)
            for (size_t k = 3; k < wire.size(); ++k) wire[k] = static_cast<uint8_t>(wire[k] - 0x10);
        EXPECT_EQ(nonProbe()[i].wire, wire) << c.name;
    }
    EXPECT_EQ(g_capcInfo.link.caState.load(), 0);  // RELEASE / RELEASE_COMPLETE
}

TEST_F(AgentLink, FailedBuildersReportAsSpecified)
{
    // A link that was up and is closed now.
    connect();
    sim_->stop();
    ASSERT_TRUE(waitUntil([] { return g_capcInfo.rxActive.load() == 0; }));
    // The task posts the link's own close indication after the thread ends.
    ASSERT_TRUE(waitUntil([] { return g_rec.countPosted(WM_CAPC_SOCK_CLOSE) >= 1; }));
    g_rec.clear();
    EXPECT_EQ(capcTxCaSvcState(1, 0), -1);
    EXPECT_EQ(capcTxLogin(&g_capcInfo.link, "a", 1, "b", 1, nullptr, 2, 8, 4, 0), -1);
    EXPECT_EQ(g_rec.countPosted(WM_CAPC_SOCK_CLOSE), 0);  // these two fail silently
    EXPECT_EQ(capcTxLogout("a"), -1);
    EXPECT_EQ(capcTxControl(11), -1);
    // The first failure after the link went down notifies; later ones do not.
    EXPECT_EQ(g_rec.countPosted(WM_CAPC_SOCK_CLOSE), 1);
    EXPECT_EQ(capcTxLogin(nullptr, "a", 1, "b", 1, nullptr, 2, 8, 4, 0), -1);
    EXPECT_EQ(capcTxChangePasswd(nullptr, "a", 1, "b", 1), -1);
}

TEST_F(AgentLink, ConsoleCommandsAndDisplay)
{
    // Before any link the socket shows 0; after a closed link -1.
    capcDsp();
    EXPECT_TRUE(waitUntil([] { return g_rec.hasLog("TRANSPORT  : IP() Port(0) FD(0) T-ID(0)\n"); }));
    EXPECT_TRUE(waitUntil([] { return g_rec.hasLog("\nMY-TASK-ID :  99076\n"); }));
    int value = -1;
    ASSERT_TRUE(waitUntil([&] { return posExecCmd("capcLog 2", &value) == 2 && value == 2; }));
    EXPECT_EQ(g_capcInfo.txTraceLevel.load(), 2);
    EXPECT_EQ(g_capcInfo.rxTraceLevel.load(), 2);
    EXPECT_EQ(posExecCmd("capcLog 0", &value), 2);
    EXPECT_EQ(g_capcInfo.rxTraceLevel.load(), 0);
    EXPECT_EQ(posExecCmd("capcDiscardTx 6, 1", &value), 2);
    EXPECT_EQ(g_capcHooks.txDiscardId.load(), 6);
    EXPECT_EQ(g_capcHooks.txDiscardCount.load(), 1);
    EXPECT_EQ(posExecCmd("capcDiscardRx 33, 1", &value), 2);
    EXPECT_EQ(g_capcHooks.rxDiscardId.load(), 33);
    capcHelp();
    EXPECT_TRUE(waitUntil([] { return g_rec.hasLog("capcDiscardRx msgId, count\n"); }));
    connect();
    sim_->closeClient();
    ASSERT_TRUE(waitUntil([] { return g_capcInfo.rxActive.load() == 0; }));
    g_rec.clear();
    capcSetCaState(4);
    capcDsp();
    EXPECT_TRUE(waitUntil([this] {
        const std::string port = std::to_string(sim_->port());
        std::lock_guard<std::mutex> g(g_rec.mu);
        for (auto& l : g_rec.log)
            if (l.rfind("TRANSPORT  : IP(127.0.0.1) Port(" + port + ") FD(-1) T-ID(", 0) == 0) return true;
        return false;
    }));
    EXPECT_TRUE(waitUntil([] { return g_rec.hasLog("CA-STATE  : 4\n"); }));
}

TEST_F(AgentLink, DiscardCountNeverPassesZeroUnderConcurrentSenders)
{
    SvcSimConfig cfg;
    cfg.answerData = false;
    connect(cfg);
    g_rec.clear();
    capcDiscardTx(CAPX_DATA, 100);
    std::atomic<int> failed{0};
    std::vector<std::thread> ts;
    for (int t = 0; t < 3; ++t)
        ts.emplace_back([&failed] {
            for (int i = 0; i < 200; ++i)
                if (capcTxData(1, "d") != 0) ++failed;
        });
    for (auto& t : ts) t.join();
    EXPECT_EQ(failed.load(), 100);
    EXPECT_EQ(g_capcHooks.txDiscardCount.load(), 0);
    ASSERT_TRUE(sim_->waitForCount(CAPX_DATA, 500, 10000));
    EXPECT_EQ(g_rec.countPosted(WM_CAPC_SOCK_CLOSE), 100);
}
