// Service simulator: the central service's side of the agent link, built on
// the same coder. It accepts one agent client at a time, answers LOGIN with a
// LOGIN_ACK (result, mode, link key and text as configured), sends KEEP_ALIVE
// at a set period, acknowledges DATA, plays a scripted call (messages at given
// times after the login or in answer to given client messages), and records
// every frame it receives. A library for the tests and a program for people.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "capxmsgcoder.h"

struct SvcSimStep {
    enum Trigger { AtMs, OnMessage };
    Trigger trigger = AtMs;
    int delayMs = 0;   // AtMs: after the accepted login; OnMessage: after the trigger message
    int onMsgId = -1;  // OnMessage: the client message that triggers the step (once)
    CapxMsg msg{};     // the message to send
};

// Parses one script line:
//   at <ms> <MESSAGE TEXT>
//   on <MESSAGE NAME> [+<ms>] <MESSAGE TEXT>
// The message text is the coder's text form ("CONTROL control=1"). Empty
// lines and lines starting with '#' give 0 and leave step alone. Returns 1
// for a step, 0 for nothing, -1 with a reason in err.
int svcSimParseStep(const std::string& line, SvcSimStep* step, std::string* err);
// Reads a script file; returns -1 with a reason (file and line) in err.
int svcSimLoadScript(const std::string& path, std::vector<SvcSimStep>* steps, std::string* err);

struct SvcSimConfig {
    int port = 0;                         // 0: any free port (see SvcSim::port)
    std::string bindAddress = "127.0.0.1";

    // LOGIN handling.
    bool answerLogin = true;
    int loginResult = 0;
    int loginMode = 0;
    int linkKey = 0;                      // eValue of the LOGIN_ACK
    // The link key outlives a connection, as the client's does; true starts
    // each new connection with key 0.
    bool resetKeyPerConnection = false;
    int upgradeRequired = 0;
    uint32_t agentId = 7;
    std::string loginMsg;
    // Plain credentials to verify (empty: accept any); a mismatch answers
    // with result 1.
    std::string expectUserId;
    std::string expectPassword;
    // Sends the first KEEP_ALIVE in the same write as the LOGIN_ACK.
    bool keepAliveWithLoginAck = false;

    // KEEP_ALIVE, sent every period after an accepted login (0: never).
    int keepAlivePeriodMs = 0;
    uint16_t kaCurCaCount = 0;
    uint8_t kaCaState = 0;
    uint8_t kaDoNotPause = 0;

    // DATA acknowledgement.
    bool answerData = true;
    int dataAckResult = 0;
    int dataAckDelayMs = 0;

    // LOGOUT answered with LOGOUT_ACK (result 0).
    bool answerLogout = true;

    std::vector<SvcSimStep> script;

    // Receive buffer of the client connections (SO_RCVBUF; 0: the system's).
    // A small one lets a client that keeps sending fill the window quickly.
    int rcvBuf = 0;
    // Progress lines of stopReading(); null: none.
    FILE* log = nullptr;

    // Every received frame as one text line ("RX ..."); null: none.
    FILE* trace = nullptr;
    // Starts each trace line with "[<connection> <ms>] ", ms on the
    // CLOCK_MONOTONIC clock, so a script can time frames against its own events.
    bool traceTimes = false;

    // Called just before a scripted VOIP_SETUP goes out; a voice endpoint can
    // start here and fill in its own address, port and payload type.
    std::function<void(CapxMsg& voipSetup)> onVoipSetup;
    // Called for each VOIP_SETUP_COMPLETE and RELEASE/RELEASE_COMPLETE the
    // client sends (a voice endpoint can stop here).
    std::function<void(const CapxMsg& msg)> onClientMessage;
};

struct SvcSimFrame;
// Called on the reading thread for every frame the client sends, after the
// automatic answers, with the number of the connection it came on (see
// connections()); the frame is also recorded as usual.
using SvcSimFrameHook = std::function<void(const SvcSimFrame& frame, int conn)>;

struct SvcSimFrame {
    std::vector<uint8_t> wire;    // as received (link key applied)
    std::vector<uint8_t> frame;   // link key removed
    int id = -1;                  // message id (254 for the link probe)
    CapxMsg msg{};                // decoded (not for the probe)
    std::chrono::steady_clock::time_point at;
};

