// Encode and decode of every layout, the DATA adjustment, the link-key layer
// and the coder's handling of short, long and hostile frames.
#include "capxmsgcoder.h"
#include "golden_frames.h"
#include "capxinternal.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <set>
#include <string>
#include <vector>

namespace {

struct Captured {
    std::string text;
    static void write(void* ctx, const char* t) { static_cast<Captured*>(ctx)->text += t; }
    CapxLogSink sink() { return CapxLogSink{&Captured::write, this}; }
};

std::vector<uint8_t> encode(const CapxMsg& m, Captured* log = nullptr)
{
    uint8_t buf[CAPX_MAX_FRAME_LEN];
    Captured local;
    CapxLogSink s = (log ? log : &local)->sink();
    int n = capxEncodeMsgEx(&m, buf, sizeof buf, 0, 0, &s);
    return n > 0 ? std::vector<uint8_t>(buf, buf + n) : std::vector<uint8_t>();
}

int decode(const std::vector<uint8_t>& frame, CapxMsg& m, Captured* log = nullptr, int* lenOut = nullptr)
{
    Captured local;
    CapxLogSink s = (log ? log : &local)->sink();
    int len = 0;
    int id = capxDecodeMsgEx(&m, frame.data(), int(frame.size()), &len, 0, 0, &s);
    if (lenOut)
        *lenOut = len;
    return id;
}

std::string text(const CapxMsg& m)
{
    static char buf[CAPX_TEXT_MAX];
    int n = capxMsgToText(&m, buf, sizeof buf);
    return n < 0 ? std::string("<no text>") : std::string(buf, size_t(n));
}

CapxMsg zeroed()
{
    CapxMsg m;
    std::memset(&m, 0, sizeof m);
    return m;
}

std::vector<uint8_t> frameOf(std::vector<uint8_t> body)
{
    std::vector<uint8_t> f(body.size() + 2);
    f[0] = uint8_t(body.size() >> 8);
    f[1] = uint8_t(body.size());
    std::copy(body.begin(), body.end(), f.begin() + 2);
    return f;
}

void putBe(std::vector<uint8_t>& v, uint64_t x, int width)
{
    for (int i = width - 1; i >= 0; --i)
        v.push_back(uint8_t(x >> (8 * i)));
}

// ---- catalogue ------------------------------------------------------------------

TEST(CapxCatalogue, NamesAndUnknownIds)
{
    EXPECT_STREQ(capxMsgName(0), "NULL_MSG");
    EXPECT_STREQ(capxMsgName(1), "BROADCAST");
    EXPECT_STREQ(capxMsgName(21), "CONTROL_AGENT_ADD_ACK");
    EXPECT_STREQ(capxMsgName(36), "CT_ITEM_LIST_GET_RESULT");
    EXPECT_STREQ(capxMsgName(51), "CALL_REPORT");
    for (int id : {52, 60, 200, 254, 255, 1000})
        EXPECT_STREQ(capxMsgName(id), "UNKNOWN") << id;
    for (int id = 0; id <= CAPX_MSG_ID_LAST; ++id)
        EXPECT_EQ(capxMsgIdFromName(capxMsgName(id)), id);
    EXPECT_EQ(capxMsgIdFromName("UNKNOWN"), -1);
    EXPECT_EQ(capxMsgIdFromName("data"), -1);
}

TEST(CapxCatalogue, LayoutsExistForAllButZeroAnd21)
{
    for (int id = 0; id < 256; ++id) {
        bool expected = id >= 1 && id <= 51 && id != 21;
        EXPECT_EQ(capxMsgHasLayout(id), expected ? 1 : 0) << id;
    }
}

// ---- golden frames ----------------------------------------------------------------

TEST(CapxGolden, TableCoversEveryLayout)
{
    std::set<int> covered;
    for (const GoldenFrame& g : goldenFrames()) {
        CapxMsg m = goldenRecord(g);
        EXPECT_STREQ(capxMsgName(m.msgId), g.name);
        covered.insert(m.msgId);
    }
    for (int id = 0; id < 256; ++id)
        if (capxMsgHasLayout(id)) {
            EXPECT_TRUE(covered.count(id)) << "no golden frame for " << capxMsgName(id);
        }
}

TEST(CapxGolden, EncodeGivesExactlyTheGoldenBytes)
{
    for (const GoldenFrame& g : goldenFrames()) {
        SCOPED_TRACE(g.name);
        std::vector<uint8_t> want = hexBytes(g.hex);
        ASSERT_EQ(size_t((want[0] << 8 | want[1]) + 2), want.size()) << "golden length field";
        CapxMsg m = goldenRecord(g);
        EXPECT_EQ(encode(m), want);
    }
}

TEST(CapxGolden, DecodeGivesTheGoldenFields)
{
    for (const GoldenFrame& g : goldenFrames()) {
        SCOPED_TRACE(g.name);
        std::vector<uint8_t> frame = hexBytes(g.hex);
        CapxMsg want = goldenRecord(g);
        CapxMsg got;
        std::memset(&got, 0xA5, sizeof got);     // stale bytes must not survive
        int len = -1;
        EXPECT_EQ(decode(frame, got, nullptr, &len), want.msgId);
        EXPECT_EQ(len, int(frame.size()) - 2);
        EXPECT_EQ(text(got), text(want));
        EXPECT_EQ(encode(got), frame);
    }
}

TEST(CapxGolden, PlainEntryPointsMatchTheBoundedOnes)
{
    for (const GoldenFrame& g : goldenFrames()) {
        SCOPED_TRACE(g.name);
        std::vector<uint8_t> frame = hexBytes(g.hex);
        CapxMsg m = goldenRecord(g);
        uint8_t buf[CAPX_MAX_FRAME_LEN];
        ASSERT_EQ(capxEncodeMsg(&m, buf, 0, 0), int(frame.size()));
        EXPECT_EQ(0, std::memcmp(buf, frame.data(), frame.size()));
        CapxMsg d;
        int len = 0;
        EXPECT_EQ(capxDecodeMsg(&d, frame.data(), &len, 0, 0), m.msgId);
        EXPECT_EQ(len, int(frame.size()) - 2);
        EXPECT_EQ(text(d), text(m));
    }
}

TEST(CapxGolden, DecodedFieldsReadThroughTheRecord)
{
    // A few fields checked by name, independent of the text form.
    CapxMsg m;
    decode(hexBytes("00 09 | 01 | 01 02 | 03 04 | 0A 0B 0C 0D"), m);
    EXPECT_EQ(m.broadcast.availCallCount1st, 0x0102);
    EXPECT_EQ(m.broadcast.availCallCount2nd, 0x0304);
    EXPECT_EQ(m.broadcast.callIdx, 0x0A0B0C0Du);

    decode(hexBytes(goldenNamed("LOGIN_ACK").hex), m);    // LOGIN_ACK
    ASSERT_EQ(m.msgId, CAPX_LOGIN_ACK);
    EXPECT_EQ(m.loginAck.agentId, 0x1001u);
    EXPECT_STREQ(m.loginAck.phoneNumber, "8005550100");
    EXPECT_EQ(m.loginAck.groupId, 0x0102);
    EXPECT_STREQ(m.loginAck.msg, "Hi");
    EXPECT_EQ(m.loginAck.eValue, 0x2A);

    for (const GoldenFrame& g : goldenFrames())
        if (std::string(g.name) == "GET_AGENT_INFO_ACK") {
            decode(hexBytes(g.hex), m);
            EXPECT_EQ(m.getAgentInfoAck.stateShift, 4);
            EXPECT_EQ(m.getAgentInfoAck.pausedDurationSec, 0x0708);
            EXPECT_EQ(m.getAgentInfoAck.loginTimeStamp, 0x01020304u);
            EXPECT_STREQ(m.getAgentInfoAck.agentName, "Ann");
        } else if (std::string(g.name) == "PERIODIC_REPORT") {
            decode(hexBytes(g.hex), m);
            EXPECT_EQ(m.periodicReport.groupNum, 2);
            EXPECT_EQ(m.periodicReport.group[0].readySec, 11u);
            EXPECT_EQ(m.periodicReport.group[1].serviceCnt, 0x01020304u);
            EXPECT_EQ(m.periodicReport.group[1].readySec, 0xFFFFFFFFu);
        }
}

// ---- round trips with every field set ---------------------------------------------

// Fills every field of a layout with random values that the wire can carry.
void randomFill(const capx::FieldDesc* f, int count, uint8_t* rec, std::mt19937& rng)
{
    using capx::FieldKind;
    auto randText = [&](uint8_t* p, int maxLen) {
        int n = int(rng() % uint32_t(maxLen + 1));
        if (rng() % 4 == 0)
            n = maxLen;                       // full fields are the interesting ones
        for (int i = 0; i < n; ++i)
            p[i] = uint8_t(1 + rng() % 255);
    };
    for (int i = 0; i < count; ++i, ++f) {
        uint8_t* p = rec + f->recOff;
        switch (f->kind) {
        case FieldKind::Int: {
            if (std::strcmp(f->name, "msgId") == 0)
                break;
            uint64_t v = (uint64_t(rng()) << 32 | rng());
            if (f->wireSize < 8)
                v &= (uint64_t(1) << (8 * f->wireSize)) - 1;
            capx::storeInt(p, f->recSize, v);
            break;
        }
        case FieldKind::ShortStr:
            if (f->lenOff != 0) {
                // Credential bytes: any value, 0 included; the length field counts them.
                int n = int(rng() % uint32_t(f->cap + 1));
                for (int k = 0; k < n; ++k)
                    p[k] = uint8_t(rng() % 3 == 0 ? 0 : rng());
                rec[f->lenOff] = uint8_t(n);
                break;
            }
            randText(p, f->cap);
            break;
        case FieldKind::LongStr:
            randText(p, f->cap);
            break;
        case FieldKind::Fixed:
            randText(p, f->wireSize);
            break;
        case FieldKind::Raw: {
            int n = int(rng() % uint32_t(f->cap + 1));
            for (int k = 0; k < n; ++k)
                p[k] = uint8_t(rng());
            capx::storeInt(rec + f->lenOff, 2, uint64_t(n));
            break;
        }
        case FieldKind::Group: {
            const capx::GroupDesc* g = f->group;
            int n = int(rng() % uint32_t(g->max + 1));
            if (rng() % 4 == 0)
                n = g->max;
            rec[g->countOff] = uint8_t(n);
            for (int e = 0; e < n; ++e)
                randomFill(g->fields, g->fieldCount, p + e * g->stride, rng);
            break;
        }
        }
    }
}

TEST(CapxRoundTrip, EveryLayoutWithRandomFields)
{
    std::mt19937 rng(20261210);
    for (int id = 0; id < 256; ++id) {
        const capx::MsgLayout* layout = capx::layoutOf(id);
        if (!layout)
            continue;
        SCOPED_TRACE(capxMsgName(id));
        for (int round = 0; round < 40; ++round) {
            CapxMsg m = zeroed();
            m.msgId = uint8_t(id);
            randomFill(layout->fields, layout->fieldCount, m.raw, rng);
            std::vector<uint8_t> frame = encode(m);
            ASSERT_FALSE(frame.empty());
            ASSERT_EQ(size_t((frame[0] << 8 | frame[1]) + 2), frame.size());
            CapxMsg d;
            std::memset(&d, 0x5A, sizeof d);
            ASSERT_EQ(decode(frame, d), id);
            ASSERT_EQ(0, std::memcmp(&m, &d, layout->recSize)) << text(m) << "\n" << text(d);

            // The text form carries every field as well.
            CapxMsg t;
            char err[200];
            ASSERT_EQ(capxMsgFromText(text(m).c_str(), &t, err, sizeof err), 0) << err;
            ASSERT_EQ(0, std::memcmp(&m, &t, sizeof m)) << text(m);
        }
    }
}

// ---- ids without a layout ------------------------------------------------------------

TEST(CapxWrongId, EncodeWritesNothingAndLogs)
{
    for (int id : {0, 21, 52, 60, 254, 255}) {
        SCOPED_TRACE(id);
        CapxMsg m = zeroed();
        m.msgId = uint8_t(id);
        uint8_t buf[16];
        std::memset(buf, 0xEE, sizeof buf);
        Captured log;
        CapxLogSink s = log.sink();
        EXPECT_EQ(capxEncodeMsgEx(&m, buf, sizeof buf, 2, 1, &s), 0);
        for (uint8_t b : buf)
            EXPECT_EQ(b, 0xEE);
        char line[64];
        std::snprintf(line, sizeof line, "CAPX] Wrong MsgID(%d.%02X)\n", id, id);
        EXPECT_EQ(log.text, line);
    }
}

TEST(CapxWrongId, DecodeReturnsTheIdWithAnEmptyRecord)
{
    for (int id : {0, 21, 52, 60, 254, 255}) {
        SCOPED_TRACE(id);
        CapxMsg m;
        std::memset(&m, 0x77, sizeof m);
        Captured log;
        std::vector<uint8_t> frame = frameOf({uint8_t(id), 1, 2, 3, 4});
        int len = 0;
        EXPECT_EQ(decode(frame, m, &log, &len), id);
        EXPECT_EQ(len, 5);
        EXPECT_EQ(m.msgId, id);
        for (int i = 1; i < CAPX_MSG_SIZE; ++i)
            ASSERT_EQ(m.raw[i], 0) << "byte " << i;
        char line[64];
        std::snprintf(line, sizeof line, "CAPX] Wrong MsgID(%d.%02X)\n", id, id);
        EXPECT_EQ(log.text, line);
    }
}

TEST(CapxWrongId, FrameWithoutIdByte)
{
    CapxMsg m;
    int len = -1;
    std::vector<uint8_t> empty = {0x00, 0x00, 0x05};
    EXPECT_EQ(capxDecodeMsgEx(&m, empty.data(), 3, &len, 0, 0, nullptr), -1);
    EXPECT_EQ(len, 0);
    EXPECT_EQ(m.msgId, 0);
    std::vector<uint8_t> shortFrame = {0x00, 0x03};
    EXPECT_EQ(capxDecodeMsgEx(&m, shortFrame.data(), 2, &len, 0, 0, nullptr), -1);
    EXPECT_EQ(capxDecodeMsgEx(&m, nullptr, 0, &len, 0, 0, nullptr), -1);
}

// ---- DATA adjustment -------------------------------------------------------------------

CapxMsg dataMsg(const std::string& s)
{
    CapxMsg m = zeroed();
    m.msgId = CAPX_DATA;
    m.data.dataLen = uint16_t(s.size());
    std::memcpy(m.data.data, s.data(), s.size());
    return m;
}

TEST(CapxDataAdjust, ValuePerBodyLength)
{
    EXPECT_EQ(capxDataAdjustValue(3), 3);
    EXPECT_EQ(capxDataAdjustValue(6), 6);
    EXPECT_EQ(capxDataAdjustValue(23), 5);
    EXPECT_EQ(capxDataAdjustValue(66), 12);
    EXPECT_EQ(capxDataAdjustValue(4096), uint8_t(409 + 6));
}

TEST(CapxDataAdjust, EmptyTextHasNoAdjustedByte)
{
    EXPECT_EQ(encode(dataMsg("")), hexBytes("00 03 06 00 00"));
    CapxMsg d;
    EXPECT_EQ(decode(hexBytes("00 03 06 00 00"), d), CAPX_DATA);
    EXPECT_EQ(d.data.dataLen, 0);
}

TEST(CapxDataAdjust, AbcExample)
{
    EXPECT_EQ(encode(dataMsg("abc")), hexBytes("00 06 06 06 09 67 62 63"));
}

TEST(CapxDataAdjust, TwentyCharactersAddFiveUpToTwoBytesBeforeTheEnd)
{
    std::string s = "ABCDEFGHIJKLMNOPQRST";      // c = 23, value 2 + 3 = 5
    std::vector<uint8_t> f = encode(dataMsg(s));
    ASSERT_EQ(f.size(), 25u);
    EXPECT_EQ(f[0], 0);
    EXPECT_EQ(f[1], 23);
    EXPECT_EQ(f[2], CAPX_DATA);
    EXPECT_EQ(f[3], 0 + 5);
    EXPECT_EQ(f[4], 20 + 5);
    for (int i = 5; i <= 22; ++i)
        EXPECT_EQ(f[size_t(i)], uint8_t(s[size_t(i - 5)] + 5)) << i;
    EXPECT_EQ(f[23], uint8_t('S'));
    EXPECT_EQ(f[24], uint8_t('T'));
    CapxMsg d;
    decode(f, d);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(d.data.data), d.data.dataLen), s);
}

