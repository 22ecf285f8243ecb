// G.711 mu-law, one byte per 16-bit sample.
#include "voicecodec.h"

uint8_t g711MulawEncode(int16_t sample)
{
    const int x = sample;
    const int mask = x >= 0 ? 0xFF : 0x7F;
    int v = x >= 0 ? x + 0x84 : 0x84 - x;
    if (v > 0x7FFF) v = 0x7FFF;
    // Segment: position of the highest set bit minus 7, at least 0.
    int seg = 0;
    while (seg < 7 && v >= (0x100 << seg)) ++seg;
    const int code = (seg << 4) | ((v >> (seg + 3)) & 0x0F);
    return static_cast<uint8_t>(code ^ mask);
}

int16_t g711MulawDecode(uint8_t code)
{
    const int u = ~code & 0xFF;
    const int t = (((u & 0x0F) << 3) + 0x84) << ((u & 0x70) >> 4);
    return static_cast<int16_t>((u & 0x80) ? 0x84 - t : t - 0x84);
}

void g711MulawEncodeBlock(const int16_t* samples, int count, uint8_t* out)
{
    for (int i = 0; i < count; ++i) out[i] = g711MulawEncode(samples[i]);
}

void g711MulawDecodeBlock(const uint8_t* codes, int count, int16_t* out)
{
    for (int i = 0; i < count; ++i) out[i] = g711MulawDecode(codes[i]);
}
