// One call through the real main window against the service simulator: the
// offer and ringing, the answer, the assignment, the voice set-up, every
// caption control event, every way a call ends, and the input the window
// must shrug off.
#include "callstest.h"

#include <QRegularExpression>

using calltest::CallFixture;
using calltest::LogLines;
using calltest::StenoClient;
using maintest::MainFixture;

namespace {

using Clock = std::chrono::steady_clock;

qint64 msBetween(Clock::time_point a, Clock::time_point b)
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(b - a).count();
}

// Stages a call can be brought to before the event under test.
enum Stage { Ringing = 0, Answering = 1, InService = 2, Captioning = 3 };

bool bringTo(CallFixture& f, int stage)
{
    if (!f.offer())
        return false;
    if (stage >= Answering && !f.answer())
        return false;
    if (stage >= InService && !f.assign())
        return false;
    if (stage >= Captioning && !f.control(1))
        return false;
    return true;
}

// The console after every end of a call.
void verifyReset(CallFixture& f)
{
    const ConsoleContext& c = conContext();
    QCOMPARE(c.callState.load(), STATE_IDLE);
    QCOMPARE(c.offerActive.load(), 0);
    QCOMPARE(c.ringing.load(), 0);
    QCOMPARE(c.captioning.load(), 0);
    QVERIFY(!f.enabled(CDarIduruDlg::IDC_ANSWER));
    QCOMPARE(f.colorButton(CDarIduruDlg::IDC_ANSWER)->faceColor(), QColor(0xF0, 0xF0, 0xF0));
    QVERIFY(!f.enabled(CDarIduruDlg::IDC_TYPING));
    QVERIFY(!f.enabled(CDarIduruDlg::IDC_NOVOICE));
    QCOMPARE(f.text(CDarIduruDlg::IDC_INDICATOR), QStringLiteral("X"));
    QVERIFY(f.enabled(CDarIduruDlg::IDC_JOIN));
    for (int id : {CDarIduruDlg::TIMER_OFFER, CDarIduruDlg::TIMER_CAPTION_START,
                   CDarIduruDlg::TIMER_BRING_FRONT, CDarIduruDlg::TIMER_VOICE_GAP})
        QVERIFY2(!f.window->isWindowTimerActive(id), qPrintable(QString::number(id)));
}

}  // namespace

class TestMainCalls : public QObject {
    Q_OBJECT
private slots:
    void init()
    {
        windowtest::clearStore();
        CDarIduruDlg::setWaitScale(0.01);
        QTest::failOnWarning(QRegularExpression(
            QStringLiteral("different thread|another thread|outside the GUI thread")));
    }
    void cleanup()
    {
        // The next window must find the voice session free.
        if (g_rtpAgent.sap[0].state.load() != RTP_S_INIT) {
            rtpSapStop();
            CallFixture::waitSapFree();
        }
    }

