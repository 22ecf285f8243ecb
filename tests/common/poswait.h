// Bounded waits shared by the tests that run the runtime: a condition polled
// until it holds or the time is up, and "this task has handled everything
// posted to it".
#pragma once

#include "pos.h"
#include "posinternal.h"

#include <pthread.h>

#include <chrono>
#include <functional>
#include <thread>

namespace poswait {

// Polls pred() every pollMs until it holds; false if it still does not hold
// once timeoutMs have passed (it is asked once more at the end, so a
// condition met just at the limit counts).
inline bool waitUntil(const std::function<bool()>& pred, int timeoutMs = 5000, int pollMs = 1)
{
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!pred()) {
        if (std::chrono::steady_clock::now() > end) return pred();
        std::this_thread::sleep_for(std::chrono::milliseconds(pollMs));
    }
    return true;
}

// True while the task waits for a message with none queued: whatever was
// posted to it before has been handled (and what it posted in turn is out).
inline bool taskWaitingIdle(int localId)
{
    PosTask* t = posGetTask(localId);
    if (t == nullptr) return false;
    PosTaskQueue& q = t->queue;
    pthread_mutex_lock(&q.lock);
    const bool idle = q.count == 0 && q.receiversWaiting > 0;
    pthread_mutex_unlock(&q.lock);
    return idle;
}

}  // namespace poswait
