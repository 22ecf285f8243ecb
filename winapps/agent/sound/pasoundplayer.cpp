// The product sound player: files decoded with libsndfile, played with
// PortAudio's blocking writes on the default output device by one playback
// thread. Callers only post a request (Sync callers then wait for its end),
// so the user-interface thread never waits on the device for Async sounds.
//
// The thread writes in short chunks and looks for a newer request between
// them; a newer request aborts the stream, which drops what is still
// buffered, so a replaced or stopped sound ends at once. A sound that plays
// to its end is followed by silence covering the device buffer and 50 ms
// more before the stream stops, because stopping drops the buffer rather
// than draining it.
#include "soundplayer.h"

#include "wavedev.h"

#include <portaudio.h>
#include <sndfile.h>

#include <QFile>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

// Limits for a file read from disk: anything beyond is refused, not played.
constexpr int kMaxChannels = 8;
constexpr int kMinRate = 1000;
constexpr int kMaxRate = 192000;
constexpr double kMaxSeconds = 60.0;

constexpr int kChunkMs = 20;           // between two looks for a newer request
constexpr int kTailMs = 50;            // silence past the device buffer
constexpr double kLatency = 0.1;       // device buffer asked for, seconds
// A Sync caller gives up this long after the sound should have ended, or
// after asking if the sound has not even started (the back end's first
// start-up included): a stalled device must not freeze the window for ever.
constexpr auto kSyncGrace = std::chrono::seconds(3);
constexpr auto kStartGrace = std::chrono::seconds(10);

struct Sound {
    int rate = 0;
    int channels = 0;
    std::vector<int16_t> samples;   // interleaved
    long frames() const { return channels ? static_cast<long>(samples.size()) / channels : 0; }
};

// Decodes a whole file; on failure returns false with the reason.
bool loadSound(const QString& path, Sound& out, QString& why)
{
    SF_INFO info{};
    SNDFILE* f = sf_open(QFile::encodeName(path).constData(), SFM_READ, &info);
    if (!f) {
        why = QString::fromUtf8(sf_strerror(nullptr));
        return false;
    }
    bool ok = false;
    if (info.channels < 1 || info.channels > kMaxChannels) why = QStringLiteral("unsupported channel count");
    else if (info.samplerate < kMinRate || info.samplerate > kMaxRate) why = QStringLiteral("unsupported sample rate");
    else if (info.frames <= 0) why = QStringLiteral("no samples");
    else if (info.frames > static_cast<sf_count_t>(kMaxSeconds * info.samplerate)) why = QStringLiteral("too long");
    else {
        out.rate = info.samplerate;
        out.channels = info.channels;
        out.samples.assign(static_cast<size_t>(info.frames) * info.channels, 0);
        const sf_count_t got = sf_readf_short(f, out.samples.data(), info.frames);
        if (got <= 0) why = QStringLiteral("no samples could be read");
        else {
            out.samples.resize(static_cast<size_t>(got) * info.channels);
            ok = true;
        }
    }
    sf_close(f);
    return ok;
}

bool audioDisabled()
{
    const char* sel = std::getenv("QUILLON_AUDIO");
    return sel && std::strcmp(sel, "none") == 0;
}

class PaSoundPlayer : public SoundPlayer {
public:
    PaSoundPlayer();
    ~PaSoundPlayer() override;

    void play(const QString& fileName, SoundMode mode) override;
    void stop() override;

private:
    struct Request {
        uint64_t seq = 0;
        bool stop = false;
        QString name;
        SoundMode mode = SoundMode::Async;
    };
    enum class End { Played, Replaced, Failed };

    void run();
    void handle(const Request& r);
    End playSound(const Sound& s, bool loop, uint64_t seq);
    bool writeFrames(const int16_t* data, long frames, uint64_t seq, End& end);
    bool openStream(int rate, int channels);
    void abortStream();
    void closeStream();
    bool replaced(uint64_t seq) const { return latest_.load(std::memory_order_acquire) != seq; }
    void finish(uint64_t seq);
    void logOncePerName(const QString& name, const QString& line);

    // Requests: only the newest one waiting matters (it replaces the others).
    std::mutex lock_;
    std::condition_variable cv_;
    std::optional<Request> pending_;
    uint64_t nextSeq_ = 0;
    uint64_t finished_ = 0;          // every request up to this one is over
    uint64_t active_ = 0;            // request being played and its expected end
    Clock::time_point activeEnd_{};
    bool quit_ = false;
    std::atomic<uint64_t> latest_{0};

