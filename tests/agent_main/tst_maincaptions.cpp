// Captions through the real main window: typed text and stenography text
// reaching the service simulator as DATA, the Answer shortcut word,
// automatic transmission, the acknowledgement indicator and alarm, the
// voice-gap alarm, the paragraph break, and stenography input that is too
// much or cut short.
#include "callstest.h"

#include <QRegularExpression>

using calltest::CallFixture;
using calltest::LogLines;
using calltest::StenoClient;
using maintest::MainFixture;

namespace {

// Types text into the typing box key by key, as the agent does.
void typeText(CDarIduruDlg& w, const QString& text)
{
    auto* box = w.controlAs<QPlainTextEdit>(CDarIduruDlg::IDC_TYPING);
    box->setFocus();
    QTest::keyClicks(box, text);
}

void pressEnter(CDarIduruDlg& w)
{
    QWidget* target = w.focusWidget() ? w.focusWidget() : &w;
    QTest::keyClick(target, Qt::Key_Return);
}

QList<QByteArray> bytesList(std::initializer_list<const char*> items)
{
    QList<QByteArray> out;
    for (const char* s : items)
        out << QByteArray(s);
    return out;
}

QColor kGreen(0x33, 0xFF, 0x00);
QColor kGrey(0x99, 0x99, 0x99);
QColor kRed(0xFF, 0x00, 0x00);

}  // namespace

Q_DECLARE_METATYPE(QList<QByteArray>)

class TestMainCaptions : public QObject {
    Q_OBJECT
private slots:
    void init()
    {
        windowtest::clearStore();
        CDarIduruDlg::setWaitScale(0.01);
        QTest::failOnWarning(QRegularExpression(
            QStringLiteral("different thread|another thread|outside the GUI thread")));
    }

    // 130 typed characters go out as DATA of 63, 63 and 4 bytes, in order.
    void typedTextInChunks()
    {
        CallFixture f;
        QVERIFY(f.start(calltest::callConfig()));
        CDarIduruDlg& w = *f.window;
        QVERIFY(f.captioningCall());
        QString text;
        for (int i = 0; i < 130; ++i)
            text += QChar(QLatin1Char(char('a' + i % 26)));
        typeText(w, text);
        QCOMPARE(f.typed(), text);
        QCOMPARE(f.sim->count(CAPX_DATA), 0);
        pressEnter(w);
        QVERIFY(f.waitCount(CAPX_DATA, 3));
        const QList<QByteArray> data = f.dataFrames();
        QCOMPARE(data.size(), 3);
        QCOMPARE(data[0].size(), 63);
        QCOMPARE(data[1].size(), 63);
        QCOMPARE(data[2].size(), 4);
        QCOMPARE(f.dataBytes(), text.toLatin1());
        QCOMPARE(conContext().txToSvr.load(), 130);
        QCOMPARE(f.typed(), QString());
        for (int id = CDarIduruDlg::IDC_LIGHT1; id <= CDarIduruDlg::IDC_LIGHT5; ++id)
            QCOMPARE(f.bk(id), kGreen);
        // The simulator acknowledges each DATA (seqNo 0, 1, 2).
        QVERIFY(MainFixture::waitFor([] { return conContext().rxSvrAck.load() == 3; }));
        QCOMPARE(conContext().awaitingAck.load(), 0);
        QCOMPARE(f.text(CDarIduruDlg::IDC_INDICATOR), QStringLiteral("O"));
    }

    // Tx Data with an empty box shows stage 4 and sends nothing; text in the
    // box before captioning started is cleared and never sent.
    void txDataWithoutCaptioning()
    {
        CallFixture f;
        QVERIFY(f.start(calltest::callConfig()));
        CDarIduruDlg& w = *f.window;
        QVERIFY(f.offer() && f.answer() && f.assign());
        pressEnter(w);
        QCOMPARE(f.bk(CDarIduruDlg::IDC_LIGHT1 + 3), kGreen);
        QCOMPARE(f.bk(CDarIduruDlg::IDC_LIGHT5), kGrey);
        w.controlAs<QPlainTextEdit>(CDarIduruDlg::IDC_TYPING)->setPlainText(QStringLiteral("early words"));
        pressEnter(w);
        QCOMPARE(f.typed(), QString());
        QVERIFY(f.settle());
        QCOMPARE(f.sim->count(CAPX_DATA), 0);
        QCOMPARE(conContext().txToSvr.load(), 0);
    }

