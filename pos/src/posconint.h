// Internal calls shared by the console's modules: command table and executor
// (poscmd), periodic jobs (posperiod), the console server and scripts
// (posconsole), the node table commands (possockfunc) and the displays
// (posdisplay). Not for use outside pos/ (tests may include it for seams).
#pragma once

#include "posinternal.h"

#include <pthread.h>

// ---- command table (poscmd) ------------------------------------------------------------
constexpr int POS_CMD_MAX_KIND = 12;
constexpr int POS_CMD_TOKENS = 13;            // command + up to 12 arguments
constexpr int POS_CMD_TOKEN_CHARS = 32;       // characters per token (plus a NUL)
constexpr int POS_CMD_HISTORY = 50;
constexpr int POS_CON_LINE_MAX = 126;         // characters of a console line

struct PosCmd {
    uint8_t kind;                             // number of int arguments, 0..12
    char* name;
    PosAnyFn* fnBox;                          // the function, in a small allocated box
    PosCmd* next;                             // written once, before publication
};

// First entry named exactly `name`, or nullptr.
PosCmd* posCmdFind(const char* name);
// Calls the entry's function with args[0 .. kind-1].
int posCmdCall(const PosCmd* cmd, const int* args);
// Number reading of a console token (decimal with sign, or 0x hexadecimal);
// wraps in 32 bits.
int posCmdNumber(const char* token);
// Assembly of a console line from the client's bytes: a zero byte ends the
// line; input beyond 126 characters is cut. posConLineAdd returns true when
// the byte completed a line (line then holds it, zero-terminated).
struct PosConLine {
    char line[128];
    int fill;
};
bool posConLineAdd(PosConLine* l, char byte);

// Registers the console's built-in commands in their fixed order.
void posConRegisterBuiltins();
// Empties the 50-entry history (console start).
void posHistoryClear();
// The "history"/"h" and "posShowSymbol" commands.
int posCmdHistory();
int posCmdShowSymbol();
// Prompt "<node name>> " used by posCmdResult and the console server.
void posConSetPrompt(const char* nodeName);
const char* posConPrompt();
// The " [yyyy/mm/dd hh:mm:ss] " local time stamp: as text, and logged.
void posTimeStampText(char* out, int size);
void posLogTimeStamp();

// ---- periodic jobs (posperiod) ------------------------------------------------------------
constexpr int POS_MAX_PERIOD_NUM = 10;
int posPeriod(int seconds, const char* name, int a1, int a2, int a3, int a4, int a5, int a6);
int posPeriodDsp();
int posPeriodKill(int jobId);
void posPeriodTableClear();

// ---- node table (possockfunc) ------------------------------------------------------------------
constexpr int POS_MAX_NODE = 300;             // node ids 0..299
constexpr int POS_ERR_NO_SOCKET = -235;
enum PosNodeType : uint8_t { POS_NODE_DEF = 0, POS_NODE_SOCK = 1, POS_NODE_DPRAM = 2, POS_NODE_ATM = 3 };
enum PosNodeMode : uint8_t { POS_NODE_CLIENT = 1, POS_NODE_SERVER = 2, POS_NODE_UDP = 3 };

struct PosNode {
    int16_t nodeId;
    uint8_t type;                             // PosNodeType
    int socket;                               // 1 or more when valid
    uint16_t port;
    uint8_t mode;                             // PosNodeMode
    char address[16];                         // peer address, dotted IPv4
    uint32_t threadId;
    void (*onClose)(int nodeId);
    int sockLog;                              // socket-log flag
};

// Enters (or with nullptr removes) a node record; the record stays owned by
// the caller. Nothing in the product enters nodes; tests use it.
int posNodeSet(int nodeId, PosNode* node);
// Writes the 26-byte inter-node header of `stick` into `out`.
void posNodeHeaderWrite(const Stick* stick, uint8_t* out);
int posNodeLastSocketError();
int posDspIpc();
int posSockLog(int node);
int posSocketClose(int node);
int posSocketClearSystem(int node);
int posSetTrySocketConnectTime(int seconds);

// ---- entities (posentity) ------------------------------------------------------------------
// Thread start used by posEntityCreate; tests replace it to make the start fail.
using PosThreadStarter = int (*)(pthread_t*, const pthread_attr_t*, void* (*)(void*), void*);
void posEntitySetThreadStarter(PosThreadStarter starter);   // nullptr restores pthread_create
