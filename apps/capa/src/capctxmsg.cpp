// Send builders: one per outgoing message. Each fills a zeroed record,
// encodes it and writes the frame with capcSocketSend; a failed (or
// discarded) write is reported to the console as WM_CAPC_SOCK_CLOSE for most
// messages and returned as -1.
#include <cstring>
#include <sys/time.h>

#include "capa.h"
#include "concontext.h"

#define CAPC_SRC "capctxmsg.cpp"

namespace {

// Largest frame a builder produces: LOGIN with full strings (well under 600
// bytes) and DATA with 512 bytes of text (517).
constexpr int kTxBufSize = 1024;

void systemClock(uint32_t* sec, uint32_t* usec)
{
    timeval tv{};
    gettimeofday(&tv, nullptr);
    *sec = static_cast<uint32_t>(tv.tv_sec);
    *usec = static_cast<uint32_t>(tv.tv_usec);
}

std::atomic<CapcClock> g_clock{systemClock};

enum class OnFail { Nothing, PostClose, FatalAndPostClose };

CapcLink* defaultLink() { return &g_capcInfo.link; }

void copyText(char* dst, size_t cap, const char* src)
{
    if (src == nullptr) return;
    const size_t n = strnlen(src, cap - 1);
    std::memcpy(dst, src, n);
    dst[n] = '\0';
}

// Copies credential bytes (len < 0: up to the NUL) into a short-string field
// of CAPX_SHORT_STR_MAX characters and returns the count for its length field.
uint8_t copyCredential(char* dst, const char* src, int len)
{
    if (src == nullptr) return 0;
    if (len < 0) len = static_cast<int>(strnlen(src, CAPX_SHORT_STR_MAX));
    if (len > CAPX_SHORT_STR_MAX) len = CAPX_SHORT_STR_MAX;
    std::memcpy(dst, src, static_cast<size_t>(len));
    dst[len] = '\0';
    return static_cast<uint8_t>(len);
}

// A zeroed record carrying message id `id`: every builder starts from one.
void blankMsg(CapxMsg& m, uint8_t id)
{
    std::memset(static_cast<void*>(&m), 0, sizeof m);
    m.msgId = id;
}

// Encodes and writes msg; returns 0 when written (or when there was nothing
// to encode), -1 when the write failed or was discarded.
int transmit(CapcLink* link, const CapxMsg& msg, OnFail onFail, int line)
{
    uint8_t buf[kTxBufSize];
    std::memset(buf, 0, sizeof buf);
    const int n = capxEncodeMsgEx(&msg, buf, sizeof buf, g_capcInfo.txTraceLevel,
                                  static_cast<int>(link->traceTag), nullptr);
    if (n <= 0) return 0;
    const int r = capcSocketSend(link, buf, n);
    if (r == 0) return 0;
    if (onFail == OnFail::FatalAndPostClose) posLogPrint("CAPA] FATAL @ %s:%d\n", CAPC_SRC, line);
    // A discarded frame is reported each time. A write failure is reported
    // once per link: the first failure after the link went down tells the
    // console, the next link opening re-arms it.
    if (onFail != OnFail::Nothing &&
        (r == CAPC_TX_DISCARDED || link->closeReported.exchange(1) == 0))
        conPostMessage(WM_CAPC_SOCK_CLOSE, 0);
    return -1;
}

}  // namespace

void capcSetClock(CapcClock clock) { g_clock.store(clock != nullptr ? clock : systemClock); }

int capcTxLogin(CapcLink* link, const char* userId, int userIdLen, const char* passwd,
                int passwdLen, const char* reqPhoneNumber, int major, int minor, int patch,
                int stenoFormat)
{
    if (link == nullptr) return -1;
    CapxMsg m;
    blankMsg(m, CAPX_LOGIN);
    m.login.userIdLen = copyCredential(m.login.userId, userId, userIdLen);
    m.login.passwdLen = copyCredential(m.login.passwd, passwd, passwdLen);
    if (reqPhoneNumber != nullptr)
        copyText(m.login.reqPhoneNumber, sizeof m.login.reqPhoneNumber, reqPhoneNumber);
    m.login.versionLen = 3;
    m.login.version[0] = static_cast<uint8_t>(major);
    m.login.version[1] = static_cast<uint8_t>(minor);
    m.login.version[2] = static_cast<uint8_t>(patch);
    m.login.stenoFormat = static_cast<uint8_t>(stenoFormat);
    return transmit(link, m, OnFail::Nothing, __LINE__);
}

int capcTxLogout(const char* userId, int userIdLen)
{
    CapxMsg m;
    blankMsg(m, CAPX_LOGOUT);
    m.logout.userIdLen = copyCredential(m.logout.userId, userId, userIdLen);
    return transmit(defaultLink(), m, OnFail::FatalAndPostClose, __LINE__);
}

int capcTxAssignReq()
{
    CapxMsg m;
    blankMsg(m, CAPX_ASSIGN_REQ);
    m.assignReq.callIdx = 0;
    return transmit(defaultLink(), m, OnFail::PostClose, __LINE__);
}

