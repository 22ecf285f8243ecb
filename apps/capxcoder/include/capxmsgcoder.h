// capxmsgcoder: the agent wire protocol. One frame is a 2-byte big-endian
// length L, then L bytes: the message id and that message's fields. This
// module encodes and decodes every message of the catalogue between the wire
// form and the in-memory record CapxMsg, applies the DATA adjustment, offers
// the link-key scrambling that the server link applies to whole frames, prints
// the message trace, and converts records to and from a one-line text form
// ("NAME field=value ...") for tools and tests.
//
// The coder keeps no state: every function works only on the caller's record
// and buffers and may run on several threads at once. Nothing allocates.
#pragma once

#include <cstddef>
#include <cstdint>

// ---- catalogue ----------------------------------------------------------------
enum CapxMsgId : uint8_t {
    CAPX_NULL_MSG = 0,
    CAPX_BROADCAST = 1,
    CAPX_ASSIGN_REQ = 2,
    CAPX_ASSIGN_COMPLETE = 3,
    CAPX_ASSIGN_FAIL = 4,
    CAPX_CONTROL = 5,
    CAPX_DATA = 6,
    CAPX_RELEASE = 7,
    CAPX_RELEASE_COMPLETE = 8,
    CAPX_LOGIN = 9,
    CAPX_LOGIN_ACK = 10,
    CAPX_LOGOUT = 11,
    CAPX_LOGOUT_ACK = 12,
    CAPX_AGENT_STATE = 13,
    CAPX_KEEP_ALIVE = 14,
    CAPX_KEEP_ALIVE_ACK = 15,
    CAPX_VOIP_SETUP = 16,
    CAPX_VOIP_SETUP_COMPLETE = 17,
    CAPX_CHANGE_PASSWD = 18,
    CAPX_CHANGE_PASSWD_ACK = 19,
    CAPX_CONTROL_AGENT_ADD = 20,
    CAPX_CONTROL_AGENT_ADD_ACK = 21,
    CAPX_CONTROL_AGENT_MOD = 22,
    CAPX_CONTROL_AGENT_MOD_ACK = 23,
    CAPX_CONTROL_AGENT_DEL = 24,
    CAPX_CONTROL_AGENT_DEL_ACK = 25,
    CAPX_GET_AGENT_INFO = 26,
    CAPX_GET_AGENT_INFO_ACK = 27,
    CAPX_MONITORING = 28,
    CAPX_PERIODIC_REPORT = 29,
    CAPX_MESSAGE = 30,
    CAPX_GET_GROUP_INFO = 31,
    CAPX_GET_GROUP_INFO_ACK = 32,
    CAPX_DATA_ACK = 33,
    CAPX_HO_EVENT = 34,
    CAPX_CT_ITEM_LIST_GET = 35,
    CAPX_CT_ITEM_LIST_GET_RESULT = 36,
    CAPX_CT_START = 37,
    CAPX_CT_START_ACK = 38,
    CAPX_CT_STOP = 39,
    CAPX_CT_STOP_ACK = 40,
    CAPX_CT_RESULT = 41,
    CAPX_CA_SVC_STATE = 42,
    CAPX_CA_SVC_STATE_ACK = 43,
    CAPX_CONTROL_AGENT = 44,
    CAPX_CONTROL_AGENT_ACK = 45,
    CAPX_CONTROL_AVOID_CA_PAUSE = 46,
    CAPX_CONTROL_AVOID_CA_PAUSE_ACK = 47,
    CAPX_CALL_INFO = 48,
    CAPX_CALL_EVENT = 49,
    CAPX_CALL_RESULT = 50,
    CAPX_CALL_REPORT = 51,
};
constexpr int CAPX_MSG_ID_LAST = 51;          // ids above are "UNKNOWN"

// The link probe: a fixed 3-byte frame (length 1, id 254) that the server link
// sends by itself; the coder never builds or parses it.
constexpr uint8_t CAPX_LINK_PROBE_ID = 254;
constexpr uint8_t CAPX_LINK_PROBE[3] = {0x00, 0x01, 0xFE};

