// svcsim: the service simulator as a program. Serves one agent client at a
// time and prints every frame it receives.
#include <csignal>
#include <ctime>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <getopt.h>
#include <memory>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

#include "svcgarbage.h"
#include "svcsim.h"
#ifdef SVCSIM_WITH_VOICE
#include "svcvoice.h"
#endif
#ifdef SVCSIM_WITH_PRACTICE
#include "practice.h"
#endif

namespace {

volatile std::sig_atomic_t g_stop = 0;
volatile std::sig_atomic_t g_drop = 0;  // 1: close the client link, 2: close it mid-frame
volatile std::sig_atomic_t g_stall = 0;  // stop reading the client link

void onSignal(int) { g_stop = 1; }
void onDrop(int sig) { g_drop = sig == SIGUSR2 ? 2 : 1; }
void onStall(int) { g_stall = 1; }

long long monotonicMs()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<long long>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

// Link faults on demand: closes the current client connection, after the
// first half of a KEEP_ALIVE frame when mid-frame, and says when on stderr.
void drop(SvcSim& sim, bool midFrame)
{
    const int conn = sim.connections();
    if (!sim.connected()) {
        std::fprintf(stderr, "svcsim: drop asked with no client connected\n");
        return;
    }
    if (midFrame) {
        CapxMsg ka;
        std::memset(&ka, 0, sizeof ka);
        ka.msgId = CAPX_KEEP_ALIVE;
        std::vector<uint8_t> bytes = sim.frameFor(ka);
        bytes.resize(bytes.size() / 2 > 0 ? bytes.size() / 2 : 1);
        sim.sendRaw(bytes);
    }
    // Stamped before the close: a pause of this thread after the close must
    // not make the client's reconnection look sooner than it was.
    const long long at = monotonicMs();
    sim.closeClient();
    std::fprintf(stderr, "svcsim: dropped connection %d at %lld ms%s\n", conn, at, midFrame ? " (mid-frame)" : "");
}

void usage(FILE* out)
{
    std::fprintf(out,
        "usage: svcsim [options]\n"
        "  -p, --port N            listen port (default 33210 + 5 x system type)\n"
        "  -s, --system-type N     system type for the default port (default 0)\n"
        "  -b, --bind ADDR         listen address (default 127.0.0.1)\n"
        "      --result N          LOGIN_ACK result (default 0)\n"
        "      --mode N            LOGIN_ACK login mode (default 0)\n"
        "      --key N             LOGIN_ACK link key eValue (default 0)\n"
        "      --key-reset         start each new connection with link key 0 (default: the\n"
        "                          key of the last accepted login carries over, as in the client)\n"
        "      --message TEXT      LOGIN_ACK message text\n"
        "      --upgrade N         LOGIN_ACK upgradeRequired (default 0)\n"
        "      --user ID           expected login id (plain); with --password\n"
        "      --password PW       expected password (plain); a mismatch answers result 1\n"
        "      --ka-period MS      KEEP_ALIVE period after the login (default 1000, 0 = off)\n"
        "      --ka-count N        KEEP_ALIVE curCaCount (default 1)\n"
        "      --ka-state N        KEEP_ALIVE caState (default 0)\n"
        "      --ka-dnp N          KEEP_ALIVE doNotPause (default 0)\n"
        "      --ack-result N      DATA_ACK result (default 0)\n"
        "      --ack-delay MS      DATA_ACK delay (default 0)\n"
        "      --no-ack            do not acknowledge DATA\n"
        "      --script FILE       scripted call, one step a line:\n"
        "                            at <ms> <MESSAGE TEXT>\n"
        "                            on <MESSAGE NAME> [+<ms>] <MESSAGE TEXT>\n"
        "                          e.g. \"at 2000 BROADCAST availCallCount1st=1\"\n"
        "                               \"on ASSIGN_REQ +100 ASSIGN_COMPLETE cuPhoneNumber=\\\"5551234\\\"\"\n"
        "      --trace FILE        write the received frames to FILE instead of stdout\n"
        "      --trace-times       start each trace line with [<connection> <monotonic ms>]\n"
#ifdef SVCSIM_WITH_VOICE
        "      --voice-wav FILE    on a scripted VOIP_SETUP, stream FILE (8 kHz mono .wav) to the\n"
        "                          client as PCMU or G.729 (the set-up's payload type); the\n"
        "                          set-up carries the voice endpoint's address and port\n"
        "      --voice-record P    at the end write what the client sent: P.wav and P.payloads\n"
        "      --rtp-loss PCT      the voice stream loses PCT %% of its packets\n"
        "      --rtp-reorder PCT   PCT %% of the packets are sent after the packet that follows them\n"
        "      --rtp-dup PCT       PCT %% of the packets are sent twice\n"
        "      --rtp-ts-jump AT:MS from AT ms into the stream, its RTP timestamps run MS ms ahead\n"
        "      --rtp-stop-after MS the stream stops after MS ms; the call goes on\n"
        "      --rtp-seed S        seed of the random losses, reorders and duplicates (default 1)\n"
        "      --rtp-faulty-calls N  only the first N calls' streams are impaired (default: all)\n"
        "                          (with --practice, a line per call gives the stream's figures)\n"
#endif
#ifdef SVCSIM_WITH_PRACTICE
        "      --practice          practice service: accepts any login and, once the agent has\n"
        "                          joined, offers a call every interval while the agent is idle;\n"
        "                          each call plays a practice recording, sends CAP_START when the\n"
        "                          voice starts and RELEASE after it, scores the captions received\n"
        "                          (word accuracy, delay) and prints one line per call\n"
        "      --practice-interval S   seconds between calls (default 20)\n"
        "      --practice-offer S  seconds an offer waits for the answer before it is\n"
        "                          withdrawn (default 8)\n"
        "      --practice-tail S   seconds after the passage before RELEASE (default 3)\n"
        "      --practice-dir DIR  recordings: NAME.wav (8 kHz mono) with NAME.words or NAME.txt\n"
        "                          (default: the recordings made by the build)\n"
        "      --practice-passage NAME  play only the recording NAME\n"
        "      --practice-out DIR  where practice.txt and practice.csv (one line per call) go\n"
        "                          (default $XDG_DATA_HOME/quillon-agent/practice-results,\n"
        "                          else ~/.local/share/quillon-agent/practice-results)\n"
        "      --practice-pt N     payload type of the voice: 0 PCMU (default), 18 G.729\n"
        "      --practice-calls N  exit (status 0) once N calls have been scored\n"
        "                          --voice-wav FILE plays FILE instead (its text from FILE's\n"
        "                          .words or .txt beside it, if any)\n"
#endif
        "      --garbage N         once the agent has logged in and joined, send N random and\n"
        "                          mutated frames (lengths 0, 1-2, 4096, above 4096, unknown\n"
        "                          ids, truncated, mutated and random-valued messages), with a\n"
        "                          marked KEEP_ALIVE after every 20 that must come back; practice\n"
        "                          calls wait until it is over; prints what was sent\n"
        "      --garbage-seed S    seed of the garbage (default 1)\n"
        "      --stop-reading S    on SIGRTMIN stop reading the client link for S seconds\n"
        "                          (default 20): it ends early when the client ends the link or\n"
        "                          connects again, else it is closed; logs the figures\n"
        "      --rcvbuf BYTES      receive buffer of the client connections (SO_RCVBUF)\n"
        "  -h, --help\n"
        "Signals: SIGUSR1 closes the client connection, SIGUSR2 closes it after half a frame\n"
        "(each logged with the connection number and the monotonic time in ms); SIGRTMIN stops\n"
        "reading it (see --stop-reading).\n");
}

int number(const char* s, const char* what)
{
    char* end = nullptr;
    const long v = std::strtol(s, &end, 0);
    if (end == s || *end != '\0') {
        std::fprintf(stderr, "svcsim: %s: not a number: %s\n", what, s);
        std::exit(2);
    }
    return static_cast<int>(v);
}

int percent(const char* s, const char* what)
{
    const int v = number(s, what);
    if (v < 0 || v > 100) {
        std::fprintf(stderr, "svcsim: %s: a percentage 0..100, not %s\n", what, s);
        std::exit(2);
    }
    return v;
}

#ifdef SVCSIM_WITH_PRACTICE
int seconds(const char* s, const char* what)
{
    char* end = nullptr;
    const double v = std::strtod(s, &end);
    if (end == s || *end != '\0' || !(v >= 0) || v > 86400) {
        std::fprintf(stderr, "svcsim: %s: not a number of seconds: %s\n", what, s);
        std::exit(2);
    }
    return static_cast<int>(v * 1000);
}

std::string exeDir()
{
    std::error_code ec;
    const auto p = std::filesystem::read_symlink("/proc/self/exe", ec);
    return ec ? std::string() : p.parent_path().string();
}

std::string defaultResultsDir()
{
    const char* xdg = std::getenv("XDG_DATA_HOME");
    if (xdg != nullptr && xdg[0] == '/') return std::string(xdg) + "/quillon-agent/practice-results";
    const char* home = std::getenv("HOME");
    if (home != nullptr && home[0] == '/') return std::string(home) + "/.local/share/quillon-agent/practice-results";
    return "/tmp/quillon-agent-practice-results";
}

// The recordings: --voice-wav, --practice-dir, or the first folder of the
// installed program and the build tree that holds any.
bool loadPractice(const std::string& voiceWav, const std::string& dir, const std::string& only,
                  std::vector<PracticePassage>* passages, std::string* from)
{
    std::string err;
    if (!voiceWav.empty()) {
        PracticePassage p;
        if (!practiceLoadPassage(voiceWav, &p, &err)) {
            std::fprintf(stderr, "svcsim: %s\n", err.c_str());
            return false;
        }
        passages->push_back(std::move(p));
        *from = voiceWav;
        return true;
    }
    std::vector<std::string> dirs;
    if (!dir.empty()) dirs.push_back(dir);
    else dirs = {exeDir() + "/" SVCSIM_PRACTICE_REL_DIR, SVCSIM_PRACTICE_BUILD_DIR};
    for (const auto& d : dirs) {
        std::error_code ec;
        if (dir.empty() && !std::filesystem::is_directory(d, ec)) continue;
        if (!practiceLoadDir(d, passages, &err)) {
            if (!dir.empty() || err.find("no practice recordings") == std::string::npos) {
                std::fprintf(stderr, "svcsim: %s\n", err.c_str());
                return false;
            }
            continue;
        }
        *from = std::filesystem::weakly_canonical(d, ec).string();
        break;
    }
    if (passages->empty()) {
        std::fprintf(stderr,
                     "svcsim: no practice recordings are installed (looked in %s). The build makes them when\n"
                     "        espeak-ng and sox are installed (bash scripts/setup.sh); or give your own with\n"
                     "        --voice-wav FILE or --practice-dir DIR.\n",
                     dir.empty() ? (dirs[0] + " and " + dirs[1]).c_str() : dir.c_str());
        return false;
    }
    if (!only.empty()) {
        std::vector<PracticePassage> kept;
        for (auto& p : *passages)
            if (p.name == only) kept.push_back(std::move(p));
        if (kept.empty()) {
            std::fprintf(stderr, "svcsim: no practice recording named %s in %s\n", only.c_str(), from->c_str());
            return false;
        }
        *passages = std::move(kept);
    }
    return true;
}
#endif

}  // namespace