    // The Answer shortcut word while the agent is not in service: with one
    // trailing blank it answers the ringing call and sends nothing; with two
    // it is discarded. Typed or from the stenography program alike. An empty
    // word never answers.
    void answerWord_data()
    {
        QTest::addColumn<QString>("word");
        QTest::addColumn<bool>("steno");
        QTest::addColumn<QByteArray>("text");
        QTest::addColumn<bool>("answers");
        QTest::newRow("typed, one blank") << "go" << false << QByteArray("go ") << true;
        QTest::newRow("typed, no blank") << "go" << false << QByteArray("go") << true;
        QTest::newRow("typed, two blanks") << "go" << false << QByteArray("go  ") << false;
        QTest::newRow("typed, other word") << "go" << false << QByteArray("no ") << false;
        QTest::newRow("steno, one blank") << "go" << true << QByteArray("go ") << true;
        QTest::newRow("steno, two blanks") << "go" << true << QByteArray("go  ") << false;
        QTest::newRow("steno, empty word") << "" << true << QByteArray(" ") << false;
    }
    void answerWord()
    {
        QFETCH(QString, word);
        QFETCH(bool, steno);
        QFETCH(QByteArray, text);
        QFETCH(bool, answers);
        windowtest::writeRaw(settings::kSettings, settings::kMacAnswerCmd, word);
        windowtest::writeRaw(settings::kSettings, settings::kUseStenoSW, 0);
        CallFixture f;
        QVERIFY(f.start(calltest::callConfig()));
        CDarIduruDlg& w = *f.window;
        StenoClient program;
        if (steno) {
            QVERIFY(program.connect());
            QVERIFY(MainFixture::waitFor([] { return conContext().inputMode.load() == 1; }));
        }
        QVERIFY(f.offer());
        if (steno) {
            QVERIFY(program.send(text));
            QVERIFY(MainFixture::waitFor(
                [&] { return conContext().rxFromSteno.load() == text.size(); }));
        } else {
            w.controlAs<QPlainTextEdit>(CDarIduruDlg::IDC_TYPING)->setPlainText(QString::fromLatin1(text));
            pressEnter(w);
            QCOMPARE(f.typed(), QString());
        }
        if (answers)
            QVERIFY(f.waitCount(CAPX_ASSIGN_REQ, 1));
        QVERIFY(f.settle());
        QCOMPARE(f.sim->count(CAPX_ASSIGN_REQ), answers ? 1 : 0);
        QCOMPARE(conContext().callState.load(), answers ? STATE_ANSWERING : STATE_IDLE);
        QCOMPARE(f.sim->count(CAPX_DATA), 0);
        if (steno) {
            program.close();
            QVERIFY(MainFixture::waitFor([] { return conContext().inputMode.load() == 0; }));
        }
    }

    // Automatic transmission on the AutoTransmitSpace-th blank (0 counts as
    // 1); the box cleared by the program does not count as typing.
    void autoTransmit_data()
    {
        QTest::addColumn<int>("blanks");
        QTest::addColumn<QString>("typed");
        QTest::addColumn<bool>("enter");
        QTest::addColumn<QList<QByteArray>>("sent");
        QTest::newRow("3: third blank") << 3 << "one two three " << false
                                        << bytesList({"one two three "});
        QTest::newRow("3: two words and Enter") << 3 << "one two" << true << bytesList({"one two"});
        QTest::newRow("3: two blanks wait") << 3 << "one two " << false << QList<QByteArray>{};
        QTest::newRow("3: six words") << 3 << "a b c d e f " << false << bytesList({"a b c ", "d e f "});
        QTest::newRow("0: every word") << 0 << "one two " << false << bytesList({"one ", "two "});
        QTest::newRow("1: every word") << 1 << "one two " << false << bytesList({"one ", "two "});
    }
    void autoTransmit()
    {
        QFETCH(int, blanks);
        QFETCH(QString, typed);
        QFETCH(bool, enter);
        QFETCH(QList<QByteArray>, sent);
        windowtest::writeRaw(settings::kSettings, settings::kAutoTransmitSpace, blanks);
        CallFixture f;
        QVERIFY(f.start(calltest::callConfig()));
        CDarIduruDlg& w = *f.window;
        QCOMPARE(w.autoTransmitSpace(), blanks);
        QVERIFY(f.captioningCall());
        typeText(w, typed);
        if (enter)
            pressEnter(w);
        if (!sent.isEmpty())
            QVERIFY(f.waitCount(CAPX_DATA, int(sent.size())));
        QVERIFY(f.settle());
        QCOMPARE(f.dataFrames(), sent);
    }

