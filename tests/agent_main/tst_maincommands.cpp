// The agent's commands during a call against the service simulator: the
// report buttons and their notifications, the hold toggle, the handover for
// the requesting and the receiving agent, HO_EVENT's indicator, and the
// notices of the system manager.
#include "captionreportlink.h"
#include "ccolorlistbox.h"
#include "ccolorstaticst.h"
#include "cdlgnoticebox.h"
#include "colorbutton.h"
#include "dlgconfig.h"
#include "mainwindowtest.h"
#include "typingbox.h"

#include <QCheckBox>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

using maintest::MainFixture;

namespace {

const QColor kFaceInactive(0xF0, 0xF0, 0xF0);
const QColor kTextInactive(0xE6, 0xE6, 0xE6);
const QColor kTextActive(0x01, 0x01, 0x01);
const QColor kYellow(0xFF, 0xFF, 0x66);
const QColor kGreen(0x33, 0xFF, 0x00);
const QColor kHoldOn(0xFF, 0xFF, 0x33);
const QColor kRed(0xFF, 0x00, 0x00);
const QColor kGrey(0x99, 0x99, 0x99);

using W = CDarIduruDlg;

// A logged-in agent who is offered one call: BROADCAST shortly after the
// login; the answer (ASSIGN_REQ) is followed by ASSIGN_COMPLETE and, unless
// capStart is false, by CAP_START. Keep-alives keep the login up; they show
// the agent busy, as the service does during a call, so that the agent task's
// wrong-state rule never ends the call.
SvcSimConfig callConfig(int loginMode = 0, bool capStart = true, bool offerAtOnce = true)
{
    SvcSimConfig c;
    c.keepAlivePeriodMs = 500;
    c.kaCaState = 4;
    c.agentId = 7;
    c.loginMode = loginMode;
    if (offerAtOnce) {
        SvcSimStep offer;
        offer.trigger = SvcSimStep::AtMs;
        offer.delayMs = 100;
        offer.msg.msgId = CAPX_BROADCAST;
        c.script.push_back(offer);
    }
    SvcSimStep assign;
    assign.trigger = SvcSimStep::OnMessage;
    assign.onMsgId = CAPX_ASSIGN_REQ;
    assign.msg.msgId = CAPX_ASSIGN_COMPLETE;
    c.script.push_back(assign);
    if (capStart) {
        SvcSimStep start;
        start.trigger = SvcSimStep::OnMessage;
        start.onMsgId = CAPX_ASSIGN_REQ;
        start.delayMs = 50;
        start.msg.msgId = CAPX_CONTROL;
        start.msg.control.control = 1;
        c.script.push_back(start);
    }
    return c;
}

int hoState()
{
    return int(conContext().handoverState.load());
}

bool waitRinging()
{
    return MainFixture::waitFor([] { return conContext().ringing.load() == 1; }, 5000);
}

// Logs in, waits for the offer, presses Answer and waits until the call is in
// service (and captioning, when the script starts it).
bool reachService(MainFixture& f, const SvcSimConfig& config, bool captioning = true)
{
    if (!f.start(config) || !waitRinging())
        return false;
    f.window->controlAs<QPushButton>(W::IDC_ANSWER)->click();
    return MainFixture::waitFor([captioning] {
        const ConsoleContext& c = conContext();
        return c.callState.load() == STATE_IN_SERVICE && (!captioning || c.captioning.load() == 1);
    });
}

std::vector<SvcSimFrame> framesOf(SvcSim& sim, int id)
{
    std::vector<SvcSimFrame> out;
    for (const SvcSimFrame& f : sim.frames())
        if (f.id == id)
            out.push_back(f);
    return out;
}

// Sends a link probe and waits until the simulator has it: everything the
// window sent before has then arrived too (one ordered connection).
bool syncLink(MainFixture& f)
{
    const int before = f.sim->count(CAPX_LINK_PROBE_ID);
    if (capcTxLinkProbe() < 0)
        return false;
    return f.waitCount(CAPX_LINK_PROBE_ID, before + 1);
}

// Frames received from index `from` on, as "NAME a/b" lines for the
// messages the commands send (probes and keep-alive answers left out).
QStringList sentSince(MainFixture& f, size_t from)
{
    QStringList out;
    const std::vector<SvcSimFrame> all = f.sim->frames();
    for (size_t i = from; i < all.size(); ++i) {
        const SvcSimFrame& fr = all[i];
        switch (fr.id) {
        case CAPX_CONTROL:
            out << QStringLiteral("CONTROL %1/%2").arg(fr.msg.control.control).arg(fr.msg.control.result);
            break;
        case CAPX_HO_EVENT:
            out << QStringLiteral("HO_EVENT %1/%2").arg(fr.msg.hoEvent.eventId).arg(fr.msg.hoEvent.result);
            break;
        case CAPX_CALL_REPORT:
            out << QStringLiteral("CALL_REPORT");
            break;
        case CAPX_RELEASE_COMPLETE:
            out << QStringLiteral("RELEASE_COMPLETE");
            break;
        case CAPX_LOGOUT:
            out << QStringLiteral("LOGOUT");
            break;
        default:
            break;
        }
    }
    return out;
}

CapxMsg hoEvent(int eventId, int result)
{
    CapxMsg m{};
    m.msgId = CAPX_HO_EVENT;
    m.hoEvent.eventId = uint8_t(eventId);
    m.hoEvent.result = uint8_t(result);
    return m;
}

CapxMsg control(int code)
{
    CapxMsg m{};
    m.msgId = CAPX_CONTROL;
    m.control.control = uint8_t(code);
    return m;
}

CapxMsg message(const char* text)
{
    CapxMsg m{};
    m.msgId = CAPX_MESSAGE;
    m.message.broadcastLevel = 1;
    m.message.caId = 7;
    std::snprintf(m.message.msg, sizeof m.message.msg, "%s", text);
    return m;
}

// A MESSAGE frame built byte by byte, so that its text may be longer than
// the record holds and carry any bytes.
std::vector<uint8_t> rawMessageFrame(const QByteArray& text, uint8_t key)
{
    const int n = int(text.size());
    const int body = 1 + 1 + 4 + 2 + n;
    std::vector<uint8_t> f;
    f.push_back(uint8_t(body >> 8));
    f.push_back(uint8_t(body));
    f.push_back(CAPX_MESSAGE);
    f.push_back(1);
    for (int b : {0, 0, 0, 7})
        f.push_back(uint8_t(b));
    f.push_back(uint8_t(n >> 8));
    f.push_back(uint8_t(n));
    f.insert(f.end(), text.begin(), text.end());
    capxLinkKeySvrTx(f.data(), int(f.size()), key);
    return f;
}

CapxMsg broadcast()
{
    CapxMsg m{};
    m.msgId = CAPX_BROADCAST;
    return m;
}

// Runs `whileOpen` once the window's configuration dialog is up (the Config..
// press runs it modally). A dialog still open after timeoutMs is cancelled so
// that the press returns; *stuck then tells the test.
void whenConfigOpen(W& w, std::function<void(DlgConfig&)> whileOpen, bool* stuck,
                    int timeoutMs = 8000)
{
    *stuck = false;
    auto* poll = new QTimer;
    QObject::connect(poll, &QTimer::timeout, poll, [&w, poll, whileOpen] {
        DlgConfig* d = w.configDialog();
        if (!d || !d->isVisible())
            return;
        poll->stop();
        poll->deleteLater();
        whileOpen(*d);
    });
    poll->start(10);
    QPointer<DlgConfig> dialog = w.configDialog();
    QTimer::singleShot(timeoutMs, [dialog, stuck] {
        if (dialog && dialog->isVisible()) {
            *stuck = true;
            dialog->OnCancel();
        }
    });
}

// A stenography program connected to the agent task's listener; -1 on failure.
int connectStenography()
{
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0)
        return -1;
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(uint16_t(capcStenoListenPort()));
    if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

QColor bk(W& w, int id)
{
    return w.controlAs<CColorStaticST>(id)->currentBkColor();
}
ColorButton* cbutton(W& w, int id)
{
    return w.controlAs<ColorButton>(id);
}
bool typingHasFocus(W& w)
{
    return w.focusWidget() == w.control(W::IDC_TYPING);
}
// Moves the keyboard focus away from the typing box.
void focusElsewhere(W& w)
{
    w.control(W::IDC_NOTICE)->setFocus(Qt::OtherFocusReason);
}

// The text of the notice box's lines after the header, joined (each line
// carries three leading blanks).
QString noticeText(CDlgNoticeBox* box, int firstLine)
{
    QString out;
    for (int i = firstLine; i < box->list()->GetCount(); ++i)
        out += box->list()->GetText(i).mid(3);
    return out;
}

}  // namespace

