// The agent task "CAPA": start-up, main loop over the link indications and
// data, CA state, console commands and test hooks.
#include <climits>
#include <cstring>

#include "capa.h"
#include "concontext.h"

#define CAPC_SRC "capctask.cpp"

CapcInfo g_capcInfo;
CapcTestHooks g_capcHooks;

namespace {

std::atomic<int> g_stenoPortWanted{CAPC_STENO_PORT};

uint16_t be16(const uint8_t* p) { return static_cast<uint16_t>((p[0] << 8) | p[1]); }

void registerCommands()
{
    posRegCmd0("capcHelp", capcHelp);
    posRegCmd0("capcDsp", capcDsp);
    posRegCmd1("capcLogRx", capcLogRx);
    posRegCmd1("capcLogTx", capcLogTx);
    posRegCmd1("capcLog", capcLog);
    posRegCmd1("capcLogSteno", capcLogSteno);
    posRegCmd2("capcDiscardTx", capcDiscardTx);
    posRegCmd2("capcDiscardRx", capcDiscardRx);
}

}  // namespace

int32_t capcTakeDiscard(std::atomic<int32_t>& count)
{
    int32_t c = count.load();
    while (c != 0) {
        if (count.compare_exchange_weak(c, c - 1)) return c - 1;
    }
    return INT32_MIN;
}

void capcSetStenoPort(int port) { g_stenoPortWanted = port; }

int capcStenoListenPort()
{
    return g_capcInfo.stenoListenSocket > 0 ? static_cast<int>(g_capcInfo.stenoPort) : -1;
}

void capcSetCaState(int state)
{
    CapcLink& link = g_capcInfo.link;
    if (state == 0) {
        link.dataSent = 0;
        link.dataAcked = 0;
    }
    link.caState = static_cast<uint8_t>(state);
}

int capcCreateTask()
{
    int err = 0;
    return posCreateTask(capcTask, CAPC_TASK_NAME, CAPC_TASK_LOCAL_ID, CAPC_TASK_PRIORITY,
                         CAPC_TASK_QUEUE_LIMIT, CAPC_TASK_QUEUE_ARG, CAPC_TASK_STACK, &err);
}

void capcTask(PosTask* task)
{
    posResTask(task, "KT LAR", "RELEASE", 1, 1, 0, __DATE__, __TIME__);

    // The task's own part of the record starts from zero. The link fields
    // are left alone: the console may already have started the server link.
    CapcInfo& info = g_capcInfo;
    CapcLink& link = info.link;
    info.myTaskId = static_cast<uint32_t>(posGetMyTaskId());
    info.localTaskId = static_cast<uint16_t>(info.myTaskId % 1000);
    info.ctrTaskId = 0;
    info.dbTaskId = 0;
    link.timerParam = 0;
    link.wrongStateCount = 0;
    link.traceTag = 0;
    link.dataSent = 0;
    link.dataAcked = 0;
    link.closeReported = 0;

    capcStenoServerStart(g_stenoPortWanted);
    if (posStartTimer(&link.periodicTimer, CAPC_PROC_TIMER, CAPC_PROC_PERIOD_MS, link.timerParam,
                      nullptr, 0, CAPC_SRC, __LINE__) != 0) {
        posLogPrint("CAPA] FATAL @ %s:%d\n", CAPC_SRC, __LINE__);
        posDown(POS_DOWN_APP);
    }
    registerCommands();

    for (;;) {
        Stick* stick = nullptr;
        uint32_t source = 0;
        int err = 0;
        const uint32_t prim = posRxMsg(&stick, &source, &err);
        if (stick == nullptr) continue;
        const uint8_t* d = stick->data;
        switch (prim) {
        case CAPC_SOCK_DATA_IND:
            if (stick->length >= 4) {
                int L = be16(d);
                if (L > stick->length - 4) L = stick->length - 4;
                capcRxMsg(d + 2, L);
            }
            break;
        case CAPC_SOCK_STENO_DATA_IND:
            if (stick->length >= 2) {
                int n = be16(d);
                if (n > stick->length - 2) n = stick->length - 2;
                capcStenoConvert(d + 2, n);
            }
            break;
        case CAPC_PROC_TIMER:
            capcProcTimer();
            break;
        case CAPC_SOCK_OPEN_IND:
            posLogPrint("CAPA] capcRxCAPC_SOCK_OPEN_IND\n");
            conPostMessage(WM_CAPC_SOCK_OPEN, 0);
            break;
        case CAPC_SOCK_CLOSE_IND:
            posLogPrint("CAPA] capcRxCAPC_SOCK_CLOSE_IND\n");
            conPostMessage(WM_CAPC_SOCK_CLOSE, 0);
            break;
        case CAPC_SOCK_STENO_OPEN_IND:
            posLogPrint("STNO] capcRxCAPC_SOCK_STENO_OPEN_IND\n");
            conPostMessage(WM_CAPC_STENO_OPEN, 0);
            break;
        case CAPC_SOCK_STENO_CLOSE_IND:
            posLogPrint("STNO] capcRxCAPC_SOCK_STENO_CLOSE_IND\n");
            conPostMessage(WM_CAPC_STENO_CLOSE, 0);
            break;
        default:
            break;
        }
        posFreeStick(&stick, CAPC_SRC, __LINE__);
    }
}

