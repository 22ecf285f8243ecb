// Service access point: allocation with its session start, stop and clear,
// and the library's signal handlers.
#include <arpa/inet.h>

#include <cstdio>
#include <ortp/ortp.h>
#include <ortp/telephonyevents.h>

#include "rtpinternal.h"
#include "rtportp.h"

namespace {

void resyncCb(RtpSession* session, void*, void*, void*) { rtp_session_resync(session); }

void tevCb(RtpSession* session, void* event, void* user, void*)
{
    rtpRecvTevCb(session, static_cast<int>(reinterpret_cast<intptr_t>(event)), user);
}

void payloadChangedCb(RtpSession* session, void* user, void*, void*) { rtpRecvPayloadChdCb(session, user); }

bool numericIpv4(const char* text)
{
    if (!text) return false;
    const size_t n = strnlen(text, 20);
    if (n == 0 || n >= 20) return false;
    in_addr a{};
    return inet_pton(AF_INET, text, &a) == 1;
}

// Ends the session of a SAP whose start failed and makes the SAP reusable.
void abandonStart(RtpSap* sap)
{
    sap->rxContinueFlag = 0;
    {
        std::lock_guard<std::mutex> g(sap->sessionLock);
        if (sap->session) rtpOrtpSessionDestroy(sap->session);
        sap->session = nullptr;
    }
    {
        std::lock_guard<std::mutex> g(sap->sessionLock);
        rtpSapResetRecord(sap, false);
    }
    sap->state = RTP_S_INIT;
}

}  // namespace

void rtpSapFill(RtpSap* sap, int32_t userId, uint16_t payloadType, uint8_t rtpMode, const char* remoteIp,
                uint16_t remotePort)
{
    sap->id = 0;
    sap->userId = userId;
    sap->usedFlag = 1;
    sap->pid = 0;
    sap->rtcpEnableFlag = 1;
    sap->symmetricFlag = 0;
    sap->ignorePayload = 0;
    sap->rtpMode = rtpMode;
    sap->payloadType = payloadType;
    sap->clockRate = 8000;
    sap->channels = 1;
    sap->sp = 0;
    std::snprintf(sap->mime, sizeof sap->mime, "%s", payloadType == 0 ? "PCMU" : "G729");
    sap->localPort = 0;
    sap->adapt = 1;
    sap->jittcomp = 60;
    std::snprintf(sap->remoteIp, sizeof sap->remoteIp, "%s", remoteIp);
    sap->remotePort = remotePort;
    sap->ssrc = 520;
    {
        std::lock_guard<std::mutex> g(sap->sessionLock);
        sap->jitter = 60;
        sap->clockSlide = 0;
        sap->sendTs = 0;
    }
    sap->recvTs = 0;
}

int32_t rtpSapAlloc(int32_t userId, uint16_t payloadType, uint8_t rtpMode, const char* remoteIp,
                    uint16_t remotePort)
{
    RtpSap* sap = &g_rtpAgent.sap[0];
    if (rtpLogging(sap)) posLogPrint("RTP:%d] rtpSapAlloc()\n", sap->id);

    // The set-up comes from the network: only a numeric IPv4 address, a
    // payload type of the RTP range and a port with room for RTCP above it.
    if (!numericIpv4(remoteIp) || payloadType > 127 || remotePort < 1 || remotePort > 65534) {
        posLogPrint("RTP:%d] Err! rtpSapAlloc refused: remote(%.19s:%d) payloadType(%d)\n", sap->id,
                    remoteIp ? remoteIp : "", remotePort, payloadType);
        return -1;
    }
    int32_t expected = RTP_S_INIT;
    if (!sap->state.compare_exchange_strong(expected, RTP_S_INIT | RTP_S_ALLOC)) {
        RTP_DEBUG_LINE();
        return -1;
    }

    rtpSapFill(sap, userId, payloadType, rtpMode, remoteIp, remotePort);

    if (rtpLogging(sap))
        posLogPrint("RTP%d] L(%s:%d) R(S%d:%s:%d) %s(%d) %d\n", sap->id, sap->localIp, sap->localPort,
                    sap->symmetricFlag, sap->remoteIp, sap->remotePort, sap->mime, sap->payloadType.load(),
                    sap->clockRate);

    if (rtpSapStart(sap) != 0) {
        posLogPrint("RTP] FATAL _______ %s:%d _______ \n", rtpModuleName(__FILE__), __LINE__);
        abandonStart(sap);
        return -1;
    }
    return 0;
}

