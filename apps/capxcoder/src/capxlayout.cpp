// The wire layout of every message with a layout, field by field in wire
// order. The record offsets come from the body structs of capxmsgcoder.h, so
// record order (which differs from wire order for GET_AGENT_INFO_ACK and
// MONITORING) and wire order are kept apart.
#include "capxlayout.h"

#include <cstddef>
#include <iterator>

namespace capx {
namespace {

constexpr FieldDesc intField(const char* name, int wire, size_t rec, size_t off, int clampTo = 0)
{
    return FieldDesc{name, FieldKind::Int, uint8_t(wire), uint8_t(rec), uint16_t(off), 0, 0,
                     uint16_t(clampTo), nullptr, nullptr};
}
constexpr FieldDesc strField(const char* name, FieldKind kind, size_t recBytes, size_t off)
{
    return FieldDesc{name, kind, 0, 0, uint16_t(off), uint16_t(recBytes - 1), 0, 0, nullptr, nullptr};
}
// A short string of credential bytes with an explicit 8-bit length field.
constexpr FieldDesc bytesStrField(const char* name, size_t recBytes, size_t off, size_t lenOff)
{
    return FieldDesc{name, FieldKind::ShortStr, 0, 0, uint16_t(off), uint16_t(recBytes - 1),
                     uint16_t(lenOff), 0, nullptr, nullptr};
}
constexpr FieldDesc fixedField(const char* name, int wire, size_t recBytes, size_t off)
{
    return FieldDesc{name, FieldKind::Fixed, uint8_t(wire), 0, uint16_t(off), uint16_t(recBytes - 1), 0,
                     0, nullptr, nullptr};
}
constexpr FieldDesc rawField(const char* name, size_t recBytes, size_t off, size_t lenOff,
                             const char* lenName)
{
    return FieldDesc{name, FieldKind::Raw, 0, 0, uint16_t(off), uint16_t(recBytes), uint16_t(lenOff), 0,
                     lenName, nullptr};
}
constexpr FieldDesc groupField(const char* name, size_t off, const GroupDesc* g)
{
    return FieldDesc{name, FieldKind::Group, 0, 0, uint16_t(off), 0, 0, 0, nullptr, g};
}

#define U8(S, f) intField(#f, 1, sizeof(S::f), offsetof(S, f))
#define U16(S, f) intField(#f, 2, sizeof(S::f), offsetof(S, f))
#define U32(S, f) intField(#f, 4, sizeof(S::f), offsetof(S, f))
#define SSTR(S, f) strField(#f, FieldKind::ShortStr, sizeof(S::f), offsetof(S, f))
#define BSTR(S, f) bytesStrField(#f, sizeof(S::f), offsetof(S, f), offsetof(S, f##Len))
#define LSTR(S, f) strField(#f, FieldKind::LongStr, sizeof(S::f), offsetof(S, f))
#define FIX16(S, f) fixedField(#f, 16, sizeof(S::f), offsetof(S, f))
#define MSGID(S) U8(S, msgId)

static_assert(sizeof(CapxAssignComplete::cuPhoneNumber) == 17);

const FieldDesc kIdOnly[] = {MSGID(CapxIdOnly)};

const FieldDesc kBroadcast[] = {
    MSGID(CapxBroadcast), U16(CapxBroadcast, availCallCount1st), U16(CapxBroadcast, availCallCount2nd),
    U32(CapxBroadcast, callIdx)};

const FieldDesc kAssignReq[] = {MSGID(CapxAssignReq), U32(CapxAssignReq, callIdx)};

const FieldDesc kAssignComplete[] = {
    MSGID(CapxAssignComplete), U16(CapxAssignComplete, availCallCount1st),
    U16(CapxAssignComplete, availCallCount2nd), FIX16(CapxAssignComplete, cuPhoneNumber),
    U8(CapxAssignComplete, language), U8(CapxAssignComplete, isEmergency),
    U32(CapxAssignComplete, callIdx)};

const FieldDesc kControl[] = {MSGID(CapxControl), U8(CapxControl, control), U8(CapxControl, result)};

const FieldDesc kData[] = {
    MSGID(CapxData),
    rawField("data", sizeof(CapxData::data), offsetof(CapxData, data), offsetof(CapxData, dataLen), "dataLen")};

const FieldDesc kRelease[] = {MSGID(CapxRelease), U8(CapxRelease, cause)};

const FieldDesc kLogin[] = {
    MSGID(CapxLogin), BSTR(CapxLogin, userId), BSTR(CapxLogin, passwd), FIX16(CapxLogin, reqPhoneNumber),
    rawField("version", sizeof(CapxLogin::version), offsetof(CapxLogin, version),
             offsetof(CapxLogin, versionLen), nullptr),
    U8(CapxLogin, stenoFormat), LSTR(CapxLogin, msg)};

const FieldDesc kLoginAck[] = {
    MSGID(CapxLoginAck), U32(CapxLoginAck, agentId), FIX16(CapxLoginAck, phoneNumber),
    U8(CapxLoginAck, result), U8(CapxLoginAck, level), U16(CapxLoginAck, groupId),
    U8(CapxLoginAck, language), U8(CapxLoginAck, upgradeRequired), U8(CapxLoginAck, loginMode),
    U8(CapxLoginAck, dataLogFlag), LSTR(CapxLoginAck, msg), U8(CapxLoginAck, eValue)};

const FieldDesc kLogout[] = {MSGID(CapxLogout), BSTR(CapxLogout, userId)};

const FieldDesc kLogoutAck[] = {MSGID(CapxLogoutAck), U8(CapxLogoutAck, result), LSTR(CapxLogoutAck, msg)};

const FieldDesc kAgentState[] = {MSGID(CapxAgentState), U8(CapxAgentState, state)};

const FieldDesc kKeepAlive[] = {
    MSGID(CapxKeepAlive), U32(CapxKeepAlive, svrTxStampSec), U32(CapxKeepAlive, svrTxStampUsec),
    U16(CapxKeepAlive, curCaCount), U8(CapxKeepAlive, caState), U8(CapxKeepAlive, doNotPause)};

const FieldDesc kKeepAliveAck[] = {
    MSGID(CapxKeepAliveAck), U32(CapxKeepAliveAck, svrTxStampSec), U32(CapxKeepAliveAck, svrTxStampUsec),
    U32(CapxKeepAliveAck, cliRxStampSec), U32(CapxKeepAliveAck, cliRxStampUsec),
    U32(CapxKeepAliveAck, cliTxStampSec), U32(CapxKeepAliveAck, cliTxStampUsec),
    U8(CapxKeepAliveAck, caState)};

const FieldDesc kVoipSetup[] = {
    MSGID(CapxVoipSetup), FIX16(CapxVoipSetup, ipAddr), U16(CapxVoipSetup, portId),
    U16(CapxVoipSetup, payloadType)};

const FieldDesc kResult[] = {MSGID(CapxResult), U8(CapxResult, result)};

const FieldDesc kChangePasswd[] = {
    MSGID(CapxChangePasswd), BSTR(CapxChangePasswd, userId), BSTR(CapxChangePasswd, passwd)};

const FieldDesc kMessage[] = {
    MSGID(CapxMessage), U8(CapxMessage, broadcastLevel), U32(CapxMessage, caId), LSTR(CapxMessage, msg)};

const FieldDesc kDataAck[] = {MSGID(CapxDataAck), U8(CapxDataAck, seqNo), U8(CapxDataAck, result)};

const FieldDesc kHoEvent[] = {MSGID(CapxHoEvent), U8(CapxHoEvent, eventId), U8(CapxHoEvent, result)};

const FieldDesc kCaSvcState[] = {
    MSGID(CapxCaSvcState), U8(CapxCaSvcState, inService), U8(CapxCaSvcState, cause)};

const FieldDesc kCaSvcStateAck[] = {
    MSGID(CapxCaSvcStateAck), U8(CapxCaSvcStateAck, inService), U8(CapxCaSvcStateAck, result)};

const FieldDesc kCallReport[] = {
    MSGID(CapxCallReport), U32(CapxCallReport, rxFromSteno), U32(CapxCallReport, discardFromSteno),
    U32(CapxCallReport, txToSvr), U32(CapxCallReport, rxSvrAck), U32(CapxCallReport, rxVocFrameFromSvr),
    U8(CapxCallReport, kaFailCnt)};

const FieldDesc kControlAgentAdd[] = {
    MSGID(CapxControlAgentAdd), U8(CapxControlAgentAdd, language), U16(CapxControlAgentAdd, groupId),
    SSTR(CapxControlAgentAdd, userId), SSTR(CapxControlAgentAdd, passwd),
    FIX16(CapxControlAgentAdd, phoneNumber), SSTR(CapxControlAgentAdd, email),
    SSTR(CapxControlAgentAdd, description), SSTR(CapxControlAgentAdd, address)};

const FieldDesc kControlAgentDel[] = {
    MSGID(CapxControlAgentDel), U16(CapxControlAgentDel, agentId), SSTR(CapxControlAgentDel, userId)};

const FieldDesc kGetAgentInfo[] = {
    MSGID(CapxGetAgentInfo), U16(CapxGetAgentInfo, groupId), U8(CapxGetAgentInfo, type)};

const FieldDesc kGetAgentInfoAck[] = {
    MSGID(CapxGetAgentInfoAck), U16(CapxGetAgentInfoAck, tempId), U16(CapxGetAgentInfoAck, groupId),
    U32(CapxGetAgentInfoAck, agentId), FIX16(CapxGetAgentInfoAck, ipAddr),
    FIX16(CapxGetAgentInfoAck, phoneNumber), U8(CapxGetAgentInfoAck, isVoip),
    U8(CapxGetAgentInfoAck, stateLogin), U8(CapxGetAgentInfoAck, stateCall), U8(CapxGetAgentInfoAck, verMaj),
    U8(CapxGetAgentInfoAck, verMin), U8(CapxGetAgentInfoAck, verPat), U8(CapxGetAgentInfoAck, stenoFormat),
    U16(CapxGetAgentInfoAck, roundTripMsec), U16(CapxGetAgentInfoAck, roundTripMsecPeak),
    U16(CapxGetAgentInfoAck, serviceCnt), U16(CapxGetAgentInfoAck, attemptCnt),
    U8(CapxGetAgentInfoAck, efficiencyRateH), U8(CapxGetAgentInfoAck, efficiencyRateL),
    U32(CapxGetAgentInfoAck, loginTimeStamp), SSTR(CapxGetAgentInfoAck, agentName),
    U8(CapxGetAgentInfoAck, loginMode), U8(CapxGetAgentInfoAck, level), U8(CapxGetAgentInfoAck, lang),
    U8(CapxGetAgentInfoAck, stateShift), U8(CapxGetAgentInfoAck, pauseCount),
    U8(CapxGetAgentInfoAck, resumeCount), U16(CapxGetAgentInfoAck, pausedDurationSec)};

const FieldDesc kMonitoring[] = {
    MSGID(CapxMonitoring), U16(CapxMonitoring, tempId), U32(CapxMonitoring, agentId),
    U16(CapxMonitoring, groupId), U16(CapxMonitoring, serviceCnt), U8(CapxMonitoring, stateLogin),
    U8(CapxMonitoring, stateCall), U16(CapxMonitoring, roundTripMsec), U16(CapxMonitoring, roundTripMsecPeak),
    U16(CapxMonitoring, attemptCnt), U8(CapxMonitoring, efficiencyRateH), U8(CapxMonitoring, efficiencyRateL),
    U8(CapxMonitoring, stateShift), U8(CapxMonitoring, pauseCount), U8(CapxMonitoring, resumeCount),
    U16(CapxMonitoring, pausedDurationSec)};

const FieldDesc kGroupEntry[] = {
    U16(CapxGroupReport, groupId), U32(CapxGroupReport, serviceCnt), U32(CapxGroupReport, attemptCnt),
    U32(CapxGroupReport, unavailCnt), U32(CapxGroupReport, missedCnt), U16(CapxGroupReport, curAgentCnt),
    U16(CapxGroupReport, busyAgentCnt), U8(CapxGroupReport, efficiencyRateH),
    U8(CapxGroupReport, efficiencyRateL), U32(CapxGroupReport, serviceSec), U32(CapxGroupReport, readySec)};

const GroupDesc kGroups = {"group[ i ]", "group", kGroupEntry, int(std::size(kGroupEntry)),
                           uint16_t(offsetof(CapxPeriodicReport, groupNum)), uint16_t(sizeof(CapxGroupReport)),
                           uint8_t(CAPX_PR_MAX_GROUPS)};

// groupNum is written as the number of groups actually written, so a frame
// never announces more groups than it carries.
const FieldDesc kPeriodicReport[] = {
    MSGID(CapxPeriodicReport), U32(CapxPeriodicReport, timeStamp),
    intField("groupNum", 1, 1, offsetof(CapxPeriodicReport, groupNum), CAPX_PR_MAX_GROUPS),
    groupField("group", offsetof(CapxPeriodicReport, group), &kGroups)};

const FieldDesc kGetGroupInfo[] = {MSGID(CapxGetGroupInfo), U16(CapxGetGroupInfo, groupId)};

const FieldDesc kGetGroupInfoAck[] = {
    MSGID(CapxGetGroupInfoAck), U16(CapxGetGroupInfoAck, groupId), U8(CapxGetGroupInfoAck, groupBlocked),
    SSTR(CapxGetGroupInfoAck, groupName), SSTR(CapxGetGroupInfoAck, managerName),
    FIX16(CapxGetGroupInfoAck, telNumber), U16(CapxGetGroupInfoAck, loginCaNum),
    U16(CapxGetGroupInfoAck, totalCaNum), U16(CapxGetGroupInfoAck, totalMgrNum)};

const FieldDesc kItemEntry[] = {
    U8(CapxCtItemInfo, itemId), U16(CapxCtItemInfo, wordCount), U8(CapxCtItemInfo, wordPerMinM0),
    U8(CapxCtItemInfo, wordPerMinM1), U8(CapxCtItemInfo, wordPerMinM2), U8(CapxCtItemInfo, wordPerMinM3),
    U8(CapxCtItemInfo, wordPerMinF0), U8(CapxCtItemInfo, wordPerMinF1), U8(CapxCtItemInfo, wordPerMinF2),
    U8(CapxCtItemInfo, wordPerMinF3),
    fixedField("title", CAPX_CT_TITLE_MAX, sizeof(CapxCtItemInfo::title), offsetof(CapxCtItemInfo, title))};

const GroupDesc kItems = {"info[ i ]", "info", kItemEntry, int(std::size(kItemEntry)),
                          uint16_t(offsetof(CapxCtItemListGetResult, listNum)), uint16_t(sizeof(CapxCtItemInfo)),
                          uint8_t(CAPX_CT_MAX_ITEMS)};

// listNum goes out as the record holds it, followed by at most 32 entries.
const FieldDesc kCtItemListGetResult[] = {
    MSGID(CapxCtItemListGetResult), U8(CapxCtItemListGetResult, listNum),
    U8(CapxCtItemListGetResult, listEndFlag),
    groupField("info", offsetof(CapxCtItemListGetResult, info), &kItems)};

const FieldDesc kCtStart[] = {
    MSGID(CapxCtStart), U32(CapxCtStart, caId), U8(CapxCtStart, itemIdx), U8(CapxCtStart, language),
    U8(CapxCtStart, gender), U8(CapxCtStart, level)};

const FieldDesc kCtStartAck[] = {
    MSGID(CapxCtStartAck), U32(CapxCtStartAck, caId), U8(CapxCtStartAck, itemIdx),
    U8(CapxCtStartAck, language), U8(CapxCtStartAck, result)};

const FieldDesc kCtStop[] = {MSGID(CapxCtStop), U32(CapxCtStop, caId), U8(CapxCtStop, cause)};

const FieldDesc kCtStopAck[] = {MSGID(CapxCtStopAck), U32(CapxCtStopAck, caId), U8(CapxCtStopAck, result)};

const FieldDesc kCtResult[] = {
    MSGID(CapxCtResult), U32(CapxCtResult, caId), U8(CapxCtResult, itemIdx), U8(CapxCtResult, result),
    U8(CapxCtResult, scoreRate), U16(CapxCtResult, totalWord), U16(CapxCtResult, rxWord),
    U16(CapxCtResult, rxBs), U16(CapxCtResult, mismatchWord)};

const FieldDesc kControlAgent[] = {
    MSGID(CapxControlAgent), U32(CapxControlAgent, mgmtId), U32(CapxControlAgent, agentId),
    U8(CapxControlAgent, controlId)};

const FieldDesc kControlAgentAck[] = {
    MSGID(CapxControlAgentAck), U32(CapxControlAgentAck, mgmtId), U32(CapxControlAgentAck, agentId),
    U8(CapxControlAgentAck, controlId), U8(CapxControlAgentAck, result)};

const FieldDesc kAvoidCaPause[] = {
    MSGID(CapxControlAvoidCaPause), U32(CapxControlAvoidCaPause, mgmtId),
    U8(CapxControlAvoidCaPause, avoidCaPause), U16(CapxControlAvoidCaPause, durationSec)};

const FieldDesc kAvoidCaPauseAck[] = {
    MSGID(CapxControlAvoidCaPauseAck), U32(CapxControlAvoidCaPauseAck, mgmtId),
    U8(CapxControlAvoidCaPauseAck, avoidCaPause), U16(CapxControlAvoidCaPauseAck, durationSec),
    U8(CapxControlAvoidCaPauseAck, result)};

const FieldDesc kCallInfo[] = {MSGID(CapxCallInfo), FIX16(CapxCallInfo, docNumber), FIX16(CapxCallInfo, callIdx)};

const FieldDesc kCallEvent[] = {MSGID(CapxCallEvent), U8(CapxCallEvent, svcEventId)};

const FieldDesc kCallResult[] = {
    MSGID(CapxCallResult), U32(CapxCallResult, rxVoicePktCnt), U32(CapxCallResult, rxNullPktCnt),
    U32(CapxCallResult, txNullPktCnt), U32(CapxCallResult, txVoicePktCnt), U32(CapxCallResult, rxVoiceAckCnt),
    U32(CapxCallResult, rxPreCaptionCnt), U32(CapxCallResult, rxCaptionCnt), U32(CapxCallResult, txFailToASR),
    U8(CapxCallResult, rxCapStart), U8(CapxCallResult, rxResume), U8(CapxCallResult, rxPause),
    U8(CapxCallResult, lastCtrl), U8(CapxCallResult, txTransStart), U8(CapxCallResult, txTransStop),
    U8(CapxCallResult, socketUp), U8(CapxCallResult, socketDown)};

#define LAYOUT(table, S) MsgLayout{table, int(std::size(table)), uint16_t(sizeof(S))}
constexpr MsgLayout kNone{nullptr, 0, 0};

const MsgLayout kLayouts[CAPX_MSG_ID_LAST + 1] = {
    kNone,                                               // 0 NULL_MSG
    LAYOUT(kBroadcast, CapxBroadcast),                   // 1
    LAYOUT(kAssignReq, CapxAssignReq),                   // 2
    LAYOUT(kAssignComplete, CapxAssignComplete),         // 3
    LAYOUT(kBroadcast, CapxBroadcast),                   // 4 ASSIGN_FAIL
    LAYOUT(kControl, CapxControl),                       // 5
    LAYOUT(kData, CapxData),                             // 6
    LAYOUT(kRelease, CapxRelease),                       // 7
    LAYOUT(kIdOnly, CapxIdOnly),                         // 8 RELEASE_COMPLETE
    LAYOUT(kLogin, CapxLogin),                           // 9
    LAYOUT(kLoginAck, CapxLoginAck),                     // 10
    LAYOUT(kLogout, CapxLogout),                         // 11
    LAYOUT(kLogoutAck, CapxLogoutAck),                   // 12
    LAYOUT(kAgentState, CapxAgentState),                 // 13
    LAYOUT(kKeepAlive, CapxKeepAlive),                   // 14
    LAYOUT(kKeepAliveAck, CapxKeepAliveAck),             // 15
    LAYOUT(kVoipSetup, CapxVoipSetup),                   // 16
    LAYOUT(kResult, CapxResult),                         // 17 VOIP_SETUP_COMPLETE
    LAYOUT(kChangePasswd, CapxChangePasswd),             // 18
    LAYOUT(kResult, CapxResult),                         // 19 CHANGE_PASSWD_ACK
    LAYOUT(kControlAgentAdd, CapxControlAgentAdd),       // 20
    kNone,                                               // 21 CONTROL_AGENT_ADD_ACK
    LAYOUT(kControlAgentAdd, CapxControlAgentAdd),       // 22 CONTROL_AGENT_MOD
    LAYOUT(kResult, CapxResult),                         // 23 CONTROL_AGENT_MOD_ACK
    LAYOUT(kControlAgentDel, CapxControlAgentDel),       // 24
    LAYOUT(kResult, CapxResult),                         // 25 CONTROL_AGENT_DEL_ACK
    LAYOUT(kGetAgentInfo, CapxGetAgentInfo),             // 26
    LAYOUT(kGetAgentInfoAck, CapxGetAgentInfoAck),       // 27
    LAYOUT(kMonitoring, CapxMonitoring),                 // 28
    LAYOUT(kPeriodicReport, CapxPeriodicReport),         // 29
    LAYOUT(kMessage, CapxMessage),                       // 30
    LAYOUT(kGetGroupInfo, CapxGetGroupInfo),             // 31
    LAYOUT(kGetGroupInfoAck, CapxGetGroupInfoAck),       // 32
    LAYOUT(kDataAck, CapxDataAck),                       // 33
    LAYOUT(kHoEvent, CapxHoEvent),                       // 34
    LAYOUT(kIdOnly, CapxIdOnly),                         // 35 CT_ITEM_LIST_GET
    LAYOUT(kCtItemListGetResult, CapxCtItemListGetResult),  // 36
    LAYOUT(kCtStart, CapxCtStart),                       // 37
    LAYOUT(kCtStartAck, CapxCtStartAck),                 // 38
    LAYOUT(kCtStop, CapxCtStop),                         // 39
    LAYOUT(kCtStopAck, CapxCtStopAck),                   // 40
    LAYOUT(kCtResult, CapxCtResult),                     // 41
    LAYOUT(kCaSvcState, CapxCaSvcState),                 // 42
    LAYOUT(kCaSvcStateAck, CapxCaSvcStateAck),           // 43
    LAYOUT(kControlAgent, CapxControlAgent),             // 44
    LAYOUT(kControlAgentAck, CapxControlAgentAck),       // 45
    LAYOUT(kAvoidCaPause, CapxControlAvoidCaPause),      // 46
    LAYOUT(kAvoidCaPauseAck, CapxControlAvoidCaPauseAck),  // 47
    LAYOUT(kCallInfo, CapxCallInfo),                     // 48
    LAYOUT(kCallEvent, CapxCallEvent),                   // 49
    LAYOUT(kCallResult, CapxCallResult),                 // 50
    LAYOUT(kCallReport, CapxCallReport),                 // 51
};

}  // namespace

const MsgLayout* layoutOf(int id)
{
    if (id < 0 || id > CAPX_MSG_ID_LAST || kLayouts[id].fields == nullptr)
        return nullptr;
    return &kLayouts[id];
}

}  // namespace capx

int capxMsgHasLayout(int id)
{
    return capx::layoutOf(id) != nullptr ? 1 : 0;
}
