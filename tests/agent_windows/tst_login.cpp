// The login dialog and the server configuration dialog, on recording fakes
// of the agent link. Saving the server configuration ends the program: that
// case runs in a child process of this program.
#include "agentlinkops.h"
#include "capclogincrypt.h"
#include "cdlglogin.h"
#include "cdlgserverconfig.h"
#include "ccolorstaticst.h"
#include "notifystatic.h"
#include "pos.h"
#include "quillon_version.h"
#include "scriptedprompter.h"
#include "windowtest.h"

#include <QCheckBox>
#include <QFile>
#include <QLineEdit>
#include <QProcess>
#include <QPushButton>
#include <QRadioButton>
#include <QTimer>
#include <cstdio>
#include <string>
#include <vector>

using namespace settings;

namespace {

struct FakeOps : AgentLinkOps {
    struct Login {
        std::string userId, password, phone;
        int major, minor, patch, captionerType;
    };
    int soundResult = 0;
    QString deviceName = "Test Speaker";
    int soundInits = 0;
    std::vector<Login> logins;
    std::vector<std::pair<std::string, int>> starts;
    std::vector<int> shutdowns;
    std::vector<std::string> order;

    FakeOps() { setAgentLinkOps(this); }
    ~FakeOps() override { setAgentLinkOps(nullptr); }

    int soundInit() override
    {
        ++soundInits;
        order.push_back("sound");
        return soundResult;
    }
    QString outputDeviceName() override { return soundResult == 0 ? deviceName : QString(); }
    int txLogin(const char* u, int ul, const char* p, int pl, const char* ph, int ma, int mi,
                int pa, int ct) override
    {
        order.push_back("login");
        logins.push_back({std::string(u, size_t(ul)), std::string(p, size_t(pl)), ph, ma, mi, pa, ct});
        return -1;   // no link yet, as at the first attempt
    }
    int socketStart(const char* address, int port) override
    {
        order.push_back("start");
        starts.push_back({address, port});
        return 0;
    }
    void shutdown(int code) override
    {
        order.push_back("shutdown");
        shutdowns.push_back(code);
    }
};

std::string unscramble(const char* text, int len, uint8_t key)
{
    char out[128];
    const int n = capcLoginUnscramble(text, len, key, out, int(sizeof out));
    return std::string(out, size_t(n));
}

// Answers the next modal dialog that opens with fn, from the event loop.
void whenModalOpens(std::function<void(QWidget*)> fn)
{
    auto* timer = new QTimer;
    timer->setInterval(10);
    QObject::connect(timer, &QTimer::timeout, [timer, fn] {
        if (QWidget* w = QApplication::activeModalWidget()) {
            timer->stop();
            timer->deleteLater();
            fn(w);
        }
    });
    timer->start();
}

void typeInto(QWidget* edit, const QString& text)
{
    edit->setFocus();
    QTest::keyClicks(edit, text);
}

// ---- the child process: server configuration saved, program ends ----------

// Writes each message to standard output at once (the process ends after it).
class EchoPrompter : public Prompter {
public:
    void inform(QWidget*, const QString& text) override
    {
        std::printf("MESSAGE: %s\n", text.toUtf8().constData());
        std::fflush(stdout);
    }
    QMessageBox::StandardButton ask(QWidget*, const QString&, QMessageBox::StandardButtons,
                                    QMessageBox::StandardButton def) override
    {
        return def;
    }
};

struct EndingOps : FakeOps {
    void shutdown(int code) override { posDown(code); }
};

int runServerConfigChild()
{
    EchoPrompter echo;
    setPrompter(&echo);
    EndingOps ops;
    windowtest::resetContext();
    CDlgLogin login;
    login.setServerNames({"primary.example", "secondary.example", "log.example"});
    login.show();
    whenModalOpens([](QWidget* w) {
        auto* dlg = qobject_cast<CDlgServerConfig*>(w);
        if (!dlg) {
            std::printf("no server configuration dialog\n");
            std::exit(3);
        }
        dlg->controlAs<QRadioButton>(1052)->click();
        dlg->controlAs<QPushButton>(1)->click();
    });
    QTest::mouseDClick(login.control(1054), Qt::LeftButton);
    std::printf("still running\n");
    return 4;
}

}  // namespace

class TestLogin : public QObject {
    Q_OBJECT
private slots:
    void init()
    {
        windowtest::clearStore();
        windowtest::resetContext();
    }

