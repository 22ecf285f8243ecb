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
