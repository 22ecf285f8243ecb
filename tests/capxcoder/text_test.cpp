// The one-line text form: parsing, printing and its error messages.
#include "capxmsgcoder.h"
#include "golden_frames.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

std::string toText(const CapxMsg& m)
{
    static char buf[CAPX_TEXT_MAX];
    int n = capxMsgToText(&m, buf, sizeof buf);
    return n < 0 ? std::string("<none>") : std::string(buf, size_t(n));
}

std::string parseError(const char* text)
{
    CapxMsg m;
    char err[256];
    int rc = capxMsgFromText(text, &m, err, sizeof err);
    return rc == 0 ? std::string("<ok>") : std::string(err);
}

TEST(CapxText, EveryGoldenRecordPrintsAndParsesBack)
{
    for (const GoldenFrame& g : goldenFrames()) {
        SCOPED_TRACE(g.name);
        CapxMsg want = goldenRecord(g);
        std::string t = toText(want);
        EXPECT_EQ(t.rfind(std::string(g.name) + " ", 0) == 0 || t == g.name, true) << t;
        CapxMsg got;
        char err[256];
        ASSERT_EQ(capxMsgFromText(t.c_str(), &got, err, sizeof err), 0) << err;
        EXPECT_EQ(toText(got), t);
        uint8_t a[CAPX_MAX_FRAME_LEN], b[CAPX_MAX_FRAME_LEN];
        int na = capxEncodeMsgEx(&want, a, sizeof a, 0, 0, nullptr);
        int nb = capxEncodeMsgEx(&got, b, sizeof b, 0, 0, nullptr);
        ASSERT_EQ(na, nb);
        EXPECT_EQ(0, std::memcmp(a, b, size_t(na)));
    }
}

TEST(CapxText, PrintedForm)
{
    CapxMsg m;
    std::memset(&m, 0, sizeof m);
    m.msgId = CAPX_LOGIN;
    setText(m.login.userId, "a\"b\\c");
    setText(m.login.msg, "line\nnext\t\x01");
    m.login.versionLen = 3;
    m.login.version[0] = 2;
    m.login.version[1] = 0x41;
    m.login.version[2] = 0xFF;
    m.login.stenoFormat = 4;
    EXPECT_EQ(toText(m), "LOGIN userId=\"a\\\"b\\\\c\" passwd=\"\" reqPhoneNumber=\"\" version=\"\\x02A\\xFF\""
                         " stenoFormat=4 msg=\"line\\nnext\\t\\x01\"");
    std::memset(&m, 0, sizeof m);
    m.msgId = CAPX_RELEASE_COMPLETE;
    EXPECT_EQ(toText(m), "RELEASE_COMPLETE");
    m.msgId = CAPX_CONTROL_AGENT_ADD_ACK;
    EXPECT_EQ(toText(m), "CONTROL_AGENT_ADD_ACK");
    m.msgId = 60;
    EXPECT_EQ(toText(m), "<none>");
}

TEST(CapxText, ParsesNumbersStringsAndEntries)
{
    CapxMsg m;
    char err[256];
    ASSERT_EQ(capxMsgFromText("  BROADCAST callIdx=0x1FFFFFFFF availCallCount1st=65535\t", &m, err, sizeof err), 0)
        << err;
    EXPECT_EQ(m.msgId, CAPX_BROADCAST);
    EXPECT_EQ(m.broadcast.callIdx, 0x1FFFFFFFFull);
    EXPECT_EQ(m.broadcast.availCallCount1st, 65535);

    ASSERT_EQ(capxMsgFromText("DATA data=\"a b\\x00\\r\\n\"", &m, err, sizeof err), 0) << err;
    EXPECT_EQ(m.data.dataLen, 6);
    EXPECT_EQ(0, std::memcmp(m.data.data, "a b\0\r\n", 6));

    ASSERT_EQ(capxMsgFromText("PERIODIC_REPORT group[2].readySec=4 group[0].groupId=1", &m, err, sizeof err), 0)
        << err;
    EXPECT_EQ(m.periodicReport.groupNum, 3);       // highest index given + 1
    EXPECT_EQ(m.periodicReport.group[2].readySec, 4u);
    ASSERT_EQ(capxMsgFromText("PERIODIC_REPORT groupNum=1 group[2].readySec=4", &m, err, sizeof err), 0) << err;
    EXPECT_EQ(m.periodicReport.groupNum, 1);       // an explicit count wins

    ASSERT_EQ(capxMsgFromText("CT_ITEM_LIST_GET_RESULT info[31].title=\"t\"", &m, err, sizeof err), 0) << err;
    EXPECT_EQ(m.ctItemListGetResult.listNum, 32);
    EXPECT_STREQ(m.ctItemListGetResult.info[31].title, "t");

    ASSERT_EQ(capxMsgFromText("ASSIGN_COMPLETE cuPhoneNumber=\"1234567890123456\"", &m, err, sizeof err), 0) << err;
    EXPECT_STREQ(m.assignComplete.cuPhoneNumber, "1234567890123456");
    ASSERT_EQ(capxMsgFromText("NULL_MSG", &m, err, sizeof err), 0) << err;
    EXPECT_EQ(m.msgId, 0);
}

