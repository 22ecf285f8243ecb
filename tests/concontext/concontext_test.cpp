// Console context, notification poster, window hooks and the mailbox.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

#include "concontext.h"

namespace {

std::mutex g_mu;
std::vector<std::pair<int, uintptr_t>> g_posts;

void recordPost(int msg, uintptr_t wparam)
{
    std::lock_guard<std::mutex> g(g_mu);
    g_posts.emplace_back(msg, wparam);
}

CapxMsg dataAck(uint8_t seq)
{
    CapxMsg m;
    std::memset(static_cast<void*>(&m), 0, sizeof m);
    m.msgId = CAPX_DATA_ACK;
    m.dataAck.seqNo = seq;
    return m;
}

class ConContext : public ::testing::Test {
protected:
    void SetUp() override
    {
        conContextReset();
        conSetPoster(nullptr);
        conSetWindowHooks(nullptr);
        g_posts.clear();
        conMailboxInit(&mb_);
    }
    ConsoleMailbox mb_;
};

}  // namespace

TEST_F(ConContext, PostsGoNowhereUntilPosterAndPublication)
{
    EXPECT_EQ(conPostMessage(WM_CAPC_SOCK_OPEN, 0), 0);
    conSetPoster(recordPost);
    EXPECT_EQ(conPostMessage(WM_CAPC_SOCK_OPEN, 0), 0);  // not published
    int window = 0;
    conPublish(&window, 42);
    EXPECT_EQ(conContext().messagePtr.load(), &conContext().message);
    EXPECT_EQ(conPostMessage(WM_CAPC_CA_COUNT, 17), 1);
    EXPECT_EQ(conPostMessage(1023, 0), 0);  // outside 1024..1038
    EXPECT_EQ(conPostMessage(1039, 0), 0);
    EXPECT_EQ(conPostMessage(WM_USER, 1044), 1);
    ASSERT_EQ(g_posts.size(), 2u);
    EXPECT_EQ(g_posts[0], (std::pair<int, uintptr_t>{1034, 17}));
    conUnpublish();
    EXPECT_EQ(conPostMessage(WM_VOICE_RX, 0), 0);
    EXPECT_EQ(conContext().messagePtr.load(), nullptr);
}

TEST_F(ConContext, NotificationNumbers)
{
    const int expected[] = {1025, 1026, 1027, 1028, 1029, 1030, 1031, 1032, 1033, 1034, 1035, 1036, 1037, 1038};
    const int actual[] = {WM_CAPC_RX_MSG, WM_CAPC_SOCK_CLOSE, WM_CAPC_SOCK_OPEN, WM_CAPC_STENO_CLOSE,
                          WM_CAPC_STENO_OPEN, WM_CON_NOISE, WM_CON_NO_VOICE, WM_CON_MISUSE, WM_CON_ANSWER,
                          WM_CAPC_CA_COUNT, WM_CAPC_WRONG_CA_STATE, WM_CAPC_DO_NOT_PAUSE, WM_CAPC_TX_ACK_LOSS,
                          WM_VOICE_RX};
    for (size_t i = 0; i < 14; ++i) EXPECT_EQ(actual[i], expected[i]);
}

TEST_F(ConContext, HooksAreOptional)
{
    EXPECT_EQ(conSendCaptionText(3, "abc"), 0);
    conSetCaptionLights(1);
    conAppendCaptionScreen("x", 1);
    static int lastLights = -1;
    static const ConsoleWindowHooks partial = {[](int len, const char*) { return len; },
                                               [](int n) { lastLights = n; }, nullptr, nullptr};
    conSetWindowHooks(&partial);
    EXPECT_EQ(conSendCaptionText(3, "abc"), 3);
    conSetCaptionLights(4);
    EXPECT_EQ(lastLights, 4);
    conAppendCaptionScreen("x", 1);  // no hook: nothing
    conReportCaptionBytes(reinterpret_cast<const uint8_t*>("x"), 1);
}

TEST_F(ConContext, ResetZeroFills)
{
    ConsoleContext& c = conContext();
    c.callState = 2;
    c.txToSvr = 99;
    std::strcpy(c.userId, "agent");
    c.stenoWorkArea.bridgeCommand = 1;
    c.message.msgId = 5;
    conContextReset();
    EXPECT_EQ(c.callState.load(), 0);
    EXPECT_EQ(c.txToSvr.load(), 0);
    EXPECT_STREQ(c.userId, "");
    EXPECT_EQ(c.stenoWorkArea.bridgeCommand, 0);
    EXPECT_EQ(c.message.msgId, 0);
    EXPECT_EQ(sizeof c.stenoWorkArea, 8024u);
}

