#include "svcvoice.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sndfile.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <random>

#include "voicecodec.h"

namespace {

int bindUdp(const std::string& addr, int port)
{
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(static_cast<uint16_t>(port));
    if (inet_pton(AF_INET, addr.c_str(), &sa.sin_addr) != 1 ||
        bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

// Receives one datagram with the kernel's arrival time (SO_TIMESTAMPNS), so
// that the recorded time does not depend on when this thread got to run.
// The kernel stamps with the wall clock; the result is on the steady clock.
ssize_t recvStamped(int fd, uint8_t* buf, size_t size, sockaddr_in* from,
                    std::chrono::steady_clock::time_point* at)
{
    iovec iov{buf, size};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(timespec))];
    msghdr msg{};
    msg.msg_name = from;
    msg.msg_namelen = sizeof *from;
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    msg.msg_control = control;
    msg.msg_controllen = sizeof control;
    const ssize_t n = recvmsg(fd, &msg, 0);
    const auto steadyNow = std::chrono::steady_clock::now();
    *at = steadyNow;
    if (n <= 0) return n;
    for (cmsghdr* c = CMSG_FIRSTHDR(&msg); c; c = CMSG_NXTHDR(&msg, c)) {
        if (c->cmsg_level != SOL_SOCKET || c->cmsg_type != SCM_TIMESTAMPNS) continue;
        timespec ts{};
        std::memcpy(&ts, CMSG_DATA(c), sizeof ts);
        timespec wall{};
        clock_gettime(CLOCK_REALTIME, &wall);
        const auto waited = std::chrono::nanoseconds((wall.tv_sec - ts.tv_sec) * 1000000000LL + (wall.tv_nsec - ts.tv_nsec));
        if (waited.count() >= 0 && waited < std::chrono::seconds(1))
            *at = steadyNow - std::chrono::duration_cast<std::chrono::steady_clock::duration>(waited);
    }
    return n;
}

}  // namespace

bool svcVoiceParseRtp(const uint8_t* p, int n, SvcVoicePacket* out)
{
    if (n < 12 || (p[0] >> 6) != 2) return false;
    const int cc = p[0] & 0x0F;
    int off = 12 + 4 * cc;
    if (p[0] & 0x10) {                       // header extension
        if (n < off + 4) return false;
        off += 4 + 4 * ((p[off + 2] << 8) | p[off + 3]);
    }
    int end = n;
    if (p[0] & 0x20) end -= p[n - 1];        // padding
    if (off > end) return false;
    out->marker = (p[1] & 0x80) != 0;
    out->payloadType = p[1] & 0x7F;
    out->seq = static_cast<uint16_t>((p[2] << 8) | p[3]);
    out->timestamp = (uint32_t(p[4]) << 24) | (uint32_t(p[5]) << 16) | (uint32_t(p[6]) << 8) | p[7];
    out->ssrc = (uint32_t(p[8]) << 24) | (uint32_t(p[9]) << 16) | (uint32_t(p[10]) << 8) | p[11];
    out->payload.assign(p + off, p + end);
    return true;
}

// Walks a compound RTCP packet for source description chunks.
void svcVoiceParseRtcp(const uint8_t* p, int n, std::vector<SvcVoiceSdes>* out)
{
    int pos = 0;
    while (pos + 4 <= n) {
        const int count = p[pos] & 0x1F;
        const int type = p[pos + 1];
        const int len = 4 * (((p[pos + 2] << 8) | p[pos + 3]) + 1);
        if ((p[pos] >> 6) != 2 || pos + len > n) return;
        if (type == 202) {
            int c = pos + 4;
            for (int i = 0; i < count && c + 4 <= pos + len; ++i) {
                SvcVoiceSdes d;
                d.ssrc = (uint32_t(p[c]) << 24) | (uint32_t(p[c + 1]) << 16) | (uint32_t(p[c + 2]) << 8) | p[c + 3];
                c += 4;
                while (c < pos + len && p[c] != 0) {
                    if (c + 2 > pos + len) break;
                    const int item = p[c], ilen = p[c + 1];
                    if (c + 2 + ilen > pos + len) break;
                    std::string v(reinterpret_cast<const char*>(p + c + 2), ilen);
                    switch (item) {
                    case 1: d.cname = v; break;
                    case 2: d.name = v; break;
                    case 3: d.email = v; break;
                    case 4: d.phone = v; break;
                    case 5: d.loc = v; break;
                    case 6: d.tool = v; break;
                    case 7: d.note = v; break;
                    default: break;
                    }
                    c += 2 + ilen;
                }
                c = (c + 4) & ~3;            // end of chunk: at least one zero, 32-bit aligned
                out->push_back(d);
            }
        }
        pos += len;
    }
}

