// The PortAudio sound player through the test audio devices: everything the
// player writes to the default device lands in a raw file, so the tests check
// the file's own samples arrived, in which order, and when playing stopped.
#include <gtest/gtest.h>

#include <sndfile.h>
#include <stdlib.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <chrono>
#include <functional>
#include <mutex>
#include <thread>

#include "audiofixture.h"
#include "soundplayer.h"
#include "wavedev.h"

namespace {

using Clock = std::chrono::steady_clock;
using Samples = std::vector<int16_t>;

constexpr int kRate = 8000;

long msSince(Clock::time_point t)
{
    return static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t).count());
}

bool waitFor(const std::function<bool()>& cond, int timeoutMs)
{
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!cond()) {
        if (Clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

// Samples no other fixture contains, so each sound can be found in the
// recording by itself.
Samples pattern(int n, int start, int step)
{
    Samples v(static_cast<size_t>(n));
    for (int i = 0; i < n; ++i) v[static_cast<size_t>(i)] = static_cast<int16_t>(start + (i * step) % 12000);
    return v;
}

bool writeWav(const QString& path, const Samples& s, int rate = kRate)
{
    SF_INFO info{};
    info.samplerate = rate;
    info.channels = 1;
    info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
    SNDFILE* f = sf_open(QFile::encodeName(path).constData(), SFM_WRITE, &info);
    if (!f) return false;
    const bool ok = sf_writef_short(f, s.data(), static_cast<sf_count_t>(s.size())) ==
                    static_cast<sf_count_t>(s.size());
    sf_close(f);
    return ok;
}

size_t count(const Samples& hay, const Samples& needle)
{
    size_t n = 0;
    Samples rest = hay;
    for (;;) {
        const long at = findSamples(rest, needle, 0);
        if (at < 0) return n;
        ++n;
        rest.erase(rest.begin(), rest.begin() + at + static_cast<long>(needle.size()));
    }
}

class SoundPlayback : public ::testing::Test {
protected:
    void SetUp() override
    {
        std::string why;
        ASSERT_TRUE(audio.start({}, &why)) << why;
        // The player's thread opens the audio back end: after the devices.
        player = makePortAudioSoundPlayer();
        ASSERT_TRUE(dir.isValid());
        ASSERT_TRUE(writeWav(dir.filePath("a.wav"), a));
        ASSERT_TRUE(writeWav(dir.filePath("b.wav"), b));
        ASSERT_TRUE(writeWav(dir.filePath("long.wav"), longer));
        setSoundFolders({dir.path()});
        setSoundLogHook([this](const QString& line) {
            std::lock_guard<std::mutex> g(logLock);
            log << line;
        });
    }
    void TearDown() override
    {
        player.reset();
        setSoundLogHook(nullptr);
        setSoundFolders({});
    }
    QStringList logLines()
    {
        std::lock_guard<std::mutex> g(logLock);
        return log;
    }
    bool played(const Samples& s, int timeoutMs = 5000)
    {
        return waitFor([&] { return findSamples(audio.played(), s, 0) >= 0; }, timeoutMs);
    }
    // Waits until nothing more reaches the device for a while.
    bool playingStops(int timeoutMs = 3000)
    {
        size_t last = audio.played().size();
        auto quietSince = Clock::now();
        return waitFor(
            [&] {
                const size_t now = audio.played().size();
                if (now != last) {
                    last = now;
                    quietSince = Clock::now();
                }
                return msSince(quietSince) >= 400;
            },
            timeoutMs);
    }

    TestAudioDevices audio;
    QTemporaryDir dir;
    const Samples a = pattern(kRate * 3 / 10, 1000, 37);        // 0.3 s
    const Samples b = pattern(kRate / 4, -14000, 53);           // 0.25 s
    const Samples longer = pattern(kRate, 2000, 29);            // 1 s
    std::unique_ptr<SoundPlayer> player;
    std::mutex logLock;
    QStringList log;
};

}  // namespace

TEST_F(SoundPlayback, AsyncReturnsAtOnceAndPlaysTheWholeFile)
{
    const auto t0 = Clock::now();
    player->play("long.wav", SoundMode::Async);
    EXPECT_LT(msSince(t0), 300) << "an asynchronous sound must not wait for the device";
    ASSERT_TRUE(played(longer));
    EXPECT_TRUE(playingStops());
    EXPECT_EQ(count(audio.played(), longer), 1u);
    EXPECT_TRUE(logLines().isEmpty()) << logLines().join('\n').toStdString();
}

TEST_F(SoundPlayback, SyncReturnsWhenTheSoundHasEnded)
{
    const auto t0 = Clock::now();
    player->play("long.wav", SoundMode::Sync);
    const long took = msSince(t0);
    // Everything reached the device before play returned: not early ...
    EXPECT_GE(findSamples(audio.played(), longer, 0), 0);
    EXPECT_GE(took, 1000);
    // ... and late only by the device buffer, the trailing silence and start-up.
    EXPECT_LE(took, 1000 + 1500);

    // Replacing a synchronous sound: the next Sync waits for its own sound only.
    player->play("a.wav", SoundMode::Sync);
    EXPECT_GE(findSamples(audio.played(), a, 0), 0);
}

TEST_F(SoundPlayback, LoopRepeatsUntilStopped)
{
    player->play("a.wav", SoundMode::AsyncLoop);
    // Three whole rounds back to back: the loop restarts without a gap.
    Samples three = a;
    three.insert(three.end(), a.begin(), a.end());
    three.insert(three.end(), a.begin(), a.end());
    ASSERT_TRUE(played(three, 8000));
    player->stop();
    ASSERT_TRUE(playingStops());
    // Nothing after the stop but the last round in progress.
    const Samples rec = audio.played();
    const long first = findSamples(rec, a, 0);
    ASSERT_GE(first, 0);
    EXPECT_LE(count(rec, a), static_cast<size_t>((rec.size() - first) / a.size() + 1));
}

// A looped sound ends promptly whatever comes next: another sound, a file
// that cannot be played, or a stop.
TEST_F(SoundPlayback, NewRequestEndsTheLoopPromptly)
{
    struct Case {
        const char* name;
        std::function<void(SoundPlayer&)> next;
        bool bPlays;
    };
    const Case cases[] = {
        {"another sound", [](SoundPlayer& p) { p.play("b.wav", SoundMode::Async); }, true},
        {"a missing file", [](SoundPlayer& p) { p.play("missing.wav", SoundMode::Async); }, false},
        {"stop", [](SoundPlayer& p) { p.stop(); }, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        player->play("a.wav", SoundMode::AsyncLoop);
        Samples two = a;
        two.insert(two.end(), a.begin(), a.end());
        ASSERT_TRUE(played(two, 8000));
        const size_t atRequest = audio.played().size();
        c.next(*player);
        ASSERT_TRUE(playingStops()) << "the loop goes on";
        const Samples rec = audio.played();
        if (c.bPlays) {
            const long at = findSamples(rec, b, 0);
            ASSERT_GE(at, 0);
            // The new sound starts within a fraction of a round of the loop ...
            EXPECT_LE(static_cast<size_t>(at), atRequest + a.size());
            // ... and no more of the old one follows it.
            const Samples after(rec.begin() + at, rec.end());
            EXPECT_EQ(count(after, a), 0u);
        } else {
            EXPECT_LE(rec.size(), atRequest + a.size());
        }
    }
}

TEST_F(SoundPlayback, FilesThatCannotBePlayedAreLoggedOnceAndSilent)
{
    QFile bad(dir.filePath("bad.wav"));
    ASSERT_TRUE(bad.open(QIODevice::WriteOnly));
    bad.write("RIFF\x10\0\0\0WAVEjunkjunkjunkjunk", 24);
    bad.close();
    QFile empty(dir.filePath("empty.wav"));
    ASSERT_TRUE(empty.open(QIODevice::WriteOnly));
    empty.close();
    ASSERT_TRUE(QDir(dir.path()).mkdir("folder.wav"));

    const char* names[] = {"missing.wav", "bad.wav", "empty.wav", "folder.wav", "../a.wav"};
    for (int round = 0; round < 2; ++round) {
        for (const char* n : names) {
            const auto t0 = Clock::now();
            player->play(n, SoundMode::Sync);
            EXPECT_LT(msSince(t0), 1000) << n;
            player->play(n, SoundMode::Async);
        }
    }
    player->play("a.wav", SoundMode::Sync);   // the player goes on working

    const QStringList lines = logLines();
    EXPECT_EQ(lines.size(), static_cast<int>(std::size(names))) << lines.join('\n').toStdString();
    for (const char* n : names) {
        const QString name = QString::fromUtf8(n);
        EXPECT_EQ(lines.filter(name).size(), 1) << n << "\n" << lines.join('\n').toStdString();
    }
    EXPECT_GE(lines.filter("missing.wav").value(0).indexOf("not found"), 0);
    EXPECT_GE(lines.filter("bad.wav").value(0).indexOf("cannot be played"), 0);
    // Only the good sound reached the device.
    const Samples rec = audio.played();
    EXPECT_EQ(count(rec, a), 1u);
}

TEST_F(SoundPlayback, DestroyingThePlayerStopsALoopAtOnce)
{
    player->play("a.wav", SoundMode::AsyncLoop);
    ASSERT_TRUE(played(a));
    const auto t0 = Clock::now();
    player.reset();
    EXPECT_LT(msSince(t0), 1000);
    EXPECT_TRUE(playingStops());
}

// The voice layer and the player use PortAudio in one process: the player's
// start and end leave the voice layer's back end working.
TEST_F(SoundPlayback, VoiceLayerStillPlaysAfterThePlayerEnds)
{
    player->play("b.wav", SoundMode::Sync);
    EXPECT_GE(findSamples(audio.played(), b, 0), 0);
    player.reset();

    struct Done {
        std::mutex m;
        int n = 0;
    } done;
    auto cb = [](void*, int msg, void* inst, WaveHdr*) {
        auto* d = static_cast<Done*>(inst);
        std::lock_guard<std::mutex> g(d->m);
        if (msg == WOM_DONE) d->n++;
    };
    const WaveFormat fmt{1, kRate, 16, 2, kRate * 2};
    WaveOut* wo = nullptr;
    ASSERT_EQ(waveOutOpen(&wo, WAVE_MAPPER, &fmt, cb, &done), WAVE_OK);
    Samples voice = a;
    WaveHdr h{reinterpret_cast<uint8_t*>(voice.data()), static_cast<uint32_t>(voice.size() * 2), 0, 0, 0};
    ASSERT_EQ(waveOutPrepareHeader(wo, &h), WAVE_OK);
    ASSERT_EQ(waveOutWrite(wo, &h), WAVE_OK);
    EXPECT_TRUE(waitFor(
        [&] {
            std::lock_guard<std::mutex> g(done.m);
            return done.n == 1;
        },
        5000));
    EXPECT_TRUE(played(a));
    EXPECT_EQ(waveOutUnprepareHeader(wo, &h), WAVE_OK);
    EXPECT_EQ(waveOutClose(wo), WAVE_OK);
}

// QUILLON_AUDIO=none: nothing is opened, Sync does not wait, files that
// cannot be played are still reported.
TEST(SoundPlaybackDisabled, NoneIsSilent)
{
    TestAudioDevices audio;
    std::string why;
    ASSERT_TRUE(audio.start({}, &why)) << why;
    setenv("QUILLON_AUDIO", "none", 1);
    QTemporaryDir dir;
    ASSERT_TRUE(writeWav(dir.filePath("a.wav"), pattern(kRate, 1000, 37)));
    setSoundFolders({dir.path()});
    QStringList log;
    std::mutex m;
    setSoundLogHook([&](const QString& line) {
        std::lock_guard<std::mutex> g(m);
        log << line;
    });
    {
        auto player = makePortAudioSoundPlayer();
        const auto t0 = Clock::now();
        player->play("a.wav", SoundMode::Sync);
        player->play("missing.wav", SoundMode::Sync);
        EXPECT_LT(msSince(t0), 500);
        player->play("a.wav", SoundMode::AsyncLoop);
        player->stop();
    }
    EXPECT_TRUE(audio.played().empty());
    // The hook runs under the log's own lock: take it away before reading
    // the lines under m, so the two locks are always taken in one order.
    setSoundLogHook(nullptr);
    std::lock_guard<std::mutex> g(m);
    EXPECT_EQ(log.size(), 1);
    EXPECT_GE(log.value(0).indexOf("missing.wav"), 0);
    setSoundFolders({});
    unsetenv("QUILLON_AUDIO");
}
