// Window routines that other threads call (the caption screen, the caption
// transmit routine, the pipeline lights) run on the user-interface thread:
// a call from another thread is queued to the context object's thread and
// the caller blocks until it has run, which keeps both the result and the
// order of calls. The user-interface thread never waits on a task, so the
// blocking call cannot deadlock.
#pragma once

#include <QMetaObject>
#include <QObject>
#include <QThread>
#include <type_traits>
#include <utility>

template <class F>
auto runOnUiThread(QObject* context, F&& fn) -> std::invoke_result_t<F&>
{
    using R = std::invoke_result_t<F&>;
    if (!context || QThread::currentThread() == context->thread())
        return fn();
    if constexpr (std::is_void_v<R>) {
        QMetaObject::invokeMethod(context, std::forward<F>(fn), Qt::BlockingQueuedConnection);
    } else {
        R result{};
        QMetaObject::invokeMethod(context, std::forward<F>(fn), Qt::BlockingQueuedConnection,
                                  &result);
        return result;
    }
}

// For routines without a result: a call from another thread is queued to the
// context object's thread and the caller goes on at once. Calls queued this
// way and by runOnUiThread from one thread run in the order they were made.
template <class F>
void postToUiThread(QObject* context, F&& fn)
{
    if (!context || QThread::currentThread() == context->thread()) {
        fn();
        return;
    }
    QMetaObject::invokeMethod(context, std::forward<F>(fn), Qt::QueuedConnection);
}
