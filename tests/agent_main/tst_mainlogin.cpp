// The main window's start, login and agent status against the service
// simulator: the control table, LOGIN and its answers, keep-alive
// supervision, reconnection with rejoin, the service lock and Exit.
#include "ccolorstaticst.h"
#include "colorbutton.h"
#include "mainwindowtest.h"
#include "upgradeopener.h"

#include <QDir>
#include <QProcess>
#include <QScreen>
#include <QSignalSpy>
#include <QTextEdit>

using maintest::MainFixture;

namespace {

constexpr int kLoginWait = 10000;

SvcSimConfig acceptingConfig()
{
    SvcSimConfig c;
    c.keepAlivePeriodMs = 0;
    c.agentId = 7;
    return c;
}

// The frames of one message id the simulator received.
std::vector<SvcSimFrame> framesOf(SvcSim& sim, int id)
{
    std::vector<SvcSimFrame> out;
    for (const SvcSimFrame& f : sim.frames())
        if (f.id == id)
            out.push_back(f);
    return out;
}

// The service's answer to the first JOIN: in service.
SvcSimStep joinAcknowledged()
{
    SvcSimStep ack;
    ack.trigger = SvcSimStep::OnMessage;
    ack.onMsgId = CAPX_CA_SVC_STATE;
    ack.msg.msgId = CAPX_CA_SVC_STATE_ACK;
    ack.msg.caSvcStateAck.inService = 1;
    return ack;
}

QColor bk(CDarIduruDlg& w, int id)
{
    return w.controlAs<CColorStaticST>(id)->currentBkColor();
}

}  // namespace

class TestMainLogin : public QObject {
    Q_OBJECT
private slots:
    void init()
    {
        windowtest::clearStore();
        CDarIduruDlg::setWaitScale(1.0);
    }

