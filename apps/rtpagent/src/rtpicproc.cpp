// Send path: the SAP's entity thread, the send request and the timestamped
// send.
#include <ortp/ortp.h>

#include "rtpinternal.h"

void rtpSapEntity(PosEntity* entity)
{
    PosEntity* e = posEntityRes(entity);
    RtpSap* sap = e ? static_cast<RtpSap*>(e->data) : nullptr;
    if (!sap) {
        RTP_DEBUG_LINE();
        return;
    }
    for (;;) {
        Stick* s = posEntityRx(e);
        if (!s) continue;
        if (s->primId == MIPA_VOICE_DATA_REQ && s->length >= 3) {
            int len = (s->data[1] << 8) | s->data[2];
            if (len > s->length - 3) len = s->length - 3;
            rtpTxVoice(sap, s->data + 3, len);
        }
        posFreeStick(&s, POS_HERE);
    }
}

int32_t rtpTxVoiceReq(uint8_t payloadType, const uint8_t* data, int32_t length)
{
    RtpSap* sap = &g_rtpAgent.sap[0];
    if (!data || length < 0 || length > RTP_VOICE_REQ_SIZE - 3) return -1;
    Stick* stick = nullptr;
    uint8_t* p = posAllocMsg(MIPA_VOICE_DATA_REQ, static_cast<uint32_t>(g_rtpAgent.myTaskId),
                             static_cast<uint32_t>(sap->id), static_cast<uint32_t>(sap->id),
                             RTP_VOICE_REQ_SIZE, &stick);
    if (!p || !stick) return -1;
    p[0] = payloadType;
    p[1] = static_cast<uint8_t>(length >> 8);
    p[2] = static_cast<uint8_t>(length);
    std::memcpy(p + 3, data, static_cast<size_t>(length));
    stick->length = static_cast<uint16_t>(length + 3);
    if (posTxMsg(RTP_TASK_LOCAL_ID, &stick, POS_HERE) != 0) {
        posLogPrint("RTP:%d] Err! Tx MIPA_VOICE_DATA_REQ(LEN:%d)\n", sap->id, length);
        RTP_DEBUG_LINE();
        if (stick) posFreeStick(&stick, POS_HERE);
        return -1;
    }
    return 0;
}

int32_t rtpTxVoice(RtpSap* sap, const uint8_t* data, int32_t length)
{
    if (sap->rxContinueFlag.load() == 0) return -1;
    int pauseMs = 0;
    {
        std::lock_guard<std::mutex> g(sap->sessionLock);
        if (sap->usedFlag.load() != 1 || !sap->session) return 0;
        sap->txStat[1] += 2;
        sap->txStat[3] += 1;
        sap->txStat[0] += 1;
        const int n = rtp_session_send_with_ts(sap->session, data, length, sap->sendTs);
        if (n <= 0) RTP_DEBUG_LINE();
        sap->sendTs += 160;
        const bool second = sap->sendTs % 8000 == 0;
        if (sap->clockSlide && second) rtp_session_make_time_distorsion(sap->session, sap->clockSlide);
        if (sap->jitter && second) pauseMs = sap->jitter;
    }
    if (pauseMs) posMsecSleep(pauseMs);
    return 0;
}
