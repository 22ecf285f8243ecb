// winsnd: playback and capture for the voice path on the project's wave
// layer, with G.711/G.729 encoding of the captured microphone.
#include "winsnd.h"

#include <cstdlib>
#include <cstring>
#include <new>

#include "concontext.h"
#include "pos.h"
#include "rtpagent.h"

WinSndManager g_winSnd;

namespace {

G729Encoder* g_encoder = nullptr;   // used by the audio thread only
G729Decoder* g_decoder = nullptr;   // used by the receive thread only (under lifeLock)

const WaveFormat kVoiceFormat{1, VOICE_RATE, 16, 2, VOICE_RATE * 2};

// True from winsnd_start to winsnd_stop: the devices run (under processLock).
bool g_devicesRunning = false;

// G.729 silence: two 10-byte frames.
const uint8_t kG729Silence[VOICE_G729_PAYLOAD] = {0x78, 0x52, 0x80, 0xA0, 0x00, 0xFA, 0xD1,
                                                  0x00, 0x00, 0x56, 0x78, 0x3A, 0x45, 0x60,
                                                  0x00, 0x1A, 0xDE, 0x12, 0x48, 0x56};

int hdrIndex(const WaveHdr* base, const WaveHdr* h, int count)
{
    const long i = h - base;
    return (i >= 0 && i < count) ? static_cast<int>(i) : -1;
}

void eventSet(WinSndEvent& e)
{
    std::lock_guard<std::mutex> g(e.lock);
    e.signalled = true;
    e.cv.notify_one();
}

// Waits for the event; false when the thread is asked to end.
bool eventWait(WinSndDevice* dev)
{
    std::unique_lock<std::mutex> g(dev->wakeEvent.lock);
    dev->wakeEvent.cv.wait(g, [&] { return dev->wakeEvent.signalled || dev->threadQuit.load(); });
    dev->wakeEvent.signalled = false;
    return !dev->threadQuit.load();
}

void* winsnd_thread(void* arg)
{
    auto* dev = static_cast<WinSndDevice*>(arg);
    while (eventWait(dev)) {
        std::lock_guard<std::mutex> g(g_winSnd.processLock);
        // A wake-up that arrives after the call's end finds the devices
        // halted: nothing is encoded, sent or written between calls.
        if (!dev->InserviceFlag.load()) continue;
        if (g_winSnd.hasIn.load()) {
            WinSndDevice* in = winsnd_input_device();
            if (in) winsnd_read_process(in);
        }
        if (g_winSnd.hasOut.load()) winsnd_write_process(dev);
    }
    return nullptr;
}

int startAudioThread(WinSndDevice* dev)
{
    pthread_attr_t attr;
    if (pthread_attr_init(&attr) != 0) return -1;
    pthread_attr_setstacksize(&attr, posStackBytes(WINSND_THREAD_STACK));
    const int rc = pthread_create(&dev->thread, &attr, winsnd_thread, dev);
    pthread_attr_destroy(&attr);
    if (rc != 0) {
        posLogPrint("RTP] Err! audio thread start failed (%d)\n", rc);
        return -1;
    }
    dev->threadStarted = true;
    return 0;
}

void stopAudioThread(WinSndDevice* dev)
{
    if (!dev || !dev->threadStarted) return;
    dev->threadQuit.store(true);
    eventSet(dev->wakeEvent);
    pthread_join(dev->thread, nullptr);
    dev->threadStarted = false;
}

// Hands one capture header to the recorder with a fresh block of length bytes.
void add_input_buffer(WinSndDevice* dev, int idx, int length)
{
    WaveHdr* h = &dev->inHdr[idx];
    WinSndBlock* b = winsnd_allocb(length);
    if (!b) {
        dev->inHdrFree[idx].store(1, std::memory_order_release);
        return;
    }
    *h = WaveHdr{};
    h->data = b->wptr;
    h->bufferLength = static_cast<uint32_t>(length);
    h->user = reinterpret_cast<uintptr_t>(b);
    if (waveInPrepareHeader(dev->inHandle, h) != WAVE_OK || waveInAddBuffer(dev->inHandle, h) != WAVE_OK) {
        winsnd_freeb(b);
        h->user = 0;
        // Tried again at the next re-arm.
        dev->inHdrFree[idx].store(1, std::memory_order_release);
    }
}

void rearmInputs(WinSndDevice* dev)
{
    if (!dev->inHandle) return;
    for (int i = 0; i < WINSND_IN_HDRS; ++i) {
        if (dev->inHdrFree[i].exchange(0, std::memory_order_acq_rel)) {
            waveInUnprepareHeader(dev->inHandle, &dev->inHdr[i]);
            add_input_buffer(dev, i, WINSND_IN_BYTES);
        }
    }
}

void openOutput(WinSndDevice* dev)
{
    dev->statInput = 0;
    dev->statOutput = 0;
    dev->statNotPlayed = 0;
    WaveOut* wo = nullptr;
    int rc = waveOutOpen(&wo, dev->deviceId, &dev->format, write_callback, dev);
    if (rc != WAVE_OK && dev->deviceId != WAVE_MAPPER)
        rc = waveOutOpen(&wo, WAVE_MAPPER, &dev->format, write_callback, dev);
    if (rc != WAVE_OK) {
        posLogPrint("RTP] Err! wave-out device %d cannot be opened (%d)\n", dev->deviceId, rc);
        dev->outHandle = nullptr;
        return;
    }
    dev->outHandle = wo;
    dev->outcurbuf = 0;
    dev->overrun = 0;
    dev->nsamples = 0;
    // Halted until a call's playback starts: a running device wakes its
    // thread and the sound server every period even when it plays silence.
    waveOutPause(wo);
}

void openInput(WinSndDevice* dev)
{
    dev->statInput = 0;
    dev->statOutput = 0;
    dev->statNotPlayed = 0;
    WaveIn* wi = nullptr;
    int rc = waveInOpen(&wi, dev->deviceId, &dev->format, read_callback, dev);
    if (rc != WAVE_OK && dev->deviceId != WAVE_MAPPER)
        rc = waveInOpen(&wi, WAVE_MAPPER, &dev->format, read_callback, dev);
    if (rc != WAVE_OK) {
        posLogPrint("RTP] Err! wave-in device %d cannot be opened (%d)\n", dev->deviceId, rc);
        dev->inHandle = nullptr;
        return;
    }
    dev->inHandle = wi;
    const int bytes = dev->format.avgBytesPerSec * 320 / 8000;   // 640 bytes, 40 ms
    // The buffers wait with the recorder; recording runs only during calls
    // (winsnd_start to winsnd_stop), so the idle program does not wake for
    // audio that nobody sends.
    for (int i = 0; i < WINSND_IN_HDRS; ++i) add_input_buffer(dev, i, bytes);
}

// Starts the devices for a call: playback from a 100 ms lead-in, capture
// with every buffer waiting for it. Under processLock.
void resumeDevices(WinSndDevice* out, WinSndDevice* in)
{
    if (out && out->outHandle) {
        out->overrun = 0;
        out->nsamples = 0;
        if (waveOutRestart(out->outHandle) != WAVE_OK) posLogPrint("RTP] Err! wave-out start failed\n");
    }
    if (in && in->inHandle) {
        rearmInputs(in);
        if (waveInStart(in->inHandle) != WAVE_OK) posLogPrint("RTP] Err! wave-in start failed\n");
    }
}

// Halts the devices at a call's end. What is still queued for playback is
// dropped (it belongs to the ended call) and every buffer comes back, so
// the next call starts clean. Under processLock.
void haltDevices(WinSndDevice* out, WinSndDevice* in)
{
    if (out && out->outHandle) {
        waveOutPause(out->outHandle);
        waveOutReset(out->outHandle);
        out->overrun = 0;
        out->nsamples = 0;
    }
    if (in && in->inHandle) {
        waveInReset(in->inHandle);
        winsnd_queue_flush(&in->captureQueue);
    }
}

void closeOutput(WinSndDevice* dev)
{
    if (!dev->outHandle) return;
    if (waveOutReset(dev->outHandle) != WAVE_OK) return;
    // After the reset every written header is back (done); release them all.
    for (int i = 0; i < WINSND_OUT_HDRS; ++i) {
        WaveHdr* h = &dev->outHdr[i];
        dev->outHdrDone[i].store(0);
        waveOutUnprepareHeader(dev->outHandle, h);
        winsnd_freeb(reinterpret_cast<WinSndBlock*>(h->user));
        h->user = 0;
    }
    if (waveOutClose(dev->outHandle) == WAVE_OK) dev->outHandle = nullptr;
}

void closeInput(WinSndDevice* dev)
{
    if (!dev->inHandle) return;
    if (waveInStop(dev->inHandle) != WAVE_OK || waveInReset(dev->inHandle) != WAVE_OK) return;
    for (int i = 0; i < WINSND_IN_HDRS; ++i) waveInUnprepareHeader(dev->inHandle, &dev->inHdr[i]);
    if (waveInClose(dev->inHandle) == WAVE_OK) {
        dev->inHandle = nullptr;
        winsnd_queue_flush(&dev->captureQueue);
    }
}

// Plays block on header idx: a block the header still holds is released
// first.
void playout_buf(WinSndBlock* b, WinSndDevice* dev, int idx)
{
    WaveHdr* h = &dev->outHdr[idx];
    if (h->user) winsnd_freeb(reinterpret_cast<WinSndBlock*>(h->user));
    *h = WaveHdr{};
    h->user = reinterpret_cast<uintptr_t>(b);
    h->data = b->rptr;
    h->bufferLength = static_cast<uint32_t>(winsnd_chain_size(b));
    dev->outHdrDone[idx].store(0, std::memory_order_relaxed);
    if (waveOutPrepareHeader(dev->outHandle, h) != WAVE_OK) dev->statNotPlayed++;
    dev->nbufs_playing++;
    if (waveOutWrite(dev->outHandle, h) != WAVE_OK) {
        dev->nbufs_playing--;
        dev->statNotPlayed++;
    }
}

void sendPayload(int pt, const uint8_t* payload, int length)
{
    rtpTxVoiceReq(static_cast<uint8_t>(pt), payload, length);
    conContext().TxCnt++;
}

}  // namespace

