#include "windowtimers.h"

#include <QTimer>

WindowTimers::WindowTimers(QObject* owner, Handler handler)
    : owner_(owner), handler_(std::move(handler))
{
}

WindowTimers::~WindowTimers()
{
    // The timers are children of the owner; stop them so that no expiry
    // reaches a handler whose object is being torn down.
    stopAll();
}

void WindowTimers::start(int id, int periodMs)
{
    QTimer*& timer = timers_[id];
    if (!timer) {
        timer = new QTimer(owner_);
        timer->setTimerType(Qt::PreciseTimer);
        QObject::connect(timer, &QTimer::timeout, owner_, [this, id] {
            if (handler_)
                handler_(id);
        });
    }
    timer->start(periodMs < 0 ? 0 : periodMs);
}

void WindowTimers::stop(int id)
{
    auto it = timers_.find(id);
    if (it != timers_.end() && it->second)
        it->second->stop();
}

bool WindowTimers::isActive(int id) const
{
    auto it = timers_.find(id);
    return it != timers_.end() && it->second && it->second->isActive();
}

int WindowTimers::interval(int id) const
{
    auto it = timers_.find(id);
    return it != timers_.end() && it->second ? it->second->interval() : -1;
}

void WindowTimers::stopAll()
{
    for (auto& entry : timers_)
        if (entry.second)
            entry.second->stop();
}
