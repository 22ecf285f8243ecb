#include "rtportp.h"

#include <ortp/telephonyevents.h>

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <mutex>
#include <random>

// The library exports these without declaring them in its public headers.
// They stop and start its scheduler thread, which otherwise ticks every
// 10 ms for the life of the process, sessions or not.
extern "C" {
struct _RtpScheduler* ortp_get_scheduler(void);
void rtp_scheduler_start(struct _RtpScheduler* sched);
void rtp_scheduler_stop(struct _RtpScheduler* sched);
}

namespace {

std::once_flag g_once;
RtpProfile* g_profile = nullptr;
std::atomic<RtpOrtpLogSink> g_sink{nullptr};
std::atomic<int> g_mask{0};
std::mutex g_rngLock;
std::mt19937 g_rng{std::random_device{}()};
// Scheduled sessions alive; the scheduler thread runs only while there is one.
std::mutex g_schedLock;
int g_schedUsers = 0;
bool g_schedRunning = true;   // ortp_scheduler_init starts it

void logHandler(const char* domain, OrtpLogLevel level, const char* fmt, va_list args)
{
    RtpOrtpLogSink sink = g_sink.load();
    if (!sink) return;
    char text[1024];
    vsnprintf(text, sizeof text, fmt, args);
    const char* lev = level == ORTP_FATAL     ? "fatal"
                      : level == ORTP_ERROR   ? "error"
                      : level == ORTP_WARNING ? "warning"
                      : level == ORTP_MESSAGE ? "message"
                                              : "debug";
    char line[1100];
    snprintf(line, sizeof line, "%s-%s: %s", domain ? domain : "ortp", lev, text);
    sink(line);
}

int libraryMask(int mask)
{
    int m = 0;
    if (mask & 0x01) m |= ORTP_DEBUG;
    if (mask & 0x02) m |= ORTP_MESSAGE;
    if (mask & 0x04) m |= ORTP_WARNING;
    if (mask & 0x08) m |= ORTP_ERROR;
    if (mask & 0x10) m |= ORTP_FATAL;
    return m;
}

}  // namespace

void rtpOrtpSetLogSink(RtpOrtpLogSink sink) { g_sink.store(sink); }

int rtpOrtpInit()
{
    std::call_once(g_once, [] {
        ortp_init();
        // Log settings before the scheduler thread exists: the library keeps
        // them without a lock of its own.
        ortp_set_log_handler(logHandler);
        rtpOrtpSetLogMask(0x1F);
        ortp_scheduler_init();
        // Asleep until the first session: between calls nothing needs pacing.
        std::lock_guard<std::mutex> g(g_schedLock);
        if (g_schedUsers == 0 && ortp_get_scheduler()) {
            rtp_scheduler_stop(ortp_get_scheduler());
            g_schedRunning = false;
        }
        g_profile = rtp_profile_clone_full(&av_profile);
        rtp_profile_set_payload(g_profile, 101, &payload_type_telephone_event);
    });
    return 0;
}

RtpSession* rtpOrtpSessionNew(int mode)
{
    rtpOrtpInit();
    {
        std::lock_guard<std::mutex> g(g_schedLock);
        if (g_schedUsers++ == 0 && !g_schedRunning && ortp_get_scheduler()) {
            rtp_scheduler_start(ortp_get_scheduler());
            g_schedRunning = true;
        }
    }
    RtpSession* s = rtp_session_new(mode);
    if (!s) rtpOrtpSessionDestroy(nullptr);
    return s;
}

void rtpOrtpSessionDestroy(RtpSession* session)
{
    // The session leaves the scheduler before the scheduler may stop, so no
    // blocking call of it can be left waiting for a tick.
    if (session) rtp_session_destroy(session);
    std::lock_guard<std::mutex> g(g_schedLock);
    if (g_schedUsers > 0 && --g_schedUsers == 0 && g_schedRunning && ortp_get_scheduler()) {
        rtp_scheduler_stop(ortp_get_scheduler());
        g_schedRunning = false;
    }
}

bool rtpOrtpSchedulerRunning()
{
    std::lock_guard<std::mutex> g(g_schedLock);
    return g_schedRunning;
}

RtpProfile* rtpOrtpProfile()
{
    rtpOrtpInit();
    return g_profile;
}

void rtpOrtpSetLogMask(int mask)
{
    g_mask.store(mask & 0x1F);
    ortp_set_log_level_mask("ortp", libraryMask(mask));
    ortp_set_log_level_mask(nullptr, libraryMask(mask));
}

int rtpOrtpLogMask() { return g_mask.load(); }

int rtpOrtpBindLocal(RtpSession* session, const char* addr)
{
    if (!session) return -1;
    rtp_session_set_reuseaddr(session, FALSE);
    for (int attempt = 0; attempt < RTP_PORT_ATTEMPTS; ++attempt) {
        int port;
        {
            std::lock_guard<std::mutex> g(g_rngLock);
            // Even ports 5000..65534, so that RTCP (port + 1) is at most 65535.
            port = RTP_PORT_MIN + 2 * static_cast<int>(g_rng() % ((65534 - RTP_PORT_MIN) / 2 + 1));
        }
        if (rtp_session_set_local_addr(session, addr, port, port + 1) == 0) return port;
    }
    return -1;
}

void rtpOrtpSessionCounters(const RtpSession* session, int64_t out[10])
{
    for (int i = 0; i < 10; ++i) out[i] = 0;
    if (!session) return;
    const rtp_stats_t* st = rtp_session_get_stats(session);
    if (!st) return;
    out[0] = static_cast<int64_t>(st->packet_sent);
    out[1] = static_cast<int64_t>(st->sent);
    out[2] = static_cast<int64_t>(st->packet_recv);
    out[3] = static_cast<int64_t>(st->hw_recv);
    out[4] = static_cast<int64_t>(st->recv);
    out[5] = 0;
    out[6] = st->cum_packet_loss;
    out[7] = static_cast<int64_t>(st->outoftime);
    out[8] = static_cast<int64_t>(st->bad);
    out[9] = static_cast<int64_t>(st->discarded);
}