// ---- sizes --------------------------------------------------------------------
constexpr int CAPX_MSG_SIZE = 2320;           // sizeof(CapxMsg)
constexpr int CAPX_MAX_BODY_LEN = 4096;       // largest L the receiving side accepts
constexpr int CAPX_MAX_FRAME_LEN = 2 + CAPX_MAX_BODY_LEN;  // a buffer of this size holds any frame
constexpr int CAPX_SHORT_STR_MAX = 64;        // characters of a short-string field
constexpr int CAPX_LONG_STR_MAX = 256;        // characters of a long-string field
constexpr int CAPX_FIXED16 = 16;              // characters of a fixed-16 field
constexpr int CAPX_DATA_MAX = 512;            // bytes of DATA `data`
constexpr int CAPX_VERSION_MAX = 16;          // bytes of LOGIN `version`
constexpr int CAPX_PR_MAX_GROUPS = 64;        // PERIODIC_REPORT groups held
constexpr int CAPX_CT_MAX_ITEMS = 32;         // CT_ITEM_LIST_GET_RESULT items held
constexpr int CAPX_CT_TITLE_MAX = 32;         // characters of an item title

// ---- message bodies (record layout; the wire order is the coder's business) ----
struct CapxIdOnly {                    // RELEASE_COMPLETE, CT_ITEM_LIST_GET
    uint8_t msgId;
};

struct CapxBroadcast {                 // BROADCAST, ASSIGN_FAIL
    uint8_t msgId;
    uint16_t availCallCount1st;
    uint16_t availCallCount2nd;
    uint64_t callIdx;                  // low 32 bits on the wire
};

struct CapxAssignReq {
    uint8_t msgId;
    uint64_t callIdx;                  // low 32 bits on the wire
};

struct CapxAssignComplete {
    uint8_t msgId;
    uint16_t availCallCount1st;
    uint16_t availCallCount2nd;
    char cuPhoneNumber[CAPX_FIXED16 + 1];
    uint8_t language;
    uint8_t isEmergency;
    uint64_t callIdx;                  // low 32 bits on the wire
};

struct CapxControl {
    uint8_t msgId;
    uint8_t control;
    uint8_t result;
};

struct CapxData {
    uint8_t msgId;
    uint16_t dataLen;                  // bytes of data in use (the encoder writes at most CAPX_DATA_MAX)
    uint8_t data[CAPX_DATA_MAX];       // not NUL-terminated
};

struct CapxRelease {
    uint8_t msgId;
    uint8_t cause;
};

// Credentials travel scrambled and may hold 0 bytes: a non-zero length field
// gives the bytes in use (the decoder always sets it); 0 means the text ends
// at its NUL.
struct CapxLogin {
    uint8_t msgId;
    char userId[CAPX_SHORT_STR_MAX + 1];
    char passwd[CAPX_SHORT_STR_MAX + 1];
    char reqPhoneNumber[CAPX_FIXED16 + 1];
    uint16_t versionLen;               // bytes of version in use
    uint8_t version[CAPX_VERSION_MAX]; // not NUL-terminated
    uint8_t stenoFormat;
    char msg[CAPX_LONG_STR_MAX + 1];
    uint8_t userIdLen;                 // bytes of userId in use, or 0 (NUL-terminated)
    uint8_t passwdLen;                 // bytes of passwd in use, or 0 (NUL-terminated)
};

struct CapxLoginAck {
    uint8_t msgId;
    uint32_t agentId;
    char phoneNumber[CAPX_FIXED16 + 1];
    uint8_t result;
    uint8_t level;
    uint16_t groupId;
    uint8_t language;
    uint8_t upgradeRequired;
    uint8_t loginMode;
    uint8_t dataLogFlag;
    char msg[CAPX_LONG_STR_MAX + 1];
    uint8_t eValue;                    // the link key when result is 0
};

struct CapxLogout {
    uint8_t msgId;
    char userId[CAPX_SHORT_STR_MAX + 1];
    uint8_t userIdLen;                 // as in CapxLogin
};

struct CapxLogoutAck {
    uint8_t msgId;
    uint8_t result;
    char msg[CAPX_LONG_STR_MAX + 1];
};

