// Process-wide use of the RTP library (oRTP): start-up once per process, the
// project's own audio-video profile with 101 as telephone-event, the log mask
// and the forwarding of the library's log lines, and the local port choice.
#pragma once

#include <ortp/ortp.h>

// Where the library's log lines go; null drops them. Lines arrive without a
// trailing newline, on whatever thread the library logs from.
using RtpOrtpLogSink = void (*)(const char* line);
void rtpOrtpSetLogSink(RtpOrtpLogSink sink);

// Initialises the library and starts its scheduler, sets the log mask to all
// five levels and builds the profile. Runs once per process; later calls only
// return 0.
int rtpOrtpInit();

// A new session of the given library mode (receive only, send only, both)
// for scheduled use, or null. The library's scheduler thread runs while at
// least one such session exists and sleeps otherwise, so an idle program
// has no 10 ms tick. Every session from here ends with
// rtpOrtpSessionDestroy, never with the library's own destroy.
RtpSession* rtpOrtpSessionNew(int mode);
void rtpOrtpSessionDestroy(RtpSession* session);
// True while the scheduler thread runs (for tests and displays).
bool rtpOrtpSchedulerRunning();

// The audio-video profile with payload type 101 as "telephone-event".
RtpProfile* rtpOrtpProfile();

// Log mask from five switches: bit 0 debug, 1 message, 2 warning, 3 error,
// 4 fatal.
void rtpOrtpSetLogMask(int mask);
int rtpOrtpLogMask();

constexpr int RTP_PORT_MIN = 5000;
constexpr int RTP_PORT_ATTEMPTS = 100;
// Binds the session to addr on a random even port of at least 5000 with RTCP
// on the next port, trying up to 100 ports. Returns the RTP port, or -1.
int rtpOrtpBindLocal(RtpSession* session, const char* addr);

// The session counters in the order of the statistics display: packets and
// bytes sent, packets and bytes received, bytes delivered to the
// application, queries for a missing packet (not counted by this library: 0),
// packets lost, too late, malformed, discarded on queue overflow.
void rtpOrtpSessionCounters(const RtpSession* session, int64_t out[10]);
