// Test support for the console suites: an in-process runtime whose log lines
// are captured through the log observer, a command runner that returns the
// exact output of one console line, and a recording shell runner.
#pragma once

#include "posconint.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <functional>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <string>
#include <vector>

namespace contest {

// Every line the log task takes, in order.
class LogCapture {
public:
    void add(const char* text) {
        std::lock_guard<std::mutex> g(m_);
        text_ += text;
        cv_.notify_all();
    }
    void clear() {
        std::lock_guard<std::mutex> g(m_);
        text_.clear();
    }
    std::string text() {
        std::lock_guard<std::mutex> g(m_);
        return text_;
    }
    // Waits until the captured text contains `what` (bounded).
    bool waitFor(const std::string& what, int ms = 5000) {
        std::unique_lock<std::mutex> g(m_);
        return cv_.wait_for(g, std::chrono::milliseconds(ms),
                            [&] { return text_.find(what) != std::string::npos; });
    }
    // Removes and returns the text before `marker`, dropping the marker and
    // keeping whatever came after it.
    std::string takeUntil(const std::string& marker) {
        std::lock_guard<std::mutex> g(m_);
        size_t p = text_.find(marker);
        if (p == std::string::npos) return std::string();
        std::string head = text_.substr(0, p);
        text_.erase(0, p + marker.size());
        return head;
    }
    // Occurrences of `what` in the captured text.
    int count(const std::string& what) {
        std::lock_guard<std::mutex> g(m_);
        int n = 0;
        for (size_t p = text_.find(what); p != std::string::npos; p = text_.find(what, p + what.size())) ++n;
        return n;
    }

private:
    std::mutex m_;
    std::condition_variable cv_;
    std::string text_;
};

// The runtime's threads outlive main(): the log task may still hand a line to
// the observer, and a job may still run the shell, while the process exits.
// What they write to is therefore never destroyed.
inline LogCapture& capture() {
    static LogCapture& c = *new LogCapture;
    return c;
}

inline std::vector<std::string>& shellCalls() {
    static std::vector<std::string>& v = *new std::vector<std::string>;
    return v;
}
inline std::mutex& shellLock() {
    static std::mutex& m = *new std::mutex;
    return m;
}
inline int recordingShell(const char* command) {
    std::lock_guard<std::mutex> g(shellLock());
    shellCalls().push_back(command ? command : "");
    return 0;
}
inline std::vector<std::string> shellCallsCopy() {
    std::lock_guard<std::mutex> g(shellLock());
    return shellCalls();
}

constexpr const char* kEnd = "\x01END\x01";

// One runtime per test process (CTest runs each test in its own process).
class Runtime : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        static bool started = false;
        if (started) return;
        started = true;
        static char dir[] = "/tmp/posconXXXXXX";
        if (mkdtemp(dir)) setenv("POS_DEBUG_DIR", dir, 1);
        posSetShellRunner(recordingShell);
        posLogSetObserver([](uint32_t, const char* text, void*) { capture().add(text); }, nullptr);
        ASSERT_EQ(0, posInit(99));
        posLogOn(1);
        g_posConsoleUp.store(1);   // non-task threads log through the log task
        posHistoryClear();
        posConRegisterBuiltins();
        posConSetPrompt("QLAG99");
    }

    // Every test starts from the same runtime state, whether it runs in a
    // process of its own or after others in one process: empty history, no
    // recorded shell calls, the log switches of the start, no error text.
    void SetUp() override {
        settle();
        posHistoryClear();
        {
            std::lock_guard<std::mutex> g(shellLock());
            shellCalls().clear();
        }
        g_posConsoleUp.store(1);
        posLogOn(1);
        posLogDspTaskId(0);
        posSetLastErr("%s", "");
        settle();
        capture().clear();
    }

    // Stops the periodic jobs a test left running and gives the user task
    // slots back (task threads cannot end: a released one stays idle in its
    // receive, unreachable), so the next test can create its tasks again.
    void TearDown() override {
        for (int id : runningJobs()) posPeriodKill(id);
        for (int id = 1; id <= POS_MAX_USER_TASK; ++id) {
            if (__atomic_exchange_n(&g_posUserTasks[id], nullptr, __ATOMIC_ACQ_REL) != nullptr)
                g_posTaskCount.fetch_sub(1);
        }
        settle();
    }

    // Job ids shown by periodDsp.
    static std::vector<int> runningJobs() {
        settle();
        capture().clear();
        posPeriodDsp();
        posLogPrint("%s", kEnd);
        EXPECT_TRUE(capture().waitFor(kEnd));
        const std::string text = capture().takeUntil(kEnd);
        std::vector<int> ids;
        for (size_t p = text.find(" 0x"); p != std::string::npos; p = text.find(" 0x", p + 3))
            ids.push_back(static_cast<int>(std::strtoul(text.c_str() + p + 1, nullptr, 16)));
        capture().clear();
        return ids;
    }

    // Waits until every line logged so far has passed the log task.
    static void settle() {
        posLogPrint("%s", kEnd);
        ASSERT_TRUE(capture().waitFor(kEnd));
        capture().takeUntil(kEnd);
    }

    // Runs one console line as the console does and returns its exact output.
    static std::string exec(const std::string& line, int* codeOut = nullptr, int* valueOut = nullptr) {
        capture().clear();
        int value = -12345;
        int code = posExecCmd(line.c_str(), &value);
        posCmdResult(code, value);
        if (codeOut) *codeOut = code;
        if (valueOut) *valueOut = value;
        posLogPrint("%s", kEnd);
        EXPECT_TRUE(capture().waitFor(kEnd)) << line;
        return capture().takeUntil(kEnd);
    }

    static std::string value(int v) { return "\r\nvalue = " + std::to_string(v) + "\r\nQLAG99> "; }
};