struct CapxAgentState {
    uint8_t msgId;
    uint8_t state;
};

struct CapxKeepAlive {
    uint8_t msgId;
    uint32_t svrTxStampSec;
    uint32_t svrTxStampUsec;
    uint16_t curCaCount;
    uint8_t caState;
    uint8_t doNotPause;
};

struct CapxKeepAliveAck {
    uint8_t msgId;
    uint32_t svrTxStampSec;
    uint32_t svrTxStampUsec;
    uint32_t cliRxStampSec;
    uint32_t cliRxStampUsec;
    uint32_t cliTxStampSec;
    uint32_t cliTxStampUsec;
    uint8_t caState;
};

struct CapxVoipSetup {
    uint8_t msgId;
    char ipAddr[CAPX_FIXED16 + 1];
    uint16_t portId;
    uint16_t payloadType;
};

struct CapxResult {                    // VOIP_SETUP_COMPLETE, CHANGE_PASSWD_ACK,
    uint8_t msgId;                     // CONTROL_AGENT_MOD_ACK, CONTROL_AGENT_DEL_ACK
    uint8_t result;
};

struct CapxChangePasswd {
    uint8_t msgId;
    char userId[CAPX_SHORT_STR_MAX + 1];
    char passwd[CAPX_SHORT_STR_MAX + 1];
    uint8_t userIdLen;                 // as in CapxLogin
    uint8_t passwdLen;
};

struct CapxMessage {
    uint8_t msgId;
    uint8_t broadcastLevel;
    uint32_t caId;
    char msg[CAPX_LONG_STR_MAX + 1];
};

struct CapxDataAck {
    uint8_t msgId;
    uint8_t seqNo;
    uint8_t result;
};

struct CapxHoEvent {
    uint8_t msgId;
    uint8_t eventId;
    uint8_t result;
};

struct CapxCaSvcState {
    uint8_t msgId;
    uint8_t inService;
    uint8_t cause;
};

struct CapxCaSvcStateAck {
    uint8_t msgId;
    uint8_t inService;
    uint8_t result;
};

struct CapxCallReport {
    uint8_t msgId;
    uint32_t rxFromSteno;
    uint32_t discardFromSteno;
    uint32_t txToSvr;
    uint32_t rxSvrAck;
    uint32_t rxVocFrameFromSvr;
    uint8_t kaFailCnt;
};

struct CapxControlAgentAdd {           // CONTROL_AGENT_ADD, CONTROL_AGENT_MOD
    uint8_t msgId;
    uint8_t language;
    uint16_t groupId;
    char userId[CAPX_SHORT_STR_MAX + 1];
    char passwd[CAPX_SHORT_STR_MAX + 1];
    char phoneNumber[CAPX_FIXED16 + 1];
    char email[CAPX_SHORT_STR_MAX + 1];
    char description[CAPX_SHORT_STR_MAX + 1];
    char address[CAPX_SHORT_STR_MAX + 1];
};

struct CapxControlAgentDel {
    uint8_t msgId;
    uint32_t agentId;                  // 16 bits on the wire
    char userId[CAPX_SHORT_STR_MAX + 1];
};

struct CapxGetAgentInfo {
    uint8_t msgId;
    uint16_t groupId;
    uint8_t type;
};

struct CapxGetAgentInfoAck {
    uint8_t msgId;
    uint16_t tempId;
    uint16_t groupId;
    uint32_t agentId;
    char ipAddr[CAPX_FIXED16 + 1];
    char phoneNumber[CAPX_FIXED16 + 1];
    uint8_t isVoip;
    uint8_t stateLogin;
    uint8_t stateShift;
    uint8_t stateCall;
    uint8_t verMaj;
    uint8_t verMin;
    uint8_t verPat;
    uint8_t stenoFormat;
    uint16_t roundTripMsec;
    uint16_t roundTripMsecPeak;
    uint16_t serviceCnt;
    uint16_t attemptCnt;
    uint8_t pauseCount;
    uint8_t resumeCount;
    uint8_t efficiencyRateH;
    uint8_t efficiencyRateL;
    uint32_t loginTimeStamp;
    char agentName[CAPX_SHORT_STR_MAX + 1];
    uint8_t loginMode;
    uint8_t level;
    uint8_t lang;
    uint16_t pausedDurationSec;
};