    // BROADCAST while idle: the probe, ringing and its timers; Answer
    // blinks; the first press answers, the next presses (button and the
    // shortcut's notification) do nothing.
    void ringingAndAnswer()
    {
        CallFixture f;
        QVERIFY(f.start(calltest::callConfig()));
        CDarIduruDlg& w = *f.window;
        const size_t mark = f.frameCount();
        QVERIFY(f.offer());
        QVERIFY(f.settle());

        const auto probes = f.framesOf(CAPX_LINK_PROBE_ID);
        QCOMPARE(int(probes.size()), 1);
        QCOMPARE(probes.front().wire, (std::vector<uint8_t>{0x00, 0x01, 0xFE}));
        QCOMPARE(f.idsSince(mark), std::vector<int>{CAPX_LINK_PROBE_ID});
        QCOMPARE(f.countSounds(QStringLiteral("play RingVol3.wav loop")), 1);
        const ConsoleContext& c = conContext();
        QCOMPARE(c.offerActive.load(), 1);
        QCOMPARE(c.ringing.load(), 1);
        QCOMPARE(c.callState.load(), STATE_IDLE);
        QVERIFY(f.enabled(CDarIduruDlg::IDC_ANSWER));
        QVERIFY(!f.enabled(CDarIduruDlg::IDC_JOIN));
        QCOMPARE(f.colorButton(CDarIduruDlg::IDC_ANSWER)->textColor(), QColor(0x01, 0x01, 0x01));
        for (int id : {CDarIduruDlg::TIMER_OFFER, CDarIduruDlg::TIMER_ANSWER_BLINK,
                       CDarIduruDlg::TIMER_BRING_FRONT})
            QVERIFY2(w.isWindowTimerActive(id), qPrintable(QString::number(id)));
        QVERIFY(!w.isWindowTimerActive(CDarIduruDlg::TIMER_AUTO_ANSWER));
        // The next bring-to-front (every 500 ms) puts the focus on Answer.
        QVERIFY(MainFixture::waitFor(
            [&] { return w.focusWidget() == w.control(CDarIduruDlg::IDC_ANSWER); }, 1500));

        // The face alternates yellow and grey every second.
        QCOMPARE(f.colorButton(CDarIduruDlg::IDC_ANSWER)->faceColor(), QColor(0xFF, 0xFF, 0x66));
        QVERIFY(MainFixture::waitFor([&] { return c.answerBlinkPhase.load() == 1; }, 2000));
        QCOMPARE(f.colorButton(CDarIduruDlg::IDC_ANSWER)->faceColor(), QColor(0x99, 0x99, 0x99));

        auto* answer = w.controlAs<QPushButton>(CDarIduruDlg::IDC_ANSWER);
        answer->click();
        answer->click();
        conPostMessage(WM_CON_ANSWER, 0);
        QVERIFY(f.waitCount(CAPX_ASSIGN_REQ, 1));
        QVERIFY(f.settle());
        QCOMPARE(f.sim->count(CAPX_ASSIGN_REQ), 1);
        QCOMPARE(c.callState.load(), STATE_ANSWERING);
        QCOMPARE(int(g_capcInfo.link.caState.load()), 2);
        QCOMPARE(c.ringing.load(), 0);
        QVERIFY(!answer->isEnabled());
        QCOMPARE(f.colorButton(CDarIduruDlg::IDC_ANSWER)->faceColor(), QColor(0xF0, 0xF0, 0xF0));
        QCOMPARE(f.colorButton(CDarIduruDlg::IDC_ANSWER)->textColor(), QColor(0xE6, 0xE6, 0xE6));
        QVERIFY(!f.enabled(CDarIduruDlg::IDC_JOIN));
        // The ring tone stopped at the first press; blinking and the
        // bring-to-front timer end at their next expiry.
        QVERIFY(f.sounds.calls.contains(QStringLiteral("stop")));
        QVERIFY(MainFixture::waitFor([&] {
            return !w.isWindowTimerActive(CDarIduruDlg::TIMER_ANSWER_BLINK) &&
                   !w.isWindowTimerActive(CDarIduruDlg::TIMER_BRING_FRONT);
        }, 2500));

        // After the reset an Answer finds no offer.
        QVERIFY(f.send("RELEASE cause=16"));
        QVERIFY(f.waitCount(CAPX_RELEASE_COMPLETE, 1));
        conPostMessage(WM_CON_ANSWER, 0);
        QVERIFY(f.settle());
        QCOMPARE(f.sim->count(CAPX_ASSIGN_REQ), 1);
    }

    // AutoAnsForTst: the console answers 3 s after the offer by itself.
    void autoAnswerForTest()
    {
        windowtest::writeRaw(settings::kSettings, settings::kAutoAnsForTst, 1);
        CallFixture f;
        QVERIFY(f.start(calltest::callConfig()));
        QVERIFY(f.offer());
        const Clock::time_point offered = f.framesOf(CAPX_LINK_PROBE_ID).back().at;
        QVERIFY(f.waitCount(CAPX_ASSIGN_REQ, 1, 6000));
        const qint64 after = msBetween(offered, f.framesOf(CAPX_ASSIGN_REQ).back().at);
        // Measured from the simulator's read of the probe, which may lag the
        // timer's start by a scheduling delay.
        QVERIFY2(after >= 3000 - 25 && after <= 3000 + 1000, qPrintable(QString::number(after)));
        QCOMPARE(conContext().callState.load(), STATE_ANSWERING);
    }

    // An offer while a call is being answered or is in service is only
    // acknowledged with the three-byte probe.
    void broadcastWhileBusy_data()
    {
        QTest::addColumn<int>("stage");
        QTest::newRow("answering") << int(Answering);
        QTest::newRow("in service") << int(InService);
        QTest::newRow("captioning") << int(Captioning);
    }
    void broadcastWhileBusy()
    {
        QFETCH(int, stage);
        CallFixture f;
        QVERIFY(f.start(calltest::callConfig()));
        QVERIFY(bringTo(f, stage));
        const int stateBefore = conContext().callState.load();
        const int soundsBefore = int(f.sounds.calls.size());
        const size_t mark = f.frameCount();
        QVERIFY(f.send("BROADCAST availCallCount1st=2 callIdx=10"));
        QVERIFY(f.settle());
        QCOMPARE(f.idsSince(mark), std::vector<int>{CAPX_LINK_PROBE_ID});
        QCOMPARE(f.framesOf(CAPX_LINK_PROBE_ID).back().wire, (std::vector<uint8_t>{0x00, 0x01, 0xFE}));
        QCOMPARE(int(f.sounds.calls.size()), soundsBefore);
        QCOMPARE(conContext().callState.load(), stateBefore);
        QCOMPARE(conContext().ringing.load(), 0);
    }

