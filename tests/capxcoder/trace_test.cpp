// The message trace: exact lines at levels 1 and 2, the hex-dump format, the
// messages never printed, and the route through the runtime log.
#include "capxmsgcoder.h"
#include "golden_frames.h"

#include "pos.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

struct Captured {
    std::string text;
    std::vector<std::string> pieces;
    static void write(void* ctx, const char* t)
    {
        auto* c = static_cast<Captured*>(ctx);
        c->text += t;
        c->pieces.push_back(t);
    }
    CapxLogSink sink() { return CapxLogSink{&Captured::write, this}; }
};

// The time stamp is the local time; the tests check its shape
// " [yyyy/mm/dd hh:mm:ss] " and replace it.
bool isStampAt(const std::string& s, size_t at)
{
    static const char kShape[] = " [dddd/dd/dd dd:dd:dd] ";
    if (at + sizeof kShape - 1 > s.size())
        return false;
    for (size_t i = 0; i + 1 < sizeof kShape; ++i) {
        char c = s[at + i];
        if (kShape[i] == 'd' ? !(c >= '0' && c <= '9') : c != kShape[i])
            return false;
    }
    return true;
}

bool hasStamp(const std::string& s)
{
    for (size_t at = 0; at < s.size(); ++at)
        if (isStampAt(s, at))
            return true;
    return false;
}

std::string stamped(const std::string& s)
{
    std::string out;
    for (size_t at = 0; at < s.size();) {
        if (isStampAt(s, at)) {
            out += " [STAMP] ";
            at += 23;
        } else {
            out += s[at++];
        }
    }
    return out;
}

std::string pad(int missing)
{
    return std::string(size_t(missing) * 3, ' ');
}

const std::string kSep = " - - - - - - - - - - - - - - - - - - - - - - - - - - - - - \n";
const std::string kEnd = "-----------------------------------------------------------\n";
const std::string kF7 = "\xF7";   // any other byte
const std::string kF1 = "\xF1";   // line feed

std::string rep(const std::string& s, int n)
{
    std::string out;
    for (int i = 0; i < n; ++i)
        out += s;
    return out;
}

std::string traceOf(const CapxMsg& m, const std::vector<uint8_t>& frame, int dir, int level, int tag)
{
    Captured c;
    CapxLogSink s = c.sink();
    capxTraceMsgTo(&s, &m, frame.data(), int(frame.size()), dir, dir == CAPX_DIR_TX ? level : 0,
                   dir == CAPX_DIR_RX ? level : 0, tag);
    return c.text;
}

TEST(CapxTrace, LevelOneTransmittedControl)
{
    const GoldenFrame& g = goldenNamed("CONTROL");
    Captured c;
    CapxLogSink s = c.sink();
    CapxMsg m = goldenRecord(g);
    uint8_t buf[CAPX_MAX_FRAME_LEN];
    ASSERT_EQ(capxEncodeMsgEx(&m, buf, sizeof buf, 1, 7, &s), 5);
    ASSERT_TRUE(hasStamp(c.text)) << c.text;
    EXPECT_EQ(stamped(c.text), " [STAMP]     7 Tx              CONTROL( 5)\n");
}

TEST(CapxTrace, LevelTwoReceivedData)
{
    Captured c;
    CapxLogSink s = c.sink();
    std::vector<uint8_t> f = hexBytes("00 06 06 06 09 67 62 63");
    CapxMsg m;
    int len;
    ASSERT_EQ(capxDecodeMsgEx(&m, f.data(), int(f.size()), &len, 2, 3, &s), CAPX_DATA);
    std::string want = " [STAMP]     3 Rx                 DATA( 6)\n"
                       // the dump shows the frame with the adjustment removed
                       " 00 06 06 00 03 61 62 63" + pad(8) + "  " + rep(kF7, 5) + "abc\n" +
                       kSep +
                       "      -msgId: 06(6)\n"
                       "      -dataLen: 03(3)\n"
                       " [data] L(0x3, 3)\n"
                       " 61 62 63" + pad(13) + "  abc\n" +
                       kEnd;
    EXPECT_EQ(stamped(c.text), want);
}