    // The control table: state of every control before any answer of the
    // server, then "No response from Server" 5 s after the dialog closed.
    void controlTableAndNoResponse()
    {
        MainFixture f;
        SvcSimConfig config = acceptingConfig();
        config.answerLogin = false;
        QVERIFY(f.start(config, false));
        CDarIduruDlg& w = *f.window;

        // LOGIN pressed before timer 100 published the window at once.
        QCOMPARE(CDarIduruDlg::published(), &w);
        QVERIFY(!w.isWindowTimerActive(CDarIduruDlg::TIMER_PUBLISH));

        struct Row {
            int id;
            const char* caption;
            bool visible;
            bool enabled;
        };
        const Row rows[] = {
            {CDarIduruDlg::IDC_JOIN, "JOIN", true, true},
            {CDarIduruDlg::IDC_ANSWER, "Answer", true, false},
            {CDarIduruDlg::IDC_REQUEST, "Request", true, false},
            {CDarIduruDlg::IDC_HO_CANCEL, "Cancel", true, false},
            {CDarIduruDlg::IDC_NOISE, "Noise", true, false},
            {CDarIduruDlg::IDC_NOVOICE, "NoVoice", true, false},
            {CDarIduruDlg::IDC_OLANG, "O/Lang", true, false},
            {CDarIduruDlg::IDC_MISUSE, "Misuse", true, false},
            {CDarIduruDlg::IDC_INTERACTIVE, "Interactive", true, false},
            {CDarIduruDlg::IDC_RECORDED, "Recorded", true, false},
            {CDarIduruDlg::IDC_FRAUD, "Fraud", false, false},
            {CDarIduruDlg::IDC_HOLD, "w/ hold", false, false},
            {CDarIduruDlg::IDC_TYPING, "", true, false},
            {CDarIduruDlg::IDC_CAPTION_SCREEN, "Caption Screen", false, true},
            {CDarIduruDlg::IDC_TXDATA, "Tx Data", true, false},
            {CDarIduruDlg::IDC_NOTICE, "Notice Box", true, true},
            {CDarIduruDlg::IDC_CONFIG, "Config..", true, true},
            {CDarIduruDlg::IDOK_EXIT, "Exit", true, true},
            {CDarIduruDlg::IDC_LINK_STATUS, "TRY", true, true},
            {CDarIduruDlg::IDC_STENO_STATE, "EclipseCAT", true, true},
            {CDarIduruDlg::IDC_INDICATOR, "X", false, true},
            {CDarIduruDlg::IDC_LIGHT1, "1", false, true},
            {CDarIduruDlg::IDC_LIGHT5, "5", false, true},
            {CDarIduruDlg::IDC_FOCUS_PARK, "", false, true},
            {CDarIduruDlg::IDC_TS1, "TS1", false, true},
            {CDarIduruDlg::IDC_TS3, "TS3", false, true},
            {CDarIduruDlg::IDC_LOGOUT, "Logout", false, false},
            {CDarIduruDlg::IDCANCEL_HIDDEN, "Cancel", false, false},
            {CDarIduruDlg::IDC_FIELD_1041, " ", false, true},
            {CDarIduruDlg::IDC_FIELD_1018, ".", false, true},
        };
        for (const Row& r : rows) {
            QWidget* c = w.control(r.id);
            QVERIFY2(c, qPrintable(QString::number(r.id)));
            QCOMPARE(f.text(r.id), QString::fromLatin1(r.caption));
            QVERIFY2(c->isVisibleTo(&w) == r.visible, qPrintable(QString::number(r.id)));
            QVERIFY2(c->isEnabled() == r.enabled, qPrintable(QString::number(r.id)));
        }
        QCOMPARE(w.windowTitle(), QStringLiteral("Quillon Agent(Ver.2.8.4)"));
        QCOMPARE(bk(w, CDarIduruDlg::IDC_STENO_STATE), QColor(0xFF, 0x00, 0x00));
        QCOMPARE(w.controlAs<ColorButton>(CDarIduruDlg::IDC_ANSWER)->faceColor(),
                 QColor(0xF0, 0xF0, 0xF0));
        QCOMPARE(w.controlAs<ColorButton>(CDarIduruDlg::IDC_ANSWER)->textColor(),
                 QColor(0xE6, 0xE6, 0xE6));
        QVERIFY(w.windowFlags() & Qt::WindowStaysOnTopHint);

        // The server took the connection and never answers.
        QVERIFY(f.waitCount(CAPX_LOGIN, 1, kLoginWait));
        QVERIFY(MainFixture::waitFor([&] { return !f.ops.shutdowns.empty(); }, 8000));
        QCOMPARE(f.ops.shutdowns.front(), 520);
        QCOMPARE(f.prompts.texts(), QStringList{QStringLiteral("No response from Server")});
    }

    void loginAccepted()
    {
        windowtest::writeRaw(settings::kSettings, settings::kCaptionerType, 2);
        MainFixture f;
        SvcSimConfig config = acceptingConfig();
        config.loginMsg = "Hello agent";
        config.agentId = 42;
        QVERIFY(f.start(config));
        CDarIduruDlg& w = *f.window;

        const auto logins = framesOf(*f.sim, CAPX_LOGIN);
        QCOMPARE(int(logins.size()), 1);
        const CapxLogin& login = logins.front().msg.login;
        QVERIFY(login.versionLen >= 3);
        QCOMPARE(int(login.version[0]), 2);
        QCOMPARE(int(login.version[1]), 8);
        QCOMPARE(int(login.version[2]), 4);
        QCOMPARE(int(login.stenoFormat), 2);

        QTRY_COMPARE_WITH_TIMEOUT(w.windowTitle(), QStringLiteral("Quillon Agent #42: (Ver.2.8.4)"),
                                  5000);
        QCOMPARE(f.text(CDarIduruDlg::IDC_LINK_STATUS), QString());
        QCOMPARE(bk(w, CDarIduruDlg::IDC_LINK_STATUS), QColor(0x33, 0xFF, 0x00));
        QCOMPARE(f.text(CDarIduruDlg::IDC_SERVICE), QStringLiteral("Click 'JOIN'"));
        QCOMPARE(f.text(CDarIduruDlg::IDC_STENO_STATE), QStringLiteral("CaseCAT"));
        QCOMPARE(f.countSounds(QStringLiteral("play welcome.wav async")), 1);
        QCOMPARE(f.text(CDarIduruDlg::IDC_NOTICE), QStringLiteral("Notice(1)"));
        QVERIFY(w.isWindowTimerActive(CDarIduruDlg::TIMER_KEEP_ALIVE));
        QVERIFY(w.isWindowTimerActive(CDarIduruDlg::TIMER_PARAGRAPH));
        QVERIFY(!w.isWindowTimerActive(CDarIduruDlg::TIMER_NO_RESPONSE));
        QVERIFY(f.ops.shutdowns.empty());
        QVERIFY(f.prompts.entries().empty());
    }