    // DATA_ACK: the spinner character of its sequence number; a refusal
    // turns the indicator red and the alarm keeps sounding every second
    // from the second second on.
    void dataAck_data()
    {
        QTest::addColumn<int>("seqNo");
        QTest::addColumn<int>("result");
        QTest::addColumn<QString>("shown");
        QTest::newRow("seqNo 6") << 6 << 0 << "O";
        QTest::newRow("seqNo 5") << 5 << 0 << "o";
        QTest::newRow("seqNo 1, refused") << 1 << 3 << "o";
    }
    void dataAck()
    {
        QFETCH(int, seqNo);
        QFETCH(int, result);
        QFETCH(QString, shown);
        CallFixture f;
        SvcSimConfig config = calltest::callConfig();
        config.answerData = false;
        QVERIFY(f.start(config));
        LogLines log;   // after the start, which routes the window's lines anew
        CDarIduruDlg& w = *f.window;
        QVERIFY(f.captioningCall());
        const QColor before = f.bk(CDarIduruDlg::IDC_INDICATOR);
        typeText(w, QStringLiteral("x"));
        pressEnter(w);
        QVERIFY(f.waitCount(CAPX_DATA, 1));
        QElapsedTimer sinceData;
        sinceData.start();
        QCOMPARE(conContext().awaitingAck.load(), 1);
        QVERIFY(f.send("DATA_ACK seqNo=" + std::to_string(seqNo) + " result=" + std::to_string(result)));
        QVERIFY(f.settle());
        QCOMPARE(f.text(CDarIduruDlg::IDC_INDICATOR), shown);
        QCOMPARE(conContext().rxSvrAck.load(), 1);
        const QString beep = QStringLiteral("play BeepTw.wav async");
        if (result == 0) {
            QCOMPARE(conContext().awaitingAck.load(), 0);
            QCOMPARE(f.bk(CDarIduruDlg::IDC_INDICATOR), before);
            QTest::qWait(2500);
            QCOMPARE(f.countSounds(beep), 0);
            QCOMPARE(log.count(QStringLiteral("no caption outstanding")), 0);
            return;
        }
        QCOMPARE(f.bk(CDarIduruDlg::IDC_INDICATOR), kRed);
        QCOMPARE(conContext().awaitingAck.load(), 1);
        QVERIFY(MainFixture::waitFor([&] { return f.countSounds(beep) >= 1; }, 2500));
        const qint64 first = sinceData.elapsed();
        QVERIFY2(first >= 1000 - 20, qPrintable(QString::number(first)));
        QVERIFY(MainFixture::waitFor([&] { return f.countSounds(beep) >= 3; }, 3500));
        const qint64 third = sinceData.elapsed();
        QVERIFY2(third >= first + 2000 - 40, qPrintable(QString::number(third - first)));
        // The call's end silences the alarm.
        QVERIFY(f.send("RELEASE cause=16"));
        QVERIFY(f.waitCount(CAPX_RELEASE_COMPLETE, 1));
        const int beeps = f.countSounds(beep);
        QTest::qWait(1500);
        QCOMPARE(f.countSounds(beep), beeps);
    }

