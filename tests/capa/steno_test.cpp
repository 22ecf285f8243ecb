// Stenography text conversion and the caption text entry, with the window's
// routines replaced by recording fakes. No runtime needed.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "capa.h"
#include "capatest.h"
#include "capclogincrypt.h"
#include "concontext.h"

using namespace capatest;

namespace {

std::string filter(int type, const std::vector<uint8_t>& in, int32_t* flag = nullptr)
{
    uint8_t out[CON_STENO_OUT_SIZE];
    int32_t local = 0;
    const int n = capcStenoFilter(type, in.data(), static_cast<int>(in.size()), out, sizeof out,
                                  flag != nullptr ? flag : &local);
    return std::string(reinterpret_cast<char*>(out), static_cast<size_t>(n));
}

struct FilterCase {
    const char* name;
    int type;
    std::vector<uint8_t> in;
    std::string out;
};

class StenoText : public ::testing::Test {
protected:
    void SetUp() override
    {
        conContextReset();
        g_rec.clear();
        g_rec.sendResult = 5;
        publishFakeWindow();
    }
    void TearDown() override { conSetWindowHooks(nullptr); }
};

}  // namespace

TEST(StenoFilter, Vectors)
{
    const std::vector<FilterCase> cases = {
        {"caseview tab code gives six blanks", 2, {0x41, 0x1A, 0, 0, 0, 0, 0, 0x42}, "A      B"},
        {"caseview 0x0E eats 14 bytes", 2, {0x0E, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13}, ""},
        {"caseview 0x0E then text", 2, {0x0E, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 'x'}, "x"},
        {"caseview 0x0B and 0x0C eat 5", 2, {0x0B, 1, 2, 3, 4, 'a', 0x0C, 1, 2, 3, 4, 'b'}, "ab"},
        {"caseview 0x0F eats 9", 2, {0x0F, 1, 2, 3, 4, 5, 6, 7, 8, 'z'}, "z"},
        {"caseview 0xF9 five blanks", 2, {'a', 0xF9, 1, 2, 3, 4, 'b'}, "a     b"},
        {"caseview FA FB FC one blank each", 2, {'a', 0xFA, 'b', 0xFB, 'c', 0xFC}, "a b c "},
        {"caseview skip past the end ends the walk", 2, {'q', 0x0F, 1, 2}, "q"},
        {"bridge backspace command", 5, {0x61, 0x62, 0x02, 0x44, 0x03, 0x63}, "ab\bc"},
        {"bridge F and N skip one", 5, {0x02, 'F', 'x', 'N', 'y', 0x03, 'k'}, "k"},
        {"bridge P skips two, T four", 5, {0x02, 'P', 1, 2, 'T', 1, 2, 3, 4, 'D', 0x03}, "\b"},
        {"bridge other command bytes dropped", 5, {0x02, 'Q', 'R', 0x03, 'o', 'k'}, "ok"},
        {"plain types pass bytes", 0, {'h', 'i', 0x0D, 0x0A}, "hi\r\n"},
        {"procat passes bytes", 1, {0x02, 0x1A}, std::string("\x02\x1A", 2)},
        {"out-of-range type passes bytes", 9, {'a', 'b'}, "ab"},
    };
    for (const auto& c : cases) EXPECT_EQ(filter(c.type, c.in), c.out) << c.name;
}

TEST(StenoFilter, BridgeFlagCarriesAcrossChunks)
{
    int32_t flag = 0;
    EXPECT_EQ(filter(5, {'a', 0x02, 'D'}, &flag), "a\b");
    EXPECT_EQ(flag, 1);
    EXPECT_EQ(filter(5, {'D', 'x', 0x03, 'b'}, &flag), "\bb");
    EXPECT_EQ(flag, 0);
}

TEST(StenoFilter, CaseViewSkipDoesNotCarry)
{
    EXPECT_EQ(filter(2, {0x0E, 1, 2}), "");
    EXPECT_EQ(filter(2, {'n', 'e', 'x', 't'}), "next");
}

TEST(StenoFilter, OutputBounded)
{
    std::vector<uint8_t> in(100, 0x1A);  // would expand if a skip did not consume
    uint8_t out[10];
    int32_t flag = 0;
    const int n = capcStenoFilter(2, in.data(), static_cast<int>(in.size()), out, sizeof out, &flag);
    EXPECT_LE(n, 10);
}