// ---- blocks and queues -----------------------------------------------------------
WinSndBlock* winsnd_allocb(int size)
{
    if (size < 0) return nullptr;
    auto* b = static_cast<WinSndBlock*>(std::calloc(1, sizeof(WinSndBlock) + static_cast<size_t>(size)));
    if (!b) return nullptr;
    b->base = reinterpret_cast<uint8_t*>(b + 1);
    b->end = b->base + size;
    b->rptr = b->wptr = b->base;
    return b;
}

void winsnd_freeb(WinSndBlock* b)
{
    while (b) {
        WinSndBlock* c = b->cont;
        std::free(b);
        b = c;
    }
}

int winsnd_chain_size(const WinSndBlock* b)
{
    int n = 0;
    for (; b; b = b->cont) n += static_cast<int>(b->wptr - b->rptr);
    return n;
}

void winsnd_queue_put(WinSndQueue* q, WinSndBlock* b)
{
    b->next = nullptr;
    std::lock_guard<std::mutex> g(q->lock);
    if (q->tail) q->tail->next = b;
    else q->head = b;
    q->tail = b;
    q->count++;
}

WinSndBlock* winsnd_queue_get(WinSndQueue* q)
{
    std::lock_guard<std::mutex> g(q->lock);
    WinSndBlock* b = q->head;
    if (!b) return nullptr;
    q->head = b->next;
    if (!q->head) q->tail = nullptr;
    q->count--;
    b->next = nullptr;
    return b;
}