class TestMainCommands : public QObject {
    Q_OBJECT
private slots:
    void init()
    {
        windowtest::clearStore();
        CDarIduruDlg::setWaitScale(0.1);
        // The calls here never set up voice: the offer watchdog must not end them.
        CDarIduruDlg::setTimerPeriodForTest(W::TIMER_OFFER, 600000);
    }
    void cleanup()
    {
        CDarIduruDlg::setTimerPeriodForTest(W::TIMER_OFFER, 0);
        CDarIduruDlg::setTimerPeriodForTest(W::TIMER_HANDOVER, 0);
        CDarIduruDlg::setWaitScale(1.0);
    }

    // Each report command: its CONTROL code with result 0, the confirmation
    // where one is asked, nothing sent on No, and the typing box focused in
    // every case. The notifications run the same commands.
    void reportCommands()
    {
        MainFixture f;
        QVERIFY(reachService(f, callConfig()));
        W& w = *f.window;

        const QString misuseQ = QStringLiteral("Are you sure to send MISUSE?");
        const QString fraudQ = QStringLiteral("Are you sure to send 'Fraud Waring' to this user?");
        struct Row {
            const char* name;
            int button;        // control id, or 0 for a notification
            int notification;  // message number when button is 0
            QString question;  // empty: none asked
            QMessageBox::StandardButton answer;
            int sent;          // CONTROL code, or -1 for nothing
        };
        const Row rows[] = {
            {"NoVoice", W::IDC_NOVOICE, 0, {}, QMessageBox::NoButton, 11},
            {"Noise", W::IDC_NOISE, 0, {}, QMessageBox::NoButton, 12},
            {"Misuse yes", W::IDC_MISUSE, 0, misuseQ, QMessageBox::Yes, 13},
            {"Misuse no", W::IDC_MISUSE, 0, misuseQ, QMessageBox::No, -1},
            {"Misuse closed", W::IDC_MISUSE, 0, misuseQ, QMessageBox::Cancel, -1},
            {"Recorded", W::IDC_RECORDED, 0, {}, QMessageBox::NoButton, 16},
            {"Interactive", W::IDC_INTERACTIVE, 0, {}, QMessageBox::NoButton, 17},
            {"O/Lang", W::IDC_OLANG, 0, {}, QMessageBox::NoButton, 22},
            {"Fraud yes", W::IDC_FRAUD, 0, fraudQ, QMessageBox::Yes, 37},
            {"Fraud no", W::IDC_FRAUD, 0, fraudQ, QMessageBox::No, -1},
            {"WM_CON_NOISE", 0, WM_CON_NOISE, {}, QMessageBox::NoButton, 12},
            {"WM_CON_NO_VOICE", 0, WM_CON_NO_VOICE, {}, QMessageBox::NoButton, 11},
            {"WM_CON_MISUSE yes", 0, WM_CON_MISUSE, misuseQ, QMessageBox::Yes, 13},
            {"WM_CON_MISUSE no", 0, WM_CON_MISUSE, misuseQ, QMessageBox::No, -1},
        };
        // Captioning runs: every report button is enabled (Fraud while hidden).
        for (int id : {W::IDC_NOVOICE, W::IDC_NOISE, W::IDC_MISUSE, W::IDC_RECORDED,
                       W::IDC_INTERACTIVE, W::IDC_OLANG, W::IDC_FRAUD})
            QVERIFY2(w.control(id)->isEnabled(), qPrintable(QString::number(id)));
        QVERIFY(!w.control(W::IDC_FRAUD)->isVisibleTo(&w));

        for (const Row& r : rows) {
            f.prompts.clear();
            if (r.answer != QMessageBox::NoButton)
                f.prompts.queueAnswer(r.answer);
            QVERIFY(syncLink(f));
            const size_t from = f.sim->frames().size();
            focusElsewhere(w);
            if (r.button) {
                w.controlAs<QPushButton>(r.button)->click();
            } else {
                postConsoleEvent(&w, r.notification, 0);
                QVERIFY2(MainFixture::waitFor([&] { return typingHasFocus(w); }), r.name);
            }
            QVERIFY(syncLink(f));
            const QStringList expected =
                r.sent < 0 ? QStringList{} : QStringList{QStringLiteral("CONTROL %1/0").arg(r.sent)};
            QVERIFY2(sentSince(f, from) == expected,
                     qPrintable(QStringLiteral("%1: %2").arg(QLatin1String(r.name),
                                                             sentSince(f, from).join(u','))));
            const QStringList asked = r.question.isEmpty() ? QStringList{} : QStringList{r.question};
            QVERIFY2(f.prompts.texts() == asked, r.name);
            QVERIFY2(typingHasFocus(w), r.name);
        }
    }

