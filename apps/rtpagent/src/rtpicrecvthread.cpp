// Receive thread: one timestamped read per 20 ms of RTP time, and the voice
// hand-off to the console and the audio layer.
#include <ortp/ortp.h>

#include "concontext.h"
#include "rtpinternal.h"
#include "winsnd.h"

int rtpStartRecvThread(RtpSap* sap)
{
    pthread_attr_t attr;
    if (pthread_attr_init(&attr) != 0) {
        posLogPrint("Error!!! pthread_attr_init\n");
        RTP_DEBUG_LINE();
        return -1;
    }
    if (pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED) != 0) {
        pthread_attr_destroy(&attr);
        RTP_DEBUG_LINE();
        return -3;
    }
    int rc = EAGAIN;
    if (!rtpTakeStartFault(RTP_FAULT_RECV_THREAD)) rc = pthread_create(&sap->rxThread, &attr, rtpRecvThread, sap);
    pthread_attr_destroy(&attr);
    if (rc != 0) {
        posLogPrint("RTP:%d] Err! rtpRecvThread Task FAILURE\n", sap->id);
        RTP_DEBUG_LINE();
        return -8;
    }
    return 0;
}

void* rtpRecvThread(void* arg)
{
    auto* sap = static_cast<RtpSap*>(arg);
    if (rtpLogging(sap)) posLogPrint("RTP:%d] rtpRecvThread START...\n", sap->id);
    if (!(sap->state.load() & RTP_S_INS)) {
        RTP_DEBUG_LINE();
        posLogPrint("RTP:%d] Mismatch State RTP_S_INS ...\n", sap->id);
        sap->rxContinueFlag = 0;
    }
    while (sap->rxContinueFlag.load() == 1) {
        sap->haveMore = 1;
        while (sap->haveMore) {
            rtpRecvOnce(sap);
            if (sap->rxContinueFlag.load() == 0) break;
        }
        sap->recvTs += 160;
    }
    if (rtpLogging(sap)) posLogPrint("RTP:%d] rtpRecvThread END...\n", sap->id);
    rtpSapClear(sap);
    return nullptr;
}

int rtpRecvOnce(RtpSap* sap)
{
    int more = 0;
    const int n = rtp_session_recv_with_ts(sap->session, sap->rxBuf, RTP_RX_BUF, sap->recvTs, &more);
    sap->haveMore = more;
    if (n > 0) {
        sap->rxStat[0] += 1;
        if (sap->rxStarted.load() == 0) {
            posLogPrint("RTP:%d] Traffic Rx Started(%s.%d:%d)\n", sap->id, sap->mime, sap->payloadType.load(),
                        sap->sp);
            sap->rxStarted = 1;
        }
        onRtpVoiceData(sap->rxBuf, n);
        if (sap->logRx.load() == 1) dspMsgStream("RX", sap->rxBuf, n, 16);
        sap->rxStat[1] += 1;
        sap->rxStat[3] += 1;
    } else if (sap->rxStarted.load() == 1) {
        sap->rxStat[4] += 1;
    }
    return n;
}

int32_t onRtpVoiceData(const uint8_t* data, int32_t length)
{
    ConsoleContext& cc = conContext();
    if (!cc.mainWindow.load()) return -2;
    cc.RxCnt++;
    if (!data) return -1;
    conPostMessage(WM_VOICE_RX, 0);
    const int pt = cc.payloadType.load();
    const int queued = winsnd_queue_voice(pt, data, length);
    if (!winsnd_has_input()) {
        rtpTxVoiceReq(static_cast<uint8_t>(pt & 0xFF), data, length);
        cc.TxLoopCnt++;
    }
    if (queued == 1 && winsnd_wake()) cc.ProcCnt++;
    else cc.FailCnt++;
    return 0;
}
