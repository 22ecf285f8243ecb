// What the tasks share with the console window: the console context record,
// the console notifications and their poster, the message mailbox, and the
// window routines the agent task calls (reached through hooks the window
// installs). Qt-free: the window installs a poster and hooks; tests install
// recording fakes.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>

#include "capxmsgcoder.h"

// ---- console notifications --------------------------------------------------
// Window message numbers posted to the main window (WM_USER + n). Control ids
// live in the window's own enums: some values coincide.
enum ConsoleMessage : int {
    WM_USER = 1024,                 // colour field "on" phase (CColorStaticST)
    WM_CAPC_RX_MSG = 1025,          // mailbox holds decoded messages
    WM_CAPC_SOCK_CLOSE = 1026,      // server link closed or a write failed
    WM_CAPC_SOCK_OPEN = 1027,       // server link connected
    WM_CAPC_STENO_CLOSE = 1028,     // stenography program disconnected
    WM_CAPC_STENO_OPEN = 1029,      // stenography program connected
    WM_CON_NOISE = 1030,
    WM_CON_NO_VOICE = 1031,
    WM_CON_MISUSE = 1032,
    WM_CON_ANSWER = 1033,           // caption text equals the Answer word
    WM_CAPC_CA_COUNT = 1034,        // KEEP_ALIVE arrived; wparam curCaCount
    WM_CAPC_WRONG_CA_STATE = 1035,  // wrong-state rule fired; wparam caState
    WM_CAPC_DO_NOT_PAUSE = 1036,    // KEEP_ALIVE arrived; wparam doNotPause
    WM_CAPC_TX_ACK_LOSS = 1037,     // DATA not acknowledged within a second
    WM_VOICE_RX = 1038,             // a voice frame was received
};
constexpr int CON_MESSAGE_FIRST = WM_USER;
constexpr int CON_MESSAGE_LAST = WM_VOICE_RX;

// The poster runs on the posting thread and must not wait for the window
// (the Qt poster does QCoreApplication::postEvent). lparam is always 0.
using ConPoster = void (*)(int msg, uintptr_t wparam);

// Installs (or with nullptr removes) the poster. Posts reach it only while a
// poster is installed and the window is published (windowHandle set); before
// that they go nowhere.
void conSetPoster(ConPoster poster);
// Posts a console notification; returns 1 when it was handed to the poster,
// 0 when it went nowhere (no poster, window not published, number outside
// 1024..1038).
int conPostMessage(int msg, uintptr_t wparam);

// ---- window routines called from the agent task's thread ---------------------
// The window installs these; each must be safe to call from a task thread (the
// Qt window marshals to its own thread). Any member may be null.
struct ConsoleWindowHooks {
    // SendCaptionText(length, text): the caption transmit routine; returns the
    // length of the last DATA chunk sent, or 0. text is NUL-terminated.
    int (*sendCaptionText)(int length, const char* text);
    // SetCaptionLights(n): the caption pipeline lights.
    void (*setCaptionLights)(int n);
    // Appends text to the caption screen.
    void (*appendCaptionScreen)(const char* text, int length);
    // Copies raw stenography bytes to the caption-report test connection when
    // the configuration option has opened it (the hook decides).
    void (*reportCaptionBytes)(const uint8_t* bytes, int length);
};

// Installs the hooks (the record must outlive its installation; nullptr
// removes them).
void conSetWindowHooks(const ConsoleWindowHooks* hooks);
// Each call goes to the installed hook; without one it does nothing (the send
// returns 0).
int conSendCaptionText(int length, const char* text);
void conSetCaptionLights(int n);
void conAppendCaptionScreen(const char* text, int length);
void conReportCaptionBytes(const uint8_t* bytes, int length);

// ---- console context --------------------------------------------------------
constexpr int CON_STATE_IDLE = 0;
constexpr int CON_STATE_ANSWERING = 1;
constexpr int CON_STATE_IN_SERVICE = 2;
// Aliases under the names the call handling uses.
constexpr int STATE_IDLE = CON_STATE_IDLE;
constexpr int STATE_ANSWERING = CON_STATE_ANSWERING;
constexpr int STATE_IN_SERVICE = CON_STATE_IN_SERVICE;

constexpr int CON_STENO_OUT_SIZE = 8000;

// Work area of the stenography text conversion (agent task thread only).
struct StenoWorkArea {
    uint8_t out[CON_STENO_OUT_SIZE];  // converted text of the current chunk
    int32_t length;                   // bytes in out
    int32_t bridgeCommand;            // Bridge command flag, kept across chunks
    uint8_t reserved[16];
};
static_assert(sizeof(StenoWorkArea) == 8024, "stenography work area is 8024 bytes");

// Integer fields that more than one thread touches are atomics; the window's
// own fields use them like plain ints (c.callState = 2; int s = c.callState).
using ConInt = std::atomic<int>;

