// The message catalogue: names of ids 0..51.
#include "capxmsgcoder.h"

#include <cstring>

namespace {

const char* const kMsgNames[CAPX_MSG_ID_LAST + 1] = {
    "NULL_MSG",
    "BROADCAST",
    "ASSIGN_REQ",
    "ASSIGN_COMPLETE",
    "ASSIGN_FAIL",
    "CONTROL",
    "DATA",
    "RELEASE",
    "RELEASE_COMPLETE",
    "LOGIN",
    "LOGIN_ACK",
    "LOGOUT",
    "LOGOUT_ACK",
    "AGENT_STATE",
    "KEEP_ALIVE",
    "KEEP_ALIVE_ACK",
    "VOIP_SETUP",
    "VOIP_SETUP_COMPLETE",
    "CHANGE_PASSWD",
    "CHANGE_PASSWD_ACK",
    "CONTROL_AGENT_ADD",
    "CONTROL_AGENT_ADD_ACK",
    "CONTROL_AGENT_MOD",
    "CONTROL_AGENT_MOD_ACK",
    "CONTROL_AGENT_DEL",
    "CONTROL_AGENT_DEL_ACK",
    "GET_AGENT_INFO",
    "GET_AGENT_INFO_ACK",
    "MONITORING",
    "PERIODIC_REPORT",
    "MESSAGE",
    "GET_GROUP_INFO",
    "GET_GROUP_INFO_ACK",
    "DATA_ACK",
    "HO_EVENT",
    "CT_ITEM_LIST_GET",
    "CT_ITEM_LIST_GET_RESULT",
    "CT_START",
    "CT_START_ACK",
    "CT_STOP",
    "CT_STOP_ACK",
    "CT_RESULT",
    "CA_SVC_STATE",
    "CA_SVC_STATE_ACK",
    "CONTROL_AGENT",
    "CONTROL_AGENT_ACK",
    "CONTROL_AVOID_CA_PAUSE",
    "CONTROL_AVOID_CA_PAUSE_ACK",
    "CALL_INFO",
    "CALL_EVENT",
    "CALL_RESULT",
    "CALL_REPORT",
};

}  // namespace

const char* capxMsgName(int id)
{
    if (id < 0 || id > CAPX_MSG_ID_LAST)
        return "UNKNOWN";
    return kMsgNames[id];
}

int capxMsgIdFromName(const char* name)
{
    if (name == nullptr)
        return -1;
    for (int id = 0; id <= CAPX_MSG_ID_LAST; ++id)
        if (std::strcmp(kMsgNames[id], name) == 0)
            return id;
    return -1;
}