struct CapxMonitoring {
    uint8_t msgId;
    uint16_t tempId;
    uint32_t agentId;
    uint16_t groupId;
    uint16_t serviceCnt;
    uint8_t stateShift;
    uint8_t stateLogin;
    uint8_t stateCall;
    uint8_t pauseCount;
    uint8_t resumeCount;
    uint16_t pausedDurationSec;
    uint16_t roundTripMsec;
    uint16_t roundTripMsecPeak;
    uint16_t attemptCnt;
    uint8_t efficiencyRateH;
    uint8_t efficiencyRateL;
};

struct CapxGroupReport {
    uint16_t groupId;
    uint32_t serviceCnt;
    uint32_t attemptCnt;
    uint32_t unavailCnt;
    uint32_t missedCnt;
    uint16_t curAgentCnt;
    uint16_t busyAgentCnt;
    uint8_t efficiencyRateH;
    uint8_t efficiencyRateL;
    uint32_t serviceSec;
    uint32_t readySec;
};

struct CapxPeriodicReport {
    uint8_t msgId;
    uint32_t timeStamp;
    uint8_t groupNum;                  // entries in use; the coder handles at most 64
    CapxGroupReport group[CAPX_PR_MAX_GROUPS];
};

struct CapxGetGroupInfo {
    uint8_t msgId;
    uint16_t groupId;
};

struct CapxGetGroupInfoAck {
    uint8_t msgId;
    uint16_t groupId;
    uint8_t groupBlocked;
    char groupName[CAPX_SHORT_STR_MAX + 1];
    char managerName[CAPX_SHORT_STR_MAX + 1];
    char telNumber[CAPX_FIXED16 + 1];
    uint16_t loginCaNum;
    uint16_t totalCaNum;
    uint16_t totalMgrNum;
};

struct CapxCtItemInfo {
    uint8_t itemId;
    uint16_t wordCount;
    uint8_t wordPerMinM0;
    uint8_t wordPerMinM1;
    uint8_t wordPerMinM2;
    uint8_t wordPerMinM3;
    uint8_t wordPerMinF0;
    uint8_t wordPerMinF1;
    uint8_t wordPerMinF2;
    uint8_t wordPerMinF3;
    char title[CAPX_CT_TITLE_MAX + 1];
};

struct CapxCtItemListGetResult {
    uint8_t msgId;
    uint8_t listNum;                   // the encoder writes it as held and at most 32 entries
    uint8_t listEndFlag;
    CapxCtItemInfo info[CAPX_CT_MAX_ITEMS];
};

struct CapxCtStart {
    uint8_t msgId;
    uint32_t caId;
    uint8_t itemIdx;
    uint8_t language;
    uint8_t gender;
    uint8_t level;
};

struct CapxCtStartAck {
    uint8_t msgId;
    uint32_t caId;
    uint8_t itemIdx;
    uint8_t language;
    uint8_t result;
};

struct CapxCtStop {
    uint8_t msgId;
    uint32_t caId;
    uint8_t cause;
};

struct CapxCtStopAck {
    uint8_t msgId;
    uint32_t caId;
    uint8_t result;
};

struct CapxCtResult {
    uint8_t msgId;
    uint32_t caId;
    uint8_t itemIdx;
    uint8_t result;
    uint8_t scoreRate;
    uint16_t totalWord;
    uint16_t rxWord;
    uint16_t rxBs;
    uint16_t mismatchWord;
};

struct CapxControlAgent {
    uint8_t msgId;
    uint32_t mgmtId;
    uint32_t agentId;
    uint8_t controlId;
};

struct CapxControlAgentAck {
    uint8_t msgId;
    uint32_t mgmtId;
    uint32_t agentId;
    uint8_t controlId;
    uint8_t result;
};

