// Voice endpoint of the service simulator. It listens for the client's RTP on
// a port of its own (RTCP on the next one), learns the client's address from
// the first packet, then streams 8 kHz mono audio to it as PCMU or G.729,
// one RTP packet per 20 ms, optionally with losses, reordering, duplicates,
// a timestamp jump or an early stop. Everything the client sends is recorded:
// the RTP header fields and raw payload of each packet, the audio decoded
// from them, and the RTCP source descriptions.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

// Faults put on the stream sent to the client, drawn from a seeded random
// sequence so that a run can be repeated. Percentages are per packet.
struct SvcVoiceImpairment {
    int lossPct = 0;           // a packet is not sent
    int reorderPct = 0;        // a packet is held back and sent after the next one
    int dupPct = 0;            // a packet is sent twice
    int tsJumpAtMs = -1;       // from this point of the stream on (ms, -1 never) ...
    int tsJumpMs = 0;          // ... the RTP timestamps run this far ahead
    int stopAfterMs = -1;      // the stream stops here (ms, -1 never); the call goes on
    uint32_t seed = 1;
    int calls = -1;            // the first N streams are impaired; -1 every one
    bool any() const
    {
        return lossPct > 0 || reorderPct > 0 || dupPct > 0 || (tsJumpAtMs >= 0 && tsJumpMs != 0) ||
               stopAfterMs >= 0;
    }
};

// What one stream did: 20 ms frames of audio gone through, packets put on
// the wire, and what the impairment did to them.
struct SvcVoiceStreamStats {
    int frames = 0;
    int packets = 0;
    int lost = 0;
    int reordered = 0;
    int duplicated = 0;
    int jumpedAtMs = -1;       // when the timestamps jumped, from the stream's start
    int stoppedAtMs = -1;      // when the stream was stopped early
    bool impaired = false;
};

struct SvcVoiceConfig {
    std::string bindAddress = "127.0.0.1";
    int port = 0;                 // even RTP port to listen on; 0 picks one
    int payloadType = 0;          // 0 PCMU, other values G.729
    std::vector<int16_t> audio;   // what to stream (8 kHz mono)
    bool loop = false;            // start again at the end of audio
    bool streamAfterFirstPacket = true;   // false: stream only once start...() is called
    SvcVoiceImpairment impair;
};

struct SvcVoicePacket {
    uint8_t payloadType = 0;
    bool marker = false;
    uint16_t seq = 0;
    uint32_t timestamp = 0;
    uint32_t ssrc = 0;
    std::vector<uint8_t> payload;
    std::chrono::steady_clock::time_point at;
};

struct SvcVoiceSdes {
    uint32_t ssrc = 0;
    std::string cname, name, email, phone, loc, tool, note;
};

// Parsers of what arrives from the network: an RTP packet (false when it is
// not RTP version 2 or its lengths do not fit) and the source descriptions
// of a compound RTCP packet.
bool svcVoiceParseRtp(const uint8_t* data, int length, SvcVoicePacket* out);
void svcVoiceParseRtcp(const uint8_t* data, int length, std::vector<SvcVoiceSdes>* out);

// Reads an 8 kHz mono 16-bit .wav (or any format libsndfile converts);
// false with a reason when it is not 8000 Hz mono.
bool svcVoiceReadWav(const std::string& path, std::vector<int16_t>* samples, std::string* error);
bool svcVoiceWriteWav(const std::string& path, const std::vector<int16_t>& samples);

class SvcVoice {
public:
    explicit SvcVoice(SvcVoiceConfig config = {});
    ~SvcVoice();
    SvcVoice(const SvcVoice&) = delete;
    SvcVoice& operator=(const SvcVoice&) = delete;

    // Binds the ports and starts receiving; returns the RTP port or -1.
    int start();
    void stop();
    int port() const { return port_; }
    // Payload type to stream with; takes effect for the next stream.
    void setPayloadType(int payloadType);
    int payloadType();
    const std::string& lastError() const { return lastError_; }

    // Prepares for the next call: ends a running stream and forgets the
    // client's address, which the next call's first packet sets again.
    void newCall();
    // Ends a running stream (as newCall) and streams audio from then on;
    // empty audio streams nothing.
    void setAudio(std::vector<int16_t> audio);
    // Starts streaming to the learned client address (when the configuration
    // does not do so on the first packet).
    void startStreaming();
    // Packets streamed so far, and the time each went out.
    int sentCount();
    std::vector<std::chrono::steady_clock::time_point> sentTimes();
    // The time packet number index (counted over all calls) went out; false
    // while it has not.
    bool sentAt(size_t index, std::chrono::steady_clock::time_point* at);
    bool streamingDone();
    // The running or last stream.
    SvcVoiceStreamStats streamStats();

    std::vector<SvcVoicePacket> packets();
    std::vector<SvcVoiceSdes> sdes();
    // Audio decoded from the received payloads in arrival order (20 ms each).
    std::vector<int16_t> decoded();
    bool waitPackets(size_t n, int timeoutMs);
    bool waitSdes(int timeoutMs);
    void clearRecording();
    // Writes the decoded audio as .wav and the raw payloads as a file of
    // records: 2-byte big-endian length, then the payload.
    bool saveRecording(const std::string& wavPath, const std::string& payloadPath);

private:
    void rtpLoop();
    void rtcpLoop();
    void sendLoop(std::string host, int port, int payloadType, std::vector<int16_t> audio, uint64_t call,
                  SvcVoiceImpairment impair);
    void beginStreaming();
    void joinSenders();

    SvcVoiceConfig cfg_;
    int rtpFd_ = -1;
    int rtcpFd_ = -1;
    int port_ = -1;
    std::string lastError_;
    std::atomic<bool> stopping_{false};
    // Each newCall() starts a new call number; a stream runs only while its
    // call is the current one, so a packet that arrives while a call changes
    // cannot keep an old stream alive.
    std::atomic<uint64_t> call_{0};
    std::thread rtpThread_, rtcpThread_;

    std::mutex mu_;
    std::condition_variable cv_;
    std::vector<SvcVoicePacket> packets_;
    std::vector<SvcVoiceSdes> sdes_;
    std::string peerHost_;
    int peerPort_ = 0;
    bool streaming_ = false;
    bool streamingDone_ = false;
    std::vector<std::chrono::steady_clock::time_point> sent_;
    std::vector<std::thread> senders_;   // stream threads not yet joined
    SvcVoiceStreamStats stats_;
    int streams_ = 0;                     // streams begun, for SvcVoiceImpairment::calls
};

struct SvcSimConfig;
// Wires the endpoint into the service simulator: on each scripted VOIP_SETUP
// the endpoint starts (once), takes the set-up's payload type, and the
// set-up carries the endpoint's address and port.
void svcVoiceAttach(SvcSimConfig& config, SvcVoice* voice);
