// mksounds: writes the console's sound files (16 kHz mono 16-bit wave) into
// a folder. The tones are synthesised here, so the project ships no sound
// file it did not make itself.
//
//   mksounds <folder>
#include <sndfile.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr int kRate = 16000;
constexpr double kPi = 3.14159265358979323846;

using Buffer = std::vector<double>;

int frames(double seconds) { return static_cast<int>(std::lround(seconds * kRate)); }

// One soft note: a few harmonics under a short raised-cosine attack, an
// exponential decay and a raised-cosine release to exactly zero, so notes
// never click.
void addNote(Buffer& out, double start, double freq, double length, double gain, double decay = 3.0)
{
    const int first = frames(start);
    const int n = frames(length);
    const int attack = frames(0.008);
    const int release = std::min(frames(0.04), n / 2);
    if (static_cast<int>(out.size()) < first + n) out.resize(static_cast<size_t>(first + n), 0.0);
    for (int i = 0; i < n; ++i) {
        const double t = static_cast<double>(i) / kRate;
        double env = std::exp(-decay * t);
        if (i < attack) env *= 0.5 - 0.5 * std::cos(kPi * i / attack);
        if (i >= n - release) env *= 0.5 - 0.5 * std::cos(kPi * (n - i) / release);
        const double w = 2 * kPi * freq * t;
        const double v = std::sin(w) + 0.25 * std::sin(2 * w) + 0.08 * std::sin(3 * w);
        out[static_cast<size_t>(first + i)] += gain * env * v;
    }
}

// Scales so that the loudest sample is peak (0..1 of full scale).
void normalise(Buffer& b, double peak)
{
    double m = 0;
    for (double v : b) m = std::max(m, std::fabs(v));
    if (m <= 0) return;
    for (double& v : b) v *= peak / m;
}

void padTo(Buffer& b, double seconds)
{
    if (static_cast<int>(b.size()) < frames(seconds)) b.resize(static_cast<size_t>(frames(seconds)), 0.0);
}

bool writeWave(const std::string& path, const Buffer& b)
{
    SF_INFO info{};
    info.samplerate = kRate;
    info.channels = 1;
    info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
    SNDFILE* f = sf_open(path.c_str(), SFM_WRITE, &info);
    if (!f) {
        std::fprintf(stderr, "mksounds: cannot write %s: %s\n", path.c_str(), sf_strerror(nullptr));
        return false;
    }
    std::vector<short> pcm(b.size());
    for (size_t i = 0; i < b.size(); ++i)
        pcm[i] = static_cast<short>(std::lround(std::clamp(b[i], -1.0, 1.0) * 32767.0));
    const bool ok = sf_writef_short(f, pcm.data(), static_cast<sf_count_t>(pcm.size())) ==
                    static_cast<sf_count_t>(pcm.size());
    sf_close(f);
    if (!ok) std::fprintf(stderr, "mksounds: short write on %s\n", path.c_str());
    return ok;
}

// Note frequencies (equal temperament).
constexpr double C5 = 523.25, E5 = 659.26, G5 = 783.99, A5 = 880.00, C6 = 1046.50, E6 = 1318.51;

// The ring: two bursts of a warbling two-tone trill, then a pause, 2 s in
// all, so that looping it gives the familiar ring-ring cadence.
Buffer ring()
{
    Buffer b;
    for (double burst : {0.0, 0.55}) {
        for (int k = 0; k < 10; ++k)
            addNote(b, burst + k * 0.04, (k % 2) ? 1100.0 : 880.0, 0.05, 1.0, 0.0);
    }
    normalise(b, 1.0);
    padTo(b, 2.0);
    return b;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc != 2 || std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0) {
        std::fprintf(argc == 2 ? stdout : stderr, "usage: mksounds <folder>\n"
                                                  "writes the console's sound files into folder\n");
        return argc == 2 ? 0 : 2;
    }
    const std::string dir = argv[1];
    bool ok = true;
    auto save = [&](const char* name, Buffer b, double peak) {
        normalise(b, peak);
        ok = writeWave(dir + "/" + name, b) && ok;
    };

    // Ring volumes 0..5: about 4 dB apart, 0 still clearly audible.
    const Buffer r = ring();
    const double ringPeak[6] = {0.10, 0.16, 0.25, 0.40, 0.60, 0.90};
    for (int v = 0; v <= 5; ++v) {
        char name[32];
        std::snprintf(name, sizeof name, "RingVol%d.wav", v);
        save(name, r, ringPeak[v]);
    }

    Buffer b;
    addNote(b, 0.0, A5, 0.15, 1.0, 6.0);                       // one short beep
    save("Beep.wav", b, 0.5);

    b.clear();
    addNote(b, 0.0, E6, 0.09, 1.0, 4.0);                       // two quick high beeps
    addNote(b, 0.15, E6, 0.09, 1.0, 4.0);
    save("BeepTw.wav", b, 0.5);

    b.clear();
    addNote(b, 0.0, C5, 0.30, 1.0);                            // rising: captioning starts
    addNote(b, 0.16, G5, 0.34, 1.0);
    save("startCap.wav", b, 0.5);

    b.clear();
    addNote(b, 0.0, G5, 0.30, 1.0);                            // falling: captioning pauses
    addNote(b, 0.16, C5, 0.34, 1.0);
    save("pauseCap.wav", b, 0.5);

    b.clear();
    const double up[4] = {C5, E5, G5, C6};                     // rising major arpeggio
    for (int i = 0; i < 4; ++i) addNote(b, i * 0.12, up[i], i == 3 ? 0.40 : 0.30, 1.0);
    save("welcome.wav", b, 0.5);

    b.clear();
    const double down[4] = {C6, G5, E5, C5};                   // falling arpeggio
    for (int i = 0; i < 4; ++i) addNote(b, i * 0.12, down[i], i == 3 ? 0.40 : 0.30, 1.0);
    save("goodbye.wav", b, 0.5);

    return ok ? 0 : 1;
}