struct CapxControlAvoidCaPause {
    uint8_t msgId;
    uint32_t mgmtId;
    uint8_t avoidCaPause;
    uint16_t durationSec;
};

struct CapxControlAvoidCaPauseAck {
    uint8_t msgId;
    uint32_t mgmtId;
    uint8_t avoidCaPause;
    uint16_t durationSec;
    uint8_t result;
};

struct CapxCallInfo {
    uint8_t msgId;
    char docNumber[CAPX_FIXED16 + 1];
    char callIdx[CAPX_FIXED16 + 1];    // text here
};

struct CapxCallEvent {
    uint8_t msgId;
    uint8_t svcEventId;
};

struct CapxCallResult {
    uint8_t msgId;
    uint32_t rxVoicePktCnt;
    uint32_t rxNullPktCnt;
    uint32_t txNullPktCnt;
    uint32_t txVoicePktCnt;
    uint32_t rxVoiceAckCnt;
    uint32_t rxPreCaptionCnt;
    uint32_t rxCaptionCnt;
    uint32_t txFailToASR;
    uint8_t rxCapStart;
    uint8_t rxResume;
    uint8_t rxPause;
    uint8_t lastCtrl;
    uint8_t txTransStart;
    uint8_t txTransStop;
    uint8_t socketUp;
    uint8_t socketDown;
};

// One protocol message in memory: byte 0 is the message id, the rest the body
// of that message. Every body starts with msgId, so msgId can be read through
// any member. Zero-initialise before filling (CapxMsg m{} or memset).
struct CapxMsg {
    union {
        uint8_t msgId;
        CapxBroadcast broadcast;
        CapxAssignReq assignReq;
        CapxAssignComplete assignComplete;
        CapxBroadcast assignFail;
        CapxControl control;
        CapxData data;
        CapxRelease release;
        CapxIdOnly releaseComplete;
        CapxLogin login;
        CapxLoginAck loginAck;
        CapxLogout logout;
        CapxLogoutAck logoutAck;
        CapxAgentState agentState;
        CapxKeepAlive keepAlive;
        CapxKeepAliveAck keepAliveAck;
        CapxVoipSetup voipSetup;
        CapxResult voipSetupComplete;
        CapxChangePasswd changePasswd;
        CapxResult changePasswdAck;
        CapxControlAgentAdd controlAgentAdd;
        CapxControlAgentAdd controlAgentMod;
        CapxResult controlAgentModAck;
        CapxControlAgentDel controlAgentDel;
        CapxResult controlAgentDelAck;
        CapxGetAgentInfo getAgentInfo;
        CapxGetAgentInfoAck getAgentInfoAck;
        CapxMonitoring monitoring;
        CapxPeriodicReport periodicReport;
        CapxMessage message;
        CapxGetGroupInfo getGroupInfo;
        CapxGetGroupInfoAck getGroupInfoAck;
        CapxDataAck dataAck;
        CapxHoEvent hoEvent;
        CapxIdOnly ctItemListGet;
        CapxCtItemListGetResult ctItemListGetResult;
        CapxCtStart ctStart;
        CapxCtStartAck ctStartAck;
        CapxCtStop ctStop;
        CapxCtStopAck ctStopAck;
        CapxCtResult ctResult;
        CapxCaSvcState caSvcState;
        CapxCaSvcStateAck caSvcStateAck;
        CapxControlAgent controlAgent;
        CapxControlAgentAck controlAgentAck;
        CapxControlAvoidCaPause controlAvoidCaPause;
        CapxControlAvoidCaPauseAck controlAvoidCaPauseAck;
        CapxCallInfo callInfo;
        CapxCallEvent callEvent;
        CapxCallResult callResult;
        CapxCallReport callReport;
        uint8_t raw[CAPX_MSG_SIZE];
    };
};