    // w/ hold: on sends CONTROL 19 with the face #FFFF33, off sends 20 with
    // #F0F0F0; the console reset turns it off without sending anything.
    void holdToggle()
    {
        MainFixture f;
        QVERIFY(reachService(f, callConfig()));
        W& w = *f.window;
        auto* hold = w.controlAs<QPushButton>(W::IDC_HOLD);
        QVERIFY(hold->isEnabled());
        QCOMPARE(cbutton(w, W::IDC_HOLD)->textColor(), kTextActive);
        QCOMPARE(w.holdToggle(), 0);

        QVERIFY(syncLink(f));
        size_t from = f.sim->frames().size();
        const struct {
            int toggle;
            QColor face;
            const char* sent;
        } steps[] = {{1, kHoldOn, "CONTROL 19/0"}, {0, kFaceInactive, "CONTROL 20/0"},
                     {1, kHoldOn, "CONTROL 19/0"}};
        QStringList expected;
        for (const auto& s : steps) {
            hold->click();
            expected << QLatin1String(s.sent);
            QCOMPARE(w.holdToggle(), s.toggle);
            QCOMPARE(cbutton(w, W::IDC_HOLD)->faceColor(), s.face);
        }
        QVERIFY(syncLink(f));
        QCOMPARE(sentSince(f, from), expected);

        // The call's reset: off, nothing sent.
        from = f.sim->frames().size();
        w.ReleaseAllState();
        QCOMPARE(w.holdToggle(), 0);
        QCOMPARE(cbutton(w, W::IDC_HOLD)->faceColor(), kFaceInactive);
        QVERIFY(syncLink(f));
        QCOMPARE(sentSince(f, from), QStringList{});
    }

    // The requesting agent: Request, the server's acceptance, the target
    // ready ("Action"), the agent acting, and the end of the attempt.
    void handoverRequestAndAction()
    {
        MainFixture f;
        QVERIFY(reachService(f, callConfig()));
        W& w = *f.window;
        ConsoleContext& c = conContext();
        auto* request = w.controlAs<QPushButton>(W::IDC_REQUEST);
        auto* cancel = w.controlAs<QPushButton>(W::IDC_HO_CANCEL);
        QVERIFY(request->isEnabled());
        QCOMPARE(cbutton(w, W::IDC_REQUEST)->textColor(), kTextActive);
        QVERIFY(!cancel->isEnabled());
        QCOMPARE(CDarIduruDlg::timerPeriod(W::TIMER_HANDOVER), 60000);

        QVERIFY(syncLink(f));
        const size_t from = f.sim->frames().size();
        focusElsewhere(w);
        request->click();
        QVERIFY(f.waitCount(CAPX_HO_EVENT, 1));
        QCOMPARE(sentSince(f, from), QStringList{QStringLiteral("HO_EVENT 1/1")});
        QCOMPARE(cbutton(w, W::IDC_REQUEST)->faceColor(), kYellow);
        QVERIFY(typingHasFocus(w));
        QCOMPARE(hoState(), 0);

        // Accepted: Cancel becomes available.
        QVERIFY(f.sim->send(hoEvent(2, 0)) == 0);
        QTRY_VERIFY_WITH_TIMEOUT(cancel->isEnabled(), 5000);
        QCOMPARE(f.text(W::IDC_INDICATOR), QStringLiteral("O"));
        QVERIFY(bk(w, W::IDC_INDICATOR) != kRed);

        // Target ready: "Action" on green, w/ hold disabled, 60 s to act.
        QVERIFY(f.sim->send(hoEvent(4, 0)) == 0);
        QTRY_COMPARE_WITH_TIMEOUT(f.text(W::IDC_REQUEST), QStringLiteral("Action"), 5000);
        QCOMPARE(hoState(), 4);
        QCOMPARE(cbutton(w, W::IDC_REQUEST)->faceColor(), kGreen);
        QVERIFY(!w.control(W::IDC_HOLD)->isEnabled());
        QVERIFY(cancel->isEnabled());
        QVERIFY(w.isWindowTimerActive(W::TIMER_HANDOVER));
        QCOMPARE(w.windowTimerInterval(W::TIMER_HANDOVER), 60000);
        QCOMPARE(f.text(W::IDC_INDICATOR), QStringLiteral("."));

        // Action: the call's statistics, then HO_EVENT 5.
        QVERIFY(syncLink(f));
        size_t mark = f.sim->frames().size();
        focusElsewhere(w);
        request->click();
        QVERIFY(syncLink(f));
        QCOMPARE(sentSince(f, mark),
                 (QStringList{QStringLiteral("CALL_REPORT"), QStringLiteral("HO_EVENT 5/1")}));
        QCOMPARE(hoState(), 5);
        QVERIFY(!w.isWindowTimerActive(W::TIMER_HANDOVER));
        QVERIFY(typingHasFocus(w));
        const CapxCallReport report = framesOf(*f.sim, CAPX_CALL_REPORT).back().msg.callReport;
        QCOMPARE(int(report.txToSvr), int(c.txToSvr.load()));
        QCOMPARE(int(report.rxSvrAck), int(c.rxSvrAck.load()));

        // Acted: another press sends nothing but still focuses the typing box.
        mark = f.sim->frames().size();
        focusElsewhere(w);
        request->click();
        QVERIFY(syncLink(f));
        QCOMPARE(sentSince(f, mark), QStringList{});
        QVERIFY(typingHasFocus(w));

        // The attempt ends, a new request allowed.
        QVERIFY(f.sim->send(hoEvent(6, 1)) == 0);
        QTRY_COMPARE_WITH_TIMEOUT(f.text(W::IDC_REQUEST), QStringLiteral("Request"), 5000);
        QVERIFY(request->isEnabled());
        QCOMPARE(cbutton(w, W::IDC_REQUEST)->textColor(), kTextActive);
        QCOMPARE(cbutton(w, W::IDC_REQUEST)->faceColor(), kFaceInactive);
        QVERIFY(!cancel->isEnabled());
        QVERIFY(w.control(W::IDC_HOLD)->isEnabled());
        QCOMPARE(f.text(W::IDC_SERVICE), QStringLiteral("Queued: 0"));
        QCOMPARE(bk(w, W::IDC_INDICATOR), kRed);
        QCOMPARE(f.text(W::IDC_INDICATOR), QStringLiteral("O"));

        // ... and the next press is a new request.
        mark = f.sim->frames().size();
        request->click();
        QVERIFY(syncLink(f));
        QCOMPARE(sentSince(f, mark), QStringList{QStringLiteral("HO_EVENT 1/1")});
    }

