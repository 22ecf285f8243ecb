// Wave layer on PortAudio. The real-time callback only moves bytes between
// the queued headers and the stream and hands finished headers over through
// lock-free single-producer rings; a helper thread per device marks them done
// and calls the owner's callback.
#include "wavedev.h"

#include <alsa/asoundlib.h>
#include <portaudio.h>
#include <pthread.h>
#include <semaphore.h>

#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdlib>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <new>
#include <string>
#include <vector>

namespace {

// Fixed-size ring with one producer and one consumer at a time.
template <int N>
class HdrRing {
public:
    bool push(WaveHdr* h)
    {
        const unsigned t = tail_.load(std::memory_order_relaxed);
        if (t - head_.load(std::memory_order_acquire) >= N) return false;
        slots_[t % N] = h;
        tail_.store(t + 1, std::memory_order_release);
        return true;
    }
    WaveHdr* pop()
    {
        const unsigned h = head_.load(std::memory_order_relaxed);
        if (h == tail_.load(std::memory_order_acquire)) return nullptr;
        WaveHdr* v = slots_[h % N];
        head_.store(h + 1, std::memory_order_release);
        return v;
    }

private:
    WaveHdr* slots_[N] = {};
    std::atomic<unsigned> head_{0};
    std::atomic<unsigned> tail_{0};
};

constexpr int RING = 64;

enum class Backend { PortAudio, OutputOnly, None };

struct Registry {
    std::mutex lock;
    bool ready = false;
    bool paOk = false;
    Backend backend = Backend::PortAudio;
    std::vector<PaDeviceIndex> outs;
    std::vector<PaDeviceIndex> ins;
};
Registry g_reg;

// PortAudio keeps process-wide lists that opening and closing a stream
// change without a lock of their own; every user in the process (this layer
// and the console's sound player) opens and closes under this one.
std::mutex g_paLock;

void silentAlsaErrors(const char*, int, const char*, int, const char*, ...) {}

// The default device of the default host API comes first, so that device 0
// is what the desktop calls the default; then the others in PortAudio order.
void listDevices(bool input, std::vector<PaDeviceIndex>& list)
{
    const PaHostApiIndex api = Pa_GetDefaultHostApi();
    if (api < 0) return;
    const PaHostApiInfo* info = Pa_GetHostApiInfo(api);
    if (!info) return;
    const PaDeviceIndex def = input ? info->defaultInputDevice : info->defaultOutputDevice;
    auto usable = [&](PaDeviceIndex d) {
        const PaDeviceInfo* di = Pa_GetDeviceInfo(d);
        return di && (input ? di->maxInputChannels : di->maxOutputChannels) > 0;
    };
    if (def >= 0 && usable(def)) list.push_back(def);
    for (int i = 0; i < info->deviceCount; ++i) {
        const PaDeviceIndex d = Pa_HostApiDeviceIndexToDeviceIndex(api, i);
        if (d >= 0 && d != def && usable(d)) list.push_back(d);
    }
}

Registry& registry()
{
    std::lock_guard<std::mutex> g(g_reg.lock);
    if (g_reg.ready) return g_reg;
    g_reg.ready = true;
    const char* sel = std::getenv("QUILLON_AUDIO");
    const std::string s = sel ? sel : "";
    if (s == "none") g_reg.backend = Backend::None;
    else if (s == "portaudio-output-only") g_reg.backend = Backend::OutputOnly;
    if (g_reg.backend == Backend::None) return g_reg;
    snd_lib_error_set_handler(silentAlsaErrors);
    std::lock_guard<std::mutex> pa(g_paLock);
    if (Pa_Initialize() != paNoError) return g_reg;
    g_reg.paOk = true;
    listDevices(false, g_reg.outs);
    if (g_reg.backend != Backend::OutputOnly) listDevices(true, g_reg.ins);
    return g_reg;
}

int deviceName(const std::vector<PaDeviceIndex>& list, int id, char* name, int capacity)
{
    if (id < 0 || id >= static_cast<int>(list.size()) || !name || capacity <= 0)
        return WAVE_ERR_BADDEVICE;
    const PaDeviceInfo* di = Pa_GetDeviceInfo(list[id]);
    if (!di) return WAVE_ERR_BADDEVICE;
    std::snprintf(name, capacity, "%s", di->name);
    return WAVE_OK;
}

}  // namespace

