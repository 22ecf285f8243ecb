#include "agentlinkops_product.h"

#include "capa.h"
#include "pos.h"
#include "winsnd.h"

int ProductAgentLinkOps::soundInit()
{
    return winsnd_init();
}

QString ProductAgentLinkOps::outputDeviceName()
{
    const char* name = winsnd_output_name();
    return name ? QString::fromUtf8(name) : QString();
}

int ProductAgentLinkOps::txLogin(const char* userId, int userIdLen, const char* password,
                                 int passwordLen, const char* phoneNumber, int major, int minor,
                                 int patch, int captionerType)
{
    return capcTxLogin(&g_capcInfo.link, userId, userIdLen, password, passwordLen, phoneNumber,
                       major, minor, patch, captionerType);
}

// The link's notifications reach the agent task only once it has
// registered; at program start the login dialog can be quicker than the
// start-up thread, so the first connection waits for it (bounded).
static void waitForAgentTask()
{
    for (int i = 0; i < 500; ++i) {
        // The task sets its own id, where the link threads post to, once it
        // has registered and passed its start gate.
        if (__atomic_load_n(&g_capcInfo.localTaskId, __ATOMIC_ACQUIRE) != 0)
            return;
        posMsecSleep(10);
    }
    posLogPrint("CAPA] agent task not ready: starting the link anyway\n");
}

int ProductAgentLinkOps::socketStart(const char* address, int port)
{
    waitForAgentTask();
    return capcSocketStart(address, port);
}

int ProductAgentLinkOps::txChangePasswd(const char* userId, int userIdLen, const char* newPasswd,
                                        int newPasswdLen)
{
    return capcTxChangePasswd(&g_capcInfo.link, userId, userIdLen, newPasswd, newPasswdLen);
}

void ProductAgentLinkOps::shutdown(int code)
{
    posDown(code);
}

void installProductAgentLinkOps()
{
    static ProductAgentLinkOps ops;
    setAgentLinkOps(&ops);
}