    // No press after the target is ready: timer 109 acts by itself once, not
    // before its period and without much delay after it.
    void handoverActsByItself()
    {
        const int period = 600;
        CDarIduruDlg::setTimerPeriodForTest(W::TIMER_HANDOVER, period);
        MainFixture f;
        QVERIFY(reachService(f, callConfig()));
        W& w = *f.window;
        w.controlAs<QPushButton>(W::IDC_REQUEST)->click();
        QVERIFY(f.waitCount(CAPX_HO_EVENT, 1));
        QVERIFY(f.sim->send(hoEvent(2, 0)) == 0);
        QVERIFY(f.sim->send(hoEvent(4, 0)) == 0);
        QElapsedTimer sinceSent;
        sinceSent.start();
        QVERIFY(MainFixture::waitFor([] { return hoState() == 4; }));
        QElapsedTimer sinceReady;
        sinceReady.start();
        const size_t mark = f.sim->frames().size();

        QVERIFY(MainFixture::waitFor([] { return hoState() == 5; }, 5000));
        const qint64 early = sinceReady.elapsed();
        const qint64 late = sinceSent.elapsed();
        QVERIFY2(early >= period - 20, qPrintable(QString::number(early)));
        QVERIFY2(late <= period + 1000, qPrintable(QString::number(late)));
        QVERIFY(syncLink(f));
        QCOMPARE(sentSince(f, mark),
                 (QStringList{QStringLiteral("CALL_REPORT"), QStringLiteral("HO_EVENT 5/1")}));
        QVERIFY(!w.isWindowTimerActive(W::TIMER_HANDOVER));
    }

    // Cancel: HO_EVENT 6, the buttons back, the deadline stopped; outside a
    // call in service it does nothing.
    void handoverCancel()
    {
        CDarIduruDlg::setTimerPeriodForTest(W::TIMER_HANDOVER, 400);
        MainFixture f;
        QVERIFY(reachService(f, callConfig()));
        W& w = *f.window;
        auto* cancel = w.controlAs<QPushButton>(W::IDC_HO_CANCEL);
        w.controlAs<QPushButton>(W::IDC_REQUEST)->click();
        QVERIFY(f.sim->send(hoEvent(2, 0)) == 0);
        QVERIFY(f.sim->send(hoEvent(4, 0)) == 0);
        QVERIFY(MainFixture::waitFor([] { return hoState() == 4; }));
        QVERIFY(w.isWindowTimerActive(W::TIMER_HANDOVER));

        QVERIFY(syncLink(f));
        const size_t mark = f.sim->frames().size();
        focusElsewhere(w);
        cancel->click();
        QVERIFY(syncLink(f));
        QCOMPARE(sentSince(f, mark), QStringList{QStringLiteral("HO_EVENT 6/1")});
        QCOMPARE(hoState(), 0);
        QVERIFY(!w.isWindowTimerActive(W::TIMER_HANDOVER));
        QVERIFY(!cancel->isEnabled());
        QCOMPARE(f.text(W::IDC_REQUEST), QStringLiteral("Request"));
        QCOMPARE(cbutton(w, W::IDC_REQUEST)->faceColor(), kFaceInactive);
        QVERIFY(w.control(W::IDC_HOLD)->isEnabled());
        QVERIFY(typingHasFocus(w));

        // Outside service: nothing.
        w.ReleaseAllState();
        const size_t idle = f.sim->frames().size();
        w.OnHandoverCancel();
        w.OnRequest();
        QVERIFY(syncLink(f));
        QCOMPARE(sentSince(f, idle), QStringList{});
    }

