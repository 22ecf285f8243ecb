// The Qt ground of the console windows: colour conversions, controls by id,
// window timers, the prompter fake, console notifications as events and
// calls marshalled onto the user-interface thread.
#include "consoleevent.h"
#include "controlregistry.h"
#include "qcolors.h"
#include "quillondialog.h"
#include "scriptedprompter.h"
#include "uithread.h"
#include "windowtest.h"

#include <QElapsedTimer>
#include <QLabel>
#include <QThread>
#include <atomic>
#include <vector>

namespace {

// Records every console event it receives, in order.
class EventRecorder : public QObject {
public:
    struct Seen {
        int message;
        uintptr_t wparam;
        bool onOwnThread;
    };
    std::vector<Seen> seen;

protected:
    bool event(QEvent* e) override
    {
        if (ConsoleEvent::isConsoleEvent(e)) {
            auto* ce = static_cast<ConsoleEvent*>(e);
            seen.push_back({ce->message(), ce->wparam(), QThread::currentThread() == thread()});
            return true;
        }
        return QObject::event(e);
    }
};

class TimerDialog : public QuillonDialog {
public:
    std::vector<std::pair<int, qint64>> fired;
    QElapsedTimer clock;
    TimerDialog() { clock.start(); }

protected:
    void onWindowTimer(int id) override { fired.push_back({id, clock.elapsed()}); }
};

}  // namespace

class TestQtGround : public QObject {
    Q_OBJECT
private slots:
    void init() { windowtest::resetContext(); }
    void cleanup()
    {
        setConsoleEventTarget(nullptr);
        conUnpublish();
    }

    void colourForms_data()
    {
        QTest::addColumn<uint>("rgb");
        QTest::addColumn<uint>("bgr");
        QTest::addColumn<QString>("hex");
        QTest::newRow("red") << 0xFF0000u << 0x0000FFu << "#FF0000";
        QTest::newRow("green") << 0x33FF00u << 0x00FF33u << "#33FF00";
        QTest::newRow("yellow") << 0xFFFF33u << 0x33FFFFu << "#FFFF33";
        QTest::newRow("near black") << 0x010101u << 0x010101u << "#010101";
        QTest::newRow("grey") << 0x999999u << 0x999999u << "#999999";
        QTest::newRow("blue") << 0x0000FFu << 0xFF0000u << "#0000FF";
    }
    void colourForms()
    {
        QFETCH(uint, rgb);
        QFETCH(uint, bgr);
        QFETCH(QString, hex);
        QCOMPARE(qcolors::bgrFromRgb(rgb), bgr);
        QCOMPARE(qcolors::rgbFromBgr(bgr), rgb);
        QCOMPARE(qcolors::fromBgr(bgr), qcolors::fromRgb(rgb));
        QCOMPARE(qcolors::fromHex(hex), qcolors::fromRgb(rgb));
        QCOMPARE(qcolors::toHex(qcolors::fromBgr(bgr)), hex);
        QCOMPARE(qcolors::toBgr(qcolors::fromHex(hex)), bgr);
    }

    void colourEdges()
    {
        // The top byte of a stored value is not part of the colour.
        QCOMPARE(qcolors::fromBgr(0xFF0000FFu), QColor(255, 0, 0));
        QVERIFY(!qcolors::fromHex("FF0000").isValid());
        QVERIFY(!qcolors::fromHex("#GG0000").isValid());
        QCOMPARE(qcolors::inverted(qcolors::fromBgr(0x0000FF)), qcolors::fromBgr(0xFFFF00));
    }

    void controlsByIdAndSharedValues()
    {
        QuillonDialog dialog;
        auto* a = new QLabel(&dialog);
        auto* b = new QLabel(&dialog);
        dialog.registerControl(1055, a);
        dialog.registerControl(1, b);
        QCOMPARE(dialog.control(1055), a);
        QCOMPARE(dialog.controlAs<QLabel>(1), b);
        QCOMPARE(dialog.control(999), nullptr);
        QCOMPARE(controlIdOf(a), 1055);
        QCOMPARE(controlIdOf(&dialog), 0);
        // A later registration under the same id replaces the control.
        dialog.registerControl(1055, b);
        QCOMPARE(dialog.control(1055), b);
    }