    // Two offers 8 s apart and no voice set-up: the offer is abandoned 10 s
    // after the second (RELEASE 57, no report, no notice).
    void offerAbandonedTenSecondsAfterTheLastOffer()
    {
        CallFixture f;
        QVERIFY(f.start(calltest::callConfig()));
        QVERIFY(f.offer());
        QTest::qWait(8000);
        QCOMPARE(f.sim->count(CAPX_RELEASE), 0);
        QVERIFY(f.offer());
        QCOMPARE(f.countSounds(QStringLiteral("play RingVol3.wav loop")), 2);
        const Clock::time_point second = f.framesOf(CAPX_LINK_PROBE_ID).back().at;
        const size_t mark = f.frameCount();
        QVERIFY(f.waitCount(CAPX_RELEASE, 1, 12000));
        const auto release = f.framesOf(CAPX_RELEASE).back();
        QCOMPARE(int(release.msg.release.cause), 57);
        const qint64 after = msBetween(second, release.at);
        // From the read of the second probe (see autoAnswerForTest).
        QVERIFY2(after >= 10000 - 25 && after <= 10000 + 1000, qPrintable(QString::number(after)));
        QVERIFY(f.settle());
        QCOMPARE(f.idsSince(mark), std::vector<int>{CAPX_RELEASE});
        QCOMPARE(f.countSounds(QStringLiteral("play pauseCap.wav sync")), 1);
        QVERIFY(f.notices().isEmpty());
        verifyReset(f);
    }

    // RELEASE at every stage: the reason in the transient notice, the pause
    // sound played to its end, CALL_REPORT then RELEASE_COMPLETE, the reset.
    void release_data()
    {
        QTest::addColumn<int>("stage");
        QTest::addColumn<int>("cause");
        QTest::addColumn<QString>("notice");
        QTest::addColumn<bool>("logged");
        QTest::newRow("15 while ringing") << int(Ringing) << 15 << "Rx RELEASE(Other CA picked up)" << false;
        QTest::newRow("14 while answering") << int(Answering) << 14 << "Rx RELEASE(Dropped by CU)" << false;
        QTest::newRow("16 in service") << int(InService) << 16 << "Rx RELEASE(Normal released)" << true;
        QTest::newRow("255 captioning") << int(Captioning) << 255 << "Rx RELEASE(Normal released)" << true;
    }
    void release()
    {
        QFETCH(int, stage);
        QFETCH(int, cause);
        QFETCH(QString, notice);
        QFETCH(bool, logged);
        LogLines log;
        CallFixture f;
        QVERIFY(f.start(calltest::callConfig()));
        QVERIFY(bringTo(f, stage));
        const size_t mark = f.frameCount();
        QVERIFY(f.send("RELEASE cause=" + std::to_string(cause)));
        QVERIFY(f.waitCount(CAPX_RELEASE_COMPLETE, 1));
        QCOMPARE(f.notices(), QStringList{notice});
        QVERIFY(f.settle());
        QCOMPARE(f.idsSince(mark), (std::vector<int>{CAPX_CALL_REPORT, CAPX_RELEASE_COMPLETE}));
        const CapxCallReport report = f.framesOf(CAPX_CALL_REPORT).back().msg.callReport;
        QCOMPARE(report.txToSvr, 0u);
        QCOMPARE(report.rxSvrAck, 0u);
        QCOMPARE(f.sounds.calls.last(), QStringLiteral("play pauseCap.wav sync"));
        verifyReset(f);
        QCOMPARE(int(g_capcInfo.link.caState.load()), 0);
        if (logged)
            QVERIFY(log.waitFor(QStringLiteral("RELEASE cause %1: released normally").arg(cause)));
        // The notice closes itself after 1500 ms.
        QVERIFY(MainFixture::waitFor([&] { return f.notices().isEmpty(); }, 2500));
    }