    // A refused request (answer or target event with a nonzero result).
    void handoverRefused_data()
    {
        QTest::addColumn<int>("eventId");
        QTest::addColumn<int>("result");
        QTest::addColumn<QString>("shown");
        QTest::newRow("request refused") << 2 << 1 << "O";
        QTest::newRow("target refused") << 4 << 3 << ".";
    }
    void handoverRefused()
    {
        QFETCH(int, eventId);
        QFETCH(int, result);
        QFETCH(QString, shown);
        CDarIduruDlg::setTimerPeriodForTest(W::TIMER_HANDOVER, 60000);
        MainFixture f;
        QVERIFY(reachService(f, callConfig()));
        W& w = *f.window;
        w.controlAs<QPushButton>(W::IDC_REQUEST)->click();
        QVERIFY(f.sim->send(hoEvent(2, 0)) == 0);
        QVERIFY(f.sim->send(hoEvent(4, 0)) == 0);
        QVERIFY(MainFixture::waitFor([] { return hoState() == 4; }));

        QVERIFY(f.sim->send(hoEvent(eventId, result)) == 0);
        QVERIFY(MainFixture::waitFor([&] { return bk(w, W::IDC_INDICATOR) == kRed; }));
        QCOMPARE(f.text(W::IDC_INDICATOR), shown);
        QCOMPARE(hoState(), 0);
        QVERIFY(!w.isWindowTimerActive(W::TIMER_HANDOVER));
        QVERIFY(!w.control(W::IDC_HO_CANCEL)->isEnabled());
        QCOMPARE(f.text(W::IDC_REQUEST), QStringLiteral("Request"));
        QCOMPARE(cbutton(w, W::IDC_REQUEST)->faceColor(), kFaceInactive);
        QVERIFY(w.control(W::IDC_REQUEST)->isEnabled());
        QVERIFY(w.control(W::IDC_HOLD)->isEnabled());
    }

    // The receiving agent: eventId 1 answered with eventId 2 result 0; the
    // following CAP_START leaves Request disabled; CAP_RESUME ends the
    // handover state and enables it.
    void handoverReceivingAgent()
    {
        MainFixture f;
        QVERIFY(reachService(f, callConfig(0, false), false));
        W& w = *f.window;
        QVERIFY(syncLink(f));
        const size_t mark = f.sim->frames().size();
        QVERIFY(f.sim->send(hoEvent(1, 0)) == 0);
        QVERIFY(f.waitCount(CAPX_HO_EVENT, 1));
        QVERIFY(syncLink(f));
        QCOMPARE(sentSince(f, mark), QStringList{QStringLiteral("HO_EVENT 2/0")});
        QCOMPARE(hoState(), 1);
        QCOMPARE(f.text(W::IDC_INDICATOR), QStringLiteral("o"));

        QVERIFY(f.sim->send(control(1)) == 0);
        QVERIFY(MainFixture::waitFor([] { return conContext().captioning.load() == 1; }));
        QVERIFY(w.control(W::IDC_NOISE)->isEnabled());
        QVERIFY(w.control(W::IDC_TYPING)->isEnabled());
        QVERIFY(!w.control(W::IDC_REQUEST)->isEnabled());
        QCOMPARE(cbutton(w, W::IDC_REQUEST)->textColor(), kTextInactive);
        QCOMPARE(hoState(), 1);

        QVERIFY(f.sim->send(control(2)) == 0);
        QTRY_VERIFY_WITH_TIMEOUT(w.control(W::IDC_REQUEST)->isEnabled(), 5000);
        QVERIFY(w.control(W::IDC_HOLD)->isEnabled());
        QCOMPARE(cbutton(w, W::IDC_REQUEST)->textColor(), kTextActive);
        QCOMPARE(hoState(), 0);
    }

    // eventId 6 with result 0 leaves Request disabled (greyed text) until the
    // next CAP_START or CAP_RESUME; a pause does not bring it back.
    void handoverOverKeepsRequestDisabled()
    {
        MainFixture f;
        QVERIFY(reachService(f, callConfig()));
        W& w = *f.window;
        auto* request = w.controlAs<QPushButton>(W::IDC_REQUEST);
        for (int restart : {1, 2}) {
            QVERIFY(request->isEnabled());
            QVERIFY(f.sim->send(hoEvent(6, 0)) == 0);
            QTRY_VERIFY_WITH_TIMEOUT(!request->isEnabled(), 5000);
            QCOMPARE(cbutton(w, W::IDC_REQUEST)->textColor(), kTextInactive);
            QCOMPARE(f.text(W::IDC_SERVICE), QStringLiteral("Queued: 0"));
            QCOMPARE(f.text(W::IDC_INDICATOR), QStringLiteral("O"));
            QVERIFY(bk(w, W::IDC_INDICATOR) != kRed);

            QVERIFY(f.sim->send(control(3)) == 0);  // CAP_PAUSED
            QVERIFY(MainFixture::waitFor(
                [&] { return f.countSounds(QStringLiteral("play pauseCap.wav async")) == restart; }));
            QVERIFY(!request->isEnabled());

            const QString started = QStringLiteral("play startCap.wav async");
            const int starts = f.countSounds(started);
            QVERIFY(f.sim->send(control(restart)) == 0);
            QTRY_VERIFY_WITH_TIMEOUT(request->isEnabled(), 5000);
            QCOMPARE(f.countSounds(started), starts + 1);
            QCOMPARE(cbutton(w, W::IDC_REQUEST)->textColor(), kTextActive);
        }
    }

    // The end of the attempt also ends this agent's own ready or acted state:
    // the deadline stops, and Request sends a new request.
    void handoverOverEndsOwnAttempt_data()
    {
        QTest::addColumn<bool>("acted");
        QTest::newRow("target ready") << false;
        QTest::newRow("acted") << true;
    }
    void handoverOverEndsOwnAttempt()
    {
        QFETCH(bool, acted);
        CDarIduruDlg::setTimerPeriodForTest(W::TIMER_HANDOVER, 60000);
        MainFixture f;
        QVERIFY(reachService(f, callConfig()));
        W& w = *f.window;
        auto* request = w.controlAs<QPushButton>(W::IDC_REQUEST);
        request->click();
        QVERIFY(f.sim->send(hoEvent(2, 0)) == 0);
        QVERIFY(f.sim->send(hoEvent(4, 0)) == 0);
        QVERIFY(MainFixture::waitFor([] { return hoState() == 4; }));
        if (acted) {
            request->click();
            QCOMPARE(hoState(), 5);
        }
        QVERIFY(f.sim->send(hoEvent(6, 1)) == 0);
        QTRY_COMPARE_WITH_TIMEOUT(f.text(W::IDC_REQUEST), QStringLiteral("Request"), 5000);
        QCOMPARE(hoState(), 0);
        QVERIFY(!w.isWindowTimerActive(W::TIMER_HANDOVER));
        QVERIFY(syncLink(f));
        const size_t mark = f.sim->frames().size();
        request->click();
        QVERIFY(syncLink(f));
        QCOMPARE(sentSince(f, mark), QStringList{QStringLiteral("HO_EVENT 1/1")});
    }