    void windowTimersAreByIdAndRestart()
    {
        TimerDialog dialog;
        dialog.startWindowTimer(104, 80);
        dialog.startWindowTimer(110, 40);
        QVERIFY(dialog.isWindowTimerActive(104));
        QTRY_VERIFY_WITH_TIMEOUT(dialog.fired.size() >= 3, 5000);
        // Both ids fire, each with its own period (periodic timers).
        int n104 = 0, n110 = 0;
        for (auto& f : dialog.fired)
            (f.first == 104 ? n104 : n110)++;
        QVERIFY(n110 >= 1);
        dialog.stopWindowTimer(104);
        dialog.stopWindowTimer(110);
        QVERIFY(!dialog.isWindowTimerActive(104));

        // Starting a running timer restarts its period.
        dialog.fired.clear();
        dialog.clock.restart();
        dialog.startWindowTimer(102, 300);
        QTest::qWait(150);
        const qint64 restartAt = dialog.clock.elapsed();
        dialog.startWindowTimer(102, 300);
        QTRY_VERIFY_WITH_TIMEOUT(!dialog.fired.empty(), 5000);
        dialog.stopWindowTimer(102);
        QCOMPARE(dialog.fired.front().first, 102);
        QVERIFY2(dialog.fired.front().second >= restartAt + 300 - 5,
                 qPrintable(QString::number(dialog.fired.front().second)));
        QCOMPARE(dialog.windowTimerInterval(102), 300);
        QCOMPARE(dialog.windowTimerInterval(107), -1);
    }

    void scriptedPrompterAnswersAndRecords()
    {
        ScriptedPrompter fake;
        fake.queueAnswer(QMessageBox::Yes);
        prompter().inform(nullptr, "first");
        QVERIFY(prompter().askYesNo(nullptr, "EXIT: Are you sure?"));
        // Without a queued answer the default button is answered.
        QVERIFY(!prompter().askYesNo(nullptr, "again?"));
        QCOMPARE(fake.texts(), (QStringList{"first", "EXIT: Are you sure?", "again?"}));
        QVERIFY(!fake.entries()[0].question);
        QVERIFY(fake.entries()[1].question);
    }

    void notificationsReachTheTargetInOrderAfterPublication()
    {
        EventRecorder target;
        setConsoleEventTarget(&target);
        // Not published: posts go nowhere.
        QCOMPARE(conPostMessage(WM_CAPC_SOCK_OPEN, 0), 0);
        QCoreApplication::processEvents();
        QVERIFY(target.seen.empty());

        conPublish(&target, uintptr_t(&target));
        // From another thread, as the tasks post.
        QThread* poster = QThread::create([] {
            for (int msg = WM_CAPC_RX_MSG; msg <= WM_VOICE_RX; ++msg)
                conPostMessage(msg, uintptr_t(msg - 1000));
            conPostMessage(WM_CAPC_CA_COUNT, 77);
            conPostMessage(2000, 1);   // outside 1024..1038: dropped
        });
        poster->start();
        QVERIFY(poster->wait(5000));
        delete poster;
        QTRY_COMPARE_WITH_TIMEOUT(int(target.seen.size()), 15, 5000);
        for (int i = 0; i < 14; ++i) {
            QCOMPARE(target.seen[i].message, WM_CAPC_RX_MSG + i);
            QCOMPARE(target.seen[i].wparam, uintptr_t(WM_CAPC_RX_MSG + i - 1000));
            QVERIFY(target.seen[i].onOwnThread);
        }
        QCOMPARE(target.seen[14].message, int(WM_CAPC_CA_COUNT));
        QCOMPARE(target.seen[14].wparam, uintptr_t(77));

        // Without a target nothing is posted any more.
        setConsoleEventTarget(nullptr);
        QCOMPARE(conPostMessage(WM_VOICE_RX, 0), 0);
    }

    void callsFromAnotherThreadRunOnTheUiThreadInOrder()
    {
        QObject context;
        std::vector<int> order;
        std::atomic<int> wrongThread{0};
        QThread* ui = QThread::currentThread();
        std::vector<int> results;
        QThread* worker = QThread::create([&] {
            for (int i = 0; i < 50; ++i) {
                const int r = runOnUiThread(&context, [&, i] {
                    if (QThread::currentThread() != ui)
                        ++wrongThread;
                    order.push_back(i);
                    return i * 2;
                });
                results.push_back(r);
            }
            runOnUiThread(&context, [&] { order.push_back(-1); });
        });
        worker->start();
        QTRY_VERIFY_WITH_TIMEOUT(worker->isFinished(), 10000);
        delete worker;
        QCOMPARE(wrongThread.load(), 0);
        QCOMPARE(int(order.size()), 51);
        for (int i = 0; i < 50; ++i) {
            QCOMPARE(order[i], i);
            QCOMPARE(results[i], i * 2);
        }
        // On the UI thread itself the call is direct.
        QCOMPARE(runOnUiThread(&context, [] { return 7; }), 7);
    }
};

QUILLON_WINDOW_TEST_MAIN(TestQtGround)
#include "tst_qtground.moc"