    // A DATA_ACK that arrives after the call ended (the DATA crossed the
    // RELEASE) is not counted into the next call's report.
    void lateAckAfterTheCall()
    {
        CallFixture f;
        SvcSimConfig config = calltest::callConfig();
        config.answerData = false;
        QVERIFY(f.start(config));
        LogLines log;   // after the start, which routes the window's lines anew
        CDarIduruDlg& w = *f.window;
        QVERIFY(f.captioningCall());
        typeText(w, QStringLiteral("x"));
        pressEnter(w);
        QVERIFY(f.waitCount(CAPX_DATA, 1));
        QVERIFY(f.send("RELEASE cause=16"));
        QVERIFY(f.waitCount(CAPX_RELEASE_COMPLETE, 1));
        QVERIFY(f.send("DATA_ACK seqNo=1 result=0"));
        QVERIFY2(log.waitFor(QStringLiteral("after the call: not counted")), qPrintable(log.lines().join(QLatin1Char('|'))));
        QCOMPARE(conContext().rxSvrAck.load(), 0);
    }

    // More than two DATA unacknowledged within a second: the agent task
    // warns and the indicator turns red.
    void ackLossTurnsTheIndicatorRed()
    {
        CallFixture f;
        SvcSimConfig config = calltest::callConfig();
        config.answerData = false;
        QVERIFY(f.start(config));
        CDarIduruDlg& w = *f.window;
        QVERIFY(f.captioningCall());
        QVERIFY(f.bk(CDarIduruDlg::IDC_INDICATOR) != kRed);
        w.controlAs<QPlainTextEdit>(CDarIduruDlg::IDC_TYPING)->setPlainText(QString(130, QLatin1Char('z')));
        pressEnter(w);
        QVERIFY(f.waitCount(CAPX_DATA, 3));
        QVERIFY(MainFixture::waitFor([&] { return f.bk(CDarIduruDlg::IDC_INDICATOR) == kRed; }, 2500));
    }

    // The length a gap record gives ("... a voice gap of N ms ..."), or -1.
    static int gapMs(const QString& line)
    {
        const auto m = QRegularExpression(QStringLiteral("voice gap of (\\d+) ms")).match(line);
        return m.hasMatch() ? m.captured(1).toInt() : -1;
    }

    // Voice frames keep the indicator green; a gap turns it red and beeps at
    // its first tick and every eighth after (BeepUnstableFlag); after
    // DOC_DISCONNECTED gaps stay silent and green.
    void voiceGap_data()
    {
        QTest::addColumn<int>("beepUnstable");
        QTest::newRow("beeps") << 1;
        QTest::newRow("no beeps") << 0;
    }
    void voiceGap()
    {
        QFETCH(int, beepUnstable);
        windowtest::writeRaw(settings::kSettings, settings::kBeepUnstableFlag, beepUnstable);
        CallFixture f;
        QVERIFY(f.start(calltest::callConfig()));
        LogLines log;   // after the start, which routes the window's lines anew
        CDarIduruDlg& w = *f.window;
        QVERIFY(f.captioningCall());
        const QString beep = QStringLiteral("play Beep.wav async");
        // Frames every 20 ms for 300 ms: no gap.
        for (int i = 0; i < 15; ++i) {
            conPostMessage(WM_VOICE_RX, 0);
            QTest::qWait(20);
        }
        QCOMPARE(f.bk(CDarIduruDlg::IDC_INDICATOR), kGreen);
        QVERIFY(w.isWindowTimerActive(CDarIduruDlg::TIMER_VOICE_GAP));
        QCOMPARE(conContext().voiceGapTicks.load(), 0);
        QCOMPARE(f.countSounds(beep), 0);
        // The gap: red at the first tick, a beep at ticks 1 and 9.
        QVERIFY(MainFixture::waitFor([] { return conContext().voiceGapTicks.load() >= 1; }, 1000));
        QCOMPARE(f.bk(CDarIduruDlg::IDC_INDICATOR), kRed);
        QVERIFY(MainFixture::waitFor([] { return conContext().voiceGapTicks.load() >= 10; }, 3000));
        QCOMPARE(f.countSounds(beep), beepUnstable ? 2 : 0);
        // The log marks the gap once, and each beep.
        QVERIFY(log.waitFor(QStringLiteral("CAPA] voice gap: no voice frame for 80 ms")));
        QCOMPARE(log.count(QStringLiteral("voice gap: no voice frame")), 1);
        QCOMPARE(log.count(QStringLiteral("voice gap: Beep.wav at ")), beepUnstable ? 2 : 0);

        QVERIFY(f.control(9));
        const int ticks = conContext().voiceGapTicks.load();
        const int beeps = f.countSounds(beep);
        conPostMessage(WM_VOICE_RX, 0);
        QVERIFY(MainFixture::waitFor([&] { return f.bk(CDarIduruDlg::IDC_INDICATOR) == kGreen; }));
        // A frame ends the gap's record: at least ten ticks long.
        QVERIFY(log.waitFor(QStringLiteral("CAPA] voice back after a voice gap of ")));
        const QString back = log.lines().filter(QStringLiteral("voice back after")).first();
        QVERIFY2(gapMs(back) >= 800, qPrintable(back));
        QVERIFY2(back.contains(QStringLiteral("(%1 beeps)").arg(beepUnstable ? 2 : 0)), qPrintable(back));
        QTest::qWait(1000);
        QCOMPARE(conContext().voiceGapTicks.load(), ticks);
        QCOMPARE(f.countSounds(beep), beeps);
        QCOMPARE(f.bk(CDarIduruDlg::IDC_INDICATOR), kGreen);

        // The call ends: the timer stops and the indicator turns grey.
        QVERIFY(f.send("RELEASE cause=16"));
        QVERIFY(f.waitCount(CAPX_RELEASE_COMPLETE, 1));
        QVERIFY(f.settle());
        QVERIFY(!w.isWindowTimerActive(CDarIduruDlg::TIMER_VOICE_GAP));
        QCOMPARE(f.bk(CDarIduruDlg::IDC_INDICATOR), kGrey);
        // After DOC_DISCONNECTED no gap was recorded any more.
        QCOMPARE(log.count(QStringLiteral("voice gap: no voice frame")), 1);
        QCOMPARE(log.count(QStringLiteral("call ended after a voice gap")), 0);
    }