bool svcVoiceReadWav(const std::string& path, std::vector<int16_t>* samples, std::string* error)
{
    SF_INFO info{};
    SNDFILE* f = sf_open(path.c_str(), SFM_READ, &info);
    if (!f) {
        if (error) *error = "cannot open " + path + ": " + sf_strerror(nullptr);
        return false;
    }
    if (info.samplerate != 8000 || info.channels != 1) {
        if (error) *error = path + " is not 8000 Hz mono";
        sf_close(f);
        return false;
    }
    samples->resize(static_cast<size_t>(info.frames));
    sf_read_short(f, samples->data(), info.frames);
    sf_close(f);
    return true;
}

bool svcVoiceWriteWav(const std::string& path, const std::vector<int16_t>& samples)
{
    SF_INFO info{};
    info.samplerate = 8000;
    info.channels = 1;
    info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
    SNDFILE* f = sf_open(path.c_str(), SFM_WRITE, &info);
    if (!f) return false;
    sf_write_short(f, samples.data(), static_cast<sf_count_t>(samples.size()));
    sf_close(f);
    return true;
}

SvcVoice::SvcVoice(SvcVoiceConfig config) : cfg_(std::move(config)) {}

SvcVoice::~SvcVoice() { stop(); }

int SvcVoice::start()
{
    std::mt19937 rng{std::random_device{}()};
    for (int attempt = 0; attempt < 100 && rtpFd_ < 0; ++attempt) {
        const int port = cfg_.port ? cfg_.port : 20000 + 2 * static_cast<int>(rng() % 20000);
        rtpFd_ = bindUdp(cfg_.bindAddress, port);
        if (rtpFd_ < 0) {
            if (cfg_.port) break;
            continue;
        }
        const int on = 1;
        setsockopt(rtpFd_, SOL_SOCKET, SO_TIMESTAMPNS, &on, sizeof on);
        rtcpFd_ = bindUdp(cfg_.bindAddress, port + 1);
        if (rtcpFd_ < 0) {
            close(rtpFd_);
            rtpFd_ = -1;
            if (cfg_.port) break;
            continue;
        }
        port_ = port;
    }
    if (rtpFd_ < 0) {
        lastError_ = "cannot bind the RTP and RTCP ports";
        return -1;
    }
    stopping_ = false;
    rtpThread_ = std::thread(&SvcVoice::rtpLoop, this);
    rtcpThread_ = std::thread(&SvcVoice::rtcpLoop, this);
    return port_;
}

void SvcVoice::stop()
{
    stopping_ = true;
    if (rtpThread_.joinable()) rtpThread_.join();
    if (rtcpThread_.joinable()) rtcpThread_.join();
    joinSenders();
    if (rtpFd_ >= 0) close(rtpFd_);
    if (rtcpFd_ >= 0) close(rtcpFd_);
    rtpFd_ = rtcpFd_ = -1;
}

void SvcVoice::rtpLoop()
{
    uint8_t buf[2048];
    while (!stopping_) {
        pollfd pfd{rtpFd_, POLLIN, 0};
        if (poll(&pfd, 1, 50) <= 0) continue;
        sockaddr_in from{};
        std::chrono::steady_clock::time_point at;
        const ssize_t n = recvStamped(rtpFd_, buf, sizeof buf, &from, &at);
        if (n <= 0) continue;
        SvcVoicePacket pkt;
        if (!svcVoiceParseRtp(buf, static_cast<int>(n), &pkt)) continue;
        pkt.at = at;
        bool begin = false;
        {
            std::lock_guard<std::mutex> g(mu_);
            packets_.push_back(std::move(pkt));
            if (peerPort_ == 0) {
                char host[INET_ADDRSTRLEN] = {};
                inet_ntop(AF_INET, &from.sin_addr, host, sizeof host);
                peerHost_ = host;
                peerPort_ = ntohs(from.sin_port);
                begin = cfg_.streamAfterFirstPacket;
            }
        }
        cv_.notify_all();
        if (begin) beginStreaming();
    }
}

void SvcVoice::rtcpLoop()
{
    uint8_t buf[2048];
    while (!stopping_) {
        pollfd pfd{rtcpFd_, POLLIN, 0};
        if (poll(&pfd, 1, 50) <= 0) continue;
        const ssize_t n = recv(rtcpFd_, buf, sizeof buf, 0);
        if (n <= 0) continue;
        std::vector<SvcVoiceSdes> found;
        svcVoiceParseRtcp(buf, static_cast<int>(n), &found);
        if (found.empty()) continue;
        {
            std::lock_guard<std::mutex> g(mu_);
            sdes_.insert(sdes_.end(), found.begin(), found.end());
        }
        cv_.notify_all();
    }
}

void SvcVoice::joinSenders()
{
    std::vector<std::thread> done;
    {
        std::lock_guard<std::mutex> g(mu_);
        done.swap(senders_);
    }
    for (auto& t : done)
        if (t.joinable()) t.join();
}

