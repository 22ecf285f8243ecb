// RTP task: start-up, the loop that hands every message to SAP 0's entity,
// and the console commands.
#include <arpa/inet.h>

#include <atomic>
#include <cstdio>
#include <ortp/ortp.h>

#include "rtpinternal.h"
#include "rtportp.h"

RtpAgent g_rtpAgent;

namespace {

std::atomic<bool> g_taskReady{false};
std::atomic<int> g_startFault{RTP_FAULT_NONE};

void ortpLogSink(const char* line) { posLogPrint("RTP] %s\n", line); }

void registerCommands()
{
    posRegCmd0("rtpHelp", rtpHelp);
    posRegCmd0("rtpDspStatus", rtpDspStatus);
    posRegCmd1("rtpDspSap", rtpDspSap);
    posRegCmd1("rtpDspSapM", rtpDspSapM);
    posRegCmd1("rtpDspSapStatis", rtpDspSapStatis);
    posRegCmd0("rtpLog", rtpLog);
    posRegCmd1("rtpLogRxData", rtpLogRxData);
    posRegCmd1("rtpLogTxData", rtpLogTxData);
    posRegCmd0("rtpDspStatis", rtpDspStatis);
    posRegCmd0("rtpClearStatis", rtpClearStatis);
    posRegCmd1("rtpSetMaxEntityNum", rtpSetMaxEntityNum);
    posRegCmd5("rtpSetOrtpLogLevel", rtpSetOrtpLogLevel);
    posRegCmd2("rtpTxCmsData", rtpTxCmsData);
    posRegCmd0("rtpResetSapStatis", rtpResetSapStatis);
    posRegCmd0("rtpDspOrtpGlobalStats", rtpDspOrtpGlobalStats);
    posRegCmd1("rtpDspOrtpStatis", rtpDspOrtpStatis);
    posRegCmd2("rtpSetLoopback", rtpSetLoopback);
}

void startUp()
{
    RtpAgent& a = g_rtpAgent;
    a.logFlag = 0;
    a.testFlag = 0;
    a.peakNum = 0;
    a.usedNum = 0;
    for (auto& sap : a.sap) rtpSapResetRecord(&sap, true);
    a.maxEntityNum = RTP_MAX_SAP;

    const int node = posGetNodeId();
    a.myTaskId = node * 1000 + RTP_TASK_LOCAL_ID;
    a.userTaskId = node * 1000 + RTP_USER_TASK_LOCAL_ID;
    a.spareTaskId = a.userTaskId;
    std::snprintf(a.localIpText, sizeof a.localIpText, "%s", "127.0.0.1");
    a.localIpAddr = inet_addr(a.localIpText);

    rtpOrtpSetLogSink(ortpLogSink);
    rtpOrtpInit();          // the log mask starts with all five levels

    for (int i = 0; i < a.maxEntityNum.load(); ++i) {
        RtpSap* sap = &a.sap[i];
        if (posEntityCreate(&sap->entity, rtpSapEntity, static_cast<uint32_t>(sap->id), sap, 50000, 65) != 0) {
            posLogPrint("RTP] Err! posEntityCreate(id:%d)\n", i);
            RTP_DEBUG_LINE();
        }
        sap->id = i;
        sap->entityReady = 1;
        sap->state = RTP_S_INIT;
    }

    a.logFlag = 1;
    rtpLog();
    registerCommands();
}

}  // namespace

void rtpSetStartFault(int fault) { g_startFault.store(fault); }
bool rtpTakeStartFault(int which)
{
    int expected = which;
    return g_startFault.compare_exchange_strong(expected, RTP_FAULT_NONE);
}
bool rtpTaskReady() { return g_taskReady.load(); }

void rtpSapResetRecord(RtpSap* sap, bool whole)
{
    if (whole) {
        sap->id = 0;
        sap->entityReady = 0;
        sap->sapLog = 0;
        sap->state = 0;
        sap->logRx = 0;
        sap->logTx = 0;
        sap->session = nullptr;
        sap->payloadType = 0;
        sap->rtcpEnableFlag = 0;
        sap->symmetricFlag = 0;
        sap->ignorePayload = 0;
        sap->rxThread = pthread_t{};
        for (auto& w : sap->txMachineInfo) w = 0;
        std::memset(sap->rxBuf, 0, sizeof sap->rxBuf);
        sap->rxStat[4] = 0;
    }
    sap->userId = 0;
    sap->usedFlag = 0;
    sap->rtpMode = 0;
    sap->mime[0] = '\0';
    sap->clockRate = 0;
    sap->channels = 0;
    sap->sp = 0;
    sap->pid = 0;
    sap->localPort = 0;
    sap->localIp[0] = '\0';
    sap->remotePort = 0;
    sap->remoteIp[0] = '\0';
    sap->adapt = 0;
    sap->jittcomp = 0;
    sap->haveMore = 0;
    sap->sendTs = 0;
    sap->recvTs = 0;
    sap->jitter = 0;
    sap->clockSlide = 0;
    sap->ssrc = 0;
    sap->rxContinueFlag = 0;
    sap->streamReceived = 0;
    sap->rxStarted = 0;
    sap->mipaFlag = 0;
    sap->mipaTaskId = 0;
    sap->mipaTaskSub = 0;
    for (int i = 0; i < 5; ++i) {
        sap->txStat[i] = 0;
        if (i != 4) sap->rxStat[i] = 0;   // the empty-read count survives a clear
    }
}

