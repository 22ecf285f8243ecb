// Stenography text: conversion of the CAT program's output by captioner type
// and the caption text entry (counters, first-text rule, length limit).
#include <cstring>

#include "capa.h"
#include "concontext.h"

namespace {

// CaseView: bytes consumed by each control byte (0 = a plain byte).
int caseViewSkip(uint8_t b)
{
    switch (b) {
    case 0x0B:
    case 0x0C: return 5;
    case 0x0E: return 14;
    case 0x0F: return 9;
    default: return 0;
    }
}

int caseViewFilter(const uint8_t* in, int n, uint8_t* out, int outCap)
{
    int o = 0;
    int i = 0;
    auto put = [&](uint8_t b, int count) {
        for (int k = 0; k < count && o < outCap; ++k) out[o++] = b;
    };
    while (i < n) {
        const uint8_t b = in[i];
        if (int skip = caseViewSkip(b); skip > 0) {
            i += skip;  // a skip past the end ends the walk
            continue;
        }
        switch (b) {
        case 0x1A: put(' ', 6); i += 6; break;
        case 0xF9: put(' ', 5); i += 5; break;
        case 0xFA:
        case 0xFB:
        case 0xFC: put(' ', 1); i += 1; break;
        default: put(b, 1); i += 1; break;
        }
    }
    return o;
}

int bridgeFilter(const uint8_t* in, int n, uint8_t* out, int outCap, int32_t* flag)
{
    int o = 0;
    int i = 0;
    while (i < n) {
        const uint8_t b = in[i++];
        if (b == 0x02) {
            *flag = 1;
        } else if (b == 0x03) {
            *flag = 0;
        } else if (*flag == 0) {
            if (o < outCap) out[o++] = b;
        } else {
            switch (b) {
            case 'D':
                if (o < outCap) out[o++] = 0x08;
                break;
            case 'F':
            case 'N': i += 1; break;
            case 'P': i += 2; break;
            case 'T': i += 4; break;
            default: break;  // other command bytes are dropped
            }
        }
    }
    return o;
}

}  // namespace

int capcStenoFilter(int captionerType, const uint8_t* in, int n, uint8_t* out, int outCap,
                    int32_t* bridgeFlag)
{
    if (in == nullptr || out == nullptr || n <= 0 || outCap <= 0) return 0;
    if (captionerType == CAPC_CAPTIONER_CASECAT) return caseViewFilter(in, n, out, outCap);
    if (captionerType == CAPC_CAPTIONER_STENOCAT) {
        int32_t local = 0;
        return bridgeFilter(in, n, out, outCap, bridgeFlag != nullptr ? bridgeFlag : &local);
    }
    const int len = n < outCap ? n : outCap;
    std::memcpy(out, in, static_cast<size_t>(len));
    return len;
}

void capcStenoConvert(const uint8_t* bytes, int n)
{
    ConsoleContext& c = conContext();
    if (bytes == nullptr || n < 0) n = 0;
    if (conIsPublished()) {
        conSetCaptionLights(0);
        conSetCaptionLights(1);
        if (n > 0) conReportCaptionBytes(bytes, n);
    }
    const int type = c.captionerType;
    StenoWorkArea& w = c.stenoWorkArea;
    if (type == CAPC_CAPTIONER_CASECAT || type == CAPC_CAPTIONER_STENOCAT) {
        w.length = capcStenoFilter(type, bytes, n, w.out, CON_STENO_OUT_SIZE, &w.bridgeCommand);
        if (w.length > 0) capcCaptionText(reinterpret_cast<const char*>(w.out), w.length);
        return;
    }
    // Any other type: the input is the text, unchanged.
    if (n > 0) capcCaptionText(reinterpret_cast<const char*>(bytes), n);
}

void capcCaptionText(const char* text, int length)
{
    ConsoleContext& c = conContext();
    c.stenoPieces += 1;
    if (length > 0) c.rxFromSteno += length;
    if (conIsPublished()) conSetCaptionLights(2);
    if (text == nullptr || length <= 0) return;

    if (c.textStarted == 0) {
        bool onlyBackspaces = true;
        for (int i = 0; i < length; ++i) {
            if (text[i] != 0x08) {
                onlyBackspaces = false;
                break;
            }
        }
        if (onlyBackspaces) return;
        c.textStarted = 1;
    }
    if (length > CAPC_CAPTION_PIECE_MAX) {
        c.discardFromSteno += 1;
        return;
    }
    char piece[CAPC_CAPTION_PIECE_MAX + 1];
    std::memcpy(piece, text, static_cast<size_t>(length));
    piece[length] = '\0';
    conSetCaptionLights(3);
    const int sent = conSendCaptionText(length, piece);
    if (sent > 0 || c.joined == 0) conAppendCaptionScreen(piece, length);
}
