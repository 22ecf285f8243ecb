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

}  // namespace capx
