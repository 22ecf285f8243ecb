// Checks of what the client played against what the far end sent: exact
// 20 ms frames in order, and for G.729 the packets the receive side's
// jitter buffer dropped.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "audiofixture.h"
#include "voicecodec.h"

namespace playedvoice {

// Counts the 20 ms frames of expected found in played, in order; firstAt
// gets where the first one starts, lastFrame the index of the last found.
inline int framesInOrder(const std::vector<int16_t>& played, const std::vector<int16_t>& expected,
                         long* firstAt = nullptr, int* lastFrame = nullptr)
{
    int found = 0;
    size_t from = 0;
    for (size_t f = 0; f + 160 <= expected.size(); f += 160) {
        std::vector<int16_t> frame(expected.begin() + static_cast<long>(f),
                                   expected.begin() + static_cast<long>(f) + 160);
        std::vector<int16_t> rest(played.begin() + static_cast<long>(from), played.end());
        const long at = findSamples(rest, frame, 0);
        if (at < 0) {
            if (std::getenv("VOICE_TEST_VERBOSE")) std::fprintf(stderr, "frame %zu not found\n", f / 160);
            continue;
        }
        if (found == 0 && firstAt) *firstAt = static_cast<long>(from) + at;
        if (lastFrame) *lastFrame = static_cast<int>(f / 160);
        from += static_cast<size_t>(at) + 160;
        ++found;
    }
    return found;
}

// What PCMU makes of audio: each sample through mu-law and back.
inline std::vector<int16_t> pcmuRoundTrip(const std::vector<int16_t>& in)
{
    std::vector<int16_t> out(in.size());
    for (size_t i = 0; i < in.size(); ++i) out[i] = g711MulawDecode(g711MulawEncode(in[i]));
    return out;
}

// A G.729 stream of in, as a receiver decodes it when the packets at the
// indexes in skipped never reach its decoder.
inline std::vector<int16_t> g729Decoded(const std::vector<int16_t>& in, const std::vector<size_t>& skipped)
{
    G729Encoder* enc = g729EncoderCreate();
    G729Decoder* dec = g729DecoderCreate();
    std::vector<int16_t> out;
    for (size_t i = 0; i + 160 <= in.size(); i += 160) {
        uint8_t p[VOICE_G729_PAYLOAD];
        voiceEncodePayload(18, enc, &in[i], p);
        if (std::find(skipped.begin(), skipped.end(), i / 160) != skipped.end()) continue;
        int16_t f[160];
        voiceDecodePayload(18, dec, p, VOICE_G729_PAYLOAD, f);
        out.insert(out.end(), f, f + 160);
    }
    g729EncoderDestroy(enc);
    g729DecoderDestroy(dec);
    return out;
}

// Index of the packet that frame r of g729Decoded(in, skipped) came from.
inline size_t packetOfFrame(size_t r, const std::vector<size_t>& skipped)
{
    for (size_t k = 0;; ++k) {
        if (std::find(skipped.begin(), skipped.end(), k) != skipped.end()) continue;
        if (r == 0) return k;
        --r;
    }
}

// Frames of a G.729 stream of sent that played holds bit-exact and in
// order. The receive side's adaptive jitter buffer drops a packet when it
// shrinks after a late one (seen on a loaded machine), and the decoder's
// output differs from there on. Where the played audio stops matching for
// good, the reference is decoded again without the next packet, as the
// client decoded it; skipped gets the packets found dropped.
inline int g729FramesPlayed(const std::vector<int16_t>& played, const std::vector<int16_t>& sent,
                            std::vector<size_t>* skipped)
{
    std::vector<size_t> drops;
    int last = -1;
    int found = framesInOrder(played, g729Decoded(sent, drops), nullptr, &last);
    const int frames = static_cast<int>(sent.size() / 160);
    while (drops.size() < 5 && last + 3 < frames - static_cast<int>(drops.size())) {
        auto trial = drops;
        trial.push_back(packetOfFrame(static_cast<size_t>(last + 1), drops));
        int trialLast = -1;
        const int trialFound = framesInOrder(played, g729Decoded(sent, trial), nullptr, &trialLast);
        if (trialFound <= found) break;
        drops = trial;
        found = trialFound;
        last = trialLast;
    }
    if (skipped) *skipped = drops;
    return found;
}

}  // namespace playedvoice