void winsnd_queue_flush(WinSndQueue* q)
{
    WinSndBlock* b;
    while ((b = winsnd_queue_get(q)) != nullptr) winsnd_freeb(b);
}

int winsnd_queue_count(WinSndQueue* q)
{
    std::lock_guard<std::mutex> g(q->lock);
    return q->count;
}

// ---- callbacks (wave layer's helper thread) ------------------------------------------
void read_callback(void*, int msg, void* instance, WaveHdr* hdr)
{
    if (msg != WIM_DATA || !hdr) return;
    auto* dev = static_cast<WinSndDevice*>(instance);
    const int idx = hdrIndex(dev->inHdr, hdr, WINSND_IN_HDRS);
    auto* b = reinterpret_cast<WinSndBlock*>(hdr->user);
    hdr->user = 0;
    // Read before the header is handed back: once inHdrFree says so, the
    // audio thread re-arms (and clears) it.
    const bool filled = b && hdr->bytesRecorded > 0;
    if (b) {
        b->wptr += hdr->bytesRecorded;
        if (filled) winsnd_queue_put(&dev->captureQueue, b);
        else winsnd_freeb(b);
    }
    dev->statInput++;
    if (idx >= 0) dev->inHdrFree[idx].store(1, std::memory_order_release);
    // During a call the microphone paces the sending side: each filled
    // buffer wakes the audio thread too, so the agent's voice goes out every
    // 40 ms even while no frame arrives from the far end (lost packets, a
    // far end that pauses or stops); received frames alone would leave it
    // queued and send it late in a burst.
    WinSndDevice* out = winsnd_output_device();
    if (filled && out && out->InserviceFlag.load()) eventSet(out->wakeEvent);
}

