// G.711 mu-law by its rules over the whole 16-bit range, and G.729 on bcg729.
#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <vector>

#include "voicecodec.h"

namespace {

// The encoding rules written out independently: sign mask, biased magnitude
// capped at 0x7FFF, segment from the highest set bit, four mantissa bits.
uint8_t referenceEncode(int x)
{
    const int mask = x < 0 ? 0x7F : 0xFF;
    long v = x < 0 ? 0x84L - x : x + 0x84L;
    if (v > 0x7FFF) v = 0x7FFF;
    int top = 15;
    while (top > 0 && !(v & (1L << top))) --top;
    int seg = top - 7;
    if (seg < 0) seg = 0;
    return static_cast<uint8_t>(((seg << 4) | ((v >> (seg + 3)) & 0x0F)) ^ mask);
}

std::vector<int16_t> tone(double hz, int n, double amp, int offset = 0)
{
    std::vector<int16_t> s(n);
    for (int i = 0; i < n; ++i)
        s[i] = static_cast<int16_t>(std::lround(amp * std::sin(2 * M_PI * hz * (i + offset) / 8000.0)));
    return s;
}

double power(const std::vector<int16_t>& s, size_t from, size_t n, double hz)
{
    std::complex<double> acc = 0;
    for (size_t i = 0; i < n; ++i)
        acc += double(s[from + i]) * std::polar(1.0, -2 * M_PI * hz * double(i) / 8000.0);
    return std::norm(acc);
}

}  // namespace

TEST(Mulaw, KnownVectors)
{
    struct { int16_t in; uint8_t out; } enc[] = {{0, 0xFF}, {-1, 0x7F}, {32767, 0x80}, {-32768, 0x00}};
    for (auto c : enc) EXPECT_EQ(g711MulawEncode(c.in), c.out) << c.in;
    struct { uint8_t in; int16_t out; } dec[] = {{0xFF, 0}, {0x7F, 0}, {0x00, -32124}, {0x80, 32124}};
    for (auto c : dec) EXPECT_EQ(g711MulawDecode(c.in), c.out) << int(c.in);
}

TEST(Mulaw, WholeRangeFollowsTheRules)
{
    for (int x = -32768; x <= 32767; ++x)
        ASSERT_EQ(g711MulawEncode(static_cast<int16_t>(x)), referenceEncode(x)) << x;
}

TEST(Mulaw, DecodeIsTheInverseWithinTheSegmentStep)
{
    // Every code decodes to a value that encodes back to itself (except the
    // two zero codes, which share 0), and re-encoding a decoded sample is
    // stable; the round-trip error of any sample stays within half a step.
    for (int b = 0; b < 256; ++b) {
        const int16_t s = g711MulawDecode(static_cast<uint8_t>(b));
        if (b != 0x7F) {
            EXPECT_EQ(g711MulawEncode(s), b) << b;
        }
    }
    for (int x = -32768; x <= 32767; x += 7) {
        const int back = g711MulawDecode(g711MulawEncode(static_cast<int16_t>(x)));
        const int seg = (g711MulawEncode(static_cast<int16_t>(x)) ^ 0xFF) >> 4 & 7;
        const int step = 8 << seg;
        if (std::abs(x) < 32124) {
            EXPECT_LE(std::abs(back - x), step) << x;
        }
    }
}

TEST(VoicePayload, PcmuShortPayloadIsCompletedWithSilence)
{
    uint8_t payload[160];
    for (int i = 0; i < 160; ++i) payload[i] = static_cast<uint8_t>(0x10 + (i % 64));
    int16_t full[160];
    ASSERT_EQ(voiceDecodePayload(0, nullptr, payload, 160, full), 0);
    int16_t part[160];
    for (auto& s : part) s = 12345;
    ASSERT_EQ(voiceDecodePayload(0, nullptr, payload, 80, part), 0);
    for (int i = 0; i < 80; ++i) EXPECT_EQ(part[i], full[i]);
    for (int i = 80; i < 160; ++i) EXPECT_EQ(part[i], 0) << i;
    // Longer than a frame: one frame only.
    uint8_t big[400];
    for (int i = 0; i < 400; ++i) big[i] = payload[i % 160];
    ASSERT_EQ(voiceDecodePayload(0, nullptr, big, 400, part), 0);
    for (int i = 0; i < 160; ++i) EXPECT_EQ(part[i], full[i]);
}