    // Every CONTROL code during a call in service: four silence frames
    // first, then the code's own reaction; none of them ends the call.
    void controlCodes_data()
    {
        QTest::addColumn<int>("code");
        QTest::addColumn<int>("silence");
        QTest::addColumn<QString>("sound");
        QTest::addColumn<int>("captioning");
        QTest::addColumn<int>("docDisconnected");
        QTest::addColumn<bool>("noVoice");
        QTest::newRow("1 CAP_START") << 1 << 8 << "play startCap.wav async" << 1 << 0 << true;
        QTest::newRow("2 CAP_RESUME") << 2 << 4 << "play startCap.wav async" << 1 << 0 << true;
        QTest::newRow("3 CAP_PAUSED") << 3 << 4 << "play pauseCap.wav async" << 0 << 0 << false;
        QTest::newRow("4 CU_RINGING") << 4 << 4 << "" << 0 << 0 << false;
        QTest::newRow("5 CU_ANSWERED") << 5 << 4 << "" << 0 << 0 << false;
        QTest::newRow("6 CU_DISCONNECTED") << 6 << 4 << "" << 0 << 0 << false;
        QTest::newRow("7 DOC_RINGRING") << 7 << 8 << "" << 0 << 0 << false;
        QTest::newRow("8 DOC_ANSWERED") << 8 << 4 << "" << 0 << 0 << false;
        QTest::newRow("9 DOC_DISCONNECTED") << 9 << 4 << "" << 0 << 1 << false;
        QTest::newRow("10 CAP_END") << 10 << 4 << "" << 0 << 0 << false;
        QTest::newRow("35 NoVoice allowed") << 35 << 4 << "" << 0 << 0 << true;
        QTest::newRow("36 NoVoice blocked") << 36 << 4 << "" << 0 << 0 << false;
        QTest::newRow("99 not known") << 99 << 4 << "" << 0 << 0 << false;
    }
    void controlCodes()
    {
        QFETCH(int, code);
        QFETCH(int, silence);
        QFETCH(QString, sound);
        QFETCH(int, captioning);
        QFETCH(int, docDisconnected);
        QFETCH(bool, noVoice);
        LogLines log;
        CallFixture f;
        QVERIFY(f.start(calltest::callConfig()));
        QVERIFY(bringTo(f, InService));
        const ConsoleContext& c = conContext();
        const int txBefore = c.TxCnt.load();
        const int soundsBefore = int(f.sounds.calls.size());
        const size_t mark = f.frameCount();
        QVERIFY(f.control(code));
        QCOMPARE(c.TxCnt.load() - txBefore, silence);
        QCOMPARE(f.sounds.calls.mid(soundsBefore),
                 sound.isEmpty() ? QStringList{} : QStringList{sound});
        QCOMPARE(c.captioning.load(), captioning);
        QCOMPARE(c.docDisconnected.load(), docDisconnected);
        QCOMPARE(f.enabled(CDarIduruDlg::IDC_NOVOICE), noVoice);
        QCOMPARE(c.callState.load(), STATE_IN_SERVICE);
        QVERIFY(f.idsSince(mark).empty());
        if (code == 99)
            QVERIFY(log.waitFor(QStringLiteral("CONTROL 99 not known")));
    }

    // NoVoice blocked, CAP_PAUSED (controls stay), and the next CAP_START
    // enables NoVoice again.
    void noVoiceBlockedThenCapStart()
    {
        CallFixture f;
        QVERIFY(f.start(calltest::callConfig()));
        QVERIFY(bringTo(f, Captioning));
        QVERIFY(f.enabled(CDarIduruDlg::IDC_NOVOICE));
        QVERIFY(f.control(36));
        QVERIFY(!f.enabled(CDarIduruDlg::IDC_NOVOICE));
        QVERIFY(f.control(3));
        QVERIFY(f.enabled(CDarIduruDlg::IDC_TYPING));
        QVERIFY(f.enabled(CDarIduruDlg::IDC_TXDATA));
        QCOMPARE(conContext().captioning.load(), 1);
        QVERIFY(!f.enabled(CDarIduruDlg::IDC_NOVOICE));
        QVERIFY(f.control(1));
        QVERIFY(f.enabled(CDarIduruDlg::IDC_NOVOICE));
    }

    // CAP_START and CAP_RESUME differ: the start clears the typing box and
    // the caption screen and keeps Request for a handover being brought
    // here; the resume keeps the texts, enables Request and ends that
    // handover. Both minimise with AutoHideFlag and stop the watchdog.
    void capStartVersusResume_data()
    {
        QTest::addColumn<int>("code");
        QTest::addColumn<bool>("kept");
        QTest::addColumn<bool>("request");
        QTest::addColumn<int>("handover");
        QTest::newRow("CAP_START") << 1 << false << false << 1;
        QTest::newRow("CAP_RESUME") << 2 << true << true << 0;
    }
    void capStartVersusResume()
    {
        QFETCH(int, code);
        QFETCH(bool, kept);
        QFETCH(bool, request);
        QFETCH(int, handover);
        windowtest::writeRaw(settings::kSettings, settings::kAutoHideFlag, 1);
        CallFixture f;
        QVERIFY(f.start(calltest::callConfig()));
        CDarIduruDlg& w = *f.window;
        QVERIFY(bringTo(f, InService));
        QVERIFY(f.voipSetup());
        QCOMPARE(f.lastVoipSetupResult(), 0);
        QVERIFY(w.isWindowTimerActive(CDarIduruDlg::TIMER_CAPTION_START));
        // A handover brought to this agent (answered with eventId 2).
        QVERIFY(f.send("HO_EVENT eventId=1 result=0"));
        QVERIFY(f.waitCount(CAPX_HO_EVENT, 1));
        QCOMPARE(int(conContext().handoverState.load()), 1);
        w.controlAs<QPlainTextEdit>(CDarIduruDlg::IDC_TYPING)->setPlainText(QStringLiteral("kept"));
        w.captionScreen()->Append("shown", 5);
        QVERIFY(!w.isMinimized());

        QVERIFY(f.control(code));
        QCOMPARE(f.typed() == QStringLiteral("kept"), kept);
        QCOMPARE(f.screenText() == QStringLiteral("shown"), kept);
        QCOMPARE(f.enabled(CDarIduruDlg::IDC_REQUEST), request);
        if (request) {
            QVERIFY(f.enabled(CDarIduruDlg::IDC_HOLD));
            QCOMPARE(f.colorButton(CDarIduruDlg::IDC_REQUEST)->textColor(), QColor(0x01, 0x01, 0x01));
            QCOMPARE(f.colorButton(CDarIduruDlg::IDC_HOLD)->textColor(), QColor(0x01, 0x01, 0x01));
        }
        QCOMPARE(int(conContext().handoverState.load()), handover);
        for (int id : {CDarIduruDlg::IDC_TYPING, CDarIduruDlg::IDC_TXDATA, CDarIduruDlg::IDC_NOVOICE,
                       CDarIduruDlg::IDC_OLANG, CDarIduruDlg::IDC_NOISE, CDarIduruDlg::IDC_MISUSE,
                       CDarIduruDlg::IDC_RECORDED, CDarIduruDlg::IDC_INTERACTIVE, CDarIduruDlg::IDC_FRAUD})
            QVERIFY2(f.enabled(id), qPrintable(QString::number(id)));
        QCOMPARE(f.text(CDarIduruDlg::IDC_INDICATOR), QStringLiteral("."));
        QCOMPARE(conContext().captioning.load(), 1);
        QVERIFY(!w.isWindowTimerActive(CDarIduruDlg::TIMER_CAPTION_START));
        QVERIFY(w.isMinimized());
        QVERIFY(f.countSounds(QStringLiteral("play startCap.wav async")) == 1);
    }

