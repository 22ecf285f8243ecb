// winsnd: the audio device layer of the voice path. One manager with at most
// one playback and one capture device, a playback queue fed by the voice
// hand-off, and one audio thread, woken per received frame and per captured
// buffer during a call, that first encodes and sends what the microphone
// captured, then moves queued frames to the playback device. The devices
// run only during calls.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <pthread.h>

#include "voicecodec.h"
#include "wavedev.h"

constexpr int WINSND_CARD_OUT = 1;
constexpr int WINSND_CARD_IN = 2;
constexpr int WINSND_OUT_HDRS = 20;
constexpr int WINSND_IN_HDRS = 10;
constexpr int WINSND_IN_BYTES = 640;          // 40 ms per capture buffer
constexpr int WINSND_FRAME_BYTES = 320;       // 20 ms
constexpr int WINSND_SILENCE_FRAMES = 5;      // sent when playback starts
constexpr int WINSND_THREAD_STACK = 1000000;

// A byte buffer with read and write positions and an optional continuation.
struct WinSndBlock {
    WinSndBlock* next;       // queue link
    WinSndBlock* cont;       // continuation block of the same chain
    uint8_t* base;
    uint8_t* end;
    uint8_t* rptr;
    uint8_t* wptr;
};
WinSndBlock* winsnd_allocb(int size);         // zero-filled, rptr = wptr = base
void winsnd_freeb(WinSndBlock* b);            // releases the whole chain
int winsnd_chain_size(const WinSndBlock* b);

// First-in first-out list of blocks under its own mutex.
struct WinSndQueue {
    std::mutex lock;
    WinSndBlock* head = nullptr;
    WinSndBlock* tail = nullptr;
    int count = 0;
};
void winsnd_queue_put(WinSndQueue* q, WinSndBlock* b);
WinSndBlock* winsnd_queue_get(WinSndQueue* q);
void winsnd_queue_flush(WinSndQueue* q);
int winsnd_queue_count(WinSndQueue* q);

// Auto-reset event.
struct WinSndEvent {
    std::mutex lock;
    std::condition_variable cv;
    bool signalled = false;
};

struct WinSndDevice {
    int32_t deviceId = 0;
    WaveIn* inHandle = nullptr;
    WaveOut* outHandle = nullptr;
    WaveFormat format{};
    WaveHdr inHdr[WINSND_IN_HDRS]{};
    WaveHdr outHdr[WINSND_OUT_HDRS]{};
    // Set by the completion callbacks once a header is back with the owner
    // (the audio thread); the headers themselves are the audio thread's.
    std::atomic<uint8_t> inHdrFree[WINSND_IN_HDRS]{};
    std::atomic<uint8_t> outHdrDone[WINSND_OUT_HDRS]{};
    WinSndQueue captureQueue;
    std::atomic<int32_t> nbufs_playing{0};
    int32_t outcurbuf = 0;
    int32_t nsamples = 0;
    std::atomic<int32_t> statInput{0};
    std::atomic<int32_t> statOutput{0};
    std::atomic<int32_t> statNotPlayed{0};
    std::atomic<uint8_t> overrun{0};
    WinSndEvent wakeEvent;
    std::atomic<int32_t> InserviceFlag{0};
    pthread_t thread{};
    bool threadStarted = false;
    std::atomic<bool> threadQuit{false};
};

struct WinSndCard {
    int32_t used;
    char name[100];
    int32_t inId;
    int32_t outId;
    int32_t type;
    WinSndDevice* device;
};

struct WinSndManager {
    std::atomic<int32_t> initialised{0};
    std::atomic<int32_t> hasOut{0};
    std::atomic<int32_t> hasIn{0};
    WinSndCard cards[3]{};
    WinSndQueue playbackQueue;
    // Held by the audio thread over each pass and by start and close, so that
    // queues and headers change hands only between passes.
    std::mutex processLock;
    // Held by the hand-off while it decodes and queues, and by close while it
    // frees, so that a frame never meets a half-closed layer.
    std::mutex lifeLock;
};

extern WinSndManager g_winSnd;

// Operations for the console window and the login dialog.
int winsnd_init();
int winsnd_detect();
int add_or_update_card(const char* name, int inId, int outId, int type);
int winsnd_start();
void winsnd_stop();
void winsnd_close();
int sendSilenceFrames(int count);
const char* winsnd_output_name();             // card 1's name, "" when none

// The audio thread's two passes.
void winsnd_read_process(WinSndDevice* dev);
void winsnd_write_process(WinSndDevice* dev);

// Callbacks of the wave layer.
void read_callback(void* handle, int msg, void* instance, WaveHdr* hdr);
void write_callback(void* handle, int msg, void* instance, WaveHdr* hdr);

// For the voice hand-off (receive thread): decodes one payload into a 20 ms
// frame and appends it to the playback queue. Returns 1 when playback is in
// service, 0 when the frame waits for it, -1 when there is no layer.
int winsnd_queue_voice(int payloadType, const uint8_t* payload, int length);
// Wakes the audio thread; true when playback is in service.
bool winsnd_wake();
bool winsnd_has_input();
WinSndDevice* winsnd_output_device();
WinSndDevice* winsnd_input_device();