TEST_F(ConContext, MailboxKeepsOrderAndDropsTheTwentyFirst)
{
    for (int i = 0; i < 20; ++i) {
        const CapxMsg m = dataAck(static_cast<uint8_t>(i));
        ASSERT_EQ(conMailboxPut(&mb_, &m), CON_MB_OK);
    }
    const CapxMsg extra = dataAck(20);
    EXPECT_EQ(conMailboxPut(&mb_, &extra), CON_MB_FULL);
    EXPECT_EQ(conMailboxReadyCount(&mb_), 20);
    EXPECT_EQ(conMailboxFreeCount(&mb_), 0);
    CapxMsg out;
    std::vector<int> seqs;
    const int n = conMailboxDrain(&mb_, &out, [](const CapxMsg* m, void* user) {
        static_cast<std::vector<int>*>(user)->push_back(m->dataAck.seqNo);
    }, &seqs);
    EXPECT_EQ(n, 20);
    for (int i = 0; i < 20; ++i) EXPECT_EQ(seqs[i], i);
    EXPECT_EQ(conMailboxFreeCount(&mb_), 20);
    EXPECT_EQ(conMailboxGet(&mb_, &out), CON_MB_EMPTY);
    EXPECT_EQ(mb_.dropped.load(), 1u);
    // Entries are reused after the drain.
    ASSERT_EQ(conMailboxPut(&mb_, &extra), CON_MB_OK);
    ASSERT_EQ(conMailboxGet(&mb_, &out), CON_MB_OK);
    EXPECT_EQ(out.dataAck.seqNo, 20);
}

TEST_F(ConContext, MailboxRecordIsCopiedWhole)
{
    CapxMsg m;
    std::memset(static_cast<void*>(&m), 0xA5, sizeof m);
    m.msgId = CAPX_MESSAGE;
    ASSERT_EQ(conMailboxPut(&mb_, &m), CON_MB_OK);
    std::memset(static_cast<void*>(&m), 0, sizeof m);  // the sender's copy changes; the queued one does not
    CapxMsg out;
    ASSERT_EQ(conMailboxGet(&mb_, &out), CON_MB_OK);
    EXPECT_EQ(out.raw[0], CAPX_MESSAGE);
    EXPECT_EQ(out.raw[CAPX_MSG_SIZE - 1], 0xA5);
}

TEST_F(ConContext, LockWaitsAreBounded)
{
    const CapxMsg m = dataAck(1);
    // A put that cannot have the free list's lock gives up after about 1000 ms
    // and drops the message.
    mb_.freeLock.lock();
    auto t0 = std::chrono::steady_clock::now();
    int r = 0;
    std::thread put([&] { r = conMailboxPut(&mb_, &m); });
    put.join();
    auto waited = std::chrono::steady_clock::now() - t0;
    mb_.freeLock.unlock();
    EXPECT_EQ(r, CON_MB_LOCK_TIMEOUT);
    EXPECT_GE(waited, std::chrono::milliseconds(990));
    EXPECT_LE(waited, std::chrono::milliseconds(3000));
    EXPECT_EQ(conMailboxFreeCount(&mb_), 20);

    // A put that has its entry but not the ready list's lock returns the
    // entry to the free list: nothing is lost.
    mb_.readyLock.lock();
    std::thread put2([&] { r = conMailboxPut(&mb_, &m); });
    put2.join();
    mb_.readyLock.unlock();
    EXPECT_EQ(r, CON_MB_LOCK_TIMEOUT);
    EXPECT_EQ(conMailboxFreeCount(&mb_), 20);
    EXPECT_EQ(conMailboxReadyCount(&mb_), 0);

    // A drain that cannot have the ready list's lock stops for this round.
    ASSERT_EQ(conMailboxPut(&mb_, &m), CON_MB_OK);
    mb_.readyLock.lock();
    CapxMsg out;
    int handled = -1;
    std::thread drain([&] { handled = conMailboxDrain(&mb_, &out, nullptr, nullptr); });
    drain.join();
    mb_.readyLock.unlock();
    EXPECT_EQ(handled, 0);
    EXPECT_EQ(conMailboxReadyCount(&mb_), 1);

    // Returning an entry waits past the bound until it gets the lock.
    mb_.freeLock.lock();
    std::thread get([&] { r = conMailboxGet(&mb_, &out); });
    std::this_thread::sleep_for(std::chrono::milliseconds(1300));
    mb_.freeLock.unlock();
    get.join();
    EXPECT_EQ(r, CON_MB_OK);
    EXPECT_EQ(conMailboxFreeCount(&mb_), 20);
    EXPECT_GE(mb_.lockTimeouts.load(), 4u);
}

TEST_F(ConContext, ConcurrentPutAndDrainLoseNothingAndKeepOrder)
{
    constexpr int kMessages = 5000;
    std::atomic<bool> done{false};
    std::vector<int> got;
    std::thread drainer([&] {
        CapxMsg out;
        while (!done || conMailboxReadyCount(&mb_) > 0) {
            conMailboxDrain(&mb_, &out, [](const CapxMsg* m, void* user) {
                auto* v = static_cast<std::vector<int>*>(user);
                v->push_back(static_cast<int>(m->broadcast.callIdx));
            }, &got);
            std::this_thread::yield();
        }
    });
    CapxMsg m;
    std::memset(static_cast<void*>(&m), 0, sizeof m);
    m.msgId = CAPX_BROADCAST;
    for (int i = 0; i < kMessages; ++i) {
        m.broadcast.callIdx = static_cast<uint64_t>(i);
        while (conMailboxPut(&mb_, &m) == CON_MB_FULL) std::this_thread::yield();  // retry a full box
    }
    done = true;
    drainer.join();
    ASSERT_EQ(got.size(), static_cast<size_t>(kMessages));
    for (int i = 0; i < kMessages; ++i) ASSERT_EQ(got[i], i);
}
