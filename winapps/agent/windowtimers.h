// Window timers by numeric id: one QTimer per id, periodic like the timers
// the console windows are written around. Starting a running timer restarts
// its period; each expiry calls the owner's handler with the id.
#pragma once

#include <QObject>
#include <functional>
#include <map>

class QTimer;

class WindowTimers {
public:
    using Handler = std::function<void(int id)>;

    // owner: parent of the QTimer objects (they live on its thread).
    WindowTimers(QObject* owner, Handler handler);
    ~WindowTimers();
    WindowTimers(const WindowTimers&) = delete;
    WindowTimers& operator=(const WindowTimers&) = delete;

    void start(int id, int periodMs);
    void stop(int id);
    bool isActive(int id) const;
    // Period of a timer that was started at least once, else -1.
    int interval(int id) const;
    void stopAll();

private:
    QObject* owner_;
    Handler handler_;
    std::map<int, QTimer*> timers_;
};
