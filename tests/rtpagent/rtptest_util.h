// Shared set-up of the voice path tests: a fresh runtime with the RTP task,
// a published console context with a recording poster, and helpers to wait
// for conditions and to look for audio in recordings.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <complex>
#include <cstdlib>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "concontext.h"
#include "pos.h"
#include "poswait.h"
#include "posinternal.h"
#include "rtpagent.h"

namespace rtptest {

using poswait::waitUntil;

class LogLines {
public:
    LogLines() { posLogSetObserver(&LogLines::observe, this); }
    ~LogLines() { posLogSetObserver(nullptr, nullptr); }
    std::vector<std::string> all()
    {
        std::lock_guard<std::mutex> g(mu_);
        return lines_;
    }
    int count(const std::string& text)
    {
        std::lock_guard<std::mutex> g(mu_);
        int n = 0;
        for (auto& l : lines_) n += l == text;
        return n;
    }
    int countPrefix(const std::string& prefix)
    {
        std::lock_guard<std::mutex> g(mu_);
        int n = 0;
        for (auto& l : lines_) n += l.rfind(prefix, 0) == 0;
        return n;
    }
    bool waitFor(const std::string& text, int timeoutMs = 5000)
    {
        return waitUntil([&] { return count(text) > 0; }, timeoutMs);
    }
    bool waitForPrefix(const std::string& prefix, int timeoutMs = 5000)
    {
        return waitUntil([&] { return countPrefix(prefix) > 0; }, timeoutMs);
    }
    void clear()
    {
        std::lock_guard<std::mutex> g(mu_);
        lines_.clear();
    }

private:
    static void observe(uint32_t, const char* text, void* ctx)
    {
        auto* self = static_cast<LogLines*>(ctx);
        std::lock_guard<std::mutex> g(self->mu_);
        self->lines_.emplace_back(text);
    }
    std::mutex mu_;
    std::vector<std::string> lines_;
};

inline std::atomic<int> g_voiceRxPosts{0};
inline void recordingPoster(int msg, uintptr_t)
{
    if (msg == WM_VOICE_RX) g_voiceRxPosts++;
}

inline int g_fakeWindow;

// Runtime, console context and the RTP task, as the start-up thread leaves them.
class VoiceRuntime : public ::testing::Test {
protected:
    void SetUp() override
    {
        char tmpl[] = "/tmp/rtptestXXXXXX";
        const char* d = mkdtemp(tmpl);
        setenv("POS_DEBUG_DIR", d ? d : "/tmp", 1);
        // Run as a whole, the program starts the runtime again for each case:
        // the log task of the previous runtime must not pass for the new one,
        // or the waits below end before the new log task is up.
        g_posLogTaskId.store(0);
        ASSERT_EQ(posInit(99), 0);
        ASSERT_TRUE(waitUntil([] { return g_posLogTaskId.load() != 0; }, 5000));
        posGatesOpenAll();
        // As after the start-up thread: every task's terminal log on, and
        // the console up so that lines of plain threads go through the log
        // task too.
        posLogOn(0);
        g_posConsoleUp.store(1);
        conContextReset();
        conSetPoster(recordingPoster);
        conPublish(&g_fakeWindow, 1);
        int err = 0;
        ASSERT_NE(rtpCreateTask(&err), 0) << err;
        // The ready flag stays set from an earlier case's task: wait until
        // this case's task has finished its start-up (its commands are
        // registered, the SAP is reset) and waits for its first message.
        ASSERT_TRUE(waitUntil([] { return rtpTaskReady() && rtpTaskWaiting(); }, 5000));
    }
    // A case that stopped at a failed assertion may leave its session
    // running; the next case's runtime must not meet it.
    void TearDown() override
    {
        rtpSapStop();
        waitSapIdle(3000);
    }
    // True while the RTP task waits for a message with none queued.
    static bool rtpTaskWaiting() { return poswait::taskWaitingIdle(RTP_TASK_LOCAL_ID); }
    RtpSap& sap() { return g_rtpAgent.sap[0]; }
    bool waitSapIdle(int timeoutMs = 5000)
    {
        return waitUntil([&] { return sap().state.load() == RTP_S_INIT; }, timeoutMs);
    }
    // Lives as long as the process: the log task may still be delivering a
    // line when a test ends.
    LogLines& log = *new LogLines;
};

// Distinct 20 ms frames: a slow ramp with a frame-specific offset.
inline std::vector<int16_t> markedAudio(int frames)
{
    std::vector<int16_t> v(static_cast<size_t>(frames) * 160);
    for (size_t i = 0; i < v.size(); ++i) {
        const double t = static_cast<double>(i) / 8000.0;
        v[i] = static_cast<int16_t>(6000 * std::sin(2 * M_PI * 440 * t) + 3000 * std::sin(2 * M_PI * 97 * t * t));
    }
    return v;
}

inline std::vector<int16_t> tone(double hz, size_t n, double amp = 8000)
{
    std::vector<int16_t> v(n);
    for (size_t i = 0; i < n; ++i) v[i] = static_cast<int16_t>(amp * std::sin(2 * M_PI * hz * double(i) / 8000.0));
    return v;
}

inline double power(const std::vector<int16_t>& s, size_t from, size_t n, double hz)
{
    std::complex<double> acc = 0;
    for (size_t i = 0; i < n && from + i < s.size(); ++i)
        acc += double(s[from + i]) * std::polar(1.0, -2 * M_PI * hz * double(i) / 8000.0);
    return std::norm(acc);
}

}  // namespace rtptest