    void initialisationShowsTitleMarksAndDevice()
    {
        FakeOps ops;
        ScriptedPrompter prompts;
        CDlgLogin dlg;
        QCOMPARE(dlg.windowTitle(), QStringLiteral("Quillon Agent"));
        dlg.show();
        QVERIFY(QTest::qWaitForWindowExposed(&dlg));
        QCOMPARE(dlg.windowTitle(), QStringLiteral("Quillon Agent(Ver." QUILLON_VERSION_TEXT ")"));
        QCOMPARE(QStringLiteral(QUILLON_VERSION_TEXT), QStringLiteral("2.8.4"));
        QCOMPARE(ops.soundInits, 1);
        QCOMPARE(dlg.controlAs<QLabel>(1077)->text(), QStringLiteral("Output Device: Test Speaker"));
        QCOMPARE(dlg.controlAs<QLabel>(1055)->text(), QStringLiteral(" "));
        QCOMPARE(dlg.controlAs<QLabel>(1054)->text(), QString());
        QCOMPARE(QApplication::focusWidget(), dlg.control(1011));
        QVERIFY(!dlg.control(1023)->isVisible());
        QVERIFY(!dlg.control(1056)->isVisible());
        QVERIFY(!dlg.control(1058)->isVisible());
        QVERIFY(qobject_cast<CColorStaticST*>(dlg.control(1058)));
        QCOMPARE(dlg.controlAs<QPushButton>(1)->text(), QStringLiteral("LOGIN"));
        QVERIFY(dlg.controlAs<QPushButton>(1)->isDefault());
        QCOMPARE(dlg.controlAs<QPushButton>(2)->text(), QStringLiteral("CANCEL"));
        QVERIFY(prompts.entries().empty());
        // The corners sit in the corners.
        const QRect r = dlg.rect();
        const QRect tr(dlg.control(1054)->mapTo(&dlg, QPoint(0, 0)), dlg.control(1054)->size());
        const QRect br(dlg.control(1055)->mapTo(&dlg, QPoint(0, 0)), dlg.control(1055)->size());
        QVERIFY(tr.right() >= r.right() - 8 && tr.top() <= 8);
        QVERIFY(br.right() >= r.right() - 8 && br.bottom() >= r.bottom() - 8);

        // Server index 1 gives the -TB suffix and the X mark shows steno off.
        conContext().serverIndex = 1;
        conContext().useStenoSoftware = 0;
        CDlgLogin second;
        second.InitDialog();
        QCOMPARE(second.windowTitle(), QStringLiteral("Quillon Agent(Ver.2.8.4)-TB"));
        QCOMPARE(second.controlAs<QLabel>(1055)->text(), QStringLiteral("X"));
    }

    void soundFailureEndsTheProgram()
    {
        FakeOps ops;
        ops.soundResult = -1;
        ScriptedPrompter prompts;
        CDlgLogin dlg;
        dlg.InitDialog();
        QCOMPARE(prompts.texts(), QStringList{"Sound device initial failed"});
        QCOMPARE(ops.shutdowns, std::vector<int>{520});
    }

    void loginWithAnEmptyFieldDoesNothing_data()
    {
        QTest::addColumn<QString>("id");
        QTest::addColumn<QString>("password");
        QTest::newRow("no password") << "agent" << "";
        QTest::newRow("no id") << "" << "secret";
        QTest::newRow("nothing") << "" << "";
    }
    void loginWithAnEmptyFieldDoesNothing()
    {
        QFETCH(QString, id);
        QFETCH(QString, password);
        FakeOps ops;
        ScriptedPrompter prompts;
        CDlgLogin dlg;
        dlg.show();
        typeInto(dlg.control(1011), id);
        typeInto(dlg.control(1012), password);
        dlg.controlAs<QPushButton>(1)->click();
        QVERIFY(dlg.isVisible());
        QCOMPARE(dlg.result(), 0);
        QVERIFY(ops.logins.empty());
        QVERIFY(ops.starts.empty());
        QVERIFY(prompts.entries().empty());
        QCOMPARE(conContext().loginState.load(), 0);
        QCOMPARE(conContext().userId[0], '\0');
    }