static_assert(sizeof(CapxMsg) == CAPX_MSG_SIZE, "CapxMsg is 2320 bytes");
static_assert(alignof(CapxMsg) == 8, "CapxMsg holds 64-bit fields");
static_assert(offsetof(CapxMsg, msgId) == 0);
static_assert(offsetof(CapxBroadcast, callIdx) == 8);
static_assert(offsetof(CapxAssignReq, callIdx) == 8);
static_assert(offsetof(CapxAssignComplete, cuPhoneNumber) == 6);
static_assert(offsetof(CapxAssignComplete, callIdx) == 32);
static_assert(offsetof(CapxData, dataLen) == 2 && offsetof(CapxData, data) == 4);
static_assert(offsetof(CapxLogin, versionLen) == 148 && offsetof(CapxLogin, msg) == 167);
static_assert(offsetof(CapxLoginAck, msg) == 34 && offsetof(CapxLoginAck, eValue) == 291);
static_assert(offsetof(CapxKeepAlive, svrTxStampSec) == 4 && offsetof(CapxKeepAlive, doNotPause) == 15);
static_assert(offsetof(CapxKeepAliveAck, caState) == 28);
static_assert(offsetof(CapxGetAgentInfoAck, stateShift) == 48 &&
              offsetof(CapxGetAgentInfoAck, loginTimeStamp) == 68 &&
              offsetof(CapxGetAgentInfoAck, pausedDurationSec) == 140);
static_assert(offsetof(CapxMonitoring, stateShift) == 12 && offsetof(CapxMonitoring, efficiencyRateL) == 27);
static_assert(sizeof(CapxGroupReport) == 36);
static_assert(offsetof(CapxPeriodicReport, group) == 12);
static_assert(sizeof(CapxPeriodicReport) == 2316);
static_assert(sizeof(CapxCtItemInfo) == 46 && offsetof(CapxCtItemListGetResult, info) == 4);

// ---- log output -----------------------------------------------------------------
// Where the coder's log text goes: write() receives one piece of text at a
// time, always whole lines. A null sink means posLogPrint (the runtime log).
struct CapxLogSink {
    void (*write)(void* ctx, const char* text);
    void* ctx;
};

// Trace direction.
constexpr int CAPX_DIR_RX = 0;
constexpr int CAPX_DIR_TX = 1;

// ---- encode and decode ----------------------------------------------------------
// Encodes msg into buf (the body at offset 2, L in bytes 0-1), applies the DATA
// adjustment for DATA and returns L + 2. buf must hold CAPX_MAX_FRAME_LEN
// bytes. An id without a layout (0, 21, 52..255) writes nothing, logs
// "CAPX] Wrong MsgID(%d.%02X)" and returns 0. When traceLevel is not 0 the
// message is traced as transmitted, traceTag in the first column.
int capxEncodeMsg(const CapxMsg* msg, uint8_t* buf, int traceLevel, int traceTag);

// The same with the buffer's capacity and an explicit log sink (null: the
// runtime log). Returns -1 when the frame would not fit into bufCap bytes.
int capxEncodeMsgEx(const CapxMsg* msg, uint8_t* buf, int bufCap, int traceLevel, int traceTag,
                    const CapxLogSink* sink);

// Decodes one complete frame (length bytes first) into msg: stores L into
// *lenOut (when not null), clears the record's body, removes the DATA
// adjustment (on a private copy; frame is not changed), reads the fields in
// layout order and returns the message id. A field is read only when it lies
// wholly inside the body (a fixed-16 field too); the text of a short or long
// string and the bytes of a raw run are cut to the body and to the record
// field, while the wire cursor moves by the wire length; PERIODIC_REPORT keeps at most 64 groups and
// CT_ITEM_LIST_GET_RESULT at most 32 items, storing the clamped count. An id
// without a layout logs the wrong-id line and returns the id with an empty
// record. When traceLevel is not 0 the message is traced as received.
int capxDecodeMsg(CapxMsg* msg, const uint8_t* frame, int* lenOut, int traceLevel, int traceTag);

// The same for a frame of which only frameLen bytes are available: the body
// is cut to frameLen - 2 bytes. Returns -1 (record cleared, id 0) when the
// frame carries no id byte (frameLen < 3 or L = 0).
int capxDecodeMsgEx(CapxMsg* msg, const uint8_t* frame, int frameLen, int* lenOut, int traceLevel,
                    int traceTag, const CapxLogSink* sink);

