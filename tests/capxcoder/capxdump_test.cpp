// capxdump as people and scripts use it: decoding hexadecimal lines and raw
// streams, removing a link key, encoding the text form, and bad input.
#include "capxmsgcoder.h"
#include "golden_frames.h"

#include <gtest/gtest.h>

#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <unistd.h>

namespace {

struct RunResult {
    int status;
    std::string out;
    std::string err;
};

class CapxDump : public testing::Test {
protected:
    void SetUp() override
    {
        char tmpl[] = "/tmp/capxdumpXXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
    }
    void TearDown() override
    {
        for (const char* f : {"in", "out", "err"})
            std::remove((dir_ + "/" + f).c_str());
        rmdir(dir_.c_str());
    }

    static std::string slurp(const std::string& path)
    {
        std::ifstream in(path, std::ios::binary);
        std::stringstream ss;
        ss << in.rdbuf();
        return ss.str();
    }

    void writeInput(const std::string& data)
    {
        std::ofstream(dir_ + "/in", std::ios::binary) << data;
    }

    // Runs capxdump with args (already shell-quoted) and the input file.
    RunResult run(const std::string& args, const std::string& input)
    {
        writeInput(input);
        std::string cmd = std::string(CAPXDUMP_PATH) + " " + args + " < " + dir_ + "/in > " + dir_ + "/out 2> " +
                          dir_ + "/err";
        int rc = std::system(cmd.c_str());
        return RunResult{WIFEXITED(rc) ? WEXITSTATUS(rc) : -1, slurp(dir_ + "/out"), slurp(dir_ + "/err")};
    }

    static std::string hexLine(const std::vector<uint8_t>& b)
    {
        std::string s;
        char h[4];
        for (size_t i = 0; i < b.size(); ++i) {
            std::snprintf(h, sizeof h, i ? " %02X" : "%02X", b[i]);
            s += h;
        }
        return s;
    }

    static std::string textOf(const GoldenFrame& g)
    {
        CapxMsg m = goldenRecord(g);
        static char buf[CAPX_TEXT_MAX];
        return capxMsgToText(&m, buf, sizeof buf) >= 0 ? buf : "";
    }

    std::string dir_;
};

TEST_F(CapxDump, EncodesEveryGoldenMessageFromItsTextForm)
{
    std::string input, want;
    for (const GoldenFrame& g : goldenFrames()) {
        input += textOf(g) + "\n";
        want += hexLine(hexBytes(g.hex)) + "\n";
    }
    RunResult r = run("--encode", "# one message per line\n\n" + input);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out, want);
}

TEST_F(CapxDump, EncodesFromTheCommandLine)
{
    RunResult r = run("--encode CONTROL control=11 result=0", "");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "00 03 05 0B 00\n");
    r = run("--encode DATA 'data=\"abc\"'", "");
    EXPECT_EQ(r.out, "00 06 06 06 09 67 62 63\n");
    r = run("--encode --key 16 DATA 'data=\"abc\"'", "");
    EXPECT_EQ(r.out, "00 06 06 F6 F9 57 52 53\n");
}

TEST_F(CapxDump, DecodesEveryGoldenFrameInOrder)
{
    std::string input;
    for (const GoldenFrame& g : goldenFrames())
        input += std::string(g.hex) + "\n";
    // '|' is not hexadecimal: blank out the field separators of the table.
    for (char& c : input)
        if (c == '|')
            c = ' ';
    RunResult r = run("", input);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    int tag = 0;
    size_t at = 0;
    for (const GoldenFrame& g : goldenFrames()) {
        ++tag;
        CapxMsg m = goldenRecord(g);
        if (m.msgId == CAPX_KEEP_ALIVE || m.msgId == CAPX_KEEP_ALIVE_ACK) {
            char line[64];
            std::snprintf(line, sizeof line, "%5d (not traced) %s ", tag, g.name);
            at = r.out.find(line, at);
        } else {
            char line[80];
            std::snprintf(line, sizeof line, "%5d Rx %20s(%2d)\n", tag, g.name, m.msgId);
            at = r.out.find(line, at);
        }
        ASSERT_NE(at, std::string::npos) << g.name;
    }
    EXPECT_NE(r.out.find(" [userId] L(0x6, 6)\n 61 67 65 6E 74 37"), std::string::npos);
}

