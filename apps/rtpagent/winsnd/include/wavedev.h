// The project's wave layer: playback and capture devices with queued buffers
// and completion callbacks, on PortAudio. It offers what the audio layer
// needs of a platform: device counts and names, opening a device (or the
// default device, WAVE_MAPPER), queueing buffers that come back through the
// callback when played or filled, reset (every pending buffer comes back at
// once) and close.
//
// Completions are delivered on one helper thread per open device, never on
// the audio back end's real-time thread. Callbacks must not call reset or
// close of their own device.
//
// Back end by environment, QUILLON_AUDIO:
//   unset or "portaudio"     the PortAudio devices of the default host API
//   "portaudio-output-only"  the same, without any capture device
//   "none"                   no devices at all
#pragma once

#include <cstdint>
#include <mutex>

constexpr int WAVE_MAPPER = -1;

constexpr int WAVE_OK = 0;
constexpr int WAVE_ERR_BADDEVICE = -2;
constexpr int WAVE_ERR_NOMEM = -7;
constexpr int WAVE_ERR_INVALPARAM = -11;
constexpr int WAVE_ERR_STILLPLAYING = -33;
constexpr int WAVE_ERR_UNPREPARED = -34;
constexpr int WAVE_ERR_BACKEND = -40;

// Header flags.
constexpr uint32_t WHDR_DONE = 0x01;
constexpr uint32_t WHDR_PREPARED = 0x02;
constexpr uint32_t WHDR_INQUEUE = 0x10;

// Callback messages.
enum WaveMsg : int { WOM_OPEN = 1, WOM_CLOSE, WOM_DONE, WIM_OPEN, WIM_CLOSE, WIM_DATA };

struct WaveFormat {
    int channels;
    int samplesPerSec;
    int bitsPerSample;
    int blockAlign;        // bytes per sample frame
    int avgBytesPerSec;
};

struct WaveHdr {
    uint8_t* data;
    uint32_t bufferLength;
    uint32_t bytesRecorded;
    uintptr_t user;        // caller's data; the layer never touches it
    uint32_t flags;        // WHDR_*; read it on the callback's thread or after reset
};

struct WaveOut;
struct WaveIn;

// handle is the WaveOut* or WaveIn*; hdr is null for open and close.
using WaveCallback = void (*)(void* handle, int msg, void* instance, WaveHdr* hdr);

// Other PortAudio users in the process share this layer's initialisation:
// acquire initialises the back end once (false when it is "none" or failed),
// each successful acquire is matched by one release. They open and close
// their streams while holding the guard, as this layer does.
bool waveBackendAcquire();
void waveBackendRelease();
std::unique_lock<std::mutex> waveBackendOpenCloseGuard();

int waveOutGetNumDevs();
int waveInGetNumDevs();
// Copies the device's product name; 0, or WAVE_ERR_BADDEVICE.
int waveOutGetDevName(int id, char* name, int capacity);
int waveInGetDevName(int id, char* name, int capacity);

int waveOutOpen(WaveOut** out, int id, const WaveFormat* fmt, WaveCallback cb, void* instance);
int waveOutPrepareHeader(WaveOut* wo, WaveHdr* hdr);
int waveOutUnprepareHeader(WaveOut* wo, WaveHdr* hdr);   // STILLPLAYING while queued
int waveOutWrite(WaveOut* wo, WaveHdr* hdr);
int waveOutReset(WaveOut* wo);                            // all queued headers come back done; a paused device stays paused
// Pause halts the device (its thread and the sound server's stop waking);
// queued headers wait until restart.
int waveOutPause(WaveOut* wo);
int waveOutRestart(WaveOut* wo);
int waveOutClose(WaveOut* wo);                            // STILLPLAYING while headers are queued

int waveInOpen(WaveIn** in, int id, const WaveFormat* fmt, WaveCallback cb, void* instance);
int waveInPrepareHeader(WaveIn* wi, WaveHdr* hdr);
int waveInUnprepareHeader(WaveIn* wi, WaveHdr* hdr);
int waveInAddBuffer(WaveIn* wi, WaveHdr* hdr);
int waveInStart(WaveIn* wi);
int waveInStop(WaveIn* wi);     // stops capture; the partly filled buffer comes back
int waveInReset(WaveIn* wi);    // stops capture; every queued buffer comes back
int waveInClose(WaveIn* wi);    // STILLPLAYING while buffers are queued

// True while the device's stream runs (not paused, stopped or reset).
bool waveOutRunning(WaveOut* wo);
bool waveInRunning(WaveIn* wi);

// Frames the capture side had to drop because no buffer was queued.
uint32_t waveInDroppedFrames(WaveIn* wi);