TEST(CapxDataAdjust, SixtyThreeBytesGiveBodyLength66AndWrapModulo256)
{
    std::string s(63, char(0xFA));                // 0xFA + 12 wraps
    std::vector<uint8_t> f = encode(dataMsg(s));
    ASSERT_EQ(f.size(), 68u);
    EXPECT_EQ(f[0] << 8 | f[1], 66);
    EXPECT_EQ(f[10], uint8_t(0xFA + 12));
    CapxMsg d;
    decode(f, d);
    ASSERT_EQ(d.data.dataLen, 63);
    EXPECT_EQ(0, std::memcmp(d.data.data, s.data(), 63));
}

TEST(CapxDataAdjust, DecodeLeavesTheCallersFrameAlone)
{
    std::vector<uint8_t> f = hexBytes("00 06 06 06 09 67 62 63");
    std::vector<uint8_t> copy = f;
    CapxMsg d;
    decode(f, d);
    EXPECT_EQ(f, copy);
}

// ---- link key ------------------------------------------------------------------------

TEST(CapxLinkKey, SendSubtractsAndReceiveAddsFromOffsetThree)
{
    std::vector<uint8_t> f = hexBytes("00 06 06 06 09 67 62 63");
    EXPECT_EQ(capxLinkKeyTx(f.data(), int(f.size()), 0x10), 1);
    EXPECT_EQ(f, hexBytes("00 06 06 F6 F9 57 52 53"));
    EXPECT_EQ(capxLinkKeyRx(f.data(), int(f.size()), 0x10), 1);
    EXPECT_EQ(f, hexBytes("00 06 06 06 09 67 62 63"));
}