TEST(CapxTrace, LevelTwoTransmittedDataShowsTheWireBytes)
{
    Captured c;
    CapxLogSink s = c.sink();
    CapxMsg m = goldenRecord(goldenNamed("DATA"));
    uint8_t buf[CAPX_MAX_FRAME_LEN];
    ASSERT_EQ(capxEncodeMsgEx(&m, buf, sizeof buf, 2, 12, &s), 8);
    std::string want = " [STAMP]    12 Tx                 DATA( 6)\n"
                       " 00 06 06 06 09 67 62 63" + pad(8) + "  " + rep(kF7, 5) + "gbc\n" +
                       kSep +
                       "      -msgId: 06(6)\n"
                       "      -dataLen: 03(3)\n"
                       " [data] L(0x3, 3)\n"
                       " 61 62 63" + pad(13) + "  abc\n" +
                       kEnd;
    EXPECT_EQ(stamped(c.text), want);
}

TEST(CapxTrace, LevelTwoReceivedLoginAck)
{
    const GoldenFrame& g = goldenNamed("LOGIN_ACK");
    std::string got = traceOf(goldenRecord(g), hexBytes(g.hex), CAPX_DIR_RX, 2, 1);
    std::string want =
        " [STAMP]     1 Rx            LOGIN_ACK(10)\n"
        " 00 22 0A 00 00 10 01 38 30 30 35 35 35 30 31 30  " + kF7 + "\"" + kF1 + rep(kF7, 4) + "8 00555010\n"
        " 30 00 00 00 00 00 00 00 02 01 02 01 00 01 01 00  0" + rep(kF7, 7) + " " + rep(kF7, 8) + "\n"
        " 02 48 69 2A" + pad(12) + "  " + kF7 + "Hi*\n" +
        kSep +
        "      -msgId: 0A(10)\n"
        "      -agentId: 1001(4097)\n"
        " [phoneNumber] L(0xA, 10)\n"
        " 38 30 30 35 35 35 30 31 30 30" + pad(6) + "  8005550100\n"
        "      -result: 00(0)\n"
        "      -level: 02(2)\n"
        "      -groupId: 102(258)\n"
        "      -language: 01(1)\n"
        "      -upgradeRequired: 00(0)\n"
        "      -loginMode: 01(1)\n"
        "      -dataLogFlag: 01(1)\n"
        " [msg] L(0x2, 2)\n"
        " 48 69" + pad(14) + "  Hi\n"
        "      -eValue: 2A(42)\n" +
        kEnd;
    EXPECT_EQ(stamped(got), want);
}

TEST(CapxTrace, LevelTwoLoginPrintsThePasswordAndTheVersionBytes)
{
    const GoldenFrame& g = goldenNamed("LOGIN");
    std::string got = traceOf(goldenRecord(g), hexBytes(g.hex), CAPX_DIR_TX, 2, 2);
    std::string fields = "      -msgId: 09(9)\n"
                         " [userId] L(0x6, 6)\n"
                         " 61 67 65 6E 74 37" + pad(10) + "  agent7\n"
                         " [passwd] L(0x2, 2)\n"
                         " 70 77" + pad(14) + "  pw\n"
                         " [reqPhoneNumber] L(0x0, 0)\n"
                         " [version] L(0x3, 3)\n"
                         " 02 08 04" + pad(13) + "  " + rep(kF7, 3) + "\n"
                         "      -stenoFormat: 02(2)\n"
                         " [msg] L(0x0, 0)\n" +
                         kEnd;
    size_t at = got.find(kSep);
    ASSERT_NE(at, std::string::npos);
    EXPECT_EQ(got.substr(at + kSep.size()), fields);
}