void rtpTaskMain(PosTask* task)
{
    posResTask(task, "PE MORU", "RELEASE-CMS", 1, 1, 0, "Nov  9 2017", "09:51:11");
    startUp();
    g_taskReady = true;
    for (;;) {
        Stick* stick = nullptr;
        uint32_t src = 0;
        int err = 0;
        posRxMsg(&stick, &src, &err);
        if (!stick) {
            posFreeStick(&stick, POS_HERE);
            posLogPrint("POS# ERROR(%s:%d): NULL Stick\n", rtpModuleName(__FILE__), __LINE__);
            if (err == POS_ERR_NOT_TASK) return;
            continue;
        }
        const int rc = posEntityTx(&g_rtpAgent.sap[0].entity, &stick);
        if (rc != 0) posLogPrint("POS#ERROR(%s:%d): ERR(%d)\n", rtpModuleName(__FILE__), __LINE__, rc);
    }
}

int rtpCreateTask(int* errOut)
{
    int err = 0;
    const int rc = posCreateTask(rtpTaskMain, "RTP", RTP_TASK_LOCAL_ID, 100, 65535, 500, 50000, &err);
    if (errOut) *errOut = err;
    return rc;
}

// ---- console commands ----------------------------------------------------------------
int rtpHelp()
{
    static const char* const lines[] = {
        "rtpHelp                  ( )\n",
        "rtpDspStatus             ( )\n",
        "rtpDspStatis             ( )\n",
        "rtpDspSap                ( id )\n",
        "rtpDspSapStatis          ( id )\n",
        "rtpResetSapStatis          ( id )\n",
        "rtpLog                   ( )\n",
        "rtpSetLoopback           ( id flag )\n",
        "rtpLogRxData             ( )\n",
        "rtpLogTxData             ( )\n",
        "rtpTxCmsData             ( id, testVal )\n",
        "rtpClearStatis           ( )\n",
        "rtpSetMaxEntityNum       ( num )\n",
        "rtpSetOrtpLogLevel       ( debug message warning error fatal )\n",
        "rtpDspOrtpGlobalStats    ( )\n",
        "rtpDspOrtpStatis         ( id )\n",
    };
    posLogPrint("\n");
    for (const char* l : lines) posLogPrint("%s", l);
    posLogPrint("\n");
    return 0;
}

int rtpLog()
{
    posLogPrint("\n");
    if (g_rtpAgent.logFlag.load() == 0) {
        g_rtpAgent.logFlag = 1;
        posLogPrint("RTP] LOG-ON\n");
    } else {
        g_rtpAgent.logFlag = 0;
        posLogPrint("RTP] LOG-OFF\n");
    }
    return 0;
}

static int badSapId(int id)
{
    posLogPrint("RTP] Err! sapId(%d)\n", id);
    RTP_DEBUG_LINE();
    return -1;
}

int rtpLogRxData(int id)
{
    if (!rtpSapIdValid(id)) return badSapId(id);
    RtpSap& sap = g_rtpAgent.sap[id];
    sap.logRx = sap.logRx.load() ? 0 : 1;
    return sap.logRx.load();
}

int rtpLogTxData(int id)
{
    if (!rtpSapIdValid(id)) return badSapId(id);
    RtpSap& sap = g_rtpAgent.sap[id];
    sap.logTx = sap.logTx.load() ? 0 : 1;
    return sap.logTx.load();
}

int rtpDspStatis() { return 0; }
int rtpClearStatis() { return 0; }
int rtpTxCmsData(int, int) { return 0; }
int rtpSetLoopback(int, int flag) { return flag; }

int rtpSetMaxEntityNum(int num)
{
    if (num < 1 || num > RTP_MAX_SAP) return -1;
    const int old = g_rtpAgent.maxEntityNum.exchange(num);
    posLogPrint("RTP] MaxEntityNum : %d -> %d\n", old, num);
    return 0;
}

int rtpSetOrtpLogLevel(int debug, int message, int warning, int error, int fatal)
{
    posLogPrint("\n");
    int mask = 0;
    if (debug == 1) mask |= 0x01;
    if (message == 1) mask |= 0x02;
    if (warning == 1) mask |= 0x04;
    if (error == 1) mask |= 0x08;
    if (fatal == 1) mask |= 0x10;
    rtpOrtpSetLogMask(mask);
    return 0;
}

int rtpResetSapStatis()
{
    for (auto& sap : g_rtpAgent.sap) {
        for (int i = 0; i < 5; ++i) {
            sap.rxStat[i] = 0;
            sap.txStat[i] = 0;
        }
    }
    return 0;
}

int rtpDspOrtpGlobalStats()
{
    ortp_global_stats_display();
    return 0;
}