TEST(CapxLinkKey, EveryGoldenFrameSurvivesBothDirections)
{
    for (const GoldenFrame& g : goldenFrames()) {
        SCOPED_TRACE(g.name);
        const std::vector<uint8_t> plain = hexBytes(g.hex);
        for (uint8_t key : {uint8_t(1), uint8_t(0x5F), uint8_t(0xFF)}) {
            // client -> service
            std::vector<uint8_t> f = plain;
            capxLinkKeyTx(f.data(), int(f.size()), key);
            EXPECT_EQ(f[0], plain[0]);
            EXPECT_EQ(f[1], plain[1]);
            EXPECT_EQ(f[2], plain[2]);
            if (plain[2] == CAPX_LOGIN || plain.size() <= 5) {
                EXPECT_EQ(f, plain);
            } else {
                EXPECT_NE(f, plain);
            }
            capxLinkKeySvrRx(f.data(), int(f.size()), key);
            EXPECT_EQ(f, plain);
            // service -> client
            f = plain;
            capxLinkKeySvrTx(f.data(), int(f.size()), key);
            if (plain[2] == CAPX_LOGIN_ACK || plain.size() <= 5) {
                EXPECT_EQ(f, plain);
            }
            capxLinkKeyRx(f.data(), int(f.size()), key);
            EXPECT_EQ(f, plain);
        }
    }
}

