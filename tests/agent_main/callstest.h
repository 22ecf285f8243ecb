// Shared frame of the call and caption tests: a logged-in main window whose
// simulator keeps the link alive (keep-alives that never trip the
// wrong-state rule), steps that take a call from the offer to captioning,
// a barrier that waits until the window has handled everything the
// simulator sent, the log lines, and a stenography program on loopback.
#pragma once

#include "ccolorstaticst.h"
#include "colorbutton.h"
#include "dlgprogress.h"
#include "mainwindowtest.h"
#include "userscreendisplay.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QPlainTextEdit>
#include <QTextEdit>
#include <mutex>
#include <string>

namespace calltest {

using maintest::MainFixture;

// Log lines of the runtime, collected from the log task's thread. Lines of
// threads that are not tasks (the window's) go through the log task as they
// do in the program, where the remote console runs. Construct it after the
// fixture's start: starting the runtime marks the console down again, and the
// window's lines would then go to standard output, past the observer.
class LogLines {
public:
    LogLines() : consoleWasUp_(g_posConsoleUp.exchange(1))
    {
        posLogSetObserver(&LogLines::observe, this);
    }
    ~LogLines()
    {
        posLogSetObserver(nullptr, nullptr);
        g_posConsoleUp.store(consoleWasUp_);
    }
    LogLines(const LogLines&) = delete;
    LogLines& operator=(const LogLines&) = delete;

    int count(const QString& part)
    {
        std::lock_guard<std::mutex> g(mu_);
        int n = 0;
        for (const QString& l : lines_)
            if (l.contains(part))
                ++n;
        return n;
    }
    bool waitFor(const QString& part, int timeoutMs = 3000)
    {
        return MainFixture::waitFor([&] { return count(part) > 0; }, timeoutMs);
    }
    QStringList lines()
    {
        std::lock_guard<std::mutex> g(mu_);
        return lines_;
    }

private:
    static void observe(uint32_t, const char* text, void* ctx)
    {
        auto* self = static_cast<LogLines*>(ctx);
        std::lock_guard<std::mutex> g(self->mu_);
        self->lines_.push_back(QString::fromUtf8(text));
    }
    int consoleWasUp_;
    std::mutex mu_;
    QStringList lines_;
};

// A simulator configuration for call tests: login accepted, keep-alives every
// 500 ms with a service CA state that never counts as "wrong", DATA answered.
inline SvcSimConfig callConfig()
{
    SvcSimConfig c;
    c.agentId = 7;
    c.keepAlivePeriodMs = 500;
    c.kaCurCaCount = 1;
    c.kaCaState = 4;
    return c;
}

// CA_SVC_STATE answered with CA_SVC_STATE_ACK (inService 1), once.
inline void addJoinAck(SvcSimConfig& c)
{
    SvcSimStep ack;
    ack.trigger = SvcSimStep::OnMessage;
    ack.onMsgId = CAPX_CA_SVC_STATE;
    ack.msg.msgId = CAPX_CA_SVC_STATE_ACK;
    ack.msg.caSvcStateAck.inService = 1;
    c.script.push_back(ack);
}

// A stenography program on loopback: connects to the agent's stenography port.
class StenoClient {
public:
    StenoClient() = default;
    ~StenoClient() { close(); }
    StenoClient(const StenoClient&) = delete;
    StenoClient& operator=(const StenoClient&) = delete;

    bool connect()
    {
        fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
        if (fd_ < 0)
            return false;
        int one = 1;
        setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_port = htons(uint16_t(capcStenoListenPort()));
        sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        return ::connect(fd_, reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0;
    }
    bool send(const QByteArray& bytes)
    {
        qsizetype at = 0;
        while (at < bytes.size()) {
            const ssize_t n = ::send(fd_, bytes.constData() + at, size_t(bytes.size() - at), MSG_NOSIGNAL);
            if (n <= 0)
                return false;
            at += n;
        }
        return true;
    }
    void close()
    {
        if (fd_ >= 0)
            ::close(fd_);
        fd_ = -1;
    }
    int fd() const { return fd_; }

private:
    int fd_ = -1;
};

struct CallFixture : MainFixture {
    // Everything the simulator received with id, oldest first.
    std::vector<SvcSimFrame> framesOf(int id)
    {
        std::vector<SvcSimFrame> out;
        for (const SvcSimFrame& f : sim->frames())
            if (f.id == id)
                out.push_back(f);
        return out;
    }
    // Ids of the frames received after the first `from`, without keep-alive
    // answers (the link's own traffic).
    std::vector<int> idsSince(size_t from)
    {
        std::vector<int> out;
        const auto all = sim->frames();
        for (size_t i = from; i < all.size(); ++i)
            if (all[i].id != CAPX_KEEP_ALIVE_ACK)
                out.push_back(all[i].id);
        return out;
    }
    size_t frameCount() { return sim->frames().size(); }

