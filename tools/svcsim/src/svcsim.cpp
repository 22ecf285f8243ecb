// Service simulator: listener, one client at a time, frame reader, automatic
// answers (LOGIN_ACK, KEEP_ALIVE, DATA_ACK, LOGOUT_ACK) and the scripted call.
#include "svcsim.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sstream>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <ctime>
#include <unistd.h>

#include "capclogincrypt.h"

namespace {

bool readExact(int fd, uint8_t* p, size_t n)
{
    size_t got = 0;
    while (got < n) {
        ssize_t r = recv(fd, p + got, n - got, 0);
        if (r > 0) got += static_cast<size_t>(r);
        else if (r < 0 && errno == EINTR) continue;
        else return false;
    }
    return true;
}

// Unscrambles a decoded credential of len bytes (the decoder sets the length;
// 0 bytes inside are part of it).
std::string unscramble(const char* text, int len, uint8_t key)
{
    char out[128];
    const int n = capcLoginUnscramble(text, len, key, out, sizeof out);
    return std::string(out, static_cast<size_t>(n));
}

void zero(CapxMsg& m) { std::memset(static_cast<void*>(&m), 0, sizeof m); }

}  // namespace

// ---- script ---------------------------------------------------------------------------

int svcSimParseStep(const std::string& line, SvcSimStep* step, std::string* err)
{
    std::string s = line;
    while (!s.empty() && (s.back() == '\r' || s.back() == '\n' || s.back() == ' ')) s.pop_back();
    size_t i = s.find_first_not_of(" \t");
    if (i == std::string::npos || s[i] == '#') return 0;
    std::istringstream in(s.substr(i));
    std::string kind;
    in >> kind;
    SvcSimStep st;
    if (kind == "at") {
        st.trigger = SvcSimStep::AtMs;
        if (!(in >> st.delayMs) || st.delayMs < 0) {
            if (err) *err = "\"at\" needs a time in milliseconds";
            return -1;
        }
    } else if (kind == "on") {
        st.trigger = SvcSimStep::OnMessage;
        std::string name;
        in >> name;
        st.onMsgId = name == "LINK_PROBE" ? CAPX_LINK_PROBE_ID : capxMsgIdFromName(name.c_str());
        if (st.onMsgId < 0) {
            if (err) *err = "unknown message name \"" + name + "\"";
            return -1;
        }
        in >> std::ws;
        if (in.peek() == '+') {
            in.get();
            if (!(in >> st.delayMs) || st.delayMs < 0) {
                if (err) *err = "bad delay after '+'";
                return -1;
            }
        }
    } else {
        if (err) *err = "a step starts with \"at\" or \"on\"";
        return -1;
    }
    std::string text;
    std::getline(in >> std::ws, text);
    char why[200] = {0};
    if (capxMsgFromText(text.c_str(), &st.msg, why, sizeof why) != 0) {
        if (err) *err = std::string("message: ") + why;
        return -1;
    }
    *step = st;
    return 1;
}

int svcSimLoadScript(const std::string& path, std::vector<SvcSimStep>* steps, std::string* err)
{
    std::ifstream f(path);
    if (!f) {
        if (err) *err = path + ": cannot open";
        return -1;
    }
    std::string line;
    int no = 0;
    while (std::getline(f, line)) {
        ++no;
        SvcSimStep st;
        std::string why;
        const int r = svcSimParseStep(line, &st, &why);
        if (r < 0) {
            if (err) *err = path + ":" + std::to_string(no) + ": " + why;
            return -1;
        }
        if (r > 0) steps->push_back(st);
    }
    return 0;
}

// ---- simulator --------------------------------------------------------------------------

SvcSim::SvcSim(SvcSimConfig config) : cfg_(std::move(config)) {}

SvcSim::~SvcSim() { stop(); }

