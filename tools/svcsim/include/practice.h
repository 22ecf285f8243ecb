// Practice service: the service simulator acting as a small central service
// for an agent who wants to practise. Once the agent has joined (CA_SVC_STATE
// with inService 1) and while no call is in progress, it offers a call every
// interval: BROADCAST; on the agent's ASSIGN_REQ, ASSIGN_COMPLETE and a
// VOIP_SETUP towards its own voice endpoint; when the voice starts (the
// agent's first RTP packet), CONTROL CAP_START; after the passage and a short
// tail, RELEASE; then it waits for CALL_REPORT and RELEASE_COMPLETE. An offer
// nobody answers is withdrawn with RELEASE and made again later. The DATA the
// agent sends during the call is scored against the passage (practicescore.h)
// and one summary line per call is printed and appended to a text file and a
// CSV file.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "practicescore.h"
#include "svcsim.h"
#include "svcvoice.h"

struct PracticePassage {
    std::string name;                // file name without .wav
    std::vector<int16_t> audio;      // 8 kHz mono
    std::vector<std::string> words;  // normalised passage words; empty: no text to score against
    std::vector<int64_t> wordMs;     // start of each word, ms from the start of the audio
    bool timesEstimated = false;     // no timing file: times shared out over the voiced span
};

// A recording and, beside it, its text: NAME.words (word timing, preferred)
// or NAME.txt (times estimated). False with a reason when the audio cannot be
// read or is not 8 kHz mono, or the timing file is malformed.
bool practiceLoadPassage(const std::string& wavPath, PracticePassage* out, std::string* error);
// Every NAME.wav in dir, in name order. Returns false with a reason when dir
// cannot be read, holds no recording, or one of them cannot be loaded.
bool practiceLoadDir(const std::string& dir, std::vector<PracticePassage>* out, std::string* error);

struct PracticeConfig {
    std::vector<PracticePassage> passages;  // played in turn
    int intervalMs = 20000;     // from the end of one call (or offer) to the next offer
    int firstOfferMs = 3000;    // from joining to the first offer (at most intervalMs)
    int offerMs = 8000;         // an offer not answered by then is withdrawn
    int voiceWaitMs = 4000;     // from VOIP_SETUP to the agent's first RTP packet
    int tailMs = 3000;          // after the passage, for the last captions
    int releaseWaitMs = 10000;  // for the agent's RELEASE_COMPLETE
    int payloadType = 0;        // of the VOIP_SETUP: 0 PCMU, 18 G.729
    int releaseCause = 16;      // cause of the RELEASE the service sends
    SvcVoiceImpairment voiceImpair;   // faults put on the calls' voice streams
    std::string outDir;         // where practice.txt and practice.csv go; empty: no files
    FILE* out = stdout;         // summary lines
    FILE* log = stderr;         // progress lines
};

class PracticeService {
public:
    explicit PracticeService(PracticeConfig cfg);
    ~PracticeService();
    PracticeService(const PracticeService&) = delete;
    PracticeService& operator=(const PracticeService&) = delete;

    // Hooks the service into sim (before sim->start()) and starts its voice
    // endpoint; false with a reason in lastError(). The simulator calls the
    // service until it is stopped: stop sim before the service goes away.
    bool attach(SvcSim* sim);
    // Runs the practice calls against the started simulator.
    void start();
    void stop();
    const std::string& lastError() const { return lastError_; }
    std::string textPath() const;
    std::string csvPath() const;
    int voicePort() const { return voice_.port(); }
    size_t passageCount() const { return cfg_.passages.size(); }

    // Summary lines of the calls scored so far.
    std::vector<std::string> summaries();
    bool waitSummaries(size_t n, int timeoutMs);
    // Offers withdrawn so far.
    int withdrawn();
    // While held, no call is offered; the first offer comes the usual first
    // delay after the hold ends.
    void hold(bool on) { held_ = on; }

private:
    enum class State { Idle, Offered, Withdrawing, SettingUp, Playing, Releasing };
    using Clock = std::chrono::steady_clock;

    struct Event {
        SvcSimFrame frame;
        int conn = 0;
    };
    void onFrame(const SvcSimFrame& f, int conn);
    void run();
    void handle(const Event& e);
    void tick(Clock::time_point now);
    void offer(Clock::time_point now);
    void logVoiceFigures(Clock::time_point until);
    void answer();
    void sendRelease(const char* why);
    void endCall(const std::string& ended, Clock::time_point endAt);
    void abortCall(const std::string& why, Clock::time_point at);
    void toIdle(Clock::time_point now);
    void writeSummary(const std::string& line, const std::string& csvRow);
    void logf(const char* fmt, ...) __attribute__((format(printf, 2, 3)));
    int send(CapxMsg& m);

    PracticeConfig cfg_;
    SvcSim* sim_ = nullptr;
    SvcVoice voice_;
    std::string lastError_;
    std::thread thread_;
    std::atomic<bool> stopping_{false};
    std::atomic<bool> held_{false};

    std::mutex mu_;                 // the event queue and the results
    std::condition_variable cv_;
    std::deque<Event> events_;
    std::vector<std::string> summaries_;
    int withdrawn_ = 0;

    // Practice thread only.
    State state_ = State::Idle;
    bool joined_ = false;
    int conn_ = 0;
    Clock::time_point nextOfferAt_{};
    Clock::time_point deadline_{};      // of the current state
    Clock::time_point voiceStart_{};
    int callNo_ = 0;
    size_t next_ = 0;                   // next passage
    const PracticePassage* passage_ = nullptr;
    size_t sentBase_ = 0;
    std::vector<PracticeCaptionChunk> chunks_;
    size_t captionBytes_ = 0;
    // What went over in the current call, for the check against its CALL_REPORT.
    size_t callDataBytes_ = 0;
    int callDataFrames_ = 0;
    std::string ended_;
    Clock::time_point endAt_{};
    bool reportSeen_ = false;
};