    // A gap that lasts until the call ends is recorded with the call's end.
    void voiceGapUntilTheCallEnds()
    {
        CallFixture f;
        QVERIFY(f.start(calltest::callConfig()));
        LogLines log;
        QVERIFY(f.captioningCall());
        conPostMessage(WM_VOICE_RX, 0);
        QVERIFY(MainFixture::waitFor([] { return conContext().voiceGapTicks.load() >= 3; }, 2000));
        QVERIFY(f.send("RELEASE cause=16"));
        QVERIFY(f.waitCount(CAPX_RELEASE_COMPLETE, 1));
        QVERIFY(log.waitFor(QStringLiteral("CAPA] call ended after a voice gap of ")));
        const QString end = log.lines().filter(QStringLiteral("call ended after")).first();
        QVERIFY2(gapMs(end) >= 240, qPrintable(end));
        QVERIFY2(end.contains(QStringLiteral("(1 beeps)")), qPrintable(end));
        QCOMPARE(log.count(QStringLiteral("voice back after")), 0);
    }

    // Stenography text stops for more than 3 s: one blank line on the
    // caption screen before the next text.
    void paragraphBreak()
    {
        windowtest::writeRaw(settings::kSettings, settings::kUseStenoSW, 0);
        CallFixture f;
        QVERIFY(f.start(calltest::callConfig()));
        StenoClient program;
        QVERIFY(program.connect());
        QVERIFY(MainFixture::waitFor([] { return conContext().inputMode.load() == 1; }));
        QVERIFY(f.captioningCall());
        QVERIFY(program.send("first words"));
        QVERIFY(f.waitCount(CAPX_DATA, 1));
        QElapsedTimer idle;
        idle.start();
        QTRY_COMPARE_WITH_TIMEOUT(f.screenText(), QStringLiteral("first words"), 2000);
        QVERIFY(MainFixture::waitFor([&] { return f.screenText().endsWith(QLatin1Char('\n')); }, 6000));
        QVERIFY2(idle.elapsed() >= 3000, qPrintable(QString::number(idle.elapsed())));
        QCOMPARE(f.screenText(), QStringLiteral("first words\n\n"));
        QTest::qWait(2000);
        QCOMPARE(f.screenText(), QStringLiteral("first words\n\n"));
        QVERIFY(program.send("next"));
        QTRY_COMPARE_WITH_TIMEOUT(f.screenText(), QStringLiteral("first words\n\nnext"), 2000);
        program.close();
        QVERIFY(MainFixture::waitFor([] { return conContext().inputMode.load() == 0; }));
    }