// One open stream, playback or capture.
struct WaveStream {
    bool input = false;
    PaStream* stream = nullptr;
    WaveFormat fmt{};
    WaveCallback cb = nullptr;
    void* instance = nullptr;
    void* handle = nullptr;          // the WaveOut* / WaveIn* given to callbacks

    HdrRing<RING> submitted;         // owner -> real-time callback
    HdrRing<RING> done;              // real-time callback -> helper thread
    WaveHdr* current = nullptr;      // header the callback is working on
    uint32_t curPos = 0;
    std::atomic<uint32_t> dropped{0};

    std::atomic<int> pending{0};     // queued and not yet handed back to the owner
    std::atomic<int> queued{0};      // queued and not yet finished by the stream
    std::atomic<bool> running{false};
    bool paused = false;             // playback: halted by pause, until restart (under ctl)
    std::atomic<bool> quit{false};
    sem_t wake;
    pthread_t helper{};
    bool helperStarted = false;
    std::mutex idleLock;             // helper -> owner: "all handed back"
    std::condition_variable idle;
    std::mutex ctl;                  // serialises the owner's control calls
};

struct WaveOut {
    WaveStream s;
};
struct WaveIn {
    WaveStream s;
};

namespace {

void handBack(WaveStream& ws, WaveHdr* h)
{
    ws.queued.fetch_sub(1, std::memory_order_relaxed);
    ws.done.push(h);
    sem_post(&ws.wake);
}

int outputCallback(const void*, void* output, unsigned long frames, const PaStreamCallbackTimeInfo*,
                   PaStreamCallbackFlags, void* user)
{
    auto& ws = *static_cast<WaveStream*>(user);
    auto* out = static_cast<uint8_t*>(output);
    uint32_t need = static_cast<uint32_t>(frames) * ws.fmt.blockAlign;
    while (need > 0) {
        if (!ws.current) {
            ws.current = ws.submitted.pop();
            ws.curPos = 0;
            if (!ws.current) {
                std::memset(out, 0, need);
                break;
            }
        }
        WaveHdr* h = ws.current;
        uint32_t n = h->bufferLength - ws.curPos;
        if (n > need) n = need;
        std::memcpy(out, h->data + ws.curPos, n);
        out += n;
        need -= n;
        ws.curPos += n;
        if (ws.curPos >= h->bufferLength) {
            ws.current = nullptr;
            handBack(ws, h);
        }
    }
    return paContinue;
}

int inputCallback(const void* input, void*, unsigned long frames, const PaStreamCallbackTimeInfo*,
                  PaStreamCallbackFlags, void* user)
{
    auto& ws = *static_cast<WaveStream*>(user);
    const auto* in = static_cast<const uint8_t*>(input);
    uint32_t have = static_cast<uint32_t>(frames) * ws.fmt.blockAlign;
    while (have > 0) {
        if (!ws.current) {
            ws.current = ws.submitted.pop();
            ws.curPos = 0;
            if (!ws.current) {
                ws.dropped.fetch_add(have / ws.fmt.blockAlign, std::memory_order_relaxed);
                break;
            }
        }
        WaveHdr* h = ws.current;
        uint32_t n = h->bufferLength - ws.curPos;
        if (n > have) n = have;
        if (in) std::memcpy(h->data + ws.curPos, in, n);
        else std::memset(h->data + ws.curPos, 0, n);
        if (in) in += n;
        have -= n;
        ws.curPos += n;
        if (ws.curPos >= h->bufferLength) {
            h->bytesRecorded = ws.curPos;
            ws.current = nullptr;
            handBack(ws, h);
        }
    }
    return paContinue;
}

void* helperMain(void* arg)
{
    auto& ws = *static_cast<WaveStream*>(arg);
    for (;;) {
        while (sem_wait(&ws.wake) != 0 && errno == EINTR) {
        }
        WaveHdr* h;
        while ((h = ws.done.pop()) != nullptr) {
            h->flags = (h->flags & ~WHDR_INQUEUE) | WHDR_DONE;
            if (ws.cb) ws.cb(ws.handle, ws.input ? WIM_DATA : WOM_DONE, ws.instance, h);
            if (ws.pending.fetch_sub(1) == 1) {
                std::lock_guard<std::mutex> g(ws.idleLock);
                ws.idle.notify_all();
            }
        }
        if (ws.quit.load()) break;
    }
    return nullptr;
}

int openStream(WaveStream& ws, bool input, const std::vector<PaDeviceIndex>& list, int id,
               const WaveFormat* fmt, WaveCallback cb, void* instance, void* handle)
{
    if (!fmt || fmt->blockAlign <= 0 || fmt->channels <= 0 || fmt->bitsPerSample != 16)
        return WAVE_ERR_INVALPARAM;
    PaDeviceIndex dev;
    if (id == WAVE_MAPPER) {
        if (list.empty()) return WAVE_ERR_BADDEVICE;
        dev = list[0];
    } else {
        if (id < 0 || id >= static_cast<int>(list.size())) return WAVE_ERR_BADDEVICE;
        dev = list[id];
    }
    const PaDeviceInfo* di = Pa_GetDeviceInfo(dev);
    if (!di) return WAVE_ERR_BADDEVICE;
    ws.input = input;
    ws.fmt = *fmt;
    ws.cb = cb;
    ws.instance = instance;
    ws.handle = handle;
    PaStreamParameters p{};
    p.device = dev;
    p.channelCount = fmt->channels;
    p.sampleFormat = paInt16;
    p.suggestedLatency = input ? di->defaultLowInputLatency : di->defaultLowOutputLatency;
    // Playback runs in 20 ms periods, one voice frame each, for low delay.
    // Capture is handed on in 40 ms buffers, so a 40 ms period fills one
    // buffer per wake-up instead of half of one.
    const unsigned long framesPerBuffer = static_cast<unsigned long>(fmt->samplesPerSec / (input ? 25 : 50));
    std::unique_lock<std::mutex> pa(g_paLock);
    PaError e = Pa_OpenStream(&ws.stream, input ? &p : nullptr, input ? nullptr : &p,
                              fmt->samplesPerSec, framesPerBuffer, paClipOff,
                              input ? inputCallback : outputCallback, &ws);
    if (e != paNoError) {
        ws.stream = nullptr;
        return WAVE_ERR_BACKEND;
    }
    pa.unlock();
    sem_init(&ws.wake, 0, 0);
    if (pthread_create(&ws.helper, nullptr, helperMain, &ws) != 0) {
        pa.lock();
        Pa_CloseStream(ws.stream);
        pa.unlock();
        sem_destroy(&ws.wake);
        return WAVE_ERR_NOMEM;
    }
    ws.helperStarted = true;
    if (cb) cb(handle, input ? WIM_OPEN : WOM_OPEN, instance, nullptr);
    return WAVE_OK;
}

int startStream(WaveStream& ws)
{
    if (ws.running.load()) return WAVE_OK;
    if (Pa_StartStream(ws.stream) != paNoError) return WAVE_ERR_BACKEND;
    ws.running.store(true);
    return WAVE_OK;
}

// Stops the real-time callback; afterwards the owner may touch its state.
void haltStream(WaveStream& ws)
{
    if (!ws.running.load()) return;
    Pa_StopStream(ws.stream);
    ws.running.store(false);
}

// With the callback halted: hand back the partly done header (when asked)
// and every queued one, then wait until the helper has delivered them all.
void returnAll(WaveStream& ws, bool includeQueued)
{
    if (ws.current) {
        if (ws.input) ws.current->bytesRecorded = ws.curPos;
        handBack(ws, ws.current);
        ws.current = nullptr;
        ws.curPos = 0;
    }
    if (includeQueued) {
        WaveHdr* h;
        while ((h = ws.submitted.pop()) != nullptr) {
            if (ws.input) h->bytesRecorded = 0;
            handBack(ws, h);
        }
    }
    if (includeQueued) {
        std::unique_lock<std::mutex> g(ws.idleLock);
        ws.idle.wait(g, [&] { return ws.pending.load() == 0; });
    }
}

int queueHeader(WaveStream& ws, WaveHdr* h)
{
    if (!h || !h->data || h->bufferLength == 0) return WAVE_ERR_INVALPARAM;
    if (!(h->flags & WHDR_PREPARED)) return WAVE_ERR_UNPREPARED;
    if (h->flags & WHDR_INQUEUE) return WAVE_ERR_STILLPLAYING;
    h->flags = (h->flags & ~WHDR_DONE) | WHDR_INQUEUE;
    h->bytesRecorded = 0;
    ws.pending.fetch_add(1);
    ws.queued.fetch_add(1);
    if (!ws.submitted.push(h)) {
        ws.pending.fetch_sub(1);
        ws.queued.fetch_sub(1);
        h->flags &= ~WHDR_INQUEUE;
        return WAVE_ERR_NOMEM;
    }
    return WAVE_OK;
}

int prepare(WaveHdr* h)
{
    if (!h || !h->data) return WAVE_ERR_INVALPARAM;
    h->flags |= WHDR_PREPARED;
    return WAVE_OK;
}

int unprepare(WaveHdr* h)
{
    if (!h) return WAVE_ERR_INVALPARAM;
    if (h->flags & WHDR_INQUEUE) return WAVE_ERR_STILLPLAYING;
    h->flags &= ~WHDR_PREPARED;
    return WAVE_OK;
}

int closeStream(WaveStream& ws)
{
    {
        std::lock_guard<std::mutex> g(ws.ctl);
        if (ws.queued.load() > 0) return WAVE_ERR_STILLPLAYING;
        haltStream(ws);
        // Finished buffers still on their way to the owner are delivered first.
        std::unique_lock<std::mutex> w(ws.idleLock);
        ws.idle.wait(w, [&] { return ws.pending.load() == 0; });
        std::lock_guard<std::mutex> pa(g_paLock);
        Pa_CloseStream(ws.stream);
        ws.stream = nullptr;
    }
    ws.quit.store(true);
    sem_post(&ws.wake);
    if (ws.helperStarted) pthread_join(ws.helper, nullptr);
    sem_destroy(&ws.wake);
    if (ws.cb) ws.cb(ws.handle, ws.input ? WIM_CLOSE : WOM_CLOSE, ws.instance, nullptr);
    return WAVE_OK;
}

}  // namespace

