// Practice service: recordings, the call cycle on its own thread, and the
// per-call summary (printed, appended to a text file and a CSV file).
#include "practice.h"

#include <algorithm>
#include <cstdarg>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace fs = std::filesystem;

namespace {

void zero(CapxMsg& m) { std::memset(static_cast<void*>(&m), 0, sizeof m); }

std::string fmt(const char* f, ...) __attribute__((format(printf, 1, 2)));
std::string fmt(const char* f, ...)
{
    char buf[512];
    va_list ap;
    va_start(ap, f);
    std::vsnprintf(buf, sizeof buf, f, ap);
    va_end(ap);
    return buf;
}

std::string csvField(const std::string& s)
{
    if (s.find_first_of(",\"\n") == std::string::npos) return s;
    std::string q = "\"";
    for (char c : s) {
        if (c == '"') q += '"';
        q += c;
    }
    return q + "\"";
}

std::string localTime()
{
    const std::time_t t = std::time(nullptr);
    std::tm tm{};
    localtime_r(&t, &tm);
    char buf[32];
    std::strftime(buf, sizeof buf, "%Y-%m-%d %H:%M:%S", &tm);
    return buf;
}

constexpr size_t kMaxCaptionBytes = 1 << 20;

const char* csvHeader =
    "time,call,passage,words_spoken,words_captioned,words_matched,word_accuracy_pct,wer_pct,"
    "delay_median_s,delay_p90_s,ended\n";

}  // namespace

// ---- recordings ---------------------------------------------------------------------------

bool practiceLoadPassage(const std::string& wavPath, PracticePassage* out, std::string* error)
{
    PracticePassage p;
    std::string why;
    if (!svcVoiceReadWav(wavPath, &p.audio, &why)) {
        if (error) *error = why;
        return false;
    }
    const fs::path path(wavPath);
    const fs::path stem = path.parent_path() / path.stem();
    p.name = path.stem().string();
    std::error_code ec;
    if (fs::exists(stem.string() + ".words", ec)) {
        if (!practiceReadWordTimes(stem.string() + ".words", &p.words, &p.wordMs, error)) return false;
    } else if (fs::exists(stem.string() + ".txt", ec)) {
        std::ifstream f(stem.string() + ".txt");
        std::stringstream ss;
        ss << f.rdbuf();
        p.words = practiceWords(ss.str());
        p.wordMs = practiceEstimateWordTimes(p.words, p.audio, 8000);
        p.timesEstimated = true;
    }
    *out = std::move(p);
    return true;
}

bool practiceLoadDir(const std::string& dir, std::vector<PracticePassage>* out, std::string* error)
{
    std::error_code ec;
    std::vector<std::string> wavs;
    for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec))
        if (it->path().extension() == ".wav") wavs.push_back(it->path().string());
    if (ec) {
        if (error) *error = "cannot read " + dir + ": " + ec.message();
        return false;
    }
    if (wavs.empty()) {
        if (error) *error = "no practice recordings (.wav) in " + dir;
        return false;
    }
    std::sort(wavs.begin(), wavs.end());
    out->clear();
    for (const auto& w : wavs) {
        PracticePassage p;
        if (!practiceLoadPassage(w, &p, error)) return false;
        out->push_back(std::move(p));
    }
    return true;
}

// ---- service ------------------------------------------------------------------------------

namespace {

SvcVoiceConfig voiceConfig(const PracticeConfig& c)
{
    SvcVoiceConfig vc;
    vc.bindAddress = "127.0.0.1";
    vc.payloadType = c.payloadType;
    vc.impair = c.voiceImpair;
    return vc;
}

}  // namespace

PracticeService::PracticeService(PracticeConfig cfg) : cfg_(std::move(cfg)), voice_(voiceConfig(cfg_)) {}

PracticeService::~PracticeService() { stop(); }

std::string PracticeService::textPath() const
{
    return cfg_.outDir.empty() ? std::string() : (fs::path(cfg_.outDir) / "practice.txt").string();
}

std::string PracticeService::csvPath() const
{
    return cfg_.outDir.empty() ? std::string() : (fs::path(cfg_.outDir) / "practice.csv").string();
}

bool PracticeService::attach(SvcSim* sim)
{
    if (cfg_.passages.empty()) {
        lastError_ = "no practice recordings";
        return false;
    }
    if (!cfg_.outDir.empty()) {
        std::error_code ec;
        fs::create_directories(cfg_.outDir, ec);
        if (ec) {
            lastError_ = "cannot create " + cfg_.outDir + ": " + ec.message();
            return false;
        }
    }
    if (voice_.start() < 0) {
        lastError_ = "voice endpoint: " + voice_.lastError();
        return false;
    }
    sim_ = sim;
    sim_->setFrameHook([this](const SvcSimFrame& f, int conn) { onFrame(f, conn); });
    return true;
}