struct ConsoleContext {
    std::atomic<void*> mainWindow;       // null until published
    ConInt systemType;                   // server port 33210 + 5 x systemType
    ConInt offerActive;
    ConInt callState;                    // STATE_IDLE / ANSWERING / IN_SERVICE
    ConInt useStenoSoftware;
    char userId[80];                     // scrambled login id
    char password[80];                   // scrambled password
    char newPassword[80];
    char phoneNumber[20];
    // Bytes in use of the three scrambled credentials above: scrambling can
    // produce 0 bytes, so the texts are not NUL-terminated strings.
    ConInt userIdLen;
    ConInt passwordLen;
    ConInt newPasswordLen;
    ConInt RxCnt;                        // voice frames received this call
    ConInt TxCnt;                        // voice payloads sent this call
    ConInt TxLoopCnt;
    ConInt ProcCnt;
    ConInt FailCnt;
    ConInt loginState;                   // 0 none, 1 LOGIN pending, 2 logged in
    ConInt joined;
    ConInt serviceCause;
    ConInt loggedOut;
    ConInt captioning;
    ConInt captionerType;
    ConInt stenoPieces;
    ConInt inputMode;                    // 0 typing, 1 stenography program
    ConInt textStarted;                  // first-text flag of the stenography link
    ConInt isEmergency;
    ConInt serviceLocked;
    std::atomic<uintptr_t> windowHandle; // notification target; 0 until published
    StenoWorkArea stenoWorkArea;
    ConInt answerBlinkPhase;
    ConInt ringing;
    CapxMsg message;                     // the decoded message being handled
    std::atomic<CapxMsg*> messagePtr;    // &message once published
    std::atomic<uint16_t> payloadType;   // nonzero: G.729
    ConInt loginMode;                    // 0 normal, 1 test, 2 specialist
    char serverHost[20];
    ConInt serverIndex;
    ConInt autoAnswerForTest;
    ConInt docDisconnected;
    ConInt voiceGapTicks;
    ConInt ackWaitTicks;
    ConInt awaitingAck;
    ConInt kaFailCnt;
    ConInt loggingOut;
    ConInt rxFromSteno;
    ConInt discardFromSteno;
    ConInt txToSvr;
    ConInt rxSvrAck;
    std::atomic<uint8_t> handoverState;
    ConInt ScreenColorBg;
    ConInt ScreenColorFg;
    ConInt ScreenFontSizeIdx;
    ConInt ScreenFFontNameIdx;
};

// The one console context of the process.
extern ConsoleContext g_conContext;
inline ConsoleContext& conContext() { return g_conContext; }

// Zero-fills the record (every field 0, every text empty). The window calls it
// once at its start, before the tasks start; tests call it between cases.
void conContextReset();

// Publication: sets mainWindow, windowHandle and messagePtr (= &message).
// From then on the mailbox accepts messages and notifications are posted.
void conPublish(void* mainWindow, uintptr_t windowHandle);
// Withdraws the publication (window gone, or between test cases).
void conUnpublish();
inline bool conIsPublished() { return g_conContext.mainWindow.load() != nullptr; }

// ---- mailbox ---------------------------------------------------------------------
constexpr int CON_MAILBOX_ENTRIES = 20;
constexpr int CON_MAILBOX_ENTRY_BUFFER = 8196;
constexpr int CON_MAILBOX_LOCK_WAIT_MS = 1000;
static_assert(sizeof(CapxMsg) <= CON_MAILBOX_ENTRY_BUFFER, "a record fits a mailbox entry");

struct ConsoleMailboxEntry {
    ConsoleMailboxEntry* next;
    int32_t length;                              // bytes of the record (sizeof(CapxMsg))
    alignas(8) uint8_t buffer[CON_MAILBOX_ENTRY_BUFFER];
};

// Results of the mailbox operations.
constexpr int CON_MB_OK = 0;
constexpr int CON_MB_FULL = -1;          // no free entry: the message was dropped
constexpr int CON_MB_LOCK_TIMEOUT = -2;  // a lock wait passed 1000 ms
constexpr int CON_MB_EMPTY = -3;         // nothing ready
constexpr int CON_MB_NO_MAILBOX = -4;

// Twenty entries, a free list and a ready list, each with its own lock. The
// agent task puts, the user-interface thread drains. Records are copied in
// and out; no pointer crosses over.
struct ConsoleMailbox {
    ConsoleMailboxEntry entries[CON_MAILBOX_ENTRIES];
    ConsoleMailboxEntry* freeHead;
    ConsoleMailboxEntry* freeTail;
    int32_t freeCount;
    std::mutex freeLock;
    ConsoleMailboxEntry* readyHead;
    ConsoleMailboxEntry* readyTail;
    int32_t readyCount;
    std::mutex readyLock;
    // Counters for displays and tests.
    std::atomic<uint32_t> dropped;       // messages dropped (full or lock timeout)
    std::atomic<uint32_t> lockTimeouts;  // lock waits that passed the bound
};

// Puts all entries on the free list and empties the ready list (call only
// while nobody else uses the mailbox).
void conMailboxInit(ConsoleMailbox* mb);

// Copies the record into a free entry and queues it at the tail of the ready
// list. CON_MB_FULL: no free entry. CON_MB_LOCK_TIMEOUT: a lock could not be
// had within 1000 ms; the message is dropped and a line is logged. Posts
// nothing (capcMailboxPut does).
int conMailboxPut(ConsoleMailbox* mb, const CapxMsg* msg);

// Takes the head of the ready list, copies its record into *out and returns
// the entry to the free list (retrying that lock until it succeeds).
// CON_MB_EMPTY: nothing ready; CON_MB_LOCK_TIMEOUT: the ready list's lock
// could not be had within 1000 ms.
int conMailboxGet(ConsoleMailbox* mb, CapxMsg* out);

// The drain run on WM_CAPC_RX_MSG: takes every ready record in arrival order,
// copies each into *message and calls handle(message, user). Stops when the
// list is empty or a lock wait times out (the rest waits for the next round).
// Returns the number of records handled.
using ConMailboxHandler = void (*)(const CapxMsg* message, void* user);
int conMailboxDrain(ConsoleMailbox* mb, CapxMsg* message, ConMailboxHandler handle, void* user);

int conMailboxReadyCount(ConsoleMailbox* mb);
int conMailboxFreeCount(ConsoleMailbox* mb);

// The window registers the mailbox it owns (nullptr when it goes away); the
// agent task's put uses the registered one.
void conSetMailbox(ConsoleMailbox* mb);
ConsoleMailbox* conGetMailbox();