void write_callback(void*, int msg, void* instance, WaveHdr* hdr)
{
    if ((msg != WOM_DONE && msg != WOM_CLOSE) || !hdr) return;
    auto* dev = static_cast<WinSndDevice*>(instance);
    dev->nbufs_playing--;
    if (dev->statOutput.load() == 0) {
        dev->statInput = 1;
        dev->statNotPlayed = 0;
    }
    dev->statOutput++;
    const int idx = hdrIndex(dev->outHdr, hdr, WINSND_OUT_HDRS);
    if (idx >= 0) dev->outHdrDone[idx].store(1, std::memory_order_release);
}

// ---- manager -------------------------------------------------------------------------
WinSndDevice* winsnd_output_device() { return g_winSnd.cards[WINSND_CARD_OUT].device; }
WinSndDevice* winsnd_input_device() { return g_winSnd.cards[WINSND_CARD_IN].device; }
bool winsnd_has_input() { return g_winSnd.hasIn.load() != 0; }
const char* winsnd_output_name()
{
    return g_winSnd.cards[WINSND_CARD_OUT].used ? g_winSnd.cards[WINSND_CARD_OUT].name : "";
}

int add_or_update_card(const char* name, int inId, int outId, int type)
{
    if (type != WINSND_CARD_OUT && type != WINSND_CARD_IN) return -1;
    WinSndCard& c = g_winSnd.cards[type];
    if (c.used) return 0;
    auto* dev = new (std::nothrow) WinSndDevice;
    if (!dev) return -1;
    c.used = 1;
    std::snprintf(c.name, sizeof c.name, "%s", name ? name : "");
    c.inId = inId;
    c.outId = outId;
    c.type = type;
    c.device = dev;
    dev->format = kVoiceFormat;
    if (type == WINSND_CARD_OUT) {
        dev->deviceId = outId;
        startAudioThread(dev);
    } else {
        dev->deviceId = inId;
    }
    return 0;
}

int winsnd_detect()
{
    const int nOut = waveOutGetNumDevs();
    const int nIn = waveInGetNumDevs();
    const int last = nOut > nIn ? nOut : nIn;
    int found = 0;
    char name[100];
    for (int id = 0; id < last; ++id) {
        if (!g_winSnd.hasOut.load() && waveOutGetDevName(id, name, sizeof name) == WAVE_OK) {
            if (add_or_update_card(name, -1, id, WINSND_CARD_OUT) == 0) {
                openOutput(winsnd_output_device());
                std::snprintf(g_winSnd.cards[WINSND_CARD_OUT].name, sizeof name, "%s", name);
                g_winSnd.hasOut = 1;
                ++found;
            }
        }
        if (!g_winSnd.hasIn.load() && waveInGetDevName(id, name, sizeof name) == WAVE_OK) {
            if (add_or_update_card(name, id, -1, WINSND_CARD_IN) == 0) {
                openInput(winsnd_input_device());
                std::snprintf(g_winSnd.cards[WINSND_CARD_IN].name, sizeof name, "%s", name);
                g_winSnd.hasIn = 1;
                ++found;
            }
        }
    }
    return found;
}

