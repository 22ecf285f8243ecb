// One whole call as an agent takes it, with nothing faked but the sound
// player's files: the real main window, agent task and RTP task, the
// service simulator with its voice endpoint, the stenography simulator
// program, oRTP, the codecs, PortAudio and the test audio devices. The call
// rings, is answered, carries voice both ways, takes captions from the
// stenography program and ends with a report of what really went over.
#include "audiofixture.h"
#include "callstest.h"
#include "playedvoice.h"
#include "svcvoice.h"
#include "winsnd.h"

#include <QProcess>
#include <complex>

using calltest::CallFixture;
using maintest::MainFixture;

namespace {

// Link operations of the program with the real audio layer.
struct RealAudioLinkOps : ProductAgentLinkOps {
    void shutdown(int code) override { shutdowns.push_back(code); }
    std::vector<int> shutdowns;
};

std::vector<int16_t> callerVoice(int frames, double hz)
{
    std::vector<int16_t> v(size_t(frames) * 160);
    for (size_t i = 0; i < v.size(); ++i) {
        const double t = double(i) / 8000.0;
        v[i] = int16_t(6000 * std::sin(2 * M_PI * hz * t) + 3000 * std::sin(2 * M_PI * 97 * t * t));
    }
    return v;
}

double power(const std::vector<int16_t>& s, size_t from, double hz)
{
    std::complex<double> acc = 0;
    for (size_t i = from; i < s.size(); ++i)
        acc += double(s[i]) * std::polar(1.0, -2 * M_PI * hz * double(i - from) / 8000.0);
    return std::norm(acc);
}

TestAudioDevices& audioDevices()
{
    static TestAudioDevices devices;
    return devices;
}

}  // namespace

class TestWholeCall : public QObject {
    Q_OBJECT
private slots:
    void initTestCase()
    {
        // The agent's microphone: a steady 1 kHz tone.
        std::vector<int16_t> mic(30 * 8000);
        for (size_t i = 0; i < mic.size(); ++i)
            mic[i] = int16_t(7000 * std::sin(2 * M_PI * 1000 * double(i) / 8000.0));
        std::string why;
        QVERIFY2(audioDevices().start(mic, &why), why.c_str());
    }
    void init()
    {
        windowtest::clearStore();
        CDarIduruDlg::setWaitScale(0.01);
    }
    void cleanup()
    {
        if (g_rtpAgent.sap[0].state.load() != RTP_S_INIT) {
            rtpSapStop();
            CallFixture::waitSapFree();
        }
        // The next call opens the devices again, which restarts the file of
        // played audio.
        winsnd_close();
    }