// ---- sharing the back end ----------------------------------------------------
bool waveBackendAcquire()
{
    Registry& r = registry();
    std::lock_guard<std::mutex> g(r.lock);
    if (!r.paOk) return false;
    std::lock_guard<std::mutex> pa(g_paLock);
    return Pa_Initialize() == paNoError;
}

void waveBackendRelease()
{
    std::lock_guard<std::mutex> pa(g_paLock);
    Pa_Terminate();
}

std::unique_lock<std::mutex> waveBackendOpenCloseGuard()
{
    return std::unique_lock<std::mutex>(g_paLock);
}

// ---- device lists -------------------------------------------------------------
int waveOutGetNumDevs() { return static_cast<int>(registry().outs.size()); }
int waveInGetNumDevs() { return static_cast<int>(registry().ins.size()); }
int waveOutGetDevName(int id, char* name, int capacity)
{
    return deviceName(registry().outs, id, name, capacity);
}
int waveInGetDevName(int id, char* name, int capacity)
{
    return deviceName(registry().ins, id, name, capacity);
}

// ---- playback -----------------------------------------------------------------
int waveOutOpen(WaveOut** out, int id, const WaveFormat* fmt, WaveCallback cb, void* instance)
{
    if (!out) return WAVE_ERR_INVALPARAM;
    *out = nullptr;
    Registry& r = registry();
    if (!r.paOk) return WAVE_ERR_BADDEVICE;
    auto* wo = new (std::nothrow) WaveOut;
    if (!wo) return WAVE_ERR_NOMEM;
    int rc = openStream(wo->s, false, r.outs, id, fmt, cb, instance, wo);
    if (rc == WAVE_OK) rc = startStream(wo->s);
    if (rc != WAVE_OK) {
        if (wo->s.stream) closeStream(wo->s);
        delete wo;
        return rc;
    }
    *out = wo;
    return WAVE_OK;
}

