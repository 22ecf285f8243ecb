#include "agentlinkops.h"

#include <cstdio>
#include <cstdlib>

AgentLinkOps::~AgentLinkOps() = default;

int AgentLinkOps::txChangePasswd(const char*, int, const char*, int)
{
    return -1;
}

namespace {

// Used until the application installs the real operations.
class MissingOps : public AgentLinkOps {
public:
    int soundInit() override { return -1; }
    QString outputDeviceName() override { return QString(); }
    int txLogin(const char*, int, const char*, int, const char*, int, int, int, int) override
    {
        return -1;
    }
    int socketStart(const char*, int) override { return -1; }
    void shutdown(int code) override
    {
        std::fprintf(stderr, "QuillonAgent: shutdown %d\n", code);
        std::fflush(nullptr);
        std::_Exit(1);
    }
};

AgentLinkOps* g_ops = nullptr;

}  // namespace

AgentLinkOps& agentLinkOps()
{
    static MissingOps missing;
    return g_ops ? *g_ops : missing;
}

void setAgentLinkOps(AgentLinkOps* ops)
{
    g_ops = ops;
}