    // ASSIGN_COMPLETE: Answer green, w/ hold active; the emergency highlight
    // only for a joined agent in normal mode.
    void assignComplete_data()
    {
        QTest::addColumn<bool>("join");
        QTest::addColumn<int>("loginMode");
        QTest::addColumn<int>("emergency");
        QTest::addColumn<bool>("highlight");
        QTest::newRow("joined, normal, emergency") << true << 0 << 1 << true;
        QTest::newRow("joined, test mode, emergency") << true << 1 << 1 << false;
        QTest::newRow("joined, normal, no emergency") << true << 0 << 0 << false;
        QTest::newRow("not joined, emergency") << false << 0 << 1 << false;
    }
    void assignComplete()
    {
        QFETCH(bool, join);
        QFETCH(int, loginMode);
        QFETCH(int, emergency);
        QFETCH(bool, highlight);
        windowtest::writeRaw(settings::kSettings, settings::kUseStenoSW, 0);
        CallFixture f;
        SvcSimConfig config = calltest::callConfig();
        config.loginMode = loginMode;
        calltest::addJoinAck(config);
        QVERIFY(f.start(config));
        CDarIduruDlg& w = *f.window;
        if (join) {
            w.controlAs<QPushButton>(CDarIduruDlg::IDC_JOIN)->click();
            QTRY_COMPARE_WITH_TIMEOUT(f.text(CDarIduruDlg::IDC_JOIN), QStringLiteral("Pause"), 5000);
        }
        QVERIFY(f.offer());
        QVERIFY(f.answer());
        QVERIFY(f.assign(emergency));
        QVERIFY(f.settle());
        QCOMPARE(int(g_capcInfo.link.caState.load()), 4);
        QCOMPARE(conContext().isEmergency.load(), emergency);
        QCOMPARE(f.colorButton(CDarIduruDlg::IDC_ANSWER)->faceColor(), QColor(0x33, 0xFF, 0x00));
        QCOMPARE(f.colorButton(CDarIduruDlg::IDC_ANSWER)->textColor(), QColor(0xE6, 0xE6, 0xE6));
        QVERIFY(!f.enabled(CDarIduruDlg::IDC_ANSWER));
        QVERIFY(!f.enabled(CDarIduruDlg::IDC_JOIN));
        QVERIFY(f.enabled(CDarIduruDlg::IDC_HOLD));
        QCOMPARE(f.colorButton(CDarIduruDlg::IDC_HOLD)->textColor(), QColor(0x01, 0x01, 0x01));
        QCOMPARE(w.paragraphDone(), 1);
        QCOMPARE(w.paragraphIdle(), 0);
        auto* service = w.controlAs<CColorStaticST>(CDarIduruDlg::IDC_SERVICE);
        QCOMPARE(f.text(CDarIduruDlg::IDC_SERVICE) == QStringLiteral("911 CALL"), highlight);
        if (highlight) {
            QVERIFY(service->bkBlinkOn());
            QCOMPARE(service->currentBkColor(), QColor(0x33, 0xFF, 0x00));
            QVERIFY(MainFixture::waitFor(
                [&] { return service->currentBkColor() == QColor(0xFF, 0x33, 0xCC); }, 2000));
            // The reset stops the blinking.
            QVERIFY(f.send("RELEASE cause=16"));
            QVERIFY(f.waitCount(CAPX_RELEASE_COMPLETE, 1));
            QVERIFY(f.settle());
            QVERIFY(!service->bkBlinkOn());
        }
    }

