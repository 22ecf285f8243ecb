// Fuzz target: the program's own RTP receive path. Random packets (RTP or, by
// a flag, RTCP) go over loopback UDP to a session set up exactly as a call's
// (profile, jitter buffer, signals), then the receive thread's reads run pass
// by pass, 20 ms of RTP time apart, each payload handed to the voice hand-off
// (decoding, playback queue, wake-up, echo when there is no microphone).
// Every payload must be handed off once and counted once on each side.
//
// Input: one flag byte (bit 0 call payload type G.729, bit 1 playback in
// service, bit 2 a microphone, bit 3 receive hex dump, bit 4 the SAP's
// payload type G.729), then packets: two bytes (bit 15 RTCP, low 11 bits the
// length, at most 1500) and the packet's bytes.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <ortp/ortp.h>

#include "concontext.h"
#include "pos.h"
#include "posinternal.h"
#include "rtpinternal.h"
#include "rtportp.h"
#include "winsnd.h"

namespace {

int g_window;
int g_sender = -1;

void countPost(int, uintptr_t) {}
void dropOrtpLine(const char*) {}

bool setUp()
{
    setenv("POS_DEBUG_DIR", "/tmp", 1);
    if (posInit(99) != 0) std::abort();
    posGatesOpenAll();
    g_posConsoleUp.store(1);   // lines go through the log task, which drops them
    conContextReset();
    conSetPoster(countPost);
    conPublish(&g_window, 1);
    rtpOrtpInit();
    rtpOrtpSetLogSink(dropOrtpLine);
    // One session held for the whole run keeps the library's scheduler
    // thread running, as it runs through a call: otherwise each input's
    // session would start and stop it, and the stop waits for its tick.
    static RtpSession* const held = rtpOrtpSessionNew(RTP_SESSION_RECVONLY);
    if (!held) std::abort();
    g_rtpAgent.maxEntityNum = 1;
    g_rtpAgent.sap[0].state = RTP_S_INIT;
    // No sound device: the layer keeps no codec objects then, so G.729
    // payloads decode to silence here (rtp_payload_fuzz decodes any payload
    // with a real decoder). A playback device without a stream gives the
    // audio thread its passes (it drops what it takes).
    setenv("QUILLON_AUDIO", "none", 1);
    winsnd_init();
    if (add_or_update_card("fuzz", -1, 0, WINSND_CARD_OUT) != 0) std::abort();
    g_winSnd.hasOut = 1;
    g_winSnd.initialised = 1;
    g_sender = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in any{};
    any.sin_family = AF_INET;
    any.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (g_sender < 0 || bind(g_sender, reinterpret_cast<sockaddr*>(&any), sizeof any) != 0) std::abort();
    return true;
}

void sendTo(int port, const uint8_t* p, size_t n)
{
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    to.sin_port = htons(static_cast<uint16_t>(port));
    sendto(g_sender, p, n, 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static const bool ready = setUp();
    (void)ready;
    if (size < 1 || size > 24000) return 0;
    const uint8_t flags = data[0];
    ConsoleContext& cc = conContext();
    cc.payloadType = (flags & 1) ? 18 : 0;
    winsnd_output_device()->InserviceFlag = (flags >> 1) & 1;
    g_winSnd.hasIn = (flags >> 2) & 1;

    RtpSap* sap = &g_rtpAgent.sap[0];
    sap->state = RTP_S_INIT | RTP_S_ALLOC;
    rtpSapFill(sap, 1, (flags & 0x10) ? 18 : 0, RTP_MODE_RECV, "127.0.0.1", 40000);
    sap->logRx = (flags >> 3) & 1;
    if (rtpSapOpenSession(sap) != 0) {
        rtpSapClear(sap);
        return 0;
    }
    sap->state |= RTP_S_INS;
    // The reads run here, pass by pass, instead of waiting on the clock. The
    // session stays with the library's scheduler as in a call: a session
    // taken off scheduling after it joined stays in the scheduler's list
    // when it is destroyed, and the scheduler then locks freed memory.
    rtp_session_set_blocking_mode(sap->session, 0);

    int packets = 0;
    size_t i = 1;
    while (i + 2 <= size && packets < 32) {
        const bool rtcp = data[i] & 0x80;
        size_t n = ((size_t(data[i] & 0x07) << 8) | data[i + 1]) % 1501;
        i += 2;
        if (n > size - i) n = size - i;
        sendTo(sap->localPort + (rtcp ? 1 : 0), data + i, n);
        i += n;
        ++packets;
    }

    const int rx0 = cc.RxCnt.load(), loop0 = cc.TxLoopCnt.load();
    const int done0 = cc.ProcCnt.load() + cc.FailCnt.load();
    const int stat0 = sap->rxStat[0].load();
    for (int pass = 0; pass < packets + 8; ++pass) {
        sap->haveMore = 1;
        // A payload longer than the buffer comes in parts with the same timestamp.
        for (int part = 0; sap->haveMore && part < 4; ++part) {
            const int n = rtpRecvOnce(sap);
            if (n > RTP_RX_BUF) std::abort();
        }
        sap->recvTs += 160;
    }
    const int handed = sap->rxStat[0].load() - stat0;
    if (cc.RxCnt.load() - rx0 != handed) std::abort();
    if (cc.ProcCnt.load() + cc.FailCnt.load() - done0 != handed) std::abort();
    if (cc.TxLoopCnt.load() - loop0 != (g_winSnd.hasIn.load() ? 0 : handed)) std::abort();

    rtpSapClear(sap);
    {
        std::lock_guard<std::mutex> g(g_winSnd.processLock);
        winsnd_queue_flush(&g_winSnd.playbackQueue);
    }
    return 0;
}