    // Waits until the window has handled everything the simulator sent so
    // far: a keep-alive with a stamp of its own travels behind it through the
    // agent task, whose answer proves that the earlier messages were posted
    // to the window; the posted events are then delivered.
    bool pingThrough()
    {
        static uint32_t stamp = 0x51000000u;
        CapxMsg ka{};
        ka.msgId = CAPX_KEEP_ALIVE;
        ka.keepAlive.svrTxStampSec = ++stamp;
        ka.keepAlive.curCaCount = 1;
        ka.keepAlive.caState = 4;
        const uint32_t mine = stamp;
        if (sim->send(ka) < 0)
            return false;
        const bool answered = waitFor([&] {
            for (const SvcSimFrame& f : sim->frames())
                if (f.id == CAPX_KEEP_ALIVE_ACK && f.msg.keepAliveAck.svrTxStampSec == mine)
                    return true;
            return false;
        });
        QCoreApplication::sendPostedEvents();
        QCoreApplication::processEvents();
        return answered;
    }
    // Waits until the window has handled everything the simulator sent so
    // far, and the simulator has received what the window sent meanwhile
    // (a second round behind the window's own frames on the same link).
    bool settle() { return pingThrough() && pingThrough(); }

    bool send(const std::string& text) { return sim->sendText(text) >= 0; }

    bool offer()
    {
        const int rings = countSounds(ringLine());
        return send("BROADCAST availCallCount1st=1 callIdx=9") &&
               waitFor([&] { return countSounds(ringLine()) > rings; });
    }
    QString ringLine() const { return QStringLiteral("play %1 loop").arg(window->ringFileName()); }
    bool answer()
    {
        const int before = sim->count(CAPX_ASSIGN_REQ);
        window->controlAs<QPushButton>(CDarIduruDlg::IDC_ANSWER)->click();
        return waitCount(CAPX_ASSIGN_REQ, before + 1);
    }
    bool assign(int emergency = 0)
    {
        return send("ASSIGN_COMPLETE cuPhoneNumber=\"5551234\" callIdx=9 isEmergency=" +
                    std::to_string(emergency)) &&
               waitFor([] { return conContext().callState.load() == STATE_IN_SERVICE; });
    }
    // VOIP_SETUP to a port where nobody listens; waits for the answer.
    bool voipSetup(const std::string& address = "127.0.0.1", int port = 40002, int payloadType = 0)
    {
        const int before = sim->count(CAPX_VOIP_SETUP_COMPLETE);
        return send("VOIP_SETUP ipAddr=\"" + address + "\" portId=" + std::to_string(port) +
                    " payloadType=" + std::to_string(payloadType)) &&
               waitCount(CAPX_VOIP_SETUP_COMPLETE, before + 1);
    }
    int lastVoipSetupResult()
    {
        const auto f = framesOf(CAPX_VOIP_SETUP_COMPLETE);
        return f.empty() ? -1 : f.back().msg.voipSetupComplete.result;
    }
    bool control(int code)
    {
        return send("CONTROL control=" + std::to_string(code)) && settle();
    }
    // Offer, answer, assignment, CAP_START: a call in service with
    // captioning on (no voice session).
    bool captioningCall()
    {
        return offer() && answer() && assign() && control(1) &&
               conContext().captioning.load() == 1;
    }
    // Waits until the RTP session of the last call is gone, so the next
    // VOIP_SETUP can allocate it.
    static bool waitSapFree()
    {
        return waitFor([] { return g_rtpAgent.sap[0].state.load() == RTP_S_INIT; }, 5000);
    }

    // The caption DATA the simulator received, one entry per frame.
    QList<QByteArray> dataFrames()
    {
        QList<QByteArray> out;
        for (const SvcSimFrame& f : framesOf(CAPX_DATA))
            out.push_back(QByteArray(reinterpret_cast<const char*>(f.msg.data.data), f.msg.data.dataLen));
        return out;
    }
    QByteArray dataBytes()
    {
        QByteArray all;
        for (const QByteArray& d : dataFrames())
            all += d;
        return all;
    }

    QColor bk(int id) { return window->controlAs<CColorStaticST>(id)->currentBkColor(); }
    ColorButton* colorButton(int id) { return window->controlAs<ColorButton>(id); }
    bool enabled(int id) { return window->control(id)->isEnabled(); }
    // The text of the transient notices open now.
    QStringList notices()
    {
        QStringList out;
        for (DlgProgress* d : window->findChildren<DlgProgress*>())
            out << d->text();
        return out;
    }
    // The caption screen's text without the blank a cleared screen holds.
    QString screenText()
    {
        QString t = window->captionScreen()->plainText();
        if (t.startsWith(QLatin1Char(' ')))
            t.remove(0, 1);
        return t;
    }
    QString typed() { return window->controlAs<QPlainTextEdit>(CDarIduruDlg::IDC_TYPING)->toPlainText(); }
};

}  // namespace calltest