    void refused_data()
    {
        QTest::addColumn<QString>("message");
        QTest::addColumn<QStringList>("shown");
        QTest::newRow("one character") << "x" << QStringList{};
        QTest::newRow("text") << "Bad password" << QStringList{QStringLiteral("Error!.\nBad password")};
    }
    void refused()
    {
        QFETCH(QString, message);
        QFETCH(QStringList, shown);
        MainFixture f;
        SvcSimConfig config = acceptingConfig();
        config.loginResult = 1;
        config.loginMsg = message.toStdString();
        QVERIFY(f.start(config, false));
        QVERIFY(MainFixture::waitFor([&] { return !f.ops.shutdowns.empty(); }, kLoginWait));
        QCOMPARE(f.ops.shutdowns.front(), 520);
        QCOMPARE(f.prompts.texts(), shown);
        QCOMPARE(f.text(CDarIduruDlg::IDC_LINK_STATUS), QStringLiteral("FAIL"));
        QCOMPARE(bk(*f.window, CDarIduruDlg::IDC_LINK_STATUS), QColor(0xFF, 0x80, 0x00));
        QCOMPARE(conContext().loggedOut.load(), 1);
    }

    // The real shutdown: a refused login ends the program with posDown(520),
    // exit status 1 and the FATAL line in the debug file.
    void refusedEndsTheProcess()
    {
        QTemporaryDir debugDir;
        QProcess child;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("QUILLON_TEST_CHILD"), QStringLiteral("refused"));
        env.insert(QStringLiteral("POS_DEBUG_DIR"), debugDir.path());
        child.setProcessEnvironment(env);
        child.start(QCoreApplication::applicationFilePath(), {});
        QVERIFY(child.waitForFinished(30000));
        QCOMPARE(child.exitStatus(), QProcess::NormalExit);
        QCOMPARE(child.exitCode(), 1);
        // The shutdown wrote its lines to the debug file.
        const QStringList files = QDir(debugDir.path()).entryList({QStringLiteral("posDebug-*.txt")});
        QVERIFY2(!files.isEmpty(), "no debug file");
    }

    void keepAliveSupervision()
    {
        windowtest::writeRaw(settings::kSettings, settings::kBeepUnstableFlag, 1);
        MainFixture f;
        SvcSimConfig config = acceptingConfig();
        config.keepAlivePeriodMs = 300;
        config.kaCurCaCount = 3;
        QVERIFY(f.start(config));
        CDarIduruDlg& w = *f.window;
        QTRY_COMPARE_WITH_TIMEOUT(f.text(CDarIduruDlg::IDC_LINK_STATUS), QString(), 5000);

        // Keep-alives stop: "KA FAIL" not before 1500 ms after the last one.
        f.sim->setKeepAlive(0, 0, 0, 0);
        QElapsedTimer sinceStop;
        sinceStop.start();
        QVERIFY(MainFixture::waitFor(
            [&] { return f.text(CDarIduruDlg::IDC_LINK_STATUS) == QStringLiteral("KA FAIL"); }, 4000));
        const qint64 firstFail = sinceStop.elapsed();
        QVERIFY2(firstFail >= 1500 - 300 - 20, qPrintable(QString::number(firstFail)));
        QVERIFY2(firstFail <= 1500 + 600, qPrintable(QString::number(firstFail)));
        QCOMPARE(bk(w, CDarIduruDlg::IDC_LINK_STATUS), QColor(0xFF, 0x80, 0x00));

        // The sixth expiry ends the login.
        QVERIFY(MainFixture::waitFor([&] { return !f.ops.shutdowns.empty(); }, 12000));
        const qint64 end = sinceStop.elapsed();
        QVERIFY2(end >= 9000 - 300 - 20, qPrintable(QString::number(end)));
        QVERIFY2(end <= 9000 + 2500, qPrintable(QString::number(end)));
        QCOMPARE(f.ops.shutdowns.front(), 520);
        QCOMPARE(f.countSounds(QStringLiteral("play Beep.wav async")), 5);
        QCOMPARE(f.countSounds(QStringLiteral("play goodbye.wav async")), 1);
        QCOMPARE(f.prompts.texts(),
                 QStringList{QStringLiteral("Keep Alive Failure. Please check your internet "
                                            "environment(AP or Router).")});
        QCOMPARE(f.text(CDarIduruDlg::IDC_LINK_STATUS), QStringLiteral("OFF"));
        QCOMPARE(conContext().loggedOut.load(), 1);
    }

    void keepAliveAfterMissesTurnsGreen()
    {
        MainFixture f;
        QVERIFY(f.start(acceptingConfig()));
        QVERIFY(MainFixture::waitFor(
            [&] { return conContext().kaFailCnt.load() >= 2; }, 6000));
        f.sim->setKeepAlive(200, 4, 0, 0);
        QVERIFY(MainFixture::waitFor([&] { return conContext().kaFailCnt.load() == 0; }, 3000));
        QTRY_COMPARE_WITH_TIMEOUT(f.text(CDarIduruDlg::IDC_LINK_STATUS), QString(), 3000);
        QCOMPARE(bk(*f.window, CDarIduruDlg::IDC_LINK_STATUS), QColor(0x33, 0xFF, 0x00));
        QVERIFY(f.ops.shutdowns.empty());
    }

    // A link dropped while joined: reconnection after 1500 ms, LOGIN, and the
    // agent joined again without a press; no second welcome.
    void linkDropRejoins()
    {
        windowtest::writeRaw(settings::kSettings, settings::kUseStenoSW, 0);
        MainFixture f;
        SvcSimConfig config = acceptingConfig();
        config.keepAlivePeriodMs = 500;
        config.script.push_back(joinAcknowledged());
        QVERIFY(f.start(config));
        CDarIduruDlg& w = *f.window;

        w.controlAs<QPushButton>(CDarIduruDlg::IDC_JOIN)->click();
        QVERIFY(f.waitCount(CAPX_CA_SVC_STATE, 1, 5000));
        QTRY_COMPARE_WITH_TIMEOUT(f.text(CDarIduruDlg::IDC_JOIN), QStringLiteral("Pause"), 5000);
        // Joined: keep-alives show the agent count.
        QTRY_COMPARE_WITH_TIMEOUT(f.text(CDarIduruDlg::IDC_SERVICE), QStringLiteral("CA: 0"), 5000);

        f.sim->closeClient();
        QElapsedTimer sinceDrop;
        sinceDrop.start();
        QTRY_COMPARE_WITH_TIMEOUT(f.text(CDarIduruDlg::IDC_LINK_STATUS), QStringLiteral("OFF"), 5000);
        QCOMPARE(w.windowTitle(), QStringLiteral("Quillon Agent(Ver.2.8.4)"));
        QVERIFY(f.waitCount(CAPX_LOGIN, 2, 8000));
        QVERIFY2(sinceDrop.elapsed() >= 1500 - 20, qPrintable(QString::number(sinceDrop.elapsed())));
        QVERIFY(f.waitCount(CAPX_CA_SVC_STATE, 2, 8000));
        const auto states = framesOf(*f.sim, CAPX_CA_SVC_STATE);
        QCOMPARE(int(states.back().msg.caSvcState.inService), 1);
        QCOMPARE(int(states.back().msg.caSvcState.cause), 0);
        QCOMPARE(f.sim->connections(), 2);
        QCOMPARE(f.countSounds(QStringLiteral("play welcome.wav async")), 1);
        QCOMPARE(w.loginCount(), 2);
        QVERIFY(f.ops.shutdowns.empty());
    }

    void joinNeedsTheStenographyProgram()
    {
        MainFixture f;  // UseStenoSW defaults to 1; no program connected
        QVERIFY(f.start(acceptingConfig()));
        f.window->controlAs<QPushButton>(CDarIduruDlg::IDC_JOIN)->click();
        QCOMPARE(f.prompts.texts(), QStringList{QStringLiteral("Please connect your Stenograpy S/W")});
        QTest::qWait(300);
        QCOMPARE(f.sim->count(CAPX_CA_SVC_STATE), 0);
        QCOMPARE(conContext().joined.load(), 0);
    }

    void serviceLockDisablesJoin()
    {
        windowtest::writeRaw(settings::kSettings, settings::kUseStenoSW, 0);
        MainFixture f;
        SvcSimConfig config = acceptingConfig();
        config.script.push_back(joinAcknowledged());
        QVERIFY(f.start(config));
        CDarIduruDlg& w = *f.window;
        auto* join = w.controlAs<QPushButton>(CDarIduruDlg::IDC_JOIN);
        join->click();
        QTRY_COMPARE_WITH_TIMEOUT(join->text(), QStringLiteral("Pause"), 5000);

        f.sim->setKeepAlive(200, 1, 0, 1);
        QTRY_VERIFY_WITH_TIMEOUT(!join->isEnabled(), 3000);
        QCOMPARE(conContext().serviceLocked.load(), 1);
        w.OnJoin();  // a press that reaches the handler anyway
        QTest::qWait(200);
        QCOMPARE(f.sim->count(CAPX_CA_SVC_STATE), 1);

        f.sim->setKeepAlive(200, 1, 0, 0);
        QTRY_VERIFY_WITH_TIMEOUT(join->isEnabled(), 3000);
        QCOMPARE(conContext().serviceLocked.load(), 0);
    }

    void exitRules()
    {
        MainFixture f;
        CDarIduruDlg::setWaitScale(0.1);
        SvcSimConfig config = acceptingConfig();
        SvcSimStep offer;
        offer.trigger = SvcSimStep::AtMs;
        offer.delayMs = 200;
        offer.msg.msgId = CAPX_BROADCAST;
        config.script.push_back(offer);
        QVERIFY(f.start(config));
        CDarIduruDlg& w = *f.window;
        QVERIFY(MainFixture::waitFor([] { return conContext().offerActive.load() == 1; }));

        // Ringing: the position is kept, nothing else happens.
        w.move(120, 90);
        auto* exitButton = w.controlAs<QPushButton>(CDarIduruDlg::IDOK_EXIT);
        exitButton->click();
        QVERIFY(f.prompts.entries().empty());
        QCOMPARE(windowtest::rawValue(settings::kInitialization, settings::kMainHorizPos).toInt(),
                 w.frameGeometry().left());
        QCOMPARE(windowtest::rawValue(settings::kInitialization, settings::kMainVertPos).toInt(),
                 w.frameGeometry().top());

        // Offer over (the server withdraws it): No keeps the program.
        w.ReleaseAllState();
        f.prompts.queueAnswer(QMessageBox::No);
        exitButton->click();
        QCOMPARE(f.prompts.texts(), QStringList{QStringLiteral("EXIT: Are you sure?")});
        QTest::qWait(200);
        QCOMPARE(f.sim->count(CAPX_LOGOUT), 0);
        QVERIFY(w.isVisible());

        // Yes: goodbye, LOGOUT, and the window ends with OK.
        f.prompts.queueAnswer(QMessageBox::Yes);
        QSignalSpy finished(&w, &QDialog::finished);
        exitButton->click();
        QVERIFY(f.waitCount(CAPX_LOGOUT, 1, 3000));
        QCOMPARE(finished.count(), 1);
        QCOMPARE(finished.first().first().toInt(), int(QDialog::Accepted));
        QCOMPARE(f.countSounds(QStringLiteral("play goodbye.wav async")), 1);
        QCOMPARE(f.sim->count(CAPX_CALL_REPORT), 0);
    }

    void upgrade_data()
    {
        QTest::addColumn<QString>("location");
        QTest::addColumn<bool>("opened");
        QTest::addColumn<bool>("ends");
        QTest::newRow("https") << "https://downloads.example.org/agent.deb" << true << true;
        QTest::newRow("not a web address") << "file:///etc/passwd" << false << true;
        QTest::newRow("command text") << "xterm -e sh" << false << true;
        QTest::newRow("empty: login goes on") << "" << false << false;
    }
    void upgrade()
    {
        QFETCH(QString, location);
        QFETCH(bool, opened);
        QFETCH(bool, ends);
        QStringList openedUrls;
        setUpgradeOpener([&](const QString& url) { openedUrls << url; });
        CDarIduruDlg::setWaitScale(0.1);
        MainFixture f;
        SvcSimConfig config = acceptingConfig();
        config.upgradeRequired = 1;
        config.loginMsg = location.toStdString();
        QVERIFY(f.start(config));
        if (ends) {
            QVERIFY(MainFixture::waitFor([&] { return !f.ops.shutdowns.empty(); }, 5000));
            QCOMPARE(f.prompts.texts().value(0),
                     QStringLiteral("New version is existed.\nPlease download the new version and "
                                    "reinstall it."));
        } else {
            QTest::qWait(300);
            QVERIFY(f.ops.shutdowns.empty());
        }
        QCOMPARE(openedUrls.size(), opened ? 1 : 0);
        setUpgradeOpener(nullptr);
    }

    void modesShowInTheServiceField_data()
    {
        QTest::addColumn<int>("mode");
        QTest::addColumn<QString>("shown");
        // A normal agent's idle text is empty until keep-alives show the count.
        QTest::newRow("normal") << 0 << "";
        QTest::newRow("test") << 1 << "TEST MODE";
        QTest::newRow("specialist") << 2 << "SPECIALIST";
        QTest::newRow("unknown shows as normal") << 7 << "";
    }
    void modesShowInTheServiceField()
    {
        QFETCH(int, mode);
        QFETCH(QString, shown);
        windowtest::writeRaw(settings::kSettings, settings::kUseStenoSW, 0);
        // The server shows the count of waiting agents with keep-alives; none here.
        MainFixture f;
        SvcSimConfig config = acceptingConfig();
        config.loginMode = mode;
        config.script.push_back(joinAcknowledged());
        QVERIFY(f.start(config));
        // Not joined: the blinking invitation.
        QCOMPARE(f.text(CDarIduruDlg::IDC_SERVICE), QStringLiteral("Click 'JOIN'"));
        QVERIFY(f.window->controlAs<CColorStaticST>(CDarIduruDlg::IDC_SERVICE)->bkBlinkOn());
        f.window->controlAs<QPushButton>(CDarIduruDlg::IDC_JOIN)->click();
        QTRY_COMPARE_WITH_TIMEOUT(f.text(CDarIduruDlg::IDC_JOIN), QStringLiteral("Pause"), 5000);
        QCOMPARE(f.text(CDarIduruDlg::IDC_SERVICE), shown);
        QVERIFY(!f.window->controlAs<CColorStaticST>(CDarIduruDlg::IDC_SERVICE)->bkBlinkOn());
    }

    // The stored position is used when the window is on some screen there;
    // one off every screen puts the window on the primary screen, and the
    // stored values are kept.
    void storedPosition_data()
    {
        QTest::addColumn<int>("left");
        QTest::addColumn<int>("top");
        QTest::addColumn<bool>("kept");
        QTest::newRow("on the screen") << 150 << 120 << true;
        QTest::newRow("far right and below") << 60000 << 60000 << false;
        QTest::newRow("far left and above") << -60000 << -60000 << false;
        QTest::newRow("just off the right edge") << 100000 << 10 << false;
    }
    void storedPosition()
    {
        QFETCH(int, left);
        QFETCH(int, top);
        QFETCH(bool, kept);
        windowtest::writeRaw(settings::kInitialization, settings::kMainHorizPos, left);
        windowtest::writeRaw(settings::kInitialization, settings::kMainVertPos, top);
        MainFixture f;
        SvcSimConfig config = acceptingConfig();
        config.answerLogin = false;
        QVERIFY(f.start(config, false));
        const QRect frame = f.window->frameGeometry();
        if (kept) {
            QCOMPARE(frame.topLeft(), QPoint(left, top));
        } else {
            const QRect area = QGuiApplication::primaryScreen()->availableGeometry();
            QVERIFY2(area.contains(frame.topLeft()), qPrintable(QStringLiteral("%1,%2").arg(frame.left()).arg(frame.top())));
        }
        QCOMPARE(windowtest::rawValue(settings::kInitialization, settings::kMainHorizPos).toInt(), left);
        QCOMPARE(windowtest::rawValue(settings::kInitialization, settings::kMainVertPos).toInt(), top);
    }

    void secondServerAndLocaleClamp_data()
    {
        QTest::addColumn<int>("locale");
        QTest::addColumn<QString>("title");
        QTest::newRow("primary") << 0 << "Quillon Agent(Ver.2.8.4)";
        QTest::newRow("secondary") << 1 << "Quillon Agent(Ver.2.8.4)-TB";
        QTest::newRow("out of range") << 5 << "Quillon Agent(Ver.2.8.4)";
    }
    void secondServerAndLocaleClamp()
    {
        QFETCH(int, locale);
        QFETCH(QString, title);
        windowtest::writeRaw(settings::kSettings, settings::kLocale, locale);
        windowtest::writeRaw(settings::kSettings, settings::kIPSVR2, QStringLiteral("localhost"));
        MainFixture f;
        SvcSimConfig config = acceptingConfig();
        config.answerLogin = false;
        QVERIFY(f.start(config, false));
        QCOMPARE(f.window->windowTitle(), title);
        QCOMPARE(conContext().serverIndex.load(), locale == 1 ? 1 : 0);
        QCOMPARE(QString::fromLatin1(conContext().serverHost), QStringLiteral("127.0.0.1"));
        QVERIFY(f.waitCount(CAPX_LOGIN, 1, kLoginWait));
    }
};

