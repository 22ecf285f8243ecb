#include "golden_frames.h"

#include <cstdlib>
#include <cstring>

namespace {

const std::vector<GoldenFrame> kGolden = {
    {"BROADCAST",
     [](CapxMsg& m) {
         m.broadcast = {CAPX_BROADCAST, 0x0102, 0x0304, 0x0A0B0C0D};
     },
     "00 09 | 01 | 01 02 | 03 04 | 0A 0B 0C 0D"},
    {"ASSIGN_REQ",
     [](CapxMsg& m) {
         m.assignReq = {CAPX_ASSIGN_REQ, 0x11223344};
     },
     "00 05 | 02 | 11 22 33 44"},
    {"ASSIGN_COMPLETE",
     [](CapxMsg& m) {
         m.msgId = CAPX_ASSIGN_COMPLETE;
         m.assignComplete.availCallCount1st = 1;
         m.assignComplete.availCallCount2nd = 2;
         setText(m.assignComplete.cuPhoneNumber, "5551234567");
         m.assignComplete.language = 1;
         m.assignComplete.isEmergency = 0;
         m.assignComplete.callIdx = 12345678;
     },
     "00 1B | 03 | 00 01 | 00 02 | 35 35 35 31 32 33 34 35 36 37 00 00 00 00 00 00 | 01 | 00 | 00 BC 61 4E"},
    {"ASSIGN_FAIL",
     [](CapxMsg& m) {
         m.assignFail = {CAPX_ASSIGN_FAIL, 7, 0, 0xFFFFFFFFu};
     },
     "00 09 | 04 | 00 07 | 00 00 | FF FF FF FF"},
    {"CONTROL",
     [](CapxMsg& m) {
         m.control = {CAPX_CONTROL, 11, 0};
     },
     "00 03 | 05 | 0B | 00"},
    {"DATA",
     [](CapxMsg& m) {
         m.msgId = CAPX_DATA;
         m.data.dataLen = 3;
         std::memcpy(m.data.data, "abc", 3);
     },
     // body 06 00 03 61 62 63, c = 6: frame bytes 3..5 go up by 6
     "00 06 | 06 | 06 09 | 67 62 63"},
    {"RELEASE",
     [](CapxMsg& m) {
         m.release = {CAPX_RELEASE, 3};
     },
     "00 02 | 07 | 03"},
    {"RELEASE_COMPLETE",
     [](CapxMsg& m) {
         m.msgId = CAPX_RELEASE_COMPLETE;
     },
     "00 01 | 08"},
    {"LOGIN",
     [](CapxMsg& m) {
         m.msgId = CAPX_LOGIN;
         setText(m.login.userId, "agent7");
         setText(m.login.passwd, "pw");
         m.login.versionLen = 3;
         m.login.version[0] = 2;
         m.login.version[1] = 8;
         m.login.version[2] = 4;
         m.login.stenoFormat = 2;
     },
     "00 23 | 09 | 06 61 67 65 6E 74 37 | 02 70 77 | 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00"
     " | 00 03 02 08 04 | 02 | 00 00"},
    {"LOGIN_ACK",
     [](CapxMsg& m) {
         m.msgId = CAPX_LOGIN_ACK;
         m.loginAck.agentId = 0x1001;
         setText(m.loginAck.phoneNumber, "8005550100");
         m.loginAck.result = 0;
         m.loginAck.level = 2;
         m.loginAck.groupId = 0x0102;
         m.loginAck.language = 1;
         m.loginAck.upgradeRequired = 0;
         m.loginAck.loginMode = 1;
         m.loginAck.dataLogFlag = 1;
         setText(m.loginAck.msg, "Hi");
         m.loginAck.eValue = 0x2A;
     },
     "00 22 | 0A | 00 00 10 01 | 38 30 30 35 35 35 30 31 30 30 00 00 00 00 00 00 | 00 | 02 | 01 02 | 01 | 00"
     " | 01 | 01 | 00 02 48 69 | 2A"},
    {"LOGOUT",
     [](CapxMsg& m) {
         m.msgId = CAPX_LOGOUT;
         setText(m.logout.userId, "agent7");
     },
     "00 08 | 0B | 06 61 67 65 6E 74 37"},
    {"LOGOUT_ACK",
     [](CapxMsg& m) {
         m.msgId = CAPX_LOGOUT_ACK;
         m.logoutAck.result = 0;
         setText(m.logoutAck.msg, "bye");
     },
     "00 07 | 0C | 00 | 00 03 62 79 65"},
    {"AGENT_STATE",
     [](CapxMsg& m) {
         m.agentState = {CAPX_AGENT_STATE, 4};
     },
     "00 02 | 0D | 04"},
    {"KEEP_ALIVE",
     [](CapxMsg& m) {
         m.keepAlive = {CAPX_KEEP_ALIVE, 0x5F5E1000, 500000, 12, 4, 1};
     },
     "00 0D | 0E | 5F 5E 10 00 | 00 07 A1 20 | 00 0C | 04 | 01"},
    {"KEEP_ALIVE_ACK",
     [](CapxMsg& m) {
         m.keepAliveAck = {CAPX_KEEP_ALIVE_ACK, 0x5F5E1000, 500000, 0x5F5E1001, 999, 0x5F5E1001, 999, 4};
     },
     "00 1A | 0F | 5F 5E 10 00 | 00 07 A1 20 | 5F 5E 10 01 | 00 00 03 E7 | 5F 5E 10 01 | 00 00 03 E7 | 04"},
    {"VOIP_SETUP",
     [](CapxMsg& m) {
         m.msgId = CAPX_VOIP_SETUP;
         setText(m.voipSetup.ipAddr, "192.168.1.20");
         m.voipSetup.portId = 20000;
         m.voipSetup.payloadType = 18;
     },
     "00 15 | 10 | 31 39 32 2E 31 36 38 2E 31 2E 32 30 00 00 00 00 | 4E 20 | 00 12"},
    {"VOIP_SETUP_COMPLETE",
     [](CapxMsg& m) {
         m.voipSetupComplete = {CAPX_VOIP_SETUP_COMPLETE, 53};
     },
     "00 02 | 11 | 35"},
    {"CHANGE_PASSWD",
     [](CapxMsg& m) {
         m.msgId = CAPX_CHANGE_PASSWD;
         setText(m.changePasswd.userId, "a7");
         setText(m.changePasswd.passwd, "new");
     },
     "00 08 | 12 | 02 61 37 | 03 6E 65 77"},
    {"CHANGE_PASSWD_ACK",
     [](CapxMsg& m) {
         m.changePasswdAck = {CAPX_CHANGE_PASSWD_ACK, 1};
     },
     "00 02 | 13 | 01"},
    {"CONTROL_AGENT_ADD",
     [](CapxMsg& m) {
         m.msgId = CAPX_CONTROL_AGENT_ADD;
         m.controlAgentAdd.language = 2;
         m.controlAgentAdd.groupId = 0x0304;
         setText(m.controlAgentAdd.userId, "u");
         setText(m.controlAgentAdd.passwd, "p");
         setText(m.controlAgentAdd.phoneNumber, "12");
         setText(m.controlAgentAdd.email, "e@x");
         setText(m.controlAgentAdd.address, "A");
     },
     "00 1F | 14 | 02 | 03 04 | 01 75 | 01 70 | 31 32 00 00 00 00 00 00 00 00 00 00 00 00 00 00"
     " | 03 65 40 78 | 00 | 01 41"},
    {"CONTROL_AGENT_MOD",
     [](CapxMsg& m) {
         m.msgId = CAPX_CONTROL_AGENT_MOD;
         m.controlAgentMod.language = 1;
         m.controlAgentMod.groupId = 9;
         setText(m.controlAgentMod.userId, "bob");
         setText(m.controlAgentMod.phoneNumber, "0123456789012345");
         setText(m.controlAgentMod.description, "desk");
     },
     "00 20 | 16 | 01 | 00 09 | 03 62 6F 62 | 00 | 30 31 32 33 34 35 36 37 38 39 30 31 32 33 34 35 | 00"
     " | 04 64 65 73 6B | 00"},
    {"CONTROL_AGENT_MOD_ACK",
     [](CapxMsg& m) {
         m.controlAgentModAck = {CAPX_CONTROL_AGENT_MOD_ACK, 0};
     },
     "00 02 | 17 | 00"},
    {"CONTROL_AGENT_DEL",
     [](CapxMsg& m) {
         m.msgId = CAPX_CONTROL_AGENT_DEL;
         m.controlAgentDel.agentId = 0x1234;
         setText(m.controlAgentDel.userId, "x");
     },
     "00 05 | 18 | 12 34 | 01 78"},
    {"CONTROL_AGENT_DEL_ACK",
     [](CapxMsg& m) {
         m.controlAgentDelAck = {CAPX_CONTROL_AGENT_DEL_ACK, 2};
     },
     "00 02 | 19 | 02"},
    {"GET_AGENT_INFO",
     [](CapxMsg& m) {
         m.getAgentInfo = {CAPX_GET_AGENT_INFO, 0x0010, 1};
     },
     "00 04 | 1A | 00 10 | 01"},
    {"GET_AGENT_INFO_ACK",
     [](CapxMsg& m) {
         CapxGetAgentInfoAck& a = m.getAgentInfoAck;
         a.msgId = CAPX_GET_AGENT_INFO_ACK;
         a.tempId = 1;
         a.groupId = 2;
         a.agentId = 3;
         setText(a.ipAddr, "10.0.0.1");
         a.isVoip = 1;
         a.stateLogin = 2;
         a.stateCall = 3;
         a.verMaj = 2;
         a.verMin = 8;
         a.verPat = 4;
         a.stenoFormat = 5;
         a.roundTripMsec = 0x0102;
         a.roundTripMsecPeak = 0x0304;
         a.serviceCnt = 5;
         a.attemptCnt = 6;
         a.efficiencyRateH = 7;
         a.efficiencyRateL = 8;
         a.loginTimeStamp = 0x01020304;
         setText(a.agentName, "Ann");
         a.loginMode = 1;
         a.level = 2;
         a.lang = 3;
         a.stateShift = 4;
         a.pauseCount = 5;
         a.resumeCount = 6;
         a.pausedDurationSec = 0x0708;
     },
     "00 4A | 1B | 00 01 | 00 02 | 00 00 00 03 | 31 30 2E 30 2E 30 2E 31 00 00 00 00 00 00 00 00"
     " | 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 | 01 | 02 | 03 | 02 | 08 | 04 | 05 | 01 02 | 03 04"
     " | 00 05 | 00 06 | 07 | 08 | 01 02 03 04 | 03 41 6E 6E | 01 | 02 | 03 | 04 | 05 | 06 | 07 08"},
    {"MONITORING",
     [](CapxMsg& m) {
         CapxMonitoring& a = m.monitoring;
         a.msgId = CAPX_MONITORING;
         a.tempId = 0x0A0B;
         a.agentId = 0x100;
         a.groupId = 2;
         a.serviceCnt = 3;
         a.stateLogin = 1;
         a.stateCall = 2;
         a.roundTripMsec = 10;
         a.roundTripMsecPeak = 20;
         a.attemptCnt = 4;
         a.efficiencyRateH = 9;
         a.efficiencyRateL = 5;
         a.stateShift = 1;
         a.pauseCount = 2;
         a.resumeCount = 3;
         a.pausedDurationSec = 300;
     },
     "00 1A | 1C | 0A 0B | 00 00 01 00 | 00 02 | 00 03 | 01 | 02 | 00 0A | 00 14 | 00 04 | 09 | 05 | 01 | 02"
     " | 03 | 01 2C"},
    {"PERIODIC_REPORT",
     [](CapxMsg& m) {
         CapxPeriodicReport& p = m.periodicReport;
         p.msgId = CAPX_PERIODIC_REPORT;
         p.timeStamp = 0x65000000;
         p.groupNum = 2;
         p.group[0] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11};
         p.group[1].groupId = 0x0102;
         p.group[1].serviceCnt = 0x01020304;
         p.group[1].readySec = 0xFFFFFFFFu;
     },
     "00 46 | 1D | 65 00 00 00 | 02"
     " | 00 01 | 00 00 00 02 | 00 00 00 03 | 00 00 00 04 | 00 00 00 05 | 00 06 | 00 07 | 08 | 09"
     " | 00 00 00 0A | 00 00 00 0B"
     " | 01 02 | 01 02 03 04 | 00 00 00 00 | 00 00 00 00 | 00 00 00 00 | 00 00 | 00 00 | 00 | 00"
     " | 00 00 00 00 | FF FF FF FF"},
    {"MESSAGE",
     [](CapxMsg& m) {
         m.msgId = CAPX_MESSAGE;
         m.message.broadcastLevel = 1;
         m.message.caId = 7;
         setText(m.message.msg, "Hello\n");
     },
     "00 0E | 1E | 01 | 00 00 00 07 | 00 06 48 65 6C 6C 6F 0A"},
    {"GET_GROUP_INFO",
     [](CapxMsg& m) {
         m.getGroupInfo = {CAPX_GET_GROUP_INFO, 0x0203};
     },
     "00 03 | 1F | 02 03"},
    {"GET_GROUP_INFO_ACK",
     [](CapxMsg& m) {
         CapxGetGroupInfoAck& a = m.getGroupInfoAck;
         a.msgId = CAPX_GET_GROUP_INFO_ACK;
         a.groupId = 5;
         setText(a.groupName, "Day");
         setText(a.managerName, "M");
         setText(a.telNumber, "911");
         a.loginCaNum = 3;
         a.totalCaNum = 10;
         a.totalMgrNum = 1;
     },
     "00 20 | 20 | 00 05 | 00 | 03 44 61 79 | 01 4D | 39 31 31 00 00 00 00 00 00 00 00 00 00 00 00 00"
     " | 00 03 | 00 0A | 00 01"},
    {"DATA_ACK",
     [](CapxMsg& m) {
         m.dataAck = {CAPX_DATA_ACK, 7, 0};
     },
     "00 03 | 21 | 07 | 00"},
    {"HO_EVENT",
     [](CapxMsg& m) {
         m.hoEvent = {CAPX_HO_EVENT, 2, 1};
     },
     "00 03 | 22 | 02 | 01"},
    {"CT_ITEM_LIST_GET",
     [](CapxMsg& m) {
         m.msgId = CAPX_CT_ITEM_LIST_GET;
     },
     "00 01 | 23"},
    {"CT_ITEM_LIST_GET_RESULT",
     [](CapxMsg& m) {
         CapxCtItemListGetResult& r = m.ctItemListGetResult;
         r.msgId = CAPX_CT_ITEM_LIST_GET_RESULT;
         r.listNum = 2;
         r.listEndFlag = 1;
         r.info[0].itemId = 1;
         r.info[0].wordCount = 0x0100;
         r.info[0].wordPerMinM0 = 10;
         r.info[0].wordPerMinM1 = 11;
         r.info[0].wordPerMinM2 = 12;
         r.info[0].wordPerMinM3 = 13;
         r.info[0].wordPerMinF0 = 20;
         r.info[0].wordPerMinF1 = 21;
         r.info[0].wordPerMinF2 = 22;
         r.info[0].wordPerMinF3 = 23;
         setText(r.info[0].title, "News");
         r.info[1].itemId = 2;
         r.info[1].wordCount = 50;
         setText(r.info[1].title, "ABCDEFGHIJKLMNOPQRSTUVWXYZ012345");
     },
     "00 59 | 24 | 02 | 01"
     " | 01 | 01 00 | 0A 0B 0C 0D | 14 15 16 17 | 4E 65 77 73 00 00 00 00 00 00 00 00 00 00 00 00"
     " 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00"
     " | 02 | 00 32 | 00 00 00 00 | 00 00 00 00 | 41 42 43 44 45 46 47 48 49 4A 4B 4C 4D 4E 4F 50"
     " 51 52 53 54 55 56 57 58 59 5A 30 31 32 33 34 35"},
    {"CT_START",
     [](CapxMsg& m) {
         m.ctStart = {CAPX_CT_START, 9, 1, 2, 1, 3};
     },
     "00 09 | 25 | 00 00 00 09 | 01 | 02 | 01 | 03"},
    {"CT_START_ACK",
     [](CapxMsg& m) {
         m.ctStartAck = {CAPX_CT_START_ACK, 9, 1, 2, 0};
     },
     "00 08 | 26 | 00 00 00 09 | 01 | 02 | 00"},
    {"CT_STOP",
     [](CapxMsg& m) {
         m.ctStop = {CAPX_CT_STOP, 9, 4};
     },
     "00 06 | 27 | 00 00 00 09 | 04"},
    {"CT_STOP_ACK",
     [](CapxMsg& m) {
         m.ctStopAck = {CAPX_CT_STOP_ACK, 9, 0};
     },
     "00 06 | 28 | 00 00 00 09 | 00"},
    {"CT_RESULT",
     [](CapxMsg& m) {
         m.ctResult = {CAPX_CT_RESULT, 9, 1, 0, 95, 300, 290, 3, 7};
     },
     "00 10 | 29 | 00 00 00 09 | 01 | 00 | 5F | 01 2C | 01 22 | 00 03 | 00 07"},
    {"CA_SVC_STATE",
     [](CapxMsg& m) {
         m.caSvcState = {CAPX_CA_SVC_STATE, 1, 0};
     },
     "00 03 | 2A | 01 | 00"},
    {"CA_SVC_STATE_ACK",
     [](CapxMsg& m) {
         m.caSvcStateAck = {CAPX_CA_SVC_STATE_ACK, 1, 0};
     },
     "00 03 | 2B | 01 | 00"},
    {"CONTROL_AGENT",
     [](CapxMsg& m) {
         m.controlAgent = {CAPX_CONTROL_AGENT, 1, 0x1001, 2};
     },
     "00 0A | 2C | 00 00 00 01 | 00 00 10 01 | 02"},
    {"CONTROL_AGENT_ACK",
     [](CapxMsg& m) {
         m.controlAgentAck = {CAPX_CONTROL_AGENT_ACK, 1, 0x1001, 2, 0};
     },
     "00 0B | 2D | 00 00 00 01 | 00 00 10 01 | 02 | 00"},
    {"CONTROL_AVOID_CA_PAUSE",
     [](CapxMsg& m) {
         m.controlAvoidCaPause = {CAPX_CONTROL_AVOID_CA_PAUSE, 1, 1, 600};
     },
     "00 08 | 2E | 00 00 00 01 | 01 | 02 58"},
    {"CONTROL_AVOID_CA_PAUSE_ACK",
     [](CapxMsg& m) {
         m.controlAvoidCaPauseAck = {CAPX_CONTROL_AVOID_CA_PAUSE_ACK, 1, 1, 600, 0};
     },
     "00 09 | 2F | 00 00 00 01 | 01 | 02 58 | 00"},
    {"CALL_INFO",
     [](CapxMsg& m) {
         m.msgId = CAPX_CALL_INFO;
         setText(m.callInfo.docNumber, "5551230000");
         setText(m.callInfo.callIdx, "C-0042");
     },
     "00 21 | 30 | 35 35 35 31 32 33 30 30 30 30 00 00 00 00 00 00"
     " | 43 2D 30 30 34 32 00 00 00 00 00 00 00 00 00 00"},
    {"CALL_EVENT",
     [](CapxMsg& m) {
         m.callEvent = {CAPX_CALL_EVENT, 5};
     },
     "00 02 | 31 | 05"},
    {"CALL_RESULT",
     [](CapxMsg& m) {
         m.callResult = {CAPX_CALL_RESULT, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
     },
     "00 29 | 32 | 00 00 00 01 | 00 00 00 02 | 00 00 00 03 | 00 00 00 04 | 00 00 00 05 | 00 00 00 06"
     " | 00 00 00 07 | 00 00 00 08 | 09 | 0A | 0B | 0C | 0D | 0E | 0F | 10"},
    {"CALL_REPORT",
     [](CapxMsg& m) {
         m.callReport = {CAPX_CALL_REPORT, 1000, 2, 900, 14, 3000, 1};
     },
     "00 16 | 33 | 00 00 03 E8 | 00 00 00 02 | 00 00 03 84 | 00 00 00 0E | 00 00 0B B8 | 01"},
};

}  // namespace

const std::vector<GoldenFrame>& goldenFrames()
{
    return kGolden;
}

const GoldenFrame& goldenNamed(const char* name)
{
    for (const GoldenFrame& g : kGolden)
        if (std::strcmp(g.name, name) == 0)
            return g;
    std::abort();
}

std::vector<uint8_t> hexBytes(const char* hex)
{
    std::vector<uint8_t> out;
    int hi = -1;
    for (const char* p = hex; *p; ++p) {
        char c = *p;
        int d;
        if (c >= '0' && c <= '9')
            d = c - '0';
        else if (c >= 'A' && c <= 'F')
            d = c - 'A' + 10;
        else if (c >= 'a' && c <= 'f')
            d = c - 'a' + 10;
        else
            continue;
        if (hi < 0) {
            hi = d;
        } else {
            out.push_back(uint8_t(hi * 16 + d));
            hi = -1;
        }
    }
    return out;
}

CapxMsg goldenRecord(const GoldenFrame& g)
{
    CapxMsg m;
    std::memset(&m, 0, sizeof m);
    g.fill(m);
    return m;
}