void SvcVoice::newCall()
{
    {
        std::lock_guard<std::mutex> g(mu_);
        ++call_;  // ends the running stream
        peerHost_.clear();
        peerPort_ = 0;
        streaming_ = false;
        streamingDone_ = false;
    }
    joinSenders();
}

void SvcVoice::setAudio(std::vector<int16_t> audio)
{
    {
        std::lock_guard<std::mutex> g(mu_);
        cfg_.audio = std::move(audio);  // each stream works on its own copy
    }
    newCall();
}

void SvcVoice::setPayloadType(int payloadType)
{
    std::lock_guard<std::mutex> g(mu_);
    cfg_.payloadType = payloadType;
}

int SvcVoice::payloadType()
{
    std::lock_guard<std::mutex> g(mu_);
    return cfg_.payloadType;
}

void SvcVoice::startStreaming()
{
    std::unique_lock<std::mutex> g(mu_);
    if (peerPort_ == 0) return;
    g.unlock();
    beginStreaming();
}

void SvcVoice::beginStreaming()
{
    std::lock_guard<std::mutex> g(mu_);
    if (streaming_ || cfg_.audio.empty() || stopping_) return;
    streaming_ = true;
    const bool impaired = cfg_.impair.any() && (cfg_.impair.calls < 0 || streams_ < cfg_.impair.calls);
    ++streams_;
    stats_ = SvcVoiceStreamStats{};
    stats_.impaired = impaired;
    senders_.emplace_back(&SvcVoice::sendLoop, this, peerHost_, peerPort_, cfg_.payloadType, cfg_.audio,
                          call_.load(), impaired ? cfg_.impair : SvcVoiceImpairment{});
}

void SvcVoice::sendLoop(std::string host, int port, int payloadType, std::vector<int16_t> audio, uint64_t call,
                        SvcVoiceImpairment imp)
{
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(static_cast<uint16_t>(port));
    const int fd = bindUdp(cfg_.bindAddress, 0);
    if (fd < 0 || inet_pton(AF_INET, host.c_str(), &to.sin_addr) != 1) {
        if (fd >= 0) close(fd);
        std::lock_guard<std::mutex> g(mu_);
        if (call == call_.load()) streamingDone_ = true;
        cv_.notify_all();
        return;
    }
    std::mt19937 faults(imp.seed);
    auto chance = [&](int pct) { return pct > 0 && static_cast<int>(faults() % 100) < pct; };
    std::random_device rd;
    const uint32_t ssrc = rd();
    uint16_t seq = static_cast<uint16_t>(rd());

    struct Packet {
        uint8_t bytes[12 + VOICE_PCMU_PAYLOAD];
        int length;
    };
    auto put = [&](const Packet& p) {
        sendto(fd, p.bytes, static_cast<size_t>(p.length), 0, reinterpret_cast<const sockaddr*>(&to), sizeof to);
        std::lock_guard<std::mutex> g(mu_);
        sent_.push_back(std::chrono::steady_clock::now());
        stats_.packets++;
    };
    G729Encoder* enc = voiceIsPcmu(payloadType) ? nullptr : g729EncoderCreate();
    const auto t0 = std::chrono::steady_clock::now();
    Packet held{};
    bool holding = false;
    size_t pos = 0;
    for (int k = 0; !stopping_ && call == call_.load(); ++k) {
        if (pos >= audio.size()) {
            if (!cfg_.loop) break;
            pos = 0;
        }
        // One packet per 20 ms of audio, on an absolute schedule.
        std::this_thread::sleep_until(t0 + std::chrono::milliseconds(20 * k));
        const int atMs = 20 * k;
        if (imp.stopAfterMs >= 0 && atMs >= imp.stopAfterMs) {
            std::lock_guard<std::mutex> g(mu_);
            stats_.stoppedAtMs = atMs;
            break;
        }
        int16_t frame[VOICE_FRAME_SAMPLES] = {};
        for (int i = 0; i < VOICE_FRAME_SAMPLES && pos < audio.size(); ++i) frame[i] = audio[pos++];
        Packet p{};
        const int len = voiceEncodePayload(payloadType, enc, frame, p.bytes + 12);
        uint32_t ts = static_cast<uint32_t>(k) * VOICE_TS_STEP;
        if (imp.tsJumpAtMs >= 0 && atMs >= imp.tsJumpAtMs) {
            ts += static_cast<uint32_t>(imp.tsJumpMs) * 8;
            std::lock_guard<std::mutex> g(mu_);
            if (stats_.jumpedAtMs < 0) stats_.jumpedAtMs = atMs;
        }
        p.bytes[0] = 0x80;
        p.bytes[1] = static_cast<uint8_t>((payloadType & 0x7F) | (k == 0 ? 0x80 : 0));
        p.bytes[2] = static_cast<uint8_t>(seq >> 8);
        p.bytes[3] = static_cast<uint8_t>(seq);
        ++seq;   // a lost packet still takes its number, as on a real path
        for (int i = 0; i < 4; ++i) {
            p.bytes[4 + i] = static_cast<uint8_t>(ts >> (24 - 8 * i));
            p.bytes[8 + i] = static_cast<uint8_t>(ssrc >> (24 - 8 * i));
        }
        p.length = 12 + len;
        {
            std::lock_guard<std::mutex> g(mu_);
            stats_.frames++;
        }
        if (chance(imp.lossPct)) {
            std::lock_guard<std::mutex> g(mu_);
            stats_.lost++;
            continue;
        }
        if (holding) {
            put(p);
            put(held);          // the held-back packet arrives after its successor
            holding = false;
        } else if (chance(imp.reorderPct)) {
            held = p;
            holding = true;
            std::lock_guard<std::mutex> g(mu_);
            stats_.reordered++;
            continue;
        } else {
            put(p);
        }
        if (chance(imp.dupPct)) {
            put(p);
            std::lock_guard<std::mutex> g(mu_);
            stats_.duplicated++;
        }
    }
    if (holding) put(held);
    g729EncoderDestroy(enc);
    close(fd);
    std::lock_guard<std::mutex> g(mu_);
    if (call == call_.load()) streamingDone_ = true;
    cv_.notify_all();
}