TEST(CapxTrace, RepeatedEntriesUseTheEntryNames)
{
    CapxMsg m;
    std::memset(&m, 0, sizeof m);
    m.msgId = CAPX_PERIODIC_REPORT;
    m.periodicReport.timeStamp = 1;
    m.periodicReport.groupNum = 1;
    m.periodicReport.group[0] = {0x10, 2, 3, 4, 5, 6, 7, 8, 9, 300, 11};
    std::string got = traceOf(m, {}, CAPX_DIR_RX, 2, 4);
    std::string want = " [STAMP]     4 Rx      PERIODIC_REPORT(29)\n"
                       "      -msgId: 1D(29)\n"
                       "      -timeStamp: 01(1)\n"
                       "      -groupNum: 01(1)\n"
                       "      -group[ i ].groupId: 10(16)\n"
                       "      -group[ i ].serviceCnt: 02(2)\n"
                       "      -group[ i ].attemptCnt: 03(3)\n"
                       "      -group[ i ].unavailCnt: 04(4)\n"
                       "      -group[ i ].missedCnt: 05(5)\n"
                       "      -group[ i ].curAgentCnt: 06(6)\n"
                       "      -group[ i ].busyAgentCnt: 07(7)\n"
                       "      -group[ i ].efficiencyRateH: 08(8)\n"
                       "      -group[ i ].efficiencyRateL: 09(9)\n"
                       "      -group[ i ].serviceSec: 12C(300)\n"
                       "      -group[ i ].readySec: 0B(11)\n" +
                       kEnd;
    EXPECT_EQ(stamped(got), want);   // no frame given: no dump and no dump separator

    std::memset(&m, 0, sizeof m);
    m.msgId = CAPX_CT_ITEM_LIST_GET_RESULT;
    m.ctItemListGetResult.listNum = 1;
    m.ctItemListGetResult.info[0].itemId = 3;
    setText(m.ctItemListGetResult.info[0].title, "Quiz");
    got = traceOf(m, {}, CAPX_DIR_TX, 2, 4);
    EXPECT_NE(got.find("      -info[ i ].itemId: 03(3)\n"
                       "      -info[ i ].wordCount: 00(0)\n"
                       "      -info[ i ].wordPerMinM0: 00(0)\n"),
              std::string::npos);
    EXPECT_NE(got.find("      -info[ i ].wordPerMinF3: 00(0)\n"
                       " [info[ i ].title] L(0x4, 4)\n"
                       " 51 75 69 7A" + pad(12) + "  Quiz\n" + kEnd),
              std::string::npos);
}

TEST(CapxTrace, SixtyFourGroupsAllPrinted)
{
    CapxMsg m;
    std::memset(&m, 0, sizeof m);
    m.msgId = CAPX_PERIODIC_REPORT;
    m.periodicReport.groupNum = 200;             // more than the record holds: 64 printed
    Captured c;
    CapxLogSink s = c.sink();
    capxTraceMsgTo(&s, &m, nullptr, 0, CAPX_DIR_RX, 0, 2, 1);
    size_t count = 0;
    for (size_t at = 0; (at = c.text.find("group[ i ].readySec", at)) != std::string::npos; ++at)
        ++count;
    EXPECT_EQ(count, 64u);
    for (const std::string& p : c.pieces) {
        EXPECT_LT(p.size(), 4097u);               // each piece fits one runtime log line
        EXPECT_EQ(p.back(), '\n');
    }
}

TEST(CapxTrace, CallIdxPrintsItsValueInBothPlaces)
{
    CapxMsg m;
    std::memset(&m, 0, sizeof m);
    m.broadcast = {CAPX_BROADCAST, 0, 0, 0x89ABCDEF};
    std::string got = traceOf(m, {}, CAPX_DIR_RX, 2, 1);
    EXPECT_NE(got.find("      -callIdx: 89ABCDEF(2309737967)\n"), std::string::npos);
}

TEST(CapxTrace, UnknownIdReceived)
{
    Captured c;
    CapxLogSink s = c.sink();
    std::vector<uint8_t> f = hexBytes("00 01 3C");
    CapxMsg m;
    int len;
    ASSERT_EQ(capxDecodeMsgEx(&m, f.data(), 3, &len, 2, 1, &s), 60);
    std::string want = "CAPX] Wrong MsgID(60.3C)\n"
                       " [STAMP]     1 Rx              UNKNOWN(60)\n"
                       " 00 01 3C" + pad(13) + "  " + rep(kF7, 2) + "<\n" +
                       kSep +
                       "CAPX] Wrong MsgID(60.3C)\n" +
                       kEnd;
    EXPECT_EQ(stamped(c.text), want);

    c.text.clear();
    ASSERT_EQ(capxDecodeMsgEx(&m, f.data(), 3, &len, 1, 1, &s), 60);
    EXPECT_EQ(stamped(c.text), "CAPX] Wrong MsgID(60.3C)\n"
                               " [STAMP]     1 Rx              UNKNOWN(60)\n");
}