    void wholeCall_data()
    {
        QTest::addColumn<int>("payloadType");
        QTest::addColumn<QString>("format");
        QTest::addColumn<int>("captionerType");
        QTest::addColumn<QByteArray>("expected");
        const QByteArray words("hello this is a captioned call please hold the line thank you ");
        QTest::newRow("PCMU, plain") << 0 << "plain" << 0 << words;
        QTest::newRow("G.729, CaseView") << 18 << "caseview" << 2 << QByteArray(6, ' ') + words;
        QTest::newRow("G.729, Bridge") << 18 << "bridge" << 5 << words;
    }
    void wholeCall()
    {
        QFETCH(int, payloadType);
        QFETCH(QString, format);
        QFETCH(int, captionerType);
        QFETCH(QByteArray, expected);
        windowtest::writeRaw(settings::kSettings, settings::kCaptionerType, captionerType);
        windowtest::writeRaw(settings::kSettings, settings::kUseStenoSW, 0);

        // The caller's voice, three seconds, streamed when the client's
        // first packet arrives.
        SvcVoiceConfig voiceConfig;
        voiceConfig.audio = callerVoice(150, 440);
        SvcVoice voice(voiceConfig);
        SvcSimConfig config = calltest::callConfig();
        std::string err;
        for (const std::string& line :
             {std::string("at 300 BROADCAST availCallCount1st=1 callIdx=77"),
              std::string("on ASSIGN_REQ +10 ASSIGN_COMPLETE cuPhoneNumber=\"5551234\" callIdx=77"),
              "on ASSIGN_REQ +40 VOIP_SETUP ipAddr=\"127.0.0.1\" portId=2 payloadType=" +
                  std::to_string(payloadType),
              std::string("on VOIP_SETUP_COMPLETE +100 CONTROL control=1")}) {
            SvcSimStep step;
            QVERIFY2(svcSimParseStep(line, &step, &err) == 1, err.c_str());
            config.script.push_back(step);
        }
        svcVoiceAttach(config, &voice);

        RealAudioLinkOps ops;
        CallFixture f;
        setAgentLinkOps(&ops);
        QVERIFY(f.start(config));
        QVERIFY(winsnd_output_name() != nullptr);
        CDarIduruDlg& w = *f.window;

        // It rings; the agent answers.
        QVERIFY(MainFixture::waitFor([] { return conContext().ringing.load() == 1; }, 5000));
        QVERIFY(MainFixture::waitFor([&] { return w.control(CDarIduruDlg::IDC_ANSWER)->isEnabled(); }));
        w.controlAs<QPushButton>(CDarIduruDlg::IDC_ANSWER)->click();
        QVERIFY(MainFixture::waitFor([] { return conContext().captioning.load() == 1; }, 8000));
        QCOMPARE(f.lastVoipSetupResult(), 0);
        QCOMPARE(conContext().callState.load(), STATE_IN_SERVICE);

        // The stenography program writes the captions.
        QProcess steno;
        steno.start(QStringLiteral(STENOSIM_PATH),
                    {QStringLiteral("--port"), QString::number(capcStenoListenPort()),
                     QStringLiteral("--format"), format, QStringLiteral("--text"),
                     QString::fromLatin1(expected.trimmed() + ' '), QStringLiteral("--chunk"),
                     QStringLiteral("16"), QStringLiteral("--pace"), QStringLiteral("30"),
                     QStringLiteral("--wait"), QStringLiteral("300")});
        QVERIFY(steno.waitForStarted(5000));
        QVERIFY(MainFixture::waitFor([&] { return f.dataBytes().size() >= expected.size(); }, 10000));
        QVERIFY(MainFixture::waitFor([&] { return steno.state() == QProcess::NotRunning; }, 5000));
        QCOMPARE(steno.exitCode(), 0);
        QCOMPARE(f.dataBytes(), expected);

        // The caller's voice is played; the agent's microphone reaches the
        // service.
        QVERIFY(MainFixture::waitFor([&] { return voice.streamingDone(); }, 10000));
        const auto& sent = voiceConfig.audio;
        auto playedFrames = [&] {
            const auto played = audioDevices().played();
            return payloadType == 0
                       ? playedvoice::framesInOrder(played, playedvoice::pcmuRoundTrip(sent))
                       : playedvoice::g729FramesPlayed(played, sent, nullptr);
        };
        QVERIFY2(MainFixture::waitFor([&] { return playedFrames() >= 135; }, 5000),
                 qPrintable(QStringLiteral("%1 frames played").arg(playedFrames())));
        const auto packets = voice.packets();
        QVERIFY2(packets.size() >= 100, qPrintable(QString::number(packets.size())));
        for (const auto& p : packets) {
            QCOMPARE(int(p.payloadType), payloadType);
            QCOMPARE(int(p.payload.size()), payloadType == 0 ? 160 : 20);
            QCOMPARE(p.ssrc, 520u);
        }
        const auto heard = voice.decoded();
        QVERIFY(heard.size() > 4000);
        QVERIFY(power(heard, 2400, 1000) > 50 * power(heard, 2400, 700));

        // Every DATA acknowledged; then the service ends the call.
        const int dataFrames = int(f.dataFrames().size());
        QVERIFY(MainFixture::waitFor([&] { return conContext().rxSvrAck.load() == dataFrames; }));
        QVERIFY(f.settle());
        // The last packets reach the receive side one jitter delay (about
        // 100 ms) after they were sent: wait for them, or for the few the
        // jitter buffer may have dropped, before the count is taken.
        MainFixture::waitFor([&] { return conContext().RxCnt.load() >= voice.sentCount(); }, 1000);
        const int received = conContext().RxCnt.load();
        const size_t mark = f.frameCount();
        QVERIFY(f.send("RELEASE cause=16"));
        QVERIFY(f.waitCount(CAPX_RELEASE_COMPLETE, 1));
        QVERIFY(f.settle());
        QCOMPARE(f.idsSince(mark), (std::vector<int>{CAPX_CALL_REPORT, CAPX_RELEASE_COMPLETE}));
        const CapxCallReport report = f.framesOf(CAPX_CALL_REPORT).back().msg.callReport;
        QCOMPARE(int(report.rxFromSteno), int(expected.size()));
        QCOMPARE(int(report.discardFromSteno), 0);
        QCOMPARE(int(report.txToSvr), int(expected.size()));
        QCOMPARE(int(report.rxSvrAck), dataFrames);
        QCOMPARE(int(report.rxVocFrameFromSvr), received);
        // What the receive side took in: every streamed packet but those the
        // jitter buffer dropped.
        QVERIFY2(received <= voice.sentCount() && received >= voice.sentCount() - 10,
                 qPrintable(QStringLiteral("%1 of %2").arg(received).arg(voice.sentCount())));
        QCOMPARE(int(report.kaFailCnt), 0);
        QVERIFY(CallFixture::waitSapFree());
        QCOMPARE(conContext().callState.load(), STATE_IDLE);
        QVERIFY(ops.shutdowns.empty());
    }
};

QUILLON_MAIN_WINDOW_TEST_MAIN(TestWholeCall)
#include "tst_wholecall.moc"