TEST(CapxLinkKey, LoginAndLoginAckTravelUnscrambled)
{
    std::vector<uint8_t> login = hexBytes(goldenNamed("LOGIN").hex);
    std::vector<uint8_t> ack = hexBytes(goldenNamed("LOGIN_ACK").hex);
    ASSERT_EQ(login[2], CAPX_LOGIN);
    ASSERT_EQ(ack[2], CAPX_LOGIN_ACK);
    std::vector<uint8_t> l = login, a = ack;
    EXPECT_EQ(capxLinkKeyTx(l.data(), int(l.size()), 0x33), 0);
    EXPECT_EQ(capxLinkKeyRx(a.data(), int(a.size()), 0x33), 0);
    EXPECT_EQ(l, login);
    EXPECT_EQ(a, ack);
    // The other direction of each is keyed like any message.
    EXPECT_EQ(capxLinkKeyRx(l.data(), int(l.size()), 0x33), 1);
    EXPECT_EQ(capxLinkKeyTx(a.data(), int(a.size()), 0x33), 1);
}

TEST(CapxLinkKey, ShortFramesAndKeyZeroAreNeverChanged)
{
    for (const char* hex : {"00 03 05 0B 00", "00 02 07 03", "00 01 08", "00 01 FE", "00 03 21 07 00"}) {
        std::vector<uint8_t> f = hexBytes(hex), orig = f;
        for (int key = 0; key < 256; ++key) {
            EXPECT_EQ(capxLinkKeyTx(f.data(), int(f.size()), uint8_t(key)), 0);
            EXPECT_EQ(capxLinkKeyRx(f.data(), int(f.size()), uint8_t(key)), 0);
        }
        EXPECT_EQ(f, orig) << hex;
    }
    std::vector<uint8_t> f = hexBytes(goldenNamed("KEEP_ALIVE").hex), orig = f;   // KEEP_ALIVE
    EXPECT_EQ(capxLinkKeyTx(f.data(), int(f.size()), 0), 0);
    EXPECT_EQ(capxLinkKeyRx(f.data(), int(f.size()), 0), 0);
    EXPECT_EQ(f, orig);
}