    // VOIP_SETUP: the voice session with the set-up's address, port and
    // payload type, or 53 when it cannot be had; the offer watchdog gives
    // way to the caption-start watchdog either way.
    void voipSetup_data()
    {
        QTest::addColumn<QString>("address");
        QTest::addColumn<int>("port");
        QTest::addColumn<int>("payloadType");
        QTest::addColumn<int>("result");
        QTest::newRow("PCMU") << "127.0.0.1" << 40002 << 0 << 0;
        QTest::newRow("G.729") << "127.0.0.1" << 40002 << 18 << 0;
        QTest::newRow("host name") << "voice.example" << 4000 << 0 << 53;
        QTest::newRow("empty address") << "" << 4000 << 0 << 53;
        QTest::newRow("port 0") << "127.0.0.1" << 0 << 0 << 53;
        QTest::newRow("port 65535") << "127.0.0.1" << 65535 << 0 << 53;
        QTest::newRow("payload type 200") << "127.0.0.1" << 40002 << 200 << 53;
    }
    void voipSetup()
    {
        QFETCH(QString, address);
        QFETCH(int, port);
        QFETCH(int, payloadType);
        QFETCH(int, result);
        LogLines log;
        CallFixture f;
        QVERIFY(f.start(calltest::callConfig()));
        CDarIduruDlg& w = *f.window;
        QVERIFY(bringTo(f, InService));
        QVERIFY(w.isWindowTimerActive(CDarIduruDlg::TIMER_OFFER));
        conContext().textStarted = 1;
        const int txBefore = conContext().TxCnt.load();
        QVERIFY(f.voipSetup(address.toStdString(), port, payloadType));
        QVERIFY(f.settle());
        QCOMPARE(f.lastVoipSetupResult(), result);
        QCOMPARE(int(conContext().payloadType.load()), payloadType);
        QVERIFY(!w.isWindowTimerActive(CDarIduruDlg::TIMER_OFFER));
        QVERIFY(w.isWindowTimerActive(CDarIduruDlg::TIMER_CAPTION_START));
        QCOMPARE(conContext().callState.load(), STATE_IN_SERVICE);
        if (result == 0) {
            const RtpSap& sap = g_rtpAgent.sap[0];
            QCOMPARE(QString::fromLatin1(sap.remoteIp), address);
            QCOMPARE(int(sap.remotePort), port);
            QCOMPARE(int(sap.rtpMode), 3);
            QCOMPARE(int(sap.userId), 1);
            QCOMPARE(conContext().textStarted.load(), 0);
            QCOMPARE(conContext().TxCnt.load() - txBefore, 4);
        } else {
            QCOMPARE(g_rtpAgent.sap[0].state.load(), RTP_S_INIT);
            QCOMPARE(conContext().textStarted.load(), 1);
            QVERIFY(log.waitFor(QStringLiteral("refused: no voice session")));
        }
    }

    // No CAP_START within 5 s of VOIP_SETUP: the drop notice, RELEASE 57,
    // CALL_REPORT only for a call in service, the reset. A call released
    // before then never meets the watchdog.
    void captionStartWatchdog_data()
    {
        QTest::addColumn<int>("stage");
        QTest::addColumn<bool>("releasedFirst");
        QTest::addColumn<std::vector<int>>("sent");
        QTest::newRow("in service") << int(InService) << false
                                    << std::vector<int>{CAPX_RELEASE, CAPX_CALL_REPORT};
        QTest::newRow("answering") << int(Answering) << false << std::vector<int>{CAPX_RELEASE};
        QTest::newRow("released before") << int(InService) << true << std::vector<int>{};
    }
    void captionStartWatchdog()
    {
        QFETCH(int, stage);
        QFETCH(bool, releasedFirst);
        QFETCH(std::vector<int>, sent);
        CallFixture f;
        QVERIFY(f.start(calltest::callConfig()));
        QVERIFY(bringTo(f, stage));
        QVERIFY(f.voipSetup());
        QCOMPARE(f.lastVoipSetupResult(), 0);
        const Clock::time_point setUp = f.framesOf(CAPX_VOIP_SETUP_COMPLETE).back().at;
        if (releasedFirst) {
            QVERIFY(f.send("RELEASE cause=16"));
            QVERIFY(f.waitCount(CAPX_RELEASE_COMPLETE, 1));
        }
        const size_t mark = f.frameCount();
        if (releasedFirst) {
            QTest::qWait(6000);
            QVERIFY(f.settle());
            QCOMPARE(f.idsSince(mark), sent);
            verifyReset(f);
            return;
        }
        QVERIFY(f.waitCount(CAPX_RELEASE, 1, 8000));
        const auto release = f.framesOf(CAPX_RELEASE).back();
        QCOMPARE(int(release.msg.release.cause), 57);
        const qint64 after = msBetween(setUp, release.at);
        QVERIFY2(after >= 5000 && after <= 5000 + 1000, qPrintable(QString::number(after)));
        QCOMPARE(f.notices(), QStringList{QStringLiteral("Call dropped(Something wrong progress)")});
        QVERIFY(f.settle());
        QCOMPARE(f.idsSince(mark), sent);
        QCOMPARE(f.countSounds(QStringLiteral("play pauseCap.wav sync")), 1);
        verifyReset(f);
    }

