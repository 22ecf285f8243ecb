// Shared between the RTP task's modules.
#pragma once

#include <cstring>

#include "pos.h"
#include "rtpagent.h"

// The task's log switch or the SAP's own.
inline bool rtpLogging(const RtpSap* sap)
{
    return g_rtpAgent.logFlag.load(std::memory_order_relaxed) || (sap && sap->sapLog);
}

inline const char* rtpModuleName(const char* path)
{
    const char* slash = std::strrchr(path, '/');
    return slash ? slash + 1 : path;
}

#define RTP_DEBUG_LINE() posLogPrint("RTP] DEBUG: %s:%d\n", rtpModuleName(__FILE__), __LINE__)

inline bool rtpSapIdValid(int id)
{
    return id >= 0 && id < g_rtpAgent.maxEntityNum.load(std::memory_order_relaxed) && id < RTP_MAX_SAP;
}

// Zeroes the per-call fields (rtpSapClear) and the whole record (task start).
void rtpSapResetRecord(RtpSap* sap, bool whole);
// True (once) when the given start fault was asked for.
bool rtpTakeStartFault(int which);

// The call fields of a SAP as an allocation sets them (before its session).
void rtpSapFill(RtpSap* sap, int32_t userId, uint16_t payloadType, uint8_t rtpMode, const char* remoteIp,
                uint16_t remotePort);
// The SAP's session set up for its call (profile, jitter buffer, signals, the
// local port when receiving, the remote address when sending), without the
// receive thread. 0, or -1 with the reason logged; the session may then
// exist and is ended by the caller.
int32_t rtpSapOpenSession(RtpSap* sap);
// One timestamped read of the session at recvTs, with the hand-off of what it
// gave; sets haveMore. Returns the read's result (bytes, or 0 or less).
int rtpRecvOnce(RtpSap* sap);
