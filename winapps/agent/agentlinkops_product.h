// The product's agent link operations: the audio layer (winsnd), the agent
// task's send builder and server link (capa) and the runtime's shutdown.
#pragma once

#include "agentlinkops.h"

class ProductAgentLinkOps : public AgentLinkOps {
public:
    int soundInit() override;
    QString outputDeviceName() override;
    int txLogin(const char* userId, int userIdLen, const char* password, int passwordLen,
                const char* phoneNumber, int major, int minor, int patch,
                int captionerType) override;
    int socketStart(const char* address, int port) override;
    int txChangePasswd(const char* userId, int userIdLen, const char* newPasswd,
                       int newPasswdLen) override;
    void shutdown(int code) override;
};

// Installs one process-wide ProductAgentLinkOps.
void installProductAgentLinkOps();