class SvcSim {
public:
    explicit SvcSim(SvcSimConfig config = {});
    ~SvcSim();
    SvcSim(const SvcSim&) = delete;
    SvcSim& operator=(const SvcSim&) = delete;

    // Listens and starts serving; returns the port, or -1 (reason in lastError()).
    int start();
    void stop();
    int port() const { return port_; }
    std::string lastError() const { return lastError_; }

    bool waitForClient(int timeoutMs);
    bool connected();
    int connections();             // clients accepted so far
    // The connection of the last accepted login (0: none yet).
    int loginConnection();
    // Closes the current client connection.
    void closeClient();
    // Stops reading the current client connection (between two frames) for
    // ms: what the client sends waits in the receive buffer until the window
    // is full. Ends early when the client ends the link; otherwise the
    // connection is closed when the time is up. Logs when it stopped, when
    // the client ended the link and how many bytes had been waiting.
    void stopReading(int ms);

    // Encodes msg, applies the current link key and writes the frame whole.
    int send(const CapxMsg& msg);
    int sendText(const std::string& text);     // coder text form
    // Writes bytes as they are (no key, no framing).
    int sendRaw(const std::vector<uint8_t>& bytes);
    // Writes bytes in pieces of chunk bytes with a pause between them.
    int sendRawPaced(const std::vector<uint8_t>& bytes, int chunk, int pauseMs);
    // The frame send() would write for msg (link key applied).
    std::vector<uint8_t> frameFor(const CapxMsg& msg);

    // Received frames, oldest first.
    std::vector<SvcSimFrame> frames();
    size_t frameCount();
    int count(int id);
    // Waits until count(id) >= n.
    bool waitForCount(int id, int n, int timeoutMs);
    bool waitFor(const std::function<bool(const std::vector<SvcSimFrame>&)>& pred, int timeoutMs);
    void clearFrames();

    uint8_t linkKey();
    void setLinkKey(uint8_t key);
    // Starts or stops the periodic KEEP_ALIVE (period 0 stops).
    void setKeepAlive(int periodMs, uint16_t curCaCount, uint8_t caState, uint8_t doNotPause);
    void setDataAck(bool answer, int result, int delayMs);
    // Changes the caState that the next KEEP_ALIVEs carry, keeping their timing.
    void setKeepAliveState(uint8_t caState);
    // Set before start().
    void setFrameHook(SvcSimFrameHook hook) { frameHook_ = std::move(hook); }

private:
    struct Pending {
        std::chrono::steady_clock::time_point due;
        std::vector<uint8_t> raw;  // raw bytes, or
        CapxMsg msg{};             // a message to encode when due
        bool isRaw = false;
        bool keepAlive = false;
        int conn = 0;              // connection it belongs to
    };

    void acceptLoop();
    void readLoop(int fd, int conn);
    void stallLoop(int fd, int conn, int ms);
    void schedulerLoop();
    void handleFrame(const SvcSimFrame& f, int conn);
    void schedule(Pending p);
    void scheduleMsg(const CapxMsg& msg, int delayMs, int conn);
    void startKeepAlive(int conn);
    void onLoginAccepted(int conn);
    int writeAll(const uint8_t* p, size_t n);
    int sendLocked(const CapxMsg& msg);

    SvcSimConfig cfg_;
    SvcSimFrameHook frameHook_;
    int listenFd_ = -1;
    int port_ = -1;
    std::string lastError_;
    std::atomic<bool> stopping_{false};
    std::thread acceptThread_;
    std::thread schedThread_;
    std::vector<std::thread> readers_;

    std::mutex mu_;                 // everything below
    std::condition_variable cv_;
    int clientFd_ = -1;
    int conn_ = 0;                  // current connection number
    int loginConn_ = 0;             // connection of the last accepted login
    uint8_t key_ = 0;               // link key in force
    std::vector<SvcSimFrame> frames_;
    std::vector<Pending> pending_;
    std::vector<bool> stepFired_;
    uint8_t seqNo_ = 0;
    std::atomic<int> stallConn_{0};  // connection asked to stop reading
    std::atomic<int> stallMs_{0};
    std::mutex writeMu_;            // whole-frame writes
};