TEST(CapxLinkKey, StaysInsideTheGivenBuffer)
{
    // Length field claims more than the caller holds: only the held bytes change.
    std::vector<uint8_t> f = {0x00, 0x40, 0x06, 0x10, 0x10, 0x10};
    EXPECT_EQ(capxLinkKeyRx(f.data(), int(f.size()), 1), 1);
    EXPECT_EQ(f, (std::vector<uint8_t>{0x00, 0x40, 0x06, 0x11, 0x11, 0x11}));
    EXPECT_EQ(capxLinkKeyRx(f.data(), 2, 1), 0);
    EXPECT_EQ(capxLinkKeyRx(nullptr, 10, 1), 0);
}

// ---- short bodies ------------------------------------------------------------------------

TEST(CapxShortBody, KeepAliveEndingAfterTheTimeStamp)
{
    CapxMsg m;
    std::memset(&m, 0xCC, sizeof m);
    EXPECT_EQ(decode(hexBytes("00 09 | 0E | 00 00 00 64 | 00 00 00 C8"), m), CAPX_KEEP_ALIVE);
    EXPECT_EQ(m.keepAlive.svrTxStampSec, 100u);
    EXPECT_EQ(m.keepAlive.svrTxStampUsec, 200u);
    EXPECT_EQ(m.keepAlive.curCaCount, 0);
    EXPECT_EQ(m.keepAlive.caState, 0);
    EXPECT_EQ(m.keepAlive.doNotPause, 0);
}

TEST(CapxShortBody, KeepAliveWithStateZeroTakesDoNotPauseFromTheLastByte)
{
    CapxMsg m;
    decode(hexBytes("00 0D | 0E | 00 00 00 01 | 00 00 00 02 | 00 03 | 00 | 01"), m);
    EXPECT_EQ(m.keepAlive.curCaCount, 3);
    EXPECT_EQ(m.keepAlive.caState, 0);
    EXPECT_EQ(m.keepAlive.doNotPause, 1);
}

TEST(CapxShortBody, PartialIntegerIsNotRead)
{
    CapxMsg m;
    // KEEP_ALIVE whose body ends one byte into curCaCount.
    decode(hexBytes("00 0A | 0E | 00 00 00 01 | 00 00 00 02 | 07"), m);
    EXPECT_EQ(m.keepAlive.svrTxStampUsec, 2u);
    EXPECT_EQ(m.keepAlive.curCaCount, 0);
}

TEST(CapxShortBody, LoginAckWithoutEValue)
{
    CapxMsg m;
    std::vector<uint8_t> f = hexBytes(goldenNamed("LOGIN_ACK").hex);
    f.pop_back();                 // drop eValue
    f[1] -= 1;
    EXPECT_EQ(decode(f, m), CAPX_LOGIN_ACK);
    EXPECT_STREQ(m.loginAck.msg, "Hi");
    EXPECT_EQ(m.loginAck.eValue, 0);
    EXPECT_EQ(m.loginAck.dataLogFlag, 1);
}

TEST(CapxShortBody, FixedFieldCutByTheBodyIsLeftEmpty)
{
    CapxMsg m;
    decode(hexBytes("00 0A | 10 | 31 39 32 2E 31 36 38 2E 31"), m);
    EXPECT_EQ(m.msgId, CAPX_VOIP_SETUP);
    EXPECT_STREQ(m.voipSetup.ipAddr, "");
    EXPECT_EQ(m.voipSetup.portId, 0);
}

TEST(CapxShortBody, PeriodicReportEndingInsideTheSecondGroup)
{
    std::vector<uint8_t> body = {CAPX_PERIODIC_REPORT};
    putBe(body, 77, 4);
    body.push_back(2);
    for (int g = 0; g < 2; ++g) {
        putBe(body, 0x100 + g, 2);
        putBe(body, 10 + g, 4);
        putBe(body, 20 + g, 4);
        putBe(body, 30 + g, 4);
        putBe(body, 40 + g, 4);
        putBe(body, 50 + g, 2);
        putBe(body, 60 + g, 2);
        body.push_back(uint8_t(70 + g));
        body.push_back(uint8_t(80 + g));
        putBe(body, 90 + g, 4);
        putBe(body, 99 + g, 4);
    }
    body.resize(6 + 32 + 19);    // second group: through missedCnt and one byte of curAgentCnt
    CapxMsg m;
    ASSERT_EQ(decode(frameOf(body), m), CAPX_PERIODIC_REPORT);
    const CapxPeriodicReport& p = m.periodicReport;
    EXPECT_EQ(p.timeStamp, 77u);
    EXPECT_EQ(p.groupNum, 2);
    EXPECT_EQ(p.group[0].groupId, 0x100);
    EXPECT_EQ(p.group[0].readySec, 99u);
    EXPECT_EQ(p.group[1].groupId, 0x101);
    EXPECT_EQ(p.group[1].serviceCnt, 11u);
    EXPECT_EQ(p.group[1].attemptCnt, 21u);
    EXPECT_EQ(p.group[1].unavailCnt, 31u);
    EXPECT_EQ(p.group[1].missedCnt, 41u);
    EXPECT_EQ(p.group[1].curAgentCnt, 0);
    EXPECT_EQ(p.group[1].busyAgentCnt, 0);
    EXPECT_EQ(p.group[1].readySec, 0u);
}

