// Login credential scrambling shared by the login dialog and the service
// simulator: every character after the first is increased, modulo 256, by
// (key - first character); the first character stays as typed. The keys lie
// in 95..161, so a printable ASCII text never scrambles to a 0 byte; other
// bytes can, so scrambled texts always travel with explicit lengths.
#pragma once

#include <cstdint>

constexpr uint8_t CAPC_LOGIN_KEY_USER_ID = 113;
constexpr uint8_t CAPC_LOGIN_KEY_PASSWORD = 127;
constexpr uint8_t CAPC_LOGIN_KEY_PHONE = 101;

// Scrambles len bytes of in into out (which may be in); returns the number
// of bytes written, at most outCap. The result is not NUL-terminated.
inline int capcLoginScramble(const char* in, int len, uint8_t key, char* out, int outCap)
{
    if (in == nullptr || out == nullptr || len <= 0 || outCap <= 0) return 0;
    if (len > outCap) len = outCap;
    const uint8_t first = static_cast<uint8_t>(in[0]);
    const uint8_t add = static_cast<uint8_t>(key - first);
    out[0] = in[0];
    for (int i = 1; i < len; ++i)
        out[i] = static_cast<char>(static_cast<uint8_t>(static_cast<uint8_t>(in[i]) + add));
    return len;
}

// Reverses capcLoginScramble.
inline int capcLoginUnscramble(const char* in, int len, uint8_t key, char* out, int outCap)
{
    if (in == nullptr || out == nullptr || len <= 0 || outCap <= 0) return 0;
    if (len > outCap) len = outCap;
    const uint8_t first = static_cast<uint8_t>(in[0]);
    const uint8_t add = static_cast<uint8_t>(key - first);
    out[0] = in[0];
    for (int i = 1; i < len; ++i)
        out[i] = static_cast<char>(static_cast<uint8_t>(static_cast<uint8_t>(in[i]) - add));
    return len;
}
