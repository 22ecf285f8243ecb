// Shared fixture of the agent link tests: a started runtime with the task
// "CAPA", a published console context with a recording poster, hooks and a
// mailbox, a log recorder, and helpers to wait for conditions.
#pragma once

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <chrono>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <netinet/in.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

#include "capa.h"
#include "capclogincrypt.h"
#include "concontext.h"
#include "pos.h"
#include "posinternal.h"
#include "poswait.h"
#include "svcsim.h"

namespace capatest {

using poswait::waitUntil;

struct Posted {
    int msg;
    uintptr_t wparam;
};

// Records notifications, hook calls and log lines.
struct Recorder {
    std::mutex mu;
    std::vector<Posted> posted;
    std::vector<std::string> sentCaptions;
    std::vector<int> lights;
    std::vector<std::string> screen;
    std::vector<std::string> reported;
    std::vector<std::string> log;
    int sendResult = 5;  // what the fake SendCaptionText returns

    int countPosted(int msg)
    {
        std::lock_guard<std::mutex> g(mu);
        int n = 0;
        for (auto& p : posted) n += p.msg == msg;
        return n;
    }
    std::vector<Posted> postedOf(int msg)
    {
        std::lock_guard<std::mutex> g(mu);
        std::vector<Posted> out;
        for (auto& p : posted)
            if (p.msg == msg) out.push_back(p);
        return out;
    }
    bool hasLog(const std::string& line)
    {
        std::lock_guard<std::mutex> g(mu);
        for (auto& l : log)
            if (l == line) return true;
        return false;
    }
    int countLog(const std::string& line)
    {
        std::lock_guard<std::mutex> g(mu);
        int n = 0;
        for (auto& l : log) n += l == line;
        return n;
    }
    std::vector<std::string> captions()
    {
        std::lock_guard<std::mutex> g(mu);
        return sentCaptions;
    }
    void clear()
    {
        std::lock_guard<std::mutex> g(mu);
        posted.clear();
        sentCaptions.clear();
        lights.clear();
        screen.clear();
        reported.clear();
        log.clear();
    }
};

// Never destroyed: runtime threads may still log while the process exits.
inline Recorder& g_rec = *new Recorder;

inline void recordPost(int msg, uintptr_t wparam)
{
    std::lock_guard<std::mutex> g(g_rec.mu);
    g_rec.posted.push_back({msg, wparam});
}

inline int fakeSendCaption(int length, const char* text)
{
    std::lock_guard<std::mutex> g(g_rec.mu);
    g_rec.sentCaptions.emplace_back(text, static_cast<size_t>(length));
    return g_rec.sendResult;
}
inline void fakeLights(int n)
{
    std::lock_guard<std::mutex> g(g_rec.mu);
    g_rec.lights.push_back(n);
}
inline void fakeScreen(const char* text, int length)
{
    std::lock_guard<std::mutex> g(g_rec.mu);
    g_rec.screen.emplace_back(text, static_cast<size_t>(length));
}
inline void fakeReport(const uint8_t* bytes, int length)
{
    std::lock_guard<std::mutex> g(g_rec.mu);
    g_rec.reported.emplace_back(reinterpret_cast<const char*>(bytes), static_cast<size_t>(length));
}
inline const ConsoleWindowHooks g_fakeHooks = {fakeSendCaption, fakeLights, fakeScreen, fakeReport};

inline void observeLog(uint32_t, const char* text, void*)
{
    std::lock_guard<std::mutex> g(g_rec.mu);
    g_rec.log.emplace_back(text);
}

inline ConsoleMailbox g_mailbox;
inline int g_dummyWindow;

// Publishes the fake window: poster, hooks, mailbox.
inline void publishFakeWindow()
{
    conMailboxInit(&g_mailbox);
    conSetMailbox(&g_mailbox);
    conSetPoster(recordPost);
    conSetWindowHooks(&g_fakeHooks);
    conPublish(&g_dummyWindow, 0x1234);
}

// Drains the mailbox into a vector.
inline std::vector<CapxMsg> drainMailbox()
{
    std::vector<CapxMsg> out;
    CapxMsg m;
    conMailboxDrain(&g_mailbox, &m, [](const CapxMsg* msg, void* user) {
        static_cast<std::vector<CapxMsg>*>(user)->push_back(*msg);
    }, &out);
    return out;
}

// A port on 127.0.0.1 where nothing listens.
inline int unusedPort()
{
    const int s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(s, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
    socklen_t len = sizeof sa;
    getsockname(s, reinterpret_cast<sockaddr*>(&sa), &len);
    close(s);
    return ntohs(sa.sin_port);
}

inline int connectLoopback(int port)
{
    const int s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    sa.sin_port = htons(static_cast<uint16_t>(port));
    if (connect(s, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) {
        close(s);
        return -1;
    }
    return s;
}

// A client socket that is closed when it goes out of scope, so that a test
// that stops at a failed assertion leaves no stenography connection behind.
class ClientSocket {
public:
    explicit ClientSocket(int fd) : fd_(fd) {}
    ~ClientSocket() { close(); }
    ClientSocket(const ClientSocket&) = delete;
    ClientSocket& operator=(const ClientSocket&) = delete;
    int fd() const { return fd_; }
    void close()
    {
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
    }

private:
    int fd_;
};

// True while the agent task waits for a message with none queued: whatever
// was posted to it before has been handled (and its notifications posted).
inline bool agentTaskIdle() { return poswait::taskWaitingIdle(CAPC_TASK_LOCAL_ID); }

inline void zero(CapxMsg& m) { std::memset(static_cast<void*>(&m), 0, sizeof m); }

// Brings the runtime up once per process: runtime, open gates, logging on
// with every line observed, the task "CAPA" with its stenography listener on
// a free port. Under CTest each test case runs in its own process; run as a
// whole, the cases share this runtime, so the fixture resets the record and
// the console context before each case and lets the links settle after it.
inline void startRuntimeOnce()
{
    static bool started = false;
    if (started) return;
    started = true;
    char dir[] = "/tmp/capatestXXXXXX";
    if (mkdtemp(dir) != nullptr) setenv("POS_DEBUG_DIR", dir, 1);
    conContextReset();
    ASSERT_EQ(posInit(99), 0);
    ASSERT_TRUE(waitUntil([] { return g_posLogTaskId.load() != 0; }));
    posLogOn(1);
    // Lines of plain threads go through the log task (and so to the observer).
    g_posConsoleUp = 1;
    posLogSetObserver(observeLog, nullptr);
    posGatesOpenAll();
    capcSetStenoPort(0);
    ASSERT_NE(capcCreateTask(), 0);
    ASSERT_TRUE(waitUntil([] { return capcStenoListenPort() > 0; }));
    ASSERT_TRUE(waitUntil(agentTaskIdle));
}

// Waits until the links of the case that ends are gone and the agent task has
// handled their last indications: a link thread reports its close as its
// last act, and the task turns that into a notification. Without this wait
// the notification of one case can reach the recorder of the next (cases
// share one process when the test program runs as a whole).
inline bool settleLinks(int timeoutMs = 10000)
{
    return waitUntil([] {
        return g_capcInfo.rxActive.load() == 0 && g_capcInfo.linkThreads.load() == 0 && agentTaskIdle();
    }, timeoutMs);
}

// Fixture: runtime with the agent task and the fake window, a simulator.
class AgentLink : public ::testing::Test {
protected:
    void SetUp() override
    {
        startRuntimeOnce();
        ASSERT_TRUE(settleLinks()) << "links of an earlier case still running";
        g_rec.clear();
        capcResetForTest();
        conContextReset();
        publishFakeWindow();
    }
    void TearDown() override
    {
        // Back to the recording poster first: a case's own poster (one that
        // restarts the link, say) must not act on the closes below.
        conSetPoster(recordPost);
        if (sim_) sim_->stop();
        EXPECT_TRUE(settleLinks()) << "link threads still running: " << g_capcInfo.linkThreads.load();
        conSetWindowHooks(nullptr);
    }

    // Starts a simulator and the server link towards it; waits for the open.
    void connect(SvcSimConfig cfg = {})
    {
        sim_ = std::make_unique<SvcSim>(std::move(cfg));
        ASSERT_GT(sim_->start(), 0) << sim_->lastError();
        ASSERT_EQ(capcSocketStart("127.0.0.1", sim_->port()), 0);
        ASSERT_TRUE(sim_->waitForClient(5000));
        ASSERT_TRUE(waitUntil([] { return g_rec.countPosted(WM_CAPC_SOCK_OPEN) == 1; }));
    }

    // Sends LOGIN and waits until the LOGIN_ACK reached the mailbox and the
    // simulator has the LOGIN in its frames (it answers a frame before it
    // stores it, so the answer alone does not say the LOGIN is stored: a
    // clearFrames() right after would otherwise race with it).
    void login()
    {
        ASSERT_EQ(capcTxLogin(&g_capcInfo.link, "agent", 5, "secret", 6, nullptr, 2, 8, 4, 0), 0);
        ASSERT_TRUE(waitUntil([] { return g_rec.countPosted(WM_CAPC_RX_MSG) >= 1; }));
        ASSERT_TRUE(sim_->waitForCount(CAPX_LOGIN, 1, 5000));
    }

    std::unique_ptr<SvcSim> sim_;
};

}  // namespace capatest
