// The agent task "CAPA": the server link to the central service, the send and
// receive paths, the stenography link and its caption text conversion.
//
// Modules: capctask (task body and console commands), capcproc (periodic
// check), capcsocket (sockets and link threads), capctxmsg (send builders),
// capcrx (receive path), capcsteno (stenography text conversion).
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <pthread.h>

#include "capxmsgcoder.h"
#include "pos.h"

// ---- task identity ----------------------------------------------------------
constexpr int CAPC_TASK_LOCAL_ID = 76;
constexpr const char* CAPC_TASK_NAME = "CAPA";
constexpr int CAPC_TASK_PRIORITY = 100;
constexpr int CAPC_TASK_QUEUE_LIMIT = 65535;
constexpr int CAPC_TASK_QUEUE_ARG = 500;
constexpr int CAPC_TASK_STACK = 50000;

// ---- prim ids of the task's queue --------------------------------------------
constexpr uint32_t CAPC_SOCK_DATA_IND = 8176;        // 0x1FF0: L, L, body
constexpr uint32_t CAPC_SOCK_OPEN_IND = 8177;        // 0x1FF1
constexpr uint32_t CAPC_SOCK_CLOSE_IND = 8178;       // 0x1FF2
constexpr uint32_t CAPC_SOCK_STENO_DATA_IND = 8179;  // 0x1FF3: n (BE), bytes, NUL
constexpr uint32_t CAPC_SOCK_STENO_OPEN_IND = 8180;  // 0x1FF4
constexpr uint32_t CAPC_SOCK_STENO_CLOSE_IND = 8181; // 0x1FF5
constexpr uint32_t CAPC_PROC_TIMER = 0xFE000001u;

constexpr int CAPC_PROC_PERIOD_MS = 1000;
constexpr int CAPC_MAX_FRAME_BODY = 4096;            // largest accepted L
constexpr int CAPC_STENO_PORT = 3321;
constexpr int CAPC_STENO_READ_MAX = 1024;
// A stenography read in one stick: two length bytes, up to
// CAPC_STENO_READ_MAX bytes of text and the terminating 0 after them.
constexpr int CAPC_STENO_STICK_SIZE = CAPC_STENO_READ_MAX + 3;
constexpr int CAPC_CAPTION_PIECE_MAX = 299;          // longer pieces are discarded
constexpr int CAPC_THREAD_STACK = 50000;
constexpr int CAPC_ADDRESS_MAX = 19;                 // dotted IPv4 text, without NUL

// Message ids the link itself looks at.
constexpr uint8_t CAPC_ID_LOGIN = 9;
constexpr uint8_t CAPC_ID_LOGIN_ACK = 10;
constexpr uint8_t CAPC_ID_KEEP_ALIVE = 14;
constexpr uint8_t CAPC_ID_DATA_ACK = 33;
constexpr uint8_t CAPC_ID_LINK_PROBE = 254;

// ---- records ----------------------------------------------------------------
// The server link's context. Fields that several threads touch are atomics.
struct CapcLink {
    uint32_t timerParam;                 // param of the periodic timer (0)
    std::atomic<uint8_t> caState;        // agent state as the console last set it
    std::atomic<int32_t> wrongStateCount;
    uint32_t traceTag;                   // first column of the trace (0)
    std::atomic<uint8_t> linkKey;        // 0 until a successful LOGIN_ACK
    std::atomic<int> serverSocket;       // -1 when none, 0 before the first start
    std::atomic<int32_t> dataSent;       // DATA written since the last check
    std::atomic<int32_t> dataAcked;      // DATA_ACK result 0 since the last check
    // A failed write has posted WM_CAPC_SOCK_CLOSE since the link last
    // opened: later write failures only return -1 (a peer that stops reading
    // must not flood the window). Frames of the discard hook still post each.
    std::atomic<uint8_t> closeReported;
    PosTimerKey periodicTimer;
    // Held over scrambling and the whole write of one frame, and by the
    // receive thread while it closes the socket, so frames never interleave
    // and a socket is never closed under a send.
    std::mutex txLock;
};