TEST(CapxShortBody, ExtraBytesAfterTheLastFieldAreIgnored)
{
    CapxMsg m;
    EXPECT_EQ(decode(hexBytes("00 05 | 05 | 0B | 00 | 99 99"), m), CAPX_CONTROL);
    EXPECT_EQ(m.control.control, 11);
    EXPECT_EQ(m.control.result, 0);
}

TEST(CapxShortBody, BodyCutToTheBytesTheCallerHolds)
{
    // L says 13 but only the first 9 body bytes are present.
    std::vector<uint8_t> f = hexBytes("00 0D | 0E | 00 00 00 01 | 00 00 00 02");
    CapxMsg m;
    int len = 0;
    EXPECT_EQ(decode(f, m, nullptr, &len), CAPX_KEEP_ALIVE);
    EXPECT_EQ(len, 13);
    EXPECT_EQ(m.keepAlive.svrTxStampUsec, 2u);
    EXPECT_EQ(m.keepAlive.curCaCount, 0);
}

// ---- particular fields -----------------------------------------------------------------

TEST(CapxFields, LoginWithAnEmptyPasswordAndNoPhoneNumber)
{
    CapxMsg m = zeroed();
    m.msgId = CAPX_LOGIN;
    setText(m.login.userId, "ab");
    m.login.versionLen = 3;
    m.login.stenoFormat = 5;
    std::vector<uint8_t> f = encode(m);
    // 00 L | 09 | 02 'a' 'b' | 00 | 16 x 00 | 00 03 00 00 00 | 05 | 00 00
    EXPECT_EQ(f, hexBytes("00 1D | 09 | 02 61 62 | 00 | 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00"
                          " | 00 03 00 00 00 | 05 | 00 00"));
}

TEST(CapxFields, SixteenDigitPhoneNumberFillsTheField)
{
    CapxMsg m = zeroed();
    m.msgId = CAPX_ASSIGN_COMPLETE;
    setText(m.assignComplete.cuPhoneNumber, "1234567890123456");
    m.assignComplete.callIdx = 1;
    std::vector<uint8_t> f = encode(m);
    ASSERT_EQ(f.size(), 29u);
    EXPECT_EQ(0, std::memcmp(&f[7], "1234567890123456", 16));
    CapxMsg d;
    decode(f, d);
    EXPECT_STREQ(d.assignComplete.cuPhoneNumber, "1234567890123456");
    EXPECT_EQ(d.assignComplete.callIdx, 1u);
}

TEST(CapxFields, CallIdxSendsItsLowThirtyTwoBitsAndDecodesZeroExtended)
{
    CapxMsg m = zeroed();
    m.assignReq = {CAPX_ASSIGN_REQ, 0x123456789ABCDEF0ull};
    EXPECT_EQ(encode(m), hexBytes("00 05 02 9A BC DE F0"));
    CapxMsg d;
    std::memset(&d, 0xFF, sizeof d);
    decode(hexBytes("00 05 02 FF FF FF FF"), d);
    EXPECT_EQ(d.assignReq.callIdx, 0xFFFFFFFFull);
}

TEST(CapxFields, AgentInfoAckWithAnEmptyName)
{
    CapxMsg m = zeroed();
    m.msgId = CAPX_GET_AGENT_INFO_ACK;
    m.getAgentInfoAck.loginMode = 0x42;
    m.getAgentInfoAck.pausedDurationSec = 0xBEEF;
    std::vector<uint8_t> f = encode(m);
    ASSERT_EQ(f[0] << 8 | f[1], 71);
    EXPECT_EQ(f[2 + 62], 0);         // agentName length
    EXPECT_EQ(f[2 + 63], 0x42);      // loginMode
    EXPECT_EQ(f[2 + 69], 0xBE);
    EXPECT_EQ(f[2 + 70], 0xEF);
}

TEST(CapxFields, AgentDelCarriesSixteenBitsOfItsAgentId)
{
    CapxMsg m = zeroed();
    m.msgId = CAPX_CONTROL_AGENT_DEL;
    m.controlAgentDel.agentId = 0x00ABCDEF;
    EXPECT_EQ(encode(m), hexBytes("00 04 18 CD EF 00"));
}

// ---- repeated groups -------------------------------------------------------------------

TEST(CapxGroups, ItemListOf40DecodesAs32)
{
    std::vector<uint8_t> body = {CAPX_CT_ITEM_LIST_GET_RESULT, 40, 1};
    for (int i = 0; i < 40; ++i) {
        body.push_back(uint8_t(i));
        putBe(body, 1000 + i, 2);
        for (int k = 0; k < 8; ++k)
            body.push_back(uint8_t(i + k));
        std::string title = "item " + std::to_string(i);
        title.resize(32, '\0');
        body.insert(body.end(), title.begin(), title.end());
    }
    CapxMsg m;
    ASSERT_EQ(decode(frameOf(body), m), CAPX_CT_ITEM_LIST_GET_RESULT);
    const CapxCtItemListGetResult& r = m.ctItemListGetResult;
    EXPECT_EQ(r.listNum, 32);
    EXPECT_EQ(r.listEndFlag, 1);
    EXPECT_EQ(r.info[31].itemId, 31);
    EXPECT_EQ(r.info[31].wordCount, 1031);
    EXPECT_EQ(r.info[31].wordPerMinF3, 31 + 7);
    EXPECT_STREQ(r.info[31].title, "item 31");
}