    void loginScramblesStoresSendsAndStarts()
    {
        FakeOps ops;
        ScriptedPrompter prompts;
        ConsoleContext& c = conContext();
        c.systemType = 2;
        c.captionerType = 5;
        c.loginMode = 2;
        std::strcpy(c.serverHost, "127.0.0.1");
        bool trySeen = false;
        CDlgLogin dlg;
        dlg.setLinkTryHook([&] { trySeen = true; });
        dlg.show();
        typeInto(dlg.control(1011), "agent007");
        typeInto(dlg.control(1012), "s3cret!");
        // Enter presses the default button, LOGIN.
        QTest::keyClick(dlg.control(1012), Qt::Key_Return);
        QCOMPARE(dlg.result(), int(QDialog::Accepted));
        QVERIFY(!dlg.isVisible());
        QCOMPARE(dlg.loginId(), QStringLiteral("agent007"));

        QCOMPARE(unscramble(c.userId, c.userIdLen, CAPC_LOGIN_KEY_USER_ID), std::string("agent007"));
        QCOMPARE(unscramble(c.password, c.passwordLen, CAPC_LOGIN_KEY_PASSWORD),
                 std::string("s3cret!"));
        QCOMPARE(c.userId[0], 'a');
        QCOMPARE(uint8_t(c.userId[1]), uint8_t('g' + (CAPC_LOGIN_KEY_USER_ID - 'a')));
        QCOMPARE(c.phoneNumber[0], '\0');
        QCOMPARE(c.loginMode.load(), 0);
        QCOMPARE(c.loginState.load(), 1);

        QCOMPARE(ops.order, (std::vector<std::string>{"sound", "login", "start"}));
        QCOMPARE(ops.logins[0].userId, std::string(c.userId, size_t(c.userIdLen.load())));
        QCOMPARE(ops.logins[0].password, std::string(c.password, size_t(c.passwordLen.load())));
        QCOMPARE(ops.logins[0].major, 2);
        QCOMPARE(ops.logins[0].minor, 8);
        QCOMPARE(ops.logins[0].patch, 4);
        QCOMPARE(ops.logins[0].captionerType, 5);
        QCOMPARE(ops.starts[0].first, std::string("127.0.0.1"));
        QCOMPARE(ops.starts[0].second, 33220);
        // The main window was not published: no "TRY".
        QVERIFY(!trySeen);
        QVERIFY(prompts.entries().empty());
    }

    void loginShowsTryWhenTheWindowIsPublished()
    {
        FakeOps ops;
        int marker = 0;
        conPublish(&marker, uintptr_t(&marker));
        bool trySeen = false;
        CDlgLogin dlg;
        dlg.setLinkTryHook([&] {
            trySeen = true;
            QCOMPARE(ops.starts.size(), size_t(0));   // before the link starts
        });
        dlg.show();
        typeInto(dlg.control(1011), "a");
        typeInto(dlg.control(1012), "b");
        dlg.controlAs<QPushButton>(1)->click();
        conUnpublish();
        QVERIFY(trySeen);
    }

    void credentialsThatScrambleToZeroKeepTheirLength()
    {
        // The euro sign is E2 82 AC in UTF-8; with the password key and 'a'
        // first, E2 scrambles to 0.
        FakeOps ops;
        CDlgLogin dlg;
        dlg.show();
        dlg.controlAs<QLineEdit>(1011)->setText(QString::fromUtf8("\xE2\x82\xAC" "b"));
        dlg.controlAs<QLineEdit>(1012)->setText(QString::fromUtf8("a\xE2\x82\xAC" "x"));
        dlg.controlAs<QPushButton>(1)->click();
        const ConsoleContext& c = conContext();
        const std::string expected("\x61\x00\xA0\xCA\x96", 5);
        QCOMPARE(c.passwordLen.load(), 5);
        QCOMPARE(std::string(c.password, 5), expected);
        QCOMPARE(ops.logins.size(), size_t(1));
        QCOMPARE(ops.logins[0].password, expected);
        QCOMPARE(unscramble(c.password, c.passwordLen, CAPC_LOGIN_KEY_PASSWORD),
                 std::string("a\xE2\x82\xAC" "x"));
        QCOMPARE(c.userIdLen.load(), 4);
        QCOMPARE(ops.logins[0].userId.size(), size_t(4));
        QCOMPARE(unscramble(c.userId, c.userIdLen, CAPC_LOGIN_KEY_USER_ID),
                 std::string("\xE2\x82\xAC" "b"));
    }

    void oneCharacterPasswordIsStoredUnchanged()
    {
        FakeOps ops;
        CDlgLogin dlg;
        dlg.show();
        typeInto(dlg.control(1011), "x");
        typeInto(dlg.control(1012), "p");
        dlg.controlAs<QPushButton>(1)->click();
        QCOMPARE(std::string(conContext().password), std::string("p"));
        QCOMPARE(std::string(conContext().userId), std::string("x"));
    }