    // HO_EVENT's indicator for every id, known or not: the character
    // ".oOo"[id mod 4], red on a nonzero result; ids the console does not
    // act on change nothing else and send nothing.
    void handoverIndicator()
    {
        MainFixture f;
        QVERIFY(reachService(f, callConfig()));
        W& w = *f.window;
        auto* indicator = w.controlAs<CColorStaticST>(W::IDC_INDICATOR);
        const struct {
            int eventId;
            int result;
            const char* shown;
        } rows[] = {{0, 0, "."}, {3, 0, "o"}, {5, 0, "o"}, {5, 2, "o"}, {7, 1, "o"},
                    {8, 0, "."}, {9, 0, "o"}, {200, 0, "."}, {254, 9, "O"}, {255, 255, "o"}};
        for (const auto& r : rows) {
            const QString name = QStringLiteral("%1/%2").arg(r.eventId).arg(r.result);
            indicator->SetBkColor(kGrey);
            indicator->setText(QStringLiteral("X"));
            QVERIFY(syncLink(f));
            const size_t mark = f.sim->frames().size();
            QVERIFY(f.sim->send(hoEvent(r.eventId, r.result)) == 0);
            QVERIFY2(MainFixture::waitFor([&] { return indicator->text() != QStringLiteral("X"); }),
                     qPrintable(name));
            QVERIFY2(indicator->text() == QLatin1String(r.shown), qPrintable(name));
            QVERIFY2((indicator->currentBkColor() == kRed) == (r.result != 0), qPrintable(name));
            QVERIFY(syncLink(f));
            QVERIFY2(sentSince(f, mark).isEmpty(), qPrintable(name));
            QCOMPARE(hoState(), 0);
            QVERIFY(w.control(W::IDC_REQUEST)->isEnabled());
            QVERIFY(!w.control(W::IDC_HO_CANCEL)->isEnabled());
            QCOMPARE(f.text(W::IDC_REQUEST), QStringLiteral("Request"));
            QVERIFY(!w.isWindowTimerActive(W::TIMER_HANDOVER));
        }
    }

    // Test mode: Request is enabled by CAP_START but its press is ignored
    // silently (nothing sent, nothing asked, no colour, no focus change).
    void requestInTestModeIgnored()
    {
        MainFixture f;
        QVERIFY(reachService(f, callConfig(1)));
        W& w = *f.window;
        auto* request = w.controlAs<QPushButton>(W::IDC_REQUEST);
        QVERIFY(request->isEnabled());
        QVERIFY(syncLink(f));
        const size_t mark = f.sim->frames().size();
        focusElsewhere(w);
        request->click();
        QVERIFY(syncLink(f));
        QCOMPARE(sentSince(f, mark), QStringList{});
        QVERIFY(f.prompts.entries().empty());
        QCOMPARE(cbutton(w, W::IDC_REQUEST)->faceColor(), kFaceInactive);
        QVERIFY(!typingHasFocus(w));
        QCOMPARE(hoState(), 0);
    }

    // Exit with the target ready: HO_EVENT 5 goes out first.
    void exitWhileTargetReadyActsFirst()
    {
        CDarIduruDlg::setTimerPeriodForTest(W::TIMER_HANDOVER, 60000);
        MainFixture f;
        QVERIFY(reachService(f, callConfig()));
        W& w = *f.window;
        w.controlAs<QPushButton>(W::IDC_REQUEST)->click();
        QVERIFY(f.sim->send(hoEvent(4, 0)) == 0);
        QVERIFY(MainFixture::waitFor([] { return hoState() == 4; }));
        QVERIFY(syncLink(f));
        const size_t mark = f.sim->frames().size();
        f.prompts.queueAnswer(QMessageBox::Yes);
        QSignalSpy finished(&w, &QDialog::finished);
        w.controlAs<QPushButton>(W::IDOK_EXIT)->click();
        QVERIFY(f.waitCount(CAPX_LOGOUT, 1));
        QCOMPARE(sentSince(f, mark),
                 (QStringList{QStringLiteral("HO_EVENT 5/1"), QStringLiteral("CALL_REPORT"),
                              QStringLiteral("RELEASE_COMPLETE"), QStringLiteral("LOGOUT")}));
        QCOMPARE(finished.count(), 1);
    }

    // A notice while idle opens the box at once and is not counted.
    void messageWhenIdleShowsTheBox()
    {
        MainFixture f;
        SvcSimConfig config;
        config.keepAlivePeriodMs = 500;
        QVERIFY(f.start(config));
        W& w = *f.window;
        CDlgNoticeBox* box = w.noticeBox();
        QVERIFY(box && !box->isVisible());
        QVERIFY(f.sim->send(message("System maintenance at 22:00")) == 0);
        QTRY_VERIFY_WITH_TIMEOUT(box->isVisible(), 5000);
        QCOMPARE(box->list()->GetCount(), 2);
        QVERIFY(box->list()->GetText(0).endsWith(QStringLiteral("Message from System Manager")));
        QCOMPARE(box->list()->GetText(1), QStringLiteral("   System maintenance at 22:00"));
        QCOMPARE(w.noticeCount(), 0);
        QCOMPARE(f.text(W::IDC_NOTICE), QStringLiteral("Notice Box"));
    }

    // During a call notices are counted on 1049; the button shows the box and
    // clears the count.
    void messagesDuringACallAreCounted()
    {
        MainFixture f;
        QVERIFY(reachService(f, callConfig()));
        W& w = *f.window;
        CDlgNoticeBox* box = w.noticeBox();
        QVERIFY(f.sim->send(message("first")) == 0);
        QVERIFY(f.sim->send(message("second")) == 0);
        QTRY_COMPARE_WITH_TIMEOUT(f.text(W::IDC_NOTICE), QStringLiteral("Notice(2)"), 5000);
        QCOMPARE(w.noticeCount(), 2);
        QVERIFY(!box->isVisible());
        QCOMPARE(box->list()->GetCount(), 4);

        w.controlAs<QPushButton>(W::IDC_NOTICE)->click();
        QVERIFY(box->isVisible());
        QCOMPARE(w.noticeCount(), 0);
        QCOMPARE(f.text(W::IDC_NOTICE), QStringLiteral("Notice Box"));
        QVERIFY(!typingHasFocus(w));
    }