TEST(CapxGroups, PeriodicReportOf100GroupsDecodesAs64)
{
    std::vector<uint8_t> body = {CAPX_PERIODIC_REPORT};
    putBe(body, 5, 4);
    body.push_back(100);
    for (int g = 0; g < 100; ++g) {
        putBe(body, uint64_t(g), 2);
        for (int k = 0; k < 30; ++k)
            body.push_back(uint8_t(g));
    }
    ASSERT_EQ(body.size(), 6u + 3200u);
    CapxMsg m;
    ASSERT_EQ(decode(frameOf(body), m), CAPX_PERIODIC_REPORT);
    EXPECT_EQ(m.periodicReport.groupNum, 64);
    EXPECT_EQ(m.periodicReport.group[63].groupId, 63);
    EXPECT_EQ(m.periodicReport.group[63].readySec, 0x3F3F3F3Fu);
}

TEST(CapxGroups, CountIsKeptToTheRecordWhenTheBodyEndsBeforeTheEntries)
{
    CapxMsg m;
    ASSERT_EQ(decode(hexBytes("00 02 | 24 | 3A"), m), CAPX_CT_ITEM_LIST_GET_RESULT);   // listNum 58
    EXPECT_EQ(m.ctItemListGetResult.listNum, 32);
    ASSERT_EQ(decode(hexBytes("00 06 | 1D | 00 00 00 01 | C8"), m), CAPX_PERIODIC_REPORT);  // groupNum 200
    EXPECT_EQ(m.periodicReport.groupNum, 64);
}

TEST(CapxGroups, EncoderKeepsToWhatTheRecordHolds)
{
    CapxMsg m = zeroed();
    m.msgId = CAPX_PERIODIC_REPORT;
    m.periodicReport.groupNum = 100;
    m.periodicReport.group[63].groupId = 0x6363;
    std::vector<uint8_t> f = encode(m);
    ASSERT_EQ(f.size(), 2u + 6u + 64u * 32u);
    EXPECT_EQ(f[2 + 5], 64);                      // the count matches the groups written
    EXPECT_EQ(f[2 + 6 + 63 * 32], 0x63);

    m = zeroed();
    m.msgId = CAPX_CT_ITEM_LIST_GET_RESULT;
    m.ctItemListGetResult.listNum = 40;
    f = encode(m);
    ASSERT_EQ(f.size(), 2u + 3u + 32u * 43u);
    EXPECT_EQ(f[2 + 1], 40);                      // listNum goes out as held
}

// ---- hostile input -----------------------------------------------------------------------

TEST(CapxHostile, LongStringLength65535InAShortFrame)
{
    CapxMsg m;
    // LOGOUT_ACK: result, then msg claiming 65535 bytes with 5 present.
    EXPECT_EQ(decode(hexBytes("00 09 | 0C | 01 | FF FF 68 65 6C 6C 6F"), m), CAPX_LOGOUT_ACK);
    EXPECT_EQ(m.logoutAck.result, 1);
    EXPECT_STREQ(m.logoutAck.msg, "hello");
    // LOGIN_ACK with the same msg: eValue lies beyond the body and stays 0.
    std::vector<uint8_t> body = {CAPX_LOGIN_ACK};
    body.resize(29, 0x31);
    body.push_back(0xFF);
    body.push_back(0xFF);
    body.insert(body.end(), 300, 'z');
    ASSERT_EQ(decode(frameOf(body), m), CAPX_LOGIN_ACK);
    EXPECT_EQ(std::strlen(m.loginAck.msg), 256u);
    EXPECT_EQ(m.loginAck.eValue, 0);
}

TEST(CapxHostile, ShortStringLongerThanTheFieldIsCutAndSkipped)
{
    std::vector<uint8_t> body = {CAPX_LOGIN, 200};
    body.insert(body.end(), 200, 'u');
    body.push_back(2);
    body.push_back('p');
    body.push_back('w');
    CapxMsg m;
    ASSERT_EQ(decode(frameOf(body), m), CAPX_LOGIN);
    EXPECT_EQ(std::string(m.login.userId), std::string(64, 'u'));
    EXPECT_STREQ(m.login.passwd, "pw");       // the cursor moved past all 200 bytes
}

TEST(CapxCredentials, ZeroBytesTravelWithTheirLength)
{
    // Scrambled credentials can hold 0 bytes: the length fields carry them
    // through encode, decode and the text form; a length of 0 means the text
    // ends at its NUL.
    CapxMsg m = zeroed();
    m.msgId = CAPX_LOGIN;
    std::memcpy(m.login.userId, "ab", 2);
    std::memcpy(m.login.passwd, "\x61\x00\xA0\xCA\x96", 5);
    m.login.passwdLen = 5;
    std::vector<uint8_t> f = encode(m);
    ASSERT_GE(f.size(), 12u);
    const std::vector<uint8_t> head(f.begin() + 2, f.begin() + 12);
    EXPECT_EQ(head, (std::vector<uint8_t>{CAPX_LOGIN, 2, 'a', 'b', 5, 0x61, 0x00, 0xA0, 0xCA, 0x96}));
    CapxMsg d;
    ASSERT_EQ(decode(f, d), CAPX_LOGIN);
    EXPECT_EQ(d.login.userIdLen, 2);
    EXPECT_EQ(d.login.passwdLen, 5);
    EXPECT_EQ(0, std::memcmp(d.login.passwd, "\x61\x00\xA0\xCA\x96", 5));
    EXPECT_EQ(encode(d), f);
    EXPECT_NE(text(d).find("passwd=\"a\\x00\\xA0\\xCA\\x96\""), std::string::npos) << text(d);
    CapxMsg t;
    char err[200];
    ASSERT_EQ(capxMsgFromText(text(d).c_str(), &t, err, sizeof err), 0) << err;
    EXPECT_EQ(encode(t), f);

    // CHANGE_PASSWD and LOGOUT carry their credentials the same way; a length
    // above the field is cut to the field.
    m = zeroed();
    m.msgId = CAPX_CHANGE_PASSWD;
    m.changePasswd.userIdLen = 200;
    std::memset(m.changePasswd.userId, 0, sizeof m.changePasswd.userId);
    m.changePasswd.passwdLen = 1;
    f = encode(m);
    ASSERT_EQ(f.size(), 2u + 1u + 1u + 64u + 1u + 1u);
    EXPECT_EQ(f[3], 64);
    EXPECT_EQ(f[68], 1);
    m = zeroed();
    m.msgId = CAPX_LOGOUT;
    m.logout.userIdLen = 3;
    std::memcpy(m.logout.userId, "a\0b", 3);
    EXPECT_EQ(encode(m), (std::vector<uint8_t>{0, 5, CAPX_LOGOUT, 3, 'a', 0, 'b'}));
}

