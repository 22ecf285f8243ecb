// Receive path: decodes each frame from the server link on the agent task's
// thread, answers KEEP_ALIVE itself and hands every other message to the
// console through the mailbox.
#include <climits>
#include <cstring>

#include "capa.h"
#include "concontext.h"

void capcRxMsg(const uint8_t* frame, int length)
{
    if (frame == nullptr || length < 1) return;
    CapcInfo& info = g_capcInfo;
    CapcLink& link = info.link;
    CapxMsg m;
    std::memset(static_cast<void*>(&m), 0, sizeof m);
    int L = 0;
    const int id = capxDecodeMsgEx(&m, frame, length + 2, &L, info.rxTraceLevel,
                                   static_cast<int>(link.traceTag), nullptr);
    if (id < 0) return;

    CapcTestHooks& h = g_capcHooks;
    if (id == h.rxDiscardId && h.rxDiscardCount != 0) {
        const int32_t left = capcTakeDiscard(h.rxDiscardCount);
        if (left != INT32_MIN) {
            posLogPrint("Discard Rx: Msg:%d(%02X) Left:%d\n", id, id, static_cast<int>(left));
            return;
        }
    }

    if (id == CAPX_KEEP_ALIVE) {
        const CapxKeepAlive& ka = m.keepAlive;
        const int own = link.caState;
        conPostMessage(WM_CAPC_CA_COUNT, ka.curCaCount);
        conPostMessage(WM_CAPC_DO_NOT_PAUSE, ka.doNotPause);
        if (ka.caState != 0 || ka.caState == own) {
            link.wrongStateCount = 0;
        } else if (link.wrongStateCount.fetch_add(1) + 1 > 3) {
            posLogPrint("Rx Wrong CA State : %d - %d\n", ka.caState, own);
            conPostMessage(WM_CAPC_WRONG_CA_STATE, ka.caState);
        }
        capcTxKeepAliveAck(ka.svrTxStampSec, ka.svrTxStampUsec, own);
        return;
    }
    if (id == CAPX_DATA_ACK && m.dataAck.result == 0) link.dataAcked.fetch_add(1);
    // The link key of a LOGIN_ACK was taken by the receive thread before it
    // read the next frame; setting it again here could put back an older key
    // when two LOGIN_ACKs arrive close together.
    capcMailboxPut(&m);
}

int capcMailboxPut(const CapxMsg* msg)
{
    if (!conIsPublished()) return 1;  // window not published: dropped, nothing posted
    const int r = conMailboxPut(conGetMailbox(), msg);
    conPostMessage(WM_CAPC_RX_MSG, 0);
    return r;
}