// Name of a message id from the catalogue; "UNKNOWN" above 51.
const char* capxMsgName(int id);
// Id of a catalogue name (exact, e.g. "DATA_ACK"), -1 when unknown.
int capxMsgIdFromName(const char* name);
// 1 when the coder has a layout for the id, 0 for 0, 21 and 52..255.
int capxMsgHasLayout(int id);

// ---- DATA adjustment -------------------------------------------------------------
// The value added on encode to frame bytes 3..L-1 of a DATA frame of body
// length L: L / 10 + L % 10 (modulo 256).
uint8_t capxDataAdjustValue(int bodyLen);

// ---- link-key scrambling ---------------------------------------------------------
// Applied by the server link to whole frames (frameLen bytes, length bytes
// first; the length field decides how many bytes belong to the frame). Frames
// with L <= 3 and the exempt id travel unchanged; otherwise frame bytes 3 to
// L + 1 are changed by the key modulo 256. Each returns 1 when it changed the
// frame, 0 when it left it alone. Key 0 changes nothing.
//
// This client, sending: subtract the key; LOGIN is exempt.
int capxLinkKeyTx(uint8_t* frame, int frameLen, uint8_t key);
// This client, receiving (before decoding): add the key; LOGIN_ACK is exempt.
int capxLinkKeyRx(uint8_t* frame, int frameLen, uint8_t key);
// The service's side of the same link: it sends with LOGIN_ACK exempt and
// receives with LOGIN exempt.
int capxLinkKeySvrTx(uint8_t* frame, int frameLen, uint8_t key);
int capxLinkKeySvrRx(uint8_t* frame, int frameLen, uint8_t key);

// ---- trace ------------------------------------------------------------------------
// Prints msg (and, at level 2, a hex dump of frame and every field by name).
// The level that counts is txLevel for CAPX_DIR_TX and rxLevel for
// CAPX_DIR_RX. KEEP_ALIVE and KEEP_ALIVE_ACK are never printed. frame may be
// null or frameLen 0 (no dump).
void capxTraceMsg(const CapxMsg* msg, const uint8_t* frame, int frameLen, int dir, int txLevel,
                  int rxLevel, int traceTag);
// The same into an explicit sink (null: the runtime log).
void capxTraceMsgTo(const CapxLogSink* sink, const CapxMsg* msg, const uint8_t* frame, int frameLen,
                    int dir, int txLevel, int rxLevel, int traceTag);

// The runtime's hex-dump format, into a caller buffer: " [name] L(0x%X, %d)"
// (no name line when name is null), then 16 bytes a row with the printable
// characters; at most 432 bytes are shown. Returns the text length; the text
// is always NUL-terminated and cut to outCap - 1.
int capxFormatStream(const char* name, const void* data, int length, char* out, int outCap);
constexpr int CAPX_STREAM_TEXT_MAX = 2048;    // holds any capxFormatStream text

// ---- text form --------------------------------------------------------------------
// One message as a line: the message name, then field=value pairs separated by
// blanks, e.g.
//   LOGIN userId="agent7" passwd="" reqPhoneNumber="" version="\x02\x08\x04" stenoFormat=2 msg=""
//   PERIODIC_REPORT timeStamp=7 groupNum=1 group[0].groupId=3 group[0].serviceCnt=9
// Integers are decimal or 0x hexadecimal and must fit the record field.
// Strings and byte runs are double-quoted with C escapes (\\ \" \n \r \t \xHH).
// Fields not given are 0 or empty; a repeated-group count not given is the
// highest index given plus one. DATA's data and LOGIN's version set their
// length fields. Field names are those of the trace.
//
// Parses text into msg (zeroed first). Returns 0, or -1 with a one-line
// reason in err (NUL-terminated, cut to errCap).
int capxMsgFromText(const char* text, CapxMsg* msg, char* err, int errCap);
// Prints every field of msg in layout order. Returns the text length, or -1
// when it does not fit into outCap bytes or the id has no layout.
int capxMsgToText(const CapxMsg* msg, char* out, int outCap);
constexpr int CAPX_TEXT_MAX = 65536;          // holds the text of any message
