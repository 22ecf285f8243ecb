// The sound files the build generates: every name the console plays exists
// beside the program, in a format the player reads, short, not clipped,
// faded in and out, each one different, the ring getting louder with its
// volume number; and they really play.
#include <gtest/gtest.h>

#include <sndfile.h>

#include <QFile>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <string>
#include <vector>

#include "audiofixture.h"
#include "soundplayer.h"

namespace {

struct Wave {
    SF_INFO info{};
    std::vector<int16_t> samples;
    int peak() const
    {
        int m = 0;
        for (int16_t s : samples) m = std::max(m, std::abs(static_cast<int>(s)));
        return m;
    }
    double seconds() const { return info.samplerate ? double(info.frames) / info.samplerate : 0; }
};

std::string path(const std::string& name) { return std::string(QUILLON_BUILT_SOUNDS_DIR) + "/" + name; }

bool readWave(const std::string& file, Wave& w)
{
    SNDFILE* f = sf_open(file.c_str(), SFM_READ, &w.info);
    if (!f) return false;
    w.samples.resize(static_cast<size_t>(w.info.frames * w.info.channels));
    const sf_count_t got = sf_readf_short(f, w.samples.data(), w.info.frames);
    sf_close(f);
    return got == w.info.frames;
}

const char* const kShort[] = {"Beep.wav", "BeepTw.wav", "startCap.wav", "pauseCap.wav", "welcome.wav", "goodbye.wav"};

std::vector<std::string> allNames()
{
    std::vector<std::string> names;
    for (int v = 0; v <= 5; ++v) names.push_back("RingVol" + std::to_string(v) + ".wav");
    for (const char* n : kShort) names.emplace_back(n);
    return names;
}

}  // namespace

TEST(SoundFiles, EveryFileIsAShortFadedMono16BitWave)
{
    for (const std::string& name : allNames()) {
        SCOPED_TRACE(name);
        Wave w;
        ASSERT_TRUE(readWave(path(name), w));
        EXPECT_EQ(w.info.format, SF_FORMAT_WAV | SF_FORMAT_PCM_16);
        EXPECT_EQ(w.info.channels, 1);
        EXPECT_TRUE(w.info.samplerate == 8000 || w.info.samplerate == 16000) << w.info.samplerate;
        const bool ring = name.rfind("RingVol", 0) == 0;
        EXPECT_GT(w.seconds(), 0.1);
        EXPECT_LE(w.seconds(), ring ? 2.5 : 1.0);
        EXPECT_LT(w.peak(), 32000) << "clipped";
        // Starts and ends at rest (no click), with a fade rather than a jump.
        const size_t ms5 = static_cast<size_t>(w.info.samplerate / 200);
        EXPECT_LE(std::abs(w.samples.front()), 50);
        EXPECT_LE(std::abs(w.samples.back()), 50);
        for (size_t i = 0; i < ms5; ++i) EXPECT_LT(std::abs(w.samples[i]), w.peak() * 3 / 4) << i;
    }
}

TEST(SoundFiles, RingGetsLouderAndTheQuietestIsStillAudible)
{
    int previous = 0;
    for (int v = 0; v <= 5; ++v) {
        Wave w;
        ASSERT_TRUE(readWave(path("RingVol" + std::to_string(v) + ".wav"), w)) << v;
        if (v == 0) {
            EXPECT_GE(w.peak(), 32767 / 20) << "volume 0 must still be heard (about -26 dBFS or more)";
        }
        // Each step at least about 2 dB louder than the one before.
        EXPECT_GT(w.peak(), previous * 5 / 4) << v;
        previous = w.peak();
    }
}

TEST(SoundFiles, AllSoundsDiffer)
{
    const auto names = allNames();
    std::vector<Wave> waves(names.size());
    for (size_t i = 0; i < names.size(); ++i) ASSERT_TRUE(readWave(path(names[i]), waves[i])) << names[i];
    for (size_t i = 0; i < names.size(); ++i)
        for (size_t j = i + 1; j < names.size(); ++j)
            EXPECT_NE(waves[i].samples, waves[j].samples) << names[i] << " = " << names[j];
}

// The generated file reaches the output device sample for sample.
TEST(SoundFiles, GeneratedBeepPlaysThroughThePlayer)
{
    TestAudioDevices audio;
    std::string why;
    ASSERT_TRUE(audio.start({}, &why)) << why;
    Wave beep;
    ASSERT_TRUE(readWave(path("Beep.wav"), beep));
    setSoundFolders({QString::fromUtf8(QUILLON_BUILT_SOUNDS_DIR)});
    {
        auto player = makePortAudioSoundPlayer();
        player->play("Beep.wav", SoundMode::Sync);
    }
    setSoundFolders({});
    EXPECT_GE(findSamples(audio.played(), beep.samples, 0), 0);
}
