// Console displays of the RTP task.
#include <cinttypes>
#include <cstdio>
#include <string>

#include <ortp/ortp.h>

#include "rtpinternal.h"
#include "rtportp.h"

int rtpDspStatus()
{
    RtpAgent& a = g_rtpAgent;
    posLogPrint("\n");
    posLogPrint("myTaskId(%d) userTaskId(%d) LocalIP(%s:%X)\n", a.myTaskId, a.userTaskId, a.localIpText,
                a.localIpAddr);
    posLogPrint("logFlag(%d) testFlag(%d)\n", a.logFlag.load(), a.testFlag);
    posLogPrint("\n");
    std::string table = "     00 01 02 03 04 05 06 07 08 09 10 11 12 13 14 15 16 17 18 19";
    int so = 0, ro = 0, sr = 0;
    const int max = a.maxEntityNum.load();
    for (int i = 0; i < max && i < RTP_MAX_SAP; ++i) {
        char cell[16];
        if (i % 20 == 0) {
            std::snprintf(cell, sizeof cell, "\n%4d", i);
            table += cell;
        }
        const RtpSap& sap = a.sap[i];
        if (!sap.usedFlag.load()) {
            table += " --";
        } else if (sap.rtpMode == 2) {
            table += " SO";
            ++so;
        } else if (sap.rtpMode == 1) {
            table += " RO";
            ++ro;
        } else if (sap.rtpMode == 3) {
            table += " SR";
            ++sr;
        }
    }
    posLogPrint("%s", table.c_str());
    posLogPrint("\n");
    posLogPrint("maxEntityNum(%d) peakNum(%d) usedNum(%d) idleNum(%d)\n", max, a.peakNum, a.usedNum,
                max - a.usedNum);
    posLogPrint("SO(%d) RO(%d) SR(%d)\n", so, ro, sr);
    return 0;
}

int rtpDspSap(int id)
{
    if (!rtpSapIdValid(id)) {
        posLogPrint("RTP] Err! sapId(%d)\n", id);
        RTP_DEBUG_LINE();
        return -1;
    }
    RtpSap& s = g_rtpAgent.sap[id];
    if (s.usedFlag.load() != 1 || s.entityReady != 1) {
        RTP_DEBUG_LINE();
        return -1;
    }
    posLogPrint("\n");
    posLogPrint("id/session       : %d/ %016" PRIXPTR "\n", s.id, reinterpret_cast<uintptr_t>(s.session));
    posLogPrint("usedFlag         : %d\n", s.usedFlag.load());
    posLogPrint("userId           : %d\n", s.userId);
    posLogPrint("rtpMode          : %d\n", s.rtpMode);
    posLogPrint("\n");
    posLogPrint("payloadType      : mime(%s:%d) rate(%d) channels(%d)\n", s.mime, s.payloadType.load(),
                s.clockRate, s.channels);
    posLogPrint("\n");
    posLogPrint("local            : ip(%s) port(%d)\n", s.localIp, s.localPort);
    posLogPrint("remote           : ip(%s) port(%d) RxStarted(%d)\n", s.remoteIp, s.remotePort,
                s.rxStarted.load());
    posLogPrint("adapt            : %d\n", s.adapt);
    posLogPrint("jittcomp         : %d\n", s.jittcomp);
    posLogPrint("jitter           : %d\n", s.jitter);
    posLogPrint("clockSlide       : %d\n", s.clockSlide);
    posLogPrint("ssrc             : %d\n", s.ssrc);
    posLogPrint("rxContinueFlag   : %d\n", s.rxContinueFlag.load());
    posLogPrint("rtcpEnableFlag   : %d\n", s.rtcpEnableFlag);
    posLogPrint("pid              : %lu\n", static_cast<unsigned long>(s.pid));
    posLogPrint("ignorePayload    : %d\n", s.ignorePayload);
    posLogPrint("symmetricFlag    : %d\n", s.symmetricFlag);
    posLogPrint("stream_received  : %d\n", s.streamReceived);
    posLogPrint("Tx Machine Info  : Loopback(%d) User(%d:%d/%d) Prim(0x%X)\n", s.txMachineInfo[0],
                s.txMachineInfo[1], s.txMachineInfo[4], s.txMachineInfo[2],
                static_cast<unsigned>(s.txMachineInfo[3]));
    posLogPrint("MIPA: FLAG(%d) TASK(%d.%d)\n", s.mipaFlag, s.mipaTaskId, s.mipaTaskSub);
    return 0;
}

int rtpDspSapStatis(int id)
{
    if (!rtpSapIdValid(id)) {
        posLogPrint("RTP] Err! sapId(%d)\n", id);
        RTP_DEBUG_LINE();
        return -1;
    }
    RtpSap& s = g_rtpAgent.sap[id];
    posLogPrint("\nRTP:%d (%s:%d) LOC(%d) REM(%s:%d) SP(%d)\n", s.id, s.mime, s.payloadType.load(), s.localPort,
                s.remoteIp, s.remotePort, s.sp);
    posLogPrint("          DIRECT     TOTAL  PRE-PROC  CMS-PROC     Tx To NL/CODING  DURATION\n");
    posLogPrint("   ------------- --------- --------- --------- --------- --------- ---------\n");
    posLogPrint("   from RTP(%3d) %9d %9d %9d %9d %9d %9d\n", s.id, s.rxStat[0].load(), s.rxStat[1].load(),
                s.rxStat[2].load(), s.rxStat[3].load(), s.rxStat[4].load(), 0);
    posLogPrint("     to RTP(%3d) %9d %9d %9d %9d %9d %9d\n", s.id, s.txStat[0].load(), s.txStat[1].load(),
                s.txStat[2].load(), s.txStat[3].load(), s.txStat[4].load(), 0);
    return 0;
}

int rtpDspSapM(int id)
{
    for (int i = id; i < id + 3; ++i) rtpDspSapStatis(i);
    return 0;
}

int rtpDspOrtpStatis(int id)
{
    if (!rtpSapIdValid(id)) {
        posLogPrint("RTP] Err! sapId(%d)\n", id);
        RTP_DEBUG_LINE();
        return -1;
    }
    RtpSap& s = g_rtpAgent.sap[id];
    int64_t c[10];
    {
        std::lock_guard<std::mutex> g(s.sessionLock);
        if (!s.session) {
            RTP_DEBUG_LINE();
            return -1;
        }
        rtpOrtpSessionCounters(s.session, c);
    }
    posLogPrint("oRTP-stats:\n   :\n");
    posLogPrint(" number of rtp packet sent=%" PRId64 "\n", c[0]);
    posLogPrint(" number of rtp bytes sent=%" PRId64 " bytes\n", c[1]);
    posLogPrint(" number of rtp packet received=%" PRId64 "\n", c[2]);
    posLogPrint(" number of rtp bytes received=%" PRId64 " bytes\n", c[3]);
    posLogPrint(" number of incoming rtp bytes successfully delivered to the application=%" PRId64 " \n", c[4]);
    posLogPrint(" number of times the application queried a packet that didn't exist=%" PRId64 " \n", c[5]);
    posLogPrint(" number of rtp packet lost=%" PRId64 "\n", c[6]);
    posLogPrint(" number of rtp packets received too late=%" PRId64 "\n", c[7]);
    posLogPrint(" number of bad formatted rtp packets=%" PRId64 "\n", c[8]);
    posLogPrint(" number of packet discarded because of queue overflow=%" PRId64 "\n", c[9]);
    return 0;
}