void PracticeService::start()
{
    if (sim_ == nullptr || thread_.joinable()) return;
    stopping_ = false;
    thread_ = std::thread(&PracticeService::run, this);
}

void PracticeService::stop()
{
    stopping_ = true;
    cv_.notify_all();
    if (thread_.joinable()) thread_.join();
    voice_.stop();
}

std::vector<std::string> PracticeService::summaries()
{
    std::lock_guard<std::mutex> g(mu_);
    return summaries_;
}

bool PracticeService::waitSummaries(size_t n, int timeoutMs)
{
    std::unique_lock<std::mutex> lk(mu_);
    return cv_.wait_for(lk, std::chrono::milliseconds(timeoutMs), [&] { return summaries_.size() >= n; });
}

int PracticeService::withdrawn()
{
    std::lock_guard<std::mutex> g(mu_);
    return withdrawn_;
}

void PracticeService::logf(const char* f, ...)
{
    if (cfg_.log == nullptr) return;
    char buf[512];
    va_list ap;
    va_start(ap, f);
    std::vsnprintf(buf, sizeof buf, f, ap);
    va_end(ap);
    std::fprintf(cfg_.log, "svcsim: practice: %s\n", buf);
    std::fflush(cfg_.log);
}

int PracticeService::send(CapxMsg& m) { return sim_->send(m); }

// Reading thread: queue what the call cycle needs, nothing else.
void PracticeService::onFrame(const SvcSimFrame& f, int conn)
{
    switch (f.id) {
    case CAPX_LOGIN: case CAPX_LOGOUT: case CAPX_CA_SVC_STATE: case CAPX_ASSIGN_REQ:
    case CAPX_VOIP_SETUP_COMPLETE: case CAPX_DATA: case CAPX_RELEASE: case CAPX_RELEASE_COMPLETE:
    case CAPX_CALL_REPORT:
        break;
    default:
        return;
    }
    {
        std::lock_guard<std::mutex> g(mu_);
        events_.push_back({f, conn});
    }
    cv_.notify_all();
}

void PracticeService::run()
{
    while (!stopping_) {
        std::deque<Event> evs;
        {
            std::unique_lock<std::mutex> lk(mu_);
            cv_.wait_for(lk, std::chrono::milliseconds(20), [&] { return !events_.empty() || stopping_.load(); });
            evs.swap(events_);
        }
        for (const auto& f : evs) handle(f);
        const auto now = Clock::now();
        if (!sim_->connected() && (joined_ || state_ != State::Idle)) {
            if (state_ != State::Idle) abortCall("link closed", now);
            joined_ = false;
        }
        tick(now);
    }
}