// The child of refusedEndsTheProcess: the real shutdown, no recording.
static int runRefusedChild()
{
    installProductAgentLinkOps();
    struct NoSound : ProductAgentLinkOps {
        int soundInit() override { return 0; }
    };
    static NoSound ops;
    setAgentLinkOps(&ops);
    static ScriptedPrompter prompts;
    SvcSimConfig config;
    config.loginResult = 1;
    config.loginMsg = "x";
    auto sim = maintest::startSim(config);
    if (!sim)
        return 3;
    CDarIduruDlg window;
    maintest::answerLoginDialog(QStringLiteral("agent7"), QStringLiteral("secret1"));
    window.InitWindow();
    QTest::qWait(15000);
    // posDown should have ended the process long before.
    return 4;
}

int main(int argc, char** argv)
{
    QTemporaryDir configHome;
    qputenv("XDG_CONFIG_HOME", configHome.path().toLocal8Bit());
    if (qEnvironmentVariableIsEmpty("XDG_RUNTIME_DIR"))
        qputenv("XDG_RUNTIME_DIR", configHome.path().toLocal8Bit());
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    CDarIduruDlg::setRuntimeStarter(maintest::startTestRuntime);
    if (qgetenv("QUILLON_TEST_CHILD") == "refused")
        return runRefusedChild();
    TestMainLogin tc;
    return QTest::qExec(&tc, argc, argv);
}

#include "tst_mainlogin.moc"
