// What the dialogs need from the agent link, the audio layer and the
// runtime, behind one small interface: the product implementation calls
// winsnd_init, capcTxLogin, capcSocketStart, capcTxChangePasswd and posDown;
// tests install fakes that record the calls.
#pragma once

#include <QString>

class AgentLinkOps {
public:
    virtual ~AgentLinkOps();
    // Brings up the audio devices (winsnd_init): 0 ready, negative: none.
    virtual int soundInit() = 0;
    // Name of the output device, empty when there is none.
    virtual QString outputDeviceName() = 0;
    // Sends LOGIN with the scrambled credentials, which can hold 0 bytes:
    // userId and password with their lengths, the phone number NUL-terminated.
    virtual int txLogin(const char* userId, int userIdLen, const char* password, int passwordLen,
                        const char* phoneNumber, int major, int minor, int patch,
                        int captionerType) = 0;
    // Starts the server link to address:port.
    virtual int socketStart(const char* address, int port) = 0;
    // Sends CHANGE_PASSWD with the scrambled login id and new password (with
    // their lengths: scrambled bytes may include 0). 0 sent, -1 not sent.
    virtual int txChangePasswd(const char* userId, int userIdLen, const char* newPasswd,
                               int newPasswdLen);
    // Ends the program (posDown); a fake may return.
    virtual void shutdown(int code) = 0;
};

// The operations in use. Without an installed implementation every call
// fails (soundInit and the link calls return -1, shutdown ends the process
// with exit code 1).
AgentLinkOps& agentLinkOps();
// Installs ops (not owned); nullptr removes it.
void setAgentLinkOps(AgentLinkOps* ops);
