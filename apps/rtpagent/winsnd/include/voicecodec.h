// Speech codecs of the voice path: G.711 mu-law (PCMU) and G.729 (on bcg729),
// and the 20 ms framing shared by both directions.
#pragma once

#include <cstdint>

constexpr int VOICE_RATE = 8000;
constexpr int VOICE_FRAME_SAMPLES = 160;      // 20 ms at 8000 Hz
constexpr int VOICE_PCMU_PAYLOAD = 160;       // one byte per sample
constexpr int VOICE_G729_PAYLOAD = 20;        // two 10-byte frames
constexpr int VOICE_G729_FRAME_BYTES = 10;
constexpr int VOICE_G729_FRAME_SAMPLES = 80;
constexpr uint32_t VOICE_TS_STEP = 160;
constexpr uint8_t VOICE_MULAW_SILENCE = 0xFF;

// ---- G.711 mu-law ------------------------------------------------------------
uint8_t g711MulawEncode(int16_t sample);
int16_t g711MulawDecode(uint8_t code);
void g711MulawEncodeBlock(const int16_t* samples, int count, uint8_t* out);
void g711MulawDecodeBlock(const uint8_t* codes, int count, int16_t* out);

// ---- G.729 ---------------------------------------------------------------------
struct G729Encoder;
struct G729Decoder;

G729Encoder* g729EncoderCreate();            // nullptr when memory is short
G729Decoder* g729DecoderCreate();
bool g729EncoderDestroy(G729Encoder* enc);   // false for none
bool g729DecoderDestroy(G729Decoder* dec);
// Encoders and decoders created and not yet destroyed (leak checks).
int g729LiveCount();
// 80 samples -> one 10-byte frame; false when there is no encoder.
bool g729EncodeFrame(G729Encoder* enc, const int16_t* samples, uint8_t* frame);
// One 10-byte frame -> 80 samples; false when there is no decoder.
bool g729DecodeFrame(G729Decoder* dec, const uint8_t* frame, int16_t* samples);
// A frame that never arrived: the decoder conceals it from its own state.
bool g729DecodeErasure(G729Decoder* dec, int16_t* samples);

// ---- 20 ms payloads ------------------------------------------------------------
// Payload type 0 is PCMU; any other value is G.729.
inline bool voiceIsPcmu(int payloadType) { return payloadType == 0; }
inline int voicePayloadBytes(int payloadType)
{
    return voiceIsPcmu(payloadType) ? VOICE_PCMU_PAYLOAD : VOICE_G729_PAYLOAD;
}

// Encodes 160 samples into one payload; returns its length (160 or 20), or -1
// when G.729 is asked for without an encoder.
int voiceEncodePayload(int payloadType, G729Encoder* enc, const int16_t* samples, uint8_t* out);

// Decodes one received payload into exactly 160 samples. A payload shorter
// than a frame is completed with silence: missing mu-law bytes play as 0xFF,
// a missing or partial G.729 half is decoded as an erased frame. Bytes past
// one frame are ignored. Returns 0, or -1 when G.729 is asked for without a
// decoder (the output is then silence).
int voiceDecodePayload(int payloadType, G729Decoder* dec, const uint8_t* payload, int length,
                       int16_t* out);