    // The service reports CA state 0 while the console is busy (four
    // keep-alives in a row): CALL_REPORT for a call in service, the reset,
    // no RELEASE. Any other reported state changes nothing.
    void wrongCaState_data()
    {
        QTest::addColumn<int>("stage");
        QTest::addColumn<int>("wparam");
        QTest::addColumn<std::vector<int>>("sent");
        QTest::addColumn<bool>("reset");
        QTest::newRow("0 in service") << int(InService) << 0 << std::vector<int>{CAPX_CALL_REPORT} << true;
        QTest::newRow("0 answering") << int(Answering) << 0 << std::vector<int>{} << true;
        QTest::newRow("2 in service") << int(InService) << 2 << std::vector<int>{} << false;
    }
    void wrongCaState()
    {
        QFETCH(int, stage);
        QFETCH(int, wparam);
        QFETCH(std::vector<int>, sent);
        QFETCH(bool, reset);
        CallFixture f;
        QVERIFY(f.start(calltest::callConfig()));
        QVERIFY(bringTo(f, stage));
        const int stateBefore = conContext().callState.load();
        const size_t mark = f.frameCount();
        if (wparam == 0) {
            // The real rule: the service shows 0 while the agent is busy.
            f.sim->setKeepAlive(100, 1, 0, 0);
            QVERIFY(MainFixture::waitFor(
                [] { return conContext().callState.load() == STATE_IDLE; }, 3000));
            f.sim->setKeepAlive(500, 1, 4, 0);
        } else {
            conPostMessage(WM_CAPC_WRONG_CA_STATE, uintptr_t(wparam));
        }
        QVERIFY(f.settle());
        QCOMPARE(f.idsSince(mark), sent);
        if (reset)
            verifyReset(f);
        else
            QCOMPARE(conContext().callState.load(), stateBefore);
    }

    // The stenography program disconnects while the agent is logged in with
    // UseStenoSW: RELEASE 59 even without a call, CALL_REPORT first for a
    // call in service, the reset, and the agent paused with cause 85.
    void stenographyProgramLost_data()
    {
        QTest::addColumn<int>("useSteno");
        QTest::addColumn<int>("stage");
        QTest::addColumn<std::vector<int>>("sent");
        QTest::newRow("idle, joined") << 1 << -1 << std::vector<int>{CAPX_RELEASE, CAPX_CA_SVC_STATE};
        QTest::newRow("in service, joined")
            << 1 << int(InService)
            << std::vector<int>{CAPX_CALL_REPORT, CAPX_RELEASE, CAPX_CA_SVC_STATE};
        QTest::newRow("not required") << 0 << int(InService) << std::vector<int>{};
    }
    void stenographyProgramLost()
    {
        QFETCH(int, useSteno);
        QFETCH(int, stage);
        QFETCH(std::vector<int>, sent);
        windowtest::writeRaw(settings::kSettings, settings::kUseStenoSW, useSteno);
        CallFixture f;
        SvcSimConfig config = calltest::callConfig();
        calltest::addJoinAck(config);
        QVERIFY(f.start(config));
        CDarIduruDlg& w = *f.window;
        StenoClient steno;
        QVERIFY(steno.connect());
        QVERIFY(MainFixture::waitFor([] { return conContext().inputMode.load() == 1; }));
        QCOMPARE(f.bk(CDarIduruDlg::IDC_STENO_STATE), QColor(0x33, 0xFF, 0x00));
        w.controlAs<QPushButton>(CDarIduruDlg::IDC_JOIN)->click();
        QTRY_COMPARE_WITH_TIMEOUT(f.text(CDarIduruDlg::IDC_JOIN), QStringLiteral("Pause"), 5000);
        if (stage >= 0)
            QVERIFY(bringTo(f, stage));
        const int stateBefore = conContext().callState.load();
        const size_t mark = f.frameCount();

        steno.close();
        QVERIFY(MainFixture::waitFor([] { return conContext().inputMode.load() == 0; }));
        QVERIFY(f.settle());
        QCOMPARE(f.idsSince(mark), sent);
        QCOMPARE(f.bk(CDarIduruDlg::IDC_STENO_STATE), QColor(0xFF, 0x00, 0x00));
        if (!useSteno) {
            QCOMPARE(conContext().callState.load(), stateBefore);
            return;
        }
        QCOMPARE(int(f.framesOf(CAPX_RELEASE).back().msg.release.cause), 59);
        const CapxCaSvcState pause = f.framesOf(CAPX_CA_SVC_STATE).back().msg.caSvcState;
        QCOMPARE(int(pause.inService), 0);
        QCOMPARE(int(pause.cause), 85);
        QCOMPARE(conContext().joined.load(), 0);
        QCOMPARE(f.prompts.texts(),
                 QStringList{QStringLiteral("Disconnected with your Stenography S/W: SHIFT OFF")});
        QCOMPARE(f.countSounds(QStringLiteral("play pauseCap.wav sync")), 1);
        verifyReset(f);
    }