    // Playback thread only.
    bool backend_ = false;
    PaStream* stream_ = nullptr;
    bool running_ = false;
    int streamRate_ = 0;
    int streamChannels_ = 0;
    long tailFrames_ = 0;
    bool deviceLogged_ = false;
    std::set<QString> loggedNames_;
    std::vector<int16_t> silence_;

    std::thread thread_;
};

PaSoundPlayer::PaSoundPlayer()
{
    thread_ = std::thread([this] { run(); });
}

PaSoundPlayer::~PaSoundPlayer()
{
    {
        std::lock_guard<std::mutex> g(lock_);
        quit_ = true;
        latest_.store(0, std::memory_order_release);   // whatever plays counts as replaced
    }
    cv_.notify_all();
    if (thread_.joinable()) thread_.join();
}

void PaSoundPlayer::play(const QString& fileName, SoundMode mode)
{
    std::unique_lock<std::mutex> g(lock_);
    if (quit_) return;
    const uint64_t seq = ++nextSeq_;
    pending_ = Request{seq, false, fileName, mode};
    latest_.store(seq, std::memory_order_release);
    cv_.notify_all();
    if (mode != SoundMode::Sync) return;

    // Wait for the end, bounded as above.
    const auto asked = Clock::now();
    while (finished_ < seq && !quit_) {
        const auto deadline = active_ == seq ? activeEnd_ + kSyncGrace : asked + kStartGrace;
        if (Clock::now() >= deadline) {
            g.unlock();
            soundLog(QStringLiteral("sound %1 did not end in time").arg(fileName));
            return;
        }
        cv_.wait_until(g, deadline);
    }
}

void PaSoundPlayer::stop()
{
    std::lock_guard<std::mutex> g(lock_);
    if (quit_) return;
    const uint64_t seq = ++nextSeq_;
    pending_ = Request{seq, true, QString(), SoundMode::Async};
    latest_.store(seq, std::memory_order_release);
    cv_.notify_all();
}

void PaSoundPlayer::finish(uint64_t seq)
{
    {
        std::lock_guard<std::mutex> g(lock_);
        finished_ = std::max(finished_, seq);
    }
    cv_.notify_all();
}

void PaSoundPlayer::run()
{
    backend_ = !audioDisabled() && waveBackendAcquire();
    for (;;) {
        Request r;
        {
            std::unique_lock<std::mutex> g(lock_);
            cv_.wait(g, [&] { return quit_ || pending_.has_value(); });
            if (quit_) break;
            r = *pending_;
            pending_.reset();
            // Requests replaced before they started are over too.
            finished_ = std::max(finished_, r.seq - 1);
        }
        cv_.notify_all();
        handle(r);
        finish(r.seq);
    }
    closeStream();
    if (backend_) waveBackendRelease();
    std::lock_guard<std::mutex> g(lock_);
    finished_ = nextSeq_;
    cv_.notify_all();
}

void PaSoundPlayer::logOncePerName(const QString& name, const QString& line)
{
    if (loggedNames_.insert(name).second) soundLog(line);
}

void PaSoundPlayer::handle(const Request& r)
{
    // Any request ends the sound in progress, even one whose file is missing.
    abortStream();
    if (r.stop) {
        closeStream();
        return;
    }
    const QString path = findSoundFile(r.name);
    if (path.isEmpty()) {
        closeStream();
        logOncePerName(r.name, QStringLiteral("sound file %1 not found in %2")
                                   .arg(r.name, soundFolders().join(QStringLiteral(", "))));
        return;
    }
    Sound s;
    QString why;
    if (!loadSound(path, s, why)) {
        closeStream();
        logOncePerName(r.name, QStringLiteral("sound file %1 cannot be played: %2").arg(path, why));
        return;
    }
    if (!backend_) return;
    if (!openStream(s.rate, s.channels)) {
        closeStream();
        return;
    }
    const End end = playSound(s, r.mode == SoundMode::AsyncLoop, r.seq);
    if (end == End::Replaced) {
        abortStream();   // the next request decides whether the stream stays
    } else {
        closeStream();
    }
}