TEST(CapxTrace, KeepAliveTrafficIsNeverPrinted)
{
    for (const char* name : {"KEEP_ALIVE", "KEEP_ALIVE_ACK"}) {
        const GoldenFrame& g = goldenNamed(name);
        CapxMsg m = goldenRecord(g);
        std::vector<uint8_t> f = hexBytes(g.hex);
        for (int level = 0; level <= 3; ++level) {
            Captured c;
            CapxLogSink s = c.sink();
            uint8_t buf[CAPX_MAX_FRAME_LEN];
            EXPECT_GT(capxEncodeMsgEx(&m, buf, sizeof buf, level, 1, &s), 0);
            CapxMsg d;
            int len;
            EXPECT_EQ(capxDecodeMsgEx(&d, f.data(), int(f.size()), &len, level, 1, &s), m.msgId);
            capxTraceMsgTo(&s, &m, f.data(), int(f.size()), CAPX_DIR_RX, level, level, 1);
            EXPECT_EQ(c.text, "") << name << " level " << level;
        }
    }
}

TEST(CapxTrace, LevelZeroAndTheOtherDirectionsLevelPrintNothing)
{
    const GoldenFrame& g = goldenNamed("CONTROL");
    CapxMsg m = goldenRecord(g);
    std::vector<uint8_t> f = hexBytes(g.hex);
    Captured c;
    CapxLogSink s = c.sink();
    capxTraceMsgTo(&s, &m, f.data(), int(f.size()), CAPX_DIR_RX, 2, 0, 1);   // tx level only
    capxTraceMsgTo(&s, &m, f.data(), int(f.size()), CAPX_DIR_TX, 0, 2, 1);   // rx level only
    uint8_t buf[CAPX_MAX_FRAME_LEN];
    capxEncodeMsgEx(&m, buf, sizeof buf, 0, 1, &s);
    EXPECT_EQ(c.text, "");
}

// ---- hex dump --------------------------------------------------------------------

TEST(CapxDump, NamedDumpOfTwentyBytes)
{
    uint8_t data[20];
    for (int i = 0; i < 20; ++i)
        data[i] = uint8_t('A' + i);
    data[3] = 0x0A;
    data[17] = 0x0D;
    char out[CAPX_STREAM_TEXT_MAX];
    int n = capxFormatStream("RX", data, 20, out, sizeof out);
    std::string want = " [RX] L(0x14, 20)\n"
                       " 41 42 43 0A 45 46 47 48 49 4A 4B 4C 4D 4E 4F 50  ABC\xF1" "EFGH IJKLMNOP\n"
                       " 51 0D 53 54" + pad(12) + "  Q\xAB" "ST\n";
    EXPECT_EQ(std::string(out, size_t(n)), want);
}

TEST(CapxDump, ShowsAtMost432Bytes)
{
    std::vector<uint8_t> data(1000, 0x20);
    char out[CAPX_STREAM_TEXT_MAX];
    int n = capxFormatStream("BIG", data.data(), 1000, out, sizeof out);
    std::string s(out, size_t(n));
    EXPECT_EQ(s.rfind(" [BIG] L(0x3E8, 1000)\n", 0), 0u);
    size_t rows = 0;
    for (char ch : s)
        rows += ch == '\n';
    EXPECT_EQ(rows, 1u + 27u);
}

TEST(CapxDump, CutsToTheCallersBuffer)
{
    uint8_t data[32] = {};
    char out[10];
    int n = capxFormatStream("X", data, 32, out, sizeof out);
    EXPECT_EQ(n, 9);
    EXPECT_EQ(out[9], 0);
}

// ---- through the runtime log --------------------------------------------------------

TEST(CapxTraceRuntime, WithoutASinkLinesGoToTheRuntimeLog)
{
    ASSERT_EQ(posInit(99), 0);
    // A thread that is not a task writes to standard output once the log
    // task runs; wait for that, bounded.
    bool up = false;
    for (int i = 0; i < 200 && !up; ++i) {
        testing::internal::CaptureStdout();
        posLogPrint("capx probe\n");
        std::fflush(stdout);
        up = testing::internal::GetCapturedStdout().find("capx probe") != std::string::npos;
        if (!up)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ASSERT_TRUE(up) << "runtime log did not start";

    const GoldenFrame& g = goldenNamed("CONTROL");
    CapxMsg m = goldenRecord(g);
    testing::internal::CaptureStdout();
    uint8_t buf[CAPX_MAX_FRAME_LEN];
    ASSERT_EQ(capxEncodeMsg(&m, buf, 1, 9), 5);
    m.msgId = 52;
    EXPECT_EQ(capxEncodeMsg(&m, buf, 1, 9), 0);
    std::fflush(stdout);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(stamped(out), " [STAMP]     9 Tx              CONTROL( 5)\n"
                            "CAPX] Wrong MsgID(52.34)\n");
}

}  // namespace