TEST_F(CapxDump, RawStreamWithALinkKey)
{
    // CONTROL, LOGIN_ACK (never keyed) and DATA, as the service sends them with key 0x21.
    std::string stream;
    for (const char* name : {"CONTROL", "LOGIN_ACK", "DATA"}) {
        std::vector<uint8_t> f = hexBytes(goldenNamed(name).hex);
        capxLinkKeySvrTx(f.data(), int(f.size()), 0x21);
        stream.append(f.begin(), f.end());
    }
    RunResult r = run("--raw --text --key 0x21", stream);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, textOf(goldenNamed("CONTROL")) + "\n" + textOf(goldenNamed("LOGIN_ACK")) + "\n" +
                         textOf(goldenNamed("DATA")) + "\n");
}

TEST_F(CapxDump, LevelOneAndAFileArgument)
{
    writeInput("00 03 05 0B 00\n");
    std::string cmd = std::string(CAPXDUMP_PATH) + " --level 1 " + dir_ + "/in > " + dir_ + "/out 2> " + dir_ +
                      "/err";
    int rc = std::system(cmd.c_str());
    EXPECT_EQ(WEXITSTATUS(rc), 0);
    std::string out = slurp(dir_ + "/out");
    const std::string summary = "    1 Rx              CONTROL( 5)\n";
    ASSERT_EQ(out.size(), 23u + summary.size()) << out;   // " [yyyy/mm/dd hh:mm:ss] " + summary
    EXPECT_EQ(out.substr(0, 2), " [");
    EXPECT_EQ(out.substr(23), summary);
}

TEST_F(CapxDump, BadInputGetsOneLineEachAndTheRestIsStillDecoded)
{
    RunResult r = run("--text",
                "00 03 05 0B 00\n"
                "00 03 05 0B 0\n"            // odd digits
                "00 10 05 01\n"              // truncated
                "00 03 05 zz 00\n"           // not hexadecimal
                "00 00\n"                    // too short
                "00 03 05 01 00 FF\n"        // one byte too many: still decoded
                "00 02 07 03\n");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "CONTROL control=11 result=0\nCONTROL control=1 result=0\nRELEASE cause=3\n");
    EXPECT_EQ(r.err,
              "capxdump: line 2: odd number of hexadecimal digits\n"
              "capxdump: line 3: truncated frame: length 16, only 2 bytes present\n"
              "capxdump: line 4: not a hexadecimal digit: 'z'\n"
              "capxdump: line 5: truncated frame: 2 bytes, a frame has at least 3\n"
              "capxdump: line 6: 1 byte after the frame of length 3 ignored\n");

    r = run("--raw --text", std::string("\x00\x02\x07\x03\x00\x09\x01", 7));
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "RELEASE cause=3\n");
    EXPECT_EQ(r.err, "capxdump: offset 4: truncated frame: length 9, only 1 byte present\n");

    r = run("--encode", "CONTROL control=1\nCONTROL bogus=2\nCONTROL_AGENT_ADD_ACK\nRELEASE cause=9\n");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "00 03 05 01 00\n00 02 07 09\n");
    EXPECT_NE(r.err.find("capxdump: line 2: unknown field name 'bogus' for CONTROL\n"), std::string::npos);
    EXPECT_NE(r.err.find("capxdump: line 3: CONTROL_AGENT_ADD_ACK has no layout and cannot be encoded\n"),
              std::string::npos);
}

TEST_F(CapxDump, UsageErrors)
{
    EXPECT_EQ(run("--key 300", "").status, 2);
    EXPECT_EQ(run("--level 3", "").status, 2);
    EXPECT_EQ(run("--bogus", "").status, 2);
    EXPECT_EQ(run("/nonexistent/file", "").status, 1);
    RunResult r = run("--help", "");
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.out.find("usage: capxdump"), std::string::npos);
}

}  // namespace