void PracticeService::handle(const Event& e)
{
    const SvcSimFrame& f = e.frame;
    const auto now = Clock::now();
    if (e.conn < conn_) return;  // from a connection that has been replaced
    if (e.conn != conn_) {
        // A new connection: whatever the previous one had going is over.
        if (state_ != State::Idle) abortCall("link closed", now);
        joined_ = false;
        conn_ = e.conn;
    }
    switch (f.id) {
    case CAPX_LOGIN:
    case CAPX_LOGOUT:
        // A new login or a logout ends whatever the previous session had going.
        if (state_ != State::Idle) abortCall(f.id == CAPX_LOGIN ? "agent logged in again" : "agent logged out", f.at);
        joined_ = false;
        break;
    case CAPX_CA_SVC_STATE: {
        CapxMsg ack;
        zero(ack);
        ack.msgId = CAPX_CA_SVC_STATE_ACK;
        ack.caSvcStateAck.inService = f.msg.caSvcState.inService;
        ack.caSvcStateAck.result = 0;
        send(ack);
        const bool was = joined_;
        joined_ = f.msg.caSvcState.inService != 0;
        if (joined_ && !was) {
            const int first = std::min(cfg_.firstOfferMs, cfg_.intervalMs);
            if (state_ == State::Idle) nextOfferAt_ = now + std::chrono::milliseconds(first);
            logf("the agent joined; a call is offered in %.1f s", first / 1000.0);
        } else if (!joined_ && was) {
            logf("the agent paused");
            if (state_ == State::Offered) {
                sendRelease("offer withdrawn: the agent paused");
                state_ = State::Withdrawing;
                deadline_ = now + std::chrono::milliseconds(cfg_.releaseWaitMs);
            }
        }
        break;
    }
    case CAPX_ASSIGN_REQ:
        if (state_ == State::Offered) answer();
        else logf("ASSIGN_REQ without an open offer: ignored");
        break;
    case CAPX_VOIP_SETUP_COMPLETE:
        if (state_ == State::SettingUp && f.msg.voipSetupComplete.result != 0) {
            sendRelease(fmt("call %d: the agent could not set up the voice (VOIP_SETUP_COMPLETE result %d)", callNo_,
                            f.msg.voipSetupComplete.result).c_str());
            state_ = State::Releasing;
            deadline_ = now + std::chrono::milliseconds(cfg_.releaseWaitMs);
        }
        break;
    case CAPX_DATA:
        if (state_ != State::Idle) {
            callDataBytes_ += std::min<size_t>(f.msg.data.dataLen, CAPX_DATA_MAX);
            ++callDataFrames_;
        }
        if (state_ == State::Playing || (state_ == State::Releasing && !ended_.empty())) {
            const size_t n = std::min<size_t>(f.msg.data.dataLen, CAPX_DATA_MAX);
            // A call's captions are a few kilobytes; a flood is cut, not stored.
            if (captionBytes_ + n > kMaxCaptionBytes) {
                if (captionBytes_ <= kMaxCaptionBytes) logf("call %d: more than %zu caption bytes: the rest is not scored",
                                                            callNo_, kMaxCaptionBytes);
                captionBytes_ = kMaxCaptionBytes + 1;
                break;
            }
            captionBytes_ += n;
            const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(f.at - voiceStart_).count();
            chunks_.push_back({std::string(reinterpret_cast<const char*>(f.msg.data.data), n), ms});
        }
        break;
    case CAPX_CALL_REPORT:
        if (state_ != State::Idle)
            logf("call %d: CALL_REPORT: %u caption bytes sent, %u acknowledged, %u voice frames received; "
                 "the service: %zu caption bytes in %d DATA acknowledged, %d voice frames sent", callNo_,
                 f.msg.callReport.txToSvr, f.msg.callReport.rxSvrAck, f.msg.callReport.rxVocFrameFromSvr,
                 callDataBytes_, callDataFrames_, voice_.sentCount() - static_cast<int>(sentBase_));
        if (state_ != State::Idle) logVoiceFigures(f.at);
        break;
    case CAPX_RELEASE:
        switch (state_) {
        case State::Idle:
            break;
        case State::Offered:
        case State::Withdrawing:
        case State::SettingUp:
            logf("call %d: the agent released it before captioning started (cause %d)", callNo_,
                 f.msg.release.cause);
            toIdle(now);
            break;
        case State::Playing:
            endCall(fmt("agent released (cause %d)", f.msg.release.cause), f.at);
            toIdle(now);
            break;
        case State::Releasing:
            // Both sides released at once: nothing more to wait for.
            if (!ended_.empty()) endCall(ended_, endAt_);
            toIdle(now);
            break;
        }
        break;
    case CAPX_RELEASE_COMPLETE:
        if (state_ == State::Withdrawing) {
            toIdle(now);
        } else if (state_ == State::Releasing) {
            if (!ended_.empty()) endCall(ended_, endAt_);
            toIdle(now);
        }
        break;
    default:
        break;
    }
}

void PracticeService::tick(Clock::time_point now)
{
    switch (state_) {
    case State::Idle:
        if (held_) {
            nextOfferAt_ = now + std::chrono::milliseconds(std::min(cfg_.firstOfferMs, cfg_.intervalMs));
            break;
        }
        if (joined_ && now >= nextOfferAt_ && sim_->connected()) offer(now);
        break;
    case State::Offered:
        if (now >= deadline_) {
            sendRelease(fmt("call %d not answered within %.1f s: offer withdrawn", callNo_, cfg_.offerMs / 1000.0)
                            .c_str());
            {
                std::lock_guard<std::mutex> g(mu_);
                ++withdrawn_;
            }
            state_ = State::Withdrawing;
            deadline_ = now + std::chrono::milliseconds(cfg_.releaseWaitMs);
        }
        break;
    case State::Withdrawing:
        if (now >= deadline_) toIdle(now);
        break;
    case State::SettingUp: {
        Clock::time_point first;
        if (voice_.sentAt(sentBase_, &first)) {
            voiceStart_ = first;
            CapxMsg m;
            zero(m);
            m.msgId = CAPX_CONTROL;
            m.control.control = 1;  // CAP_START
            send(m);
            state_ = State::Playing;
            ++next_;
            const auto length = std::chrono::milliseconds(passage_->audio.size() / 8);
            deadline_ = voiceStart_ + length + std::chrono::milliseconds(cfg_.tailMs);
            logf("call %d: voice started, CAP_START sent; the passage lasts %.1f s", callNo_,
                 static_cast<double>(length.count()) / 1000.0);
        } else if (now >= deadline_) {
            sendRelease(fmt("call %d: no voice (RTP) from the agent within %.1f s", callNo_,
                            cfg_.voiceWaitMs / 1000.0).c_str());
            state_ = State::Releasing;
            deadline_ = now + std::chrono::milliseconds(cfg_.releaseWaitMs);
        }
        break;
    }
    case State::Playing:
        if (now >= deadline_) {
            voice_.setAudio({});
            ended_ = "released";
            endAt_ = now;
            sendRelease(fmt("call %d: passage over, RELEASE sent", callNo_).c_str());
            state_ = State::Releasing;
            deadline_ = now + std::chrono::milliseconds(cfg_.releaseWaitMs);
        }
        break;
    case State::Releasing:
        if (now >= deadline_) {
            logf("call %d: no RELEASE_COMPLETE from the agent within %.1f s", callNo_, cfg_.releaseWaitMs / 1000.0);
            if (!ended_.empty()) endCall(ended_ + ", no RELEASE_COMPLETE", endAt_);
            toIdle(now);
        }
        break;
    }
}