int main(int argc, char** argv)
{
    SvcSimConfig cfg;
    // The desk program expects a keep-alive within every 1500 ms.
    cfg.keepAlivePeriodMs = 1000;
    cfg.kaCurCaCount = 1;
    int systemType = 0;
    int port = -1;
    std::string traceFile;
    enum {
        O_RESULT = 1000, O_MODE, O_KEY, O_MESSAGE, O_UPGRADE, O_USER, O_PASSWORD, O_KA_PERIOD, O_KA_COUNT,
        O_KA_STATE, O_KA_DNP, O_ACK_RESULT, O_ACK_DELAY, O_NO_ACK, O_SCRIPT, O_TRACE, O_VOICE_WAV,
        O_VOICE_RECORD, O_TRACE_TIMES, O_PRACTICE, O_PR_INTERVAL, O_PR_OFFER, O_PR_TAIL, O_PR_DIR, O_PR_PASSAGE, O_PR_OUT, O_PR_PT,
        O_PR_CALLS, O_KEY_RESET, O_GARBAGE, O_GARBAGE_SEED, O_STOP_READING, O_RCVBUF
    };
    // Voice stream faults (their own range, apart from the options above).
    enum { O_RTP_LOSS = 2000, O_RTP_REORDER, O_RTP_DUP, O_RTP_TS_JUMP, O_RTP_STOP_AFTER, O_RTP_SEED, O_RTP_CALLS };
    int rtpLoss = 0, rtpReorder = 0, rtpDup = 0, rtpJumpAt = -1, rtpJumpMs = 0, rtpStopAfter = -1, rtpCalls = -1;
    uint32_t rtpSeed = 1;
    bool practice = false;
    int garbageFrames = 0;
    uint32_t garbageSeed = 1;
    int stallMs = 20000;
    int prInterval = 20000, prOffer = 8000, prTail = 3000, prPt = 0, prCalls = 0;
    std::string prDir, prPassage, prOut;
    std::string voiceWav, voiceRecord;
    static const option opts[] = {
        {"port", required_argument, nullptr, 'p'},       {"system-type", required_argument, nullptr, 's'},
        {"bind", required_argument, nullptr, 'b'},       {"result", required_argument, nullptr, O_RESULT},
        {"mode", required_argument, nullptr, O_MODE},    {"key", required_argument, nullptr, O_KEY},
        {"message", required_argument, nullptr, O_MESSAGE}, {"upgrade", required_argument, nullptr, O_UPGRADE},
        {"user", required_argument, nullptr, O_USER},    {"password", required_argument, nullptr, O_PASSWORD},
        {"ka-period", required_argument, nullptr, O_KA_PERIOD}, {"ka-count", required_argument, nullptr, O_KA_COUNT},
        {"ka-state", required_argument, nullptr, O_KA_STATE}, {"ka-dnp", required_argument, nullptr, O_KA_DNP},
        {"ack-result", required_argument, nullptr, O_ACK_RESULT}, {"ack-delay", required_argument, nullptr, O_ACK_DELAY},
        {"no-ack", no_argument, nullptr, O_NO_ACK},      {"script", required_argument, nullptr, O_SCRIPT},
        {"trace", required_argument, nullptr, O_TRACE},  {"help", no_argument, nullptr, 'h'},
        {"trace-times", no_argument, nullptr, O_TRACE_TIMES},
        {"voice-wav", required_argument, nullptr, O_VOICE_WAV},
        {"voice-record", required_argument, nullptr, O_VOICE_RECORD},
        {"rtp-loss", required_argument, nullptr, O_RTP_LOSS},
        {"rtp-reorder", required_argument, nullptr, O_RTP_REORDER},
        {"rtp-dup", required_argument, nullptr, O_RTP_DUP},
        {"rtp-ts-jump", required_argument, nullptr, O_RTP_TS_JUMP},
        {"rtp-stop-after", required_argument, nullptr, O_RTP_STOP_AFTER},
        {"rtp-seed", required_argument, nullptr, O_RTP_SEED},
        {"rtp-faulty-calls", required_argument, nullptr, O_RTP_CALLS},
        {"practice", no_argument, nullptr, O_PRACTICE},
        {"practice-interval", required_argument, nullptr, O_PR_INTERVAL},
        {"practice-offer", required_argument, nullptr, O_PR_OFFER},
        {"practice-tail", required_argument, nullptr, O_PR_TAIL},
        {"practice-dir", required_argument, nullptr, O_PR_DIR},
        {"practice-passage", required_argument, nullptr, O_PR_PASSAGE},
        {"practice-out", required_argument, nullptr, O_PR_OUT},
        {"practice-pt", required_argument, nullptr, O_PR_PT},
        {"practice-calls", required_argument, nullptr, O_PR_CALLS},
        {"key-reset", no_argument, nullptr, O_KEY_RESET},
        {"garbage", required_argument, nullptr, O_GARBAGE},
        {"garbage-seed", required_argument, nullptr, O_GARBAGE_SEED},
        {"stop-reading", required_argument, nullptr, O_STOP_READING},
        {"rcvbuf", required_argument, nullptr, O_RCVBUF},
        {nullptr, 0, nullptr, 0}};
    int c;
    while ((c = getopt_long(argc, argv, "p:s:b:h", opts, nullptr)) != -1) {
        switch (c) {
        case 'p': port = number(optarg, "port"); break;
        case 's': systemType = number(optarg, "system type"); break;
        case 'b': cfg.bindAddress = optarg; break;
        case O_RESULT: cfg.loginResult = number(optarg, "result"); break;
        case O_MODE: cfg.loginMode = number(optarg, "mode"); break;
        case O_KEY: cfg.linkKey = number(optarg, "key"); break;
        case O_KEY_RESET: cfg.resetKeyPerConnection = true; break;
        case O_GARBAGE: garbageFrames = number(optarg, "garbage"); break;
        case O_GARBAGE_SEED: garbageSeed = static_cast<uint32_t>(number(optarg, "garbage-seed")); break;
        case O_STOP_READING: stallMs = number(optarg, "stop-reading") * 1000; break;
        case O_RCVBUF: cfg.rcvBuf = number(optarg, "rcvbuf"); break;
        case O_MESSAGE: cfg.loginMsg = optarg; break;
        case O_UPGRADE: cfg.upgradeRequired = number(optarg, "upgrade"); break;
        case O_USER: cfg.expectUserId = optarg; break;
        case O_PASSWORD: cfg.expectPassword = optarg; break;
        case O_KA_PERIOD: cfg.keepAlivePeriodMs = number(optarg, "ka-period"); break;
        case O_KA_COUNT: cfg.kaCurCaCount = static_cast<uint16_t>(number(optarg, "ka-count")); break;
        case O_KA_STATE: cfg.kaCaState = static_cast<uint8_t>(number(optarg, "ka-state")); break;
        case O_KA_DNP: cfg.kaDoNotPause = static_cast<uint8_t>(number(optarg, "ka-dnp")); break;
        case O_ACK_RESULT: cfg.dataAckResult = number(optarg, "ack-result"); break;
        case O_ACK_DELAY: cfg.dataAckDelayMs = number(optarg, "ack-delay"); break;
        case O_NO_ACK: cfg.answerData = false; break;
        case O_SCRIPT: {
            std::string err;
            if (svcSimLoadScript(optarg, &cfg.script, &err) != 0) {
                std::fprintf(stderr, "svcsim: %s\n", err.c_str());
                return 2;
            }
            break;
        }
        case O_TRACE: traceFile = optarg; break;
        case O_TRACE_TIMES: cfg.traceTimes = true; break;
        case O_VOICE_WAV: voiceWav = optarg; break;
        case O_RTP_LOSS: rtpLoss = percent(optarg, "rtp-loss"); break;
        case O_RTP_REORDER: rtpReorder = percent(optarg, "rtp-reorder"); break;
        case O_RTP_DUP: rtpDup = percent(optarg, "rtp-dup"); break;
        case O_RTP_TS_JUMP: {
            const std::string v = optarg;
            const size_t colon = v.find(':');
            if (colon == std::string::npos) {
                std::fprintf(stderr, "svcsim: rtp-ts-jump: AT:MS expected, not %s\n", optarg);
                return 2;
            }
            rtpJumpAt = number(v.substr(0, colon).c_str(), "rtp-ts-jump AT");
            rtpJumpMs = number(v.substr(colon + 1).c_str(), "rtp-ts-jump MS");
            if (rtpJumpAt < 0) {
                std::fprintf(stderr, "svcsim: rtp-ts-jump: AT must not be negative\n");
                return 2;
            }
            break;
        }
        case O_RTP_STOP_AFTER: rtpStopAfter = number(optarg, "rtp-stop-after"); break;
        case O_RTP_SEED: rtpSeed = static_cast<uint32_t>(number(optarg, "rtp-seed")); break;
        case O_RTP_CALLS: rtpCalls = number(optarg, "rtp-faulty-calls"); break;
        case O_VOICE_RECORD: voiceRecord = optarg; break;
#ifdef SVCSIM_WITH_PRACTICE
        case O_PRACTICE: practice = true; break;
        case O_PR_INTERVAL: prInterval = seconds(optarg, "practice-interval"); break;
        case O_PR_OFFER: prOffer = seconds(optarg, "practice-offer"); break;
        case O_PR_TAIL: prTail = seconds(optarg, "practice-tail"); break;
        case O_PR_DIR: prDir = optarg; break;
        case O_PR_PASSAGE: prPassage = optarg; break;
        case O_PR_OUT: prOut = optarg; break;
        case O_PR_PT: prPt = number(optarg, "practice-pt"); break;
        case O_PR_CALLS: prCalls = number(optarg, "practice-calls"); break;
#else
        case O_PRACTICE: case O_PR_INTERVAL: case O_PR_OFFER: case O_PR_TAIL: case O_PR_DIR: case O_PR_PASSAGE:
        case O_PR_OUT: case O_PR_PT: case O_PR_CALLS:
            std::fprintf(stderr, "svcsim: built without the practice service (it needs the voice endpoint)\n");
            return 2;
#endif
        case 'h': usage(stdout); return 0;
        default: usage(stderr); return 2;
        }
    }
    cfg.port = port >= 0 ? port : (33210 + 5 * systemType) % 65536;
    // The practice service prints one summary line per call; the trace of
    // every received frame would bury them, so it goes to a file or nowhere.
    FILE* trace = practice ? nullptr : stdout;
    if (!traceFile.empty()) {
        trace = std::fopen(traceFile.c_str(), "w");
        if (trace == nullptr) {
            std::fprintf(stderr, "svcsim: cannot write %s: %s\n", traceFile.c_str(), std::strerror(errno));
            return 2;
        }
    }
    cfg.trace = trace;
    std::signal(SIGINT, onSignal);
    std::signal(SIGTERM, onSignal);
    std::signal(SIGPIPE, SIG_IGN);
    std::signal(SIGUSR1, onDrop);
    std::signal(SIGUSR2, onDrop);
    std::signal(SIGRTMIN, onStall);
    cfg.log = stderr;
#ifdef SVCSIM_WITH_VOICE
    SvcVoiceImpairment impair;
    impair.lossPct = rtpLoss;
    impair.reorderPct = rtpReorder;
    impair.dupPct = rtpDup;
    impair.tsJumpAtMs = rtpJumpAt;
    impair.tsJumpMs = rtpJumpMs;
    impair.stopAfterMs = rtpStopAfter;
    impair.seed = rtpSeed;
    impair.calls = rtpCalls;
    SvcVoiceConfig voiceCfg;
    voiceCfg.bindAddress = "127.0.0.1";
    voiceCfg.impair = impair;
    if (!voiceWav.empty()) {
        std::string err;
        if (!svcVoiceReadWav(voiceWav, &voiceCfg.audio, &err)) {
            std::fprintf(stderr, "svcsim: %s\n", err.c_str());
            return 2;
        }
    }
    SvcVoice voice(voiceCfg);
    if (!practice && (!voiceWav.empty() || !voiceRecord.empty())) svcVoiceAttach(cfg, &voice);
#else
    if (!voiceWav.empty() || !voiceRecord.empty() || rtpLoss || rtpReorder || rtpDup || rtpJumpAt >= 0 ||
        rtpStopAfter >= 0) {
        std::fprintf(stderr, "svcsim: built without the voice endpoint\n");
        return 2;
    }
#endif
    SvcSim sim(cfg);
#ifdef SVCSIM_WITH_PRACTICE
    std::unique_ptr<PracticeService> service;
    if (practice) {
        if (!cfg.script.empty() || !voiceRecord.empty()) {
            std::fprintf(stderr, "svcsim: --practice plays its own calls: no --script or --voice-record with it\n");
            return 2;
        }
        PracticeConfig pc;
        std::string from;
        if (!loadPractice(voiceWav, prDir, prPassage, &pc.passages, &from)) return 1;
        pc.intervalMs = prInterval;
        pc.offerMs = prOffer;
        pc.tailMs = prTail;
        pc.payloadType = prPt;
        pc.voiceImpair = impair;
        pc.outDir = prOut.empty() ? defaultResultsDir() : prOut;
        service = std::make_unique<PracticeService>(std::move(pc));
        if (!service->attach(&sim)) {
            std::fprintf(stderr, "svcsim: %s\n", service->lastError().c_str());
            return 1;
        }
        std::fprintf(stderr, "svcsim: practice service: %zu recording(s) from %s; a call every %.0f s once the agent has joined\n"
                             "svcsim: practice summaries go to %s and %s\n",
                     service->passageCount(), from.c_str(), prInterval / 1000.0, service->textPath().c_str(),
                     service->csvPath().c_str());
    }
#endif
    if (sim.start() < 0) {
        std::fprintf(stderr, "svcsim: %s\n", sim.lastError().c_str());
        return 1;
    }
    std::fprintf(stderr, "svcsim: listening on %s:%d\n", cfg.bindAddress.c_str(), sim.port());
#ifdef SVCSIM_WITH_PRACTICE
    if (service) {
        if (garbageFrames > 0) service->hold(true);
        service->start();
    }
#endif
    std::thread garbage;
    if (garbageFrames > 0) {
        garbage = std::thread([&] {
            // The agent logs in and joins first.
            size_t seen = 0;
            auto joined = [&seen](const std::vector<SvcSimFrame>& fs) {
                for (; seen < fs.size(); ++seen)
                    if (fs[seen].id == CAPX_CA_SVC_STATE && fs[seen].msg.caSvcState.inService != 0) return true;
                return false;
            };
            while (!sim.waitFor(joined, 500))
                if (g_stop) return;
            GarbageConfig gc;
            gc.frames = garbageFrames;
            gc.seed = garbageSeed;
            gc.stop = [] { return g_stop != 0; };
            std::fprintf(stderr, "svcsim: garbage: %d frames, seed %u\n", gc.frames, gc.seed);
            const long long t0 = monotonicMs();
            const GarbageReport r = svcGarbageRun(sim, gc);
            std::string kinds;
            for (int k = 0; k < static_cast<int>(GarbageKind::Count); ++k)
                kinds += std::string(k ? ", " : "") + garbageKindName(static_cast<GarbageKind>(k)) + " " +
                         std::to_string(r.byKind[k]);
            for (const auto& n : r.notes) std::fprintf(stderr, "svcsim: garbage: %s\n", n.c_str());
            std::fprintf(stderr,
                         "svcsim: garbage: %s: %d frames in %lld ms (%s); %d checks in step, %d reconnections, "
                         "%d unexpected link ends\n",
                         r.ok ? "done" : "FAILED", r.frames, monotonicMs() - t0, kinds.c_str(), r.checks,
                         r.reconnections, r.unexpectedCloses);
#ifdef SVCSIM_WITH_PRACTICE
            if (service) service->hold(false);
#endif
        });
    }
    while (!g_stop) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        if (g_drop != 0) {
            const bool mid = g_drop == 2;
            g_drop = 0;
            drop(sim, mid);
        }
        if (g_stall != 0) {
            g_stall = 0;
            if (sim.connected()) sim.stopReading(stallMs);
            else std::fprintf(stderr, "svcsim: stop reading asked with no client connected\n");
        }
#ifdef SVCSIM_WITH_PRACTICE
        if (service && prCalls > 0 && service->summaries().size() >= static_cast<size_t>(prCalls)) break;
#endif
    }
    if (garbage.joinable()) garbage.join();
#ifdef SVCSIM_WITH_PRACTICE
    if (service) service->stop();
#endif
    sim.stop();
#ifdef SVCSIM_WITH_VOICE
    voice.stop();
    if (!voiceRecord.empty() && !voice.saveRecording(voiceRecord + ".wav", voiceRecord + ".payloads"))
        std::fprintf(stderr, "svcsim: cannot write %s.wav / %s.payloads\n", voiceRecord.c_str(), voiceRecord.c_str());
#endif
    if (trace != nullptr && trace != stdout) std::fclose(trace);
    return 0;
}