// ---- console commands -------------------------------------------------------------

int capcHelp()
{
    posLogPrint("\ncapcHelp\n");
    posLogPrint("capcDsp\n");
    posLogPrint("capcLogRx flag\n");
    posLogPrint("capcLogTx flag\n");
    posLogPrint("capcLogSteno flag\n");
    posLogPrint("capcLog flag\n");
    posLogPrint("capcDiscardTx msgId, count\n");
    posLogPrint("capcDiscardRx msgId, count\n");
    return 0;
}

int capcDsp()
{
    const CapcInfo& info = g_capcInfo;
    posLogPrint("\nMY-TASK-ID :  %d\n", static_cast<int>(info.myTaskId));
    posLogPrint("CTR-TASK-ID:  %d\n", static_cast<int>(info.ctrTaskId));
    posLogPrint(" DB-TASK-ID:  %d\n", static_cast<int>(info.dbTaskId));
    posLogPrint("TRANSPORT  : IP(%s) Port(%d) FD(%d) T-ID(%d)\n", info.serverAddress,
                static_cast<int>(info.serverPort), info.link.serverSocket.load(),
                static_cast<int>(info.rxThreadId.load()));
    posLogPrint("CA-STATE  : %d\n", static_cast<int>(info.link.caState.load()));
    return 0;
}

int capcLogRx(int flag)
{
    g_capcInfo.rxTraceLevel = static_cast<uint8_t>(flag);
    return flag;
}

int capcLogTx(int flag)
{
    g_capcInfo.txTraceLevel = static_cast<uint8_t>(flag);
    return flag;
}

int capcLog(int flag)
{
    g_capcInfo.rxTraceLevel = static_cast<uint8_t>(flag);
    g_capcInfo.txTraceLevel = static_cast<uint8_t>(flag);
    return flag;
}

int capcLogSteno(int flag)
{
    g_capcHooks.stenoLog = flag;
    return flag;
}

int capcDiscardTx(int msgId, int count)
{
    g_capcHooks.txDiscardId = static_cast<uint8_t>(msgId);
    g_capcHooks.txDiscardCount = count;
    return count;
}

int capcDiscardRx(int msgId, int count)
{
    g_capcHooks.rxDiscardId = static_cast<uint8_t>(msgId);
    g_capcHooks.rxDiscardCount = count;
    return count;
}

void capcResetForTest()
{
    CapcInfo& info = g_capcInfo;
    info.txTraceLevel = 0;
    info.rxTraceLevel = 0;
    info.link.caState = 0;
    info.link.wrongStateCount = 0;
    info.link.linkKey = 0;
    info.link.dataSent = 0;
    info.link.dataAcked = 0;
    info.link.closeReported = 0;
    g_capcHooks.txDiscardId = 0;
    g_capcHooks.txDiscardCount = 0;
    g_capcHooks.rxDiscardId = 0;
    g_capcHooks.rxDiscardCount = 0;
    g_capcHooks.stenoLog = 0;
    capcSetClock(nullptr);
    // The transport goes back to "never started" (no address, port 0,
    // socket 0, no receive thread), but only when no receive thread owns it.
    if (info.rxActive.load() == 0) {
        std::lock_guard<std::mutex> g(info.link.txLock);
        info.serverAddress[0] = '\0';
        info.serverPort = 0;
        info.link.serverSocket = 0;
        info.rxThreadId = 0;
        info.running = 0;
    }
}