int waveOutPrepareHeader(WaveOut* wo, WaveHdr* hdr) { return wo ? prepare(hdr) : WAVE_ERR_INVALPARAM; }
int waveOutUnprepareHeader(WaveOut* wo, WaveHdr* hdr) { return wo ? unprepare(hdr) : WAVE_ERR_INVALPARAM; }

int waveOutWrite(WaveOut* wo, WaveHdr* hdr)
{
    if (!wo) return WAVE_ERR_INVALPARAM;
    std::lock_guard<std::mutex> g(wo->s.ctl);
    return queueHeader(wo->s, hdr);
}

int waveOutReset(WaveOut* wo)
{
    if (!wo) return WAVE_ERR_INVALPARAM;
    std::lock_guard<std::mutex> g(wo->s.ctl);
    haltStream(wo->s);
    returnAll(wo->s, true);
    return wo->s.paused ? WAVE_OK : startStream(wo->s);
}

int waveOutPause(WaveOut* wo)
{
    if (!wo) return WAVE_ERR_INVALPARAM;
    std::lock_guard<std::mutex> g(wo->s.ctl);
    wo->s.paused = true;
    haltStream(wo->s);
    return WAVE_OK;
}

int waveOutRestart(WaveOut* wo)
{
    if (!wo) return WAVE_ERR_INVALPARAM;
    std::lock_guard<std::mutex> g(wo->s.ctl);
    wo->s.paused = false;
    return startStream(wo->s);
}