TEST(CapxHostile, DataLength4000)
{
    // Whole frame present: 4000 bytes of text, kept to 512.
    std::vector<uint8_t> body = {CAPX_DATA};
    putBe(body, 4000, 2);
    for (int i = 0; i < 4000; ++i)
        body.push_back(uint8_t('a' + i % 26));
    std::vector<uint8_t> f = frameOf(body);
    uint8_t v = capxDataAdjustValue(int(body.size()));
    for (size_t i = 3; i + 2 < f.size(); ++i)
        f[i] = uint8_t(f[i] + v);
    CapxMsg m;
    ASSERT_EQ(decode(f, m), CAPX_DATA);
    EXPECT_EQ(m.data.dataLen, CAPX_DATA_MAX);
    for (int i = 0; i < CAPX_DATA_MAX; ++i)
        ASSERT_EQ(m.data.data[i], uint8_t('a' + i % 26)) << i;

    // Claimed 4000, 10 present.
    f = frameOf({CAPX_DATA, 0x0F, 0xA0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10});
    ASSERT_EQ(decode(f, m), CAPX_DATA);
    EXPECT_EQ(m.data.dataLen, 10);
}

TEST(CapxHostile, EncoderNeverWritesMoreThanAFieldHolds)
{
    CapxMsg m = zeroed();
    m.msgId = CAPX_LOGIN;
    std::memset(m.login.userId, 'A', sizeof m.login.userId);          // no terminator
    std::memset(m.login.reqPhoneNumber, '9', sizeof m.login.reqPhoneNumber);
    m.login.versionLen = 100;
    std::memset(m.login.msg, 'M', sizeof m.login.msg);
    std::vector<uint8_t> f = encode(m);
    // 24 + 64 (userId) + 0 + 16 (version) + 256 (msg)
    ASSERT_EQ(f.size(), 2u + 24u + 64u + 16u + 256u);
    EXPECT_EQ(f[3], 64);
    CapxMsg d;
    decode(f, d);
    EXPECT_EQ(std::string(d.login.userId), std::string(64, 'A'));
    EXPECT_EQ(std::string(d.login.reqPhoneNumber), std::string(16, '9'));
    EXPECT_EQ(d.login.versionLen, 16);
    EXPECT_EQ(std::strlen(d.login.msg), 256u);

    m = zeroed();
    m.msgId = CAPX_DATA;
    m.data.dataLen = 4000;
    f = encode(m);
    EXPECT_EQ(f.size(), 2u + 3u + 512u);
}

TEST(CapxHostile, SmallOutputBufferIsRefusedWithoutWritingPastIt)
{
    CapxMsg m = goldenRecord(goldenNamed("LOGIN"));    // LOGIN, 37 bytes
    uint8_t buf[64];
    std::memset(buf, 0xEE, sizeof buf);
    EXPECT_EQ(capxEncodeMsgEx(&m, buf, 20, 0, 0, nullptr), -1);
    for (int i = 20; i < 64; ++i)
        EXPECT_EQ(buf[i], 0xEE);
    EXPECT_EQ(capxEncodeMsgEx(&m, buf, 37, 0, 0, nullptr), 37);
}

TEST(CapxHostile, EveryPrefixOfEveryGoldenFrame)
{
    // Decoding each truncation reads nothing beyond it (checked by the
    // sanitizers on an exactly sized heap copy) and never fails.
    for (const GoldenFrame& g : goldenFrames()) {
        std::vector<uint8_t> full = hexBytes(g.hex);
        for (size_t n = 3; n <= full.size(); ++n) {
            std::vector<uint8_t> part(full.begin(), full.begin() + long(n));
            CapxMsg m;
            int len = 0;
            EXPECT_EQ(capxDecodeMsgEx(&m, part.data(), int(n), &len, 0, 0, nullptr), full[2]);
            int bodyLen = int(n) - 2;
            part[0] = uint8_t(bodyLen >> 8);
            part[1] = uint8_t(bodyLen);
            CapxMsg m2;
            EXPECT_EQ(decode(part, m2), full[2]);
            if (full[2] != CAPX_DATA) {   // the DATA adjustment depends on L itself
                EXPECT_EQ(text(m), text(m2)) << g.name << " prefix " << n;
            }
        }
    }
}

}  // namespace
