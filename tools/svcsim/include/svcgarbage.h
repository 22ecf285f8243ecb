// Garbage from the service: random and mutated frames for a logged-in agent
// client, to show that its receive path neither crashes nor loses step.
// The generator is seeded, so a run can be repeated frame for frame.
//
// What is sent with made-up contents is limited to messages a well-behaved
// client must take while logged in and idle without ending its login,
// starting a call or its voice, or opening a dialog that waits for the
// agent: a refused LOGIN_ACK, LOGOUT_ACK, BROADCAST, ASSIGN_COMPLETE,
// VOIP_SETUP (whose address the voice would go to), RELEASE,
// CHANGE_PASSWD_ACK and CA_SVC_STATE_ACK (the service state the next call
// depends on) are never sent with random contents. Unknown ids and oversized
// frames carry any bytes.
#pragma once

#include <cstdint>
#include <cstdio>
#include <functional>
#include <random>
#include <string>
#include <vector>

class SvcSim;

enum class GarbageKind {
    EmptyLength,   // L = 0: the client treats it as the end of the link
    BelowHeader,   // L = 1 or 2: the id and at most one byte of a message
    MaxLength,     // L = 4096, the largest accepted, random body
    OverMax,       // L above 4096 (4097 .. 65535) with its whole body
    UnknownId,     // an id without a layout (0, 21, 52 .. 255), random body
    Truncated,     // a valid message cut short (L shortened to match)
    Mutated,       // a valid message with a few body bytes changed
    RandomFields,  // a valid message whose fields hold random values
    Count
};

const char* garbageKindName(GarbageKind kind);
// True for the message ids the generator sends with random contents.
bool garbageContentId(int id);

struct GarbageFrame {
    std::vector<uint8_t> bytes;  // the frame as it goes on the wire
    GarbageKind kind = GarbageKind::UnknownId;
    int id = -1;                 // id byte, -1 for an empty length
    bool closesLink = false;     // the client ends the link on it
};

class GarbageGen {
public:
    explicit GarbageGen(uint32_t seed) : rng_(seed) {}
    // The next frame; key is the link key in force (frames of valid
    // messages are scrambled with it as the service would).
    GarbageFrame next(uint8_t key);
    GarbageFrame make(GarbageKind kind, uint8_t key);

private:
    uint32_t below(uint32_t n) { return static_cast<uint32_t>(rng_() % n); }
    int contentId();
    std::vector<uint8_t> validFrame(int id, uint8_t key);
    std::mt19937 rng_;
};

struct GarbageReport {
    int frames = 0;                 // garbage frames sent
    int byKind[static_cast<int>(GarbageKind::Count)] = {};
    int checks = 0;                 // keep-alive round trips that came back in step
    int reconnections = 0;          // new logins after the link ended
    int unexpectedCloses = 0;       // links the client ended on a frame that should not end it
    std::vector<std::string> notes; // what went wrong, one line each
    bool ok = false;
};

struct GarbageConfig {
    int frames = 10000;
    uint32_t seed = 1;
    int batch = 20;                 // frames between two keep-alive checks
    int checkMs = 5000;             // bound for the check's answer
    int loginMs = 20000;            // bound for a login after a close
    FILE* log = stderr;             // progress lines
    std::function<bool()> stop;     // asked between batches
};

// Sends cfg.frames garbage frames to the logged-in client of sim in batches;
// after each batch a KEEP_ALIVE with a marker must be answered with its
// KEEP_ALIVE_ACK (the stream is still in step). After a frame that ends the
// link it waits for the client to come back and log in before going on.
GarbageReport svcGarbageRun(SvcSim& sim, const GarbageConfig& cfg);