TEST_F(StenoText, ConvertSetsLightsReportsRawAndSends)
{
    conContext().captionerType = 2;
    const uint8_t raw[] = {0x41, 0x1A, 0, 0, 0, 0, 0, 0x42};
    capcStenoConvert(raw, sizeof raw);
    EXPECT_EQ(g_rec.lights, (std::vector<int>{0, 1, 2, 3}));
    ASSERT_EQ(g_rec.reported.size(), 1u);
    EXPECT_EQ(g_rec.reported[0], std::string(reinterpret_cast<const char*>(raw), sizeof raw));
    ASSERT_EQ(g_rec.sentCaptions.size(), 1u);
    EXPECT_EQ(g_rec.sentCaptions[0], "A      B");
    EXPECT_EQ(conContext().stenoPieces.load(), 1);
    EXPECT_EQ(conContext().rxFromSteno.load(), 8);
}

TEST_F(StenoText, NothingToWindowBeforePublication)
{
    conUnpublish();
    capcStenoConvert(reinterpret_cast<const uint8_t*>("abc"), 3);
    // Lights 0/1/2 and the raw copy wait for the window; the text still goes to
    // the transmit routine (whose own checks decide).
    EXPECT_EQ(g_rec.reported.size(), 0u);
    EXPECT_EQ(g_rec.lights, (std::vector<int>{3}));
}

TEST_F(StenoText, EmptyConversionSendsNothing)
{
    conContext().captionerType = 2;
    const uint8_t raw[] = {0x0E, 1, 2, 3};
    capcStenoConvert(raw, sizeof raw);
    EXPECT_TRUE(g_rec.sentCaptions.empty());
    EXPECT_EQ(conContext().stenoPieces.load(), 0);
}

TEST_F(StenoText, FirstPieceOfBackspacesDropped)
{
    capcCaptionText("\b\b\b", 3);
    EXPECT_TRUE(g_rec.sentCaptions.empty());
    EXPECT_EQ(conContext().textStarted.load(), 0);
    EXPECT_EQ(conContext().stenoPieces.load(), 1);
    capcCaptionText("\bhi", 3);
    ASSERT_EQ(g_rec.sentCaptions.size(), 1u);
    EXPECT_EQ(g_rec.sentCaptions[0], "\bhi");
    EXPECT_EQ(conContext().textStarted.load(), 1);
    capcCaptionText("\b\b", 2);  // once started, backspaces pass
    EXPECT_EQ(g_rec.sentCaptions.size(), 2u);
}

TEST_F(StenoText, PieceOf299KeptAnd300Discarded)
{
    const std::string p299(299, 'x'), p300(300, 'y');
    capcCaptionText(p299.c_str(), 299);
    ASSERT_EQ(g_rec.sentCaptions.size(), 1u);
    EXPECT_EQ(g_rec.sentCaptions[0], p299);
    capcCaptionText(p300.c_str(), 300);
    EXPECT_EQ(g_rec.sentCaptions.size(), 1u);
    EXPECT_EQ(conContext().discardFromSteno.load(), 1);
    EXPECT_EQ(conContext().stenoPieces.load(), 2);
    EXPECT_EQ(conContext().rxFromSteno.load(), 599);
}

TEST_F(StenoText, ScreenAppendRule)
{
    struct Case {
        int sendResult;
        int joined;
        bool shown;
    };
    for (const Case c : {Case{5, 1, true}, Case{0, 0, true}, Case{0, 1, false}}) {
        g_rec.clear();
        g_rec.sendResult = c.sendResult;
        conContext().joined = c.joined;
        capcCaptionText("word ", 5);
        EXPECT_EQ(g_rec.screen.size(), c.shown ? 1u : 0u) << c.sendResult << "/" << c.joined;
    }
}

TEST(LoginCrypt, ScrambleRoundTripAndNoZeroForPrintable)
{
    for (uint8_t key : {CAPC_LOGIN_KEY_USER_ID, CAPC_LOGIN_KEY_PASSWORD, CAPC_LOGIN_KEY_PHONE}) {
        EXPECT_GE(key, 95);
        EXPECT_LE(key, 161);
        for (int first = 32; first < 127; ++first) {
            for (int c = 32; c < 127; ++c) {
                const char in[2] = {static_cast<char>(first), static_cast<char>(c)};
                char out[2], back[2];
                ASSERT_EQ(capcLoginScramble(in, 2, key, out, 2), 2);
                ASSERT_NE(out[1], 0) << first << " " << c;
                ASSERT_EQ(capcLoginUnscramble(out, 2, key, back, 2), 2);
                ASSERT_EQ(back[1], in[1]);
            }
        }
    }
    char one[1];
    EXPECT_EQ(capcLoginScramble("p", 1, CAPC_LOGIN_KEY_PASSWORD, one, 1), 1);
    EXPECT_EQ(one[0], 'p');  // a one-character text stays as typed
}