int winsnd_init()
{
    if (g_winSnd.initialised.load()) return 0;
    std::lock_guard<std::mutex> life(g_winSnd.lifeLock);
    g_winSnd.hasOut = 0;
    g_winSnd.hasIn = 0;
    for (auto& c : g_winSnd.cards) c = WinSndCard{};
    winsnd_queue_flush(&g_winSnd.playbackQueue);
    g_decoder = g729DecoderCreate();
    g_encoder = g729EncoderCreate();
    if (winsnd_detect() == 0) {
        posLogPrint("RTP] Err! no sound device\n");
        // Not initialised: a later init creates them again.
        g729EncoderDestroy(g_encoder);
        g729DecoderDestroy(g_decoder);
        g_encoder = nullptr;
        g_decoder = nullptr;
        return -1;
    }
    g_winSnd.initialised = 1;
    return 0;
}

int winsnd_start()
{
    if (!g_winSnd.initialised.load()) return -1;
    WinSndDevice* out = winsnd_output_device();
    if (out && out->InserviceFlag.load()) return 0;
    {
        // Nothing captured or queued between calls reaches this call.
        std::lock_guard<std::mutex> g(g_winSnd.processLock);
        winsnd_queue_flush(&g_winSnd.playbackQueue);
        WinSndDevice* in = winsnd_input_device();
        if (in) winsnd_queue_flush(&in->captureQueue);
        resumeDevices(out, in);
        g_devicesRunning = true;
        if (out) out->InserviceFlag = 1;
    }
    sendSilenceFrames(WINSND_SILENCE_FRAMES);
    return 0;
}

void winsnd_stop()
{
    if (!g_winSnd.initialised.load()) return;
    WinSndDevice* out = winsnd_output_device();
    if (out && out->InserviceFlag.load()) out->InserviceFlag = 0;
    std::lock_guard<std::mutex> g(g_winSnd.processLock);
    if (!g_devicesRunning) return;
    g_devicesRunning = false;
    haltDevices(out, winsnd_input_device());
}

void winsnd_close()
{
    if (!g_winSnd.initialised.exchange(0)) return;
    WinSndDevice* out = winsnd_output_device();
    WinSndDevice* in = winsnd_input_device();
    // The audio thread ends before anything it uses is freed.
    stopAudioThread(out);
    std::lock_guard<std::mutex> life(g_winSnd.lifeLock);
    std::lock_guard<std::mutex> g(g_winSnd.processLock);
    g_devicesRunning = false;
    if (out) closeOutput(out);
    if (in) closeInput(in);
    for (int t = WINSND_CARD_OUT; t <= WINSND_CARD_IN; ++t) {
        WinSndCard& c = g_winSnd.cards[t];
        if (!c.used || !c.device) continue;
        winsnd_queue_flush(&c.device->captureQueue);
        delete c.device;
        c.device = nullptr;
    }
    g729EncoderDestroy(g_encoder);
    g729DecoderDestroy(g_decoder);
    g_encoder = nullptr;
    g_decoder = nullptr;
    winsnd_queue_flush(&g_winSnd.playbackQueue);
    for (auto& c : g_winSnd.cards) c = WinSndCard{};
    g_winSnd.hasOut = 0;
    g_winSnd.hasIn = 0;
}

int sendSilenceFrames(int count)
{
    const int pt = conContext().payloadType.load() & 0xFF;
    uint8_t pcmu[VOICE_PCMU_PAYLOAD];
    std::memset(pcmu, VOICE_MULAW_SILENCE, sizeof pcmu);
    const uint8_t* payload = pt == 0 ? pcmu : kG729Silence;
    const int length = pt == 0 ? VOICE_PCMU_PAYLOAD : VOICE_G729_PAYLOAD;
    for (int i = 0; i < count; ++i) {
        rtpTxVoiceReq(static_cast<uint8_t>(pt), payload, length);
        posMsecSleep(20);
        conContext().TxCnt++;
    }
    return 0;
}