bool PaSoundPlayer::openStream(int rate, int channels)
{
    if (stream_ && (rate != streamRate_ || channels != streamChannels_)) closeStream();
    if (!stream_) {
        const PaDeviceIndex dev = Pa_GetDefaultOutputDevice();
        const PaDeviceInfo* info = dev == paNoDevice ? nullptr : Pa_GetDeviceInfo(dev);
        PaError e = paInvalidDevice;
        if (info) {
            PaStreamParameters p{};
            p.device = dev;
            p.channelCount = channels;
            p.sampleFormat = paInt16;
            p.suggestedLatency = std::max(info->defaultHighOutputLatency, kLatency);
            auto guard = waveBackendOpenCloseGuard();
            e = Pa_OpenStream(&stream_, nullptr, &p, rate,
                              static_cast<unsigned long>(rate * kChunkMs / 1000), paClipOff, nullptr,
                              nullptr);
            if (e != paNoError) stream_ = nullptr;
        }
        if (!stream_) {
            if (!deviceLogged_) {
                deviceLogged_ = true;
                soundLog(QStringLiteral("no sound: the output device cannot be opened (%1)")
                             .arg(QString::fromUtf8(Pa_GetErrorText(e))));
            }
            return false;
        }
        deviceLogged_ = false;
        streamRate_ = rate;
        streamChannels_ = channels;
        const PaStreamInfo* si = Pa_GetStreamInfo(stream_);
        const double buffered = si ? si->outputLatency : kLatency;
        tailFrames_ = static_cast<long>((buffered + kTailMs / 1000.0) * rate) + 1;
        silence_.assign(static_cast<size_t>(rate * kChunkMs / 1000) * channels, 0);
    }
    if (!running_) {
        if (Pa_StartStream(stream_) != paNoError) {
            soundLog(QStringLiteral("no sound: the output stream does not start"));
            return false;
        }
        running_ = true;
    }
    return true;
}

void PaSoundPlayer::abortStream()
{
    if (stream_ && running_) Pa_AbortStream(stream_);
    running_ = false;
}

void PaSoundPlayer::closeStream()
{
    abortStream();
    if (!stream_) return;
    auto guard = waveBackendOpenCloseGuard();
    Pa_CloseStream(stream_);
    stream_ = nullptr;
    streamRate_ = streamChannels_ = 0;
}

// Writes frames in chunks; false when it stopped early (end says why).
bool PaSoundPlayer::writeFrames(const int16_t* data, long frames, uint64_t seq, End& end)
{
    const long chunk = streamRate_ * kChunkMs / 1000;
    long done = 0;
    while (done < frames) {
        if (replaced(seq)) {
            end = End::Replaced;
            return false;
        }
        const long n = std::min(chunk, frames - done);
        const PaError e = Pa_WriteStream(stream_, data ? data + done * streamChannels_ : silence_.data(), n);
        // An underflow only means the device ran dry for a moment.
        if (e != paNoError && e != paOutputUnderflowed) {
            soundLog(QStringLiteral("sound output failed: %1").arg(QString::fromUtf8(Pa_GetErrorText(e))));
            end = End::Failed;
            return false;
        }
        done += n;
    }
    return true;
}

PaSoundPlayer::End PaSoundPlayer::playSound(const Sound& s, bool loop, uint64_t seq)
{
    {
        std::lock_guard<std::mutex> g(lock_);
        active_ = seq;
        const double seconds = static_cast<double>(s.frames() + tailFrames_) / s.rate;
        activeEnd_ = Clock::now() + std::chrono::milliseconds(static_cast<long>(seconds * 1000) + 1);
    }
    cv_.notify_all();
    End end = End::Played;
    do {
        if (!writeFrames(s.samples.data(), s.frames(), seq, end)) return end;
    } while (loop);
    if (!writeFrames(nullptr, tailFrames_, seq, end)) return end;
    return End::Played;
}

std::unique_ptr<SoundPlayer> g_product;
std::once_flag g_productOnce;

}  // namespace

std::unique_ptr<SoundPlayer> makePortAudioSoundPlayer()
{
    return std::make_unique<PaSoundPlayer>();
}

void installProductSoundPlayer()
{
    std::call_once(g_productOnce, [] {
        g_product = makePortAudioSoundPlayer();
        // At exit the window can no longer play through it; the player stops
        // its sound and its thread ends before the audio back end goes.
        std::atexit([] {
            setSoundPlayer(nullptr);
            g_product.reset();
        });
    });
    setSoundPlayer(g_product.get());
}
