// Shared helpers of the coder's source files: log output and record access.
#pragma once

#include "capxlayout.h"
#include "capxmsgcoder.h"

#include <cstdint>
#include <cstring>

namespace capx {

// Module tag of the coder's own log lines.
constexpr const char* kModule = "CAPX";

// Hands one piece of text (whole lines) to the sink, or to posLogPrint.
void emit(const CapxLogSink* sink, const char* text);
// printf-style into the sink; text longer than 1023 characters is cut.
void logf(const CapxLogSink* sink, const char* format, ...) __attribute__((format(printf, 2, 3)));
// "CAPX] Wrong MsgID(%d.%02X)\n"
void logWrongId(const CapxLogSink* sink, int id);

inline uint64_t loadInt(const uint8_t* p, int size)
{
    switch (size) {
    case 1: return p[0];
    case 2: { uint16_t v; std::memcpy(&v, p, 2); return v; }
    case 4: { uint32_t v; std::memcpy(&v, p, 4); return v; }
    default: { uint64_t v; std::memcpy(&v, p, 8); return v; }
    }
}

inline void storeInt(uint8_t* p, int size, uint64_t v)
{
    switch (size) {
    case 1: p[0] = uint8_t(v); break;
    case 2: { uint16_t x = uint16_t(v); std::memcpy(p, &x, 2); break; }
    case 4: { uint32_t x = uint32_t(v); std::memcpy(p, &x, 4); break; }
    default: std::memcpy(p, &v, 8); break;
    }
}

inline int boundedLen(const uint8_t* p, int cap)
{
    const void* nul = std::memchr(p, 0, size_t(cap));
    return nul ? int(static_cast<const uint8_t*>(nul) - p) : cap;
}

// Bytes in use of a short or long string field of the record: the explicit
// length when the field has one and it is set, else the text up to its NUL;
// never more than the field holds.
inline int strFieldLen(const FieldDesc* f, const uint8_t* rec)
{
    const uint8_t* p = rec + f->recOff;
    if (f->kind == FieldKind::ShortStr && f->lenOff != 0 && rec[f->lenOff] != 0)
        return rec[f->lenOff] < f->cap ? rec[f->lenOff] : f->cap;
    return boundedLen(p, f->cap);
}

// Writes v in decimal at out (room for 20 digits); returns the digit count.
inline int formatDec(char* out, uint64_t v)
{
    char tmp[20];
    int n = 0;
    do {
        tmp[n++] = char('0' + v % 10);
        v /= 10;
    } while (v != 0);
    for (int i = 0; i < n; ++i)
        out[i] = tmp[n - 1 - i];
    return n;
}

// Writes v in upper-case hexadecimal, at least two digits (room for 16).
inline int formatHex2(char* out, uint64_t v)
{
    static const char kHex[] = "0123456789ABCDEF";
    char tmp[16];
    int n = 0;
    do {
        tmp[n++] = kHex[v & 15];
        v >>= 4;
    } while (v != 0);
    if (n < 2)
        tmp[n++] = '0';
    for (int i = 0; i < n; ++i)
        out[i] = tmp[n - 1 - i];
    return n;
}

}  // namespace capx
