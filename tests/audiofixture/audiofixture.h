// Test audio devices without sound hardware: a private PulseAudio daemon with
// two 8000 Hz mono null sinks, and an ALSA configuration whose default device
// writes everything played to a raw file and reads the microphone from a raw
// file (16-bit little-endian mono). start() points this process's
// environment at them, so it must run before the audio back end initialises.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

class TestAudioDevices {
public:
    TestAudioDevices() = default;
    TestAudioDevices(const TestAudioDevices&) = delete;
    TestAudioDevices& operator=(const TestAudioDevices&) = delete;
    ~TestAudioDevices() { stop(); }

    // Starts the daemon with the microphone file holding mic (may be empty:
    // capture then gives silence). Returns false with a reason in error.
    bool start(const std::vector<int16_t>& mic = {}, std::string* error = nullptr);
    void stop();
    bool running() const { return pid_ > 0; }

    const std::string& dir() const { return dir_; }
    const std::string& playedPath() const { return played_; }
    const std::string& micPath() const { return mic_; }

    // Everything played so far (the file restarts at each stream open).
    std::vector<int16_t> played() const;
    // Waits until at least samples have been played, at most timeoutMs.
    bool waitPlayed(size_t samples, int timeoutMs) const;

private:
    std::string dir_;
    std::string played_;
    std::string mic_;
    pid_t pid_ = -1;
};

// Raw file helpers.
std::vector<int16_t> readRawS16(const std::string& path);
bool writeRawS16(const std::string& path, const std::vector<int16_t>& samples);

// Finds where needle starts in hay with every sample within tolerance, or -1.
long findSamples(const std::vector<int16_t>& hay, const std::vector<int16_t>& needle, int tolerance);
