// The login dialog against the service simulator: the real agent task and
// server link, the Qt notification poster and the console mailbox. The
// dialog stores the scrambled credentials and starts the link; when the link
// opens, LOGIN goes out again from the stored credentials (as the console
// does), and the simulator verifies them and accepts the login.
#include "agentlinkops_product.h"
#include "capa.h"
#include "capclogincrypt.h"
#include "cdlglogin.h"
#include "consoleevent.h"
#include "pos.h"
#include "posinternal.h"
#include "quillon_version.h"
#include "scriptedprompter.h"
#include "svcsim.h"
#include "windowtest.h"

#include <QLineEdit>
#include <QPushButton>
#include <QRandomGenerator>
#include <cstdlib>
#include <memory>
#include <vector>

namespace {

// The audio layer has its own tests; here no sound hardware is needed.
struct LinkOpsWithoutSound : ProductAgentLinkOps {
    int soundInit() override { return 0; }
    QString outputDeviceName() override { return QStringLiteral("Test Speaker"); }
    void shutdown(int code) override { shutdowns.push_back(code); }
    std::vector<int> shutdowns;
};

// Stands in for the main window: re-sends LOGIN when the link opens and
// drains the mailbox on WM_CAPC_RX_MSG.
class ConsoleStandIn : public QObject {
public:
    ConsoleMailbox mailbox;
    std::vector<CapxMsg> received;
    int opens = 0;
    int closes = 0;
    int loginResends = 0;

    ConsoleStandIn()
    {
        conMailboxInit(&mailbox);
        conSetMailbox(&mailbox);
    }

protected:
    bool event(QEvent* e) override
    {
        if (!ConsoleEvent::isConsoleEvent(e))
            return QObject::event(e);
        const ConsoleContext& c = conContext();
        switch (static_cast<ConsoleEvent*>(e)->message()) {
        case WM_CAPC_SOCK_OPEN:
            ++opens;
            if (capcTxLogin(&g_capcInfo.link, c.userId, c.userIdLen, c.password, c.passwordLen,
                            c.phoneNumber, QUILLON_VERSION_MAJOR, QUILLON_VERSION_MINOR,
                            QUILLON_VERSION_PATCH, c.captionerType) == 0)
                ++loginResends;
            break;
        case WM_CAPC_SOCK_CLOSE:
            ++closes;
            break;
        case WM_CAPC_RX_MSG: {
            CapxMsg m;
            conMailboxDrain(&mailbox, &m, [](const CapxMsg* msg, void* user) {
                static_cast<ConsoleStandIn*>(user)->received.push_back(*msg);
            }, this);
            break;
        }
        default:
            break;
        }
        return true;
    }
};

bool startRuntime()
{
    static QTemporaryDir debugDir;
    qputenv("POS_DEBUG_DIR", debugDir.path().toLocal8Bit());
    conContextReset();
    if (posInit(99) != 0)
        return false;
    for (int i = 0; i < 500 && g_posLogTaskId.load() == 0; ++i)
        QTest::qWait(10);
    posGatesOpenAll();
    capcSetStenoPort(0);
    if (capcCreateTask() == 0)
        return false;
    for (int i = 0; i < 500 && capcStenoListenPort() <= 0; ++i)
        QTest::qWait(10);
    return capcStenoListenPort() > 0;
}

}  // namespace

class TestLoginSvcSim : public QObject {
    Q_OBJECT
private slots:
    void initTestCase()
    {
        windowtest::clearStore();
        QVERIFY(startRuntime());
    }

    void loginReachesTheSimulatorWithScrambledCredentials_data()
    {
        QTest::addColumn<QString>("userId");
        QTest::addColumn<QString>("password");
        QTest::newRow("ascii") << QStringLiteral("agent007") << QStringLiteral("s3cret!");
        // The euro sign's first UTF-8 byte scrambles to 0 after an 'a'.
        QTest::newRow("scrambles to a 0 byte")
            << QStringLiteral("agent007") << QString::fromUtf8("a\xE2\x82\xAC" "x");
    }