struct CapcInfo {
    uint32_t myTaskId;                   // "MY-TASK-ID"
    uint16_t localTaskId;                // destination of the link threads' posts
    uint32_t ctrTaskId;                  // "CTR-TASK-ID" (0)
    uint32_t dbTaskId;                   // "DB-TASK-ID" (0)
    std::atomic<uint8_t> txTraceLevel;
    std::atomic<uint8_t> rxTraceLevel;
    char serverAddress[CAPC_ADDRESS_MAX + 1];
    uint16_t serverPort;
    std::atomic<uint8_t> running;        // the server receive thread goes on while 1
    pthread_t rxThread;
    std::atomic<uint32_t> rxThreadId;    // "T-ID": gettid() of the receive thread
    std::atomic<int> stenoListenSocket;
    std::atomic<uint16_t> stenoPort;
    std::atomic<int> stenoClientSocket;
    CapcLink link;
    pthread_t stenoServerThread;
    // A server receive thread exists (from its start until its last line).
    std::atomic<int> rxActive;
    // Server and stenography receive threads that have not ended yet: each
    // counts from just before its start until after its close report, so 0
    // means no link thread has anything left to report.
    std::atomic<int> linkThreads;
};

// Test hooks beside the record (all 0 at start).
struct CapcTestHooks {
    std::atomic<uint8_t> txDiscardId;
    std::atomic<int32_t> txDiscardCount;
    std::atomic<uint8_t> rxDiscardId;
    std::atomic<int32_t> rxDiscardCount;
    std::atomic<int32_t> stenoLog;
};

extern CapcInfo g_capcInfo;
extern CapcTestHooks g_capcHooks;

// Takes one from a discard count that is not 0; returns the count left, or
// INT32_MIN when the count was 0 (nothing to discard). Safe against
// concurrent callers: a count never passes 0.
int32_t capcTakeDiscard(std::atomic<int32_t>& count);

// ---- agent task (capctask) --------------------------------------------------
// Entry of the task "CAPA" (give it to posCreateTask).
void capcTask(PosTask* task);
// Creates the task with its specified parameters; returns the global id or 0.
int capcCreateTask();
// CA state set by the console: 0 also clears the DATA counters.
void capcSetCaState(int state);

// The port the task's stenography listener opens (3321). Tests may choose
// another before the task starts; 0 asks for any free port (read it back with
// capcStenoListenPort once the listener is open).
void capcSetStenoPort(int port);
int capcStenoListenPort();
// 1 while a stenography program's connection is recorded. A connection that a
// newer one replaced is no longer recorded when its close is reported.
int capcStenoConnected();

// Console commands (also callable directly).
int capcHelp();
int capcDsp();
int capcLogRx(int flag);
int capcLogTx(int flag);
int capcLog(int flag);
int capcLogSteno(int flag);
int capcDiscardTx(int msgId, int count);
int capcDiscardRx(int msgId, int count);

// ---- periodic check (capcproc) ----------------------------------------------
// One period's work after the timer restart: the ACK-loss warning and the
// counter reset. Returns 1 when WM_CAPC_TX_ACK_LOSS was posted.
int capcProcCheck(CapcLink* link);
// Timer expiry: restart the timer (posDown(520) on failure), then check.
void capcProcTimer();