bool waveOutRunning(WaveOut* wo) { return wo && wo->s.running.load(); }

int waveOutClose(WaveOut* wo)
{
    if (!wo) return WAVE_ERR_INVALPARAM;
    const int rc = closeStream(wo->s);
    if (rc == WAVE_OK) delete wo;
    return rc;
}

// ---- capture --------------------------------------------------------------------
int waveInOpen(WaveIn** in, int id, const WaveFormat* fmt, WaveCallback cb, void* instance)
{
    if (!in) return WAVE_ERR_INVALPARAM;
    *in = nullptr;
    Registry& r = registry();
    if (!r.paOk) return WAVE_ERR_BADDEVICE;
    auto* wi = new (std::nothrow) WaveIn;
    if (!wi) return WAVE_ERR_NOMEM;
    const int rc = openStream(wi->s, true, r.ins, id, fmt, cb, instance, wi);
    if (rc != WAVE_OK) {
        delete wi;
        return rc;
    }
    *in = wi;
    return WAVE_OK;
}

int waveInPrepareHeader(WaveIn* wi, WaveHdr* hdr) { return wi ? prepare(hdr) : WAVE_ERR_INVALPARAM; }
int waveInUnprepareHeader(WaveIn* wi, WaveHdr* hdr) { return wi ? unprepare(hdr) : WAVE_ERR_INVALPARAM; }

int waveInAddBuffer(WaveIn* wi, WaveHdr* hdr)
{
    if (!wi) return WAVE_ERR_INVALPARAM;
    std::lock_guard<std::mutex> g(wi->s.ctl);
    return queueHeader(wi->s, hdr);
}

int waveInStart(WaveIn* wi)
{
    if (!wi) return WAVE_ERR_INVALPARAM;
    std::lock_guard<std::mutex> g(wi->s.ctl);
    return startStream(wi->s);
}

int waveInStop(WaveIn* wi)
{
    if (!wi) return WAVE_ERR_INVALPARAM;
    std::lock_guard<std::mutex> g(wi->s.ctl);
    haltStream(wi->s);
    if (wi->s.current && wi->s.curPos > 0) returnAll(wi->s, false);
    return WAVE_OK;
}

int waveInReset(WaveIn* wi)
{
    if (!wi) return WAVE_ERR_INVALPARAM;
    std::lock_guard<std::mutex> g(wi->s.ctl);
    haltStream(wi->s);
    returnAll(wi->s, true);
    return WAVE_OK;
}

int waveInClose(WaveIn* wi)
{
    if (!wi) return WAVE_ERR_INVALPARAM;
    const int rc = closeStream(wi->s);
    if (rc == WAVE_OK) delete wi;
    return rc;
}

bool waveInRunning(WaveIn* wi) { return wi && wi->s.running.load(); }

uint32_t waveInDroppedFrames(WaveIn* wi)
{
    return wi ? wi->s.dropped.load(std::memory_order_relaxed) : 0;
}