    void fieldsTakeAtMostTheirLength()
    {
        FakeOps ops;
        CDlgLogin dlg;
        dlg.show();
        auto* id = dlg.controlAs<QLineEdit>(1011);
        typeInto(id, QString(19, u'i'));
        QCOMPARE(id->text().size(), 19);
        typeInto(id, "j");   // the 20th character is refused
        QCOMPARE(id->text(), QString(19, u'i'));
        auto* pw = dlg.controlAs<QLineEdit>(1012);
        QCOMPARE(pw->maxLength(), 19);
        QCOMPARE(pw->echoMode(), QLineEdit::Password);
        QCOMPARE(dlg.controlAs<QLineEdit>(1023)->maxLength(), 10);
        typeInto(pw, QString(19, u'p'));
        dlg.controlAs<QPushButton>(1)->click();
        QCOMPARE(unscramble(conContext().userId, conContext().userIdLen, CAPC_LOGIN_KEY_USER_ID),
                 std::string(19, 'i'));
        QCOMPARE(std::strlen(conContext().password), size_t(19));
    }

    void portWrapsLikeTheField()
    {
        QCOMPARE(CDlgLogin::serverPort(0), 33210);
        QCOMPARE(CDlgLogin::serverPort(1), 33215);
        QCOMPARE(CDlgLogin::serverPort(7000), (33210 + 35000) % 65536);
        QCOMPARE(CDlgLogin::serverPort(-1), 33205);
    }

    void cornerTogglesUseStenoAndWritesIt()
    {
        FakeOps ops;
        CDlgLogin dlg;
        dlg.show();
        QVERIFY(QTest::qWaitForWindowExposed(&dlg));
        QWidget* corner = dlg.control(1055);
        QTest::mouseDClick(corner, Qt::LeftButton);
        QCOMPARE(conContext().useStenoSoftware.load(), 0);
        QCOMPARE(readInt(kSettings, kUseStenoSW, -1), 0);
        QCOMPARE(dlg.controlAs<QLabel>(1055)->text(), QStringLiteral("X"));
        QTest::mouseDClick(corner, Qt::LeftButton);
        QCOMPARE(conContext().useStenoSoftware.load(), 1);
        QCOMPARE(readInt(kSettings, kUseStenoSW, -1), 1);
        QCOMPARE(dlg.controlAs<QLabel>(1055)->text(), QStringLiteral(" "));
        // The hidden check box sets the value from its state and writes it.
        auto* box = dlg.controlAs<QCheckBox>(1056);
        QVERIFY(box->isChecked());
        box->click();
        QCOMPARE(conContext().useStenoSoftware.load(), 0);
        QCOMPARE(readInt(kSettings, kUseStenoSW, -1), 0);
        QCOMPARE(dlg.controlAs<QLabel>(1055)->text(), QStringLiteral("X"));
    }

    void cancelClosesWithCancel()
    {
        FakeOps ops;
        CDlgLogin dlg;
        whenModalOpens([](QWidget* w) {
            static_cast<CDlgLogin*>(w)->controlAs<QPushButton>(2)->click();
        });
        QCOMPARE(dlg.exec(), int(QDialog::Rejected));
        QVERIFY(ops.logins.empty());
        QCOMPARE(conContext().loginState.load(), 0);
    }

    void serverConfigurationOpensWithTheConsoleValues()
    {
        conContext().serverIndex = 1;
        CDlgServerConfig dlg({"one.example", "two.example", "log.example"});
        QCOMPARE(dlg.windowTitle(), QStringLiteral("Server Configure"));
        QCOMPARE(dlg.controlAs<QLineEdit>(1053)->text(), QStringLiteral("one.example"));
        QCOMPARE(dlg.controlAs<QLineEdit>(1054)->text(), QStringLiteral("two.example"));
        QCOMPARE(dlg.controlAs<QLineEdit>(1055)->text(), QStringLiteral("log.example"));
        QVERIFY(!dlg.control(1055)->isVisibleTo(&dlg));
        QVERIFY(!dlg.control(1056)->isVisibleTo(&dlg));
        QCOMPARE(dlg.selection(), 1);
        QVERIFY(!dlg.controlAs<QRadioButton>(1051)->isChecked());
        QVERIFY(dlg.controlAs<QRadioButton>(1052)->isChecked());
        // Clicking a radio checks it and clears the other, also twice.
        dlg.controlAs<QRadioButton>(1051)->click();
        dlg.controlAs<QRadioButton>(1051)->click();
        QCOMPARE(dlg.selection(), 0);
        QVERIFY(dlg.controlAs<QRadioButton>(1051)->isChecked());
        QVERIFY(!dlg.controlAs<QRadioButton>(1052)->isChecked());
        // Cancel writes nothing.
        dlg.controlAs<QPushButton>(2)->click();
        QCOMPARE(dlg.result(), int(QDialog::Rejected));
        QVERIFY(!windowtest::rawValue(kSettings, kLocale).isValid());
        QVERIFY(!windowtest::rawValue(kSettings, kIPSVR1).isValid());

        // A server index outside 0..1 selects server 1.
        conContext().serverIndex = 7;
        CDlgServerConfig odd({});
        QCOMPARE(odd.selection(), 0);
        QVERIFY(odd.controlAs<QRadioButton>(1051)->isChecked());
    }