// ---- server link (capcsocket) -----------------------------------------------
// Starts the receive thread that connects to address:port. A null or empty
// address and port 0 reuse the stored ones; an address over 19 characters is
// refused. Returns 0 when the thread started, a negative value otherwise
// (also while a receive thread still runs).
int capcSocketStart(const char* address, int port);
// Opens one TCP connection; returns the socket or -1 (socket), -2
// (SO_REUSEADDR), -3 (SO_LINGER), -8 (connect).
int capcSocketOpenClient(const char* address, int port);
// Reads one frame's body into buf (CAPC_MAX_FRAME_BODY bytes). Returns L
// (0..4096) or -1. A frame with L above 4096 is logged and its body skipped.
int capcReadFrame(int sock, uint8_t* buf);
// Link key from a LOGIN_ACK body with result 0, or -1 when the body is not
// such a LOGIN_ACK.
int capcLoginAckKey(const uint8_t* body, int L);
// Writes one frame on the link (discard hook, link key, whole-frame write).
// 0: written; -1: no socket or failed (a real failure shuts the socket down
// so that the receive thread reports the close); CAPC_TX_DISCARDED: dropped
// by the transmit discard hook.
constexpr int CAPC_TX_DISCARDED = -2;
int capcSocketSend(CapcLink* link, uint8_t* frame, int frameLen);

// ---- stenography link (capcsocket) ------------------------------------------
// Opens the listening socket on 127.0.0.1:port; returns it or -1..-5.
int capcSocketOpen(int port);
// Starts the stenography server thread (accept loop) on port.
int capcStenoServerStart(int port);

// ---- send builders (capctxmsg) ----------------------------------------------
// Each returns 0 when the frame was written, -1 when there is no link context
// or the write failed or was discarded (so callers can see failures).
// Scrambled credentials can hold 0 bytes, so they come with their lengths
// (at most 64 bytes are sent; a negative length takes the text up to its NUL).
int capcTxLogin(CapcLink* link, const char* userId, int userIdLen, const char* passwd,
                int passwdLen, const char* reqPhoneNumber, int major, int minor, int patch,
                int stenoFormat);
int capcTxLogout(const char* userId, int userIdLen = -1);
int capcTxAssignReq();
int capcTxControl(int control);
int capcTxData(int length, const char* text);
int capcTxRelease(int cause);
int capcTxReleaseComplete();
int capcTxVoipSetupComplete(int result);
int capcTxHoEvent(int eventId, int result);
int capcTxCaSvcState(int inService, int cause);
int capcTxCallReport(int rxFromSteno, int discardFromSteno, int txToSvr, int rxSvrAck,
                     int rxVocFrameFromSvr, int kaFailCnt);
int capcTxChangePasswd(CapcLink* link, const char* userId, int userIdLen, const char* passwd,
                       int passwdLen);
int capcTxKeepAliveAck(uint32_t svrTxStampSec, uint32_t svrTxStampUsec, int caState);
int capcTxLinkProbe();

// Clock of capcTxKeepAliveAck (seconds since 1970 UTC and microseconds);
// tests replace it to fix the reading. nullptr restores the system clock.
using CapcClock = void (*)(uint32_t* sec, uint32_t* usec);
void capcSetClock(CapcClock clock);

// ---- receive path (capcrx) --------------------------------------------------
// Handles one frame (2 length bytes, then the body, link key removed) on the
// agent task's thread.
void capcRxMsg(const uint8_t* frame, int length);
// Hands a decoded record to the console mailbox and posts WM_CAPC_RX_MSG.
// Returns the mailbox result (CON_MB_*), or 1 when the window is not published.
int capcMailboxPut(const CapxMsg* msg);

// ---- stenography text (capcsteno) -------------------------------------------
constexpr int CAPC_CAPTIONER_CASECAT = 2;   // CaseView filter
constexpr int CAPC_CAPTIONER_STENOCAT = 5;  // Bridge command filter

// Converts one chunk by captioner type into out (at most outCap bytes);
// bridgeFlag carries the Bridge command flag across chunks. Returns the
// number of bytes written. Types other than 2 and 5 copy the input.
int capcStenoFilter(int captionerType, const uint8_t* in, int n, uint8_t* out, int outCap,
                    int32_t* bridgeFlag);
// The agent task's conversion of one received chunk (uses the console
// context's work area and captioner type).
void capcStenoConvert(const uint8_t* bytes, int n);
// The entry of converted caption text.
void capcCaptionText(const char* text, int length);

// Resets the record, the hooks and the clock (tests, before the task starts or
// between cases); the transport only while no receive thread runs.
void capcResetForTest();