// The call's voice both ways: what the stream did (and what was done to
// it), and how steadily the agent's own packets came, up to its report.
void PracticeService::logVoiceFigures(Clock::time_point until)
{
    const SvcVoiceStreamStats st = voice_.streamStats();
    int fromAgent = 0;
    long long widest = 0;
    Clock::time_point last{};
    for (const auto& p : voice_.packets()) {
        if (p.at < voiceStart_ || p.at > until) continue;
        if (fromAgent > 0)
            widest = std::max<long long>(widest, std::chrono::duration_cast<std::chrono::milliseconds>(p.at - last).count());
        last = p.at;
        ++fromAgent;
    }
    std::string faults;
    if (st.impaired) {
        faults = fmt(" (%d lost, %d reordered, %d duplicated", st.lost, st.reordered, st.duplicated);
        if (st.jumpedAtMs >= 0) faults += fmt(", timestamps %+d ms from %d ms", cfg_.voiceImpair.tsJumpMs, st.jumpedAtMs);
        if (st.stoppedAtMs >= 0) faults += fmt(", stopped at %d ms", st.stoppedAtMs);
        faults += ")";
    }
    logf("call %d: voice: %d frames, %d packets sent%s; from the agent: %d packets, widest gap %lld ms", callNo_,
         st.frames, st.packets, faults.c_str(), fromAgent, widest);
}

void PracticeService::offer(Clock::time_point now)
{
    passage_ = &cfg_.passages[next_ % cfg_.passages.size()];
    ++callNo_;
    chunks_.clear();
    captionBytes_ = 0;
    callDataBytes_ = 0;
    callDataFrames_ = 0;
    ended_.clear();
    CapxMsg m;
    zero(m);
    m.msgId = CAPX_BROADCAST;
    m.broadcast.availCallCount1st = 1;
    m.broadcast.callIdx = static_cast<uint64_t>(callNo_);
    send(m);
    state_ = State::Offered;
    deadline_ = now + std::chrono::milliseconds(cfg_.offerMs);
    logf("call %d offered (%s)", callNo_, passage_->name.c_str());
}

void PracticeService::answer()
{
    CapxMsg m;
    zero(m);
    m.msgId = CAPX_ASSIGN_COMPLETE;
    std::snprintf(m.assignComplete.cuPhoneNumber, sizeof m.assignComplete.cuPhoneNumber, "%s", "5550100");
    m.assignComplete.callIdx = static_cast<uint64_t>(callNo_);
    send(m);
    sim_->setKeepAliveState(4);  // in service, as the agent now is
    // The stream starts on the agent's first RTP packet to the endpoint.
    voice_.setPayloadType(cfg_.payloadType);
    voice_.setAudio(passage_->audio);
    sentBase_ = static_cast<size_t>(voice_.sentCount());
    zero(m);
    m.msgId = CAPX_VOIP_SETUP;
    std::snprintf(m.voipSetup.ipAddr, sizeof m.voipSetup.ipAddr, "%s", "127.0.0.1");
    m.voipSetup.portId = static_cast<uint16_t>(voice_.port());
    m.voipSetup.payloadType = static_cast<uint16_t>(cfg_.payloadType);
    send(m);
    state_ = State::SettingUp;
    deadline_ = Clock::now() + std::chrono::milliseconds(cfg_.voiceWaitMs);
    logf("call %d answered; voice offered on 127.0.0.1:%d", callNo_, voice_.port());
}