    void serverConfigurationOkWritesEverything()
    {
        CDlgServerConfig dlg({"one.example", "two.example", "log.example"});
        auto* two = dlg.controlAs<QLineEdit>(1054);
        two->setText("10.9.8.7");   // stored as typed
        dlg.controlAs<QRadioButton>(1052)->click();
        dlg.controlAs<QPushButton>(1)->click();
        QCOMPARE(dlg.result(), int(QDialog::Accepted));
        QCOMPARE(readInt(kSettings, kLocale, -1), 1);
        QCOMPARE(readString(kSettings, kIPSVR1, ""), QStringLiteral("one.example"));
        QCOMPARE(readString(kSettings, kIPSVR2, ""), QStringLiteral("10.9.8.7"));
        QCOMPARE(readString(kSettings, kIPSVR1LOG, ""), QStringLiteral("log.example"));
        QCOMPARE(conContext().serverIndex.load(), 1);
        QCOMPARE(std::string(conContext().serverHost), std::string("10.9.8.7"));
        // A name longer than the host field is cut to it.
        CDlgServerConfig longName({QString(40, u'n'), "", ""});
        longName.controlAs<QRadioButton>(1051)->click();
        longName.controlAs<QPushButton>(1)->click();
        QCOMPARE(std::string(conContext().serverHost), std::string(19, 'n'));
        QCOMPARE(readString(kSettings, kIPSVR1, ""), QString(40, u'n'));
    }

    void savingTheServerConfigurationEndsTheProgram()
    {
        QTemporaryDir debugDir;
        QProcess child;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("QUILLON_LOGIN_CHILD", "serverconfig");
        env.insert("POS_DEBUG_DIR", debugDir.path());
        child.setProcessEnvironment(env);
        child.start(QCoreApplication::applicationFilePath(), {});
        QVERIFY(child.waitForFinished(30000));
        const QString out = QString::fromUtf8(child.readAllStandardOutput());
        QCOMPARE(child.exitStatus(), QProcess::NormalExit);
        QVERIFY2(child.exitCode() == 1, qPrintable(out + child.readAllStandardError()));
        QVERIFY2(out.contains("MESSAGE: The server configuration has changed. Please restart now.\n"),
                 qPrintable(out));
        QVERIFY(!out.contains("still running"));
        // The child wrote the store that this process reads.
        QCOMPARE(readInt(kSettings, kLocale, -1), 1);
        QCOMPARE(readString(kSettings, kIPSVR1, ""), QStringLiteral("primary.example"));
        QCOMPARE(readString(kSettings, kIPSVR2, ""), QStringLiteral("secondary.example"));
        QCOMPARE(readString(kSettings, kIPSVR1LOG, ""), QStringLiteral("log.example"));
        // The runtime's shutdown wrote its lines.
        const QStringList files = QDir(debugDir.path()).entryList({"posDebug-*"}, QDir::Files);
        QVERIFY(!files.isEmpty());
        QFile debug(debugDir.filePath(files.first()));
        QVERIFY(debug.open(QIODevice::ReadOnly));
        QVERIFY(debug.readAll().contains("POS down(Code:520)"));
    }
};

int main(int argc, char** argv)
{
    QTemporaryDir configHome;
    if (qEnvironmentVariableIsEmpty("QUILLON_LOGIN_CHILD"))
        qputenv("XDG_CONFIG_HOME", configHome.path().toLocal8Bit());
    if (qEnvironmentVariableIsEmpty("XDG_RUNTIME_DIR"))
        qputenv("XDG_RUNTIME_DIR", configHome.path().toLocal8Bit());
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    if (qgetenv("QUILLON_LOGIN_CHILD") == "serverconfig")
        return runServerConfigChild();
    TestLogin tc;
    return QTest::qExec(&tc, argc, argv);
}

#include "tst_login.moc"