// ---- audio thread ------------------------------------------------------------------------
void winsnd_read_process(WinSndDevice* dev)
{
    WinSndBlock* b;
    while ((b = winsnd_queue_get(&dev->captureQueue)) != nullptr) {
        // Each block is 40 ms; a shorter one is completed with silence.
        int16_t samples[2 * VOICE_FRAME_SAMPLES] = {};
        int have = 0;
        for (WinSndBlock* p = b; p && have < static_cast<int>(sizeof samples); p = p->cont) {
            int n = static_cast<int>(p->wptr - p->rptr);
            if (n > static_cast<int>(sizeof samples) - have) n = static_cast<int>(sizeof samples) - have;
            std::memcpy(reinterpret_cast<uint8_t*>(samples) + have, p->rptr, static_cast<size_t>(n));
            have += n;
        }
        const int pt = conContext().payloadType.load() & 0xFF;
        uint8_t payload[VOICE_PCMU_PAYLOAD];
        int len = voiceEncodePayload(pt, g_encoder, samples, payload);
        if (len > 0) sendPayload(pt, payload, len);
        posMsecSleep(18);
        len = voiceEncodePayload(pt, g_encoder, samples + VOICE_FRAME_SAMPLES, payload);
        if (len > 0) rtpTxVoiceReq(static_cast<uint8_t>(pt), payload, len);
        conContext().TxCnt++;
        winsnd_freeb(b);
    }
    rearmInputs(dev);
}

void winsnd_write_process(WinSndDevice* dev)
{
    if (!dev->outHandle) {
        winsnd_queue_flush(&g_winSnd.playbackQueue);
        return;
    }
    if (dev->overrun) {
        if (dev->nbufs_playing.load() > 0) {
            winsnd_queue_flush(&g_winSnd.playbackQueue);
            return;
        }
        dev->overrun = 0;
    }
    for (;;) {
        const int idx = dev->outcurbuf % WINSND_OUT_HDRS;
        WaveHdr* h = &dev->outHdr[idx];
        if (dev->nsamples == 0) {
            // 100 ms of silence ahead of the first frame after a (re)start.
            WinSndBlock* lead = winsnd_allocb(dev->format.avgBytesPerSec / 10);
            if (!lead) return;
            lead->wptr = lead->end;
            playout_buf(lead, dev, idx);
            dev->outcurbuf++;
            dev->nsamples += dev->format.samplesPerSec / 10;
            continue;
        }
        WinSndBlock* b = winsnd_queue_get(&g_winSnd.playbackQueue);
        if (!b) return;
        dev->nsamples += winsnd_chain_size(b) / dev->format.blockAlign;
        if (dev->outHdrDone[idx].load(std::memory_order_acquire)) {
            waveOutUnprepareHeader(dev->outHandle, h);
            winsnd_freeb(reinterpret_cast<WinSndBlock*>(h->user));
            h->user = 0;
            dev->outHdrDone[idx].store(0, std::memory_order_relaxed);
            playout_buf(b, dev, idx);
            dev->outcurbuf++;
            continue;
        }
        if (h->user == 0) {
            playout_buf(b, dev, idx);
            dev->outcurbuf++;
            continue;
        }
        // All headers busy: drop this frame, restart the device and drain.
        winsnd_freeb(b);
        dev->overrun = 1;
        dev->nsamples = 0;
        waveOutReset(dev->outHandle);
        dev->outcurbuf++;
    }
}

// ---- hand-off from the receive thread ---------------------------------------------------
int winsnd_queue_voice(int payloadType, const uint8_t* payload, int length)
{
    std::lock_guard<std::mutex> life(g_winSnd.lifeLock);
    if (!g_winSnd.initialised.load() || !g_winSnd.hasOut.load()) return -1;
    WinSndBlock* b = winsnd_allocb(WINSND_FRAME_BYTES);
    if (!b) return -1;
    voiceDecodePayload(payloadType, g_decoder, payload, length, reinterpret_cast<int16_t*>(b->wptr));
    b->wptr = b->end;
    winsnd_queue_put(&g_winSnd.playbackQueue, b);
    WinSndDevice* out = winsnd_output_device();
    return out && out->InserviceFlag.load() ? 1 : 0;
}

bool winsnd_wake()
{
    std::lock_guard<std::mutex> life(g_winSnd.lifeLock);
    WinSndDevice* out = winsnd_output_device();
    if (!g_winSnd.initialised.load() || !out || !out->InserviceFlag.load()) return false;
    eventSet(out->wakeEvent);
    return true;
}