    // A notice while ringing is counted (the box stays closed); the button
    // opens the box and the caption returns to "Notice Box".
    void messageWhileRinging()
    {
        MainFixture f;
        QVERIFY(f.start(callConfig()));
        QVERIFY(waitRinging());
        W& w = *f.window;
        CDlgNoticeBox* box = w.noticeBox();
        QVERIFY(f.sim->send(message("while ringing")) == 0);
        QTRY_COMPARE_WITH_TIMEOUT(f.text(W::IDC_NOTICE), QStringLiteral("Notice(1)"), 5000);
        QVERIFY(!box->isVisible());
        QCOMPARE(int(conContext().callState.load()), int(STATE_IDLE));
        QCOMPARE(int(conContext().ringing.load()), 1);

        w.controlAs<QPushButton>(W::IDC_NOTICE)->click();
        QVERIFY(box->isVisible());
        QCOMPARE(f.text(W::IDC_NOTICE), QStringLiteral("Notice Box"));
        QCOMPARE(w.noticeCount(), 0);
        // Ringing goes on.
        QCOMPARE(int(conContext().ringing.load()), 1);
    }

    // Texts of any length and bytes are shown as plain text, cut to what the
    // message holds, and the link stays in step after each.
    void messageTextsOfAnyKind()
    {
        MainFixture f;
        SvcSimConfig config;
        config.keepAlivePeriodMs = 500;
        QVERIFY(f.start(config));
        W& w = *f.window;
        CDlgNoticeBox* box = w.noticeBox();

        const QByteArray cut256 = QByteArray(255, 'a') + "\xC3\xA9";  // é cut after its lead byte
        const struct {
            const char* name;
            QByteArray wire;
            QString shown;
        } rows[] = {
            {"empty", QByteArray(), QString()},
            {"markup stays text", "<b>bold</b> &amp; <a href=x>link</a>",
             QStringLiteral("<b>bold</b> &amp; <a href=x>link</a>")},
            {"exactly 256", QByteArray(256, 'z'), QString(256, u'z')},
            {"1000 bytes cut to 256", QByteArray(1000, 'q'), QString(256, u'q')},
            {"4000 bytes cut to 256", QByteArray(4000, 'w'), QString(256, u'w')},
            {"UTF-8", "caf\xC3\xA9 \xE2\x82\xAC", QStringLiteral("caf\u00E9 \u20AC")},
            {"invalid bytes", "\xFF\xFE ok \x80", QStringLiteral("\uFFFD\uFFFD ok \uFFFD")},
            {"sequence cut by the limit", cut256, QString(255, u'a') + QChar(0xFFFD)},
            {"control characters", "a\x01\x1B[31mb\r\nc", QStringLiteral("a\x01\x1B[31mb\r\nc")},
            {"embedded NUL ends the text", QByteArray("abc\0def", 7), QStringLiteral("abc")},
        };
        for (const auto& r : rows) {
            box->list()->clear();
            box->hide();
            QVERIFY(f.sim->sendRaw(rawMessageFrame(r.wire, f.sim->linkKey())) == 0);
            QVERIFY2(MainFixture::waitFor([&] { return box->isVisible(); }), r.name);
            QVERIFY2(noticeText(box, 1) == r.shown,
                     qPrintable(QStringLiteral("%1: %2").arg(QLatin1String(r.name),
                                                             noticeText(box, 1).left(80))));
            // Lines of at most 70 characters after the three blanks.
            for (int i = 1; i < box->list()->GetCount(); ++i)
                QVERIFY2(box->list()->GetText(i).size() <= 3 + CDlgNoticeBox::kPieceLength, r.name);
        }
        // Still in step: an ordinary notice follows.
        box->list()->clear();
        box->hide();
        QVERIFY(f.sim->send(message("after")) == 0);
        QTRY_VERIFY_WITH_TIMEOUT(box->isVisible(), 5000);
        QCOMPARE(noticeText(box, 1), QStringLiteral("after"));
        QCOMPARE(w.noticeCount(), 0);
    }
    // ---- the configuration dialog in the window ------------------------------

    // Ringing closes an open configuration dialog with the cancel result: its
    // edits are kept for the next opening, nothing is written, and the
    // window keeps its own words.
    void ringingClosesTheConfigDialog()
    {
        MainFixture f;
        QVERIFY(f.start(callConfig(0, true, false)));
        W& w = *f.window;
        DlgConfig* d = w.configDialog();
        QVERIFY(d);
        bool opened = false;
        bool stuck = false;
        whenConfigOpen(w, [&](DlgConfig& dlg) {
            opened = dlg.isOpenFlag();
            dlg.controlAs<QLineEdit>(DlgConfig::IDC_MAC_ANSWER)->setText(QStringLiteral("edited"));
            dlg.controlAs<QLineEdit>(DlgConfig::IDC_TRANSMIT_SPACES)->setText(QStringLiteral("1"));
            f.sim->send(broadcast());
        }, &stuck);
        w.controlAs<QPushButton>(W::IDC_CONFIG)->click();
        QVERIFY(opened);
        QVERIFY(!stuck);
        QCOMPARE(d->result(), int(QDialog::Rejected));
        QVERIFY(!d->isVisible());
        QVERIFY(!d->isOpenFlag());
        QCOMPARE(int(conContext().ringing.load()), 1);
        QVERIFY(f.countSounds(QStringLiteral("play RingVol3.wav loop")) >= 1);
        // Nothing written; the dialog keeps the edits; the window keeps its values.
        QVERIFY(!windowtest::rawValue(settings::kSettings, settings::kMacAnswerCmd).isValid());
        QCOMPARE(d->macAnswer(), QStringLiteral("edited"));
        QCOMPARE(w.autoTransmitSpace(), 3);
        QVERIFY(syncLink(f));
        const size_t mark = f.sim->frames().size();
        QCOMPARE(w.SendCaptionText(7, "edited "), 0);
        QVERIFY(syncLink(f));
        QCOMPARE(f.sim->count(CAPX_ASSIGN_REQ), 0);
        QVERIFY(sentSince(f, mark).isEmpty());

        // The next opening shows the kept edit.
        whenConfigOpen(w, [&](DlgConfig& dlg) {
            opened = dlg.controlAs<QLineEdit>(DlgConfig::IDC_MAC_ANSWER)->text() ==
                     QStringLiteral("edited");
            dlg.OnCancel();
        }, &stuck);
        w.controlAs<QPushButton>(W::IDC_CONFIG)->click();
        QVERIFY(opened);
        QVERIFY(!stuck);
    }