    void loginReachesTheSimulatorWithScrambledCredentials()
    {
        QFETCH(QString, userId);
        QFETCH(QString, password);
        SvcSimConfig config;
        config.expectUserId = userId.toStdString();
        config.expectPassword = password.toStdString();
        config.loginMsg = "Welcome";
        config.linkKey = 0x21;
        // The server port follows the system type: pick a free one of that form.
        std::unique_ptr<SvcSim> sim;
        int systemType = 0;
        for (int attempt = 0; attempt < 50 && !sim; ++attempt) {
            systemType = 200 + int(QRandomGenerator::global()->bounded(6000));
            config.port = CDlgLogin::serverPort(systemType);
            auto candidate = std::make_unique<SvcSim>(config);
            if (candidate->start() > 0)
                sim = std::move(candidate);
        }
        QVERIFY(sim);

        windowtest::resetContext();
        ConsoleContext& c = conContext();
        c.systemType = systemType;
        c.captionerType = 2;
        std::strcpy(c.serverHost, "127.0.0.1");
        ConsoleStandIn console;
        setConsoleEventTarget(&console);
        conPublish(&console, uintptr_t(&console));

        LinkOpsWithoutSound ops;
        setAgentLinkOps(&ops);
        ScriptedPrompter prompts;
        CDlgLogin dlg;
        dlg.show();
        dlg.controlAs<QLineEdit>(CDlgLogin::IDC_LOGIN_ID)->setText(userId);
        dlg.controlAs<QLineEdit>(CDlgLogin::IDC_PASSWORD)->setText(password);
        dlg.controlAs<QPushButton>(1)->click();
        QCOMPARE(dlg.result(), int(QDialog::Accepted));
        QCOMPARE(c.loginState.load(), 1);

        QVERIFY(sim->waitForClient(10000));
        QTRY_VERIFY_WITH_TIMEOUT(console.opens == 1, 10000);
        QVERIFY(sim->waitForCount(CAPC_ID_LOGIN, 1, 10000));
        QTRY_VERIFY_WITH_TIMEOUT(!console.received.empty(), 10000);

        // The simulator took the credentials: LOGIN_ACK with result 0.
        const CapxMsg& ack = console.received.front();
        QCOMPARE(int(ack.msgId), int(CAPC_ID_LOGIN_ACK));
        QCOMPARE(int(ack.loginAck.result), 0);
        QCOMPARE(QString::fromLatin1(ack.loginAck.msg), QStringLiteral("Welcome"));
        QCOMPARE(int(g_capcInfo.link.linkKey.load()), 0x21);

        // What arrived is the scrambled form, with the version and captioner.
        SvcSimFrame login;
        for (const SvcSimFrame& f : sim->frames())
            if (f.id == CAPC_ID_LOGIN) {
                login = f;
                break;
            }
        QCOMPARE(std::string(login.msg.login.userId, login.msg.login.userIdLen),
                 std::string(c.userId, size_t(c.userIdLen.load())));
        QCOMPARE(std::string(login.msg.login.passwd, login.msg.login.passwdLen),
                 std::string(c.password, size_t(c.passwordLen.load())));
        QCOMPARE(int(login.msg.login.passwdLen), password.toUtf8().size());
        QVERIFY(std::string(login.msg.login.userId) != "agent007");
        QCOMPARE(int(login.msg.login.stenoFormat), 2);
        QVERIFY(login.msg.login.versionLen >= 3);
        QCOMPARE(int(login.msg.login.version[0]), 2);
        QCOMPARE(int(login.msg.login.version[1]), 8);
        QCOMPARE(int(login.msg.login.version[2]), 4);
        QVERIFY(ops.shutdowns.empty());
        QVERIFY(prompts.entries().empty());

        conUnpublish();
        setConsoleEventTarget(nullptr);
        conSetMailbox(nullptr);
        setAgentLinkOps(nullptr);
        sim->stop();
        // The next row starts the link again: the receive thread must be gone.
        QTRY_VERIFY_WITH_TIMEOUT(g_capcInfo.rxActive.load() == 0, 10000);
    }
};

QUILLON_WINDOW_TEST_MAIN(TestLoginSvcSim)
#include "tst_loginsvcsim.moc"
