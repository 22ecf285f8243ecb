// The console mailbox: 20 preallocated entries moving between a free list and
// a ready list, each list under its own lock with waits bounded to 1000 ms.
#include <chrono>
#include <cstring>
#include <thread>

#include "concontext.h"
#include "pos.h"

namespace {

std::atomic<ConsoleMailbox*> g_mailbox{nullptr};

// Takes m, waiting at most 1000 ms. Polls try_lock (yielding, then in short
// sleeps): the lists are held only for a few pointer moves, and a plain mutex
// keeps the locking visible to the thread checkers.
bool lockBounded(std::mutex& m)
{
    if (m.try_lock()) return true;
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(CON_MAILBOX_LOCK_WAIT_MS);
    for (int spins = 0;; ++spins) {
        if (m.try_lock()) return true;
        if (std::chrono::steady_clock::now() >= end) return false;
        if (spins < 64) std::this_thread::yield();
        else std::this_thread::sleep_for(std::chrono::microseconds(100));
    }
}

// Returns an entry to the free list. The entry must never be lost, so this
// waits again (with a log line per missed bound) until it has the lock.
void returnToFree(ConsoleMailbox* mb, ConsoleMailboxEntry* e)
{
    while (!lockBounded(mb->freeLock)) {
        mb->lockTimeouts.fetch_add(1);
        posLogPrint("CONS] mailbox free-list lock wait over %d ms; retrying\n",
                    CON_MAILBOX_LOCK_WAIT_MS);
    }
    e->next = nullptr;
    if (mb->freeTail != nullptr) mb->freeTail->next = e;
    else mb->freeHead = e;
    mb->freeTail = e;
    ++mb->freeCount;
    mb->freeLock.unlock();
}

}  // namespace

void conMailboxInit(ConsoleMailbox* mb)
{
    mb->freeHead = nullptr;
    mb->freeTail = nullptr;
    mb->freeCount = 0;
    mb->readyHead = nullptr;
    mb->readyTail = nullptr;
    mb->readyCount = 0;
    mb->dropped = 0;
    mb->lockTimeouts = 0;
    for (auto& e : mb->entries) {
        e.length = 0;
        e.next = nullptr;
        if (mb->freeTail != nullptr) mb->freeTail->next = &e;
        else mb->freeHead = &e;
        mb->freeTail = &e;
        ++mb->freeCount;
    }
}

int conMailboxPut(ConsoleMailbox* mb, const CapxMsg* msg)
{
    if (mb == nullptr) return CON_MB_NO_MAILBOX;
    if (!lockBounded(mb->freeLock)) {
        mb->lockTimeouts.fetch_add(1);
        mb->dropped.fetch_add(1);
        posLogPrint("CONS] mailbox free-list lock wait over %d ms; message %d dropped\n",
                    CON_MAILBOX_LOCK_WAIT_MS, static_cast<int>(reinterpret_cast<const uint8_t*>(msg)[0]));
        return CON_MB_LOCK_TIMEOUT;
    }
    ConsoleMailboxEntry* e = mb->freeHead;
    if (e == nullptr) {
        mb->freeLock.unlock();
        mb->dropped.fetch_add(1);
        return CON_MB_FULL;
    }
    mb->freeHead = e->next;
    if (mb->freeHead == nullptr) mb->freeTail = nullptr;
    --mb->freeCount;
    mb->freeLock.unlock();

    std::memcpy(e->buffer, msg, sizeof(CapxMsg));
    e->length = static_cast<int32_t>(sizeof(CapxMsg));
    e->next = nullptr;

    if (!lockBounded(mb->readyLock)) {
        mb->lockTimeouts.fetch_add(1);
        mb->dropped.fetch_add(1);
        posLogPrint("CONS] mailbox ready-list lock wait over %d ms; message %d dropped\n",
                    CON_MAILBOX_LOCK_WAIT_MS, static_cast<int>(e->buffer[0]));
        returnToFree(mb, e);
        return CON_MB_LOCK_TIMEOUT;
    }
    if (mb->readyTail != nullptr) mb->readyTail->next = e;
    else mb->readyHead = e;
    mb->readyTail = e;
    ++mb->readyCount;
    mb->readyLock.unlock();
    return CON_MB_OK;
}

int conMailboxGet(ConsoleMailbox* mb, CapxMsg* out)
{
    if (mb == nullptr) return CON_MB_NO_MAILBOX;
    if (!lockBounded(mb->readyLock)) {
        mb->lockTimeouts.fetch_add(1);
        posLogPrint("CONS] mailbox ready-list lock wait over %d ms; drain stopped\n",
                    CON_MAILBOX_LOCK_WAIT_MS);
        return CON_MB_LOCK_TIMEOUT;
    }
    ConsoleMailboxEntry* e = mb->readyHead;
    if (e == nullptr) {
        mb->readyLock.unlock();
        return CON_MB_EMPTY;
    }
    mb->readyHead = e->next;
    if (mb->readyHead == nullptr) mb->readyTail = nullptr;
    --mb->readyCount;
    mb->readyLock.unlock();

    std::memcpy(static_cast<void*>(out), e->buffer, sizeof(CapxMsg));
    returnToFree(mb, e);
    return CON_MB_OK;
}

int conMailboxDrain(ConsoleMailbox* mb, CapxMsg* message, ConMailboxHandler handle, void* user)
{
    int handled = 0;
    while (conMailboxGet(mb, message) == CON_MB_OK) {
        if (handle != nullptr) handle(message, user);
        ++handled;
    }
    return handled;
}

int conMailboxReadyCount(ConsoleMailbox* mb)
{
    if (mb == nullptr || !lockBounded(mb->readyLock)) return -1;
    int n = mb->readyCount;
    mb->readyLock.unlock();
    return n;
}

int conMailboxFreeCount(ConsoleMailbox* mb)
{
    if (mb == nullptr || !lockBounded(mb->freeLock)) return -1;
    int n = mb->freeCount;
    mb->freeLock.unlock();
    return n;
}

void conSetMailbox(ConsoleMailbox* mb) { g_mailbox.store(mb); }

ConsoleMailbox* conGetMailbox() { return g_mailbox.load(); }