    // After OK the window works with the new values: the Answer word answers
    // the offer, the transmit space count sends typed text, the captioner's
    // name shows.
    void configOkReachesTheWindow()
    {
        MainFixture f;
        QVERIFY(f.start(callConfig(0, true, false)));
        W& w = *f.window;
        bool stuck = false;
        whenConfigOpen(w, [](DlgConfig& dlg) {
            dlg.controlAs<QLineEdit>(DlgConfig::IDC_MAC_ANSWER)->setText(QStringLiteral("pickup"));
            dlg.controlAs<QLineEdit>(DlgConfig::IDC_TRANSMIT_SPACES)->setText(QStringLiteral("2"));
            dlg.OnStenoListChosen(int(DlgConfig::stenoListOrder().indexOf(
                QStringLiteral("CaseCAT > CaseView"))));
            dlg.controlAs<QPushButton>(1)->click();
        }, &stuck);
        w.controlAs<QPushButton>(W::IDC_CONFIG)->click();
        QVERIFY(!stuck);
        QCOMPARE(w.configDialog()->result(), int(QDialog::Accepted));
        QCOMPARE(w.autoTransmitSpace(), 2);
        QCOMPARE(f.text(W::IDC_STENO_STATE), QStringLiteral("CaseCAT"));
        QCOMPARE(int(conContext().captionerType.load()), 2);

        // The Answer word (with its blank) answers the ringing offer.
        QVERIFY(f.sim->send(broadcast()) == 0);
        QVERIFY(waitRinging());
        QCOMPARE(w.SendCaptionText(7, "pickup "), 0);
        QVERIFY(f.waitCount(CAPX_ASSIGN_REQ, 1));
        QVERIFY(MainFixture::waitFor([] { return conContext().captioning.load() == 1; }));

        // Two blanks send the typed text.
        auto* typing = w.controlAs<TypingBox>(W::IDC_TYPING);
        QTest::keyClicks(typing, QStringLiteral("one two"));
        QVERIFY(syncLink(f));
        QCOMPARE(f.sim->count(CAPX_DATA), 0);
        QTest::keyClicks(typing, QStringLiteral(" "));
        QVERIFY(f.waitCount(CAPX_DATA, 1));
        const CapxData data = framesOf(*f.sim, CAPX_DATA).front().msg.data;
        QCOMPARE(QByteArray(reinterpret_cast<const char*>(data.data), data.dataLen),
                 QByteArray("one two "));
    }

    // The window's caption-report connection: checked in the dialog, it
    // connects to the server's address and copies the stenography program's
    // bytes; unchecked, it closes; the window's close request closes it too.
    void captionReportCopiesStenography()
    {
        QTcpServer endpoint;
        QVERIFY(endpoint.listen(QHostAddress::LocalHost, 0));
        MainFixture f;
        QVERIFY(f.start(callConfig(0, true, false)));
        W& w = *f.window;
        CaptionReportLink* link = w.captionReport();
        QVERIFY(link);
        QCOMPARE(captionReportTarget(), link);
        link->setPort(endpoint.serverPort());

        auto setReport = [&](bool on) {
            bool stuck = false;
            whenConfigOpen(w, [on](DlgConfig& dlg) {
                auto* box = dlg.controlAs<QCheckBox>(DlgConfig::IDC_REPORT_CAPTION);
                if (box->isChecked() != on)
                    box->click();
                dlg.controlAs<QPushButton>(1)->click();
            }, &stuck);
            w.controlAs<QPushButton>(W::IDC_CONFIG)->click();
            return !stuck;
        };

        QVERIFY(setReport(true));
        QTRY_VERIFY_WITH_TIMEOUT(endpoint.hasPendingConnections(), 5000);
        QTcpSocket* peer = endpoint.nextPendingConnection();
        QTRY_VERIFY_WITH_TIMEOUT(link->isUp(), 5000);

        const int steno = connectStenography();
        QVERIFY(steno >= 0);
        const QByteArray raw("report \x01\xFF copy\r\n", 16);
        QCOMPARE(::send(steno, raw.constData(), size_t(raw.size()), MSG_NOSIGNAL),
                 ssize_t(raw.size()));
        QByteArray got;
        QTRY_VERIFY_WITH_TIMEOUT((got += peer->readAll()).size() >= raw.size(), 10000);
        QCOMPARE(got, raw);

        // Unchecked: closed.
        QVERIFY(setReport(false));
        QVERIFY(!link->isUp());
        QTRY_VERIFY_WITH_TIMEOUT(peer->state() == QAbstractSocket::UnconnectedState, 5000);

        // Checked again, then the window's close request (Exit declined).
        QVERIFY(setReport(true));
        QTRY_VERIFY_WITH_TIMEOUT(endpoint.hasPendingConnections(), 5000);
        QTcpSocket* peer2 = endpoint.nextPendingConnection();
        QTRY_VERIFY_WITH_TIMEOUT(link->isUp(), 5000);
        f.prompts.queueAnswer(QMessageBox::No);
        w.close();
        QCOMPARE(f.prompts.texts().value(0), QStringLiteral("EXIT: Are you sure?"));
        QVERIFY(w.isVisible());
        QVERIFY(!link->isUp());
        QVERIFY(link->flag());
        QTRY_VERIFY_WITH_TIMEOUT(peer2->state() == QAbstractSocket::UnconnectedState, 5000);
        ::close(steno);
    }
};

QUILLON_MAIN_WINDOW_TEST_MAIN(TestMainCommands)

#include "tst_maincommands.moc"
