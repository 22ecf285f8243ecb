#include "consoleevent.h"

#include "concontext.h"

#include <QCoreApplication>
#include <mutex>

ConsoleEvent::ConsoleEvent(int message, uintptr_t wparam, intptr_t lparam)
    : QEvent(QEvent::Type(message)), wparam_(wparam), lparam_(lparam)
{
}

bool ConsoleEvent::isConsoleEvent(const QEvent* e)
{
    return e && int(e->type()) >= CON_MESSAGE_FIRST && int(e->type()) <= CON_MESSAGE_LAST;
}

void postConsoleEvent(QObject* target, int message, uintptr_t wparam, intptr_t lparam)
{
    if (!target || message < CON_MESSAGE_FIRST || message > CON_MESSAGE_LAST)
        return;
    QCoreApplication::postEvent(target, new ConsoleEvent(message, wparam, lparam));
}

namespace {
std::mutex g_targetLock;
QObject* g_target = nullptr;

// The console context's poster: runs on the posting thread.
void qtConsolePoster(int msg, uintptr_t wparam)
{
    postToConsole(msg, wparam, 0);
}
}  // namespace

void setConsoleEventTarget(QObject* target)
{
    {
        std::lock_guard<std::mutex> hold(g_targetLock);
        g_target = target;
    }
    conSetPoster(target ? &qtConsolePoster : nullptr);
}

QObject* consoleEventTarget()
{
    std::lock_guard<std::mutex> hold(g_targetLock);
    return g_target;
}

bool postToConsole(int message, uintptr_t wparam, intptr_t lparam)
{
    // The lock is held over the post so that the target cannot be destroyed
    // between the check and postEvent.
    std::lock_guard<std::mutex> hold(g_targetLock);
    if (!g_target || message < CON_MESSAGE_FIRST || message > CON_MESSAGE_LAST)
        return false;
    QCoreApplication::postEvent(g_target, new ConsoleEvent(message, wparam, lparam));
    return true;
}
