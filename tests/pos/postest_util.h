// Shared helpers of the runtime tests: a fresh runtime per test process, code
// run on a real task thread, and a log observer that records every line.
#pragma once

#include "pos.h"
#include "posinternal.h"
#include "poswait.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

namespace postest {

// Reads a field that runtime threads change without a lock (they use atomic
// access for these fields too).
template <typename T>
T ld(const T& field) {
    return __atomic_load_n(&field, __ATOMIC_ACQUIRE);
}

// The task's last-error text, read under its queue lock (where it is written).
inline std::string lastErrorOf(PosTask* t) {
    pthread_mutex_lock(&t->queue.lock);
    std::string s = t->lastError;
    pthread_mutex_unlock(&t->queue.lock);
    return s;
}

inline int queueCountOf(PosTask* t) {
    pthread_mutex_lock(&t->queue.lock);
    int n = t->queue.count;
    pthread_mutex_unlock(&t->queue.lock);
    return n;
}

using poswait::waitUntil;

// Records every line the log task takes.
class LogCapture {
public:
    struct Line {
        uint32_t sender;
        std::string text;
    };
    LogCapture() { posLogSetObserver(&LogCapture::observe, this); }
    ~LogCapture() { posLogSetObserver(nullptr, nullptr); }

    std::vector<Line> lines() {
        std::lock_guard<std::mutex> g(mu_);
        return lines_;
    }
    bool has(const std::string& text) {
        std::lock_guard<std::mutex> g(mu_);
        for (auto& l : lines_)
            if (l.text == text) return true;
        return false;
    }
    bool waitFor(const std::string& text, int timeoutMs = 5000) {
        return waitUntil([&] { return has(text); }, timeoutMs);
    }
    bool waitForCount(size_t n, int timeoutMs = 5000) {
        return waitUntil(
            [&] {
                std::lock_guard<std::mutex> g(mu_);
                return lines_.size() >= n;
            },
            timeoutMs);
    }
    void clear() {
        std::lock_guard<std::mutex> g(mu_);
        lines_.clear();
    }

private:
    static void observe(uint32_t sender, const char* text, void* ctx) {
        auto* self = static_cast<LogCapture*>(ctx);
        std::lock_guard<std::mutex> g(self->mu_);
        self->lines_.push_back({sender, text});
    }
    std::mutex mu_;
    std::vector<Line> lines_;
};

// Bodies of test tasks, indexed by local id. A test task registers, runs its
// body once, reports completion and then keeps receiving (and freeing).
struct TaskBody {
    std::function<void(PosTask*)> fn;
    std::mutex mu;
    std::condition_variable cv;
    bool done = false;
};
// Never destroyed: task threads outlive the test body.
inline TaskBody* const g_bodies = new TaskBody[POS_MAX_USER_TASK + 1];

inline void testTaskEntry(PosTask* t) {
    posResTask(t, "TEST", "UNIT", 1, 0, 0, __DATE__, __TIME__);
    TaskBody& b = g_bodies[t->localId];
    if (b.fn) b.fn(t);
    {
        std::lock_guard<std::mutex> g(b.mu);
        b.done = true;
    }
    b.cv.notify_all();
    for (;;) {
        Stick* s = nullptr;
        uint32_t src = 0;
        int err = 0;
        posRxMsg(&s, &src, &err);
        posFreeStick(&s, POS_HERE);
    }
}

// Creates task localId running fn. The task's gate must be open for fn to run.
inline int startTask(int localId, std::function<void(PosTask*)> fn, int queueLimit = 0xFFFF,
                     const char* name = "TEST") {
    g_bodies[localId].fn = std::move(fn);
    g_bodies[localId].done = false;
    int err = -1;
    return posCreateTask(testTaskEntry, name, localId, 100, queueLimit, 500, 50000, &err);
}

inline bool waitTaskDone(int localId, int timeoutMs = 10000) {
    TaskBody& b = g_bodies[localId];
    std::unique_lock<std::mutex> g(b.mu);
    return b.cv.wait_for(g, std::chrono::milliseconds(timeoutMs), [&] { return b.done; });
}

// Runs fn on a fresh task and waits for it.
inline bool runInTask(int localId, std::function<void(PosTask*)> fn, int queueLimit = 0xFFFF) {
    if (startTask(localId, std::move(fn), queueLimit) == 0) return false;
    return waitTaskDone(localId);
}

inline std::string makeTempDir() {
    char tmpl[] = "/tmp/postestXXXXXX";
    const char* d = mkdtemp(tmpl);
    return d ? d : "/tmp";
}

// A started runtime with open gates (as after posStartConsole's release) and
// the debug file in a private folder.
class Runtime : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ = makeTempDir();
        setenv("POS_DEBUG_DIR", dir_.c_str(), 1);
        ASSERT_EQ(posInit(99), 0);
        ASSERT_TRUE(waitUntil([] { return g_posLogTaskId.load() != 0; }));
        // As after posStartConsole: gates open, console up (lines of threads
        // that are no task go through the log task).
        posGatesOpenAll();
        g_posConsoleUp.store(1);
    }
    std::string dir_;
};

inline int poolFree(int cls) { return posQueueCount(&g_posPools[cls].freeQ); }

}  // namespace postest