void PracticeService::sendRelease(const char* why)
{
    CapxMsg m;
    zero(m);
    m.msgId = CAPX_RELEASE;
    m.release.cause = static_cast<uint8_t>(cfg_.releaseCause);
    send(m);
    voice_.setAudio({});
    logf("%s", why);
}

// The call ends without the usual release: a call that was playing is scored
// up to at, one that had played to its end is scored whole.
void PracticeService::abortCall(const std::string& why, Clock::time_point at)
{
    if (state_ == State::Playing) endCall(why, at);
    else if (state_ == State::Releasing && !ended_.empty()) endCall(ended_ + ", " + why + " before RELEASE_COMPLETE", endAt_);
    else logf("call %d: %s", callNo_, why.c_str());
    toIdle(Clock::now());
}

void PracticeService::toIdle(Clock::time_point now)
{
    state_ = State::Idle;
    sim_->setKeepAliveState(0);
    voice_.setAudio({});
    nextOfferAt_ = now + std::chrono::milliseconds(cfg_.intervalMs);
    passage_ = nullptr;
    ended_.clear();
    chunks_.clear();
    captionBytes_ = 0;
}

// Scores the call that played until endAt and writes its summary.
void PracticeService::endCall(const std::string& ended, Clock::time_point endAt)
{
    const PracticePassage& p = *passage_;
    // Words whose start was played before the end; all of them after a full passage.
    const auto playedMs = std::chrono::duration_cast<std::chrono::milliseconds>(endAt - voiceStart_).count();
    size_t spoken = p.words.size();
    if (ended.rfind("released", 0) != 0)
        spoken = static_cast<size_t>(std::count_if(p.wordMs.begin(), p.wordMs.end(),
                                                   [&](int64_t ms) { return ms < playedMs; }));
    const std::vector<std::string> ref(p.words.begin(), p.words.begin() + static_cast<long>(spoken));
    const std::vector<int64_t> refMs(p.wordMs.begin(), p.wordMs.begin() + static_cast<long>(spoken));
    const std::vector<PracticeCaptionWord> caps = practiceCaptionWords(chunks_);
    const PracticeScore s = practiceScore(ref, refMs, caps);

    const bool hasText = !p.words.empty();
    std::string acc = hasText ? fmt("%.1f %%", s.accuracy * 100) : "- (no text for this recording)";
    std::string delay = s.delayCount > 0 ? fmt("delay median %.2f s, p90 %.2f s", s.delayMedianMs / 1000,
                                               s.delayP90Ms / 1000)
                                         : "delay -";
    std::string line = fmt("practice call %d: %s, words spoken %d, words captioned %d, word accuracy %s, %s",
                           callNo_, p.name.c_str(), s.wordsSpoken, s.wordsCaptioned, acc.c_str(), delay.c_str());
    if (ended != "released") line += ", ended: " + ended;
    if (p.timesEstimated && s.delayCount > 0) line += " (word times estimated)";

    std::string row = csvField(localTime()) + "," + std::to_string(callNo_) + "," + csvField(p.name) + "," +
                      std::to_string(s.wordsSpoken) + "," + std::to_string(s.wordsCaptioned) + "," +
                      std::to_string(s.matched) + "," + (hasText ? fmt("%.1f", s.accuracy * 100) : "") + "," +
                      (hasText ? fmt("%.1f", s.wer * 100) : "") + "," +
                      (s.delayCount > 0 ? fmt("%.3f", s.delayMedianMs / 1000) : "") + "," +
                      (s.delayCount > 0 ? fmt("%.3f", s.delayP90Ms / 1000) : "") + "," + csvField(ended) + "\n";
    writeSummary(line, row);
}

void PracticeService::writeSummary(const std::string& line, const std::string& csvRow)
{
    if (cfg_.out != nullptr) {
        std::fprintf(cfg_.out, "%s\n", line.c_str());
        std::fflush(cfg_.out);
    }
    if (!cfg_.outDir.empty()) {
        std::ofstream txt(textPath(), std::ios::app);
        txt << localTime() << "  " << line << '\n';
        std::error_code ec;
        const bool fresh = !fs::exists(csvPath(), ec) || fs::file_size(csvPath(), ec) == 0;
        std::ofstream csv(csvPath(), std::ios::app);
        if (fresh) csv << csvHeader;
        csv << csvRow;
        if (!txt || !csv) logf("cannot write %s or %s", textPath().c_str(), csvPath().c_str());
    }
    {
        std::lock_guard<std::mutex> g(mu_);
        summaries_.push_back(line);
    }
    cv_.notify_all();
}
