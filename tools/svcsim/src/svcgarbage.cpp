// Garbage from the service: the seeded frame generator and the run that
// sends its frames in batches, checking after each batch with a marked
// KEEP_ALIVE that the client still reads the stream in step.
#include "svcgarbage.h"

#include <algorithm>
#include <cstdarg>
#include <chrono>
#include <cstring>

#include "capxmsgcoder.h"
#include "svcsim.h"

namespace {

// Messages the client takes with any contents while logged in and idle:
// answered (KEEP_ALIVE, HO_EVENT), counted (DATA_ACK), shown (MESSAGE, in the
// notice box), ignored outside a call (CONTROL), or not the console's at all.
constexpr uint8_t kContentIds[] = {
    CAPX_ASSIGN_REQ, CAPX_ASSIGN_FAIL, CAPX_CONTROL, CAPX_DATA, CAPX_RELEASE_COMPLETE, CAPX_LOGIN,
    CAPX_LOGOUT, CAPX_AGENT_STATE, CAPX_KEEP_ALIVE, CAPX_KEEP_ALIVE_ACK, CAPX_VOIP_SETUP_COMPLETE,
    CAPX_CHANGE_PASSWD, CAPX_CONTROL_AGENT_ADD, CAPX_CONTROL_AGENT_MOD, CAPX_CONTROL_AGENT_MOD_ACK,
    CAPX_CONTROL_AGENT_DEL, CAPX_CONTROL_AGENT_DEL_ACK, CAPX_GET_AGENT_INFO, CAPX_GET_AGENT_INFO_ACK,
    CAPX_MONITORING, CAPX_PERIODIC_REPORT, CAPX_MESSAGE, CAPX_GET_GROUP_INFO, CAPX_GET_GROUP_INFO_ACK,
    CAPX_DATA_ACK, CAPX_HO_EVENT, CAPX_CT_ITEM_LIST_GET, CAPX_CT_ITEM_LIST_GET_RESULT, CAPX_CT_START,
    CAPX_CT_START_ACK, CAPX_CT_STOP, CAPX_CT_STOP_ACK, CAPX_CT_RESULT, CAPX_CA_SVC_STATE, CAPX_CONTROL_AGENT,
    CAPX_CONTROL_AGENT_ACK, CAPX_CONTROL_AVOID_CA_PAUSE, CAPX_CONTROL_AVOID_CA_PAUSE_ACK, CAPX_CALL_INFO,
    CAPX_CALL_EVENT, CAPX_CALL_RESULT, CAPX_CALL_REPORT};

// Shares of each kind, per thousand frames.
constexpr int kWeights[] = {1, 80, 20, 40, 200, 200, 200, 259};
static_assert(sizeof kWeights / sizeof kWeights[0] == static_cast<int>(GarbageKind::Count));

// The marker of the check keep-alives: no random KEEP_ALIVE carries it (the
// generator never sends this second value).
constexpr uint32_t kMarkSec = 0xC0DEC0DEu;

void setLength(std::vector<uint8_t>& f, size_t L)
{
    f[0] = static_cast<uint8_t>(L >> 8);
    f[1] = static_cast<uint8_t>(L);
}

}  // namespace

const char* garbageKindName(GarbageKind kind)
{
    switch (kind) {
    case GarbageKind::EmptyLength: return "empty length";
    case GarbageKind::BelowHeader: return "below header";
    case GarbageKind::MaxLength: return "maximum length";
    case GarbageKind::OverMax: return "above maximum";
    case GarbageKind::UnknownId: return "unknown id";
    case GarbageKind::Truncated: return "truncated";
    case GarbageKind::Mutated: return "mutated";
    case GarbageKind::RandomFields: return "random fields";
    case GarbageKind::Count: break;
    }
    return "?";
}

bool garbageContentId(int id)
{
    return std::find(std::begin(kContentIds), std::end(kContentIds), id) != std::end(kContentIds);
}

int GarbageGen::contentId() { return kContentIds[below(sizeof kContentIds)]; }