TEST(VoicePayload, EncodeFramingPerCodec)
{
    auto in = tone(1000, 160, 8000);
    uint8_t out[160];
    EXPECT_EQ(voiceEncodePayload(0, nullptr, in.data(), out), 160);
    EXPECT_EQ(out[0], g711MulawEncode(in[0]));
    EXPECT_EQ(voiceEncodePayload(18, nullptr, in.data(), out), -1);
    G729Encoder* enc = g729EncoderCreate();
    ASSERT_NE(enc, nullptr);
    EXPECT_EQ(voiceEncodePayload(18, enc, in.data(), out), 20);
    EXPECT_EQ(voiceEncodePayload(8, enc, in.data(), out), 20);
    EXPECT_TRUE(g729EncoderDestroy(enc));
}

TEST(G729, OperationsRefuseMissingObjects)
{
    int16_t s[80] = {};
    uint8_t f[10] = {};
    EXPECT_FALSE(g729EncodeFrame(nullptr, s, f));
    EXPECT_FALSE(g729DecodeFrame(nullptr, f, s));
    EXPECT_FALSE(g729EncoderDestroy(nullptr));
    EXPECT_FALSE(g729DecoderDestroy(nullptr));
    int16_t out[160];
    EXPECT_EQ(voiceDecodePayload(18, nullptr, f, 10, out), -1);
}

TEST(G729, ToneRoundTripIsRecognisable)
{
    G729Encoder* enc = g729EncoderCreate();
    G729Decoder* dec = g729DecoderCreate();
    ASSERT_TRUE(enc && dec);
    const int n = 8000;                       // one second
    auto in = tone(1000, n, 8000);
    std::vector<int16_t> out(n);
    for (int i = 0; i < n; i += 160) {
        uint8_t payload[20];
        ASSERT_EQ(voiceEncodePayload(18, enc, &in[i], payload), 20);
        ASSERT_EQ(voiceDecodePayload(18, dec, payload, 20, &out[i]), 0);
    }
    // Skip the codec's start-up; the 1 kHz line dominates its neighbours.
    const size_t from = 1600, len = 4000;
    const double p1k = power(out, from, len, 1000);
    for (double hz : {300.0, 500.0, 1500.0, 2000.0, 3000.0}) EXPECT_GT(p1k, 100 * power(out, from, len, hz)) << hz;
    // Correlation with the input at the best lag of up to 2 ms.
    double best = 0;
    for (int lag = 0; lag <= 16; ++lag) {
        double xy = 0, xx = 0, yy = 0;
        for (size_t i = from; i < from + len; ++i) {
            xy += double(in[i - lag]) * out[i];
            xx += double(in[i - lag]) * in[i - lag];
            yy += double(out[i]) * out[i];
        }
        best = std::max(best, xy / std::sqrt(xx * yy));
    }
    EXPECT_GT(best, 0.9);
    EXPECT_TRUE(g729EncoderDestroy(enc));
    EXPECT_TRUE(g729DecoderDestroy(dec));
}

TEST(G729, ShortPayloadDecodesMissingHalfAsErasure)
{
    G729Encoder* enc = g729EncoderCreate();
    G729Decoder* a = g729DecoderCreate();
    G729Decoder* b = g729DecoderCreate();
    auto in = tone(1000, 3200, 8000);
    uint8_t payload[20];
    int16_t outA[160], outB[160], erased[80];
    for (int i = 0; i < 3200 - 160; i += 160) {
        voiceEncodePayload(18, enc, &in[i], payload);
        voiceDecodePayload(18, a, payload, 20, outA);
        voiceDecodePayload(18, b, payload, 20, outB);
    }
    voiceEncodePayload(18, enc, &in[3200 - 160], payload);
    // Ten bytes: the first half decodes normally, the second is concealed,
    // exactly as an explicit erasure after the same first frame.
    ASSERT_EQ(voiceDecodePayload(18, a, payload, 10, outA), 0);
    g729DecodeFrame(b, payload, outB);
    g729DecodeErasure(b, erased);
    for (int i = 0; i < 80; ++i) EXPECT_EQ(outA[i], outB[i]);
    for (int i = 0; i < 80; ++i) EXPECT_EQ(outA[80 + i], erased[i]);
    // A concealed frame continues the tone rather than going silent or wild.
    double e = 0;
    for (int i = 0; i < 80; ++i) e += double(erased[i]) * erased[i];
    EXPECT_GT(e / 80, 1000.0);
    g729EncoderDestroy(enc);
    g729DecoderDestroy(a);
    g729DecoderDestroy(b);
}