    // Stenography text, converted by captioner type, reaches the service as
    // DATA with exactly the expected bytes; line ends become blanks.
    void stenoConversion_data()
    {
        QTest::addColumn<int>("type");
        QTest::addColumn<QList<QByteArray>>("pieces");
        QTest::addColumn<QByteArray>("expected");
        QTest::newRow("plain, line ends") << 0 << QList<QByteArray>{QByteArray("a\r\nb")}
                                          << QByteArray("a  b");
        QTest::newRow("CaseView") << 2
                                  << QList<QByteArray>{QByteArray("\x1A\0\0\0\0\0hi\xFAyou", 12)}
                                  << QByteArray("      hi you");
        QTest::newRow("Bridge") << 5 << QList<QByteArray>{QByteArray("ab\x02" "D\x03" "c\x02P\x01\x01\x03")}
                                << QByteArray("ab\bc");
        QTest::newRow("backspaces first") << 0 << QList<QByteArray>{QByteArray("\b\b"), QByteArray("x\b")}
                                          << QByteArray("x\b");
    }
    void stenoConversion()
    {
        QFETCH(int, type);
        QFETCH(QList<QByteArray>, pieces);
        QFETCH(QByteArray, expected);
        windowtest::writeRaw(settings::kSettings, settings::kCaptionerType, type);
        windowtest::writeRaw(settings::kSettings, settings::kUseStenoSW, 0);
        CallFixture f;
        QVERIFY(f.start(calltest::callConfig()));
        StenoClient program;
        QVERIFY(program.connect());
        QVERIFY(MainFixture::waitFor([] { return conContext().inputMode.load() == 1; }));
        QVERIFY(f.captioningCall());
        int pieceCount = 0;
        for (const QByteArray& piece : pieces) {
            QVERIFY(program.send(piece));
            ++pieceCount;
            QVERIFY(MainFixture::waitFor([&] { return conContext().stenoPieces.load() >= pieceCount; }));
        }
        QVERIFY(MainFixture::waitFor([&] { return f.dataBytes().size() >= expected.size(); }));
        QVERIFY(f.settle());
        QCOMPARE(f.dataBytes(), expected);
        QCOMPARE(conContext().txToSvr.load(), int(expected.size()));
        program.close();
        QVERIFY(MainFixture::waitFor([] { return conContext().inputMode.load() == 0; }));
    }

    // Many stenography pieces, handled on the agent task's thread and sent
    // through the window: all reach the service in order, all are shown.
    void stenoTextInOrder()
    {
        windowtest::writeRaw(settings::kSettings, settings::kUseStenoSW, 0);
        CallFixture f;
        QVERIFY(f.start(calltest::callConfig()));
        StenoClient program;
        QVERIFY(program.connect());
        QVERIFY(MainFixture::waitFor([] { return conContext().inputMode.load() == 1; }));
        QVERIFY(f.captioningCall());
        QByteArray all;
        for (int round = 0; round < 40; ++round) {
            // Six writes back to back; together they stay under the piece limit.
            for (int k = 0; k < 6; ++k) {
                const QByteArray word = QByteArray::number(round * 6 + k).rightJustified(4, '0') + ' ';
                QVERIFY(program.send(word));
                all += word;
            }
            QVERIFY(MainFixture::waitFor([&] { return conContext().rxFromSteno.load() == all.size(); }));
        }
        QVERIFY(MainFixture::waitFor([&] { return f.dataBytes().size() == all.size(); }, 10000));
        QCOMPARE(f.dataBytes(), all);
        QCOMPARE(conContext().txToSvr.load(), int(all.size()));
        QCOMPARE(conContext().discardFromSteno.load(), 0);
        // The screen is written from the agent task through the window's
        // queue, after the DATA has gone out: wait for the last piece.
        QTRY_COMPARE_WITH_TIMEOUT(f.screenText(), QString::fromLatin1(all), 5000);
        program.close();
        QVERIFY(MainFixture::waitFor([] { return conContext().inputMode.load() == 0; }));
    }