// A valid frame of message id with random field values, scrambled with key.
std::vector<uint8_t> GarbageGen::validFrame(int id, uint8_t key)
{
    CapxMsg m;
    auto* raw = reinterpret_cast<uint8_t*>(&m);
    for (size_t i = 0; i < sizeof m; ++i) raw[i] = static_cast<uint8_t>(rng_());
    m.msgId = static_cast<uint8_t>(id);
    if (id == CAPX_KEEP_ALIVE && m.keepAlive.svrTxStampSec == kMarkSec) m.keepAlive.svrTxStampSec = 0;
    // Strings end somewhere inside their fields, as they would in a record.
    std::vector<uint8_t> f(CAPX_MAX_FRAME_LEN);
    int n = capxEncodeMsgEx(&m, f.data(), CAPX_MAX_FRAME_LEN, 0, 0, nullptr);
    if (n <= 0) {
        f.assign({0, 1, static_cast<uint8_t>(id)});
        n = 3;
    }
    f.resize(static_cast<size_t>(n));
    capxLinkKeySvrTx(f.data(), n, key);
    return f;
}

GarbageFrame GarbageGen::next(uint8_t key)
{
    int r = static_cast<int>(below(1000));
    int k = 0;
    while (k < static_cast<int>(GarbageKind::Count) - 1 && r >= kWeights[k]) r -= kWeights[k++];
    return make(static_cast<GarbageKind>(k), key);
}

GarbageFrame GarbageGen::make(GarbageKind kind, uint8_t key)
{
    GarbageFrame g;
    g.kind = kind;
    std::vector<uint8_t>& f = g.bytes;
    auto randomBody = [&](size_t L, int id) {
        f.assign(2 + L, 0);
        setLength(f, L);
        for (size_t i = 3; i < f.size(); ++i) f[i] = static_cast<uint8_t>(rng_());
        if (L > 0) f[2] = static_cast<uint8_t>(id);
    };
    auto unknownId = [&]() -> int {
        const uint32_t r = below(206);  // 0, 21, 52 .. 255
        return r == 0 ? 0 : r == 1 ? 21 : static_cast<int>(50 + r);
    };
    switch (kind) {
    case GarbageKind::EmptyLength:
        f = {0, 0};
        g.closesLink = true;
        break;
    case GarbageKind::BelowHeader: {
        g.id = contentId();
        randomBody(1 + below(2), g.id);
        break;
    }
    case GarbageKind::MaxLength:
        g.id = below(2) == 0 ? unknownId() : contentId();
        randomBody(CAPX_MAX_BODY_LEN, g.id);
        break;
    case GarbageKind::OverMax: {
        const uint32_t pick = below(4);
        const size_t L = pick < 2 ? CAPX_MAX_BODY_LEN + 1 : pick == 2 ? 65535 : CAPX_MAX_BODY_LEN + 1 + below(61438);
        g.id = static_cast<int>(below(256));
        randomBody(L, g.id);
        break;
    }
    case GarbageKind::UnknownId:
        g.id = unknownId();
        randomBody(1 + below(600), g.id);
        break;
    case GarbageKind::Truncated: {
        g.id = contentId();
        f = validFrame(g.id, key);
        const size_t L = f.size() - 2;
        if (L > 1) {
            const size_t cut = 1 + below(static_cast<uint32_t>(L - 1));
            f.resize(2 + cut);
            setLength(f, cut);
        }
        break;
    }
    case GarbageKind::Mutated: {
        g.id = contentId();
        f = validFrame(g.id, key);
        if (f.size() > 3) {
            const int changes = 1 + static_cast<int>(below(8));
            for (int i = 0; i < changes; ++i) f[3 + below(static_cast<uint32_t>(f.size() - 3))] ^= static_cast<uint8_t>(1 + below(255));
        }
        break;
    }
    case GarbageKind::RandomFields:
    case GarbageKind::Count:
        g.kind = GarbageKind::RandomFields;
        g.id = contentId();
        f = validFrame(g.id, key);
        break;
    }
    return g;
}

// ---- the run ---------------------------------------------------------------------------