SvcVoiceStreamStats SvcVoice::streamStats()
{
    std::lock_guard<std::mutex> g(mu_);
    return stats_;
}

int SvcVoice::sentCount()
{
    std::lock_guard<std::mutex> g(mu_);
    return static_cast<int>(sent_.size());
}

std::vector<std::chrono::steady_clock::time_point> SvcVoice::sentTimes()
{
    std::lock_guard<std::mutex> g(mu_);
    return sent_;
}

bool SvcVoice::sentAt(size_t index, std::chrono::steady_clock::time_point* at)
{
    std::lock_guard<std::mutex> g(mu_);
    if (index >= sent_.size()) return false;
    *at = sent_[index];
    return true;
}

bool SvcVoice::streamingDone()
{
    std::lock_guard<std::mutex> g(mu_);
    return streamingDone_;
}

std::vector<SvcVoicePacket> SvcVoice::packets()
{
    std::lock_guard<std::mutex> g(mu_);
    return packets_;
}

std::vector<SvcVoiceSdes> SvcVoice::sdes()
{
    std::lock_guard<std::mutex> g(mu_);
    return sdes_;
}

std::vector<int16_t> SvcVoice::decoded()
{
    const auto pkts = packets();
    std::vector<int16_t> out;
    out.reserve(pkts.size() * VOICE_FRAME_SAMPLES);
    G729Decoder* dec = g729DecoderCreate();
    for (const auto& p : pkts) {
        int16_t frame[VOICE_FRAME_SAMPLES];
        voiceDecodePayload(p.payloadType == 0 ? 0 : p.payloadType, dec, p.payload.data(),
                           static_cast<int>(p.payload.size()), frame);
        out.insert(out.end(), frame, frame + VOICE_FRAME_SAMPLES);
    }
    g729DecoderDestroy(dec);
    return out;
}

bool SvcVoice::waitPackets(size_t n, int timeoutMs)
{
    std::unique_lock<std::mutex> g(mu_);
    return cv_.wait_for(g, std::chrono::milliseconds(timeoutMs), [&] { return packets_.size() >= n; });
}

bool SvcVoice::waitSdes(int timeoutMs)
{
    std::unique_lock<std::mutex> g(mu_);
    return cv_.wait_for(g, std::chrono::milliseconds(timeoutMs), [&] { return !sdes_.empty(); });
}

void SvcVoice::clearRecording()
{
    std::lock_guard<std::mutex> g(mu_);
    packets_.clear();
    sdes_.clear();
}

bool SvcVoice::saveRecording(const std::string& wavPath, const std::string& payloadPath)
{
    bool ok = true;
    if (!wavPath.empty()) ok = svcVoiceWriteWav(wavPath, decoded()) && ok;
    if (!payloadPath.empty()) {
        std::ofstream f(payloadPath, std::ios::binary | std::ios::trunc);
        for (const auto& p : packets()) {
            const uint8_t len[2] = {static_cast<uint8_t>(p.payload.size() >> 8), static_cast<uint8_t>(p.payload.size())};
            f.write(reinterpret_cast<const char*>(len), 2);
            f.write(reinterpret_cast<const char*>(p.payload.data()), static_cast<std::streamsize>(p.payload.size()));
        }
        ok = static_cast<bool>(f) && ok;
    }
    return ok;
}