int SvcSim::start()
{
    listenFd_ = socket(AF_INET, SOCK_STREAM, 0);
    if (listenFd_ < 0) {
        lastError_ = std::string("socket: ") + std::strerror(errno);
        return -1;
    }
    int one = 1;
    setsockopt(listenFd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    // Set on the listener so that accepted connections announce the small
    // window from their first segment.
    if (cfg_.rcvBuf > 0) setsockopt(listenFd_, SOL_SOCKET, SO_RCVBUF, &cfg_.rcvBuf, sizeof cfg_.rcvBuf);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(static_cast<uint16_t>(cfg_.port));
    if (inet_pton(AF_INET, cfg_.bindAddress.c_str(), &sa.sin_addr) != 1) {
        lastError_ = "bad bind address " + cfg_.bindAddress;
        close(listenFd_);
        listenFd_ = -1;
        return -1;
    }
    if (bind(listenFd_, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 || listen(listenFd_, 4) != 0) {
        lastError_ = "bind/listen " + cfg_.bindAddress + ":" + std::to_string(cfg_.port) + ": " +
                     std::strerror(errno);
        close(listenFd_);
        listenFd_ = -1;
        return -1;
    }
    socklen_t len = sizeof sa;
    getsockname(listenFd_, reinterpret_cast<sockaddr*>(&sa), &len);
    port_ = ntohs(sa.sin_port);
    stepFired_.assign(cfg_.script.size(), false);
    stopping_ = false;
    acceptThread_ = std::thread([this] { acceptLoop(); });
    schedThread_ = std::thread([this] { schedulerLoop(); });
    return port_;
}

void SvcSim::stop()
{
    if (stopping_.exchange(true)) return;
    if (listenFd_ >= 0) shutdown(listenFd_, SHUT_RDWR);
    {
        std::lock_guard<std::mutex> g(mu_);
        if (clientFd_ >= 0) shutdown(clientFd_, SHUT_RDWR);
    }
    cv_.notify_all();
    if (acceptThread_.joinable()) acceptThread_.join();
    if (schedThread_.joinable()) schedThread_.join();
    for (auto& t : readers_)
        if (t.joinable()) t.join();
    readers_.clear();
    if (listenFd_ >= 0) close(listenFd_);
    listenFd_ = -1;
}

void SvcSim::acceptLoop()
{
    while (!stopping_) {
        pollfd p{listenFd_, POLLIN, 0};
        if (poll(&p, 1, 100) <= 0) continue;
        const int fd = accept(listenFd_, nullptr, nullptr);
        if (fd < 0) continue;
        int one = 1;
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        int conn;
        {
            std::lock_guard<std::mutex> g(mu_);
            if (clientFd_ >= 0) shutdown(clientFd_, SHUT_RDWR);  // one client at a time
            clientFd_ = fd;
            conn = ++conn_;
            if (cfg_.resetKeyPerConnection) key_ = 0;
        }
        cv_.notify_all();
        readers_.emplace_back([this, fd, conn] { readLoop(fd, conn); });
    }
}

void SvcSim::readLoop(int fd, int conn)
{
    std::vector<uint8_t> body;
    while (!stopping_) {
        // Between frames: wait for the next one, and stop reading when asked.
        pollfd p{fd, POLLIN, 0};
        const int pr = poll(&p, 1, 50);
        if (stallConn_.load() == conn) {
            stallConn_ = 0;
            stallLoop(fd, conn, stallMs_.load());
            break;
        }
        if (pr == 0 || (pr < 0 && errno == EINTR)) continue;
        uint8_t hdr[2];
        if (!readExact(fd, hdr, 2)) break;
        const size_t L = (static_cast<size_t>(hdr[0]) << 8) | hdr[1];
        body.resize(L);
        if (L > 0 && !readExact(fd, body.data(), L)) break;
        SvcSimFrame f;
        f.at = std::chrono::steady_clock::now();
        f.wire.assign(hdr, hdr + 2);
        f.wire.insert(f.wire.end(), body.begin(), body.end());
        f.frame = f.wire;
        uint8_t key;
        {
            std::lock_guard<std::mutex> g(mu_);
            key = key_;
        }
        if (L == 0) continue;
        if (f.frame[2] == CAPX_LINK_PROBE_ID && L == 1) {
            f.id = CAPX_LINK_PROBE_ID;
        } else {
            capxLinkKeySvrRx(f.frame.data(), static_cast<int>(f.frame.size()), key);
            zero(f.msg);
            f.id = capxDecodeMsgEx(&f.msg, f.frame.data(), static_cast<int>(f.frame.size()), nullptr, 0, 0,
                                   nullptr);
        }
        if (cfg_.trace != nullptr) {
            if (cfg_.traceTimes) {
                timespec ts{};
                clock_gettime(CLOCK_MONOTONIC, &ts);
                std::fprintf(cfg_.trace, "[%d %lld] ", conn,
                             static_cast<long long>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000);
            }
            if (f.id == CAPX_LINK_PROBE_ID) {
                std::fprintf(cfg_.trace, "RX LINK_PROBE\n");
            } else {
                std::vector<char> text(CAPX_TEXT_MAX);
                if (capxMsgToText(&f.msg, text.data(), static_cast<int>(text.size())) >= 0)
                    std::fprintf(cfg_.trace, "RX %s\n", text.data());
                else std::fprintf(cfg_.trace, "RX %s (id %d, %zu bytes)\n", capxMsgName(f.id), f.id, L);
            }
            std::fflush(cfg_.trace);
        }
        handleFrame(f, conn);
        if (frameHook_) frameHook_(f, conn);
        {
            std::lock_guard<std::mutex> g(mu_);
            frames_.push_back(std::move(f));
        }
        cv_.notify_all();
    }
    std::lock_guard<std::mutex> g(mu_);
    if (clientFd_ == fd) clientFd_ = -1;
    close(fd);
    cv_.notify_all();
}

void SvcSim::stopReading(int ms)
{
    std::lock_guard<std::mutex> g(mu_);
    stallMs_ = ms;
    stallConn_ = conn_;
}

void SvcSim::stallLoop(int fd, int conn, int ms)
{
    auto monoMs = [] {
        timespec ts{};
        clock_gettime(CLOCK_MONOTONIC, &ts);
        return static_cast<long long>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
    };
    FILE* log = cfg_.log;
    const long long t0 = monoMs();
    if (log) std::fprintf(log, "svcsim: connection %d: stopped reading at %lld ms for %d ms\n", conn, t0, ms), std::fflush(log);
    int waiting = 0, mostWaiting = 0;
    long long grewAt = -1, endedAt = -1, backAt = -1;
    while (!stopping_ && monoMs() - t0 < ms) {
        pollfd p{fd, POLLRDHUP, 0};
        const int r = poll(&p, 1, 20);
        if (ioctl(fd, FIONREAD, &waiting) == 0 && waiting > mostWaiting) {
            mostWaiting = waiting;
            grewAt = monoMs();
        }
        // The client's end of the link shows as a reset here, or, since its
        // closing handshake waits behind the unread bytes, as its next
        // connection.
        if (r > 0 && (p.revents & (POLLRDHUP | POLLHUP | POLLERR)) != 0) {
            endedAt = monoMs();
            break;
        }
        if (connections() > conn) {
            backAt = monoMs();
            break;
        }
    }
    if (log) {
        std::fprintf(log, "svcsim: connection %d: %d bytes waiting unread at most, the last of them %lld ms after the stop\n",
                     conn, mostWaiting, grewAt >= 0 ? grewAt - t0 : 0LL);
        if (endedAt >= 0)
            std::fprintf(log, "svcsim: connection %d: the client ended the link %lld ms after the stop\n", conn, endedAt - t0);
        else if (backAt >= 0)
            std::fprintf(log, "svcsim: connection %d: the client connected again %lld ms after the stop\n", conn, backAt - t0);
        else
            std::fprintf(log, "svcsim: connection %d: the client kept the link for %d ms: closing it\n", conn, ms);
    }
    {
        // What the client wrote after the stop: whole frames and a cut one at
        // the end if its last write stopped half-way. Read until its closing
        // handshake, or until nothing more comes for 300 ms (a client that
        // still holds the link), at most 3 s.
        std::vector<uint8_t> bytes;
        uint8_t buf[4096];
        const long long until = monoMs() + 3000;
        bool eof = false;
        while (!stopping_ && monoMs() < until) {
            pollfd p{fd, POLLIN, 0};
            if (poll(&p, 1, 300) <= 0) break;
            const ssize_t n = recv(fd, buf, sizeof buf, 0);
            if (n > 0) bytes.insert(bytes.end(), buf, buf + n);
            else if (n < 0 && errno == EINTR) continue;
            else {
                eof = true;
                break;
            }
        }
        size_t at = 0;
        int frames = 0, data = 0;
        while (at + 2 <= bytes.size()) {
            const size_t L = (static_cast<size_t>(bytes[at]) << 8) | bytes[at + 1];
            if (at + 2 + L > bytes.size()) break;
            if (L > 0 && bytes[at + 2] == CAPX_DATA) ++data;
            at += 2 + L;
            ++frames;
        }
        if (log)
            std::fprintf(log, "svcsim: connection %d: read after the stop: %zu bytes, %d whole frames (%d DATA), "
                         "%zu bytes of a cut frame, %s\n",
                         conn, bytes.size(), frames, data, bytes.size() - at, eof ? "then the end" : "the link still open");
    }
    std::lock_guard<std::mutex> g(mu_);
    if (clientFd_ == fd) shutdown(fd, SHUT_RDWR);
    if (log) std::fprintf(log, "svcsim: connection %d: closed at %lld ms\n", conn, monoMs()), std::fflush(log);
}

void SvcSim::handleFrame(const SvcSimFrame& f, int conn)
{
    if (f.id == CAPX_LOGIN && cfg_.answerLogin) {
        CapxMsg ack;
        zero(ack);
        ack.msgId = CAPX_LOGIN_ACK;
        ack.loginAck.agentId = cfg_.agentId;
        ack.loginAck.result = static_cast<uint8_t>(cfg_.loginResult);
        ack.loginAck.loginMode = static_cast<uint8_t>(cfg_.loginMode);
        ack.loginAck.upgradeRequired = static_cast<uint8_t>(cfg_.upgradeRequired);
        ack.loginAck.eValue = static_cast<uint8_t>(cfg_.linkKey);
        std::snprintf(ack.loginAck.msg, sizeof ack.loginAck.msg, "%s", cfg_.loginMsg.c_str());
        if (!cfg_.expectUserId.empty() || !cfg_.expectPassword.empty()) {
            const std::string user =
                unscramble(f.msg.login.userId, f.msg.login.userIdLen, CAPC_LOGIN_KEY_USER_ID);
            const std::string pass =
                unscramble(f.msg.login.passwd, f.msg.login.passwdLen, CAPC_LOGIN_KEY_PASSWORD);
            if (user != cfg_.expectUserId || pass != cfg_.expectPassword) {
                ack.loginAck.result = 1;
                ack.loginAck.eValue = 0;
                if (cfg_.loginMsg.empty())
                    std::snprintf(ack.loginAck.msg, sizeof ack.loginAck.msg, "Invalid ID or password");
            }
        }
        const bool accepted = ack.loginAck.result == 0;
        std::vector<uint8_t> bytes(CAPX_MAX_FRAME_LEN);
        int n = capxEncodeMsgEx(&ack, bytes.data(), CAPX_MAX_FRAME_LEN, 0, 0, nullptr);
        bytes.resize(static_cast<size_t>(std::max(n, 0)));
        {
            std::lock_guard<std::mutex> g(mu_);
            if (accepted) {
                key_ = ack.loginAck.eValue;   // frames after the LOGIN_ACK use the new key
                loginConn_ = conn;
            }
        }
        if (accepted && cfg_.keepAliveWithLoginAck) {
            CapxMsg ka;
            zero(ka);
            ka.msgId = CAPX_KEEP_ALIVE;
            ka.keepAlive.svrTxStampSec = static_cast<uint32_t>(time(nullptr));
            ka.keepAlive.curCaCount = cfg_.kaCurCaCount;
            ka.keepAlive.caState = cfg_.kaCaState;
            ka.keepAlive.doNotPause = cfg_.kaDoNotPause;
            const std::vector<uint8_t> kaFrame = frameFor(ka);
            bytes.insert(bytes.end(), kaFrame.begin(), kaFrame.end());
        }
        writeAll(bytes.data(), bytes.size());  // one write: one segment on loopback
        if (accepted) onLoginAccepted(conn);
    } else if (f.id == CAPX_DATA) {
        bool answer;
        int result, delay;
        {
            std::lock_guard<std::mutex> g(mu_);
            answer = cfg_.answerData;
            result = cfg_.dataAckResult;
            delay = cfg_.dataAckDelayMs;
        }
        if (answer) {
            CapxMsg ack;
            zero(ack);
            ack.msgId = CAPX_DATA_ACK;
            {
                std::lock_guard<std::mutex> g(mu_);
                ack.dataAck.seqNo = seqNo_++;
            }
            ack.dataAck.result = static_cast<uint8_t>(result);
            if (delay <= 0) send(ack);
            else scheduleMsg(ack, delay, conn);
        }
    } else if (f.id == CAPX_LOGOUT && cfg_.answerLogout) {
        CapxMsg ack;
        zero(ack);
        ack.msgId = CAPX_LOGOUT_ACK;
        send(ack);
    }
    if (cfg_.onClientMessage && (f.id == CAPX_VOIP_SETUP_COMPLETE || f.id == CAPX_RELEASE ||
                                 f.id == CAPX_RELEASE_COMPLETE))
        cfg_.onClientMessage(f.msg);

    // Scripted answers to client messages (each step once).
    for (size_t i = 0; i < cfg_.script.size(); ++i) {
        const SvcSimStep& st = cfg_.script[i];
        if (st.trigger != SvcSimStep::OnMessage || st.onMsgId != f.id) continue;
        {
            std::lock_guard<std::mutex> g(mu_);
            if (stepFired_[i]) continue;
            stepFired_[i] = true;
        }
        scheduleMsg(st.msg, st.delayMs, conn);
    }
}

void SvcSim::onLoginAccepted(int conn)
{
    for (size_t i = 0; i < cfg_.script.size(); ++i) {
        const SvcSimStep& st = cfg_.script[i];
        if (st.trigger != SvcSimStep::AtMs) continue;
        {
            std::lock_guard<std::mutex> g(mu_);
            if (stepFired_[i]) continue;
            stepFired_[i] = true;
        }
        scheduleMsg(st.msg, st.delayMs, conn);
    }
    startKeepAlive(conn);
}

void SvcSim::startKeepAlive(int conn)
{
    std::lock_guard<std::mutex> g(mu_);
    pending_.erase(std::remove_if(pending_.begin(), pending_.end(), [](const Pending& p) { return p.keepAlive; }),
                   pending_.end());
    if (cfg_.keepAlivePeriodMs <= 0) return;
    Pending p;
    p.keepAlive = true;
    p.conn = conn;
    p.due = std::chrono::steady_clock::now() + std::chrono::milliseconds(cfg_.keepAlivePeriodMs);
    pending_.push_back(p);
    cv_.notify_all();
}

void SvcSim::schedule(Pending p)
{
    std::lock_guard<std::mutex> g(mu_);
    pending_.push_back(std::move(p));
    cv_.notify_all();
}

void SvcSim::scheduleMsg(const CapxMsg& msg, int delayMs, int conn)
{
    Pending p;
    p.msg = msg;
    p.conn = conn;
    p.due = std::chrono::steady_clock::now() + std::chrono::milliseconds(delayMs);
    schedule(std::move(p));
}

void SvcSim::schedulerLoop()
{
    std::unique_lock<std::mutex> lk(mu_);
    while (!stopping_) {
        if (pending_.empty()) {
            cv_.wait_for(lk, std::chrono::milliseconds(200));
            continue;
        }
        auto it = std::min_element(pending_.begin(), pending_.end(),
                                   [](const Pending& a, const Pending& b) { return a.due < b.due; });
        if (std::chrono::steady_clock::now() < it->due) {
            // A copy: the vector may grow while this thread waits.
            const auto until = std::min(it->due, std::chrono::steady_clock::now() + std::chrono::milliseconds(200));
            cv_.wait_until(lk, until);
            continue;
        }
        Pending p = *it;
        pending_.erase(it);
        if (p.conn != conn_) continue;  // that client is gone
        if (p.keepAlive) {
            if (cfg_.keepAlivePeriodMs > 0) {
                Pending next = p;
                next.due = p.due + std::chrono::milliseconds(cfg_.keepAlivePeriodMs);
                pending_.push_back(next);
            }
            zero(p.msg);
            p.msg.msgId = CAPX_KEEP_ALIVE;
            timeval tv{};
            gettimeofday(&tv, nullptr);
            p.msg.keepAlive.svrTxStampSec = static_cast<uint32_t>(tv.tv_sec);
            p.msg.keepAlive.svrTxStampUsec = static_cast<uint32_t>(tv.tv_usec);
            p.msg.keepAlive.curCaCount = cfg_.kaCurCaCount;
            p.msg.keepAlive.caState = cfg_.kaCaState;
            p.msg.keepAlive.doNotPause = cfg_.kaDoNotPause;
        }
        lk.unlock();
        if (p.isRaw) {
            writeAll(p.raw.data(), p.raw.size());
        } else {
            if (p.msg.msgId == CAPX_VOIP_SETUP && cfg_.onVoipSetup) cfg_.onVoipSetup(p.msg);
            send(p.msg);
        }
        lk.lock();
    }
}

int SvcSim::writeAll(const uint8_t* p, size_t n)
{
    std::lock_guard<std::mutex> w(writeMu_);
    int fd;
    {
        std::lock_guard<std::mutex> g(mu_);
        fd = clientFd_;
    }
    if (fd < 0) return -1;
    size_t done = 0;
    while (done < n) {
        ssize_t r = ::send(fd, p + done, n - done, MSG_NOSIGNAL);
        if (r > 0) done += static_cast<size_t>(r);
        else if (r < 0 && errno == EINTR) continue;
        else return -1;
    }
    return 0;
}

std::vector<uint8_t> SvcSim::frameFor(const CapxMsg& msg)
{
    std::vector<uint8_t> buf(CAPX_MAX_FRAME_LEN);
    const int n = capxEncodeMsgEx(&msg, buf.data(), CAPX_MAX_FRAME_LEN, 0, 0, nullptr);
    if (n <= 0) return {};
    buf.resize(static_cast<size_t>(n));
    capxLinkKeySvrTx(buf.data(), n, linkKey());
    return buf;
}

int SvcSim::send(const CapxMsg& msg)
{
    const std::vector<uint8_t> f = frameFor(msg);
    if (f.empty()) return -1;
    return writeAll(f.data(), f.size());
}

int SvcSim::sendText(const std::string& text)
{
    CapxMsg m;
    char err[200];
    if (capxMsgFromText(text.c_str(), &m, err, sizeof err) != 0) {
        lastError_ = err;
        return -1;
    }
    return send(m);
}

int SvcSim::sendRaw(const std::vector<uint8_t>& bytes) { return writeAll(bytes.data(), bytes.size()); }

int SvcSim::sendRawPaced(const std::vector<uint8_t>& bytes, int chunk, int pauseMs)
{
    if (chunk < 1) chunk = 1;
    for (size_t i = 0; i < bytes.size(); i += static_cast<size_t>(chunk)) {
        const size_t n = std::min(bytes.size() - i, static_cast<size_t>(chunk));
        if (writeAll(bytes.data() + i, n) != 0) return -1;
        if (pauseMs > 0 && i + n < bytes.size()) std::this_thread::sleep_for(std::chrono::milliseconds(pauseMs));
    }
    return 0;
}

bool SvcSim::waitForClient(int timeoutMs)
{
    std::unique_lock<std::mutex> lk(mu_);
    return cv_.wait_for(lk, std::chrono::milliseconds(timeoutMs), [&] { return clientFd_ >= 0; });
}

bool SvcSim::connected()
{
    std::lock_guard<std::mutex> g(mu_);
    return clientFd_ >= 0;
}

int SvcSim::connections()
{
    std::lock_guard<std::mutex> g(mu_);
    return conn_;
}

int SvcSim::loginConnection()
{
    std::lock_guard<std::mutex> g(mu_);
    return loginConn_;
}

void SvcSim::closeClient()
{
    std::lock_guard<std::mutex> g(mu_);
    if (clientFd_ >= 0) shutdown(clientFd_, SHUT_RDWR);
}

std::vector<SvcSimFrame> SvcSim::frames()
{
    std::lock_guard<std::mutex> g(mu_);
    return frames_;
}

size_t SvcSim::frameCount()
{
    std::lock_guard<std::mutex> g(mu_);
    return frames_.size();
}

int SvcSim::count(int id)
{
    std::lock_guard<std::mutex> g(mu_);
    return static_cast<int>(std::count_if(frames_.begin(), frames_.end(), [id](const SvcSimFrame& f) { return f.id == id; }));
}

bool SvcSim::waitForCount(int id, int n, int timeoutMs)
{
    std::unique_lock<std::mutex> lk(mu_);
    return cv_.wait_for(lk, std::chrono::milliseconds(timeoutMs), [&] {
        return std::count_if(frames_.begin(), frames_.end(), [id](const SvcSimFrame& f) { return f.id == id; }) >= n;
    });
}

bool SvcSim::waitFor(const std::function<bool(const std::vector<SvcSimFrame>&)>& pred, int timeoutMs)
{
    std::unique_lock<std::mutex> lk(mu_);
    return cv_.wait_for(lk, std::chrono::milliseconds(timeoutMs), [&] { return pred(frames_); });
}

void SvcSim::clearFrames()
{
    std::lock_guard<std::mutex> g(mu_);
    frames_.clear();
}

uint8_t SvcSim::linkKey()
{
    std::lock_guard<std::mutex> g(mu_);
    return key_;
}

void SvcSim::setLinkKey(uint8_t key)
{
    std::lock_guard<std::mutex> g(mu_);
    key_ = key;
}

void SvcSim::setKeepAlive(int periodMs, uint16_t curCaCount, uint8_t caState, uint8_t doNotPause)
{
    int conn;
    {
        std::lock_guard<std::mutex> g(mu_);
        cfg_.keepAlivePeriodMs = periodMs;
        cfg_.kaCurCaCount = curCaCount;
        cfg_.kaCaState = caState;
        cfg_.kaDoNotPause = doNotPause;
        conn = conn_;
    }
    startKeepAlive(conn);
}

void SvcSim::setKeepAliveState(uint8_t caState)
{
    std::lock_guard<std::mutex> g(mu_);
    cfg_.kaCaState = caState;
}

void SvcSim::setDataAck(bool answer, int result, int delayMs)
{
    std::lock_guard<std::mutex> g(mu_);
    cfg_.answerData = answer;
    cfg_.dataAckResult = result;
    cfg_.dataAckDelayMs = delayMs;
}
