// G.729 on bcg729, VAD off so that every 10 ms frame is 10 bytes, and the
// 20 ms payload framing of both codecs.
#include <atomic>
#include <cstring>
#include <new>

#include "voicecodec.h"

extern "C" {
#include <bcg729/decoder.h>
#include <bcg729/encoder.h>
}

namespace {
std::atomic<int> g_live{0};
}  // namespace

int g729LiveCount() { return g_live.load(); }

struct G729Encoder {
    bcg729EncoderChannelContextStruct* ctx;
};
struct G729Decoder {
    bcg729DecoderChannelContextStruct* ctx;
};

G729Encoder* g729EncoderCreate()
{
    auto* enc = new (std::nothrow) G729Encoder{nullptr};
    if (!enc) return nullptr;
    enc->ctx = initBcg729EncoderChannel(0);
    if (!enc->ctx) {
        delete enc;
        return nullptr;
    }
    g_live.fetch_add(1);
    return enc;
}

G729Decoder* g729DecoderCreate()
{
    auto* dec = new (std::nothrow) G729Decoder{nullptr};
    if (!dec) return nullptr;
    dec->ctx = initBcg729DecoderChannel();
    if (!dec->ctx) {
        delete dec;
        return nullptr;
    }
    g_live.fetch_add(1);
    return dec;
}

bool g729EncoderDestroy(G729Encoder* enc)
{
    if (!enc) return false;
    closeBcg729EncoderChannel(enc->ctx);
    delete enc;
    g_live.fetch_sub(1);
    return true;
}

bool g729DecoderDestroy(G729Decoder* dec)
{
    if (!dec) return false;
    closeBcg729DecoderChannel(dec->ctx);
    delete dec;
    g_live.fetch_sub(1);
    return true;
}

bool g729EncodeFrame(G729Encoder* enc, const int16_t* samples, uint8_t* frame)
{
    if (!enc) return false;
    uint8_t length = 0;
    bcg729Encoder(enc->ctx, samples, frame, &length);
    // With VAD off the encoder always writes a full frame; keep the promise
    // of 10 defined bytes whatever it reports.
    if (length < VOICE_G729_FRAME_BYTES) std::memset(frame + length, 0, VOICE_G729_FRAME_BYTES - length);
    return true;
}

bool g729DecodeFrame(G729Decoder* dec, const uint8_t* frame, int16_t* samples)
{
    if (!dec) return false;
    bcg729Decoder(dec->ctx, frame, VOICE_G729_FRAME_BYTES, 0, 0, 0, samples);
    return true;
}

bool g729DecodeErasure(G729Decoder* dec, int16_t* samples)
{
    if (!dec) return false;
    static const uint8_t none[VOICE_G729_FRAME_BYTES] = {};
    bcg729Decoder(dec->ctx, none, 0, 1, 0, 0, samples);
    return true;
}

int voiceEncodePayload(int payloadType, G729Encoder* enc, const int16_t* samples, uint8_t* out)
{
    if (voiceIsPcmu(payloadType)) {
        g711MulawEncodeBlock(samples, VOICE_FRAME_SAMPLES, out);
        return VOICE_PCMU_PAYLOAD;
    }
    if (!g729EncodeFrame(enc, samples, out)) return -1;
    g729EncodeFrame(enc, samples + VOICE_G729_FRAME_SAMPLES, out + VOICE_G729_FRAME_BYTES);
    return VOICE_G729_PAYLOAD;
}

int voiceDecodePayload(int payloadType, G729Decoder* dec, const uint8_t* payload, int length,
                       int16_t* out)
{
    if (!payload || length < 0) length = 0;
    if (voiceIsPcmu(payloadType)) {
        const int n = length < VOICE_PCMU_PAYLOAD ? length : VOICE_PCMU_PAYLOAD;
        g711MulawDecodeBlock(payload, n, out);
        for (int i = n; i < VOICE_FRAME_SAMPLES; ++i) out[i] = 0;   // 0xFF decodes to 0
        return 0;
    }
    if (!dec) {
        std::memset(out, 0, VOICE_FRAME_SAMPLES * sizeof(int16_t));
        return -1;
    }
    for (int half = 0; half < 2; ++half) {
        int16_t* dst = out + half * VOICE_G729_FRAME_SAMPLES;
        if (length >= (half + 1) * VOICE_G729_FRAME_BYTES)
            g729DecodeFrame(dec, payload + half * VOICE_G729_FRAME_BYTES, dst);
        else
            g729DecodeErasure(dec, dst);
    }
    return 0;
}