int32_t rtpSapOpenSession(RtpSap* sap)
{
    const int mode = sap->rtpMode;
    RtpSession* s = nullptr;
    const bool fail = rtpTakeStartFault(RTP_FAULT_SESSION);
    if (mode >= 1 && mode <= 3 && !fail) s = rtpOrtpSessionNew(mode - 1);
    if (!s) {
        posLogPrint("RTP:%d] Err! NULL Session(%x) or Wrong RTP Mode(%d: 1 ~ 3 )\n", sap->id,
                    static_cast<unsigned>(reinterpret_cast<uintptr_t>(s)), mode);
        return -1;
    }
    {
        std::lock_guard<std::mutex> g(sap->sessionLock);
        sap->session = s;
    }
    rtp_session_set_profile(s, rtpOrtpProfile());
    rtp_session_enable_rtcp(s, sap->rtcpEnableFlag == 1);
    rtp_session_set_recv_buf_size(s, 2048);
    rtp_session_set_rtp_socket_send_buffer_size(s, 65536);
    rtp_session_set_rtp_socket_recv_buffer_size(s, 65536);
    rtp_session_set_scheduling_mode(s, 1);
    rtp_session_set_blocking_mode(s, 1);
    rtp_session_set_connected_mode(s, FALSE);
    rtp_session_set_payload_type(s, sap->payloadType.load());
    rtp_session_enable_adaptive_jitter_compensation(s, TRUE);
    rtp_session_set_jitter_compensation(s, sap->jittcomp);
    rtp_session_set_time_jump_limit(s, 5000);
    rtp_session_signal_connect(s, "network_error", resyncCb, nullptr);
    rtp_session_signal_connect(s, "timestamp_jump", resyncCb, nullptr);
    rtp_session_signal_connect(s, "ssrc_changed", resyncCb, nullptr);
    rtp_session_signal_connect(s, "payload_type_changed", payloadChangedCb,
                               reinterpret_cast<void*>(static_cast<intptr_t>(sap->id)));
    rtp_session_set_ssrc_changed_threshold(s, 0);
    if (sap->jittcomp || sap->jitter) {
        rtp_session_enable_jitter_buffer(s, TRUE);
        JBParameters jb{};
        rtp_session_get_jitter_buffer_params(s, &jb);
        jb.max_packets = 100;
        rtp_session_set_jitter_buffer_params(s, &jb);
    }

    if (sap->rtpMode & RTP_MODE_RECV) {
        rtp_session_enable_adaptive_jitter_compensation(s, TRUE);
        rtp_session_set_symmetric_rtp(s, sap->symmetricFlag ? TRUE : FALSE);
        const int port = rtpOrtpBindLocal(s, "0.0.0.0");
        if (port < 0) {
            posLogPrint("RTP:%d] Err! no free local port\n", sap->id);
            return -1;
        }
        sap->localPort = port;
        rtp_session_signal_connect(s, "telephone-event", tevCb,
                                   reinterpret_cast<void*>(static_cast<intptr_t>(sap->id)));
    }
    if (sap->rtpMode & RTP_MODE_SEND) {
        if (!sap->symmetricFlag &&
            rtp_session_set_remote_addr_and_port(s, sap->remoteIp, sap->remotePort, sap->remotePort + 1) != 0) {
            posLogPrint("RTP:%d] Err! remote address %s:%d\n", sap->id, sap->remoteIp, sap->remotePort);
            return -1;
        }
        if (sap->ssrc) rtp_session_set_ssrc(s, static_cast<uint32_t>(sap->ssrc));
        rtp_session_set_source_description(s, "TALVINOR", "", "", "", "", "M01", "M");
    }
    return 0;
}

int32_t rtpSapStart(RtpSap* sap)
{
    if (rtpSapOpenSession(sap) != 0) return -1;
    sap->state |= RTP_S_INS;

    if ((sap->rtpMode & RTP_MODE_RECV) && sap->pid == 0) {
        sap->rxContinueFlag = 1;
        if (rtpStartRecvThread(sap) != 0) return -1;
    }
    return 0;
}

void rtpSapStop() { g_rtpAgent.sap[0].rxContinueFlag = 0; }

int32_t rtpSapClear(RtpSap* sap)
{
    if (rtpLogging(sap)) posLogPrint("RTP:%d] rtpSapClear()\n", sap->id);
    if (sap->usedFlag.load() != 1) return 0;
    {
        std::lock_guard<std::mutex> g(sap->sessionLock);
        if (sap->session) rtpOrtpSessionDestroy(sap->session);
        sap->session = nullptr;
        sap->sendTs = 0;
    }
    rtpDspSapStatis(sap->id);
    {
        std::lock_guard<std::mutex> g(sap->sessionLock);
        rtpSapResetRecord(sap, false);
    }
    sap->state = RTP_S_INIT;
    return 0;
}

void rtpRecvTevCb(_RtpSession*, int event, void* user)
{
    const int id = static_cast<int>(reinterpret_cast<intptr_t>(user));
    if (event < 0 || event >= 16 || id < 0 || id >= g_rtpAgent.maxEntityNum.load() || id >= RTP_MAX_SAP) return;
    if (rtpLogging(&g_rtpAgent.sap[id]))
        posLogPrint("RTP:%d] rtpRecvTevCb(dtmf:%c)\n", id, "0123456789*#ABCD"[event]);
}

void rtpRecvPayloadChdCb(_RtpSession* session, void* user)
{
    const int id = static_cast<int>(reinterpret_cast<intptr_t>(user));
    if (id < 0 || id >= g_rtpAgent.maxEntityNum.load() || id >= RTP_MAX_SAP || !session) return;
    g_rtpAgent.sap[id].payloadType = rtp_session_get_recv_payload_type(session);
}
