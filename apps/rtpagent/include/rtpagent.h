// The RTP task "RTP" (local id 83): the voice session's service access point
// (SAP), the send path, the receive thread with the voice hand-off, and the
// console commands and displays.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>

#include "pos.h"

struct _RtpSession;

constexpr int RTP_TASK_LOCAL_ID = 83;
constexpr int RTP_USER_TASK_LOCAL_ID = 92;
constexpr uint32_t MIPA_VOICE_DATA_REQ = 0x3307;
constexpr int RTP_MAX_SAP = 1;                 // capacity of the SAP table
constexpr int RTP_VOICE_REQ_SIZE = 2051;       // data bytes requested per send stick
constexpr int RTP_RX_BUF = 1024;

// SAP state bits.
constexpr int RTP_S_INIT = 1;
constexpr int RTP_S_ALLOC = 2;
constexpr int RTP_S_INS = 4;

// rtpMode bits.
constexpr uint8_t RTP_MODE_RECV = 0x1;
constexpr uint8_t RTP_MODE_SEND = 0x2;

struct RtpSap {
    int32_t id;
    int32_t userId;
    PosEntity entity;
    uint8_t entityReady;
    std::atomic<uint8_t> usedFlag;
    uint8_t sapLog;
    uint8_t rtcpEnableFlag;
    uint8_t symmetricFlag;
    uint8_t ignorePayload;
    std::atomic<int32_t> state;
    uint8_t rtpMode;
    std::atomic<uint8_t> logRx;
    std::atomic<uint8_t> logTx;
    _RtpSession* session;
    char mime[20];
    std::atomic<int32_t> payloadType;
    int32_t clockRate;
    int32_t channels;
    int32_t sp;
    uint8_t mipaFlag;
    int32_t mipaTaskId;
    uint16_t mipaTaskSub;
    char localIp[20];
    int32_t localPort;
    int32_t remotePort;
    char remoteIp[20];
    uint8_t adapt;
    int32_t jittcomp;
    int32_t haveMore;
    uint32_t sendTs;
    uint32_t recvTs;
    int32_t jitter;
    int32_t clockSlide;
    int32_t ssrc;
    uint8_t streamReceived;
    std::atomic<uint8_t> rxContinueFlag;
    pthread_t rxThread;
    uint32_t pid;
    int32_t txMachineInfo[5];
    uint8_t rxBuf[RTP_RX_BUF];
    std::atomic<int32_t> rxStat[5];
    std::atomic<int32_t> txStat[5];
    std::atomic<int32_t> rxStarted;
    // Held over every use of session by the send path and over its end, so
    // that a send never touches a session being destroyed.
    std::mutex sessionLock;
};

struct RtpAgent {
    std::atomic<uint8_t> logFlag;
    uint8_t testFlag;
    std::atomic<int32_t> maxEntityNum;
    int32_t peakNum;
    int32_t usedNum;
    int32_t myTaskId;
    int32_t userTaskId;
    int32_t spareTaskId;
    uint32_t localIpAddr;
    char localIpText[20];
    RtpSap sap[RTP_MAX_SAP];
};

extern RtpAgent g_rtpAgent;

// Task body for posCreateTask, and the creation the start-up thread does:
// "RTP", local id 83, priority 100, queue 65535/500, 50000-byte stack.
void rtpTaskMain(PosTask* task);
int rtpCreateTask(int* errOut);
// True once the task body has finished its start-up (commands registered).
bool rtpTaskReady();

// Service access point.
int32_t rtpSapAlloc(int32_t userId, uint16_t payloadType, uint8_t rtpMode, const char* remoteIp,
                    uint16_t remotePort);
int32_t rtpSapStart(RtpSap* sap);
void rtpSapStop();
int32_t rtpSapClear(RtpSap* sap);

// Send path.
int32_t rtpTxVoiceReq(uint8_t payloadType, const uint8_t* data, int32_t length);
int32_t rtpTxVoice(RtpSap* sap, const uint8_t* data, int32_t length);
void rtpSapEntity(PosEntity* entity);

// Receive thread and hand-off.
int rtpStartRecvThread(RtpSap* sap);
void* rtpRecvThread(void* arg);
int32_t onRtpVoiceData(const uint8_t* data, int32_t length);

// Library signal handlers.
void rtpRecvTevCb(_RtpSession* session, int event, void* user);
void rtpRecvPayloadChdCb(_RtpSession* session, void* user);

// Console commands.
int rtpHelp();
int rtpDspStatus();
int rtpDspSap(int id);
int rtpDspSapM(int id);
int rtpDspSapStatis(int id);
int rtpLog();
int rtpLogRxData(int id);
int rtpLogTxData(int id);
int rtpDspStatis();
int rtpClearStatis();
int rtpSetMaxEntityNum(int num);
int rtpSetOrtpLogLevel(int debug, int message, int warning, int error, int fatal);
int rtpTxCmsData(int id, int testVal);
int rtpResetSapStatis();
int rtpDspOrtpGlobalStats();
int rtpDspOrtpStatis(int id);
int rtpSetLoopback(int id, int flag);

// Test seams: make the next session start or receive-thread start fail.
constexpr int RTP_FAULT_NONE = 0;
constexpr int RTP_FAULT_SESSION = 1;
constexpr int RTP_FAULT_RECV_THREAD = 2;
void rtpSetStartFault(int fault);
