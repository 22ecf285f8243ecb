// Arbitrary bytes as they can arrive over RTP: parsed as an RTP packet and
// as compound RTCP, and the payload decoded as PCMU and as G.729 exactly as
// the voice hand-off does (20 ms out, whatever the length).
#include <cstdint>
#include <cstring>
#include <vector>

#include "svcvoice.h"
#include "voicecodec.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static G729Decoder* dec = g729DecoderCreate();
    const int n = size > 4096 ? 4096 : static_cast<int>(size);

    SvcVoicePacket pkt;
    const uint8_t* payload = data;
    int length = n;
    if (svcVoiceParseRtp(data, n, &pkt)) {
        payload = pkt.payload.data();
        length = static_cast<int>(pkt.payload.size());
    }
    std::vector<SvcVoiceSdes> sdes;
    svcVoiceParseRtcp(data, n, &sdes);

    // The receive buffer is 1024 bytes: copy the way the receive thread does.
    uint8_t rx[1024];
    const int take = length < static_cast<int>(sizeof rx) ? length : static_cast<int>(sizeof rx);
    if (take > 0) std::memcpy(rx, payload, static_cast<size_t>(take));
    int16_t out[VOICE_FRAME_SAMPLES];
    voiceDecodePayload(0, nullptr, rx, take, out);
    voiceDecodePayload(18, dec, rx, take, out);
    return 0;
}