    // The stenography program connects again while its old connection is
    // still open (UseStenoSW, in service, joined): the old connection's close
    // is not the loss of the program, whichever of the two reports comes
    // first. The call goes on; when the new connection ends, the program is
    // lost as usual.
    void stenographyProgramReplaced()
    {
        windowtest::writeRaw(settings::kSettings, settings::kUseStenoSW, 1);
        CallFixture f;
        SvcSimConfig config = calltest::callConfig();
        calltest::addJoinAck(config);
        QVERIFY(f.start(config));
        LogLines log;   // after the start, which routes the window's lines anew
        CDarIduruDlg& w = *f.window;
        StenoClient first;
        QVERIFY(first.connect());
        QVERIFY(MainFixture::waitFor([] { return conContext().inputMode.load() == 1; }));
        w.controlAs<QPushButton>(CDarIduruDlg::IDC_JOIN)->click();
        QTRY_COMPARE_WITH_TIMEOUT(f.text(CDarIduruDlg::IDC_JOIN), QStringLiteral("Pause"), 5000);
        QVERIFY(bringTo(f, InService));
        const size_t mark = f.frameCount();

        StenoClient second;
        QVERIFY(second.connect());
        // The old connection's close has been handled: as a replaced one, or
        // as the loss of the program (which releases the call).
        QVERIFY(MainFixture::waitFor([&] {
            return log.count(QStringLiteral("replaced stenography connection closed")) > 0 ||
                   !f.framesOf(CAPX_RELEASE).empty();
        }));
        QVERIFY(f.settle());
        QCOMPARE(f.idsSince(mark), std::vector<int>{});
        QCOMPARE(conContext().callState.load(), int(STATE_IN_SERVICE));
        QCOMPARE(conContext().joined.load(), 1);
        QCOMPARE(conContext().inputMode.load(), 1);
        QCOMPARE(f.bk(CDarIduruDlg::IDC_STENO_STATE), QColor(0x33, 0xFF, 0x00));
        QVERIFY(f.prompts.texts().isEmpty());

        second.close();
        QVERIFY(MainFixture::waitFor([] { return conContext().inputMode.load() == 0; }));
        QVERIFY(f.settle());
        QCOMPARE(f.idsSince(mark), (std::vector<int>{CAPX_CALL_REPORT, CAPX_RELEASE, CAPX_CA_SVC_STATE}));
        QCOMPARE(int(f.framesOf(CAPX_RELEASE).back().msg.release.cause), 59);
    }

    // Messages that do not fit the call: each leaves a log line; only what
    // the service decides (an assignment) changes the call state.
    void outOfPlaceMessages()
    {
        CallFixture f;
        QVERIFY(f.start(calltest::callConfig()));
        // Watch the log from here: the start routes the window's own lines.
        LogLines log;
        const ConsoleContext& c = conContext();
        const int txBefore = c.TxCnt.load();
        const size_t mark = f.frameCount();

        // CONTROL with no call at all: nothing happens, not even captioning.
        QVERIFY(f.control(1));
        QVERIFY(log.waitFor(QStringLiteral("CONTROL 1 outside a call: ignored")));
        QCOMPARE(c.captioning.load(), 0);
        QCOMPARE(c.TxCnt.load(), txBefore);
        QVERIFY(!f.enabled(CDarIduruDlg::IDC_TYPING));

        // An acknowledgement with no call is shown and logged, not counted:
        // it would add to the next call's report.
        QVERIFY(f.send("DATA_ACK seqNo=1 result=0"));
        QVERIFY(f.settle());
        QVERIFY(log.waitFor(QStringLiteral("with no caption outstanding")));
        QVERIFY(log.waitFor(QStringLiteral("after the call: not counted")));
        QCOMPARE(c.rxSvrAck.load(), 0);
        QCOMPARE(f.text(CDarIduruDlg::IDC_INDICATOR), QStringLiteral("o"));
        QCOMPARE(c.callState.load(), STATE_IDLE);

        // A message the console does not handle.
        QVERIFY(f.send("MONITORING"));
        QVERIFY(f.settle());
        QCOMPARE(c.callState.load(), STATE_IDLE);
        QVERIFY(f.idsSince(mark).empty());

        // An assignment nobody answered for: the service decides, the log
        // tells.
        QVERIFY(f.send("ASSIGN_COMPLETE cuPhoneNumber=\"5551234\""));
        QVERIFY(f.settle());
        QVERIFY(log.waitFor(QStringLiteral("ASSIGN_COMPLETE in call state 0 (offer 0)")));
        QCOMPARE(c.callState.load(), STATE_IN_SERVICE);
        QVERIFY(f.send("RELEASE cause=16"));
        QVERIFY(f.waitCount(CAPX_RELEASE_COMPLETE, 1));
        QVERIFY(f.settle());
        verifyReset(f);
    }
};

QUILLON_MAIN_WINDOW_TEST_MAIN(TestMainCalls)
#include "tst_maincalls.moc"
