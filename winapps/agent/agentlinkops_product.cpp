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

int ProductAgentLinkOps::txLogin(const char* userId, const char* password, const char* phoneNumber,
                                 int major, int minor, int patch, int captionerType)
{
    return capcTxLogin(&g_capcInfo.link, userId, password, phoneNumber, major, minor, patch,
                       captionerType);
}

int ProductAgentLinkOps::socketStart(const char* address, int port)
{
    return capcSocketStart(address, port);
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