// A task whose thread runs closures on request and hands sticks addressed to
// an entity (p1) over to `entity`.
struct HarnessTask {
    int localId = 0;
    PosEntity* entity = nullptr;
    std::mutex m;
    std::condition_variable cv;
    std::vector<int> txResults;   // results of posEntityTx
};

}  // namespace contest

namespace contest {

// A test task: registers, then serves requests to run code on its thread and
// hands sticks addressed to an entity (p1 not 0xFFFFFF) to `entity`,
// recording posEntityTx's results.
constexpr uint32_t PRIM_RUN = 0x7E000001;

struct TestTask {
    int localId = 0;
    std::atomic<PosEntity*> entity{nullptr};
    std::mutex m;
    std::condition_variable cv;
    std::vector<int> txResults;
    std::vector<uint32_t> otherPrims;
};

inline TestTask*& testTaskSlot(int localId) {
    static TestTask* slots[POS_MAX_USER_TASK + 1];
    return slots[localId];
}

inline void testTaskEntry(PosTask* task) {
    posResTask(task, "tester", "unit", 2, 8, 4, "May 26 2020", "18:44:38");
    TestTask* self = testTaskSlot(task->localId);
    for (;;) {
        Stick* s = nullptr;
        uint32_t src = 0;
        int err = 0;
        uint32_t prim = posRxMsg(&s, &src, &err);
        if (!s) continue;
        if (prim == PRIM_RUN) {
            std::function<void()>* fn;
            memcpy(&fn, s->data, sizeof fn);
            posFreeStick(&s, POS_HERE);
            (*fn)();
            continue;
        }
        PosEntity* e = self->entity.load();
        if (e && s->p1 != POS_NO_ENTITY) {
            int rc = posEntityTx(e, &s);
            std::lock_guard<std::mutex> g(self->m);
            self->txResults.push_back(rc);
            self->cv.notify_all();
            continue;
        }
        {
            std::lock_guard<std::mutex> g(self->m);
            self->otherPrims.push_back(prim);
            self->cv.notify_all();
        }
        posFreeStick(&s, POS_HERE);
    }
}

// Creates a test task and lets it pass its start gate.
inline TestTask* startTestTask(const char* name, int localId, int priority = 100) {
    TestTask* t = new TestTask;
    t->localId = localId;
    testTaskSlot(localId) = t;
    int err = 0;
    if (posCreateTask(testTaskEntry, name, localId, priority, 0xFFFF, 500, 50000, &err) == 0) return nullptr;
    // Registered and waiting in receive before it is used; released like
    // the tasks of start-up (a task registering after the release keeps its
    // held flag, which the release clears).
    PosTask* pt = posGetTask(localId);
    for (int i = 0; i < 5000; ++i) {
        posGatesOpenAll();
        if (pt && __atomic_load_n(&pt->regMark, __ATOMIC_ACQUIRE) == POS_TASK_REGISTERED &&
            (__atomic_load_n(&pt->stateFlags, __ATOMIC_ACQUIRE) & POS_TASK_PENDING)) {
            posGatesOpenAll();
            return t;
        }
        posMsecSleep(1);
    }
    return nullptr;
}

// Runs fn on the task's thread and waits (bounded) until it has run.
inline bool runOnTask(int localId, std::function<void()> fn, int ms = 5000) {
    std::mutex m;
    std::condition_variable cv;
    bool done = false;
    std::function<void()> wrapped = [&] {
        fn();
        std::lock_guard<std::mutex> g(m);
        done = true;
        cv.notify_all();
    };
    std::function<void()>* ptr = &wrapped;
    Stick* s = nullptr;
    uint8_t* data = posAllocMsg(PRIM_RUN, 0, POS_NO_ENTITY, POS_NO_ENTITY, sizeof ptr, &s);
    if (!data) return false;
    memcpy(data, &ptr, sizeof ptr);
    if (posTxMsg(localId, &s, POS_HERE) != 0) return false;
    std::unique_lock<std::mutex> g(m);
    return cv.wait_for(g, std::chrono::milliseconds(ms), [&] { return done; });
}

}  // namespace contest
