// Periodic check of the agent task: once a second, warn the console when
// caption data is not being acknowledged.
#include "capa.h"
#include "concontext.h"

int capcProcCheck(CapcLink* link)
{
    const int sent = link->dataSent;
    const int acked = link->dataAcked;
    int warned = 0;
    if (sent > acked + 2) {
        posLogPrint("ERR -- Tx:%d Rx:%d\n", sent, acked);
        conPostMessage(WM_CAPC_TX_ACK_LOSS, 0);
        warned = 1;
    }
    link->dataSent = 0;
    link->dataAcked = 0;
    return warned;
}

void capcProcTimer()
{
    CapcLink& link = g_capcInfo.link;
    if (posStartTimer(&link.periodicTimer, CAPC_PROC_TIMER, CAPC_PROC_PERIOD_MS, link.timerParam,
                      nullptr, 0, "capcproc.cpp", __LINE__) != 0) {
        posLogPrint("CAPA] FATAL @ %s:%d\n", "capcproc.cpp", __LINE__);
        posDown(POS_DOWN_APP);
        return;
    }
    capcProcCheck(&link);
}