TEST(CapxText, Errors)
{
    struct Case {
        const char* text;
        const char* error;
    } cases[] = {
        {"", "empty text: expected a message name"},
        {"FOO x=1", "unknown message name 'FOO'"},
        {"CONTROL nope=1", "unknown field name 'nope' for CONTROL"},
        {"CONTROL control", "expected field=value at 'control'"},
        {"CONTROL control=abc", "control takes a number"},
        {"CONTROL control=\"1\"", "control takes a number"},
        {"CONTROL control=256", "control=256 is out of range (at most 255)"},
        {"CONTROL control=-1", "control takes a number"},
        {"KEEP_ALIVE svrTxStampSec=4294967296", "svrTxStampSec=4294967296 is out of range (at most 4294967295)"},
        {"BROADCAST callIdx=18446744073709551616", "callIdx takes a number"},
        {"LOGOUT userId=bob", "userId takes a quoted string"},
        {"LOGOUT userId=\"bob", "userId: missing closing quote"},
        {"LOGOUT userId=\"bob\"x", "userId: text after the closing quote"},
        {"LOGOUT userId=\"\\q\"", "userId: unknown escape \\q"},
        {"LOGOUT userId=\"\\x4\"", "userId: \\x needs two hexadecimal digits"},
        {"LOGOUT_ACK msg=\"a\\x00b\"", "msg must not contain a NUL byte"},
        {"VOIP_SETUP ipAddr=\"12345678901234567\"", "ipAddr is too long (17 bytes, at most 16)"},
        {"LOGIN version=\"12345678901234567\"", "version is too long (17 bytes, at most 16)"},
        {"PERIODIC_REPORT group[64].groupId=1", "group[64].groupId: index 64 out of range (0..63)"},
        {"PERIODIC_REPORT group[x].groupId=1", "bad entry name 'group[x].groupId'"},
        {"PERIODIC_REPORT group[1].nope=1", "unknown field name 'group[1].nope' for PERIODIC_REPORT"},
        {"PERIODIC_REPORT group=1", "unknown field name 'group' for PERIODIC_REPORT"},
        {"CONTROL msgId=5", "msgId is given by the message name"},
        {"RELEASE_COMPLETE cause=1", "unknown field name 'cause' for RELEASE_COMPLETE"},
        {"CONTROL_AGENT_ADD_ACK result=1", "CONTROL_AGENT_ADD_ACK has no fields (no layout)"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(parseError(c.text), c.error) << c.text;

    std::string longText = "LOGOUT userId=\"" + std::string(65, 'u') + "\"";
    EXPECT_EQ(parseError(longText.c_str()), "userId is too long (65 bytes, at most 64)");
    std::string hugeValue = "MESSAGE msg=\"" + std::string(2000, 'm') + "\"";
    EXPECT_EQ(parseError(hugeValue.c_str()), "msg: quoted value longer than 1024 bytes");
}

TEST(CapxText, ErrorTextIsCutToTheCallersBuffer)
{
    CapxMsg m;
    char err[8];
    std::memset(err, 'x', sizeof err);
    EXPECT_EQ(capxMsgFromText("FOO", &m, err, sizeof err), -1);
    EXPECT_EQ(std::string(err), "unknown");
    EXPECT_EQ(capxMsgFromText("FOO", &m, nullptr, 0), -1);
}

TEST(CapxText, PrinterRefusesASmallBuffer)
{
    CapxMsg m = goldenRecord(goldenNamed("LOGIN"));
    char out[20];
    EXPECT_EQ(capxMsgToText(&m, out, sizeof out), -1);
}

}  // namespace