    // A megabyte at once: every byte is either sent or in a piece counted as
    // discarded; what is sent is whole runs of the input in order; the call
    // goes on.
    void stenoMegabyteAtOnce()
    {
        windowtest::writeRaw(settings::kSettings, settings::kUseStenoSW, 0);
        CallFixture f;
        QVERIFY(f.start(calltest::callConfig()));
        StenoClient program;
        QVERIFY(program.connect());
        QVERIFY(MainFixture::waitFor([] { return conContext().inputMode.load() == 1; }));
        QVERIFY(f.captioningCall());
        QByteArray big(1 << 20, '\0');
        for (int i = 0; i < big.size(); ++i)
            big[i] = char('a' + i % 26);
        QVERIFY(program.send(big));
        const ConsoleContext& c = conContext();
        QVERIFY(MainFixture::waitFor([&] { return c.rxFromSteno.load() == big.size(); }, 60000));
        QVERIFY(MainFixture::waitFor([&] { return f.dataBytes().size() == c.txToSvr.load(); }, 10000));
        QVERIFY(f.settle());
        const int sent = c.txToSvr.load();
        const int discarded = c.discardFromSteno.load();
        const int missing = int(big.size()) - sent;
        QVERIFY(discarded >= 1);
        // A discarded piece holds 300 to 1024 bytes.
        QVERIFY2(missing >= 300 * discarded && missing <= 1024 * discarded,
                 qPrintable(QStringLiteral("%1 bytes in %2 pieces").arg(missing).arg(discarded)));
        for (const QByteArray& d : f.dataFrames())
            for (int i = 1; i < d.size(); ++i)
                QVERIFY(d[i] - 'a' == (d[i - 1] - 'a' + 1) % 26);
        QCOMPARE(c.callState.load(), STATE_IN_SERVICE);
        QCOMPARE(c.captioning.load(), 1);
        program.close();
        QVERIFY(MainFixture::waitFor([] { return conContext().inputMode.load() == 0; }));
    }

    // A program that disconnects in the middle of a command or a CaseView
    // code: the next program's text starts clean.
    void stenoDisconnectMidSequence_data()
    {
        QTest::addColumn<int>("type");
        QTest::addColumn<QByteArray>("cut");
        QTest::addColumn<QByteArray>("cutSent");
        QTest::newRow("Bridge command") << 5 << QByteArray("ab\x02P") << QByteArray("ab");
        QTest::newRow("CaseView code") << 2 << QByteArray("x\x0E\x00", 3) << QByteArray("x");
    }
    void stenoDisconnectMidSequence()
    {
        QFETCH(int, type);
        QFETCH(QByteArray, cut);
        QFETCH(QByteArray, cutSent);
        windowtest::writeRaw(settings::kSettings, settings::kCaptionerType, type);
        windowtest::writeRaw(settings::kSettings, settings::kUseStenoSW, 0);
        CallFixture f;
        QVERIFY(f.start(calltest::callConfig()));
        {
            StenoClient first;
            QVERIFY(first.connect());
            QVERIFY(MainFixture::waitFor([] { return conContext().inputMode.load() == 1; }));
            QVERIFY(f.captioningCall());
            QVERIFY(first.send(cut));
            QVERIFY(f.waitCount(CAPX_DATA, 1));
        }
        QVERIFY(MainFixture::waitFor([] { return conContext().inputMode.load() == 0; }));
        StenoClient second;
        QVERIFY(second.connect());
        QVERIFY(MainFixture::waitFor([] { return conContext().inputMode.load() == 1; }));
        QVERIFY(second.send("cd"));
        QVERIFY(f.waitCount(CAPX_DATA, 2));
        QVERIFY(f.settle());
        QCOMPARE(f.dataFrames(), (QList<QByteArray>{cutSent, QByteArray("cd")}));
        QCOMPARE(conContext().callState.load(), STATE_IN_SERVICE);
        QCOMPARE(conContext().captioning.load(), 1);
        second.close();
        QVERIFY(MainFixture::waitFor([] { return conContext().inputMode.load() == 0; }));
    }
};

QUILLON_MAIN_WINDOW_TEST_MAIN(TestMainCaptions)
#include "tst_maincaptions.moc"