namespace {

using Clock = std::chrono::steady_clock;

void logLine(FILE* log, const char* fmt, ...) __attribute__((format(printf, 2, 3)));
void logLine(FILE* log, const char* fmt, ...)
{
    if (log == nullptr) return;
    va_list ap;
    va_start(ap, fmt);
    std::fputs("svcsim: garbage: ", log);
    std::vfprintf(log, fmt, ap);
    std::fputc('\n', log);
    std::fflush(log);
    va_end(ap);
}

// Waits until the client is connected and logged in on its latest
// connection; returns that connection or 0.
int waitLoggedIn(SvcSim& sim, int afterConn, int timeoutMs)
{
    const auto until = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (Clock::now() < until) {
        const int c = sim.connections();
        if (c > afterConn && sim.connected() && sim.loginConnection() == c) return c;
        sim.waitFor([](const std::vector<SvcSimFrame>&) { return false; }, 20);
    }
    return 0;
}

}  // namespace

GarbageReport svcGarbageRun(SvcSim& sim, const GarbageConfig& cfg)
{
    GarbageReport rep;
    GarbageGen gen(cfg.seed);
    int conn = waitLoggedIn(sim, 0, cfg.loginMs);
    if (conn == 0) {
        rep.notes.push_back("no logged-in client");
        return rep;
    }
    uint32_t mark = 0;
    // One frame with an empty length in the middle of every run, whatever the
    // draw: the way back after a closed link is part of what is shown.
    const int forcedEmptyAt = cfg.frames / 2;
    while (rep.frames < cfg.frames) {
        if (cfg.stop && cfg.stop()) {
            rep.notes.push_back("stopped");
            return rep;
        }
        bool closing = false;
        for (int b = 0; b < cfg.batch && rep.frames < cfg.frames; ++b) {
            GarbageFrame g = rep.frames == forcedEmptyAt ? gen.make(GarbageKind::EmptyLength, 0) : gen.next(sim.linkKey());
            if (sim.sendRaw(g.bytes) != 0) break;  // the link went: the check below says why
            ++rep.frames;
            ++rep.byKind[static_cast<int>(g.kind)];
            if (g.closesLink) {
                closing = true;
                break;
            }
        }
        if (!closing) {
            // In step: a marked KEEP_ALIVE is answered with its marker.
            const size_t from = sim.frameCount();
            CapxMsg ka;
            std::memset(static_cast<void*>(&ka), 0, sizeof ka);
            ka.msgId = CAPX_KEEP_ALIVE;
            ka.keepAlive.svrTxStampSec = kMarkSec;
            ka.keepAlive.svrTxStampUsec = ++mark;
            ka.keepAlive.curCaCount = 1;
            sim.send(ka);
            const bool answered = sim.waitFor(
                [&](const std::vector<SvcSimFrame>& fs) {
                    for (size_t i = from; i < fs.size(); ++i)
                        if (fs[i].id == CAPX_KEEP_ALIVE_ACK && fs[i].msg.keepAliveAck.svrTxStampSec == kMarkSec &&
                            fs[i].msg.keepAliveAck.svrTxStampUsec == mark)
                            return true;
                    return false;
                },
                cfg.checkMs);
            if (answered && sim.connections() == conn) {
                ++rep.checks;
                continue;
            }
            if (sim.connections() == conn && sim.connected()) {
                rep.notes.push_back("no answer to the check keep-alive after frame " + std::to_string(rep.frames) +
                                    ": the client is out of step or stuck");
                return rep;
            }
            ++rep.unexpectedCloses;
            rep.notes.push_back("the link ended after frame " + std::to_string(rep.frames) +
                                " without a frame that ends it");
        }
        const int next = waitLoggedIn(sim, conn, cfg.loginMs);
        if (next == 0) {
            rep.notes.push_back("the client did not log in again after frame " + std::to_string(rep.frames));
            return rep;
        }
        ++rep.reconnections;
        logLine(cfg.log, "frame %d ended the link; the client logged in again on connection %d", rep.frames, next);
        conn = next;
    }
    rep.ok = rep.unexpectedCloses == 0;
    return rep;
}
