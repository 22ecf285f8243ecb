// Console notifications on the user-interface thread.
//
// The tasks post window messages 1024..1038 (WM_USER + n) to the console. In
// this application each one becomes a ConsoleEvent whose QEvent::Type is the
// message number, posted with QCoreApplication::postEvent to the published
// target object, so handlers run on the user-interface thread in the order
// the messages were posted.
#pragma once

#include <QEvent>
#include <cstdint>

class QObject;

// The message numbers (WM_USER .. WM_VOICE_RX) are the console context's
// ConsoleMessage values; control ids live in the dialogs' own enums.

class ConsoleEvent : public QEvent {
public:
    ConsoleEvent(int message, uintptr_t wparam, intptr_t lparam = 0);

    int message() const { return int(type()); }
    uintptr_t wparam() const { return wparam_; }
    intptr_t lparam() const { return lparam_; }

    // True for the event types 1024..1038.
    static bool isConsoleEvent(const QEvent* e);

private:
    uintptr_t wparam_;
    intptr_t lparam_;
};

// Posts message to target (any thread). Out-of-range numbers are ignored.
void postConsoleEvent(QObject* target, int message, uintptr_t wparam, intptr_t lparam = 0);

// The target of the tasks' notifications. Until a target is set (the main
// window publishing itself) notifications go nowhere. Setting the target
// also installs the poster into the console context, so conPostMessage from
// any thread reaches it; clearing it (nullptr, e.g. from the target's
// destructor) waits until no post to the old target is in progress.
void setConsoleEventTarget(QObject* target);
QObject* consoleEventTarget();
// Posts to the current target, if any; returns true when posted.
bool postToConsole(int message, uintptr_t wparam, intptr_t lparam = 0);