int capcTxControl(int control)
{
    CapxMsg m;
    blankMsg(m, CAPX_CONTROL);
    m.control.control = static_cast<uint8_t>(control);
    m.control.result = 0;
    return transmit(defaultLink(), m, OnFail::PostClose, __LINE__);
}

int capcTxData(int length, const char* text)
{
    CapxMsg m;
    blankMsg(m, CAPX_DATA);
    if (length < 0 || text == nullptr) length = 0;
    if (length > CAPX_DATA_MAX) length = CAPX_DATA_MAX;
    m.data.dataLen = static_cast<uint16_t>(length);
    if (length > 0) std::memcpy(m.data.data, text, static_cast<size_t>(length));
    CapcLink* link = defaultLink();
    const int r = transmit(link, m, OnFail::PostClose, __LINE__);
    if (r == 0) link->dataSent.fetch_add(1);
    return r;
}

int capcTxRelease(int cause)
{
    CapxMsg m;
    blankMsg(m, CAPX_RELEASE);
    m.release.cause = static_cast<uint8_t>(cause);
    CapcLink* link = defaultLink();
    const int r = transmit(link, m, OnFail::PostClose, __LINE__);
    if (r == 0) link->caState = 0;
    return r;
}

int capcTxReleaseComplete()
{
    CapxMsg m;
    blankMsg(m, CAPX_RELEASE_COMPLETE);
    CapcLink* link = defaultLink();
    const int r = transmit(link, m, OnFail::PostClose, __LINE__);
    if (r == 0) link->caState = 0;
    return r;
}

int capcTxVoipSetupComplete(int result)
{
    CapxMsg m;
    blankMsg(m, CAPX_VOIP_SETUP_COMPLETE);
    m.voipSetupComplete.result = static_cast<uint8_t>(result);
    return transmit(defaultLink(), m, OnFail::PostClose, __LINE__);
}

int capcTxHoEvent(int eventId, int result)
{
    CapxMsg m;
    blankMsg(m, CAPX_HO_EVENT);
    m.hoEvent.eventId = static_cast<uint8_t>(eventId);
    m.hoEvent.result = static_cast<uint8_t>(result);
    return transmit(defaultLink(), m, OnFail::PostClose, __LINE__);
}

int capcTxCaSvcState(int inService, int cause)
{
    CapxMsg m;
    blankMsg(m, CAPX_CA_SVC_STATE);
    m.caSvcState.inService = static_cast<uint8_t>(inService);
    m.caSvcState.cause = static_cast<uint8_t>(cause);
    return transmit(defaultLink(), m, OnFail::Nothing, __LINE__);
}

int capcTxCallReport(int rxFromSteno, int discardFromSteno, int txToSvr, int rxSvrAck,
                     int rxVocFrameFromSvr, int kaFailCnt)
{
    CapxMsg m;
    blankMsg(m, CAPX_CALL_REPORT);
    m.callReport.rxFromSteno = static_cast<uint32_t>(rxFromSteno);
    m.callReport.discardFromSteno = static_cast<uint32_t>(discardFromSteno);
    m.callReport.txToSvr = static_cast<uint32_t>(txToSvr);
    m.callReport.rxSvrAck = static_cast<uint32_t>(rxSvrAck);
    m.callReport.rxVocFrameFromSvr = static_cast<uint32_t>(rxVocFrameFromSvr);
    m.callReport.kaFailCnt = static_cast<uint8_t>(kaFailCnt & 0xFF);
    return transmit(defaultLink(), m, OnFail::PostClose, __LINE__);
}

int capcTxChangePasswd(CapcLink* link, const char* userId, int userIdLen, const char* passwd,
                       int passwdLen)
{
    if (link == nullptr) return -1;
    CapxMsg m;
    blankMsg(m, CAPX_CHANGE_PASSWD);
    m.changePasswd.userIdLen = copyCredential(m.changePasswd.userId, userId, userIdLen);
    m.changePasswd.passwdLen = copyCredential(m.changePasswd.passwd, passwd, passwdLen);
    return transmit(link, m, OnFail::PostClose, __LINE__);
}

int capcTxKeepAliveAck(uint32_t svrTxStampSec, uint32_t svrTxStampUsec, int caState)
{
    uint32_t sec = 0;
    uint32_t usec = 0;
    g_clock.load()(&sec, &usec);
    const uint32_t msec = usec / 1000;
    CapxMsg m;
    blankMsg(m, CAPX_KEEP_ALIVE_ACK);
    m.keepAliveAck.svrTxStampSec = svrTxStampSec;
    m.keepAliveAck.svrTxStampUsec = svrTxStampUsec;
    m.keepAliveAck.cliRxStampSec = sec;
    m.keepAliveAck.cliRxStampUsec = msec;
    m.keepAliveAck.cliTxStampSec = sec;
    m.keepAliveAck.cliTxStampUsec = msec;
    m.keepAliveAck.caState = static_cast<uint8_t>(caState);
    return transmit(defaultLink(), m, OnFail::PostClose, __LINE__);
}

int capcTxLinkProbe()
{
    uint8_t probe[sizeof CAPX_LINK_PROBE];
    std::memcpy(probe, CAPX_LINK_PROBE, sizeof probe);
    return capcSocketSend(defaultLink(), probe, static_cast<int>(sizeof probe)) == 0 ? 0 : -1;
}
